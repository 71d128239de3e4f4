// The public stubs of the conversions and of powF32 reach the generic implementations at every
// variant index, with arguments in their order.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "dsp/core/convert.h"
#include "dsp/core/pow.h"
#include "dsp/dispatch/primitives.h"
#include "support/dsp_test_support.h"

namespace
{

using dsp::Status;
namespace generic = dsp::generic;

const float kSrc[5] = {0.75f, -0.5f, 1.5f, -1.0f, 2.5f};

// Status and output bytes of one call.
struct Result
{
    Status status;
    std::vector<unsigned char> bytes;
    bool operator==(const Result &) const = default;
};

template <class T, size_t N> Result result(Status s, const std::array<T, N> &out)
{
    std::vector<unsigned char> b(sizeof out);
    std::memcpy(b.data(), out.data(), sizeof out);
    return {s, b};
}

template <class Convert> std::array<Result, 10> runAll(Convert c)
{
    std::array<Result, 10> r;
    std::array<int16_t, 5> s16{};
    r[0] = result(c.f32ToS16(kSrc, s16.data(), 5, 2, -3), s16);
    std::array<int32_t, 5> s32{};
    r[1] = result(c.f32ToS32(kSrc, s32.data(), 5, 1, -20), s32);
    std::array<uint8_t, 15> s24{};
    r[2] = result(c.f32ToS24(kSrc, s24.data(), 5, -22), s24);
    const int16_t i16[3] = {-32768, 12345, 7};
    std::array<float, 3> f{};
    r[3] = result(c.s16ToF32(i16, f.data(), 3, 13), f);
    const int32_t i32[3] = {INT32_MIN, 16777217, -5};
    r[4] = result(c.s32ToF32Scaled(i32, f.data(), 3, 29), f);
    const uint8_t p24[6] = {0x01, 0x02, 0x83, 0xFF, 0x00, 0x00};
    r[5] = result(c.s24ToF32(p24, f.data(), 2), f);
    r[6] = result(c.s32ToF32(i32, f.data(), 3), f);
    const uint32_t a[2] = {1, 2}, b[2] = {3, 4};
    const uint32_t *planes[2] = {a, b};
    std::array<uint32_t, 4> mixed{};
    r[7] = result(c.interleave(planes, 2, 2, mixed.data()), mixed);
    std::array<uint32_t, 4> split{};
    uint32_t *out[2] = {split.data(), split.data() + 2};
    const uint32_t words[6] = {9, 8, 7, 6, 5, 4};
    r[8] = result(c.deinterleave(words, 2, 2, out), split);
    const float x[3] = {10.0f, -8.0f, 2.0f}, y[3] = {-1.0f, 0.5f, 0.5f};
    std::array<float, 3> p{};
    r[9] = result(c.pow(x, y, p.data(), 3), p);
    return r;
}

// The operations of this test, each reached once through dsp:: (the stub) and once through
// dsp::generic::.
#define DSP_CONVERT_POW_OPS(X)                                                                               \
    X(f32ToS16, convertF32ToS16Scaled)                                                                       \
    X(f32ToS32, convertF32ToS32Scaled)                                                                       \
    X(f32ToS24, convertF32ToS24Scaled)                                                                       \
    X(s16ToF32, convertS16ToF32Scaled)                                                                       \
    X(s32ToF32Scaled, convertS32ToF32Scaled)                                                                 \
    X(s24ToF32, convertS24ToF32)                                                                             \
    X(s32ToF32, convertS32ToF32)                                                                             \
    X(interleave, interleave32)                                                                              \
    X(deinterleave, deinterleave32)                                                                          \
    X(pow, powF32)

struct Ops
{
#define MEMBER(member, fn) decltype(&generic::fn) member;
    DSP_CONVERT_POW_OPS(MEMBER)
#undef MEMBER
};

#define VIA_STUB(member, fn) &dsp::fn,
#define VIA_GENERIC(member, fn) &generic::fn,
const Ops kStubs{DSP_CONVERT_POW_OPS(VIA_STUB)};
const Ops kGeneric{DSP_CONVERT_POW_OPS(VIA_GENERIC)};
#undef VIA_STUB
#undef VIA_GENERIC

TEST(ConvertPowStubs, ForwardAtEveryVariantIndex)
{
    const auto want = runAll(kGeneric);
    EXPECT_EQ(want[9].status, dsp::kWarnDomain);
    for (uint32_t index = 0; index <= dsp::test::testMaxVariant(); ++index)
    {
        const auto got = [&]
        {
            dsp::test::ScopedVariantIndex at(index);
            return runAll(kStubs);
        }();
        for (size_t i = 0; i < want.size(); ++i)
            EXPECT_EQ(got[i], want[i]) << "call " << i << " at " << index;
    }
    DSP_SKIP_UNSUPPORTED_VARIANTS();
}

} // namespace
