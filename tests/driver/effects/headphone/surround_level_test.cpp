// The surround as loud as the dry signal, through the effect with its own tables: uncorrelated
// white and pink noise in FL and FR leaves each ear at the level it entered, at 44.1 and 48 kHz
// and for stereo and 7.1 streams; a 1 kHz tone in FL alone leaves its louder ear near the tone's
// level, and so do most tones over the band; every room size and angle stays near the default's
// level.
//
// Off is the dry signal: the format stage hands FL and FR on at unity for every channel count, so
// the dry level of each ear is its input's.
#include "hp_test_support.h"
#include "support/kernel_test.h"

#include <cmath>
#include <numbers>
#include <random>

namespace
{
constexpr double kDryRms = 0.1; // -20 dBFS
// The output lags one block, and the longest tail (3584 taps an ear) must be full before measuring.
constexpr size_t kSettle = 8192;
constexpr size_t kMeasured = 65536;

enum class Noise
{
    White,
    Pink
};

// Gaussian noise of `kind` scaled to exactly kDryRms over its n samples. Pink: white noise through
// a sum of first-order sections whose poles spread over the band, close to -3 dB an octave over
// the audio band.
std::vector<float> MakeNoise(Noise kind, size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0.0, 1.0);
    std::vector<double> x(n);
    double b[7] = {};
    for (double &v : x)
    {
        const double w = g(rng);
        if (kind == Noise::White)
        {
            v = w;
            continue;
        }
        b[0] = 0.99886 * b[0] + w * 0.0555179;
        b[1] = 0.99332 * b[1] + w * 0.0750759;
        b[2] = 0.96900 * b[2] + w * 0.1538520;
        b[3] = 0.86650 * b[3] + w * 0.3104856;
        b[4] = 0.55000 * b[4] + w * 0.5329522;
        b[5] = -0.7616 * b[5] - w * 0.0168980;
        v = b[0] + b[1] + b[2] + b[3] + b[4] + b[5] + b[6] + w * 0.5362;
        b[6] = w * 0.115926;
    }
    double power = 0;
    for (double v : x)
        power += v * v;
    const double scale = kDryRms / std::sqrt(power / double(n));
    std::vector<float> out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = float(x[i] * scale);
    return out;
}

double RmsDb(const std::vector<float> &y)
{
    double power = 0;
    for (size_t i = kSettle; i < y.size(); ++i)
        power += double(y[i]) * double(y[i]);
    return 10 * std::log10(power / double(y.size() - kSettle));
}

struct EarLevels
{
    double left, right; // dB relative to full scale
};

class SurroundLevel : public KernelTest
{
protected:
    // The ears of `fl` and `fr` (the other channels silent) through an enabled effect at `rate`
    // with `channels` channels; `configure` may change its settings before the stream.
    template <class F>
    static EarLevels Levels(uint16_t channels, uint32_t rate, const std::vector<float> &fl,
                            const std::vector<float> &fr, F configure)
    {
        CQvrEffect fx;
        const WAVEFORMATEX fmt = hp_test::Format(channels, rate);
        EXPECT_EQ(fx.SetFormat(&fmt), 0);
        fx.SetEnabled(1);
        configure(fx);
        std::vector<std::vector<float>> x(channels, std::vector<float>(fl.size(), 0.0f));
        x[0] = fl;
        x[1] = fr;
        const auto y = hp_test::Stream(fx, x, 480);
        return {RmsDb(y[0]), RmsDb(y[1])};
    }
    static EarLevels Levels(uint16_t channels, uint32_t rate, const std::vector<float> &fl,
                            const std::vector<float> &fr)
    {
        return Levels(channels, rate, fl, fr, [](CQvrEffect &) {});
    }
    // The louder ear's level over the dry level (dB) of a -6 dBFS sine at `f` Hz in FL alone.
    static double ToneGainDb(uint16_t channels, uint32_t rate, double f, size_t n)
    {
        const double amplitude = std::pow(10.0, -6.0 / 20.0);
        std::vector<float> tone(n), silent(n, 0.0f);
        for (size_t i = 0; i < n; ++i)
            tone[i] = float(amplitude * std::sin(2 * std::numbers::pi * f * double(i) / double(rate)));
        const EarLevels e = Levels(channels, rate, tone, silent);
        return std::max(e.left, e.right) - 20 * std::log10(amplitude / std::numbers::sqrt2);
    }
};

TEST_F(SurroundLevel, DefaultSettingsKeepTheDryLevelAtEachEar)
{
    const double dryDb = 20 * std::log10(kDryRms);
    for (Noise kind : {Noise::White, Noise::Pink})
    {
        const auto fl = MakeNoise(kind, kSettle + kMeasured, 1), fr = MakeNoise(kind, kSettle + kMeasured, 2);
        for (uint32_t rate : {44100u, 48000u})
            for (uint16_t channels : {2, 8})
            {
                const EarLevels e = Levels(channels, rate, fl, fr);
                EXPECT_NEAR(e.left, dryDb, 2.0) << int(kind) << " " << rate << " " << channels;
                EXPECT_NEAR(e.right, dryDb, 2.0) << int(kind) << " " << rate << " " << channels;
            }
    }
}

TEST_F(SurroundLevel, ToneInOneFrontChannelKeepsItsLevelAtTheLouderEar)
{
    for (uint32_t rate : {44100u, 48000u})
        for (uint16_t channels : {2, 8})
            EXPECT_NEAR(ToneGainDb(channels, rate, 1000.0, kSettle + kMeasured), 0.0, 3.0)
                << rate << " " << channels;
}

// A room puts single tones wherever its comb falls, so third-octave tones over the band are held by
// share: most within 3 dB of the dry level, none in a deep notch nor far above. Not all: a low tone
// in one channel reaches both ears alike, so its louder ear is already near 3 dB under the level
// that noise in both fronts keeps.
TEST_F(SurroundLevel, MostThirdOctaveTonesInOneFrontChannelKeepTheirLevel)
{
    int within = 0, tones = 0;
    for (uint32_t rate : {44100u, 48000u})
        for (int k = -9; k <= 9; ++k)
        {
            const double f = 1000.0 * std::pow(10.0, k / 10.0); // 126 Hz to 7.9 kHz
            const double gain = ToneGainDb(2, rate, f, kSettle + kMeasured / 4);
            EXPECT_GT(gain, -8.0) << rate << " " << f;
            EXPECT_LT(gain, 3.0) << rate << " " << f;
            within += std::fabs(gain) <= 3.0;
            ++tones;
        }
    EXPECT_GE(within, 0.7 * tones);
}

TEST_F(SurroundLevel, EveryRoomAndAngleStaysNearTheDefaultLevel)
{
    const auto fl = MakeNoise(Noise::White, kSettle + kMeasured / 2, 3);
    const auto fr = MakeNoise(Noise::White, kSettle + kMeasured / 2, 4);
    const EarLevels reference = Levels(2, 44100, fl, fr);
    // Size settings 0, 1, 2 are size codes 3, 2, 1; angle settings with and without the variant.
    for (int32_t size : {0, 1, 2})
        for (int32_t angle : {25, 30, 35, 40, 31})
            for (int32_t variant : {0, 1})
            {
                if (angle == 31 && variant)
                    continue;
                const EarLevels e = Levels(2, 44100, fl, fr,
                                           [&](CQvrEffect &fx)
                                           {
                                               fx.SetSize(0, size);
                                               fx.SetAngle(0, angle);
                                               fx.SetAngleFlag(0, variant);
                                           });
                EXPECT_NEAR(e.left, reference.left, 3.0) << size << " " << angle << " " << variant;
                EXPECT_NEAR(e.right, reference.right, 3.0) << size << " " << angle << " " << variant;
            }
}

} // namespace
