#include "platform/hid/hidapi_transport.h"
#include "platform/hid/sim_hid_transport.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// No HID devices on a build machine: enumeration still works and a missing node is Offline.
TEST(HidapiTransport, EnumeratesAndRefusesAMissingPath)
{
    HidapiTransport hid;
    hid.enumerate(0, 0);
    HidHandle h = 7;
    EXPECT_EQ(hid.open("/dev/hidraw-none", &h), HidStatus::Offline);
    EXPECT_EQ(h, kNoHidHandle);
    uint8_t buf[9] = {};
    size_t got = 1;
    EXPECT_EQ(hid.readTimeout(h, buf, sizeof buf, 0, &got), HidStatus::BadArgument);
    EXPECT_EQ(got, 0u);
}

namespace
{
QString scenario(QTemporaryDir &dir, const QByteArray &json)
{
    QString name = dir.filePath("scenario.json");
    QFile out(name);
    out.open(QIODevice::WriteOnly);
    out.write(json);
    return name;
}
} // namespace

TEST(SimHidTransport, ScenarioDescribesDevicesReportsAndFaults)
{
    QTemporaryDir dir;
    SimHidTransport sim;
    ASSERT_TRUE(sim.loadScenario(scenario(dir, R"({"devices": [
        {"name": "headset", "reportLength": 16,
         "entries": [{"path": "sim:h", "vid": "04d9", "pid": "a070", "usagePage": "ff00", "usage": "1", "interface": 3}],
         "profiles": {"2": "0102"},
         "reports": ["ff40000000000000000000000000000000"], "reportPeriodMs": 500,
         "faults": [{"step": "read", "kind": "stall", "index": 1}]}]})")
                                     .toStdString()));
    auto found = sim.enumerate(0x04D9, 0xA070);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].usagePage, 0xFF00);
    EXPECT_EQ(found[0].interfaceNumber, 3);
    EXPECT_TRUE(sim.enumerate(0x04D9, 1).empty());
    EXPECT_EQ(sim.profile(0, 2)[1], 0x02);

    HidHandle h = kNoHidHandle;
    ASSERT_EQ(sim.open("sim:h", &h), HidStatus::Ok);
    uint8_t buf[17];
    size_t got = 0;
    EXPECT_EQ(sim.readTimeout(h, buf, 17, 300, &got), HidStatus::Ok); // the queued report
    EXPECT_EQ(buf[1], 0x40);
    EXPECT_EQ(sim.readTimeout(h, buf, 17, 300, &got), HidStatus::NotSupported);
    // The periodic copy is due at 500 ms: a 300 ms read times out, the next one waits for it.
    const int64_t t0 = sim.virtualClock().now();
    EXPECT_EQ(sim.readTimeout(h, buf, 17, 300, &got), HidStatus::Timeout);
    EXPECT_EQ(sim.virtualClock().now() - t0, 300);
    EXPECT_EQ(sim.readTimeout(h, buf, 17, 300, &got), HidStatus::Ok);
    EXPECT_EQ(sim.virtualClock().now(), 500);

    // Unplugged: gone from the enumeration, the open handle is Offline, so is a new open.
    sim.unplug(0);
    EXPECT_TRUE(sim.enumerate(0, 0).empty());
    EXPECT_EQ(sim.write(h, buf, 2), HidStatus::Offline);
    HidHandle again = kNoHidHandle;
    EXPECT_EQ(sim.open("sim:h", &again), HidStatus::Offline);
    sim.replug(0);
    EXPECT_EQ(sim.write(h, buf, 2), HidStatus::Offline); // a handle does not survive the replug
    sim.close(h);
    EXPECT_EQ(sim.staleHandleCalls(), 0);
}

TEST(SimHidTransport, ABadScenarioGivesNoDevices)
{
    QTemporaryDir dir;
    for (const QByteArray &json :
         {QByteArray("{\"devices\": [{\"name\": \"x\""), QByteArray("[1, 2]"),
          QByteArray(R"({"devices": [{"name": "a"}, {"faults": [{"step": "later", "kind": "fail"}]}]})")})
    {
        SimHidTransport sim;
        EXPECT_FALSE(sim.loadScenario(scenario(dir, json).toStdString())) << json.constData();
        EXPECT_EQ(sim.deviceCount(), 0);
    }
    SimHidTransport sim;
    EXPECT_FALSE(sim.loadScenario("/nonexistent/scenario.json"));
}
