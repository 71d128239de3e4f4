// The vendor command families: one table row per command, and the slots as one-line calls into it.
#include "panel/device/hid_scrambler.h"
#include "panel/device/hid_thread.h"

#include <QDebug>

#include <algorithm>
#include <cstring>

namespace
{
// A report byte is a constant (0..255) or one of these places.
constexpr int16_t A(int k)
{
    return static_cast<int16_t>(-1 - k);
} // the k-th argument after did
constexpr int16_t CS = -100; // checksum of offsets 1-7
constexpr int16_t N = -101;  // stage number 1..4 of a repeated command
constexpr int16_t X = -102;  // the pad's offset 5: direction in mode 3, else color << 4

enum class Finish : uint8_t
{
    Settle, // 128 ms after the feature report and after the bulk data
    Pause,  // 8 ms after the send
};
} // namespace

struct HidSetterRow
{
    int16_t bytes[8];   // report offsets 1-8
    uint8_t bulkCopy;   // bytes taken from the slot's array
    uint8_t bulkLength; // bytes sent (zero past bulkCopy)
    Finish finish;
    const char *failure;
};

struct HidGetterRow
{
    int16_t bytes[7];   // request offsets 1-7; offset 8 is the checksum
    uint8_t replyFrom;  // first reply offset copied to the out-arguments
    uint8_t readLength; // bulk bytes read after the reply
    int8_t device;      // fixed device, or -1 for the slot's did
    const char *failure;
};

namespace
{
// clang-format off
const HidSetterRow ARM_01H  = {{0x01, A(0), 0x03, 0x03, 0x0F, 0, 0, CS}, 0, 0, Finish::Settle, "cmd Failed 01"};
const HidSetterRow ARM_03H  = {{0x03, 0, 0, 0x01, 0, 0, 0, CS}, 64, 64, Finish::Settle, "cmd Failed 03"};
const HidSetterRow ARM_06H  = {{0x06, A(0), A(1), A(2), A(3), A(4), 0, CS}, 0, 0, Finish::Settle, "cmd Failed 06"};
const HidSetterRow ARM_07H  = {{0x07, A(0), A(1), A(2), A(3), A(4), A(5), CS}, 0, 0, Finish::Settle, "hidARM_07H_SetDPI"};
const HidSetterRow ARM_08H  = {{0x08, A(0), A(1), A(2), A(3), A(4), 0, CS}, 0, 0, Finish::Settle, "hidARM_08H_SetDPI"};
const HidSetterRow ARM_0CH  = {{0x0C, 0, 0, 0x01, 0, 0, 0, CS}, 24, 24, Finish::Settle, "hidARM_0CH_SetLED8StageColor"};
const HidSetterRow K553_02H = {{0x02, A(0), 0, 0, 0, 0, 0, CS}, 0, 0, Finish::Settle, "cmd Failed 02"};
const HidSetterRow K553_03H = {{0x03, A(0), A(1), A(2), A(3), 0, 0, CS}, 0, 0, Finish::Pause, "cmd Failed 03"};
const HidSetterRow K553_04H = {{0x04, 0, A(0), A(1), A(2), A(3), 0, CS}, 0, 0, Finish::Pause, "cmd Failed 04"};
const HidSetterRow K553_0BH = {{0x0B, A(0), 0, 0, 0, 0, 0, CS}, 0, 0, Finish::Settle, "cmd Failed 0B"};
const HidSetterRow K553_0CH = {{0x0C, A(0), A(1), A(2), 0, 0, 0, CS}, 0, 0, Finish::Settle, "cmd Failed 0C"};
const HidSetterRow K553_11H = {{0x11, A(0), 0x08, 0, 0, 0, 0, CS}, 8, 8, Finish::Settle, "cmd Failed 11"};
const HidSetterRow M560_01H = {{0x01, A(0), A(1), 0, 0, 0, 0, CS}, 0, 0, Finish::Pause, "cmd Failed 03"};
const HidSetterRow M560_02H = {{0x02, A(0), 0, 0, 0, 0, 0, CS}, 0, 0, Finish::Pause, "cmd Failed 02"};
const HidSetterRow M560_03H = {{0x03, N, A(0), 0, 0, 0, 0, CS}, 0, 0, Finish::Settle, "cmd Failed 01"};
const HidSetterRow M560_04H = {{0x04, N, A(0), 0, 0, 0, 0, CS}, 0, 0, Finish::Settle, "cmd Failed 04"};
const HidSetterRow M560_0CH = {{0x0C, A(0), 0x80, 0, 0, 0, 0, CS}, 128, 128, Finish::Settle, "cmd Failed 0C"};
const HidSetterRow M560_0DH = {{0x0D, A(0), 0x80, 0, 0, 0, 0, CS}, 64, 128, Finish::Settle, "cmd Failed 12"};
const HidSetterRow M560_0FH = {{0x0F, A(0), 0x80, 0, 0, 0, 0, CS}, 128, 128, Finish::Settle, "cmd Failed 0F"};
const HidSetterRow K52352_05H = {{0x05, 0, A(0), 0x03, 0, 0, 0, CS}, 192, 192, Finish::Settle, "hid52352_05H_SetMacroKey"};
const HidSetterRow K576_08H = {{0x08, A(0), A(1), A(2), A(3), A(4), A(5), A(6)}, 0, 0, Finish::Settle, "cmd Failed 08"};
const HidSetterRow K576_0CH = {{0x0C, A(0), 0, 0, 0, 0x55, 0xAA, CS}, 128, 128, Finish::Settle, "hid576_0CH_SetKeyMatrix"};
const HidSetterRow K576_10H = {{0x10, 0, A(0), 0, 0, 0x55, 0xAA, CS}, 128, 128, Finish::Settle, "hid576_10H_SetMacroKey"};
const HidSetterRow K576_30H = {{0x30, 0, 0, 0, 0, 0x55, 0xAA, CS}, 24, 24, Finish::Settle, "hid576_30H_SetLED8StageColor"};
const HidSetterRow PAD_08H  = {{0x08, A(0), A(2), A(3), X, A(5), A(6), A(7)}, 0, 0, Finish::Settle, "cmd Failed 06"};
const HidSetterRow SUP_01H  = {{0x01, A(0), A(3), A(2), A(5), A(6), A(7), CS}, 0, 0, Finish::Settle, "hidsupport_SetRGBLedEffect"};

const HidGetterRow K553_83H = {{0x83, 0, 0, 0, 0, 0, 0}, 2, 0, -1, "cmd Failed 83"};
const HidGetterRow K553_8BH = {{0x8B, 0, 0, 0, 0, 0, 0}, 2, 0, -1, "cmd Failed 8BH"};
const HidGetterRow M560_81H = {{0x81, 0, 0, 0, 0, 0, 0}, 2, 0, -1, "cmd Failed 81"};
const HidGetterRow M560_82H = {{0x82, 0, 0, 0, 0, 0, 0}, 2, 0, -1, "cmd Failed 82"};
const HidGetterRow M560_84H = {{0x84, A(0), 0, 0, 0, 0, 0}, 2, 0, -1, "cmd Failed 84"};
const HidGetterRow M560_8CH = {{0x8C, A(0), 0, 0, 0, 0, 0}, 2, 128, 1, "cmd Failed 8c"};
// clang-format on

// Fills report offsets 1..count from the row; offset 0 is the report id 0. An argument the row names
// but the slot did not pass is 0.
void fill(uint8_t *report, const int16_t *bytes, int count, std::initializer_list<int> args, int n)
{
    report[0] = 0;
    auto arg = [&](int k)
    { return k < static_cast<int>(args.size()) ? static_cast<uint8_t>(args.begin()[k]) : 0; };
    for (int i = 0; i < count; ++i)
    {
        const int16_t b = bytes[i];
        if (b >= 0)
            report[1 + i] = static_cast<uint8_t>(b);
        else if (b == N)
            report[1 + i] = static_cast<uint8_t>(n);
        else if (b == X)
            report[1 + i] = arg(0) == 3 ? arg(4) : static_cast<uint8_t>(arg(1) << 4);
        else if (b == CS)
            report[1 + i] = hidChecksum(report + 1);
        else
            report[1 + i] = arg(-1 - b);
    }
}

bool repeated(const HidSetterRow &row)
{
    return std::find(row.bytes, row.bytes + 8, N) != row.bytes + 8;
}
} // namespace

void Hid_Thread::runSetter(const HidSetterRow &row, int did, std::initializer_list<int> args,
                           const QByteArray *bulk)
{
    uint8_t data[192] = {};
    if (row.bulkCopy > 0)
    {
        if (!bulk || bulk->size() < row.bulkCopy)
        {
            m_lastStatus = HidStatus::BadArgument;
            return;
        }
        std::memcpy(data, bulk->constData(), row.bulkCopy);
    }
    HidStatus st = waitIdle();
    if (st != HidStatus::Ok)
    {
        qDebug("%s", row.failure);
        m_lastStatus = st;
        return;
    }
    const bool settle = row.finish == Finish::Settle;
    // A gun mouse takes one stage report; read the setting once, before the reports.
    const int last = repeated(row) && !(m_host && m_host->mouseIsGun()) ? 4 : 1;
    for (int n = 1; n <= last && st == HidStatus::Ok; ++n)
    {
        uint8_t report[9];
        fill(report, row.bytes, 8, args, n);
        st = transfer(did, report, data, row.bulkLength, settle);
    }
    finish(st);
    if (row.finish == Finish::Pause)
        m_transport.clock().sleep(8);
    m_lastStatus = st;
}

void Hid_Thread::runGetter(const HidGetterRow &row, int did, std::initializer_list<int> args,
                           std::initializer_list<int *> out, QByteArray *data)
{
    if (row.device >= 0)
        did = row.device;
    if (row.readLength > 0 && (!data || data->size() != row.readLength))
    {
        m_lastStatus = HidStatus::BadArgument;
        return;
    }
    HidStatus st = waitIdle();
    if (st != HidStatus::Ok)
    {
        qDebug("%s", row.failure);
        m_lastStatus = st;
        return;
    }
    uint8_t report[9];
    fill(report, row.bytes, 7, args, 0);
    report[8] = hidChecksum(report + 1);
    uint8_t reply[9];
    uint8_t bulk[192];
    if (row.readLength > 0)
        std::memcpy(bulk, data->constData(), row.readLength);
    st = queryCommand(did, report, reply, bulk, row.readLength);
    if (st == HidStatus::Ok)
    {
        int offset = row.replyFrom;
        for (int *o : out)
            *o = reply[offset++];
        if (row.readLength > 0)
            std::memcpy(data->data(), bulk, row.readLength);
    }
    m_lastStatus = st;
}

// clang-format off
void Hid_Thread::hidARM_01H_SetReportRate(int did, int rate) { runSetter(ARM_01H, did, {rate}); }
void Hid_Thread::hidARM_03H_SetKeyMatrix(int did, const QByteArray &src64) { runSetter(ARM_03H, did, {}, &src64); }
void Hid_Thread::hidARM_06H_SetRGBLedEffect(int did, int mode, int color, int brightness, int speed, int direction) { runSetter(ARM_06H, did, {mode, color, brightness, speed, direction}); }
void Hid_Thread::hidARM_07H_SetDPI(int did, int curDPI, int DPISegment, int DPI0, int DPI1, int DPI2, int DPI3) { runSetter(ARM_07H, did, {curDPI, DPISegment, DPI0, DPI1, DPI2, DPI3}); }
void Hid_Thread::hidARM_08H_SetDPI(int did, int DPI4, int DPI5, int DPI6, int DPI7, int mul) { runSetter(ARM_08H, did, {DPI4, DPI5, DPI6, DPI7, mul}); }
void Hid_Thread::hidARM_0CH_SetLED8StageColor(int did, const QByteArray &src24) { runSetter(ARM_0CH, did, {}, &src24); }
void Hid_Thread::hid553_02H_SetCurrentKeyMatrix(int did, int currentKeyMatrix) { runSetter(K553_02H, did, {currentKeyMatrix}); }
void Hid_Thread::hid553_03H_SetKeyboardoption(int did, int byte1, int byte2, int byte3, int byte4) { runSetter(K553_03H, did, {byte1, byte2, byte3, byte4}); }
void Hid_Thread::hid553_04H_SetGunData(int did, int byte1, int byte2, int byte3, int byte4) { runSetter(K553_04H, did, {byte1, byte2, byte3, byte4}); }
void Hid_Thread::hid553_0BH_SetCurrentDPI(int did, int stage) { runSetter(K553_0BH, did, {stage}); }
void Hid_Thread::hid553_11H_SetDPISet(int did, int dpiStage, const QByteArray &src8) { runSetter(K553_11H, did, {dpiStage}, &src8); }
void Hid_Thread::hid560_01H_SetKeyboardoption(int did, int byte1, int byte2) { runSetter(M560_01H, did, {byte1, byte2}); }
void Hid_Thread::hid560_02H_SetCurrentProfile(int did, int profile) { runSetter(M560_02H, did, {profile}); }
void Hid_Thread::hid560_03H_SetReportRate(int did, int rate) { runSetter(M560_03H, did, {rate}); }
void Hid_Thread::hid560_04H_SetCurrentDPI(int did, int stage) { runSetter(M560_04H, did, {stage}); }
void Hid_Thread::hid560_0CH_setProfile(int did, const QByteArray &src128, int profileData) { runSetter(M560_0CH, did, {profileData}, &src128); }
void Hid_Thread::hid560_0DH_SetKeyMatrix(int did, const QByteArray &src64, int indexAddOne) { runSetter(M560_0DH, did, {indexAddOne}, &src64); }
void Hid_Thread::hid560_0FH_SetMacroKey(int did, int macroId, const QByteArray &src128) { runSetter(M560_0FH, did, {macroId}, &src128); }
void Hid_Thread::hid52352_05H_SetMacroKey(int did, int macroId, const QByteArray &src192) { runSetter(K52352_05H, did, {macroId}, &src192); }
void Hid_Thread::hid576_08H_SetRGBLedEffect(int did, int mode, int brightness, int speed, int direction, int color, int bl0, int bl1) { runSetter(K576_08H, did, {mode, brightness, speed, direction, color, bl0, bl1}); }
void Hid_Thread::hid576_0CH_SetKeyMatrix(int did, int index, const QByteArray &src128) { runSetter(K576_0CH, did, {index}, &src128); }
void Hid_Thread::hid576_10H_SetMacroKey(int did, int macroId, const QByteArray &src128) { runSetter(K576_10H, did, {macroId}, &src128); }
void Hid_Thread::hid576_30H_SetLED8StageColor(int did, const QByteArray &src24) { runSetter(K576_30H, did, {}, &src24); }
void Hid_Thread::hidmousePad_SetRGBLedEffect(int did, int mode, int color, int brightness, int speed, int direction, int colorR, int colorG, int colorB) { runSetter(PAD_08H, did, {mode, color, brightness, speed, direction, colorR, colorG, colorB}); }
void Hid_Thread::hidsupport_SetRGBLedEffect(int did, int mode, int color, int brightness, int speed, int direction, int colorR, int colorG, int colorB) { runSetter(SUP_01H, did, {mode, color, brightness, speed, direction, colorR, colorG, colorB}); }

void Hid_Thread::hid553_83H_GetKeyboardoption(int did, int &byte1, int &byte2, int &byte3, int &byte4) { runGetter(K553_83H, did, {}, {&byte1, &byte2, &byte3, &byte4}); }
void Hid_Thread::hid553_8BH_GetCurrentDPI(int did, int &byte1) { runGetter(K553_8BH, did, {}, {&byte1}); }
void Hid_Thread::hid560_81H_GetKeyboardoption(int did, int &byte1, int &byte2) { runGetter(M560_81H, did, {}, {&byte1, &byte2}); }
void Hid_Thread::hid560_82H_GetCurrentProfile(int did, int &byte1) { runGetter(M560_82H, did, {}, {&byte1}); }
void Hid_Thread::hid560_84H_GetCurrentDPI(int did, int &byte1, int &byte2) { runGetter(M560_84H, did, {byte1}, {&byte1, &byte2}); }
void Hid_Thread::hid560_8CH_readProfile(QByteArray &src128, int profileNo) { runGetter(M560_8CH, -1, {profileNo}, {}, &src128); }
// clang-format on

void Hid_Thread::hid553_0CH_SetFixLEDColor(int did, const QByteArray &src3)
{
    if (src3.size() < 3)
    {
        m_lastStatus = HidStatus::BadArgument;
        return;
    }
    runSetter(K553_0CH, did, {uint8_t(src3[0]), uint8_t(src3[1]), uint8_t(src3[2])});
}

void Hid_Thread::headSetSetLEDStart()
{
    const uint8_t r[16] = {0xFF, 0x01};
    runHeadset(r);
}

void Hid_Thread::headSetSetLEDStop(int vc, int sur, int enc, int magic, int AAMute)
{
    const uint8_t r[16] = {0xFF,         0x02,           uint8_t(vc),    uint8_t(sur),
                           uint8_t(enc), uint8_t(magic), uint8_t(AAMute)};
    runHeadset(r);
}

void Hid_Thread::headSetSetLEDConfig(int mode, int sizeL, int sizeM, int Interval_L, int Interval_M)
{
    const uint8_t r[16] = {
        0xFF, 0x03, uint8_t(mode), uint8_t(sizeL), uint8_t(sizeM), uint8_t(Interval_L), uint8_t(Interval_M)};
    runHeadset(r);
}

void Hid_Thread::headSetSetLEDColorArray(int index_L, int index_M, int r1, int g1, int b1, int r2, int g2,
                                         int b2, int r3, int g3, int b3, int r4, int g4, int b4)
{
    const uint8_t r[16] = {0xFF,        0x04,        uint8_t(index_L), uint8_t(index_M),
                           uint8_t(r1), uint8_t(g1), uint8_t(b1),      uint8_t(r2),
                           uint8_t(g2), uint8_t(b2), uint8_t(r3),      uint8_t(g3),
                           uint8_t(b3), uint8_t(r4), uint8_t(g4),      uint8_t(b4)};
    runHeadset(r);
}
