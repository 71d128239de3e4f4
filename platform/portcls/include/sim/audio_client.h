// The system audio client of the stand-in: finds filters by device-interface category, reads their
// pins, nodes and connections, sends property requests (typed or raw), intersects data ranges,
// subscribes to events and prints a filter. Only tests and the host program use it. Every request goes
// through the port exactly as the system's would, at PASSIVE_LEVEL.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <pc_port.h>

namespace sim::audio
{

// A registered filter whose device interface of the category is enabled.
struct FilterRef
{
    std::string Name; // the sub-device name (the interface's reference string)
    PDEVICE_OBJECT Device;
    PPORT Port;
};
std::vector<FilterRef> FiltersOf(const GUID &category);
// The filter registered under `name` on any device (compared without case), or a null Port.
FilterRef FindFilter(const std::string &name);

struct PinInfo
{
    KSPIN_DATAFLOW Flow;
    KSPIN_COMMUNICATION Communication;
    const GUID *Category;                   // null for none
    const GUID *Name;                       // null for none
    std::vector<std::vector<UCHAR>> Ranges; // each range's FormatSize bytes
};

struct PropertyInfo
{
    GUID Set;
    ULONG Id;
    ULONG Flags;
};

struct NodeInfo
{
    GUID Type;
    const GUID *Name; // null for none
    std::vector<PropertyInfo> Properties;
    std::vector<PropertyInfo> Events; // Flags 0
};

class Subscription;

// A client's view of one filter; holds a reference on its port.
class Filter
{
public:
    explicit Filter(PPORT port);
    ~Filter();
    Filter(const Filter &) = delete;
    Filter &operator=(const Filter &) = delete;

    bool Valid() const; // the port holds a miniport with a checked description

    std::vector<PinInfo> Pins() const;
    std::vector<NodeInfo> Nodes() const;
    std::vector<PCCONNECTION_DESCRIPTOR> Connections() const;
    std::vector<GUID> Categories() const;
    std::vector<PropertyInfo> FilterProperties() const;

    // One request of `verb` (KSPROPERTY_TYPE_GET, _SET or _BASICSUPPORT) for a node (with its channel
    // or other instance bytes after the node header) or, with node PCFILTER_NODE, for the filter or a
    // pin (instance: the pin id and what follows). *valueSize in: room of value; out: bytes.
    NTSTATUS Request(ULONG verb, const GUID &set, ULONG id, ULONG node, const void *instance,
                     ULONG instanceSize, void *value, PULONG valueSize);
    NTSTATUS Get(const GUID &set, ULONG id, ULONG node, const void *instance, ULONG instanceSize, void *value,
                 PULONG valueSize)
    {
        return Request(KSPROPERTY_TYPE_GET, set, id, node, instance, instanceSize, value, valueSize);
    }
    NTSTATUS Set(const GUID &set, ULONG id, ULONG node, const void *instance, ULONG instanceSize, void *value,
                 ULONG valueSize)
    {
        return Request(KSPROPERTY_TYPE_SET, set, id, node, instance, instanceSize, value, &valueSize);
    }
    NTSTATUS Support(const GUID &set, ULONG id, ULONG node, const void *instance, ULONG instanceSize,
                     void *value, PULONG valueSize)
    {
        return Request(KSPROPERTY_TYPE_BASICSUPPORT, set, id, node, instance, instanceSize, value, valueSize);
    }
    // Any request bytes: a KSPROPERTY (KSNODEPROPERTY with KSPROPERTY_TYPE_TOPOLOGY) and what follows.
    NTSTATUS Raw(const void *request, ULONG requestSize, void *value, PULONG valueSize);

    // The pin's format for a client range of `rangeSize` bytes, into `length` bytes of `result`.
    NTSTATUS Intersect(ULONG pin, const void *range, ULONG rangeSize, ULONG length, void *result,
                       PULONG resultLength);

    // Enables an event of a node (or, with PCFILTER_NODE, of the filter).
    NTSTATUS Subscribe(const GUID &set, ULONG id, ULONG node, std::unique_ptr<Subscription> *subscription);

    // Pins, nodes, connections and the jacks each pin reports, one item a line.
    std::string Print();

private:
    PPORT m_Port;
    friend class Subscription;
};

// One enabled event. Destroying it disables the event (when its filter still holds it).
class Subscription
{
public:
    ~Subscription();
    ULONG Signals() const;
    // Waits up to `timeoutMs` of virtual time for a signal not yet waited for: STATUS_SUCCESS or
    // STATUS_TIMEOUT.
    NTSTATUS Wait(LONGLONG timeoutMs);

private:
    friend class Filter;
    struct Impl;
    std::unique_ptr<Impl> m_Impl;
    Subscription();
};

std::string GuidText(const GUID &guid);

} // namespace sim::audio
