// The positional HRTF virtualiser: its mix against a double reference, ear swapping, position
// quantisation and levels, refusals, block-size independence, and the rendered interaural
// delays and level differences against the rigid-sphere head model (written again here).
#include "driver/effects/hrtf_virtualizer.h"

#include "effects_test_support.h"
#include "driver/base/pool_memory.h"
#include "support/dsp_test_support.h"
#include "support/kernel_test.h"

#include <cmath>
#include <complex>
#include <limits>
#include <memory>
#include <random>

namespace
{
using fx_test::Planes;
constexpr float kDefault[8] = {-30, 30, 0, 0, -150, 150, -100, 100};

// The head model: sphere of 8.75 cm, c = 343 m/s, one pole and one zero per ear, -6.9 dB headroom.
namespace model
{
constexpr double R = 0.0875, C = 343.0, kGain = 0.45;
double Itd(double az)
{
    double a = std::fabs(std::remainder(az, 360.0));
    if (a > 90.0)
        a = 180.0 - a;
    const double t = a * M_PI / 180.0;
    return R / C * (t + std::sin(t));
}
std::complex<double> Ear(double hz, double az, int ear) // ear -1 left, +1 right
{
    const double incidence = std::fabs(std::remainder(az - 90.0 * ear, 360.0));
    const double alpha = 1.05 + 0.95 * std::cos(M_PI * incidence / 150.0);
    const double w = 2 * M_PI * hz / (2 * C / R);
    return kGain * std::complex<double>(1.0, alpha * w) / std::complex<double>(1.0, w);
}
} // namespace model

class Hrtf : public KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        m_V = std::make_unique<HrtfVirtualizer>();
        ASSERT_TRUE(m_V->Create());
    }
    void TearDown() override
    {
        m_V.reset();
        KernelTest::TearDown();
    }
    // The mix written out in double from the stored placement.
    std::vector<double> Reference(const Planes &in, int ear)
    {
        const size_t n = in.data[0].size();
        std::vector<double> y(n, 0.0);
        for (int c = 0; c < 8; ++c)
        {
            HrtfVirtualizer::Placement p{};
            m_V->GetPlacement(c, &p);
            for (size_t i = 0; i < n; ++i)
            {
                if (c == 3)
                {
                    y[i] += p.level / 1024.0 * in.data[c][i];
                    continue;
                }
                double acc = 0.0;
                for (int k = 0; k < 25; ++k)
                {
                    const long j = long(i) - p.delay[ear] - k;
                    if (j >= 0)
                        acc += double(p.taps[ear][k]) * in.data[c][size_t(j)];
                }
                y[i] += (p.level / 1024.0 + 1e-10) * acc;
            }
        }
        for (double &v : y)
            v *= 1.1875;
        return y;
    }
    std::unique_ptr<HrtfVirtualizer> m_V;
};

double RelativeRms(const std::vector<float> &y, const std::vector<double> &r)
{
    double e = 0, s = 0;
    for (size_t i = 0; i < r.size(); ++i)
    {
        e += (y[i] - r[i]) * (y[i] - r[i]);
        s += r[i] * r[i];
    }
    return std::sqrt(e / s);
}

TEST_F(Hrtf, MixMatchesADoubleReferenceForImpulsesAndNoise)
{
    ASSERT_TRUE(m_V->SetPosition(5, 40.0f, 12.0f));
    ASSERT_TRUE(m_V->SetPosition(3, 0.0f, 45.0f));
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int c = 0; c < 8; ++c)
    {
        Planes impulse(700);
        impulse.data[c][5] = 1.0f;
        Planes noise(700);
        for (float &v : noise.data[c])
            v = u(rng);
        for (Planes *p : {&impulse, &noise})
        {
            HrtfVirtualizer fresh;
            ASSERT_TRUE(fresh.Create());
            fresh.SetPosition(5, 40.0f, 12.0f);
            fresh.SetPosition(3, 0.0f, 45.0f);
            const Planes in = *p;
            fresh.Process(p->ptr.data(), 700);
            EXPECT_LT(RelativeRms(p->data[0], Reference(in, 0)), 1e-6) << c;
            EXPECT_LT(RelativeRms(p->data[1], Reference(in, 1)), 1e-6) << c;
            for (int k = 2; k < 8; ++k)
                EXPECT_EQ(p->data[k], in.data[k]);
        }
    }
}

TEST_F(Hrtf, PositionsAreQuantisedAndMirroredAndLevelsFollowDistance)
{
    HrtfVirtualizer::Placement p{}, q{};
    ASSERT_TRUE(m_V->SetPosition(1, 4.4f, 0.5f, 30.0f));
    m_V->GetPlacement(1, &p);
    EXPECT_EQ(p.elevation, 0.0f);
    EXPECT_EQ(p.azimuth, 3.0f);
    EXPECT_EQ(p.level, 1024);
    ASSERT_TRUE(m_V->SetPosition(1, -179.0f, 30.0f));
    m_V->GetPlacement(1, &p);
    EXPECT_EQ(p.azimuth, 180.0f);
    for (float el : {90.0f, -90.0f, 88.0f})
    {
        ASSERT_TRUE(m_V->SetPosition(1, 77.0f, el, 30.0f));
        m_V->GetPlacement(1, &p);
        EXPECT_EQ(p.azimuth, 0.0f) << el;
    }
    ASSERT_TRUE(m_V->SetPosition(1, 70.0f, 45.0f, 30.0f)); // multiples of 6 above 30 degrees
    m_V->GetPlacement(1, &p);
    EXPECT_EQ(p.azimuth, 72.0f);
    // The same channel on the other side: the ears' taps and delays change places.
    ASSERT_TRUE(m_V->SetPosition(0, 30.0f, 30.0f));
    m_V->GetPlacement(0, &p);
    const std::vector<float> left(p.taps[0], p.taps[0] + 25), right(p.taps[1], p.taps[1] + 25);
    ASSERT_TRUE(m_V->SetPosition(0, -30.0f, 30.0f));
    m_V->GetPlacement(0, &q);
    EXPECT_EQ(p.delay[0], q.delay[1]);
    EXPECT_EQ(p.delay[1], q.delay[0]);
    EXPECT_GT(p.delay[0], 0);
    for (int k = 0; k < 25; ++k)
    {
        EXPECT_EQ(left[size_t(k)], q.taps[1][k]);
        EXPECT_EQ(right[size_t(k)], q.taps[0][k]);
    }
    for (float d :
         {0.0f, -5.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), 1.0f})
    {
        ASSERT_TRUE(m_V->SetPosition(2, 0.0f, d));
        m_V->GetPlacement(2, &p);
        EXPECT_EQ(p.level, 6461) << d;
    }
    ASSERT_TRUE(m_V->SetPosition(2, 0.0f, 60.0f));
    m_V->GetPlacement(2, &p);
    EXPECT_EQ(p.level, 512);
}

TEST_F(Hrtf, RefusedCallsChangeNothing)
{
    HrtfVirtualizer::Placement before{}, after{};
    m_V->GetPlacement(4, &before);
    const float centreTap = before.taps[0][12];
    EXPECT_FALSE(m_V->SetPosition(8, 10.0f, 30.0f));
    EXPECT_FALSE(m_V->SetPosition(-1, 10.0f, 30.0f));
    EXPECT_FALSE(m_V->SetPosition(4, std::numeric_limits<float>::quiet_NaN(), 30.0f));
    EXPECT_FALSE(m_V->SetSampleRate(96000));
    EXPECT_EQ(m_V->SampleRate(), 48000);
    m_V->GetPlacement(4, &after);
    EXPECT_EQ(after.azimuth, before.azimuth);
    EXPECT_EQ(after.taps[0][12], centreTap);
    EXPECT_TRUE(m_V->SetSampleRate(44100));
    m_V->GetPlacement(4, &after);
    EXPECT_EQ(after.azimuth, -150.0f);
    EXPECT_NE(after.taps[0][12], centreTap); // the 44100 Hz table
}

TEST_F(Hrtf, AnyBlockSizesGiveOnePass)
{
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    Planes in(6000);
    for (auto &ch : in.data)
        for (float &v : ch)
            v = u(rng);
    Planes whole = in, pieces = in;
    m_V->Process(whole.ptr.data(), 6000);
    HrtfVirtualizer other;
    ASSERT_TRUE(other.Create());
    size_t done = 0;
    for (int32_t size = 1; done < 6000; size = size % 200 + 1)
    {
        const int32_t n = int32_t(std::min<size_t>(size_t(size), 6000 - done));
        other.Process(pieces.At(done).data(), n);
        done += size_t(n);
    }
    EXPECT_EQ(dsp::test::wordsOf(whole.data[0]), dsp::test::wordsOf(pieces.data[0]));
    EXPECT_EQ(dsp::test::wordsOf(whole.data[1]), dsp::test::wordsOf(pieces.data[1]));
}

double BandPower(const std::vector<float> &h, double rate)
{
    double p = 0.0;
    for (double hz = 2000.0; hz <= 8000.0; hz += 50.0)
    {
        std::complex<double> s = 0.0;
        for (size_t i = 0; i < h.size(); ++i)
            s += double(h[i]) * std::polar(1.0, -2 * M_PI * hz * double(i) / rate);
        p += std::norm(s);
    }
    return p;
}

TEST_F(Hrtf, RenderedDelaysAndLevelDifferencesFollowTheHeadModel)
{
    for (int32_t rate : {44100, 48000})
    {
        ASSERT_TRUE(m_V->SetSampleRate(rate));
        double ildOf[8] = {};
        for (int c = 0; c < 8; ++c)
        {
            if (c == 3)
                continue;
            HrtfVirtualizer v;
            ASSERT_TRUE(v.Create());
            ASSERT_TRUE(v.SetSampleRate(rate));
            Planes p(256);
            p.data[c][0] = 1.0f;
            v.Process(p.ptr.data(), 256);
            // Interaural delay: the lag of the largest cross-correlation, positive when the left is late.
            int best = 0;
            double bestValue = -1e300;
            for (int lag = -45; lag <= 45; ++lag)
            {
                double s = 0.0;
                for (int i = 0; i < 256; ++i)
                    if (i - lag >= 0 && i - lag < 256)
                        s += double(p.data[0][size_t(i)]) * p.data[1][size_t(i - lag)];
                if (s > bestValue)
                {
                    bestValue = s;
                    best = lag;
                }
            }
            const double az = kDefault[c];
            const int expected =
                int(std::floor(model::Itd(az) * rate + 0.5)) * (az > 0 ? 1 : (az < 0 ? -1 : 0));
            EXPECT_EQ(best, expected) << rate << " channel " << c;
            double modelLeft = 0.0, modelRight = 0.0;
            for (double hz = 2000.0; hz <= 8000.0; hz += 50.0)
            {
                modelLeft += std::norm(model::Ear(hz, az, -1));
                modelRight += std::norm(model::Ear(hz, az, 1));
            }
            const double ild = 10 * std::log10(BandPower(p.data[0], rate) / BandPower(p.data[1], rate));
            ildOf[c] = ild;
            EXPECT_NEAR(ild, 10 * std::log10(modelLeft / modelRight), 1.0) << rate << " channel " << c;
        }
        EXPECT_NEAR(ildOf[0], -ildOf[1], 1e-9);
        EXPECT_NEAR(ildOf[4], -ildOf[5], 1e-9);
        EXPECT_NEAR(ildOf[6], -ildOf[7], 1e-9);
    }
}

TEST_F(Hrtf, TableTapsFollowTheModelAndDelaysFitTheLines)
{
    for (int32_t rate : {44100, 48000})
    {
        ASSERT_TRUE(m_V->SetSampleRate(rate));
        for (int c = 0; c < 8; ++c)
        {
            if (c == 3)
                continue;
            HrtfVirtualizer::Placement p{};
            m_V->GetPlacement(c, &p);
            EXPECT_LE(p.delay[0], 39);
            EXPECT_LE(p.delay[1], 39);
            for (int ear = 0; ear < 2; ++ear)
                for (double hz = 0.0; hz <= 16000.0; hz += 100.0)
                {
                    std::complex<double> s = 0.0;
                    for (int k = 0; k < 25; ++k)
                        s += double(p.taps[ear][k]) * std::polar(1.0, -2 * M_PI * hz * k / rate);
                    const double want = std::abs(model::Ear(hz, kDefault[c], ear ? 1 : -1));
                    EXPECT_NEAR(20 * std::log10(std::abs(s) / want), 0.0, 1.0)
                        << rate << " " << c << " " << ear << " " << hz;
                }
        }
    }
}

TEST_F(Hrtf, EachFailedAllocationLeavesNothingAndStreamingAllocatesNothing)
{
    for (unsigned k = 1; k <= 2; ++k)
    {
        HrtfVirtualizer v;
        sim::FailAllocation(k);
        EXPECT_FALSE(v.Create()) << k;
        sim::FailAllocation(0);
        EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::HRTF), 1u) << k; // the fixture's engine only
        EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::RP3D), 1u) << k;
        Planes p(64, 8, 0.5f);
        v.Process(p.ptr.data(), 64);
        EXPECT_EQ(p.data[0][0], 0.5f);
    }
    Planes p(480, 8, 0.1f);
    const size_t pool = sim::Allocations();
    dsp::test::AllocationCounter count;
    for (int call = 0; call < 1000; ++call)
        m_V->Process(p.ptr.data(), 480);
    EXPECT_EQ(sim::Allocations(), pool);
    EXPECT_EQ(count.allocations(), 0);
}

} // namespace
