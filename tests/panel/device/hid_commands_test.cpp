#include "hid_rig.h"

#include <array>
#include <functional>

namespace
{
struct Vector
{
    const char *slot;
    std::function<void(Hid_Thread &)> call;
    SimDir dir;
    int device;
    Bytes report; // as the protocol tables give it, plain
};

const QByteArray k24 = ramp(24), k64 = ramp(64), k128 = ramp(128), k192 = ramp(192);

// One call of every command slot with fixed arguments, and the report each must send.
std::vector<Vector> vectors()
{
    using H = Hid_Thread;
    const SimDir F = SimDir::FeatureSet, W = SimDir::Write;
    // clang-format off
    return {
        {"ARM_01H", [](H &h) { h.hidARM_01H_SetReportRate(0, 1); }, F, 0, {0, 0x01, 0x01, 0x03, 0x03, 0x0F, 0, 0, 0xE8}},
        {"ARM_03H", [](H &h) { h.hidARM_03H_SetKeyMatrix(0, k64); }, F, 0, {0, 0x03, 0, 0, 0x01, 0, 0, 0, 0xFB}},
        {"ARM_06H", [](H &h) { h.hidARM_06H_SetRGBLedEffect(0, 1, 2, 3, 4, 5); }, F, 0, {0, 0x06, 1, 2, 3, 4, 5, 0, 0xEA}},
        {"ARM_07H", [](H &h) { h.hidARM_07H_SetDPI(0, 1, 2, 3, 4, 5, 6); }, F, 0, {0, 0x07, 1, 2, 3, 4, 5, 6, 0xE3}},
        {"ARM_08H", [](H &h) { h.hidARM_08H_SetDPI(0, 1, 2, 3, 4, 5); }, F, 0, {0, 0x08, 1, 2, 3, 4, 5, 0, 0xE8}},
        {"ARM_0CH", [](H &h) { h.hidARM_0CH_SetLED8StageColor(0, k24); }, F, 0, {0, 0x0C, 0, 0, 0x01, 0, 0, 0, 0xF2}},
        {"553_02H", [](H &h) { h.hid553_02H_SetCurrentKeyMatrix(0, 5); }, F, 0, {0, 0x02, 5, 0, 0, 0, 0, 0, 0xF8}},
        {"553_03H", [](H &h) { h.hid553_03H_SetKeyboardoption(0, 1, 2, 3, 4); }, F, 0, {0, 0x03, 1, 2, 3, 4, 0, 0, 0xF2}},
        {"553_04H", [](H &h) { h.hid553_04H_SetGunData(0, 1, 2, 3, 4); }, F, 0, {0, 0x04, 0, 1, 2, 3, 4, 0, 0xF1}},
        {"553_0BH", [](H &h) { h.hid553_0BH_SetCurrentDPI(0, 3); }, F, 0, {0, 0x0B, 3, 0, 0, 0, 0, 0, 0xF1}},
        {"553_0CH", [](H &h) { h.hid553_0CH_SetFixLEDColor(0, QByteArray("\x0A\x14\x1E")); }, F, 0, {0, 0x0C, 0x0A, 0x14, 0x1E, 0, 0, 0, 0xB7}},
        {"553_11H", [](H &h) { h.hid553_11H_SetDPISet(0, 2, ramp(8)); }, F, 0, {0, 0x11, 2, 0x08, 0, 0, 0, 0, 0xE4}},
        {"560_01H", [](H &h) { h.hid560_01H_SetKeyboardoption(0, 1, 2); }, F, 0, {0, 0x01, 1, 2, 0, 0, 0, 0, 0xFB}},
        {"560_02H", [](H &h) { h.hid560_02H_SetCurrentProfile(0, 3); }, F, 0, {0, 0x02, 3, 0, 0, 0, 0, 0, 0xFA}},
        {"560_03H", [](H &h) { h.hid560_03H_SetReportRate(0, 2); }, F, 0, {0, 0x03, 1, 2, 0, 0, 0, 0, 0xF9}},
        {"560_04H", [](H &h) { h.hid560_04H_SetCurrentDPI(0, 2); }, F, 0, {0, 0x04, 1, 2, 0, 0, 0, 0, 0xF8}},
        {"560_0CH", [](H &h) { h.hid560_0CH_setProfile(0, k128, 4); }, F, 0, {0, 0x0C, 4, 0x80, 0, 0, 0, 0, 0x6F}},
        {"560_0DH", [](H &h) { h.hid560_0DH_SetKeyMatrix(0, k64, 5); }, F, 0, {0, 0x0D, 5, 0x80, 0, 0, 0, 0, 0x6D}},
        {"560_0FH", [](H &h) { h.hid560_0FH_SetMacroKey(0, 6, k128); }, F, 0, {0, 0x0F, 6, 0x80, 0, 0, 0, 0, 0x6A}},
        {"52352_05H", [](H &h) { h.hid52352_05H_SetMacroKey(0, 7, k192); }, F, 0, {0, 0x05, 0, 7, 3, 0, 0, 0, 0xF0}},
        {"576_08H", [](H &h) { h.hid576_08H_SetRGBLedEffect(0, 1, 2, 3, 4, 5, 6, 7); }, F, 0, {0, 0x08, 1, 2, 3, 4, 5, 6, 7}},
        {"576_0CH", [](H &h) { h.hid576_0CH_SetKeyMatrix(0, 9, k128); }, F, 0, {0, 0x0C, 9, 0, 0, 0, 0x55, 0xAA, 0xEB}},
        {"576_10H", [](H &h) { h.hid576_10H_SetMacroKey(0, 9, k128); }, F, 0, {0, 0x10, 0, 9, 0, 0, 0x55, 0xAA, 0xE7}},
        {"576_30H", [](H &h) { h.hid576_30H_SetLED8StageColor(0, k24); }, F, 0, {0, 0x30, 0, 0, 0, 0, 0x55, 0xAA, 0xD0}},
        {"pad mode 3", [](H &h) { h.hidmousePad_SetRGBLedEffect(0, 3, 2, 4, 5, 6, 7, 8, 9); }, F, 0, {0, 0x08, 3, 4, 5, 6, 7, 8, 9}},
        {"pad mode 1", [](H &h) { h.hidmousePad_SetRGBLedEffect(0, 1, 2, 4, 5, 6, 7, 8, 9); }, F, 0, {0, 0x08, 1, 4, 5, 0x20, 7, 8, 9}},
        {"support", [](H &h) { h.hidsupport_SetRGBLedEffect(0, 1, 2, 3, 4, 5, 6, 7, 8); }, F, 0, {0, 0x01, 1, 4, 3, 6, 7, 8, 0xE1}},
        {"553_83H", [](H &h) { int a = 0, b = 0, c = 0, d = 0; h.hid553_83H_GetKeyboardoption(0, a, b, c, d); }, F, 0, {0, 0x83, 0, 0, 0, 0, 0, 0, 0x7C}},
        {"553_8BH", [](H &h) { int a = 0; h.hid553_8BH_GetCurrentDPI(0, a); }, F, 0, {0, 0x8B, 0, 0, 0, 0, 0, 0, 0x74}},
        {"560_81H", [](H &h) { int a = 0, b = 0; h.hid560_81H_GetKeyboardoption(0, a, b); }, F, 0, {0, 0x81, 0, 0, 0, 0, 0, 0, 0x7E}},
        {"560_82H", [](H &h) { int a = 0; h.hid560_82H_GetCurrentProfile(0, a); }, F, 0, {0, 0x82, 0, 0, 0, 0, 0, 0, 0x7D}},
        {"560_84H", [](H &h) { int a = 2, b = 0; h.hid560_84H_GetCurrentDPI(0, a, b); }, F, 0, {0, 0x84, 2, 0, 0, 0, 0, 0, 0x79}},
        {"560_8CH", [](H &h) { QByteArray p(128, 0); h.hid560_8CH_readProfile(p, 3); }, F, 1, {0, 0x8C, 3, 0, 0, 0, 0, 0, 0x70}},
        {"LEDStart", [](H &h) { h.headSetSetLEDStart(); }, W, 3, {0xFF, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"LEDStop", [](H &h) { h.headSetSetLEDStop(1, 2, 3, 4, 5); }, W, 3, {0xFF, 0x02, 1, 2, 3, 4, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"LEDConfig", [](H &h) { h.headSetSetLEDConfig(1, 2, 3, 4, 5); }, W, 3, {0xFF, 0x03, 1, 2, 3, 4, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"LEDColorArray", [](H &h) { h.headSetSetLEDColorArray(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14); }, W, 3, {0xFF, 0x04, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
    };
    // clang-format on
}
} // namespace

// Each slot sends exactly its report once, to its device; on encoded devices the wire differs and
// unscrambling the log gives the same plain reports back (the headset is never scrambled).
TEST(HidCommands, EverySlotSendsItsReport)
{
    for (bool encode : {false, true})
    {
        HidRig rig(std::vector<SimSetup>(4, SimSetup{560, 64, encode, "482917"}));
        for (const Vector &v : vectors())
        {
            rig.sim.clearLog();
            v.call(*rig.hid);
            auto sent = rig.of(v.dir, -1, true);
            ASSERT_EQ(sent.size(), 1u) << v.slot;
            EXPECT_EQ(sent[0], v.report) << v.slot << (encode ? " encoded" : "");
            EXPECT_EQ(rig.of(v.dir, v.device).size(), 1u) << v.slot;
            if (v.dir == SimDir::FeatureSet)
            {
                EXPECT_EQ(rig.nth(v.dir, 0) != v.report, encode) << v.slot;
            }
            EXPECT_TRUE(rig.hid->isIdle()) << v.slot;
            EXPECT_EQ(rig.sim.openHandles(), 0) << v.slot;
        }
    }
}

// An empty device list refuses every slot, headset ones included, before any traffic.
TEST(HidCommands, WithoutDevicesEverySlotIsRefused)
{
    QtLogCapture quiet;
    HidRig rig(std::vector<SimSetup>{});
    for (const Vector &v : vectors())
    {
        // A claimed transport leaves Busy behind, so the slot's own status shows below.
        ASSERT_EQ(rig.hid->waitIdle(), HidStatus::Ok);
        rig.hid->hid560_02H_SetCurrentProfile(0, 1);
        ASSERT_EQ(rig.hid->lastStatus(), HidStatus::Busy);
        rig.hid->releaseIdle();
        v.call(*rig.hid);
        EXPECT_EQ(rig.hid->lastStatus(), HidStatus::BadArgument) << v.slot;
        EXPECT_TRUE(rig.hid->isIdle()) << v.slot;
    }
    EXPECT_TRUE(rig.sim.log().empty());
}

TEST(HidCommands, ShortTablesAreRefusedWithoutTraffic)
{
    HidRig rig;
    rig.hid->hid560_0CH_setProfile(0, ramp(127), 1);
    EXPECT_EQ(rig.hid->lastStatus(), HidStatus::BadArgument);
    rig.hid->hid553_0CH_SetFixLEDColor(0, QByteArray("\x01\x02"));
    EXPECT_EQ(rig.hid->lastStatus(), HidStatus::BadArgument);
    QByteArray small(64, 9);
    rig.hid->hid560_8CH_readProfile(small, 1);
    EXPECT_EQ(rig.hid->lastStatus(), HidStatus::BadArgument);
    EXPECT_EQ(small, QByteArray(64, 9));
    EXPECT_TRUE(rig.sim.log().empty());
    EXPECT_TRUE(rig.hid->isIdle());
}

TEST(HidCommands, StageCommandsRepeatUnlessTheMouseIsAGun)
{
    HidRig rig(std::vector<SimSetup>(2, SimSetup{560, 32, true, "482917"}));
    rig.hid->hid560_04H_SetCurrentDPI(1, 2);
    auto one = rig.of(SimDir::FeatureSet, 1, true);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0], (Bytes{0, 0x04, 1, 2, 0, 0, 0, 0, 0xF8}));

    rig.host.gun = false;
    rig.sim.clearLog();
    rig.hid->hid560_04H_SetCurrentDPI(1, 2);
    auto plain = rig.of(SimDir::FeatureSet, 1, true);
    auto sets = rig.entries(SimDir::FeatureSet);
    ASSERT_EQ(plain.size(), 4u);
    for (uint8_t n = 1; n <= 4; ++n)
        EXPECT_EQ(plain[n - 1], (Bytes{0, 0x04, n, 2, 0, 0, 0, 0, uint8_t(0xF9 - n)})) << int(n);
    EXPECT_EQ(sets[0].bytes, (Bytes{0, 0x66, 0xDC, 0xD6, 0x9F, 0x77, 0x5C, 0x96, 0x17}));
    EXPECT_EQ(sets[3].bytes, (Bytes{0, 0x66, 0xDC, 0xBE, 0x9F, 0x9F, 0x5C, 0x96, 0x17}));
    for (size_t i = 1; i < 4; ++i)
        EXPECT_EQ(sets[i].time - sets[i - 1].time, 128);
    EXPECT_EQ(rig.now() - sets[3].time, 128);
    EXPECT_TRUE(rig.hid->isIdle());
}

TEST(HidCommands, BulkDataGoesInFullReportsZeroFilled)
{
    HidRig rig({{560, 64}, {560, 32}});
    rig.hid->hid560_0CH_setProfile(0, k128, 1);
    auto writes = rig.of(SimDir::Write, 0);
    ASSERT_EQ(writes.size(), 2u);
    for (int i = 0; i < 2; ++i)
    {
        ASSERT_EQ(writes[i].size(), 65u);
        EXPECT_EQ(writes[i][0], 0);
        EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(writes[i].data() + 1), 64), k128.mid(64 * i, 64));
    }

    rig.sim.clearLog();
    rig.hid->hidARM_0CH_SetLED8StageColor(1, k24);
    writes = rig.of(SimDir::Write, 1);
    ASSERT_EQ(writes.size(), 1u);
    Bytes expected(33, 0);
    for (int i = 0; i < 24; ++i)
        expected[1 + i] = static_cast<uint8_t>(1 + i);
    EXPECT_EQ(writes[0], expected);

    // 100 bytes in a buffer of exactly 100: the sanitizer sees any read past them.
    rig.sim.clearLog();
    auto data = std::make_unique<uint8_t[]>(100);
    for (int i = 0; i < 100; ++i)
        data[i] = static_cast<uint8_t>(0x80 + i);
    const uint8_t report[9] = {0, 0x0F, 1, 0x80, 0, 0, 0, 0, 0x6F};
    ASSERT_EQ(rig.hid->waitIdle(), HidStatus::Ok);
    EXPECT_EQ(rig.hid->sendCommand(0, report, data.get(), 100, true), HidStatus::Ok);
    writes = rig.of(SimDir::Write, 0);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[1].size(), 65u);
    EXPECT_EQ(writes[1][36], 0x80 + 99);
    EXPECT_EQ(Bytes(writes[1].begin() + 37, writes[1].end()), Bytes(28, 0));

    // Settle: 128 ms after the feature report and after the last chunk.
    const auto log = rig.sim.log();
    std::map<SimDir, int64_t> last;
    for (const SimLogEntry &e : log)
        last[e.dir] = e.time;
    const int64_t set = rig.entries(SimDir::FeatureSet)[0].time;
    EXPECT_EQ(rig.entries(SimDir::Write)[0].time - set, 128);
    EXPECT_EQ(last[SimDir::Close] - last[SimDir::Write], 128);

    // Pause rows: 8 ms after the send, no settle.
    rig.sim.clearLog();
    rig.hid->hid560_02H_SetCurrentProfile(0, 2);
    EXPECT_EQ(rig.now() - rig.entries(SimDir::FeatureSet)[0].time, 8);

    // Reading 100 bytes at 64 takes two input reports, 64 bytes and then 36, and stops there.
    std::array<uint8_t, 128> image;
    for (int i = 0; i < 128; ++i)
        image[i] = static_cast<uint8_t>(0x40 + i);
    rig.sim.setProfile(0, 1, image);
    rig.sim.clearLog();
    const uint8_t query[9] = {0, 0x8C, 1, 0, 0, 0, 0, 0, 0x72};
    uint8_t reply[9] = {};
    ASSERT_EQ(rig.hid->waitIdle(), HidStatus::Ok);
    EXPECT_EQ(rig.hid->queryCommand(0, query, reply, data.get(), 100), HidStatus::Ok);
    EXPECT_EQ(rig.of(SimDir::Read, 0).size(), 2u);
    EXPECT_EQ(Bytes(data.get(), data.get() + 100), Bytes(image.begin(), image.begin() + 100));
    EXPECT_TRUE(rig.hid->isIdle());
}

TEST(HidCommands, GettersAnswerWhatSettersSet)
{
    HidRig rig({{560, 64, true}, {560, 64, true}, {553, 32, true, "ABCDEF"}});
    rig.hid->hid560_04H_SetCurrentDPI(1, 2);
    rig.hid->hid560_02H_SetCurrentProfile(1, 3);
    rig.hid->hid560_01H_SetKeyboardoption(1, 0x11, 0x22);
    int stage = 1, dpi = 0, profile = 0, o1 = 0, o2 = 0;
    rig.hid->hid560_84H_GetCurrentDPI(1, stage, dpi);
    rig.hid->hid560_82H_GetCurrentProfile(1, profile);
    rig.hid->hid560_81H_GetKeyboardoption(1, o1, o2);
    EXPECT_EQ(rig.hid->lastStatus(), HidStatus::Ok);
    EXPECT_EQ(stage, 1);
    EXPECT_EQ(dpi, 2);
    EXPECT_EQ(profile, 3);
    EXPECT_EQ(o1, 0x11);
    EXPECT_EQ(o2, 0x22);

    rig.hid->hid553_03H_SetKeyboardoption(2, 5, 6, 7, 8);
    rig.hid->hid553_0BH_SetCurrentDPI(2, 4);
    int k[4] = {}, kd = 0;
    rig.hid->hid553_83H_GetKeyboardoption(2, k[0], k[1], k[2], k[3]);
    rig.hid->hid553_8BH_GetCurrentDPI(2, kd);
    EXPECT_EQ((std::vector<int>(k, k + 4)), (std::vector<int>{5, 6, 7, 8}));
    EXPECT_EQ(kd, 4);

    // A profile written to device 1 reads back from device 1, whatever device 0 holds.
    rig.sim.setProfile(0, 5, {});
    rig.hid->hid560_0CH_setProfile(1, k128, 5);
    QByteArray image(128, 0);
    rig.hid->hid560_8CH_readProfile(image, 5);
    EXPECT_EQ(image, k128);
    EXPECT_EQ(rig.sim.profile(1, 5)[127], 128);
}

TEST(HidCommands, FailedRepliesLeaveTheOutArgumentsAlone)
{
    struct Case
    {
        SimFault fault;
        HidStatus status;
    };
    const std::vector<Case> cases = {
        {{SimStep::GetFeature, SimFaultKind::ReplyLength, -1, -1, 8}, HidStatus::IoError},
        {{SimStep::GetFeature, SimFaultKind::ReplyLength, -1, -1, 10}, HidStatus::IoError},
        {{SimStep::GetFeature, SimFaultKind::ReplyReportId, -1, -1, 5}, HidStatus::IoError},
        {{SimStep::GetFeature, SimFaultKind::NoReply}, HidStatus::Timeout},
        {{SimStep::GetFeature, SimFaultKind::Stall}, HidStatus::NotSupported},
        {{SimStep::GetFeature, SimFaultKind::Unplug}, HidStatus::Offline},
    };
    for (const Case &c : cases)
    {
        HidRig rig(std::vector<SimSetup>(2, SimSetup{560, 64}));
        rig.hid->hid560_04H_SetCurrentDPI(1, 2);
        rig.sim.addFault(1, c.fault);
        int byte1 = 0x5A, byte2 = 0xA5;
        rig.hid->hid560_84H_GetCurrentDPI(1, byte1, byte2);
        EXPECT_EQ(rig.hid->lastStatus(), c.status) << hidStatusName(c.status);
        EXPECT_EQ(byte1, 0x5A);
        EXPECT_EQ(byte2, 0xA5);
        EXPECT_TRUE(rig.hid->isIdle());
        EXPECT_EQ(rig.sim.openHandles(), 0);
    }

    // The profile read copies back only a complete image.
    HidRig rig(std::vector<SimSetup>(2, SimSetup{560, 64}));
    rig.sim.setProfile(1, 2, {});
    rig.sim.addFault(1, {SimStep::Read, SimFaultKind::NoReply, 0x8C, 1});
    QByteArray image = k128;
    rig.hid->hid560_8CH_readProfile(image, 2);
    EXPECT_EQ(rig.hid->lastStatus(), HidStatus::Timeout);
    EXPECT_EQ(image, k128);
    EXPECT_EQ(rig.of(SimDir::Read, 1).size(), 1u);
}

// A command started while another holds the transport (here from the device's reply, as a nested event
// loop would start it) waits its 255 polls, logs its failure line and sends nothing; the headset's
// lights do not wait and do not touch the claim.
TEST(HidCommands, ACommandWaitsItsTurnAndGivesUp)
{
    HidRig rig;
    QtLogCapture log;
    int64_t gaveUpAfter = -1;
    HidStatus nested = HidStatus::Ok;
    bool idleAfterLights = true;
    bool once = true;
    rig.sim.setReportHook(
        [&](const SimLogEntry &e)
        {
            if (!once || e.dir != SimDir::FeatureSet)
                return;
            once = false;
            const int64_t start = rig.now();
            rig.hid->hid560_02H_SetCurrentProfile(1, 3);
            gaveUpAfter = rig.now() - start;
            nested = rig.hid->lastStatus();
            rig.hid->headSetSetLEDStart();
            idleAfterLights = rig.hid->isIdle();
        });
    rig.hid->hidARM_01H_SetReportRate(0, 1);
    rig.sim.setReportHook(nullptr);
    EXPECT_EQ(nested, HidStatus::Busy);
    EXPECT_EQ(gaveUpAfter, 255 * 8);
    EXPECT_EQ(log.Count("cmd Failed 02"), 1);
    EXPECT_TRUE(rig.of(SimDir::FeatureSet, 1).empty());
    EXPECT_EQ(rig.of(SimDir::Write, 3),
              (std::vector<Bytes>{{0xFF, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}));
    EXPECT_FALSE(idleAfterLights);
    EXPECT_TRUE(rig.hid->isIdle());

    // A claim nobody releases blocks every command until the bridge frees it.
    ASSERT_EQ(rig.hid->waitIdle(), HidStatus::Ok);
    rig.hid->hidARM_06H_SetRGBLedEffect(0, 1, 2, 3, 4, 5);
    EXPECT_EQ(rig.hid->lastStatus(), HidStatus::Busy);
    EXPECT_EQ(log.Count("cmd Failed 06"), 1);
    rig.hid->releaseIdle();
    rig.hid->hidARM_06H_SetRGBLedEffect(0, 1, 2, 3, 4, 5);
    EXPECT_EQ(rig.hid->lastStatus(), HidStatus::Ok);
}

// Every step of a bulk write and of a bulk read fails in turn, or the device leaves before it: the
// command stops there with a typed status, closes its handle and frees the transport; after a replug
// and a new match the next command works.
TEST(HidCommands, EveryStepCanFail)
{
    struct Step
    {
        SimStep step;
        int index;
    };
    const std::vector<Step> writeSteps = {
        {SimStep::Open, -1}, {SimStep::SetFeature, -1}, {SimStep::Write, 0}, {SimStep::Write, 1}};
    const std::vector<Step> readSteps = {{SimStep::Open, -1},
                                         {SimStep::SetFeature, -1},
                                         {SimStep::GetFeature, -1},
                                         {SimStep::Read, 0},
                                         {SimStep::Read, 1}};
    for (bool reading : {false, true})
        for (const Step &s : reading ? readSteps : writeSteps)
            for (SimFaultKind kind :
                 {SimFaultKind::Fail, SimFaultKind::Stall, SimFaultKind::NoReply, SimFaultKind::Unplug})
            {
                HidRig rig(std::vector<SimSetup>(2, SimSetup{560, 64}));
                rig.sim.addFault(1, {s.step, kind, -1, s.index});
                const int64_t start = rig.now();
                QByteArray image = k128;
                auto run = [&]
                {
                    if (reading)
                        rig.hid->hid560_8CH_readProfile(image, 1);
                    else
                        rig.hid->hid560_0CH_setProfile(1, k128, 1);
                };
                run();
                std::string what = std::string(reading ? "read " : "write ") + std::to_string(int(s.step)) +
                                   "/" + std::to_string(s.index) + " kind " + std::to_string(int(kind));
                HidStatus expected = kind == SimFaultKind::Unplug || s.step == SimStep::Open
                                         ? HidStatus::Offline
                                     : kind == SimFaultKind::Fail  ? HidStatus::IoError
                                     : kind == SimFaultKind::Stall ? HidStatus::NotSupported
                                                                   : HidStatus::Timeout;
                EXPECT_EQ(rig.hid->lastStatus(), expected) << what;
                EXPECT_EQ(image, k128) << what;
                EXPECT_EQ(rig.sim.openHandles(), 0) << what;
                EXPECT_TRUE(rig.hid->isIdle()) << what;
                EXPECT_LE(rig.now() - start, 1000 + 128) << what;
                // Nothing after the failed step but the close.
                const auto log = rig.sim.log();
                ASSERT_FALSE(log.empty()) << what;
                if (s.step != SimStep::Open)
                {
                    EXPECT_EQ(log.back().dir, SimDir::Close) << what;
                }
                const int sent = rig.traffic();
                const int expectedSent = s.step == SimStep::Open         ? 0
                                         : s.step == SimStep::SetFeature ? 0
                                         : s.step == SimStep::GetFeature ? 1
                                         : reading                       ? 2 + s.index
                                                                         : 1 + s.index;
                EXPECT_EQ(sent, expectedSent) << what;

                rig.sim.clearFaults(1);
                rig.sim.replug(1);
                rig.hid->detectDevice(1);
                run();
                EXPECT_EQ(rig.hid->lastStatus(), HidStatus::Ok) << what;
            }
}
