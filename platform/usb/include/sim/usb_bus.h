// Test face of the simulated USB bus: virtual devices with descriptors, a control plane of request
// handlers over per-entity state, a hub with ports whose PDOs serve the internal USB IOCTLs, and an
// ordered event log that tests compare field by field. The driver never includes this; it sees only
// the PDO, the IOCTLs of <usb_ioctl.h> and the bus interface.
//
// Lifetime: a Bus allocates nothing from the kernel pool until the first Plug, so it may live in a
// fixture; call Shutdown() before the kernel's end-of-test checks (it unplugs every port, cancels
// the bus's timers and deletes the PDOs).
//
// Threads: the bus serialises itself with one host mutex that is never held while a driver routine
// (dispatch, completion, idle callback, PnP listener) runs; device request handlers run under it.
// Control answers and bulk/interrupt transfers complete asynchronously, on the DPC thread at
// DISPATCH_LEVEL, unless SetSynchronous(true); selections, pipe requests, port IOCTLs and refusals
// complete inside the call. Isochronous URBs go to the port's IsoEngine. The PnP notices of an
// Unplug() or a Plug() come on the caller's thread; those of a cycle, an unplug at a frame or at
// the n-th URB come on the hub's own system thread, as do the idle callbacks.
//
// Statuses: a gone device gives IRP STATUS_DEVICE_NOT_CONNECTED with USBD_STATUS_DEVICE_GONE; a
// device outside D0 refuses control and isochronous URBs with STATUS_POWER_STATE_INVALID and
// USBD_STATUS_NOT_SUPPORTED; malformed URBs, and selections of a setting the configuration lacks or
// whose endpoint descriptors fall short of its bNumEndpoints, give STATUS_INVALID_PARAMETER.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <ntkernel.h>
#include <usb_ioctl.h>
#include <usb_urb.h>

#include <sim/usb_builders.h>
#include <sim/usb_iso_engine.h>

namespace usbsim
{

class Bus;
class VirtualDevice;
struct Event;

// ---- Control plane ----------------------------------------------------------------------------------
enum class RequestType : uint8_t
{
    Standard = 0,
    Class = 1,
    Vendor = 2
};
enum class Recipient : uint8_t
{
    Device = 0,
    Interface = 1,
    Endpoint = 2,
    Other = 3
};

// A control request as the device sees it (the 8-byte setup plus the OUT data).
struct ControlRequest
{
    bool in = true; // device to host
    RequestType type = RequestType::Standard;
    Recipient recipient = Recipient::Device;
    uint8_t bRequest = 0;
    uint16_t wValue = 0, wIndex = 0, wLength = 0;
    Bytes data; // OUT: the bytes the host sent (wLength of them)

    uint8_t bmRequestType() const
    {
        return uint8_t((in ? 0x80 : 0) | (uint8_t(type) << 5) | uint8_t(recipient));
    }
    uint8_t ControlSelector() const { return uint8_t(wValue >> 8); }
    uint8_t Channel() const { return uint8_t(wValue); }
    uint8_t EntityId() const { return uint8_t(wIndex >> 8); }
    uint8_t InterfaceNumber() const { return uint8_t(wIndex); }
};

// What a handler answers: a stall, or the data (IN; the bus caps it at wLength).
struct ControlReply
{
    bool stall = false;
    Bytes data;
    static ControlReply Stall() { return {true, {}}; }
    static ControlReply Data(Bytes b) { return {false, std::move(b)}; }
    static ControlReply Ok() { return {false, {}}; }
};

// Which requests a handler or an injected fault takes; an unset field matches anything.
struct RequestMatch
{
    std::optional<bool> in;
    std::optional<RequestType> type;
    std::optional<Recipient> recipient;
    std::optional<uint8_t> bRequest;
    std::optional<uint16_t> wValue, wIndex;
    uint16_t wValueMask = 0xFFFF, wIndexMask = 0xFFFF; // applied to both sides before comparing
    bool Matches(const ControlRequest &r) const;
};

using ControlHandler = std::function<ControlReply(VirtualDevice &device, const ControlRequest &request)>;

// One audio-class control of one channel of one entity. Values are little-endian `size` bytes on the
// wire (1, 2, 3 or 4); RANGE answers the subranges (or one {min, max, res} when empty).
struct Subrange
{
    int64_t min = 0, max = 0, res = 0;
};
struct ControlState
{
    ControlState() = default;
    ControlState(uint8_t size, int64_t cur, int64_t min, int64_t max, int64_t res,
                 std::vector<Subrange> ranges = {})
        : size(size), cur(cur), min(min), max(max), res(res), ranges(std::move(ranges))
    {
    }
    uint8_t size = 2;
    int64_t cur = 0, min = 0, max = 0, res = 1;
    std::vector<Subrange> ranges;
    unsigned setCount = 0; // SET_CUR requests taken
};
// Per-entity state: controls keyed by (control selector, channel), the GET_MEM/SET_MEM block.
struct EntityState
{
    std::map<std::pair<uint8_t, uint8_t>, ControlState> controls;
    Bytes memory;
};

// ---- Virtual device ---------------------------------------------------------------------------------
enum class DeviceFamily
{
    Generic,
    Uac1,
    Uac2,
    Chip
};

class VirtualDevice
{
public:
    explicit VirtualDevice(DescriptorSet descriptors, DeviceFamily family = DeviceFamily::Generic);
    virtual ~VirtualDevice();

    // Ready-made devices: the builders' descriptors, the family's request handlers and entity state
    // (feature-unit controls, clock ranges, selector, chip registers) and the canned handlers.
    static std::shared_ptr<VirtualDevice> Uac1(const Uac1Options &options = {});
    static std::shared_ptr<VirtualDevice> Uac2(const Uac2Options &options = {});
    static std::shared_ptr<VirtualDevice> Chip(const ChipOptions &options = {});
    // The same over descriptors a test built or patched itself.
    static std::shared_ptr<VirtualDevice> Make(DescriptorSet descriptors, DeviceFamily family);

    // Descriptors; tests may patch them before and between plugs (the next read sees the change).
    DescriptorSet &Descriptors() { return m_desc; }
    DeviceFamily Family() const { return m_family; }
    Speed GetSpeed() const { return m_desc.speed; }
    uint16_t VendorId() const;
    uint16_t ProductId() const;
    uint16_t BcdDevice() const;
    void SetString(uint8_t index, std::u16string text) { m_desc.strings[index] = std::move(text); }
    // A raw string descriptor served instead of the text (to send malformed ones).
    void SetRawString(uint8_t index, Bytes raw) { m_rawStrings[index] = std::move(raw); }

    // Request handlers: the newest matching handler answers; none answers: stall.
    // Returns an id for RemoveHandler.
    int AddHandler(const RequestMatch &match, ControlHandler handler);
    void RemoveHandler(int id);
    // Runs one request through the table (the bus calls this; tests may too).
    ControlReply Handle(const ControlRequest &request);

    // Entity state.
    EntityState &Entity(uint8_t id) { return m_entities[id]; }
    ControlState &Control(uint8_t entity, uint8_t selector, uint8_t channel)
    {
        return m_entities[entity].controls[{selector, channel}];
    }
    bool HasControl(uint8_t entity, uint8_t selector, uint8_t channel) const;
    // Sampling rate of a data endpoint (UAC1 endpoint SET_CUR; UAC2: the clock's CUR).
    uint32_t EndpointRate(uint8_t endpointAddress) const;
    void SetEndpointRate(uint8_t endpointAddress, uint32_t rate); // tells the port's engine too
    const std::map<uint8_t, uint32_t> &EndpointRates() const { return m_rates; }
    // UAC2: the clock source's entity id and its frequency ranges.
    uint8_t ClockId() const { return m_clockId; }

    // Chip family: register bytes (vendor request 0x81 reads wIndex), the GET_REPORT switch state.
    std::map<uint8_t, uint8_t> &Registers() { return m_registers; }
    // The next GET_REPORT answers carry these switch bytes, one per read, then `reportDefault`.
    std::vector<Bytes> reportScript;
    Bytes reportDefault = {0x00, 0x00, 0x00};

    // Canned answers, changeable at any time (UAC1 vendor form and UAC2 class form alike):
    // vendor IN requests to recipient "other" by (bRequest << 16 | wValue) (chip registers: request
    // 0x81 reads Registers()[wIndex] instead); vendor request 7 to the device and 0x10 to an
    // interface (taken unless stalled); per terminal id its jack entries (channel mapping,
    // configuration word), presence mask, selectable output types and the current one.
    std::map<uint32_t, Bytes> otherReads;
    bool stallVendor7 = false, stallVendor10 = false;
    struct Jack
    {
        uint32_t channelMapping = 0, configuration = 0;
    };
    std::map<uint8_t, std::vector<Jack>> jacks;
    std::map<uint8_t, uint32_t> presenceMask;
    std::map<uint8_t, std::vector<uint16_t>> outputTypes;
    std::map<uint8_t, uint16_t> currentOutputType;
    // Valid alternate settings (UAC2) per streaming interface: the bmValidAltSettings bits.
    std::map<uint8_t, uint32_t> validAlternates;

    // The bus and port the device is plugged into (null, 0 when not plugged), for handlers that
    // need the port's engine.
    Bus *PluggedBus() const { return m_bus; }
    unsigned PluggedPort() const { return m_port; }
    // Adds an event to the bus log (nothing when not plugged); handlers log register writes so.
    void LogEvent(const Event &event);

private:
    friend class Bus;
    void InstallFamilyHandlers();
    DescriptorSet m_desc;
    DeviceFamily m_family;
    std::map<uint8_t, Bytes> m_rawStrings;
    struct HandlerEntry
    {
        int id;
        RequestMatch match;
        ControlHandler handler;
    };
    std::vector<HandlerEntry> m_handlers;
    int m_nextHandlerId = 1;
    std::map<uint8_t, EntityState> m_entities;
    std::map<uint8_t, uint32_t> m_rates;
    uint8_t m_clockId = 0;
    std::map<uint8_t, uint8_t> m_registers;
    Bus *m_bus = nullptr;
    unsigned m_port = 0;
};

// ---- Event log --------------------------------------------------------------------------------------
enum class EventKind
{
    Urb, // one URB taken by a PDO (status and length filled in at completion;
         // isochronous ones stay "pending" here: the engine's log has their end)
    SelectConfiguration,
    SelectInterface,
    PortStatus, // GET_PORT_STATUS answered
    ResetPort,
    CyclePort,
    Power,         // IRP_MJ_POWER SET_POWER (device state)
    IdleSubmit,    // idle IRP taken
    IdleCallback,  // the hub called the driver's IdleCallback
    IdleComplete,  // idle IRP completed (status)
    RegisterWrite, // chip register written (HID SET_REPORT on interface 3)
    Plug,
    Unplug,
    BusInterface, // QUERY_INTERFACE answered (status)
};
const char *EventKindName(EventKind kind);

struct Event
{
    EventKind kind = EventKind::Urb;
    uint64_t sequence = 0; // 1, 2, ... in the order the bus logged them
    unsigned port = 0;
    LONGLONG time = 0; // virtual 100 ns units at the event
    ULONG frame = 0;   // bus frame at the event
    // URBs
    USHORT function = 0; // URB function code
    uint8_t bmRequestType = 0, bRequest = 0;
    uint16_t wValue = 0, wIndex = 0, wLength = 0; // control: the setup; others: wLength = buffer length
    uint8_t endpoint = 0;                         // bulk, interrupt, isochronous, abort, reset pipe
    ULONG length = 0;                             // bytes moved (at completion)
    USBD_STATUS usbdStatus = USBD_STATUS_PENDING; // at completion
    NTSTATUS status = STATUS_PENDING;             // IRP status at completion (or of the IOCTL)
    bool completed = false;
    Bytes data; // control OUT data, or the IN answer
    // Selections
    uint8_t configurationValue = 0, interfaceNumber = 0, alternateSetting = 0;
    // Port, power, registers
    ULONG portStatus = 0;
    DEVICE_POWER_STATE powerState = PowerDeviceUnspecified;
    uint8_t reg = 0;
    uint16_t regValue = 0;
    std::string ToString() const;
};

// ---- PnP --------------------------------------------------------------------------------------------
enum class PnpEventKind
{
    Arrival,
    SurpriseRemoval,
    Removal
};
struct PnpEvent
{
    PnpEventKind kind;
    unsigned port;
    PDEVICE_OBJECT pdo;
};
// Called outside the bus lock at PASSIVE_LEVEL. On Arrival a listener typically creates and attaches
// an FDO; on Removal it detaches and deletes it (the bus deletes the PDO once nothing is attached).
using PnpListener = std::function<void(const PnpEvent &event)>;

// ---- Injection --------------------------------------------------------------------------------------
enum class FaultKind
{
    Stall,       // the request stalls (URB 0xC0000004, IRP STATUS_UNSUCCESSFUL)
    Short,       // the answer is cut to `value` bytes
    WrongLength, // the data is as usual but TransferBufferLength reports `value`
    FailAfter,   // the first `value` matching requests succeed, later ones fail with `usbdStatus`
    Delay,       // the completion comes `value` virtual milliseconds later
    NoAnswer,    // pending until cancelled
    Fail,        // the URB fails with `usbdStatus` (IRP status `status`)
};
struct ControlFault
{
    FaultKind kind = FaultKind::Stall;
    uint32_t value = 0;
    USBD_STATUS usbdStatus = USBD_STATUS_STALL_PID;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    int times = -1; // matching requests it applies to (after FailAfter's successes); -1: all
};

// One answer of the GET_PORT_STATUS script.
struct PortAnswer
{
    NTSTATUS status = STATUS_SUCCESS;
    ULONG bits = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
};

// ---- Bus --------------------------------------------------------------------------------------------
class Bus
{
public:
    Bus();
    ~Bus(); // calls Shutdown
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    // Unplugs every port, completes what is outstanding, cancels timers, deletes PDOs and engines.
    void Shutdown();
    // What a test left behind on the bus ("" when clean): bus-interface references, IRPs the bus
    // still holds, PDOs with devices still attached.
    std::string Check() const;

    // Creates a PDO for the device on the port (ports 1..), writes the Enum entries (hardware IDs
    // "USB\VID_%04X&PID_%04X&REV_%04X" and "USB\VID_%04X&PID_%04X", an instance key named after the
    // port with "Device Parameters"), binds them to the PDO and tells the PnP listener (Arrival).
    // Null when the port is taken or the PDO cannot be created.
    PDEVICE_OBJECT Plug(unsigned port, std::shared_ptr<VirtualDevice> device);
    // Device gone: outstanding transfers complete with DEVICE_NOT_CONNECTED, later submissions fail
    // at once; the listener hears SurpriseRemoval and Removal.
    void Unplug(unsigned port);
    void UnplugAtFrame(unsigned port, ULONG frame);
    void UnplugAtUrb(unsigned port, unsigned nthUrb); // the n-th URB from now (1 = next) finds it gone
    PDEVICE_OBJECT Pdo(unsigned port) const;
    std::shared_ptr<VirtualDevice> Device(unsigned port) const;
    std::string InstanceKey(unsigned port) const; // the Enum instance key path
    bool Connected(unsigned port) const;

    void SetPnpListener(PnpListener listener);

    // Completion mode: true completes inside IofCallDriver (the engine takes the same knob).
    void SetSynchronous(bool synchronous);

    // GET_PORT_STATUS answers these in order, then the live state (enabled | connected while
    // plugged, 0 after an unplug).
    void ScriptPortStatus(unsigned port, std::vector<PortAnswer> answers);
    // RESET_PORT and CYCLE_PORT results (default success).
    void SetResetPortStatus(unsigned port, NTSTATUS status);
    void SetCyclePortStatus(unsigned port, NTSTATUS status);
    unsigned CycleCount(unsigned port) const; // re-enumerations done

    // Selective suspend: after `ms` virtual ms the hub calls the held idle IRP's IdleCallback at
    // PASSIVE_LEVEL (default 0: at once, from a work item). With NotSupported the next idle IRP
    // completes with STATUS_NOT_SUPPORTED instead.
    void SetIdleDelayMs(unsigned port, unsigned ms);
    void ScriptIdleNotSupported(unsigned port, bool notSupported = true);
    bool IdleIrpHeld(unsigned port) const;
    unsigned IdleCallbacks(unsigned port) const;
    DEVICE_POWER_STATE PowerState(unsigned port) const;

    // Bus interface (QUERY_INTERFACE for USB_BUS_INTERFACE_USBDI_GUID, version 0 or 1).
    void FailBusInterfaceQuery(unsigned port, NTSTATUS status = STATUS_NOT_SUPPORTED);
    void NullBusContext(unsigned port, bool null = true);
    void FailQueryBusTime(unsigned port, NTSTATUS status = STATUS_UNSUCCESSFUL);
    LONG BusInterfaceReferences(unsigned port) const; // outstanding references (QUERY_INTERFACE adds one)

    // Control-request faults (descriptor reads are standard GET_DESCRIPTOR requests and match too).
    // Returns an id for ClearFault.
    int InjectFault(unsigned port, const RequestMatch &match, const ControlFault &fault);
    void ClearFault(int id);
    // Pipes by endpoint address: halted pipes fail transfers with ENDPOINT_HALTED until
    // SYNC_RESET_PIPE_AND_CLEAR_STALL (or RESET_PORT); a failing SYNC_RESET returns `status`.
    void HaltPipe(unsigned port, uint8_t endpoint);
    void FailSyncReset(unsigned port, uint8_t endpoint, NTSTATUS status = STATUS_UNSUCCESSFUL);

    // Bulk and interrupt IN: data the device sends; a pending read takes the next chunk (data longer
    // than the buffer completes it with DATA_OVERRUN). OUT: what the device received.
    void PostInData(unsigned port, uint8_t endpoint, Bytes data);
    std::vector<Bytes> OutData(unsigned port, uint8_t endpoint) const;
    size_t PendingTransfers(unsigned port) const; // non-isochronous URBs held

    // Handles of the current selection (to build URBs by hand); null when not selected.
    USBD_PIPE_HANDLE PipeHandle(unsigned port, uint8_t endpoint) const;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle(unsigned port) const;
    uint8_t CurrentAlternate(unsigned port, uint8_t interfaceNumber) const;

    // The isochronous engine of the port (frames, OUT sink, IN source, feedback, scripts). Each port
    // has its own, made on first use and kept across unplug and cycle until Shutdown, so a test may
    // set it up before plugging and read it afterwards. QueryBusTime and
    // URB_FUNCTION_GET_CURRENT_FRAME_NUMBER read its frame.
    IsoEngine &Iso(unsigned port);

    // The ordered log of every port.
    std::vector<Event> Log() const;
    std::vector<Event> Log(EventKind kind) const;
    void ClearLog();
    std::string LogText() const;

    struct Impl;

private:
    friend class VirtualDevice;
    std::unique_ptr<Impl> m_impl;
};

} // namespace usbsim
