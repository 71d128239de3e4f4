// The permutations and block routines of the tuning-1 FFT, first SSE level only: the plain-table
// bit reversal by 4 x 4 tiles, strided gathers and scatters eight values (64 bytes) a step, and the
// in-place bit reversal by a swap list two values (16 bytes) at a time. Every load and store is
// unaligned-safe, so alignment changes only speed.
#include "dsp/fft/simd/fft_large_sse.h"

#if defined(__x86_64__) || defined(__i386__)

#include <xmmintrin.h>

#include "dsp/core/vector.h"
#include "dsp/fft/simd/fft_sse.h"

#define DSP_SSE __attribute__((target("sse")))
#define DSP_SSE_INLINE __attribute__((target("sse"), always_inline)) inline

namespace dsp::sse
{

Status fftBlockCopy(const void *src, void *dst, int32_t bytes)
{
    if (!src || !dst)
        return kErrNullPointer;
    if (bytes <= 0)
        return kErrBadLength;
    generic::copyBytes(src, dst, bytes);
    return kOk;
}

DSP_SSE void fftBlockGather(const float *src, float *dst, int64_t rowStride, int32_t rows, int32_t width)
{
    for (int32_t r = 0; r < rows; ++r, src += 2 * rowStride)
    {
        for (int64_t f = 0; f < 2 * int64_t(width); f += 16, dst += 16)
        {
            const __m128 a = _mm_loadu_ps(src + f), b = _mm_loadu_ps(src + f + 4);
            const __m128 c = _mm_loadu_ps(src + f + 8), d = _mm_loadu_ps(src + f + 12);
            _mm_store_ps(dst, a);
            _mm_store_ps(dst + 4, b);
            _mm_store_ps(dst + 8, c);
            _mm_store_ps(dst + 12, d);
        }
    }
}

DSP_SSE void fftBlockScatter(float *dst, const float *src, int64_t rowStride, int32_t rows, int32_t width,
                             int32_t mode)
{
    for (int32_t r = 0; r < rows; ++r, dst += 2 * rowStride)
    {
        for (int64_t f = 0; f < 2 * int64_t(width); f += 16, src += 16)
        {
            __m128 a = _mm_load_ps(src), b = _mm_load_ps(src + 4);
            __m128 c = _mm_load_ps(src + 8), d = _mm_load_ps(src + 12);
            if (mode == 1)
            {
                // r0..r3, i0..i3 -> r0 i0 r1 i1, r2 i2 r3 i3.
                const __m128 lo0 = _mm_unpacklo_ps(a, b), hi0 = _mm_unpackhi_ps(a, b);
                const __m128 lo1 = _mm_unpacklo_ps(c, d), hi1 = _mm_unpackhi_ps(c, d);
                a = lo0;
                b = hi0;
                c = lo1;
                d = hi1;
            }
            _mm_storeu_ps(dst + f, a);
            _mm_storeu_ps(dst + f + 4, b);
            _mm_storeu_ps(dst + f + 8, c);
            _mm_storeu_ps(dst + f + 12, d);
        }
    }
}

namespace
{

// Index i = h (count/2) + 2k + l with single bits h and l: the value at (h, k, l) goes to
// (l, rev(k), h). lo holds (0, k, 0), (0, k, 1), hi holds (1, k, 0), (1, k, 1); the values for
// middle bits rev(k) are (0, k, 0), (1, k, 0) and (0, k, 1), (1, k, 1).
DSP_SSE_INLINE void placeQuad(float *low, float *high, __m128 lo, __m128 hi)
{
    _mm_storeu_ps(low, _mm_movelh_ps(lo, hi));
    _mm_storeu_ps(high, _mm_movehl_ps(hi, lo));
}

} // namespace

DSP_SSE void fftBlockBitReverse(float *data, int32_t count, const int32_t *swapList)
{
    if (count < 4)
        return;
    // Float distance between (0, k, l) and (1, k, l).
    const int64_t half = count;
    int64_t e = 0;
    for (; swapList[e] > 0; e += 2)
    {
        float *p = data + swapList[e];
        float *q = data + swapList[e + 1];
        const __m128 pLo = _mm_loadu_ps(p), pHi = _mm_loadu_ps(p + half);
        const __m128 qLo = _mm_loadu_ps(q), qHi = _mm_loadu_ps(q + half);
        placeQuad(q, q + half, pLo, pHi);
        placeQuad(p, p + half, qLo, qHi);
    }
    // The fixed points: k = 0 first, then the list after the pairs' closing 0.
    for (int64_t at = 0;;)
    {
        float *p = data + at;
        placeQuad(p, p + half, _mm_loadu_ps(p), _mm_loadu_ps(p + half));
        const int32_t next = swapList[++e];
        if (next <= 0)
            break;
        at = next;
    }
}

namespace
{

// Four rows of four values: row r's values 0, 1 in lo[r], 2, 3 in hi[r].
struct Tile
{
    __m128 lo[4];
    __m128 hi[4];
};

DSP_SSE_INLINE void loadTile(const float *p, int64_t rowFloats, Tile &t)
{
    for (int r = 0; r < 4; ++r)
    {
        t.lo[r] = _mm_loadu_ps(p + r * rowFloats);
        t.hi[r] = _mm_loadu_ps(p + r * rowFloats + 4);
    }
}

DSP_SSE_INLINE void storeRow(float *p, __m128 lo, __m128 hi)
{
    _mm_storeu_ps(p, lo);
    _mm_storeu_ps(p + 4, hi);
}

// Row r, column c goes to row rev_2(c), column rev_2(r).
DSP_SSE_INLINE void storeReversedTile(float *p, int64_t rowFloats, const Tile &t)
{
    storeRow(p, _mm_movelh_ps(t.lo[0], t.lo[2]), _mm_movelh_ps(t.lo[1], t.lo[3]));
    storeRow(p + rowFloats, _mm_movelh_ps(t.hi[0], t.hi[2]), _mm_movelh_ps(t.hi[1], t.hi[3]));
    storeRow(p + 2 * rowFloats, _mm_movehl_ps(t.lo[2], t.lo[0]), _mm_movehl_ps(t.lo[3], t.lo[1]));
    storeRow(p + 3 * rowFloats, _mm_movehl_ps(t.hi[2], t.hi[0]), _mm_movehl_ps(t.hi[3], t.hi[1]));
}

} // namespace

// Index i = (row r: 2 high bits, tile t: m - 4 middle bits, column c: 2 low bits) goes to
// (rev_2(c), rev_(m-4)(t), rev_2(r)); entry t of the plain table (t < count/16) is the float offset
// 8 rev_(m-4)(t) of the reversed tile.
DSP_SSE void fftBitReverse(const float *src, float *dst, int32_t count, const int32_t *reverse)
{
    const int64_t rowFloats = int64_t(count) / 2;
    const int64_t tiles = count / 16;
    Tile a, b;
    if (src == dst)
    {
        for (int64_t t = 0; t < tiles; ++t)
        {
            const int64_t partner = reverse[t];
            if (partner < 8 * t)
                continue;
            loadTile(dst + 8 * t, rowFloats, a);
            loadTile(dst + partner, rowFloats, b);
            storeReversedTile(dst + partner, rowFloats, a);
            storeReversedTile(dst + 8 * t, rowFloats, b);
        }
        return;
    }
    // Up to 32768 values the source is walked in order, above it the destination.
    const bool walkSource = count <= 32768;
    for (int64_t t = 0; t < tiles; ++t)
    {
        const int64_t from = walkSource ? 8 * t : reverse[t];
        const int64_t to = walkSource ? reverse[t] : 8 * t;
        loadTile(src + from, rowFloats, a);
        storeReversedTile(dst + to, rowFloats, a);
    }
}

} // namespace dsp::sse

#endif
