// The feature units of the chip's other device families. They send the plain class 1.0 requests of
// the feature unit, but each class maps levels between the system and the chip by its own fixed
// rule and reports a fixed range whatever the chip says (the chip is still asked, and a failed
// question fails the answer). The effect-capable unit adds the effect nodes its vendor controls
// announce.
//
// Levels: the chip's in 1/256 dB (0x8000 silence), the system's in 1/65536 dB (0x80000000 silence).
// Every map works in 64 bits and holds chip values to the 16-bit wire ([-0x8000, 0x7FFF]).
// Threading: PASSIVE_LEVEL, like the plain units.
#pragma once

#include "driver/core/chip_units.h"

// ---- Level maps --------------------------------------------------------------------------------------
inline constexpr ULONG CURVE2_ROWS = 39;
struct ChipCurveRow
{
    SHORT User;
    SHORT Device;
};
extern const ChipCurveRow ChipSecondCurve[CURVE2_ROWS];

// One family member's rule: chip value to system level, system level to chip value, and the triple
// (maximum, minimum, step) it reports.
struct ChipLevelMap
{
    LONG (*Read)(LONG device);
    LONG (*Write)(LONG level);
    LONG Maximum, Minimum, Step;
};

LONG Curve2Read(LONG device);
LONG Curve2Write(LONG level);   // below the table's last row: its lowest step, -9472
LONG Linear6Read(LONG device);  // 1.5 x device dB + 6 dB
LONG Linear6Write(LONG level);  // its inverse
LONG Linear65Read(LONG device); // the exact inverse of the write, so a refresh keeps the level
LONG Linear65Write(LONG level); // +33..-6 dB onto +3..-23 device dB
LONG Step192Read(LONG device);
LONG Step192Write(LONG level);
LONG Offset135Read(LONG device);
LONG Offset135Write(LONG level); // a level below -13.5 dB sends 0
LONG PlainLevelRead(LONG device);
LONG PlainLevelWrite(LONG level);

extern const ChipLevelMap kCurve2Map, kLinear6Map, kLinear65Map, kStep192Map, kOffset135Map, kPlainLevelMap;

// ---- Units ---------------------------------------------------------------------------------------------
// The node creation these families share: the mute switch first (a unit without one makes nothing),
// then volume, bass, mid, treble, automatic gain and loudness where the unit has them. A node whose
// allocation fails after the first is skipped; any other failure ends the creation.
class CChipFeatureUnit : public CUacFeatureUnit
{
public:
    CChipFeatureUnit(PUNKNOWN outerUnknown, ULONG position, ULONG nodeTag);

    NTSTATUS InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context) override;
    // The logical channels with `control`; a control on the master entry only counts 1; none:
    // STATUS_UNSUCCESSFUL with 0.
    NTSTATUS GetControlChannelCount(UCHAR control, PULONG count) const
    {
        return ChannelsWith(control, count);
    }
    // 1 when the unit's descriptor is a feature unit, else STATUS_INVALID_PARAMETER (so before one
    // was attached).
    NTSTATUS IsFeatureUnit(PULONG flag) const;

protected:
    NTSTATUS CreateNodes() override;
    NTSTATUS CreateSharedNodes();

    ULONG m_NodeTag;
};

// A level unit of one map. `byteControls`: bass, mid and treble bypass the map (signed byte x 16384,
// range from the chip); `byteReads`: only their reads do.
class CChipLevelUnit : public CChipFeatureUnit
{
public:
    CChipLevelUnit(PUNKNOWN outerUnknown, ULONG position, ULONG nodeTag, const ChipLevelMap &map,
                   BOOLEAN byteControls, BOOLEAN byteReads);

    NTSTATUS GetLevel(UCHAR control, ULONG channel, PLONG level) override;
    NTSTATUS SetLevel(UCHAR control, ULONG channel, LONG level) override;
    NTSTATUS GetLevelRange(UCHAR control, PLONG maximum, PLONG minimum, PLONG step) override;

protected:
    const ChipLevelMap &m_Map;
    BOOLEAN m_ByteControls;
    BOOLEAN m_ByteReads;
};

#define DECLARE_CHIP_LEVEL_UNIT(name)                                                                        \
    class name : public CChipLevelUnit                                                                       \
    {                                                                                                        \
    public:                                                                                                  \
        name(PUNKNOWN outerUnknown, ULONG position);                                                         \
    }
// First family (nodes "Quib"): unit 9, units 13 and 14, units 10 to 12.
DECLARE_CHIP_LEVEL_UNIT(CUnitCurve2);
DECLARE_CHIP_LEVEL_UNIT(CUnitLinear6);
DECLARE_CHIP_LEVEL_UNIT(CUnitLinear65);
#undef DECLARE_CHIP_LEVEL_UNIT

// Second family (nodes "Tesh"): the mute is master-only (channel 0, else STATUS_INVALID_PARAMETER).
class CTeshLevelUnit : public CChipLevelUnit
{
public:
    using CChipLevelUnit::CChipLevelUnit;
    NTSTATUS GetSwitch(UCHAR control, ULONG channel, PUCHAR value) override;
    NTSTATUS SetSwitch(UCHAR control, ULONG channel, UCHAR value) override;
};
#define DECLARE_TESH_UNIT(name)                                                                              \
    class name : public CTeshLevelUnit                                                                       \
    {                                                                                                        \
    public:                                                                                                  \
        name(PUNKNOWN outerUnknown, ULONG position);                                                         \
    }
// Unit 9, unit 13, unit 10.
DECLARE_TESH_UNIT(CUnitStep192);
DECLARE_TESH_UNIT(CUnitOffset135);
DECLARE_TESH_UNIT(CUnitPlainLevel);
#undef DECLARE_TESH_UNIT

// The effect-capable unit (nodes "Grue"): the shared nodes, then node 139 and node 140 when the
// unit's vendor extension announces controls 139 and 140.
class CUnitEffects : public CChipFeatureUnit
{
public:
    CUnitEffects(PUNKNOWN outerUnknown, ULONG position);

protected:
    NTSTATUS CreateNodes() override;
};

// The speaker terminal of the effect headset (nodes "Plon"): its first type is 2 with the headphone
// flag, else 1, then 3 with the optical flag; type 1 has the one jack. It has no routing registers,
// starts at type 1, and its pins, which share fixed words, are followed by the effect parameter node.
class CJackOutputTerminal2 : public CJackTerminal
{
public:
    // `flags`: UsbAudioFunctionInputs::MirkOutputFlags (the headphone and optical slots).
    CJackOutputTerminal2(PUNKNOWN outerUnknown, ULONG position, const ULONG (&flags)[3]);

protected:
    NTSTATUS PrepareTypes(const UnitContext &context) override;
    ULONG JackRecords(ULONG type, JackRecord *records) const override;
    void PinWords(ULONG type, ULONG (&words)[HAL_INFO_WORDS]) override;
    NTSTATUS CreateMoreNodes() override;

    BOOLEAN m_Headphones, m_Optical;
};

// The unit-creator hooks of the families' device classes (see CreateMirkUnit).
NTSTATUS CreateDovaUnit(const UsbAudioFunctionInputs &inputs, const UCHAR *descriptor, ULONG position,
                        ULONG tag, IUsbAudioUnit **unit);
NTSTATUS CreateTeshUnit(const UsbAudioFunctionInputs &inputs, const UCHAR *descriptor, ULONG position,
                        ULONG tag, IUsbAudioUnit **unit);
NTSTATUS CreateGrueUnit(const UsbAudioFunctionInputs &inputs, const UCHAR *descriptor, ULONG position,
                        ULONG tag, IUsbAudioUnit **unit);
NTSTATUS CreatePlonUnit(const UsbAudioFunctionInputs &inputs, const UCHAR *descriptor, ULONG position,
                        ULONG tag, IUsbAudioUnit **unit);
