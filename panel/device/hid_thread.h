// The control panel's gateway to its HID devices: the device list, checksummed and scrambled command
// reports, bulk transfers, and the headset status poll.
//
// Threads: every slot runs on the GUI thread (the object's thread). The status poll runs on a thread
// of the global pool with its own handle for the headset, guarded by the poll mutex; a QML call of
// readHeadSetData takes the same mutex. Commands open and close a handle of their own. The record
// paths are guarded by one mutex, held only to copy or write them. Lock order: poll mutex, then paths.
#pragma once

#include "panel/device/hid_device_list.h"
#include "panel/device/hid_host.h"
#include "platform/hid/hid_transport.h"

#include <QByteArray>
#include <QFuture>
#include <QThread>
#include <QVariant>

#include <atomic>
#include <mutex>

struct HidSetterRow;
struct HidGetterRow;

class Hid_Thread : public QThread
{
    Q_OBJECT
public:
    static constexpr int kHeadset = 3;     // device index of the headset
    static constexpr int kIdlePolls = 255; // waitIdle polls ...
    static constexpr int kIdlePollMs = 8;  // ... this far apart
    static constexpr int kChunkTimeoutMs = 1000;
    static constexpr int kHeadsetReadMs = 300;
    static constexpr int kHeadsetReportLength = 16;

    // Loads the device list from deviceFile. The transport outlives this object.
    explicit Hid_Thread(HidTransport &transport,
                        const QString &deviceFile = QStringLiteral("./modules/setting/apConfig.bin"),
                        QObject *parent = nullptr);
    ~Hid_Thread() override;

    void setHost(HidHost *host) { m_host = host; }
    // Status of the last command slot (or headset read) that ran.
    HidStatus lastStatus() const { return m_lastStatus.load(); }

    int deviceCount() const;
    // A copy of record did; false (out untouched) when did is outside the list.
    bool deviceAt(int did, HidDeviceRecord *out) const;
    // Enumerates record did's vid/pid, matches it and stores its paths; for the headset also sets
    // connection bit 3 when its command interface was found.
    HidMatch detectDevice(int did);
    uint32_t connectionBits() const { return m_connection.load(); }
    void setConnectionBits(uint32_t bits) { m_connection = bits; }

    // The device the panel shows; loadSecrecyCode also sets it.
    int currentDevice() const { return m_currentDevice; }
    void setCurrentDevice(int did) { m_currentDevice = did; }

    // Frees a claim that a command never released (the bridge's clearHidBusy).
    void releaseIdle() { m_idle = true; }
    bool isIdle() const { return m_idle.load(); }

    // Transport steps. Each returns how it went; a command's claim is released by send/query.
    HidStatus openDevice(int did, HidHandle *handle);
    HidStatus waitIdle();
    void settleWait();
    // Sends the plain 9-byte report (scrambled here for encoded devices), then length bytes of data
    // in output reports of reportLength + 1 bytes; releases the claim.
    HidStatus sendCommand(int did, const uint8_t report[9], const uint8_t *data, int length, bool settle);
    // Sends the report and reads the 9-byte reply (unscrambled), then length bytes of input reports
    // into data. reply and data are written only when everything arrived; releases the claim.
    HidStatus queryCommand(int did, const uint8_t report[9], uint8_t reply[9], uint8_t *data, int length);

public slots:
    uchar hidCS(uchar *cmd);
    bool headSetHidSet(int did, int length);
    QVariant getSupportData();
    void setSupportData(QVariant value);
    QVariant readHeadSetData();
    void startPollingUSBVendorCmd();
    void stopPollingUSBVendorCmd();

    void USBDataEncryption(uchar *FIFOBuf, uchar *SecrecyCode);
    void USBDataDecipher(uchar *FIFOBuf, uchar *SecrecyCode);
    void loadSecrecyCode(int did);

    void hidARM_01H_SetReportRate(int did, int rate);
    void hidARM_03H_SetKeyMatrix(int did, const QByteArray &src64);
    void hidARM_06H_SetRGBLedEffect(int did, int mode, int color, int brightness, int speed, int direction);
    void hidARM_07H_SetDPI(int did, int curDPI, int DPISegment, int DPI0, int DPI1, int DPI2, int DPI3);
    void hidARM_08H_SetDPI(int did, int DPI4, int DPI5, int DPI6, int DPI7, int mul);
    void hidARM_0CH_SetLED8StageColor(int did, const QByteArray &src24);
    void hid553_02H_SetCurrentKeyMatrix(int did, int currentKeyMatrix);
    void hid553_03H_SetKeyboardoption(int did, int byte1, int byte2, int byte3, int byte4);
    void hid553_04H_SetGunData(int did, int byte1, int byte2, int byte3, int byte4);
    void hid553_0BH_SetCurrentDPI(int did, int stage);
    void hid553_0CH_SetFixLEDColor(int did, const QByteArray &src3);
    void hid553_11H_SetDPISet(int did, int dpiStage, const QByteArray &src8);
    void hid560_01H_SetKeyboardoption(int did, int byte1, int byte2);
    void hid560_02H_SetCurrentProfile(int did, int profile);
    void hid560_03H_SetReportRate(int did, int rate);
    void hid560_04H_SetCurrentDPI(int did, int stage);
    void hid560_0CH_setProfile(int did, const QByteArray &src128, int profileData);
    void hid560_0DH_SetKeyMatrix(int did, const QByteArray &src64, int indexAddOne);
    void hid560_0FH_SetMacroKey(int did, int macroId, const QByteArray &src128);
    void hid52352_05H_SetMacroKey(int did, int macroId, const QByteArray &src192);
    void hid576_08H_SetRGBLedEffect(int did, int mode, int brightness, int speed, int direction, int color,
                                    int bl0, int bl1);
    void hid576_0CH_SetKeyMatrix(int did, int index, const QByteArray &src128);
    void hid576_10H_SetMacroKey(int did, int macroId, const QByteArray &src128);
    void hid576_30H_SetLED8StageColor(int did, const QByteArray &src24);
    void hidmousePad_SetRGBLedEffect(int did, int mode, int color, int brightness, int speed, int direction,
                                     int colorR, int colorG, int colorB);
    void hidsupport_SetRGBLedEffect(int did, int mode, int color, int brightness, int speed, int direction,
                                    int colorR, int colorG, int colorB);

    // Out-arguments change only when a well-formed reply arrived.
    void hid553_83H_GetKeyboardoption(int did, int &byte1, int &byte2, int &byte3, int &byte4);
    void hid553_8BH_GetCurrentDPI(int did, int &byte1);
    void hid560_81H_GetKeyboardoption(int did, int &byte1, int &byte2);
    void hid560_82H_GetCurrentProfile(int did, int &byte1);
    void hid560_84H_GetCurrentDPI(int did, int &byte1, int &byte2);
    // Profiles live on device 1, where they are written back; src128 must hold 128 bytes.
    void hid560_8CH_readProfile(QByteArray &src128, int profileNo);

    void headSetSetLEDStart();
    void headSetSetLEDStop(int vc, int sur, int enc, int magic, int AAMute);
    void headSetSetLEDConfig(int mode, int sizeL, int sizeM, int Interval_L, int Interval_M);
    void headSetSetLEDColorArray(int index_L, int index_M, int r1, int g1, int b1, int r2, int g2, int b2,
                                 int r3, int g3, int b3, int r4, int g4, int b4);

private:
    HidStatus transfer(int did, const uint8_t report[9], const uint8_t *data, int length, bool settle);
    bool codeFor(int did, uint8_t code[7]) const;
    void runSetter(const HidSetterRow &row, int did, std::initializer_list<int> args,
                   const QByteArray *bulk = nullptr);
    void runGetter(const HidGetterRow &row, int did, std::initializer_list<int> args,
                   std::initializer_list<int *> out, QByteArray *data = nullptr);
    void runHeadset(const uint8_t report[16]);
    HidStatus finish(HidStatus status);
    HidStatus pollRead(uchar *status);
    void closePollHandle();
    void pollLoop();

    HidTransport &m_transport;
    HidHost *m_host = nullptr;
    std::atomic<uint32_t> m_supportData{0};
    QList<HidDeviceRecord> m_devices;
    mutable std::mutex m_pathsLock;
    std::atomic<uint32_t> m_connection{0};
    int32_t m_currentDevice = 0;
    std::mutex m_pollLock;
    std::atomic<bool> m_polling{true};
    std::atomic<bool> m_idle{true};
    bool m_settle = true;
    QFuture<void> m_pollFuture;
    HidHandle m_pollHandle = kNoHidHandle;
    QString m_pollPath;
    uint8_t m_secrecyCode[7] = {};
    uint8_t m_headsetReport[16] = {};
    std::atomic<HidStatus> m_lastStatus{HidStatus::Ok};
};
