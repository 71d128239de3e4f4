// The INI import as the adapter runs it, through the file and registry stand-ins.
#include "driver/core/ini_reader.h"
#include "driver/core/settings.h"

#include "support/device_fixture.h"

#include <algorithm>
#include <string>
#include <vector>

namespace
{

// Joins lines with CR LF, the file's line end.
std::string Crlf(std::initializer_list<std::string_view> lines)
{
    std::string out;
    for (auto line : lines)
        (out += line) += "\r\n";
    return out;
}

std::string StandardFile(std::string_view version)
{
    return Crlf({"; settings shipped with the driver", "[VERSION]", "Version=" + std::string(version), "",
                 "[SALVIN]", "USB\\VID_5A4C&PID_0610&REV_0100&MI_00=WrongDevice",
                 "usb\\vid_5a4c&pid_0610&rev_0100 = Headset610 ; this device", "", "[WrongDevice]",
                 "Gain=0x7F", "[Headset610]", "Gain=0x1F,0x20", "ASIOMLSampleRate=48000",
                 "HeadPhoneOutName=Headphones", "; a comment", "Broken line", "[Headset610:EQ]",
                 "Band3=0x0C"});
}

std::vector<uint8_t> Utf16(std::string_view s)
{
    return sim::registry::Utf16Bytes(s, false);
}

class IniImportTest : public DeviceTest
{
protected:
    void StoreVersion(uint32_t version)
    {
        sim::registry::SetValue(SettingsKey(), "IniVersion", REG_BINARY, sim::registry::DwordBytes(version));
    }
    std::optional<uint32_t> StoredVersion()
    {
        auto v = Setting("IniVersion");
        if (!v || v->data.size() != 4)
            return std::nullopt;
        return v->data[0] | v->data[1] << 8 | v->data[2] << 16 | uint32_t(v->data[3]) << 24;
    }
};

TEST_F(IniImportTest, NewerFileImportsRootAndSubKeySections)
{
    StoreVersion(3);
    WriteSystemFile("ZELKO610.INI", StandardFile("4"));
    ASSERT_EQ(IniImportSettings(Device()), STATUS_SUCCESS);

    auto v = Setting("Gain");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->type, ULONG(REG_BINARY));
    EXPECT_EQ(v->data, (std::vector<uint8_t>{0x1F, 0x20}));
    v = Setting("ASIOMLSampleRate");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->type, ULONG(REG_BINARY));
    EXPECT_EQ(v->data, (std::vector<uint8_t>{0x80, 0xBB, 0x00, 0x00}));
    v = Setting("HeadPhoneOutName");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->type, ULONG(REG_SZ));
    EXPECT_EQ(v->data, Utf16("Headphones"));
    v = Setting("Band3", "EQ");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->data, (std::vector<uint8_t>{0x0C}));
    EXPECT_FALSE(Setting("Band3")); // only in the sub-key
    EXPECT_FALSE(Setting("Broken"));
    EXPECT_EQ(StoredVersion(), 4u);
    EXPECT_EQ(Setting("IniVersion")->type, ULONG(REG_BINARY));

    // The driver reads it back through the settings store.
    ULONG rate = 0;
    EXPECT_EQ(SettingsValue(Device(), SETTINGS_READ, &rate, sizeof rate, Wide("ASIOMLSampleRate")),
              STATUS_SUCCESS);
    EXPECT_EQ(rate, 48000u);
}

TEST_F(IniImportTest, SameVersionIsNotImportedAgain)
{
    StoreVersion(3);
    WriteSystemFile("ZELKO610.INI", StandardFile("3"));
    EXPECT_EQ(IniImportSettings(Device()), STATUS_SUCCESS);
    EXPECT_FALSE(Setting("Gain"));
    EXPECT_EQ(StoredVersion(), 3u);

    // Versions compare unsigned: 0x80000000 is newer than 3.
    WriteSystemFile("ZELKO610.INI", StandardFile("0x80000000"));
    EXPECT_EQ(IniImportSettings(Device()), STATUS_SUCCESS);
    EXPECT_EQ(StoredVersion(), 0x80000000u);

    // No stored version counts as 0.
    sim::registry::Reset();
    SetUpDevice();
    WriteSystemFile("ZELKO610.INI", StandardFile("1"));
    EXPECT_EQ(IniImportSettings(Device()), STATUS_SUCCESS);
    EXPECT_EQ(StoredVersion(), 1u);
}

TEST_F(IniImportTest, MissingOrUnusableFileLeavesSettingsAsTheyWere)
{
    StoreVersion(2);
    sim::registry::SetValue(SettingsKey(), "Gain", REG_BINARY, {0x01});
    EXPECT_EQ(IniImportSettings(Device()), STATUS_SUCCESS); // no file
    EXPECT_EQ(Setting("Gain")->data, (std::vector<uint8_t>{0x01}));
    EXPECT_EQ(StoredVersion(), 2u);
    EXPECT_EQ(sim::registry::ValueNames(SettingsKey()), (std::vector<std::string>{"IniVersion", "Gain"}));

    // A file without a line for this device imports nothing and keeps the version.
    WriteSystemFile("ZELKO610.INI", Crlf({"[VERSION]", "Version=9", "[SALVIN]", "USB\\VID_1111=Other",
                                          "[Other]", "Gain=0x05"}));
    EXPECT_EQ(IniImportSettings(Device()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Setting("Gain")->data, (std::vector<uint8_t>{0x01}));
    EXPECT_EQ(StoredVersion(), 2u);
}

// A file saved with LF, CR or mixed line ends imports exactly what its CR LF form does.
TEST_F(IniImportTest, LineEndsOfEveryKindImportAlike)
{
    const std::string crlf = StandardFile("4") + "Last=0x07"; // the last line without its line end
    auto import = [&](const std::string &file)
    {
        sim::registry::Reset();
        SetUpDevice();
        WriteSystemFile("ZELKO610.INI", file);
        EXPECT_EQ(IniImportSettings(Device()), STATUS_SUCCESS);
        EXPECT_EQ(StoredVersion(), 4u);
        return sim::registry::Dump(SettingsKey());
    };
    const std::string expected = import(crlf);
    ASSERT_NE(expected.find("HeadPhoneOutName"), std::string::npos);
    ASSERT_NE(expected.find("Band3"), std::string::npos);
    ASSERT_NE(expected.find("Last"), std::string::npos);

    std::string lf = crlf;
    std::erase(lf, '\r');
    EXPECT_EQ(import(lf), expected);
    std::string cr = crlf;
    std::erase(cr, '\n');
    EXPECT_EQ(import(cr), expected);
    // Mixed, and blank lines of every kind between them.
    std::string mixed;
    bool crOnly = false;
    for (size_t at = 0, end; (end = crlf.find("\r\n", at)) != std::string::npos; at = end + 2)
    {
        mixed += crlf.substr(at, end - at) + (crOnly ? "\r\n\r" : "\n\r\n");
        crOnly = !crOnly;
    }
    EXPECT_EQ(import(mixed + "Last=0x07"), expected);
}

// Past the stated limits the import stops with a logged reason: the values before the limit are
// written, the version is not recorded, and the file is closed.
TEST_F(IniImportTest, ValuesPastTheLimitsAreNotImported)
{
    const std::string head = Crlf({"[VERSION]", "Version=1", "[SALVIN]", std::string(kHardwareId) + "=Dev"});
    auto values = [](std::string_view prefix, unsigned count, std::string_view eol = "\r\n")
    {
        std::string out;
        for (unsigned i = 0; i < count; ++i)
            (out += std::string(prefix) + std::to_string(i) + "=" + std::to_string(i)) += eol;
        return out;
    };
    auto import = [&](const std::string &file)
    {
        sim::registry::Reset();
        SetUpDevice();
        sim::ClearDebugLog();
        WriteSystemFile("ZELKO610.INI", file);
        return IniImportSettings(Device());
    };

    // A section of exactly the limit, comments and invalid lines between its values, imports whole.
    EXPECT_EQ(import(head + "[Dev]\r\n; values\r\nBroken line\r\n" + values("V", INI_MAX_SECTION_VALUES) +
                     "[Dev:EQ]\r\nBand=0x01\r\n"),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::registry::ValueNames(SettingsKey()).size(), INI_MAX_SECTION_VALUES + 1u); // + IniVersion
    EXPECT_TRUE(Setting("Band", "EQ"));
    EXPECT_EQ(StoredVersion(), 1u);
    EXPECT_FALSE(sim::DebugLogContains("import stopped"));

    // One more: the import stops at it, LF files as CR LF ones; later sections are not read.
    for (const char *eol : {"\r\n", "\n"})
    {
        SCOPED_TRACE(eol == std::string("\n") ? "LF" : "CR LF");
        std::string file = head + "[Dev:EQ]" + eol + values("V", INI_MAX_SECTION_VALUES + 1, eol) + "[Dev]" +
                           eol + "After=0x01" + eol;
        if (*eol == '\n')
            std::erase(file, '\r');
        EXPECT_EQ(import(file), STATUS_IMPLEMENTATION_LIMIT);
        const auto names = sim::registry::ValueNames(SettingsKey() + "\\EQ");
        ASSERT_EQ(names.size(), size_t(INI_MAX_SECTION_VALUES));
        EXPECT_EQ(names.back(), "V" + std::to_string(INI_MAX_SECTION_VALUES - 1));
        EXPECT_FALSE(Setting("After"));
        EXPECT_FALSE(StoredVersion());
        EXPECT_EQ(
            sim::DebugLogCount("IniReader section [Dev:EQ] holds more than 1024 values: import stopped"), 1u);
        EXPECT_EQ(sim::files::OpenFiles(), 0u);
        EXPECT_EQ(sim::registry::OpenKeyHandles(), 0u);
    }

    // Sections each within the limit, but more values for this device than a file may hold; another
    // device's values do not count.
    std::string file = head + "[Other]\r\n" + values("O", INI_MAX_SECTION_VALUES);
    for (unsigned section = 0; section * INI_MAX_SECTION_VALUES <= INI_MAX_FILE_VALUES; ++section)
        file += "[Dev:S" + std::to_string(section) + "]\r\n" + values("V", INI_MAX_SECTION_VALUES);
    EXPECT_EQ(import(file), STATUS_IMPLEMENTATION_LIMIT);
    size_t written = 0;
    for (const auto &sub : sim::registry::SubkeyNames(SettingsKey()))
        written += sim::registry::ValueNames(SettingsKey() + "\\" + sub).size();
    EXPECT_EQ(written, size_t(INI_MAX_FILE_VALUES));
    EXPECT_FALSE(StoredVersion());
    EXPECT_TRUE(sim::DebugLogContains(
        "IniReader \\SystemRoot\\ZELKO610.INI holds more than 4096 values for [Dev]: import stopped"));
}

TEST_F(IniImportTest, LastLineWithoutCrAndSectionsInFileOrder)
{
    WriteSystemFile("ZELKO610.INI",
                    Crlf({"[VERSION]", "Version=1", "[SALVIN]", std::string(kHardwareId) + "=Dev", "[Dev]",
                          "Level=1", "[Other]", "Level=2", "[Dev]", "Level=3"}) +
                        "Last=0x07"); // no CR after the last value
    ASSERT_EQ(IniImportSettings(Device()), STATUS_SUCCESS);
    EXPECT_EQ(Setting("Level")->data, (std::vector<uint8_t>{3, 0, 0, 0}));
    EXPECT_EQ(Setting("Last")->data, (std::vector<uint8_t>{0x07}));

    // The version itself may be the last line of the file.
    sim::registry::Reset();
    SetUpDevice();
    WriteSystemFile("ZELKO610.INI",
                    Crlf({"[SALVIN]", std::string(kHardwareId) + "=Dev", "[Dev]", "Level=1", "[VERSION]"}) +
                        "Version=0x02");
    ASSERT_EQ(IniImportSettings(Device()), STATUS_SUCCESS);
    EXPECT_EQ(StoredVersion(), 2u);
}

TEST_F(IniImportTest, OverLongLineIsSkippedUpToItsCr)
{
    // A line past the 4096-byte buffer must neither be cut into a value nor swallow the next line.
    const std::string longLine = "Long=" + std::string(5000, '1');
    const std::string exact = "Exact=" + std::string(4096 - 6 - 5, ' ') + "0x2A"; // 4095 bytes: kept
    WriteSystemFile("ZELKO610.INI",
                    Crlf({"[VERSION]", "Version=1", "[SALVIN]", std::string(kHardwareId) + "=Dev", "[Dev]",
                          longLine, "After=0x01", exact, "[" + std::string(5000, 'D') + "]", "Still=0x02"}) +
                        "Tail=" + std::string(6000, '2'));
    ASSERT_EQ(IniImportSettings(Device()), STATUS_SUCCESS);
    EXPECT_FALSE(Setting("Long"));
    EXPECT_EQ(Setting("After")->data, (std::vector<uint8_t>{0x01}));
    EXPECT_EQ(Setting("Exact")->data, (std::vector<uint8_t>{0x2A}));
    EXPECT_EQ(Setting("Still")->data, (std::vector<uint8_t>{0x02})); // an over-long header is no header
    EXPECT_FALSE(Setting("Tail"));
    EXPECT_EQ(StoredVersion(), 1u);
}

TEST_F(IniImportTest, VersionOfOneByteTokenReadsAsThatNumber)
{
    StoreVersion(4);
    WriteSystemFile("ZELKO610.INI", Crlf({"[VERSION]", "Version=0x05", "[SALVIN]",
                                          std::string(kHardwareId) + "=Dev", "[Dev]", "Gain=0x01"}));
    ASSERT_EQ(IniImportSettings(Device()), STATUS_SUCCESS);
    EXPECT_EQ(StoredVersion(), 5u);
    EXPECT_TRUE(Setting("Gain"));
}

TEST_F(IniImportTest, ModuleNameChoosesTheFileWhenItsPathFits)
{
    WriteSystemFile("CUSTOM.INI", StandardFile("4"));
    sim::registry::SetString(SettingsKey(), "ModuleName", "custom.ini");
    {
        IniReader reader(Device());
        ASSERT_EQ(reader.Prepare(), STATUS_SUCCESS);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(reader.Path())),
                  u"\\SystemRoot\\custom.ini");
        EXPECT_STREQ(reader.DeviceKey(), "USB\\VID_5A4C&PID_0610&REV_0100");
        EXPECT_EQ(reader.ReadVersion(), 4u);
    }

    // 38 characters do not fit the 50-character path with "\SystemRoot\": the default is used.
    sim::registry::SetString(SettingsKey(), "ModuleName", std::string(34, 'X') + ".INI");
    {
        IniReader reader(Device());
        ASSERT_EQ(reader.Prepare(), STATUS_SUCCESS);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(reader.Path())),
                  u"\\SystemRoot\\ZELKO610.INI");
    }
    // 37 characters fit exactly.
    sim::registry::SetString(SettingsKey(), "ModuleName", std::string(33, 'Y') + ".INI");
    {
        IniReader reader(Device());
        ASSERT_EQ(reader.Prepare(), STATUS_SUCCESS);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(reader.Path())).size(), 49u);
    }
    // A stored name of 100 bytes without terminator, or longer than 100 bytes, gives the default.
    for (size_t chars : {50u, 60u})
    {
        sim::registry::SetValue(SettingsKey(), "ModuleName", REG_SZ, Utf16(std::string(chars, 'Z')));
        IniReader reader(Device());
        ASSERT_EQ(reader.Prepare(), STATUS_SUCCESS);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(reader.Path())),
                  u"\\SystemRoot\\ZELKO610.INI");
    }
    // An unterminated short name is terminated.
    sim::registry::SetValue(SettingsKey(), "ModuleName", REG_SZ, Utf16("custom.ini"));
    StoreVersion(0);
    ASSERT_EQ(IniImportSettings(Device()), STATUS_SUCCESS);
    EXPECT_EQ(StoredVersion(), 4u);
}

TEST_F(IniImportTest, ShorterDeviceKeyDoesNotMatchALongerIdentifier)
{
    // This device's identifier is a prefix of the one listed: not a match.
    sim::registry::Reset();
    instance = sim::registry::CreateDeviceInstance({{"USB\\VID_5A4C&PID_06"}, "1", ""});
    sim::registry::BindDevice(Device(), instance);
    WriteSystemFile("ZELKO610.INI", StandardFile("4"));
    EXPECT_EQ(IniImportSettings(Device()), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(Setting("Gain"));
    EXPECT_FALSE(StoredVersion());
}

TEST_F(IniImportTest, ReadFailureFailsTheImportAndKeepsTheVersion)
{
    StoreVersion(3);
    const std::string file = StandardFile("4");
    WriteSystemFile("ZELKO610.INI", file);
    // One read per byte: count the reads of the version pass and of the search and import pass up to
    // the value, and fail the read of its first byte.
    const size_t versionEnd = file.find("Version=4\r\n") + 11;
    const ULONG failAfter = ULONG(versionEnd + file.find("HeadPhoneOutName"));
    sim::files::FailReadsAfter(failAfter, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(IniImportSettings(Device()), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(StoredVersion(), 3u);
    EXPECT_TRUE(Setting("ASIOMLSampleRate")); // the line before
    EXPECT_FALSE(Setting("HeadPhoneOutName"));
    EXPECT_EQ(sim::files::OpenFiles(), 0u);
}

TEST_F(IniImportTest, EveryFailedAllocationFailsCleanly)
{
    auto seed = [&]
    {
        sim::registry::Reset();
        SetUpDevice();
        StoreVersion(3);
        sim::registry::SetString(SettingsKey(), "ModuleName", "ZELKO610.INI");
    };
    WriteSystemFile("ZELKO610.INI", StandardFile("4"));
    seed();
    const size_t before = sim::pool::AllocationCount();
    ASSERT_EQ(IniImportSettings(Device()), STATUS_SUCCESS);
    const size_t allocations = sim::pool::AllocationCount() - before;
    // Reader, scratch and line buffer; "ModuleName" and "IniVersion" reads (driver key, "Settings",
    // query buffer); three root writes (two keys each), one sub-key write (three); the version write.
    ASSERT_EQ(allocations, 3u + 3 + 3 + 3 * 2 + 3 + 2);
    const size_t baseline = sim::pool::OutstandingBlocks();

    for (size_t n = 1; n <= allocations; ++n)
    {
        seed();
        sim::pool::FailNthAllocation(unsigned(n));
        EXPECT_EQ(IniImportSettings(Device()), STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
        EXPECT_EQ(StoredVersion(), 3u) << "allocation " << n;
        EXPECT_EQ(sim::registry::OpenKeyHandles(), 0u);
        EXPECT_EQ(sim::files::OpenFiles(), 0u);
        EXPECT_EQ(sim::pool::OutstandingBlocks(), baseline);
    }
}

} // namespace
