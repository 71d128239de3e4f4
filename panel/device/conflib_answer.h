// The configuration library answers a get with UTF-16 decimal text. These read it the same way
// whatever the user's locale: a numeric prefix after leading blanks, as wcstol and wcstod in the C
// locale take it; empty or non-numeric text gives 0.
#pragma once

#include <cstdint>
#include <string_view>

// Saturates at the int32 range, as a 32-bit wcstol does.
int32_t answerToInt(std::u16string_view text);
// A non-finite value ("nan", "inf", or out of the double range) gives 0.
double answerToDouble(std::u16string_view text);

// A scalar volume answer (0.0 .. 1.0) as the percent the panel keeps: scalar x 100 + 0.5 in float32,
// so that truncating it rounds. An unreadable or non-finite scalar counts as 0.
float percentFromAnswer(std::u16string_view text);
// A percent as the scalar volume to send, clamped to 0.0 .. 1.0.
float scalarFromPercent(int32_t percent);
