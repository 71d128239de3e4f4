// Control-change events.
#include "driver/filters/control_change.h"

NTSTATUS RaiseControlChange(PPORTEVENTS portEvents, const ControlChangeMessage *message,
                            PFN_RESOLVE_CONTROL_NODE resolve, PVOID context)
{
    if (!portEvents || !message || !resolve)
        return STATUS_INVALID_PARAMETER;
    if (message->Count != CONTROL_CHANGE_COUNT || message->Type != CONTROL_CHANGE_TYPE)
        return STATUS_INVALID_PARAMETER;
    ULONG nodeIndex = 0;
    if (!resolve(context, message->NodeId, &nodeIndex))
        return STATUS_UNSUCCESSFUL;
    portEvents->GenerateEventList(&KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, FALSE, ULONG(-1),
                                  TRUE, nodeIndex);
    return STATUS_SUCCESS;
}

NTSTATUS ControlChangeEventHandler(PPCEVENT_REQUEST request, PPORTEVENTS portEvents)
{
    if (!request)
        return STATUS_INVALID_PARAMETER;
    switch (request->Verb)
    {
    case PCEVENT_VERB_ADD:
        if (!portEvents)
            return STATUS_UNSUCCESSFUL;
        if (!request->EventEntry)
            return STATUS_INVALID_PARAMETER;
        portEvents->AddEventToEventList(request->EventEntry);
        return STATUS_SUCCESS;
    case PCEVENT_VERB_REMOVE:
    case PCEVENT_VERB_SUPPORT:
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}
