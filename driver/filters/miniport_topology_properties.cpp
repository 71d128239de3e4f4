// The topology filter's property and event handlers: node levels, switches, the mux source, the
// device-specific property, node names, and the pins' jack descriptions and words.
#include "driver/base/pool_memory.h"
#include "driver/filters/control_change.h"
#include "driver/filters/miniport_topology_tables.h"

#include <iterator>

namespace
{

constexpr ULONG kAccessGetSetSupport =
    KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
constexpr ULONG kAccessGetSupport = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT;
constexpr ULONG kTopologyVersion = 0x30000;
constexpr ULONG kJackRecordBytes = sizeof(JackRecord);
constexpr ULONGLONG kMaxAnswerBytes = 0xFFFFFFFF; // what a 32-bit value size can say
// Device-specific units without a creating class: values behind an engine bind interface, and a
// value within a range.
constexpr ULONG KIND_ENGINE_INPUT_VALUE = 15;
constexpr ULONG KIND_RANGED_VALUE = 17;
constexpr ULONG KIND_ENGINE_OUTPUT_VALUE = 19;

// The first word of the instance (a channel, a pin); FALSE when the instance is shorter.
BOOLEAN FirstWord(PPCPROPERTY_REQUEST r, PULONG word)
{
    if (r->InstanceSize < sizeof(ULONG) || !r->Instance)
        return FALSE;
    RtlCopyMemory(word, r->Instance, sizeof(ULONG));
    return TRUE;
}

// A fixed-size get of `Words` 32-bit words: the size protocol first, then `read` fills a cleared
// answer, so bytes it leaves alone go out as zeros.
template <ULONG Words, class Read> NTSTATUS AnswerRead(PPCPROPERTY_REQUEST r, Read read)
{
    ULONG answer[Words] = {};
    if (r->ValueSize < sizeof(answer))
        return AnswerValue(r, answer, sizeof(answer)); // the size protocol only
    const NTSTATUS status = read(answer);
    return NT_SUCCESS(status) ? AnswerValue(r, answer, sizeof(answer)) : status;
}

// A 32-bit get under the size protocol.
NTSTATUS AnswerWord(PPCPROPERTY_REQUEST r, ULONG value)
{
    return AnswerValue(r, &value, sizeof(value));
}

// The value of a 32-bit set; FALSE when the value is shorter.
BOOLEAN SetWord(PPCPROPERTY_REQUEST r, PULONG value)
{
    if (r->ValueSize < sizeof(ULONG) || !r->Value)
        return FALSE;
    RtlCopyMemory(value, r->Value, sizeof(ULONG));
    return TRUE;
}

// A 32-bit value: a get answers what `get` reads, a set of at least 4 bytes passes the value to `set`
// and returns its status.
template <class Get, class Set> NTSTATUS AnswerGetSet(PPCPROPERTY_REQUEST r, Get get, Set set)
{
    if (r->Verb == KSPROPERTY_TYPE_GET)
        return AnswerRead<1>(r, get);
    ULONG value = 0;
    if (!SetWord(r, &value))
        return STATUS_INVALID_PARAMETER;
    r->ValueSize = sizeof(value);
    return set(value);
}

// Basic support: 0 bytes ask for the size, 1 to 3 are too small, 4 to 39 take the access flags, 40 up
// to the full size the description, the full size everything. Members: `count` records of
// `memberSize` bytes after a members header, written by `member(i, out)`.
template <class Member>
NTSTATUS AnswerSupport(PPCPROPERTY_REQUEST r, ULONG access, ULONG variantType, ULONG membersFlags,
                       ULONG memberSize, ULONG count, ULONG headerFlags, Member member)
{
    const ULONGLONG full64 = sizeof(KSPROPERTY_DESCRIPTION) +
                             (count ? sizeof(KSPROPERTY_MEMBERSHEADER) + ULONGLONG(count) * memberSize : 0);
    if (full64 > 0xFFFF)
        return STATUS_INVALID_DEVICE_REQUEST; // no unit has that many channels
    const ULONG full = ULONG(full64);
    if (r->ValueSize == 0)
    {
        r->ValueSize = full;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (r->ValueSize < sizeof(ULONG) || !r->Value)
        return STATUS_BUFFER_TOO_SMALL;
    auto *out = static_cast<PUCHAR>(r->Value);
    if (r->ValueSize < sizeof(KSPROPERTY_DESCRIPTION))
    {
        RtlCopyMemory(out, &access, sizeof(access));
        r->ValueSize = sizeof(access);
        return STATUS_SUCCESS;
    }
    const KSPROPERTY_DESCRIPTION description = {
        access, full, {KSPROPTYPESETID_General, variantType, 0}, count ? 1u : 0u, 0};
    RtlCopyMemory(out, &description, sizeof(description));
    if (r->ValueSize < full || count == 0)
    {
        r->ValueSize = sizeof(description);
        return STATUS_SUCCESS;
    }
    const KSPROPERTY_MEMBERSHEADER header = {membersFlags, memberSize, count, headerFlags};
    RtlCopyMemory(out + sizeof(description), &header, sizeof(header));
    for (ULONG i = 0; i < count; ++i)
        member(i, out + sizeof(description) + sizeof(header) + i * memberSize);
    r->ValueSize = full;
    return STATUS_SUCCESS;
}

NTSTATUS AnswerSupportOnly(PPCPROPERTY_REQUEST r, ULONG access, ULONG variantType)
{
    return AnswerSupport(r, access, variantType, 0, 0, 0, 0, [](ULONG, PUCHAR) {});
}

// A stepped range per channel.
NTSTATUS AnswerChannelRanges(PPCPROPERTY_REQUEST r, ULONG variantType, ULONG channels, ULONG step,
                             LONG minimum, LONG maximum)
{
    return AnswerSupport(r, kAccessGetSetSupport, variantType, KSPROPERTY_MEMBER_STEPPEDRANGES,
                         sizeof(KSPROPERTY_STEPPING_LONG), channels,
                         KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL,
                         [&](ULONG, PUCHAR out)
                         {
                             const KSPROPERTY_STEPPING_LONG range = {step, 0, {minimum, maximum}};
                             RtlCopyMemory(out, &range, sizeof(range));
                         });
}

// The 64-byte form: one range of a 32-bit value.
NTSTATUS AnswerBounds(PPCPROPERTY_REQUEST r, ULONG minimum, ULONG maximum)
{
    return AnswerSupport(r, kAccessGetSetSupport, VT_UI4, KSPROPERTY_MEMBER_RANGES,
                         sizeof(KSPROPERTY_BOUNDS_LONG), 1, 0,
                         [&](ULONG, PUCHAR out)
                         {
                             const KSPROPERTY_BOUNDS_LONG bounds = {LONG(minimum), LONG(maximum)};
                             RtlCopyMemory(out, &bounds, sizeof(bounds));
                         });
}

// The 80-byte form (no range) and the 92-byte form (a level's maximum, minimum and step): one value
// member of a GUID that says what the value is, the range, and 8 zero bytes.
NTSTATUS AnswerNamedValue(PPCPROPERTY_REQUEST r, ULONG access, ULONG variantType, const GUID *name,
                          const LONG *range = nullptr)
{
    constexpr ULONG kRangeBytes = 3 * sizeof(LONG);
    const ULONG memberSize = sizeof(GUID) + (range ? kRangeBytes : 0) + 8;
    return AnswerSupport(r, access, variantType, KSPROPERTY_MEMBER_VALUES, memberSize, 1, 0,
                         [&](ULONG, PUCHAR out)
                         {
                             RtlZeroMemory(out, memberSize);
                             if (name)
                                 RtlCopyMemory(out, name, sizeof(GUID));
                             if (range)
                                 RtlCopyMemory(out + sizeof(GUID), range, kRangeBytes);
                         });
}

// A KSMULTIPLE_ITEM of `count` 32-bit values that `read` fills. They are read into pool memory first,
// so a failed read leaves the caller's buffer as it was.
template <class Read> NTSTATUS AnswerValueList(PPCPROPERTY_REQUEST r, ULONG count, Read read)
{
    const ULONGLONG needed64 = sizeof(KSMULTIPLE_ITEM) + ULONGLONG(count) * sizeof(ULONG);
    if (needed64 > kMaxAnswerBytes)
        return STATUS_INVALID_PARAMETER;
    const ULONG needed = ULONG(needed64);
    NTSTATUS status = CheckAnswerRoom(r, needed);
    if (status != STATUS_SUCCESS)
        return status;
    auto *values =
        static_cast<PULONG>(AllocPoolZeroed(count ? count * sizeof(ULONG) : 1, PagedPool, PoolTag::Temp));
    if (!values)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = read(values);
    if (NT_SUCCESS(status))
    {
        const KSMULTIPLE_ITEM header = {needed, count};
        RtlCopyMemory(r->Value, &header, sizeof(header));
        RtlCopyMemory(static_cast<PUCHAR>(r->Value) + sizeof(header), values, count * sizeof(ULONG));
        r->ValueSize = needed;
    }
    FreePool(values);
    return status;
}

// The unit of the request's node with interface `iid`, with a reference; null when either is missing.
template <class I> I *UnitInterface(PPCPROPERTY_REQUEST r, REFIID iid)
{
    IAudioNode *unit = CMiniportTopology::From(r)->UnitAt(r->Node);
    return unit ? QueryAs<I>(unit, iid) : nullptr;
}

// A switch byte as a 32-bit value: a get clears the answer the unit fills one byte of, a set passes
// any non-zero value as 1.
NTSTATUS AnswerSwitch(PPCPROPERTY_REQUEST r, ISwitchValue *value, ULONG channel)
{
    return AnswerGetSet(
        r, [&](PULONG out) { return value->GetByte(channel, reinterpret_cast<PUCHAR>(out)); },
        [&](ULONG set) { return value->SetByte(channel, set ? 1 : 0); });
}

// A level per channel (the instance's first word) as a 32-bit value.
NTSTATUS AnswerLevel(PPCPROPERTY_REQUEST r, ILevelValue *level)
{
    ULONG channel = 0;
    if (!FirstWord(r, &channel))
        return STATUS_INVALID_PARAMETER;
    return AnswerGetSet(
        r, [&](PULONG out) { return level->GetLevel(channel, reinterpret_cast<PLONG>(out)); },
        [&](ULONG set) { return level->SetLevel(channel, LONG(set)); });
}

template <class I> struct Held
{
    I *Object;
    ~Held()
    {
        if (Object)
            Object->Release();
    }
};

// ---- The device-specific property by unit kind ---------------------------------------------------

// Kinds 18 and 22: a byte on channel 0.
NTSTATUS AnswerByteUnit(PPCPROPERTY_REQUEST r, IAudioNode *unit)
{
    Held<ISwitchValue> value{QueryAs<ISwitchValue>(unit, IID_ISwitchValue)};
    if (!value.Object)
        return STATUS_INVALID_PARAMETER;
    if (r->Verb == KSPROPERTY_TYPE_BASICSUPPORT)
        return AnswerSupportOnly(r, kAccessGetSetSupport, VT_BOOL);
    return AnswerSwitch(r, value.Object, 0);
}

// A 32-bit value behind the unit's interface `I` (GetValue, SetValue); `support` answers basic
// support with the interface.
template <class I, class Support>
NTSTATUS AnswerUnitValue(PPCPROPERTY_REQUEST r, IAudioNode *unit, REFIID iid, Support support)
{
    Held<I> value{unit ? QueryAs<I>(unit, iid) : nullptr};
    if (!value.Object)
        return STATUS_INVALID_PARAMETER;
    if (r->Verb == KSPROPERTY_TYPE_BASICSUPPORT)
        return support(value.Object);
    return AnswerGetSet(
        r, [&](PULONG out) { return value.Object->GetValue(out); },
        [&](ULONG set) { return value.Object->SetValue(set); });
}

// Kinds 15 and 19: the 32-bit value behind the unit's bind interface; the node's name says what it is.
template <class Bind> NTSTATUS AnswerBoundValue(PPCPROPERTY_REQUEST r, IAudioNode *unit, REFIID iid)
{
    return AnswerUnitValue<Bind>(r, unit, iid,
                                 [r](Bind *)
                                 {
                                     return AnswerNamedValue(
                                         r, KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT, VT_BOOL,
                                         CMiniportTopology::From(r)->NodeName(r->Node));
                                 });
}

// Kind 8: a level per channel; its support carries the node's name and the unit's range.
NTSTATUS AnswerNamedLevel(PPCPROPERTY_REQUEST r, IAudioNode *unit)
{
    Held<ILevelValue> level{QueryAs<ILevelValue>(unit, IID_ILevelValue)};
    if (!level.Object)
        return STATUS_INVALID_PARAMETER;
    if (r->Verb != KSPROPERTY_TYPE_BASICSUPPORT)
        return AnswerLevel(r, level.Object);
    LONG range[3] = {}; // maximum, minimum, step
    const NTSTATUS status = level.Object->GetRange(&range[0], &range[1], &range[2]);
    if (!NT_SUCCESS(status))
        return status;
    return AnswerNamedValue(r, kAccessGetSetSupport, VT_I4, CMiniportTopology::From(r)->NodeName(r->Node),
                            range);
}

// Kind 17: a 32-bit value within the unit's range.
NTSTATUS AnswerRangedUnit(PPCPROPERTY_REQUEST r, IAudioNode *unit)
{
    return AnswerUnitValue<IRangedValue>(r, unit, IID_IRangedValue,
                                         [r](IRangedValue *value)
                                         {
                                             ULONG minimum = 0, maximum = 0;
                                             const NTSTATUS status = value->GetRange(&minimum, &maximum);
                                             return NT_SUCCESS(status) ? AnswerBounds(r, minimum, maximum)
                                                                       : status;
                                         });
}

// Kind 23: the effect's on/off byte. A set passes the value's first byte and returns the unit's own
// status (its set rule decides).
NTSTATUS AnswerEffectSwitch(PPCPROPERTY_REQUEST r, IAudioNode *unit)
{
    Held<IInfoNode> info{QueryAs<IInfoNode>(unit, IID_IInfoNode)};
    if (!info.Object)
        return STATUS_INVALID_PARAMETER;
    if (r->Verb == KSPROPERTY_TYPE_BASICSUPPORT)
        return AnswerNamedValue(r, kAccessGetSetSupport, VT_BOOL, &KSPROPSETID_EffectBlock);
    return AnswerGetSet(
        r, [&](PULONG out) { return info.Object->GetByte(reinterpret_cast<PUCHAR>(out)); },
        [&](ULONG set) { return info.Object->SetValue(set & 0xFF); });
}

// Kind 13: the property only selects one of the unit's values (its item is set-only).
NTSTATUS AnswerStateSelect(PPCPROPERTY_REQUEST r, IAudioNode *unit)
{
    Held<INodeState> state{QueryAs<INodeState>(unit, IID_INodeState)};
    ULONG value = 0;
    if (!state.Object || r->Verb != KSPROPERTY_TYPE_SET || !SetWord(r, &value))
        return STATUS_INVALID_PARAMETER;
    r->ValueSize = sizeof(value);
    return state.Object->Select(value);
}

// A unit without a handler of its own: one range of the whole 32 bits, sets accepted unchanged.
NTSTATUS AnswerAnyWord(PPCPROPERTY_REQUEST r)
{
    if (r->Verb == KSPROPERTY_TYPE_BASICSUPPORT)
        return AnswerBounds(r, 0, 0xFFFFFFFF);
    if (r->Verb != KSPROPERTY_TYPE_SET)
        return STATUS_INVALID_DEVICE_REQUEST;
    ULONG ignored = 0;
    if (!SetWord(r, &ignored))
        return STATUS_INVALID_PARAMETER;
    r->ValueSize = sizeof(ignored);
    return STATUS_SUCCESS;
}

// ---- The information block's value table (kinds 20 and 23) --------------------------------------

enum class InfoOp
{
    Words,  // the four words
    Limit,  // the value, also the table's limit N
    Values, // a get or set of (first, count) table entries
    Triple, // the three words of the entry at first
    None,
};

InfoOp InfoOpOf(REFGUID set, ULONG id)
{
    static const InfoOp kProcessing[] = {InfoOp::Words, InfoOp::Limit, InfoOp::Values, InfoOp::Values,
                                         InfoOp::Triple};
    static const InfoOp kEffect[] = {InfoOp::Words, InfoOp::Limit, InfoOp::Triple, InfoOp::Values};
    if (set == KSPROPSETID_ProcessingBlock && id >= 1 && id <= std::size(kProcessing))
        return kProcessing[id - 1];
    if (set == KSPROPSETID_EffectBlock && id >= 1 && id <= std::size(kEffect))
        return kEffect[id - 1];
    return InfoOp::None;
}

// Entries first to first + count - 1 of a table of `limit` entries, with an 8-byte header and count
// words, all within 32 bits. Checked before anything is read or sent: the sum first + count could
// wrap.
BOOLEAN TableSpan(ULONG first, ULONG count, ULONG limit)
{
    return first <= limit && count <= limit - first &&
           sizeof(KSMULTIPLE_ITEM) + ULONGLONG(count) * sizeof(ULONG) <= kMaxAnswerBytes;
}

NTSTATUS AnswerInfoTable(PPCPROPERTY_REQUEST r, IInfoNode *info, InfoOp op)
{
    if (op == InfoOp::Words)
        return AnswerRead<INFO_NODE_WORDS>(r, [&](PULONG out) { return info->GetWords(out); });
    if (op == InfoOp::Limit)
        return AnswerRead<1>(r, [&](PULONG out) { return info->GetValue(out); });
    ULONG span[2] = {}; // first, count
    const ULONG spanBytes = op == InfoOp::Values ? sizeof(span) : sizeof(ULONG);
    if (r->InstanceSize < spanBytes || !r->Instance)
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(span, r->Instance, spanBytes);
    if (op == InfoOp::Triple)
        span[1] = 1; // the entry at first
    ULONG limit = 0;
    NTSTATUS status = info->GetValue(&limit);
    if (!NT_SUCCESS(status))
        return status;
    if (!TableSpan(span[0], span[1], limit))
        return STATUS_INVALID_PARAMETER;
    if (op == InfoOp::Triple)
        return AnswerRead<3>(r, [&](PULONG out) { return info->GetTriple(span[0], out); });
    if (r->Verb == KSPROPERTY_TYPE_GET)
        return AnswerValueList(r, span[1],
                               [&](PULONG values) { return info->GetValues(span[0], span[1], values); });
    // A set carries exactly its count of words after an 8-byte header.
    if (!r->Value || r->ValueSize != sizeof(KSMULTIPLE_ITEM) + span[1] * sizeof(ULONG))
        return STATUS_INVALID_PARAMETER;
    return info->SetValues(
        span[0], span[1],
        reinterpret_cast<const ULONG *>(static_cast<PUCHAR>(r->Value) + sizeof(KSMULTIPLE_ITEM)));
}

} // namespace

NTSTATUS TopologyLevelHandler(PPCPROPERTY_REQUEST r)
{
    Held<ILevelValue> level{UnitInterface<ILevelValue>(r, IID_ILevelValue)};
    if (!level.Object)
        return STATUS_INVALID_PARAMETER;
    if (r->Verb == KSPROPERTY_TYPE_BASICSUPPORT)
    {
        ULONG channels = 0;
        LONG maximum = 0, minimum = 0, step = 0;
        NTSTATUS status = level.Object->GetChannelCount(&channels);
        if (NT_SUCCESS(status))
            status = level.Object->GetRange(&maximum, &minimum, &step);
        if (!NT_SUCCESS(status))
            return status;
        return AnswerChannelRanges(r, VT_I4, channels, ULONG(step), minimum, maximum);
    }
    const NTSTATUS status = AnswerLevel(r, level.Object);
    // The private set is the control panel's: the system hears of it as a control change.
    if (NT_SUCCESS(status) && *r->PropertyItem->Set == KSPROPSETID_MiniportPrivate)
        if (PPORTEVENTS events = CMiniportTopology::From(r)->PortEvents())
            events->GenerateEventList(&KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, FALSE,
                                      ULONG(-1), TRUE, r->Node);
    return status;
}

NTSTATUS TopologySwitchHandler(PPCPROPERTY_REQUEST r)
{
    Held<ISwitchValue> value{UnitInterface<ISwitchValue>(r, IID_ISwitchValue)};
    if (!value.Object)
        return STATUS_INVALID_PARAMETER;
    if (r->Verb == KSPROPERTY_TYPE_BASICSUPPORT)
    {
        ULONG channels = 0;
        const NTSTATUS status = value.Object->GetChannelCount(&channels);
        return NT_SUCCESS(status) ? AnswerChannelRanges(r, VT_BOOL, channels, 1, 0, 1) : status;
    }
    ULONG channel = 0;
    if (!FirstWord(r, &channel))
        return STATUS_INVALID_PARAMETER;
    return AnswerSwitch(r, value.Object, channel);
}

NTSTATUS TopologyMuxHandler(PPCPROPERTY_REQUEST r)
{
    Held<INodeConnect> mux{UnitInterface<INodeConnect>(r, IID_INodeConnect)};
    if (!mux.Object)
        return STATUS_INVALID_PARAMETER;
    return AnswerGetSet(
        r, [&](PULONG out) { return mux.Object->GetSelected(out); },
        [&](ULONG set) { return mux.Object->Select(set); });
}

NTSTATUS TopologyDevSpecificHandler(PPCPROPERTY_REQUEST r)
{
    IAudioNode *unit = CMiniportTopology::From(r)->UnitAt(r->Node);
    if (!unit)
        return STATUS_INVALID_PARAMETER;
    switch (unit->GetKind())
    {
    case NODE_KIND_BYTE_18:
    case NODE_KIND_BYTE_22:
        return AnswerByteUnit(r, unit);
    case KIND_ENGINE_INPUT_VALUE:
        return AnswerBoundValue<IEngineInputBind>(r, unit, IID_IEngineInputBind);
    case KIND_ENGINE_OUTPUT_VALUE:
        return AnswerBoundValue<IEngineOutputBind>(r, unit, IID_IEngineOutputBind);
    case NODE_KIND_LEVEL_8:
        return AnswerNamedLevel(r, unit);
    case KIND_RANGED_VALUE:
        return AnswerRangedUnit(r, unit);
    case NODE_KIND_INFO:
        return AnswerEffectSwitch(r, unit);
    case NODE_KIND_STATE:
        return AnswerStateSelect(r, unit);
    default:
        return AnswerAnyWord(r);
    }
}

NTSTATUS TopologyStateHandler(PPCPROPERTY_REQUEST r)
{
    Held<INodeState> state{UnitInterface<INodeState>(r, IID_INodeState)};
    if (!state.Object)
        return STATUS_INVALID_PARAMETER;
    if (r->PropertyItem->Id == 2)
        return AnswerRead<1>(r, [&](PULONG out) { return state.Object->GetValue(out); });
    ULONG count = 0;
    const NTSTATUS status = state.Object->GetValueCount(&count);
    if (!NT_SUCCESS(status))
        return status;
    return AnswerValueList(r, count, [&](PULONG values) { return state.Object->GetValues(values); });
}

NTSTATUS TopologyInfoHandler(PPCPROPERTY_REQUEST r)
{
    const GUID &set = *r->PropertyItem->Set;
    const InfoOp op = InfoOpOf(set, r->PropertyItem->Id);
    if (op == InfoOp::None)
        return STATUS_INVALID_DEVICE_REQUEST;
    // The processing block answers the same operations under an identifier of its own.
    Held<IInfoNode> info{
        UnitInterface<IInfoNode>(r, set == KSPROPSETID_ProcessingBlock ? IID_IInfoNode20 : IID_IInfoNode)};
    if (!info.Object)
        return STATUS_INVALID_PARAMETER;
    return AnswerInfoTable(r, info.Object, op);
}

NTSTATUS TopologyNamedValueHandler(PPCPROPERTY_REQUEST r)
{
    // A named value serves its one property; a kind-24 node refuses everything else it lists.
    if (*r->PropertyItem->Set != KSPROPSETID_EffectValue || r->PropertyItem->Id != 1)
        return STATUS_UNSUCCESSFUL;
    return AnswerUnitValue<INamedValue>(
        r, CMiniportTopology::From(r)->UnitAt(r->Node), IID_INamedValue,
        [r](INamedValue *)
        { return AnswerNamedValue(r, kAccessGetSetSupport, VT_BOOL, &KSPROPSETID_EffectValue); });
}

NTSTATUS TopologyNameHandler(PPCPROPERTY_REQUEST r)
{
    const GUID *name = CMiniportTopology::From(r)->NodeName(r->Node);
    if (!name)
        return STATUS_INVALID_DEVICE_REQUEST;
    return AnswerValue(r, name, sizeof(GUID));
}

NTSTATUS TopologyFilterHandler(PPCPROPERTY_REQUEST r)
{
    return AnswerWord(r, kTopologyVersion);
}

NTSTATUS TopologyPinHandler(PPCPROPERTY_REQUEST r)
{
    if (r->Verb == KSPROPERTY_TYPE_BASICSUPPORT)
        return AnswerSupportOnly(r, kAccessGetSupport, VT_UI4);
    CMiniportTopology *self = CMiniportTopology::From(r);
    ULONG pin = 0;
    if (!FirstWord(r, &pin) || pin >= self->PinCount())
        return STATUS_INVALID_DEVICE_REQUEST;
    Held<ITerminalInfo> terminal{QueryAs<ITerminalInfo>(self->TerminalAt(pin), IID_ITerminalInfo)};
    if (!terminal.Object)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (*r->PropertyItem->Set == KSPROPSETID_PinWords)
        return AnswerRead<HAL_INFO_WORDS>(r, [&](PULONG words) { return terminal.Object->GetWords(words); });
    ULONG count = 0;
    if (!NT_SUCCESS(terminal.Object->GetJackCount(&count)) || count == 0 || count > TERMINAL_MAX_JACKS)
        return STATUS_INVALID_DEVICE_REQUEST; // no jacks, or more than any answer holds
    const bool second =
        *r->PropertyItem->Set == KSPROPSETID_Jack && r->PropertyItem->Id == KSPROPERTY_JACK_DESCRIPTION2;
    const ULONG itemBytes = second ? sizeof(KSJACK_DESCRIPTION2) : sizeof(KSJACK_DESCRIPTION);
    const ULONG needed = sizeof(KSMULTIPLE_ITEM) + count * itemBytes;
    const NTSTATUS room = CheckAnswerRoom(r, needed);
    if (room != STATUS_SUCCESS)
        return room;
    auto *records =
        static_cast<JackRecord *>(AllocPoolZeroed(count * kJackRecordBytes, PagedPool, PoolTag::Temp));
    if (!records)
        return STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS status = terminal.Object->GetJacks(count * kJackRecordBytes, records);
    if (NT_SUCCESS(status))
    {
        auto *out = static_cast<PUCHAR>(r->Value);
        const KSMULTIPLE_ITEM header = {needed, count};
        RtlCopyMemory(out, &header, sizeof(header));
        for (ULONG i = 0; i < count; ++i)
        {
            const JackRecord &j = records[i];
            PUCHAR item = out + sizeof(header) + i * itemBytes;
            if (second)
            {
                // Every jack detects presence unless its record says otherwise.
                const KSJACK_DESCRIPTION2 d = {0,
                                               (j.Unused6 & 1) ? 0u : JACKDESC2_PRESENCE_DETECT_CAPABILITY};
                RtlCopyMemory(item, &d, sizeof(d));
            }
            else
            {
                const KSJACK_DESCRIPTION d = {j.ChannelMapping, j.Color,       j.ConnectionType,
                                              j.GeoLocation,    j.GenLocation, j.PortConnection,
                                              j.IsConnected};
                RtlCopyMemory(item, &d, sizeof(d));
            }
        }
        r->ValueSize = needed;
    }
    FreePool(records);
    return status;
}

NTSTATUS TopologyEventHandler(PPCEVENT_REQUEST request)
{
    if (!request || !request->MajorTarget)
        return STATUS_INVALID_PARAMETER;
    auto *self = static_cast<CMiniportTopology *>(static_cast<IMiniportTopology *>(request->MajorTarget));
    return ControlChangeEventHandler(request, self->PortEvents());
}
