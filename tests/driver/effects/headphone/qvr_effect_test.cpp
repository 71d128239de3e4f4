// The effect as its callers drive it: the setting mappings and what each setter loads or
// selects, the click-free filter change against two fixed engines, the passthrough mix-down,
// failed allocations of create and set-up, ten seconds of streaming without an allocation, the
// effect node's configuration through the adapter, and random settings between blocks.
#include "driver/effects/fx_assert.h"
#include "driver/base/pool_memory.h"
#include "driver/effects/headphone/headphone_surround.h"
#include "driver/effects/headphone/hp_tables.h"

#include "hp_test_support.h"
#include "support/dsp_test_support.h"
#include "support/kernel_test.h"

#include <bit>
#include <cmath>
#include <numbers>
#include <random>

namespace
{
#if defined(__SANITIZE_ADDRESS__)
constexpr int kScale = 5; // sanitizer runs do a fifth of the streaming and random rounds
#else
constexpr int kScale = 1;
#endif

class HeadphoneEffect : public KernelTest
{
protected:
    static void Start(CQvrEffect &fx, uint16_t channels, uint32_t rate = 44100)
    {
        const WAVEFORMATEX fmt = hp_test::Format(channels, rate);
        ASSERT_EQ(fx.SetFormat(&fmt), 0);
        fx.SetEnabled(1);
    }
    // One block of noise through the effect (applies pending requests).
    static void Block(CQvrEffect &fx, uint32_t seed = 1)
    {
        std::vector<std::vector<float>> x(size_t(fx.GetChannels()), std::vector<float>(512));
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> u(-0.5f, 0.5f);
        for (auto &ch : x)
            for (float &v : ch)
                v = u(rng);
        hp_test::Stream(fx, x, 512);
    }
};

TEST_F(HeadphoneEffect, SettingMappings)
{
    struct
    {
        int32_t flag, angle, code;
    } const angles[] = {{0, 0, 24},  {1, 0, 25},  {0, 25, 24}, {1, 25, 25}, {0, 1, 29},  {1, 1, 30},
                        {0, 30, 29}, {1, 30, 30}, {0, 2, 34},  {1, 2, 35},  {0, 35, 34}, {1, 35, 35},
                        {0, 3, 39},  {1, 3, 40},  {0, 40, 39}, {1, 40, 40}, {0, 31, 31}, {1, 31, 31},
                        {0, 4, -1},  {1, 24, -1}, {0, -1, -1}, {1, 41, -1}, {7, 29, -1}};
    for (const auto &a : angles)
        EXPECT_EQ(CQvrEffect::MapAngle(a.flag, a.angle), a.code) << a.flag << " " << a.angle;
    FxAssertReset();
    EXPECT_EQ(CQvrEffect::MapSize(0), 3);
    EXPECT_EQ(CQvrEffect::MapSize(1), 2);
    EXPECT_EQ(CQvrEffect::MapSize(2), 1);
    EXPECT_EQ(FxAssertCount(), 0);
    for (int32_t other : {-1, 3, 99})
        EXPECT_EQ(CQvrEffect::MapSize(other), 2) << other;
    EXPECT_EQ(FxAssertCount(), 3);

    CQvrEffect fx;
    const int32_t rooms[] = {5, 10, 15, 20, 30};
    for (int32_t s = 0; s < 5; ++s)
    {
        fx.SetRoom(s);
        EXPECT_EQ(fx.GetRoom(), rooms[s]);
    }
    fx.SetRoom(7);
    EXPECT_EQ(fx.GetRoom(), 7);
}

TEST_F(HeadphoneEffect, SettersLoadTheirTablesOnTheNextBlock)
{
    CQvrEffect fx;
    Start(fx, 2);
    headphonefir &core = fx.Engine()->m_Core;
    EXPECT_EQ(core.m_nRoom, 2); // the defaults: size 1, angle 40 without the flag
    EXPECT_EQ(core.m_nAngle, 39);
    fx.SetAngle(0, 0);
    EXPECT_EQ(core.m_nAngle, 39); // a request only
    Block(fx);
    EXPECT_EQ(core.m_nAngle, 24);
    EXPECT_EQ(core.m_nTailParts, 3); // 3072 samples, two ears
    EXPECT_EQ(core.m_nHeadParts, 2);
    fx.SetAngleFlag(0, 1);
    Block(fx);
    EXPECT_EQ(core.m_nAngle, 25);
    EXPECT_EQ(core.m_nTailParts, 5); // 5120
    fx.SetSize(0, 0);
    Block(fx);
    EXPECT_EQ(core.m_nRoom, 3);
    EXPECT_EQ(core.m_nTailParts, 7); // 7168
    fx.SetAngle(0, 31);
    Block(fx);
    EXPECT_EQ(core.m_nTailParts, 6); // the third table's 6144

    // The second setting in tail mode 0 is stored only.
    const uint32_t fades = core.m_nCrossfades;
    fx.SetAngle(1, 2);
    fx.SetSize(1, 2);
    Block(fx);
    EXPECT_EQ(core.m_nAngle, 31);
    EXPECT_EQ(core.m_nRoom, 3);
    EXPECT_EQ(core.m_nCrossfades, fades);
    EXPECT_EQ(fx.GetAngle(1), 2);
    EXPECT_EQ(fx.GetSize(1), 2);
}

TEST_F(HeadphoneEffect, TailSelections)
{
    CQvrEffect fx, twin;
    Start(fx, 2);
    Start(twin, 2);
    headphonefir &core = fx.Engine()->m_Core;
    const int32_t codes[] = {5, 10, 15, 20, 30};
    fx.SetTailMode(1);
    for (int32_t s = 0; s < 5; ++s)
    {
        fx.SetRoom(s);
        Block(fx);
        EXPECT_EQ(core.m_nCTCAngle, codes[s]);
        EXPECT_FALSE(core.m_bUnityGains);
        std::vector<float> gs(256);
        for (int i = 0; i < 256; ++i)
            gs[size_t(i)] = std::bit_cast<float>(HpTailGainWords(s)[2 * i]) +
                            std::bit_cast<float>(HpTailGainWords(s)[2 * i + 1]);
        std::vector<float> spec(1024);
        ASSERT_EQ(GainsToSpectrum(gs.data(), spec.data(), 256), 0);
        EXPECT_EQ(std::vector<float>(core.GainSpectrum(0), core.GainSpectrum(0) + 1024), spec);
    }
    fx.SetRoom(7);
    Block(fx);
    EXPECT_EQ(core.m_nCTCAngle, 7);
    EXPECT_TRUE(core.m_bUnityGains);
    fx.SetTailMode(0);
    Block(fx);
    EXPECT_EQ(core.m_nCTCAngle, 0);

    // Selecting the current code does nothing (the history stays); a new one clears it.
    twin.SetTailMode(1);
    twin.SetRoom(3);
    fx.SetTailMode(1);
    fx.SetRoom(3);
    for (uint32_t b = 0; b < 3; ++b)
    {
        Block(fx, 10 + b);
        Block(twin, 10 + b);
    }
    fx.SetRoom(3);
    std::vector<std::vector<float>> x(2, std::vector<float>(1024, 0.25f));
    EXPECT_EQ(hp_test::Stream(fx, x, 512), hp_test::Stream(twin, x, 512));

    headphonefir a, fresh;
    ASSERT_TRUE(a.Create() && fresh.Create());
    ASSERT_TRUE(a.LoadTable(2, 39) && fresh.LoadTable(2, 39));
    a.SelectTail(5);
    fresh.SelectTail(10);
    std::vector<float> in0(512, 0.3f), in1(512, -0.2f), o0(512), o1(512), f0(512), f1(512);
    float *in[2] = {in0.data(), in1.data()}, *out[2] = {o0.data(), o1.data()},
          *fo[2] = {f0.data(), f1.data()};
    for (int b = 0; b < 3; ++b)
        ASSERT_TRUE(a.Process(in, 2, out, 2, 512));
    a.SelectTail(10);
    ASSERT_TRUE(a.Process(in, 2, out, 2, 512));
    ASSERT_TRUE(fresh.Process(in, 2, fo, 2, 512));
    EXPECT_EQ(o0, f0);
    EXPECT_EQ(o1, f1);
}

TEST_F(HeadphoneEffect, FilterChangeCrossfadesOverOneBlockWithoutAStep)
{
    CQvrEffect fx, oldFx, newFx;
    Start(fx, 2);
    Start(oldFx, 2);
    Start(newFx, 2);
    ASSERT_TRUE(newFx.Engine()->m_Core.LoadTable(2, 25));
    constexpr int k = 6;
    const size_t n = 512 * (k + 4);
    std::vector<std::vector<float>> x(2, std::vector<float>(n, 0.0f));
    for (size_t i = 0; i < n; ++i)
        x[0][i] = float(0.5 * std::sin(2.0 * std::numbers::pi * 1000.0 * double(i) / 44100.0));
    auto head = x, tail = x;
    for (auto &ch : head)
        ch.resize(512 * k);
    for (auto &ch : tail)
        ch.erase(ch.begin(), ch.begin() + 512 * k);
    auto y = hp_test::Stream(fx, head, 480);
    fx.SetAngleFlag(0, 1); // 40 with the flag: code 40, then angle 0: code 25
    fx.SetAngle(0, 0);
    const auto y2 = hp_test::Stream(fx, tail, 480);
    for (int e = 0; e < 2; ++e)
        y[size_t(e)].insert(y[size_t(e)].end(), y2[size_t(e)].begin(), y2[size_t(e)].end());
    const auto yo = hp_test::Stream(oldFx, x, 480), yn = hp_test::Stream(newFx, x, 480);
    EXPECT_EQ(fx.Engine()->m_Core.m_nAngle, 25);
    EXPECT_EQ(fx.Engine()->m_Core.m_nCrossfades, 1u);
    // Block k's ears leave one block later.
    const size_t start = 512 * (k + 1);
    for (int e = 0; e < 2; ++e)
    {
        for (size_t i = 0; i < 512; ++i)
        {
            const double w = double(i) / 512.0;
            const double want = (1.0 - w) * yo[size_t(e)][start + i] + w * yn[size_t(e)][start + i];
            ASSERT_NEAR(y[size_t(e)][start + i], want, 1e-6) << e << " " << i;
        }
        double steady = 0, step = 0;
        for (size_t i = start - 512; i < start + 1024; ++i)
        {
            steady = std::max({steady, std::fabs(double(yo[size_t(e)][i]) - yo[size_t(e)][i - 1]),
                               std::fabs(double(yn[size_t(e)][i]) - yn[size_t(e)][i - 1])});
            step = std::max(step, std::fabs(double(y[size_t(e)][i]) - y[size_t(e)][i - 1]));
        }
        EXPECT_LE(step, 1.05 * steady) << e;
    }
}

TEST_F(HeadphoneEffect, PassthroughMixesDownAndStandsInForTheEngine)
{
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    auto noise = [&](uint16_t channels)
    {
        std::vector<std::vector<float>> x(channels, std::vector<float>(300));
        for (auto &ch : x)
            for (float &v : ch)
                v = u(rng);
        return x;
    };
    auto mix = [](const std::vector<std::vector<float>> &x, size_t ch, size_t i)
    {
        const size_t n = x.size();
        const bool quad = n == 4;
        const float back = quad ? x[2 + ch][i] : n > 4 + ch ? x[4 + ch][i] : 0.0f;
        const float centre = !quad && n >= 3 ? 0.707f * x[2][i] : 0.0f;
        float v = 0.5f * (x[ch][i] + back) + centre;
        if (n == 8)
            v = v + 0.25f * x[6 + ch][i];
        return v;
    };
    for (uint16_t channels = 1; channels <= 8; ++channels)
    {
        CQvrEffect fx;
        const WAVEFORMATEX fmt = hp_test::Format(channels, 44100);
        ASSERT_EQ(fx.SetFormat(&fmt), 0);
        const auto x = noise(channels);
        const auto y = hp_test::Stream(fx, x, 100); // disabled
        for (size_t i = 0; i < 300; ++i)
            for (size_t ch = 0; ch < std::min<size_t>(2, channels); ++ch)
                ASSERT_EQ(y[ch][i], channels <= 2 ? x[ch][i] : mix(x, ch, i)) << channels << " " << i;
    }
    // Enabled with 5 channels: the core refuses them, counted, and the mix-down runs.
    CQvrEffect five;
    Start(five, 5);
    FxAssertReset();
    const auto x = noise(5);
    const auto y = hp_test::Stream(five, x, 300);
    EXPECT_GE(FxAssertCount(), 1);
    EXPECT_STREQ(FxAssertLastCondition(), "CheckNumInChans(nInCh)");
    for (size_t i = 0; i < 300; ++i)
        ASSERT_EQ(y[0][i], mix(x, 0, i));
    // A failed set-up (a 14700 Hz stream would need a factor of 3) leaves the passthrough.
    CQvrEffect failed;
    const WAVEFORMATEX odd = hp_test::Format(6, 14700);
    EXPECT_EQ(failed.SetFormat(&odd), -1);
    failed.SetEnabled(1);
    const auto x6 = noise(6);
    const auto y6 = hp_test::Stream(failed, x6, 300);
    for (size_t i = 0; i < 300; ++i)
        ASSERT_EQ(y6[1][i], mix(x6, 1, i));
}

TEST_F(HeadphoneEffect, FailedAllocationsGiveMinusOneOrThePassthroughAndLeakNothing)
{
    const auto x = []
    {
        std::vector<std::vector<float>> v(8, std::vector<float>(600));
        for (size_t c = 0; c < 8; ++c)
            for (size_t i = 0; i < 600; ++i)
                v[c][i] = float(std::sin(0.01 * double(i * (c + 1))));
        return v;
    }();
    auto passthrough = [&](CQvrEffect &fx)
    {
        const auto y = hp_test::Stream(fx, x, 300);
        auto want = x;
        float *p[8];
        for (size_t c = 0; c < 8; ++c)
            p[c] = want[c].data();
        CQvrEffect::Passthrough(p, 8, 600);
        return y[0] == want[0] && y[1] == want[1];
    };
    auto leakFree = []
    {
        return sim::pool::OutstandingBlocks(PoolTag::QVRP) == 0 &&
               sim::pool::OutstandingBlocks(PoolTag::HFIR) == 0 &&
               sim::pool::OutstandingBlocks(PoolTag::PRIM) == 0;
    };
    size_t before = sim::Allocations();
    {
        CQvrEffect probe;
    }
    const size_t createAllocations = sim::Allocations() - before;
    ASSERT_GT(createAllocations, 3u);
    for (size_t k = 1; k <= createAllocations; ++k)
    {
        {
            sim::FailAllocation(unsigned(k));
            CQvrEffect fx;
            sim::FailAllocation(0);
            const WAVEFORMATEX fmt = hp_test::Format(8, 44100);
            fx.SetEnabled(1);
            if (!fx.Engine())
                EXPECT_EQ(fx.SetFormat(&fmt), -1) << k;
            else
            {
                EXPECT_TRUE(passthrough(fx)) << k;
                // The next set-up, with memory to spare, brings the engine back.
                EXPECT_EQ(fx.SetFormat(&fmt), 0) << k;
                EXPECT_TRUE(fx.Engine()->m_Core.m_bLoaded) << k;
            }
        }
        EXPECT_TRUE(leakFree()) << k;
    }
    for (bool linear : {false, true})
    {
        CQvrEffect fx;
        fx.SetEnabled(1);
        ASSERT_NE(fx.Engine(), nullptr);
        before = sim::Allocations();
        ASSERT_TRUE(fx.Engine()->Setup(192000, 8, 2, 256, linear));
        const size_t setupAllocations = sim::Allocations() - before;
        ASSERT_GT(setupAllocations, 10u);
        for (size_t k = 1; k <= setupAllocations; ++k)
        {
            sim::FailAllocation(unsigned(k));
            if (linear)
                EXPECT_FALSE(fx.Engine()->Setup(192000, 8, 2, 256, true)) << k;
            else
            {
                const WAVEFORMATEX fmt = hp_test::Format(8, 192000);
                EXPECT_EQ(fx.SetFormat(&fmt), -1) << k;
            }
            sim::FailAllocation(0);
            EXPECT_TRUE(passthrough(fx)) << linear << " " << k;
        }
    }
    EXPECT_TRUE(leakFree());
}

TEST_F(HeadphoneEffect, StreamingAllocatesNothingThroughChangesAndSelections)
{
    CQvrEffect fx;
    Start(fx, 8);
    const size_t calls = 919 / kScale; // 10 s of 480-frame calls at 44100 Hz
    std::vector<std::vector<float>> x(8, std::vector<float>(480));
    for (size_t c = 0; c < 8; ++c)
        for (size_t i = 0; i < 480; ++i)
            x[c][i] = float(0.3 * std::sin(0.02 * double(i) * double(c + 1)));
    float *p[8];
    for (size_t c = 0; c < 8; ++c)
        p[c] = x[c].data();
    const size_t pool = sim::Allocations(), qvrp = sim::pool::OutstandingBytes(PoolTag::QVRP);
    dsp::test::AllocationCounter count;
    for (size_t call = 0; call < calls; ++call)
    {
        if (call == calls / 3)
            fx.SetAngle(0, 1);
        if (call == calls / 2)
        {
            fx.SetTailMode(1);
            fx.SetRoom(2);
        }
        fx.Process(p, 480);
    }
    EXPECT_EQ(fx.Engine()->m_Core.m_nCrossfades, 1u);
    EXPECT_EQ(fx.Engine()->m_Core.m_nCTCAngle, 15);
    EXPECT_EQ(sim::Allocations(), pool);
    EXPECT_EQ(sim::pool::OutstandingBytes(PoolTag::QVRP), qvrp);
    EXPECT_EQ(count.allocations(), 0);
}

TEST_F(HeadphoneEffect, EffectNodeConfigurationThroughTheAdapter)
{
    HeadphoneSurround hs;
    EXPECT_EQ(hs.GetThirdValue(0), 40);
    EXPECT_EQ(hs.GetThirdValue(1), 40);
    hs.SetActive(TRUE);
    hs.SetPath(0);
    hs.SetThirdValue(0, 3);
    hs.SetThirdValue(1, 3);
    hs.SetOutput(0);
    EXPECT_EQ(hs.GetFirstValue(0), 1);  // parameter 0
    EXPECT_EQ(hs.GetSecondValue(0), 0); // parameter 1
    EXPECT_EQ(hs.GetOutput(), 5);
    const WAVEFORMATEX fmt = hp_test::Format(8, 48000);
    ASSERT_EQ(hs.SetFormat(&fmt), 0);
    std::vector<std::vector<float>> x(8, std::vector<float>(512, 0.1f));
    const auto untouched = x;
    float *p[8];
    for (size_t c = 0; c < 8; ++c)
        p[c] = x[c].data();
    SurroundProcess(&hs, p, 512);
    SurroundProcess(nullptr, p, 512);
    EXPECT_EQ(hs.Engine()->m_Core.m_nAngle, 39);
    EXPECT_EQ(hs.Engine()->m_Core.m_nRoom, 2);
    for (size_t c = 2; c < 8; ++c)
        EXPECT_EQ(x[c], untouched[c]) << c;
    hs.SetPath(1);
    EXPECT_EQ(hs.GetPath(), 1);
    SurroundProcess(&hs, p, 512);
    EXPECT_EQ(hs.Engine()->m_Core.m_nCTCAngle, 5);
}

TEST_F(HeadphoneEffect, RandomSettingsBetweenBlocks)
{
    CQvrEffect fx;
    Start(fx, 6);
    const WAVEFORMATEX zero = hp_test::Format(0, 44100), nine = hp_test::Format(9, 44100);
    EXPECT_EQ(fx.SetFormat(&zero), -1);
    EXPECT_EQ(fx.SetFormat(&nine), -1);
    EXPECT_EQ(fx.GetChannels(), 6);
    EXPECT_EQ(fx.Engine()->m_nStreamRate, 44100);

    std::mt19937 rng(77);
    auto any = [&]() -> int32_t
    {
        switch (rng() % 4)
        {
        case 0:
            return int32_t(rng() % 8) - 2;
        case 1:
            return int32_t(rng() % 45);
        case 2:
            return -int32_t(rng() >> 1);
        default:
            return int32_t(rng() >> 1);
        }
    };
    const uint32_t rates[] = {8000,  11025, 22050,  32000,  44100, 48000,
                              88200, 96000, 176400, 192000, 0,     4000000000u};
    std::vector<std::vector<float>> x(8, std::vector<float>(2048));
    const int calls = 100000 / kScale;
    for (int call = 0; call < calls; ++call)
    {
        const int32_t which = int32_t(rng() % 3) - (rng() % 7 == 0 ? 5 : 0);
        switch (rng() % 9)
        {
        case 0:
            fx.SetAngle(which, any());
            break;
        case 1:
            fx.SetSize(which, any());
            break;
        case 2:
            fx.SetAngleFlag(which, any());
            break;
        case 3:
            fx.SetRoom(any());
            break;
        case 4:
            fx.SetTailMode(any());
            break;
        case 5:
            fx.SetEnabled(any());
            break;
        case 6:
            if (rng() % 50 == 0)
            {
                const WAVEFORMATEX fmt = hp_test::Format(uint16_t(rng() % 11), rates[rng() % 12]);
                fx.SetFormat(&fmt);
            }
            break;
        default:
            break;
        }
        if (call % 100 != 0)
            continue;
        for (auto &ch : x)
            for (float &v : ch)
                v = float(int32_t(rng() % 2001) - 1000) / 1000.0f;
        float *p[8];
        for (size_t c = 0; c < 8; ++c)
            p[c] = x[c].data();
        const int32_t count = int32_t(rng() % 2049) - (rng() % 20 == 0 ? 100 : 0);
        fx.Process(p, count);
        for (int c = 0; c < 2; ++c)
            for (float v : x[size_t(c)])
                ASSERT_TRUE(std::isfinite(v)) << call;
    }
}

} // namespace
