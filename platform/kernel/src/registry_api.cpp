// The Zw key functions over the registry tree.
#include "registry_tree.h"

#include <cstring>

using namespace sim::registry::detail;

namespace
{

std::u16string_view View(const UNICODE_STRING *s)
{
    if (!s || !s->Buffer)
        return {};
    return {reinterpret_cast<const char16_t *>(s->Buffer), size_t(s->Length / sizeof(WCHAR))};
}

bool ValidString(const UNICODE_STRING *s)
{
    return !s || (s->Length % sizeof(WCHAR) == 0 && (s->Buffer || s->Length == 0));
}

NTSTATUS OpenOrCreate(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, bool create,
                      PULONG disposition)
{
    if (!handle || !attributes || !ValidString(attributes->ObjectName))
        return STATUS_INVALID_PARAMETER;
    *handle = nullptr;

    KeyPtr base;
    ACCESS_MASK baseAccess = 0;
    if (attributes->RootDirectory)
    {
        const NTSTATUS status = ReferenceKey(attributes->RootDirectory, base, baseAccess);
        if (!NT_SUCCESS(status))
            return status;
    }

    KeyPtr key;
    bool created = false;
    {
        std::lock_guard guard(Lock());
        NTSTATUS status = Walk(base, View(attributes->ObjectName), false, key);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND && create)
        {
            // Creating below an open key needs the right to; opening an existing one does not.
            if (base && !(baseAccess & KEY_CREATE_SUB_KEY))
                return STATUS_ACCESS_DENIED;
            status = Walk(base, View(attributes->ObjectName), true, key, &created);
        }
        if (!NT_SUCCESS(status))
            return status;
    }
    *handle = InsertKeyHandle(key, access);
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return STATUS_SUCCESS;
}

// The key behind a handle opened with the right `needed`.
NTSTATUS ReferenceKeyFor(HANDLE handle, ACCESS_MASK needed, KeyPtr &key)
{
    ACCESS_MASK access = 0;
    const NTSTATUS status = ReferenceKey(handle, key, access);
    if (NT_SUCCESS(status) && !(access & needed))
        return STATUS_ACCESS_DENIED;
    return status;
}

// Fills a variable-size answer: a fixed part of `header` bytes followed by `tail`. Too small for
// the fixed part: STATUS_BUFFER_TOO_SMALL, nothing written; fixed part only: STATUS_BUFFER_OVERFLOW.
NTSTATUS SizedAnswer(const void *fixed, ULONG header, const void *tail, ULONG tailBytes, PVOID buffer,
                     ULONG length, PULONG resultLength)
{
    const ULONG needed = header + tailBytes;
    *resultLength = needed;
    if (length < header)
        return STATUS_BUFFER_TOO_SMALL;
    if (!buffer)
        return STATUS_INVALID_PARAMETER;
    std::memcpy(buffer, fixed, header);
    if (length < needed)
        return STATUS_BUFFER_OVERFLOW;
    if (tailBytes)
        std::memcpy(static_cast<uint8_t *>(buffer) + header, tail, tailBytes);
    return STATUS_SUCCESS;
}

} // namespace

extern "C" NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes)
{
    sim::AssertPassiveLevel("ZwOpenKey");
    return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, false, nullptr);
}

extern "C" NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                POBJECT_ATTRIBUTES ObjectAttributes, ULONG, PUNICODE_STRING,
                                ULONG CreateOptions, PULONG Disposition)
{
    sim::AssertPassiveLevel("ZwCreateKey");
    if (CreateOptions & ~ULONG(REG_OPTION_VOLATILE))
        return STATUS_INVALID_PARAMETER;
    return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, true, Disposition);
}

extern "C" NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                    KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                    PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    sim::AssertPassiveLevel("ZwQueryValueKey");
    if (!ResultLength || !ValidString(ValueName) || KeyValueInformationClass != KeyValuePartialInformation)
        return STATUS_INVALID_PARAMETER;
    KeyPtr key;
    const NTSTATUS status = ReferenceKeyFor(KeyHandle, KEY_QUERY_VALUE, key);
    if (!NT_SUCCESS(status))
        return status;

    std::lock_guard guard(Lock());
    const ValueEntry *value = key->FindValue(View(ValueName));
    if (!value)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    KEY_VALUE_PARTIAL_INFORMATION header{};
    header.TitleIndex = 0;
    header.Type = value->type;
    header.DataLength = ULONG(value->data.size());
    return SizedAnswer(&header, KEY_VALUE_PARTIAL_INFORMATION_HEADER, value->data.data(), header.DataLength,
                       KeyValueInformation, Length, ResultLength);
}

extern "C" NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data,
                                  ULONG DataSize)
{
    sim::AssertPassiveLevel("ZwSetValueKey");
    if (!ValidString(ValueName) || (!Data && DataSize))
        return STATUS_INVALID_PARAMETER;
    KeyPtr key;
    const NTSTATUS status = ReferenceKeyFor(KeyHandle, KEY_SET_VALUE, key);
    if (!NT_SUCCESS(status))
        return status;

    const auto *bytes = static_cast<const uint8_t *>(Data);
    std::lock_guard guard(Lock());
    key->SetValue(View(ValueName), Type, std::vector<uint8_t>(bytes, bytes + DataSize));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                               PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    sim::AssertPassiveLevel("ZwQueryKey");
    if (!ResultLength || KeyInformationClass != KeyBasicInformation)
        return STATUS_INVALID_PARAMETER;
    KeyPtr key;
    const NTSTATUS status = ReferenceKeyFor(KeyHandle, KEY_QUERY_VALUE, key);
    if (!NT_SUCCESS(status))
        return status;

    std::lock_guard guard(Lock());
    KEY_BASIC_INFORMATION header{};
    header.NameLength = ULONG(key->name.size() * sizeof(WCHAR));
    return SizedAnswer(&header, KEY_BASIC_INFORMATION_HEADER, key->name.data(), header.NameLength,
                       KeyInformation, Length, ResultLength);
}
