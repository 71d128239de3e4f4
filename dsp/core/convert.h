// Sample-format conversion: float <-> 16-bit, packed 24-bit and 32-bit PCM, and planar <->
// interleaved 32-bit words. The stream paths turn device PCM into float channel vectors and back
// with these.
//
// Common contract:
// - len counts samples (not bytes) per vector and must be at least 1; every pointer is required.
//   Checks come first and a rejected call writes nothing: conversions src null kErrNullPointer, dst null
//   kErrNullPointer, len < 1 kErrBadLength (a null pointer with len 0 is kErrNullPointer).
// - Source and destination must not overlap (not checked).
// - Scale factor n: the value is multiplied by 2^-n (n = -15 maps 1.0 to 32768 before saturation,
//   n = 15 maps 32767 to 0.999969482421875). No scale factor or rounding mode is rejected.
// - Rounding mode (float -> 16/32-bit): 0 truncates toward zero, 1 rounds to nearest with ties to
//   even, any other value to nearest with ties away from zero. Out-of-range values saturate; NaN
//   becomes 0 in every mode.
// - Packed 24-bit: three bytes per sample, least significant first, two's complement; a vector of
//   len samples is exactly 3 * len bytes at any byte address, and exactly those bytes are touched.
// - The conversions rely on the default MXCSR (round to nearest, no flush-to-zero) and leave it
//   alone. No state, no allocation, no locks; any thread.
#pragma once

#include <cstdint>

#include "dsp/core/status.h"

namespace dsp::generic
{

// dst[i] = src[i] * 2^-n rounded by roundMode, saturated to [-32768, 32767]. n is not clamped:
// the scaled value is exact for every float and every n (|n| > 300 acts as 300).
Status convertF32ToS16Scaled(const float *src, int16_t *dst, int32_t len, int32_t roundMode,
                             int32_t scaleFactor);
// As above, saturated to [-2^31, 2^31 - 1].
Status convertF32ToS32Scaled(const float *src, int32_t *dst, int32_t len, int32_t roundMode,
                             int32_t scaleFactor);
// 3 * len bytes: src[i] * 2^-n to nearest (ties to even), saturated to [-2^23, 2^23 - 1].
// n is clamped to [-127, 127]; n >= 127 gives a factor of +0.0, so every output is 0.
Status convertF32ToS24Scaled(const float *src, uint8_t *dst, int32_t len, int32_t scaleFactor);

// dst[i] = src[i] * 2^-n, exact; n clamped to [-112, 126].
Status convertS16ToF32Scaled(const int16_t *src, float *dst, int32_t len, int32_t scaleFactor);
// dst[i] = src[i] * 2^-n rounded once to the nearest float; n clamped to [-96, 126].
Status convertS32ToF32Scaled(const int32_t *src, float *dst, int32_t len, int32_t scaleFactor);
// dst[i] = the 24-bit value of the 3 bytes at src + 3i, exact (divide by 2^23 for +-1.0).
Status convertS24ToF32(const uint8_t *src, float *dst, int32_t len);
// dst[i] = src[i] rounded to the nearest float (ties to even).
Status convertS32ToF32(const int32_t *src, float *dst, int32_t len);

// dst[k * channels + c] = planes[c][k]. Checks: planes null kErrNullPointer, dst null kErrNullPointer,
// channels < 1 kErrChannels, len < 1 or channels * len above INT32_MAX kErrBadLength, then any null plane
// kErrNullPointer (all before the first write). Returns kWarnMisaligned when dst or some plane is not 16-byte
// aligned (the copy is complete), else kOk.
Status interleave32(const uint32_t *const *planes, int32_t channels, int32_t len, uint32_t *dst);
// planes[c][k] = src[k * channels + c]; the same checks and warning, with src in dst's place.
Status deinterleave32(const uint32_t *src, int32_t channels, int32_t len, uint32_t *const *planes);

} // namespace dsp::generic
