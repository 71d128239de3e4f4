// The application framework's console start-up, as drvsetup calls it. The framework itself is not
// part of this system: on Linux its stand-in (afx_sim.cpp) serves the simulation, and the Windows
// build links a shim (afx_win32.cpp), since the cross toolchain ships no such framework.
#pragma once

#include <windows.h>

#define AFXAPI WINAPI

// Initialises the framework for the module hInstance. FALSE when it cannot run: the Windows shim
// refuses a null module handle; the Linux stand-in also fails when DRVSETUP_SIM_AFX_FAIL is "1".
BOOL AFXAPI AfxWinInit(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);
