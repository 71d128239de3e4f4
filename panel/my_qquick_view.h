// The native surface of the panel's QML scene, published to it as "ui_View": every device, profile,
// macro and headset operation the scene calls, by name, plus the calls of the scene's root functions.
//
// The public slots are the scene's contract: their names, order, parameter types and results are
// fixed (a renamed or reordered slot breaks the QML). Helpers are therefore plain members, never
// slots. Every slot runs on the GUI thread; setBusy, setCurrentDPI and setProfile call the QML
// directly and must not be called from elsewhere.
#pragma once

#include "panel/device/hid_host.h"
#include "panel/file_chooser.h"
#include "panel/panel_data.h"
#include "panel/panel_seams.h"

#include <QQuickWidget>
#include <QSet>
#include <QStringList>
#include <QUrl>
#include <QVariant>

#include <array>
#include <cstdint>
#include <memory>

class Hid_Thread;
class HeadsetAudioControl;

// What the view is built with; the defaults are the program's.
struct ViewSetup
{
    QString programDir = ".";
    QUrl source = QUrl("qrc:modules/qml/main.qml");
    FileChooser *chooser = nullptr;      // null: the toolkit's dialogs
    ProgramLauncher *launcher = nullptr; // null: detached processes
};

class myQQuickView : public QQuickWidget, public HidHost, public DeviceSide
{
    Q_OBJECT
    // How the last import or export (loadMacroFile, saveMacroFile, loadProfile, saveProfile), new
    // macro (createMacroIni), macro rename (modifyMacroName) or deletion (deleteMacroIni) ended, for
    // the message lines of the macro editor and the profile page: their results cannot tell a refusal
    // from a cancelled dialog, a name from a file, or a file that stays from one already gone. "" done
    // or cancelled; "name" a name no new macro file may have; "taken" a macro file of that name
    // exists; "file" the chosen file was refused, the copy failed, the new file could not be written,
    // the old one is gone or could not be moved, or the file stays.
    // Read only, without a change signal: the slots below are the whole contract.
    Q_PROPERTY(QString fileFailure READ fileFailure)
public:
    static constexpr int kProfileImageBytes = 128;
    static constexpr int kProfileImages = 10; // profile numbers 1..10
    static constexpr int kMacroSlots = 12;

    // Opens the data files under setup.programDir; the source is set by the controller.
    myQQuickView(QWidget *host, const ViewSetup &setup = {});
    ~myQQuickView() override;

    // The HID thread the commands go to (the view becomes its host), and the headset's audio
    // control; both outlive the view. Without them the device slots do nothing and return 0.
    void setHidThread(Hid_Thread *hid);
    void setHeadsetControl(HeadsetAudioControl *headset) { m_headset = headset; }
    PanelData &data() { return m_data; }
    QString fileFailure() const { return m_fileFailure; }

    // Calls a function of the QML root object with every argument as a QVariant. A missing root
    // object or function is logged once per name and nothing happens. False when nothing was called.
    bool invokeRoot(const char *function, Qt::ConnectionType type, const QVariantList &args = {});

    // HidHost
    bool mouseIsGun() const override;
    void headsetStatus(unsigned char status) override;
    // DeviceSide
    void releaseBusy() override;
    int currentDeviceType() override;

public slots:
    void clearHidBusy();
    void initUI();
    void runUI();
    void ylwCtrl(uchar val_code);
    void resetApconfig();
    QVariant getDeviceConnectState();
    void setDeviceIndex(QVariant index);
    bool loadMacroFile(QVariant macroFileName, int deviceNo);
    void saveMacroFile(QVariant macroFileName, int deviceNo);
    QString getOpenSomeVendorPath(QString filterName);
    bool loadProfile(int profile);
    void saveProfile(int profile);
    void resetProfile(int profile);
    void copyProfile(int destprofile, int srcprofile);
    QStringList getLangStrings(QString typeStr, QString langCode);
    QVariant createMacroIni(QVariant name, QVariant deviceNo);
    QVariant updataNameList(QVariant type, QStringList nameList, int deviceIndex);
    QVariant modifyMacroName(QVariant oldname, QVariant newname, int deviceNo);
    void deleteMacroUpdateProfile(QVariant macroName);
    QVariant deleteMacroIni(QVariant name, int deviceNo);
    QVariantList getNameList(QVariant type, int deviceIndex);
    QVariant saveMacroIni(QVariant name, QStringList macros, QVariant repeat, int deviceNo, int delay,
                          int times);
    QVariant mouseSendMacroData(QVariantList macroData, QVariant macroIndex);
    QVariant keyboardSendMacroData(QVariantList macroData, QVariant macroIndex);
    QStringList loadMacroIni(QVariant name, int deviceNo);
    void mouseSaveGundata(QVariant index, QVariantList src6);
    void mouseSendGundata(int, QVariantList);
    void modifyGundata(QVariant modifyType, QVariantList src6);
    QVariantList getGunData(QVariant name);
    QStringList getGunDataKey();
    QVariant getXYSensitive(QVariant index);
    void setXYSensitive(QVariant index, QVariant xyData);
    void setCurrentProfile(int profile);
    void mouseSetKeyboardoption(uchar byte1, uchar byte2, uchar byte3, uchar byte4);
    void mouseSetReportRate(int is3336, uchar rate);
    void mouseSetCurrentDPI(uchar currentDPI);
    void mouseResetKeyMatrix();
    QVariant mouseGetCurrentDPI();
    void mouseSetKeyMatrix(int is3336, QVariantList src);
    void keyboardSetKeyMatrix(QVariantList src);
    void mouseSetDpi(int curDPI, QVariantList dpiSelectArray, QVariantList dpiValueArray, int is3336);
    void mouseSetRGBEffect(int is3336, uchar lightEffect, uchar lightBrightness, uchar lightSpeed,
                           uchar lightColorful, uchar lightDirection, uchar colorR, uchar colorG,
                           uchar colorB);
    void mousePadSetRGBEffect(uchar lightEffect, uchar lightBrightness, uchar lightSpeed, uchar lightColorful,
                              uchar lightDirection, uchar colorR, uchar colorG, uchar colorB);
    void supportSetRGBEffect(uchar lightEffect, uchar lightBrightness, uchar lightSpeed, uchar lightColorful,
                             uchar lightDirection, uchar colorR, uchar colorG, uchar colorB);
    void keyboardSetRGBEffect(uchar lightEffect, uchar lightBrightness, uchar lightSpeed, uchar lightColorful,
                              uchar lightDirection, uchar colorR, uchar colorG, uchar colorB);
    void mouseSetRGBColor(int is3336, uchar type, uchar colorR, uchar colorG, uchar colorB);
    void keyboardSetRGBColor(uchar type, uchar colorR, uchar colorG, uchar colorB);
    void mouseSetProfile(uint profileNo);
    void mouseReadProfile(uint profileNo);
    QVariant mouseReadCurrentProfile();
    void mouseSwitchKeyMatrix(int indexNo);
    QVariantList GetKeyboardoption();
    void mouseSetCursorSpeed(uint cursorSpeed);
    void mouseSetVerticalScrollLines(uint lines);
    void mouseSetDoubleClickSpeed(uint speed);
    QVariantList mouseGetKeydefine(QVariant index, bool);
    void openUpdateExe();
    void openSubExe();
    QVariant getData(QVariant key, bool isRecovery);
    QVariant getGlobalData(QVariant key);
    QVariantList getDataList(QVariant key, bool isRecovery);
    void setData(QVariant key, QVariant data);
    void setGlobalData(QVariant key, QVariant tmpdata);
    void setDataList(QVariant key, QVariantList datalist);
    void setBusy(int busyTime);
    void setCurrentDPI(int dpiValue);
    void setProfile(int no);
    void keyboardAdvaceFunctionProc(uchar index);
    void headSetSet71(bool isEnable);
    QVariant headSetGet71();
    QVariant headSetGetMicStatus();
    void headSetJHQEnable(bool isEnable);
    void headSetJHQData(int v1, int v2, int v3, int v4, int v5, int v6, int v7, int v8, int v9, int v10);
    void headSetYYQXEnable(bool isEnable);
    void headSetYYQX0(int tmpValue);
    void headSetYYQX1(int tmpValue);
    void headSetHJJZEnable(bool isEnable);
    QVariant headSetGetHJJZ();
    void headSetMYQEnable(bool isEnable);
    void headSetMYQMode(int tmpValue);
    void headSetYLKZVoice(int isLock, int lValue, int rValue);
    void headSetMicClose(QVariant src);
    void headSetYLKZMic(int isLock, int lValue, int rValue);
    void headSetSetLED(QVariantList src);

protected:
    void focusInEvent(QFocusEvent *event) override;

private:
    struct ProfileImage
    {
        QByteArray bytes = QByteArray(kProfileImageBytes, 0);
        bool loaded = false; // set only by a complete read from the mouse
    };

    // The file dialogs start on the desktop, with the view as parent.
    QString choose(FileChooser::Kind kind, const QString &caption, const QString &filter);
    bool profileInRange(int profile, const char *operation) const;
    // A copy's (or a new file's) result, kept as fileFailure "file" and logged as `failed` and the
    // chosen path (or name) when it failed.
    bool copied(bool ok, const char *failed, const QString &chosen);
    // Whether a new macro file may take the name: fileFailure "name" or "taken" when not, else "".
    bool isNewMacroName(const QString &name, int deviceNo);
    // The image of profile number 1..10, read from the mouse first when it never was; null when the
    // number is out of range or the read failed.
    ProfileImage *loadedImage(uint profileNo);
    int mouseDevice(int is3336) const { return is3336 ? 4 : 1; }
    bool isIc560() const { return m_data.icType() == "560"; }

    QWidget *m_host;
    Hid_Thread *m_hid = nullptr;
    HeadsetAudioControl *m_headset = nullptr;
    std::unique_ptr<FileChooser> m_ownChooser;
    std::unique_ptr<ProgramLauncher> m_ownLauncher;
    FileChooser &m_chooser;
    ProgramLauncher &m_launcher;
    PanelData m_data; // the mouse flags, apConfig, pD, p1..p10 and the current profile index
    std::array<ProfileImage, kProfileImages> m_profileImages;
    // Persist between keyboard light changes, never saved.
    uint8_t m_keyboardSpeedByte = 0x03;
    uint8_t m_keyboardModeByte = 0xE2;
    QSet<QByteArray> m_missingRootFunctions; // already logged
    QString m_fileFailure;
};
