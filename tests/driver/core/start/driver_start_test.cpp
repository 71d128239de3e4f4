// The driver started end to end on virtual headsets: what the start builds, power changes, removals
// of every kind and failed allocations, and random sequences of plugs, power changes, opens, closes,
// removals and port cycles that must always end with nothing left behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <algorithm>
#include <random>

#include <ks_guids.h>
#include <sim/files_sim.h>
#include <sim/io_sim.h>
#include <sim/pnp_sim.h>
#include <sim/portcls_adapter_sim.h>
#include <sim/portcls_sim.h>
#include <sim/usb_bus.h>
#include <sim/usb_pnp.h>

#include "driver/core/driver_entry.h"
#include "driver/core/ini_reader.h"
#include "driver/core/usb_audio_adapter.h"
#include "driver/core/usb_audio_device.h"
#include "support/driver_machine.h"

namespace
{

class DriverStartTest : public DriverMachineTest
{
protected:
    static std::vector<std::string> EngineNames(CUsbAudioAdapter *adapter)
    {
        std::vector<std::string> names;
        for (ULONG i = 0, n = adapter->GetEngineCount(); i < n; ++i)
        {
            IStreamEngine *engine = nullptr;
            WCHAR name[ENGINE_NAME_CHARS] = {};
            if (NT_SUCCESS(adapter->GetEngine(i, &engine)) && engine && NT_SUCCESS(engine->GetName(name)))
                names.emplace_back(name, name + std::char_traits<char16_t>::length(name));
        }
        return names;
    }
    // The started device object behind the adapter (no reference kept).
    static CUsbAudioDevice *DeviceOf(PDEVICE_OBJECT pdo)
    {
        CUsbAudioAdapter *adapter = AdapterOf(pdo);
        IUsbAudioFunction *function =
            adapter ? QueryAs<IUsbAudioFunction>(static_cast<IAudioHal *>(adapter), IID_IUsbAudioFunction)
                    : nullptr;
        if (function)
            function->Release();
        return static_cast<CUsbAudioDevice *>(function);
    }
    static size_t Enabled(const GUID &classGuid)
    {
        size_t n = 0;
        for (const sim::io::DeviceInterfaceRecord &r : sim::io::DeviceInterfaces(&classGuid))
            n += r.Enabled;
        return n;
    }
};

TEST_F(DriverStartTest, Uac2HeadsetStartsWithBothPrivateInterfacesAndGoesWithoutTrace)
{
    PDEVICE_OBJECT pdo = bus->Plug(1, usbsim::VirtualDevice::Uac2());
    ASSERT_TRUE(sim::pnp::Started(pdo));
    CUsbAudioAdapter *adapter = AdapterOf(pdo);
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(EngineNames(adapter), (std::vector<std::string>{"HPOut00", "MicIn00"}));
    // The "Vask" chip serves the private streaming interface.
    EXPECT_EQ(Enabled(GUID_ENUM_PRIVATE_INTERFACE), 1u);
    EXPECT_EQ(Enabled(GUID_ASIO_PRIVATE_INTERFACE), 1u);
    ASSERT_FALSE(sim::portcls::Subdevices().empty());
    EXPECT_EQ(sim::portcls::Subdevices()[0].Name, "GlobalTopo");

    // A client opens on the private name; power goes down and up with the file open.
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(sim::pnp::OpenFile(pdo, u"\\SVASIOPrivateInterface", &file), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::SetDevicePower(pdo, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(sim::TimerResolutionHolds(), 0u);
    EXPECT_EQ(sim::pnp::SetDevicePower(pdo, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(sim::TimerResolutionHolds(), 1u);
    // Unplugged while the file is open: removal waits for the close.
    bus->Unplug(1);
    EXPECT_EQ(sim::pnp::Devices(), 1u);
    EXPECT_EQ(sim::pnp::CloseFile(file), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::Devices(), 0u);
    EXPECT_EQ(sim::portcls::AdapterDevices(), 0u);
    EXPECT_TRUE(sim::portcls::Subdevices().empty());
}

// An INI file with more values than the import takes: the headset starts on the values before the
// limit, and the driver logs where the import stopped.
TEST_F(DriverStartTest, IniPastItsValueLimitStartsOnTheValuesBeforeIt)
{
    std::string ini = "[VERSION]\nVersion=1\n[SALVIN]\nUSB\\VID_1234&PID_9ABC&REV_0200=H\n[H]\n"
                      "ASIOMLSampleRate=96000\n";
    for (unsigned i = 1; i < INI_MAX_SECTION_VALUES; ++i)
        ini += "Filler" + std::to_string(i) + "=1\n";
    ini += "ASIOMLDataLatency=2\n"; // the first value past the limit
    std::ofstream(sim::files::SystemRoot() / "ZELKO610.INI", std::ios::binary | std::ios::trunc) << ini;

    PDEVICE_OBJECT pdo = bus->Plug(1, usbsim::VirtualDevice::Uac2());
    ASSERT_TRUE(sim::pnp::Started(pdo));
    CUsbAudioAdapter *adapter = AdapterOf(pdo);
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(adapter->SampleRate(), 96000u);
    EXPECT_EQ(adapter->LatencyIndex(), ASIO_DEFAULT_LATENCY_INDEX);
    EXPECT_TRUE(sim::DebugLogContains("IniReader section [H] holds more than 1024 values: import stopped"));
    bus->Unplug(1);
    EXPECT_EQ(sim::pnp::Devices(), 0u);
}

TEST_F(DriverStartTest, Uac1HeadsetWithTwoHeadphoneStreamsAndAMicrophone)
{
    usbsim::Uac1Options options;
    options.secondRender = true;
    PDEVICE_OBJECT pdo = bus->Plug(1, HuldHeadset(options));
    ASSERT_TRUE(sim::pnp::Started(pdo));
    // The status thread's first refresh reads the plugged jacks; the wave filters follow.
    sim::RunUntilIdle();
    std::vector<std::string> names = EngineNames(AdapterOf(pdo));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"HPOut00", "HPOut01", "MicIn00"}));
    EXPECT_EQ(Enabled(GUID_ENUM_PRIVATE_INTERFACE), 1u);
    EXPECT_EQ(Enabled(GUID_ASIO_PRIVATE_INTERFACE), 0u);
    std::map<std::string, PPORT> ports;
    for (const sim::portcls::SubdeviceRecord &r : sim::portcls::Subdevices())
        ports[r.Name] = r.Port;
    ASSERT_EQ(ports.size(), 4u);
    ASSERT_EQ(sim::portcls::Subdevices().front().Name, "GlobalTopo");
    for (const char *wave : {"HPOut00Wave", "HPOut01Wave", "MicIn00Wave"})
        ASSERT_TRUE(ports.count(wave)) << wave;
    // Render waves feed the topology from their pin 1; the topology feeds the capture wave's pin 1.
    const PPORT topology = ports["GlobalTopo"];
    std::vector<std::string> links;
    for (const sim::portcls::ConnectionRecord &c : sim::portcls::Connections())
        for (const auto &[name, port] : ports)
        {
            if (c.From == port && c.To == topology && c.FromPin == 1)
                links.push_back(name + " -> topology");
            if (c.To == port && c.From == topology && c.ToPin == 1)
                links.push_back("topology -> " + name);
        }
    std::sort(links.begin(), links.end());
    EXPECT_EQ(links, (std::vector<std::string>{"HPOut00Wave -> topology", "HPOut01Wave -> topology",
                                               "topology -> MicIn00Wave"}));
    bus->Unplug(1);
    EXPECT_EQ(sim::pnp::Devices(), 0u);
}

TEST_F(DriverStartTest, ClassesBuildTransferStreamsAndTheChipFamilyItsOwnUnits)
{
    PDEVICE_OBJECT pdo = bus->Plug(1, HuldHeadset());
    CUsbAudioDevice *device = DeviceOf(pdo);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->Model().StreamCount(), 2u);
    for (ULONG i = 0; i < 2; ++i)
    {
        IStreamBuilder *stream = nullptr;
        ASSERT_EQ(device->Model().StreamAt(i, &stream), STATUS_SUCCESS);
        ICyclicControl *cyclic = QueryAs<ICyclicControl>(stream, IID_ICyclicControl);
        EXPECT_NE(cyclic, nullptr) << "stream " << i << " moves no data";
        if (cyclic)
            cyclic->Release();
    }
    bus->Unplug(1);

    // The chip family's output unit 11 takes the hardware mute switch, and its units reach the chip's
    // registers through the adapter.
    pdo = bus->Plug(1, usbsim::VirtualDevice::Chip());
    ASSERT_TRUE(sim::pnp::Started(pdo));
    device = DeviceOf(pdo);
    ASSERT_NE(device, nullptr);
    IUsbAudioUnit *unit = nullptr;
    ASSERT_EQ(device->Model().FindUnitById(11, &unit), STATUS_SUCCESS);
    IHardwareMute *mute = QueryAs<IHardwareMute>(unit, IID_IHardwareMute);
    ASSERT_NE(mute, nullptr);
    mute->Release();
    IChipRegisters *registers =
        QueryAs<IChipRegisters>(static_cast<IAudioHal *>(AdapterOf(pdo)), IID_IChipRegisters);
    ASSERT_NE(registers, nullptr);
    registers->Release();
    bus->Unplug(1);
    EXPECT_EQ(sim::pnp::Devices(), 0u);
}

TEST_F(DriverStartTest, StringlessClass1HeadsetAtAnUnlistedPairFailsWithTheReadsStatus)
{
    PDEVICE_OBJECT pdo = bus->Plug(1, usbsim::VirtualDevice::Uac1());
    EXPECT_FALSE(sim::pnp::Started(pdo));
    bool refused = false;
    for (const std::string &line : sim::pnp::Log())
        refused |= line.rfind("START_DEVICE", 0) == 0 && line.find("0x00000000") == std::string::npos;
    EXPECT_TRUE(refused);
    EXPECT_EQ(sim::pnp::Devices(), 0u);
    bus->Unplug(1);
}

TEST_F(DriverStartTest, PortCycleRestartsTheDeviceAndOrderlyRemovalUndoesIt)
{
    PDEVICE_OBJECT pdo = bus->Plug(1, usbsim::VirtualDevice::Uac2());
    ASSERT_TRUE(sim::pnp::Started(pdo));
    // The port stops answering on the way down: the presence check cycles it, the device comes back.
    bus->ScriptPortStatus(1, {{STATUS_NO_SUCH_DEVICE, 0}, {STATUS_NO_SUCH_DEVICE, 0}});
    sim::pnp::SetDevicePower(pdo, PowerDeviceD3);
    sim::RunUntilIdle();
    EXPECT_EQ(bus->CycleCount(1), 1u);
    PDEVICE_OBJECT again = bus->Pdo(1);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(sim::pnp::Started(again));
    EXPECT_EQ(sim::pnp::Devices(), 1u);
    EXPECT_EQ(sim::pnp::QueryRemove(again), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::Devices(), 0u);
    bus->Unplug(1);
}

TEST_F(DriverStartTest, EveryAllocationOfLoadAndStartFailedInTurn)
{
    sim::pnp::UnloadDriver();
    const size_t outstanding = sim::Outstanding();
    const size_t before = sim::Allocations();
    ASSERT_EQ(sim::pnp::LoadDriver(&DriverEntry), STATUS_SUCCESS);
    ASSERT_TRUE(sim::pnp::Started(bus->Plug(1, usbsim::VirtualDevice::Uac2())));
    sim::RunUntilIdle(); // the status thread's start belongs to the start
    const size_t total = sim::Allocations() - before;
    bus->Unplug(1);
    sim::pnp::UnloadDriver();
    ASSERT_EQ(sim::Outstanding(), outstanding);
    for (size_t k = 1; k <= total; ++k)
    {
        SCOPED_TRACE(k);
        sim::FailAllocation(unsigned(k));
        if (NT_SUCCESS(sim::pnp::LoadDriver(&DriverEntry)))
        {
            bus->Plug(1, usbsim::VirtualDevice::Uac2());
            sim::RunUntilIdle();
            bus->Unplug(1);
            EXPECT_EQ(sim::pnp::Devices(), 0u);
            sim::pnp::UnloadDriver();
        }
        sim::FailAllocation(0);
        // A failure status or a start without the optional piece; either way nothing stays.
        ASSERT_EQ(sim::Outstanding(), outstanding) << sim::pool::LeakReport();
    }
    ASSERT_EQ(sim::pnp::LoadDriver(&DriverEntry), STATUS_SUCCESS);
}

// A removal cannot be refused: an allocation failing while the threads stop and the filters go
// still leaves no device, reference or block behind.
TEST_F(DriverStartTest, EveryAllocationOfARemovalFailedInTurn)
{
    const size_t outstanding = sim::Outstanding();
    ASSERT_TRUE(sim::pnp::Started(bus->Plug(1, usbsim::VirtualDevice::Uac2())));
    sim::RunUntilIdle();
    const size_t before = sim::Allocations();
    bus->Unplug(1);
    const size_t total = sim::Allocations() - before;
    ASSERT_EQ(sim::Outstanding(), outstanding);
    for (size_t k = 1; k <= total; ++k)
    {
        SCOPED_TRACE(k);
        ASSERT_TRUE(sim::pnp::Started(bus->Plug(1, usbsim::VirtualDevice::Uac2())));
        sim::RunUntilIdle();
        sim::FailAllocation(unsigned(k));
        bus->Unplug(1);
        sim::FailAllocation(0);
        EXPECT_EQ(sim::pnp::Devices(), 0u);
        ASSERT_EQ(sim::Outstanding(), outstanding) << sim::pool::LeakReport();
    }
}

// Random sequences on two ports: every path ends with nothing left behind, whatever the headsets
// (a class 2.0 one, a class 1.0 one, the chip family) make of their starts.
TEST_F(DriverStartTest, RandomPlugPowerOpenCloseRemovalAndCycleSequencesEndClean)
{
    // ZELKO_SEED=<n> repeats a run.
    const char *given = std::getenv("ZELKO_SEED");
    const unsigned seed = given ? unsigned(std::strtoul(given, nullptr, 10)) : std::random_device{}();
    std::printf("random sequences: seed %u (ZELKO_SEED repeats it)\n", seed);
    std::fflush(stdout);
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
#if defined(__SANITIZE_ADDRESS__)
    const int sequences = 8, steps = 24;
#else
    const int sequences = 12, steps = 30;
#endif
    auto device = [&]() -> std::shared_ptr<usbsim::VirtualDevice>
    {
        switch (random() % 3)
        {
        case 0:
            return usbsim::VirtualDevice::Uac2();
        case 1:
            return HuldHeadset();
        default:
            return usbsim::VirtualDevice::Chip();
        }
    };
    for (int sequence = 0; sequence < sequences; ++sequence)
    {
        std::vector<PFILE_OBJECT> files;
        for (int step = 0; step < steps; ++step)
        {
            const unsigned port = 1 + random() % 2;
            PDEVICE_OBJECT pdo = bus->Pdo(port);
            const bool present = pdo && bus->Connected(port);
            switch (random() % 7)
            {
            case 0:
                if (!present)
                    bus->Plug(port, device());
                break;
            case 1:
                if (present && sim::pnp::Started(pdo))
                    sim::pnp::SetDevicePower(pdo, DEVICE_POWER_STATE(PowerDeviceD0 + random() % 4));
                break;
            case 2:
                if (present && sim::pnp::Started(pdo))
                {
                    PFILE_OBJECT file = nullptr;
                    if (NT_SUCCESS(sim::pnp::OpenFile(pdo, u"\\SVASIOPrivateInterface", &file)) && file)
                        files.push_back(file);
                }
                break;
            case 3:
                if (!files.empty())
                {
                    const size_t at = random() % files.size();
                    sim::pnp::CloseFile(files[at]);
                    files.erase(files.begin() + long(at));
                }
                break;
            case 4:
                if (present)
                    bus->Unplug(port);
                break;
            case 5:
                if (present && sim::pnp::Started(pdo))
                    sim::pnp::QueryRemove(pdo);
                break;
            default:
                if (present && sim::pnp::Started(pdo))
                {
                    bus->ScriptPortStatus(port, {{STATUS_NO_SUCH_DEVICE, 0}, {STATUS_NO_SUCH_DEVICE, 0}});
                    sim::pnp::SetDevicePower(pdo, PowerDeviceD3);
                }
                break;
            }
            sim::AdvanceMs(random() % 50);
        }
        for (PFILE_OBJECT file : files)
            sim::pnp::CloseFile(file);
        bus->Unplug(1);
        bus->Unplug(2);
        Restart();
    }
}

} // namespace
