// The adapter-wide object as the platform starts it: configuration, device object, forwarding,
// component identifier, low-latency settings, client records, power, removal and failure paths, over
// the PnP manager, the simulated bus and the port-class stand-in, with a scripted device object.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

#include <ks_guids.h>
#include <sim/io_sim.h>
#include <sim/pnp_sim.h>
#include <sim/portcls_adapter_sim.h>
#include <sim/portcls_sim.h>
#include <sim/registry_sim.h>
#include <sim/usb_bus.h>
#include <sim/usb_pnp.h>

#include "adapter_doubles.h"
#include "driver/core/usb_audio_adapter.h"
#include "support/driver_machine.h"

using namespace adapter_test;
using entry_test::S;

namespace
{

constexpr ULONG kHeadphone = 2, kMicrophone = 7;
constexpr unsigned kPort = 1;

std::string SettingsKey(unsigned device = 0)
{
    char index[8];
    std::snprintf(index, sizeof index, "\\%04u", device);
    return std::string(sim::registry::kMediaClassRoot) + index + "\\Settings";
}

std::string DeviceParametersKey(uint16_t vid, uint16_t pid, uint16_t rev, unsigned port = kPort)
{
    char id[64];
    std::snprintf(id, sizeof id, "\\USB\\VID_%04X&PID_%04X&REV_%04X\\5&1a2b3c4d&0&%u", vid, pid, rev, port);
    return std::string(sim::registry::kEnumRoot) + id + "\\Device Parameters";
}

void SetSetting(const char *name, uint32_t value)
{
    std::vector<uint8_t> bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    sim::registry::SetValue(SettingsKey(), name, REG_BINARY, bytes);
}

class AdapterTest : public DriverMachineTest
{
protected:
    void SetUp() override
    {
        S() = entry_test::Script{};
        D() = DeviceScript{};
        S().Streams = {{0, kHeadphone}, {0, kHeadphone}, {1, kMicrophone}};
        DriverMachineTest::SetUp();
    }
    void TearDown() override
    {
        DriverMachineTest::TearDown();
        EXPECT_EQ(D().LiveDevices, 0) << "a device object was left";
    }

    PDEVICE_OBJECT Plug(std::shared_ptr<usbsim::VirtualDevice> device, unsigned port = kPort)
    {
        return bus->Plug(port, std::move(device));
    }
    static CUsbAudioAdapter *AdapterOf(PDEVICE_OBJECT pdo)
    {
        AdapterDeviceExtension *extension = GetAdapterExtension(pdo->AttachedDevice);
        return extension && extension->Adapter ? static_cast<CUsbAudioAdapter *>(extension->Adapter)
                                               : nullptr;
    }
    static std::string StartStatus()
    {
        for (const std::string &line : sim::pnp::Log())
            if (line.rfind("START_DEVICE", 0) == 0)
                return line.substr(line.find("-> ") + 3);
        return "";
    }
    static std::string Hex(NTSTATUS status)
    {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
        return text;
    }
};

// ---- Start, forwarding and the query table -----------------------------------------------------------

TEST_F(AdapterTest, StartCreatesTheDeviceObjectAndForwardsTheStreamQueries)
{
    PDEVICE_OBJECT pdo = Plug(usbsim::VirtualDevice::Uac1());
    ASSERT_TRUE(sim::pnp::Started(pdo));
    CUsbAudioAdapter *adapter = AdapterOf(pdo);
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(D().Protocols, std::vector<UCHAR>{0x00});
    EXPECT_EQ(S().Names, (std::vector<std::string>{"HPOut00", "HPOut01", "MicIn00"}));
    EXPECT_EQ(adapter->GetEngineCount(), 3u);
    EXPECT_EQ(S().Calls.back(), "StartAll");

    // The configuration was selected with every interface at alternate setting 0.
    auto *lower = QueryAs<IUsbLowerRequests>(static_cast<IAudioHal *>(adapter), IID_IUsbLowerRequests);
    ASSERT_NE(lower, nullptr);
    PURB selection = lower->GetSelectedConfiguration();
    ASSERT_NE(selection, nullptr);
    EXPECT_EQ(selection->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_NE(selection->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    EXPECT_EQ(lower->GetInterfaceNumber(), 0);
    lower->Release();

    // Every answer is a counted reference on the adapter given back by its taker: only the
    // extension's and the framework's power registration stay, whatever start queried.
    const ULONG held = engine_test::RefsOf<IAudioHal>(adapter);
    EXPECT_EQ(held, 2u);
    for (const GUID &iid : {IID_IUnknown, IID_IAudioHal, IID_IAdapterPowerManagement, IID_IUsbLowerRequests,
                            IID_IAsioPrivate, IID_IUsbAudioFunction})
    {
        PVOID answer = nullptr;
        ASSERT_EQ(adapter->QueryInterface(iid, &answer), STATUS_SUCCESS);
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(engine_test::RefsOf<IAudioHal>(adapter), held + 1);
        static_cast<PUNKNOWN>(answer)->Release();
    }
    PVOID none = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(adapter->QueryInterface(IID_IStreamEngine, &none), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(engine_test::RefsOf<IAudioHal>(adapter), held);

    // A file the adapter never opened finds no client.
    auto *asio = QueryAs<IAsioPrivate>(static_cast<IAudioHal *>(adapter), IID_IAsioPrivate);
    ULONG_PTR information = 7;
    EXPECT_EQ(asio->GetChannels(nullptr, nullptr, 0, 16, &information), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(asio->Unused(nullptr), STATUS_UNSUCCESSFUL);
    asio->Release();
    bus->Unplug(kPort);
    EXPECT_EQ(sim::pnp::Devices(), 0u);
}

TEST_F(AdapterTest, ComponentIdCarriesVendorAndProductAndDefaultsHold)
{
    usbsim::Uac1Options options;
    options.vendorId = 0x0B05;
    options.productId = 0x17F3;
    PDEVICE_OBJECT pdo = Plug(usbsim::VirtualDevice::Uac1(options));
    CUsbAudioAdapter *adapter = AdapterOf(pdo);
    ASSERT_NE(adapter, nullptr);
    unsigned char record[80];
    std::memset(record, 0xCC, sizeof record);
    ASSERT_EQ(adapter->GetComponentId(nullptr, record), STATUS_SUCCESS);
    KSCOMPONENTID id;
    std::memcpy(&id, record, sizeof id);
    EXPECT_EQ(id.Manufacturer.Data1, 0x4E1CF7D7u);
    EXPECT_EQ(id.Product.Data1, 0xABCC7251u);
    EXPECT_EQ(id.Component, KSCOMPONENTID_USBAUDIO);
    EXPECT_EQ(id.Name, GUID{});
    EXPECT_EQ(id.Version, 0u);
    EXPECT_EQ(id.Revision, 0u);
    EXPECT_EQ(record[72], 0xCC) << "72 bytes and no more";
    EXPECT_EQ(adapter->GetComponentId(nullptr, nullptr), STATUS_INVALID_PARAMETER);
    // Nothing stored and no stream serving the private interface: the plain defaults.
    EXPECT_EQ(adapter->SampleRate(), 48000u);
    EXPECT_EQ(adapter->LatencyIndex(), 4u);
    EXPECT_EQ(adapter->EffectiveSampleType(), 16u);
    bus->Unplug(kPort);
    Restart();

    // The same device with a serving stream takes its own 24-bit default.
    S().Streams[0].Word6 = STREAM_INFO_ASIO_CAPABLE;
    pdo = Plug(usbsim::VirtualDevice::Uac1(options));
    ASSERT_NE(AdapterOf(pdo), nullptr);
    EXPECT_EQ(AdapterOf(pdo)->EffectiveSampleType(), 17u);
    EXPECT_EQ(AdapterOf(pdo)->RequestedSampleType(), 17u);
    bus->Unplug(kPort);
}

TEST_F(AdapterTest, StoredLowLatencyValuesOutOfRangeFallBack)
{
    struct Case
    {
        uint32_t type, latency, rate;
        ULONG wantType, wantLatency, wantRate;
    };
    const Case cases[] = {
        {27, 7, 8000, 27, 7, 8000},  // the edges that are still good
        {19, 8, 7999, 16, 4, 48000}, // just outside each range
        {0xFFFFFFFF, 0xFFFFFFFF, 0, 16, 4, 48000},
        {23, 2, 192000, 16, 2, 192000}, // a gap in the sample-type codes
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.type);
        SetSetting("ASIOMLDataBitDepth", c.type);
        SetSetting("ASIOMLDataLatency", c.latency);
        SetSetting("ASIOMLSampleRate", c.rate);
        PDEVICE_OBJECT pdo = Plug(usbsim::VirtualDevice::Uac1());
        CUsbAudioAdapter *adapter = AdapterOf(pdo);
        ASSERT_NE(adapter, nullptr);
        EXPECT_EQ(adapter->EffectiveSampleType(), c.wantType);
        EXPECT_EQ(adapter->LatencyIndex(), c.wantLatency);
        EXPECT_EQ(adapter->SampleRate(), c.wantRate);
        EXPECT_EQ(sim::DebugLogCount("invalid, using"),
                  size_t(c.wantType != c.type) + (c.wantLatency != c.latency) + (c.wantRate != c.rate));
        bus->Unplug(kPort);
        Restart();
    }
}

TEST_F(AdapterTest, TheAudioControlInterfaceIsFoundByClassAndItsProtocolChoosesTheFamily)
{
    // The AudioControl interface numbered 3: the selection still covers every interface and the
    // number recorded is its own.
    usbsim::DescriptorSet descriptors = usbsim::BuildUac1Headset();
    usbsim::Set8(descriptors.configuration, size_t(usbsim::FindDescriptor(descriptors.configuration, 4)) + 2,
                 3);
    PDEVICE_OBJECT pdo =
        Plug(usbsim::VirtualDevice::Make(std::move(descriptors), usbsim::DeviceFamily::Generic));
    ASSERT_TRUE(sim::pnp::Started(pdo));
    auto *lower = QueryAs<IUsbLowerRequests>(static_cast<IAudioHal *>(AdapterOf(pdo)), IID_IUsbLowerRequests);
    ASSERT_NE(lower, nullptr);
    EXPECT_EQ(lower->GetInterfaceNumber(), 3);
    // Selected in number order: the streaming interfaces 1 and 2 come first now.
    EXPECT_EQ(lower->GetSelectedConfiguration()->UrbSelectConfiguration.Interface.InterfaceNumber, 1);
    lower->Release();
    bus->Unplug(kPort);
    Restart();

    pdo = Plug(usbsim::VirtualDevice::Uac2());
    ASSERT_TRUE(sim::pnp::Started(pdo));
    EXPECT_EQ(D().Protocols, std::vector<UCHAR>{0x20});
    bus->Unplug(kPort);
}

// ---- Refusals --------------------------------------------------------------------------------------

TEST_F(AdapterTest, StartRefusalsEndWithTheirStatusAndLeaveNothing)
{
    struct Case
    {
        const char *what;
        std::function<void(usbsim::DescriptorSet &)> patch;
        std::function<void()> script;
        NTSTATUS want;
    };
    auto patchControl = [](size_t field, uint8_t value)
    {
        return [=](usbsim::DescriptorSet &d)
        {
            const long at = usbsim::FindDescriptor(d.configuration, 4);
            usbsim::Set8(d.configuration, size_t(at) + field, value);
        };
    };
    const Case cases[] = {
        {"protocol 0x10", patchControl(7, 0x10), [] {}, STATUS_UNSUCCESSFUL},
        {"no AudioControl interface", patchControl(6, 2), [] {}, STATUS_UNSUCCESSFUL},
        {"no interfaces", [](usbsim::DescriptorSet &d) { usbsim::Set8(d.configuration, 4, 0); }, [] {},
         STATUS_UNSUCCESSFUL},
        {"device detection", [](usbsim::DescriptorSet &) {}, [] { D().DetectStatus = STATUS_NOT_SUPPORTED; },
         STATUS_NOT_SUPPORTED},
        {"device creation", [](usbsim::DescriptorSet &) {},
         [] { D().CreateStatus = STATUS_INSUFFICIENT_RESOURCES; }, STATUS_INSUFFICIENT_RESOURCES},
        {"no power interface", [](usbsim::DescriptorSet &) {}, [] { D().AnswersPower = false; },
         STATUS_UNSUCCESSFUL},
        {"topology creator", [](usbsim::DescriptorSet &) {}, [] { S().TopologyStatus = STATUS_NO_MATCH; },
         STATUS_NO_MATCH},
        {"port-class version 10", [](usbsim::DescriptorSet &) {}, [] { sim::portcls::SetPortClsVersion(10); },
         STATUS_UNSUCCESSFUL},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.what);
        usbsim::DescriptorSet descriptors = usbsim::BuildUac1Headset();
        c.patch(descriptors);
        c.script();
        PDEVICE_OBJECT pdo =
            Plug(usbsim::VirtualDevice::Make(std::move(descriptors), usbsim::DeviceFamily::Generic));
        EXPECT_FALSE(sim::pnp::Started(pdo));
        EXPECT_EQ(StartStatus(), Hex(c.want));
        EXPECT_EQ(sim::pnp::Devices(), 0u) << "a failed start is removed";
        bus->Unplug(kPort);
        Restart();
    }
}

// ---- Private streaming clients ---------------------------------------------------------------------

TEST_F(AdapterTest, ClientsOpenOnThePrivateNameAndCloseWritesTheBitDepth)
{
    S().Streams[0].Word6 = STREAM_INFO_ASIO_CAPABLE;
    SetSetting("ASIOMLDataBitDepth", 27);
    SetSetting("ASIOMLDataLatency", 2);
    PDEVICE_OBJECT pdo = Plug(usbsim::VirtualDevice::Uac1());
    ASSERT_TRUE(sim::pnp::Started(pdo));
    sim::registry::SetValue(SettingsKey(), "ASIOMLDataBitDepth", REG_BINARY, {});

    PFILE_OBJECT first = nullptr, second = nullptr, other = nullptr;
    ASSERT_EQ(sim::pnp::OpenFile(pdo, u"\\svasioprivateinterface", &first), STATUS_SUCCESS);
    ASSERT_EQ(sim::pnp::OpenFile(pdo, u"\\SVASIOPrivateInterface", &second), STATUS_SUCCESS);
    // Any other name belongs to the framework, which knows no such filter.
    EXPECT_EQ(sim::pnp::OpenFile(pdo, u"\\SVEnumPrivateInterface", &other), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(other, nullptr);
    // A request on the private name reaches the adapter: the first stream serves it.
    uint32_t out[4];
    std::memset(out, 0x5A, sizeof out);
    ULONG_PTR information = 99;
    EXPECT_EQ(sim::pnp::DeviceControl(first, 0x1D6004, nullptr, 0, out, sizeof out, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 16u);
    EXPECT_EQ(out[0], 1u);

    EXPECT_EQ(sim::pnp::CloseFile(first), STATUS_SUCCESS);
    // No client owns buffers: the requested sample type is stored again.
    auto stored = sim::registry::GetValue(SettingsKey(), "ASIOMLDataBitDepth");
    ASSERT_TRUE(stored.has_value());
    ASSERT_EQ(stored->data.size(), 4u);
    EXPECT_EQ(stored->data[0], 27);
    EXPECT_EQ(sim::pnp::CloseFile(second), STATUS_SUCCESS);

    // A close for a file the adapter never opened finds no client.
    auto *asio = QueryAs<IAsioPrivate>(static_cast<IAudioHal *>(AdapterOf(pdo)), IID_IAsioPrivate);
    FILE_OBJECT stranger{};
    EXPECT_EQ(asio->Close(&stranger), STATUS_INVALID_PARAMETER);
    asio->Release();
    bus->Unplug(kPort);
}

// ---- Power -----------------------------------------------------------------------------------------

TEST_F(AdapterTest, PowerChangesReachTheDeviceObjectAndHoldTheResolutionOnlyInD0)
{
    PDEVICE_OBJECT pdo = Plug(usbsim::VirtualDevice::Uac1());
    ASSERT_TRUE(sim::pnp::Started(pdo));
    EXPECT_EQ(sim::TimerResolutionHolds(), 1u);
    EXPECT_EQ(sim::pnp::SetDevicePower(pdo, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(sim::TimerResolutionHolds(), 0u);
    EXPECT_EQ(sim::pnp::SetDevicePower(pdo, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::SetDevicePower(pdo, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(sim::TimerResolutionHolds(), 1u);
    EXPECT_EQ(sim::pnp::SetDevicePower(pdo, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::SetDevicePower(pdo, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(D().Power, (std::vector<std::string>{"D3", "D0", "D2"})) << "an unchanged state tells nothing";
    DEVICE_CAPABILITIES capabilities{};
    EXPECT_EQ(sim::pnp::QueryCapabilities(pdo, &capabilities), STATUS_SUCCESS);
    EXPECT_EQ(capabilities.Flags & (1u << 9), 1u << 9) << "surprise removal is fine";
    bus->Unplug(kPort);
}

// ---- Removal ---------------------------------------------------------------------------------------

// The race runs 1,000 rounds in four shards that ctest runs side by side, so no case is long; the
// sanitizer build runs 15 a shard.
class RemovalRaceTest : public AdapterTest, public ::testing::WithParamInterface<int>
{
};

TEST_P(RemovalRaceTest, RemovalRacingHubIdleCallbacksNeverReachesAFreedAdapter)
{
    // The hub calls back as soon as the idle request arrives, at the 5 s idle check; a removal on a
    // second thread meets the callback and the adapter's shutdown at varying points over the rounds.
#if defined(__SANITIZE_ADDRESS__)
    const int rounds = 15; // 60 in all
#else
    const int rounds = 250;
#endif
    std::printf("removal race: rounds %d to %d\n", GetParam() * 250, GetParam() * 250 + rounds - 1);
    bus->SetIdleDelayMs(kPort, 0);
    for (int round = GetParam() * 250; round < GetParam() * 250 + rounds; ++round)
    {
        sim::registry::SetDword(DeviceParametersKey(0x1234, 0x5678, 0x0100), "SelectiveSuspendEnabled", 1);
        PDEVICE_OBJECT pdo = Plug(usbsim::VirtualDevice::Uac1());
        ASSERT_TRUE(sim::pnp::Started(pdo)) << "round " << round;
        sim::AdvanceMs(4999);
        {
            sim::HostThread remover(
                [&]
                {
                    if (round % 2)
                        bus->Unplug(kPort);
                    else
                        sim::pnp::QueryRemove(pdo);
                });
            sim::AdvanceMs(1 + round % 3);
            remover.Join();
        }
        bus->Unplug(kPort);
        ASSERT_EQ(sim::pnp::Devices(), 0u) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Shards, RemovalRaceTest, ::testing::Range(0, 4));

TEST_F(AdapterTest, TwoHeadsetsRemovedInEitherOrder)
{
    for (bool firstFirst : {true, false})
    {
        PDEVICE_OBJECT a = Plug(usbsim::VirtualDevice::Uac1(), 1);
        PDEVICE_OBJECT b = Plug(usbsim::VirtualDevice::Uac2(), 2);
        ASSERT_TRUE(sim::pnp::Started(a));
        ASSERT_TRUE(sim::pnp::Started(b));
        EXPECT_NE(AdapterOf(a), AdapterOf(b));
        bus->Unplug(firstFirst ? 1 : 2);
        EXPECT_TRUE(sim::pnp::Started(firstFirst ? b : a));
        bus->Unplug(firstFirst ? 2 : 1);
        EXPECT_EQ(sim::pnp::Devices(), 0u);
        EXPECT_EQ(entry_test::CountCalls("StopAll"), 2u);
        Restart();
    }
}

// ---- Failure injection -----------------------------------------------------------------------------

TEST_F(AdapterTest, EveryAllocationOfLoadAndStartFailedInTurn)
{
    // Count the allocations of a clean load and start.
    sim::pnp::UnloadDriver();
    const size_t before = sim::Allocations();
    ASSERT_EQ(sim::pnp::LoadDriver(&DriverEntry), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = Plug(usbsim::VirtualDevice::Uac1());
    ASSERT_TRUE(sim::pnp::Started(pdo));
    const size_t total = sim::Allocations() - before;
    bus->Unplug(kPort);
    Restart();
    ASSERT_GT(total, 10u);

    for (size_t k = 1; k <= total; ++k)
    {
        SCOPED_TRACE(k);
        sim::pnp::UnloadDriver();
        sim::FailAllocation(unsigned(k));
        if (NT_SUCCESS(sim::pnp::LoadDriver(&DriverEntry)))
        {
            // Success (the device names are optional) or a status; the round's end checks find no
            // leak, leftover device, interface or callback object.
            Plug(usbsim::VirtualDevice::Uac1());
            bus->Unplug(kPort);
        }
        sim::FailAllocation(0);
        Restart();
    }
}

} // namespace
