// A port's event interface that records what a miniport fires, for tests of event sources.
#pragma once

#include <pc_events.h>
#include <sim/portcls_sim.h>

#include <vector>

// The record the port-class stand-in keeps of each GenerateEventList call.
using GeneratedEvent = sim::portcls::GeneratedEvent;

// Lives on the test's stack; its reference count is only observed (it must be back at its start when
// the code under test is done with it).
class RecordingPortEvents final : public IPortEvents
{
public:
    NTSTATUS QueryInterface(REFIID iid, PVOID *object) override;
    ULONG AddRef() override { return ++m_References; }
    ULONG Release() override { return --m_References; }
    void AddEventToEventList(PKSEVENT_ENTRY EventEntry) override { m_Added.push_back(EventEntry); }
    void GenerateEventList(const GUID *Set, ULONG EventId, BOOLEAN PinEvent, ULONG PinId, BOOLEAN NodeEvent,
                           ULONG NodeId) override;

    ULONG References() const { return m_References; }
    const std::vector<GeneratedEvent> &Generated() const { return m_Generated; }
    const std::vector<PKSEVENT_ENTRY> &Added() const { return m_Added; }

private:
    ULONG m_References = 0;
    std::vector<GeneratedEvent> m_Generated;
    std::vector<PKSEVENT_ENTRY> m_Added;
};
