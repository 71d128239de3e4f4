// Element-wise, reduction and rate operations on vectors of 32-bit IEEE floats, and the copy,
// fill and zero operations under them: the generic implementations behind the dispatcher rows.
//
// Common contract:
// - len counts elements (not bytes) and must be at least 1. Checks come first, in the order given
//   for each operation: null pointers kErrNullPointer, then len <= 0 kErrBadLength, then the operation's own
//   checks; a rejected call writes nothing.
// - Positive statuses are warnings: every element has been written.
// - No alignment is required of any vector. Unless a line says otherwise a destination may be the
//   very same array as a source, but no other overlap is supported.
// - Element results are the IEEE single-precision result of the one operation named, rounded to
//   nearest even, subnormals kept. The sums of products (addProductF32, addProductConstF32,
//   mulPackSpectrum's pairs, sumF32, meanF32, dotProductKernel) accumulate in double in the order
//   stated and round to float once.
// - NaN written by the library itself is 0xFFC00000 unless an operation names 0x7FC00000.
// - MXCSR is left alone: results are those of the caller's environment (under the audio path's
//   flush-to-zero, subnormal results flush as that path intends).
// - No state, no allocation, no locks: any thread, any IRQL at which the buffers are resident.
#pragma once

#include <cstdint>

#include "dsp/core/status.h"

namespace dsp::generic
{

// ---- Copy, fill, zero ---------------------------------------------------------------------

// The len * 4 bytes at dst become zero (+0.0). dst needs no alignment, not even 4 bytes.
Status zeroF32(float *dst, int32_t len);

// dst[i] = src[i], bit for bit (NaN payloads and signed zeros survive). Overlapping ranges are
// moved correctly in either direction; src == dst writes nothing.
Status copyF32(const float *src, float *dst, int32_t len);

// The same move, for the FIR kernels' delay lines (which overlap by design).
Status copyF32Bytewise(const float *src, float *dst, int32_t len);

// Copies count bytes (nothing when count <= 0) at any alignment and returns dst. An internal
// kernel without checks; overlapping ranges are moved correctly.
void *copyBytes(const void *src, void *dst, int32_t count);

// dst[i] = value for i < count; nothing when count <= 0. dst holds 32-bit words (floats or
// integers, any alignment). No checks.
void fillWords32(uint32_t value, void *dst, int32_t count);

// Checks dst null kErrNullPointer, len <= 0 kErrBadLength, then stores the 32-bit word value len times.
Status setF32(uint32_t value, void *dst, int32_t len);

// dst[len - 1 - i] = src[i] for 32-bit words, any content. src == dst reverses in place; any
// other overlap is moved first, so dst always ends up as the reversal of src as it was.
Status reverseCopy32(const void *src, void *dst, int32_t len);

// ---- Constant operations (the constant comes first, except in mulConstF32) ----------------
// A constant equals 0 when it is +0.0 or -0.0 and equals 1 only when it is 1.0; NaN equals
// neither. The shortcuts are part of the results: multiplying by 0 writes +0.0 over every
// element (also -3, inf and NaN); multiplying by 1 or adding +-0 writes nothing.

// srcDst[i] += c; c equal to 0 writes nothing.
Status addConstInPlaceF32(float c, float *srcDst, int32_t len);
// srcDst[i] *= c; c equal to 1 writes nothing, c equal to 0 zeroes.
Status mulConstInPlaceF32(float c, float *srcDst, int32_t len);
// dst[i] = src[i] * c; c equal to 1 copies (copyF32's status), c equal to 0 zeroes dst.
Status mulConstF32(const float *src, float c, float *dst, int32_t len);
// Checks srcDst kErrNullPointer, len kErrBadLength, c equal to 0 kErrDivByZero. Then r = 1 / c rounded to
// float and mulConstF32(srcDst, r, srcDst, len): x * r may be 1 ulp from x / c (5 / 3 gives
// 1.6666667461395264); exact for a power-of-two c; c = +-inf gives +0.0 everywhere.
Status divConstInPlaceF32(float c, float *srcDst, int32_t len);

// ---- Element-wise on two vectors --------------------------------------------------------

// srcDst[i] = srcDst[i] + src[i].
Status addInPlaceF32(const float *src, float *srcDst, int32_t len);
// b[i] = a[i] * b[i].
Status mulInPlaceF32(const float *a, float *b, int32_t len);
// r[i] = a[i] + b[i].
Status addF32(const float *a, const float *b, float *r, int32_t len);
// r[i] = b[i] - a[i]: the first vector is subtracted from the second.
Status subF32(const float *a, const float *b, float *r, int32_t len);
// r[i] = a[i] * b[i].
Status mulF32(const float *a, const float *b, float *r, int32_t len);
// r[i] = a[i] * b[i] + r[i], in double, rounded once.
Status addProductF32(const float *a, const float *b, float *r, int32_t len);
// r[i] = a[i] * c + r[i], in double, rounded once.
Status addProductConstF32(const float *a, float c, float *r, int32_t len);
// r[i] = b[i] / a[i]: the first vector holds the divisors. Where a[i] is +-0 (NaN is not zero):
// +inf for b[i] > 0, -inf for b[i] < 0, 0xFFC00000 for a zero or NaN b[i], and the status is kWarnDivByZero
// after all elements are done.
Status divF32(const float *a, const float *b, float *r, int32_t len);
// b[i] = a[i] where b[i] > a[i]; otherwise (equal, either NaN) b[i] stays.
Status minEveryInPlaceF32(const float *a, float *b, int32_t len);
// b[i] = a[i] where a[i] > b[i]; otherwise (equal, either NaN) b[i] stays.
Status maxEveryInPlaceF32(const float *a, float *b, int32_t len);

// ---- Element-wise on one vector ---------------------------------------------------------

// buf[i] with the sign bit cleared.
Status absInPlaceF32(float *buf, int32_t len);
// dst[i] = src[i] * src[i].
Status sqrF32(const float *src, float *dst, int32_t len);
// x > 0 (and +inf) becomes its correctly rounded root; x < 0 becomes 0xFFC00000 and the status
// is kWarnSqrtNegative; +-0 and NaN stay as they are.
Status sqrtInPlaceF32(float *buf, int32_t len);
// e^x. Fewer than 4 elements: x above 88.72284 (0x42B17218) gives +inf, every other element
// (float)exp((double)x). Four or more: by bit class first (magnitude below 0x00800000: exactly
// 1.0; negative at or beyond 0xC2AEAC50: 0xFFC00000 for a quiet NaN, else +0; positive at or
// beyond 0x42B17218: 0x7FC00000 for a quiet NaN, else +inf), the rest through k = round(x log2 e),
// r = x - k ln 2 and the Pade (3,3) quotient in double, times 2^k, within 1 ulp of e^x. Always 0.
Status expInPlaceF32(float *buf, int32_t len);
// Natural logarithm, in element order: sign bit set (negatives, -0, negative NaN) 0xFFC00000;
// a positive quiet NaN 0x7FC00000; +0 -inf; every other element (float)log((double)x). Status:
// the first invalid kind met, kWarnLnNegative for a sign bit, kWarnLnZero for +0, else kOk.
Status lnInPlaceF32(float *buf, int32_t len);

// ---- Reductions (checks: src or out null kErrNullPointer, len <= 0 kErrBadLength)
// --------------------------------

// out = the first element, replaced by each later element strictly greater. A NaN after element
// 0 is skipped; a NaN in element 0 is the result; among equal values the first wins.
Status maxF32(const float *src, int32_t len, float *out);
// As maxF32 with strictly smaller.
Status minF32(const float *src, int32_t len, float *out);
// Two double accumulators from +0: per full group of four e0..e3, s1 = (s1 + e1) + e3 and
// s0 = (s0 + e0) + e2; then s1 += s0 and the last len mod 4 elements go into s1 in order.
// out = (float)s1. The hint is accepted and ignored.
Status sumF32(const float *src, int32_t len, float *out, int32_t hint);
// out = (float)(s1 / len) with s1 as in sumF32.
Status meanF32(const float *src, int32_t len, float *out, int32_t hint);
// Checks a, b or out null kErrNullPointer, len kErrBadLength, then dotProductKernel.
Status dotProductF32(const float *a, const float *b, int32_t len, float *out);
// out = sum of a[i] * b[i] accumulated in double from +0 in index order, rounded once. No checks.
void dotProductKernel(const float *a, const float *b, int32_t len, float *out);

// Product of two real-FFT spectra in packed order: out[0] = a[0] * b[0]; for even len also
// out[1] = a[1] * b[1] and the (re, im) pairs start at element 2, for odd len at element 1.
// Pair: re = a.re b.re - a.im b.im, im = a.re b.im + a.im b.re, each in double, rounded once.
// out may be a or b.
Status mulPackSpectrum(const float *a, const float *b, float *out, int32_t len);

// ---- Rate operations ---------------------------------------------------------------------
// Checks: src, dst, outCount or phase null kErrNullPointer; len <= 0 kErrBadLength; factor <= 0 kErrFactor;
// *phase outside 0..factor-1 kErrPhase. Samples move as 32-bit words. src and dst must not overlap.

// *outCount = len * factor; dst[i * factor + *phase] = src[i] and every other one of the
// len * factor outputs +0.0 (factor 1: copyF32's copy and status). *phase is not changed.
// len * factor above INT32_MAX returns kErrBadLength before anything is written.
Status upsampleF32(const float *src, int32_t len, float *dst, int32_t *outCount, int32_t factor,
                   const int32_t *phase);
// Keeps src[*phase], src[*phase + factor], ... while the index is below len, packed into dst;
// *outCount = how many, *phase = first index not taken - len, so the next block continues the
// grid (factor 1: a copy, *outCount = len, phase unchanged).
Status downsampleF32(const float *src, int32_t len, float *dst, int32_t *outCount, int32_t factor,
                     int32_t *phase);

} // namespace dsp::generic
