// Real devices' descriptors as a new user plugs them, end to end: streams only through endpoints that
// fit, each function's own interfaces, and a logged reason for every refusal. Each device starts with
// what remains (or is refused with its reason), leaves no misuse report and nothing behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <ks_guids.h>
#include <sim/audio_client.h>
#include <sim/kernel_sim.h>
#include <sim/pnp_sim.h>
#include <sim/portcls_sim.h>
#include <sim/usb_bus.h>

#include "support/driver_machine.h"
#include "support/engine_doubles.h"
#include "support/miniport_bench.h"

namespace
{

constexpr unsigned kPort = 1;
constexpr size_t kEpAddress = 2, kEpAttributes = 3;

using Patch = std::function<void(usbsim::Bytes &)>;
using Maker = std::function<std::shared_ptr<usbsim::VirtualDevice>()>;

// Makes the generic class 1.0 headset of `options` (or the class 2.0 one), its configuration patched.
Maker Uac1With(
    const usbsim::Uac1Options &options, Patch patch = [](usbsim::Bytes &) {})
{
    return [=]
    {
        auto headset = HuldHeadset(options);
        patch(headset->Descriptors().configuration);
        return headset;
    };
}
Maker Uac1With(Patch patch)
{
    return Uac1With({}, std::move(patch));
}
// Puts `descriptor` after the AudioControl interface's class descriptors (before its endpoint).
Patch WithControlDescriptor(usbsim::Bytes descriptor)
{
    return [=](usbsim::Bytes &b)
    {
        usbsim::Insert(b, size_t(usbsim::FindEndpoint(b, 0, 0)), descriptor);
        usbsim::FixTotalLength(b);
    };
}
// Sets byte `field` of the n-th endpoint descriptor of setting (number, alternate).
Patch EndpointByte(uint8_t number, uint8_t alternate, unsigned nth, size_t field, uint8_t value)
{
    return [=](usbsim::Bytes &b)
    { usbsim::Set8(b, size_t(usbsim::FindEndpoint(b, number, alternate, nth)) + field, value); };
}
Maker Uac2With(Patch patch)
{
    return [=]
    {
        auto headset = usbsim::VirtualDevice::Uac2();
        patch(headset->Descriptors().configuration);
        return headset;
    };
}

// Random bytes that are never zero, so the played stream's start is where the silence ends.
std::vector<UCHAR> Source(size_t bytes)
{
    std::vector<UCHAR> source(bytes);
    std::mt19937 random(11);
    for (auto &b : source)
        b = UCHAR(random() | 1);
    return source;
}

class DeviceDescriptorsTest : public DriverMachineTest
{
protected:
    // Plugs the headset and lets its start and its first refreshes settle; whether it started.
    bool Start(std::shared_ptr<usbsim::VirtualDevice> headset)
    {
        pdo = bus->Plug(kPort, std::move(headset));
        sim::RunUntilIdle();
        return sim::pnp::Started(pdo);
    }
    // Plays `source` through the named wave filter's pin in `format` for `ms` virtual ms: what the
    // endpoint received, from its first non-silent byte on (the lead of silence the first transfers
    // carry left out).
    std::vector<uint8_t> Play(const std::string &wave, const WAVEFORMATEXTENSIBLE &format,
                              const std::vector<UCHAR> &source, uint8_t endpoint, unsigned ms)
    {
        return Play(wave, miniport_bench::DataFormat(format), source, endpoint, ms);
    }
    std::vector<uint8_t> Play(const std::string &wave, const std::vector<UCHAR> &data,
                              const std::vector<UCHAR> &source, uint8_t endpoint, unsigned ms)
    {
        sim::audio::FilterRef ref = sim::audio::FindFilter(wave);
        EXPECT_NE(ref.Port, nullptr) << wave;
        if (!ref.Port)
            return {};
        sim::audio::Filter filter(ref.Port);
        std::vector<uint8_t> bytes = PlayPin(filter, data, source, kPort, endpoint, ms);
        bytes.erase(bytes.begin(),
                    std::find_if(bytes.begin(), bytes.end(), [](uint8_t b) { return b != 0; }));
        return bytes;
    }
    // Records `ms` virtual ms from the named capture wave filter in `format`: the bytes the pin moved.
    std::vector<uint8_t> Record(const std::string &wave, const WAVEFORMATEXTENSIBLE &format, unsigned ms)
    {
        sim::audio::FilterRef ref = sim::audio::FindFilter(wave);
        EXPECT_NE(ref.Port, nullptr) << wave;
        if (!ref.Port)
            return {};
        sim::audio::Filter filter(ref.Port);
        const auto data = miniport_bench::DataFormat(format);
        std::unique_ptr<sim::audio::Pin> pin;
        EXPECT_EQ(sim::audio::OpenPin(filter, 0, data.data(), ULONG(data.size()), &pin), STATUS_SUCCESS);
        if (!pin)
            return {};
        EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        sim::AdvanceMs(ms);
        EXPECT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
        const auto moved = pin->Moved();
        return std::vector<uint8_t>(moved.begin(), moved.end());
    }
    // 100 ms of 48 kHz 16-bit stereo through "HPOut00Wave" reach endpoint 0x01 byte for byte.
    void ExpectStereoPlaysBitExact()
    {
        const auto source = Source(48 * 4 * 200);
        const auto played =
            Play("HPOut00Wave", engine_test::MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16), source, 0x01, 100);
        ASSERT_GE(played.size(), 48u * 4 * 60);
        for (size_t k = 0; k < played.size(); ++k)
            ASSERT_EQ(played[k], source[k]) << "byte " << k;
    }
    void Remove()
    {
        bus->Unplug(kPort);
        EXPECT_EQ(sim::pnp::Devices(), 0u);
    }

    PDEVICE_OBJECT pdo = nullptr;
};

// Each endpoint fault a device may carry: the setting (or the format) it breaks is left out with the
// rule in the log, the device starts with the rest, and every format it still offers streams.
TEST_F(DeviceDescriptorsTest, AStreamWhoseEndpointsDoNotFitIsLeftOutAndTheRestStarts)
{
    struct Case
    {
        const char *name;
        Maker make;
        const char *logged;
        std::set<std::string> waves;
        bool terminalLeftEmpty; // no setting of the stream remains: its endpoint is not registered
    };
    // The render setting's rates, subframe and wMaxPacketSize.
    auto rates = [](std::vector<uint32_t> list, uint8_t subframe, uint16_t maxPacket)
    {
        usbsim::Uac1Options o;
        o.rates = std::move(list);
        o.renderSubframe = subframe;
        o.renderBits = uint8_t(subframe * 8);
        o.renderMaxPacket = maxPacket;
        return Uac1With(o);
    };
    const std::set<std::string> both = {"HPOut00Wave", "MicIn00Wave"};
    const Case cases[] = {
        {"render endpoint bulk",
         Uac1With(EndpointByte(1, 1, 0, kEpAttributes, 0x02)),
         "interface 1 alternate 1 not offered: data endpoint not isochronous",
         {"MicIn00Wave"},
         true},
        {"render endpoint IN",
         Uac1With(EndpointByte(1, 1, 0, kEpAddress, 0x81)),
         "interface 1 alternate 1 not offered: data endpoint not OUT for render",
         {"MicIn00Wave"},
         true},
        {"capture endpoint OUT",
         Uac1With(EndpointByte(2, 1, 0, kEpAddress, 0x02)),
         "interface 2 alternate 1 not offered: data endpoint not IN for capture",
         {"HPOut00Wave"},
         true},
        {"fewer endpoints than bNumEndpoints",
         Uac1With([](usbsim::Bytes &b) { usbsim::Set8(b, size_t(usbsim::FindInterface(b, 1, 1)) + 4, 2); }),
         "interface 1 alternate 1 not offered: endpoint descriptor missing or cut off",
         {"MicIn00Wave"},
         true},
        {"endpoint cut off by the configuration's end",
         Uac1With(
             [](usbsim::Bytes &b)
             {
                 usbsim::Truncate(b, size_t(usbsim::FindEndpoint(b, 2, 1)) + 4);
                 usbsim::FixTotalLength(b);
             }),
         "interface 2 alternate 1 not offered: endpoint descriptor missing or cut off",
         {"HPOut00Wave"},
         true},
        {"explicit-feedback endpoint OUT", Uac2With(EndpointByte(1, 1, 1, kEpAddress, 0x02)),
         "interface 1 alternate 1 not offered: feedback endpoint not isochronous IN", both, false},
        {"explicit-feedback endpoint interrupt", Uac2With(EndpointByte(1, 2, 1, kEpAttributes, 0x13)),
         "interface 1 alternate 2 not offered: feedback endpoint not isochronous IN", both, false},
        {"no format's packets fit",
         rates({44100, 48000}, 2, 100),
         "48000 Hz packet of 192 bytes above wMaxPacketSize 100",
         {"MicIn00Wave"},
         true},
        {"96 kHz 3-byte stereo on 512 bytes", rates({48000, 96000}, 3, 512),
         "96000 Hz packet of 576 bytes above wMaxPacketSize 512", both, false},
        {"48127 Hz on 192 bytes", rates({48000, 48127}, 2, 192),
         "48127 Hz packet of 196 bytes above wMaxPacketSize 192", both, false},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Start(c.make()));
        EXPECT_EQ(WaveNames(), c.waves);
        EXPECT_TRUE(sim::DebugLogContains(c.logged));
        EXPECT_EQ(sim::DebugLogContains("not registered: no PCM format its endpoint carries"),
                  c.terminalLeftEmpty);
        EXPECT_EQ(device_rounds::StreamEveryFormat(pdo, 4), "");
        Remove();
        Restart();
    }
}

// A rate of 0 or of a few Hz in a device's list is no format at all: it is left out with its reason,
// and every format that is offered, render and capture, opens and streams.
TEST_F(DeviceDescriptorsTest, RatesNoStreamRunsAtAreNotOfferedAndTheRestStream)
{
    usbsim::Uac1Options options;
    options.rates = {0, 44100, 999, 48000};
    ASSERT_TRUE(Start(HuldHeadset(options)));
    std::vector<ULONG> rates;
    for (const WAVEFORMATEXTENSIBLE &f : RenderFormats(pdo))
        rates.push_back(f.Format.nSamplesPerSec);
    EXPECT_EQ(rates, (std::vector<ULONG>{44100, 48000}));
    EXPECT_TRUE(sim::DebugLogContains("0 Hz below 1000 Hz not offered"));
    EXPECT_TRUE(sim::DebugLogContains("999 Hz below 1000 Hz not offered"));
    EXPECT_EQ(device_rounds::StreamEveryFormat(pdo, 4), "");
    Remove();
}

// A class 2.0 capture endpoint that also serves as implicit feedback carries data like any other: at
// high speed its transfers hold its eight packets a frame.
TEST_F(DeviceDescriptorsTest, AHighSpeedCaptureEndpointOfImplicitFeedbackUsageStreams)
{
    auto uac2 = usbsim::VirtualDevice::Uac2();
    usbsim::Bytes &config = uac2->Descriptors().configuration;
    usbsim::Set8(config, size_t(usbsim::FindEndpoint(config, 2, 1)) + kEpAttributes, 0x25);
    ASSERT_TRUE(Start(uac2));
    EXPECT_EQ(WaveNames(), (std::set<std::string>{"HPOut00Wave", "MicIn00Wave"}));
    EXPECT_EQ(device_rounds::StreamEveryFormat(pdo, 4), "");
    Remove();
}

// A class 2.0 render setting with an interrupt IN endpoint after its explicit-feedback endpoint: the
// feedback is read from the endpoint the checks took for it, never from the one after it.
TEST_F(DeviceDescriptorsTest, AClass2RenderSettingReadsFeedbackFromItsCheckedEndpointOnly)
{
    auto uac2 = usbsim::VirtualDevice::Uac2();
    usbsim::Bytes &config = uac2->Descriptors().configuration;
    for (uint8_t alternate : {1, 2})
    {
        const size_t feedback = size_t(usbsim::FindEndpoint(config, 1, alternate, 1));
        usbsim::Insert(config, feedback + config[feedback], usbsim::Bytes{7, 5, 0x85, 0x03, 8, 0, 4});
        usbsim::Set8(config, size_t(usbsim::FindInterface(config, 1, alternate)) + 4, 3);
    }
    usbsim::FixTotalLength(config);
    ASSERT_TRUE(Start(uac2));
    EXPECT_EQ(WaveNames(), (std::set<std::string>{"HPOut00Wave", "MicIn00Wave"}));
    const uint64_t feedbackBefore = bus->Iso(kPort).NextPacketSequence(0x81);
    EXPECT_EQ(device_rounds::StreamEveryFormat(pdo, 20), "");
    EXPECT_GT(bus->Iso(kPort).NextPacketSequence(0x81), feedbackBefore);
    Remove();
}

// No 2-byte interrupt endpoint, so no status thread: the start itself reads the jacks once, and the
// endpoints they say are there are registered by the time the start returns.
TEST_F(DeviceDescriptorsTest, AHeadsetWithoutAStatusPipeRegistersItsEndpointsAtStartAndPlays)
{
    usbsim::Uac1Options options;
    options.statusMaxPacket = 8;
    pdo = bus->Plug(kPort, HuldHeadset(options));
    ASSERT_TRUE(sim::pnp::Started(pdo));
    EXPECT_EQ(WaveNames(), (std::set<std::string>{"HPOut00Wave", "MicIn00Wave"}));
    ExpectStereoPlaysBitExact();
    Remove();

    // The same for class 2.0: its 6-byte status endpoint is 8 bytes here.
    auto uac2 = usbsim::VirtualDevice::Uac2();
    usbsim::Bytes &config = uac2->Descriptors().configuration;
    usbsim::Set16(config, size_t(usbsim::FindEndpoint(config, 0, 0)) + 4, 8);
    pdo = bus->Plug(kPort, uac2);
    ASSERT_TRUE(sim::pnp::Started(pdo));
    EXPECT_EQ(WaveNames(), (std::set<std::string>{"HPOut00Wave", "MicIn00Wave"}));
    Remove();
}

// 20 valid bits in 3-byte subframes: each format lists its container and its valid bits, the pin's
// range covers them all, and what a client opens (a listed format, or the wildcard's answer) plays
// with its top 20 bits carried.
TEST_F(DeviceDescriptorsTest, TwentyValidBitsInThreeByteContainersOpenAndPlay)
{
    usbsim::Uac1Options options;
    options.renderSubframe = 3;
    options.renderBits = 20;
    options.rates = {48000};
    options.renderMaxPacket = 49 * 6;
    ASSERT_TRUE(Start(HuldHeadset(options)));
    const auto formats = RenderFormats(pdo);
    ASSERT_EQ(formats.size(), 1u);
    EXPECT_EQ(formats[0].Format.wBitsPerSample, 24);
    EXPECT_EQ(formats[0].Samples.wValidBitsPerSample, 20);
    EXPECT_EQ(formats[0].Format.nBlockAlign, 6);

    sim::audio::FilterRef ref = sim::audio::FindFilter("HPOut00Wave");
    ASSERT_NE(ref.Port, nullptr);
    std::vector<UCHAR> result(104);
    {
        sim::audio::Filter filter(ref.Port);
        for (const WAVEFORMATEXTENSIBLE &f : formats)
        {
            const auto data = miniport_bench::DataFormat(f);
            std::unique_ptr<sim::audio::Pin> pin;
            EXPECT_EQ(sim::audio::OpenPin(filter, 0, data.data(), ULONG(data.size()), &pin), STATUS_SUCCESS);
        }
        KSDATARANGE wildcard = {sizeof(KSDATARANGE),
                                0,
                                0,
                                0,
                                KSDATAFORMAT_TYPE_AUDIO,
                                KSDATAFORMAT_SUBTYPE_PCM,
                                KSDATAFORMAT_SPECIFIER_WILDCARD};
        ULONG length = 0;
        // A client that names its range by valid bits finds the format as well.
        const KSDATARANGE_AUDIO byValidBits = {{sizeof(KSDATARANGE_AUDIO), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO,
                                                KSDATAFORMAT_SUBTYPE_PCM,
                                                KSDATAFORMAT_SPECIFIER_WAVEFORMATEX},
                                               2,
                                               16,
                                               20,
                                               8000,
                                               48000,
                                               0};
        ASSERT_EQ(filter.Intersect(0, &byValidBits, sizeof(byValidBits), ULONG(result.size()), result.data(),
                                   &length),
                  STATUS_SUCCESS);
        EXPECT_EQ(std::memcmp(result.data() + 64, &formats[0], sizeof(WAVEFORMATEXTENSIBLE)), 0);
        ASSERT_EQ(
            filter.Intersect(0, &wildcard, sizeof(wildcard), ULONG(result.size()), result.data(), &length),
            STATUS_SUCCESS);
        ASSERT_EQ(length, 104u);
    }
    WAVEFORMATEXTENSIBLE chosen;
    std::memcpy(&chosen, result.data() + 64, sizeof(chosen));
    EXPECT_EQ(std::memcmp(&chosen, &formats[0], sizeof(chosen)), 0) << "the default is the listed format";

    std::vector<UCHAR> source(48 * 6 * 200);
    std::mt19937 random(3);
    for (auto &b : source)
        b = UCHAR(random() | 0x11); // no zero byte, and the low byte's top nibble set
    const auto played = Play("HPOut00Wave", result, source, 0x01, 100);
    ASSERT_GE(played.size(), 48u * 6 * 60);
    for (size_t k = 0; k < played.size(); ++k)
        ASSERT_EQ(played[k] & (k % 3 == 0 ? 0xF0 : 0xFF), source[k] & (k % 3 == 0 ? 0xF0 : 0xFF))
            << "byte " << k;
    Remove();
}

// Two class 1.0 functions and no association: the first function's header names its streaming
// interfaces, so the second function's are never bound to the first's terminals; the first plays and
// records, and nothing is asked of the second.
TEST_F(DeviceDescriptorsTest, OfTwoClass1FunctionsTheFirstStartsWithItsOwnInterfacesOnly)
{
    auto headset = HuldHeadset();
    usbsim::Uac1Options second;
    second.interfaceBase = 3;
    second.endpointBase = 4;
    usbsim::Bytes &config = headset->Descriptors().configuration;
    config = usbsim::JoinConfigurations(config, usbsim::BuildUac1Headset(second).configuration);
    bus->Iso(kPort).SetPattern(0x82, usbsim::IsoPattern::Ramp);
    ASSERT_TRUE(Start(headset));
    EXPECT_EQ(WaveNames(), (std::set<std::string>{"HPOut00Wave", "MicIn00Wave"}));
    EXPECT_TRUE(sim::DebugLogContains("interface 4 belongs to another function: ignored"));
    EXPECT_TRUE(sim::DebugLogContains("interface 5 belongs to another function: ignored"));

    ExpectStereoPlaysBitExact();
    const auto recorded =
        Record("MicIn00Wave", engine_test::MakeFormat(WAVE_FORMAT_PCM, 1, 48000, 16, false), 100);
    ASSERT_GE(recorded.size(), 2u * 48 * 50);
    const auto *samples = reinterpret_cast<const int16_t *>(recorded.data());
    for (size_t n = 1; n < recorded.size() / 2; ++n)
        ASSERT_EQ(int16_t(samples[n] - samples[n - 1]), 1) << "sample " << n;

    for (const usbsim::Event &e : bus->Log(usbsim::EventKind::Urb))
        if (e.bmRequestType & 0x60 && (e.bmRequestType & 0x1F) == 1)
        {
            EXPECT_LT(uint8_t(e.wIndex), 3) << "a request to the second function";
        }
    for (const usbsim::Event &e : bus->Log(usbsim::EventKind::SelectInterface))
        EXPECT_LT(e.interfaceNumber, 3) << "the second function's interface selected";
    Remove();
}

// The first AudioControl interface picks the class (1.0 here), but its function owns only a MIDI
// interface: the start is refused for that, not for the class 2.0 function's interfaces after it.
TEST_F(DeviceDescriptorsTest, AClass1FunctionWithoutStreamingBeforeAClass2FunctionIsRefusedForThat)
{
    usbsim::Uac2Options options;
    options.interfaceBase = 2;
    usbsim::DescriptorSet set = usbsim::BuildUac2Headset(options);
    set.configuration = usbsim::JoinConfigurations(usbsim::BuildUac1MidiFunction(0), set.configuration);
    auto device = usbsim::VirtualDevice::Make(set, usbsim::DeviceFamily::Uac2);
    device->SetString(0x50, u"Huld");
    device->otherReads[0x02u << 16 | 0x51] = {0x1F};
    EXPECT_FALSE(Start(device));
    EXPECT_TRUE(sim::DebugLogContains("the audio function of interface 0 owns no audio streaming interface"));
    EXPECT_TRUE(sim::DebugLogContains("interface 3 belongs to another function: ignored"));
    EXPECT_TRUE(WaveNames().empty());
    Remove();
}

// Every refused start says why in one line that names the descriptor and the rule.
TEST_F(DeviceDescriptorsTest, EveryRefusedStartLogsItsReason)
{
    struct Case
    {
        const char *name;
        Maker make;
        const char *logged;
    };
    const Case cases[] = {
        {"class 1.0 without an identification string", [] { return usbsim::VirtualDevice::Uac1(); },
         "identification string 0x50 or 0x32 not readable"},
        {"class 2.0 without its chip string",
         []
         {
             auto d = usbsim::VirtualDevice::Uac2();
             d->Descriptors().strings.erase(0x32);
             return d;
         },
         "identification string 0x32 not readable"},
        {"no output terminal with jacks",
         []
         {
             auto d = HuldHeadset();
             d->jacks.erase(usbsim::kUac1PlaybackOt);
             return d;
         },
         "no output terminal with jacks"},
        {"no jacks on the terminal a stream plays to",
         []
         {
             usbsim::Uac1Options options;
             options.secondRender = true;
             auto d = HuldHeadset(options);
             d->jacks.erase(usbsim::kUac1PlaybackOt);
             return d;
         },
         "no jacks on the terminal it plays to"},
        {"a processing unit",
         Uac1With(WithControlDescriptor({13, 0x24, 0x07, 20, 0x01, 0x00, 1, 1, 2, 0x03, 0x00, 0x00, 0x00})),
         "ParseControlInterface unsupported subtype 7"},
        {"a stream linked to no unit",
         Uac1With([](usbsim::Bytes &b)
                  { usbsim::Set8(b, size_t(usbsim::FindDescriptor(b, 0x24, 0x01, 1)) + 3, 99); }),
         "interface 1: AS_GENERAL links to 99, no such unit"},
        {"a stream linked to a feature unit",
         Uac1With(
             [](usbsim::Bytes &b) {
                 usbsim::Set8(b, size_t(usbsim::FindDescriptor(b, 0x24, 0x01, 1)) + 3,
                              usbsim::kUac1PlaybackFu);
             }),
         "interface 1: AS_GENERAL links to 2, not a terminal"},
        {"a feature unit shorter than its fields", Uac1With(WithControlDescriptor({5, 0x24, 0x06, 20, 0x01})),
         "ParseControlInterface interface 0: descriptor of 5 bytes, type 0x24, malformed"},
        {"a format of type II",
         // The input terminals share the subtype: the third is the render setting's format.
         Uac1With([](usbsim::Bytes &b)
                  { usbsim::Set8(b, size_t(usbsim::FindDescriptor(b, 0x24, 0x02, 2)) + 3, 2); }),
         "interface 1 alternate 1: format type neither I nor III"},
        {"a rate range up to 192 kHz",
         []
         {
             usbsim::Uac1Options options;
             options.rates = {};
             options.rangeHigh = 192000;
             return HuldHeadset(options);
         },
         "range up to 192000 Hz above 96000"},
        // The configuration opens alternate 0 of every interface: one short of its endpoints is refused
        // before the bus is asked.
        {"a streaming interface's alternate 0 naming an endpoint it lacks",
         Uac1With([](usbsim::Bytes &b) { usbsim::Set8(b, size_t(usbsim::FindInterface(b, 2, 0)) + 4, 1); }),
         "SelectConfiguration interface 2 alternate 0 not selectable: endpoint descriptor missing"},
        {"an AudioControl interface naming an endpoint it lacks",
         Uac2With([](usbsim::Bytes &b) { usbsim::Set8(b, size_t(usbsim::FindInterface(b, 0, 0)) + 4, 2); }),
         "SelectConfiguration interface 0 alternate 0 not selectable: endpoint descriptor missing"},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(Start(c.make()));
        EXPECT_TRUE(sim::DebugLogContains(c.logged));
        // Each reason is the driver's own: the bus never had to refuse a selection.
        for (const usbsim::Event &e : bus->Log(usbsim::EventKind::SelectConfiguration))
            EXPECT_EQ(e.status, STATUS_SUCCESS);
        Remove();
        Restart();
    }
}

} // namespace
