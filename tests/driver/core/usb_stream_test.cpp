// The isochronous stream classes over the real USB layer and the simulated bus: packet sizing against
// what the bus received, render data and capture data bit-exact through a client, the capture ring's
// messages, client arbitration, recovery and unplugging, all on the virtual clock.
#include <algorithm>
#include <cstdio>
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
    for (const ULONG rate : {44100u, 48000u})
    {
        SCOPED_TRACE(rate);
        Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
        Client client;
        Start(client, Pcm(rate, 2, 16), 1);
        sim::AdvanceMs(100);
        Stop(client);

        const auto sizes = OutSizes(0x01);
        ASSERT_GE(sizes.size(), 60u);
        // 44.1 kHz: nine packets of 44 frames, then one of 45, the remainder carried from transfer to
        // transfer; 48 kHz: 48 frames each.
        for (size_t i = 0; i < sizes.size(); ++i)
            EXPECT_EQ(sizes[i], (rate == 48000 ? 48u : i % 10 == 9 ? 45u : 44u) * 4) << "packet " << i;
        const auto bytes = OutBytes(0x01);
        for (size_t i = 0; i < bytes.size(); ++i)
            ASSERT_EQ(bytes[i], uint8_t(i)) << "byte " << i;
        EXPECT_EQ(client.positionBytes, client.filled) << "every transfer sent reports its bytes";
        EXPECT_EQ(stream->State(), STREAM_CLOSED);
        EXPECT_FALSE(stream->HoldsBandwidth());
        NextRound();
    }
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
        NextRound();
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
    // Each delivery is one transfer (3 packets of 48 frames): its data up to the ring's end, the
    // wrapped rest as a second message, then one position with the total.
    size_t read = 0, wraps = 0;
    std::vector<ULONG> pieces;
    for (const auto &m : client.messages)
    {
        if (m.code == CYCLIC_MSG_CAPTURE_DATA)
            pieces.push_back(m.value);
        if (m.code != CYCLIC_MSG_POSITION)
            continue;
        ASSERT_EQ(m.value, 576u);
        std::vector<ULONG> expected{m.value};
        if (read + m.value > 7680)
            expected = {ULONG(7680 - read), ULONG(read + m.value - 7680)}, ++wraps;
        ASSERT_EQ(pieces, expected) << "delivery at ring offset " << read;
        pieces.clear();
        read = (read + m.value) % 7680;
    }
    EXPECT_GE(wraps, 4u);
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
    EXPECT_EQ(layer->GetStreamCount(), 1) << "one stream holds bandwidth whichever client it serves";

    // Starting the running head again announces its format without a restart.
    const size_t before = wave.formatValues.size();
    ASSERT_EQ(stream->StartClient(wave.record->ClientHandle, 0, &frames, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(wave.formatValues.size(), before + 1);
    EXPECT_EQ(wave.formatValues.back(), 10u);
    EXPECT_EQ(stream->StopClient(wave.record->ClientHandle, nullptr), STATUS_SUCCESS);
    Stop(wave);
    EXPECT_EQ(layer->GetStreamCount(), 0);
}

// The walk offers no format whose packets do not fit; a client that brings one anyway gets packets cut
// to the endpoint's wMaxPacketSize, counted, and the bus sees no oversized packet.
TEST_F(UsbStreamTest, APacketAboveTheEndpointsLimitIsCutToItAndCounted)
{
    usbsim::Uac1Options options;
    options.renderMaxPacket = 180; // 45 stereo frames: 44.1 kHz fits, 48 kHz does not
    Bring(usbsim::VirtualDevice::Uac1(options), FALSE, 1);
    Client client;
    Start(client, Pcm(48000, 2, 16), 1);
    sim::AdvanceMs(50);
    Stop(client);
    const auto sizes = OutSizes(0x01);
    ASSERT_GE(sizes.size(), 30u);
    for (uint32_t size : sizes)
        ASSERT_EQ(size, 180u);
    EXPECT_GE(stream->ClampedPackets(), LONG(sizes.size()));
}

// A setting whose endpoints cannot carry the stream is neither valid nor selected: no bandwidth is
// asked for, the client hears why.
TEST_F(UsbStreamTest, SettingsWhoseEndpointsCannotCarryTheStreamAreNeitherValidNorSelected)
{
    struct Case
    {
        const char *name;
        bool uac2;
        uint8_t interfaceNumber, nth, field, value;
        const char *rule;
    } cases[] = {
        {"render endpoint IN", false, 1, 0, 2, 0x81, "data endpoint not OUT for render"},
        {"render endpoint interrupt", false, 1, 0, 3, 0x03, "data endpoint not isochronous"},
        {"feedback endpoint OUT", true, 1, 1, 2, 0x02, "feedback endpoint not isochronous IN"},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        auto headset = c.uac2 ? usbsim::VirtualDevice::Uac2() : usbsim::VirtualDevice::Uac1();
        usbsim::Bytes &config = headset->Descriptors().configuration;
        usbsim::Set8(config, size_t(usbsim::FindEndpoint(config, c.interfaceNumber, 1, c.nth)) + c.field,
                     c.value);
        Bring(headset, FALSE, c.interfaceNumber, c.uac2 ? CreateUac2Stream : CreateUac1Stream);
        EXPECT_TRUE(stream->IsAlternateSettingValid(0));
        EXPECT_FALSE(stream->IsAlternateSettingValid(1));
        sim::ClearDebugLog();
        EXPECT_EQ(stream->SelectAlternateSetting(1, nullptr), STATUS_DEVICE_CONFIGURATION_ERROR);
        EXPECT_TRUE(sim::DebugLogContains(std::string("alternate 1 refused: ") + c.rule));
        EXPECT_TRUE(bus->Log(usbsim::EventKind::SelectInterface).empty());
        if (c.uac2)
        {
            NextRound();
            continue; // its clients first need the clock, which this bench has not
        }
        Client client;
        sim::ClearDebugLog();
        const NTSTATUS opened = Open(client, Pcm(48000, 2, 16), 1);
        EXPECT_EQ(opened, STATUS_DEVICE_CONFIGURATION_ERROR);
        EXPECT_TRUE(sim::DebugLogContains(std::string("alternate 1 refused: ") + c.rule));
        for (const usbsim::Event &e : bus->Log(usbsim::EventKind::SelectInterface))
            EXPECT_EQ(e.alternateSetting, 0) << "no bandwidth for a setting that cannot stream";
        EXPECT_FALSE(stream->HoldsBandwidth());
        if (NT_SUCCESS(opened))
            stream->CloseClient(client.record->ClientHandle); // a wrong open still ends the round
        EXPECT_EQ(stream->UnregisterClient(client.record->ClientHandle), STATUS_SUCCESS);
        client.record = nullptr;
        NextRound();
    }
    // The builders' settings are valid.
    Bring(usbsim::VirtualDevice::Uac1(), TRUE, 2);
    EXPECT_TRUE(stream->IsAlternateSettingValid(1));
    EXPECT_FALSE(stream->IsAlternateSettingValid(2)) << "no such setting";
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
        client.record = reinterpret_cast<StreamClientRecord *>(&client);
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
    Iso().ClearLog();
    const size_t selectionsBefore = bus->Log(usbsim::EventKind::SelectInterface).size();
    Iso().ScriptPacket(0x01, Iso().NextPacketSequence(0x01) + 2, usbsim::IsoPacketScript::Error);
    const size_t formatsBefore = client.formatValues.size();
    sim::AdvanceMs(300);
    ASSERT_EQ(client.formatValues.size(), formatsBefore + 1);
    EXPECT_EQ(client.formatValues[formatsBefore], 10u | CYCLIC_FORMAT_CHANGED);
    EXPECT_EQ(sim::DebugLogCount("Error_ErrorOccur, m_StreamState = 2"), 1u);
    EXPECT_EQ(stream->State(), STREAM_RUNNING);

    // On the bus: the failed transfer, the two others in flight ending, then 100 ms later the
    // interface goes to zero bandwidth and back, and transfers start again two frames on.
    ULONG idleFrame = 0, restartFrame = 0;
    bool failed = false;
    for (const auto &line : Iso().Log())
    {
        unsigned long start = 0;
        unsigned packets = 0, status = 0;
        if (std::sscanf(line.c_str(), "iso complete pipe %*u ep 0x01 start %lu packets %u status 0x%x",
                        &start, &packets, &status) == 3 &&
            !restartFrame)
        {
            failed = failed || status != 0;
            idleFrame = ULONG(start + packets);
        }
        if (failed && !restartFrame &&
            std::sscanf(line.c_str(), "iso submit pipe %*u ep 0x01 out start %lu", &start) == 1)
            restartFrame = ULONG(start);
    }
    ASSERT_TRUE(failed);
    const auto selections = bus->Log(usbsim::EventKind::SelectInterface);
    ASSERT_EQ(selections.size(), selectionsBefore + 2);
    EXPECT_EQ(selections[selectionsBefore].alternateSetting, 0);
    EXPECT_EQ(selections[selectionsBefore].frame, idleFrame + 100);
    EXPECT_EQ(selections[selectionsBefore + 1].alternateSetting, 1);
    EXPECT_EQ(selections[selectionsBefore + 1].frame, idleFrame + 100);
    EXPECT_EQ(restartFrame, idleFrame + 102);
    const uint64_t afterRecovery = Iso().OutPacketCount(0x01);
    sim::AdvanceMs(50);
    EXPECT_EQ(Iso().OutPacketCount(0x01), afterRecovery + 50) << "the stream plays again";
    Stop(client);
}

// The bus refuses a transfer whose start frame has passed, as a real stack does. A start held up past
// its lead sends that transfer again, as it was, the same lead after the frame the bus has reached:
// the stream runs and carries the client's data whole, with no recovery.
TEST_F(UsbStreamTest, AStartHeldUpPastItsFrameGoesAgainWithTheSameLeadAndLosesNothing)
{
    for (const BOOLEAN capture : {FALSE, TRUE})
    {
        SCOPED_TRACE(capture ? "capture" : "render");
        const uint8_t endpoint = capture ? 0x82 : 0x01;
        Bring(capture ? usbsim::VirtualDevice::Chip() : usbsim::VirtualDevice::Uac1(), capture,
              capture ? 2 : 1);
        Iso().SetPattern(0x82, usbsim::IsoPattern::Ramp);
        HoldUpTransfers(endpoint, 10, 1);
        Client client;
        // Render starts with another lead than capture, so the resend must keep the one it was given.
        const ULONG lead = capture ? 2 : 4;
        Start(client, Pcm(48000, 2, 16), 1, 10, 3, 3, lead);
        sim::AdvanceMs(60);
        Stop(client);

        const auto rejects = IsoLines("iso reject", endpoint);
        ASSERT_EQ(rejects.size(), 1u);
        EXPECT_NE(rejects[0].find("is in the past"), std::string::npos) << rejects[0];
        EXPECT_EQ(SubmitsAt(endpoint, heldUpTo + lead), 1u)
            << "the client's lead, from the frame the bus had reached";
        EXPECT_EQ(sim::DebugLogCount("Error_ErrorOccur"), 0u);
        if (capture)
        {
            ASSERT_GE(client.captured.size(), 4u * 48 * 40);
            EXPECT_EQ(client.positionBytes, client.captured.size());
            const auto *samples = reinterpret_cast<const int16_t *>(client.captured.data());
            for (size_t n = 0; n < client.captured.size() / 4; ++n)
                ASSERT_EQ(samples[2 * n], int16_t(n)) << "frame " << n;
        }
        else
        {
            const auto bytes = OutBytes(0x01);
            ASSERT_GE(bytes.size(), 4u * 48 * 40);
            for (size_t i = 0; i < bytes.size(); ++i)
                ASSERT_EQ(bytes[i], uint8_t(i)) << "byte " << i;
            EXPECT_EQ(client.positionBytes, client.filled);
        }
        NextRound();
    }
}

// Only a start frame the bus has passed is tried again, and only three times; every other refusal,
// a bad start frame still ahead included, fails the start as before and leaves nothing behind.
TEST_F(UsbStreamTest, AnyOtherRefusalOrAFourthLateStartFailsTheStart)
{
    const struct
    {
        const char *name;
        unsigned late;      // starts held up past their frame
        bool failScripted;  // the bus fails the first transfer at submission
        ULONG lead;         // frames the client adds to the frame number
        const char *reject; // the engine's one line on it
    } cases[] = {
        {"late at every try", 100, false, 2, "is in the past"},
        {"refused outright", 0, true, 2, "iso fail"},
        {"1024 frames ahead", 0, false, 2000, "1024 or more frames ahead"},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
        if (c.late)
            HoldUpTransfers(0x01, 10, c.late);
        if (c.failScripted)
            Iso().ScriptTransferFailure(0x01, Iso().NextTransferSequence(0x01), true);
        Client client;
        ULONG frames = 0, frame = 0;
        ASSERT_NO_FATAL_FAILURE(Open(client, Pcm(48000, 2, 16), 1, &frame));
        PVOID handle = client.record->ClientHandle;
        const NTSTATUS started = stream->StartClient(handle, frame + c.lead, &frames, nullptr);
        EXPECT_EQ(started, STATUS_UNSUCCESSFUL);
        if (NT_SUCCESS(started))
            stream->StopClient(handle, nullptr); // a wrong start still ends the round
        EXPECT_EQ(heldUp, c.late ? 4u : 0u);
        size_t lines = 0;
        for (const std::string &line : Iso().Log())
            lines += line.find(c.reject) != std::string::npos;
        EXPECT_EQ(lines, c.late ? 4u : 1u);
        EXPECT_EQ(stream->RunningClient(), nullptr);
        EXPECT_EQ(stream->Outstanding(), 0);
        EXPECT_FALSE(stream->HoldsBandwidth());
        Close(client);
        NextRound();
    }
}

// Only the first transfer goes again. Held up after the first is on the bus, the start's thread comes
// back to find that the first one's completion has already sent the next data on: its late transfer,
// moved after that, would play out of order, so the start fails as before.
TEST_F(UsbStreamTest, ATransferLateAfterTheFirstIsOnTheBusFailsTheStart)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    unsigned submits = 0;
    // The second transfer of the start comes 30 ms after the first: past its own frame and past the
    // first one's, whose completion sends a transfer meanwhile.
    Iso().SetSubmitHook(
        [&submits](usbsim::IsoPipeId, PURB)
        {
            if (++submits == 2)
                sim::AdvanceMs(30);
        });
    Client client;
    ULONG frames = 0, frame = 0;
    ASSERT_NO_FATAL_FAILURE(Open(client, Pcm(48000, 2, 16), 1, &frame));
    PVOID handle = client.record->ClientHandle;
    const NTSTATUS started = stream->StartClient(handle, frame + 2, &frames, nullptr);
    Iso().SetSubmitHook(nullptr);
    ASSERT_GE(submits, 3u) << "a completion sent a transfer while the start was held up";
    EXPECT_EQ(started, STATUS_UNSUCCESSFUL);
    if (NT_SUCCESS(started))
    {
        sim::AdvanceMs(40);
        stream->StopClient(handle, nullptr);
        const auto bytes = OutBytes(0x01);
        size_t inOrder = 0;
        while (inOrder < bytes.size() && bytes[inOrder] == uint8_t(inOrder))
            ++inOrder;
        EXPECT_EQ(inOrder, bytes.size()) << "the client's data goes out in its order";
    }
    EXPECT_EQ(stream->RunningClient(), nullptr);
    EXPECT_EQ(stream->Outstanding(), 0);
    Close(client);
}

// A restart after a recovery goes the same way: its first transfer, held up past its frame, goes again
// two frames after the frame the bus has reached, and the port is not cycled.
TEST_F(UsbStreamTest, ARestartHeldUpPastItsFrameGoesAgainInsteadOfCyclingThePort)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    Client client;
    Start(client, Pcm(48000, 2, 16), 1);
    sim::AdvanceMs(20);
    HoldUpTransfers(0x01, 10, 1);
    Iso().ScriptPacket(0x01, Iso().NextPacketSequence(0x01) + 2, usbsim::IsoPacketScript::Error);
    sim::AdvanceMs(300);
    ASSERT_EQ(heldUp, 1u);
    EXPECT_EQ(IsoLines("iso reject", 0x01).size(), 1u);
    EXPECT_EQ(SubmitsAt(0x01, heldUpTo + 2), 1u) << "two frames after the frame the bus had reached";
    EXPECT_EQ(sim::DebugLogCount("Error_ErrorOccur, m_StreamState = 2"), 1u) << "the scripted error only";
    EXPECT_EQ(bus->CycleCount(kPort), 0u);
    EXPECT_EQ(stream->State(), STREAM_RUNNING);
    const uint64_t played = Iso().OutPacketCount(0x01);
    sim::AdvanceMs(50);
    EXPECT_EQ(Iso().OutPacketCount(0x01), played + 50) << "the stream plays again";
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

// ---- The wave-cyclic stream over the class 1.0 streams ----------------------------------------------

TEST_F(WaveStreamTest, EachAllocationOfOpeningAPinFailsCleanly)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    const auto format = Pcm(48000, 2, 16);
    OpenMiniport(format);
    FailEachAllocation([&] { return OpenPin(DataFormat(format)); },
                       [&](NTSTATUS status)
                       {
                           if (NT_SUCCESS(status))
                               return CloseStream();
                           EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
                           EXPECT_EQ(wave, nullptr);
                           EXPECT_EQ(miniport->OpenStreams(), 0);
                       });
}

} // namespace
