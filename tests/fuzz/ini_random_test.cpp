// Arbitrary bytes as the INI file, through the file stand-in, into the whole import: it must never
// crash, leak, leave a key or file open, write a value outside the grammar's bounds, or record a
// version for an import that failed. Deterministic seeds; a few thousand inputs.
#include "driver/core/ini_reader.h"

#include "support/device_fixture.h"

#include <random>

namespace
{

// clang-format off
const char *const kPieces[] = {
    "[VERSION]", "[SALVIN]", "\r\n", "\r\n", "\r\n", "\n", "\r", "Version=", "USB\\VID_5A4C&PID_0610&REV_0100",
    "usb\\vid_5a4c&pid_0610&rev_0100", "USB\\VID_5A4C&PID_0610", "=", " ", "\t", ";", ",", "0x", "0x1F", "0X7f",
    "48000", "4294967295", "0x12345678", "[Dev]", "[Dev:", "]", ":", "Dev", "Name", "=Dev", "Word", "[", "\0",
};
// clang-format on

const std::string kTemplate =
    "[VERSION]\r\nVersion=5\r\n[SALVIN]\r\nUSB\\VID_5A4C&PID_0610&REV_0100=Dev\r\n"
    "[Dev]\r\nGain=0x1F,0x20\r\nRate=48000\r\nName=Headphones\r\n[Dev:EQ]\r\nBand=1 2 3\r\n";

class IniRandomInputTest : public DeviceTest
{
protected:
    std::string Piece()
    {
        switch (m_Rng() % 8)
        {
        case 0:
            return std::string(1, char(m_Rng()));
        case 1:
            return std::string(1, char('0' + m_Rng() % 10));
        case 2:
            return std::string(m_Rng() % (m_Rng() % 8 == 0 ? 6000 : 100), "1aZ x,;"[m_Rng() % 7]);
        default:
        {
            const char *piece = kPieces[m_Rng() % std::size(kPieces)];
            return *piece ? std::string(piece) : std::string(1, '\0');
        }
        }
    }

    std::string Input()
    {
        std::string input;
        switch (m_Rng() % 3)
        {
        case 0: // raw bytes
            input.resize(m_Rng() % 700);
            for (char &c : input)
                c = char(m_Rng());
            break;
        case 1: // token soup
            for (unsigned n = m_Rng() % 60; n > 0; --n)
                input += Piece();
            break;
        default: // a valid file, edited
            input = kTemplate;
            for (unsigned n = 1 + m_Rng() % 6; n > 0; --n)
            {
                const size_t at = input.empty() ? 0 : m_Rng() % input.size();
                switch (m_Rng() % 4)
                {
                case 0:
                    input.insert(at, Piece());
                    break;
                case 1:
                    input.erase(at, m_Rng() % 20);
                    break;
                case 2:
                    if (!input.empty())
                        input[at] = char(m_Rng());
                    break;
                default:
                    input.insert(at, input.substr(at, m_Rng() % 200));
                    break;
                }
            }
        }
        return input;
    }

    // Every value the import may have written: REG_SZ or REG_BINARY, at most 1024 bytes (a line mixing
    // bytes and words may leave a REG_SZ of odd length: the type is the last token's).
    void CheckValues(const std::string &key, int depth)
    {
        for (const auto &name : sim::registry::ValueNames(key))
        {
            if (depth == 0 && (name == "IniVersion" || name == "ModuleName"))
                continue;
            const auto value = sim::registry::GetValue(key, name);
            ASSERT_TRUE(value);
            ASSERT_TRUE(value->type == REG_BINARY || value->type == REG_SZ) << name;
            ASSERT_LE(value->data.size(), 1024u) << name;
        }
        ASSERT_LE(depth, 1); // sections write into "Settings" or one sub-key of it
        for (const auto &sub : sim::registry::SubkeyNames(key))
            CheckValues(key + "\\" + sub, depth + 1);
    }

    std::mt19937 m_Rng{0x1A2B3C4D};
};

TEST_F(IniRandomInputTest, ArbitraryFilesImportSafely)
{
    int imported = 0;
    for (int round = 0; round < 3000; ++round)
    {
        sim::registry::Reset();
        SetUpDevice();
        const uint32_t oldVersion = m_Rng() % 4;
        if (oldVersion)
            sim::registry::SetValue(SettingsKey(), "IniVersion", REG_BINARY,
                                    sim::registry::DwordBytes(oldVersion));
        if (m_Rng() % 10 == 0)
        {
            std::vector<uint8_t> name(m_Rng() % 120);
            for (auto &b : name)
                b = uint8_t("ZELKO610.INIxyz\\"[m_Rng() % 16]);
            sim::registry::SetValue(SettingsKey(), "ModuleName", REG_SZ, name);
        }
        WriteSystemFile("ZELKO610.INI", Input());
        const bool injectAllocation = m_Rng() % 7 == 0;
        if (injectAllocation)
            sim::pool::FailNthAllocation(1 + m_Rng() % 30);
        if (m_Rng() % 10 == 0)
            sim::files::FailReadsAfter(m_Rng() % 400, STATUS_DEVICE_NOT_CONNECTED);
        const size_t blocks = sim::pool::OutstandingBlocks();

        const NTSTATUS status = IniImportSettings(Device());

        sim::pool::ClearInjection();
        sim::files::ClearReadFailure();
        ASSERT_EQ(sim::registry::OpenKeyHandles(), 0u) << "round " << round;
        ASSERT_EQ(sim::files::OpenFiles(), 0u) << "round " << round;
        ASSERT_EQ(sim::pool::OutstandingBlocks(), blocks) << "round " << round;
        CheckValues(SettingsKey(), 0);

        const auto stored = Setting("IniVersion");
        const uint32_t newVersion = stored && stored->data.size() == 4
                                        ? stored->data[0] | stored->data[1] << 8 | stored->data[2] << 16 |
                                              uint32_t(stored->data[3]) << 24
                                        : 0;
        if (!NT_SUCCESS(status))
            ASSERT_EQ(newVersion, oldVersion) << "round " << round;
        else if (newVersion != oldVersion)
        {
            ASSERT_GT(newVersion, oldVersion) << "round " << round;
            ++imported;
        }
        if (HasFatalFailure())
            return;
    }
    // The inputs reach the import, not only the parser's rejections.
    EXPECT_GT(imported, 100);
}

} // namespace
