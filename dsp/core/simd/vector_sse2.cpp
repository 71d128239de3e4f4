// Indices 2-5: kernels that form products and sums in double lanes, rounding to float once at the
// end as the generic implementations do, and the exponential's groups in double lanes.
#include "dsp/core/simd/simd_kernels.h"

#if defined(__x86_64__) || defined(__i386__)

#include <cstring>
#include <emmintrin.h>

#include "dsp/core/simd/double_lanes.h"
#include "dsp/core/simd/exp_lanes.h"

#define DSP_SSE2 __attribute__((target("sse2")))

namespace dsp::simd
{

namespace
{

// r[i] = a[i] * b[i] + r[i]: the product is exact in double, the sum rounds in double, the store
// rounds to float, as in the generic loop.
DSP_SSE2_INLINE void productSum(const float *a, const float *b, __m128d c, bool constant, float *r, int32_t n)
{
    int32_t i = 0;
    for (; n - i >= 4; i += 4)
    {
        const __m128d m0 = constant ? c : loadPair(b + i), m1 = constant ? c : loadPair(b + i + 2);
        const __m128d s0 = _mm_add_pd(_mm_mul_pd(loadPair(a + i), m0), loadPair(r + i));
        const __m128d s1 = _mm_add_pd(_mm_mul_pd(loadPair(a + i + 2), m1), loadPair(r + i + 2));
        storePair(r + i, s0);
        storePair(r + i + 2, s1);
    }
    for (; i < n; ++i)
        storeOne(r + i,
                 _mm_add_sd(_mm_mul_sd(loadOne(a + i), constant ? c : loadOne(b + i)), loadOne(r + i)));
}

} // namespace

DSP_SSE2 void addProductKernelSse2(const float *a, const float *b, float *r, int32_t n)
{
    productSum(a, b, _mm_setzero_pd(), false, r, n);
}

DSP_SSE2 void addProductConstKernelSse2(const float *a, float c, float *r, int32_t n)
{
    productSum(a, nullptr, _mm_set1_pd(double(c)), true, r, n);
}

DSP_SSE2 void mulPackPairsSse2(const float *a, const float *b, float *out, int32_t pairs)
{
    for (int32_t k = 0; k < pairs; ++k)
    {
        // (ar, ai) times (br, bi): re = ar br - ai bi, im = ar bi + ai br, each in double.
        const __m128d x = loadPair(a + 2 * k), y = loadPair(b + 2 * k);
        const __m128d straight = _mm_mul_pd(x, _mm_unpacklo_pd(y, y));                      // ar br, ai br
        const __m128d crossed = _mm_mul_pd(_mm_shuffle_pd(x, x, 1), _mm_unpackhi_pd(y, y)); // ai bi, ar bi
        const __m128d re = _mm_sub_sd(straight, crossed);
        const __m128d im = _mm_add_pd(crossed, straight);
        storePair(out + 2 * k, _mm_unpacklo_pd(re, _mm_unpackhi_pd(im, im)));
    }
}

DSP_SSE2 void expKernelSse2(float *p, int32_t n)
{
    for (int32_t i = 0; i < n; i += 4)
        exp_lanes::expGroup(p, i, n - i < 4 ? n - i : 4, &exp_lanes::roundEven);
}

// ---- Sum and mean ------------------------------------------------------------------------------

// Eight partial sums that rotate by one place after every group of eight: the sum that took
// element j of a group takes element j + 1 of the next, the one that took element 7 takes element
// 0. Kept in fixed places u[m], the one in place m takes element (m + g) mod 8 in group g; after
// g groups partial sum s_k sits in place (k - g) mod 8.
DSP_SSE2 double sumEightWaySse2(const float *src, int32_t n)
{
    double u[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int32_t i = 0;
    uint32_t g = 0;
    // Eight groups a step, so each group's rotation is a constant and the eight chains run apart.
    for (; n - i >= 64; i += 64, g += 8)
    {
        float x[64];
        std::memcpy(x, src + i, sizeof x);
#pragma GCC unroll 8
        for (uint32_t r = 0; r < 8; ++r)
#pragma GCC unroll 8
            for (uint32_t m = 0; m < 8; ++m)
                u[m] += double(x[8 * r + ((m + r) & 7)]);
    }
    for (; n - i >= 8; i += 8, ++g)
    {
        float x[8];
        std::memcpy(x, src + i, sizeof x);
        for (uint32_t m = 0; m < 8; ++m)
            u[m] += double(x[(m + g) & 7]);
    }
    double s[8];
    for (uint32_t k = 0; k < 8; ++k)
        s[k] = u[(k - g) & 7];
    for (; i < n; ++i)
    {
        float x;
        std::memcpy(&x, src + i, 4);
        s[0] += double(x);
    }
    return ((s[4] + s[0]) + (s[6] + s[2])) + ((s[5] + s[1]) + (s[7] + s[3]));
}

// One block of up to 32768 elements in single-precision lanes: four lane vectors over runs of 16,
// combined as (V0 + V2) + (V1 + V3), then runs of 4, a pair and a single into lanes 0 (and 1);
// the two folded values are lane 0 + lane 2 and lane 1 + lane 3.
DSP_SSE2_INLINE void blockLanes(const float *p, int32_t n, float *first, float *second)
{
    __m128 v0 = _mm_setzero_ps(), v1 = v0, v2 = v0, v3 = v0;
    int32_t i = 0;
    for (; n - i >= 16; i += 16)
    {
        v0 = _mm_add_ps(v0, _mm_loadu_ps(p + i));
        v1 = _mm_add_ps(v1, _mm_loadu_ps(p + i + 4));
        v2 = _mm_add_ps(v2, _mm_loadu_ps(p + i + 8));
        v3 = _mm_add_ps(v3, _mm_loadu_ps(p + i + 12));
    }
    __m128 v = _mm_add_ps(_mm_add_ps(v0, v2), _mm_add_ps(v1, v3));
    for (; n - i >= 4; i += 4)
        v = _mm_add_ps(v, _mm_loadu_ps(p + i));
    if (n - i >= 2)
    {
        v = _mm_add_ps(v, _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + i))));
        i += 2;
    }
    if (n - i == 1)
    {
        int bits;
        std::memcpy(&bits, p + i, 4);
        v = _mm_add_ps(v, _mm_castsi128_ps(_mm_cvtsi32_si128(bits)));
    }
    const __m128 folded = _mm_add_ps(v, _mm_movehl_ps(v, v));
    _mm_store_ss(first, folded);
    _mm_store_ss(second, _mm_shuffle_ps(folded, folded, 0x55));
}

DSP_SSE2 double sumBlockwiseSse2(const float *src, int32_t n)
{
    double acc = 0.0;
    // A start 4, 8 or 12 bytes past a 16-byte boundary: the plain in-order sum.
    if (reinterpret_cast<uintptr_t>(src) & 12)
    {
        for (int32_t i = 0; i < n; ++i)
        {
            float x;
            std::memcpy(&x, src + i, 4);
            acc += double(x);
        }
        return acc;
    }
    int32_t i = 0;
    float f0, f1;
    for (; n - i >= 32768; i += 32768)
    {
        blockLanes(src + i, 32768, &f0, &f1);
        acc += double(f0);
        acc += double(f1);
    }
    blockLanes(src + i, n - i, &f0, &f1);
    acc += double(f0);
    acc += double(f1);
    return acc;
}

// ---- Natural logarithm ------------------------------------------------------------------------

// ln x = e ln2 + s (2 + z (C1 + z (C2 + z (C3 + z C4)))), s = (m - 1) / (m + 1), z = s^2, with
// x = 2^e m and m in [0.7071, 1.4142), all in single precision. A subnormal is normalised first
// through the integer conversion of its fraction (x = f 2^-149), which denormals-are-zero does
// not touch.
DSP_SSE2_INLINE void lnReduce(__m128i b, __m128 *m, __m128 *e)
{
    const __m128i isSub = _mm_cmplt_epi32(b, _mm_set1_epi32(0x00800000));
    const __m128i normalised = _mm_castps_si128(_mm_cvtepi32_ps(b));
    const __m128i bn = _mm_or_si128(_mm_and_si128(isSub, normalised), _mm_andnot_si128(isSub, b));
    __m128i ei = _mm_srai_epi32(
        _mm_sub_epi32(_mm_and_si128(bn, _mm_set1_epi32(int(0xFF800000u))), _mm_set1_epi32(0x3F000000)), 23);
    ei = _mm_add_epi32(ei, _mm_and_si128(isSub, _mm_set1_epi32(-149)));
    const __m128i f = _mm_and_si128(bn, _mm_set1_epi32(0x007FFFFF));
    const __m128i low = _mm_cmplt_epi32(f, _mm_set1_epi32(0x3504F2));
    ei = _mm_add_epi32(ei, low); // -1 where the fraction is below the split
    const __m128i exponent = _mm_or_si128(_mm_and_si128(low, _mm_set1_epi32(127 << 23)),
                                          _mm_andnot_si128(low, _mm_set1_epi32(126 << 23)));
    *m = _mm_castsi128_ps(_mm_or_si128(exponent, f));
    *e = _mm_cvtepi32_ps(ei);
}

DSP_SSE2_INLINE __m128 lnPolynomial(__m128 s, __m128 e)
{
    const __m128 z = _mm_mul_ps(s, s);
    __m128 p = _mm_mul_ps(z, _mm_castsi128_ps(_mm_set1_epi32(0x3E7353DA)));
    p = _mm_mul_ps(z, _mm_add_ps(_mm_castsi128_ps(_mm_set1_epi32(0x3E920CCA)), p));
    p = _mm_mul_ps(z, _mm_add_ps(_mm_castsi128_ps(_mm_set1_epi32(0x3ECCCD95)), p));
    p = _mm_mul_ps(z, _mm_add_ps(_mm_castsi128_ps(_mm_set1_epi32(0x3F2AAAAA)), p));
    p = _mm_mul_ps(s, _mm_add_ps(_mm_set1_ps(2.0f), p));
    return _mm_add_ps(_mm_mul_ps(e, _mm_castsi128_ps(_mm_set1_epi32(0x3F317218))), p);
}

// The lanes that hold no ordinary argument: +0, a set sign bit, +inf or NaN.
DSP_SSE2_INLINE int specialLanes(__m128i b)
{
    const __m128i notPositiveFinite =
        _mm_or_si128(_mm_cmplt_epi32(b, _mm_set1_epi32(1)), _mm_cmpgt_epi32(b, _mm_set1_epi32(0x7F7FFFFF)));
    return _mm_movemask_ps(_mm_castsi128_ps(notPositiveFinite));
}

// The special arguments' values, in index order; the first +0 or sign bit sets the flag (2, 4).
DSP_SSE2_INLINE void lnSpecials(float *p, int32_t first, int32_t count, int mask, int32_t *flag)
{
    for (int j = 0; j < count; ++j)
    {
        if (!(mask >> j & 1))
            continue;
        uint32_t b;
        std::memcpy(&b, p + first + j, 4);
        uint32_t out;
        if (b & 0x80000000u)
        {
            out = 0xFFC00000u;
            if (*flag == 0)
                *flag = 4;
        }
        else if (b == 0)
        {
            out = 0xFF800000u;
            if (*flag == 0)
                *flag = 2;
        }
        else if (b == 0x7F800000u)
            out = b;
        else
            out = (b & 0x7FC00000u) == 0x7FC00000u ? 0x7FC00000u : b | 0x00400000u;
        std::memcpy(p + first + j, &out, 4);
    }
}

DSP_SSE2_INLINE __m128i loadBits(const float *p, int32_t count)
{
    alignas(16) uint32_t lanes[4] = {0x3F800000u, 0x3F800000u, 0x3F800000u, 0x3F800000u};
    std::memcpy(lanes, p, size_t(count) * 4);
    return _mm_load_si128(reinterpret_cast<const __m128i *>(lanes));
}

DSP_SSE2_INLINE void storeLanes(float *p, int32_t count, __m128 v, int skip)
{
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, v);
    for (int j = 0; j < count; ++j)
        if (!(skip >> j & 1))
            std::memcpy(p + j, lanes + j, 4);
}

DSP_SSE2 int32_t lnKernelSse2(float *p, int32_t n)
{
    int32_t flag = 0;
    int32_t i = 0;
    // Two groups of four share one division: t = 1 / (A B), s0 = (m0 - 1) B t, s1 = (m1 - 1) A t.
    for (; n - i >= 8; i += 8)
    {
        const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i + 4));
        __m128 m0, e0, m1, e1;
        lnReduce(b0, &m0, &e0);
        lnReduce(b1, &m1, &e1);
        const __m128 one = _mm_set1_ps(1.0f);
        const __m128 a = _mm_add_ps(m0, one), bb = _mm_add_ps(m1, one);
        const __m128 t = _mm_div_ps(one, _mm_mul_ps(a, bb));
        const __m128 r0 = lnPolynomial(_mm_mul_ps(_mm_mul_ps(_mm_sub_ps(m0, one), bb), t), e0);
        const __m128 r1 = lnPolynomial(_mm_mul_ps(_mm_mul_ps(_mm_sub_ps(m1, one), a), t), e1);
        const int s0 = specialLanes(b0), s1 = specialLanes(b1);
        if ((s0 | s1) == 0)
        {
            _mm_storeu_ps(p + i, r0);
            _mm_storeu_ps(p + i + 4, r1);
            continue;
        }
        storeLanes(p + i, 4, r0, s0);
        storeLanes(p + i + 4, 4, r1, s1);
        lnSpecials(p, i, 4, s0, &flag);
        lnSpecials(p, i + 4, 4, s1, &flag);
    }
    // Then four at a time, and the last one to three, with a division per group.
    for (; i < n; i += 4)
    {
        const int32_t count = n - i < 4 ? n - i : 4;
        const __m128i b = loadBits(p + i, count);
        __m128 m, e;
        lnReduce(b, &m, &e);
        const __m128 one = _mm_set1_ps(1.0f);
        const __m128 r = lnPolynomial(_mm_div_ps(_mm_sub_ps(m, one), _mm_add_ps(m, one)), e);
        const int special = specialLanes(b);
        storeLanes(p + i, count, r, special);
        lnSpecials(p, i, count, special, &flag);
    }
    return flag;
}

} // namespace dsp::simd

#endif
