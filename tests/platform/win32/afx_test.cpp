#include "support/drvsetup_sim.h"

#include <afxwin.h>

#include <cerrno>

namespace
{
using AfxTest = DrvsetupSimTest;

TEST_F(AfxTest, FrameworkStartsForTheOwnModuleUnlessSwitchedToFail)
{
    HMODULE self = GetModuleHandleA(NULL);
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(GetModuleHandleA(NULL), self);
    EXPECT_EQ(AfxWinInit(self, NULL, GetCommandLineA(), 0), TRUE);
    EXPECT_EQ(AfxWinInit(NULL, NULL, GetCommandLineA(), 0), FALSE);

    ::setenv("DRVSETUP_SIM_AFX_FAIL", "1", 1);
    EXPECT_EQ(AfxWinInit(self, NULL, GetCommandLineA(), 0), FALSE);
    ::setenv("DRVSETUP_SIM_AFX_FAIL", "0", 1);
    EXPECT_EQ(AfxWinInit(self, NULL, GetCommandLineA(), 0), TRUE);
}

TEST_F(AfxTest, OnlyTheOwnModuleIsKnown)
{
    SetLastError(0);
    EXPECT_EQ(GetModuleHandleA("newdev.dll"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

TEST_F(AfxTest, CommandLineStartsWithTheProgram)
{
    const std::string line = GetCommandLineA();
    const std::string program = program_invocation_name;
    ASSERT_FALSE(program.find(' ') != std::string::npos);
    EXPECT_EQ(line.substr(0, program.size()), program);
    EXPECT_EQ(GetCommandLineA(), GetCommandLineA()) << "one string for the process's life";
}
} // namespace
