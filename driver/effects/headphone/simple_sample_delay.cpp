#include "driver/effects/headphone/simple_sample_delay.h"

#include "driver/effects/fx_assert.h"
#include "driver/effects/headphone/qvr_memory.h"

#include <cstring>

bool SimpleSampleDelay::Create(int32_t capacity, int32_t held)
{
    Destroy();
    if (capacity <= 0 || held < 0 || capacity > (1 << 20) || held > (1 << 20))
        return false;
    m_pBuf = QvrAllocFloats(capacity + held);
    if (!m_pBuf)
        return false;
    m_nBufSize = capacity;
    m_nHeld = held;
    m_nLast = 0;
    return true;
}

void SimpleSampleDelay::Destroy()
{
    QvrFree(m_pBuf);
    m_nBufSize = m_nHeld = m_nLast = 0;
}

bool SimpleSampleDelay::Push(const float *in, int32_t size)
{
    if (!FX_CHECK_AS(size <= m_nBufSize, "size <= m_nBufSize") || size <= 0 || !m_pBuf || !in)
        return false;
    // The previous push's samples are still appended: drop as many of the oldest.
    if (m_nLast > 0 && m_nHeld > 0)
        std::memmove(m_pBuf, m_pBuf + m_nLast, size_t(m_nHeld) * sizeof(float));
    std::memcpy(m_pBuf + m_nHeld, in, size_t(size) * sizeof(float));
    m_nLast = size;
    return true;
}

void SimpleSampleDelay::Clear()
{
    if (m_pBuf)
        std::memset(m_pBuf, 0, size_t(m_nHeld + m_nBufSize) * sizeof(float));
    m_nLast = 0;
}
