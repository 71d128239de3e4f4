// Bounded formatting for DbgPrint and the RtlStringCb/Cch printf family. One formatter serves both
// widths, so narrow and wide output agree on every conversion.
#include "kernel_internal.h"

#include <cstdio>
#include <string>

namespace
{

// Formats into a UTF-16 sequence (narrow output keeps the low byte of each unit).
template <typename CharT> std::u16string Format(const CharT *fmt, va_list ap)
{
    std::u16string out;
    auto put = [&](const std::u16string &body, int width, bool left, char16_t pad)
    {
        std::u16string s = body;
        if (width > 0 && s.size() < size_t(width))
        {
            std::u16string fill(size_t(width) - s.size(), pad);
            if (left)
                s += std::u16string(size_t(width) - body.size(), u' ');
            else if (pad == u'0' && !s.empty() && (s[0] == u'-' || s[0] == u'+'))
                s = s.substr(0, 1) + fill + s.substr(1);
            else
                s = fill + s;
        }
        out += s;
    };
    for (size_t i = 0; fmt[i]; ++i)
    {
        char16_t c = char16_t(fmt[i]);
        if (c != u'%')
        {
            out += c;
            continue;
        }
        ++i;
        bool left = false, zero = false, plus = false, space = false, alt = false;
        for (;; ++i)
        {
            char16_t f = char16_t(fmt[i]);
            if (f == u'-')
                left = true;
            else if (f == u'0')
                zero = true;
            else if (f == u'+')
                plus = true;
            else if (f == u' ')
                space = true;
            else if (f == u'#')
                alt = true;
            else
                break;
        }
        int width = 0;
        if (fmt[i] == '*')
        {
            width = va_arg(ap, int);
            if (width < 0)
            {
                left = true;
                width = -width;
            }
            ++i;
        }
        else
        {
            while (fmt[i] >= '0' && fmt[i] <= '9')
                width = width * 10 + int(fmt[i++] - '0');
        }
        int precision = -1;
        if (fmt[i] == '.')
        {
            ++i;
            precision = 0;
            if (fmt[i] == '*')
            {
                precision = va_arg(ap, int);
                ++i;
            }
            else
            {
                while (fmt[i] >= '0' && fmt[i] <= '9')
                    precision = precision * 10 + int(fmt[i++] - '0');
            }
        }
        enum
        {
            None,
            H,
            HH,
            L,
            LL,
            Z,
            W
        } size = None;
        if (fmt[i] == 'h')
        {
            size = H;
            if (fmt[++i] == 'h')
            {
                size = HH;
                ++i;
            }
        }
        else if (fmt[i] == 'l')
        {
            size = L;
            if (fmt[++i] == 'l')
            {
                size = LL;
                ++i;
            }
        }
        else if (fmt[i] == 'I' && fmt[i + 1] == '6' && fmt[i + 2] == '4')
        {
            size = LL;
            i += 3;
        }
        else if (fmt[i] == 'z' || fmt[i] == 'I')
        {
            size = Z;
            ++i;
        }
        else if (fmt[i] == 'w')
        {
            size = W;
            ++i;
        }
        char16_t conv = char16_t(fmt[i]);
        if (!conv)
            break;
        char16_t pad = zero && !left ? u'0' : u' ';
        switch (conv)
        {
        case u'%':
            out += u'%';
            break;
        case u'c':
        {
            int v = va_arg(ap, int);
            put(std::u16string(1, char16_t(v & (size == W || sizeof(CharT) == 2 ? 0xFFFF : 0xFF))), width,
                left, u' ');
            break;
        }
        case u'd':
        case u'i':
        case u'u':
        case u'x':
        case u'X':
        case u'o':
        {
            bool isSigned = conv == u'd' || conv == u'i';
            unsigned long long uv;
            bool neg = false;
            if (size == LL || size == Z)
            {
                if (size == Z)
                    uv = va_arg(ap, size_t);
                else
                    uv = va_arg(ap, unsigned long long);
                if (isSigned && (long long)uv < 0)
                {
                    neg = true;
                    uv = 0 - uv;
                }
            }
            else
            {
                // On the target long is 32 bits; %ld reads 32 bits here too.
                unsigned v = size == L ? unsigned(va_arg(ap, unsigned long)) : va_arg(ap, unsigned);
                if (size == H)
                    v = isSigned ? unsigned(int(short(v))) : unsigned(uint16_t(v));
                if (size == HH)
                    v = isSigned ? unsigned(int((signed char)v)) : unsigned(uint8_t(v));
                if (isSigned && int(v) < 0)
                {
                    neg = true;
                    uv = 0ull - (unsigned long long)(long long)int(v);
                }
                else
                {
                    uv = v;
                }
            }
            unsigned base = conv == u'x' || conv == u'X' ? 16 : conv == u'o' ? 8 : 10;
            const char *digits = conv == u'X' ? "0123456789ABCDEF" : "0123456789abcdef";
            std::u16string d;
            do
            {
                d.insert(d.begin(), char16_t(digits[uv % base]));
                uv /= base;
            } while (uv);
            if (precision >= 0)
            {
                pad = u' ';
                if (d.size() < size_t(precision))
                    d.insert(0, size_t(precision) - d.size(), u'0');
                if (precision == 0 && d == u"0")
                    d.clear();
            }
            if (alt && base == 16 && d != u"0")
                d.insert(0, conv == u'X' ? u"0X" : u"0x");
            if (neg)
                d.insert(d.begin(), u'-');
            else if (isSigned && plus)
                d.insert(d.begin(), u'+');
            else if (isSigned && space)
                d.insert(d.begin(), u' ');
            put(d, width, left, pad);
            break;
        }
        case u'p':
        {
            auto v = reinterpret_cast<uintptr_t>(va_arg(ap, void *));
            std::u16string d;
            for (int k = int(sizeof(void *)) * 2 - 1; k >= 0; --k)
                d += char16_t("0123456789ABCDEF"[(v >> (4 * k)) & 0xF]);
            put(d, width, left, u' ');
            break;
        }
        case u's':
        case u'S':
        case u'Z':
        {
            // %s is the caller's own width, %S and %ws the other one, %wZ a UNICODE_STRING.
            std::u16string d;
            if (conv == u'Z')
            {
                auto *us = va_arg(ap, PCUNICODE_STRING);
                if (!us || !us->Buffer)
                    d = u"(null)";
                else
                    for (USHORT k = 0; k < us->Length / 2; ++k)
                        d += char16_t(us->Buffer[k]);
            }
            else
            {
                bool wide = size == W || size == L || (conv == u'S') != (sizeof(CharT) == 2);
                if (size == H)
                    wide = false;
                if (wide)
                {
                    auto *s = va_arg(ap, const WCHAR *);
                    if (!s)
                        d = u"(null)";
                    else
                        for (size_t k = 0; s[k] && (precision < 0 || k < size_t(precision)); ++k)
                            d += char16_t(s[k]);
                }
                else
                {
                    auto *s = va_arg(ap, const char *);
                    if (!s)
                        d = u"(null)";
                    else
                        for (size_t k = 0; s[k] && (precision < 0 || k < size_t(precision)); ++k)
                            d += char16_t(uint8_t(s[k]));
                }
            }
            put(d, width, left, u' ');
            break;
        }
        default:
            out += u'%';
            out += conv;
            break;
        }
    }
    return out;
}

template <typename CharT> NTSTATUS Emit(CharT *dst, size_t cch, const std::u16string &s)
{
    if (cch == 0 || cch > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    size_t n = s.size() < cch - 1 ? s.size() : cch - 1;
    for (size_t k = 0; k < n; ++k)
        dst[k] = CharT(s[k]);
    dst[n] = 0;
    return n < s.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}
} // namespace

std::string SimFormatNarrow(PCSTR fmt, va_list ap)
{
    std::u16string u = Format(fmt, ap);
    std::string s;
    for (char16_t c : u)
        s += char(c);
    return s;
}

extern "C" NTSTATUS RtlStringCbVPrintfA(PSTR dst, size_t cb, PCSTR fmt, va_list ap)
{
    if (!dst || cb == 0)
        return STATUS_INVALID_PARAMETER;
    return Emit(dst, cb, Format(fmt, ap));
}

extern "C" NTSTATUS RtlStringCbPrintfA(PSTR dst, size_t cb, PCSTR fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    NTSTATUS s = RtlStringCbVPrintfA(dst, cb, fmt, ap);
    va_end(ap);
    return s;
}

extern "C" NTSTATUS RtlStringCbVPrintfW(PWSTR dst, size_t cb, PCWSTR fmt, va_list ap)
{
    if (!dst || cb < sizeof(WCHAR))
        return STATUS_INVALID_PARAMETER;
    return Emit(dst, cb / sizeof(WCHAR), Format(fmt, ap));
}

extern "C" NTSTATUS RtlStringCbPrintfW(PWSTR dst, size_t cb, PCWSTR fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    NTSTATUS s = RtlStringCbVPrintfW(dst, cb, fmt, ap);
    va_end(ap);
    return s;
}

extern "C" NTSTATUS RtlStringCchPrintfW(PWSTR dst, size_t cch, PCWSTR fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    NTSTATUS s = cch > NTSTRSAFE_MAX_CCH ? STATUS_INVALID_PARAMETER
                                         : RtlStringCbVPrintfW(dst, cch * sizeof(WCHAR), fmt, ap);
    va_end(ap);
    return s;
}
