// The doubly linked list that holds the driver's object and format collections.
#pragma once

#include <ntkernel.h>

// A list of untyped pointer-sized items (an object, a format record or a plain number). The list owns
// its nodes (non-paged pool, tag "Lis\0") but never frees or releases an item.
//
// Concurrency: the count changes with interlocked operations, so Count and IsEmpty may be read without
// a lock; the links are not protected: the owner holds its own lock around every operation that can
// race. Every operation runs at the caller's IRQL (up to DISPATCH_LEVEL) and none blocks.
//
// A zeroed CItemList is the empty list, so a list record may come straight from AllocPoolZeroed
// (Create does that) or be a member of its owner.
class CItemList
{
public:
    struct Node
    {
        Node *Next;
        Node *Previous;
        PVOID Item;
    };
    typedef Node *PNODE;

    CItemList() : m_First(nullptr), m_Last(nullptr), m_Count(0) {}
    // Frees the nodes still linked (not their items).
    ~CItemList() { RemoveAll(); }
    CItemList(const CItemList &) = delete;
    CItemList &operator=(const CItemList &) = delete;

    // A list record of its own in pool (`poolType`, `tag`), empty; null when the pool has no memory.
    static CItemList *Create(POOL_TYPE poolType, ULONG tag);
    // Frees the nodes and the record of a list from Create; null is ignored.
    static void Destroy(CItemList *list);
    // Links `item` last with one reference of its own (T has AddRef/Release): INVALID_PARAMETER for
    // a null item, UNSUCCESSFUL for a missing list, INSUFFICIENT_RESOURCES with the list and the
    // item's count unchanged when no node can be allocated.
    template <class T> static NTSTATUS AppendReferenced(CItemList *list, T *item)
    {
        if (!item)
            return STATUS_INVALID_PARAMETER;
        if (!list)
            return STATUS_UNSUCCESSFUL;
        item->AddRef();
        if (!list->InsertTail(item))
        {
            item->Release();
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        return STATUS_SUCCESS;
    }
    // The item count of a list that may not exist yet (0 then).
    static ULONG CountOf(const CItemList *list) { return list ? ULONG(list->Count()) : 0; }
    // The item at `index` of a list that may not exist yet, for the indexed getters: *item is null
    // first; INVALID_PARAMETER for a null out-pointer or an index not below the count, UNSUCCESSFUL
    // for a missing list.
    template <class T> static NTSTATUS ItemOf(const CItemList *list, ULONG index, T **item)
    {
        if (!item)
            return STATUS_INVALID_PARAMETER;
        *item = nullptr;
        if (!list)
            return STATUS_UNSUCCESSFUL;
        if (index >= ULONG(list->Count()) || !list->ItemAt(LONG(index), item))
        {
            *item = nullptr;
            return STATUS_INVALID_PARAMETER;
        }
        return STATUS_SUCCESS;
    }
    // For lists that hold a reference per item (T has Release): drops each reference, head first,
    // then destroys the list; null is ignored.
    template <class T> static void ReleaseAllAndDestroy(CItemList *list)
    {
        if (!list)
            return;
        T *item = nullptr;
        while (list->RemoveHead(&item))
            if (item)
                item->Release();
        Destroy(list);
    }

    // Links a new node first / last; returns it, or null when no node can be allocated (list unchanged).
    PNODE InsertHead(PVOID item);
    PNODE InsertTail(PVOID item);
    // Links a new node just before `node`; with a null node, or the first node, the same as InsertHead.
    // `node` must belong to this list.
    PNODE InsertBefore(PNODE node, PVOID item);

    // Unlinks and frees the first node and stores its item. FALSE (item untouched) when `item` is null
    // or the list is empty.
    BOOLEAN RemoveHead(PVOID *item);
    // Unlinks and frees `node`, which must belong to this list; null is ignored.
    void RemoveNode(PNODE node);
    // Unlinks and frees every node.
    void RemoveAll();

    PNODE FirstNode() const { return m_First; }
    // Stores the item of *cursor and moves the cursor to the next node; FALSE at the end (a null
    // cursor) or for a null argument. Enumeration: cursor = FirstNode(), then NextItem until FALSE.
    BOOLEAN NextItem(PNODE *cursor, PVOID *item) const;
    // The item of `node`; FALSE for a null node or out-pointer.
    BOOLEAN NodeItem(PNODE node, PVOID *item) const;
    // The item at position `index` (0 is the first). FALSE for a negative index or one not below the
    // count, so a caller's bad index never walks off the list.
    BOOLEAN ItemAt(LONG index, PVOID *item) const;
    // The first item; FALSE for a null out-pointer, FALSE with *item set to null on an empty list.
    BOOLEAN FirstItem(PVOID *item) const;

    BOOLEAN IsEmpty() const { return Count() == 0; }
    LONG Count() const;

    // Typed forms of the out-pointer operations, for lists whose items are all of one pointer type.
    template <class T> BOOLEAN RemoveHead(T **item)
    {
        return Typed(item, [&](PVOID *p) { return RemoveHead(p); });
    }
    template <class T> BOOLEAN NextItem(PNODE *cursor, T **item) const
    {
        return Typed(item, [&](PVOID *p) { return NextItem(cursor, p); });
    }
    template <class T> BOOLEAN NodeItem(PNODE node, T **item) const
    {
        return Typed(item, [&](PVOID *p) { return NodeItem(node, p); });
    }
    template <class T> BOOLEAN ItemAt(LONG index, T **item) const
    {
        return Typed(item, [&](PVOID *p) { return ItemAt(index, p); });
    }
    template <class T> BOOLEAN FirstItem(T **item) const
    {
        return Typed(item, [&](PVOID *p) { return FirstItem(p); });
    }

private:
    // Runs `op` on an untyped slot and copies the result out only when `op` wrote it, so an out-item
    // that the operation leaves untouched stays untouched.
    template <class T, class Op> static BOOLEAN Typed(T **item, Op op)
    {
        if (!item)
            return FALSE;
        PVOID slot = const_cast<void *>(static_cast<const void *>(*item));
        const BOOLEAN ok = op(&slot);
        *item = static_cast<T *>(slot);
        return ok;
    }

    PNODE NewNode(PVOID item);
    // Links a new node between two neighbours (null at an end of the list).
    PNODE LinkNew(PNODE previous, PNODE next, PVOID item);

    PNODE m_First;
    PNODE m_Last;
    volatile LONG m_Count;
};
typedef CItemList *PCITEMLIST;
