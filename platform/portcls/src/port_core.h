// The port-class stand-in's shared state and the part of a port every port type shares: its
// references, the miniport it holds, its filter (description, requests, events) and the two
// unregistration interfaces. Internal to the stand-in.
#pragma once

#include <pc_port.h>
#include <sim/kernel_sim.h>
#include <sim/portcls_sim.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace pcsim
{

using sim::portcls::Entry;

inline constexpr ULONG kPortTag = MakePoolTag("PcPt");
inline constexpr ULONG kSubdeviceTag = MakePoolTag("PcSd");
inline constexpr ULONG kConnectionTag = MakePoolTag("PcCn");

// Sub-device names are reference strings of a device interface; the framework keeps them short.
constexpr size_t kMaxNameChars = 127;

inline constexpr ULONG kEventTag = MakePoolTag("PcEv");
// A filter has at most this many categories, so a sub-device record has room for all its links.
inline constexpr ULONG kMaxCategories = 8;

struct SubdeviceRec
{
    PDEVICE_OBJECT Device;
    PPORT Port; // holds one reference
    WCHAR Name[kMaxNameChars + 1];
    ULONG LinkCount;
    UNICODE_STRING Links[kMaxCategories]; // the enabled device interfaces, one per category
};

struct ConnectionRec
{
    PDEVICE_OBJECT Device;
    PPORT From;
    ULONG FromPin;
    PPORT To;
    ULONG ToPin;

    bool Is(PDEVICE_OBJECT device, PPORT from, ULONG fromPin, PPORT to, ULONG toPin) const
    {
        return Device == device && From == from && FromPin == fromPin && To == to && ToPin == toPin;
    }
};

class CPortCore;

// The framework's state. The lock is never held while a port, a miniport or the pool's caller code
// runs a reference change that may end in a destructor.
struct State
{
    std::mutex Lock;
    std::vector<SubdeviceRec *> Subdevices;
    std::vector<ConnectionRec *> Connections;
    std::vector<sim::portcls::LogEntry> Log;
    std::vector<std::pair<Entry, NTSTATUS>> Failures;
    std::set<CPortCore *> Ports;
};

inline State &G()
{
    static State state;
    return state;
}

// Lock held. Consumes the first failure armed for `entry`.
inline bool TakeFailure(Entry entry, NTSTATUS *status)
{
    auto &failures = G().Failures;
    const auto it =
        std::find_if(failures.begin(), failures.end(), [entry](const auto &f) { return f.first == entry; });
    if (it == failures.end())
        return false;
    *status = it->second;
    failures.erase(it);
    return true;
}

inline std::string Narrow(PCWSTR text)
{
    std::string out;
    for (; text && *text; ++text)
        out += *text < 128 ? char(*text) : '?';
    return out;
}

inline bool SameName(PCWSTR a, PCWSTR b)
{
    for (; *a && *b; ++a, ++b)
        if (RtlUpcaseUnicodeChar(*a) != RtlUpcaseUnicodeChar(*b))
            return false;
    return *a == *b;
}

// A buffer of exactly the bytes a caller gave, so the sanitizer sees any access beyond them, with the
// caller's bytes in it; after a failure it must still hold them.
class ExactBuffer
{
public:
    ExactBuffer(const void *source, ULONG size) : m_Size(size), m_Bytes(new UCHAR[size])
    {
        if (size && source)
            std::memcpy(m_Bytes.get(), source, size);
        else if (size)
            std::memset(m_Bytes.get(), 0xA5, size);
    }
    PUCHAR Get() const { return m_Bytes.get(); }
    bool Same(const void *source) const
    {
        return !source || m_Size == 0 || std::memcmp(m_Bytes.get(), source, m_Size) == 0;
    }

private:
    ULONG m_Size;
    std::unique_ptr<UCHAR[]> m_Bytes;
};

inline bool IsWildcard(const GUID &g)
{
    return g == GUID{};
}

inline bool Matches(const GUID &client, const GUID &mine)
{
    return IsWildcard(client) || IsWildcard(mine) || client == mine;
}

// What every port type shares: its references, the miniport it holds and the two unregistration
// interfaces.
// What a client's subscription shares with the port's event entry: the signals it has seen.
struct SubscriptionState
{
    std::atomic<ULONG> Signals{0};
    KEVENT Signal; // synchronisation event, set per signal
};

} // namespace pcsim

// The stand-in's event entry: one enabled event of one client (non-paged pool, "PcEv").
struct KSEVENT_ENTRY
{
    GUID Set;
    ULONG EventId;
    ULONG NodeId; // PCFILTER_NODE for a filter event
    const PCEVENT_ITEM *Item;
    std::shared_ptr<pcsim::SubscriptionState> State;
    ULONG Key;   // the client's handle
    bool Listed; // the miniport's handler added it to the port's list
};

namespace pcsim
{

class CPortCore : public IUnregisterSubdevice, public IUnregisterPhysicalConnection, public IPortEvents
{
public:
    virtual PPORT AsPort() = 0;

    PUNKNOWN HeldMiniport() const { return m_Miniport; }
    BOOLEAN IsInitialised() const { return m_Miniport != nullptr; }
    // The checked description of the held miniport; null while none is held.
    const PCFILTER_DESCRIPTOR *Description() const { return m_Miniport ? m_Description : nullptr; }

    // A sub-device that leaves the framework lets go of its miniport, which usually holds the port:
    // without this the two would keep each other alive. Its enabled events go with it.
    void ReleaseChildren()
    {
        DropEvents();
        PUNKNOWN miniport = m_Miniport;
        m_Miniport = nullptr;
        m_MiniportBase = nullptr;
        m_Description = nullptr;
        m_MiniportHolds = 0;
        if (miniport)
            miniport->Release();
    }

    // ---- The filter (filter.cpp)
    // Sends one property request: `request` starts with KSPROPERTY (KSNODEPROPERTY when its flags
    // carry KSPROPERTY_TYPE_TOPOLOGY) and the instance follows; *valueSize in: the room of `value`,
    // out: the bytes written or needed.
    NTSTATUS Property(const void *request, ULONG requestSize, void *value, PULONG valueSize);
    // Runs the miniport's intersection over the pin's ranges, with the port's default behind it.
    NTSTATUS Intersect(ULONG pin, const KSDATARANGE *clientRange, ULONG clientRangeSize, ULONG length,
                       void *result, PULONG resultLength);
    NTSTATUS EnableEvent(const GUID &set, ULONG id, ULONG node,
                         const std::shared_ptr<SubscriptionState> &state, PULONG key);
    NTSTATUS DisableEvent(ULONG key);
    size_t ListedEvents();
    std::vector<sim::portcls::GeneratedEvent> Generated();

    void AddEventToEventList(PKSEVENT_ENTRY EventEntry) override;
    void GenerateEventList(const GUID *Set, ULONG EventId, BOOLEAN PinEvent, ULONG PinId, BOOLEAN NodeEvent,
                           ULONG NodeId) override;

    // ---- Streaming pins (pin.cpp)
    // Checks a data format against a streaming pin (see sim::audio::OpenPin) and opens the
    // miniport's stream on it; the pin counts as one instance until ClosePin.
    NTSTATUS OpenStream(ULONG pin, const void *dataFormat, ULONG size, PMINIPORTWAVECYCLICSTREAM *stream,
                        PDMACHANNEL *dma, PSERVICEGROUP *group, BOOLEAN *capture);
    // The same format checks for a pin already open, then the stream's SetFormat.
    NTSTATUS SetStreamFormat(ULONG pin, PMINIPORTWAVECYCLICSTREAM stream, const void *dataFormat, ULONG size);
    void ClosePin(ULONG pin);
    // Notify calls so far; the service they queue runs later on the DPC thread.
    ULONG Notifies() const { return m_Notifies; }

    NTSTATUS UnregisterSubdevice(PDEVICE_OBJECT deviceObject, PUNKNOWN subdevice) override;
    NTSTATUS UnregisterPhysicalConnection(PDEVICE_OBJECT deviceObject, PUNKNOWN fromUnknown, ULONG fromPin,
                                          PUNKNOWN toUnknown, ULONG toPin) override;

protected:
    CPortCore() = default;
    ~CPortCore() = default;

    ULONG AddReference() { return ++m_References; }
    // When only the references the miniport took in its Init are left, nobody outside can reach the
    // port any more (a registration would hold one of its own): the port lets go of the miniport,
    // whose release of the port then ends both. Nothing of `this` is touched after that release.
    ULONG DropReference()
    {
        const ULONG left = --m_References;
        if (left == 0)
            Destroy();
        else if (m_Miniport && m_MiniportHolds != 0 && left == m_MiniportHolds)
        {
            ReleaseChildren();
            return 0; // no outside reference left
        }
        return left;
    }
    virtual void Destroy() = 0;

    // Asks the miniport for its description and checks it; a broken one is logged with its rule.
    NTSTATUS TakeDescription(IMiniport *miniport);
    void DropEvents();

    std::atomic<ULONG> m_References{1};
    PUNKNOWN m_Miniport = nullptr; // the queried miniport interface, with its reference
    IMiniport *m_MiniportBase = nullptr;
    PPCFILTER_DESCRIPTOR m_Description = nullptr;
    ULONG m_MiniportHolds = 0; // references on this port the miniport took in its Init
    std::mutex m_RequestLock;  // one request of a filter at a time
    std::mutex m_EventLock;    // the event list; never held while a miniport runs
    std::vector<PKSEVENT_ENTRY> m_Events;
    std::vector<sim::portcls::GeneratedEvent> m_Generated;
    ULONG m_NextKey = 1;
    std::vector<ULONG> m_PinInstances; // open streams per pin, under m_RequestLock
    std::atomic<ULONG> m_Notifies{0};

    // Lock held. Whether `pin` may stream `dataFormat` (size already checked): a sink pin with a range
    // the format fits.
    NTSTATUS CheckPinFormat(ULONG pin, const KSDATAFORMAT *dataFormat);
};

// Whether the calling thread is inside a port's Notify: a service must never run there.
bool InNotify();

// Lock held. The live port whose port interface is `port`, or null.
inline CPortCore *LiveCore(PPORT port)
{
    for (CPortCore *p : G().Ports)
        if (p->AsPort() == port)
            return p;
    return nullptr;
}

// Resolves any interface of a live port to that port, with no reference kept. Null for null, for a
// foreign object and for a port already gone.
inline CPortCore *FindPort(PUNKNOWN unknown)
{
    if (!unknown)
        return nullptr;
    PVOID answer = nullptr;
    if (!NT_SUCCESS(unknown->QueryInterface(IID_IPort, &answer)) || !answer)
        return nullptr;
    IPort *port = static_cast<IPort *>(answer);
    CPortCore *found = nullptr;
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        found = LiveCore(port);
    }
    port->Release();
    return found;
}

// The device object at the bottom of the stack: device interfaces belong to the physical device.
inline PDEVICE_OBJECT PhysicalDevice(PDEVICE_OBJECT device)
{
    while (device->AttachedTo)
        device = device->AttachedTo;
    return device;
}

inline PPORT PortOf(CPortCore *core)
{
    return core ? core->AsPort() : nullptr;
}

} // namespace pcsim
