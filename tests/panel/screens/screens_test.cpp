// The host window on a real (virtual) X display with a tray host, over the simulated devices and
// the library stand-in: each state of the scene is grabbed from the screen once it has settled, and
// the PNGs are checked for content (never against reference images). The window's rectangle holds
// more than 16 colours in each, every state differs from every other in more than 1% of it, and the
// tray icon sits on screen. The scene's status line and controls are read alongside, and controls
// that cannot be used are seen drawn dimmer.
#include "panel/device/hid_transport_factory.h"
#include "panel/widget.h"
#include "support/qt_gui_main.h"
#include "support/qt_scene.h"
#include "support/test_dir.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QQuickItem>
#include <QScreen>
#include <QSet>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>

namespace
{
int colours(const QImage &image, const QRect &rect)
{
    QSet<QRgb> seen;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            seen.insert(image.pixel(x, y));
    return seen.size();
}

double differing(const QImage &a, const QImage &b, const QRect &rect)
{
    long n = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            n += a.pixel(x, y) != b.pixel(x, y);
    return double(n) / (double(rect.width()) * rect.height());
}

// Runs events in rounds of 20 ms until cond holds; false after about ten seconds. The X server and
// the tray host are other processes: their pace is real time.
template <typename F> bool settle(F cond, int rounds = 500)
{
    for (int round = 0; round < rounds; ++round)
    {
        if (cond())
            return true;
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return cond();
}

// The brightest grey in a rectangle: a control's text or handle, which a dimmed control lacks.
int brightest(const QImage &image, const QRect &rect)
{
    int most = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            most = std::max(most, qGray(image.pixel(x, y)));
    return most;
}

void copyTree(const QString &from, const QString &to)
{
    std::filesystem::copy(from.toStdString(), to.toStdString(), std::filesystem::copy_options::recursive);
}

class PanelScreens : public ::testing::Test
{
protected:
    void SetUp() override
    {
        dir = freshTestDirectory();
        root = QString::fromStdString(dir.string());
        copyTree(PANEL_MODULES_DIR, root + "/modules");
        setenv("OSCONF_SIM_SCENARIO", PANEL_EXAMPLES_DIR "/headset.conf", 1);
        QDir().mkpath(PANEL_SHOTS_DIR);
    }
    void TearDown() override
    {
        widget.reset();
        QDir::setCurrent(QDir::tempPath());
        transport.reset();
        std::filesystem::remove_all(dir);
    }

    // The window over one scenario of examples/panel, shown, with its first device check run.
    void start(const char *scenario)
    {
        widget.reset();
        setenv("DEVPANEL_HID_BACKEND",
               (QString("sim:") + PANEL_EXAMPLES_DIR + "/" + scenario + ".json").toUtf8(), 1);
        transport = makeHidTransport();
        QDir::setCurrent(root); // the panel's paths are relative to its folder
        WidgetSetup setup;
        setup.view.programDir = root;
        setup.configLibrary = CONFLIB_PATH;
        widget = std::make_unique<Widget>(*transport, setup);
        widget->showNormal();
        widget->checkDevice();
    }

    QImage screenNow() const
    {
        return QGuiApplication::primaryScreen()->grabWindow(0).toImage().convertToFormat(
            QImage::Format_RGB32);
    }

    // The whole screen once it has settled on a new picture: unlike every earlier one, and the same
    // three grabs in a row (an animated state: the first new one). Saved as <state>.png and read back.
    QImage grab(const QString &state, bool animated = false)
    {
        QImage last;
        int same = 0;
        const bool settled = settle(
            [&]
            {
                const QImage now = screenNow();
                bool fresh = !now.isNull();
                for (const QImage &earlier : earlierShots)
                    fresh = fresh && now != earlier;
                same = fresh && now == last ? same + 1 : 0;
                last = now;
                return fresh && (animated || same >= 2);
            });
        EXPECT_TRUE(settled) << state.toStdString() << " never settled on a new picture";
        const QString file = QString(PANEL_SHOTS_DIR) + "/" + state + ".png";
        EXPECT_TRUE(last.save(file));
        earlierShots.push_back(last);
        return QImage(file).convertToFormat(QImage::Format_RGB32);
    }

    // How bright a control of the scene is drawn in a grab of the current window.
    int brightness(const QImage &shot, const char *name) const
    {
        const auto *item = qobject_cast<QQuickItem *>(control(widget->view()->rootObject(), name));
        EXPECT_NE(item, nullptr) << name;
        if (item == nullptr)
            return 0;
        const QRect inScene = item->mapRectToScene(item->boundingRect()).toAlignedRect();
        return brightest(shot, QRect(widget->view()->mapToGlobal(inScene.topLeft()), inScene.size()));
    }

    // The tray icon's rectangle once it has docked (moved into the tray host's window), logged with
    // the window's and the tray's availability.
    QRect docked()
    {
        QSystemTrayIcon *tray = widget->trayIcon();
        EXPECT_NE(tray, nullptr);
        if (tray == nullptr)
            return {};
        EXPECT_TRUE(
            settle([&] { return !tray->geometry().isEmpty() && tray->geometry().topLeft() != QPoint(0, 0); }))
            << "the icon never docked";
        const QRect window = widget->frameGeometry(), icon = tray->geometry();
        std::printf("window %d,%d %dx%d; tray available %d; tray icon %d,%d %dx%d\n", window.x(), window.y(),
                    window.width(), window.height(), int(QSystemTrayIcon::isSystemTrayAvailable()), icon.x(),
                    icon.y(), icon.width(), icon.height());
        return icon;
    }

    std::vector<QImage> earlierShots; // and the screen before the first window
    std::filesystem::path dir;
    QString root;
    std::unique_ptr<HidTransport> transport;
    std::unique_ptr<Widget> widget;
};
} // namespace

TEST_F(PanelScreens, EachStateShowsTheWindowAndTheTrayIcon)
{
    ASSERT_TRUE(settle([] { return QSystemTrayIcon::isSystemTrayAvailable(); })) << "no tray host";
    earlierShots.push_back(screenNow());
    start("full");
    ASSERT_EQ(widget->hid().connectionBits(), 8u);
    QQuickItem *scene = widget->view()->rootObject();
    ASSERT_NE(scene, nullptr);
    const QRect window = widget->frameGeometry();
    docked();

    // The headset page says in words what is connected, and its controls can be used.
    ASSERT_TRUE(settle([&] { return scene->property("connectState").toInt() == 8; }));
    EXPECT_EQ(control(scene, "status")->property("text").toString().toStdString(), "Connected: Headset");
    EXPECT_TRUE(control(scene, "eqEnable")->property("enabled").toBool());
    std::vector<std::pair<QString, QImage>> shots;
    shots.emplace_back("headset", grab("headset"));
    // Controls of both tabs, as bright as they are drawn while they can be used.
    const char *const soundControls[] = {"eqEnable", "surround"};
    const char *const volumeControls[] = {"playLeft", "micMute"};
    std::map<std::string, int> usable;
    for (const char *name : soundControls)
        usable[name] = brightness(shots.back().second, name);
    // The volume sliders stand at the library's 75 %, loud to the right.
    QMetaObject::invokeMethod(control(scene, "tab_Volume"), "clicked");
    EXPECT_TRUE(settle([&] { return control(scene, "playLeft")->property("value").toDouble() == 75; }));
    EXPECT_EQ(control(scene, "micRight")->property("value").toDouble(), 75);
    shots.emplace_back("volume", grab("volume"));
    for (const char *name : volumeControls)
        usable[name] = brightness(shots.back().second, name);
    QMetaObject::invokeMethod(control(scene, "tab_Sound"), "clicked");
    widget->view()->setBusy(100000);
    shots.emplace_back("busy", grab("busy", true));
    widget->view()->setBusy(0);
    // The device check finds the headset alone; the other pages are offered once their devices'
    // bits are set, as a detection of them would.
    widget->hid().setConnectionBits(0x3F);
    widget->view()->initUI();
    for (const char *page : {"mouse", "keyboard", "mousepad", "accessory"})
    {
        QObject *button = control(scene, QString("select_") + page);
        ASSERT_NE(button, nullptr) << page;
        QMetaObject::invokeMethod(button, "clicked");
        shots.emplace_back(page, grab(page));
    }
    // A new window over no device: no balloon covers its tray icon.
    start("empty");
    EXPECT_EQ(widget->hid().connectionBits(), 0u);
    const QRect icon = docked();
    // Without a device: the status says so, and no control that would reach one can be used.
    scene = widget->view()->rootObject();
    ASSERT_NE(scene, nullptr);
    ASSERT_TRUE(settle([&] { return scene->property("connectState").toInt() == 0; }));
    EXPECT_EQ(control(scene, "status")->property("text").toString().toStdString(), "No device connected");
    for (const char *name : {"eqEnable", "surround", "eqBand1", "clarity", "playLeft", "micMute", "light"})
        EXPECT_FALSE(control(scene, name)->property("enabled").toBool()) << name;
    // And they look it: each is drawn well dimmer than while it could be used.
    const auto dimmed = [&](const char *name)
    {
        const int now = brightness(shots.back().second, name);
        EXPECT_LT(now, usable[name] * 3 / 4)
            << name << " is drawn at " << now << ", usable at " << usable[name];
    };
    shots.emplace_back("no-device", grab("no-device"));
    for (const char *name : soundControls)
        dimmed(name);
    QMetaObject::invokeMethod(control(scene, "tab_Volume"), "clicked");
    shots.emplace_back("no-device-volume", grab("no-device-volume"));
    for (const char *name : volumeControls)
        dimmed(name);

    const QRect screen(0, 0, 1024, 768);
    ASSERT_TRUE(screen.contains(window)) << "the window lies off screen";
    for (const auto &[state, image] : shots)
    {
        EXPECT_EQ(image.size(), screen.size()) << state.toStdString();
        EXPECT_GT(colours(image, window), 16) << state.toStdString();
    }
    for (size_t i = 0; i < shots.size(); ++i)
        for (size_t j = i + 1; j < shots.size(); ++j)
            EXPECT_GT(differing(shots[i].second, shots[j].second, window), 0.01)
                << shots[i].first.toStdString() << " and " << shots[j].first.toStdString();
    EXPECT_TRUE(screen.contains(icon)) << "the tray icon lies off screen";
    EXPECT_GT(colours(shots.back().second, icon), 1) << "the tray icon is blank";
}

// The display is the X server the test runs in.
int main(int argc, char **argv)
{
    return RunGuiTests(argc, argv, "xcb", true);
}
