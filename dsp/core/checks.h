// The argument checks every vector operation begins with, shared by the generic implementations and
// the fast variants so that both refuse the same calls with the same codes in the same order.
#pragma once

#include <cstdint>

#include "dsp/core/status.h"

namespace dsp::detail
{

// Any null pointer kErrNullPointer first, then a length below 1 kErrBadLength.
template <class... P> Status checkArgs(int32_t len, const P *...ptrs)
{
    if (((ptrs == nullptr) || ...))
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

} // namespace dsp::detail
