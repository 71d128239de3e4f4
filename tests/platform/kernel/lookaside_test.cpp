// Lookaside lists serve fixed-size entries from the pool, so injection, leak reports and misuse
// checks reach them; the performance counter follows the virtual clock.
#include "support/kernel_test.h"

namespace
{

class Lookaside : public KernelTest
{
};

constexpr ULONG kTag = MakePoolTag("URB ");

TEST_F(Lookaside, EntriesComeFromThePoolWithTheListsTagAndReturnToIt)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 216, kTag, 0);
    PVOID entries[3] = {};
    AtDispatch(
        [&]
        {
            for (auto &e : entries)
                e = ExAllocateFromNPagedLookasideList(&list);
        });
    for (auto *e : entries)
        ASSERT_NE(e, nullptr);
    EXPECT_EQ(sim::pool::OutstandingBlocks(kTag), 3u);
    EXPECT_EQ(sim::pool::OutstandingBytes(kTag), 3u * 216);

    sim::pool::FailNthAllocation(1);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);

    AtDispatch(
        [&]
        {
            for (auto *e : entries)
                ExFreeToNPagedLookasideList(&list, e);
        });
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(sim::pool::OutstandingBlocks(kTag), 0u);
}

TEST_F(Lookaside, MisuseIsReported)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 64, kTag, 0);
    PVOID entry = ExAllocateFromNPagedLookasideList(&list);
    {
        auto v = ScopedExpectViolation("entries still out");
        ExDeleteNPagedLookasideList(&list);
    }
    {
        auto v = ScopedExpectViolation("not initialised");
        EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    }
    ExFreePool(entry);

    NPAGED_LOOKASIDE_LIST kept;
    ExInitializeNPagedLookasideList(&kept, nullptr, nullptr, 0, 64, kTag, 0);
    EXPECT_NE(EndOfTestReport().find("lookaside list(s) never deleted"), std::string::npos);
    ExDeleteNPagedLookasideList(&kept);
    EXPECT_EQ(EndOfTestReport(), "");
}

TEST_F(Lookaside, PerformanceCounterRunsOnTheVirtualClock)
{
    LARGE_INTEGER frequency{};
    const LONGLONG before = KeQueryPerformanceCounter(&frequency).QuadPart;
    EXPECT_EQ(frequency.QuadPart, 10000000);
    sim::AdvanceMs(7);
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart - before, 70000);
}

} // namespace
