// The view's device slots: the QML's units (slider positions 0-218 for light brightness and speed,
// 0-272 for volume, plain integer lists, colour triples) converted and packed for the HID commands
// and the headset. Lists longer than their buffer are cut, shorter ones zero-filled; every value
// that becomes a byte is clamped to it.
#include "panel/device/headset_audio_control.h"
#include "panel/device/hid_thread.h"
#include "panel/my_qquick_view.h"

#include <QDebug>

#include <algorithm>
#include <cmath>

namespace
{
constexpr int kMouseKeyMatrixBytes = 64;
constexpr int kKeyboardKeyMatrixBytes = 512;
constexpr int kKeyboardPageBytes = 128;
constexpr int kMouseMacroBytes = 192;
constexpr int kKeyboardMacroBytes = 128;
constexpr int kDpiStages = 8;
constexpr int kLedListLength = 31;
// The keyboard is device 0 and the mouse pad 2, the headset 3, the accessory 5.
constexpr int kKeyboard = 0, kMouse = 1, kMousePad = 2, kAccessory = 5;

// A list element as an integer: numbers and numeric text as they are (doubles truncated and held
// to the int range), anything else 0.
int elementInt(const QVariant &v)
{
    bool ok = false;
    const double d = v.toDouble(&ok);
    if (!ok || !std::isfinite(d))
        return 0;
    return int(std::clamp(d, double(INT32_MIN), double(INT32_MAX)));
}

// The element's low byte, as the device takes it.
uint8_t elementByte(const QVariant &v)
{
    return uint8_t(elementInt(v));
}

uint8_t clampByte(int v)
{
    return uint8_t(std::clamp(v, 0, 255));
}

// size bytes from the list: cut when longer, zero-filled when shorter.
QByteArray packBytes(const QVariantList &list, int size)
{
    QByteArray out(size, 0);
    const int n = std::min<int>(size, list.size());
    for (int i = 0; i < n; ++i)
        out[i] = char(elementByte(list[i]));
    return out;
}

int colourful(uchar c)
{
    return c ? 7 : 0;
}

// Eight RGB triples; type 0 puts the user's colour first.
QByteArray stageColours(const uint8_t (&defaults)[24], uchar type, uchar r, uchar g, uchar b)
{
    QByteArray table(reinterpret_cast<const char *>(defaults), 24);
    if (type == 0)
    {
        table[0] = char(r);
        table[1] = char(g);
        table[2] = char(b);
    }
    return table;
}

// A volume slider (0 loudest, 272 silent) as a percent; wide arithmetic, as the scene may pass any int.
int volumePercent(int slider)
{
    return int(std::clamp<int64_t>((27200 - 100 * int64_t(slider)) / 272, 0, 100));
}
} // namespace

// ---- Mouse

void myQQuickView::mouseSetKeyboardoption(uchar byte1, uchar byte2, uchar byte3, uchar byte4)
{
    if (m_hid)
        m_hid->hid553_03H_SetKeyboardoption(kMouse, byte1, byte2, byte3, byte4);
}

void myQQuickView::mouseSetReportRate(int is3336, uchar rate)
{
    // 8 >> rate; shifting by 32 or more would be undefined, and gives 0 anyway.
    if (m_hid)
        m_hid->hidARM_01H_SetReportRate(mouseDevice(is3336), rate < 32 ? 8 >> rate : 0);
}

void myQQuickView::mouseSetCurrentDPI(uchar currentDPI)
{
    if (!m_hid)
        return;
    if (isIc560())
        m_hid->hid560_04H_SetCurrentDPI(kMouse, currentDPI);
    else
        m_hid->hid553_0BH_SetCurrentDPI(kMouse, currentDPI);
}

void myQQuickView::mouseResetKeyMatrix()
{
    // The QML calls it; the device keeps its key matrix and nothing is written.
}

QVariant myQQuickView::mouseGetCurrentDPI()
{
    int stage = 0, dpi = 0;
    if (!m_hid)
        return 0;
    if (isIc560())
    {
        m_hid->hid560_84H_GetCurrentDPI(kMouse, stage, dpi);
        return dpi;
    }
    m_hid->hid553_8BH_GetCurrentDPI(kMouse, dpi);
    return dpi;
}

void myQQuickView::mouseSetKeyMatrix(int is3336, QVariantList src)
{
    if (!m_hid)
        return;
    QByteArray matrix(kMouseKeyMatrixBytes, 0);
    // Entries 14 and 15 default to their fixed functions; a long list overwrites them.
    const uint8_t presets[8] = {5, 1, 1, 0, 5, 2, 1, 0};
    std::copy(presets, presets + 8, matrix.begin() + 56);
    const int n = std::min<int>(kMouseKeyMatrixBytes, src.size());
    for (int i = 0; i < n; ++i)
        matrix[i] = char(elementByte(src[i]));
    // Entry 8 is the key that switches DPI, whatever the list says.
    const uint8_t entry8[4] = {11, 1, 0, 0};
    std::copy(entry8, entry8 + 4, matrix.begin() + 32);
    // The device reads each entry back to front.
    for (int e = 0; e < kMouseKeyMatrixBytes; e += 4)
        std::reverse(matrix.begin() + e, matrix.begin() + e + 4);
    m_hid->hidARM_03H_SetKeyMatrix(mouseDevice(is3336), matrix);
}

void myQQuickView::keyboardSetKeyMatrix(QVariantList src)
{
    if (!m_hid)
        return;
    const QByteArray matrix = packBytes(src, kKeyboardKeyMatrixBytes);
    for (int page = 0; page < kKeyboardKeyMatrixBytes / kKeyboardPageBytes; ++page)
        m_hid->hid576_0CH_SetKeyMatrix(kKeyboard, page,
                                       matrix.mid(page * kKeyboardPageBytes, kKeyboardPageBytes));
}

void myQQuickView::mouseSetDpi(int curDPI, QVariantList dpiSelectArray, QVariantList dpiValueArray,
                               int is3336)
{
    if (!m_hid)
        return;
    int selectBits = 0, valueBits = 0, stage[kDpiStages] = {};
    for (int i = 0; i < kDpiStages; ++i)
    {
        if (i < dpiSelectArray.size() && dpiSelectArray[i].toBool())
            selectBits |= 1 << i;
        const int value = i < dpiValueArray.size() ? elementInt(dpiValueArray[i]) : 0;
        // The 3336 sensor counts in steps of 100 above 7200 (flagged in bit 7), else of 50.
        const bool high = value > 7200;
        if (high)
            valueBits |= 1 << i;
        if (is3336)
            stage[i] = high ? (clampByte(value / 100 - 1) & 0x7F) | 0x80 : clampByte(value / 50 - 1);
        else
            stage[i] = clampByte(value / 100 - 1);
    }
    const int did = mouseDevice(is3336);
    m_hid->hidARM_08H_SetDPI(did, stage[4], stage[5], stage[6], stage[7], valueBits);
    m_hid->hidARM_07H_SetDPI(did, curDPI, selectBits, stage[0], stage[1], stage[2], stage[3]);
}

void myQQuickView::mouseSetRGBColor(int is3336, uchar type, uchar colorR, uchar colorG, uchar colorB)
{
    static const uint8_t defaults[24] = {255, 0, 0,   0, 0,   255, 0,   255, 0, 255, 255, 0,
                                         255, 0, 255, 0, 255, 255, 255, 128, 0, 255, 255, 255};
    if (m_hid)
        m_hid->hidARM_0CH_SetLED8StageColor(mouseDevice(is3336),
                                            stageColours(defaults, type, colorR, colorG, colorB));
}

void myQQuickView::mouseSetRGBEffect(int is3336, uchar lightEffect, uchar lightBrightness, uchar lightSpeed,
                                     uchar lightColorful, uchar lightDirection, uchar colorR, uchar colorG,
                                     uchar colorB)
{
    if (!m_hid)
        return;
    mouseSetRGBColor(is3336, lightColorful, colorR, colorG, colorB);
    const int effect = lightEffect == 1 ? 4 : lightEffect == 4 ? 1 : lightEffect;
    m_hid->hidARM_06H_SetRGBLedEffect(mouseDevice(is3336), effect, colourful(lightColorful),
                                      lightBrightness * 50 / 218, lightSpeed * 5 / 218 + 1, lightDirection);
}

// ---- Mouse pad and accessory

void myQQuickView::mousePadSetRGBEffect(uchar lightEffect, uchar lightBrightness, uchar lightSpeed,
                                        uchar lightColorful, uchar lightDirection, uchar colorR, uchar colorG,
                                        uchar colorB)
{
    if (!m_hid)
        return;
    const int effect = lightEffect == 1 ? 3 : lightEffect == 3 ? 1 : lightEffect;
    m_hid->hidmousePad_SetRGBLedEffect(kMousePad, effect, colourful(lightColorful),
                                       lightBrightness * 50 / 218, lightSpeed * 5 / 218, lightDirection,
                                       colorR, colorG, colorB);
}

void myQQuickView::supportSetRGBEffect(uchar lightEffect, uchar lightBrightness, uchar lightSpeed,
                                       uchar lightColorful, uchar lightDirection, uchar colorR, uchar colorG,
                                       uchar colorB)
{
    if (!m_hid)
        return;
    const int effect = lightEffect == 1 ? 4 : lightEffect == 3 ? 2 : lightEffect + 1;
    // The accessory counts brightness and speed down from 4; past the slider's 218 the quotient
    // turns negative and truncates to 0.
    m_hid->hidsupport_SetRGBLedEffect(kAccessory, effect, colourful(lightColorful),
                                      (872 - 4 * lightBrightness) / 218, (872 - 4 * lightSpeed) / 218,
                                      lightDirection, colorR, colorG, colorB);
}

// ---- Keyboard

void myQQuickView::keyboardSetRGBColor(uchar type, uchar colorR, uchar colorG, uchar colorB)
{
    static const uint8_t defaults[24] = {255, 0,   0,   0,   255, 0,   255, 255, 0,   0,   0,   255,
                                         0,   255, 255, 255, 0,   255, 255, 255, 255, 255, 255, 255};
    if (m_hid)
        m_hid->hid576_30H_SetLED8StageColor(kKeyboard, stageColours(defaults, type, colorR, colorG, colorB));
}

void myQQuickView::keyboardSetRGBEffect(uchar lightEffect, uchar lightBrightness, uchar lightSpeed,
                                        uchar lightColorful, uchar lightDirection, uchar colorR, uchar colorG,
                                        uchar colorB)
{
    if (!m_hid)
        return;
    const int level = std::max(1, (1526 - 7 * lightSpeed) / 218);
    const int brightness = lightBrightness * 63 / 218;
    int effect = lightEffect, code = 4;
    switch (lightEffect)
    {
    case 0:
        code = 0;
        break;
    case 1:
        effect = 6;
        break;
    case 6:
        effect = 1;
        code = 1;
        break;
    case 7:
        code = 3;
        break;
    default:
        break;
    }
    m_keyboardModeByte = uint8_t((brightness / 9) << 4 | code);
    if (effect != 0)
        m_keyboardSpeedByte = uint8_t((m_keyboardSpeedByte & 0xF0) | (level & 0x0F));
    keyboardSetRGBColor(lightColorful, colorR, colorG, colorB);
    m_hid->hid576_08H_SetRGBLedEffect(kKeyboard, effect, brightness, level, lightDirection,
                                      colourful(lightColorful), m_keyboardModeByte, m_keyboardSpeedByte);
}

// ---- Macros

QVariant myQQuickView::mouseSendMacroData(QVariantList macroData, QVariant macroIndex)
{
    bool ok = false;
    const int index = macroIndex.toInt(&ok);
    if (!m_hid || !ok || index < 0 || index >= kMacroSlots)
        return false;
    m_hid->hid52352_05H_SetMacroKey(kMouse, index, packBytes(macroData, kMouseMacroBytes));
    return m_hid->lastStatus() == HidStatus::Ok;
}

QVariant myQQuickView::keyboardSendMacroData(QVariantList macroData, QVariant macroIndex)
{
    bool ok = false;
    const int index = macroIndex.toInt(&ok);
    if (!m_hid || !ok || index < 0 || index >= kMacroSlots)
        return false;
    m_hid->hid576_10H_SetMacroKey(kKeyboard, index, packBytes(macroData, kKeyboardMacroBytes));
    return m_hid->lastStatus() == HidStatus::Ok;
}

// ---- Profiles on the mouse

myQQuickView::ProfileImage *myQQuickView::loadedImage(uint profileNo)
{
    if (!m_hid || profileNo < 1 || profileNo > uint(kProfileImages))
    {
        qWarning() << "no profile image" << profileNo;
        return nullptr;
    }
    ProfileImage &image = m_profileImages[profileNo - 1];
    if (!image.loaded)
        mouseReadProfile(profileNo);
    if (!image.loaded)
    {
        // A zeroed image would overwrite the mouse's whole profile.
        qWarning() << "profile" << profileNo << "was never read from the mouse; not sent";
        return nullptr;
    }
    return &image;
}

void myQQuickView::mouseReadProfile(uint profileNo)
{
    if (!m_hid || profileNo < 1 || profileNo > uint(kProfileImages))
        return;
    ProfileImage &image = m_profileImages[profileNo - 1];
    QByteArray bytes = image.bytes;
    m_hid->hid560_8CH_readProfile(bytes, int(profileNo));
    if (m_hid->lastStatus() == HidStatus::Ok)
    {
        image.bytes = bytes;
        image.loaded = true;
    }
}

void myQQuickView::mouseSetProfile(uint profileNo)
{
    if (ProfileImage *image = loadedImage(profileNo))
        m_hid->hid560_0CH_setProfile(kMouse, image->bytes, int(profileNo));
}

QVariant myQQuickView::mouseReadCurrentProfile()
{
    int profile = 0;
    if (m_hid)
        m_hid->hid560_82H_GetCurrentProfile(kMouse, profile);
    return profile;
}

void myQQuickView::mouseSwitchKeyMatrix(int indexNo)
{
    if (!m_hid)
        return;
    if (isIc560())
        m_hid->hid560_02H_SetCurrentProfile(kMouse, indexNo);
    else
        m_hid->hid553_02H_SetCurrentKeyMatrix(kMouse, indexNo - 1);
}

QVariantList myQQuickView::GetKeyboardoption()
{
    int b[4] = {};
    if (m_hid)
        m_hid->hid553_83H_GetKeyboardoption(kMouse, b[0], b[1], b[2], b[3]);
    return {b[0], b[1], b[2], b[3]};
}

void myQQuickView::mouseSendGundata(int index, QVariantList list)
{
    if (!m_hid || !m_data.isGun())
        return;
    const QByteArray values = packBytes(list, 3);
    if (isIc560())
    {
        const uint number = uint(index) + 1;
        ProfileImage *image = index >= 0 ? loadedImage(number) : nullptr;
        if (!image)
            return;
        image->bytes[78] = char(0xF0);
        image->bytes[79] = values[0];
        image->bytes[80] = values[1];
        image->bytes[81] = values[2];
        image->bytes[65] = char(image->bytes[65] & ~0x04);
        m_hid->hid560_0CH_setProfile(kMouse, image->bytes, int(number));
        return;
    }
    int options[4] = {};
    m_hid->hid553_83H_GetKeyboardoption(kMouse, options[0], options[1], options[2], options[3]);
    if (m_hid->lastStatus() != HidStatus::Ok)
    {
        // Without the options the sign of the value is unknown.
        qWarning() << "mouseSendGundata: keyboard options unread; not sent";
        return;
    }
    const uint8_t value = options[2] ? uint8_t(-uint8_t(values[2])) : uint8_t(values[2]);
    m_hid->hid553_04H_SetGunData(kMouse, uint8_t(values[0]), uint8_t(values[1]), value, index - 1);
}

// ---- Headset

void myQQuickView::headSetYYQX0(int tmpValue)
{
    static const int steps[] = {-1, 65, 131, 197, 263, 329};
    const auto at = std::find(std::begin(steps), std::end(steps), tmpValue);
    const int level = at == std::end(steps) ? 10 : 4 + int(at - std::begin(steps));
    if (m_headset)
        m_headset->setVoiceClarityLevel(level);
}

void myQQuickView::headSetYYQX1(int tmpValue)
{
    static const int steps[] = {-1, 38, 78, 117, 157, 197, 236, 276, 315, 355};
    const auto at = std::find(std::begin(steps), std::end(steps), tmpValue);
    const int level = at == std::end(steps) ? 20 : 2 * int(at - std::begin(steps));
    if (m_headset)
        m_headset->setVoiceClarityNoiseLevel(level);
}

void myQQuickView::headSetYLKZVoice(int isLock, int lValue, int rValue)
{
    if (m_headset)
        m_headset->setPlaybackVolume(isLock == 0, volumePercent(lValue), volumePercent(rValue));
}

void myQQuickView::headSetYLKZMic(int isLock, int lValue, int rValue)
{
    if (m_headset)
        m_headset->setMicVolume(isLock == 0, volumePercent(lValue), volumePercent(rValue));
}

void myQQuickView::headSetSetLED(QVariantList src)
{
    if (!m_hid)
        return;
    int e[kLedListLength] = {};
    const int n = std::min<int>(kLedListLength, src.size());
    for (int i = 0; i < n; ++i)
        e[i] = elementInt(src[i]);
    m_hid->headSetSetLEDStop(e[26], e[27], e[28], e[29], e[30]);
    int mode = 1, colour[3] = {};
    if (e[21] != 0)
    {
        mode = e[22] == 2 ? 3 : e[22] == 3 ? 2 : e[22];
        // The headset's colour scale tops out at 176; element 23 dims it in tenths.
        // The colour bytes go out as elements 1, 2, 0.
        const int order[3] = {1, 2, 0};
        for (int k = 0; k < 3; ++k)
        {
            const int64_t scaled = int64_t(clampByte(e[order[k]])) * 176 / 255;
            colour[k] = int(std::clamp<int64_t>(int64_t(e[23]) * scaled / 10, 0, 255));
        }
    }
    m_hid->headSetSetLEDConfig(mode, 1, 0, e[24], 0);
    m_hid->headSetSetLEDColorArray(colour[0], colour[1], colour[2], 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    m_hid->headSetSetLEDStart();
}
