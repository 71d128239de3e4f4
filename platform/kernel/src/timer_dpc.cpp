// Timers, DPCs and work items. DPCs run at DISPATCH_LEVEL on one stand-in DPC thread and work items
// at PASSIVE_LEVEL on one worker thread, both started on first use and stopped at each reset.
#include "kernel_internal.h"

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <thread>
#include <vector>

using namespace sim::detail;

namespace
{
std::vector<PKTIMER> g_timers; // inserted timers
std::deque<PKDPC> g_dpcs;

struct WorkItem
{
    static constexpr uint32_t kMagic = 0x4B524F57; // "WORK"
    uint32_t magic;
    PDEVICE_OBJECT device;
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
    bool queued;
};
std::deque<WorkItem *> g_work;

struct ServiceThread
{
    std::thread thread;
    bool stop = false;
};
ServiceThread g_dpcThread, g_workThread;
long g_resolutionHolds = 0;

void DpcLoop()
{
    Self().counted = true;
    auto lk = Lock();
    for (;;)
    {
        BlockUntil(
            lk, [] { return g_dpcThread.stop || !g_dpcs.empty(); }, -1);
        if (g_dpcs.empty())
            break; // stop requested and nothing left
        PKDPC dpc = g_dpcs.front();
        g_dpcs.pop_front();
        dpc->Queued = FALSE;
        // Read under the lock: once Queued is clear the DPC may be queued again with new arguments.
        const PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        const PVOID context = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
        lk.unlock();
        Self().irql = DISPATCH_LEVEL;
        routine(dpc, context, a1, a2);
        if (Self().irql != DISPATCH_LEVEL)
            sim::ReportViolation("a DPC routine returned at IRQL " + std::to_string(Self().irql));
        Self().irql = PASSIVE_LEVEL;
        lk.lock();
        Notify();
    }
    RemoveCountedThread();
}

void WorkLoop()
{
    Self().counted = true;
    auto lk = Lock();
    for (;;)
    {
        BlockUntil(
            lk, [] { return g_workThread.stop || !g_work.empty(); }, -1);
        if (g_work.empty())
            break;
        WorkItem *w = g_work.front();
        g_work.pop_front();
        w->queued = false;
        PIO_WORKITEM_ROUTINE routine = w->routine;
        PVOID ctx = w->context;
        PDEVICE_OBJECT dev = w->device;
        lk.unlock();
        routine(dev, ctx);
        if (Self().irql != PASSIVE_LEVEL)
            sim::ReportViolation("a work item returned at IRQL " + std::to_string(Self().irql));
        lk.lock();
        Notify();
    }
    RemoveCountedThread();
}

void StopThread(ServiceThread &t)
{
    {
        auto lk = Lock();
        if (!t.thread.joinable())
            return;
        t.stop = true;
        Notify();
    }
    if (t.thread.get_id() == std::this_thread::get_id())
    {
        t.thread.detach(); // the program exits from a DPC or work item: nothing is left to wait for
        return;
    }
    t.thread.join();
    t.thread = std::thread();
}

// A program may exit without a final reset (a fuzzer does). The threads must be joined before the
// scheduler's lock and condition variable are destroyed: a joinable std::thread terminates the
// program, and a thread still waiting on the condition variable blocks its destruction. A hook
// registered after those statics were built runs before their destructors.
void StopAtExit()
{
    StopThread(g_dpcThread);
    StopThread(g_workThread);
}

void EnsureThread(ServiceThread &t, void (*loop)())
{
    if (t.thread.joinable())
        return;
    static const bool hooked = std::atexit(StopAtExit) == 0;
    (void)hooked;
    t.stop = false;
    AddCountedThread();
    t.thread = std::thread(loop);
}

LONGLONG DueOf(LARGE_INTEGER due)
{
    LONGLONG now = NowLocked();
    if (due.QuadPart < 0)
        return now - due.QuadPart;
    return std::max(now, due.QuadPart - SystemTimeBase());
}
} // namespace

namespace sim::detail
{

LONGLONG SystemTimeBase()
{
    return 134096832000000000LL; // 2025-12-01 00:00 UTC, in 100 ns since 1601
}

LONGLONG EarliestTimerLocked(bool changesOnly)
{
    LONGLONG t = -1;
    for (PKTIMER k : g_timers)
        if ((t < 0 || k->DueTime < t) &&
            !(changesOnly && k->Period > 0 && !k->Dpc && k->Header.SignalState > 0))
            t = k->DueTime;
    return t;
}

void FireDueTimersLocked(LONGLONG now)
{
    for (;;)
    {
        PKTIMER due = nullptr;
        for (PKTIMER k : g_timers)
            if (k->DueTime <= now && (!due || k->DueTime < due->DueTime))
                due = k;
        if (!due)
            break;
        due->Header.SignalState = 1;
        if (due->Dpc)
            QueueDpcLocked(due->Dpc, nullptr, nullptr);
        if (due->Period > 0)
        {
            due->DueTime += LONGLONG(due->Period) * 10000;
        }
        else
        {
            due->Inserted = FALSE;
            g_timers.erase(std::find(g_timers.begin(), g_timers.end(), due));
        }
    }
    Notify();
}

void QueueDpcLocked(PKDPC dpc, PVOID a1, PVOID a2)
{
    if (dpc->Queued)
        return;
    dpc->Queued = TRUE;
    dpc->SystemArgument1 = a1;
    dpc->SystemArgument2 = a2;
    g_dpcs.push_back(dpc);
    EnsureThread(g_dpcThread, DpcLoop);
    Notify();
}

void StopServiceThreads()
{
    StopThread(g_dpcThread);
    StopThread(g_workThread);
    auto lk = Lock();
    g_timers.clear();
    g_dpcs.clear();
    g_work.clear();
    g_resolutionHolds = 0;
}

std::string TimerCheck()
{
    auto lk = Lock();
    std::string s;
    if (!g_timers.empty())
        s += std::to_string(g_timers.size()) + " timer(s) still set at the end of the test\n";
    if (!g_work.empty())
        s += std::to_string(g_work.size()) + " work item(s) still queued at the end of the test\n";
    if (g_resolutionHolds != 0)
        s += "timer resolution still held " + std::to_string(g_resolutionHolds) + " time(s)\n";
    return s;
}

} // namespace sim::detail

extern "C" VOID KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context)
{
    *dpc = {};
    dpc->DeferredRoutine = routine;
    dpc->DeferredContext = context;
}

extern "C" BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID a1, PVOID a2)
{
    auto lk = Lock();
    if (dpc->Queued)
        return FALSE;
    QueueDpcLocked(dpc, a1, a2);
    return TRUE;
}

extern "C" BOOLEAN KeRemoveQueueDpc(PRKDPC dpc)
{
    auto lk = Lock();
    auto it = std::find(g_dpcs.begin(), g_dpcs.end(), dpc);
    if (it == g_dpcs.end())
        return FALSE;
    g_dpcs.erase(it);
    dpc->Queued = FALSE;
    return TRUE;
}

extern "C" VOID KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type)
{
    *timer = {};
    timer->Header.Type = type == NotificationTimer ? SimNotificationTimer : SimSynchronizationTimer;
}

extern "C" VOID KeInitializeTimer(PKTIMER timer)
{
    KeInitializeTimerEx(timer, NotificationTimer);
}

extern "C" BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG periodMs, PKDPC dpc)
{
    auto lk = Lock();
    BOOLEAN was = timer->Inserted;
    if (!was)
        g_timers.push_back(timer);
    timer->Inserted = TRUE;
    timer->DueTime = DueOf(dueTime);
    timer->Period = periodMs;
    timer->Dpc = dpc;
    timer->Header.SignalState = 0;
    // In real time someone must be awake at the due time: the DPC thread waits for the earliest timer.
    EnsureThread(g_dpcThread, DpcLoop);
    Notify();
    return was;
}

extern "C" BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc)
{
    return KeSetTimerEx(timer, dueTime, 0, dpc);
}

extern "C" BOOLEAN KeCancelTimer(PKTIMER timer)
{
    auto lk = Lock();
    BOOLEAN was = timer->Inserted;
    if (was)
    {
        g_timers.erase(std::find(g_timers.begin(), g_timers.end(), timer));
        timer->Inserted = FALSE;
    }
    return was;
}

extern "C" BOOLEAN KeReadStateTimer(PKTIMER timer)
{
    auto lk = Lock();
    return timer->Header.SignalState > 0;
}

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER time)
{
    auto lk = Lock();
    time->QuadPart = SystemTimeBase() + NowLocked();
}

extern "C" ULONGLONG KeQueryInterruptTime()
{
    auto lk = Lock();
    return ULONGLONG(NowLocked());
}

extern "C" ULONG ExSetTimerResolution(ULONG desired, BOOLEAN set)
{
    auto lk = Lock();
    if (set)
    {
        ++g_resolutionHolds;
        return desired ? desired : 156250;
    }
    if (g_resolutionHolds == 0)
    {
        lk.unlock();
        sim::ReportViolation("ExSetTimerResolution release without a matching set");
        return 156250;
    }
    --g_resolutionHolds;
    return 156250;
}

ULONG sim::TimerResolutionHolds()
{
    auto lk = Lock();
    return ULONG(g_resolutionHolds);
}

// ---- Work items ----------------------------------------------------------------------------------
extern "C" PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT deviceObject)
{
    auto *w =
        static_cast<WorkItem *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(WorkItem), MakePoolTag("IoWk")));
    if (!w)
        return nullptr;
    *w = {WorkItem::kMagic, deviceObject, nullptr, nullptr, false};
    return reinterpret_cast<PIO_WORKITEM>(w);
}

namespace
{
// Lock held: why `w` may not be queued or freed now, or "" when it may.
std::string WorkItemMisuse(const WorkItem *w, const char *caller)
{
    if (!w || w->magic != WorkItem::kMagic)
        return std::string(caller) + ": not a work item";
    if (w->queued)
        return std::string(caller) + ": the work item is still queued";
    return "";
}
} // namespace

extern "C" VOID IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE,
                                PVOID context)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        sim::ReportViolation("IoQueueWorkItem above DISPATCH_LEVEL");
    auto *w = reinterpret_cast<WorkItem *>(item);
    auto lk = Lock();
    std::string misuse = WorkItemMisuse(w, "IoQueueWorkItem");
    if (!misuse.empty())
    {
        lk.unlock();
        sim::ReportViolation(misuse);
        return;
    }
    w->queued = true;
    w->routine = routine;
    w->context = context;
    g_work.push_back(w);
    EnsureThread(g_workThread, WorkLoop);
    Notify();
}

extern "C" VOID IoFreeWorkItem(PIO_WORKITEM item)
{
    auto *w = reinterpret_cast<WorkItem *>(item);
    {
        auto lk = Lock();
        std::string misuse = WorkItemMisuse(w, "IoFreeWorkItem");
        if (!misuse.empty())
        {
            lk.unlock();
            sim::ReportViolation(misuse);
            return;
        }
        w->magic = 0;
    }
    ExFreePoolWithTag(w, MakePoolTag("IoWk"));
}
