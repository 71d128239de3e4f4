// The core against a double-precision direct convolution with the loaded filters (impulses and
// noise in every input, through the fold and the LFE routing, one block late through the
// effect), the sum/difference form of a symmetric set, refused sets, and every crosstalk-cancel
// table against the block algorithm in double with the gains on the spectra.
#include "driver/effects/fx_assert.h"
#include "driver/effects/headphone/headphonefir.h"
#include "driver/effects/headphone/hp_tables.h"

#include "hp_test_support.h"
#include "support/kernel_test.h"

#include <fftw3.h>

#include <bit>
#include <complex>
#include <cstring>
#include <random>

namespace
{
using hp_test::Filters;

class HeadphoneCore : public KernelTest
{
protected:
    // An enabled effect at 44100 Hz with `channels` and caller filters.
    void Start(CQvrEffect &fx, uint16_t channels, const Filters &f)
    {
        const WAVEFORMATEX fmt = hp_test::Format(channels, 44100);
        ASSERT_EQ(fx.SetFormat(&fmt), 0);
        fx.SetEnabled(1);
        ASSERT_TRUE(f.LoadInto(fx.Engine()->m_Core));
    }
};

std::vector<float> Noise(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    std::vector<float> v(n);
    for (float &x : v)
        x = u(rng);
    return v;
}

TEST_F(HeadphoneCore, EarsEqualDirectConvolutionOneBlockLate)
{
    const Filters f = Filters::Random(11, 1024, 1536);
    constexpr size_t n = 2048;
    for (uint16_t channels : {uint16_t(8), uint16_t(6), uint16_t(2)})
        for (int32_t c = 0; c < channels; ++c)
            for (bool noise : {false, true})
            {
                if (channels != 8 && c > 1)
                    continue; // 6 and 2 channels: their front pair (the rest is the 8's routing)
                CQvrEffect fx;
                Start(fx, channels, f);
                std::vector<std::vector<float>> x(channels, std::vector<float>(n, 0.0f));
                if (noise)
                    x[size_t(c)] = Noise(n, 5u + uint32_t(c));
                else
                    x[size_t(c)][700] = 1.0f;
                const auto ref = hp_test::DirectEars(x, channels, f);
                // 10 ms at 44.1 kHz: the framing meets counts of every remainder.
                const auto ears = hp_test::Stream(fx, x, 441);
                for (int e = 0; e < 2; ++e)
                    EXPECT_LT(hp_test::RelativeRms(ears[size_t(e)], ref[size_t(e)], 512), 1e-5)
                        << channels << " channels, input " << c << (noise ? " noise" : " impulse") << ", ear "
                        << e;
            }
}

TEST_F(HeadphoneCore, SymmetricSetAndItsFiveFilterFormGiveTheSameEars)
{
    Filters ten = Filters::Random(3, 1024, 1024);
    // Left-right symmetric: R's ears are L's swapped, the centre the same at both, rears alike.
    for (int32_t pair : {0, 3})
    {
        const int32_t a = pair == 0 ? 0 : 3, b = a + 1;
        for (int32_t k = 0; k < ten.headLen; ++k)
        {
            ten.head[size_t(2 * b * ten.headLen + ten.headLen + k)] =
                ten.head[size_t(2 * a * ten.headLen + k)];
            ten.head[size_t(2 * b * ten.headLen + k)] =
                ten.head[size_t(2 * a * ten.headLen + ten.headLen + k)];
        }
    }
    for (int32_t k = 0; k < ten.headLen; ++k)
        ten.head[size_t(5 * ten.headLen + k)] = ten.head[size_t(4 * ten.headLen + k)];
    Filters five = ten;
    five.nhead = 5;
    five.head.clear();
    for (int32_t src : {0, 1, 4, 6, 7}) // L ipsi, L contra, C, RL ipsi, RL contra
        five.head.insert(five.head.end(), ten.Head(src), ten.Head(src) + ten.headLen);

    std::vector<std::vector<float>> x;
    for (uint32_t c = 0; c < 8; ++c)
        x.push_back(Noise(4096, 40 + c));
    CQvrEffect a, b;
    Start(a, 8, ten);
    Start(b, 8, five);
    const auto ya = hp_test::Stream(a, x, 480), yb = hp_test::Stream(b, x, 480);
    for (int e = 0; e < 2; ++e)
    {
        std::vector<double> ref(ya[size_t(e)].begin(), ya[size_t(e)].end());
        EXPECT_LT(hp_test::RelativeRms(yb[size_t(e)], ref, 0), 1e-5) << e;
    }

    // Switching the loaded form mid-stream keeps the history: the sum/difference rings are
    // converted, so the ears stay those of the 10-filter set.
    CQvrEffect c;
    Start(c, 8, ten);
    auto first = x, second = x;
    for (auto &ch : first)
        ch.resize(2048);
    for (auto &ch : second)
        ch.erase(ch.begin(), ch.begin() + 2048);
    const auto y1 = hp_test::Stream(c, first, 512);
    ASSERT_TRUE(five.LoadInto(c.Engine()->m_Core));
    const auto y2 = hp_test::Stream(c, second, 512);
    std::vector<double> ref(ya[0].begin() + 2048, ya[0].end());
    EXPECT_LT(hp_test::RelativeRms(y2[0], ref, 0), 1e-5);
}

TEST_F(HeadphoneCore, RefusedSetsAreCountedAndKeepThePreviousFilters)
{
    CQvrEffect fx;
    const Filters f = Filters::Random(8, 1024, 512);
    Start(fx, 2, f);
    headphonefir &core = fx.Engine()->m_Core;
    std::vector<float> head(10 * 1024, 0.25f), tail(2 * 4096, 0.0f);
    for (int32_t nhead : {3, 7})
    {
        FxAssertReset();
        EXPECT_FALSE(core.LoadFilters(head.data(), nhead, 1024, tail.data(), 2, 512));
        EXPECT_EQ(FxAssertCount(), 1) << nhead;
        EXPECT_STREQ(FxAssertLastCondition(), "nhead==5 || nhead==10");
    }
    FxAssertReset();
    EXPECT_FALSE(core.LoadFilters(head.data(), 10, 1000, tail.data(), 2, 512));
    EXPECT_STREQ(FxAssertLastCondition(), "headlen%HEADPHONEFIR_N==0");
    EXPECT_FALSE(core.LoadFilters(head.data(), 10, 1024, tail.data(), 3, 512));
    EXPECT_STREQ(FxAssertLastCondition(), "ntail==2");
    EXPECT_FALSE(core.LoadFilters(head.data(), 10, 1024, tail.data(), 2, 4096)); // 8 partitions
    EXPECT_EQ(core.m_nTailParts, 1);

    // The stream still runs the first set.
    std::vector<std::vector<float>> x{Noise(2048, 1), Noise(2048, 2)};
    const auto ref = hp_test::DirectEars(x, 2, f);
    const auto y = hp_test::Stream(fx, x, 256);
    EXPECT_LT(hp_test::RelativeRms(y[0], ref[0], 512), 1e-5);

    // Seven partitions a tail filter, the largest table's 7168 samples, still load.
    FxAssertReset();
    EXPECT_TRUE(core.LoadFilters(head.data(), 10, 1024, tail.data(), 2, 7 * 512));
    EXPECT_EQ(core.m_nTailParts, 7);
    EXPECT_EQ(FxAssertCount(), 0);
}

// Overlap-save in double with the gains on the ear spectra: S = YL + YR and D = YL - YR scaled by
// the sum and difference gain of bin k (gain k / 2), YL = (S gs + D gd) / 2, YR = (S gs - D gd) / 2.
std::vector<std::vector<double>> BlockReference(const std::vector<std::vector<float>> &x, const Filters &f,
                                                const std::vector<double> &gs, const std::vector<double> &gd)
{
    constexpr int N = 512, L = 1024, B = L / 2 + 1;
    const size_t n = x[0].size();
    std::vector<double> buf(L);
    std::vector<std::complex<double>> spec(B);
    fftw_plan fwd =
        fftw_plan_dft_r2c_1d(L, buf.data(), reinterpret_cast<fftw_complex *>(spec.data()), FFTW_ESTIMATE);
    fftw_plan inv =
        fftw_plan_dft_c2r_1d(L, reinterpret_cast<fftw_complex *>(spec.data()), buf.data(), FFTW_ESTIMATE);
    auto transform = [&](const std::vector<double> &v)
    {
        buf = v;
        fftw_execute(fwd);
        return spec;
    };
    auto partition = [&](const float *h, int32_t len, int32_t p)
    {
        std::vector<double> v(L, 0.0);
        for (int32_t k = 0; k < N && p * N + k < len; ++k)
            v[size_t(k)] = h[p * N + k];
        return transform(v);
    };
    std::vector<std::vector<double>> ears(2, std::vector<double>(n));
    std::vector<std::vector<std::vector<std::complex<double>>>> hist(2); // per input, newest first
    std::vector<std::vector<std::complex<double>>> tailHist;
    for (size_t blk = 0; blk * N < n; ++blk)
    {
        std::vector<std::complex<double>> sum(B);
        for (int c = 0; c < 2; ++c)
        {
            std::vector<double> frame(L, 0.0);
            for (int i = 0; i < L; ++i)
            {
                const long t = long(blk * N) - N + i;
                frame[size_t(i)] = t >= 0 && size_t(t) < n ? x[size_t(c)][size_t(t)] : 0.0;
            }
            auto X = transform(frame);
            hist[size_t(c)].insert(hist[size_t(c)].begin(), X);
            for (int k = 0; k < B; ++k)
                sum[size_t(k)] += X[size_t(k)];
        }
        tailHist.insert(tailHist.begin(), sum);
        std::vector<std::complex<double>> Y[2] = {std::vector<std::complex<double>>(B),
                                                  std::vector<std::complex<double>>(B)};
        for (int e = 0; e < 2; ++e)
        {
            for (int c = 0; c < 2; ++c)
                for (int p = 0; p < 2 && size_t(p) < hist[size_t(c)].size(); ++p)
                {
                    const auto H = partition(f.Head(2 * c + e), f.headLen, p);
                    for (int k = 0; k < B; ++k)
                        Y[e][size_t(k)] += hist[size_t(c)][size_t(p)][size_t(k)] * H[size_t(k)];
                }
            for (int p = 0; p * N < f.tailLen && size_t(p) < tailHist.size(); ++p)
            {
                const auto T = partition(f.Tail(e), f.tailLen, p);
                for (int k = 0; k < B; ++k)
                    Y[e][size_t(k)] += tailHist[size_t(p)][size_t(k)] * T[size_t(k)];
            }
        }
        for (int k = 0; k < B; ++k)
        {
            const int g = k == B - 1 ? 255 : k / 2;
            const auto S = (Y[0][size_t(k)] + Y[1][size_t(k)]) * gs[size_t(g)];
            const auto D = (Y[0][size_t(k)] - Y[1][size_t(k)]) * gd[size_t(g)];
            Y[0][size_t(k)] = 0.5 * (S + D);
            Y[1][size_t(k)] = 0.5 * (S - D);
        }
        for (int e = 0; e < 2; ++e)
        {
            spec = Y[e];
            fftw_execute(inv);
            for (int i = 0; i < N && blk * N + size_t(i) < n; ++i)
                ears[size_t(e)][blk * N + size_t(i)] = 2.0 * buf[size_t(N + i)] / L;
        }
    }
    fftw_destroy_plan(fwd);
    fftw_destroy_plan(inv);
    return ears;
}

TEST_F(HeadphoneCore, EachTailTableMatchesTheBlockAlgorithmInDouble)
{
    const Filters f = Filters::Random(21, 1024, 1536);
    std::vector<std::vector<float>> x{Noise(4096, 8), Noise(4096, 9)};
    const int32_t codes[] = {5, 10, 15, 20, 30};
    for (int32_t t = 0; t < 5; ++t)
    {
        headphonefir core;
        ASSERT_TRUE(core.Create());
        ASSERT_TRUE(f.LoadInto(core));
        core.SelectTail(codes[t]);
        ASSERT_FALSE(core.m_bUnityGains);
        std::vector<double> gs(256), gd(256);
        const uint32_t *w = HpTailGainWords(t);
        for (int i = 0; i < 256; ++i)
        {
            const float a = std::bit_cast<float>(w[2 * i]), b = std::bit_cast<float>(w[2 * i + 1]);
            gs[size_t(i)] = double(a + b);
            gd[size_t(i)] = double(a - b);
        }
        const auto ref = BlockReference(x, f, gs, gd);
        std::vector<std::vector<float>> y(2, std::vector<float>(4096));
        for (size_t blk = 0; blk < 8; ++blk)
        {
            std::vector<float> in0(x[0].begin() + long(blk * 512), x[0].begin() + long(blk * 512 + 512));
            std::vector<float> in1(x[1].begin() + long(blk * 512), x[1].begin() + long(blk * 512 + 512));
            float *in[2] = {in0.data(), in1.data()};
            float *out[2] = {y[0].data() + blk * 512, y[1].data() + blk * 512};
            ASSERT_TRUE(core.Process(in, 2, out, 2, 512));
        }
        for (int e = 0; e < 2; ++e)
            EXPECT_LT(hp_test::RelativeRms(y[size_t(e)], ref[size_t(e)], 0), 1e-5)
                << codes[t] << " ear " << e;
    }
}

TEST_F(HeadphoneCore, TailSelectionZeroGivesUnityGains)
{
    headphonefir core;
    ASSERT_TRUE(core.Create());
    core.SelectTail(20);
    EXPECT_FALSE(core.m_bUnityGains);
    core.SelectTail(0);
    EXPECT_TRUE(core.m_bUnityGains);
    EXPECT_EQ(core.m_nCTCAngle, 0);
    for (int which = 0; which < 2; ++which)
        for (int i = 0; i < 1024; ++i)
            ASSERT_EQ(core.GainSpectrum(which)[i], 1.0f) << which << " " << i;
}

} // namespace
