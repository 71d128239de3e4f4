// Callback objects under concurrency, the pool's misuse checks, lists, and the string functions
// against the platform's documented results.
#include "support/kernel_test.h"

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace
{

class KernelCallback : public KernelTest
{
};
class KernelPool : public KernelTest
{
};
class KernelStrings : public KernelTest
{
};

OBJECT_ATTRIBUTES Named(UNICODE_STRING &name, PCWSTR text, ULONG attributes)
{
    RtlInitUnicodeString(&name, text);
    OBJECT_ATTRIBUTES a;
    InitializeObjectAttributes(&a, &name, attributes, nullptr, nullptr);
    return a;
}

// A registration whose callback blocks until released, to catch an unregister that does not wait.
struct SlowClient
{
    KEVENT entered, release;
    std::atomic<int> calls{0};
    std::atomic<bool> finished{false};
    static VOID Callback(PVOID ctx, PVOID, PVOID)
    {
        auto *c = static_cast<SlowClient *>(ctx);
        ++c->calls;
        KeSetEvent(&c->entered, 0, FALSE);
        KeWaitForSingleObject(&c->release, Executive, KernelMode, FALSE, nullptr);
        c->finished = true;
    }
};

TEST_F(KernelCallback, UnregisterWaitsForTheCallbackInProgress)
{
    UNICODE_STRING n;
    OBJECT_ATTRIBUTES a = Named(n, u"\\Callback\\StreamEngineAddr00000000CAFE0000", OBJ_CASE_INSENSITIVE);
    PCALLBACK_OBJECT o;
    ASSERT_EQ(ExCreateCallback(&o, &a, TRUE, TRUE), STATUS_SUCCESS);
    SlowClient c;
    KeInitializeEvent(&c.entered, NotificationEvent, FALSE);
    KeInitializeEvent(&c.release, NotificationEvent, FALSE);
    PVOID reg = ExRegisterCallback(o, SlowClient::Callback, &c);
    ASSERT_NE(reg, nullptr);

    sim::HostThread notifier([&] { ExNotifyCallback(o, nullptr, nullptr); });
    KeWaitForSingleObject(&c.entered, Executive, KernelMode, FALSE, nullptr);
    bool unregistered = false;
    sim::HostThread remover(
        [&]
        {
            ExUnregisterCallback(reg);
            unregistered = true;
        });
    sim::RunUntilIdle(); // both threads blocked: the callback on its event, the remover on the callback
    EXPECT_FALSE(unregistered) << "unregister returned while the callback was still running";
    KeSetEvent(&c.release, 0, FALSE);
    remover.Join();
    notifier.Join();
    EXPECT_TRUE(unregistered);
    EXPECT_TRUE(c.finished);
    ExNotifyCallback(o, nullptr, nullptr);
    EXPECT_EQ(c.calls, 1) << "no delivery after unregister";
    ObDereferenceObject(o);
    EXPECT_TRUE(sim::LiveNamedObjects().empty());
}

struct Chain
{
    std::vector<std::string> seen;
    PVOID selfReg = nullptr;
    PCALLBACK_OBJECT other = nullptr;
};

TEST_F(KernelCallback, DeliveryRunsInTheCallersContextAndSurvivesReentry)
{
    UNICODE_STRING n1, n2;
    OBJECT_ATTRIBUTES a1 = Named(n1, u"\\Callback\\CyclicControlAddr0000000000000010", OBJ_CASE_INSENSITIVE);
    OBJECT_ATTRIBUTES a2 = Named(n2, u"\\Callback\\AudioHalAddr0000000000000020", OBJ_CASE_INSENSITIVE);
    PCALLBACK_OBJECT o1, o2;
    ASSERT_EQ(ExCreateCallback(&o1, &a1, TRUE, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(ExCreateCallback(&o2, &a2, TRUE, FALSE), STATUS_SUCCESS);
    Chain chain;
    chain.other = o2;
    // The first registration notifies another object from inside its callback (a message that causes
    // a control change); the second records the IRQL it was called at.
    PVOID r1 = ExRegisterCallback(
        o1,
        [](PVOID ctx, PVOID a1, PVOID)
        {
            auto *c = static_cast<Chain *>(ctx);
            c->seen.push_back("first " + std::to_string(*static_cast<int *>(a1)));
            ExNotifyCallback(c->other, a1, nullptr);
        },
        &chain);
    PVOID r2 = ExRegisterCallback(
        o1,
        [](PVOID ctx, PVOID, PVOID)
        { static_cast<Chain *>(ctx)->seen.push_back("second at " + std::to_string(KeGetCurrentIrql())); },
        &chain);
    PVOID r3 = ExRegisterCallback(
        o2, [](PVOID ctx, PVOID, PVOID) { static_cast<Chain *>(ctx)->seen.push_back("hal"); }, &chain);
    EXPECT_EQ(ExRegisterCallback(
                  o2, [](PVOID, PVOID, PVOID) {}, nullptr),
              nullptr)
        << "an object created without multiple callbacks takes one registration";
    int msg = 5;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExNotifyCallback(o1, &msg, nullptr);
    KeLowerIrql(old);
    EXPECT_EQ(chain.seen, (std::vector<std::string>{"first 5", "hal", "second at 2"}));

    // Unregistering from inside the callback itself would wait for itself on the platform.
    chain.seen.clear();
    ExUnregisterCallback(r1);
    PVOID r4 = ExRegisterCallback(
        o1, [](PVOID ctx, PVOID, PVOID) { ExUnregisterCallback(static_cast<Chain *>(ctx)->selfReg); },
        &chain);
    chain.selfReg = r4;
    {
        auto v = ScopedExpectViolation("from inside its own callback");
        ExNotifyCallback(o1, &msg, nullptr);
    }
    EXPECT_EQ(chain.seen, (std::vector<std::string>{"second at 0"}));
    {
        auto v = ScopedExpectViolation("not a live registration");
        ExUnregisterCallback(r4);
    }
    ExUnregisterCallback(r2);
    ExUnregisterCallback(r3);
    ObDereferenceObject(o1);
    ObDereferenceObject(o2);

    PCALLBACK_OBJECT missing;
    UNICODE_STRING n3;
    OBJECT_ATTRIBUTES a3 = Named(n3, u"\\Callback\\Nobody", OBJ_CASE_INSENSITIVE);
    EXPECT_EQ(ExCreateCallback(&missing, &a3, FALSE, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);

    // A permanent object left in the namespace is named in the end-of-test report.
    OBJECT_ATTRIBUTES ap = Named(n3, u"\\Callback\\Left", OBJ_CASE_INSENSITIVE | OBJ_PERMANENT);
    PCALLBACK_OBJECT perm;
    ASSERT_EQ(ExCreateCallback(&perm, &ap, TRUE, TRUE), STATUS_SUCCESS);
    ObDereferenceObject(perm);
    std::string report = EndOfTestReport();
    EXPECT_NE(report.find("\\CALLBACK\\LEFT (permanent)"), std::string::npos) << report;
    ObMakeTemporaryObject(perm);
    EXPECT_EQ(EndOfTestReport(), "");
}

TEST_F(KernelPool, BlocksAreAlignedGuardedAndChecked)
{
    const ULONG tag = MakePoolTag("TERT");
    void *cache = ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 10, tag);
    void *plain = ExAllocatePoolWithTag(NonPagedPool, 3, tag);
    ASSERT_NE(cache, nullptr);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(cache) % 64, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(plain) % 16, 0u);
    EXPECT_EQ(static_cast<uint8_t *>(plain)[0], 0xCD) << "fresh pool is not zeroed";
    ExFreePoolWithTag(cache, tag);

    // Writing one byte past the end is found at free, with the block's size and tag.
    static_cast<uint8_t *>(plain)[3] = 0;
    {
        auto v = ScopedExpectViolation("a write ran past the end of the 3-byte block with tag TERT");
        ExFreePoolWithTag(plain, tag);
    }

    // Paged pool is freed below DISPATCH_LEVEL too; freeing a stack address is caught.
    void *paged = ExAllocatePoolWithTag(PagedPool, 8, tag);
    {
        auto v = ScopedExpectViolation("paged pool (tag TERT) freed at IRQL 2");
        AtDispatch([&] { ExFreePool(paged); });
    }
    int local = 0;
    {
        auto v = ScopedExpectViolation("not a live pool block");
        ExFreePool(&local);
    }
    EXPECT_EQ(sim::Outstanding(), 0u);
}

// An operation with several allocations that must undo what it did when any of them fails.
NTSTATUS BuildThree(void **out)
{
    const ULONG tag = MakePoolTag("DSPS");
    void *a = ExAllocatePoolWithTag(NonPagedPool, 32, tag);
    if (!a)
        return STATUS_INSUFFICIENT_RESOURCES;
    void *b = ExAllocatePoolWithTag(PagedPool, 64, tag);
    if (!b)
    {
        ExFreePoolWithTag(a, tag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    void *c = ExAllocatePoolWithTag(NonPagedPool, 16, MakePoolTag("SRCX"));
    if (!c)
    {
        ExFreePoolWithTag(b, tag);
        ExFreePoolWithTag(a, tag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    out[0] = a;
    out[1] = b;
    out[2] = c;
    return STATUS_SUCCESS;
}

TEST_F(KernelPool, EachAllocationCanBeFailedInTurn)
{
    void *blocks[3];
    size_t before = sim::Allocations();
    ASSERT_EQ(BuildThree(blocks), STATUS_SUCCESS);
    size_t n = sim::Allocations() - before;
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(sim::pool::OutstandingBytes(MakePoolTag("DSPS")), 96u);
    EXPECT_EQ(sim::pool::OutstandingBlocks(MakePoolTag("SRCX")), 1u);
    for (void *p : blocks)
        ExFreePool(p);
    for (unsigned k = 1; k <= n; ++k)
    {
        sim::FailAllocation(k);
        EXPECT_EQ(BuildThree(blocks), STATUS_INSUFFICIENT_RESOURCES) << "allocation " << k;
        EXPECT_EQ(sim::Outstanding(), 0u) << "allocation " << k << " failed and left blocks behind";
    }
    EXPECT_EQ(sim::pool::InjectedFailures(), n);

    // Failing a tag spares the others; clearing the injection restores them.
    sim::pool::FailTag(MakePoolTag("SRCX"));
    EXPECT_EQ(BuildThree(blocks), STATUS_INSUFFICIENT_RESOURCES);
    sim::pool::ClearInjection();
    ASSERT_EQ(BuildThree(blocks), STATUS_SUCCESS);
    EXPECT_EQ(sim::pool::LeakReport(),
              "pool leak: 'DSPS' 2 block(s), 96 bytes; 'SRCX' 1 block(s), 16 bytes;");
    for (void *p : blocks)
        ExFreePool(p);
    EXPECT_EQ(sim::pool::LeakReport(), "");
}

TEST_F(KernelPool, ListCorruptionEndsTheProcessAtOnce)
{
    LIST_ENTRY head, a, b;
    InitializeListHead(&head);
    InsertTailList(&head, &a);
    InsertTailList(&head, &b);
    EXPECT_EQ(head.Flink, &a);
    EXPECT_EQ(head.Blink, &b);
    EXPECT_FALSE(RemoveEntryList(&a));
    EXPECT_TRUE(RemoveEntryList(&b)) << "the list became empty";
    EXPECT_TRUE(IsListEmpty(&head));
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // The process ends here, before TearDown: its own folder goes first.
            std::filesystem::remove_all(dir);
            InsertTailList(&head, &a);
            a.Blink = &b; // a stray write into a link
            RemoveEntryList(&a);
        },
        ::testing::ExitedWithCode(0x40 + FAST_FAIL_CORRUPT_LIST_ENTRY), "fast fail, code 3");
}

TEST_F(KernelStrings, BoundedFormattingFollowsTheSafeStringRules)
{
    // A wide size below 2 bytes is refused and the buffer stays as it was.
    WCHAR w[8] = {u'x', u'y', 0};
    EXPECT_EQ(RtlStringCbPrintfW(w, 1, u"%d", 5), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(std::u16string(w), u"xy");
    // Exactly size/2 - 1 characters fit; the cut text is terminated and reported.
    EXPECT_EQ(RtlStringCbPrintfW(w, 11, u"%s%d", u"Name", 12345), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(w), u"Name");
    EXPECT_EQ(RtlStringCbPrintfW(w, 2, u"abc"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(w[0], 0);
    EXPECT_EQ(RtlStringCbPrintfW(w, sizeof w, u"%s%d", u"Gain", 7), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(w), u"Gain7");

    // The conversions the driver's names and messages use, against the C library where it agrees.
    char a[128], ref[128];
    EXPECT_EQ(RtlStringCbPrintfA(a, sizeof a, "%02d|%2d|%d|%u|%x|%X|%08x|%-4d|%+d|%c|%%", 7, 7, -42,
                                 4000000000u, 0xbeef, 0xbeef, 0x1F, 3, 9, 'Z'),
              STATUS_SUCCESS);
    std::snprintf(ref, sizeof ref, "%02d|%2d|%d|%u|%x|%X|%08x|%-4d|%+d|%c|%%", 7, 7, -42, 4000000000u, 0xbeef,
                  0xbeef, 0x1F, 3, 9, 'Z');
    EXPECT_STREQ(a, ref);
    EXPECT_EQ(RtlStringCbPrintfA(a, sizeof a, "%02d %2d %03d", -5, 123, 5), STATUS_SUCCESS);
    EXPECT_STREQ(a, "-5 123 005");
    EXPECT_EQ(RtlStringCbPrintfA(a, sizeof a, "%ws/%S/%s/%ls", u"wide", u"Wide", "narrow", u"long"),
              STATUS_SUCCESS);
    EXPECT_STREQ(a, "wide/Wide/narrow/long");
    EXPECT_EQ(RtlStringCbPrintfA(a, sizeof a, "%p", reinterpret_cast<void *>(uintptr_t(0x12AB))),
              STATUS_SUCCESS);
    EXPECT_STREQ(a, sizeof(void *) == 8 ? "00000000000012AB" : "000012AB") << "two digits a pointer byte";
    EXPECT_EQ(RtlStringCbPrintfA(a, sizeof a, "%I64d %lld %lu", -(1LL << 40), 1LL << 40, ULONG(0xFFFFFFFF)),
              STATUS_SUCCESS);
    EXPECT_STREQ(a, "-1099511627776 1099511627776 4294967295");
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, u"Counted");
    us.Length = 8; // four characters, not terminated there
    EXPECT_EQ(RtlStringCbPrintfA(a, sizeof a, "[%wZ]", &us), STATUS_SUCCESS);
    EXPECT_STREQ(a, "[Coun]");

    // The callback-object name: an address of every digit (16 on 64 bits, 8 on the 32-bit target)
    // fits the driver's 100-byte buffer.
    WCHAR name[50];
    EXPECT_EQ(RtlStringCbPrintfW(name, sizeof name, u"\\Callback\\CyclicControlAddr%p",
                                 reinterpret_cast<void *>(uintptr_t(0xFFFF8000DEADBEEFull))),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), std::u16string(u"\\Callback\\CyclicControlAddr") +
                                        (sizeof(void *) == 8 ? u"FFFF8000DEADBEEF" : u"DEADBEEF"));
    size_t cb = 0;
    EXPECT_EQ(RtlStringCbLengthW(name, sizeof name, &cb), STATUS_SUCCESS);
    EXPECT_EQ(cb, 2 * std::u16string(name).size());
    // No terminator within the size: refused with a length of 0.
    WCHAR full[3] = {u'a', u'b', u'c'};
    cb = 99;
    EXPECT_EQ(RtlStringCbLengthW(full, sizeof full, &cb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(cb, 0u);
    EXPECT_EQ(RtlStringCbLengthW(nullptr, 10, &cb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbLengthA("abc", 4, &cb), STATUS_SUCCESS);
    EXPECT_EQ(cb, 3u);
}

TEST_F(KernelStrings, CountedStringsCompareConvertAndCopy)
{
    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, u"Speakers");
    RtlInitUnicodeString(&b, u"SPEAKERS");
    EXPECT_EQ(a.Length, 16);
    EXPECT_EQ(a.MaximumLength, 18);
    EXPECT_NE(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    UNICODE_STRING shorter;
    RtlInitUnicodeString(&shorter, u"Speak");
    EXPECT_GT(RtlCompareUnicodeString(&a, &shorter, TRUE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&shorter, &a, TRUE), 0);
    UNICODE_STRING empty;
    RtlInitUnicodeString(&empty, nullptr);
    EXPECT_EQ(empty.Length, 0);
    EXPECT_EQ(empty.Buffer, nullptr);

    // Allocating conversions come from pool and go back with the free functions.
    UNICODE_STRING up;
    ASSERT_EQ(RtlUpcaseUnicodeString(&up, &a, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(up.Buffer, up.Length / 2), u"SPEAKERS");
    ANSI_STRING ansi;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &up, TRUE), STATUS_SUCCESS);
    EXPECT_STREQ(ansi.Buffer, "SPEAKERS");
    EXPECT_EQ(ansi.Length, 8);
    UNICODE_STRING back;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&back, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(RtlEqualUnicodeString(&back, &b, FALSE));
    EXPECT_GT(sim::Outstanding(), 0u);
    RtlFreeUnicodeString(&up);
    RtlFreeAnsiString(&ansi);
    RtlFreeUnicodeString(&back);
    EXPECT_EQ(sim::Outstanding(), 0u);
    sim::FailAllocation(1);
    EXPECT_EQ(RtlUpcaseUnicodeString(&up, &a, TRUE), STATUS_INSUFFICIENT_RESOURCES);

    // Caller buffers: copies are cut to the room there is and terminated when there is room.
    WCHAR buf[6];
    UNICODE_STRING dst{0, sizeof buf, buf};
    RtlCopyUnicodeString(&dst, &a);
    EXPECT_EQ(dst.Length, sizeof buf);
    EXPECT_EQ(std::u16string(buf, 6), u"Speake");
    dst.Length = 0;
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, u"Mic"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, u"In"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, u"XY"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::u16string(buf, dst.Length / 2), u"MicIn");

    WCHAR small[4];
    EXPECT_EQ(RtlStringCbCopyW(small, sizeof small, u"HeadSet"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(small), u"Hea");
    EXPECT_EQ(RtlStringCbCatW(small, sizeof small, u"x"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlStringCbCopyW(small, sizeof small, u"HP"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCbCatW(small, sizeof small, u"1"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(small), u"HP1");
    char n[5];
    EXPECT_EQ(RtlStringCbCopyA(n, sizeof n, "ZELKO"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(n, "ZELK");

    // Memory comparison counts the equal leading bytes.
    const uint8_t x[] = {1, 2, 3, 4}, y[] = {1, 2, 9, 4};
    EXPECT_EQ(RtlCompareMemory(x, y, 4), 2u);
    EXPECT_EQ(RtlCompareMemory(x, x, 4), 4u);

    // The system version answers as configured for the test.
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WINXP));
    sim::SetNtDdiVersion(NTDDI_WIN2K);
    EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_WINXP));
    sim::SetNtDdiVersion(NTDDI_WINXP);
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WINXP));
    EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_VISTA));

    // Timer resolution holds balance; a release without a set is a fault.
    ExSetTimerResolution(10000, TRUE);
    EXPECT_EQ(sim::TimerResolutionHolds(), 1u);
    ExSetTimerResolution(0, FALSE);
    EXPECT_EQ(sim::TimerResolutionHolds(), 0u);
    {
        auto v = ScopedExpectViolation("release without a matching set");
        ExSetTimerResolution(0, FALSE);
    }
}

} // namespace
