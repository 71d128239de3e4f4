// The INI settings file's line grammar: value lines, the number parser, the device map line and
// device section headers. Every function works on one line's bytes without its CR LF and never
// reads past the given length.
#pragma once

#include <ntkernel.h>

#define INI_MAX_LINE 4096       // bytes of one line, without its CR LF
#define INI_MAX_TOKEN 79        // characters of one value token
#define INI_MAX_VALUE_DATA 1024 // bytes of one value's data
#define INI_MAX_VALUE_NAME 255  // characters of one value name
#define INI_MAX_SECTION_NAME 49 // characters of a device's section name
#define INI_MAX_SUBKEY_NAME 79  // characters of a section's sub-key name

// One parsed value line. The data buffer is zeroed before every parse, so a short value read as
// a 32-bit number has its upper bytes at zero.
struct IniValue
{
    CHAR Name[INI_MAX_VALUE_NAME + 1]; // terminated
    ULONG NameLength;
    ULONG Type; // REG_SZ when the last token is a string, else REG_BINARY
    UCHAR Data[INI_MAX_VALUE_DATA];
    ULONG DataLength;
};

enum INI_LINE_KIND
{
    IniLineSkip,    // empty or comment
    IniLineInvalid, // not a value line, too long a token, too much data
    IniLineValue,
};

// Decimal, or hexadecimal after "0x"/"0X"; wraps at 32 bits. A hexadecimal character that is not
// a digit or "a".."f" counts as an upper-case letter (its code minus 55); without the prefix every
// character counts as a decimal digit, and a first character that is not one gives 0.
ULONG IniParseNumber(const CHAR *Token, ULONG Length);

// name [blanks] "=" [blanks] token {separator token} [";" comment]. Tokens: exactly four characters
// beginning "0x" give one byte, a first character that is not a digit gives a string (UTF-16, no
// terminator; with NumbersOnly the number 0 instead), anything else a 32-bit little-endian number.
// All tokens share one write position, in order.
INI_LINE_KIND IniParseValueLine(const CHAR *Line, ULONG Length, BOOLEAN NumbersOnly, IniValue *Value);

// TRUE when the line begins with Header (Length bytes, compared exactly).
BOOLEAN IniLineStartsWith(const CHAR *Line, ULONG Length, const CHAR *Header, ULONG HeaderLength);

// A device map line: the device key (upper case; the line compares without case), optional blanks
// or tabs, "=", optional blanks or tabs, the section name up to a blank, tab or ";". On a match the
// name (1..INI_MAX_SECTION_NAME characters) is stored terminated in SectionName.
BOOLEAN IniMatchDeviceLine(const CHAR *Line, ULONG Length, const CHAR *DeviceKey, ULONG DeviceKeyLength,
                           CHAR (&SectionName)[INI_MAX_SECTION_NAME + 1]);

enum INI_SECTION_MATCH
{
    IniSectionOther,
    IniSectionRoot,   // "[name]": values go directly into the settings key
    IniSectionSubKey, // "[name:sub]": values go into that sub-key
};

// Classifies a header line against a device's section name. For IniSectionSubKey the sub-key name
// (cut to INI_MAX_SUBKEY_NAME characters) is stored terminated in SubKey.
INI_SECTION_MATCH IniMatchDeviceSection(const CHAR *Line, ULONG Length, const CHAR *SectionName,
                                        CHAR (&SubKey)[INI_MAX_SUBKEY_NAME + 1]);
