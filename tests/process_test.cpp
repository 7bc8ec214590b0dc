// Ending processes by program path, on real processes in the sandbox. The
// program doubles as the process to end: started with "--sleep" it waits.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "killers/process_ends.h"
#include "platform/handles.h"
#include "platform/process.h"
#include "tests/testing.h"

using namespace testing_util;

namespace {

std::wstring SelfPath()
{
    wchar_t path[MAX_PATH] = {0};
    ::GetModuleFileNameW(NULL, path, MAX_PATH);
    return path;
}

// Starts a copy of this program at `path`, sleeping, with `arguments`
// after its switch; the process handle.
HANDLE StartSleeper(const std::wstring& path, const std::wstring& arguments = std::wstring())
{
    const std::wstring folder = path.substr(0, path.rfind(L'\\'));
    ::CreateDirectoryW(folder.c_str(), NULL);
    if (!::CopyFileW(SelfPath().c_str(), path.c_str(), FALSE))
        return NULL;
    std::wstring command = L"\"" + path + L"\" --sleep " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info))
        return NULL;
    ::CloseHandle(info.hThread);
    ::WaitForInputIdle(info.hProcess, 2000);
    ::Sleep(300);
    return info.hProcess;
}

bool Ended(HANDLE process, DWORD wait = 3000) { return ::WaitForSingleObject(process, wait) == WAIT_OBJECT_0; }

// Paths of the running processes whose path contains `text`.
std::vector<std::wstring> RunningWith(const wchar_t* text)
{
    std::vector<std::wstring> found;
    CHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (!::Process32FirstW(snapshot, &entry))
        return found;
    do
    {
        CHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID));
        wchar_t path[MAX_PATH] = {0};
        if (process.IsValid() && GetProcessImagePath(process, path, MAX_PATH) && ::StrStrIW(path, text))
            found.push_back(path);
    } while (::Process32NextW(snapshot, &entry));
    return found;
}

}  // namespace

TEST(TerminateProcessesByPath, EndsEveryScriptHostByPath)
{
    CHandle host(StartSleeper(L"C:\\worm\\wscript.exe"));
    CHandle other(StartSleeper(L"C:\\worm2\\mywscript.exe"));
    CHandle innocent(StartSleeper(L"C:\\worm\\notes.exe"));
    ASSERT_TRUE(host.IsValid() && other.IsValid() && innocent.IsValid());
    EXPECT_EQ(0, TerminateProcessesByPath(L"WScript.exe"));
    EXPECT_TRUE(Ended(host));
    EXPECT_TRUE(Ended(other));
    EXPECT_FALSE(Ended(innocent, 300));
    ::TerminateProcess(innocent, 0);
}

TEST(TerminateProcessesByPath, OnlyAServiceHostInAFolderNamedSystem)
{
    wchar_t windows[MAX_PATH];
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    CHandle fake(StartSleeper(std::wstring(windows) + L"\\system\\svchost.exe"));
    ASSERT_TRUE(fake.IsValid());
    const std::vector<std::wstring> genuine = RunningWith(L"system32\\svchost.exe");
    TerminateProcessesByPath(L"system\\svchost.exe");
    EXPECT_TRUE(Ended(fake));
    EXPECT_EQ(genuine.size(), RunningWith(L"system32\\svchost.exe").size());
}

TEST(TerminateProcessesByPath, NeverThisProgram)
{
    // The pattern matches this test program's own path: it goes on running.
    TerminateProcessesByPath(L"process_test");
    SUCCEED();
}

TEST(EndProcessesRunning, ThePayloadItselfAndTheHostsWhoseCommandLineNamesIt)
{
    CHandle payload(StartSleeper(L"C:\\pl\\winsvc.exe"));
    CHandle host(StartSleeper(L"C:\\pl\\wscript.exe", L"//B \"C:\\pl\\drop.vbs\""));
    CHandle otherScript(StartSleeper(L"C:\\pl2\\cscript.exe", L"C:\\pl\\other.vbs"));
    CHandle notAHost(StartSleeper(L"C:\\pl\\notes.exe", L"C:\\pl\\drop.vbs"));
    ASSERT_TRUE(payload.IsValid() && host.IsValid() && otherScript.IsValid() && notAHost.IsValid());
    EXPECT_EQ(1, EndProcessesRunning(L"C:\\pl\\winsvc.exe"));
    EXPECT_TRUE(Ended(payload));
    EXPECT_EQ(1, EndProcessesRunning(L"C:\\PL\\drop.vbs"));
    EXPECT_TRUE(Ended(host));
    EXPECT_FALSE(Ended(otherScript, 300));
    EXPECT_FALSE(Ended(notAHost, 300));
    ::TerminateProcess(otherScript, 0);
    ::TerminateProcess(notAHost, 0);
}

TEST(EndProcessesRunning, OnlyAHostNamingThePayloadsWholePath)
{
    // Each host in a folder of its own; the payload asked about, and whether
    // the host goes for it.
    struct HostCase
    {
        const wchar_t* image;
        const wchar_t* arguments;
        const wchar_t* payload;
        bool ended;
    } const cases[] = {
        {L"C:\\h1\\powershell.exe", L"-File C:\\ProgramData\\Corp\\logon.ps1", L"C:\\ProgramData\\Cor", false},
        {L"C:\\h2\\msiexec.exe", L"/i \"C:\\pl\\setup.msi.bak\"", L"C:\\pl\\setup.msi", false},
        {L"C:\\h3\\cmd.exe", L"/c \"start wscript //B C:\\pl\\deep.vbs&exit\"", L"C:\\PL\\deep.vbs", true},
        {L"C:\\h4\\rundll32.exe", L"C:\\pl\\drv.dll,Start", L"C:\\pl\\drv.dll", true},
        {L"C:\\h5\\wscript.exe", L"//B \"C:\\pl\\sub\\..\\dot.vbs\"", L"C:\\pl\\dot.vbs", true},
        {L"C:\\h6\\cscript.exe", L"dot.vbs", L"C:\\pl\\dot.vbs", false},
    };
    const size_t count = sizeof(cases) / sizeof(cases[0]);
    std::vector<HANDLE> hosts;
    for (size_t i = 0; i < count; ++i)
    {
        hosts.push_back(StartSleeper(cases[i].image, cases[i].arguments));
        ASSERT_TRUE(hosts[i] != NULL) << std::string(cases[i].image, cases[i].image + ::lstrlenW(cases[i].image));
    }
    for (size_t i = 0; i < count; ++i)
    {
        EXPECT_EQ(cases[i].ended ? 1 : 0, EndProcessesRunning(cases[i].payload)) << std::string(cases[i].image, cases[i].image + ::lstrlenW(cases[i].image));
        EXPECT_EQ(cases[i].ended, Ended(hosts[i], cases[i].ended ? 3000 : 300)) << std::string(cases[i].image, cases[i].image + ::lstrlenW(cases[i].image));
    }
    for (size_t i = 0; i < count; ++i)
    {
        ::TerminateProcess(hosts[i], 0);
        ::CloseHandle(hosts[i]);
    }
}

TEST(EnablePrivilege, KnownAndUnknownNames)
{
    EXPECT_TRUE(EnablePrivilege(L"SeDebugPrivilege"));
    EXPECT_TRUE(EnablePrivilege(L"SeShutdownPrivilege"));
    EXPECT_FALSE(EnablePrivilege(L"SeNoSuchPrivilege"));
}

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "--sleep")
    {
        ::Sleep(60000);
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
