#include "dsp/fft/spec.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

#include "dsp/core/vector.h"
#include "dsp/fft/transform.h"

namespace dsp::generic
{

namespace
{

#include "dsp/fft/sine_table.inc"

template <size_t... K> constexpr std::array<float, sizeof...(K)> sineFromBits(std::index_sequence<K...>)
{
    return {std::bit_cast<float>(kFixedSineBits[K])...};
}

constexpr int32_t kFixedSineOrder = 10;
// Bytes the unsplit large-order path reserves for its order-10 radix table.
constexpr int64_t kRadix1024Bytes = 8224;

int32_t offsetIn(const FftSpec *spec, const void *p)
{
    return int32_t(static_cast<const unsigned char *>(p) - reinterpret_cast<const unsigned char *>(spec));
}

// Order 11 or 12 without a split: the order-10 radix table, then the completion table.
unsigned char *buildUnsplitTables(FftSpec *spec, int32_t m, const float *sine, int32_t sineOrder,
                                  unsigned char *dst)
{
    spec->kernelTwiddles = offsetIn(spec, dst);
    unsigned char *next =
        buildKernelTwiddles(kFftDirectMaxOrder, sine, sineOrder, reinterpret_cast<float *>(dst));
    spec->completion = offsetIn(spec, next);
    return buildCompletionTwiddles(m, sine, sineOrder, reinterpret_cast<float *>(next));
}

// Shared by the real and complex sizes: the complex order m carries the tables, n is the spec's
// own order (sine table and, for a real spec, recombination tables).
void specSizes64(int32_t n, bool real, int64_t *spec, int64_t *init, int64_t *work)
{
    if (n <= 3)
    {
        *spec = 116;
        *init = 0;
        *work = 0;
        return;
    }
    const int32_t m = real ? n - 1 : n;
    const int64_t M = int64_t(1) << m;
    const int64_t N = int64_t(1) << n;
    if (m <= kFftDirectMaxOrder)
    {
        *spec = fftR32(8 * M + 39);
        *init = 0;
        *work = 0;
    }
    else
    {
        fftBufferSizes(m, spec, init, work);
    }
    *spec += fftR32(M + 35) + 128;
    if (real)
        *spec += 2 * fftR32(2 * N + 31);
    *init = n <= 10 ? 0 : fftR32(N + 35) + *init + 32;
    if (*work > 0)
        *work += 32;
}

Status sizeQuery(int32_t order, int32_t flag, bool real, int32_t *specSize, int32_t *initSize,
                 int32_t *workSize)
{
    return fftSizeQuery(order, flag, specSize, initSize, workSize, real ? fftRealSizes64 : fftComplexSizes64);
}

// Every check runs before the first write, so a refused init leaves the buffer and *specOut as
// they were; the id goes in last, once the tables are complete.
Status initSpec(FftSpec **specOut, int32_t order, int32_t flag, int32_t hint, void *specBuffer,
                void *initBuffer, bool real)
{
    if (Status s = fftCheckInitArgs(specOut, order, flag, specBuffer, initBuffer))
        return s;
    FftSpec *spec = fftInitHeader(specBuffer, order, flag, hint);
    unsigned char *base = reinterpret_cast<unsigned char *>(spec);
    if (order > 3)
    {
        const int32_t m = real ? order - 1 : order;
        int32_t sineOrder;
        unsigned char *scratch;
        const float *sine = fftSineSource(order, initBuffer, &sineOrder, &scratch);
        spec->bitReverse = int32_t(sizeof(FftSpec));
        unsigned char *next;
        if (m <= kFftDirectMaxOrder)
        {
            next = buildBitReverseTable(m, reinterpret_cast<int32_t *>(base + spec->bitReverse));
            spec->kernelTwiddles = offsetIn(spec, next);
            next = buildKernelTwiddles(m, sine, sineOrder, reinterpret_cast<float *>(next));
        }
        else
        {
            const int64_t M = int64_t(1) << m;
            next = buildLargeOrderTables(spec, m, sine, sineOrder, base + 96 + fftR32(M + 35), scratch);
        }
        if (real)
        {
            spec->recombineForward = offsetIn(spec, next);
            next = buildRecombineTables(order, sine, sineOrder, reinterpret_cast<float *>(next),
                                        FftRecombine::Forward);
            spec->recombineInverse = offsetIn(spec, next);
            buildRecombineTables(order, sine, sineOrder, reinterpret_cast<float *>(next),
                                 FftRecombine::Inverse);
        }
    }
    spec->id = real ? kFftIdReal : kFftIdComplex;
    *specOut = spec;
    return kOk;
}

} // namespace

const std::array<float, 257> fixedSineTable = sineFromBits(std::make_index_sequence<257>());

Status fftCheckSizeArgs(int32_t order, int32_t flag, const int32_t *a, const int32_t *b, const int32_t *c)
{
    if (order < 0 || order > kFftMaxOrder)
        return kErrFftOrder;
    if (!a || !b || !c)
        return kErrNullPointer;
    if (flag != kFftScaleForward && flag != kFftScaleInverse && flag != kFftScaleBoth && flag != kFftNoScale)
        return kErrFftFlag;
    return kOk;
}

Status fftSizeQuery(int32_t order, int32_t flag, int32_t *specSize, int32_t *initSize, int32_t *workSize,
                    void (*sizes64)(int32_t, int64_t *, int64_t *, int64_t *))
{
    if (Status s = fftCheckSizeArgs(order, flag, specSize, initSize, workSize))
        return s;
    int64_t spec, init, work;
    sizes64(order, &spec, &init, &work);
    *specSize = int32_t(spec);
    *initSize = int32_t(init);
    *workSize = int32_t(work);
    return kOk;
}

Status fftCheckInitArgs(FftSpec **specOut, int32_t order, int32_t flag, const void *specBuffer,
                        const void *initBuffer)
{
    if (!specOut)
        return kErrNullPointer;
    if (order < 0 || order > kFftMaxOrder)
        return kErrFftOrder;
    if (!specBuffer)
        return kErrNullPointer;
    if (flag != kFftScaleForward && flag != kFftScaleInverse && flag != kFftScaleBoth && flag != kFftNoScale)
        return kErrFftFlag;
    if (order > kFixedSineOrder && !initBuffer)
        return kErrNullPointer;
    return kOk;
}

FftSpec *fftInitHeader(void *specBuffer, int32_t order, int32_t flag, int32_t hint)
{
    FftSpec *spec = reinterpret_cast<FftSpec *>(fftAlign32(specBuffer));
    zeroFillStatus(spec, int32_t(sizeof(FftSpec)));
    spec->order = order;
    spec->hint = hint;
    const double N = std::ldexp(1.0, order);
    switch (flag)
    {
    case kFftScaleForward:
        spec->scaleForward = 1;
        spec->factor = float(1.0 / N);
        break;
    case kFftScaleInverse:
        spec->scaleInverse = 1;
        spec->factor = float(1.0 / N);
        break;
    case kFftScaleBoth:
        spec->scaleForward = 1;
        spec->scaleInverse = 1;
        spec->factor = float(1.0 / std::sqrt(N));
        break;
    default:
        break; // flag 8: neither direction, factor 0.0
    }

    return spec;
}

const float *fftSineSource(int32_t order, void *initBuffer, int32_t *sineOrder, unsigned char **scratch)
{
    *sineOrder = kFixedSineOrder;
    *scratch = nullptr;
    if (order <= kFixedSineOrder)
        return fixedSineTable.data();
    float *computed = reinterpret_cast<float *>(fftAlign32(initBuffer));
    *scratch = buildTwiddles(order, computed);
    *sineOrder = order;
    return computed;
}

void fftBufferSizes(int32_t m, int64_t *specSize, int64_t *initSize, int64_t *workSize)
{
    const int32_t b = fftSplitOrder(m);
    if (b == 0)
    {
        *specSize = fftR32(2 * (int64_t(1) << m) + 31) + kRadix1024Bytes;
        *initSize = 0;
        *workSize = 0;
        return;
    }
    const int32_t c = m - b;
    const int64_t P = int64_t(1) << c;
    const int64_t R = int64_t(1) << b;
    if (c > kFftDirectMaxOrder && fftSplitOrder(c) != 0)
    {
        fftBufferSizes(c, specSize, initSize, workSize);
    }
    else
    {
        *specSize = c > kFftDirectMaxOrder ? fftR32(2 * P + 31) + kRadix1024Bytes : fftR32(8 * P + 39);
        *initSize = 0;
        *workSize = 0;
    }
    *specSize += fftR32(8 * R + 39) + 8 * (int64_t(1) << m);
    *initSize += fftR32(R + 35) + 32 * R;
    *workSize = std::max(*workSize, 32 * R);
}

void fftRealSizes64(int32_t order, int64_t *specSize, int64_t *initSize, int64_t *workSize)
{
    specSizes64(order, true, specSize, initSize, workSize);
}

void fftComplexSizes64(int32_t order, int64_t *specSize, int64_t *initSize, int64_t *workSize)
{
    specSizes64(order, false, specSize, initSize, workSize);
}

Status fftRealGetSize(int32_t order, int32_t flag, int32_t, int32_t *specSize, int32_t *initSize,
                      int32_t *workSize)
{
    return sizeQuery(order, flag, true, specSize, initSize, workSize);
}

Status complexFftSpecSize(int32_t order, int32_t flag, int32_t, int32_t *specSize, int32_t *initSize,
                          int32_t *workSize)
{
    return sizeQuery(order, flag, false, specSize, initSize, workSize);
}

Status fftRealInit(FftSpec **specOut, int32_t order, int32_t flag, int32_t hint, void *specBuffer,
                   void *initBuffer)
{
    return initSpec(specOut, order, flag, hint, specBuffer, initBuffer, true);
}

Status complexFftSpecInit(FftSpec **specOut, int32_t order, int32_t flag, int32_t hint, void *specBuffer,
                          void *initBuffer)
{
    return initSpec(specOut, order, flag, hint, specBuffer, initBuffer, false);
}

unsigned char *buildTwiddles(int32_t n, float *table)
{
    const int64_t N = int64_t(1) << n;
    const int64_t Q = N / 4;
    if (n <= kFixedSineOrder)
    {
        for (int64_t k = 0; k < Q; ++k)
            table[k] = fixedSineTable[size_t(k << (kFixedSineOrder - n))];
        table[Q] = 1.0f;
    }
    else
    {
        // The cosine of the complement near the top of the quarter keeps values close to 1.0
        // as accurate as the small ones.
        const double step = 6.283185307179586 / double(N);
        for (int64_t k = 0; k <= N / 8; ++k)
            table[k] = float(std::sin(double(k) * step));
        for (int64_t k = N / 8 + 1; k <= Q; ++k)
            table[k] = float(std::cos(double(Q - k) * step));
    }
    return fftAlign32(table + Q + 1);
}

unsigned char *buildBitReverseTable(int32_t m, int32_t *table)
{
    if (m < 2)
        return reinterpret_cast<unsigned char *>(table);
    const int32_t K = int32_t(1) << (m - 2);
    int32_t d = 0;
    int32_t p = 0;
    int32_t f = K - 1;
    for (int32_t k = 1; k < K; ++k)
    {
        // d steps through the (m-2)-bit reversals of k in order.
        int32_t e = K / 2;
        while (e <= d)
        {
            d -= e;
            e /= 2;
        }
        d += e;
        if (k < d)
        {
            table[p] = 4 * k;
            table[p + 1] = 4 * d;
            p += 2;
        }
        else if (k == d)
        {
            table[f] = 4 * k;
            --f;
        }
    }
    table[p] = 0;
    table[K] = 0;
    return fftAlign32(table + K + 1);
}

unsigned char *buildKernelTwiddles(int32_t t, const float *sine, int32_t sineOrder, float *table)
{
    const FftSineReader reader(sine, sineOrder, t);
    const int64_t L = int64_t(1) << t;
    for (int64_t k = 0; k <= L / 4; ++k)
    {
        reader.twiddle(L, k, table + 6 * k);
        reader.twiddle(L, 2 * k, table + 6 * k + 2);
        reader.twiddle(L, 3 * k, table + 6 * k + 4);
    }
    return fftAlign32(table + 6 * (L / 4 + 1));
}

unsigned char *buildCompletionTwiddles(int32_t t, const float *sine, int32_t sineOrder, float *table)
{
    const FftSineReader reader(sine, sineOrder, t);
    const int64_t L = int64_t(1) << t;
    for (int64_t k = 0; k < L / 4; ++k)
        reader.twiddle(L, k, table + 2 * k);
    return fftAlign32(table + 2 * (L / 4));
}

unsigned char *buildBlockTwiddles(FftSpec *spec, int32_t L, const float *sine, int32_t sineOrder,
                                  int32_t level, unsigned char *dst, unsigned char *scratch)
{
    const int32_t b = fftSplitOrder(L);
    const int32_t c = L - b;
    const int64_t R = int64_t(1) << b;
    const int64_t P = int64_t(1) << c;

    unsigned char *inner;
    if (c <= kFftDirectMaxOrder)
    {
        spec->kernelTwiddles = offsetIn(spec, dst);
        inner = buildKernelTwiddles(c, sine, sineOrder, reinterpret_cast<float *>(dst));
    }
    else if (fftSplitOrder(c) != 0)
    {
        inner = buildBlockTwiddles(spec, c, sine, sineOrder, level + 1, dst, scratch);
    }
    else
    {
        inner = buildUnsplitTables(spec, c, sine, sineOrder, dst);
    }

    spec->columnTwiddles[level] = offsetIn(spec, inner);
    unsigned char *stage = buildKernelTwiddles(b, sine, sineOrder, reinterpret_cast<float *>(inner));
    spec->stageTwiddles[level] = offsetIn(spec, stage);

    // Four rows of R twiddles each, put into the column order the bit-reversed data has.
    float *rows = reinterpret_cast<float *>(scratch);
    int32_t *reverse = reinterpret_cast<int32_t *>(scratch + 32 * R);
    buildBitReverseTable(b, reverse);
    const FftSineReader reader(sine, sineOrder, L);
    const int64_t size = int64_t(1) << L;
    float *out = reinterpret_cast<float *>(stage);
    for (int64_t r0 = 0; r0 < P; r0 += 4)
    {
        for (int64_t r = 0; r < 4; ++r)
        {
            float *row = rows + 2 * R * r;
            for (int64_t q = 0; q < R; ++q)
                reader.twiddle(size, q * (r0 + r), row + 2 * q);
            bitReversePermute(row, int32_t(R), reverse);
        }
        for (int64_t q = 0; q < R; ++q)
        {
            for (int64_t r = 0; r < 4; ++r)
            {
                out[0] = rows[2 * R * r + 2 * q];
                out[1] = rows[2 * R * r + 2 * q + 1];
                out += 2;
            }
        }
    }
    spec->workSize = std::max(spec->workSize, int32_t(32 * R));
    return stage + 8 * size;
}

unsigned char *buildLargeOrderTables(FftSpec *spec, int32_t m, const float *sine, int32_t sineOrder,
                                     unsigned char *dst, unsigned char *scratch)
{
    unsigned char *base = reinterpret_cast<unsigned char *>(spec);
    spec->bitReverse = int32_t(sizeof(FftSpec));
    buildBitReverseTable(m, reinterpret_cast<int32_t *>(base + spec->bitReverse));
    if (fftSplitOrder(m) != 0)
        return buildBlockTwiddles(spec, m, sine, sineOrder, 0, dst, scratch);
    spec->workSize = 0;
    return buildUnsplitTables(spec, m, sine, sineOrder, dst);
}

unsigned char *buildRecombineTables(int32_t n, const float *sine, int32_t sineOrder, float *table,
                                    FftRecombine kind)
{
    const FftSineReader reader(sine, sineOrder, n);
    const int64_t Q = (int64_t(1) << n) / 4;
    for (int64_t k = 0; k < Q; ++k)
    {
        const double c = reader.at(Q - k);
        const double s = reader.at(k);
        if (kind == FftRecombine::Forward)
        {
            table[2 * k] = float(0.5 * c);
            table[2 * k + 1] = float(0.5 - 0.5 * s);
        }
        else
        {
            table[2 * k] = float(c);
            table[2 * k + 1] = float(-s);
        }
    }
    return fftAlign32(table + 2 * Q);
}

Status zeroFillStatus(void *dst, int32_t bytes)
{
    if (!dst)
        return kErrNullPointer;
    if (bytes <= 0)
        return kErrBadLength;
    // The whole words through the library's float zero fill, any tail bytes here.
    if (bytes >= 4)
        zeroF32(static_cast<float *>(dst), bytes / 4);
    std::memset(static_cast<unsigned char *>(dst) + (bytes & ~3), 0, size_t(bytes & 3));
    return kOk;
}

} // namespace dsp::generic
