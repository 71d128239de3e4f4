#include "driver/core/chip_level_units.h"

#include "driver/base/pool_memory.h"
#include "driver/core/chip_units.h"
#include "driver/effects/effect_nodes.h"

// Rows 0 and 1 guard the first comparisons; user and chip values in 1/256 dB.
const ChipCurveRow ChipSecondCurve[CURVE2_ROWS] = {
    {0, 0},         {0, 0},         {-192, -256},    {-256, -512},   {-320, -768},   {-386, -1024},
    {-455, -1280},  {-527, -1536},  {-599, -1792},   {-676, -2048},  {-752, -2304},  {-835, -2560},
    {-916, -2816},  {-1006, -3072}, {-1096, -3328},  {-1193, -3584}, {-1290, -3840}, {-1395, -4096},
    {-1503, -4352}, {-1618, -4608}, {-1736, -4864},  {-1866, -5120}, {-1999, -5376}, {-2145, -5632},
    {-2296, -5888}, {-2465, -6144}, {-2637, -6400},  {-2816, -6656}, {-3046, -6912}, {-3277, -7168},
    {-3533, -7424}, {-3840, -7680}, {-4198, -7936},  {-4582, -8192}, {-5120, -8448}, {-5767, -8704},
    {-6707, -8960}, {-8294, -9216}, {-32768, -9472},
};

namespace
{
constexpr LONG kSilence = LONG(0x80000000u);
constexpr LONG kDeviceSilence = -0x8000;

LONG Device16(LONGLONG value)
{
    return value < -0x8000 ? -0x8000 : value > 0x7FFF ? 0x7FFF : LONG(value);
}

LONG Level32(LONGLONG value)
{
    return value < LONGLONG(kSilence) ? kSilence : value > 0x7FFFFFFFLL ? 0x7FFFFFFF : LONG(value);
}

// The chip's value as the wire carries it: 16 bits, signed.
LONGLONG Wire(LONG device)
{
    return LONGLONG(SHORT(device));
}

// 1.5 dB per device dB plus an offset (1/256 dB units).
LONG LinearRead(LONG device, LONGLONG offset)
{
    if (SHORT(device) == kDeviceSilence)
        return kSilence;
    return Level32(((Wire(device) >> 8) * 384 + offset) * 256);
}

BOOLEAN IsByteControl(UCHAR control)
{
    return UacLevelBytes(control) == 1;
}
} // namespace

LONG Curve2Read(LONG device)
{
    const LONGLONG d = Wire(device);
    if (d == kDeviceSilence)
        return kSilence;
    for (ULONG i = 1; i + 1 < CURVE2_ROWS; ++i)
        if (d > ChipSecondCurve[i + 1].Device)
            return LONG(ChipSecondCurve[i].User) * 256;
    return LONG(d * 256);
}

LONG Curve2Write(LONG level)
{
    if (level == kSilence)
        return kDeviceSilence;
    const LONG v = level >> 8;
    for (ULONG i = 0; i + 1 < CURVE2_ROWS; ++i)
        if (v >= ChipSecondCurve[i + 1].User)
            return ChipSecondCurve[i + 1].Device;
    // Below the last row the level would reach the chip unchanged, far out of its range.
    return ChipSecondCurve[CURVE2_ROWS - 1].Device;
}

LONG Linear6Read(LONG device)
{
    return LinearRead(device, 1536);
}

LONG Linear6Write(LONG level)
{
    if (level == kSilence)
        return kDeviceSilence;
    return Device16(((LONGLONG(level) + 0x240000) / 0x18000 - 28) * 256);
}

LONG Linear65Read(LONG device)
{
    // 7296 rather than the offset that pairs with no write: ((d >> 8) x 384 + 7296) x 256 undoes
    // Linear65Write exactly, so reading the level back and applying it again changes nothing.
    return LinearRead(device, 7296);
}

LONG Linear65Write(LONG level)
{
    if (level == kSilence)
        return kDeviceSilence;
    return Device16(((LONGLONG(level) - 0x60000) / 0x18000 - 15) * 256);
}

LONG Step192Read(LONG device)
{
    const LONGLONG d = Wire(device);
    if (d == kDeviceSilence)
        return kSilence;
    return Level32((d + 16) / 192 * 65536);
}

LONG Step192Write(LONG level)
{
    if (level == kSilence)
        return kDeviceSilence;
    return Device16(((-LONGLONG(level)) >> 16) * -192 - 16);
}

LONG Offset135Read(LONG device)
{
    const LONGLONG d = Wire(device);
    if (d == kDeviceSilence)
        return kSilence;
    return Level32((d - 3456) / 384 * 0x18000);
}

LONG Offset135Write(LONG level)
{
    if (level == kSilence)
        return kDeviceSilence;
    // The division is unsigned: a negative sum would wrap to a huge step count.
    const LONGLONG sum = LONGLONG(level) + 0xD8000;
    return sum < 0 ? 0 : Device16(sum / 0x18000 * 384);
}

LONG PlainLevelRead(LONG device)
{
    const LONGLONG d = Wire(device);
    return d == kDeviceSilence ? kSilence : LONG(d * 256);
}

LONG PlainLevelWrite(LONG level)
{
    return level == kSilence ? kDeviceSilence : Device16(level >> 8);
}

const ChipLevelMap kCurve2Map = {Curve2Read, Curve2Write, 0, LONG(0xFFDF0000u), 0x2000};
const ChipLevelMap kLinear6Map = {Linear6Read, Linear6Write, 0x168000, LONG(0xFFDC0000u), 0x18000};
const ChipLevelMap kLinear65Map = {Linear65Read, Linear65Write, 0x210000, LONG(0xFFFA0000u), 0x18000};
const ChipLevelMap kStep192Map = {Step192Read, Step192Write, 0, LONG(0xFFDB0000u), 0x10000};
const ChipLevelMap kOffset135Map = {Offset135Read, Offset135Write, 0x90001, LONG(0xFFF28000u), 0x18000};
const ChipLevelMap kPlainLevelMap = {PlainLevelRead, PlainLevelWrite, 0x168000, 0, 0x18000};

// ---- CChipFeatureUnit -------------------------------------------------------------------------------
CChipFeatureUnit::CChipFeatureUnit(PUNKNOWN outerUnknown, ULONG position, ULONG nodeTag)
    : CUacFeatureUnit(outerUnknown, position), m_NodeTag(nodeTag)
{
}

NTSTATUS CChipFeatureUnit::InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context)
{
    UnitContext own = context;
    own.Tag = m_NodeTag;
    return CUacFeatureUnit::InitUnit(descriptor, length, own);
}

NTSTATUS CChipFeatureUnit::IsFeatureUnit(PULONG flag) const
{
    const UCHAR *descriptor = Descriptor();
    if (!flag || !descriptor || DescriptorLength() < 3 || descriptor[1] != USB_CS_INTERFACE_DESCRIPTOR_TYPE ||
        descriptor[2] != UAC_FEATURE_UNIT)
        return STATUS_INVALID_PARAMETER;
    *flag = 1;
    return STATUS_SUCCESS;
}

NTSTATUS CChipFeatureUnit::CreateNodes()
{
    const NTSTATUS status = CreateSharedNodes();
    return NT_SUCCESS(status) ? LinkNodes() : status;
}

NTSTATUS CChipFeatureUnit::CreateSharedNodes()
{
    ULONG channels = 0;
    if (!NT_SUCCESS(ChannelsWith(FU_MUTE, &channels)))
        return STATUS_INSUFFICIENT_RESOURCES;
    static constexpr UCHAR kOrder[] = {FU_MUTE,   FU_VOLUME,         FU_BASS,    FU_MID,
                                       FU_TREBLE, FU_AUTOMATIC_GAIN, FU_LOUDNESS};
    for (UCHAR control : kOrder)
    {
        if (!NT_SUCCESS(ChannelsWith(control, &channels)))
            continue;
        const NTSTATUS status = CreateControlNode(control);
        // After the mute, a node the pool has no room for is left out rather than failing the unit.
        if (status == STATUS_INSUFFICIENT_RESOURCES && control != FU_MUTE)
        {
            DbgPrint("CChipFeatureUnit::CreateNodes node for control %u skipped\n", unsigned(control));
            continue;
        }
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

// ---- CChipLevelUnit ---------------------------------------------------------------------------------
CChipLevelUnit::CChipLevelUnit(PUNKNOWN outerUnknown, ULONG position, ULONG nodeTag, const ChipLevelMap &map,
                               BOOLEAN byteControls, BOOLEAN byteReads)
    : CChipFeatureUnit(outerUnknown, position, nodeTag), m_Map(map), m_ByteControls(byteControls),
      m_ByteReads(byteReads)
{
}

NTSTATUS CChipLevelUnit::GetLevel(UCHAR control, ULONG channel, PLONG level)
{
    if ((m_ByteControls || m_ByteReads) && IsByteControl(control))
        return CUacFeatureUnit::GetLevel(control, channel, level);
    return ReadLevel(control, channel, level, m_Map.Read);
}

NTSTATUS CChipLevelUnit::SetLevel(UCHAR control, ULONG channel, LONG level)
{
    if (m_ByteControls && IsByteControl(control))
        return CUacFeatureUnit::SetLevel(control, channel, level);
    const LONG device = m_Map.Write(level);
    // A one-byte control takes the value held to a signed byte.
    const LONG wire = IsByteControl(control) ? (device < -128 ? -128 : device > 127 ? 127 : device) : device;
    return WriteCurrent(control, channel, wire);
}

NTSTATUS CChipLevelUnit::GetLevelRange(UCHAR control, PLONG maximum, PLONG minimum, PLONG step)
{
    BOOLEAN answered = FALSE;
    const NTSTATUS status = ChipPlainRange(*this, control, m_ByteControls, maximum, minimum, step, &answered);
    if (!NT_SUCCESS(status) || answered)
        return status;
    *maximum = m_Map.Maximum;
    *minimum = m_Map.Minimum;
    *step = m_Map.Step;
    return STATUS_SUCCESS;
}

CUnitCurve2::CUnitCurve2(PUNKNOWN o, ULONG p) : CChipLevelUnit(o, p, PoolTag::Quib, kCurve2Map, TRUE, FALSE)
{
}
CUnitLinear6::CUnitLinear6(PUNKNOWN o, ULONG p)
    : CChipLevelUnit(o, p, PoolTag::Quib, kLinear6Map, TRUE, FALSE)
{
}
CUnitLinear65::CUnitLinear65(PUNKNOWN o, ULONG p)
    : CChipLevelUnit(o, p, PoolTag::Quib, kLinear65Map, TRUE, FALSE)
{
}

NTSTATUS CTeshLevelUnit::GetSwitch(UCHAR control, ULONG channel, PUCHAR value)
{
    if (control == FU_MUTE && channel != 0)
        return STATUS_INVALID_PARAMETER;
    return CChipLevelUnit::GetSwitch(control, channel, value);
}

NTSTATUS CTeshLevelUnit::SetSwitch(UCHAR control, ULONG channel, UCHAR value)
{
    if (control == FU_MUTE && channel != 0)
        return STATUS_INVALID_PARAMETER;
    return CChipLevelUnit::SetSwitch(control, channel, value);
}

CUnitStep192::CUnitStep192(PUNKNOWN o, ULONG p)
    : CTeshLevelUnit(o, p, PoolTag::Tesh, kStep192Map, FALSE, FALSE)
{
}
CUnitOffset135::CUnitOffset135(PUNKNOWN o, ULONG p)
    : CTeshLevelUnit(o, p, PoolTag::Tesh, kOffset135Map, FALSE, FALSE)
{
}
CUnitPlainLevel::CUnitPlainLevel(PUNKNOWN o, ULONG p)
    : CTeshLevelUnit(o, p, PoolTag::Tesh, kPlainLevelMap, FALSE, TRUE)
{
}

// ---- CUnitEffects -----------------------------------------------------------------------------------
CUnitEffects::CUnitEffects(PUNKNOWN outerUnknown, ULONG position)
    : CChipFeatureUnit(outerUnknown, position, PoolTag::Grue)
{
}

NTSTATUS CUnitEffects::CreateNodes()
{
    NTSTATUS status = CreateSharedNodes();
    if (!NT_SUCCESS(status))
        return status;
    ULONG channels = 0;
    const UCHAR unitId = UnitId();
    const NodeSettings &settings = m_Context.Settings;
    PUNKNOWN self = Self();
    if (NT_SUCCESS(ChannelsWith(EFFECT_CONTROL_139, &channels)))
        status = CreateNode<CEffectNode139>([&](CEffectNode139 *node)
                                            { return node->Init139(self, unitId, settings, UAC_NO_SOURCE); });
    if (NT_SUCCESS(status) && NT_SUCCESS(ChannelsWith(EFFECT_CONTROL_140, &channels)))
        status = CreateNode<CEffectNode140>([&](CEffectNode140 *node)
                                            { return node->Init140(self, unitId, settings, UAC_NO_SOURCE); });
    return NT_SUCCESS(status) ? LinkNodes() : status;
}

// ---- CJackOutputTerminal2 ---------------------------------------------------------------------------
CJackOutputTerminal2::CJackOutputTerminal2(PUNKNOWN outerUnknown, ULONG position, const ULONG (&flags)[3])
    : CJackTerminal(outerUnknown, position, PoolTag::Plon), m_Headphones(flags[CHIP_FLAG_HEADPHONES] != 0),
      m_Optical(flags[CHIP_FLAG_OPTICAL] != 0)
{
}

NTSTATUS CJackOutputTerminal2::PrepareTypes(const UnitContext &)
{
    AddJackType(m_Headphones ? JACK_TYPE_HEADPHONES : JACK_TYPE_ANALOGUE);
    if (m_Optical)
        AddJackType(JACK_TYPE_OPTICAL);
    m_CurrentCode = JACK_TYPE_ANALOGUE;
    return STATUS_SUCCESS;
}

ULONG CJackOutputTerminal2::JackRecords(ULONG type, JackRecord *records) const
{
    if (type != JACK_TYPE_ANALOGUE)
        return 0;
    records[0] = CHIP_STEREO_JACK;
    return 1;
}

void CJackOutputTerminal2::PinWords(ULONG, ULONG (&words)[HAL_INFO_WORDS])
{
    RtlZeroMemory(words, sizeof words);
    words[0] = 0x01006086;
}

NTSTATUS CJackOutputTerminal2::CreateMoreNodes()
{
    const UCHAR unitId = UnitId();
    return CreateNode<CEffectParamNode>(
        [&](CEffectParamNode *node)
        { return node->InitParamNode(unitId, m_Context.Settings, UAC_NO_SOURCE); });
}

// ---- The class table's cells ------------------------------------------------------------------------
namespace
{
// A feature unit's ID, or 0 for any other descriptor (no feature unit has ID 0).
UCHAR FeatureUnitId(const UCHAR *descriptor)
{
    return descriptor[0] >= 4 && descriptor[2] == UAC_FEATURE_UNIT ? descriptor[3] : 0;
}

BOOLEAN IsInputTerminal(const UCHAR *descriptor)
{
    return descriptor[0] >= 3 && descriptor[2] == UAC_INPUT_TERMINAL;
}

BOOLEAN IsOutputTerminal(const UCHAR *descriptor)
{
    return descriptor[0] >= 3 && descriptor[2] == UAC_OUTPUT_TERMINAL;
}
} // namespace

NTSTATUS CreateDovaUnit(const UsbAudioFunctionInputs &, const UCHAR *descriptor, ULONG position, ULONG tag,
                        IUsbAudioUnit **unit)
{
    if (!descriptor || !unit)
        return STATUS_INVALID_PARAMETER;
    *unit = nullptr;
    // The chip's terminals, their nodes under the family's node tag.
    if (IsInputTerminal(descriptor))
        return MakeChipUnit<CInputTerminalVariant>(position, tag, unit, PoolTag::Quib);
    if (IsOutputTerminal(descriptor))
        return MakeChipUnit<COutputTerminalVariant>(position, tag, unit, PoolTag::Quib);
    switch (FeatureUnitId(descriptor))
    {
    case 9:
        return MakeChipUnit<CUnitCurve2>(position, tag, unit);
    case 10:
    case 11:
    case 12:
        return MakeChipUnit<CUnitLinear65>(position, tag, unit);
    case 13:
    case 14:
        return MakeChipUnit<CUnitLinear6>(position, tag, unit);
    default:
        return STATUS_SUCCESS;
    }
}

NTSTATUS CreateTeshUnit(const UsbAudioFunctionInputs &, const UCHAR *descriptor, ULONG position, ULONG tag,
                        IUsbAudioUnit **unit)
{
    if (!descriptor || !unit)
        return STATUS_INVALID_PARAMETER;
    *unit = nullptr;
    // The chip's terminals, their nodes under the family's node tag.
    if (IsInputTerminal(descriptor))
        return MakeChipUnit<CInputTerminalVariant>(position, tag, unit, PoolTag::Tesh);
    if (IsOutputTerminal(descriptor))
        return MakeChipUnit<COutputTerminalVariant>(position, tag, unit, PoolTag::Tesh);
    switch (FeatureUnitId(descriptor))
    {
    case 9:
        return MakeChipUnit<CUnitStep192>(position, tag, unit);
    case 10:
        return MakeChipUnit<CUnitPlainLevel>(position, tag, unit);
    case 13:
        return MakeChipUnit<CUnitOffset135>(position, tag, unit);
    default:
        return STATUS_SUCCESS;
    }
}

NTSTATUS CreateGrueUnit(const UsbAudioFunctionInputs &, const UCHAR *descriptor, ULONG position, ULONG tag,
                        IUsbAudioUnit **unit)
{
    if (!descriptor || !unit)
        return STATUS_INVALID_PARAMETER;
    *unit = nullptr;
    return FeatureUnitId(descriptor) ? MakeChipUnit<CUnitEffects>(position, tag, unit) : STATUS_SUCCESS;
}

NTSTATUS CreatePlonUnit(const UsbAudioFunctionInputs &inputs, const UCHAR *descriptor, ULONG position,
                        ULONG tag, IUsbAudioUnit **unit)
{
    if (!descriptor || !unit)
        return STATUS_INVALID_PARAMETER;
    *unit = nullptr;
    // The speaker terminal; every other entity is plain.
    if (descriptor[0] >= 6 && descriptor[2] == UAC_OUTPUT_TERMINAL &&
        (descriptor[4] | descriptor[5] << 8) == 0x0301)
        return MakeChipUnit<CJackOutputTerminal2>(position, tag, unit, inputs.MirkOutputFlags);
    return STATUS_SUCCESS;
}
