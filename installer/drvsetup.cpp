#include "drvsetup.h"

#include <afxwin.h>
#include <newdev.h>

#include <cstdio>

HMODULE SystemDrvsetupPlatform::ownModule()
{
    return GetModuleHandleA(NULL);
}

LPSTR SystemDrvsetupPlatform::commandLine()
{
    return GetCommandLineA();
}

BOOL SystemDrvsetupPlatform::initFramework(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine,
                                           int show)
{
    return AfxWinInit(instance, previous, commandLine, show);
}

BOOL SystemDrvsetupPlatform::updateDriver(HWND parent, LPCSTR hardwareId, LPCSTR infPath, DWORD flags,
                                          PBOOL reboot)
{
    return UpdateDriverForPlugAndPlayDevicesA(parent, hardwareId, infPath, flags, reboot);
}

void SystemDrvsetupPlatform::writeError(const char *text)
{
    std::fputs(text, stderr);
    std::fflush(stderr);
}

int drvsetupMain(int argc, char **argv, DrvsetupPlatform &platform)
{
    if (argc != 3)
        return 1;
    if (!platform.initFramework(platform.ownModule(), NULL, platform.commandLine(), 0))
    {
        // Standard output stays empty in every case: a caller that captures it sees only the exit code.
        platform.writeError("Fatal Error: MFC initialization failed\n");
        return 1;
    }
    // The reboot flag is the caller's concern: it decides about restarts, so it is not reported.
    BOOL reboot = FALSE;
    return platform.updateDriver(NULL, argv[1], argv[2], INSTALLFLAG_FORCE, &reboot) ? 0 : 1;
}

int drvsetupMain(int argc, char **argv)
{
    SystemDrvsetupPlatform platform;
    return drvsetupMain(argc, argv, platform);
}
