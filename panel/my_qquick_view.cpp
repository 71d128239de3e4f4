#include "panel/my_qquick_view.h"

#include "panel/data_file.h"
#include "panel/device/headset_audio_control.h"
#include "panel/device/hid_thread.h"

#include <QDebug>
#include <QFocusEvent>
#include <QMetaMethod>
#include <QQuickItem>
#include <QThread>

myQQuickView::myQQuickView(QWidget *host, const ViewSetup &setup)
    : QQuickWidget(host), m_host(host),
      m_ownChooser(setup.chooser ? nullptr : std::make_unique<DialogFileChooser>()),
      m_ownLauncher(setup.launcher ? nullptr : std::make_unique<DetachedProgramLauncher>()),
      m_chooser(setup.chooser ? *setup.chooser : *m_ownChooser),
      m_launcher(setup.launcher ? *setup.launcher : *m_ownLauncher),
      m_data(*this, m_launcher, setup.programDir)
{
    setClearColor(Qt::transparent);
    setResizeMode(QQuickWidget::SizeViewToRootObject);
}

myQQuickView::~myQQuickView()
{
    if (m_hid)
        m_hid->setHost(nullptr);
}

void myQQuickView::setHidThread(Hid_Thread *hid)
{
    m_hid = hid;
    if (hid)
        hid->setHost(this);
}

void myQQuickView::focusInEvent(QFocusEvent *event)
{
    repaint();
    event->accept();
}

// ---- Root functions

bool myQQuickView::invokeRoot(const char *function, Qt::ConnectionType type, const QVariantList &args)
{
    QObject *root = rootObject();
    QByteArray signature = QByteArray(function) + "(";
    for (int i = 0; i < args.size(); ++i)
        signature += i ? ",QVariant" : "QVariant";
    signature += ")";
    if (root == nullptr || root->metaObject()->indexOfMethod(signature.constData()) < 0)
    {
        if (!m_missingRootFunctions.contains(signature))
        {
            m_missingRootFunctions.insert(signature);
            qWarning().noquote() << (root ? "QML root function missing:"
                                          : "QML root object missing, not called:")
                                 << signature;
        }
        return false;
    }
    auto arg = [&](int i) { return Q_ARG(QVariant, args[i]); };
    switch (args.size())
    {
    case 0:
        return QMetaObject::invokeMethod(root, function, type);
    case 1:
        return QMetaObject::invokeMethod(root, function, type, arg(0));
    case 2:
        return QMetaObject::invokeMethod(root, function, type, arg(0), arg(1));
    case 3:
        return QMetaObject::invokeMethod(root, function, type, arg(0), arg(1), arg(2));
    case 4:
        return QMetaObject::invokeMethod(root, function, type, arg(0), arg(1), arg(2), arg(3));
    default:
        return false;
    }
}

void myQQuickView::initUI()
{
    invokeRoot("initUI", Qt::QueuedConnection);
}

void myQQuickView::runUI()
{
    invokeRoot("run", Qt::QueuedConnection);
}

void myQQuickView::ylwCtrl(uchar val_code)
{
    invokeRoot("ylwCtrl", Qt::QueuedConnection, {int(val_code)});
}

void myQQuickView::setBusy(int busyTime)
{
    invokeRoot("setProtectUI", Qt::DirectConnection, {busyTime});
}

void myQQuickView::setCurrentDPI(int dpiValue)
{
    invokeRoot("setCurrentDPI", Qt::DirectConnection, {dpiValue});
}

void myQQuickView::setProfile(int no)
{
    invokeRoot("setProfile", Qt::DirectConnection, {no});
}

// ---- HID thread's host and the data files' device side

bool myQQuickView::mouseIsGun() const
{
    return m_data.isGun();
}

void myQQuickView::headsetStatus(unsigned char status)
{
    // Called on the poll thread: the root object and the log of missing functions belong to the GUI
    // thread, so the call is made there.
    QMetaObject::invokeMethod(
        this, [this, status] { ylwCtrl(status); }, Qt::QueuedConnection);
}

void myQQuickView::releaseBusy()
{
    if (m_hid)
        m_hid->releaseIdle();
}

int myQQuickView::currentDeviceType()
{
    HidDeviceRecord record;
    return m_hid && m_hid->deviceAt(m_hid->currentDevice(), &record) ? record.type : -1;
}

QVariant myQQuickView::getDeviceConnectState()
{
    return m_hid ? int(m_hid->connectionBits()) : 0;
}

void myQQuickView::setDeviceIndex(QVariant index)
{
    bool ok = false;
    const int did = index.toInt(&ok);
    if (!m_hid || !ok || did < 0 || did >= m_hid->deviceCount())
    {
        qWarning() << "setDeviceIndex: no device" << index;
        return;
    }
    m_hid->setCurrentDevice(did);
}

void myQQuickView::setCurrentProfile(int profile)
{
    if (profileInRange(profile, "setCurrentProfile"))
        m_data.setCurrentProfile(profile);
}

bool myQQuickView::profileInRange(int profile, const char *operation) const
{
    if (profile >= 0 && profile < PanelData::kProfiles)
        return true;
    qWarning() << operation << "refused: no profile" << profile;
    return false;
}

// ---- Data files (the work is PanelData's)

void myQQuickView::clearHidBusy()
{
    m_data.clearHidBusy();
}

QStringList myQQuickView::getLangStrings(QString typeStr, QString langCode)
{
    return m_data.getLangStrings(typeStr, langCode);
}

QVariant myQQuickView::createMacroIni(QVariant name, QVariant deviceNo)
{
    const QString macro = name.toString();
    return isNewMacroName(macro, deviceNo.toInt()) &&
           copied(m_data.createMacroIni(macro, deviceNo), "macro file not created:", macro);
}

QVariant myQQuickView::updataNameList(QVariant type, QStringList nameList, int deviceIndex)
{
    return m_data.updataNameList(type.toInt(), nameList, deviceIndex);
}

QVariant myQQuickView::modifyMacroName(QVariant oldname, QVariant newname, int deviceNo)
{
    const QString from = oldname.toString(), to = newname.toString();
    return isNewMacroName(to, deviceNo) &&
           copied(m_data.modifyMacroName(from, to, deviceNo), "macro file not renamed:", from);
}

QVariant myQQuickView::deleteMacroIni(QVariant name, int deviceNo)
{
    const QString macro = name.toString();
    const bool removed = m_data.deleteMacroIni(macro, deviceNo);
    // A file already gone is no failure; one that stays keeps its macro. A name that could reach
    // another file never had one of its own.
    m_fileFailure.clear();
    copied(removed || !isSafeFileName(macro) || !m_data.macroExists(macro, deviceNo),
           "macro file not removed:", macro);
    return removed;
}

QVariantList myQQuickView::getNameList(QVariant type, int deviceIndex)
{
    return m_data.getNameList(type.toInt(), deviceIndex);
}

QVariant myQQuickView::saveMacroIni(QVariant name, QStringList macros, QVariant repeat, int deviceNo,
                                    int delay, int times)
{
    return m_data.saveMacroIni(name.toString(), macros, repeat, deviceNo, delay, times);
}

QStringList myQQuickView::loadMacroIni(QVariant name, int deviceNo)
{
    return m_data.loadMacroIni(name.toString(), deviceNo);
}

void myQQuickView::mouseSaveGundata(QVariant index, QVariantList src6)
{
    m_data.mouseSaveGundata(index.toString(), src6);
}

void myQQuickView::modifyGundata(QVariant modifyType, QVariantList src6)
{
    m_data.modifyGundata(modifyType.toInt(), src6);
}

QVariantList myQQuickView::getGunData(QVariant name)
{
    return m_data.getGunData(name.toString());
}

QStringList myQQuickView::getGunDataKey()
{
    return m_data.getGunDataKey();
}

void myQQuickView::mouseSetCursorSpeed(uint cursorSpeed)
{
    m_data.mouseSetCursorSpeed(cursorSpeed);
}

void myQQuickView::mouseSetVerticalScrollLines(uint lines)
{
    m_data.mouseSetVerticalScrollLines(lines);
}

void myQQuickView::mouseSetDoubleClickSpeed(uint speed)
{
    m_data.mouseSetDoubleClickSpeed(speed);
}

QVariantList myQQuickView::mouseGetKeydefine(QVariant index, bool isRecovery)
{
    return m_data.mouseGetKeydefine(index, isRecovery);
}

void myQQuickView::openUpdateExe()
{
    m_data.openUpdateExe();
}

void myQQuickView::openSubExe()
{
    m_data.openSubExe();
}

QVariant myQQuickView::getData(QVariant key, bool isRecovery)
{
    return m_data.getData(key, isRecovery);
}

QVariant myQQuickView::getGlobalData(QVariant key)
{
    return m_data.getGlobalData(key);
}

QVariantList myQQuickView::getDataList(QVariant key, bool isRecovery)
{
    return m_data.getDataList(key, isRecovery);
}

void myQQuickView::setData(QVariant key, QVariant data)
{
    m_data.setData(key, data);
}

void myQQuickView::setGlobalData(QVariant key, QVariant tmpdata)
{
    m_data.setGlobalData(key, tmpdata);
}

void myQQuickView::setDataList(QVariant key, QVariantList datalist)
{
    m_data.setDataList(key, datalist);
}

// ---- Headset audio: setters change one control; getters read it back, then give the cached value

void myQQuickView::headSetSet71(bool isEnable)
{
    if (m_headset)
        m_headset->adjustSurroundHeadphone(isEnable);
}

QVariant myQQuickView::headSetGet71()
{
    if (!m_headset)
        return 0;
    m_headset->readSurround();
    return m_headset->surroundEnable;
}

QVariant myQQuickView::headSetGetMicStatus()
{
    if (!m_headset)
        return 0;
    m_headset->readMicState();
    return m_headset->micMute;
}

void myQQuickView::headSetJHQEnable(bool isEnable)
{
    if (m_headset)
        m_headset->setEqualiserEnable(isEnable);
}

void myQQuickView::headSetJHQData(int v1, int v2, int v3, int v4, int v5, int v6, int v7, int v8, int v9,
                                  int v10)
{
    if (m_headset)
        m_headset->setEqualiserBands({v1, v2, v3, v4, v5, v6, v7, v8, v9, v10});
}

void myQQuickView::headSetYYQXEnable(bool isEnable)
{
    if (m_headset)
        m_headset->setVoiceClarityEnable(isEnable);
}

void myQQuickView::headSetHJJZEnable(bool isEnable)
{
    if (m_headset)
        m_headset->setNoiseReduction(isEnable);
}

QVariant myQQuickView::headSetGetHJJZ()
{
    if (!m_headset)
        return 0;
    m_headset->readNoiseReduction();
    return m_headset->noiseReductionEnable;
}

void myQQuickView::headSetMYQEnable(bool isEnable)
{
    if (m_headset)
        m_headset->setVoiceChangerEnable(isEnable);
}

void myQQuickView::headSetMYQMode(int tmpValue)
{
    if (m_headset)
        m_headset->setVoiceChangerMode(tmpValue);
}

void myQQuickView::headSetMicClose(QVariant src)
{
    if (m_headset)
        m_headset->setMicMute(int32_t(src.toUInt()));
}
