#include "driver/filters/node_controls.h"

#include "driver/filters/audio_hal.h"
#include "driver/base/pool_memory.h"
#include "driver/base/wide_string.h"
#include "dsp/dispatch/primitives.h"

namespace
{

constexpr WideText kChannelName("Unit%02d_%2d_%d");
constexpr WideText kUnitName("Unit%02d_");
constexpr WideText kIndexedName("Unit%02d_%d");

// The control-change record the topology turns into an event: one node, a control value.
constexpr ULONG kChangeCount = 1, kChangeType = 1;

// Queries `unit` for `iid`; the reference goes to *out.
template <class I> NTSTATUS QueryUnit(PUNKNOWN unit, REFIID iid, I **out)
{
    if (!unit || !out)
        return STATUS_INVALID_PARAMETER;
    *out = nullptr;
    return unit->QueryInterface(iid, reinterpret_cast<PVOID *>(out));
}

template <class I> void ReleaseUnit(I *&unit)
{
    if (unit)
        unit->Release();
    unit = nullptr;
}

// Queries `unit` for `iid` and runs `prepare` with it; only when both succeed does the interface
// replace *held, so a failed initialisation leaves the node as it was.
template <class I, class F> NTSTATUS TakeUnit(PUNKNOWN unit, REFIID iid, I **held, F prepare)
{
    I *controls = nullptr;
    NTSTATUS status = QueryUnit(unit, iid, &controls);
    if (!NT_SUCCESS(status))
        return status;
    status = prepare(controls);
    if (!NT_SUCCESS(status))
    {
        controls->Release();
        return status;
    }
    ReleaseUnit(*held);
    *held = controls;
    return STATUS_SUCCESS;
}

} // namespace

// ---- NodeOwner ------------------------------------------------------------------------------------------
NTSTATUS NodeOwner::Name(PWSTR name, size_t bytes, ULONG control, ULONG channel) const
{
    if (control == NODE_NO_CONTROL)
        return RtlStringCbPrintfW(name, bytes, kUnitName, int(UnitId));
    return RtlStringCbPrintfW(name, bytes, kChannelName, int(UnitId), int(control), int(channel));
}

NTSTATUS NodeOwner::Read(ULONG control, ULONG channel, PVOID buffer, ULONG size) const
{
    WCHAR name[NODE_NAME_BYTES / sizeof(WCHAR)];
    if (!Settings.Access || !NT_SUCCESS(Name(name, sizeof name, control, channel)))
        return STATUS_UNSUCCESSFUL;
    return Settings.Access(Settings.DeviceObject, NODE_SETTING_READ, buffer, size, name);
}

void NodeOwner::Write(ULONG control, ULONG channel, PVOID buffer, ULONG size) const
{
    WCHAR name[NODE_NAME_BYTES / sizeof(WCHAR)];
    if (Settings.Access && NT_SUCCESS(Name(name, sizeof name, control, channel)))
        Settings.Access(Settings.DeviceObject, NODE_SETTING_WRITE, buffer, size, name);
}

NTSTATUS NodeOwner::ReadIndexed(ULONG index, PVOID buffer, ULONG size) const
{
    WCHAR name[NODE_NAME_BYTES / sizeof(WCHAR)];
    if (!Settings.Access ||
        !NT_SUCCESS(RtlStringCbPrintfW(name, sizeof name, kIndexedName, int(UnitId), int(index))))
        return STATUS_UNSUCCESSFUL;
    return Settings.Access(Settings.DeviceObject, NODE_SETTING_READ, buffer, size, name);
}

void NodeOwner::WriteIndexed(ULONG index, PVOID buffer, ULONG size) const
{
    WCHAR name[NODE_NAME_BYTES / sizeof(WCHAR)];
    if (Settings.Access &&
        NT_SUCCESS(RtlStringCbPrintfW(name, sizeof name, kIndexedName, int(UnitId), int(index))))
        Settings.Access(Settings.DeviceObject, NODE_SETTING_WRITE, buffer, size, name);
}

void NodeOwner::Notify(ULONG nodeId) const
{
    if (!Callback)
        return;
    ULONG message[4] = {kChangeCount, kChangeType, nodeId, 0};
    ExNotifyCallback(Callback, message, nullptr);
}

// ---- CUnitBase ------------------------------------------------------------------------------------------
CUnitBase::CUnitBase(PUNKNOWN outerUnknown, ULONG position)
    : CAudioNodeBase(outerUnknown, position, 0), m_Descriptor(nullptr), m_DescriptorLength(0),
      m_UnitNodes(nullptr)
{
}

CUnitBase::~CUnitBase()
{
    FreePool(m_Descriptor);
    CItemList::ReleaseAllAndDestroy<IAudioNode>(m_UnitNodes);
}

NTSTATUS CUnitBase::AttachDescriptor(const void *descriptor, ULONG length)
{
    if (!descriptor || !length)
        return STATUS_INVALID_PARAMETER;
    PUCHAR copy = static_cast<PUCHAR>(NewTable(descriptor, length, PagedPool, PoolTag::AUAT));
    CItemList *list = copy ? CItemList::Create(PagedPool, PoolTag::AUAT) : nullptr;
    if (!list)
    {
        FreePool(copy);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FreePool(m_Descriptor);
    CItemList::ReleaseAllAndDestroy<IAudioNode>(m_UnitNodes);
    m_Descriptor = copy;
    m_DescriptorLength = length;
    m_UnitNodes = list;
    return STATUS_SUCCESS;
}

NTSTATUS CUnitBase::AddNode(IAudioNode *node)
{
    if (!node)
        return STATUS_INVALID_PARAMETER;
    if (!m_UnitNodes || !NT_SUCCESS(CItemList::AppendReferenced(m_UnitNodes, node)))
        return STATUS_UNSUCCESSFUL;
    return STATUS_SUCCESS;
}

NTSTATUS CUnitBase::LinkNodes()
{
    // Kinds that take the node before them as their input; the others (terminals, selectors,
    // mixers, clocks) get theirs elsewhere or have none.
    constexpr ULONG kChained = 1u << 1 | 1u << 2 | 1u << 3 | 1u << 6 | 1u << 7 | 1u << 8 | 1u << 9 |
                               1u << 10 | 1u << 11 | 1u << 13 | 1u << 15 | 1u << 18 | 1u << 19 | 1u << 20 |
                               1u << 22 | 1u << 23 | 1u << 24;
    IAudioNode *node = nullptr;
    if (!NT_SUCCESS(NodeAt(0, &node)))
        return STATUS_SUCCESS;
    ULONG feed = node->GetId();
    for (ULONG index = 1; NT_SUCCESS(NodeAt(index, &node)); ++index)
    {
        const ULONG kind = node->GetKind();
        if (kind < 32 && (kChained >> kind) & 1)
            if (NTSTATUS status = node->SetSources(1, &feed); !NT_SUCCESS(status))
                return status;
        // An output terminal ends the chain: what follows is fed from before it.
        if (kind != NODE_KIND_OUTPUT_TERMINAL)
            feed = node->GetId();
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUnitBase::SetNodeInputs(IAudioNode *node, ULONG count, const ULONG *ids)
{
    if (!node)
        return STATUS_SUCCESS;
    const ULONG kind = node->GetKind();
    switch (kind)
    {
    case NODE_KIND_SELECTOR:
    case NODE_KIND_MIXER:
        if (count == node->GetSourceCount() && ids)
            node->SetSources(count, ids);
        break;
    case 12:
    case 14:
    case 16:
    case 17:
    case 21:
        break;
    default:
        if (kind >= 1 && kind <= 23 && count && ids)
            node->SetSources(1, ids);
        break;
    }
    return STATUS_SUCCESS;
}

void CUnitBase::DetachNodes()
{
    IAudioNode *node = nullptr;
    for (ULONG index = 0; NT_SUCCESS(NodeAt(index, &node)) && node; ++index)
        if (IUnitBound *bound = QueryAs<IUnitBound>(node, IID_IUnitBound))
        {
            bound->DetachUnit();
            bound->Release();
        }
    CItemList::ReleaseAllAndDestroy<IAudioNode>(m_UnitNodes);
    m_UnitNodes = nullptr;
}

NTSTATUS CUnitBase::NodeAt(ULONG index, IAudioNode **node) const
{
    if (!m_UnitNodes)
        return STATUS_UNSUCCESSFUL;
    return CItemList::ItemOf(m_UnitNodes, index, node);
}

NTSTATUS CUnitBase::FirstNodeId(PULONG id) const
{
    IAudioNode *node = nullptr;
    if (!id || !m_UnitNodes || !NT_SUCCESS(NodeAt(0, &node)) || !node)
        return STATUS_UNSUCCESSFUL;
    *id = node->GetId();
    return STATUS_SUCCESS;
}

NTSTATUS CUnitBase::GetFirstKindOneNodeId(PULONG id) const
{
    if (!id)
        return STATUS_INVALID_PARAMETER;
    IAudioNode *node = nullptr;
    for (ULONG i = 0; NT_SUCCESS(NodeAt(i, &node)) && node; ++i)
        if (node->GetKind() == NODE_KIND_OUTPUT_TERMINAL)
        {
            *id = node->GetId();
            return STATUS_SUCCESS;
        }
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS CUnitBase::SoleNodeId(PULONG id) const
{
    return NodeCount() == 1 ? FirstNodeId(id) : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUnitBase::JoinNode(CAudioHal *hal, IAudioNode *node)
{
    if (!hal || !node)
        return STATUS_INVALID_PARAMETER;
    // The unit's list first: when the device's list then fails, the unit (and with it the node) is
    // dropped by its creator, and the device never holds a node no unit owns.
    if (!NT_SUCCESS(AddNode(node)))
        return m_UnitNodes ? STATUS_INSUFFICIENT_RESOURCES : STATUS_UNSUCCESSFUL;
    return hal->AddFilter(node);
}

// ---- CSwitchNode ----------------------------------------------------------------------------------------
CSwitchNode::CSwitchNode(PUNKNOWN outerUnknown, ULONG id, ULONG kind, BOOLEAN checked)
    : CByteControlNode(outerUnknown, id, kind), m_Unit(nullptr), m_Control(0), m_Checked(checked), m_Owner{}
{
}

CSwitchNode::~CSwitchNode()
{
    ReleaseUnit(m_Unit);
}

void CSwitchNode::DetachUnit()
{
    ReleaseUnit(m_Unit);
}

NTSTATUS CSwitchNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<ISwitchValue *>(this),
                      {{IID_IUnitBound, static_cast<IUnitBound *>(this)},
                       {IID_ISwitchValue, static_cast<ISwitchValue *>(this)},
                       {IID_IStateTarget, static_cast<IStateTarget *>(this)},
                       {IID_INodeValue, static_cast<INodeValue *>(this)}});
}

NTSTATUS CSwitchNode::InitSwitch(PUNKNOWN unit, UCHAR unitId, UCHAR control, const NodeSettings &settings,
                                 ULONG sourceId)
{
    const NTSTATUS status =
        TakeUnit(unit, IID_ISwitchControl, &m_Unit,
                 [&](ISwitchControl *controls)
                 {
                     ULONG channels = 0;
                     NTSTATUS result = controls->GetSwitchChannels(control, &channels);
                     return NT_SUCCESS(result) ? CByteControlNode::Init(sourceId, channels) : result;
                 });
    if (!NT_SUCCESS(status))
        return status;
    m_Control = control;
    m_Owner = NodeOwner{unitId, settings, nullptr};
    for (ULONG channel = 0; channel < m_Size; ++channel)
    {
        UCHAR value = 0;
        const NTSTATUS read = m_Unit->GetSwitch(control, channel, &value);
        if (read == STATUS_INSUFFICIENT_RESOURCES)
            return read; // a device that does not answer keeps the default; an empty pool fails
        if (NT_SUCCESS(read))
            m_Bytes[channel] = value;
        m_Owner.Read(control, channel, &m_Bytes[channel], 1);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CSwitchNode::SetByte(ULONG index, UCHAR value)
{
    if (!m_Bytes || !m_Unit || index >= m_Size)
        return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = m_Unit->SetSwitch(m_Control, index, value);
    if (NT_SUCCESS(status) || !m_Checked)
    {
        m_Bytes[index] = value;
        m_Owner.Write(m_Control, index, &m_Bytes[index], 1);
    }
    return status;
}

NTSTATUS CCachedSwitchNode::SetByte(ULONG index, UCHAR value)
{
    if (!m_Bytes || index >= m_Size)
        return STATUS_INVALID_PARAMETER;
    m_Bytes[index] = value;
    m_Owner.Write(m_Control, index, &m_Bytes[index], 1);
    return STATUS_SUCCESS;
}

NTSTATUS CSwitchNode::ApplyAll()
{
    for (ULONG channel = 0; m_Unit && channel < m_Size; ++channel)
        if (NTSTATUS status = m_Unit->SetSwitch(m_Control, channel, m_Bytes[channel]); !NT_SUCCESS(status))
            return status;
    return STATUS_SUCCESS;
}

NTSTATUS CSwitchNode::Refresh()
{
    for (ULONG channel = 0; m_Unit && channel < m_Size; ++channel)
    {
        UCHAR value = 0;
        if (NTSTATUS status = m_Unit->GetSwitch(m_Control, channel, &value); !NT_SUCCESS(status))
            return status;
        m_Bytes[channel] = value;
        m_Owner.Write(m_Control, channel, &m_Bytes[channel], 1);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CSwitchNode::GetNodeValue(ULONG channel, PLONG value)
{
    UCHAR byte = 0;
    if (!value)
        return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = GetByte(channel, &byte);
    if (NT_SUCCESS(status))
        *value = byte;
    return status;
}

NTSTATUS CSwitchNode::RestoreNodeValues(const NodeSettings *settings, PCALLBACK_OBJECT callback)
{
    if (settings)
        m_Owner.Settings = *settings;
    m_Owner.Callback = callback;
    NTSTATUS result = STATUS_SUCCESS;
    for (ULONG channel = 0; channel < m_Size; ++channel)
    {
        UCHAR value = m_Bytes[channel];
        m_Owner.Read(m_Control, channel, &value, 1);
        m_Bytes[channel] = value;
        if (NTSTATUS status = SetByte(channel, value); !NT_SUCCESS(status) && NT_SUCCESS(result))
            result = status;
    }
    m_Owner.Notify(m_Id);
    return result;
}

// ---- CLevelNode -----------------------------------------------------------------------------------------
CLevelNode::CLevelNode(PUNKNOWN outerUnknown, ULONG id, ULONG kind, Variant variant)
    : CLevelControlNode(outerUnknown, id, kind), m_Unit(nullptr), m_Control(0), m_Variant(variant), m_Owner{}
{
}

CLevelNode::~CLevelNode()
{
    ReleaseUnit(m_Unit);
}

void CLevelNode::DetachUnit()
{
    ReleaseUnit(m_Unit);
}

NTSTATUS CLevelNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<ILevelValue *>(this),
                      {{IID_IUnitBound, static_cast<IUnitBound *>(this)},
                       {IID_ILevelValue, static_cast<ILevelValue *>(this)},
                       {IID_IStateTarget, static_cast<IStateTarget *>(this)},
                       {IID_INodeValue, static_cast<INodeValue *>(this)}});
}

LONG CLevelNode::Clamped(LONG level) const
{
    if (level == LEVEL_SILENCE)
        return m_Variant == Variant::Refreshing ? level : Minimum();
    if (level < Minimum())
        return Minimum();
    return level > Maximum() ? Maximum() : level;
}

LONG CLevelNode::Quantised(LONG clamped) const
{
    if (clamped == LEVEL_SILENCE)
        return clamped;
    return clamped / Step() * Step();
}

NTSTATUS CLevelNode::InitLevel(PUNKNOWN unit, UCHAR unitId, UCHAR control, const NodeSettings &settings,
                               ULONG sourceId)
{
    const NTSTATUS status =
        TakeUnit(unit, IID_ILevelControl, &m_Unit,
                 [&](ILevelControl *controls)
                 {
                     ULONG channels = 0;
                     LONG maximum = 0, minimum = 0, step = 0;
                     NTSTATUS result = controls->GetLevelChannels(control, &channels);
                     if (NT_SUCCESS(result))
                         result = controls->GetLevelRange(control, &maximum, &minimum, &step);
                     return NT_SUCCESS(result)
                                ? CLevelControlNode::Init(sourceId, channels, maximum, minimum, step)
                                : result;
                 });
    if (!NT_SUCCESS(status))
        return status;
    m_Control = control;
    m_Owner = NodeOwner{unitId, settings, nullptr};
    for (ULONG channel = 0; channel < m_Count; ++channel)
    {
        LONG level = 0;
        const NTSTATUS read = m_Unit->GetLevel(control, channel, &level);
        if (read == STATUS_INSUFFICIENT_RESOURCES)
            return read;
        if (NT_SUCCESS(read))
            m_Levels[channel] = level;
        m_Owner.Read(control, channel, &m_Levels[channel], sizeof(LONG));
        // A stored value is taken as a set would take it; the stored value itself stays.
        m_Levels[channel] = Clamped(m_Levels[channel]);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CLevelNode::GetLevel(ULONG index, PLONG level)
{
    if (m_Variant == Variant::Master && index == NODE_ALL_CHANNELS)
        index = 0;
    if (!level || !m_Levels || index >= m_Count)
        return STATUS_INVALID_PARAMETER;
    *level = m_Levels[index];
    return STATUS_SUCCESS;
}

NTSTATUS CLevelNode::SetOne(ULONG channel, LONG level)
{
    const LONG clamped = Clamped(level);
    const NTSTATUS status = m_Unit->SetLevel(m_Control, channel, Quantised(clamped));
    if (!NT_SUCCESS(status))
        return status;
    m_Levels[channel] = clamped;
    m_Owner.Write(m_Control, channel, &m_Levels[channel], sizeof(LONG));
    return LevelsChanged(channel);
}

NTSTATUS CLevelNode::SetLevel(ULONG index, LONG level)
{
    if (!m_Levels || !m_Unit)
        return STATUS_INVALID_PARAMETER;
    if (m_Variant == Variant::Master && index == NODE_ALL_CHANNELS)
    {
        for (ULONG channel = 0; channel < m_Count; ++channel)
            if (NTSTATUS status = SetOne(channel, level); !NT_SUCCESS(status))
                return status;
        return STATUS_SUCCESS;
    }
    if (index >= m_Count)
        return STATUS_INVALID_PARAMETER;
    return SetOne(index, level);
}

NTSTATUS CLevelNode::ApplyAll()
{
    // The cache as it stands: a level a refresh read from the device lies off the step grid on a
    // curve unit, and sending it quantised would move the device one row further on every round.
    for (ULONG channel = 0; m_Unit && channel < m_Count; ++channel)
        if (NTSTATUS status = m_Unit->SetLevel(m_Control, channel, m_Levels[channel]); !NT_SUCCESS(status))
            return status;
    return STATUS_SUCCESS;
}

NTSTATUS CLevelNode::Refresh()
{
    BOOLEAN changed = FALSE;
    for (ULONG channel = 0; m_Unit && channel < m_Count; ++channel)
    {
        LONG level = 0;
        if (NTSTATUS status = m_Unit->GetLevel(m_Control, channel, &level); !NT_SUCCESS(status))
            return status;
        // The device holds the quantised value: the same on the step grid means nothing changed.
        if (m_Variant == Variant::Refreshing && level == Quantised(m_Levels[channel]))
            continue;
        changed = TRUE;
        m_Levels[channel] = level;
        m_Owner.Write(m_Control, channel, &m_Levels[channel], sizeof(LONG));
        LevelsChanged(channel);
    }
    if (m_Variant == Variant::Refreshing && m_Count && !changed)
        return STATUS_UNSUCCESSFUL;
    return STATUS_SUCCESS;
}

NTSTATUS CLevelNode::RestoreNodeValues(const NodeSettings *settings, PCALLBACK_OBJECT callback)
{
    if (settings)
        m_Owner.Settings = *settings;
    m_Owner.Callback = callback;
    NTSTATUS result = STATUS_SUCCESS;
    for (ULONG channel = 0; channel < m_Count; ++channel)
    {
        LONG level = m_Levels[channel];
        m_Owner.Read(m_Control, channel, &level, sizeof level);
        m_Levels[channel] = Clamped(level);
        if (NTSTATUS status = SetOne(channel, m_Levels[channel]); !NT_SUCCESS(status) && NT_SUCCESS(result))
            result = status;
    }
    m_Owner.Notify(m_Id);
    return result;
}

// ---- CSoftVolumeNode ------------------------------------------------------------------------------------
CSoftVolumeNode::CSoftVolumeNode(PUNKNOWN outerUnknown, ULONG id)
    : CLevelNode(outerUnknown, id, NODE_KIND_LEVEL, Variant::Refreshing),
      m_Gains(nullptr), m_Gate{LONG(SOFT_VOLUME_GATE_OPEN), 0}
{
}

CSoftVolumeNode::~CSoftVolumeNode()
{
    FreePool(m_Gains);
}

NTSTATUS CSoftVolumeNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<ILevelValue *>(this),
                      {{IID_ILevelValue, static_cast<ILevelValue *>(this)},
                       {IID_IStateTarget, static_cast<IStateTarget *>(this)},
                       {IID_INodeValue, static_cast<INodeValue *>(this)},
                       {IID_IProcessingNode, static_cast<IProcessingNode *>(this)},
                       {IID_IProcessingGate, static_cast<IProcessingGate *>(this)}});
}

NTSTATUS CSoftVolumeNode::ComputeGains(const LONG *levels, float *gains, ULONG count)
{
    if (!count)
        return STATUS_SUCCESS;
    // 10 ^ (level / (65536 * 20)): the level in 1/65536 dB to an amplitude ratio.
    float tens[NODE_MAX_CHANNELS + 1];
    for (ULONG i = 0; i < count; ++i)
        tens[i] = 10.0f;
    const int32_t n = int32_t(count);
    if (dsp::convertS32ToF32(reinterpret_cast<const int32_t *>(levels), gains, n) < 0 ||
        dsp::divConstInPlaceF32(1310720.0f, gains, n) < 0 || dsp::powF32(tens, gains, gains, n) < 0)
        return STATUS_UNSUCCESSFUL;
    return STATUS_SUCCESS;
}

NTSTATUS CSoftVolumeNode::RecomputeGains(ULONG first, ULONG count)
{
    KFLOATING_SAVE save;
    NTSTATUS status = KeSaveFloatingPointState(&save);
    if (!NT_SUCCESS(status))
    {
        DbgPrint("Save FPU error\n");
        return status;
    }
    float gains[NODE_MAX_CHANNELS + 1];
    status = ComputeGains(m_Levels + first, gains, count);
    KeRestoreFloatingPointState(&save);
    if (NT_SUCCESS(status))
        RtlCopyMemory(m_Gains + first, gains, count * sizeof(float));
    return status;
}

NTSTATUS CSoftVolumeNode::InitSoftVolume(PUNKNOWN unit, UCHAR unitId, UCHAR control,
                                         const NodeSettings &settings, ULONG sourceId)
{
    NTSTATUS status = InitLevel(unit, unitId, control, settings, sourceId);
    if (!NT_SUCCESS(status))
        return status;
    FreePool(m_Gains);
    m_Gains =
        static_cast<float *>(AllocPoolZeroed((m_Count + 1) * sizeof(float), NonPagedPool, PoolTag::VTag));
    if (!m_Gains)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = RecomputeGains(0, m_Count);
    if (!NT_SUCCESS(status))
    {
        FreePool(m_Gains);
        m_Gains = nullptr;
    }
    return status;
}

NTSTATUS CSoftVolumeNode::LevelsChanged(ULONG channel)
{
    // A failed recomputation keeps the old gain (and has said so); the level itself was taken.
    if (m_Gains && channel < m_Count)
        RecomputeGains(channel, 1);
    return STATUS_SUCCESS;
}

NTSTATUS CSoftVolumeNode::RestoreNodeValues(const NodeSettings *settings, PCALLBACK_OBJECT callback)
{
    const NTSTATUS status = CLevelNode::RestoreNodeValues(settings, callback);
    if (m_Gains)
        RecomputeGains(0, m_Count);
    return status;
}

NTSTATUS CSoftVolumeNode::ProcessBuffers(const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames)
{
    if (!format || !buffers)
        return STATUS_INVALID_PARAMETER;
    if (m_Gate[0] != m_Gate[1] || !m_Gains || SampleTypeOf(*format) != WAVE_FORMAT_PCM)
        return STATUS_SUCCESS;
    // A master (one-channel) node sets the level of the whole stream; a node with more channels
    // leaves the stream's channels past its own at unity.
    const ULONG channels = format->Format.nChannels;
    for (ULONG channel = 0; channel < channels; ++channel)
    {
        if (!buffers[channel] || (m_Count != 1 && channel >= m_Count))
            continue;
        dsp::mulConstInPlaceF32(m_Gains[m_Count == 1 ? 0 : channel], buffers[channel], int32_t(frames));
    }
    return STATUS_SUCCESS;
}

NTSTATUS CSoftVolumeNode::SetSecondValue(ULONG value)
{
    if (ULONG(m_Gate[1]) != value)
        InterlockedExchange(&m_Gate[1], LONG(value));
    return STATUS_SUCCESS;
}

NTSTATUS CSoftVolumeNode::SetFirstValue(ULONG value)
{
    InterlockedExchange(&m_Gate[0], LONG(value));
    return STATUS_SUCCESS;
}

// ---- CSoftVolumeApplyAllNode ----------------------------------------------------------------------------
NTSTATUS CSoftVolumeApplyAllNode::Refresh()
{
    const NTSTATUS status = CSoftVolumeNode::Refresh();
    // A failed read leaves a cache the device may not hold: nothing is sent from it.
    if (!NT_SUCCESS(status) && status != STATUS_UNSUCCESSFUL)
        return status;
    const NTSTATUS sent = ApplyAll();
    return NT_SUCCESS(sent) ? status : sent;
}

// ---- CSelectorUnitNode ----------------------------------------------------------------------------------
CSelectorUnitNode::CSelectorUnitNode(PUNKNOWN outerUnknown, ULONG id)
    : CSelectorNode(outerUnknown, id), m_Unit(nullptr), m_Owner{}
{
}

CSelectorUnitNode::~CSelectorUnitNode()
{
    ReleaseUnit(m_Unit);
}

void CSelectorUnitNode::DetachUnit()
{
    ReleaseUnit(m_Unit);
}

NTSTATUS CSelectorUnitNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<INodeConnect *>(this),
                      {{IID_IUnitBound, static_cast<IUnitBound *>(this)},
                       {IID_INodeConnect, static_cast<INodeConnect *>(this)},
                       {IID_INodeValue, static_cast<INodeValue *>(this)}});
}

NTSTATUS CSelectorUnitNode::InitSelector(PUNKNOWN unit, UCHAR unitId, const NodeSettings &settings,
                                         ULONG sourceCount, const ULONG *sources)
{
    const NTSTATUS status =
        TakeUnit(unit, IID_ISelectorControl, &m_Unit,
                 [&](ISelectorControl *controls)
                 {
                     ULONG count = 0;
                     NTSTATUS result = controls->GetInputCount(&count);
                     if (!NT_SUCCESS(result))
                         return result;
                     if (count != sourceCount || !count)
                         return STATUS_INVALID_PARAMETER;
                     result = SetSources(sourceCount, sources);
                     // The base reports its missing listener list as unsuccessful; here that is the pool.
                     return result == STATUS_UNSUCCESSFUL ? STATUS_INSUFFICIENT_RESOURCES : result;
                 });
    if (!NT_SUCCESS(status))
        return status;
    m_Owner = NodeOwner{unitId, settings, nullptr};
    ULONG input = 1;
    if (m_Unit->GetInput(&input) == STATUS_INSUFFICIENT_RESOURCES)
        return STATUS_INSUFFICIENT_RESOURCES;
    m_Owner.Read(NODE_NO_CONTROL, 0, &input, sizeof input);
    m_Selected = ClampInput(input);
    return STATUS_SUCCESS;
}

ULONG CSelectorUnitNode::ClampInput(ULONG input) const
{
    if (input > m_SourceCount)
        input = m_SourceCount;
    return input ? input : 1;
}

NTSTATUS CSelectorUnitNode::Select(ULONG index)
{
    if (!m_Unit || index < 1 || index > m_SourceCount)
        return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = m_Unit->SetInput(index);
    if (!NT_SUCCESS(status))
        return status;
    CSelectorNode::Select(index);
    m_Owner.Write(NODE_NO_CONTROL, 0, &m_Selected, sizeof m_Selected);
    return STATUS_SUCCESS;
}

NTSTATUS CSelectorUnitNode::ApplyAll()
{
    return m_Unit ? m_Unit->SetInput(m_Selected) : STATUS_SUCCESS;
}

NTSTATUS CSelectorUnitNode::Refresh()
{
    ULONG input = 0;
    if (!m_Unit)
        return STATUS_SUCCESS;
    NTSTATUS status = m_Unit->GetInput(&input);
    if (!NT_SUCCESS(status) || input == m_Selected)
        return status;
    m_Owner.Write(NODE_NO_CONTROL, 0, &input, sizeof input);
    m_Unit->InputChanged(input);
    m_Selected = input;
    return STATUS_SUCCESS;
}

NTSTATUS CSelectorUnitNode::GetNodeValue(ULONG channel, PLONG value)
{
    if (!value || channel != 0)
        return STATUS_INVALID_PARAMETER;
    *value = LONG(m_Selected);
    return STATUS_SUCCESS;
}

NTSTATUS CSelectorUnitNode::RestoreNodeValues(const NodeSettings *settings, PCALLBACK_OBJECT callback)
{
    if (settings)
        m_Owner.Settings = *settings;
    m_Owner.Callback = callback;
    ULONG input = m_Selected;
    m_Owner.Read(NODE_NO_CONTROL, 0, &input, sizeof input);
    const NTSTATUS status = Select(ClampInput(input));
    m_Owner.Notify(m_Id);
    return status;
}

// ---- CUnitTerminalNode ----------------------------------------------------------------------------------
CUnitTerminalNode::~CUnitTerminalNode()
{
    ReleaseUnit(m_Terminal);
}

void CUnitTerminalNode::DetachUnit()
{
    ReleaseUnit(m_Terminal);
}

NTSTATUS CUnitTerminalNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    if (IsEqualId(iid, IID_IUnitBound))
    {
        *object = static_cast<IUnitBound *>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CJackTerminalNode::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CUnitTerminalNode::InitFromUnit(PUNKNOWN unit, BOOLEAN hasSource, ULONG typeCount,
                                         const ULONG *types, ULONG jackCount, const JackRecord *jacks,
                                         const ULONG (&words)[HAL_INFO_WORDS])
{
    const ULONG unlinked = UAC_NO_NODE;
    NTSTATUS status = InitTables(typeCount, types, jackCount, jacks, hasSource ? 1 : 0, &unlinked);
    if (!NT_SUCCESS(status))
        return status;
    RtlCopyMemory(m_Words, words, sizeof m_Words);
    if (unit)
    {
        ReleaseUnit(m_Terminal);
        status = QueryUnit(unit, IID_ITerminalControl, &m_Terminal);
    }
    return status;
}

NTSTATUS CUnitTerminalNode::Refresh()
{
    if (!m_Terminal)
        return STATUS_SUCCESS;
    ULONG count = 0;
    NTSTATUS status = m_Terminal->GetTerminalJackCount(m_JackIndex, &count);
    if (!NT_SUCCESS(status))
        return status;
    if (count > TERMINAL_MAX_JACKS)
        count = TERMINAL_MAX_JACKS;
    if (count != m_JackCount || !m_Jacks)
    {
        FreePool(m_Jacks);
        m_Jacks = nullptr;
        m_JackCount = 0;
        if (count)
        {
            m_Jacks = static_cast<JackRecord *>(
                AllocPoolZeroed(count * ULONG(sizeof(JackRecord)), PagedPool, PoolTag::Term));
            if (!m_Jacks)
                return STATUS_INSUFFICIENT_RESOURCES;
        }
        m_JackCount = count;
    }
    return count ? m_Terminal->GetTerminalJacks(m_JackIndex, count * ULONG(sizeof(JackRecord)), m_Jacks)
                 : STATUS_SUCCESS;
}

// ---- CJackTypeSelectorNode ------------------------------------------------------------------------------
CJackTypeSelectorNode::CJackTypeSelectorNode(PUNKNOWN outerUnknown, ULONG id)
    : CStateNode(outerUnknown, id), m_Terminal(nullptr), m_Sink(nullptr), m_Owner{}
{
}

CJackTypeSelectorNode::~CJackTypeSelectorNode()
{
    ReleaseUnit(m_Terminal);
    ReleaseUnit(m_Sink);
}

void CJackTypeSelectorNode::DetachUnit()
{
    ReleaseUnit(m_Terminal);
    ReleaseUnit(m_Sink);
}

NTSTATUS CJackTypeSelectorNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<INodeState *>(this),
                      {{IID_INodeState, static_cast<INodeState *>(this)},
                       {IID_IUnitBound, static_cast<IUnitBound *>(this)}});
}

NTSTATUS CJackTypeSelectorNode::InitJackType(PUNKNOWN unit, PUNKNOWN sink, UCHAR unitId,
                                             const NodeSettings &settings, ULONG count, const ULONG *types,
                                             ULONG current)
{
    const NTSTATUS status =
        TakeUnit(unit, IID_ITerminalControl, &m_Terminal,
                 [&](ITerminalControl *) { return CStateNode::Init(UAC_NO_NODE, count, types); });
    if (!NT_SUCCESS(status))
        return status;
    for (ULONG i = 0; i < m_ValueCount; ++i)
        if (m_Values[i] == current)
            m_Current = current;
    ReleaseUnit(m_Sink);
    if (sink)
        sink->QueryInterface(IID_IStreamConfigSink, reinterpret_cast<PVOID *>(&m_Sink));
    m_Owner = NodeOwner{unitId, settings, nullptr};
    return STATUS_SUCCESS;
}

NTSTATUS CJackTypeSelectorNode::Select(ULONG value)
{
    BOOLEAN allowed = FALSE;
    for (ULONG i = 0; i < m_ValueCount; ++i)
        allowed |= m_Values[i] == value;
    if (!allowed || !m_Terminal)
        return STATUS_INVALID_PARAMETER;
    if (value == m_Current)
        return STATUS_SUCCESS;
    const ULONG previous = m_Current;
    NTSTATUS status = m_Terminal->SelectOutputType(value);
    if (!NT_SUCCESS(status))
        return status;
    CStateNode::Select(value);
    if (m_Sink)
    {
        ULONG configs[TERMINAL_MAX_TYPES];
        ULONG count = TERMINAL_MAX_TYPES;
        WAVEFORMATEXTENSIBLE format{};
        status = m_Terminal->GetChannelConfigs(&count, configs);
        if (NT_SUCCESS(status))
            status = m_Sink->TakeChannelConfig(count, configs, &format);
        if (NT_SUCCESS(status))
            status = m_Terminal->TakeFormat(&format);
    }
    if (!NT_SUCCESS(status))
    {
        // The device and the node go back to the type the stream was built for.
        CStateNode::Select(previous);
        m_Terminal->SelectOutputType(previous);
        return status;
    }
    m_Owner.Write(NODE_NO_CONTROL, 0, &m_Current, sizeof m_Current);
    return STATUS_SUCCESS;
}

// ---- CClockRateNode -------------------------------------------------------------------------------------
CClockRateNode::CClockRateNode(PUNKNOWN outerUnknown, ULONG id)
    : CClockNode(outerUnknown, id), m_Unit(nullptr)
{
}

CClockRateNode::~CClockRateNode()
{
    ReleaseUnit(m_Unit);
}

NTSTATUS CClockRateNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<IClockRates *>(this),
                      {{IID_IClockRates, static_cast<IClockRates *>(this)},
                       {IID_IUnitBound, static_cast<IUnitBound *>(this)}});
}

void CClockRateNode::DetachUnit()
{
    ReleaseUnit(m_Unit);
}

NTSTATUS CClockRateNode::InitClock(PUNKNOWN unit)
{
    const NTSTATUS status = TakeUnit(unit, IID_IClockControl, &m_Unit,
                                     [&](IClockControl *controls)
                                     {
                                         ULONG rates[CLOCK_MAX_RATES];
                                         ULONG count = CLOCK_MAX_RATES;
                                         NTSTATUS result = controls->GetClockRates(&count, rates);
                                         return NT_SUCCESS(result) ? SetRates(count, rates) : result;
                                     });
    if (!NT_SUCCESS(status))
        return status;
    ULONG current = 0;
    const NTSTATUS read = m_Unit->GetClockRate(&current);
    if (read == STATUS_INSUFFICIENT_RESOURCES)
        return read;
    if (NT_SUCCESS(read))
        m_SelectedRate = current;
    return STATUS_SUCCESS;
}

NTSTATUS CClockRateNode::SelectRate(ULONG rate)
{
    if (!m_Unit)
        return CClockNode::SelectRate(rate);
    const NTSTATUS status = m_Unit->SetClockRate(rate);
    if (NT_SUCCESS(status))
        m_SelectedRate = rate;
    return status;
}

// ---- CEffectSwitchNode ----------------------------------------------------------------------------------
CEffectSwitchNode::CEffectSwitchNode(PUNKNOWN outerUnknown, ULONG id, const GUID &effectType)
    : CInfoNode(outerUnknown, id, NODE_KIND_INFO), m_UnitUnknown(nullptr), m_Control(0), m_Owner{},
      m_EffectType(effectType), m_Flags{0, 0}
{
    // The block's four words are the effect's identifier: the topology filter names the node by them.
    static_assert(sizeof(m_Words) == sizeof(GUID));
    RtlCopyMemory(m_Words, &effectType, sizeof(GUID));
}

CEffectSwitchNode::~CEffectSwitchNode()
{
    ReleaseUnit(m_UnitUnknown);
}

NTSTATUS CEffectSwitchNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(
        iid, object, static_cast<IInfoNode *>(this),
        {{IID_IInfoNode, static_cast<IInfoNode *>(this)}, {IID_IUnitBound, static_cast<IUnitBound *>(this)}});
}

void CEffectSwitchNode::DetachUnit()
{
    m_Lock.Lock();
    ReleaseUnit(m_UnitUnknown);
    m_Lock.Unlock();
}

void CEffectSwitchNode::RaiseFlags()
{
    InterlockedCompareExchange(&m_Flags[0], 1, 0);
    InterlockedCompareExchange(&m_Flags[1], 1, 0);
}

BOOLEAN CEffectSwitchNode::TakeSwitchChange()
{
    return InterlockedCompareExchange(&m_Flags[0], 0, 1) == 1;
}

BOOLEAN CEffectSwitchNode::TakeSecondChange()
{
    return InterlockedCompareExchange(&m_Flags[1], 0, 1) == 1;
}

NTSTATUS CEffectSwitchNode::InitEffectSwitch(PUNKNOWN unit, UCHAR unitId, UCHAR control,
                                             const NodeSettings &settings, ULONG sourceId)
{
    ISwitchControl *controls = nullptr;
    NTSTATUS status = QueryUnit(unit, IID_ISwitchControl, &controls);
    if (!NT_SUCCESS(status))
        return status;
    status = CInfoNode::Init(sourceId);
    UCHAR value = 0;
    if (NT_SUCCESS(status))
    {
        if (controls->GetSwitch(control, 0, &value) == STATUS_INSUFFICIENT_RESOURCES)
            status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status))
    {
        m_Owner = NodeOwner{unitId, settings, nullptr};
        // Each switch has its own name; a value stored under the unit's single name by an earlier
        // driver is taken only when there is none of its own.
        if (!NT_SUCCESS(m_Owner.Read(control, 0, &value, 1)))
            m_Owner.Read(NODE_NO_CONTROL, 0, &value, 1);
        m_Byte = value;
        m_Control = control;
        InterlockedExchange(&m_Flags[0], 0);
        InterlockedExchange(&m_Flags[1], 0);
        ReleaseUnit(m_UnitUnknown);
        m_UnitUnknown = unit;
        m_UnitUnknown->AddRef();
    }
    controls->Release();
    return status;
}

NTSTATUS CEffectSwitchNode::SetValue(ULONG value)
{
    m_Lock.Lock();
    ISwitchControl *controls = nullptr;
    NTSTATUS status = QueryUnit(m_UnitUnknown, IID_ISwitchControl, &controls);
    if (NT_SUCCESS(status))
    {
        status = controls->SetSwitch(m_Control, 0, UCHAR(value));
        RaiseFlags();
        controls->Release();
        if (NT_SUCCESS(status))
        {
            m_Byte = UCHAR(value);
            m_Owner.Write(m_Control, 0, &m_Byte, 1);
        }
    }
    m_Lock.Unlock();
    return status;
}

NTSTATUS CEffectSwitchNode::GetByte(PUCHAR value)
{
    if (!value)
        return STATUS_INVALID_PARAMETER;
    m_Lock.Lock();
    *value = m_Byte;
    m_Lock.Unlock();
    return STATUS_SUCCESS;
}

NTSTATUS CEffectSwitchNode::Refresh()
{
    ISwitchControl *controls = nullptr;
    NTSTATUS status = QueryUnit(m_UnitUnknown, IID_ISwitchControl, &controls);
    if (!NT_SUCCESS(status))
        return status;
    m_Lock.Lock();
    UCHAR value = 0;
    status = controls->GetSwitch(m_Control, 0, &value);
    if (NT_SUCCESS(status))
    {
        m_Byte = value;
        RaiseFlags();
        m_Owner.Write(m_Control, 0, &m_Byte, 1);
    }
    m_Lock.Unlock();
    controls->Release();
    return status;
}

NTSTATUS CEffectSwitchNode::ApplyAll()
{
    ISwitchControl *controls = nullptr;
    NTSTATUS status = QueryUnit(m_UnitUnknown, IID_ISwitchControl, &controls);
    if (!NT_SUCCESS(status))
        return status;
    status = controls->SetSwitch(m_Control, 0, m_Byte);
    controls->Release();
    return status;
}

// ---- CProcessingNode ------------------------------------------------------------------------------------
CProcessingNode::CProcessingNode(PUNKNOWN outerUnknown, ULONG id)
    : CInfoNode(outerUnknown, id, NODE_KIND_INFO_20), m_Unit(nullptr), m_ParameterCount(0)
{
}

CProcessingNode::~CProcessingNode()
{
    ReleaseUnit(m_Unit);
}

void CProcessingNode::DetachUnit()
{
    ReleaseUnit(m_Unit);
}

NTSTATUS CProcessingNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<IInfoNode *>(this),
                      {{IID_IUnitBound, static_cast<IUnitBound *>(this)},
                       {IID_IInfoNode20, static_cast<IInfoNode *>(this)}});
}

NTSTATUS CProcessingNode::InitParameters(PUNKNOWN unit, ULONG sourceId)
{
    ULONG count = 0;
    const NTSTATUS status = TakeUnit(unit, IID_IParameterControl, &m_Unit,
                                     [&](IParameterControl *controls)
                                     {
                                         NTSTATUS result = controls->GetParameterCount(&count);
                                         return NT_SUCCESS(result) ? CInfoNode::Init(sourceId) : result;
                                     });
    if (NT_SUCCESS(status))
        m_ParameterCount = count;
    return status;
}

NTSTATUS CProcessingNode::GetParameters(ULONG start, ULONG count, PLONG values)
{
    if (!m_Unit || !values || !InBounds(start, count))
        return STATUS_INVALID_PARAMETER;
    return m_Unit->GetParameters(start, count, values);
}

NTSTATUS CProcessingNode::SetParameters(ULONG start, ULONG count, const LONG *values)
{
    if (!m_Unit || !values || !InBounds(start, count))
        return STATUS_INVALID_PARAMETER;
    return m_Unit->SetParameters(start, count, values);
}

NTSTATUS CProcessingNode::SetParameter(ULONG index, LONG first, LONG second)
{
    if (!m_Unit || index >= m_ParameterCount)
        return STATUS_INVALID_PARAMETER;
    return m_Unit->SetParameter(index, first, second);
}
