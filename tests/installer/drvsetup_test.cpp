#include "drvsetup_harness.h"
#include "support/drvsetup_sim.h"

#include <optional>

namespace
{
constexpr const char *kFatal = "Fatal Error: MFC initialization failed\n";
constexpr const char *kDevices =
    "HID\\VID_1234&PID_0001;USB\\VID_2E8A&PID_0610&REV_0100,USB\\VID_2E8A&PID_0610";
constexpr const char *kId = "USB\\VID_2E8A&PID_0610&REV_0100";

// One command line and scenario, with what the caller must see. "{inf}" and "{dir}" in arguments stand
// for the fixture's INF file and folder.
struct Case
{
    const char *name;
    std::vector<std::string> args;
    std::vector<std::pair<const char *, std::string>> env;
    int exitCode;
    const char *err = "";
    // The installation call's result in the log, when drvsetup must have made one.
    std::optional<std::string> result = std::nullopt;
};

const std::string kOk = "TRUE, reboot FALSE";
const std::string kNoDevice = "FALSE, error 0xE000020B";
const std::string kNoFile = "FALSE, error 0x2";
const std::string kBig(100 * 1024, 'A');

const Case kCases[] = {
    {"no argument", {}, {{"DRVSETUP_SIM_DEVICES", kDevices}}, 1},
    {"one argument", {kId}, {{"DRVSETUP_SIM_DEVICES", kDevices}}, 1},
    {"three arguments", {kId, "{inf}", "x"}, {{"DRVSETUP_SIM_DEVICES", kDevices}}, 1},
    {"five arguments", {kId, "{inf}", "a", "b", "c"}, {{"DRVSETUP_SIM_DEVICES", kDevices}}, 1},
    {"exact ID", {kId, "{inf}"}, {{"DRVSETUP_SIM_DEVICES", kDevices}}, 0, "", kOk},
    {"ID in other case",
     {"usb\\Vid_2e8a&PID_0610&rev_0100", "{inf}"},
     {{"DRVSETUP_SIM_DEVICES", kDevices}},
     0,
     "",
     kOk},
    {"second, less specific ID",
     {"USB\\VID_2E8A&PID_0610", "{inf}"},
     {{"DRVSETUP_SIM_DEVICES", kDevices}},
     0,
     "",
     kOk},
    {"prefix of an ID", {"USB\\VID_2E8A", "{inf}"}, {{"DRVSETUP_SIM_DEVICES", kDevices}}, 1, "", kNoDevice},
    {"no device present", {kId, "{inf}"}, {}, 1, "", kNoDevice},
    {"missing INF", {kId, "{dir}/missing.inf"}, {{"DRVSETUP_SIM_DEVICES", kDevices}}, 1, "", kNoFile},
    {"relative INF", {kId, "zelko610.inf"}, {{"DRVSETUP_SIM_DEVICES", kDevices}}, 1, "", kNoFile},
    {"INF is a folder", {kId, "{dir}"}, {{"DRVSETUP_SIM_DEVICES", kDevices}}, 1, "", kNoFile},
    {"reboot required",
     {kId, "{inf}"},
     {{"DRVSETUP_SIM_DEVICES", kDevices}, {"DRVSETUP_SIM_REBOOT", "1"}},
     0,
     "",
     "TRUE, reboot TRUE"},
    {"framework fails",
     {kId, "{inf}"},
     {{"DRVSETUP_SIM_DEVICES", kDevices}, {"DRVSETUP_SIM_AFX_FAIL", "1"}},
     1,
     kFatal},
    {"access denied",
     {kId, "{inf}"},
     {{"DRVSETUP_SIM_DEVICES", kDevices}, {"DRVSETUP_SIM_FAIL", "5"}},
     1,
     "",
     "FALSE, error 0x5"},
    {"no driver in INF",
     {kId, "{inf}"},
     {{"DRVSETUP_SIM_DEVICES", kDevices}, {"DRVSETUP_SIM_FAIL", "0xE0000228"}},
     1,
     "",
     "FALSE, error 0xE0000228"},
    {"cancelled",
     {kId, "{inf}"},
     {{"DRVSETUP_SIM_DEVICES", kDevices}, {"DRVSETUP_SIM_FAIL", "1223"}},
     1,
     "",
     "FALSE, error 0x4C7"},
    {"malformed device list",
     {kId, "{inf}"},
     {{"DRVSETUP_SIM_DEVICES", std::string(kId) + ",,X"}},
     1,
     "",
     kNoDevice},
    {"100 KiB device list",
     {kId, "{inf}"},
     {{"DRVSETUP_SIM_DEVICES", std::string(kId) + ";" + kBig}},
     1,
     "",
     kNoDevice},
};

class DrvsetupTest : public DrvsetupSimTest
{
protected:
    std::vector<std::string> argsOf(const Case &c)
    {
        std::vector<std::string> args;
        for (std::string arg : c.args)
        {
            if (arg == "{inf}")
                arg = inf;
            else if (arg.rfind("{dir}", 0) == 0)
                arg = dir.string() + arg.substr(5);
            args.push_back(arg);
        }
        return args;
    }

    // Sets the case's environment and gives its arguments.
    std::vector<std::string> prepare(const Case &c)
    {
        clearEnv();
        ::setenv("DRVSETUP_SIM_LOG", log.c_str(), 1);
        for (const auto &[name, value] : c.env)
            ::setenv(name, value.c_str(), 1);
        return argsOf(c);
    }

    // The log holds the one installation call the case expects, with the arguments as given, the
    // force flag and the reboot flag cleared before the call; or no call at all.
    void expectLoggedCall(const Case &c, const std::vector<std::string> &args)
    {
        std::vector<std::string> calls;
        for (const std::string &line : takeLog())
            if (line.rfind("note: ", 0) != 0)
                calls.push_back(line);
        if (!c.result)
        {
            EXPECT_TRUE(calls.empty()) << calls.front();
            return;
        }
        std::string id;
        for (char ch : args[0])
            id += ch == '\\' ? std::string("\\\\") : std::string(1, ch);
        EXPECT_EQ(calls, std::vector<std::string>{callLine(id, args[1], *c.result)});
    }
};

TEST_F(DrvsetupTest, ProgramExitCodeOutputAndCalls)
{
    for (const Case &c : kCases)
    {
        SCOPED_TRACE(c.name);
        const auto args = prepare(c);
        const ProgramRun run = runDrvsetup(args, dir);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, c.err);
        expectLoggedCall(c, args);
    }
}

TEST_F(DrvsetupTest, InProcessCallsFollowTheSameSteps)
{
    for (const Case &c : kCases)
    {
        SCOPED_TRACE(c.name);
        const auto args = prepare(c);
        RecordingPlatform platform;
        EXPECT_EQ(runDrvsetupMain(args, platform), c.exitCode);
        EXPECT_EQ(platform.err, c.err);
        expectLoggedCall(c, args);
        if (args.size() != 2)
        {
            EXPECT_TRUE(platform.inits.empty()) << "the framework starts only for a valid command line";
            continue;
        }
        ASSERT_EQ(platform.inits.size(), 1u);
        EXPECT_NE(platform.inits[0].instance, nullptr);
        EXPECT_EQ(platform.inits[0].previous, nullptr);
        EXPECT_EQ(platform.inits[0].commandLine, GetCommandLineA());
        EXPECT_EQ(platform.inits[0].show, 0);
        if (*c.err != '\0')
        {
            EXPECT_TRUE(platform.updates.empty());
            continue;
        }
        ASSERT_EQ(platform.updates.size(), 1u);
        const auto &call = platform.updates[0];
        EXPECT_EQ(call.parent, nullptr);
        EXPECT_EQ(call.hardwareId, args[0]);
        EXPECT_EQ(call.infPath, args[1]);
        EXPECT_EQ(call.flags, 1u);
        EXPECT_EQ(call.rebootBefore, FALSE);
        EXPECT_EQ(call.result, c.exitCode == 0 ? TRUE : FALSE);
    }
}
} // namespace
