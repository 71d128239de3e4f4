// Transforms whose results are known exactly: the 8-point closed forms, impulses, constants and
// alternating signals at every order, the complex 2-point DFT; and the bit-exact identities the
// transforms promise (in place equals out of place, a power-of-two factor scales exactly).
#include <cmath>
#include <vector>

#include "support/dsp_test_support.h"
#include "fft_oracle.h"

namespace
{

using namespace fft_test;

std::vector<float> realForward(TestSpec &t, std::vector<float> x)
{
    std::vector<float> out(x.size(), -7.0f);
    EXPECT_EQ(generic::fftRealForward(x.data(), out.data(), t.spec, t.work()), 0);
    return out;
}

TEST(FftClosedForm, EightPointKernels)
{
    TestSpec t(Kind::Real, 3, 8);
    EXPECT_EQ(realForward(t, {1, 0, 0, 0, 0, 0, 0, 0}), (std::vector<float>{1, 1, 1, 0, 1, 0, 1, 0}));
    EXPECT_EQ(realForward(t, {1, 1, 1, 1, 1, 1, 1, 1}), (std::vector<float>{8, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(realForward(t, {1, -1, 1, -1, 1, -1, 1, -1}), (std::vector<float>{0, 8, 0, 0, 0, 0, 0, 0}));
    // x[1] = 1: X1 = W8^1 = (c, -c) with c the float nearest sqrt(1/2); X2 = -j, X3 = (-c, -c).
    const float c = dsp::test::f32FromBits(0x3F3504F3);
    EXPECT_EQ(realForward(t, {0, 1, 0, 0, 0, 0, 0, 0}), (std::vector<float>{1, -1, c, -c, 0, -1, -c, -c}));

    // Forward then inverse: 8 times the input unscaled, the input with the inverse factor 1/8.
    const std::vector<float> x = randomFloats(8, 3);
    std::vector<float> X(8), back(8), scaled(8);
    generic::rfftForward8(x.data(), X.data());
    generic::rfftInverse8(X.data(), back.data());
    generic::rfftInverseScaled8(X.data(), scaled.data(), 0.125f);
    for (size_t i = 0; i < 8; ++i)
    {
        EXPECT_NEAR(back[i], 8 * x[i], 8e-6);
        EXPECT_NEAR(scaled[i], x[i], 1e-6);
    }
    // Every one of the sixteen kernels gives the same result in place.
    using K = generic::RealSmallKernel;
    using KS = generic::RealSmallKernelScaled;
    for (int order = 0; order <= 3; ++order)
    {
        const size_t n = size_t(1) << order;
        for (K k : {generic::kRealForwardSmall[order], generic::kRealInverseSmall[order]})
        {
            std::vector<float> in = randomFloats(n, 10 + uint32_t(order)), out(n);
            k(in.data(), out.data());
            k(in.data(), in.data());
            EXPECT_EQ(dsp::test::wordsOf(in), dsp::test::wordsOf(out)) << order;
        }
        for (KS k : {generic::kRealForwardSmallScaled[order], generic::kRealInverseSmallScaled[order]})
        {
            std::vector<float> in = randomFloats(n, 20 + uint32_t(order)), out(n);
            k(in.data(), out.data(), 0.3f);
            k(in.data(), in.data(), 0.3f);
            EXPECT_EQ(dsp::test::wordsOf(in), dsp::test::wordsOf(out)) << order;
        }
    }
}

TEST(FftClosedForm, ImpulseConstantAlternating)
{
    for (int32_t order = 4; order <= 20; ++order)
    {
        const size_t n = size_t(1) << order;
        TestSpec t(Kind::Real, order, 8);
        std::vector<float> x(n, 0.0f);
        x[0] = 1;
        const std::vector<float> impulse = realForward(t, x);
        bool ok = impulse[0] == 1 && impulse[1] == 1;
        for (size_t k = 1; k < n / 2; ++k)
            ok = ok && impulse[2 * k] == 1 && impulse[2 * k + 1] == 0;
        EXPECT_TRUE(ok) << "impulse, order " << order;

        const float c = 0.75f;
        const std::vector<float> constant = realForward(t, std::vector<float>(n, c));
        const std::vector<float> alternating = [&]
        {
            std::vector<float> a(n);
            for (size_t i = 0; i < n; ++i)
                a[i] = i % 2 ? -c : c;
            return realForward(t, a);
        }();
        EXPECT_EQ(constant[0], float(n) * c) << order;
        EXPECT_EQ(alternating[1], float(n) * c) << order;
        EXPECT_EQ(alternating[0], 0.0f) << order;
        EXPECT_EQ(constant[1], 0.0f) << order;
        size_t nonzero = 0;
        for (size_t i = 2; i < n; ++i)
            nonzero += constant[i] != 0 || alternating[i] != 0;
        EXPECT_EQ(nonzero, 0u) << "order " << order;
    }
}

TEST(FftClosedForm, ComplexTwoPoint)
{
    TestSpec t(Kind::Complex, 1, 8);
    std::vector<float> x{1, 0, 1, 0}, y(4, -1.0f);
    ASSERT_EQ(generic::fftForwardComplex(x.data(), y.data(), t.spec, nullptr), 0);
    EXPECT_EQ(y, (std::vector<float>{2, 0, 0, 0}));
    // Eight points: an impulse at 1 gives W8^k.
    TestSpec t8(Kind::Complex, 3, 8);
    std::vector<float> e(16, 0.0f), E(16);
    e[2] = 1;
    ASSERT_EQ(generic::fftForwardComplex(e.data(), E.data(), t8.spec, nullptr), 0);
    const float c = dsp::test::f32FromBits(0x3F3504F3);
    EXPECT_EQ(E, (std::vector<float>{1, 0, c, -c, 0, -1, -c, -c, -1, 0, -c, c, 0, 1, c, c}));
}

// In place and out of place agree bit for bit, in every direction and order 0..20.
TEST(FftClosedForm, InPlaceEqualsOutOfPlace)
{
    for (int32_t order = 0; order <= 20; ++order)
    {
        const size_t n = size_t(1) << order;
        TestSpec r(Kind::Real, order, 4);
        TestSpec c(Kind::Complex, order, 4);
        const std::vector<float> x = randomFloats(n, uint32_t(order));
        const std::vector<float> z = randomFloats(2 * n, uint32_t(100 + order));

        std::vector<float> out(n), inPlace = x;
        ASSERT_EQ(generic::fftRealForward(x.data(), out.data(), r.spec, r.work()), 0);
        ASSERT_EQ(generic::fftForwardRealInPlace(inPlace.data(), r.spec, r.work()), 0);
        EXPECT_EQ(dsp::test::wordsOf(out), dsp::test::wordsOf(inPlace)) << "real forward " << order;

        inPlace = x;
        ASSERT_EQ(generic::fftRealInverse(x.data(), out.data(), r.spec, r.work()), 0);
        ASSERT_EQ(generic::fftInverseRealInPlace(inPlace.data(), r.spec, r.work()), 0);
        EXPECT_EQ(dsp::test::wordsOf(out), dsp::test::wordsOf(inPlace)) << "real inverse " << order;

        std::vector<float> cout(2 * n), cin = z;
        ASSERT_EQ(generic::fftForwardComplex(z.data(), cout.data(), c.spec, c.work()), 0);
        ASSERT_EQ(generic::fftForwardComplex(cin.data(), cin.data(), c.spec, c.work()), 0);
        EXPECT_EQ(dsp::test::wordsOf(cout), dsp::test::wordsOf(cin)) << "complex " << order;
    }
}

// Flags 1 and 2 apply 2^-order once per point: exactly the unscaled result times the factor.
TEST(FftClosedForm, PowerOfTwoScalingIsExact)
{
    for (int32_t order = 0; order <= 20; ++order)
    {
        const size_t n = size_t(1) << order;
        const float factor = std::ldexp(1.0f, -order);
        TestSpec r8(Kind::Real, order, 8), r1(Kind::Real, order, 1), r2(Kind::Real, order, 2);
        TestSpec c8(Kind::Complex, order, 8), c1(Kind::Complex, order, 1);
        const std::vector<float> x = randomFloats(n, uint32_t(7 * order + 1));
        const std::vector<float> z = randomFloats(2 * n, uint32_t(7 * order + 2));
        auto scaledCopy = [factor](std::vector<float> v)
        {
            for (float &f : v)
                f *= factor;
            return v;
        };
        std::vector<float> plain(n), scaled(n);
        generic::fftRealForward(x.data(), plain.data(), r8.spec, r8.work());
        generic::fftRealForward(x.data(), scaled.data(), r1.spec, r1.work());
        EXPECT_EQ(dsp::test::wordsOf(scaled), dsp::test::wordsOf(scaledCopy(plain))) << "forward " << order;
        generic::fftRealInverse(x.data(), plain.data(), r8.spec, r8.work());
        generic::fftRealInverse(x.data(), scaled.data(), r2.spec, r2.work());
        EXPECT_EQ(dsp::test::wordsOf(scaled), dsp::test::wordsOf(scaledCopy(plain))) << "inverse " << order;
        // Flag 1 leaves the inverse alone, flag 2 the forward.
        std::vector<float> other(n);
        generic::fftRealInverse(x.data(), other.data(), r1.spec, r1.work());
        EXPECT_EQ(dsp::test::wordsOf(other), dsp::test::wordsOf(plain)) << "flag 1 inverse " << order;

        std::vector<float> cp(2 * n), cs(2 * n);
        generic::fftForwardComplex(z.data(), cp.data(), c8.spec, c8.work());
        generic::fftForwardComplex(z.data(), cs.data(), c1.spec, c1.work());
        EXPECT_EQ(dsp::test::wordsOf(cs), dsp::test::wordsOf(scaledCopy(cp))) << "complex " << order;
    }
}

} // namespace
