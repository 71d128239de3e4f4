// A recording port event interface.
#include "support/recording_port_events.h"

NTSTATUS RecordingPortEvents::QueryInterface(REFIID iid, PVOID *object)
{
    if (!object)
        return STATUS_INVALID_PARAMETER;
    if (iid == IID_IUnknown || iid == IID_IPortEvents)
    {
        *object = static_cast<IPortEvents *>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

void RecordingPortEvents::GenerateEventList(const GUID *Set, ULONG EventId, BOOLEAN PinEvent, ULONG PinId,
                                            BOOLEAN NodeEvent, ULONG NodeId)
{
    m_Generated.push_back(GeneratedEvent{Set ? *Set : GUID{}, EventId, PinEvent, PinId, NodeEvent, NodeId});
}
