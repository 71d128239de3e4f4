#include "support/drvsetup_sim.h"

#include <newdev.h>

namespace
{
constexpr const char *kHeadset = "USB\\VID_2E8A&PID_0610&REV_0100,USB\\VID_2E8A&PID_0610";
constexpr const char *kOther = "HID\\VID_1234&PID_0001";

class NewdevTest : public DrvsetupSimTest
{
protected:
    // Runs one call with a reboot flag preset to `before`; returns the result and keeps the error.
    BOOL update(LPCSTR id, LPCSTR path, DWORD flags = INSTALLFLAG_FORCE, BOOL before = FALSE)
    {
        reboot = before;
        SetLastError(0x1234);
        const BOOL result = UpdateDriverForPlugAndPlayDevicesA(NULL, id, path, flags, &reboot);
        error = GetLastError();
        return result;
    }

    void setDevices(const std::string &list) { ::setenv("DRVSETUP_SIM_DEVICES", list.c_str(), 1); }

    BOOL reboot = FALSE;
    DWORD error = 0;
};

TEST_F(NewdevTest, MatchesWholeIdsOfEveryDeviceIgnoringCase)
{
    setDevices(std::string(kOther) + ";" + kHeadset);
    const char *matching[] = {"USB\\VID_2E8A&PID_0610&REV_0100", "usb\\vid_2e8a&pid_0610&rev_0100",
                              "USB\\VID_2E8A&PID_0610", "hid\\VID_1234&pid_0001"};
    for (const char *id : matching)
    {
        EXPECT_EQ(update(id, inf.c_str()), TRUE) << id;
        EXPECT_EQ(error, 0u) << id;
        EXPECT_EQ(reboot, FALSE) << id;
    }
    // A prefix, a longer ID and a non-ASCII case variant are other IDs.
    const char *other[] = {"USB\\VID_2E8A", "USB\\VID_2E8A&PID_0610&REV_01000", "USB\\VID_2E8A&PID_0610 ",
                           "\xC3\xA4USB\\VID_2E8A&PID_0610"};
    for (const char *id : other)
    {
        EXPECT_EQ(update(id, inf.c_str()), FALSE) << id;
        EXPECT_EQ(error, ERROR_NO_SUCH_DEVINST) << id;
    }
}

TEST_F(NewdevTest, RejectsBadArgumentsWithTheDocumentedErrors)
{
    setDevices(kHeadset);
    const std::string id = "USB\\VID_2E8A&PID_0610";
    const std::string folder = dir.string();
    const std::string relative = std::filesystem::relative(inf).string();
    const std::string missing = folder + "/missing.inf";
    struct Case
    {
        LPCSTR id, path;
        DWORD flags, error;
    } cases[] = {
        {nullptr, inf.c_str(), INSTALLFLAG_FORCE, ERROR_INVALID_PARAMETER},
        {"", inf.c_str(), INSTALLFLAG_FORCE, ERROR_INVALID_PARAMETER},
        {id.c_str(), nullptr, INSTALLFLAG_FORCE, ERROR_INVALID_PARAMETER},
        {id.c_str(), "", INSTALLFLAG_FORCE, ERROR_INVALID_PARAMETER},
        {id.c_str(), inf.c_str(), 0x8, ERROR_INVALID_FLAGS},
        {id.c_str(), inf.c_str(), 0x80000001u, ERROR_INVALID_FLAGS},
        {id.c_str(), relative.c_str(), INSTALLFLAG_FORCE, ERROR_FILE_NOT_FOUND},
        {id.c_str(), "zelko610.inf", INSTALLFLAG_FORCE, ERROR_FILE_NOT_FOUND},
        {id.c_str(), folder.c_str(), INSTALLFLAG_FORCE, ERROR_FILE_NOT_FOUND},
        {id.c_str(), missing.c_str(), INSTALLFLAG_FORCE, ERROR_FILE_NOT_FOUND},
    };
    for (const Case &c : cases)
    {
        EXPECT_EQ(update(c.id, c.path, c.flags, TRUE), FALSE);
        EXPECT_EQ(error, c.error) << (c.id ? c.id : "NULL") << " " << (c.path ? c.path : "NULL") << " "
                                  << c.flags;
        EXPECT_EQ(reboot, TRUE) << "a failed call leaves the caller's flag alone";
    }
    // Every defined flag bit is accepted.
    EXPECT_EQ(update(id.c_str(), inf.c_str(), INSTALLFLAG_BITS), TRUE);
}

TEST_F(NewdevTest, ReportsTheRebootScenarioAndScriptedFailures)
{
    setDevices(kHeadset);
    const char *id = "USB\\VID_2E8A&PID_0610";
    ::setenv("DRVSETUP_SIM_REBOOT", "1", 1);
    EXPECT_EQ(update(id, inf.c_str()), TRUE);
    EXPECT_EQ(reboot, TRUE);
    EXPECT_EQ(UpdateDriverForPlugAndPlayDevicesA(NULL, id, inf.c_str(), INSTALLFLAG_FORCE, nullptr), TRUE);

    const std::pair<const char *, DWORD> scripted[] = {{"5", 5}, {"0x800F0203", 0x800F0203u}, {"1223", 1223}};
    for (const auto &[text, code] : scripted)
    {
        ::setenv("DRVSETUP_SIM_FAIL", text, 1);
        EXPECT_EQ(update(id, inf.c_str()), FALSE) << text;
        EXPECT_EQ(error, code) << text;
        EXPECT_EQ(reboot, FALSE) << text;
    }
    // A value that is no error code is noted and ignored.
    takeLog();
    for (const char *bad : {"0", "abc", "5x", "-5", "0x100000000"})
    {
        ::setenv("DRVSETUP_SIM_FAIL", bad, 1);
        EXPECT_EQ(update(id, inf.c_str()), TRUE) << bad;
        const auto lines = takeLog();
        ASSERT_EQ(lines.size(), 2u) << bad;
        EXPECT_EQ(lines[0],
                  std::string("note: DRVSETUP_SIM_FAIL \"") + bad + "\" is not an error code: ignored");
    }
}

TEST_F(NewdevTest, DamagedOrOversizedListsCountAsNoDevice)
{
    const std::string id = "USB\\VID_2E8A&PID_0610";
    const std::string big = id + ";" + std::string(100 * 1024, 'A');
    const std::string malformed[] = {",",        ";",      id + ",",  "," + id,   id + ",,X",
                                     id + ";;X", id + ";", id + "\n", id + "\tX", big};
    for (const std::string &list : malformed)
    {
        setDevices(list);
        EXPECT_EQ(update(id.c_str(), inf.c_str()), FALSE);
        EXPECT_EQ(error, ERROR_NO_SUCH_DEVINST);
        const auto lines = takeLog();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], list.size() > 65536 ? "note: DRVSETUP_SIM_DEVICES over 64 KiB: no device"
                                                : "note: DRVSETUP_SIM_DEVICES malformed: no device");
    }
    // Exactly 64 KiB is still read.
    setDevices(id + ";" + std::string(65536 - id.size() - 1, 'A'));
    EXPECT_EQ(update(id.c_str(), inf.c_str()), TRUE);
}

TEST_F(NewdevTest, ReadsTheListFromAFileWhenTheVariableIsUnset)
{
    const std::string id = "USB\\VID_2E8A&PID_0610";
    const std::string file = (dir / "devices.txt").string();
    std::ofstream(file) << kOther << ";" << kHeadset << "\r\n";
    ::setenv("DRVSETUP_SIM_DEVICES_FILE", file.c_str(), 1);
    EXPECT_EQ(update(id.c_str(), inf.c_str()), TRUE);

    // The variable wins over the file, even when empty.
    setDevices("");
    EXPECT_EQ(update(id.c_str(), inf.c_str()), FALSE);
    ::unsetenv("DRVSETUP_SIM_DEVICES");

    std::ofstream(file) << id << ";" << std::string(100 * 1024, 'A');
    EXPECT_EQ(update(id.c_str(), inf.c_str()), FALSE);
    std::filesystem::remove(file);
    takeLog();
    EXPECT_EQ(update(id.c_str(), inf.c_str()), FALSE);
    const auto lines = takeLog();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "note: device file \"" + file + "\" unreadable: no device");
}

TEST_F(NewdevTest, LogsEachCallWithTheFlagBeforeItAndTheResult)
{
    setDevices("ROOT\\ZELKO610,ZELKO610");
    takeLog();
    update("zelko610", inf.c_str());
    update("ZELKO", inf.c_str(), INSTALLFLAG_FORCE, TRUE);
    ::setenv("DRVSETUP_SIM_REBOOT", "1", 1);
    update("ROOT\\ZELKO610", inf.c_str());
    update("id\x01\xFF\"", "rel.inf");
    const auto lines = takeLog();
    const std::vector<std::string> expected = {
        callLine("zelko610", inf, "TRUE, reboot FALSE"),
        "UpdateDriverForPlugAndPlayDevicesA(NULL, \"ZELKO\", \"" + inf +
            "\", 0x1, reboot TRUE) -> FALSE, error 0xE000020B",
        callLine("ROOT\\\\ZELKO610", inf, "TRUE, reboot TRUE"),
        callLine("id\\x01\\xFF\\\"", "rel.inf", "FALSE, error 0x2"),
    };
    EXPECT_EQ(lines, expected);
}
} // namespace
