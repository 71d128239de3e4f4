// The driver's item list.
#include "driver/base/item_list.h"
#include "driver/base/pool_memory.h"

#include <new>

CItemList *CItemList::Create(POOL_TYPE poolType, ULONG tag)
{
    PVOID block = AllocPoolZeroed(sizeof(CItemList), poolType, tag);
    return block ? new (block) CItemList : nullptr;
}

void CItemList::Destroy(CItemList *list)
{
    if (!list)
        return;
    list->~CItemList();
    FreePool(list);
}

CItemList::PNODE CItemList::NewNode(PVOID item)
{
    // Nodes are non-paged so that owners may change their lists under a spin lock.
    auto *node = static_cast<PNODE>(AllocPoolZeroed(sizeof(Node), NonPagedPool, PoolTag::Lis));
    if (node)
        node->Item = item;
    return node;
}

CItemList::PNODE CItemList::LinkNew(PNODE previous, PNODE next, PVOID item)
{
    PNODE node = NewNode(item);
    if (!node)
        return nullptr;
    node->Previous = previous;
    node->Next = next;
    if (previous)
        previous->Next = node;
    else
        m_First = node;
    if (next)
        next->Previous = node;
    else
        m_Last = node;
    InterlockedIncrement(&m_Count);
    return node;
}

CItemList::PNODE CItemList::InsertHead(PVOID item)
{
    return LinkNew(nullptr, m_First, item);
}

CItemList::PNODE CItemList::InsertTail(PVOID item)
{
    return LinkNew(m_Last, nullptr, item);
}

CItemList::PNODE CItemList::InsertBefore(PNODE node, PVOID item)
{
    if (!node || !node->Previous)
        return InsertHead(item);
    return LinkNew(node->Previous, node, item);
}

BOOLEAN CItemList::RemoveHead(PVOID *item)
{
    if (!item || !m_First)
        return FALSE;
    *item = m_First->Item;
    RemoveNode(m_First);
    return TRUE;
}

void CItemList::RemoveNode(PNODE node)
{
    if (!node)
        return;
    if (node->Previous)
        node->Previous->Next = node->Next;
    else
        m_First = node->Next;
    if (node->Next)
        node->Next->Previous = node->Previous;
    else
        m_Last = node->Previous;
    FreePool(node);
    InterlockedDecrement(&m_Count);
}

void CItemList::RemoveAll()
{
    while (m_First)
        RemoveNode(m_First);
}

BOOLEAN CItemList::NextItem(PNODE *cursor, PVOID *item) const
{
    if (!cursor || !*cursor || !item)
        return FALSE;
    *item = (*cursor)->Item;
    *cursor = (*cursor)->Next;
    return TRUE;
}

BOOLEAN CItemList::NodeItem(PNODE node, PVOID *item) const
{
    if (!node || !item)
        return FALSE;
    *item = node->Item;
    return TRUE;
}

BOOLEAN CItemList::ItemAt(LONG index, PVOID *item) const
{
    // A negative index is rejected before the walk: compared signed against the count alone it
    // would pass and walk from the first node without bound.
    if (!item || index < 0 || index >= Count())
        return FALSE;
    PNODE node = m_First;
    for (LONG i = 0; node && i < index; ++i)
        node = node->Next;
    if (!node)
        return FALSE;
    *item = node->Item;
    return TRUE;
}

BOOLEAN CItemList::FirstItem(PVOID *item) const
{
    if (!item)
        return FALSE;
    if (!m_First)
    {
        *item = nullptr;
        return FALSE;
    }
    *item = m_First->Item;
    return TRUE;
}

LONG CItemList::Count() const
{
    // Read without the owner's lock: the count is only ever changed with interlocked operations.
    return InterlockedCompareExchange(const_cast<volatile LONG *>(&m_Count), 0, 0);
}
