// The host window over simulated devices, the library stand-in and a program folder of its own.
#include "device/headset_fixture.h"
#include "device/hid_rig.h"
#include "panel_data_fixture.h"
#include "support/qt_scene.h"

#include "panel/device/hid_scrambler.h"
#include "panel/device/hid_transport_factory.h"
#include "panel/input_hooks.h"
#include "panel/widget.h"

#include <sim/user32_sim.h>

#include <QAction>
#include <QMenu>
#include <QQuickItem>
#include <QRegularExpression>
#include <QTimer>

#include <cstring>
#include <random>
#include <thread>

namespace
{
struct RecordingTray : TrayShell
{
    void showIcon(QWidget *, QMenu *m, const QString &tip, const QIcon &,
                  std::function<void(QSystemTrayIcon::ActivationReason)>) override
    {
        menu = m;
        toolTip = tip;
        ++icons;
    }
    void showBalloon(const QString &title, const QString &text, QSystemTrayIcon::MessageIcon icon,
                     int ms) override
    {
        balloons << QString("%1|%2|%3|%4").arg(title, text).arg(int(icon)).arg(ms);
    }
    void warning(const QString &title, const QString &text) override { warnings << title + "|" + text; }
    QMenu *menu = nullptr;
    QString toolTip;
    int icons = 0;
    QStringList balloons, warnings;
};

// The device timer on a virtual clock: advance() runs it out once its wait is over.
struct VirtualTimer : DeviceTimer
{
    void start(int milliseconds) override
    {
        deadline = now + milliseconds;
        intervals.push_back(milliseconds);
    }
    bool isActive() const override { return deadline >= 0; }
    void advance(int milliseconds)
    {
        now += milliseconds;
        if (deadline >= 0 && now >= deadline)
        {
            deadline = -1;
            expired();
        }
    }
    int64_t now = 0, deadline = -1;
    std::vector<int> intervals;
};

// The headset's record (index 3) matches usage page ff00 / usage 1, its second interface ff01 / 2.
QString deviceFile(int records)
{
    QString ini = QString("[common]\ndeviceCount=%1\n").arg(records);
    for (int d = 0; d < records; ++d)
        ini += QString("[%1]\ntype=%1\nvid=%2\npid=1\nusagePage=ff00\nusage=1\nusagePage2=ff01\nusage2=2\n")
                   .arg(d)
                   .arg(0x1000 + d, 0, 16);
    return ini + "[mouse]\nicType=560\n";
}

HidDeviceInfo entry(int device, uint16_t page, uint16_t usage, int interfaceNumber)
{
    HidDeviceInfo info;
    info.path = "sim:" + std::to_string(device) + ":" + std::to_string(interfaceNumber);
    info.vid = uint16_t(0x1000 + device);
    info.pid = 1;
    info.usagePage = page;
    info.usage = usage;
    info.interfaceNumber = interfaceNumber;
    return info;
}
} // namespace

class WidgetTest : public PanelDataTest
{
protected:
    void SetUp() override
    {
        PanelDataTest::SetUp();
        conf.Reset();
        write("modules/setting/apConfig.bin", deviceFile(6).toUtf8());
    }
    void TearDown() override
    {
        widget.reset();
        PanelDataTest::TearDown();
    }
    // Devices 0..5; the headset offers the interfaces given.
    void plug(std::vector<HidDeviceInfo> headsetEntries)
    {
        for (int d = 0; d < 6; ++d)
        {
            SimDeviceConfig c;
            c.entries = d == 3 ? headsetEntries : std::vector<HidDeviceInfo>{entry(d, 0xFF00, 1, 1)};
            sim->addDevice(c);
        }
    }
    void start(const QString &library = CONFLIB_PATH, HidTransport *transport = nullptr)
    {
        WidgetSetup setup;
        setup.view.programDir = root;
        setup.view.source = scene;
        setup.view.launcher = &launcher;
        setup.tray = &tray;
        setup.configLibrary = library;
        setup.deviceTimer = &timer;
        widget = std::make_unique<Widget>(transport ? *transport : *sim, setup);
    }
    // The production scene's root functions each write one console line, led by their name.
    QStringList calls()
    {
        static const QRegularExpression root("^(initUI|run|ylwCtrl|detectKeyboard|detectMouse)\\b");
        QStringList out;
        for (const std::string &line : log.Texts())
            if (root.match(QString::fromStdString(line)).hasMatch())
                out << QString::fromStdString(line);
        return out;
    }
    HidDeviceRecord headsetRecord()
    {
        HidDeviceRecord r;
        widget->hid().deviceAt(3, &r);
        return r;
    }

    std::unique_ptr<SimHidTransport> sim = std::make_unique<SimHidTransport>(hidCodec());
    // Device changes are posted: each reaches the widget once the events have run.
    void deviceChange(WPARAM wParam)
    {
        sim::user32::postDeviceChange(wParam);
        QCoreApplication::processEvents();
    }
    // A device check, then the scene's calls it queued.
    void checkAndRun()
    {
        widget->checkDevice();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }
    size_t checks() const
    {
        size_t n = 0;
        for (const std::string &line : log.Texts())
            n += line.rfind("Device Connect State", 0) == 0;
        return n;
    }
    // Runs the GUI thread's events until cond holds, for a bounded number of rounds.
    template <typename F> bool until(F cond)
    {
        for (int round = 0; round < 200000 && !cond(); ++round)
        {
            QCoreApplication::processEvents();
            std::this_thread::yield();
        }
        return cond();
    }

    QUrl scene = QUrl("qrc:modules/qml/main.qml");
    RecordingTray tray;
    VirtualTimer timer;
    ConfLibSimClient conf{CONFLIB_PATH};
    std::unique_ptr<Widget> widget;
};

TEST_F(WidgetTest, AHeadsetOnBothInterfacesIsFoundAndTheSceneRunsAfter)
{
    plug({entry(3, 0xFF00, 1, 1), entry(3, 0xFF01, 2, 2)});
    start();
    EXPECT_EQ(tray.icons, 1);
    EXPECT_EQ(tray.toolTip, "Halvard Zelko T610");
    ASSERT_NE(tray.menu, nullptr);
    EXPECT_TRUE(tray.menu->styleSheet().endsWith("padding-right: 2px; } "));
    EXPECT_EQ(widget->windowTitle(), "Halvard Zelko T610");
    conf.ResetLog();
    widget->checkDevice();
    EXPECT_EQ(headsetRecord().path, "sim:3:1");
    EXPECT_EQ(headsetRecord().path2, "sim:3:2");
    EXPECT_EQ(widget->hid().connectionBits(), 8u);
    EXPECT_EQ(log.Count("Device Connect State 8"), 1u);
    EXPECT_EQ(log.Count("open device..."), 2u) << "each interface found is logged once";
    EXPECT_EQ(tray.balloons, QStringList{"Info|Detect Device|1|10000"});
    EXPECT_EQ(conf.Calls("CreateDeviceList").size(), 2u);
    EXPECT_FALSE(conf.Calls("PropertyControl").empty()) << "the default pass ran";
    EXPECT_TRUE(calls().isEmpty()) << "initUI and run come after the current event";
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(calls(), (QStringList{"initUI", "run"}));
}

TEST_F(WidgetTest, NoHeadsetGivesStateZeroAndTheSceneStillRuns)
{
    struct Case
    {
        int records;
        std::vector<HidDeviceInfo> entries;
    };
    for (const Case &c : {Case{6, {entry(3, 0xFF01, 2, 2)}}, Case{6, {}}, Case{3, {entry(3, 0xFF00, 1, 1)}}})
    {
        write("modules/setting/apConfig.bin", deviceFile(c.records).toUtf8());
        sim = std::make_unique<SimHidTransport>(hidCodec());
        plug(c.entries);
        tray.balloons.clear();
        log.Clear();
        start();
        widget->checkDevice();
        EXPECT_EQ(widget->hid().connectionBits(), 0u);
        EXPECT_EQ(headsetRecord().path, "");
        EXPECT_EQ(headsetRecord().path2, "");
        EXPECT_EQ(log.Count("Device Connect State 0"), 1u);
        EXPECT_TRUE(tray.balloons.isEmpty());
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        EXPECT_EQ(calls(), (QStringList{"initUI", "run"})) << c.records;
        widget.reset();
    }
}

TEST_F(WidgetTest, ThePollStillRunsAfterTheDeviceCheck)
{
    plug({entry(3, 0xFF00, 1, 1)});
    start();
    widget->checkDevice();
    Bytes report(16, 0);
    report[0] = 0xFF;
    report[1] = 0x40;
    sim->queueInput(3, report);
    widget->hid().startPollingUSBVendorCmd();
    EXPECT_TRUE(until([&] { return calls().contains("ylwCtrl 64"); }));
    EXPECT_EQ((widget->hid().getSupportData().toUInt() >> 8) & 0xFF, 0x40u);
    widget->hid().stopPollingUSBVendorCmd();
}

TEST_F(WidgetTest, ABurstOfDeviceChangesGivesOneCheckAfterTheLast)
{
    plug({entry(3, 0xFF00, 1, 1)});
    start();
    ASSERT_EQ(sim::user32::deviceRegistrations().size(), 1u);
    const auto filter = sim::user32::deviceRegistrations()[0].filter;
    EXPECT_EQ(filter.dbcc_size, 32u);
    EXPECT_EQ(filter.dbcc_devicetype, 5u);
    EXPECT_EQ(filter.dbcc_classguid.Data1, 0x4D1E55B2u);
    EXPECT_EQ(filter.dbcc_classguid.Data4[7], 0x30);
    for (WPARAM other : {WPARAM(0x0007), WPARAM(0x8001), WPARAM(0x8003)})
        deviceChange(other);
    EXPECT_FALSE(timer.isActive()) << "only arrival and removal start a check";

    // Five changes 400 ms apart: one check, 2048 ms after the last.
    for (int i = 0; i < 5; ++i)
    {
        if (i > 0)
            timer.advance(400);
        deviceChange(i % 2 ? DBT_DEVICEREMOVECOMPLETE : DBT_DEVICEARRIVAL);
    }
    EXPECT_EQ(timer.intervals, std::vector<int>(5, 2048));
    timer.advance(2047);
    EXPECT_EQ(checks(), 0u);
    timer.advance(1);
    EXPECT_EQ(checks(), 1u);
    timer.advance(60000);
    EXPECT_EQ(checks(), 1u);
    EXPECT_EQ(log.Count("Device Connect State 8"), 1u);
}

// The headset leaves while the status poll runs: after the burst the state is 0, and the poll goes
// on, so the headset's status arrives again once it is back.
TEST_F(WidgetTest, AnUnpluggedHeadsetGivesStateZeroAndThePollGoesOn)
{
    plug({entry(3, 0xFF00, 1, 1)});
    start();
    widget->checkDevice();
    widget->hid().startPollingUSBVendorCmd();
    sim->unplug(3);
    for (int i = 0; i < 3; ++i)
        deviceChange(DBT_DEVICEREMOVECOMPLETE);
    timer.advance(2048);
    EXPECT_EQ(widget->hid().connectionBits(), 0u);
    EXPECT_EQ(headsetRecord().path, "");
    EXPECT_EQ(log.Count("Device Connect State 0"), 1u);

    sim->replug(3);
    deviceChange(DBT_DEVICEARRIVAL);
    timer.advance(2048);
    EXPECT_EQ(widget->hid().connectionBits(), 8u);
    Bytes report(16, 0);
    report[0] = 0xFF;
    report[1] = 0x40;
    sim->queueInput(3, report);
    EXPECT_TRUE(until([&] { return calls().contains("ylwCtrl 64"); }));
    widget->hid().stopPollingUSBVendorCmd();
}

TEST_F(WidgetTest, TrayAndSecondStartsRestoreTheWindowAndQuitEndsTheLoop)
{
    plug({entry(3, 0xFF00, 1, 1)});
    start();
    widget->hide();
    widget->trayIconActivated(QSystemTrayIcon::Trigger);
    QCoreApplication::processEvents();
    EXPECT_FALSE(widget->isVisible());
    widget->trayIconActivated(QSystemTrayIcon::DoubleClick);
    QCoreApplication::processEvents();
    EXPECT_TRUE(widget->isVisible());
    widget->hide();
    widget->receiveMessage("");
    QCoreApplication::processEvents();
    EXPECT_TRUE(widget->isVisible());
    // The window's messages go on to their other handlers: none is ever consumed.
    for (UINT message : {UINT(WM_DEVICECHANGE), UINT(WM_SYSCOMMAND), UINT(WM_COPYDATA)})
        for (WPARAM wParam : {WPARAM(DBT_DEVICEARRIVAL), WPARAM(SC_RESTORE), WPARAM(0)})
            EXPECT_FALSE(
                widget->handleWindowsMessage({widget->nativeWindow(), message, wParam, 0, 0, {0, 0}}));

    QAction *quit = nullptr;
    for (QAction *action : tray.menu->actions())
        if (action->text() == "Quit (&Q)")
            quit = action;
    ASSERT_NE(quit, nullptr);
    widget->hid().startPollingUSBVendorCmd();
    QTimer::singleShot(0, quit, &QAction::trigger);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_EQ(sim->openHandles(), 0) << "the poll was stopped and joined";
}

TEST_F(WidgetTest, HooksReachTheSceneAndCopyDataShowsAWarning)
{
    plug({entry(3, 0xFF00, 1, 1)});
    start();
    InputHooks hooks(0);
    hooks.setKeyboardCallback(&Widget::onKeyboard, widget.get());
    hooks.setMouseCallback(&Widget::onMouse, widget.get());
    sim::user32::injectKey(WM_KEYDOWN, 0x1E, 0); // the A key
    EXPECT_TRUE(calls().isEmpty()) << "queued";
    QCoreApplication::processEvents();
    EXPECT_EQ(calls(), QStringList{"detectKeyboard true 4"});

    // Another program sends a text to the window by its title; it passes the native filter.
    hooks.setCopyDataFilter(&Widget::onCopyData, QCoreApplication::instance(), widget.get());
    auto send = [](ULONG_PTR tag, QByteArray bytes, DWORD count)
    {
        COPYDATASTRUCT record{tag, count, bytes.data()};
        return InputHooks::sendCopyData("Halvard Zelko T610", &record, nullptr);
    };
    const QByteArray text = "Zu heiß";
    EXPECT_EQ(send(kCopyDataTag, text, DWORD(text.size())), 1);
    EXPECT_EQ(tray.warnings, QStringList{"Halvard Zelko T610|Zu heiß"});
    send(9486, text, DWORD(text.size()));
    send(kCopyDataTag, text + '\0' + "x", DWORD(text.size() + 2));
    send(kCopyDataTag, text, DWORD(text.size() - 1)); // cut inside the last character
    send(kCopyDataTag, QByteArray("\xff\xfe"), 2);
    send(kCopyDataTag, QByteArray(), 0);
    COPYDATASTRUCT none{kCopyDataTag, 4, nullptr};
    InputHooks::sendCopyData("Halvard Zelko T610", &none, nullptr);
    Widget::onCopyData(nullptr, widget.get());
    COPYDATASTRUCT good{kCopyDataTag, DWORD(text.size()), const_cast<char *>(text.data())};
    Widget::onCopyData(&good, nullptr);
    Widget::onKeyboard(4, 1, nullptr);
    EXPECT_EQ(tray.warnings.size(), 1) << tray.warnings.join("; ").toStdString();
    hooks.removeHooks();
}

TEST_F(WidgetTest, DamagedStartUpInputLeavesThePanelRunning)
{
    std::mt19937 rng(2727);
    QByteArray random(4096, 0);
    for (char &c : random)
        c = char(rng());
    const std::vector<std::pair<const char *, QByteArray>> files = {
        {"huge", QByteArray(2 * 1024 * 1024, 'a')},
        {"random", random},
        {"cut", "[common]\ndeviceCount=6\n[3"},
    };
    scene = QUrl::fromLocalFile(QString(PANEL_TEST_QML_DIR) + "/probe.qml"); // the scene is not the subject
    plug({entry(3, 0xFF00, 1, 1)});
    for (const auto &[name, bytes] : files)
    {
        write("modules/setting/apConfig.bin", bytes);
        const auto before = snapshot();
        log.Clear();
        start();
        widget->show();
        widget->checkDevice();
        EXPECT_TRUE(widget->isVisible());
        EXPECT_EQ(log.Count("Device Connect State 0"), 1u) << name;
        // Both the device list and the view read it: one line between them.
        EXPECT_EQ(linesWith(log, "apConfig.bin"), 1) << name;
        EXPECT_EQ(linesWith(log, "damaged data file " + path("modules/setting/apConfig.bin") + ":"), 1)
            << name;
        // A language chosen on the damaged file is not written into it.
        widget->view()->setGlobalData("common/language", "de");
        widget.reset();
        EXPECT_EQ(snapshot(), before) << name;
    }
    QFile::remove(path("modules/setting/apConfig.bin"));
    const auto before = snapshot();
    log.Clear();
    sim::user32::failRegisterDeviceNotification(true);
    sim::user32::failHookInstall(WH_KEYBOARD_LL, true);
    start(root + "/no-such-library");
    InputHooks hooks(0);
    EXPECT_EQ(hooks.keyboardHook(), nullptr);
    widget->show();
    widget->checkDevice();
    EXPECT_TRUE(widget->isVisible());
    EXPECT_EQ(log.Count("Device Connect State 0"), 1u);
    EXPECT_EQ(linesWith(log, "apConfig.bin missing"), 1);
    EXPECT_EQ(log.Count("hInpOutDll == NULL"), 1u);
    EXPECT_EQ(linesWith(log, "device notifications unavailable"), 1);
    widget.reset();
    EXPECT_EQ(snapshot(), before);
}

// A scenario of the wrong shape is refused in one line, and the panel runs on without devices.
TEST_F(WidgetTest, ABadHidScenarioStartsThePanelWithNoDevice)
{
    scene = QUrl::fromLocalFile(QString(PANEL_TEST_QML_DIR) + "/probe.qml");
    for (const QByteArray &json :
         {QByteArray(R"({"devices": 5})"),
          QByteArray(
              R"({"devices": [{"family": 560, "entries": [{"path": "sim:3:1", "vid": "1003", "pid": "1",
                          "usagePage": "ff00", "usage": "1"}]}]})")})
    {
        write("scenario.json", json);
        log.Clear();
        qputenv("DEVPANEL_HID_BACKEND", ("sim:" + path("scenario.json")).toUtf8());
        const std::unique_ptr<HidTransport> transport = makeHidTransport();
        qunsetenv("DEVPANEL_HID_BACKEND");
        start(CONFLIB_PATH, transport.get());
        widget->checkDevice();
        EXPECT_EQ(widget->hid().connectionBits(), 0u) << json.constData();
        EXPECT_EQ(log.Count("Device Connect State 0"), 1u);
        EXPECT_EQ(linesWith(log, "HID scenario"), 1) << json.constData();
        widget.reset();
    }
}

namespace
{
// Sets a scalar volume in the library stand-in directly, as the system's mixer would have left it.
void setLibraryVolume(uint32_t handle, int32_t channel, float scalar)
{
    QLibrary library(CONFLIB_PATH);
    ASSERT_TRUE(library.load());
    const auto property = reinterpret_cast<PropertyControlProc>(library.resolve("PropertyControl"));
    ASSERT_NE(property, nullptr);
    alignas(8) unsigned char value[CONFLIB_BUFFER_BYTES] = {};
    alignas(8) int32_t param[CONFLIB_BUFFER_BYTES / 4] = {channel};
    std::memcpy(value, &scalar, sizeof scalar);
    void *valueAddress = value, *paramAddress = param;
    ASSERT_EQ(
        property(DevInfo{handle, 0, 0, 1}, u"VolumeScalarControl", &valueAddress, &paramAddress, CONFLIB_SET),
        0);
}
} // namespace

// The volume sliders open at the headset's volumes and read as a user means them: the right end is
// loud and "+" louder; the library gets the bridge's percent of the level, truncated.
TEST_F(WidgetTest, VolumeSlidersOpenAtTheHeadsetsVolumesAndPlusIsLouder)
{
    plug({entry(3, 0xFF00, 1, 1)});
    // Master and channels apart, so that the locked sliders are seen to take the master volume.
    setLibraryVolume(0x10, -1, 0.8f);
    setLibraryVolume(0x10, 0, 0.6f);
    setLibraryVolume(0x10, 1, 0.7f);
    setLibraryVolume(0x20, -1, 0.3f);
    start();
    checkAndRun();
    QQuickItem *scene = widget->view()->rootObject();
    ASSERT_NE(scene, nullptr);
    QObject *left = control(scene, "playLeft"), *right = control(scene, "playRight");
    QObject *micLeft = control(scene, "micLeft"), *micRight = control(scene, "micRight");
    ASSERT_TRUE(left && right && micLeft && micRight);
    EXPECT_EQ(left->property("value").toDouble(), 80);
    EXPECT_EQ(right->property("value").toDouble(), 80);
    EXPECT_EQ(micLeft->property("value").toDouble(), 30);
    EXPECT_EQ(micRight->property("value").toDouble(), 30);

    const auto click = [&](const QString &name)
    {
        QObject *button = control(scene, name);
        ASSERT_NE(button, nullptr) << name.toStdString();
        QMetaObject::invokeMethod(button, "clicked");
    };
    const auto sets = [&]
    {
        std::vector<std::string> out;
        for (const ConfSimCall &call : conf.Calls("PropertyControl"))
            if (call.direction == CONFLIB_SET && PropertyName(call) == "VolumeScalarControl")
                out.push_back(Describe(call));
        conf.ResetLog();
        return out;
    };
    // Locked: one master volume, and both sides move together.
    conf.ResetLog();
    click("playLeftPlus");
    EXPECT_EQ(sets(), std::vector<std::string>{"render set VolumeScalarControl(-1,0,0)=0.81"});
    EXPECT_EQ(right->property("value").toDouble(), 81);
    click("playRightMinus");
    click("playRightMinus");
    EXPECT_EQ(sets(), (std::vector<std::string>{"render set VolumeScalarControl(-1,0,0)=0.8",
                                                "render set VolumeScalarControl(-1,0,0)=0.79"}));
    EXPECT_EQ(left->property("value").toDouble(), 79);
    click("micRightPlus");
    EXPECT_EQ(sets(), std::vector<std::string>{"capture set VolumeScalarControl(-1,0,0)=0.31"});
    EXPECT_EQ(micLeft->property("value").toDouble(), 31);
    click("micLeftMinus");
    click("micLeftMinus");
    EXPECT_EQ(sets(), (std::vector<std::string>{"capture set VolumeScalarControl(-1,0,0)=0.3",
                                                "capture set VolumeScalarControl(-1,0,0)=0.29"}));
    EXPECT_EQ(micRight->property("value").toDouble(), 29);

    // The ends are silence and full volume; a level between steps is truncated, never rounded up.
    const auto moveTo = [&](QObject *slider, double level)
    {
        slider->setProperty("value", level);
        QMetaObject::invokeMethod(slider, "moved");
    };
    moveTo(left, 0);
    moveTo(left, 100);
    moveTo(left, 80.6);
    EXPECT_EQ(sets(), (std::vector<std::string>{"render set VolumeScalarControl(-1,0,0)=0",
                                                "render set VolumeScalarControl(-1,0,0)=1",
                                                "render set VolumeScalarControl(-1,0,0)=0.8"}));

    // Unlocked: each side its own channel.
    control(scene, "volumeLock")->setProperty("checked", false);
    moveTo(right, 25);
    EXPECT_EQ(sets(), (std::vector<std::string>{"render set VolumeScalarControl(0,0,0)=0.8",
                                                "render set VolumeScalarControl(1,0,0)=0.25"}));
    EXPECT_EQ(left->property("value").toDouble(), 80.6);

    // Each device check places the sliders again from what the headset now holds; unlocked, each
    // side shows its own channel.
    setLibraryVolume(0x10, -1, 0.9f);
    setLibraryVolume(0x10, 0, 0.45f);
    setLibraryVolume(0x10, 1, 0.55f);
    setLibraryVolume(0x20, -1, 0.65f);
    checkAndRun();
    EXPECT_EQ(left->property("value").toDouble(), 45);
    EXPECT_EQ(right->property("value").toDouble(), 55);
    EXPECT_EQ(micLeft->property("value").toDouble(), 65);
    EXPECT_EQ(micRight->property("value").toDouble(), 65);
}

// A volume the library could not read is never shown or sent: its sliders wait, disabled and dimmed,
// for a device check that reads it, at start as at any later check.
TEST_F(WidgetTest, VolumeSlidersTheLibraryCouldNotReadWaitDisabled)
{
    plug({entry(3, 0xFF00, 1, 1)});
    const auto volumes = [](float play, float mic)
    {
        for (int32_t channel : {-1, 0, 1})
            setLibraryVolume(0x10, channel, play);
        setLibraryVolume(0x20, -1, mic);
    };
    volumes(0.8f, 0.3f);
    conf.Apply("fail get VolumeScalarControl");
    start();
    checkAndRun();
    QQuickItem *scene = widget->view()->rootObject();
    ASSERT_NE(scene, nullptr);
    const char *const sliders[] = {"playLeft", "playRight", "micLeft", "micRight"};
    // Each slider's level, led by "off" while it cannot be used; only a usable slider is undimmed.
    const auto shown = [&]
    {
        std::vector<std::string> out;
        for (const char *name : sliders)
        {
            QObject *slider = control(scene, name);
            const bool usable = slider->property("enabled").toBool();
            EXPECT_EQ(slider->property("opacity").toDouble() == 1, usable) << name;
            out.push_back((usable ? "" : "off ") + std::to_string(slider->property("value").toInt()));
        }
        return out;
    };
    using Shown = std::vector<std::string>;
    const auto volumeSets = [&]
    {
        size_t n = 0;
        for (const ConfSimCall &call : conf.Calls("PropertyControl"))
            n += call.direction == CONFLIB_SET && PropertyName(call) == "VolumeScalarControl";
        conf.ResetLog();
        return n;
    };
    EXPECT_EQ(shown(), (Shown{"off 0", "off 0", "off 0", "off 0"}));
    // Nothing is sent while the library could take it but no check has read the volumes yet.
    conf.Reset();
    volumes(0.8f, 0.3f);
    conf.ResetLog();
    for (const char *button : {"playLeftPlus", "playRightMinus", "micLeftPlus", "micRightMinus"})
        QMetaObject::invokeMethod(control(scene, button), "clicked");
    EXPECT_EQ(volumeSets(), 0u) << "a level never read is never sent";

    // The next check that reads the volumes places the sliders and lets them be used.
    checkAndRun();
    EXPECT_EQ(shown(), (Shown{"80", "80", "30", "30"}));
    conf.ResetLog();
    QMetaObject::invokeMethod(control(scene, "micLeftPlus"), "clicked");
    EXPECT_EQ(volumeSets(), 1u);

    // A later check that cannot read them, or finds the library without its devices, takes them away
    // again: the headset may have changed meanwhile.
    for (const char *fault : {"fail get VolumeScalarControl", "count render 0"})
    {
        SCOPED_TRACE(fault);
        conf.Reset();
        volumes(0.5f, 0.5f);
        checkAndRun();
        ASSERT_EQ(shown(), (Shown{"50", "50", "50", "50"}));
        conf.Apply(fault);
        volumes(0.2f, 0.2f);
        checkAndRun();
        EXPECT_EQ(shown(), (Shown{"off 50", "off 50", "off 50", "off 50"}));
    }

    // A check that reads the master but not the right channel: locked, the pair shows the master it
    // sends; unlocked, the pair waits, for each of its sends carries both channels. The failing call
    // is the channel's read-back, found in the calls of a check made just before.
    conf.Reset();
    volumes(0.6f, 0.4f);
    conf.ResetLog();
    checkAndRun();
    const std::vector<ConfSimCall> calls = conf.Calls();
    size_t rightRead = 0;
    for (size_t i = 0; i < calls.size(); ++i)
        if (calls[i].direction == CONFLIB_GET && calls[i].handle == 0x10 && calls[i].param[0] == 1 &&
            PropertyName(calls[i]) == "VolumeScalarControl")
            rightRead = i + 1;
    ASSERT_NE(rightRead, 0u);
    for (const bool locked : {true, false})
    {
        control(scene, "volumeLock")->setProperty("checked", locked);
        conf.ResetLog();
        conf.Apply("fail call " + std::to_string(rightRead));
        checkAndRun();
        EXPECT_EQ(shown(),
                  locked ? (Shown{"60", "60", "40", "40"}) : (Shown{"off 60", "off 60", "40", "40"}));
    }
}
