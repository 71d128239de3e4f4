#include "panel/widget.h"

#include "panel/input_hooks.h"

#include <dbt.h>
#ifndef _WIN32
#include <sim/user32_sim.h>
#endif

#include <QAction>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QMenu>
#include <QMessageBox>

#include <algorithm>

namespace
{
const char *const kTitle = "Halvard Zelko T610";
constexpr int kDeviceSettleMs = 2048;
// The class of HID device interfaces.
constexpr GUID kHidInterfaceClass = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const char *const kMenuStyle =
    "QMenu { border: 1px solid rgb(100, 100, 100); background: rgb(68, 69, 73); } QMenu::item { height: "
    "22px; "
    "padding: 0px 25px 0px 20px; } QMenu::item:enabled { color: rgb(225, 225, 225); } QMenu::item:!enabled { "
    "color: rgb(155, 155, 155); } QMenu::item:enabled:selected { color: rgb(230, 230, 230); background: "
    "rgba(255, 255, 255, 40); } QMenu::separator { height: 1px; background: rgb(100, 100, 100); } "
    "QMenu::indicator { width: 13px; height: 13px; } QMenu::icon { padding-left: 2px; padding-right: 2px; } ";
} // namespace

// ---- The system's tray and message box

void SystemTrayShell::showIcon(QWidget *owner, QMenu *menu, const QString &toolTip, const QIcon &icon,
                               std::function<void(QSystemTrayIcon::ActivationReason)> activated)
{
    m_icon = new QSystemTrayIcon(owner);
    m_icon->setContextMenu(menu);
    m_icon->setToolTip(toolTip);
    m_icon->setIcon(icon);
    QObject::connect(m_icon, &QSystemTrayIcon::activated, owner, std::move(activated));
    m_icon->setVisible(true);
}

void SystemTrayShell::showBalloon(const QString &title, const QString &text,
                                  QSystemTrayIcon::MessageIcon icon, int milliseconds)
{
    if (m_icon)
        m_icon->showMessage(title, text, icon, milliseconds);
}

void SystemTrayShell::warning(const QString &title, const QString &text)
{
    QMessageBox::warning(nullptr, title, text, QMessageBox::Ok);
}

QtDeviceTimer::QtDeviceTimer()
{
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { expired(); });
}

// ---- Widget

Widget::Widget(HidTransport &transport, const WidgetSetup &setup, QWidget *parent)
    : QWidget(parent), m_ownTimer(setup.deviceTimer ? nullptr : std::make_unique<QtDeviceTimer>()),
      m_deviceTimer(setup.deviceTimer ? *setup.deviceTimer : *m_ownTimer),
      m_hid(transport, QDir(setup.view.programDir).filePath("modules/setting/apConfig.bin"), this),
      m_ownTray(setup.tray ? nullptr : std::make_unique<SystemTrayShell>()),
      m_tray(setup.tray ? *setup.tray : *m_ownTray)
{
    m_controller = new Ui_Controler(this, &m_hid, setup.view);
    view()->setHidThread(&m_hid);

    m_headset = std::make_unique<HeadsetAudioControl>(m_libraryState);
    bindConfigLibrary(m_libraryState, setup.configLibrary);
    m_headset->initConfigLibrary();
    m_headset->openDeviceList();
    view()->setHeadsetControl(m_headset.get());

    m_deviceTimer.expired = [this] { checkDevice(); };

    setUpTray();

#ifdef _WIN32
    m_window = reinterpret_cast<HWND>(winId());
#else
    // No native messages here: the platform's window stands in for this widget's.
    m_window = sim::user32::createWindow(u"Halvard Zelko T610",
                                         [this](HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT
                                         {
                                             MSG message{hwnd, msg, wParam, lParam, 0, {0, 0}};
                                             handleWindowsMessage(message);
                                             return 0;
                                         });
#endif
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kHidInterfaceClass;
    // Without it the panel learns of devices only at start-up.
    if (RegisterDeviceNotificationW(m_window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE) == nullptr)
        qWarning() << "device notifications unavailable";
}

Widget::~Widget()
{
    m_deviceTimer.expired = nullptr; // a timer of the caller's may outlive the widget
    m_hid.stopPollingUSBVendorCmd();
    // The view goes with the controller; the HID thread it points at goes after it.
    delete m_controller;
    m_controller = nullptr;
#ifndef _WIN32
    sim::user32::destroyWindow(m_window);
#endif
}

void Widget::setUpTray()
{
    auto *quit = new QAction(tr("Quit (&Q)"), this);
    connect(quit, &QAction::triggered, this, &Widget::exitSYS);
    auto *menu = new QMenu(this);
    menu->addAction(quit);
    menu->setStyleSheet(kMenuStyle);
    m_tray.showIcon(this, menu, kTitle, QIcon("./modules/img/logo.ico"),
                    [this](QSystemTrayIcon::ActivationReason reason) { trayIconActivated(reason); });
}

bool Widget::handleWindowsMessage(const MSG &message)
{
    if (message.message == WM_DEVICECHANGE &&
        (message.wParam == DBT_DEVICEARRIVAL || message.wParam == DBT_DEVICEREMOVECOMPLETE))
        m_deviceTimer.start(kDeviceSettleMs); // a burst of changes gives one check, after the last
    else if (message.message == WM_SYSCOMMAND && message.wParam == SC_RESTORE)
        setVisible(true);
    return false;
}

#ifdef _WIN32
bool Widget::nativeEvent(const QByteArray &, void *message, long *)
{
    return handleWindowsMessage(*static_cast<const MSG *>(message));
}
#endif

void Widget::restoreWindow()
{
    PostMessageW(m_window, WM_SYSCOMMAND, SC_RESTORE, 0);
}

void Widget::receiveMessage(QString)
{
    restoreWindow();
}

void Widget::trayIconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick)
        restoreWindow();
}

void Widget::exitSYS()
{
    m_hid.stopPollingUSBVendorCmd();
    QCoreApplication::exit(0);
}

void Widget::customEvent(QEvent *event)
{
    if (event->type() == QEvent::User && static_cast<UserEvent *>(event)->code() == UserEvent::kRunUi)
        view()->runUI();
}

void Widget::checkDevice()
{
    m_hid.setConnectionBits(0);
    // Enumerates the headset's vendor and product, logs each device found and stores the paths; a
    // device file of fewer than four records has no headset to look for.
    m_hid.detectDevice(Hid_Thread::kHeadset);
    const uint32_t state = m_hid.connectionBits();
    if (state != 0)
    {
        view()->clearHidBusy();
        m_tray.showBalloon("Info", "Detect Device", QSystemTrayIcon::Information, 10000);
        view()->setEnabled(true);
    }
    qDebug().noquote() << "Device Connect State" << state;
    view()->initUI();
    QCoreApplication::postEvent(this, new UserEvent(UserEvent::kRunUi));
    if (state & (1u << 3))
    {
        m_headset->openDeviceList();
        m_headset->refreshAudioDefaults();
        showHeadsetVolumes(m_headset->libraryReady != 0);
    }
    // The status poll keeps its own handle and flag: nothing here stops it.
}

void Widget::showHeadsetVolumes(bool libraryReady)
{
    HeadsetAudioControl &headset = *m_headset;
    const bool master = libraryReady && headset.readPlaybackMaster();
    const bool channels = libraryReady && headset.readPlaybackChannels();
    const bool mic = libraryReady && headset.readMicState();
    // The kept percents are x 100 + 0.5 so that truncating them rounds the scalar. A volume not read
    // now is -1: the kept percent may be another headset's, or none at all.
    const auto level = [](bool read, float percent)
    { return read ? int(std::clamp(percent, 0.0f, 100.0f)) : -1; };
    view()->invokeRoot("setVolumes", Qt::QueuedConnection,
                       {level(master, headset.playbackMasterPercent),
                        level(channels, headset.playbackLeftPercent),
                        level(channels, headset.playbackRightPercent), level(mic, headset.micMasterPercent)});
}

// ---- Hook callbacks

void Widget::onKeyboard(int keyCode, int state, void *context)
{
    if (auto *widget = static_cast<Widget *>(context))
        widget->view()->invokeRoot("detectKeyboard", Qt::QueuedConnection,
                                   {bool(state & 0xFF), keyCode & 0xFF});
}

void Widget::onMouse(int buttonCode, int state, int x, int y, void *context)
{
    if (auto *widget = static_cast<Widget *>(context))
        widget->view()->invokeRoot("detectMouse", Qt::QueuedConnection,
                                   {bool(state & 0xFF), buttonCode & 0xFF, x, y});
}

void Widget::onCopyData(const COPYDATASTRUCT *data, void *context)
{
    auto *widget = static_cast<Widget *>(context);
    if (widget == nullptr || data == nullptr)
        return;
    if (const std::optional<QString> text = copyDataText(*data))
        widget->m_tray.warning(widget->windowTitle(), *text);
}
