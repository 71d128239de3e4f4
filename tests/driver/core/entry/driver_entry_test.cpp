// The driver's entry, add-device, start, removal and request routing, over the PnP manager, the
// simulated bus and the port-class stand-in, with a scripted adapter behind the start.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include <sim/io_sim.h>
#include <sim/pnp_sim.h>
#include <sim/portcls_adapter_sim.h>
#include <sim/portcls_sim.h>
#include <sim/usb_bus.h>
#include <sim/usb_pnp.h>

#include "dsp/dispatch/cpu_probe.h"
#include "dsp/dispatch/dispatch.h"
#include "entry_doubles.h"
#include "support/kernel_test.h"

using namespace entry_test;

namespace
{

constexpr ULONG kHeadphone = 2, kMicrophone = 7;
const ULONG kAnyControl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

class DriverEntryTest : public KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        S() = Script{};
        S().Streams = {{0, kHeadphone}, {0, kHeadphone}, {1, kMicrophone}};
        bus = std::make_unique<usbsim::Bus>();
        usbsim::AttachPnpManager(*bus);
    }
    void TearDown() override
    {
        bus.reset();
        sim::pnp::UnloadDriver();
        EXPECT_EQ(S().LiveAdapters, 0) << "an adapter reference was left";
        KernelTest::TearDown();
    }
    // Ends this round with the end-of-test checks and starts a fresh machine.
    void Restart()
    {
        TearDown();
        SetUp();
    }

    PDEVICE_OBJECT LoadAndPlug(unsigned port = 1)
    {
        if (!sim::pnp::Driver())
        {
            EXPECT_EQ(sim::pnp::LoadDriver(&DriverEntry), STATUS_SUCCESS);
        }
        return bus->Plug(port, usbsim::VirtualDevice::Uac1());
    }
    static AdapterDeviceExtension *Extension(PDEVICE_OBJECT pdo)
    {
        return GetAdapterExtension(pdo->AttachedDevice);
    }
    static size_t EnabledInterfaces(const GUID &classGuid)
    {
        size_t n = 0;
        for (const sim::io::DeviceInterfaceRecord &r : sim::io::DeviceInterfaces(&classGuid))
            n += r.Enabled;
        return n;
    }
    static std::vector<std::string> SubdeviceNames()
    {
        std::vector<std::string> names;
        for (const sim::portcls::SubdeviceRecord &r : sim::portcls::Subdevices())
            names.push_back(r.Name);
        return names;
    }
    static std::vector<std::string> PnpSteps()
    {
        std::vector<std::string> steps;
        for (const std::string &line : sim::pnp::Log())
            steps.push_back(line.substr(0, line.find(" ->")));
        return steps;
    }

    std::unique_ptr<usbsim::Bus> bus;
};

TEST_F(DriverEntryTest, StartNamesEveryStreamAndRemovalUndoesItOnce)
{
    PDEVICE_OBJECT pdo = LoadAndPlug();
    ASSERT_TRUE(sim::pnp::Started(pdo));
    EXPECT_EQ(dsp::CpuVariantIndex.load(), dsp::maxSupportedVariant(dsp::readCpuid()))
        << "the entry selects the primitives' fastest variant this processor runs";
    // Render and capture count apart, per terminal type.
    EXPECT_EQ(S().Names, (std::vector<std::string>{"HPOut00", "HPOut01", "MicIn00"}));
    EXPECT_EQ(S().Calls, (std::vector<std::string>{"Init", "Register HPOut00", "Register HPOut01",
                                                   "Register MicIn00", "StartAll"}));
    EXPECT_TRUE(S().WaveCreatorGiven);
    EXPECT_TRUE(S().TopologyGiven);
    EXPECT_EQ(SubdeviceNames(), std::vector<std::string>{"GlobalTopo"});
    EXPECT_EQ(EnabledInterfaces(GUID_ENUM_PRIVATE_INTERFACE), 1u);
    EXPECT_EQ(EnabledInterfaces(GUID_ASIO_PRIVATE_INTERFACE), 0u);
    // The start's temporary name buffer and the topology port's extra reference are gone.
    EXPECT_EQ(sim::pool::OutstandingBlocks(MakePoolTag("Temp")), 0u);
    ASSERT_EQ(sim::portcls::Subdevices().size(), 1u);
    EXPECT_EQ(engine_test::RefsOf(sim::portcls::Subdevices()[0].Port), 1u)
        << "only the registration holds the port";
    EXPECT_EQ(sim::portcls::PowerRegistrations(), 1u);

    S().Calls.clear();
    bus->Unplug(1);
    EXPECT_EQ(PnpSteps(), (std::vector<std::string>{"DRIVER_ENTRY", "ADD_DEVICE", "START_DEVICE",
                                                    "SURPRISE_REMOVAL", "REMOVE_DEVICE"}));
    // Surprise removal uninstalls the streams; removal must not do it again.
    EXPECT_EQ(S().Calls, (std::vector<std::string>{"StopAll", "Unregister HPOut00", "Unregister HPOut01",
                                                   "Unregister MicIn00"}));
    EXPECT_EQ(sim::io::InterfaceDisables(), 3u); // the private one and the topology filter's two categories
    EXPECT_EQ(sim::portcls::AdapterDevices(), 0u);
    EXPECT_TRUE(sim::portcls::Subdevices().empty());
}

TEST_F(DriverEntryTest, PrivateInterfaceOnlyForAStreamThatServesIt)
{
    S().Streams[2].Word6 = 0x1; // another bit: not the one that counts
    PDEVICE_OBJECT pdo = LoadAndPlug();
    EXPECT_EQ(EnabledInterfaces(GUID_ASIO_PRIVATE_INTERFACE), 0u);
    bus->Unplug(1);
    Restart();

    S().Streams[1].Word6 = STREAM_INFO_ASIO_CAPABLE;
    pdo = LoadAndPlug();
    EXPECT_EQ(EnabledInterfaces(GUID_ASIO_PRIVATE_INTERFACE), 1u);
    EXPECT_EQ(EnabledInterfaces(GUID_ENUM_PRIVATE_INTERFACE), 1u);
    EXPECT_TRUE(Extension(pdo)->AsioInterfaceEnabled);
    // Orderly removal: each interface disabled once, each link freed (the pool check at the end).
    EXPECT_EQ(sim::pnp::QueryRemove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(sim::io::InterfaceDisables(), 4u); // and the topology filter's two categories
    EXPECT_EQ(CountCalls("StopAll"), 1u);
    EXPECT_EQ(CountCalls("Unregister HPOut01"), 1u);
}

TEST_F(DriverEntryTest, TerminalTypesOutsideTheTableNameAPlainStream)
{
    S().Streams = {{0, 18}, {0, 19}, {0, 21}, {1, ULONG(STATUS_UNSUCCESSFUL)}, {1, 0}};
    LoadAndPlug();
    EXPECT_EQ(S().Names, (std::vector<std::string>{"RecOut00", "StreamOut00", "StreamOut01", "StreamIn00",
                                                   "StreamIn01"}));
    EXPECT_STREQ(reinterpret_cast<const char *>(FilterTypeName(0xFFFFFFFF)),
                 reinterpret_cast<const char *>(u"Stream"));
}

TEST_F(DriverEntryTest, EntryRefusals)
{
    DRIVER_OBJECT driver{};
    driver.DriverExtension = &driver.Extension;
    UNICODE_STRING path{};
    sim::SetNtDdiVersion(NTDDI_WIN2K);
    EXPECT_EQ(DriverEntry(&driver, &path), STATUS_UNSUCCESSFUL);
    for (PDRIVER_DISPATCH dispatch : driver.MajorFunction)
        EXPECT_EQ(dispatch, nullptr);
    EXPECT_EQ(driver.Extension.AddDevice, nullptr);

    sim::SetNtDdiVersion(NTDDI_WINXP);
    sim::portcls::FailNextInitializeAdapterDriver(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(DriverEntry(&driver, &path), STATUS_INSUFFICIENT_RESOURCES);
    for (PDRIVER_DISPATCH dispatch : driver.MajorFunction)
        EXPECT_EQ(dispatch, nullptr);

    EXPECT_EQ(DriverEntry(&driver, &path), STATUS_SUCCESS);
    EXPECT_EQ(driver.MajorFunction[IRP_MJ_PNP], &DispatchPnp);
    EXPECT_EQ(driver.MajorFunction[IRP_MJ_CREATE], &DispatchCreate);
    EXPECT_EQ(driver.MajorFunction[IRP_MJ_CLOSE], &DispatchClose);
    EXPECT_EQ(driver.MajorFunction[IRP_MJ_DEVICE_CONTROL], &DispatchDeviceControl);
    EXPECT_EQ(driver.MajorFunction[IRP_MJ_POWER], &PcDispatchIrp);
    EXPECT_EQ(driver.Extension.AddDevice, &AddDevice);
}

// Every refused start is followed by the removal, which must leave nothing behind.
TEST_F(DriverEntryTest, StartRefusalsEndLeakFree)
{
    struct Case
    {
        const char *what;
        void (*arm)();
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"framework version 10", [] { sim::portcls::SetPortClsVersion(10); }, STATUS_UNSUCCESSFUL},
        {"no version interface", [] { sim::portcls::SetPortClsVersion(11, false); }, STATUS_UNSUCCESSFUL},
        {"no adapter", [] { S().CreateStatus = STATUS_ACCESS_DENIED; }, STATUS_INSUFFICIENT_RESOURCES},
        {"adapter init", [] { S().InitStatus = STATUS_INVALID_DEVICE_REQUEST; },
         STATUS_INVALID_DEVICE_REQUEST},
        {"topology creator", [] { S().TopologyStatus = STATUS_DEVICE_BUSY; }, STATUS_DEVICE_BUSY},
        {"no streams, topology creator",
         []
         {
             S().Streams.clear();
             S().TopologyStatus = STATUS_DEVICE_BUSY;
         },
         STATUS_DEVICE_BUSY},
        {"registration", [] { S().RegistrationStatus = STATUS_NO_MATCH; }, STATUS_NO_MATCH},
        {"start all", [] { S().StartAllStatus = STATUS_NOT_SUPPORTED; }, STATUS_NOT_SUPPORTED},
        {"enumeration interface", [] { sim::io::FailNextInterfaceState(STATUS_ACCESS_DENIED); },
         STATUS_ACCESS_DENIED},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.what);
        c.arm();
        PDEVICE_OBJECT pdo = LoadAndPlug();
        ASSERT_NE(pdo, nullptr);
        EXPECT_FALSE(sim::pnp::Started(pdo));
        const std::vector<std::string> log = sim::pnp::Log();
        ASSERT_GE(log.size(), 4u);
        char expected[40];
        std::snprintf(expected, sizeof expected, "START_DEVICE -> 0x%08X", unsigned(c.expected));
        EXPECT_EQ(log[2], expected);
        EXPECT_EQ(PnpSteps().back(), "REMOVE_DEVICE");
        EXPECT_EQ(pdo->AttachedDevice, nullptr);
        EXPECT_EQ(EnabledInterfaces(GUID_ENUM_PRIVATE_INTERFACE), 0u);
        EXPECT_EQ(S().LiveAdapters, 0);
        bus->Unplug(1);
        Restart();
    }
}

TEST_F(DriverEntryTest, RequestsReachTheAdapterOnlyOnThePrivateName)
{
    S().Streams[0].Word6 = STREAM_INFO_ASIO_CAPABLE;
    PDEVICE_OBJECT pdo = LoadAndPlug();
    const auto asio = sim::io::DeviceInterfaces(&GUID_ASIO_PRIVATE_INTERFACE);
    ASSERT_EQ(asio.size(), 1u);

    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(sim::pnp::OpenInterface(asio[0].Link, &file), STATUS_SUCCESS);
    EXPECT_EQ(S().LastFile, file);
    PFILE_OBJECT other = nullptr;
    ASSERT_EQ(sim::pnp::OpenFile(pdo, u"\\svasioprivateinterface", &other), STATUS_SUCCESS);
    EXPECT_EQ(CountCalls("Open"), 2u) << "the name is compared without case";

    // A code outside the private request table is refused, with nothing written.
    UCHAR out[16];
    std::memset(out, 0x5A, sizeof out);
    ULONG_PTR information = 99;
    const ULONG in = 7;
    EXPECT_EQ(sim::pnp::DeviceControl(file, kAnyControl, &in, sizeof in, out, sizeof out, &information),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(information, 0u);
    for (UCHAR b : out)
        EXPECT_EQ(b, 0x5A);

    // The enumeration interface and unknown names are the framework's; a filter name opens its filter.
    const auto enumeration = sim::io::DeviceInterfaces(&GUID_ENUM_PRIVATE_INTERFACE);
    PFILE_OBJECT none = nullptr;
    EXPECT_EQ(sim::pnp::OpenInterface(enumeration[0].Link, &none), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sim::pnp::OpenFile(pdo, u"\\SVASIOPrivateInterfaceX", &none), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sim::pnp::OpenFile(pdo, u"", &none), STATUS_OBJECT_NAME_NOT_FOUND);
    PFILE_OBJECT filter = nullptr;
    ASSERT_EQ(sim::pnp::OpenFile(pdo, u"\\GlobalTopo", &filter), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::DeviceControl(filter, kAnyControl, nullptr, 0, out, sizeof out, &information),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(CountCalls("Open"), 2u);
    EXPECT_GT(S().Activity, 0u);

    // A refused open fails the create.
    S().OpenStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(sim::pnp::OpenFile(pdo, u"\\SVASIOPrivateInterface", &none), STATUS_UNSUCCESSFUL);
    S().AnswersAsio = false;
    S().OpenStatus = STATUS_SUCCESS;
    EXPECT_EQ(sim::pnp::OpenFile(pdo, u"\\SVASIOPrivateInterface", &none), STATUS_UNSUCCESSFUL);
    S().AnswersAsio = true;

    // Unplugged with files open: the surprise removal stops everything at once, the removal waits for
    // the last close.
    bus->Unplug(1);
    EXPECT_EQ(PnpSteps().back(), "SURPRISE_REMOVAL");
    EXPECT_EQ(CountCalls("StopAll"), 1u);
    EXPECT_EQ(sim::pnp::CloseFile(filter), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::CloseFile(other), STATUS_SUCCESS);
    EXPECT_EQ(CountCalls("Close"), 1u);
    EXPECT_EQ(PnpSteps().back(), "SURPRISE_REMOVAL");
    EXPECT_EQ(sim::pnp::CloseFile(file), STATUS_SUCCESS);
    EXPECT_EQ(PnpSteps().back(), "REMOVE_DEVICE");
    EXPECT_EQ(CountCalls("StopAll"), 1u);
    EXPECT_EQ(CountCalls("Unregister HPOut00"), 1u);
}

TEST_F(DriverEntryTest, PrivateNameBeforeStartIsRefused)
{
    ASSERT_EQ(sim::pnp::LoadDriver(&DriverEntry), STATUS_SUCCESS);
    bus->SetPnpListener(nullptr);
    PDEVICE_OBJECT pdo = bus->Plug(1, usbsim::VirtualDevice::Uac1());
    ASSERT_EQ(sim::pnp::DeviceAddedNotStarted(pdo), STATUS_SUCCESS);
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(sim::pnp::OpenFile(pdo, u"\\SVASIOPrivateInterface", &file), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(sim::pnp::OpenFile(pdo, u"\\GlobalTopo", &file), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(CountCalls("Open"), 0u);
    sim::pnp::DeviceRemoved(pdo);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    EXPECT_EQ(sim::io::InterfaceDisables(), 0u);
}

TEST_F(DriverEntryTest, PowerAndCapabilitiesReachTheAdapter)
{
    PDEVICE_OBJECT pdo = LoadAndPlug();
    S().Calls.clear();
    EXPECT_EQ(sim::pnp::SetDevicePower(pdo, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::SetDevicePower(pdo, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::SetDevicePower(pdo, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(S().Calls, (std::vector<std::string>{"Power D3", "Power D0"}));
    DEVICE_CAPABILITIES caps;
    EXPECT_EQ(sim::pnp::QueryCapabilities(pdo, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Flags & PC_CAPS_SURPRISE_REMOVAL_OK, PC_CAPS_SURPRISE_REMOVAL_OK);
    bus->Unplug(1);
}

TEST_F(DriverEntryTest, FailedUnregisterIsLoggedAndRemovalGoesOn)
{
    S().UnregisterFailsAt = 1;
    PDEVICE_OBJECT pdo = LoadAndPlug();
    EXPECT_EQ(sim::pnp::QueryRemove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(CountCalls("Unregister HPOut00"), 1u);
    EXPECT_EQ(CountCalls("Unregister HPOut01"), 1u);
    EXPECT_EQ(CountCalls("Unregister MicIn00"), 0u) << "the loop stops at the first failure";
    EXPECT_TRUE(sim::DebugLogContains("Remove Miniport Failed StreamEngine ulIdx = 1\n"));
    EXPECT_EQ(sim::portcls::AdapterDevices(), 0u);
}

TEST_F(DriverEntryTest, TwoHeadsetsRemovedInEitherOrder)
{
    for (int order = 0; order < 2; ++order)
    {
        SCOPED_TRACE(order);
        PDEVICE_OBJECT first = LoadAndPlug(1), second = LoadAndPlug(2);
        EXPECT_TRUE(sim::pnp::Started(first));
        EXPECT_TRUE(sim::pnp::Started(second));
        EXPECT_EQ(SubdeviceNames(), (std::vector<std::string>{"GlobalTopo", "GlobalTopo"}));
        bus->Unplug(order ? 1 : 2);
        EXPECT_EQ(sim::portcls::AdapterDevices(), 1u);
        bus->Unplug(order ? 2 : 1);
        EXPECT_EQ(CountCalls("StopAll"), 2u);
        Restart();
    }
}

TEST_F(DriverEntryTest, CyclePortRestartsTheDevice)
{
    PDEVICE_OBJECT pdo = LoadAndPlug();
    ASSERT_TRUE(sim::pnp::Started(pdo));
    S().Names.clear();
    // The re-enumeration removes the device and brings it back as a new one.
    bus->Unplug(1);
    pdo = bus->Plug(1, usbsim::VirtualDevice::Uac1());
    EXPECT_TRUE(sim::pnp::Started(pdo));
    EXPECT_EQ(S().Names, (std::vector<std::string>{"HPOut00", "HPOut01", "MicIn00"}))
        << "a new device counts anew";
    bus->Unplug(1);
}

// Every allocation from the load through the start fails in turn: a failure status, then a removal
// that leaves nothing.
TEST_F(DriverEntryTest, EveryAllocationFailureUnwinds)
{
    S().Streams[0].Word6 = STREAM_INFO_ASIO_CAPABLE;
    LoadAndPlug();
    const size_t allocations = sim::Allocations();
    bus->Unplug(1);
    Restart();
    for (size_t k = 1; k <= allocations; ++k)
    {
        SCOPED_TRACE(k);
        S().Streams[0].Word6 = STREAM_INFO_ASIO_CAPABLE;
        sim::FailAllocation(unsigned(k));
        const NTSTATUS loaded = sim::pnp::LoadDriver(&DriverEntry);
        if (NT_SUCCESS(loaded))
        {
            if (PDEVICE_OBJECT pdo = bus->Plug(1, usbsim::VirtualDevice::Uac1()))
            {
                if (!sim::pnp::Started(pdo))
                {
                    EXPECT_EQ(pdo->AttachedDevice, nullptr);
                }
                bus->Unplug(1);
            }
        }
        sim::FailAllocation(0);
        Restart();
    }
}

// A removal cannot be refused: whatever allocation fails on the way, the stack goes and every
// reference the start took is given back.
TEST_F(DriverEntryTest, EveryAllocationOfARemovalFailedInTurnLeavesNothing)
{
    S().Streams[0].Word6 = STREAM_INFO_ASIO_CAPABLE;
    PDEVICE_OBJECT pdo = LoadAndPlug();
    ASSERT_TRUE(sim::pnp::Started(pdo));
    const size_t before = sim::Allocations();
    bus->Unplug(1);
    const size_t allocations = sim::Allocations() - before;
    ASSERT_GT(allocations, 0u);
    Restart();
    for (size_t k = 1; k <= allocations; ++k)
    {
        SCOPED_TRACE(k);
        S().Streams[0].Word6 = STREAM_INFO_ASIO_CAPABLE;
        pdo = LoadAndPlug();
        ASSERT_TRUE(sim::pnp::Started(pdo));
        sim::FailAllocation(unsigned(k));
        bus->Unplug(1);
        sim::FailAllocation(0);
        Restart();
    }
}

} // namespace
