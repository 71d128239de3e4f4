// The linked peak limiter: up to eight channels in 128-sample blocks, a block-peak detector with
// a 20-block hold over a 200-block history, one common target for all channels (the smallest),
// and gain ramps applied one block late, so the output lags the input by exactly 256 samples and
// a block's gain already answers the peak of the block after it.
//
// Set-up calls (Allocate, Initialise, the setters) run at PASSIVE_LEVEL or under the owner's
// lock; Process runs at DISPATCH_LEVEL under the same lock with the floating-point state saved.
// Only Allocate allocates; the destructor frees.
#pragma once

#include <nt_types.h>

#include <cstdint>

class PeakLimiter
{
public:
    static constexpr int32_t MAX_CHANNELS = 8;
    static constexpr int32_t BLOCK = 128;
    static constexpr int32_t HISTORY = 200;
    static constexpr int32_t HOLD = 20;
    static constexpr int32_t CONFIG_WORDS = 10;
    // Largest ceiling or gain accepted: 60 dB keeps every product of gain and a finite sample
    // finite; the nodes ask for at most 2.8183.
    static constexpr float MAX_LEVEL = 1000.0f;

    PeakLimiter();
    ~PeakLimiter();
    PeakLimiter(const PeakLimiter &) = delete;
    PeakLimiter &operator=(const PeakLimiter &) = delete;

    // One non-paged "DSPs" block per channel (input and output double buffers, peak history),
    // then Clear. False, with nothing kept, when an allocation fails; true at once when done.
    bool Allocate();
    bool IsAllocated() const { return m_Allocated; }
    // Frees the channel blocks; Process is a no-op until the next Allocate.
    void Free();

    // Clear, then copies the stream's format record (10 words): channel count in the upper 16
    // bits of word 0 (more than 8 are clamped to 8; 0 makes Process a no-op), rate in word 1.
    void Initialise(const uint32_t config[CONFIG_WORDS]);
    // Ceiling and gains: 0..MAX_LEVEL; anything else (NaN, inf, negative) returns false and
    // changes nothing.
    bool SetCeiling(float value);   // marks every channel for reset
    bool SetGainTable(float value); // maximum and current gain; marks only in mode 0
    void SetMode(int32_t value);    // marks every channel for reset
    // Only when allocated: marks every channel for reset, zeroes the double buffers and the peak
    // histories and every position; the current gains stay.
    void Clear();
    // Limits `count` samples of the configured channels in place (output = input 256 samples
    // earlier, times the gain). Nothing without Allocate or with 0 channels.
    void Process(float *const *channels, int32_t count);

    int32_t Channels() const { return m_Channels; }
    float Gain(int32_t channel) const { return m_Channel[channel].gain; }
    float Target(int32_t channel) const { return m_Channel[channel].target; }
    float Ceiling() const { return m_Ceiling; }
    bool ResetPending(int32_t channel) const { return m_Channel[channel].reset; }

private:
    struct ChannelState
    {
        float *block = nullptr; // input[2][BLOCK], output[2][BLOCK], history[HISTORY]
        float maxGain = 1.0f;
        float gain = 1.0f;
        float target = 1.0f;
        bool reset = true;
        float *Input(int32_t half) const { return block + half * BLOCK; }
        float *Output(int32_t half) const { return block + (2 + half) * BLOCK; }
        float *History() const { return block + 4 * BLOCK; }
    };

    void MarkAll();
    void BlockStep();
    float Detect(ChannelState &ch, const float *half);
    static void Ramp(ChannelState &ch, float target, const float *in, float *out);

    uint32_t m_Config[CONFIG_WORDS] = {};
    int32_t m_Channels = 0;
    float m_Ceiling = 1.0f;
    int32_t m_Mode = 0;
    ChannelState m_Channel[MAX_CHANNELS];
    int32_t m_HistoryIndex = 0;
    int32_t m_Fill = 0;
    int32_t m_Out = 0;
    int32_t m_Parity = 0;
    bool m_Allocated = false;
};
