// Test and host face of the PnP manager and of file I/O: loads a driver, adds and starts it on the
// physical devices the bus announces, sends their PnP and power requests, opens files on them and
// sends create, close and buffered device-control requests, as the platform does for a user process.
//
// The bus side is not known here: whoever owns a bus calls DeviceArrived, DeviceSurpriseRemoved and
// DeviceRemoved from its PnP notices (see sim/usb_pnp.h). Every call runs at PASSIVE_LEVEL on the
// caller's thread and waits for the request to complete.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <ntkernel.h>

namespace sim::pnp
{

// Creates the driver object, the service key "\Registry\Machine\System\CurrentControlSet\Services\"
// + service as its registry path, and calls `entry`. A failed entry unloads the driver again.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const std::string &service = "ZELKO610");
PDRIVER_OBJECT Driver(); // null when none is loaded
// Frees the driver object; every device must have been removed (a leftover is reported).
void UnloadDriver();

// A device arrived: the driver's add-device routine, then IRP_MN_START_DEVICE with no resources; a
// failed start is followed by IRP_MN_REMOVE_DEVICE. Returns the add-device or start status.
NTSTATUS DeviceArrived(PDEVICE_OBJECT pdo);
// Only the add-device routine, for a test of what a device sees before its start; DeviceRemoved
// removes it as usual.
NTSTATUS DeviceAddedNotStarted(PDEVICE_OBJECT pdo);
// The device is gone: IRP_MN_SURPRISE_REMOVAL (when it was started), then IRP_MN_REMOVE_DEVICE as soon
// as no file is open on it (DeviceRemoved or the last CloseFile sends it).
void DeviceSurpriseRemoved(PDEVICE_OBJECT pdo);
void DeviceRemoved(PDEVICE_OBJECT pdo);
// Orderly removal: IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE when the query succeeded
// (IRP_MN_CANCEL_REMOVE_DEVICE when it did not). Returns the query's status.
NTSTATUS QueryRemove(PDEVICE_OBJECT pdo);

// IRP_MN_SET_POWER (device power) to the device's stack; returns its status.
NTSTATUS SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);
// IRP_MN_QUERY_CAPABILITIES into `capabilities` (Size and Version filled here).
NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES *capabilities);

bool Started(PDEVICE_OBJECT pdo); // added, started and not removed
size_t Devices();                 // devices added and not yet removed

// The PnP and power requests sent, in order: "ADD_DEVICE -> 0x00000000", "START_DEVICE -> ...",
// "SURPRISE_REMOVAL", "QUERY_REMOVE_DEVICE", "CANCEL_REMOVE_DEVICE", "REMOVE_DEVICE",
// "SET_POWER D3", "QUERY_CAPABILITIES", each with its status.
std::vector<std::string> Log();
void ClearLog();

// ---- Files ----------------------------------------------------------------------------------------
// Opens `name` (the file name the driver sees, such as "\Reference") on the device's stack. The file
// object is freed by CloseFile, also when the create failed (then *file is null and nothing is open).
NTSTATUS OpenFile(PDEVICE_OBJECT pdo, const std::u16string &name, PFILE_OBJECT *file);
// Opens an enabled device interface by its symbolic link: the file name is "\" + its reference string.
// An unknown or disabled link: STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS OpenInterface(const std::string &link, PFILE_OBJECT *file);
NTSTATUS CloseFile(PFILE_OBJECT file);
size_t OpenFiles();

// A METHOD_BUFFERED device-control request: the system buffer is max(in, out) pool bytes plus guard
// bytes, the input copied in and the rest poisoned; on completion Information bytes go back to `out`
// only when outLength is not 0 and the status is not an error (a warning such as
// STATUS_BUFFER_OVERFLOW copies). Information above outLength, or overwritten guard bytes, are
// reported as violations. *information receives Information.
NTSTATUS DeviceControl(PFILE_OBJECT file, ULONG code, const void *in, ULONG inLength, void *out,
                       ULONG outLength, ULONG_PTR *information);

} // namespace sim::pnp
