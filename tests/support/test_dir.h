// A fresh, empty folder for the running test, named after it and this process so parallel runs of
// the suite never share one.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <unistd.h>

inline std::filesystem::path freshTestDirectory()
{
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char &c : name)
        if (c == '/')
            c = '_';
    const auto dir =
        std::filesystem::temp_directory_path() / ("zelko-" + std::to_string(::getpid()) + "-" + name);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}
