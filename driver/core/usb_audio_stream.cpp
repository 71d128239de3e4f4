// The isochronous stream base: formats, clients, state, thread, recovery and the transfer pool.
#include "driver/core/usb_audio_stream.h"

#include <new>

#include <usb_ioctl.h>
#include <usbd_lib.h>

#include "driver/base/named_callback.h"
#include "driver/base/pool_memory.h"
#include "driver/base/scope_guard.h"

namespace
{
// A stream lock held for one operation.
using CStreamLockHold = CMutexHold;

template <class I> void ReleaseIf(I *i)
{
    if (i)
        i->Release();
}

constexpr ULONG kFormatHead = sizeof(WAVEFORMATEX); // 18
constexpr LONGLONG kRecoveryPause = -1000000;       // 100 ms in 100 ns units
constexpr LONGLONG kIdleLogAfter = -10000000;       // 1 s

} // namespace

CUsbAudioStream::CUsbAudioStream(PUNKNOWN outer, UCHAR interfaceNumber, ULONG value)
    : CUnknownBase(outer), m_InterfaceNumber(interfaceNumber), m_Capture(FALSE), m_ClassTwo(FALSE),
      m_MaxPacketBytes(0), m_DataAddress(0), m_ClampedPackets(0), m_ClockNodeId(UAC_NO_NODE), m_Value(value),
      m_Engine(nullptr), m_Device(nullptr), m_Hal(nullptr), m_CallbackObject(nullptr), m_CallbackName{},
      m_Thread(nullptr), m_CurrentFormat{}, m_OpenedClient(nullptr), m_RunningClient(nullptr),
      m_FramesPerTransfer(STREAM_TRANSFER_SLOTS), m_TransfersInFlight(STREAM_TRANSFER_SLOTS),
      m_PacketsPerFrame(1), m_SamplesPerPacket(0), m_Rate(0), m_Accumulator(0), m_NextStartFrame(0),
      m_Scheduled(FALSE), m_DeviceGone(FALSE), m_HoldsBandwidth(FALSE), m_LookasidesLive(FALSE),
      m_StreamState(STREAM_CLOSED), m_Outstanding(0), m_Resubmit(RESUBMIT_IDLE), m_SubmittingThread(nullptr),
      m_PreparedFrame(0), m_StartingThread(nullptr), m_LateTransfer(nullptr), m_StartLead(0),
      m_LateStarts(0), m_Pool{}, m_UrbList{}, m_BufferList{}, m_RecordList{}, m_UrbBytes(0), m_BufferBytes(0),
      m_Ring(nullptr), m_RingSize(0), m_RingRead(0), m_RingWrite(0), m_InterfaceInfo(nullptr), m_PipeIndex(0),
      m_DspChain(nullptr), m_DspReady(FALSE)
{
    InitializeListHead(&m_Formats);
    KeInitializeEvent(&m_IdleEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&m_StopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_ExitedEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_WakeEvent, SynchronizationEvent, FALSE);
    KeInitializeSpinLock(&m_Pool.Lock);
    KeInitializeSpinLock(&m_SubmitLock);
    KeInitializeSpinLock(&m_RingLock);
}

CUsbAudioStream::~CUsbAudioStream()
{
    while (!IsListEmpty(&m_Formats))
        FreePool(CONTAINING_RECORD(RemoveHeadList(&m_Formats), StreamFormatEntry, Links));
    StopThread();
    FreePool(m_InterfaceInfo);
    m_InterfaceInfo = nullptr;
    ReleaseNamedCallback(&m_CallbackObject);
    if (m_DspChain)
    {
        m_DspChain->~DspChain();
        FreePool(m_DspChain);
        m_DspChain = nullptr;
    }
    if (m_Engine)
        m_Engine->NonDelegatingUnknown()->Release();
    m_Engine = nullptr;
}

NTSTATUS CUsbAudioStream::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    if (m_Engine && IsEqualId(iid, IID_IStreamEngine))
    {
        if (!object)
            return STATUS_INVALID_PARAMETER;
        *object = static_cast<IStreamEngine *>(m_Engine);
        static_cast<IStreamEngine *>(m_Engine)->AddRef();
        return STATUS_SUCCESS;
    }
    return AnswerInterface(iid, object, static_cast<ICyclicControl *>(this),
                           {{IID_ICyclicControl, static_cast<ICyclicControl *>(this)},
                            {IID_IStreamBuilder, static_cast<IStreamBuilder *>(this)}});
}

// ---- Set-up ---------------------------------------------------------------------------------------

NTSTATUS CUsbAudioStream::StopThread()
{
    if (!m_Thread)
        return STATUS_SUCCESS;
    KeSetEvent(&m_StopEvent, 0, FALSE);
    KeWaitForSingleObject(&m_ExitedEvent, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(m_Thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(m_Thread);
    m_Thread = nullptr;
    return STATUS_SUCCESS;
}

VOID CUsbAudioStream::ThreadStart(PVOID context)
{
    static_cast<CUsbAudioStream *>(context)->StreamThread();
}

NTSTATUS CUsbAudioStream::InitStream(BOOLEAN capture, CAudioHal *hal, PUNKNOWN device)
{
    PAGED_CODE();
    if (m_Engine)
        return STATUS_UNSUCCESSFUL;
    m_Capture = capture ? TRUE : FALSE;
    CStreamEngine *engine = NewEngine();
    if (!engine)
        return STATUS_INSUFFICIENT_RESOURCES;
    engine->NonDelegatingUnknown()->AddRef();
    CScopeGuard undo(
        [&]
        {
            StopThread();
            ReleaseNamedCallback(&m_CallbackObject);
            if (m_DspChain)
            {
                m_DspChain->~DspChain();
                FreePool(m_DspChain);
                m_DspChain = nullptr;
            }
            m_DspReady = FALSE;
            engine->NonDelegatingUnknown()->Release();
            m_Engine = nullptr;
        });
    m_Engine = engine;
    NTSTATUS status = engine->Initialize(m_Capture ? 1 : 0);
    if (!NT_SUCCESS(status))
        return status;
    status = CreateNamedCallback(&m_CallbackObject, u"\\Callback\\CyclicControlAddr%p", this, m_CallbackName,
                                 sizeof(m_CallbackName));
    if (!NT_SUCCESS(status))
        return status;

    HANDLE handle = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    KeClearEvent(&m_StopEvent);
    KeClearEvent(&m_ExitedEvent);
    status =
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, ThreadStart, this);
    if (!NT_SUCCESS(status))
        return status;
    PVOID thread = nullptr;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr);
    if (!NT_SUCCESS(status))
    {
        // The thread runs but cannot be waited for by object: stop it through its events.
        KeSetEvent(&m_StopEvent, 0, FALSE);
        KeWaitForSingleObject(&m_ExitedEvent, Executive, KernelMode, FALSE, nullptr);
        ZwClose(handle);
        return status;
    }
    m_Thread = static_cast<PKTHREAD>(thread);
    KeSetPriorityThread(m_Thread, 24);
    ZwClose(handle);

    m_Device = device;
    m_Hal = hal;
    m_DeviceGone = FALSE;

    // A chain that cannot be had fails the stream; one whose buffers cannot be had runs without DSP.
    PVOID block = AllocPoolZeroed(sizeof(DspChain), NonPagedPool, PoolTag::USBS);
    if (!block)
        return STATUS_INSUFFICIENT_RESOURCES;
    m_DspChain = new (block) DspChain();
    m_DspReady = DspChainInit(m_DspChain);
    if (m_DspReady)
    {
        DspChainSetMode(m_DspChain, 0);
        DspChainSetGains(m_DspChain, 1.0f);
        DspChainSetMasterGain(m_DspChain, 1.0f);
    }
    undo.Dismiss();
    return STATUS_SUCCESS;
}

CStreamEngine *CUsbAudioStream::NewEngine()
{
    return new (NonPagedPool, PoolTag::USBS) CStreamEngine(GetOuterUnknown(), m_Value);
}

void CUsbAudioStream::RemoveStreamFormats(CStreamEngine::PFN_MATCH_FORMAT match, PVOID context)
{
    if (!m_Engine || !match)
        return;
    m_Engine->RemoveFormat(match, context);
    for (PLIST_ENTRY e = m_Formats.Flink; e != &m_Formats;)
    {
        PLIST_ENTRY next = e->Flink;
        StreamFormatEntry *entry = CONTAINING_RECORD(e, StreamFormatEntry, Links);
        if (match(entry->Format, context))
        {
            RemoveEntryList(e);
            FreePool(entry);
        }
        e = next;
    }
}

NTSTATUS CUsbAudioStream::AddStreamFormat(const WAVEFORMATEXTENSIBLE &format, UCHAR alternateSetting)
{
    PAGED_CODE();
    if (!m_Engine)
        return STATUS_UNSUCCESSFUL;
    auto *entry = static_cast<StreamFormatEntry *>(
        AllocPoolZeroed(sizeof(StreamFormatEntry), NonPagedPool, PoolTag::USBS));
    if (!entry)
        return STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS status = m_Engine->AddFormat(format);
    if (!NT_SUCCESS(status))
    {
        FreePool(entry);
        return status;
    }
    entry->AlternateSetting = alternateSetting;
    entry->Format = format;
    InsertTailList(&m_Formats, &entry->Links);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::FindAlternateSetting(const WAVEFORMATEXTENSIBLE *format, PUCHAR alternateSetting)
{
    if (!format || !alternateSetting)
        return STATUS_INVALID_PARAMETER;
    const bool extensible = format->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
    // A record is 40 bytes whatever its cbSize claims.
    const ULONG compare = extensible ? (kFormatHead + format->Format.cbSize < sizeof(WAVEFORMATEXTENSIBLE)
                                            ? kFormatHead + format->Format.cbSize
                                            : ULONG(sizeof(WAVEFORMATEXTENSIBLE)))
                                     : 0;
    for (PLIST_ENTRY e = m_Formats.Flink; e != &m_Formats; e = e->Flink)
    {
        const StreamFormatEntry *entry = CONTAINING_RECORD(e, StreamFormatEntry, Links);
        const WAVEFORMATEXTENSIBLE &f = entry->Format;
        const bool match = extensible ? RtlCompareMemory(&f, format, compare) == compare
                                      : f.Format.nChannels == format->Format.nChannels &&
                                            f.Format.nSamplesPerSec == format->Format.nSamplesPerSec &&
                                            f.Format.wBitsPerSample == format->Format.wBitsPerSample &&
                                            USHORT(f.SubFormat.Data1) == format->Format.wFormatTag;
        if (match)
        {
            *alternateSetting = entry->AlternateSetting;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

IUsbLowerRequests *CUsbAudioStream::Lower()
{
    return QueryAs<IUsbLowerRequests>(m_Device, IID_IUsbLowerRequests);
}

IAudioHal *CUsbAudioStream::Hal()
{
    return QueryAs<IAudioHal>(m_Device, IID_IAudioHal);
}

ULONG CUsbAudioStream::GetCurrentFrameNumber()
{
    IUsbLowerRequests *lower = Lower();
    ULONG frame = 0;
    if (lower && !NT_SUCCESS(lower->GetCurrentFrame(&frame)))
        frame = 0;
    ReleaseIf(lower);
    return frame;
}

ULONG CUsbAudioStream::GetPacketsPerFrame(UCHAR alternateSetting)
{
    // The endpoint the checks take for the data endpoint decides, so the transfers are built for the
    // endpoint they go to; a setting that fails the checks carries no stream.
    IUsbLowerRequests *lower = Lower();
    UacStreamEndpoints endpoints{};
    PCSTR rule = nullptr;
    const BOOLEAN checked = lower && NT_SUCCESS(CheckEndpoints(lower, alternateSetting, &endpoints, &rule));
    ReleaseIf(lower);
    return checked ? endpoints.PacketsPerFrame : 1;
}

NTSTATUS CUsbAudioStream::CheckEndpoints(IUsbLowerRequests *lower, UCHAR alternateSetting,
                                         UacStreamEndpoints *endpoints, PCSTR *rule)
{
    PUSB_CONFIGURATION_DESCRIPTOR config = lower ? lower->GetConfigurationDescriptor() : nullptr;
    if (!config)
    {
        *rule = "no configuration";
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    return UacCheckStreamEndpoints(reinterpret_cast<const UCHAR *>(config), config->wTotalLength,
                                   m_InterfaceNumber, alternateSetting, m_Capture, m_ClassTwo,
                                   lower->IsHighSpeed(), endpoints, rule);
}

BOOLEAN CUsbAudioStream::IsAlternateSettingValid(UCHAR alternateSetting)
{
    if (alternateSetting == 0)
        return TRUE;
    IUsbLowerRequests *lower = Lower();
    PCSTR rule = nullptr;
    const NTSTATUS status = CheckEndpoints(lower, alternateSetting, nullptr, &rule);
    ReleaseIf(lower);
    return NT_SUCCESS(status);
}

NTSTATUS CUsbAudioStream::FindAttachedNode(ULONG id, IAudioNode **node)
{
    if (!node)
        return STATUS_INVALID_PARAMETER;
    *node = nullptr;
    if (!m_Engine)
        return STATUS_UNSUCCESSFUL;
    for (ULONG i = 0, n = m_Engine->GetNodeCount(); i < n; ++i)
    {
        IAudioNode *candidate = nullptr;
        if (NT_SUCCESS(m_Engine->GetNode(i, &candidate)) && candidate && candidate->GetId() == id)
        {
            *node = candidate;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

// ---- Messages -------------------------------------------------------------------------------------

void CUsbAudioStream::SendMessage(LONG code, ULONG_PTR value1, ULONG value2)
{
    // Every message names the running client; without one there is nobody to address.
    if (!m_CallbackObject || !m_RunningClient)
        return;
    CyclicControlMessage message = {m_RunningClient, code, value1, value2};
    ExNotifyCallback(m_CallbackObject, &message, nullptr);
}

void CUsbAudioStream::TakeFormatOf(StreamClientRecord *client)
{
    m_CurrentFormat = client->Format;
    if (m_Engine)
        m_Engine->SetCurrentFormat(m_CurrentFormat);
}

// ---- Clients --------------------------------------------------------------------------------------

NTSTATUS CUsbAudioStream::RegisterClient(LONG kind, const WAVEFORMATEXTENSIBLE *format,
                                         ULONG framesPerTransfer, ULONG transfersInFlight,
                                         PCALLBACK_FUNCTION callback, PVOID context,
                                         StreamClientRecord **record)
{
    PAGED_CODE();
    if (!record || !format || !callback || !m_Engine)
        return STATUS_INVALID_PARAMETER;
    *record = nullptr;
    // The pool has ten slots: more could never be in flight, and none would stall the stream.
    if (framesPerTransfer < 1 || framesPerTransfer > STREAM_MAX_FRAMES_PER_TRANSFER ||
        transfersInFlight < 1 || transfersInFlight > STREAM_TRANSFER_SLOTS)
        return STATUS_INVALID_PARAMETER;
    CStreamLockHold hold(m_Engine->StreamLock());
    WAVEFORMATEXTENSIBLE asked = *format;
    NTSTATUS status = m_Engine->MatchFormat(&asked);
    if (!NT_SUCCESS(status))
        return status;
    if (!m_CallbackObject)
        return STATUS_UNSUCCESSFUL;
    auto *client = static_cast<StreamClientRecord *>(
        AllocPoolZeroed(sizeof(StreamClientRecord), NonPagedPool, PoolTag::USBS));
    if (!client)
        return STATUS_INSUFFICIENT_RESOURCES;
    client->Kind = kind;
    client->FramesPerTransfer = framesPerTransfer;
    client->TransfersInFlight = transfersInFlight;
    client->Format = *format;
    client->Direction = m_Capture ? 1 : 0;
    client->Active = 0;
    client->ClientHandle = ExRegisterCallback(m_CallbackObject, callback, context);
    if (!client->ClientHandle)
    {
        FreePool(client);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = m_Engine->AppendStreamRecord(client);
    if (!NT_SUCCESS(status))
    {
        ExUnregisterCallback(client->ClientHandle);
        FreePool(client);
        return status;
    }
    *record = client;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::UnregisterClient(PVOID clientHandle)
{
    PAGED_CODE();
    if (!m_Engine)
        return STATUS_UNSUCCESSFUL;
    CStreamLockHold hold(m_Engine->StreamLock());
    StreamClientRecord *client = m_Engine->TakeStreamRecord(clientHandle);
    if (!client)
        return STATUS_UNSUCCESSFUL;
    ExUnregisterCallback(client->ClientHandle);
    FreePool(client);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::OpenClient(PVOID clientHandle, PULONG framesPerTransfer, PULONG currentFrame)
{
    PAGED_CODE();
    if (!m_Engine || !framesPerTransfer || !currentFrame)
        return STATUS_INVALID_PARAMETER;
    CStreamLockHold hold(m_Engine->StreamLock());
    StreamClientRecord *client = m_Engine->FindStreamRecord(clientHandle);
    if (!client)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = m_Engine->InsertRegistration(EngineClientList::Opened, client);
    if (!NT_SUCCESS(status))
        return status;
    ULONG frame = 0;
    StreamClientRecord *head = m_Engine->FirstRegistration(EngineClientList::Opened);
    if (head != m_OpenedClient)
    {
        if (m_OpenedClient)
        {
            if (m_StreamState == STREAM_RUNNING)
                StopStream();
            ReleaseFormat();
        }
        status = PrepareFormat(head, &frame);
        if (!NT_SUCCESS(status))
        {
            m_Engine->TakeRegistration(EngineClientList::Opened, head->ClientHandle);
            // The one before keeps the interface it had; prepare it again when it is still there.
            m_OpenedClient = m_Engine->FirstRegistration(EngineClientList::Opened);
            if (m_OpenedClient)
            {
                ULONG ignored = 0;
                if (NT_SUCCESS(PrepareFormat(m_OpenedClient, &ignored)))
                    TakeFormatOf(m_OpenedClient);
                else
                    m_OpenedClient = nullptr;
            }
            return status;
        }
        m_OpenedClient = head;
        TakeFormatOf(head);
    }
    *framesPerTransfer = m_OpenedClient->FramesPerTransfer;
    *currentFrame = frame;
    m_Engine->TakeStreamRecord(clientHandle);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::CloseClient(PVOID clientHandle)
{
    PAGED_CODE();
    if (!m_Engine)
        return STATUS_INVALID_PARAMETER;
    CStreamLockHold hold(m_Engine->StreamLock());
    StreamClientRecord *client = m_Engine->TakeRegistration(EngineClientList::Opened, clientHandle);
    if (!client)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_SUCCESS;
    StreamClientRecord *head = m_Engine->FirstRegistration(EngineClientList::Opened);
    if (!head)
        ReleaseFormat();
    else if (head != m_OpenedClient && m_StreamState == STREAM_PREPARED)
    {
        ReleaseFormat();
        ULONG frame = 0;
        status = PrepareFormat(head, &frame);
        if (!NT_SUCCESS(status))
            ReleaseFormat();
        else
            TakeFormatOf(head);
    }
    m_OpenedClient = head;
    if (!NT_SUCCESS(m_Engine->AppendStreamRecord(client)))
    {
        ExUnregisterCallback(client->ClientHandle);
        FreePool(client);
    }
    return status;
}

NTSTATUS CUsbAudioStream::StartClient(PVOID clientHandle, ULONG startFrame, PULONG framesPerTransfer,
                                      PUNKNOWN attached)
{
    PAGED_CODE();
    if (!m_Engine || !framesPerTransfer)
        return STATUS_INVALID_PARAMETER;
    CStreamLockHold hold(m_Engine->StreamLock());
    StreamClientRecord *client = m_Engine->FindRegistration(EngineClientList::Opened, clientHandle);
    if (m_StreamState == STREAM_CLOSED || !client)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = m_Engine->InsertRegistration(EngineClientList::Running, client);
    if (!NT_SUCCESS(status))
        return status;
    StreamClientRecord *head = m_Engine->FirstRegistration(EngineClientList::Running);
    if (head == m_RunningClient)
    {
        SendMessage(CYCLIC_MSG_FORMAT, m_RunningClient->FramesPerTransfer,
                    m_RunningClient->TransfersInFlight);
        client->Active = 1;
    }
    else
    {
        StreamClientRecord *previous = m_RunningClient;
        m_RunningClient = head;
        TakeFormatOf(head);
        SendMessage(CYCLIC_MSG_FORMAT, head->FramesPerTransfer | CYCLIC_FORMAT_CHANGED,
                    head->TransfersInFlight);
        client->Active = 1;
        status = RunStream(startFrame, TRUE);
        if (!NT_SUCCESS(status))
        {
            ReleaseFormat();
            m_Engine->TakeRegistration(EngineClientList::Running, head->ClientHandle);
            client->Active = 0;
            m_RunningClient = previous;
            if (previous)
            {
                TakeFormatOf(previous);
                previous->Active = 0;
                SendMessage(CYCLIC_MSG_FORMAT, previous->FramesPerTransfer, previous->TransfersInFlight);
            }
            return status;
        }
    }
    if (attached)
    {
        IProcessingNode *stage = QueryAs<IProcessingNode>(attached, IID_IProcessingNode);
        if (!stage)
            return STATUS_INVALID_PARAMETER;
        const LONG kind = client->Kind;
        ULONG which = 0;
        if (kind == 1)
            which = m_Capture ? 1 : 2;
        else if (kind == 2)
            which = m_Capture ? 2 : 1;
        status = which ? m_Engine->AddStage(which, stage) : STATUS_SUCCESS;
        stage->Release();
        if (!NT_SUCCESS(status))
            return status;
    }
    *framesPerTransfer = m_RunningClient->FramesPerTransfer;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::StopClient(PVOID clientHandle, PUNKNOWN attached)
{
    PAGED_CODE();
    if (!m_Engine)
        return STATUS_INVALID_PARAMETER;
    CStreamLockHold hold(m_Engine->StreamLock());
    StreamClientRecord *client = m_Engine->TakeRegistration(EngineClientList::Running, clientHandle);
    if (!client)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_SUCCESS;
    if (attached)
    {
        IProcessingNode *stage = QueryAs<IProcessingNode>(attached, IID_IProcessingNode);
        const ULONG which = client->Kind == 1   ? (m_Capture ? 1 : 2)
                            : client->Kind == 2 ? (m_Capture ? 2 : 1)
                                                : 0;
        status = stage && which ? m_Engine->RemoveStage(which, stage) : STATUS_INVALID_PARAMETER;
        ReleaseIf(stage);
    }
    StreamClientRecord *head = m_Engine->FirstRegistration(EngineClientList::Running);
    if (!head)
    {
        StopStream();
        client->Active = 0;
        m_RunningClient = nullptr;
    }
    else if (head == m_RunningClient)
        client->Active = 0;
    else
    {
        StopStream();
        client->Active = 0;
        ReleaseFormat();
        m_RunningClient = head;
        ULONG frame = 0;
        NTSTATUS prepared = PrepareFormat(head, &frame);
        if (!NT_SUCCESS(prepared))
        {
            ReleaseFormat();
            return prepared;
        }
        m_OpenedClient = m_Engine->FirstRegistration(EngineClientList::Opened);
        TakeFormatOf(head);
        SendMessage(CYCLIC_MSG_FORMAT, head->FramesPerTransfer | CYCLIC_FORMAT_CHANGED,
                    head->TransfersInFlight);
        prepared = RunStream(frame + STREAM_START_LEAD_FRAMES, TRUE);
        if (!NT_SUCCESS(prepared))
        {
            ReleaseFormat();
            return prepared;
        }
    }
    return status;
}

// ---- State ----------------------------------------------------------------------------------------

NTSTATUS CUsbAudioStream::PrepareFormat(StreamClientRecord *, PULONG)
{
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CUsbAudioStream::ReleaseFormat()
{
    if (m_StreamState != STREAM_PREPARED)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = SelectZeroBandwidth();
    FreeTransfers();
    InterlockedExchange(&m_StreamState, STREAM_CLOSED);
    DeleteLookasides();
    FreePool(m_Ring);
    m_Ring = nullptr;
    m_RingSize = 0;
    FreePool(m_InterfaceInfo);
    m_InterfaceInfo = nullptr;
    if (m_DeviceGone)
        status = STATUS_SUCCESS;
    return status;
}

void CUsbAudioStream::RunEffectFormats()
{
    for (ULONG i = 0;; ++i)
    {
        IProcessingNode *node = m_Engine->ProcessingNodeAt(i);
        if (!node)
            break;
        if (!NT_SUCCESS(node->SetEffectFormat(&m_CurrentFormat)))
            break;
    }
}

NTSTATUS CUsbAudioStream::StopEffects()
{
    for (ULONG i = 0;; ++i)
    {
        IProcessingNode *node = m_Engine->ProcessingNodeAt(i);
        if (!node)
            break;
        const NTSTATUS status = node->StreamStopped(&m_CurrentFormat, nullptr, 0);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::SubmitUpTo(ULONG count, ULONG lead)
{
    m_StartingThread = KeGetCurrentThread();
    m_StartLead = lead;
    m_LateStarts = 0;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i)
    {
        status = SubmitTransfer();
        while (m_LateTransfer)
            status = SendLateTransfer();
        // Only the first transfer goes again. Once one is on the bus, its completion may send the
        // next data while this thread is held up: a later transfer moved after that would play out
        // of order.
        m_StartingThread = nullptr;
    }
    m_StartingThread = nullptr;
    return status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
}

BOOLEAN CUsbAudioStream::KeepLateTransfer(PIRP irp, IsoTransfer *transfer)
{
    // A thread held up longer than the lead between reading the frame number and the bus seeing the
    // transfer finds its start frame gone, and the bus refuses it at submission. The transfer holds
    // the stream's next data, so it goes again rather than failing the start. Any other refusal, a
    // bad start frame still ahead of the bus (too far, overlapping) included, stays a failure.
    URB_ISOCH_TRANSFER &iso = transfer->Urb->UrbIsochronousTransfer;
    if (m_StartingThread != KeGetCurrentThread() || m_LateTransfer || m_StreamState != STREAM_RUNNING ||
        NT_SUCCESS(irp->IoStatus.Status) || iso.Hdr.Status != USBD_STATUS_BAD_START_FRAME ||
        m_LateStarts >= STREAM_LATE_START_RETRIES)
        return FALSE;
    const ULONG now = GetCurrentFrameNumber();
    if (LONG(now - iso.StartFrame) <= 0)
        return FALSE;
    DbgPrint("start frame %u had passed (now %u): sent again\n", unsigned(iso.StartFrame), unsigned(now));
    // The schedule goes on from the new frame. Should a completion already have sent later data,
    // the bus refuses the overlap and the start fails as before.
    KIRQL old;
    KeAcquireSpinLock(&m_SubmitLock, &old);
    iso.StartFrame = now + m_StartLead;
    iso.Hdr.Status = USBD_STATUS_SUCCESS;
    m_NextStartFrame = iso.StartFrame + m_FramesPerTransfer;
    KeReleaseSpinLock(&m_SubmitLock, old);
    ++m_LateStarts;
    m_LateTransfer = transfer;
    IoReuseIrp(transfer->Irp, STATUS_NOT_SUPPORTED);
    TransferDone();
    return TRUE;
}

NTSTATUS CUsbAudioStream::SendLateTransfer()
{
    IsoTransfer *transfer = m_LateTransfer;
    m_LateTransfer = nullptr;
    KIRQL old;
    KeAcquireSpinLock(&m_SubmitLock, &old);
    PrepareIrp(transfer, TransferCompleted);
    m_SubmittingThread = KeGetCurrentThread();
    KeReleaseSpinLock(&m_SubmitLock, old);
    return CallDown(transfer);
}

NTSTATUS CUsbAudioStream::RunStream(ULONG startFrame, BOOLEAN scheduled)
{
    if (m_StreamState != STREAM_PREPARED)
        return STATUS_UNSUCCESSFUL;
    if (m_DspReady)
        DspChainSetFormat(m_DspChain, &m_CurrentFormat);
    InterlockedExchange(&m_Resubmit, RESUBMIT_IDLE);
    m_NextStartFrame = startFrame;
    m_Scheduled = scheduled;
    KeClearEvent(&m_WakeEvent);
    InterlockedExchange(&m_StreamState, STREAM_RUNNING);
    RunEffectFormats();
    // A start that comes too late for its frame goes again with the lead the caller took from the
    // preparation's frame number; a start frame from elsewhere gets a client start's lead.
    ULONG lead = startFrame - m_PreparedFrame;
    if (lead > STREAM_START_LEAD_FRAMES)
        lead = STREAM_START_LEAD_FRAMES;
    const NTSTATUS status = SubmitUpTo(m_TransfersInFlight, lead);
    if (!NT_SUCCESS(status))
    {
        InterlockedExchange(&m_StreamState, STREAM_PREPARED);
        KeWaitForSingleObject(&m_IdleEvent, Executive, KernelMode, FALSE, nullptr);
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::StopStream()
{
    if (m_StreamState != STREAM_RUNNING)
        return STATUS_UNSUCCESSFUL;
    InterlockedExchange(&m_StreamState, STREAM_PREPARED);
    KeWaitForSingleObject(&m_IdleEvent, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = StopEffects();
    if (m_DspReady)
        DspChainReset(m_DspChain);
    return status;
}

NTSTATUS CUsbAudioStream::SelectZeroBandwidth()
{
    return SelectAlternateSetting(0, nullptr);
}

NTSTATUS CUsbAudioStream::SelectAlternateSetting(UCHAR, StreamClientRecord *)
{
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::AbortPipe()
{
    PUSBD_PIPE_INFORMATION pipe = DataPipe();
    IUsbLowerRequests *lower = Lower();
    if (!pipe || !lower)
    {
        ReleaseIf(lower);
        return STATUS_UNSUCCESSFUL;
    }
    URB urb = {};
    urb.UrbPipeRequest.Hdr.Length = sizeof(URB_PIPE_REQUEST);
    urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    urb.UrbPipeRequest.PipeHandle = pipe->PipeHandle;
    const NTSTATUS status = lower->SubmitUrb(&urb);
    lower->Release();
    return status;
}

NTSTATUS CUsbAudioStream::SelectClockRate(ULONG rate)
{
    IAudioNode *node = nullptr;
    if (!m_Hal || !NT_SUCCESS(m_Hal->FindFilter(m_ClockNodeId, &node)))
        return STATUS_UNSUCCESSFUL;
    IClockRates *clock = QueryAs<IClockRates>(node, IID_IClockRates);
    if (!clock)
        return STATUS_UNSUCCESSFUL;
    const NTSTATUS status = clock->SelectRate(rate);
    clock->Release();
    return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// ---- Transfers ------------------------------------------------------------------------------------

NTSTATUS CUsbAudioStream::AllocateTransfer(IsoTransfer **transfer)
{
    if (!transfer)
        return STATUS_INVALID_PARAMETER;
    *transfer = nullptr;
    auto *record = static_cast<IsoTransfer *>(ExAllocateFromNPagedLookasideList(&m_RecordList));
    PUCHAR buffer = static_cast<PUCHAR>(ExAllocateFromNPagedLookasideList(&m_BufferList));
    PURB urb = static_cast<PURB>(ExAllocateFromNPagedLookasideList(&m_UrbList));
    IUsbLowerRequests *lower = Lower();
    PIRP irp = record && buffer && urb && lower ? lower->AllocateIrp() : nullptr;
    ReleaseIf(lower);
    if (!irp)
    {
        if (urb)
            ExFreeToNPagedLookasideList(&m_UrbList, urb);
        if (buffer)
            ExFreeToNPagedLookasideList(&m_BufferList, buffer);
        if (record)
            ExFreeToNPagedLookasideList(&m_RecordList, record);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(record, sizeof(*record));
    record->Irp = irp;
    record->Urb = urb;
    record->Buffer = buffer;
    record->Owner = this;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    *transfer = record;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::AllocateSlot(ULONG slot)
{
    IsoTransfer *transfer = nullptr;
    const NTSTATUS status = AllocateTransfer(&transfer);
    if (!NT_SUCCESS(status))
        return status;
    transfer->Slot = slot;
    m_Pool.Free[slot] = transfer;
    m_Pool.Busy[slot] = nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::FreeTransfers()
{
    IUsbLowerRequests *lower = Lower();
    FreePoolTransfers(m_Pool, lower);
    ReleaseIf(lower);
    return STATUS_SUCCESS;
}

void CUsbAudioStream::FreePoolTransfers(IsoTransferPool &pool, IUsbLowerRequests *lower)
{
    for (ULONG i = 0; i < STREAM_TRANSFER_SLOTS; ++i)
    {
        IsoTransfer *transfer = pool.Free[i];
        if (!transfer)
            continue;
        pool.Free[i] = nullptr;
        ExFreeToNPagedLookasideList(&m_BufferList, transfer->Buffer);
        ExFreeToNPagedLookasideList(&m_UrbList, transfer->Urb);
        if (lower)
            lower->FreeIrp(transfer->Irp);
        else
            IoFreeIrp(transfer->Irp);
        ExFreeToNPagedLookasideList(&m_RecordList, transfer);
    }
}

void CUsbAudioStream::DeleteLookasides()
{
    if (!m_LookasidesLive)
        return;
    ExDeleteNPagedLookasideList(&m_UrbList);
    ExDeleteNPagedLookasideList(&m_BufferList);
    ExDeleteNPagedLookasideList(&m_RecordList);
    m_LookasidesLive = FALSE;
}

IsoTransfer *CUsbAudioStream::TakeTransfer(IsoTransferPool &pool)
{
    KIRQL old;
    KeAcquireSpinLock(&pool.Lock, &old);
    IsoTransfer *taken = nullptr;
    for (ULONG i = 0; i < m_TransfersInFlight && i < STREAM_TRANSFER_SLOTS; ++i)
        if (!pool.Busy[i] && pool.Free[i])
        {
            taken = pool.Free[i];
            pool.Busy[i] = taken;
            pool.Free[i] = nullptr;
            break;
        }
    KeReleaseSpinLock(&pool.Lock, old);
    return taken;
}

void CUsbAudioStream::ReturnTransfer(IsoTransferPool &pool, IsoTransfer *transfer)
{
    KIRQL old;
    KeAcquireSpinLock(&pool.Lock, &old);
    pool.Free[transfer->Slot] = transfer;
    pool.Busy[transfer->Slot] = nullptr;
    KeReleaseSpinLock(&pool.Lock, old);
    IoReuseIrp(transfer->Irp, STATUS_NOT_SUPPORTED);
}

void CUsbAudioStream::TransferDone()
{
    if (InterlockedDecrement(&m_Outstanding) == 0)
        KeSetEvent(&m_IdleEvent, 0, FALSE);
}

PUSBD_PIPE_INFORMATION CUsbAudioStream::DataPipe()
{
    if (!m_InterfaceInfo || m_PipeIndex >= m_InterfaceInfo->NumberOfPipes)
        return nullptr;
    return &m_InterfaceInfo->Pipes[m_PipeIndex];
}

BOOLEAN CUsbAudioStream::SubmittingHere() const
{
    return m_SubmittingThread == KeGetCurrentThread();
}

NTSTATUS CUsbAudioStream::TransferCompleted(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context)
{
    auto *transfer = static_cast<IsoTransfer *>(context);
    return transfer->Owner->CompleteTransfer(deviceObject, irp, transfer);
}

NTSTATUS CUsbAudioStream::SendTransfer(IsoTransfer *transfer, ULONG packets, ULONG flags, ULONG bytes)
{
    URB_ISOCH_TRANSFER &iso = transfer->Urb->UrbIsochronousTransfer;
    iso.Hdr.Length = GET_ISO_URB_SIZE(packets);
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    PUSBD_PIPE_INFORMATION pipe = DataPipe();
    iso.PipeHandle = pipe ? pipe->PipeHandle : nullptr;
    iso.TransferFlags = flags | (m_Scheduled ? 0 : USBD_START_ISO_TRANSFER_ASAP);
    iso.TransferBuffer = transfer->Buffer;
    iso.TransferBufferLength = bytes;
    iso.NumberOfPackets = packets;
    if (m_Scheduled)
    {
        iso.StartFrame = m_NextStartFrame;
        m_NextStartFrame += m_FramesPerTransfer;
    }
    else
        iso.StartFrame = 0;

    PrepareIrp(transfer, TransferCompleted);
    return STATUS_SUCCESS;
}

void CUsbAudioStream::PrepareIrp(IsoTransfer *transfer, PIO_COMPLETION_ROUTINE routine)
{
    PIRP irp = transfer->Irp;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = transfer->Urb;
    next->Parameters.Others.Argument2 = nullptr;
    IoSetCompletionRoutine(irp, routine, transfer, TRUE, TRUE, TRUE);
    if (InterlockedIncrement(&m_Outstanding) == 1)
        KeClearEvent(&m_IdleEvent);
}

ULONG CUsbAudioStream::SizeRenderPackets(PURB urb, ULONG packets, ULONG blockAlign)
{
    // The whole samples of a packet interval and the fraction left over, from the same rate: a
    // measured rate below nominal must not turn the step negative.
    const ULONG perSecond = m_PacketsPerFrame * 1000;
    const ULONG whole = m_Rate / perSecond;
    const ULONG step = m_Rate % perSecond;
    const ULONG slot = m_CurrentFormat.Format.nSamplesPerSec / 1000 / m_PacketsPerFrame + 1;
    const ULONG wire = WireBlockAlign();
    const ULONG fits = m_MaxPacketBytes && wire ? m_MaxPacketBytes / wire : slot;
    ULONG offset = 0;
    for (ULONG i = 0; i < packets; ++i)
    {
        m_Accumulator += step;
        ULONG samples = whole + m_Accumulator / perSecond;
        m_Accumulator %= perSecond;
        if (samples > slot)
            samples = slot;
        if (samples > fits)
        {
            samples = fits;
            InterlockedIncrement(&m_ClampedPackets);
        }
        USBD_ISO_PACKET_DESCRIPTOR &packet = urb->UrbIsochronousTransfer.IsoPacket[i];
        packet.Offset = offset;
        packet.Length = samples * blockAlign;
        packet.Status = 0;
        offset += packet.Length;
    }
    return offset;
}

ULONG CUsbAudioStream::FillRenderTransfer(IsoTransfer *transfer, ULONG packets)
{
    const ULONG bytes = SizeRenderPackets(transfer->Urb, packets, m_CurrentFormat.Format.nBlockAlign);
    RtlZeroMemory(transfer->Buffer, bytes);
    SendMessage(CYCLIC_MSG_RENDER_FILL, ULONG_PTR(transfer->Buffer), bytes);
    m_Engine->ProcessBlock(transfer->Buffer, bytes);
    transfer->Bytes = bytes;
    return bytes;
}

NTSTATUS CUsbAudioStream::CompleteRender(IRP *irp, IsoTransfer *transfer)
{
    if (KeepLateTransfer(irp, transfer))
        return STATUS_MORE_PROCESSING_REQUIRED;
    const NTSTATUS irpStatus = irp->IoStatus.Status;
    const BOOLEAN running = m_StreamState == STREAM_RUNNING;
    if (running && (irpStatus == STATUS_DEVICE_NOT_CONNECTED || irpStatus == STATUS_NO_SUCH_DEVICE))
        m_DeviceGone = TRUE;
    // Cancelled transfers still played (or were meant to): the client's books move on.
    SendMessage(CYCLIC_MSG_POSITION, transfer->Bytes, 0);
    BOOLEAN next = FALSE;
    if (running && irpStatus != STATUS_CANCELLED)
        next = JudgeCompletion(irpStatus, transfer->Urb);
    return FinishCompletion(transfer, next);
}

BOOLEAN CUsbAudioStream::JudgeCompletion(NTSTATUS irpStatus, PURB urb)
{
    URB_ISOCH_TRANSFER &iso = urb->UrbIsochronousTransfer;
    const ULONG packets = iso.NumberOfPackets;
    for (ULONG i = 0; i < packets; ++i)
        if (USBD_ERROR(iso.IsoPacket[i].Status))
        {
            iso.Hdr.Status = iso.IsoPacket[i].Status;
            break;
        }
    if (!NT_SUCCESS(irpStatus) || USBD_ERROR(iso.Hdr.Status))
    {
        if (InterlockedExchange(&m_Resubmit, RESUBMIT_ERROR) != RESUBMIT_ERROR)
            KeSetEvent(&m_WakeEvent, 8, FALSE);
        return FALSE;
    }
    // A completion inside our own call down must not submit again on top of it: the thread does.
    if (SubmittingHere())
    {
        if (InterlockedCompareExchange(&m_Resubmit, RESUBMIT_REQUESTED, RESUBMIT_IDLE) == RESUBMIT_IDLE)
            KeSetEvent(&m_WakeEvent, 0, FALSE);
        return FALSE;
    }
    return m_Resubmit == RESUBMIT_IDLE;
}

NTSTATUS CUsbAudioStream::CallDown(IsoTransfer *transfer)
{
    const NTSTATUS status = PassDown(transfer->Irp);
    m_SubmittingThread = nullptr;
    return status;
}

NTSTATUS CUsbAudioStream::PassDown(PIRP irp)
{
    IUsbLowerRequests *lower = Lower();
    const NTSTATUS status = lower ? lower->CallLower(irp) : STATUS_UNSUCCESSFUL;
    ReleaseIf(lower);
    return NT_SUCCESS(status) || status == STATUS_PENDING ? STATUS_SUCCESS : status;
}

NTSTATUS CUsbAudioStream::FinishCompletion(IsoTransfer *transfer, BOOLEAN submitNext)
{
    ReturnTransfer(m_Pool, transfer);
    if (submitNext)
        SubmitTransfer();
    TransferDone();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CUsbAudioStream::TakeClientValues(StreamClientRecord *client, PULONG currentFrame,
                                           PUCHAR alternateSetting)
{
    if (!client || !currentFrame || !m_Engine)
        return STATUS_INVALID_PARAMETER;
    *currentFrame = 0;
    WAVEFORMATEXTENSIBLE format = client->Format;
    NTSTATUS status = m_Engine->MatchFormat(&format);
    if (!NT_SUCCESS(status))
        return status;
    status = FindAlternateSetting(&client->Format, alternateSetting);
    if (!NT_SUCCESS(status))
        return status;
    const WAVEFORMATEX &f = client->Format.Format;
    if (f.nBlockAlign == 0 || f.nSamplesPerSec < UAC_MIN_STREAM_RATE_HZ)
        return STATUS_INVALID_PARAMETER;
    m_FramesPerTransfer = client->FramesPerTransfer;
    m_TransfersInFlight = client->TransfersInFlight;
    m_CurrentFormat = client->Format;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::CompleteTransfer(PDEVICE_OBJECT, IRP *irp, IsoTransfer *transfer)
{
    if (KeepLateTransfer(irp, transfer))
        return STATUS_MORE_PROCESSING_REQUIRED;
    if (m_StreamState == STREAM_RUNNING)
    {
        URB_ISOCH_TRANSFER &iso = transfer->Urb->UrbIsochronousTransfer;
        if (!NT_SUCCESS(irp->IoStatus.Status) || USBD_ERROR(iso.Hdr.Status))
        {
            if (InterlockedExchange(&m_Resubmit, RESUBMIT_ERROR) != RESUBMIT_ERROR)
                KeSetEvent(&m_WakeEvent, 8, FALSE);
        }
        else if (InterlockedCompareExchange(&m_Resubmit, RESUBMIT_REQUESTED, RESUBMIT_IDLE) == RESUBMIT_IDLE)
            KeSetEvent(&m_WakeEvent, 0, FALSE);
    }
    return FinishCompletion(transfer, FALSE);
}

// ---- Thread and recovery --------------------------------------------------------------------------

void CUsbAudioStream::StreamThread()
{
    PVOID objects[2] = {&m_WakeEvent, &m_StopEvent};
    for (;;)
    {
        const NTSTATUS woke =
            KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (woke == STATUS_WAIT_0 + 1)
            break;
        if (!m_Engine)
            continue;
        CStreamLockHold hold(m_Engine->StreamLock());
        if (m_StreamState != STREAM_RUNNING)
            continue;
        const LONG flag = InterlockedCompareExchange(&m_Resubmit, RESUBMIT_IDLE, RESUBMIT_REQUESTED);
        if (flag == RESUBMIT_REQUESTED)
        {
            // At most the transfers that may be in flight: a submit that keeps succeeding without
            // taking a slot must not hold the thread.
            for (ULONG i = 0; i < m_TransfersInFlight && m_StreamState == STREAM_RUNNING; ++i)
                if (SubmitTransfer() != STATUS_SUCCESS)
                    break;
        }
        else if (flag == RESUBMIT_ERROR)
        {
            DbgPrint("Error_ErrorOccur, m_StreamState = %d\n", m_StreamState);
            if (m_StreamState == STREAM_RUNNING)
            {
                const NTSTATUS status = RecoverStream();
                if (status == STATUS_DEVICE_NOT_CONNECTED)
                    KeSetEvent(&m_StopEvent, 0, FALSE);
                DbgPrint("Error_ErrorOccur ntStatus = %x\n", status);
            }
        }
    }
    KeSetEvent(&m_ExitedEvent, 8, FALSE);
}

void CUsbAudioStream::WaitUntilIdle()
{
    // Every transfer completes or is cancelled, so the wait ends; a slow end is logged once.
    LARGE_INTEGER second;
    second.QuadPart = kIdleLogAfter;
    if (KeWaitForSingleObject(&m_IdleEvent, Executive, KernelMode, FALSE, &second) == STATUS_TIMEOUT)
    {
        DbgPrint("RecoverStream waiting for %d transfers\n", m_Outstanding);
        KeWaitForSingleObject(&m_IdleEvent, Executive, KernelMode, FALSE, nullptr);
    }
}

NTSTATUS CUsbAudioStream::BeginRecovery(IUsbLowerRequests *lower)
{
    WaitUntilIdle();
    InterlockedExchange(&m_Resubmit, RESUBMIT_IDLE);
    if (!lower->IsDeviceGone())
        return STATUS_SUCCESS;
    m_DeviceGone = TRUE;
    return STATUS_DEVICE_NOT_CONNECTED;
}

NTSTATUS CUsbAudioStream::RecoverStream()
{
    IUsbLowerRequests *lower = Lower();
    if (!lower)
        return STATUS_UNSUCCESSFUL;
    NTSTATUS status = BeginRecovery(lower);
    if (NT_SUCCESS(status))
    {
        LARGE_INTEGER pause;
        pause.QuadPart = kRecoveryPause;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        status = SelectZeroBandwidth();
        if (!NT_SUCCESS(status))
            lower->CyclePort();
        else
        {
            SendMessage(CYCLIC_MSG_FORMAT,
                        m_RunningClient ? m_RunningClient->FramesPerTransfer | CYCLIC_FORMAT_CHANGED : 0,
                        m_RunningClient ? m_RunningClient->TransfersInFlight : 0);
            status = RestartStream();
            if (!NT_SUCCESS(status))
                lower->CyclePort();
        }
    }
    lower->Release();
    return status;
}

NTSTATUS CUsbAudioStream::RestartStream()
{
    if (!m_RunningClient)
        return STATUS_UNSUCCESSFUL;
    UCHAR alternate = 0;
    NTSTATUS status = FindAlternateSetting(&m_RunningClient->Format, &alternate);
    if (!NT_SUCCESS(status))
        return status;
    status = SelectAlternateSetting(alternate, m_RunningClient);
    if (!NT_SUCCESS(status))
        return status;
    m_RingRead = m_RingWrite = 0;
    InterlockedExchange(&m_Outstanding, 0);
    KeClearEvent(&m_WakeEvent);
    m_NextStartFrame = GetCurrentFrameNumber() + STREAM_RESTART_LEAD_FRAMES;
    InterlockedExchange(&m_Resubmit, RESUBMIT_IDLE);
    return SubmitUpTo(m_TransfersInFlight, STREAM_RESTART_LEAD_FRAMES);
}

// ---- Preparation and selection --------------------------------------------------------------------

NTSTATUS CUsbAudioStream::PrepareTransfers(StreamClientRecord *client, UCHAR alternateSetting,
                                           ULONG bufferBytes, ULONG ringTag, PULONG currentFrame)
{
    if (InterlockedCompareExchange(&m_StreamState, STREAM_PREPARED, STREAM_CLOSED) != STREAM_CLOSED)
        return STATUS_INSUFFICIENT_RESOURCES;
    CScopeGuard undo(
        [&]
        {
            FreeTransfers();
            DeleteLookasides();
            FreePool(m_Ring);
            m_Ring = nullptr;
            m_RingSize = 0;
            if (m_HoldsBandwidth)
                SelectZeroBandwidth();
            FreePool(m_InterfaceInfo);
            m_InterfaceInfo = nullptr;
            InterlockedExchange(&m_StreamState, STREAM_CLOSED);
        });
    const ULONG packets = m_FramesPerTransfer * m_PacketsPerFrame;
    m_UrbBytes = GET_ISO_URB_SIZE(packets + 8);
    m_BufferBytes = bufferBytes;
    ExInitializeNPagedLookasideList(&m_UrbList, nullptr, nullptr, 0, m_UrbBytes, PoolTag::URB, 0);
    ExInitializeNPagedLookasideList(&m_BufferList, nullptr, nullptr, 0, m_BufferBytes, PoolTag::URB, 0);
    ExInitializeNPagedLookasideList(&m_RecordList, nullptr, nullptr, 0, sizeof(IsoTransfer), PoolTag::URB, 0);
    m_LookasidesLive = TRUE;
    for (ULONG i = 0; i < STREAM_TRANSFER_SLOTS; ++i)
    {
        NTSTATUS status = AllocateSlot(i);
        if (!NT_SUCCESS(status))
            return status;
    }
    const WAVEFORMATEX &f = client->Format.Format;
    const ULONG ring = (f.nAvgBytesPerSec / 25 + f.nBlockAlign - 1) / f.nBlockAlign * f.nBlockAlign;
    m_Ring = static_cast<PUCHAR>(AllocPoolZeroed(ring, NonPagedPool, ringTag));
    if (!m_Ring)
        return STATUS_INSUFFICIENT_RESOURCES;
    m_RingSize = ring;
    const NTSTATUS status = SelectAlternateSetting(alternateSetting, client);
    if (!NT_SUCCESS(status))
        return status;
    m_Accumulator = 0;
    m_RingRead = m_RingWrite = 0;
    InterlockedExchange(&m_Outstanding, 0);
    KeSetEvent(&m_IdleEvent, 0, FALSE);
    undo.Dismiss();
    m_PreparedFrame = GetCurrentFrameNumber();
    *currentFrame = m_PreparedFrame;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::SetEndpointRate(IUsbLowerRequests *lower, UCHAR endpoint, ULONG rate)
{
    URB urb = {};
    UCHAR data[3] = {UCHAR(rate), UCHAR(rate >> 8), UCHAR(rate >> 16)};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_ENDPOINT, sizeof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_OUT, 0, 0x01, 0x0100, endpoint, data, nullptr, sizeof(data),
                          nullptr);
    return lower->SubmitUrb(&urb);
}

NTSTATUS CUsbAudioStream::SelectInterface(UCHAR alternateSetting, StreamClientRecord *client, BOOLEAN setRate,
                                          BOOLEAN rateMatters)
{
    IUsbLowerRequests *lower = Lower();
    if (!lower)
        return STATUS_UNSUCCESSFUL;
    CScopeGuard release([&] { lower->Release(); });
    FreePool(m_InterfaceInfo);
    m_InterfaceInfo = nullptr;
    PUSB_CONFIGURATION_DESCRIPTOR config = lower->GetConfigurationDescriptor();
    PURB selection = lower->GetSelectedConfiguration();
    PUSB_INTERFACE_DESCRIPTOR found =
        config ? USBD_ParseConfigurationDescriptorEx(config, config, m_InterfaceNumber, alternateSetting, 1,
                                                     2, -1)
               : nullptr;
    if (!found || !selection)
        return STATUS_UNSUCCESSFUL;
    // A setting whose endpoints cannot carry the stream is never selected: its transfers would be a
    // dead stream or a bus error.
    UacStreamEndpoints endpoints{};
    if (alternateSetting != 0)
    {
        PCSTR rule = nullptr;
        if (NTSTATUS status = CheckEndpoints(lower, alternateSetting, &endpoints, &rule); !NT_SUCCESS(status))
        {
            DbgPrint("SelectAlternateSetting interface %u alternate %u refused: %s\n",
                     unsigned(m_InterfaceNumber), unsigned(alternateSetting), rule);
            return status;
        }
    }
    m_MaxPacketBytes = endpoints.MaxPacketBytes;
    m_DataAddress = endpoints.DataAddress;
    const ULONG pipes = found->bNumEndpoints;
    const USHORT size = GET_SELECT_INTERFACE_REQUEST_SIZE(pipes);
    auto *urb = static_cast<PURB>(AllocPoolZeroed(size, NonPagedPool, PoolTag::URB));
    if (!urb)
        return STATUS_INSUFFICIENT_RESOURCES;
    CScopeGuard freeUrb([&] { FreePool(urb); });
    UsbBuildSelectInterfaceRequest(urb, size, selection->UrbSelectConfiguration.ConfigurationHandle,
                                   m_InterfaceNumber, alternateSetting);
    urb->UrbSelectInterface.Interface.Length = GET_USBD_INTERFACE_SIZE(pipes);
    for (ULONG i = 0; i < pipes; ++i)
        urb->UrbSelectInterface.Interface.Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    NTSTATUS status = lower->SubmitUrb(urb);
    if (!NT_SUCCESS(status))
        return status;

    // The active-stream count follows whether this stream holds bandwidth, not every selection.
    const BOOLEAN holds = alternateSetting != 0;
    if (holds != m_HoldsBandwidth)
    {
        m_HoldsBandwidth = holds;
        if (holds)
            lower->StreamStarted();
        else
            lower->StreamStopped();
    }

    const USHORT infoBytes = urb->UrbSelectInterface.Interface.Length;
    m_InterfaceInfo =
        static_cast<PUSBD_INTERFACE_INFORMATION>(AllocPoolZeroed(infoBytes, NonPagedPool, PoolTag::URB));
    if (!m_InterfaceInfo)
    {
        if (alternateSetting != 0)
            SelectZeroBandwidth();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(m_InterfaceInfo, &urb->UrbSelectInterface.Interface, infoBytes);
    m_PipeIndex = 0;
    for (ULONG i = 0; i < m_InterfaceInfo->NumberOfPipes; ++i)
        if (m_InterfaceInfo->Pipes[i].EndpointAddress == m_DataAddress)
            m_PipeIndex = i;
    if (client && setRate && m_InterfaceInfo->NumberOfPipes)
    {
        status = SetEndpointRate(lower, DataPipe()->EndpointAddress, client->Format.Format.nSamplesPerSec);
        if (rateMatters && !NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}
