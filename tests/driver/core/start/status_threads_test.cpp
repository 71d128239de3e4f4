// The started device's worker threads on the virtual bus: class 1.0 status words and class 2.0 status
// messages turning into refreshes, announcements and re-registrations; the chip family's switch
// polling and its three-state mode; stopping with a transfer outstanding; failures while starting;
// and seeded random status input.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <sim/kernel_sim.h>
#include <sim/pnp_sim.h>
#include <sim/portcls_sim.h>
#include <sim/usb_bus.h>

#include "driver/core/usb_audio_device.h"
#include "driver/filters/control_change.h"
#include "support/driver_machine.h"

namespace
{

constexpr unsigned kPort = 1;
constexpr uint8_t kStatusEndpoint = 0x83, kBulkEndpoint = 0x84;

class StatusThreadTest : public DriverMachineTest
{
protected:
    void TearDown() override
    {
        if (registration)
            AdapterOf(pdo)->UnregisterCallback(registration);
        bus->Unplug(kPort);
        DriverMachineTest::TearDown();
    }

    // Plugs the headset and lets its start and its thread's first refresh settle.
    CUsbAudioDevice *Start(std::shared_ptr<usbsim::VirtualDevice> headset)
    {
        pdo = bus->Plug(kPort, std::move(headset));
        sim::RunUntilIdle();
        if (!sim::pnp::Started(pdo))
            return nullptr;
        IUsbAudioFunction *function =
            QueryAs<IUsbAudioFunction>(static_cast<IAudioHal *>(AdapterOf(pdo)), IID_IUsbAudioFunction);
        if (function)
            function->Release();
        return static_cast<CUsbAudioDevice *>(function);
    }
    // Control-change messages from now on, through the adapter's forwarded registration.
    void Listen()
    {
        ASSERT_EQ(AdapterOf(pdo)->RegisterCallback(&Received, this, &registration), STATUS_SUCCESS);
    }
    static VOID Received(PVOID context, PVOID argument1, PVOID)
    {
        const auto *message = static_cast<const ControlChangeMessage *>(argument1);
        if (message->Count == CONTROL_CHANGE_COUNT && message->Type == CONTROL_CHANGE_TYPE &&
            message->Reserved == 0)
            static_cast<StatusThreadTest *>(context)->nodes.push_back(message->NodeId);
    }
    void Post(std::vector<uint8_t> bytes)
    {
        bus->PostInData(kPort, kStatusEndpoint, std::move(bytes));
        sim::RunUntilIdle();
    }
    // Entities addressed by class or vendor requests to the AudioControl interface, in the log.
    std::set<unsigned> AddressedEntities() const
    {
        std::set<unsigned> ids;
        for (const usbsim::Event &e : bus->Log(usbsim::EventKind::Urb))
            if (e.bmRequestType & 0x60 && (e.bmRequestType & 0x1F) == 1 && uint8_t(e.wIndex) == 0)
                ids.insert(e.wIndex >> 8);
        return ids;
    }
    size_t UrbsOn(uint8_t endpoint) const
    {
        size_t n = 0;
        for (const usbsim::Event &e : bus->Log(usbsim::EventKind::Urb))
            n += e.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && e.endpoint == endpoint;
        return n;
    }
    size_t SwitchReads() const
    {
        size_t n = 0;
        for (const usbsim::Event &e : bus->Log(usbsim::EventKind::Urb))
            n += e.bmRequestType == 0xA1 && e.bRequest == 0x01 && e.wValue == 0x0100;
        return n;
    }

    PDEVICE_OBJECT pdo = nullptr;
    PVOID registration = nullptr;
    std::vector<ULONG> nodes;
};

std::shared_ptr<usbsim::VirtualDevice> Uac1Headset(bool secondRender = false)
{
    usbsim::Uac1Options options;
    options.secondRender = secondRender;
    return HuldHeadset(options);
}

TEST_F(StatusThreadTest, Uac1StatusWordsRefreshUnitsAnnounceNodesAndReRegisterForTerminals)
{
    CUsbAudioDevice *device = Start(Uac1Headset(true));
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(device->ThreadRuns());
    EXPECT_EQ(sim::ThreadPriority(device->WorkerThread()), UAC1_STATUS_PRIORITY);
    EXPECT_EQ(WaveNames(), (std::set<std::string>{"HPOut00Wave", "HPOut01Wave", "MicIn00Wave"}));
    EXPECT_EQ(bus->PendingTransfers(kPort), 1u) << "one status read outstanding";

    // A restart of the thread refreshes every unit by its own descriptor ID (1 to 6, 9 to 11), not by
    // its place in the list.
    device->StopAll();
    EXPECT_EQ(bus->PendingTransfers(kPort), 0u) << "stopping waits for the aborted read";
    bus->ClearLog();
    Listen();
    ASSERT_EQ(device->StartAll(), STATUS_SUCCESS);
    sim::RunUntilIdle();
    const std::set<unsigned> addressed = AddressedEntities();
    for (unsigned id : {2u, 3u, 4u, 5u, 10u, 11u})
        EXPECT_EQ(addressed.count(id), 1u) << "unit " << id << " not refreshed";
    for (unsigned id : addressed)
        EXPECT_TRUE(id <= 6 || (id >= 9 && id <= 11)) << "no unit " << id;
    EXPECT_FALSE(nodes.empty()) << "the feature units' reloaded nodes are announced";

    // A feature unit's word: its nodes are announced, nothing registers anew.
    nodes.clear();
    Post({0x00, usbsim::kUac1PlaybackFu});
    EXPECT_FALSE(nodes.empty());
    const size_t registrations = sim::portcls::Log().size();
    // Words from a streaming interface or an endpoint only rearm the read.
    nodes.clear();
    Post({0x01, usbsim::kUac1PlaybackFu});
    Post({0x02, usbsim::kUac1PlaybackOt});
    EXPECT_TRUE(nodes.empty());
    EXPECT_EQ(sim::portcls::Log().size(), registrations);
    EXPECT_EQ(bus->PendingTransfers(kPort), 1u);

    // The headphones are pulled: the terminal's word takes their wave filter down, and back.
    bus->Device(kPort)->presenceMask[usbsim::kUac1PlaybackOt] = 0;
    Post({0x00, usbsim::kUac1PlaybackOt});
    EXPECT_EQ(WaveNames(), (std::set<std::string>{"HPOut01Wave", "MicIn00Wave"}));
    bus->Device(kPort)->presenceMask[usbsim::kUac1PlaybackOt] = 3;
    Post({0x00, usbsim::kUac1PlaybackOt});
    EXPECT_EQ(WaveNames(), (std::set<std::string>{"HPOut00Wave", "HPOut01Wave", "MicIn00Wave"}));
}

TEST_F(StatusThreadTest, Uac2MessagesForOtherInterfacesOrKindsAreIgnoredAndTheConnectorReRegisters)
{
    usbsim::Uac2Options options;
    options.bulkIn = true;
    CUac2Device *device = static_cast<CUac2Device *>(Start(usbsim::VirtualDevice::Uac2(options)));
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(device->ThreadRuns());
    EXPECT_EQ(sim::ThreadPriority(device->WorkerThread()), UAC2_STATUS_PRIORITY);
    EXPECT_NE(device->SecondPipeIndex(), 0xFF);
    EXPECT_EQ(WaveNames(), (std::set<std::string>{"HPOut00Wave", "MicIn00Wave"}))
        << "the first connector read finds the plugged jacks";
    Listen();
    const uint8_t fu = usbsim::kUac2PlaybackFu, ot = usbsim::kUac2PlaybackOt;
    // {bInfo, bAttribute, CN, CS, interface, entity}
    Post({0x00, 0x01, 0x01, 0x02, 0x01, fu}); // another interface
    Post({0x01, 0x01, 0x01, 0x02, 0x00, fu}); // an endpoint's
    Post({0x00, 0x02, 0x01, 0x02, 0x00, fu}); // a RANGE change
    EXPECT_TRUE(nodes.empty());
    Post({0x00, 0x01, 0x00, 0x01, 0x00, fu}); // the mute changed
    EXPECT_FALSE(nodes.empty());

    bus->Device(kPort)->presenceMask[ot] = 0;
    Post({0x00, 0x01, 0x00, 0x02, 0x00, ot}); // the connector control
    EXPECT_EQ(WaveNames(), (std::set<std::string>{"MicIn00Wave"}));

    // A failing second pipe costs at most one more read, not a spinning thread.
    const size_t before = UrbsOn(kBulkEndpoint);
    bus->HaltPipe(kPort, kBulkEndpoint);
    bus->PostInData(kPort, kBulkEndpoint, {0x00});
    sim::AdvanceMs(1000);
    EXPECT_LE(UrbsOn(kBulkEndpoint) - before, 1u);
    Post({0x00, 0x01, 0x00, 0x01, 0x00, fu});
    EXPECT_EQ(bus->PendingTransfers(kPort), 1u) << "the status read goes on";
    device->StopAll();
    EXPECT_EQ(bus->PendingTransfers(kPort), 0u);
    EXPECT_FALSE(device->ThreadRuns());
}

TEST_F(StatusThreadTest, TheChipSwitchIsPolledEvery50msAndDebouncedIntoThreeModes)
{
    auto headset = usbsim::VirtualDevice::Chip();
    // First read: switch open (bit set); then closed.
    headset->reportScript = {{0x10, 0, 0}};
    CUac1DeviceMirk *device = static_cast<CUac1DeviceMirk *>(Start(headset));
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(device->StatusThreadWanted());
    ASSERT_TRUE(device->ThreadRuns());
    EXPECT_EQ(sim::ThreadPriority(device->WorkerThread()), MIRK_POLL_PRIORITY);
    usbsim::ControlState &mute = bus->Device(kPort)->Control(MIRK_HARDWARE_MUTE_UNIT, 1, 0);
    EXPECT_EQ(device->SwitchMode(), 0u);
    EXPECT_EQ(mute.cur & 1, 1) << "the hardware mute holds from the start";
    EXPECT_EQ(SwitchReads(), 1u);
    sim::AdvanceMs(49);
    EXPECT_EQ(SwitchReads(), 1u) << "the first poll is 50 ms after the start";
    sim::AdvanceMs(1);
    EXPECT_EQ(SwitchReads(), 2u);
    EXPECT_EQ(device->SwitchMode(), 1u) << "mixed samples leave mode 0";
    EXPECT_EQ(mute.cur, 0);
    sim::AdvanceMs(28 * 50);
    EXPECT_EQ(device->SwitchMode(), 1u);
    sim::AdvanceMs(50);
    EXPECT_EQ(device->SwitchMode(), 2u) << "30 closed samples";

    // Open for 1.5 s: back to mode 0 with the hardware mute; mixed samples on the way keep mode 2.
    bus->Device(kPort)->reportDefault = {0x10, 0, 0};
    sim::AdvanceMs(29 * 50);
    EXPECT_EQ(device->SwitchMode(), 2u);
    sim::AdvanceMs(50);
    EXPECT_EQ(device->SwitchMode(), 0u);
    EXPECT_EQ(mute.cur & 1, 1);
    // A bit toggling every sample: mode 1 once it has left 0, for good.
    std::vector<usbsim::Bytes> toggling;
    for (int i = 0; i < 200; ++i)
        toggling.push_back({uint8_t(i % 2 ? 0x10 : 0x00), 0, 0});
    bus->Device(kPort)->reportScript = toggling;
    sim::AdvanceMs(50);
    EXPECT_EQ(device->SwitchMode(), 1u);
    // Over 10 virtual s the thread wakes 200 times, no more.
    const size_t reads = SwitchReads();
    sim::AdvanceMs(10000);
    EXPECT_EQ(SwitchReads() - reads, 200u);
    EXPECT_EQ(device->SwitchMode(), 1u);
    device->StopAll();
    EXPECT_FALSE(device->ThreadRuns());
    const size_t stopped = SwitchReads();
    sim::AdvanceMs(500);
    EXPECT_EQ(SwitchReads(), stopped);
}

TEST_F(StatusThreadTest, FailedThreadCreationOrIrpAllocationStillLetsStartAndStopReturn)
{
    CUsbAudioDevice *device = Start(Uac1Headset());
    ASSERT_NE(device, nullptr);
    device->StopAll();

    sim::InjectThreadCreateFailure(true);
    EXPECT_FALSE(NT_SUCCESS(device->StartAll()));
    sim::InjectThreadCreateFailure(false);
    EXPECT_FALSE(device->ThreadRuns());
    EXPECT_EQ(device->StatusPipeIndex(), 0xFF) << "no pipe is kept for a thread that never ran";
    EXPECT_EQ(device->StopAll(), STATUS_SUCCESS);

    // Each allocation of the start and of the thread (selection, copy, buffers, URBs, IRP) failed
    // in turn: the thread ends at once or never runs, StopAll returns, nothing stays outstanding.
    const size_t before = sim::Allocations();
    ASSERT_EQ(device->StartAll(), STATUS_SUCCESS);
    sim::RunUntilIdle();
    const size_t total = sim::Allocations() - before;
    device->StopAll();
    ASSERT_GE(total, 6u);
    for (size_t k = 1; k <= total; ++k)
    {
        SCOPED_TRACE(k);
        sim::FailAllocation(unsigned(k));
        device->StartAll();
        sim::RunUntilIdle();
        sim::FailAllocation(0);
        EXPECT_EQ(device->StopAll(), STATUS_SUCCESS);
        EXPECT_EQ(bus->PendingTransfers(kPort), 0u);
        EXPECT_FALSE(device->ThreadRuns());
    }
    EXPECT_EQ(device->StartAll(), STATUS_SUCCESS);
    sim::RunUntilIdle();
    EXPECT_EQ(bus->PendingTransfers(kPort), 1u);
}

// Seeded random status words, messages, failed reads and switch reports on the three kinds of
// headset: each ends in a refresh, an ignore or a clean end of the thread, and removal leaves nothing.
TEST_F(StatusThreadTest, RandomStatusInputEndsCleanly)
{
    const char *given = std::getenv("ZELKO_SEED");
    const unsigned seed = given ? unsigned(std::strtoul(given, nullptr, 10)) : std::random_device{}();
    std::printf("random status input: seed %u (ZELKO_SEED repeats it)\n", seed);
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
#if defined(__SANITIZE_ADDRESS__)
    const int rounds = 6;
#else
    const int rounds = 12;
#endif
    for (int round = 0; round < rounds; ++round)
    {
        const unsigned kind = random() % 3;
        std::shared_ptr<usbsim::VirtualDevice> headset = kind == 0   ? Uac1Headset()
                                                         : kind == 1 ? usbsim::VirtualDevice::Uac2()
                                                                     : usbsim::VirtualDevice::Chip();
        for (int i = 0; i < 40 && kind == 2; ++i)
            headset->reportScript.push_back({uint8_t(random()), uint8_t(random()), uint8_t(random())});
        ASSERT_NE(Start(headset), nullptr);
        for (int step = 0; step < 20; ++step)
        {
            switch (random() % 4)
            {
            case 0:
            {
                usbsim::Bytes bytes(random() % 9);
                for (uint8_t &b : bytes)
                    b = uint8_t(random() % 4 == 0 ? random() % 16 : random());
                bus->PostInData(kPort, kStatusEndpoint, bytes);
                break;
            }
            case 1:
                if (random() % 4 == 0)
                    bus->HaltPipe(kPort, kStatusEndpoint);
                break;
            default:
                break;
            }
            sim::AdvanceMs(random() % 120);
        }
        bus->Unplug(kPort);
        EXPECT_EQ(sim::pnp::Devices(), 0u);
        Restart();
    }
}

} // namespace
