// The host program's command line: one command and its options, each option one row of a table that
// says which commands it applies to. Everything is checked here, before the machine boots: an unknown
// or misplaced argument, a value out of range or a missing folder ends the program with exit code 2
// and one line naming the mistake.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace host
{

enum class Command
{
    Play,
    Capture,
    Start,
    Settings,
};
inline constexpr const char *kCommandNames[] = {"play", "capture", "start", "settings"};

// The longest play or capture: it bounds what a run holds and how long it takes.
inline constexpr unsigned kMaxSeconds = 600;

// --tone HZ,SECONDS,RATE,CHANNELS,BITS: a sine at half scale in every channel.
struct Tone
{
    double hz = 1000;
    double seconds = 2;
    uint32_t rate = 48000;
    uint16_t channels = 2;
    uint16_t bits = 16;
};

struct Options
{
    std::filesystem::path examples = "examples"; // the folder that stands for "\SystemRoot\"
    std::string device = "uac1";                 // the headset the commands plug in (lower case)
    std::string endpoint;                        // play: "HPOut00", capture: "MicIn00" when empty
    std::filesystem::path input;                 // play: the WAV file; empty: the example
    std::optional<Tone> tone;                    // play: a tone instead of a file
    std::filesystem::path output;                // empty: out/bus-<endpoint>.wav, out/capture-<endpoint>.wav
    unsigned seconds = 2;                        // capture: how long
    std::string pattern = "sine";                // capture: the IN source, "sine" or "ramp"
    bool realtime = false;                       // the wall clock instead of virtual time
    std::string surround; // play: "on" or "off" sets the surround node; empty: leave it
};

// The headsets --device names, in the order the help lists them.
const std::vector<std::string> &DeviceNames();

struct Parsed
{
    enum
    {
        Run,
        Help,
        Mistake,
    } outcome = Run;
    Command command = Command::Play; // the default command
    std::string error;               // Mistake: one line, without the program's name
};

// Reads the arguments after the program's name into `options`, filesystem untouched.
Parsed ParseArguments(const std::vector<std::string> &args, Options *options);
// The checks that look at the file system: the examples folder exists, an --output is no folder and
// not the input. "" when all is well.
std::string CheckPaths(const Options &options);
// Whether `output` names the file `input` names (the same file under another name included).
bool SameFile(const std::filesystem::path &input, const std::filesystem::path &output);

bool ParseTone(const std::string &spec, Tone *tone, std::string *error);

// `text` as one line for a message: control characters (a newline in a file name) as \xNN.
std::string OneLine(const std::string &text);

// The help text: commands, then one line or more per option.
std::string UsageText();

} // namespace host
