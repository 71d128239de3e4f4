// The adapter's USB device layer.
#include "driver/core/usb_device_layer.h"

#include "driver/core/usb_descriptor_reader.h"
#include "driver/base/pool_memory.h"

namespace
{

LARGE_INTEGER RelativeMs(LONG ms)
{
    LARGE_INTEGER t;
    t.QuadPart = -LONGLONG(ms) * 10000;
    return t;
}

POWER_STATE DeviceState(DEVICE_POWER_STATE s)
{
    POWER_STATE p;
    p.DeviceState = s;
    return p;
}

} // namespace

CUsbDeviceLayer::CUsbDeviceLayer(PUNKNOWN outer, PUSBADAPTERHOOKS hooks) : m_Outer(outer), m_Hooks(hooks)
{
    KeInitializeSpinLock(&m_IdleLock);
    KeInitializeEvent(&m_IdleDone, NotificationEvent, TRUE);
    KeInitializeEvent(&m_PowerUpDone, NotificationEvent, TRUE);
    KeInitializeEvent(&m_IdleWorkDone, NotificationEvent, TRUE);
    KeInitializeEvent(&m_IdleCallbackDone, NotificationEvent, TRUE);
    KeInitializeEvent(&m_FlushDone, NotificationEvent, FALSE);
    // A synchronization timer: nothing waits on it, and it must not read as signalled between checks.
    KeInitializeTimerEx(&m_IdleTimer, SynchronizationTimer);
    KeInitializeDpc(&m_IdleDpc, IdleTimerDpc, this);
    KeInitializeDpc(&m_FlushDpc, FlushDpc, this);
}

CUsbDeviceLayer::~CUsbDeviceLayer()
{
    Shutdown();
}

NTSTATUS CUsbDeviceLayer::Initialize(PDEVICE_OBJECT functionalDevice, PDEVICE_OBJECT lowerDevice,
                                     PDEVICE_OBJECT physicalDevice)
{
    PAGED_CODE();
    m_DeviceObject = functionalDevice;
    m_LowerDevice = lowerDevice;
    m_PhysicalDevice = physicalDevice;
    m_IrpStackSize = CHAR(functionalDevice->StackSize + 1);
    m_Connected = TRUE;
    if (!m_IdleWork)
        m_IdleWork = IoAllocateWorkItem(functionalDevice);
    if (!m_IdleWork)
        return STATUS_INSUFFICIENT_RESOURCES;
    // A started device is working: the resolution is held from here, and only while in D0, so that
    // construction and destruction of an adapter that never started take none.
    HoldTimerResolution(true);
    return STATUS_SUCCESS;
}

// ---- Simple operations ---------------------------------------------------------------------------

NTSTATUS CUsbDeviceLayer::SetConnected(BOOLEAN connected)
{
    InterlockedExchange(&m_Connected, connected ? TRUE : FALSE);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbDeviceLayer::FreeIrp(PIRP irp)
{
    IoFreeIrp(irp);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbDeviceLayer::GetCurrentFrame(PULONG frame)
{
    *frame = 0;
    if (!m_BusInterfaceHeld || !m_BusInterface.QueryBusTime)
        return STATUS_UNSUCCESSFUL;
    ULONG current = 0;
    NTSTATUS status = m_BusInterface.QueryBusTime(m_BusInterface.BusContext, &current);
    if (NT_SUCCESS(status))
        *frame = current;
    return status;
}

NTSTATUS CUsbDeviceLayer::StreamStarted()
{
    InterlockedIncrement(&m_StreamCount);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbDeviceLayer::StreamStopped()
{
    // A stop without a start must not take the count below zero: the device would never idle again.
    for (;;)
    {
        LONG count = m_StreamCount;
        if (count <= 0)
        {
            DbgPrint("StreamStopped StreamCount already 0\n");
            return STATUS_SUCCESS;
        }
        if (InterlockedCompareExchange(&m_StreamCount, count - 1, count) == count)
            return STATUS_SUCCESS;
    }
}

NTSTATUS CUsbDeviceLayer::QueryDeviceCapabilities(PPC_DEVICE_CAPABILITIES capabilities)
{
    if (!capabilities)
        return STATUS_INVALID_PARAMETER;
    capabilities->Flags |= PC_CAPS_SURPRISE_REMOVAL_OK;
    return STATUS_SUCCESS;
}

VOID CUsbDeviceLayer::Wait(PKEVENT event, LONG timeoutMs)
{
    LARGE_INTEGER timeout = RelativeMs(timeoutMs);
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, timeoutMs < 0 ? nullptr : &timeout);
}

// ---- Synchronous requests ------------------------------------------------------------------------

NTSTATUS CUsbDeviceLayer::SignalEventCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CUsbDeviceLayer::SendAndWait(PIRP irp, LONG timeoutMs)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    if (IofCallDriver(m_LowerDevice, irp) == STATUS_PENDING)
    {
        LARGE_INTEGER timeout = RelativeMs(timeoutMs);
        if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, timeoutMs < 0 ? nullptr : &timeout) ==
            STATUS_TIMEOUT)
        {
            // The routine still runs once the lower driver lets go, so the IRP stays ours to free.
            IoCancelIrp(irp);
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
    }
    // The routine has run in every case: the IRP's status is final.
    return irp->IoStatus.Status;
}

NTSTATUS CUsbDeviceLayer::SubmitUrb(PURB urb)
{
    PAGED_CODE();
    if (!m_Connected)
        return STATUS_UNSUCCESSFUL;
    PIRP irp = IoAllocateIrp(m_IrpStackSize, FALSE);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    InterlockedIncrement(&m_BusyCount);
    const NTSTATUS status = SendAndWait(irp, USB_REQUEST_TIMEOUT_MS);
    if (status == STATUS_DEVICE_NOT_CONNECTED)
        InterlockedExchange(&m_Connected, FALSE);
    IoFreeIrp(irp);
    InterlockedDecrement(&m_BusyCount);
    return status;
}

NTSTATUS CUsbDeviceLayer::PortRequest(ULONG ioControlCode, PULONG portStatus)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus = {};
    PIRP irp = IoBuildDeviceIoControlRequest(ioControlCode, m_LowerDevice, nullptr, 0, nullptr, 0, TRUE,
                                             &done, &ioStatus);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (portStatus)
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = portStatus;
    NTSTATUS status = IofCallDriver(m_LowerDevice, irp);
    if (status == STATUS_PENDING)
    {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

BOOLEAN CUsbDeviceLayer::IsDeviceGone()
{
    PAGED_CODE();
    if (!m_Connected)
        return TRUE;
    m_Hooks->SecondLock();
    ULONG port = 0;
    NTSTATUS status = PortRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port);
    if (status == STATUS_NO_SUCH_DEVICE)
    {
        LARGE_INTEGER pause = RelativeMs(USB_PORT_RETRY_MS);
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        port = 0;
        status = PortRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port);
        if (status == STATUS_INSUFFICIENT_RESOURCES)
        {
            // No memory to ask: the device's presence is unknown, not disproved.
        }
        else if (!NT_SUCCESS(status))
        {
            CyclePort();
        }
        else if (port & USBD_PORT_CONNECTED)
        {
            PortRequest(IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
            if (PADAPTERPOWERMANAGEMENT power = m_Hooks->DevicePower())
            {
                power->PowerChangeState(DeviceState(PowerDeviceD3));
                power->PowerChangeState(DeviceState(PowerDeviceD0));
            }
        }
        else
        {
            InterlockedExchange(&m_Connected, FALSE);
        }
    }
    else if (status == STATUS_INSUFFICIENT_RESOURCES)
    {
        // As above: a failed allocation says nothing about the device.
    }
    else if (!NT_SUCCESS(status) || !(port & USBD_PORT_CONNECTED))
    {
        InterlockedExchange(&m_Connected, FALSE);
    }
    m_Hooks->SecondUnlock();
    return m_Connected ? FALSE : TRUE;
}

BOOLEAN CUsbDeviceLayer::CyclePort()
{
    PAGED_CODE();
    if (InterlockedCompareExchange(&m_PortCycled, 1, 0) != 0)
        return m_Connected ? FALSE : TRUE;
    if (PortRequest(IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr) == STATUS_INSUFFICIENT_RESOURCES)
    {
        // Nothing went out: the device is as it was, and a later call may cycle it.
        InterlockedExchange(&m_PortCycled, 0);
        return m_Connected ? FALSE : TRUE;
    }
    // The device comes back through PnP as a new device.
    InterlockedExchange(&m_Connected, FALSE);
    return TRUE;
}

// ---- Start-up reads ------------------------------------------------------------------------------

NTSTATUS CUsbDeviceLayer::ReadDeviceDescriptor()
{
    PAGED_CODE();
    auto *device = static_cast<PUSB_DEVICE_DESCRIPTOR>(
        AllocPoolZeroed(sizeof(USB_DEVICE_DESCRIPTOR), NonPagedPool, PoolTag::USBd));
    if (!device)
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG returned = 0;
    NTSTATUS status = UsbGetDescriptor(this, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, device,
                                       sizeof(USB_DEVICE_DESCRIPTOR), &returned, PoolTag::URB);
    if (NT_SUCCESS(status) &&
        (returned < sizeof(USB_DEVICE_DESCRIPTOR) || device->bDescriptorType != USB_DEVICE_DESCRIPTOR_TYPE ||
         device->bLength < sizeof(USB_DEVICE_DESCRIPTOR)))
    {
        DbgPrint("ReadDeviceDescriptor bad device descriptor (%u bytes)\n", returned);
        status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status))
    {
        m_VendorId = device->idVendor;
        m_ProductId = device->idProduct;
        m_ManufacturerIndex = device->iManufacturer;
        m_ProductIndex = device->iProduct;
    }
    FreePool(device);
    return status;
}

NTSTATUS CUsbDeviceLayer::ReadConfigurationDescriptor()
{
    PAGED_CODE();
    const ULONG head = sizeof(USB_CONFIGURATION_DESCRIPTOR);
    auto *first =
        static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocPoolZeroed(head, NonPagedPool, PoolTag::USBd));
    if (!first)
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG returned = 0;
    const auto badHeader = [&](const USB_CONFIGURATION_DESCRIPTOR *d)
    {
        return returned < head || d->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
               d->bLength < head || d->wTotalLength < head;
    };
    NTSTATUS status =
        UsbGetDescriptor(this, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, first, head, &returned, PoolTag::URB);
    // Every walk over the descriptor trusts wTotalLength, so it is checked here, the only way in.
    if (NT_SUCCESS(status) && badHeader(first))
    {
        DbgPrint("ReadConfigurationDescriptor bad configuration descriptor header\n");
        status = STATUS_UNSUCCESSFUL;
    }
    const ULONG total = NT_SUCCESS(status) ? first->wTotalLength : 0;
    FreePool(first);
    if (!NT_SUCCESS(status))
        return status;

    auto *full =
        static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocPoolZeroed(total, NonPagedPool, PoolTag::USBd));
    if (!full)
        return STATUS_INSUFFICIENT_RESOURCES;
    status =
        UsbGetDescriptor(this, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, full, total, &returned, PoolTag::URB);
    if (NT_SUCCESS(status) && badHeader(full))
    {
        DbgPrint("ReadConfigurationDescriptor bad configuration descriptor\n");
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status))
    {
        FreePool(full);
        return status;
    }
    if (full->wTotalLength > returned)
    {
        DbgPrint("ReadConfigurationDescriptor wTotalLength %u cut to the %u bytes returned\n",
                 full->wTotalLength, returned);
        full->wTotalLength = USHORT(returned);
    }
    FreePool(m_ConfigurationDescriptor);
    m_ConfigurationDescriptor = full;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbDeviceLayer::AcquireBusInterface()
{
    PAGED_CODE();
    if (m_BusInterfaceHeld)
        return STATUS_SUCCESS;
    PIRP irp = IoAllocateIrp(m_IrpStackSize, FALSE);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    USB_BUS_INTERFACE_USBDI_V1 answer = {};
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    next->Parameters.QueryInterface.Size = USHORT(sizeof(USB_BUS_INTERFACE_USBDI_V1));
    next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&answer);
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    const NTSTATUS status = SendAndWait(irp, -1);
    IoFreeIrp(irp);
    if (!NT_SUCCESS(status))
    {
        DbgPrint("AcquireBusInterface query failed %08X\n", status);
        return STATUS_UNSUCCESSFUL;
    }
    // The answer carries a reference from here on, whatever is in it.
    m_BusInterface = answer;
    m_BusInterfaceHeld = true;
    if (!m_BusInterface.BusContext || !m_BusInterface.IsDeviceHighSpeed)
    {
        DbgPrint("AcquireBusInterface no bus context\n");
        return STATUS_UNSUCCESSFUL;
    }
    m_HighSpeed = m_BusInterface.IsDeviceHighSpeed(m_BusInterface.BusContext) ? TRUE : FALSE;
    return STATUS_SUCCESS;
}

VOID CUsbDeviceLayer::WriteDeviceNames()
{
    UsbWriteDeviceNames(this, m_PhysicalDevice, GetIdentity());
}

VOID CUsbDeviceLayer::StartSelectiveSuspend()
{
    PAGED_CODE();
    ULONG value = 0;
    UsbReadSelectiveSuspend(m_PhysicalDevice, &value);
    m_SelectiveSuspendEnabled = value != 0 ? TRUE : FALSE;
    if (m_SelectiveSuspendEnabled)
    {
        KIRQL old;
        KeAcquireSpinLock(&m_IdleLock, &old);
        ArmIdleTimer();
        KeReleaseSpinLock(&m_IdleLock, old);
    }
}

// ---- Power ---------------------------------------------------------------------------------------

VOID CUsbDeviceLayer::HoldTimerResolution(bool hold)
{
    // Held while in D0 and given back on leaving it, so sets and releases pair whatever order the
    // power changes come in.
    if (hold && !m_ResolutionHeld)
        ExSetTimerResolution(10000, TRUE);
    else if (!hold && m_ResolutionHeld)
        ExSetTimerResolution(0, FALSE);
    m_ResolutionHeld = hold;
}

void CUsbDeviceLayer::PowerChangeState(POWER_STATE newState)
{
    PAGED_CODE();
    const DEVICE_POWER_STATE state = newState.DeviceState;
    if (state < PowerDeviceD0 || state > PowerDeviceD3 || state == m_DevicePowerState)
        return;
    m_Hooks->Lock();
    const bool changed = state != m_DevicePowerState;
    if (changed && state == PowerDeviceD0)
    {
        if (PADAPTERPOWERMANAGEMENT power = m_Hooks->DevicePower())
            power->PowerChangeState(newState);
        HoldTimerResolution(true);
        if (m_AsioWasRunning)
        {
            m_Hooks->RestartLowLatency();
            m_Hooks->HandOverRunEvent();
            m_AsioWasRunning = FALSE;
        }
    }
    else if (changed)
    {
        // A device that is gone cannot take a power change.
        if (!IsDeviceGone())
            if (PADAPTERPOWERMANAGEMENT power = m_Hooks->DevicePower())
                power->PowerChangeState(newState);
        if (m_Hooks->IsLowLatencyRunning())
        {
            m_Hooks->StopLowLatency();
            m_AsioWasRunning = TRUE;
        }
        HoldTimerResolution(false);
    }
    m_DevicePowerState = state;
    m_Hooks->Unlock();
    if (changed && state == PowerDeviceD0)
        m_Hooks->CompleteHeldStop();
}

// ---- Selective suspend ---------------------------------------------------------------------------

VOID CUsbDeviceLayer::ArmIdleTimer()
{
    // IdleLock held, so the check and the set are one step against Shutdown.
    if (m_Stopping)
        return;
    LARGE_INTEGER due = RelativeMs(USB_IDLE_CHECK_MS);
    KeSetTimerEx(&m_IdleTimer, due, USB_IDLE_CHECK_MS, &m_IdleDpc);
}

VOID CUsbDeviceLayer::IdleTimerDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *self = static_cast<CUsbDeviceLayer *>(context);
    bool queue = false;
    KeAcquireSpinLockAtDpcLevel(&self->m_IdleLock);
    // Only one idle work item at a time: a check that comes while one waits does nothing.
    if (!self->m_Stopping && self->IsIdle() && KeReadStateEvent(&self->m_IdleWorkDone))
    {
        KeClearEvent(&self->m_IdleWorkDone);
        queue = true;
    }
    KeReleaseSpinLockFromDpcLevel(&self->m_IdleLock);
    if (queue)
        IoQueueWorkItem(self->m_IdleWork, IdleWorkItem, DelayedWorkQueue, self);
}

VOID CUsbDeviceLayer::FlushDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    KeSetEvent(&static_cast<CUsbDeviceLayer *>(context)->m_FlushDone, IO_NO_INCREMENT, FALSE);
}

VOID CUsbDeviceLayer::IdleWorkItem(PDEVICE_OBJECT, PVOID context)
{
    auto *self = static_cast<CUsbDeviceLayer *>(context);
    if (self->IsIdle())
        self->SendIdleRequest();
    KeSetEvent(&self->m_IdleWorkDone, IO_NO_INCREMENT, FALSE);
}

NTSTATUS CUsbDeviceLayer::SendIdleRequest()
{
    if (m_DevicePowerState != PowerDeviceD0)
        return STATUS_POWER_STATE_INVALID;
    KIRQL old;
    KeAcquireSpinLock(&m_IdleLock, &old);
    const bool busy = m_IdlePending != 0 || m_Stopping;
    if (!busy)
        m_IdlePending = 1;
    KeReleaseSpinLock(&m_IdleLock, old);
    if (busy)
        return m_Stopping ? STATUS_UNSUCCESSFUL : STATUS_DEVICE_BUSY;

    KeClearEvent(&m_IdleDone);
    auto *info = static_cast<PUSB_IDLE_CALLBACK_INFO>(
        AllocPoolZeroed(sizeof(USB_IDLE_CALLBACK_INFO), NonPagedPool, PoolTag::USBd));
    PIRP irp = info ? IoAllocateIrp(m_IrpStackSize, FALSE) : nullptr;
    if (!irp)
    {
        FreePool(info);
        KeAcquireSpinLock(&m_IdleLock, &old);
        m_IdlePending = 0;
        KeReleaseSpinLock(&m_IdleLock, old);
        KeSetEvent(&m_IdleDone, IO_NO_INCREMENT, FALSE);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    info->IdleCallback = IdleCallback;
    info->IdleContext = this;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION;
    next->Parameters.DeviceIoControl.InputBufferLength = sizeof(USB_IDLE_CALLBACK_INFO);
    next->Parameters.DeviceIoControl.Type3InputBuffer = info;
    IoSetCompletionRoutine(irp, IdleCompletion, this, TRUE, TRUE, TRUE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    KeAcquireSpinLock(&m_IdleLock, &old);
    const bool send = !m_Stopping && IsIdle() && m_DevicePowerState == PowerDeviceD0;
    if (send)
    {
        m_IdleIrp = irp;
        m_IdleCallbackInfo = info;
        m_IdleIrpRefs = 2; // the sender's (taken back by a cancel) and the completion's
    }
    else
    {
        m_IdlePending = 0;
    }
    KeReleaseSpinLock(&m_IdleLock, old);
    if (!send)
    {
        IoFreeIrp(irp);
        FreePool(info);
        KeSetEvent(&m_IdleDone, IO_NO_INCREMENT, FALSE);
        return STATUS_UNSUCCESSFUL;
    }
    if (m_SelectiveSuspendEnabled)
        KeCancelTimer(&m_IdleTimer);
    return IofCallDriver(m_LowerDevice, irp);
}

VOID CUsbDeviceLayer::SleepComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
}

VOID CUsbDeviceLayer::IdleCallback(PVOID context)
{
    auto *self = static_cast<CUsbDeviceLayer *>(context);
    KIRQL old;
    KeAcquireSpinLock(&self->m_IdleLock, &old);
    if (self->m_IdleCallbacks++ == 0)
        KeClearEvent(&self->m_IdleCallbackDone);
    KeReleaseSpinLock(&self->m_IdleLock, old);

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    const NTSTATUS status = PoRequestPowerIrp(self->m_PhysicalDevice, IRP_MN_SET_POWER,
                                              DeviceState(PowerDeviceD2), SleepComplete, &done, nullptr);
    // Only a request that went out completes; waiting for one that did not would never end.
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    else
        DbgPrint("IdleCallback PoRequestPowerIrp failed %08X\n", status);

    // The idle request may have ended (activity, a cancel, the hub) while the device was on its way
    // to D2: its completion saw D0 and left the wake-up to us. Nothing else would wake it now.
    KeAcquireSpinLock(&self->m_IdleLock, &old);
    const bool wake =
        self->m_IdlePending == 0 && !self->m_Stopping && self->m_DevicePowerState != PowerDeviceD0;
    const bool deferred = self->m_WakeDeferred;
    self->m_WakeDeferred = false;
    const bool last = --self->m_IdleCallbacks == 0;
    KeReleaseSpinLock(&self->m_IdleLock, old);
    if (wake)
        self->RequestPowerUp("IdleCallback");
    else if (deferred)
        KeSetEvent(&self->m_PowerUpDone, IO_NO_INCREMENT, FALSE);
    // Last touch of the layer: Shutdown waits for this.
    if (last)
        KeSetEvent(&self->m_IdleCallbackDone, IO_NO_INCREMENT, FALSE);
}

VOID CUsbDeviceLayer::PowerUpComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK)
{
    KeSetEvent(&static_cast<CUsbDeviceLayer *>(context)->m_PowerUpDone, IO_NO_INCREMENT, FALSE);
}

VOID CUsbDeviceLayer::RequestPowerUp(const char *who)
{
    KeClearEvent(&m_PowerUpDone);
    const NTSTATUS sent = PoRequestPowerIrp(m_PhysicalDevice, IRP_MN_SET_POWER, DeviceState(PowerDeviceD0),
                                            PowerUpComplete, this, nullptr);
    if (sent != STATUS_PENDING)
    {
        DbgPrint("%s PoRequestPowerIrp failed %08X\n", who, sent);
        KeSetEvent(&m_PowerUpDone, IO_NO_INCREMENT, FALSE);
    }
}

NTSTATUS CUsbDeviceLayer::IdleCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *self = static_cast<CUsbDeviceLayer *>(context);
    const NTSTATUS status = irp->IoStatus.Status;
    const bool failed = !NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED;
    KIRQL old;
    KeAcquireSpinLock(&self->m_IdleLock, &old);
    // A callback still on its way to D2 decides for itself once it is there (and activity waits
    // for its wake-up as for ours).
    const bool deferred = failed && self->m_IdleCallbacks != 0;
    if (deferred)
    {
        self->m_WakeDeferred = true;
        KeClearEvent(&self->m_PowerUpDone);
    }
    PUSB_IDLE_CALLBACK_INFO info = self->m_IdleCallbackInfo;
    const bool stillHeld = self->m_IdleIrp != nullptr;
    self->m_IdleCallbackInfo = nullptr;
    self->m_IdleIrp = nullptr;
    self->m_IdlePending = 0;
    const bool wake = failed && !deferred && self->m_DevicePowerState != PowerDeviceD0 && !self->m_Stopping;
    if (self->m_SelectiveSuspendEnabled)
        self->ArmIdleTimer();
    KeReleaseSpinLock(&self->m_IdleLock, old);
    // The hub gave up the idle request while the device slept: wake it, unless it is going away.
    if (wake)
        self->RequestPowerUp("IdleCompletion");
    FreePool(info);
    // Nobody took the sender's reference when the IRP was still held: both are ours to drop.
    if (stillHeld)
    {
        IoFreeIrp(irp);
        KeSetEvent(&self->m_IdleDone, IO_NO_INCREMENT, FALSE);
    }
    else
    {
        self->DropIdleReference(irp);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID CUsbDeviceLayer::DropIdleReference(PIRP irp)
{
    if (InterlockedDecrement(&m_IdleIrpRefs) == 0)
    {
        IoFreeIrp(irp);
        KeSetEvent(&m_IdleDone, IO_NO_INCREMENT, FALSE);
    }
}

VOID CUsbDeviceLayer::CancelIdleRequest(bool evenWhenIdle)
{
    PIRP irp = nullptr;
    KIRQL old;
    KeAcquireSpinLock(&m_IdleLock, &old);
    if (evenWhenIdle || !IsIdle())
    {
        irp = m_IdleIrp;
        m_IdleIrp = nullptr;
    }
    KeReleaseSpinLock(&m_IdleLock, old);
    if (irp)
    {
        // The IRP lives until both references are gone, so cancelling it is safe even when its
        // completion is running right now.
        IoCancelIrp(irp);
        DropIdleReference(irp);
    }
}

ULONG CUsbDeviceLayer::NotifyActivity()
{
    PAGED_CODE();
    InterlockedIncrement(&m_BusyCount);
    CancelIdleRequest(false);
    Wait(&m_IdleDone, USB_REQUEST_TIMEOUT_MS);
    Wait(&m_PowerUpDone, USB_REQUEST_TIMEOUT_MS);
    InterlockedDecrement(&m_BusyCount);
    return STATUS_SUCCESS;
}

// ---- Teardown ------------------------------------------------------------------------------------

VOID CUsbDeviceLayer::Shutdown()
{
    if (m_ShutDown)
        return;
    m_ShutDown = true;
    PAGED_CODE();
    // Nothing re-arms the timer or starts an idle request from here on.
    KIRQL old;
    KeAcquireSpinLock(&m_IdleLock, &old);
    m_Stopping = true;
    KeReleaseSpinLock(&m_IdleLock, old);
    // The timer's work first, so that no idle request can be sent after the cancel below.
    KeCancelTimer(&m_IdleTimer);
    KeRemoveQueueDpc(&m_IdleDpc);
    KeClearEvent(&m_FlushDone);
    KeInsertQueueDpc(&m_FlushDpc, nullptr, nullptr); // DPCs run in order: a running check ends first
    Wait(&m_FlushDone, -1);
    Wait(&m_IdleWorkDone, -1);
    CancelIdleRequest(true);
    Wait(&m_IdleDone, -1);
    // The cancel can end the idle request while the hub's callback still waits for its D2, whose
    // power change then reaches this layer.
    Wait(&m_IdleCallbackDone, -1);
    Wait(&m_PowerUpDone, -1);
    if (m_IdleWork)
    {
        IoFreeWorkItem(m_IdleWork);
        m_IdleWork = nullptr;
    }
    if (m_BusInterfaceHeld)
    {
        if (m_BusInterface.InterfaceDereference)
            m_BusInterface.InterfaceDereference(m_BusInterface.BusContext);
        m_BusInterfaceHeld = false;
        m_BusInterface = {};
    }
    FreePool(m_ConfigurationDescriptor);
    m_ConfigurationDescriptor = nullptr;
    HoldTimerResolution(false);
}
