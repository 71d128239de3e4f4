// The Mirk chip family: register reads and writes, the settings flags and quirks, and the rewrite of
// the chip's fixed-layout configuration before the walks.
#include "driver/base/pool_memory.h"
#include "driver/core/chip_units.h"
#include "driver/core/settings.h"
#include "driver/core/uac_requests.h"
#include "driver/core/usb_audio_device.h"
#include "driver/core/usb_audio_device_tables.h"

namespace
{

constexpr UCHAR kRegisterReadRequest = 0x81;
constexpr UCHAR kRevisionRegister = 9, kModeRegister = 8;
constexpr UCHAR kRevisionValue = 0x9F, kModeMask = 0x63, kModeValue = 3;
constexpr UCHAR kHidInterface = 3, kHidSetReport = 0x09, kReportId = 0x20;
constexpr USHORT kOutputReport = 0x0200;
constexpr ULONG kOutputEnableRegister = 5;
constexpr USHORT kOutputEnableBits = 0x3000;
constexpr UCHAR kCsInterface = 0x24, kInterface = 0x04, kConfiguration = 0x02;

const MirkLayoutRow &Row(MirkPiece piece)
{
    return kMirkLayout[ULONG(piece)];
}

// The descriptors of an interface group chain exactly over its length.
BOOLEAN ChainsExactly(const UCHAR *at, ULONG length)
{
    ULONG used = 0;
    while (used < length)
    {
        const ULONG size = at[used];
        if (size < 2 || used + size > length)
            return FALSE;
        used += size;
    }
    return TRUE;
}

// Whether the descriptor at a listed offset is the one the layout names.
BOOLEAN PieceMatches(const UCHAR *config, const MirkLayoutRow &row)
{
    const UCHAR *at = config + row.Offset;
    if (row.Piece == MirkPiece::Head)
        return at[0] == 9 && at[1] == kConfiguration && at[9] == 9 && at[10] == kInterface &&
               at[14] == USB_DEVICE_CLASS_AUDIO && at[15] == USB_AUDIO_SUBCLASS_AUDIOCONTROL &&
               at[kMirkHeaderOffset] == 10 && at[kMirkHeaderOffset + 1] == kCsInterface &&
               at[kMirkHeaderOffset + 2] == UAC_HEADER;
    if (at[1] != row.Type || at[2] != row.Byte2 || at[3] != row.Byte3)
        return FALSE;
    return row.ControlInterface ? at[0] == row.Length : at[0] == 9 && ChainsExactly(at, row.Length);
}

// Appends descriptors to the scratch buffer; nothing reaches the configuration until all is built.
class Writer
{
public:
    Writer(const UCHAR *config, PUCHAR scratch) : m_Config(config), m_Out(scratch), m_Size(0), m_Control(0) {}

    PUCHAR Copy(MirkPiece piece)
    {
        const MirkLayoutRow &row = Row(piece);
        return Append(m_Config + row.Offset, row.Length, row.ControlInterface);
    }
    PUCHAR Append(const UCHAR *bytes, ULONG length, BOOLEAN control)
    {
        PUCHAR at = m_Out + m_Size;
        RtlCopyMemory(at, bytes, length);
        m_Size += length;
        if (control)
            m_Control += length;
        return at;
    }
    void Shorten(ULONG bytes, BOOLEAN control)
    {
        m_Size -= bytes;
        if (control)
            m_Control -= bytes;
    }
    ULONG Size() const { return m_Size; }
    ULONG ControlBytes() const { return m_Control; }
    PUCHAR Out() { return m_Out; }

private:
    const UCHAR *m_Config;
    PUCHAR m_Out;
    ULONG m_Size;
    ULONG m_Control;
};

void ApplyDependencies(UCHAR f[MIRK_FLAG_COUNT])
{
    if (f[MIRK_DISABLE_MIC_IN_TERMINAL])
        f[MIRK_DISABLE_MIC_IN_AA_UNIT] = f[MIRK_DISABLE_MIC_IN_REC_UNIT] =
            f[MIRK_DISABLE_STEREO_MIX_REC_UNIT] = 1;
    if (f[MIRK_DISABLE_LINE_IN_TERMINAL])
        f[MIRK_DISABLE_LINE_IN_AA_UNIT] = f[MIRK_DISABLE_LINE_IN_REC_UNIT] =
            f[MIRK_DISABLE_STEREO_MIX_REC_UNIT] = 1;
    if (f[MIRK_DISABLE_MIC_IN_AA_UNIT] || f[MIRK_DISABLE_LINE_IN_AA_UNIT])
        f[MIRK_DISABLE_STEREO_MIX_REC_UNIT] = 1;
}

} // namespace

NTSTATUS MirkRewriteConfiguration(PUCHAR config, UCHAR f[MIRK_FLAG_COUNT], PUCHAR scratch)
{
    if (!config || !f || !scratch)
        return STATUS_INVALID_PARAMETER;
    ApplyDependencies(f);
    if (f[MIRK_DISABLE_6CH_OUT] && f[MIRK_DISABLE_8CH_OUT])
    {
        DbgPrint("MirkRewriteConfiguration 6 and 8 channels both disabled\n");
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG total = ULONG(config[2] | config[3] << 8);
    if (total < kMirkConfigBytes)
    {
        DbgPrint("MirkRewriteConfiguration wTotalLength %u\n", unsigned(total));
        return STATUS_UNSUCCESSFUL;
    }
    for (const MirkLayoutRow &row : kMirkLayout)
        if (!PieceMatches(config, row))
        {
            DbgPrint("MirkRewriteConfiguration unexpected descriptor at %u\n", unsigned(row.Offset));
            return STATUS_UNSUCCESSFUL;
        }

    const BOOLEAN eightOff = f[MIRK_DISABLE_8CH_OUT] != 0;
    const BOOLEAN micAaOff = f[MIRK_DISABLE_MIC_IN_AA_UNIT] != 0,
                  lineAaOff = f[MIRK_DISABLE_LINE_IN_AA_UNIT] != 0;
    const BOOLEAN stereoOff = f[MIRK_DISABLE_STEREO_MIX_REC_UNIT] != 0;
    const BOOLEAN anyInput = !f[MIRK_DISABLE_MIC_IN_TERMINAL] || !f[MIRK_DISABLE_LINE_IN_TERMINAL] ||
                             !f[MIRK_DISABLE_SPDIF_IN_TERMINAL];
    const UCHAR outChannels = eightOff ? 6 : 8;
    const USHORT outConfig = eightOff ? 0x003F : 0x063F;
    constexpr ULONG kNrChannels = 7; // of an input terminal

    Writer w(config, scratch);
    w.Copy(MirkPiece::Head);
    PUCHAR playback = w.Copy(MirkPiece::PlaybackTerminal);
    if (eightOff)
    {
        playback[kNrChannels] = outChannels;
        playback[8] = UCHAR(outConfig);
        playback[9] = UCHAR(outConfig >> 8);
    }
    if (!f[MIRK_DISABLE_MIC_IN_TERMINAL])
        w.Copy(MirkPiece::MicTerminal);
    if (!f[MIRK_DISABLE_MIC_IN_REC_UNIT])
        w.Copy(MirkPiece::MicRecordUnit);
    if (!micAaOff)
        w.Copy(MirkPiece::MicMonitorUnit);

    const BOOLEAN mixer = !(micAaOff && lineAaOff);
    if (mixer)
    {
        // Inputs 1, then the monitoring units present; the controls bitmap covers every input
        // channel against every output channel, all zero.
        UCHAR inputs[3] = {Row(MirkPiece::PlaybackTerminal).Byte3};
        ULONG count = 1, inChannels = playback[kNrChannels];
        if (!micAaOff)
        {
            inputs[count++] = Row(MirkPiece::MicMonitorUnit).Byte3;
            inChannels += config[Row(MirkPiece::MicTerminal).Offset + kNrChannels];
        }
        if (!lineAaOff)
        {
            inputs[count++] = Row(MirkPiece::LineMonitorUnit).Byte3;
            inChannels += config[Row(MirkPiece::LineTerminal).Offset + kNrChannels];
        }
        const ULONG controlBytes = (inChannels * outChannels + 7) / 8;
        const ULONG length = 10 + count + controlBytes;
        if (length > 255)
        {
            DbgPrint("MirkRewriteConfiguration mixer of %u input channels\n", unsigned(inChannels));
            return STATUS_UNSUCCESSFUL;
        }
        UCHAR unit[255] = {UCHAR(length), kCsInterface, Row(MirkPiece::PlaybackMixer).Byte2,
                           Row(MirkPiece::PlaybackMixer).Byte3, UCHAR(count)};
        for (ULONG i = 0; i < count; ++i)
            unit[5 + i] = inputs[i];
        unit[5 + count] = outChannels;
        unit[6 + count] = UCHAR(outConfig);
        unit[7 + count] = UCHAR(outConfig >> 8);
        // iChannelNames, bmControls and iMixer stay zero.
        w.Append(unit, length, TRUE);
    }
    PUCHAR feature = w.Copy(MirkPiece::PlaybackFeatureUnit);
    if (!mixer)
        feature[4] = Row(MirkPiece::PlaybackTerminal).Byte3;
    if (eightOff)
    {
        feature[0] = 14;
        feature[13] = 0;
        w.Shorten(Row(MirkPiece::PlaybackFeatureUnit).Length - 14, TRUE);
    }
    w.Copy(MirkPiece::PlaybackOutput);
    if (!stereoOff)
        w.Copy(MirkPiece::StereoMixUnit);

    UCHAR sources[4];
    ULONG sourceCount = 0;
    if (!f[MIRK_DISABLE_MIC_IN_REC_UNIT])
        sources[sourceCount++] = Row(MirkPiece::MicRecordUnit).Byte3;
    if (!f[MIRK_DISABLE_LINE_IN_REC_UNIT])
        sources[sourceCount++] = Row(MirkPiece::LineRecordUnit).Byte3;
    if (!f[MIRK_DISABLE_SPDIF_IN_TERMINAL])
        sources[sourceCount++] = Row(MirkPiece::SpdifRecordUnit).Byte3;
    if (!stereoOff)
        sources[sourceCount++] = Row(MirkPiece::StereoMixUnit).Byte3;
    // With every record unit off the record terminal would name a unit that is gone: the capture
    // side goes as it does with every input terminal off.
    const BOOLEAN recording = anyInput && sourceCount > 0;
    if (recording)
    {
        PUCHAR output = w.Copy(MirkPiece::RecordOutput);
        if (sourceCount == 1)
            output[7] = sources[0]; // bSourceID: the selector is gone
    }
    if (sourceCount >= 2)
    {
        const MirkLayoutRow &row = Row(MirkPiece::RecordSelector);
        UCHAR unit[10] = {UCHAR(6 + sourceCount), kCsInterface, row.Byte2, row.Byte3, UCHAR(sourceCount)};
        for (ULONG i = 0; i < sourceCount; ++i)
            unit[5 + i] = sources[i];
        unit[5 + sourceCount] = config[row.Offset + row.Length - 1]; // iSelector
        w.Append(unit, 6 + sourceCount, TRUE);
    }
    if (!f[MIRK_DISABLE_LINE_IN_TERMINAL])
        w.Copy(MirkPiece::LineTerminal);
    if (!f[MIRK_DISABLE_LINE_IN_REC_UNIT])
        w.Copy(MirkPiece::LineRecordUnit);
    if (!lineAaOff)
        w.Copy(MirkPiece::LineMonitorUnit);
    if (!f[MIRK_DISABLE_SPDIF_IN_TERMINAL])
        w.Copy(MirkPiece::SpdifTerminal);
    if (!stereoOff)
        w.Copy(MirkPiece::StereoMixRecordUnit);
    if (!f[MIRK_DISABLE_SPDIF_IN_TERMINAL])
        w.Copy(MirkPiece::SpdifRecordUnit);
    const ULONG controlTotal = 10 + w.ControlBytes();

    w.Copy(MirkPiece::PlaybackInterface);
    if (!eightOff)
        w.Copy(MirkPiece::Alternate8Ch);
    if (!f[MIRK_DISABLE_2CH_OUT])
        w.Copy(MirkPiece::Alternate2Ch);
    if (!f[MIRK_DISABLE_4CH_OUT])
        w.Copy(MirkPiece::Alternate4Ch);
    if (!f[MIRK_DISABLE_6CH_OUT])
        w.Copy(MirkPiece::Alternate6Ch);
    PUCHAR next = w.Copy(MirkPiece::NextBlock);
    next[24] = 0x00;
    next[25] = 0x77;
    next[26] = 0x01;
    if (recording)
        w.Copy(MirkPiece::CaptureInterface);

    const ULONG size = w.Size();
    if (size > total)
    {
        DbgPrint("MirkRewriteConfiguration result of %u bytes\n", unsigned(size));
        return STATUS_UNSUCCESSFUL;
    }
    PUCHAR out = w.Out();
    out[kMirkHeaderOffset + 5] = UCHAR(controlTotal);
    out[kMirkHeaderOffset + 6] = UCHAR(controlTotal >> 8);
    out[2] = UCHAR(size);
    out[3] = UCHAR(size >> 8);
    RtlCopyMemory(config, out, size);
    return STATUS_SUCCESS;
}

// ---- The device class ---------------------------------------------------------------------------------
CUac1DeviceMirk::CUac1DeviceMirk(PUNKNOWN outer, USHORT vendorId, USHORT productId)
    : CUac1Device(outer, vendorId, productId, UsbAudioDeviceClass::Mirk), m_Flags{},
      m_StatusThreadWanted(FALSE), m_ThreadRunning(FALSE), m_MatchingRevision(FALSE), m_SwitchMode(0)
{
    for (ULONG i = 0; i < MIRK_REGISTER_COUNT; ++i)
    {
        m_Registers[i] = kMirkRegisterDefaults[i];
        m_RegisterFlags[i] = MIRK_REGISTER_RESTORE;
    }
    // A synchronization timer satisfies one wait per period; a notification timer would stay
    // signalled after its first expiry and turn the poll loop into a spin.
    KeInitializeTimerEx(&m_PollTimer, SynchronizationTimer);
}

CUac1DeviceMirk::~CUac1DeviceMirk()
{
    EndThread();
}

NTSTATUS CUac1DeviceMirk::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    if (IsEqualId(iid, IID_IChipRegisters))
        return AnswerInterface(iid, object, static_cast<IAudioHal *>(this),
                               {{IID_IChipRegisters, static_cast<IChipRegisters *>(this)}});
    return CUsbAudioDevice::NonDelegatingQueryInterface(iid, object);
}

UsbAudioFunctionInputs CUac1DeviceMirk::Inputs() const
{
    UsbAudioFunctionInputs inputs = CUsbAudioDevice::Inputs();
    inputs.MirkOutputFlags[0] = m_Flags[MIRK_SUPPORT_HP_OUT];
    inputs.MirkOutputFlags[1] = m_Flags[MIRK_SUPPORT_SPDIF_OUT];
    inputs.MirkOutputFlags[2] = !m_Flags[MIRK_DISABLE_8CH_OUT]; // the eight-channel output
    inputs.EightChannelOff = m_Flags[MIRK_DISABLE_8CH_OUT] != 0;
    return inputs;
}

NTSTATUS CUac1DeviceMirk::DetectCapabilities()
{
    SetCapabilities(0, 0, 0);
    // An unreadable revision register counts as a revision no quirk expects.
    UCHAR revision = 0, mode = 0;
    if (!NT_SUCCESS(
            ReadVendorOtherByte(m_Lower, kRegisterReadRequest, 0, kRevisionRegister, m_Tag, &revision)))
        revision = 0;
    NTSTATUS status = ReadVendorOtherByte(m_Lower, kRegisterReadRequest, 0, kModeRegister, m_Tag, &mode);
    if (!NT_SUCCESS(status))
        return status;
    m_MatchingRevision = revision == kRevisionValue && (mode & kModeMask) == kModeValue;

    for (ULONG i = 0; i < MIRK_FLAG_COUNT; ++i)
    {
        ULONG value = kMirkFlagRows[i].Default;
        SettingsValue(m_DeviceObject, SETTINGS_READ, &value, sizeof(value), kMirkFlagRows[i].ValueName);
        m_Flags[i] = UCHAR(value);
    }
    ULONG mask = kMirkMask;
    for (ULONG r = 0; r < kMirkQuirkRowCount; ++r)
    {
        const MirkQuirkRow &row = kMirkQuirkRows[r];
        const BOOLEAN device =
            row.VendorId == 0 || (row.VendorId == m_VendorId && row.ProductId == m_ProductId);
        if (!device || (row.NeedsRevision && !m_MatchingRevision))
            continue;
        for (ULONG i = 0; i < MIRK_FLAG_COUNT; ++i)
        {
            if (row.SetFlags & MirkBit(MirkFlag(i)))
                m_Flags[i] = 1;
            if (row.ClearFlags & MirkBit(MirkFlag(i)))
                m_Flags[i] = 0;
        }
        if (row.SetsMask)
            mask = row.Mask;
        if (row.Register1)
            m_Registers[1] = row.Register1;
        if (row.WantsStatusThread)
            m_StatusThreadWanted = TRUE;
        break;
    }
    if (m_Flags[MIRK_DISABLE_2CH_OUT])
        m_Flags[MIRK_SUPPORT_HP_OUT] = m_Flags[MIRK_SUPPORT_SPDIF_OUT] = 0;
    SetCapabilities(mask, 0, 0);

    PUCHAR config = m_Lower ? reinterpret_cast<PUCHAR>(m_Lower->GetConfigurationDescriptor()) : nullptr;
    if (!config)
        return STATUS_UNSUCCESSFUL;
    auto *scratch = static_cast<PUCHAR>(AllocPoolZeroed(kMirkScratchBytes, PagedPool, PoolTag::Mirk));
    if (!scratch)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = MirkRewriteConfiguration(config, m_Flags, scratch);
    FreePool(scratch);
    return status;
}

NTSTATUS CUac1DeviceMirk::WriteRegister(ULONG index, ULONG value, ULONG mask)
{
    if (index >= MIRK_REGISTER_COUNT)
        return STATUS_UNSUCCESSFUL;
    mask &= 0xFFFF;
    if (!mask)
        return STATUS_SUCCESS;
    const USHORT written =
        mask == 0xFFFF ? USHORT(value) : USHORT((value & mask) | (m_Registers[index] & ~mask));
    UCHAR report[4] = {kReportId, UCHAR(written), UCHAR(written >> 8), UCHAR(index)};
    const UacRequestTarget target{m_Lower, kHidInterface, UacVersion::Uac1, PoolTag::Mirk};
    const NTSTATUS status =
        UacFormRequest(target, FALSE, FALSE, kHidSetReport, kOutputReport, 0, report, sizeof(report));
    if (NT_SUCCESS(status))
    {
        m_Registers[index] = written;
        m_RegisterFlags[index] &= ~MIRK_REGISTER_DIRTY;
    }
    return status;
}

NTSTATUS CUac1DeviceMirk::ReadRegisterEntry(ULONG index, PUSHORT value) const
{
    if (index >= MIRK_REGISTER_COUNT || !value)
        return STATUS_UNSUCCESSFUL;
    *value = m_Registers[index];
    return STATUS_SUCCESS;
}

NTSTATUS CUac1DeviceMirk::OnPowerUp()
{
    NTSTATUS status = WriteRegister(kOutputEnableRegister, 0, kOutputEnableBits);
    if (NT_SUCCESS(status))
    {
        LARGE_INTEGER interval;
        interval.QuadPart = -10000; // 1 ms
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        status = WriteRegister(kOutputEnableRegister, kOutputEnableBits, kOutputEnableBits);
    }
    for (ULONG i = 0; NT_SUCCESS(status) && i < kOutputEnableRegister; ++i)
        if (m_RegisterFlags[i] & MIRK_REGISTER_RESTORE)
            status = WriteRegister(i, m_Registers[i], 0xFFFF);
    return status;
}

NTSTATUS CUac1DeviceMirk::AfterRename(IStreamEngine *, ULONG unitId)
{
    return RefreshUnit(unitId);
}

PFN_CREATE_UNIT CUac1DeviceMirk::UnitCreator() const
{
    return CreateMirkUnit;
}
