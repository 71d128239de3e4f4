// Basic kernel types and status codes, as the driver sees them on the target.
// Sizes follow the host where the driver only passes values around; structures that cross a
// boundary (descriptors, registry bytes, files) are defined with fixed-width fields where used.
#pragma once

#include <cstddef>
#include <cstdint>

typedef int32_t NTSTATUS;
typedef uint8_t UCHAR, BOOLEAN, BYTE;
typedef uint16_t USHORT;
typedef char16_t WCHAR; // so u"..." literals are wide strings, as L"..." are on the target
typedef uint32_t ULONG, DWORD;
typedef int32_t LONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int16_t SHORT;
typedef char CHAR;
typedef void VOID, *PVOID;
typedef PVOID HANDLE, *PHANDLE;
typedef UCHAR *PUCHAR;
typedef USHORT *PUSHORT;
typedef ULONG *PULONG;
typedef LONG *PLONG;
typedef CHAR *PCHAR, *PSTR;
typedef const CHAR *PCSTR;
typedef WCHAR *PWCHAR, *PWSTR;
typedef const WCHAR *PCWSTR;
typedef uintptr_t ULONG_PTR, SIZE_T;
typedef intptr_t LONG_PTR;
typedef ULONG_PTR *PULONG_PTR;
typedef UCHAR KIRQL, *PKIRQL;
typedef LONG KPRIORITY;
typedef ULONG ACCESS_MASK;
typedef ULONG POOL_TYPE_VALUE;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

union LARGE_INTEGER
{
    struct
    {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
typedef LARGE_INTEGER *PLARGE_INTEGER;

struct GUID
{
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef const GUID &REFGUID;
typedef GUID IID;
typedef const GUID &REFIID;

inline bool operator==(const GUID &a, const GUID &b)
{
    const uint8_t *pa = reinterpret_cast<const uint8_t *>(&a);
    const uint8_t *pb = reinterpret_cast<const uint8_t *>(&b);
    for (size_t i = 0; i < sizeof(GUID); ++i)
        if (pa[i] != pb[i])
            return false;
    return true;
}

struct UNICODE_STRING
{
    USHORT Length;        // bytes, without terminator
    USHORT MaximumLength; // bytes
    PWSTR Buffer;
};
typedef UNICODE_STRING *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

struct ANSI_STRING
{
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
};
typedef ANSI_STRING *PANSI_STRING;

#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)
#define NT_ERROR(s) ((((ULONG)(s)) >> 30) == 3)
#define NT_WARNING(s) ((((ULONG)(s)) >> 30) == 2)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102)
#define STATUS_PENDING ((NTSTATUS)0x00000103)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000D)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000E)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010)
#define STATUS_END_OF_FILE ((NTSTATUS)0xC0000011)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009A)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009D)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BB)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120)
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225)
#define STATUS_NO_MATCH ((NTSTATUS)0xC0000272)
#define STATUS_POWER_STATE_INVALID ((NTSTATUS)0xC00002D3)
#define STATUS_IMPLEMENTATION_LIMIT ((NTSTATUS)0xC000042B)

enum POOL_TYPE : uint32_t
{
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolCacheAligned = 4,
};

// A pool tag holds its four characters in memory order, so MakePoolTag("PRIM") reads "PRIM" in
// a pool dump.
constexpr ULONG MakePoolTag(const char (&s)[5])
{
    return ULONG(uint8_t(s[0])) | ULONG(uint8_t(s[1])) << 8 | ULONG(uint8_t(s[2])) << 16 |
           ULONG(uint8_t(s[3])) << 24;
}

extern "C"
{
    PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag);
    PVOID ExAllocatePool(POOL_TYPE type, SIZE_T bytes);
    VOID ExFreePool(PVOID p);
    VOID ExFreePoolWithTag(PVOID p, ULONG tag);
    ULONG DbgPrint(PCSTR format, ...);
}
