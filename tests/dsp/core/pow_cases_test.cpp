// powF32: the special-case table, exact results, argument checks, the floating-point
// environment, and the generated tables' known rows.
#include <gtest/gtest.h>

#include <bit>
#include <cfenv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>
#include <xmmintrin.h>

#include "dsp/core/pow.h"

namespace dsp::detail
{
#include "dsp/core/pow_tables.inc"
} // namespace dsp::detail

namespace
{

using namespace dsp;
using namespace dsp::generic;

const float kInf = std::numeric_limits<float>::infinity();

uint32_t bits(float f)
{
    return std::bit_cast<uint32_t>(f);
}
float fromBits(uint32_t b)
{
    return std::bit_cast<float>(b);
}

struct One
{
    uint32_t bits;
    Status status;
};

One pow1(float x, float y)
{
    float r = 0.0f;
    const Status s = powF32(&x, &y, &r, 1);
    return {bits(r), s};
}

#define EXPECT_POW(x, y, want, st)                                                                           \
    do                                                                                                       \
    {                                                                                                        \
        const One got = pow1((x), (y));                                                                      \
        EXPECT_EQ(got.bits, bits(want)) << #x " ^ " #y " = " << fromBits(got.bits);                          \
        EXPECT_EQ(got.status, (st)) << #x " ^ " #y;                                                          \
    } while (0)

TEST(PowF32Cases, EveryRowOfTheCaseTable)
{
    const float nan = fromBits(0x7FC01234u);
    // 1: y = +-0 gives 1 for any x.
    EXPECT_POW(nan, 0.0f, 1.0f, kOk);
    EXPECT_POW(-kInf, -0.0f, 1.0f, kOk);
    EXPECT_POW(0.0f, 0.0f, 1.0f, kOk);
    // 2: x = +1 gives 1 for any y.
    EXPECT_POW(1.0f, nan, 1.0f, kOk);
    EXPECT_POW(1.0f, -kInf, 1.0f, kOk);
    // 3: NaN operands pass through quieted; of two, the larger significand.
    EXPECT_POW(nan, 2.0f, nan, kOk);
    EXPECT_POW(3.0f, nan, nan, kOk);
    EXPECT_POW(-1.0f, nan, nan, kOk);
    EXPECT_POW(fromBits(0x7F800001u), 2.0f, fromBits(0x7FC00001u), kOk); // signalling, quieted
    EXPECT_POW(fromBits(0x7FC00001u), fromBits(0xFFC00002u), fromBits(0xFFC00002u), kOk);
    EXPECT_POW(fromBits(0xFFC00003u), fromBits(0x7FC00002u), fromBits(0xFFC00003u), kOk);
    // 4: pole at zero, status 19.
    EXPECT_POW(-0.0f, -3.0f, -kInf, kWarnDomain);
    EXPECT_POW(0.0f, -2.0f, kInf, kWarnDomain);
    EXPECT_POW(0.0f, -3.0f, kInf, kWarnDomain);
    EXPECT_POW(-0.0f, -2.0f, kInf, kWarnDomain);
    EXPECT_POW(-0.0f, -0.5f, kInf, kWarnDomain);
    EXPECT_POW(-0.0f, -kInf, kInf, kWarnDomain);
    // 5: zero base, positive exponent.
    EXPECT_POW(-0.0f, 3.0f, -0.0f, kOk);
    EXPECT_POW(-0.0f, 2.0f, 0.0f, kOk);
    EXPECT_POW(0.0f, 3.0f, 0.0f, kOk);
    EXPECT_POW(-0.0f, 0.5f, 0.0f, kOk);
    EXPECT_POW(-0.0f, kInf, 0.0f, kOk);
    // 6 and 7: x = -1.
    EXPECT_POW(-1.0f, kInf, 1.0f, kOk);
    EXPECT_POW(-1.0f, -kInf, 1.0f, kOk);
    EXPECT_POW(-1.0f, 4.0f, 1.0f, kOk);
    EXPECT_POW(-1.0f, -7.0f, -1.0f, kOk);
    EXPECT_POW(-1.0f, 0x1p30f, 1.0f, kOk);
    EXPECT_POW(-1.0f, 0.5f, fromBits(0xFFC00000u), kWarnDomain);
    // 8: negative base, non-integer exponent.
    EXPECT_POW(-8.0f, 1.0f / 3.0f, fromBits(0xFFC00000u), kWarnDomain);
    EXPECT_POW(-0x1p-149f, -2.5f, fromBits(0xFFC00000u), kWarnDomain);
    // 9 and 10: an infinite operand with |x| >= 1.
    EXPECT_POW(-kInf, -3.0f, -0.0f, kOk);
    EXPECT_POW(-kInf, -2.0f, 0.0f, kOk);
    EXPECT_POW(-kInf, 3.0f, -kInf, kOk);
    EXPECT_POW(-kInf, 0.5f, kInf, kOk);
    EXPECT_POW(kInf, -0.5f, 0.0f, kOk);
    EXPECT_POW(-2.0f, kInf, kInf, kOk);
    EXPECT_POW(-2.0f, -kInf, 0.0f, kOk);
    EXPECT_POW(1.5f, -kInf, 0.0f, kOk);
    // 11: y infinite, 0 < |x| < 1.
    EXPECT_POW(0.5f, kInf, 0.0f, kOk);
    EXPECT_POW(0.5f, -kInf, kInf, kOk);
    EXPECT_POW(-0.5f, -kInf, kInf, kOk);
    EXPECT_POW(0x1p-149f, kInf, 0.0f, kOk);
    // 12: the main path, also for negative bases with integer exponents.
    EXPECT_POW(10.0f, 2.0f, 100.0f, kOk);
    EXPECT_POW(10.0f, -1.0f, 0.100000001490116f, kOk);
    EXPECT_POW(2.0f, -3.0f, 0.125f, kOk);
    EXPECT_POW(-2.0f, 3.0f, -8.0f, kOk);
    EXPECT_POW(-2.0f, 2.0f, 4.0f, kOk);
    EXPECT_POW(-2.0f, 0x1p60f, kInf, kOk); // even, overflow: not an error
    EXPECT_POW(-2.0f, -0x1p60f, 0.0f, kOk);
    EXPECT_POW(-3.0f, 0x1p24f + 2, kInf, kOk); // every float of 2^24 and more is even
}

TEST(PowF32Cases, RangeLimitsAndShortcuts)
{
    EXPECT_POW(10.0f, 39.0f, kInf, kOk);
    const One sub = pow1(10.0f, -40.0f);
    EXPECT_EQ(sub.status, kOk);
    EXPECT_LT(sub.bits, 0x00800000u); // an F32 subnormal
    EXPECT_GT(sub.bits, 0u);
    EXPECT_NEAR(std::ldexp(static_cast<double>(sub.bits), -149), 1e-40, 1e-45);
    EXPECT_POW(10.0f, -50.0f, 0.0f, kOk);
    EXPECT_POW(-10.0f, -51.0f, -0.0f, kOk);
    EXPECT_POW(1.0000001f, 1e-30f, 1.0f, kOk); // tiny product: rounds to one
    EXPECT_POW(0.99999994f, -1e-30f, 1.0f, kOk);
    EXPECT_POW(-1.0000001f, 1e-30f, fromBits(0xFFC00000u), kWarnDomain);
    EXPECT_POW(2.0f, 128.0f, kInf, kOk);
    EXPECT_POW(2.0f, 127.0f, 0x1p127f, kOk);
    EXPECT_POW(2.0f, -149.0f, 0x1p-149f, kOk);
    EXPECT_POW(2.0f, -150.0f, 0.0f, kOk); // halfway below the smallest subnormal: to even
    EXPECT_POW(2.0f, -149.5f, 0x1p-149f, kOk);
    EXPECT_POW(0x1p-149f, 1.0f, 0x1p-149f, kOk);
    EXPECT_POW(0x1p-149f, -0.5f, static_cast<float>(0x1.6A09E667F3BCDp74), kOk); // 2^74.5
    EXPECT_POW(4.0f, 0.5f, 2.0f, kOk);
    EXPECT_POW(0x1p-126f, 0.5f, 0x1p-63f, kOk);
    EXPECT_POW(3.0f, 1e9f, kInf, kOk); // far outside: the early range test
    EXPECT_POW(3.0f, -1e9f, 0.0f, kOk);
    EXPECT_POW(-3.0f, -1e9f, 0.0f, kOk); // 1e9 is even
}

// Exactly representable results come out exact: powers of two to any exponent whose product is
// an integer in range, and integer powers of small integers.
TEST(PowF32Cases, ExactlyRepresentableResults)
{
    for (int e = -149; e <= 127; ++e)
    {
        const float x = std::ldexp(1.0f, e);
        for (int k = -4; k <= 4; ++k)
        {
            if (k == 0)
                continue;
            // y = k / 2^j with e * y an integer.
            for (int j = 0; j <= 3; ++j)
            {
                const double y = std::ldexp(static_cast<double>(k), -j);
                const double p = e * y;
                if (p != std::floor(p) || p < -149 || p > 127)
                    continue;
                const One got = pow1(x, static_cast<float>(y));
                ASSERT_EQ(got.bits, bits(std::ldexp(1.0f, static_cast<int>(p)))) << e << " " << y;
            }
        }
    }
    for (int64_t base = 2; base <= 4096; ++base)
    {
        int64_t v = 1;
        for (int k = 1; k <= 24; ++k)
        {
            v *= base;
            if (v > (int64_t{1} << 24))
                break;
            ASSERT_EQ(pow1(static_cast<float>(base), static_cast<float>(k)).bits, bits(static_cast<float>(v)))
                << base << "^" << k;
            const float neg = (k % 2) ? -static_cast<float>(v) : static_cast<float>(v);
            ASSERT_EQ(pow1(-static_cast<float>(base), static_cast<float>(k)).bits, bits(neg));
        }
    }
}

TEST(PowF32Vector, ErrorElementsDoNotStopTheOthers)
{
    float x[] = {-8.0f, 10.0f, 2.0f, 0.0f, 9.0f};
    float y[] = {1.0f / 3.0f, 2.0f, -3.0f, -1.0f, 0.5f};
    float r[5];
    EXPECT_EQ(powF32(x, y, r, 5), kWarnDomain);
    EXPECT_EQ(bits(r[0]), 0xFFC00000u);
    EXPECT_EQ(r[1], 100.0f);
    EXPECT_EQ(r[2], 0.125f);
    EXPECT_EQ(r[3], kInf);
    EXPECT_EQ(r[4], 3.0f);
    // An error in element 0 only still reports 19.
    float x2[] = {-1.0f, 2.0f, 3.0f};
    float y2[] = {0.25f, 2.0f, 2.0f};
    EXPECT_EQ(powF32(x2, y2, r, 3), kWarnDomain);
    EXPECT_EQ(r[2], 9.0f);
    // In place over the bases and over the exponents.
    float b[] = {10.0f, 2.0f};
    float e[] = {3.0f, 10.0f};
    EXPECT_EQ(powF32(b, e, b, 2), kOk);
    EXPECT_EQ(b[0], 1000.0f);
    EXPECT_EQ(b[1], 1024.0f);
    float b2[] = {5.0f};
    float e2[] = {3.0f};
    EXPECT_EQ(powF32(b2, e2, e2, 1), kOk);
    EXPECT_EQ(e2[0], 125.0f);
}

TEST(PowF32Checks, LengthBeforePointersNothingWritten)
{
    const unsigned saved = _mm_getcsr();
    // A caller environment that the call must not touch when it refuses.
    const unsigned caller = (saved & ~0xE07Fu) | 0x6000u | 0x8000u | 0x0040u;
    float x = 2.0f, y = 2.0f, r = -7.0f;
    _mm_setcsr(caller);
    const Status s1 = powF32(nullptr, &y, &r, 0);
    const Status s2 = powF32(&x, &y, &r, -1);
    const Status s3 = powF32(nullptr, &y, &r, 1);
    const Status s4 = powF32(&x, nullptr, &r, 1);
    const Status s5 = powF32(&x, &y, nullptr, 1);
    const unsigned after = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_EQ(s1, kErrBadLength);
    EXPECT_EQ(s2, kErrBadLength);
    EXPECT_EQ(s3, kErrNullPointer);
    EXPECT_EQ(s4, kErrNullPointer);
    EXPECT_EQ(s5, kErrNullPointer);
    EXPECT_EQ(r, -7.0f);
    EXPECT_EQ(after, caller);
}

// Round toward zero, flush-to-zero and denormals-are-zero in the caller's MXCSR change nothing:
// subnormal bases are read as they are, subnormal results are produced, rounding is to nearest.
TEST(PowF32Environment, CallerModesDoNotChangeResults)
{
    std::vector<float> x, y;
    const float bases[] = {10.0f, 0x1.8p-140f, 3.0f, 0.7f, 0x1p-149f, 1.1f, 123.456f, -2.0f};
    const float exps[] = {-40.0f, 0.5f, 1.0f / 3.0f, 17.25f, -0.25f, 100.0f, -2.5f, -127.0f};
    for (float b : bases)
        for (float e : exps)
        {
            x.push_back(b);
            y.push_back(e);
        }
    const auto n = static_cast<int32_t>(x.size());
    std::vector<float> plain(n), odd(n);
    ASSERT_EQ(powF32(x.data(), y.data(), plain.data(), n), kWarnDomain);

    const unsigned saved = _mm_getcsr();
    const unsigned caller = (saved & ~0x3Fu) | 0x6000u | 0x8000u | 0x0040u;
    _mm_setcsr(caller);
    const Status s = powF32(x.data(), y.data(), odd.data(), n);
    const unsigned after = _mm_getcsr();
    _mm_setcsr(saved);

    EXPECT_EQ(s, kWarnDomain);
    EXPECT_EQ(after & ~0x3Fu, caller & ~0x3Fu); // control bits back as they were
    EXPECT_NE(after & 0x01u, 0u);               // the domain error's invalid flag stays raised
    for (int32_t i = 0; i < n; ++i)
        EXPECT_EQ(bits(odd[i]), bits(plain[i])) << x[i] << "^" << y[i];
    // The environment did matter: 10^-40 is a subnormal and 0x1.8p-140 one as well.
    EXPECT_GT(bits(plain[0]), 0u);
    EXPECT_LT(bits(plain[0]), 0x00800000u);
}

TEST(PowF32Environment, DomainErrorRaisesInvalid)
{
    float x[] = {4.0f, -8.0f};
    float y[] = {0.5f, 1.0f / 3.0f};
    float r[2];
    std::feclearexcept(FE_ALL_EXCEPT);
    ASSERT_EQ(powF32(x, y, r, 1), kOk);
    EXPECT_FALSE(std::fetestexcept(FE_INVALID)); // an exact ordinary result raises nothing
    ASSERT_EQ(powF32(x, y, r, 2), kWarnDomain);
    EXPECT_TRUE(std::fetestexcept(FE_INVALID));
    std::feclearexcept(FE_ALL_EXCEPT);
    raiseMathError(18, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_TRUE(std::fetestexcept(FE_DIVBYZERO));
    raiseMathError(12, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_TRUE(std::fetestexcept(FE_OVERFLOW));
    raiseMathError(17, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_TRUE(std::fetestexcept(FE_UNDERFLOW));
    std::feclearexcept(FE_ALL_EXCEPT);
}

std::string sig(double v, int digits)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    return buf;
}

double dbl(uint64_t b)
{
    return std::bit_cast<double>(b);
}

// Known rows of the generated tables, to the digits they are known to.
TEST(PowTables, KnownRows)
{
    using namespace dsp::detail;
    EXPECT_EQ(kLog2ReduceTable1[1].reciprocal, std::bit_cast<uint64_t>(0.969696044921875));
    EXPECT_EQ(sig(dbl(kLog2ReduceTable1[1].head), 15), "0.0443954952202148");
    EXPECT_EQ(sig(dbl(kLog2ReduceTable1[1].tail), 17), "1.0160440490303414e-13");
    EXPECT_EQ(kLog2ReduceTable1[17].reciprocal, std::bit_cast<uint64_t>(0.653076171875));
    EXPECT_EQ(sig(dbl(kLog2ReduceTable1[17].head), 16), "-0.3853231761756888");
    EXPECT_EQ(sig(dbl(kLog2ReduceTable1[17].tail), 16), "-1.828572895052894e-13");
    EXPECT_EQ(kLog2ReduceTable2[15].reciprocal, std::bit_cast<uint64_t>(1.01690673828125));
    EXPECT_EQ(sig(dbl(kLog2ReduceTable2[15].head), 16), "-0.02418737399489146");
    EXPECT_EQ(sig(dbl(kLog2ReduceTable2[15].tail), 16), "-1.824381976916085e-13");
    EXPECT_EQ(sig(dbl(kLog2ReduceTable3[61].reciprocal), 15), "1.44417142868042");
    EXPECT_EQ(sig(dbl(kLog2ReduceTable3[61].head), 17), "-0.0014757713415747276");
    EXPECT_EQ(sig(dbl(kLog2ReduceTable3[61].tail), 15), "-9.48859722059715e-14");
    EXPECT_EQ(kExp2Table128[64].head, std::bit_cast<uint64_t>(1.4142135623730951));
    EXPECT_EQ(sig(dbl(kExp2Table128[64].tail), 16), "-9.667293313452912e-17");
    // The identity rows.
    EXPECT_EQ(kLog2ReduceTable1[0].reciprocal, std::bit_cast<uint64_t>(1.0));
    EXPECT_EQ(kLog2ReduceTable1[32].reciprocal, std::bit_cast<uint64_t>(0.5));
    EXPECT_EQ(kLog2ReduceTable2[0].reciprocal, std::bit_cast<uint64_t>(1.0));
    EXPECT_EQ(kLog2ReduceTable2[32].reciprocal, std::bit_cast<uint64_t>(1.0));
    for (const PowLogRow *row : {&kLog2ReduceTable1[0], &kLog2ReduceTable1[32], &kLog2ReduceTable2[0],
                                 &kLog2ReduceTable2[32], &kLog2ReduceTable3[0], &kLog2ReduceTable3[128]})
    {
        EXPECT_EQ(row->head, 0u);
        EXPECT_EQ(row->tail, 0u);
    }
    EXPECT_EQ(kLog2ReduceTable3[0].reciprocal, 0x3FF7154740000000u);
    EXPECT_EQ(kLog2ReduceTable3[128].reciprocal, 0x3FF7154740000000u);
    EXPECT_EQ(kExp2Table128[0].head, std::bit_cast<uint64_t>(1.0));
    // Structural rules, checked for every row: heads on the 2^-42 grid, tails below its step,
    // reciprocals of 15 (23) significant bits.
    auto onGrid = [](uint64_t b)
    {
        const double v = dbl(b);
        return std::ldexp(v, 42) == std::trunc(std::ldexp(v, 42));
    };
    auto sigBits = [](uint64_t b) { return 53 - std::countr_zero(b | (uint64_t{1} << 52)); };
    for (const auto &row : kLog2ReduceTable1)
    {
        EXPECT_TRUE(onGrid(row.head));
        EXPECT_LT(std::fabs(dbl(row.tail)), 0x1p-42);
        EXPECT_LE(sigBits(row.reciprocal), 15);
    }
    for (const auto &row : kLog2ReduceTable2)
    {
        EXPECT_TRUE(onGrid(row.head));
        EXPECT_LE(sigBits(row.reciprocal), 15);
    }
    for (const auto &row : kLog2ReduceTable3)
    {
        EXPECT_TRUE(onGrid(row.head));
        EXPECT_LE(sigBits(row.reciprocal), 23);
    }
    for (int j = 0; j < 128; ++j)
    {
        const double exact = std::exp2(j / 128.0);
        EXPECT_LE(std::fabs(dbl(kExp2Table128[j].head) - exact), std::ldexp(exact, -52)) << j;
        EXPECT_LT(std::fabs(dbl(kExp2Table128[j].tail)), std::ldexp(exact, -52)) << j;
    }
}

} // namespace
