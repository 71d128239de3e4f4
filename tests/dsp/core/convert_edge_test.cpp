// Sample-format conversion: exact values at the edges, argument checks with canaries, the
// packed 24-bit byte footprint and the layout operations.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "dsp/core/convert.h"
#include "support/dsp_test_support.h"

namespace
{

using namespace dsp;
using namespace dsp::generic;

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::bit_cast<float>(0x7FC00000u);

int16_t toS16(float x, int mode, int n)
{
    int16_t out = 0x5555;
    EXPECT_EQ(convertF32ToS16Scaled(&x, &out, 1, mode, n), kOk);
    return out;
}

int32_t toS32(float x, int mode, int n)
{
    int32_t out = 0x55555555;
    EXPECT_EQ(convertF32ToS32Scaled(&x, &out, 1, mode, n), kOk);
    return out;
}

std::array<uint8_t, 3> toS24(float x, int n)
{
    std::array<uint8_t, 3> out{0x55, 0x55, 0x55};
    EXPECT_EQ(convertF32ToS24Scaled(&x, out.data(), 1, n), kOk);
    return out;
}

using Bytes = std::array<uint8_t, 3>;

TEST(ConvertF32ToS16, RoundingModesAtScaleZero)
{
    // Mode 1: ties to even.
    EXPECT_EQ(toS16(0.5f, 1, 0), 0);
    EXPECT_EQ(toS16(1.5f, 1, 0), 2);
    EXPECT_EQ(toS16(2.5f, 1, 0), 2);
    EXPECT_EQ(toS16(-0.5f, 1, 0), 0);
    EXPECT_EQ(toS16(-1.5f, 1, 0), -2);
    EXPECT_EQ(toS16(-2.5f, 1, 0), -2);
    EXPECT_EQ(toS16(32766.5f, 1, 0), 32766);
    EXPECT_EQ(toS16(-32767.5f, 1, 0), -32768);
    EXPECT_EQ(toS16(-0.0f, 1, 0), 0);
    // Mode 0 truncates.
    EXPECT_EQ(toS16(1.9f, 0, 0), 1);
    EXPECT_EQ(toS16(-1.9f, 0, 0), -1);
    // Mode 2 and any other value: ties away from zero, no single-precision 0.5 shortcut.
    for (int mode : {2, 7, -1, INT32_MAX})
    {
        EXPECT_EQ(toS16(0.5f, mode, 0), 1) << mode;
        EXPECT_EQ(toS16(-0.5f, mode, 0), -1) << mode;
        EXPECT_EQ(toS16(2.5f, mode, 0), 3) << mode;
        EXPECT_EQ(toS16(-2.5f, mode, 0), -3) << mode;
        EXPECT_EQ(toS16(0.49999997f, mode, 0), 0) << mode;
        EXPECT_EQ(toS16(-0.49999997f, mode, 0), 0) << mode;
    }
}

TEST(ConvertF32ToS16, SaturationNaNAndScale)
{
    for (int mode : {0, 1, 2})
    {
        EXPECT_EQ(toS16(32767.0f, mode, 0), 32767);
        EXPECT_EQ(toS16(32767.001953125f, mode, 0), 32767);
        EXPECT_EQ(toS16(-32768.0f, mode, 0), -32768);
        EXPECT_EQ(toS16(-32769.0f, mode, 0), -32768);
        EXPECT_EQ(toS16(kInf, mode, 0), 32767);
        EXPECT_EQ(toS16(-kInf, mode, 0), -32768);
        EXPECT_EQ(toS16(kNaN, mode, 0), 0);
        EXPECT_EQ(toS16(-kNaN, mode, 0), 0);
        EXPECT_EQ(toS16(std::bit_cast<float>(0x7F800001u), mode, 0), 0); // signalling
    }
    EXPECT_EQ(toS16(1.0f, 0, -15), 32767);
    EXPECT_EQ(toS16(-1.0f, 0, -15), -32768);
    EXPECT_EQ(toS16(0.5f, 0, -15), 16384);
    EXPECT_EQ(toS16(0.99999994f, 0, -15), 32767);
    EXPECT_EQ(toS16(12.0f, 0, 3), 1);
    EXPECT_EQ(toS16(12.0f, 1, 3), 2);
    // Scale factors far outside the callers' range still scale exactly.
    EXPECT_EQ(toS16(std::ldexp(1.0f, 127), 0, 113), 16384);
    EXPECT_EQ(toS16(std::ldexp(1.0f, -149), 0, -160), 2048);
    EXPECT_EQ(toS16(std::ldexp(1.0f, -149), 1, -148), 0); // 0.5 ties to even
    EXPECT_EQ(toS16(std::ldexp(1.0f, -149), 2, -148), 1);
    EXPECT_EQ(toS16(std::ldexp(1.0f, -149), 0, INT32_MIN), 32767);
    EXPECT_EQ(toS16(-std::ldexp(1.0f, 127), 2, INT32_MAX), 0);
}

TEST(ConvertF32ToS32, BoundsScaleAndNaN)
{
    EXPECT_EQ(toS32(2147483648.0f, 0, 0), INT32_MAX);
    EXPECT_EQ(toS32(-2147483648.0f, 0, 0), INT32_MIN);
    EXPECT_EQ(toS32(2147483520.0f, 0, 0), 2147483520); // 2^31 - 128
    EXPECT_EQ(toS32(2147483520.0f, 2, 0), 2147483520);
    EXPECT_EQ(toS32(1.0f, 0, -31), INT32_MAX);
    EXPECT_EQ(toS32(-1.0f, 0, -31), INT32_MIN);
    EXPECT_EQ(toS32(0.5f, 0, -31), 1073741824);
    EXPECT_EQ(toS32(kInf, 1, 0), INT32_MAX);
    EXPECT_EQ(toS32(-kInf, 2, 0), INT32_MIN);
    EXPECT_EQ(toS32(-2.5f, 1, 0), -2);
    EXPECT_EQ(toS32(-2.5f, 2, 0), -3);
    // NaN is 0 in every mode: the integer-indefinite value would be a full-scale click.
    for (int mode : {0, 1, 2, 3, -5})
    {
        EXPECT_EQ(toS32(kNaN, mode, 0), 0) << mode;
        EXPECT_EQ(toS32(-kNaN, mode, -31), 0) << mode;
    }
}

TEST(ConvertF32ToS24, BytesRoundingAndScaleClamp)
{
    EXPECT_EQ(toS24(1.0f, -23), (Bytes{0xFF, 0xFF, 0x7F}));
    EXPECT_EQ(toS24(-1.0f, -23), (Bytes{0x00, 0x00, 0x80}));
    EXPECT_EQ(toS24(0.5f, -23), (Bytes{0x00, 0x00, 0x40}));
    EXPECT_EQ(toS24(8388606.5f, 0), (Bytes{0xFE, 0xFF, 0x7F})); // 2^23 - 1.5 -> 2^23 - 2
    EXPECT_EQ(toS24(8388607.5f, 0), (Bytes{0xFF, 0xFF, 0x7F})); // saturated
    EXPECT_EQ(toS24(-8388607.5f, 0), (Bytes{0x00, 0x00, 0x80}));
    EXPECT_EQ(toS24(-1.5f, 0), (Bytes{0xFE, 0xFF, 0xFF})); // -2, ties to even
    EXPECT_EQ(toS24(2.5f, 0), (Bytes{0x02, 0x00, 0x00}));
    EXPECT_EQ(toS24(kNaN, 0), (Bytes{0, 0, 0}));
    EXPECT_EQ(toS24(kInf, 0), (Bytes{0xFF, 0xFF, 0x7F}));
    EXPECT_EQ(toS24(-kInf, -23), (Bytes{0x00, 0x00, 0x80}));
    // n >= 127: the factor is +0.0, so every output is zero, infinities included.
    for (int n : {127, 128, 1000, INT32_MAX})
    {
        for (float x : {1.0f, -3.0e38f, kInf, -kInf, kNaN})
        {
            EXPECT_EQ(toS24(x, n), (Bytes{0, 0, 0})) << n << " " << x;
        }
    }
    // n below -127 acts as -127.
    EXPECT_EQ(toS24(std::ldexp(1.0f, -127), -500), (Bytes{0x01, 0x00, 0x00}));
    EXPECT_EQ(toS24(std::ldexp(1.0f, -127), -127), (Bytes{0x01, 0x00, 0x00}));
    EXPECT_EQ(toS24(std::ldexp(1.0f, -126), 126), (Bytes{0x00, 0x00, 0x00}));
    EXPECT_EQ(toS24(std::ldexp(1.0f, 100), 100), (Bytes{0x01, 0x00, 0x00}));
}

TEST(ConvertF32ToS24, WritesExactlyThreeBytesPerSampleAtAnyAddress)
{
    const std::vector<float> src = {1.0f, -1.0f, 0.25f, -0.75f, 0.0f, 0.5f, -0.5f, 0.125f, 0.9f};
    for (size_t offset = 0; offset < 4; ++offset)
    {
        for (int32_t len = 1; len <= static_cast<int32_t>(src.size()); ++len)
        {
            dsp::test::GuardedBuffer buf(3 * static_cast<size_t>(len), offset);
            ASSERT_EQ(convertF32ToS24Scaled(src.data(), buf.data(), len, -23), kOk);
            EXPECT_TRUE(buf.guardsIntact()) << "offset " << offset << " len " << len;
            const uint8_t *last = buf.data() + 3 * static_cast<size_t>(len - 1);
            const int32_t v = static_cast<int32_t>(static_cast<uint32_t>(last[0]) | (uint32_t{last[1]} << 8) |
                                                   (uint32_t{last[2]} << 16))
                                  << 8 >>
                              8;
            EXPECT_EQ(v, static_cast<int32_t>(std::nearbyint(
                             std::min(8388607.0, static_cast<double>(src[len - 1]) * 8388608.0))));
        }
    }
}

TEST(ConvertToF32, IntegerInputs)
{
    const int16_t s16[] = {-32768, 32767, 1, -1, 0};
    float out[5];
    ASSERT_EQ(convertS16ToF32Scaled(s16, out, 5, 15), kOk);
    EXPECT_EQ(out[0], -1.0f);
    EXPECT_EQ(out[1], 0.999969482421875f);
    ASSERT_EQ(convertS16ToF32Scaled(s16, out, 5, 200), kOk); // acts as 126
    EXPECT_EQ(out[2], std::ldexp(1.0f, -126));
    ASSERT_EQ(convertS16ToF32Scaled(s16, out, 5, -200), kOk); // acts as -112
    EXPECT_EQ(out[0], -std::ldexp(1.0f, 127));
    EXPECT_EQ(out[3], -std::ldexp(1.0f, 112));

    const int32_t s32[] = {2147483647, INT32_MIN, 16777217, 16777219, -16777217};
    ASSERT_EQ(convertS32ToF32Scaled(s32, out, 5, 31), kOk);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_EQ(out[1], -1.0f);
    ASSERT_EQ(convertS32ToF32Scaled(s32, out, 5, 0), kOk);
    EXPECT_EQ(out[2], 16777216.0f);
    ASSERT_EQ(convertS32ToF32Scaled(s32, out, 5, -200), kOk); // acts as -96
    EXPECT_EQ(out[1], -std::ldexp(1.0f, 127));
    ASSERT_EQ(convertS32ToF32Scaled(s32, out, 5, 1000), kOk); // acts as 126
    EXPECT_EQ(out[1], -std::ldexp(1.0f, -95));
    ASSERT_EQ(convertS32ToF32(s32, out, 5), kOk);
    EXPECT_EQ(out[2], 16777216.0f);
    EXPECT_EQ(out[3], 16777220.0f);
    EXPECT_EQ(out[4], -16777216.0f);
    EXPECT_EQ(out[1], -2147483648.0f);

    // Packed 24-bit, read from an odd address, exactly 3 * len bytes.
    std::vector<uint8_t> raw = {0xEE, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00};
    ASSERT_EQ(convertS24ToF32(raw.data() + 1, out, 4), kOk);
    EXPECT_EQ(out[0], 8388607.0f);
    EXPECT_EQ(out[1], -8388608.0f);
    EXPECT_EQ(out[2], -1.0f);
    EXPECT_EQ(out[3], 1.0f);
}

// Every rejected call returns its status and leaves the output byte-identical.
TEST(ConvertChecks, RejectedCallsWriteNothing)
{
    std::array<uint8_t, 64> canary;
    canary.fill(0xC3);
    std::array<uint8_t, 64> out = canary;
    alignas(16) float fsrc[4] = {1, 2, 3, 4};
    const int16_t s16[4] = {1, 2, 3, 4};
    const int32_t s32[4] = {1, 2, 3, 4};
    const uint8_t u8[12] = {};
    auto *f = reinterpret_cast<float *>(out.data());
    auto *i16 = reinterpret_cast<int16_t *>(out.data());
    auto *i32 = reinterpret_cast<int32_t *>(out.data());

    struct Case
    {
        Status got;
        Status want;
    };
    const Case cases[] = {
        {convertF32ToS16Scaled(nullptr, i16, 4, 0, 0), kErrNullPointer},
        {convertF32ToS16Scaled(fsrc, nullptr, 4, 0, 0), kErrNullPointer},
        {convertF32ToS16Scaled(nullptr, i16, 0, 0, 0), kErrNullPointer},
        {convertF32ToS16Scaled(fsrc, i16, 0, 0, 0), kErrBadLength},
        {convertF32ToS16Scaled(fsrc, i16, -3, 1, -15), kErrBadLength},
        {convertF32ToS32Scaled(nullptr, i32, 4, 0, 0), kErrNullPointer},
        {convertF32ToS32Scaled(fsrc, nullptr, 0, 0, 0), kErrNullPointer},
        {convertF32ToS32Scaled(fsrc, i32, 0, 0, 0), kErrBadLength},
        {convertF32ToS24Scaled(nullptr, out.data(), 4, 0), kErrNullPointer},
        {convertF32ToS24Scaled(fsrc, nullptr, 4, 0), kErrNullPointer},
        {convertF32ToS24Scaled(fsrc, out.data(), 0, -23), kErrBadLength},
        {convertS16ToF32Scaled(nullptr, f, 4, 15), kErrNullPointer},
        {convertS16ToF32Scaled(s16, nullptr, 0, 15), kErrNullPointer},
        {convertS16ToF32Scaled(s16, f, INT32_MIN, 15), kErrBadLength},
        {convertS32ToF32Scaled(nullptr, f, 0, 31), kErrNullPointer},
        {convertS32ToF32Scaled(s32, f, 0, 31), kErrBadLength},
        {convertS24ToF32(nullptr, f, 4), kErrNullPointer},
        {convertS24ToF32(u8, nullptr, 4), kErrNullPointer},
        {convertS24ToF32(u8, f, 0), kErrBadLength},
        {convertS32ToF32(s32, nullptr, 0), kErrNullPointer},
        {convertS32ToF32(s32, f, -1), kErrBadLength},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].got, cases[i].want) << i;
    EXPECT_EQ(out, canary);
}

struct Planes
{
    std::vector<std::vector<uint32_t>> data;
    std::vector<const uint32_t *> in;
    std::vector<uint32_t *> out;
    Planes(int channels, int len, uint32_t seed)
    {
        data.resize(channels);
        for (int c = 0; c < channels; ++c)
        {
            data[c].resize(len);
            for (int k = 0; k < len; ++k)
                data[c][k] = seed + 0x01000000u * c + k;
            in.push_back(data[c].data());
            out.push_back(data[c].data());
        }
    }
};

TEST(Interleave32, LayoutStatusAndWarnings)
{
    for (int channels : {1, 2, 3, 8})
    {
        const int len = 37;
        Planes p(channels, len, 0x7FC00001u); // NaN payloads are copied bit for bit
        std::vector<uint32_t> dst(channels * len + 8, 0);
        uint32_t *d =
            reinterpret_cast<uint32_t *>((reinterpret_cast<uintptr_t>(dst.data()) + 15) & ~uintptr_t{15});
        ASSERT_EQ(interleave32(p.in.data(), channels, len, d), kOk);
        for (int k = 0; k < len; ++k)
            for (int c = 0; c < channels; ++c)
                ASSERT_EQ(d[k * channels + c], p.data[c][k]);

        // dst at 4 mod 16: interleaved all the same, warning 2.
        ASSERT_EQ(interleave32(p.in.data(), channels, len, d + 1), kWarnMisaligned);
        for (int k = 0; k < len; ++k)
            for (int c = 0; c < channels; ++c)
                ASSERT_EQ(d[1 + k * channels + c], p.data[c][k]);
    }
    // A misaligned plane alone also warns.
    alignas(16) uint32_t a[5] = {1, 2, 3, 4, 5};
    alignas(16) uint32_t b[4] = {6, 7, 8, 9};
    alignas(16) uint32_t d[8];
    const uint32_t *planes[] = {a + 1, b};
    EXPECT_EQ(interleave32(planes, 2, 4, d), kWarnMisaligned);
    EXPECT_EQ(d[0], 2u);
    EXPECT_EQ(d[7], 9u);
}

TEST(Deinterleave32, TwoChannelFormEqualsGeneralWalk)
{
    const int len = 101;
    std::vector<uint32_t> src(2 * len);
    for (int i = 0; i < 2 * len; ++i)
        src[i] = 0xABC00000u + static_cast<uint32_t>(i) * 7919u;
    Planes p(2, len, 0);
    const bool aligned = reinterpret_cast<uintptr_t>(src.data()) % 16 == 0 &&
                         reinterpret_cast<uintptr_t>(p.out[0]) % 16 == 0 &&
                         reinterpret_cast<uintptr_t>(p.out[1]) % 16 == 0;
    ASSERT_EQ(deinterleave32(src.data(), 2, len, p.out.data()), aligned ? kOk : kWarnMisaligned);
    for (int k = 0; k < len; ++k)
    {
        ASSERT_EQ(p.data[0][k], src[2 * k]);
        ASSERT_EQ(p.data[1][k], src[2 * k + 1]);
    }
    // Round trip with three channels through both operations.
    Planes q(3, len, 0x100);
    std::vector<uint32_t> mixed(3 * len);
    interleave32(q.in.data(), 3, len, mixed.data());
    Planes back(3, len, 0xDEAD);
    deinterleave32(mixed.data(), 3, len, back.out.data());
    EXPECT_EQ(back.data, q.data);
}

TEST(LayoutChecks, RejectedCallsWriteNothing)
{
    const int len = 6;
    Planes p(3, len, 1);
    std::vector<uint32_t> dst(3 * len, 0xCCCCCCCCu);
    const std::vector<uint32_t> dstCanary = dst;
    const auto planeCanary = p.data;

    // A null plane is found before the first write, even when it is the last one.
    std::vector<const uint32_t *> withNull = p.in;
    withNull[2] = nullptr;
    EXPECT_EQ(interleave32(withNull.data(), 3, len, dst.data()), kErrNullPointer);
    EXPECT_EQ(interleave32(nullptr, 3, len, dst.data()), kErrNullPointer);
    EXPECT_EQ(interleave32(p.in.data(), 3, len, nullptr), kErrNullPointer);
    EXPECT_EQ(interleave32(p.in.data(), 0, len, dst.data()), kErrChannels);
    EXPECT_EQ(interleave32(p.in.data(), -1, 0, dst.data()), kErrChannels); // -53 before -6
    EXPECT_EQ(interleave32(p.in.data(), 3, 0, dst.data()), kErrBadLength);
    EXPECT_EQ(interleave32(withNull.data(), 3, 0, dst.data()), kErrBadLength); // -6 before planes
    EXPECT_EQ(dst, dstCanary);

    std::vector<uint32_t *> outNull = p.out;
    outNull[2] = nullptr;
    EXPECT_EQ(deinterleave32(dst.data(), 3, len, outNull.data()), kErrNullPointer);
    EXPECT_EQ(deinterleave32(nullptr, 3, len, p.out.data()), kErrNullPointer);
    EXPECT_EQ(deinterleave32(dst.data(), 3, len, nullptr), kErrNullPointer);
    EXPECT_EQ(deinterleave32(dst.data(), 0, len, p.out.data()), kErrChannels);
    EXPECT_EQ(deinterleave32(dst.data(), 3, -4, p.out.data()), kErrBadLength);
    EXPECT_EQ(p.data, planeCanary);
}

// channels * len beyond INT32_MAX would index outside any buffer the callers can describe: -6,
// after the channel check and before any plane pointer is read (none of these is dereferenced).
TEST(LayoutChecks, ChannelTimesLengthOverflowIsBadLength)
{
    uint32_t word = 0x12345678u;
    const uint32_t *inPlanes[2] = {nullptr, nullptr};
    uint32_t *outPlanes[2] = {nullptr, nullptr};
    EXPECT_EQ(interleave32(inPlanes, 2, 0x40000000, &word), kErrBadLength);
    EXPECT_EQ(deinterleave32(&word, 2, 0x40000000, outPlanes), kErrBadLength);
    EXPECT_EQ(interleave32(inPlanes, 65536, 32768, &word), kErrBadLength);
    EXPECT_EQ(word, 0x12345678u);
    // Exactly INT32_MAX passes the length check and reaches the plane pointers.
    const uint32_t *onePlane[1] = {nullptr};
    EXPECT_EQ(interleave32(onePlane, 1, INT32_MAX, &word), kErrNullPointer);
    EXPECT_EQ(word, 0x12345678u);
}

} // namespace
