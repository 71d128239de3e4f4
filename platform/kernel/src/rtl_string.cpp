// Counted strings: initialisation, comparison, case and code-page conversion, bounded copies.
#include "kernel_internal.h"

namespace
{
constexpr ULONG kStringTag = MakePoolTag("Strg");

template <typename CharT> size_t Count(const CharT *s)
{
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}
} // namespace

extern "C" VOID RtlInitUnicodeString(PUNICODE_STRING d, PCWSTR s)
{
    size_t n = s ? Count(s) : 0;
    if (n > 32766)
        n = 32766;
    d->Buffer = const_cast<PWSTR>(s);
    d->Length = USHORT(n * 2);
    d->MaximumLength = s ? USHORT(n * 2 + 2) : 0;
}

extern "C" VOID RtlInitAnsiString(PANSI_STRING d, PCSTR s)
{
    size_t n = s ? Count(s) : 0;
    if (n > 65534)
        n = 65534;
    d->Buffer = const_cast<PCHAR>(s);
    d->Length = USHORT(n);
    d->MaximumLength = s ? USHORT(n + 1) : 0;
}

extern "C" VOID RtlFreeUnicodeString(PUNICODE_STRING s)
{
    if (s->Buffer)
        ExFreePoolWithTag(s->Buffer, kStringTag);
    s->Buffer = nullptr;
    s->Length = s->MaximumLength = 0;
}

extern "C" VOID RtlFreeAnsiString(PANSI_STRING s)
{
    if (s->Buffer)
        ExFreePoolWithTag(s->Buffer, kStringTag);
    s->Buffer = nullptr;
    s->Length = s->MaximumLength = 0;
}

extern "C" VOID RtlCopyUnicodeString(PUNICODE_STRING d, PCUNICODE_STRING s)
{
    if (!s)
    {
        d->Length = 0;
        return;
    }
    USHORT n = s->Length < d->MaximumLength ? s->Length : d->MaximumLength;
    memcpy(d->Buffer, s->Buffer, n);
    d->Length = n;
    if (n + 2 <= d->MaximumLength)
        d->Buffer[n / 2] = 0;
}

extern "C" WCHAR RtlUpcaseUnicodeChar(WCHAR c)
{
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return WCHAR(c - 0x20);
    return c;
}

extern "C" LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN ci)
{
    size_t na = a->Length / 2, nb = b->Length / 2;
    for (size_t i = 0; i < na && i < nb; ++i)
    {
        WCHAR x = a->Buffer[i], y = b->Buffer[i];
        if (ci)
        {
            x = RtlUpcaseUnicodeChar(x);
            y = RtlUpcaseUnicodeChar(y);
        }
        if (x != y)
            return LONG(x) - LONG(y);
    }
    return LONG(na) - LONG(nb);
}

extern "C" BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN ci)
{
    return a->Length == b->Length && RtlCompareUnicodeString(a, b, ci) == 0;
}

extern "C" NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING d, PCUNICODE_STRING s, BOOLEAN allocate)
{
    if (allocate)
    {
        auto *buf = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, size_t(s->Length) + 2, kStringTag));
        if (!buf)
            return STATUS_INSUFFICIENT_RESOURCES;
        d->Buffer = buf;
        d->MaximumLength = USHORT(s->Length + 2);
    }
    else if (d->MaximumLength < s->Length)
    {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < s->Length / 2; ++i)
        d->Buffer[i] = RtlUpcaseUnicodeChar(s->Buffer[i]);
    d->Length = s->Length;
    if (d->MaximumLength >= s->Length + 2)
        d->Buffer[s->Length / 2] = 0;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING d, PCUNICODE_STRING s, BOOLEAN allocate)
{
    USHORT n = USHORT(s->Length / 2);
    if (allocate)
    {
        auto *buf = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, size_t(n) + 1, kStringTag));
        if (!buf)
            return STATUS_INSUFFICIENT_RESOURCES;
        d->Buffer = buf;
        d->MaximumLength = USHORT(n + 1);
    }
    else if (d->MaximumLength < n + 1)
    {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < n; ++i)
    {
        WCHAR c = s->Buffer[i];
        d->Buffer[i] = c < 0x100 ? char(c) : '?';
    }
    d->Buffer[n] = 0;
    d->Length = n;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING d, const ANSI_STRING *s, BOOLEAN allocate)
{
    size_t bytes = size_t(s->Length) * 2;
    if (bytes + 2 > 0xFFFF)
        return STATUS_INVALID_PARAMETER;
    if (allocate)
    {
        auto *buf = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + 2, kStringTag));
        if (!buf)
            return STATUS_INSUFFICIENT_RESOURCES;
        d->Buffer = buf;
        d->MaximumLength = USHORT(bytes + 2);
    }
    else if (d->MaximumLength < bytes + 2)
    {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < s->Length; ++i)
        d->Buffer[i] = WCHAR(uint8_t(s->Buffer[i]));
    d->Buffer[s->Length] = 0;
    d->Length = USHORT(bytes);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING d, PCWSTR s)
{
    size_t add = s ? Count(s) * 2 : 0;
    if (size_t(d->Length) + add > d->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memcpy(reinterpret_cast<char *>(d->Buffer) + d->Length, s, add);
    d->Length = USHORT(d->Length + add);
    if (size_t(d->Length) + 2 <= d->MaximumLength)
        d->Buffer[d->Length / 2] = 0;
    return STATUS_SUCCESS;
}

namespace
{
template <typename CharT> NTSTATUS LengthOf(const CharT *s, size_t cchMax, size_t *out)
{
    if (!s || cchMax == 0 || cchMax > NTSTRSAFE_MAX_CCH)
    {
        if (out)
            *out = 0;
        return STATUS_INVALID_PARAMETER;
    }
    size_t n = 0;
    while (n < cchMax && s[n])
        ++n;
    if (n == cchMax)
    {
        if (out)
            *out = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (out)
        *out = n;
    return STATUS_SUCCESS;
}

template <typename CharT> NTSTATUS CopyInto(CharT *d, size_t cch, const CharT *s)
{
    if (!d || cch == 0 || cch > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    size_t i = 0;
    for (; i + 1 < cch && s[i]; ++i)
        d[i] = s[i];
    d[i] = 0;
    return s[i] ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}
} // namespace

extern "C" NTSTATUS RtlStringCbLengthA(PCSTR s, size_t cbMax, size_t *cb)
{
    return LengthOf(s, cbMax, cb);
}

extern "C" NTSTATUS RtlStringCbLengthW(PCWSTR s, size_t cbMax, size_t *cb)
{
    size_t n = 0;
    NTSTATUS st = LengthOf(s, cbMax / 2, &n);
    if (cb)
        *cb = n * 2;
    return st;
}

extern "C" NTSTATUS RtlStringCchLengthW(PCWSTR s, size_t cchMax, size_t *cch)
{
    return LengthOf(s, cchMax, cch);
}
extern "C" NTSTATUS RtlStringCbCopyA(PSTR d, size_t cb, PCSTR s)
{
    return CopyInto(d, cb, s);
}
extern "C" NTSTATUS RtlStringCbCopyW(PWSTR d, size_t cb, PCWSTR s)
{
    return CopyInto(d, cb / 2, s);
}
extern "C" NTSTATUS RtlStringCchCopyW(PWSTR d, size_t cch, PCWSTR s)
{
    return CopyInto(d, cch, s);
}

extern "C" NTSTATUS RtlStringCbCatW(PWSTR d, size_t cb, PCWSTR s)
{
    size_t have = 0;
    NTSTATUS st = RtlStringCchLengthW(d, cb / 2, &have);
    if (!NT_SUCCESS(st))
        return st;
    return CopyInto(d + have, cb / 2 - have, s);
}
