#include "driver/filters/node_terminal.h"

#include "driver/base/pool_memory.h"

CTerminalNode::CTerminalNode(PUNKNOWN outerUnknown, ULONG id, ULONG kind)
    : CAudioNodeBase(outerUnknown, id, kind), m_Types(nullptr), m_TypeCount(0), m_SelectedType(0),
      m_Jacks(nullptr), m_JackCount(0), m_Words{}, m_Switchable(kind == NODE_KIND_MIXER), m_Switch(0),
      m_SavedSourceCount(0)
{
}

CTerminalNode::~CTerminalNode()
{
    FreePool(m_Types);
    FreePool(m_Jacks);
}

NTSTATUS CTerminalNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    if (!m_Switchable)
        return AnswerNode(iid, object, static_cast<ITerminalInfo *>(this),
                          {{IID_ITerminalInfo, static_cast<ITerminalInfo *>(this)}});
    if (m_Switch)
        return AnswerNode(iid, object, static_cast<ITerminalInfo *>(this),
                          {{IID_ITerminalInfo, static_cast<ITerminalInfo *>(this)},
                           {IID_ISwitchable, static_cast<ISwitchable *>(this)}});
    return AnswerNode(iid, object, static_cast<ITerminalInfo *>(this),
                      {{IID_ISwitchable, static_cast<ISwitchable *>(this)}});
}

NTSTATUS CTerminalNode::GetSelectedType(PULONG type)
{
    if (!type)
        return STATUS_INVALID_PARAMETER;
    *type = m_SelectedType;
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalNode::GetTypeCount(PULONG count)
{
    if (!count)
        return STATUS_INVALID_PARAMETER;
    *count = m_TypeCount;
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalNode::GetTypes(PULONG types)
{
    if (!types)
        return STATUS_INVALID_PARAMETER;
    if (m_TypeCount)
        RtlCopyMemory(types, m_Types, m_TypeCount * sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalNode::SelectType(ULONG type)
{
    for (ULONG i = 0; i < m_TypeCount; ++i)
        if (m_Types[i] == type)
        {
            m_SelectedType = type;
            return STATUS_SUCCESS;
        }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CTerminalNode::GetJackCount(PULONG count)
{
    if (!count)
        return STATUS_INVALID_PARAMETER;
    *count = m_JackCount;
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalNode::GetJacks(ULONG size, PVOID buffer)
{
    if (!buffer || !size || !m_Jacks || !m_JackCount)
        return STATUS_INVALID_PARAMETER;
    const ULONG stored = m_JackCount * ULONG(sizeof(JackRecord));
    RtlCopyMemory(buffer, m_Jacks, size < stored ? size : stored);
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalNode::GetWords(PULONG words)
{
    if (!words)
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(words, m_Words, sizeof(m_Words));
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalNode::SetSwitch(UCHAR on)
{
    m_Switch = on;
    if (on)
    {
        SetIdentity(m_Id, NODE_KIND_INPUT_TERMINAL);
        m_SourceCount = 0; // the table stays for the switch back
    }
    else
    {
        SetIdentity(m_Id, NODE_KIND_MIXER);
        m_SourceCount = m_SavedSourceCount;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalNode::SetSources(ULONG count, const ULONG *sources)
{
    const NTSTATUS status = ReplaceSources(count, sources);
    if (NT_SUCCESS(status) && m_Switchable)
    {
        m_SavedSourceCount = m_SourceCount;
        if (m_Switch)
            m_SourceCount = 0;
    }
    return status;
}

NTSTATUS CTerminalNode::InitTables(ULONG typeCount, const ULONG *types, ULONG jackCount,
                                   const JackRecord *jacks, ULONG sourceCount, const ULONG *sources)
{
    if (typeCount < 1 || typeCount > TERMINAL_MAX_TYPES || !types || jackCount > TERMINAL_MAX_JACKS ||
        (jackCount && !jacks))
        return STATUS_INVALID_PARAMETER;
    PULONG newTypes =
        static_cast<PULONG>(NewTable(types, typeCount * sizeof(ULONG), PagedPool, PoolTag::TerT));
    if (!newTypes)
        return STATUS_INSUFFICIENT_RESOURCES;
    JackRecord *newJacks = nullptr;
    if (jackCount)
    {
        newJacks = static_cast<JackRecord *>(
            NewTable(jacks, jackCount * ULONG(sizeof(JackRecord)), PagedPool, PoolTag::TerT));
        if (!newJacks)
        {
            FreePool(newTypes);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    const NTSTATUS status = SetSources(sourceCount, sources);
    if (!NT_SUCCESS(status))
    {
        FreePool(newJacks);
        FreePool(newTypes);
        return status;
    }
    FreePool(m_Types);
    FreePool(m_Jacks);
    m_Types = newTypes;
    m_TypeCount = typeCount;
    m_SelectedType = newTypes[0];
    m_Jacks = newJacks;
    m_JackCount = jackCount;
    return STATUS_SUCCESS;
}

NTSTATUS CTerminalNode::InitTerminal(ULONG typeCount, const ULONG *types, ULONG jackCount,
                                     const JackRecord *jacks)
{
    return InitTables(typeCount, types, jackCount, jacks, 0, nullptr);
}

NTSTATUS CTerminalNode::InitDefault(ULONG sourceCount, const ULONG *sources)
{
    const ULONG type = TERMINAL_DEFAULT_TYPE;
    return InitTables(1, &type, 1, &kDefaultJackRecord, sourceCount, sources);
}

NTSTATUS CJackTerminalNode::InitTerminal(ULONG sourceId, ULONG typeCount, const ULONG *types, ULONG jackCount,
                                         const JackRecord *jacks)
{
    return InitTables(typeCount, types, jackCount, jacks, 1, &sourceId);
}
