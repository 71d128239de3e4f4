// The fast variants of the vector operations: the implementations the dispatcher's rows name at
// indices 1-5 (dsp/dispatch/dispatch_rows.inc), one namespace per instruction-set level (sse,
// sse2, sse3, ssse3, sse41). Each has its generic twin's contract (dsp/core/vector.h): the same
// checks in the same order, the same statuses, the same results bit for bit, nothing else
// written; where two NaNs meet, either payload may come out. A level's implementations may run
// only on a processor that reports that level and every one below it.
//
// Only x86 builds have them; elsewhere every row names the generic implementation.
#pragma once

#include <cstdint>

#include "dsp/core/cpuid.h"
#include "dsp/core/status.h"

namespace dsp::simd
{

// Whether a fill of count words by the slot 2-5 kernels streams past the cache: only above
// 262144 words (1 MiB), and then only when a reference-vendor processor names its cache size in
// a single leaf-2 call and the fill is larger than that cache. read is asked only above 1 MiB.
bool wideFillStreams(int32_t count, CpuidRecord (*read)());
// The slot-1 fill streams above this many words.
inline constexpr int32_t kSlot1StreamAbove = 5119;

} // namespace dsp::simd

#define DSP_VARIANT_FILL                                                                                     \
    Status zeroF32(float *dst, int32_t len);                                                                 \
    Status setF32(uint32_t value, void *dst, int32_t len);                                                   \
    Status copyF32(const float *src, float *dst, int32_t len);
#define DSP_VARIANT_ARITHMETIC                                                                               \
    Status addF32(const float *a, const float *b, float *r, int32_t len);                                    \
    Status subF32(const float *a, const float *b, float *r, int32_t len);                                    \
    Status mulF32(const float *a, const float *b, float *r, int32_t len);                                    \
    Status mulInPlaceF32(const float *a, float *b, int32_t len);

namespace dsp::sse
{

// Slot 1: fills by 8-byte stores, streaming above 5119 words; copies by three routines by length,
// the longest pre-touching its source; an overlapping copy is the generic move. Binary arithmetic streams its
// aligned blocks above 5461 blocks of eight (add and subtract).
DSP_VARIANT_FILL
DSP_VARIANT_ARITHMETIC

Status sqrtInPlaceF32(float *buf, int32_t len);
Status absInPlaceF32(float *buf, int32_t len);
Status sqrF32(const float *src, float *dst, int32_t len);
Status reverseCopy32(const void *src, void *dst, int32_t len);
Status maxF32(const float *src, int32_t len, float *out);
Status minF32(const float *src, int32_t len, float *out);
Status minEveryInPlaceF32(const float *a, float *b, int32_t len);
Status maxEveryInPlaceF32(const float *a, float *b, int32_t len);
Status divF32(const float *a, const float *b, float *r, int32_t len);
Status upsampleF32(const float *src, int32_t len, float *dst, int32_t *outCount, int32_t factor,
                   const int32_t *phase);
Status downsampleF32(const float *src, int32_t len, float *dst, int32_t *outCount, int32_t factor,
                     int32_t *phase);

} // namespace dsp::sse

namespace dsp::sse2
{

// Slots 2-5: fills by 16-byte stores, streaming only past the last-level cache (wideFillStreams);
// copies by 16-byte stores (overlapping ones by the generic move); binary arithmetic
// streams above 10922 blocks of eight.
DSP_VARIANT_FILL
DSP_VARIANT_ARITHMETIC

} // namespace dsp::sse2

namespace dsp::sse41
{

Status divF32(const float *a, const float *b, float *r, int32_t len);
// The SSE2 exponential with k rounded by roundpd: the same results.
Status expInPlaceF32(float *buf, int32_t len);

} // namespace dsp::sse41

namespace dsp::sse2
{

// Products and sums in double lanes, rounded to float once, exactly as the generic loops.
Status addProductF32(const float *a, const float *b, float *r, int32_t len);
Status addProductConstF32(const float *a, float c, float *r, int32_t len);
Status mulPackSpectrum(const float *a, const float *b, float *out, int32_t len);
// The generic algorithm (classes by bits, k rounded to even, Pade (3,3), one shared division per
// four, the last len mod 4 as one group) in double lanes in the generic order of operations.
Status expInPlaceF32(float *buf, int32_t len);
// Named difference: the single-precision polynomial of the logarithm kernel, within 8 ulp of the
// generic result for positive normal and subnormal arguments (subnormals are normalised first);
// special values, the first-invalid status and which elements are written are the generic's.
Status lnInPlaceF32(float *buf, int32_t len);
// Named difference: the method the hint selects, as its definition states it (hint 1: blocks of
// 32768 in single-precision lanes, or the in-order sum for a start 4, 8 or 12 bytes past a
// 16-byte boundary; any other hint: eight rotating partial sums), with double for the wide
// values; the mean divides that sum by len in double.
Status sumF32(const float *src, int32_t len, float *out, int32_t hint);
Status meanF32(const float *src, int32_t len, float *out, int32_t hint);

} // namespace dsp::sse2

namespace dsp::sse3
{

// The pairs by SSE3's add-subtract; the same results as sse2::mulPackSpectrum.
Status mulPackSpectrum(const float *a, const float *b, float *out, int32_t len);

} // namespace dsp::sse3

namespace dsp::sse
{

// Stereo in vector registers; other channel counts are the generic loops. Checks and the
// misalignment warning are the generic's.
Status interleave32(const uint32_t *const *planes, int32_t channels, int32_t len, uint32_t *dst);
Status deinterleave32(const uint32_t *src, int32_t channels, int32_t len, uint32_t *const *planes);

} // namespace dsp::sse

namespace dsp::ssse3
{

// The same with SSSE3's byte shuffle.
Status interleave32(const uint32_t *const *planes, int32_t channels, int32_t len, uint32_t *dst);
Status deinterleave32(const uint32_t *src, int32_t channels, int32_t len, uint32_t *const *planes);

} // namespace dsp::ssse3

#undef DSP_VARIANT_FILL
#undef DSP_VARIANT_ARITHMETIC
