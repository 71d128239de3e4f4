// The stream classes beyond plain class 1.0 render and capture: the S/PDIF stream's format list,
// the DSP render class's stereo packing, the class 2.0 streams with explicit feedback and their
// recovery, and every stream class unplugged or starved of memory at random moments.
#include <random>

#include <map>

#include <sim/portcls_sim.h>

#include "driver/base/usb_vendor_ids.h"
#include "driver/filters/node_values.h"
#include "support/engine_doubles.h"
#include "usb_stream_fixture.h"

namespace
{
using namespace stream_test;

constexpr USHORT kAc3Tag = 0x0092;

// The formats an engine offers, read back through its own interface.
std::vector<WAVEFORMATEXTENSIBLE> EngineFormats(CStreamEngine *engine)
{
    std::vector<WAVEFORMATEXTENSIBLE> formats;
    for (ULONG i = 0, n = engine->GetFormatCount(); i < n; ++i)
    {
        WAVEFORMATEXTENSIBLE f{};
        EXPECT_EQ(engine->GetFormat(i, &f), STATUS_SUCCESS);
        formats.push_back(f);
    }
    return formats;
}

size_t CountOf(const std::vector<WAVEFORMATEXTENSIBLE> &formats, USHORT tag, ULONG rate)
{
    return size_t(std::count_if(formats.begin(), formats.end(),
                                [&](const WAVEFORMATEXTENSIBLE &f) {
                                    return f.SubFormat == SubFormatForTag(tag) &&
                                           f.Format.nSamplesPerSec == rate;
                                }));
}

class SpdifStreamTest : public UsbStreamTest
{
protected:
    void TearDown() override
    {
        if (terminal)
            terminal->Release();
        terminal = nullptr;
        UsbStreamTest::TearDown();
    }
    void BringSpdif()
    {
        UsbAudioFunctionInputs inputs{};
        inputs.DeviceClass = UsbAudioDeviceClass::Mirk;
        Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1, CreateUac1Stream, inputs);
        ASSERT_NE(dynamic_cast<CUac1RenderStreamEx *>(stream), nullptr);
        ASSERT_EQ(stream->AddStreamFormat(Pcm(44100, 2, 16), 1), STATUS_SUCCESS);
        ASSERT_EQ(stream->AddStreamFormat(Pcm(48000, 2, 16), 1), STATUS_SUCCESS);
        terminal = hal_test::Make<engine_test::ScriptedState>(40, 0);
        ASSERT_EQ(stream->GetEngine()->AttachNode(terminal), STATUS_SUCCESS);
    }
    NTSTATUS Name(ULONG type)
    {
        terminal->value = type;
        return stream->GetEngine()->SetName(u"SPDIFOut00");
    }
    engine_test::ScriptedState *terminal = nullptr;
};

TEST_F(SpdifStreamTest, TheFormatListFollowsTheTerminalTypeAndNeverRepeatsAnEntry)
{
    BringSpdif();
    CStreamEngine *engine = stream->GetEngine();
    UCHAR alternate = 0;
    WAVEFORMATEXTENSIBLE ac3 = Pcm(48000, 2, 16);
    ac3.Format.cbSize = 0;
    ac3.SubFormat = SubFormatForTag(kAc3Tag);

    ASSERT_EQ(Name(2), STATUS_SUCCESS);
    auto formats = EngineFormats(engine);
    EXPECT_EQ(formats.size(), 5u);
    for (ULONG rate : {44100u, 48000u, 96000u})
        EXPECT_EQ(CountOf(formats, kAc3Tag, rate), 1u) << rate;
    EXPECT_EQ(CountOf(formats, WAVE_FORMAT_PCM, 96000), 0u);
    ASSERT_EQ(stream->FindAlternateSetting(&ac3, &alternate), STATUS_SUCCESS);
    EXPECT_EQ(alternate, 2);

    ASSERT_EQ(Name(1), STATUS_SUCCESS);
    formats = EngineFormats(engine);
    EXPECT_EQ(formats.size(), 2u);
    EXPECT_EQ(stream->FindAlternateSetting(&ac3, &alternate), STATUS_INVALID_PARAMETER)
        << "the stream's own list lost them too";

    for (int round = 0; round < 2; ++round)
    {
        ASSERT_EQ(Name(3), STATUS_SUCCESS);
        formats = EngineFormats(engine);
        EXPECT_EQ(formats.size(), 6u);
        EXPECT_EQ(CountOf(formats, WAVE_FORMAT_PCM, 96000), 1u) << "round " << round;
    }
    WAVEFORMATEXTENSIBLE pcm96 = Pcm(96000, 2, 16);
    pcm96.dwChannelMask = 3;
    ASSERT_EQ(stream->FindAlternateSetting(&pcm96, &alternate), STATUS_SUCCESS);
    EXPECT_EQ(alternate, 5);
    ac3.Format.nSamplesPerSec = 96000;
    ac3.Format.nAvgBytesPerSec = 384000;
    ASSERT_EQ(stream->FindAlternateSetting(&ac3, &alternate), STATUS_SUCCESS);
    EXPECT_EQ(alternate, 5);

    // Another type leaves the list alone.
    ASSERT_EQ(Name(14), STATUS_SUCCESS);
    EXPECT_EQ(EngineFormats(engine).size(), 6u);
}

TEST_F(SpdifStreamTest, AFailedAdditionLeavesNoHalfSetAndNothingAllocated)
{
    BringSpdif();
    ASSERT_EQ(Name(1), STATUS_SUCCESS);
    FailEachAllocation([&] { return Name(2); },
                       [&](NTSTATUS status)
                       {
                           const auto formats = EngineFormats(stream->GetEngine());
                           if (NT_SUCCESS(status))
                               EXPECT_EQ(formats.size(), 5u);
                           else
                           {
                               EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
                               EXPECT_EQ(formats.size(), 2u) << "no AC-3 format without the whole set";
                           }
                           ASSERT_EQ(Name(1), STATUS_SUCCESS);
                       });
}

TEST_F(UsbStreamTest, FormatLookupsMatchPlainTagsAndNeverReadPastTheRecord)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    WAVEFORMATEXTENSIBLE stored = Pcm(48000, 2, 16);
    ASSERT_EQ(stream->AddStreamFormat(stored, 1), STATUS_SUCCESS);
    UCHAR alternate = 0;

    WAVEFORMATEXTENSIBLE plain = stored;
    plain.Format.wFormatTag = WAVE_FORMAT_PCM;
    plain.Format.cbSize = 0;
    EXPECT_EQ(stream->FindAlternateSetting(&plain, &alternate), STATUS_SUCCESS);
    EXPECT_EQ(alternate, 1);
    plain.Format.wBitsPerSample = 24;
    EXPECT_EQ(stream->FindAlternateSetting(&plain, &alternate), STATUS_INVALID_PARAMETER);

    // A record claiming 40 bytes of extension is read as the 40-byte record it is: an exact copy
    // matches, a copy differing in its last byte does not (the sanitizer run sees any over-read).
    auto exact = std::make_unique<WAVEFORMATEXTENSIBLE>(stored);
    exact->Format.cbSize = 40;
    WAVEFORMATEXTENSIBLE storedLong = *exact;
    ASSERT_EQ(stream->AddStreamFormat(storedLong, 4), STATUS_SUCCESS);
    EXPECT_EQ(stream->FindAlternateSetting(exact.get(), &alternate), STATUS_SUCCESS);
    EXPECT_EQ(alternate, 4);
    exact->SubFormat.Data4[7] ^= 1;
    EXPECT_EQ(stream->FindAlternateSetting(exact.get(), &alternate), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream->FindAlternateSetting(nullptr, &alternate), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream->FindAlternateSetting(&stored, nullptr), STATUS_INVALID_PARAMETER);

    // Playing and stopping twice leaves the device's active-stream count where it started.
    for (int round = 0; round < 2; ++round)
    {
        Client client;
        Start(client, stored, 1);
        EXPECT_EQ(layer->GetStreamCount(), 1);
        sim::AdvanceMs(20);
        Stop(client);
        EXPECT_EQ(layer->GetStreamCount(), 0);
    }
    // Only a change between zero and some bandwidth moves the count.
    for (const UCHAR alternate : {1, 1})
        ASSERT_EQ(stream->SelectAlternateSetting(alternate, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(layer->GetStreamCount(), 1);
    ASSERT_EQ(stream->SelectAlternateSetting(0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(layer->GetStreamCount(), 0);
}

} // namespace

namespace
{
// ---- DSP render class ---------------------------------------------------------------------------

class DspRenderTest : public UsbStreamTest
{
protected:
    // The effect headset's render stream on the class 1.0 headset's stereo endpoint. Without the
    // chain's blocks the stream runs without DSP, so what reaches the bus can be compared bytewise.
    void BringDsp(bool withChain)
    {
        UsbAudioFunctionInputs inputs{};
        inputs.DeviceClass = UsbAudioDeviceClass::Plon;
        if (!withChain)
            sim::pool::FailTag(PoolTag::DSPs);
        Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1, CreateUac1Stream, inputs);
        sim::pool::FailTag(PoolTag::DSPs, false);
        ASSERT_NE(dynamic_cast<CUac1DspRenderStream *>(stream), nullptr);
    }
    // Plays `format` for 50 ms; the client's position messages, each one transfer's.
    std::vector<ULONG> Play(Client &client, const WAVEFORMATEXTENSIBLE &format)
    {
        positions.clear();
        Start(client, format, 1);
        sim::AdvanceMs(50);
        Stop(client);
        return positions;
    }
    static VOID Recorder(PVOID context, PVOID argument1, PVOID argument2)
    {
        auto *self = static_cast<DspRenderTest *>(context);
        auto *m = static_cast<CyclicControlMessage *>(argument1);
        if (self->client && m->RunningClient == self->client->record && m->Code == CYCLIC_MSG_POSITION)
            self->positions.push_back(ULONG(m->Value1));
        Client::Callback(self->client, argument1, argument2);
    }
    void Start(Client &c, const WAVEFORMATEXTENSIBLE &format, UCHAR alternate)
    {
        client = &c;
        stream->AddStreamFormat(format, alternate);
        ASSERT_EQ(stream->RegisterClient(3, &format, 10, 3, Recorder, this, &c.record), STATUS_SUCCESS);
        ULONG frames = 0, frame = 0;
        ASSERT_EQ(stream->OpenClient(c.record->ClientHandle, &frames, &frame), STATUS_SUCCESS);
        ASSERT_EQ(stream->StartClient(c.record->ClientHandle, frame + 2, &frames, nullptr), STATUS_SUCCESS);
    }
    Client *client = nullptr;
    std::vector<ULONG> positions;
};

TEST_F(DspRenderTest, MultichannelFramesLeaveAsTheirFirstTwoChannelsAndThePositionIsTheClients)
{
    BringDsp(false);
    Client client;
    WAVEFORMATEXTENSIBLE eight = Pcm(48000, 8, 16);
    const auto positions = Play(client, eight);
    ASSERT_GE(positions.size(), 4u);
    for (ULONG p : positions)
        ASSERT_EQ(p, 7680u) << "480 frames of 16 bytes";
    const auto sizes = OutSizes(0x01);
    ASSERT_EQ(sizes.size(), positions.size() * 10);
    for (uint32_t s : sizes)
        ASSERT_EQ(s, 192u) << "48 stereo frames";
    // Byte k of the client's stream is k mod 256; frame n's first four bytes reach the bus.
    const auto bytes = OutBytes(0x01);
    for (size_t k = 0; k < bytes.size(); ++k)
        ASSERT_EQ(bytes[k], uint8_t((k / 4) * 16 + k % 4)) << "byte " << k;

    // Five channels pack by whole samples, not by half the channel count; a mono block is sent as it
    // came, and said so once.
    const struct
    {
        USHORT channels;
        ULONG position, packet;
    } others[] = {{5, 4800, 192}, {1, 960, 96}};
    for (const auto &o : others)
    {
        SCOPED_TRACE(o.channels);
        Iso().ClearOutPackets(0x01);
        Client other;
        for (ULONG p : Play(other, Pcm(48000, o.channels, 16)))
            ASSERT_EQ(p, o.position);
        for (uint32_t s : OutSizes(0x01))
            ASSERT_EQ(s, o.packet);
    }
    EXPECT_EQ(sim::DebugLogCount("DSP render passes tag"), 1u);
}

TEST_F(DspRenderTest, TheChainRunsOnTheClientsChannelsBeforeThePacking)
{
    BringDsp(true);
    Client client;
    const auto positions = Play(client, Pcm(48000, 8, 16));
    ASSERT_GE(positions.size(), 4u);
    for (ULONG p : positions)
        ASSERT_EQ(p, 7680u);
    for (uint32_t s : OutSizes(0x01))
        ASSERT_EQ(s, 192u);
    EXPECT_FALSE(sim::DebugLogContains("Save FPU error"));
    // The chain's limiter delays its output by 256 samples: the first 256 stereo frames on the bus
    // are silence where the client's frames were not.
    const auto bytes = OutBytes(0x01);
    ASSERT_GE(bytes.size(), 256u * 4);
    for (size_t k = 0; k < 256 * 4; ++k)
        ASSERT_EQ(bytes[k], 0) << "byte " << k;
}

// ---- Class 2.0 streams --------------------------------------------------------------------------

// The clock source node the class 2.0 streams select their rate on; it sets the device's rate as
// the clock's CUR request does.
class RecordingClock : public CClockNode
{
public:
    RecordingClock(PUNKNOWN outer, ULONG id, std::shared_ptr<usbsim::VirtualDevice> *device)
        : CClockNode(outer, id), m_Device(device)
    {
    }
    std::vector<ULONG> selected;
    NTSTATUS refuse = STATUS_SUCCESS;
    NTSTATUS SelectRate(ULONG rate) override
    {
        selected.push_back(rate);
        if (!NT_SUCCESS(refuse))
            return refuse;
        for (const auto &entry : std::map<uint8_t, uint32_t>((*m_Device)->EndpointRates()))
            (*m_Device)->SetEndpointRate(entry.first, rate);
        return CClockNode::SelectRate(rate);
    }

private:
    std::shared_ptr<usbsim::VirtualDevice> *m_Device;
};

class Uac2StreamTest : public UsbStreamTest
{
protected:
    static constexpr ULONG kClockNode = 77;
    void TearDown() override
    {
        ReleaseStream();
        if (hal)
            hal->Release();
        hal = nullptr;
        if (clock)
            clock->Release();
        clock = nullptr;
        UsbStreamTest::TearDown();
    }
    void BringUac2(BOOLEAN capture, const usbsim::Uac2Options &options = {})
    {
        BringUac2(capture, usbsim::VirtualDevice::Uac2(options));
    }
    void BringUac2(BOOLEAN capture, std::shared_ptr<usbsim::VirtualDevice> headset)
    {
        clock = hal_test::Make<RecordingClock>(kClockNode, &device);
        hal = hal_test::Make<hal_test::TestHal>();
        hal->startFilters = {clock};
        ASSERT_EQ(hal->Init(nullptr, &deviceObject, nullptr, nullptr), STATUS_SUCCESS);
        clockNode = kClockNode;
        Bring(std::move(headset), capture, capture ? 2 : 1, CreateUac2Stream, {}, hal);
    }
    // URBs of `function` in the bus log (pipe resets, isochronous transfers) on `endpoint`.
    std::vector<usbsim::Event> UrbsOf(USHORT function, uint8_t endpoint) const
    {
        std::vector<usbsim::Event> found;
        for (const auto &e : Urbs())
            if (e.function == function && e.endpoint == endpoint)
                found.push_back(e);
        return found;
    }
    DEVICE_OBJECT deviceObject{};
    hal_test::TestHal *hal = nullptr;
    RecordingClock *clock = nullptr;
};

TEST_F(Uac2StreamTest, HighSpeedRenderSendsFeedbackAheadOfEightyPacketsOfSixFrames)
{
    BringUac2(FALSE);
    auto *render = dynamic_cast<CUac2RenderStream *>(stream);
    ASSERT_NE(render, nullptr);
    Client client;
    Start(client, Pcm(48000, 2, 16), 1);
    EXPECT_EQ(clock->selected, std::vector<ULONG>{48000});
    EXPECT_TRUE(UrbsOf(URB_FUNCTION_CLASS_ENDPOINT, 0x01).empty()) << "the endpoint takes no rate";
    sim::AdvanceMs(60);
    Stop(client);

    const auto sizes = OutSizes(0x01);
    ASSERT_GE(sizes.size(), 400u);
    for (uint32_t s : sizes)
        ASSERT_EQ(s, 6u * 4);
    const auto bytes = OutBytes(0x01);
    for (size_t i = 0; i < bytes.size(); ++i)
        ASSERT_EQ(bytes[i], uint8_t(i)) << "byte " << i;
    EXPECT_EQ(client.positionBytes, client.filled);
    // One feedback transfer of ten packets ahead of each data transfer.
    const auto data = UrbsOf(URB_FUNCTION_ISOCH_TRANSFER, 0x01).size();
    const auto feedback = UrbsOf(URB_FUNCTION_ISOCH_TRANSFER, 0x81).size();
    EXPECT_EQ(feedback, data);
    EXPECT_EQ(render->FeedbackPackets(), 10 * feedback);
    EXPECT_EQ(render->MeasuredRate(), 48000u);
}

TEST_F(Uac2StreamTest, RandomFeedbackNeverPutsAPacketPastItsSlot)
{
    BringUac2(FALSE);
    auto *render = dynamic_cast<CUac2RenderStream *>(stream);
    Client client;
    Start(client, Pcm(48000, 2, 16), 1);
    std::mt19937 rng(1616);
    const uint32_t nominal = 48000u * 65536 / 8000;
    bool sawAbove = false, sawBelow = false;
    for (int round = 0; round < 60; ++round)
    {
        // Within 1000 Hz either side (measured), anything at all, and short packets.
        const uint32_t value = rng() % 3 ? nominal - 8192 + rng() % 16384 : uint32_t(rng());
        Iso().SetFeedbackValue(0x81, value);
        if (rng() % 4 == 0)
            Iso().ScriptPacket(0x81, Iso().NextPacketSequence(0x81) + rng() % 10,
                               usbsim::IsoPacketScript::Short, rng() % 4);
        sim::AdvanceMs(5);
        sawAbove |= render->MeasuredRate() > 48000;
        sawBelow |= render->MeasuredRate() < 48000;
    }
    Stop(client);
    EXPECT_TRUE(sawAbove && sawBelow) << "the rate followed the feedback both ways";
    for (uint32_t s : OutSizes(0x01))
        ASSERT_LE(s, 7u * 4) << "one frame above nominal at most";
    EXPECT_EQ(client.positionBytes, client.filled);
}

// One packet a frame (bInterval 4) on an endpoint whose packets would hold 49 frames: 44.1 kHz measured
// about 1 kHz fast carries a 46th frame into a packet now and then, and each packet has a 45-frame
// slot of the transfer buffer, so every packet stops at 45 frames.
TEST_F(Uac2StreamTest, AFastRateAtOnePacketAFrameKeepsEveryPacketInItsSlot)
{
    usbsim::Uac2Options options;
    options.dataInterval = 4;
    usbsim::DescriptorSet set = usbsim::BuildUac2Headset(options);
    auto &b = set.configuration;
    for (size_t at = 0; at + 7 <= b.size() && b[at] >= 2; at += b[at])
        if (b[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && b[at + 2] == 0x01)
            usbsim::Set16(b, at + 4, 49 * 4);
    BringUac2(FALSE, usbsim::VirtualDevice::Make(set, usbsim::DeviceFamily::Uac2));
    auto *render = dynamic_cast<CUac2RenderStream *>(stream);
    ASSERT_NE(render, nullptr);
    Client client;
    Start(client, Pcm(44100, 2, 16), 1);
    Iso().SetFeedbackValue(0x81, uint32_t(45.099 * 65536));
    sim::AdvanceMs(300);
    Stop(client);
    ASSERT_GT(render->MeasuredRate(), 45000u);
    const auto sizes = OutSizes(0x01);
    ASSERT_GE(sizes.size(), 250u);
    EXPECT_GE(std::count(sizes.begin(), sizes.end(), 45u * 4), ptrdiff_t(sizes.size() - 30))
        << "the packets after the three transfers sent at the nominal rate are full";
    for (uint32_t s : sizes)
        ASSERT_LE(s, 45u * 4);
    EXPECT_EQ(client.positionBytes, client.filled);
}

TEST_F(Uac2StreamTest, APacketErrorResetsBothPipesAndRestartsWithThreeTransfers)
{
    BringUac2(FALSE);
    Client client;
    Start(client, Pcm(48000, 2, 16), 1, 2, 5);
    sim::AdvanceMs(20);
    const size_t formats = client.formatValues.size();
    Iso().ScriptPacket(0x01, Iso().NextPacketSequence(0x01) + 20, usbsim::IsoPacketScript::Error);
    sim::AdvanceMs(40);
    const auto resets = UrbsOf(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0x01);
    const auto feedbackResets = UrbsOf(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0x81);
    ASSERT_EQ(resets.size(), 1u);
    ASSERT_EQ(feedbackResets.size(), 1u);
    EXPECT_LT(resets[0].sequence, feedbackResets[0].sequence) << "the data pipe first";
    // Submitted at the moment of recovery: three data transfers, each after its feedback.
    size_t restarted = 0;
    for (const auto &e : UrbsOf(URB_FUNCTION_ISOCH_TRANSFER, 0x01))
        restarted += e.sequence > feedbackResets[0].sequence && e.time == feedbackResets[0].time;
    EXPECT_EQ(restarted, 3u);
    EXPECT_EQ(client.formatValues.size(), formats) << "no format message, no pause";
    EXPECT_EQ(Count(usbsim::EventKind::CyclePort), 0u);
    const uint64_t after = Iso().OutPacketCount(0x01);
    sim::AdvanceMs(20);
    EXPECT_GT(Iso().OutPacketCount(0x01), after);
    Stop(client);
}

// The recovery's first transfer, held up past its frame, goes again two frames after the frame the bus
// has reached: the stream plays on and the port is not cycled.
TEST_F(Uac2StreamTest, ARecoveryHeldUpPastItsFrameSendsItsFirstTransferAgain)
{
    BringUac2(FALSE);
    Client client;
    Start(client, Pcm(48000, 2, 16), 1, 3, 5);
    sim::AdvanceMs(20);
    HoldUpTransfers(0x01, 10, 1);
    Iso().ScriptPacket(0x01, Iso().NextPacketSequence(0x01) + 20, usbsim::IsoPacketScript::Error);
    sim::AdvanceMs(40);
    ASSERT_EQ(heldUp, 1u);
    const auto rejects = IsoLines("iso reject", 0x01);
    ASSERT_EQ(rejects.size(), 1u);
    EXPECT_NE(rejects[0].find("is in the past"), std::string::npos) << rejects[0];
    EXPECT_EQ(SubmitsAt(0x01, heldUpTo + 2), 1u) << "two frames after the frame the bus had reached";
    EXPECT_EQ(Count(usbsim::EventKind::CyclePort), 0u);
    const uint64_t after = Iso().OutPacketCount(0x01);
    sim::AdvanceMs(20);
    EXPECT_GE(Iso().OutPacketCount(0x01), after + 20 * 8 - 3 * 8) << "it plays on, within one transfer";
    Stop(client);
}

TEST_F(Uac2StreamTest, AFailingPipeResetCyclesThePortOnce)
{
    BringUac2(FALSE);
    Client client;
    Start(client, Pcm(48000, 2, 16), 1);
    sim::AdvanceMs(10);
    bus->FailSyncReset(kPort, 0x01);
    for (int i = 0; i < 3; ++i)
    {
        Iso().ScriptPacket(0x01, Iso().NextPacketSequence(0x01) + 5, usbsim::IsoPacketScript::Error);
        sim::AdvanceMs(100);
    }
    EXPECT_EQ(Count(usbsim::EventKind::CyclePort), 1u);
    EXPECT_TRUE(UrbsOf(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0x81).empty())
        << "the feedback pipe waits for the data pipe's reset";
    Stop(client);
}

TEST_F(Uac2StreamTest, CaptureDeliversEachTransferWholeAndTellsTheClientItsTransfers)
{
    BringUac2(TRUE);
    ASSERT_NE(dynamic_cast<CUac2CaptureStream *>(stream), nullptr);
    Iso().SetPattern(0x82, usbsim::IsoPattern::Ramp);
    Iso().ScriptPacket(0x82, Iso().NextPacketSequence(0x82) + 30, usbsim::IsoPacketScript::ZeroLength);
    Client client;
    Start(client, Pcm(48000, 1, 16), 1, 3, 1);
    EXPECT_EQ(client.record->TransfersInFlight, 4u) << "raised to 10 ms and written back";
    EXPECT_EQ(clock->selected, std::vector<ULONG>{48000});
    sim::AdvanceMs(60);
    Stop(client);
    EXPECT_EQ(client.positionBytes, client.captured.size());
    ASSERT_GE(client.captured.size(), 2u * 6 * 8 * 40);
    // Microframes of six samples; packet 30 is seven samples of silence, then the ramp goes on.
    const auto *samples = reinterpret_cast<const int16_t *>(client.captured.data());
    for (size_t n = 0; n < 180; ++n)
        ASSERT_EQ(samples[n], int16_t(n)) << n;
    for (size_t n = 180; n < 187; ++n)
        ASSERT_EQ(samples[n], 0) << n;
    for (size_t n = 187; n < client.captured.size() / 2; ++n)
        ASSERT_EQ(samples[n], int16_t(n - 1)) << n;
}

TEST_F(Uac2StreamTest, ValidAlternateSettingsComeFromTheDevicesBitMap)
{
    BringUac2(FALSE);
    device->validAlternates[1] = 0x05;
    EXPECT_TRUE(stream->IsAlternateSettingValid(0));
    EXPECT_FALSE(stream->IsAlternateSettingValid(1));
    EXPECT_TRUE(stream->IsAlternateSettingValid(2));
    EXPECT_FALSE(stream->IsAlternateSettingValid(9));
}

TEST_F(Uac2StreamTest, ARefusedClockRateFailsTheOpenAndLeavesTheInterfaceIdle)
{
    BringUac2(FALSE);
    clock->refuse = STATUS_UNSUCCESSFUL;
    Client client;
    EXPECT_EQ(Open(client, Pcm(48000, 2, 16), 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stream->State(), STREAM_CLOSED);
    EXPECT_EQ(bus->CurrentAlternate(kPort, 1), 0);
    EXPECT_EQ(stream->UnregisterClient(client.record->ClientHandle), STATUS_SUCCESS);
}

TEST_F(UsbStreamTest, ProtectedContentGoesBelowWithTheDataPipe)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    IStreamDrm *drm = QueryAs<IStreamDrm>(static_cast<IStreamBuilder *>(stream), IID_IStreamDrm);
    ASSERT_NE(drm, nullptr);
    const DRMRIGHTS rights = {1, 0, 1};
    EXPECT_EQ(drm->SetContentId(5, &rights), STATUS_UNSUCCESSFUL) << "no pipe before a selection";
    sim::portcls::ClearForwardedContents();
    Client client;
    Start(client, Pcm(48000, 2, 16), 1);
    EXPECT_EQ(drm->SetContentId(9, &rights), STATUS_SUCCESS);
    ExpectOneForward(9, rights);

    // The port sets content on its own thread: while a client operation holds the stream (one that
    // may select another setting and free the pipe's record), the forward waits for it to end.
    sim::portcls::ClearForwardedContents();
    CMutexLock &lock = stream->GetEngine()->StreamLock();
    ASSERT_TRUE(lock.Lock());
    NTSTATUS waited = STATUS_PENDING;
    sim::HostThread port([&] { waited = drm->SetContentId(10, &rights); });
    sim::AdvanceMs(100);
    sim::RunUntilIdle();
    EXPECT_FALSE(port.Done()) << "forwarded beside a client operation";
    ASSERT_TRUE(lock.Unlock());
    port.Join();
    EXPECT_EQ(waited, STATUS_SUCCESS);
    ExpectOneForward(10, rights);

    Stop(client);
    EXPECT_EQ(drm->SetContentId(11, &rights), STATUS_UNSUCCESSFUL) << "no pipe once the client closed";
    drm->Release();
}

} // namespace

namespace
{
// ---- Every stream class unplugged, or short of memory -------------------------------------------

// A fresh bench per round costs about ten milliseconds (forty under the sanitizers).
#if defined(__SANITIZE_ADDRESS__)
constexpr int kUnplugRounds = 25;
#else
constexpr int kUnplugRounds = 200;
#endif

// The five stream classes, each on the interface and format of a headset that carries it.
enum class Kind
{
    Uac1Render,
    Uac1Capture,
    DspRender,
    Uac2Render,
    Uac2Capture,
};
constexpr Kind kKinds[] = {Kind::Uac1Render, Kind::Uac1Capture, Kind::DspRender, Kind::Uac2Render,
                           Kind::Uac2Capture};

class StreamClassesTest : public Uac2StreamTest
{
protected:
    void BringKind(Kind kind)
    {
        kind_ = kind;
        UsbAudioFunctionInputs inputs{};
        inputs.DeviceClass = UsbAudioDeviceClass::Plon;
        switch (kind)
        {
        case Kind::Uac1Render:
            return Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
        case Kind::Uac1Capture:
            return Bring(usbsim::VirtualDevice::Chip(), TRUE, 2);
        case Kind::DspRender:
            return Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1, CreateUac1Stream, inputs);
        case Kind::Uac2Render:
            return BringUac2(FALSE);
        case Kind::Uac2Capture:
            return BringUac2(TRUE);
        }
    }
    WAVEFORMATEXTENSIBLE Format() const
    {
        switch (kind_)
        {
        case Kind::Uac1Capture:
            return Pcm(48000, 2, 16);
        case Kind::DspRender:
            return Pcm(48000, 8, 16);
        case Kind::Uac2Capture:
            return Pcm(48000, 1, 16);
        default:
            return Pcm(48000, 2, 16);
        }
    }
    uint8_t DataEndpoint() const
    {
        return kind_ == Kind::Uac1Capture || kind_ == Kind::Uac2Capture ? 0x82 : 0x01;
    }
    Kind kind_ = Kind::Uac1Render;
};

TEST_F(StreamClassesTest, UnpluggedAtRandomMomentsEveryStreamEndsCleanly)
{
    std::mt19937 rng(200);
    for (int round = 0; round < kUnplugRounds; ++round)
    {
        const Kind kind = kKinds[round % 5];
        SCOPED_TRACE(round);
        BringKind(kind);
        Client client;
        Start(client, Format(), 1, 1 + rng() % 10, 1 + rng() % 10);
        sim::AdvanceMs(rng() % 20);
        switch (rng() % 4)
        {
        case 0: // mid-transfer
            bus->UnplugAtFrame(kPort, Iso().CurrentFrame() + rng() % 30);
            sim::AdvanceMs(rng() % 60);
            break;
        case 1: // while the thread recovers (class 1.0 waits 100 ms there)
            Iso().ScriptPacket(DataEndpoint(), Iso().NextPacketSequence(DataEndpoint()) + rng() % 20,
                               usbsim::IsoPacketScript::Error);
            bus->UnplugAtFrame(kPort, Iso().CurrentFrame() + rng() % 150);
            sim::AdvanceMs(rng() % 200);
            break;
        case 2: // while the stop waits for the last transfers
            bus->UnplugAtUrb(kPort, 1 + rng() % 20);
            break;
        default: // in the middle of the client's state changes
            bus->Unplug(kPort);
            break;
        }
        PVOID handle = client.record->ClientHandle;
        const LONGLONG stopping = sim::Now();
        stream->StopClient(handle, nullptr);
        stream->CloseClient(handle);
        EXPECT_EQ(stream->UnregisterClient(handle), STATUS_SUCCESS);
        client.record = nullptr;
        EXPECT_EQ(stream->Outstanding(), 0);
        EXPECT_EQ(stream->State(), STREAM_CLOSED);
        // Stopping, closing and destroying (the thread's end) wait for nothing that will not come.
        ReleaseStream();
        EXPECT_LE(sim::Now() - stopping, 5 * 10'000'000LL) << "virtual 100 ns units";
        NextRound();
    }
}

TEST_F(StreamClassesTest, SteadyStreamingAllocatesNothing)
{
    for (Kind kind : kKinds)
    {
        SCOPED_TRACE(int(kind));
        BringKind(kind);
        Client client;
        Start(client, Format(), 1);
        sim::AdvanceMs(50);
        const size_t before = sim::Allocations();
        sim::AdvanceMs(1000);
        EXPECT_EQ(sim::Allocations(), before);
        EXPECT_GT(client.Count(CYCLIC_MSG_POSITION), 90u);
        Stop(client);
        NextRound();
    }
}

TEST_F(StreamClassesTest, EachAllocationOfEveryStreamPathFailsCleanly)
{
    for (Kind kind : kKinds)
    {
        SCOPED_TRACE(int(kind));
        BringKind(kind);
        const BOOLEAN capture = kind == Kind::Uac1Capture || kind == Kind::Uac2Capture;
        const auto format = Format();
        // The stream's own set-up, on a fresh object each time.
        FailEachAllocation(
            [&]
            {
                IStreamBuilder *fresh = nullptr;
                const PFN_CREATE_STREAM create = kind == Kind::Uac2Render || kind == Kind::Uac2Capture
                                                     ? CreateUac2Stream
                                                     : CreateUac1Stream;
                NTSTATUS status = create({}, capture, 1, 0, kClockNode, PoolTag::US10, &fresh);
                if (NT_SUCCESS(status))
                {
                    status = fresh->InitStream(capture, hal, &device_);
                    fresh->Release();
                }
                return status;
            },
            [](NTSTATUS) {});
        FailEachAllocation([&] { return stream->AddStreamFormat(format, 1); }, [](NTSTATUS) {});
        Client client;
        FailEachAllocation(
            [&]
            { return stream->RegisterClient(3, &format, 10, 3, Client::Callback, &client, &client.record); },
            [&](NTSTATUS status)
            {
                if (NT_SUCCESS(status))
                {
                    EXPECT_EQ(stream->UnregisterClient(client.record->ClientHandle), STATUS_SUCCESS);
                }
            });
        ASSERT_EQ(stream->RegisterClient(3, &format, 10, 3, Client::Callback, &client, &client.record),
                  STATUS_SUCCESS);
        ULONG frames = 0, frame = 0;
        FailEachAllocation(
            [&]
            {
                const NTSTATUS status = stream->OpenClient(client.record->ClientHandle, &frames, &frame);
                EXPECT_EQ(stream->State(), NT_SUCCESS(status) ? STREAM_PREPARED : STREAM_CLOSED);
                return status;
            },
            [&](NTSTATUS status)
            {
                if (NT_SUCCESS(status))
                {
                    EXPECT_EQ(stream->CloseClient(client.record->ClientHandle), STATUS_SUCCESS);
                }
            });
        EXPECT_EQ(bus->CurrentAlternate(kPort, capture ? 2 : 1), 0);
        EXPECT_EQ(stream->UnregisterClient(client.record->ClientHandle), STATUS_SUCCESS);
        NextRound();
    }
}

} // namespace

namespace
{
TEST_F(Uac2StreamTest, AGoneDeviceEndsTheThreadAfterOneAttemptAndOnlyRawDataAbortsOnTheDevice)
{
    BringUac2(FALSE);
    WAVEFORMATEXTENSIBLE raw = Pcm(48000, 2, 16);
    raw.SubFormat = SubFormatForTag(0);
    raw.SubFormat.Data1 = SalvineVendorId;
    Client client;
    Start(client, raw, 1);
    const auto vendorAborts = [&]
    {
        size_t n = 0;
        for (const auto &e : Urbs())
            n += e.function == URB_FUNCTION_VENDOR_INTERFACE && e.bRequest == 0x10 && e.wIndex == 1;
        return n;
    };
    EXPECT_EQ(stream->AbortPipe(), STATUS_SUCCESS);
    EXPECT_EQ(vendorAborts(), 1u);
    sim::AdvanceMs(10);
    bus->Unplug(kPort);
    sim::AdvanceMs(5000);
    EXPECT_TRUE(stream->DeviceGone());
    EXPECT_EQ(sim::DebugLogCount("Error_ErrorOccur, m_StreamState"), 1u);
    EXPECT_EQ(stream->Outstanding(), 0);
    Stop(client);

    Restart();
    BringUac2(FALSE);
    Client pcm;
    Start(pcm, Pcm(48000, 2, 16), 1);
    EXPECT_EQ(stream->AbortPipe(), STATUS_SUCCESS);
    EXPECT_EQ(vendorAborts(), 0u) << "a PCM stream has nothing to tell the device";
    Stop(pcm);
}
} // namespace
