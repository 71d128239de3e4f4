// Floats in and out of double lanes at any alignment, for the kernels of SSE2 and above (each
// helper is forced inline into a kernel of its own level or higher, never compiled on its own).
// Include only after <emmintrin.h>, from a kernel source built for x86.
#pragma once

#include <cstring>
#include <emmintrin.h>

#define DSP_SSE2_INLINE __attribute__((target("sse2"), always_inline)) inline

namespace dsp::simd
{

// Two floats at any alignment as two doubles, and back (one rounding each way back).
// The bits move through integer moves, never a scalar float register (on a 32-bit build that
// could be the x87 stack, which quiets signalling NaNs).
DSP_SSE2_INLINE __m128d loadPair(const float *p)
{
    return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p))));
}

DSP_SSE2_INLINE void storePair(float *p, __m128d v)
{
    _mm_storel_epi64(reinterpret_cast<__m128i *>(p), _mm_castps_si128(_mm_cvtpd_ps(v)));
}

DSP_SSE2_INLINE __m128d loadOne(const float *p)
{
    int bits;
    std::memcpy(&bits, p, 4);
    return _mm_cvtps_pd(_mm_castsi128_ps(_mm_cvtsi32_si128(bits)));
}

DSP_SSE2_INLINE void storeOne(float *p, __m128d v)
{
    const int bits = _mm_cvtsi128_si32(_mm_castps_si128(_mm_cvtpd_ps(v)));
    std::memcpy(p, &bits, 4);
}

} // namespace dsp::simd
