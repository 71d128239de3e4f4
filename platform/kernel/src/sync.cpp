// Events, mutexes, waits and spin locks, with the IRQL rules the kernel enforces.
#include "kernel_internal.h"

#include <thread>

using namespace sim::detail;

namespace sim::detail
{

bool IsSignalledLocked(DISPATCHER_HEADER *h, void *waiter)
{
    if (h->Type == SimMutex)
    {
        auto *m = reinterpret_cast<KMUTEX *>(h);
        return m->OwnerThread == nullptr || m->OwnerThread == waiter;
    }
    return h->SignalState > 0;
}

void SatisfyLocked(DISPATCHER_HEADER *h, void *waiter)
{
    switch (h->Type)
    {
    case SimSynchronizationEvent:
    case SimSynchronizationTimer:
        h->SignalState = 0;
        break;
    case SimMutex:
    {
        auto *m = reinterpret_cast<KMUTEX *>(h);
        if (m->OwnerThread == nullptr)
        {
            m->OwnerThread = waiter;
            ++Self().mutexesHeld; // the waiter is the calling thread here
        }
        ++m->Recursion;
        h->SignalState = 0;
        break;
    }
    default:
        break;
    }
}

std::string HeldLocksText(const ThreadState &t)
{
    std::string s;
    if (t.spinLocksHeld)
        s += std::to_string(t.spinLocksHeld) + " spin lock(s)";
    if (t.mutexesHeld)
        s += (s.empty() ? "" : " and ") + std::to_string(t.mutexesHeld) + " mutex(es)";
    return s;
}

} // namespace sim::detail

namespace
{
bool Known(DISPATCHER_HEADER *h)
{
    return h && h->Type >= SimNotificationEvent && h->Type <= SimThread;
}

// Interrupt-time deadline of a wait timeout, or -1 for none.
LONGLONG DeadlineOf(PLARGE_INTEGER timeout)
{
    if (!timeout)
        return -1;
    LONGLONG now = NowLocked();
    if (timeout->QuadPart < 0)
        return now - timeout->QuadPart;
    // Positive: absolute system time; the stand-in's system time is the interrupt time plus a base.
    LONGLONG at = timeout->QuadPart - SystemTimeBase();
    return at < now ? now : at;
}

// Lock held. True once, when a periodic notification timer has satisfied a great many blocking
// waits at one instant of the clock: a wait loop on it that can never block.
bool SpinsOnTimer(DISPATCHER_HEADER *h)
{
    auto *t = reinterpret_cast<KTIMER *>(h);
    if (t->Period == 0)
        return false;
    LONGLONG now = NowLocked();
    if (t->SpinAt != now)
    {
        t->SpinAt = now;
        t->SpinWaits = 0;
    }
    return ++t->SpinWaits == 10000;
}

NTSTATUS WaitAnyOf(ULONG count, DISPATCHER_HEADER **objs, PLARGE_INTEGER timeout, const char *caller,
                   bool reported = false)
{
    if (!reported && Self().irql >= DISPATCH_LEVEL && !(timeout && timeout->QuadPart == 0))
        sim::ReportViolation(std::string(caller) + " with a non-zero timeout at IRQL " +
                             std::to_string(Self().irql) + " (a wait at DISPATCH_LEVEL)");
    for (ULONG i = 0; i < count; ++i)
        if (!Known(objs[i]))
        {
            sim::ReportViolation(std::string(caller) + ": object " + std::to_string(i) +
                                 " is not a dispatcher object");
            return STATUS_INVALID_PARAMETER;
        }
    void *me = SelfId();
    auto lk = Lock();
    ULONG hit = 0;
    auto ready = [&]
    {
        for (ULONG i = 0; i < count; ++i)
            if (IsSignalledLocked(objs[i], me))
            {
                hit = i;
                return true;
            }
        return false;
    };
    bool immediate = ready();
    if (timeout && timeout->QuadPart == 0)
    {
        if (!immediate)
            return STATUS_TIMEOUT;
    }
    else if (!immediate && !BlockUntil(lk, ready, DeadlineOf(timeout)))
    {
        return STATUS_TIMEOUT;
    }
    else if (immediate && objs[hit]->Type == SimNotificationTimer && SpinsOnTimer(objs[hit]))
    {
        lk.unlock();
        sim::ReportViolation(std::string(caller) +
                             ": a loop keeps waiting on a signalled periodic notification timer, which stays "
                             "signalled; the loop spins without time passing (a synchronization timer "
                             "satisfies one wait per period)");
        lk.lock();
    }
    SatisfyLocked(objs[hit], me);
    return STATUS_WAIT_0 + NTSTATUS(hit);
}
} // namespace

extern "C" VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state)
{
    event->Header.Type = type == NotificationEvent ? SimNotificationEvent : SimSynchronizationEvent;
    event->Header.SignalState = state ? 1 : 0;
}

extern "C" LONG KeSetEvent(PRKEVENT event, LONG, BOOLEAN)
{
    if (Self().irql > DISPATCH_LEVEL)
        sim::ReportViolation("KeSetEvent above DISPATCH_LEVEL");
    auto lk = Lock();
    LONG old = event->Header.SignalState;
    event->Header.SignalState = 1;
    if (SimObject *o = FindObjectLocked(event))
        o->OnSignal();
    Notify();
    return old;
}

extern "C" VOID KeClearEvent(PRKEVENT event)
{
    auto lk = Lock();
    event->Header.SignalState = 0;
}

extern "C" LONG KeResetEvent(PRKEVENT event)
{
    auto lk = Lock();
    LONG old = event->Header.SignalState;
    event->Header.SignalState = 0;
    return old;
}

extern "C" LONG KeReadStateEvent(PRKEVENT event)
{
    auto lk = Lock();
    return event->Header.SignalState;
}

extern "C" VOID KeInitializeMutex(PRKMUTEX mutex, ULONG)
{
    mutex->Header.Type = SimMutex;
    mutex->Header.SignalState = 1;
    mutex->OwnerThread = nullptr;
    mutex->Recursion = 0;
}

extern "C" LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN)
{
    auto lk = Lock();
    if (mutex->Header.Type != SimMutex)
    {
        lk.unlock();
        sim::ReportViolation("KeReleaseMutex: not an initialised mutex");
        return 0;
    }
    if (mutex->OwnerThread != SelfId())
    {
        lk.unlock();
        sim::ReportViolation("KeReleaseMutex by a thread that does not own the mutex");
        return 0;
    }
    if (--mutex->Recursion == 0)
    {
        mutex->OwnerThread = nullptr;
        mutex->Header.SignalState = 1;
        --Self().mutexesHeld;
        Notify();
    }
    return 0;
}

extern "C" LONG KeReadStateMutex(PRKMUTEX mutex)
{
    auto lk = Lock();
    return mutex->OwnerThread ? 0 : 1;
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                          PLARGE_INTEGER timeout)
{
    auto *h = static_cast<DISPATCHER_HEADER *>(object);
    bool mutexMisuse =
        h && h->Type == SimMutex && Self().irql >= DISPATCH_LEVEL && !(timeout && timeout->QuadPart == 0);
    if (mutexMisuse)
        sim::ReportViolation("mutex acquired at IRQL " + std::to_string(Self().irql) +
                             " (mutexes only below DISPATCH_LEVEL)");
    return WaitAnyOf(1, &h, timeout, "KeWaitForSingleObject", mutexMisuse);
}

extern "C" NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE type, KWAIT_REASON,
                                             KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER timeout,
                                             PKWAIT_BLOCK blocks)
{
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || (count > THREAD_WAIT_OBJECTS && !blocks))
    {
        sim::ReportViolation("KeWaitForMultipleObjects with " + std::to_string(count) +
                             " objects and no wait blocks");
        return STATUS_INVALID_PARAMETER;
    }
    if (type != WaitAny)
    {
        sim::ReportViolation("KeWaitForMultipleObjects: WaitAll is not modelled");
        return STATUS_NOT_IMPLEMENTED;
    }
    return WaitAnyOf(count, reinterpret_cast<DISPATCHER_HEADER **>(objects), timeout,
                     "KeWaitForMultipleObjects");
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval)
{
    if (Self().irql >= DISPATCH_LEVEL)
        sim::ReportViolation("KeDelayExecutionThread at IRQL " + std::to_string(Self().irql) +
                             " (a wait at DISPATCH_LEVEL)");
    if (!interval)
    {
        // The kernel would never return; stopping the thread forever hides the bug in a hang.
        sim::ReportViolation("KeDelayExecutionThread without an interval");
        return STATUS_INVALID_PARAMETER;
    }
    if (interval->QuadPart == 0)
        return STATUS_SUCCESS;
    auto lk = Lock();
    BlockUntil(
        lk, [] { return false; }, DeadlineOf(interval));
    return STATUS_SUCCESS;
}

// ---- Spin locks: a lock word holding the owner's identity; acquiring one raises to DISPATCH. -----
namespace
{
void Acquire(PKSPIN_LOCK lock, const char *caller)
{
    auto me = reinterpret_cast<ULONG_PTR>(SelfId());
    if (__atomic_load_n(lock, __ATOMIC_ACQUIRE) == me)
    {
        sim::ReportViolation(std::string(caller) +
                             ": recursive acquisition of a spin lock this thread holds");
        return; // going on would spin forever
    }
    ULONG_PTR expected = 0;
    while (!__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
    {
        expected = 0;
        std::this_thread::yield();
    }
    ++Self().spinLocksHeld;
    sim::detail::Probe(caller);
}

void Release(PKSPIN_LOCK lock, const char *caller)
{
    auto me = reinterpret_cast<ULONG_PTR>(SelfId());
    if (__atomic_load_n(lock, __ATOMIC_ACQUIRE) != me)
    {
        sim::ReportViolation(std::string(caller) + ": releasing a spin lock this thread does not hold");
        return;
    }
    sim::detail::Probe(caller);
    --Self().spinLocksHeld;
    __atomic_store_n(lock, ULONG_PTR(0), __ATOMIC_RELEASE);
}

void RequireDispatch(const char *caller)
{
    if (Self().irql < DISPATCH_LEVEL)
        sim::ReportViolation(std::string(caller) + " below DISPATCH_LEVEL");
}
} // namespace

extern "C" VOID KeInitializeSpinLock(PKSPIN_LOCK lock)
{
    *lock = 0;
}

extern "C" VOID KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql)
{
    KeRaiseIrql(DISPATCH_LEVEL, oldIrql);
    Acquire(lock, "KeAcquireSpinLock");
}

extern "C" VOID KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql)
{
    Release(lock, "KeReleaseSpinLock");
    KeLowerIrql(newIrql);
}

extern "C" VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock)
{
    RequireDispatch("KeAcquireSpinLockAtDpcLevel");
    Acquire(lock, "KeAcquireSpinLockAtDpcLevel");
}

extern "C" VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock)
{
    RequireDispatch("KeReleaseSpinLockFromDpcLevel");
    Release(lock, "KeReleaseSpinLockFromDpcLevel");
}

extern "C" VOID KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock)
{
    KeAcquireSpinLockAtDpcLevel(lock);
}
extern "C" VOID KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock)
{
    KeReleaseSpinLockFromDpcLevel(lock);
}

extern "C" VOID KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle)
{
    handle->Lock = lock;
    KeRaiseIrql(DISPATCH_LEVEL, &handle->OldIrql);
    Acquire(lock, "KeAcquireInStackQueuedSpinLock");
}

extern "C" VOID KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE handle)
{
    Release(handle->Lock, "KeReleaseInStackQueuedSpinLock");
    KeLowerIrql(handle->OldIrql);
}

extern "C" VOID KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle)
{
    RequireDispatch("KeAcquireInStackQueuedSpinLockAtDpcLevel");
    handle->Lock = lock;
    handle->OldIrql = DISPATCH_LEVEL;
    Acquire(lock, "KeAcquireInStackQueuedSpinLockAtDpcLevel");
}

extern "C" VOID KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE handle)
{
    RequireDispatch("KeReleaseInStackQueuedSpinLockFromDpcLevel");
    Release(handle->Lock, "KeReleaseInStackQueuedSpinLockFromDpcLevel");
}

extern "C" SIZE_T RtlCompareMemory(const VOID *a, const VOID *b, SIZE_T length)
{
    auto *pa = static_cast<const UCHAR *>(a);
    auto *pb = static_cast<const UCHAR *>(b);
    SIZE_T i = 0;
    while (i < length && pa[i] == pb[i])
        ++i;
    return i;
}
