// The HID transport's outside input: its first byte picks a getter reply, a headset report, a device
// file or a block to scramble; the rest is the input.
#include "panel/device/hid_scrambler.h"
#include "panel/device/hid_thread.h"
#include "platform/hid/sim_hid_transport.h"

#include "support/fuzz_scratch.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstring>
#include <memory>

namespace
{
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

struct Rig
{
    Rig()
    {
        file = dir.filePath("apConfig.bin");
        QFile out(file);
        out.open(QIODevice::WriteOnly);
        QByteArray ini = "[common]\ndeviceCount=4\n";
        for (int d = 0; d < 4; ++d)
        {
            ini += "[" + QByteArray::number(d) + "]\nvid=" + QByteArray::number(0x1000 + d, 16) +
                   "\npid=1\nusagePage=ff00\nusage=1\nreportLength=" + QByteArray::number(16 << (d & 1)) +
                   "\nisEncode=" + (d == 1 ? "true" : "false") + "\n";
            SimDeviceConfig c;
            c.isEncode = d == 1;
            c.reportLength = 16 << (d & 1);
            HidDeviceInfo info;
            info.path = "sim:" + std::to_string(d);
            info.vid = static_cast<uint16_t>(0x1000 + d);
            info.pid = 1;
            info.usagePage = 0xFF00;
            info.usage = 1;
            c.entries.push_back(info);
            sim.addDevice(c);
        }
        out.write(ini);
        out.close();
        hid = std::make_unique<Hid_Thread>(sim, file);
        for (int d = 0; d < 4; ++d)
            hid->detectDevice(d);
    }
    QDir dir{QString::fromStdString(fuzz_scratch::Folder("zelko-panel-hid-fuzz").string())};
    QString file;
    SimHidTransport sim{hidCodec()};
    std::unique_ptr<Hid_Thread> hid;
};

Rig *rig;

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

void getterReply(const uint8_t *data, size_t size)
{
    if (size < 1)
        return;
    const int did = data[0] & 3;
    const int kind = (data[0] >> 2) % 4;
    std::vector<uint8_t> wire(data + 1, data + size);
    // The profile read always goes to device 1.
    rig->sim.setNextReply(kind == 3 ? 1 : did, wire);
    int a = -1, b = -2;
    QByteArray image(128, 0x33);
    switch (kind)
    {
    case 0:
        rig->hid->hid560_82H_GetCurrentProfile(did, a);
        break;
    case 1:
        rig->hid->hid560_84H_GetCurrentDPI(did, a, b);
        break;
    case 2:
        rig->hid->hid560_81H_GetKeyboardoption(did, a, b);
        break;
    default:
        rig->hid->hid560_8CH_readProfile(image, data[0] >> 4);
        break;
    }
    const bool ok = rig->hid->lastStatus() == HidStatus::Ok;
    check(!ok || (wire.size() >= 9 && wire[0] == 0));
    check(ok || (a == -1 && b == -2 && image == QByteArray(128, 0x33)));
    check(rig->hid->isIdle() && rig->sim.openHandles() <= 1);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static int argc = 1;
    static char name[] = "panel_hid_fuzzer";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    qInstallMessageHandler(quiet);
    rig = new Rig;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t *in = data + 1;
    const size_t n = size - 1;
    switch (data[0] % 4)
    {
    case 0:
        getterReply(in, n);
        break;
    case 1:
    {
        rig->sim.queueInput(3, std::vector<uint8_t>(in, in + n));
        const int status = rig->hid->readHeadSetData().toInt();
        check(status == (n == 16 ? in[1] : 0));
        break;
    }
    case 2:
    {
        QFile out(rig->dir.filePath("fuzz.bin"));
        out.open(QIODevice::WriteOnly | QIODevice::Truncate);
        out.write(reinterpret_cast<const char *>(in), static_cast<qint64>(n));
        out.close();
        for (const HidDeviceRecord &r : loadHidDeviceList(out.fileName()))
            check(r.reportLength >= 1 && r.reportLength <= kMaxReportLength);
        break;
    }
    default:
    {
        uint8_t block[8] = {}, code[7] = {}, copy[8];
        std::memcpy(block, in, n < 8 ? n : 8);
        if (n > 8)
            std::memcpy(code, in + 8, n - 8 < 6 ? n - 8 : 6);
        std::memcpy(copy, block, 8);
        unscrambleBlock(block, code);
        scrambleBlock(block, code);
        check(std::memcmp(block, copy, 8) == 0);
        break;
    }
    }
    rig->sim.clearLog();
    return 0;
}
