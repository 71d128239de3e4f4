// Test face of the port-class stand-in's registration half: the sub-devices and physical
// connections registered now, the ordered log of registration calls, failure injection per entry
// point, and the live port objects. Only tests and the host program include this.
//
// Ports, sub-device records and connection records come from the kernel pool (tags "PcPt", "PcSd",
// "PcCn"), so an injected allocation failure reaches them and a forgotten port shows as a leak. The
// kernel's per-test reset forgets every record; its end-of-test check reports records still
// registered.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <pc_port.h>

namespace sim::portcls
{

// The entry points that log and that FailNext can fail.
enum class Entry
{
    NewPort,                      // PcNewPort
    PortInit,                     // IPort::Init
    RegisterSubdevice,            // PcRegisterSubdevice
    RegisterPhysicalConnection,   // PcRegisterPhysicalConnection
    UnregisterSubdevice,          // IUnregisterSubdevice::UnregisterSubdevice
    UnregisterPhysicalConnection, // IUnregisterPhysicalConnection::UnregisterPhysicalConnection
};
const char *EntryName(Entry entry);

// Ports are named by their IPort pointer, the one PcNewPort handed out, whichever of the port's
// interfaces the caller passed.
struct SubdeviceRecord
{
    PDEVICE_OBJECT Device;
    std::string Name; // the registered name (characters above 127 as '?')
    PPORT Port;
};

struct ConnectionRecord
{
    PDEVICE_OBJECT Device;
    PPORT From;
    ULONG FromPin;
    PPORT To;
    ULONG ToPin;
};

// One registration or unregistration call, successful or not, in call order. Fields an entry does
// not have stay empty (null, 0). A unknown that is not a port of the stand-in is logged as null.
struct LogEntry
{
    Entry What;
    NTSTATUS Status;
    PDEVICE_OBJECT Device;
    std::string Name; // RegisterSubdevice only
    PPORT From;       // the sub-device for the sub-device entries
    ULONG FromPin;
    PPORT To;
    ULONG ToPin;
};

std::vector<SubdeviceRecord> Subdevices();   // in registration order
std::vector<ConnectionRecord> Connections(); // in registration order
// The register and unregister calls only (NewPort and PortInit are not logged).
std::vector<LogEntry> Log();
// The log as text, one line per call: "RegisterSubdevice HPOut00Wave", "RegisterPhysicalConnection
// 1->3", "UnregisterPhysicalConnection 1->3", "UnregisterSubdevice HPOut00Wave", with " failed
// 0xC000000D" appended to a failed call (the name of an unregistered sub-device is the one it was
// registered with, or "?" when unknown).
std::vector<std::string> LogLines();
void ClearLog();

// The next call of `entry` returns `status` and does nothing else (it is still logged). Each call
// arms one failure; several arm several, consumed in order.
void FailNext(Entry entry, NTSTATUS status);

// One GenerateEventList call a port received, whether or not an entry matched.
struct GeneratedEvent
{
    GUID Set;
    ULONG EventId;
    BOOLEAN PinEvent;
    ULONG PinId;
    BOOLEAN NodeEvent;
    ULONG NodeId;
};
inline bool operator==(const GeneratedEvent &a, const GeneratedEvent &b)
{
    return a.Set == b.Set && a.EventId == b.EventId && a.PinEvent == b.PinEvent && a.PinId == b.PinId &&
           a.NodeEvent == b.NodeEvent && a.NodeId == b.NodeId;
}
// Every GenerateEventList call of a live port, in order; empty for an unknown port.
std::vector<GeneratedEvent> GeneratedEvents(PPORT port);
// Enabled events a live port holds.
size_t ListedEvents(PPORT port);

// One PcForwardContentToDeviceObject call, in order.
struct ForwardedContent
{
    ULONG ContentId;
    PDEVICE_OBJECT DeviceObject;
    PVOID FileObject;
    PVOID Context;
    bool HasRights;   // the forward carried rights
    DRMRIGHTS Rights; // zero without
};
std::vector<ForwardedContent> ForwardedContents();
void ClearForwardedContents();

size_t LivePorts(); // port objects not yet freed
// The miniport interface a port holds (IMiniportWaveCyclic or IMiniportTopology), null when it
// holds none or `port` is not a live port of the stand-in.
PUNKNOWN HeldMiniport(PPORT port);

// Forgets every record, the log and armed failures (the pool reset reclaims the memory). The kernel's
// per-test reset calls it.
void Reset();

} // namespace sim::portcls
