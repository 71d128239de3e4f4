// The generated tables as the effect plays them: interaural delay and level against the
// rigid-sphere model for every front angle and both rear placements (tails left out), mirrored
// between L and R; the tail-gain tables' range and smoothness. Their level: surround_level_test.
#include "driver/effects/headphone/hp_tables.h"

#include "hp_test_support.h"
#include "support/kernel_test.h"

#include <bit>
#include <cmath>
#include <complex>
#include <numbers>

namespace
{
constexpr double kFs = 44100.0;
constexpr double kRadius = 0.0875, kSound = 343.0; // the head model's sphere

// The head-shadow magnitude of the model at an ear's angle of incidence (degrees).
double Shadow(double f, double incidence)
{
    const double alpha = (1.0 + 0.05) + (1.0 - 0.05) * std::cos(std::numbers::pi * incidence / 150.0);
    const double w = 2.0 * std::numbers::pi * f / (2.0 * kSound / kRadius);
    return std::abs(std::complex<double>(1.0, alpha * w) / std::complex<double>(1.0, w));
}

// Near-ear over far-ear level in dB over 2-8 kHz of a source at `lateral` degrees off the median
// plane, in front (rear = false) or behind.
double ModelIld(double lateral, bool rear)
{
    const double azimuth = rear ? 180.0 - lateral : lateral;
    double near = 0, far = 0;
    for (int k = 0; k < 4096; ++k)
    {
        const double f = k * kFs / 4096;
        if (f < 2000 || f > 8000)
            continue;
        near += std::pow(Shadow(f, std::fabs(azimuth - 90.0)), 2);
        far += std::pow(Shadow(f, std::fabs(azimuth + 90.0) > 180 ? 360 - std::fabs(azimuth + 90.0)
                                                                  : std::fabs(azimuth + 90.0)),
                        2);
    }
    return 10 * std::log10(near / far);
}

struct Ears
{
    std::vector<double> left, right;
};

// The ears' responses to an impulse in `channel` of a 6-channel stream at (size 2, angle) with
// the table's head set and no tail.
Ears Respond(int32_t angle, int32_t channel)
{
    HpTableSet set{};
    EXPECT_TRUE(HpFindSet(2, angle, &set));
    std::vector<float> head(10 * 1024);
    for (size_t i = 0; i < head.size(); ++i)
        head[i] = std::bit_cast<float>(set.head[i]);
    CQvrEffect fx;
    const WAVEFORMATEX fmt = hp_test::Format(6, 44100);
    EXPECT_EQ(fx.SetFormat(&fmt), 0);
    fx.SetEnabled(1);
    EXPECT_TRUE(fx.Engine()->m_Core.LoadFilters(head.data(), 10, 1024, nullptr, 2, 0));
    std::vector<std::vector<float>> x(6, std::vector<float>(4096, 0.0f));
    x[size_t(channel)][100] = 1.0f;
    const auto y = hp_test::Stream(fx, x, 480);
    Ears e;
    for (size_t i = 612; i < 612 + 2048; ++i)
    {
        e.left.push_back(y[0][i]);
        e.right.push_back(y[1][i]);
    }
    return e;
}

std::vector<double> LowPass(const std::vector<double> &x, double corner)
{
    const int taps = 255, mid = taps / 2;
    std::vector<double> h(taps), y(x.size());
    for (int k = 0; k < taps; ++k)
    {
        const double t = k - mid, wc = 2 * corner / kFs;
        const double sinc = t == 0 ? wc : std::sin(std::numbers::pi * wc * t) / (std::numbers::pi * t);
        h[size_t(k)] = sinc * (0.54 - 0.46 * std::cos(2 * std::numbers::pi * k / (taps - 1)));
    }
    for (size_t i = 0; i < x.size(); ++i)
        for (int k = 0; k < taps && size_t(k) <= i; ++k)
            y[i] += h[size_t(k)] * x[i - size_t(k)];
    return y;
}

// Lag (samples) by which `late` trails `early`, from the cross-correlation below 1.5 kHz.
int Lag(const std::vector<double> &early, const std::vector<double> &late)
{
    const auto a = LowPass(early, 1500), b = LowPass(late, 1500);
    int best = 0;
    double top = -1e300;
    for (int lag = -40; lag <= 40; ++lag)
    {
        double s = 0;
        for (size_t i = 40; i + 40 < a.size(); ++i)
            s += a[i] * b[size_t(long(i) + lag)];
        if (s > top)
            top = s, best = lag;
    }
    return best;
}

double BandEnergy(const std::vector<double> &x)
{
    double e = 0;
    for (int k = 0; k < 2048; ++k)
    {
        const double f = k * kFs / 4096;
        if (f < 2000 || f > 8000)
            continue;
        std::complex<double> acc;
        for (size_t i = 0; i < x.size(); ++i)
            acc += x[i] * std::polar(1.0, -2 * std::numbers::pi * k * double(i) / 4096);
        e += std::norm(acc);
    }
    return e;
}

class HeadphoneTables : public KernelTest
{
};

TEST_F(HeadphoneTables, InterauralDelayAndLevelFollowTheHeadModel)
{
    struct Case
    {
        int32_t angle, channel; // L = 0, RL = 4
        double lateral;
        bool rear;
    } const cases[] = {{24, 0, 25, false}, {29, 0, 30, false}, {34, 0, 35, false}, {39, 0, 40, false},
                       {31, 0, 30, false}, {24, 4, 70, true},  {25, 4, 45, true}};
    double previousIld = -1;
    for (const Case &c : cases)
    {
        const Ears left = Respond(c.angle, c.channel), right = Respond(c.angle, c.channel + 1);
        const double theta = c.lateral * std::numbers::pi / 180;
        const double itd = kRadius / kSound * (theta + std::sin(theta)) * kFs;
        EXPECT_NEAR(Lag(left.left, left.right), itd, 1.0) << c.angle << " " << c.channel;
        const double ild = 10 * std::log10(BandEnergy(left.left) / BandEnergy(left.right));
        EXPECT_NEAR(ild, ModelIld(c.lateral, c.rear), 1.0) << c.angle << " " << c.channel;
        if (!c.rear && c.angle != 31)
        {
            EXPECT_GT(ild, previousIld) << c.angle;
            previousIld = ild;
        }
        // The right speaker mirrors the left.
        double diff = 0, energy = 0;
        for (size_t i = 0; i < left.left.size(); ++i)
        {
            diff += std::pow(left.left[i] - right.right[i], 2) + std::pow(left.right[i] - right.left[i], 2);
            energy += left.left[i] * left.left[i] + left.right[i] * left.right[i];
        }
        EXPECT_LT(std::sqrt(diff / energy), 1e-5) << c.angle << " " << c.channel;
    }
}

TEST_F(HeadphoneTables, TailGainsStayInRangeAndMoveSmoothly)
{
    for (int32_t t = 0; t < 5; ++t)
    {
        const uint32_t *w = HpTailGainWords(t);
        ASSERT_NE(w, nullptr);
        double prev[2] = {};
        for (int i = 0; i < 256; ++i)
        {
            const float a = std::bit_cast<float>(w[2 * i]), b = std::bit_cast<float>(w[2 * i + 1]);
            const double g[2] = {double(a + b), double(a - b)};
            for (int s = 0; s < 2; ++s)
            {
                EXPECT_GE(g[s], 0.5 - 1e-6) << t << " " << i;
                EXPECT_LE(g[s], 2.0 + 1e-6) << t << " " << i;
                if (i > 0)
                {
                    EXPECT_LE(std::fabs(20 * std::log10(g[s] / prev[s])), 0.5) << t << " " << i;
                }
                prev[s] = g[s];
            }
        }
    }
    EXPECT_EQ(HpTailGainWords(5), nullptr);
}

} // namespace
