// Fixture for tests of the device-installation stand-in and of drvsetup: a fresh folder holding an INF
// file and the call log, and the stand-in's environment cleared before and after each test.
#pragma once

#include "support/test_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

class DrvsetupSimTest : public ::testing::Test
{
protected:
    static constexpr const char *kEnvNames[] = {"DRVSETUP_SIM_DEVICES", "DRVSETUP_SIM_DEVICES_FILE",
                                                "DRVSETUP_SIM_REBOOT",  "DRVSETUP_SIM_FAIL",
                                                "DRVSETUP_SIM_LOG",     "DRVSETUP_SIM_AFX_FAIL"};

    void SetUp() override
    {
        clearEnv();
        dir = freshTestDirectory();
        inf = (dir / "zelko610.inf").string();
        std::ofstream(inf) << "[Version]\n";
        log = (dir / "calls.log").string();
        ::setenv("DRVSETUP_SIM_LOG", log.c_str(), 1);
    }

    void TearDown() override
    {
        clearEnv();
        std::filesystem::remove_all(dir);
    }

    static void clearEnv()
    {
        for (const char *name : kEnvNames)
            ::unsetenv(name);
    }

    // The call log's lines so far; the log is emptied so each check sees only what followed it.
    std::vector<std::string> takeLog()
    {
        std::vector<std::string> lines;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        in.close();
        std::filesystem::remove(log);
        return lines;
    }

    // The log line of one call, as the stand-in documents it.
    static std::string callLine(const std::string &id, const std::string &path, const std::string &result)
    {
        return "UpdateDriverForPlugAndPlayDevicesA(NULL, \"" + id + "\", \"" + path +
               "\", 0x1, reboot FALSE) -> " + result;
    }

    std::filesystem::path dir;
    std::string inf;
    std::string log;
};
