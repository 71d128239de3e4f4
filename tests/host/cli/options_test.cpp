// The host program's command line: every mistake ends in one line naming it (with the valid names
// where there is a list), options that do not apply to the command are refused, tone specifications
// are held to their limits without wrapping, the file-system checks catch a missing examples folder
// and an output that is the input, and seeded random argument lists never get past the checks with a
// value out of range.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "host/cli/options.h"

namespace
{

using Args = std::vector<std::string>;

host::Parsed Parse(const Args &args, host::Options *options = nullptr)
{
    host::Options scratch;
    return host::ParseArguments(args, options ? options : &scratch);
}

// The mistake `args` makes: one line.
std::string Mistake(const Args &args)
{
    const host::Parsed parsed = Parse(args);
    EXPECT_EQ(parsed.outcome, host::Parsed::Mistake) << args.front();
    EXPECT_FALSE(parsed.error.empty());
    EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << parsed.error;
    return parsed.error;
}

TEST(HostOptions, UnknownNamesAreRefusedWithTheValidOnes)
{
    EXPECT_EQ(Mistake({"--bogus"}),
              "unknown option '--bogus' (options: --examples, --device, --endpoint, "
              "--input, --tone, --output, --seconds, --pattern, --surround, --realtime, --help)");
    EXPECT_EQ(Mistake({"start", "--device", "nosuch"}),
              "unknown device 'nosuch' (devices: uac1, uac2, mirk, dova, tesh, plon, grue)");
    EXPECT_EQ(Mistake({"settings", "--device=uac3"}),
              "unknown device 'uac3' (devices: uac1, uac2, mirk, dova, tesh, plon, grue)");
    EXPECT_EQ(Mistake({"replay"}), "unknown command 'replay' (commands: play, capture, start, settings)");
    EXPECT_EQ(Mistake({"play", "start"}), "one command at a time, not 'start' after 'play'");
    EXPECT_EQ(Mistake({"--device"}), "--device needs a value (NAME)");
    EXPECT_EQ(Mistake({"--realtime=yes"}), "--realtime takes no value");

    // Names are matched without case, and kept in the form the rest of the program knows.
    host::Options options;
    ASSERT_EQ(Parse({"START", "--device", "PLON"}, &options).outcome, host::Parsed::Run);
    EXPECT_EQ(options.device, "plon");
    EXPECT_EQ(Parse({"CAPTURE", "--pattern=Ramp"}, &options).command, host::Command::Capture);
    EXPECT_EQ(options.pattern, "ramp");
}

TEST(HostOptions, OptionsThatDoNotApplyToTheCommandAreRefused)
{
    EXPECT_EQ(Mistake({"--seconds", "3"}), "--seconds does not apply to play (it is for capture)");
    EXPECT_EQ(Mistake({"capture", "--input", "a.wav"}), "--input does not apply to capture (it is for play)");
    EXPECT_EQ(Mistake({"start", "--realtime"}),
              "--realtime does not apply to start (it is for play, capture)");
    EXPECT_EQ(Mistake({"--endpoint", "HPOut00", "settings"}),
              "--endpoint does not apply to settings (it is for play, capture)");
    EXPECT_EQ(Mistake({"capture", "--surround", "on"}),
              "--surround does not apply to capture (it is for play)");
    EXPECT_EQ(Mistake({"--surround", "maybe"}), "--surround is on or off, not 'maybe'");
    EXPECT_EQ(Mistake({"--tone", "1000,1,48000,2,16", "--input", "a.wav"}),
              "--tone and --input are both a source to play: give one");
    // Every command takes the folder and the headset; ./run names the folder before the user may.
    for (const char *command : {"play", "capture", "start", "settings"})
    {
        host::Options options;
        ASSERT_EQ(
            Parse({"--examples", "a", command, "--examples", "b", "--device", "uac2"}, &options).outcome,
            host::Parsed::Run)
            << command;
        EXPECT_EQ(options.examples, "b");
    }
    EXPECT_EQ(Parse({"play", "--bogus", "--help"}).outcome, host::Parsed::Mistake);
    EXPECT_EQ(Parse({"play", "--help", "--bogus"}).outcome, host::Parsed::Help);
}

TEST(HostOptions, ToneSpecificationsAreHeldToTheirLimits)
{
    host::Tone tone;
    std::string error;
    ASSERT_TRUE(host::ParseTone("440.5,0.25,96000,8,24", &tone, &error)) << error;
    EXPECT_EQ(tone.hz, 440.5);
    EXPECT_EQ(tone.seconds, 0.25);
    EXPECT_EQ(tone.rate, 96000u);
    EXPECT_EQ(tone.channels, 8);
    EXPECT_EQ(tone.bits, 24);
    ASSERT_TRUE(host::ParseTone("1000,600,768000,8,32", &tone, &error)) << "the limits themselves";

    // What once wrapped or slipped through: values past 32 or 16 bits, infinities, not-a-number.
    for (const char *bad : {"1000,1,48000,4294967298,16",
                            "1000,1,48000,65538,16",
                            "1000,1,4294967296048000,2,16",
                            "inf,1,48000,2,16",
                            "nan,1,48000,2,16",
                            "1000,inf,48000,2,16",
                            "1000,600.001,48000,2,16",
                            "1000,0,48000,2,16",
                            "1000,0.00001,48000,2,16",
                            "1000,-1,48000,2,16",
                            "0,1,48000,2,16",
                            "24001,1,48000,2,16",
                            "1000,1,999,2,16",
                            "1000,1,768001,2,16",
                            "1000,1,48000,0,16",
                            "1000,1,48000,9,16",
                            "1000,1,48000,2,8",
                            "1000,1,48000,2,20",
                            "1000,1,48000,2,+16",
                            "1000,1,48000,2",
                            "1000,1,48000,2,16,",
                            " 1000,1,48000,2,16",
                            "1e3x,1,48000,2,16",
                            ""})
    {
        error.clear();
        EXPECT_FALSE(host::ParseTone(bad, &tone, &error)) << bad;
        EXPECT_EQ(error.rfind("--tone ", 0), 0u) << bad;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
    EXPECT_EQ(Mistake({"--tone", "1000,1,48000,65538,16"}),
              "--tone channels are 1 to 8, not '65538' (HZ,SECONDS,RATE,CHANNELS,BITS, for example "
              "1000,2,48000,2,16)");
    for (const char *seconds : {"0", "601", "-1", "2.5", "4294967298", ""})
        EXPECT_EQ(Mistake({"capture", "--seconds", seconds}),
                  std::string("--seconds is a whole number from 1 to 600, not '") + seconds + "'");
}

class HostPaths : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Folder = std::filesystem::temp_directory_path() /
                   ("host_paths_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(m_Folder / "examples");
        std::ofstream(m_Folder / "in.wav") << "RIFF";
    }
    void TearDown() override { std::filesystem::remove_all(m_Folder); }
    std::filesystem::path m_Folder;
};

TEST_F(HostPaths, AMissingFolderAndAnOutputThatIsTheInputAreMistakes)
{
    host::Options options;
    options.examples = m_Folder / "examples";
    EXPECT_EQ(host::CheckPaths(options), "");
    options.examples = m_Folder / "nothing";
    EXPECT_EQ(host::CheckPaths(options), "--examples " + options.examples.string() + ": no such folder");
    options.examples = m_Folder / "in.wav";
    EXPECT_EQ(host::CheckPaths(options), "--examples " + options.examples.string() + " is not a folder");

    options.examples = m_Folder / "examples";
    options.input = m_Folder / "in.wav";
    // The same file by another path, and by another name (a hard link).
    options.output = m_Folder / "examples" / ".." / "in.wav";
    EXPECT_EQ(host::CheckPaths(options),
              "--output " + options.output.string() + " is the input file: give another");
    std::filesystem::create_hard_link(m_Folder / "in.wav", m_Folder / "link.wav");
    options.output = m_Folder / "link.wav";
    EXPECT_NE(host::CheckPaths(options), "");
    options.output = m_Folder / "examples";
    EXPECT_EQ(host::CheckPaths(options), "--output " + options.output.string() + " is a folder");
    options.output = m_Folder / "new.wav";
    EXPECT_EQ(host::CheckPaths(options), "");
}

TEST(HostOptions, RandomArgumentListsNeverPassWithAValueOutOfRange)
{
    const std::vector<std::string> words = {"play",
                                            "capture",
                                            "start",
                                            "settings",
                                            "--examples",
                                            "--device",
                                            "--endpoint",
                                            "--input",
                                            "--tone",
                                            "--output",
                                            "--seconds",
                                            "--pattern",
                                            "--realtime",
                                            "--help",
                                            "uac1",
                                            "PLON",
                                            "nosuch",
                                            "600",
                                            "0",
                                            "-1",
                                            "ramp",
                                            "sine",
                                            "x.wav",
                                            "",
                                            "1000,1,48000,2,16",
                                            "inf,1,48000,2,16",
                                            "1000,1,48000,4294967298,16",
                                            "--device=grue",
                                            "--seconds=601",
                                            "--realtime=1",
                                            "-",
                                            "--",
                                            "=",
                                            "1e400"};
    std::mt19937 random(37);
    for (int round = 0; round < 20000; ++round)
    {
        Args args(random() % 7);
        for (std::string &arg : args)
        {
            if (random() % 8)
                arg = words[random() % words.size()];
            else
                for (size_t n = random() % 12; n; --n)
                    arg += char(random() % 256);
        }
        host::Options options;
        const host::Parsed parsed = host::ParseArguments(args, &options);
        if (parsed.outcome == host::Parsed::Mistake)
        {
            ASSERT_FALSE(parsed.error.empty());
            ASSERT_EQ(parsed.error.find('\n'), std::string::npos);
            continue;
        }
        const auto &devices = host::DeviceNames();
        ASSERT_NE(std::find(devices.begin(), devices.end(), options.device), devices.end());
        ASSERT_GE(options.seconds, 1u);
        ASSERT_LE(options.seconds, host::kMaxSeconds);
        ASSERT_TRUE(options.pattern == "sine" || options.pattern == "ramp");
        ASSERT_TRUE(options.surround.empty() || options.surround == "on" || options.surround == "off");
        ASSERT_FALSE(options.tone && !options.input.empty());
        if (options.tone)
        {
            ASSERT_TRUE(options.tone->channels >= 1 && options.tone->channels <= 8);
            ASSERT_LE(options.tone->seconds, double(host::kMaxSeconds));
            ASSERT_TRUE(options.tone->hz > 0 && options.tone->hz <= options.tone->rate / 2.0);
        }
        if (parsed.command != host::Command::Play)
        {
            ASSERT_TRUE(!options.tone && options.input.empty());
        }
    }
}

} // namespace
