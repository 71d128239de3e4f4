// The isochronous stream classes over the real USB layer and the simulated bus: packet sizing against
// what the bus received, render data and capture data bit-exact through a client, the capture ring's
// messages, client arbitration, recovery and unplugging, all on the virtual clock.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <random>
#include <vector>

#include <usbd_lib.h>

#include "driver/base/pool_memory.h"
#include "driver/core/usb_audio_stream.h"
#include "driver/filters/miniport_wave_cyclic.h"
#include "driver/filters/wave_cyclic_stream.h"
#include "support/hal_doubles.h"
#include "usb_stream_fixture.h"

namespace
{
using namespace stream_test;

TEST_F(UsbStreamTest, RenderPacketsFollowTheRateAcrossTransfersAndCarryTheClientsBytesInOrder)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    Client client;
    Start(client, Pcm(44100, 2, 16), 1);
    sim::AdvanceMs(100);
    Stop(client);

    const auto sizes = OutSizes(0x01);
    ASSERT_GE(sizes.size(), 60u);
    // Nine packets of 44 frames, then one of 45, the remainder carried from transfer to transfer.
    for (size_t i = 0; i < sizes.size(); ++i)
        EXPECT_EQ(sizes[i], (i % 10 == 9 ? 45u : 44u) * 4) << "packet " << i;
    const auto bytes = OutBytes(0x01);
    for (size_t i = 0; i < bytes.size(); ++i)
        ASSERT_EQ(bytes[i], uint8_t(i)) << "byte " << i;
    EXPECT_EQ(client.positionBytes, client.filled) << "every transfer sent reports its bytes";
    EXPECT_EQ(stream->State(), STREAM_CLOSED);
    EXPECT_FALSE(stream->HoldsBandwidth());
}

TEST_F(UsbStreamTest, FortyEightKilohertzAtFullSpeedIsTenPacketsOfFortyEight)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    Client client;
    Start(client, Pcm(48000, 2, 16), 1);
    sim::AdvanceMs(50);
    Stop(client);
    const auto sizes = OutSizes(0x01);
    ASSERT_GE(sizes.size(), 30u);
    for (uint32_t s : sizes)
        EXPECT_EQ(s, 48u * 4);
}

TEST_F(UsbStreamTest, HighSpeedIntervalsGiveEightToOnePacketsPerFrameWithOutOfRangeIntervalsClamped)
{
    const struct
    {
        uint8_t interval;
        ULONG packetsPerFrame;
        bool stream; // the device's 52-byte packets hold 6 or 12 stereo frames, not more
    } cases[] = {{1, 8, true}, {0, 8, true}, {2, 4, true}, {3, 2, false}, {4, 1, false}, {5, 1, false}};
    for (const auto &c : cases)
    {
        SCOPED_TRACE(int(c.interval));
        usbsim::Uac2Options options;
        options.dataInterval = c.interval;
        Bring(usbsim::VirtualDevice::Uac2(options), FALSE, 1);
        EXPECT_EQ(stream->GetPacketsPerFrame(1), c.packetsPerFrame);
        if (c.stream)
        {
            Client client;
            Start(client, Pcm(48000, 2, 16), 1);
            sim::AdvanceMs(30);
            Stop(client);
            const auto sizes = OutSizes(0x01);
            ASSERT_GE(sizes.size(), 10 * c.packetsPerFrame);
            for (uint32_t s : sizes)
                EXPECT_EQ(s, 48000 / (c.packetsPerFrame * 1000) * 4);
        }
        ReleaseStream();
        ExFreePool(selection);
        selection = nullptr;
        Restart();
    }
}

TEST_F(UsbStreamTest, CaptureDeliversTheDevicesRampInOrderThroughARingOfFortyMilliseconds)
{
    Bring(usbsim::VirtualDevice::Chip(), TRUE, 2);
    Iso().SetPattern(0x82, usbsim::IsoPattern::Ramp);
    Client client;
    // Three frames a transfer do not divide the ring, so deliveries wrap it.
    Start(client, Pcm(48000, 2, 16), 1, 3, 1);
    EXPECT_EQ(stream->CaptureRingBytes(), 7680u);
    EXPECT_EQ(stream->TransfersInFlight(), 4u) << "at least 10 ms stay in flight";
    sim::AdvanceMs(200);
    Stop(client);

    ASSERT_GE(client.captured.size(), 4u * 48 * 150);
    EXPECT_EQ(client.positionBytes, client.captured.size());
    // Frame n, channel c carries n + c; the first frame delivered is the device's first.
    const auto *samples = reinterpret_cast<const int16_t *>(client.captured.data());
    for (size_t n = 0; n < client.captured.size() / 4; ++n)
        for (size_t c = 0; c < 2; ++c)
            ASSERT_EQ(samples[2 * n + c], int16_t(n + c)) << "frame " << n;
    // The 7680-byte ring wrapped: a wrap gives two data messages and one position.
    EXPECT_GT(client.Count(CYCLIC_MSG_CAPTURE_DATA), client.Count(CYCLIC_MSG_POSITION));
}

TEST_F(UsbStreamTest, AZeroLengthCapturePacketIsAPacketOfSilence)
{
    Bring(usbsim::VirtualDevice::Chip(), TRUE, 2);
    Iso().SetPattern(0x82, usbsim::IsoPattern::Ramp);
    const uint64_t first = Iso().NextPacketSequence(0x82);
    Iso().ScriptPacket(0x82, first + 3, usbsim::IsoPacketScript::ZeroLength);
    Client client;
    Start(client, Pcm(48000, 2, 16), 1, 10, 1);
    sim::AdvanceMs(30);
    Stop(client);
    // Packets 0-2 carry 48 frames each; packet 3 is 49 frames of silence; the ramp goes on after it.
    ASSERT_GE(client.captured.size(), 4u * (48 * 5 + 49));
    const auto *samples = reinterpret_cast<const int16_t *>(client.captured.data());
    EXPECT_EQ(samples[2 * 143], 143);
    for (size_t n = 144; n < 144 + 49; ++n)
        ASSERT_EQ(samples[2 * n], 0) << "frame " << n;
    EXPECT_EQ(samples[2 * (144 + 49)], 144 + 48) << "the device's next frame follows the silence";
}

TEST_F(UsbStreamTest, RandomCapturePacketsNeitherOverrunNorLoseTheBooks)
{
    Bring(usbsim::VirtualDevice::Chip(), TRUE, 2);
    Iso().SetPattern(0x82, usbsim::IsoPattern::Ramp);
    std::mt19937 rng(16);
    const uint64_t first = Iso().NextPacketSequence(0x82);
    for (uint64_t i = 0; i < 300; ++i)
        switch (rng() % 8)
        {
        case 0:
            Iso().ScriptPacket(0x82, first + i, usbsim::IsoPacketScript::ZeroLength);
            break;
        case 1:
            Iso().ScriptPacket(0x82, first + i, usbsim::IsoPacketScript::Short, rng() % 400);
            break;
        case 2:
            if (rng() % 4 == 0)
                Iso().ScriptPacket(0x82, first + i, usbsim::IsoPacketScript::Error, 0,
                                   rng() % 2 ? USBD_STATUS_CRC : USBD_STATUS_DATA_OVERRUN);
            break;
        default:
            break;
        }
    Client client;
    Start(client, Pcm(48000, 2, 16), 1, 10, 1);
    sim::AdvanceMs(600);
    Stop(client);
    EXPECT_GT(client.captured.size(), 0u);
    EXPECT_EQ(client.positionBytes, client.captured.size()) << "every delivery is announced";
    EXPECT_EQ(client.captured.size() % 4, 0u) << "whole frames only";
}

TEST_F(UsbStreamTest, AHigherKindClientPreemptsAndTheFirstIsPreparedAgainWhenItCloses)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    Client wave, lowLatency;
    Start(wave, Pcm(48000, 2, 16), 1);
    sim::AdvanceMs(20);
    const auto other = Pcm(44100, 2, 16);
    stream->AddStreamFormat(other, 1);
    ASSERT_EQ(stream->RegisterClient(5, &other, 10, 3, Client::Callback, &lowLatency, &lowLatency.record),
              STATUS_SUCCESS);
    ULONG frames = 0, frame = 0;
    ASSERT_EQ(stream->OpenClient(lowLatency.record->ClientHandle, &frames, &frame), STATUS_SUCCESS);
    EXPECT_EQ(stream->OpenedClient(), lowLatency.record);
    EXPECT_EQ(device->EndpointRate(0x01), 44100u);
    ASSERT_EQ(stream->StartClient(lowLatency.record->ClientHandle, frame + 2, &frames, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(stream->RunningClient(), lowLatency.record);
    ASSERT_FALSE(lowLatency.formatValues.empty());
    EXPECT_EQ(lowLatency.formatValues.back(), 10u | CYCLIC_FORMAT_CHANGED);
    sim::AdvanceMs(20);
    Stop(lowLatency);
    Iso().ClearOutPackets(0x01);
    EXPECT_EQ(stream->RunningClient(), wave.record);
    EXPECT_EQ(device->EndpointRate(0x01), 48000u);
    ASSERT_FALSE(wave.formatValues.empty());
    EXPECT_EQ(wave.formatValues.back(), 10u | CYCLIC_FORMAT_CHANGED);
    sim::AdvanceMs(20);
    for (uint32_t s : OutSizes(0x01))
        EXPECT_EQ(s, 48u * 4);

    // Starting the running head again announces its format without a restart.
    const size_t before = wave.formatValues.size();
    ASSERT_EQ(stream->StartClient(wave.record->ClientHandle, 0, &frames, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(wave.formatValues.size(), before + 1);
    EXPECT_EQ(wave.formatValues.back(), 10u);
    EXPECT_EQ(stream->StopClient(wave.record->ClientHandle, nullptr), STATUS_SUCCESS);
    Stop(wave);
}

TEST_F(UsbStreamTest, ClientValuesTheTransferPoolCannotServeAreRefused)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    const auto format = Pcm(48000, 2, 16);
    stream->AddStreamFormat(format, 1);
    Client client;
    const ULONG bad[][2] = {{0, 3}, {11, 3}, {10, 0}, {10, 11}};
    for (const auto &b : bad)
    {
        EXPECT_EQ(stream->RegisterClient(3, &format, b[0], b[1], Client::Callback, &client, &client.record),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(client.record, nullptr);
    }
    const size_t before = sim::pool::OutstandingBlocks(PoolTag::USBS);
    EXPECT_EQ(stream->UnregisterClient(reinterpret_cast<PVOID>(1)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::USBS), before);
}

TEST_F(UsbStreamTest, APacketErrorRecoversAfterAPauseThroughZeroBandwidth)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    Client client;
    Start(client, Pcm(48000, 2, 16), 1);
    sim::AdvanceMs(20);
    Iso().ScriptPacket(0x01, Iso().NextPacketSequence(0x01) + 2, usbsim::IsoPacketScript::Error);
    const size_t formatsBefore = client.formatValues.size();
    sim::AdvanceMs(300);
    ASSERT_GT(client.formatValues.size(), formatsBefore);
    EXPECT_EQ(client.formatValues[formatsBefore], 10u | CYCLIC_FORMAT_CHANGED);
    EXPECT_TRUE(sim::DebugLogContains("Error_ErrorOccur, m_StreamState = 2"));
    EXPECT_EQ(stream->State(), STREAM_RUNNING);
    const uint64_t afterRecovery = Iso().OutPacketCount(0x01);
    sim::AdvanceMs(50);
    EXPECT_GT(Iso().OutPacketCount(0x01), afterRecovery) << "the stream plays again";
    Stop(client);
}

TEST_F(UsbStreamTest, UnpluggedWhileRunningTheThreadGivesUpAfterOneAttemptAndNothingLeaks)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    Client client;
    Start(client, Pcm(48000, 2, 16), 1);
    sim::AdvanceMs(20);
    bus->Unplug(kPort);
    sim::AdvanceMs(5000);
    EXPECT_TRUE(stream->DeviceGone());
    EXPECT_LE(sim::DebugLogCount("Error_ErrorOccur, m_StreamState"), 1u);
    EXPECT_EQ(stream->Outstanding(), 0);
    Stop(client);
    ReleaseStream();
}

TEST_F(UsbStreamTest, SynchronousCompletionsNeitherRecurseNorDeadlock)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    Iso().SetSynchronous(true);
    Client client;
    Start(client, Pcm(48000, 2, 16), 1);
    for (int i = 0; i < 100 && Iso().OutPacketCount(0x01) < 10000; ++i)
        sim::AdvanceMs(10);
    EXPECT_GE(Iso().OutPacketCount(0x01), 10000u) << "1000 transfers went out";
    Iso().SetSynchronous(false);
    Stop(client);
}

TEST_F(UsbStreamTest, EachAllocationOfPreparationFailsCleanly)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    const auto format = Pcm(48000, 2, 16);
    stream->AddStreamFormat(format, 1);
    Client client;
    ASSERT_EQ(stream->RegisterClient(3, &format, 10, 3, Client::Callback, &client, &client.record),
              STATUS_SUCCESS);
    const size_t before = sim::Allocations();
    ULONG frames = 0, frame = 0;
    ASSERT_EQ(stream->OpenClient(client.record->ClientHandle, &frames, &frame), STATUS_SUCCESS);
    const size_t needed = sim::Allocations() - before;
    ASSERT_EQ(stream->CloseClient(client.record->ClientHandle), STATUS_SUCCESS);
    const size_t live = sim::pool::OutstandingBlocks();
    for (unsigned k = 1; k <= needed; ++k)
    {
        SCOPED_TRACE(k);
        sim::FailAllocation(k);
        const NTSTATUS status = stream->OpenClient(client.record->ClientHandle, &frames, &frame);
        sim::FailAllocation(0);
        if (NT_SUCCESS(status))
            ASSERT_EQ(stream->CloseClient(client.record->ClientHandle), STATUS_SUCCESS);
        EXPECT_EQ(stream->State(), STREAM_CLOSED);
        EXPECT_EQ(sim::pool::OutstandingBlocks(), live) << sim::pool::LeakReport();
    }
    EXPECT_EQ(stream->UnregisterClient(client.record->ClientHandle), STATUS_SUCCESS);
}

// ---- The wave-cyclic stream over the class 1.0 streams ----------------------------------------------

// A 104-byte data format for `format`, as a pin is opened with.
std::vector<UCHAR> DataFormat(const WAVEFORMATEXTENSIBLE &format, ULONG size = 104)
{
    std::vector<UCHAR> data(size);
    KSDATAFORMAT header{
        size, 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, format.SubFormat, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX};
    std::memcpy(data.data(), &header, sizeof(header));
    std::memcpy(data.data() + 64, &format, std::min<size_t>(sizeof(format), size - 64));
    return data;
}

class WaveStreamTest : public UsbStreamTest
{
protected:
    void TearDown() override
    {
        CloseStream();
        if (port)
            port->Release();
        port = nullptr;
        if (miniportUnknown)
            miniportUnknown->Release();
        miniportUnknown = nullptr;
        if (hal)
            hal->Release();
        hal = nullptr;
        UsbStreamTest::TearDown();
    }
    // The endpoint's wave miniport over the USB stream's engine, behind a wave port.
    void OpenMiniport(const WAVEFORMATEXTENSIBLE &format)
    {
        ASSERT_EQ(stream->AddStreamFormat(format, 1), STATUS_SUCCESS);
        ASSERT_EQ(stream->GetEngine()->SetName(u"HPOut00"), STATUS_SUCCESS);
        hal = hal_test::Make<hal_test::TestHal>();
        hal->startEngines = {stream->GetEngine()};
        ASSERT_EQ(hal->Init(nullptr, &deviceObject, nullptr, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(CreateMiniportWaveCyclic(&miniportUnknown, CLSID_PortWaveCyclic, nullptr, NonPagedPool, 0),
                  STATUS_SUCCESS);
        miniport = static_cast<CMiniportWaveCyclic *>(
            QueryAs<IMiniportWaveCyclic>(miniportUnknown, IID_IMiniportWaveCyclic));
        miniport->Release();
        ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
        ASSERT_EQ(port->Init(&deviceObject, nullptr, miniportUnknown, static_cast<IAudioHal *>(hal), nullptr),
                  STATUS_SUCCESS);
    }
    NTSTATUS OpenPin(const std::vector<UCHAR> &data, BOOLEAN capture = FALSE)
    {
        return miniport->NewStream(&wave, nullptr, NonPagedPool, 0, capture,
                                   reinterpret_cast<PKSDATAFORMAT>(const_cast<UCHAR *>(data.data())), &dma,
                                   &group);
    }
    void CloseStream()
    {
        for (IUnknown **o : {reinterpret_cast<IUnknown **>(&wave), reinterpret_cast<IUnknown **>(&dma),
                             reinterpret_cast<IUnknown **>(&group)})
            if (*o)
                (*o)->Release(), *o = nullptr;
    }
    void Run()
    {
        ASSERT_EQ(wave->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
        ASSERT_EQ(wave->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        ASSERT_EQ(wave->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }
    void StopPin()
    {
        EXPECT_EQ(wave->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        EXPECT_EQ(wave->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
        EXPECT_EQ(wave->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    }

    DEVICE_OBJECT deviceObject{};
    hal_test::TestHal *hal = nullptr;
    PUNKNOWN miniportUnknown = nullptr;
    CMiniportWaveCyclic *miniport = nullptr;
    PPORT port = nullptr;
    PMINIPORTWAVECYCLICSTREAM wave = nullptr;
    PDMACHANNEL dma = nullptr;
    PSERVICEGROUP group = nullptr;
};

TEST_F(WaveStreamTest, RenderPlaysTheCyclicBufferBitExactFromTheLeadBehindItsStart)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    const auto format = Pcm(48000, 2, 16);
    OpenMiniport(format);
    ASSERT_EQ(OpenPin(DataFormat(format)), STATUS_SUCCESS);
    EXPECT_EQ(OpenPin(DataFormat(format)), STATUS_INSUFFICIENT_RESOURCES) << "one stream at a time";

    ULONG framing = 0;
    EXPECT_EQ(wave->SetNotificationFreq(3, &framing), 10u);
    EXPECT_EQ(framing, 1920u);
    const ULONG size = dma->BufferSize();
    ASSERT_EQ(size, 9600u) << "50 ms";
    auto *buffer = static_cast<uint8_t *>(dma->SystemAddress());
    for (ULONG i = 0; i < size; ++i)
        buffer[i] = uint8_t(i * 7 + 3);

    Run();
    ULONG last = 0;
    for (int i = 0; i < 20; ++i)
    {
        sim::AdvanceMs(5);
        ULONG position = 0;
        ASSERT_EQ(wave->GetPosition(&position), STATUS_SUCCESS);
        ASSERT_LT(position, size);
        last = position;
    }
    (void)last;
    StopPin();

    // The device stream runs five frames a transfer, three in flight: the first copy starts that far
    // (15 ms, 2880 bytes) behind the buffer's start.
    const auto bytes = OutBytes(0x01);
    ASSERT_GE(bytes.size(), 4u * 48 * 90);
    const ULONG start = size - 2880;
    for (size_t k = 0; k < bytes.size(); ++k)
        ASSERT_EQ(bytes[k], buffer[(start + k) % size]) << "byte " << k;

    CloseStream();
    EXPECT_EQ(miniport->OpenStreams(), 0);
    ASSERT_EQ(OpenPin(DataFormat(format)), STATUS_SUCCESS) << "the pin opens again after a close";
}

TEST_F(WaveStreamTest, AShorterBufferSizeWrapsTheCopiesAndPositions)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    const auto format = Pcm(48000, 2, 16);
    OpenMiniport(format);
    ASSERT_EQ(OpenPin(DataFormat(format)), STATUS_SUCCESS);
    const ULONG size = dma->AllocatedBufferSize() * 7 / 10 / 4 * 4;
    dma->SetBufferSize(size);
    ASSERT_EQ(dma->BufferSize(), size);
    auto *buffer = static_cast<uint8_t *>(dma->SystemAddress());
    for (ULONG i = 0; i < size; ++i)
        buffer[i] = uint8_t(i * 13 + 1);
    Run();
    for (int i = 0; i < 30; ++i)
    {
        sim::AdvanceMs(5);
        ULONG position = 0;
        wave->GetPosition(&position);
        ASSERT_LT(position, size);
    }
    StopPin();
    const auto bytes = OutBytes(0x01);
    ASSERT_GE(bytes.size(), 4u * 48 * 120);
    const ULONG start = size - 2880;
    for (size_t k = 0; k < bytes.size(); ++k)
        ASSERT_EQ(bytes[k], buffer[(start + k) % size]) << "byte " << k;
}

TEST_F(WaveStreamTest, CaptureBringsTheDevicesRampIntoTheCyclicBuffer)
{
    Bring(usbsim::VirtualDevice::Chip(), TRUE, 2);
    Iso().SetPattern(0x82, usbsim::IsoPattern::Ramp);
    const auto format = Pcm(48000, 2, 16);
    OpenMiniport(format);
    ASSERT_EQ(OpenPin(DataFormat(format), TRUE), STATUS_SUCCESS);
    Run();
    sim::AdvanceMs(30);
    ULONG position = 0;
    ASSERT_EQ(wave->GetPosition(&position), STATUS_SUCCESS);
    StopPin();
    ASSERT_GE(position, 4u * 48 * 10);
    const auto *samples = static_cast<const int16_t *>(dma->SystemAddress());
    for (ULONG n = 0; n < position / 4; ++n)
        for (ULONG c = 0; c < 2; ++c)
            ASSERT_EQ(samples[2 * n + c], int16_t(n + c)) << "frame " << n;
}

TEST_F(WaveStreamTest, DataFormatsOfTheWrongSizeAreRefusedAndSetFormatWaitsForAStop)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    const auto format = Pcm(48000, 2, 16);
    OpenMiniport(format);
    EXPECT_EQ(OpenPin(DataFormat(format, 86)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(miniport->OpenStreams(), 0);
    ASSERT_EQ(OpenPin(DataFormat(format)), STATUS_SUCCESS);
    Run();
    auto data = DataFormat(format);
    EXPECT_EQ(wave->SetFormat(reinterpret_cast<PKSDATAFORMAT>(data.data())), STATUS_UNSUCCESSFUL);
    StopPin();
    EXPECT_EQ(wave->SetFormat(reinterpret_cast<PKSDATAFORMAT>(data.data())), STATUS_SUCCESS);
}

TEST_F(WaveStreamTest, EachAllocationOfOpeningAPinFailsCleanly)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    const auto format = Pcm(48000, 2, 16);
    OpenMiniport(format);
    const size_t live = sim::pool::OutstandingBlocks();
    const size_t before = sim::Allocations();
    ASSERT_EQ(OpenPin(DataFormat(format)), STATUS_SUCCESS);
    const size_t needed = sim::Allocations() - before;
    CloseStream();
    for (unsigned k = 1; k <= needed; ++k)
    {
        SCOPED_TRACE(k);
        sim::FailAllocation(k);
        const NTSTATUS status = OpenPin(DataFormat(format));
        sim::FailAllocation(0);
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(wave, nullptr);
        EXPECT_EQ(miniport->OpenStreams(), 0);
        EXPECT_EQ(sim::pool::OutstandingBlocks(), live) << sim::pool::LeakReport();
    }
}

} // namespace
