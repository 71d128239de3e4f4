// The common base of every audio-class entity, topology node and effect node: an identifier, a kind
// and a table of source identifiers, answered through IAudioNode.
#pragma once

#include "driver/base/object_model.h"
#include "driver/filters/audio_hal_interfaces.h"
#include "driver/base/item_list.h"

// A unit has at most 255 input pins, so no node lists more sources; a larger count is a caller's
// fault, refused before it can size an allocation.
inline constexpr ULONG NODE_MAX_SOURCES = 255;

// Not thread-safe: callers serialise (property requests are serialised per filter by the framework;
// the graph is built at PASSIVE_LEVEL before streaming). The source table is paged pool, so
// SetSources and destruction run at PASSIVE_LEVEL.
class CAudioNodeBase : public IAudioNode, public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    CAudioNodeBase(PUNKNOWN outerUnknown, ULONG id, ULONG kind);
    ~CAudioNodeBase() override;

    ULONG GetId() override { return m_Id; }
    ULONG GetKind() override { return m_Kind; }
    ULONG GetSourceCount() override { return m_SourceCount; }
    NTSTATUS GetSources(PULONG count, PULONG sources) override;
    NTSTATUS ApplyAll() override { return STATUS_SUCCESS; }
    NTSTATUS Refresh() override { return STATUS_SUCCESS; }
    NTSTATUS StartNode() override { return STATUS_SUCCESS; }
    NTSTATUS StopNode() override { return STATUS_SUCCESS; }
    // A new table replaces the old only once it is allocated: on failure the old table and count stay.
    NTSTATUS SetSources(ULONG count, const ULONG *sources) override;

protected:
    // Units are built before their descriptor is read; its initialisation gives them their unit
    // identifier and subtype. The switchable terminal changes its kind with it too.
    void SetIdentity(ULONG id, ULONG kind)
    {
        m_Id = id;
        m_Kind = kind;
    }

    // The node query: IUnknown with `primary`, IAudioNode, then `entries`.
    NTSTATUS AnswerNode(REFIID iid, PVOID *object, PUNKNOWN primary,
                        std::initializer_list<InterfaceEntry> entries = {});

    // A zeroed pool copy of `bytes` bytes of `source` (null source: zeroed only); null on failure.
    static PVOID NewTable(const void *source, ULONG bytes, POOL_TYPE poolType, ULONG tag);
    // Releases every listener of `list` (head first) and frees the list record; null is ignored.
    static void ReleaseListeners(CItemList *list);
    // Appends `listener` to `*list` with one reference, creating the list (`tag`) when `create`.
    // STATUS_UNSUCCESSFUL without a list, STATUS_INSUFFICIENT_RESOURCES when no room is left.
    static NTSTATUS AppendListener(CItemList **list, PUNKNOWN listener, BOOLEAN create, ULONG tag);

    // The common tail of a value node's initialisation: with `newTable` allocated (null gives
    // STATUS_INSUFFICIENT_RESOURCES), sets the one source `sourceId`, then frees *table and installs
    // newTable. On any failure newTable is freed and the node is left as it was.
    NTSTATUS InstallWithSource(PVOID *table, PVOID newTable, ULONG sourceId);

    // The base's own SetSources, for initialisations that must not reach an override.
    NTSTATUS ReplaceSources(ULONG count, const ULONG *sources);

    ULONG m_Id;
    ULONG m_Kind;
    ULONG m_SourceCount;
    PULONG m_Sources; // paged pool, tag "Topo"
};
