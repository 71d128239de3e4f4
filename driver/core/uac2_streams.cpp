// The class 2.0 streams: render with explicit feedback, capture delivering each transfer whole, the
// rate chosen on the clock source, and recovery by resetting the pipes in place.
#include "driver/core/usb_audio_stream.h"

#include <usbd_lib.h>

#include "driver/base/pool_memory.h"
#include "driver/base/usb_vendor_ids.h"
#include "driver/core/uac_requests.h"
#include "driver/core/usb_stream_feedback.h"

namespace
{
constexpr ULONG kRecoveryTransfers = 3;
constexpr UCHAR kAbortRawRequest = 0x10;

NTSTATUS ResetPipe(IUsbLowerRequests *lower, PUSBD_PIPE_INFORMATION pipe)
{
    if (!pipe)
        return STATUS_UNSUCCESSFUL;
    URB urb = {};
    urb.UrbPipeRequest.Hdr.Length = sizeof(URB_PIPE_REQUEST);
    urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    urb.UrbPipeRequest.PipeHandle = pipe->PipeHandle;
    return lower->SubmitUrb(&urb);
}

// The vendor's raw-data sub-format: its identifier in the first field, the wave sub-format tail. The
// record may sit packed, so the sub-format is copied out first.
BOOLEAN IsRawData(const WAVEFORMATEXTENSIBLE &format)
{
    GUID raw = SubFormatForTag(0);
    raw.Data1 = SalvineVendorId;
    GUID subFormat;
    RtlCopyMemory(&subFormat, &format.SubFormat, sizeof(subFormat));
    return subFormat == raw;
}

BOOLEAN ValidOnDevice(IUsbLowerRequests *lower, UCHAR interfaceNumber, UCHAR alternateSetting)
{
    const BOOLEAN valid =
        lower ? UacIsAlternateSettingValid(lower, interfaceNumber, alternateSetting) : alternateSetting == 0;
    if (lower)
        lower->Release();
    return valid;
}
} // namespace

NTSTATUS CreateUac2Stream(const UsbAudioFunctionInputs &, BOOLEAN capture, UCHAR interfaceNumber, ULONG,
                          ULONG clockNodeId, ULONG tag, IStreamBuilder **stream)
{
    if (!stream)
        return STATUS_INVALID_PARAMETER;
    *stream = nullptr;
    CUsbAudioStream *object =
        capture ? static_cast<CUsbAudioStream *>(
                      new (NonPagedPool, tag) CUac2CaptureStream(nullptr, interfaceNumber, 0, clockNodeId))
                : new (NonPagedPool, tag) CUac2RenderStream(nullptr, interfaceNumber, 0, clockNodeId);
    if (!object)
        return STATUS_INSUFFICIENT_RESOURCES;
    object->NonDelegatingUnknown()->AddRef();
    *stream = object;
    return STATUS_SUCCESS;
}

// ---- Render ---------------------------------------------------------------------------------------

CUac2RenderStream::CUac2RenderStream(PUNKNOWN outer, UCHAR interfaceNumber, ULONG value, ULONG clockNodeId)
    : CUac1RenderStream(outer, interfaceNumber, value), m_FeedbackPool{}, m_FeedbackPipeIndex(0),
      m_FeedbackPackets(0)
{
    m_ClockNodeId = clockNodeId;
    m_ClassTwo = TRUE;
    KeInitializeSpinLock(&m_FeedbackPool.Lock);
}

NTSTATUS CUac2RenderStream::PrepareFormat(StreamClientRecord *client, PULONG currentFrame)
{
    // The measured rate starts at nominal (PrepareRender sets it) with no feedback counted yet.
    InterlockedExchange(&m_FeedbackPackets, 0);
    return PrepareRender(client, currentFrame, TRUE);
}

NTSTATUS CUac2RenderStream::AllocateSlot(ULONG slot)
{
    IsoTransfer *feedback = nullptr;
    NTSTATUS status = AllocateTransfer(&feedback);
    if (!NT_SUCCESS(status))
        return status;
    feedback->Slot = slot;
    m_FeedbackPool.Free[slot] = feedback;
    m_FeedbackPool.Busy[slot] = nullptr;
    return CUsbAudioStream::AllocateSlot(slot);
}

NTSTATUS CUac2RenderStream::FreeTransfers()
{
    IUsbLowerRequests *lower = Lower();
    FreePoolTransfers(m_FeedbackPool, lower);
    if (lower)
        lower->Release();
    return CUsbAudioStream::FreeTransfers();
}

NTSTATUS CUac2RenderStream::SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord *client)
{
    // The rate was chosen on the clock source; the endpoint takes no request.
    const NTSTATUS status = SelectInterface(alternateSetting, client, FALSE, FALSE);
    // The data endpoint is OUT, so the first IN pipe is the setting's second endpoint, the one checked
    // as isochronous feedback; an IN endpoint after it is not the stream's.
    m_FeedbackPipeIndex = 0;
    for (ULONG i = 0; m_InterfaceInfo && i < m_InterfaceInfo->NumberOfPipes; ++i)
        if (m_InterfaceInfo->Pipes[i].EndpointAddress & 0x80)
        {
            m_FeedbackPipeIndex = i;
            break;
        }
    return status;
}

PUSBD_PIPE_INFORMATION CUac2RenderStream::FeedbackPipe()
{
    // Only an interface with a data and a feedback pipe has one.
    if (!m_InterfaceInfo || m_InterfaceInfo->NumberOfPipes < 2 || m_FeedbackPipeIndex == m_PipeIndex ||
        m_FeedbackPipeIndex >= m_InterfaceInfo->NumberOfPipes)
        return nullptr;
    return &m_InterfaceInfo->Pipes[m_FeedbackPipeIndex];
}

BOOLEAN CUac2RenderStream::IsAlternateSettingValid(UCHAR alternateSetting)
{
    return CUsbAudioStream::IsAlternateSettingValid(alternateSetting) &&
           ValidOnDevice(Lower(), m_InterfaceNumber, alternateSetting);
}

NTSTATUS CUac2RenderStream::SubmitTransfer()
{
    if (m_DeviceGone)
        return STATUS_DEVICE_NOT_CONNECTED;
    if (m_StreamState != STREAM_RUNNING)
        return STATUS_SUCCESS;
    // Each data transfer is sized from the feedback measured so far, so one feedback transfer goes
    // ahead of it.
    if (FeedbackPipe())
    {
        const NTSTATUS status = SubmitFeedback();
        if (status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE)
            return status;
    }
    return SubmitWith(
        [this](IsoTransfer *transfer)
        {
            const ULONG packets = m_FramesPerTransfer * m_PacketsPerFrame;
            const ULONG bytes = FillRenderTransfer(transfer, packets);
            SendTransfer(transfer, packets, USBD_TRANSFER_DIRECTION_OUT, bytes);
        });
}

NTSTATUS CUac2RenderStream::SubmitFeedback()
{
    PUSBD_PIPE_INFORMATION pipe = FeedbackPipe();
    IUsbLowerRequests *lower = Lower();
    const ULONG size = lower && lower->IsHighSpeed() ? 4 : 3;
    if (lower)
        lower->Release();
    IsoTransfer *transfer = pipe ? TakeTransfer(m_FeedbackPool) : nullptr;
    if (!transfer)
        return STATUS_SUCCESS;
    const ULONG packets = m_FramesPerTransfer;
    RtlZeroMemory(transfer->Urb, m_UrbBytes);
    URB_ISOCH_TRANSFER &iso = transfer->Urb->UrbIsochronousTransfer;
    iso.Hdr.Length = GET_ISO_URB_SIZE(packets);
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = pipe->PipeHandle;
    // Feedback goes as soon as possible: its frames are not the data's.
    iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;
    iso.TransferBuffer = transfer->Buffer;
    iso.TransferBufferLength = packets * size;
    iso.NumberOfPackets = packets;
    iso.StartFrame = 0;
    for (ULONG i = 0; i < packets; ++i)
    {
        iso.IsoPacket[i].Offset = i * size;
        iso.IsoPacket[i].Length = size;
    }
    transfer->Bytes = packets * size;
    InterlockedExchangeAdd(&m_FeedbackPackets, LONG(packets));
    PrepareIrp(transfer, FeedbackCompleted);
    return PassDown(transfer->Irp);
}

NTSTATUS CUac2RenderStream::FeedbackCompleted(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *transfer = static_cast<IsoTransfer *>(context);
    return static_cast<CUac2RenderStream *>(transfer->Owner)->CompleteFeedback(irp, transfer);
}

NTSTATUS CUac2RenderStream::CompleteFeedback(IRP *irp, IsoTransfer *transfer)
{
    const NTSTATUS irpStatus = irp->IoStatus.Status;
    URB_ISOCH_TRANSFER &iso = transfer->Urb->UrbIsochronousTransfer;
    if (m_StreamState == STREAM_RUNNING && irpStatus != STATUS_CANCELLED)
    {
        BOOLEAN failed = !NT_SUCCESS(irpStatus) || USBD_ERROR(iso.Hdr.Status);
        for (ULONG i = 0; i < iso.NumberOfPackets && !failed; ++i)
            failed = USBD_ERROR(iso.IsoPacket[i].Status);
        if (failed)
        {
            if (InterlockedExchange(&m_Resubmit, RESUBMIT_ERROR) != RESUBMIT_ERROR)
                KeSetEvent(&m_WakeEvent, 8, FALSE);
        }
        else
        {
            // The buffer holds what the packets asked for; a short answer is read within its length.
            const ULONG length =
                iso.TransferBufferLength < transfer->Bytes ? iso.TransferBufferLength : transfer->Bytes;
            const ULONG bytes = length == 4 * m_FramesPerTransfer ? 4 : 3;
            m_Rate =
                MeasureFeedbackRate(transfer->Buffer, length, iso.NumberOfPackets, bytes, m_PacketsPerFrame,
                                    m_CurrentFormat.Format.nSamplesPerSec, m_FramesPerTransfer, m_Rate);
        }
    }
    ReturnTransfer(m_FeedbackPool, transfer);
    TransferDone();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CUac2RenderStream::AbortPipe()
{
    if (!m_RunningClient || !IsRawData(m_RunningClient->Format))
        return STATUS_SUCCESS;
    IUsbLowerRequests *lower = Lower();
    if (!lower)
        return STATUS_UNSUCCESSFUL;
    auto *urb = static_cast<PURB>(AllocPoolZeroed(sizeof(URB), NonPagedPool, PoolTag::pmet));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (urb)
    {
        UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_INTERFACE, sizeof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              USBD_TRANSFER_DIRECTION_OUT, 0, kAbortRawRequest, 0, m_InterfaceNumber, nullptr,
                              nullptr, 0, nullptr);
        status = lower->SubmitUrb(urb);
        FreePool(urb);
    }
    lower->Release();
    return status;
}

NTSTATUS CUac2RenderStream::RecoverStream()
{
    IUsbLowerRequests *lower = Lower();
    if (!lower)
        return STATUS_UNSUCCESSFUL;
    NTSTATUS status = BeginRecovery(lower);
    if (NT_SUCCESS(status))
    {
        status = ResetPipe(lower, DataPipe());
        if (NT_SUCCESS(status) && FeedbackPipe())
            status = ResetPipe(lower, FeedbackPipe());
        // Feedback transfers go as soon as possible, so only the data needs a start frame.
        m_NextStartFrame = GetCurrentFrameNumber() + STREAM_RESTART_LEAD_FRAMES;
        if (NT_SUCCESS(status))
            status = SubmitUpTo(kRecoveryTransfers, STREAM_RESTART_LEAD_FRAMES);
        // A stream whose pipes cannot be reset stays silent: the device is enumerated afresh.
        if (!NT_SUCCESS(status))
            lower->CyclePort();
    }
    lower->Release();
    return status;
}

// ---- Capture --------------------------------------------------------------------------------------

NTSTATUS CUac2CaptureStream::PrepareFormat(StreamClientRecord *client, PULONG currentFrame)
{
    return PrepareCapture(client, currentFrame, TRUE);
}

NTSTATUS CUac2CaptureStream::SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord *client)
{
    return SelectInterface(alternateSetting, client, FALSE, FALSE);
}

BOOLEAN CUac2CaptureStream::IsAlternateSettingValid(UCHAR alternateSetting)
{
    return CUsbAudioStream::IsAlternateSettingValid(alternateSetting) &&
           ValidOnDevice(Lower(), m_InterfaceNumber, alternateSetting);
}

void CUac2CaptureStream::CopyCapturedData(PURB urb, PUCHAR buffer)
{
    const ULONG blockAlign = m_CurrentFormat.Format.nBlockAlign;
    const ULONG missing = blockAlign * (m_CurrentFormat.Format.nSamplesPerSec / m_PacketsPerFrame / 1000 + 1);
    KIRQL old;
    KeAcquireSpinLock(&m_RingLock, &old);
    ULONG start = m_RingWrite;
    ULONG total = CopyPacketsToRing(urb, buffer, missing);
    if (total > m_RingSize)
    {
        total = m_RingSize;
        start = m_RingWrite;
    }
    // Exactly this transfer's bytes, from where it began, in at most two contiguous pieces.
    const ULONG first = m_RingSize - start < total ? m_RingSize - start : total;
    if (first)
    {
        m_Engine->ProcessBlock(m_Ring + start, first);
        SendMessage(CYCLIC_MSG_CAPTURE_DATA, ULONG_PTR(m_Ring + start), first);
    }
    if (total > first)
    {
        m_Engine->ProcessBlock(m_Ring, total - first);
        SendMessage(CYCLIC_MSG_CAPTURE_DATA, ULONG_PTR(m_Ring), total - first);
    }
    if (total)
        SendMessage(CYCLIC_MSG_POSITION, total, 0);
    KeReleaseSpinLock(&m_RingLock, old);
}
