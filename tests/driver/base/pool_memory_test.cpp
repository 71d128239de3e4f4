// Pool memory: zeroed, tagged blocks; null tolerated on free; the one tag list.
#include "driver/base/pool_memory.h"
#include "support/kernel_test.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace
{

using PoolMemoryTest = KernelTest;

TEST_F(PoolMemoryTest, AllocatesZeroedTaggedBlocksOrNothing)
{
    for (POOL_TYPE type : {NonPagedPool, PagedPool, NonPagedPoolCacheAligned})
    {
        // Dirty a block of the same size first so that zeroing is not an accident of fresh memory.
        void *dirty = ExAllocatePoolWithTag(type, 256, PoolTag::Temp);
        std::memset(dirty, 0xA5, 256);
        ExFreePool(dirty);
        auto *block = static_cast<uint8_t *>(AllocPoolZeroed(256, type, PoolTag::Stre));
        ASSERT_NE(block, nullptr) << type;
        EXPECT_EQ(std::count(block, block + 256, 0), 256);
        EXPECT_EQ(sim::pool::OutstandingBytes(PoolTag::Stre), 256u);
        FreePool(block);
        EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::Stre), 0u);
    }
    const size_t before = sim::pool::AllocationCount();
    FreePool(nullptr);
    EXPECT_EQ(sim::pool::AllocationCount(), before);

    sim::FailAllocation(1);
    EXPECT_EQ(AllocPoolZeroed(64, NonPagedPool, PoolTag::HALB), nullptr);
    sim::pool::FailTag(PoolTag::TOPO);
    EXPECT_EQ(AllocPoolZeroed(64, PagedPool, PoolTag::TOPO), nullptr);
    void *other = AllocPoolZeroed(64, PagedPool, PoolTag::Topo); // differs only in case: not failed
    EXPECT_NE(other, nullptr);
    FreePool(other);
    EXPECT_EQ(sim::pool::OutstandingBlocks(), 0u);
}

TEST_F(PoolMemoryTest, TagListHoldsEachTagOnceInMemoryOrder)
{
    std::set<ULONG> seen;
    for (ULONG tag : PoolTag::kAll)
        EXPECT_TRUE(seen.insert(tag).second) << std::hex << tag;
    EXPECT_EQ(seen.size(), 47u);
    // A tag reads as its characters in a pool dump, a trailing blank or zero byte kept.
    auto bytes = [](ULONG tag) { return std::string(reinterpret_cast<const char *>(&tag), 4); };
    EXPECT_EQ(bytes(PoolTag::Lis), std::string("Lis\0", 4));
    EXPECT_EQ(bytes(PoolTag::URB), "URB ");
    EXPECT_EQ(bytes(PoolTag::INI), " INI");
    EXPECT_EQ(bytes(PoolTag::DSPs), "DSPs");
    EXPECT_EQ(PoolTag::PRIM, 0x4D495250u);
}

} // namespace
