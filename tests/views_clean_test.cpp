// The cleaning checks on a Windows with two registry views and two system
// folders: damage in either view is repaired (and logged) in that view only,
// the known-file worm's copies in every system and Program Files folder are
// scheduled under paths that reach them, a command naming a program that
// only the native system folder holds is left alone, and a 64-bit script
// host is ended. The same program runs in the 32-bit sandbox, where there
// is one view and one folder of each kind.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "app/scan_run.h"
#include "killers/command.h"
#include "killers/one_kb.h"
#include "killers/reg_fx.h"
#include "killers/reg_script.h"
#include "killers/scan_log.h"
#include "platform/reg_views.h"
#include "platform/registry.h"
#include "tests/testing.h"

using namespace testing_util;

namespace {

const wchar_t kWinlogon[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const wchar_t kHidden[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden";
const wchar_t kShowAll[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\SHOWALL";
const wchar_t kComputer[] = L"SOFTWARE\\Classes\\CLSID\\{20D04FE0-3AEA-1069-A2D8-08002B30309D}";
const wchar_t kMountPoint[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2\\{ca5dc9df-c6e5-11dd-8b20-806d6172696f}";
const wchar_t kTxt[] = L"SOFTWARE\\Classes\\txtfile\\shell\\open\\command";

std::string Narrow(const std::wstring& text) { return ToLogText(text.c_str()); }

std::wstring WinDir()
{
    wchar_t path[MAX_PATH] = {0};
    ::GetWindowsDirectoryW(path, MAX_PATH);
    return std::wstring(path) + L"\\";
}

std::wstring NativeSystemDir()
{
    std::wstring dir;
    EXPECT_TRUE(GetNativeSystemDirSlash(dir));
    return dir;
}

class NoStop : public ICommunication
{
public:
    virtual bool IsStopRequested() { return false; }
};

class ViewsCleanTest : public ::testing::Test
{
protected:
    void SetUp()
    {
        m_views = SystemRegViews();
        ResetLog();
    }
    void ResetLog()
    {
        ScanLog::Reset(ScanLog::kHeaderFormat);
        m_header = ScanLog::Length();
    }
    std::string Logged() const { return ScanLog::Text().substr(m_header); }
    // The view that is not `v` (itself when there is one view).
    REGSAM Other(size_t v) const { return m_views.flags[m_views.count == 2 ? 1 - v : v]; }
    RegViewList m_views;
    int m_header;
};

std::vector<std::wstring> PendingDeletions()
{
    std::vector<std::wstring> entries;
    HKEY key = NULL;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ,
                        &key) != ERROR_SUCCESS)
        return entries;
    std::vector<wchar_t> pending(65536, L'\0');
    DWORD bytes = static_cast<DWORD>((pending.size() - 2) * sizeof(wchar_t));
    if (::RegQueryValueExW(key, L"PendingFileRenameOperations", NULL, NULL, reinterpret_cast<BYTE*>(&pending[0]),
                           &bytes) == ERROR_SUCCESS)
    {
        for (const wchar_t* p = &pending[0]; *p || p[1]; p += lstrlenW(p) + 1)
        {
            if (*p)
                entries.push_back(p);
        }
    }
    ::RegCloseKey(key);
    return entries;
}

bool IsPending(const std::vector<std::wstring>& entries, const std::wstring& path)
{
    const std::wstring wanted = L"\\??\\" + path;
    for (size_t i = 0; i < entries.size(); ++i)
    {
        if (::lstrcmpiW(entries[i].c_str(), wanted.c_str()) == 0)
            return true;
    }
    return false;
}

// Polls for a key the registry editor writes on its own (bounded).
bool WaitForShowAll(REGSAM view)
{
    for (int i = 0; i < 300; ++i)
    {
        DWORD value = 0;
        if (GetRegDword(HKEY_LOCAL_MACHINE, kShowAll, L"CheckedValue", value, view) && value == 1)
            return true;
        ::Sleep(100);
    }
    return false;
}

// Runs a program of the native system folder and waits for it.
bool RunNative(const std::wstring& commandLine)
{
    std::wstring command = commandLine;
    STARTUPINFOW startup;
    ::ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info;
    ::ZeroMemory(&info, sizeof(info));
    if (!::CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info))
        return false;
    const bool ended = ::WaitForSingleObject(info.hProcess, 120000) == WAIT_OBJECT_0;
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    return ended;
}

}  // namespace

TEST_F(ViewsCleanTest, WinlogonAndHiddenFilesDamageInOneViewIsRepairedThereAndLoggedOnce)
{
    for (size_t damaged = 0; damaged < m_views.count; ++damaged)
    {
        ResetLog();
        const REGSAM bad = m_views.flags[damaged];
        ASSERT_TRUE(SetRegDword(HKEY_LOCAL_MACHINE, kShowAll, L"CheckedValue", 0, bad));
        ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kWinlogon, L"Shell", L"C:\\gone\\shell.exe", REG_SZ, bad));
        RepairHiddenOption();
        RepairWinlogon();
        EXPECT_EQ(Narrow(kShowAll) + "\t0\r\n" +
                      "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon\\Shell\tC:\\gone\\shell.exe\r\n",
                  Logged())
            << damaged;
        for (size_t v = 0; v < m_views.count; ++v)
        {
            DWORD value = 0;
            EXPECT_TRUE(GetRegDword(HKEY_LOCAL_MACHINE, kShowAll, L"CheckedValue", value, m_views.flags[v]));
            EXPECT_EQ(1u, value) << damaged << v;
            std::wstring shell;
            EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, kWinlogon, L"Shell", shell, NULL, m_views.flags[v]));
            EXPECT_EQ(v == damaged ? WinDir() + L"explorer.exe" : std::wstring(L"explorer.exe"), shell)
                << damaged << v;
        }
        ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kWinlogon, L"Shell", L"explorer.exe", REG_SZ, bad));
    }
}

TEST_F(ViewsCleanTest, ComputerAndMountPointVerbsInOneViewGoThereOnly)
{
    const std::wstring shell = std::wstring(kComputer) + L"\\shell";
    for (size_t damaged = 0; damaged < m_views.count; ++damaged)
    {
        const REGSAM bad = m_views.flags[damaged];
        const REGSAM good = Other(damaged);
        ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, shell + L"\\open\\command", NULL, L"C:\\gone\\worm.exe", REG_SZ,
                               bad));
        ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, std::wstring(kMountPoint) + L"\\Shell\\AutoRun\\command", NULL,
                               L"C:\\gone\\worm.exe", REG_SZ, bad));
        if (good != bad)
        {
            // What the checks leave in the healthy view: a verb list that
            // says "none" and a mount point without verbs.
            ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, shell, NULL, L"none", REG_SZ, good));
            ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, std::wstring(kMountPoint) + L"\\Keep", good));
        }
        CKillerForOneKB command;
        command.SweepRegistry();
        EXPECT_EQ(2, command.Repaired()) << damaged;
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, shell, bad)) << damaged;
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kMountPoint) + L"\\Shell", bad)) << damaged;
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kComputer, bad)) << damaged;
        if (good != bad)
        {
            std::wstring text;
            EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, shell, NULL, text, NULL, good));
            EXPECT_EQ(L"none", text);
            EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kMountPoint) + L"\\Keep", good));
            DeleteKey(HKEY_LOCAL_MACHINE, shell, good);
        }
        DeleteKey(HKEY_LOCAL_MACHINE, kMountPoint, bad);
        DeleteKey(HKEY_LOCAL_MACHINE, kMountPoint, good);
    }
}

TEST_F(ViewsCleanTest, ComputerOpenCommandNamingAMissingProgramIsRemovedInItsViewWithOneLine)
{
    const std::wstring shell = std::wstring(kComputer) + L"\\shell";
    for (size_t damaged = 0; damaged < m_views.count; ++damaged)
    {
        ResetLog();
        const REGSAM bad = m_views.flags[damaged];
        ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, shell + L"\\open\\command", NULL, L"C:\\gone\\worm.exe /start",
                               REG_SZ, bad));
        RepairComputerOpen();
        EXPECT_EQ(Narrow(shell + L"\\open\\command") + "\tC:\\gone\\worm.exe /start\r\n", Logged()) << damaged;
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, shell, bad)) << damaged;
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kComputer, bad)) << damaged;
    }
}

TEST_F(ViewsCleanTest, CommandOfAProgramOnlyInTheNativeSystemFolderIsKept)
{
    std::wstring before;
    ASSERT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, kTxt, NULL, before));
    const std::wstring program = NativeSystemDir() + L"viewsedit.exe";
    ASSERT_TRUE(WriteFileBytes(program, TinyImage(1024)));
    const wchar_t* const commands[] = {
        L"%SystemRoot%\\system32\\viewsedit.exe %1",
        L"viewsedit.exe %1",
    };
    const std::wstring absolute = WinDir() + L"system32\\viewsedit.exe %1";
    for (size_t i = 0; i < 3; ++i)
    {
        ResetLog();
        const std::wstring command = i < 2 ? std::wstring(commands[i]) : absolute;
        ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kTxt, NULL, command, REG_EXPAND_SZ));
        RepairAssociations();
        EXPECT_EQ("", Logged()) << i;
        std::wstring after;
        EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, kTxt, NULL, after));
        EXPECT_EQ(command, after) << i;
    }
    // Gone from the native folder too: now the command is rewritten.
    ASSERT_TRUE(::DeleteFileW(program.c_str()));
    ResetLog();
    RepairAssociations();
    EXPECT_EQ("SOFTWARE\\Classes\\txtfile\\shell\\open\\command\t" + Narrow(absolute) + "\r\n", Logged());
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kTxt, NULL, before, REG_EXPAND_SZ));
}

TEST_F(ViewsCleanTest, KnownFilesInEveryFolderAreScheduledAndGoAtRestartWithTheOptionsInBothViews)
{
    const std::vector<std::wstring> system = SystemDirsSlash();
    const std::vector<std::wstring> programs = ProgramFilesDirsSlash();
    ASSERT_EQ(m_views.count, system.size());
    ASSERT_EQ(m_views.count, programs.size());
    // Written where each kind of program puts it; scheduled under the path
    // that reaches it at the next start.
    struct Planted
    {
        std::wstring written;
        std::wstring scheduled;
    };
    std::vector<Planted> planted;
    const std::wstring native = NativeSystemDir();
    const Planted nativeFiles[] = {
        {native + L"wuauolts.exe", system[0] + L"wuauolts.exe"},
        {native + L"drivers\\GBS.sys", system[0] + L"drivers\\GBS.sys"},
        {programs[0] + L"mosss.exe", programs[0] + L"mosss.exe"},
    };
    planted.assign(nativeFiles, nativeFiles + 3);
    if (system.size() == 2)
    {
        const Planted otherFiles[] = {
            {system[1] + L"fgahu.dll", system[1] + L"fgahu.dll"},
            {system[1] + L"drivers\\GBS.sys", system[1] + L"drivers\\GBS.sys"},
            {programs[1] + L"mosss.exe", programs[1] + L"mosss.exe"},
        };
        planted.insert(planted.end(), otherFiles, otherFiles + 3);
    }
    for (size_t i = 0; i < planted.size(); ++i)
    {
        CreateDirectoryChainForTests(planted[i].written);
        ASSERT_TRUE(WriteFileBytes(planted[i].written, "MZ")) << i;
    }
    const std::wstring fixReg = GetFixRegPath();
    ASSERT_FALSE(fixReg.empty());
    ExtractBinResource(kFixRegScriptId, fixReg.c_str());

    ASSERT_TRUE(RunKnownFileCleaner());
    const std::vector<std::wstring> pending = PendingDeletions();
    for (size_t i = 0; i < planted.size(); ++i)
        EXPECT_TRUE(IsPending(pending, planted[i].scheduled)) << i;
    // The options for hidden files were deleted in every view and come back
    // in every view.
    for (size_t v = 0; v < m_views.count; ++v)
        EXPECT_TRUE(WaitForShowAll(m_views.flags[v])) << v;

    // The next start of Windows: the native wineboot processes the list.
    ASSERT_TRUE(RunNative(native + L"wineboot.exe --restart"));
    for (size_t i = 0; i < planted.size(); ++i)
        EXPECT_FALSE(NativeFileExists(planted[i].written.c_str()) || FileExists(planted[i].written)) << i;
    for (size_t v = 0; v < m_views.count; ++v)
    {
        DWORD value = 0;
        EXPECT_TRUE(GetRegDword(HKEY_LOCAL_MACHINE, kShowAll, L"CheckedValue", value, m_views.flags[v])) << v;
        EXPECT_EQ(1u, value) << v;
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kHidden) + L"\\NOHIDDEN", m_views.flags[v])) << v;
    }
}

TEST(ViewsProcesses, AScriptHostInTheNativeSystemFolderIsEnded)
{
    // The 64-bit stand-in comes with the 64-bit sandbox only.
    const std::wstring waiter = L"C:\\tests\\waiter64.exe";
    if (!FileExists(waiter))
    {
        ASSERT_FALSE(HasTwoRegViews()) << "a 64-bit sandbox has the 64-bit stand-in beside the test";
        return;
    }
    const std::wstring host = NativeSystemDir() + L"wscript.exe";
    ASSERT_TRUE(::CopyFileW(waiter.c_str(), host.c_str(), FALSE));
    std::wstring command = L"\"" + host + L"\"";
    STARTUPINFOW startup;
    ::ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info;
    ::ZeroMemory(&info, sizeof(info));
    ASSERT_TRUE(::CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info));
    ::CloseHandle(info.hThread);
    DWORD code = 0;
    ASSERT_TRUE(::GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), code);
    NoStop comm;
    CKillerForOneKB sweep;
    sweep.Run(&comm);
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(info.hProcess, 30000));
    ::TerminateProcess(info.hProcess, 1);
    ::CloseHandle(info.hProcess);
}
