// Index 1: kernels that use the first SSE level only (no integer or double vectors).
#include "dsp/core/simd/simd_kernels.h"

#if defined(__x86_64__) || defined(__i386__)

#include <cstring>
#include <xmmintrin.h>

#define DSP_SSE __attribute__((target("sse")))
#define DSP_SSE_INLINE __attribute__((target("sse"), always_inline)) inline
#define DSP_SSE_LAMBDA __attribute__((target("sse"), always_inline))

namespace dsp::simd
{

namespace
{

constexpr uint32_t kNegQuietNaN = 0xFFC00000u;

// One element into lane 0 (the others zero) and back, at any alignment. The value never passes
// through a scalar float register, which on a 32-bit build could be the x87 stack and quiet a
// signalling NaN.
DSP_SSE_INLINE __m128 loadLane(const void *p, int64_t i)
{
    float v;
    std::memcpy(&v, static_cast<const unsigned char *>(p) + i * 4, 4);
    return _mm_load_ss(&v);
}

DSP_SSE_INLINE void storeLane(void *p, int64_t i, __m128 x)
{
    float v;
    _mm_store_ss(&v, x);
    std::memcpy(static_cast<unsigned char *>(p) + i * 4, &v, 4);
}

DSP_SSE_INLINE __m128 broadcastBits(uint32_t bits)
{
    float f;
    std::memcpy(&f, &bits, 4);
    return _mm_set1_ps(f);
}

DSP_SSE_INLINE bool aligned16(const void *p)
{
    return (reinterpret_cast<uintptr_t>(p) & 15) == 0;
}

DSP_SSE_INLINE void storeAligned(float *p, __m128 v, bool stream)
{
    if (stream)
        _mm_stream_ps(p, v);
    else
        _mm_store_ps(p, v);
}

enum class Op
{
    Add,
    Sub,
    Mul
};

// The one place the three element operations differ. Sub is b - a: the first vector is
// subtracted from the second.
DSP_SSE_INLINE __m128 apply(Op op, __m128 a, __m128 b)
{
    switch (op)
    {
    case Op::Add:
        return _mm_add_ps(a, b);
    case Op::Sub:
        return _mm_sub_ps(b, a);
    default:
        return _mm_mul_ps(a, b);
    }
}

DSP_SSE_INLINE void applyScalar(Op op, const float *a, const float *b, float *r, int32_t i)
{
    storeLane(r, i, apply(op, loadLane(a, i), loadLane(b, i)));
}

// Short vectors (below 11) element by element; otherwise blocks of eight, with the stores aligned
// when the destination is 4-byte aligned (after up to three single elements) and unaligned when
// it is not; then the last 0 to 7 singly.
DSP_SSE_INLINE void binary(Op op, const float *a, const float *b, float *r, int32_t n, int32_t streamBlocks)
{
    int32_t i = 0;
    if (n >= 11)
    {
        if ((reinterpret_cast<uintptr_t>(r) & 3) == 0)
        {
            for (; !aligned16(r + i); ++i)
                applyScalar(op, a, b, r, i);
            int32_t blocks = (n - i) / 8;
            const bool stream = blocks > streamBlocks;
            for (; blocks > 0; --blocks, i += 8)
            {
                const __m128 r0 = apply(op, _mm_loadu_ps(a + i), _mm_loadu_ps(b + i));
                const __m128 r1 = apply(op, _mm_loadu_ps(a + i + 4), _mm_loadu_ps(b + i + 4));
                storeAligned(r + i, r0, stream);
                storeAligned(r + i + 4, r1, stream);
            }
            if (stream)
                _mm_sfence();
        }
        else
        {
            for (; n - i >= 8; i += 8)
            {
                const __m128 r0 = apply(op, _mm_loadu_ps(a + i), _mm_loadu_ps(b + i));
                const __m128 r1 = apply(op, _mm_loadu_ps(a + i + 4), _mm_loadu_ps(b + i + 4));
                _mm_storeu_ps(r + i, r0);
                _mm_storeu_ps(r + i + 4, r1);
            }
        }
    }
    for (; i < n; ++i)
        applyScalar(op, a, b, r, i);
}

// A lane-wise map over one vector: four at a time unaligned, the tail singly through the same
// vector operation so every element takes the one instruction sequence.
#define DSP_SSE_MAP(src, dst, n, expr)                                                                       \
    do                                                                                                       \
    {                                                                                                        \
        int32_t i_ = 0;                                                                                      \
        for (; (n)-i_ >= 4; i_ += 4)                                                                         \
        {                                                                                                    \
            const __m128 x = _mm_loadu_ps((src) + i_);                                                       \
            _mm_storeu_ps((dst) + i_, (expr));                                                               \
        }                                                                                                    \
        for (; i_ < (n); ++i_)                                                                               \
        {                                                                                                    \
            const __m128 x = loadLane((src), i_);                                                            \
            storeLane((dst), i_, (expr));                                                                    \
        }                                                                                                    \
    } while (0)

DSP_SSE_INLINE __m128 select(__m128 mask, __m128 yes, __m128 no)
{
    return _mm_or_ps(_mm_and_ps(mask, yes), _mm_andnot_ps(mask, no));
}

// Reduces four lanes with the lane operation; the order does not matter once the caller has
// ruled out NaNs and zero extremes.
DSP_SSE_INLINE __m128 reduceLanes(__m128 v, bool max)
{
    const __m128 hi = _mm_movehl_ps(v, v);
    v = max ? _mm_max_ps(v, hi) : _mm_min_ps(v, hi);
    const __m128 odd = _mm_shuffle_ps(v, v, 0x55);
    return max ? _mm_max_ss(v, odd) : _mm_min_ss(v, odd);
}

DSP_SSE_INLINE int32_t extremeLanes(const float *src, int32_t n, float *out, bool max)
{
    if (n < 8)
        return 0;
    __m128 acc0 = _mm_loadu_ps(src), acc1 = _mm_loadu_ps(src + 4);
    __m128 nan = _mm_or_ps(_mm_cmpunord_ps(acc0, acc0), _mm_cmpunord_ps(acc1, acc1));
    int32_t i = 8;
    for (; n - i >= 8; i += 8)
    {
        const __m128 x0 = _mm_loadu_ps(src + i), x1 = _mm_loadu_ps(src + i + 4);
        nan = _mm_or_ps(nan, _mm_or_ps(_mm_cmpunord_ps(x0, x0), _mm_cmpunord_ps(x1, x1)));
        acc0 = max ? _mm_max_ps(acc0, x0) : _mm_min_ps(acc0, x0);
        acc1 = max ? _mm_max_ps(acc1, x1) : _mm_min_ps(acc1, x1);
    }
    if (i < n) // the last eight, overlapping what was seen: harmless for an extreme
    {
        const __m128 x0 = _mm_loadu_ps(src + n - 8), x1 = _mm_loadu_ps(src + n - 4);
        nan = _mm_or_ps(nan, _mm_or_ps(_mm_cmpunord_ps(x0, x0), _mm_cmpunord_ps(x1, x1)));
        acc0 = max ? _mm_max_ps(acc0, x0) : _mm_min_ps(acc0, x0);
        acc1 = max ? _mm_max_ps(acc1, x1) : _mm_min_ps(acc1, x1);
    }
    if (_mm_movemask_ps(nan) != 0)
        return 0;
    const __m128 m = reduceLanes(max ? _mm_max_ps(acc0, acc1) : _mm_min_ps(acc0, acc1), max);
    if (_mm_comieq_ss(m, _mm_setzero_ps()))
        return 0;
    storeLane(out, 0, m);
    return 1;
}

// b[i] takes a[i] where a[i] compares strictly below (above) it; ties and NaNs keep b[i].
DSP_SSE_INLINE void everyInPlace(const float *a, float *b, int32_t n, bool max)
{
    int32_t i = 0;
    for (; n - i >= 4; i += 4)
    {
        const __m128 x = _mm_loadu_ps(a + i), y = _mm_loadu_ps(b + i);
        _mm_storeu_ps(b + i, select(max ? _mm_cmpgt_ps(x, y) : _mm_cmplt_ps(x, y), x, y));
    }
    for (; i < n; ++i)
    {
        const __m128 x = loadLane(a, i), y = loadLane(b, i);
        storeLane(b, i, select(max ? _mm_cmpgt_ss(x, y) : _mm_cmplt_ss(x, y), x, y));
    }
}

// Where the divisor equals zero: +inf for a positive dividend, -inf for a negative one, the
// library's NaN otherwise.
DSP_SSE_INLINE __m128 zeroDivisorValue(__m128 x)
{
    const __m128 zero = _mm_setzero_ps();
    const __m128 inf = broadcastBits(0x7F800000u);
    const __m128 negInf = broadcastBits(0xFF800000u);
    return select(_mm_cmpgt_ps(x, zero), inf,
                  select(_mm_cmplt_ps(x, zero), negInf, broadcastBits(kNegQuietNaN)));
}

} // namespace

DSP_SSE void addKernelSse(const float *a, const float *b, float *r, int32_t n, int32_t streamBlocks)
{
    binary(Op::Add, a, b, r, n, streamBlocks);
}

DSP_SSE void subKernelSse(const float *a, const float *b, float *r, int32_t n, int32_t streamBlocks)
{
    binary(Op::Sub, a, b, r, n, streamBlocks);
}

DSP_SSE void mulKernelSse(const float *a, const float *b, float *r, int32_t n, int32_t streamBlocks)
{
    binary(Op::Mul, a, b, r, n, streamBlocks);
}

DSP_SSE int32_t sqrtKernelSse(float *p, int32_t n)
{
    const __m128 zero = _mm_setzero_ps();
    const __m128 nan = broadcastBits(kNegQuietNaN);
    __m128 negative = zero;
    // Only positive lanes see sqrtps (its result on other lanes is discarded, and a NaN lane must
    // keep its exact bits, a signalling one included).
    DSP_SSE_MAP(p, p, n,
                (negative = _mm_or_ps(negative, _mm_cmplt_ps(x, zero)),
                 select(_mm_cmpgt_ps(x, zero), _mm_sqrt_ps(x), select(_mm_cmplt_ps(x, zero), nan, x))));
    return _mm_movemask_ps(negative) != 0;
}

DSP_SSE void absKernelSse(float *p, int32_t n)
{
    const __m128 magnitude = broadcastBits(0x7FFFFFFFu);
    DSP_SSE_MAP(p, p, n, _mm_and_ps(x, magnitude));
}

DSP_SSE void sqrKernelSse(const float *src, float *dst, int32_t n)
{
    DSP_SSE_MAP(src, dst, n, _mm_mul_ps(x, x));
}

DSP_SSE void reverseKernelSse(const void *src, void *dst, int32_t n)
{
    const float *s = static_cast<const float *>(src);
    float *d = static_cast<float *>(dst);
    int32_t i = 0;
    for (; n - i >= 4; i += 4)
    {
        const __m128 x = _mm_loadu_ps(s + (n - 4 - i));
        _mm_storeu_ps(d + i, _mm_shuffle_ps(x, x, 0x1B));
    }
    for (; i < n; ++i)
        std::memcpy(d + i, s + (n - 1 - i), 4);
}

DSP_SSE void minEveryKernelSse(const float *a, float *b, int32_t n)
{
    everyInPlace(a, b, n, false);
}

DSP_SSE void maxEveryKernelSse(const float *a, float *b, int32_t n)
{
    everyInPlace(a, b, n, true);
}

DSP_SSE int32_t maxLanesSse(const float *src, int32_t n, float *out)
{
    return extremeLanes(src, n, out, true);
}

DSP_SSE int32_t minLanesSse(const float *src, int32_t n, float *out)
{
    return extremeLanes(src, n, out, false);
}

DSP_SSE int32_t divKernelSse(const float *a, const float *b, float *r, int32_t n)
{
    const __m128 zero = _mm_setzero_ps();
    __m128 hit = zero;
    int32_t i = 0;
    for (; n - i >= 4; i += 4)
    {
        const __m128 d = _mm_loadu_ps(a + i), x = _mm_loadu_ps(b + i);
        const __m128 isZero = _mm_cmpeq_ps(d, zero);
        hit = _mm_or_ps(hit, isZero);
        _mm_storeu_ps(r + i, select(isZero, zeroDivisorValue(x), _mm_div_ps(x, d)));
    }
    for (; i < n; ++i)
    {
        const __m128 d = loadLane(a, i), x = loadLane(b, i);
        const __m128 isZero = _mm_cmpeq_ss(d, zero);
        hit = _mm_or_ps(hit, isZero);
        storeLane(r, i, select(isZero, zeroDivisorValue(x), _mm_div_ss(x, d)));
    }
    return _mm_movemask_ps(hit) != 0;
}

DSP_SSE void upsampleKernelSse(const float *src, int32_t n, float *dst, int32_t factor, int32_t phase)
{
    fillKernelSse(0, dst, int32_t(int64_t(n) * factor), 0);
    if (factor == 2)
    {
        // Two samples a step as (x0, 0, x1, 0) from the phase on; the fourth word is a zero
        // position, so the store may reach it while it is inside the output.
        int32_t i = 0;
        float *out = dst + phase;
        for (; n - i >= 3 || (phase == 0 && n - i >= 2); i += 2)
            _mm_storeu_ps(out + 2 * int64_t(i), _mm_movelh_ps(loadLane(src, i), loadLane(src, i + 1)));
        for (; i < n; ++i)
            std::memcpy(out + 2 * int64_t(i), src + i, 4);
        return;
    }
    for (int32_t i = 0; i < n; ++i)
        std::memcpy(dst + int64_t(i) * factor + phase, src + i, 4);
}

DSP_SSE int32_t downsampleKernelSse(const float *src, int32_t n, float *dst, int32_t factor, int32_t phase)
{
    int64_t index = phase;
    int32_t count = 0;
    if (factor == 2)
    {
        // Four kept samples from each eight: the even lanes of two vectors.
        for (; index + 8 <= n; index += 8, count += 4)
        {
            const __m128 lo = _mm_loadu_ps(src + index), hi = _mm_loadu_ps(src + index + 4);
            _mm_storeu_ps(dst + count, _mm_shuffle_ps(lo, hi, 0x88));
        }
    }
    for (; index < n; index += factor)
        std::memcpy(dst + count++, src + index, 4);
    return count;
}

// ---- Fills and copies ----------------------------------------------------------------------

// The value as it lies in memory from a given byte onward: a destination that is not 4-byte
// aligned reaches its first 16-byte boundary part-way through a word.
DSP_SSE_INLINE uint32_t rotatedFrom(uint32_t value, uintptr_t byteOffset)
{
    const unsigned shift = unsigned(byteOffset & 3) * 8;
    return shift ? (value >> shift) | (value << (32 - shift)) : value;
}

DSP_SSE_INLINE void fillBytes(unsigned char *p, size_t bytes, uint32_t value, uintptr_t startOffset)
{
    for (size_t k = 0; k < bytes; ++k)
        p[k] = static_cast<unsigned char>(value >> (8 * ((startOffset + k) & 3)));
}

// How the body of a fill is stored: 16-byte vectors (slots 2-5) or 8-byte halves (slot 1), to the
// cache or around it.
enum class FillStores
{
    Vector,
    VectorStream,
    Half,
    HalfStream
};

// Blocks of eight 8-byte halves, then the rest singly.
template <typename Store> DSP_SSE_INLINE void storeHalves(float *body, size_t vectors, Store store)
{
    __m64 *q = reinterpret_cast<__m64 *>(body);
    for (; vectors >= 4; vectors -= 4, q += 8)
    {
#pragma GCC unroll 8
        for (int k = 0; k < 8; ++k)
            store(q + k);
    }
    for (size_t h = 2 * vectors; h > 0; --h, ++q)
        store(q);
}

// Every byte of the count words, whatever the alignment: the first and last 16 bytes with
// unaligned stores of the value as it lies there, the middle from the first 16-byte boundary in
// stores of the pattern rotated to that boundary (the stores may overlap; they write the same
// bytes). For a destination 2 bytes past a word boundary the rotation exchanges the value's 16-bit
// halves; odd addresses rotate by one or three bytes the same way.
DSP_SSE_INLINE void fillWords(uint32_t value, void *dst, int32_t count, FillStores stores)
{
    unsigned char *p = static_cast<unsigned char *>(dst);
    const size_t bytes = size_t(count) * 4;
    if (bytes < 16)
    {
        fillBytes(p, bytes, value, 0);
        return;
    }
    const __m128 plain = broadcastBits(value);
    const size_t head = (16 - (reinterpret_cast<uintptr_t>(p) & 15)) & 15;
    const uint32_t rotated = rotatedFrom(value, head);
    const __m128 v = broadcastBits(rotated);
    float *body = reinterpret_cast<float *>(p + head);
    size_t vectors = (bytes - head) / 16;
    _mm_storeu_ps(reinterpret_cast<float *>(p), plain);
    switch (stores)
    {
    case FillStores::Vector:
    case FillStores::VectorStream:
    {
        const bool stream = stores == FillStores::VectorStream;
        for (; vectors >= 4; vectors -= 4, body += 16)
        {
            storeAligned(body, v, stream);
            storeAligned(body + 4, v, stream);
            storeAligned(body + 8, v, stream);
            storeAligned(body + 12, v, stream);
        }
        for (; vectors > 0; --vectors, body += 4)
            storeAligned(body, v, stream);
        if (stream)
            _mm_sfence();
        break;
    }
    case FillStores::Half:
        storeHalves(body, vectors, [v](__m64 *q) DSP_SSE_LAMBDA { _mm_storel_pi(q, v); });
        break;
    case FillStores::HalfStream:
    {
        // The first level's only non-temporal 8-byte store goes through an MMX register, which
        // shares the x87 stack: only this path touches it, and it empties the MMX state before
        // returning, or the caller's next x87 operation (a float return on 32 bits) would be NaN.
        const __m64 m = _mm_set1_pi32(int32_t(rotated));
        storeHalves(body, vectors, [m](__m64 *q) DSP_SSE_LAMBDA { _mm_stream_pi(q, m); });
        _mm_empty();
        _mm_sfence();
        break;
    }
    }
    _mm_storeu_ps(reinterpret_cast<float *>(p + bytes - 16), plain);
}

DSP_SSE void fillKernelSse(uint32_t value, void *dst, int32_t count, int32_t stream)
{
    fillWords(value, dst, count, stream ? FillStores::VectorStream : FillStores::Vector);
}

DSP_SSE void fillHalvesKernelSse(uint32_t value, void *dst, int32_t count, int32_t stream)
{
    fillWords(value, dst, count, stream ? FillStores::HalfStream : FillStores::Half);
}

// ---- Copies ----------------------------------------------------------------------------------

DSP_SSE_INLINE void copyVector(const unsigned char *s, unsigned char *d, size_t at)
{
    _mm_storeu_ps(reinterpret_cast<float *>(d + at), _mm_loadu_ps(reinterpret_cast<const float *>(s + at)));
}

// Any alignment, bytes >= 16: unaligned 16-byte moves four a step, the last 16 bytes overlapping
// what came before when bytes is not a multiple of 16.
DSP_SSE_INLINE void copyUnaligned(const unsigned char *s, unsigned char *d, size_t bytes)
{
    size_t at = 0;
    for (; bytes - at >= 64; at += 64)
    {
        const __m128 a = _mm_loadu_ps(reinterpret_cast<const float *>(s + at));
        const __m128 b = _mm_loadu_ps(reinterpret_cast<const float *>(s + at + 16));
        const __m128 c = _mm_loadu_ps(reinterpret_cast<const float *>(s + at + 32));
        const __m128 e = _mm_loadu_ps(reinterpret_cast<const float *>(s + at + 48));
        _mm_storeu_ps(reinterpret_cast<float *>(d + at), a);
        _mm_storeu_ps(reinterpret_cast<float *>(d + at + 16), b);
        _mm_storeu_ps(reinterpret_cast<float *>(d + at + 32), c);
        _mm_storeu_ps(reinterpret_cast<float *>(d + at + 48), e);
    }
    for (; bytes - at >= 16; at += 16)
        copyVector(s, d, at);
    if (at < bytes)
        copyVector(s, d, bytes - 16);
}

// bytes >= 16: the first 16 bytes unaligned, then aligned stores from the destination's first
// 16-byte boundary (aligned loads too when the source shares its alignment), the last 16 bytes
// unaligned again.
DSP_SSE_INLINE void copyToAligned(const unsigned char *s, unsigned char *d, size_t bytes)
{
    const size_t head = (16 - (reinterpret_cast<uintptr_t>(d) & 15)) & 15;
    copyVector(s, d, 0);
    const unsigned char *sp = s + head;
    float *dp = reinterpret_cast<float *>(d + head);
    size_t vectors = (bytes - head) / 16;
    if ((reinterpret_cast<uintptr_t>(sp) & 15) == 0)
    {
        const float *sf = reinterpret_cast<const float *>(sp);
        for (; vectors >= 4; vectors -= 4, sf += 16, dp += 16)
        {
            const __m128 a = _mm_load_ps(sf), b = _mm_load_ps(sf + 4);
            const __m128 c = _mm_load_ps(sf + 8), e = _mm_load_ps(sf + 12);
            _mm_store_ps(dp, a);
            _mm_store_ps(dp + 4, b);
            _mm_store_ps(dp + 8, c);
            _mm_store_ps(dp + 12, e);
        }
        for (; vectors > 0; --vectors, sf += 4, dp += 4)
            _mm_store_ps(dp, _mm_load_ps(sf));
    }
    else
    {
        for (; vectors >= 4; vectors -= 4, sp += 64, dp += 16)
        {
            const __m128 a = _mm_loadu_ps(reinterpret_cast<const float *>(sp));
            const __m128 b = _mm_loadu_ps(reinterpret_cast<const float *>(sp + 16));
            const __m128 c = _mm_loadu_ps(reinterpret_cast<const float *>(sp + 32));
            const __m128 e = _mm_loadu_ps(reinterpret_cast<const float *>(sp + 48));
            _mm_store_ps(dp, a);
            _mm_store_ps(dp + 4, b);
            _mm_store_ps(dp + 8, c);
            _mm_store_ps(dp + 12, e);
        }
        for (; vectors > 0; --vectors, sp += 16, dp += 4)
            _mm_store_ps(dp, _mm_loadu_ps(reinterpret_cast<const float *>(sp)));
    }
    copyVector(s, d, bytes - 16);
}

// Reads one byte through a volatile access, so that the read is made although its value is unused.
DSP_SSE_INLINE void touch(const unsigned char *p)
{
    (void)*static_cast<const volatile unsigned char *>(p);
}

// Prefetches [p, p + bytes) in 32-byte steps; returns the address after the last step.
DSP_SSE_INLINE const unsigned char *prefetchSteps(const unsigned char *p, size_t bytes)
{
    const unsigned char *end = p + bytes;
    for (; p < end; p += 32)
        _mm_prefetch(reinterpret_cast<const char *>(p), _MM_HINT_NTA);
    return p;
}

// Copies of 4096 words and more go in pieces of this many bytes, each pre-touched first.
constexpr size_t kPretouchPiece = 16384;

DSP_SSE const void *pretouchSse(const void *start, int64_t bytes)
{
    const unsigned char *p = static_cast<const unsigned char *>(start);
    if (bytes <= 0)
        return p;
    size_t left = size_t(bytes);
    for (; left > 4096; left -= 4096)
    {
        touch(p);
        touch(p + 4095);
        p = prefetchSteps(p, 4096);
    }
    touch(p);
    touch(p + left - 1);
    return prefetchSteps(p, left);
}

// Slots 2-5 store to the destination's 16-byte boundaries at every length. Slot 1 picks one of
// three routines by length: below 2048 words unaligned moves, up to 4095 the aligned stores, from
// 4096 on those in pieces whose source is pre-touched first.
DSP_SSE_INLINE void copyWords(const float *src, float *dst, int32_t count, bool threeSizes)
{
    const unsigned char *s = reinterpret_cast<const unsigned char *>(src);
    unsigned char *d = reinterpret_cast<unsigned char *>(dst);
    const size_t bytes = size_t(count) * 4;
    if (bytes < 16)
    {
        std::memcpy(d, s, bytes);
        return;
    }
    if (!threeSizes || (count >= 2048 && count < 4096))
    {
        copyToAligned(s, d, bytes);
        return;
    }
    if (count < 2048)
    {
        copyUnaligned(s, d, bytes);
        return;
    }
    for (size_t at = 0; at < bytes; at += kPretouchPiece)
    {
        const size_t piece = bytes - at < 2 * kPretouchPiece ? bytes - at : kPretouchPiece;
        pretouchSse(s + at, int64_t(piece));
        copyToAligned(s + at, d + at, piece);
        if (piece != kPretouchPiece)
            break;
    }
}

DSP_SSE void copyKernelSse(const float *src, float *dst, int32_t count)
{
    copyWords(src, dst, count, false);
}

DSP_SSE void copyThreeSizesSse(const float *src, float *dst, int32_t count)
{
    copyWords(src, dst, count, true);
}

// ---- Stereo interleaving (word moves through vector registers, bits untouched) ------------------

DSP_SSE void interleave2Sse(const uint32_t *left, const uint32_t *right, int32_t n, uint32_t *dst)
{
    const float *l = reinterpret_cast<const float *>(left), *r = reinterpret_cast<const float *>(right);
    float *d = reinterpret_cast<float *>(dst);
    int32_t k = 0;
    for (; n - k >= 4; k += 4)
    {
        const __m128 a = _mm_loadu_ps(l + k), b = _mm_loadu_ps(r + k);
        _mm_storeu_ps(d + 2 * k, _mm_unpacklo_ps(a, b));
        _mm_storeu_ps(d + 2 * k + 4, _mm_unpackhi_ps(a, b));
    }
    for (; k < n; ++k)
    {
        std::memcpy(dst + 2 * int64_t(k), left + k, 4);
        std::memcpy(dst + 2 * int64_t(k) + 1, right + k, 4);
    }
}

DSP_SSE void deinterleave2Sse(const uint32_t *src, int32_t n, uint32_t *left, uint32_t *right)
{
    const float *s = reinterpret_cast<const float *>(src);
    int32_t k = 0;
    for (; n - k >= 4; k += 4)
    {
        const __m128 a = _mm_loadu_ps(s + 2 * k), b = _mm_loadu_ps(s + 2 * k + 4);
        _mm_storeu_ps(reinterpret_cast<float *>(left + k), _mm_shuffle_ps(a, b, 0x88));
        _mm_storeu_ps(reinterpret_cast<float *>(right + k), _mm_shuffle_ps(a, b, 0xDD));
    }
    for (; k < n; ++k)
    {
        std::memcpy(left + k, src + 2 * int64_t(k), 4);
        std::memcpy(right + k, src + 2 * int64_t(k) + 1, 4);
    }
}

} // namespace dsp::simd

#endif
