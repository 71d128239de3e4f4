#include "support/qt_log.h"

#include <sim/user32_sim.h>

#include <QAbstractNativeEventFilter>
#include <QThread>
#include <thread>

namespace
{
class User32Test : public ::testing::Test
{
protected:
    void SetUp() override { sim::user32::resetAll(); }
    void TearDown() override { sim::user32::resetAll(); }
};

struct Delivery
{
    UINT message;
    WPARAM wParam;
    QThread *thread;
};

TEST_F(User32Test, DeviceChangeIsPostedToRegisteredWindowsAfterTheCurrentEvent)
{
    std::vector<Delivery> seen;
    HWND panel = sim::user32::createWindow(u"panel",
                                           [&](HWND, UINT m, WPARAM w, LPARAM)
                                           {
                                               seen.push_back({m, w, QThread::currentThread()});
                                               return LRESULT(0);
                                           });
    HWND other = sim::user32::createWindow(u"other",
                                           [&](HWND, UINT, WPARAM, LPARAM)
                                           {
                                               ADD_FAILURE() << "an unregistered window got a device change";
                                               return LRESULT(0);
                                           });
    ASSERT_NE(panel, other);
    DEV_BROADCAST_DEVICEINTERFACE_W filter{
        32, DBT_DEVTYP_DEVICEINTERFACE, 0, {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB}}, {0}};
    ASSERT_NE(RegisterDeviceNotificationW(panel, &filter, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
    const auto registrations = sim::user32::deviceRegistrations();
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(registrations[0].window, panel);
    EXPECT_EQ(registrations[0].filter.dbcc_classguid.Data1, 0x4D1E55B2u);

    size_t seenDuringEvent = 99;
    std::thread(
        [&]
        {
            // Posted from another thread, delivered on the GUI thread.
            QMetaObject::invokeMethod(QCoreApplication::instance(),
                                      [&]
                                      {
                                          sim::user32::postDeviceChange(DBT_DEVICEARRIVAL);
                                          seenDuringEvent = seen.size();
                                      });
        })
        .join();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(seenDuringEvent, 0u);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, UINT(WM_DEVICECHANGE));
    EXPECT_EQ(seen[0].wParam, WPARAM(0x8000));
    EXPECT_EQ(seen[0].thread, QCoreApplication::instance()->thread());

    // A window gone before delivery gets nothing; its registration goes with it.
    sim::user32::postDeviceChange(DBT_DEVICEREMOVECOMPLETE);
    sim::user32::destroyWindow(panel);
    QCoreApplication::processEvents();
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_TRUE(sim::user32::deviceRegistrations().empty());

    sim::user32::failRegisterDeviceNotification(true);
    EXPECT_EQ(RegisterDeviceNotificationW(other, &filter, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
}

class TakeCopyData : public QAbstractNativeEventFilter
{
public:
    bool nativeEventFilter(const QByteArray &type, void *message, long *result) override
    {
        types.push_back(type);
        if (!take)
            return false;
        *result = 42;
        return static_cast<MSG *>(message)->message == WM_COPYDATA;
    }
    bool take = true;
    std::vector<QByteArray> types;
};

TEST_F(User32Test, SentCopyDataPassesTheNativeFiltersFirst)
{
    int handled = 0;
    HWND window = sim::user32::createWindow(u"ZELKO panel",
                                            [&](HWND, UINT, WPARAM, LPARAM)
                                            {
                                                ++handled;
                                                return LRESULT(7);
                                            });
    EXPECT_EQ(FindWindowW(nullptr, u"ZELKO panel"), window);
    EXPECT_EQ(FindWindowW(nullptr, u"ZELKO"), nullptr);
    EXPECT_TRUE(IsWindow(window));

    TakeCopyData filter;
    QCoreApplication::instance()->installNativeEventFilter(&filter);
    COPYDATASTRUCT cds{9487, 0, nullptr};
    EXPECT_EQ(SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds)), 42);
    EXPECT_EQ(handled, 0);
    filter.take = false;
    EXPECT_EQ(SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds)), 7);
    EXPECT_EQ(handled, 1);
    QCoreApplication::instance()->removeNativeEventFilter(&filter);
    ASSERT_EQ(filter.types.size(), 2u);
    EXPECT_EQ(filter.types[0], QByteArray("windows_generic_MSG"));

    sim::user32::destroyWindow(window);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds)), 0);
    EXPECT_FALSE(PostMessageW(window, WM_SYSCOMMAND, SC_RESTORE, 0));
}

TEST_F(User32Test, HooksAndSystemParametersRecordAndFailOnRequest)
{
    static int calls;
    calls = 0;
    HOOKPROC proc = [](int code, WPARAM w, LPARAM l) -> LRESULT
    {
        const auto *k = reinterpret_cast<const KBDLLHOOKSTRUCT *>(l);
        ++calls;
        return code == HC_ACTION && w == WM_KEYDOWN && k->scanCode == 0x1E && k->flags == LLKHF_EXTENDED ? 5
                                                                                                         : 0;
    };
    HHOOK hook = SetWindowsHookExW(WH_KEYBOARD_LL, proc, GetModuleHandleW(nullptr), 0);
    ASSERT_NE(hook, nullptr);
    EXPECT_EQ(sim::user32::injectKey(WM_KEYDOWN, 0x1E, LLKHF_EXTENDED), 5);
    EXPECT_EQ(sim::user32::injectMouse(WM_LBUTTONDOWN, 1, 2), 0) << "no mouse hook";
    EXPECT_TRUE(UnhookWindowsHookEx(hook));
    EXPECT_FALSE(UnhookWindowsHookEx(hook));
    EXPECT_EQ(sim::user32::injectKey(WM_KEYDOWN, 0x1E, 0), 0);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(SetWindowsHookExW(2, proc, nullptr, 0), nullptr) << "only the low-level hooks";
    sim::user32::failHookInstall(WH_MOUSE_LL, true);
    EXPECT_EQ(SetWindowsHookExW(WH_MOUSE_LL, proc, nullptr, 0), nullptr);
    EXPECT_NE(SetWindowsHookExW(WH_KEYBOARD_LL, proc, nullptr, 0), nullptr);

    UINT lines = 0;
    EXPECT_TRUE(SystemParametersInfoW(SPI_SETWHEELSCROLLLINES, 3, nullptr, 3));
    sim::user32::failSystemParameters(true);
    EXPECT_FALSE(SystemParametersInfoW(SPI_SETMOUSESPEED, 0, &lines, 3));
    const auto spi = sim::user32::systemParametersCalls();
    ASSERT_EQ(spi.size(), 2u);
    EXPECT_EQ(spi[0].action, 105u);
    EXPECT_EQ(spi[0].uiParam, 3u);
    EXPECT_EQ(spi[1].action, 113u);
    EXPECT_EQ(spi[1].pvParam, &lines);
    EXPECT_EQ(spi[1].fWinIni, 3u);
}
} // namespace

int main(int argc, char **argv)
{
    return RunQtTests(argc, argv);
}
