// Port-class registry keys: a device's keys as reference-counted objects over the kernel registry,
// and the device property query of the framework.
#pragma once

#include <ntkernel.h>
#include <pc_unknown.h>

// Which key of a device PcNewRegistryKey opens.
enum PC_REGISTRY_KEY_TYPE : ULONG
{
    GeneralRegistryKey = 0,         // any key, named by ObjectAttributes
    DeviceRegistryKey = 1,          // the device's hardware key ("Device Parameters")
    DriverRegistryKey = 2,          // the device's software key
    HwProfileRegistryKey = 3,       // not served by the stand-in
    DeviceInterfaceRegistryKey = 4, // not served by the stand-in
};

// {C9A0D6E1-54B2-4C7E-9F3A-2B7D61E0A5C4}
inline constexpr GUID IID_IRegistryKey = {
    0xC9A0D6E1, 0x54B2, 0x4C7E, {0x9F, 0x3A, 0x2B, 0x7D, 0x61, 0xE0, 0xA5, 0xC4}};

// One open key. The key closes when the last reference goes. Calls run at PASSIVE_LEVEL.
struct IRegistryKey : IUnknown
{
    // As ZwQueryValueKey (KeyValuePartialInformation and its size protocol).
    virtual NTSTATUS QueryValueKey(PUNICODE_STRING ValueName,
                                   KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                   PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) = 0;
    // As ZwSetValueKey: the type and bytes are stored exactly.
    virtual NTSTATUS SetValueKey(PUNICODE_STRING ValueName, ULONG Type, PVOID Data, ULONG DataSize) = 0;
    // Opens the named sub-key, creating it when missing (Disposition optional: REG_CREATED_NEW_KEY or
    // REG_OPENED_EXISTING_KEY). OuterUnknown must be null.
    virtual NTSTATUS NewSubKey(IRegistryKey **SubKey, PUNKNOWN OuterUnknown, ACCESS_MASK DesiredAccess,
                               PUNICODE_STRING SubKeyName, ULONG CreateOptions, PULONG Disposition) = 0;

protected:
    ~IRegistryKey() = default;
};
typedef IRegistryKey *PREGISTRYKEY;

// Opens a key of the device (DriverRegistryKey, DeviceRegistryKey) or, for GeneralRegistryKey, the
// key ObjectAttributes names (opened or created). The key object comes from paged pool, so an
// injected allocation failure gives STATUS_INSUFFICIENT_RESOURCES. A device object that the
// platform does not know gives STATUS_INVALID_PARAMETER. OuterUnknown must be null.
NTSTATUS PcNewRegistryKey(PREGISTRYKEY *OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                          ACCESS_MASK DesiredAccess, PVOID DeviceObject, PVOID SubDevice,
                          POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions, PULONG Disposition);

// The device's property as the I/O manager reports it (DevicePropertyHardwareID: REG_MULTI_SZ);
// a buffer too small gives STATUS_BUFFER_TOO_SMALL with ResultLength the size needed.
NTSTATUS PcGetDeviceProperty(PVOID DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                             PVOID PropertyBuffer, PULONG ResultLength);
