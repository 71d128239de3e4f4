// The USB audio device classes' tables.
#include "driver/core/usb_audio_device_tables.h"

#include "driver/base/usb_vendor_ids.h"

#define ROWS(table) (sizeof(table) / sizeof((table)[0]))

const IdStringRow kIdStringRows[] = {
    {{0x000B, 0x0005, 0x0050}, UsbAudioDeviceClass::Mirk},
    {u"Dova", UsbAudioDeviceClass::Dova},
    {u"Tesh", UsbAudioDeviceClass::Tesh},
    {u"SVQ4RTB", UsbAudioDeviceClass::Plon},
};
const ULONG kIdStringRowCount = ROWS(kIdStringRows);

const CapsRow kStringlessRows[] = {
    {0x1B1C, 0x0A04, 0x0A04, 0x24, 0, 0},
    {0x047F, 0xD957, 0xD957, 0x3C0264, 12, 0},
};
const ULONG kStringlessRowCount = ROWS(kStringlessRows);

const CapsRow kGrueRows[] = {
    {0x17EF, 0x6073, 0x6073, 0x3E0084, 0, 65},          {0x264A, 20483, 20483, 0x3E0084, 0, 0},
    {0x2B0D, 0x0080, 0x0084, 0x3E0084, 0, 64},          {0x2B0D, 0x0087, 0x008F, 0x3E0084, 0, 64},
    {SalvineVendorId, 0x0161, 0x0161, 0x3E0084, 0, 64}, {SalvineVendorId, 0x0166, 0x0166, 0x3E0084, 0, 64},
    {0x2D99, 0x0024, 0x0024, 0x3E0084, 0, 64},          {0x12CF, 0x0801, 0x0801, 0x3E0084, 0, 64},
    {0x2B0D, 0x0086, 0x0086, 0x3E1080, 0, 0},
};
const ULONG kGrueRowCount = ROWS(kGrueRows);
const CapsRow kGrueDefault = {0, 0, 0, 0x3E1084, 0, 0};

const CapsRow kTeshRow = {0x1B1C, 0x0A06, 0x0A06, 0x24, 0, 0};
const ULONG kTeshDefaultMask = 0xF;

const HuldRow kHuldRows[] = {
    {0x09DA, 0x2701, 0x2703, 0, 0x3E00A5, 0xFFFFFFFF},
    {SalvineVendorId, 0x0065, 0x0065, ~0x1000u, 0, 0xFFFFFFFF},
    {0x251F, 0x3001, 0x3001, ~0x1000u, 0x4, ~0x1u},
};
const ULONG kHuldRowCount = ROWS(kHuldRows);

const Svq4rtRow kSvq4rtRows[] = {
    {0x08, 0x3E087, FALSE, 0},
    {0x0E, 0x3E087, TRUE, 2},
};
const ULONG kSvq4rtRowCount = ROWS(kSvq4rtRows);

const Uac2ChipRow kUac2ChipRows[] = {
    {u"Vask", CUac2Device::Chip::Vask, 0x3FE06F, 3}, {u"Jorp", CUac2Device::Chip::Jorp, 0x3FE0EF, 3},
    {u"Frel", CUac2Device::Chip::Frel, 0, 2},        {u"Brix", CUac2Device::Chip::Brix, 0, 2},
    {u"Yant", CUac2Device::Chip::Yant, 0, 2},
};
const ULONG kUac2ChipRowCount = ROWS(kUac2ChipRows);

const FixedCapsRow kUac2FixedCapsRows[] = {
    {0x0438, 0x0101, 0x3C008E, 0x3C00AE, 0x28200, 0},
    {0x0B05, 0x189D, 0x3C0087, 0x3C0026, 0x28000, 2},
};
const ULONG kUac2FixedCapsRowCount = ROWS(kUac2FixedCapsRows);

const MirkFlagRow kMirkFlagRows[MIRK_FLAG_COUNT] = {
    {u"DisableMicInTerminal", 0},   {u"DisableLineInTerminal", 0},   {u"DisableSpdifInTerminal", 0},
    {u"DisableMicInAAUnit", 0},     {u"DisableLineInAAUnit", 0},     {u"DisableMicInRecUnit", 0},
    {u"DisableLineInRecUnit", 0},   {u"DisableStereoMixRecUnit", 1}, {u"SupportHPOut", 1},
    {u"SupportSpdifOut", 1},        {u"Disable2ChOutSupported", 0},  {u"Disable4ChOutSupported", 0},
    {u"Disable6ChOutSupported", 0}, {u"Disable8ChOutSupported", 0},
};

namespace
{
constexpr ULONG kNoOutputs = MirkBit(MIRK_SUPPORT_HP_OUT) | MirkBit(MIRK_SUPPORT_SPDIF_OUT);
constexpr ULONG kLineAndSpdifOff =
    MirkBit(MIRK_DISABLE_LINE_IN_TERMINAL) | MirkBit(MIRK_DISABLE_SPDIF_IN_TERMINAL);
} // namespace

const MirkQuirkRow kMirkQuirkRows[] = {
    {0x1E7D, 0x3750, TRUE,
     MirkBit(MIRK_DISABLE_LINE_IN_REC_UNIT) | MirkBit(MIRK_DISABLE_STEREO_MIX_REC_UNIT) |
         MirkBit(MIRK_DISABLE_SPDIF_IN_TERMINAL) | MirkBit(MIRK_DISABLE_4CH_OUT) |
         MirkBit(MIRK_DISABLE_8CH_OUT),
     kNoOutputs, TRUE, 0x3E0084, 0x3032, TRUE},
    {0x5131, 0x001C, TRUE,
     MirkBit(MIRK_DISABLE_STEREO_MIX_REC_UNIT) | MirkBit(MIRK_DISABLE_SPDIF_IN_TERMINAL) |
         MirkBit(MIRK_DISABLE_2CH_OUT) | MirkBit(MIRK_DISABLE_4CH_OUT) | MirkBit(MIRK_DISABLE_8CH_OUT),
     kNoOutputs, TRUE, 0, 0, FALSE},
    {0x28DA, 0x268E, FALSE, kLineAndSpdifOff, kNoOutputs, TRUE, 0x3E09F, 0, FALSE},
    {SalvineVendorId, 0x0163, FALSE, kLineAndSpdifOff, kNoOutputs, FALSE, 0, 0, FALSE},
    {SalvineVendorId, 0x0053, TRUE, kLineAndSpdifOff | MirkBit(MIRK_DISABLE_8CH_OUT), kNoOutputs, FALSE, 0, 0,
     FALSE},
    {SalvineVendorId, 0x0078, TRUE, kLineAndSpdifOff | MirkBit(MIRK_DISABLE_8CH_OUT), kNoOutputs, FALSE, 0, 0,
     FALSE},
    {0x0A1B, 0x0110, FALSE, kLineAndSpdifOff | MirkBit(MIRK_DISABLE_8CH_OUT), kNoOutputs, FALSE, 0, 0, FALSE},
    {0x0A6A, 0x0160, FALSE, kLineAndSpdifOff, kNoOutputs | MirkBit(MIRK_DISABLE_8CH_OUT), FALSE, 0, 0, FALSE},
    {0, 0, TRUE, MirkBit(MIRK_DISABLE_8CH_OUT), 0, FALSE, 0, 0, FALSE},
};
const ULONG kMirkQuirkRowCount = ROWS(kMirkQuirkRows);

namespace
{
constexpr UCHAR kCs = 0x24, kIf = 0x04;
constexpr UCHAR kIt = 2, kOt = 3, kMix = 4, kSel = 5, kFu = 6;
} // namespace

const MirkLayoutRow kMirkLayout[ULONG(MirkPiece::Count)] = {
    {MirkPiece::Head, 0, 28, 0x02, 0, 0, FALSE},
    {MirkPiece::PlaybackTerminal, 28, 12, kCs, kIt, 1, TRUE},
    {MirkPiece::MicTerminal, 40, 12, kCs, kIt, 4, TRUE},
    {MirkPiece::MicRecordUnit, 52, 10, kCs, kFu, 8, TRUE},
    {MirkPiece::MicMonitorUnit, 62, 10, kCs, kFu, 9, TRUE},
    {MirkPiece::PlaybackMixer, 72, 25, kCs, kMix, 5, TRUE},
    {MirkPiece::PlaybackFeatureUnit, 97, 16, kCs, kFu, 6, TRUE},
    {MirkPiece::PlaybackOutput, 113, 9, kCs, kOt, 3, TRUE},
    {MirkPiece::StereoMixUnit, 122, 13, kCs, kMix, 2, TRUE},
    {MirkPiece::RecordOutput, 135, 9, kCs, kOt, 7, TRUE},
    {MirkPiece::RecordSelector, 144, 10, kCs, kSel, 10, TRUE},
    {MirkPiece::LineTerminal, 154, 12, kCs, kIt, 12, TRUE},
    {MirkPiece::LineRecordUnit, 166, 10, kCs, kFu, 15, TRUE},
    {MirkPiece::LineMonitorUnit, 176, 10, kCs, kFu, 11, TRUE},
    {MirkPiece::SpdifTerminal, 186, 12, kCs, kIt, 14, TRUE},
    {MirkPiece::StereoMixRecordUnit, 198, 10, kCs, kFu, 13, TRUE},
    {MirkPiece::SpdifRecordUnit, 208, 10, kCs, kFu, 16, TRUE},
    {MirkPiece::PlaybackInterface, 218, 9, kIf, 1, 0, FALSE},
    {MirkPiece::Alternate8Ch, 227, 46, kIf, 1, 1, FALSE},
    {MirkPiece::Alternate2Ch, 273, 46, kIf, 1, 2, FALSE},
    {MirkPiece::Alternate4Ch, 319, 46, kIf, 1, 3, FALSE},
    {MirkPiece::Alternate6Ch, 365, 46, kIf, 1, 4, FALSE},
    {MirkPiece::NextBlock, 411, 43, kIf, 1, 5, FALSE},
    {MirkPiece::CaptureInterface, 454, 55, kIf, 2, 0, FALSE},
};
