#include "driver/filters/audio_hal.h"

#include "driver/base/pool_memory.h"
#include "driver/base/wide_string.h"

namespace
{

constexpr WideText kHalCallbackName("\\Callback\\AudioHalAddr%p");

// A selector links at most this many sources; a longer source list is not a selector's.
constexpr ULONG kMaxSelectorSources = 10;

// FindFilter's index starts with this many identifiers and doubles; an identifier is indexed only
// while it is below twice the node count plus this, so the index stays proportional to the nodes
// whatever identifiers a caller picks.
constexpr ULONG kFirstIndexSize = 64;

} // namespace

// ---- CAudioHal ----------------------------------------------------------------------------------------

CAudioHal::CAudioHal(PUNKNOWN outerUnknown)
    : CUnknownBase(outerUnknown), m_DeviceObject(nullptr), m_Value2(nullptr), m_Value3(nullptr),
      m_PowerState(PowerDeviceUnspecified), m_CallbackObject(nullptr), m_Nodes(nullptr), m_Engines(nullptr),
      m_ById(nullptr), m_IndexSize(0), m_StreamInfo{}
{
}

CAudioHal::~CAudioHal()
{
    FreeLists();
    ReleaseNamedCallback(&m_CallbackObject);
}

NTSTATUS CAudioHal::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerInterface(iid, object, static_cast<IAudioHal *>(this),
                           {{IID_IAudioHal, static_cast<IAudioHal *>(this)},
                            {IID_IAdapterPowerManagement, static_cast<IAdapterPowerManagement *>(this)}});
}

void CAudioHal::FreeLists()
{
    CItemList::ReleaseAllAndDestroy<IUnknown>(m_Nodes);
    m_Nodes = nullptr;
    CItemList::ReleaseAllAndDestroy<IUnknown>(m_Engines);
    m_Engines = nullptr;
    FreePool(m_ById);
    m_ById = nullptr;
    m_IndexSize = 0;
}

NTSTATUS CAudioHal::Init(PVOID, PDEVICE_OBJECT deviceObject, PVOID value2, PVOID value3)
{
    if (m_Nodes || m_Engines || m_CallbackObject)
        return STATUS_UNSUCCESSFUL;

    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    PWSTR name = nullptr;
    m_Nodes = CItemList::Create(NonPagedPool, PoolTag::HALB);
    m_Engines = m_Nodes ? CItemList::Create(NonPagedPool, PoolTag::HALB) : nullptr;
    if (m_Engines)
        name = static_cast<PWSTR>(AllocPoolZeroed(HAL_NAME_BUFFER_BYTES, PagedPool, PoolTag::Temp));
    if (name)
        status = CreateNamedCallback(&m_CallbackObject, kHalCallbackName, this, name, HAL_NAME_BYTES);
    if (NT_SUCCESS(status))
    {
        m_DeviceObject = deviceObject;
        m_Value2 = value2;
        m_Value3 = value3;
        m_PowerState = PowerDeviceD0;
        status = StartHardware();
        if (NT_SUCCESS(status))
            status = ConnectAll();
    }
    FreePool(name);
    if (!NT_SUCCESS(status))
    {
        // Whatever StartHardware added goes with the lists; the HAL is as it was before the call.
        FreeLists();
        ReleaseNamedCallback(&m_CallbackObject);
        m_DeviceObject = nullptr;
        m_Value2 = m_Value3 = nullptr;
        m_PowerState = PowerDeviceUnspecified;
    }
    return status;
}

NTSTATUS CAudioHal::GetStreamInfo(ULONG, PULONG words)
{
    if (!words)
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(words, m_StreamInfo, sizeof(m_StreamInfo));
    return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::GetTerminalCapabilities(ULONG direction, ULONG, PULONG words)
{
    return GetStreamInfo(direction, words);
}

NTSTATUS CAudioHal::GetComponentId(PVOID, PVOID)
{
    return STATUS_INVALID_DEVICE_REQUEST;
}

ULONG CAudioHal::GetEngineCount()
{
    return CItemList::CountOf(m_Engines);
}

NTSTATUS CAudioHal::GetEngine(ULONG index, IStreamEngine **engine)
{
    return CItemList::ItemOf(m_Engines, index, engine);
}

ULONG CAudioHal::GetFilterCount()
{
    return CItemList::CountOf(m_Nodes);
}

NTSTATUS CAudioHal::GetFilter(ULONG index, IAudioNode **node)
{
    return CItemList::ItemOf(m_Nodes, index, node);
}

NTSTATUS CAudioHal::AddFilter(IAudioNode *node)
{
    if (!node)
        return STATUS_INVALID_PARAMETER;
    if (!m_Nodes)
        return STATUS_UNSUCCESSFUL;
    const ULONG id = node->GetId();
    if (!IndexCovering(id))
        return STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS status = CItemList::AppendReferenced(m_Nodes, node);
    if (NT_SUCCESS(status) && id < m_IndexSize)
        m_ById[id] = node; // the last node with the identifier now
    return status;
}

BOOLEAN CAudioHal::IndexCovering(ULONG id)
{
    const ULONG count = GetFilterCount();
    if (id < m_IndexSize || id >= 2 * count + kFirstIndexSize)
        return TRUE;
    ULONG size = m_IndexSize ? 2 * m_IndexSize : kFirstIndexSize;
    while (size <= id)
        size *= 2;
    auto *index =
        static_cast<IAudioNode **>(AllocPoolZeroed(size * sizeof(IAudioNode *), NonPagedPool, PoolTag::HALB));
    if (!index)
        return FALSE;
    IAudioNode *item = nullptr;
    CItemList::PNODE cursor = m_Nodes->FirstNode();
    while (m_Nodes->NextItem(&cursor, &item))
        if (item && item->GetId() < size)
            index[item->GetId()] = item; // a later node with the same identifier overwrites
    FreePool(m_ById);
    m_ById = index;
    m_IndexSize = size;
    return TRUE;
}

NTSTATUS CAudioHal::AddEngine(IStreamEngine *engine)
{
    return CItemList::AppendReferenced(m_Engines, engine);
}

NTSTATUS CAudioHal::FindFilter(ULONG id, IAudioNode **node)
{
    if (!node)
        return STATUS_INVALID_PARAMETER;
    *node = nullptr;
    if (!m_Nodes)
        return STATUS_UNSUCCESSFUL;
    if (id < m_IndexSize)
        *node = m_ById[id];
    else
    {
        IAudioNode *item = nullptr;
        CItemList::PNODE cursor = m_Nodes->FirstNode();
        while (m_Nodes->NextItem(&cursor, &item))
            if (item && item->GetId() == id)
                *node = item; // the last match wins
    }
    return *node ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CAudioHal::CallEachNode(NTSTATUS (IAudioNode::*operation)(), BOOLEAN stopAtFailure)
{
    IAudioNode *item = nullptr;
    CItemList::PNODE cursor = m_Nodes ? m_Nodes->FirstNode() : nullptr;
    while (m_Nodes && m_Nodes->NextItem(&cursor, &item))
    {
        const NTSTATUS status = item ? (item->*operation)() : STATUS_SUCCESS;
        if (stopAtFailure && !NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::RestoreFilters()
{
    if (!m_Nodes)
        return STATUS_UNSUCCESSFUL;
    return CallEachNode(&IAudioNode::ApplyAll, TRUE);
}

NTSTATUS CAudioHal::StartAll()
{
    CallEachNode(&IAudioNode::StartNode, FALSE);
    return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::StopAll()
{
    CallEachNode(&IAudioNode::StopNode, FALSE);
    return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID *registration)
{
    return RegisterOnNamedCallback(m_CallbackObject, function, context, registration);
}

NTSTATUS CAudioHal::UnregisterCallback(PVOID registration)
{
    return UnregisterFromNamedCallback(registration);
}

// ---- ConnectAll ---------------------------------------------------------------------------------------

NTSTATUS CAudioHal::ConnectAll()
{
    if (!m_Nodes || !m_Engines)
        return STATUS_UNSUCCESSFUL;
    const NTSTATUS status = LinkSelectors();
    if (!NT_SUCCESS(status))
        return status;
    BindEngines();
    return RestoreFilters();
}

NTSTATUS CAudioHal::LinkSelectors()
{
    const ULONG capacity = GetFilterCount();
    IAudioNode **chain = nullptr; // the nodes of one child chain, allocated when a selector is met
    IAudioNode *node = nullptr;
    CItemList::PNODE cursor = m_Nodes->FirstNode();
    while (m_Nodes->NextItem(&cursor, &node))
    {
        if (!node || node->GetKind() != NODE_KIND_SELECTOR || node->GetSourceCount() > kMaxSelectorSources)
            continue;
        INodeConnect *connect = QueryAs<INodeConnect>(node, IID_INodeConnect);
        if (!connect)
            continue;
        if (!chain)
        {
            chain = static_cast<IAudioNode **>(
                AllocPoolZeroed(capacity * sizeof(IAudioNode *), PagedPool, PoolTag::HALB));
            if (!chain)
            {
                connect->Release();
                return STATUS_INSUFFICIENT_RESOURCES;
            }
        }
        ULONG sources[kMaxSelectorSources] = {};
        ULONG count = kMaxSelectorSources;
        ULONG selected = 0;
        if (NT_SUCCESS(node->GetSources(&count, sources)) && NT_SUCCESS(connect->GetSelected(&selected)))
            for (ULONG position = 1; position <= count; ++position)
                LinkSource(node, position, selected, sources[position - 1], chain, capacity);
        connect->Release();
    }
    FreePool(chain);
    return STATUS_SUCCESS;
}

void CAudioHal::LinkSource(IAudioNode *selector, ULONG position, ULONG selected, ULONG sourceId,
                           IAudioNode **chain, ULONG capacity)
{
    IAudioNode *node = nullptr;
    if (!NT_SUCCESS(FindFilter(sourceId, &node)))
        return;
    // Follow the output terminals down to their children. The chain is the visited set: a node met
    // again ends the walk as a missing one does, so a cyclic graph cannot run away.
    ULONG length = 0;
    chain[length++] = node;
    while (node->GetKind() == NODE_KIND_OUTPUT_TERMINAL && length < capacity)
    {
        INodeChild *child = QueryAs<INodeChild>(node, IID_INodeChild);
        if (!child)
            break;
        ULONG childId = 0;
        const NTSTATUS status = child->GetChildId(&childId);
        child->Release();
        IAudioNode *next = nullptr;
        if (!NT_SUCCESS(status) || !NT_SUCCESS(FindFilter(childId, &next)))
            break;
        BOOLEAN seen = FALSE;
        for (ULONG i = 0; i < length && !seen; ++i)
            seen = chain[i] == next;
        if (seen)
            break;
        chain[length++] = next;
        node = next;
    }
    // Each child takes the selector's link after everything below it has, deepest first.
    for (ULONG i = length - 1; i >= 1; --i)
    {
        INodeChild *child = QueryAs<INodeChild>(chain[i], IID_INodeChild);
        if (child)
        {
            child->Link(selector, position, selected);
            child->Release();
        }
    }
}

void CAudioHal::BindEngines()
{
    const ULONG engines = GetEngineCount();
    for (ULONG e = 0; e < engines; ++e)
    {
        IStreamEngine *engine = nullptr;
        if (!NT_SUCCESS(GetEngine(e, &engine)) || !engine)
            continue;
        const ULONG engineId = engine->GetEngineId();
        const ULONG nodes = engine->GetNodeCount();
        for (ULONG n = 0; n < nodes; ++n)
        {
            IAudioNode *node = nullptr;
            if (!NT_SUCCESS(engine->GetNode(n, &node)) || !node)
                continue;
            if (engineId == 1)
            {
                if (auto *input = QueryAs<IEngineInputBind>(node, IID_IEngineInputBind))
                {
                    input->BindEngine(engine);
                    input->Release();
                }
                else if (auto *output = QueryAs<IEngineOutputBind>(node, IID_IEngineOutputBind))
                {
                    output->BindEngine(engine);
                    output->Release();
                }
            }
            else if (engineId == 0)
            {
                if (auto *reset = QueryAs<IEngineReset>(node, IID_IEngineReset))
                {
                    reset->Reset(0);
                    reset->Release();
                }
            }
        }
    }
}

// ---- IAdapterPowerManagement --------------------------------------------------------------------------

void CAudioHal::PowerChangeState(POWER_STATE newState)
{
    const DEVICE_POWER_STATE state = newState.DeviceState;
    if (state == m_PowerState)
        return;
    switch (state)
    {
    case PowerDeviceD0:
        RestoreFilters(); // the device lost its settings while powered down
        m_PowerState = state;
        break;
    case PowerDeviceD1:
    case PowerDeviceD2:
    case PowerDeviceD3:
        m_PowerState = state;
        break;
    default:
        break;
    }
}

NTSTATUS CAudioHal::QueryDeviceCapabilities(PPC_DEVICE_CAPABILITIES capabilities)
{
    if (!capabilities)
        return STATUS_INVALID_PARAMETER;
    capabilities->Flags |= PC_CAPS_SURPRISE_REMOVAL_OK; // a USB device may go at any time
    return STATUS_SUCCESS;
}
