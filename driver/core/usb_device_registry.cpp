// The device's entries in the Enum tree.
#include "driver/core/usb_device_registry.h"

#include "driver/core/usb_descriptor_reader.h"
#include "driver/base/usb_vendor_ids.h"
#include "driver/base/pool_memory.h"
#include "driver/base/wide_string.h"

namespace
{

constexpr WideText kValueSelectiveSuspend("SelectiveSuspendEnabled");
constexpr WideText kValueFriendlyName("FriendlyName");
constexpr WideText kValueMfg("Mfg");
constexpr WideText kDeviceParameters("Device Parameters");
constexpr WideText kEnumPath("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\%wZ\\%wZ");
constexpr WideText kOldEnumPath("\\Registry\\Machine\\Enum\\%wZ\\%wZ");
constexpr WideText kEnumSubPath("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\%wZ\\%wZ\\%ws");
constexpr WideText kOldEnumSubPath("\\Registry\\Machine\\Enum\\%wZ\\%wZ\\%ws");

// Names longer than this are written as an empty string.
constexpr ULONG kMaxNameChars = 49;

typedef VOID (*InstanceKeyVisitor)(HANDLE key, PVOID context);

// The name of the device's instance key (its last path component, as the registry reports it, not
// terminated). *block owns the memory.
NTSTATUS QueryInstanceName(PDEVICE_OBJECT physicalDevice, PVOID *block, UNICODE_STRING *name)
{
    *block = nullptr;
    *name = {};
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(
        physicalDevice, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status))
        return status;
    ULONG needed = 0;
    status = ZwQueryKey(key, KeyBasicInformation, nullptr, 0, &needed);
    PKEY_BASIC_INFORMATION info = nullptr;
    if (needed >= KEY_BASIC_INFORMATION_HEADER)
    {
        info = static_cast<PKEY_BASIC_INFORMATION>(AllocPoolZeroed(needed, PagedPool, PoolTag::USBd));
        status = info ? ZwQueryKey(key, KeyBasicInformation, info, needed, &needed)
                      : STATUS_INSUFFICIENT_RESOURCES;
    }
    else if (NT_SUCCESS(status))
    {
        status = STATUS_UNSUCCESSFUL;
    }
    ZwClose(key);
    if (NT_SUCCESS(status))
    {
        // The name is as long as NameLength says, inside what was returned, never terminated.
        ULONG bytes = info->NameLength;
        const ULONG room = needed - KEY_BASIC_INFORMATION_HEADER;
        if (bytes > room)
            bytes = room;
        if (bytes > UNICODE_STRING_MAX_BYTES)
            bytes = UNICODE_STRING_MAX_BYTES;
        bytes &= ~1u;
        if (bytes == 0)
            status = STATUS_UNSUCCESSFUL;
        name->Buffer = info->Name;
        name->Length = name->MaximumLength = USHORT(bytes);
    }
    if (!NT_SUCCESS(status))
    {
        FreePool(info);
        *name = {};
        return status;
    }
    *block = info;
    return STATUS_SUCCESS;
}

// The hardware identifiers as a REG_MULTI_SZ block, with one more zeroed character so that a
// block the registry left unterminated still ends. *chars counts the characters returned.
NTSTATUS QueryHardwareIds(PDEVICE_OBJECT physicalDevice, PWCHAR *ids, PULONG chars)
{
    *ids = nullptr;
    *chars = 0;
    ULONG needed = 0;
    NTSTATUS status = IoGetDeviceProperty(physicalDevice, DevicePropertyHardwareID, 0, nullptr, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL || needed < sizeof(WCHAR))
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    PWCHAR block = static_cast<PWCHAR>(AllocPoolZeroed(needed + sizeof(WCHAR), PagedPool, PoolTag::USBd));
    if (!block)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = IoGetDeviceProperty(physicalDevice, DevicePropertyHardwareID, needed, block, &needed);
    if (!NT_SUCCESS(status))
    {
        FreePool(block);
        return status;
    }
    *ids = block;
    *chars = needed / sizeof(WCHAR);
    return STATUS_SUCCESS;
}

// Calls visit for each instance key (or its sub-key `subKey`) that opens, in identifier order.
VOID ForEachInstanceKey(PDEVICE_OBJECT physicalDevice, PCWSTR subKey, ACCESS_MASK access,
                        InstanceKeyVisitor visit, PVOID context)
{
    PVOID nameBlock = nullptr;
    UNICODE_STRING instance;
    PWCHAR ids = nullptr;
    ULONG idChars = 0;
    PWCHAR path = nullptr;
    const ULONG pathBytes = (USB_REGISTRY_PATH_CHARS + 1) * sizeof(WCHAR);
    if (!NT_SUCCESS(QueryInstanceName(physicalDevice, &nameBlock, &instance)) ||
        !NT_SUCCESS(QueryHardwareIds(physicalDevice, &ids, &idChars)) ||
        !(path = static_cast<PWCHAR>(AllocPoolZeroed(pathBytes, PagedPool, PoolTag::USBd))))
    {
        FreePool(ids);
        FreePool(nameBlock);
        return;
    }
    ULONG at = 0;
    for (bool first = true; at < idChars && ids[at] != 0; first = false)
    {
        ULONG length = 0;
        while (at + length < idChars && ids[at + length] != 0)
            ++length;
        UNICODE_STRING id;
        id.Buffer = ids + at;
        ULONG cut = length;
        if (first)
            for (ULONG i = 0; i < length; ++i)
                if (ids[at + i] == u',')
                {
                    cut = i;
                    break;
                }
        at += length + 1;
        if (cut == 0 || cut * sizeof(WCHAR) > UNICODE_STRING_MAX_BYTES)
            continue;
        id.Length = id.MaximumLength = USHORT(cut * sizeof(WCHAR));

        UNICODE_STRING name;
        NTSTATUS status = subKey
                              ? FormatObjectName(&name, path, pathBytes, kEnumSubPath, &id, &instance, subKey)
                              : FormatObjectName(&name, path, pathBytes, kEnumPath, &id, &instance);
        if (status != STATUS_SUCCESS)
            continue; // does not fit the path buffer: another key's name could be the cut one
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                                   nullptr);
        HANDLE key = nullptr;
        status = ZwOpenKey(&key, access, &attributes);
        if (!NT_SUCCESS(status))
        {
            status = subKey
                         ? FormatObjectName(&name, path, pathBytes, kOldEnumSubPath, &id, &instance, subKey)
                         : FormatObjectName(&name, path, pathBytes, kOldEnumPath, &id, &instance);
            if (status != STATUS_SUCCESS)
                continue;
            InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                                       nullptr);
            status = ZwOpenKey(&key, access, &attributes);
        }
        if (!NT_SUCCESS(status))
            continue;
        visit(key, context);
        ZwClose(key);
    }
    FreePool(path);
    FreePool(ids);
    FreePool(nameBlock);
}

VOID ReadSelectiveSuspendValue(HANDLE key, PVOID context)
{
    // Room for the header and the caller's 4 bytes: a longer value does not fit and is skipped.
    union
    {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[KEY_VALUE_PARTIAL_INFORMATION_HEADER + sizeof(ULONG)];
    } answer = {};
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kValueSelectiveSuspend);
    ULONG length = 0;
    NTSTATUS status =
        ZwQueryValueKey(key, &name, KeyValuePartialInformation, &answer, sizeof(answer), &length);
    if (status == STATUS_SUCCESS && answer.info.DataLength <= sizeof(ULONG))
        RtlCopyMemory(context, answer.info.Data, answer.info.DataLength);
}

// A name ready to be written: at most kMaxNameChars characters and the terminator.
struct NameValue
{
    bool Present;
    ULONG Chars;
    WCHAR Text[kMaxNameChars + 1];
};

struct DeviceNames
{
    NameValue FriendlyName;
    NameValue Manufacturer;
};

VOID ReadName(PUSBLOWERREQUESTS lower, UCHAR index, ULONG tag, NameValue *value)
{
    *value = {};
    USB_STRING_TEXT text;
    if (!NT_SUCCESS(UsbReadString(lower, index, USB_LANGUAGE_ENGLISH_US, 256, 260, tag, PoolTag::URB, &text)))
        return;
    ULONG chars = text.Characters;
    while (chars > 0 && (text.Text[chars - 1] == u' ' || text.Text[chars - 1] == 0))
        --chars;
    value->Present = true;
    if (chars <= kMaxNameChars)
    {
        RtlCopyMemory(value->Text, text.Text, chars * sizeof(WCHAR));
        value->Chars = chars;
    }
    value->Text[value->Chars] = 0;
    UsbFreeString(&text);
}

VOID WriteNameValue(HANDLE key, PCWSTR valueName, const NameValue &value)
{
    if (!value.Present)
        return;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    ZwSetValueKey(key, &name, 0, REG_SZ, const_cast<PWCHAR>(value.Text), (value.Chars + 1) * sizeof(WCHAR));
}

VOID WriteNames(HANDLE key, PVOID context)
{
    const DeviceNames *names = static_cast<const DeviceNames *>(context);
    WriteNameValue(key, kValueFriendlyName, names->FriendlyName);
    WriteNameValue(key, kValueMfg, names->Manufacturer);
}

bool PublishesManufacturer(const USB_DEVICE_IDENTITY &identity)
{
    if (identity.ManufacturerIndex == 0)
        return false;
    if (identity.VendorId != SalvineVendorId)
        return true;
    return identity.ProductId == 0x0067 || identity.ProductId == 0x0068 || identity.ProductId == 0x0161;
}

} // namespace

VOID UsbReadSelectiveSuspend(PDEVICE_OBJECT physicalDevice, PULONG value)
{
    PAGED_CODE();
    ForEachInstanceKey(physicalDevice, kDeviceParameters, KEY_READ, ReadSelectiveSuspendValue, value);
}

VOID UsbWriteDeviceNames(PUSBLOWERREQUESTS lower, PDEVICE_OBJECT physicalDevice,
                         const USB_DEVICE_IDENTITY &identity)
{
    PAGED_CODE();
    DeviceNames *names =
        static_cast<DeviceNames *>(AllocPoolZeroed(sizeof(DeviceNames), PagedPool, PoolTag::USBd));
    if (!names)
        return;
    if (identity.ProductIndex != 0)
        ReadName(lower, identity.ProductIndex, PoolTag::USBd, &names->FriendlyName);
    if (PublishesManufacturer(identity))
        ReadName(lower, identity.ManufacturerIndex, PoolTag::str, &names->Manufacturer);
    if (names->FriendlyName.Present || names->Manufacturer.Present)
        ForEachInstanceKey(physicalDevice, nullptr, KEY_WRITE, WriteNames, names);
    FreePool(names);
}
