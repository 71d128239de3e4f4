// The tuning-1 radix kernels, first SSE level only. Every stage works four values at a time: a
// group of four consecutive values is held as its four real parts and its four imaginary parts
// (the layout every stage but the last writes). Each product and each sum is rounded to float, in
// the order below; no stage depends on the data's alignment.
#include "dsp/fft/simd/fft_sse.h"

#if defined(__x86_64__) || defined(__i386__)

#include <cstring>
#include <xmmintrin.h>

#define DSP_SSE __attribute__((target("sse")))
#define DSP_SSE_INLINE __attribute__((target("sse"), always_inline)) inline

// Calls an inline stage body with the direction and the output layout as constants, so that each
// of the four combinations compiles to straight-line code without a test per butterfly.
#define DSP_FFT_SPECIALISED(body, inverse, pairsOut, ...)                                                    \
    do                                                                                                       \
    {                                                                                                        \
        if (inverse)                                                                                         \
        {                                                                                                    \
            if (pairsOut)                                                                                    \
                body(__VA_ARGS__, true, true);                                                               \
            else                                                                                             \
                body(__VA_ARGS__, true, false);                                                              \
        }                                                                                                    \
        else if (pairsOut)                                                                                   \
            body(__VA_ARGS__, false, true);                                                                  \
        else                                                                                                 \
            body(__VA_ARGS__, false, false);                                                                 \
    } while (0)

namespace dsp::sse
{

namespace
{

struct Quad
{
    __m128 re;
    __m128 im;
};

// Four values at value index i, interleaved pairs or split halves.
DSP_SSE_INLINE Quad loadPairs(const float *p, int64_t i)
{
    const __m128 a = _mm_loadu_ps(p + 2 * i);
    const __m128 b = _mm_loadu_ps(p + 2 * i + 4);
    return {_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)), _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1))};
}

DSP_SSE_INLINE Quad loadSplit(const float *p, int64_t i)
{
    return {_mm_loadu_ps(p + 2 * i), _mm_loadu_ps(p + 2 * i + 4)};
}

DSP_SSE_INLINE void store(float *p, int64_t i, Quad v, bool pairs)
{
    if (pairs)
    {
        _mm_storeu_ps(p + 2 * i, _mm_unpacklo_ps(v.re, v.im));
        _mm_storeu_ps(p + 2 * i + 4, _mm_unpackhi_ps(v.re, v.im));
    }
    else
    {
        _mm_storeu_ps(p + 2 * i, v.re);
        _mm_storeu_ps(p + 2 * i + 4, v.im);
    }
}

DSP_SSE_INLINE Quad add(Quad a, Quad b)
{
    return {_mm_add_ps(a.re, b.re), _mm_add_ps(a.im, b.im)};
}

DSP_SSE_INLINE Quad sub(Quad a, Quad b)
{
    return {_mm_sub_ps(a.re, b.re), _mm_sub_ps(a.im, b.im)};
}

// v times (c, t), t the stored negative sine; the inverse multiplies by the conjugate.
DSP_SSE_INLINE Quad twiddle(Quad v, __m128 c, __m128 t, bool inverse)
{
    if (inverse)
        return {_mm_add_ps(_mm_mul_ps(v.re, c), _mm_mul_ps(v.im, t)),
                _mm_sub_ps(_mm_mul_ps(v.im, c), _mm_mul_ps(v.re, t))};
    return {_mm_sub_ps(_mm_mul_ps(v.re, c), _mm_mul_ps(v.im, t)),
            _mm_add_ps(_mm_mul_ps(v.im, c), _mm_mul_ps(v.re, t))};
}

// (b.re + d.im, b.im - d.re) and (b.re - d.im, b.im + d.re): b times d's -i and +i turns; the
// inverse exchanges them.
DSP_SSE_INLINE Quad turnMinus(Quad b, Quad d, bool inverse)
{
    if (inverse)
        return {_mm_sub_ps(b.re, d.im), _mm_add_ps(b.im, d.re)};
    return {_mm_add_ps(b.re, d.im), _mm_sub_ps(b.im, d.re)};
}

DSP_SSE_INLINE Quad turnPlus(Quad b, Quad d, bool inverse)
{
    return turnMinus(b, d, !inverse);
}

DSP_SSE_INLINE void transpose(Quad &a, Quad &b, Quad &c, Quad &d)
{
    _MM_TRANSPOSE4_PS(a.re, b.re, c.re, d.re);
    _MM_TRANSPOSE4_PS(a.im, b.im, c.im, d.im);
}

// Four four-point blocks at once: lane b of z[q] is position q of block b (natural samples 0, 2,
// 1, 3). Leaves lane b of z[q] holding X_q of block b.
DSP_SSE_INLINE void fourPoint(Quad z[4], bool inverse)
{
    const Quad a = add(z[0], z[1]);
    const Quad b = sub(z[0], z[1]);
    const Quad c = add(z[2], z[3]);
    const Quad d = sub(z[2], z[3]);
    z[0] = add(c, a);
    z[1] = turnMinus(b, d, inverse);
    z[2] = sub(a, c);
    z[3] = turnPlus(b, d, inverse);
}

// The radix-4 butterfly of four k at once: p[0..3] at g + k, g + L + k, g + 2L + k, g + 3L + k;
// tw: the section's 24 floats for these k.
DSP_SSE_INLINE void radix4(Quad p[4], const float *tw, bool inverse)
{
    const Quad u1 = twiddle(p[1], _mm_load_ps(tw + 8), _mm_load_ps(tw + 12), inverse);
    const Quad u2 = twiddle(p[2], _mm_load_ps(tw), _mm_load_ps(tw + 4), inverse);
    const Quad u3 = twiddle(p[3], _mm_load_ps(tw + 16), _mm_load_ps(tw + 20), inverse);
    const Quad t0 = add(u1, p[0]);
    const Quad t1 = sub(p[0], u1);
    const Quad t2 = add(u3, u2);
    const Quad t3 = sub(u2, u3);
    p[0] = add(t2, t0);
    p[1] = turnMinus(t1, t3, inverse);
    p[2] = sub(t0, t2);
    p[3] = turnPlus(t1, t3, inverse);
}

// Recombination, four k a step, in the table's lane order: with k0 = 4j+1 the lanes hold
// k = k0+1, k0, k0+3, k0+2 (4j+2, 4j+1, 4j+4, 4j+3) and, against them, M - k. Loads and stores
// put the values there and back in the shuffles that split and join the pairs.
DSP_SSE_INLINE Quad loadTableLanes(const float *p, int64_t k0)
{
    const __m128 a = _mm_loadu_ps(p + 2 * k0);
    const __m128 b = _mm_loadu_ps(p + 2 * k0 + 4);
    return {_mm_shuffle_ps(a, b, _MM_SHUFFLE(0, 2, 0, 2)), _mm_shuffle_ps(a, b, _MM_SHUFFLE(1, 3, 1, 3))};
}

// The mirror values M - k: the four from m0 = M - k0 - 3 on, lanes M-k0-1, M-k0, M-k0-3, M-k0-2.
DSP_SSE_INLINE Quad loadMirrorLanes(const float *p, int64_t m0)
{
    const __m128 a = _mm_loadu_ps(p + 2 * m0);
    const __m128 b = _mm_loadu_ps(p + 2 * m0 + 4);
    return {_mm_shuffle_ps(b, a, _MM_SHUFFLE(2, 0, 2, 0)), _mm_shuffle_ps(b, a, _MM_SHUFFLE(3, 1, 3, 1))};
}

DSP_SSE_INLINE void storeTableLanes(float *p, int64_t k0, Quad v)
{
    const __m128 lo = _mm_unpacklo_ps(v.re, v.im), hi = _mm_unpackhi_ps(v.re, v.im);
    _mm_storeu_ps(p + 2 * k0, _mm_shuffle_ps(lo, lo, _MM_SHUFFLE(1, 0, 3, 2)));
    _mm_storeu_ps(p + 2 * k0 + 4, _mm_shuffle_ps(hi, hi, _MM_SHUFFLE(1, 0, 3, 2)));
}

DSP_SSE_INLINE void storeMirrorLanes(float *p, int64_t m0, Quad v)
{
    _mm_storeu_ps(p + 2 * m0 + 4, _mm_unpacklo_ps(v.re, v.im));
    _mm_storeu_ps(p + 2 * m0, _mm_unpackhi_ps(v.re, v.im));
}

// The pair's conjugate, by bits (never through a float register).
void storeConjugate(float *dst, const float pair[2])
{
    uint32_t w[2];
    std::memcpy(w, pair, 8);
    w[1] ^= 0x80000000u;
    std::memcpy(dst, w, 8);
}

// Lane b of the result: source value `index[b]` (a value index).
DSP_SSE_INLINE Quad gather(const float *src, const int64_t index[4])
{
    float re[4], im[4];
    for (int b = 0; b < 4; ++b)
    {
        std::memcpy(&re[b], src + 2 * index[b], 4);
        std::memcpy(&im[b], src + 2 * index[b] + 1, 4);
    }
    return {_mm_loadu_ps(re), _mm_loadu_ps(im)};
}

// Position 4i + q of the bit-reversed order holds source value r + offset[q], r from entry i.
DSP_SSE_INLINE void reorderedBlocks(const float *src, int64_t n, const int32_t *reverse, int64_t i0,
                                    Quad z[4])
{
    const int64_t offset[4] = {0, n / 2, n / 4, 3 * n / 4};
    for (int q = 0; q < 4; ++q)
    {
        int64_t index[4];
        for (int b = 0; b < 4; ++b)
            index[b] = reverse[i0 + b] / 2 + offset[q];
        z[q] = gather(src, index);
    }
}

// Groups i0/4 and i0/4 + n/8 of the bit-reversed order read adjacent source values (entry
// i + n/8 of the table is entry i's value plus one), so one 16-byte read serves both: lane b of
// a[q] and of c[q] as reorderedBlocks gives them for the two groups.
DSP_SSE_INLINE void reorderedTwoGroups(const float *src, int64_t n, const int32_t *reverse, int64_t i0,
                                       Quad a[4], Quad c[4])
{
    const int64_t offset[4] = {0, n, n / 2, 3 * n / 2};
    for (int q = 0; q < 4; ++q)
    {
        const float *p = src + offset[q];
        __m128 r0 = _mm_loadu_ps(p + reverse[i0]);
        __m128 r1 = _mm_loadu_ps(p + reverse[i0 + 1]);
        __m128 r2 = _mm_loadu_ps(p + reverse[i0 + 2]);
        __m128 r3 = _mm_loadu_ps(p + reverse[i0 + 3]);
        _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
        a[q] = {r0, r1};
        c[q] = {r2, r3};
    }
}

// Sixteen values from four four-point blocks: the blocks, then the radix-4 butterfly with L = 4.
DSP_SSE_INLINE void sixteenPoint(Quad z[4], const float *tw, bool inverse)
{
    fourPoint(z, inverse);
    transpose(z[0], z[1], z[2], z[3]);
    radix4(z, tw, inverse);
}

DSP_SSE_INLINE void storeGroup(float *out, int64_t g, const Quad z[4], bool pairsOut)
{
#pragma GCC unroll 4
    for (int b = 0; b < 4; ++b)
        store(out, g + 4 * b, z[b], pairsOut);
}

// First stage over values [begin, end) in groups of sixteen. reverse null: in holds bit-reversed
// interleaved pairs; else the natural-order source read through the table, over the whole array,
// two groups half the array apart at a time once there are two.
DSP_SSE_INLINE void firstStage16Body(const float *in, const int32_t *reverse, float *out, int64_t n,
                                     int64_t begin, int64_t end, const float *tw, bool inverse, bool pairsOut)
{
    if (reverse && n >= 32)
    {
        for (int64_t g = 0; g < n / 2; g += 16)
        {
            Quad a[4], c[4];
            reorderedTwoGroups(in, n, reverse, g / 4, a, c);
            sixteenPoint(a, tw, inverse);
            storeGroup(out, g, a, pairsOut);
            sixteenPoint(c, tw, inverse);
            storeGroup(out, g + n / 2, c, pairsOut);
        }
        return;
    }
    for (int64_t g = begin; g < end; g += 16)
    {
        Quad z[4];
        if (reverse)
        {
            reorderedBlocks(in, n, reverse, g / 4, z);
        }
        else
        {
            for (int b = 0; b < 4; ++b)
                z[b] = loadPairs(in, g + 4 * b);
            transpose(z[0], z[1], z[2], z[3]);
        }
        sixteenPoint(z, tw, inverse);
        storeGroup(out, g, z, pairsOut);
    }
}

DSP_SSE void firstStage16(const float *in, const int32_t *reverse, float *out, int64_t n, int64_t begin,
                          int64_t end, const float *tw, bool inverse, bool pairsOut)
{
    DSP_FFT_SPECIALISED(firstStage16Body, inverse, pairsOut, in, reverse, out, n, begin, end, tw);
}

// One radix-4 stage of sub-transform length L >= 16 over the groups of 4L values in [begin, end).
DSP_SSE_INLINE void radix4StageBody(const float *in, float *out, int64_t L, int64_t begin, int64_t end,
                                    const float *section, bool inverse, bool pairsOut)
{
    for (int64_t g = begin; g < end; g += 4 * L)
    {
        for (int64_t k = 0; k < L; k += 4)
        {
            Quad p[4];
#pragma GCC unroll 4
            for (int j = 0; j < 4; ++j)
                p[j] = loadSplit(in, g + j * L + k);
            radix4(p, section + 6 * k, inverse);
#pragma GCC unroll 4
            for (int j = 0; j < 4; ++j)
                store(out, g + j * L + k, p[j], pairsOut);
        }
    }
}

DSP_SSE void radix4Stage(const float *in, float *out, int64_t L, int64_t begin, int64_t end,
                         const float *section, bool inverse, bool pairsOut)
{
    DSP_FFT_SPECIALISED(radix4StageBody, inverse, pairsOut, in, out, L, begin, end, section);
}

// The radix-2 stage over the whole array of an odd order.
DSP_SSE_INLINE void radix2StageBody(const float *in, float *out, int64_t n, const float *section,
                                    bool inverse, bool pairsOut)
{
    const int64_t h = n / 2;
    for (int64_t k = 0; k < h; k += 4)
    {
        const Quad a = loadSplit(in, k);
        const Quad u = twiddle(loadSplit(in, h + k), _mm_load_ps(section + 2 * k),
                               _mm_load_ps(section + 2 * k + 4), inverse);
        store(out, k, add(a, u), pairsOut);
        store(out, h + k, sub(a, u), pairsOut);
    }
}

DSP_SSE void radix2Stage(const float *in, float *out, int64_t n, const float *section, bool inverse,
                         bool pairsOut)
{
    DSP_FFT_SPECIALISED(radix2StageBody, inverse, pairsOut, in, out, n, section);
}

// The last radix-4 stage of an odd order (4L = n/2) and the radix-2 stage after it in one pass:
// each k's butterflies in both halves, then the radix-2 pairs across the halves, the same
// operations in the same order as the two stages one after the other.
DSP_SSE_INLINE void radix4Radix2Body(const float *in, float *out, int64_t n, int64_t L, const float *section4,
                                     const float *section2, bool inverse, bool pairsOut)
{
    const int64_t h = n / 2;
    for (int64_t k = 0; k < L; k += 4)
    {
        Quad p[4], q[4];
#pragma GCC unroll 4
        for (int j = 0; j < 4; ++j)
        {
            p[j] = loadSplit(in, j * L + k);
            q[j] = loadSplit(in, h + j * L + k);
        }
        radix4(p, section4 + 6 * k, inverse);
        radix4(q, section4 + 6 * k, inverse);
#pragma GCC unroll 4
        for (int j = 0; j < 4; ++j)
        {
            const int64_t x = j * L + k;
            const Quad u =
                twiddle(q[j], _mm_load_ps(section2 + 2 * x), _mm_load_ps(section2 + 2 * x + 4), inverse);
            store(out, x, add(p[j], u), pairsOut);
            store(out, h + x, sub(p[j], u), pairsOut);
        }
    }
}

DSP_SSE void radix4Radix2Stage(const float *in, float *out, int64_t n, int64_t L, const float *section4,
                               const float *section2, bool inverse, bool pairsOut)
{
    DSP_FFT_SPECIALISED(radix4Radix2Body, inverse, pairsOut, in, out, n, L, section4, section2);
}

// N = 8: two four-point blocks, then the eight-point twiddles T8(k) = (1, 0), (s, -s), (0, -1),
// (-s, -s) with s = 0x3F3504F4.
DSP_SSE void eightPoint(const float *src, float *dst, const int32_t *reverse, bool inverse)
{
    Quad z[4];
    const int64_t offset[4] = {0, 4, 2, 6};
    for (int q = 0; q < 4; ++q)
    {
        float re[4] = {0, 0, 0, 0}, im[4] = {0, 0, 0, 0};
        for (int b = 0; b < 2; ++b)
        {
            const int64_t index = reverse[b] / 2 + offset[q];
            std::memcpy(&re[b], src + 2 * index, 4);
            std::memcpy(&im[b], src + 2 * index + 1, 4);
        }
        z[q] = {_mm_loadu_ps(re), _mm_loadu_ps(im)};
    }
    fourPoint(z, inverse);
    // Rows after the transpose: block 0's X0..X3 (E), block 1's (O).
    transpose(z[0], z[1], z[2], z[3]);
    const Quad e = z[0], o = z[1];
    float s;
    const uint32_t sBits = 0x3F3504F4u;
    std::memcpy(&s, &sBits, 4);
    const __m128 c = _mm_setr_ps(1.0f, s, 0.0f, -s);
    const __m128 t = _mm_setr_ps(0.0f, -s, -1.0f, -s);
    const Quad u = twiddle(o, c, t, inverse);
    store(dst, 0, add(u, e), true);
    store(dst, 4, sub(e, u), true);
}

// The stages after the first, for a kernel whose first stage has written buf: chunked radix-4
// stages, then the whole-array ones; the last stage writes out.
DSP_SSE void laterStages(float *buf, float *out, int64_t n, const float *twiddles, bool inverse,
                         bool pairsOut, int64_t chunk)
{
    const bool odd = (__builtin_ctzll(uint64_t(n)) & 1) != 0;
    int64_t lastL = 0;
    for (int64_t L = 16; 4 * L <= n; L *= 4)
        lastL = L;
    const float *section = twiddles + 24;
    int64_t L = 16;
    if (chunk > 0 && n > chunk)
    {
        const float *chunkSection = section;
        int64_t chunkL = 16;
        for (; 4 * chunkL <= chunk && 4 * chunkL <= n; chunkL *= 4)
            ;
        for (int64_t c0 = 0; c0 < n; c0 += chunk)
        {
            const float *s = chunkSection;
            for (int64_t l = 16; l < chunkL; l *= 4)
            {
                radix4Stage(buf, buf, l, c0, c0 + chunk, s, inverse, false);
                s += 6 * l;
            }
        }
        for (; L < chunkL; L *= 4)
            section += 6 * L;
    }
    for (; 4 * L <= n; L *= 4)
    {
        if (L == lastL && odd)
        {
            radix4Radix2Stage(buf, out, n, L, section, section + 6 * L, inverse, pairsOut);
            return;
        }
        const bool last = L == lastL;
        radix4Stage(buf, last ? out : buf, L, 0, n, section, inverse, last && pairsOut);
        section += 6 * L;
    }
    if (odd)
        radix2Stage(buf, out, n, section, inverse, pairsOut);
}

// Runs the first stage over [begin, end) and, when that is the whole plan (N = 16), finishes.
DSP_SSE void kernel(const float *in, const int32_t *reverse, float *buf, float *out, int64_t n,
                    const float *twiddles, bool inverse, bool pairsOut, int64_t chunk)
{
    if (n == 16)
    {
        firstStage16(in, reverse, out, n, 0, n, twiddles, inverse, pairsOut);
        return;
    }
    // The reorder kernels read the source across the whole array; the in-place ones take their
    // first stage chunk by chunk with the rest.
    if (reverse || chunk <= 0 || n <= chunk)
    {
        firstStage16(in, reverse, buf, n, 0, n, twiddles, inverse, false);
    }
    else
    {
        for (int64_t c0 = 0; c0 < n; c0 += chunk)
            firstStage16(in, nullptr, buf, n, c0, c0 + chunk, twiddles, inverse, false);
    }
    laterStages(buf, out, n, twiddles, inverse, pairsOut, chunk);
}

// The loads and first sums of step j: A at k = 4j+1..4j+4 and B at M - k, both in the table's
// lane order, the table's two components, d = A.re - B.re and s = A.im + B.im.
struct RecombineStep
{
    Quad A, B;
    __m128 h, e, d, s;
};

DSP_SSE_INLINE RecombineStep recombineStep(const float *z, int64_t M, const float *table, int64_t j)
{
    const int64_t k = 4 * j + 1;
    RecombineStep r;
    r.A = loadTableLanes(z, k);
    r.B = loadMirrorLanes(z, M - k - 3);
    r.h = _mm_load_ps(table + 8 * j);
    r.e = _mm_load_ps(table + 8 * j + 4);
    r.d = _mm_sub_ps(r.A.re, r.B.re);
    r.s = _mm_add_ps(r.A.im, r.B.im);
    return r;
}

DSP_SSE void recombineForward(float *z, int64_t M, const float *table)
{
    for (int64_t j = 0; j < M / 8; ++j)
    {
        const int64_t k = 4 * j + 1;
        const RecombineStep r = recombineStep(z, M, table, j);
        const Quad &A = r.A, &B = r.B;
        const __m128 h = r.h, e = r.e, d = r.d, s = r.s;
        const __m128 l = _mm_add_ps(_mm_mul_ps(d, e), _mm_mul_ps(s, h));
        const __m128 g = _mm_sub_ps(_mm_mul_ps(s, e), _mm_mul_ps(d, h));
        storeTableLanes(z, k, {_mm_add_ps(B.re, l), _mm_sub_ps(g, B.im)});
        storeMirrorLanes(z, M - k - 3, {_mm_sub_ps(A.re, l), _mm_sub_ps(g, A.im)});
    }
}

DSP_SSE void recombineInverse(const float *src, float *dst, int64_t M, const float *table)
{
    for (int64_t j = 0; j < M / 8; ++j)
    {
        const int64_t k = 4 * j + 1;
        const RecombineStep r = recombineStep(src, M, table, j);
        const Quad &A = r.A, &B = r.B;
        const __m128 h = r.h, e = r.e, d = r.d, s = r.s;
        const __m128 l = _mm_sub_ps(_mm_mul_ps(d, e), _mm_mul_ps(s, h));
        const __m128 g = _mm_add_ps(_mm_mul_ps(d, h), _mm_mul_ps(s, e));
        const __m128 sumRe = _mm_add_ps(A.re, B.re), diffIm = _mm_sub_ps(A.im, B.im);
        storeTableLanes(dst, k, {_mm_add_ps(sumRe, l), _mm_add_ps(diffIm, g)});
        storeMirrorLanes(dst, M - k - 3, {_mm_sub_ps(sumRe, l), _mm_sub_ps(g, diffIm)});
    }
}

} // namespace

void fftKernelReorder(const float *src, float *dst, int32_t count, const float *twiddles,
                      const int32_t *reverse, void *work, bool inverse, int32_t chunk)
{
    if (count == 8)
    {
        eightPoint(src, dst, reverse, inverse);
        return;
    }
    // Reading the source in bit-reversed order while writing over it would lose values.
    float *buf = src == dst ? static_cast<float *>(work) : dst;
    kernel(src, reverse, buf, dst, count, twiddles, inverse, true, chunk);
}

void fftKernelInPlace(float *data, int32_t count, const float *twiddles, bool inverse, int32_t finalLayout,
                      int32_t chunk)
{
    kernel(data, nullptr, data, data, count, twiddles, inverse, finalLayout == 1, chunk);
}

void fftRecombineForward(float *z, int32_t count, const float *table)
{
    const int64_t M = count;
    float mid[2];
    std::memcpy(mid, z + M, 8);
    recombineForward(z, M, table);
    storeConjugate(z + M, mid);
}

DSP_SSE void fftRecombineInverse(const float *src, float *dst, int32_t count, const float *table)
{
    const int64_t M = count;
    float mid[4] = {0, 0, 0, 0};
    std::memcpy(mid, src + M, 8);
    recombineInverse(src, dst, M, table);
    // dst[M/2] = (2 re, -2 im) of the middle value.
    const __m128 v = _mm_mul_ps(_mm_loadu_ps(mid), _mm_setr_ps(2.0f, -2.0f, 0.0f, 0.0f));
    float out[4];
    _mm_storeu_ps(out, v);
    std::memcpy(dst + M, out, 8);
}

void fftRadix4Pass(const float *in, float *out, int32_t quarter, int32_t blocks, const float *twiddles,
                   bool inverse)
{
    radix4Stage(in, out, quarter, 0, int64_t(4) * quarter * blocks, twiddles, inverse, false);
}

void fftRadix2Pass(const float *in, float *out, int32_t half, int32_t blocks, const float *twiddles,
                   bool inverse)
{
    for (int64_t b = 0; b < blocks; ++b)
        radix2Stage(in + 4 * half * b, out + 4 * half * b, 2 * int64_t(half), twiddles, inverse, false);
}

} // namespace dsp::sse

#endif
