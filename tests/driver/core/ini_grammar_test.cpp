// The INI line grammar, on lines given directly.
#include "driver/core/ini_grammar.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

ULONG Number(std::string_view token)
{
    return IniParseNumber(token.data(), ULONG(token.size()));
}

struct Parsed
{
    INI_LINE_KIND kind;
    std::string name;
    ULONG type;
    std::vector<uint8_t> data;
};

Parsed Parse(std::string_view line, bool numbersOnly = false)
{
    static IniValue value; // large: kept off the stack, as the reader keeps it in its context
    const INI_LINE_KIND kind = IniParseValueLine(line.data(), ULONG(line.size()), numbersOnly, &value);
    return {kind, std::string(value.Name, value.NameLength), value.Type,
            std::vector<uint8_t>(value.Data, value.Data + value.DataLength)};
}

std::vector<uint8_t> Utf16(std::string_view s)
{
    std::vector<uint8_t> out;
    for (char c : s)
        out.insert(out.end(), {uint8_t(c), 0});
    return out;
}

TEST(IniGrammar, NumberParser)
{
    EXPECT_EQ(Number("48000"), 48000u);
    EXPECT_EQ(Number("0x1234"), 0x1234u);
    EXPECT_EQ(Number("0XfF"), 0xFFu);
    EXPECT_EQ(Number("0xAb"), 0xABu);
    EXPECT_EQ(Number("0xG"), 16u);       // a letter past F counts on as an upper-case digit
    EXPECT_EQ(Number("abc"), 0u);        // no leading decimal digit
    EXPECT_EQ(Number("4294967296"), 0u); // wraps at 32 bits
    EXPECT_EQ(Number("4294967295"), 0xFFFFFFFFu);
    EXPECT_EQ(Number("12a"), 1u * 100 + 2 * 10 + ('a' - '0')); // every character counts as a digit
    EXPECT_EQ(Number("0x"), 0u);
}

TEST(IniGrammar, ValueLinesStoreExactBytesAndTheLastTokensType)
{
    Parsed p = Parse("Rate=48000");
    EXPECT_EQ(p.kind, IniLineValue);
    EXPECT_EQ(p.name, "Rate");
    EXPECT_EQ(p.type, ULONG(REG_BINARY));
    EXPECT_EQ(p.data, (std::vector<uint8_t>{0x80, 0xBB, 0x00, 0x00}));

    p = Parse("  Gain =\t0x1F, 0x20 ; two bytes");
    EXPECT_EQ(p.name, "Gain");
    EXPECT_EQ(p.data, (std::vector<uint8_t>{0x1F, 0x20}));

    p = Parse("HeadPhoneOutName=Headphones");
    EXPECT_EQ(p.type, ULONG(REG_SZ));
    EXPECT_EQ(p.data, Utf16("Headphones"));

    p = Parse("Wide=0x1234"); // six characters: a number, not a byte
    EXPECT_EQ(p.data, (std::vector<uint8_t>{0x34, 0x12, 0x00, 0x00}));

    // Mixed tokens share one write position; the type is the last token's.
    p = Parse("Mix=0x01 AB 2");
    EXPECT_EQ(p.type, ULONG(REG_BINARY));
    std::vector<uint8_t> mix = {0x01, 'A', 0, 'B', 0, 0x02, 0, 0, 0};
    EXPECT_EQ(p.data, mix);
    p = Parse("Mix=1,AB");
    EXPECT_EQ(p.type, ULONG(REG_SZ));
    EXPECT_EQ(p.data, (std::vector<uint8_t>{1, 0, 0, 0, 'A', 0, 'B', 0}));
    p = Parse("Two=Left Right");
    EXPECT_EQ(p.data, Utf16("LeftRight"));

    p = Parse("A=1;2");
    EXPECT_EQ(p.data, (std::vector<uint8_t>{1, 0, 0, 0}));
    p = Parse("Empty=");
    EXPECT_EQ(p.kind, IniLineValue);
    EXPECT_TRUE(p.data.empty());
}

TEST(IniGrammar, CommentsAndInvalidLines)
{
    EXPECT_EQ(Parse("").kind, IniLineSkip);
    EXPECT_EQ(Parse("   \t ").kind, IniLineSkip);
    EXPECT_EQ(Parse("; Rate=1").kind, IniLineSkip);
    EXPECT_EQ(Parse("  ;x").kind, IniLineSkip);
    EXPECT_EQ(Parse("Rate 48000").kind, IniLineInvalid); // no "="
    EXPECT_EQ(Parse("=5").kind, IniLineInvalid);         // no name
    EXPECT_EQ(Parse("Name=" + std::string(79, 'x')).kind, IniLineValue);
    EXPECT_EQ(Parse("Name=" + std::string(80, 'x')).kind, IniLineInvalid);
    EXPECT_EQ(Parse(std::string(255, 'n') + "=1").kind, IniLineValue);
    EXPECT_EQ(Parse(std::string(256, 'n') + "=1").kind, IniLineInvalid);

    std::string numbers = "Table=";
    for (int i = 0; i < 256; ++i)
        numbers += " 1";
    EXPECT_EQ(Parse(numbers).data.size(), 1024u);
    EXPECT_EQ(Parse(numbers + " 1").kind, IniLineInvalid); // 1028 bytes
    EXPECT_EQ(Parse("S=" + std::string(79, 'a') + " " + std::string(79, 'b') + " " + std::string(79, 'c') +
                    " " + std::string(79, 'd') + " " + std::string(79, 'e') + " " + std::string(79, 'f') +
                    " " + std::string(79, 'g'))
                  .kind,
              IniLineInvalid); // 1106 bytes of text
}

TEST(IniGrammar, ParsingStopsAtTheGivenLength)
{
    // The line buffer holds more bytes than the line: none past the length may be taken.
    const std::string buffer = "Rate=48000123";
    static IniValue value;
    ASSERT_EQ(IniParseValueLine(buffer.data(), 10, FALSE, &value), IniLineValue);
    EXPECT_EQ(value.DataLength, 4u);
    EXPECT_EQ(value.Data[0], 0x80);
    EXPECT_EQ(IniParseValueLine(buffer.data(), 4, FALSE, &value), IniLineInvalid); // "Rate", no "="
}

TEST(IniGrammar, DataIsZeroedBeforeEveryLine)
{
    // One record for every line, as the reader keeps it: a version of one byte token, read as a
    // 32-bit value, has its upper bytes zero, and the name is terminated, whatever a longer line
    // left in the record before.
    static IniValue value;
    const std::string big = "Biggest=0xFFFFFFFF 0xFFFFFFFF";
    ASSERT_EQ(IniParseValueLine(big.data(), ULONG(big.size()), FALSE, &value), IniLineValue);
    ASSERT_EQ(IniParseValueLine("V=0x04", 6, TRUE, &value), IniLineValue);
    EXPECT_EQ(value.DataLength, 1u);
    EXPECT_EQ(value.Data[0] | value.Data[1] << 8 | value.Data[2] << 16 | value.Data[3] << 24, 4);
    EXPECT_STREQ(value.Name, "V");

    // With numbers only, a word is the number 0.
    const Parsed p = Parse("Version=four 5", true);
    EXPECT_EQ(p.type, ULONG(REG_BINARY));
    EXPECT_EQ(p.data, (std::vector<uint8_t>{0, 0, 0, 0, 5, 0, 0, 0}));
}

TEST(IniGrammar, DeviceLineNeedsTheWholeKeyAndAnEqualsSign)
{
    const std::string key = "USB\\VID_5A4C&PID_0610&REV_0100";
    CHAR name[INI_MAX_SECTION_NAME + 1];
    auto match = [&](std::string_view line)
    {
        std::fill(std::begin(name), std::end(name), '#');
        return IniMatchDeviceLine(line.data(), ULONG(line.size()), key.data(), ULONG(key.size()), name) !=
               FALSE;
    };
    ASSERT_TRUE(match(key + "=Headset610"));
    EXPECT_STREQ(name, "Headset610");
    ASSERT_TRUE(match("usb\\vid_5a4c&pid_0610&rev_0100 \t=  Headset610\t; the 610"));
    EXPECT_STREQ(name, "Headset610");
    EXPECT_FALSE(match(key + "&MI_01=Other")); // a longer identifier is another device
    EXPECT_FALSE(match(key + "1=Other"));
    EXPECT_FALSE(match(key + " Headset610"));
    EXPECT_FALSE(match(key + "="));
    EXPECT_FALSE(match(" " + key + "=Headset610")); // the key starts the line
    EXPECT_TRUE(match(key + "=" + std::string(49, 's')));
    EXPECT_FALSE(match(key + "=" + std::string(50, 's'))); // cutting it could pick another section
    EXPECT_FALSE(match("USB\\VID_5A4C"));
    EXPECT_FALSE(IniMatchDeviceLine("=X", 2, "", 0, name));
}

TEST(IniGrammar, DeviceSectionHeaders)
{
    CHAR sub[INI_MAX_SUBKEY_NAME + 1];
    auto classify = [&](std::string_view line)
    { return IniMatchDeviceSection(line.data(), ULONG(line.size()), "Headset610", sub); };
    EXPECT_EQ(classify("[Headset610]"), IniSectionRoot);
    EXPECT_EQ(classify("[Headset610] ; root"), IniSectionRoot);
    EXPECT_EQ(classify("[Headset610:EQ]"), IniSectionSubKey);
    EXPECT_STREQ(sub, "EQ");
    EXPECT_EQ(classify("[Headset610:]"), IniSectionRoot);
    EXPECT_EQ(classify("[headset610]"), IniSectionOther); // headers compare with case
    EXPECT_EQ(classify("[Headset6100]"), IniSectionOther);
    EXPECT_EQ(classify("[Headset610:EQ"), IniSectionOther);
    EXPECT_EQ(classify("[Headset61"), IniSectionOther);
    EXPECT_EQ(classify("[VERSION]"), IniSectionOther);
    EXPECT_EQ(classify("[Headset610:" + std::string(100, 'k') + "]"), IniSectionSubKey);
    EXPECT_EQ(std::string(sub), std::string(79, 'k'));
}

} // namespace
