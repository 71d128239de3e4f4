// Scheduler lock, per-thread IRQL, the virtual clock, misuse reports, components and handles.
#include "kernel_internal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <thread>
#include <vector>

namespace sim::detail
{

namespace
{
std::mutex g_lock;
std::condition_variable g_cv;
ClockMode g_mode = ClockMode::Virtual;
LONGLONG g_virtualNow = 0;
std::chrono::steady_clock::time_point g_realBase = std::chrono::steady_clock::now();
LONGLONG g_realOffset = 0;
int g_runnable = 0; // counted threads not blocked

struct Waiter
{
    const std::function<bool()> *ready;
    LONGLONG deadline;
    bool counted;
};
std::vector<Waiter *> g_waiters;

bool AnyWaiterReady()
{
    for (Waiter *w : g_waiters)
        if ((*w->ready)() || (w->deadline >= 0 && w->deadline <= NowLocked()))
            return true;
    return false;
}

// Virtual mode: when nothing can run, jump to the earliest deadline of a wait or a timer.
void MaybeAdvanceLocked()
{
    if (g_mode != ClockMode::Virtual || g_runnable > 0)
        return;
    // A queued DPC or work item shows as a ready waiter (its service thread) or a runnable thread.
    if (AnyWaiterReady())
        return;
    LONGLONG next = EarliestTimerLocked();
    for (Waiter *w : g_waiters)
        if (w->deadline >= 0 && (next < 0 || w->deadline < next))
            next = w->deadline;
    if (next < 0)
        return; // a true deadlock: nothing will ever run again; the test's own timeout reports it
    if (next > g_virtualNow)
        g_virtualNow = next;
    FireDueTimersLocked(g_virtualNow);
    g_cv.notify_all();
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

std::unique_lock<std::mutex> Lock()
{
    return std::unique_lock<std::mutex>(g_lock);
}
std::condition_variable &Cv()
{
    return g_cv;
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
    g_cv.notify_all();
}

void AddCountedThread()
{
    ++g_runnable;
}
void RemoveCountedThread()
{
    --g_runnable;
    MaybeAdvanceLocked();
    g_cv.notify_all();
}

bool BlockUntil(std::unique_lock<std::mutex> &lk, const std::function<bool()> &ready, LONGLONG deadline)
{
    ThreadState &me = Self();
    Waiter w{&ready, deadline, me.counted};
    g_waiters.push_back(&w);
    if (me.counted)
    {
        --g_runnable;
        g_cv.notify_all(); // RunUntilIdle may be waiting for this thread to block
    }
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
        MaybeAdvanceLocked();
        if (ready() || (deadline >= 0 && NowLocked() >= deadline))
            continue;
        if (g_mode == ClockMode::Real && deadline >= 0)
        {
            LONGLONG left = deadline - NowLocked();
            g_cv.wait_for(lk, std::chrono::nanoseconds(left * 100));
        }
        else if (g_mode == ClockMode::Real)
        {
            LONGLONG t = EarliestTimerLocked();
            if (t >= 0)
                g_cv.wait_for(lk, std::chrono::nanoseconds(std::max<LONGLONG>(0, t - NowLocked()) * 100));
            else
                g_cv.wait(lk);
            if (t >= 0)
                FireDueTimersLocked(NowLocked());
        }
        else
        {
            g_cv.wait(lk);
        }
    }
    // A reset may have dropped the waiters of threads a failed test left behind.
    auto it = std::find(g_waiters.begin(), g_waiters.end(), &w);
    if (it != g_waiters.end())
        g_waiters.erase(it);
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
    Notify();
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
    int self = Self().counted ? 1 : 0;
    g_cv.wait(lk, [&] { return g_runnable <= self && !AnyWaiterReady(); });
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
        LONGLONG next = EarliestTimerLocked();
        for (Waiter *w : g_waiters)
            if (w->deadline >= 0 && (next < 0 || w->deadline < next))
                next = w->deadline;
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
        g_waiters.clear();
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
