// The virtual clock and the scheduler: time moves only when every counted thread waits, deadlines are
// met exactly, and timers, threads and mutexes behave as waitable objects the way the kernel has them.
#include "support/kernel_test.h"

#include <atomic>
#include <thread>
#include <vector>

namespace
{

class KernelScheduler : public KernelTest
{
};

constexpr LONGLONG kMs = 10000; // 100 ns units per millisecond

LARGE_INTEGER RelativeMs(LONGLONG ms)
{
    LARGE_INTEGER t;
    t.QuadPart = -ms * kMs;
    return t;
}

// A polling thread as the driver writes them: wait for the stop event with a timeout, count a tick on
// each timeout, end when the stop event comes.
struct Poller
{
    KEVENT stop;
    LONGLONG periodMs;
    std::vector<LONGLONG> ticks; // virtual times of the timeouts
    static VOID Run(PVOID p)
    {
        auto *self = static_cast<Poller *>(p);
        for (;;)
        {
            LARGE_INTEGER t = RelativeMs(self->periodMs);
            if (KeWaitForSingleObject(&self->stop, Executive, KernelMode, FALSE, &t) != STATUS_TIMEOUT)
                return;
            self->ticks.push_back(sim::Now());
        }
    }
};

PVOID StartThread(PKSTART_ROUTINE routine, PVOID context)
{
    HANDLE h;
    EXPECT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    return thread;
}

std::vector<LONGLONG> Multiples(LONGLONG stepMs, LONGLONG untilMs)
{
    std::vector<LONGLONG> v;
    for (LONGLONG t = stepMs; t <= untilMs; t += stepMs)
        v.push_back(t * kMs);
    return v;
}

TEST_F(KernelScheduler, PollingThreadsSeeEveryPeriodAtItsExactTime)
{
    Poller a{{}, 30, {}}, b{{}, 50, {}};
    KeInitializeEvent(&a.stop, NotificationEvent, FALSE);
    KeInitializeEvent(&b.stop, NotificationEvent, FALSE);
    PVOID ta = StartThread(Poller::Run, &a);
    PVOID tb = StartThread(Poller::Run, &b);
    sim::AdvanceMs(300);
    EXPECT_EQ(a.ticks, Multiples(30, 300));
    EXPECT_EQ(b.ticks, Multiples(50, 300));
    EXPECT_EQ(sim::Now(), 300 * kMs);
    EXPECT_EQ(sim::FrameNumber(), 300u);

    // The test thread waiting for the threads lets the clock run on by itself: stop b at 420 ms from
    // a timer's DPC while the test waits for both threads to end.
    KeSetEvent(&a.stop, 0, FALSE);
    PVOID both[2] = {ta, tb};
    EXPECT_EQ(KeWaitForMultipleObjects(2, both, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_WAIT_0);
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(
        &dpc, [](KDPC *, PVOID ctx, PVOID, PVOID) { KeSetEvent(static_cast<PKEVENT>(ctx), 0, FALSE); },
        &b.stop);
    KeSetTimer(&timer, RelativeMs(120), &dpc);
    EXPECT_EQ(KeWaitForSingleObject(tb, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(sim::Now(), 420 * kMs);
    EXPECT_EQ(b.ticks, Multiples(50, 400));
    EXPECT_EQ(KeWaitForMultipleObjects(2, both, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_WAIT_0)
        << "both ended: the lowest index wins";
    ObDereferenceObject(ta);
    ObDereferenceObject(tb);
}

TEST_F(KernelScheduler, TimeoutConventions)
{
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    sim::AdvanceMs(7);

    // Negative: relative, in 100 ns.
    LARGE_INTEGER rel;
    rel.QuadPart = -12345;
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &rel), STATUS_TIMEOUT);
    EXPECT_EQ(sim::Now(), 7 * kMs + 12345);

    // Positive: absolute system time; one in the past times out at once.
    LARGE_INTEGER sys, abs;
    KeQuerySystemTime(&sys);
    abs.QuadPart = sys.QuadPart + 25 * kMs;
    LONGLONG before = sim::Now();
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &abs), STATUS_TIMEOUT);
    EXPECT_EQ(sim::Now() - before, 25 * kMs);
    abs.QuadPart = sys.QuadPart - kMs;
    before = sim::Now();
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &abs), STATUS_TIMEOUT);
    EXPECT_EQ(sim::Now(), before);

    // System time and interrupt time move together.
    LARGE_INTEGER later;
    sim::AdvanceMs(1000);
    KeQuerySystemTime(&later);
    EXPECT_EQ(later.QuadPart - sys.QuadPart, sim::Now() - (7 * kMs + 12345));
    EXPECT_EQ(KeQueryInterruptTime(), ULONGLONG(sim::Now()));

    // Zero polls; delays run on the same clock; a delay of zero returns at once.
    LARGE_INTEGER zero{};
    before = sim::Now();
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(sim::Now(), before);
    LARGE_INTEGER d = RelativeMs(100);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &d), STATUS_SUCCESS);
    EXPECT_EQ(sim::Now() - before, 100 * kMs);

    {
        auto v = ScopedExpectViolation("KeDelayExecutionThread without an interval");
        EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER);
    }
    {
        auto v = ScopedExpectViolation("sim::Advance by a negative time");
        sim::Advance(-1);
    }
}

TEST_F(KernelScheduler, WaitAnyPicksTheLowestSignalledIndexAmongManyKinds)
{
    // 64 objects: events of both kinds, a timer and a mutex the caller may take.
    std::vector<KEVENT> events(62);
    std::vector<PVOID> objs;
    for (size_t i = 0; i < events.size(); ++i)
    {
        KeInitializeEvent(&events[i], i % 2 ? SynchronizationEvent : NotificationEvent, FALSE);
        objs.push_back(&events[i]);
    }
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    objs.push_back(&timer);
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    objs.push_back(&mutex);
    std::vector<KWAIT_BLOCK> blocks(objs.size());
    auto waitAny64 = [&](LARGE_INTEGER *timeout)
    {
        return KeWaitForMultipleObjects(ULONG(objs.size()), objs.data(), WaitAny, Executive, KernelMode,
                                        FALSE, timeout, blocks.data());
    };

    EXPECT_EQ(waitAny64(nullptr), STATUS_WAIT_0 + 63) << "a free mutex is signalled";
    EXPECT_EQ(waitAny64(nullptr), STATUS_WAIT_0 + 63) << "and stays so for its owner";
    KeReleaseMutex(&mutex, FALSE);
    KeReleaseMutex(&mutex, FALSE);
    objs.pop_back();

    KeSetTimerEx(&timer, RelativeMs(40), 0, nullptr);
    LARGE_INTEGER t = RelativeMs(1000);
    LONGLONG before = sim::Now();
    EXPECT_EQ(waitAny64(&t), STATUS_WAIT_0 + 62);
    EXPECT_EQ(sim::Now() - before, 40 * kMs);
    EXPECT_EQ(KeReadStateTimer(&timer), FALSE) << "a synchronization timer resets on the wait it satisfies";

    KeSetEvent(&events[41], 0, FALSE);
    KeSetEvent(&events[17], 0, FALSE);
    KeSetEvent(&events[30], 0, FALSE);
    EXPECT_EQ(waitAny64(nullptr), STATUS_WAIT_0 + 17);
    EXPECT_EQ(waitAny64(nullptr), STATUS_WAIT_0 + 30) << "17 was a synchronization event and reset";
    EXPECT_EQ(waitAny64(nullptr), STATUS_WAIT_0 + 30) << "30 is a notification event and stays";
    KeClearEvent(&events[30]);
    EXPECT_EQ(waitAny64(nullptr), STATUS_WAIT_0 + 41);
    LARGE_INTEGER zero{};
    EXPECT_EQ(waitAny64(&zero), STATUS_TIMEOUT);

    // More than three objects need wait blocks of the caller's; WaitAll is not used by the driver.
    {
        auto v = ScopedExpectViolation("and no wait blocks");
        EXPECT_EQ(
            KeWaitForMultipleObjects(4, objs.data(), WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
            STATUS_INVALID_PARAMETER);
    }
    {
        auto v = ScopedExpectViolation("WaitAll is not modelled");
        KeWaitForMultipleObjects(2, objs.data(), WaitAll, Executive, KernelMode, FALSE, &zero, nullptr);
    }
}

// A loop on a periodic timer, as a polling thread with a 50 ms period writes it: absolute first due
// time, period 50 ms, stop event first in the wait list.
struct TimerLoop
{
    KTIMER timer;
    KEVENT stop;
    std::vector<LONGLONG> ticks;
    static VOID Run(PVOID p)
    {
        auto *self = static_cast<TimerLoop *>(p);
        LARGE_INTEGER due;
        KeQuerySystemTime(&due);
        due.QuadPart += 50 * kMs;
        KeSetTimerEx(&self->timer, due, 50, nullptr);
        PVOID objs[2] = {&self->stop, &self->timer};
        while (KeWaitForMultipleObjects(2, objs, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr) ==
               STATUS_WAIT_0 + 1)
            self->ticks.push_back(sim::Now());
        KeCancelTimer(&self->timer);
    }
};

TEST_F(KernelScheduler, PeriodicTimersAsWaitableObjects)
{
    TimerLoop loop;
    KeInitializeTimerEx(&loop.timer, SynchronizationTimer);
    KeInitializeEvent(&loop.stop, NotificationEvent, FALSE);
    PVOID t = StartThread(TimerLoop::Run, &loop);
    sim::AdvanceMs(260);
    EXPECT_EQ(loop.ticks, Multiples(50, 260));
    KeSetEvent(&loop.stop, 0, FALSE);
    KeWaitForSingleObject(t, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(t);

    // A periodic notification timer stays signalled after it first expires: a loop waiting on it
    // would spin without time passing, and the stand-in says so instead of hanging.
    KTIMER note;
    KeInitializeTimer(&note);
    KeSetTimerEx(&note, RelativeMs(10), 10, nullptr);
    sim::AdvanceMs(10);
    EXPECT_TRUE(KeReadStateTimer(&note));
    {
        auto v = ScopedExpectViolation("keeps waiting on a signalled periodic notification timer");
        for (int i = 0; i < 10000; ++i)
            ASSERT_EQ(KeWaitForSingleObject(&note, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    }
    sim::AdvanceMs(25);
    EXPECT_TRUE(KeCancelTimer(&note));

    // Setting a timer again re-arms it, reports that it was set, and clears its state.
    EXPECT_FALSE(KeSetTimer(&note, RelativeMs(10), nullptr));
    EXPECT_FALSE(KeReadStateTimer(&note));
    EXPECT_TRUE(KeSetTimer(&note, RelativeMs(30), nullptr));
    sim::AdvanceMs(29);
    EXPECT_FALSE(KeReadStateTimer(&note));
    sim::AdvanceMs(1);
    EXPECT_TRUE(KeReadStateTimer(&note));
    EXPECT_FALSE(KeCancelTimer(&note)) << "a one-shot timer that fired is no longer set";
}

VOID MarkDpc(KDPC *, PVOID ctx, PVOID a1, PVOID a2)
{
    auto *seen = static_cast<std::vector<uintptr_t> *>(ctx);
    seen->push_back(KeGetCurrentIrql());
    seen->push_back(reinterpret_cast<uintptr_t>(a1) + reinterpret_cast<uintptr_t>(a2));
}

TEST_F(KernelScheduler, DpcsRunAtDispatchOnTheirOwnThreadAndCanBeDequeued)
{
    std::vector<uintptr_t> seen;
    KDPC dpc;
    KeInitializeDpc(&dpc, MarkDpc, &seen);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(40), reinterpret_cast<PVOID>(2)));
    sim::RunUntilIdle();
    EXPECT_EQ(seen, (std::vector<uintptr_t>{DISPATCH_LEVEL, 42}));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the caller's IRQL is its own";

    // One DPC thread runs DPCs in queue order: while a first DPC runs, a second one stays queued and
    // can be taken back.
    static std::atomic<bool> release;
    release = false;
    KDPC busy, second;
    KeInitializeDpc(
        &busy,
        [](KDPC *, PVOID, PVOID, PVOID)
        {
            while (!release)
            {
            }
        },
        nullptr);
    KeInitializeDpc(&second, MarkDpc, &seen);
    EXPECT_TRUE(KeInsertQueueDpc(&busy, nullptr, nullptr));
    EXPECT_TRUE(KeInsertQueueDpc(&second, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&second, nullptr, nullptr)) << "already queued";
    EXPECT_TRUE(KeRemoveQueueDpc(&second));
    release = true;
    sim::RunUntilIdle();
    EXPECT_EQ(seen.size(), 2u) << "the removed DPC never ran";
    EXPECT_FALSE(KeRemoveQueueDpc(&second));
}

TEST_F(KernelScheduler, MutexOwnershipAcrossThreads)
{
    // The test thread owns the mutex while a system thread waits for it: idleness and the clock must
    // judge the waiter by its own identity, not the caller's.
    struct Shared
    {
        KMUTEX mutex;
        KEVENT got;
        NTSTATUS timedOut = 0;
    } s;
    KeInitializeMutex(&s.mutex, 0);
    KeInitializeEvent(&s.got, NotificationEvent, FALSE);
    ASSERT_EQ(KeWaitForSingleObject(&s.mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    PVOID t = StartThread(
        [](PVOID p)
        {
            auto *s = static_cast<Shared *>(p);
            LARGE_INTEGER t = RelativeMs(20);
            s->timedOut = KeWaitForSingleObject(&s->mutex, Executive, KernelMode, FALSE, &t);
            KeWaitForSingleObject(&s->mutex, Executive, KernelMode, FALSE, nullptr);
            KeSetEvent(&s->got, 0, FALSE);
            KeReleaseMutex(&s->mutex, FALSE);
        },
        &s);
    sim::RunUntilIdle();
    EXPECT_EQ(KeReadStateEvent(&s.got), 0);
    sim::AdvanceMs(20);
    EXPECT_EQ(s.timedOut, STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateMutex(&s.mutex), 0);
    KeReleaseMutex(&s.mutex, FALSE);
    KeWaitForSingleObject(t, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(KeReadStateEvent(&s.got), 1);
    EXPECT_EQ(KeReadStateMutex(&s.mutex), 1);
    ObDereferenceObject(t);

    {
        auto v = ScopedExpectViolation("does not own the mutex");
        KeReleaseMutex(&s.mutex, FALSE);
    }

    // A host thread standing for a second caller: counted, so its timed wait moves the clock while
    // the test waits for it.
    ASSERT_EQ(KeWaitForSingleObject(&s.mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    NTSTATUS second = 0;
    LONGLONG at = 0;
    sim::HostThread caller(
        [&]
        {
            LARGE_INTEGER t = RelativeMs(75);
            second = KeWaitForSingleObject(&s.mutex, Executive, KernelMode, FALSE, &t);
            at = sim::Now();
        });
    LONGLONG start = sim::Now();
    caller.Join();
    EXPECT_EQ(second, STATUS_TIMEOUT);
    EXPECT_EQ(at - start, 75 * kMs);
    KeReleaseMutex(&s.mutex, FALSE);
}

struct Guarded
{
    KEVENT stop;
    bool unwound = false;
};
struct SetOnExit
{
    bool &flag;
    ~SetOnExit() { flag = true; }
};

TEST_F(KernelScheduler, TerminatingAThreadUnwindsItAndLeaksAreReported)
{
    Guarded g;
    KeInitializeEvent(&g.stop, NotificationEvent, FALSE);
    PVOID t = StartThread(
        [](PVOID p)
        {
            auto *g = static_cast<Guarded *>(p);
            SetOnExit guard{g->unwound};
            KeWaitForSingleObject(&g->stop, Executive, KernelMode, FALSE, nullptr);
            PsTerminateSystemThread(STATUS_SUCCESS);
        },
        &g);
    EXPECT_EQ(sim::RunningThreads(), 1u);
    KeSetEvent(&g.stop, 0, FALSE);
    KeWaitForSingleObject(t, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(g.unwound) << "guards of the thread routine run on the way out";
    ObDereferenceObject(t);
    sim::RunUntilIdle();
    EXPECT_EQ(sim::RunningThreads(), 0u);

    // A thread that ends holding a mutex is a fault of its own.
    KMUTEX m;
    KeInitializeMutex(&m, 0);
    ExpectViolation("a system thread ended holding 1 mutex(es)");
    PVOID t2 =
        StartThread([](PVOID p) { KeWaitForSingleObject(p, Executive, KernelMode, FALSE, nullptr); }, &m);
    KeWaitForSingleObject(t2, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(t2);
    sim::RunUntilIdle();
    EXPECT_TRUE(SawExpectedViolation("a system thread ended holding 1 mutex(es)"));

    // What a test leaves behind is listed: an open thread handle, a timer still set.
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(
                  &h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr),
              STATUS_SUCCESS);
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, RelativeMs(5), nullptr);
    sim::RunUntilIdle();
    std::string report = EndOfTestReport();
    EXPECT_NE(report.find("1 thread handle(s) left open"), std::string::npos) << report;
    EXPECT_NE(report.find("1 timer(s) still set"), std::string::npos) << report;
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
    KeCancelTimer(&timer);
    EXPECT_EQ(EndOfTestReport(), "");
}

// A system thread runs detached, so it may end as the program exits: what it gives back as it ends
// (its wait's wake, in a thread-local's destructor) comes after the program's statics are gone.
// ExitLate holds one such thread in its end until then: constructed before every default-priority
// static of the program, it is destroyed after all of them.
struct ExitLate
{
    ExitLate() {} // dynamic, so that the priority below places it
    ~ExitLate()
    {
        if (!armed)
            return;
        go = true;
        go.notify_one();
        done.wait(false);
    }
    std::atomic<bool> armed{false}, go{false}, done{false};
} g_exitLate __attribute__((init_priority(101)));

// The held thread's own thread-locals around the one the scheduler makes at its first wait: made
// before it, `Ended` is destroyed after it; made after it, `Held` is destroyed before it and waits.
struct Ended
{
    ~Ended()
    {
        g_exitLate.done = true;
        g_exitLate.done.notify_one();
    }
};
struct Held
{
    ~Held() { g_exitLate.go.wait(false); }
};

TEST_F(KernelScheduler, AThreadEndingAfterTheProgramsStaticsLeavesTheExitClean)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            KEVENT go;
            KeInitializeEvent(&go, NotificationEvent, FALSE);
            PVOID t = StartThread(
                [](PVOID event)
                {
                    thread_local Ended ended;
                    (void)ended;
                    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
                    thread_local Held held;
                    (void)held;
                },
                &go);
            sim::RunUntilIdle();
            KeSetEvent(&go, 0, FALSE);
            KeWaitForSingleObject(t, Executive, KernelMode, FALSE, nullptr);
            ObDereferenceObject(t);
            g_exitLate.armed = true;
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// Threads blocked on one thing each: an event of either kind, a mutex, a timer, another thread's
// end, a delay, a timeout. Each notes when its wait ended.
struct Blocked
{
    KEVENT notification, synchronization, never;
    KMUTEX mutex;
    KTIMER timer;
    PVOID first = nullptr; // the thread that waits for the notification event
    std::vector<LONGLONG> endedAt = std::vector<LONGLONG>(7, -1);
    NTSTATUS timeout = 0;
};

TEST_F(KernelScheduler, AWakeUpGoesOnlyToTheWaitsWhatChangedSatisfies)
{
    Blocked b;
    KeInitializeEvent(&b.notification, NotificationEvent, FALSE);
    KeInitializeEvent(&b.synchronization, SynchronizationEvent, FALSE);
    KeInitializeEvent(&b.never, NotificationEvent, FALSE);
    KeInitializeMutex(&b.mutex, 0);
    KeInitializeTimer(&b.timer);
    ASSERT_EQ(KeWaitForSingleObject(&b.mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    KeSetTimer(&b.timer, RelativeMs(30), nullptr);
    using Body = void (*)(Blocked &);
    static const Body bodies[] = {
        [](Blocked &b) { KeWaitForSingleObject(&b.notification, Executive, KernelMode, FALSE, nullptr); },
        [](Blocked &b) { KeWaitForSingleObject(&b.synchronization, Executive, KernelMode, FALSE, nullptr); },
        [](Blocked &b)
        {
            KeWaitForSingleObject(&b.mutex, Executive, KernelMode, FALSE, nullptr);
            KeReleaseMutex(&b.mutex, FALSE);
        },
        [](Blocked &b) { KeWaitForSingleObject(&b.timer, Executive, KernelMode, FALSE, nullptr); },
        [](Blocked &b) { KeWaitForSingleObject(b.first, Executive, KernelMode, FALSE, nullptr); },
        [](Blocked &)
        {
            LARGE_INTEGER d = RelativeMs(50);
            KeDelayExecutionThread(KernelMode, FALSE, &d);
        },
        [](Blocked &b)
        {
            LARGE_INTEGER t = RelativeMs(80);
            b.timeout = KeWaitForSingleObject(&b.never, Executive, KernelMode, FALSE, &t);
        },
    };
    struct Start
    {
        Blocked *b;
        size_t index;
    };
    std::vector<Start> starts;
    for (size_t i = 0; i < std::size(bodies); ++i)
        starts.push_back({&b, i});
    std::vector<PVOID> threads;
    for (Start &s : starts)
    {
        threads.push_back(StartThread(
            [](PVOID p)
            {
                auto *s = static_cast<Start *>(p);
                bodies[s->index](*s->b);
                s->b->endedAt[s->index] = sim::Now();
            },
            &s));
        if (!b.first)
            b.first = threads.back();
    }
    auto ended = [&]
    {
        sim::RunUntilIdle();
        std::vector<bool> v;
        for (LONGLONG t : b.endedAt)
            v.push_back(t >= 0);
        return v;
    };
    EXPECT_EQ(ended(), std::vector<bool>(7, false));

    KeSetEvent(&b.synchronization, 0, FALSE);
    EXPECT_EQ(ended(), (std::vector<bool>{false, true, false, false, false, false, false}));
    KeSetEvent(&b.notification, 0, FALSE);
    EXPECT_EQ(ended(), (std::vector<bool>{true, true, false, false, true, false, false}))
        << "the thread's end satisfies the wait for it";
    KeReleaseMutex(&b.mutex, FALSE);
    EXPECT_EQ(ended(), (std::vector<bool>{true, true, true, false, true, false, false}));
    sim::AdvanceMs(100);
    EXPECT_EQ(b.endedAt[3], 30 * kMs) << "the timer's expiry";
    EXPECT_EQ(b.endedAt[5], 50 * kMs) << "the delay's end";
    EXPECT_EQ(b.endedAt[6], 80 * kMs) << "the timeout";
    EXPECT_EQ(b.timeout, STATUS_TIMEOUT);
    EXPECT_EQ(sim::FruitlessWakeups(), 0u) << "every blocked thread woke only when its wait was satisfied";
    for (PVOID t : threads)
    {
        EXPECT_EQ(KeWaitForSingleObject(t, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        ObDereferenceObject(t);
    }

    // Two waiters for one synchronization event: both may wake, one finds it taken. That is the
    // count's one race, and it stays within one wake-up per set.
    KeInitializeEvent(&b.synchronization, SynchronizationEvent, FALSE);
    std::atomic<int> got{0};
    auto take = [&]
    {
        LARGE_INTEGER t = RelativeMs(10);
        got += KeWaitForSingleObject(&b.synchronization, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
    };
    sim::HostThread x(take), y(take);
    sim::RunUntilIdle();
    KeSetEvent(&b.synchronization, 0, FALSE);
    x.Join();
    y.Join();
    EXPECT_EQ(got.load(), 1);
    EXPECT_LE(sim::FruitlessWakeups(), 1u);
}

TEST_F(KernelScheduler, TheClockJumpsPastTimersThatWakeNobody)
{
    // A periodic timer no one waits on and a one-shot timer with no DPC: with every other thread
    // blocked, the test thread's delay alone still runs the clock to its end.
    KTIMER periodic, once;
    KeInitializeTimer(&periodic);
    KeInitializeTimer(&once);
    KeSetTimerEx(&periodic, RelativeMs(1), 1, nullptr);
    KeSetTimer(&once, RelativeMs(5), nullptr);
    sim::RunUntilIdle();
    const LONGLONG before = sim::Now();
    LARGE_INTEGER d = RelativeMs(50);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &d), STATUS_SUCCESS);
    EXPECT_EQ(sim::Now() - before, 50 * kMs);
    EXPECT_TRUE(KeReadStateTimer(&once));
    EXPECT_FALSE(KeCancelTimer(&once)) << "it fired on the way";
    EXPECT_TRUE(KeReadStateTimer(&periodic));
    EXPECT_TRUE(KeCancelTimer(&periodic));

    // A thread the clock does not count sets a timer while every counted thread waits: no wait of
    // theirs has a deadline, so the timer alone moves the clock, and its DPC ends the test's wait.
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(
        &dpc, [](KDPC *, PVOID ctx, PVOID, PVOID) { KeSetEvent(static_cast<PKEVENT>(ctx), 0, FALSE); },
        &done);
    KTIMER timer;
    KeInitializeTimer(&timer);
    std::thread outsider(
        [&]
        {
            sim::RunUntilIdle(); // returns once the test thread waits
            KeSetTimer(&timer, RelativeMs(10), &dpc);
        });
    const LONGLONG start = sim::Now();
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(sim::Now() - start, 10 * kMs);
    outsider.join();
    EXPECT_EQ(sim::FruitlessWakeups(), 0u);
}

TEST_F(KernelScheduler, RealTimeModeFollowsTheHostClock)
{
    sim::SetClockMode(sim::ClockMode::Real);
    LONGLONG start = sim::Now();
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -1; // 100 ns
    KeSetTimer(&timer, due, nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_GE(sim::Now() - start, 1);
    {
        auto v = ScopedExpectViolation("sim::Advance in real-time mode");
        sim::AdvanceMs(1);
    }
    sim::SetClockMode(sim::ClockMode::Virtual);
    LONGLONG frozen = sim::Now();
    EXPECT_EQ(sim::Now(), frozen);
}

} // namespace

namespace
{
class KernelSyncEvent : public KernelTest
{
};

TEST_F(KernelSyncEvent, OneSetWakesExactlyOneOfTwoWaiters)
{
    KEVENT e;
    KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0}, timedOut{0};
    auto waiter = [&]
    {
        LARGE_INTEGER t;
        t.QuadPart = -1000LL * 10000; // 1 s
        if (KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS)
            ++woken;
        else
            ++timedOut;
    };
    sim::HostThread a(waiter), b(waiter);
    sim::RunUntilIdle(); // both are waiting now
    KeSetEvent(&e, 0, FALSE);
    a.Join();
    b.Join();
    EXPECT_EQ(woken.load(), 1);
    EXPECT_EQ(timedOut.load(), 1);
    EXPECT_EQ(KeReadStateEvent(&e), 0) << "the satisfied wait reset the event";
}
} // namespace
