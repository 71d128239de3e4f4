#include "dsp/core/vector.h"

#include "dsp/core/checks.h"
#include "dsp/core/words.h"

#include <bit>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

namespace dsp::generic
{

using detail::checkArgs;
using detail::checkRate;
using detail::ld;
using detail::moveWord;
using detail::st;

namespace
{

constexpr uint32_t kSignBit = 0x80000000u;
constexpr uint32_t kNegQuietNaN = 0xFFC00000u; // the library's own NaN
constexpr uint32_t kPosQuietNaN = 0x7FC00000u; // a positive quiet NaN passed through
constexpr float kInf = std::numeric_limits<float>::infinity();

uint32_t bitsOf(float x)
{
    return std::bit_cast<uint32_t>(x);
}

float fromBits(uint32_t b)
{
    return std::bit_cast<float>(b);
}

// Exponent all ones and the quiet bit set (bits 22-30), either sign.
bool isQuietNaN(uint32_t b)
{
    return (b & 0x7FC00000u) == 0x7FC00000u;
}

template <class Op> void mapUnary(const float *src, float *dst, int32_t len, Op op)
{
    for (int32_t i = 0; i < len; ++i)
        st(dst, i, op(ld(src, i)));
}

// Each element's inputs are read before its output is written, so dst may be a or b.
template <class Op> void mapBinary(const float *a, const float *b, float *dst, int32_t len, Op op)
{
    for (int32_t i = 0; i < len; ++i)
        st(dst, i, op(ld(a, i), ld(b, i)));
}

// A move rather than a forward copy: a partial overlap would otherwise smear the data. The same
// place is left untouched.
void moveBytes(const void *src, void *dst, size_t bytes)
{
    if (src != dst)
        std::memmove(dst, src, bytes);
}

template <class Op> Status checkedUnary(const float *src, float *dst, int32_t len, Op op)
{
    if (Status s = checkArgs(len, src, dst))
        return s;
    mapUnary(src, dst, len, op);
    return kOk;
}

template <class Op> Status checkedBinary(const float *a, const float *b, float *dst, int32_t len, Op op)
{
    if (Status s = checkArgs(len, a, b, dst))
        return s;
    mapBinary(a, b, dst, len, op);
    return kOk;
}

// The first element, replaced by each later one that `better` prefers strictly; NaN never wins.
template <class Better> Status extreme(const float *src, int32_t len, float *out, Better better)
{
    if (Status s = checkArgs(len, src, out))
        return s;
    float m = ld(src, 0);
    for (int32_t i = 1; i < len; ++i)
    {
        const float x = ld(src, i);
        if (better(x, m))
            m = x;
    }
    st(out, 0, m);
    return kOk;
}

bool overlaps(const void *a, const void *b, size_t bytes)
{
    const uintptr_t x = reinterpret_cast<uintptr_t>(a);
    const uintptr_t y = reinterpret_cast<uintptr_t>(b);
    return x < y + bytes && y < x + bytes;
}

void reverseInPlace(void *buf, int32_t len)
{
    for (int64_t i = 0, j = int64_t(len) - 1; i < j; ++i, --j)
    {
        uint32_t lo, hi;
        unsigned char *p = static_cast<unsigned char *>(buf);
        std::memcpy(&lo, p + i * 4, 4);
        std::memcpy(&hi, p + j * 4, 4);
        std::memcpy(p + i * 4, &hi, 4);
        std::memcpy(p + j * 4, &lo, 4);
    }
}

// sumF32's two accumulators: per group of four, elements 1 and 3 into s1, 0 and 2 into s0; then
// s1 += s0 and the tail into s1.
double pairedSum(const float *src, int32_t len)
{
    double s0 = 0.0, s1 = 0.0;
    int32_t i = 0;
    for (; len - i >= 4; i += 4)
    {
        s1 = (s1 + ld(src, i + 1)) + ld(src, i + 3);
        s0 = (s0 + ld(src, i)) + ld(src, i + 2);
    }
    s1 += s0;
    for (; i < len; ++i)
        s1 += ld(src, i);
    return s1;
}

// ---- Exponential, four or more elements --------------------------------------------------
constexpr uint32_t kExpOverflowBits = 0x42B17218u;  // 88.72284: e^x is beyond the float range
constexpr uint32_t kExpUnderflowBits = 0xC2AEAC50u; // -87.33655: e^x is below the normal range
constexpr double kLog2e = 1.4426950408889634;
constexpr double kLn2 = 0.6931471805599453;

// The bit classes that bypass the computation; true with *out set for such an element.
bool expByClass(uint32_t b, float *out)
{
    if ((b & ~kSignBit) < 0x00800000u)
    {
        *out = 1.0f;
        return true;
    }
    if (b & kSignBit)
    {
        if (b >= kExpUnderflowBits)
        {
            *out = isQuietNaN(b) ? fromBits(kNegQuietNaN) : 0.0f;
            return true;
        }
    }
    else if (b >= kExpOverflowBits)
    {
        *out = isQuietNaN(b) ? fromBits(kPosQuietNaN) : kInf;
        return true;
    }
    return false;
}

// One group of up to four consecutive elements. Each computed element is e^r * 2^k with
// r = x - k ln 2 and e^r = (120 + 60r + 12r^2 + r^3) / (120 - 60r + 12r^2 - r^3); the group
// shares one division, the reciprocal of the product of its denominators (1 for an element
// decided by its class), multiplied by each numerator and the other denominators.
void expGroup(float *buf, int32_t first, int32_t count)
{
    double num[4] = {1.0, 1.0, 1.0, 1.0};
    double den[4] = {1.0, 1.0, 1.0, 1.0};
    int k[4] = {0, 0, 0, 0};
    bool computed[4] = {false, false, false, false};
    for (int j = 0; j < count; ++j)
    {
        const float x = ld(buf, first + j);
        float special;
        if (expByClass(bitsOf(x), &special))
        {
            st(buf, first + j, special);
            continue;
        }
        const double kd = std::nearbyint(double(x) * kLog2e);
        const double r = double(x) - kd * kLn2;
        const double r2 = r * r;
        const double r3 = r2 * r;
        num[j] = 120.0 + 60.0 * r + 12.0 * r2 + r3;
        den[j] = 120.0 - 60.0 * r + 12.0 * r2 - r3;
        k[j] = int(kd);
        computed[j] = true;
    }
    const double inv = 1.0 / (((den[0] * den[1]) * den[2]) * den[3]);
    for (int j = 0; j < count; ++j)
    {
        if (!computed[j])
            continue;
        double others = 1.0;
        for (int m = 0; m < 4; ++m)
            if (m != j)
                others *= den[m];
        st(buf, first + j, float(std::ldexp((num[j] * others) * inv, k[j])));
    }
}

} // namespace

// ---- Copy, fill, zero ---------------------------------------------------------------------

Status zeroF32(float *dst, int32_t len)
{
    if (Status s = checkArgs(len, dst))
        return s;
    std::memset(dst, 0, size_t(len) * 4);
    return kOk;
}

void *copyBytes(const void *src, void *dst, int32_t count)
{
    if (count > 0)
        moveBytes(src, dst, size_t(count));
    return dst;
}

Status copyF32(const float *src, float *dst, int32_t len)
{
    if (Status s = checkArgs(len, src, dst))
        return s;
    moveBytes(src, dst, size_t(len) * 4);
    return kOk;
}

Status copyF32Bytewise(const float *src, float *dst, int32_t len)
{
    return copyF32(src, dst, len);
}

void fillWords32(uint32_t value, void *dst, int32_t count)
{
    for (int32_t i = 0; i < count; ++i)
        std::memcpy(static_cast<unsigned char *>(dst) + int64_t(i) * 4, &value, 4);
}

Status setF32(uint32_t value, void *dst, int32_t len)
{
    if (Status s = checkArgs(len, dst))
        return s;
    fillWords32(value, dst, len);
    return kOk;
}

Status reverseCopy32(const void *src, void *dst, int32_t len)
{
    if (Status s = checkArgs(len, src, dst))
        return s;
    const size_t bytes = size_t(len) * 4;
    if (src == dst)
    {
        reverseInPlace(dst, len);
    }
    else if (overlaps(src, dst, bytes))
    {
        moveBytes(src, dst, bytes);
        reverseInPlace(dst, len);
    }
    else
    {
        for (int32_t i = 0; i < len; ++i)
            moveWord(src, i, dst, int64_t(len) - 1 - i);
    }
    return kOk;
}

// ---- Constant operations ------------------------------------------------------------------

Status addConstInPlaceF32(float c, float *srcDst, int32_t len)
{
    if (Status s = checkArgs(len, srcDst))
        return s;
    if (c == 0.0f)
        return kOk;
    mapUnary(srcDst, srcDst, len, [c](float x) { return x + c; });
    return kOk;
}

// In place is the out-of-place form over one vector: c == 1 then copies onto itself, which
// writes nothing.
Status mulConstInPlaceF32(float c, float *srcDst, int32_t len)
{
    return mulConstF32(srcDst, c, srcDst, len);
}

Status mulConstF32(const float *src, float c, float *dst, int32_t len)
{
    if (Status s = checkArgs(len, src, dst))
        return s;
    if (c == 1.0f)
        return copyF32(src, dst, len);
    if (c == 0.0f)
        return zeroF32(dst, len);
    mapUnary(src, dst, len, [c](float x) { return x * c; });
    return kOk;
}

Status divConstInPlaceF32(float c, float *srcDst, int32_t len)
{
    if (Status s = checkArgs(len, srcDst))
        return s;
    if (c == 0.0f)
        return kErrDivByZero;
    const float r = 1.0f / c;
    return mulConstF32(srcDst, r, srcDst, len);
}

// ---- Element-wise on two vectors --------------------------------------------------------

Status addInPlaceF32(const float *src, float *srcDst, int32_t len)
{
    return checkedBinary(srcDst, src, srcDst, len, [](float x, float y) { return x + y; });
}

Status mulInPlaceF32(const float *a, float *b, int32_t len)
{
    return checkedBinary(a, b, b, len, [](float x, float y) { return x * y; });
}

Status addF32(const float *a, const float *b, float *r, int32_t len)
{
    return checkedBinary(a, b, r, len, [](float x, float y) { return x + y; });
}

Status subF32(const float *a, const float *b, float *r, int32_t len)
{
    return checkedBinary(a, b, r, len, [](float x, float y) { return y - x; });
}

Status mulF32(const float *a, const float *b, float *r, int32_t len)
{
    return checkedBinary(a, b, r, len, [](float x, float y) { return x * y; });
}

Status addProductF32(const float *a, const float *b, float *r, int32_t len)
{
    if (Status s = checkArgs(len, a, b, r))
        return s;
    for (int32_t i = 0; i < len; ++i)
        st(r, i, float(double(ld(a, i)) * double(ld(b, i)) + double(ld(r, i))));
    return kOk;
}

Status addProductConstF32(const float *a, float c, float *r, int32_t len)
{
    if (Status s = checkArgs(len, a, r))
        return s;
    for (int32_t i = 0; i < len; ++i)
        st(r, i, float(double(ld(a, i)) * double(c) + double(ld(r, i))));
    return kOk;
}

Status divF32(const float *a, const float *b, float *r, int32_t len)
{
    if (Status s = checkArgs(len, a, b, r))
        return s;
    Status status = kOk;
    for (int32_t i = 0; i < len; ++i)
    {
        const float d = ld(a, i);
        const float x = ld(b, i);
        if (d == 0.0f)
        {
            st(r, i, x > 0.0f ? kInf : x < 0.0f ? -kInf : fromBits(kNegQuietNaN));
            status = kWarnDivByZero;
        }
        else
        {
            st(r, i, x / d);
        }
    }
    return status;
}

// b[i] takes a[i] where takeA(a[i], b[i]); ties and NaNs keep b[i]. A selection, not arithmetic: the
// chosen word is copied as it stands. Written as a conditional move of bits so that no compiler
// turns it into a min/max instruction, which under denormals-are-zero would return a flushed zero
// where the comparison chose a denormal; the SIMD forms select bits the same way.
namespace
{
template <class TakeA> Status selectEvery(const float *a, float *b, int32_t len, TakeA takeA)
{
    if (Status s = checkArgs(len, a, b))
        return s;
    for (int32_t i = 0; i < len; ++i)
        if (takeA(ld(a, i), ld(b, i)))
            moveWord(a, i, b, i);
    return kOk;
}
} // namespace

Status minEveryInPlaceF32(const float *a, float *b, int32_t len)
{
    return selectEvery(a, b, len, [](float x, float y) { return x < y; });
}

Status maxEveryInPlaceF32(const float *a, float *b, int32_t len)
{
    return selectEvery(a, b, len, [](float x, float y) { return x > y; });
}

// ---- Element-wise on one vector ---------------------------------------------------------

Status absInPlaceF32(float *buf, int32_t len)
{
    return checkedUnary(buf, buf, len, [](float x) { return fromBits(bitsOf(x) & ~kSignBit); });
}

Status sqrF32(const float *src, float *dst, int32_t len)
{
    return checkedUnary(src, dst, len, [](float x) { return x * x; });
}

Status sqrtInPlaceF32(float *buf, int32_t len)
{
    if (Status s = checkArgs(len, buf))
        return s;
    Status status = kOk;
    for (int32_t i = 0; i < len; ++i)
    {
        const float x = ld(buf, i);
        if (x > 0.0f)
        {
            st(buf, i, std::sqrt(x));
        }
        else if (x < 0.0f)
        {
            st(buf, i, fromBits(kNegQuietNaN));
            status = kWarnSqrtNegative;
        }
    }
    return status;
}

Status expInPlaceF32(float *buf, int32_t len)
{
    if (Status s = checkArgs(len, buf))
        return s;
    if (len < 4)
    {
        const float limit = fromBits(kExpOverflowBits);
        mapUnary(buf, buf, len, [limit](float x) { return x > limit ? kInf : float(std::exp(double(x))); });
        return kOk;
    }
    // Full groups of four, then the last len mod 4 elements as one smaller group.
    for (int32_t i = 0; i < len; i += 4)
        expGroup(buf, i, len - i < 4 ? len - i : 4);
    return kOk;
}

Status lnInPlaceF32(float *buf, int32_t len)
{
    if (Status s = checkArgs(len, buf))
        return s;
    Status pending = kOk;
    for (int32_t i = 0; i < len; ++i)
    {
        const float x = ld(buf, i);
        const uint32_t b = bitsOf(x);
        if (b & kSignBit)
        {
            st(buf, i, fromBits(kNegQuietNaN));
            if (pending == kOk)
                pending = kWarnLnNegative;
        }
        else if (isQuietNaN(b))
        {
            st(buf, i, fromBits(kPosQuietNaN));
        }
        else if (b == 0)
        {
            st(buf, i, -kInf);
            if (pending == kOk)
                pending = kWarnLnZero;
        }
        else
        {
            st(buf, i, float(std::log(double(x))));
        }
    }
    return pending;
}

// ---- Reductions -------------------------------------------------------------------------

Status maxF32(const float *src, int32_t len, float *out)
{
    return extreme(src, len, out, [](float x, float m) { return x > m; });
}

Status minF32(const float *src, int32_t len, float *out)
{
    return extreme(src, len, out, [](float x, float m) { return x < m; });
}

Status sumF32(const float *src, int32_t len, float *out, int32_t /*hint*/)
{
    if (Status s = checkArgs(len, src, out))
        return s;
    st(out, 0, float(pairedSum(src, len)));
    return kOk;
}

Status meanF32(const float *src, int32_t len, float *out, int32_t /*hint*/)
{
    if (Status s = checkArgs(len, src, out))
        return s;
    st(out, 0, float(pairedSum(src, len) / double(len)));
    return kOk;
}

void dotProductKernel(const float *a, const float *b, int32_t len, float *out)
{
    double acc = 0.0;
    for (int32_t i = 0; i < len; ++i)
        acc += double(ld(a, i)) * double(ld(b, i));
    st(out, 0, float(acc));
}

Status dotProductF32(const float *a, const float *b, int32_t len, float *out)
{
    if (Status s = checkArgs(len, a, b, out))
        return s;
    dotProductKernel(a, b, len, out);
    return kOk;
}

Status mulPackSpectrum(const float *a, const float *b, float *out, int32_t len)
{
    if (Status s = checkArgs(len, a, b, out))
        return s;
    int32_t first = 1;
    if (len % 2 == 0)
    {
        const float re1 = ld(a, 1) * ld(b, 1);
        st(out, 1, re1);
        first = 2;
    }
    st(out, 0, ld(a, 0) * ld(b, 0));
    for (int32_t k = first; k + 1 < len; k += 2)
    {
        const double ar = ld(a, k), ai = ld(a, k + 1);
        const double br = ld(b, k), bi = ld(b, k + 1);
        st(out, k, float(ar * br - ai * bi));
        st(out, k + 1, float(ar * bi + ai * br));
    }
    return kOk;
}

// ---- Rate operations ---------------------------------------------------------------------

Status upsampleF32(const float *src, int32_t len, float *dst, int32_t *outCount, int32_t factor,
                   const int32_t *phase)
{
    if (Status s = checkRate(src, len, dst, outCount, factor, phase))
        return s;
    const int64_t total = int64_t(len) * factor;
    if (total > INT32_MAX)
        return kErrBadLength;
    *outCount = int32_t(total);
    if (factor == 1)
        return copyF32(src, dst, len);
    const int64_t p = *phase;
    std::memset(dst, 0, size_t(total) * 4);
    for (int32_t i = 0; i < len; ++i)
        moveWord(src, i, dst, int64_t(i) * factor + p);
    return kOk;
}

Status downsampleF32(const float *src, int32_t len, float *dst, int32_t *outCount, int32_t factor,
                     int32_t *phase)
{
    if (Status s = checkRate(src, len, dst, outCount, factor, phase))
        return s;
    if (factor == 1)
    {
        *outCount = len;
        return copyF32(src, dst, len);
    }
    // 64-bit index: index + factor may pass INT32_MAX on the last step.
    int64_t index = *phase;
    int32_t count = 0;
    for (; index < len; index += factor)
        moveWord(src, index, dst, count++);
    *outCount = count;
    *phase = int32_t(index - len);
    return kOk;
}

} // namespace dsp::generic
