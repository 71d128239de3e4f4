#include "panel/device/hid_transport_factory.h"
#include "platform/hid/hidapi_transport.h"

#include "hid_rig.h"

// The program talks to hidapi unless told to run on a scenario; a scenario's encoded device
// unscrambles with the panel's own pair.
TEST(HidTransportFactory, BackEndFollowsTheEnvironment)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("scenario.json");
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(
        R"({"devices": [{"isEncode": true, "reportLength": 32, "entries": [{"path": "sim:m", "vid": "1", "pid": "2"}]}]})");
    out.close();

    qputenv("DEVPANEL_HID_BACKEND", ("sim:" + file).toUtf8());
    std::unique_ptr<HidTransport> sim = makeHidTransport();
    qunsetenv("DEVPANEL_HID_BACKEND");
    ASSERT_EQ(sim->enumerate(1, 2).size(), 1u);
    HidHandle h = kNoHidHandle;
    ASSERT_EQ(sim->open("sim:m", &h), HidStatus::Ok);
    uint8_t report[9] = {0, 0x82, 0, 0, 0, 0, 0, 0, 0x7D};
    const uint8_t code[7] = {'4', '8', '2', '9', '1', '7', 0};
    scrambleBlock(report + 1, code);
    EXPECT_EQ(sim->sendFeature(h, report, 9), HidStatus::Ok);
    auto *s = dynamic_cast<SimHidTransport *>(sim.get());
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(s->virtualClock().realPace()) << "a program's simulated poll must not spin";
    EXPECT_EQ(s->decodeLog().back().bytes, (Bytes{0, 0x82, 0, 0, 0, 0, 0, 0, 0x7D}));
    sim->close(h);

    EXPECT_NE(dynamic_cast<HidapiTransport *>(makeHidTransport().get()), nullptr);
}
