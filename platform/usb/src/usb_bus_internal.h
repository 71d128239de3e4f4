// Shared state of the simulated bus: ports, their PDOs, pipes and held IRPs, the timer and the hub
// thread. One recursive host mutex (Impl::mu) guards it; it is never held while a driver routine runs
// (dispatch, completion, cancel, idle callback, PnP listener).
#pragma once

#include <atomic>
#include <deque>
#include <list>
#include <mutex>
#include <optional>

#include <sim/registry_sim.h>
#include <sim/usb_bus.h>

namespace usbsim
{

constexpr uint32_t kPdoMagic = 0x4F445055; // "UPDO"
constexpr uint32_t kBusContextMagic = 0x58544342;

struct PdoExtension
{
    uint32_t magic;
    Bus::Impl *bus;
    unsigned port;
};

// The bus interface's context: lives until the bus goes, so a late dereference stays harmless.
struct BusContextBlock
{
    uint32_t magic = kBusContextMagic;
    Bus::Impl *bus = nullptr;
    unsigned port = 0;
    std::atomic<LONG> refs{0};
};

struct Pipe
{
    USBD_PIPE_HANDLE handle = nullptr;
    uint8_t endpoint = 0, attributes = 0, interval = 0, interfaceNumber = 0, alternate = 0;
    uint16_t maxPacket = 0;
    bool feedback = false; // carries feedback, not audio (usage bits or a bSynchAddress naming it)
    USBD_PIPE_TYPE type = UsbdPipeTypeControl;
    IsoPipeId iso = 0;
};

// A non-isochronous IRP the bus holds: a control answer waiting for its time, a bulk or interrupt
// read waiting for data, the idle IRP.
enum class HeldKind
{
    Control,
    Transfer,
    Idle,
    Ioctl
};
struct Held
{
    PIRP irp = nullptr;
    PURB urb = nullptr;
    HeldKind kind = HeldKind::Control;
    unsigned port = 0;
    uint8_t endpoint = 0;
    uint64_t seq = 0;          // its URB event in the log (0: none)
    LONGLONG due = -1;         // interrupt time it completes at; -1: waits (data, cancel, unplug)
    LONGLONG callbackDue = -1; // idle IRP: when the hub calls its IdleCallback
    // Prepared outcome (control answers and ready transfers).
    Bytes data; // IN bytes to copy into the buffer
    ULONG reportedLength = 0;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    NTSTATUS status = STATUS_SUCCESS;
};

struct FaultEntry
{
    unsigned port;
    RequestMatch match;
    ControlFault fault;
    uint32_t passed = 0; // FailAfter: matching requests let through so far
};

struct PortState
{
    unsigned number = 0;
    std::shared_ptr<VirtualDevice> device;
    PDEVICE_OBJECT pdo = nullptr;
    sim::registry::DeviceInstance instance;
    bool present = false;   // a device is plugged (cleared by an unplug)
    bool connected = false; // the device answers (cleared at once by an unplug)
    DEVICE_POWER_STATE power = PowerDeviceD0;
    unsigned cycles = 0;
    // Selection
    USBD_CONFIGURATION_HANDLE configuration = nullptr;
    uint8_t configurationValue = 0;
    std::map<uint8_t, uint8_t> alternates;
    std::map<uint8_t, USBD_INTERFACE_HANDLE> interfaceHandles;
    std::vector<Pipe> pipes;
    std::map<uint8_t, bool> halted; // by endpoint
    std::map<uint8_t, NTSTATUS> syncResetFailure;
    // Scripts and knobs
    std::deque<PortAnswer> portScript;
    NTSTATUS resetStatus = STATUS_SUCCESS, cycleStatus = STATUS_SUCCESS;
    unsigned idleDelayMs = 0;
    bool idleNotSupported = false;
    unsigned idleCallbacks = 0;
    NTSTATUS busInterfaceFailure = STATUS_SUCCESS;
    bool nullBusContext = false;
    NTSTATUS busTimeFailure = STATUS_SUCCESS;
    BusContextBlock *busContext = nullptr;
    long unplugAtFrame = -1;  // frame number, or -1
    unsigned unplugAtUrb = 0; // URBs left until the unplug, 0: none
    // Data
    std::map<uint8_t, std::deque<Bytes>> inData;
    std::map<uint8_t, std::vector<Bytes>> outData;
    std::unique_ptr<IsoEngine> engine;
    const Pipe *FindPipe(USBD_PIPE_HANDLE h) const
    {
        for (const Pipe &p : pipes)
            if (p.handle == h && h != nullptr)
                return &p;
        return nullptr;
    }
};

struct Bus::Impl
{
    Bus *owner = nullptr;
    mutable std::recursive_mutex mu;
    std::map<unsigned, std::unique_ptr<PortState>> ports;
    std::vector<Event> log;
    uint64_t nextSeq = 1;
    PnpListener listener;
    bool synchronous = false;
    std::map<int, FaultEntry> faults;
    int nextFaultId = 1;
    uintptr_t nextHandle = 0x10000;
    std::list<Held> held;
    // Idle IRPs whose callback the hub has committed to and is running, with the completion that came
    // meanwhile: as a real hub does, the IRP completes only after its callback returned, so that the
    // driver may free the callback's context once the IRP is back.
    struct IdleInCallback
    {
        PIRP irp;
        bool ended = false;
        NTSTATUS status = STATUS_SUCCESS;
        USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    };
    std::vector<IdleInCallback> idleInCallback;
    std::vector<std::unique_ptr<BusContextBlock>> contexts;
    std::vector<PDEVICE_OBJECT> zombies; // removed PDOs something was still attached to

    // Kernel objects, made at the first plug.
    bool kernelReady = false;
    DRIVER_OBJECT hubDriver{};
    KTIMER timer;
    KDPC timerDpc, readyDpc;
    LONGLONG timerDue = -1;
    // Hub thread: PnP notifications and idle callbacks at PASSIVE_LEVEL.
    PKTHREAD hubThread = nullptr;
    KEVENT hubWake;
    bool hubStop = false;
    std::deque<std::function<void()>> hubQueue;
    size_t hubBusy = 0; // items taken and still running

    // ---- usb_bus.cpp ----
    bool EnsureKernel();            // false when the hub thread cannot start
    PortState *Port(unsigned port); // lock held
    const PortState *Port(unsigned port) const;
    uint64_t AddEvent(Event e); // lock held; returns its sequence number
    uint64_t Note(EventKind kind, unsigned port, NTSTATUS status = STATUS_SUCCESS); // takes the lock
    // Runs f on the port's state under the lock (the port made when missing) and returns its result.
    template <typename F> auto With(unsigned port, F f)
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        return f(*Port(port));
    }
    // The same for a port that may not exist: `none` when it does not.
    template <typename T, typename F> T Peek(unsigned port, T none, F f) const
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        const PortState *p = Port(port);
        return p ? f(*p) : none;
    }
    void UpdateEvent(uint64_t seq, const std::function<void(Event &)> &f);
    void Schedule(Held h);                  // lock held: queue a held IRP (due >= 0 arms the timer)
    void ArmTimer();                        // lock held
    std::optional<Held> TakeHeld(PIRP irp); // lock held: removes and returns the IRP's entry
    bool IdleHeld(unsigned port) const;     // lock held: an idle IRP of the port is held
    // Lock held: true when the idle IRP's callback is running; its completion with `status` then waits
    // for the callback's return.
    bool DeferIdleCompletion(PIRP irp, NTSTATUS status, USBD_STATUS usbd);
    // Completes a held IRP (lock not held), or defers an idle one whose callback runs.
    void FinishHeld(Held &h, NTSTATUS status, USBD_STATUS usbd, std::optional<ULONG> length);
    void RunDue(); // DPC: completes what is due
    void RunOnHub(std::function<void()> work);
    void DoUnplug(unsigned port, bool fromHub); // completes transfers; PnP now or on the hub thread
    void NotifyRemoval(unsigned port, PDEVICE_OBJECT pdo);
    void Cycle(unsigned port);
    void Enumerate(PortState &p, PDEVICE_OBJECT pdo);
    PDEVICE_OBJECT MakePdo(unsigned port); // lock not held
    void DeletePdo(PDEVICE_OBJECT pdo);
    void Fire(PnpEventKind kind, unsigned port, PDEVICE_OBJECT pdo);
    IsoEngine &Engine(PortState &p);
    // Completes held IRPs of the port matching pred with the status (lock not held by the caller).
    void EndHeld(unsigned port, const std::function<bool(const Held &)> &pred, NTSTATUS status,
                 USBD_STATUS usbd);

    // ---- usb_pdo.cpp ----
    NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp);
    NTSTATUS DispatchIoctl(PortState &p, PIRP irp, bool live);
    NTSTATUS DispatchPnp(PortState &p, PIRP irp, bool live);
    NTSTATUS DispatchPower(PortState &p, PIRP irp, bool live);
    NTSTATUS QueryInterface(PortState &p, PIRP irp, bool live);
    NTSTATUS SubmitIdle(PortState &p, PIRP irp, bool live);
    void IdleCallbackDue(unsigned port, PIRP irp); // hub thread
    // Completes now when due now in synchronous mode; otherwise holds it (marked pending, with a
    // cancel routine) until its time, data, a cancel or an unplug, and returns STATUS_PENDING.
    NTSTATUS Answer(Held h);
    // Sets the URB status (and TransferBufferLength when `length` is given), fills in the log entry
    // and completes the IRP. Returns `status`.
    NTSTATUS Finish(PIRP irp, PURB urb, uint64_t seq, NTSTATUS status, USBD_STATUS usbd,
                    std::optional<ULONG> length);

    // ---- usb_pdo_urb.cpp ----
    NTSTATUS SubmitUrb(PortState &p, PIRP irp, PURB urb, bool live);
    NTSTATUS SelectConfiguration(PortState &p, PIRP irp, PURB urb, uint64_t seq);
    NTSTATUS SelectInterface(PortState &p, PIRP irp, PURB urb, uint64_t seq);
    NTSTATUS PipeRequest(PortState &p, PIRP irp, PURB urb, uint64_t seq);
    NTSTATUS Transfer(PortState &p, PIRP irp, PURB urb, uint64_t seq);
    // Drops the pipes `which` picks: their held transfers and isochronous transfers complete as
    // cancelled, their handles go stale. Lock not held (the engine waits for its completions).
    void ClosePipes(PortState &p, const std::function<bool(const Pipe &)> &which);
    // Writes the interface record and its pipes (new handles) for the endpoints given. Lock held.
    void FillInterface(PUSBD_INTERFACE_INFORMATION info, const USB_INTERFACE_DESCRIPTOR *d,
                       const std::vector<const USB_ENDPOINT_DESCRIPTOR *> &eps, std::vector<Pipe> &pipes);
    void SetStreamFormats(PortState &p, const Bytes &cfg, const USB_INTERFACE_DESCRIPTOR *d,
                          const std::vector<const USB_ENDPOINT_DESCRIPTOR *> &eps);
    // Opens the engine's pipes for isochronous endpoints of the new pipes (lock not held).
    void OpenIsoPipes(PortState &p, std::vector<Pipe> &pipes);
    void DeliverIn(PortState &p, uint8_t endpoint); // lock held: pending reads take posted data

    // ---- usb_control.cpp ----
    NTSTATUS Control(PortState &p, PIRP irp, PURB urb, uint64_t seq, ControlRequest req);

    USBD_PIPE_HANDLE NewHandle() { return reinterpret_cast<USBD_PIPE_HANDLE>(nextHandle += 0x10); }
};

// Status pairs the bus reports.
constexpr NTSTATUS kLowPowerStatus = STATUS_POWER_STATE_INVALID;

} // namespace usbsim
