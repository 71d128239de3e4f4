#include "driver/effects/hrtf_virtualizer.h"

#include "driver/effects/fast_math.h"

#include "driver/base/pool_memory.h"

#include <cmath>
#include <cstring>

namespace
{
#include "driver/effects/hrtf_tables.inc"

constexpr int32_t kEntryWords = 54;
constexpr float kDefaultAzimuth[HrtfVirtualizer::CHANNELS] = {-30, 30, 0, 0, -150, 150, -100, 100};
constexpr float kLevelOffset = 1e-10f; // keeps the mix out of denormals
constexpr double kOutputScale = 1.1875;
constexpr int32_t kBytesPerChannel = 1804;
constexpr int32_t kSharedBytes = 4096;
constexpr int32_t kHistory = HrtfVirtualizer::TAPS - 1;
constexpr int32_t kLine = HrtfVirtualizer::MAX_DELAY + 1;

const int16_t *EntryFor(int32_t rate, int32_t channel)
{
    const int16_t *table = rate == 48000 ? kHrtfTable48000 : (rate == 44100 ? kHrtfTable44100 : nullptr);
    return table ? table + channel * kEntryWords : nullptr;
}
} // namespace

struct HrtfVirtualizer::Engine
{
    struct Channel
    {
        float taps[2][TAPS];
        uint8_t delay[2];
        int16_t level;
        float azimuth, elevation, distanceGain;
    } channel[CHANNELS];
};

// A channel's part of the "RP3D" block: its input history and each ear's delay line.
struct HrtfVirtualizer::ChannelWork
{
    float input[kHistory + PIECE]; // the last 24 samples, then the piece
    float ear[2][kLine + PIECE];   // the last 40 filtered samples, then the piece
};
static_assert(sizeof(HrtfVirtualizer::ChannelWork) <= kBytesPerChannel, "a channel's work fits its share");
static_assert(sizeof(float) * HrtfVirtualizer::CHANNELS * HrtfVirtualizer::PIECE <= kSharedBytes,
              "the piece fits");

HrtfVirtualizer::HrtfVirtualizer()
{
    for (float &d : m_Distance)
        d = m_ReferenceDistance;
}

HrtfVirtualizer::~HrtfVirtualizer()
{
    Free();
}

void HrtfVirtualizer::Free()
{
    FreePool(m_Engine);
    FreePool(m_Buffers);
    m_Engine = nullptr;
    m_Buffers = nullptr;
}

bool HrtfVirtualizer::Create()
{
    if (m_Engine)
        return true;
    m_Engine = static_cast<Engine *>(AllocPoolZeroed(sizeof(Engine), NonPagedPool, PoolTag::HRTF));
    m_Buffers = static_cast<unsigned char *>(
        AllocPoolZeroed(CHANNELS * kBytesPerChannel + kSharedBytes, NonPagedPool, PoolTag::RP3D));
    if (!m_Engine || !m_Buffers)
    {
        Free();
        return false;
    }
    PlaceDefaults();
    return true;
}

void HrtfVirtualizer::PlaceDefaults()
{
    for (int32_t c = 0; c < CHANNELS; ++c)
        SetPosition(c, kDefaultAzimuth[c], m_Distance[c]);
}

bool HrtfVirtualizer::SetSampleRate(int32_t rate)
{
    if (rate != 44100 && rate != 48000)
        return false;
    m_SampleRate = rate;
    if (m_Engine)
        PlaceDefaults();
    return true;
}

bool HrtfVirtualizer::SetPosition(int32_t channel, float azimuth, float distance)
{
    return SetPosition(channel, azimuth, 0.5f, distance);
}

bool HrtfVirtualizer::SetPosition(int32_t channel, float azimuth, float elevation, float distance)
{
    if (!m_Engine || channel < 0 || channel >= CHANNELS || !std::isfinite(azimuth) ||
        !std::isfinite(elevation))
        return false;
    const int16_t *entry = EntryFor(m_SampleRate, channel);
    if (!entry)
        return false;
    float az = WrapAzimuth(azimuth);
    float el = elevation < -90.0f ? -90.0f : (elevation > 90.0f ? 90.0f : elevation);
    el = RoundHalfAway(el / 6.0f) * 6.0f;
    if (el == 90.0f || el == -90.0f)
        az = 0.0f;
    else
    {
        const float step = std::fabs(el) > 60.0f ? 12.0f : (std::fabs(el) > 30.0f ? 6.0f : 3.0f);
        az = RoundHalfAway(az / step) * step;
        if (az < -177.0f)
            az += 360.0f;
    }
    float gain = MAX_DISTANCE_GAIN;
    if (distance > 0.0f && std::isfinite(distance))
    {
        const float g = m_ReferenceDistance / distance;
        gain = g < MAX_DISTANCE_GAIN ? g : MAX_DISTANCE_GAIN;
    }
    // A source on the left is the table's right-side entry with the ears exchanged.
    const int32_t swap = az < 0.0f ? 1 : 0;
    Engine::Channel &ch = m_Engine->channel[channel];
    for (int32_t ear = 0; ear < 2; ++ear)
    {
        const int32_t from = ear ^ swap;
        ch.delay[ear] = uint8_t(entry[2 + from]);
        for (int32_t k = 0; k < TAPS; ++k)
            ch.taps[ear][k] = float(entry[4 + from * TAPS + k]) * 0x1p-15f;
    }
    ch.azimuth = az;
    ch.elevation = el;
    ch.distanceGain = gain;
    ch.level = int16_t(1024.0f * gain);
    m_Distance[channel] = distance;
    return true;
}

bool HrtfVirtualizer::GetPlacement(int32_t channel, Placement *out) const
{
    if (!m_Engine || channel < 0 || channel >= CHANNELS || !out)
        return false;
    const Engine::Channel &ch = m_Engine->channel[channel];
    *out = {ch.azimuth,
            ch.elevation,
            ch.distanceGain,
            ch.level,
            {ch.delay[0], ch.delay[1]},
            {ch.taps[0], ch.taps[1]}};
    return true;
}

void HrtfVirtualizer::Process(float *const *channels, int32_t count)
{
    if (!m_Engine || !channels || count <= 0)
        return;
    for (int32_t c = 0; c < CHANNELS; ++c)
        if (!channels[c])
            return;
    ChannelWork *work = reinterpret_cast<ChannelWork *>(m_Buffers);
    float *lfe = reinterpret_cast<float *>(m_Buffers + CHANNELS * kBytesPerChannel);
    for (int32_t done = 0; done < count; done += PIECE)
    {
        const int32_t n = count - done < PIECE ? count - done : PIECE;
        // Every input of the piece first: channels 0 and 1 are about to become the outputs.
        for (int32_t c = 0; c < CHANNELS; ++c)
            if (c != LFE)
                std::memcpy(work[c].input + kHistory, channels[c] + done, n * sizeof(float));
        std::memcpy(lfe, channels[LFE] + done, n * sizeof(float));

        for (int32_t c = 0; c < CHANNELS; ++c)
        {
            if (c == LFE)
                continue;
            const Engine::Channel &ch = m_Engine->channel[c];
            ChannelWork &w = work[c];
            for (int32_t ear = 0; ear < 2; ++ear)
                for (int32_t i = 0; i < n; ++i)
                {
                    double acc = 0.0;
                    for (int32_t k = 0; k < TAPS; ++k)
                        acc += double(ch.taps[ear][k]) * w.input[kHistory + i - k];
                    w.ear[ear][kLine + i] = float(acc);
                }
        }
        for (int32_t ear = 0; ear < 2; ++ear)
        {
            float *out = channels[ear] + done;
            const double lfeFactor = double(m_Engine->channel[LFE].level) / 1024.0;
            for (int32_t i = 0; i < n; ++i)
            {
                double acc = 0.0;
                for (int32_t c = 0; c < CHANNELS; ++c)
                {
                    if (c == LFE)
                        continue;
                    const Engine::Channel &ch = m_Engine->channel[c];
                    const double factor = double(float(ch.level) / 1024.0f + kLevelOffset);
                    acc += factor * work[c].ear[ear][kLine + i - ch.delay[ear]];
                }
                acc += lfeFactor * lfe[i];
                out[i] = float(acc * kOutputScale);
            }
        }
        for (int32_t c = 0; c < CHANNELS; ++c)
        {
            if (c == LFE)
                continue;
            ChannelWork &w = work[c];
            std::memmove(w.input, w.input + n, kHistory * sizeof(float));
            for (int32_t ear = 0; ear < 2; ++ear)
                std::memmove(w.ear[ear], w.ear[ear] + n, kLine * sizeof(float));
        }
    }
}
