// CQvrEffect: the headphone virtual surround as the render pipe sees it. It holds the user's
// settings (two speaker settings, the tail mode, the room) and forwards them to its engine
// (AudioApp, "QVRP"); Process runs the engine when enabled, else a plain mix-down.
//
// The setters only record requests in the engine (applied by its next block), so they may run
// beside Process. SetFormat rebuilds the engine's buffers: PASSIVE_LEVEL, never beside Process
// (the owner holds its lock). Process runs at DISPATCH_LEVEL with the floating-point state saved.
#pragma once

#include <pc_wave_format.h>

#include <cstdint>

class AudioApp;

class CQvrEffect
{
public:
    static constexpr int32_t MAX_CHANNELS = 8;

    // Allocates and sets up the engine: 44100 Hz, 6 inputs, 2 outputs, output offset 512, the
    // first speaker setting's filters. A failed allocation leaves no engine (SetFormat -1,
    // Process the passthrough); a failed set-up leaves the passthrough until SetFormat succeeds.
    CQvrEffect();
    ~CQvrEffect();
    CQvrEffect(const CQvrEffect &) = delete;
    CQvrEffect &operator=(const CQvrEffect &) = delete;

    void SetEnabled(int32_t flag) { m_bEnabled = flag != 0; }
    // Channel count (1..8) and rate: the engine is set up for them with an output offset of 256.
    // 0: set up; -1: no engine or format, 0 or more than 8 channels or a rate above 2^31 - 1
    // (nothing changed), or a failed set-up (passthrough until one succeeds; a core that failed
    // to allocate at create is created again first).
    int32_t SetFormat(const WAVEFORMATEX *format);
    // Non-zero: the tail table of the current room; zero: no table (unity).
    void SetTailMode(int32_t flag);
    // 0..4 become 5, 10, 15, 20, 30; other values are stored as they are. Applied in tail mode.
    void SetRoom(int32_t selection);
    // Speaker setting 0 (first) or 1 (second); a change of the setting the tail mode uses
    // (mode 0: first, 1: second) reloads the filters. Other `which` values are ignored.
    void SetSize(int32_t which, int32_t size);
    void SetAngle(int32_t which, int32_t angle);
    void SetAngleFlag(int32_t which, int32_t flag);

    int32_t GetEnabled() const { return m_bEnabled ? 1 : 0; }
    int32_t GetTailMode() const { return m_nTailMode; }
    int32_t GetRoom() const { return m_nRoom; }
    int32_t GetSize(int32_t which) const { return m_nSize[which != 0]; }
    int32_t GetAngle(int32_t which) const { return m_nAngle[which != 0]; }
    int32_t GetAngleFlag(int32_t which) const { return m_nAngleFlag[which != 0]; }
    int32_t GetChannels() const { return m_nChannels; }

    // count samples of the stored channel count in place: the engine's ears to channels 0 and 1
    // when enabled with a ready engine and 2, 6 or 8 channels, else the passthrough mix-down.
    void Process(float *const *channels, int32_t count);

    // (flag, angle setting) to an angle code: 0/25 -> 25 or 24, 1/30 -> 30/29, 2/35 -> 35/34,
    // 3/40 -> 40/39, 31 -> 31; anything else -1.
    static int32_t MapAngle(int32_t flag, int32_t angle);
    // Size setting to the engine's size code: 0 -> 3, 1 -> 2, 2 -> 1; others fail the check: 2.
    static int32_t MapSize(int32_t size);
    // The mix-down: 1 and 2 channels stay; more mix to L = 0.5 (FL + BL) + 0.707 FC (+ 0.25 SL
    // with 8), R likewise, in channels 0 and 1. Channels by position FL, FR, FC, LFE, BL, BR, SL,
    // SR, 4 channels being FL, FR, BL, BR. The LFE is left out.
    static void Passthrough(float *const *channels, int32_t nChannels, int32_t count);

    AudioApp *Engine() const { return m_pEngine; }

private:
    void Reload(int32_t which);

    AudioApp *m_pEngine = nullptr;
    bool m_bEnabled = false;
    int32_t m_nTailMode = 0;
    int32_t m_nSize[2] = {1, 1};
    int32_t m_nAngle[2] = {40, 40};
    int32_t m_nAngleFlag[2] = {0, 0};
    int32_t m_nRoom = 20;
    int32_t m_nChannels = 8;
};
