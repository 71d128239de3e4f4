#include "platform/hid/hidapi_transport.h"
#include "platform/hid/sim_hid_transport.h"
#include "support/qt_log.h"

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

// A bad file adds no device and says why in one line: the parse error, the field that is missing or
// of the wrong kind, or the size limit (a file over it is refused whole, never parsed cut short).
TEST(SimHidTransport, ABadScenarioGivesNoDevicesAndOneLineSayingWhy)
{
    QTemporaryDir dir;
    const QByteArray entry = R"({"path": "sim:a", "vid": "1", "pid": "2"})";
    const QByteArray overLimit = "{\"devices\": [], \"note\": \"" + QByteArray(1 << 20, 'x') + "\"}";
    const std::pair<QByteArray, const char *> cases[] = {
        {"{\"devices\": [{\"name\": \"x\"", "does not parse"},
        {"[1, 2]", "not an object"},
        {R"({"devices": 5})", "\"devices\" is not an array"},
        {R"({"device": []})", "\"devices\" is missing"},
        {R"({"devices": [7]})", "device 0 is not an object"},
        {"{\"devices\": [{\"reportLength\": 32, \"entries\": [" + entry + "]}, {\"entries\": [" + entry +
             "]}]}",
         "device 1 has no \"reportLength\" of 1 to 1024"},
        {"{\"devices\": [{\"reportLength\": 0, \"entries\": []}]}", "device 0 has no \"reportLength\""},
        {"{\"devices\": [{\"reportLength\": \"32\", \"entries\": []}]}", "device 0 has no \"reportLength\""},
        {R"({"devices": [{"reportLength": 32}]})", "device 0 has no \"entries\" array"},
        {R"({"devices": [{"reportLength": 32, "entries": [{"path": "sim:a", "vid": "1"}]}]})",
         "device 0 entry 0 has no \"pid\""},
        {R"({"devices": [{"reportLength": 32, "entries": [{"path": "", "vid": "1", "pid": "2"}]}]})",
         "device 0 entry 0 has no \"path\" text"},
        {"{\"devices\": [{\"reportLength\": 32, \"entries\": [" + entry +
             "], \"faults\": [{\"step\": \"later\", \"kind\": \"fail\"}]}]}",
         "has a fault it does not know"},
        {overLimit, "is over the limit of 1048576 bytes"},
    };
    for (const auto &[json, reason] : cases)
    {
        SCOPED_TRACE(reason);
        SimHidTransport sim;
        QtLogCapture log;
        EXPECT_FALSE(sim.loadScenario(scenario(dir, json).toStdString()));
        EXPECT_EQ(sim.deviceCount(), 0);
        const std::vector<std::string> lines = log.Texts();
        EXPECT_EQ(lines.size(), 1u);
        EXPECT_TRUE(!lines.empty() && lines[0].find(reason) != std::string::npos)
            << (lines.empty() ? "no line" : lines[0]);
    }
    SimHidTransport sim;
    EXPECT_FALSE(sim.loadScenario("/nonexistent/scenario.json"));

    // The limit itself is a file's to reach.
    QByteArray atLimit = "{\"devices\": [], \"note\": \"\"}";
    atLimit.insert(atLimit.size() - 2, QByteArray((1 << 20) - atLimit.size(), 'x'));
    ASSERT_EQ(atLimit.size(), 1 << 20);
    EXPECT_TRUE(sim.loadScenario(scenario(dir, atLimit).toStdString()));
}
