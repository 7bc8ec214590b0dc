// Force format with the sandbox's stand-in format.com: the window search by
// title, the Enter keystrokes, the wait, the exit code; the boot-time run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/force_format.h"
#include "tests/testing.h"

using namespace testing_util;

namespace {

const wchar_t kRecord[] = L"C:\\tests\\format-record.txt";
const wchar_t kFails[] = L"C:\\tests\\format-fails";

std::wstring SystemFormat()
{
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system) + L"\\format.com";
}

std::vector<std::wstring> Recorded()
{
    const std::string bytes = ReadFileBytes(kRecord);
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    std::vector<std::wstring> lines;
    std::wstring::size_type start = 0;
    for (std::wstring::size_type end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

class FormatTest : public ::testing::Test
{
protected:
    void SetUp()
    {
        // As from StickMedic (a window program): no console of our own, so
        // format.com gets a console window of its own.
        ::FreeConsole();
        ASSERT_TRUE(::CopyFileW(L"C:\\tests\\format.com", SystemFormat().c_str(), FALSE));
        ::DeleteFileW(kRecord);
        ::DeleteFileW(kFails);
    }
    void TearDown() { ::DeleteFileW(kFails); }
};

DWORD RunProgram(const std::wstring& arguments, DWORD wait = 60000)
{
    std::wstring command = L"\"C:\\tests\\StickMedic.exe\"" + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL, &startup, &info))
        return 0xFFFFFFFF;
    ::WaitForInputIdle(info.hProcess, 5000);
    DWORD code = STILL_ACTIVE;
    if (::WaitForSingleObject(info.hProcess, wait) == WAIT_TIMEOUT)
        ::TerminateProcess(info.hProcess, 99);
    ::WaitForSingleObject(info.hProcess, 5000);
    ::GetExitCodeProcess(info.hProcess, &code);
    ::CloseHandle(info.hProcess);
    ::CloseHandle(info.hThread);
    return code;
}

}  // namespace

TEST_F(FormatTest, TheDriveOfTheChosenFolderIsFormattedQuickly)
{
    EXPECT_EQ(1, FormatDrive(L"E:\\"));
    EXPECT_EQ(1, FormatDrive(L"E:\\photos"));
    const std::vector<std::wstring> lines = Recorded();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(SystemFormat() + L" /q/x E:", lines[0]);
    EXPECT_EQ(lines[0], lines[1]);
}

TEST_F(FormatTest, AFailingOrMissingFormatIsAFailure)
{
    ASSERT_TRUE(WriteFileBytes(kFails, "x"));
    EXPECT_EQ(0, FormatDrive(L"E:\\"));
    EXPECT_EQ(1u, Recorded().size()) << "it ran, answered, and failed";
    ::DeleteFileW(SystemFormat().c_str());
    EXPECT_EQ(0, FormatDrive(L"E:\\"));
}

TEST_F(FormatTest, SecondProcFormatsWithoutAWindowAndExitsWithZero)
{
    EXPECT_EQ(0u, RunProgram(L" second_proc E:\\"));
    EXPECT_EQ(0u, RunProgram(L" SECOND_PROC E:\\photos"));
    EXPECT_EQ(0u, RunProgram(L" second_proc")) << "no argument: nothing to format";
    const std::vector<std::wstring> lines = Recorded();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(SystemFormat() + L" /q/x E:", lines[0]);
    EXPECT_EQ(SystemFormat() + L" /q/x E:", lines[1]);
    // The switch needs the blank before it: at the very start it is no switch,
    // and the window shows (ended here after a while).
    std::wstring command = L"second_proc E:\\";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(::CreateProcessW(L"C:\\tests\\StickMedic.exe", &command[0], NULL, NULL, FALSE, 0, NULL, NULL,
                                 &startup, &info));
    EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(info.hProcess, 3000));
    ::TerminateProcess(info.hProcess, 0);
    ::WaitForSingleObject(info.hProcess, 5000);
    ::CloseHandle(info.hProcess);
    ::CloseHandle(info.hThread);
    EXPECT_EQ(2u, Recorded().size());
}

TEST_F(FormatTest, TheBootTimeRunFormatsThroughRunOnce)
{
    const std::wstring key = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
    CreateKey(HKEY_LOCAL_MACHINE, key);
    // As the program writes it for itself.
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, key, L"QuorvelKillerTools",
                           L"\"C:\\tests\\StickMedic.exe\" second_proc E:\\"));
    std::wstring command = L"wineboot.exe --restart";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(::CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(info.hProcess, 120000));
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    const std::vector<std::wstring> lines = Recorded();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(SystemFormat() + L" /q/x E:", lines[0]);
    std::wstring left;
    EXPECT_FALSE(GetRegText(HKEY_LOCAL_MACHINE, key, L"QuorvelKillerTools", left)) << "RunOnce runs once";
}
