// Shared state of the kernel stand-in. One scheduler lock guards every dispatcher object, the clock,
// timers and the DPC and work queues, so a wait, a signal and a clock step never interleave.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include <ntkernel.h>
#include <sim/kernel_sim.h>

namespace sim::detail
{

struct ThreadState
{
    KIRQL irql = PASSIVE_LEVEL;
    bool counted = false; // takes part in the "every thread blocked" rule of the virtual clock
    int spinLocksHeld = 0;
    int mutexesHeld = 0; // distinct mutexes owned, whatever their recursion
};
ThreadState &Self();
void *SelfId(); // identity of the calling host thread

// The scheduler lock, held from Lock() until unlock() or the end of the scope. The threads a notify
// picks are woken only as the lock is let go: woken while the notifier still held it, each would run
// only to block on the lock again, two more thread switches on a single core.
class SchedulerLock
{
public:
    SchedulerLock() { lock(); }
    ~SchedulerLock()
    {
        if (m_owns)
            unlock();
    }
    SchedulerLock(const SchedulerLock &) = delete;
    SchedulerLock &operator=(const SchedulerLock &) = delete;
    void lock();
    void unlock();

private:
    bool m_owns = false;
};
inline SchedulerLock Lock()
{
    return SchedulerLock();
}

// Blocks the calling thread until ready() holds (true) or the deadline in interrupt time passes
// (false). Call with Lock() held; ready() runs under it, on this thread or on one that notifies.
// deadline < 0 means none.
bool BlockUntil(SchedulerLock &lk, const std::function<bool()> &ready, LONGLONG deadline);
// After changing state that a blocked thread may wait on (lock held): wakes the waiters whose
// condition now holds, and in virtual mode moves the clock when no counted thread can run.
void Notify();
LONGLONG NowLocked();
LONGLONG SystemTimeBase(); // system time (100 ns since 1601) at interrupt time 0

// Counted threads (system threads, the DPC and worker threads, the test thread).
void AddCountedThread();    // lock held: a new counted thread is runnable
void RemoveCountedThread(); // lock held: the calling counted thread ends

// Timers and DPCs (timer_dpc.cpp): earliest due timer or -1, firing, queueing. A queued DPC or work
// item needs no check of its own for idleness: its service thread is then runnable or a ready waiter.
// `changesOnly` leaves out a periodic timer with no DPC that is still signalled: its expiry only
// moves its due time, so the clock need not stop there (firing later catches it up).
LONGLONG EarliestTimerLocked(bool changesOnly);
void FireDueTimersLocked(LONGLONG now);
void QueueDpcLocked(PKDPC dpc, PVOID a1, PVOID a2);
void StopServiceThreads(); // DPC and worker threads, at reset
std::string TimerCheck();

// Dispatcher objects (sync.cpp). `waiter` is the identity (SelfId) of the thread the wait is for: the
// scheduler also evaluates a waiter's condition from other threads, and a mutex is signalled for its
// owner only.
bool IsSignalledLocked(DISPATCHER_HEADER *h, void *waiter);
void SatisfyLocked(DISPATCHER_HEADER *h, void *waiter);
// Text of what a thread still holds when it should hold nothing ("" when clean).
std::string HeldLocksText(const ThreadState &t);

// Objects with reference counts (ObReference/ObDereference).
struct SimObject
{
    static constexpr uint32_t kMagic = 0x4A424F53; // "SOBJ"
    uint32_t magic = kMagic;
    long refs = 1;
    bool permanent = false;
    virtual ~SimObject() { magic = 0; }
    virtual void OnLastReference() { delete this; }
    virtual void OnSignal() {} // KeSetEvent on the object (lock held)
};
// The object behind a pointer handed to the driver, or null with a violation when it is not one.
SimObject *FromPointer(PVOID p, const char *caller);
// Dispatcher objects that are also SimObjects (threads) register their header so the generic
// dereference finds them.
void RegisterObjectPointer(PVOID p, SimObject *o);
void UnregisterObjectPointer(PVOID p);
// The object registered for a pointer, or null (lock held; no report).
SimObject *FindObjectLocked(PVOID p);
// ObReferenceObjectByHandle for a user-mode handle of the process the caller acts for.
NTSTATUS ReferenceUserHandle(HANDLE handle, POBJECT_TYPE type, PVOID *object);

void ResetPool();
std::string PoolCheck();
void ResetDebugLog();
void ResetCallbacks();
std::string CallbackCheck();
void ResetThreads();
std::string ThreadCheck();
void ResetFpu();
void Probe(const char *routine); // tells the test's kernel probe, if one is set
void ResetClock();
void ResetHandles();

// "Fail the n-th call from now" bookkeeping of an injectable entry point, guarded by its owner's lock.
struct NthFailure
{
    size_t calls = 0;  // calls since the last reset
    size_t failAt = 0; // the call number that fails, 0 for none
    void Arm(unsigned n) { failAt = n ? calls + n : 0; }
    bool Next() // counts one call; true when it is the one to fail
    {
        if (++calls != failAt)
            return false;
        failAt = 0;
        return true;
    }
};

std::string Hex(ULONG v);
std::string TagText(ULONG tag);

} // namespace sim::detail
