// The view's conversions, read back from what the simulated devices and the library stand-in got.
#include "view_fixture.h"

#include <QDateTime>
#include <QFileInfo>

#include <climits>

namespace
{
Bytes plain(std::initializer_list<uint8_t> bytes)
{
    Bytes r(bytes);
    r.resize(16, 0);
    return r;
}

Bytes head(const Bytes &all, size_t n)
{
    return Bytes(all.begin(), all.begin() + std::min(n, all.size()));
}

Bytes withChecksum(Bytes r)
{
    r[8] = hidChecksum(r.data() + 1);
    return r;
}
} // namespace

TEST_F(ViewTest, DpiStagesAreScaledPerSensor)
{
    build();
    const QVariantList select{true, false, true}, values{7300, 7200, 800, 100, 50, 12800, 1e12, -5};
    view().mouseSetDpi(2, select, values, 1);
    auto sent = commands(4);
    ASSERT_EQ(sent.size(), 2u);
    // 08H first with stages 4-7 and the value-bit mask, then 07H with stages 0-3.
    EXPECT_EQ(sent[0], withChecksum({0, 0x08, 0, 0xFF, 0xFF, 0, 0x61, 0, 0}));
    EXPECT_EQ(sent[1], withChecksum({0, 0x07, 2, 0x05, 0xC8, 143, 15, 1, 0}));
    EXPECT_TRUE(commands(1).empty());

    rig->sim.clearLog();
    view().mouseSetDpi(0, {}, {800}, 0);
    sent = commands(1);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], withChecksum({0, 0x07, 0, 0, 7, 0, 0, 0, 0}));
}

TEST_F(ViewTest, KeyMatricesArePackedAndPaged)
{
    build();
    view().mouseSetKeyMatrix(0, {});
    ASSERT_EQ(commands(1).size(), 1u);
    Bytes expected(64, 0);
    const uint8_t entries[][5] = {{8, 0, 0, 1, 11}, {14, 0, 1, 1, 5}, {15, 0, 1, 2, 5}};
    for (const auto &e : entries)
        std::copy(e + 1, e + 5, expected.begin() + 4 * e[0]);
    EXPECT_EQ(written(1), expected);

    // A long list replaces the presets, but entry 8 stays the DPI key.
    rig->sim.clearLog();
    QVariantList keys;
    for (int i = 0; i < 100; ++i)
        keys << i;
    view().mouseSetKeyMatrix(1, keys);
    const Bytes matrix = written(4);
    ASSERT_EQ(matrix.size(), 64u);
    EXPECT_EQ(Bytes(matrix.begin(), matrix.begin() + 4), (Bytes{3, 2, 1, 0}));
    EXPECT_EQ(Bytes(matrix.begin() + 32, matrix.begin() + 36), (Bytes{0, 0, 1, 11}));
    EXPECT_EQ(Bytes(matrix.begin() + 60, matrix.end()), (Bytes{63, 62, 61, 60}));

    rig->sim.clearLog();
    view().keyboardSetKeyMatrix(keys);
    const auto pages = commands(0);
    ASSERT_EQ(pages.size(), 4u);
    for (uint8_t p = 0; p < 4; ++p)
        EXPECT_EQ(pages[p][2], p);
    const Bytes all = written(0);
    ASSERT_EQ(all.size(), 512u);
    EXPECT_EQ(all[99], 99);
    EXPECT_EQ(all[100], 0);
}

TEST_F(ViewTest, LightEffectsAreRemappedPerFamily)
{
    build();
    view().keyboardSetRGBEffect(1, 218, 0, 1, 0, 9, 9, 9);
    auto keyboard = commands(0);
    ASSERT_EQ(keyboard.size(), 2u);
    EXPECT_EQ(keyboard[0][1], 0x30);
    const Bytes defaults{255, 0,   0,   0,   255, 0,   255, 255, 0,   0,   0,   255,
                         0,   255, 255, 255, 0,   255, 255, 255, 255, 255, 255, 255};
    EXPECT_EQ(head(written(0), 24), defaults);
    EXPECT_EQ(keyboard[1], (Bytes{0x00, 0x08, 0x06, 0x3F, 0x07, 0x00, 0x07, 0x74, 0x07}));
    // Effect 0 leaves the speed byte; the mode byte carries brightness / 9 and code 0.
    rig->sim.clearLog();
    view().keyboardSetRGBEffect(0, 0, 218, 0, 0, 1, 2, 3);
    keyboard = commands(0);
    ASSERT_EQ(keyboard.size(), 2u);
    EXPECT_EQ(keyboard[1], (Bytes{0x00, 0x08, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x07}));
    EXPECT_EQ(head(written(0), 3), (Bytes{1, 2, 3}));

    // The mouse: type 1 keeps the eight default colours, type 0 puts the user's first.
    rig->sim.clearLog();
    view().mouseSetRGBColor(0, 1, 7, 8, 9);
    const Bytes mouseDefaults{255, 0, 0,   0, 0,   255, 0,   255, 0, 255, 255, 0,
                              255, 0, 255, 0, 255, 255, 255, 128, 0, 255, 255, 255};
    EXPECT_EQ(head(written(1), 24), mouseDefaults);
    rig->sim.clearLog();
    view().mouseSetRGBEffect(1, 4, 218, 218, 0, 2, 7, 8, 9);
    EXPECT_EQ(head(written(4), 6), (Bytes{7, 8, 9, 0, 0, 255}));
    EXPECT_EQ(commands(4).back(), withChecksum({0, 0x06, 1, 0, 50, 6, 2, 0, 0}));

    // The pad swaps 1 and 3; the accessory maps 1 to 4, 3 to 2, others to e + 1 and counts down from 4.
    struct Case
    {
        uchar effect, brightness;
        int device;
        uint8_t sentEffect, sentBrightness;
    };
    for (const Case &c : {Case{1, 218, 2, 3, 50}, Case{3, 109, 2, 1, 25}, Case{2, 0, 2, 2, 0},
                          Case{1, 0, 5, 4, 4}, Case{3, 218, 5, 2, 0}, Case{5, 255, 5, 6, 0}})
    {
        rig->sim.clearLog();
        if (c.device == 2)
            view().mousePadSetRGBEffect(c.effect, c.brightness, 0, 1, 0, 10, 20, 30);
        else
            view().supportSetRGBEffect(c.effect, c.brightness, 0, 1, 0, 10, 20, 30);
        const auto sent = commands(c.device);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0][2], c.sentEffect) << int(c.effect) << " on " << c.device;
        EXPECT_EQ(sent[0][c.device == 2 ? 3 : 4], c.sentBrightness)
            << int(c.brightness) << " on " << c.device;
    }
}

TEST_F(ViewTest, HeadsetLightIsPackedInOrder)
{
    build();
    QVariantList list;
    for (int i = 0; i < 31; ++i)
        list << 0;
    list[21] = 1, list[22] = 2, list[23] = 10, list[24] = 5, list[0] = 255, list[1] = 128, list[2] = 0;
    for (int i = 26; i <= 30; ++i)
        list[i] = i - 25;
    view().headSetSetLED(list);
    EXPECT_EQ(rig->of(SimDir::Write, 3),
              (std::vector<Bytes>{plain({0xFF, 0x02, 1, 2, 3, 4, 5}), plain({0xFF, 0x03, 3, 1, 0, 5, 0}),
                                  plain({0xFF, 0x04, 0x58, 0x00, 0xB0}), plain({0xFF, 0x01})}));
    // A dimmer past ten would overflow a byte: the colour is held at 255. Off: mode 1 and no colour.
    rig->sim.clearLog();
    list[23] = 1000;
    view().headSetSetLED(list);
    EXPECT_EQ(rig->of(SimDir::Write, 3)[2], plain({0xFF, 0x04, 0xFF, 0x00, 0xFF}));
    rig->sim.clearLog();
    view().headSetSetLED({});
    EXPECT_EQ(rig->of(SimDir::Write, 3)[1], plain({0xFF, 0x03, 1, 1}));
}

TEST_F(ViewTest, MacrosGoOutOnlyToTheirTwelveSlotsAndReportDelivery)
{
    build();
    EXPECT_FALSE(view().mouseSendMacroData({1, 2}, 12).toBool());
    EXPECT_FALSE(view().keyboardSendMacroData({1, 2}, -1).toBool());
    EXPECT_FALSE(view().mouseSendMacroData({1, 2}, "x").toBool());
    EXPECT_EQ(rig->traffic(), 0);
    EXPECT_TRUE(view().keyboardSendMacroData({1, 2}, 11).toBool());
    EXPECT_EQ(written(0).size(), 128u);
    rig->sim.addFault(1, {SimStep::Write, SimFaultKind::Fail});
    EXPECT_FALSE(view().mouseSendMacroData({1, 2}, 0).toBool());
}

TEST_F(ViewTest, GunDataNeverSendsAProfileImageThatWasNotRead)
{
    build();
    std::array<uint8_t, 128> stored{};
    stored[65] = 0xFF;
    stored[0] = 0x42;
    rig->sim.setProfile(1, 3, stored);
    view().mouseSendGundata(2, {7, 8, 9});
    const auto sent = commands(1);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0][1], 0x8C) << "read first";
    EXPECT_EQ(sent[1][1], 0x0C);
    const auto image = rig->sim.profile(1, 3);
    EXPECT_EQ(image[0], 0x42) << "the rest of the profile survives";
    EXPECT_EQ(image[65], 0xFB);
    EXPECT_EQ((Bytes{image[78], image[79], image[80], image[81]}), (Bytes{0xF0, 7, 8, 9}));

    // A read that fails sends nothing, and the image stays unread.
    rig->sim.clearLog();
    rig->sim.addFault(1, {SimStep::GetFeature, SimFaultKind::NoReply, 0x8C, -1, 0, -1});
    view().mouseSendGundata(4, {1, 2, 3});
    view().mouseSetProfile(5);
    view().mouseSetProfile(11);
    view().mouseSendGundata(-1, {1});
    for (const Bytes &c : commands(1))
        EXPECT_EQ(c[1], 0x8C);
}

TEST_F(ViewTest, GunDataOnThe553TakesTheSignFromTheOptions)
{
    write("modules/setting/apConfig.bin", "[mouse]\nicType=553\nisGun=true\n");
    build(553);
    view().mouseSetKeyboardoption(0, 0, 1, 0);
    rig->sim.clearLog();
    view().mouseSendGundata(3, {4, 5, 6});
    auto sent = commands(1);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], withChecksum({0, 0x04, 0, 4, 5, 0xFA, 2, 0, 0}));
}

TEST_F(ViewTest, HeadsetSlotsReachTheLibraryWithTheirProperties)
{
    build();
    struct Row
    {
        std::function<void(myQQuickView &)> call;
        std::vector<std::string> sets;
    };
    const std::vector<Row> rows = {
        {[](myQQuickView &v) { v.headSetJHQEnable(true); }, {"render set Enable_EQ_GFX=1"}},
        {[](myQQuickView &v) { v.headSetYYQXEnable(true); }, {"render set Enable_VOICECLARITY_LFX=1"}},
        {[](myQQuickView &v) { v.headSetYYQX0(100); }, {"render set VOICECLARITY_LEVEL=10"}},
        {[](myQQuickView &v) { v.headSetYYQX0(-1); }, {"render set VOICECLARITY_LEVEL=4"}},
        {[](myQQuickView &v) { v.headSetYYQX0(329); }, {"render set VOICECLARITY_LEVEL=9"}},
        {[](myQQuickView &v) { v.headSetYYQX1(-1); }, {"render set VOICECLARITY_NOISESUPP_LEVEL=0"}},
        {[](myQQuickView &v) { v.headSetYYQX1(355); }, {"render set VOICECLARITY_NOISESUPP_LEVEL=18"}},
        {[](myQQuickView &v) { v.headSetYYQX1(37); }, {"render set VOICECLARITY_NOISESUPP_LEVEL=20"}},
        {[](myQQuickView &v) { v.headSetHJJZEnable(true); }, {"capture set Enable_ENC_LFX=1"}},
        {[](myQQuickView &v) { v.headSetMYQEnable(true); }, {"capture set Enable_MAGICVOICE=1"}},
        {[](myQQuickView &v) { v.headSetMYQMode(3); }, {"capture set MagicVoice_Selection=3"}},
        {[](myQQuickView &v) { v.headSetMicClose(1u); }, {"capture set MuteControl=1"}},
        {[](myQQuickView &v) { v.headSetYLKZVoice(0, 0, 272); },
         {"render set VolumeScalarControl(0,0,0)=1", "render set VolumeScalarControl(1,0,0)=0"}},
        {[](myQQuickView &v) { v.headSetYLKZVoice(1, 300, 0); },
         {"render set VolumeScalarControl(-1,0,0)=0"}},
        {[](myQQuickView &v) { v.headSetYLKZVoice(0, INT_MIN, INT_MAX); },
         {"render set VolumeScalarControl(0,0,0)=1", "render set VolumeScalarControl(1,0,0)=0"}},
        {[](myQQuickView &v) { v.headSetYLKZMic(1, 136, 0); },
         {"capture set VolumeScalarControl(-1,0,0)=0.5"}},
        // Between percent steps the percent is truncated: 99.6, 49.6 and 0.7 give 99, 49 and 0.
        {[](myQQuickView &v) { v.headSetYLKZVoice(0, 1, 137); },
         {"render set VolumeScalarControl(0,0,0)=0.99", "render set VolumeScalarControl(1,0,0)=0.49"}},
        {[](myQQuickView &v) { v.headSetYLKZMic(1, 270, 0); }, {"capture set VolumeScalarControl(-1,0,0)=0"}},
        {[](myQQuickView &v) { v.headSetSet71(false); },
         {"render set VirtualSurroundEffectControl(4,-1,0)=0",
          "render set VirtualSurroundEffectControl(4,1,0)=0",
          "render set VirtualSurroundEffectControl(4,0,0)=1"}},
    };
    for (const Row &row : rows)
    {
        conf.ResetLog();
        row.call(view());
        EXPECT_EQ(library(" set "), row.sets) << row.sets[0];
    }
    conf.ResetLog();
    view().headSetJHQData(1, 2, 3, 4, 5, 6, 7, 8, 9, 10);
    const auto sets = library(" set ");
    ASSERT_EQ(sets.size(), 10u);
    EXPECT_EQ(sets[9], "render set EQ_Slider10=10");
    EXPECT_EQ(library(" get ").size(), 10u);

    // The getters read the device, then give the value read.
    conf.Apply("answer VirtualSurroundEffectControl 1\nanswer Enable_ENC_LFX 1\nanswer MuteControl 1");
    EXPECT_EQ(view().headSetGet71().toInt(), 1);
    EXPECT_EQ(view().headSetGetHJJZ().toInt(), 1);
    EXPECT_EQ(view().headSetGetMicStatus().toInt(), 1);
}

TEST_F(ViewTest, HeadsetSlotsSurviveALibraryThatFailsOrIsAbsent)
{
    auto everyRow = [](myQQuickView &v)
    {
        v.headSetSet71(true);
        v.headSetJHQEnable(true);
        v.headSetJHQData(1, 2, 3, 4, 5, 6, 7, 8, 9, 10);
        v.headSetYYQXEnable(true);
        v.headSetYYQX0(65);
        v.headSetYYQX1(38);
        v.headSetHJJZEnable(true);
        v.headSetMYQEnable(true);
        v.headSetMYQMode(2);
        v.headSetYLKZVoice(0, 10, 20);
        v.headSetMicClose(1);
        v.headSetYLKZMic(1, 10, 20);
        v.headSetSetLED({1, 2, 3});
        return std::array<int, 3>{v.headSetGet71().toInt(), v.headSetGetMicStatus().toInt(),
                                  v.headSetGetHJJZ().toInt()};
    };
    build();
    conf.Apply("answer VirtualSurroundEffectControl 1\nfail both *");
    conf.ResetLog();
    EXPECT_EQ(everyRow(view()), (std::array<int, 3>{0, 0, 0}));
    EXPECT_TRUE(library(" set ").empty());

    ConfLibState absent;
    bindConfigLibrary(absent, root + "/no-such-library");
    HeadsetAudioControl unbound(absent);
    view().setHeadsetControl(&unbound);
    EXPECT_EQ(everyRow(view()), (std::array<int, 3>{0, 0, 0}));
    view().setHeadsetControl(nullptr);
    EXPECT_EQ(everyRow(view()), (std::array<int, 3>{0, 0, 0}));
}

TEST_F(ViewTest, DeviceFailuresGiveZerosAndNeverHang)
{
    const std::vector<SimFault> faults = {
        {SimStep::GetFeature, SimFaultKind::NoReply, -1, -1, 0, -1},
        {SimStep::GetFeature, SimFaultKind::ReplyLength, -1, -1, 4, -1},
        {SimStep::AnyReport, SimFaultKind::Unplug, -1, 2, 0, 1},
    };
    for (const SimFault &fault : faults)
    {
        build();
        rig->sim.addFault(1, fault);
        const int64_t start = rig->now();
        EXPECT_EQ(view().mouseGetCurrentDPI().toInt(), 0);
        EXPECT_EQ(view().mouseReadCurrentProfile().toInt(), 0);
        EXPECT_EQ(view().GetKeyboardoption(), (QVariantList{0, 0, 0, 0}));
        view().mouseReadProfile(2);
        rig->sim.clearLog();
        // Sends have no reply to miss; a mouse that left fails them.
        EXPECT_EQ(view().mouseSendMacroData({1}, 0).toBool(), fault.kind != SimFaultKind::Unplug);
        view().mouseSetProfile(2); // the image is still unread: read again, never sent
        for (const Bytes &c : commands(1))
            EXPECT_NE(c[1], 0x0C) << int(fault.kind);
        // Every call ends within the transport's own waits.
        EXPECT_LT(rig->now() - start, 20000) << int(fault.kind);
    }
}

TEST_F(ViewTest, ResetKeyMatrixTouchesNothing)
{
    build();
    const auto before = snapshot();
    const QDateTime stamp = QFileInfo(path("modules/setting/apConfig.bin")).lastModified();
    view().mouseResetKeyMatrix();
    EXPECT_EQ(rig->traffic(), 0);
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(QFileInfo(path("modules/setting/apConfig.bin")).lastModified(), stamp);
}
