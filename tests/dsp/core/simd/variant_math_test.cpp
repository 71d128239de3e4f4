// The fast variants whose results the generic ones do not fix bit for bit: the sums and means by
// the method the hint selects (against a scalar model of each method as stated) and the logarithm
// polynomial (within 8 ulp of the generic logarithm, specials and statuses identical); and the
// exponential at the limits where an estimate-based kernel would saturate early, which must give
// the generic results exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "dsp/core/vector.h"
#include "dsp/dispatch/dispatch.h"
#include "support/dsp_test_support.h"

namespace
{

using dsp::test::f32Bits;
using dsp::test::f32FromBits;
const auto &B = dsp::CpuVariantDispatchTable;

// The variants with their own sum, logarithm and double-lane exponential: indices 2 and up.
#define FOR_FAST_INDICES(v) for (uint32_t v = 2; v <= dsp::test::testMaxVariant(); ++v)

// ---- Scalar models of the two summation methods ------------------------------------------------

// Eight partial sums: per group of eight, new s0 = s7 + x7 and new s(k) = s(k-1) + x(k-1); the tail
// into s0; then ((s4 + s0) + (s6 + s2)) + ((s5 + s1) + (s7 + s3)).
double eightWayModel(const float *x, int32_t n)
{
    double s[8] = {};
    int32_t i = 0;
    for (; n - i >= 8; i += 8)
    {
        double t[8];
        t[0] = s[7] + x[i + 7];
        for (int k = 1; k < 8; ++k)
            t[k] = s[k - 1] + x[i + k - 1];
        std::memcpy(s, t, sizeof s);
    }
    for (; i < n; ++i)
        s[0] += x[i];
    return ((s[4] + s[0]) + (s[6] + s[2])) + ((s[5] + s[1]) + (s[7] + s[3]));
}

// One block in four float lanes as stated: lanes of runs of 16, combined, runs of 4, a pair, a
// single; folded as (lane 0 + lane 2, lane 1 + lane 3).
void blockModel(const float *x, int32_t n, float *f0, float *f1)
{
    float v[4][4] = {};
    int32_t i = 0;
    for (; n - i >= 16; i += 16)
        for (int q = 0; q < 4; ++q)
            for (int k = 0; k < 4; ++k)
                v[q][k] += x[i + 4 * q + k];
    float w[4];
    for (int k = 0; k < 4; ++k)
        w[k] = (v[0][k] + v[2][k]) + (v[1][k] + v[3][k]);
    for (; n - i >= 4; i += 4)
        for (int k = 0; k < 4; ++k)
            w[k] += x[i + k];
    if (n - i >= 2)
    {
        w[0] += x[i];
        w[1] += x[i + 1];
        i += 2;
    }
    if (n - i == 1)
        w[0] += x[i];
    *f0 = w[0] + w[2];
    *f1 = w[1] + w[3];
}

// x: an aligned copy of the data the kernel reads at address.
double blockwiseModel(const float *x, int32_t n, uintptr_t address)
{
    double a = 0.0;
    if (address & 12)
    {
        for (int32_t i = 0; i < n; ++i)
            a += x[i];
        return a;
    }
    int32_t i = 0;
    float f0, f1;
    for (; n - i >= 32768; i += 32768)
    {
        blockModel(x + i, 32768, &f0, &f1);
        a += f0;
        a += f1;
    }
    blockModel(x + i, n - i, &f0, &f1);
    a += f0;
    a += f1;
    return a;
}

TEST(VariantMath, SumAndMeanComputeTheHintedMethodExactly)
{
    dsp::test::F32Source src(77);
    std::vector<float> pool(70000 + 16);
    for (float &x : pool)
        x = src.uniform(-1000.0f, 1000.0f);
    FOR_FAST_INDICES(v)
    {
        SCOPED_TRACE("variant " + std::to_string(v));
        for (int32_t n : {1, 2, 3, 7, 8, 9, 15, 16, 17, 33, 480, 4097, 32768, 32768 + 5, 70000})
            for (size_t offset : {0, 1, 2, 3, 4, 8, 12, 16})
                for (int32_t hint : {0, 1, 2, -1})
                {
                    // Float data at any byte offset: the models read through an aligned copy.
                    std::vector<unsigned char> bytes(size_t(n) * 4 + 16 + 64);
                    unsigned char *base =
                        bytes.data() + ((64 - reinterpret_cast<uintptr_t>(bytes.data()) % 64) % 64);
                    float *x = reinterpret_cast<float *>(base + offset);
                    std::memcpy(x, pool.data(), size_t(n) * 4);
                    const double wide = hint == 1
                                            ? blockwiseModel(pool.data(), n, reinterpret_cast<uintptr_t>(x))
                                            : eightWayModel(pool.data(), n);
                    float sum = 0, mean = 0;
                    ASSERT_EQ(B.sumF32[v](x, n, &sum, hint), dsp::kOk);
                    ASSERT_EQ(B.meanF32[v](x, n, &mean, hint), dsp::kOk);
                    EXPECT_EQ(f32Bits(sum), f32Bits(float(wide)))
                        << n << " at +" << offset << " hint " << hint;
                    EXPECT_EQ(f32Bits(mean), f32Bits(float(wide / double(n))))
                        << n << " at +" << offset << " hint " << hint;
                }

        // The stated cases: the 1 survives in its own partial sum; -0 alone gives +0.
        const std::vector<float> big = {0x1p64f, 1.0f, -0x1p64f, 0, 0, 0, 0, 0};
        float out = 0;
        ASSERT_EQ(B.sumF32[v](big.data(), 8, &out, 0), dsp::kOk);
        EXPECT_EQ(out, 1.0f);
        const float negZero = -0.0f;
        for (int32_t hint : {0, 1})
        {
            ASSERT_EQ(B.sumF32[v](&negZero, 1, &out, hint), dsp::kOk);
            EXPECT_EQ(f32Bits(out), 0u) << "hint " << hint;
        }
    }
    DSP_SKIP_UNSUPPORTED_VARIANTS();
}

// ---- Logarithm -------------------------------------------------------------------------------

TEST(VariantMath, LogarithmWithinEightUlpOfTheGenericIncludingSubnormals)
{
#if defined(__SANITIZE_ADDRESS__)
    constexpr size_t kValues = 500000;
#else
    constexpr size_t kValues = 10000000;
#endif
    std::mt19937 rng(5);
    std::vector<float> x(kValues);
    for (size_t i = 0; i < kValues; ++i)
    {
        const uint32_t r = rng();
        if (i % 4 == 0) // subnormals, each leading-zero count alike
        {
            const int top = int(i / 4 % 23);
            x[i] = f32FromBits((1u << top) | (r & ((1u << top) - 1)));
        }
        else
            x[i] = f32FromBits(0x00800000u + r % (0x7F800000u - 0x00800000u)); // every positive normal
    }
    std::vector<float> want = x;
    ASSERT_EQ(dsp::generic::lnInPlaceF32(want.data(), int32_t(kValues)), dsp::kOk);
    FOR_FAST_INDICES(v)
    {
        if (B.lnInPlaceF32[v] == B.lnInPlaceF32[v - 1])
            continue; // the implementation of an index below, already measured
        std::vector<float> got = x;
        ASSERT_EQ(B.lnInPlaceF32[v](got.data(), int32_t(kValues)), dsp::kOk);
        int64_t worst = 0;
        size_t where = 0;
        for (size_t i = 0; i < kValues; ++i)
        {
            const int64_t d = dsp::test::ulpDistance(want[i], got[i]);
            if (d > worst)
            {
                worst = d;
                where = i;
            }
        }
        EXPECT_LE(worst, 8) << "variant " << v << " at " << dsp::test::describeF32(x[where]) << ": "
                            << dsp::test::describeF32(got[where]) << ", generic "
                            << dsp::test::describeF32(want[where]);
    }
    DSP_SKIP_UNSUPPORTED_VARIANTS();
}

TEST(VariantMath, LogarithmSpecialsAndTheFirstInvalidStatus)
{
    FOR_FAST_INDICES(v)
    {
        SCOPED_TRACE("variant " + std::to_string(v));
        for (int32_t n : {3, 31, 32, 33, 256, 300})
        {
            // The specials scattered over every position class of the groups.
            std::vector<float> x(size_t(n), 2.0f);
            const uint32_t specials[] = {0x7F800000, 0x7FC00000, 0x00000000,
                                         0x80000000, 0xBF800000, 0xFFC00000};
            for (size_t k = 0; k < 6 && k < x.size(); ++k)
                x[(k * 7 + 1) % x.size()] = f32FromBits(specials[k]);
            std::vector<float> want = x, got = x;
            const dsp::Status s = dsp::generic::lnInPlaceF32(want.data(), n);
            ASSERT_EQ(B.lnInPlaceF32[v](got.data(), n), s) << n;
            for (size_t i = 0; i < x.size(); ++i)
            {
                if (f32Bits(x[i]) != 0x40000000u)
                {
                    EXPECT_EQ(f32Bits(got[i]), f32Bits(want[i])) << "element " << i << " of " << n;
                }
            }
        }
        // 300 elements: the first invalid argument (index 280, negative) decides over a later zero.
        std::vector<float> y(300, 3.0f);
        y[280] = -1.0f;
        y[290] = 0.0f;
        EXPECT_EQ(B.lnInPlaceF32[v](y.data(), 300), dsp::kWarnLnNegative);
        std::vector<float> z = {0.0f, -1.0f};
        EXPECT_EQ(B.lnInPlaceF32[v](z.data(), 2), dsp::kWarnLnZero);
    }
    DSP_SKIP_UNSUPPORTED_VARIANTS();
}

// ---- Exponential at the limits ----------------------------------------------------------------

// Between 87.1 and 88.72 e^x is finite and just above -87.3365 it is a normal float: the fast
// exponential keeps the generic limits, bit for bit, over every float in those ranges.
TEST(VariantMath, ExponentialKeepsTheGenericLimits)
{
    std::vector<float> x;
    for (uint32_t b = 0x42AE0000u; b <= 0x42B17300u; ++b) // 87.0 .. just past 88.7228
        x.push_back(f32FromBits(b));
    for (uint32_t b = 0xC2AEAC00u; b <= 0xC2AEAC60u; ++b) // around -87.3365
        x.push_back(f32FromBits(b));
    std::vector<float> want = x;
    ASSERT_EQ(dsp::generic::expInPlaceF32(want.data(), int32_t(want.size())), dsp::kOk);
    FOR_FAST_INDICES(v)
    {
        std::vector<float> got = x;
        ASSERT_EQ(B.expInPlaceF32[v](got.data(), int32_t(got.size())), dsp::kOk);
        EXPECT_EQ(dsp::test::wordsOf(got), dsp::test::wordsOf(want)) << "variant " << v;
    }
    DSP_SKIP_UNSUPPORTED_VARIANTS();
}

} // namespace
