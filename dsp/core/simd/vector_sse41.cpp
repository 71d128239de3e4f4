// Index 5: the division with SSE4.1's variable blend choosing between quotient and replacement, and
// the exponential rounding k with roundpd.
#include "dsp/core/simd/simd_kernels.h"

#if defined(__x86_64__) || defined(__i386__)

#include <cstring>
#include <smmintrin.h>

#include "dsp/core/simd/exp_lanes.h"

#define DSP_SSE41 __attribute__((target("sse4.1")))
#define DSP_SSE41_INLINE __attribute__((target("sse4.1"), always_inline)) inline

namespace dsp::simd
{

namespace
{

DSP_SSE41_INLINE __m128 broadcastBits(uint32_t bits)
{
    return _mm_castsi128_ps(_mm_set1_epi32(int(bits)));
}

// Four quotients, or for a zero divisor +inf, -inf or the library's NaN by the dividend's sign;
// hit collects the zero-divisor lanes.
DSP_SSE41_INLINE __m128 divide(__m128 d, __m128 x, __m128 &hit)
{
    const __m128 zero = _mm_setzero_ps();
    const __m128 isZero = _mm_cmpeq_ps(d, zero);
    hit = _mm_or_ps(hit, isZero);
    __m128 repl =
        _mm_blendv_ps(broadcastBits(0xFFC00000u), broadcastBits(0xFF800000u), _mm_cmplt_ps(x, zero));
    repl = _mm_blendv_ps(repl, broadcastBits(0x7F800000u), _mm_cmpgt_ps(x, zero));
    return _mm_blendv_ps(_mm_div_ps(x, d), repl, isZero);
}

// k to an integer in the current rounding mode, as nearbyint does.
DSP_SSE41_INLINE __m128d roundCurrent(__m128d x)
{
    return _mm_round_pd(x, _MM_FROUND_CUR_DIRECTION);
}

} // namespace

DSP_SSE41 void expKernelSse41(float *p, int32_t n)
{
    for (int32_t i = 0; i < n; i += 4)
        exp_lanes::expGroup(p, i, n - i < 4 ? n - i : 4, &roundCurrent);
}

DSP_SSE41 int32_t divKernelSse41(const float *a, const float *b, float *r, int32_t n)
{
    __m128 hit = _mm_setzero_ps();
    int32_t i = 0;
    for (; n - i >= 4; i += 4)
        _mm_storeu_ps(r + i, divide(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i), hit));
    if (i < n)
    {
        // The last one to three through the same lanes; unused lanes divide 1 by 1.
        float d[4] = {1.0f, 1.0f, 1.0f, 1.0f}, x[4] = {1.0f, 1.0f, 1.0f, 1.0f}, q[4];
        std::memcpy(d, a + i, size_t(n - i) * 4);
        std::memcpy(x, b + i, size_t(n - i) * 4);
        _mm_storeu_ps(q, divide(_mm_loadu_ps(d), _mm_loadu_ps(x), hit));
        std::memcpy(r + i, q, size_t(n - i) * 4);
    }
    return _mm_movemask_ps(hit) != 0;
}

} // namespace dsp::simd

#endif
