#include <sim/user32_sim.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>
#include <map>
#include <mutex>

namespace
{
struct Window
{
    std::u16string title;
    sim::user32::WindowHandler handler;
};

struct Hook
{
    std::atomic<HOOKPROC> proc{nullptr};
    std::atomic<bool> fail{false};
};

struct State
{
    std::mutex lock;
    std::map<HWND, Window> windows;
    uintptr_t nextToken = 0x1000;
    Hook keyboard, mouse;
    std::atomic<unsigned> nextCalls{0};
    bool failSpi = false;
    std::vector<sim::user32::SystemParametersCall> spiCalls;
    bool failRegister = false;
    std::map<HDEVNOTIFY, sim::user32::DeviceRegistration> registrations;
};

State &state()
{
    static State s;
    return s;
}

// Runs f(state) under the state's lock.
template <typename F> auto locked(F f)
{
    State &s = state();
    std::lock_guard<std::mutex> g(s.lock);
    return f(s);
}

template <typename Handle> Handle newToken(State &s)
{
    return reinterpret_cast<Handle>(s.nextToken++);
}

Hook *hookOf(int idHook)
{
    switch (idHook)
    {
    case WH_KEYBOARD_LL:
        return &state().keyboard;
    case WH_MOUSE_LL:
        return &state().mouse;
    default:
        return nullptr;
    }
}

// The hook handle is the hook record's address: no table to search on the input path.
HHOOK handleOf(Hook *hook)
{
    return reinterpret_cast<HHOOK>(hook);
}

bool findHandler(HWND hwnd, sim::user32::WindowHandler &handler)
{
    State &s = state();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.windows.find(hwnd);
    if (it == s.windows.end())
        return false;
    handler = it->second.handler;
    return true;
}
} // namespace

extern "C"
{
    HWND WINAPI FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName)
    {
        if (lpClassName != nullptr || lpWindowName == nullptr)
            return nullptr;
        State &s = state();
        std::lock_guard<std::mutex> g(s.lock);
        for (const auto &[hwnd, window] : s.windows)
            if (window.title == lpWindowName)
                return hwnd;
        return nullptr;
    }

    BOOL WINAPI IsWindow(HWND hWnd)
    {
        State &s = state();
        std::lock_guard<std::mutex> g(s.lock);
        return s.windows.count(hWnd) ? TRUE : FALSE;
    }

    BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
    {
        QCoreApplication *app = QCoreApplication::instance();
        if (app == nullptr || !IsWindow(hWnd))
            return FALSE;
        // The window may be gone when the message comes up: then it is dropped, as on the target.
        QMetaObject::invokeMethod(
            app,
            [=]
            {
                sim::user32::WindowHandler handler;
                if (findHandler(hWnd, handler))
                    handler(hWnd, Msg, wParam, lParam);
            },
            Qt::QueuedConnection);
        return TRUE;
    }

    LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
    {
        sim::user32::WindowHandler handler;
        if (!findHandler(hWnd, handler))
            return 0;
        if (Msg == WM_COPYDATA && QCoreApplication::instance() != nullptr)
        {
            MSG msg{hWnd, Msg, wParam, lParam, 0, {0, 0}};
            long result = 0;
            QAbstractEventDispatcher *dispatcher =
                QAbstractEventDispatcher::instance(QCoreApplication::instance()->thread());
            if (dispatcher != nullptr && dispatcher->filterNativeEvent("windows_generic_MSG", &msg, &result))
                return LRESULT(result);
        }
        return handler(hWnd, Msg, wParam, lParam);
    }

    HHOOK WINAPI SetWindowsHookExW(int idHook, HOOKPROC lpfn, HINSTANCE, DWORD)
    {
        Hook *hook = hookOf(idHook);
        if (hook == nullptr || lpfn == nullptr || hook->fail.load())
            return nullptr;
        hook->proc.store(lpfn);
        return handleOf(hook);
    }

    BOOL WINAPI UnhookWindowsHookEx(HHOOK hhk)
    {
        for (int id : {WH_KEYBOARD_LL, WH_MOUSE_LL})
        {
            Hook *hook = hookOf(id);
            if (hhk == handleOf(hook) && hook->proc.exchange(nullptr) != nullptr)
                return TRUE;
        }
        return FALSE;
    }

    LRESULT WINAPI CallNextHookEx(HHOOK, int, WPARAM, LPARAM)
    {
        state().nextCalls.fetch_add(1);
        return 0;
    }

    BOOL WINAPI SystemParametersInfoW(UINT uiAction, UINT uiParam, PVOID pvParam, UINT fWinIni)
    {
        State &s = state();
        std::lock_guard<std::mutex> g(s.lock);
        s.spiCalls.push_back({uiAction, uiParam, pvParam, fWinIni});
        return s.failSpi ? FALSE : TRUE;
    }

    HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags)
    {
        State &s = state();
        std::lock_guard<std::mutex> g(s.lock);
        HWND window = static_cast<HWND>(hRecipient);
        const auto *filter = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W *>(NotificationFilter);
        if (s.failRegister || filter == nullptr || Flags != DEVICE_NOTIFY_WINDOW_HANDLE ||
            !s.windows.count(window))
            return nullptr;
        HDEVNOTIFY token = newToken<HDEVNOTIFY>(s);
        s.registrations[token] = {window, *filter, Flags};
        return token;
    }

    BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle)
    {
        State &s = state();
        std::lock_guard<std::mutex> g(s.lock);
        return s.registrations.erase(Handle) ? TRUE : FALSE;
    }
}

namespace sim::user32
{
void resetAll()
{
    State &s = state();
    std::lock_guard<std::mutex> g(s.lock);
    s.windows.clear();
    for (Hook *hook : {&s.keyboard, &s.mouse})
    {
        hook->proc.store(nullptr);
        hook->fail.store(false);
    }
    s.nextCalls.store(0);
    s.failSpi = false;
    s.spiCalls.clear();
    s.failRegister = false;
    s.registrations.clear();
}

HWND createWindow(const std::u16string &title, WindowHandler handler)
{
    State &s = state();
    std::lock_guard<std::mutex> g(s.lock);
    HWND hwnd = newToken<HWND>(s);
    s.windows[hwnd] = {title, std::move(handler)};
    return hwnd;
}

void destroyWindow(HWND hwnd)
{
    State &s = state();
    std::lock_guard<std::mutex> g(s.lock);
    s.windows.erase(hwnd);
    std::erase_if(s.registrations, [hwnd](const auto &entry) { return entry.second.window == hwnd; });
}

void failHookInstall(int idHook, bool fail)
{
    if (Hook *hook = hookOf(idHook))
        hook->fail.store(fail);
}

HHOOK installedHook(int idHook)
{
    Hook *hook = hookOf(idHook);
    return hook != nullptr && hook->proc.load() != nullptr ? handleOf(hook) : nullptr;
}

LRESULT injectKey(UINT message, DWORD scanCode, DWORD flags)
{
    HOOKPROC proc = state().keyboard.proc.load();
    if (proc == nullptr)
        return 0;
    KBDLLHOOKSTRUCT record{0, scanCode, flags, 0, 0};
    return proc(HC_ACTION, message, reinterpret_cast<LPARAM>(&record));
}

LRESULT injectMouse(UINT message, LONG x, LONG y)
{
    HOOKPROC proc = state().mouse.proc.load();
    if (proc == nullptr)
        return 0;
    MSLLHOOKSTRUCT record{{x, y}, 0, 0, 0, 0};
    return proc(HC_ACTION, message, reinterpret_cast<LPARAM>(&record));
}

unsigned callNextHookCount()
{
    return state().nextCalls.load();
}

void failSystemParameters(bool fail)
{
    locked([fail](State &s) { s.failSpi = fail; });
}

std::vector<SystemParametersCall> systemParametersCalls()
{
    return locked([](State &s) { return s.spiCalls; });
}

void failRegisterDeviceNotification(bool fail)
{
    locked([fail](State &s) { s.failRegister = fail; });
}

std::vector<DeviceRegistration> deviceRegistrations()
{
    return locked(
        [](State &s)
        {
            std::vector<DeviceRegistration> out;
            for (const auto &entry : s.registrations)
                out.push_back(entry.second);
            return out;
        });
}

void postDeviceChange(WPARAM wParam)
{
    for (const DeviceRegistration &r : deviceRegistrations())
        PostMessageW(r.window, WM_DEVICECHANGE, wParam, 0);
}
} // namespace sim::user32
