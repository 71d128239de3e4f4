// The linked peak limiter: 256-sample latency, ceiling, linking, settling and exact release rates,
// the 20-block hold (and no echo of a peak 200 blocks later), channel-count bounds and the
// marks its setters leave.
#include "driver/effects/peak_limiter.h"

#include "effects_test_support.h"
#include "support/dsp_test_support.h"
#include "support/kernel_test.h"

#include <cmath>
#include <random>

namespace
{
using fx_test::LimiterWords;
using fx_test::Planes;

class Limiter : public KernelTest
{
protected:
    void Setup(uint32_t channels, float maxGain, float ceiling = 1.0f)
    {
        ASSERT_TRUE(m_Lim.Allocate());
        m_Lim.SetMode(0);
        m_Lim.SetGainTable(maxGain);
        m_Lim.SetCeiling(ceiling);
        m_Lim.Initialise(LimiterWords(channels, 48000).data());
    }
    // Runs all of p through the limiter in calls of `chunk` samples.
    void Run(Planes &p, size_t chunk)
    {
        const size_t n = p.data[0].size();
        for (size_t done = 0; done < n; done += chunk)
            m_Lim.Process(p.At(done).data(), int32_t(std::min(chunk, n - done)));
    }
    void TearDown() override
    {
        m_Lim.Free(); // before the fixture's pool check
        KernelTest::TearDown();
    }
    PeakLimiter m_Lim;
};

TEST_F(Limiter, AnImpulseLeavesExactly256SamplesLater)
{
    Setup(2, 1.0f);
    Planes p(1000, 2);
    p.data[0][300] = 0.5f;
    p.data[1][301] = -0.25f;
    Run(p, 37);
    for (size_t i = 0; i < 1000; ++i)
    {
        EXPECT_EQ(p.data[0][i], i == 556 ? 0.5f : 0.0f) << i;
        EXPECT_EQ(p.data[1][i], i == 557 ? -0.25f : 0.0f) << i;
    }
}

TEST_F(Limiter, BurstsStayUnderTheCeilingAndChannelsMoveTogether)
{
    Setup(8, 1.0f);
    const size_t n = 48000;
    Planes in(n, 8);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-0.2f, 0.2f);
    for (size_t i = 0; i < n; ++i)
    {
        for (int c = 0; c < 8; ++c)
            in.data[c][i] = u(rng);
        if ((i / 4800) % 2 == 1) // +12 dBFS sine bursts in channel 3 only
            in.data[3][i] = 4.0f * float(std::sin(2 * M_PI * 997.0 * double(i) / 48000.0));
    }
    Planes out = in;
    Run(out, 480);
    for (size_t i = 256; i < n; ++i)
    {
        const double ratio3 = double(out.data[3][i]) / double(in.data[3][i - 256]);
        for (int c = 0; c < 8; ++c)
        {
            ASSERT_LE(std::fabs(out.data[c][i]), 1.0f + 1e-6f)
                << c << " " << i << " " << dsp::test::describeF32(out.data[c][i]) << " "
                << in.data[c][i - 256];
            const double ratio = double(out.data[c][i]) / double(in.data[c][i - 256]);
            if (in.data[c][i - 256] != 0.0f && in.data[3][i - 256] != 0.0f)
            {
                ASSERT_NEAR(ratio, ratio3, 1e-6 * std::fabs(ratio3)) << c << " " << i;
            }
        }
    }
}

TEST_F(Limiter, QuietInputSettlesAtTheMaximumGain)
{
    Setup(2, 2.8183f);
    m_Lim.SetGainTable(2.8183f);
    Planes p(48000, 2);
    for (size_t i = 0; i < p.data[0].size(); ++i)
        p.data[0][i] = p.data[1][i] = 0.1f * float(std::sin(0.05 * double(i)));
    const Planes in = p;
    Run(p, 480);
    for (size_t i = 24000; i < 48000; ++i)
        if (std::fabs(in.data[0][i - 256]) > 0.01f)
        {
            ASSERT_NEAR(p.data[0][i] / in.data[0][i - 256], 2.8183, 2.8183e-3) << i;
        }
    EXPECT_EQ(m_Lim.Gain(0), 2.8183f);
}

TEST_F(Limiter, OnePeakHoldsTwentyBlocksThenRecoversBy79Over80PerBlock)
{
    Setup(1, 1.0f);
    Planes block(128, 1);
    std::vector<float> targets, gains;
    for (int b = 0; b < 400; ++b)
    {
        for (float &v : block.data[0])
            v = b == 10 ? 4.0f : 0.01f;
        m_Lim.Process(block.ptr.data(), 128);
        targets.push_back(m_Lim.Target(0));
        gains.push_back(m_Lim.Gain(0));
    }
    int held = 0;
    for (int b = 0; b < 400; ++b)
    {
        if (b >= 10 && b < 30)
        {
            EXPECT_EQ(targets[b], 0.25f) << b;
            ++held;
        }
        else
            EXPECT_EQ(targets[b], 1.0f) << b; // block 210 brings no second dip
    }
    EXPECT_EQ(held, 20);
    // After the hold the gap to the target closes by 1/80 of itself per block (128 of 10240
    // samples). The float ramps hold each ratio to 3e-5; a release 5 % off moves it by 6e-4, and
    // over one whole release leaves a gap 4.6 % away from (79/80)^80.
    for (int b = 31; b < 150; ++b)
        EXPECT_NEAR((1.0 - gains[b]) / (1.0 - gains[b - 1]), 79.0 / 80.0, 1e-4) << b;
    EXPECT_NEAR((1.0 - gains[110]) / (1.0 - gains[30]), std::pow(79.0 / 80.0, 80), 1e-4);
}

TEST_F(Limiter, PeaksAtTheCeilingKeepUnitGain)
{
    Setup(2, 1.0f);
    Planes p(9600, 2);
    for (size_t i = 0; i < p.data[0].size(); ++i)
        p.data[0][i] = p.data[1][i] = (i % 7 == 0) ? 1.0f : -0.5f;
    const Planes in = p;
    Run(p, 100);
    for (size_t i = 256; i < p.data[0].size(); ++i)
        ASSERT_EQ(p.data[0][i], in.data[0][i - 256]) << i;
    EXPECT_EQ(m_Lim.Gain(0), 1.0f);
    EXPECT_EQ(m_Lim.Gain(1), 1.0f);
}

TEST_F(Limiter, ChannelCountsAreBoundedAndZeroTouchesNothing)
{
    Setup(12, 1.0f); // a format with 12 channels: only the 8 with state are processed
    EXPECT_EQ(m_Lim.Channels(), 8);
    Planes p(300, 12, 0.5f);
    Run(p, 300);
    for (int c = 0; c < 12; ++c)
        EXPECT_EQ(p.data[c][10], c < 8 ? 0.0f : 0.5f) << c;
    m_Lim.Initialise(LimiterWords(0, 48000).data());
    Planes q(300, 8, 0.5f);
    Run(q, 300);
    for (int c = 0; c < 8; ++c)
        EXPECT_EQ(q.data[c][10], 0.5f);
}

TEST_F(Limiter, SilenceAndDenormalsStayFinite)
{
    Setup(2, 2.8183f);
    Planes p(2048, 2);
    for (size_t i = 0; i < 2048; ++i)
        p.data[1][i] = (i % 2) ? 1e-40f : -1e-42f;
    Run(p, 128);
    for (int c = 0; c < 2; ++c)
        for (float v : p.data[c])
            ASSERT_TRUE(std::isfinite(v));
}

TEST_F(Limiter, SettersMarkChannelsAndClearKeepsGains)
{
    Setup(2, 1.0f);
    Planes p(1024, 2, 3.0f);
    Run(p, 1024);
    const float lowered = m_Lim.Gain(0);
    EXPECT_LT(lowered, 1.0f);
    EXPECT_FALSE(m_Lim.ResetPending(0));
    m_Lim.Clear();
    EXPECT_EQ(m_Lim.Gain(0), lowered);
    EXPECT_TRUE(m_Lim.ResetPending(0));
    Run(p, 256);
    m_Lim.SetMode(1);
    Run(p, 256);
    ASSERT_FALSE(m_Lim.ResetPending(1));
    EXPECT_TRUE(m_Lim.SetGainTable(2.0f));
    EXPECT_FALSE(m_Lim.ResetPending(1)); // only mode 0 marks
    m_Lim.SetMode(0);
    Run(p, 256);
    EXPECT_TRUE(m_Lim.SetGainTable(2.0f));
    EXPECT_TRUE(m_Lim.ResetPending(1));
    for (float bad : {NAN, INFINITY, -1.0f, 1e6f})
    {
        EXPECT_FALSE(m_Lim.SetGainTable(bad));
        EXPECT_FALSE(m_Lim.SetCeiling(bad));
    }
    EXPECT_EQ(m_Lim.Ceiling(), 1.0f);
    EXPECT_EQ(m_Lim.Gain(0), 2.0f);
}

} // namespace
