#include "dsp/core/convert.h"

#include "dsp/core/checks.h"
#include "dsp/core/words.h"

#include <bit>
#include <cstddef>

namespace dsp::generic
{
namespace
{

Status checkConversion(const void *src, const void *dst, int32_t len)
{
    if (src == nullptr || dst == nullptr)
        return kErrNullPointer;
    if (len < 1)
        return kErrBadLength;
    return kOk;
}

// Exact 2^-n as a double. Beyond |n| = 300 nothing changes for a float input: |x| * 2^-300 is
// below 2^-171 (rounds to 0) and any non-zero |x| * 2^300 is above 2^150 (saturates).
double exactScale(int32_t n)
{
    if (n > 300)
        n = 300;
    if (n < -300)
        n = -300;
    return std::bit_cast<double>(static_cast<uint64_t>(1023 - n) << 52);
}

// The float 2^-n for n already clamped to [-127, 127]; its pattern for n = 127 is +0.0.
float floatScale(int32_t n)
{
    return std::bit_cast<float>(static_cast<uint32_t>(127 - n) << 23);
}

int32_t clampScale(int32_t n, int32_t lo, int32_t hi)
{
    return n < lo ? lo : (n > hi ? hi : n);
}

// c = x * 2^-n, formed exactly in double (24 significand bits, exponent well inside the double
// range). Saturation first, then the rounding mode. For |c| < 2^31 the sum c +- 0.5 is exact in
// double, so truncating it rounds halfway values away from zero; mode 1 then pulls exact ties
// that landed on an odd integer back toward zero.
int64_t toInteger(double c, int32_t mode, double lo, double hi)
{
    if (c != c)
        return 0;
    if (c >= hi)
        return static_cast<int64_t>(hi);
    if (c <= lo)
        return static_cast<int64_t>(lo);
    if (mode == 0)
        return static_cast<int64_t>(c);
    const bool nonNegative = c >= 0.0; // -0.0 counts as non-negative
    const double y = nonNegative ? c + 0.5 : c - 0.5;
    int64_t t = static_cast<int64_t>(y);
    if (mode == 1 && (t & 1) != 0 && static_cast<double>(t) == y)
        t += nonNegative ? -1 : 1;
    return t;
}

template <typename Out>
void floatToInt(const float *src, Out *dst, int32_t len, int32_t mode, double factor, double lo, double hi)
{
    for (int32_t i = 0; i < len; ++i)
    {
        dst[i] = static_cast<Out>(toInteger(static_cast<double>(src[i]) * factor, mode, lo, hi));
    }
}

template <typename In> void intToFloat(const In *src, float *dst, int32_t len, int32_t n)
{
    if (n == 0)
    {
        for (int32_t i = 0; i < len; ++i)
            dst[i] = static_cast<float>(src[i]);
        return;
    }
    // Round to float first, then scale: the factor is a power of two inside the normal range and
    // every product stays normal, so this is the single rounding of src[i] * 2^-n.
    const float factor = floatScale(n);
    for (int32_t i = 0; i < len; ++i)
        dst[i] = static_cast<float>(src[i]) * factor;
}

} // namespace

Status convertF32ToS16Scaled(const float *src, int16_t *dst, int32_t len, int32_t roundMode,
                             int32_t scaleFactor)
{
    if (const Status s = checkConversion(src, dst, len); s != kOk)
        return s;
    floatToInt(src, dst, len, roundMode, exactScale(scaleFactor), -32768.0, 32767.0);
    return kOk;
}

Status convertF32ToS32Scaled(const float *src, int32_t *dst, int32_t len, int32_t roundMode,
                             int32_t scaleFactor)
{
    if (const Status s = checkConversion(src, dst, len); s != kOk)
        return s;
    // Floats between 2^30 and 2^31 are 128 apart, so c >= 2^31 - 1 means c >= 2^31.
    floatToInt(src, dst, len, roundMode, exactScale(scaleFactor), -2147483648.0, 2147483647.0);
    return kOk;
}

Status convertF32ToS24Scaled(const float *src, uint8_t *dst, int32_t len, int32_t scaleFactor)
{
    if (const Status s = checkConversion(src, dst, len); s != kOk)
        return s;
    const double factor = floatScale(clampScale(scaleFactor, -127, 127));
    for (int32_t i = 0; i < len; ++i)
    {
        const int64_t v = toInteger(static_cast<double>(src[i]) * factor, 1, -8388608.0, 8388607.0);
        const auto u = static_cast<uint32_t>(v);
        uint8_t *out = dst + 3 * static_cast<ptrdiff_t>(i);
        out[0] = static_cast<uint8_t>(u);
        out[1] = static_cast<uint8_t>(u >> 8);
        out[2] = static_cast<uint8_t>(u >> 16);
    }
    return kOk;
}

Status convertS16ToF32Scaled(const int16_t *src, float *dst, int32_t len, int32_t scaleFactor)
{
    if (const Status s = checkConversion(src, dst, len); s != kOk)
        return s;
    intToFloat(src, dst, len, clampScale(scaleFactor, -112, 126));
    return kOk;
}

Status convertS32ToF32Scaled(const int32_t *src, float *dst, int32_t len, int32_t scaleFactor)
{
    if (const Status s = checkConversion(src, dst, len); s != kOk)
        return s;
    intToFloat(src, dst, len, clampScale(scaleFactor, -96, 126));
    return kOk;
}

Status convertS24ToF32(const uint8_t *src, float *dst, int32_t len)
{
    if (const Status s = checkConversion(src, dst, len); s != kOk)
        return s;
    for (int32_t i = 0; i < len; ++i)
    {
        const uint8_t *in = src + 3 * static_cast<ptrdiff_t>(i);
        const uint32_t u = in[0] | (uint32_t{in[1]} << 8) | (uint32_t{in[2]} << 16);
        const int32_t v = static_cast<int32_t>(u << 8) >> 8; // sign-extend bit 23
        dst[i] = static_cast<float>(v);
    }
    return kOk;
}

Status convertS32ToF32(const int32_t *src, float *dst, int32_t len)
{
    if (const Status s = checkConversion(src, dst, len); s != kOk)
        return s;
    intToFloat(src, dst, len, 0);
    return kOk;
}

Status interleave32(const uint32_t *const *planes, int32_t channels, int32_t len, uint32_t *dst)
{
    bool warn = false;
    if (const Status s = detail::checkLayout(planes, dst, channels, len, &warn); s != kOk)
        return s;
    const auto stride = static_cast<ptrdiff_t>(channels);
    for (int32_t c = 0; c < channels; ++c)
    {
        const uint32_t *plane = planes[c]; // hoisted: the byte stores below could alias planes[]
        for (int32_t k = 0; k < len; ++k)
            detail::moveWord(plane, k, dst, k * stride + c);
    }
    return warn ? kWarnMisaligned : kOk;
}

Status deinterleave32(const uint32_t *src, int32_t channels, int32_t len, uint32_t *const *planes)
{
    bool warn = false;
    if (const Status s = detail::checkLayout(planes, src, channels, len, &warn); s != kOk)
        return s;
    if (channels == 2)
    {
        uint32_t *even = planes[0];
        uint32_t *odd = planes[1];
        for (int32_t k = 0; k < len; ++k)
        {
            detail::moveWord(src, 2 * static_cast<int64_t>(k), even, k);
            detail::moveWord(src, 2 * static_cast<int64_t>(k) + 1, odd, k);
        }
        return warn ? kWarnMisaligned : kOk;
    }
    const auto stride = static_cast<ptrdiff_t>(channels);
    for (int32_t c = 0; c < channels; ++c)
    {
        uint32_t *plane = planes[c];
        for (int32_t k = 0; k < len; ++k)
            detail::moveWord(src, k * stride + c, plane, k);
    }
    return warn ? kWarnMisaligned : kOk;
}

} // namespace dsp::generic
