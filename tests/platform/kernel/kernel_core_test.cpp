// The kernel stand-in's own guarantees: misuse is caught, time is virtual, waits and callbacks follow
// the kernel's rules, and pool injection hits exactly the allocation asked for.
#include "support/kernel_test.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>
#include <xmmintrin.h>

namespace
{

class KernelCore : public KernelTest
{
};

LARGE_INTEGER RelativeMs(LONGLONG ms)
{
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

TEST_F(KernelCore, MisuseAtDispatchLevelFailsWithAClearMessage)
{
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    ExpectViolation("a wait at DISPATCH_LEVEL");
    AtDispatch(
        [&]
        {
            LARGE_INTEGER t = RelativeMs(1);
            KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
        });
    EXPECT_TRUE(SawExpectedViolation("a wait at DISPATCH_LEVEL"));

    // A zero-timeout poll is legal at DISPATCH_LEVEL.
    AtDispatch(
        [&]
        {
            LARGE_INTEGER zero{};
            EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
        });

    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    ExpectViolation("recursive acquisition of a spin lock");
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_TRUE(SawExpectedViolation("recursive acquisition of a spin lock"));
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    ExpectViolation("paged pool allocation");
    void *paged = nullptr;
    AtDispatch([&] { paged = ExAllocatePoolWithTag(PagedPool, 8, MakePoolTag("Test")); });
    EXPECT_TRUE(SawExpectedViolation("paged pool allocation"));
    ExFreePool(paged);

    KMUTEX m;
    KeInitializeMutex(&m, 0);
    {
        auto v = ScopedExpectViolation("mutexes only below DISPATCH_LEVEL");
        AtDispatch([&] { KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr); });
    }
    KeReleaseMutex(&m, FALSE);

    // A blocking delay at DISPATCH_LEVEL is the same fault as a wait.
    {
        auto v = ScopedExpectViolation("KeDelayExecutionThread at IRQL 2");
        AtDispatch(
            [&]
            {
                LARGE_INTEGER t = RelativeMs(1);
                KeDelayExecutionThread(KernelMode, FALSE, &t);
            });
    }
}

VOID CountDpc(KDPC *, PVOID ctx, PVOID, PVOID)
{
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    ++*static_cast<int *>(ctx);
}

TEST_F(KernelCore, TimersRunOnVirtualTime)
{
    KTIMER timer;
    KDPC dpc;
    int fired = 0;
    KeInitializeTimerEx(&timer, NotificationTimer);
    KeInitializeDpc(&dpc, CountDpc, &fired);
    auto realStart = std::chrono::steady_clock::now();
    LONGLONG start = sim::Now();
    KeSetTimerEx(&timer, RelativeMs(5000), 0, &dpc);
    sim::AdvanceMs(4999);
    EXPECT_EQ(fired, 0);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    sim::AdvanceMs(1);
    EXPECT_EQ(fired, 1);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_EQ(sim::Now() - start, 5000LL * 10000);
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(1));

    // A wait with a timeout moves the clock by itself when nothing else can run.
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER t = RelativeMs(500);
    LONGLONG before = sim::Now();
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    EXPECT_EQ(sim::Now() - before, 500LL * 10000);

    // Periodic timers re-signal; cancel reports whether the timer was set.
    KeSetTimerEx(&timer, RelativeMs(50), 50, &dpc);
    sim::AdvanceMs(200);
    EXPECT_EQ(fired, 5);
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
}

TEST_F(KernelCore, EventsAndMultipleWaits)
{
    KEVENT sync, note;
    KeInitializeEvent(&sync, SynchronizationEvent, FALSE);
    KeInitializeEvent(&note, NotificationEvent, FALSE);
    LARGE_INTEGER zero{};
    KeSetEvent(&sync, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT)
        << "a synchronization event satisfies one wait and resets";
    KeSetEvent(&note, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&note, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&note, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);

    KEVENT a, b, c;
    KeInitializeEvent(&a, NotificationEvent, FALSE);
    KeInitializeEvent(&b, SynchronizationEvent, TRUE);
    KeInitializeEvent(&c, NotificationEvent, TRUE);
    PVOID objs[3] = {&a, &b, &c};
    EXPECT_EQ(KeWaitForMultipleObjects(3, objs, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_WAIT_0 + 1);
    EXPECT_EQ(KeReadStateEvent(&b), 0) << "the satisfying synchronization event was reset";
    EXPECT_EQ(KeWaitForMultipleObjects(3, objs, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_WAIT_0 + 2);
}

struct StopContext
{
    KEVENT stop;
    int loops = 0;
};

VOID StoppableThread(PVOID p)
{
    auto *ctx = static_cast<StopContext *>(p);
    for (;;)
    {
        LARGE_INTEGER t = RelativeMs(100);
        if (KeWaitForSingleObject(&ctx->stop, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS)
            PsTerminateSystemThread(STATUS_SUCCESS);
        ++ctx->loops;
    }
}

TEST_F(KernelCore, ThreadStoppedByItsEventSignalsItsExit)
{
    StopContext ctx;
    KeInitializeEvent(&ctx.stop, NotificationEvent, FALSE);
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, StoppableThread, &ctx),
              STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(h); // the object outlives the handle
    KeSetPriorityThread(static_cast<PKTHREAD>(thread), 24);
    EXPECT_EQ(sim::ThreadPriority(thread), 24);
    sim::AdvanceMs(1000);
    EXPECT_EQ(ctx.loops, 10);
    KeSetEvent(&ctx.stop, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    sim::RunUntilIdle();
    EXPECT_EQ(sim::RunningThreads(), 0u);

    sim::InjectThreadCreateFailure(true);
    EXPECT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, StoppableThread, &ctx),
              STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(KernelCore, MutexIsRecursiveForItsOwnerAndPollsForOthers)
{
    KMUTEX m;
    KeInitializeMutex(&m, 0);
    EXPECT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    NTSTATUS other = 0;
    std::thread(
        [&]
        {
            LARGE_INTEGER zero{};
            other = KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, &zero);
        })
        .join();
    EXPECT_EQ(other, STATUS_TIMEOUT);
    KeReleaseMutex(&m, FALSE);
    KeReleaseMutex(&m, FALSE);
    std::thread(
        [&]
        {
            LARGE_INTEGER zero{};
            other = KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, &zero);
            KeReleaseMutex(&m, FALSE);
        })
        .join();
    EXPECT_EQ(other, STATUS_SUCCESS);
}

struct Delivery
{
    std::vector<int> order;
};
VOID First(PVOID ctx, PVOID a1, PVOID)
{
    static_cast<Delivery *>(ctx)->order.push_back(1 + 10 * *static_cast<int *>(a1));
}
VOID Second(PVOID ctx, PVOID a1, PVOID)
{
    static_cast<Delivery *>(ctx)->order.push_back(2 + 10 * *static_cast<int *>(a1));
}

TEST_F(KernelCore, CallbackObjectsAreNamedCaseInsensitivelyAndDeliverInOrder)
{
    UNICODE_STRING n1, n2;
    RtlInitUnicodeString(&n1, u"\\Callback\\AudioHalAddr0000000000001234");
    RtlInitUnicodeString(&n2, u"\\CALLBACK\\audiohaladdr0000000000001234");
    OBJECT_ATTRIBUTES a1, a2;
    InitializeObjectAttributes(&a1, &n1, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    InitializeObjectAttributes(&a2, &n2, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    PCALLBACK_OBJECT o1, o2;
    ASSERT_EQ(ExCreateCallback(&o1, &a1, TRUE, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(ExCreateCallback(&o2, &a2, FALSE, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(o1, o2);
    Delivery d;
    PVOID r1 = ExRegisterCallback(o1, First, &d);
    PVOID r2 = ExRegisterCallback(o2, Second, &d);
    int msg = 7;
    ExNotifyCallback(o1, &msg, nullptr);
    EXPECT_EQ(d.order, (std::vector<int>{71, 72})) << "synchronous, in registration order";
    ExUnregisterCallback(r1);
    ExUnregisterCallback(r2);
    ObDereferenceObject(o1);
    ObDereferenceObject(o2);
    EXPECT_TRUE(sim::LiveNamedObjects().empty());

    // A permanent object that is only dereferenced stays behind, and the end-of-test check says so.
    InitializeObjectAttributes(&a1, &n1, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr, nullptr);
    ASSERT_EQ(ExCreateCallback(&o1, &a1, TRUE, TRUE), STATUS_SUCCESS);
    ObDereferenceObject(o1);
    EXPECT_NE(EndOfTestReport().find("never freed"), std::string::npos);
    ASSERT_EQ(ExCreateCallback(&o1, &a1, FALSE, TRUE), STATUS_SUCCESS);
    ObMakeTemporaryObject(o1);
    ObDereferenceObject(o1);
    EXPECT_TRUE(sim::LiveNamedObjects().empty());
}

TEST_F(KernelCore, PoolInjectionAndAccounting)
{
    const ULONG tag = MakePoolTag("Test");
    sim::FailAllocation(3);
    void *p1 = ExAllocatePoolWithTag(NonPagedPool, 16, tag);
    void *p2 = ExAllocatePoolWithTag(NonPagedPool, 16, tag);
    void *p3 = ExAllocatePoolWithTag(NonPagedPool, 16, tag);
    void *p4 = ExAllocatePoolWithTag(NonPagedPool, 16, tag);
    EXPECT_NE(p1, nullptr);
    EXPECT_NE(p2, nullptr);
    EXPECT_EQ(p3, nullptr) << "exactly the third allocation fails";
    EXPECT_NE(p4, nullptr);
    EXPECT_EQ(sim::pool::OutstandingBlocks(tag), 3u);
    EXPECT_EQ(sim::pool::OutstandingBytes(tag), 48u);
    EXPECT_NE(sim::pool::LeakReport().find("'Test' 3 block(s), 48 bytes"), std::string::npos);
    ExFreePoolWithTag(p1, tag);
    ExFreePool(p2);
    ExpectViolation("does not match block tag");
    ExFreePoolWithTag(p4, MakePoolTag("Othr"));
    EXPECT_TRUE(SawExpectedViolation("does not match block tag"));
    ExpectViolation("not a live pool block");
    ExFreePool(p4);
    EXPECT_TRUE(SawExpectedViolation("not a live pool block"));

    sim::pool::FailTag(tag);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 1, tag), nullptr);
    void *other = ExAllocatePoolWithTag(NonPagedPool, 1, MakePoolTag("Othr"));
    EXPECT_NE(other, nullptr);
    ExFreePool(other);
}

// Thousands of live blocks, freed in a scrambled order: the pool tracks each one (counts and bytes per
// tag against a model), frees each live block once and reports a second free or a pointer it never
// handed out, however its table of live blocks grew and moved entries on the way.
TEST_F(KernelCore, PoolTracksManyBlocksFreedInAnyOrder)
{
    const ULONG tags[2] = {MakePoolTag("TstA"), MakePoolTag("TstB")};
    struct Block
    {
        void *p;
        ULONG tag;
        size_t bytes;
    };
    std::vector<Block> live;
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 8) & 0xFFFFFF; };
    auto agrees = [&]
    {
        for (ULONG tag : tags)
        {
            size_t blocks = 0, bytes = 0;
            for (const Block &b : live)
                if (b.tag == tag)
                    ++blocks, bytes += b.bytes;
            EXPECT_EQ(sim::pool::OutstandingBlocks(tag), blocks);
            EXPECT_EQ(sim::pool::OutstandingBytes(tag), bytes);
        }
    };
    auto allocate = [&](size_t n)
    {
        for (size_t i = 0; i < n; ++i)
        {
            const ULONG tag = tags[next() & 1];
            const size_t bytes = 1 + next() % 200;
            void *p = ExAllocatePoolWithTag(NonPagedPool, bytes, tag);
            ASSERT_NE(p, nullptr);
            live.push_back({p, tag, bytes});
        }
    };
    allocate(3000);
    agrees();
    for (int round = 0; round < 6; ++round)
    {
        // Free about half, in a scrambled order; every freed block is then not live any more.
        std::vector<Block> freed;
        for (size_t n = live.size() / 2; n > 0; --n)
        {
            const size_t at = next() % live.size();
            ExFreePoolWithTag(live[at].p, live[at].tag);
            freed.push_back(live[at]);
            live[at] = live.back();
            live.pop_back();
        }
        agrees();
        const Block &again = freed[next() % freed.size()];
        ExpectViolation("not a live pool block");
        ExFreePool(again.p);
        EXPECT_TRUE(SawExpectedViolation("not a live pool block"));
        allocate(1000);
        agrees();
    }
    int onTheStack = 0;
    ExpectViolation("not a live pool block");
    ExFreePool(&onTheStack);
    EXPECT_TRUE(SawExpectedViolation("not a live pool block"));
    ExpectViolation("not a live pool block");
    ExFreePool(static_cast<char *>(live.front().p) + 16);
    EXPECT_TRUE(SawExpectedViolation("not a live pool block"));
    for (const Block &b : live)
        ExFreePoolWithTag(b.p, b.tag);
    live.clear();
    agrees();
}

// Sizes no pool holds are refused, among them those whose block total (header, guard and alignment
// added) would wrap to a small allocation that the fill then overruns; a megabyte still allocates.
TEST_F(KernelCore, PoolRefusesSizesPastItsBoundWithoutWrapping)
{
    const ULONG tag = MakePoolTag("Huge");
    for (SIZE_T bytes :
         {SIZE_T(-1), SIZE_T(-1) - 16, SIZE_T(-1) - 4096, SIZE_T(-1) - 3 * 4096, SIZE_T(-1) / 2 + 1})
        for (POOL_TYPE type : {NonPagedPool, NonPagedPoolCacheAligned, PagedPool})
            EXPECT_EQ(ExAllocatePoolWithTag(type, bytes, tag), nullptr) << bytes << " bytes, type " << type;
    EXPECT_EQ(sim::pool::OutstandingBlocks(tag), 0u);
    void *block = ExAllocatePoolWithTag(NonPagedPool, SIZE_T(1) << 20, tag);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(sim::pool::OutstandingBytes(tag), SIZE_T(1) << 20);
    ExFreePoolWithTag(block, tag);
}

TEST_F(KernelCore, BoundedFormatting)
{
    char narrow[16];
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof narrow, "%s%02d_%2d_", "Unit", 3, 4), STATUS_SUCCESS);
    EXPECT_STREQ(narrow, "Unit03_ 4_");
    EXPECT_EQ(RtlStringCbPrintfA(narrow, 6, "%d", 1234567), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "12345");
    EXPECT_EQ(RtlStringCbPrintfA(narrow, 0, "x"), STATUS_INVALID_PARAMETER);

    WCHAR wide[64];
    EXPECT_EQ(RtlStringCbPrintfW(wide, sizeof wide, u"\\Callback\\X%p", reinterpret_cast<void *>(0xAB)),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(wide),
              sizeof(void *) == 8 ? u"\\Callback\\X00000000000000AB" : u"\\Callback\\X000000AB");
    EXPECT_EQ(RtlStringCbPrintfW(wide, sizeof wide, u"%sOut%02d %S", u"HP", 0, "n"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(wide), u"HPOut00 n");
    EXPECT_EQ(RtlStringCbPrintfW(wide, 1, u"x"), STATUS_INVALID_PARAMETER) << "below one character";

    DbgPrint("%s Tag not PCM\n", "SetFormat");
    DbgPrint("part ");
    DbgPrint("two\n");
    EXPECT_TRUE(sim::DebugLogContains("SetFormat Tag not PCM\n"));
    EXPECT_TRUE(sim::DebugLogContains("part two\n"));
}

TEST_F(KernelCore, FloatingPointSaveRestoresAndCanFail)
{
    KFLOATING_SAVE s;
    unsigned before = _mm_getcsr();
    ASSERT_EQ(KeSaveFloatingPointState(&s), STATUS_SUCCESS);
    _mm_setcsr(before | 0x8000);
    KeRestoreFloatingPointState(&s);
    EXPECT_EQ(_mm_getcsr(), before);
    sim::FailFloatingPointSave(1);
    EXPECT_FALSE(NT_SUCCESS(KeSaveFloatingPointState(&s)));
    EXPECT_EQ(KeSaveFloatingPointState(&s), STATUS_SUCCESS);
    KeRestoreFloatingPointState(&s);
}

VOID RecordWork(PDEVICE_OBJECT, PVOID ctx)
{
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    ++*static_cast<int *>(ctx);
}

VOID BlockWork(PDEVICE_OBJECT, PVOID ctx)
{
    KeWaitForSingleObject(ctx, Executive, KernelMode, FALSE, nullptr); // PASSIVE_LEVEL: may wait
}

TEST_F(KernelCore, WorkItemsRunAtPassiveAndCannotBeQueuedTwice)
{
    int runs = 0;
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    PIO_WORKITEM first = IoAllocateWorkItem(nullptr);
    PIO_WORKITEM second = IoAllocateWorkItem(nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    // The worker runs one item at a time: while the first waits, the second stays queued.
    IoQueueWorkItem(first, BlockWork, DelayedWorkQueue, &go);
    AtDispatch([&] { IoQueueWorkItem(second, RecordWork, DelayedWorkQueue, &runs); });
    {
        auto v = ScopedExpectViolation("IoQueueWorkItem: the work item is still queued");
        IoQueueWorkItem(second, RecordWork, DelayedWorkQueue, &runs);
    }
    {
        auto v = ScopedExpectViolation("IoFreeWorkItem: the work item is still queued");
        IoFreeWorkItem(second);
    }
    sim::RunUntilIdle();
    EXPECT_EQ(runs, 0);
    KeSetEvent(&go, 0, FALSE);
    sim::RunUntilIdle();
    EXPECT_EQ(runs, 1);
    IoQueueWorkItem(second, RecordWork, DelayedWorkQueue, &runs);
    sim::RunUntilIdle();
    EXPECT_EQ(runs, 2) << "an item that ran may be queued again";
    IoFreeWorkItem(first);
    IoFreeWorkItem(second);
    sim::FailAllocation(1);
    EXPECT_EQ(IoAllocateWorkItem(nullptr), nullptr);
}

} // namespace
