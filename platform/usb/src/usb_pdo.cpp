// The PDO: internal USB IOCTLs, PnP (QUERY_INTERFACE and the USBDI bus interface), power, and the
// held-IRP machinery (pending, cancel, completion) the URB paths share.
#include "usb_bus_internal.h"

#include <sim/kernel_sim.h>

namespace usbsim
{

static_assert(offsetof(URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) ==
              offsetof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength));
static_assert(offsetof(URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer) ==
              offsetof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer));
static_assert(offsetof(URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) ==
              offsetof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength));
static_assert(offsetof(URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer) ==
              offsetof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer));

namespace
{

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID CancelHeld(PDEVICE_OBJECT pdo, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto *ext = static_cast<PdoExtension *>(pdo->DeviceExtension);
    Bus::Impl *impl = ext->bus;
    std::optional<Held> taken;
    {
        std::lock_guard<std::recursive_mutex> g(impl->mu);
        taken = impl->TakeHeld(irp);
        impl->ArmTimer();
        if (taken && taken->kind == HeldKind::Idle)
        {
            impl->Note(EventKind::IdleComplete, taken->port, STATUS_CANCELLED);
        }
    }
    if (taken)
        impl->FinishHeld(*taken, STATUS_CANCELLED, USBD_STATUS_CANCELED,
                         taken->urb ? std::optional<ULONG>(0) : std::nullopt);
}

// ---- The USBDI bus interface ----
BusContextBlock *Context(PVOID busContext)
{
    auto *c = static_cast<BusContextBlock *>(busContext);
    if (c == nullptr)
        return nullptr;
    if (c->magic != kBusContextMagic)
    {
        sim::ReportViolation("usb bus: bus-interface call with a context the bus did not give");
        return nullptr;
    }
    return c;
}

VOID BusReference(PVOID busContext)
{
    if (BusContextBlock *c = Context(busContext))
        ++c->refs;
}

VOID BusDereference(PVOID busContext)
{
    if (BusContextBlock *c = Context(busContext))
        if (--c->refs < 0)
        {
            c->refs = 0;
            sim::ReportViolation("usb bus: bus interface dereferenced more often than referenced");
        }
}

VOID BusGetVersion(PVOID busContext, PUSBD_VERSION_INFORMATION info, PULONG caps)
{
    BusContextBlock *c = Context(busContext);
    bool high = false;
    if (c)
    {
        std::lock_guard<std::recursive_mutex> g(c->bus->mu);
        const PortState *p = c->bus->Port(c->port);
        high = p && p->device && p->device->GetSpeed() == Speed::High;
    }
    if (info)
    {
        info->USBDI_Version = 0x500;
        info->Supported_USB_Version = high ? 0x200 : 0x110;
    }
    if (caps)
        *caps = 0;
}

NTSTATUS BusQueryTime(PVOID busContext, PULONG frame)
{
    BusContextBlock *c = Context(busContext);
    if (c == nullptr || frame == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::recursive_mutex> g(c->bus->mu);
    PortState *p = c->bus->Port(c->port);
    if (!NT_SUCCESS(p->busTimeFailure))
        return p->busTimeFailure;
    *frame = c->bus->Engine(*p).CurrentFrame();
    return STATUS_SUCCESS;
}

NTSTATUS BusSubmitIsoOut(PVOID, PURB)
{
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS BusQueryInformation(PVOID, ULONG, PVOID, PULONG, PULONG)
{
    return STATUS_NOT_SUPPORTED;
}

BOOLEAN BusIsHighSpeed(PVOID busContext)
{
    BusContextBlock *c = Context(busContext);
    if (c == nullptr)
        return FALSE;
    std::lock_guard<std::recursive_mutex> g(c->bus->mu);
    const PortState *p = c->bus->Port(c->port);
    return p && p->device && p->device->GetSpeed() == Speed::High;
}

} // namespace

NTSTATUS Bus::Impl::Finish(PIRP irp, PURB urb, uint64_t seq, NTSTATUS status, USBD_STATUS usbd,
                           std::optional<ULONG> length)
{
    if (urb)
    {
        urb->UrbHeader.Status = usbd;
        if (length)
            urb->UrbControlVendorClassRequest.TransferBufferLength = *length;
    }
    if (seq)
        UpdateEvent(seq,
                    [&](Event &e)
                    {
                        e.completed = true;
                        e.status = status;
                        e.usbdStatus = usbd;
                        e.length = length ? *length : 0;
                    });
    return CompleteNow(irp, status);
}

NTSTATUS Bus::Impl::Answer(Held h)
{
    if (h.due >= 0 && h.due <= sim::Now())
    {
        bool sync;
        {
            std::lock_guard<std::recursive_mutex> g(mu);
            sync = synchronous;
        }
        if (sync)
        {
            if (h.urb && !h.data.empty())
            {
                auto &r = h.urb->UrbControlVendorClassRequest;
                const ULONG n = ULONG(h.data.size()) < r.TransferBufferLength ? ULONG(h.data.size())
                                                                              : r.TransferBufferLength;
                if (n && r.TransferBuffer)
                    memcpy(r.TransferBuffer, h.data.data(), n);
            }
            return Finish(h.irp, h.urb, h.seq, h.status, h.usbd,
                          h.urb ? std::optional<ULONG>(h.reportedLength) : std::nullopt);
        }
    }
    PIRP irp = h.irp;
    IoMarkIrpPending(irp);
    std::unique_lock<std::recursive_mutex> g(mu);
    Schedule(std::move(h));
    IoSetCancelRoutine(irp, CancelHeld);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr)
    {
        std::optional<Held> taken = TakeHeld(irp);
        ArmTimer();
        g.unlock();
        if (taken)
            Finish(irp, taken->urb, taken->seq, STATUS_CANCELLED, USBD_STATUS_CANCELED,
                   taken->urb ? std::optional<ULONG>(0) : std::nullopt);
    }
    return STATUS_PENDING;
}

NTSTATUS Bus::Impl::Dispatch(PDEVICE_OBJECT pdo, PIRP irp)
{
    auto *ext = static_cast<PdoExtension *>(pdo->DeviceExtension);
    PortState *p;
    bool live;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        p = Port(ext->port);
        live = p->present && p->pdo == pdo && p->connected;
    }
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    switch (s->MajorFunction)
    {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return DispatchIoctl(*p, irp, live);
    case IRP_MJ_PNP:
        return DispatchPnp(*p, irp, live);
    case IRP_MJ_POWER:
        return DispatchPower(*p, irp, live);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return CompleteNow(irp, STATUS_SUCCESS);
    case IRP_MJ_SYSTEM_CONTROL:
        return CompleteNow(irp, irp->IoStatus.Status);
    default:
        return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS Bus::Impl::DispatchIoctl(PortState &p, PIRP irp, bool live)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    const unsigned port = p.number;
    switch (s->Parameters.DeviceIoControl.IoControlCode)
    {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
    {
        auto urb = static_cast<PURB>(s->Parameters.Others.Argument1);
        if (urb == nullptr)
            return CompleteNow(irp, STATUS_INVALID_PARAMETER);
        bool unplugNow = false;
        {
            std::lock_guard<std::recursive_mutex> g(mu);
            if (live && p.unplugAtUrb && --p.unplugAtUrb == 0)
                unplugNow = true;
        }
        if (unplugNow)
        {
            DoUnplug(port, true);
            live = false;
        }
        return SubmitUrb(p, irp, urb, live);
    }
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
    {
        auto *out = static_cast<PULONG>(s->Parameters.Others.Argument1);
        PortAnswer a;
        {
            std::lock_guard<std::recursive_mutex> g(mu);
            if (!p.portScript.empty())
            {
                a = p.portScript.front();
                p.portScript.pop_front();
            }
            else
            {
                a.status = STATUS_SUCCESS;
                a.bits = live ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
            }
            Event e;
            e.kind = EventKind::PortStatus;
            e.port = port;
            e.portStatus = a.bits;
            e.status = out ? a.status : STATUS_INVALID_PARAMETER;
            AddEvent(e);
        }
        if (out == nullptr)
            return CompleteNow(irp, STATUS_INVALID_PARAMETER);
        *out = NT_SUCCESS(a.status) ? a.bits : 0;
        return CompleteNow(irp, a.status);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
    {
        NTSTATUS status;
        IsoEngine *engine;
        {
            std::lock_guard<std::recursive_mutex> g(mu);
            status = live ? p.resetStatus : STATUS_DEVICE_NOT_CONNECTED;
            engine = &Engine(p);
            Note(EventKind::ResetPort, port, status);
            if (NT_SUCCESS(status))
                p.halted.clear();
        }
        if (NT_SUCCESS(status))
        {
            // Transfers end; the configuration and every handle stay.
            EndHeld(
                port,
                [](const Held &h) { return h.kind == HeldKind::Control || h.kind == HeldKind::Transfer; },
                STATUS_CANCELLED, USBD_STATUS_CANCELED);
            engine->CancelAll();
        }
        return CompleteNow(irp, status);
    }
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
    {
        NTSTATUS status;
        {
            std::lock_guard<std::recursive_mutex> g(mu);
            status = live ? p.cycleStatus : STATUS_DEVICE_NOT_CONNECTED;
            Note(EventKind::CyclePort, port, status);
        }
        if (NT_SUCCESS(status))
            RunOnHub([this, port] { Cycle(port); });
        return CompleteNow(irp, status);
    }
    case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION:
        return SubmitIdle(p, irp, live);
    default:
        return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS Bus::Impl::SubmitIdle(PortState &p, PIRP irp, bool live)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    auto *info = static_cast<PUSB_IDLE_CALLBACK_INFO>(s->Parameters.DeviceIoControl.Type3InputBuffer);
    NTSTATUS refuse = STATUS_SUCCESS;
    bool notSupported;
    unsigned delay;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        if (!live)
            refuse = STATUS_DEVICE_NOT_CONNECTED;
        else if (info == nullptr || info->IdleCallback == nullptr ||
                 s->Parameters.DeviceIoControl.InputBufferLength < sizeof(USB_IDLE_CALLBACK_INFO))
            refuse = STATUS_INVALID_PARAMETER;
        else if (IdleHeld(p.number))
            refuse = STATUS_DEVICE_BUSY;
        notSupported = p.idleNotSupported;
        delay = p.idleDelayMs;
        Note(EventKind::IdleSubmit, p.number, NT_SUCCESS(refuse) ? STATUS_PENDING : refuse);
        if (!NT_SUCCESS(refuse))
        {
            Note(EventKind::IdleComplete, p.number, refuse);
        }
    }
    if (!NT_SUCCESS(refuse))
        return CompleteNow(irp, refuse);
    Held h;
    h.irp = irp;
    h.kind = HeldKind::Idle;
    h.port = p.number;
    if (notSupported)
    {
        h.due = sim::Now();
        h.status = STATUS_NOT_SUPPORTED;
        std::lock_guard<std::recursive_mutex> g(mu);
        Note(EventKind::IdleComplete, p.number, STATUS_NOT_SUPPORTED);
    }
    else
    {
        h.callbackDue = sim::Now() + LONGLONG(delay) * 10000;
    }
    return Answer(std::move(h));
}

void Bus::Impl::IdleCallbackDue(unsigned port, PIRP irp)
{
    USB_IDLE_CALLBACK callback = nullptr;
    PVOID context = nullptr;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        bool still = false;
        for (const Held &h : held)
            if (h.irp == irp && h.kind == HeldKind::Idle && h.port == port)
                still = true;
        PortState *p = Port(port);
        if (!still || !p->connected)
            return;
        auto *info = static_cast<PUSB_IDLE_CALLBACK_INFO>(
            IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer);
        callback = info->IdleCallback;
        context = info->IdleContext;
        ++p->idleCallbacks;
        Note(EventKind::IdleCallback, port);
        idleInCallback.push_back({irp});
    }
    sim::AssertPassiveLevel("usb hub idle callback");
    callback(context);
    // A cancel or an unplug that came while the callback ran completes the IRP only now.
    std::optional<IdleInCallback> ended;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        for (auto it = idleInCallback.begin(); it != idleInCallback.end(); ++it)
            if (it->irp == irp)
            {
                if (it->ended)
                    ended = *it;
                idleInCallback.erase(it);
                break;
            }
    }
    if (ended)
        Finish(irp, nullptr, 0, ended->status, ended->usbd, std::nullopt);
}

NTSTATUS Bus::Impl::DispatchPower(PortState &p, PIRP irp, bool live)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    switch (s->MinorFunction)
    {
    case IRP_MN_SET_POWER:
        if (s->Parameters.Power.Type == DevicePowerState)
        {
            const DEVICE_POWER_STATE state = s->Parameters.Power.State.DeviceState;
            IsoEngine *engine;
            {
                std::lock_guard<std::recursive_mutex> g(mu);
                engine = &Engine(p);
                if (live)
                    p.power = state;
                Event e;
                e.kind = EventKind::Power;
                e.port = p.number;
                e.powerState = state;
                e.status = STATUS_SUCCESS;
                AddEvent(e);
            }
            if (live)
            {
                if (state == PowerDeviceD0)
                    engine->StopRefusing();
                else
                    engine->Refuse(kLowPowerStatus, USBD_STATUS_NOT_SUPPORTED);
            }
        }
        return CompleteNow(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_POWER:
        return CompleteNow(irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE:
        return CompleteNow(irp, STATUS_NOT_SUPPORTED);
    default:
        return CompleteNow(irp, irp->IoStatus.Status);
    }
}

NTSTATUS Bus::Impl::DispatchPnp(PortState &p, PIRP irp, bool live)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    switch (s->MinorFunction)
    {
    case IRP_MN_QUERY_INTERFACE:
        return QueryInterface(p, irp, live);
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_CAPABILITIES:
        return CompleteNow(irp, STATUS_SUCCESS);
    default:
        return CompleteNow(irp, irp->IoStatus.Status);
    }
}

NTSTATUS Bus::Impl::QueryInterface(PortState &p, PIRP irp, bool live)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    auto &q = s->Parameters.QueryInterface;
    if (q.InterfaceType == nullptr ||
        memcmp(q.InterfaceType, &USB_BUS_INTERFACE_USBDI_GUID, sizeof(GUID)) != 0)
        return CompleteNow(irp, irp->IoStatus.Status); // not ours: the status stays as it came
    NTSTATUS status = STATUS_SUCCESS;
    std::unique_lock<std::recursive_mutex> g(mu);
    const size_t v0Size = offsetof(USB_BUS_INTERFACE_USBDI_V1, IsDeviceHighSpeed);
    const size_t need = q.Version >= USB_BUSIF_USBDI_VERSION_1 ? sizeof(USB_BUS_INTERFACE_USBDI_V1) : v0Size;
    if (!NT_SUCCESS(p.busInterfaceFailure))
        status = p.busInterfaceFailure;
    else if (!live)
        status = STATUS_NO_SUCH_DEVICE;
    else if (q.Version > USB_BUSIF_USBDI_VERSION_1)
        status = STATUS_NOT_SUPPORTED;
    else if (q.Interface == nullptr || q.Size < need)
        status = STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status))
    {
        if (p.busContext == nullptr)
        {
            contexts.push_back(std::make_unique<BusContextBlock>());
            p.busContext = contexts.back().get();
            p.busContext->bus = this;
            p.busContext->port = p.number;
        }
        auto *bi = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(q.Interface);
        memset(bi, 0, need);
        bi->Size = USHORT(need);
        bi->Version = q.Version;
        bi->BusContext = p.nullBusContext ? nullptr : p.busContext;
        bi->InterfaceReference = BusReference;
        bi->InterfaceDereference = BusDereference;
        bi->GetUSBDIVersion = BusGetVersion;
        bi->QueryBusTime = BusQueryTime;
        bi->SubmitIsoOutUrb = BusSubmitIsoOut;
        bi->QueryBusInformation = BusQueryInformation;
        if (q.Version >= USB_BUSIF_USBDI_VERSION_1)
            bi->IsDeviceHighSpeed = BusIsHighSpeed;
        if (!p.nullBusContext)
            ++p.busContext->refs; // the query hands out one reference
    }
    Note(EventKind::BusInterface, p.number, status);
    g.unlock();
    return CompleteNow(irp, status);
}

} // namespace usbsim
