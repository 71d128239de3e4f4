// zelko-host: runs the system's jobs on the simulated platform.
#include "commands.h"

#include <cstdio>
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
    std::fprintf(out, "usage: zelko-host [--examples DIR] [--device NAME] [COMMAND]\n\n"
                      "Boots the simulated machine (kernel, registry, files) and runs COMMAND on it.\n\n"
                      "commands:\n");
    for (const auto &c : kCommands)
        std::fprintf(out, "  %-10s  %s%s\n", c.name, c.summary, &c == kCommands ? " (default)" : "");
    std::fprintf(
        out, "\noptions:\n"
             "  --examples DIR  folder standing for \\SystemRoot\\ (holds ZELKO610.INI); default: examples\n"
             "  --device NAME   the headset start plugs in: uac1 (default), uac2, mirk, dova, tesh,\n"
             "                  plon or grue\n"
             "  --help          this text\n");
}

} // namespace

int main(int argc, char **argv)
{
    host::Options options;
    const Command *command = nullptr;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
        {
            Usage(stdout);
            return 0;
        }
        if (arg == "--examples")
        {
            if (i + 1 == argc)
            {
                std::fprintf(stderr, "zelko-host: --examples needs a folder\n");
                return 2;
            }
            options.examples = argv[++i];
            continue;
        }
        if (arg.rfind("--examples=", 0) == 0)
        {
            options.examples = arg.substr(std::strlen("--examples="));
            continue;
        }
        if (arg == "--device")
        {
            if (i + 1 == argc)
            {
                std::fprintf(stderr, "zelko-host: --device needs a name\n");
                return 2;
            }
            options.device = argv[++i];
            continue;
        }
        if (arg.rfind("--device=", 0) == 0)
        {
            options.device = arg.substr(std::strlen("--device="));
            continue;
        }
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
    return (command ? command : &kCommands[0])->run(options);
}
