#include "driver/core/uac_entities.h"

#include "driver/base/pool_memory.h"
#include "driver/base/wide_string.h"

namespace
{

ULONG Le(const UCHAR *bytes, ULONG count)
{
    ULONG value = 0;
    for (ULONG i = 0; i < count; ++i)
        value |= ULONG(bytes[i]) << (8 * i);
    return value;
}

void PutLe(UCHAR *bytes, ULONG value, ULONG count)
{
    for (ULONG i = 0; i < count; ++i)
        bytes[i] = UCHAR(value >> (8 * i));
}

// The feature-unit controls in the order their nodes are chained.
constexpr UCHAR kUac1Order[] = {FU_MUTE,     FU_VOLUME,          FU_BASS,
                                FU_MID,      FU_TREBLE,          FU_AUTOMATIC_GAIN,
                                FU_LOUDNESS, EFFECT_CONTROL_139, EFFECT_CONTROL_140};
constexpr UCHAR kUac2Order[] = {FU_MUTE,           FU_VOLUME,   FU_BASS,           FU_MID, FU_TREBLE,
                                FU_AUTOMATIC_GAIN, FU_LOUDNESS, FU_INPUT_GAIN_PAD, 0x90,   0x82};

// The vendor extension block: after its 2-byte size, one bitmap per wire channel, master first.
constexpr ULONG kVendorBitmapAt[] = {0, 18};
constexpr ULONG kVendorBitmapBytes[] = {2, 4};

} // namespace

// ---- CUacEntity -----------------------------------------------------------------------------------------
CUacEntity::CUacEntity(PUNKNOWN outerUnknown, ULONG position) : CUnitBase(outerUnknown, position), m_Context{}
{
}

NTSTATUS CUacEntity::BeginInit(const UCHAR *descriptor, ULONG length, const UnitContext &context, ULONG idAt,
                               ULONG sourceCount, const UCHAR *sourceIds)
{
    if (!descriptor || length < 3 || idAt >= length || !context.Hal)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = AttachDescriptor(descriptor, length);
    if (!NT_SUCCESS(status))
        return status;
    ULONG ids[NODE_MAX_SOURCES];
    for (ULONG i = 0; i < sourceCount; ++i)
        ids[i] = sourceIds[i];
    status = ReplaceSources(sourceCount, ids);
    if (!NT_SUCCESS(status))
        return status;
    m_Context = context;
    SetIdentity(descriptor[idAt], descriptor[2]);
    return STATUS_SUCCESS;
}

NTSTATUS CUacEntity::LinkSources(ULONG count, const ULONG *nodeIds)
{
    IAudioNode *first = nullptr;
    if (!NT_SUCCESS(NodeAt(0, &first)) || !first)
        return STATUS_UNSUCCESSFUL;
    return first->SetSources(count, nodeIds);
}

// ---- CUacFeatureUnit ------------------------------------------------------------------------------------
CUacFeatureUnit::CUacFeatureUnit(PUNKNOWN outerUnknown, ULONG position)
    : CUacEntity(outerUnknown, position), m_Channels(0), m_Controls{}, m_Vendor{}
{
}

NTSTATUS CUacFeatureUnit::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<IUsbAudioUnit *>(this),
                      {{IID_IUsbAudioUnit, static_cast<IUsbAudioUnit *>(this)},
                       {IID_ILevelControl, static_cast<ILevelControl *>(this)},
                       {IID_ISwitchControl, static_cast<ISwitchControl *>(this)}});
}

NTSTATUS CUacFeatureUnit::InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context)
{
    const BOOLEAN uac2 = context.Requests.Version == UacVersion::Uac2;
    // The channel entries are counted from bLength: one that is short, or claims more than was
    // given, would count channels that are not there.
    if (!descriptor || length < (uac2 ? 10u : 7u) || descriptor[0] < (uac2 ? 10u : 7u) ||
        descriptor[0] > length)
        return STATUS_INVALID_PARAMETER;
    length = descriptor[0];
    // Class 1.0: bControlSize bytes per channel from byte 6, of which at most two are read (the
    // controls this driver knows fit in 16 bits); 0 would make every channel empty.
    const ULONG stride = uac2 ? 4 : descriptor[5];
    const ULONG first = uac2 ? 5 : 6;
    if (stride == 0)
        return STATUS_INVALID_PARAMETER;
    const ULONG entries = (length - first - 1) / stride; // the last byte is the name string index
    if (entries == 0)
        return STATUS_INVALID_PARAMETER;
    const UCHAR source = descriptor[4];
    NTSTATUS status = BeginInit(descriptor, length, context, 3, 1, &source);
    if (!NT_SUCCESS(status))
        return status;
    m_Channels = entries - 1 < UAC_FEATURE_MAX_CHANNELS ? entries - 1 : UAC_FEATURE_MAX_CHANNELS;
    for (ULONG ch = 0; ch <= m_Channels; ++ch)
        m_Controls[ch] = Le(descriptor + first + ch * stride, uac2 ? 4 : (stride < 2 ? stride : 2));
    status = ReadVendorControls();
    if (NT_SUCCESS(status))
        status = CreateNodes();
    return status;
}

NTSTATUS CUacFeatureUnit::ReadVendorControls()
{
    // A failed or short read leaves the unit without vendor controls; only the pool matters here.
    UCHAR *block = static_cast<UCHAR *>(AllocPoolZeroed(UAC_MEMORY_MAX, PagedPool, m_Context.Tag));
    if (!block)
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG got = 0;
    const UCHAR request = Version() == UacVersion::Uac2 ? UAC2_MEM : UAC1_GET_MEM;
    const NTSTATUS status = UacRequest(m_Context.Requests, TRUE, request, UAC_MEMORY_VALUE, UnitId(), block,
                                       UAC_MEMORY_MAX, &got);
    if (status == STATUS_INSUFFICIENT_RESOURCES)
    {
        FreePool(block);
        return status;
    }
    if (NT_SUCCESS(status) && got >= 2)
    {
        const ULONG v = Version() == UacVersion::Uac2 ? 1 : 0;
        ULONG size = Le(block, 2);
        if (size > got - 2)
            size = got - 2;
        const UCHAR *data = block + 2;
        for (ULONG ch = 0; ch <= m_Channels; ++ch)
        {
            const ULONG at = kVendorBitmapAt[v] + ch * kVendorBitmapBytes[v];
            if (at + kVendorBitmapBytes[v] > size)
                break;
            m_Vendor[ch] = Le(data + at, kVendorBitmapBytes[v]);
        }
    }
    FreePool(block);
    return STATUS_SUCCESS;
}

BOOLEAN CUacFeatureUnit::HasControl(UCHAR control, ULONG channel) const
{
    if (channel > m_Channels || control == 0)
        return FALSE;
    if (control & 0x80)
        return (m_Vendor[channel] >> ((control - 1) % 32)) & 1;
    if (Version() == UacVersion::Uac2)
        return control <= 16 && ((m_Controls[channel] >> (2 * (control - 1))) & 3) != 0; // either bit
    return control <= 16 && ((m_Controls[channel] >> (control - 1)) & 1);
}

NTSTATUS CUacFeatureUnit::ChannelsWith(UCHAR control, PULONG count) const
{
    if (!count)
        return STATUS_INVALID_PARAMETER;
    ULONG n = 0;
    for (ULONG ch = 1; ch <= m_Channels; ++ch)
        n += HasControl(control, ch);
    if (n == 0 && HasControl(control, 0))
        n = 1;
    *count = n;
    return n ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUacFeatureUnit::AddressOf(UCHAR control, ULONG index, PULONG channel) const
{
    ULONG count = 0;
    NTSTATUS status = ChannelsWith(control, &count);
    if (!NT_SUCCESS(status))
        return status;
    if (index >= count)
        return STATUS_INVALID_PARAMETER;
    if (count > 1 || !HasControl(control, index))
        ++index;
    if (!HasControl(control, index))
        return STATUS_INVALID_PARAMETER;
    *channel = index;
    return STATUS_SUCCESS;
}

NTSTATUS CUacFeatureUnit::ReadValue(UCHAR control, ULONG channel, UCHAR request, PLONG wire)
{
    UCHAR bytes[2] = {};
    const ULONG size = UacLevelBytes(control);
    const USHORT value = USHORT(control << 8 | UacWireChannel(channel));
    const NTSTATUS status = UacRequest(m_Context.Requests, TRUE, request, value, UnitId(), bytes, size);
    if (NT_SUCCESS(status))
        *wire = LONG(Le(bytes, size));
    return status;
}

NTSTATUS CUacFeatureUnit::WriteValue(UCHAR control, ULONG channel, LONG wire)
{
    UCHAR bytes[2];
    const ULONG size = UacLevelBytes(control);
    PutLe(bytes, ULONG(wire), size);
    const UCHAR request = Version() == UacVersion::Uac2 ? UAC2_CUR : UAC1_SET_CUR;
    return UacRequest(m_Context.Requests, FALSE, request, USHORT(control << 8 | UacWireChannel(channel)),
                      UnitId(), bytes, size);
}

NTSTATUS CUacFeatureUnit::ReadCurrent(UCHAR control, ULONG index, PLONG wire)
{
    ULONG channel = 0;
    NTSTATUS status = AddressOf(control, index, &channel);
    if (NT_SUCCESS(status))
        status = ReadValue(control, channel, Version() == UacVersion::Uac2 ? UAC2_CUR : UAC1_GET_CUR, wire);
    return status;
}

NTSTATUS CUacFeatureUnit::WriteCurrent(UCHAR control, ULONG index, LONG wire)
{
    ULONG channel = 0;
    NTSTATUS status = AddressOf(control, index, &channel);
    if (NT_SUCCESS(status))
        status = WriteValue(control, channel, wire);
    return status;
}

NTSTATUS CUacFeatureUnit::GetLevel(UCHAR control, ULONG index, PLONG level)
{
    return ReadLevel(control, index, level,
                     [&](LONG wire) { return UacLevelFromWire(wire, UacLevelBytes(control)); });
}

NTSTATUS CUacFeatureUnit::SetLevel(UCHAR control, ULONG index, LONG level)
{
    return WriteCurrent(control, index, UacLevelToWire(level, UacLevelBytes(control)));
}

NTSTATUS CUacFeatureUnit::GetLevelRange(UCHAR control, PLONG maximum, PLONG minimum, PLONG step)
{
    if (!maximum || !minimum || !step)
        return STATUS_INVALID_PARAMETER;
    ULONG channel = 0;
    NTSTATUS status = AddressOf(control, 0, &channel);
    if (!NT_SUCCESS(status))
        return status;
    const ULONG size = UacLevelBytes(control);
    LONG wire[3] = {}; // maximum, minimum, resolution
    if (Version() == UacVersion::Uac2)
    {
        // wNumSubRanges, then the first subrange's MIN, MAX, RES.
        UCHAR range[8] = {};
        status = UacRequest(m_Context.Requests, TRUE, UAC2_RANGE,
                            USHORT(control << 8 | UacWireChannel(channel)), UnitId(), range, 2 + 3 * size);
        if (!NT_SUCCESS(status))
            return status;
        wire[1] = LONG(Le(range + 2, size));
        wire[0] = LONG(Le(range + 2 + size, size));
        wire[2] = LONG(Le(range + 2 + 2 * size, size));
    }
    else
    {
        const UCHAR requests[3] = {UAC1_GET_MAX, UAC1_GET_MIN, UAC1_GET_RES};
        for (ULONG i = 0; i < 3 && NT_SUCCESS(status); ++i)
            status = ReadValue(control, channel, requests[i], &wire[i]);
        if (!NT_SUCCESS(status))
            return status;
    }
    *maximum = UacLevelFromWire(wire[0], size);
    *minimum = UacLevelFromWire(wire[1], size);
    // The resolution is a magnitude.
    *step = LONG(ULONG(wire[2]) & (size == 1 ? 0xFFu : 0xFFFFu)) * (size == 1 ? 16384 : 256);
    return STATUS_SUCCESS;
}

NTSTATUS CUacFeatureUnit::GetSwitch(UCHAR control, ULONG index, PUCHAR value)
{
    LONG wire = 0;
    if (!value)
        return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = ReadCurrent(control, index, &wire);
    if (NT_SUCCESS(status))
        *value = UCHAR(wire);
    return status;
}

NTSTATUS CUacFeatureUnit::SetSwitch(UCHAR control, ULONG index, UCHAR value)
{
    return WriteCurrent(control, index, value);
}

NTSTATUS CUacFeatureUnit::CreateNodes()
{
    const BOOLEAN uac2 = Version() == UacVersion::Uac2;
    const UCHAR *order = uac2 ? kUac2Order : kUac1Order;
    const ULONG count = uac2 ? ULONG(sizeof kUac2Order) : ULONG(sizeof kUac1Order);
    for (ULONG i = 0; i < count; ++i)
    {
        ULONG channels = 0;
        if (!NT_SUCCESS(ChannelsWith(order[i], &channels)))
            continue;
        if (NTSTATUS status = CreateControlNode(order[i]); !NT_SUCCESS(status))
            return status;
    }
    return LinkNodes();
}

NTSTATUS CUacFeatureUnit::CreateControlNode(UCHAR control)
{
    const BOOLEAN uac2 = Version() == UacVersion::Uac2;
    const UCHAR unitId = UnitId();
    // Descriptor IDs are no node IDs: the first node stays unlinked until the walk links the unit.
    const ULONG source = UAC_NO_SOURCE;
    const NodeSettings &settings = m_Context.Settings;
    PUNKNOWN self = Self();
    auto level = [&](CLevelNode *node) { return node->InitLevel(self, unitId, control, settings, source); };
    auto toggle = [&](CSwitchNode *node)
    { return node->InitSwitch(self, unitId, control, settings, source); };
    switch (control)
    {
    case FU_MUTE:
        return CreateNode<CSwitchNode>(toggle, ULONG(NODE_KIND_MUTE), BOOLEAN(FALSE));
    case FU_AUTOMATIC_GAIN:
        return CreateNode<CSwitchNode>(toggle, ULONG(NODE_KIND_BYTE_6), BOOLEAN(FALSE));
    case FU_LOUDNESS:
        return CreateNode<CSwitchNode>(toggle, ULONG(NODE_KIND_BYTE_7), BOOLEAN(FALSE));
    case 0x90:
        return CreateNode<CSwitchNode>(toggle, ULONG(NODE_KIND_BYTE_18), BOOLEAN(TRUE));
    case FU_BASS:
    case FU_MID:
    case FU_TREBLE:
        return CreateNode<CLevelNode>(level, ULONG(NODE_KIND_LEVEL_9 + control - FU_BASS),
                                      CLevelNode::Variant::Plain);
    case FU_INPUT_GAIN_PAD:
        return CreateNode<CMasterLevelNode>(level);
    case FU_VOLUME:
    case 0x82:
        if (uac2)
            return CreateNode<CSoftVolumeNode>(
                [&](CSoftVolumeNode *node)
                { return node->InitSoftVolume(self, unitId, control, settings, source); });
        return CreateNode<CLevelNodeRefreshing>(level);
    case EFFECT_CONTROL_139:
    case EFFECT_CONTROL_140:
        return CreateNode<CEffectSwitchNode>(
            [&](CEffectSwitchNode *node)
            { return node->InitEffectSwitch(self, unitId, control, settings, source); },
            control == EFFECT_CONTROL_139 ? EFFECT_NODE_139_TYPE : EFFECT_NODE_140_TYPE);
    default:
        return STATUS_SUCCESS;
    }
}

// ---- CUacSelectorUnit -----------------------------------------------------------------------------------
CUacSelectorUnit::CUacSelectorUnit(PUNKNOWN outerUnknown, ULONG position) : CUacEntity(outerUnknown, position)
{
}

NTSTATUS CUacSelectorUnit::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<IUsbAudioUnit *>(this),
                      {{IID_IUsbAudioUnit, static_cast<IUsbAudioUnit *>(this)},
                       {IID_ISelectorControl, static_cast<ISelectorControl *>(this)}});
}

NTSTATUS CUacSelectorUnit::InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context)
{
    if (!descriptor || length < 6 || length < 6u + descriptor[4] || descriptor[4] == 0)
        return STATUS_INVALID_PARAMETER;
    const ULONG pins = descriptor[4];
    NTSTATUS status = BeginInit(descriptor, length, context, 3, pins, descriptor + 5);
    if (!NT_SUCCESS(status))
        return status;
    ULONG sources[NODE_MAX_SOURCES];
    for (ULONG i = 0; i < pins; ++i)
        sources[i] = UAC_NO_SOURCE; // linked by the walk
    PUNKNOWN self = Self();
    const UCHAR unitId = UnitId();
    return CreateNode<CSelectorUnitNode>(
        [&](CSelectorUnitNode *node)
        { return node->InitSelector(self, unitId, m_Context.Settings, pins, sources); });
}

NTSTATUS CUacSelectorUnit::GetInputCount(PULONG count)
{
    if (!count || !m_Descriptor)
        return STATUS_INVALID_PARAMETER;
    *count = m_Descriptor[4];
    return STATUS_SUCCESS;
}

NTSTATUS CUacSelectorUnit::GetInput(PULONG input)
{
    UCHAR value = 0;
    if (!input)
        return STATUS_INVALID_PARAMETER;
    const BOOLEAN uac2 = Version() == UacVersion::Uac2;
    const NTSTATUS status = UacRequest(m_Context.Requests, TRUE, uac2 ? UAC2_CUR : UAC1_GET_CUR,
                                       uac2 ? 0x0100 : 0, UnitId(), &value, 1);
    if (NT_SUCCESS(status))
        *input = value;
    return status;
}

NTSTATUS CUacSelectorUnit::SetInput(ULONG input)
{
    ULONG count = 0;
    GetInputCount(&count);
    if (input < 1 || input > count)
        return STATUS_INVALID_PARAMETER;
    UCHAR value = UCHAR(input);
    const BOOLEAN uac2 = Version() == UacVersion::Uac2;
    return UacRequest(m_Context.Requests, FALSE, uac2 ? UAC2_CUR : UAC1_SET_CUR, uac2 ? 0x0100 : 0, UnitId(),
                      &value, 1);
}

// ---- CUacMixerUnit --------------------------------------------------------------------------------------
CUacMixerUnit::CUacMixerUnit(PUNKNOWN outerUnknown, ULONG position) : CUacEntity(outerUnknown, position) {}

NTSTATUS CUacMixerUnit::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<IUsbAudioUnit *>(this),
                      {{IID_IUsbAudioUnit, static_cast<IUsbAudioUnit *>(this)},
                       {IID_IMixerControl, static_cast<IMixerControl *>(this)}});
}

NTSTATUS CUacMixerUnit::InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context)
{
    // The extension unit names its pins at byte 6, the mixer at byte 4.
    const ULONG pinsAt = context.Requests.Version == UacVersion::Uac2 && descriptor && length > 2 &&
                                 descriptor[2] == UAC2_EXTENSION_UNIT
                             ? 6
                             : 4;
    if (!descriptor || length <= pinsAt || length < pinsAt + 1 + descriptor[pinsAt])
        return STATUS_INVALID_PARAMETER;
    const ULONG pins = descriptor[pinsAt];
    NTSTATUS status = BeginInit(descriptor, length, context, 3, pins, descriptor + pinsAt + 1);
    if (!NT_SUCCESS(status))
        return status;
    ULONG sources[NODE_MAX_SOURCES];
    for (ULONG i = 0; i < pins; ++i)
        sources[i] = UAC_NO_SOURCE; // linked by the walk
    return CreateNode<CTerminalNode>([&](CTerminalNode *node) { return node->InitDefault(pins, sources); },
                                     ULONG(NODE_KIND_MIXER));
}

NTSTATUS CUacMixerUnit::GetMixerValueCount(PULONG count)
{
    if (!count)
        return STATUS_INVALID_PARAMETER;
    *count = 0;
    return STATUS_SUCCESS;
}

// ---- CUacClockSource ------------------------------------------------------------------------------------
CUacClockSource::CUacClockSource(PUNKNOWN outerUnknown, ULONG position) : CUacEntity(outerUnknown, position)
{
}

NTSTATUS CUacClockSource::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<IUsbAudioUnit *>(this),
                      {{IID_IUsbAudioUnit, static_cast<IUsbAudioUnit *>(this)},
                       {IID_IClockControl, static_cast<IClockControl *>(this)}});
}

NTSTATUS CUacClockSource::InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context)
{
    if (!descriptor || length < 8)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = BeginInit(descriptor, length, context, 3, 0, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    PUNKNOWN self = Self();
    return CreateNode<CClockRateNode>([&](CClockRateNode *node) { return node->InitClock(self); });
}

NTSTATUS CUacClockSource::GetClockRates(PULONG count, PULONG rates)
{
    if (!count || !rates)
        return STATUS_INVALID_PARAMETER;
    // The count and the first range, then the whole answer, of which only what arrived is read.
    UCHAR head[14] = {};
    NTSTATUS status = UacRequest(m_Context.Requests, TRUE, UAC2_RANGE, 0x0100, UnitId(), head, sizeof head);
    if (!NT_SUCCESS(status))
        return status;
    ULONG ranges = Le(head, 2);
    if (ranges > UAC_CLOCK_MAX_SUBRANGES)
    {
        DbgPrint("GetClockRates %u sub-ranges, %u read\n", unsigned(ranges),
                 unsigned(UAC_CLOCK_MAX_SUBRANGES));
        ranges = UAC_CLOCK_MAX_SUBRANGES;
    }
    const ULONG bytes = 2 + 12 * ranges;
    PUCHAR block = static_cast<PUCHAR>(AllocPoolZeroed(bytes, PagedPool, PoolTag::UA20));
    if (!block)
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG got = 0;
    status = UacRequest(m_Context.Requests, TRUE, UAC2_RANGE, 0x0100, UnitId(), block, bytes, &got);
    ULONG found = 0;
    BOOLEAN dropped = FALSE;
    for (ULONG r = 0; NT_SUCCESS(status) && r < ranges && 2 + 12 * (r + 1) <= got; ++r)
    {
        const ULONG low = Le(block + 2 + 12 * r, 4), high = Le(block + 6 + 12 * r, 4),
                    res = Le(block + 10 + 12 * r, 4);
        auto add = [&](ULONG rate)
        {
            ULONG at = 0;
            while (at < found && rates[at] < rate)
                ++at;
            if (at < found && rates[at] == rate)
                return;
            if (found == *count || found == CLOCK_MAX_RATES)
            {
                dropped = TRUE;
                return;
            }
            for (ULONG k = found; k > at; --k)
                rates[k] = rates[k - 1];
            rates[at] = rate;
            ++found;
        };
        if (low == high)
            add(low);
        else
            for (ULONG rate : SampleRateTable)
                if (rate >= low && rate <= high &&
                    (res ? (rate - low) % res == 0 : rate == low || rate == high))
                    add(rate);
    }
    FreePool(block);
    if (!NT_SUCCESS(status))
        return status;
    if (dropped)
        DbgPrint("GetClockRates more than %u rates, the rest left out\n", unsigned(found));
    *count = found;
    return STATUS_SUCCESS;
}

NTSTATUS CUacClockSource::GetClockRate(PULONG rate)
{
    UCHAR bytes[4] = {};
    if (!rate)
        return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = UacRequest(m_Context.Requests, TRUE, UAC2_CUR, 0x0100, UnitId(), bytes, 4);
    if (NT_SUCCESS(status))
        *rate = Le(bytes, 4);
    return status;
}

NTSTATUS CUacClockSource::SetClockRate(ULONG rate)
{
    UCHAR bytes[4];
    PutLe(bytes, rate, 4);
    return UacRequest(m_Context.Requests, FALSE, UAC2_CUR, 0x0100, UnitId(), bytes, 4);
}

// ---- Terminals ------------------------------------------------------------------------------------------
namespace
{

constexpr ULONG kJackColors[16] = {0x000000, 0x000000, 0x808080, 0x0000FF, 0x00FF00, 0xFF0000,
                                   0xFF8000, 0xFFFF00, 0x800080, 0xFF0080, 0x000000, 0x000000,
                                   0x000000, 0x000000, 0xFFFFFF, 0x000000};
constexpr WideText kUnitSetting("UACUnit%02d");
constexpr WideText kInitByType("INITOTTYPEBYSEL");
constexpr WideText kJackConnect("SetJackConnect");

// The jack table's first answer holds the count and one entry.
constexpr ULONG kJackHead = 9;
constexpr ULONG kJackEntry = 8;
constexpr ULONG kTypeEntry = 6;

} // namespace

ULONG UacOutputTerminalCode(USHORT type)
{
    switch (type)
    {
    case 0x0101:
        return 0;
    case 0x0302:
        return 2;
    case 0x0401:
        return 13;
    case 0x0402:
        return 14;
    case 0x0601:
    case 0x0603:
        return 6;
    case 0x0605:
        return 3;
    default:
        return 1;
    }
}

ULONG UacInputTerminalCode(USHORT type)
{
    if (type >= 0x0201 && type <= 0x0206)
        return 7;
    if (type >= 0x0403 && type <= 0x0405)
        return 15;
    switch (type)
    {
    case 0x0101:
        return 0;
    case 0x0401:
        return 13;
    case 0x0402:
        return 14;
    case 0x0603:
        return 6;
    case 0x0605:
        return 3;
    default:
        return 8;
    }
}

JackRecord UacJackRecord(ULONG mapping, ULONG configuration)
{
    // A jack that reports no presence bits (8-11) detects its plug: it starts disconnected.
    const BOOLEAN detects = ((configuration >> 8) & 0xF) == 0;
    JackRecord r{};
    r.ChannelMapping = mapping;
    r.Color = kJackColors[(configuration >> 12) & 0xF];
    r.ConnectionType = (configuration >> 16) & 0xFF;
    r.GeoLocation = (configuration >> 24) & 0xF;
    r.GenLocation = (configuration >> 28) & 0xF;
    r.IsConnected = detects ? 0 : 1;
    r.Unused8 = detects ? 1 : 0; // the detect word
    return r;
}

CUacTerminal::CUacTerminal(PUNKNOWN outerUnknown, ULONG position)
    : CUacEntity(outerUnknown, position), m_TerminalType(0), m_ClockSourceId(0), m_Presence(FALSE),
      m_ChannelConfig(0), m_Code(0), m_CurrentCode(0), m_TypeCount(0),
      m_CurrentType(0), m_Types{}, m_Jacks{}, m_JackCounts{}
{
}

CUacTerminal::~CUacTerminal()
{
    for (JackRecord *table : m_Jacks)
        FreePool(table);
}

NTSTATUS CUacTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<IUsbAudioUnit *>(this),
                      {{IID_IUsbAudioUnit, static_cast<IUsbAudioUnit *>(this)},
                       {IID_ITerminalControl, static_cast<ITerminalControl *>(this)},
                       {IID_IClockSourceLink, static_cast<IClockSourceLink *>(this)}});
}

NTSTATUS CUacTerminal::Request(BOOLEAN in, UCHAR uac1Request, UCHAR uac2Request, USHORT value, PVOID buffer,
                               ULONG length, PULONG returned)
{
    const BOOLEAN uac2 = Version() == UacVersion::Uac2;
    return UacFormRequest(m_Context.Requests, !uac2, in, uac2 ? uac2Request : uac1Request, value, UnitId(),
                          buffer, length, returned);
}

NTSTATUS CUacTerminal::Setting(ULONG operation, PCSTR which, PVOID buffer, ULONG size)
{
    WCHAR name[NODE_NAME_BYTES / sizeof(WCHAR)];
    if (!m_Context.Settings.Access)
        return STATUS_UNSUCCESSFUL;
    PCWSTR text = which[0] == 'U' ? name : which[0] == 'I' ? PCWSTR(kInitByType) : PCWSTR(kJackConnect);
    if (which[0] == 'U' && !NT_SUCCESS(RtlStringCbPrintfW(name, sizeof name, kUnitSetting, int(UnitId()))))
        return STATUS_UNSUCCESSFUL;
    return m_Context.Settings.Access(m_Context.Settings.DeviceObject, operation, buffer, size, text);
}

NTSTATUS CUacTerminal::ParseTerminal(const UCHAR *descriptor, ULONG length, const UnitContext &context)
{
    const BOOLEAN uac2 = context.Requests.Version == UacVersion::Uac2;
    if (!descriptor || length < 9)
        return STATUS_INVALID_PARAMETER;
    const BOOLEAN output = descriptor[2] == UAC_OUTPUT_TERMINAL;
    const ULONG minimum = uac2 ? (output ? 12 : 17) : (output ? 9 : 12);
    if (length < minimum)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = BeginInit(descriptor, length, context, 3, output ? 1 : 0, descriptor + 7);
    if (!NT_SUCCESS(status))
        return status;
    m_TerminalType = USHORT(descriptor[4] | descriptor[5] << 8);
    if (uac2)
    {
        m_ClockSourceId = descriptor[output ? 8 : 7];
        const ULONG controls = output ? Le(descriptor + 9, 2) : Le(descriptor + 14, 2);
        m_Presence = !IsStreaming() && (controls & 0x4); // the connector control
        m_ChannelConfig = output ? 0 : Le(descriptor + 9, 4);
    }
    else
    {
        m_Presence = !IsStreaming();
        m_ChannelConfig = output ? 0 : Le(descriptor + 8, 2);
    }
    m_TypeCount = 1;
    m_Types[0] = m_TerminalType;
    return STATUS_SUCCESS;
}

NTSTATUS CUacTerminal::InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context)
{
    NTSTATUS status = ParseTerminal(descriptor, length, context);
    if (!NT_SUCCESS(status))
        return status;
    if (!IsOutput())
    {
        m_Code = m_CurrentCode = InputCode(m_TerminalType);
        status = m_Presence ? ReadJacks(0) : STATUS_SUCCESS;
    }
    else
        status = ReadOutputTypes();
    if (NT_SUCCESS(status))
        status = CreatePins();
    return status;
}

NTSTATUS CUacTerminal::ReadJacks(ULONG slot)
{
    FreePool(m_Jacks[slot]);
    m_Jacks[slot] = nullptr;
    m_JackCounts[slot] = 0;
    UCHAR head[kJackHead] = {};
    ULONG got = 0;
    // No answer means no jacks; only the pool ends the terminal.
    NTSTATUS status = Request(TRUE, UAC1_GET_CUR, UAC2_CUR, UAC_JACK_TABLE, head, sizeof head, &got);
    if (status == STATUS_INSUFFICIENT_RESOURCES)
        return status;
    if (!NT_SUCCESS(status) || got < 1 || head[0] == 0)
        return STATUS_SUCCESS;
    ULONG count = head[0] < TERMINAL_MAX_JACKS ? head[0] : TERMINAL_MAX_JACKS;
    const ULONG bytes = 1 + count * kJackEntry;
    PUCHAR table = static_cast<PUCHAR>(AllocPoolZeroed(bytes, PagedPool, m_Context.Tag));
    JackRecord *records =
        table
            ? static_cast<JackRecord *>(AllocPoolZeroed(count * sizeof(JackRecord), PagedPool, m_Context.Tag))
            : nullptr;
    if (!records)
    {
        FreePool(table);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = Request(TRUE, UAC1_GET_CUR, UAC2_CUR, UAC_JACK_TABLE, table, bytes, &got);
    // Only whole entries that arrived count, and never more than either answer's count.
    ULONG usable = NT_SUCCESS(status) && got > 1 ? (got - 1) / kJackEntry : 0;
    if (NT_SUCCESS(status) && table[0] < usable)
        usable = table[0];
    if (usable < count)
        count = usable;
    for (ULONG j = 0; j < count; ++j)
        records[j] = UacJackRecord(Le(table + 1 + j * kJackEntry, 4), Le(table + 5 + j * kJackEntry, 4));
    FreePool(table);
    if (status == STATUS_INSUFFICIENT_RESOURCES || count == 0)
    {
        FreePool(records);
        return status == STATUS_INSUFFICIENT_RESOURCES ? status : STATUS_SUCCESS;
    }
    m_Jacks[slot] = records;
    m_JackCounts[slot] = count;
    return STATUS_SUCCESS;
}

NTSTATUS CUacTerminal::ReadOutputTypes()
{
    m_Code = UacOutputTerminalCode(m_TerminalType);
    Setting(NODE_SETTING_READ, "UACUnit", &m_Code, sizeof m_Code);
    ULONG byType = 0;
    Setting(NODE_SETTING_READ, "INITOTTYPEBYSEL", &byType, sizeof byType);
    m_CurrentCode = m_Code;
    if (IsStreaming())
        return STATUS_SUCCESS;
    UCHAR current[2] = {};
    NTSTATUS status = Request(TRUE, UAC1_GET_CUR, UAC2_CUR, UAC_OUTPUT_TYPE, current, sizeof current);
    if (status == STATUS_INSUFFICIENT_RESOURCES)
        return status;
    const BOOLEAN known = NT_SUCCESS(status);
    if (known && byType)
        m_CurrentCode = UacOutputTerminalCode(USHORT(Le(current, 2)));

    UCHAR countBytes[2] = {};
    status = Request(TRUE, UAC1_VENDOR_LIST, UAC2_RANGE, UAC_OUTPUT_TYPE, countBytes, sizeof countBytes);
    if (status == STATUS_INSUFFICIENT_RESOURCES)
        return status;
    ULONG count = NT_SUCCESS(status) ? Le(countBytes, 2) : 0;
    if (count < 2)
        return m_Presence ? ReadJacks(0) : STATUS_SUCCESS;
    if (count > UAC_MAX_OUTPUT_TYPES)
        count = UAC_MAX_OUTPUT_TYPES;
    const ULONG bytes = 2 + count * kTypeEntry;
    PUCHAR list = static_cast<PUCHAR>(AllocPoolZeroed(bytes, PagedPool, m_Context.Tag));
    if (!list)
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG got = 0;
    status = Request(TRUE, UAC1_VENDOR_LIST, UAC2_RANGE, UAC_OUTPUT_TYPE, list, bytes, &got);
    ULONG listed = NT_SUCCESS(status) && got >= 2 ? (got - 2) / kTypeEntry : 0;
    if (listed > count)
        listed = count;
    for (ULONG t = 0; t < listed; ++t)
        m_Types[t] = USHORT(Le(list + 2 + t * kTypeEntry, 2));
    FreePool(list);
    if (status == STATUS_INSUFFICIENT_RESOURCES)
        return status;
    if (listed < 2)
        return m_Presence ? ReadJacks(0) : STATUS_SUCCESS;
    m_TypeCount = listed;
    // Each type's jacks are read while it is selected; then the device gets back its own selection.
    for (ULONG t = 0; t < m_TypeCount; ++t)
    {
        UCHAR select[2] = {UCHAR(m_Types[t]), UCHAR(m_Types[t] >> 8)};
        status = Request(FALSE, UAC1_GET_CUR, UAC2_CUR, UAC_OUTPUT_TYPE, select, sizeof select);
        if (status == STATUS_INSUFFICIENT_RESOURCES)
            return status;
        if (m_Presence)
            if (NTSTATUS jacks = ReadJacks(t); !NT_SUCCESS(jacks))
                return jacks;
    }
    if (known)
        Request(FALSE, UAC1_GET_CUR, UAC2_CUR, UAC_OUTPUT_TYPE, current, sizeof current);
    for (ULONG t = 0; t < m_TypeCount; ++t)
        if (UacOutputTerminalCode(m_Types[t]) == m_CurrentCode)
        {
            m_CurrentType = t;
            UCHAR select[2] = {UCHAR(m_Types[t]), UCHAR(m_Types[t] >> 8)};
            Request(FALSE, UAC1_GET_CUR, UAC2_CUR, UAC_OUTPUT_TYPE, select, sizeof select);
            break;
        }
    return STATUS_SUCCESS;
}

NTSTATUS CUacTerminal::CreatePins()
{
    PUNKNOWN self = Self();
    ULONG words[HAL_INFO_WORDS] = {};
    m_Context.Hal->GetTerminalCapabilities(IsOutput() ? 0 : 1, m_Code, words);
    const ULONG pins = PinCount();
    for (ULONG t = 0; t < pins; ++t)
    {
        const ULONG code = IsOutput() && pins > 1 ? UacOutputTerminalCode(m_Types[t]) : m_Code;
        const NTSTATUS status = CreateNode<CUnitTerminalNode>(
            [&](CUnitTerminalNode *node)
            { return node->InitFromUnit(self, IsOutput(), 1, &code, m_JackCounts[t], m_Jacks[t], words); },
            ULONG(IsOutput() ? NODE_KIND_OUTPUT_TERMINAL : NODE_KIND_INPUT_TERMINAL), t);
        if (!NT_SUCCESS(status))
            return status;
    }
    // Further pins share the first pin's path; a jack-type selector for several types.
    NTSTATUS status = LinkNodes();
    if (NT_SUCCESS(status) && IsOutput() && pins > 1)
    {
        ULONG codes[STATE_MAX_VALUES];
        const ULONG count = m_TypeCount < STATE_MAX_VALUES ? m_TypeCount : STATE_MAX_VALUES;
        for (ULONG t = 0; t < count; ++t)
            codes[t] = UacOutputTerminalCode(m_Types[t]);

        status = CreateNode<CJackTypeSelectorNode>(
            [&](CJackTypeSelectorNode *node)
            {
                return node->InitJackType(self, m_Context.StreamSink, UnitId(), m_Context.Settings, count,
                                          codes, m_CurrentCode);
            });
    }
    return status;
}

NTSTATUS CUacTerminal::LinkSources(ULONG count, const ULONG *nodeIds)
{
    IAudioNode *node = nullptr;
    for (ULONG i = 0; NT_SUCCESS(NodeAt(i, &node)) && node; ++i)
    {
        if (node->GetKind() != NODE_KIND_STATE)
            continue;
        if (NTSTATUS status = node->SetSources(count, nodeIds); !NT_SUCCESS(status))
            return status;
        const ULONG selector = node->GetId();
        return CUacEntity::LinkSources(1, &selector);
    }
    return CUacEntity::LinkSources(count, nodeIds);
}

NTSTATUS CUacTerminal::GetChannelConfigs(PULONG count, PULONG configs)
{
    if (!count || !configs || *count < 1)
        return STATUS_INVALID_PARAMETER;
    *count = 1;
    configs[0] = m_ChannelConfig;
    return STATUS_SUCCESS;
}

NTSTATUS CUacTerminal::GetTerminalJackCount(ULONG jackIndex, PULONG count)
{
    if (!count || jackIndex >= m_TypeCount)
        return STATUS_INVALID_PARAMETER;
    *count = m_JackCounts[jackIndex];
    return STATUS_SUCCESS;
}

NTSTATUS CUacTerminal::GetTerminalJacks(ULONG jackIndex, ULONG bufferBytes, JackRecord *jacks)
{
    if (!jacks || jackIndex >= m_TypeCount)
        return STATUS_INVALID_PARAMETER;
    const ULONG count = m_JackCounts[jackIndex];
    if (bufferBytes < count * sizeof(JackRecord))
        return STATUS_INVALID_PARAMETER;
    JackRecord *table = m_Jacks[jackIndex];
    if (IsOutput() && m_TypeCount > 1 && jackIndex != m_CurrentType)
    {
        // A type that is not selected cannot be sensed: the user's setting says whether it counts.
        ULONG connect = 0;
        Setting(NODE_SETTING_READ, "SetJackConnect", &connect, sizeof connect);
        for (ULONG j = 0; j < count; ++j)
            table[j].IsConnected = connect != 0;
    }
    else if (count)
    {
        UCHAR presence[6] = {};
        const NTSTATUS status =
            Request(TRUE, UAC1_GET_CUR, UAC2_CUR, UAC_JACK_PRESENCE, presence, sizeof presence);
        // No answer counts as nothing plugged in: only jacks that can sense a plug report it.
        const ULONG mask = NT_SUCCESS(status) ? Le(presence + 1, 4) : 0;
        for (ULONG j = 0; j < count; ++j)
            table[j].IsConnected = (mask & table[j].ChannelMapping) ? 1 : table[j].Unused8 ? 0 : 1;
    }
    if (count)
        RtlCopyMemory(jacks, table, count * sizeof(JackRecord));
    return STATUS_SUCCESS;
}

NTSTATUS CUacTerminal::GetOutputType(PULONG type)
{
    if (!type)
        return STATUS_INVALID_PARAMETER;
    *type = m_CurrentCode;
    return STATUS_SUCCESS;
}

NTSTATUS CUacTerminal::SelectOutputType(ULONG code)
{
    for (ULONG t = 0; t < m_TypeCount; ++t)
        if (UacOutputTerminalCode(m_Types[t]) == code)
        {
            UCHAR select[2] = {UCHAR(m_Types[t]), UCHAR(m_Types[t] >> 8)};
            const NTSTATUS status =
                Request(FALSE, UAC1_GET_CUR, UAC2_CUR, UAC_OUTPUT_TYPE, select, sizeof select);
            if (NT_SUCCESS(status))
            {
                m_CurrentType = t;
                m_CurrentCode = code;
            }
            return status;
        }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CUacTerminal::GetClockSourceId(PULONG clockSourceId)
{
    if (!clockSourceId || Version() != UacVersion::Uac2)
        return STATUS_UNSUCCESSFUL;
    *clockSourceId = m_ClockSourceId;
    return STATUS_SUCCESS;
}

NTSTATUS CUacTerminal::RefreshOutputType()
{
    UCHAR current[2] = {};
    const NTSTATUS status = Request(TRUE, UAC1_GET_CUR, UAC2_CUR, UAC_OUTPUT_TYPE, current, sizeof current);
    if (NT_SUCCESS(status))
    {
        const ULONG code = UacOutputTerminalCode(USHORT(Le(current, 2)));
        if (code == m_Code)
            return STATUS_SUCCESS;
        // The device's new type is the terminal's from now on, and across a restart.
        m_Code = code;
        Setting(NODE_SETTING_WRITE, "UACUnit", &m_Code, sizeof m_Code);
    }
    IAudioNode *node = nullptr;
    for (ULONG index = 0; NT_SUCCESS(NodeAt(index, &node)); ++index)
        if (node->GetKind() == NODE_KIND_OUTPUT_TERMINAL || node->GetKind() == NODE_KIND_STATE)
            node->Refresh();
    return status;
}

NTSTATUS CUacTerminal::RefreshInputNode(PULONG id)
{
    if (!id)
        return STATUS_INVALID_PARAMETER;
    IAudioNode *node = nullptr;
    for (ULONG index = 0; NT_SUCCESS(NodeAt(index, &node)); ++index)
        if (node->GetKind() == NODE_KIND_INPUT_TERMINAL)
        {
            *id = node->GetId();
            node->Refresh();
            return STATUS_SUCCESS;
        }
    return STATUS_UNSUCCESSFUL;
}
