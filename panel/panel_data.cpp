#include "panel/panel_data.h"
#include "panel/data_file.h"

#include <windows.h>
#include <winuser.h>

#include <QDateTime>
#include <QDebug>
#include <QDesktopServices>
#include <QUrl>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace
{
// Keeps a one-name list a list in the file: QSettings stores a single value as a plain string.
const QString kFiller = "quillbrasten";

// Reads a stored list: QSettings gives a one-element list back as a plain string.
QVariantList asList(const QVariant &value)
{
    if (value.type() == QVariant::List)
        return value.toList();
    if (value.type() == QVariant::StringList)
    {
        QVariantList out;
        for (const QString &s : value.toStringList())
            out.append(s);
        return out;
    }
    if (value.type() == QVariant::String && !value.toString().isEmpty())
        return {value};
    return {};
}

// Reads a stored text as the file writes it: QSettings gives an unquoted value with commas, such as
// a hand-written macro step "k,4,1,0", back as the list of its parts.
QString asText(const QVariant &value)
{
    return value.type() == QVariant::StringList ? value.toStringList().join(',') : value.toString();
}

QString nameListKey(int type, int deviceIndex)
{
    switch (type)
    {
    case 0:
        return "macro/macroName";
    case 1:
        return "macro/macroName1";
    case 2:
        return "profile/" + QString::number(deviceIndex);
    case 3:
        return "gun/selectGun";
    default:
        return {};
    }
}
} // namespace

bool DetachedProgramLauncher::startDetached(const QString &program, const QStringList &arguments)
{
#ifndef _WIN32
    // There is no file explorer program here: the desktop opens the folder or file instead.
    if (program == "explorer" && arguments.size() == 1)
    {
        QString path = arguments[0];
        return QDesktopServices::openUrl(QUrl::fromLocalFile(path.replace('\\', '/')));
    }
#endif
    return QProcess::startDetached(program, arguments);
}

PanelData::PanelData(DeviceSide &device, ProgramLauncher &launcher, const QString &programDir)
    : m_device(device), m_launcher(launcher), m_programDir(programDir)
{
    m_apConfig.path = modulePath("setting/apConfig.bin");
    m_factory.path = modulePath("setting/pD.bin");
    openStore(m_apConfig);
    openStore(m_factory);
    for (int i = 0; i < kProfiles; ++i)
    {
        m_profiles[size_t(i)].path = modulePath(QString("setting/p%1.bin").arg(i + 1));
        openStore(m_profiles[size_t(i)]);
    }
    m_isColorful = getGlobalData("mouse/isColorful").toBool();
    m_isGun = getGlobalData("mouse/isGun").toBool();
    m_icType = getGlobalData("mouse/icType").toString();
    m_is55328 = getGlobalData("mouse/is55328").toBool();
}

PanelData::~PanelData()
{
    for (Store *store : {&m_apConfig, &m_factory})
        if (store->settings)
            store->settings->sync();
    for (Store &store : m_profiles)
        if (store.settings)
            store.settings->sync();
}

QString PanelData::modulePath(const QString &relative) const
{
    return QDir(m_programDir).filePath("modules/" + relative);
}

QString PanelData::macroPath(const QString &name, int deviceNo) const
{
    return modulePath(QString(deviceNo == 0 ? "macro/" : "macro1/") + name + ".bin");
}

QString PanelData::settingsPath(int slot) const
{
    if (slot == kApConfigSlot)
        return m_apConfig.path;
    return slot >= 0 && slot < kProfiles ? m_profiles[size_t(slot)].path : QString();
}

void PanelData::setCurrentProfile(int index)
{
    if (index >= 0 && index < kProfiles)
        m_current = index;
}

void PanelData::openStore(Store &store)
{
    store.settings.reset();
    if (usableDataFile(store.path))
        store.settings = std::make_unique<QSettings>(store.path, QSettings::IniFormat);
}

PanelData::Store *PanelData::storeOf(int slot)
{
    if (slot == kApConfigSlot)
        return &m_apConfig;
    return slot >= 0 && slot < kProfiles ? &m_profiles[size_t(slot)] : nullptr;
}

std::unique_ptr<QSettings> PanelData::openFile(const QString &path, bool mustExist, bool utf8)
{
    if ((mustExist && !QFileInfo::exists(path)) || !usableDataFile(path))
        return nullptr;
    auto settings = std::make_unique<QSettings>(path, QSettings::IniFormat);
    if (utf8)
        settings->setIniCodec("UTF-8");
    return settings;
}

bool PanelData::commit(QSettings &settings)
{
    settings.sync();
    return settings.status() == QSettings::NoError;
}

// ---- Settings kept open

QVariant PanelData::getGlobalData(const QVariant &key)
{
    return m_apConfig.settings ? m_apConfig.settings->value(key.toString()) : QVariant();
}

bool PanelData::setGlobalData(const QVariant &key, const QVariant &value)
{
    if (!m_apConfig.settings)
        return false;
    m_apConfig.settings->setValue(key.toString(), value);
    return true;
}

QVariant PanelData::getData(const QVariant &key, bool isRecovery)
{
    const Store &store = isRecovery ? m_factory : m_profiles[size_t(m_current)];
    return store.settings ? store.settings->value(key.toString()) : QVariant();
}

QVariantList PanelData::getDataList(const QVariant &key, bool isRecovery)
{
    return asList(getData(key, isRecovery));
}

bool PanelData::setData(const QVariant &key, const QVariant &data)
{
    QSettings *settings = m_profiles[size_t(m_current)].settings.get();
    if (settings == nullptr)
        return false;
    settings->setValue(key.toString(), data);
    return true;
}

bool PanelData::setDataList(const QVariant &key, const QVariantList &list)
{
    return setData(key, QVariant(list));
}

QVariantList PanelData::mouseGetKeydefine(const QVariant &index, bool isRecovery)
{
    return getDataList("mouseKeyMatrix/" + index.toString(), isRecovery);
}

// ---- Name lists

QVariantList PanelData::getNameList(int type, int deviceIndex)
{
    const QString key = nameListKey(type, deviceIndex);
    auto settings = key.isEmpty() ? nullptr : openFile(modulePath("setting/name.bin"), false);
    return settings ? asList(settings->value(key)) : QVariantList();
}

bool PanelData::updataNameList(int type, const QStringList &names, int deviceIndex)
{
    const QString key = nameListKey(type, deviceIndex);
    if (key.isEmpty())
        return false;
    // Macro names become file names; no name may hold a character that breaks the file's lines.
    for (const QString &name : names)
        if ((type <= 1 && !isSafeFileName(name)) || name.contains(QChar(0)) || name.contains('\n') ||
            name.contains('\r'))
            return false;
    QDir().mkpath(modulePath("setting"));
    auto settings = openFile(modulePath("setting/name.bin"), false);
    if (!settings)
        return false;
    if (names.isEmpty())
        settings->remove(key);
    else
        settings->setValue(key, names.size() == 1 ? QStringList{names[0], kFiller} : names);
    return commit(*settings);
}

// ---- Macros

bool PanelData::createMacroIni(const QString &name, const QVariant &deviceNo)
{
    if (!isNewFileName(name))
        return false;
    const QString path = macroPath(name, deviceNo.toInt());
    if (macroExists(name, deviceNo.toInt()) || !QDir().mkpath(QFileInfo(path).path()))
        return false;
    QSettings settings(path, QSettings::IniFormat);
    settings.setValue("config/index", 0);
    settings.setValue("config/total", 0);
    settings.setValue("config/repeat", 1);
    settings.setValue("config/delay", 1);
    settings.setValue("config/times", 1);
    return commit(settings);
}

bool PanelData::saveMacroIni(const QString &name, const QStringList &macros, const QVariant &repeat,
                             int deviceNo, int delay, int times)
{
    if (!isSafeFileName(name))
        return false;
    auto settings = openFile(macroPath(name, deviceNo), true);
    if (!settings)
        return false;
    settings->remove("macro");
    settings->setValue("config/total", macros.size());
    settings->setValue("config/repeat", repeat);
    settings->setValue("config/delay", delay);
    settings->setValue("config/times", times);
    for (int i = 0; i < macros.size(); ++i)
        settings->setValue("macro/" + QString::number(i), macros[i]);
    return commit(*settings);
}

QStringList PanelData::loadMacroIni(const QString &name, int deviceNo)
{
    if (!isSafeFileName(name))
        return {};
    auto settings = openFile(macroPath(name, deviceNo), true);
    if (!settings)
        return {};
    QStringList out;
    const int total = boundedCount(settings->value("config/total"));
    for (int i = 0; i < total; ++i)
        out << asText(settings->value("macro/" + QString::number(i)));
    for (const char *key : {"config/repeat", "config/delay", "config/times"})
        out << asText(settings->value(key, 0));
    return out;
}

bool PanelData::modifyMacroName(const QString &oldName, const QString &newName, int deviceNo)
{
    if (!isSafeFileName(oldName) || !isNewFileName(newName))
        return false;
    const QString from = macroPath(oldName, deviceNo), to = macroPath(newName, deviceNo);
    // QFile::rename never replaces an existing macro.
    return QFileInfo(from).isFile() && QFile::rename(from, to);
}

bool PanelData::macroExists(const QString &name, int deviceNo) const
{
    return QFileInfo::exists(macroPath(name, deviceNo));
}

bool PanelData::deleteMacroIni(const QString &name, int deviceNo)
{
    if (!isSafeFileName(name))
        return false;
    const QString path = macroPath(name, deviceNo);
    return QFileInfo(path).isFile() && QFile::remove(path);
}

// ---- Gun presets

bool PanelData::mouseSaveGundata(const QString &name, const QVariantList &src6)
{
    if (src6.size() < 6)
        return false;
    auto settings = openFile(modulePath("gun/gunData.bin"), true);
    if (!settings)
        return false;
    settings->setValue("gunData/" + name, QVariant(src6.mid(0, 6)));
    return commit(*settings);
}

bool PanelData::modifyGundata(int modifyType, const QVariantList &src)
{
    if ((modifyType == 0 && src.isEmpty()) || (modifyType == 1 && src.size() < 7) || modifyType < 0 ||
        modifyType > 1)
        return false;
    auto settings = openFile(modulePath("gun/gunData.bin"), true);
    if (!settings)
        return false;
    if (modifyType == 0)
        settings->remove("gunData/" + src[0].toString());
    else
    {
        settings->remove("gunData/" + src[6].toString());
        settings->setValue("gunData/" + src[0].toString(), QVariant(src.mid(1, 5)));
    }
    return commit(*settings);
}

QVariantList PanelData::getGunData(const QString &name)
{
    auto settings = openFile(modulePath("gun/gunData.bin"), true);
    return settings ? asList(settings->value("gunData/" + name)) : QVariantList();
}

QStringList PanelData::getGunDataKey()
{
    auto settings = openFile(modulePath("gun/gunData.bin"), true);
    if (!settings)
        return {};
    settings->beginGroup("gunData");
    return settings->childKeys();
}

// ---- Translations

QStringList PanelData::getLangStrings(const QString &typeStr, const QString &langCode)
{
    if (!isSafeFileName(langCode))
        return {};
    auto settings = openFile(modulePath("i18n/" + langCode + ".ini"), true, true);
    if (!settings)
        return {};
    QStringList out;
    const int total = boundedCount(settings->value(typeStr + "/total"));
    for (int i = 0; i < total; ++i)
        out << settings->value(typeStr + "/" + QString::number(i)).toString();
    return out;
}

// ---- Companion programs and system settings

void PanelData::clearHidBusy()
{
    m_device.releaseBusy();
}

bool PanelData::launch(const QString &relative)
{
    const QString path = QDir(m_programDir).filePath(relative);
    if (!QFileInfo(path).isFile())
    {
        qWarning().noquote() << "program not found:" << path;
        return false;
    }
    return m_launcher.startDetached(path);
}

bool PanelData::openUpdateExe()
{
    switch (m_device.currentDeviceType())
    {
    case 0:
        return launch("update/keyboard.exe");
    case 1:
        return launch("update/mouse.exe");
    case 2:
        return launch("update/mousePad/mousePad.exe");
    case 4:
        return launch("update/mouse3336.exe");
    case 5:
        return launch("update/support/support.exe");
    default:
        return false;
    }
}

bool PanelData::openSubExe()
{
    return launch("headset_EQUALIZE.exe");
}

bool PanelData::mouseSetVerticalScrollLines(uint lines)
{
    return setSystemParameter(SPI_SETWHEELSCROLLLINES, lines, nullptr, "setVerticalScrollLines Failed");
}

bool PanelData::mouseSetDoubleClickSpeed(uint speed)
{
    // Above 12 the time would fall below zero and wrap to an endless double-click time.
    return setSystemParameter(SPI_SETDOUBLECLICKTIME, 900 - 70 * std::min(speed, 12u), nullptr,
                              "setDoubleClickSpeed Failed");
}

bool PanelData::mouseSetCursorSpeed(uint cursorSpeed)
{
    qDebug() << "mouseSetCursorSpeed" << cursorSpeed;
    // The system takes speeds 1..20, passed as the pointer argument's value.
    const uintptr_t speed = std::clamp<uintptr_t>(2 * uintptr_t(cursorSpeed), 1, 20);
    return setSystemParameter(SPI_SETMOUSESPEED, 0, reinterpret_cast<PVOID>(speed), "setCursorSpeed Failed");
}

bool PanelData::setSystemParameter(UINT action, UINT uiParam, PVOID pvParam, const char *failure)
{
    // Saved in the user's profile and announced to every program.
    const bool ok = SystemParametersInfoW(action, uiParam, pvParam, SPIF_UPDATEINIFILE | SPIF_SENDCHANGE);
    if (!ok)
        qDebug() << failure;
    return ok;
}

// ---- Replacing an open settings file

bool PanelData::replaceSettingsFile(int slot, const QString &sourcePath)
{
    Store *store = storeOf(slot);
    if (store == nullptr)
        return false;
    const QString target = store->path;
    if (QFileInfo(sourcePath).absoluteFilePath() == QFileInfo(target).absoluteFilePath())
        return true;
    // Another open profile's pending keys belong in the copy.
    for (Store &other : m_profiles)
        if (other.settings &&
            QFileInfo(other.path).absoluteFilePath() == QFileInfo(sourcePath).absoluteFilePath())
            other.settings->sync();
    for (Store *other : {&m_factory, &m_apConfig})
        if (other->settings &&
            QFileInfo(other->path).absoluteFilePath() == QFileInfo(sourcePath).absoluteFilePath())
            other->settings->sync();
    QFile source(sourcePath);
    if (!QFileInfo(sourcePath).isFile() || !source.open(QIODevice::ReadOnly) || !usableDataFile(sourcePath))
        return false;
    source.close();

    // The old object's pending keys go to the old file now, not into the replacement later: objects on
    // one path share their cache, so a late sync would write them over the new contents.
    if (store->settings)
    {
        store->settings->sync();
        store->settings.reset();
    }
    // What QSettings last saw of F, taken now: QFileInfo reads a file's details only when first asked.
    const QFileInfo before(target);
    const bool existed = before.exists();
    const qint64 oldSize = existed ? before.size() : -1;
    const QDateTime oldTime = existed ? before.lastModified() : QDateTime();
    if (!copyThroughTemporary(sourcePath, target))
    {
        openStore(*store);
        return false;
    }
    // QSettings reuses a path's parsed contents while its size and time stamp are unchanged: make
    // sure the time stamp says the file is new.
    const QFileInfo after(target);
    if (existed && after.size() == oldSize && after.lastModified() == oldTime)
    {
        QFile file(target);
        if (file.open(QIODevice::ReadWrite))
            file.setFileTime(oldTime.addSecs(1), QFileDevice::FileModificationTime);
    }
    openStore(*store);
    return store->settings && store->settings->status() == QSettings::NoError;
}

bool PanelData::exportSettingsFile(int slot, const QString &target)
{
    Store *store = storeOf(slot);
    if (store == nullptr || target.isEmpty())
        return false;
    // Keys set but not yet written belong in the export.
    if (store->settings)
        store->settings->sync();
    // The source is checked before anything touches the user's file.
    return QFileInfo(store->path).isFile() && copyThroughTemporary(store->path, target);
}

bool PanelData::importMacro(const QString &name, int deviceNo, const QString &sourcePath)
{
    if (!isNewFileName(name))
        return false;
    const QString target = macroPath(name, deviceNo);
    // An existing macro is never replaced by an import.
    if (macroExists(name, deviceNo) || !QFileInfo(sourcePath).isFile() || !usableDataFile(sourcePath) ||
        !QDir().mkpath(QFileInfo(target).path()))
        return false;
    return copyThroughTemporary(sourcePath, target);
}

bool PanelData::exportMacro(const QString &name, int deviceNo, const QString &target)
{
    if (!isSafeFileName(name) || target.isEmpty())
        return false;
    const QString source = macroPath(name, deviceNo);
    return QFileInfo(source).isFile() && copyThroughTemporary(source, target);
}

void PanelData::unbindMacro(const QString &macroName)
{
    // Only the first six profiles carry macro bindings.
    constexpr int kBoundProfiles = 6, kKeys = 16;
    QSettings *factory = m_factory.settings.get();
    if (factory == nullptr)
        return;
    for (int p = 0; p < kBoundProfiles; ++p)
    {
        QSettings *profile = m_profiles[size_t(p)].settings.get();
        if (profile == nullptr)
            continue;
        for (int key = 0; key < kKeys; ++key)
        {
            const QString matrixKey = "mouseKeyMatrix/" + QString::number(key);
            const QVariantList binding = asList(profile->value(matrixKey));
            // A macro binding is kind 4 with the macro's slot in element 2.
            if (binding.size() < 3 || binding[0].toInt() != 4)
                continue;
            if (profile->value("mouseMacroKey/" + binding[2].toString()).toString() == macroName)
                profile->setValue(matrixKey, factory->value(matrixKey));
        }
    }
}
