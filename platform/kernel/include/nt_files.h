// File access as the driver sees it: ZwCreateFile/ZwReadFile over a read-only sandbox folder that
// stands for "\SystemRoot\" (the test fixture gives each test its own). Names compare without case,
// as on the target's file system. Handles close with ZwClose. All functions run at PASSIVE_LEVEL.
#pragma once

#include <nt_types.h>
#include <nt_object.h>

#define GENERIC_EXECUTE 0x20000000u
#define FILE_READ_DATA 0x0001
#define SYNCHRONIZE 0x00100000u

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define FILE_ATTRIBUTE_NORMAL 0x00000080

// Create dispositions
#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_OVERWRITE 0x00000004
#define FILE_OVERWRITE_IF 0x00000005

// Create options
#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_SYNCHRONOUS_IO_ALERT 0x00000010
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040

// IO_STATUS_BLOCK.Information after a successful open
#define FILE_OPENED 0x00000001

struct IO_STATUS_BLOCK
{
    union
    {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};
typedef IO_STATUS_BLOCK *PIO_STATUS_BLOCK;

typedef VOID (*PIO_APC_ROUTINE)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);

extern "C"
{
    // Opens an existing file for reading: "\SystemRoot\<name>" (sub-folders with "\"). Only FILE_OPEN
    // and read access are served: other dispositions or write access give STATUS_ACCESS_DENIED; a name
    // outside "\SystemRoot\" is STATUS_OBJECT_PATH_NOT_FOUND, a missing file
    // STATUS_OBJECT_NAME_NOT_FOUND, a folder STATUS_FILE_IS_A_DIRECTORY.
    NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                          PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                          ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                          ULONG EaLength);
    // Synchronous read of up to Length bytes at ByteOffset (null: the file's current position, which
    // every read advances). Information is the count read; at or past the end STATUS_END_OF_FILE with
    // Information 0. Event, ApcRoutine and Key are not supported (must be null).
    NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                        PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                        PULONG Key);
}
