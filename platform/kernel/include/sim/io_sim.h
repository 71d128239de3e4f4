// Test face of the I/O manager: live IRPs and device objects, and injected power-request failures.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <ntkernel.h>

namespace sim::io
{

size_t LiveIrps();                        // allocated and not yet freed
size_t LiveDevices();                     // created and not yet deleted
bool IsLiveDevice(PDEVICE_OBJECT device); // created and not yet deleted (IoDeleteDevice)
// The n-th PoRequestPowerIrp from now (1 = the next) returns `status` without sending anything.
void FailPowerRequest(unsigned n, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
size_t PowerRequests(); // PoRequestPowerIrp calls since the last reset

// ---- Device interfaces ---------------------------------------------------------------------------
struct DeviceInterfaceRecord
{
    PDEVICE_OBJECT Device; // the physical device object it was registered on
    GUID Class;
    std::string Reference; // "" when none was given
    std::string Link;      // the symbolic link, characters above 127 as '?'
    bool Enabled;
};
// Registered interfaces in registration order; with a class, only that class's.
std::vector<DeviceInterfaceRecord> DeviceInterfaces(const GUID *classGuid = nullptr);
size_t InterfaceEnables();  // IoSetDeviceInterfaceState calls that turned an interface on
size_t InterfaceDisables(); // ... and off
// The next IoRegisterDeviceInterface (or IoSetDeviceInterfaceState) returns `status` and does nothing;
// each call arms one, consumed in order. Interfaces still enabled at the end of a test, and armed
// failures never reached, are reported by the end-of-test check.
void FailNextInterfaceRegistration(NTSTATUS status);
void FailNextInterfaceState(NTSTATUS status);

} // namespace sim::io
