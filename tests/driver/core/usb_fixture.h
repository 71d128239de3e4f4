// The USB layer's test bench: the simulated bus with one virtual headset on port 1, a test FDO
// attached to its PDO, the recording adapter hooks and the layer itself. A test fails at its end when
// it leaves pool blocks or IRPs, bus-interface references, adapter references, held locks, lock-order
// faults, IRQL misuse or engine violations behind.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <ntkernel.h>
#include <sim/io_sim.h>
#include <sim/registry_sim.h>
#include <sim/usb_bus.h>

#include "driver/core/usb_device_layer.h"
#include "support/kernel_test.h"
#include "usb_recording_hooks.h"

class UsbLayerTest : public KernelTest
{
protected:
    static constexpr unsigned kPort = 1;

    void SetUp() override;
    void TearDown() override;

    // Plugs `headset` on port 1, attaches the test FDO and makes the layer (Initialize done).
    void Attach(std::shared_ptr<usbsim::VirtualDevice> headset = usbsim::VirtualDevice::Uac1());
    // The start-up reads as the adapter's StartHardware makes them: descriptors and bus interface.
    void StartHardware();
    // Selects the configuration with the first setting of every interface, as the adapter's start
    // does, and has the hooks report it: the URB (the caller frees it with ExFreePool), or null.
    PURB SelectConfiguration();
    // "SelectiveSuspendEnabled" as REG_DWORD under the device's "Device Parameters" key.
    void SetSelectiveSuspend(ULONG value);
    std::string DeviceParametersKey() const { return bus->InstanceKey(kPort) + "\\Device Parameters"; }
    // Ends the layer early (as removal does); TearDown then only checks.
    void DestroyLayer();
    // Ends this round of a multi-round test with the end-of-test checks and starts a fresh bench.
    void Restart()
    {
        DestroyLayer();
        TearDown();
        SetUp();
    }
    static POWER_STATE PowerState(DEVICE_POWER_STATE state)
    {
        POWER_STATE p;
        p.DeviceState = state;
        return p;
    }

    // Bus log helpers.
    std::vector<usbsim::Event> Urbs() const { return bus->Log(usbsim::EventKind::Urb); }
    size_t Count(usbsim::EventKind kind) const { return bus->Log(kind).size(); }
    std::vector<DEVICE_POWER_STATE> BusPowerStates() const;

    // A GET_DESCRIPTOR URB for the caller's buffer.
    static URB_CONTROL_DESCRIPTOR_REQUEST DescriptorUrb(UCHAR type, UCHAR index, PVOID buffer, ULONG length,
                                                        USHORT language = 0);

    std::unique_ptr<usbsim::Bus> bus;
    std::shared_ptr<usbsim::VirtualDevice> device;
    PDEVICE_OBJECT pdo = nullptr, fdo = nullptr, lower = nullptr;
    RecordingAdapterHooks hooks;
    CountingUnknown outer;
    std::unique_ptr<CUsbDeviceLayer> layer;

private:
    struct FdoExtension
    {
        CUsbDeviceLayer *layer;
        PDEVICE_OBJECT lower;
    };
    static NTSTATUS FdoPassDown(PDEVICE_OBJECT fdo, PIRP irp);
    static NTSTATUS FdoPower(PDEVICE_OBJECT fdo, PIRP irp);
    void DetachFdo();

    DRIVER_OBJECT m_Driver{};
};
