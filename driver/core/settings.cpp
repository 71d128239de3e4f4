// The settings store over the port-class registry key of the device.
#include "driver/core/settings.h"

#include <pc_registry.h>

#include "driver/base/pool_memory.h"

namespace
{

// The value's partial-information header and data; the slack past the header lets a value a
// little longer than the caller's buffer come back whole, so that it is told apart from one that fits.
constexpr ULONG kQuerySlack = 16;

// Releases the key on every path out of the call, also when an exception unwinds through it.
class KeyReference
{
public:
    KeyReference() = default;
    KeyReference(const KeyReference &) = delete;
    KeyReference &operator=(const KeyReference &) = delete;
    ~KeyReference()
    {
        if (m_Key)
            m_Key->Release();
    }
    PREGISTRYKEY *Receive() { return &m_Key; }
    PREGISTRYKEY operator->() const { return m_Key; }
    PREGISTRYKEY Get() const { return m_Key; }

private:
    PREGISTRYKEY m_Key = nullptr;
};

class PoolBlock
{
public:
    PoolBlock(ULONG size, POOL_TYPE type, ULONG tag) : m_Block(AllocPoolZeroed(size, type, tag)) {}
    PoolBlock(const PoolBlock &) = delete;
    PoolBlock &operator=(const PoolBlock &) = delete;
    ~PoolBlock() { FreePool(m_Block); }
    PVOID Get() const { return m_Block; }

private:
    PVOID m_Block;
};

NTSTATUS OpenSubKey(PREGISTRYKEY parent, PCWSTR name, PREGISTRYKEY *sub)
{
    UNICODE_STRING keyName;
    RtlInitUnicodeString(&keyName, name);
    ULONG disposition = 0;
    return parent->NewSubKey(sub, nullptr, KEY_ALL_ACCESS, &keyName, REG_OPTION_NON_VOLATILE, &disposition);
}

} // namespace

NTSTATUS SettingsAccess(PDEVICE_OBJECT DeviceObject, ULONG Operation, PCWSTR SubKeyName, PCWSTR ValueName,
                        ULONG Type, PVOID Buffer, ULONG Size)
{
    PAGED_CODE();
    if (Type != REG_SZ && Type != REG_BINARY && Type != REG_DWORD)
        return STATUS_UNSUCCESSFUL;
    if ((Operation != SETTINGS_READ && Operation != SETTINGS_WRITE) || !ValueName || (!Buffer && Size) ||
        (Operation == SETTINGS_READ &&
         Size > 0xFFFFFFFFu - KEY_VALUE_PARTIAL_INFORMATION_HEADER - kQuerySlack))
        return STATUS_UNSUCCESSFUL;

    KeyReference driverKey;
    NTSTATUS status = PcNewRegistryKey(driverKey.Receive(), nullptr, DriverRegistryKey, KEY_ALL_ACCESS,
                                       DeviceObject, nullptr, nullptr, 0, nullptr);
    if (!NT_SUCCESS(status))
        return status;

    KeyReference settingsKey;
    status = OpenSubKey(driverKey.Get(), u"Settings", settingsKey.Receive());
    if (!NT_SUCCESS(status))
        return status;

    KeyReference subKey;
    PREGISTRYKEY target = settingsKey.Get();
    if (SubKeyName)
    {
        status = OpenSubKey(settingsKey.Get(), SubKeyName, subKey.Receive());
        if (!NT_SUCCESS(status))
            return status;
        target = subKey.Get();
    }

    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, ValueName);

    if (Operation == SETTINGS_WRITE)
        return target->SetValueKey(&valueName, Type, Buffer, Size);

    const ULONG infoSize = KEY_VALUE_PARTIAL_INFORMATION_HEADER + Size + kQuerySlack;
    PoolBlock info(infoSize, PagedPool, PoolTag::hlep);
    if (!info.Get())
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG resultLength = 0;
    status =
        target->QueryValueKey(&valueName, KeyValuePartialInformation, info.Get(), infoSize, &resultLength);
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL)
        return STATUS_UNSUCCESSFUL; // stored value longer than the caller's buffer
    if (!NT_SUCCESS(status))
        return status;
    const auto *partial = static_cast<const KEY_VALUE_PARTIAL_INFORMATION *>(info.Get());
    if (partial->DataLength > Size)
        return STATUS_UNSUCCESSFUL;
    RtlCopyMemory(Buffer, partial->Data, partial->DataLength);
    return STATUS_SUCCESS;
}

NTSTATUS SettingsValue(PDEVICE_OBJECT DeviceObject, ULONG Operation, PVOID Buffer, ULONG Size,
                       PCWSTR ValueName)
{
    return SettingsAccess(DeviceObject, Operation, nullptr, ValueName, REG_BINARY, Buffer, Size);
}

NTSTATUS SettingsIndexedValue(PDEVICE_OBJECT DeviceObject, ULONG Operation, PVOID Buffer, ULONG Size,
                              PCWSTR BaseName, LONG Index)
{
    if (!BaseName)
        return STATUS_UNSUCCESSFUL;
    WCHAR name[SETTINGS_NAME_CHARS];
    // A name that does not fit is cut: the formatter always terminates it.
    const NTSTATUS status = RtlStringCbPrintfW(name, sizeof(name), u"%s%d", BaseName, Index);
    if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW)
        return status;
    return SettingsValue(DeviceObject, Operation, Buffer, Size, name);
}
