// The positional HRTF virtualiser: each of eight channels goes through a 25-tap filter per ear,
// an interaural delay and a distance level, and the channels are mixed to two ears (the LFE
// straight to both). Filters come from a per-rate table (44100 or 48000 Hz) by channel; a
// negative azimuth mirrors the channel by swapping its ears.
//
// Create allocates (PASSIVE_LEVEL); SetPosition and SetSampleRate run under the owner's lock;
// Process runs at DISPATCH_LEVEL under that lock with the floating-point state saved.
#pragma once

#include <cstdint>

class HrtfVirtualizer
{
public:
    static constexpr int32_t CHANNELS = 8;
    static constexpr int32_t TAPS = 25;
    static constexpr int32_t PIECE = 64;
    static constexpr int32_t MAX_DELAY = 39; // a delay line keeps 40 samples
    static constexpr int32_t LFE = 3;
    static constexpr float MAX_DISTANCE_GAIN = 6.31f;

    HrtfVirtualizer();
    ~HrtfVirtualizer();
    HrtfVirtualizer(const HrtfVirtualizer &) = delete;
    HrtfVirtualizer &operator=(const HrtfVirtualizer &) = delete;

    // The 8-channel engine ("HRTF") and its buffers (one "RP3D" block of 8 x 1804 + 4096
    // bytes), every channel placed at its default azimuth. False, with nothing kept, when an
    // allocation fails; true at once when done.
    bool Create();
    bool IsCreated() const { return m_Engine != nullptr; }
    // 44100 or 48000: re-places all eight channels at their default azimuths (distances kept).
    // Any other rate is refused (false) and changes nothing.
    bool SetSampleRate(int32_t rate);
    // Places channel 0..7 at an elevation of 0.5 degrees (SetPosition with elevation).
    bool SetPosition(int32_t channel, float azimuth, float distance);
    // Azimuth wrapped into [-180, 180], elevation clamped to [-90, 90], both quantised (elevation
    // to 6 degrees; azimuth to 3, 6 or 12 as |elevation| grows, 0 at the poles, below -177 taken
    // as +180); distance gain min(30 / distance, 6.31), the cap for a distance <= 0 or not finite;
    // level = 1024 x gain, truncated. Refused (false, nothing changed): a channel outside 0..7, an
    // angle that is not finite, no engine.
    bool SetPosition(int32_t channel, float azimuth, float elevation, float distance);
    // Mixes channels[0..7] into channels 0 (left) and 1 (right) in 64-sample pieces, each
    // piece's inputs read before its outputs are written; the other channels are left as they
    // are. Nothing without the engine.
    void Process(float *const *channels, int32_t count);

    struct Placement
    {
        float azimuth, elevation, distanceGain;
        int16_t level;    // Q10
        uint8_t delay[2]; // left, right
        const float *taps[2];
    };
    bool GetPlacement(int32_t channel, Placement *out) const;
    int32_t SampleRate() const { return m_SampleRate; }

    struct Engine;
    struct ChannelWork;

protected:
    void Free();
    void PlaceDefaults();

    float m_ReferenceDistance = 30.0f;
    int32_t m_SampleRate = 48000;
    float m_Distance[CHANNELS];
    Engine *m_Engine = nullptr;
    unsigned char *m_Buffers = nullptr;
};
