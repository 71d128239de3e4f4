// The headset chip family's own feature units. They speak the plain class 1.0
// requests of the feature unit but map levels between the system and the chip
// differently, drive the chip's mute LED and combine the user's mute with the
// headset's mute switch.
//
// Threading: PASSIVE_LEVEL, like the plain units. The hardware-mute flag is
// written by the device's status thread and read by the property path, one byte
// at a time.
#pragma once

#include "driver/core/usb_audio_function.h"

inline constexpr ULONG MIRK_LED_REGISTER = 1;
inline constexpr ULONG MIRK_LED_MASK = 0x30;
inline constexpr ULONG MIRK_LED_ON = 0x30;
inline constexpr ULONG MIRK_LED_OFF = 0x10;

// ---- Level maps (values in 1/256 dB on the chip side, system levels on the
// other) ----------------------
inline constexpr ULONG MIRK_CURVE_ROWS = 40;
struct MirkCurveRow
{
    SHORT User;
    SHORT Device;
};
extern const MirkCurveRow MirkVolumeCurve[MIRK_CURVE_ROWS];

// The chip value for a system volume level; below the table's last user row the
// chip gets its lowest step rather than the level unchanged.
LONG MirkCurveToDevice(LONG level);
// The system level for a chip value (0x8000 is silence).
LONG MirkCurveFromDevice(LONG device);
// The system's maximum and minimum for the chip's GET_MAX and GET_MIN.
void MirkCurveRange(LONG deviceMaximum, LONG deviceMinimum, PLONG maximum, PLONG minimum);

// Linear maps in system units: negative levels by negMul/negDiv, positive ones
// by 3 (reads) and their inverses (writes). Worked in 64 bits and held to the
// 32-bit level range; silence passes unscaled.
struct MirkScale
{
    LONG NegativeMul;
    LONG NegativeDiv;
    ULONG MaximumMask; // what of the chip's maximum (1/256 dB) the range keeps
};
inline constexpr MirkScale MirkScaleA = {3, 2, ~0xFu};
inline constexpr MirkScale MirkScaleB = {3, 8, ~0xFFu};
LONG MirkScaledRead(const MirkScale &scale, LONG level);
LONG MirkScaledWrite(const MirkScale &scale, LONG level);

// The range of a one-byte control (bass, mid, treble) from the plain range answer: the chip's
// bytes x 16384, and one device step when the chip reports a resolution of zero or below.
NTSTATUS ChipByteRange(LONG high, LONG low, LONG res, PLONG maximum, PLONG minimum, PLONG step);
// A chip unit's range question, asked through the plain feature unit: its answer in system units,
// and *answered TRUE when that is already final, a one-byte control answered as ChipByteRange (only
// with `byteRanges`). Null out pointers: STATUS_INVALID_PARAMETER.
NTSTATUS ChipPlainRange(CUacFeatureUnit &unit, UCHAR control, BOOLEAN byteRanges, PLONG maximum,
                        PLONG minimum, PLONG step, BOOLEAN *answered);

// ---- Units
// ------------------------------------------------------------------------------------------------
// The mute switch nodes that also silence the stream themselves (the engine attaches them as
// processing nodes): while muted, PCM channel buffers are zeroed, other blocks cleared whole. Each
// acts only while its gate value is 3: the node's mode (the curve unit's switch), the second value
// of its gate interface (the plain-mute unit's), or always (the nodes unit's, like the stream's own
// software mute).
class CGatedSwitchNode : public IProcessingNode, public IProcessingGate, public CSwitchNode
{
public:
    enum Gate : ULONG
    {
        GATE_MODE,
        GATE_SECOND_VALUE,
        GATE_NONE,
    };
    DECLARE_STD_UNKNOWN();
    CGatedSwitchNode(PUNKNOWN outerUnknown, ULONG id, Gate gate);

    NTSTATUS QueryGate() override { return STATUS_SUCCESS; }
    NTSTATUS SetSecondValue(ULONG value) override;
    NTSTATUS SetFirstValue(ULONG value) override;

    NTSTATUS ProcessSlot1(PVOID, PVOID, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS ProcessSlot2(PVOID, PVOID, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetEffectFormat(const WAVEFORMATEXTENSIBLE *) override { return STATUS_SUCCESS; }
    NTSTATUS ResetEffect() override { return STATUS_SUCCESS; }
    NTSTATUS ProcessBuffers(const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames) override;
    NTSTATUS StreamStopped(const WAVEFORMATEXTENSIBLE *, float **, ULONG) override { return STATUS_SUCCESS; }

private:
    const Gate m_Gate;
    volatile LONG m_GateValues[2];
};

// Units that exist to be muted: without a mute control they make no nodes at all.
template <class Base> class TMutedUnit : public Base
{
public:
    using Base::Base;

protected:
    NTSTATUS CreateMuteNode(CGatedSwitchNode::Gate gate)
    {
        ULONG channels = 0;
        if (!NT_SUCCESS(this->ChannelsWith(FU_MUTE, &channels)))
            return STATUS_INSUFFICIENT_RESOURCES;
        PUNKNOWN self = this->Self();
        const UCHAR unitId = this->UnitId();
        const NodeSettings &settings = this->m_Context.Settings;
        return this->template CreateNode<CGatedSwitchNode>(
            [&](CGatedSwitchNode *node)
            { return node->InitSwitch(self, unitId, FU_MUTE, settings, UAC_NO_SOURCE); },
            gate);
    }
};

// Unit 13: the volume curve, the mute LED, a switch node and a software-volume
// node.
class CUnitVolumeCurve : public TMutedUnit<CUacFeatureUnit>
{
public:
    CUnitVolumeCurve(PUNKNOWN outerUnknown, ULONG position);

    NTSTATUS InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context) override;
    NTSTATUS GetLevel(UCHAR control, ULONG channel, PLONG level) override;
    NTSTATUS SetLevel(UCHAR control, ULONG channel, LONG level) override;
    NTSTATUS GetLevelRange(UCHAR control, PLONG maximum, PLONG minimum, PLONG step) override;
    // The mute write; after a successful one the LED follows it.
    NTSTATUS SetSwitch(UCHAR control, ULONG channel, UCHAR value) override;

protected:
    NTSTATUS CreateNodes() override;

    UCHAR m_NeedMuteLed;
    UCHAR m_ReverseMuteLed;
};

// Unit 16: plain levels; its one node is a mute switch gated by its second gate value.
class CUnitPlainMute : public TMutedUnit<CUacFeatureUnit>
{
public:
    CUnitPlainMute(PUNKNOWN outerUnknown, ULONG position) : TMutedUnit(outerUnknown, position) {}

protected:
    NTSTATUS CreateNodes() override;
};

// Units 9 and 11 (scale A) and 2, 8 and 15 (scale B).
class CUnitScaled : public CUacFeatureUnit
{
public:
    CUnitScaled(PUNKNOWN outerUnknown, ULONG position, const MirkScale &scale);

    NTSTATUS GetLevel(UCHAR control, ULONG channel, PLONG level) override;
    NTSTATUS SetLevel(UCHAR control, ULONG channel, LONG level) override;
    NTSTATUS GetLevelRange(UCHAR control, PLONG maximum, PLONG minimum, PLONG step) override;

protected:
    const MirkScale &m_Scale;
};

class CUnitScaledA : public CUnitScaled
{
public:
    CUnitScaledA(PUNKNOWN outerUnknown, ULONG position) : CUnitScaled(outerUnknown, position, MirkScaleA) {}
};

class CUnitScaledB : public CUnitScaled
{
public:
    CUnitScaledB(PUNKNOWN outerUnknown, ULONG position) : CUnitScaled(outerUnknown, position, MirkScaleB) {}
};

// Unit 11 of the headset with a mute switch: the chip gets the user's mute or
// the switch's.
class CUnitScaledAHwMute : public IHardwareMute, public CUnitScaledA
{
public:
    DECLARE_STD_UNKNOWN();
    CUnitScaledAHwMute(PUNKNOWN outerUnknown, ULONG position);

    // Master channel only; the value read becomes the cached user mute.
    NTSTATUS GetSwitch(UCHAR control, ULONG channel, PUCHAR value) override;
    NTSTATUS SetSwitch(UCHAR control, ULONG channel, UCHAR value) override;
    NTSTATUS SetHardwareMute(ULONG flag) override;

private:
    volatile UCHAR m_HardwareMute;
    UCHAR m_UserMute;
};

// The LED switch of units 2, 8 and 15 on one headset: register 1 follows the
// byte (channel 0 only); only a good write is cached and persisted.
class CLedSwitchNode : public CCachedSwitchNode
{
public:
    CLedSwitchNode(PUNKNOWN outerUnknown, ULONG id) : CCachedSwitchNode(outerUnknown, id), m_Device(nullptr)
    {
    }

    // `device` answers IChipRegisters; it owns the node, so the node holds no
    // reference to it.
    NTSTATUS InitLed(PUNKNOWN unit, UCHAR unitId, const NodeSettings &settings, PUNKNOWN device);
    NTSTATUS SetByte(ULONG index, UCHAR value) override;

private:
    PUNKNOWN m_Device;
};

// Scale B on one headset: an ungated mute switch, then a level node for the volume.
class CUnitScaledBNodes : public TMutedUnit<CUnitScaledB>
{
public:
    CUnitScaledBNodes(PUNKNOWN outerUnknown, ULONG position) : TMutedUnit(outerUnknown, position) {}

protected:
    NTSTATUS CreateNodes() override;
};

// Scale B with the LED switch node after the plain nodes.
class CUnitScaledBLed : public CUnitScaledB
{
public:
    CUnitScaledBLed(PUNKNOWN outerUnknown, ULONG position) : CUnitScaledB(outerUnknown, position) {}

    // Control 0 is the LED: one channel, which the chip cannot report.
    NTSTATUS GetSwitchChannels(UCHAR control, PULONG count) override;
    NTSTATUS GetSwitch(UCHAR control, ULONG channel, PUCHAR value) override;

protected:
    NTSTATUS CreateNodes() override;
};

// The selector: the chip numbers its inputs by what feeds them, not by
// position.
class CSelectorInputMap : public CUacSelectorUnit
{
public:
    CSelectorInputMap(PUNKNOWN outerUnknown, ULONG position);

    NTSTATUS InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context) override;
    // The 1-based input whose map entry the chip reports; when none does, input
    // 1, whose entry is written back to the chip.
    NTSTATUS GetInput(PULONG input) override;
    NTSTATUS SetInput(ULONG input) override; // 1 to bNrInPins

private:
    NTSTATUS Send(UCHAR value);

    UCHAR m_Map[NODE_MAX_SOURCES];
};

// ---- Terminals ------------------------------------------------------------------------------------------
// The jack types of the chip's output terminals, which are also the codes of their pins.
inline constexpr ULONG JACK_TYPE_ANALOGUE = 1;
inline constexpr ULONG JACK_TYPE_HEADPHONES = 2;
inline constexpr ULONG JACK_TYPE_OPTICAL = 3;
inline constexpr ULONG JACK_MAX_TYPES = 3;
inline constexpr ULONG JACK_MAX_RECORDS = 4; // the analogue outputs of an eight-channel device
// The chip's green stereo jack: front pair, 3.5 mm, at the rear of the main box.
inline constexpr JackRecord CHIP_STEREO_JACK = {0x3, 0x00FF00, 1, 1, 0, 0, 0, 0, 0};

// The output-flag slots of UsbAudioFunctionInputs::MirkOutputFlags.
enum : ULONG
{
    CHIP_FLAG_HEADPHONES,
    CHIP_FLAG_OPTICAL,
    CHIP_FLAG_EIGHT_CHANNELS,
};

// An output terminal whose jack types the device's flags choose and whose jack records are the chip's
// fixed ones (the device is not asked). One output pin per type, jack index = the type's position,
// and a jack-type selector when there are several. Jack records go only into a buffer that holds all
// of them (else STATUS_INVALID_PARAMETER, nothing written); a type without records writes nothing.
// Is-connected is set for the current type's records, or for every record while "SetJackConnect" is
// non-zero.
class CJackTerminal : public CUacTerminal
{
public:
    CJackTerminal(PUNKNOWN outerUnknown, ULONG position, ULONG nodeTag);

    // An output terminal only; then the types, the nodes, and what the class adds.
    NTSTATUS InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context) override;
    NTSTATUS GetTerminalJackCount(ULONG index, PULONG count) override;
    NTSTATUS GetTerminalJacks(ULONG index, ULONG bufferBytes, JackRecord *jacks) override;
    NTSTATUS SelectOutputType(ULONG type) override { return SetJackType(type); }

    // A type of the list (else STATUS_UNSUCCESSFUL) becomes the current one and is persisted as
    // "UACUnit%02d".
    virtual NTSTATUS SetJackType(ULONG type);
    NTSTATUS GetJackTypeCount(PULONG count) const;
    NTSTATUS GetJackTypes(PULONG types) const; // room for GetJackTypeCount's count

protected:
    BOOLEAN HasJackType(ULONG type) const;
    void AddJackType(ULONG type);
    // The records of the type at `index` with their connection: none past the list.
    ULONG JacksAt(ULONG index, JackRecord (&records)[JACK_MAX_RECORDS]);
    // Before the nodes: the type list from the device's flags and the current type.
    virtual NTSTATUS PrepareTypes(const UnitContext &context) = 0;
    // The records of jack type `type` (is-connected left 0); their count, at most JACK_MAX_RECORDS.
    virtual ULONG JackRecords(ULONG type, JackRecord *records) const = 0;
    // The eight words that describe the pin of jack type `type`.
    virtual void PinWords(ULONG type, ULONG (&words)[HAL_INFO_WORDS]);
    // After the pins and the selector.
    virtual NTSTATUS CreateMoreNodes() { return STATUS_SUCCESS; }
    void PersistJackType();

    ULONG m_NodeTag;
    ULONG m_JackTypes[JACK_MAX_TYPES];
    ULONG m_JackTypeCount;
};

// Output terminal 3 of the chip family: types 1, 2 (headphone flag) and 3 (optical flag); the chip's
// routing registers follow the type. The stored type is taken back at start.
class CJackOutputTerminal : public CJackTerminal
{
public:
    // `flags`: UsbAudioFunctionInputs::MirkOutputFlags.
    CJackOutputTerminal(PUNKNOWN outerUnknown, ULONG position, const ULONG (&flags)[3]);

    // The registers first; only when all were written is the type stored and persisted. After a
    // failed write the previous type's registers are written again and the failure returned.
    NTSTATUS SetJackType(ULONG type) override;

protected:
    NTSTATUS PrepareTypes(const UnitContext &context) override;
    ULONG JackRecords(ULONG type, JackRecord *records) const override;
    NTSTATUS WriteTypeRegisters(ULONG type);

    BOOLEAN m_Headphones, m_Optical, m_EightChannels;
};

// The chip families' input terminals: the plain terminal, whose pin code (and the category the device
// describes) follows the chip's own map. `nodeTag` 0 keeps the device class's tag for its node.
class CInputTerminalVariant : public CUacTerminal
{
public:
    CInputTerminalVariant(PUNKNOWN outerUnknown, ULONG position, ULONG nodeTag = 0)
        : CUacTerminal(outerUnknown, position), m_NodeTag(nodeTag)
    {
    }

    NTSTATUS InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context) override;

protected:
    ULONG InputCode(USHORT type) const override;

    ULONG m_NodeTag;
};

// The Dova and Tesh families' output terminals: the plain terminal with one pin, for jack index 0,
// and no type selector, its node under the family's tag.
class COutputTerminalVariant : public CUacTerminal
{
public:
    COutputTerminalVariant(PUNKNOWN outerUnknown, ULONG position, ULONG nodeTag)
        : CUacTerminal(outerUnknown, position), m_NodeTag(nodeTag)
    {
    }

    NTSTATUS InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context) override;

protected:
    ULONG PinCount() const override { return m_TypeCount ? 1 : 0; }

    ULONG m_NodeTag;
};

// A creator's unit of class T with its one reference, allocated with the device class's tag.
template <class T, class... A>
NTSTATUS MakeChipUnit(ULONG position, ULONG tag, IUsbAudioUnit **unit, const A &...args)
{
    T *made = new (NonPagedPool, tag) T(nullptr, position, args...);
    if (!made)
        return STATUS_INSUFFICIENT_RESOURCES;
    made->AddRef();
    *unit = made;
    return STATUS_SUCCESS;
}

// The unit-creator hook of the chip family's device class: the class for a
// descriptor by unit ID and the device's vendor and product; *unit null leaves
// the plain class.
NTSTATUS CreateMirkUnit(const UsbAudioFunctionInputs &inputs, const UCHAR *descriptor, ULONG position,
                        ULONG tag, IUsbAudioUnit **unit);
