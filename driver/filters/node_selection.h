// Nodes that choose: the selector (one input of its sources) and the state node (one of a few
// allowed values). Both tell their listeners of a change; a failing listener ends that round of
// notification but not the change itself.
//
// No lock is taken (callers serialise); Select and the listener calls run at PASSIVE_LEVEL.
#pragma once

#include "driver/filters/audio_node.h"
#include "driver/filters/node_interfaces.h"

inline constexpr ULONG STATE_MAX_VALUES = 5;

// Kind 4. The listener list (record tag "SelT") is created by the first SetSources.
class CSelectorNode : public INodeConnect, public CAudioNodeBase
{
public:
    DECLARE_STD_UNKNOWN();
    CSelectorNode(PUNKNOWN outerUnknown, ULONG id);
    ~CSelectorNode() override;

    NTSTATUS GetSelected(PULONG selected) override;
    // 0, or 1 to the source count: listeners get OnSelecting(new, old), the index is stored, then
    // they get OnSelected(new). STATUS_SUCCESS whatever the listeners answer.
    NTSTATUS Select(ULONG index) override;
    NTSTATUS GetCount(PULONG count) override;
    // STATUS_UNSUCCESSFUL before the list exists.
    NTSTATUS AddListener(ISelectListener *listener) override;
    // Creates the listener list when missing (STATUS_UNSUCCESSFUL when it cannot), then stores the
    // sources.
    NTSTATUS SetSources(ULONG count, const ULONG *sources) override;

protected:
    CItemList *m_Listeners;
    ULONG m_Selected;
};

// Kind 13. Listeners are IStateTarget nodes, given (value, 0) on a change.
class CStateNode : public INodeState, public CAudioNodeBase
{
public:
    DECLARE_STD_UNKNOWN();
    CStateNode(PUNKNOWN outerUnknown, ULONG id);
    ~CStateNode() override;

    NTSTATUS GetValue(PULONG value) override;
    NTSTATUS GetValueCount(PULONG count) override;
    NTSTATUS GetValues(PULONG values) override;
    NTSTATUS Select(ULONG value) override; // an allowed value; the current one changes nothing
    BOOLEAN IsChanged() override { return m_Changed; }
    void ClearChanged() override { m_Changed = FALSE; }
    NTSTATUS AddListener(IStateTarget *listener) override; // creates the list (tag "TerT") when missing
    // 1 to 5 values (the first is current) and one source, all or nothing.
    NTSTATUS Init(ULONG sourceId, ULONG count, const ULONG *values) override;

protected:
    PULONG m_Values; // paged, "TerT"
    ULONG m_ValueCount;
    ULONG m_Current;
    BOOLEAN m_Changed;
    CItemList *m_Listeners;
};
