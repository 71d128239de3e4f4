#include "driver/filters/stream_engine.h"

#include "driver/base/named_callback.h"
#include "driver/base/pool_memory.h"
#include "driver/base/scope_guard.h"
#include "driver/base/wide_string.h"

namespace
{

constexpr WideText kEngineCallbackName("\\Callback\\StreamEngineAddr%p");
constexpr WideText kNameFormat("%s");

// Two-channel formats replace the full list while a render endpoint drives one of these terminals.
bool IsTwoChannelTerminal(ULONG type)
{
    return type == TERMINAL_TYPE_HEADPHONE || type == TERMINAL_TYPE_SPDIF || type == TERMINAL_TYPE_HEADSET ||
           type == TERMINAL_TYPE_FRONT_HEADPHONE;
}

template <class I> void ReleaseAndClear(I **object)
{
    if (*object)
    {
        (*object)->Release();
        *object = nullptr;
    }
}

CItemList::PNODE FindNode(const CItemList *list, PVOID item)
{
    if (!list)
        return nullptr;
    for (CItemList::PNODE node = list->FirstNode(); node; node = node->Next)
        if (node->Item == item)
            return node;
    return nullptr;
}

CItemList::PNODE FindClientNode(const CItemList *list, PVOID clientHandle)
{
    if (!list)
        return nullptr;
    for (CItemList::PNODE node = list->FirstNode(); node; node = node->Next)
    {
        auto *record = static_cast<StreamClientRecord *>(node->Item);
        if (record && record->ClientHandle == clientHandle)
            return node;
    }
    return nullptr;
}

// Under `lock`: the record of `clientHandle` in `list` (null when absent), unlinked from the list
// when `take`.
StreamClientRecord *LockedClientRecord(KSPIN_LOCK *lock, CItemList *list, PVOID clientHandle, bool take)
{
    KIRQL old;
    KeAcquireSpinLock(lock, &old);
    CItemList::PNODE node = FindClientNode(list, clientHandle);
    StreamClientRecord *record = nullptr;
    if (node)
    {
        record = static_cast<StreamClientRecord *>(node->Item);
        if (take)
            list->RemoveNode(node);
    }
    KeReleaseSpinLock(lock, old);
    return record;
}

void FreeRecords(CItemList *list)
{
    if (!list)
        return;
    PVOID record = nullptr;
    while (list->RemoveHead(&record))
        FreePool(record);
    CItemList::Destroy(list);
}

} // namespace

CStreamEngine::CStreamEngine(PUNKNOWN outerUnknown, ULONG value)
    : CUnknownBase(outerUnknown), m_Value(value), m_EngineId(0), m_NameBuffer(nullptr),
      m_WavePort(nullptr), m_PortClassId{}, m_CreateMiniport(nullptr), m_TopologyPort(nullptr),
      m_TopologyPrivate(nullptr), m_TopologyPin(0), m_ProcessingNodes(nullptr), m_AttachedNodes(nullptr),
      m_Formats(nullptr), m_RegisteredClients(nullptr), m_OpenedClients(nullptr), m_RunningClients(nullptr),
      m_Stage1(nullptr), m_Stage2(nullptr), m_TwoChannelFormats(nullptr), m_Scratch(nullptr),
      m_ChannelBuffers(nullptr), m_StreamLock(), m_SpinLock(0),
      m_CallbackObject(nullptr), m_CurrentWaveFormat{}, m_LoggedFormat{}, m_FormatLogged(FALSE),
      m_BlockSizeLogged(FALSE), m_AbsenceLogged(nullptr)
{
    // Destruction takes the lock even when Initialize never ran.
    KeInitializeSpinLock(&m_SpinLock);
}

void CStreamEngine::WaitUntilEmpty(CItemList *list, const char *name)
{
    if (!list)
        return;
    // Polled without an upper bound: the records belong to the clients, which remove them; going on
    // would free what a client's ProcessBlock still uses.
    constexpr LONGLONG kPoll = -500000; // 50 ms, relative
    constexpr ULONG kPollsBeforeReport = 20;
    ULONG polls = 0;
    while (!list->IsEmpty())
    {
        if (++polls == kPollsBeforeReport + 1)
            DbgPrint("~CStreamEngine still waiting for the %s client list (%d records)\n", name,
                     int(list->Count()));
        LARGE_INTEGER interval;
        interval.QuadPart = kPoll;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
}

CStreamEngine::~CStreamEngine()
{
    // Clients first: their blocks use the buffers freed below.
    WaitUntilEmpty(m_RunningClients, "running");
    WaitUntilEmpty(m_OpenedClients, "opened");
    WaitUntilEmpty(m_RegisteredClients, "registered");

    CItemList::ReleaseAllAndDestroy<IProcessingNode>(m_ProcessingNodes);
    m_ProcessingNodes = nullptr;
    FreePool(m_Scratch);
    m_Scratch = nullptr;
    if (m_ChannelBuffers)
    {
        for (ULONG channel = 0; channel < ENGINE_MAX_CHANNELS; ++channel)
            FreePool(m_ChannelBuffers[channel]);
        FreePool(m_ChannelBuffers);
        m_ChannelBuffers = nullptr;
    }
    CItemList::ReleaseAllAndDestroy<IAudioNode>(m_AttachedNodes);
    m_AttachedNodes = nullptr;
    FreeRecords(m_Formats);
    m_Formats = nullptr;
    FreeRecords(m_TwoChannelFormats);
    m_TwoChannelFormats = nullptr;
    CItemList::Destroy(m_RunningClients);
    m_RunningClients = nullptr;
    CItemList::Destroy(m_OpenedClients);
    m_OpenedClients = nullptr;
    CItemList::Destroy(m_RegisteredClients);
    m_RegisteredClients = nullptr;
    ClearStage(1);
    ClearStage(2);
    CItemList::Destroy(m_Stage1);
    m_Stage1 = nullptr;
    CItemList::Destroy(m_Stage2);
    m_Stage2 = nullptr;
    FreePool(m_NameBuffer);
    m_NameBuffer = nullptr;
    ReleaseNamedCallback(&m_CallbackObject);
    ReleaseAndClear(&m_WavePort);
    m_TopologyPrivate = nullptr;
    ReleaseAndClear(&m_TopologyPort);
}

NTSTATUS CStreamEngine::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerInterface(iid, object, static_cast<IStreamEngine *>(this),
                           {{IID_IStreamEngine, static_cast<IStreamEngine *>(this)}});
}

// ---- Initialisation ----------------------------------------------------------------------------------

// The nine lists, in the order Initialize creates them.
CItemList *CStreamEngine::*const CStreamEngine::s_Lists[ENGINE_LIST_COUNT] = {
    &CStreamEngine::m_ProcessingNodes,
    &CStreamEngine::m_AttachedNodes,
    &CStreamEngine::m_Formats,
    &CStreamEngine::m_TwoChannelFormats,
    &CStreamEngine::m_RegisteredClients,
    &CStreamEngine::m_OpenedClients,
    &CStreamEngine::m_RunningClients,
    &CStreamEngine::m_Stage1,
    &CStreamEngine::m_Stage2,
};

void CStreamEngine::FreeLists()
{
    for (ULONG i = ENGINE_LIST_COUNT; i-- > 0;)
    {
        CItemList::Destroy(this->*s_Lists[i]);
        this->*s_Lists[i] = nullptr;
    }
}

NTSTATUS CStreamEngine::Initialize(ULONG engineId)
{
    if (m_ProcessingNodes || m_NameBuffer || m_CallbackObject)
        return STATUS_UNSUCCESSFUL;
    m_EngineId = engineId;

    // Any failure below leaves the engine as it was: no list, no name buffer, no callback object.
    CScopeGuard undo(
        [this]
        {
            ReleaseNamedCallback(&m_CallbackObject);
            FreePool(m_NameBuffer);
            m_NameBuffer = nullptr;
            FreeLists();
        });
    for (CItemList *CStreamEngine::*list : s_Lists)
        if (!(this->*list = CItemList::Create(NonPagedPool, PoolTag::Stre)))
            return STATUS_INSUFFICIENT_RESOURCES;
    m_NameBuffer = static_cast<PWSTR>(AllocPoolZeroed(ENGINE_NAME_BUFFER_BYTES, PagedPool, PoolTag::Stre));
    if (!m_NameBuffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    WCHAR callbackName[ENGINE_CALLBACK_NAME_BYTES / sizeof(WCHAR)];
    const NTSTATUS status =
        CreateNamedCallback(&m_CallbackObject, kEngineCallbackName, this, callbackName, sizeof(callbackName));
    if (!NT_SUCCESS(status))
        return status;
    KeInitializeSpinLock(&m_SpinLock);
    undo.Dismiss();
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::PrepareBuffers()
{
    if (m_Scratch && m_ChannelBuffers)
        return STATUS_SUCCESS;
    // All or nothing: a half set would leave a block to run on missing buffers.
    auto *scratch = static_cast<float *>(AllocPoolZeroed(ENGINE_SCRATCH_BYTES, NonPagedPool, PoolTag::Stre));
    auto **table = static_cast<float **>(
        AllocPoolZeroed(ULONG(ENGINE_MAX_CHANNELS * sizeof(float *)), NonPagedPool, PoolTag::Stre));
    bool complete = scratch && table;
    for (ULONG channel = 0; complete && channel < ENGINE_MAX_CHANNELS; ++channel)
    {
        table[channel] =
            static_cast<float *>(AllocPoolZeroed(ENGINE_CHANNEL_BYTES, NonPagedPool, PoolTag::Stre));
        complete = table[channel] != nullptr;
    }
    if (!complete)
    {
        if (table)
            for (ULONG channel = 0; channel < ENGINE_MAX_CHANNELS; ++channel)
                FreePool(table[channel]);
        FreePool(table);
        FreePool(scratch);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_Scratch = scratch;
    m_ChannelBuffers = table;
    return STATUS_SUCCESS;
}

// ---- Names, formats, nodes ----------------------------------------------------------------------

NTSTATUS CStreamEngine::SetName(PCWSTR name)
{
    if (!name)
        return STATUS_INVALID_PARAMETER;
    ULONG length = 0;
    while (name[length] && length <= ENGINE_NAME_BYTES / sizeof(WCHAR))
        ++length;
    if (length * sizeof(WCHAR) > ENGINE_NAME_BYTES)
        return STATUS_INVALID_PARAMETER;
    if (!m_NameBuffer)
        return STATUS_UNSUCCESSFUL;
    // A 50-character name does not fit with its terminator: it is kept cut to 49 characters.
    const NTSTATUS status = RtlStringCbPrintfW(m_NameBuffer, ENGINE_NAME_BYTES, kNameFormat, name);
    return status == STATUS_BUFFER_OVERFLOW ? STATUS_SUCCESS : status;
}

NTSTATUS CStreamEngine::GetName(PWSTR name)
{
    if (!name)
        return STATUS_INVALID_PARAMETER;
    if (!m_NameBuffer)
        return STATUS_UNSUCCESSFUL;
    return RtlStringCbPrintfW(name, ENGINE_NAME_BYTES, kNameFormat, m_NameBuffer);
}

CItemList *CStreamEngine::CurrentFormatList()
{
    if (m_EngineId == 0 && IsTwoChannelTerminal(GetTerminalType()))
        return m_TwoChannelFormats;
    return m_Formats;
}

ULONG CStreamEngine::GetFormatCount()
{
    return CItemList::CountOf(CurrentFormatList());
}

NTSTATUS CStreamEngine::GetFormat(ULONG index, WAVEFORMATEXTENSIBLE *format)
{
    if (!format)
        return STATUS_INVALID_PARAMETER;
    CItemList *list = CurrentFormatList();
    if (!list)
        return STATUS_UNSUCCESSFUL;
    if (index >= ULONG(list->Count()))
        return STATUS_INVALID_PARAMETER;
    WAVEFORMATEXTENSIBLE *record = nullptr;
    if (!list->ItemAt(LONG(index), &record) || !record)
        return STATUS_UNSUCCESSFUL;
    RtlCopyMemory(format, record, sizeof(*format));
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::AddFormat(const WAVEFORMATEXTENSIBLE &format)
{
    if (!m_Formats || !m_TwoChannelFormats)
        return STATUS_UNSUCCESSFUL;
    const bool twoChannel = format.Format.nChannels == 2;
    auto *record = static_cast<WAVEFORMATEXTENSIBLE *>(
        AllocPoolZeroed(sizeof(WAVEFORMATEXTENSIBLE), NonPagedPool, PoolTag::Stre));
    auto *copy = twoChannel ? static_cast<WAVEFORMATEXTENSIBLE *>(
                                  AllocPoolZeroed(sizeof(WAVEFORMATEXTENSIBLE), NonPagedPool, PoolTag::Stre))
                            : nullptr;
    CItemList::PNODE node = nullptr;
    // Both lists gain the format or neither does.
    CScopeGuard undo(
        [&]
        {
            if (node)
                m_Formats->RemoveNode(node);
            FreePool(record);
            FreePool(copy);
        });
    if (!record || (twoChannel && !copy))
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(record, &format, sizeof(format));
    node = m_Formats->InsertTail(record);
    if (!node)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (copy)
    {
        RtlCopyMemory(copy, &format, sizeof(format));
        if (!m_TwoChannelFormats->InsertTail(copy))
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    undo.Dismiss();
    return STATUS_SUCCESS;
}

ULONG CStreamEngine::RemoveFormat(PFN_MATCH_FORMAT match, PVOID context)
{
    ULONG removed = 0;
    for (CItemList *list : {m_Formats, m_TwoChannelFormats})
    {
        CItemList::PNODE node = list && match ? list->FirstNode() : nullptr;
        while (node)
        {
            CItemList::PNODE next = node->Next;
            auto *record = static_cast<WAVEFORMATEXTENSIBLE *>(node->Item);
            if (record && match(*record, context))
            {
                list->RemoveNode(node);
                FreePool(record);
                removed += list == m_Formats ? 1 : 0;
            }
            node = next;
        }
    }
    return removed;
}

NTSTATUS CStreamEngine::MatchFormat(WAVEFORMATEXTENSIBLE *format)
{
    if (!format)
        return STATUS_INVALID_PARAMETER;
    if (!m_Formats)
        return STATUS_NO_MATCH;
    const USHORT tag = format->Format.wFormatTag;
    // The header and cbSize bytes of extension, never past the 40-byte record.
    ULONG compared = ULONG(sizeof(WAVEFORMATEX)) + format->Format.cbSize;
    if (compared > sizeof(WAVEFORMATEXTENSIBLE))
        compared = sizeof(WAVEFORMATEXTENSIBLE);
    for (CItemList::PNODE node = m_Formats->FirstNode(); node; node = node->Next)
    {
        const auto *stored = static_cast<const WAVEFORMATEXTENSIBLE *>(node->Item);
        if (!stored)
            continue;
        if (tag == WAVE_FORMAT_EXTENSIBLE)
        {
            if (RtlCompareMemory(stored, format, compared) == compared)
                return STATUS_SUCCESS;
            continue;
        }
        // A plain tag is matched against the stored sub-format, never the stored tag: the records
        // come from the device's descriptors and name their sample type there.
        if (stored->Format.nChannels == format->Format.nChannels &&
            stored->Format.nSamplesPerSec == format->Format.nSamplesPerSec &&
            stored->Format.wBitsPerSample == format->Format.wBitsPerSample &&
            USHORT(stored->SubFormat.Data1 & 0xFFFF) == tag)
        {
            RtlCopyMemory(&format->Format, &stored->Format, sizeof(WAVEFORMATEX));
            format->Format.wFormatTag = tag;
            format->Format.cbSize = 0;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NO_MATCH;
}

ULONG CStreamEngine::GetNodeCount()
{
    return CItemList::CountOf(m_AttachedNodes);
}

NTSTATUS CStreamEngine::GetNode(ULONG index, IAudioNode **node)
{
    return CItemList::ItemOf(m_AttachedNodes, index, node);
}

NTSTATUS CStreamEngine::AddProcessingNode(IProcessingNode *node)
{
    if (!node)
        return STATUS_INVALID_PARAMETER;
    if (!m_ProcessingNodes)
        return STATUS_UNSUCCESSFUL;
    if (FindNode(m_ProcessingNodes, node))
        return STATUS_SUCCESS;
    return CItemList::AppendReferenced(m_ProcessingNodes, node);
}

NTSTATUS CStreamEngine::AttachNode(IAudioNode *node)
{
    if (!node)
        return STATUS_INVALID_PARAMETER;
    if (!m_AttachedNodes || !m_ProcessingNodes)
        return STATUS_UNSUCCESSFUL;
    if (HoldsNode(node->GetId()))
        return STATUS_SUCCESS;
    NTSTATUS status = CItemList::AppendReferenced(m_AttachedNodes, node);
    if (!NT_SUCCESS(status))
        return status;
    IProcessingNode *processing = QueryAs<IProcessingNode>(node, IID_IProcessingNode);
    if (!processing)
        return STATUS_SUCCESS;
    const bool wasListed = FindNode(m_ProcessingNodes, processing) != nullptr;
    status = AddProcessingNode(processing);
    processing->Release();
    if (!NT_SUCCESS(status) && !wasListed)
    {
        // Undo the attachment, so the node is either in both lists or in neither.
        if (CItemList::PNODE last = FindNode(m_AttachedNodes, node))
            m_AttachedNodes->RemoveNode(last);
        node->Release();
    }
    return status;
}

BOOLEAN CStreamEngine::HoldsNode(ULONG id)
{
    for (CItemList::PNODE cursor = m_AttachedNodes ? m_AttachedNodes->FirstNode() : nullptr; cursor;
         cursor = cursor->Next)
        if (cursor->Item && static_cast<IAudioNode *>(cursor->Item)->GetId() == id)
            return TRUE;
    return FALSE;
}

ULONG CStreamEngine::GetTerminalType()
{
    if (!m_AttachedNodes)
        return ENGINE_NO_TERMINAL_TYPE;
    ULONG result = 0;
    ULONG reporting = 0;
    for (CItemList::PNODE cursor = m_AttachedNodes->FirstNode(); cursor; cursor = cursor->Next)
    {
        auto *node = static_cast<IAudioNode *>(cursor->Item);
        if (!node)
            continue;
        const ULONG kind = node->GetKind();
        if (m_EngineId != 0)
        {
            if (kind != NODE_KIND_INPUT_TERMINAL)
                continue;
            ITerminalInfo *terminal = QueryAs<ITerminalInfo>(node, IID_ITerminalInfo);
            if (!terminal)
                continue;
            ULONG type = 0;
            if (!NT_SUCCESS(terminal->GetSelectedType(&type)))
                type = 0;
            terminal->Release();
            if (type == 0)
                continue;
            ++reporting;
            if (result == 0 || result == TERMINAL_TYPE_SPDIF)
                result = type;
            continue;
        }
        if (kind == NODE_KIND_STATE)
        {
            if (INodeState *state = QueryAs<INodeState>(node, IID_INodeState))
            {
                ULONG value = 0;
                state->GetValue(&value);
                state->Release();
                return value;
            }
        }
        else if (kind == NODE_KIND_OUTPUT_TERMINAL)
        {
            if (ITerminalInfo *terminal = QueryAs<ITerminalInfo>(node, IID_ITerminalInfo))
            {
                ULONG type = 0;
                if (NT_SUCCESS(terminal->GetSelectedType(&type)))
                    result = type;
                terminal->Release();
            }
        }
    }
    if (m_EngineId != 0 && reporting >= 2)
        return TERMINAL_TYPE_SEVERAL;
    return result;
}

// ---- Miniport, topology, callbacks ------------------------------------------------------------------

NTSTATUS CStreamEngine::SetMiniport(PFN_CREATE_MINIPORT create, REFGUID portClassId)
{
    if (!create)
        return STATUS_NO_SUCH_DEVICE;
    m_CreateMiniport = create;
    m_PortClassId = portClassId;
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::SetTopology(PUNKNOWN topologyPort, PUNKNOWN topologyMiniport)
{
    if (!topologyPort || !topologyMiniport)
        return STATUS_NO_SUCH_DEVICE;
    PVOID object = nullptr;
    const NTSTATUS status = topologyMiniport->QueryInterface(IID_IMiniportPrivate, &object);
    if (!NT_SUCCESS(status) || !object)
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    auto *miniportPrivate = static_cast<IMiniportPrivate *>(object);
    // Kept without a reference: the topology port holds its miniport for as long as we hold the port.
    miniportPrivate->Release();
    topologyPort->AddRef();
    ReleaseAndClear(&m_TopologyPort);
    m_TopologyPort = topologyPort;
    m_TopologyPrivate = miniportPrivate;
    return status;
}

NTSTATUS CStreamEngine::RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID *registration)
{
    return RegisterOnNamedCallback(m_CallbackObject, function, context, registration);
}

NTSTATUS CStreamEngine::UnregisterCallback(PVOID registration)
{
    UnregisterFromNamedCallback(registration);
    return STATUS_SUCCESS;
}

// ---- Clients and stages -------------------------------------------------------------------------------

CItemList *CStreamEngine::ClientListOf(EngineClientList list)
{
    return list == EngineClientList::Opened ? m_OpenedClients : m_RunningClients;
}

CItemList *CStreamEngine::StageOf(ULONG stage)
{
    return stage == 1 ? m_Stage1 : stage == 2 ? m_Stage2 : nullptr;
}

NTSTATUS CStreamEngine::AppendStreamRecord(StreamClientRecord *record)
{
    if (!record)
        return STATUS_INVALID_PARAMETER;
    if (!m_RegisteredClients)
        return STATUS_UNSUCCESSFUL;
    KIRQL old;
    KeAcquireSpinLock(&m_SpinLock, &old);
    const bool linked = m_RegisteredClients->InsertTail(record) != nullptr;
    KeReleaseSpinLock(&m_SpinLock, old);
    return linked ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

StreamClientRecord *CStreamEngine::FindStreamRecord(PVOID clientHandle)
{
    return LockedClientRecord(&m_SpinLock, m_RegisteredClients, clientHandle, false);
}

StreamClientRecord *CStreamEngine::TakeStreamRecord(PVOID clientHandle)
{
    return LockedClientRecord(&m_SpinLock, m_RegisteredClients, clientHandle, true);
}

NTSTATUS CStreamEngine::InsertRegistration(EngineClientList which, StreamClientRecord *record)
{
    if (!record)
        return STATUS_INVALID_PARAMETER;
    CItemList *list = ClientListOf(which);
    if (!list)
        return STATUS_UNSUCCESSFUL;
    const ULONG kind = ULONG(record->Kind);
    KIRQL old;
    KeAcquireSpinLock(&m_SpinLock, &old);
    CItemList::PNODE before = list->FirstNode();
    bool equalMet = false;
    for (; before; before = before->Next)
    {
        const ULONG existing = ULONG(static_cast<StreamClientRecord *>(before->Item)->Kind);
        if (existing <= kind)
        {
            equalMet = existing == kind;
            break;
        }
    }
    const bool linked = (before ? list->InsertBefore(before, record) : list->InsertTail(record)) != nullptr;
    KeReleaseSpinLock(&m_SpinLock, old);
    if (linked)
        return STATUS_SUCCESS;
    return equalMet ? STATUS_INVALID_PARAMETER : STATUS_INSUFFICIENT_RESOURCES;
}

StreamClientRecord *CStreamEngine::FindRegistration(EngineClientList which, PVOID clientHandle)
{
    return LockedClientRecord(&m_SpinLock, ClientListOf(which), clientHandle, false);
}

StreamClientRecord *CStreamEngine::TakeRegistration(EngineClientList which, PVOID clientHandle)
{
    return LockedClientRecord(&m_SpinLock, ClientListOf(which), clientHandle, true);
}

StreamClientRecord *CStreamEngine::FirstRegistration(EngineClientList which)
{
    CItemList *list = ClientListOf(which);
    if (!list)
        return nullptr;
    KIRQL old;
    KeAcquireSpinLock(&m_SpinLock, &old);
    CItemList::PNODE node = list->FirstNode();
    auto *record = node ? static_cast<StreamClientRecord *>(node->Item) : nullptr;
    KeReleaseSpinLock(&m_SpinLock, old);
    return record;
}

NTSTATUS CStreamEngine::AddStage(ULONG stage, IProcessingNode *object)
{
    if (!object || (stage != 1 && stage != 2))
        return STATUS_INVALID_PARAMETER;
    CItemList *list = StageOf(stage);
    if (!list)
        return STATUS_UNSUCCESSFUL;
    object->AddRef();
    KIRQL old;
    KeAcquireSpinLock(&m_SpinLock, &old);
    const bool linked = list->InsertTail(object) != nullptr;
    KeReleaseSpinLock(&m_SpinLock, old);
    if (!linked)
    {
        object->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::RemoveStage(ULONG stage, IProcessingNode *object)
{
    CItemList *list = StageOf(stage);
    if (!list || !object)
        return STATUS_UNSUCCESSFUL;
    KIRQL old;
    KeAcquireSpinLock(&m_SpinLock, &old);
    CItemList::PNODE node = FindNode(list, object);
    if (node)
        list->RemoveNode(node);
    KeReleaseSpinLock(&m_SpinLock, old);
    if (!node)
        return STATUS_UNSUCCESSFUL;
    // Released outside the lock: the last reference may run a destructor that must not run raised.
    object->Release();
    return STATUS_SUCCESS;
}

void CStreamEngine::ClearStage(ULONG stage)
{
    CItemList *list = StageOf(stage);
    if (!list)
        return;
    for (;;)
    {
        IProcessingNode *object = nullptr;
        KIRQL old;
        KeAcquireSpinLock(&m_SpinLock, &old);
        const BOOLEAN removed = list->RemoveHead(&object);
        KeReleaseSpinLock(&m_SpinLock, old);
        if (!removed)
            return;
        if (object)
            object->Release();
    }
}

void CStreamEngine::SetCurrentFormat(const WAVEFORMATEXTENSIBLE &format)
{
    KIRQL old;
    KeAcquireSpinLock(&m_SpinLock, &old);
    RtlCopyMemory(&m_CurrentWaveFormat, &format, sizeof(format));
    m_BlockSizeLogged = FALSE;
    KeReleaseSpinLock(&m_SpinLock, old);
}

WAVEFORMATEXTENSIBLE CStreamEngine::CurrentFormat()
{
    WAVEFORMATEXTENSIBLE format;
    KIRQL old;
    KeAcquireSpinLock(&m_SpinLock, &old);
    RtlCopyMemory(&format, &m_CurrentWaveFormat, sizeof(format));
    KeReleaseSpinLock(&m_SpinLock, old);
    return format;
}

IProcessingNode *CStreamEngine::ProcessingNodeAt(ULONG index)
{
    IProcessingNode *node = nullptr;
    return NT_SUCCESS(CItemList::ItemOf(m_ProcessingNodes, index, &node)) ? node : nullptr;
}
