// zelko-host: runs the system's jobs on the simulated platform.
#include "commands.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

struct Command
{
    const char *name;
    const char *summary;
    int (*run)(const host::Options &);
};

// The first command is the default.
const Command kCommands[] = {
    {"play",
     "load the driver, plug the virtual headset --device names, play a WAV file through\n"
     "              an endpoint's wave pin and write what reached the bus, with its statistics",
     host::RunPlay},
    {"capture",
     "record --seconds from an endpoint's wave pin, fed by the headset's IN source,\n"
     "              into a WAV file, with its statistics",
     host::RunCapture},
    {"start",
     "load the driver, plug the virtual headset --device names, print what the start\n"
     "              built, then remove it and check that nothing was left behind",
     host::RunStart},
    {"settings",
     "import the INI file into a simulated headset's settings, as the driver does at\n"
     "              device start, and print the resulting \"Settings\" values",
     host::RunSettings},
};

void Usage(FILE *out)
{
    std::fprintf(out, "usage: zelko-host [OPTIONS] [COMMAND]\n\n"
                      "Boots the simulated machine (kernel, registry, files) and runs COMMAND on it.\n\n"
                      "commands:\n");
    for (const auto &c : kCommands)
        std::fprintf(out, "  %-10s  %s%s\n", c.name, c.summary, &c == kCommands ? " (default)" : "");
    std::fprintf(
        out,
        "\noptions:\n"
        "  --examples DIR  folder standing for \\SystemRoot\\ (holds ZELKO610.INI and the example WAV);\n"
        "                  default: examples\n"
        "  --device NAME   the headset: uac1 (default), uac2, mirk, dova, tesh, plon or grue\n"
        "  --endpoint NAME play: HPOut00, else the headset's first render endpoint (default); a source with\n"
        "                  fewer channels than the endpoint takes plays on its first channels;\n"
        "                  capture: MicIn00 (default)\n"
        "  --input FILE    play: a WAV file of 16-, 24- or 32-bit PCM (default: the example)\n"
        "  --tone SPEC     play: a sine instead, HZ,SECONDS,RATE,CHANNELS,BITS (1000,2,48000,2,16)\n"
        "  --output FILE   play: out/bus-ENDPOINT.wav; capture: out/capture-ENDPOINT.wav (default)\n"
        "  --seconds N     capture: how long (default 2)\n"
        "  --pattern NAME  capture: the IN source, sine (default) or ramp\n"
        "  --surround on|off  play: switch the headset's headphone surround node (plon, grue) before\n"
        "                  the pin runs; a headset without the node refuses it\n"
        "  --realtime      run on the wall clock instead of virtual time\n"
        "  --help          this text\n");
}

// "--name VALUE" or "--name=VALUE"; false when `arg` is not that option. A missing value ends the
// program with a one-line error.
bool TakeValue(const std::string &arg, const char *name, int *i, int argc, char **argv, std::string *value)
{
    const std::string prefix = std::string(name) + "=";
    if (arg.rfind(prefix, 0) == 0)
    {
        *value = arg.substr(prefix.size());
        return true;
    }
    if (arg != name)
        return false;
    if (*i + 1 == argc)
    {
        std::fprintf(stderr, "zelko-host: %s needs a value\n", name);
        std::exit(2);
    }
    *value = argv[++*i];
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    host::Options options;
    const Command *command = nullptr;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        std::string value;
        if (arg == "--help" || arg == "-h")
        {
            Usage(stdout);
            return 0;
        }
        if (arg == "--realtime")
            options.realtime = true;
        else if (TakeValue(arg, "--examples", &i, argc, argv, &value))
            options.examples = value;
        else if (TakeValue(arg, "--device", &i, argc, argv, &value))
            options.device = value;
        else if (TakeValue(arg, "--endpoint", &i, argc, argv, &value))
            options.endpoint = value;
        else if (TakeValue(arg, "--input", &i, argc, argv, &value))
            options.input = value;
        else if (TakeValue(arg, "--tone", &i, argc, argv, &value))
            options.tone = value;
        else if (TakeValue(arg, "--output", &i, argc, argv, &value))
            options.output = value;
        else if (TakeValue(arg, "--pattern", &i, argc, argv, &value))
            options.pattern = value;
        else if (TakeValue(arg, "--surround", &i, argc, argv, &value))
        {
            if (value != "on" && value != "off")
            {
                std::fprintf(stderr, "zelko-host: --surround is on or off, not '%s'\n", value.c_str());
                return 2;
            }
            options.surround = value;
        }
        else if (TakeValue(arg, "--seconds", &i, argc, argv, &value))
        {
            char *end = nullptr;
            const unsigned long seconds = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end || seconds == 0 || seconds > 600)
            {
                std::fprintf(stderr, "zelko-host: --seconds is a whole number from 1 to 600, not '%s'\n",
                             value.c_str());
                return 2;
            }
            options.seconds = unsigned(seconds);
        }
        else
        {
            const Command *found = nullptr;
            for (const auto &c : kCommands)
                if (arg == c.name)
                    found = &c;
            if (!found || command)
            {
                std::fprintf(stderr, "zelko-host: %s '%s'\n\n",
                             found ? "one command at a time, not" : "unknown argument", arg.c_str());
                Usage(stderr);
                return 2;
            }
            command = found;
        }
    }
    return (command ? command : &kCommands[0])->run(options);
}
