// The speaker panner: seven sources placed anywhere on the circle between the two speakers that
// enclose them, with a distance gain and, after any change, one block that crossfades from the
// old routing to the new. Works on eight 128-float blocks in slot order FL, FR, BL, BR, FC, SL,
// SR, LFE; PanChannels adapts the stream's planar channels (FL, FR, FC, LFE, BL, BR, SL, SR).
//
// Set-up and setters: PASSIVE_LEVEL or under the owner's lock. Processing: DISPATCH_LEVEL under
// that lock, floating-point state saved. Only Allocate allocates; the destructor frees.
#pragma once

#include <cstdint>

class SpeakerPanner
{
public:
    static constexpr int32_t SOURCES = 7;
    static constexpr int32_t SLOTS = 8; // the seven sources and the LFE
    static constexpr int32_t LFE = 7;
    static constexpr int32_t BLOCK = 128;
    static constexpr int32_t WORK_BUFFERS = 16;
    static constexpr float MAX_DISTANCE_GAIN = 2.37f;

    SpeakerPanner();
    ~SpeakerPanner();
    SpeakerPanner(const SpeakerPanner &) = delete;
    SpeakerPanner &operator=(const SpeakerPanner &) = delete;

    // 16 work buffers of 128 floats from the primitive library (8 channel blocks, 7 accumulators
    // and a spare). False, after freeing what it got, when one fails; true at once when done.
    bool Allocate();
    bool IsAllocated() const { return m_Work[0] != nullptr; }

    // Places source `index` (0..6; 7 is the LFE, which takes only the distance gain).
    // Distance gain min((30 / distance)^2, 2.37); a distance <= 0 or not finite takes the cap.
    // The azimuth (degrees, any finite value) is wrapped into [-180, 180]. Returns false, changing
    // nothing, for an index outside 0..7 or a source azimuth that is not finite.
    bool SetSource(int32_t index, float distance, float azimuth);
    // The stored distance and azimuth of slot 0..7; false for other indices (outputs untouched).
    bool GetSource(int32_t index, float *distance, float *azimuth) const;

    // Pans `count` (1..128) samples of the eight slot blocks in[] into out[] (may be the same
    // blocks). Any other count, or no buffers, does nothing.
    void Process(const float *const *in, float *const *out, int32_t count);
    // The stream entry: eight planar channels in WAVE order, cut into 128-sample pieces that go
    // through the work blocks; in and out may be the same set.
    void PanChannels(const float *const *in, float *const *out, int32_t count);

    struct Routing
    {
        int32_t first, second;
        float firstGain, secondGain;
    };
    Routing Current(int32_t source) const { return m_Source[source].now; }
    float LfeGain() const { return m_LfeGain; }
    bool Dirty() const { return m_Dirty; }

private:
    struct Source
    {
        float distance = 30.0f;
        float azimuth = 0.0f;
        Routing now{};
        Routing before{};
    };

    enum class Fade
    {
        None,
        In,
        Out
    };
    static constexpr int32_t RAMP = WORK_BUFFERS - 1; // the spare block holds the crossfade ramp

    void Free();
    void Accumulate(const Routing &r, const float *in, int32_t count, Fade fade);

    float m_Speakers[SOURCES];
    float m_SpeakersCopy[SOURCES];
    Source m_Source[SLOTS]; // entry 7 keeps only the LFE's distance and azimuth
    float m_LfeGain = 1.0f;
    float m_PrevLfeGain = 1.0f;
    bool m_Dirty = false;
    float *m_Work[WORK_BUFFERS] = {};
};
