// The view's whole-file operations: profiles and macros imported and exported through the file
// dialogs, reset from their default copies, copied, and the profile keys that need more than a plain
// read or write. A file is replaced only by a complete, checked copy; a cancelled dialog, a missing
// or damaged source, or a profile index outside 0..9 changes nothing.
#include "panel/my_qquick_view.h"

#include "panel/data_file.h"

#include <QDebug>
#include <QDir>
#include <QStandardPaths>

namespace
{
QString macroFilter()
{
    return myQQuickView::tr("Macro(*.mc)");
}
QString profileFilter()
{
    return myQQuickView::tr("Profile(*.pf)");
}
} // namespace

QString myQQuickView::choose(FileChooser::Kind kind, const QString &caption, const QString &filter)
{
    return m_chooser.choose(kind, this, caption,
                            QStandardPaths::writableLocation(QStandardPaths::DesktopLocation), filter);
}

QString myQQuickView::getOpenSomeVendorPath(QString filterName)
{
    if (filterName.isEmpty())
        return choose(FileChooser::Kind::Folder, tr("Open Folder"), QString());
    return choose(FileChooser::Kind::Open, tr("Open File"), filterName);
}

bool myQQuickView::copied(bool ok, const char *failed, const QString &chosen)
{
    if (!ok)
    {
        m_fileFailure = "file";
        qWarning().noquote() << failed << chosen;
    }
    return ok;
}

bool myQQuickView::isNewMacroName(const QString &name, int deviceNo)
{
    m_fileFailure = !isNewFileName(name) ? "name" : m_data.macroExists(name, deviceNo) ? "taken" : "";
    return m_fileFailure.isEmpty();
}

bool myQQuickView::loadMacroFile(QVariant macroFileName, int deviceNo)
{
    const QString name = macroFileName.toString();
    // The name is judged before the dialog: nobody should pick a file only to hear the name was wrong.
    if (!isNewMacroName(name, deviceNo))
        return false;
    const QString chosen = choose(FileChooser::Kind::Open, tr("Open File"), macroFilter());
    return !chosen.isEmpty() &&
           copied(m_data.importMacro(name, deviceNo, chosen), "macro not imported from", chosen);
}

void myQQuickView::saveMacroFile(QVariant macroFileName, int deviceNo)
{
    m_fileFailure.clear();
    const QString chosen = choose(FileChooser::Kind::Save, tr("Save File"), macroFilter());
    if (!chosen.isEmpty())
        copied(m_data.exportMacro(macroFileName.toString(), deviceNo, chosen), "macro not exported to",
               chosen);
}

bool myQQuickView::loadProfile(int profile)
{
    m_fileFailure.clear();
    if (!profileInRange(profile, "loadProfile"))
        return false;
    const QString chosen = choose(FileChooser::Kind::Open, tr("Open File"), profileFilter());
    return !chosen.isEmpty() &&
           copied(m_data.replaceSettingsFile(profile, chosen), "profile not imported from", chosen);
}

void myQQuickView::saveProfile(int profile)
{
    m_fileFailure.clear();
    if (!profileInRange(profile, "saveProfile"))
        return;
    const QString chosen = choose(FileChooser::Kind::Save, tr("Save File"), profileFilter());
    if (!chosen.isEmpty())
        copied(m_data.exportSettingsFile(profile, chosen), "profile not exported to", chosen);
}

void myQQuickView::resetProfile(int profile)
{
    if (profileInRange(profile, "resetProfile") &&
        !m_data.replaceSettingsFile(profile, QDir(m_data.programDir()).filePath("modules/setting/pD.bin")))
        qWarning() << "resetProfile: profile" << profile << "kept";
}

void myQQuickView::copyProfile(int destprofile, int srcprofile)
{
    if (destprofile == srcprofile || !profileInRange(destprofile, "copyProfile") ||
        !profileInRange(srcprofile, "copyProfile"))
        return;
    if (!m_data.replaceSettingsFile(destprofile, m_data.settingsPath(srcprofile)))
        qWarning() << "copyProfile: profile" << destprofile << "kept";
}

void myQQuickView::resetApconfig()
{
    if (!m_data.replaceSettingsFile(PanelData::kApConfigSlot,
                                    QDir(m_data.programDir()).filePath("modules/setting/apConfigD.bin")))
        qWarning() << "resetApconfig: settings kept";
}

QVariant myQQuickView::getXYSensitive(QVariant index)
{
    const QVariant value = m_data.getData("XYSensitive/" + index.toString(), false);
    return value.isValid() ? value : QVariant(4);
}

void myQQuickView::setXYSensitive(QVariant index, QVariant xyData)
{
    m_data.setData("XYSensitive/" + index.toString(), xyData);
}

void myQQuickView::deleteMacroUpdateProfile(QVariant macroName)
{
    m_data.unbindMacro(macroName.toString());
}

void myQQuickView::keyboardAdvaceFunctionProc(uchar index)
{
    QString target = m_data.getData("keyboard/advaceFunction" + QString::number(index), false).toString();
    if (target.isEmpty())
    {
        qWarning() << "keyboardAdvaceFunctionProc: nothing bound to key" << index;
        return;
    }
    m_launcher.startDetached("explorer", {target.replace('/', '\\')});
}
