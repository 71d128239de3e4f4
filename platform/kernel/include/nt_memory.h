// Memory descriptor lists for buffers shared with a user process, the event object type for user
// handles, and the structured-exception guard. Included through <ntkernel.h>.
//
// A user-mode mapping lands in the address map of the process the calling thread acts for (see
// <sim/user_sim.h>) and returns a 32-bit user address, as on the 32-bit target. Mapping for user mode
// raises an exception instead of returning null when it fails, as the platform does; the guard macros
// catch it: __try { ... } __except (EXCEPTION_EXECUTE_HANDLER) { status = GetExceptionCode(); }.
#pragma once

#include <nt_types.h>
#include <nt_object.h>

#define PAGE_SIZE 0x1000u
#define ROUND_TO_PAGES(size) (((ULONG_PTR)(size) + PAGE_SIZE - 1) & ~(ULONG_PTR)(PAGE_SIZE - 1))

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004

struct IRP;
struct MDL
{
    MDL *Next;
    SHORT Size;
    SHORT MdlFlags;
    PVOID Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
};
typedef MDL *PMDL;

enum MEMORY_CACHING_TYPE
{
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2
};
enum MM_PAGE_PRIORITY
{
    LowPagePriority = 0,
    NormalPagePriority = 16,
    HighPagePriority = 32
};

struct OBJECT_TYPE;
typedef OBJECT_TYPE *POBJECT_TYPE;
extern "C" POBJECT_TYPE *ExEventObjectType;

extern "C"
{
    // From pool (tag "Mdl "), so failure injection and the leak report reach it; null on failure.
    PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN chargeQuota,
                       IRP *irp);
    VOID MmBuildMdlForNonPagedPool(PMDL mdl);
    // UserMode: maps the MDL's pages into the current process and returns the user address; a
    // failure raises an exception (STATUS_INSUFFICIENT_RESOURCES unless injected otherwise).
    // KernelMode: the buffer's own address. PASSIVE_LEVEL or APC_LEVEL for user mode.
    PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE accessMode, MEMORY_CACHING_TYPE cacheType,
                                       PVOID requestedAddress, ULONG bugCheckOnFailure, ULONG priority);
    VOID MmUnmapLockedPages(PVOID baseAddress, PMDL mdl);
    // Freeing an MDL that is still mapped is a misuse.
    VOID IoFreeMdl(PMDL mdl);
}

// ---- Structured exceptions ---------------------------------------------------------------------
// What the stand-in raises where the platform raises a structured exception.
struct KERNEL_EXCEPTION
{
    NTSTATUS Code;
};
#define EXCEPTION_EXECUTE_HANDLER 1
#ifndef __try
#define __try try
#endif
// The formatter knows __except as a keyword and would split the macro.
// clang-format off
#define __except(filter) catch (const KERNEL_EXCEPTION &kernelException_)
// clang-format on
#define GetExceptionCode() (kernelException_.Code)
