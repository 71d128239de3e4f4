#include "panel/device/conflib_answer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

namespace
{

bool isBlank(char16_t unit)
{
    return unit == u' ' || (unit >= u'\t' && unit <= u'\r');
}

// The text after leading blanks.
std::u16string_view afterBlanks(std::u16string_view text)
{
    size_t i = 0;
    while (i < text.size() && isBlank(text[i]))
        ++i;
    return text.substr(i);
}

} // namespace

int32_t answerToInt(std::u16string_view text)
{
    text = afterBlanks(text);
    bool negative = false;
    if (!text.empty() && (text[0] == u'+' || text[0] == u'-'))
    {
        negative = text[0] == u'-';
        text.remove_prefix(1);
    }
    constexpr int64_t limit = int64_t(INT32_MAX) + 1;
    int64_t magnitude = 0;
    for (char16_t unit : text)
    {
        if (unit < u'0' || unit > u'9')
            break;
        magnitude = std::min(magnitude * 10 + (unit - u'0'), limit);
    }
    return int32_t(negative ? -magnitude : std::min(magnitude, limit - 1));
}

double answerToDouble(std::u16string_view text)
{
    text = afterBlanks(text);
    // from_chars never looks at the locale; it takes no '+', so the sign is handled here.
    std::string ascii;
    size_t i = 0;
    if (!text.empty() && (text[0] == u'+' || text[0] == u'-'))
        ascii.push_back(char(text[i++]));
    for (; i < text.size() && text[i] > u' ' && text[i] < 0x7F; ++i)
        ascii.push_back(char(text[i]));
    if (ascii.size() > 1 && ascii[1] == '-')
        return 0;
    const char *first = ascii.data() + (!ascii.empty() && ascii[0] == '+');
    double value = 0;
    const auto [end, error] = std::from_chars(first, ascii.data() + ascii.size(), value);
    (void)end;
    return error == std::errc() && std::isfinite(value) ? value : 0;
}

float percentFromAnswer(std::u16string_view text)
{
    const float percent = float(answerToDouble(text)) * 100.0f + 0.5f;
    // A scalar beyond float32 is as unreadable as a non-finite one.
    return std::isfinite(percent) ? percent : 0.5f;
}

float scalarFromPercent(int32_t percent)
{
    return std::clamp(float(double(percent) / 100.0), 0.0f, 1.0f);
}
