// The surround as loud as the dry signal, where the stream hears it: the surround node with its
// switch on against the same node with its switch off, with the effect's own tables. Uncorrelated
// white and pink noise in FL and FR leaves each ear at the level the switched-off node gives it, at
// 44.1 and 48 kHz and for stereo and 7.1 streams; a 1 kHz tone in FL alone leaves its louder ear
// near the switched-off left channel, and so do most tones over the band; every room size and angle
// of the effect stays near the default's level.
//
// Off is not the input: the node's dry chain lifts a quiet program by up to 6 dB (its limiter's
// maximum gain under a ceiling at full scale), noise at -20 dBFS by the whole 6 dB and the -6 dBFS
// tone to full scale.
#include "hp_test_support.h"
#include "support/engine_doubles.h"
#include "support/kernel_test.h"
#include "support/surround_render_path.h"

#include <cmath>
#include <numbers>
#include <random>

namespace
{
constexpr double kDryRms = 0.1; // -20 dBFS
// The output lags one block, and the longest tail (3584 taps an ear) must be full before measuring.
constexpr size_t kSettle = 8192;
constexpr size_t kMeasured = 65536;
const double kToneAmplitude = std::pow(10.0, -6.0 / 20.0);
// The switched-off node's gain on a program whose peaks stay at about half of full scale or under:
// its dry chain's limiter at its maximum gain. The effect alone is measured against it.
constexpr double kDryChainGain = 2.0;

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

    // The ears of `fl` and `fr` (the other channels silent) through the surround node with its
    // switch on or off, as the stream engine runs it: a 16-bit PCM stream of `channels` channels at
    // `rate`, 480-frame chunks at DISPATCH_LEVEL.
    static EarLevels NodeLevels(bool on, uint16_t channels, uint32_t rate, const std::vector<float> &fl,
                                const std::vector<float> &fr)
    {
        const WAVEFORMATEXTENSIBLE pcm = engine_test::MakeFormat(WAVE_FORMAT_PCM, channels, rate, 16);
        CEffectNode140 *node = surround_path::MakeSurroundNode(pcm, on);
        EXPECT_NE(node, nullptr);
        if (!node)
            return {};
        std::vector<std::vector<float>> x(channels, std::vector<float>(fl.size(), 0.0f));
        x[0] = fl;
        x[1] = fr;
        for (size_t pos = 0; pos < fl.size(); pos += 480)
        {
            const ULONG count = ULONG(std::min<size_t>(480, fl.size() - pos));
            float *p[8] = {};
            for (size_t c = 0; c < channels; ++c)
                p[c] = x[c].data() + pos;
            KIRQL irql;
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            EXPECT_EQ(node->ProcessBuffers(&pcm, p, count), STATUS_SUCCESS);
            KeLowerIrql(irql);
        }
        node->Release();
        return {RmsDb(x[0]), RmsDb(x[1])};
    }

    // A -6 dBFS sine at `f` Hz, n samples.
    static std::vector<float> Tone(uint32_t rate, double f, size_t n)
    {
        std::vector<float> tone(n);
        for (size_t i = 0; i < n; ++i)
            tone[i] = float(kToneAmplitude * std::sin(2 * std::numbers::pi * f * double(i) / double(rate)));
        return tone;
    }
};

TEST_F(SurroundLevel, DefaultSettingsKeepTheDryLevelAtEachEar)
{
    for (Noise kind : {Noise::White, Noise::Pink})
    {
        const auto fl = MakeNoise(kind, kSettle + kMeasured, 1), fr = MakeNoise(kind, kSettle + kMeasured, 2);
        for (uint32_t rate : {44100u, 48000u})
            for (uint16_t channels : {2, 8})
            {
                const EarLevels on = NodeLevels(true, channels, rate, fl, fr);
                const EarLevels off = NodeLevels(false, channels, rate, fl, fr);
                EXPECT_NEAR(on.left, off.left, 2.0) << int(kind) << " " << rate << " " << channels;
                EXPECT_NEAR(on.right, off.right, 2.0) << int(kind) << " " << rate << " " << channels;
            }
    }
}

TEST_F(SurroundLevel, ToneInOneFrontChannelKeepsItsLevelAtTheLouderEar)
{
    for (uint32_t rate : {44100u, 48000u})
    {
        const auto tone = Tone(rate, 1000.0, kSettle + kMeasured);
        const std::vector<float> silent(tone.size(), 0.0f);
        for (uint16_t channels : {2, 8})
        {
            const EarLevels on = NodeLevels(true, channels, rate, tone, silent);
            const EarLevels off = NodeLevels(false, channels, rate, tone, silent);
            EXPECT_NEAR(std::max(on.left, on.right), off.left, 3.0) << rate << " " << channels;
        }
    }
}

// A room puts single tones wherever its comb falls, so third-octave tones over the band are held by
// share: most within 3 dB of the dry level, none in a deep notch nor far above. Not all: a low tone
// in one channel reaches both ears alike, so its louder ear is already near 3 dB under the level
// that noise in both fronts keeps. The effect alone: at the node the wet chain's limiter would hide
// a tone the room lifts past full scale.
TEST_F(SurroundLevel, MostThirdOctaveTonesInOneFrontChannelKeepTheirLevel)
{
    const double dryDb = 20 * std::log10(kDryChainGain * kToneAmplitude / std::numbers::sqrt2);
    int within = 0, tones = 0;
    for (uint32_t rate : {44100u, 48000u})
        for (int k = -9; k <= 9; ++k)
        {
            const double f = 1000.0 * std::pow(10.0, k / 10.0); // 126 Hz to 7.9 kHz
            const auto tone = Tone(rate, f, kSettle + kMeasured / 4);
            const EarLevels e = Levels(2, rate, tone, std::vector<float>(tone.size(), 0.0f));
            const double gain = std::max(e.left, e.right) - dryDb;
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
