// The multi-rate ("FI03") block run behind firFilterBlock.
//
// A call of `length` filter cycles reads length * D input samples and writes length * U outputs.
// Every output is one double accumulator from +0.0, terms added oldest sample first, rounded to
// float once, so results do not depend on how a stream is split into calls.
#pragma once

#include <cstdint>

#include "dsp/core/status.h"
#include "dsp/filters/fir_state.h"

namespace dsp::generic
{

// Runs `length` cycles of an "FI03" state from src to dst. The caller (firFilterBlock) has
// checked that the pointers are non-null, length > 0 and the tag is "FI03"; everything else is
// checked here, in this order, before anything is written:
// - a factor below 1 (no record this library built): kErrBadTag;
// - length * D or length * U above INT32_MAX: kErrBadLength;
// - src == dst with U <= D runs in place (in short calls whose writes never overtake the reads);
//   src == dst with U > D, or any partial overlap of the length * D inputs and the length * U
//   outputs: kErrNullPointer;
// - a mode word other than 1, 2 or 3: kErrBadTag.
// Otherwise filters, updates the delay line and returns kOk. No allocation.
Status firFilterBlockMultirate(const float *src, float *dst, int32_t length, FirState *state);

} // namespace dsp::generic
