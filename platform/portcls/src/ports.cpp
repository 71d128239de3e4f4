// Port objects and the framework's sub-device and physical-connection registrations.
#include "port_core.h"

#include "port_version.h"

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <mutex>
#include <new>
#include <set>

using namespace pcsim;

namespace
{

thread_local bool t_inNotify = false;

// Marks the calling thread as inside Notify, for the pins' check that a service never runs there.
struct NotifyScope
{
    NotifyScope() { t_inNotify = true; }
    ~NotifyScope() { t_inNotify = false; }
};

// Disables and frees the record's device interfaces, last first.
void WithdrawInterfaces(SubdeviceRec *record)
{
    while (record->LinkCount > 0)
    {
        UNICODE_STRING &link = record->Links[--record->LinkCount];
        IoSetDeviceInterfaceState(&link, FALSE);
        RtlFreeUnicodeString(&link);
    }
}

// One enabled device interface per filter category, reference string the sub-device name; all or none.
NTSTATUS PublishInterfaces(SubdeviceRec *record, const PCFILTER_DESCRIPTOR &description)
{
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, record->Name);
    const PDEVICE_OBJECT physical = PhysicalDevice(record->Device);
    for (ULONG i = 0; i < description.CategoryCount; ++i)
    {
        UNICODE_STRING &link = record->Links[record->LinkCount];
        NTSTATUS status = IoRegisterDeviceInterface(physical, &description.Categories[i], &reference, &link);
        if (NT_SUCCESS(status))
        {
            status = IoSetDeviceInterfaceState(&link, TRUE);
            if (NT_SUCCESS(status))
                ++record->LinkCount;
            else
                RtlFreeUnicodeString(&link);
        }
        if (!NT_SUCCESS(status))
        {
            WithdrawInterfaces(record);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

struct WaveCyclicTraits
{
    using Port = IPortWaveCyclic;
    using Miniport = IMiniportWaveCyclic;
    static constexpr const GUID &PortIid = IID_IPortWaveCyclic;
    static constexpr const GUID &MiniportIid = IID_IMiniportWaveCyclic;
};

struct TopologyTraits
{
    using Port = IPortTopology;
    using Miniport = IMiniportTopology;
    static constexpr const GUID &PortIid = IID_IPortTopology;
    static constexpr const GUID &MiniportIid = IID_IMiniportTopology;
};

template <class Traits> class CPort final : public Traits::Port, public CPortCore
{
public:
    static NTSTATUS Create(PPORT *out)
    {
        void *memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(CPort), kPortTag);
        if (!memory)
            return STATUS_INSUFFICIENT_RESOURCES;
        CPort *port = new (memory) CPort();
        {
            std::lock_guard<std::mutex> guard(G().Lock);
            G().Ports.insert(port);
        }
        *out = port->AsPort();
        return STATUS_SUCCESS;
    }

    PPORT AsPort() override { return static_cast<typename Traits::Port *>(this); }

    NTSTATUS QueryInterface(REFIID iid, PVOID *object) override
    {
        if (!object)
            return STATUS_INVALID_PARAMETER;
        if (iid == IID_IPortClsVersion)
            return PcQueryPortClsVersion(object);
        PUNKNOWN answer = nullptr;
        if (iid == IID_IUnknown || iid == IID_IPort || iid == Traits::PortIid)
            answer = AsPort();
        else if (iid == IID_IUnregisterSubdevice)
            answer = static_cast<IUnregisterSubdevice *>(this);
        else if (iid == IID_IUnregisterPhysicalConnection)
            answer = static_cast<IUnregisterPhysicalConnection *>(this);
        else if (iid == IID_IPortEvents)
            answer = static_cast<IPortEvents *>(this);
        *object = answer;
        if (!answer)
            return STATUS_INVALID_PARAMETER;
        AddReference();
        return STATUS_SUCCESS;
    }
    ULONG AddRef() override { return AddReference(); }
    ULONG Release() override { return DropReference(); }

    // IPortWaveCyclic's: the group's members run on the DPC thread (a plain method for topology ports,
    // so it cannot be marked override).
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Winconsistent-missing-override"
#endif
    void Notify(PSERVICEGROUP serviceGroup)
    {
        ++m_Notifies;
        NotifyScope scope;
        if (serviceGroup)
            serviceGroup->RequestService();
    }
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

    NTSTATUS Init(PDEVICE_OBJECT, IRP *, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                  PRESOURCELIST resourceList) override
    {
        sim::AssertPassiveLevel("IPort::Init");
        {
            std::lock_guard<std::mutex> guard(G().Lock);
            NTSTATUS injected;
            if (TakeFailure(Entry::PortInit, &injected))
                return injected;
        }
        if (!unknownMiniport)
            return STATUS_INVALID_PARAMETER;
        if (m_Miniport)
            return STATUS_INVALID_DEVICE_REQUEST; // a port wraps one miniport for its whole life
        PVOID answer = nullptr;
        NTSTATUS status = unknownMiniport->QueryInterface(Traits::MiniportIid, &answer);
        if (!NT_SUCCESS(status))
            return status;
        if (!answer)
            return STATUS_INVALID_PARAMETER;
        auto *miniport = static_cast<typename Traits::Miniport *>(answer);
        const ULONG before = m_References;
        status = miniport->Init(unknownAdapter, resourceList, AsPort());
        if (!NT_SUCCESS(status))
        {
            miniport->Release();
            return status;
        }
        status = TakeDescription(miniport);
        if (!NT_SUCCESS(status))
        {
            miniport->Release();
            return status;
        }
        const ULONG after = m_References;
        m_MiniportHolds = after > before ? after - before : 0;
        m_Miniport = miniport;
        m_MiniportBase = miniport;
        return status;
    }

private:
    CPort() = default;
    ~CPort() = default;

    void Destroy() override
    {
        {
            std::lock_guard<std::mutex> guard(G().Lock);
            G().Ports.erase(this);
        }
        ReleaseChildren();
        this->~CPort();
        ExFreePoolWithTag(this, kPortTag);
    }
};

// Lock held. Appends a log entry and returns its status.
NTSTATUS Logged(sim::portcls::LogEntry entry)
{
    G().Log.push_back(entry);
    return entry.Status;
}

// Lock held. The common part of both unregistrations: an armed failure, else the first record that
// `matches` is unlinked and handed back (the caller frees it outside the lock); no such record is
// STATUS_INVALID_PARAMETER. The call is logged either way; *status is its result.
template <class Rec, class Match>
Rec *TakeRecord(std::vector<Rec *> &records, sim::portcls::LogEntry entry, Match matches, NTSTATUS *status)
{
    Rec *record = nullptr;
    if (!TakeFailure(entry.What, &entry.Status))
    {
        const auto it = std::find_if(records.begin(), records.end(), matches);
        if (it == records.end())
            entry.Status = STATUS_INVALID_PARAMETER;
        else
        {
            record = *it;
            records.erase(it);
        }
    }
    *status = Logged(entry);
    return record;
}

// Lock held. Whether `pin` exists on the core's filter as a bridge pin flowing `flow`.
bool IsBridgePin(const CPortCore *core, ULONG pin, KSPIN_DATAFLOW flow)
{
    const PCFILTER_DESCRIPTOR *description = core->Description();
    if (!description || pin >= description->PinCount)
        return false;
    const KSPIN_DESCRIPTOR &ks = description->Pins[pin].KsPinDescriptor;
    return ks.Communication == KSPIN_COMMUNICATION_NONE && ks.DataFlow == flow;
}

// Lock held.
bool IsRegistered(PDEVICE_OBJECT device, PPORT port)
{
    const auto &subs = G().Subdevices;
    return std::any_of(subs.begin(), subs.end(),
                       [&](const SubdeviceRec *r) { return r->Device == device && r->Port == port; });
}

void ResetForTest()
{
    sim::portcls::ClearForwardedContents();
    std::lock_guard<std::mutex> guard(G().Lock);
    // The pool reset that follows reclaims the memory of whatever a failed test left.
    G().Subdevices.clear();
    G().Connections.clear();
    G().Log.clear();
    G().Failures.clear();
    G().Ports.clear();
}

std::string EndOfTestCheck()
{
    std::lock_guard<std::mutex> guard(G().Lock);
    std::string report;
    if (!G().Subdevices.empty())
    {
        report = std::to_string(G().Subdevices.size()) + " sub-device(s) still registered:";
        for (const SubdeviceRec *r : G().Subdevices)
            report += " " + Narrow(r->Name);
    }
    if (!G().Connections.empty())
        report += (report.empty() ? "" : "; ") + std::to_string(G().Connections.size()) +
                  " physical connection(s) still registered";
    if (!G().Failures.empty())
        report += (report.empty() ? "" : "; ") + std::to_string(G().Failures.size()) +
                  " port-class failure(s) armed and never reached";
    return report;
}

const bool registered = (sim::RegisterComponent("portcls", &ResetForTest, &EndOfTestCheck), true);

} // namespace

bool pcsim::InNotify()
{
    return t_inNotify;
}

NTSTATUS CPortCore::UnregisterSubdevice(PDEVICE_OBJECT deviceObject, PUNKNOWN subdevice)
{
    sim::AssertPassiveLevel("IUnregisterSubdevice::UnregisterSubdevice");
    CPortCore *core = FindPort(subdevice);
    const auto matches = [&](const SubdeviceRec *r)
    { return core && r->Device == deviceObject && r->Port == core->AsPort(); };
    SubdeviceRec *record = nullptr;
    NTSTATUS status;
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        auto &subs = G().Subdevices;
        const auto it = std::find_if(subs.begin(), subs.end(), matches);
        const std::string name = it != subs.end() ? Narrow((*it)->Name) : "?";
        record = TakeRecord(
            subs,
            {Entry::UnregisterSubdevice, STATUS_SUCCESS, deviceObject, name, PortOf(core), 0, nullptr, 0},
            matches, &status);
    }
    if (!record)
        return status;
    WithdrawInterfaces(record);
    core->ReleaseChildren();
    record->Port->Release();
    ExFreePoolWithTag(record, kSubdeviceTag);
    return status;
}

NTSTATUS CPortCore::UnregisterPhysicalConnection(PDEVICE_OBJECT deviceObject, PUNKNOWN fromUnknown,
                                                 ULONG fromPin, PUNKNOWN toUnknown, ULONG toPin)
{
    sim::AssertPassiveLevel("IUnregisterPhysicalConnection::UnregisterPhysicalConnection");
    const PPORT from = PortOf(FindPort(fromUnknown));
    const PPORT to = PortOf(FindPort(toUnknown));
    ConnectionRec *record = nullptr;
    NTSTATUS status;
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        record = TakeRecord(
            G().Connections,
            {Entry::UnregisterPhysicalConnection, STATUS_SUCCESS, deviceObject, "", from, fromPin, to, toPin},
            [&](const ConnectionRec *r)
            { return from && to && r->Is(deviceObject, from, fromPin, to, toPin); },
            &status);
    }
    if (record)
        ExFreePoolWithTag(record, kConnectionTag);
    return status;
}

NTSTATUS PcNewPort(PPORT *outPort, REFGUID classId)
{
    sim::AssertPassiveLevel("PcNewPort");
    if (!outPort)
        return STATUS_INVALID_PARAMETER;
    *outPort = nullptr;
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        NTSTATUS injected;
        if (TakeFailure(Entry::NewPort, &injected))
            return injected;
    }
    if (classId == CLSID_PortWaveCyclic)
        return CPort<WaveCyclicTraits>::Create(outPort);
    if (classId == CLSID_PortTopology)
        return CPort<TopologyTraits>::Create(outPort);
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT deviceObject, PCWSTR name, PUNKNOWN unknown)
{
    sim::AssertPassiveLevel("PcRegisterSubdevice");
    CPortCore *core = FindPort(unknown);
    const ULONG maxObjects = PcAdapterMaxObjects(deviceObject);
    std::lock_guard<std::mutex> guard(G().Lock);
    sim::portcls::LogEntry entry{
        Entry::RegisterSubdevice, STATUS_SUCCESS, deviceObject, Narrow(name), PortOf(core), 0, nullptr, 0};
    if (TakeFailure(Entry::RegisterSubdevice, &entry.Status))
        return Logged(entry);
    size_t chars = 0;
    while (name && chars <= kMaxNameChars && name[chars])
        ++chars;
    if (!deviceObject || !core || chars == 0 || chars > kMaxNameChars ||
        IsRegistered(deviceObject, core->AsPort()))
    {
        entry.Status = STATUS_INVALID_PARAMETER;
        return Logged(entry);
    }
    if (!core->IsInitialised())
    {
        entry.Status = STATUS_INVALID_DEVICE_REQUEST;
        return Logged(entry);
    }
    for (const SubdeviceRec *r : G().Subdevices)
        if (r->Device == deviceObject && SameName(r->Name, name))
        {
            entry.Status = STATUS_OBJECT_NAME_COLLISION;
            return Logged(entry);
        }
    const auto onDevice = [deviceObject](const SubdeviceRec *r) { return r->Device == deviceObject; };
    if (maxObjects &&
        size_t(std::count_if(G().Subdevices.begin(), G().Subdevices.end(), onDevice)) >= maxObjects)
    {
        entry.Status = STATUS_INSUFFICIENT_RESOURCES;
        return Logged(entry);
    }
    auto *record =
        static_cast<SubdeviceRec *>(ExAllocatePoolWithTag(PagedPool, sizeof(SubdeviceRec), kSubdeviceTag));
    if (!record)
    {
        entry.Status = STATUS_INSUFFICIENT_RESOURCES;
        return Logged(entry);
    }
    *record = SubdeviceRec{deviceObject, core->AsPort(), {}, 0, {}};
    std::copy(name, name + chars, record->Name);
    entry.Status = PublishInterfaces(record, *core->Description());
    if (!NT_SUCCESS(entry.Status))
    {
        ExFreePoolWithTag(record, kSubdeviceTag);
        return Logged(entry);
    }
    record->Port->AddRef();
    G().Subdevices.push_back(record);
    return Logged(entry);
}

NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT deviceObject, PUNKNOWN fromUnknown, ULONG fromPin,
                                      PUNKNOWN toUnknown, ULONG toPin)
{
    sim::AssertPassiveLevel("PcRegisterPhysicalConnection");
    const CPortCore *fromCore = FindPort(fromUnknown);
    const CPortCore *toCore = FindPort(toUnknown);
    const PPORT from = PortOf(const_cast<CPortCore *>(fromCore));
    const PPORT to = PortOf(const_cast<CPortCore *>(toCore));
    std::lock_guard<std::mutex> guard(G().Lock);
    sim::portcls::LogEntry entry{
        Entry::RegisterPhysicalConnection, STATUS_SUCCESS, deviceObject, "", from, fromPin, to, toPin};
    if (TakeFailure(Entry::RegisterPhysicalConnection, &entry.Status))
        return Logged(entry);
    // A physical connection joins two bridge pins, signal leaving one filter and entering the other.
    if (!deviceObject || !from || !to || !IsRegistered(deviceObject, from) ||
        !IsRegistered(deviceObject, to) || !IsBridgePin(fromCore, fromPin, KSPIN_DATAFLOW_OUT) ||
        !IsBridgePin(toCore, toPin, KSPIN_DATAFLOW_IN))
    {
        entry.Status = STATUS_INVALID_PARAMETER;
        return Logged(entry);
    }
    for (const ConnectionRec *r : G().Connections)
        if (r->Is(deviceObject, from, fromPin, to, toPin))
        {
            entry.Status = STATUS_OBJECT_NAME_COLLISION;
            return Logged(entry);
        }
    auto *record =
        static_cast<ConnectionRec *>(ExAllocatePoolWithTag(PagedPool, sizeof(ConnectionRec), kConnectionTag));
    if (!record)
    {
        entry.Status = STATUS_INSUFFICIENT_RESOURCES;
        return Logged(entry);
    }
    *record = ConnectionRec{deviceObject, from, fromPin, to, toPin};
    G().Connections.push_back(record);
    return Logged(entry);
}

// ---- Test face ------------------------------------------------------------------------------------

const char *sim::portcls::EntryName(Entry entry)
{
    static const char *const kNames[] = {"NewPort",
                                         "PortInit",
                                         "RegisterSubdevice",
                                         "RegisterPhysicalConnection",
                                         "UnregisterSubdevice",
                                         "UnregisterPhysicalConnection"};
    const size_t index = size_t(entry);
    return index < std::size(kNames) ? kNames[index] : "?";
}

std::vector<sim::portcls::SubdeviceRecord> sim::portcls::Subdevices()
{
    std::lock_guard<std::mutex> guard(G().Lock);
    std::vector<SubdeviceRecord> out;
    for (const SubdeviceRec *r : G().Subdevices)
        out.push_back({r->Device, Narrow(r->Name), r->Port});
    return out;
}

std::vector<sim::portcls::ConnectionRecord> sim::portcls::Connections()
{
    std::lock_guard<std::mutex> guard(G().Lock);
    std::vector<ConnectionRecord> out;
    for (const ConnectionRec *r : G().Connections)
        out.push_back({r->Device, r->From, r->FromPin, r->To, r->ToPin});
    return out;
}

std::vector<sim::portcls::LogEntry> sim::portcls::Log()
{
    std::lock_guard<std::mutex> guard(G().Lock);
    return G().Log;
}

std::vector<std::string> sim::portcls::LogLines()
{
    std::vector<std::string> lines;
    char status[32];
    for (const LogEntry &e : Log())
    {
        std::string line = EntryName(e.What);
        if (e.What == Entry::RegisterSubdevice || e.What == Entry::UnregisterSubdevice)
            line += " " + e.Name;
        else
            line += " " + std::to_string(e.FromPin) + "->" + std::to_string(e.ToPin);
        if (!NT_SUCCESS(e.Status))
        {
            std::snprintf(status, sizeof(status), " failed 0x%08X", unsigned(e.Status));
            line += status;
        }
        lines.push_back(line);
    }
    return lines;
}

void sim::portcls::ClearLog()
{
    std::lock_guard<std::mutex> guard(G().Lock);
    G().Log.clear();
}

void sim::portcls::FailNext(Entry entry, NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(G().Lock);
    G().Failures.emplace_back(entry, status);
}

std::vector<sim::portcls::GeneratedEvent> sim::portcls::GeneratedEvents(PPORT port)
{
    CPortCore *core = FindPort(port);
    return core ? core->Generated() : std::vector<GeneratedEvent>{};
}

size_t sim::portcls::ListedEvents(PPORT port)
{
    CPortCore *core = FindPort(port);
    return core ? core->ListedEvents() : 0;
}

size_t sim::portcls::LivePorts()
{
    std::lock_guard<std::mutex> guard(G().Lock);
    return G().Ports.size();
}

PUNKNOWN sim::portcls::HeldMiniport(PPORT port)
{
    std::lock_guard<std::mutex> guard(G().Lock);
    const CPortCore *core = LiveCore(port);
    return core ? core->HeldMiniport() : nullptr;
}

void sim::portcls::Reset()
{
    ResetForTest();
}
