// The device object's worker threads: the class 1.0 status thread on the AudioControl interrupt
// pipe, the class 2.0 status thread (with its second pipe kept busy) and the Mirk chip's switch
// polling. Each turns what the device reports into refreshes of units and engines.
//
// Every thread owns its requests. A request is sent again only after its completion was seen, and a
// thread never frees a request before its completion has run: stopping aborts or cancels, then waits.
#include <usb_ioctl.h>
#include <usbd_lib.h>

#include "driver/base/pool_memory.h"
#include "driver/core/uac_requests.h"
#include "driver/core/usb_audio_device.h"

namespace
{

constexpr ULONG kOriginatorMask = 0x0F; // bStatusType bits 3-0: 0 is the AudioControl interface
constexpr ULONG kConnectorControl = 2;
constexpr UCHAR kUac2Cur = 1;
constexpr UCHAR kHidInterface = 3, kHidGetReport = 0x01;
constexpr USHORT kInputReport = 0x0100;

// One IN transfer on an interrupt or bulk pipe: its IRP (from the lower requests), URB, buffer and
// the event its completion sets. The event starts signalled, so waiting on an idle transfer returns.
// The lower requests are asked for once and held to the end, so the IRP they gave is always given
// back to them.
class CStatusRead
{
public:
    CStatusRead() { KeInitializeEvent(&m_Done, NotificationEvent, TRUE); }
    CStatusRead(const CStatusRead &) = delete;
    CStatusRead &operator=(const CStatusRead &) = delete;
    ~CStatusRead()
    {
        WaitIdle();
        FreePool(m_Urb);
        FreePool(m_Data);
        if (m_Irp)
            m_Lower->FreeIrp(m_Irp);
        if (m_Lower)
            m_Lower->Release();
    }

    NTSTATUS Allocate(PUNKNOWN outer, USBD_PIPE_HANDLE pipe, ULONG length, ULONG tag)
    {
        m_Pipe = pipe;
        m_Length = length;
        m_Urb = static_cast<PURB>(AllocPoolZeroed(sizeof(URB), NonPagedPool, tag));
        m_Data = m_Urb ? static_cast<PUCHAR>(AllocPoolZeroed(length, NonPagedPool, tag)) : nullptr;
        if (!m_Data)
            return STATUS_INSUFFICIENT_RESOURCES;
        m_Lower = QueryAs<IUsbLowerRequests>(outer, IID_IUsbLowerRequests);
        if (!m_Lower)
            return STATUS_UNSUCCESSFUL;
        m_Irp = m_Lower->AllocateIrp();
        return m_Irp ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }

    // Builds the transfer and hands it down. The event is cleared only right before the call, so a
    // failure before it leaves nothing to wait for.
    NTSTATUS Submit()
    {
        if (!m_Irp)
            return STATUS_UNSUCCESSFUL;
        RtlZeroMemory(m_Urb, sizeof(URB));
        UsbBuildInterruptOrBulkTransferRequest(m_Urb, USHORT(sizeof(URB_BULK_OR_INTERRUPT_TRANSFER)), m_Pipe,
                                               m_Data, nullptr, m_Length,
                                               USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
        if (m_Used)
            IoReuseIrp(m_Irp, STATUS_NOT_SUPPORTED);
        m_Used = TRUE;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(m_Irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = m_Urb;
        next->Parameters.Others.Argument2 = nullptr;
        IoSetCompletionRoutine(m_Irp, Completed, &m_Done, TRUE, TRUE, TRUE);
        KeClearEvent(&m_Done);
        return m_Lower->CallLower(m_Irp);
    }

    void WaitIdle() { KeWaitForSingleObject(&m_Done, Executive, KernelMode, FALSE, nullptr); }
    // Ends an outstanding transfer; its completion still sets the event.
    void Cancel()
    {
        if (m_Irp && !KeReadStateEvent(&m_Done))
            IoCancelIrp(m_Irp);
    }
    BOOLEAN Failed() const { return !NT_SUCCESS(m_Irp->IoStatus.Status); }
    ULONG Received() const { return m_Urb->UrbBulkOrInterruptTransfer.TransferBufferLength; }
    const UCHAR *Data() const { return m_Data; }
    PKEVENT Done() { return &m_Done; }

private:
    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP, PVOID context)
    {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED; // the IRP stays the thread's
    }

    KEVENT m_Done;
    IUsbLowerRequests *m_Lower = nullptr;
    USBD_PIPE_HANDLE m_Pipe = nullptr;
    PIRP m_Irp = nullptr;
    PURB m_Urb = nullptr;
    PUCHAR m_Data = nullptr;
    ULONG m_Length = 0;
    BOOLEAN m_Used = FALSE;
};

// Waits for the first of the objects; returns its index.
ULONG WaitFirst(ULONG count, PVOID *objects)
{
    return ULONG(
        KeWaitForMultipleObjects(count, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr) -
        STATUS_WAIT_0);
}

} // namespace

// ---- Shared -------------------------------------------------------------------------------------------

NTSTATUS CUsbAudioDevice::SelectStatusPipes(USHORT statusPacket, BOOLEAN findSecond)
{
    m_StatusPipeIndex = m_SecondPipeIndex = 0xFF;
    IUsbLowerRequests *lower = QueryAs<IUsbLowerRequests>(GetOuterUnknown(), IID_IUsbLowerRequests);
    if (!lower)
        return STATUS_UNSUCCESSFUL;
    PUSB_CONFIGURATION_DESCRIPTOR config = lower->GetConfigurationDescriptor();
    PURB selection = lower->GetSelectedConfiguration();
    const UCHAR number = lower->GetInterfaceNumber();
    PUSB_INTERFACE_DESCRIPTOR found =
        config ? USBD_ParseConfigurationDescriptorEx(config, config, number, 0, USB_DEVICE_CLASS_AUDIO,
                                                     USB_AUDIO_SUBCLASS_AUDIOCONTROL, -1)
               : nullptr;
    if (!found || !selection)
    {
        lower->Release();
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG pipes = found->bNumEndpoints < USBD_MAX_PIPES_PER_INTERFACE ? found->bNumEndpoints
                                                                            : USBD_MAX_PIPES_PER_INTERFACE;
    if (pipes == 0)
    {
        lower->Release();
        return STATUS_SUCCESS;
    }
    const USHORT size = GET_SELECT_INTERFACE_REQUEST_SIZE(pipes);
    auto *urb = static_cast<PURB>(AllocPoolZeroed(size, NonPagedPool, PoolTag::URB));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (urb)
    {
        UsbBuildSelectInterfaceRequest(urb, size, selection->UrbSelectConfiguration.ConfigurationHandle,
                                       number, 0);
        urb->UrbSelectInterface.Interface.Length = GET_USBD_INTERFACE_SIZE(pipes);
        for (ULONG i = 0; i < pipes; ++i)
            urb->UrbSelectInterface.Interface.Pipes[i].MaximumTransferSize =
                USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        status = lower->SubmitUrb(urb);
    }
    lower->Release();
    if (NT_SUCCESS(status))
    {
        const USHORT bytes = urb->UrbSelectInterface.Interface.Length;
        FreePool(m_InterfaceInfo);
        m_InterfaceInfo = bytes >= GET_USBD_INTERFACE_SIZE(0) && bytes <= GET_USBD_INTERFACE_SIZE(pipes)
                              ? static_cast<PUSBD_INTERFACE_INFORMATION>(AllocPoolZeroed(
                                    GET_USBD_INTERFACE_SIZE(pipes), NonPagedPool, PoolTag::URB))
                              : nullptr;
        if (!m_InterfaceInfo)
            status = STATUS_INSUFFICIENT_RESOURCES;
        else
            RtlCopyMemory(m_InterfaceInfo, &urb->UrbSelectInterface.Interface, bytes);
    }
    FreePool(urb);
    if (!NT_SUCCESS(status))
        return status;
    // Only the pipes the copy holds count, whatever the stack reported.
    ULONG held = m_InterfaceInfo->NumberOfPipes < pipes ? m_InterfaceInfo->NumberOfPipes : pipes;
    for (ULONG i = 0; i < held; ++i)
    {
        const USBD_PIPE_INFORMATION &pipe = m_InterfaceInfo->Pipes[i];
        if (!(pipe.EndpointAddress & 0x80))
            continue;
        const BOOLEAN status6 =
            pipe.PipeType == UsbdPipeTypeInterrupt && pipe.MaximumPacketSize == statusPacket;
        const BOOLEAN bulk = findSecond && pipe.PipeType == UsbdPipeTypeBulk;
        if (status6 && m_StatusPipeIndex == 0xFF)
            m_StatusPipeIndex = UCHAR(i);
        else if (bulk && m_SecondPipeIndex == 0xFF)
            m_SecondPipeIndex = UCHAR(i);
        else if (findSecond && (status6 || bulk))
            break;
    }
    if (m_StatusPipeIndex == 0xFF)
    {
        FreePool(m_InterfaceInfo);
        m_InterfaceInfo = nullptr;
        m_SecondPipeIndex = 0xFF;
    }
    return STATUS_SUCCESS;
}

USBD_PIPE_HANDLE CUsbAudioDevice::PipeHandle(UCHAR index) const
{
    return m_InterfaceInfo && index < m_InterfaceInfo->NumberOfPipes
               ? m_InterfaceInfo->Pipes[index].PipeHandle
               : nullptr;
}

NTSTATUS CUsbAudioDevice::LaunchThread(PKSTART_ROUTINE routine, KPRIORITY priority)
{
    HANDLE handle = nullptr;
    KeClearEvent(&m_StopEvent);
    KeClearEvent(&m_ExitEvent);
    NTSTATUS status =
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, this);
    if (!NT_SUCCESS(status))
        return status;
    PVOID thread = nullptr;
    status =
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(handle);
    if (!NT_SUCCESS(status))
    {
        // Without the object the thread cannot be waited for by it: ask it to end and wait here.
        KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&m_ExitEvent, Executive, KernelMode, FALSE, nullptr);
        return status;
    }
    m_Thread = static_cast<PKTHREAD>(thread);
    KeSetPriorityThread(m_Thread, priority);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioDevice::StartStatusThread(USHORT statusPacket, BOOLEAN findSecond, PKSTART_ROUTINE routine,
                                            KPRIORITY priority)
{
    NTSTATUS status = SelectStatusPipes(statusPacket, findSecond);
    if (NT_SUCCESS(status) && m_StatusPipeIndex != 0xFF)
    {
        status = LaunchThread(routine, priority);
        if (!NT_SUCCESS(status))
            EndThread(); // nothing waits for a thread that never ran
    }
    return status;
}

void CUsbAudioDevice::EndThread()
{
    if (m_Thread)
    {
        KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&m_ExitEvent, Executive, KernelMode, FALSE, nullptr);
        // The thread sets the exit event as its last act; its end follows at once.
        KeWaitForSingleObject(m_Thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(m_Thread);
        m_Thread = nullptr;
    }
    FreePool(m_InterfaceInfo);
    m_InterfaceInfo = nullptr;
    m_StatusPipeIndex = m_SecondPipeIndex = 0xFF;
    KeClearEvent(&m_StopEvent);
    KeClearEvent(&m_ExitEvent);
}

void CUsbAudioDevice::ThreadExit(CUsbAudioDevice *device)
{
    KeSetEvent(&device->m_ExitEvent, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// ---- Class 1.0 ----------------------------------------------------------------------------------------

NTSTATUS CUac1Device::StartAll()
{
    if (m_Thread)
        return CAudioHal::StartAll();
    NTSTATUS status = StartStatusThread(USHORT(UAC1_STATUS_BYTES), FALSE, StatusThread, UAC1_STATUS_PRIORITY);
    if (NT_SUCCESS(status))
        status = CAudioHal::StartAll();
    if (NT_SUCCESS(status) && !m_Thread)
        ReadCurrentState();
    return status;
}

void CUac1Device::ReadCurrentState()
{
    ULONG id = 0;
    for (ULONG i = 0; NT_SUCCESS(m_Model.UnitIdAt(i, &id)); ++i)
        RefreshUnit(id);
}

NTSTATUS CUac1Device::StopAll()
{
    const NTSTATUS status = CAudioHal::StopAll();
    EndThread();
    return status;
}

VOID CUac1Device::StatusThread(PVOID context)
{
    auto *device = static_cast<CUac1Device *>(static_cast<CUsbAudioDevice *>(context));
    device->RunStatusThread();
    ThreadExit(device);
}

void CUac1Device::RunStatusThread()
{
    CStatusRead read;
    PURB abort = static_cast<PURB>(AllocPoolZeroed(sizeof(URB), NonPagedPool, PoolTag::UAC1));
    if (!abort ||
        !NT_SUCCESS(read.Allocate(GetOuterUnknown(), PipeHandle(m_StatusPipeIndex), UAC1_STATUS_BYTES,
                                  PoolTag::UAC1)) ||
        !NT_SUCCESS(read.Submit()))
    {
        FreePool(abort);
        return;
    }
    ReadCurrentState(); // what changed before the thread ran
    PVOID objects[] = {&m_StopEvent, read.Done()};
    for (;;)
    {
        if (WaitFirst(2, objects) == 0)
        {
            abort->UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
            abort->UrbPipeRequest.Hdr.Length = USHORT(sizeof(URB_PIPE_REQUEST));
            abort->UrbPipeRequest.PipeHandle = PipeHandle(m_StatusPipeIndex);
            IUsbLowerRequests *lower = QueryAs<IUsbLowerRequests>(GetOuterUnknown(), IID_IUsbLowerRequests);
            const NTSTATUS aborted = lower ? lower->SubmitUrb(abort) : STATUS_UNSUCCESSFUL;
            if (lower)
                lower->Release();
            if (!NT_SUCCESS(aborted))
                read.Cancel(); // the transfer must end before its buffers go
            break;
        }
        if (read.Failed())
            break;
        if (read.Received() >= UAC1_STATUS_BYTES && (read.Data()[0] & kOriginatorMask) == 0)
            RefreshUnit(read.Data()[1]);
        if (!NT_SUCCESS(read.Submit()))
            break;
    }
    FreePool(abort); // the read waits for its transfer as it goes
}

// ---- Class 2.0 ----------------------------------------------------------------------------------------

NTSTATUS CUac2Device::StartAll()
{
    if (m_Thread)
        return STATUS_SUCCESS;
    const NTSTATUS status =
        StartStatusThread(USHORT(UAC2_STATUS_BYTES), TRUE, StatusThread, UAC2_STATUS_PRIORITY);
    if (NT_SUCCESS(status) && !m_Thread)
        ReadCurrentState();
    return status;
}

void CUac2Device::ReadCurrentState()
{
    ULONG id = 0;
    for (ULONG i = 0; NT_SUCCESS(m_Model.UnitIdAt(i, &id)); ++i)
        if (m_Model.IsTerminal(id))
            SetUnitValue(id, kConnectorControl, 0);
}

NTSTATUS CUac2Device::StopAll()
{
    EndThread();
    return STATUS_SUCCESS;
}

VOID CUac2Device::StatusThread(PVOID context)
{
    auto *device = static_cast<CUac2Device *>(static_cast<CUsbAudioDevice *>(context));
    device->RunStatusThread();
    ThreadExit(device);
}

void CUac2Device::RunStatusThread()
{
    CStatusRead read, second;
    const BOOLEAN hasSecond = m_SecondPipeIndex != 0xFF;
    if (hasSecond && (!NT_SUCCESS(second.Allocate(GetOuterUnknown(), PipeHandle(m_SecondPipeIndex),
                                                  UAC2_SECOND_READ_BYTES, PoolTag::UAC2)) ||
                      !NT_SUCCESS(second.Submit())))
        return;
    if (!NT_SUCCESS(read.Allocate(GetOuterUnknown(), PipeHandle(m_StatusPipeIndex), UAC2_STATUS_BYTES,
                                  PoolTag::UAC2)) ||
        !NT_SUCCESS(read.Submit()))
    {
        second.Cancel();
        return;
    }
    // Jacks plugged before the thread ran: their endpoints appear without waiting for a change.
    ReadCurrentState();
    PVOID objects[] = {&m_StopEvent, read.Done(), second.Done()};
    // A failed second read leaves its event set; it leaves the wait set, or the loop would spin.
    ULONG count = hasSecond ? 3 : 2;
    for (;;)
    {
        const ULONG which = WaitFirst(count, objects);
        if (which == 0)
        {
            read.Cancel();
            second.Cancel();
            break;
        }
        if (which == 2)
        {
            if (second.Failed() || !NT_SUCCESS(second.Submit()))
                count = 2;
            continue;
        }
        if (read.Failed())
            break;
        const UCHAR *m = read.Data();
        if (read.Received() >= UAC2_STATUS_BYTES && (m[0] & 3) == 0 && m[1] == kUac2Cur &&
            m[4] == m_Model.ControlInterface())
            SetUnitValue(m[5], m[3], m[2]);
        if (!NT_SUCCESS(read.Submit()))
            break;
    }
    second.Cancel();
}

// ---- The Mirk chip's switch -----------------------------------------------------------------------------

NTSTATUS CUac1DeviceMirk::StartAll()
{
    const NTSTATUS status = CAudioHal::StartAll();
    if (!m_StatusThreadWanted || m_ThreadRunning)
        return status;
    if (NT_SUCCESS(LaunchThread(PollThread, MIRK_POLL_PRIORITY)))
        m_ThreadRunning = TRUE;
    return status;
}

NTSTATUS CUac1DeviceMirk::StopAll()
{
    const NTSTATUS status = CAudioHal::StopAll();
    if (m_ThreadRunning)
    {
        EndThread();
        m_ThreadRunning = FALSE;
    }
    return status;
}

VOID CUac1DeviceMirk::PollThread(PVOID context)
{
    auto *device = static_cast<CUac1DeviceMirk *>(static_cast<CUsbAudioDevice *>(context));
    device->RunPollThread();
    ThreadExit(device);
}

NTSTATUS CUac1DeviceMirk::ReadSwitch(PUCHAR sample)
{
    UCHAR report[MIRK_SWITCH_REPORT_BYTES] = {};
    ULONG got = 0;
    const UacRequestTarget target{m_Lower, kHidInterface, UacVersion::Uac1, PoolTag::Mirk};
    NTSTATUS status =
        UacFormRequest(target, FALSE, TRUE, kHidGetReport, kInputReport, 0, report, sizeof(report), &got);
    if (NT_SUCCESS(status) && got < 1)
        status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status))
        *sample = (report[0] & MIRK_SWITCH_BIT) ? 0 : 1;
    return status;
}

void CUac1DeviceMirk::ApplySwitchMode(ULONG mode, ULONG hardwareMute)
{
    IUsbAudioUnit *unit = nullptr;
    if (NT_SUCCESS(m_Model.FindUnitById(MIRK_HARDWARE_MUTE_UNIT, &unit)))
        if (IHardwareMute *mute = QueryAs<IHardwareMute>(unit, IID_IHardwareMute))
        {
            mute->SetHardwareMute(hardwareMute);
            mute->Release();
        }
    m_SwitchMode = mode;
    if (IHardwareMuteStage *stage = m_Model.HardwareMuteStage())
        stage->SetMode(mode);
}

void CUac1DeviceMirk::RunPollThread()
{
    UCHAR ring[MIRK_SWITCH_SAMPLES] = {};
    if (!NT_SUCCESS(ReadSwitch(&ring[0])))
        return;
    ULONG next = 1, mode = 0;
    m_SwitchMode = 0;
    LARGE_INTEGER due;
    KeQuerySystemTime(&due);
    due.QuadPart += LONGLONG(MIRK_POLL_MS) * 10000; // absolute: the period does not drift
    KeSetTimerEx(&m_PollTimer, due, MIRK_POLL_MS, nullptr);
    IHardwareMuteStage *stage = m_Model.HardwareMuteStage();
    if (stage)
        ApplySwitchMode(0, 1);
    static const UCHAR zeros[MIRK_SWITCH_SAMPLES] = {};
    static const UCHAR ones[MIRK_SWITCH_SAMPLES] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                                    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    PVOID objects[] = {&m_StopEvent, &m_PollTimer};
    while (WaitFirst(2, objects) == 1)
    {
        if (!NT_SUCCESS(ReadSwitch(&ring[next])))
            break;
        next = (next + 1) % MIRK_SWITCH_SAMPLES;
        if (!stage)
            continue;
        if (RtlCompareMemory(ring, zeros, sizeof ring) == sizeof ring)
        {
            if (mode != 0)
                ApplySwitchMode(mode = 0, 1);
        }
        else if (RtlCompareMemory(ring, ones, sizeof ring) == sizeof ring)
        {
            if (mode != 2)
                ApplySwitchMode(mode = 2, 0);
        }
        else if (mode == 0)
            ApplySwitchMode(mode = 1, 0);
    }
    KeCancelTimer(&m_PollTimer);
}
