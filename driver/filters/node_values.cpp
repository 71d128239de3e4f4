#include "driver/filters/node_values.h"

#include "driver/base/pool_memory.h"

ULONG CappedChannelCount(ULONG size, ULONG mode)
{
    if (mode == 0 || mode == 1 || mode == 4 || mode == 6)
        return size;
    return size < 2 ? size : 2;
}

// ---------------------------------------------------------------------------------------------------
CByteControlNode::CByteControlNode(PUNKNOWN outerUnknown, ULONG id, ULONG kind)
    : CAudioNodeBase(outerUnknown, id, kind), m_Bytes(nullptr), m_Size(0), m_Mode(0)
{
}

CByteControlNode::~CByteControlNode()
{
    FreePool(m_Bytes);
}

NTSTATUS CByteControlNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<ISwitchValue *>(this),
                      {{IID_ISwitchValue, static_cast<ISwitchValue *>(this)},
                       {IID_IStateTarget, static_cast<IStateTarget *>(this)}});
}

NTSTATUS CByteControlNode::GetByte(ULONG index, PUCHAR value)
{
    if (!value || !m_Bytes || index >= m_Size)
        return STATUS_INVALID_PARAMETER;
    *value = m_Bytes[index];
    return STATUS_SUCCESS;
}

NTSTATUS CByteControlNode::SetByte(ULONG index, UCHAR value)
{
    if (!m_Bytes || index >= m_Size)
        return STATUS_INVALID_PARAMETER;
    m_Bytes[index] = value;
    return STATUS_SUCCESS;
}

NTSTATUS CByteControlNode::GetChannelCount(PULONG count)
{
    if (!count)
        return STATUS_INVALID_PARAMETER;
    *count = CappedChannelCount(m_Size, m_Mode);
    return STATUS_SUCCESS;
}

NTSTATUS CByteControlNode::Init(ULONG sourceId, ULONG size)
{
    if (size > NODE_MAX_CHANNELS)
        return STATUS_INVALID_PARAMETER;
    return InstallBytes(sourceId, size, PoolTag::MTag);
}

NTSTATUS CByteControlNode::InstallBytes(ULONG sourceId, ULONG size, ULONG tag)
{
    PVOID table = m_Bytes;
    const NTSTATUS status =
        InstallWithSource(&table, NewTable(nullptr, size + 1, NonPagedPool, tag), sourceId);
    m_Bytes = static_cast<PUCHAR>(table);
    if (NT_SUCCESS(status))
        m_Size = size;
    return status;
}

NTSTATUS CByteControlNode::SetState(ULONG value, ULONG)
{
    m_Mode = value;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------------
CLevelControlNode::CLevelControlNode(PUNKNOWN outerUnknown, ULONG id, ULONG kind)
    : CAudioNodeBase(outerUnknown, id, kind), m_Levels(nullptr), m_Count(0), m_Range{0, 0, 0}, m_Mode(0)
{
}

CLevelControlNode::~CLevelControlNode()
{
    FreePool(m_Levels);
}

NTSTATUS CLevelControlNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<ILevelValue *>(this),
                      {{IID_ILevelValue, static_cast<ILevelValue *>(this)},
                       {IID_IStateTarget, static_cast<IStateTarget *>(this)}});
}

NTSTATUS CLevelControlNode::GetLevel(ULONG index, PLONG level)
{
    if (!level || !m_Levels || index > m_Count)
        return STATUS_INVALID_PARAMETER;
    *level = m_Levels[index];
    return STATUS_SUCCESS;
}

NTSTATUS CLevelControlNode::SetLevel(ULONG index, LONG level)
{
    if (!m_Levels || index > m_Count)
        return STATUS_INVALID_PARAMETER;
    m_Levels[index] = level;
    return STATUS_SUCCESS;
}

NTSTATUS CLevelControlNode::GetRange(PLONG maximum, PLONG minimum, PLONG step)
{
    if (!maximum || !minimum || !step)
        return STATUS_INVALID_PARAMETER;
    *maximum = m_Range[0];
    *minimum = m_Range[1];
    *step = m_Range[2];
    return STATUS_SUCCESS;
}

NTSTATUS CLevelControlNode::GetChannelCount(PULONG count)
{
    if (!count)
        return STATUS_INVALID_PARAMETER;
    *count = CappedChannelCount(m_Count, m_Mode);
    return STATUS_SUCCESS;
}

NTSTATUS CLevelControlNode::Init(ULONG sourceId, ULONG count, LONG maximum, LONG minimum, LONG step)
{
    if (count > NODE_MAX_CHANNELS)
        return STATUS_INVALID_PARAMETER;
    PVOID table = m_Levels;
    const NTSTATUS status = InstallWithSource(
        &table, NewTable(nullptr, (count + 1) * sizeof(LONG), PagedPool, PoolTag::VTag), sourceId);
    m_Levels = static_cast<PLONG>(table);
    if (!NT_SUCCESS(status))
        return status;
    m_Count = count;
    m_Range[0] = maximum;
    m_Range[1] = minimum;
    m_Range[2] = step;
    return STATUS_SUCCESS;
}

NTSTATUS CLevelControlNode::SetState(ULONG value, ULONG)
{
    m_Mode = value;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------------
CClockNode::CClockNode(PUNKNOWN outerUnknown, ULONG id)
    : CAudioNodeBase(outerUnknown, id, NODE_KIND_CLOCK), m_Rates(nullptr), m_RateCount(0), m_SelectedRate(0)
{
}

CClockNode::~CClockNode()
{
    FreePool(m_Rates);
}

NTSTATUS CClockNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<IClockRates *>(this),
                      {{IID_IClockRates, static_cast<IClockRates *>(this)}});
}

NTSTATUS CClockNode::GetRates(PULONG count, PULONG rates)
{
    if (!count || !rates || *count < m_RateCount)
        return STATUS_INVALID_PARAMETER;
    *count = m_RateCount;
    if (m_RateCount)
        RtlCopyMemory(rates, m_Rates, m_RateCount * sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS CClockNode::GetRateCount(PULONG count)
{
    if (!count)
        return STATUS_INVALID_PARAMETER;
    *count = m_RateCount;
    return STATUS_SUCCESS;
}

NTSTATUS CClockNode::SelectRate(ULONG rate)
{
    m_SelectedRate = rate;
    return STATUS_SUCCESS;
}

NTSTATUS CClockNode::GetSelectedRate(PULONG rate)
{
    if (!rate)
        return STATUS_INVALID_PARAMETER;
    *rate = m_SelectedRate;
    return STATUS_SUCCESS;
}

NTSTATUS CClockNode::IsClock(PULONG isClock)
{
    if (!isClock)
        return STATUS_INVALID_PARAMETER;
    *isClock = 1;
    return STATUS_SUCCESS;
}

NTSTATUS CClockNode::SetRates(ULONG count, const ULONG *rates)
{
    if (!rates || count > CLOCK_MAX_RATES)
        return STATUS_INSUFFICIENT_RESOURCES;
    PULONG table = nullptr;
    if (count)
    {
        table = static_cast<PULONG>(NewTable(rates, count * sizeof(ULONG), NonPagedPool, PoolTag::cloc));
        if (!table)
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    ReplaceSources(0, nullptr); // an empty table cannot fail
    FreePool(m_Rates);
    m_Rates = table;
    m_RateCount = count;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------------
CInfoNode::CInfoNode(PUNKNOWN outerUnknown, ULONG id, ULONG kind)
    : CAudioNodeBase(outerUnknown, id, kind), m_Words{}, m_Byte(0), m_Value(0)
{
}

NTSTATUS CInfoNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<IInfoNode *>(this),
                      {{IID_IInfoNode, static_cast<IInfoNode *>(this)}});
}

NTSTATUS CInfoNode::GetWords(PULONG words)
{
    if (!words)
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(words, m_Words, sizeof(m_Words));
    return STATUS_SUCCESS;
}

NTSTATUS CInfoNode::SetValue(ULONG value)
{
    m_Value = value;
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS CInfoNode::GetByte(PUCHAR value)
{
    if (!value)
        return STATUS_UNSUCCESSFUL;
    *value = m_Byte;
    return STATUS_SUCCESS;
}

NTSTATUS CInfoNode::GetValue(PULONG value)
{
    if (!value)
        return STATUS_INVALID_PARAMETER;
    *value = m_Value;
    return STATUS_SUCCESS;
}

NTSTATUS CInfoNode::Init(ULONG sourceId)
{
    return ReplaceSources(1, &sourceId);
}
