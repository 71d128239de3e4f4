// The string-descriptor rules on byte buffers: what the device claims (bLength), what it sent and
// what the buffer holds all bound the text.
#include <gtest/gtest.h>

#include <vector>

#include "driver/core/usb_descriptor_reader.h"

namespace
{

ULONG Check(const std::vector<UCHAR> &bytes, ULONG returned, ULONG buffer, NTSTATUS *status)
{
    ULONG characters = 99;
    *status = UsbCheckStringDescriptor(bytes.data(), returned, buffer, &characters);
    return characters;
}

} // namespace

TEST(UsbStringDescriptor, CharactersAreBoundByBLengthBytesReturnedAndBuffer)
{
    // bLength 10 = 4 characters.
    std::vector<UCHAR> d = {10, 3, 'a', 0, 'b', 0, 'c', 0, 'd', 0, 'e', 0};
    EXPECT_EQ(UsbStringCharacters(d.data(), 12, 12), 4u);
    EXPECT_EQ(UsbStringCharacters(d.data(), 7, 12), 2u); // 7 bytes came: 2 whole characters
    EXPECT_EQ(UsbStringCharacters(d.data(), 12, 6), 2u); // the buffer holds 6 bytes
    d[0] = 255;                                          // claims far more than came
    EXPECT_EQ(UsbStringCharacters(d.data(), 12, 260), 5u);
    EXPECT_EQ(UsbStringCharacters(d.data(), 260, 260), 126u);
    for (UCHAR b : {UCHAR(0), UCHAR(1), UCHAR(2)})
    {
        d[0] = b;
        EXPECT_EQ(UsbStringCharacters(d.data(), 12, 12), 0u) << int(b);
    }
    d[0] = 3; // odd: the half character is dropped
    EXPECT_EQ(UsbStringCharacters(d.data(), 12, 12), 0u);
    d[0] = 5;
    EXPECT_EQ(UsbStringCharacters(d.data(), 12, 12), 1u);
    EXPECT_EQ(UsbStringCharacters(d.data(), 0, 12), 0u);
    EXPECT_EQ(UsbStringCharacters(d.data(), 12, 0), 0u);
}

TEST(UsbStringDescriptor, OnlyAWellFormedStringIsReadable)
{
    NTSTATUS status;
    std::vector<UCHAR> d = {6, 3, 'h', 0, 'i', 0};
    EXPECT_EQ(Check(d, 6, 260, &status), 2u);
    EXPECT_EQ(status, STATUS_SUCCESS);
    d[1] = 2; // a configuration descriptor is no string
    EXPECT_EQ(Check(d, 6, 260, &status), 0u);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    d[1] = 3;
    for (UCHAR b : {UCHAR(0), UCHAR(1)})
    {
        d[0] = b;
        EXPECT_EQ(Check(d, 6, 260, &status), 0u);
        EXPECT_EQ(status, STATUS_UNSUCCESSFUL) << int(b);
    }
    d[0] = 2; // an empty string is a string
    EXPECT_EQ(Check(d, 6, 260, &status), 0u);
    EXPECT_EQ(status, STATUS_SUCCESS);
    d[0] = 6;
    EXPECT_EQ(Check(d, 1, 260, &status), 0u); // one byte: not even a type
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Check(d, 6, 1, &status), 0u); // the buffer itself holds only one byte
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
}
