// The converters: SimpleSampleDelay's pushes, LinearPhaseIIR's symmetric impulse response, its
// |H1 H2| magnitude and its output against a double reference of the two-pass scheme; the engine
// around the core at other rates: the block counter, a tone through the plain pairs at their
// analytic level, a short count, and the linear-phase engine's exact lag.
#include "driver/effects/fx_assert.h"
#include "driver/effects/headphone/linear_phase_iir.h"
#include "driver/effects/headphone/simple_sample_delay.h"
#include "driver/effects/headphone/src.h"

#include "hp_test_support.h"
#include "support/kernel_test.h"

#include <cmath>
#include <complex>
#include <numbers>
#include <random>

namespace
{
using hp_test::Filters;

class HeadphoneConverters : public KernelTest
{
};

TEST_F(HeadphoneConverters, DelayKeepsTheLastHeldSamplesAndRefusesAnOversizePush)
{
    SimpleSampleDelay d;
    ASSERT_TRUE(d.Create(64, 48));
    std::vector<float> all;
    float next = 1.0f;
    for (int32_t size = 1; size <= 64; ++size)
    {
        std::vector<float> in(static_cast<size_t>(size));
        for (float &x : in)
            all.push_back(x = next++);
        ASSERT_TRUE(d.Push(in.data(), size));
        for (int32_t k = 0; k < 48; ++k)
        {
            const long idx = long(all.size()) - 48 + k;
            ASSERT_EQ(d.Held()[k], idx >= 0 ? all[size_t(idx)] : 0.0f) << size << " " << k;
        }
    }
    std::vector<float> before(d.Held(), d.Held() + 48), big(65, -1.0f);
    FxAssertReset();
    EXPECT_FALSE(d.Push(big.data(), 65));
    EXPECT_EQ(FxAssertCount(), 1);
    EXPECT_STREQ(FxAssertLastCondition(), "size <= m_nBufSize");
    EXPECT_EQ(std::vector<float>(d.Held(), d.Held() + 48), before);
}

// |H(e^jw)| of a third-order row (b0..b3, a0..a3) in double.
double Magnitude(const float *row, double w)
{
    std::complex<double> num, den;
    for (int k = 0; k < 4; ++k)
    {
        const auto z = std::polar(1.0, -w * k);
        num += double(row[k]) * z;
        den += double(row[4 + k]) * z;
    }
    return std::abs(num / den);
}

TEST_F(HeadphoneConverters, LinearPhaseIsZeroPhaseOneBlockLateWithTheRowsMagnitude)
{
    for (int32_t factor : {2, 4})
    {
        const int32_t len = 512 * factor;
        const double fs = 44100.0 * factor;
        const float *row = LinearPhaseIIR::RowForFactor(factor);
        ASSERT_NE(row, nullptr);
        LinearPhaseIIR lp;
        ASSERT_TRUE(lp.Create(row, len));
        const int32_t at = len / 2;
        std::vector<float> h(size_t(3 * len));
        for (int32_t b = 0; b < 3; ++b)
        {
            std::vector<float> in(size_t(len), 0.0f);
            if (b == 0)
                in[size_t(at)] = 1.0f;
            ASSERT_TRUE(lp.Process(in.data(), h.data() + b * len, len));
        }
        const int32_t centre = len + at;
        float peak = 0;
        for (float v : h)
            peak = std::max(peak, std::fabs(v));
        EXPECT_EQ(h[size_t(centre)], peak) << factor;
        for (int32_t k = 1; k < len / 2; ++k)
            ASSERT_NEAR(h[size_t(centre + k)], h[size_t(centre - k)], 1e-6) << factor << " " << k;
        for (double f = 100.0; f <= 15000.0; f += 100.0)
        {
            const double w = 2.0 * std::numbers::pi * f / fs;
            std::complex<double> H;
            for (int32_t t = 0; t < 3 * len; ++t)
                H += double(h[size_t(t)]) * std::polar(1.0, -w * (t - centre));
            const double want = Magnitude(row, w) * Magnitude(row + 8, w);
            ASSERT_NEAR(20 * std::log10(std::abs(H)), 20 * std::log10(want), 0.01) << factor << " " << f;
        }
    }
}

TEST_F(HeadphoneConverters, LinearPhaseOutputIsTheTwoPassSchemeInDouble)
{
    const int32_t len = 1024;
    const float *row = LinearPhaseIIR::RowForFactor(2);
    LinearPhaseIIR lp;
    ASSERT_TRUE(lp.Create(row, len));
    std::mt19937 rng(4);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    const int32_t blocks = 5;
    std::vector<float> x(size_t(blocks * len)), y(x.size());
    for (float &v : x)
        v = u(rng);
    for (int32_t b = 0; b < blocks; ++b)
        ASSERT_TRUE(lp.Process(x.data() + b * len, y.data() + b * len, len));
    // Forward pass over the whole signal, backward pass from rest over each pair of blocks.
    auto run = [](const float *r, const std::vector<double> &in)
    {
        std::vector<double> out(in.size());
        double z[3] = {};
        const double a0 = r[4];
        for (size_t i = 0; i < in.size(); ++i)
        {
            const double v = in[i], o = r[0] / a0 * v + z[0];
            z[0] = r[1] / a0 * v - r[5] / a0 * o + z[1];
            z[1] = r[2] / a0 * v - r[6] / a0 * o + z[2];
            z[2] = r[3] / a0 * v - r[7] / a0 * o;
            out[i] = o;
        }
        return out;
    };
    const auto u1 = run(row, std::vector<double>(x.begin(), x.end()));
    double err = 0, energy = 0;
    for (int32_t b = 1; b < blocks; ++b)
    {
        std::vector<double> w(u1.begin() + (b - 1) * len, u1.begin() + (b + 1) * len);
        std::reverse(w.begin(), w.end());
        auto back = run(row + 8, w);
        std::reverse(back.begin(), back.end());
        for (int32_t i = 0; i < len; ++i)
        {
            const double d = double(y[size_t(b * len + i)]) - back[size_t(i)];
            err += d * d;
            energy += back[size_t(i)] * back[size_t(i)];
        }
    }
    EXPECT_LT(std::sqrt(err / energy), 1e-6);
}

// Head filter 0 (L, left ear) and 3 (R, right ear) 0.5 at tap 0, no tail: the core hands L and
// R through at unity (x 2.0).
Filters Identity()
{
    Filters f;
    f.headLen = 512;
    f.tailLen = 0;
    f.head.assign(10 * 512, 0.0f);
    f.head[0] = 0.5f;
    f.head[3 * 512] = 0.5f;
    return f;
}

TEST_F(HeadphoneConverters, CoreRunsOncePerBlockAtTheStreamRate)
{
    CQvrEffect fx;
    const WAVEFORMATEX fmt = hp_test::Format(2, 88200);
    ASSERT_EQ(fx.SetFormat(&fmt), 0);
    fx.SetEnabled(1);
    EXPECT_EQ(fx.Engine()->m_nSrcFactor, 2);
    EXPECT_EQ(fx.Engine()->m_nDataLen, 1024);
    const uint32_t runs = fx.Engine()->m_Core.m_nRuns;
    std::vector<float> l(2048, 0.1f), r(2048, 0.1f);
    float *p[2] = {l.data(), r.data()};
    fx.Process(p, 1023);
    EXPECT_EQ(fx.Engine()->m_Core.m_nRuns, runs);
    float *q[2] = {l.data() + 1023, r.data() + 1023};
    fx.Process(q, 1);
    EXPECT_EQ(fx.Engine()->m_Core.m_nRuns, runs + 1);
    fx.Process(p, 2048);
    EXPECT_EQ(fx.Engine()->m_Core.m_nRuns, runs + 3);
}

TEST_F(HeadphoneConverters, ToneLeavesAtThePlainPairsAnalyticLevel)
{
    for (uint32_t rate : {88200u, 192000u})
    {
        CQvrEffect fx;
        const WAVEFORMATEX fmt = hp_test::Format(2, rate);
        ASSERT_EQ(fx.SetFormat(&fmt), 0);
        fx.SetEnabled(1);
        ASSERT_TRUE(Identity().LoadInto(fx.Engine()->m_Core));
        const int32_t factor = fx.Engine()->m_nSrcFactor;
        const size_t n = size_t(rate) / 4; // 250 ms
        std::vector<std::vector<float>> x(2, std::vector<float>(n, 0.0f));
        for (size_t i = 0; i < n; ++i)
            x[0][i] = float(0.5 * std::sin(2.0 * std::numbers::pi * 1000.0 * double(i) / rate));
        const auto y = hp_test::Stream(fx, x, 480);
        // Amplitude over the last 100 ms (whole periods of 1 kHz).
        const size_t span = size_t(rate) / 10;
        std::complex<double> acc;
        for (size_t i = n - span; i < n; ++i)
            acc += double(y[0][i]) * std::polar(1.0, -2.0 * std::numbers::pi * 1000.0 * double(i) / rate);
        const double level = 2.0 * std::abs(acc) / double(span) / 0.5;
        const double h = Magnitude(SRC::PlainTaps(factor), 2.0 * std::numbers::pi * 1000.0 / rate);
        EXPECT_NEAR(20 * std::log10(level), 20 * std::log10(h * h * h * h), 0.05) << rate;
    }
}

TEST_F(HeadphoneConverters, ShortCountGivesThePreviousBlocksOutputWithoutACoreRun)
{
    CQvrEffect fx;
    const WAVEFORMATEX fmt = hp_test::Format(2, 44100);
    ASSERT_EQ(fx.SetFormat(&fmt), 0);
    fx.SetEnabled(1);
    ASSERT_TRUE(Identity().LoadInto(fx.Engine()->m_Core));
    std::mt19937 rng(2);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> a(512), b(512);
    for (float &v : a)
        v = u(rng);
    for (float &v : b)
        v = u(rng);
    std::vector<float> l = a, r = a;
    float *p[2] = {l.data(), r.data()};
    fx.Process(p, 512);
    const uint32_t runs = fx.Engine()->m_Core.m_nRuns;
    l = b;
    r = b;
    fx.Process(p, 100);
    EXPECT_EQ(fx.Engine()->m_Core.m_nRuns, runs);
    for (int i = 0; i < 100; ++i)
        ASSERT_NEAR(l[size_t(i)], a[size_t(i)], 1e-6) << i;
}

TEST_F(HeadphoneConverters, LinearPhaseEngineLagsExactlyThreeBlocks)
{
    for (int32_t rate : {88200, 192000})
    {
        AudioApp app;
        ASSERT_TRUE(app.Create());
        ASSERT_TRUE(app.Setup(rate, 2, 2, 256, true));
        ASSERT_TRUE(Identity().LoadInto(app.m_Core));
        const int32_t len = app.m_nDataLen;
        const size_t n = size_t(6 * len);
        const size_t at = size_t(len) + size_t(len / 2); // on the down-sampling grid
        std::vector<float> l(n, 0.0f), r(n, 0.0f);
        l[at] = 1.0f;
        for (size_t pos = 0; pos < n; pos += 480)
        {
            float *p[2] = {l.data() + pos, r.data() + pos};
            ASSERT_TRUE(app.Process(p, 2, 2, int32_t(std::min<size_t>(480, n - pos))));
        }
        const size_t centre = at + size_t(3 * len);
        size_t best = 0;
        for (size_t i = 0; i < n; ++i)
            if (std::fabs(l[i]) > std::fabs(l[best]))
                best = i;
        EXPECT_EQ(best, centre) << rate;
        for (size_t k = 1; k < size_t(len / 2); ++k)
            ASSERT_NEAR(l[centre + k], l[centre - k], 1e-5) << rate << " " << k;
    }
}

} // namespace
