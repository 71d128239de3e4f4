#include "hid_rig.h"

#include <QCryptographicHash>

#include <random>

namespace
{
class DeviceFile : public ::testing::Test
{
protected:
    QString write(const QByteArray &content)
    {
        QString name = dir.filePath(QString("apConfig%1.bin").arg(++serial));
        QFile out(name);
        EXPECT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(content);
        return name;
    }
    static QByteArray hash(const QString &name)
    {
        QFile in(name);
        in.open(QIODevice::ReadOnly);
        return QCryptographicHash::hash(in.readAll(), QCryptographicHash::Sha256);
    }
    QTemporaryDir dir;
    int serial = 0;
    SimHidTransport unused; // no traffic in these tests
};
} // namespace

TEST_F(DeviceFile, NoDevicesMeansEveryCommandIsRefusedWithoutTraffic)
{
    for (QByteArray content :
         {QByteArray("[0]\nvid=04d9\n"), QByteArray("[common]\ndeviceCount=0\n[0]\nvid=1\n")})
    {
        SimHidTransport sim(hidCodec());
        HidDeviceInfo info;
        info.path = "sim:0";
        sim.addDevice({"mouse", 560, {info}});
        Hid_Thread hid(sim, write(content));
        EXPECT_EQ(hid.deviceCount(), 0);
        int byte1 = 7;
        QByteArray profile(128, 1);
        hid.hid560_82H_GetCurrentProfile(0, byte1);
        EXPECT_EQ(hid.lastStatus(), HidStatus::BadArgument);
        hid.hid560_8CH_readProfile(profile, 1);
        EXPECT_EQ(hid.lastStatus(), HidStatus::BadArgument);
        hid.hidARM_01H_SetReportRate(0, 1);
        EXPECT_EQ(hid.lastStatus(), HidStatus::BadArgument);
        EXPECT_FALSE(hid.headSetHidSet(3, 16));
        EXPECT_EQ(hid.readHeadSetData().toInt(), 0);
        EXPECT_EQ(byte1, 7);
        EXPECT_EQ(profile, QByteArray(128, 1));
        EXPECT_TRUE(hid.isIdle());
        EXPECT_TRUE(sim.log().empty());
    }
}

TEST_F(DeviceFile, FieldsParseWithTheirDefaults)
{
    QtLogCapture log;
    QString name =
        write("[common]\ndeviceCount=4\n"
              "[0]\nvid = 04d9\npid=zz\nusagePage=ff00\nusage=1\nusagePage2=FF01\nusage2=2\ntype=3\n"
              "isEncode=true\nsCode=ABCDEF\nreportLength=64\n"
              "[1]\nreportLength=0\n[2]\nreportLength=-5\n[3]\nreportLength=100000\n");
    Hid_Thread hid(unused, name); // transport unused: no traffic here
    ASSERT_EQ(hid.deviceCount(), 4);
    HidDeviceRecord r;
    ASSERT_TRUE(hid.deviceAt(0, &r));
    EXPECT_EQ(r.vid, 0x04D9);
    EXPECT_EQ(r.pid, 0);
    EXPECT_EQ(r.usagePage, 0xFF00);
    EXPECT_EQ(r.usage, 1);
    EXPECT_EQ(r.usagePage2, 0xFF01);
    EXPECT_EQ(r.usage2, 2);
    EXPECT_EQ(r.type, 3);
    EXPECT_TRUE(r.isEncode);
    EXPECT_EQ(r.sCode, "ABCDEF");
    EXPECT_EQ(r.reportLength, 64);
    EXPECT_TRUE(r.path.isEmpty() && r.path2.isEmpty());
    for (int did = 1; did < 4; ++did)
    {
        ASSERT_TRUE(hid.deviceAt(did, &r));
        EXPECT_EQ(r.reportLength, 32);
        EXPECT_EQ(r.type, -1);
        EXPECT_EQ(r.sCode, "482917");
        EXPECT_FALSE(r.isEncode);
    }
    EXPECT_EQ(linesWith(log, "reportLength"), 3);
    EXPECT_FALSE(hid.deviceAt(4, &r));
    EXPECT_FALSE(hid.deviceAt(-1, &r));
}

TEST_F(DeviceFile, CountIsCappedAndACutFileGivesDefaults)
{
    QtLogCapture log;
    Hid_Thread capped(unused, write("[common]\ndeviceCount=1000000\n"));
    EXPECT_EQ(capped.deviceCount(), kMaxHidDevices);
    EXPECT_EQ(linesWith(log, "1000000"), 1);

    QString cut = write("[common]\ndeviceCount=2\n[0]\nvid=04d9\nreportLength=64\n[1]\nvid=12");
    QByteArray before = hash(cut);
    Hid_Thread hid(unused, cut);
    HidDeviceRecord r;
    ASSERT_TRUE(hid.deviceAt(1, &r));
    EXPECT_EQ(r.vid, 0x12);
    EXPECT_EQ(r.reportLength, 32);
    EXPECT_EQ(hash(cut), before);
}

TEST_F(DeviceFile, UnreadableFilesGiveAnEmptyListAndOneLine)
{
    QByteArray big = "[common]\ndeviceCount=1\n" + QByteArray(2 << 20, '#');
    std::mt19937 rng(5);
    QByteArray noise(4096, 0);
    for (char &c : noise)
        c = static_cast<char>(rng());
    noise[100] = 0;
    QByteArray header = "[common]\ndeviceCount=1\n[0\nvid=1\n";
    for (const QByteArray &content : {big, noise, header})
    {
        QString name = write(content);
        QByteArray before = hash(name);
        QtLogCapture log;
        Hid_Thread hid(unused, name);
        EXPECT_EQ(hid.deviceCount(), 0);
        EXPECT_EQ(linesWith(log, name), 1);
        EXPECT_EQ(hash(name), before);
    }
}

TEST(HidMatch, FirstPairDecidesAndLaterMatchesWin)
{
    HidDeviceRecord r;
    r.usagePage = 0xFF00;
    r.usage = 1;
    r.usagePage2 = 0xFF01;
    r.usage2 = 2;
    auto entry = [](const char *path, uint16_t page, uint16_t usage)
    {
        HidDeviceInfo e;
        e.path = path;
        e.usagePage = page;
        e.usage = usage;
        return e;
    };
    HidMatch second = matchDevice(r, {entry("a", 0xFF01, 2), entry("b", 1, 2)});
    EXPECT_FALSE(second.connected);
    EXPECT_TRUE(second.path.isEmpty() && second.path2.isEmpty());

    HidMatch both = matchDevice(
        r, {entry("a", 0xFF00, 1), entry("b", 0xFF01, 2), entry("c", 0xFF00, 1), entry("d", 0xFF01, 2)});
    EXPECT_TRUE(both.connected);
    EXPECT_EQ(both.path, "c");
    EXPECT_EQ(both.path2, "d");
}

// Only the headset's command interface sets connection bit 3.
TEST(HidMatch, DetectionSetsTheHeadsetBit)
{
    HidRig rig;
    EXPECT_EQ(rig.hid->connectionBits(), 8u);
    rig.hid->setConnectionBits(0);
    rig.sim.unplug(3);
    EXPECT_FALSE(rig.hid->detectDevice(3).connected);
    EXPECT_EQ(rig.hid->connectionBits(), 0u);
    HidDeviceRecord r;
    ASSERT_TRUE(rig.hid->deviceAt(3, &r));
    EXPECT_TRUE(r.path.isEmpty());
}
