// Random answers, device records and counts from the configuration library, into the panel's
// parsers and endpoint selection: no crash, no read past an answer (ASan), no unbounded loop, and
// results equal to independent C-library readings. Deterministic seeds.
#include "panel/device/conflib_answer.h"
#include "panel/device/headset_audio_control.h"

#include "support/fake_conflib.h"

#include <QtGlobal>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

namespace
{

void Silent(QtMsgType, const QMessageLogContext &, const QString &) {}

class ConfLibRandomInputTest : public ::testing::Test
{
protected:
    void SetUp() override { m_Previous = qInstallMessageHandler(&Silent); }
    void TearDown() override { qInstallMessageHandler(m_Previous); }

    // Answer-like text: numbers, signs, blanks, words and arbitrary units, in random order.
    std::u16string RandomText(size_t length)
    {
        static const char16_t pool[] = u"0123456789+-. \t\neEnaifA,";
        std::u16string text(length, u'0');
        for (char16_t &unit : text)
            unit = m_Rng() % 4 == 0 ? char16_t(m_Rng()) : pool[m_Rng() % (std::size(pool) - 1)];
        return text;
    }

    // What wcstol and wcstod in the C locale read from the text up to its first NUL.
    static std::string Ascii(std::u16string_view text)
    {
        std::string ascii;
        for (char16_t unit : text)
        {
            if (unit == 0)
                break;
            ascii.push_back(unit < 0x80 ? char(unit) : '\x01');
        }
        return ascii;
    }
    static int32_t IntOracle(std::u16string_view text)
    {
        const long long value = std::strtoll(Ascii(text).c_str(), nullptr, 10);
        return int32_t(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
    }

    std::mt19937 m_Rng{24};
    QtMessageHandler m_Previous = nullptr;
};

TEST_F(ConfLibRandomInputTest, AnswersParseWithinTheirBoundsLikeTheCLibrary)
{
    for (int round = 0; round < 4000; ++round)
    {
        // Exactly as long as the text: ASan stops any read past it.
        const std::u16string text = RandomText(m_Rng() % 40);
        std::vector<char16_t> exact(text.begin(), text.end());
        const std::u16string_view view(exact.data(), exact.size());
        const std::string ascii = Ascii(view);
        if (ascii.size() == exact.size()) // no NUL inside: the whole text is the answer
        {
            EXPECT_EQ(answerToInt(view), IntOracle(view)) << ascii;
        }
        const double value = answerToDouble(view);
        EXPECT_TRUE(std::isfinite(value));
        double expected = std::strtod(ascii.c_str(), nullptr);
        if (!std::isfinite(expected) || std::fabs(expected) < 1e-300)
            expected = 0;
        if (ascii.size() == exact.size() && std::fabs(value) >= 1e-300)
        {
            EXPECT_EQ(value, expected) << ascii;
        }
    }
}

TEST_F(ConfLibRandomInputTest, UnterminatedAnswersReachTheControlsReadBacksBounded)
{
    FakeConfLib fake;
    ConfLibState state;
    fake.Install(state);
    HeadsetAudioControl control(state);
    for (int round = 0; round < 500; ++round)
    {
        // The whole buffer: a random text, then random non-zero units to its end.
        std::u16string units = RandomText(m_Rng() % 512);
        while (units.size() < 512)
            units.push_back(char16_t(1 + m_Rng() % 0xFFFF));
        std::memcpy(fake.answer, units.data(), sizeof fake.answer);
        control.readEqualiser();
        control.readPlaybackChannels();
        const std::u16string_view cut(units.data(), 511);
        EXPECT_EQ(control.eqBand[9], IntOracle(cut)) << "read up to unit 511 at most";
        EXPECT_TRUE(std::isfinite(control.playbackLeftPercent));
    }
}

TEST_F(ConfLibRandomInputTest, RandomDeviceListsAndCountsSelectOnlyActiveHeadsetEndpoints)
{
    for (int round = 0; round < 2000; ++round)
    {
        FakeConfLib fake;
        ConfLibState state;
        fake.Install(state);
        HeadsetAudioControl control(state);
        const int32_t jackTypes[] = {12, 2, 3, 0, -1};
        for (auto &list : fake.lists)
        {
            list.resize(m_Rng() % 100);
            for (DevInfo &device : list)
                device = {uint32_t(m_Rng()), jackTypes[m_Rng() % 5], int32_t(m_Rng()), uint32_t(m_Rng() % 3)};
        }
        for (int d = 0; d < 2; ++d)
        {
            const uint32_t choices[] = {uint32_t(fake.lists[d].size()), uint32_t(m_Rng() % 200), 0xFFFFFFFFu,
                                        0};
            fake.counts[d] = choices[m_Rng() % 4];
            fake.countsWritten[d] = m_Rng() % 8 != 0;
        }
        control.openDeviceList();
        selectHeadsetDevices(state);

        const uint32_t renderCount = fake.countsWritten[0] ? fake.counts[0] : 0;
        EXPECT_EQ(control.libraryReady, renderCount != 0 && fake.countsWritten[1] && fake.counts[1] != 0);
        EXPECT_LE(fake.lookups, kMaxRenderEndpoints + 1);
        DevInfo render{}, capture{};
        const size_t seen = std::min<size_t>({renderCount, kMaxRenderEndpoints, fake.lists[0].size()});
        for (size_t i = 0; i < seen; ++i)
            if (fake.lists[0][i].JackType == 12 && fake.lists[0][i].State == 1)
                render = fake.lists[0][i];
        if (!fake.lists[1].empty() && fake.lists[1][0].JackType == 2 && fake.lists[1][0].State == 1)
            capture = fake.lists[1][0];
        EXPECT_EQ(std::memcmp(&state.renderDevice, &render, sizeof render), 0);
        EXPECT_EQ(std::memcmp(&state.captureDevice, &capture, sizeof capture), 0);
    }
}

} // namespace
