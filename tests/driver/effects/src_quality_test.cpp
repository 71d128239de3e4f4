// Audio quality of the sample-rate chain on all 30 rate pairs, measured on the same signals as
// libsoxr's very-high-quality converter: a 997 Hz tone's frequency, level and THD+N, four
// passband tones, alias and image rejection, and channel separation. Both libraries' figures are
// printed.
#include "driver/effects/dsp_interleave_src.h"

#include "src_test_support.h"
#include "support/kernel_test.h"

#include <soxr.h>

#include <cstdio>
#include <string>

namespace
{
using namespace src_test;

#ifdef __SANITIZE_ADDRESS__
constexpr double kSeconds = 0.2; // the fits are as exact on a shorter signal, and far cheaper
#else
constexpr double kSeconds = 1.0;
#endif

WAVEFORMATEXTENSIBLE Float(uint16_t channels, uint32_t rate)
{
    return Extensible(channels, rate, 32, WAVE_FORMAT_IEEE_FLOAT);
}

std::vector<float> Soxr(const std::vector<float> &in, uint32_t from, uint32_t to)
{
    std::vector<float> out(size_t(double(in.size()) * to / from) + 16);
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t q = soxr_quality_spec(SOXR_VHQ, 0);
    size_t done = 0;
    const soxr_error_t e = soxr_oneshot(from, to, 1, in.data(), in.size(), nullptr, out.data(), out.size(),
                                        &done, &io, &q, nullptr);
    EXPECT_EQ(e, nullptr) << e;
    out.resize(done);
    return out;
}

class SrcQuality : public KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        m_Chain = NewChain();
    }
    void TearDown() override
    {
        m_Chain.reset();
        KernelTest::TearDown();
    }
    std::vector<float> Ours(const std::vector<float> &in, uint32_t from, uint32_t to)
    {
        EXPECT_TRUE(m_Chain->SetFormat(Float(1, from), Float(1, to)));
        return Convert(*m_Chain, {in}, 1, 480)[0];
    }
    // The analysed second, after 0.1 s skipped; the input runs 0.1 s beyond it, so the end of the
    // signal (where a converter's filter runs into silence) stays out.
    static size_t Analysed(uint32_t rate) { return size_t(kSeconds * rate); }
    static const float *Window(const std::vector<float> &y, uint32_t rate)
    {
        EXPECT_GE(y.size(), rate / 10 + Analysed(rate));
        return y.data() + rate / 10;
    }
    ChainPtr m_Chain;
};

double Db(double ratio)
{
    return 20 * std::log10(ratio);
}

// The 147:160 stage's 44.1 kHz-family rate: the lower two rates of the pair.
double PassbandEdge(uint32_t a, uint32_t b)
{
    if (SameFamily(a, b))
        return 0.4 * std::min(a, b);
    const uint32_t a44 = a % 44100 == 0 ? a : b, a48 = a % 44100 == 0 ? b : a;
    return 0.35 * 44100.0 * std::min(a44 / 44100, a48 / 48000);
}

TEST_F(SrcQuality, ToneLevelFrequencyAndThdnOnEveryPair)
{
    std::printf("%-16s %12s %10s %10s | %12s %10s %10s\n", "pair", "ours f-997", "level", "THD+N",
                "soxr f-997", "level", "THD+N");
    for (uint32_t a : kRates)
        for (uint32_t b : kRates)
        {
            if (a == b)
                continue;
            SCOPED_TRACE(std::to_string(a) + " -> " + std::to_string(b));
            const auto x = Sine(size_t((kSeconds + 0.2) * a), a, 997.0, 0.5);
            const auto ours = Ours(x, a, b), peer = Soxr(x, a, b);
            const size_t n = Analysed(b);
            const SineFit o = FitSine(Window(ours, b), n, b, 997.0);
            const SineFit p = FitSine(Window(peer, b), n, b, 997.0);
            std::printf("%6u -> %6u %12.2e %10.4f %10.2f | %12.2e %10.4f %10.2f\n", a, b, o.frequency - 997,
                        o.LevelDb(), o.ThdnDb(), p.frequency - 997, p.LevelDb(), p.ThdnDb());
            EXPECT_NEAR(o.frequency, 997.0, 0.001);
            EXPECT_NEAR(o.LevelDb(), Db(0.5), 0.02);
            EXPECT_NEAR(o.LevelDb(), p.LevelDb(), 0.02);
            EXPECT_LE(o.ThdnDb(), SameFamily(a, b) ? -105.0 : -98.0);
        }
}

TEST_F(SrcQuality, PassbandTonesMatchThePeer)
{
    const double level = std::pow(10.0, -18 / 20.0);
    for (uint32_t a : kRates)
        for (uint32_t b : kRates)
        {
            if (a == b)
                continue;
            SCOPED_TRACE(std::to_string(a) + " -> " + std::to_string(b));
            const double edge = PassbandEdge(a, b);
            const std::vector<double> freqs = {0.1 * edge, 0.3 * edge, 0.6 * edge, 0.9 * edge};
            std::vector<float> x(size_t((kSeconds + 0.2) * a));
            for (size_t i = 0; i < x.size(); ++i)
            {
                double v = 0;
                for (double f : freqs)
                    v += level * std::sin(2 * M_PI * f * double(i) / a);
                x[i] = float(v);
            }
            const auto ours = Ours(x, a, b), peer = Soxr(x, a, b);
            const size_t n = Analysed(b);
            const auto o = ToneLevels(Window(ours, b), n, b, freqs);
            const auto p = ToneLevels(Window(peer, b), n, b, freqs);
            for (size_t t = 0; t < freqs.size(); ++t)
                EXPECT_NEAR(Db(o[t]), Db(p[t]), 0.03) << freqs[t] << " Hz";
        }
}

TEST_F(SrcQuality, AliasesAndImagesStayDown)
{
    struct Case
    {
        uint32_t from, to;
        double tone, product, limit;
    } cases[] = {
        {96000, 48000, 30000, 18000, -100},
        {192000, 48000, 80000, 16000, -100},
        {48000, 96000, 15000, 33000, -100},
        {44100, 48000, 15000, 18900, -85},
    };
    for (const Case &c : cases)
    {
        const auto x = Sine(size_t((kSeconds + 0.2) * c.from), c.from, c.tone, 0.5);
        const auto ours = Ours(x, c.from, c.to), peer = Soxr(x, c.from, c.to);
        const size_t n = Analysed(c.to);
        const double o = Db(ToneLevels(Window(ours, c.to), n, c.to, {c.product})[0] / 0.5);
        const double p = Db(ToneLevels(Window(peer, c.to), n, c.to, {c.product})[0] / 0.5);
        std::printf("%6u -> %6u tone %5.0f Hz: product at %5.0f Hz ours %7.1f dB, soxr %7.1f dB\n", c.from,
                    c.to, c.tone, c.product, o, p);
        EXPECT_LE(o, c.limit) << c.from << " -> " << c.to;
    }
}

TEST_F(SrcQuality, EachChannelKeepsItsOwnToneAndExtraChannelsAreSilent)
{
    const uint32_t a = 44100, b = 96000; // two stages
    Planar in;
    std::vector<double> tones;
    const size_t len = size_t(0.35 * a);
    for (int c = 0; c < 8; ++c)
    {
        tones.push_back(500.0 + 1700.0 * c);
        in.push_back(Sine(len, a, tones.back(), 0.5));
    }
    ASSERT_TRUE(m_Chain->SetFormat(Float(8, a), Float(8, b)));
    const Planar out = Convert(*m_Chain, in, 8, 441);
    const size_t skip = b / 20, n = b / 4;
    for (size_t c = 0; c < 8; ++c)
    {
        ASSERT_GE(out[c].size(), skip + n);
        const auto levels = ToneLevels(out[c].data() + skip, n, b, tones);
        for (size_t t = 0; t < 8; ++t)
            if (t == c)
                EXPECT_NEAR(Db(levels[t] / 0.5), 0.0, 0.01);
            else
                EXPECT_LE(Db(levels[t] / 0.5), -120.0) << "channel " << c << " tone " << t;
    }
    // Five channels in, eight out: the three missing ones are exact zeros.
    ASSERT_TRUE(m_Chain->SetFormat(Float(5, a), Float(8, b)));
    in.resize(5);
    const Planar wide = Convert(*m_Chain, in, 8, 441);
    for (size_t c = 5; c < 8; ++c)
    {
        ASSERT_EQ(wide[c].size(), wide[0].size());
        for (float v : wide[c])
            ASSERT_EQ(std::bit_cast<uint32_t>(v), 0u);
    }
}

} // namespace
