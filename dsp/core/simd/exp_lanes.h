// The exponential's groups of four in double lanes, shared by the kernels of SSE2 and above, which
// differ only in how they round k (each helper is forced inline into a kernel of its own level or
// higher). Include only from a kernel source built for x86.
#pragma once

#include <cstdint>
#include <cstring>
#include <emmintrin.h>

#include "dsp/core/simd/double_lanes.h"

namespace dsp::simd::exp_lanes
{

constexpr double kLog2e = 1.4426950408889634;
constexpr double kLn2 = 0.6931471805599453;
constexpr uint32_t kSignBit = 0x80000000u;

DSP_SSE2_INLINE uint32_t bitsAt(const float *p, int32_t i)
{
    uint32_t b;
    std::memcpy(&b, p + i, 4);
    return b;
}

// The elements decided by their bits alone: magnitude below the normal range 1.0; beyond the
// limits 0 or +inf (a quiet NaN there keeps a quiet NaN). Returns true with the bits set.
DSP_SSE2_INLINE bool expByClass(uint32_t b, uint32_t *out)
{
    if ((b & ~kSignBit) < 0x00800000u)
        *out = 0x3F800000u;
    else if ((b & kSignBit) && b >= 0xC2AEAC50u)
        *out = (b & 0x7FC00000u) == 0x7FC00000u ? 0xFFC00000u : 0;
    else if (!(b & kSignBit) && b >= 0x42B17218u)
        *out = (b & 0x7FC00000u) == 0x7FC00000u ? 0x7FC00000u : 0x7F800000u;
    else
        return false;
    return true;
}

// k rounded to nearest even as nearbyint does in the default mode: adding and taking away
// 1.5 * 2^52 leaves the integer part (|x log2 e| is far below 2^51).
DSP_SSE2_INLINE __m128d roundEven(__m128d x)
{
    const __m128d shifter = _mm_set1_pd(6755399441055744.0);
    return _mm_sub_pd(_mm_add_pd(x, shifter), shifter);
}

// 2^k for integral k in the float exponent range, as a double built from its bits.
DSP_SSE2_INLINE __m128d powerOfTwo(__m128d k)
{
    const __m128i e = _mm_add_epi32(_mm_cvtpd_epi32(k), _mm_set1_epi32(1023));
    return _mm_castsi128_pd(_mm_slli_epi64(_mm_unpacklo_epi32(e, _mm_setzero_si128()), 52));
}

// One group of up to four elements in the generic order of operations: per element
// num/den of the Pade (3,3) quotient of r = x - k ln 2; one shared reciprocal of
// ((d0 d1) d2) d3; each result (num * (product of the other denominators in index order)) * inv
// * 2^k, rounded to float. Lanes decided by class keep num = den = 1. roundK rounds x log2 e to
// an integer as nearbyint does: the level's kernel passes its own form.
DSP_SSE2_INLINE void expGroup(float *p, int32_t first, int32_t count, __m128d (*roundK)(__m128d))
{
    alignas(16) double x[4] = {0, 0, 0, 0};
    bool computed[4] = {false, false, false, false};
    for (int j = 0; j < count; ++j)
    {
        uint32_t out;
        const uint32_t b = bitsAt(p, first + j);
        if (expByClass(b, &out))
        {
            std::memcpy(p + first + j, &out, 4);
            continue;
        }
        float f;
        std::memcpy(&f, &b, 4);
        x[j] = double(f);
        computed[j] = true;
    }
    const __m128d one = _mm_set1_pd(1.0);
    __m128d num[2], den[2], k[2];
    for (int h = 0; h < 2; ++h)
    {
        const __m128d xv = _mm_load_pd(x + 2 * h);
        k[h] = roundK(_mm_mul_pd(xv, _mm_set1_pd(kLog2e)));
        const __m128d r = _mm_sub_pd(xv, _mm_mul_pd(k[h], _mm_set1_pd(kLn2)));
        const __m128d r2 = _mm_mul_pd(r, r), r3 = _mm_mul_pd(r2, r);
        const __m128d base = _mm_set1_pd(120.0), sixty = _mm_mul_pd(_mm_set1_pd(60.0), r),
                      twelve = _mm_mul_pd(_mm_set1_pd(12.0), r2);
        num[h] = _mm_add_pd(_mm_add_pd(_mm_add_pd(base, sixty), twelve), r3);
        den[h] = _mm_sub_pd(_mm_add_pd(_mm_sub_pd(base, sixty), twelve), r3);
        // Lanes without a computed element take 1 / 1.
        const __m128d used =
            _mm_castsi128_pd(_mm_set_epi64x(computed[2 * h + 1] ? -1 : 0, computed[2 * h] ? -1 : 0));
        num[h] = _mm_or_pd(_mm_and_pd(used, num[h]), _mm_andnot_pd(used, one));
        den[h] = _mm_or_pd(_mm_and_pd(used, den[h]), _mm_andnot_pd(used, one));
    }
    alignas(16) double d[4], nm[4], kk[4];
    _mm_store_pd(d, den[0]);
    _mm_store_pd(d + 2, den[1]);
    _mm_store_pd(nm, num[0]);
    _mm_store_pd(nm + 2, num[1]);
    const __m128d inv = _mm_div_sd(
        one, _mm_mul_sd(_mm_mul_sd(_mm_mul_sd(_mm_load_sd(d), _mm_load_sd(d + 1)), _mm_load_sd(d + 2)),
                        _mm_load_sd(d + 3)));
    // The other denominators of each lane, multiplied in index order from 1.
    alignas(16) double others[4];
    others[0] = 1.0;
    _mm_store_sd(others + 0, _mm_mul_sd(_mm_mul_sd(_mm_mul_sd(one, _mm_load_sd(d + 1)), _mm_load_sd(d + 2)),
                                        _mm_load_sd(d + 3)));
    _mm_store_sd(others + 1, _mm_mul_sd(_mm_mul_sd(_mm_mul_sd(one, _mm_load_sd(d)), _mm_load_sd(d + 2)),
                                        _mm_load_sd(d + 3)));
    _mm_store_sd(others + 2, _mm_mul_sd(_mm_mul_sd(_mm_mul_sd(one, _mm_load_sd(d)), _mm_load_sd(d + 1)),
                                        _mm_load_sd(d + 3)));
    _mm_store_sd(others + 3, _mm_mul_sd(_mm_mul_sd(_mm_mul_sd(one, _mm_load_sd(d)), _mm_load_sd(d + 1)),
                                        _mm_load_sd(d + 2)));
    _mm_store_pd(kk, k[0]);
    _mm_store_pd(kk + 2, k[1]);
    const __m128d invBoth = _mm_unpacklo_pd(inv, inv);
    alignas(16) float results[4];
    for (int h = 0; h < 2; ++h)
    {
        const __m128d q =
            _mm_mul_pd(_mm_mul_pd(_mm_load_pd(nm + 2 * h), _mm_load_pd(others + 2 * h)), invBoth);
        const __m128d scaled = _mm_mul_pd(q, powerOfTwo(_mm_load_pd(kk + 2 * h)));
        const __m128 f = _mm_cvtpd_ps(scaled);
        _mm_storel_pi(reinterpret_cast<__m64 *>(results + 2 * h), f);
    }
    for (int j = 0; j < count; ++j)
        if (computed[j])
            std::memcpy(p + first + j, results + j, 4);
}

} // namespace dsp::simd::exp_lanes
