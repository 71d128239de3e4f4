// The audio-path half of the effect nodes, with fake stages: the dry copy becomes 1.0 and the
// processed copy 2.0, so every output sample tells which copy and which fade gain produced it.
#include "driver/effects/effect_path.h"
#include "driver/effects/chain_adapters.h"
#include "driver/base/pool_memory.h"
#include "effects_test_support.h"
#include "support/kernel_test.h"

#include <vector>

namespace
{

constexpr float kDry = 1.0f, kWet = 2.0f;

class FakeEffect : public CEffectPath
{
public:
    explicit FakeEffect(OutputRule rule) : CEffectPath(PoolTag::DoHP, rule) {}

    using CEffectPath::FoldToStereo;
    BOOLEAN enabled = FALSE, pending = FALSE, ready = TRUE;
    ULONG stageCalls = 0, lockedStageCalls = 0;
    KIRQL stageIrql = PASSIVE_LEVEL;

protected:
    BOOLEAN TakeToggle() override
    {
        const BOOLEAN was = pending;
        pending = FALSE;
        return was;
    }
    BOOLEAN IsEnabled() const override { return enabled; }
    BOOLEAN EffectsReady() const override { return ready; }
    void DryStages(float *const *dry, ULONG, ULONG frames) override { Fill(dry, kDry, frames); }
    void WetStages(float *const *wet, ULONG, ULONG frames) override { Fill(wet, kWet, frames); }

private:
    void Fill(float *const *set, float value, ULONG frames)
    {
        ++stageCalls;
        lockedStageCalls += NodeLock() != 0;
        stageIrql = KeGetCurrentIrql();
        for (ULONG c = 0; c < CHANNELS; ++c)
            for (ULONG i = 0; i < frames; ++i)
                set[c][i] = value;
    }
};

WAVEFORMATEXTENSIBLE Pcm(USHORT channels, ULONG rate)
{
    WAVEFORMATEXTENSIBLE f = fx_test::FloatFormat(channels, rate);
    f.SubFormat = SubFormatForTag(WAVE_FORMAT_PCM);
    return f;
}

class EffectPath : public KernelTest
{
protected:
    // Runs `frames` through the node in chunks of `chunk` and returns channel 0.
    std::vector<float> Run(FakeEffect &node, const WAVEFORMATEXTENSIBLE &format, ULONG frames, ULONG chunk,
                           ULONG channel = 0)
    {
        fx_test::Planes planes(frames, format.Format.nChannels, 0.5f);
        for (ULONG done = 0; done < frames; done += chunk)
        {
            auto at = planes.At(done);
            EXPECT_EQ(node.RunEntry(&format, at.data(), std::min(chunk, frames - done)), STATUS_SUCCESS);
        }
        return planes.data[channel];
    }
};

// The 4E fade at 192 kHz (768 samples) spans two 512-frame chunks: dry out over 2E, wet in over 2E.
TEST_F(EffectPath, AToggleFadesOverFourEAcrossChunks)
{
    FakeEffect node(CEffectPath::OUTPUT_WHEN_ENABLED);
    ASSERT_EQ(node.AllocateSets(), STATUS_SUCCESS);
    const auto format = Pcm(2, 192000);
    constexpr ULONG kE = 192, kHalf = 2 * kE;

    node.enabled = TRUE;
    node.pending = TRUE;
    auto out = Run(node, format, 1024, 512);
    for (ULONG i = 0; i < 1024; ++i)
    {
        const double expected = i < kHalf       ? kDry * (1.0 - double(i) / (kHalf - 1))
                                : i < 2 * kHalf ? kWet * (double(i - kHalf) / (kHalf - 1))
                                                : kWet;
        ASSERT_NEAR(out[i], expected, 1e-6) << i;
    }
    EXPECT_EQ(node.FadeState(), CEffectPath::FADE_STEADY);

    node.enabled = FALSE;
    node.pending = TRUE;
    out = Run(node, format, 1024, 256);
    for (ULONG i = 0; i < 1024; ++i)
    {
        const double expected = i < kHalf       ? kWet * (1.0 - double(i) / (kHalf - 1))
                                : i < 2 * kHalf ? kDry * (double(i - kHalf) / (kHalf - 1))
                                                : kDry;
        ASSERT_NEAR(out[i], expected, 1e-6) << i;
    }

    // Only channels 0 and 1 fade: channel 2 of a six-channel stream switches at once.
    node.enabled = TRUE;
    node.pending = TRUE;
    out = Run(node, Pcm(6, 48000), 512, 512, 2);
    EXPECT_EQ(out[0], kWet);
}

TEST_F(EffectPath, TheCopyHeardFollowsTheRuleAndTheChannelCount)
{
    struct Case
    {
        CEffectPath::OutputRule rule;
        USHORT channels;
        BOOLEAN enabled;
        float heard;
    };
    const Case cases[] = {
        // Node 139: dry unless six or eight channels.
        {CEffectPath::OUTPUT_SIX_OR_EIGHT, 2, TRUE, kDry},
        {CEffectPath::OUTPUT_SIX_OR_EIGHT, 5, TRUE, kDry},
        {CEffectPath::OUTPUT_SIX_OR_EIGHT, 7, TRUE, kDry},
        {CEffectPath::OUTPUT_SIX_OR_EIGHT, 6, TRUE, kWet},
        {CEffectPath::OUTPUT_SIX_OR_EIGHT, 8, FALSE, kDry},
        // EQ and surround: two channels like one, three, four and five.
        {CEffectPath::OUTPUT_WHEN_ENABLED, 2, TRUE, kWet},
        {CEffectPath::OUTPUT_WHILE_FADING, 2, TRUE, kWet},
        {CEffectPath::OUTPUT_WHILE_FADING, 1, FALSE, kDry},
        {CEffectPath::OUTPUT_WHEN_ENABLED, 8, FALSE, kDry},
    };
    for (const Case &c : cases)
    {
        FakeEffect node(c.rule);
        ASSERT_EQ(node.AllocateSets(), STATUS_SUCCESS);
        node.enabled = c.enabled;
        const auto last = Run(node, Pcm(c.channels, 48000), 64, 64, c.channels - 1u);
        EXPECT_EQ(last[0], c.heard) << c.rule << " " << c.channels;
    }

    // While a toggle to dry fades, a surround node on 6 channels still feeds channel 2 from the wet
    // copy; the EQ node does not.
    for (auto rule : {CEffectPath::OUTPUT_WHILE_FADING, CEffectPath::OUTPUT_WHEN_ENABLED})
    {
        FakeEffect node(rule);
        ASSERT_EQ(node.AllocateSets(), STATUS_SUCCESS);
        node.pending = TRUE;
        const auto third = Run(node, Pcm(6, 48000), 64, 64, 2);
        EXPECT_EQ(third[0], rule == CEffectPath::OUTPUT_WHILE_FADING ? kWet : kDry);
    }
}

// The dry fold of a 5.1 or 7.1 block: the stereo pair the channel conversion makes, with the channels
// it took in left silent, so a node further on that folds again hears the same pair.
TEST_F(EffectPath, TheFoldToStereoSilencesWhatItTookIn)
{
    for (USHORT channels : {USHORT(6), USHORT(8)})
    {
        SCOPED_TRACE(channels);
        constexpr ULONG kFrames = 16;
        std::vector<std::vector<float>> block(8, std::vector<float>(kFrames));
        for (ULONG c = 0; c < 8; ++c)
            for (ULONG n = 0; n < kFrames; ++n)
                block[c][n] = 0.01f * float(c + 1) + 0.001f * float(n);
        auto oracle = block;
        float *folded[8], *expected[8];
        for (ULONG c = 0; c < 8; ++c)
            folded[c] = block[c].data(), expected[c] = oracle[c].data();
        ASSERT_EQ(ConvertChannels(expected, channels, 2, kFrames, 1), 2);
        FakeEffect::FoldToStereo(folded, channels, kFrames);
        for (ULONG c = 0; c < channels; ++c)
            EXPECT_EQ(block[c], c < 2 ? oracle[c] : std::vector<float>(kFrames, 0.0f)) << c;
        FakeEffect::FoldToStereo(folded, channels, kFrames);
        EXPECT_EQ(block[0], oracle[0]);
        EXPECT_EQ(block[1], oracle[1]);
    }
}

// Float blocks, streams without channels or with more than eight, a node without its engines or its
// buffers: the block passes untouched and the stages never run.
TEST_F(EffectPath, BlocksTheNodeCannotTakePassUntouched)
{
    FakeEffect node(CEffectPath::OUTPUT_WHEN_ENABLED);
    node.enabled = TRUE;
    EXPECT_EQ(Run(node, Pcm(2, 48000), 32, 32)[5], 0.5f); // no buffers yet
    ASSERT_EQ(node.AllocateSets(), STATUS_SUCCESS);
    EXPECT_EQ(Run(node, fx_test::FloatFormat(2, 48000), 32, 32)[5], 0.5f);
    EXPECT_EQ(Run(node, Pcm(9, 48000), 32, 32)[5], 0.5f);
    WAVEFORMATEXTENSIBLE plain = Pcm(2, 48000);
    plain.Format.wFormatTag = WAVE_FORMAT_PCM;
    EXPECT_EQ(Run(node, plain, 32, 32)[5], kWet); // a plain PCM tag counts as PCM
    node.ready = FALSE;
    EXPECT_EQ(Run(node, plain, 32, 32)[5], 0.5f);
    EXPECT_EQ(node.stageCalls, 2u);
    EXPECT_EQ(node.RunEntry(nullptr, nullptr, 32), STATUS_SUCCESS);
}

// The stages run under the node lock at DISPATCH_LEVEL whether the entry is called at PASSIVE or at
// DISPATCH; a chunk longer than the buffers is worked in pieces.
TEST_F(EffectPath, TheStagesRunUnderTheNodeLockAtEitherLevel)
{
    FakeEffect node(CEffectPath::OUTPUT_WHEN_ENABLED);
    ASSERT_EQ(node.AllocateSets(), STATUS_SUCCESS);
    node.enabled = TRUE;
    const auto out = Run(node, Pcm(2, 48000), 1300, 1300);
    EXPECT_EQ(out[1299], kWet);
    EXPECT_EQ(node.stageCalls, 6u); // 512 + 512 + 276, two sets each
    AtDispatch([&] { Run(node, Pcm(2, 48000), 16, 16); });
    EXPECT_EQ(node.lockedStageCalls, node.stageCalls);
    EXPECT_EQ(node.stageIrql, DISPATCH_LEVEL);
    EXPECT_EQ(node.NodeLock(), 0u);
    EXPECT_TRUE(Violations().empty());
}

TEST_F(EffectPath, EveryBufferAllocationFailsCleanly)
{
    for (unsigned n = 1; n <= 18; ++n)
    {
        FakeEffect node(CEffectPath::OUTPUT_WHEN_ENABLED);
        sim::FailAllocation(n);
        EXPECT_EQ(node.AllocateSets(), STATUS_INSUFFICIENT_RESOURCES) << n;
        EXPECT_FALSE(node.SetsReady());
        node.enabled = TRUE;
        EXPECT_EQ(Run(node, Pcm(2, 48000), 8, 8)[0], 0.5f);
        sim::FailAllocation(0);
    }
    EXPECT_EQ(sim::Outstanding(), 0u);
}

} // namespace
