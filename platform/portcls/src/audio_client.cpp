// The system audio client: what the audio system asks of a filter, through the port.
#include <sim/audio_client.h>
#include <sim/io_sim.h>

#include "port_core.h"

#include <cstdio>
#include <cstring>

using namespace pcsim;

namespace
{

CPortCore *CoreOf(PPORT port)
{
    return FindPort(port);
}

void AppendItems(const PCAUTOMATION_TABLE *table, std::vector<sim::audio::PropertyInfo> *properties,
                 std::vector<sim::audio::PropertyInfo> *events)
{
    for (ULONG i = 0; table && i < table->PropertyCount; ++i)
        properties->push_back(
            {*table->Properties[i].Set, table->Properties[i].Id, table->Properties[i].Flags});
    for (ULONG i = 0; table && events && i < table->EventCount; ++i)
        events->push_back({*table->Events[i].Set, table->Events[i].Id, 0});
}

} // namespace

std::string sim::audio::GuidText(const GUID &g)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1),
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                  g.Data4[6], g.Data4[7]);
    return text;
}

std::vector<sim::audio::FilterRef> sim::audio::FiltersOf(const GUID &category)
{
    std::vector<FilterRef> out;
    const auto interfaces = sim::io::DeviceInterfaces(&category);
    std::lock_guard<std::mutex> guard(G().Lock);
    for (const auto &i : interfaces)
    {
        if (!i.Enabled)
            continue;
        for (const SubdeviceRec *r : G().Subdevices)
            if (PhysicalDevice(r->Device) == i.Device && Narrow(r->Name) == i.Reference)
                out.push_back({i.Reference, r->Device, r->Port});
    }
    return out;
}

sim::audio::FilterRef sim::audio::FindFilter(const std::string &name)
{
    std::lock_guard<std::mutex> guard(G().Lock);
    for (const SubdeviceRec *r : G().Subdevices)
    {
        const std::string registered = Narrow(r->Name);
        if (registered.size() == name.size() &&
            std::equal(name.begin(), name.end(), registered.begin(),
                       [](char a, char b) { return std::toupper(UCHAR(a)) == std::toupper(UCHAR(b)); }))
            return {registered, r->Device, r->Port};
    }
    return {};
}

sim::audio::Filter::Filter(PPORT port) : m_Port(port)
{
    if (m_Port)
        m_Port->AddRef();
}

sim::audio::Filter::~Filter()
{
    if (m_Port)
        m_Port->Release();
}

bool sim::audio::Filter::Valid() const
{
    const CPortCore *core = CoreOf(m_Port);
    return core && core->Description();
}

std::vector<sim::audio::PinInfo> sim::audio::Filter::Pins() const
{
    std::vector<PinInfo> pins;
    const CPortCore *core = CoreOf(m_Port);
    const PCFILTER_DESCRIPTOR *d = core ? core->Description() : nullptr;
    for (ULONG i = 0; d && i < d->PinCount; ++i)
    {
        const KSPIN_DESCRIPTOR &ks = d->Pins[i].KsPinDescriptor;
        PinInfo pin{ks.DataFlow, ks.Communication, ks.Category, ks.Name, {}};
        for (ULONG r = 0; r < ks.DataRangesCount; ++r)
        {
            const auto *bytes = reinterpret_cast<const UCHAR *>(ks.DataRanges[r]);
            pin.Ranges.emplace_back(bytes, bytes + ks.DataRanges[r]->FormatSize);
        }
        pins.push_back(pin);
    }
    return pins;
}

std::vector<sim::audio::NodeInfo> sim::audio::Filter::Nodes() const
{
    std::vector<NodeInfo> nodes;
    const CPortCore *core = CoreOf(m_Port);
    const PCFILTER_DESCRIPTOR *d = core ? core->Description() : nullptr;
    for (ULONG i = 0; d && i < d->NodeCount; ++i)
    {
        NodeInfo node{*d->Nodes[i].Type, d->Nodes[i].Name, {}, {}};
        AppendItems(d->Nodes[i].AutomationTable, &node.Properties, &node.Events);
        nodes.push_back(node);
    }
    return nodes;
}

std::vector<PCCONNECTION_DESCRIPTOR> sim::audio::Filter::Connections() const
{
    const CPortCore *core = CoreOf(m_Port);
    const PCFILTER_DESCRIPTOR *d = core ? core->Description() : nullptr;
    if (!d)
        return {};
    return std::vector<PCCONNECTION_DESCRIPTOR>(d->Connections, d->Connections + d->ConnectionCount);
}

std::vector<GUID> sim::audio::Filter::Categories() const
{
    const CPortCore *core = CoreOf(m_Port);
    const PCFILTER_DESCRIPTOR *d = core ? core->Description() : nullptr;
    if (!d)
        return {};
    return std::vector<GUID>(d->Categories, d->Categories + d->CategoryCount);
}

std::vector<sim::audio::PropertyInfo> sim::audio::Filter::FilterProperties() const
{
    std::vector<PropertyInfo> properties;
    const CPortCore *core = CoreOf(m_Port);
    if (const PCFILTER_DESCRIPTOR *d = core ? core->Description() : nullptr)
        AppendItems(d->AutomationTable, &properties, nullptr);
    return properties;
}

NTSTATUS sim::audio::Filter::Request(ULONG verb, const GUID &set, ULONG id, ULONG node, const void *instance,
                                     ULONG instanceSize, void *value, PULONG valueSize)
{
    const bool topology = node != PCFILTER_NODE;
    const size_t header = topology ? sizeof(KSNODEPROPERTY) : sizeof(KSPROPERTY);
    std::vector<UCHAR> request(header + instanceSize);
    KSNODEPROPERTY property{{set, id, verb | (topology ? ULONG(KSPROPERTY_TYPE_TOPOLOGY) : 0)}, node, 0};
    std::memcpy(request.data(), &property, header);
    if (instanceSize)
        std::memcpy(request.data() + header, instance, instanceSize);
    return Raw(request.data(), ULONG(request.size()), value, valueSize);
}

NTSTATUS sim::audio::Filter::Raw(const void *request, ULONG requestSize, void *value, PULONG valueSize)
{
    CPortCore *core = CoreOf(m_Port);
    return core ? core->Property(request, requestSize, value, valueSize) : STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS sim::audio::Filter::Intersect(ULONG pin, const void *range, ULONG rangeSize, ULONG length,
                                       void *result, PULONG resultLength)
{
    CPortCore *core = CoreOf(m_Port);
    return core ? core->Intersect(pin, static_cast<const KSDATARANGE *>(range), rangeSize, length, result,
                                  resultLength)
                : STATUS_INVALID_DEVICE_REQUEST;
}

struct sim::audio::Subscription::Impl
{
    PPORT Port = nullptr; // with a reference
    ULONG Key = 0;
    std::shared_ptr<SubscriptionState> State;
    ULONG Waited = 0;
};

sim::audio::Subscription::Subscription() : m_Impl(new Impl) {}

sim::audio::Subscription::~Subscription()
{
    if (CPortCore *core = CoreOf(m_Impl->Port))
        core->DisableEvent(m_Impl->Key);
    if (m_Impl->Port)
        m_Impl->Port->Release();
}

ULONG sim::audio::Subscription::Signals() const
{
    return m_Impl->State->Signals;
}

NTSTATUS sim::audio::Subscription::Wait(LONGLONG timeoutMs)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -timeoutMs * 10000;
    while (m_Impl->Waited >= m_Impl->State->Signals)
    {
        const NTSTATUS status =
            KeWaitForSingleObject(&m_Impl->State->Signal, Executive, KernelMode, FALSE, &timeout);
        if (status == STATUS_TIMEOUT)
            return status;
    }
    ++m_Impl->Waited;
    return STATUS_SUCCESS;
}

NTSTATUS sim::audio::Filter::Subscribe(const GUID &set, ULONG id, ULONG node,
                                       std::unique_ptr<Subscription> *subscription)
{
    CPortCore *core = CoreOf(m_Port);
    if (!core || !subscription)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::unique_ptr<Subscription> made(new Subscription);
    made->m_Impl->State = std::make_shared<SubscriptionState>();
    KeInitializeEvent(&made->m_Impl->State->Signal, SynchronizationEvent, FALSE);
    const NTSTATUS status = core->EnableEvent(set, id, node, made->m_Impl->State, &made->m_Impl->Key);
    if (!NT_SUCCESS(status))
        return status;
    made->m_Impl->Port = m_Port;
    m_Port->AddRef();
    *subscription = std::move(made);
    return STATUS_SUCCESS;
}

std::string sim::audio::Filter::Print()
{
    std::string out;
    char line[256];
    const auto pins = Pins();
    for (size_t i = 0; i < pins.size(); ++i)
    {
        const PinInfo &p = pins[i];
        std::snprintf(line, sizeof(line), "pin %zu: %s %s category %s name %s ranges %zu\n", i,
                      p.Flow == KSPIN_DATAFLOW_IN ? "in" : "out",
                      p.Communication == KSPIN_COMMUNICATION_NONE ? "bridge" : "streaming",
                      p.Category ? GuidText(*p.Category).c_str() : "none",
                      p.Name ? GuidText(*p.Name).c_str() : "none", p.Ranges.size());
        out += line;
    }
    const auto nodes = Nodes();
    for (size_t i = 0; i < nodes.size(); ++i)
    {
        std::snprintf(line, sizeof(line), "node %zu: type %s name %s properties %zu events %zu\n", i,
                      GuidText(nodes[i].Type).c_str(),
                      nodes[i].Name ? GuidText(*nodes[i].Name).c_str() : "none", nodes[i].Properties.size(),
                      nodes[i].Events.size());
        out += line;
    }
    const auto end = [](ULONG node, ULONG pin)
    {
        return node == PCFILTER_NODE ? "pin " + std::to_string(pin)
                                     : "node " + std::to_string(node) + "." + std::to_string(pin);
    };
    for (const PCCONNECTION_DESCRIPTOR &c : Connections())
        out += "connection: " + end(c.FromNode, c.FromNodePin) + " -> " + end(c.ToNode, c.ToNodePin) + "\n";
    for (ULONG pin = 0; pin < pins.size(); ++pin)
    {
        ULONG size = 0;
        if (Get(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, PCFILTER_NODE, &pin, sizeof(pin), nullptr,
                &size) != STATUS_BUFFER_OVERFLOW ||
            size < sizeof(KSMULTIPLE_ITEM))
            continue;
        std::vector<UCHAR> answer(size);
        if (!NT_SUCCESS(Get(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, PCFILTER_NODE, &pin, sizeof(pin),
                            answer.data(), &size)))
            continue;
        KSMULTIPLE_ITEM header;
        std::memcpy(&header, answer.data(), sizeof(header));
        for (ULONG j = 0; j < header.Count && sizeof(header) + (j + 1) * sizeof(KSJACK_DESCRIPTION) <= size;
             ++j)
        {
            KSJACK_DESCRIPTION jack;
            std::memcpy(&jack, answer.data() + sizeof(header) + j * sizeof(jack), sizeof(jack));
            std::snprintf(
                line, sizeof(line),
                "jack pin %u.%u: channels 0x%X color 0x%06X type %u location %u/%u port %u connected %u\n",
                unsigned(pin), unsigned(j), unsigned(jack.ChannelMapping), unsigned(jack.Color),
                unsigned(jack.ConnectionType), unsigned(jack.GeoLocation), unsigned(jack.GenLocation),
                unsigned(jack.PortConnection), unsigned(jack.IsConnected));
            out += line;
        }
    }
    return out;
}
