// The spectrum multiply-accumulate against a float reference in the stated order, bit for bit,
// the gain-to-spectrum layout, and bad input writing nothing.
#include "driver/effects/headphone/headphonefir.h"

#include "support/dsp_test_support.h"

#include <cstring>
#include <random>
#include <vector>

namespace
{
using dsp::test::GuardedBuffer;

std::vector<float> Random(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-2.0f, 2.0f);
    std::vector<float> v(n);
    for (float &x : v)
        x = u(rng);
    return v;
}

// dst += a b: reals first (element 1 too for an even length), then pairs, each in float.
std::vector<float> Reference(const std::vector<float> &a, const std::vector<float> &b, std::vector<float> dst)
{
    const size_t n = dst.size();
    dst[0] += a[0] * b[0];
    size_t i = 1;
    if (n % 2 == 0)
    {
        dst[1] += a[1] * b[1];
        i = 2;
    }
    for (; i + 1 < n; i += 2)
    {
        const float re = a[i] * b[i] - a[i + 1] * b[i + 1];
        const float im = a[i] * b[i + 1] + a[i + 1] * b[i];
        dst[i] = dst[i] + re;
        dst[i + 1] = dst[i + 1] + im;
    }
    return dst;
}

TEST(SpectrumMulAcc, MatchesTheStatedOrderBitForBit)
{
    for (int32_t len : {1, 2, 5, 6, 7, 1023, 1024})
    {
        const auto a = Random(size_t(len), 1u + uint32_t(len)), b = Random(size_t(len), 7u * uint32_t(len));
        const auto d0 = Random(size_t(len), 99u + uint32_t(len));
        auto dst = d0;
        ASSERT_EQ(SpectrumMulAcc(a.data(), b.data(), dst.data(), len), 0);
        const auto want = Reference(a, b, d0);
        EXPECT_F32_ARRAY_SAME(want.data(), dst.data(), size_t(len)) << len;

        // dst may be a or b: every element reads its inputs before it is written.
        auto alias = a;
        ASSERT_EQ(SpectrumMulAcc(alias.data(), b.data(), alias.data(), len), 0);
        const auto wantAlias = Reference(a, b, a);
        EXPECT_F32_ARRAY_SAME(wantAlias.data(), alias.data(), size_t(len)) << len;
        auto aliasB = b;
        ASSERT_EQ(SpectrumMulAcc(a.data(), aliasB.data(), aliasB.data(), len), 0);
        const auto wantAliasB = Reference(a, b, b);
        EXPECT_F32_ARRAY_SAME(wantAliasB.data(), aliasB.data(), size_t(len)) << len;
    }
}

TEST(GainsToSpectrum, TwoBinsPerGainWithDcAndNyquistReal)
{
    std::vector<float> g(256);
    for (size_t i = 0; i < g.size(); ++i)
        g[i] = 1.0f + float(i);
    std::vector<float> s(1024, -1.0f);
    ASSERT_EQ(GainsToSpectrum(g.data(), s.data(), 256), 0);
    EXPECT_EQ(s[0], g[0]);
    EXPECT_EQ(s[1], g[255]);
    for (int k = 1; k < 512; ++k)
    {
        EXPECT_EQ(s[size_t(2 * k)], g[size_t(k / 2)]) << k;
        EXPECT_EQ(s[size_t(2 * k + 1)], g[size_t(k / 2)]) << k;
    }
}

TEST(SpectrumHelpers, BadInputWritesNothing)
{
    GuardedBuffer dst(1024 * 4);
    const auto before = dst.snapshot();
    std::vector<float> a(1024, 1.0f), g(256, 1.0f);
    float *d = dst.as<float>();
    EXPECT_EQ(SpectrumMulAcc(nullptr, a.data(), d, 1024), -8);
    EXPECT_EQ(SpectrumMulAcc(a.data(), nullptr, d, 1024), -8);
    EXPECT_EQ(SpectrumMulAcc(a.data(), a.data(), nullptr, 1024), -8);
    EXPECT_EQ(SpectrumMulAcc(a.data(), a.data(), d, 0), -6);
    EXPECT_EQ(SpectrumMulAcc(a.data(), a.data(), d, -4), -6);
    EXPECT_EQ(GainsToSpectrum(nullptr, d, 256), -8);
    EXPECT_EQ(GainsToSpectrum(g.data(), nullptr, 256), -8);
    EXPECT_EQ(GainsToSpectrum(g.data(), d, 255), -6);
    EXPECT_EQ(GainsToSpectrum(g.data(), d, 0), -6);
    EXPECT_TRUE(dst.unchangedSince(before));
}

} // namespace
