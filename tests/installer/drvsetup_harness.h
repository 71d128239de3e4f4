// Two ways to run drvsetup with the stand-in's environment as the calling test set it: the real
// program in a child process, and drvsetupMain in process with every platform call recorded.
#pragma once

#include "drvsetup.h"

#include <filesystem>
#include <string>
#include <vector>

struct ProgramRun
{
    int exitCode = -1; // negative: killed by that signal
    std::string out, err;
};

// Runs drvsetup with the given arguments (program name excluded) and this process's environment.
// `scratch` is a folder for the captured output.
ProgramRun runDrvsetup(const std::vector<std::string> &args, const std::filesystem::path &scratch);

// Forwards to the system platform (the stand-ins here) and keeps what drvsetup asked of it.
class RecordingPlatform : public SystemDrvsetupPlatform
{
public:
    struct InitCall
    {
        HINSTANCE instance, previous;
        LPSTR commandLine;
        int show;
    };
    struct UpdateCall
    {
        HWND parent;
        LPCSTR idArg, pathArg; // only compared: they point into the caller's argv
        std::string hardwareId, infPath;
        DWORD flags;
        BOOL rebootBefore;
        BOOL result;
    };

    BOOL initFramework(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) override
    {
        inits.push_back({instance, previous, commandLine, show});
        return SystemDrvsetupPlatform::initFramework(instance, previous, commandLine, show);
    }
    BOOL updateDriver(HWND parent, LPCSTR hardwareId, LPCSTR infPath, DWORD flags, PBOOL reboot) override
    {
        UpdateCall call{parent,
                        hardwareId,
                        infPath,
                        hardwareId ? hardwareId : "",
                        infPath ? infPath : "",
                        flags,
                        reboot ? *reboot : BOOL(-1),
                        FALSE};
        call.result = SystemDrvsetupPlatform::updateDriver(parent, hardwareId, infPath, flags, reboot);
        updates.push_back(call);
        return call.result;
    }
    void writeError(const char *text) override { err += text; }

    std::vector<InitCall> inits;
    std::vector<UpdateCall> updates;
    std::string err;
};

// drvsetupMain in process over `platform`, with argv built from the arguments. Returns -100 when an
// installation call was not given argv's own strings.
int runDrvsetupMain(const std::vector<std::string> &args, RecordingPlatform &platform);
