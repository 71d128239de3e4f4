#include "input_hooks.h"
#include "key_tables.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>

#include <array>

namespace
{
// Process-wide, as the hooks are: plain values, so the hook procedures never allocate or lock.
struct HookState
{
    HHOOK keyboard = nullptr;
    HHOOK mouse = nullptr;
    KeyboardCallback keyboardCallback = nullptr;
    void *keyboardContext = nullptr;
    MouseCallback mouseCallback = nullptr;
    void *mouseContext = nullptr;
    CopyDataCallback copyDataCallback = nullptr;
    void *copyDataContext = nullptr;
    // The last reported state of each key code, so auto-repeat reports one press.
    std::array<uint8_t, 256> keyDownState{};
};
HookState g_hooks;
InputHooks *g_instance = nullptr;

constexpr DWORD kScanPause = 0x46, kScanSysRq = 0x54;

LRESULT CALLBACK keyboardProc(int code, WPARAM wParam, LPARAM lParam)
{
    const auto *event = reinterpret_cast<const KBDLLHOOKSTRUCT *>(lParam);
    if (event != nullptr)
    {
        const uint8_t pressed = code == HC_ACTION && (wParam == WM_KEYDOWN || wParam == WM_SYSKEYDOWN);
        const DWORD scan = event->scanCode > 255 ? 0 : event->scanCode;
        const bool extended = (event->flags & LLKHF_EXTENDED) != 0;
        uint8_t vk = keys::scanCodeToVk(uint16_t(scan << 8 | (extended ? 1 : 0)));
        // Ctrl+Pause arrives as an extended 46h, and Print Screen with Alt held as 54h (SysRq).
        if (scan == kScanPause && extended)
            vk = 19;
        else if (scan == kScanSysRq && (event->flags & LLKHF_ALTDOWN) != 0)
            vk = 44;
        const uint8_t key = vk != 0 ? keys::vkToHidUsage(vk) : 0;
        if (key != 0 && g_hooks.keyDownState[key] != pressed)
        {
            g_hooks.keyDownState[key] = pressed;
            if (g_hooks.keyboardCallback != nullptr)
                g_hooks.keyboardCallback(key, pressed, g_hooks.keyboardContext);
        }
    }
    return CallNextHookEx(g_hooks.keyboard, code, wParam, lParam);
}

LRESULT CALLBACK mouseProc(int code, WPARAM wParam, LPARAM lParam)
{
    const auto *event = reinterpret_cast<const MSLLHOOKSTRUCT *>(lParam);
    int button = 0, state = 0;
    switch (wParam)
    {
    case WM_LBUTTONDOWN:
        button = 240, state = 1;
        break;
    case WM_LBUTTONUP:
        button = 240;
        break;
    case WM_RBUTTONDOWN:
        button = 241, state = 1;
        break;
    case WM_RBUTTONUP:
        button = 241;
        break;
    case WM_MBUTTONDOWN:
        button = 242, state = 1;
        break;
    case WM_MBUTTONUP:
        button = 242;
        break;
    default: // double-clicks, wheel, moves and X buttons are not reported
        break;
    }
    if (button != 0 && event != nullptr && g_hooks.mouseCallback != nullptr)
        g_hooks.mouseCallback(button, state, event->pt.x, event->pt.y, g_hooks.mouseContext);
    return CallNextHookEx(g_hooks.mouse, code, wParam, lParam);
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(const unsigned char *p, size_t n)
{
    size_t i = 0;
    while (i < n)
    {
        const unsigned char c = p[i];
        size_t extra;
        uint32_t min, cp;
        if (c < 0x80)
        {
            ++i;
            continue;
        }
        if ((c & 0xE0) == 0xC0)
            extra = 1, min = 0x80, cp = c & 0x1F;
        else if ((c & 0xF0) == 0xE0)
            extra = 2, min = 0x800, cp = c & 0x0F;
        else if ((c & 0xF8) == 0xF0)
            extra = 3, min = 0x10000, cp = c & 0x07;
        else
            return false;
        if (n - i <= extra)
            return false;
        for (size_t k = 1; k <= extra; ++k)
        {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}
} // namespace

std::optional<QString> copyDataText(const COPYDATASTRUCT &data)
{
    // A sender's text is at most this long; a larger count is not trusted to be readable.
    constexpr DWORD kMaxBytes = 64 * 1024;
    if (data.dwData != kCopyDataTag || data.lpData == nullptr || data.cbData == 0 || data.cbData > kMaxBytes)
        return std::nullopt;
    const auto *bytes = static_cast<const unsigned char *>(data.lpData);
    for (DWORD i = 0; i < data.cbData; ++i)
        if (bytes[i] == 0)
            return std::nullopt;
    if (!isValidUtf8(bytes, data.cbData))
        return std::nullopt;
    return QString::fromUtf8(reinterpret_cast<const char *>(bytes), int(data.cbData));
}

class InputHooks::Filter : public QAbstractNativeEventFilter
{
public:
    bool nativeEventFilter(const QByteArray &eventType, void *message, long *result) override
    {
        if (eventType != "windows_generic_MSG" || message == nullptr || g_hooks.copyDataCallback == nullptr)
            return false;
        const MSG *msg = static_cast<const MSG *>(message);
        if (msg->message != WM_COPYDATA)
            return false;
        g_hooks.copyDataCallback(reinterpret_cast<const COPYDATASTRUCT *>(msg->lParam),
                                 g_hooks.copyDataContext);
        if (result != nullptr)
            *result = 1;
        return true;
    }
};

InputHooks::InputHooks(int value) : m_value(value)
{
    g_instance = this;
    g_hooks.keyDownState.fill(0);
    installHooks();
}

InputHooks::~InputHooks()
{
    removeHooks();
    if (m_filter != nullptr && QCoreApplication::instance() != nullptr)
        QCoreApplication::instance()->removeNativeEventFilter(m_filter.get());
    g_hooks.keyboardCallback = nullptr;
    g_hooks.mouseCallback = nullptr;
    g_hooks.copyDataCallback = nullptr;
    if (g_instance == this)
        g_instance = nullptr;
}

int InputHooks::installHooks()
{
    if (g_hooks.keyboard != nullptr || g_hooks.mouse != nullptr)
        removeHooks();
    HINSTANCE self = GetModuleHandleW(nullptr);
    g_hooks.keyboard = SetWindowsHookExW(WH_KEYBOARD_LL, keyboardProc, self, 0);
    g_hooks.mouse = SetWindowsHookExW(WH_MOUSE_LL, mouseProc, self, 0);
    if (g_hooks.keyboard != nullptr && g_hooks.mouse != nullptr)
        return 1;
    removeHooks();
    return 0;
}

void InputHooks::removeHooks()
{
    if (g_hooks.keyboard != nullptr)
        UnhookWindowsHookEx(g_hooks.keyboard);
    if (g_hooks.mouse != nullptr)
        UnhookWindowsHookEx(g_hooks.mouse);
    g_hooks.keyboard = nullptr;
    g_hooks.mouse = nullptr;
}

void InputHooks::setKeyboardCallback(KeyboardCallback callback, void *context)
{
    g_hooks.keyboardCallback = callback;
    g_hooks.keyboardContext = context;
}

void InputHooks::setMouseCallback(MouseCallback callback, void *context)
{
    g_hooks.mouseCallback = callback;
    g_hooks.mouseContext = context;
}

void InputHooks::setCopyDataFilter(CopyDataCallback callback, QCoreApplication *application, void *context)
{
    g_hooks.copyDataCallback = callback;
    g_hooks.copyDataContext = context;
    if (m_filter == nullptr && application != nullptr)
    {
        m_filter = std::make_unique<Filter>();
        application->installNativeEventFilter(m_filter.get());
    }
}

LRESULT InputHooks::sendCopyData(const QString &windowTitle, COPYDATASTRUCT *data, HWND ownWindow)
{
    const std::u16string title = windowTitle.toStdU16String();
    HWND window = FindWindowW(nullptr, reinterpret_cast<LPCWSTR>(title.c_str()));
    if (window != nullptr && window == ownWindow)
        return reinterpret_cast<LRESULT>(window);
    if (IsWindow(window))
        return SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(data));
    return 0;
}

HHOOK InputHooks::keyboardHook() const
{
    return g_hooks.keyboard;
}

HHOOK InputHooks::mouseHook() const
{
    return g_hooks.mouse;
}
