// Port-class events: the port's event interface that miniports fire events through, and the event
// request the port passes to a miniport's event handler.
#pragma once

#include <nt_types.h>
#include <pc_unknown.h>

// {A80F29C4-5498-11D2-95D9-00C04FB925D3}
inline constexpr GUID IID_IPortEvents = {
    0xA80F29C4, 0x5498, 0x11D2, {0x95, 0xD9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3}};

// {E85E9698-FA2F-11D1-95BD-00C04FB925D3}
inline constexpr GUID KSEVENTSETID_AudioControlChange = {
    0xE85E9698, 0xFA2F, 0x11D1, {0x95, 0xBD, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3}};
enum KSEVENT_AUDIO_CONTROL_CHANGE : ULONG
{
    KSEVENT_CONTROL_CHANGE = 0,
};

// One enabled event of a client; owned by the port, opaque to miniports.
struct KSEVENT_ENTRY;
typedef KSEVENT_ENTRY *PKSEVENT_ENTRY;

// What the port asks of an event handler.
enum : ULONG
{
    PCEVENT_VERB_NONE = 0,
    PCEVENT_VERB_ADD = 1,     // a client enables the event: add its entry to the port's list
    PCEVENT_VERB_REMOVE = 2,  // a client disables it
    PCEVENT_VERB_SUPPORT = 4, // is the event supported
};

struct PCEVENT_REQUEST;
typedef PCEVENT_REQUEST *PPCEVENT_REQUEST;
typedef NTSTATUS (*PCPFNEVENT_HANDLER)(PPCEVENT_REQUEST EventRequest);

// An event of a filter's, pin's or node's automation table.
struct PCEVENT_ITEM
{
    const GUID *Set;
    ULONG Id;
    ULONG Flags;
    PCPFNEVENT_HANDLER Handler;
};
typedef PCEVENT_ITEM *PPCEVENT_ITEM;

struct PCEVENT_REQUEST
{
    PUNKNOWN MajorTarget;          // the miniport
    PVOID MinorTarget;             // the stream, for a pin event; else null
    ULONG Node;                    // node index, or ULONG(-1) when the event is not a node's
    const PCEVENT_ITEM *EventItem; // the item the request is for
    PKSEVENT_ENTRY EventEntry;     // the client's entry (PCEVENT_VERB_ADD and _REMOVE)
    ULONG Verb;                    // PCEVENT_VERB_*
};

// The port's event list. Callable up to DISPATCH_LEVEL.
struct IPortEvents : IUnknown
{
    // Adds an enabled event's entry to the port's list (from a miniport's handler, verb ADD).
    virtual void AddEventToEventList(PKSEVENT_ENTRY EventEntry) = 0;
    // Signals every listed event of `Set`/`EventId` that matches: a pin event for PinId when PinEvent,
    // a node event for NodeId when NodeEvent (ULONG(-1) where one does not apply).
    virtual void GenerateEventList(const GUID *Set, ULONG EventId, BOOLEAN PinEvent, ULONG PinId,
                                   BOOLEAN NodeEvent, ULONG NodeId) = 0;

protected:
    ~IPortEvents() = default;
};
typedef IPortEvents *PPORTEVENTS;
