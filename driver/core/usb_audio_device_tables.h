// Every device table of the USB audio device classes in one place: which class a class 1.0 device
// gets, the capability words each class detects, the Mirk chip's quirks and configuration layout,
// and the fixed terminal capabilities of single devices. The code only looks rows up.
#pragma once

#include <nt_types.h>

#include "driver/core/usb_audio_device.h"

// ---- Class selection -------------------------------------------------------------------------------------
// A class 1.0 device's identification string begins with these code units.
struct IdStringRow
{
    WCHAR Prefix[8]; // zero-terminated
    UsbAudioDeviceClass DeviceClass;
};
extern const IdStringRow kIdStringRows[];
extern const ULONG kIdStringRowCount;

// ---- Capability words ------------------------------------------------------------------------------------
// A vendor with a product range and what it sets.
struct CapsRow
{
    USHORT VendorId;
    USHORT FirstProduct, LastProduct;
    ULONG Mask, Second, Third;
};
// The generic class 1.0 device whose strings are both unreadable.
extern const CapsRow kStringlessRows[];
extern const ULONG kStringlessRowCount;
// The Grue family's explicit rows (the devices it is created for) and its default.
extern const CapsRow kGrueRows[];
extern const ULONG kGrueRowCount;
extern const CapsRow kGrueDefault;
// Tesh: its one listed device and the default.
extern const CapsRow kTeshRow;
extern const ULONG kTeshDefaultMask;
inline constexpr ULONG kDovaMask = 0x3FE02F, kDovaSecond = 12;
inline constexpr ULONG kPlonMask = 0x28200;

// "Huld" strings with the revision byte: the base mask, then per device an and/or step of the mask
// and an and-step of the third word.
inline constexpr WCHAR kHuldPrefix[] = u"Huld";
inline constexpr UCHAR kHuldRevision = 0x1F;
inline constexpr ULONG kHuldMask = 0x3E10A0;
struct HuldRow
{
    USHORT VendorId;
    USHORT FirstProduct, LastProduct;
    ULONG MaskAnd, MaskOr, ThirdAnd;
};
extern const HuldRow kHuldRows[];
extern const ULONG kHuldRowCount;

// "SVQ4RT" strings: bits 1-3 of byte A pick the row; bit 1 of byte B must be clear.
inline constexpr WCHAR kSvq4rtPrefix[] = u"SVQ4RT";
struct Svq4rtRow
{
    UCHAR ModelBits; // (A & 0x0E)
    ULONG Mask;
    BOOLEAN SetsThird;
    ULONG Third;
};
extern const Svq4rtRow kSvq4rtRows[];
extern const ULONG kSvq4rtRowCount;

// The class 2.0 device's chip strings (first four characters of string 0x32).
struct Uac2ChipRow
{
    WCHAR Name[5];
    CUac2Device::Chip Chip;
    ULONG Mask, Third;
};
extern const Uac2ChipRow kUac2ChipRows[];
extern const ULONG kUac2ChipRowCount;

// ---- Terminal capabilities -------------------------------------------------------------------------------
// Class 2.0 devices with a fixed answer per terminal type: the mask of types 1, 2, 3, 6 and 7 and
// one third word for all of them; other types answer zeros.
struct FixedCapsRow
{
    USHORT VendorId, ProductId;
    ULONG MaskType1, MaskType2, MaskType7;
    ULONG Third;
};
extern const FixedCapsRow kUac2FixedCapsRows[];
extern const ULONG kUac2FixedCapsRowCount;

// ---- The Mirk chip
// ----------------------------------------------------------------------------------------- The settings
// flags' registry names and defaults, in MirkFlag order.
struct MirkFlagRow
{
    PCWSTR ValueName;
    ULONG Default;
};
extern const MirkFlagRow kMirkFlagRows[MIRK_FLAG_COUNT];

inline constexpr USHORT kMirkRegisterDefaults[MIRK_REGISTER_COUNT] = {0x2004, 0x3002, 0xF800,
                                                                      0x143F, 0x0000, 0x3000};

inline constexpr ULONG MirkBit(MirkFlag flag)
{
    return 1u << flag;
}
// One quirk: a vendor/product (vendor 0 matches every device), whether it needs the matching chip
// revision, the flags set and cleared, an optional mask, register entry 1, and the status thread.
struct MirkQuirkRow
{
    USHORT VendorId, ProductId;
    BOOLEAN NeedsRevision;
    ULONG SetFlags, ClearFlags;
    BOOLEAN SetsMask;
    ULONG Mask;
    USHORT Register1; // 0: unchanged
    BOOLEAN WantsStatusThread;
};
extern const MirkQuirkRow kMirkQuirkRows[];
extern const ULONG kMirkQuirkRowCount;
inline constexpr ULONG kMirkMask = 0x3FE08F;

// The chip's fixed configuration layout: each descriptor's source offset, length, and the bytes that
// identify it (descriptor type, then bytes 2 and 3: subtype and ID, or interface and alternate).
enum class MirkPiece
{
    Head,
    PlaybackTerminal,
    MicTerminal,
    MicRecordUnit,
    MicMonitorUnit,
    PlaybackMixer,
    PlaybackFeatureUnit,
    PlaybackOutput,
    StereoMixUnit,
    RecordOutput,
    RecordSelector,
    LineTerminal,
    LineRecordUnit,
    LineMonitorUnit,
    SpdifTerminal,
    StereoMixRecordUnit,
    SpdifRecordUnit,
    PlaybackInterface,
    Alternate8Ch,
    Alternate2Ch,
    Alternate4Ch,
    Alternate6Ch,
    NextBlock,
    CaptureInterface,
    Count
};
struct MirkLayoutRow
{
    MirkPiece Piece;
    USHORT Offset, Length;
    UCHAR Type, Byte2, Byte3;
    BOOLEAN ControlInterface; // counted in the class header's total
};
extern const MirkLayoutRow kMirkLayout[ULONG(MirkPiece::Count)];
inline constexpr ULONG kMirkConfigBytes = 509;
inline constexpr ULONG kMirkScratchBytes = 4096;
inline constexpr ULONG kMirkHeaderOffset = 18; // the class header inside the head piece
