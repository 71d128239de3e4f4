// powF32 against MPFR: mpfr_pow at 128 bits, rounded once to the nearest float. A million pairs
// in four shards (ctest runs them in parallel): within 1 ulp everywhere, bit-exact on at least
// 99.99 % of them and on every pair whose result is exactly representable.
#include <gtest/gtest.h>

#include <mpfr.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "dsp/core/pow.h"
#include "support/dsp_test_support.h"

namespace
{

using namespace dsp;
using namespace dsp::generic;

constexpr int kPairsPerShard = 250000;

class MpfrPow
{
public:
    MpfrPow() { mpfr_inits2(128, m_x, m_y, m_r, static_cast<mpfr_ptr>(nullptr)); }
    ~MpfrPow() { mpfr_clears(m_x, m_y, m_r, static_cast<mpfr_ptr>(nullptr)); }
    MpfrPow(const MpfrPow &) = delete;
    MpfrPow &operator=(const MpfrPow &) = delete;

    // The correctly rounded float, and whether the power is exactly that float.
    float operator()(float x, float y, bool *exact)
    {
        mpfr_set_flt(m_x, x, MPFR_RNDN);
        mpfr_set_flt(m_y, y, MPFR_RNDN);
        const int inexact = mpfr_pow(m_r, m_x, m_y, MPFR_RNDN);
        const float f = mpfr_get_flt(m_r, MPFR_RNDN);
        *exact = inexact == 0 && mpfr_cmp_d(m_r, static_cast<double>(f)) == 0;
        return f;
    }

private:
    mpfr_t m_x, m_y, m_r;
};

// Bases over the whole float range (subnormals included), exponents in [-150, 150]: a third
// integers (also with negative bases), most of them chosen so that the result lands inside or
// near the float range.
void makePairs(uint64_t seed, std::vector<float> &x, std::vector<float> &y)
{
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> target(-160.0, 135.0);
    std::uniform_real_distribution<float> anyY(-150.0f, 150.0f);
    x.resize(kPairsPerShard);
    y.resize(kPairsPerShard);
    for (int i = 0; i < kPairsPerShard; ++i)
    {
        float b;
        do
        {
            b = std::bit_cast<float>(static_cast<uint32_t>(rng()) & 0x7FFFFFFFu);
        } while (!std::isfinite(b) || b == 0.0f || b == 1.0f);
        // Exponents aimed at a result inside or near the float range, as a float or rounded to
        // an integer; integer ones also with negative bases.
        const double aimed = target(rng) / std::log2(static_cast<double>(b));
        const auto anyInteger = [&rng] { return static_cast<float>(static_cast<int>(rng() % 301) - 150); };
        float e;
        switch (i % 6)
        {
        case 0:
            e = anyInteger();
            break;
        case 1:
            e = std::fabs(aimed) <= 150.0 ? static_cast<float>(std::nearbyint(aimed)) : anyInteger();
            break;
        case 5:
            e = anyY(rng);
            break;
        default:
            e = std::fabs(aimed) <= 150.0 ? static_cast<float>(aimed) : anyY(rng);
            break;
        }
        if (i % 6 < 2 && (rng() & 1))
            b = -b;
        if (e == 0.0f)
            e = 1.0f;
        x[i] = b;
        y[i] = e;
    }
}

void runShard(uint64_t seed)
{
    std::vector<float> x, y;
    makePairs(seed, x, y);
    std::vector<float> r(x.size());
    const Status st = powF32(x.data(), y.data(), r.data(), static_cast<int32_t>(x.size()));
    EXPECT_EQ(st, kOk);
    MpfrPow oracle;
    int mismatches = 0;
    int ordinary = 0; // results strictly inside the float range: the ones the main path shapes
    for (size_t i = 0; i < x.size(); ++i)
    {
        ordinary += std::isnormal(r[i]) && r[i] != 1.0f;
        bool exact = false;
        const float want = oracle(x[i], y[i], &exact);
        const int64_t d = dsp::test::ulpDistance(want, r[i]);
        if (d == 0)
            continue;
        ++mismatches;
        ASSERT_LE(d, 1) << std::hexfloat << x[i] << " ^ " << y[i] << ": " << r[i] << " vs " << want;
        ASSERT_FALSE(exact) << std::hexfloat << x[i] << " ^ " << y[i] << " is exact: " << want << ", got "
                            << r[i];
    }
    EXPECT_GT(ordinary, kPairsPerShard / 2); // the sweep is not mostly overflow and underflow
    // 99.99 % bit-exact.
    EXPECT_LE(mismatches, kPairsPerShard / 10000) << mismatches << " results off by one ulp";
}

TEST(PowF32Mpfr, Shard0)
{
    runShard(0xA11CE000);
}
TEST(PowF32Mpfr, Shard1)
{
    runShard(0xA11CE001);
}
TEST(PowF32Mpfr, Shard2)
{
    runShard(0xA11CE002);
}
TEST(PowF32Mpfr, Shard3)
{
    runShard(0xA11CE003);
}

// The oracle itself on a few known values, so that a broken MPFR set-up cannot pass the sweep.
TEST(PowF32Mpfr, OracleSanity)
{
    MpfrPow oracle;
    bool exact = false;
    EXPECT_EQ(oracle(10.0f, 2.0f, &exact), 100.0f);
    EXPECT_TRUE(exact);
    EXPECT_EQ(oracle(2.0f, -149.0f, &exact), 0x1p-149f);
    EXPECT_EQ(oracle(2.0f, -150.0f, &exact), 0.0f);
    EXPECT_EQ(oracle(10.0f, -1.0f, &exact), 0.1f);
    EXPECT_FALSE(exact);
}

} // namespace
