// The audio-class entities of both class versions: one object per unit, terminal or clock-source
// descriptor of the AudioControl interface. Each parses its descriptor, creates its topology nodes in
// the device's node list and answers the nodes' control interfaces with class and vendor requests.
//
// Threading: PASSIVE_LEVEL (synchronous requests); the device's start path builds them before any
// stream runs, afterwards the framework serialises the property requests that reach them.
#pragma once

#include "driver/core/uac_requests.h"
#include "driver/filters/node_controls.h"
#include "driver/filters/node_terminal.h"

// What every entity is given: the device's node graph, where its requests go, where its nodes persist
// and the pool tag of its nodes and tables.
struct UnitContext
{
    CAudioHal *Hal;
    UacRequestTarget Requests;
    NodeSettings Settings;
    ULONG Tag;
    PUNKNOWN StreamSink; // the device's streaming side (IStreamConfigSink), or null
};

// {9BB07C14-88D7-4F25-9E5C-B6C9FDF226C9}
inline constexpr GUID IID_IUsbAudioUnit = {
    0x9BB07C14, 0x88D7, 0x4F25, {0x9E, 0x5C, 0xB6, 0xC9, 0xFD, 0xF2, 0x26, 0xC9}};

// What the configuration walk asks of a unit. Its descriptor ID and subtype are its IAudioNode
// identifier and kind once InitUnit succeeded; its sources (IAudioNode::GetSources) are the descriptor
// IDs it names.
struct IUsbAudioUnit : IUnknown
{
    // Parses the descriptor (bLength bytes, already checked against the length table) and creates
    // the nodes. STATUS_INVALID_PARAMETER for a descriptor this entity cannot take.
    virtual NTSTATUS InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context) = 0;
    virtual NTSTATUS GetFirstNodeId(PULONG nodeId) = 0;
    // The node IDs of the unit's sources, in descriptor order, become its first node's inputs.
    virtual NTSTATUS LinkSources(ULONG count, const ULONG *nodeIds) = 0;
    // Before the device lets go of its units: the nodes drop their references to the unit (they
    // hold one each, and the unit holds them), and the unit its node list.
    virtual void DetachNodes() = 0;
    // The unit's nodes in creation order (no reference added); STATUS_UNSUCCESSFUL past the last.
    virtual NTSTATUS GetUnitNode(ULONG index, IAudioNode **node) = 0;
};
typedef IUsbAudioUnit *PUSBAUDIOUNIT;

inline constexpr ULONG UAC_NO_SOURCE = 0xFFFFFFFFu;

// The part every entity shares: the unit base, the request target and the node creation.
class CUacEntity : public IUsbAudioUnit, public CUnitBase
{
public:
    CUacEntity(PUNKNOWN outerUnknown, ULONG position);

    NTSTATUS GetFirstNodeId(PULONG nodeId) override { return FirstNodeId(nodeId); }
    NTSTATUS LinkSources(ULONG count, const ULONG *nodeIds) override;
    void DetachNodes() override { CUnitBase::DetachNodes(); }
    NTSTATUS GetUnitNode(ULONG index, IAudioNode **node) override { return NodeAt(index, node); }

protected:
    // Copies the descriptor, takes the context and the identity (ID at `idAt`, subtype), and records
    // the descriptor's source IDs as the unit's sources.
    NTSTATUS BeginInit(const UCHAR *descriptor, ULONG length, const UnitContext &context, ULONG idAt,
                       ULONG sourceCount, const UCHAR *sourceIds);
    // Allocates a node of class T with the next free node number, runs `init` on it and joins it to
    // the device and this unit; the creation reference is dropped either way.
    template <class T, class Init, class... A> NTSTATUS CreateNode(Init init, A... args);
    UCHAR UnitId() const { return UCHAR(m_Id); }
    PUNKNOWN Self() { return static_cast<IUsbAudioUnit *>(this); }
    UacVersion Version() const { return m_Context.Requests.Version; }

    UnitContext m_Context;
};

template <class T, class Init, class... A> NTSTATUS CUacEntity::CreateNode(Init init, A... args)
{
    // The next free number is read for each node as it is made, so a node that failed to join
    // leaves no number for a later node to repeat.
    T *node = new (NonPagedPool, m_Context.Tag) T(nullptr, m_Context.Hal->GetFilterCount(), args...);
    if (!node)
        return STATUS_INSUFFICIENT_RESOURCES;
    node->AddRef();
    NTSTATUS status = init(node);
    if (NT_SUCCESS(status))
        status = JoinNode(m_Context.Hal, static_cast<IAudioNode *>(static_cast<CAudioNodeBase *>(node)));
    node->Release();
    return status;
}

// ---- Feature unit ---------------------------------------------------------------------------------------
inline constexpr ULONG UAC_FEATURE_MAX_CHANNELS = 32; // logical channels besides the master

class CUacFeatureUnit : public ILevelControl, public ISwitchControl, public CUacEntity
{
public:
    DECLARE_STD_UNKNOWN();
    CUacFeatureUnit(PUNKNOWN outerUnknown, ULONG position);

    NTSTATUS InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context) override;

    NTSTATUS GetLevelChannels(UCHAR control, PULONG count) override { return ChannelsWith(control, count); }
    NTSTATUS GetLevel(UCHAR control, ULONG channel, PLONG level) override;
    NTSTATUS SetLevel(UCHAR control, ULONG channel, LONG level) override;
    NTSTATUS GetLevelRange(UCHAR control, PLONG maximum, PLONG minimum, PLONG step) override;
    NTSTATUS GetSwitchChannels(UCHAR control, PULONG count) override { return ChannelsWith(control, count); }
    NTSTATUS GetSwitch(UCHAR control, ULONG channel, PUCHAR value) override;
    NTSTATUS SetSwitch(UCHAR control, ULONG channel, UCHAR value) override;

    // Whether wire channel `channel` (0 master) has `control`.
    BOOLEAN HasControl(UCHAR control, ULONG channel) const;
    // The logical channels that have the control; a master-only control counts 1.
    NTSTATUS ChannelsWith(UCHAR control, PULONG count) const;
    // The wire channel a value request for logical index `index` addresses (before the 5-8 remap).
    NTSTATUS AddressOf(UCHAR control, ULONG index, PULONG channel) const;

protected:
    NTSTATUS ReadVendorControls();
    virtual NTSTATUS CreateNodes();
    // The node of one control the unit has, in this class version's kind; a control without a node of
    // its own makes nothing and succeeds.
    NTSTATUS CreateControlNode(UCHAR control);
    NTSTATUS ReadValue(UCHAR control, ULONG channel, UCHAR request, PLONG wire);
    NTSTATUS WriteValue(UCHAR control, ULONG channel, LONG wire);
    // The current value of logical channel `index`, addressed as AddressOf says.
    NTSTATUS ReadCurrent(UCHAR control, ULONG index, PLONG wire);
    NTSTATUS WriteCurrent(UCHAR control, ULONG index, LONG wire);
    // The current value of logical channel `index` as a level, through `map` (wire value to level).
    template <class Map> NTSTATUS ReadLevel(UCHAR control, ULONG index, PLONG level, Map map)
    {
        LONG wire = 0;
        if (!level)
            return STATUS_INVALID_PARAMETER;
        const NTSTATUS status = ReadCurrent(control, index, &wire);
        if (NT_SUCCESS(status))
            *level = map(wire);
        return status;
    }

    ULONG m_Channels;                               // logical channels, master not counted
    ULONG m_Controls[UAC_FEATURE_MAX_CHANNELS + 1]; // bmaControls per wire channel
    ULONG m_Vendor[UAC_FEATURE_MAX_CHANNELS + 1];   // vendor extension bitmaps per wire channel
};

// ---- Selector, mixer and extension units ---------------------------------------------------------------
class CUacSelectorUnit : public ISelectorControl, public CUacEntity
{
public:
    DECLARE_STD_UNKNOWN();
    CUacSelectorUnit(PUNKNOWN outerUnknown, ULONG position);

    NTSTATUS InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context) override;
    NTSTATUS GetInputCount(PULONG count) override;
    NTSTATUS GetInput(PULONG input) override;
    NTSTATUS SetInput(ULONG input) override; // 1 to bNrInPins
    NTSTATUS InputChanged(ULONG) override { return STATUS_SUCCESS; }
};

// The mixer of both versions and the class 2.0 extension unit: a switchable terminal node, no mixer
// values (no request for them is defined).
class CUacMixerUnit : public IMixerControl, public CUacEntity
{
public:
    DECLARE_STD_UNKNOWN();
    CUacMixerUnit(PUNKNOWN outerUnknown, ULONG position);

    NTSTATUS InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context) override;
    NTSTATUS GetMixerValueCount(PULONG count) override;
    NTSTATUS GetMixerValue(ULONG, PLONG) override { return STATUS_INVALID_PARAMETER; }
    NTSTATUS SetMixerValue(ULONG, LONG) override { return STATUS_INVALID_PARAMETER; }
};

// ---- Clock source (class 2.0) ------------------------------------------------------------------------
inline constexpr ULONG UAC_CLOCK_MAX_SUBRANGES = 64;
static_assert(2 + 12 * UAC_CLOCK_MAX_SUBRANGES <= UAC_ANSWER_MAX);

class CUacClockSource : public IClockControl, public CUacEntity
{
public:
    DECLARE_STD_UNKNOWN();
    CUacClockSource(PUNKNOWN outerUnknown, ULONG position);

    NTSTATUS InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context) override;
    // The table rates the device's ranges offer, ascending and once each, at most CLOCK_MAX_RATES.
    NTSTATUS GetClockRates(PULONG count, PULONG rates) override;
    NTSTATUS GetClockRate(PULONG rate) override;
    NTSTATUS SetClockRate(ULONG rate) override;
};

// The rates of the standard table, ascending.
inline constexpr ULONG SampleRateTable[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000};

// ---- Terminals --------------------------------------------------------------------------------------
inline constexpr ULONG UAC_MAX_OUTPUT_TYPES = 32;

// The terminal type codes of the system (0 streaming, 1 speaker, 2 headphones, ...).
ULONG UacOutputTerminalCode(USHORT terminalType);
ULONG UacInputTerminalCode(USHORT terminalType);
// One jack record from the device's 8-byte entry (channel mapping, configuration word).
JackRecord UacJackRecord(ULONG channelMapping, ULONG configuration);

// Input and output terminals of both versions. An output terminal with several selectable output
// types has one pin node per type, each with its own jacks (jack index = type position).
class CUacTerminal : public ITerminalControl, public IClockSourceLink, public CUacEntity
{
public:
    DECLARE_STD_UNKNOWN();
    CUacTerminal(PUNKNOWN outerUnknown, ULONG position);
    ~CUacTerminal() override;

    NTSTATUS InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context) override;
    // With an output-type selector, what feeds the terminal feeds the selector and the selector feeds
    // the pins: a stream's walk from the pins meets it, so the stream is named and formatted by the
    // selected type, and the controls before it follow the type's channel count.
    NTSTATUS LinkSources(ULONG count, const ULONG *nodeIds) override;

    NTSTATUS GetChannelConfigs(PULONG count, PULONG configs) override;
    NTSTATUS GetTerminalJackCount(ULONG jackIndex, PULONG count) override;
    NTSTATUS GetTerminalJacks(ULONG jackIndex, ULONG bufferBytes, JackRecord *jacks) override;
    NTSTATUS GetOutputType(PULONG type) override;
    NTSTATUS SelectOutputType(ULONG type) override;
    NTSTATUS TakeFormat(const WAVEFORMATEXTENSIBLE *) override { return STATUS_SUCCESS; }
    NTSTATUS GetClockSourceId(PULONG clockSourceId) override;

    // The device reported an output-type change: a new code is stored and persisted, and the
    // terminal's pin nodes re-read.
    NTSTATUS RefreshOutputType();
    // Refreshes the terminal's first input-terminal node and gives its ID; STATUS_UNSUCCESSFUL when
    // the terminal has none.
    NTSTATUS RefreshInputNode(PULONG id);
    ULONG TypeCount() const { return m_TypeCount; }
    ULONG CurrentCode() const { return m_CurrentCode; }

protected:
    BOOLEAN IsOutput() const { return m_Kind == UAC_OUTPUT_TERMINAL; }
    BOOLEAN IsStreaming() const { return m_TerminalType == 0x0101; }
    // Checks and copies the descriptor and takes the terminal's identity, type, sources and channel
    // configuration; sends nothing and makes no node.
    NTSTATUS ParseTerminal(const UCHAR *descriptor, ULONG length, const UnitContext &context);
    // The code of an input terminal of wTerminalType `type`: its pin's type and the category whose
    // description the device gives.
    virtual ULONG InputCode(USHORT type) const { return UacInputTerminalCode(type); }
    NTSTATUS Request(BOOLEAN in, UCHAR uac1Request, UCHAR uac2Request, USHORT value, PVOID buffer,
                     ULONG length, PULONG returned = nullptr);
    // Reads the device's jack table into type slot `slot` (replacing what was there).
    NTSTATUS ReadJacks(ULONG slot);
    NTSTATUS ReadOutputTypes();
    NTSTATUS CreatePins();
    // How many of the output types get a pin (with a selector when more than one).
    virtual ULONG PinCount() const { return m_TypeCount; }
    NTSTATUS Setting(ULONG operation, PCSTR name, PVOID buffer, ULONG size);

    USHORT m_TerminalType;
    UCHAR m_ClockSourceId;
    BOOLEAN m_Presence; // the device reports jack presence for this terminal
    ULONG m_ChannelConfig;
    ULONG m_Code;        // the code stored for the terminal (and persisted)
    ULONG m_CurrentCode; // the code of the current output type
    ULONG m_TypeCount;
    ULONG m_CurrentType; // slot of the current output type
    USHORT m_Types[UAC_MAX_OUTPUT_TYPES];
    JackRecord *m_Jacks[UAC_MAX_OUTPUT_TYPES]; // paged, the class's tag
    ULONG m_JackCounts[UAC_MAX_OUTPUT_TYPES];
};
