// The host program's command line, checked by table.
#include "host/cli/options.h"

#include "host/wav/wav_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace host
{

namespace
{

constexpr unsigned Bit(Command c)
{
    return 1u << unsigned(c);
}
constexpr unsigned kPlay = Bit(Command::Play), kCapture = Bit(Command::Capture), kStart = Bit(Command::Start),
                   kSettings = Bit(Command::Settings), kAll = kPlay | kCapture | kStart | kSettings;

const char *const kCommandHelp[] = {
    "(default) load the driver, plug the virtual headset --device names, play a WAV\n"
    "              file or a tone through an endpoint's wave pin and write what reached the bus,\n"
    "              with its statistics",
    "record --seconds from an endpoint's wave pin, fed by the headset's IN source,\n"
    "              into a WAV file, with its statistics",
    "load the driver, plug the virtual headset --device names, print what the start\n"
    "              built, then remove it and check that nothing was left behind",
    "import the INI file into the settings of the headset --device names, as the driver\n"
    "              does at device start, and print the resulting \"Settings\" values",
};

std::string Lower(std::string text)
{
    for (char &c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string List(const std::vector<std::string> &names)
{
    std::string out;
    for (const std::string &n : names)
        out += (out.empty() ? "" : ", ") + n;
    return out;
}

// A whole decimal number from `low` to `high`: digits only, no sign, no overflow.
bool Whole(const std::string &text, unsigned long long low, unsigned long long high,
           unsigned long long *value)
{
    if (text.empty() || text.size() > 19 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    *value = std::strtoull(text.c_str(), nullptr, 10);
    return *value >= low && *value <= high;
}

// A finite decimal number, the whole text.
bool Real(const std::string &text, double *value)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    char *end = nullptr;
    errno = 0;
    *value = std::strtod(text.c_str(), &end);
    return errno == 0 && *end == '\0' && std::isfinite(*value);
}

// A name that is there: an empty one is a mistake, not the default.
bool NonEmpty(const char *option, const std::string &value, std::string *error)
{
    if (value.empty())
        *error = std::string(option) + " needs a name";
    return !value.empty();
}

// One row per option: its name, its value's placeholder (null: a switch), the commands it applies
// to, its help, and what it does with its value (false with a reason for a value out of range).
struct OptionRow
{
    const char *name;
    const char *value;
    unsigned commands;
    const char *help;
    bool (*take)(Options *, const std::string &, std::string *);
};

const OptionRow kOptions[] = {
    {"--examples", "DIR", kAll,
     "folder standing for \\SystemRoot\\ (holds ZELKO610.INI and the example WAV);\n"
     "default: examples",
     [](Options *o, const std::string &v, std::string *)
     {
         o->examples = v;
         return true;
     }},
    {"--device", "NAME", kAll, "the headset: uac1 (default), uac2, mirk, dova, tesh, plon or grue; any case",
     [](Options *o, const std::string &v, std::string *error)
     {
         const auto &names = DeviceNames();
         if (std::find(names.begin(), names.end(), Lower(v)) == names.end())
         {
             *error = "unknown device '" + v + "' (devices: " + List(names) + ")";
             return false;
         }
         o->device = Lower(v);
         return true;
     }},
    {"--endpoint", "NAME", kPlay | kCapture,
     "play: a render endpoint, HPOut00, else the headset's first (default);\n"
     "a source with fewer channels than the endpoint plays on its first channels;\n"
     "capture: a capture endpoint, MicIn00 (default)",
     [](Options *o, const std::string &v, std::string *error)
     { return NonEmpty("--endpoint", v, error) && (o->endpoint = v, true); }},
    {"--input", "FILE", kPlay, "a WAV file of 16-, 24- or 32-bit PCM, at most 600 s;\ndefault: the example",
     [](Options *o, const std::string &v, std::string *error)
     { return NonEmpty("--input", v, error) && (o->input = v, true); }},
    {"--tone", "SPEC", kPlay,
     "a sine instead of a file, HZ,SECONDS,RATE,CHANNELS,BITS (1000,2,48000,2,16);\n"
     "at most 600 s, made as it plays",
     [](Options *o, const std::string &v, std::string *error)
     {
         Tone tone;
         if (!ParseTone(v, &tone, error))
             return false;
         o->tone = tone;
         return true;
     }},
    {"--output", "FILE", kPlay | kCapture,
     "default: out/bus-ENDPOINT.wav, out/capture-ENDPOINT.wav;\n"
     "written whole or not at all, never over the input",
     [](Options *o, const std::string &v, std::string *error)
     { return NonEmpty("--output", v, error) && (o->output = v, true); }},
    {"--seconds", "N", kCapture, "how long to record, 1 to 600 (default 2)",
     [](Options *o, const std::string &v, std::string *error)
     {
         unsigned long long seconds = 0;
         if (!Whole(v, 1, kMaxSeconds, &seconds))
         {
             *error = "--seconds is a whole number from 1 to 600, not '" + v + "'";
             return false;
         }
         o->seconds = unsigned(seconds);
         return true;
     }},
    {"--pattern", "NAME", kCapture, "the IN source, sine (default) or ramp",
     [](Options *o, const std::string &v, std::string *error)
     {
         if (Lower(v) != "sine" && Lower(v) != "ramp")
         {
             *error = "--pattern is sine or ramp, not '" + v + "'";
             return false;
         }
         o->pattern = Lower(v);
         return true;
     }},
    {"--surround", "on|off", kPlay,
     "switch the headset's headphone surround node (plon, grue) before the pin\n"
     "runs; a headset without the node refuses it",
     [](Options *o, const std::string &v, std::string *error)
     {
         if (Lower(v) != "on" && Lower(v) != "off")
         {
             *error = "--surround is on or off, not '" + v + "'";
             return false;
         }
         o->surround = Lower(v);
         return true;
     }},
    {"--realtime", nullptr, kPlay | kCapture, "run on the wall clock instead of virtual time",
     [](Options *o, const std::string &, std::string *)
     {
         o->realtime = true;
         return true;
     }},
};

std::string OptionNames()
{
    std::vector<std::string> names;
    for (const OptionRow &row : kOptions)
        names.push_back(row.name);
    names.push_back("--help");
    return List(names);
}

std::string CommandList(unsigned commands)
{
    std::vector<std::string> names;
    for (unsigned c = 0; c < std::size(kCommandNames); ++c)
        if (commands & (1u << c))
            names.push_back(kCommandNames[c]);
    return commands == kAll ? "every command" : List(names);
}

} // namespace

const std::vector<std::string> &DeviceNames()
{
    static const std::vector<std::string> names = {"uac1", "uac2", "mirk", "dova", "tesh", "plon", "grue"};
    return names;
}

bool ParseTone(const std::string &spec, Tone *tone, std::string *error)
{
    std::vector<std::string> fields(1);
    for (char c : spec)
        if (c == ',')
            fields.emplace_back();
        else
            fields.back() += c;
    const auto fail = [&](const std::string &what)
    {
        *error = "--tone " + what + " (HZ,SECONDS,RATE,CHANNELS,BITS, for example 1000,2,48000,2,16)";
        return false;
    };
    if (fields.size() != 5)
        return fail("wants five numbers, not '" + spec + "'");
    Tone t;
    unsigned long long rate = 0, channels = 0, bits = 0;
    if (!Whole(fields[2], wav::kMinRate, wav::kMaxRate, &rate))
        return fail("rate is " + std::to_string(wav::kMinRate) + " to " + std::to_string(wav::kMaxRate) +
                    " Hz, not '" + fields[2] + "'");
    t.rate = uint32_t(rate);
    if (!Whole(fields[3], 1, wav::kMaxChannels, &channels))
        return fail("channels are 1 to " + std::to_string(wav::kMaxChannels) + ", not '" + fields[3] + "'");
    t.channels = uint16_t(channels);
    if (!Whole(fields[4], 16, 32, &bits) || bits % 8 != 0)
        return fail("bits are 16, 24 or 32, not '" + fields[4] + "'");
    t.bits = uint16_t(bits);
    if (!Real(fields[0], &t.hz) || !(t.hz > 0) || t.hz > t.rate / 2.0)
        return fail("frequency is above 0 and at most half the rate, not '" + fields[0] + "'");
    if (!Real(fields[1], &t.seconds) || !(t.seconds > 0) || t.seconds > kMaxSeconds ||
        std::floor(t.seconds * t.rate) < 1)
        return fail("length is above 0 and at most 600 s, not '" + fields[1] + "'");
    *tone = t;
    return true;
}

Parsed ParseArguments(const std::vector<std::string> &args, Options *options)
{
    Parsed parsed;
    const auto mistake = [&](const std::string &error)
    {
        parsed.outcome = Parsed::Mistake;
        parsed.error = OneLine(error);
        return parsed;
    };
    bool haveCommand = false;
    std::vector<const OptionRow *> given;
    for (size_t i = 0; i < args.size(); ++i)
    {
        const std::string &arg = args[i];
        if (arg == "--help" || arg == "-h")
        {
            parsed.outcome = Parsed::Help;
            return parsed;
        }
        if (arg.rfind("-", 0) != 0)
        {
            const auto *found = std::find(std::begin(kCommandNames), std::end(kCommandNames), Lower(arg));
            if (found == std::end(kCommandNames))
                return mistake("unknown command '" + arg + "' (commands: " +
                               List({std::begin(kCommandNames), std::end(kCommandNames)}) + ")");
            if (haveCommand)
                return mistake("one command at a time, not '" + arg + "' after '" +
                               kCommandNames[unsigned(parsed.command)] + "'");
            parsed.command = Command(found - std::begin(kCommandNames));
            haveCommand = true;
            continue;
        }
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const OptionRow *row = nullptr;
        for (const OptionRow &r : kOptions)
            if (name == r.name)
                row = &r;
        if (!row)
            return mistake("unknown option '" + name + "' (options: " + OptionNames() + ")");
        // Given again, the later value counts (./run names the examples folder before the user's options).
        given.push_back(row);
        std::string value;
        if (!row->value)
        {
            if (equals != std::string::npos)
                return mistake(std::string(row->name) + " takes no value");
        }
        else if (equals != std::string::npos)
            value = arg.substr(equals + 1);
        else if (i + 1 < args.size())
            value = args[++i];
        else
            return mistake(std::string(row->name) + " needs a value (" + row->value + ")");
        std::string error;
        if (!row->take(options, value, &error))
            return mistake(error);
    }
    for (const OptionRow *row : given)
        if (!(row->commands & Bit(parsed.command)))
            return mistake(std::string(row->name) + " does not apply to " +
                           kCommandNames[unsigned(parsed.command)] + " (it is for " +
                           CommandList(row->commands) + ")");
    if (options->tone && !options->input.empty())
        return mistake("--tone and --input are both a source to play: give one");
    return parsed;
}

std::string OneLine(const std::string &text)
{
    std::string out;
    for (char c : text)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
        {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", unsigned(byte));
            out += escaped;
        }
        else
            out += c;
    }
    return out;
}

bool SameFile(const std::filesystem::path &input, const std::filesystem::path &output)
{
    std::error_code ec;
    return std::filesystem::equivalent(input, output, ec) && !ec;
}

std::string CheckPaths(const Options &options)
{
    std::error_code ec;
    if (!std::filesystem::exists(options.examples, ec))
        return "--examples " + options.examples.string() + ": no such folder";
    if (!std::filesystem::is_directory(options.examples, ec))
        return "--examples " + options.examples.string() + " is not a folder";
    if (!options.output.empty())
    {
        if (std::filesystem::is_directory(options.output, ec))
            return "--output " + options.output.string() + " is a folder";
        if (!options.input.empty() && SameFile(options.input, options.output))
            return "--output " + options.output.string() + " is the input file: give another";
    }
    return "";
}

std::string UsageText()
{
    std::string text = "usage: zelko-host [OPTIONS] [COMMAND]\n\n"
                       "Boots the simulated machine (kernel, registry, files) and runs COMMAND on it.\n\n"
                       "commands:\n";
    for (unsigned c = 0; c < std::size(kCommandNames); ++c)
    {
        char line[32];
        std::snprintf(line, sizeof line, "  %-10s  ", kCommandNames[c]);
        text += line + std::string(kCommandHelp[c]) + "\n";
    }
    text += "\noptions (an option that does not apply to the command is an error):\n";
    for (const OptionRow &row : kOptions)
    {
        const std::string head = std::string(row.name) + (row.value ? std::string(" ") + row.value : "");
        const std::string scope = row.commands == kAll ? "" : "(" + CommandList(row.commands) + ") ";
        std::string help = scope + row.help;
        // Continuation lines line up under the first.
        std::string indented;
        for (char c : help)
            indented += c == '\n' ? std::string("\n") + std::string(20, ' ') : std::string(1, c);
        char line[32];
        // Wide enough for the longest head, "--surround on|off".
        std::snprintf(line, sizeof line, "  %-17s ", head.c_str());
        text += line + indented + "\n";
    }
    text += "  --help            this text\n\n"
            "exit codes: 0 done; 1 the run started and failed (one line says why); 2 a mistake in the\n"
            "command line or its files (one line names it); 128 + the signal when SIGINT, SIGTERM or\n"
            "SIGHUP stops it. A run that does not end with 0 writes no file.\n";
    return text;
}

} // namespace host
