#include "driver/filters/audio_node.h"

#include "driver/base/pool_memory.h"

CAudioNodeBase::CAudioNodeBase(PUNKNOWN outerUnknown, ULONG id, ULONG kind)
    : CUnknownBase(outerUnknown), m_Id(id), m_Kind(kind), m_SourceCount(0), m_Sources(nullptr)
{
}

CAudioNodeBase::~CAudioNodeBase()
{
    FreePool(m_Sources);
}

NTSTATUS CAudioNodeBase::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<IAudioNode *>(this));
}

NTSTATUS CAudioNodeBase::AnswerNode(REFIID iid, PVOID *object, PUNKNOWN primary,
                                    std::initializer_list<InterfaceEntry> entries)
{
    if (object && IsEqualId(iid, IID_IAudioNode))
        return AnswerInterface(iid, object, primary, {{IID_IAudioNode, static_cast<IAudioNode *>(this)}});
    return AnswerInterface(iid, object, primary, entries);
}

NTSTATUS CAudioNodeBase::GetSources(PULONG count, PULONG sources)
{
    if (!count || !sources)
        return STATUS_INVALID_PARAMETER;
    if (*count > m_SourceCount)
        *count = m_SourceCount;
    if (*count)
        RtlCopyMemory(sources, m_Sources, *count * sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS CAudioNodeBase::SetSources(ULONG count, const ULONG *sources)
{
    return ReplaceSources(count, sources);
}

NTSTATUS CAudioNodeBase::ReplaceSources(ULONG count, const ULONG *sources)
{
    if ((!sources && count) || count > NODE_MAX_SOURCES)
        return STATUS_INVALID_PARAMETER;
    PULONG table = nullptr;
    if (count)
    {
        table = static_cast<PULONG>(NewTable(sources, count * sizeof(ULONG), PagedPool, PoolTag::Topo));
        if (!table)
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    FreePool(m_Sources);
    m_Sources = table;
    m_SourceCount = count;
    return STATUS_SUCCESS;
}

PVOID CAudioNodeBase::NewTable(const void *source, ULONG bytes, POOL_TYPE poolType, ULONG tag)
{
    PVOID table = AllocPoolZeroed(bytes, poolType, tag);
    if (table && source)
        RtlCopyMemory(table, source, bytes);
    return table;
}

void CAudioNodeBase::ReleaseListeners(CItemList *list)
{
    CItemList::ReleaseAllAndDestroy<IUnknown>(list);
}

NTSTATUS CAudioNodeBase::AppendListener(CItemList **list, PUNKNOWN listener, BOOLEAN create, ULONG tag)
{
    if (!listener)
        return STATUS_INVALID_PARAMETER;
    CItemList *created = nullptr;
    if (!*list && create)
    {
        *list = created = CItemList::Create(NonPagedPool, tag);
        if (!*list)
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!*list)
        return STATUS_UNSUCCESSFUL;
    listener->AddRef();
    if (!(*list)->InsertTail(listener))
    {
        listener->Release();
        if (created) // a failed call leaves the node as it found it
        {
            CItemList::Destroy(created);
            *list = nullptr;
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CAudioNodeBase::InstallWithSource(PVOID *table, PVOID newTable, ULONG sourceId)
{
    if (!newTable)
        return STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS status = ReplaceSources(1, &sourceId);
    if (!NT_SUCCESS(status))
    {
        FreePool(newTable);
        return status;
    }
    FreePool(*table);
    *table = newTable;
    return STATUS_SUCCESS;
}
