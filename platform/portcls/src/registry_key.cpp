// Port-class registry key objects over kernel key handles.
#include "port_core.h"

#include <pc_registry.h>
#include <sim/io_sim.h>
#include <sim/registry_sim.h>

#include <atomic>
#include <new>
#include <optional>

namespace
{

constexpr ULONG kKeyObjectTag = MakePoolTag("PcRk");

class CRegistryKey final : public IRegistryKey
{
public:
    explicit CRegistryKey(HANDLE key) : m_Key(key) {}

    // Takes ownership of `key`: on failure the handle is closed.
    static NTSTATUS Create(HANDLE key, PREGISTRYKEY *out)
    {
        void *memory = ExAllocatePoolWithTag(PagedPool, sizeof(CRegistryKey), kKeyObjectTag);
        if (!memory)
        {
            ZwClose(key);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        *out = new (memory) CRegistryKey(key);
        return STATUS_SUCCESS;
    }

    NTSTATUS QueryInterface(REFIID iid, PVOID *object) override
    {
        if (!object)
            return STATUS_INVALID_PARAMETER;
        if (iid == IID_IUnknown || iid == IID_IRegistryKey)
        {
            AddRef();
            *object = static_cast<IRegistryKey *>(this);
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }

    ULONG AddRef() override { return ++m_References; }

    ULONG Release() override
    {
        const ULONG left = --m_References;
        if (left == 0)
        {
            ZwClose(m_Key);
            this->~CRegistryKey();
            ExFreePoolWithTag(this, kKeyObjectTag);
        }
        return left;
    }

    NTSTATUS QueryValueKey(PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                           PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) override
    {
        return ZwQueryValueKey(m_Key, ValueName, KeyValueInformationClass, KeyValueInformation, Length,
                               ResultLength);
    }

    NTSTATUS SetValueKey(PUNICODE_STRING ValueName, ULONG Type, PVOID Data, ULONG DataSize) override
    {
        return ZwSetValueKey(m_Key, ValueName, 0, Type, Data, DataSize);
    }

    NTSTATUS NewSubKey(IRegistryKey **SubKey, PUNKNOWN OuterUnknown, ACCESS_MASK DesiredAccess,
                       PUNICODE_STRING SubKeyName, ULONG CreateOptions, PULONG Disposition) override
    {
        if (!SubKey)
            return STATUS_INVALID_PARAMETER;
        *SubKey = nullptr;
        if (OuterUnknown || !SubKeyName)
            return STATUS_INVALID_PARAMETER;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, SubKeyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, m_Key,
                                   nullptr);
        HANDLE sub = nullptr;
        const NTSTATUS status =
            ZwCreateKey(&sub, DesiredAccess, &attributes, 0, nullptr, CreateOptions, Disposition);
        if (!NT_SUCCESS(status))
            return status;
        return Create(sub, SubKey);
    }

private:
    ~CRegistryKey() = default;

    HANDLE m_Key;
    std::atomic<ULONG> m_References{1};
};

// The instance of a device object: the driver passes its functional device, whose keys and properties
// are those of the physical device at the bottom of its stack.
std::optional<sim::registry::DeviceInstance> FindStackDevice(PVOID deviceObject)
{
    if (!deviceObject)
        return std::nullopt;
    if (auto device = sim::registry::FindDevice(deviceObject))
        return device;
    if (!sim::io::IsLiveDevice(static_cast<PDEVICE_OBJECT>(deviceObject)))
        return std::nullopt;
    return sim::registry::FindDevice(pcsim::PhysicalDevice(static_cast<PDEVICE_OBJECT>(deviceObject)));
}

} // namespace

NTSTATUS PcNewRegistryKey(PREGISTRYKEY *OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                          ACCESS_MASK DesiredAccess, PVOID DeviceObject, PVOID,
                          POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions, PULONG Disposition)
{
    if (!OutRegistryKey)
        return STATUS_INVALID_PARAMETER;
    *OutRegistryKey = nullptr;
    if (OuterUnknown)
        return STATUS_INVALID_PARAMETER;

    HANDLE key = nullptr;
    NTSTATUS status;
    switch (RegistryKeyType)
    {
    case GeneralRegistryKey:
        if (!ObjectAttributes)
            return STATUS_INVALID_PARAMETER;
        status = ZwCreateKey(&key, DesiredAccess, ObjectAttributes, 0, nullptr, CreateOptions, Disposition);
        break;
    case DeviceRegistryKey:
    case DriverRegistryKey:
    {
        const auto device = FindStackDevice(DeviceObject);
        if (!device)
            return STATUS_INVALID_PARAMETER;
        status = sim::registry::OpenDeviceKey(
            *device, RegistryKeyType == DriverRegistryKey ? PLUGPLAY_REGKEY_DRIVER : PLUGPLAY_REGKEY_DEVICE,
            DesiredAccess, &key);
        if (Disposition && NT_SUCCESS(status))
            *Disposition = REG_OPENED_EXISTING_KEY;
        break;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
    if (!NT_SUCCESS(status))
        return status;
    return CRegistryKey::Create(key, OutRegistryKey);
}

NTSTATUS PcGetDeviceProperty(PVOID DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                             PVOID PropertyBuffer, PULONG ResultLength)
{
    const auto device = FindStackDevice(DeviceObject);
    if (!device || !ResultLength)
        return STATUS_INVALID_PARAMETER;
    return sim::registry::QueryDeviceProperty(*device, DeviceProperty, BufferLength, PropertyBuffer,
                                              ResultLength);
}
