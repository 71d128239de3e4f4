// LinearPhaseIIR: a zero-phase low-pass for the rate converter, one block late. Each block goes
// forward through IIR 1 (state carried from block to block) into a delay line that keeps the
// previous block; IIR 2 then runs from rest backwards over [previous block, current block], and
// the previous block's part, turned round again, is the output. The pair's response is
// |H1||H2|, its phase zero about a delay of exactly one block.
//
// Create and Destroy at set-up (PASSIVE_LEVEL); Process at DISPATCH_LEVEL without allocating.
#pragma once

#include "driver/effects/headphone/simple_sample_delay.h"

#include <cstdint>

namespace dsp
{
struct IirState;
}

class LinearPhaseIIR
{
public:
    static constexpr int32_t ROW = 16; // IIR 1 b0..b3 a0..a3, then IIR 2 the same

    LinearPhaseIIR() = default;
    ~LinearPhaseIIR() { Destroy(); }
    LinearPhaseIIR(const LinearPhaseIIR &) = delete;
    LinearPhaseIIR &operator=(const LinearPhaseIIR &) = delete;

    // The generated row of factor 2 or 4 (null for any other factor).
    static const float *RowForFactor(int32_t factor);

    // Blocks of `blockLen` samples (1..2^20) with the given row (a0 of either filter not 0).
    // False, nothing kept, on a bad argument or a failed allocation.
    bool Create(const float *row, int32_t blockLen);
    void Destroy();
    bool IsCreated() const { return m_pIir1 != nullptr; }

    // len samples from in to out (may be the same array), the output one block late. A len
    // other than the block length writes nothing and returns false.
    bool Process(const float *in, float *out, int32_t len);

    int32_t BlockLength() const { return m_nBlock; }

private:
    dsp::IirState *m_pIir1 = nullptr;
    SimpleSampleDelay m_Delay;
    float *m_pWork = nullptr;
    double m_b2[4] = {}, m_a2[4] = {}; // IIR 2, divided by its a0
    float m_Row[ROW] = {};
    int32_t m_nBlock = 0;
};
