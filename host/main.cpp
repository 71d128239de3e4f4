// zelko-host: runs the system's jobs on the simulated platform.
#include "commands.h"

#include "host/wav/wav_file.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    // Before the simulated machine starts a thread: each inherits the blocked signals.
    wav::EndOnSignalsLeavingNoFile();
    // A signal's end drops what stdio holds, so each line goes out as it is printed, to a file or
    // pipe too; a reader that then goes away makes a write fail instead of ending the run on the
    // spot with its temporary file left.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    std::signal(SIGPIPE, SIG_IGN);
    // Every input is checked before anything large is made; these catch what checking cannot
    // foresee (a full disk, a machine out of memory), so the program still ends with one line.
    try
    {
        host::Options options;
        const host::Parsed parsed =
            host::ParseArguments(std::vector<std::string>(argv + 1, argv + argc), &options);
        if (parsed.outcome == host::Parsed::Help)
        {
            std::fputs(host::UsageText().c_str(), stdout);
            return 0;
        }
        std::string error =
            parsed.outcome == host::Parsed::Mistake ? parsed.error : host::CheckPaths(options);
        if (!error.empty())
        {
            std::fprintf(stderr, "zelko-host: %s\n", host::OneLine(error).c_str());
            return 2;
        }
        static int (*const run[])(const host::Options &) = {host::RunPlay, host::RunCapture, host::RunStart,
                                                            host::RunSettings};
        return run[unsigned(parsed.command)](options);
    }
    catch (const std::bad_alloc &)
    {
        std::fprintf(stderr, "zelko-host: out of memory\n");
    }
    catch (const std::exception &e)
    {
        std::fprintf(stderr, "zelko-host: %s\n", host::OneLine(e.what()).c_str());
    }
    return 1;
}
