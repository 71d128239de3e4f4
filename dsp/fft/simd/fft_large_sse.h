// The tuning-1 FFT above complex order 17: its split tables, sizes and tables, the driver that
// splits a transform into cache-sized sub-transforms, and the block routines under it.
//
// Driver of complex order m >= 18, N = 2^m:
// 1. Bit reversal into the destination. m = 18: in place by the plain table (out of place: a copy
//    first). m >= 19: by 64 x 64 blocks (the N values as 64 rows of N/64): block i (columns 64i..)
//    goes to block rev_(m-12)(i), and inside it row r, column c to row rev_6(c), column rev_6(r),
//    which is the 12-bit reversal of the gathered block. In place two partner blocks go through
//    the two work areas together; out of place at 19 and 20 each block is fetched from its
//    partner; from 21 out of place copies first, then runs in place.
// 2. 2^A consecutive sub-transforms of 2^(m-A) values by the in-place kernel, left in the split
//    layout (four real parts, then four imaginary ones) and scaled when the direction scales; a
//    sub-order above 17 splits again one depth down.
// 3. The last A decimation-in-time stages, on groups of w = 2^(B-A) adjacent columns of all 2^A
//    sub-arrays gathered into the work buffer: radix-4 passes (two stages each), then a radix-2 one
//    for odd A; the outermost depth scatters back as interleaved pairs, inner depths stay split.
//
// Tables (after the 84-byte header, offsets in the FftSpec record):
// - bitReverse: m = 18 the plain table; from 19 the partner offsets 64 rev_(m-12)(i), i < 2^(m-12),
//   then the order-12 swap list (the generic bit-reversal table) of the in-block permutation.
// - kernelTwiddles: the innermost sub-order's kernel twiddles.
// - stageTwiddles[d]: for split depth d (innermost built first), per column group, per pass, the
//   twiddles of its first quarter's positions four at a time in the kernel section layout; 2^order
//   complex values reserved per depth.
#pragma once

#include <cstdint>

#include "dsp/core/status.h"
#include "dsp/fft/spec.h"

namespace dsp::sse
{

// Complex orders up to this run one kernel; the driver above.
inline constexpr int32_t kFftKernelMaxOrder = 17;
// From this complex order on the bit reversal goes by 64 x 64 blocks.
inline constexpr int32_t kFftBlockReverseMinOrder = 19;

// The split of complex order m: 2^count sub-transforms; the cross stages gather 2^blockOrder values
// at a time. {0, 0} below order 17, where no driver runs.
struct FftSplit
{
    int32_t count;
    int32_t blockOrder;
};

constexpr FftSplit fftSplitOf(int32_t m)
{
    constexpr FftSplit kSplit[6] = {{3, 9}, {4, 10}, {4, 10}, {4, 10}, {5, 13}, {8, 15}};
    if (m < 17)
        return {0, 0};
    return kSplit[m < 22 ? m - 17 : 5];
}

// The large-order byte counts of complex order m >= 18 (64-bit, no checks): the kernel twiddles of
// the innermost sub-order and 2^order complex values of stage twiddles per depth; work: the kernel's
// 8 * 2^sub bytes, each depth's gathered block, and from order 19 the two 32 KiB permutation areas.
void fftBufferSizes(int32_t m, int64_t *specSize, int64_t *initSize, int64_t *workSize);

// The bit-reversal table at spec + 84 and the kernel and stage tables of complex order m >= 18 at
// dst (32-byte aligned); records their offsets and the work size in spec; returns the first
// multiple of 32 after them.
unsigned char *fftBuildLargeOrderTables(FftSpec *spec, int32_t m, const float *sine, int32_t sineOrder,
                                        unsigned char *dst);

// Complex transform of order m >= 18 by the FFT record's large-order tables, src to dst (may be the same
// array), the sub-transforms scaled when the direction scales. work: the spec's work size, 32-byte
// aligned.
void fftComplexDriver(const FftSpec *spec, const float *src, float *dst, int32_t m, void *work, bool inverse);
// Steps 2 and 3 on 2^m bit-reversed values in place at split depth `depth` (0: the driver's own).
void fftSplitLevel(const FftSpec *spec, float *data, int32_t m, int32_t depth, void *work, bool inverse);

// ---- Block routines ------------------------------------------------------------------------
// Counts, strides and widths in complex values.

// src or dst null kErrNullPointer; bytes <= 0 kErrBadLength; else copies the bytes (the regions
// must not overlap) and returns kOk.
Status fftBlockCopy(const void *src, void *dst, int32_t bytes);
// rows x width values, row r from src + r * rowStride, into dst (16-byte aligned) row after row.
// width: a multiple of 8.
void fftBlockGather(const float *src, float *dst, int64_t rowStride, int32_t rows, int32_t width);
// The inverse of the gather from src (16-byte aligned). mode 1 also turns the split layout into
// interleaved pairs; any other mode copies the values as they are.
void fftBlockScatter(float *dst, const float *src, int64_t rowStride, int32_t rows, int32_t width,
                     int32_t mode);
// count (a power of two) interleaved values into bit-reversed order in place by the swap list of
// order log2(count) (generic::buildBitReverseTable); nothing below 4 values.
void fftBlockBitReverse(float *data, int32_t count, const int32_t *swapList);

} // namespace dsp::sse
