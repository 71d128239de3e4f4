// The item list against a reference model, its edge cases, and its allocation failures.
#include "driver/base/item_list.h"
#include "driver/base/pool_memory.h"
#include "support/kernel_test.h"

#include <climits>
#include <functional>
#include <deque>
#include <random>

namespace
{

PVOID Item(uintptr_t n)
{
    return reinterpret_cast<PVOID>(n);
}

CItemList::PNODE NodeAt(const CItemList &list, size_t at)
{
    CItemList::PNODE node = list.FirstNode();
    for (size_t i = 0; node && i < at; ++i)
        node = node->Next;
    return node;
}

// Checks every link and every accessor of `list` against the model.
void ExpectSame(const CItemList &list, const std::deque<PVOID> &model)
{
    ASSERT_EQ(list.Count(), LONG(model.size()));
    EXPECT_EQ(list.IsEmpty(), model.empty());
    EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::Lis), model.size());
    CItemList::PNODE node = list.FirstNode(), previous = nullptr;
    for (size_t i = 0; i < model.size(); ++i, previous = node, node = node->Next)
    {
        ASSERT_NE(node, nullptr) << "walk ended at " << i;
        EXPECT_EQ(node->Item, model[i]) << i;
        EXPECT_EQ(node->Previous, previous) << i;
        PVOID item = nullptr;
        ASSERT_TRUE(list.ItemAt(LONG(i), &item));
        EXPECT_EQ(item, model[i]);
    }
    EXPECT_EQ(node, nullptr);
    std::deque<PVOID> seen;
    PVOID item = nullptr;
    for (CItemList::PNODE cursor = list.FirstNode(); list.NextItem(&cursor, &item);)
        seen.push_back(item);
    EXPECT_EQ(seen, model);
}

using ItemListTest = KernelTest;

TEST_F(ItemListTest, RandomOperationsMatchAModel)
{
    CItemList list;
    std::deque<PVOID> model;
    std::mt19937 random(610);
    uintptr_t next = 1;
    for (int step = 0; step < 600 && !HasFatalFailure(); ++step)
    {
        const size_t at = random() % (model.size() + 1); // a position, or one past the end
        switch (random() % 5)
        {
        case 0:
            ASSERT_NE(list.InsertHead(Item(next)), nullptr);
            model.push_front(Item(next++));
            break;
        case 1:
            ASSERT_NE(list.InsertTail(Item(next)), nullptr);
            model.push_back(Item(next++));
            break;
        case 2: // before the node at `at`; past the end that is a null node: the head
            ASSERT_NE(list.InsertBefore(NodeAt(list, at), Item(next)), nullptr);
            model.insert(at < model.size() ? model.begin() + at : model.begin(), Item(next++));
            break;
        case 3:
        {
            PVOID item = Item(0xBAD);
            ASSERT_EQ(list.RemoveHead(&item), !model.empty());
            EXPECT_EQ(item, model.empty() ? Item(0xBAD) : model.front());
            if (!model.empty())
                model.pop_front();
            break;
        }
        default:
            if (at < model.size())
            {
                list.RemoveNode(NodeAt(list, at));
                model.erase(model.begin() + at);
            }
        }
        ExpectSame(list, model);
    }
    list.RemoveAll();
    ExpectSame(list, {});
}

TEST_F(ItemListTest, EdgeCases)
{
    CItemList list;
    PVOID item = Item(7);
    EXPECT_FALSE(list.RemoveHead(&item));
    EXPECT_EQ(item, Item(7));
    EXPECT_FALSE(list.FirstItem(&item));
    EXPECT_EQ(item, nullptr);
    EXPECT_FALSE(list.ItemAt(0, &item));

    ASSERT_NE(list.InsertTail(Item(1)), nullptr);
    EXPECT_TRUE(list.ItemAt(0, &item));
    EXPECT_EQ(item, Item(1));
    // At or past the count, and every negative index (an unsigned 0xFFFFFFFF arrives as -1): nothing.
    for (LONG index : {1, 2, -1, INT_MIN, INT_MAX})
    {
        item = Item(9);
        EXPECT_FALSE(list.ItemAt(index, &item)) << index;
        EXPECT_EQ(item, Item(9)) << index;
    }
    EXPECT_FALSE(list.RemoveHead(static_cast<PVOID *>(nullptr)));
    EXPECT_FALSE(list.NodeItem(nullptr, &item));
    CItemList::PNODE end = nullptr;
    EXPECT_FALSE(list.NextItem(&end, &item));
    list.RemoveNode(nullptr);
    EXPECT_EQ(list.Count(), 1);

    // Typed out-pointers stay untouched when nothing is found.
    int value = 0, *out = &value + 1;
    EXPECT_FALSE(CItemList().RemoveHead(&out));
    EXPECT_EQ(out, &value + 1);
    // `list` still holds a node: its destructor frees it, which the fixture's leak check proves.
}

TEST_F(ItemListTest, FailedNodeAllocationLeavesTheListUnchanged)
{
    CItemList list;
    const std::deque<PVOID> model = {Item(1), Item(2), Item(3)};
    for (PVOID item : model)
        ASSERT_NE(list.InsertTail(item), nullptr);
    CItemList::PNODE middle = NodeAt(list, 1);
    const std::function<CItemList::PNODE()> inserts[] = {
        [&] { return list.InsertHead(Item(10)); }, [&] { return list.InsertTail(Item(11)); },
        [&] { return list.InsertBefore(middle, Item(12)); },
        [&] { return list.InsertBefore(nullptr, Item(13)); }};
    for (const auto &insert : inserts)
    {
        sim::FailAllocation(1);
        EXPECT_EQ(insert(), nullptr);
        ExpectSame(list, model);
        sim::pool::FailTag(PoolTag::Lis);
        EXPECT_EQ(insert(), nullptr);
        sim::pool::ClearInjection();
        ExpectSame(list, model);
    }
}

TEST_F(ItemListTest, ListRecordsInPoolAndUseUnderASpinLock)
{
    sim::FailAllocation(1);
    EXPECT_EQ(CItemList::Create(NonPagedPool, PoolTag::HALB), nullptr);
    CItemList *list = CItemList::Create(NonPagedPool, PoolTag::HALB);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(sim::pool::OutstandingBytes(PoolTag::HALB), sizeof(CItemList));
    EXPECT_TRUE(list->IsEmpty());
    // Owners change their lists under a spin lock: the stand-in fails the test on paged pool there.
    AtDispatch(
        [&]
        {
            EXPECT_NE(list->InsertTail(Item(1)), nullptr);
            EXPECT_NE(list->InsertHead(Item(2)), nullptr);
            PVOID item = nullptr;
            EXPECT_TRUE(list->RemoveHead(&item));
            EXPECT_EQ(item, Item(2));
        });
    CItemList::Destroy(list); // frees the remaining node and the record
    CItemList::Destroy(nullptr);
    EXPECT_EQ(sim::pool::OutstandingBlocks(), 0u);
}

} // namespace
