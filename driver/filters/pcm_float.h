// Interleaved PCM samples to float in ±1.0 and back, for the paths that process audio as float: the
// stream engine's passes and the wave stream's rate conversion.
//
// `samples` counts samples (frames × channels) and must be at least 1; source and destination must
// not overlap. 16, 24 (packed) and 32-bit integers are converted; a 32-bit float sample is copied. Any
// IRQL; the caller has saved the floating-point state.
#pragma once

#include <nt_types.h>

#include <cstdint>

// False when a primitive refused the call (nothing useful was written).
bool PcmToFloat(const UCHAR *pcm, USHORT bits, bool isFloat, float *out, int32_t samples);
// Integers round by `roundMode` (the primitives' modes: 0 toward zero, 1 to nearest) and saturate.
bool FloatToPcm(const float *in, USHORT bits, bool isFloat, UCHAR *pcm, int32_t samples, int32_t roundMode);
