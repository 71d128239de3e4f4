// Object names formatted into fixed buffers, and compile-time wide text.
#include "driver/base/wide_string.h"
#include "support/kernel_test.h"

#include <string>

namespace
{

std::u16string Text(PCWSTR s)
{
    std::u16string out;
    while (*s)
        out.push_back(char16_t(*s++));
    return out;
}

using WideStringTest = KernelTest;

TEST_F(WideStringTest, ObjectNamesFollowTheSafeStringRules)
{
    constexpr WideText kFormat("\\Callback\\StreamEngineAddr%p");
    static_assert(kFormat.Chars == 28 && kFormat.Bytes == 58);
    WCHAR buffer[51];
    UNICODE_STRING name;
    // An address of every digit (16 on 64 bits, 8 on the 32-bit target) fits the 102-byte buffers the
    // driver uses.
    const bool wide = sizeof(void *) == 8;
    ASSERT_EQ(FormatObjectName(&name, buffer, 102, kFormat,
                               reinterpret_cast<PVOID>(uintptr_t(0xFFFF8000DEADBEEFull))),
              0);
    const std::u16string want =
        std::u16string(u"\\Callback\\StreamEngineAddr") + (wide ? u"FFFF8000DEADBEEF" : u"DEADBEEF");
    EXPECT_EQ(Text(buffer), want);
    EXPECT_EQ(name.Buffer, buffer);
    EXPECT_EQ(name.Length, want.size() * 2);
    EXPECT_EQ(name.MaximumLength, 102);

    for (size_t bytes : {0, 1}) // no room for the terminator: refused, buffer untouched
    {
        buffer[0] = 'X';
        EXPECT_EQ(FormatObjectName(&name, buffer, bytes, kFormat, nullptr), STATUS_INVALID_PARAMETER)
            << bytes;
        EXPECT_EQ(buffer[0], 'X');
    }
    // Cut: size / 2 - 1 characters and the terminator, reported, and not usable as a name.
    std::fill(std::begin(buffer), std::end(buffer), WCHAR('Z'));
    EXPECT_EQ(FormatObjectName(&name, buffer, 21, kFormat, nullptr), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Text(buffer), u"\\Callback");
    EXPECT_EQ(buffer[10], 'Z');
    EXPECT_EQ(name.Buffer, nullptr);
    EXPECT_EQ(name.Length, 0);

    constexpr WideText kWord("Stream");
    EXPECT_EQ(FormatObjectName(&name, buffer, kWord.Bytes, WideText("%s"), static_cast<PCWSTR>(kWord)), 0);
    EXPECT_EQ(name.Length, 12); // exactly full
    EXPECT_EQ(FormatObjectName(&name, buffer, 102, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(FormatObjectName(nullptr, buffer, 102, kFormat, nullptr), STATUS_INVALID_PARAMETER);
}

} // namespace
