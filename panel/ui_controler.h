// Builds the panel's QML view inside its host window and serves the scene's window handling, as
// "ui_Ctl": drag, minimise, close to the tray, and the busy cover. GUI thread only.
#pragma once

#include "panel/my_qquick_view.h"

#include <QObject>
#include <QPointer>

class Ui_Controler : public QObject
{
    Q_OBJECT
public:
    // Makes host a frameless translucent window holding the view, publishes "ui_View", "hid" and
    // "ui_Ctl" to the scene, then loads setup.source and sizes the window to it. With no host the
    // view stands alone and the window slots do nothing.
    Ui_Controler(QWidget *host, QObject *hid, const ViewSetup &setup = {}, QObject *parent = nullptr);
    ~Ui_Controler() override; // the view goes with it

    myQQuickView *view() const { return m_view; }

public slots:
    void onMinimize();
    void onClose();
    void onXChanged(int x);
    void onYChanged(int y);
    void setBusy(int busyTime);
    void setBusy();

private:
    QWidget *m_host;
    QPointer<myQQuickView> m_view; // null once the host has deleted it
};
