// The adapter half of the port-class framework: driver registration, the functional device object
// it creates for the adapter, its IRP dispatch, adapter power registration and the version query.
#pragma once

#include <ntkernel.h>
#include <pc_power.h>
#include <pc_unknown.h>

struct IResourceList;
typedef IResourceList *PRESOURCELIST;

// The framework's part at the front of every adapter device extension; the driver's own part
// follows it. Drivers add this to the size of their own part and never assume its value.
#define PORT_CLASS_DEVICE_EXTENSION_SIZE (64 * sizeof(ULONG_PTR))

typedef NTSTATUS (*PCPFNSTARTDEVICE)(PDEVICE_OBJECT deviceObject, PIRP irp, PRESOURCELIST resourceList);

// {E0BEB6D8-2B8B-4E38-B6E8-3D86B3A7B4B0}
inline constexpr GUID IID_IPortClsVersion = {
    0xE0BEB6D8, 0x2B8B, 0x4E38, {0xB6, 0xE8, 0x3D, 0x86, 0xB3, 0xA7, 0xB4, 0xB0}};

// The framework's version, answered by every port: 11 and above know everything the driver uses.
struct IPortClsVersion : IUnknown
{
    virtual DWORD GetVersion() = 0;
};
typedef IPortClsVersion *PPORTCLSVERSION;

extern "C"
{
    // Installs the framework's dispatch routine for every major function and keeps addDevice as the
    // driver's add-device routine. PASSIVE_LEVEL.
    NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath,
                                       PDRIVER_ADD_DEVICE addDevice);

    // Creates the functional device object for the physical device, attaches it to the top of its stack
    // and records startDevice, which runs when IRP_MN_START_DEVICE has gone down the stack. The
    // extension is `extensionSize` bytes: the framework's PORT_CLASS_DEVICE_EXTENSION_SIZE first, the
    // driver's part after it (zeroed). A size below the framework's part, or maxObjects 0:
    // STATUS_INVALID_PARAMETER; no memory: STATUS_INSUFFICIENT_RESOURCES. At most maxObjects
    // sub-devices can be registered on the device.
    NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject,
                                PCPFNSTARTDEVICE startDevice, ULONG maxObjects, ULONG extensionSize);

    // The framework's handling of an IRP sent to an adapter device: PnP start, stop and removal, power,
    // creates on sub-device names; everything else goes down the stack. Returns the IRP's status.
    NTSTATUS PcDispatchIrp(PDEVICE_OBJECT deviceObject, PIRP irp);

    // Completes an IRP with `status` (STATUS_PENDING leaves it to its owner).
    NTSTATUS PcCompleteIrp(PDEVICE_OBJECT deviceObject, PIRP irp, NTSTATUS status);

    // Registers the adapter's power interface (queried from `unknown`, held until the device is
    // removed): power changes and capability queries of the device reach it.
    NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN unknown, PDEVICE_OBJECT deviceObject);
}
