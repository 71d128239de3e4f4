// Special values and edge cases of the element, reduction and rate operations, by bit pattern.
#include <climits>
#include <cmath>
#include <vector>

#include "dsp/core/vector.h"
#include "support/dsp_test_support.h"

namespace
{

using namespace dsp::test;
namespace generic = dsp::generic;

constexpr uint32_t kOne = 0x3F800000u, kMinusOne = 0xBF800000u, kNegZero = 0x80000000u, kInf = 0x7F800000u,
                   kNegInf = 0xFF800000u, kNegQNaN = 0xFFC00000u, kPosQNaN = 0x7FC00000u;

// Runs an in-place one-vector operation over the given patterns.
template <class Op> std::pair<dsp::Status, Words> inPlace(Op op, std::initializer_list<uint32_t> in)
{
    std::vector<float> v = floatsOf(in);
    const dsp::Status s = op(v.data(), int32_t(v.size()));
    return {s, wordsOf(v)};
}

TEST(Rate, DecimationCarriesItsPhase)
{
    std::vector<float> src(10), dst(10);
    for (int i = 0; i < 10; ++i)
        src[i] = float(i);
    int32_t count = -1, phase = 2;
    EXPECT_EQ(generic::downsampleF32(src.data(), 10, dst.data(), &count, 3, &phase), dsp::kOk);
    EXPECT_EQ(std::vector<float>(dst.begin(), dst.begin() + count), (std::vector<float>{2, 5, 8}));
    EXPECT_EQ(phase, 1);
    generic::downsampleF32(src.data(), 10, dst.data(), &count, 3, &phase);
    EXPECT_EQ(std::vector<float>(dst.begin(), dst.begin() + count), (std::vector<float>{1, 4, 7}))
        << "the next block starts at its element 1";
    EXPECT_EQ(phase, 0);
    phase = 3; // beyond a short block: nothing taken, the rest carried
    generic::downsampleF32(src.data(), 2, dst.data(), &count, 4, &phase);
    EXPECT_EQ(std::make_pair(count, phase), std::make_pair(0, 1));
    phase = 1; // the index steps past INT32_MAX without wrapping
    generic::downsampleF32(src.data(), 10, dst.data(), &count, INT32_MAX, &phase);
    EXPECT_EQ(std::make_pair(count, phase), std::make_pair(1, INT32_MAX - 9));
    const std::vector<float> odd = floatsOf({0x7FA00001u, kNegZero});
    phase = 0;
    generic::downsampleF32(odd.data(), 2, dst.data(), &count, 1, &phase);
    EXPECT_EQ(std::make_pair(count, phase), std::make_pair(2, 0));
    EXPECT_EQ(wordsOf(dst.data(), 2), wordsOf(odd)) << "factor 1 copies bits";
}

TEST(Rate, ZeroInsertion)
{
    const std::vector<float> src = floatsOf({f32Bits(7.0f), 0x7FA00001u});
    GuardedBuffer out(8 * 4, 0, 0xEE);
    int32_t count = 0;
    const int32_t phase = 1, zero = 0;
    EXPECT_EQ(generic::upsampleF32(src.data(), 2, out.as<float>(), &count, 4, &phase), dsp::kOk);
    EXPECT_EQ(count, 8);
    EXPECT_EQ(wordsOf(out.as<float>(), 8), (Words{0, f32Bits(7.0f), 0, 0, 0, 0x7FA00001u, 0, 0}));
    EXPECT_TRUE(out.guardsIntact()) << "exactly len * factor outputs";
    std::vector<float> copy(2);
    EXPECT_EQ(generic::upsampleF32(src.data(), 2, copy.data(), &count, 1, &zero), dsp::kOk);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(wordsOf(copy), wordsOf(src));

    // len * factor beyond INT32_MAX: -6 after the factor and phase checks, nothing written.
    GuardedBuffer small(64);
    const auto before = small.snapshot();
    count = 12345;
    const int32_t bigPhase = 0x40000000;
    EXPECT_EQ(generic::upsampleF32(src.data(), 2, small.as<float>(), &count, 0x40000000, &zero),
              dsp::kErrBadLength);
    EXPECT_EQ(generic::upsampleF32(src.data(), 0x10000, small.as<float>(), &count, 0x8000, &zero),
              dsp::kErrBadLength);
    EXPECT_EQ(generic::upsampleF32(src.data(), 2, small.as<float>(), &count, 0x40000000, &bigPhase),
              dsp::kErrPhase);
    EXPECT_EQ(generic::upsampleF32(src.data(), 2, small.as<float>(), &count, 0, &zero), dsp::kErrFactor);
    EXPECT_TRUE(small.unchangedSince(before));
    EXPECT_EQ(count, 12345);
}

TEST(Special, LogarithmReportsTheFirstInvalidKind)
{
    EXPECT_EQ(inPlace(generic::lnInPlaceF32, {0, kMinusOne}),
              std::make_pair(dsp::kWarnLnZero, Words{kNegInf, kNegQNaN}));
    EXPECT_EQ(inPlace(generic::lnInPlaceF32, {kMinusOne, 0}),
              std::make_pair(dsp::kWarnLnNegative, Words{kNegQNaN, kNegInf}));
    EXPECT_EQ(inPlace(generic::lnInPlaceF32, {kNegInf, kNegQNaN, kNegZero, 0x7FC01234u, kInf, kOne}),
              std::make_pair(dsp::kWarnLnNegative, Words{kNegQNaN, kNegQNaN, kNegQNaN, kPosQNaN, kInf, 0}));
    EXPECT_EQ(inPlace(generic::lnInPlaceF32, {f32Bits(2.0f), 1}),
              std::make_pair(dsp::kOk, Words{f32Bits(0.6931472f), f32Bits(float(std::log(0x1p-149)))}))
        << "a subnormal's true logarithm";
}

TEST(Special, DivisionSquareRootAbsoluteValue)
{
    const std::vector<float> a = floatsOf({0, kNegZero, 0, 0, 0x7FC00001u, kInf});
    const std::vector<float> b = floatsOf({kOne, kMinusOne, 0, 0xFFC01234u, kOne, kMinusOne});
    std::vector<float> r(6);
    EXPECT_EQ(generic::divF32(a.data(), b.data(), r.data(), 6), dsp::kWarnDivByZero);
    EXPECT_EQ(wordsOf(r.data(), 4), (Words{kInf, kNegInf, kNegQNaN, kNegQNaN}));
    EXPECT_TRUE(std::isnan(r[4])) << "a NaN divisor is not zero";
    EXPECT_EQ(f32Bits(r[5]), kNegZero);
    EXPECT_EQ(generic::divF32(a.data() + 4, b.data() + 4, r.data(), 2), dsp::kOk);
    std::vector<float> d = floatsOf({f32Bits(4.0f), 0}); // in place over the divisors
    const std::vector<float> n = floatsOf({f32Bits(2.0f), kMinusOne});
    EXPECT_EQ(generic::divF32(d.data(), n.data(), d.data(), 2), dsp::kWarnDivByZero);
    EXPECT_EQ(wordsOf(d), (Words{f32Bits(0.5f), kNegInf}));

    EXPECT_EQ(
        inPlace(generic::sqrtInPlaceF32, {f32Bits(4.0f), kMinusOne, 0, kNegZero, kInf, 0x7FC00042u, kNegInf}),
        std::make_pair(dsp::kWarnSqrtNegative,
                       Words{f32Bits(2.0f), kNegQNaN, 0, kNegZero, kInf, 0x7FC00042u, kNegQNaN}));
    EXPECT_EQ(inPlace(generic::sqrtInPlaceF32, {0, 1}),
              std::make_pair(dsp::kOk, Words{0, f32Bits(3.7433921e-23f)}));
    EXPECT_EQ(inPlace(generic::absInPlaceF32, {kNegZero, kNegInf, 0xBFC00000u, 0xFFC01234u}).second,
              (Words{0, kInf, 0x3FC00000u, 0x7FC01234u}));
}

TEST(Special, ExponentialBelowFourElementsUsesDoubleExp)
{
    EXPECT_EQ(inPlace(generic::expInPlaceF32, {f32Bits(100.0f)}).second, (Words{kInf}));
    EXPECT_EQ(inPlace(generic::expInPlaceF32, {f32Bits(-100.0f), 0x42B17218u, kNegInf}).second,
              (Words{f32Bits(float(std::exp(-100.0))), kInf, 0}))
        << "-100 is a subnormal result here, not a class";
}

TEST(Special, ExponentialBitClassesOfLongVectors)
{
    auto [status, four] = inPlace(generic::expInPlaceF32, {0, f32Bits(100.0f), f32Bits(-100.0f), kOne});
    EXPECT_EQ(status, dsp::kOk);
    EXPECT_EQ(Words({four.w[0], four.w[1], four.w[2]}), (Words{kOne, kInf, 0}));
    EXPECT_F32_ULPS(float(std::exp(1.0)), f32FromBits(four.w[3]), 1);

    // Zeros and subnormals: 1.0. At or below -87.33655, -inf, negative signalling NaN: +0;
    // negative quiet NaN: 0xFFC00000. At or above 88.72284, +inf, positive signalling NaN: +inf;
    // positive quiet NaN: 0x7FC00000.
    EXPECT_EQ(inPlace(generic::expInPlaceF32,
                      {0, kNegZero, 0x007FFFFFu, 0x80000001u, 0xC2AEAC50u, 0xC3000000u, kNegInf, 0xFF800001u,
                       kNegQNaN, 0xFFC12345u, 0x42B17218u, kInf, 0x7F800001u, kPosQNaN, 0x7FC54321u}),
              std::make_pair(dsp::kOk, Words{kOne, kOne, kOne, kOne, 0, 0, 0, 0, kNegQNaN, kNegQNaN, kInf,
                                             kInf, kInf, kPosQNaN, kPosQNaN}));
    // Just inside the limits the value is computed.
    const std::initializer_list<uint32_t> edge = {0x42B17217u, 0xC2AEAC4Fu, 0x00800000u, kMinusOne,
                                                  f32Bits(10.0f)};
    const Words got = inPlace(generic::expInPlaceF32, edge).second;
    size_t i = 0;
    for (uint32_t in : edge)
        EXPECT_F32_ULPS(float(std::exp(double(f32FromBits(in)))), f32FromBits(got.w[i++]), 1);
}

TEST(Special, ExtremesSkipLaterNaN)
{
    const float nan = f32FromBits(0x7FC00007u);
    auto extreme = [](auto op, std::initializer_list<float> v)
    {
        std::vector<float> x(v);
        float m = 0;
        EXPECT_EQ(op(x.data(), int32_t(x.size()), &m), dsp::kOk);
        return f32Bits(m);
    };
    EXPECT_EQ(extreme(generic::maxF32, {1.0f, nan, 3.0f}), f32Bits(3.0f));
    EXPECT_EQ(extreme(generic::maxF32, {nan, 1.0f, 3.0f}), f32Bits(nan));
    EXPECT_EQ(extreme(generic::minF32, {3.0f, nan, 1.0f}), f32Bits(1.0f));
    EXPECT_EQ(extreme(generic::minF32, {nan, 3.0f, 1.0f}), f32Bits(nan));
    EXPECT_EQ(extreme(generic::maxF32, {-0.0f, 0.0f}), kNegZero) << "ties: the first wins";
    EXPECT_EQ(extreme(generic::minF32, {0.0f, -0.0f}), 0u);
    EXPECT_EQ(extreme(generic::minF32, {2.0f}), f32Bits(2.0f));

    // Element-wise: the destination stays on ties and NaN.
    const std::vector<float> src = {-0.0f, nan, 1.0f, INFINITY, 1.0f};
    std::vector<float> lo = {0.0f, 5.0f, nan, 2.0f, 3.0f}, hi = lo;
    generic::minEveryInPlaceF32(src.data(), lo.data(), 5);
    generic::maxEveryInPlaceF32(src.data(), hi.data(), 5);
    EXPECT_EQ(wordsOf(lo), wordsOf(std::vector<float>{0.0f, 5.0f, nan, 2.0f, 1.0f}));
    EXPECT_EQ(wordsOf(hi), wordsOf(std::vector<float>{0.0f, 5.0f, nan, INFINITY, 3.0f}));
}

TEST(Special, PackedSpectrumLayoutsAndAliasing)
{
    // len 1 and 2: reals only; len 3: (1 + 2i)(3 + 4i) = -5 + 10i after the DC product.
    auto product = [](std::vector<float> a, std::vector<float> b)
    {
        std::vector<float> out(a.size());
        EXPECT_EQ(generic::mulPackSpectrum(a.data(), b.data(), out.data(), int32_t(a.size())), dsp::kOk);
        std::vector<float> inA = a, inB = b;
        generic::mulPackSpectrum(inA.data(), b.data(), inA.data(), int32_t(a.size()));
        generic::mulPackSpectrum(a.data(), inB.data(), inB.data(), int32_t(a.size()));
        EXPECT_EQ(wordsOf(inA), wordsOf(out)) << "out == a";
        EXPECT_EQ(wordsOf(inB), wordsOf(out)) << "out == b";
        return out;
    };
    EXPECT_EQ(product({3}, {-0.5f}), (std::vector<float>{-1.5f}));
    EXPECT_EQ(product({3, -2}, {0.5f, 4}), (std::vector<float>{1.5f, -8}));
    EXPECT_EQ(product({2, 1, 2}, {-1, 3, 4}), (std::vector<float>{-2, -5, 10}));
    EXPECT_EQ(product({2, 5, 1, 2}, {-1, 2, 3, 4}), (std::vector<float>{-2, 10, -5, 10}));
    EXPECT_EQ(product({1, 1, 2, 0, 1}, {2, 3, 4, 0, -1}), (std::vector<float>{2, -5, 10, 1, 0}));
}

TEST(Special, SumsUseTwoAccumulatorsFromPlusZero)
{
    // s0 takes elements 0 and 2 (1 + 1), s1 elements 1 and 3 (2^60 - 2^60), the tail 1: 3.
    // In index order 2^60 would swallow every 1 and leave 1.
    const float v[5] = {1.0f, 0x1p60f, 1.0f, -0x1p60f, 1.0f};
    float s = 0;
    EXPECT_EQ(generic::sumF32(v, 5, &s, 0), dsp::kOk);
    EXPECT_EQ(s, 3.0f);
    EXPECT_EQ(generic::meanF32(v, 4, &s, 1), dsp::kOk);
    EXPECT_EQ(s, 0.5f);
    const float z[3] = {-0.0f, -0.0f, -0.0f};
    generic::sumF32(z, 3, &s, 0);
    EXPECT_EQ(f32Bits(s), 0u);
    generic::dotProductF32(z, v, 1, &s);
    EXPECT_EQ(f32Bits(s), 0u);
}

} // namespace
