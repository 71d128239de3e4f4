// user32 as the panel sees it: windows found by title, posted and sent messages, low-level input
// hooks, system parameters and device-change notification. Messages reach a window's handler on the
// GUI thread (the thread of the QCoreApplication); a sent WM_COPYDATA first passes the application's
// native event filters, as on the target. The test face is <sim/user32_sim.h>.
#pragma once

#include <windows.h>

ZELKO_DECLARE_HANDLE(HHOOK);
typedef PVOID HDEVNOTIFY;

typedef LRESULT(CALLBACK *HOOKPROC)(int code, WPARAM wParam, LPARAM lParam);

struct MSG
{
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

struct COPYDATASTRUCT
{
    ULONG_PTR dwData;
    DWORD cbData; // bytes at lpData
    PVOID lpData;
};
typedef COPYDATASTRUCT *PCOPYDATASTRUCT;

struct KBDLLHOOKSTRUCT
{
    DWORD vkCode;
    DWORD scanCode;
    DWORD flags; // LLKHF_*
    DWORD time;
    ULONG_PTR dwExtraInfo;
};

struct MSLLHOOKSTRUCT
{
    POINT pt; // screen coordinates
    DWORD mouseData;
    DWORD flags;
    DWORD time;
    ULONG_PTR dwExtraInfo;
};

#define WM_COPYDATA 0x004A
#define WM_KEYDOWN 0x0100
#define WM_KEYUP 0x0101
#define WM_SYSKEYDOWN 0x0104
#define WM_SYSKEYUP 0x0105
#define WM_SYSCOMMAND 0x0112
#define WM_MOUSEMOVE 0x0200
#define WM_LBUTTONDOWN 0x0201
#define WM_LBUTTONUP 0x0202
#define WM_LBUTTONDBLCLK 0x0203
#define WM_RBUTTONDOWN 0x0204
#define WM_RBUTTONUP 0x0205
#define WM_RBUTTONDBLCLK 0x0206
#define WM_MBUTTONDOWN 0x0207
#define WM_MBUTTONUP 0x0208
#define WM_MBUTTONDBLCLK 0x0209
#define WM_MOUSEWHEEL 0x020A
#define WM_XBUTTONDOWN 0x020B
#define WM_XBUTTONUP 0x020C
#define WM_DEVICECHANGE 0x0219

#define SC_RESTORE 0xF120

#define HC_ACTION 0
#define WH_KEYBOARD_LL 13
#define WH_MOUSE_LL 14

#define LLKHF_EXTENDED 0x01
#define LLKHF_ALTDOWN 0x20
#define LLKHF_UP 0x80

#define SPI_SETDOUBLECLICKTIME 0x0020
#define SPI_SETWHEELSCROLLLINES 0x0069
#define SPI_SETMOUSESPEED 0x0071
#define SPIF_UPDATEINIFILE 0x0001
#define SPIF_SENDCHANGE 0x0002

#define DEVICE_NOTIFY_WINDOW_HANDLE 0x00000000

extern "C"
{
    // The top-level window with that title (lpClassName must be null here), or NULL.
    HWND WINAPI FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName);
    BOOL WINAPI IsWindow(HWND hWnd);
    // Queues the message for the window's handler on the GUI thread; FALSE for an unknown window or
    // without an application object.
    BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
    // Runs the handler now, on the calling thread. WM_COPYDATA first goes to the native event filters
    // ("windows_generic_MSG"): a filter that takes it gives the result. 0 for an unknown window.
    LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);

    // WH_KEYBOARD_LL or WH_MOUSE_LL, one procedure each; NULL for another type or an injected failure.
    HHOOK WINAPI SetWindowsHookExW(int idHook, HOOKPROC lpfn, HINSTANCE hmod, DWORD dwThreadId);
    BOOL WINAPI UnhookWindowsHookEx(HHOOK hhk);
    LRESULT WINAPI CallNextHookEx(HHOOK hhk, int nCode, WPARAM wParam, LPARAM lParam);

    BOOL WINAPI SystemParametersInfoW(UINT uiAction, UINT uiParam, PVOID pvParam, UINT fWinIni);

    // hRecipient is a window (DEVICE_NOTIFY_WINDOW_HANDLE); NotificationFilter a
    // DEV_BROADCAST_DEVICEINTERFACE_W (<dbt.h>). NULL for an unknown window or an injected failure.
    HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags);
    BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle);
}
