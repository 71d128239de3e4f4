// Index 3 and up: the packed-spectrum product with SSE3's add-subtract of double lanes.
#include "dsp/core/simd/simd_kernels.h"

#if defined(__x86_64__) || defined(__i386__)

#include <pmmintrin.h>

#include "dsp/core/simd/double_lanes.h"

namespace dsp::simd
{

__attribute__((target("sse3"))) void mulPackPairsSse3(const float *a, const float *b, float *out,
                                                      int32_t pairs)
{
    for (int32_t k = 0; k < pairs; ++k)
    {
        // (ar br - ai bi, ai br + ar bi): one add-subtract of the straight and crossed products.
        const __m128d x = loadPair(a + 2 * k), y = loadPair(b + 2 * k);
        const __m128d straight = _mm_mul_pd(x, _mm_movedup_pd(y));
        const __m128d crossed = _mm_mul_pd(_mm_shuffle_pd(x, x, 1), _mm_unpackhi_pd(y, y));
        storePair(out + 2 * k, _mm_addsub_pd(straight, crossed));
    }
}

} // namespace dsp::simd

#endif
