#include "driver/effects/peak_limiter.h"

#include "driver/base/pool_memory.h"
#include "dsp/dispatch/primitives.h"

#include <cmath>
#include <cstring>

namespace
{
constexpr int32_t kFloatsPerChannel = 4 * PeakLimiter::BLOCK + PeakLimiter::HISTORY;
constexpr float kEpsilon = 1.1920929e-7f;
// Rising gains recover over 80 blocks; falling gains and resets take one block.
constexpr float kRiseSamples = 10240.0f;

bool LevelAccepted(float value)
{
    return value >= 0.0f && value <= PeakLimiter::MAX_LEVEL;
}

// A steady gain over one block. The input and output halves never overlap: saying so lets the
// compiler take four samples a step.
void ScaleBlock(const float *__restrict in, float *__restrict out, float g)
{
    for (int32_t n = 0; n < PeakLimiter::BLOCK; ++n)
        out[n] = in[n] * g;
}
} // namespace

PeakLimiter::PeakLimiter() = default;

PeakLimiter::~PeakLimiter()
{
    Free();
}

void PeakLimiter::Free()
{
    for (ChannelState &ch : m_Channel)
    {
        FreePool(ch.block);
        ch.block = nullptr;
    }
    m_Allocated = false;
}

bool PeakLimiter::Allocate()
{
    if (m_Allocated)
        return true;
    for (ChannelState &ch : m_Channel)
    {
        ch.block = static_cast<float *>(
            AllocPoolZeroed(kFloatsPerChannel * sizeof(float), NonPagedPool, PoolTag::DSPs));
        if (!ch.block)
        {
            Free();
            return false;
        }
    }
    m_Allocated = true;
    Clear();
    return true;
}

void PeakLimiter::MarkAll()
{
    for (ChannelState &ch : m_Channel)
        ch.reset = true;
}

void PeakLimiter::Clear()
{
    if (!m_Allocated)
        return;
    MarkAll();
    for (ChannelState &ch : m_Channel)
        std::memset(ch.block, 0, kFloatsPerChannel * sizeof(float));
    m_HistoryIndex = m_Fill = m_Out = m_Parity = 0;
}

void PeakLimiter::Initialise(const uint32_t config[CONFIG_WORDS])
{
    Clear();
    std::memcpy(m_Config, config, sizeof(m_Config));
    const int32_t channels = int32_t(m_Config[0] >> 16);
    // The record comes from the stream's format; only eight channels have state.
    m_Channels = channels > MAX_CHANNELS ? MAX_CHANNELS : channels;
}

bool PeakLimiter::SetCeiling(float value)
{
    if (!LevelAccepted(value))
        return false;
    m_Ceiling = value;
    MarkAll();
    return true;
}

bool PeakLimiter::SetGainTable(float value)
{
    if (!LevelAccepted(value))
        return false;
    for (ChannelState &ch : m_Channel)
    {
        ch.maxGain = value;
        ch.gain = value;
        if (m_Mode == 0)
            ch.reset = true;
    }
    return true;
}

void PeakLimiter::SetMode(int32_t value)
{
    m_Mode = value;
    MarkAll();
}

float PeakLimiter::Detect(ChannelState &ch, const float *half)
{
    float high = 0.0f, low = 0.0f;
    dsp::maxF32(half, BLOCK, &high);
    dsp::minF32(half, BLOCK, &low);
    float *history = ch.History();
    // The block's own peak goes in first, so the hold spans this block and the 19 before it;
    // the slot still holding the peak of 200 blocks ago is overwritten, never read.
    const float own = std::fabs(high) > std::fabs(low) ? std::fabs(high) : std::fabs(low);
    history[m_HistoryIndex] = own;
    float peak = own;
    for (int32_t back = 1; back < HOLD; ++back)
    {
        const float h = history[(m_HistoryIndex - back + HISTORY) % HISTORY];
        if (h > peak)
            peak = h;
    }
    float target = m_Ceiling < peak * ch.maxGain ? m_Ceiling / peak : ch.maxGain;
    if (target < 0.0f)
        target = 0.0f;
    return target;
}

void PeakLimiter::Ramp(ChannelState &ch, float target, const float *in, float *out)
{
    float g = ch.gain;
    if (g == target)
        ScaleBlock(in, out, g);
    else
    {
        const bool rising = g < target;
        float step =
            rising ? (target - g) / (ch.reset ? float(BLOCK) : kRiseSamples) : (g - target) / float(BLOCK);
        if (step < g * kEpsilon)
            step = g * kEpsilon;
        for (int32_t n = 0; n < BLOCK; ++n)
        {
            out[n] = in[n] * g;
            if (rising)
                g = g + step > target ? target : g + step;
            else
                g = g - step < target ? target : g - step;
        }
        // A one-block ramp ends on its target: 128 rounded steps may stop a few ulps short,
        // and a falling gain left above the target would let the held peak through the ceiling.
        if (!rising || ch.reset)
            g = target;
    }
    ch.gain = g;
    ch.reset = false;
}

void PeakLimiter::BlockStep()
{
    const int32_t filled = (m_Parity + 1) % 2;
    float targets[MAX_CHANNELS];
    for (int32_t c = 0; c < m_Channels; ++c)
        targets[c] = Detect(m_Channel[c], m_Channel[c].Input(filled));
    float common = 0.0f;
    dsp::minF32(targets, m_Channels, &common);
    for (int32_t c = 0; c < m_Channels; ++c)
    {
        ChannelState &ch = m_Channel[c];
        ch.target = common;
        Ramp(ch, common, ch.Input(m_Parity), ch.Output(filled));
    }
    m_HistoryIndex = (m_HistoryIndex + 1) % HISTORY;
}

void PeakLimiter::Process(float *const *channels, int32_t count)
{
    if (!m_Allocated || m_Channels <= 0 || !channels || count <= 0)
        return;
    for (int32_t c = 0; c < m_Channels; ++c)
        if (!channels[c])
            return;
    int32_t done = 0;
    while (done < count)
    {
        const int32_t piece = count - done < BLOCK - m_Fill ? count - done : BLOCK - m_Fill;
        const int32_t in = (m_Parity + 1) % 2;
        for (int32_t c = 0; c < m_Channels; ++c)
            std::memcpy(m_Channel[c].Input(in) + m_Fill, channels[c] + done, piece * sizeof(float));
        m_Fill += piece;
        if (m_Fill == BLOCK)
        {
            BlockStep();
            m_Fill = 0;
        }
        for (int32_t c = 0; c < m_Channels; ++c)
            std::memcpy(channels[c] + done, m_Channel[c].Output(m_Parity) + m_Out, piece * sizeof(float));
        m_Out += piece;
        if (m_Out == BLOCK)
        {
            m_Out = 0;
            m_Parity ^= 1;
        }
        done += piece;
    }
}
