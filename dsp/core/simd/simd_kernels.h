// The SIMD kernels behind the fast variants (dsp/core/simd/vector_variants.h). Each is a plain
// function compiled for one instruction-set level, named by its suffix (Sse, Sse2, Sse3, Ssse3,
// Sse41): only plain data crosses its edge, and no caller may reach it on a processor below its
// level. Kernels never check arguments: the variant entries have done that.
//
// Common to every kernel:
// - Vectors need no alignment, not even 4 bytes; scalar heads and tails go through memcpy.
// - Non-temporal stores go only to 16-byte-aligned addresses and are fenced before returning.
// - The stack is assumed 4-byte aligned only (the 32-bit kernel's), so no kernel spills vectors
//   it relies on being aligned.
#pragma once

#include <cstdint>

namespace dsp::simd
{

// r[i] = a[i] + b[i], b[i] - a[i], a[i] * b[i] for i < n. r may be a or b. When the aligned path
// holds more than streamBlocks blocks of eight, its stores bypass the cache.
void addKernelSse(const float *a, const float *b, float *r, int32_t n, int32_t streamBlocks);
void subKernelSse(const float *a, const float *b, float *r, int32_t n, int32_t streamBlocks);
void mulKernelSse(const float *a, const float *b, float *r, int32_t n, int32_t streamBlocks);

// The generic rules of the one-vector operations, exactly: the correctly rounded root for
// x > 0, 0xFFC00000 for x < 0 (the result is then nonzero), +-0 and NaN untouched.
int32_t sqrtKernelSse(float *p, int32_t n);
void absKernelSse(float *p, int32_t n);
void sqrKernelSse(const float *src, float *dst, int32_t n);
// dst[n - 1 - i] = src[i] as 32-bit words; src and dst must not overlap.
void reverseKernelSse(const void *src, void *dst, int32_t n);
// b[i] = a[i] where a[i] < b[i] (min) or a[i] > b[i] (max), else b[i] stays.
void minEveryKernelSse(const float *a, float *b, int32_t n);
void maxEveryKernelSse(const float *a, float *b, int32_t n);

// The largest (smallest) element by lanes. Returns 0 without writing when the lanes cannot decide
// as the first-wins walk does: fewer than eight elements, a NaN anywhere, or an extreme that
// compares equal to zero (-0 against +0, or subnormals under denormals-are-zero).
int32_t maxLanesSse(const float *src, int32_t n, float *out);
int32_t minLanesSse(const float *src, int32_t n, float *out);

// r[i] = b[i] / a[i], correctly rounded; where a[i] equals zero, +inf for b[i] > 0, -inf for
// b[i] < 0, 0xFFC00000 otherwise, and the result is 1. r may be a or b.
int32_t divKernelSse(const float *a, const float *b, float *r, int32_t n);
int32_t divKernelSse41(const float *a, const float *b, float *r, int32_t n);

// Zero insertion: dst[phase + i * factor] = src[i], every other one of the n * factor words 0.
void upsampleKernelSse(const float *src, int32_t n, float *dst, int32_t factor, int32_t phase);
// Keeps src[phase], src[phase + factor], ... below n; returns how many were stored.
int32_t downsampleKernelSse(const float *src, int32_t n, float *dst, int32_t factor, int32_t phase);

// ---- Fills and copies ----------------------------------------------------------------------

// The count words at dst (any alignment, 2 mod 4 included) become value, in 16-byte stores between
// the first and last 16-byte boundaries; non-temporal ones when stream is nonzero. Slots 2-5.
void fillKernelSse(uint32_t value, void *dst, int32_t count, int32_t stream);
// The same bytes by 8-byte stores (non-temporal ones when stream is nonzero): slot 1's fill.
void fillHalvesKernelSse(uint32_t value, void *dst, int32_t count, int32_t stream);

// Reads the first and last byte of each 4096 bytes of [start, start + bytes) and of the rest, and
// prefetches every 32-byte step past the caches; returns the address after the last step (start
// for bytes <= 0). Reads nothing outside the range.
const void *pretouchSse(const void *start, int64_t bytes);
// count words from src to dst, which must not overlap; any alignment. copyKernelSse stores to the
// destination's 16-byte boundaries (slots 2-5); copyThreeSizesSse is slot 1's: below 2048 words
// unaligned moves, below 4096 the aligned stores, from 4096 on those in pieces pre-touched first.
void copyKernelSse(const float *src, float *dst, int32_t count);
void copyThreeSizesSse(const float *src, float *dst, int32_t count);

// ---- Double lanes (SSE2 and up) ------------------------------------------------------------

// r[i] = a[i] * b[i] + r[i] (or a[i] * c + r[i]) in double, rounded once to float.
void addProductKernelSse2(const float *a, const float *b, float *r, int32_t n);
void addProductConstKernelSse2(const float *a, float c, float *r, int32_t n);
// pairs (re, im) products of interleaved complex pairs, each part in double rounded once.
void mulPackPairsSse2(const float *a, const float *b, float *out, int32_t pairs);
void mulPackPairsSse3(const float *a, const float *b, float *out, int32_t pairs);
// The generic exponential of four or more elements (n >= 4), in double lanes.
void expKernelSse2(float *p, int32_t n);
void expKernelSse41(float *p, int32_t n);
// The logarithm polynomial over p in place; returns 0, or 2 (+0) or 4 (sign bit) for the first
// invalid argument.
int32_t lnKernelSse2(float *p, int32_t n);
// The two summation methods, wide values in double.
double sumEightWaySse2(const float *src, int32_t n);
double sumBlockwiseSse2(const float *src, int32_t n);

// Stereo: dst[2k] = left[k], dst[2k + 1] = right[k], and back.
void interleave2Sse(const uint32_t *left, const uint32_t *right, int32_t n, uint32_t *dst);
void deinterleave2Sse(const uint32_t *src, int32_t n, uint32_t *left, uint32_t *right);
void interleave2Ssse3(const uint32_t *left, const uint32_t *right, int32_t n, uint32_t *dst);
void deinterleave2Ssse3(const uint32_t *src, int32_t n, uint32_t *left, uint32_t *right);

} // namespace dsp::simd
