// The room virtualiser: renders a 5.1 or 7.1 float stream to two headphone channels through a
// shuffler network of seven virtual speakers (sum and difference filters per pair) and a room
// reverb of four feedback delay lines mixed by a fixed orthonormal matrix, quantised to 16-bit
// resolution. All histories live in one circular delay memory sized for the largest rate; a
// format change only changes the length in use.
//
// Configure may be called at any time (it only records a request); Render applies a pending
// request and processes, at DISPATCH_LEVEL under the pipe's lock with the floating-point state
// saved. Nothing allocates; the owner allocates the object (non-paged, "DoHP").
#pragma once

#include <cstdint>

// One rate's coefficients (the gains that hold at every rate are the virtualiser's constants).
struct RoomRateTable
{
    struct Tap
    {
        int32_t delay;
        float weight;
    };
    int32_t memoryLength;
    Tap taps[4][4]; // r1..r4, read from lines L1..L4 in this order
    int32_t tapCount[4];
    float b0, b1, a1, a2;  // high-pass biquad, b2 = b0
    int32_t counts[3];     // shuffler taps of Cv, Fm, Fs / Sm, Ss / Bm, Bs
    const float *shuffler; // h_1.. of the seven filters, one after the other
    float direct[4][3];    // centre, front, side, back: d0, d1, d2
};

class RoomVirtualizer
{
public:
    static constexpr int32_t MEMORY_FLOATS = 7155; // the 96000 Hz layout
    static constexpr int32_t RATE_CODES = 18;
    static constexpr int32_t SHUFFLERS = 7; // Cv, Fm, Fs, Sm, Ss, Bm, Bs

    RoomVirtualizer() = default;

    // Codes and modes 0 (48000 Hz table, mode 0: silence in), the 48000 Hz memory cleared.
    void Init();
    // Records the rate (48000 -> 0, 44100 -> 1, 32000 -> 2, 96000 -> 16, 88200 -> 17, any other
    // rate -> 1) and the mode (channel count - 1); the next Render applies them.
    void Configure(int32_t rate, int32_t mode);
    bool FormatPending() const;
    // The requested code has a coefficient table and the requested mode is 0..7.
    bool FormatValid() const;
    // A valid request becomes current with a cleared memory; an invalid one is dropped.
    void ApplyFormat();
    // The requested code becomes current with a cleared memory; the mode is left for Render.
    void ClearHistory();
    // Applies a pending format (even for count <= 0), then renders `count` samples: mode 7 reads
    // in[0..7], mode 5 in[0..5] (SL, SR silent), other modes read nothing and give only the
    // tails of earlier input. Writes out[0] (left) and out[1] (right) as multiples of 1/32768;
    // the inputs are never modified, and in may be the same array as out (each sample's inputs
    // are read before its outputs are written). Null buffers make it render nothing.
    void Render(const float *const *in, float *const *out, int32_t count);
    // 16-bit quantiser: 65536 + floor(32768 y + 0.5), with y >= 65535/65536 taken as
    // 32767/32768, y < -65535/65536 as -1, NaN as 0; the caller keeps the low 16 bits.
    static int32_t ToSample16(float value);

    int32_t CurrentCode() const { return m_CurrentCode; }
    int32_t CurrentMode() const { return m_CurrentMode; }
    int32_t MemoryLength() const { return m_MemoryLength; }
    // The shuffler taps h_1..h_n of filter 0..6 at a code with a table, else null.
    static const float *ShufflerTaps(int32_t code, int32_t filter, int32_t *count);
    // The coefficient table of a code, or null for a code without one.
    static const RoomRateTable *Coefficients(int32_t code);

private:
    int32_t m_CurrentCode = 0;
    int32_t m_CurrentMode = 0;
    int32_t m_RequestedCode = 0;
    int32_t m_RequestedMode = 0;
    int32_t m_MemoryLength = 0;
    float *m_MemoryStart = nullptr;
    float *m_WritePosition = nullptr;
    float m_Memory[MEMORY_FLOATS] = {};

    void Restart(int32_t code);
};
