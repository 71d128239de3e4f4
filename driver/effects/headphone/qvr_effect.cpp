#include "driver/effects/headphone/qvr_effect.h"

#include "driver/base/pool_memory.h"
#include "driver/effects/fx_assert.h"
#include "driver/effects/headphone/audio_app.h"

#include <new>

CQvrEffect::CQvrEffect()
{
    void *block = AllocPoolZeroed(ULONG(sizeof(AudioApp)), NonPagedPool, PoolTag::QVRP);
    if (!block)
        return;
    m_pEngine = new (block) AudioApp();
    m_pEngine->m_fGuard = 1.0f;
    if (m_pEngine->Create())
        m_pEngine->m_Core.LoadTable(MapSize(m_nSize[0]), MapAngle(m_nAngleFlag[0], m_nAngle[0]));
    m_pEngine->Setup(AudioApp::CORE_RATE, 6, 2, 512);
}

CQvrEffect::~CQvrEffect()
{
    if (!m_pEngine)
        return;
    m_pEngine->~AudioApp();
    FreePool(m_pEngine);
    m_pEngine = nullptr;
}

int32_t CQvrEffect::SetFormat(const WAVEFORMATEX *format)
{
    if (!m_pEngine || !format || format->nChannels == 0 || format->nChannels > MAX_CHANNELS ||
        format->nSamplesPerSec > ULONG(INT32_MAX))
        return -1;
    m_nChannels = format->nChannels;
    // A core whose buffers could not be had at create gets another chance here.
    if (!m_pEngine->m_Core.IsCreated() && m_pEngine->Create())
        m_pEngine->m_Core.LoadTable(MapSize(m_nSize[m_nTailMode]),
                                    MapAngle(m_nAngleFlag[m_nTailMode], m_nAngle[m_nTailMode]));
    return m_pEngine->Setup(int32_t(format->nSamplesPerSec), m_nChannels, 2, 256) ? 0 : -1;
}

void CQvrEffect::SetTailMode(int32_t flag)
{
    m_nTailMode = flag != 0 ? 1 : 0;
    if (m_pEngine)
        m_pEngine->m_Core.RequestTail(m_nTailMode ? m_nRoom : 0);
}

void CQvrEffect::SetRoom(int32_t selection)
{
    static constexpr int32_t kCodes[5] = {5, 10, 15, 20, 30};
    m_nRoom = selection >= 0 && selection < 5 ? kCodes[selection] : selection;
    if (m_nTailMode && m_pEngine)
        m_pEngine->m_Core.RequestTail(m_nRoom);
}

void CQvrEffect::Reload(int32_t which)
{
    if (m_pEngine && which == m_nTailMode)
        m_pEngine->m_Core.RequestFilters(MapSize(m_nSize[which]),
                                         MapAngle(m_nAngleFlag[which], m_nAngle[which]));
}

void CQvrEffect::SetSize(int32_t which, int32_t size)
{
    if (which != 0 && which != 1)
        return;
    m_nSize[which] = size;
    Reload(which);
}

void CQvrEffect::SetAngle(int32_t which, int32_t angle)
{
    if (which != 0 && which != 1)
        return;
    m_nAngle[which] = angle;
    Reload(which);
}

void CQvrEffect::SetAngleFlag(int32_t which, int32_t flag)
{
    if (which != 0 && which != 1)
        return;
    m_nAngleFlag[which] = flag;
    Reload(which);
}

int32_t CQvrEffect::MapAngle(int32_t flag, int32_t angle)
{
    const bool variant = flag != 0;
    switch (angle)
    {
    case 0:
    case 25:
        return variant ? 25 : 24;
    case 1:
    case 30:
        return variant ? 30 : 29;
    case 2:
    case 35:
        return variant ? 35 : 34;
    case 3:
    case 40:
        return variant ? 40 : 39;
    case 31:
        return 31;
    default:
        return -1;
    }
}

int32_t CQvrEffect::MapSize(int32_t size)
{
    switch (size)
    {
    case 0:
        return 3;
    case 1:
        return 2;
    case 2:
        return 1;
    default:
        FX_CHECK_AS(false, "CheckSize(nSize)");
        return 2;
    }
}

void CQvrEffect::Passthrough(float *const *channels, int32_t nChannels, int32_t count)
{
    if (!channels || count <= 0 || nChannels <= 2 || nChannels > MAX_CHANNELS)
        return;
    for (int32_t c = 0; c < nChannels; ++c)
        if (!channels[c])
            return;
    // Positions of FC, BL, BR, SL, SR (-1: absent).
    const bool quad = nChannels == 4;
    const int32_t fc = quad ? -1 : 2;
    const int32_t bl = quad ? 2 : nChannels > 4 ? 4 : -1;
    const int32_t br = quad ? 3 : nChannels > 5 ? 5 : -1;
    const int32_t sl = nChannels == 8 ? 6 : -1, sr = nChannels == 8 ? 7 : -1;
    float *l = channels[0], *r = channels[1];
    for (int32_t i = 0; i < count; ++i)
    {
        const float c = fc >= 0 ? 0.707f * channels[fc][i] : 0.0f;
        float left = 0.5f * (l[i] + (bl >= 0 ? channels[bl][i] : 0.0f)) + c;
        float right = 0.5f * (r[i] + (br >= 0 ? channels[br][i] : 0.0f)) + c;
        if (sl >= 0)
        {
            left = left + 0.25f * channels[sl][i];
            right = right + 0.25f * channels[sr][i];
        }
        l[i] = left;
        r[i] = right;
    }
}

void CQvrEffect::Process(float *const *channels, int32_t count)
{
    if (!channels || count <= 0)
        return;
    if (m_bEnabled && m_pEngine && m_pEngine->Process(channels, m_nChannels, 2, count))
        return;
    Passthrough(channels, m_nChannels, count);
}
