// Block filtering through a FIR record of either kind (fir_state.h).
//
// Single-rate ("FI01"): y[k] = sum over i of h[i] x[k - i], x before the block taken from the
// record's history; the history then holds the last L samples, so a stream filtered in blocks of
// any sizes gives the same output as one call, up to rounding where a block takes the other path.
// - Blocks shorter than 512, and every block of a record without FFT, run direct: one double
//   accumulator per output, oldest sample first, four outputs per pass; the result is the same
//   bit for bit whatever the block sizes and equals firFilterOneSample's (fir_one.h).
// - Blocks of 512 or more on a record with an FFT (L >= 64) run overlap-save: forward
//   transform, product with the tap spectrum, inverse, E = N - L + 1 outputs per transform,
//   within about log2(N) 2^-24 relative RMS of the exact convolution.
// - In place (source == destination) is allowed: the block then runs direct in chunks of at
//   most B samples, each read into the history area before its outputs are written.
// Multi-rate ("FI03"): length counts cycles of D inputs and U outputs (fir_multirate.h).
//
// Checks, in order, nothing written before they pass: state, source or destination null kErrNullPointer;
// length <= 0 kErrBadLength; a tag neither "FI01" nor "FI03" kErrBadTag; for "FI01", source and destination
// overlapping without being the same array kErrNullPointer (the multi-rate run makes its own checks). No
// allocation and no static data; one record serves one caller at a time.
#pragma once

#include <cstdint>

#include "dsp/filters/fir_state.h"

namespace dsp::generic
{

Status firFilterBlock(const float *source, float *destination, int32_t length, FirState *state);

} // namespace dsp::generic
