#include "driver/effects/effect_path.h"

#include "driver/base/pool_memory.h"
#include "driver/base/queued_lock.h"
#include "driver/effects/chain_adapters.h"
#include "dsp/dispatch/primitives.h"

#include <cstring>

namespace
{
constexpr ULONG kBufferBytes = CEffectPath::CHUNK_FRAMES * sizeof(float);

void CopySamples(const float *from, float *to, ULONG frames)
{
    std::memcpy(to, from, frames * sizeof(float));
}
} // namespace

CEffectPath::CEffectPath(ULONG poolTag, OutputRule rule)
    : m_PoolTag(poolTag), m_Rule(rule), m_NodeLock(0), m_Dry(nullptr), m_Wet(nullptr), m_Fade(FADE_STEADY),
      m_FadePosition(0)
{
    KeInitializeSpinLock(&m_NodeLock);
}

CEffectPath::~CEffectPath()
{
    FreeSets();
}

void CEffectPath::FreeSets()
{
    for (float **set : {m_Dry, m_Wet})
        if (set)
            for (ULONG c = 0; c < CHANNELS; ++c)
                FreePool(set[c]);
    FreePool(m_Dry);
    FreePool(m_Wet);
    m_Dry = m_Wet = nullptr;
}

NTSTATUS CEffectPath::AllocateSets()
{
    for (float ***set : {&m_Dry, &m_Wet})
    {
        if (!*set)
            *set =
                static_cast<float **>(AllocPoolZeroed(CHANNELS * sizeof(float *), NonPagedPool, m_PoolTag));
        if (!*set)
            return STATUS_INSUFFICIENT_RESOURCES;
        for (ULONG c = 0; c < CHANNELS; ++c)
        {
            if (!(*set)[c])
                (*set)[c] = static_cast<float *>(AllocPoolZeroed(kBufferBytes, NonPagedPool, m_PoolTag));
            if (!(*set)[c])
                return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    return STATUS_SUCCESS;
}

BOOLEAN CEffectPath::SetsReady() const
{
    return m_Dry && m_Wet && m_Dry[CHANNELS - 1] && m_Wet[CHANNELS - 1];
}

void CEffectPath::FoldToStereo(float *const *set, ULONG channels, ULONG frames)
{
    if (ConvertChannels(set, int32_t(channels), 2, int32_t(frames), 1) != 2 || channels <= 2)
        return;
    for (ULONG c = 2; c < channels; ++c)
        dsp::zeroF32(set[c], int32_t(frames));
}

void CEffectPath::BeforeCopy(float *const *, ULONG, ULONG) {}
void CEffectPath::AfterStages(float *const *, ULONG, ULONG) {}

NTSTATUS CEffectPath::RunEntry(const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames)
{
    if (TakeToggle())
    {
        CQueuedLockGuard lock(m_NodeLock);
        m_Fade = IsEnabled() ? FADE_TO_WET : FADE_TO_DRY;
        m_FadePosition = 0;
    }
    if (!format || SampleTypeOf(*format) != WAVE_FORMAT_PCM || !EffectsReady() || !SetsReady() || !buffers)
        return STATUS_SUCCESS;
    const ULONG channels = format->Format.nChannels;
    if (channels == 0 || channels > CHANNELS)
        return STATUS_SUCCESS;
    for (ULONG c = 0; c < channels; ++c)
        if (!buffers[c])
            return STATUS_SUCCESS;

    CQueuedLockGuard lock(m_NodeLock);
    for (ULONG done = 0; done < frames; done += CHUNK_FRAMES)
    {
        float *piece[CHANNELS] = {};
        for (ULONG c = 0; c < channels; ++c)
            piece[c] = buffers[c] + done;
        RunPiece(format->Format.nSamplesPerSec, channels, piece,
                 frames - done < CHUNK_FRAMES ? frames - done : CHUNK_FRAMES);
    }
    return STATUS_SUCCESS;
}

void CEffectPath::RunPiece(ULONG rate, ULONG channels, float *const *buffers, ULONG frames)
{
    BeforeCopy(buffers, channels, frames);
    for (ULONG c = 0; c < CHANNELS; ++c)
    {
        if (c < channels)
        {
            CopySamples(buffers[c], m_Dry[c], frames);
            CopySamples(buffers[c], m_Wet[c], frames);
        }
        else
        {
            dsp::zeroF32(m_Dry[c], int32_t(frames));
            dsp::zeroF32(m_Wet[c], int32_t(frames));
        }
    }
    DryStages(m_Dry, channels, frames);
    WetStages(m_Wet, channels, frames);
    AfterStages(m_Wet, channels, frames);

    float *const *output = HearsWet(channels, IsEnabled()) ? m_Wet : m_Dry;
    Crossfade(rate, output, channels, frames);
    for (ULONG c = 0; c < channels; ++c)
        CopySamples(output[c], buffers[c], frames);
}

BOOLEAN CEffectPath::HearsWet(ULONG channels, BOOLEAN enabled) const
{
    const BOOLEAN manyChannels = channels >= 6;
    switch (m_Rule)
    {
    case OUTPUT_SIX_OR_EIGHT:
        if (channels != 6 && channels != 8)
            return FALSE;
        return enabled || m_Fade != FADE_STEADY;
    case OUTPUT_WHILE_FADING:
        return enabled || (manyChannels && m_Fade != FADE_STEADY);
    case OUTPUT_WHEN_ENABLED:
    default:
        return enabled;
    }
}

// Channels 0 and 1 (E samples per ms): to the processed output, the dry signal falls over 2E samples
// and the output rises over the next 2E; to dry, what the stream heard while the node was on falls
// and the dry signal rises, so a stream that hears the dry copy either way only dips. The fade
// is 4E long whatever the chunk size, so its position carries from chunk to chunk (at 192 kHz, 768
// samples span two chunks).
void CEffectPath::Crossfade(ULONG rate, float *const *output, ULONG channels, ULONG frames)
{
    if (m_Fade == FADE_STEADY)
        return;
    const ULONG e = rate / 1000;
    if (e == 0)
    {
        m_Fade = FADE_STEADY;
        return;
    }
    const ULONG half = 2 * e;
    const float span = float(half - 1);
    const BOOLEAN toWet = m_Fade == FADE_TO_WET;
    float *const *first = toWet ? m_Dry : (HearsWet(channels, TRUE) ? m_Wet : m_Dry);
    float *const *second = toWet ? output : m_Dry;
    const ULONG faded = channels < 2 ? channels : 2;
    for (ULONG c = 0; c < faded; ++c)
    {
        float *out = output[c];
        for (ULONG i = 0, at = m_FadePosition; i < frames; ++i, ++at)
        {
            if (at < half)
                out[i] = first[c][i] * (1.0f - float(at) / span);
            else if (at < 2 * half)
                out[i] = second[c][i] * (float(at - half) / span);
            else
                out[i] = second[c][i];
        }
    }
    // The copy after the fade takes channels 2 and up from the output set; channels 0 and 1 are
    // already in it.
    m_FadePosition += frames;
    if (m_FadePosition >= 2 * half)
    {
        m_Fade = FADE_STEADY;
        m_FadePosition = 0;
    }
}
