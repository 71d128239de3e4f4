// ZwCreateFile / ZwReadFile over the "\SystemRoot\" sandbox.
#include <ntkernel.h>
#include <sim/files_sim.h>

#include "support/kernel_test.h"

#include <fstream>
#include <string>
#include <vector>

namespace
{

class FileApiTest : public KernelTest
{
protected:
    void Write(const std::string &name, const std::string &bytes)
    {
        std::ofstream(sim::files::SystemRoot() / name, std::ios::binary) << bytes;
    }

    NTSTATUS Open(std::string_view path, HANDLE *file, ACCESS_MASK access = GENERIC_READ,
                  ULONG disposition = FILE_OPEN)
    {
        std::vector<WCHAR> text;
        for (char c : path)
            text.push_back(WCHAR(UCHAR(c)));
        UNICODE_STRING name = {USHORT(text.size() * 2), USHORT(text.size() * 2), text.data()};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                                   nullptr);
        IO_STATUS_BLOCK io{};
        return ZwCreateFile(file, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ,
                            disposition, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    }

    NTSTATUS Read(HANDLE file, LONGLONG at, ULONG length, std::string &out, ULONG_PTR &information)
    {
        std::vector<char> buffer(length + 1, '#');
        IO_STATUS_BLOCK io{};
        io.Information = 12345;
        LARGE_INTEGER offset;
        offset.QuadPart = at;
        const NTSTATUS status =
            ZwReadFile(file, nullptr, nullptr, nullptr, &io, buffer.data(), length, &offset, nullptr);
        if (status == STATUS_INVALID_PARAMETER)
        {
            // Rejected before any I/O: the status block is not written.
            EXPECT_EQ(io.Information, 12345u);
            information = 0;
            return status;
        }
        EXPECT_EQ(io.Status, status);
        information = io.Information;
        out.assign(buffer.data(), information);
        EXPECT_EQ(buffer[information], '#'); // nothing written past the count
        return status;
    }
};

TEST_F(FileApiTest, OpensBelowSystemRootIgnoringCase)
{
    Write("ZELKO610.INI", "abc");
    HANDLE file = nullptr;
    ASSERT_EQ(Open("\\SystemRoot\\zelko610.ini", &file), STATUS_SUCCESS);
    EXPECT_EQ(sim::files::OpenFiles(), 1u);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
    EXPECT_EQ(sim::files::OpenFiles(), 0u);

    EXPECT_EQ(Open("\\SystemRoot\\MISSING.INI", &file), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(Open("\\SystemRoot\\..\\ZELKO610.INI", &file), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open("\\Windows\\ZELKO610.INI", &file), STATUS_OBJECT_PATH_NOT_FOUND);
    std::filesystem::create_directory(sim::files::SystemRoot() / "drivers");
    EXPECT_EQ(Open("\\SystemRoot\\Drivers", &file), STATUS_FILE_IS_A_DIRECTORY);
    // Read-only stand-in: no writing, no creating.
    EXPECT_EQ(Open("\\SystemRoot\\ZELKO610.INI", &file, GENERIC_READ | GENERIC_WRITE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open("\\SystemRoot\\NEW.INI", &file, GENERIC_READ, FILE_OPEN_IF), STATUS_ACCESS_DENIED);

    sim::files::SetSystemRoot({});
    EXPECT_EQ(Open("\\SystemRoot\\ZELKO610.INI", &file), STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(FileApiTest, ReadsAtTheGivenOffsetAndEndsWithEndOfFile)
{
    Write("A.INI", "[VERSION]\r\n");
    HANDLE file = nullptr;
    ASSERT_EQ(Open("\\SystemRoot\\A.INI", &file), STATUS_SUCCESS);
    std::string got;
    ULONG_PTR count = 0;
    EXPECT_EQ(Read(file, 1, 1, got, count), STATUS_SUCCESS);
    EXPECT_EQ(got, "V");
    EXPECT_EQ(Read(file, 0, 4, got, count), STATUS_SUCCESS);
    EXPECT_EQ(got, "[VER");
    EXPECT_EQ(Read(file, 9, 100, got, count), STATUS_SUCCESS); // short read at the end
    EXPECT_EQ(got, "\r\n");
    EXPECT_EQ(Read(file, 11, 1, got, count), STATUS_END_OF_FILE);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Read(file, 1000, 1, got, count), STATUS_END_OF_FILE);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Read(file, -5, 1, got, count), STATUS_INVALID_PARAMETER);
    ZwClose(file);
}

TEST_F(FileApiTest, InjectedReadFailureAndLeftOpenFileAreReported)
{
    Write("A.INI", "xyz");
    HANDLE file = nullptr;
    ASSERT_EQ(Open("\\SystemRoot\\A.INI", &file), STATUS_SUCCESS);
    std::string got;
    ULONG_PTR count = 0;
    sim::files::FailReadsAfter(1, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Read(file, 0, 1, got, count), STATUS_SUCCESS);
    EXPECT_EQ(Read(file, 1, 1, got, count), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Read(file, 2, 1, got, count), STATUS_DEVICE_NOT_CONNECTED);
    sim::files::ClearReadFailure();
    EXPECT_EQ(Read(file, 2, 1, got, count), STATUS_SUCCESS);
    EXPECT_EQ(got, "z");

    EXPECT_NE(EndOfTestReport().find("files left open: 1"), std::string::npos);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
    EXPECT_EQ(EndOfTestReport(), "");
}

} // namespace
