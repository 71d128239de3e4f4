// Pins of the endpoint's wave filter over the class 1.0 streams and the simulated bus, with the
// audio engine's client feeding or draining the cyclic buffer: what reaches the bus is the lead's
// silence and then the client's bytes, and the device's ramp reaches a capture client in order.
#include <algorithm>
#include <random>

#include "driver/filters/wave_cyclic_stream.h"

#include <sim/portcls_sim.h>

#include "usb_stream_fixture.h"

namespace
{
using namespace stream_test;

using WavePinTest = WaveStreamTest;

class WavePinRenderTest : public WavePinTest, public ::testing::WithParamInterface<ULONG>
{
};

TEST_P(WavePinRenderTest, TheBusGetsTheLeadOfSilenceThenTheSourceBitExactAcrossWraps)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    const auto format = Pcm(48000, 2, 16);
    OpenMiniport(format);
    const ULONG size = 9600 * GetParam() / 10 / 4 * 4;
    ASSERT_EQ(OpenClientPin(format, GetParam() == 10 ? 0 : size), STATUS_SUCCESS);
    ASSERT_EQ(pin->BufferSize(), size);
    std::vector<UCHAR> source(48000 * 4 / 2);
    std::mt19937 random(7);
    for (auto &b : source)
        b = UCHAR(random() | 1);
    pin->SetSource(source);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    for (int i = 0; i < 60; ++i)
    {
        sim::AdvanceMs(5);
        // The client's view of the position keeps within one transfer (5 ms) of what the bus took.
        const ULONGLONG bus = OutBytes(0x01).size();
        const ULONGLONG position = pin->Counters().Position;
        ASSERT_LE(position, bus + 960) << "at " << i * 5 << " ms";
        ASSERT_LE(bus, position + 960 * 4) << "at " << i * 5 << " ms";
    }
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    const auto counters = pin->Counters();
    EXPECT_EQ(counters.Underruns, 0u);
    EXPECT_EQ(counters.Backwards, 0u);
    EXPECT_EQ(counters.Misplaced, 0u);

    // Five frames a transfer, three in flight: 15 ms of the buffer's untouched end go first.
    const auto bytes = OutBytes(0x01);
    ASSERT_GE(bytes.size(), 48u * 4 * 250);
    for (size_t k = 0; k < bytes.size(); ++k)
        ASSERT_EQ(bytes[k], k < 2880 ? 0 : source[k - 2880]) << "byte " << k;
}

INSTANTIATE_TEST_SUITE_P(WholeAndShortenedBuffer, WavePinRenderTest, ::testing::Values(10u, 7u));

// A kind-5 client at 44.1 kHz takes the endpoint from a running pin: the pin's books follow the other
// client's transfers in its own frames, and once that client goes its source plays again.
TEST_F(WavePinTest, APreemptedPinKeepsItsPositionMovingAndPlaysAgainWhenTheOtherCloses)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    const auto format = Pcm(48000, 2, 16);
    OpenMiniport(format);
    ASSERT_EQ(OpenClientPin(format), STATUS_SUCCESS);
    std::vector<UCHAR> source(48000 * 4);
    std::mt19937 random(5);
    for (auto &b : source)
        b = UCHAR(random() | 1);
    pin->SetSource(source);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    sim::AdvanceMs(20);
    const auto *wave = static_cast<CMiniportWaveCyclicStream *>(pin->Stream());

    Client lowLatency;
    Start(lowLatency, Pcm(44100, 2, 16), 1, 10, 3, 5);
    ASSERT_EQ(stream->RunningClient(), lowLatency.record);
    sim::AdvanceMs(50);
    {
        std::lock_guard<std::mutex> g(lowLatency.guard);
        const uint64_t deviceFrames = lowLatency.positionBytes / 4;
        EXPECT_GE(deviceFrames, 441u * 4);
        EXPECT_EQ(wave->TotalBytes(), deviceFrames * 48000 / 44100 * 4);
    }
    // What the audio engine reads: that position, at most one converted 10 ms transfer on.
    ULONG position = 0;
    ASSERT_EQ(pin->Stream()->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_LE((position + 9600 - wave->TotalBytes() % 9600) % 9600, 1920u);

    Stop(lowLatency);
    EXPECT_EQ(device->EndpointRate(0x01), 48000u);
    Iso().ClearOutPackets(0x01);
    sim::AdvanceMs(100);
    for (uint32_t size : OutSizes(0x01))
        ASSERT_EQ(size, 192u);
    const auto bytes = OutBytes(0x01);
    ASSERT_GE(bytes.size(), 192u * 90);
    const auto tail = bytes.end() - 192 * 50;
    EXPECT_NE(std::search(source.begin(), source.end(), tail, bytes.end()), source.end())
        << "the last 50 ms are the source's bytes in order";
}

// The port passes protected content to an open pin's stream: a render pin of the class 1.0 headset
// forwards the id and its rights below, once, with its data pipe; a capture pin's device stream has no
// content forwarding and the query's refusal comes back.
TEST_F(WavePinTest, ContentIdAndRightsOfARenderPinReachTheDeviceBelowOnce)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    const auto format = Pcm(48000, 2, 16);
    OpenMiniport(format);
    ASSERT_EQ(OpenClientPin(format), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    sim::portcls::ClearForwardedContents();
    const DRMRIGHTS rights = {0, 0, 1};
    ASSERT_EQ(pin->SetContentId(0x2A, rights), STATUS_SUCCESS);
    ExpectOneForward(0x2A, rights);
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(WavePinTest, ContentIdOnACapturePinGetsTheRefusalOfTheDeviceStream)
{
    Bring(usbsim::VirtualDevice::Chip(), TRUE, 2);
    const auto format = Pcm(48000, 2, 16);
    OpenMiniport(format);
    ASSERT_EQ(OpenClientPin(format), STATUS_SUCCESS);
    sim::portcls::ClearForwardedContents();
    EXPECT_EQ(pin->SetContentId(7, DRMRIGHTS{1, 0, 0}), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(sim::portcls::ForwardedContents().empty());
}

// Also when the pin's first transfer reaches the bus after its start frame has passed (a thread held
// up on a loaded machine): the bus refuses it once and the pin runs all the same.
TEST_F(WavePinTest, TheDevicesRampReachesACaptureClientInOrder)
{
    for (const bool heldUpStart : {false, true})
    {
        SCOPED_TRACE(heldUpStart ? "start held up" : "start on time");
        Bring(usbsim::VirtualDevice::Chip(), TRUE, 2);
        Iso().SetPattern(0x82, usbsim::IsoPattern::Ramp);
        const auto format = Pcm(48000, 2, 16);
        OpenMiniport(format);
        ASSERT_EQ(OpenClientPin(format), STATUS_SUCCESS);
        ASSERT_TRUE(pin->Capture());
        if (heldUpStart)
            HoldUpTransfers(0x82, 10, 1);
        ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        sim::AdvanceMs(200);
        ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        EXPECT_EQ(IsoLines("iso reject", 0x82).size(), heldUpStart ? 1u : 0u);
        const auto counters = pin->Counters();
        EXPECT_EQ(counters.Underruns, 0u);
        EXPECT_EQ(counters.Backwards, 0u);
        EXPECT_EQ(counters.Misplaced, 0u);
        const auto moved = pin->Moved();
        ASSERT_GE(moved.size(), 4u * 48 * 150) << "a buffer's worth several times over";
        const auto *samples = reinterpret_cast<const int16_t *>(moved.data());
        for (size_t n = 0; n < moved.size() / 4; ++n)
            for (size_t c = 0; c < 2; ++c)
                ASSERT_EQ(samples[2 * n + c], int16_t(n + c)) << "frame " << n;
        pin.reset();
        filter.reset();
        CloseStream();
        bench.Close();
        NextRound();
    }
}

TEST_F(WavePinTest, ARenderPinWhoseFirstTransferMissesItsFrameStillPlaysTheSourceBitExact)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    const auto format = Pcm(48000, 2, 16);
    OpenMiniport(format);
    ASSERT_EQ(OpenClientPin(format), STATUS_SUCCESS);
    std::vector<UCHAR> source(48000 * 4 / 4);
    std::mt19937 random(11);
    for (auto &b : source)
        b = UCHAR(random() | 1);
    pin->SetSource(source);
    HoldUpTransfers(0x01, 10, 1);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    sim::AdvanceMs(100);
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(heldUp, 1u);
    EXPECT_EQ(IsoLines("iso reject", 0x01).size(), 1u);
    EXPECT_EQ(pin->Counters().Underruns, 0u);
    // The same 15 ms of the buffer's untouched end as on time, then the source.
    const auto bytes = OutBytes(0x01);
    ASSERT_GE(bytes.size(), 48u * 4 * 80);
    for (size_t k = 0; k < bytes.size(); ++k)
        ASSERT_EQ(bytes[k], k < 2880 ? 0 : source[k - 2880]) << "byte " << k;
}

} // namespace
