// The filter a port serves: the check of its miniport's description, property requests, data-range
// intersection and the event list.
#include "port_core.h"

#include <cstring>
#include <new>

using namespace pcsim;

namespace
{

// Logs the rule a description breaks and refuses it.
NTSTATUS Refuse(const char *rule, ULONG index = ULONG(-1))
{
    if (index == ULONG(-1))
        DbgPrint("PcPort: description refused: %s\n", rule);
    else
        DbgPrint("PcPort: description refused: %s (%u)\n", rule, unsigned(index));
    return STATUS_INVALID_PARAMETER;
}

// A count with items needs its array, and items of the size the framework knows.
bool ArrayOk(ULONG count, const void *items, ULONG itemSize, ULONG expectedSize)
{
    return count == 0 || (items && itemSize == expectedSize);
}

NTSTATUS CheckTable(const PCAUTOMATION_TABLE *table, const char *owner, ULONG index)
{
    if (!table)
        return STATUS_SUCCESS;
    if (!ArrayOk(table->PropertyCount, table->Properties, table->PropertyItemSize, sizeof(PCPROPERTY_ITEM)))
        return Refuse(owner == nullptr ? "filter property items" : owner, index);
    for (ULONG i = 0; i < table->PropertyCount; ++i)
        if (!table->Properties[i].Set || !table->Properties[i].Handler)
            return Refuse("a property item without set or handler", i);
    if (!ArrayOk(table->EventCount, table->Events, table->EventItemSize, sizeof(PCEVENT_ITEM)))
        return Refuse("event items", index);
    for (ULONG i = 0; i < table->EventCount; ++i)
        if (!table->Events[i].Set || !table->Events[i].Handler)
            return Refuse("an event item without set or handler", i);
    return STATUS_SUCCESS;
}

NTSTATUS CheckPin(const PCPIN_DESCRIPTOR &pin, ULONG index)
{
    if (NTSTATUS status = CheckTable(pin.AutomationTable, "pin property items", index); !NT_SUCCESS(status))
        return status;
    const KSPIN_DESCRIPTOR &ks = pin.KsPinDescriptor;
    if ((ks.InterfacesCount && !ks.Interfaces) || (ks.MediumsCount && !ks.Mediums))
        return Refuse("pin interfaces or mediums without their array", index);
    if (ks.DataRangesCount && !ks.DataRanges)
        return Refuse("pin data ranges without their array", index);
    if (ks.DataFlow != KSPIN_DATAFLOW_IN && ks.DataFlow != KSPIN_DATAFLOW_OUT)
        return Refuse("pin data flow", index);
    for (ULONG r = 0; r < ks.DataRangesCount; ++r)
    {
        const KSDATARANGE *range = ks.DataRanges[r];
        if (!range || range->FormatSize < sizeof(KSDATARANGE))
            return Refuse("a data range below 64 bytes", index);
        // A wave-format range carries the audio limits behind the header.
        if (range->Specifier == KSDATAFORMAT_SPECIFIER_WAVEFORMATEX &&
            range->FormatSize < sizeof(KSDATARANGE_AUDIO))
            return Refuse("an audio data range below 88 bytes", index);
    }
    return STATUS_SUCCESS;
}

// A connection end: a filter pin that exists, or a node that exists on its output (0) when it is the
// source and on an input (1 and up) when it is the destination.
bool EndOk(const PCFILTER_DESCRIPTOR &d, ULONG node, ULONG pin, bool source)
{
    if (node == PCFILTER_NODE)
        return pin < d.PinCount;
    return node < d.NodeCount && (source ? pin == 0 : pin >= 1);
}

NTSTATUS CheckDescription(const PCFILTER_DESCRIPTOR *d)
{
    if (!d)
        return Refuse("no description");
    if (!ArrayOk(d->PinCount, d->Pins, d->PinSize, sizeof(PCPIN_DESCRIPTOR)))
        return Refuse("pin descriptors: size or array");
    if (!ArrayOk(d->NodeCount, d->Nodes, d->NodeSize, sizeof(PCNODE_DESCRIPTOR)))
        return Refuse("node descriptors: size or array");
    if (d->ConnectionCount && !d->Connections)
        return Refuse("connections without their array");
    if (d->CategoryCount == 0 || !d->Categories || d->CategoryCount > kMaxCategories)
        return Refuse("filter categories");
    if (NTSTATUS status = CheckTable(d->AutomationTable, nullptr, ULONG(-1)); !NT_SUCCESS(status))
        return status;
    for (ULONG i = 0; i < d->PinCount; ++i)
        if (NTSTATUS status = CheckPin(d->Pins[i], i); !NT_SUCCESS(status))
            return status;
    for (ULONG i = 0; i < d->NodeCount; ++i)
    {
        if (!d->Nodes[i].Type)
            return Refuse("a node without type", i);
        if (NTSTATUS status = CheckTable(d->Nodes[i].AutomationTable, "node property items", i);
            !NT_SUCCESS(status))
            return status;
    }
    for (ULONG i = 0; i < d->ConnectionCount; ++i)
    {
        const PCCONNECTION_DESCRIPTOR &c = d->Connections[i];
        if (!EndOk(*d, c.FromNode, c.FromNodePin, true) || !EndOk(*d, c.ToNode, c.ToNodePin, false))
            return Refuse("a dangling connection", i);
    }
    return STATUS_SUCCESS;
}

const PCPROPERTY_ITEM *FindProperty(const PCAUTOMATION_TABLE *table, const GUID &set, ULONG id)
{
    for (ULONG i = 0; table && i < table->PropertyCount; ++i)
        if (*table->Properties[i].Set == set && table->Properties[i].Id == id)
            return &table->Properties[i];
    return nullptr;
}

const PCEVENT_ITEM *FindEvent(const PCAUTOMATION_TABLE *table, const GUID &set, ULONG id)
{
    for (ULONG i = 0; table && i < table->EventCount; ++i)
        if (*table->Events[i].Set == set && table->Events[i].Id == id)
            return &table->Events[i];
    return nullptr;
}

// The port's own intersection: the pin's range itself when the client's identifiers match it.
NTSTATUS DefaultIntersection(const KSDATARANGE &client, const KSDATARANGE &mine, ULONG length, PVOID result,
                             PULONG resultLength)
{
    if (!Matches(client.MajorFormat, mine.MajorFormat) || !Matches(client.SubFormat, mine.SubFormat) ||
        !Matches(client.Specifier, mine.Specifier))
        return STATUS_NO_MATCH;
    *resultLength = mine.FormatSize;
    if (length == 0)
        return STATUS_BUFFER_OVERFLOW;
    if (length < mine.FormatSize || !result)
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(result, &mine, mine.FormatSize);
    return STATUS_SUCCESS;
}

// Whether a handler's answer kept to the protocol: nothing changed on failure, no more bytes claimed
// than given on success.
void CheckAnswer(const char *what, NTSTATUS status, const ExactBuffer &buffer, const void *before, ULONG room,
                 ULONG reported)
{
    if (!NT_SUCCESS(status) && !buffer.Same(before))
        sim::ReportViolation(std::string(what) + " failed but changed its output buffer");
    if (NT_SUCCESS(status) && reported > room)
        sim::ReportViolation(std::string(what) + " reported more bytes than its buffer holds");
}

} // namespace

NTSTATUS CPortCore::TakeDescription(IMiniport *miniport)
{
    PPCFILTER_DESCRIPTOR description = nullptr;
    NTSTATUS status = miniport->GetDescription(&description);
    if (!NT_SUCCESS(status))
    {
        DbgPrint("PcPort: GetDescription failed 0x%08X\n", unsigned(status));
        return status;
    }
    status = CheckDescription(description);
    if (NT_SUCCESS(status))
        m_Description = description;
    return status;
}

NTSTATUS CPortCore::Property(const void *request, ULONG requestSize, void *value, PULONG valueSize)
{
    sim::AssertPassiveLevel("property request");
    std::lock_guard<std::mutex> serial(m_RequestLock);
    const PCFILTER_DESCRIPTOR *d = Description();
    if (!d)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!request || requestSize < sizeof(KSPROPERTY) || !valueSize || (*valueSize && !value))
        return STATUS_INVALID_PARAMETER;
    KSPROPERTY header;
    std::memcpy(&header, request, sizeof(header));
    const bool topology = header.Flags & KSPROPERTY_TYPE_TOPOLOGY;
    const ULONG headerSize = topology ? sizeof(KSNODEPROPERTY) : sizeof(KSPROPERTY);
    if (requestSize < headerSize)
        return STATUS_INVALID_PARAMETER;
    ULONG node = PCFILTER_NODE;
    const PCAUTOMATION_TABLE *table = d->AutomationTable;
    if (topology)
    {
        KSNODEPROPERTY nodeHeader;
        std::memcpy(&nodeHeader, request, sizeof(nodeHeader));
        node = nodeHeader.NodeId;
        if (node >= d->NodeCount)
            return STATUS_INVALID_PARAMETER;
        table = d->Nodes[node].AutomationTable;
    }
    const PCPROPERTY_ITEM *item = FindProperty(table, header.Set, header.Id);
    if (!item)
        return STATUS_NOT_FOUND;
    const ULONG verb = header.Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
    if ((verb != KSPROPERTY_TYPE_GET && verb != KSPROPERTY_TYPE_SET &&
         verb != KSPROPERTY_TYPE_BASICSUPPORT) ||
        !(item->Flags & verb))
        return STATUS_INVALID_DEVICE_REQUEST;

    const ULONG instanceSize = requestSize - headerSize;
    ExactBuffer instance(static_cast<const UCHAR *>(request) + headerSize, instanceSize);
    const ULONG room = *valueSize;
    ExactBuffer buffer(value, room);
    PCPROPERTY_REQUEST r{m_Miniport,   nullptr,        node, item,         verb,
                         instanceSize, instance.Get(), room, buffer.Get(), nullptr};
    const NTSTATUS status = item->Handler(&r);
    CheckAnswer("a property handler", status, buffer, value, room, r.ValueSize);
    if (NT_SUCCESS(status) && room)
        std::memcpy(value, buffer.Get(), room);
    *valueSize = NT_SUCCESS(status) ? std::min(r.ValueSize, room) : r.ValueSize;
    return status;
}

NTSTATUS CPortCore::Intersect(ULONG pin, const KSDATARANGE *clientRange, ULONG clientRangeSize, ULONG length,
                              void *result, PULONG resultLength)
{
    sim::AssertPassiveLevel("data-range intersection");
    std::lock_guard<std::mutex> serial(m_RequestLock);
    const PCFILTER_DESCRIPTOR *d = Description();
    if (!d)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!clientRange || clientRangeSize < sizeof(KSDATARANGE) || !resultLength || pin >= d->PinCount)
        return STATUS_INVALID_PARAMETER;
    // The framework hands a miniport only ranges whose claimed size lies within the caller's buffer,
    // so a miniport may read FormatSize bytes of it.
    if (clientRange->FormatSize > clientRangeSize)
        return STATUS_INVALID_PARAMETER;
    ExactBuffer client(clientRange, clientRangeSize);
    auto *clientCopy = reinterpret_cast<PKSDATARANGE>(client.Get());
    const KSPIN_DESCRIPTOR &ks = d->Pins[pin].KsPinDescriptor;
    for (ULONG i = 0; i < ks.DataRangesCount; ++i)
    {
        ExactBuffer out(result, length);
        ULONG produced = 0;
        PVOID target = result ? out.Get() : nullptr;
        NTSTATUS status = m_MiniportBase->DataRangeIntersection(pin, clientCopy, ks.DataRanges[i], length,
                                                                target, &produced);
        if (status == STATUS_NOT_IMPLEMENTED)
            status = DefaultIntersection(*clientCopy, *ks.DataRanges[i], length, target, &produced);
        if (status == STATUS_NO_MATCH)
            continue;
        CheckAnswer("a data-range intersection", status, out, result, length, produced);
        if (NT_SUCCESS(status) && result && length)
            std::memcpy(result, out.Get(), length);
        *resultLength = produced;
        return status;
    }
    return STATUS_NO_MATCH;
}

NTSTATUS CPortCore::EnableEvent(const GUID &set, ULONG id, ULONG node,
                                const std::shared_ptr<SubscriptionState> &state, PULONG key)
{
    sim::AssertPassiveLevel("event enable");
    std::lock_guard<std::mutex> serial(m_RequestLock);
    const PCFILTER_DESCRIPTOR *d = Description();
    if (!d)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (node != PCFILTER_NODE && node >= d->NodeCount)
        return STATUS_INVALID_PARAMETER;
    const PCEVENT_ITEM *item =
        FindEvent(node == PCFILTER_NODE ? d->AutomationTable : d->Nodes[node].AutomationTable, set, id);
    if (!item)
        return STATUS_NOT_FOUND;
    void *memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(KSEVENT_ENTRY), kEventTag);
    if (!memory)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto *entry = new (memory) KSEVENT_ENTRY{set, id, node, item, state, 0, false};
    {
        std::lock_guard<std::mutex> guard(m_EventLock);
        entry->Key = m_NextKey++;
        m_Events.push_back(entry);
    }
    PCEVENT_REQUEST request{m_Miniport, nullptr, node, item, entry, PCEVENT_VERB_ADD};
    const NTSTATUS status = item->Handler(&request);
    if (!NT_SUCCESS(status))
    {
        {
            std::lock_guard<std::mutex> guard(m_EventLock);
            m_Events.erase(std::find(m_Events.begin(), m_Events.end(), entry));
        }
        entry->~KSEVENT_ENTRY();
        ExFreePoolWithTag(entry, kEventTag);
        return status;
    }
    *key = entry->Key;
    return STATUS_SUCCESS;
}

NTSTATUS CPortCore::DisableEvent(ULONG key)
{
    sim::AssertPassiveLevel("event disable");
    std::lock_guard<std::mutex> serial(m_RequestLock);
    PKSEVENT_ENTRY entry = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_EventLock);
        const auto it =
            std::find_if(m_Events.begin(), m_Events.end(), [key](PKSEVENT_ENTRY e) { return e->Key == key; });
        if (it == m_Events.end())
            return STATUS_NOT_FOUND; // dropped with its filter, or never enabled
        entry = *it;
        m_Events.erase(it);
    }
    if (m_Miniport)
    {
        PCEVENT_REQUEST request{m_Miniport, nullptr, entry->NodeId, entry->Item, entry, PCEVENT_VERB_REMOVE};
        entry->Item->Handler(&request);
    }
    entry->~KSEVENT_ENTRY();
    ExFreePoolWithTag(entry, kEventTag);
    return STATUS_SUCCESS;
}

void CPortCore::DropEvents()
{
    std::vector<PKSEVENT_ENTRY> events;
    {
        std::lock_guard<std::mutex> guard(m_EventLock);
        events.swap(m_Events);
    }
    for (PKSEVENT_ENTRY entry : events)
    {
        entry->~KSEVENT_ENTRY();
        ExFreePoolWithTag(entry, kEventTag);
    }
}

size_t CPortCore::ListedEvents()
{
    std::lock_guard<std::mutex> guard(m_EventLock);
    return size_t(
        std::count_if(m_Events.begin(), m_Events.end(), [](PKSEVENT_ENTRY e) { return e->Listed; }));
}

std::vector<sim::portcls::GeneratedEvent> CPortCore::Generated()
{
    std::lock_guard<std::mutex> guard(m_EventLock);
    return m_Generated;
}

void CPortCore::AddEventToEventList(PKSEVENT_ENTRY EventEntry)
{
    std::lock_guard<std::mutex> guard(m_EventLock);
    const auto it = std::find(m_Events.begin(), m_Events.end(), EventEntry);
    if (it == m_Events.end())
    {
        sim::ReportViolation("AddEventToEventList: an entry this port did not hand out");
        return;
    }
    EventEntry->Listed = true;
}

void CPortCore::GenerateEventList(const GUID *Set, ULONG EventId, BOOLEAN PinEvent, ULONG PinId,
                                  BOOLEAN NodeEvent, ULONG NodeId)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        sim::ReportViolation("GenerateEventList above DISPATCH_LEVEL");
    if (!Set)
    {
        sim::ReportViolation("GenerateEventList without an event set");
        return;
    }
    std::lock_guard<std::mutex> guard(m_EventLock);
    m_Generated.push_back({*Set, EventId, PinEvent, PinId, NodeEvent, NodeId});
    for (PKSEVENT_ENTRY entry : m_Events)
    {
        const bool target =
            NodeEvent ? entry->NodeId == NodeId : (!PinEvent && entry->NodeId == PCFILTER_NODE);
        if (entry->Listed && entry->Set == *Set && entry->EventId == EventId && target)
        {
            ++entry->State->Signals;
            KeSetEvent(&entry->State->Signal, 0, FALSE);
        }
    }
}
