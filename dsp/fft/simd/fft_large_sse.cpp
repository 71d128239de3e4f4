// The tuning-1 large-order driver, its sizes and its tables. The SIMD work is in the kernels and the
// block routines; this file runs on any x86 processor.
#include "dsp/fft/simd/fft_large_sse.h"

#if defined(__x86_64__) || defined(__i386__)

#include <algorithm>

#include "dsp/core/vector.h"
#include "dsp/fft/simd/fft_sse.h"
#include "dsp/fft/transform.h"

namespace dsp::sse
{

namespace
{

using generic::fftR32;
using generic::FftSineReader;

// The block permutation: 64 x 64 blocks, permuted in two work areas 32 KiB apart.
constexpr int32_t kBlockSide = 64;
constexpr int32_t kBlockValues = kBlockSide * kBlockSide;
constexpr int32_t kBlockOrder = 12;
constexpr int64_t kSecondAreaFloats = 32768 / 4;
constexpr int64_t kPermutationWorkBytes = 65536;

int32_t reverseBits(int64_t v, int32_t bits)
{
    int32_t r = 0;
    for (int32_t b = 0; b < bits; ++b)
        r |= int32_t((v >> b) & 1) << (bits - 1 - b);
    return r;
}

// The orders of the split depths of complex order m (depth 0 first) and their number.
int32_t splitDepths(int32_t m, int32_t orders[3])
{
    int32_t depths = 0;
    for (int32_t o = m; o > kFftKernelMaxOrder; o -= fftSplitOf(o).count)
        orders[depths++] = o;
    return depths;
}

// Partner offsets 64 rev_(m-12)(i), then the in-block 12-bit reversal as a swap list.
unsigned char *buildBlockReverse(int32_t m, int32_t *table)
{
    const int32_t bits = m - kBlockOrder;
    const int32_t blocks = int32_t(1) << bits;
    for (int32_t i = 0; i < blocks; ++i)
        table[i] = reverseBits(i, bits) * kBlockSide;
    return generic::buildBitReverseTable(kBlockOrder, table + blocks);
}

// The cross-stage twiddles of one depth of order m, in the order the passes read them: per column
// group d, per pass, position p of the first quarter (row p / w, column d + p mod w, so
// k = (p / w) L + d + p mod w) four at a time: radix-4 W_h(k), W_h(2k), W_h(3k) with h = 4 q L for
// q rows a quarter; radix-2 W_N(k). Returns the end of the 2^m values reserved.
unsigned char *buildStageTwiddles(int32_t m, const float *sine, int32_t sineOrder, float *table)
{
    const FftSplit split = fftSplitOf(m);
    const int32_t a = split.count;
    const int64_t L = int64_t(1) << (m - a);
    const int64_t w = int64_t(1) << (split.blockOrder - a);
    float *out = table;
    auto pass = [&](int64_t rows, int32_t hOrder, int64_t d, int64_t mults)
    {
        const FftSineReader reader(sine, sineOrder, hOrder);
        const int64_t h = int64_t(1) << hOrder;
        for (int64_t p = 0; p < rows * w; p += 4)
        {
            const int64_t k = (p / w) * L + d + p % w;
            for (int64_t mult = 1; mult <= mults; ++mult)
                out = fftPutTwiddles(reader, h, k, mult, out);
        }
    };
    for (int64_t d = 0; d < L; d += w)
    {
        int32_t j = 0;
        for (; 2 * (j + 1) <= a; ++j)
            pass(int64_t(1) << (2 * j), m - a + 2 * j + 2, d, 3);
        if (a & 1)
            pass(int64_t(1) << (a - 1), m, d, 1);
    }
    return reinterpret_cast<unsigned char *>(table + (int64_t(2) << m));
}

// Bit reversal of 2^m >= 2^19 values in place by blocks: each block o with its partner p > o
// through the two work areas, a block that is its own partner through the first.
void blockReverseInPlace(float *data, int32_t m, const int32_t *table, float *work)
{
    const int64_t stride = (int64_t(1) << m) / kBlockSide;
    const int32_t blocks = int32_t(1) << (m - kBlockOrder);
    const int32_t *swapList = table + blocks;
    float *first = work;
    float *second = work + kSecondAreaFloats;
    for (int32_t i = 0; i < blocks; ++i)
    {
        const int64_t own = int64_t(kBlockSide) * i;
        const int64_t partner = table[i];
        if (own > partner)
            continue;
        fftBlockGather(data + 2 * own, first, stride, kBlockSide, kBlockSide);
        fftBlockBitReverse(first, kBlockValues, swapList);
        if (own == partner)
        {
            fftBlockScatter(data + 2 * own, first, stride, kBlockSide, kBlockSide, 0);
            continue;
        }
        fftBlockGather(data + 2 * partner, second, stride, kBlockSide, kBlockSide);
        fftBlockBitReverse(second, kBlockValues, swapList);
        fftBlockScatter(data + 2 * partner, first, stride, kBlockSide, kBlockSide, 0);
        fftBlockScatter(data + 2 * own, second, stride, kBlockSide, kBlockSide, 0);
    }
}

// Out of place: block i of dst is src's partner block, permuted.
void blockReverseCopy(const float *src, float *dst, int32_t m, const int32_t *table, float *work)
{
    const int64_t stride = (int64_t(1) << m) / kBlockSide;
    const int32_t blocks = int32_t(1) << (m - kBlockOrder);
    for (int32_t i = 0; i < blocks; ++i)
    {
        fftBlockGather(src + 2 * int64_t(table[i]), work, stride, kBlockSide, kBlockSide);
        fftBlockBitReverse(work, kBlockValues, table + blocks);
        fftBlockScatter(dst + 2 * int64_t(kBlockSide) * i, work, stride, kBlockSide, kBlockSide, 0);
    }
}

// Beyond 20 a copy and the in-place method beat fetching every block from its partner.
constexpr int32_t kBlockCopyMaxOrder = 20;

void permute(const FftSpec *spec, const float *src, float *dst, int32_t m, float *work)
{
    const int32_t *table = generic::fftTable<int32_t>(spec, spec->bitReverse);
    const int64_t bytes = int64_t(8) << m;
    if (m < kFftBlockReverseMinOrder)
    {
        if (src != dst)
            fftBlockCopy(src, dst, int32_t(bytes));
        fftBitReverse(dst, dst, int32_t(1) << m, table);
    }
    else if (src != dst && m <= kBlockCopyMaxOrder)
    {
        blockReverseCopy(src, dst, m, table, work);
    }
    else
    {
        if (src != dst)
            fftBlockCopy(src, dst, int32_t(bytes));
        blockReverseInPlace(dst, m, table, work);
    }
}

} // namespace

void fftBufferSizes(int32_t m, int64_t *specSize, int64_t *initSize, int64_t *workSize)
{
    const FftSplit split = fftSplitOf(m);
    const int32_t sub = m - split.count;
    if (sub <= kFftKernelMaxOrder)
    {
        const int64_t P = int64_t(1) << sub;
        *specSize = fftR32(8 * P + 39);
        *initSize = 0;
        *workSize = fftR32(8 * P + 31);
    }
    else
    {
        fftBufferSizes(sub, specSize, initSize, workSize);
    }
    *specSize += int64_t(8) << m;
    *workSize = std::max(*workSize, int64_t(8) << split.blockOrder);
    if (m >= kFftBlockReverseMinOrder)
        *workSize = std::max(*workSize, kPermutationWorkBytes);
}

unsigned char *fftBuildLargeOrderTables(FftSpec *spec, int32_t m, const float *sine, int32_t sineOrder,
                                        unsigned char *dst)
{
    unsigned char *base = reinterpret_cast<unsigned char *>(spec);
    spec->bitReverse = int32_t(sizeof(FftSpec));
    int32_t *reverse = reinterpret_cast<int32_t *>(base + spec->bitReverse);
    if (m >= kFftBlockReverseMinOrder)
        buildBlockReverse(m, reverse);
    else
        fftBuildPlainReverse(m, reverse);

    int32_t orders[3];
    const int32_t depths = splitDepths(m, orders);
    const int32_t inner = orders[depths - 1] - fftSplitOf(orders[depths - 1]).count;
    spec->kernelTwiddles = int32_t(dst - base);
    unsigned char *next = fftBuildKernelTwiddles(inner, sine, sineOrder, reinterpret_cast<float *>(dst));
    for (int32_t d = depths - 1; d >= 0; --d)
    {
        spec->stageTwiddles[d] = int32_t(next - base);
        next = buildStageTwiddles(orders[d], sine, sineOrder, reinterpret_cast<float *>(next));
    }
    int64_t specSize, initSize, workSize;
    fftBufferSizes(m, &specSize, &initSize, &workSize);
    spec->workSize = int32_t(workSize);
    return next;
}

void fftSplitLevel(const FftSpec *spec, float *data, int32_t m, int32_t depth, void *work, bool inverse)
{
    const FftSplit split = fftSplitOf(m);
    const int32_t a = split.count;
    const int32_t sub = m - a;
    const int64_t L = int64_t(1) << sub;
    const int32_t n = int32_t(1) << a;
    const generic::FftDirection dir =
        inverse ? generic::FftDirection::Inverse : generic::FftDirection::Forward;
    const bool scale = generic::fftScales(spec, dir);
    const float *kernelTwiddles = generic::fftTable<float>(spec, spec->kernelTwiddles);
    for (int32_t r = 0; r < n; ++r)
    {
        float *part = data + 2 * L * r;
        if (sub > kFftKernelMaxOrder)
        {
            fftSplitLevel(spec, part, sub, depth + 1, work, inverse);
            continue;
        }
        fftKernelInPlace(part, int32_t(L), kernelTwiddles, inverse, 0);
        if (scale)
            generic::mulConstInPlaceF32(spec->factor, part, int32_t(2 * L));
    }

    // The cross stages, one gathered group of w columns of every sub-array at a time.
    const int32_t w = int32_t(1) << (split.blockOrder - a);
    const int32_t mode = depth == 0 ? 1 : 0;
    float *block = static_cast<float *>(work);
    const float *t = generic::fftTable<float>(spec, spec->stageTwiddles[depth]);
    for (int64_t d = 0; d < L; d += w)
    {
        fftBlockGather(data + 2 * d, block, L, n, w);
        int32_t j = 0;
        for (; 2 * (j + 1) <= a; ++j)
        {
            const int32_t quarter = w << (2 * j);
            fftRadix4Pass(block, block, quarter, n >> (2 * j + 2), t, inverse);
            t += 6 * quarter;
        }
        if (a & 1)
        {
            const int32_t half = w << (a - 1);
            fftRadix2Pass(block, block, half, 1, t, inverse);
            t += 2 * half;
        }
        fftBlockScatter(data + 2 * d, block, L, n, w, mode);
    }
}

void fftComplexDriver(const FftSpec *spec, const float *src, float *dst, int32_t m, void *work, bool inverse)
{
    permute(spec, src, dst, m, static_cast<float *>(work));
    fftSplitLevel(spec, dst, m, 0, work, inverse);
}

} // namespace dsp::sse

#endif
