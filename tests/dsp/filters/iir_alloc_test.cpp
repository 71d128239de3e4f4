// Library-allocated IIR records: create, release, and every failure path through the recording
// pool hooks; filtering allocates nothing.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "support/dsp_test_support.h"
#include "dsp/filters/iir.h"

namespace
{

using namespace dsp;
using namespace dsp::generic;
using dsp::test::AllocationCounter;
using dsp::test::ScopedAllocHooks;

const std::vector<float> kTaps = {0.1f, 0.3f, 0.3f, 0.1f, 1.0f, -0.6f, 0.4f, -0.05f};

TEST(IirCreate, ChecksComeBeforeAnyAllocation)
{
    ScopedAllocHooks pool;
    auto *sentinel = reinterpret_cast<IirState *>(uintptr_t{0xABCDE0});
    IirState *st = sentinel;
    EXPECT_EQ(iirCreateF32(&st, nullptr, 3, nullptr), kErrNullPointer);
    EXPECT_EQ(iirCreateF32(nullptr, kTaps.data(), 3, nullptr), kErrNullPointer);
    EXPECT_EQ(iirCreateF32(nullptr, kTaps.data(), 0, nullptr), kErrNullPointer);
    EXPECT_EQ(iirCreateF32(&st, kTaps.data(), 0, nullptr), kErrIirOrder);
    EXPECT_EQ(iirCreateF32(&st, kTaps.data(), -2, nullptr), kErrIirOrder);
    // An order whose size does not fit 32 bits is refused like a bad order, never allocated short.
    EXPECT_EQ(iirCreateF32(&st, kTaps.data(), INT32_MAX, nullptr), kErrIirOrder);
    EXPECT_EQ(iirCreateF32(&st, kTaps.data(), 400000000, nullptr), kErrIirOrder);
    EXPECT_EQ(iirBuildState(&st, kTaps.data(), 3, nullptr, kIirTagBiquad), kErrBadTag);
    EXPECT_EQ(st, sentinel);
    EXPECT_EQ(pool.allocations(), 0);
}

TEST(IirCreate, FailuresLeaveNothingAllocatedAndTheOutPointerAlone)
{
    auto *sentinel = reinterpret_cast<IirState *>(uintptr_t{0xABCDE0});
    {
        ScopedAllocHooks pool;
        pool.failNth(1);
        IirState *st = sentinel;
        EXPECT_EQ(iirCreateF32(&st, kTaps.data(), 3, nullptr), kErrNoMemory);
        EXPECT_EQ(st, sentinel);
        EXPECT_EQ(pool.failures(), 1);
        EXPECT_TRUE(pool.balanced());
    }
    {
        // A zero a0 fails after the allocation: the block goes back and no dangling pointer is
        // handed out.
        ScopedAllocHooks pool;
        std::vector<float> taps = kTaps;
        taps[4] = -0.0f;
        IirState *st = sentinel;
        EXPECT_EQ(iirCreateF32(&st, taps.data(), 3, nullptr), kErrDivByZero);
        EXPECT_EQ(st, sentinel);
        EXPECT_EQ(pool.allocations(), 1);
        EXPECT_EQ(pool.releases(), 1);
        EXPECT_TRUE(pool.balanced());
    }
}

TEST(IirCreate, OwnedRecordLifecycle)
{
    ScopedAllocHooks pool;
    const float z[] = {0.5f, 0.25f, -0.125f};
    IirState *st = nullptr;
    ASSERT_EQ(iirCreateF32(&st, kTaps.data(), 3, z), kOk);
    ASSERT_NE(st, nullptr);
    // One block of the size query's 112 bytes (+36 of the aligned allocator), the record at its
    // start.
    ASSERT_EQ(pool.sizes(), std::vector<size_t>{112 + 36});
    EXPECT_EQ(reinterpret_cast<uintptr_t>(st) % 32, 0u);
    EXPECT_EQ(st->tag, kIirTagTransfer);
    EXPECT_EQ(st->ownsBuffer, 1);
    const auto *delay = reinterpret_cast<const float *>(reinterpret_cast<unsigned char *>(st) + st->delay);
    EXPECT_F32_ARRAY_SAME(z, delay, 3);

    std::vector<float> x(512, 0.25f), y(512);
    {
        AllocationCounter count;
        ASSERT_EQ(iirFilterF32(x.data(), y.data(), 512, st), kOk);
        ASSERT_EQ(iirFilterInPlace(x.data(), 512, st), kOk);
        EXPECT_EQ(count.allocations(), 0);
        EXPECT_EQ(count.releases(), 0);
    }
    EXPECT_EQ(iirFree(st), kOk);
    EXPECT_EQ(pool.releases(), 1);
    EXPECT_TRUE(pool.balanced());
}

TEST(IirFree, CallerBuffersForeignTagsAndNull)
{
    ScopedAllocHooks pool;
    alignas(16) unsigned char buf[256];
    IirState *st = nullptr;
    ASSERT_EQ(iirInit(&st, kTaps.data(), 3, nullptr, buf), kOk);
    EXPECT_EQ(iirFree(st), kOk);
    EXPECT_EQ(st->tag, kIirTagTransfer); // a caller-buffer record keeps its tag
    EXPECT_EQ(iirFree(st), kOk);
    st->tag = kIirTagBiquad;
    EXPECT_EQ(iirFree(st), kOk);
    st->tag = 0x46493031;
    EXPECT_EQ(iirFree(st), kErrBadTag);
    EXPECT_EQ(iirFree(nullptr), kErrNullPointer);
    EXPECT_EQ(pool.allocations(), 0);
    EXPECT_EQ(pool.releases(), 0);
}

} // namespace
