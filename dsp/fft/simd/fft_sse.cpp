// The tuning-1 specs, their size queries and the transforms and entries over them. The SIMD work
// is in fft_kernels_sse.cpp; this file runs on any x86 processor.
#include "dsp/fft/simd/fft_sse.h"

#if defined(__x86_64__) || defined(__i386__)

#include "dsp/core/vector.h"
#include "dsp/fft/entries.h"
#include "dsp/fft/simd/fft_large_sse.h"
#include "dsp/fft/transform.h"

namespace dsp::sse
{

namespace
{

using generic::fftAlign32;
using generic::FftDirection;
using generic::FftKind;
using generic::fftR32;
using generic::FftSineReader;

// Up to this the reorder kernel; at the direct threshold a separate bit reversal and the in-place one.
constexpr int32_t kReorderMaxOrder = 16;

void sizes64(int32_t n, bool real, int64_t *spec, int64_t *init, int64_t *work)
{
    if (n <= 3)
    {
        (real ? generic::fftRealSizes64 : generic::fftComplexSizes64)(n, spec, init, work);
        return;
    }
    const int32_t m = real ? n - 1 : n;
    const int64_t M = int64_t(1) << m;
    const int64_t N = int64_t(1) << n;
    if (m <= kFftKernelMaxOrder)
    {
        *spec = fftR32(8 * M + 39);
        *init = 0;
        *work = fftR32(8 * M + 31);
    }
    else
    {
        fftBufferSizes(m, spec, init, work);
    }
    *spec += fftR32(M + 35) + 128;
    if (real)
        *spec += 2 * fftR32(2 * N + 31);
    *init = n <= 10 ? 0 : fftR32(N + 35) + *init + 32;
    *work += 32;
}

void realSizes64(int32_t n, int64_t *spec, int64_t *init, int64_t *work)
{
    sizes64(n, true, spec, init, work);
}

void complexSizes64(int32_t n, int64_t *spec, int64_t *init, int64_t *work)
{
    sizes64(n, false, spec, init, work);
}

} // namespace

unsigned char *fftBuildPlainReverse(int32_t m, int32_t *table)
{
    const int32_t bits = m - 2;
    const int32_t count = int32_t(1) << bits;
    for (int32_t i = 0; i < count; ++i)
    {
        int32_t r = 0;
        for (int32_t b = 0; b < bits; ++b)
            r |= ((i >> b) & 1) << (bits - 1 - b);
        table[i] = 2 * r;
    }
    table[count] = 0;
    return fftAlign32(table + count + 1);
}

float *fftPutTwiddles(const FftSineReader &reader, int64_t h, int64_t k0, int64_t mult, float *out)
{
    float w[2];
    for (int64_t b = 0; b < 4; ++b)
    {
        reader.twiddle(h, mult * (k0 + b), w);
        out[b] = w[0];
        out[4 + b] = w[1];
    }
    return out + 8;
}

// Radix-4 sections L = 4, 16, ... while 4L <= M, then for an odd order the radix-2 section.
unsigned char *fftBuildKernelTwiddles(int32_t m, const float *sine, int32_t sineOrder, float *out)
{
    const int64_t M = int64_t(1) << m;
    int32_t t = 4;
    for (int64_t L = 4; 4 * L <= M; L *= 4, t += 2)
    {
        const FftSineReader reader(sine, sineOrder, t);
        for (int64_t k = 0; k < L; k += 4)
            for (int64_t mult = 1; mult <= 3; ++mult)
                out = fftPutTwiddles(reader, 4 * L, k, mult, out);
    }
    if (m & 1)
    {
        const FftSineReader reader(sine, sineOrder, m);
        for (int64_t k = 0; k < M / 2; k += 4)
            out = fftPutTwiddles(reader, M, k, 1, out);
    }
    return fftAlign32(out);
}

namespace
{

// Blocks of eight for k = 4j+1..4j+4 of the real order n: forward (0.5 cos, 0.5 - 0.5 sin),
// inverse (cos, -sin), lanes in the order 4j+2, 4j+1, 4j+4, 4j+3.
unsigned char *buildRecombine(int32_t n, const float *sine, int32_t sineOrder, float *out, bool forward)
{
    const FftSineReader reader(sine, sineOrder, n);
    const int64_t Q = (int64_t(1) << n) / 4;
    static constexpr int64_t kLane[4] = {2, 1, 4, 3};
    for (int64_t j = 0; j < Q / 4; ++j)
    {
        for (int64_t b = 0; b < 4; ++b)
        {
            const int64_t k = 4 * j + kLane[b];
            const double c = reader.at(Q - k);
            const double s = reader.at(k);
            out[8 * j + b] = forward ? float(0.5 * c) : float(c);
            out[8 * j + 4 + b] = forward ? float(0.5 - 0.5 * s) : float(-s);
        }
    }
    return fftAlign32(out + 8 * (Q / 4));
}

Status initSpec(FftSpec **specOut, int32_t order, int32_t flag, int32_t hint, void *specBuffer,
                void *initBuffer, bool real)
{
    const int32_t m = real ? order - 1 : order;
    if (Status s = generic::fftCheckInitArgs(specOut, order, flag, specBuffer, initBuffer))
        return s;
    FftSpec *spec = generic::fftInitHeader(specBuffer, order, flag, hint);
    spec->reserved0 = generic::kFftLayoutTuning1;
    if (order > 3)
    {
        unsigned char *base = reinterpret_cast<unsigned char *>(spec);
        int32_t sineOrder;
        unsigned char *scratch;
        const float *sine = generic::fftSineSource(order, initBuffer, &sineOrder, &scratch);
        const int64_t M = int64_t(1) << m;
        unsigned char *next;
        if (m <= kFftKernelMaxOrder)
        {
            spec->bitReverse = int32_t(sizeof(FftSpec));
            next = fftBuildPlainReverse(m, reinterpret_cast<int32_t *>(base + spec->bitReverse));
            spec->kernelTwiddles = int32_t(next - base);
            next = fftBuildKernelTwiddles(m, sine, sineOrder, reinterpret_cast<float *>(next));
            spec->workSize = int32_t(fftR32(8 * M + 31));
        }
        else
        {
            next = fftBuildLargeOrderTables(spec, m, sine, sineOrder, base + 96 + fftR32(M + 35));
        }
        if (real)
        {
            spec->recombineForward = int32_t(next - base);
            next = buildRecombine(order, sine, sineOrder, reinterpret_cast<float *>(next), true);
            spec->recombineInverse = int32_t(next - base);
            buildRecombine(order, sine, sineOrder, reinterpret_cast<float *>(next), false);
        }
    }
    spec->id = real ? generic::kFftIdReal : generic::kFftIdComplex;
    *specOut = spec;
    return kOk;
}

// The complex transform of order m >= 3, src to dst (may be equal). Unscaled in the direct range;
// the large-order driver scales its sub-transforms.
void complexTransform(const FftSpec *spec, const float *src, float *dst, int32_t m, void *work, bool inverse)
{
    if (m > kFftKernelMaxOrder)
    {
        fftComplexDriver(spec, src, dst, m, work, inverse);
        return;
    }
    const int32_t count = int32_t(1) << m;
    const float *twiddles = generic::fftTable<float>(spec, spec->kernelTwiddles);
    const int32_t *reverse = generic::fftTable<int32_t>(spec, spec->bitReverse);
    if (m <= kReorderMaxOrder)
    {
        fftKernelReorder(src, dst, count, twiddles, reverse, work, inverse);
        return;
    }
    fftBitReverse(src, dst, count, reverse);
    fftKernelInPlace(dst, count, twiddles, inverse, 1);
}

Status transform(const FftSpec *spec, FftKind kind, FftDirection dir, const float *src, float *dst,
                 void *work)
{
    const bool real = kind == FftKind::Real;
    if (Status s = generic::fftCheckTransform(spec, real ? generic::kFftIdReal : generic::kFftIdComplex,
                                              generic::kFftLayoutTuning1, src, dst))
        return s;
    const int32_t order = spec->order;
    if (order <= 3)
    {
        generic::fftSmallTransform(spec, kind, dir, src, dst);
        return kOk;
    }
    const int32_t m = real ? order - 1 : order;
    generic::FftWork buffer;
    if (Status s = buffer.acquire(spec, work))
        return s;
    const bool inverse = dir == FftDirection::Inverse;
    const int32_t M = int32_t(1) << m;
    if (!real)
    {
        complexTransform(spec, src, dst, m, buffer.get(), inverse);
    }
    else if (!inverse)
    {
        complexTransform(spec, src, dst, m, buffer.get(), false);
        const float t0 = dst[0], t1 = dst[1];
        dst[0] = t0 + t1;
        dst[1] = t0 - t1;
        fftRecombineForward(dst, M, generic::fftTable<float>(spec, spec->recombineForward));
    }
    else
    {
        const float t0 = src[0], t1 = src[1];
        dst[1] = t0 - t1;
        dst[0] = t0 + t1;
        fftRecombineInverse(src, dst, M, generic::fftTable<float>(spec, spec->recombineInverse));
        complexTransform(spec, dst, dst, m, buffer.get(), true);
    }
    // Scaling once, over the finished result (the driver has scaled its sub-transforms).
    if (m <= kFftKernelMaxOrder && generic::fftScales(spec, dir))
        generic::mulConstInPlaceF32(spec->factor, dst, 2 * M);
    return kOk;
}

} // namespace

Status fftRealGetSize(int32_t order, int32_t flag, int32_t, int32_t *specSize, int32_t *initSize,
                      int32_t *workSize)
{
    return generic::fftSizeQuery(order, flag, specSize, initSize, workSize, realSizes64);
}

Status complexFftSpecSize(int32_t order, int32_t flag, int32_t, int32_t *specSize, int32_t *initSize,
                          int32_t *workSize)
{
    return generic::fftSizeQuery(order, flag, specSize, initSize, workSize, complexSizes64);
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

Status fftRealForward(const float *src, float *dst, const FftSpec *spec, void *work)
{
    return transform(spec, FftKind::Real, FftDirection::Forward, src, dst, work);
}

Status fftRealInverse(const float *src, float *dst, const FftSpec *spec, void *work)
{
    return transform(spec, FftKind::Real, FftDirection::Inverse, src, dst, work);
}

Status fftComplexInverse(const float *src, float *dst, const FftSpec *spec, void *work)
{
    return transform(spec, FftKind::Complex, FftDirection::Inverse, src, dst, work);
}

Status fftCreateReal(FftSpec **spec, int32_t order, int32_t flag, int32_t hint)
{
    return generic::fftCreateSpec(spec, order, flag, hint, fftRealGetSize, fftRealInit);
}

Status fftFreeReal(FftSpec *spec)
{
    return generic::fftFreeReal(spec);
}

Status fftForwardRealInPlace(float *buf, const FftSpec *spec, void *work)
{
    return fftRealForward(buf, buf, spec, work);
}

Status fftInverseRealInPlace(float *buf, const FftSpec *spec, void *work)
{
    return fftRealInverse(buf, buf, spec, work);
}

Status fftCreateComplex(FftSpec **spec, int32_t order, int32_t flag, int32_t hint)
{
    return generic::fftCreateSpec(spec, order, flag, hint, complexFftSpecSize, complexFftSpecInit);
}

Status fftFreeComplex(FftSpec *spec)
{
    return generic::fftFreeComplex(spec);
}

Status fftForwardComplex(const float *src, float *dst, const FftSpec *spec, void *work)
{
    return transform(spec, FftKind::Complex, FftDirection::Forward, src, dst, work);
}

} // namespace dsp::sse

#endif
