// The hub: ports, plug and unplug, re-enumeration, the Enum entries of a device, the timer that
// completes held IRPs, the hub thread for PnP notices and idle callbacks, and the event log.
#include "usb_bus_internal.h"

#include <cinttypes>
#include <cstdio>

#include <sim/kernel_sim.h>

namespace usbsim
{

namespace
{

NTSTATUS PdoDispatch(PDEVICE_OBJECT pdo, PIRP irp)
{
    auto *ext = static_cast<PdoExtension *>(pdo->DeviceExtension);
    if (ext == nullptr || ext->magic != kPdoMagic)
    {
        sim::ReportViolation("usb bus: IRP sent to a device object that is not a bus PDO");
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return ext->bus->Dispatch(pdo, irp);
}

VOID TimerDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    static_cast<Bus::Impl *>(context)->RunDue();
}

VOID HubThread(PVOID context)
{
    auto *impl = static_cast<Bus::Impl *>(context);
    for (;;)
    {
        std::function<void()> work;
        {
            std::unique_lock<std::recursive_mutex> g(impl->mu);
            if (!impl->hubQueue.empty())
            {
                work = std::move(impl->hubQueue.front());
                impl->hubQueue.pop_front();
                ++impl->hubBusy;
            }
            else if (impl->hubStop)
            {
                break;
            }
        }
        if (work)
        {
            work();
            std::lock_guard<std::recursive_mutex> g(impl->mu);
            --impl->hubBusy;
            continue;
        }
        KeWaitForSingleObject(&impl->hubWake, Executive, KernelMode, FALSE, nullptr);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

std::string Hex4(unsigned v)
{
    char b[8];
    snprintf(b, sizeof b, "%04X", v & 0xFFFF);
    return b;
}

} // namespace

const char *EventKindName(EventKind kind)
{
    switch (kind)
    {
    case EventKind::Urb:
        return "urb";
    case EventKind::SelectConfiguration:
        return "select-configuration";
    case EventKind::SelectInterface:
        return "select-interface";
    case EventKind::PortStatus:
        return "port-status";
    case EventKind::ResetPort:
        return "reset-port";
    case EventKind::CyclePort:
        return "cycle-port";
    case EventKind::Power:
        return "power";
    case EventKind::IdleSubmit:
        return "idle-submit";
    case EventKind::IdleCallback:
        return "idle-callback";
    case EventKind::IdleComplete:
        return "idle-complete";
    case EventKind::RegisterWrite:
        return "register-write";
    case EventKind::Plug:
        return "plug";
    case EventKind::Unplug:
        return "unplug";
    case EventKind::BusInterface:
        return "bus-interface";
    }
    return "?";
}

std::string Event::ToString() const
{
    char b[256];
    int n = snprintf(b, sizeof b, "%s port %u t=%" PRId64 "us frame %lu", EventKindName(kind), port,
                     int64_t(time / 10), (unsigned long)frame);
    std::string s(b, size_t(n));
    switch (kind)
    {
    case EventKind::Urb:
        n = snprintf(
            b, sizeof b,
            " fn 0x%04X bmRequestType 0x%02X bRequest 0x%02X wValue 0x%04X wIndex 0x%04X wLength %u ep 0x%02X"
            " -> %s usbd 0x%08X irp 0x%08X length %lu",
            function, bmRequestType, bRequest, wValue, wIndex, wLength, endpoint,
            completed ? "done" : "pending", unsigned(usbdStatus), unsigned(status), (unsigned long)length);
        break;
    case EventKind::SelectConfiguration:
    case EventKind::SelectInterface:
        n = snprintf(b, sizeof b, " configuration %u interface %u alternate %u status 0x%08X",
                     configurationValue, interfaceNumber, alternateSetting, unsigned(status));
        break;
    case EventKind::PortStatus:
        n = snprintf(b, sizeof b, " bits 0x%lX status 0x%08X", (unsigned long)portStatus, unsigned(status));
        break;
    case EventKind::Power:
        n = snprintf(b, sizeof b, " D%d", int(powerState) - 1);
        break;
    case EventKind::RegisterWrite:
        n = snprintf(b, sizeof b, " register %u value 0x%04X", reg, regValue);
        break;
    default:
        n = snprintf(b, sizeof b, " status 0x%08X", unsigned(status));
        break;
    }
    return s + std::string(b, size_t(n > 0 ? n : 0));
}

// ---- Impl ----------------------------------------------------------------------------------------

bool Bus::Impl::EnsureKernel()
{
    if (kernelReady)
        return true;
    hubDriver = DRIVER_OBJECT{};
    hubDriver.DriverExtension = &hubDriver.Extension;
    hubDriver.Extension.DriverObject = &hubDriver;
    for (auto &f : hubDriver.MajorFunction)
        f = PdoDispatch;
    KeInitializeTimerEx(&timer, NotificationTimer);
    KeInitializeDpc(&timerDpc, TimerDpc, this);
    KeInitializeDpc(&readyDpc, TimerDpc, this);
    KeInitializeEvent(&hubWake, SynchronizationEvent, FALSE);
    hubStop = false;
    // Without its thread the hub could not deliver PnP notices or idle callbacks: no plug then.
    HANDLE h = nullptr;
    if (!NT_SUCCESS(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, HubThread, this)))
        return false;
    PVOID obj = nullptr;
    ObReferenceObjectByHandle(h, 0, *PsThreadType, KernelMode, &obj, nullptr);
    ZwClose(h);
    hubThread = static_cast<PKTHREAD>(obj);
    kernelReady = true;
    return true;
}

PortState *Bus::Impl::Port(unsigned port)
{
    auto &p = ports[port];
    if (!p)
    {
        p = std::make_unique<PortState>();
        p->number = port;
    }
    return p.get();
}

const PortState *Bus::Impl::Port(unsigned port) const
{
    auto it = ports.find(port);
    return it == ports.end() ? nullptr : it->second.get();
}

IsoEngine &Bus::Impl::Engine(PortState &p)
{
    if (!p.engine)
    {
        p.engine = std::make_unique<IsoEngine>();
        p.engine->SetSynchronous(synchronous);
    }
    return *p.engine;
}

uint64_t Bus::Impl::AddEvent(Event e)
{
    e.time = sim::Now();
    e.sequence = nextSeq++;
    if (e.frame == 0)
    {
        PortState *p = Port(e.port);
        e.frame = p->engine ? p->engine->CurrentFrame() : sim::FrameNumber();
    }
    log.push_back(std::move(e));
    return log.back().sequence;
}

uint64_t Bus::Impl::Note(EventKind kind, unsigned port, NTSTATUS status)
{
    std::lock_guard<std::recursive_mutex> g(mu);
    Event e;
    e.kind = kind;
    e.port = port;
    e.status = status;
    return AddEvent(std::move(e));
}

void Bus::Impl::UpdateEvent(uint64_t seq, const std::function<void(Event &)> &f)
{
    std::lock_guard<std::recursive_mutex> g(mu);
    for (auto it = log.rbegin(); it != log.rend(); ++it)
        if (it->sequence == seq)
        {
            f(*it);
            return;
        }
}

std::optional<Held> Bus::Impl::TakeHeld(PIRP irp)
{
    for (auto it = held.begin(); it != held.end(); ++it)
        if (it->irp == irp)
        {
            std::optional<Held> taken = std::move(*it);
            held.erase(it);
            return taken;
        }
    return std::nullopt;
}

bool Bus::Impl::IdleHeld(unsigned port) const
{
    for (const Held &h : held)
        if (h.port == port && h.kind == HeldKind::Idle)
            return true;
    return false;
}

bool Bus::Impl::DeferIdleCompletion(PIRP irp, NTSTATUS status, USBD_STATUS usbd)
{
    for (IdleInCallback &c : idleInCallback)
        if (c.irp == irp)
        {
            c.ended = true;
            c.status = status;
            c.usbd = usbd;
            return true;
        }
    return false;
}

void Bus::Impl::FinishHeld(Held &h, NTSTATUS status, USBD_STATUS usbd, std::optional<ULONG> length)
{
    if (h.kind == HeldKind::Idle)
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        if (DeferIdleCompletion(h.irp, status, usbd))
            return;
    }
    Finish(h.irp, h.urb, h.seq, status, usbd, length);
}

void Bus::Impl::ArmTimer()
{
    LONGLONG next = -1;
    for (const Held &h : held)
        for (LONGLONG t : {h.due, h.callbackDue})
            if (t >= 0 && (next < 0 || t < next))
                next = t;
    for (auto &[n, p] : ports)
        if (p->unplugAtFrame >= 0 && p->present && p->engine)
        {
            const ULONG now = p->engine->CurrentFrame();
            const LONGLONG ahead = LONGLONG(int32_t(ULONG(p->unplugAtFrame) - now));
            const LONGLONG at = sim::Now() + (ahead > 0 ? ahead : 0) * 10000;
            if (next < 0 || at < next)
                next = at;
        }
    if (next < 0)
    {
        if (timerDue >= 0)
            KeCancelTimer(&timer);
        timerDue = -1;
        return;
    }
    const LONGLONG now = sim::Now();
    if (next <= now)
    {
        KeInsertQueueDpc(&readyDpc, nullptr, nullptr);
        return;
    }
    if (timerDue == next)
        return;
    timerDue = next;
    LARGE_INTEGER due;
    due.QuadPart = -(next - now);
    KeSetTimer(&timer, due, &timerDpc);
}

void Bus::Impl::Schedule(Held h)
{
    held.push_back(std::move(h));
    ArmTimer();
}

void Bus::Impl::RunDue()
{
    std::vector<Held> due;
    std::vector<unsigned> unplug;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        timerDue = -1;
        const LONGLONG now = sim::Now();
        for (auto it = held.begin(); it != held.end();)
        {
            if (it->kind == HeldKind::Idle && it->callbackDue >= 0 && it->callbackDue <= now)
            {
                it->callbackDue = -1;
                const unsigned port = it->port;
                PIRP irp = it->irp;
                RunOnHub([this, port, irp] { IdleCallbackDue(port, irp); });
            }
            if (it->due >= 0 && it->due <= now && IoSetCancelRoutine(it->irp, nullptr) != nullptr)
            {
                due.push_back(std::move(*it));
                it = held.erase(it);
            }
            else
            {
                ++it;
            }
        }
        for (auto &[n, p] : ports)
            if (p->unplugAtFrame >= 0 && p->present && p->engine &&
                int32_t(p->engine->CurrentFrame() - ULONG(p->unplugAtFrame)) >= 0)
            {
                p->unplugAtFrame = -1;
                unplug.push_back(n);
            }
        ArmTimer();
    }
    for (Held &h : due)
    {
        if ((h.kind == HeldKind::Control || h.kind == HeldKind::Transfer) && h.urb)
        {
            // The control and bulk URBs put TransferBufferLength and TransferBuffer at one offset.
            auto &r = h.urb->UrbControlVendorClassRequest;
            ULONG n = ULONG(h.data.size());
            if (n > r.TransferBufferLength)
                n = r.TransferBufferLength;
            if (n && r.TransferBuffer)
                memcpy(r.TransferBuffer, h.data.data(), n);
        }
        FinishHeld(h, h.status, h.usbd, h.reportedLength);
    }
    for (unsigned port : unplug)
        DoUnplug(port, true);
}

void Bus::Impl::RunOnHub(std::function<void()> work)
{
    std::lock_guard<std::recursive_mutex> g(mu);
    hubQueue.push_back(std::move(work));
    KeSetEvent(&hubWake, 0, FALSE);
}

void Bus::Impl::EndHeld(unsigned port, const std::function<bool(const Held &)> &pred, NTSTATUS status,
                        USBD_STATUS usbd)
{
    std::vector<Held> ended;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        for (auto it = held.begin(); it != held.end();)
        {
            if (it->port == port && pred(*it) && IoSetCancelRoutine(it->irp, nullptr) != nullptr)
            {
                ended.push_back(std::move(*it));
                it = held.erase(it);
            }
            else
            {
                ++it;
            }
        }
        ArmTimer();
    }
    for (Held &h : ended)
    {
        if (h.kind == HeldKind::Idle)
        {
            std::lock_guard<std::recursive_mutex> g(mu);
            Note(EventKind::IdleComplete, port, status);
        }
        FinishHeld(h, status, usbd, h.urb ? std::optional<ULONG>(0) : std::nullopt);
    }
}

PDEVICE_OBJECT Bus::Impl::MakePdo(unsigned port)
{
    if (!EnsureKernel())
        return nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(&hubDriver, sizeof(PdoExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0,
                                   FALSE, &pdo)))
        return nullptr;
    auto *ext = static_cast<PdoExtension *>(pdo->DeviceExtension);
    ext->magic = kPdoMagic;
    ext->bus = this;
    ext->port = port;
    pdo->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    pdo->Flags |= DO_POWER_PAGABLE;
    return pdo;
}

void Bus::Impl::DeletePdo(PDEVICE_OBJECT pdo)
{
    sim::registry::UnbindDevice(pdo);
    if (pdo->AttachedDevice)
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        zombies.push_back(pdo); // deleted at shutdown once the stack above is gone
        return;
    }
    IoDeleteDevice(pdo);
}

void Bus::Impl::Fire(PnpEventKind kind, unsigned port, PDEVICE_OBJECT pdo)
{
    PnpListener l;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        l = listener;
    }
    if (l)
        l(PnpEvent{kind, port, pdo});
}

void Bus::Impl::NotifyRemoval(unsigned port, PDEVICE_OBJECT pdo)
{
    Fire(PnpEventKind::SurpriseRemoval, port, pdo);
    Fire(PnpEventKind::Removal, port, pdo);
    DeletePdo(pdo);
}

// Device gone: everything held fails with DEVICE_NOT_CONNECTED at once; the PnP notices follow on
// the caller's thread, or on the hub thread when the caller may be at DISPATCH_LEVEL.
void Bus::Impl::DoUnplug(unsigned port, bool fromHub)
{
    PDEVICE_OBJECT pdo = nullptr;
    IsoEngine *engine = nullptr;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        PortState *p = Port(port);
        if (!p->present)
            return;
        p->present = false;
        p->connected = false;
        p->unplugAtFrame = -1;
        p->unplugAtUrb = 0;
        pdo = p->pdo;
        p->pdo = nullptr;
        engine = &Engine(*p);
        engine->Refuse(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        Note(EventKind::Unplug, port);
    }
    engine->FailAll(STATUS_DEVICE_NOT_CONNECTED);
    EndHeld(
        port, [](const Held &) { return true; }, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    // Its pipes go with the device: the port's engine lives on, and pipes left in it would be walked
    // by every later plug's transfers.
    ClosePipes(*Port(port), [](const Pipe &) { return true; });
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        PortState *p = Port(port);
        p->device->m_bus = nullptr;
        p->device->m_port = 0;
    }
    if (!pdo)
        return;
    if (fromHub)
        RunOnHub([this, port, pdo] { NotifyRemoval(port, pdo); });
    else
        NotifyRemoval(port, pdo);
}

// A fresh enumeration of the port's device on `pdo`: present, in D0, nothing selected. Lock held.
void Bus::Impl::Enumerate(PortState &p, PDEVICE_OBJECT pdo)
{
    p.pdo = pdo;
    p.present = p.connected = true;
    p.power = PowerDeviceD0;
    p.configuration = nullptr;
    p.configurationValue = 0;
    p.alternates.clear();
    p.interfaceHandles.clear();
    p.pipes.clear();
    p.halted.clear();
    p.device->m_bus = owner;
    p.device->m_port = p.number;
    IsoEngine &engine = Engine(p);
    engine.StopRefusing();
    for (const auto &[ep, rate] : p.device->EndpointRates())
        engine.SetStreamRate(ep, rate);
    Note(EventKind::Plug, p.number);
}

// Re-enumeration: the old PDO goes as on an unplug, then a new one comes for the same instance with
// no configuration selected.
void Bus::Impl::Cycle(unsigned port)
{
    sim::registry::DeviceInstance instance;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        PortState *p = Port(port);
        if (!p->present)
            return;
        instance = p->instance;
        ++p->cycles;
    }
    DoUnplug(port, false);
    PDEVICE_OBJECT pdo = MakePdo(port);
    if (pdo == nullptr)
        return;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        Enumerate(*Port(port), pdo);
    }
    sim::registry::BindDevice(pdo, instance);
    Fire(PnpEventKind::Arrival, port, pdo);
}

// ---- Bus -----------------------------------------------------------------------------------------

Bus::Bus() : m_impl(std::make_unique<Impl>())
{
    m_impl->owner = this;
}

Bus::~Bus()
{
    Shutdown();
}

void Bus::Shutdown()
{
    Impl &I = *m_impl;
    std::vector<unsigned> present;
    {
        std::lock_guard<std::recursive_mutex> g(I.mu);
        for (auto &[n, p] : I.ports)
            if (p->present)
                present.push_back(n);
    }
    for (unsigned n : present)
        I.DoUnplug(n, false);
    if (I.kernelReady)
    {
        {
            std::lock_guard<std::recursive_mutex> g(I.mu);
            I.hubStop = true;
            KeSetEvent(&I.hubWake, 0, FALSE);
        }
        if (I.hubThread)
        {
            KeWaitForSingleObject(I.hubThread, Executive, KernelMode, FALSE, nullptr);
            ObDereferenceObject(I.hubThread);
            I.hubThread = nullptr;
        }
        KeCancelTimer(&I.timer);
        KeRemoveQueueDpc(&I.timerDpc);
        KeRemoveQueueDpc(&I.readyDpc);
        sim::RunUntilIdle();
    }
    std::vector<PDEVICE_OBJECT> zombies;
    {
        std::lock_guard<std::recursive_mutex> g(I.mu);
        zombies.swap(I.zombies);
        for (auto &[n, p] : I.ports)
            p->engine.reset();
        I.kernelReady = false;
        I.timerDue = -1;
    }
    for (PDEVICE_OBJECT pdo : zombies)
    {
        if (pdo->AttachedDevice)
        {
            sim::ReportViolation("usb bus: a removed PDO still has a device attached at shutdown");
            continue;
        }
        IoDeleteDevice(pdo);
    }
}

std::string Bus::Check() const
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    std::string r;
    auto add = [&r](const std::string &s) { r += (r.empty() ? "" : "; ") + s; };
    for (auto &[n, p] : m_impl->ports)
    {
        if (p->busContext && p->busContext->refs.load() != 0)
            add("port " + std::to_string(n) + ": " + std::to_string(p->busContext->refs.load()) +
                " bus-interface reference(s)");
        if (p->engine && p->engine->Outstanding())
            add("port " + std::to_string(n) + ": " + std::to_string(p->engine->Outstanding()) +
                " isochronous transfer(s) outstanding");
    }
    if (!m_impl->held.empty())
        add(std::to_string(m_impl->held.size()) + " IRP(s) held by the bus");
    for (PDEVICE_OBJECT z : m_impl->zombies)
        if (z->AttachedDevice)
            add("a removed PDO still has a device attached");
    return r;
}

PDEVICE_OBJECT Bus::Plug(unsigned port, std::shared_ptr<VirtualDevice> device)
{
    Impl &I = *m_impl;
    if (!device || port == 0)
        return nullptr;
    {
        std::lock_guard<std::recursive_mutex> g(I.mu);
        if (I.Port(port)->present || device->m_bus != nullptr)
            return nullptr;
    }
    PDEVICE_OBJECT pdo = I.MakePdo(port);
    if (pdo == nullptr)
        return nullptr;
    const std::string vid = Hex4(device->VendorId()), pid = Hex4(device->ProductId()),
                      rev = Hex4(device->BcdDevice());
    sim::registry::DeviceInstanceDesc desc;
    desc.hardwareIds = {"USB\\VID_" + vid + "&PID_" + pid + "&REV_" + rev, "USB\\VID_" + vid + "&PID_" + pid};
    desc.instanceName = "5&1a2b3c4d&0&" + std::to_string(port);
    sim::registry::DeviceInstance instance = sim::registry::CreateDeviceInstance(desc);
    sim::registry::BindDevice(pdo, instance);
    {
        std::lock_guard<std::recursive_mutex> g(I.mu);
        PortState *p = I.Port(port);
        p->device = device;
        p->instance = instance;
        p->inData.clear();
        p->outData.clear();
        I.Enumerate(*p, pdo);
    }
    I.Fire(PnpEventKind::Arrival, port, pdo);
    return pdo;
}

void Bus::Unplug(unsigned port)
{
    m_impl->DoUnplug(port, false);
}

void Bus::UnplugAtFrame(unsigned port, ULONG frame)
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    PortState *p = m_impl->Port(port);
    m_impl->Engine(*p);
    p->unplugAtFrame = long(frame);
    m_impl->ArmTimer();
}

// The knobs that only store a value in the port's state.
#define ZELKO_PORT_SETTER(name, type, field)                                                                 \
    void Bus::name(unsigned port, type value)                                                                \
    {                                                                                                        \
        m_impl->With(port, [&](PortState &p) { p.field = value; });                                          \
    }
ZELKO_PORT_SETTER(UnplugAtUrb, unsigned, unplugAtUrb)
ZELKO_PORT_SETTER(SetResetPortStatus, NTSTATUS, resetStatus)
ZELKO_PORT_SETTER(SetCyclePortStatus, NTSTATUS, cycleStatus)
ZELKO_PORT_SETTER(SetIdleDelayMs, unsigned, idleDelayMs)
ZELKO_PORT_SETTER(ScriptIdleNotSupported, bool, idleNotSupported)
ZELKO_PORT_SETTER(FailBusInterfaceQuery, NTSTATUS, busInterfaceFailure)
ZELKO_PORT_SETTER(NullBusContext, bool, nullBusContext)
ZELKO_PORT_SETTER(FailQueryBusTime, NTSTATUS, busTimeFailure)
#undef ZELKO_PORT_SETTER

PDEVICE_OBJECT Bus::Pdo(unsigned port) const
{
    return m_impl->Peek<PDEVICE_OBJECT>(port, nullptr, [](const PortState &p) { return p.pdo; });
}

std::shared_ptr<VirtualDevice> Bus::Device(unsigned port) const
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    const PortState *p = m_impl->Port(port);
    return p ? p->device : nullptr;
}

std::string Bus::InstanceKey(unsigned port) const
{
    return m_impl->Peek<std::string>(port, std::string(),
                                     [](const PortState &p) { return p.instance.instanceKey; });
}

bool Bus::Connected(unsigned port) const
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    const PortState *p = m_impl->Port(port);
    return p && p->connected;
}

void Bus::SetPnpListener(PnpListener listener)
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    m_impl->listener = std::move(listener);
}

void Bus::SetSynchronous(bool synchronous)
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    m_impl->synchronous = synchronous;
    for (auto &[n, p] : m_impl->ports)
        if (p->engine)
            p->engine->SetSynchronous(synchronous);
}

void Bus::ScriptPortStatus(unsigned port, std::vector<PortAnswer> answers)
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    auto &s = m_impl->Port(port)->portScript;
    s.assign(answers.begin(), answers.end());
}

unsigned Bus::CycleCount(unsigned port) const
{
    return m_impl->Peek<unsigned>(port, 0, [](const PortState &p) { return p.cycles; });
}

bool Bus::IdleIrpHeld(unsigned port) const
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    return m_impl->IdleHeld(port);
}

unsigned Bus::IdleCallbacks(unsigned port) const
{
    return m_impl->Peek<unsigned>(port, 0, [](const PortState &p) { return p.idleCallbacks; });
}

DEVICE_POWER_STATE Bus::PowerState(unsigned port) const
{
    return m_impl->Peek<DEVICE_POWER_STATE>(port, PowerDeviceUnspecified,
                                            [](const PortState &p) { return p.power; });
}

LONG Bus::BusInterfaceReferences(unsigned port) const
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    const PortState *p = m_impl->Port(port);
    return p && p->busContext ? p->busContext->refs.load() : 0;
}

int Bus::InjectFault(unsigned port, const RequestMatch &match, const ControlFault &fault)
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    const int id = m_impl->nextFaultId++;
    m_impl->faults[id] = FaultEntry{port, match, fault, 0};
    return id;
}

void Bus::ClearFault(int id)
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    m_impl->faults.erase(id);
}

void Bus::HaltPipe(unsigned port, uint8_t endpoint)
{
    m_impl->With(port, [&](PortState &p) { p.halted[endpoint] = true; });
}

void Bus::FailSyncReset(unsigned port, uint8_t endpoint, NTSTATUS status)
{
    m_impl->With(port, [&](PortState &p) { p.syncResetFailure[endpoint] = status; });
}

void Bus::PostInData(unsigned port, uint8_t endpoint, Bytes data)
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    PortState *p = m_impl->Port(port);
    p->inData[endpoint].push_back(std::move(data));
    m_impl->DeliverIn(*p, endpoint);
}

std::vector<Bytes> Bus::OutData(unsigned port, uint8_t endpoint) const
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    const PortState *p = m_impl->Port(port);
    if (!p)
        return {};
    auto it = p->outData.find(endpoint);
    return it == p->outData.end() ? std::vector<Bytes>{} : it->second;
}

size_t Bus::PendingTransfers(unsigned port) const
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    size_t n = 0;
    for (const Held &h : m_impl->held)
        if (h.port == port && h.kind != HeldKind::Idle)
            ++n;
    return n;
}

USBD_PIPE_HANDLE Bus::PipeHandle(unsigned port, uint8_t endpoint) const
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    const PortState *p = m_impl->Port(port);
    if (p)
        for (const Pipe &pipe : p->pipes)
            if (pipe.endpoint == endpoint)
                return pipe.handle;
    return nullptr;
}

USBD_CONFIGURATION_HANDLE Bus::ConfigurationHandle(unsigned port) const
{
    return m_impl->Peek<USBD_CONFIGURATION_HANDLE>(port, nullptr,
                                                   [](const PortState &p) { return p.configuration; });
}

uint8_t Bus::CurrentAlternate(unsigned port, uint8_t interfaceNumber) const
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    const PortState *p = m_impl->Port(port);
    if (!p)
        return 0;
    auto it = p->alternates.find(interfaceNumber);
    return it == p->alternates.end() ? 0 : it->second;
}

IsoEngine &Bus::Iso(unsigned port)
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    return m_impl->Engine(*m_impl->Port(port));
}

std::vector<Event> Bus::Log() const
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    return m_impl->log;
}

std::vector<Event> Bus::Log(EventKind kind) const
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    std::vector<Event> r;
    for (const Event &e : m_impl->log)
        if (e.kind == kind)
            r.push_back(e);
    return r;
}

void Bus::ClearLog()
{
    std::lock_guard<std::recursive_mutex> g(m_impl->mu);
    m_impl->log.clear();
}

std::string Bus::LogText() const
{
    std::string s;
    for (const Event &e : Log())
        s += e.ToString() + "\n";
    return s;
}

} // namespace usbsim
