// A machine with the driver loaded: the kernel stand-in, a simulated USB bus joined to the PnP manager
// and the driver's entry run. Removing every device and unloading at the end of a test, it checks that
// the 1 ms timer resolution was given back.
#pragma once

#include <memory>

#include <sim/pnp_sim.h>
#include <sim/usb_bus.h>
#include <sim/usb_pnp.h>

#include "driver/core/driver_entry.h"
#include "driver/core/usb_audio_adapter.h"
#include "support/kernel_test.h"

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
    static CUsbAudioAdapter *AdapterOf(PDEVICE_OBJECT pdo)
    {
        AdapterDeviceExtension *extension = pdo ? GetAdapterExtension(pdo->AttachedDevice) : nullptr;
        return extension && extension->Adapter ? static_cast<CUsbAudioAdapter *>(extension->Adapter)
                                               : nullptr;
    }

    std::unique_ptr<usbsim::Bus> bus;
};
