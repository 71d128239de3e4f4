// Control changes: the message a device sends when a control's value changed, the routine that turns
// it into the port's KSEVENT_CONTROL_CHANGE, and the event handler topology nodes carry for that event.
#pragma once

#include <ntkernel.h>
#include <pc_events.h>

// Sent on a device's "\Callback\AudioHalAddr%p" object as {1, 1, node identifier, 0}.
struct ControlChangeMessage
{
    ULONG Count;    // CONTROL_CHANGE_COUNT: one node named
    ULONG Type;     // CONTROL_CHANGE_TYPE: a control value
    ULONG NodeId;   // the changed node's GetId, never a unit ID
    ULONG Reserved; // 0
};
inline constexpr ULONG CONTROL_CHANGE_COUNT = 1;
inline constexpr ULONG CONTROL_CHANGE_TYPE = 1;

inline ControlChangeMessage MakeControlChangeMessage(ULONG nodeId)
{
    return ControlChangeMessage{CONTROL_CHANGE_COUNT, CONTROL_CHANGE_TYPE, nodeId, 0};
}

// Maps a node identifier to the index of its topology node; FALSE when no node has that identifier.
typedef BOOLEAN (*PFN_RESOLVE_CONTROL_NODE)(PVOID context, ULONG nodeId, PULONG nodeIndex);

// When `message` names one node of one kind (count 1, type 1) and `resolve` finds its node, fires
// KSEVENT_CONTROL_CHANGE of KSEVENTSETID_AudioControlChange on `portEvents` as a node event for that
// node index (no pin event, pin id ULONG(-1)) and returns STATUS_SUCCESS. A message of another shape
// or a null argument gives STATUS_INVALID_PARAMETER, an identifier no node has STATUS_UNSUCCESSFUL;
// nothing is fired then. Callable up to DISPATCH_LEVEL (messages arrive from USB completions).
NTSTATUS RaiseControlChange(PPORTEVENTS portEvents, const ControlChangeMessage *message,
                            PFN_RESOLVE_CONTROL_NODE resolve, PVOID context);

// The event handler of the control-change event in the topology automation tables, after the
// miniport has found its port's event interface (`portEvents`, null when it has none):
// - PCEVENT_VERB_ADD: adds the request's event entry to the port's list; STATUS_UNSUCCESSFUL without
//   port events, STATUS_INVALID_PARAMETER without an entry;
// - PCEVENT_VERB_REMOVE and PCEVENT_VERB_SUPPORT: STATUS_SUCCESS, nothing done;
// - any other verb, or a null request: STATUS_INVALID_PARAMETER.
NTSTATUS ControlChangeEventHandler(PPCEVENT_REQUEST request, PPORTEVENTS portEvents);
