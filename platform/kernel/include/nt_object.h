// Object attributes and the handle-closing entry shared by every kernel object family.
#pragma once

#include <nt_types.h>

#define OBJ_INHERIT 0x00000002
#define OBJ_PERMANENT 0x00000010
#define OBJ_CASE_INSENSITIVE 0x00000040
#define OBJ_KERNEL_HANDLE 0x00000200

struct OBJECT_ATTRIBUTES
{
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};
typedef OBJECT_ATTRIBUTES *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s)                                                            \
    do                                                                                                       \
    {                                                                                                        \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);                                                             \
        (p)->RootDirectory = (r);                                                                            \
        (p)->Attributes = (a);                                                                               \
        (p)->ObjectName = (n);                                                                               \
        (p)->SecurityDescriptor = (s);                                                                       \
        (p)->SecurityQualityOfService = nullptr;                                                             \
    } while (0)

#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003A)
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003B)
#define STATUS_FILE_IS_A_DIRECTORY ((NTSTATUS)0xC00000BA)

typedef ULONG ACCESS_MASK;
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_ALL 0x10000000u
#define EVENT_MODIFY_STATE 0x0002u
#define THREAD_ALL_ACCESS 0x001FFFFFu

enum KPROCESSOR_MODE : uint8_t
{
    KernelMode = 0,
    UserMode = 1
};

extern "C" NTSTATUS ZwClose(HANDLE h);
