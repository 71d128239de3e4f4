// The panel's data files under "<program folder>/modules/": global settings, the factory profile, ten
// user profiles (kept open for the panel's life), name lists, macros, gun presets and translations
// (opened per operation); companion programs and the system's mouse settings. GUI thread only.
//
// Damaged files (data_file.h) read as missing and are never written: an operation that would write
// one returns false. Every write goes through QSettings' atomic sync or a temporary file renamed
// over the target, so a failed write leaves the previous file as it was.
#pragma once

#include "panel/panel_seams.h"

#include <windows.h>

#include <QSettings>
#include <QStringList>
#include <QVariant>

#include <array>
#include <memory>

class PanelData
{
public:
    static constexpr int kProfiles = 10;
    static constexpr int kApConfigSlot = -1; // replaceSettingsFile's slot for the global settings

    // Opens apConfig.bin, pD.bin, then p1.bin .. p10.bin, and reads the cached flags.
    PanelData(DeviceSide &device, ProgramLauncher &launcher, const QString &programDir = ".");
    ~PanelData(); // syncs the open settings

    int currentProfile() const { return m_current; }
    void setCurrentProfile(int index); // 0..9; others are ignored
    bool isColorful() const { return m_isColorful; }
    bool isGun() const { return m_isGun; }
    QString icType() const { return m_icType; }
    bool is55328() const { return m_is55328; }
    // The file behind a profile slot (0..9) or kApConfigSlot.
    QString settingsPath(int slot) const;
    QString programDir() const { return m_programDir; }

    QVariant getGlobalData(const QVariant &key);
    bool setGlobalData(const QVariant &key, const QVariant &value);
    QVariant getData(const QVariant &key, bool isRecovery);
    QVariantList getDataList(const QVariant &key, bool isRecovery);
    bool setData(const QVariant &key, const QVariant &data);
    bool setDataList(const QVariant &key, const QVariantList &list);
    QVariantList mouseGetKeydefine(const QVariant &index, bool isRecovery);

    // type 0 "macro/macroName", 1 "macro/macroName1", 2 "profile/<deviceIndex>", 3 "gun/selectGun".
    QVariantList getNameList(int type, int deviceIndex);
    bool updataNameList(int type, const QStringList &names, int deviceIndex);

    // Macros: device number 0 in "macro/", any other in "macro1/". A name that makes a file (create,
    // the new name of a rename, import) must pass isNewFileName; false, with nothing written, if not.
    bool createMacroIni(const QString &name, const QVariant &deviceNo);
    bool saveMacroIni(const QString &name, const QStringList &macros, const QVariant &repeat, int deviceNo,
                      int delay, int times);
    QStringList loadMacroIni(const QString &name, int deviceNo);
    bool modifyMacroName(const QString &oldName, const QString &newName, int deviceNo);
    bool deleteMacroIni(const QString &name, int deviceNo);
    // Whether a file, or anything else, lies where the macro's file would be.
    bool macroExists(const QString &name, int deviceNo) const;

    // Gun presets: only when gun/gunData.bin exists.
    bool mouseSaveGundata(const QString &name, const QVariantList &src6);
    bool modifyGundata(int modifyType, const QVariantList &src);
    QVariantList getGunData(const QString &name);
    QStringList getGunDataKey();

    QStringList getLangStrings(const QString &typeStr, const QString &langCode);

    void clearHidBusy();
    bool openUpdateExe();
    bool openSubExe();
    bool mouseSetVerticalScrollLines(uint lines);
    bool mouseSetDoubleClickSpeed(uint speed);  // speed 0..12
    bool mouseSetCursorSpeed(uint cursorSpeed); // system speed 1..20

    // Replaces the file of a profile slot (0..9) or of kApConfigSlot with a copy of sourcePath and
    // reopens it. False, with the file and the open object unchanged, when the source is missing,
    // unreadable or damaged, or the copy fails. A source equal to the target does nothing.
    bool replaceSettingsFile(int slot, const QString &sourcePath);
    // Writes the slot's file, with its pending keys, to target through a temporary file. False, with
    // target untouched, when the slot's file is missing or the copy fails.
    bool exportSettingsFile(int slot, const QString &target);
    // Copies a macro file in under name; never over an existing macro, never a damaged file.
    bool importMacro(const QString &name, int deviceNo, const QString &sourcePath);
    // Copies a macro out to target through a temporary file; target untouched on failure.
    bool exportMacro(const QString &name, int deviceNo, const QString &target);
    // In profiles 1-6, every key bound to the macro named macroName gets the factory profile's
    // binding back. Nothing changes while the factory profile is damaged.
    void unbindMacro(const QString &macroName);

private:
    struct Store
    {
        QString path;
        std::unique_ptr<QSettings> settings; // null while the file is damaged
    };

    QString modulePath(const QString &relative) const;
    QString macroPath(const QString &name, int deviceNo) const;
    void openStore(Store &store);
    Store *storeOf(int slot);
    // QSettings on a per-operation file, or null (logged) when the file is damaged. `mustExist`
    // also gives null for a missing file.
    std::unique_ptr<QSettings> openFile(const QString &path, bool mustExist, bool utf8 = false);
    bool launch(const QString &relative);
    static bool commit(QSettings &settings);
    static bool setSystemParameter(UINT action, UINT uiParam, PVOID pvParam, const char *failure);

    DeviceSide &m_device;
    ProgramLauncher &m_launcher;
    QString m_programDir;
    Store m_apConfig, m_factory;
    std::array<Store, kProfiles> m_profiles;
    int m_current = 0;
    bool m_isColorful = false, m_isGun = false, m_is55328 = false;
    QString m_icType;
};
