// The topology miniport: entity lists, the filter description, the HAL's control-change callback.
#include "driver/filters/miniport_topology.h"

#include "driver/base/pool_memory.h"
#include "driver/filters/control_change.h"
#include "driver/filters/miniport_topology_tables.h"

#include <cstdio>

namespace
{

const GUID kTopologyCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY, KSCATEGORY_REALTIME};
const PKSDATARANGE kBridgeRanges[] = {const_cast<PKSDATARANGE>(&kAnalogBridgeRange)};
// The version from which the system knows the newer pin categories and names.
constexpr ULONG kNewerSystem = 0x06000000;
// Device-specific units that name their nodes through INamedValue (no creating class yet).
constexpr ULONG KIND_NAMED_VALUE = 24;
// A pin's name value: "<key word>_NN".
constexpr size_t kValueNameChars = 64;
// A unit's place in the connection walk.
constexpr UCHAR kUnitOnPath = 1;
constexpr UCHAR kUnitExpanded = 2;

template <class T> T *AllocArray(ULONG count)
{
    return static_cast<T *>(
        AllocPoolZeroed(ULONG((count ? count : 1) * sizeof(T)), PagedPool, PoolTag::TOPO));
}

} // namespace

NTSTATUS CreateMiniportTopology(PUNKNOWN *unknown, REFGUID, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                                PFN_SETTINGS_VALUE settings)
{
    return NewObject<CMiniportTopology>(unknown, outerUnknown, poolType, PoolTag::TOPO, settings);
}

CMiniportTopology::CMiniportTopology(PUNKNOWN outerUnknown, PFN_SETTINGS_VALUE settings)
    : CUnknownBase(outerUnknown), m_Settings(settings), m_Port(nullptr), m_PortEvents(nullptr),
      m_Hal(nullptr), m_Registration(nullptr), m_Name(nullptr), m_PowerState(PowerDeviceUnspecified),
      m_Terminals(nullptr), m_Units(nullptr), m_PinCount(0), m_NodeCount(0), m_ConnectionList(nullptr),
      m_ConnectionRoom(0), m_ConnectionCount(0), m_Visiting(nullptr), m_FilterDescriptor(nullptr),
      m_Pins(nullptr), m_Nodes(nullptr), m_Connections(nullptr), m_PinNames(nullptr), m_NodeNames(nullptr)
{
}

CMiniportTopology::~CMiniportTopology()
{
    FreeAll();
}

NTSTATUS CMiniportTopology::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    PUNKNOWN first = static_cast<IMiniportTopology *>(this);
    return AnswerInterface(iid, object, first,
                           {{IID_IMiniport, first},
                            {IID_IMiniportTopology, first},
                            {IID_IMiniportPrivate, static_cast<IMiniportPrivate *>(this)},
                            {IID_IPowerNotify, static_cast<IPowerNotify *>(this)}});
}

void CMiniportTopology::FreeAll()
{
    // The callback goes first: it reads the unit list.
    if (m_Registration && m_Hal)
        m_Hal->UnregisterCallback(m_Registration);
    m_Registration = nullptr;
    if (m_PortEvents)
        m_PortEvents->Release();
    m_PortEvents = nullptr;
    if (m_Port)
        m_Port->Release();
    m_Port = nullptr;
    for (PVOID *block : {reinterpret_cast<PVOID *>(&m_FilterDescriptor), reinterpret_cast<PVOID *>(&m_Pins),
                         reinterpret_cast<PVOID *>(&m_Nodes), reinterpret_cast<PVOID *>(&m_Connections),
                         reinterpret_cast<PVOID *>(&m_ConnectionList), reinterpret_cast<PVOID *>(&m_Visiting),
                         reinterpret_cast<PVOID *>(&m_PinNames), reinterpret_cast<PVOID *>(&m_NodeNames),
                         reinterpret_cast<PVOID *>(&m_Name)})
    {
        FreePool(*block);
        *block = nullptr;
    }
    m_ConnectionCount = m_ConnectionRoom = 0;
    for (TopologyEntity **list : {&m_Units, &m_Terminals})
    {
        const ULONG count = *list == m_Units ? m_NodeCount : m_PinCount;
        for (ULONG i = 0; *list && i < count; ++i)
            if ((*list)[i].Node)
                (*list)[i].Node->Release();
        FreePool(*list);
        *list = nullptr;
    }
    m_NodeCount = m_PinCount = 0;
    if (m_Hal)
        m_Hal->Release();
    m_Hal = nullptr;
}

NTSTATUS CMiniportTopology::Init(PUNKNOWN unknownAdapter, PRESOURCELIST, PPORT port)
{
    if (!port)
        return STATUS_INVALID_PARAMETER;
    if (m_Port)
        return STATUS_INVALID_DEVICE_REQUEST;
    m_Port = port;
    m_Port->AddRef();
    m_PowerState = PowerDeviceD0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    m_Hal = QueryAs<IAudioHal>(unknownAdapter, IID_IAudioHal);
    if (m_Hal)
        status = BuildLists();
    if (NT_SUCCESS(status))
        status = BuildTopologyDescriptor();
    if (NT_SUCCESS(status))
    {
        m_Name = static_cast<PWSTR>(AllocPoolZeroed(MINIPORT_NAME_BUFFER_BYTES, PagedPool, PoolTag::TOPO));
        static const WCHAR kName[] = {'G', 'l', 'o', 'b', 'a', 'l', 'T', 'o', 'p', 'o', 0};
        status = m_Name ? RtlStringCbCopyW(m_Name, 100, kName) : STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status))
    {
        m_PortEvents = QueryAs<IPortEvents>(port, IID_IPortEvents);
        if (!m_PortEvents)
            status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status))
        status = m_Hal->RegisterCallback(ControlChanged, this, &m_Registration);
    if (!NT_SUCCESS(status))
    {
        DbgPrint("CMiniportTopology::Init failed 0x%08X\n", unsigned(status));
        FreeAll();
    }
    return status;
}

NTSTATUS CMiniportTopology::BuildLists()
{
    const ULONG entities = m_Hal->GetFilterCount();
    m_Terminals = AllocArray<TopologyEntity>(entities);
    m_Units = AllocArray<TopologyEntity>(entities);
    if (!m_Terminals || !m_Units)
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG streaming = 0; // streaming terminals go in at the head, so the last one found comes first
    for (ULONG i = 0; i < entities; ++i)
    {
        IAudioNode *node = nullptr;
        if (!NT_SUCCESS(m_Hal->GetFilter(i, &node)) || !node)
            continue;
        const ULONG kind = node->GetKind();
        if (kind == NODE_KIND_CLOCK)
            continue;
        ITerminalInfo *terminal = nullptr;
        if (kind == NODE_KIND_INPUT_TERMINAL || kind == NODE_KIND_OUTPUT_TERMINAL)
            terminal = QueryAs<ITerminalInfo>(node, IID_ITerminalInfo);
        if (!terminal)
        {
            node->AddRef();
            m_Units[m_NodeCount++].Node = node;
            continue;
        }
        ULONG type = TERMINAL_DEFAULT_TYPE;
        terminal->GetSelectedType(&type);
        terminal->Release();
        node->AddRef();
        if (type == TERMINAL_TYPE_STREAMING)
        {
            for (ULONG j = m_PinCount; j > 0; --j)
                m_Terminals[j] = m_Terminals[j - 1];
            m_Terminals[0].Node = node;
            ++streaming;
        }
        else
            m_Terminals[m_PinCount].Node = node;
        ++m_PinCount;
    }
    for (ULONG i = 0; i < m_PinCount; ++i)
        m_Terminals[i].Index = i;
    for (ULONG i = 0; i < m_NodeCount; ++i)
        m_Units[i].Index = i;
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportTopology::BuildTopologyDescriptor()
{
    m_FilterDescriptor = AllocArray<PCFILTER_DESCRIPTOR>(1);
    if (!m_FilterDescriptor)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = BuildPins();
    if (NT_SUCCESS(status))
        status = BuildNodes();
    if (NT_SUCCESS(status))
        status = BuildConnections();
    if (!NT_SUCCESS(status))
        return status;
    PCFILTER_DESCRIPTOR &d = *m_FilterDescriptor;
    d.Version = 0;
    d.AutomationTable = &kTopologyFilterAutomation;
    d.PinSize = sizeof(PCPIN_DESCRIPTOR);
    d.PinCount = m_PinCount;
    d.Pins = m_Pins;
    d.NodeSize = sizeof(PCNODE_DESCRIPTOR);
    d.NodeCount = m_NodeCount;
    d.Nodes = m_Nodes;
    d.ConnectionCount = m_ConnectionCount;
    d.Connections = m_Connections;
    d.CategoryCount = ULONG(sizeof(kTopologyCategories) / sizeof(kTopologyCategories[0]));
    d.Categories = kTopologyCategories;
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportTopology::ReadPinName(ULONG pin, const char *keyWord, BOOLEAN plainToo, const GUID **name)
{
    if (!m_Settings)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    char narrow[kValueNameChars];
    std::snprintf(narrow, sizeof(narrow), "%s_%02u", keyWord, unsigned(pin));
    WCHAR value[kValueNameChars];
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    for (int attempt = 0; attempt < (plainToo ? 2 : 1) && !NT_SUCCESS(status); ++attempt)
    {
        const char *text = attempt == 0 ? narrow : keyWord;
        size_t i = 0;
        for (; text[i] && i + 1 < kValueNameChars; ++i)
            value[i] = WCHAR(UCHAR(text[i]));
        value[i] = 0;
        GUID read;
        status = m_Settings(m_Hal->GetDeviceObject(), NODE_SETTING_READ, &read, sizeof(read), value);
        if (NT_SUCCESS(status))
        {
            m_PinNames[pin] = read;
            *name = &m_PinNames[pin];
        }
    }
    return status;
}

NTSTATUS CMiniportTopology::BuildPins()
{
    m_Pins = AllocArray<PCPIN_DESCRIPTOR>(m_PinCount);
    m_PinNames = AllocArray<GUID>(m_PinCount);
    if (!m_Pins || !m_PinNames)
        return STATUS_INSUFFICIENT_RESOURCES;
    const bool newer = RtlIsNtDdiVersionAvailable(kNewerSystem);
    for (ULONG pin = 0; pin < m_PinCount; ++pin)
    {
        IAudioNode *node = m_Terminals[pin].Node;
        const bool output = node->GetKind() == NODE_KIND_OUTPUT_TERMINAL;
        ULONG type = TERMINAL_DEFAULT_TYPE;
        if (ITerminalInfo *terminal = QueryAs<ITerminalInfo>(node, IID_ITerminalInfo))
        {
            terminal->GetSelectedType(&type);
            terminal->Release();
        }
        const TopologyTerminalRow *row = FindTerminalRow(type);
        if (!row)
        {
            DbgPrint("CMiniportTopology::BuildPins terminal type %u of node %u\n", unsigned(type),
                     unsigned(node->GetId()));
            return STATUS_INVALID_PARAMETER;
        }
        KSPIN_DESCRIPTOR &ks = m_Pins[pin].KsPinDescriptor;
        ks.DataRangesCount = 1;
        ks.DataRanges = kBridgeRanges;
        ks.DataFlow = output ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
        ks.Communication = KSPIN_COMMUNICATION_NONE;
        ks.Category = newer || !row->OlderCategory ? row->Category : row->OlderCategory;
        const char *key = output ? row->OutKey : row->InKey;
        const GUID *name = output ? row->OutDefault : row->InDefault;
        if (newer && row->NewerName)
            name = row->NewerName;
        if (key)
        {
            // The S/PDIF output also answers to its plain value name, which older settings use.
            const BOOLEAN plainToo = type == TERMINAL_TYPE_SPDIF && output;
            const NTSTATUS read = ReadPinName(pin, key, plainToo, &name);
            if (read == STATUS_INSUFFICIENT_RESOURCES)
                return read;
        }
        ks.Name = name;
    }
    return STATUS_SUCCESS;
}

const GUID *CMiniportTopology::NodeName(ULONG node) const
{
    return m_Nodes && node < m_NodeCount ? m_Nodes[node].Name : nullptr;
}

NTSTATUS CMiniportTopology::BuildNodes()
{
    m_Nodes = AllocArray<PCNODE_DESCRIPTOR>(m_NodeCount);
    m_NodeNames = AllocArray<GUID>(m_NodeCount);
    if (!m_Nodes || !m_NodeNames)
        return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < m_NodeCount; ++i)
    {
        IAudioNode *unit = m_Units[i].Node;
        const ULONG kind = unit->GetKind();
        const TopologyKindRow *row = FindKindRow(kind, unit->GetSourceCount());
        if (!row)
        {
            DbgPrint("CMiniportTopology::BuildNodes unit kind %u of node %u\n", unsigned(kind),
                     unsigned(unit->GetId()));
            return STATUS_INVALID_PARAMETER;
        }
        m_Nodes[i].Type = row->Type;
        m_Nodes[i].AutomationTable = row->Table;
        m_Nodes[i].Name = row->Name;
        // Effect units name their nodes: an effect switch by the four words of its information
        // block, a named value through its own interface. A unit that cannot say leaves none.
        GUID name{};
        NTSTATUS named = STATUS_NOT_FOUND;
        if (kind == NODE_KIND_INFO)
            if (IInfoNode *info = QueryAs<IInfoNode>(unit, IID_IInfoNode))
            {
                static_assert(sizeof(ULONG) * INFO_NODE_WORDS == sizeof(GUID));
                ULONG words[INFO_NODE_WORDS] = {};
                named = info->GetWords(words);
                RtlCopyMemory(&name, words, sizeof(GUID));
                info->Release();
            }
        if (kind == KIND_NAMED_VALUE)
            if (INamedValue *value = QueryAs<INamedValue>(unit, IID_INamedValue))
            {
                named = value->GetName(&name);
                value->Release();
            }
        if (NT_SUCCESS(named))
        {
            m_NodeNames[i] = name;
            m_Nodes[i].Name = &m_NodeNames[i];
        }
    }
    return STATUS_SUCCESS;
}

BOOLEAN CMiniportTopology::FindUnit(ULONG id, PULONG node) const
{
    for (ULONG i = 0; i < m_NodeCount; ++i)
        if (m_Units[i].Node->GetId() == id)
        {
            *node = i;
            return TRUE;
        }
    return FALSE;
}

BOOLEAN CMiniportTopology::FindTerminal(ULONG id, PULONG pin) const
{
    for (ULONG i = 0; i < m_PinCount; ++i)
        if (m_Terminals[i].Node->GetId() == id)
        {
            *pin = i;
            return TRUE;
        }
    return FALSE;
}

NTSTATUS CMiniportTopology::AddConnection(ULONG fromNode, ULONG fromPin, ULONG toNode, ULONG toPin)
{
    for (ULONG i = 0; i < m_ConnectionCount; ++i)
    {
        const TopologyConnection &c = m_ConnectionList[i];
        if (c.FromNode == fromNode && c.FromPin == fromPin && c.ToNode == toNode && c.ToPin == toPin)
            return STATUS_SUCCESS; // first insertion keeps its place
    }
    if (m_ConnectionCount == m_ConnectionRoom)
    {
        const ULONG room = m_ConnectionRoom ? m_ConnectionRoom * 2 : 16;
        auto *grown = AllocArray<TopologyConnection>(room);
        if (!grown)
            return STATUS_INSUFFICIENT_RESOURCES;
        if (m_ConnectionList)
            RtlCopyMemory(grown, m_ConnectionList, m_ConnectionCount * sizeof(TopologyConnection));
        FreePool(m_ConnectionList);
        m_ConnectionList = grown;
        m_ConnectionRoom = room;
    }
    m_ConnectionList[m_ConnectionCount++] = {fromNode, fromPin, toNode, toPin};
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportTopology::ExpandUnit(ULONG node, ULONG depth)
{
    // A unit reached again through another path has every connection behind it recorded already;
    // walking it again would add nothing and, over shared sources, take exponential time.
    if (m_Visiting[node] == kUnitExpanded)
        return STATUS_SUCCESS;
    // Sources come from the device: a unit met again on the same path is a loop, not a topology.
    if (m_Visiting[node] == kUnitOnPath || depth > m_NodeCount)
    {
        DbgPrint("CMiniportTopology::BuildConnections loop through unit %u\n",
                 unsigned(m_Units[node].Node->GetId()));
        return STATUS_UNSUCCESSFUL;
    }
    IAudioNode *unit = m_Units[node].Node;
    ULONG count = unit->GetSourceCount();
    if (count == 0)
    {
        ULONG pin = 0;
        if (FindTerminal(unit->GetId(), &pin))
            return AddConnection(PCFILTER_NODE, pin, node, 1);
        DbgPrint("CMiniportTopology::BuildConnections unit %u has no input\n", unsigned(unit->GetId()));
        return STATUS_SUCCESS;
    }
    ULONG *sources = AllocArray<ULONG>(count);
    if (!sources)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = unit->GetSources(&count, sources);
    m_Visiting[node] = kUnitOnPath;
    for (ULONG i = 0; NT_SUCCESS(status) && i < count; ++i)
    {
        ULONG from = 0;
        if (FindUnit(sources[i], &from))
        {
            status = ExpandUnit(from, depth + 1);
            if (NT_SUCCESS(status))
                status = AddConnection(from, 0, node, i + 1);
        }
        else if (FindTerminal(sources[i], &from))
            status = AddConnection(PCFILTER_NODE, from, node, i + 1);
        else
        {
            DbgPrint("CMiniportTopology::BuildConnections unknown source %u\n", unsigned(sources[i]));
            status = STATUS_UNSUCCESSFUL;
        }
    }
    m_Visiting[node] = NT_SUCCESS(status) ? kUnitExpanded : 0;
    FreePool(sources);
    return status;
}

NTSTATUS CMiniportTopology::BuildConnections()
{
    m_Visiting = AllocArray<UCHAR>(m_NodeCount);
    if (!m_Visiting)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG pin = 0; NT_SUCCESS(status) && pin < m_PinCount; ++pin)
    {
        IAudioNode *terminal = m_Terminals[pin].Node;
        if (terminal->GetKind() != NODE_KIND_OUTPUT_TERMINAL || terminal->GetSourceCount() == 0)
            continue;
        ULONG count = 1;
        ULONG source = 0;
        status = terminal->GetSources(&count, &source);
        if (!NT_SUCCESS(status) || count == 0)
            continue;
        ULONG from = 0;
        if (FindUnit(source, &from))
        {
            status = ExpandUnit(from, 1);
            if (NT_SUCCESS(status))
                status = AddConnection(from, 0, PCFILTER_NODE, pin);
        }
        else if (FindTerminal(source, &from))
            status = AddConnection(PCFILTER_NODE, from, PCFILTER_NODE, pin);
        else
        {
            DbgPrint("CMiniportTopology::BuildConnections unknown source %u\n", unsigned(source));
            status = STATUS_UNSUCCESSFUL;
        }
    }
    if (!NT_SUCCESS(status))
        return status;
    m_Connections = AllocArray<PCCONNECTION_DESCRIPTOR>(m_ConnectionCount);
    if (!m_Connections)
        return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < m_ConnectionCount; ++i)
    {
        const TopologyConnection &c = m_ConnectionList[i];
        m_Connections[i] = {c.FromNode, c.FromPin, c.ToNode, c.ToPin};
    }
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportTopology::GetDescription(PPCFILTER_DESCRIPTOR *description)
{
    if (!description)
        return STATUS_INVALID_PARAMETER;
    if (!m_FilterDescriptor || !m_Name)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    *description = m_FilterDescriptor;
    return STATUS_SUCCESS;
}

void CMiniportTopology::PowerChangeNotify(POWER_STATE powerState)
{
    TakePowerState(&m_PowerState, powerState);
}

NTSTATUS CMiniportTopology::QueryTerminal(ULONG terminalId, PULONG pin)
{
    if (!pin)
        return STATUS_INVALID_PARAMETER;
    ULONG found = 0;
    if (m_PinCount == 0 || !FindTerminal(terminalId, &found))
        return STATUS_UNSUCCESSFUL;
    *pin = found;
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportTopology::GetName(PWSTR *name)
{
    if (!name)
        return STATUS_INVALID_PARAMETER;
    if (!m_Name)
        return STATUS_UNSUCCESSFUL;
    *name = m_Name;
    return STATUS_SUCCESS;
}

BOOLEAN CMiniportTopology::ResolveNode(PVOID context, ULONG nodeId, PULONG nodeIndex)
{
    return static_cast<CMiniportTopology *>(context)->FindUnit(nodeId, nodeIndex);
}

VOID CMiniportTopology::ControlChanged(PVOID context, PVOID argument1, PVOID)
{
    auto *self = static_cast<CMiniportTopology *>(context);
    if (!self || !argument1 || !self->m_PortEvents)
        return;
    // Other messages and identifiers no unit has are ignored.
    RaiseControlChange(self->m_PortEvents, static_cast<const ControlChangeMessage *>(argument1), ResolveNode,
                       self);
}
