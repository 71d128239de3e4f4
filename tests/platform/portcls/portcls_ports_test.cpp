// Port objects, sub-device and physical-connection registration of the port-class stand-in.
#include <pc_port.h>
#include <sim/io_sim.h>
#include <sim/portcls_sim.h>

#include "support/bridge_filter.h"
#include "support/kernel_test.h"

#include <algorithm>
#include <string>
#include <vector>

namespace
{

using sim::portcls::Entry;

// A miniport that can answer either miniport interface, records its Init call and, like a real
// miniport, may hold the port it was given.
class FakeMiniport final : public IMiniportWaveCyclic, public IMiniportTopology
{
public:
    bool answersWave = true;
    bool answersTopology = true;
    bool holdsPort = false;
    NTSTATUS initStatus = STATUS_SUCCESS;

    int initCalls = 0;
    PUNKNOWN initAdapter = nullptr;
    PRESOURCELIST initResources = nullptr;
    PPORT initPort = nullptr;
    PPORT heldPort = nullptr;
    LONG refs = 0;

    NTSTATUS QueryInterface(REFIID iid, PVOID *object) override
    {
        *object = nullptr;
        if (iid == IID_IUnknown || (answersWave && (iid == IID_IMiniportWaveCyclic || iid == IID_IMiniport)))
            *object = static_cast<IMiniportWaveCyclic *>(this);
        else if (answersTopology && iid == IID_IMiniportTopology)
            *object = static_cast<IMiniportTopology *>(this);
        if (!*object)
            return STATUS_INVALID_PARAMETER;
        ++refs;
        return STATUS_SUCCESS;
    }
    ULONG AddRef() override { return ULONG(++refs); }
    // Pin 0 streams in; pins 1 and 2 are bridges out, pin 3 a bridge in.
    BridgeFilter filter{{KSPIN_DATAFLOW_IN, KSPIN_DATAFLOW_OUT, KSPIN_DATAFLOW_OUT, KSPIN_DATAFLOW_IN}};
    NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR *description) override
    {
        filter.MakeStreaming(0);
        *description = filter.Get();
        return STATUS_SUCCESS;
    }
    NTSTATUS DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    NTSTATUS NewStream(PMINIPORTWAVECYCLICSTREAM *, PUNKNOWN, POOL_TYPE, ULONG, BOOLEAN, PKSDATAFORMAT,
                       PDMACHANNEL *, PSERVICEGROUP *) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    ULONG Release() override
    {
        if (--refs == 0 && heldPort)
        {
            // The last outside reference gone: a real miniport would be destroyed and drop its port.
            PPORT port = heldPort;
            heldPort = nullptr;
            port->Release();
        }
        return ULONG(refs);
    }
    NTSTATUS Init(PUNKNOWN adapter, PRESOURCELIST resources, PPORT port) override
    {
        ++initCalls;
        initAdapter = adapter;
        initResources = resources;
        initPort = port;
        if (NT_SUCCESS(initStatus) && holdsPort)
        {
            heldPort = port;
            port->AddRef();
        }
        return initStatus;
    }
};

// An object that is not a port of the framework but answers IUnknown.
class Stranger final : public IUnknown
{
public:
    NTSTATUS QueryInterface(REFIID iid, PVOID *object) override
    {
        *object = nullptr;
        if (iid != IID_IUnknown)
            return STATUS_INVALID_PARAMETER;
        return STATUS_SUCCESS;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
};

ULONG RefsOf(PUNKNOWN unknown)
{
    unknown->AddRef();
    return unknown->Release();
}

template <class I> I *Query(PUNKNOWN unknown, REFIID iid)
{
    PVOID object = nullptr;
    if (!NT_SUCCESS(unknown->QueryInterface(iid, &object)))
        return nullptr;
    return static_cast<I *>(object);
}

class PortclsPortsTest : public KernelTest
{
protected:
    // A port of `classId` initialised over `miniport`.
    PPORT NewInitialisedPort(REFGUID classId, FakeMiniport &miniport)
    {
        PPORT port = nullptr;
        EXPECT_EQ(PcNewPort(&port, classId), STATUS_SUCCESS);
        if (port)
        {
            EXPECT_EQ(port->Init(&device, nullptr, static_cast<IMiniportWaveCyclic *>(&miniport), &adapter,
                                 nullptr),
                      STATUS_SUCCESS);
        }
        return port;
    }

    // A wave and a topology port, initialised, with the wave port's two unregistration interfaces.
    struct Ports
    {
        FakeMiniport waveMiniport, topologyMiniport;
        PPORT wave = nullptr;
        PPORT topo = nullptr;
        IUnregisterSubdevice *sub = nullptr;
        IUnregisterPhysicalConnection *conn = nullptr;
    };
    void Open(Ports &p)
    {
        p.wave = NewInitialisedPort(CLSID_PortWaveCyclic, p.waveMiniport);
        p.topo = NewInitialisedPort(CLSID_PortTopology, p.topologyMiniport);
        ASSERT_TRUE(p.wave && p.topo);
        p.sub = Query<IUnregisterSubdevice>(p.wave, IID_IUnregisterSubdevice);
        p.conn = Query<IUnregisterPhysicalConnection>(p.wave, IID_IUnregisterPhysicalConnection);
        ASSERT_TRUE(p.sub && p.conn);
    }
    // Drops the test's references; the ports must go with them.
    void Close(Ports &p)
    {
        p.sub->Release();
        p.conn->Release();
        EXPECT_EQ(p.wave->Release(), 0u);
        EXPECT_EQ(p.topo->Release(), 0u);
    }

    DEVICE_OBJECT device{};
    DEVICE_OBJECT otherDevice{};
    Stranger adapter;
};

TEST_F(PortclsPortsTest, NewPortCreatesTheTwoPortTypesAndRefusesOthers)
{
    PPORT wave = nullptr;
    PPORT topology = nullptr;
    ASSERT_EQ(PcNewPort(&wave, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    ASSERT_EQ(PcNewPort(&topology, CLSID_PortTopology), STATUS_SUCCESS);
    EXPECT_EQ(sim::portcls::LivePorts(), 2u);
    EXPECT_EQ(RefsOf(wave), 1u);

    // Each port answers its own type's interface and the two unregistration interfaces only.
    struct Case
    {
        PPORT port;
        const GUID &iid;
        bool answered;
    };
    const Case cases[] = {
        {wave, IID_IUnknown, true},
        {wave, IID_IPort, true},
        {wave, IID_IPortWaveCyclic, true},
        {wave, IID_IPortTopology, false},
        {wave, IID_IMiniport, false},
        {wave, IID_IUnregisterSubdevice, true},
        {topology, IID_IPortTopology, true},
        {topology, IID_IPortWaveCyclic, false},
        {topology, IID_IUnregisterPhysicalConnection, true},
    };
    for (const Case &c : cases)
    {
        PVOID object = reinterpret_cast<PVOID>(1);
        const NTSTATUS status = c.port->QueryInterface(c.iid, &object);
        EXPECT_EQ(status, c.answered ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        EXPECT_EQ(object != nullptr, c.answered);
        if (object)
            static_cast<IUnknown *>(object)->Release();
    }

    PPORT other = reinterpret_cast<PPORT>(1);
    EXPECT_EQ(PcNewPort(&other, IID_IMiniportWaveCyclic), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(PcNewPort(nullptr, CLSID_PortWaveCyclic), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(wave->Release(), 0u);
    EXPECT_EQ(topology->Release(), 0u);
    EXPECT_EQ(sim::portcls::LivePorts(), 0u);

    sim::FailAllocation(1);
    PPORT failed = reinterpret_cast<PPORT>(1);
    EXPECT_EQ(PcNewPort(&failed, CLSID_PortTopology), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(sim::portcls::LivePorts(), 0u);

    sim::portcls::FailNext(Entry::NewPort, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(PcNewPort(&failed, CLSID_PortWaveCyclic), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(failed, nullptr);
}

TEST_F(PortclsPortsTest, InitCallsTheMiniportOfThePortTypeAndHoldsItOnlyOnSuccess)
{
    PPORT wave = nullptr;
    ASSERT_EQ(PcNewPort(&wave, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    PUNKNOWN miniportUnknown = nullptr;

    // A miniport of the wrong type: the query's status, nothing called, nothing held.
    FakeMiniport topologyOnly;
    topologyOnly.answersWave = false;
    miniportUnknown = static_cast<IMiniportTopology *>(&topologyOnly);
    EXPECT_EQ(wave->Init(&device, nullptr, miniportUnknown, &adapter, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(topologyOnly.initCalls, 0);
    EXPECT_EQ(topologyOnly.refs, 0);

    // The miniport's own failure comes back and the port keeps nothing.
    FakeMiniport failing;
    failing.initStatus = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(wave->Init(&device, nullptr, static_cast<IMiniportWaveCyclic *>(&failing), &adapter, nullptr),
              STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(failing.initCalls, 1);
    EXPECT_EQ(failing.refs, 0);
    EXPECT_EQ(sim::portcls::HeldMiniport(wave), nullptr);

    // An injected failure does not reach the miniport.
    FakeMiniport good;
    sim::portcls::FailNext(Entry::PortInit, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(wave->Init(&device, nullptr, static_cast<IMiniportWaveCyclic *>(&good), &adapter, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(good.initCalls, 0);
    EXPECT_EQ(wave->Init(&device, nullptr, nullptr, &adapter, nullptr), STATUS_INVALID_PARAMETER);

    // Success: Init saw (adapter, resources, this port), the port holds one reference.
    auto *resources = reinterpret_cast<PRESOURCELIST>(&otherDevice);
    EXPECT_EQ(wave->Init(&device, nullptr, static_cast<IMiniportWaveCyclic *>(&good), &adapter, resources),
              STATUS_SUCCESS);
    EXPECT_EQ(good.initCalls, 1);
    EXPECT_EQ(good.initAdapter, &adapter);
    EXPECT_EQ(good.initResources, resources);
    EXPECT_EQ(good.initPort, wave);
    EXPECT_EQ(good.refs, 1);
    EXPECT_EQ(sim::portcls::HeldMiniport(wave),
              static_cast<PUNKNOWN>(static_cast<IMiniportWaveCyclic *>(&good)));
    // One miniport per port.
    FakeMiniport second;
    EXPECT_EQ(wave->Init(&device, nullptr, static_cast<IMiniportWaveCyclic *>(&second), &adapter, nullptr),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(second.initCalls, 0);

    EXPECT_EQ(wave->Release(), 0u);
    EXPECT_EQ(good.refs, 0);

    // The topology port asks for the topology interface.
    FakeMiniport topology;
    topology.answersWave = false;
    PPORT topo = nullptr;
    ASSERT_EQ(PcNewPort(&topo, CLSID_PortTopology), STATUS_SUCCESS);
    EXPECT_EQ(topo->Init(&device, nullptr, static_cast<IMiniportTopology *>(&topology), &adapter, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::portcls::HeldMiniport(topo),
              static_cast<PUNKNOWN>(static_cast<IMiniportTopology *>(&topology)));
    EXPECT_EQ(topo->Release(), 0u);
    EXPECT_EQ(topology.refs, 0);
}

TEST_F(PortclsPortsTest, SubdevicesAreRecordedWithAReferenceAndNamesAreUniquePerDevice)
{
    FakeMiniport m1, m2, m3;
    PPORT wave = NewInitialisedPort(CLSID_PortWaveCyclic, m1);
    PPORT topo = NewInitialisedPort(CLSID_PortTopology, m2);
    PPORT third = NewInitialisedPort(CLSID_PortWaveCyclic, m3);
    ASSERT_TRUE(wave && topo && third);

    EXPECT_EQ(PcRegisterSubdevice(&device, u"HPOut00Wave", wave), STATUS_SUCCESS);
    EXPECT_EQ(RefsOf(wave), 2u);
    // Any of the port's interfaces names the port.
    auto *unregister = Query<IUnregisterSubdevice>(topo, IID_IUnregisterSubdevice);
    ASSERT_NE(unregister, nullptr);
    EXPECT_EQ(PcRegisterSubdevice(&device, u"Topology", unregister), STATUS_SUCCESS);
    unregister->Release();

    // Names compare without case on one device; another device has its own names.
    EXPECT_EQ(PcRegisterSubdevice(&device, u"hpout00WAVE", third), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(PcRegisterSubdevice(&otherDevice, u"HPOut00Wave", third), STATUS_SUCCESS);

    // Bad arguments, a port already registered, a foreign object, an uninitialised port.
    Stranger stranger;
    PPORT bare = nullptr;
    ASSERT_EQ(PcNewPort(&bare, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    const std::u16string tooLong(128, u'x');
    EXPECT_EQ(PcRegisterSubdevice(nullptr, u"A", topo), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PcRegisterSubdevice(&device, nullptr, topo), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PcRegisterSubdevice(&device, u"", topo), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PcRegisterSubdevice(&device, tooLong.c_str(), bare), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PcRegisterSubdevice(&device, u"Again", wave), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PcRegisterSubdevice(&device, u"Stranger", &stranger), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PcRegisterSubdevice(&device, u"Bare", bare), STATUS_INVALID_DEVICE_REQUEST);

    const auto records = sim::portcls::Subdevices();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].Device, &device);
    EXPECT_EQ(records[0].Name, "HPOut00Wave");
    EXPECT_EQ(records[0].Port, wave);
    EXPECT_EQ(records[1].Name, "Topology");
    EXPECT_EQ(records[1].Port, topo);
    EXPECT_EQ(records[2].Device, &otherDevice);
    EXPECT_EQ(records[2].Port, third);

    // Left registered, the records show in the end-of-test check.
    EXPECT_NE(EndOfTestReport().find("3 sub-device(s) still registered: HPOut00Wave Topology HPOut00Wave"),
              std::string::npos);

    for (PPORT p : {wave, topo, third})
    {
        auto *u = Query<IUnregisterSubdevice>(p, IID_IUnregisterSubdevice);
        EXPECT_EQ(u->UnregisterSubdevice(p == third ? &otherDevice : &device, p), STATUS_SUCCESS);
        u->Release();
        EXPECT_EQ(p->Release(), 0u);
    }
    EXPECT_EQ(bare->Release(), 0u);
    EXPECT_EQ(sim::portcls::LivePorts(), 0u);
}

TEST_F(PortclsPortsTest, ConnectionsNeedBothPortsRegisteredOnThatDevice)
{
    Ports p;
    Open(p);
    PPORT wave = p.wave;
    PPORT topo = p.topo;
    ASSERT_EQ(PcRegisterSubdevice(&device, u"Wave", wave), STATUS_SUCCESS);

    EXPECT_EQ(PcRegisterPhysicalConnection(&device, wave, 1, topo, 3), STATUS_INVALID_PARAMETER);
    // Registered on another device only.
    FakeMiniport m3;
    PPORT elsewhere = NewInitialisedPort(CLSID_PortTopology, m3);
    ASSERT_EQ(PcRegisterSubdevice(&otherDevice, u"Topology", elsewhere), STATUS_SUCCESS);
    EXPECT_EQ(PcRegisterPhysicalConnection(&device, wave, 1, elsewhere, 3), STATUS_INVALID_PARAMETER);
    IUnregisterSubdevice *unregisterSub = p.sub;
    ASSERT_EQ(unregisterSub->UnregisterSubdevice(&otherDevice, elsewhere), STATUS_SUCCESS);
    EXPECT_EQ(elsewhere->Release(), 0u);
    ASSERT_EQ(PcRegisterSubdevice(&device, u"Topology", topo), STATUS_SUCCESS);
    Stranger stranger;
    EXPECT_EQ(PcRegisterPhysicalConnection(&device, wave, 1, &stranger, 3), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PcRegisterPhysicalConnection(nullptr, wave, 1, topo, 3), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(sim::portcls::Connections().empty());

    EXPECT_EQ(PcRegisterPhysicalConnection(&device, wave, 1, topo, 3), STATUS_SUCCESS);
    EXPECT_EQ(PcRegisterPhysicalConnection(&device, wave, 1, topo, 3), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(PcRegisterPhysicalConnection(&device, topo, 2, wave, 3), STATUS_SUCCESS);
    const auto connections = sim::portcls::Connections();
    ASSERT_EQ(connections.size(), 2u);
    EXPECT_EQ(connections[0].Device, &device);
    EXPECT_EQ(connections[0].From, wave);
    EXPECT_EQ(connections[0].FromPin, 1u);
    EXPECT_EQ(connections[0].To, topo);
    EXPECT_EQ(connections[0].ToPin, 3u);
    EXPECT_EQ(connections[1].From, topo);
    // A connection holds no reference.
    EXPECT_EQ(RefsOf(topo), 2u); // the caller's and the registration's
    EXPECT_NE(EndOfTestReport().find("2 physical connection(s) still registered"), std::string::npos);

    // Unregistration: an unknown record is refused and changes nothing.
    IUnregisterPhysicalConnection *unregisterConn = p.conn;
    EXPECT_EQ(unregisterConn->UnregisterPhysicalConnection(&device, wave, 2, topo, 3),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unregisterConn->UnregisterPhysicalConnection(&otherDevice, wave, 1, topo, 3),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::portcls::Connections().size(), 2u);
    EXPECT_EQ(unregisterConn->UnregisterPhysicalConnection(&device, wave, 1, topo, 3), STATUS_SUCCESS);
    EXPECT_EQ(unregisterConn->UnregisterPhysicalConnection(&device, wave, 1, topo, 3),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unregisterConn->UnregisterPhysicalConnection(&device, topo, 2, wave, 3), STATUS_SUCCESS);
    EXPECT_TRUE(sim::portcls::Connections().empty());

    EXPECT_EQ(unregisterSub->UnregisterSubdevice(&device, &stranger), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unregisterSub->UnregisterSubdevice(&otherDevice, wave), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unregisterSub->UnregisterSubdevice(&device, wave), STATUS_SUCCESS);
    EXPECT_EQ(unregisterSub->UnregisterSubdevice(&device, topo), STATUS_SUCCESS);
    EXPECT_EQ(unregisterSub->UnregisterSubdevice(&device, topo), STATUS_INVALID_PARAMETER);
    Close(p);
}

TEST_F(PortclsPortsTest, TheLogKeepsEveryRegistrationCallInOrder)
{
    Ports p;
    Open(p);
    const PPORT wave = p.wave, topo = p.topo;
    ASSERT_EQ(PcRegisterSubdevice(&device, u"HPOut00Wave", wave), STATUS_SUCCESS);
    ASSERT_EQ(PcRegisterSubdevice(&device, u"Topo", topo), STATUS_SUCCESS);
    ASSERT_EQ(PcRegisterPhysicalConnection(&device, wave, 1, topo, 3), STATUS_SUCCESS);
    EXPECT_EQ(p.conn->UnregisterPhysicalConnection(&device, wave, 1, topo, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(p.conn->UnregisterPhysicalConnection(&device, wave, 1, topo, 3), STATUS_SUCCESS);
    EXPECT_EQ(p.sub->UnregisterSubdevice(&device, wave), STATUS_SUCCESS);
    EXPECT_EQ(p.sub->UnregisterSubdevice(&device, topo), STATUS_SUCCESS);

    const std::vector<std::string> expected = {
        "RegisterSubdevice HPOut00Wave",     "RegisterSubdevice Topo",
        "RegisterPhysicalConnection 1->3",   "UnregisterPhysicalConnection 1->4 failed 0xC000000D",
        "UnregisterPhysicalConnection 1->3", "UnregisterSubdevice HPOut00Wave",
        "UnregisterSubdevice Topo",
    };
    EXPECT_EQ(sim::portcls::LogLines(), expected);
    const auto log = sim::portcls::Log();
    ASSERT_EQ(log.size(), expected.size());
    EXPECT_EQ(log[2].Device, &device);
    EXPECT_EQ(log[2].From, wave);
    EXPECT_EQ(log[2].To, topo);
    EXPECT_EQ(log[5].From, wave);
    sim::portcls::ClearLog();
    EXPECT_TRUE(sim::portcls::Log().empty());
    Close(p);
}

TEST_F(PortclsPortsTest, EveryEntryCanBeMadeToFailItsNextCall)
{
    Ports p;
    Open(p);
    const PPORT wave = p.wave, topo = p.topo;

    sim::portcls::FailNext(Entry::RegisterSubdevice, STATUS_DEVICE_BUSY);
    EXPECT_EQ(PcRegisterSubdevice(&device, u"Wave", wave), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(sim::portcls::Subdevices().empty());
    EXPECT_EQ(RefsOf(wave), 3u); // the caller's and the two unregistration interfaces
    ASSERT_EQ(PcRegisterSubdevice(&device, u"Wave", wave), STATUS_SUCCESS); // one call only
    ASSERT_EQ(PcRegisterSubdevice(&device, u"Topo", topo), STATUS_SUCCESS);

    sim::portcls::FailNext(Entry::RegisterPhysicalConnection, STATUS_DEVICE_BUSY);
    EXPECT_EQ(PcRegisterPhysicalConnection(&device, wave, 1, topo, 3), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(sim::portcls::Connections().empty());
    ASSERT_EQ(PcRegisterPhysicalConnection(&device, wave, 1, topo, 3), STATUS_SUCCESS);

    sim::portcls::FailNext(Entry::UnregisterPhysicalConnection, STATUS_DEVICE_BUSY);
    sim::portcls::FailNext(Entry::UnregisterSubdevice, STATUS_DEVICE_BUSY);
    sim::portcls::FailNext(Entry::UnregisterSubdevice, STATUS_UNSUCCESSFUL); // armed failures queue up
    EXPECT_EQ(p.conn->UnregisterPhysicalConnection(&device, wave, 1, topo, 3), STATUS_DEVICE_BUSY);
    EXPECT_EQ(p.sub->UnregisterSubdevice(&device, wave), STATUS_DEVICE_BUSY);
    EXPECT_EQ(p.sub->UnregisterSubdevice(&device, wave), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(sim::portcls::Connections().size(), 1u);
    EXPECT_EQ(sim::portcls::Subdevices().size(), 2u);
    EXPECT_EQ(RefsOf(wave), 4u); // caller, registration, the two unregistration interfaces

    EXPECT_EQ(p.conn->UnregisterPhysicalConnection(&device, wave, 1, topo, 3), STATUS_SUCCESS);
    EXPECT_EQ(p.sub->UnregisterSubdevice(&device, wave), STATUS_SUCCESS);
    EXPECT_EQ(p.sub->UnregisterSubdevice(&device, topo), STATUS_SUCCESS);
    const auto lines = sim::portcls::LogLines();
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[0], "RegisterSubdevice Wave failed 0x80000011");
    EXPECT_EQ(lines[3], "RegisterPhysicalConnection 1->3 failed 0x80000011");
    EXPECT_EQ(lines[6], "UnregisterSubdevice Wave failed 0x80000011");
    EXPECT_EQ(lines[7], "UnregisterSubdevice Wave failed 0xC0000001");

    // An armed failure never reached is reported at the end of the test.
    sim::portcls::FailNext(Entry::NewPort, STATUS_UNSUCCESSFUL);
    EXPECT_NE(EndOfTestReport().find("1 port-class failure(s) armed and never reached"), std::string::npos);
    PPORT none = nullptr;
    EXPECT_EQ(PcNewPort(&none, CLSID_PortWaveCyclic), STATUS_UNSUCCESSFUL);
    Close(p);
}

TEST_F(PortclsPortsTest, RegistrationAllocationFailuresChangeNothingAndLeakNothing)
{
    // A port leaves the framework with its miniport, so every round starts with new ports.
    Ports p;
    auto registerAll = [&]() -> NTSTATUS
    {
        Open(p);
        NTSTATUS status = PcRegisterSubdevice(&device, u"Wave", p.wave);
        if (NT_SUCCESS(status))
            status = PcRegisterSubdevice(&device, u"Topo", p.topo);
        if (NT_SUCCESS(status))
            status = PcRegisterPhysicalConnection(&device, p.topo, 2, p.wave, 3);
        return status;
    };
    auto unregisterAll = [&]
    {
        p.conn->UnregisterPhysicalConnection(&device, p.topo, 2, p.wave, 3);
        p.sub->UnregisterSubdevice(&device, p.topo);
        p.sub->UnregisterSubdevice(&device, p.wave);
        Close(p);
    };
    const size_t before = sim::Allocations();
    ASSERT_EQ(registerAll(), STATUS_SUCCESS);
    const size_t allocations = sim::Allocations() - before;
    // Two ports, per sub-device its record and its one device-interface link, one connection record.
    ASSERT_EQ(allocations, 7u);
    unregisterAll();
    EXPECT_EQ(sim::Outstanding(), 0u);

    for (unsigned k = 3; k <= allocations; ++k)
    {
        SCOPED_TRACE(k);
        sim::FailAllocation(k);
        EXPECT_EQ(registerAll(), STATUS_INSUFFICIENT_RESOURCES);
        sim::FailAllocation(0);
        EXPECT_EQ(sim::portcls::Subdevices().size(), (k - 3) / 2);
        const auto interfaces = sim::io::DeviceInterfaces();
        EXPECT_EQ(size_t(std::count_if(interfaces.begin(), interfaces.end(),
                                       [](const auto &i) { return i.Enabled; })),
                  (k - 3) / 2); // a failed sub-device keeps none enabled
        EXPECT_TRUE(sim::portcls::Connections().empty());
        EXPECT_EQ(RefsOf(p.wave), k > 4 ? 4u : 3u); // the caller, two interfaces, the registration
        unregisterAll();
        EXPECT_TRUE(sim::portcls::Subdevices().empty());
        EXPECT_EQ(sim::Outstanding(), 0u);
        EXPECT_EQ(p.waveMiniport.refs + p.topologyMiniport.refs, 0);
    }
}

TEST_F(PortclsPortsTest, UnregisteringASubdeviceLetsGoOfAMiniportThatHoldsItsPort)
{
    // The miniport holds its port and the port its miniport; leaving the framework breaks the loop.
    FakeMiniport miniport;
    miniport.holdsPort = true;
    PPORT wave = NewInitialisedPort(CLSID_PortWaveCyclic, miniport);
    ASSERT_NE(wave, nullptr);
    EXPECT_EQ(RefsOf(wave), 2u);
    ASSERT_EQ(PcRegisterSubdevice(&device, u"Wave", wave), STATUS_SUCCESS);
    auto *sub = Query<IUnregisterSubdevice>(wave, IID_IUnregisterSubdevice);
    EXPECT_EQ(sub->UnregisterSubdevice(&device, wave), STATUS_SUCCESS);
    sub->Release();
    EXPECT_EQ(miniport.refs, 0);
    EXPECT_EQ(sim::portcls::HeldMiniport(wave), nullptr);
    EXPECT_EQ(wave->Release(), 0u);
    EXPECT_EQ(sim::portcls::LivePorts(), 0u);

    // Never registered (a registration that failed after Init): the last outside reference ends
    // both, however many references were taken on the way; an earlier release keeps them.
    FakeMiniport keeper;
    keeper.holdsPort = true;
    PPORT lone = NewInitialisedPort(CLSID_PortTopology, keeper);
    ASSERT_NE(lone, nullptr);
    auto *unregister = Query<IUnregisterSubdevice>(lone, IID_IUnregisterSubdevice);
    ASSERT_NE(unregister, nullptr);
    EXPECT_EQ(lone->Release(), 2u); // the interface and the miniport's reference
    EXPECT_EQ(sim::portcls::HeldMiniport(lone), static_cast<IMiniportTopology *>(&keeper));
    EXPECT_EQ(keeper.refs, 1);
    EXPECT_EQ(unregister->Release(), 0u);
    EXPECT_EQ(keeper.refs, 0);
    EXPECT_EQ(keeper.heldPort, nullptr);
    EXPECT_EQ(sim::portcls::LivePorts(), 0u);

    // A registered port stays with its registration although nobody else holds it.
    PPORT registered = NewInitialisedPort(CLSID_PortWaveCyclic, keeper);
    ASSERT_EQ(PcRegisterSubdevice(&device, u"Kept", registered), STATUS_SUCCESS);
    IUnregisterSubdevice *later = Query<IUnregisterSubdevice>(registered, IID_IUnregisterSubdevice);
    EXPECT_EQ(registered->Release(), 3u);
    EXPECT_EQ(keeper.refs, 1);
    EXPECT_EQ(later->UnregisterSubdevice(&device, registered), STATUS_SUCCESS);
    EXPECT_EQ(keeper.refs, 0);
    EXPECT_EQ(later->Release(), 0u);
    EXPECT_EQ(sim::portcls::LivePorts(), 0u);
}

} // namespace
