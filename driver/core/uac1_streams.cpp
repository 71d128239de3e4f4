// The class 1.0 render and capture streams: their preparation, selection and transfer paths.
#include "driver/core/usb_audio_stream.h"

#include <usbd_lib.h>

#include <pc_port.h>

#include "driver/base/pool_memory.h"

namespace
{
template <class T>
NTSTATUS NewStream(BOOLEAN capture, UCHAR interfaceNumber, ULONG tag, IStreamBuilder **stream)
{
    (void)capture;
    auto *object = new (NonPagedPool, tag) T(nullptr, interfaceNumber, 0);
    if (!object)
        return STATUS_INSUFFICIENT_RESOURCES;
    object->NonDelegatingUnknown()->AddRef();
    *stream = object;
    return STATUS_SUCCESS;
}
} // namespace

NTSTATUS CreateUac1Stream(const UsbAudioFunctionInputs &inputs, BOOLEAN capture, UCHAR interfaceNumber, ULONG,
                          ULONG, ULONG tag, IStreamBuilder **stream)
{
    if (!stream)
        return STATUS_INVALID_PARAMETER;
    *stream = nullptr;
    if (capture)
        return NewStream<CUac1CaptureStream>(capture, interfaceNumber, tag, stream);
    if (inputs.DeviceClass == UsbAudioDeviceClass::Mirk)
        return NewStream<CUac1RenderStreamEx>(capture, interfaceNumber, tag, stream);
    if (inputs.DeviceClass == UsbAudioDeviceClass::Plon || inputs.DeviceClass == UsbAudioDeviceClass::Grue)
        return NewStream<CUac1DspRenderStream>(capture, interfaceNumber, tag, stream);
    return NewStream<CUac1RenderStream>(capture, interfaceNumber, tag, stream);
}

// ---- Render ---------------------------------------------------------------------------------------

NTSTATUS CUac1RenderStream::PrepareFormat(StreamClientRecord *client, PULONG currentFrame)
{
    return PrepareRender(client, currentFrame, FALSE);
}

NTSTATUS CUac1RenderStream::PrepareRender(StreamClientRecord *client, PULONG currentFrame, BOOLEAN classTwo)
{
    UCHAR alternate = 0;
    NTSTATUS status = TakeClientValues(client, currentFrame, &alternate);
    if (!NT_SUCCESS(status))
        return status;
    const WAVEFORMATEX &f = client->Format.Format;
    m_PacketsPerFrame = GetPacketsPerFrame(alternate);
    m_Rate = f.nSamplesPerSec;
    m_SamplesPerPacket = f.nSamplesPerSec / (m_PacketsPerFrame * 1000);
    if (classTwo && !NT_SUCCESS(status = SelectClockRate(f.nSamplesPerSec)))
        return status;
    const ULONG packets = m_FramesPerTransfer * m_PacketsPerFrame;
    const ULONG buffer = f.nBlockAlign * (f.nSamplesPerSec / 1000 / m_PacketsPerFrame + 1) * packets;
    return PrepareTransfers(client, alternate, buffer, classTwo ? PoolTag::US20 : PoolTag::US10,
                            currentFrame);
}

NTSTATUS CUac1RenderStream::SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord *client)
{
    // A device that refuses the rate request still plays at its own rate.
    return SelectInterface(alternateSetting, client, TRUE, FALSE);
}

NTSTATUS CUac1RenderStream::RestartStream()
{
    m_Accumulator = 0;
    return CUsbAudioStream::RestartStream();
}

NTSTATUS CUac1RenderStream::SubmitTransfer()
{
    return SubmitWith(
        [this](IsoTransfer *transfer)
        {
            const ULONG packets = m_FramesPerTransfer * m_PacketsPerFrame;
            const ULONG bytes = FillRenderTransfer(transfer, packets);
            SendTransfer(transfer, packets, USBD_TRANSFER_DIRECTION_OUT, bytes);
        });
}

NTSTATUS CUac1RenderStream::CompleteTransfer(PDEVICE_OBJECT, IRP *irp, IsoTransfer *transfer)
{
    return CompleteRender(irp, transfer);
}

NTSTATUS CUac1RenderStream::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    if (IsEqualId(iid, IID_IStreamDrm))
    {
        if (!object)
            return STATUS_INVALID_PARAMETER;
        *object = static_cast<IStreamDrm *>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CUsbAudioStream::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CUac1RenderStream::SetContentId(ULONG contentId, PCDRMRIGHTS rights)
{
    if (!m_Engine)
        return STATUS_UNSUCCESSFUL;
    // The port calls in on its own thread; a client's close or new format frees the pipe's record
    // under the stream lock.
    CMutexHold hold(m_Engine->StreamLock());
    PUSBD_PIPE_INFORMATION pipe = DataPipe();
    IUsbLowerRequests *lower = Lower();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (pipe && lower)
    {
        const DRMFORWARD forward = {0, lower->GetLowerDevice(), pipe->PipeHandle, pipe->PipeHandle};
        status = PcForwardContentToDeviceObject(contentId, rights, &forward);
    }
    if (lower)
        lower->Release();
    return status;
}

// ---- Capture --------------------------------------------------------------------------------------

NTSTATUS CUac1CaptureStream::PrepareFormat(StreamClientRecord *client, PULONG currentFrame)
{
    return PrepareCapture(client, currentFrame, FALSE);
}

NTSTATUS CUac1CaptureStream::PrepareCapture(StreamClientRecord *client, PULONG currentFrame, BOOLEAN classTwo)
{
    UCHAR alternate = 0;
    NTSTATUS status = TakeClientValues(client, currentFrame, &alternate);
    if (!NT_SUCCESS(status))
        return status;
    const WAVEFORMATEX &f = client->Format.Format;
    // At least 10 ms in flight, so a late completion does not leave the device without a buffer.
    if (m_FramesPerTransfer * m_TransfersInFlight < 10)
        m_TransfersInFlight = (10 + m_FramesPerTransfer - 1) / m_FramesPerTransfer;
    if (classTwo)
    {
        client->TransfersInFlight = m_TransfersInFlight;
        if (!NT_SUCCESS(status = SelectClockRate(f.nSamplesPerSec)))
            return status;
    }
    // A packet slot holds what the data endpoint may send at most.
    IUsbLowerRequests *lower = Lower();
    UacStreamEndpoints endpoints{};
    PCSTR rule = nullptr;
    const BOOLEAN checked = NT_SUCCESS(CheckEndpoints(lower, alternate, &endpoints, &rule));
    if (lower)
        lower->Release();
    m_PacketsPerFrame = checked ? endpoints.PacketsPerFrame : 1;
    m_SamplesPerPacket = checked && endpoints.MaxPacketBytes >= f.nBlockAlign
                             ? endpoints.MaxPacketBytes / f.nBlockAlign
                             : f.nSamplesPerSec / (m_PacketsPerFrame * 1000) + 6;
    const ULONG packets = m_FramesPerTransfer * m_PacketsPerFrame;
    const ULONG buffer = f.nBlockAlign * packets * m_SamplesPerPacket;
    return PrepareTransfers(client, alternate, buffer, classTwo ? PoolTag::US20 : PoolTag::US10,
                            currentFrame);
}

NTSTATUS CUac1CaptureStream::SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord *client)
{
    return SelectInterface(alternateSetting, client, TRUE, TRUE);
}

NTSTATUS CUac1CaptureStream::SubmitTransfer()
{
    return SubmitWith(
        [this](IsoTransfer *transfer)
        {
            const ULONG packets = m_FramesPerTransfer * m_PacketsPerFrame;
            const ULONG slot = m_CurrentFormat.Format.nBlockAlign * m_SamplesPerPacket;
            for (ULONG i = 0; i < packets; ++i)
                transfer->Urb->UrbIsochronousTransfer.IsoPacket[i].Offset = i * slot;
            transfer->Bytes = packets * slot;
            SendTransfer(transfer, packets, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                         packets * slot);
        });
}

ULONG CUac1CaptureStream::CopyPacketsToRing(PURB urb, PUCHAR buffer, ULONG missing)
{
    URB_ISOCH_TRANSFER &iso = urb->UrbIsochronousTransfer;
    const ULONG slot = m_CurrentFormat.Format.nBlockAlign * m_SamplesPerPacket;
    ULONG total = 0;
    for (ULONG i = 0; i < iso.NumberOfPackets; ++i)
    {
        USBD_ISO_PACKET_DESCRIPTOR &packet = iso.IsoPacket[i];
        const ULONG offset = i * slot; // where the packet was asked to land
        ULONG length = packet.Length;
        if (length == 0 && USBD_SUCCESS(packet.Status))
        {
            // A packet the device did not send is a packet of silence.
            length = missing < slot ? missing : slot;
            RtlZeroMemory(buffer + offset, length);
        }
        if (length > slot)
            length = slot;
        if (length > m_RingSize)
            length = m_RingSize;
        const ULONG first = m_RingSize - m_RingWrite < length ? m_RingSize - m_RingWrite : length;
        RtlCopyMemory(m_Ring + m_RingWrite, buffer + offset, first);
        RtlCopyMemory(m_Ring, buffer + offset + first, length - first);
        m_RingWrite = (m_RingWrite + length) % m_RingSize;
        total += length;
    }
    return total;
}

void CUac1CaptureStream::CopyCapturedData(PURB urb, PUCHAR buffer)
{
    const ULONG blockAlign = m_CurrentFormat.Format.nBlockAlign;
    KIRQL old;
    KeAcquireSpinLock(&m_RingLock, &old);
    CopyPacketsToRing(urb, buffer, blockAlign * (m_CurrentFormat.Format.nSamplesPerSec / 1000 + 1));
    ULONG available = (m_RingWrite + m_RingSize - m_RingRead) % m_RingSize;
    available -= available % blockAlign;
    if (available)
    {
        const ULONG first = m_RingSize - m_RingRead < available ? m_RingSize - m_RingRead : available;
        m_Engine->ProcessBlock(m_Ring + m_RingRead, first);
        SendMessage(CYCLIC_MSG_CAPTURE_DATA, ULONG_PTR(m_Ring + m_RingRead), first);
        if (available > first)
        {
            m_Engine->ProcessBlock(m_Ring, available - first);
            SendMessage(CYCLIC_MSG_CAPTURE_DATA, ULONG_PTR(m_Ring), available - first);
        }
        SendMessage(CYCLIC_MSG_POSITION, available, 0);
        m_RingRead = (m_RingRead + available) % m_RingSize;
    }
    KeReleaseSpinLock(&m_RingLock, old);
}

NTSTATUS CUac1CaptureStream::CompleteTransfer(PDEVICE_OBJECT, IRP *irp, IsoTransfer *transfer)
{
    if (KeepLateTransfer(irp, transfer))
        return STATUS_MORE_PROCESSING_REQUIRED;
    const NTSTATUS irpStatus = irp->IoStatus.Status;
    if (NT_SUCCESS(irpStatus) && m_Ring && m_RingSize)
        CopyCapturedData(transfer->Urb, transfer->Buffer);
    BOOLEAN next = FALSE;
    if (m_StreamState == STREAM_RUNNING && irpStatus != STATUS_CANCELLED)
        next = JudgeCompletion(irpStatus, transfer->Urb);
    return FinishCompletion(transfer, next);
}
