// SimpleSampleDelay: the last m_nHeld samples pushed, followed by room for one push of up to
// m_nBufSize samples. After Push(in, size) the window [m_nHeld older samples, the size new ones]
// is readable in order from Window(); the samples held for the next push are the last m_nHeld
// of it (Held()).
//
// Create and Destroy at set-up; Push at DISPATCH_LEVEL without allocating.
#pragma once

#include <cstdint>

class SimpleSampleDelay
{
public:
    SimpleSampleDelay() = default;
    ~SimpleSampleDelay() { Destroy(); }
    SimpleSampleDelay(const SimpleSampleDelay &) = delete;
    SimpleSampleDelay &operator=(const SimpleSampleDelay &) = delete;

    // A buffer of held + capacity floats ("QVRP"), all zero. False (nothing kept) on a failed
    // allocation or a count outside 1..2^20.
    bool Create(int32_t capacity, int32_t held);
    void Destroy();

    // Appends size samples after the held ones, once the previous push's samples have shifted
    // the held ones down. A size above the capacity (or <= 0, or no buffer) fails the check and
    // writes nothing: false.
    bool Push(const float *in, int32_t size);
    // The held samples followed by the last push's: m_nHeld + LastPush() floats.
    const float *Window() const { return m_pBuf; }
    // The m_nHeld most recent samples, oldest first.
    const float *Held() const { return m_pBuf + m_nLast; }
    int32_t LastPush() const { return m_nLast; }
    // Back to silence.
    void Clear();

    int32_t m_nBufSize = 0;
    int32_t m_nHeld = 0;

private:
    float *m_pBuf = nullptr;
    int32_t m_nLast = 0;
};
