// The device-installation library as drvsetup sees it: UpdateDriverForPlugAndPlayDevicesA over a
// simulated set of present devices.
//
// Simulation face (environment, read at every call so one process can run several scenarios):
//   DRVSETUP_SIM_DEVICES       present devices, "ID,ID;ID,ID": devices separated by ';', each one's
//                              hardware IDs, most specific first, separated by ','. Unset or empty:
//                              no device.
//   DRVSETUP_SIM_DEVICES_FILE  the same list read from a file (used when DRVSETUP_SIM_DEVICES is unset);
//                              line ends at its end are ignored.
//   DRVSETUP_SIM_REBOOT        "1": a successful installation requires a reboot.
//   DRVSETUP_SIM_FAIL          an error code (decimal or 0x hex, non-zero): an installation that would
//                              succeed fails with it instead.
//   DRVSETUP_SIM_LOG           a file each call appends one line to: its arguments, the reboot flag as
//                              it was before the call, and the result. Notes on a rejected device list
//                              or scenario value go there too ("note: ..."), never to the console.
//                              A call's line, strings C-quoted with other bytes as \xHH:
//                              UpdateDriverForPlugAndPlayDevicesA(NULL, "ID", "PATH", 0x1, reboot FALSE)
//                              followed by " -> TRUE, reboot FALSE" or " -> FALSE, error 0xE000020B".
// A list over 64 KiB, with an empty ID or device, or with a control byte counts as no device.
#pragma once

#include <windows.h>

#define INSTALLFLAG_FORCE 0x00000001
#define INSTALLFLAG_READONLY 0x00000002
#define INSTALLFLAG_NONINTERACTIVE 0x00000004
#define INSTALLFLAG_BITS 0x00000007

#define ERROR_NO_SUCH_DEVINST 0xE000020BL

extern "C"
{
    // Installs the driver of the INF at FullInfPath (an absolute path to an existing file) for every
    // present device that lists HardwareId among its hardware IDs (whole ID, case ignored).
    // On success: TRUE, last error 0, and *bRebootRequired (when given) tells whether a reboot is needed.
    // On failure: FALSE and the last error: ERROR_INVALID_PARAMETER for a null or empty ID or path,
    // ERROR_INVALID_FLAGS for bits outside INSTALLFLAG_BITS, ERROR_FILE_NOT_FOUND for a path that is
    // not absolute or not a regular file, ERROR_NO_SUCH_DEVINST when no present device matches.
    BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND hwndParent, LPCSTR HardwareId, LPCSTR FullInfPath,
                                                   DWORD InstallFlags, PBOOL bRebootRequired);
}
