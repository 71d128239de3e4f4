// The topology filter's data: what each unit kind becomes as a node, and what each terminal type
// becomes as a pin. Internal to the topology miniport.
#pragma once

#include "driver/filters/miniport_topology.h"

// A node kind: its type, automation table and name (null: none). Kind 4 has two rows, chosen by the
// unit's source count; kinds 23 and 24 take their name from the unit.
struct TopologyKindRow
{
    ULONG Kind;
    const GUID *Type;
    const PCAUTOMATION_TABLE *Table;
    const GUID *Name;
};
// The row of `kind` for a unit of `sources` sources; null for a kind the filter cannot show.
const TopologyKindRow *FindKindRow(ULONG kind, ULONG sources);

// A terminal type: its pin category and how its pin is named. A key word reads the name from the
// registry ("%s_%02d" with the pin index); the default applies when the read fails. Rows whose name
// or category depend on the system version carry both.
struct TopologyTerminalRow
{
    const GUID *Category;
    const GUID *OlderCategory; // before version 6; null: as Category
    const char *OutKey;        // output terminals (kind 1)
    const char *InKey;         // input terminals (kind 0)
    const GUID *OutDefault;
    const GUID *InDefault;
    const GUID *NewerName; // version 6 and later, when no key word applies
};
inline constexpr ULONG TOPOLOGY_TERMINAL_TYPES = 18; // 0 to 17
const TopologyTerminalRow *FindTerminalRow(ULONG type);

// The name set of device-specific nodes, and the set that reads a terminal's eight words.
extern const GUID KSPROPSETID_NodeName;
extern const GUID KSPROPSETID_PinWords;
// The sets of the device-specific units: a state's values (kind 13), a processing block's and an
// effect's value tables (kinds 20 and 23), a named value (kind 24).
extern const GUID KSPROPSETID_StateValues;
extern const GUID KSPROPSETID_ProcessingBlock;
extern const GUID KSPROPSETID_EffectBlock;
extern const GUID KSPROPSETID_EffectValue;

// Handlers of the node, filter and pin properties (miniport_topology_properties.cpp).
NTSTATUS TopologyLevelHandler(PPCPROPERTY_REQUEST request);
NTSTATUS TopologySwitchHandler(PPCPROPERTY_REQUEST request);
NTSTATUS TopologyMuxHandler(PPCPROPERTY_REQUEST request);
NTSTATUS TopologyDevSpecificHandler(PPCPROPERTY_REQUEST request);
NTSTATUS TopologyStateHandler(PPCPROPERTY_REQUEST request);
NTSTATUS TopologyInfoHandler(PPCPROPERTY_REQUEST request);
NTSTATUS TopologyNamedValueHandler(PPCPROPERTY_REQUEST request);
NTSTATUS TopologyNameHandler(PPCPROPERTY_REQUEST request);
NTSTATUS TopologyFilterHandler(PPCPROPERTY_REQUEST request);
NTSTATUS TopologyPinHandler(PPCPROPERTY_REQUEST request);
NTSTATUS TopologyEventHandler(PPCEVENT_REQUEST request);
extern const PCAUTOMATION_TABLE kTopologyFilterAutomation;
