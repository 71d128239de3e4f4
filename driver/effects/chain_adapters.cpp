#include "driver/effects/chain_adapters.h"

#include "driver/effects/format_channels.h"
#include "driver/base/pool_memory.h"
#include "dsp/dispatch/primitives.h"

#include <cstring>

namespace
{
#include "driver/effects/chain_tables.inc"

bool IsUnitImpulse(const float *taps)
{
    if (taps[0] != 1.0f)
        return false;
    for (int32_t k = 1; k < DspChain::TAPS; ++k)
        if (taps[k] != 0.0f)
            return false;
    return true;
}

bool NeedsFir(const DspChain &chain)
{
    return !IsUnitImpulse(chain.m_Taps48000) || !IsUnitImpulse(chain.m_TapsOther);
}

void FreeFirBlocks(DspChain &chain)
{
    for (int32_t c = 0; c < DspChain::MAX_CHANNELS; ++c)
    {
        FreePool(chain.m_FirBlock[c]);
        chain.m_FirBlock[c] = nullptr;
        chain.m_Fir[c] = nullptr;
    }
    chain.m_ActiveTaps = nullptr;
}

// Builds every channel's FIR record from the active table with a silent past.
void StartFir(DspChain &chain)
{
    for (int32_t c = 0; c < DspChain::MAX_CHANNELS; ++c)
        if (chain.m_ActiveTaps && chain.m_FirBlock[c] &&
            dsp::firInitF32(&chain.m_Fir[c], chain.m_ActiveTaps, DspChain::TAPS, nullptr,
                            chain.m_FirBlock[c]) != 0)
            chain.m_Fir[c] = nullptr;
}
} // namespace

DspChain::DspChain(const float *taps48000, const float *tapsOther)
    : m_Taps48000(taps48000 ? taps48000 : kChainTaps48000),
      m_TapsOther(tapsOther ? tapsOther : kChainTapsOther)
{
}

DspChain::~DspChain()
{
    FreeFirBlocks(*this);
}

BOOLEAN DspChainInit(DspChain *chain)
{
    if (!chain)
        return FALSE;
    if (chain->m_Initialised)
        return TRUE;
    if (!chain->m_Limiter.Allocate())
        return FALSE;
    if (NeedsFir(*chain))
    {
        int32_t size = 0;
        dsp::firStateSizeF32(DspChain::TAPS, &size);
        for (int32_t c = 0; c < DspChain::MAX_CHANNELS; ++c)
        {
            chain->m_FirBlock[c] = AllocPoolZeroed(ULONG(size), NonPagedPool, PoolTag::DSPs);
            if (!chain->m_FirBlock[c])
            {
                FreeFirBlocks(*chain);
                chain->m_Limiter.Free();
                return FALSE;
            }
        }
    }
    chain->m_Initialised = true;
    return TRUE;
}

void DspChainSetMode(DspChain *chain, int32_t mode)
{
    if (chain)
        chain->m_Limiter.SetMode(mode);
}

BOOLEAN DspChainSetGains(DspChain *chain, float gain)
{
    return chain && chain->m_Limiter.SetGainTable(gain);
}

BOOLEAN DspChainSetMasterGain(DspChain *chain, float gain)
{
    return chain && chain->m_Limiter.SetCeiling(gain);
}

void DspChainSetFormat(DspChain *chain, const WAVEFORMATEXTENSIBLE *format)
{
    if (!chain || !format)
        return;
    uint32_t words[PeakLimiter::CONFIG_WORDS];
    static_assert(sizeof(words) == sizeof(WAVEFORMATEXTENSIBLE), "the limiter takes the whole record");
    std::memcpy(words, format, sizeof(words));
    chain->m_Format = *format;
    chain->m_Limiter.Initialise(words);
    const float *taps = format->Format.nSamplesPerSec == 48000 ? chain->m_Taps48000 : chain->m_TapsOther;
    chain->m_ActiveTaps = IsUnitImpulse(taps) ? nullptr : taps;
    StartFir(*chain);
}

void DspChainProcess(DspChain *chain, float *const *channels, int32_t count)
{
    if (!chain || !chain->m_Initialised || !channels || count <= 0)
        return;
    const int32_t used = chain->m_Limiter.Channels();
    for (int32_t c = 0; c < used; ++c)
        if (!channels[c])
            return;
    for (int32_t done = 0; done < count; done += DspChain::PIECE)
    {
        const int32_t piece = count - done < DspChain::PIECE ? count - done : DspChain::PIECE;
        float *at[DspChain::MAX_CHANNELS] = {};
        for (int32_t c = 0; c < used; ++c)
        {
            at[c] = channels[c] + done;
            if (chain->m_ActiveTaps && chain->m_Fir[c])
                dsp::firFilterF32(at[c], at[c], piece, chain->m_Fir[c]);
        }
        chain->m_Limiter.Process(at, piece);
    }
}

void DspChainReset(DspChain *chain)
{
    if (!chain || !chain->m_Initialised)
        return;
    chain->m_Limiter.Clear();
    StartFir(*chain);
}

void DspChainClearState(DspChain *chain)
{
    DspChainReset(chain);
}

int32_t ConvertChannels(float *const *channels, int32_t inCount, int32_t outCount, int32_t samples,
                        int32_t plain)
{
    return FormatChannels(channels, inCount, outCount, samples, plain) ? outCount : inCount;
}

bool ParamEngine::ApplyBands(const float first[SLOTS], const float second[SLOTS])
{
    bool all = true;
    for (int32_t i = 0; i < SLOTS; ++i)
        all = SetSource(i, first[i], second[i]) && all;
    return all;
}

BOOLEAN EqSetBand(ParamEngine *eq, int32_t band, float first, float second)
{
    return eq && eq->SetSource(band, first, second);
}

BOOLEAN EqGetBand(ParamEngine *eq, int32_t band, float *first, float *second)
{
    return eq && eq->GetSource(band, first, second);
}

void EqProcess(ParamEngine *eq, float *const *in, float *const *out, int32_t count)
{
    if (eq)
        eq->PanChannels(in, out, count);
}

void EqSecondStage(HrtfEngine *engine, float *const *channels, int32_t count)
{
    if (engine)
        engine->Process(channels, count);
}

void EffectProcess(DelayState *effect, float *const *in, float *const *out, int32_t count)
{
    if (effect)
        effect->Render(in, out, count);
}
