// The filter half of the port-class stand-in: description checks at port Init, property dispatch
// with its protocol checks, events, the default intersection, device interfaces per category and the
// bridge rule of physical connections, seen through the system audio client.
#include <pc_port.h>
#include <sim/audio_client.h>
#include <sim/io_sim.h>
#include <sim/portcls_sim.h>

#include "support/bridge_filter.h"
#include "support/kernel_test.h"

#include <cstring>
#include <vector>

namespace
{

constexpr GUID kSet = {0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

struct Seen
{
    ULONG Node, Verb, InstanceSize, ValueSize, FirstInstanceWord;
};
std::vector<Seen> g_seen;

// Answers 4 bytes (0x11223344) on get; a set of 4 bytes is fine. Misbehaves on purpose for id 9
// (writes then fails) and id 10 (claims more bytes than given).
NTSTATUS Handler(PPCPROPERTY_REQUEST r)
{
    ULONG first = 0;
    if (r->InstanceSize >= 4)
        std::memcpy(&first, r->Instance, 4);
    g_seen.push_back({r->Node, r->Verb, r->InstanceSize, r->ValueSize, first});
    if (r->PropertyItem->Id == 9 && r->ValueSize)
    {
        static_cast<PUCHAR>(r->Value)[0] ^= 0xFF;
        return STATUS_INVALID_PARAMETER;
    }
    if (r->PropertyItem->Id == 10)
    {
        r->ValueSize += 4;
        return STATUS_SUCCESS;
    }
    if (r->ValueSize == 0)
    {
        r->ValueSize = 4;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (r->ValueSize < 4)
        return STATUS_BUFFER_TOO_SMALL;
    if (r->Verb == KSPROPERTY_TYPE_GET)
    {
        const ULONG answer = 0x11223344;
        std::memcpy(r->Value, &answer, 4);
    }
    r->ValueSize = 4;
    return STATUS_SUCCESS;
}

PPORTEVENTS g_events; // the port's event interface the fake miniport took at Init
std::vector<ULONG> g_eventVerbs;
NTSTATUS EventHandler(PPCEVENT_REQUEST r)
{
    g_eventVerbs.push_back(r->Verb);
    if (r->Verb == PCEVENT_VERB_ADD)
        g_events->AddEventToEventList(r->EventEntry);
    return STATUS_SUCCESS;
}

const PCPROPERTY_ITEM kItems[] = {
    {&kSet, 1, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, Handler},
    {&kSet, 2, PCPROPERTY_ITEM_FLAG_SET, Handler},
    {&kSet, 9, PCPROPERTY_ITEM_FLAG_GET, Handler},
    {&kSet, 10, PCPROPERTY_ITEM_FLAG_GET, Handler},
};
const PCEVENT_ITEM kEvent = {&KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, 0, EventHandler};
const PCAUTOMATION_TABLE kTable = {sizeof(PCPROPERTY_ITEM), 4, kItems,  0, 0, nullptr,
                                   sizeof(PCEVENT_ITEM),    1, &kEvent, 0};

// A topology miniport with two bridge pins (in, out), two nodes with the table above, and
// connections pin 0 -> node 0.1 -> node 1.1 -> pin 1.
class FakeTopology final : public IMiniportTopology
{
public:
    FakeTopology() : filter({KSPIN_DATAFLOW_IN, KSPIN_DATAFLOW_OUT}, {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY})
    {
    }

    BridgeFilter filter;
    PCNODE_DESCRIPTOR nodes[2] = {{0, &kTable, &KSNODETYPE_DAC, nullptr},
                                  {0, &kTable, &KSNODETYPE_ADC, &kSet}};
    PCCONNECTION_DESCRIPTOR connections[3] = {
        {PCFILTER_NODE, 0, 0, 1}, {0, 0, 1, 1}, {1, 0, PCFILTER_NODE, 1}};
    PCFILTER_DESCRIPTOR description{};
    NTSTATUS intersection = STATUS_NOT_IMPLEMENTED;
    LONG refs = 0;
    PPORTEVENTS events = nullptr;

    PPCFILTER_DESCRIPTOR Describe()
    {
        description = *filter.Get();
        description.AutomationTable = &kTable;
        description.NodeCount = 2;
        description.Nodes = nodes;
        description.ConnectionCount = 3;
        description.Connections = connections;
        return &description;
    }

    NTSTATUS QueryInterface(REFIID iid, PVOID *object) override
    {
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_IMiniport && iid != IID_IMiniportTopology)
            return STATUS_INVALID_PARAMETER;
        *object = static_cast<IMiniportTopology *>(this);
        ++refs;
        return STATUS_SUCCESS;
    }
    ULONG AddRef() override { return ULONG(++refs); }
    ULONG Release() override
    {
        if (--refs == 0 && events)
        {
            PPORTEVENTS held = events;
            events = nullptr;
            held->Release();
        }
        return ULONG(refs);
    }
    NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR *out) override
    {
        *out = &description;
        return STATUS_SUCCESS;
    }
    NTSTATUS DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override
    {
        return intersection;
    }
    NTSTATUS Init(PUNKNOWN, PRESOURCELIST, PPORT port) override
    {
        PVOID object = nullptr;
        if (!NT_SUCCESS(port->QueryInterface(IID_IPortEvents, &object)))
            return STATUS_UNSUCCESSFUL;
        events = static_cast<PPORTEVENTS>(object);
        g_events = events;
        return STATUS_SUCCESS;
    }
};

class PortclsFilterTest : public KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        g_seen.clear();
        g_eventVerbs.clear();
        miniport.Describe();
    }
    void TearDown() override
    {
        if (port)
            port->Release();
        KernelTest::TearDown();
    }
    NTSTATUS InitPort()
    {
        EXPECT_EQ(PcNewPort(&port, CLSID_PortTopology), STATUS_SUCCESS);
        return port->Init(&device, nullptr, static_cast<IMiniportTopology *>(&miniport), nullptr, nullptr);
    }
    void Unregister()
    {
        PVOID object = nullptr;
        ASSERT_EQ(port->QueryInterface(IID_IUnregisterSubdevice, &object), STATUS_SUCCESS);
        auto *unregister = static_cast<IUnregisterSubdevice *>(object);
        EXPECT_EQ(unregister->UnregisterSubdevice(&device, port), STATUS_SUCCESS);
        unregister->Release();
    }

    DEVICE_OBJECT device{};
    FakeTopology miniport;
    PPORT port = nullptr;
};

TEST_F(PortclsFilterTest, ABrokenDescriptionFailsInitNamingItsRule)
{
    struct Case
    {
        const char *rule;
        void (*breakIt)(FakeTopology &);
    };
    const Case cases[] = {
        {"pin descriptors", [](FakeTopology &m) { m.description.PinSize = 63; }},
        {"node descriptors", [](FakeTopology &m) { m.description.Nodes = nullptr; }},
        {"filter categories", [](FakeTopology &m) { m.description.CategoryCount = 0; }},
        {"a dangling connection", [](FakeTopology &m) { m.connections[2].ToNodePin = 2; }},
        {"a dangling connection",
         [](FakeTopology &m) { m.connections[1].FromNodePin = 1; }}, // a node's output is 0
        {"a dangling connection",
         [](FakeTopology &m) { m.connections[0].ToNodePin = 0; }}, // inputs start at 1
        {"a dangling connection", [](FakeTopology &m) { m.connections[1].ToNode = 2; }},
        {"a data range below 64 bytes",
         [](FakeTopology &m) {
             const_cast<KSDATARANGE *>(m.description.Pins[0].KsPinDescriptor.DataRanges[0])->FormatSize = 60;
         }},
        {"an audio data range below 88 bytes",
         [](FakeTopology &m)
         {
             auto *range = const_cast<KSDATARANGE *>(m.description.Pins[0].KsPinDescriptor.DataRanges[0]);
             range->Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
         }},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.rule);
        FakeTopology broken;
        broken.Describe();
        c.breakIt(broken);
        sim::ClearDebugLog();
        PPORT p = nullptr;
        ASSERT_EQ(PcNewPort(&p, CLSID_PortTopology), STATUS_SUCCESS);
        EXPECT_EQ(p->Init(&device, nullptr, static_cast<IMiniportTopology *>(&broken), nullptr, nullptr),
                  STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(sim::DebugLogContains(c.rule));
        EXPECT_EQ(sim::portcls::HeldMiniport(p), nullptr);
        p->Release();
        EXPECT_EQ(broken.refs, 0); // the port's event interface went with the miniport's last reference
    }
    EXPECT_EQ(sim::portcls::LivePorts(), 0u);
}

TEST_F(PortclsFilterTest, PropertiesReachTheirHandlerWithTheInstanceAfterTheHeader)
{
    ASSERT_EQ(InitPort(), STATUS_SUCCESS);
    sim::audio::Filter filter(port);
    ASSERT_TRUE(filter.Valid());
    ULONG value = 0;
    ULONG size = 4;
    const ULONG channel = 7;
    EXPECT_EQ(filter.Get(kSet, 1, 1, &channel, 4, &value, &size), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x11223344u);
    EXPECT_EQ(size, 4u);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].Node, 1u);
    EXPECT_EQ(g_seen[0].FirstInstanceWord, channel);
    EXPECT_EQ(g_seen[0].InstanceSize, 4u);

    const ULONG pin = 1;
    size = 4;
    EXPECT_EQ(filter.Get(kSet, 1, PCFILTER_NODE, &pin, 4, &value, &size), STATUS_SUCCESS);
    EXPECT_EQ(g_seen.back().Node, PCFILTER_NODE);
    EXPECT_EQ(g_seen.back().FirstInstanceWord, pin);

    // Size query and basic support pass through as asked.
    size = 0;
    EXPECT_EQ(filter.Get(kSet, 1, 0, nullptr, 0, nullptr, &size), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, 4u);
    size = 4;
    EXPECT_EQ(filter.Support(kSet, 1, 0, nullptr, 0, &value, &size), STATUS_SUCCESS);
    EXPECT_EQ(g_seen.back().Verb, ULONG(KSPROPERTY_TYPE_BASICSUPPORT));

    // Dispatch failures never reach a handler.
    const size_t calls = g_seen.size();
    size = 4;
    EXPECT_EQ(filter.Get(kSet, 3, 0, nullptr, 0, &value, &size), STATUS_NOT_FOUND);
    EXPECT_EQ(filter.Get(KSPROPSETID_Audio, 1, 0, nullptr, 0, &value, &size), STATUS_NOT_FOUND);
    EXPECT_EQ(filter.Set(kSet, 1, 0, nullptr, 0, &value, 4), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(filter.Get(kSet, 2, 0, nullptr, 0, &value, &size), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(
        filter.Request(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, kSet, 1, 0, nullptr, 0, &value, &size),
        STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(filter.Get(kSet, 1, 2, nullptr, 0, &value, &size), STATUS_INVALID_PARAMETER); // node 2 of 2
    KSPROPERTY shortHeader{kSet, 1, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY};
    EXPECT_EQ(filter.Raw(&shortHeader, sizeof(shortHeader), &value, &size), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(g_seen.size(), calls);
}

TEST_F(PortclsFilterTest, AHandlerBreakingTheProtocolIsReported)
{
    ASSERT_EQ(InitPort(), STATUS_SUCCESS);
    sim::audio::Filter filter(port);
    ULONG value = 0x5A5A5A5A;
    ULONG size = 4;
    {
        auto expect = ScopedExpectViolation("failed but changed its output buffer");
        EXPECT_EQ(filter.Get(kSet, 9, 0, nullptr, 0, &value, &size), STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(value, 0x5A5A5A5Au); // the client never sees the changed bytes
    {
        auto expect = ScopedExpectViolation("reported more bytes than its buffer holds");
        size = 4;
        EXPECT_EQ(filter.Get(kSet, 10, 0, nullptr, 0, &value, &size), STATUS_SUCCESS);
    }
}

TEST_F(PortclsFilterTest, EventsSignalMatchingSubscribersUntilDisabledOrUnregistered)
{
    ASSERT_EQ(InitPort(), STATUS_SUCCESS);
    ASSERT_EQ(PcRegisterSubdevice(&device, u"Topo", port), STATUS_SUCCESS);
    sim::audio::Filter filter(port);
    std::unique_ptr<sim::audio::Subscription> node1, node0;
    ASSERT_EQ(filter.Subscribe(KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, 1, &node1),
              STATUS_SUCCESS);
    ASSERT_EQ(filter.Subscribe(KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, 0, &node0),
              STATUS_SUCCESS);
    std::unique_ptr<sim::audio::Subscription> none;
    EXPECT_EQ(filter.Subscribe(kSet, 0, 1, &none), STATUS_NOT_FOUND);
    EXPECT_EQ(filter.Subscribe(KSEVENTSETID_AudioControlChange, 0, 5, &none), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::portcls::ListedEvents(port), 2u);

    AtDispatch(
        [&] { g_events->GenerateEventList(&KSEVENTSETID_AudioControlChange, 0, FALSE, ULONG(-1), TRUE, 1); });
    g_events->GenerateEventList(&kSet, 0, FALSE, ULONG(-1), TRUE, 1); // another set
    EXPECT_EQ(node1->Signals(), 1u);
    EXPECT_EQ(node0->Signals(), 0u);
    EXPECT_EQ(node1->Wait(10), STATUS_SUCCESS);
    EXPECT_EQ(node1->Wait(10), STATUS_TIMEOUT);
    EXPECT_EQ(sim::portcls::GeneratedEvents(port).size(), 2u);

    node1.reset(); // disables: the handler hears REMOVE
    EXPECT_EQ(g_eventVerbs, (std::vector<ULONG>{PCEVENT_VERB_ADD, PCEVENT_VERB_ADD, PCEVENT_VERB_REMOVE}));
    g_events->GenerateEventList(&KSEVENTSETID_AudioControlChange, 0, FALSE, ULONG(-1), TRUE, 0);
    EXPECT_EQ(node0->Signals(), 1u);

    // Entries from the pool: a failed one reaches no handler.
    sim::FailAllocation(1);
    EXPECT_EQ(filter.Subscribe(KSEVENTSETID_AudioControlChange, 0, 1, &none), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(g_eventVerbs.size(), 3u);

    Unregister(); // drops every entry
    EXPECT_EQ(sim::portcls::ListedEvents(port), 0u);
    node0.reset();
    EXPECT_EQ(g_eventVerbs.size(), 3u);
}

TEST_F(PortclsFilterTest, TheDefaultIntersectionAnswersThePinsRangeWhenIdentifiersMatch)
{
    ASSERT_EQ(InitPort(), STATUS_SUCCESS);
    sim::audio::Filter filter(port);
    KSDATARANGE client{
        sizeof(KSDATARANGE),        0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_WILDCARD,
        KSDATAFORMAT_SPECIFIER_NONE};
    UCHAR result[64];
    ULONG length = 0;
    EXPECT_EQ(filter.Intersect(0, &client, sizeof(client), 0, nullptr, &length), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 64u);
    EXPECT_EQ(filter.Intersect(0, &client, sizeof(client), 63, result, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(filter.Intersect(0, &client, sizeof(client), 64, result, &length), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(result, filter.Pins()[0].Ranges[0].data(), 64), 0);
    client.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    EXPECT_EQ(filter.Intersect(0, &client, sizeof(client), 64, result, &length), STATUS_NO_MATCH);
    EXPECT_EQ(filter.Intersect(2, &client, sizeof(client), 64, result, &length), STATUS_INVALID_PARAMETER);
    miniport.intersection = STATUS_NO_MATCH; // the miniport's own answer wins
    client.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    EXPECT_EQ(filter.Intersect(0, &client, sizeof(client), 64, result, &length), STATUS_NO_MATCH);
}

TEST_F(PortclsFilterTest, RegistrationPublishesOneInterfacePerCategoryAndConnectionsJoinBridges)
{
    ASSERT_EQ(InitPort(), STATUS_SUCCESS);
    ASSERT_EQ(PcRegisterSubdevice(&device, u"GlobalTopo", port), STATUS_SUCCESS);
    const auto topology = sim::audio::FiltersOf(KSCATEGORY_TOPOLOGY);
    ASSERT_EQ(topology.size(), 1u);
    EXPECT_EQ(topology[0].Name, "GlobalTopo");
    EXPECT_EQ(topology[0].Port, port);
    EXPECT_EQ(sim::audio::FiltersOf(KSCATEGORY_AUDIO).size(), 1u);
    EXPECT_TRUE(sim::audio::FiltersOf(KSCATEGORY_RENDER).empty());
    EXPECT_EQ(sim::io::InterfaceEnables(), 2u);

    // Pin 1 flows out, pin 0 in; pin 2 does not exist.
    EXPECT_EQ(PcRegisterPhysicalConnection(&device, port, 0, port, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PcRegisterPhysicalConnection(&device, port, 1, port, 2), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(PcRegisterPhysicalConnection(&device, port, 1, port, 0), STATUS_SUCCESS);
    PVOID object = nullptr;
    ASSERT_EQ(port->QueryInterface(IID_IUnregisterPhysicalConnection, &object), STATUS_SUCCESS);
    auto *connection = static_cast<IUnregisterPhysicalConnection *>(object);
    EXPECT_EQ(connection->UnregisterPhysicalConnection(&device, port, 1, port, 0), STATUS_SUCCESS);
    connection->Release();

    Unregister();
    EXPECT_TRUE(sim::audio::FiltersOf(KSCATEGORY_TOPOLOGY).empty());
    EXPECT_EQ(sim::io::InterfaceDisables(), 2u);

    // A failed interface leaves the sub-device unregistered and nothing enabled.
    FakeTopology second;
    second.Describe();
    PPORT other = nullptr;
    ASSERT_EQ(PcNewPort(&other, CLSID_PortTopology), STATUS_SUCCESS);
    ASSERT_EQ(other->Init(&device, nullptr, static_cast<IMiniportTopology *>(&second), nullptr, nullptr),
              STATUS_SUCCESS);
    sim::io::FailNextInterfaceState(STATUS_UNSUCCESSFUL);
    EXPECT_EQ(PcRegisterSubdevice(&device, u"Second", other), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(sim::portcls::Subdevices().empty());
    EXPECT_TRUE(sim::audio::FiltersOf(KSCATEGORY_AUDIO).empty());
    other->Release();
}

} // namespace
