// Sample-format conversion against integer references: every 16-bit input, every packed 24-bit
// pattern, and a million weighted random floats through each float-to-integer conversion.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "dsp/core/convert.h"

namespace
{

using namespace dsp;
using namespace dsp::generic;

constexpr int kRandomFloats = 1000000;

TEST(ConvertS16ToF32Sweep, EveryInputAtSeveralScales)
{
    std::vector<int16_t> src(65536);
    for (int i = 0; i < 65536; ++i)
        src[i] = static_cast<int16_t>(i - 32768);
    std::vector<float> dst(65536);
    // n, and the factor exponent it acts as after clamping.
    const int scales[][2] = {{15, -15}, {0, 0}, {200, -126}, {-200, 112}};
    for (const auto &s : scales)
    {
        ASSERT_EQ(convertS16ToF32Scaled(src.data(), dst.data(), 65536, s[0]), kOk);
        for (int i = 0; i < 65536; ++i)
        {
            // v * 2^e as sign and magnitude bits: exact, no floating-point rounding involved.
            const int v = i - 32768;
            float want = 0.0f;
            if (v != 0)
            {
                const uint32_t mag = static_cast<uint32_t>(v < 0 ? -v : v);
                const int top = 31 - std::countl_zero(mag);
                const uint32_t mant = (mag << (23 - top)) & 0x7FFFFFu;
                const uint32_t bits =
                    (v < 0 ? 0x80000000u : 0u) | (static_cast<uint32_t>(127 + top + s[1]) << 23) | mant;
                want = std::bit_cast<float>(bits);
            }
            ASSERT_EQ(std::bit_cast<uint32_t>(dst[i]), std::bit_cast<uint32_t>(want))
                << "v=" << v << " n=" << s[0];
        }
    }
}

TEST(ConvertS24ToF32Sweep, EveryPatternFromAnOddAddress)
{
    constexpr int kChunk = 1 << 16;
    std::vector<uint8_t> raw(3 * kChunk + 2, 0);
    std::vector<float> dst(kChunk);
    uint8_t *src = raw.data() + 1;
    for (uint32_t base = 0; base < (1u << 24); base += kChunk)
    {
        for (int i = 0; i < kChunk; ++i)
        {
            const uint32_t p = base + i;
            src[3 * i] = static_cast<uint8_t>(p);
            src[3 * i + 1] = static_cast<uint8_t>(p >> 8);
            src[3 * i + 2] = static_cast<uint8_t>(p >> 16);
        }
        ASSERT_EQ(convertS24ToF32(src, dst.data(), kChunk), kOk);
        for (int i = 0; i < kChunk; ++i)
        {
            const uint32_t p = base + i;
            const int32_t v = p >= 0x800000u ? static_cast<int32_t>(p) - 0x1000000 : static_cast<int32_t>(p);
            ASSERT_EQ(dst[i], static_cast<float>(v)) << std::hex << p; // |v| <= 2^23: exact
        }
    }
}

// The reference of the float-to-integer steps, from the float's bits: c = m * 2^(e - n) with m
// the 24-bit integer significand; the integer part and the discarded fraction (below, exactly or
// above one half) come from shifts, then the rounding rule and the saturation bounds.
int64_t referenceConvert(float x, int32_t n, int mode, int64_t lo, int64_t hi)
{
    const uint32_t b = std::bit_cast<uint32_t>(x);
    const bool neg = (b >> 31) != 0;
    const int field = static_cast<int>((b >> 23) & 0xFF);
    const uint32_t frac = b & 0x7FFFFFu;
    if (field == 0xFF)
        return frac != 0 ? 0 : (neg ? lo : hi);
    const uint64_t m = field == 0 ? frac : (frac | 0x800000u);
    if (m == 0)
        return 0;
    const int64_t shift = static_cast<int64_t>(field == 0 ? -149 : field - 150) - n;
    uint64_t q;
    int half; // -1 below one half, 0 exactly one half, +1 above
    if (shift >= 0)
    {
        if (shift >= 39)
            return neg ? lo : hi; // at least 2^39: beyond every bound
        q = m << shift;
        half = -2; // no fraction at all
    }
    else if (shift < -40)
    {
        q = 0;
        half = -1;
    }
    else
    {
        const int s = static_cast<int>(-shift);
        q = m >> s;
        const uint64_t rest = m & ((uint64_t{1} << s) - 1);
        const uint64_t halfWay = uint64_t{1} << (s - 1);
        half = rest < halfWay ? -1 : (rest == halfWay ? 0 : 1);
        if (rest == 0)
            half = -2; // no fraction at all
    }
    if (mode != 0 && half != -2)
    {
        if (half > 0 || (half == 0 && (mode != 1 || (q & 1) != 0)))
            ++q;
    }
    const int64_t v = neg ? -static_cast<int64_t>(q) : static_cast<int64_t>(q);
    return v < lo ? lo : (v > hi ? hi : v);
}

// Floats that matter for scale n: halfway values and their neighbours, the saturation bounds,
// 2^23..2^24, and raw random patterns (subnormals, infinities, NaN included).
std::vector<float> weightedFloats(int32_t n, uint64_t seed)
{
    std::mt19937_64 rng(seed);
    std::vector<float> v;
    v.reserve(kRandomFloats);
    const double bounds[] = {32767.0, 32768.0, 2147483648.0, 2147483520.0, 8388607.0, 8388608.0};
    auto scaled = [n](double c) { return static_cast<float>(std::ldexp(c, n)); };
    auto nudge = [&rng](float f)
    {
        const int steps = static_cast<int>(rng() % 5) - 2;
        for (int i = 0; i < steps; ++i)
            f = std::nextafter(f, INFINITY);
        for (int i = 0; i > steps; --i)
            f = std::nextafter(f, -INFINITY);
        return f;
    };
    while (static_cast<int>(v.size()) < kRandomFloats)
    {
        const int kind = static_cast<int>(rng() % 4);
        const double sign = (rng() & 1) ? -1.0 : 1.0;
        float f;
        if (kind == 0)
        {
            f = std::bit_cast<float>(static_cast<uint32_t>(rng()));
        }
        else if (kind == 1)
        {
            const double magnitude = std::ldexp(1.0, static_cast<int>(rng() % 32));
            const double k = std::floor(std::ldexp(static_cast<double>(rng() >> 11), -53) * magnitude);
            f = nudge(scaled(sign * (k + 0.5)));
        }
        else if (kind == 2)
        {
            f = nudge(scaled(sign * bounds[rng() % std::size(bounds)]));
        }
        else
        {
            f = nudge(scaled(sign * (8388608.0 + static_cast<double>(rng() % 8388608) +
                                     0.5 * static_cast<double>(rng() & 1))));
        }
        v.push_back(f);
    }
    return v;
}

const int32_t kScales[] = {-31, -23, -15, 0, 3, 300, -300, 16382};

template <typename Out, typename Fn>
void sweepFloatToInt(Fn convert, std::vector<int> modes, int64_t lo, int64_t hi)
{
    for (int32_t n : kScales)
    {
        const std::vector<float> src = weightedFloats(n, 0x5EED0000u + static_cast<uint32_t>(n));
        std::vector<Out> dst(src.size());
        for (int mode : modes)
        {
            ASSERT_EQ(convert(src.data(), dst.data(), static_cast<int32_t>(src.size()), mode, n), kOk);
            for (size_t i = 0; i < src.size(); ++i)
            {
                const int64_t want = referenceConvert(src[i], n, mode, lo, hi);
                ASSERT_EQ(static_cast<int64_t>(dst[i]), want)
                    << std::hexfloat << src[i] << " n=" << n << " mode=" << mode;
            }
        }
    }
}

TEST(ConvertF32ToS16Sweep, WeightedRandomFloatsAgainstBitReference)
{
    sweepFloatToInt<int16_t>([](const float *s, int16_t *d, int32_t len, int mode, int32_t n)
                             { return convertF32ToS16Scaled(s, d, len, mode, n); },
                             {0, 1, 2}, -32768, 32767);
}

TEST(ConvertF32ToS32Sweep, WeightedRandomFloatsAgainstBitReference)
{
    sweepFloatToInt<int32_t>([](const float *s, int32_t *d, int32_t len, int mode, int32_t n)
                             { return convertF32ToS32Scaled(s, d, len, mode, n); },
                             {0, 1, 2}, INT32_MIN, INT32_MAX);
}

// The 24-bit output has no mode: always ties to even. Its scale is clamped to [-127, 127], and
// from 127 on the factor is +0.0, so every output is 0, infinities and NaN included.
TEST(ConvertF32ToS24Sweep, WeightedRandomFloatsAgainstBitReference)
{
    for (int32_t n : kScales)
    {
        const std::vector<float> src = weightedFloats(n, 0x5EED0000u + static_cast<uint32_t>(n));
        std::vector<uint8_t> bytes(3 * src.size());
        ASSERT_EQ(convertF32ToS24Scaled(src.data(), bytes.data(), static_cast<int32_t>(src.size()), n), kOk);
        const int32_t clamped = n < -127 ? -127 : n;
        for (size_t i = 0; i < src.size(); ++i)
        {
            const uint32_t u =
                bytes[3 * i] | (uint32_t{bytes[3 * i + 1]} << 8) | (uint32_t{bytes[3 * i + 2]} << 16);
            const int32_t got = static_cast<int32_t>(u << 8) >> 8;
            const int64_t want = n >= 127 ? 0 : referenceConvert(src[i], clamped, 1, -8388608, 8388607);
            ASSERT_EQ(got, want) << std::hexfloat << src[i] << " n=" << n;
        }
    }
}

} // namespace
