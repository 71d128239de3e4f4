// The effect headsets' render path, end to end: a client plays a multichannel source through the
// speaker endpoint's wave pin and what reaches the bus is the stereo pair the effect nodes make of it.
// With the surround off the pair is the plain fold of every channel; switched on through the topology
// filter, the headphone surround puts a front-left impulse in both ears.
#include <gtest/gtest.h>

#include <ks_guids.h>
#include <sim/audio_client.h>
#include <sim/usb_builders.h>
#include <sim/usb_iso_engine.h>

#include "driver/base/usb_vendor_ids.h"
#include "driver/effects/chain_adapters.h"
#include "driver/filters/node_controls.h"
#include "support/driver_machine.h"
#include "support/engine_doubles.h"
#include "support/miniport_bench.h"

#include <cmath>
#include <cstring>
#include <functional>

namespace
{
constexpr unsigned kPort = 1;
constexpr uint8_t kOut = 0x01;
constexpr ULONG kRate = 48000;
constexpr ULONG kMask71 = 0x63F;

class EffectRenderTest : public DriverMachineTest
{
protected:
    void TearDown() override
    {
        filter.reset();
        if (pdo)
            bus->Unplug(kPort);
        DriverMachineTest::TearDown();
    }

    // The effect headset of `productId` (plon when it names its chip), its playback feature unit
    // announcing the vendor controls of `memory`, started, with its speaker wave filter.
    void Plug(uint16_t productId, const char16_t *chip, std::vector<uint8_t> memory)
    {
        usbsim::Uac1Options options;
        options.vendorId = SalvineVendorId;
        options.productId = productId;
        options.speaker = true;
        auto device = usbsim::VirtualDevice::Uac1(options);
        if (chip)
            device->SetString(0x50, chip);
        device->Entity(usbsim::kUac1PlaybackFu).memory = std::move(memory);
        pdo = bus->Plug(kPort, device);
        ASSERT_TRUE(sim::pnp::Started(pdo));
        sim::audio::FilterRef ref = sim::audio::FindFilter("SPKOut00Wave");
        for (int waited = 0; !ref.Port && waited < 2000; waited += 10)
        {
            sim::AdvanceMs(10);
            ref = sim::audio::FindFilter("SPKOut00Wave");
        }
        ASSERT_NE(ref.Port, nullptr);
        filter = std::make_unique<sim::audio::Filter>(ref.Port);
    }

    // Plays `frames` of 16-bit `source` in `channels` channels at `rate`, running `midway` after
    // `midwayMs` of playing; the bus's 16-bit stereo frames.
    std::vector<int16_t> Play(USHORT channels, ULONG mask, const std::vector<int16_t> &source,
                              ULONG rate = kRate, const std::function<void()> &midway = {},
                              ULONG midwayMs = 0)
    {
        auto format = engine_test::MakeFormat(WAVE_FORMAT_PCM, channels, rate, 16);
        format.dwChannelMask = mask;
        std::vector<UCHAR> bytes(source.size() * sizeof(int16_t));
        std::memcpy(bytes.data(), source.data(), bytes.size());
        return Samples16(PlayPin(*filter, miniport_bench::DataFormat(format), std::move(bytes), kPort, kOut,
                                 ULONG(source.size() / channels / (rate / 1000) + 100), midway, midwayMs));
    }

    // Switches the surround node on or off as a client does: the topology filter's node named by the
    // surround type, its device-specific property. False when the filter has no such node.
    bool SetSurround(ULONG on)
    {
        for (const auto &ref : sim::audio::FiltersOf(KSCATEGORY_TOPOLOGY))
        {
            sim::audio::Filter topology(ref.Port);
            const auto nodes = topology.Nodes();
            for (ULONG n = 0; n < nodes.size(); ++n)
                if (nodes[n].Name && *nodes[n].Name == EFFECT_NODE_140_TYPE)
                    return topology.Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, n, nullptr, 0, &on,
                                        sizeof on) == STATUS_SUCCESS;
        }
        return false;
    }

    PDEVICE_OBJECT pdo = nullptr;
    std::unique_ptr<sim::audio::Filter> filter;
};

// A tone of its own in every channel, a fifth of full scale so the fold cannot clip.
std::vector<int16_t> Tones(USHORT channels, size_t frames, ULONG rate = kRate)
{
    std::vector<int16_t> source(frames * channels);
    for (size_t n = 0; n < frames; ++n)
        for (USHORT c = 0; c < channels; ++c)
            source[n * channels + c] =
                int16_t(std::lround(1500 * std::sin(2 * M_PI * (310 + 170 * c) * double(n) / rate)));
    return source;
}

// The largest difference between the bus's stereo frames and `expected` (two planes) over the middle
// of the source, at the bus delay that fits best, and that delay.
struct Fit
{
    double error = 1e9;
    size_t delay = 0;
};
Fit BestFit(const std::vector<int16_t> &bus, const std::vector<float> (&expected)[2])
{
    Fit best;
    const size_t frames = expected[0].size(), busFrames = bus.size() / 2;
    for (size_t delay = 0; delay < 3000 && delay + frames <= busFrames; ++delay)
    {
        double worst = 0;
        for (size_t n = 1000; n + 1000 < frames && worst < best.error; ++n)
            for (int c = 0; c < 2; ++c)
                worst = std::max(worst, std::fabs(bus[2 * (n + delay) + c] - double(expected[c][n])));
        if (worst < best.error)
            best = {worst, delay};
    }
    return best;
}

TEST_F(EffectRenderTest, WithTheSurroundOffEveryChannelReachesTheStereoPairAsTheFoldMakesIt)
{
    Plug(0x0660, u"SVQ4RTB", {0x02, 0x00, 0x00, 0x0C});
    // The endpoint takes 7.1 only: a 5.1 source reaches it as a client's mixer places it, its
    // surround pair on the back or the side channels by its mask and the other pair silent. The
    // oracle is the fold of the source as it is, six channels to two.
    struct Case
    {
        USHORT channels;
        int place[8]; // the pin channel of each source channel
    } cases[] = {{8, {0, 1, 2, 3, 4, 5, 6, 7}}, {6, {0, 1, 2, 3, 4, 5}}, {6, {0, 1, 2, 3, 6, 7}}};
    const size_t frames = kRate / 1000 * 300;
    for (const Case &c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, surrounds on " << c.place[4]);
        const std::vector<int16_t> source = Tones(c.channels, frames);
        std::vector<int16_t> pin(frames * 8);
        // The oracle: the channel conversion's plain fold of the source, in its own 16-bit units.
        std::vector<float> planes[8];
        float *at[8] = {};
        for (USHORT ch = 0; ch < c.channels; ++ch)
        {
            for (size_t n = 0; n < frames; ++n)
            {
                planes[ch].push_back(source[n * c.channels + ch]);
                pin[n * 8 + size_t(c.place[ch])] = source[n * c.channels + ch];
            }
            at[ch] = planes[ch].data();
        }
        ASSERT_EQ(ConvertChannels(at, c.channels, 2, int32_t(frames), 1), 2);
        const std::vector<float> fold[2] = {planes[0], planes[1]};
        const Fit fit = BestFit(Play(8, kMask71, pin), fold);
        EXPECT_LE(fit.error, 1.0) << "at a delay of " << fit.delay << " frames";
    }

    // Stereo content on the 7.1 pin (the other channels silent) reaches the bus bit for bit.
    std::vector<int16_t> stereo = Tones(8, frames);
    for (size_t n = 0; n < frames; ++n)
        std::fill_n(stereo.begin() + std::ptrdiff_t(n * 8 + 2), 6, int16_t(0));
    std::vector<float> pair[2];
    for (size_t n = 0; n < frames; ++n)
        for (int ch = 0; ch < 2; ++ch)
            pair[ch].push_back(stereo[n * 8 + ch]);
    EXPECT_EQ(BestFit(Play(8, kMask71, stereo), pair).error, 0.0);
}

TEST_F(EffectRenderTest, TheSurroundSwitchedOnPutsAFrontLeftImpulseInBothEarsLaterAndQuieterOnTheRight)
{
    Plug(0x0161, nullptr, {0x02, 0x00, 0x00, 0x0C});
    const size_t frames = kRate / 1000 * 300;
    std::vector<int16_t> source(frames * 8);
    source[4800 * 8] = 8000; // front left
    // Each ear's peak (frame and size) in the 2 ms from the first sound on the bus: the direct
    // sound, before the room's reflections.
    struct Ears
    {
        size_t where[2] = {};
        int size[2] = {};
    };
    auto direct = [](const std::vector<int16_t> &bus)
    {
        Ears ears;
        size_t first = 0;
        while (2 * first + 1 < bus.size() && bus[2 * first] == 0 && bus[2 * first + 1] == 0)
            ++first;
        for (size_t n = first; n < first + 2 * kRate / 1000 && 2 * n + 1 < bus.size(); ++n)
            for (int c = 0; c < 2; ++c)
                if (std::abs(bus[2 * n + c]) > ears.size[c])
                {
                    ears.size[c] = std::abs(bus[2 * n + c]);
                    ears.where[c] = n;
                }
        return ears;
    };
    const Ears off = direct(Play(8, kMask71, source));
    EXPECT_GT(off.size[0], 0);
    EXPECT_EQ(off.size[1], 0) << "off: the fold keeps front left on the left";

    ASSERT_TRUE(SetSurround(1));
    const Ears on = direct(Play(8, kMask71, source));
    ASSERT_GT(on.size[1], 0) << "on: the far ear hears the front-left speaker too";
    // A speaker 30 degrees left of a head of 8.75 cm radius reaches the far ear about 0.26 ms later,
    // and the near ear hears it louder.
    const double delayMs = (double(on.where[1]) - double(on.where[0])) * 1000.0 / kRate;
    EXPECT_GT(delayMs, 0.1);
    EXPECT_LT(delayMs, 0.5);
    EXPECT_GT(on.size[0], 2 * on.size[1]);
}

// Switched on while a 7.1 source plays: from the block that takes the switch, the dry pair falls to
// silence over 2E samples (E = samples per millisecond at the stream's rate) and the surround's pair
// rises over the next 2E; from there on the bus carries what a stream that had it on all along does.
TEST_F(EffectRenderTest, SwitchedOnWhilePlayingTheBusMovesFromDryToTheSurroundOverFourMilliseconds)
{
    Plug(0x0161, nullptr, {0x02, 0x00, 0x00, 0x0C});
    for (ULONG rate : {48000u, 44100u})
    {
        SCOPED_TRACE(rate);
        const size_t e = rate / 1000, span = 2 * e - 1;
        const std::vector<int16_t> source = Tones(8, rate / 1000 * 300, rate);
        ASSERT_TRUE(SetSurround(0));
        Play(8, kMask71, source, rate); // takes the switch, so the next stream starts without a fade
        const std::vector<int16_t> dry = Play(8, kMask71, source, rate);
        const std::vector<int16_t> switched = Play(
            8, kMask71, source, rate, [&] { EXPECT_TRUE(SetSurround(1)); }, 150);
        const std::vector<int16_t> wet = Play(8, kMask71, source, rate);
        ASSERT_EQ(switched.size(), dry.size());
        ASSERT_EQ(switched.size(), wet.size());
        const size_t frames = switched.size() / 2;
        size_t differs = 0;
        while (differs < frames && std::abs(switched[2 * differs] - dry[2 * differs]) <= 2 &&
               std::abs(switched[2 * differs + 1] - dry[2 * differs + 1]) <= 2)
            ++differs;
        ASSERT_GT(differs, 150 * e) << "the pair follows the dry signal until the switch";
        ASSERT_LT(differs + 4 * e, frames);
        // The fade's first samples keep nearly all of the dry signal: it starts a little before the
        // first sample that differs.
        auto fadeError = [&](size_t start)
        {
            double worst = 0;
            for (size_t i = 0; i < 4 * e; ++i)
                for (size_t c = 0; c < 2; ++c)
                {
                    const size_t at = 2 * (start + i) + c;
                    const double expected =
                        i < 2 * e ? dry[at] * (1.0 - double(i) / span) : wet[at] * (double(i - 2 * e) / span);
                    worst = std::max(worst, std::fabs(switched[at] - expected));
                }
            return worst;
        };
        size_t start = differs;
        for (size_t at = differs - 4; at < differs; ++at)
            if (fadeError(at) < fadeError(start))
                start = at;
        EXPECT_LE(fadeError(start), 2.0) << "fade from frame " << start;
        int after = 0;
        for (size_t at = 2 * (start + 4 * e); at < switched.size(); ++at)
            after = std::max(after, std::abs(switched[at] - wet[at]));
        EXPECT_LE(after, 1) << "after 4E samples the bus is the surround's";
    }
}

} // namespace
