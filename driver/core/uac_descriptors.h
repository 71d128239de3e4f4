// The audio-class descriptor codes the walks read, and the one length check every walk makes before
// it reads a field of a descriptor: each class descriptor has a minimum that its fixed part, and for
// counted descriptors the count in that fixed part, sets (USB Audio Class 1.0 and 2.0 documents).
#pragma once

#include <ntkernel.h>
#include <usb_descriptors.h>

enum class UacVersion : UCHAR
{
    Uac1,
    Uac2,
};

enum class UacInterface : UCHAR
{
    Control,
    Streaming,
};

// AudioControl subtypes.
enum : UCHAR
{
    UAC_HEADER = 0x01,
    UAC_INPUT_TERMINAL = 0x02,
    UAC_OUTPUT_TERMINAL = 0x03,
    UAC_MIXER_UNIT = 0x04,
    UAC_SELECTOR_UNIT = 0x05,
    UAC_FEATURE_UNIT = 0x06,
    UAC1_PROCESSING_UNIT = 0x07,
    UAC1_EXTENSION_UNIT = 0x08,
    UAC2_EFFECT_UNIT = 0x07,
    UAC2_PROCESSING_UNIT = 0x08,
    UAC2_EXTENSION_UNIT = 0x09,
    UAC2_CLOCK_SOURCE = 0x0A,
    UAC2_CLOCK_SELECTOR = 0x0B,
    UAC2_CLOCK_MULTIPLIER = 0x0C,
    UAC2_SAMPLE_RATE_CONVERTER = 0x0D,
};

// AudioStreaming subtypes and format types.
enum : UCHAR
{
    UAC_AS_GENERAL = 0x01,
    UAC_FORMAT_TYPE = 0x02,
    UAC_FORMAT_TYPE_I = 0x01,
    UAC_FORMAT_TYPE_III = 0x03,
};

inline constexpr UCHAR UAC_INTERFACE_LENGTH = 9;
inline constexpr UCHAR UAC_ENDPOINT_LENGTH = 7;

// Checks the descriptor at `descriptor`, of which `remaining` bytes lie inside the configuration:
// - fewer than 2 bytes left, a bLength below 2 (below 3 for CS_INTERFACE, which must hold its
//   subtype), or a bLength beyond `remaining`: STATUS_UNSUCCESSFUL, the walk cannot go on;
// - an INTERFACE below 9 bytes, an ENDPOINT below 7, or a class descriptor shorter than its row
//   (or too short to hold the count its length depends on): STATUS_INVALID_PARAMETER;
// - anything else, including subtypes no row names, which the walks skip: STATUS_SUCCESS.
// Reads nothing outside [descriptor, descriptor + remaining).
NTSTATUS ValidateClassDescriptor(UacVersion version, UacInterface interfaceKind, const UCHAR *descriptor,
                                 ULONG remaining);

// The smallest bLength the descriptor's row allows, reading only its first `length` bytes: 0 when no
// row names it, ULONG(-1) when `length` does not reach the count the row needs.
ULONG ClassDescriptorMinimum(UacVersion version, UacInterface interfaceKind, const UCHAR *descriptor,
                             ULONG length);
