// Terminal nodes: terminal types and jack records, and the mixer node that presents itself as a
// source-less input terminal while switched on.
//
// No lock is taken (callers serialise); the tables are paged pool, so initialisation and the table
// reads run at PASSIVE_LEVEL.
#pragma once

#include "driver/filters/audio_node.h"
#include "driver/filters/node_interfaces.h"

inline constexpr ULONG TERMINAL_MAX_TYPES = 5;
// A terminal describes its connectors; more than this many jacks is a caller's fault.
inline constexpr ULONG TERMINAL_MAX_JACKS = 32;
// The type of the mixer node's default initialisation.
inline constexpr ULONG TERMINAL_DEFAULT_TYPE = 16;

// The jack record of the default initialisation: connected, on the front, one port.
inline constexpr JackRecord kDefaultJackRecord = {3, 0, 7, 14, 1, 1, 0, 1, 0};

// Kinds 0, 1 and 5. A node built with kind 5 also answers ISwitchable, and ITerminalInfo only while
// switched on.
class CTerminalNode : public ITerminalInfo, public ISwitchable, public CAudioNodeBase
{
public:
    DECLARE_STD_UNKNOWN();
    CTerminalNode(PUNKNOWN outerUnknown, ULONG id, ULONG kind);
    ~CTerminalNode() override;

    NTSTATUS GetSelectedType(PULONG type) override;
    NTSTATUS GetTypeCount(PULONG count) override;
    NTSTATUS GetTypes(PULONG types) override;
    NTSTATUS SelectType(ULONG type) override;
    NTSTATUS GetJackCount(PULONG count) override;
    NTSTATUS GetJacks(ULONG size, PVOID buffer) override;
    NTSTATUS GetWords(PULONG words) override;
    NTSTATUS SetSwitch(UCHAR on) override;
    // On a switchable node the new count is also the one restored when it is switched off; while it
    // is on, the visible count stays 0.
    NTSTATUS SetSources(ULONG count, const ULONG *sources) override;

    // 1 to 5 types (the first is selected) and the jack records; no sources. A repeated call
    // replaces the tables only when all its allocations succeed.
    NTSTATUS InitTerminal(ULONG typeCount, const ULONG *types, ULONG jackCount, const JackRecord *jacks);
    // Type 16 with kDefaultJackRecord, then the given sources, whose count SetSwitch(0) restores.
    NTSTATUS InitDefault(ULONG sourceCount, const ULONG *sources);

protected:
    // Installs new type and jack tables and sources, all or nothing.
    NTSTATUS InitTables(ULONG typeCount, const ULONG *types, ULONG jackCount, const JackRecord *jacks,
                        ULONG sourceCount, const ULONG *sources);

    PULONG m_Types; // paged, "TerT"
    ULONG m_TypeCount;
    ULONG m_SelectedType;
    JackRecord *m_Jacks; // paged, "TerT"
    ULONG m_JackCount;
    ULONG m_Words[HAL_INFO_WORDS]; // filled by the derived class
    const BOOLEAN m_Switchable;
    UCHAR m_Switch;
    ULONG m_SavedSourceCount;
};

// The output terminal: one source.
class CJackTerminalNode : public CTerminalNode
{
public:
    CJackTerminalNode(PUNKNOWN outerUnknown, ULONG id, ULONG kind = NODE_KIND_OUTPUT_TERMINAL)
        : CTerminalNode(outerUnknown, id, kind)
    {
    }
    using CTerminalNode::InitTerminal;
    NTSTATUS InitTerminal(ULONG sourceId, ULONG typeCount, const ULONG *types, ULONG jackCount,
                          const JackRecord *jacks);
};
