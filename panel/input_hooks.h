// Process-wide low-level keyboard and mouse hooks and the copy-data message filter, through which the
// macro recorder and the key pages see every key press and click while the panel runs. Everything
// here runs on the GUI thread: the hooks are called on the thread that installed them.
#pragma once

#include <windows.h>
#include <winuser.h>

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

class QCoreApplication;

// keyCode: key code (key_tables.h); state 1 pressed, 0 released.
using KeyboardCallback = void (*)(int keyCode, int state, void *context);
// buttonCode 240..242 (left, right, middle); x, y in screen coordinates.
using MouseCallback = void (*)(int buttonCode, int state, int x, int y, void *context);
using CopyDataCallback = void (*)(const COPYDATASTRUCT *data, void *context);

// The tag of the panel's own copy-data messages (a warning text for the user).
constexpr ULONG_PTR kCopyDataTag = 9487;

// The text of a panel copy-data message: tag kCopyDataTag, lpData not null, 0 < cbData <= 64 KiB,
// and exactly cbData bytes of valid UTF-8 without NUL. Reads nothing past cbData; nothing otherwise.
std::optional<QString> copyDataText(const COPYDATASTRUCT &data);

class InputHooks
{
public:
    // Becomes the process's instance (one at a time) and installs both hooks.
    explicit InputHooks(int value);
    // Removes the hooks and the filter, and clears the callbacks.
    ~InputHooks();
    InputHooks(const InputHooks &) = delete;
    InputHooks &operator=(const InputHooks &) = delete;

    // 1 when both hooks are in place; 0 otherwise, with neither installed.
    int installHooks();
    void removeHooks();

    void setKeyboardCallback(KeyboardCallback callback, void *context);
    void setMouseCallback(MouseCallback callback, void *context);
    // Filters the application's native messages: WM_COPYDATA goes to the callback and counts as handled.
    void setCopyDataFilter(CopyDataCallback callback, QCoreApplication *application, void *context);

    // Sends `data` to the top-level window titled `windowTitle`. Returns that window when it is
    // ownWindow (nothing is sent), SendMessageW's result when it is another window, 0 when none.
    static LRESULT sendCopyData(const QString &windowTitle, COPYDATASTRUCT *data, HWND ownWindow);

    HHOOK keyboardHook() const;
    HHOOK mouseHook() const;
    int value() const { return m_value; }

private:
    class Filter;
    int m_value;
    std::unique_ptr<Filter> m_filter;
};
