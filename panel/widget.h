// devpanel's host window: it owns the HID thread, the headset's audio control and the controller
// of the QML view, finds the headset when devices come and go, and keeps the tray icon. It runs on
// the GUI thread; the HID status poll alone runs elsewhere.
#pragma once

#include "panel/device/headset_audio_control.h"
#include "panel/device/hid_thread.h"
#include "panel/ui_controler.h"

#include <windows.h>
#include <winuser.h>

#include <QEvent>
#include <QIcon>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

class QMenu;

// The tray icon, its balloon and the warning box behind one seam: the program shows them, tests
// record them, so a headless run never blocks on a dialog.
class TrayShell
{
public:
    virtual ~TrayShell() = default;
    // Creates the icon (a child of owner) with its menu, tool tip and picture, and shows it.
    virtual void showIcon(QWidget *owner, QMenu *menu, const QString &toolTip, const QIcon &icon,
                          std::function<void(QSystemTrayIcon::ActivationReason)> activated) = 0;
    virtual void showBalloon(const QString &title, const QString &text, QSystemTrayIcon::MessageIcon icon,
                             int milliseconds) = 0;
    // A modal warning with the single button Ok and no parent.
    virtual void warning(const QString &title, const QString &text) = 0;
};

class SystemTrayShell : public TrayShell
{
public:
    void showIcon(QWidget *owner, QMenu *menu, const QString &toolTip, const QIcon &icon,
                  std::function<void(QSystemTrayIcon::ActivationReason)> activated) override;
    void showBalloon(const QString &title, const QString &text, QSystemTrayIcon::MessageIcon icon,
                     int milliseconds) override;
    void warning(const QString &title, const QString &text) override;
    QSystemTrayIcon *icon() const { return m_icon; }

private:
    QSystemTrayIcon *m_icon = nullptr;
};

// Posted by checkDevice: when it arrives, after the current event, the QML is told to run.
class UserEvent : public QEvent
{
public:
    static constexpr int kRunUi = 2177;
    explicit UserEvent(int32_t code) : QEvent(QEvent::User), m_code(code) {}
    int32_t code() const { return m_code; }

private:
    int32_t m_code;
};

// The device timer: single shot, and each start restarts the wait. The program's runs on the
// toolkit's clock; tests drive theirs on a virtual clock, so the settling wait is counted, not slept.
class DeviceTimer
{
public:
    virtual ~DeviceTimer() = default;
    virtual void start(int milliseconds) = 0;
    virtual bool isActive() const = 0;
    std::function<void()> expired; // set by the widget
};

class QtDeviceTimer : public DeviceTimer
{
public:
    QtDeviceTimer();
    void start(int milliseconds) override { m_timer.start(milliseconds); }
    bool isActive() const override { return m_timer.isActive(); }

private:
    QTimer m_timer;
};

// What the widget is built over; the defaults are the program's.
struct WidgetSetup
{
    ViewSetup view;
    TrayShell *tray = nullptr;          // null: the system tray and message box
    QString configLibrary;              // null: the library beside the program
    DeviceTimer *deviceTimer = nullptr; // null: the toolkit's timer
};

class Widget : public QWidget
{
    Q_OBJECT
public:
    // The transport outlives the widget. Every start-up failure (library, device file, device
    // registration) leaves the widget running without that piece.
    explicit Widget(HidTransport &transport, const WidgetSetup &setup = {}, QWidget *parent = nullptr);
    ~Widget() override;

    // The window's native messages: device arrival and removal restart the device timer, a restore
    // command shows the window. Never consumes a message: always false.
    bool handleWindowsMessage(const MSG &message);

    myQQuickView *view() const { return m_controller->view(); }
    Hid_Thread &hid() { return m_hid; }
    HeadsetAudioControl &headset() { return *m_headset; }
    HWND nativeWindow() const { return m_window; }
    const DeviceTimer &deviceTimer() const { return m_deviceTimer; }
    // The system's tray icon; null when the tray is the caller's.
    QSystemTrayIcon *trayIcon() const { return m_ownTray ? m_ownTray->icon() : nullptr; }

    // The hook callbacks; context is the widget (null: nothing happens).
    static void onKeyboard(int keyCode, int state, void *context);
    static void onMouse(int buttonCode, int state, int x, int y, void *context);
    static void onCopyData(const COPYDATASTRUCT *data, void *context);

public slots:
    void trayIconActivated(QSystemTrayIcon::ActivationReason reason);
    void checkDevice();
    void exitSYS();
    void receiveMessage(QString);

protected:
    void customEvent(QEvent *event) override;
#ifdef _WIN32
    bool nativeEvent(const QByteArray &eventType, void *message, long *result) override;
#endif

private:
    void setUpTray();
    // Reads the headset's playback (master, left, right) and microphone volumes and hands them to
    // the scene's "setVolumes" as levels 0..100, after the calls the device check queued; a volume
    // that could not be read (or every one, when the library is not ready) goes as -1.
    void showHeadsetVolumes(bool libraryReady);
    void restoreWindow();

    std::unique_ptr<QtDeviceTimer> m_ownTimer;
    DeviceTimer &m_deviceTimer;
    Ui_Controler *m_controller = nullptr;
    Hid_Thread m_hid;
    ConfLibState m_libraryState;
    std::unique_ptr<HeadsetAudioControl> m_headset; // uninitialises the library when it goes
    std::unique_ptr<SystemTrayShell> m_ownTray;
    TrayShell &m_tray;
    HWND m_window = nullptr;
};
