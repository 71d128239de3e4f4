#include "driver/effects/headphone/src.h"

#include "driver/effects/fx_assert.h"
#include "driver/effects/headphone/qvr_memory.h"
#include "dsp/dispatch/primitives.h"

namespace
{
constexpr int32_t EachChannelSampleCntMax = 1024;

// Third-order low-passes at a quarter and an eighth of the high rate.
constexpr float kPlain2[8] = {1.0f / 6, 0.5f, 0.5f, 1.0f / 6, 1.0f, 0.0f, 1.0f / 3, 0.0f};
constexpr float kPlain4[8] = {0.06385592f, 0.19156778f,  0.19156778f, 0.06385592f,
                              1.0f,        -0.96577972f, 0.58264416f, -0.10601705f};
} // namespace

const float *SRC::PlainTaps(int32_t factor)
{
    return factor == 2 ? kPlain2 : factor == 4 ? kPlain4 : nullptr;
}

bool SRC::Create(int32_t factor, bool down, int32_t highLen, bool linearPhase)
{
    Destroy();
    const float *taps = PlainTaps(factor);
    if (!taps || highLen <= 0 || highLen > (1 << 20) || highLen % factor != 0)
        return false;
    bool ok;
    if (linearPhase)
        ok = m_Linear.Create(LinearPhaseIIR::RowForFactor(factor), highLen);
    else
        ok = dsp::iirCreateF32(&m_pIir[0], taps, 3, nullptr) == dsp::kOk &&
             dsp::iirCreateF32(&m_pIir[1], taps, 3, nullptr) == dsp::kOk;
    m_pWork = ok ? QvrAllocFloats(highLen) : nullptr;
    if (!m_pWork)
    {
        Destroy();
        return false;
    }
    m_nSrcFactor = factor;
    m_bDown = down;
    m_bLinear = linearPhase;
    m_nHighLen = highLen;
    m_nPhase = 0;
    return true;
}

void SRC::Destroy()
{
    for (dsp::IirState *&iir : m_pIir)
    {
        if (iir)
            dsp::iirFree(iir);
        iir = nullptr;
    }
    m_Linear.Destroy();
    QvrFree(m_pWork);
    m_nSrcFactor = 0;
    m_nHighLen = 0;
}

bool SRC::Process(const float *in, int32_t len, float *out)
{
    if (!m_pWork || !in || !out)
        return false;
    const int32_t f = m_nSrcFactor;
    int32_t n = 0;
    if (m_bDown)
    {
        FX_CHECK_AS((len % f) == 0, "(len%m_nSrcFactor)==0");
        if (len != m_nHighLen)
            return false;
        if (m_bLinear)
            m_Linear.Process(in, m_pWork, len);
        else
        {
            dsp::iirFilterF32(in, m_pWork, len, m_pIir[0]);
            dsp::iirFilterF32(m_pWork, m_pWork, len, m_pIir[1]);
        }
        return dsp::downsampleF32(m_pWork, len, out, &n, f, &m_nPhase) == dsp::kOk;
    }
    if (len <= 0 || len > m_nHighLen)
        return false;
    const int32_t outLen = len * f;
    FX_CHECK_AS(outLen <= EachChannelSampleCntMax * 4, "outLen<=(EachChannelSampleCntMax*4)");
    if (outLen != m_nHighLen)
        return false;
    dsp::zeroF32(out, outLen);
    if (dsp::upsampleF32(in, len, out, &n, f, &m_nPhase) != dsp::kOk)
        return false;
    if (m_bLinear)
        m_Linear.Process(out, out, outLen);
    else
    {
        dsp::iirFilterF32(out, out, outLen, m_pIir[0]);
        dsp::iirFilterF32(out, out, outLen, m_pIir[1]);
    }
    dsp::mulConstInPlaceF32(float(f), out, outLen);
    return true;
}
