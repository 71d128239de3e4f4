// The per-stream chain: table choice by rate, the unit-impulse tables costing nothing and
// sounding as the limiter alone, a real FIR table against the reference convolution across
// pieces and calls, reset, repeated set-up, and every allocation failed in turn.
#include "driver/effects/chain_adapters.h"

#include "effects_test_support.h"
#include "support/dsp_test_support.h"
#include "driver/base/pool_memory.h"
#include "support/fir_reference.h"
#include "support/kernel_test.h"

#include <cmath>
#include <memory>

namespace
{
using fx_test::FloatFormat;
using fx_test::LimiterWords;
using fx_test::Planes;

// A 101-tap windowed-sinc low-pass at a quarter of the rate, for the tests only.
std::vector<float> LowPass()
{
    std::vector<float> h(DspChain::TAPS);
    for (int k = 0; k < DspChain::TAPS; ++k)
    {
        const double t = k - 50;
        const double sinc = t == 0 ? 0.5 : std::sin(M_PI * 0.5 * t) / (M_PI * t);
        h[size_t(k)] = float(sinc * (0.54 - 0.46 * std::cos(2 * M_PI * k / 100.0)));
    }
    return h;
}

class Chain : public KernelTest
{
protected:
    void TearDown() override
    {
        m_Chain.reset();
        KernelTest::TearDown();
    }
    void Make(const float *t48 = nullptr, const float *tOther = nullptr)
    {
        m_Chain = std::make_unique<DspChain>(t48, tOther);
    }
    void Configure(uint16_t channels, uint32_t rate)
    {
        ASSERT_TRUE(DspChainInit(m_Chain.get()));
        DspChainSetMode(m_Chain.get(), 0);
        ASSERT_TRUE(DspChainSetGains(m_Chain.get(), 1.0f));
        ASSERT_TRUE(DspChainSetMasterGain(m_Chain.get(), 1.0f));
        const WAVEFORMATEXTENSIBLE f = FloatFormat(channels, rate);
        DspChainSetFormat(m_Chain.get(), &f);
    }
    void Run(Planes &p, size_t chunk)
    {
        for (size_t done = 0; done < p.data[0].size(); done += chunk)
            DspChainProcess(m_Chain.get(), p.At(done).data(),
                            int32_t(std::min(chunk, p.data[0].size() - done)));
    }
    std::unique_ptr<DspChain> m_Chain;
};

TEST_F(Chain, RateSelectsTheTable)
{
    const std::vector<float> a = LowPass(), b = LowPass();
    Make(a.data(), b.data());
    Configure(2, 48000);
    EXPECT_EQ(m_Chain->m_ActiveTaps, a.data());
    for (uint32_t rate : {44100u, 96000u})
    {
        const WAVEFORMATEXTENSIBLE f = FloatFormat(2, rate);
        DspChainSetFormat(m_Chain.get(), &f);
        EXPECT_EQ(m_Chain->m_ActiveTaps, b.data()) << rate;
    }
}

TEST_F(Chain, GeneratedTablesSoundAsTheLimiterAloneAndTakeOnlyItsBlocks)
{
    Make();
    const size_t before = sim::pool::OutstandingBlocks(PoolTag::DSPs);
    Configure(2, 44100);
    EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::DSPs) - before, size_t(PeakLimiter::MAX_CHANNELS));
    EXPECT_EQ(m_Chain->m_ActiveTaps, nullptr);
    ASSERT_TRUE(DspChainInit(m_Chain.get())); // again: TRUE, nothing more allocated
    EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::DSPs) - before, size_t(PeakLimiter::MAX_CHANNELS));

    PeakLimiter alone;
    ASSERT_TRUE(alone.Allocate());
    alone.SetMode(0);
    alone.SetGainTable(1.0f);
    alone.SetCeiling(1.0f);
    alone.Initialise(LimiterWords(2, 44100).data());
    Planes p(4800, 2);
    dsp::test::F32Source src(2);
    for (auto &ch : p.data)
        for (float &v : ch)
            v = src.uniform(-3.0f, 3.0f);
    Planes q = p;
    Run(p, 480);
    for (size_t done = 0; done < 4800; done += 480)
        alone.Process(q.At(done).data(), 480);
    EXPECT_EQ(dsp::test::wordsOf(p.data[0]), dsp::test::wordsOf(q.data[0]));
    EXPECT_EQ(dsp::test::wordsOf(p.data[1]), dsp::test::wordsOf(q.data[1]));
}

TEST_F(Chain, AFirTableFiltersAcrossPiecesAndResetClearsItsHistory)
{
    const std::vector<float> h = LowPass();
    Make(h.data(), h.data());
    Configure(2, 48000);
    auto check = [&](uint32_t seed)
    {
        const size_t n = 4800;
        Planes p(n, 2);
        const std::vector<float> x = fir_test::uniformSignal(n, seed);
        p.data[0] = x;
        for (size_t i = 0; i < n; ++i)
            p.data[1][i] = -0.5f * x[i];
        p.Point();
        for (auto &ch : p.data)
            for (float &v : ch)
                v *= 0.25f; // well under the ceiling: the limiter passes at unit gain
        const std::vector<float> y0 = fir_test::firReference(h, p.data[0]);
        const std::vector<float> y1 = fir_test::firReference(h, p.data[1]);
        Run(p, 480);
        for (size_t i = 256; i < n; ++i)
        {
            ASSERT_EQ(dsp::test::f32Bits(p.data[0][i]), dsp::test::f32Bits(y0[i - 256])) << i;
            ASSERT_EQ(dsp::test::f32Bits(p.data[1][i]), dsp::test::f32Bits(y1[i - 256])) << i;
        }
    };
    check(1);
    DspChainReset(m_Chain.get());
    check(2); // from silence again: no tail of the first signal, in the FIR or the limiter
}

TEST_F(Chain, EachFailedAllocationLeavesNothingAndProcessingIdle)
{
    const std::vector<float> h = LowPass();
    for (bool withFir : {false, true})
    {
        for (unsigned k = 1;; ++k)
        {
            withFir ? Make(h.data(), h.data()) : Make();
            sim::FailAllocation(k);
            const BOOLEAN ok = DspChainInit(m_Chain.get());
            sim::FailAllocation(0);
            if (ok)
            {
                EXPECT_EQ(k, withFir ? 17u : 9u);
                break;
            }
            EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::DSPs), 0u) << k;
            Planes p(300, 2, 0.5f);
            DspChainProcess(m_Chain.get(), p.ptr.data(), 300);
            EXPECT_EQ(p.data[0][0], 0.5f);
        }
        m_Chain.reset();
        EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::DSPs), 0u);
    }
}

TEST_F(Chain, TenSecondsAllocateNothing)
{
    const std::vector<float> h = LowPass();
    Make(h.data(), h.data());
    Configure(8, 48000);
    Planes p(480, 8, 0.1f);
    const size_t pool = sim::Allocations();
    dsp::test::AllocationCounter count;
    for (int call = 0; call < 1000; ++call)
        DspChainProcess(m_Chain.get(), p.ptr.data(), 480);
    EXPECT_EQ(sim::Allocations(), pool);
    EXPECT_EQ(count.allocations(), 0);
}

} // namespace
