// The class-descriptor length check: every row at its minimum and one byte below, counted rows at
// the count's edges, the walk-stopping lengths, and golden descriptors laid out as the public class
// documents show them.
#include "driver/core/uac_descriptors.h"

#include <gtest/gtest.h>
#include <sim/usb_builders.h>
#include <usbd_lib.h>

#include <vector>

namespace
{

using Bytes = std::vector<UCHAR>;
constexpr UacVersion V1 = UacVersion::Uac1, V2 = UacVersion::Uac2;
constexpr UacInterface AC = UacInterface::Control, AS = UacInterface::Streaming;

// A class descriptor of `length` bytes with `subtype`; `patch` sets bytes after the header.
Bytes ClassDescriptor(UCHAR length, UCHAR subtype, std::vector<std::pair<size_t, UCHAR>> patch = {})
{
    Bytes b(length < 3 ? 3 : length, 0);
    b[0] = length;
    b[1] = USB_CS_INTERFACE_DESCRIPTOR_TYPE;
    b[2] = subtype;
    for (auto [at, value] : patch)
    {
        if (at >= b.size())
            b.resize(at + 1, 0);
        b[at] = value;
    }
    return b;
}

NTSTATUS Check(UacVersion v, UacInterface i, const Bytes &b)
{
    return ValidateClassDescriptor(v, i, b.data(), ULONG(b.size()));
}

// The row's minimum passes and one byte less is refused as malformed.
void ExpectMinimum(UacVersion v, UacInterface i, UCHAR subtype, ULONG minimum,
                   std::vector<std::pair<size_t, UCHAR>> patch = {})
{
    SCOPED_TRACE("subtype " + std::to_string(subtype) + " minimum " + std::to_string(minimum));
    Bytes b = ClassDescriptor(UCHAR(minimum), subtype, patch);
    b.resize(std::max<size_t>(b.size(), minimum));
    EXPECT_EQ(Check(v, i, b), STATUS_SUCCESS);
    Bytes shorter = b;
    shorter[0] = UCHAR(minimum - 1);
    EXPECT_EQ(Check(v, i, shorter), STATUS_INVALID_PARAMETER);
}

TEST(UacDescriptorLengths, FixedRowsAcceptTheirMinimumAndRefuseOneByteLess)
{
    ExpectMinimum(V1, AC, UAC_INPUT_TERMINAL, 12);
    ExpectMinimum(V1, AC, UAC_OUTPUT_TERMINAL, 9);
    ExpectMinimum(V2, AC, UAC_HEADER, 9);
    ExpectMinimum(V2, AC, UAC_INPUT_TERMINAL, 17);
    ExpectMinimum(V2, AC, UAC_OUTPUT_TERMINAL, 12);
    ExpectMinimum(V2, AC, UAC_FEATURE_UNIT, 10);
    ExpectMinimum(V2, AC, UAC2_CLOCK_SOURCE, 8);
    ExpectMinimum(V1, AS, UAC_AS_GENERAL, 7);
    ExpectMinimum(V2, AS, UAC_AS_GENERAL, 16);
    ExpectMinimum(V2, AS, UAC_FORMAT_TYPE, 6, {{3, UAC_FORMAT_TYPE_I}});
    ExpectMinimum(V2, AS, UAC_FORMAT_TYPE, 6, {{3, UAC_FORMAT_TYPE_III}});
    // The same subtype means another unit in the other class version.
    ExpectMinimum(V2, AC, UAC2_EXTENSION_UNIT, 15);
    EXPECT_EQ(Check(V1, AC, ClassDescriptor(3, UAC2_EXTENSION_UNIT)), STATUS_SUCCESS);
}

TEST(UacDescriptorLengths, CountedRowsFollowTheirCount)
{
    for (UCHAR p : {UCHAR(0), UCHAR(1), UCHAR(255)})
    {
        SCOPED_TRACE("count " + std::to_string(p));
        if (8 + p <= 255)
            ExpectMinimum(V1, AC, UAC_HEADER, 8 + p, {{7, p}});
        if (10 + p <= 255)
            ExpectMinimum(V1, AC, UAC_MIXER_UNIT, 10 + p, {{4, p}});
        if (13 + p <= 255)
            ExpectMinimum(V2, AC, UAC_MIXER_UNIT, 13 + p, {{4, p}});
        if (6 + p <= 255)
            ExpectMinimum(V1, AC, UAC_SELECTOR_UNIT, 6 + p, {{4, p}});
        if (7 + p <= 255)
            ExpectMinimum(V2, AC, UAC_SELECTOR_UNIT, 7 + p, {{4, p}});
        if (7 + p <= 255)
            ExpectMinimum(V1, AC, UAC_FEATURE_UNIT, 7 + p, {{5, p}});
        if (15 + p <= 255)
            ExpectMinimum(V2, AC, UAC2_EXTENSION_UNIT, 15 + p, {{6, p}});
        if (8 + 3 * p <= 255 && p)
            ExpectMinimum(V1, AS, UAC_FORMAT_TYPE, 8 + 3 * p, {{3, UAC_FORMAT_TYPE_I}, {7, p}});
    }
    // A count of 255 asks for more than any descriptor can hold.
    Bytes huge = ClassDescriptor(255, UAC_MIXER_UNIT, {{4, 255}});
    EXPECT_EQ(Check(V1, AC, huge), STATUS_INVALID_PARAMETER);
    // A continuous range needs both bounds; type III has the same rule, type II no row.
    ExpectMinimum(V1, AS, UAC_FORMAT_TYPE, 14, {{3, UAC_FORMAT_TYPE_I}, {7, 0}});
    ExpectMinimum(V1, AS, UAC_FORMAT_TYPE, 14, {{3, UAC_FORMAT_TYPE_III}, {7, 0}});
    EXPECT_EQ(Check(V1, AS, ClassDescriptor(4, UAC_FORMAT_TYPE, {{3, 2}})), STATUS_SUCCESS);
    // A descriptor too short to hold its own count is malformed, whatever lies beyond it.
    Bytes cut = ClassDescriptor(5, UAC_FEATURE_UNIT, {{5, 1}, {6, 0}});
    EXPECT_EQ(Check(V1, AC, cut), STATUS_INVALID_PARAMETER);
}

TEST(UacDescriptorLengths, LengthsThatCannotBeWalkedStopTheWalk)
{
    for (UCHAR length : {UCHAR(0), UCHAR(1)})
    {
        Bytes b = {length, USB_CS_ENDPOINT_DESCRIPTOR_TYPE, 0, 0};
        EXPECT_EQ(Check(V1, AS, b), STATUS_UNSUCCESSFUL) << int(length);
    }
    // A class-specific interface descriptor must hold its subtype.
    EXPECT_EQ(Check(V1, AC, Bytes{2, USB_CS_INTERFACE_DESCRIPTOR_TYPE, 9}), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Check(V1, AC, Bytes{3, USB_CS_INTERFACE_DESCRIPTOR_TYPE, UAC_HEADER}),
              STATUS_INVALID_PARAMETER);
    // Longer than what is left of the configuration, or one lone byte left.
    EXPECT_EQ(ValidateClassDescriptor(V1, AC, Bytes{9, 4, 0, 0}.data(), 4), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ValidateClassDescriptor(V1, AC, Bytes{2}.data(), 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ValidateClassDescriptor(V1, AC, nullptr, 9), STATUS_UNSUCCESSFUL);
    // Standard descriptors the walks read: interface 9, endpoint 7; others only need to be walkable.
    EXPECT_EQ(Check(V1, AS, Bytes{8, 4, 0, 0, 0, 0, 0, 0}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Check(V1, AS, Bytes{6, 5, 0, 0, 0, 0}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Check(V1, AS, Bytes{7, 5, 0, 0, 0, 0, 0}), STATUS_SUCCESS);
    EXPECT_EQ(Check(V1, AS, Bytes{2, USB_CS_ENDPOINT_DESCRIPTOR_TYPE}), STATUS_SUCCESS);
}

// Descriptors laid out as the class documents' example devices show them.
TEST(UacDescriptorLengths, GoldenDescriptorsPass)
{
    const std::vector<std::pair<UacVersion, std::pair<UacInterface, Bytes>>> golden = {
        // 1.0: header with one streaming interface, microphone input terminal, USB streaming output
        // terminal, feature unit with master mute and volume, AS_GENERAL PCM, type I with one rate.
        {V1, {AC, {0x09, 0x24, 0x01, 0x00, 0x01, 0x1E, 0x00, 0x01, 0x01}}},
        {V1, {AC, {0x0C, 0x24, 0x02, 0x01, 0x01, 0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}}},
        {V1, {AC, {0x09, 0x24, 0x03, 0x02, 0x01, 0x01, 0x00, 0x03, 0x00}}},
        {V1, {AC, {0x09, 0x24, 0x06, 0x03, 0x01, 0x01, 0x03, 0x00, 0x00}}},
        {V1, {AC, {0x07, 0x24, 0x05, 0x04, 0x01, 0x03, 0x00}}},
        {V1, {AS, {0x07, 0x24, 0x01, 0x02, 0x01, 0x01, 0x00}}},
        {V1, {AS, {0x0B, 0x24, 0x02, 0x01, 0x01, 0x02, 0x10, 0x01, 0x40, 0x1F, 0x00}}},
        // 2.0: header, clock source, input terminal, output terminal, stereo feature unit,
        // AS_GENERAL, type I.
        {V2, {AC, {0x09, 0x24, 0x01, 0x00, 0x02, 0x08, 0x40, 0x00, 0x00}}},
        {V2, {AC, {0x08, 0x24, 0x0A, 0x0A, 0x03, 0x07, 0x00, 0x00}}},
        {V2,
         {AC,
          {0x11, 0x24, 0x02, 0x01, 0x01, 0x01, 0x00, 0x0A, 0x02, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
           0x00}}},
        {V2, {AC, {0x0C, 0x24, 0x03, 0x03, 0x02, 0x03, 0x00, 0x02, 0x0A, 0x00, 0x00, 0x00}}},
        {V2,
         {AC,
          {0x12, 0x24, 0x06, 0x02, 0x01, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
           0x00, 0x00}}},
        {V2,
         {AS,
          {0x10, 0x24, 0x01, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x02, 0x03, 0x00, 0x00, 0x00, 0x00}}},
        {V2, {AS, {0x06, 0x24, 0x02, 0x01, 0x02, 0x10}}},
    };
    for (const auto &[version, entry] : golden)
        EXPECT_EQ(Check(version, entry.first, entry.second), STATUS_SUCCESS) << int(entry.second[2]);
}

// Every descriptor of the virtual headsets passes where its interface puts it.
TEST(UacDescriptorLengths, VirtualHeadsetsPass)
{
    for (bool uac2 : {false, true})
    {
        const usbsim::Bytes config =
            uac2 ? usbsim::BuildUac2Headset().configuration : usbsim::BuildUac1Headset().configuration;
        const UacVersion version = uac2 ? V2 : V1;
        UacInterface kind = AC;
        size_t at = 9;
        while (at < config.size())
        {
            const UCHAR *d = config.data() + at;
            if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[0] >= 9 && d[5] == USB_DEVICE_CLASS_AUDIO)
                kind = d[6] == USB_AUDIO_SUBCLASS_AUDIOCONTROL ? AC : AS;
            EXPECT_EQ(ValidateClassDescriptor(version, kind, d, ULONG(config.size() - at)), STATUS_SUCCESS)
                << "offset " << at;
            ASSERT_GE(d[0], 2);
            at += d[0];
        }
    }
}

} // namespace
