// The topology filter's property and event handlers: node levels, switches, the mux source, the
// device-specific property, node names, and the pins' jack descriptions and words.
#include "driver/base/pool_memory.h"
#include "driver/filters/control_change.h"
#include "driver/filters/miniport_topology_tables.h"

namespace
{

constexpr ULONG kAccessGetSetSupport =
    KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
constexpr ULONG kAccessGetSupport = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT;
constexpr ULONG kTopologyVersion = 0x30000;
constexpr ULONG kJackRecordBytes = sizeof(JackRecord);
// Device-specific units whose value sits behind an engine bind interface.
constexpr ULONG KIND_ENGINE_INPUT_VALUE = 15;
constexpr ULONG KIND_ENGINE_OUTPUT_VALUE = 19;

// The first word of the instance (a channel, a pin); FALSE when the instance is shorter.
BOOLEAN FirstWord(PPCPROPERTY_REQUEST r, PULONG word)
{
    if (r->InstanceSize < sizeof(ULONG) || !r->Instance)
        return FALSE;
    RtlCopyMemory(word, r->Instance, sizeof(ULONG));
    return TRUE;
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
    if (r->Verb == KSPROPERTY_TYPE_GET)
    {
        if (r->ValueSize < sizeof(ULONG))
            return AnswerWord(r, 0); // the size protocol only
        UCHAR byte = 0;
        const NTSTATUS status = value->GetByte(channel, &byte);
        return NT_SUCCESS(status) ? AnswerWord(r, byte) : status;
    }
    ULONG set = 0;
    if (!SetWord(r, &set))
        return STATUS_INVALID_PARAMETER;
    r->ValueSize = sizeof(set);
    return value->SetByte(channel, set ? 1 : 0);
}

// A level per channel (the instance's first word) as a 32-bit value.
NTSTATUS AnswerLevel(PPCPROPERTY_REQUEST r, ILevelValue *level)
{
    ULONG channel = 0;
    if (!FirstWord(r, &channel))
        return STATUS_INVALID_PARAMETER;
    if (r->Verb == KSPROPERTY_TYPE_GET)
    {
        if (r->ValueSize < sizeof(LONG))
            return AnswerWord(r, 0); // the size protocol only
        LONG value = 0;
        const NTSTATUS status = level->GetLevel(channel, &value);
        return NT_SUCCESS(status) ? AnswerWord(r, ULONG(value)) : status;
    }
    ULONG value = 0;
    if (!SetWord(r, &value))
        return STATUS_INVALID_PARAMETER;
    r->ValueSize = sizeof(value);
    return level->SetLevel(channel, LONG(value));
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
    if (r->Verb == KSPROPERTY_TYPE_GET)
    {
        if (r->ValueSize < sizeof(ULONG))
            return AnswerWord(r, 0);
        ULONG selected = 0;
        const NTSTATUS status = mux.Object->GetSelected(&selected);
        return NT_SUCCESS(status) ? AnswerWord(r, selected) : status;
    }
    ULONG selected = 0;
    if (!SetWord(r, &selected))
        return STATUS_INVALID_PARAMETER;
    r->ValueSize = sizeof(selected);
    return mux.Object->Select(selected);
}

NTSTATUS TopologyDevSpecificHandler(PPCPROPERTY_REQUEST r)
{
    IAudioNode *unit = CMiniportTopology::From(r)->UnitAt(r->Node);
    if (!unit)
        return STATUS_INVALID_PARAMETER;
    const ULONG kind = unit->GetKind();
    if (kind == NODE_KIND_BYTE_18 || kind == NODE_KIND_BYTE_22)
    {
        Held<ISwitchValue> value{QueryAs<ISwitchValue>(unit, IID_ISwitchValue)};
        if (!value.Object)
            return STATUS_INVALID_PARAMETER;
        if (r->Verb == KSPROPERTY_TYPE_BASICSUPPORT)
            return AnswerSupportOnly(r, kAccessGetSetSupport, VT_BOOL);
        return AnswerSwitch(r, value.Object, 0);
    }
    if (kind == KIND_ENGINE_INPUT_VALUE || kind == KIND_ENGINE_OUTPUT_VALUE)
    {
        // The 32-bit value behind the unit's bind interface; the name GUID describes it.
        const bool input = kind == KIND_ENGINE_INPUT_VALUE;
        IUnknown *bind =
            input ? static_cast<IUnknown *>(QueryAs<IEngineInputBind>(unit, IID_IEngineInputBind))
                  : static_cast<IUnknown *>(QueryAs<IEngineOutputBind>(unit, IID_IEngineOutputBind));
        Held<IUnknown> held{bind};
        if (!bind)
            return STATUS_INVALID_PARAMETER;
        const GUID *name = CMiniportTopology::From(r)->NodeName(r->Node);
        if (r->Verb == KSPROPERTY_TYPE_BASICSUPPORT)
            return AnswerSupport(r, KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT, VT_BOOL,
                                 KSPROPERTY_MEMBER_VALUES, sizeof(GUID) + 8, 1, 0,
                                 [name](ULONG, PUCHAR out)
                                 {
                                     RtlZeroMemory(out, sizeof(GUID) + 8);
                                     if (name)
                                         RtlCopyMemory(out, name, sizeof(GUID));
                                 });
        if (r->Verb == KSPROPERTY_TYPE_GET)
        {
            if (r->ValueSize < sizeof(ULONG))
                return AnswerWord(r, 0);
            ULONG value = 0;
            const NTSTATUS status = input ? static_cast<IEngineInputBind *>(bind)->GetValue(&value)
                                          : static_cast<IEngineOutputBind *>(bind)->GetValue(&value);
            return NT_SUCCESS(status) ? AnswerWord(r, value) : status;
        }
        ULONG value = 0;
        if (!SetWord(r, &value))
            return STATUS_INVALID_PARAMETER;
        r->ValueSize = sizeof(value);
        return input ? static_cast<IEngineInputBind *>(bind)->SetValue(value)
                     : static_cast<IEngineOutputBind *>(bind)->SetValue(value);
    }
    if (kind == NODE_KIND_LEVEL_8)
    {
        Held<ILevelValue> level{QueryAs<ILevelValue>(unit, IID_ILevelValue)};
        if (!level.Object)
            return STATUS_INVALID_PARAMETER;
        if (r->Verb == KSPROPERTY_TYPE_BASICSUPPORT)
        {
            LONG range[3] = {}; // maximum, minimum, step
            const NTSTATUS status = level.Object->GetRange(&range[0], &range[1], &range[2]);
            if (!NT_SUCCESS(status))
                return status;
            const GUID *name = CMiniportTopology::From(r)->NodeName(r->Node);
            return AnswerSupport(r, kAccessGetSetSupport, VT_I4, KSPROPERTY_MEMBER_VALUES,
                                 sizeof(GUID) + sizeof(range) + 8, 1, 0,
                                 [&](ULONG, PUCHAR out)
                                 {
                                     RtlZeroMemory(out, sizeof(GUID) + sizeof(range) + 8);
                                     if (name)
                                         RtlCopyMemory(out, name, sizeof(GUID));
                                     RtlCopyMemory(out + sizeof(GUID), range, sizeof(range));
                                 });
        }
        return AnswerLevel(r, level.Object);
    }
    // A unit without a handler of its own: one range of the whole 32 bits, sets accepted unchanged.
    if (r->Verb == KSPROPERTY_TYPE_BASICSUPPORT)
        return AnswerSupport(r, kAccessGetSetSupport, VT_UI4, KSPROPERTY_MEMBER_RANGES,
                             sizeof(KSPROPERTY_BOUNDS_LONG), 1, 0,
                             [](ULONG, PUCHAR out)
                             {
                                 const KSPROPERTY_BOUNDS_LONG bounds = {0, LONG(0xFFFFFFFF)};
                                 RtlCopyMemory(out, &bounds, sizeof(bounds));
                             });
    if (r->Verb == KSPROPERTY_TYPE_SET)
    {
        ULONG ignored = 0;
        if (!SetWord(r, &ignored))
            return STATUS_INVALID_PARAMETER;
        r->ValueSize = sizeof(ignored);
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_DEVICE_REQUEST;
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
    {
        ULONG words[HAL_INFO_WORDS] = {};
        if (r->ValueSize < sizeof(words))
            return AnswerValue(r, words, sizeof(words)); // the size protocol only
        const NTSTATUS status = terminal.Object->GetWords(words);
        return NT_SUCCESS(status) ? AnswerValue(r, words, sizeof(words)) : status;
    }
    ULONG count = 0;
    if (!NT_SUCCESS(terminal.Object->GetJackCount(&count)) || count == 0 || count > TERMINAL_MAX_JACKS)
        return STATUS_INVALID_DEVICE_REQUEST; // no jacks, or more than any answer holds
    const bool second =
        *r->PropertyItem->Set == KSPROPSETID_Jack && r->PropertyItem->Id == KSPROPERTY_JACK_DESCRIPTION2;
    const ULONG itemBytes = second ? sizeof(KSJACK_DESCRIPTION2) : sizeof(KSJACK_DESCRIPTION);
    const ULONG needed = sizeof(KSMULTIPLE_ITEM) + count * itemBytes;
    if (r->ValueSize == 0)
    {
        r->ValueSize = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (r->ValueSize < needed || !r->Value)
        return STATUS_BUFFER_TOO_SMALL;
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
