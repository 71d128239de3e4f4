// Scheduler lock, per-thread IRQL, the virtual clock, misuse reports, components and handles.
#include "kernel_internal.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace sim::detail
{

namespace
{
std::mutex g_lock;
ClockMode g_mode = ClockMode::Virtual;
LONGLONG g_virtualNow = 0;
std::chrono::steady_clock::time_point g_realBase = std::chrono::steady_clock::now();
LONGLONG g_realOffset = 0;
int g_runnable = 0;       // counted threads not blocked
bool g_advancing = false; // MaybeAdvanceLocked is firing timers

// What a host thread sleeps on while it waits. Each thread takes one from a pool and gives it back
// when it ends; none is ever freed, so a post that comes late (a real-time wait timed out first) only
// makes some later sleep check its condition once more.
struct Wake
{
    std::mutex m;
    std::condition_variable cv;
    bool posted = false;
    void Post()
    {
        {
            std::lock_guard<std::mutex> g(m);
            posted = true;
        }
        cv.notify_one();
    }
    void Clear()
    {
        std::lock_guard<std::mutex> g(m);
        posted = false;
    }
    // Sleeps until a post or, with a limit, until it passes.
    void Sleep(const std::chrono::nanoseconds *limit)
    {
        std::unique_lock<std::mutex> g(m);
        if (limit)
            cv.wait_for(g, *limit, [this] { return posted; });
        else
            cv.wait(g, [this] { return posted; });
        posted = false;
    }
};
// Never destroyed: a system thread is detached, and one that ends as the program exits gives its
// Wake back, and posts the Wakes its last unlock picked, after the program's statics are gone.
struct WakePool
{
    std::mutex lock;
    std::vector<std::unique_ptr<Wake>> all; // every one made
    std::vector<Wake *> free;
};
WakePool &Wakes()
{
    static WakePool *const pool = new WakePool;
    return *pool;
}
// Plain values, so the main thread's waits in handlers at exit, after its thread-local objects are
// gone, still find its Wake.
thread_local Wake *t_wake = nullptr;
thread_local bool t_leaseEnded = false;
struct WakeLease
{
    ~WakeLease()
    {
        std::lock_guard<std::mutex> g(Wakes().lock);
        Wakes().free.push_back(t_wake);
        t_wake = nullptr;
        t_leaseEnded = true; // a wait after this keeps its next Wake for good
    }
};
Wake *SelfWake()
{
    if (t_wake)
        return t_wake;
    {
        WakePool &pool = Wakes();
        std::lock_guard<std::mutex> g(pool.lock);
        if (pool.free.empty())
        {
            pool.all.push_back(std::make_unique<Wake>());
            t_wake = pool.all.back().get();
        }
        else
        {
            t_wake = pool.free.back();
            pool.free.pop_back();
        }
    }
    if (!t_leaseEnded)
    {
        thread_local WakeLease lease;
        (void)lease;
    }
    return t_wake;
}

std::vector<Wake *> g_picked; // posted when the scheduler lock is let go
size_t g_fruitless = 0;       // see sim::FruitlessWakeups

void Pick(Wake *wake)
{
    if (std::find(g_picked.begin(), g_picked.end(), wake) == g_picked.end())
        g_picked.push_back(wake);
}

// Lock held: lets it go and sleeps until posted or `limit` passes, then takes it again.
void SleepUnlocked(SchedulerLock &lk, Wake *wake, const std::chrono::nanoseconds *limit)
{
    lk.unlock();
    wake->Sleep(limit);
    lk.lock();
}

// A blocked thread. A notify wakes only the waiters whose condition holds or whose deadline passed,
// judged by the notifier under the scheduler lock: with one condition variable for all, every
// notify woke every blocked thread, most only to find nothing and sleep again.
struct Waiter
{
    const std::function<bool()> *ready;
    LONGLONG deadline;
    bool counted;
    Wake *wake;
    bool picked = false;      // a post is on its way: another notify need not send one
    bool orphan = false;      // left blocked by an earlier test: no part of idleness or the clock
    bool plansTimers = false; // real mode: sleeps until the earliest timer, so a new timer wakes it
};
std::vector<Waiter *> g_waiters;

// A RunUntilIdle caller, woken when every other counted thread is blocked and none can proceed.
struct IdleWatch
{
    int self; // 1 when the caller is itself counted
    Wake *wake;
    bool picked = false;
};
std::vector<IdleWatch *> g_idleWatches;

bool Due(const Waiter &w, LONGLONG now)
{
    return w.deadline >= 0 && w.deadline <= now;
}

bool AnyWaiterReady()
{
    const LONGLONG now = NowLocked();
    for (Waiter *w : g_waiters)
        if (!w->orphan && ((*w->ready)() || Due(*w, now)))
            return true;
    return false;
}

// Earliest deadline of a wait or a timer, or -1. `changesOnly` leaves out timers whose expiry would
// change nothing (see EarliestTimerLocked).
LONGLONG NextDeadlineLocked(bool changesOnly)
{
    LONGLONG next = EarliestTimerLocked(changesOnly);
    for (Waiter *w : g_waiters)
        if (!w->orphan && w->deadline >= 0 && (next < 0 || w->deadline < next))
            next = w->deadline;
    return next;
}

// One post per sleep: a thread holds the scheduler lock from its wake-up until it sleeps again or
// leaves, so no post meant for one sleep can arrive in a later one.
template <class Sleeper> void PickOnce(Sleeper *s)
{
    if (s->picked)
        return;
    s->picked = true;
    Pick(s->wake);
}

void WakeReadyLocked()
{
    const LONGLONG now = NowLocked();
    bool anyReady = false;
    for (Waiter *w : g_waiters)
    {
        const bool ready = (*w->ready)() || Due(*w, now);
        anyReady |= ready && !w->orphan;
        if (ready || w->plansTimers)
            PickOnce(w);
    }
    if (anyReady)
        return;
    for (IdleWatch *i : g_idleWatches)
        if (g_runnable <= i->self)
            PickOnce(i);
}

void WakeAllLocked()
{
    for (Waiter *w : g_waiters)
        PickOnce(w);
    for (IdleWatch *i : g_idleWatches)
        PickOnce(i);
}

// Virtual mode: while nothing can run, jump to the earliest deadline of a wait or a timer and fire
// what is due there, until some thread can run; then wake it. A timer that wakes nobody does not
// stop the jump: no other thread may be left awake to take the next one.
void MaybeAdvanceLocked()
{
    if (g_mode != ClockMode::Virtual || g_advancing)
        return;
    g_advancing = true;
    // A queued DPC or work item shows as a ready waiter (its service thread) or a runnable thread.
    while (g_runnable <= 0 && !AnyWaiterReady())
    {
        const LONGLONG next = NextDeadlineLocked(true);
        if (next < 0)
            break; // a true deadlock: nothing will ever run again; the test's own timeout reports it
        g_virtualNow = std::max(g_virtualNow, next);
        FireDueTimersLocked(g_virtualNow);
    }
    g_advancing = false;
    WakeReadyLocked();
}
} // namespace

ThreadState &Self()
{
    thread_local ThreadState state;
    return state;
}
void *SelfId()
{
    thread_local char marker;
    return &marker;
}

void SchedulerLock::lock()
{
    g_lock.lock();
    m_owns = true;
}

void SchedulerLock::unlock()
{
    // A few at most as a rule, kept off the heap; more only when many threads wait at once.
    Wake *few[8];
    std::vector<Wake *> many;
    Wake **posting = few;
    const size_t n = g_picked.size();
    if (n > std::size(few))
    {
        many = g_picked;
        posting = many.data();
    }
    else
    {
        std::copy(g_picked.begin(), g_picked.end(), few);
    }
    g_picked.clear();
    m_owns = false;
    g_lock.unlock();
    for (size_t i = 0; i < n; ++i)
        posting[i]->Post();
}

LONGLONG NowLocked()
{
    if (g_mode == ClockMode::Virtual)
        return g_virtualNow;
    auto d = std::chrono::steady_clock::now() - g_realBase;
    return g_realOffset + std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100;
}

void Notify()
{
    if (g_advancing)
        return; // the advance wakes whom it made ready when it ends
    // In virtual mode the notifier may be a thread the clock does not count, while every counted
    // thread waits: then the clock moves on here, as no waiter wakes to move it.
    if (g_mode == ClockMode::Virtual)
        MaybeAdvanceLocked();
    else
        WakeReadyLocked();
}

void AddCountedThread()
{
    ++g_runnable;
}
void RemoveCountedThread()
{
    --g_runnable;
    Notify();
}

bool BlockUntil(SchedulerLock &lk, const std::function<bool()> &ready, LONGLONG deadline)
{
    ThreadState &me = Self();
    Waiter w{&ready, deadline, me.counted, SelfWake()};
    w.wake->Clear(); // what a timed-out real-time wait left
    g_waiters.push_back(&w);
    bool announce = me.counted; // RunUntilIdle may be waiting for this thread to block
    if (me.counted)
        --g_runnable;
    bool woken = false;
    bool ok;
    for (;;)
    {
        if (ready())
        {
            ok = true;
            break;
        }
        if (deadline >= 0 && NowLocked() >= deadline)
        {
            ok = false;
            break;
        }
        if (announce)
            Notify();
        else
            MaybeAdvanceLocked();
        announce = false;
        if (ready() || (deadline >= 0 && NowLocked() >= deadline))
            continue;
        if (woken && g_mode == ClockMode::Virtual)
            ++g_fruitless;
        if (g_mode == ClockMode::Real && deadline >= 0)
        {
            const std::chrono::nanoseconds left((deadline - NowLocked()) * 100);
            SleepUnlocked(lk, w.wake, &left);
        }
        else if (g_mode == ClockMode::Real)
        {
            LONGLONG t = EarliestTimerLocked(false);
            w.plansTimers = true;
            const std::chrono::nanoseconds left(std::max<LONGLONG>(0, t - NowLocked()) * 100);
            SleepUnlocked(lk, w.wake, t >= 0 ? &left : nullptr);
            w.plansTimers = false;
            if (t >= 0)
                FireDueTimersLocked(NowLocked());
        }
        else
        {
            SleepUnlocked(lk, w.wake, nullptr);
        }
        w.picked = false;
        woken = true;
    }
    // This thread is awake: a post it picked for itself on the way would only wake a later wait.
    g_picked.erase(std::remove(g_picked.begin(), g_picked.end(), w.wake), g_picked.end());
    g_waiters.erase(std::find(g_waiters.begin(), g_waiters.end(), &w));
    if (me.counted)
        ++g_runnable;
    return ok;
}

void ResetClock()
{
    g_mode = ClockMode::Virtual;
    g_virtualNow = 0;
}

std::string Hex(ULONG v)
{
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", v);
    return b;
}

std::string TagText(ULONG tag)
{
    std::string s;
    for (int i = 0; i < 4; ++i)
    {
        char c = char((tag >> (8 * i)) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '?';
    }
    return s;
}

// ---- Reference-counted objects -------------------------------------------------------------------
namespace
{
std::map<PVOID, SimObject *> g_objects;
}
void RegisterObjectPointer(PVOID p, SimObject *o)
{
    g_objects[p] = o;
}
void UnregisterObjectPointer(PVOID p)
{
    g_objects.erase(p);
}
SimObject *FindObjectLocked(PVOID p)
{
    auto it = g_objects.find(p);
    return it == g_objects.end() ? nullptr : it->second;
}
SimObject *FromPointer(PVOID p, const char *caller)
{
    auto it = g_objects.find(p);
    if (it == g_objects.end() || it->second->magic != SimObject::kMagic)
    {
        ReportViolation(std::string(caller) + ": not a referenced kernel object");
        return nullptr;
    }
    return it->second;
}

} // namespace sim::detail

using namespace sim::detail;

// ---- Violations ----------------------------------------------------------------------------------
namespace
{
sim::ViolationHandler &Handler()
{
    static sim::ViolationHandler h;
    return h;
}
std::mutex g_handlerLock;
} // namespace

void sim::SetViolationHandler(ViolationHandler handler)
{
    std::lock_guard<std::mutex> g(g_handlerLock);
    Handler() = std::move(handler);
}

void sim::ReportViolation(const std::string &message)
{
    ViolationHandler h;
    {
        std::lock_guard<std::mutex> g(g_handlerLock);
        h = Handler();
    }
    if (h)
    {
        h(message);
        return;
    }
    std::fprintf(stderr, "kernel stand-in: %s\n", message.c_str());
    std::abort();
}

void sim::AssertPassiveLevel(const char *what)
{
    if (Self().irql != PASSIVE_LEVEL)
        ReportViolation(std::string(what) + " called at IRQL " + std::to_string(Self().irql) +
                        " (PASSIVE_LEVEL required)");
}

extern "C" VOID sim_AssertIrqlBelow(KIRQL limit, PCSTR where)
{
    if (Self().irql >= limit)
        sim::ReportViolation(std::string(where) + " called at IRQL " + std::to_string(Self().irql) +
                             " (must be below " + std::to_string(limit) + ")");
}

extern "C" [[noreturn]] VOID RtlFailFast(ULONG code)
{
    std::fprintf(stderr, "kernel stand-in: fast fail, code %u\n", code);
    std::fflush(stderr);
    std::_Exit(int(0x40 + (code & 0x3F)));
}

// ---- IRQL ----------------------------------------------------------------------------------------
extern "C" KIRQL KeGetCurrentIrql()
{
    return Self().irql;
}
extern "C" VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql)
{
    ThreadState &me = Self();
    if (newIrql < me.irql)
        sim::ReportViolation("KeRaiseIrql to a lower IRQL " + std::to_string(newIrql));
    *oldIrql = me.irql;
    me.irql = newIrql;
}
extern "C" VOID KeLowerIrql(KIRQL newIrql)
{
    ThreadState &me = Self();
    if (newIrql > me.irql)
        sim::ReportViolation("KeLowerIrql to a higher IRQL " + std::to_string(newIrql));
    me.irql = newIrql;
}
extern "C" KIRQL KeRaiseIrqlToDpcLevel()
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

// ---- Clock face ----------------------------------------------------------------------------------
void sim::SetClockMode(ClockMode mode)
{
    auto lk = Lock();
    LONGLONG now = NowLocked();
    g_mode = mode;
    if (mode == ClockMode::Real)
    {
        g_realBase = std::chrono::steady_clock::now();
        g_realOffset = now;
    }
    else
    {
        g_virtualNow = now;
    }
    WakeAllLocked(); // every waiter plans its sleep anew on the other clock
}

LONGLONG sim::Now()
{
    auto lk = Lock();
    return NowLocked();
}

void sim::RunUntilIdle()
{
    auto lk = Lock();
    // Idle: every other counted thread is blocked and none of them can proceed (a DPC or work item
    // queued behind one that waits does not count). The caller itself counts as running here.
    IdleWatch watch{Self().counted ? 1 : 0, SelfWake()};
    g_idleWatches.push_back(&watch);
    while (g_runnable > watch.self || AnyWaiterReady())
    {
        SleepUnlocked(lk, watch.wake, nullptr);
        watch.picked = false;
    }
    g_idleWatches.erase(std::find(g_idleWatches.begin(), g_idleWatches.end(), &watch));
}

void sim::Advance(LONGLONG ticks)
{
    // Step from deadline to deadline (timers and timed waits), letting every thread and DPC settle
    // at each, so a periodic timer or a polling thread sees each of its periods.
    LONGLONG target;
    {
        auto lk = Lock();
        if (g_mode != ClockMode::Virtual || ticks < 0)
        {
            lk.unlock();
            ReportViolation(ticks < 0 ? "sim::Advance by a negative time" : "sim::Advance in real-time mode");
            return;
        }
        target = g_virtualNow + ticks;
    }
    for (;;)
    {
        RunUntilIdle();
        auto lk = Lock();
        LONGLONG next = NextDeadlineLocked(false);
        if (next < 0 || next > target)
            break;
        g_virtualNow = std::max(g_virtualNow, next);
        FireDueTimersLocked(g_virtualNow);
        Notify();
    }
    {
        auto lk = Lock();
        g_virtualNow = std::max(g_virtualNow, target);
        Notify();
    }
    RunUntilIdle();
}

size_t sim::FruitlessWakeups()
{
    auto lk = Lock();
    return g_fruitless;
}

void sim::AdvanceMs(LONGLONG ms)
{
    Advance(ms * 10000);
}

ULONG sim::FrameNumber()
{
    return ULONG(ULONGLONG(Now()) / 10000);
}

// ---- Counted host threads ------------------------------------------------------------------------
struct sim::HostThread::State
{
    std::thread thread;
    bool done = false; // under the scheduler lock
};

sim::HostThread::HostThread(std::function<void()> body) : m_state(std::make_shared<State>())
{
    {
        auto lk = Lock();
        AddCountedThread(); // runnable from now, before the host thread is scheduled
    }
    auto st = m_state;
    st->thread = std::thread(
        [st, body = std::move(body)]
        {
            Self().counted = true;
            body();
            std::string held = HeldLocksText(Self());
            if (Self().irql != PASSIVE_LEVEL || !held.empty())
                ReportViolation("a host thread ended at IRQL " + std::to_string(Self().irql) +
                                (held.empty() ? "" : " holding " + held));
            auto lk = Lock();
            st->done = true;
            RemoveCountedThread();
        });
}

sim::HostThread::~HostThread()
{
    Join();
}

void sim::HostThread::Join()
{
    if (!m_state->thread.joinable())
        return;
    {
        auto lk = Lock();
        auto st = m_state;
        BlockUntil(
            lk, [st] { return st->done; }, -1);
    }
    m_state->thread.join();
}

bool sim::HostThread::Done() const
{
    auto lk = Lock();
    return m_state->done;
}

// ---- Components ----------------------------------------------------------------------------------
namespace
{
struct Component
{
    std::string name;
    void (*reset)();
    std::string (*check)();
};
std::vector<Component> &Components()
{
    static std::vector<Component> c;
    return c;
}
std::mutex g_componentLock;
} // namespace

void sim::RegisterComponent(const char *name, void (*reset)(), std::string (*endOfTestCheck)())
{
    std::lock_guard<std::mutex> g(g_componentLock);
    for (auto &c : Components())
        if (c.name == name)
            return;
    Components().push_back({name, reset, endOfTestCheck});
}

void sim::ResetAll()
{
    StopServiceThreads();
    ResetThreads();
    {
        auto lk = Lock();
        ResetClock();
        // Threads a failed test left waiting still wake when their condition holds, but no longer
        // count for idleness or the clock.
        for (Waiter *w : g_waiters)
            w->orphan = true;
        g_fruitless = 0;
        Self().counted = true;
        Self().irql = PASSIVE_LEVEL;
        Self().spinLocksHeld = Self().mutexesHeld = 0;
        g_runnable = 1;
    }
    ResetCallbacks();
    ResetHandles();
    ResetFpu();
    ResetDebugLog();
    std::vector<Component> comps;
    {
        std::lock_guard<std::mutex> g(g_componentLock);
        comps = Components();
    }
    for (auto &c : comps)
        if (c.reset)
            c.reset();
    ResetPool(); // last: components may free what they held
}

std::string sim::EndOfTestChecks()
{
    std::string out;
    auto add = [&](const std::string &s)
    {
        if (!s.empty())
            out += s + (s.back() == '\n' ? "" : "\n");
    };
    add(ThreadCheck());
    add(TimerCheck());
    std::vector<Component> comps;
    {
        std::lock_guard<std::mutex> g(g_componentLock);
        comps = Components();
    }
    for (auto &c : comps)
        if (c.check)
            add(c.check());
    add(CallbackCheck());
    static const char *const kKinds[] = {"registry key", "file", "thread", "other"};
    for (int k = 0; k < 4; ++k)
        if (size_t n = HandleCount(HandleKind(k)))
            add(std::to_string(n) + " " + kKinds[k] + " handle(s) left open");
    if (Self().irql != PASSIVE_LEVEL)
        add("the test ended at IRQL " + std::to_string(Self().irql));
    std::string held = HeldLocksText(Self());
    if (!held.empty())
        add("the test ended holding " + held);
    add(PoolCheck());
    return out;
}

// ---- Handles -------------------------------------------------------------------------------------
namespace
{
struct HandleEntry
{
    sim::HandleKind kind;
    void *object;
    NTSTATUS (*close)(void *);
};
std::mutex g_handleLock;
std::map<uintptr_t, HandleEntry> g_handles;
uintptr_t g_nextHandle = 0x100;
} // namespace

void sim::detail::ResetHandles()
{
    std::lock_guard<std::mutex> g(g_handleLock);
    g_handles.clear();
}

HANDLE sim::InsertHandle(HandleKind kind, void *object, NTSTATUS (*close)(void *))
{
    std::lock_guard<std::mutex> g(g_handleLock);
    uintptr_t h = (g_nextHandle += 4);
    g_handles[h] = {kind, object, close};
    return reinterpret_cast<HANDLE>(h);
}

void *sim::LookupHandle(HANDLE h, HandleKind kind)
{
    std::lock_guard<std::mutex> g(g_handleLock);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(h));
    if (it == g_handles.end() || it->second.kind != kind)
        return nullptr;
    return it->second.object;
}

size_t sim::HandleCount(HandleKind kind)
{
    std::lock_guard<std::mutex> g(g_handleLock);
    size_t n = 0;
    for (auto &e : g_handles)
        n += e.second.kind == kind;
    return n;
}

extern "C" NTSTATUS ZwClose(HANDLE h)
{
    sim::AssertPassiveLevel("ZwClose");
    HandleEntry e;
    {
        std::lock_guard<std::mutex> g(g_handleLock);
        auto it = g_handles.find(reinterpret_cast<uintptr_t>(h));
        if (it == g_handles.end())
            return STATUS_INVALID_HANDLE;
        e = it->second;
        g_handles.erase(it);
    }
    return e.close ? e.close(e.object) : STATUS_SUCCESS;
}
