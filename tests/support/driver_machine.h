// A machine with the driver loaded: the kernel stand-in, a simulated USB bus joined to the PnP manager
// and the driver's entry run. Removing every device and unloading at the end of a test, it checks that
// the 1 ms timer resolution was given back.
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <sim/audio_client.h>
#include <sim/pnp_sim.h>
#include <sim/portcls_sim.h>
#include <sim/usb_bus.h>
#include <sim/usb_iso_engine.h>
#include <sim/usb_pnp.h>

#include "driver/core/driver_entry.h"
#include "driver/core/usb_audio_adapter.h"
#include "support/kernel_test.h"
#include "support/usb_device_rounds.h"

class DriverMachineTest : public KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        bus = std::make_unique<usbsim::Bus>();
        usbsim::AttachPnpManager(*bus);
        ASSERT_EQ(sim::pnp::LoadDriver(&DriverEntry), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        bus.reset();
        sim::pnp::UnloadDriver();
        EXPECT_EQ(sim::TimerResolutionHolds(), 0u);
        KernelTest::TearDown();
    }
    // Ends this round with the end-of-test checks and boots a fresh machine.
    void Restart()
    {
        TearDown();
        SetUp();
    }

    // The adapter a started device's extension holds, or null.
    static CUsbAudioAdapter *AdapterOf(PDEVICE_OBJECT pdo) { return device_rounds::AdapterOf(pdo); }

    // The wave filters registered with the port class, by name.
    static std::set<std::string> WaveNames()
    {
        std::set<std::string> names;
        for (const sim::portcls::SubdeviceRecord &r : sim::portcls::Subdevices())
            if (r.Name != "GlobalTopo")
                names.insert(r.Name);
        return names;
    }

    // The render engines' formats, as the started device lists them.
    static std::vector<WAVEFORMATEXTENSIBLE> RenderFormats(PDEVICE_OBJECT pdo)
    {
        std::vector<WAVEFORMATEXTENSIBLE> formats;
        CUsbAudioAdapter *adapter = AdapterOf(pdo);
        IStreamEngine *engine = nullptr;
        for (ULONG i = 0; adapter && NT_SUCCESS(adapter->GetEngine(i, &engine)) && engine; ++i)
        {
            WAVEFORMATEXTENSIBLE f{};
            for (ULONG k = 0; engine->GetEngineId() == 0 && NT_SUCCESS(engine->GetFormat(k, &f)); ++k)
                formats.push_back(f);
        }
        return formats;
    }

    // Plays `source` through pin 0 of the wave filter `filter`, opened in the data format `data`, for
    // `ms` of virtual time, running `midway` after `midwayMs` of them: every byte the OUT endpoint
    // `endpoint` of port `port` received meanwhile, silence included.
    std::vector<uint8_t> PlayPin(sim::audio::Filter &filter, const std::vector<UCHAR> &data,
                                 std::vector<UCHAR> source, unsigned port, uint8_t endpoint, ULONG ms,
                                 const std::function<void()> &midway = {}, ULONG midwayMs = 0)
    {
        std::unique_ptr<sim::audio::Pin> pin;
        EXPECT_EQ(sim::audio::OpenPin(filter, 0, data.data(), ULONG(data.size()), &pin), STATUS_SUCCESS);
        if (!pin)
            return {};
        bus->Iso(port).ClearOutPackets(endpoint);
        pin->SetSource(std::move(source));
        EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        if (midway)
        {
            sim::AdvanceMs(midwayMs);
            midway();
            ms -= midwayMs;
        }
        sim::AdvanceMs(ms);
        EXPECT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
        std::vector<uint8_t> bytes;
        for (const auto &p : bus->Iso(port).OutPackets(endpoint))
            bytes.insert(bytes.end(), p.bytes.begin(), p.bytes.end());
        return bytes;
    }

    std::unique_ptr<usbsim::Bus> bus;
};

// The little-endian 16-bit samples of `bytes` (a last odd byte left out).
inline std::vector<int16_t> Samples16(const std::vector<uint8_t> &bytes)
{
    std::vector<int16_t> samples;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        samples.push_back(int16_t(bytes[i] | bytes[i + 1] << 8));
    return samples;
}

// The maker's generic class 1.0 chip: its identification string and the revision byte detection reads.
inline std::shared_ptr<usbsim::VirtualDevice> HuldHeadset(const usbsim::Uac1Options &options = {})
{
    auto device = usbsim::VirtualDevice::Uac1(options);
    device->SetString(0x50, u"Huld");
    device->otherReads[0x02u << 16 | 0x51] = {0x1F};
    return device;
}
