// Outside input at random, bounded and seeded: replies and faults for every getter and the headset
// read, and device files.
#include "hid_rig.h"

#include <random>

namespace
{
struct Getter
{
    int outs; // out-arguments
    int from; // first reply offset they take
    bool profile;
};
} // namespace

TEST(HidRandomInput, RepliesChangeOutArgumentsOnlyWhenWellFormed)
{
    QtLogCapture quiet;
    std::mt19937 rng(2323);
    HidRig rig({{560, 32}, {560, 64, true}, {553, 32, true, "ABCDEF"}, {560, 16}});
    const Getter getters[] = {{4, 2, false}, {1, 2, false}, {2, 2, false},
                              {1, 2, false}, {2, 2, false}, {0, 0, true}};
    const SimFaultKind kinds[] = {SimFaultKind::Fail, SimFaultKind::Stall, SimFaultKind::NoReply,
                                  SimFaultKind::Unplug};
    for (int i = 0; i < 3000; ++i)
    {
        const int g = static_cast<int>(rng() % 6);
        const int did = getters[g].profile ? 1 : static_cast<int>(rng() % 3);
        Bytes wire(rng() % 65);
        for (uint8_t &b : wire)
            b = static_cast<uint8_t>(rng());
        if (rng() % 2)
        {
            wire.resize(9);
            wire[0] = 0;
        }
        rig.sim.setNextReply(did, wire);
        if (rng() % 4 == 0)
        {
            const SimStep steps[] = {SimStep::Open, SimStep::SetFeature, SimStep::GetFeature, SimStep::Read};
            rig.sim.addFault(did, {steps[rng() % 4], kinds[rng() % 4], -1, static_cast<int>(rng() % 3) - 1});
        }
        int out[4] = {-1, -2, -3, -4};
        QByteArray image(128, 0x33);
        switch (g)
        {
        case 0:
            rig.hid->hid553_83H_GetKeyboardoption(did, out[0], out[1], out[2], out[3]);
            break;
        case 1:
            rig.hid->hid553_8BH_GetCurrentDPI(did, out[0]);
            break;
        case 2:
            rig.hid->hid560_81H_GetKeyboardoption(did, out[0], out[1]);
            break;
        case 3:
            rig.hid->hid560_82H_GetCurrentProfile(did, out[0]);
            break;
        case 4:
            rig.hid->hid560_84H_GetCurrentDPI(did, out[0], out[1]);
            break;
        default:
            rig.hid->hid560_8CH_readProfile(image, 1);
            break;
        }
        const bool ok = rig.hid->lastStatus() == HidStatus::Ok;
        if (ok)
        {
            // Only a reply of 9 bytes with report id 0 is taken.
            ASSERT_EQ(wire.size(), 9u) << i;
            ASSERT_EQ(wire[0], 0) << i;
        }
        HidDeviceRecord r;
        ASSERT_TRUE(rig.hid->deviceAt(did, &r));
        uint8_t code[7] = {};
        secrecyCodeOf(r.sCode, code);
        if (ok && r.isEncode)
            unscrambleBlock(wire.data() + 1, code);
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(out[k], ok && k < getters[g].outs ? wire[getters[g].from + k] : -1 - k)
                << i << " " << k;
        EXPECT_EQ(image, ok && getters[g].profile ? QByteArray(128, 0) : QByteArray(128, 0x33)) << i;
        ASSERT_TRUE(rig.hid->isIdle());
        ASSERT_EQ(rig.sim.openHandles(), 0);
        rig.sim.clearFaults(did);
        rig.sim.setNextReply(did, {0, 0, 0, 0, 0, 0, 0, 0, 0});
        rig.sim.replug(did);
        rig.hid->detectDevice(did);
        rig.sim.clearLog();
    }

    for (int i = 0; i < 2000; ++i)
    {
        Bytes report(rng() % 65);
        for (uint8_t &b : report)
            b = static_cast<uint8_t>(rng());
        rig.sim.queueInput(3, report);
        const int got = rig.hid->readHeadSetData().toInt();
        EXPECT_EQ(got, report.size() == 16 ? report[1] : 0) << i;
        rig.sim.clearLog();
    }
}

TEST(HidRandomInput, DeviceFilesNeverBreakTheList)
{
    QtLogCapture quiet;
    std::mt19937 rng(77);
    QTemporaryDir dir;
    const char *keys[] = {"type",   "vid",          "pid",      "usagePage", "usage",      "usagePage2",
                          "usage2", "reportLength", "isEncode", "sCode",     "deviceCount"};
    for (int i = 0; i < 300; ++i)
    {
        QByteArray text;
        const int lines = static_cast<int>(rng() % 40);
        for (int l = 0; l < lines; ++l)
        {
            switch (rng() % 4)
            {
            case 0:
                text += "[" + QByteArray::number(static_cast<int>(rng() % 6) - 1) + "]\n";
                break;
            case 1:
                text +=
                    "[common]\ndeviceCount=" + QByteArray::number(static_cast<int>(rng()) % 200 - 20) + "\n";
                break;
            case 2:
                text += QByteArray(keys[rng() % 11]) + "=" +
                        QByteArray::number(static_cast<int>(rng() % 70000), 16) + "\n";
                break;
            default:
                for (int c = static_cast<int>(rng() % 30); c > 0; --c)
                    text += static_cast<char>(1 + rng() % 255);
                text += "\n";
                break;
            }
        }
        QString name = dir.filePath(QString("random%1.bin").arg(i));
        QFile out(name);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(text);
        out.close();
        const QList<HidDeviceRecord> list = loadHidDeviceList(name);
        ASSERT_LE(list.size(), kMaxHidDevices);
        for (const HidDeviceRecord &r : list)
        {
            ASSERT_GE(r.reportLength, 1);
            ASSERT_LE(r.reportLength, kMaxReportLength);
        }
    }
}
