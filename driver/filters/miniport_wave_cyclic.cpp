// The wave-cyclic miniport: description, data ranges, format checks, intersection, private
// properties and the one-stream rule.
#include "driver/filters/miniport_wave_cyclic.h"

#include "driver/base/pool_memory.h"
#include "driver/base/usb_vendor_ids.h"

#include <iterator>

namespace
{

enum : ULONG
{
    WAVE_PIN_STREAMING = 0,
    WAVE_PIN_BRIDGE = 1,
    WAVE_PIN_COUNT = 2,
};
enum : ULONG
{
    WAVE_PROPERTY_STREAM_INFO = 1,
    WAVE_PROPERTY_FORMAT_SUPPORTED = 5,
};

const GUID kRenderCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER, KSCATEGORY_REALTIME};
const GUID kCaptureCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE, KSCATEGORY_REALTIME};

const PCPROPERTY_ITEM kFilterProperties[] = {
    {&KSPROPSETID_MiniportPrivate, WAVE_PROPERTY_STREAM_INFO, PCPROPERTY_ITEM_FLAG_GET,
     CMiniportWaveCyclic::PrivatePropertyHandler},
    {&KSPROPSETID_MiniportPrivate, WAVE_PROPERTY_FORMAT_SUPPORTED, PCPROPERTY_ITEM_FLAG_SET,
     CMiniportWaveCyclic::PrivatePropertyHandler},
};
const PCAUTOMATION_TABLE kFilterAutomation = {sizeof(PCPROPERTY_ITEM),
                                              ULONG(std::size(kFilterProperties)),
                                              kFilterProperties,
                                              0,
                                              0,
                                              nullptr,
                                              0,
                                              0,
                                              nullptr,
                                              0};

const KSPIN_INTERFACE kStreamingInterface = {KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0};
const PKSDATARANGE kBridgeRanges[] = {const_cast<PKSDATARANGE>(&kAnalogBridgeRange)};

// The vendor's raw-data sub-format: its identifier in the first field, the wave sub-format tail.
bool IsRawDataSubFormat(const GUID &subFormat)
{
    GUID raw = SubFormatForTag(0);
    raw.Data1 = SalvineVendorId;
    return subFormat == raw;
}

GUID SubFormatOf(const WAVEFORMATEXTENSIBLE &format)
{
    return format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? format.SubFormat
                                                              : SubFormatForTag(format.Format.wFormatTag);
}

USHORT ValidBitsOf(const WAVEFORMATEXTENSIBLE &format)
{
    return format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? format.Samples.wValidBitsPerSample
                                                              : format.Format.wBitsPerSample;
}

// Where the wave format of a data format of `size` bytes starts, or 0 for a size not accepted.
ULONG WaveFormatOffset(ULONG size, bool attributes)
{
    switch (size)
    {
    case 82:
        return attributes ? 0 : 64;
    case 88:
        return attributes ? 64 : 0;
    case 90:
        return attributes ? 0 : 72;
    case 96:
        return attributes ? 72 : 0;
    case 104:
        return 64;
    default:
        return 0;
    }
}

template <class T> ULONG Min(T a, T b)
{
    return ULONG(a < b ? a : b);
}

} // namespace

NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN *unknown, REFGUID, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                                  ULONG engineIndex)
{
    return NewObject<CMiniportWaveCyclic>(unknown, outerUnknown, poolType, PoolTag::WAVC, engineIndex);
}

CMiniportWaveCyclic::CMiniportWaveCyclic(PUNKNOWN outerUnknown, ULONG engineIndex)
    : CUnknownBase(outerUnknown), m_EngineIndex(engineIndex), m_Port(nullptr), m_Hal(nullptr),
      m_Engine(nullptr), m_Name(nullptr), m_PowerState(PowerDeviceUnspecified), m_OpenStreams(0),
      m_CreateStream(CreateWaveCyclicStream), m_FilterDescriptor(nullptr), m_Pins(nullptr), m_Nodes(nullptr),
      m_Connections(nullptr), m_DataRanges(nullptr), m_DataRangePointers(nullptr), m_DataRangeCount(0)
{
    KeInitializeEvent(&m_StreamClosed, NotificationEvent, TRUE);
}

CMiniportWaveCyclic::~CMiniportWaveCyclic()
{
    KeWaitForSingleObject(&m_StreamClosed, Executive, KernelMode, FALSE, nullptr);
    FreeAll();
}

NTSTATUS CMiniportWaveCyclic::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    PUNKNOWN first = static_cast<IMiniportWaveCyclic *>(this);
    return AnswerInterface(iid, object, first,
                           {{IID_IMiniport, first},
                            {IID_IMiniportWaveCyclic, first},
                            {IID_IMiniportPrivate, static_cast<IMiniportPrivate *>(this)},
                            {IID_IPowerNotify, static_cast<IPowerNotify *>(this)}});
}

void CMiniportWaveCyclic::FreeAll()
{
    if (m_Port)
        m_Port->Release();
    m_Port = nullptr;
    FreePool(m_FilterDescriptor);
    FreePool(m_Connections);
    FreePool(m_Nodes);
    FreePool(m_Pins);
    FreePool(m_DataRanges);
    FreePool(m_DataRangePointers);
    m_FilterDescriptor = nullptr;
    m_Connections = nullptr;
    m_Nodes = nullptr;
    m_Pins = nullptr;
    m_DataRanges = nullptr;
    m_DataRangePointers = nullptr;
    m_DataRangeCount = 0;
    if (m_Engine)
        m_Engine->Release();
    m_Engine = nullptr;
    if (m_Hal)
        m_Hal->Release();
    m_Hal = nullptr;
    FreePool(m_Name);
    m_Name = nullptr;
}

NTSTATUS CMiniportWaveCyclic::Init(PUNKNOWN unknownAdapter, PRESOURCELIST, PPORT port)
{
    if (!port)
        return STATUS_INVALID_PARAMETER;
    if (m_Port)
        return STATUS_INVALID_DEVICE_REQUEST;
    m_Port = static_cast<PPORTWAVECYCLIC>(port);
    m_Port->AddRef();
    m_PowerState = PowerDeviceD0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    m_Hal = QueryAs<IAudioHal>(unknownAdapter, IID_IAudioHal);
    if (m_Hal)
    {
        status = m_Hal->GetEngine(m_EngineIndex, &m_Engine);
        if (NT_SUCCESS(status) && !m_Engine)
            status = STATUS_UNSUCCESSFUL;
        if (NT_SUCCESS(status))
            m_Engine->AddRef();
        else
            m_Engine = nullptr;
    }
    if (NT_SUCCESS(status))
        status = BuildDataRanges();
    if (NT_SUCCESS(status))
        status = BuildDescriptor();
    if (NT_SUCCESS(status))
        status = BuildName();
    if (!NT_SUCCESS(status))
    {
        DbgPrint("CMiniportWaveCyclic::Init failed 0x%08X\n", unsigned(status));
        FreeAll();
    }
    return status;
}

NTSTATUS CMiniportWaveCyclic::BuildDataRanges()
{
    const ULONG formats = m_Engine->GetFormatCount();
    // No more ranges than formats; the ranges are built in place and only then kept.
    auto *ranges = static_cast<KSDATARANGE_AUDIO *>(AllocPoolZeroed(
        ULONG((formats ? formats : 1) * sizeof(KSDATARANGE_AUDIO)), PagedPool, PoolTag::WAVC));
    if (!ranges)
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG count = 0;
    for (ULONG i = 0; i < formats; ++i)
    {
        WAVEFORMATEXTENSIBLE format;
        if (!NT_SUCCESS(m_Engine->GetFormat(i, &format)))
            continue;
        const GUID subFormat = SubFormatOf(format);
        if (IsRawDataSubFormat(subFormat))
            continue;
        const ULONG channels = format.Format.nChannels;
        // The range covers the valid bits and the container alike: a client opens a format by its
        // container size.
        const ULONG container = format.Format.wBitsPerSample, valid = ValidBitsOf(format);
        const ULONG lowBits = valid && valid < container ? valid : container;
        const ULONG highBits = valid > container ? valid : container;
        const ULONG rate = format.Format.nSamplesPerSec;
        ULONG r = 0;
        while (r < count && !(ranges[r].DataRange.SubFormat == subFormat))
            ++r;
        KSDATARANGE_AUDIO &range = ranges[r];
        if (r == count)
        {
            ++count;
            range.DataRange = {
                sizeof(KSDATARANGE_AUDIO),          0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, subFormat,
                KSDATAFORMAT_SPECIFIER_WAVEFORMATEX};
            range.MaximumChannels = channels;
            range.MinimumBitsPerSample = lowBits;
            range.MaximumBitsPerSample = highBits;
            range.MinimumSampleFrequency = range.MaximumSampleFrequency = rate;
            continue;
        }
        range.MaximumChannels = channels > range.MaximumChannels ? channels : range.MaximumChannels;
        range.MinimumBitsPerSample =
            lowBits < range.MinimumBitsPerSample ? lowBits : range.MinimumBitsPerSample;
        range.MaximumBitsPerSample =
            highBits > range.MaximumBitsPerSample ? highBits : range.MaximumBitsPerSample;
        range.MinimumSampleFrequency =
            rate < range.MinimumSampleFrequency ? rate : range.MinimumSampleFrequency;
        range.MaximumSampleFrequency =
            rate > range.MaximumSampleFrequency ? rate : range.MaximumSampleFrequency;
    }
    ULONG pcm = 0;
    while (pcm < count && !(ranges[pcm].DataRange.SubFormat == KSDATAFORMAT_SUBTYPE_PCM))
        ++pcm;
    PKSDATARANGE *pointers = pcm < count ? static_cast<PKSDATARANGE *>(AllocPoolZeroed(
                                               count * sizeof(PKSDATARANGE), PagedPool, PoolTag::WAVC))
                                         : nullptr;
    if (!pointers)
    {
        if (pcm == count)
            DbgPrint("CMiniportWaveCyclic::BuildDataRanges no PCM range\n");
        FreePool(ranges);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Clients take the first range as the endpoint's native one: PCM goes first.
    if (pcm != 0)
    {
        const KSDATARANGE_AUDIO first = ranges[0];
        ranges[0] = ranges[pcm];
        ranges[pcm] = first;
    }
    for (ULONG r = 0; r < count; ++r)
        pointers[r] = &ranges[r].DataRange;
    m_DataRanges = ranges;
    m_DataRangePointers = pointers;
    m_DataRangeCount = count;
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveCyclic::BuildDescriptor()
{
    m_FilterDescriptor = static_cast<PPCFILTER_DESCRIPTOR>(
        AllocPoolZeroed(sizeof(PCFILTER_DESCRIPTOR), PagedPool, PoolTag::WAVC));
    m_Pins = static_cast<PPCPIN_DESCRIPTOR>(
        AllocPoolZeroed(WAVE_PIN_COUNT * sizeof(PCPIN_DESCRIPTOR), PagedPool, PoolTag::WAVC));
    m_Nodes =
        static_cast<PPCNODE_DESCRIPTOR>(AllocPoolZeroed(sizeof(PCNODE_DESCRIPTOR), PagedPool, PoolTag::WAVC));
    m_Connections = static_cast<PPCCONNECTION_DESCRIPTOR>(
        AllocPoolZeroed(2 * sizeof(PCCONNECTION_DESCRIPTOR), PagedPool, PoolTag::WAVC));
    if (!m_FilterDescriptor || !m_Pins || !m_Nodes || !m_Connections)
        return STATUS_INSUFFICIENT_RESOURCES;
    const bool capture = m_Engine->GetEngineId() != 0;

    PCPIN_DESCRIPTOR &streaming = m_Pins[WAVE_PIN_STREAMING];
    streaming.MaxGlobalInstanceCount = streaming.MaxFilterInstanceCount = streaming.MinFilterInstanceCount =
        1;
    streaming.KsPinDescriptor.InterfacesCount = 1;
    streaming.KsPinDescriptor.Interfaces = &kStreamingInterface;
    streaming.KsPinDescriptor.DataRangesCount = m_DataRangeCount;
    streaming.KsPinDescriptor.DataRanges = m_DataRangePointers;
    streaming.KsPinDescriptor.DataFlow = capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
    streaming.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_SINK;
    streaming.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;

    PCPIN_DESCRIPTOR &bridge = m_Pins[WAVE_PIN_BRIDGE];
    bridge.KsPinDescriptor.DataRangesCount = 1;
    bridge.KsPinDescriptor.DataRanges = kBridgeRanges;
    bridge.KsPinDescriptor.DataFlow = capture ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
    bridge.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
    bridge.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;

    m_Nodes[0].Type = capture ? &KSNODETYPE_ADC : &KSNODETYPE_DAC;
    // Render: streaming pin into the converter's input, its output to the bridge; capture the reverse.
    const ULONG source = capture ? WAVE_PIN_BRIDGE : WAVE_PIN_STREAMING;
    const ULONG sink = capture ? WAVE_PIN_STREAMING : WAVE_PIN_BRIDGE;
    m_Connections[0] = {PCFILTER_NODE, source, 0, 1};
    m_Connections[1] = {0, 0, PCFILTER_NODE, sink};

    PCFILTER_DESCRIPTOR &d = *m_FilterDescriptor;
    d.Version = 0;
    d.AutomationTable = &kFilterAutomation;
    d.PinSize = sizeof(PCPIN_DESCRIPTOR);
    d.PinCount = WAVE_PIN_COUNT;
    d.Pins = m_Pins;
    d.NodeSize = sizeof(PCNODE_DESCRIPTOR);
    d.NodeCount = 1;
    d.Nodes = m_Nodes;
    d.ConnectionCount = 2;
    d.Connections = m_Connections;
    d.CategoryCount = ULONG(std::size(kRenderCategories));
    d.Categories = capture ? kCaptureCategories : kRenderCategories;
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveCyclic::BuildName()
{
    m_Name = static_cast<PWSTR>(AllocPoolZeroed(MINIPORT_NAME_BUFFER_BYTES, PagedPool, PoolTag::WAVC));
    auto *engineName =
        static_cast<PWSTR>(AllocPoolZeroed(MINIPORT_NAME_BUFFER_BYTES, PagedPool, PoolTag::WAVC));
    NTSTATUS status = m_Name && engineName ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status))
        status = m_Engine->GetName(engineName);
    if (NT_SUCCESS(status))
    {
        // "%s%s" of the endpoint's name and "Wave", 98 bytes at most; a cut name is still a name.
        static const WCHAR kSuffix[] = {'W', 'a', 'v', 'e', 0};
        constexpr size_t kNameBytes = 98;
        RtlStringCbCopyW(m_Name, kNameBytes, engineName);
        RtlStringCbCatW(m_Name, kNameBytes, kSuffix);
    }
    FreePool(engineName);
    return status;
}

NTSTATUS CMiniportWaveCyclic::GetDescription(PPCFILTER_DESCRIPTOR *description)
{
    if (!description)
        return STATUS_INVALID_PARAMETER;
    if (!m_FilterDescriptor)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    *description = m_FilterDescriptor;
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveCyclic::GetName(PWSTR *name)
{
    if (!name)
        return STATUS_INVALID_PARAMETER;
    if (!m_Name)
        return STATUS_UNSUCCESSFUL;
    *name = m_Name;
    return STATUS_SUCCESS;
}

void CMiniportWaveCyclic::PowerChangeNotify(POWER_STATE powerState)
{
    TakePowerState(&m_PowerState, powerState);
}

NTSTATUS CMiniportWaveCyclic::QueryTerminal(ULONG, PULONG terminalId)
{
    if (!terminalId)
        return STATUS_INVALID_PARAMETER;
    if (!m_Engine)
        return STATUS_UNSUCCESSFUL;
    // The streaming terminal on the USB side: an output terminal for capture, an input one for render.
    const ULONG kind = m_Engine->GetEngineId() != 0 ? NODE_KIND_OUTPUT_TERMINAL : NODE_KIND_INPUT_TERMINAL;
    BOOLEAN found = FALSE;
    ULONG id = 0;
    const ULONG nodes = m_Engine->GetNodeCount();
    for (ULONG i = 0; i < nodes; ++i)
    {
        IAudioNode *node = nullptr;
        if (!NT_SUCCESS(m_Engine->GetNode(i, &node)) || !node || node->GetKind() != kind)
            continue;
        ITerminalInfo *terminal = QueryAs<ITerminalInfo>(node, IID_ITerminalInfo);
        if (!terminal)
            continue;
        ULONG type = 0;
        if (NT_SUCCESS(terminal->GetSelectedType(&type)) && type == TERMINAL_TYPE_STREAMING)
        {
            id = node->GetId(); // the last one wins
            found = TRUE;
        }
        terminal->Release();
    }
    if (!found)
        return STATUS_UNSUCCESSFUL;
    *terminalId = id;
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveCyclic::ValidateFormat(const KSDATAFORMAT *dataFormat, WAVEFORMATEXTENSIBLE *waveFormat)
{
    if (!dataFormat || !waveFormat || !m_Engine || dataFormat->FormatSize < WAVE_DATAFORMAT_MIN_BYTES ||
        !(dataFormat->MajorFormat == KSDATAFORMAT_TYPE_AUDIO))
        return STATUS_INVALID_PARAMETER;
    const ULONG size = dataFormat->FormatSize;
    const ULONG offset = WaveFormatOffset(size, (dataFormat->Flags & KSDATAFORMAT_ATTRIBUTES) != 0);
    if (offset == 0)
        return STATUS_INVALID_PARAMETER;
    const auto *bytes = reinterpret_cast<const UCHAR *>(dataFormat);
    WAVEFORMATEX header;
    RtlCopyMemory(&header, bytes + offset, sizeof(header));
    // The record and its extension must lie inside the data format; an extensible record is whole.
    const ULONG recordBytes = ULONG(sizeof(WAVEFORMATEX)) + header.cbSize;
    if (offset + recordBytes > size)
        return STATUS_INVALID_PARAMETER;
    if (header.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
        (header.cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX) ||
         offset + sizeof(WAVEFORMATEXTENSIBLE) > size))
        return STATUS_INVALID_PARAMETER;
    WAVEFORMATEXTENSIBLE format{};
    RtlCopyMemory(&format, bytes + offset, Min<ULONG>(recordBytes, sizeof(format)));
    if (!NT_SUCCESS(m_Engine->MatchFormat(&format)))
        return STATUS_INVALID_PARAMETER;
    *waveFormat = format;
    return STATUS_SUCCESS;
}

BOOLEAN CMiniportWaveCyclic::FindEngineFormat(USHORT channels, ULONG rate, USHORT validBits,
                                              const GUID &subFormat, WAVEFORMATEXTENSIBLE *found)
{
    const ULONG formats = m_Engine ? m_Engine->GetFormatCount() : 0;
    // The bits a range names are valid bits first, then, as the range's top is a container size, the
    // container (24-bit containers of 20 valid bits).
    for (const bool container : {false, true})
        for (ULONG i = 0; i < formats; ++i)
        {
            WAVEFORMATEXTENSIBLE format;
            if (NT_SUCCESS(m_Engine->GetFormat(i, &format)) && format.Format.nChannels == channels &&
                format.Format.nSamplesPerSec == rate &&
                (container ? format.Format.wBitsPerSample : ValidBitsOf(format)) == validBits &&
                SubFormatOf(format) == subFormat)
            {
                *found = format;
                return TRUE;
            }
        }
    return FALSE;
}

BOOLEAN CMiniportWaveCyclic::EngineListsSubFormat(const GUID &subFormat)
{
    const ULONG formats = m_Engine ? m_Engine->GetFormatCount() : 0;
    for (ULONG i = 0; i < formats; ++i)
    {
        WAVEFORMATEXTENSIBLE format;
        if (NT_SUCCESS(m_Engine->GetFormat(i, &format)) && SubFormatOf(format) == subFormat)
            return TRUE;
    }
    return FALSE;
}

NTSTATUS CMiniportWaveCyclic::DataRangeIntersection(ULONG pinId, PKSDATARANGE clientDataRange,
                                                    PKSDATARANGE myDataRange, ULONG outputBufferLength,
                                                    PVOID resultantFormat, PULONG resultantFormatLength)
{
    if (pinId != WAVE_PIN_STREAMING)
        return STATUS_NOT_IMPLEMENTED; // the bridge pin's analog range: the port's default
    // Arguments first, whatever the path: a client range shorter than its header, or nowhere to write.
    if (!clientDataRange || !myDataRange || !resultantFormatLength ||
        clientDataRange->FormatSize < sizeof(KSDATARANGE) || (!resultantFormat && outputBufferLength != 0))
        return STATUS_INVALID_PARAMETER;
    if (!(clientDataRange->MajorFormat == KSDATAFORMAT_TYPE_AUDIO) ||
        !EngineListsSubFormat(clientDataRange->SubFormat))
        return STATUS_NO_MATCH;
    const bool wildcard = clientDataRange->Specifier == KSDATAFORMAT_SPECIFIER_WILDCARD;
    if (!wildcard && clientDataRange->Specifier == KSDATAFORMAT_SPECIFIER_DSOUND)
        return STATUS_NOT_SUPPORTED;
    if (outputBufferLength == 0)
    {
        *resultantFormatLength = WAVE_INTERSECTION_BYTES;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (outputBufferLength < WAVE_INTERSECTION_BYTES)
        return STATUS_BUFFER_TOO_SMALL;
    if (myDataRange->FormatSize < sizeof(KSDATARANGE_AUDIO))
        return STATUS_NO_MATCH;
    const auto *mine = reinterpret_cast<const KSDATARANGE_AUDIO *>(myDataRange);

    KSDATAFORMAT header;
    USHORT channels;
    ULONG rate;
    USHORT bits;
    GUID subFormat;
    if (wildcard)
    {
        header = mine->DataRange;
        channels = USHORT(mine->MaximumChannels);
        rate = mine->MaximumSampleFrequency;
        bits = USHORT(mine->MaximumBitsPerSample);
        subFormat = KSDATAFORMAT_SUBTYPE_PCM;
    }
    else
    {
        if (clientDataRange->FormatSize < sizeof(KSDATARANGE_AUDIO))
            return STATUS_INVALID_PARAMETER;
        const auto *client = reinterpret_cast<const KSDATARANGE_AUDIO *>(clientDataRange);
        if (client->MaximumSampleFrequency < mine->MinimumSampleFrequency ||
            mine->MaximumSampleFrequency < client->MinimumSampleFrequency ||
            client->MaximumBitsPerSample < mine->MinimumBitsPerSample ||
            mine->MaximumBitsPerSample < client->MinimumBitsPerSample)
            return STATUS_NO_MATCH;
        header = client->DataRange;
        header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        channels = USHORT(Min(client->MaximumChannels, mine->MaximumChannels));
        rate = Min(client->MaximumSampleFrequency, mine->MaximumSampleFrequency);
        bits = USHORT(Min(client->MaximumBitsPerSample, mine->MaximumBitsPerSample));
        subFormat = client->DataRange.SubFormat;
    }
    // The answer is always one of the engine's own formats, copied whole.
    WAVEFORMATEXTENSIBLE format;
    if (!FindEngineFormat(channels, rate, bits, subFormat, &format))
        return STATUS_NO_MATCH;
    header.FormatSize = WAVE_INTERSECTION_BYTES;
    header.SampleSize = wildcard ? 0 : format.Format.nBlockAlign;
    auto *out = static_cast<PUCHAR>(resultantFormat);
    RtlCopyMemory(out, &header, sizeof(header));
    RtlCopyMemory(out + sizeof(header), &format, sizeof(format));
    *resultantFormatLength = WAVE_INTERSECTION_BYTES;
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveCyclic::NewStream(PMINIPORTWAVECYCLICSTREAM *stream, PUNKNOWN outerUnknown,
                                        POOL_TYPE poolType, ULONG pin, BOOLEAN capture,
                                        PKSDATAFORMAT dataFormat, PDMACHANNEL *dmaChannel,
                                        PSERVICEGROUP *serviceGroup)
{
    if (!stream || !dmaChannel || !serviceGroup)
        return STATUS_INVALID_PARAMETER;
    // Check and take in one step, so two callers can never both see "no stream".
    if (InterlockedCompareExchange(&m_OpenStreams, 1, 0) != 0)
        return STATUS_INSUFFICIENT_RESOURCES;
    KeClearEvent(&m_StreamClosed);
    WAVEFORMATEXTENSIBLE format;
    NTSTATUS status = ValidateFormat(dataFormat, &format);
    if (NT_SUCCESS(status))
        status = m_CreateStream(this, outerUnknown, poolType, pin, capture, dataFormat, &format, m_Engine,
                                stream, dmaChannel, serviceGroup);
    if (!NT_SUCCESS(status))
        StreamClosed();
    return status;
}

void CMiniportWaveCyclic::StreamClosed()
{
    if (InterlockedDecrement(&m_OpenStreams) == 0)
        KeSetEvent(&m_StreamClosed, 0, FALSE);
}

void CMiniportWaveCyclic::SetStreamCreator(PFN_CREATE_WAVE_STREAM create)
{
    m_CreateStream = create ? create : CreateWaveCyclicStream;
}

NTSTATUS CMiniportWaveCyclic::PrivatePropertyHandler(PPCPROPERTY_REQUEST request)
{
    if (!request || !request->MajorTarget || !request->PropertyItem)
        return STATUS_INVALID_PARAMETER;
    auto *self = static_cast<CMiniportWaveCyclic *>(static_cast<IMiniportWaveCyclic *>(request->MajorTarget));
    const ULONG id = request->PropertyItem->Id;
    if (id == WAVE_PROPERTY_STREAM_INFO && request->Verb == KSPROPERTY_TYPE_GET)
    {
        ULONG words[HAL_INFO_WORDS] = {};
        if (request->ValueSize < sizeof(words) || !request->Value)
            return STATUS_INVALID_DEVICE_REQUEST;
        if (!self->m_Hal)
            return STATUS_UNSUCCESSFUL;
        const NTSTATUS status = self->m_Hal->GetStreamInfo(self->m_EngineIndex, words);
        if (!NT_SUCCESS(status))
            return status;
        RtlCopyMemory(request->Value, words, sizeof(words));
        request->ValueSize = sizeof(words);
        return STATUS_SUCCESS;
    }
    if (id == WAVE_PROPERTY_FORMAT_SUPPORTED && request->Verb == KSPROPERTY_TYPE_SET)
    {
        WAVEFORMATEXTENSIBLE asked;
        if (request->ValueSize < sizeof(asked) || !request->Value)
            return STATUS_INVALID_PARAMETER;
        RtlCopyMemory(&asked, request->Value, sizeof(asked));
        WAVEFORMATEXTENSIBLE listed;
        return self->FindEngineFormat(asked.Format.nChannels, asked.Format.nSamplesPerSec,
                                      asked.Samples.wValidBitsPerSample, asked.SubFormat, &listed)
                   ? STATUS_SUCCESS
                   : STATUS_INVALID_PARAMETER;
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}
