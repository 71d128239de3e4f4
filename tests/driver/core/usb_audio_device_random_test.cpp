// The USB audio device classes against what a device may send: the allocations of a start failed in
// turn, and seeded rounds of mutated descriptors, identification strings, chip register bytes and
// stored settings plugged, started and released. Each ends with a status, no crash and no leak (the
// bench's end-of-test checks run after every round).
#include <gtest/gtest.h>

#include <sim/kernel_sim.h>

#include "driver/core/settings.h"
#include "driver/core/usb_audio_device.h"
#include "driver/core/usb_audio_device_tables.h"
#include "usb_fixture.h"

#include <cstdio>
#include <random>

namespace
{

// The adapter as the device object sees it: its lower requests and the chip's registers (forwarded
// to the device as the adapter does), references only counted.
class LowerOnlyAdapter final : public IUnknown
{
public:
    IUsbLowerRequests *lower = nullptr;
    PUNKNOWN device = nullptr;
    NTSTATUS QueryInterface(REFIID iid, PVOID *object) override
    {
        if (lower && IsEqualId(iid, IID_IUsbLowerRequests))
        {
            lower->AddRef();
            *object = lower;
            return STATUS_SUCCESS;
        }
        if (device && IsEqualId(iid, IID_IChipRegisters))
            return device->QueryInterface(iid, object);
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG AddRef() override { return ULONG(++refs); }
    ULONG Release() override { return ULONG(--refs); }
    LONG refs = 1;
};

class DeviceRandomTest : public UsbLayerTest
{
protected:
    // Plugs `headset` and reads its descriptors; FALSE when the layer refuses them.
    bool Plug(std::shared_ptr<usbsim::VirtualDevice> headset)
    {
        Attach(std::move(headset));
        if (!NT_SUCCESS(layer->ReadDeviceDescriptor()) || !NT_SUCCESS(layer->ReadConfigurationDescriptor()))
            return false;
        adapter.lower = layer.get();
        return true;
    }
    // The adapter's creation path: the protocol of the first AudioControl interface picks the class.
    NTSTATUS CreateAndStart()
    {
        const PUSB_CONFIGURATION_DESCRIPTOR config = layer->GetConfigurationDescriptor();
        UCHAR protocol = 0;
        const auto *bytes = reinterpret_cast<const UCHAR *>(config);
        for (ULONG at = 0; at + 9 <= config->wTotalLength && bytes[at] >= 2; at += bytes[at])
            if (bytes[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && bytes[at + 5] == 1 && bytes[at + 6] == 1)
            {
                protocol = bytes[at + 7];
                break;
            }
        PUNKNOWN unknown = nullptr;
        NTSTATUS status = CreateUsbAudioDeviceForProtocol(protocol, layer.get(), &adapter, device->VendorId(),
                                                          device->ProductId(), &unknown);
        if (!NT_SUCCESS(status))
            return status;
        adapter.device = unknown;
        IAudioHal *hal = QueryAs<IAudioHal>(unknown, IID_IAudioHal);
        if (hal)
        {
            hal->Release();
            status = hal->Init(nullptr, fdo, lower, pdo);
        }
        adapter.device = nullptr;
        unknown->Release();
        return status;
    }
    void TearDown() override
    {
        EXPECT_EQ(adapter.refs, 1) << "adapter references not given back";
        UsbLayerTest::TearDown();
    }

    LowerOnlyAdapter adapter;
};

std::shared_ptr<usbsim::VirtualDevice> Headset(unsigned kind)
{
    switch (kind % 3)
    {
    case 0:
    {
        auto headset = usbsim::VirtualDevice::Uac1();
        headset->SetString(0x50, u"Huld");
        headset->otherReads[0x02u << 16 | 0x51] = {0x1F};
        return headset;
    }
    case 1:
        return usbsim::VirtualDevice::Uac2();
    default:
        return usbsim::VirtualDevice::Chip();
    }
}

TEST_F(DeviceRandomTest, AllocationsOfAStartFailedInTurn)
{
    for (unsigned kind = 0; kind < 3; ++kind)
    {
        ASSERT_TRUE(Plug(Headset(kind)));
        const size_t before = sim::Allocations();
        ASSERT_EQ(CreateAndStart(), STATUS_SUCCESS) << kind;
        const size_t allocations = sim::Allocations() - before;
        Restart();
        // A spread of twenty allocations over the start (each one its own start), so the case stays
        // cheap under the sanitizers; the first and the last are always among them.
        const size_t step = allocations / 20 + 1;
        for (size_t k = 1; k <= allocations;
             k = k == allocations || k + step <= allocations ? k + step : allocations)
        {
            SCOPED_TRACE("kind " + std::to_string(kind) + " allocation " + std::to_string(k));
            ASSERT_TRUE(Plug(Headset(kind)));
            sim::FailAllocation(unsigned(k));
            CreateAndStart(); // a failure status or, where the allocation was optional, success
            sim::FailAllocation(0);
            Restart();
            if (HasFailure())
                return;
        }
    }
}

TEST_F(DeviceRandomTest, MutatedDevicesStartOrFailCleanly)
{
    const unsigned seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 rng(seed);
    const std::u16string prefixes[] = {u"Huld", u"SVQ4RT", u"SVQ4RTB",
                                       u"Dova", u"Tesh",   u"Vask",
                                       u"Jorp", u"Frel",   std::u16string{0x000B, 0x0005, 0x0050}};
    for (unsigned round = 0; round < 40; ++round)
    {
        SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
        auto headset = Headset(rng());
        usbsim::Bytes &config = headset->Descriptors().configuration;
        for (unsigned k = rng() % 4; k; --k)
            config[rng() % config.size()] = uint8_t(rng() % 3 ? rng() : 0);
        for (UCHAR index : {UCHAR(0x50), UCHAR(0x32)})
            switch (rng() % 4)
            {
            case 0:
                headset->Descriptors().strings.erase(index);
                break;
            case 1:
            {
                usbsim::Bytes raw(rng() % 12);
                for (uint8_t &b : raw)
                    b = uint8_t(rng());
                headset->SetRawString(index, raw);
                break;
            }
            default:
                headset->SetString(index, prefixes[rng() % std::size(prefixes)] + char16_t(rng() % 128));
            }
        headset->Registers()[8] = uint8_t(rng());
        headset->Registers()[9] = rng() % 2 ? 0x9F : uint8_t(rng());
        for (uint32_t key : {0x00001Au, 0x000020u, 0x020051u})
            headset->otherReads[key] = {uint8_t(rng() % 2 ? rng() : 0x1F)};
        if (Plug(headset))
        {
            for (const MirkFlagRow &row : kMirkFlagRows)
                if (rng() % 4 == 0)
                {
                    ULONG value = rng() % 3 ? rng() % 2 : rng();
                    SettingsValue(fdo, SETTINGS_WRITE, &value, sizeof value, row.ValueName);
                }
            const NTSTATUS status = CreateAndStart();
            (void)status; // success or a status; the end-of-test checks decide
        }
        Restart();
        if (HasFailure())
            return;
    }
}

} // namespace
