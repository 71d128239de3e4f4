// SRC: the integer-factor rate converter of one channel, in one direction.
// - Down (high rate to low): the anti-alias filter over the block, then every factor-th sample,
//   the phase carried from block to block.
// - Up (low rate to high): zeros with the input on every factor-th sample, the anti-alias filter,
//   then x factor to restore the level.
// The anti-alias filter is the plain third-order IIR of the factor run twice (a pair), or a
// LinearPhaseIIR (zero phase, one block late).
//
// Create and Destroy at set-up (PASSIVE_LEVEL); Process at DISPATCH_LEVEL without allocating.
#pragma once

#include "driver/effects/headphone/linear_phase_iir.h"

#include <cstdint>

namespace dsp
{
struct IirState;
}

class SRC
{
public:
    SRC() = default;
    ~SRC() { Destroy(); }
    SRC(const SRC &) = delete;
    SRC &operator=(const SRC &) = delete;

    // factor 2 or 4; down: true for high to low; highLen: the block length at the high rate (a
    // multiple of the factor, up to 2^20). False, nothing kept, otherwise or on a failed
    // allocation.
    bool Create(int32_t factor, bool down, int32_t highLen, bool linearPhase);
    void Destroy();

    // Down: highLen samples in, highLen / factor out. Up: highLen / factor in, highLen out.
    // Another length writes nothing and returns false. in and out must not overlap.
    bool Process(const float *in, int32_t len, float *out);

    // The plain filter's b0..b3, a0..a3 for factor 2 or 4 (null otherwise).
    static const float *PlainTaps(int32_t factor);

    int32_t m_nSrcFactor = 0;
    bool m_bDown = true;

private:
    dsp::IirState *m_pIir[2] = {};
    LinearPhaseIIR m_Linear;
    bool m_bLinear = false;
    float *m_pWork = nullptr;
    int32_t m_nHighLen = 0;
    int32_t m_nPhase = 0;
};
