// Test face of the user32 stand-in: make windows, inject input and failures, read what was recorded.
// Call from the GUI thread, with a QCoreApplication alive for posted messages.
#pragma once

#include <winuser.h>
#include <dbt.h>

#include <functional>
#include <string>
#include <vector>

namespace sim::user32
{
using WindowHandler = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

// Forgets every window, hook, recording and failure switch.
void resetAll();

// A top-level window with that title; its handler gets the window's messages.
HWND createWindow(const std::u16string &title, WindowHandler handler);
void destroyWindow(HWND hwnd);

// Makes the next installs of that hook type fail (WH_KEYBOARD_LL or WH_MOUSE_LL).
void failHookInstall(int idHook, bool fail);
HHOOK installedHook(int idHook);
// Calls the installed procedure on this thread with HC_ACTION and a filled record; the procedure's
// result, or 0 when none is installed. Allocates nothing.
LRESULT injectKey(UINT message, DWORD scanCode, DWORD flags);
LRESULT injectMouse(UINT message, LONG x, LONG y);
unsigned callNextHookCount();

struct SystemParametersCall
{
    UINT action, uiParam;
    PVOID pvParam;
    UINT fWinIni;
};
void failSystemParameters(bool fail);
std::vector<SystemParametersCall> systemParametersCalls();

struct DeviceRegistration
{
    HWND window;
    DEV_BROADCAST_DEVICEINTERFACE_W filter;
    DWORD flags;
};
void failRegisterDeviceNotification(bool fail);
std::vector<DeviceRegistration> deviceRegistrations();
// Posts WM_DEVICECHANGE (wParam, lParam 0) to every window registered for notifications.
void postDeviceChange(WPARAM wParam);
} // namespace sim::user32
