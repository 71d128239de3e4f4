#include "drvsetup_harness.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>

extern char **environ;

namespace
{
std::string readFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<char *> argvOf(std::vector<std::string> &storage)
{
    std::vector<char *> argv;
    for (std::string &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    return argv;
}
} // namespace

ProgramRun runDrvsetup(const std::vector<std::string> &args, const std::filesystem::path &scratch)
{
    std::vector<std::string> storage{DRVSETUP_PROGRAM};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char *> argv = argvOf(storage);
    const std::string outPath = (scratch / "stdout").string(), errPath = (scratch / "stderr").string();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ProgramRun run;
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, DRVSETUP_PROGRAM, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
    {
        run.err = "spawn failed";
        return run;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR)
    {
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    run.out = readFile(outPath);
    run.err = readFile(errPath);
    return run;
}

int runDrvsetupMain(const std::vector<std::string> &args, RecordingPlatform &platform)
{
    std::vector<std::string> storage{"drvsetup"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char *> argv = argvOf(storage);
    const int code = drvsetupMain(int(storage.size()), argv.data(), platform);
    // The recorded strings must be the caller's own, passed on untouched.
    for (const auto &call : platform.updates)
        if (call.idArg != argv[1] || call.pathArg != argv[2])
            return -100;
    return code;
}
