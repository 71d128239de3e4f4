// The argument checks every vector operation begins with, shared by the generic implementations and
// the fast variants so that both refuse the same calls with the same codes in the same order.
#pragma once

#include <climits>
#include <cstdint>

#include "dsp/core/status.h"

namespace dsp::detail
{

// Any null pointer kErrNullPointer first, then a length below 1 kErrBadLength.
template <class... P> Status checkArgs(int32_t len, const P *...ptrs)
{
    const bool anyNull = (... || (ptrs == nullptr));
    if (anyNull)
        return kErrNullPointer;
    return len <= 0 ? kErrBadLength : kOk;
}

// The rate operations': pointers, length, then factor <= 0 kErrFactor, then a phase outside
// 0..factor-1 kErrPhase.
inline Status checkRate(const float *src, int32_t len, const float *dst, const int32_t *outCount,
                        int32_t factor, const int32_t *phase)
{
    if (Status s = checkArgs(len, src, dst, outCount, phase))
        return s;
    if (factor <= 0)
        return kErrFactor;
    if (*phase < 0 || *phase >= factor)
        return kErrPhase;
    return kOk;
}

// The interleaving operations': null planes or buffer kErrNullPointer, channels < 1 kErrChannels, a
// length below 1 or channels * len above INT32_MAX kErrBadLength, then any null plane
// kErrNullPointer. On success *warn says whether some address is not 16-byte aligned.
inline bool misaligned(const void *p)
{
    return (reinterpret_cast<uintptr_t>(p) & 15u) != 0;
}

template <typename Plane>
Status checkLayout(const Plane *planes, const void *buffer, int32_t channels, int32_t len, bool *warn)
{
    if (planes == nullptr || buffer == nullptr)
        return kErrNullPointer;
    if (channels < 1)
        return kErrChannels;
    if (len < 1)
        return kErrBadLength;
    // The interleaved buffer is indexed with 32-bit counts by the callers: refuse what they
    // could not address.
    if (static_cast<int64_t>(channels) * len > INT32_MAX)
        return kErrBadLength;
    bool anyMisaligned = misaligned(buffer);
    for (int32_t c = 0; c < channels; ++c)
    {
        if (planes[c] == nullptr)
            return kErrNullPointer;
        anyMisaligned = anyMisaligned || misaligned(planes[c]);
    }
    *warn = anyMisaligned;
    return kOk;
}

} // namespace dsp::detail
