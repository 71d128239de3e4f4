// The kernel as the driver sees it: Windows names and semantics over our stand-in.
// Test and host control (clock, injection, logs) is in <sim/kernel_sim.h>, never used by the driver.
#pragma once

#include <cstdarg>
#include <cstring>

#include <nt_types.h>
#include <nt_object.h>

// ---- IRQL ----------------------------------------------------------------------------------------
// Each thread has its own IRQL. The stand-in reports a misuse (and the test fails) for: a wait or
// delay with a non-zero timeout at DISPATCH_LEVEL, paged pool at DISPATCH_LEVEL, a mutex taken at
// DISPATCH_LEVEL, a spin lock acquired again by its holder, and calls that need PASSIVE_LEVEL.
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

extern "C"
{
    KIRQL KeGetCurrentIrql();
    VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
    VOID KeLowerIrql(KIRQL newIrql);
    KIRQL KeRaiseIrqlToDpcLevel();
}
// Code that may block or touch paged memory states it; the stand-in checks it.
#define PAGED_CODE() sim_AssertIrqlBelow(DISPATCH_LEVEL, __func__)
extern "C" VOID sim_AssertIrqlBelow(KIRQL limit, PCSTR where);

// ---- Memory helpers ------------------------------------------------------------------------------
#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) memmove((d), (s), (n))
#define RtlFillMemory(d, n, v) memset((d), (v), (n))
extern "C" SIZE_T RtlCompareMemory(const VOID *a, const VOID *b, SIZE_T length);

// ---- Doubly linked lists -------------------------------------------------------------------------
struct LIST_ENTRY
{
    LIST_ENTRY *Flink;
    LIST_ENTRY *Blink;
};
typedef LIST_ENTRY *PLIST_ENTRY;

#define FAST_FAIL_CORRUPT_LIST_ENTRY 3
// Ends the process at once with a code of its own, as the kernel does on list corruption.
extern "C" [[noreturn]] VOID RtlFailFast(ULONG code);

inline VOID InitializeListHead(PLIST_ENTRY head)
{
    head->Flink = head->Blink = head;
}
inline BOOLEAN IsListEmpty(const LIST_ENTRY *head)
{
    return head->Flink == head;
}
inline VOID RtlpCheckListEntry(PLIST_ENTRY e)
{
    if (e->Flink->Blink != e || e->Blink->Flink != e)
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
}
inline BOOLEAN RemoveEntryList(PLIST_ENTRY e)
{
    RtlpCheckListEntry(e);
    PLIST_ENTRY f = e->Flink, b = e->Blink;
    b->Flink = f;
    f->Blink = b;
    return f == b;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head)
{
    PLIST_ENTRY e = head->Flink;
    RemoveEntryList(e);
    return e;
}
inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head)
{
    PLIST_ENTRY e = head->Blink;
    RemoveEntryList(e);
    return e;
}
inline VOID InsertTailList(PLIST_ENTRY head, PLIST_ENTRY e)
{
    RtlpCheckListEntry(head);
    PLIST_ENTRY b = head->Blink;
    e->Flink = head;
    e->Blink = b;
    b->Flink = e;
    head->Blink = e;
}
inline VOID InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY e)
{
    RtlpCheckListEntry(head);
    PLIST_ENTRY f = head->Flink;
    e->Flink = f;
    e->Blink = head;
    f->Blink = e;
    head->Flink = e;
}
#define CONTAINING_RECORD(address, type, field) ((type *)((PCHAR)(address)-offsetof(type, field)))

// ---- Interlocked ---------------------------------------------------------------------------------
inline LONG InterlockedIncrement(volatile LONG *p)
{
    return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(volatile LONG *p)
{
    return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(volatile LONG *p, LONG v)
{
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(volatile LONG *p, LONG v)
{
    return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(volatile LONG *p, LONG exchange, LONG comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile *p, PVOID v)
{
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile *p, PVOID exchange, PVOID comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

// ---- Dispatcher objects and waits ----------------------------------------------------------------
struct DISPATCHER_HEADER
{
    UCHAR Type;       // one of the SimObjectType values below
    LONG SignalState; // > 0 signalled
};
enum : UCHAR
{
    SimNotificationEvent = 1,
    SimSynchronizationEvent,
    SimMutex,
    SimNotificationTimer,
    SimSynchronizationTimer,
    SimThread
};

enum EVENT_TYPE
{
    NotificationEvent = 0,
    SynchronizationEvent = 1
};
enum TIMER_TYPE
{
    NotificationTimer = 0,
    SynchronizationTimer = 1
};
enum KWAIT_REASON
{
    Executive = 0,
    Suspended = 5,
    UserRequest = 6
};
enum WAIT_TYPE
{
    WaitAll = 0,
    WaitAny = 1
};

struct KEVENT
{
    DISPATCHER_HEADER Header;
};
typedef KEVENT *PKEVENT, *PRKEVENT;

struct KMUTEX
{
    DISPATCHER_HEADER Header;
    PVOID OwnerThread; // host thread identity of the owner, null when free
    LONG Recursion;
};
typedef KMUTEX *PKMUTEX, *PRKMUTEX;

struct KDPC;
typedef VOID (*PKDEFERRED_ROUTINE)(KDPC *dpc, PVOID context, PVOID arg1, PVOID arg2);
struct KDPC
{
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    BOOLEAN Queued;
};
typedef KDPC *PKDPC, *PRKDPC;

// A notification timer stays signalled after it expires until it is set again, even when periodic;
// a synchronization timer satisfies one wait per expiry.
struct KTIMER
{
    DISPATCHER_HEADER Header;
    LONGLONG DueTime; // interrupt time (100 ns since boot) when inserted
    LONG Period;      // ms, 0 for one-shot
    PKDPC Dpc;
    BOOLEAN Inserted;
    LONGLONG SpinAt; // stand-in diagnostics: waits it satisfied at once at one instant
    ULONG SpinWaits;
};
typedef KTIMER *PKTIMER;

struct KWAIT_BLOCK
{
    PVOID Reserved;
};
typedef KWAIT_BLOCK *PKWAIT_BLOCK;
#define MAXIMUM_WAIT_OBJECTS 64
#define THREAD_WAIT_OBJECTS 3

// Events: a notification event stays signalled until cleared; a synchronization event satisfies one
// wait and resets. KeSetEvent is callable up to DISPATCH_LEVEL and returns the previous state.
// Mutexes: recursive for their owner, released as often as acquired, only below DISPATCH_LEVEL; a
// release by another thread, or a thread that ends owning one, is a misuse.
extern "C"
{
    VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
    LONG KeSetEvent(PRKEVENT event, LONG increment, BOOLEAN wait);
    VOID KeClearEvent(PRKEVENT event);
    LONG KeResetEvent(PRKEVENT event);
    LONG KeReadStateEvent(PRKEVENT event);

    VOID KeInitializeMutex(PRKMUTEX mutex, ULONG level);
    LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait);
    LONG KeReadStateMutex(PRKMUTEX mutex);

    // timeout: null waits forever; negative is relative in 100 ns; positive is absolute system time;
    // zero polls and returns STATUS_TIMEOUT when not signalled (legal at DISPATCH_LEVEL). Objects: events,
    // mutexes, timers and thread objects. The result is STATUS_WAIT_0 + the lowest signalled index.
    // KeWaitForMultipleObjects takes up to MAXIMUM_WAIT_OBJECTS with caller wait blocks beyond three;
    // only WaitAny is modelled.
    NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                                   PLARGE_INTEGER timeout);
    NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE type, KWAIT_REASON reason,
                                      KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER timeout,
                                      PKWAIT_BLOCK waitBlocks);
    NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval);
}
#define KeWaitForMutexObject KeWaitForSingleObject

// ---- Spin locks ----------------------------------------------------------------------------------
// KeAcquireSpinLock and KeAcquireInStackQueuedSpinLock raise to DISPATCH_LEVEL and give back the old
// IRQL; the ...AtDpcLevel forms require DISPATCH_LEVEL already. Not recursive.
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK *PKSPIN_LOCK;
struct KLOCK_QUEUE_HANDLE
{
    PKSPIN_LOCK Lock;
    KIRQL OldIrql;
};
typedef KLOCK_QUEUE_HANDLE *PKLOCK_QUEUE_HANDLE;

extern "C"
{
    VOID KeInitializeSpinLock(PKSPIN_LOCK lock);
    VOID KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql);
    VOID KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql);
    VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock);
    VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock);
    VOID KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock);
    VOID KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock);
    VOID KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle);
    VOID KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE handle);
    VOID KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle);
    VOID KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE handle);
}

// ---- Timers, DPCs, time --------------------------------------------------------------------------
// All on one clock (see sim::Now). Due times follow the wait timeout rules (negative relative,
// positive absolute system time); periods are in ms. KeSetTimer(Ex) and KeCancelTimer return whether
// the timer was set before. A timer's DPC, and every queued DPC, runs at DISPATCH_LEVEL on the
// stand-in's DPC thread, one at a time in queue order.
extern "C"
{
    VOID KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context);
    BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID arg1, PVOID arg2);
    BOOLEAN KeRemoveQueueDpc(PRKDPC dpc);
    VOID KeInitializeTimer(PKTIMER timer);
    VOID KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type);
    BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc);
    BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG periodMs, PKDPC dpc);
    BOOLEAN KeCancelTimer(PKTIMER timer);
    BOOLEAN KeReadStateTimer(PKTIMER timer);
    VOID KeQuerySystemTime(PLARGE_INTEGER time);
    ULONGLONG KeQueryInterruptTime();
    ULONG ExSetTimerResolution(ULONG desiredTime, BOOLEAN setResolution);
}

// ---- Threads -------------------------------------------------------------------------------------
// A system thread is a host thread starting at PASSIVE_LEVEL. Its object is waitable, signalled when
// the routine returns or PsTerminateSystemThread is called, and lives while a handle or a reference
// holds it. PsTerminateSystemThread does not return: it unwinds the routine's stack (running its
// destructors) to the thread's end, so it must not be called under a catch-all handler.
struct KTHREAD;
typedef KTHREAD *PKTHREAD, *PETHREAD, *PRKTHREAD;
typedef VOID (*PKSTART_ROUTINE)(PVOID context);
struct OBJECT_TYPE;
typedef OBJECT_TYPE *POBJECT_TYPE;
extern "C" POBJECT_TYPE *PsThreadType;
struct OBJECT_HANDLE_INFORMATION;
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31

extern "C"
{
    NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess, POBJECT_ATTRIBUTES attributes,
                                  HANDLE processHandle, PVOID clientId, PKSTART_ROUTINE routine,
                                  PVOID context);
    [[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus);
    PKTHREAD KeGetCurrentThread();
    KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority);
    NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK access, POBJECT_TYPE type,
                                       KPROCESSOR_MODE mode, PVOID *object, OBJECT_HANDLE_INFORMATION *info);
    VOID ObfReferenceObject(PVOID object);
    VOID ObfDereferenceObject(PVOID object);
    VOID ObMakeTemporaryObject(PVOID object);
}
#define ObReferenceObject ObfReferenceObject
#define ObDereferenceObject ObfDereferenceObject

// ---- Work items ----------------------------------------------------------------------------------
// Queued items run one at a time at PASSIVE_LEVEL on the stand-in's worker thread. Allocation comes
// from pool (tag "IoWk") and may fail; an item is queued at most once at a time and freed only when
// not queued.
struct DEVICE_OBJECT;
typedef DEVICE_OBJECT *PDEVICE_OBJECT;
struct IO_WORKITEM;
typedef IO_WORKITEM *PIO_WORKITEM;
typedef VOID (*PIO_WORKITEM_ROUTINE)(PDEVICE_OBJECT deviceObject, PVOID context);
enum WORK_QUEUE_TYPE
{
    CriticalWorkQueue = 0,
    DelayedWorkQueue = 1,
    HyperCriticalWorkQueue = 2
};
extern "C"
{
    PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT deviceObject);
    VOID IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queue,
                         PVOID context);
    VOID IoFreeWorkItem(PIO_WORKITEM item);
}

// ---- Callback objects ----------------------------------------------------------------------------
// Names are case-insensitive: creating an existing name opens it (one more reference). Notification
// is synchronous, in the caller's thread and IRQL, to every registration in registration order.
// Unregistering waits for deliveries in progress on other threads. An object goes when its last
// reference goes, unless created OBJ_PERMANENT (then ObMakeTemporaryObject first).
struct CALLBACK_OBJECT;
typedef CALLBACK_OBJECT *PCALLBACK_OBJECT;
typedef VOID (*PCALLBACK_FUNCTION)(PVOID context, PVOID argument1, PVOID argument2);
extern "C"
{
    NTSTATUS ExCreateCallback(PCALLBACK_OBJECT *callbackObject, POBJECT_ATTRIBUTES attributes, BOOLEAN create,
                              BOOLEAN allowMultipleCallbacks);
    PVOID ExRegisterCallback(PCALLBACK_OBJECT callbackObject, PCALLBACK_FUNCTION function, PVOID context);
    VOID ExUnregisterCallback(PVOID registration);
    VOID ExNotifyCallback(PVOID callbackObject, PVOID argument1, PVOID argument2);
}

// ---- Lookaside lists ------------------------------------------------------------------------------
// Non-paged lookaside lists of fixed-size entries. Every entry comes from (and goes back to) the pool
// with the list's tag, so pool failure injection and the leak report reach them; callable up to
// DISPATCH_LEVEL. Deleting a list with entries still out, freeing to a list an entry it did not give,
// or using a list that is not initialised is a misuse; a list never deleted is reported at the end of
// a test. The caller owns the list's memory.
struct NPAGED_LOOKASIDE_LIST
{
    SIZE_T Size;
    ULONG Tag;
    POOL_TYPE Type;
    ULONG Magic;      // set while initialised
    LONG Outstanding; // entries handed out and not yet freed
};
typedef NPAGED_LOOKASIDE_LIST *PNPAGED_LOOKASIDE_LIST;
typedef PVOID (*PALLOCATE_FUNCTION)(POOL_TYPE type, SIZE_T bytes, ULONG tag);
typedef VOID (*PFREE_FUNCTION)(PVOID buffer);
extern "C"
{
    // allocate and free must be null (the pool serves the entries); flags and depth are ignored.
    VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PALLOCATE_FUNCTION allocate,
                                         PFREE_FUNCTION free, ULONG flags, SIZE_T size, ULONG tag,
                                         USHORT depth);
    VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list);
    PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list); // null when the pool is empty
    VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PVOID entry);

    // The performance counter runs on the stand-in's one clock: 10 MHz, the interrupt time.
    LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER frequency);
}

// ---- Floating point ------------------------------------------------------------------------------
// Saves and restores the x87 control word and MXCSR; callable up to DISPATCH_LEVEL; the save can be
// made to fail (sim::FailFloatingPointSave), after which no restore is due.
struct KFLOATING_SAVE
{
    uint32_t ControlWord; // x87 control word
    uint32_t Mxcsr;
    uint32_t Magic; // set by a successful save, checked by the restore
};
typedef KFLOATING_SAVE *PKFLOATING_SAVE;
extern "C"
{
    NTSTATUS KeSaveFloatingPointState(PKFLOATING_SAVE save);
    NTSTATUS KeRestoreFloatingPointState(PKFLOATING_SAVE save);
}

// ---- Strings and formatting ----------------------------------------------------------------------
#define NTSTRSAFE_MAX_CCH 2147483647
extern "C"
{
    VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
    VOID RtlInitAnsiString(PANSI_STRING destination, PCSTR source);
    VOID RtlFreeUnicodeString(PUNICODE_STRING s);
    VOID RtlFreeAnsiString(PANSI_STRING s);
    VOID RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source);
    LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive);
    BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive);
    WCHAR RtlUpcaseUnicodeChar(WCHAR c);
    NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source, BOOLEAN allocate);
    NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING destination, PCUNICODE_STRING source,
                                          BOOLEAN allocate);
    NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, const ANSI_STRING *source,
                                          BOOLEAN allocate);
    NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source);

    // Bounded formatting: %s %S %ws %wZ %c %d %i %u %x %X %p %% with flags, width, precision and the l, ll,
    // h, I64 and z sizes. A size below one character gives STATUS_INVALID_PARAMETER; the result is always
    // terminated; truncation gives STATUS_BUFFER_OVERFLOW.
    NTSTATUS RtlStringCbPrintfA(PSTR destination, size_t cbDest, PCSTR format, ...);
    NTSTATUS RtlStringCbVPrintfA(PSTR destination, size_t cbDest, PCSTR format, va_list args);
    NTSTATUS RtlStringCbPrintfW(PWSTR destination, size_t cbDest, PCWSTR format, ...);
    NTSTATUS RtlStringCbVPrintfW(PWSTR destination, size_t cbDest, PCWSTR format, va_list args);
    NTSTATUS RtlStringCchPrintfW(PWSTR destination, size_t cchDest, PCWSTR format, ...);
    NTSTATUS RtlStringCbLengthA(PCSTR s, size_t cbMax, size_t *cbLength);
    NTSTATUS RtlStringCbLengthW(PCWSTR s, size_t cbMax, size_t *cbLength);
    NTSTATUS RtlStringCbCopyA(PSTR destination, size_t cbDest, PCSTR source);
    NTSTATUS RtlStringCbCopyW(PWSTR destination, size_t cbDest, PCWSTR source);
    NTSTATUS RtlStringCbCatW(PWSTR destination, size_t cbDest, PCWSTR source);
    NTSTATUS RtlStringCchCopyW(PWSTR destination, size_t cchDest, PCWSTR source);
    NTSTATUS RtlStringCchLengthW(PCWSTR s, size_t cchMax, size_t *cchLength);

    ULONG vDbgPrintEx(ULONG componentId, ULONG level, PCSTR format, va_list args);
}

// ---- Versions ------------------------------------------------------------------------------------
#define NTDDI_WIN2K 0x05000000
#define NTDDI_WINXP 0x05010000
#define NTDDI_VISTA 0x06000000
#define NTDDI_WIN7 0x06010000
extern "C" BOOLEAN RtlIsNtDdiVersionAvailable(ULONG version);

#if __has_include(<nt_registry.h>)
#include <nt_registry.h>
#endif
#if __has_include(<nt_files.h>)
#include <nt_files.h>
#endif
#if __has_include(<nt_io.h>)
#include <nt_io.h>
#endif
#include <nt_memory.h>
