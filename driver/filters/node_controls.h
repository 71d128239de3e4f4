// The topology node objects: one per control of a unit or terminal. Each keeps a per-channel cache of
// its control's value, sends changes to its unit through the unit's control interfaces, persists
// every value under the device's settings and, on a restore, re-applies the stored values and tells
// the device's callback object which node changed.
//
// The topology filter reaches them only through the value interfaces (ILevelValue::SetLevel,
// ISwitchValue::SetByte, INodeConnect::Select, IInfoNode::SetValue), so the set rules live behind
// those. Gets read the cache; restores and ApplyAll write the cache directly.
//
// Threading: PASSIVE_LEVEL throughout (the units send synchronous requests), except the software
// volume's processing, which runs on the engine's path at DISPATCH_LEVEL and only reads the gains.
// Callers serialise, as the framework serialises property requests per filter; the effect switch
// holds its own lock.
#pragma once

#include "driver/filters/audio_hal.h"
#include "driver/filters/node_selection.h"
#include "driver/filters/node_terminal.h"
#include "driver/filters/node_values.h"
#include "driver/filters/unit_interfaces.h"

// {B1B9D1D9-CC3E-47E9-8C11-20E5442F1CE2}
inline constexpr GUID IID_INodeValue = {
    0xB1B9D1D9, 0xCC3E, 0x47E9, {0x8C, 0x11, 0x20, 0xE5, 0x44, 0x2F, 0x1C, 0xE2}};

// {3AC8FAD3-B9D1-4B9B-B7FE-74A6F7928F25}
inline constexpr GUID IID_IUnitBound = {
    0x3AC8FAD3, 0xB9D1, 0x4B9B, {0xB7, 0xFE, 0x74, 0xA6, 0xF7, 0x92, 0x8F, 0x25}};

// A node holds its unit's control interface with a reference while the unit holds the node; the
// unit breaks that ring when the device lets go of it. A detached node sends nothing.
struct IUnitBound : IUnknown
{
    virtual void DetachUnit() = 0;
};

// Feature-unit control selectors the nodes are built for.
enum : UCHAR
{
    FU_MUTE = 1,
    FU_VOLUME = 2,
    FU_BASS = 3,
    FU_MID = 4,
    FU_TREBLE = 5,
    FU_AUTOMATIC_GAIN = 7,
    FU_LOUDNESS = 10,
    FU_INPUT_GAIN_PAD = 12,
};

// Silence, the lowest level there is.
inline constexpr LONG LEVEL_SILENCE = LONG(0x80000000u);
// CMasterLevelNode: every channel at once.
inline constexpr ULONG NODE_ALL_CHANNELS = 0xFFFFFFFFu;

// The node operations every value node adds to its value interface.
struct INodeValue : IUnknown
{
    virtual NTSTATUS GetNodeValue(ULONG channel, PLONG value) = 0;
    virtual NTSTATUS SetNodeValue(ULONG channel, LONG value) = 0;
    // Reads every channel's stored value, sends it through the node's set rule and, with a callback
    // object, notifies {1, 1, node ID, 0}.
    virtual NTSTATUS RestoreNodeValues(const NodeSettings *settings, PCALLBACK_OBJECT callback) = 0;
};
typedef INodeValue *PNODEVALUE;

// What every node keeps of the unit that made it: the unit's ID (for the value names), the settings
// and the callback object of the last restore.
struct NodeOwner
{
    UCHAR UnitId;
    NodeSettings Settings;
    PCALLBACK_OBJECT Callback;

    // "Unit%02d_%2d_%d" (per channel) into `name`; "Unit%02d_" when `control` is NODE_NO_CONTROL.
    NTSTATUS Name(PWSTR name, size_t bytes, ULONG control, ULONG channel) const;
    // Read leaves `buffer` alone when the value is absent; write loses only the persistence.
    NTSTATUS Read(ULONG control, ULONG channel, PVOID buffer, ULONG size) const;
    void Write(ULONG control, ULONG channel, PVOID buffer, ULONG size) const;
    // The unit's numbered values, "Unit%02d_%d" (effect parameters and bands).
    NTSTATUS ReadIndexed(ULONG index, PVOID buffer, ULONG size) const;
    void WriteIndexed(ULONG index, PVOID buffer, ULONG size) const;
    void Notify(ULONG nodeId) const;
};
inline constexpr ULONG NODE_NO_CONTROL = 0xFFFFFFFFu;
inline constexpr size_t NODE_NAME_BYTES = 64;

// ---- Unit base --------------------------------------------------------------------------------------
// Every unit: a node-base identity (its list position until SetIdentity gives it the descriptor's ID
// and subtype), a private copy of its descriptor and the list of nodes it created.
class CUnitBase : public CAudioNodeBase
{
public:
    CUnitBase(PUNKNOWN outerUnknown, ULONG position);
    ~CUnitBase() override;

    // Copies the descriptor ("AUAT") and creates the node list; all or nothing.
    NTSTATUS AttachDescriptor(const void *descriptor, ULONG length);
    // A reference to `node` in the unit's list; STATUS_UNSUCCESSFUL when it cannot be appended.
    NTSTATUS AddNode(IAudioNode *node);
    // The inputs of the unit's nodes, each fed by the one before it (kinds that take no input skipped).
    NTSTATUS LinkNodes();
    // Sets a node's input by its kind: selectors and mixers the whole table (when the count matches),
    // clocks and the like none, other kinds the first ID.
    static NTSTATUS SetNodeInputs(IAudioNode *node, ULONG count, const ULONG *ids);
    ULONG NodeCount() const { return CItemList::CountOf(m_UnitNodes); }
    NTSTATUS NodeAt(ULONG index, IAudioNode **node) const;
    NTSTATUS FirstNodeId(PULONG id) const;
    NTSTATUS SoleNodeId(PULONG id) const;
    // The ID of the first node in the list that is an output terminal node (kind 1);
    // STATUS_UNSUCCESSFUL when there is none.
    NTSTATUS GetFirstKindOneNodeId(PULONG id) const;
    // Detaches every node of the list from this unit and releases the list.
    void DetachNodes();

    // The device's next free node number, adds `node` there and to this unit; the caller keeps and
    // then drops its creation reference. The number is read when the node is made (never counted on
    // by the creator), so a node that failed to join does not leave a gap another one repeats.
    NTSTATUS JoinNode(CAudioHal *hal, IAudioNode *node);

    const UCHAR *Descriptor() const { return m_Descriptor; }
    ULONG DescriptorLength() const { return m_DescriptorLength; }

protected:
    PUCHAR m_Descriptor; // paged, "AUAT"
    ULONG m_DescriptorLength;
    CItemList *m_UnitNodes; // IAudioNode, one reference each
};

// ---- Switches -----------------------------------------------------------------------------------------
// Kinds 2 (mute), 6 (automatic gain), 7 (loudness) and 18 (checked). A plain switch caches and persists
// even when the send fails, since its byte also drives the software mute; the checked switch only
// after a good send. Both report the send's status.
class CSwitchNode : public IUnitBound, public INodeValue, public CByteControlNode
{
public:
    void DetachUnit() override;
    DECLARE_STD_UNKNOWN();
    CSwitchNode(PUNKNOWN outerUnknown, ULONG id, ULONG kind, BOOLEAN checked = FALSE);
    ~CSwitchNode() override;

    // Channel count and current values from the unit, stored values over them; nothing is sent.
    NTSTATUS InitSwitch(PUNKNOWN unit, UCHAR unitId, UCHAR control, const NodeSettings &settings,
                        ULONG sourceId);

    NTSTATUS SetByte(ULONG index, UCHAR value) override;
    NTSTATUS ApplyAll() override;
    NTSTATUS Refresh() override;
    NTSTATUS GetNodeValue(ULONG channel, PLONG value) override;
    NTSTATUS SetNodeValue(ULONG channel, LONG value) override { return SetByte(channel, UCHAR(value)); }
    NTSTATUS RestoreNodeValues(const NodeSettings *settings, PCALLBACK_OBJECT callback) override;
    UCHAR Control() const { return m_Control; }

protected:
    ISwitchControl *m_Unit;
    UCHAR m_Control;
    const BOOLEAN m_Checked;
    NodeOwner m_Owner;
};

// Kind 22 and its chip variants: the byte is only cached and persisted; the chip unit that owns the
// node applies it on its own.
class CCachedSwitchNode : public CSwitchNode
{
public:
    CCachedSwitchNode(PUNKNOWN outerUnknown, ULONG id, ULONG kind = NODE_KIND_BYTE_22)
        : CSwitchNode(outerUnknown, id, kind)
    {
    }
    NTSTATUS SetByte(ULONG index, UCHAR value) override;
    NTSTATUS ApplyAll() override { return STATUS_SUCCESS; }
};

// ---- Levels ---------------------------------------------------------------------------------------
// The set rule of every level node: clamp into [minimum, maximum] (silence takes the minimum, or, on
// the refreshing variants, passes as it is), quantise toward zero on the step, send; only after a good
// send is the clamped value cached and persisted. The send's status is returned.
class CLevelNode : public IUnitBound, public INodeValue, public CLevelControlNode
{
public:
    void DetachUnit() override;
    DECLARE_STD_UNKNOWN();
    enum class Variant
    {
        Plain,      // bass, mid, treble
        Refreshing, // volume: silence passes through
        Master,     // class 2.0 volume: NODE_ALL_CHANNELS sets every channel
    };
    CLevelNode(PUNKNOWN outerUnknown, ULONG id, ULONG kind, Variant variant);
    ~CLevelNode() override;

    NTSTATUS InitLevel(PUNKNOWN unit, UCHAR unitId, UCHAR control, const NodeSettings &settings,
                       ULONG sourceId);

    NTSTATUS GetLevel(ULONG index, PLONG level) override;
    NTSTATUS SetLevel(ULONG index, LONG level) override;
    NTSTATUS ApplyAll() override;
    NTSTATUS Refresh() override;
    NTSTATUS GetNodeValue(ULONG channel, PLONG value) override { return GetLevel(channel, value); }
    NTSTATUS SetNodeValue(ULONG channel, LONG value) override { return SetLevel(channel, value); }
    NTSTATUS RestoreNodeValues(const NodeSettings *settings, PCALLBACK_OBJECT callback) override;

    // The value a set caches, and the one it sends.
    LONG Clamped(LONG level) const;
    LONG Quantised(LONG clamped) const;

protected:
    NTSTATUS SetOne(ULONG channel, LONG level);
    // After the base's Init: hook for the software volume's gains.
    virtual NTSTATUS LevelsChanged(ULONG /*channel*/) { return STATUS_SUCCESS; }
    LONG Maximum() const { return m_Range[0]; }
    LONG Minimum() const { return m_Range[1]; }
    LONG Step() const { return m_Range[2] > 0 ? m_Range[2] : 1; } // a zero step would divide by zero

    ILevelControl *m_Unit;
    UCHAR m_Control;
    const Variant m_Variant;
    NodeOwner m_Owner;
};

// Class 1.0 volume (kind 3).
class CLevelNodeRefreshing : public CLevelNode
{
public:
    CLevelNodeRefreshing(PUNKNOWN outerUnknown, ULONG id)
        : CLevelNode(outerUnknown, id, NODE_KIND_LEVEL, Variant::Refreshing)
    {
    }
};

// Class 2.0 volume (kind 8).
class CMasterLevelNode : public CLevelNode
{
public:
    CMasterLevelNode(PUNKNOWN outerUnknown, ULONG id)
        : CLevelNode(outerUnknown, id, NODE_KIND_LEVEL_8, Variant::Master)
    {
    }
};

// A refreshing volume that also scales the stream in software by its per-channel gains. It processes
// only while its gate's two values are equal; the gate starts closed, because the device applies the
// same level already and the stream must not be attenuated twice.
class CSoftVolumeNode : public IProcessingNode, public IProcessingGate, public CLevelNode
{
public:
    DECLARE_STD_UNKNOWN();
    CSoftVolumeNode(PUNKNOWN outerUnknown, ULONG id);
    ~CSoftVolumeNode() override;

    // The level initialisation, then the gains (non-paged, "VTag") under a saved floating-point state;
    // a failed save logs "Save FPU error\n" and fails the initialisation.
    NTSTATUS InitSoftVolume(PUNKNOWN unit, UCHAR unitId, UCHAR control, const NodeSettings &settings,
                            ULONG sourceId);
    NTSTATUS RestoreNodeValues(const NodeSettings *settings, PCALLBACK_OBJECT callback) override;

    NTSTATUS ProcessSlot1(PVOID, PVOID, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS ProcessSlot2(PVOID, PVOID, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetEffectFormat(const WAVEFORMATEXTENSIBLE *) override { return STATUS_SUCCESS; }
    NTSTATUS ResetEffect() override { return STATUS_SUCCESS; }
    // PCM only: channel i (below nChannels and the gain table) times gain i. DISPATCH_LEVEL.
    NTSTATUS ProcessBuffers(const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames) override;
    NTSTATUS StreamStopped(const WAVEFORMATEXTENSIBLE *, float **, ULONG) override { return STATUS_SUCCESS; }

    NTSTATUS QueryGate() override { return STATUS_SUCCESS; }
    NTSTATUS SetSecondValue(ULONG value) override;
    NTSTATUS SetFirstValue(ULONG value) override;

    // Gain of a level: 10 ^ (level / 65536 / 20), computed for `count` levels into `gains` with the
    // primitives. The caller has saved the floating-point state.
    static NTSTATUS ComputeGains(const LONG *levels, float *gains, ULONG count);

protected:
    NTSTATUS LevelsChanged(ULONG channel) override;
    // Recomputes gains [first, first + count) from the cache under a saved state.
    NTSTATUS RecomputeGains(ULONG first, ULONG count);

    float *m_Gains; // count + 1 entries
    volatile LONG m_Gate[2];
};

// The software volume whose refresh also sends each channel's value back to the device after reading
// it, for units that must be told their own levels again. The refresh's status is kept.
class CSoftVolumeApplyAllNode : public CSoftVolumeNode
{
public:
    CSoftVolumeApplyAllNode(PUNKNOWN outerUnknown, ULONG id) : CSoftVolumeNode(outerUnknown, id) {}
    NTSTATUS Refresh() override;
};

// ---- Selector ---------------------------------------------------------------------------------------
// Kind 4: the selected input (1-based), persisted as "Unit%02d_".
class CSelectorUnitNode : public IUnitBound, public INodeValue, public CSelectorNode
{
public:
    void DetachUnit() override;
    DECLARE_STD_UNKNOWN();
    CSelectorUnitNode(PUNKNOWN outerUnknown, ULONG id);
    ~CSelectorUnitNode() override;

    // Sources are the selector's inputs. The device's input, the stored one over it, clamped to the
    // count (0 becomes 1).
    NTSTATUS InitSelector(PUNKNOWN unit, UCHAR unitId, const NodeSettings &settings, ULONG sourceCount,
                          const ULONG *sources);
    // 1 to the count: sends it, and on success records and persists it.
    NTSTATUS Select(ULONG index) override;
    NTSTATUS ApplyAll() override;
    NTSTATUS Refresh() override;
    NTSTATUS GetNodeValue(ULONG channel, PLONG value) override;
    NTSTATUS SetNodeValue(ULONG, LONG value) override { return Select(ULONG(value)); }
    NTSTATUS RestoreNodeValues(const NodeSettings *settings, PCALLBACK_OBJECT callback) override;

protected:
    // A stored or reported input taken into 1..count.
    ULONG ClampInput(ULONG input) const;

    ISelectorControl *m_Unit;
    NodeOwner m_Owner;
};

// ---- Terminals -----------------------------------------------------------------------------------------
// Kind 0 (input) and kind 1 (output, one per output type, with that type's jack index): the terminal's
// type codes and jack records, and the eight words the device gave for the terminal's category.
class CUnitTerminalNode : public IUnitBound, public CJackTerminalNode
{
public:
    DECLARE_STD_UNKNOWN();
    CUnitTerminalNode(PUNKNOWN outerUnknown, ULONG id, ULONG kind, ULONG jackIndex)
        : CJackTerminalNode(outerUnknown, id, kind), m_Terminal(nullptr), m_JackIndex(jackIndex)
    {
    }
    ~CUnitTerminalNode() override;
    void DetachUnit() override;
    // An output terminal has one source (its unit links it later), an input terminal none. `unit`
    // answers ITerminalControl for the refresh; without one the node only keeps what it was given.
    NTSTATUS InitFromUnit(PUNKNOWN unit, BOOLEAN hasSource, ULONG typeCount, const ULONG *types,
                          ULONG jackCount, const JackRecord *jacks, const ULONG (&words)[HAL_INFO_WORDS]);
    // Re-reads the unit's jack count and records for this node's jack index. A new count gets a new
    // record table ("Term"; none for zero); when that cannot be allocated the count becomes 0 and the
    // result is STATUS_INSUFFICIENT_RESOURCES.
    NTSTATUS Refresh() override;
    ULONG JackIndex() const { return m_JackIndex; }

protected:
    ITerminalControl *m_Terminal;
    const ULONG m_JackIndex;
};
inline constexpr ULONG UAC_NO_NODE = 0xFFFFFFFFu;

// Kind 13 on a terminal with several output types: the current type. A change selects the type on
// the terminal, hands the terminal's channel configuration to the device's streaming side and the
// format it reports back to the terminal, and persists the type as "Unit%02d_"; when a step after the
// selection fails, the old type is selected again.
class CJackTypeSelectorNode : public IUnitBound, public CStateNode
{
public:
    DECLARE_STD_UNKNOWN();
    CJackTypeSelectorNode(PUNKNOWN outerUnknown, ULONG id);
    ~CJackTypeSelectorNode() override;
    void DetachUnit() override;

    // `types` are the terminal's type codes (1 to STATE_MAX_VALUES); `sink` may be null while the
    // device has no streaming side, and then no format is exchanged.
    NTSTATUS InitJackType(PUNKNOWN unit, PUNKNOWN sink, UCHAR unitId, const NodeSettings &settings,
                          ULONG count, const ULONG *types, ULONG current);
    NTSTATUS Select(ULONG value) override;

protected:
    ITerminalControl *m_Terminal;
    IStreamConfigSink *m_Sink;
    NodeOwner m_Owner;
};

// ---- Clock ------------------------------------------------------------------------------------------
// Kind 12: the clock unit's rates; a selection goes to the device and is cached only when taken.
class CClockRateNode : public IUnitBound, public CClockNode
{
public:
    void DetachUnit() override;
    CClockRateNode(PUNKNOWN outerUnknown, ULONG id);
    ~CClockRateNode() override;
    DECLARE_STD_UNKNOWN();

    NTSTATUS InitClock(PUNKNOWN unit);
    NTSTATUS SelectRate(ULONG rate) override;

protected:
    IClockControl *m_Unit;
};

// ---- Information nodes --------------------------------------------------------------------------
// The vendor controls of the effect switches and the node types the topology reports for them, so
// user-mode software finds the nodes.
inline constexpr UCHAR EFFECT_CONTROL_139 = 139;
inline constexpr UCHAR EFFECT_CONTROL_140 = 140;
// {AC02E636-CB62-42EF-A97C-5F4C1CDFEC13}
inline constexpr GUID EFFECT_NODE_139_TYPE = {
    0xAC02E636, 0xCB62, 0x42EF, {0xA9, 0x7C, 0x5F, 0x4C, 0x1C, 0xDF, 0xEC, 0x13}};
// {C7600B33-1AA6-4383-918D-30D848BBAD3E}
inline constexpr GUID EFFECT_NODE_140_TYPE = {
    0xC7600B33, 0x1AA6, 0x4383, {0x91, 0x8D, 0x30, 0xD8, 0x48, 0xBB, 0xAD, 0x3E}};

// Kind 23: an effect's on/off byte, persisted as "Unit%02d_%2d_0" so the switches of one unit keep
// their own values. Each change raises both change flags (0 to 1) for the effect processing, which
// clears them. The node's lock covers a set and a read.
class CEffectSwitchNode : public IUnitBound, public CInfoNode
{
public:
    void DetachUnit() override;
    CEffectSwitchNode(PUNKNOWN outerUnknown, ULONG id, const GUID &effectType);
    ~CEffectSwitchNode() override;
    DECLARE_STD_UNKNOWN();

    NTSTATUS InitEffectSwitch(PUNKNOWN unit, UCHAR unitId, UCHAR control, const NodeSettings &settings,
                              ULONG sourceId);
    // Sends the byte; raises both flags whatever the send said; caches and persists on success; returns
    // the send's status.
    NTSTATUS SetValue(ULONG value) override;
    NTSTATUS GetByte(PUCHAR value) override;
    NTSTATUS Refresh() override;
    NTSTATUS ApplyAll() override;

    // The effect processing's side: TRUE once per change (first flag), or of the second flag.
    BOOLEAN TakeSwitchChange();
    BOOLEAN TakeSecondChange();
    const GUID &EffectType() const { return m_EffectType; }

protected:
    void RaiseFlags();

    PUNKNOWN m_UnitUnknown;
    UCHAR m_Control;
    NodeOwner m_Owner;
    GUID m_EffectType;
    volatile LONG m_Flags[2];
};

// Kind 20: a processing unit's parameter block, passed through to the unit within bounds.
class CProcessingNode : public IUnitBound, public CInfoNode
{
public:
    void DetachUnit() override;
    CProcessingNode(PUNKNOWN outerUnknown, ULONG id);
    ~CProcessingNode() override;
    DECLARE_STD_UNKNOWN();

    NTSTATUS InitParameters(PUNKNOWN unit, ULONG sourceId);
    NTSTATUS GetParameters(ULONG start, ULONG count, PLONG values);
    NTSTATUS SetParameters(ULONG start, ULONG count, const LONG *values);
    NTSTATUS SetParameter(ULONG index, LONG first, LONG second);

protected:
    // start ≤ N and count ≤ N − start: no sum that could wrap.
    BOOLEAN InBounds(ULONG start, ULONG count) const
    {
        return start <= m_ParameterCount && count <= m_ParameterCount - start;
    }

    IParameterControl *m_Unit;
    ULONG m_ParameterCount;
};
