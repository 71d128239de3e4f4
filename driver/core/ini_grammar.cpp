// INI settings file grammar.
#include "driver/core/ini_grammar.h"

namespace
{

bool IsBlank(CHAR c)
{
    return c == ' ' || c == '\t';
}

bool IsDigit(CHAR c)
{
    return c >= '0' && c <= '9';
}

bool HasHexPrefix(const CHAR *Token, ULONG Length)
{
    return Length >= 2 && Token[0] == '0' && (Token[1] == 'x' || Token[1] == 'X');
}

ULONG SkipBlanks(const CHAR *Line, ULONG Length, ULONG Position)
{
    while (Position < Length && IsBlank(Line[Position]))
        ++Position;
    return Position;
}

CHAR UpperAscii(CHAR c)
{
    return c >= 'a' && c <= 'z' ? CHAR(c - 'a' + 'A') : c;
}

} // namespace

ULONG IniParseNumber(const CHAR *Token, ULONG Length)
{
    ULONG value = 0;
    if (HasHexPrefix(Token, Length))
    {
        for (ULONG i = 2; i < Length; ++i)
        {
            const CHAR c = Token[i];
            ULONG digit;
            if (IsDigit(c))
                digit = ULONG(c - '0');
            else if (c >= 'a' && c <= 'f')
                digit = ULONG(c - 'a' + 10);
            else
                digit = ULONG(UCHAR(c)) - 55;
            value = value * 16 + digit;
        }
        return value;
    }
    if (Length == 0 || !IsDigit(Token[0]))
        return 0;
    for (ULONG i = 0; i < Length; ++i)
        value = value * 10 + (ULONG(UCHAR(Token[i])) - ULONG('0'));
    return value;
}

INI_LINE_KIND IniParseValueLine(const CHAR *Line, ULONG Length, BOOLEAN NumbersOnly, IniValue *Value)
{
    RtlZeroMemory(Value, sizeof(*Value));
    Value->Type = REG_BINARY;

    ULONG pos = SkipBlanks(Line, Length, 0);
    if (pos == Length || Line[pos] == ';')
        return IniLineSkip;

    const ULONG nameStart = pos;
    while (pos < Length && !IsBlank(Line[pos]) && Line[pos] != '=')
        ++pos;
    const ULONG nameLength = pos - nameStart;
    if (nameLength == 0 || nameLength > INI_MAX_VALUE_NAME)
        return IniLineInvalid;
    RtlCopyMemory(Value->Name, Line + nameStart, nameLength);
    Value->NameLength = nameLength;

    pos = SkipBlanks(Line, Length, pos);
    if (pos == Length || Line[pos] != '=')
        return IniLineInvalid;
    ++pos;

    ULONG write = 0;
    for (;;)
    {
        while (pos < Length && (IsBlank(Line[pos]) || Line[pos] == ','))
            ++pos;
        if (pos == Length || Line[pos] == ';')
            break;
        const ULONG tokenStart = pos;
        while (pos < Length && !IsBlank(Line[pos]) && Line[pos] != ',' && Line[pos] != ';')
            ++pos;
        const CHAR *token = Line + tokenStart;
        const ULONG tokenLength = pos - tokenStart;
        if (tokenLength > INI_MAX_TOKEN)
            return IniLineInvalid;

        if (tokenLength == 4 && HasHexPrefix(token, tokenLength))
        {
            if (write + 1 > INI_MAX_VALUE_DATA)
                return IniLineInvalid;
            Value->Data[write++] = UCHAR(IniParseNumber(token, tokenLength));
            Value->Type = REG_BINARY;
        }
        else if (!IsDigit(token[0]) && !NumbersOnly)
        {
            if (write + 2 * tokenLength > INI_MAX_VALUE_DATA)
                return IniLineInvalid;
            for (ULONG i = 0; i < tokenLength; ++i)
            {
                // ANSI text widened to UTF-16, little-endian as the registry stores it.
                Value->Data[write++] = UCHAR(token[i]);
                Value->Data[write++] = 0;
            }
            Value->Type = REG_SZ;
        }
        else
        {
            if (write + 4 > INI_MAX_VALUE_DATA)
                return IniLineInvalid;
            const ULONG number = IniParseNumber(token, tokenLength);
            for (int i = 0; i < 4; ++i)
                Value->Data[write++] = UCHAR(number >> (8 * i));
            Value->Type = REG_BINARY;
        }
    }
    Value->DataLength = write;
    return IniLineValue;
}

BOOLEAN IniLineStartsWith(const CHAR *Line, ULONG Length, const CHAR *Header, ULONG HeaderLength)
{
    return Length >= HeaderLength && RtlCompareMemory(Line, Header, HeaderLength) == HeaderLength;
}

BOOLEAN IniMatchDeviceLine(const CHAR *Line, ULONG Length, const CHAR *DeviceKey, ULONG DeviceKeyLength,
                           CHAR (&SectionName)[INI_MAX_SECTION_NAME + 1])
{
    if (DeviceKeyLength == 0 || Length < DeviceKeyLength)
        return FALSE;
    for (ULONG i = 0; i < DeviceKeyLength; ++i)
        if (UpperAscii(Line[i]) != UpperAscii(DeviceKey[i]))
            return FALSE;

    // The key must be followed by "=": a longer hardware identifier that merely starts with this
    // device's key names another device.
    ULONG pos = SkipBlanks(Line, Length, DeviceKeyLength);
    if (pos == Length || Line[pos] != '=')
        return FALSE;
    pos = SkipBlanks(Line, Length, pos + 1);

    const ULONG nameStart = pos;
    while (pos < Length && !IsBlank(Line[pos]) && Line[pos] != ';')
        ++pos;
    const ULONG nameLength = pos - nameStart;
    // A cut name could select another device's section, so a name that does not fit is no match.
    if (nameLength == 0 || nameLength > INI_MAX_SECTION_NAME)
        return FALSE;
    RtlCopyMemory(SectionName, Line + nameStart, nameLength);
    SectionName[nameLength] = 0;
    return TRUE;
}

INI_SECTION_MATCH IniMatchDeviceSection(const CHAR *Line, ULONG Length, const CHAR *SectionName,
                                        CHAR (&SubKey)[INI_MAX_SUBKEY_NAME + 1])
{
    SubKey[0] = 0;
    ULONG nameLength = 0;
    while (nameLength <= INI_MAX_SECTION_NAME && SectionName[nameLength])
        ++nameLength;
    if (nameLength == 0 || nameLength > INI_MAX_SECTION_NAME || Length < nameLength + 2 || Line[0] != '[' ||
        RtlCompareMemory(Line + 1, SectionName, nameLength) != nameLength)
        return IniSectionOther;

    if (Line[nameLength + 1] == ']')
        return IniSectionRoot;
    if (Line[nameLength + 1] != ':')
        return IniSectionOther;

    const ULONG start = nameLength + 2;
    ULONG end = start;
    while (end < Length && Line[end] != ']')
        ++end;
    if (end == Length)
        return IniSectionOther; // no closing bracket: not a header of this device
    ULONG subLength = end - start;
    if (subLength == 0)
        return IniSectionRoot;
    if (subLength > INI_MAX_SUBKEY_NAME)
        subLength = INI_MAX_SUBKEY_NAME;
    RtlCopyMemory(SubKey, Line + start, subLength);
    SubKey[subLength] = 0;
    return IniSectionSubKey;
}
