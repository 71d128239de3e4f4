// One sample through a FIR filter whose history the caller keeps in a doubled circular line.
//
// delayLine: 2L floats; positions i and i + L always hold the same sample, so the window of the
// last L samples, oldest first, is the contiguous delayLine[j .. j + L - 1] with j the index
// after the latest write. A silent start is 2L zeros with index 0 (any index 0..L-1 is a valid
// start). Each call writes the sample at index and index + L, advances the index cyclically and
// returns y = sum over k of h[L-1-k] window[k], a double accumulator from +0.0 in ascending k
// (oldest first), rounded once: bit for bit what firFilterBlock's direct path gives.
//
// Checks, in order, nothing written before they pass: result null kErrNullPointer; taps null kErrNullPointer;
// tapCount <= 0 kErrFirLength; delayLine null kErrNullPointer; index null kErrNullPointer; *index outside
// 0..L-1 kErrPhase. No allocation, no static data; one line and index belong to one caller at a time.
#pragma once

#include <cstdint>

#include "dsp/core/status.h"

namespace dsp::generic
{

Status firFilterOneSample(float sample, float *result, const float *taps, int32_t tapCount, float *delayLine,
                          int32_t *index);

} // namespace dsp::generic
