// The table square root against std::sqrt, and the power routine against its definition and
// against 10^x in double.
#include "driver/effects/fast_math.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace
{

TEST(FastSqrt, WithinTableAccuracyOverTheWholeRange)
{
    std::mt19937 rng(19);
    std::uniform_real_distribution<double> exponent(-100.0, 100.0);
    double worst = 0.0;
    for (int i = 0; i < 1000000; ++i)
    {
        const float x = float(std::exp2(exponent(rng)));
        const double exact = std::sqrt(double(x));
        worst = std::max(worst, std::fabs(double(FastSqrt(x)) - exact) / exact);
    }
    EXPECT_LT(worst, 4e-5);
    EXPECT_EQ(FastSqrt(1.0f), 1.0f);
    EXPECT_EQ(FastSqrt(2.0f), std::sqrt(2.0f));
    EXPECT_EQ(FastSqrt(4.0f), 2.0f);
    // The last interval ends on entry 32: just below 2 and just below 4 interpolate up to it.
    EXPECT_NEAR(FastSqrt(std::nextafter(2.0f, 0.0f)), std::sqrt(2.0), 4e-5);
    EXPECT_NEAR(FastSqrt(std::nextafter(4.0f, 0.0f)), 2.0, 8e-5);
    EXPECT_EQ(std::signbit(FastSqrt(0.0f)), false);
    EXPECT_EQ(FastSqrt(0.0f), 0.0f);
    EXPECT_EQ(FastSqrt(-1.0f), 0.0f);
    EXPECT_EQ(FastSqrt(std::numeric_limits<float>::quiet_NaN()), 0.0f);
    EXPECT_NEAR(FastSqrt(1e-40f), std::sqrt(1e-40), 1e-20 * 4e-5 * 1e0);
}

// The routine's definition, written out: the fraction's table entry times or over 10 per unit.
float Pow10Definition(float x)
{
    const float whole = std::floor(x);
    const float scaled = (x - whole) * 200.0f;
    const int step = int(std::floor(scaled + 0.5f));
    float r = float(std::pow(10.0L, (long double)step / 200.0L));
    for (int i = 0; i < int(whole); ++i)
        r *= 10.0f;
    for (int i = 0; i > int(whole); --i)
        r /= 10.0f;
    return r;
}

TEST(TablePower, BaseTenFollowsItsDefinitionAndStaysWithinHalfAStep)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> x(-37.0f, 38.0f);
    for (int i = 0; i < 200000; ++i)
    {
        const float e = x(rng);
        const float r = tablePower(10.0f, e);
        ASSERT_EQ(r, Pow10Definition(e)) << e;
        ASSERT_LE(std::fabs(20.0 * std::log10(double(r)) - 20.0 * double(e)), 0.05 + 1e-4) << e;
    }
    EXPECT_EQ(tablePower(10.0f, 0.0f), 1.0f);
    EXPECT_EQ(tablePower(10.0f, 1.0f), 10.0f);
    EXPECT_EQ(tablePower(10.0f, -1.0f), 0.1f);
}

TEST(TablePower, BaseTwoIsExactAndExtremesStayFinite)
{
    for (int n = -126; n <= 127; ++n)
        EXPECT_EQ(tablePower(2.0f, float(n)), std::ldexp(1.0f, n)) << n;
    EXPECT_EQ(tablePower(2.0f, 2.5f), 8.0f); // half away from zero
    EXPECT_EQ(tablePower(2.0f, -2.5f), 0.125f);
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (float base : {2.0f, 10.0f})
        for (float e : {1e30f, -1e30f, inf, -inf, 1e9f, -1e9f})
        {
            const float r = tablePower(base, e);
            EXPECT_TRUE(std::isfinite(r)) << base << "^" << e;
            EXPECT_GE(r, 0.0f);
        }
    EXPECT_EQ(tablePower(2.0f, 1e30f), 0x1p127f);
    EXPECT_EQ(tablePower(10.0f, nan), 0.0f);
    EXPECT_EQ(tablePower(2.0f, nan), 0.0f);
    EXPECT_EQ(tablePower(3.0f, 2.0f), 0.0f);
    EXPECT_EQ(tablePower(nan, 2.0f), 0.0f);
}

} // namespace
