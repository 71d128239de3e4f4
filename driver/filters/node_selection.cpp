#include "driver/filters/node_selection.h"

#include "driver/base/pool_memory.h"

CSelectorNode::CSelectorNode(PUNKNOWN outerUnknown, ULONG id)
    : CAudioNodeBase(outerUnknown, id, NODE_KIND_SELECTOR), m_Listeners(nullptr), m_Selected(0)
{
}

CSelectorNode::~CSelectorNode()
{
    ReleaseListeners(m_Listeners);
}

NTSTATUS CSelectorNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<INodeConnect *>(this),
                      {{IID_INodeConnect, static_cast<INodeConnect *>(this)}});
}

NTSTATUS CSelectorNode::GetSelected(PULONG selected)
{
    if (!selected)
        return STATUS_INVALID_PARAMETER;
    *selected = m_Selected;
    return STATUS_SUCCESS;
}

NTSTATUS CSelectorNode::Select(ULONG index)
{
    if (index > m_SourceCount)
        return STATUS_INVALID_PARAMETER;
    const ULONG old = m_Selected;
    ISelectListener *listener = nullptr;
    CItemList::PNODE cursor = m_Listeners ? m_Listeners->FirstNode() : nullptr;
    while (m_Listeners && m_Listeners->NextItem(&cursor, &listener))
        if (!NT_SUCCESS(listener->OnSelecting(index, old)))
            break;
    m_Selected = index;
    cursor = m_Listeners ? m_Listeners->FirstNode() : nullptr;
    while (m_Listeners && m_Listeners->NextItem(&cursor, &listener))
        if (!NT_SUCCESS(listener->OnSelected(index)))
            break;
    return STATUS_SUCCESS;
}

NTSTATUS CSelectorNode::GetCount(PULONG count)
{
    if (!count)
        return STATUS_INVALID_PARAMETER;
    *count = m_SourceCount;
    return STATUS_SUCCESS;
}

NTSTATUS CSelectorNode::AddListener(ISelectListener *listener)
{
    return AppendListener(&m_Listeners, listener, FALSE, PoolTag::SelT);
}

NTSTATUS CSelectorNode::SetSources(ULONG count, const ULONG *sources)
{
    CItemList *created = nullptr;
    if (!m_Listeners)
    {
        m_Listeners = created = CItemList::Create(NonPagedPool, PoolTag::SelT);
        if (!m_Listeners)
            return STATUS_UNSUCCESSFUL;
    }
    const NTSTATUS status = ReplaceSources(count, sources);
    if (!NT_SUCCESS(status) && created) // a failed call leaves the node as it found it
    {
        CItemList::Destroy(created);
        m_Listeners = nullptr;
    }
    return status;
}

// ---------------------------------------------------------------------------------------------------
CStateNode::CStateNode(PUNKNOWN outerUnknown, ULONG id)
    : CAudioNodeBase(outerUnknown, id, NODE_KIND_STATE), m_Values(nullptr), m_ValueCount(0), m_Current(0),
      m_Changed(FALSE), m_Listeners(nullptr)
{
}

CStateNode::~CStateNode()
{
    ReleaseListeners(m_Listeners);
    FreePool(m_Values);
}

NTSTATUS CStateNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<INodeState *>(this),
                      {{IID_INodeState, static_cast<INodeState *>(this)}});
}

NTSTATUS CStateNode::GetValue(PULONG value)
{
    if (!value)
        return STATUS_INVALID_PARAMETER;
    *value = m_Current;
    return STATUS_SUCCESS;
}

NTSTATUS CStateNode::GetValueCount(PULONG count)
{
    if (!count)
        return STATUS_INVALID_PARAMETER;
    *count = m_ValueCount;
    return STATUS_SUCCESS;
}

NTSTATUS CStateNode::GetValues(PULONG values)
{
    if (!values)
        return STATUS_INVALID_PARAMETER;
    if (m_ValueCount)
        RtlCopyMemory(values, m_Values, m_ValueCount * sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS CStateNode::Select(ULONG value)
{
    BOOLEAN allowed = FALSE;
    for (ULONG i = 0; i < m_ValueCount && !allowed; ++i)
        allowed = m_Values[i] == value;
    if (!allowed)
        return STATUS_INVALID_PARAMETER;
    if (value == m_Current)
        return STATUS_SUCCESS;
    m_Current = value;
    m_Changed = TRUE;
    IStateTarget *listener = nullptr;
    CItemList::PNODE cursor = m_Listeners ? m_Listeners->FirstNode() : nullptr;
    while (m_Listeners && m_Listeners->NextItem(&cursor, &listener))
        if (!NT_SUCCESS(listener->SetState(value, 0)))
            break;
    return STATUS_SUCCESS;
}

NTSTATUS CStateNode::AddListener(IStateTarget *listener)
{
    return AppendListener(&m_Listeners, listener, TRUE, PoolTag::TerT);
}

NTSTATUS CStateNode::Init(ULONG sourceId, ULONG count, const ULONG *values)
{
    if (count < 1 || count > STATE_MAX_VALUES || !values)
        return STATUS_INVALID_PARAMETER;
    PVOID table = m_Values;
    const NTSTATUS status = InstallWithSource(
        &table, NewTable(values, count * sizeof(ULONG), PagedPool, PoolTag::TerT), sourceId);
    m_Values = static_cast<PULONG>(table);
    if (!NT_SUCCESS(status))
        return status;
    m_ValueCount = count;
    m_Current = m_Values[0];
    return STATUS_SUCCESS;
}
