#include "hid_rig.h"

#include <cstring>
#include <random>

namespace
{
Bytes scrambled(Bytes block, const char *code6)
{
    uint8_t code[7] = {};
    if (code6)
        std::memcpy(code, code6, 6);
    scrambleBlock(block.data(), code);
    return block;
}
} // namespace

TEST(HidChecksum, KnownReports)
{
    const uint8_t zeros[7] = {};
    const uint8_t profile[7] = {0x82};
    const uint8_t rate[7] = {0x01, 0x01, 0x03, 0x03, 0x0F, 0x00, 0x00};
    EXPECT_EQ(hidChecksum(zeros), 0xFF);
    EXPECT_EQ(hidChecksum(profile), 0x7D);
    EXPECT_EQ(hidChecksum(rate), 0xE8);
}

TEST(HidScrambling, KnownBlocks)
{
    // A zero block passes steps 1-3 unchanged, so it shows the key as used: nibble-swapped.
    EXPECT_EQ(scrambled(Bytes(8, 0), nullptr), (Bytes{0x65, 0x16, 0x85, 0xD6, 0xF6, 0xC4, 0x96, 0x07}));
    EXPECT_EQ(0, std::memcmp(VaXmoLip, "VaXmoLip", 8));

    // Steps 1-3 move the 1 to byte 5 and multiply it by 8; the key is then added.
    Bytes one = scrambled({0x01, 0, 0, 0, 0, 0, 0, 0}, nullptr);
    EXPECT_EQ(one, (Bytes{0x65, 0x16, 0x85, 0xD6, 0xF6, 0xCC, 0x96, 0x07}));
    const Bytes key = {0x65, 0x16, 0x85, 0xD6, 0xF6, 0xC4, 0x96, 0x07};
    for (int i = 0; i < 8; ++i)
        one[i] = static_cast<uint8_t>(one[i] - key[i]);
    EXPECT_EQ(one, (Bytes{0, 0, 0, 0, 0, 0x08, 0, 0}));

    EXPECT_EQ(scrambled({0x82, 0, 0, 0, 0, 0, 0, 0x7D}, "482917"),
              (Bytes{0x66, 0xD8, 0xFE, 0x9F, 0x83, 0x6C, 0x96, 0x07}));
    EXPECT_EQ(scrambled({0x01, 0x01, 0x03, 0x03, 0x0F, 0x00, 0x00, 0xE8}, "482917"),
              (Bytes{0x66, 0xD4, 0x56, 0x9F, 0x77, 0x74, 0xAE, 0x1F}));
}

TEST(HidScrambling, DecipherInvertsEveryBlockAndCode)
{
    std::mt19937 rng(23);
    for (int i = 0; i < 100000; ++i)
    {
        uint8_t block[8], code[7], copy[8];
        for (uint8_t &b : block)
            b = static_cast<uint8_t>(rng());
        for (uint8_t &c : code)
            c = static_cast<uint8_t>(rng());
        code[6] = 0;
        std::memcpy(copy, block, 8);
        scrambleBlock(block, code);
        unscrambleBlock(block, code);
        ASSERT_EQ(0, std::memcmp(block, copy, 8)) << "block " << i;
    }
}

TEST(HidScrambling, SecrecyCodeNeedsSixPlainCharacters)
{
    uint8_t code[7] = {1, 2, 3, 4, 5, 6, 0};
    const uint8_t before[7] = {1, 2, 3, 4, 5, 6, 0};
    for (const char *bad : {"48291", "4829170", "", "48291\xC3\xA9"})
    {
        EXPECT_FALSE(secrecyCodeOf(QString::fromUtf8(bad), code)) << bad;
        EXPECT_EQ(0, std::memcmp(code, before, 7)) << bad;
    }
    EXPECT_TRUE(secrecyCodeOf("482917", code));
    EXPECT_EQ(0, std::memcmp(code, "482917\0", 7));
}

// Each device is scrambled with its own code; one without a usable code takes the last loaded one.
TEST(HidScrambling, CommandsUseTheTargetDevicesCode)
{
    HidRig rig({{560, 32, true, "12345"}, {560, 32, true, "482917"}, {560, 32, true, "ABCDEF"}});
    const Bytes plain = {0x02, 0x03, 0, 0, 0, 0, 0, 0xFA};
    auto wire = [&](int did)
    {
        rig.sim.clearLog();
        rig.hid->hid560_02H_SetCurrentProfile(did, 3);
        Bytes w = rig.nth(SimDir::FeatureSet, 0);
        return Bytes(w.begin() + 1, w.end());
    };
    EXPECT_EQ(wire(0), scrambled(plain, nullptr)); // nothing loaded yet: a zero code
    rig.hid->loadSecrecyCode(2);
    EXPECT_EQ(wire(1), scrambled(plain, "482917")); // its own code, not the loaded one
    EXPECT_EQ(wire(0), scrambled(plain, "ABCDEF"));
    rig.hid->loadSecrecyCode(0); // five characters: the buffer keeps the last code
    EXPECT_EQ(wire(0), scrambled(plain, "ABCDEF"));
}
