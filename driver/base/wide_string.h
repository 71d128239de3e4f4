// Wide text of the driver: compile-time wide literals and object names formatted into fixed buffers.
#pragma once

#include <ntkernel.h>

// An ASCII literal as a terminated WCHAR string, built at compile time. The host compiler's own wide
// literals are 32-bit, so driver text that the kernel takes as PCWSTR is written this way:
//     constexpr WideText kName("\\Callback\\AudioHalAddr%p");
template <size_t N> struct WideText
{
    WCHAR Text[N];

    constexpr WideText(const char (&s)[N]) : Text{}
    {
        for (size_t i = 0; i < N; ++i)
            Text[i] = WCHAR(UCHAR(s[i]));
    }
    constexpr operator PCWSTR() const { return Text; }
    static constexpr size_t Chars = N - 1;             // without the terminator
    static constexpr size_t Bytes = N * sizeof(WCHAR); // with the terminator
};

// The longest text a UNICODE_STRING can describe, in bytes.
inline constexpr size_t UNICODE_STRING_MAX_BYTES = 0xFFFE;

// Formats an object name into `buffer` (`bufferBytes` bytes) with the kernel's safe-string rules:
// below 2 bytes STATUS_INVALID_PARAMETER and the buffer untouched; at most bufferBytes / 2 - 1
// characters, always terminated; a cut text gives STATUS_BUFFER_OVERFLOW. Only on STATUS_SUCCESS does
// `name` describe the text (Length without the terminator, MaximumLength the buffer); otherwise it is
// left empty, because a cut name could be another object's name. A buffer beyond
// UNICODE_STRING_MAX_BYTES is used up to that size. Callable at any IRQL (no allocation).
NTSTATUS FormatObjectName(PUNICODE_STRING name, PWSTR buffer, size_t bufferBytes, PCWSTR format, ...);
