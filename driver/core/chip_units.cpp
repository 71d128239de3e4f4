#include "driver/core/chip_units.h"

#include "driver/base/pool_memory.h"
#include "driver/base/usb_vendor_ids.h"
#include "driver/effects/dsp_node.h"

// Rows pair the level the system sees with the chip's, both in 1/256 dB; row 0
// guards the first comparison. The chip runs in 1 dB steps to -36 dB, then -38
// dB.
const MirkCurveRow MirkVolumeCurve[MIRK_CURVE_ROWS] = {
    {0, 0},         {0, 0},         {-62, -256},    {-128, -512},    {-192, -768},   {-263, -1024},
    {-331, -1280},  {-402, -1536},  {-477, -1792},  {-556, -2048},   {-638, -2304},  {-717, -2560},
    {-804, -2816},  {-894, -3072},  {-989, -3328},  {-1088, -3584},  {-1188, -3840}, {-1298, -4096},
    {-1411, -4352}, {-1529, -4608}, {-1657, -4864}, {-1785, -5120},  {-1920, -5376}, {-2082, -5632},
    {-2240, -5888}, {-2420, -6144}, {-2612, -6400}, {-2816, -6656},  {-3072, -6912}, {-3303, -7168},
    {-3584, -7424}, {-3917, -7680}, {-4301, -7936}, {-4788, -8192},  {-5402, -8448}, {-6221, -8704},
    {-7578, -8960}, {-8500, -9216}, {-8832, -9728}, {-32768, -9728},
};

namespace
{

constexpr LONG kSilence = LONG(0x80000000u);
constexpr LONG kDeviceSilence = -0x8000;

LONG Clamp32(LONGLONG value)
{
    return value < LONGLONG(kSilence) ? kSilence : value > 0x7FFFFFFFLL ? 0x7FFFFFFF : LONG(value);
}

BOOLEAN IsByteControl(UCHAR control)
{
    return UacLevelBytes(control) == 1;
}

NTSTATUS WriteChipRegister(PUNKNOWN device, ULONG index, ULONG value, ULONG mask)
{
    IChipRegisters *registers = nullptr;
    if (!device)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = device->QueryInterface(IID_IChipRegisters, reinterpret_cast<PVOID *>(&registers));
    if (!NT_SUCCESS(status))
        return status;
    status = registers->WriteRegister(index, value, mask);
    registers->Release();
    return status;
}

} // namespace

NTSTATUS ChipByteRange(LONG high, LONG low, LONG res, PLONG maximum, PLONG minimum, PLONG step)
{
    // A resolution of zero or below would be a step the level nodes divide by.
    const LONG signedRes = LONG(CHAR(UCHAR(res / 16384)));
    *maximum = high;
    *minimum = low;
    *step = signedRes > 0 ? signedRes * 16384 : 16384;
    return STATUS_SUCCESS;
}

NTSTATUS ChipPlainRange(CUacFeatureUnit &unit, UCHAR control, BOOLEAN byteRanges, PLONG maximum,
                        PLONG minimum, PLONG step, BOOLEAN *answered)
{
    LONG high = 0, low = 0, res = 0;
    if (!maximum || !minimum || !step || !answered)
        return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = unit.CUacFeatureUnit::GetLevelRange(control, &high, &low, &res);
    if (!NT_SUCCESS(status))
        return status;
    *answered = byteRanges && IsByteControl(control);
    if (*answered)
        return ChipByteRange(high, low, res, maximum, minimum, step);
    *maximum = high;
    *minimum = low;
    *step = res;
    return STATUS_SUCCESS;
}

LONG MirkCurveToDevice(LONG level)
{
    if (level == kSilence)
        return kDeviceSilence;
    const LONG v = level >> 8;
    for (ULONG i = 0; i + 1 < MIRK_CURVE_ROWS; ++i)
    {
        if (v > MirkVolumeCurve[i + 1].User)
            return MirkVolumeCurve[i].Device;
        if (v == MirkVolumeCurve[i + 1].User)
            return MirkVolumeCurve[i + 1].Device;
    }
    // Below the last row the level would otherwise reach the chip unchanged, far
    // out of its range.
    return MirkVolumeCurve[MIRK_CURVE_ROWS - 1].Device;
}

LONG MirkCurveFromDevice(LONG device)
{
    const LONG t = LONG(SHORT(device));
    if (t == kDeviceSilence)
        return kSilence;
    for (ULONG i = 1; i + 1 < MIRK_CURVE_ROWS; ++i)
        if (t > MirkVolumeCurve[i + 1].Device)
            return LONG(MirkVolumeCurve[i].User) * 256;
    return t * 256;
}

void MirkCurveRange(LONG deviceMaximum, LONG deviceMinimum, PLONG maximum, PLONG minimum)
{
    LONG high = LONG(SHORT(deviceMaximum)), low = LONG(SHORT(deviceMinimum));
    ULONG i = 1;
    while (i + 1 < MIRK_CURVE_ROWS && !(high > MirkVolumeCurve[i + 1].Device))
        ++i;
    if (i + 1 < MIRK_CURVE_ROWS)
        high = MirkVolumeCurve[i].User;
    for (i = 1; i + 1 < MIRK_CURVE_ROWS; ++i)
        if (low > MirkVolumeCurve[i + 1].Device)
        {
            low = MirkVolumeCurve[i + 1].User;
            break;
        }
    *maximum = high * 256;
    *minimum = low * 256;
}

LONG MirkScaledRead(const MirkScale &scale, LONG level)
{
    if (level == kSilence)
        return level;
    const LONGLONG x = level;
    return Clamp32(x < 0 ? x * scale.NegativeMul / scale.NegativeDiv : x * 3);
}

LONG MirkScaledWrite(const MirkScale &scale, LONG level)
{
    if (level == kSilence)
        return level;
    const LONGLONG x = level;
    return Clamp32(x < 0 ? x * scale.NegativeDiv / scale.NegativeMul : x / 3);
}

// ---- CUnitVolumeCurve
// -------------------------------------------------------------------------------------
CUnitVolumeCurve::CUnitVolumeCurve(PUNKNOWN outerUnknown, ULONG position)
    : TMutedUnit(outerUnknown, position), m_NeedMuteLed(0), m_ReverseMuteLed(0)
{
}

NTSTATUS CUnitVolumeCurve::InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context)
{
    // The LED settings are read once; a missing value leaves the LED alone.
    if (context.Settings.Access)
    {
        context.Settings.Access(context.Settings.DeviceObject, NODE_SETTING_READ, &m_NeedMuteLed, 1,
                                u"NeedMuteLED");
        context.Settings.Access(context.Settings.DeviceObject, NODE_SETTING_READ, &m_ReverseMuteLed, 1,
                                u"ReverseMuteLED");
    }
    return CUacFeatureUnit::InitUnit(descriptor, length, context);
}

NTSTATUS CUnitVolumeCurve::GetLevel(UCHAR control, ULONG channel, PLONG level)
{
    if (IsByteControl(control))
        return CUacFeatureUnit::GetLevel(control, channel, level);
    return ReadLevel(control, channel, level, MirkCurveFromDevice);
}

NTSTATUS CUnitVolumeCurve::SetLevel(UCHAR control, ULONG channel, LONG level)
{
    if (IsByteControl(control))
        return CUacFeatureUnit::SetLevel(control, channel, level);
    return WriteCurrent(control, channel, MirkCurveToDevice(level));
}

NTSTATUS CUnitVolumeCurve::GetLevelRange(UCHAR control, PLONG maximum, PLONG minimum, PLONG step)
{
    if (!maximum || !minimum || !step)
        return STATUS_INVALID_PARAMETER;
    if (!HasControl(control, 1))
        return STATUS_INVALID_PARAMETER;
    LONG wire[3] = {};
    const UCHAR requests[3] = {UAC1_GET_MAX, UAC1_GET_MIN, UAC1_GET_RES};
    for (ULONG i = 0; i < 3; ++i)
        if (NTSTATUS status = ReadValue(control, 1, requests[i], &wire[i]); !NT_SUCCESS(status))
            return status;
    MirkCurveRange(wire[0], wire[1], maximum, minimum);
    *step = 0x4000; // the table's resolution, whatever the chip reports
    return STATUS_SUCCESS;
}

NTSTATUS CUnitVolumeCurve::SetSwitch(UCHAR control, ULONG channel, UCHAR value)
{
    NTSTATUS status = CUacFeatureUnit::SetSwitch(control, channel, value);
    if (!NT_SUCCESS(status) || control != FU_MUTE || !m_NeedMuteLed)
        return status;
    const BOOLEAN on = (value != 0) != (m_ReverseMuteLed == 1);
    return WriteChipRegister(static_cast<IAudioHal *>(m_Context.Hal), MIRK_LED_REGISTER,
                             on ? MIRK_LED_ON : MIRK_LED_OFF, MIRK_LED_MASK);
}

NTSTATUS CUnitVolumeCurve::CreateNodes()
{
    ULONG channels = 0;
    const UCHAR unitId = UnitId();
    const NodeSettings &settings = m_Context.Settings;
    PUNKNOWN self = Self();
    NTSTATUS status = CreateMuteNode(CGatedSwitchNode::GATE_MODE);
    // The software-volume node's gate starts closed, so the chip's curve is not
    // applied twice.
    if (NT_SUCCESS(status) && NT_SUCCESS(ChannelsWith(FU_VOLUME, &channels)))
        status = CreateNode<CSoftVolumeNode>(
            [&](CSoftVolumeNode *node)
            { return node->InitSoftVolume(self, unitId, FU_VOLUME, settings, UAC_NO_SOURCE); });
    return NT_SUCCESS(status) ? LinkNodes() : status;
}

// ---- Mute switches that process
CGatedSwitchNode::CGatedSwitchNode(PUNKNOWN outerUnknown, ULONG id, Gate gate)
    : CSwitchNode(outerUnknown, id, NODE_KIND_MUTE),
      m_Gate(gate), m_GateValues{LONG(SOFT_VOLUME_GATE_OPEN), 0}
{
}

NTSTATUS CGatedSwitchNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    if (object && IsEqualId(iid, IID_IProcessingNode))
        *object = static_cast<IProcessingNode *>(this);
    else if (object && IsEqualId(iid, IID_IProcessingGate) && m_Gate == GATE_SECOND_VALUE)
        *object = static_cast<IProcessingGate *>(this);
    else
        return CSwitchNode::NonDelegatingQueryInterface(iid, object);
    AddRef();
    return STATUS_SUCCESS;
}

NTSTATUS CGatedSwitchNode::SetSecondValue(ULONG value)
{
    if (ULONG(m_GateValues[1]) != value)
        InterlockedExchange(&m_GateValues[1], LONG(value));
    return STATUS_SUCCESS;
}

NTSTATUS CGatedSwitchNode::SetFirstValue(ULONG value)
{
    InterlockedExchange(&m_GateValues[0], LONG(value));
    return STATUS_SUCCESS;
}

NTSTATUS CGatedSwitchNode::ProcessBuffers(const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames)
{
    const ULONG gate = m_Gate == GATE_MODE           ? m_Mode
                       : m_Gate == GATE_SECOND_VALUE ? ULONG(m_GateValues[1])
                                                     : SOFT_VOLUME_GATE_OPEN;
    if (gate != SOFT_VOLUME_GATE_OPEN || !m_Bytes || !m_Bytes[0])
        return STATUS_SUCCESS;
    SilenceBlock(format, buffers, frames);
    return STATUS_SUCCESS;
}

// ---- CUnitScaled
// -------------------------------------------------------------------------------------------
CUnitScaled::CUnitScaled(PUNKNOWN outerUnknown, ULONG position, const MirkScale &scale)
    : CUacFeatureUnit(outerUnknown, position), m_Scale(scale)
{
}

NTSTATUS CUnitScaled::GetLevel(UCHAR control, ULONG channel, PLONG level)
{
    LONG plain = 0;
    if (!level)
        return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = CUacFeatureUnit::GetLevel(control, channel, &plain);
    if (NT_SUCCESS(status))
        *level = MirkScaledRead(m_Scale, plain);
    return status;
}

NTSTATUS CUnitScaled::SetLevel(UCHAR control, ULONG channel, LONG level)
{
    // The plain write holds the result to the chip's range.
    return CUacFeatureUnit::SetLevel(control, channel, MirkScaledWrite(m_Scale, level));
}

NTSTATUS CUnitScaled::GetLevelRange(UCHAR control, PLONG maximum, PLONG minimum, PLONG step)
{
    BOOLEAN answered = FALSE;
    const NTSTATUS status = ChipPlainRange(*this, control, m_Scale.NegativeDiv == MirkScaleB.NegativeDiv,
                                           maximum, minimum, step, &answered);
    if (!NT_SUCCESS(status) || answered)
        return status;
    const LONG deviceMaximum = LONG(ULONG(*maximum / 256) & m_Scale.MaximumMask);
    *maximum = MirkScaledRead(m_Scale, deviceMaximum * 256);
    *minimum = MirkScaledRead(m_Scale, *minimum);
    *step = 0x18000;
    return STATUS_SUCCESS;
}

NTSTATUS CUnitPlainMute::CreateNodes()
{
    const NTSTATUS status = CreateMuteNode(CGatedSwitchNode::GATE_SECOND_VALUE);
    return NT_SUCCESS(status) ? LinkNodes() : status;
}

NTSTATUS CUnitScaledBNodes::CreateNodes()
{
    NTSTATUS status = CreateMuteNode(CGatedSwitchNode::GATE_NONE);
    ULONG channels = 0;
    if (NT_SUCCESS(status) && NT_SUCCESS(ChannelsWith(FU_VOLUME, &channels)))
    {
        PUNKNOWN self = Self();
        const UCHAR unitId = UnitId();
        status = CreateNode<CLevelNode>(
            [&](CLevelNode *node)
            { return node->InitLevel(self, unitId, FU_VOLUME, m_Context.Settings, UAC_NO_SOURCE); },
            ULONG(NODE_KIND_LEVEL), CLevelNode::Variant::Plain);
    }
    return NT_SUCCESS(status) ? LinkNodes() : status;
}

// ---- CUnitScaledAHwMute
// -----------------------------------------------------------------------------------
CUnitScaledAHwMute::CUnitScaledAHwMute(PUNKNOWN outerUnknown, ULONG position)
    : CUnitScaledA(outerUnknown, position), m_HardwareMute(0), m_UserMute(0)
{
}

NTSTATUS CUnitScaledAHwMute::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    if (object && IsEqualId(iid, IID_IHardwareMute))
    {
        *object = static_cast<IHardwareMute *>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CUnitScaledA::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CUnitScaledAHwMute::GetSwitch(UCHAR control, ULONG channel, PUCHAR value)
{
    LONG wire = 0;
    // Only the mute carries the hardware switch; the unit's other switches are plain.
    if (control != FU_MUTE)
        return CUnitScaledA::GetSwitch(control, channel, value);
    if (!value || channel != 0 || !HasControl(control, 0))
        return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = ReadValue(control, 0, UAC1_GET_CUR, &wire);
    if (NT_SUCCESS(status))
        *value = m_UserMute = UCHAR(wire);
    return status;
}

NTSTATUS CUnitScaledAHwMute::SetSwitch(UCHAR control, ULONG channel, UCHAR value)
{
    if (control != FU_MUTE)
        return CUnitScaledA::SetSwitch(control, channel, value);
    if (channel != 0 || !HasControl(control, 0))
        return STATUS_INVALID_PARAMETER;
    m_UserMute = value;
    return WriteValue(control, 0, value | m_HardwareMute);
}

NTSTATUS CUnitScaledAHwMute::SetHardwareMute(ULONG flag)
{
    m_HardwareMute = UCHAR(flag);
    return SetSwitch(FU_MUTE, 0, m_UserMute);
}

// ---- The LED switch
// ----------------------------------------------------------------------------------------
NTSTATUS CLedSwitchNode::InitLed(PUNKNOWN unit, UCHAR unitId, const NodeSettings &settings, PUNKNOWN device)
{
    m_Device = device;
    return InitSwitch(unit, unitId, 0, settings, UAC_NO_SOURCE);
}

NTSTATUS CLedSwitchNode::SetByte(ULONG index, UCHAR value)
{
    if (index != 0)
        return STATUS_INVALID_PARAMETER;
    const NTSTATUS status =
        WriteChipRegister(m_Device, MIRK_LED_REGISTER, value ? MIRK_LED_OFF : MIRK_LED_ON, MIRK_LED_MASK);
    return NT_SUCCESS(status) ? CCachedSwitchNode::SetByte(0, value) : status;
}

NTSTATUS CUnitScaledBLed::GetSwitchChannels(UCHAR control, PULONG count)
{
    if (control != 0)
        return CUnitScaledB::GetSwitchChannels(control, count);
    if (!count)
        return STATUS_INVALID_PARAMETER;
    *count = 1;
    return STATUS_SUCCESS;
}

NTSTATUS CUnitScaledBLed::GetSwitch(UCHAR control, ULONG channel, PUCHAR value)
{
    // The LED register cannot be read back: the node keeps its stored value.
    return control == 0 ? STATUS_NOT_SUPPORTED : CUnitScaledB::GetSwitch(control, channel, value);
}

NTSTATUS CUnitScaledBLed::CreateNodes()
{
    NTSTATUS status = CUnitScaledB::CreateNodes();
    if (!NT_SUCCESS(status))
        return status;
    PUNKNOWN self = Self(), device = static_cast<IAudioHal *>(m_Context.Hal);
    const UCHAR unitId = UnitId();
    status = CreateNode<CLedSwitchNode>([&](CLedSwitchNode *node)
                                        { return node->InitLed(self, unitId, m_Context.Settings, device); });
    return NT_SUCCESS(status) ? LinkNodes() : status;
}

// ---- CSelectorInputMap
// -------------------------------------------------------------------------------------
CSelectorInputMap::CSelectorInputMap(PUNKNOWN outerUnknown, ULONG position)
    : CUacSelectorUnit(outerUnknown, position), m_Map{}
{
}

NTSTATUS CSelectorInputMap::InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context)
{
    const NTSTATUS status = CUacSelectorUnit::InitUnit(descriptor, length, context);
    if (!NT_SUCCESS(status))
        return status;
    for (ULONG k = 0; k < descriptor[4] && k < NODE_MAX_SOURCES; ++k)
        switch (descriptor[5 + k])
        {
        case 2:
            m_Map[k] = 4;
            break;
        case 8:
            m_Map[k] = 1;
            break;
        case 15:
            m_Map[k] = 2;
            break;
        case 16:
            m_Map[k] = 3;
            break;
        default:
            break;
        }
    return STATUS_SUCCESS;
}

NTSTATUS CSelectorInputMap::Send(UCHAR value)
{
    return UacRequest(m_Context.Requests, FALSE, UAC1_SET_CUR, 0, UnitId(), &value, 1);
}

NTSTATUS CSelectorInputMap::GetInput(PULONG input)
{
    ULONG device = 0, count = 0;
    if (!input)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = CUacSelectorUnit::GetInput(&device);
    if (!NT_SUCCESS(status))
        return status;
    GetInputCount(&count);
    for (ULONG k = 0; k < count && k < NODE_MAX_SOURCES; ++k)
        if (m_Map[k] == device)
        {
            *input = k + 1;
            return STATUS_SUCCESS;
        }
    status = Send(m_Map[0]);
    if (NT_SUCCESS(status))
        *input = 1;
    return status;
}

NTSTATUS CSelectorInputMap::SetInput(ULONG input)
{
    ULONG count = 0;
    GetInputCount(&count);
    if (input < 1 || input > count || input > NODE_MAX_SOURCES)
        return STATUS_INVALID_PARAMETER;
    return Send(m_Map[input - 1]);
}

// ---- Terminals
namespace
{

// The records of the chip's jacks (connection 1: 3.5 mm, 5: optical; geometric location 1: rear).
constexpr JackRecord kAnalogueJacks[JACK_MAX_RECORDS] = {
    CHIP_STEREO_JACK,
    {0xC, 0xFF8000, 1, 1, 0, 0, 0, 0, 0},
    {0x30, 0x000000, 1, 1, 0, 0, 0, 0, 0},
    {0x600, 0x000000, 1, 1, 0, 0, 0, 0, 0}, // eight-channel devices only
};
constexpr JackRecord kOpticalJack = {0x3, 0x000000, 5, 1, 0, 0, 0, 0, 0};

// The chip's output routing per jack type: registers 2, 1 and 0, written in that order.
struct RoutingWrite
{
    ULONG Index, Mask;
};
constexpr RoutingWrite kRoutingWrites[3] = {{2, 0xFFFF}, {1, 0x0002}, {0, 0x8000}};
constexpr ULONG kRoutingValues[JACK_MAX_TYPES][3] = {
    {0xE000, 0x0002, 0x0000}, // analogue outputs
    {0xFFE0, 0x0002, 0x0000}, // headphones
    {0xE7F8, 0x0000, 0x8000}, // optical
};

} // namespace

CJackTerminal::CJackTerminal(PUNKNOWN outerUnknown, ULONG position, ULONG nodeTag)
    : CUacTerminal(outerUnknown, position), m_NodeTag(nodeTag), m_JackTypes{}, m_JackTypeCount(0)
{
    m_CurrentCode = JACK_TYPE_ANALOGUE; // the current jack type
}

NTSTATUS CJackTerminal::InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context)
{
    if (!descriptor || length < 3 || descriptor[2] != UAC_OUTPUT_TERMINAL)
        return STATUS_INVALID_PARAMETER;
    UnitContext own = context;
    own.Tag = m_NodeTag;
    NTSTATUS status = ParseTerminal(descriptor, length, own);
    if (NT_SUCCESS(status))
        status = PrepareTypes(own);
    if (!NT_SUCCESS(status))
        return status;
    PUNKNOWN self = Self();
    for (ULONG i = 0; i < m_JackTypeCount; ++i)
    {
        const ULONG type = m_JackTypes[i];
        JackRecord records[JACK_MAX_RECORDS];
        const ULONG count = JacksAt(i, records);
        ULONG words[HAL_INFO_WORDS] = {};
        PinWords(type, words);
        status = CreateNode<CUnitTerminalNode>(
            [&](CUnitTerminalNode *node)
            { return node->InitFromUnit(self, TRUE, 1, &type, count, records, words); },
            ULONG(NODE_KIND_OUTPUT_TERMINAL), i);
        if (!NT_SUCCESS(status))
            return status;
    }
    status = LinkNodes();
    if (NT_SUCCESS(status) && m_JackTypeCount >= 2)
        status = CreateNode<CJackTypeSelectorNode>(
            [&](CJackTypeSelectorNode *node)
            {
                return node->InitJackType(self, m_Context.StreamSink, UnitId(), m_Context.Settings,
                                          m_JackTypeCount, m_JackTypes, m_CurrentCode);
            });
    return NT_SUCCESS(status) ? CreateMoreNodes() : status;
}

BOOLEAN CJackTerminal::HasJackType(ULONG type) const
{
    for (ULONG i = 0; i < m_JackTypeCount; ++i)
        if (m_JackTypes[i] == type)
            return TRUE;
    return FALSE;
}

void CJackTerminal::AddJackType(ULONG type)
{
    if (m_JackTypeCount < JACK_MAX_TYPES)
        m_JackTypes[m_JackTypeCount++] = type;
}

void CJackTerminal::PinWords(ULONG type, ULONG (&words)[HAL_INFO_WORDS])
{
    m_Context.Hal->GetTerminalCapabilities(0, type, words);
}

ULONG CJackTerminal::JacksAt(ULONG index, JackRecord (&records)[JACK_MAX_RECORDS])
{
    const ULONG type = index < m_JackTypeCount ? m_JackTypes[index] : 0;
    const ULONG count = type ? JackRecords(type, records) : 0;
    if (!count)
        return 0;
    // A type that is not selected cannot be sensed: the user's setting says whether it counts.
    ULONG connect = 0;
    Setting(NODE_SETTING_READ, "SetJackConnect", &connect, sizeof connect);
    for (ULONG j = 0; j < count; ++j)
        records[j].IsConnected = type == m_CurrentCode || connect != 0;
    return count;
}

NTSTATUS CJackTerminal::GetTerminalJackCount(ULONG index, PULONG count)
{
    JackRecord records[JACK_MAX_RECORDS];
    if (!count)
        return STATUS_INVALID_PARAMETER;
    const ULONG type = index < m_JackTypeCount ? m_JackTypes[index] : 0;
    *count = type ? JackRecords(type, records) : 0;
    return STATUS_SUCCESS;
}

NTSTATUS CJackTerminal::GetTerminalJacks(ULONG index, ULONG bufferBytes, JackRecord *jacks)
{
    JackRecord records[JACK_MAX_RECORDS];
    if (!jacks || bufferBytes == 0)
        return STATUS_INVALID_PARAMETER;
    const ULONG count = JacksAt(index, records);
    if (bufferBytes < count * ULONG(sizeof(JackRecord)))
        return STATUS_INVALID_PARAMETER;
    if (count)
        RtlCopyMemory(jacks, records, count * sizeof(JackRecord));
    return STATUS_SUCCESS;
}

NTSTATUS CJackTerminal::SetJackType(ULONG type)
{
    if (!HasJackType(type))
        return STATUS_UNSUCCESSFUL;
    m_CurrentCode = type;
    PersistJackType();
    return STATUS_SUCCESS;
}

void CJackTerminal::PersistJackType()
{
    if (!NT_SUCCESS(Setting(NODE_SETTING_WRITE, "UACUnit", &m_CurrentCode, sizeof m_CurrentCode)))
        DbgPrint("SetJackType type %u not stored\n", unsigned(m_CurrentCode));
}

NTSTATUS CJackTerminal::GetJackTypeCount(PULONG count) const
{
    if (!count)
        return STATUS_INVALID_PARAMETER;
    *count = m_JackTypeCount;
    return STATUS_SUCCESS;
}

NTSTATUS CJackTerminal::GetJackTypes(PULONG types) const
{
    if (!types)
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(types, m_JackTypes, m_JackTypeCount * sizeof(ULONG));
    return STATUS_SUCCESS;
}

CJackOutputTerminal::CJackOutputTerminal(PUNKNOWN outerUnknown, ULONG position, const ULONG (&flags)[3])
    : CJackTerminal(outerUnknown, position, PoolTag::Mirk), m_Headphones(flags[CHIP_FLAG_HEADPHONES] != 0),
      m_Optical(flags[CHIP_FLAG_OPTICAL] != 0), m_EightChannels(flags[CHIP_FLAG_EIGHT_CHANNELS] != 0)
{
}

NTSTATUS CJackOutputTerminal::PrepareTypes(const UnitContext &)
{
    AddJackType(JACK_TYPE_ANALOGUE);
    if (m_Headphones)
        AddJackType(JACK_TYPE_HEADPHONES);
    if (m_Optical)
        AddJackType(JACK_TYPE_OPTICAL);
    // The user's last type, when the device still offers it; the chip is routed for the type the
    // pins report.
    ULONG stored = m_CurrentCode;
    Setting(NODE_SETTING_READ, "UACUnit", &stored, sizeof stored);
    if (HasJackType(stored))
        m_CurrentCode = stored;
    else
        DbgPrint("CJackOutputTerminal stored jack type %u not offered\n", unsigned(stored));
    return WriteTypeRegisters(m_CurrentCode);
}

ULONG CJackOutputTerminal::JackRecords(ULONG type, JackRecord *records) const
{
    switch (type)
    {
    case JACK_TYPE_ANALOGUE:
    {
        const ULONG count = m_EightChannels ? 4 : 3;
        RtlCopyMemory(records, kAnalogueJacks, count * sizeof(JackRecord));
        return count;
    }
    case JACK_TYPE_HEADPHONES:
        records[0] = CHIP_STEREO_JACK;
        return 1;
    case JACK_TYPE_OPTICAL:
        records[0] = kOpticalJack;
        return 1;
    default:
        return 0;
    }
}

NTSTATUS CJackOutputTerminal::WriteTypeRegisters(ULONG type)
{
    if (type < 1 || type > JACK_MAX_TYPES)
        return STATUS_INVALID_PARAMETER;
    PUNKNOWN device = static_cast<IAudioHal *>(m_Context.Hal);
    for (ULONG r = 0; r < 3; ++r)
        if (NTSTATUS status = WriteChipRegister(device, kRoutingWrites[r].Index, kRoutingValues[type - 1][r],
                                                kRoutingWrites[r].Mask);
            !NT_SUCCESS(status))
            return status;
    return STATUS_SUCCESS;
}

NTSTATUS CJackOutputTerminal::SetJackType(ULONG type)
{
    if (!HasJackType(type))
        return STATUS_UNSUCCESSFUL;
    const NTSTATUS status = WriteTypeRegisters(type);
    if (!NT_SUCCESS(status))
    {
        // Part of the new routing may have reached the chip: it gets the previous type's back.
        if (!NT_SUCCESS(WriteTypeRegisters(m_CurrentCode)))
            DbgPrint("SetJackType type %u not restored\n", unsigned(m_CurrentCode));
        return status;
    }
    m_CurrentCode = type;
    PersistJackType();
    return STATUS_SUCCESS;
}

NTSTATUS CInputTerminalVariant::InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context)
{
    UnitContext own = context;
    if (m_NodeTag)
        own.Tag = m_NodeTag;
    return CUacTerminal::InitUnit(descriptor, length, own);
}

NTSTATUS COutputTerminalVariant::InitUnit(const UCHAR *descriptor, ULONG length, const UnitContext &context)
{
    UnitContext own = context;
    own.Tag = m_NodeTag;
    return CUacTerminal::InitUnit(descriptor, length, own);
}

ULONG CInputTerminalVariant::InputCode(USHORT type) const
{
    switch (type)
    {
    case 0x0101:
        return TERMINAL_TYPE_STREAMING; // the stream finds its pin by this code
    case 0x0201:
        return 7;
    case 0x0202:
        return 11;
    case 0x0302:
        return 2;
    case 0x0401:
        return 13;
    case 0x0402:
        return 14;
    case 0x0605:
        return 3;
    default:
        return 6;
    }
}

// ---- The class table's cells
// ---------------------------------------------------------------------------

NTSTATUS CreateMirkUnit(const UsbAudioFunctionInputs &inputs, const UCHAR *descriptor, ULONG position,
                        ULONG tag, IUsbAudioUnit **unit)
{
    if (!descriptor || !unit)
        return STATUS_INVALID_PARAMETER;
    *unit = nullptr;
    if (descriptor[0] >= 5 && descriptor[2] == UAC_SELECTOR_UNIT)
        return MakeChipUnit<CSelectorInputMap>(position, tag, unit);
    if (descriptor[0] >= 3 && descriptor[2] == UAC_INPUT_TERMINAL)
        return MakeChipUnit<CInputTerminalVariant>(position, tag, unit);
    if (descriptor[0] >= 4 && descriptor[2] == UAC_OUTPUT_TERMINAL && descriptor[3] == 3)
        return MakeChipUnit<CJackOutputTerminal>(position, tag, unit, inputs.MirkOutputFlags);
    if (descriptor[0] < 4 || descriptor[2] != UAC_FEATURE_UNIT)
        return STATUS_SUCCESS;
    const auto is = [&](USHORT vendor, USHORT product)
    { return inputs.VendorId == vendor && inputs.ProductId == product; };
    switch (descriptor[3])
    {
    case 2:
    case 8:
    case 15:
        if (is(0x28DA, 0x268E))
            return MakeChipUnit<CUnitScaledBLed>(position, tag, unit);
        if (is(SalvineVendorId, 0x0053))
            return MakeChipUnit<CUnitScaledBNodes>(position, tag, unit);
        return MakeChipUnit<CUnitScaledB>(position, tag, unit);
    case 11:
        if (is(0x1E7D, 0x3750))
            return MakeChipUnit<CUnitScaledAHwMute>(position, tag, unit);
        return MakeChipUnit<CUnitScaledA>(position, tag, unit);
    case 9:
        return MakeChipUnit<CUnitScaledA>(position, tag, unit);
    case 13:
        return MakeChipUnit<CUnitVolumeCurve>(position, tag, unit);
    case 16:
        return MakeChipUnit<CUnitPlainMute>(position, tag, unit);
    default:
        return STATUS_SUCCESS;
    }
}
