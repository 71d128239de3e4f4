// The per-device audio object: the device's node graph and stream engines, its named callback object
// and the adapter power interface. The adapter object and the USB audio device classes derive from
// it and replace StartHardware (and what else their class changes).
#pragma once

#include <pc_power.h>

#include "driver/base/named_callback.h"
#include "driver/base/object_model.h"
#include "driver/filters/audio_hal_interfaces.h"
#include "driver/base/item_list.h"

inline constexpr size_t HAL_NAME_BUFFER_BYTES = 102; // the temporary name buffer ("Temp", paged)
inline constexpr size_t HAL_NAME_BYTES = 98;         // of which the name may use this much

// ---- The audio HAL ------------------------------------------------------------------------------
// Threading: Init, ConnectAll, the list operations, StartAll/StopAll, the callback registrations and
// the power calls run at PASSIVE_LEVEL. The lists change only during start-up (StartHardware), before
// streaming, so no lock guards them; the getters may be read afterwards from any thread. GetEngine,
// GetFilter and FindFilter add no reference: the HAL keeps its items until it is destroyed.
class CAudioHal : public IAudioHal, public IAdapterPowerManagement, public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    explicit CAudioHal(PUNKNOWN outerUnknown);
    // Releases the nodes, then the engines, then the callback object.
    ~CAudioHal() override;

    // ---- IAudioHal
    NTSTATUS GetStreamInfo(ULONG index, PULONG words) override;
    NTSTATUS GetComponentId(PVOID request, PVOID record) override;
    ULONG GetEngineCount() override;
    NTSTATUS GetEngine(ULONG index, IStreamEngine **engine) override;
    ULONG GetFilterCount() override;
    NTSTATUS GetFilter(ULONG index, IAudioNode **node) override;
    PDEVICE_OBJECT GetDeviceObject() override { return m_DeviceObject; }
    // Creates the lists and the callback object, stores the values, enters D0, then StartHardware and,
    // when it succeeds, ConnectAll; their status is returned. Every failure leaves the HAL as it was
    // (lists freed with their items, no callback object). A second Init is refused with
    // STATUS_UNSUCCESSFUL.
    NTSTATUS Init(PVOID unused, PDEVICE_OBJECT deviceObject, PVOID value2, PVOID value3) override;
    NTSTATUS StartAll() override;
    NTSTATUS StopAll() override;
    NTSTATUS RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID *registration) override;
    NTSTATUS UnregisterCallback(PVOID registration) override;
    ULONG NotifyActivity() override { return 0; }
    // The device classes find their hardware here; the base has none.
    NTSTATUS StartHardware() override { return STATUS_NOT_IMPLEMENTED; }
    // Links the selectors' sources to their children, binds or resets the engines' nodes, then
    // RestoreFilters. A child chain that comes back to a node already met, or names a missing node,
    // ends there; a chain is never longer than the node list. STATUS_INSUFFICIENT_RESOURCES when the
    // walk's table cannot be allocated (nothing is linked then).
    NTSTATUS ConnectAll() override;
    NTSTATUS GetTerminalCapabilities(ULONG direction, ULONG terminalType, PULONG words) override;

    // ---- IAdapterPowerManagement
    // D0 from another state re-sends every node's values (RestoreFilters); D1-D3 are only stored; an
    // unchanged state and values outside D0-D3 do nothing.
    void PowerChangeState(POWER_STATE newState) override;
    NTSTATUS QueryPowerChangeState(POWER_STATE) override { return STATUS_SUCCESS; }
    NTSTATUS QueryDeviceCapabilities(PPC_DEVICE_CAPABILITIES capabilities) override;

    // ---- Lists (PASSIVE_LEVEL, start-up)
    // Appends with one reference. STATUS_INVALID_PARAMETER for null, STATUS_UNSUCCESSFUL before Init,
    // STATUS_INSUFFICIENT_RESOURCES when no list node or no room in FindFilter's index can be had (no
    // reference kept, nothing changed).
    NTSTATUS AddFilter(IAudioNode *node);
    NTSTATUS AddEngine(IStreamEngine *engine);
    // The last node of the list with that identifier; STATUS_UNSUCCESSFUL (and *node null) when none.
    // Constant time for the identifiers the nodes are numbered with (dense from 0), so the graph walks
    // that look up every node they meet stay linear in the graph.
    NTSTATUS FindFilter(ULONG id, IAudioNode **node);
    // ApplyAll of every node in list order, stopping at the first failure, whose status is returned.
    NTSTATUS RestoreFilters();

protected:
    // Links one selector source (1-based `position`) and the chain of children below it.
    void LinkSource(IAudioNode *selector, ULONG position, ULONG selected, ULONG sourceId, IAudioNode **chain,
                    ULONG capacity);
    NTSTATUS LinkSelectors();
    // Runs `operation` on every node in list order; with `stopAtFailure`, the first failure ends the
    // walk and is returned.
    NTSTATUS CallEachNode(NTSTATUS (IAudioNode::*operation)(), BOOLEAN stopAtFailure);
    void BindEngines();
    // Releases every item and frees both list records and the index.
    void FreeLists();
    // Makes FindFilter's index cover `id` when it is dense enough to index; FALSE when the pool has no
    // room for it (the index is as it was).
    BOOLEAN IndexCovering(ULONG id);

    PDEVICE_OBJECT m_DeviceObject;
    PVOID m_Value2;
    PVOID m_Value3;
    DEVICE_POWER_STATE m_PowerState;
    PCALLBACK_OBJECT m_CallbackObject;
    CItemList *m_Nodes;   // IAudioNode, with a reference each ("HALB")
    CItemList *m_Engines; // IStreamEngine, with a reference each ("HALB")
    // For each identifier below m_IndexSize, the last node of m_Nodes with it, or null ("HALB"). Built
    // again from the list whenever it grows, so it never disagrees with the list; an identifier at or
    // above m_IndexSize is looked up in the list.
    IAudioNode **m_ById;
    ULONG m_IndexSize;
    ULONG m_StreamInfo[HAL_INFO_WORDS]; // filled by the device classes
};
