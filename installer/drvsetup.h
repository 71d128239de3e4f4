// drvsetup: installs or updates the driver for the present devices that match a hardware ID.
//   drvsetup <hardware ID> <full INF path>
// Exit code 0 when the driver was installed, 1 otherwise. Nothing goes to standard output; the only
// line ever written is the framework failure line, on standard error.
#pragma once

#include <windows.h>

// What drvsetup needs of its platform, so tests can run the logic in process and watch each call.
class DrvsetupPlatform
{
public:
    virtual ~DrvsetupPlatform() = default;
    virtual HMODULE ownModule() = 0;                                  // GetModuleHandleA(NULL)
    virtual LPSTR commandLine() = 0;                                  // GetCommandLineA()
    virtual BOOL initFramework(HINSTANCE, HINSTANCE, LPSTR, int) = 0; // AfxWinInit
    virtual BOOL updateDriver(HWND, LPCSTR hardwareId, LPCSTR infPath, DWORD, PBOOL) = 0; // newdev
    virtual void writeError(const char *text) = 0; // standard error, flushed
};

// The platform the program itself runs on.
class SystemDrvsetupPlatform : public DrvsetupPlatform
{
public:
    HMODULE ownModule() override;
    LPSTR commandLine() override;
    BOOL initFramework(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) override;
    BOOL updateDriver(HWND parent, LPCSTR hardwareId, LPCSTR infPath, DWORD flags, PBOOL reboot) override;
    void writeError(const char *text) override;
};

// The whole program: argc counts the program name, argv[1] is the hardware ID, argv[2] the INF path,
// both passed on exactly as given. Returns the exit code.
int drvsetupMain(int argc, char **argv, DrvsetupPlatform &platform);
int drvsetupMain(int argc, char **argv);
