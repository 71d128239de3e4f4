// Registry access as the driver sees it: the Zw key functions over the stand-in's in-memory tree.
// Names are case-insensitive; absolute paths start with "\Registry\" (for example
// "\Registry\Machine\SYSTEM\CurrentControlSet\Enum\..."), relative ones name a key below
// OBJECT_ATTRIBUTES.RootDirectory.
// Values keep their type and exact bytes. All functions run at PASSIVE_LEVEL.
#pragma once

#include <nt_types.h>
#include <nt_object.h>

// Value types
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

// Key access rights; the generic rights map onto them when a key is opened.
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_READ 0x00020019
#define KEY_WRITE 0x00020006
#define KEY_ALL_ACCESS 0x000F003F

// ZwCreateKey options and dispositions
#define REG_OPTION_NON_VOLATILE 0x00000000
#define REG_OPTION_VOLATILE 0x00000001
#define REG_CREATED_NEW_KEY 0x00000001
#define REG_OPENED_EXISTING_KEY 0x00000002

enum KEY_VALUE_INFORMATION_CLASS : uint32_t
{
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
};

// Header of 12 bytes, then DataLength bytes of data.
struct KEY_VALUE_PARTIAL_INFORMATION
{
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
};
typedef KEY_VALUE_PARTIAL_INFORMATION *PKEY_VALUE_PARTIAL_INFORMATION;
#define KEY_VALUE_PARTIAL_INFORMATION_HEADER ((ULONG)offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data))

enum KEY_INFORMATION_CLASS : uint32_t
{
    KeyBasicInformation = 0,
    KeyNodeInformation = 1,
    KeyFullInformation = 2,
};

// Fixed part of 16 bytes, then the key's own name (its last path component), NameLength bytes,
// not terminated.
struct KEY_BASIC_INFORMATION
{
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG NameLength;
    WCHAR Name[1];
};
typedef KEY_BASIC_INFORMATION *PKEY_BASIC_INFORMATION;
#define KEY_BASIC_INFORMATION_HEADER ((ULONG)offsetof(KEY_BASIC_INFORMATION, Name))

// Device registry keys and properties (Io functions of the I/O manager answer from the Enum tree).
#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

enum DEVICE_REGISTRY_PROPERTY : uint32_t
{
    DevicePropertyDeviceDescription = 0,
    DevicePropertyHardwareID = 1,
    DevicePropertyCompatibleIDs = 2,
    DevicePropertyDriverKeyName = 10,
};

extern "C"
{
    // Opens an existing key. Missing key: STATUS_OBJECT_NAME_NOT_FOUND.
    NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
    // Opens the key or creates its last component; a missing parent is STATUS_OBJECT_NAME_NOT_FOUND.
    // Disposition (optional) receives REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
    NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                         ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
    // KeyValuePartialInformation only. Size protocol: Length below the 12-byte header gives
    // STATUS_BUFFER_TOO_SMALL and writes nothing; a header that fits without the data gives
    // STATUS_BUFFER_OVERFLOW with the header filled; ResultLength is always the size needed.
    NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                             KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                             ULONG Length, PULONG ResultLength);
    // Stores Type and DataSize bytes of Data exactly (Data may be null when DataSize is 0).
    NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                           PVOID Data, ULONG DataSize);
    // KeyBasicInformation only, with the size protocol of ZwQueryValueKey over its 16-byte fixed part.
    NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                        ULONG Length, PULONG ResultLength);
}
