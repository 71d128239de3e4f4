// A machine with the driver loaded: the kernel stand-in, a simulated USB bus joined to the PnP manager
// and the driver's entry run. Removing every device and unloading at the end of a test, it checks that
// the 1 ms timer resolution was given back.
#pragma once

#include <memory>
#include <set>
#include <string>

#include <sim/pnp_sim.h>
#include <sim/portcls_sim.h>
#include <sim/usb_bus.h>
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

    std::unique_ptr<usbsim::Bus> bus;
};

// The maker's generic class 1.0 chip: its identification string and the revision byte detection reads.
inline std::shared_ptr<usbsim::VirtualDevice> HuldHeadset(const usbsim::Uac1Options &options = {})
{
    auto device = usbsim::VirtualDevice::Uac1(options);
    device->SetString(0x50, u"Huld");
    device->otherReads[0x02u << 16 | 0x51] = {0x1F};
    return device;
}
