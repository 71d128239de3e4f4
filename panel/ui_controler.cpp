#include "panel/ui_controler.h"

#include <QQmlContext>

Ui_Controler::Ui_Controler(QWidget *host, QObject *hid, const ViewSetup &setup, QObject *parent)
    : QObject(parent), m_host(host)
{
    if (host)
    {
        if (host->objectName().isEmpty())
            host->setObjectName("Widget");
        host->setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::CustomizeWindowHint);
        host->setWindowOpacity(1.0);
        host->setAttribute(Qt::WA_TranslucentBackground);
        host->setStyleSheet("background:transparent;");
    }
    m_view = new myQQuickView(host, setup);
    m_view->setObjectName("ui_View");
    // Published before the source: the scene is created as the source is set and reads them then.
    QQmlContext *context = m_view->rootContext();
    context->setContextProperty("ui_View", m_view);
    context->setContextProperty("hid", hid);
    context->setContextProperty("ui_Ctl", this);
    m_view->setSource(setup.source);
    if (host)
    {
        host->resize(m_view->size());
        host->setWindowTitle("Halvard Zelko T610");
    }
}

Ui_Controler::~Ui_Controler()
{
    delete m_view.data();
}

void Ui_Controler::onMinimize()
{
    if (m_host)
        m_host->showMinimized();
}

void Ui_Controler::onClose()
{
    // The program keeps running in the tray.
    if (m_host)
        m_host->setVisible(false);
}

void Ui_Controler::onXChanged(int x)
{
    if (m_host)
        m_host->move(m_host->x() + x, m_host->y());
}

void Ui_Controler::onYChanged(int y)
{
    if (m_host)
        m_host->move(m_host->x(), m_host->y() + y);
}

void Ui_Controler::setBusy(int busyTime)
{
    if (m_view)
        m_view->setBusy(busyTime);
}

void Ui_Controler::setBusy()
{
    setBusy(0);
}
