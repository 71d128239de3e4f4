// The library's aligned allocation, through recording hooks: requested sizes, block placement,
// the distance word, size limits and failure.
#include <climits>
#include <cstring>

#include <sim/kernel_sim.h>

#include "dsp/core/alloc.h"
#include "support/dsp_test_support.h"

namespace
{

using dsp::test::ScopedAllocHooks;
namespace generic = dsp::generic;

uintptr_t addr(const void *p)
{
    return reinterpret_cast<uintptr_t>(p);
}

uint32_t distanceWord(const void *p)
{
    uint32_t d;
    std::memcpy(&d, static_cast<const unsigned char *>(p) - 4, 4);
    return d;
}

class Alloc : public ::testing::Test
{
protected:
    void TearDown() override { EXPECT_TRUE(pool.balanced()) << pool.outstanding() << " blocks left"; }
    ScopedAllocHooks pool;
};

TEST_F(Alloc, OneByteBlockThroughThePool)
{
    void *p = dsp::allocAligned(1);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(pool.sizes(), std::vector<size_t>{37});
    const uintptr_t block = addr(pool.blocks()[0]);
    EXPECT_EQ(addr(p) % 32, 0u);
    EXPECT_EQ(distanceWord(p), addr(p) - block);
    static_cast<unsigned char *>(p)[0] = 0x5A; // the byte asked for is inside the block
    generic::freeAligned(p);
    EXPECT_EQ(pool.released(), pool.blocks());
}

TEST_F(Alloc, PlacementForEveryBlockResidue)
{
    for (int residue = 0; residue < 32; ++residue)
    {
        pool.placeBlocksAt(residue);
        const int32_t size = 100 + residue;
        void *p = dsp::allocAligned(size);
        ASSERT_NE(p, nullptr);
        const uintptr_t block = addr(pool.blocks().back());
        ASSERT_EQ(block % 32, uintptr_t(residue));
        EXPECT_EQ(addr(p) % 32, 0u);
        EXPECT_GE(addr(p) - block, 4u);
        EXPECT_LE(addr(p) - block, 35u);
        EXPECT_LE(addr(p) + size, block + pool.sizes().back()) << "block too short after p";
        EXPECT_EQ(distanceWord(p), addr(p) - block);
        if (residue == 28)
        {
            EXPECT_EQ(addr(p), block + 4);
        }
        if (residue == 0)
        {
            EXPECT_EQ(addr(p), block + 32);
        }
        std::memset(p, 0xEE, size_t(size));
        generic::freeAligned(p);
        EXPECT_EQ(pool.released().back(), pool.blocks().back());
    }
}

TEST_F(Alloc, FloatBlocks)
{
    float *p = generic::allocF32(480);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(pool.sizes(), std::vector<size_t>{480 * 4 + 36});
    EXPECT_EQ(addr(p) % 32, 0u);
    for (int i = 0; i < 480; ++i)
        p[i] = float(i);
    generic::freeAligned(p);
}

TEST_F(Alloc, BadAndWrappingSizesNeverReachThePool)
{
    EXPECT_EQ(dsp::allocAligned(0), nullptr);
    EXPECT_EQ(dsp::allocAligned(-1), nullptr);
    EXPECT_EQ(dsp::allocAligned(INT32_MIN), nullptr);
    EXPECT_EQ(generic::allocF32(0), nullptr);
    EXPECT_EQ(generic::allocF32(-1), nullptr);
    // size + 36 and count * 4 + 36 would not fit 32 bits.
    EXPECT_EQ(dsp::allocAligned(INT32_MAX - 35), nullptr);
    EXPECT_EQ(dsp::allocAligned(INT32_MAX), nullptr);
    EXPECT_EQ(generic::allocF32(0x20000000), nullptr);
    EXPECT_EQ(generic::allocF32((INT32_MAX - 36) / 4 + 1), nullptr);
    EXPECT_EQ(pool.allocations(), 0);
    // The largest requests that fit are passed on whole (the pool refuses them here).
    pool.failFrom(1);
    EXPECT_EQ(dsp::allocAligned(INT32_MAX - 36), nullptr);
    EXPECT_EQ(generic::allocF32((INT32_MAX - 36) / 4), nullptr);
    EXPECT_EQ(pool.sizes(), (std::vector<size_t>{size_t(INT32_MAX), size_t((INT32_MAX - 36) / 4 * 4 + 36)}));
}

TEST_F(Alloc, PoolFailureAndNullRelease)
{
    pool.failNth(2);
    void *first = dsp::allocAligned(64);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(dsp::allocAligned(64), nullptr);
    float *third = generic::allocF32(16); // only the 2nd call fails
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(pool.failures(), 1);
    generic::freeAligned(nullptr);
    EXPECT_EQ(pool.releases(), 0);
    generic::freeAligned(third);
    generic::freeAligned(first);
    EXPECT_EQ(pool.releases(), 2);
}

TEST(AllocHooks, DefaultHooksUseTheNonPagedPoolWithTagPRIM)
{
    const ULONG prim = MakePoolTag("PRIM");
    ASSERT_EQ(prim, 0x4D495250u);
    const size_t blocks = sim::pool::OutstandingBlocks(prim), bytes = sim::pool::OutstandingBytes(prim);
    void *p = dsp::allocAligned(100);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(sim::pool::OutstandingBlocks(prim), blocks + 1);
    EXPECT_EQ(sim::pool::OutstandingBytes(prim), bytes + 136);
    void *q = dsp::DspAllocHooks.allocateArray(3, 8);
    EXPECT_EQ(sim::pool::OutstandingBytes(prim), bytes + 136 + 24);
    dsp::DspAllocHooks.release(q);
    generic::freeAligned(p);
    EXPECT_EQ(sim::pool::OutstandingBlocks(prim), blocks);
    sim::pool::FailTag(prim);
    EXPECT_EQ(generic::allocF32(4), nullptr) << "a refusing pool gives null";
    sim::pool::FailTag(prim, false);
}

TEST(AllocHooks, ArrayEntryComputesItsSizeIn64Bits)
{
    const size_t calls = sim::Allocations();
    // count * size wraps to 0 in 32 bits; the entry refuses it instead of handing out a tiny
    // block.
    EXPECT_EQ(dsp::DspAllocHooks.allocateArray(0x10000, 0x10000), nullptr);
    EXPECT_EQ(dsp::DspAllocHooks.allocateArray(-1, 4), nullptr);
    EXPECT_EQ(dsp::DspAllocHooks.spare(), 0);
    EXPECT_EQ(sim::Allocations(), calls) << "refused without a pool call";
}

TEST(AllocHooks, RecorderRestoresTheHooksAndNests)
{
    const auto before = dsp::DspAllocHooks;
    {
        ScopedAllocHooks outer;
        outer.placeBlocksAt(8);
        {
            ScopedAllocHooks inner;
            inner.failNth(2);
            void *p = dsp::allocAligned(8);
            EXPECT_EQ(dsp::allocAligned(8), nullptr);
            EXPECT_EQ(inner.allocations(), 2);
            EXPECT_EQ(outer.allocations(), 1) << "the failed call never reached the outer hooks";
            generic::freeAligned(p);
            EXPECT_TRUE(inner.balanced());
        }
        EXPECT_TRUE(outer.balanced());
    }
    EXPECT_EQ(dsp::DspAllocHooks.allocate, before.allocate);
    EXPECT_EQ(dsp::DspAllocHooks.release, before.release);
}

} // namespace
