#include "driver/core/usb_audio_function.h"

#include <usbd_lib.h>

#include "driver/base/pool_memory.h"
#include "driver/base/usb_vendor_ids.h"
#include "driver/effects/dsp_node.h"
#include "driver/effects/render_stages.h"

namespace
{

constexpr USHORT kVendor1B1C = 0x1B1C;
constexpr ULONG kVistaVersion = 0x06000000;
constexpr ULONG kSubFormatAc3 = 0x0092, kSubFormatWmaPro = 0x0164;

ULONG Le(const UCHAR *bytes, ULONG count)
{
    ULONG value = 0;
    for (ULONG i = 0; i < count; ++i)
        value |= ULONG(bytes[i]) << (8 * i);
    return value;
}

ULONG ChannelMask(ULONG channels, BOOLEAN capture)
{
    switch (channels)
    {
    case 1:
        return 0x4;
    case 2:
        return 0x3;
    case 4:
        return capture ? 0 : 0x33;
    case 6:
        return capture ? 0 : 0x3F;
    case 8:
        return capture ? 0 : 0x63F;
    default:
        return 0;
    }
}

// A first-in first-out ring of node IDs with a visited set, so a graph that comes back to a node
// does not run the walk forever.
class NodeRing
{
public:
    BOOLEAN Push(ULONG id)
    {
        if (m_Count == GRAPH_RING_ENTRIES)
            return FALSE;
        m_Ids[(m_Head + m_Count++) % GRAPH_RING_ENTRIES] = id;
        return TRUE;
    }
    BOOLEAN Pop(PULONG id)
    {
        if (!m_Count)
            return FALSE;
        *id = m_Ids[m_Head];
        m_Head = (m_Head + 1) % GRAPH_RING_ENTRIES;
        --m_Count;
        return TRUE;
    }
    // TRUE the first time `id` is met.
    BOOLEAN FirstVisit(ULONG id)
    {
        for (ULONG i = 0; i < m_VisitedCount; ++i)
            if (m_Visited[i] == id)
                return FALSE;
        if (m_VisitedCount < kVisitedMax)
            m_Visited[m_VisitedCount++] = id;
        return TRUE;
    }

private:
    static constexpr ULONG kVisitedMax = 256;
    ULONG m_Ids[GRAPH_RING_ENTRIES] = {};
    ULONG m_Head = 0, m_Count = 0;
    ULONG m_Visited[kVisitedMax] = {};
    ULONG m_VisitedCount = 0;
};

// Appends every source of `node` to the ring; FALSE when they do not fit.
BOOLEAN PushSources(NodeRing &ring, IAudioNode *node)
{
    ULONG sources[NODE_MAX_SOURCES];
    ULONG count = NODE_MAX_SOURCES;
    if (!NT_SUCCESS(node->GetSources(&count, sources)))
        return TRUE;
    for (ULONG i = 0; i < count; ++i)
        if (!ring.Push(sources[i]))
            return FALSE;
    return TRUE;
}

// ---- The engine-only stream ----------------------------------------------------------------------------
class CEngineOnlyStream : public IStreamBuilder, public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    CEngineOnlyStream(PUNKNOWN outer) : CUnknownBase(outer), m_Engine(nullptr) {}
    ~CEngineOnlyStream() override
    {
        if (m_Engine)
            static_cast<IStreamEngine *>(m_Engine)->Release();
    }
    NTSTATUS InitStream(BOOLEAN capture, CAudioHal *, PUNKNOWN) override
    {
        if (m_Engine)
            return STATUS_UNSUCCESSFUL;
        CStreamEngine *engine = new (NonPagedPool, PoolTag::USBS) CStreamEngine(nullptr, 0);
        if (!engine)
            return STATUS_INSUFFICIENT_RESOURCES;
        static_cast<IStreamEngine *>(engine)->AddRef();
        const NTSTATUS status = engine->Initialize(capture ? 1 : 0);
        if (!NT_SUCCESS(status))
        {
            static_cast<IStreamEngine *>(engine)->Release();
            return status;
        }
        m_Engine = engine;
        return STATUS_SUCCESS;
    }
    CStreamEngine *GetEngine() override { return m_Engine; }
    NTSTATUS AddStreamFormat(const WAVEFORMATEXTENSIBLE &format, UCHAR) override
    {
        return m_Engine ? m_Engine->AddFormat(format) : STATUS_UNSUCCESSFUL;
    }
    BOOLEAN AcceptsRawData(UCHAR, ULONG) override { return FALSE; }

private:
    CStreamEngine *m_Engine;
};

NTSTATUS CEngineOnlyStream::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerInterface(iid, object, static_cast<IStreamBuilder *>(this),
                           {{IID_IStreamBuilder, static_cast<IStreamBuilder *>(this)}});
}

} // namespace

NTSTATUS CreateEngineOnlyStream(const UsbAudioFunctionInputs &, BOOLEAN, UCHAR, ULONG, ULONG, ULONG tag,
                                IStreamBuilder **stream)
{
    if (!stream)
        return STATUS_INVALID_PARAMETER;
    auto *object = new (NonPagedPool, tag) CEngineOnlyStream(nullptr);
    if (!object)
        return STATUS_INSUFFICIENT_RESOURCES;
    object->AddRef();
    *stream = object;
    return STATUS_SUCCESS;
}

// The descriptor subtype a unit reports as its kind; 0 for none.
static ULONG UnitKind(IUsbAudioUnit *unit)
{
    IAudioNode *node = QueryAs<IAudioNode>(unit, IID_IAudioNode);
    const ULONG kind = node ? node->GetKind() : 0;
    if (node)
        node->Release();
    return kind;
}

// One line for a descriptor the walk cannot read on: where it is and what it claims.
static void LogMalformed(PCSTR walk, ULONG interfaceNumber, const UCHAR *at, ULONG remaining)
{
    DbgPrint(
        "%s interface %u: descriptor of %u bytes, type 0x%02X, malformed or past the configuration's end "
        "(%u bytes left)\n",
        walk, unsigned(interfaceNumber), unsigned(remaining ? at[0] : 0),
        unsigned(remaining >= 2 ? at[1] : 0), unsigned(remaining));
}

// ---- Set-up -------------------------------------------------------------------------------------------
CUsbAudioFunctionModel::CUsbAudioFunctionModel()
    : m_Inputs{}, m_Hal(nullptr), m_Device(nullptr), m_Settings{}, m_CreateUnit(nullptr),
      m_CreateStream(nullptr), m_Lower(nullptr), m_ControlInterface(0), m_Units(nullptr), m_Streams(nullptr),
      m_HardwareMute(nullptr), m_Members{}, m_MembersKnown(FALSE), m_Fit{}
{
}

CUsbAudioFunctionModel::~CUsbAudioFunctionModel()
{
    IUsbAudioUnit *unit = nullptr;
    for (CItemList::PNODE cursor = FirstUnitNode(); NextUnit(&cursor, &unit);)
        unit->DetachNodes();
    CItemList::ReleaseAllAndDestroy<IUsbAudioUnit>(m_Units);
    CItemList::ReleaseAllAndDestroy<IStreamBuilder>(m_Streams);
    if (m_HardwareMute)
        m_HardwareMute->Release();
}

NTSTATUS CUsbAudioFunctionModel::Init(const UsbAudioFunctionInputs &inputs, CAudioHal *hal, PUNKNOWN device,
                                      IUsbLowerRequests *lower, const NodeSettings &settings,
                                      PFN_CREATE_UNIT createUnit, PFN_CREATE_STREAM createStream)
{
    if (!hal || m_Units)
        return STATUS_INVALID_PARAMETER;
    m_Units = CItemList::Create(NonPagedPool, PoolTag::UAC1);
    m_Streams = m_Units ? CItemList::Create(NonPagedPool, PoolTag::UAC1) : nullptr;
    if (!m_Streams)
    {
        CItemList::Destroy(m_Units);
        m_Units = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_Inputs = inputs;
    m_Hal = hal;
    m_Device = device;
    m_Lower = lower;
    m_Settings = settings;
    m_CreateUnit = createUnit;
    m_CreateStream = createStream ? createStream : CreateEngineOnlyStream;
    return STATUS_SUCCESS;
}

ULONG UsbAudioClassTag(UsbAudioDeviceClass deviceClass)
{
    switch (deviceClass)
    {
    case UsbAudioDeviceClass::Mirk:
        return PoolTag::Mirk;
    case UsbAudioDeviceClass::Dova:
        return PoolTag::Dova;
    case UsbAudioDeviceClass::Tesh:
        return PoolTag::Tesh;
    case UsbAudioDeviceClass::Plon:
        return PoolTag::Plon;
    case UsbAudioDeviceClass::Grue:
        return PoolTag::Grue;
    case UsbAudioDeviceClass::Uac2:
        return PoolTag::UAC2;
    default:
        return PoolTag::UAC1;
    }
}

ULONG CUsbAudioFunctionModel::ClassTag() const
{
    return UsbAudioClassTag(m_Inputs.DeviceClass);
}

NTSTATUS CUsbAudioFunctionModel::StreamAt(ULONG index, IStreamBuilder **stream) const
{
    return CItemList::ItemOf(m_Streams, index, stream);
}

NTSTATUS CUsbAudioFunctionModel::AddUnit(IUsbAudioUnit *unit)
{
    if (!unit || !m_Units)
        return STATUS_INVALID_PARAMETER;
    if (!m_Units->InsertHead(unit))
        return STATUS_INSUFFICIENT_RESOURCES;
    unit->AddRef();
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioFunctionModel::FindUnitById(ULONG id, IUsbAudioUnit **unit)
{
    IUsbAudioUnit *found = nullptr, *item = nullptr;
    for (CItemList::PNODE cursor = FirstUnitNode(); NextUnit(&cursor, &item);)
    {
        IAudioNode *node = QueryAs<IAudioNode>(item, IID_IAudioNode);
        if (node)
        {
            if (node->GetId() == id)
                found = item; // the last match wins
            node->Release();
        }
    }
    if (unit)
        *unit = found;
    return found ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUsbAudioFunctionModel::UnitIdAt(ULONG index, PULONG id) const
{
    IUsbAudioUnit *unit = nullptr;
    NTSTATUS status = CItemList::ItemOf(m_Units, index, &unit);
    if (!NT_SUCCESS(status) || !unit)
        return STATUS_UNSUCCESSFUL;
    IAudioNode *node = QueryAs<IAudioNode>(unit, IID_IAudioNode);
    if (!node)
        return STATUS_UNSUCCESSFUL;
    *id = node->GetId();
    node->Release();
    return STATUS_SUCCESS;
}

BOOLEAN CUsbAudioFunctionModel::IsTerminal(ULONG id)
{
    IUsbAudioUnit *unit = nullptr;
    if (!NT_SUCCESS(FindUnitById(id, &unit)))
        return FALSE;
    const ULONG kind = UnitKind(unit);
    return kind == UAC_INPUT_TERMINAL || kind == UAC_OUTPUT_TERMINAL;
}

// ---- AudioControl walk --------------------------------------------------------------------------------
NTSTATUS CUsbAudioFunctionModel::FindInterface(IUsbLowerRequests *lower, LONG subclass,
                                               const USB_CONFIGURATION_DESCRIPTOR **config,
                                               const USB_INTERFACE_DESCRIPTOR **found, PULONG remaining)
{
    *found = nullptr;
    if (!lower)
        return STATUS_UNSUCCESSFUL;
    m_Lower = lower;
    *config = lower->GetConfigurationDescriptor();
    if (!*config)
        return STATUS_UNSUCCESSFUL;
    const ULONG total = (*config)->wTotalLength;
    *found =
        usbd::ParseInterfaceBounded(*config, total, *config, -1, -1, USB_DEVICE_CLASS_AUDIO, subclass, -1);
    if (*found)
        *remaining =
            total - ULONG(reinterpret_cast<const UCHAR *>(*found) - reinterpret_cast<const UCHAR *>(*config));
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioFunctionModel::ParseControlFromConfig(IUsbLowerRequests *lower)
{
    const USB_CONFIGURATION_DESCRIPTOR *config = nullptr;
    const USB_INTERFACE_DESCRIPTOR *found = nullptr;
    ULONG remaining = 0;
    NTSTATUS status = FindInterface(lower, USB_AUDIO_SUBCLASS_AUDIOCONTROL, &config, &found, &remaining);
    if (!NT_SUCCESS(status) || !found)
        return status; // no AudioControl interface: nothing to walk
    m_ControlInterface = found->bInterfaceNumber;
    status = ParseControlInterface(found, remaining);
    if (IsUac2())
        TakeAssociation(config);
    return status;
}

void CUsbAudioFunctionModel::TakeMembers(const UCHAR *iface, ULONG length)
{
    RtlZeroMemory(m_Members, sizeof(m_Members));
    m_MembersKnown = TRUE;
    const UCHAR own = iface[2];
    BOOLEAN listed = FALSE, inControl = TRUE;
    for (ULONG at = iface[0]; at <= length && length - at >= 2 && iface[at] >= 2 && iface[at] <= length - at;
         at += iface[at])
    {
        const UCHAR *d = iface + at;
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE)
            inControl = FALSE;
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[0] >= UAC_INTERFACE_LENGTH &&
            d[5] == USB_DEVICE_CLASS_AUDIO)
        {
            if (d[6] == USB_AUDIO_SUBCLASS_AUDIOCONTROL && d[2] != own)
                break; // the next function's
            if (d[6] == USB_AUDIO_SUBCLASS_AUDIOSTREAMING && !listed)
                AddMember(d[2]);
        }
        // A class 1.0 header names its function's streaming interfaces (baInterfaceNr): only those.
        else if (!IsUac2() && inControl && !listed && d[1] == USB_CS_INTERFACE_DESCRIPTOR_TYPE && d[0] >= 8 &&
                 d[2] == UAC_HEADER && d[0] >= 8u + d[7])
        {
            RtlZeroMemory(m_Members, sizeof(m_Members));
            for (ULONG i = 0; i < d[7]; ++i)
                AddMember(d[8 + i]);
            listed = TRUE;
        }
    }
}

void CUsbAudioFunctionModel::TakeAssociation(const USB_CONFIGURATION_DESCRIPTOR *configuration)
{
    const UCHAR *config = reinterpret_cast<const UCHAR *>(configuration);
    const ULONG total = configuration->wTotalLength;
    for (ULONG at = 0; total - at >= 2 && config[at] >= 2 && config[at] <= total - at; at += config[at])
    {
        const UCHAR *d = config + at;
        if (d[1] != USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE || d[0] < 8 || m_ControlInterface < d[2] ||
            ULONG(m_ControlInterface) >= ULONG(d[2]) + d[3])
            continue;
        RtlZeroMemory(m_Members, sizeof(m_Members));
        m_MembersKnown = TRUE;
        for (ULONG n = d[2]; n < ULONG(d[2]) + d[3] && n < 256; ++n)
            AddMember(UCHAR(n));
        return;
    }
}

NTSTATUS CUsbAudioFunctionModel::ParseControlInterface(const USB_INTERFACE_DESCRIPTOR *iface, ULONG length)
{
    const UCHAR protocol = IsUac2() ? USB_AUDIO_PROTOCOL_UAC2 : 0;
    if (!iface || !m_Units || length < UAC_INTERFACE_LENGTH || iface->bLength < UAC_INTERFACE_LENGTH ||
        iface->bInterfaceClass != USB_DEVICE_CLASS_AUDIO ||
        iface->bInterfaceSubClass != USB_AUDIO_SUBCLASS_AUDIOCONTROL || iface->bInterfaceProtocol != protocol)
    {
        DbgPrint("ParseControlInterface not an AudioControl interface of the class's protocol\n");
        return STATUS_INVALID_PARAMETER;
    }
    m_ControlInterface = iface->bInterfaceNumber;
    TakeMembers(reinterpret_cast<const UCHAR *>(iface), length);
    const UacVersion version = IsUac2() ? UacVersion::Uac2 : UacVersion::Uac1;
    const UCHAR *at = reinterpret_cast<const UCHAR *>(iface) + UAC_INTERFACE_LENGTH;
    ULONG remaining = length - UAC_INTERFACE_LENGTH;
    while (remaining)
    {
        NTSTATUS status = ValidateClassDescriptor(version, UacInterface::Control, at, remaining);
        if (!NT_SUCCESS(status))
        {
            LogMalformed("ParseControlInterface", m_ControlInterface, at, remaining);
            return status;
        }
        if (at[1] != USB_CS_INTERFACE_DESCRIPTOR_TYPE)
            break;
        if (at[2] != UAC_HEADER)
        {
            status = CreateUnit(at, at[0]);
            if (!NT_SUCCESS(status))
                return status;
        }
        remaining -= at[0];
        at += at[0];
    }
    NTSTATUS status = LinkUnits();
    return NT_SUCCESS(status) ? CheckEnd() : status;
}

NTSTATUS CUsbAudioFunctionModel::CreateUnit(const UCHAR *descriptor, ULONG length)
{
    const UCHAR subtype = descriptor[2];
    const BOOLEAN uac2 = IsUac2();
    const ULONG position = UnitCount(), tag = ClassTag();
    IUsbAudioUnit *unit = nullptr;
    switch (subtype)
    {
    case UAC_INPUT_TERMINAL:
    case UAC_OUTPUT_TERMINAL:
    case UAC_MIXER_UNIT:
    case UAC_SELECTOR_UNIT:
    case UAC_FEATURE_UNIT:
        break;
    case UAC2_EXTENSION_UNIT:
    case UAC2_CLOCK_SOURCE:
        if (uac2)
            break;
        [[fallthrough]];
    default:
        // Processing and extension units of 1.0, effect units, clock selectors and multipliers and
        // rate converters of 2.0: such a function is not supported.
        DbgPrint("ParseControlInterface unsupported subtype %u\n", unsigned(subtype));
        return STATUS_UNSUCCESSFUL;
    }
    // Known device quirks rewrite the unit's own copy: a speaker terminal that is headphones.
    UCHAR copy[255];
    RtlCopyMemory(copy, descriptor, length);
    const BOOLEAN rewrites = m_Inputs.VendorId == kVendor1B1C && subtype == UAC_OUTPUT_TERMINAL &&
                             length >= 6 && Le(copy + 4, 2) == 0x0301 &&
                             ((m_Inputs.DeviceClass == UsbAudioDeviceClass::Uac1 && copy[3] == 16) ||
                              (m_Inputs.DeviceClass == UsbAudioDeviceClass::Tesh && copy[3] == 6));
    if (rewrites)
        copy[4] = 0x02;
    if (m_CreateUnit)
        if (NTSTATUS status = m_CreateUnit(m_Inputs, copy, position, tag, &unit); !NT_SUCCESS(status))
            return status;
    if (!unit)
    {
        switch (subtype)
        {
        case UAC_INPUT_TERMINAL:
        case UAC_OUTPUT_TERMINAL:
            unit = new (NonPagedPool, tag) CUacTerminal(nullptr, position);
            break;
        case UAC_SELECTOR_UNIT:
            unit = new (NonPagedPool, tag) CUacSelectorUnit(nullptr, position);
            break;
        case UAC_FEATURE_UNIT:
            unit = new (NonPagedPool, tag) CUacFeatureUnit(nullptr, position);
            break;
        case UAC2_CLOCK_SOURCE:
            unit = new (NonPagedPool, tag) CUacClockSource(nullptr, position);
            break;
        default:
            unit = new (NonPagedPool, tag) CUacMixerUnit(nullptr, position);
            break;
        }
        if (!unit)
            return STATUS_INSUFFICIENT_RESOURCES;
        unit->AddRef();
    }
    const UnitContext context{m_Hal,
                              {m_Lower, m_ControlInterface, uac2 ? UacVersion::Uac2 : UacVersion::Uac1,
                               uac2 ? PoolTag::UA20 : PoolTag::UA10},
                              m_Settings,
                              uac2 ? PoolTag::UA20 : PoolTag::UA10,
                              nullptr};
    NTSTATUS status = unit->InitUnit(copy, length, context);
    if (NT_SUCCESS(status))
        status = AddUnit(unit);
    if (!NT_SUCCESS(status))
        unit->DetachNodes();
    unit->Release();
    return status;
}

NTSTATUS CUsbAudioFunctionModel::LinkUnits()
{
    IUsbAudioUnit *unit = nullptr;
    for (CItemList::PNODE cursor = FirstUnitNode(); NextUnit(&cursor, &unit);)
    {
        ULONG first = 0;
        IAudioNode *self = QueryAs<IAudioNode>(unit, IID_IAudioNode);
        if (!self)
            continue;
        ULONG ids[UAC_MAX_LINKED_SOURCES], count = UAC_MAX_LINKED_SOURCES;
        const ULONG sourceCount = self->GetSourceCount();
        const BOOLEAN linkable = NT_SUCCESS(unit->GetFirstNodeId(&first)) && sourceCount >= 1 &&
                                 sourceCount <= UAC_MAX_LINKED_SOURCES &&
                                 NT_SUCCESS(self->GetSources(&count, ids));
        self->Release();
        if (!linkable)
            continue;
        for (ULONG s = 0; s < count; ++s)
        {
            IUsbAudioUnit *source = nullptr;
            ULONG node = 0;
            if (NT_SUCCESS(FindUnitById(ids[s], &source)) && NT_SUCCESS(source->GetFirstNodeId(&node)))
            {
                ids[s] = node;
                continue;
            }
            if (m_Inputs.DeviceClass == UsbAudioDeviceClass::Mirk)
                return STATUS_UNSUCCESSFUL;
            // A descriptor ID is no node ID: passing it on could name an unrelated node.
            DbgPrint("ParseControlInterface unit source %u not found\n", unsigned(ids[s]));
            ids[s] = UAC_NO_NODE;
        }
        if (NTSTATUS status = unit->LinkSources(count, ids); !NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioFunctionModel::CheckEnd()
{
    if (m_Inputs.DeviceClass != UsbAudioDeviceClass::Uac1 || m_Inputs.VendorId != kVendor1B1C ||
        m_Inputs.ProductId != 0x0A04)
        return STATUS_SUCCESS;
    for (ULONG id : {16u, 64u})
    {
        IUsbAudioUnit *unit = nullptr;
        if (NTSTATUS status = FindUnitById(id, &unit); !NT_SUCCESS(status))
            return status;
        if (UnitKind(unit) != UAC_OUTPUT_TERMINAL)
            return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

// ---- AudioStreaming walk ------------------------------------------------------------------------------
NTSTATUS CUsbAudioFunctionModel::ParseStreamingFromConfig(IUsbLowerRequests *lower)
{
    const USB_CONFIGURATION_DESCRIPTOR *config = nullptr;
    const USB_INTERFACE_DESCRIPTOR *found = nullptr;
    ULONG remaining = 0;
    NTSTATUS status = FindInterface(lower, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, &config, &found, &remaining);
    if (!NT_SUCCESS(status))
        return status;
    if (!found)
        return OwnsNoStreaming();
    return ParseStreamingInterfaces(config, found, remaining);
}

NTSTATUS CUsbAudioFunctionModel::OwnsNoStreaming()
{
    if (!m_MembersKnown)
        return STATUS_SUCCESS;
    DbgPrint(
        "ParseStreamingInterfaces the audio function of interface %u owns no audio streaming interface\n",
        unsigned(m_ControlInterface));
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS CUsbAudioFunctionModel::ParseStreamingInterfaces(const USB_CONFIGURATION_DESCRIPTOR *configuration,
                                                          const USB_INTERFACE_DESCRIPTOR *first, ULONG length)
{
    if (!configuration || !first || !m_Streams)
        return STATUS_INVALID_PARAMETER;
    const UCHAR *config = reinterpret_cast<const UCHAR *>(configuration);
    const UCHAR *at = reinterpret_cast<const UCHAR *>(first);
    // Nothing beyond the end the caller names is read.
    const ULONG total = ULONG(at - config) + length;
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN walked = FALSE;
    LONG ignored = -1;
    while (at)
    {
        const UCHAR *stopped = nullptr;
        // Another function's interface is never bound to this function's terminals.
        if (ULONG(config + total - at) >= UAC_INTERFACE_LENGTH && at[0] >= UAC_INTERFACE_LENGTH &&
            !IsMember(at[2]))
        {
            if (ignored != at[2])
                DbgPrint("ParseStreamingInterfaces interface %u belongs to another function: ignored\n",
                         unsigned(at[2]));
            ignored = at[2];
            stopped = at + at[0];
        }
        else
        {
            status = StreamingInterface(config, total, at, &stopped);
            if (!NT_SUCCESS(status))
                return status;
            walked = TRUE;
        }
        if (m_Inputs.DeviceClass == UsbAudioDeviceClass::Mirk)
            RunStatePass();
        if (!stopped || stopped >= config + total)
            break;
        at = reinterpret_cast<const UCHAR *>(usbd::ParseInterfaceBounded(
            config, total, stopped, -1, -1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, -1));
    }
    if (!walked)
        return OwnsNoStreaming();
    if (m_Inputs.DeviceClass != UsbAudioDeviceClass::Mirk)
        RunStatePass();
    else if (NT_SUCCESS(status))
        status = AttachRenderStages();
    return status;
}

NTSTATUS CUsbAudioFunctionModel::AttachRenderStages()
{
    const BOOLEAN mute = m_Inputs.VendorId == 0x1E7D && m_Inputs.ProductId == 0x3750;
    const BOOLEAN swap =
        m_Inputs.VendorId != 0x28DA && m_Inputs.ProductId != 0x268E && !m_Inputs.EightChannelOff;
    if (mute && !m_HardwareMute)
    {
        auto *stage = new (NonPagedPool, ClassTag()) CHardwareMuteStage(nullptr);
        if (!stage)
            return STATUS_INSUFFICIENT_RESOURCES;
        m_HardwareMute = stage;
        m_HardwareMute->AddRef();
    }
    CChannelSwapStage *swapper = nullptr;
    if (swap)
    {
        swapper = new (NonPagedPool, ClassTag()) CChannelSwapStage(nullptr);
        if (!swapper)
            return STATUS_INSUFFICIENT_RESOURCES;
        swapper->AddRef();
    }
    NTSTATUS status = STATUS_SUCCESS;
    IStreamBuilder *stream = nullptr;
    for (ULONG i = 0; NT_SUCCESS(status) && NT_SUCCESS(StreamAt(i, &stream)); ++i)
    {
        CStreamEngine *engine = stream->GetEngine();
        if (!engine || engine->GetEngineId() != 0)
            continue;
        if (mute)
            status = engine->AddStage(1, static_cast<CHardwareMuteStage *>(m_HardwareMute));
        if (NT_SUCCESS(status) && swapper)
            status = engine->AddStage(1, swapper);
        if (NT_SUCCESS(status) && (mute || swapper))
            status = engine->PrepareBuffers();
    }
    if (swapper)
        swapper->Release();
    return status;
}

NTSTATUS CUsbAudioFunctionModel::StreamingInterface(const UCHAR *config, ULONG total, const UCHAR *iface,
                                                    const UCHAR **stoppedAt)
{
    const BOOLEAN uac2 = IsUac2();
    const ULONG remainingAtInterface = total - ULONG(iface - config);
    if (remainingAtInterface < UAC_INTERFACE_LENGTH || iface[0] < UAC_INTERFACE_LENGTH ||
        iface[1] != USB_INTERFACE_DESCRIPTOR_TYPE || iface[5] != USB_DEVICE_CLASS_AUDIO ||
        iface[6] != USB_AUDIO_SUBCLASS_AUDIOSTREAMING || iface[7] != (uac2 ? USB_AUDIO_PROTOCOL_UAC2 : 0))
    {
        DbgPrint("ParseStreamingInterfaces interface %u: not an AudioStreaming interface of the class's "
                 "protocol\n",
                 unsigned(remainingAtInterface >= 3 ? iface[2] : 0));
        return STATUS_INVALID_PARAMETER;
    }
    const UacVersion version = uac2 ? UacVersion::Uac2 : UacVersion::Uac1;
    const UCHAR number = iface[2];
    UCHAR alternate = iface[3];
    IStreamBuilder *stream = nullptr;
    USHORT formatTag = 0;
    UCHAR formatType = 0, channels = 0;
    ULONG formats = 0, channelConfig = 0, clockNode = UAC_NO_NODE;
    BOOLEAN general = FALSE;
    NTSTATUS status = STATUS_SUCCESS;
    const UCHAR *at = iface + iface[0];
    while (at < config + total)
    {
        const ULONG remaining = total - ULONG(at - config);
        // A configuration cut short ends the walk where it ends: what is complete before the cut is
        // kept, and a setting whose endpoint was cut is not offered.
        if (remaining < 2 || at[0] > remaining)
        {
            DbgPrint("ParseStreamingInterfaces interface %u: descriptor cut off by the configuration's end\n",
                     unsigned(number));
            at = config + total;
            break;
        }
        status = ValidateClassDescriptor(version, UacInterface::Streaming, at, remaining);
        if (!NT_SUCCESS(status))
        {
            LogMalformed("ParseStreamingInterfaces", number, at, remaining);
            return status;
        }
        const UCHAR type = at[1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE)
        {
            if (at[2] != number)
                break;
            alternate = at[3];
        }
        else if (type == USB_CS_INTERFACE_DESCRIPTOR_TYPE && at[2] == UAC_AS_GENERAL)
        {
            if (!general)
            {
                // A class 2.0 stream runs its rate on the terminal's clock source.
                if (uac2)
                {
                    IUsbAudioUnit *terminal = nullptr;
                    FindUnitById(at[3], &terminal);
                    IClockSourceLink *link = QueryAs<IClockSourceLink>(terminal, IID_IClockSourceLink);
                    ULONG clockId = 0;
                    IUsbAudioUnit *clock = nullptr;
                    if (link && NT_SUCCESS(link->GetClockSourceId(&clockId)) &&
                        NT_SUCCESS(FindUnitById(clockId, &clock)))
                        clock->GetFirstNodeId(&clockNode);
                    if (link)
                        link->Release();
                }
                status = BeginStream(number, at[3], clockNode, &stream);
                if (!NT_SUCCESS(status))
                    return status;
                general = TRUE;
            }
            if (uac2)
            {
                formatType = at[5];
                formats = Le(at + 6, 4);
                channels = at[10];
                channelConfig = Le(at + 11, 4);
            }
            else
                formatTag = USHORT(Le(at + 5, 2));
        }
        else if (type == USB_CS_INTERFACE_DESCRIPTOR_TYPE && at[2] == UAC_FORMAT_TYPE)
        {
            const UCHAR kind = uac2 ? formatType : at[3];
            if (!general || (kind != UAC_FORMAT_TYPE_I && kind != UAC_FORMAT_TYPE_III))
            {
                DbgPrint("ParseStreamingInterfaces interface %u alternate %u: %s\n", unsigned(number),
                         unsigned(alternate),
                         general ? "format type neither I nor III" : "FORMAT_TYPE before AS_GENERAL");
                return STATUS_INVALID_PARAMETER;
            }
            const ULONG count = uac2 ? channels : at[4];
            const ULONG bytes = uac2 ? at[4] : at[5];
            const ULONG bits = uac2 ? at[5] : at[6];
            if (!stream)
                return STATUS_UNSUCCESSFUL;
            const BOOLEAN capture = stream->GetEngine()->GetEngineId() == 1;
            // A block of no bytes would divide every later size; widths beyond four bytes are none
            // the driver can carry.
            if (count == 0 || bytes == 0 || bytes > 4)
                DbgPrint("ParseStreamingInterfaces format of %u channels, %u bytes skipped\n",
                         unsigned(count), unsigned(bytes));
            // The valid bits live in the container: more, or none, describe no sample.
            else if (bits == 0 || bits > bytes * 8)
                DbgPrint("ParseStreamingInterfaces format of %u valid bits in %u bytes skipped\n",
                         unsigned(bits), unsigned(bytes));
            else if (CheckAlternate(config, total, number, alternate, capture, count * bytes))
            {
                const BOOLEAN widened = !uac2 && !capture &&
                                        (m_Inputs.DeviceClass == UsbAudioDeviceClass::Plon ||
                                         m_Inputs.DeviceClass == UsbAudioDeviceClass::Grue);
                WAVEFORMATEXTENSIBLE record{};
                record.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
                record.Format.nChannels = USHORT(widened ? 8 : count);
                record.Format.wBitsPerSample = USHORT(bytes * 8);
                record.Format.nBlockAlign = USHORT(record.Format.nChannels * bytes);
                record.Format.cbSize = 22;
                record.Samples.wValidBitsPerSample = USHORT(bits);
                record.dwChannelMask = uac2 ? channelConfig : widened ? 0x63F : ChannelMask(count, capture);
                record.SubFormat = SubFormatForTag(WAVE_FORMAT_PCM);
                m_Fit.Active = TRUE;
                if (uac2)
                    status = RegisterUac2Formats(stream, clockNode, formatType, formats, alternate, record);
                else
                    status =
                        AddFormats(stream, at, formatTag, alternate, record, capture && count < 4 ? 2 : 1);
                m_Fit.Active = FALSE;
                if (!NT_SUCCESS(status))
                    return status;
            }
        }
        else if (type != USB_CS_INTERFACE_DESCRIPTOR_TYPE && type != USB_ENDPOINT_DESCRIPTOR_TYPE &&
                 type != USB_CS_ENDPOINT_DESCRIPTOR_TYPE)
            break;
        at += at[0];
    }
    *stoppedAt = at;
    if (!stream)
        return STATUS_SUCCESS;
    CStreamEngine *engine = stream->GetEngine();
    status = CompleteStreamNodes(engine);
    if (NT_SUCCESS(status))
        status = engine->PrepareBuffers();
    return status;
}

NTSTATUS CUsbAudioFunctionModel::BeginStream(UCHAR interfaceNumber, UCHAR terminalLink, ULONG clockNode,
                                             IStreamBuilder **out)
{
    IUsbAudioUnit *terminal = nullptr;
    NTSTATUS status = FindUnitById(terminalLink, &terminal);
    const ULONG kind = NT_SUCCESS(status) ? UnitKind(terminal) : 0;
    if (kind != UAC_INPUT_TERMINAL && kind != UAC_OUTPUT_TERMINAL)
    {
        DbgPrint("ParseStreamingInterfaces interface %u: AS_GENERAL links to %u, %s\n",
                 unsigned(interfaceNumber), unsigned(terminalLink),
                 NT_SUCCESS(status) ? "not a terminal" : "no such unit");
        return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
    }
    ULONG terminalNode = 0;
    status = terminal->GetFirstNodeId(&terminalNode);
    if (!NT_SUCCESS(status))
        return status;
    const BOOLEAN capture = kind == UAC_OUTPUT_TERMINAL;
    IStreamBuilder *stream = nullptr;
    status = m_CreateStream(m_Inputs, capture, interfaceNumber, terminalNode, clockNode, ClassTag(), &stream);
    if (!NT_SUCCESS(status))
        return status;
    if (!stream)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = stream->InitStream(capture, m_Hal, m_Device);
    if (NT_SUCCESS(status))
        status = CItemList::AppendReferenced(m_Streams, stream);
    if (NT_SUCCESS(status))
        status = m_Hal->AddEngine(stream->GetEngine());
    if (NT_SUCCESS(status))
        status = BindStreamNodes(stream->GetEngine(), terminalNode);
    stream->Release(); // the list keeps it
    *out = NT_SUCCESS(status) ? stream : nullptr;
    return status;
}

BOOLEAN CUsbAudioFunctionModel::CheckAlternate(const UCHAR *config, ULONG total, UCHAR interfaceNumber,
                                               UCHAR alternate, BOOLEAN capture, ULONG wireBlock)
{
    if (!m_Fit.Checked || m_Fit.Interface != interfaceNumber || m_Fit.Alternate != alternate ||
        m_Fit.Capture != capture)
    {
        PCSTR rule = nullptr;
        const BOOLEAN highSpeed = m_Lower && m_Lower->IsHighSpeed();
        m_Fit.Checked = TRUE;
        m_Fit.Capture = capture;
        m_Fit.Interface = interfaceNumber;
        m_Fit.Alternate = alternate;
        m_Fit.Usable = NT_SUCCESS(UacCheckStreamEndpoints(config, total, interfaceNumber, alternate, capture,
                                                          IsUac2(), highSpeed, &m_Fit.Endpoints, &rule));
        if (!m_Fit.Usable)
            DbgPrint("ParseStreamingInterfaces interface %u alternate %u not offered: %s\n",
                     unsigned(interfaceNumber), unsigned(alternate), rule);
    }
    m_Fit.WireBlock = wireBlock;
    return m_Fit.Usable;
}

NTSTATUS CUsbAudioFunctionModel::OfferFormat(IStreamBuilder *stream, const WAVEFORMATEXTENSIBLE &record,
                                             UCHAR alternate)
{
    const ULONG rate = record.Format.nSamplesPerSec;
    // A device may list a rate of 0 or of a few Hz, which no stream opens at.
    if (rate < UAC_MIN_STREAM_RATE_HZ)
    {
        DbgPrint("ParseStreamingInterfaces alternate %u: %u Hz below %u Hz not offered\n",
                 unsigned(alternate), unsigned(rate), unsigned(UAC_MIN_STREAM_RATE_HZ));
        return STATUS_SUCCESS;
    }
    if (m_Fit.Active)
    {
        const UacStreamEndpoints &e = m_Fit.Endpoints;
        const ULONG largest = UacLargestPacketBytes(rate, m_Fit.WireBlock, e.PacketsPerFrame, e.Feedback);
        if (largest > e.MaxPacketBytes)
        {
            DbgPrint("ParseStreamingInterfaces interface %u alternate %u: %u Hz packet of %u bytes above "
                     "wMaxPacketSize %u\n",
                     unsigned(m_Fit.Interface), unsigned(alternate), unsigned(rate), unsigned(largest),
                     unsigned(e.MaxPacketBytes));
            return STATUS_SUCCESS;
        }
    }
    return stream->AddStreamFormat(record, alternate);
}

NTSTATUS CUsbAudioFunctionModel::AddFormats(IStreamBuilder *stream, const UCHAR *formatType, USHORT formatTag,
                                            UCHAR alternate, WAVEFORMATEXTENSIBLE &record, ULONG copies)
{
    NTSTATUS status = RegisterUac1Formats(stream, formatType, formatTag, alternate, record);
    // A capture stream of up to three channels is also offered without speaker positions.
    if (NT_SUCCESS(status) && copies == 2)
    {
        record.dwChannelMask = 0;
        status = RegisterUac1Formats(stream, formatType, formatTag, alternate, record);
    }
    return status;
}

// ---- Formats ------------------------------------------------------------------------------------------
NTSTATUS CUsbAudioFunctionModel::RegisterUac1Formats(IStreamBuilder *stream, const UCHAR *formatType,
                                                     USHORT formatTag, UCHAR alternate,
                                                     WAVEFORMATEXTENSIBLE &record)
{
    if (!stream || !formatType)
        return STATUS_INVALID_PARAMETER;
    const ULONG discrete = formatType[7];
    ULONG count = 0;
    ULONG low = 0, high = 0;
    if (!discrete)
    {
        low = Le(formatType + 8, 3);
        high = Le(formatType + 11, 3);
        if (low > high)
        {
            const ULONG t = low;
            low = high;
            high = t;
        }
        if (high > 96000)
        {
            DbgPrint("RegisterUac1Formats range up to %u Hz above 96000\n", unsigned(high));
            return STATUS_INVALID_PARAMETER;
        }
        for (ULONG rate : SampleRateTable)
            count += rate >= low && rate <= high;
        if (!count)
        {
            // Only table rates inside the range are offered; the device runs at none of them.
            DbgPrint("RegisterUac1Formats no table rate in %u-%u\n", unsigned(low), unsigned(high));
            return STATUS_SUCCESS;
        }
    }
    else
        count = discrete;
    PULONG rates = static_cast<PULONG>(AllocPoolZeroed(count * sizeof(ULONG), PagedPool, ClassTag()));
    if (!rates)
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG n = 0;
    if (discrete)
        for (; n < count; ++n)
            rates[n] = Le(formatType + 8 + 3 * n, 3);
    else
        for (ULONG rate : SampleRateTable)
            if (rate >= low && rate <= high)
                rates[n++] = rate;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (ULONG i = 0; i < n; ++i)
    {
        record.Format.nSamplesPerSec = rates[i];
        record.Format.nAvgBytesPerSec = rates[i] * record.Format.nBlockAlign;
        if (formatType[3] == UAC_FORMAT_TYPE_I)
        {
            record.SubFormat = SubFormatForTag(WAVE_FORMAT_PCM);
            status = OfferFormat(stream, record, alternate);
        }
        else if (formatTag & 0x2001)
        {
            record.SubFormat = SubFormatForTag(kSubFormatAc3);
            status = OfferFormat(stream, record, alternate);
            if (NT_SUCCESS(status))
            {
                record.SubFormat = SubFormatForTag(kSubFormatWmaPro);
                status = OfferFormat(stream, record, alternate);
            }
        }
        if (!NT_SUCCESS(status))
            break;
    }
    FreePool(rates);
    return status;
}

NTSTATUS CUsbAudioFunctionModel::RegisterUac2Formats(IStreamBuilder *stream, ULONG clockNodeId,
                                                     UCHAR formatType, ULONG formats, UCHAR alternate,
                                                     WAVEFORMATEXTENSIBLE &record)
{
    IAudioNode *node = nullptr;
    if (!stream || !NT_SUCCESS(m_Hal->FindFilter(clockNodeId, &node)))
        return STATUS_UNSUCCESSFUL;
    IClockRates *clock = QueryAs<IClockRates>(node, IID_IClockRates);
    if (!clock)
        return STATUS_UNSUCCESSFUL;
    ULONG count = 0;
    clock->GetRateCount(&count);
    PULONG rates = count
                       ? static_cast<PULONG>(AllocPoolZeroed(count * sizeof(ULONG), PagedPool, PoolTag::UAC2))
                       : nullptr;
    NTSTATUS status = count && !rates ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
    if (rates)
        status = clock->GetRates(&count, rates);
    for (ULONG i = 0; NT_SUCCESS(status) && rates && i < count; ++i)
    {
        record.Format.nSamplesPerSec = rates[i];
        record.Format.nAvgBytesPerSec = rates[i] * record.Format.nBlockAlign;
        if (formatType == UAC_FORMAT_TYPE_I && (formats & 1))
        {
            record.SubFormat = SubFormatForTag(WAVE_FORMAT_PCM);
            status = OfferFormat(stream, record, alternate);
        }
        else if (formatType == UAC_FORMAT_TYPE_I && (formats & UAC_RAW_DATA_FORMATS))
        {
            // A rate the clock refuses is one this setting cannot run at: skipped, not a failure.
            if (!NT_SUCCESS(clock->SelectRate(rates[i])))
                continue;
            if (stream->AcceptsRawData(alternate, rates[i]))
            {
                record.SubFormat = SubFormatForTag(0);
                record.SubFormat.Data1 = SalvineVendorId;
                status = OfferFormat(stream, record, alternate);
            }
        }
        else if (formatType == UAC_FORMAT_TYPE_III)
        {
            if (formats & 1)
            {
                record.SubFormat = SubFormatForTag(kSubFormatAc3);
                status = OfferFormat(stream, record, alternate);
            }
            if (NT_SUCCESS(status) && (formats & 0x1000))
            {
                record.SubFormat = SubFormatForTag(kSubFormatWmaPro);
                status = OfferFormat(stream, record, alternate);
            }
        }
    }
    FreePool(rates);
    clock->Release();
    return status;
}

// ---- Graph --------------------------------------------------------------------------------------------
NTSTATUS CUsbAudioFunctionModel::BindStreamNodes(CStreamEngine *engine, ULONG terminalNodeId)
{
    if (!engine)
        return STATUS_INVALID_PARAMETER;
    if (engine->GetEngineId() == 1)
        return AttachPathNodes(engine, terminalNodeId);
    BOOLEAN reached = FALSE, anyJack = FALSE;
    for (ULONG i = 0; i < m_Hal->GetFilterCount(); ++i)
    {
        IAudioNode *start = nullptr;
        if (NTSTATUS status = m_Hal->GetFilter(i, &start); !NT_SUCCESS(status))
            return status;
        if (start->GetKind() != NODE_KIND_OUTPUT_TERMINAL)
            continue;
        ITerminalInfo *info = QueryAs<ITerminalInfo>(start, IID_ITerminalInfo);
        ULONG jacks = 0;
        if (info)
        {
            info->GetJackCount(&jacks);
            info->Release();
        }
        if (!jacks)
            continue;
        anyJack = TRUE;
        NodeRing ring;
        ring.Push(start->GetId());
        ULONG id = 0;
        BOOLEAN found = FALSE;
        while (!found && ring.Pop(&id))
        {
            if (id == terminalNodeId)
            {
                found = TRUE;
                break;
            }
            IAudioNode *node = nullptr;
            if (!ring.FirstVisit(id) || !NT_SUCCESS(m_Hal->FindFilter(id, &node)))
                continue;
            if (!PushSources(ring, node))
                return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (found)
        {
            if (NTSTATUS status = AttachPathNodes(engine, start->GetId()); !NT_SUCCESS(status))
                return status;
            reached = TRUE;
        }
    }
    if (!anyJack || !reached)
    {
        // A render stream is bound from a jack back to its terminal: without one it has no endpoint.
        DbgPrint("BindStreamNodes terminal node %u: %s\n", unsigned(terminalNodeId),
                 anyJack ? "no jacks on the terminal it plays to" : "no output terminal with jacks");
        return STATUS_INVALID_PARAMETER;
    }
    return AttachUnitEffects(engine);
}

NTSTATUS CUsbAudioFunctionModel::AttachUnitEffects(CStreamEngine *engine)
{
    // A unit's sources link to its first node and its nodes chain behind that one, so the walk from
    // the output terminal meets only each unit's first node: the effect nodes further down a unit's
    // chain would never process the stream. The attached nodes run from the output back to the
    // stream's terminal; their units are taken in the other order. Only effect nodes join: a software
    // volume further down a chain (the class 2.0 unit's, behind its mute) has a gate nothing opens,
    // and listing it would put every block through float, which drops the low bits of 32-bit PCM.
    for (ULONG at = engine->GetNodeCount(); at-- > 0;)
    {
        IAudioNode *attached = nullptr;
        if (!NT_SUCCESS(engine->GetNode(at, &attached)) || !attached)
            continue;
        IUsbAudioUnit *unit = nullptr;
        for (CItemList::PNODE cursor = FirstUnitNode(); !unit && NextUnit(&cursor, &unit);)
        {
            ULONG first = 0;
            if (!NT_SUCCESS(unit->GetFirstNodeId(&first)) || first != attached->GetId())
                unit = nullptr;
        }
        IAudioNode *node = nullptr;
        for (ULONG n = 0; unit && NT_SUCCESS(unit->GetUnitNode(n, &node)); ++n)
        {
            const ULONG kind = node ? node->GetKind() : NODE_KIND_INPUT_TERMINAL;
            if (kind != NODE_KIND_INFO && kind != NODE_KIND_INFO_20)
                continue;
            IProcessingNode *processing = QueryAs<IProcessingNode>(node, IID_IProcessingNode);
            if (!processing)
                continue;
            const NTSTATUS status = engine->AddProcessingNode(processing);
            processing->Release();
            if (!NT_SUCCESS(status))
                return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioFunctionModel::AttachPathNodes(CStreamEngine *engine, ULONG firstNodeId)
{
    NodeRing ring;
    ring.Push(firstNodeId);
    ULONG id = 0;
    while (ring.Pop(&id))
    {
        if (engine->HoldsNode(id))
            continue; // met again: not expanded
        IAudioNode *node = nullptr;
        if (!NT_SUCCESS(m_Hal->FindFilter(id, &node)))
            break;
        if (NTSTATUS status = engine->AttachNode(node); !NT_SUCCESS(status))
            return status;
        if (node->GetKind() == NODE_KIND_MIXER)
        {
            // A mixer ends the branch, but a render stream still needs the streaming terminal that
            // feeds it: the wave filter connects to the topology through that terminal's pin.
            if (NTSTATUS status = AttachStreamingSource(engine, node); !NT_SUCCESS(status))
                return status;
        }
        else if (node->GetSourceCount() && !PushSources(ring, node))
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioFunctionModel::AttachStreamingSource(CStreamEngine *engine, IAudioNode *mixer)
{
    ULONG sources[NODE_MAX_SOURCES];
    ULONG count = NODE_MAX_SOURCES;
    if (engine->GetEngineId() != 0 || !NT_SUCCESS(mixer->GetSources(&count, sources)))
        return STATUS_SUCCESS;
    for (ULONG i = 0; i < count; ++i)
    {
        IAudioNode *source = nullptr;
        if (engine->HoldsNode(sources[i]) || !NT_SUCCESS(m_Hal->FindFilter(sources[i], &source)) ||
            source->GetKind() != NODE_KIND_INPUT_TERMINAL)
            continue;
        ULONG type = TERMINAL_DEFAULT_TYPE;
        if (ITerminalInfo *info = QueryAs<ITerminalInfo>(source, IID_ITerminalInfo))
        {
            info->GetSelectedType(&type);
            info->Release();
        }
        if (type == TERMINAL_TYPE_STREAMING)
            return engine->AttachNode(source);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioFunctionModel::EnableKindFiveNodes(CStreamEngine *engine)
{
    IAudioNode *node = nullptr;
    for (ULONG i = 0; NT_SUCCESS(engine->GetNode(i, &node)) && node; ++i)
        if (node->GetKind() == NODE_KIND_MIXER)
            if (ISwitchable *switchable = QueryAs<ISwitchable>(node, IID_ISwitchable))
            {
                switchable->SetSwitch(1);
                switchable->Release();
            }
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioFunctionModel::CompleteStreamNodes(CStreamEngine *engine)
{
    if (IsUac2())
        EnableKindFiveNodes(engine);
    if (engine->GetNodeCount() == 2)
        return CompleteTwoNodeStream(engine);
    if (engine->GetEngineId() != 1)
        return STATUS_SUCCESS;
    ULONG terminals = 0;
    BOOLEAN selector = FALSE;
    IAudioNode *node = nullptr, *output = nullptr;
    for (ULONG i = 0; NT_SUCCESS(engine->GetNode(i, &node)) && node; ++i)
    {
        const ULONG kind = node->GetKind();
        terminals += kind == NODE_KIND_INPUT_TERMINAL || kind == NODE_KIND_OUTPUT_TERMINAL;
        selector |= kind == NODE_KIND_SELECTOR;
        if (kind == NODE_KIND_OUTPUT_TERMINAL && !output)
            output = node;
    }
    if (terminals != 2 || selector || !output || RtlIsNtDdiVersionAvailable(kVistaVersion))
        return STATUS_SUCCESS;
    ULONG source = 0, count = 1;
    if (!NT_SUCCESS(output->GetSources(&count, &source)) || !count)
        return STATUS_SUCCESS;
    const ULONG id = m_Hal->GetFilterCount();
    NTSTATUS status = AddStateNode(id, source, engine);
    return NT_SUCCESS(status) ? output->SetSources(1, &id) : status;
}

NTSTATUS CUsbAudioFunctionModel::CompleteTwoNodeStream(CStreamEngine *engine)
{
    IAudioNode *nodes[2] = {};
    engine->GetNode(0, &nodes[0]);
    engine->GetNode(1, &nodes[1]);
    if (!nodes[0] || !nodes[1])
        return STATUS_UNSUCCESSFUL;
    // A path of only a terminal pair has no mute of its own: it gets the software one.
    if (nodes[0]->GetKind() == NODE_KIND_MUTE || nodes[1]->GetKind() == NODE_KIND_MUTE)
        return STATUS_SUCCESS;
    IAudioNode *output = nodes[0]->GetKind() == NODE_KIND_OUTPUT_TERMINAL ? nodes[0] : nodes[1];
    if (output->GetKind() != NODE_KIND_OUTPUT_TERMINAL)
        return STATUS_SUCCESS;
    ULONG source = UAC_NO_NODE, count = 1;
    output->GetSources(&count, &source);
    ULONG id = m_Hal->GetFilterCount();
    NTSTATUS status = AddDspNode(id, source, 1, engine);
    if (NT_SUCCESS(status) && !RtlIsNtDdiVersionAvailable(kVistaVersion))
    {
        const ULONG stateId = m_Hal->GetFilterCount();
        status = AddStateNode(stateId, id, engine);
        id = stateId;
    }
    return NT_SUCCESS(status) ? output->SetSources(1, &id) : status;
}

NTSTATUS CUsbAudioFunctionModel::AddDspNode(ULONG id, ULONG source, ULONG size, CStreamEngine *engine)
{
    CDspNode *node = new (NonPagedPool, ClassTag()) CDspNode(nullptr, id);
    if (!node)
        return STATUS_INSUFFICIENT_RESOURCES;
    IAudioNode *audio = static_cast<IAudioNode *>(static_cast<CAudioNodeBase *>(node));
    audio->AddRef();
    NTSTATUS status = node->Init(source, size);
    if (NT_SUCCESS(status))
        status = m_Hal->AddFilter(audio);
    // The engine runs it with its processing nodes: attaching adds it there once.
    if (NT_SUCCESS(status))
        status = engine->AttachNode(audio);
    audio->Release();
    return status;
}

NTSTATUS CUsbAudioFunctionModel::AddStateNode(ULONG id, ULONG source, CStreamEngine *engine)
{
    CStateNode *node = new (NonPagedPool, ClassTag()) CStateNode(nullptr, id);
    if (!node)
        return STATUS_INSUFFICIENT_RESOURCES;
    IAudioNode *audio = static_cast<IAudioNode *>(static_cast<CAudioNodeBase *>(node));
    audio->AddRef();
    const ULONG value = 0;
    NTSTATUS status = node->Init(source, 1, &value);
    if (NT_SUCCESS(status))
        status = m_Hal->AddFilter(audio);
    if (NT_SUCCESS(status))
        status = engine->AttachNode(audio);
    audio->Release();
    return status;
}

NTSTATUS CUsbAudioFunctionModel::RunStatePass()
{
    for (ULONG i = 0; i < m_Hal->GetFilterCount(); ++i)
    {
        IAudioNode *stateNode = nullptr;
        if (!NT_SUCCESS(m_Hal->GetFilter(i, &stateNode)) || stateNode->GetKind() != NODE_KIND_STATE)
            continue;
        INodeState *state = QueryAs<INodeState>(stateNode, IID_INodeState);
        ULONG value = 0, id = 0, count = 1;
        if (!state)
            continue;
        state->GetValue(&value);
        NodeRing seen;
        if (NT_SUCCESS(stateNode->GetSources(&count, &id)) && count == 1)
        {
            IAudioNode *node = nullptr;
            // Down the single-source chain; a node met again ends it.
            while (seen.FirstVisit(id) && NT_SUCCESS(m_Hal->FindFilter(id, &node)))
            {
                if (IStateTarget *target = QueryAs<IStateTarget>(node, IID_IStateTarget))
                {
                    target->SetState(value, 0);
                    state->AddListener(target);
                    target->Release();
                }
                count = 1;
                if (node->GetSourceCount() != 1 || !NT_SUCCESS(node->GetSources(&count, &id)))
                    break;
            }
        }
        state->Release();
    }
    return STATUS_SUCCESS;
}
