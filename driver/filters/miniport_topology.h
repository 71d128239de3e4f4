// The topology miniport of a device: its filter description built from the device's entity objects
// (terminals become pins, units become nodes, source identifiers become connections), node and pin
// properties answered through the entities' interfaces, and control changes raised as events.
#pragma once

#include "driver/base/item_list.h"
#include "driver/base/object_model.h"
#include "driver/filters/audio_hal_interfaces.h"
#include "driver/filters/miniport_common.h"
#include "driver/filters/node_terminal.h"
#include "driver/filters/node_interfaces.h"
#include "driver/filters/unit_interfaces.h"

// Creates the device's topology miniport (zeroed, from `poolType`, "TOPO"). `settings` reads the
// per-pin name values; null reads none. The port class is ignored.
NTSTATUS CreateMiniportTopology(PUNKNOWN *unknown, REFGUID portClassId, PUNKNOWN outerUnknown,
                                POOL_TYPE poolType, PFN_SETTINGS_VALUE settings);

// One terminal (pin) or unit (node) of the filter, in list order; the position is the index.
struct TopologyEntity
{
    IAudioNode *Node; // one reference
    ULONG Index;
};
struct TopologyConnection
{
    ULONG FromNode, FromPin, ToNode, ToPin;
};

// Threading: Init and destruction at PASSIVE_LEVEL; property and event handlers run serialised by the
// port at PASSIVE_LEVEL; the HAL callback may run on any thread up to DISPATCH_LEVEL and only reads
// the unit list, which is fixed after Init.
class CMiniportTopology : public IMiniportTopology,
                          public IPowerNotify,
                          public IMiniportPrivate,
                          public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    CMiniportTopology(PUNKNOWN outerUnknown, PFN_SETTINGS_VALUE settings);
    ~CMiniportTopology() override;

    NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR *description) override;
    NTSTATUS DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED; // the port's default serves the analog bridge ranges
    }
    NTSTATUS Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORT port) override;
    void PowerChangeNotify(POWER_STATE powerState) override;
    // GetPinForTerminal: the pin of the terminal with that identifier.
    NTSTATUS QueryTerminal(ULONG terminalId, PULONG pin) override;
    NTSTATUS GetName(PWSTR *name) override;

    DEVICE_POWER_STATE PowerState() const { return m_PowerState; }
    ULONG PinCount() const { return m_PinCount; }
    ULONG NodeCount() const { return m_NodeCount; }
    // The entity behind a node or pin index; null when out of range. No reference added.
    IAudioNode *UnitAt(ULONG node) const { return node < m_NodeCount ? m_Units[node].Node : nullptr; }
    IAudioNode *TerminalAt(ULONG pin) const { return pin < m_PinCount ? m_Terminals[pin].Node : nullptr; }
    PPORTEVENTS PortEvents() const { return m_PortEvents; }
    const GUID *NodeName(ULONG node) const;

    static CMiniportTopology *From(PPCPROPERTY_REQUEST request)
    {
        return static_cast<CMiniportTopology *>(static_cast<IMiniportTopology *>(request->MajorTarget));
    }

private:
    NTSTATUS BuildLists();
    NTSTATUS BuildTopologyDescriptor();
    NTSTATUS BuildPins();
    NTSTATUS BuildNodes();
    NTSTATUS BuildConnections();
    NTSTATUS ExpandUnit(ULONG node, ULONG depth);
    NTSTATUS AddConnection(ULONG fromNode, ULONG fromPin, ULONG toNode, ULONG toPin);
    NTSTATUS ReadPinName(ULONG pin, const char *keyWord, BOOLEAN plainToo, const GUID **name);
    BOOLEAN FindUnit(ULONG id, PULONG node) const;
    BOOLEAN FindTerminal(ULONG id, PULONG pin) const;
    static VOID ControlChanged(PVOID context, PVOID argument1, PVOID argument2);
    static BOOLEAN ResolveNode(PVOID context, ULONG nodeId, PULONG nodeIndex);
    void FreeAll();

    PFN_SETTINGS_VALUE m_Settings;
    PPORT m_Port;
    PPORTEVENTS m_PortEvents;
    IAudioHal *m_Hal;
    PVOID m_Registration;
    PWSTR m_Name;
    DEVICE_POWER_STATE m_PowerState;
    TopologyEntity *m_Terminals; // paged "TOPO", m_PinCount records
    TopologyEntity *m_Units;     // paged "TOPO", m_NodeCount records
    ULONG m_PinCount;
    ULONG m_NodeCount;
    TopologyConnection *m_ConnectionList; // paged "TOPO", room for m_ConnectionRoom
    ULONG m_ConnectionRoom;
    ULONG m_ConnectionCount;
    UCHAR *m_Visiting; // per unit: on the current expansion path, or expanded (paged "TOPO")
    PPCFILTER_DESCRIPTOR m_FilterDescriptor;
    PPCPIN_DESCRIPTOR m_Pins;
    PPCNODE_DESCRIPTOR m_Nodes;
    PPCCONNECTION_DESCRIPTOR m_Connections;
    GUID *m_PinNames;  // per pin, read from the registry
    GUID *m_NodeNames; // per node, supplied by device-specific units
};
