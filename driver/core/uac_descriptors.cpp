#include "driver/core/uac_descriptors.h"

namespace
{

// One row: the descriptor's minimum is Fixed, plus PerCount times the byte at CountAt when the row has
// a count. A format-type row names the format types it covers (bit n for type n); ZeroCount is the
// minimum when the count is 0 (a continuous rate range).
struct LengthRow
{
    UacVersion Version;
    UacInterface Interface;
    UCHAR Subtype;
    UCHAR FormatTypes; // 0: any
    UCHAR Fixed;
    UCHAR CountAt; // 0: no count
    UCHAR PerCount;
    UCHAR ZeroCount; // 0: Fixed
};

constexpr UCHAR kTypesOneAndThree = (1u << UAC_FORMAT_TYPE_I) | (1u << UAC_FORMAT_TYPE_III);
constexpr UacVersion V1 = UacVersion::Uac1, V2 = UacVersion::Uac2;
constexpr UacInterface AC = UacInterface::Control, AS = UacInterface::Streaming;

constexpr LengthRow kRows[] = {
    {V1, AC, UAC_HEADER, 0, 8, 7, 1, 0}, // bInCollection interface numbers
    {V1, AC, UAC_INPUT_TERMINAL, 0, 12, 0, 0, 0},
    {V1, AC, UAC_OUTPUT_TERMINAL, 0, 9, 0, 0, 0},
    {V1, AC, UAC_MIXER_UNIT, 0, 10, 4, 1, 0},   // bNrInPins source IDs
    {V1, AC, UAC_SELECTOR_UNIT, 0, 6, 4, 1, 0}, // bNrInPins source IDs
    {V1, AC, UAC_FEATURE_UNIT, 0, 7, 5, 1, 0},  // the master's bControlSize bytes
    {V2, AC, UAC_HEADER, 0, 9, 0, 0, 0},
    {V2, AC, UAC_INPUT_TERMINAL, 0, 17, 0, 0, 0},
    {V2, AC, UAC_OUTPUT_TERMINAL, 0, 12, 0, 0, 0},
    {V2, AC, UAC_MIXER_UNIT, 0, 13, 4, 1, 0},
    {V2, AC, UAC_SELECTOR_UNIT, 0, 7, 4, 1, 0},
    {V2, AC, UAC_FEATURE_UNIT, 0, 10, 0, 0, 0}, // the master's four control bytes
    {V2, AC, UAC2_EXTENSION_UNIT, 0, 15, 6, 1, 0},
    {V2, AC, UAC2_CLOCK_SOURCE, 0, 8, 0, 0, 0},
    {V1, AS, UAC_AS_GENERAL, 0, 7, 0, 0, 0},
    {V1, AS, UAC_FORMAT_TYPE, kTypesOneAndThree, 8, 7, 3, 14}, // 3-byte rates, or one range
    {V2, AS, UAC_AS_GENERAL, 0, 16, 0, 0, 0},
    {V2, AS, UAC_FORMAT_TYPE, kTypesOneAndThree, 6, 0, 0, 0},
};

// The byte a row keys on beyond the subtype: the format type at byte 3.
constexpr ULONG kFormatTypeAt = 3;

} // namespace

ULONG ClassDescriptorMinimum(UacVersion version, UacInterface interfaceKind, const UCHAR *descriptor,
                             ULONG length)
{
    if (!descriptor || length < 3)
        return 0;
    for (const LengthRow &row : kRows)
    {
        if (row.Version != version || row.Interface != interfaceKind || row.Subtype != descriptor[2])
            continue;
        if (row.FormatTypes)
        {
            if (length <= kFormatTypeAt)
                return ULONG(-1);
            const UCHAR type = descriptor[kFormatTypeAt];
            if (type >= 8 || !(row.FormatTypes & (1u << type)))
                continue;
        }
        if (!row.CountAt)
            return row.Fixed;
        if (length <= row.CountAt)
            return ULONG(-1);
        const ULONG count = descriptor[row.CountAt];
        if (count == 0 && row.ZeroCount)
            return row.ZeroCount;
        return row.Fixed + count * row.PerCount;
    }
    return 0;
}

NTSTATUS ValidateClassDescriptor(UacVersion version, UacInterface interfaceKind, const UCHAR *descriptor,
                                 ULONG remaining)
{
    if (!descriptor || remaining < 2)
        return STATUS_UNSUCCESSFUL;
    const ULONG length = descriptor[0];
    const UCHAR type = descriptor[1];
    // A zero length would never advance the walk; one byte cannot hold the type.
    if (length < 2 || length > remaining)
        return STATUS_UNSUCCESSFUL;
    switch (type)
    {
    case USB_INTERFACE_DESCRIPTOR_TYPE:
        return length >= UAC_INTERFACE_LENGTH ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    case USB_ENDPOINT_DESCRIPTOR_TYPE:
        return length >= UAC_ENDPOINT_LENGTH ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    case USB_CS_INTERFACE_DESCRIPTOR_TYPE:
    {
        if (length < 3)
            return STATUS_UNSUCCESSFUL;
        const ULONG minimum = ClassDescriptorMinimum(version, interfaceKind, descriptor, length);
        return length >= minimum ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    default:
        return STATUS_SUCCESS;
    }
}
