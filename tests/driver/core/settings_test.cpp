// The settings store.
#include "driver/core/settings.h"

#include "support/device_fixture.h"

#include <cstring>

namespace
{

using SettingsTest = DeviceTest;

TEST_F(SettingsTest, MissingValueKeepsTheCallersDefault)
{
    ULONG value = 0x12345678;
    EXPECT_EQ(SettingsValue(Device(), SETTINGS_READ, &value, sizeof value, Wide("NeedMuteLED")),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 0x12345678u);
}

TEST_F(SettingsTest, WrittenValueReadsBackAsStoredBytes)
{
    ULONG rate = 48000;
    ASSERT_EQ(SettingsValue(Device(), SETTINGS_WRITE, &rate, sizeof rate, Wide("ASIOMLSampleRate")),
              STATUS_SUCCESS);
    const auto stored = Setting("ASIOMLSampleRate");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, ULONG(REG_BINARY));
    EXPECT_EQ(stored->data, (std::vector<uint8_t>{0x80, 0xBB, 0x00, 0x00}));

    ULONG read = 0;
    ASSERT_EQ(SettingsValue(Device(), SETTINGS_READ, &read, sizeof read, Wide("asiomlsamplerate")),
              STATUS_SUCCESS);
    EXPECT_EQ(read, 48000u);

    // The stored type is ignored on reading; a shorter value changes only its own bytes.
    sim::registry::SetDword(SettingsKey(), "Latency", 7);
    ASSERT_EQ(SettingsValue(Device(), SETTINGS_READ, &read, sizeof read, Wide("Latency")), STATUS_SUCCESS);
    EXPECT_EQ(read, 7u);
    sim::registry::SetValue(SettingsKey(), "Short", REG_BINARY, {0xAA});
    UCHAR bytes[4] = {1, 2, 3, 4};
    ASSERT_EQ(SettingsValue(Device(), SETTINGS_READ, bytes, sizeof bytes, Wide("Short")), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<UCHAR>(bytes, bytes + 4), (std::vector<UCHAR>{0xAA, 2, 3, 4}));
}

TEST_F(SettingsTest, LongerStoredValueFailsAndWritesNothing)
{
    sim::registry::SetValue(SettingsKey(), "Eight", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});
    ULONG value = 0xCAFEF00D;
    EXPECT_EQ(SettingsValue(Device(), SETTINGS_READ, &value, sizeof value, Wide("Eight")),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(value, 0xCAFEF00Du);
    // Far longer than the caller's buffer and the query's slack.
    sim::registry::SetValue(SettingsKey(), "Long", REG_BINARY, std::vector<uint8_t>(300, 0x55));
    EXPECT_EQ(SettingsValue(Device(), SETTINGS_READ, &value, sizeof value, Wide("Long")),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(value, 0xCAFEF00Du);
    // The same value fits a buffer of its size.
    UCHAR eight[8] = {};
    EXPECT_EQ(SettingsValue(Device(), SETTINGS_READ, eight, sizeof eight, Wide("Eight")), STATUS_SUCCESS);
    EXPECT_EQ(eight[7], 8);
}

TEST_F(SettingsTest, TypesAndSubKeys)
{
    // An unsupported type opens nothing.
    ULONG value = 1;
    EXPECT_EQ(
        SettingsAccess(Device(), SETTINGS_WRITE, nullptr, Wide("X"), REG_MULTI_SZ, &value, sizeof value),
        STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(sim::registry::KeyExists(SettingsKey()));

    const WCHAR text[] = {'R', 'o', 'c', 'k'};
    ASSERT_EQ(SettingsAccess(Device(), SETTINGS_WRITE, Wide("EQ"), Wide("Preset"), REG_SZ,
                             const_cast<WCHAR *>(text), sizeof text),
              STATUS_SUCCESS);
    const auto stored = Setting("Preset", "EQ");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, ULONG(REG_SZ));
    EXPECT_EQ(stored->data, sim::registry::Utf16Bytes("Rock", false));
    EXPECT_FALSE(Setting("Preset"));

    // A device whose driver key the platform does not know fails with the framework's status.
    alignas(16) unsigned char other[16];
    EXPECT_EQ(SettingsValue(reinterpret_cast<PDEVICE_OBJECT>(other), SETTINGS_READ, &value, sizeof value,
                            Wide("X")),
              STATUS_INVALID_PARAMETER);
}

TEST_F(SettingsTest, IndexedNamesAreBaseAndDecimalIndexCutAt49)
{
    ULONG value = 5;
    ASSERT_EQ(SettingsIndexedValue(Device(), SETTINGS_WRITE, &value, sizeof value, Wide("EqBand"), 3),
              STATUS_SUCCESS);
    ASSERT_EQ(SettingsIndexedValue(Device(), SETTINGS_WRITE, &value, sizeof value, Wide("EqBand"), 12),
              STATUS_SUCCESS);
    ASSERT_EQ(SettingsIndexedValue(Device(), SETTINGS_WRITE, &value, sizeof value, Wide("Gain"), -1),
              STATUS_SUCCESS);
    const std::string base(47, 'B');
    ASSERT_EQ(SettingsIndexedValue(Device(), SETTINGS_WRITE, &value, sizeof value, Wide(base), 345),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::registry::ValueNames(SettingsKey()),
              (std::vector<std::string>{"EqBand3", "EqBand12", "Gain-1", base + "34"}));

    ULONG read = 0;
    EXPECT_EQ(SettingsIndexedValue(Device(), SETTINGS_READ, &read, sizeof read, Wide("EqBand"), 12),
              STATUS_SUCCESS);
    EXPECT_EQ(read, 5u);
}

TEST_F(SettingsTest, EveryFailedAllocationFailsCleanly)
{
    sim::registry::SetValue(SettingsKey() + "\\EQ", "Band", REG_BINARY, {9, 0, 0, 0});
    const size_t baseline = sim::pool::OutstandingBlocks();
    struct Call
    {
        bool write;
        bool subKey;
    };
    for (const Call call : {Call{false, false}, Call{false, true}, Call{true, false}, Call{true, true}})
    {
        auto run = [&](ULONG &value)
        {
            return SettingsAccess(Device(), call.write ? SETTINGS_WRITE : SETTINGS_READ,
                                  call.subKey ? PCWSTR(Wide("EQ")) : nullptr, Wide("Band"), REG_BINARY,
                                  &value, sizeof value);
        };
        ULONG value = 0;
        const size_t before = sim::pool::AllocationCount();
        ASSERT_TRUE(NT_SUCCESS(run(value)) || !call.write);
        const size_t allocations = sim::pool::AllocationCount() - before;
        // Driver key and "Settings" objects, the sub-key's, and the query buffer of a read.
        EXPECT_EQ(allocations, 2u + call.subKey + !call.write);
        for (size_t n = 1; n <= allocations; ++n)
        {
            value = 0xDEADBEEF;
            sim::pool::FailNthAllocation(unsigned(n));
            EXPECT_EQ(run(value), STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
            if (!call.write)
            {
                EXPECT_EQ(value, 0xDEADBEEFu);
            }
            EXPECT_EQ(sim::registry::OpenKeyHandles(), 0u);
            EXPECT_EQ(sim::pool::OutstandingBlocks(), baseline);
        }
    }
}

} // namespace
