// Reading the library's text answers: C-locale numeric prefixes, saturation, non-finite values, and
// the percent and scalar conversions of the volume controls.
#include "panel/device/conflib_answer.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace
{

TEST(ConfLibAnswerTest, IntegersTakeTheNumericPrefixAndSaturate)
{
    const std::u16string noTerminator(512, u'A');
    const struct
    {
        std::u16string text;
        int32_t expected;
    } cases[] = {{noTerminator, 0},
                 {u"", 0},
                 {u"abc", 0},
                 {u"12abc", 12},
                 {u" 7", 7},
                 {u"-1", -1},
                 {u"99999999999", 2147483647},
                 {u"-99999999999", INT32_MIN},
                 {u"\t\n+42", 42},
                 {u"- 5", 0},
                 {u"2147483647", 2147483647},
                 {u"-2147483648", INT32_MIN},
                 {u"0012", 12},
                 {u"3.9", 3},
                 {u"\u0663", 0}}; // an Arabic-Indic digit is no digit
    for (const auto &c : cases)
        EXPECT_EQ(answerToInt(c.text), c.expected) << std::string(c.text.begin(), c.text.end());
}

TEST(ConfLibAnswerTest, DoublesIgnoreTheUsersLocaleAndNonFiniteValues)
{
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "tools/deps.sh generates this locale";
    EXPECT_EQ(answerToDouble(u"0.5"), 0.5);
    EXPECT_EQ(answerToDouble(u"0,5"), 0.0);
    EXPECT_EQ(answerToDouble(u" +0.75xyz"), 0.75);
    EXPECT_EQ(answerToDouble(u"-1e-2"), -0.01);
    EXPECT_EQ(answerToDouble(u"+-1"), 0.0);
    for (const char16_t *nonFinite : {u"nan", u"inf", u"-inf", u"1e999", u"", u"n/a"})
        EXPECT_EQ(answerToDouble(nonFinite), 0.0);
    std::setlocale(LC_ALL, "C");
}

TEST(ConfLibAnswerTest, PercentsAndScalars)
{
    EXPECT_EQ(percentFromAnswer(u"0.5"), 50.5f);
    EXPECT_EQ(percentFromAnswer(u"1"), 100.5f);
    EXPECT_EQ(percentFromAnswer(u"nan"), 0.5f); // truncated by its users: 0
    EXPECT_EQ(percentFromAnswer(u"inf"), 0.5f);
    EXPECT_EQ(percentFromAnswer(u"1e300"), 0.5f) << "beyond float32";
    EXPECT_EQ(scalarFromPercent(75), 0.75f);
    EXPECT_EQ(scalarFromPercent(20), 0.2f);
    EXPECT_EQ(scalarFromPercent(150), 1.0f);
    EXPECT_EQ(scalarFromPercent(-20), 0.0f);
    EXPECT_EQ(scalarFromPercent(INT32_MIN), 0.0f);
}

} // namespace
