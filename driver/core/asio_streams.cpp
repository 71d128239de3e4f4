// The adapter's low-latency streams: the shared buffers mapped into the owner's process, the kind-5
// registrations on the isochronous streams, start and stop, the run-event hand-over, the transfer
// callback and the power hooks. Everything but the callback runs under the adapter's Lock at
// PASSIVE_LEVEL; the callback runs at DISPATCH_LEVEL under BufferLock and touches only the
// non-paged buffer table, the buffers and the owner's record.
#include <pc_adapter.h>
#include <usb_urb.h>

#include "driver/base/pool_memory.h"
#include "driver/core/asio_internal.h"
#include "driver/core/usb_audio_adapter.h"

namespace
{

constexpr LONG ASIO_CLIENT_KIND = 5;
constexpr ULONG ASIO_START_LEAD_FRAMES = 5;
constexpr UCHAR ASIO_SIGNAL_REQUEST = 7;
// A buffer larger than this would be a rate or channel count no device has.
constexpr ULONG ASIO_MAX_DATA_BYTES = 16u << 20;

// Boards that want to be told when low-latency streaming starts and stops.
bool WantsStreamSignal(USHORT vendor, USHORT product)
{
    return (vendor == 0x0B05 && (product == 0x17A8 || product == 0x17CD || product == 0x17F3)) ||
           (vendor == 0x1043 && (product == 0x8593 || product == 0x8592));
}

// Container and valid bits of a PCM sample type.
void SampleBits(ULONG type, USHORT *bits, USHORT *valid)
{
    switch (type)
    {
    case 17:
        *bits = 24, *valid = 24;
        break;
    case 18:
        *bits = 32, *valid = 32;
        break;
    case 24:
        *bits = 32, *valid = 16;
        break;
    case 25:
        *bits = 32, *valid = 18;
        break;
    case 26:
        *bits = 32, *valid = 20;
        break;
    case 27:
        *bits = 32, *valid = 24;
        break;
    default:
        *bits = 16, *valid = 16;
        break;
    }
}

// Copies `length` bytes between a ring of `size` bytes at `position` and `packet`, wrapping.
void RingCopy(PUCHAR ring, ULONG size, ULONG position, PUCHAR packet, ULONG length, bool toRing)
{
    const ULONG first = size - position < length ? size - position : length;
    if (toRing)
    {
        RtlCopyMemory(ring + position, packet, first);
        RtlCopyMemory(ring, packet + first, length - first);
    }
    else
    {
        RtlCopyMemory(packet, ring + position, first);
        RtlCopyMemory(packet + first, ring, length - first);
    }
}

} // namespace

// ---- Buffers --------------------------------------------------------------------------------------------

NTSTATUS CUsbAudioAdapter::CreateBuffers(PFILE_OBJECT file, PVOID buffer, ULONG inLength, ULONG outLength,
                                         PULONG_PTR information)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *client) -> NTSTATUS
                 {
                     if (inLength < 12)
                         return STATUS_INVALID_PARAMETER;
                     const ULONG entries = AsioReadWord(buffer, 1);
                     const ULONG frames = AsioReadWord(buffer, 2);
                     // Only the entries the input covers are read.
                     if (entries > (inLength - 12) / 8)
                         return STATUS_INVALID_PARAMETER;
                     if (m_Layer.IsDeviceGone())
                         return STATUS_INVALID_PARAMETER;
                     // One set of buffers per owner: a second one would map over the first.
                     if (client->BuffersCreated || (m_Owner && m_Owner != client))
                         return STATUS_INVALID_PARAMETER;
                     ULONG serving = 0;
                     IStreamEngine *engine = nullptr;
                     ULONG channels = 0;
                     for (ULONG index = 0; index < m_SharedBufferCount; ++index)
                         serving += ServingStream(index, &engine, &channels) ? 1 : 0;
                     if (serving == 0 || outLength != serving * sizeof(ULONG))
                         return STATUS_INVALID_PARAMETER;
                     // Up to GetBufferSize's maximum; below its minimum down to one millisecond, which the
                     // prepare step still serves with its shortest period.
                     ULONG sizes[4] = {};
                     const ULONG perMs = client->IoFormat == ASIO_IO_DSD ? client->SampleRate / 64000
                                                                         : client->SampleRate / 1000;
                     if (!NT_SUCCESS(BufferSizes(client, sizes)) || frames < perMs || frames > sizes[1])
                         return STATUS_INVALID_PARAMETER;

                     m_Owner = client;
                     m_OwnerActive = TRUE;
                     m_BufferFrames = frames;
                     ULONG answer[64] = {};
                     NTSTATUS status =
                         serving <= sizeof answer / sizeof answer[0]
                             ? BuildBuffers(client, static_cast<PULONG>(buffer), entries, answer)
                             : STATUS_INVALID_PARAMETER;
                     if (NT_SUCCESS(status))
                         status = PrepareStreams(client);
                     if (!NT_SUCCESS(status))
                     {
                         FreeBuffers();
                         m_Owner = nullptr;
                         m_OwnerActive = FALSE;
                         return status;
                     }
                     RtlCopyMemory(buffer, answer, serving * sizeof(ULONG));
                     client->BuffersCreated = 1;
                     *information = serving * sizeof(ULONG);
                     return STATUS_SUCCESS;
                 });
}

NTSTATUS CUsbAudioAdapter::BuildBuffers(AsioClientRecord *client, const ULONG *request, ULONG entries,
                                        PULONG answer)
{
    const bool dsd = client->IoFormat == ASIO_IO_DSD;
    const ULONG rate = client->SampleRate;
    m_BytesPerSample = dsd ? 8 : AsioBytesPerSample(m_EffectiveSampleType);
    ULONG firstOf[2] = {}, made = 0;
    IStreamEngine *engine = nullptr;
    ULONG channels = 0;
    for (ULONG index = 0; index < m_SharedBufferCount; ++index)
    {
        if (!ServingStream(index, &engine, &channels))
            continue;
        AsioSharedBuffer &entry = m_SharedBuffers[index];
        const ULONG frameBytes = m_BytesPerSample * channels;
        const ULONGLONG perSecond = dsd ? ULONGLONG(rate / 64) * frameBytes : ULONGLONG(rate) * frameBytes;
        ULONGLONG data = perSecond * ASIO_BUFFER_MS / 1000;
        if (frameBytes)
            data -= data % frameBytes;
        if (data > ASIO_MAX_DATA_BYTES)
            return STATUS_INVALID_PARAMETER;
        // Whole zero-filled pages: the mapping shows the client nothing but its buffer.
        const ULONG bytes = ULONG(ROUND_TO_PAGES(ASIO_HEADER_WORDS * sizeof(ULONG) + data));
        entry.KernelBuffer = static_cast<PULONG>(AllocPoolZeroed(bytes, NonPagedPool, PoolTag::USBd));
        if (!entry.KernelBuffer)
            return STATUS_INSUFFICIENT_RESOURCES;
        entry.Mdl = IoAllocateMdl(entry.KernelBuffer, bytes, FALSE, FALSE, nullptr);
        if (!entry.Mdl)
            return STATUS_INSUFFICIENT_RESOURCES;
        MmBuildMdlForNonPagedPool(entry.Mdl);
        PVOID user = nullptr;
        NTSTATUS status = STATUS_SUCCESS;
        __try
        {
            user = MmMapLockedPagesSpecifyCache(entry.Mdl, UserMode, MmCached, nullptr, FALSE,
                                                NormalPagePriority);
        }
        __except (EXCEPTION_EXECUTE_HANDLER)
        {
            status = GetExceptionCode();
        }
        if (!NT_SUCCESS(status))
            return status;
        if (!user)
            return STATUS_INSUFFICIENT_RESOURCES;
        // User addresses are 32-bit on the target; the answer and the unmap both use this one.
        entry.UserAddress = ULONG(ULONG_PTR(user));
        entry.Control = QueryAs<ICyclicControl>(engine, IID_ICyclicControl);
        entry.DataBytes = ULONG(data);
        entry.Channels = channels;
        entry.IsInput = engine->GetEngineId() == 1;
        PULONG header = entry.KernelBuffer;
        header[ASIO_HEADER_IS_INPUT] = entry.IsInput;
        header[ASIO_HEADER_CHANNELS] = channels;
        header[ASIO_HEADER_FIRST_CHANNEL] = firstOf[entry.IsInput];
        header[ASIO_HEADER_DATA_BYTES] = entry.DataBytes;
        if (dsd)
            RtlFillMemory(header + ASIO_HEADER_WORDS, entry.DataBytes, ASIO_DSD_SILENCE);
        firstOf[entry.IsInput] += channels;
        answer[made++] = entry.UserAddress;
    }
    // Each asked-for channel activates the buffer of its direction whose range holds it.
    for (ULONG i = 0; i < entries; ++i)
    {
        const ULONG input = AsioReadWord(request, 3 + 2 * i) ? 1 : 0;
        const ULONG channel = AsioReadWord(request, 4 + 2 * i);
        for (ULONG index = 0; index < m_SharedBufferCount; ++index)
        {
            AsioSharedBuffer &entry = m_SharedBuffers[index];
            const ULONG first = entry.KernelBuffer ? entry.KernelBuffer[ASIO_HEADER_FIRST_CHANNEL] : 0;
            if (entry.KernelBuffer && entry.IsInput == input && channel - first < entry.Channels)
                entry.Active = TRUE;
        }
    }
    // The run event follows one buffer: the last active capture one, else the last active one.
    AsioSharedBuffer *last = nullptr;
    for (ULONG index = 0; index < m_SharedBufferCount; ++index)
        if (m_SharedBuffers[index].Active && (!last || !last->IsInput || m_SharedBuffers[index].IsInput))
            last = &m_SharedBuffers[index];
    for (ULONG index = 0; index < m_SharedBufferCount; ++index)
    {
        AsioSharedBuffer &entry = m_SharedBuffers[index];
        if (!entry.KernelBuffer)
            continue;
        entry.Last = &entry == last;
        entry.KernelBuffer[ASIO_HEADER_ACTIVE] = entry.Active;
        entry.KernelBuffer[ASIO_HEADER_LAST] = entry.Last;
    }
    return STATUS_SUCCESS;
}

// Period p in ms from the buffer size, then packets per transfer and transfers per period; one
// kind-5 registration per buffer with the stream's own format of the same shape.
NTSTATUS CUsbAudioAdapter::PrepareStreams(AsioClientRecord *client)
{
    const bool dsd = client->IoFormat == ASIO_IO_DSD;
    const ULONG rate = client->SampleRate;
    const ULONG perMs = dsd ? rate / 64000 : rate / 1000;
    ULONG p = perMs ? m_BufferFrames / perMs : 0;
    if (p < 2)
        p = 2;
    m_PeriodMs = p;
    if (p >= 20)
        m_Packets = 5, m_Split = p / 5 < 5 ? p / 5 : 5;
    else if (p >= 16)
        m_Packets = 4, m_Split = p / 4;
    else if (p >= 8)
        m_Packets = 2, m_Split = p / 2;
    else
        m_Packets = 1, m_Split = p;
    const ULONG inFlight = m_Split > 2 ? m_Split - 1 : m_Split;
    USHORT bits = 64, valid = 64;
    if (!dsd)
        SampleBits(m_EffectiveSampleType, &bits, &valid);
    for (ULONG index = 0; index < m_SharedBufferCount; ++index)
    {
        AsioSharedBuffer &entry = m_SharedBuffers[index];
        if (!entry.KernelBuffer)
            continue;
        IStreamEngine *engine = nullptr;
        if (!entry.Control || !NT_SUCCESS(GetEngine(index, &engine)) || !engine)
            return STATUS_UNSUCCESSFUL;
        const ULONG formatRate = dsd ? rate / 64 : rate;
        WAVEFORMATEXTENSIBLE match = {};
        const bool found = Offers(engine,
                                  [&](const WAVEFORMATEXTENSIBLE &format)
                                  {
                                      match = format;
                                      return (dsd ? AsioIsDsdFormat(format) : AsioIsPcmFormat(format)) &&
                                             format.Format.nChannels == entry.Channels &&
                                             format.Format.nSamplesPerSec == formatRate &&
                                             format.Format.wBitsPerSample == bits &&
                                             format.Samples.wValidBitsPerSample == valid;
                                  });
        if (!found)
            return STATUS_NO_MATCH;
        const NTSTATUS status = entry.Control->RegisterClient(ASIO_CLIENT_KIND, &match, m_Packets, inFlight,
                                                              &TransferCallback, this, &entry.Registration);
        if (!NT_SUCCESS(status))
        {
            entry.Registration = nullptr;
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// Registrations first (their release waits for callbacks in progress), then mappings and memory.
void CUsbAudioAdapter::FreeBuffers()
{
    for (ULONG index = 0; index < m_SharedBufferCount; ++index)
    {
        AsioSharedBuffer &entry = m_SharedBuffers[index];
        if (entry.Registration)
            entry.Control->UnregisterClient(entry.Registration->ClientHandle);
        entry.Registration = nullptr;
    }
    for (ULONG index = 0; index < m_SharedBufferCount; ++index)
    {
        AsioSharedBuffer &entry = m_SharedBuffers[index];
        if (entry.UserAddress)
            MmUnmapLockedPages(reinterpret_cast<PVOID>(ULONG_PTR(entry.UserAddress)), entry.Mdl);
        if (entry.Mdl)
            IoFreeMdl(entry.Mdl);
        FreePool(entry.KernelBuffer);
        if (entry.Control)
            entry.Control->Release();
        RtlZeroMemory(&entry, sizeof entry);
    }
}

NTSTATUS CUsbAudioAdapter::DisposeBuffers(PFILE_OBJECT file, PVOID, ULONG, ULONG, PULONG_PTR)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *client) -> NTSTATUS
                 {
                     if (client != m_Owner || !client->BuffersCreated)
                         return STATUS_INVALID_PARAMETER;
                     // Running transfers still use the buffers: stop them first, as Stop does.
                     if (client->RunEvent)
                         StopFor(client);
                     FreeBuffers();
                     client->BuffersCreated = 0;
                     m_Owner = nullptr;
                     m_OwnerActive = FALSE;
                     return STATUS_SUCCESS;
                 });
}

// ---- Start and stop -------------------------------------------------------------------------------------

void CUsbAudioAdapter::SignalDevice(USHORT value)
{
    const USB_DEVICE_IDENTITY identity = m_Layer.GetIdentity();
    if (!WantsStreamSignal(identity.VendorId, identity.ProductId))
        return;
    PURB urb = static_cast<PURB>(AllocPoolZeroed(sizeof(URB), NonPagedPool, PoolTag::USBd));
    if (!urb)
        return;
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE,
                          USHORT(sizeof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST)), USBD_TRANSFER_DIRECTION_OUT, 0,
                          ASIO_SIGNAL_REQUEST, value, 0, nullptr, nullptr, 0, nullptr);
    if (!NT_SUCCESS(m_Layer.SubmitUrb(urb)))
        DbgPrint("SignalDevice request 7 value %u failed\n", unsigned(value));
    FreePool(urb);
}

// Every active stream opens; all start at the last frame an open answered plus a lead, capture
// before render so the first render period has capture data behind it.
NTSTATUS CUsbAudioAdapter::StartStreams()
{
    ULONG frame = 0;
    NTSTATUS status = STATUS_SUCCESS;
    ResetPositions();
    for (ULONG index = 0; index < m_SharedBufferCount && NT_SUCCESS(status); ++index)
    {
        AsioSharedBuffer &entry = m_SharedBuffers[index];
        if (!entry.Active || !entry.Registration)
            continue;
        ULONG framesPerTransfer = 0, current = 0;
        status = entry.Control->OpenClient(entry.Registration->ClientHandle, &framesPerTransfer, &current);
        entry.Opened = NT_SUCCESS(status);
        frame = current;
    }
    for (ULONG pass = 0; pass < 2 && NT_SUCCESS(status); ++pass)
        for (ULONG index = 0; index < m_SharedBufferCount && NT_SUCCESS(status); ++index)
        {
            AsioSharedBuffer &entry = m_SharedBuffers[index];
            if (!entry.Opened || entry.IsInput != (pass == 0))
                continue;
            ULONG framesPerTransfer = 0;
            status = entry.Control->StartClient(entry.Registration->ClientHandle,
                                                frame + ASIO_START_LEAD_FRAMES, &framesPerTransfer, nullptr);
            entry.Started = NT_SUCCESS(status);
        }
    if (!NT_SUCCESS(status))
    {
        StopStreams();
        return status;
    }
    m_AsioRunning = TRUE;
    SignalDevice(1);
    return STATUS_SUCCESS;
}

// Stop, then close, so each stream is prepared again for its other clients.
void CUsbAudioAdapter::StopStreams()
{
    for (ULONG index = 0; index < m_SharedBufferCount; ++index)
    {
        AsioSharedBuffer &entry = m_SharedBuffers[index];
        if (entry.Started)
            entry.Control->StopClient(entry.Registration->ClientHandle, nullptr);
        entry.Started = FALSE;
    }
    for (ULONG index = 0; index < m_SharedBufferCount; ++index)
    {
        AsioSharedBuffer &entry = m_SharedBuffers[index];
        if (entry.Opened)
            entry.Control->CloseClient(entry.Registration->ClientHandle);
        entry.Opened = FALSE;
    }
    if (m_AsioRunning)
    {
        m_AsioRunning = FALSE;
        SignalDevice(0);
    }
}

void CUsbAudioAdapter::ClearSampleData()
{
    const UCHAR fill = m_BytesPerSample == 8 ? ASIO_DSD_SILENCE : 0;
    KIRQL old;
    KeAcquireSpinLock(&m_BufferLock, &old);
    for (ULONG index = 0; index < m_SharedBufferCount; ++index)
        if (m_SharedBuffers[index].Active && m_SharedBuffers[index].KernelBuffer)
            RtlFillMemory(m_SharedBuffers[index].KernelBuffer + ASIO_HEADER_WORDS,
                          m_SharedBuffers[index].DataBytes, fill);
    KeReleaseSpinLock(&m_BufferLock, old);
}

// Header words 5, 6, 7 and 9 start again, render buffers one period ahead of their end (two when
// the period is 1 or 2 ms). Done before the streams start: their first transfers already read.
void CUsbAudioAdapter::ResetPositions()
{
    if (!m_Owner)
        return;
    const ULONG perMs = m_BytesPerSample == 8 ? m_Owner->SampleRate / 64000 : m_Owner->SampleRate / 1000;
    const ULONG periods = m_PeriodMs <= 2 ? 1 : (m_Split > 1 ? m_Split - 1 : 1);
    const ULONG distance = m_PeriodMs <= 2 ? 2 : periods;
    KIRQL old;
    KeAcquireSpinLock(&m_BufferLock, &old);
    for (ULONG index = 0; index < m_SharedBufferCount; ++index)
    {
        AsioSharedBuffer &entry = m_SharedBuffers[index];
        if (!entry.KernelBuffer)
            continue;
        PULONG header = entry.KernelBuffer;
        header[ASIO_HEADER_POSITION] = header[ASIO_HEADER_START] = header[ASIO_HEADER_NOTIFY] = 0;
        header[ASIO_HEADER_PERIODS] = 0;
        entry.Position = 0;
        if (entry.IsInput)
            continue;
        const ULONG periodBytes = entry.Channels * m_BytesPerSample * m_Packets * perMs;
        const ULONGLONG ahead = ULONGLONG(periodBytes) * periods;
        entry.Position = ahead < entry.DataBytes ? ULONG(entry.DataBytes - ahead) : 0;
        header[ASIO_HEADER_POSITION] = header[ASIO_HEADER_START] = entry.Position;
        header[ASIO_HEADER_NOTIFY] = periodBytes * distance;
    }
    KeReleaseSpinLock(&m_BufferLock, old);
}

// The event follows the Last buffer from now on.
void CUsbAudioAdapter::HandOver(PKEVENT event)
{
    KIRQL old;
    KeAcquireSpinLock(&m_BufferLock, &old);
    m_Owner->RunEvent = event;
    KeReleaseSpinLock(&m_BufferLock, old);
}

NTSTATUS CUsbAudioAdapter::Start(PFILE_OBJECT file, PVOID buffer, ULONG, ULONG, PULONG_PTR)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *client) -> NTSTATUS
                 {
                     if (client != m_Owner || !client->BuffersCreated || client->RunEvent || m_AsioRunning)
                         return STATUS_INVALID_PARAMETER;
                     PKEVENT event = nullptr;
                     NTSTATUS status = AsioReferenceEvent(AsioReadWord(buffer, 0), &event);
                     if (!NT_SUCCESS(status))
                         return status;
                     status = StartStreams();
                     if (!NT_SUCCESS(status))
                     {
                         ObDereferenceObject(event);
                         return status;
                     }
                     HandOver(event);
                     return STATUS_SUCCESS;
                 });
}

// The Stop of a device in D0: the run event goes, the streams stop (or, when a power-down already
// stopped them, their restart mark goes) and the active buffers fall silent.
NTSTATUS CUsbAudioAdapter::StopFor(AsioClientRecord *client)
{
    if (!client || client != m_Owner || !client->RunEvent)
        return STATUS_INVALID_PARAMETER;
    KIRQL old;
    KeAcquireSpinLock(&m_BufferLock, &old);
    PKEVENT event = client->RunEvent;
    client->RunEvent = nullptr;
    KeReleaseSpinLock(&m_BufferLock, old);
    KeClearEvent(event);
    ObDereferenceObject(event);
    if (m_AsioRunning)
        StopStreams();
    else
        m_Layer.ClearAsioWasRunning();
    ClearSampleData();
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioAdapter::Stop(PFILE_OBJECT file, PVOID request, ULONG, ULONG, PULONG_PTR)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *client) -> NTSTATUS
                 {
                     if (m_Layer.GetDevicePowerState() == PowerDeviceD0 || !request)
                         return StopFor(client);
                     // Asleep: the first Stop waits for D0; it can be cancelled, and Close or removal cancel
                     // it.
                     auto *irp = static_cast<PIRP>(request);
                     irp->Tail.Overlay.DriverContext[0] = this;
                     if (InterlockedCompareExchangePointer(
                             reinterpret_cast<PVOID volatile *>(&m_HeldStopRequest), irp, nullptr))
                         return STATUS_INVALID_PARAMETER;
                     IoMarkIrpPending(irp);
                     IoSetCancelRoutine(irp, &HeldStopCancelled);
                     // Cancelled before the routine was in place: whoever takes it back completes it.
                     if (irp->Cancel && IoSetCancelRoutine(irp, nullptr))
                     {
                         if (InterlockedCompareExchangePointer(
                                 reinterpret_cast<PVOID volatile *>(&m_HeldStopRequest), nullptr, irp) == irp)
                         {
                             irp->IoStatus.Information = 0;
                             PcCompleteIrp(GetDeviceObject(), irp, STATUS_CANCELLED);
                         }
                     }
                     return STATUS_PENDING;
                 });
}

VOID CUsbAudioAdapter::HeldStopCancelled(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto *self = static_cast<CUsbAudioAdapter *>(irp->Tail.Overlay.DriverContext[0]);
    if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile *>(&self->m_HeldStopRequest),
                                          nullptr, irp) != irp)
        return; // taken back by D0, Close or removal, which complete it
    irp->IoStatus.Information = 0;
    PcCompleteIrp(self->GetDeviceObject(), irp, STATUS_CANCELLED);
}

void CUsbAudioAdapter::CancelHeldStop(PFILE_OBJECT file)
{
    PIRP irp = m_HeldStopRequest;
    if (!irp || (file && IoGetCurrentIrpStackLocation(irp)->FileObject != file))
        return;
    if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile *>(&m_HeldStopRequest), nullptr,
                                          irp) != irp)
        return;
    IoSetCancelRoutine(irp, nullptr);
    irp->IoStatus.Information = 0;
    PcCompleteIrp(GetDeviceObject(), irp, STATUS_CANCELLED);
}

// ---- Power hooks ------------------------------------------------------------------------------------------

void CUsbAudioAdapter::StopLowLatency()
{
    StopStreams();
    if (m_Owner && m_Owner->RunEvent)
        KeClearEvent(m_Owner->RunEvent);
}

void CUsbAudioAdapter::RestartLowLatency()
{
    if (const NTSTATUS status = StartStreams(); !NT_SUCCESS(status))
        DbgPrint("RestartLowLatency failed 0x%08X\n", unsigned(status));
}

void CUsbAudioAdapter::HandOverRunEvent()
{
    if (m_Owner && m_Owner->RunEvent)
        HandOver(m_Owner->RunEvent);
}

void CUsbAudioAdapter::CompleteHeldStop()
{
    PIRP irp = static_cast<PIRP>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&m_HeldStopRequest), nullptr));
    if (!irp)
        return;
    IoSetCancelRoutine(irp, nullptr);
    NTSTATUS status;
    {
        CMutexHold hold(m_Lock);
        status = StopFor(FindClient(IoGetCurrentIrpStackLocation(irp)->FileObject));
    }
    irp->IoStatus.Information = 0;
    PcCompleteIrp(GetDeviceObject(), irp, status);
}

// ---- Transfer callback
// -------------------------------------------------------------------------------------

VOID CUsbAudioAdapter::TransferCallback(PVOID context, PVOID argument1, PVOID)
{
    auto *self = static_cast<CUsbAudioAdapter *>(context);
    const auto *message = static_cast<const CyclicControlMessage *>(argument1);
    if (!self || !message || !message->RunningClient)
        return;
    const LONG code = message->Code;
    if (code != CYCLIC_MSG_POSITION && code != CYCLIC_MSG_RENDER_FILL && code != CYCLIC_MSG_CAPTURE_DATA)
        return;
    KIRQL old;
    KeAcquireSpinLock(&self->m_BufferLock, &old);
    for (ULONG index = 0; index < self->m_SharedBufferCount; ++index)
    {
        AsioSharedBuffer &entry = self->m_SharedBuffers[index];
        if (!entry.Registration || entry.Registration != message->RunningClient ||
            !entry.Registration->Active)
            continue;
        PULONG header = entry.KernelBuffer;
        if (code == CYCLIC_MSG_POSITION)
        {
            ++header[ASIO_HEADER_PERIODS];
            if (entry.Last && self->m_Owner && self->m_Owner->RunEvent)
                KeSetEvent(self->m_Owner->RunEvent, 8, FALSE);
            break;
        }
        const ULONG length = message->Value2;
        auto *packet = reinterpret_cast<PUCHAR>(message->Value1);
        if (!packet || length == 0 || length >= entry.DataBytes)
            break;
        RingCopy(reinterpret_cast<PUCHAR>(header + ASIO_HEADER_WORDS), entry.DataBytes, entry.Position,
                 packet, length, code == CYCLIC_MSG_CAPTURE_DATA);
        entry.Position = (entry.Position + length) % entry.DataBytes;
        header[ASIO_HEADER_POSITION] = entry.Position;
        break;
    }
    KeReleaseSpinLock(&self->m_BufferLock, old);
}
