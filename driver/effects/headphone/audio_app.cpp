#include "driver/effects/headphone/audio_app.h"

#include "driver/effects/fx_assert.h"
#include "driver/effects/fx_simd.h"
#include "driver/effects/headphone/qvr_memory.h"
#include "dsp/dispatch/primitives.h"

#include <cstring>
#include <new>

namespace
{
constexpr int32_t N = HEADPHONEFIR_N;
constexpr int32_t SRCS = AudioApp::MAX_CHANNELS + AudioApp::OUTPUTS;

// dst = x + c over n samples.
void AddGuard(const float *x, float c, float *dst, int32_t n)
{
    int32_t i = 0;
#if ZELKO_FX_SSE
    const __m128 vc = _mm_set1_ps(c);
    for (; i + 3 < n; i += 4)
        _mm_storeu_ps(dst + i, _mm_add_ps(_mm_loadu_ps(x + i), vc));
#endif
    for (; i < n; ++i)
        dst[i] = x[i] + c;
}
} // namespace

void AudioApp::FreeBuffers()
{
    if (m_pSrc)
    {
        for (int32_t i = 0; i < SRCS; ++i)
            m_pSrc[i].~SRC();
        QvrFree(m_pSrc);
    }
    QvrFree(m_pMem);
    std::memset(m_pIn, 0, sizeof m_pIn);
    std::memset(m_pConv, 0, sizeof m_pConv);
    std::memset(m_pEar, 0, sizeof m_pEar);
    std::memset(m_pOut, 0, sizeof m_pOut);
    m_bReady = false;
}

bool AudioApp::Setup(int32_t rate, int32_t nInCh, int32_t nOutCh, int32_t outputOffset, bool linearPhase)
{
    FreeBuffers();
    if (rate <= 0 || !m_Core.IsCreated())
        return false;
    m_nStreamRate = rate;
    m_nInCh = nInCh;
    m_nOutCh = nOutCh;
    m_bLinearPhase = linearPhase;
    // Integer factors only: 48000 and 32000 give 1 and run the core at their own rate.
    if (rate > m_nCoreRate)
    {
        m_nSrcFactor = rate / m_nCoreRate;
        m_nDirection = 1;
        m_nDataLen = m_nSrcFactor * N;
    }
    else if (rate < m_nCoreRate)
    {
        m_nSrcFactor = m_nCoreRate / rate;
        m_nDirection = -1;
        m_nDataLen = N / m_nSrcFactor;
        FX_CHECK_AS((m_nDataLen % m_nSrcFactor) == 0, "(m_nDataLen%m_nSrcFactor)==0");
    }
    else
    {
        m_nSrcFactor = 1;
        m_nDirection = 0;
        m_nDataLen = N;
    }
    const int32_t m_nRealDataLen = m_nDataLen;
    FX_CHECK_AS(m_nRealDataLen <= EachChannelSampleCntMax, "m_nRealDataLen<=EachChannelSampleCntMax");
    if (m_nSrcFactor != 1 && m_nSrcFactor != 2 && m_nSrcFactor != 4)
        return false;

    // Buffers are sized from the set-up: factor 4 blocks are 2048 samples.
    const int32_t total = MAX_CHANNELS * (m_nDataLen + N) + OUTPUTS * (N + m_nDataLen);
    m_pMem = QvrAllocFloats(total);
    if (!m_pMem)
        return false;
    float *p = m_pMem;
    for (int32_t c = 0; c < MAX_CHANNELS; ++c, p += m_nDataLen + N)
    {
        m_pIn[c] = p;
        m_pConv[c] = p + m_nDataLen;
    }
    for (int32_t o = 0; o < OUTPUTS; ++o, p += N + m_nDataLen)
    {
        m_pEar[o] = p;
        m_pOut[o] = p + N;
    }
    if (m_nSrcFactor != 1)
    {
        m_pSrc = static_cast<SRC *>(AllocPoolZeroed(ULONG(sizeof(SRC) * SRCS), NonPagedPool, PoolTag::QVRP));
        if (!m_pSrc)
        {
            FreeBuffers();
            return false;
        }
        for (int32_t i = 0; i < SRCS; ++i)
            new (&m_pSrc[i]) SRC();
        const int32_t highLen = m_nDirection > 0 ? m_nDataLen : N;
        for (int32_t i = 0; i < SRCS; ++i)
        {
            // Inputs go to the core rate, outputs come back from it.
            const bool down = (i < MAX_CHANNELS) == (m_nDirection > 0);
            if (!m_pSrc[i].Create(m_nSrcFactor, down, highLen, linearPhase))
            {
                FreeBuffers();
                return false;
            }
        }
    }
    m_nOutputOffset = outputOffset;
    m_nFill = 0;
    m_nLatencyPos = outputOffset > m_nDataLen ? 0 : outputOffset;
    m_Core.Reset();
    m_bReady = true;
    return true;
}

void AudioApp::RunBlock(int32_t nInCh)
{
    // At factor 1 the core reads the framed block and writes the ears where Process hands them
    // out: both are consumed whole before the next block fills them.
    float *const *coreIn = m_pSrc ? m_pConv : m_pIn;
    float *const *coreOut = m_pSrc ? m_pEar : m_pOut;
    if (m_pSrc)
        for (int32_t c = 0; c < nInCh; ++c)
            m_pSrc[c].Process(m_pIn[c], m_nDataLen, m_pConv[c]);
    if (!m_Core.Process(coreIn, nInCh, coreOut, OUTPUTS, N))
    {
        std::memset(coreOut[0], 0, sizeof(float) * N);
        std::memset(coreOut[1], 0, sizeof(float) * N);
    }
    if (m_pSrc)
        for (int32_t o = 0; o < OUTPUTS; ++o)
            m_pSrc[MAX_CHANNELS + o].Process(m_pEar[o], N, m_pOut[o]);
}

bool AudioApp::Process(float *const *channels, int32_t nInCh, int32_t nOutCh, int32_t count)
{
    bool ok = FX_CHECK_AS(nOutCh == OUTPUTS, "CheckNumOutChans(nOutCh)");
    ok = FX_CHECK_AS(nInCh == 2 || nInCh == 6 || nInCh == 8, "CheckNumInChans(nInCh)") && ok;
    if (!ok || !m_bReady || !channels || count < 0)
        return false;
    for (int32_t c = 0; c < nInCh; ++c)
        if (!channels[c])
            return false;
    const float guard = 1e-10f * m_fGuard;
    int32_t pos = 0;
    while (pos < count)
    {
        const int32_t n = count - pos < m_nDataLen - m_nFill ? count - pos : m_nDataLen - m_nFill;
        for (int32_t c = 0; c < nInCh; ++c)
            AddGuard(channels[c] + pos, guard, m_pIn[c] + m_nFill, n);
        for (int32_t o = 0; o < OUTPUTS; ++o)
            std::memcpy(channels[o] + pos, m_pOut[o] + m_nFill, sizeof(float) * size_t(n));
        m_nFill += n;
        pos += n;
        if (m_nFill == m_nDataLen)
        {
            RunBlock(nInCh);
            m_nFill = 0;
        }
    }
    m_nLatencyPos = int32_t((int64_t(m_nLatencyPos) + count) % m_nDataLen);
    return true;
}
