// Index 4 and up: stereo interleaving by SSSE3's byte shuffle, which pairs or splits the words of
// one register in a single step.
#include "dsp/core/simd/simd_kernels.h"

#if defined(__x86_64__) || defined(__i386__)

#include <cstring>
#include <tmmintrin.h>

#define DSP_SSSE3 __attribute__((target("ssse3")))

namespace dsp::simd
{

DSP_SSSE3 void interleave2Ssse3(const uint32_t *left, const uint32_t *right, int32_t n, uint32_t *dst)
{
    // (l0 l1 r0 r1) -> (l0 r0 l1 r1)
    const __m128i pair = _mm_setr_epi8(0, 1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7, 12, 13, 14, 15);
    int32_t k = 0;
    for (; n - k >= 2; k += 2)
    {
        const __m128i l = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(left + k));
        const __m128i r = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(right + k));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 2 * int64_t(k)),
                         _mm_shuffle_epi8(_mm_unpacklo_epi64(l, r), pair));
    }
    if (k < n)
    {
        std::memcpy(dst + 2 * int64_t(k), left + k, 4);
        std::memcpy(dst + 2 * int64_t(k) + 1, right + k, 4);
    }
}

DSP_SSSE3 void deinterleave2Ssse3(const uint32_t *src, int32_t n, uint32_t *left, uint32_t *right)
{
    // (l0 r0 l1 r1) -> (l0 l1 r0 r1): the same permutation is its own inverse.
    const __m128i split = _mm_setr_epi8(0, 1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7, 12, 13, 14, 15);
    int32_t k = 0;
    for (; n - k >= 4; k += 4)
    {
        const __m128i a =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 2 * int64_t(k))), split);
        const __m128i b = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 2 * int64_t(k) + 4)), split);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(left + k), _mm_unpacklo_epi64(a, b));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(right + k), _mm_unpackhi_epi64(a, b));
    }
    for (; k < n; ++k)
    {
        std::memcpy(left + k, src + 2 * int64_t(k), 4);
        std::memcpy(right + k, src + 2 * int64_t(k) + 1, 4);
    }
}

} // namespace dsp::simd

#endif
