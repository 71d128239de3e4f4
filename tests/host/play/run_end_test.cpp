// zelko-host's play and capture run in the test's process, where the kernel stand-in's end-of-run
// check can be made to find something: a run that fails at that last check writes no file, leaves no
// folder made for it and keeps an earlier file at its path as it was; the same run passing it writes.
#include <gtest/gtest.h>

#include <sim/kernel_sim.h>

#include "host/commands.h"
#include "host/wav/wav_file.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace
{

bool g_LeaveState = false;

std::string LeftState()
{
    return g_LeaveState ? "state the test says the run left behind" : "";
}

const bool registered = (sim::RegisterComponent("host run end test", nullptr, &LeftState), true);

class RunEnd : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Folder = std::filesystem::temp_directory_path() / ("host_run_end_" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_Folder);
    }
    void TearDown() override
    {
        g_LeaveState = false;
        std::filesystem::remove_all(m_Folder);
    }
    std::filesystem::path m_Folder;
};

std::string Contents(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(RunEnd, OnlyARunThatPassesItsLastCheckWrites)
{
    const struct
    {
        const char *name;
        int (*run)(const host::Options &);
    } commands[] = {{"play", host::RunPlay}, {"capture", host::RunCapture}};
    for (const auto &[name, run] : commands)
    {
        SCOPED_TRACE(name);
        host::Options options;
        options.examples = ZELKO_EXAMPLES;
        options.output = m_Folder / "new" / "deeper" / "out.wav";

        g_LeaveState = true;
        EXPECT_EQ(run(options), 1);
        EXPECT_FALSE(std::filesystem::exists(m_Folder / "new"));

        std::filesystem::create_directories(options.output.parent_path());
        std::ofstream(options.output) << "earlier";
        EXPECT_EQ(run(options), 1);
        EXPECT_TRUE(Contents(options.output) == "earlier") << "the earlier file was replaced";
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(options.output.parent_path()), {}), 1);

        g_LeaveState = false;
        EXPECT_EQ(run(options), 0);
        std::string error;
        wav::Reader written;
        ASSERT_TRUE(written.Open(options.output, &error)) << error;
        EXPECT_GT(written.Frames(), 0u);
        std::filesystem::remove_all(m_Folder / "new");
    }
}

} // namespace
