// The program as administrators run it: StickMedic.exe /scan, /report-only
// and /log through the real program, judged by its exit codes, its files,
// the state of the PC, and that no window ever shows.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/report_only.h"
#include "app/scan_run.h"
#include "app/silent_scan.h"
#include "killers/scan_log.h"
#include "platform/user_hives.h"
#include "tests/screen.h"
#include "tests/testing.h"
#include "undo/program_folder.h"

using namespace testing_util;

namespace {

const wchar_t kProgram[] = L"C:\\tests\\StickMedic.exe";
const std::string kFooter = "\r\n" + std::string(69, '=') + "\r\n\r\n";
const std::string kMark = Hex("5B CE B4 D6 B4 D0 D0 5D 20");  // "[未执行] "

struct CRunResult
{
    DWORD code;
    bool windowShown;
    std::string output;  // what it wrote to the standard output it was given
};

// A started program with its output on a pipe.
class CProgram
{
public:
    explicit CProgram(const std::wstring& arguments) : m_read(NULL)
    {
        ZeroMemory(&m_info, sizeof(m_info));
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
        HANDLE write = NULL;
        ::CreatePipe(&m_read, &write, &inherit, 0);
        ::SetHandleInformation(m_read, HANDLE_FLAG_INHERIT, 0);
        std::wstring command = std::wstring(L"\"") + kProgram + L"\"" + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = write;
        startup.hStdError = write;
        ::CreateProcessW(NULL, &command[0], NULL, NULL, TRUE, 0, NULL, L"C:\\tests", &startup, &m_info);
        ::CloseHandle(write);
    }
    ~CProgram()
    {
        if (m_info.hProcess)
        {
            ::TerminateProcess(m_info.hProcess, 99);
            ::CloseHandle(m_info.hProcess);
            ::CloseHandle(m_info.hThread);
        }
        ::CloseHandle(m_read);
    }
    bool Started() const { return m_info.hProcess != NULL; }
    bool Running() const { return ::WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT; }

    // Waits for the end, watching for windows and reading the output.
    CRunResult Finish(DWORD milliseconds = 240000)
    {
        CRunResult result = {0xFFFFFFFF, false, std::string()};
        const DWORD start = ::GetTickCount();
        bool ended = false;
        while (!ended && ::GetTickCount() - start < milliseconds)
        {
            ended = ::WaitForSingleObject(m_info.hProcess, 50) == WAIT_OBJECT_0;
            // Any visible top-level window of the program.
            result.windowShown = result.windowShown || FindProcessWindow(m_info.dwProcessId, NULL) != NULL;
            Drain(result.output);
        }
        Drain(result.output);
        if (ended)
            ::GetExitCodeProcess(m_info.hProcess, &result.code);
        return result;
    }

    PROCESS_INFORMATION m_info;

private:
    void Drain(std::string& output)
    {
        DWORD available = 0;
        while (::PeekNamedPipe(m_read, NULL, 0, NULL, &available, NULL) && available > 0)
        {
            char buffer[4096];
            DWORD read = 0;
            if (!::ReadFile(m_read, buffer, sizeof(buffer), &read, NULL) || read == 0)
                return;
            output.append(buffer, read);
        }
    }
    HANDLE m_read;
};

CRunResult RunProgram(const std::wstring& arguments)
{
    CProgram program(arguments);
    if (!program.Started())
    {
        CRunResult none = {0xFFFFFFFF, false, std::string()};
        return none;
    }
    return program.Finish();
}

// Starts a helper beside the test and waits for it; its exit code.
DWORD RunHelper(const std::wstring& command, DWORD milliseconds = 120000)
{
    std::wstring line = command;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(NULL, &line[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL, L"C:\\tests", &startup, &info))
        return 0xFFFFFFFF;
    DWORD code = 0xFFFFFFFF;
    if (::WaitForSingleObject(info.hProcess, milliseconds) == WAIT_OBJECT_0)
        ::GetExitCodeProcess(info.hProcess, &code);
    ::CloseHandle(info.hProcess);
    ::CloseHandle(info.hThread);
    return code;
}

// The demo's infected PC and stick (its driver plants it).
void Plant() { ASSERT_EQ(0u, RunHelper(L"\"C:\\tests\\demo_driver.exe\" plant")); }

// The blocks of the log file, one per run.
std::vector<std::string> Blocks(const std::string& log)
{
    std::vector<std::string> blocks;
    for (std::string::size_type at = log.find("StartTime:"); at != std::string::npos;)
    {
        const std::string::size_type next = log.find("StartTime:", at + 1);
        blocks.push_back(log.substr(at, next == std::string::npos ? std::string::npos : next - at));
        at = next;
    }
    return blocks;
}

// What a block holds between its header and its footer.
std::string BodyOf(const std::string& block)
{
    const std::string::size_type header = block.find("\r\n\r\n");
    if (block.compare(0, 10, "StartTime:") != 0 || header == std::string::npos)
        return "<no header>";
    if (block.size() < kFooter.size() + header + 4 ||
        block.compare(block.size() - kFooter.size(), kFooter.size(), kFooter) != 0)
        return "<no footer>";
    return block.substr(header + 4, block.size() - kFooter.size() - header - 4);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size())
    {
        std::string::size_type end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// Files, attributes and bytes below a folder, as one text.
void AddTree(const std::wstring& folder, std::string& out, bool recurse)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do
    {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    std::sort(names.begin(), names.end());
    for (size_t i = 0; i < names.size(); ++i)
    {
        const std::wstring path = folder + L"\\" + names[i];
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;  // a link out of the sandbox's own folders is never followed
        char line[32];
        wsprintfA(line, " %08lX\n", attributes);
        out.append(reinterpret_cast<const char*>(path.data()), path.size() * sizeof(wchar_t));
        out += line;
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
            out += ReadFileBytes(path) + "\n";
        else if (recurse && lstrcmpiW(names[i].c_str(), L"Temp") != 0)
            AddTree(path, out, true);
    }
}

std::string ExportKey(const wchar_t* key)
{
    const std::wstring file = L"C:\\tests\\export.reg";
    ::DeleteFileW(file.c_str());
    RunHelper(std::wstring(L"C:\\windows\\regedit.exe /e ") + file + L" \"" + key + L"\"");
    const std::string bytes = ReadFileBytes(file);
    ::DeleteFileW(file.c_str());
    return bytes;
}

std::string Processes()
{
    std::vector<std::wstring> names;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry))
        names.push_back(entry.szExeFile);
    ::CloseHandle(snapshot);
    std::sort(names.begin(), names.end());
    std::string out;
    for (size_t i = 0; i < names.size(); ++i)
        out.append(reinterpret_cast<const char*>(names[i].data()), names[i].size() * sizeof(wchar_t));
    return out;
}

// The parts of the PC a scan changes.
struct CSnapshot
{
    std::string stick, system, users, currentUser, software, sessionManager, processes;
};

CSnapshot TakeSnapshot()
{
    CSnapshot s;
    AddTree(L"E:", s.stick, true);
    AddTree(L"C:", s.system, false);
    AddTree(L"C:\\Program Files", s.system, true);
    AddTree(L"C:\\ProgramData", s.system, true);
    s.system += ReadFileBytes(L"C:\\windows\\system32\\fgahu.dll");
    const int folders[] = {CSIDL_FAVORITES, CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_APPDATA, CSIDL_DESKTOPDIRECTORY};
    for (size_t i = 0; i < sizeof(folders) / sizeof(folders[0]); ++i)
    {
        wchar_t path[MAX_PATH] = {0};
        if (SUCCEEDED(::SHGetFolderPathW(NULL, folders[i], NULL, 0, path)))
            AddTree(path, s.users, false);
    }
    s.currentUser = ExportKey(L"HKEY_CURRENT_USER");
    s.software = ExportKey(L"HKEY_LOCAL_MACHINE\\SOFTWARE");
    s.sessionManager = ExportKey(L"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager");
    s.processes = Processes();
    return s;
}

// Where two snapshot texts part, readable (UTF-16 exports and names shown
// with their zero bytes left out).
std::string Difference(const std::string& before, const std::string& after)
{
    size_t at = 0;
    while (at < before.size() && at < after.size() && before[at] == after[at])
        ++at;
    const size_t from = at > 300 ? at - 300 : 0;
    std::string shown[2];
    const std::string* texts[2] = {&before, &after};
    for (int i = 0; i < 2; ++i)
    {
        const std::string part = texts[i]->substr(from < texts[i]->size() ? from : texts[i]->size(), 700);
        for (size_t j = 0; j < part.size(); ++j)
            if (part[j] != '\0')
                shown[i] += part[j];
    }
    return "\nbefore: ..." + shown[0] + "\nafter:  ..." + shown[1];
}

class AdminTest : public ::testing::Test
{
protected:
    void SetUp()
    {
        m_log = GetScanLogPath(false);
        ASSERT_FALSE(m_log.empty());
        ::DeleteFileW(m_log.c_str());
        ::DeleteFileW(GetReportPath().c_str());
    }
    std::string Log() const { return ReadFileBytes(m_log); }
    std::wstring m_log;
};

const wchar_t kMachineId[] = L"software\\marlo";

}  // namespace

TEST_F(AdminTest, ACleanPcGivesZeroAndTheNothingFoundLogWithoutWindowOrPing)
{
    DeleteKey(HKEY_LOCAL_MACHINE, kMachineId);
    const std::wstring copy = L"C:\\tests\\copy.log";
    const CRunResult result = RunProgram(L" /scan /log " + copy);
    EXPECT_EQ(0u, result.code);
    EXPECT_FALSE(result.windowShown);
    const std::vector<std::string> blocks = Blocks(Log());
    ASSERT_EQ(1u, blocks.size());
    EXPECT_EQ(Hex("CE B4 B7 A2 CF D6 D2 EC B3 A3"), BodyOf(blocks[0]));
    EXPECT_EQ(blocks[0], ReadFileBytes(copy)) << "/log holds this run's text";
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kMachineId)) << "no usage report: no identifier written";
    EXPECT_FALSE(FileExists(GetReportPath()));

    // The copy is this run's text alone, not the log file's history.
    EXPECT_EQ(0u, RunProgram(L" /scan /log " + copy).code);
    ASSERT_EQ(2u, Blocks(Log()).size());
    EXPECT_EQ(Blocks(Log())[1], ReadFileBytes(copy));
}

TEST_F(AdminTest, UsageAndBadArgumentsGoToTheCallerWith64)
{
    CRunResult result = RunProgram(L" /?");
    EXPECT_EQ(64u, result.code);
    EXPECT_FALSE(result.windowShown);
    EXPECT_NE(std::string::npos, result.output.find("/report-only")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("Exit codes")) << result.output;

    result = RunProgram(L" /scan /bogus");
    EXPECT_EQ(64u, result.code);
    EXPECT_NE(std::string::npos, result.output.find("Unknown argument: /bogus")) << result.output;
    EXPECT_EQ(64u, RunProgram(L" /report-only").code) << "without /scan";

    // A /log file in a folder that is not there: said so, and nothing scanned.
    result = RunProgram(L" /scan /log \"C:\\no such folder\\x.log\"");
    EXPECT_EQ(64u, result.code);
    EXPECT_FALSE(result.windowShown);
    EXPECT_NE(std::string::npos, result.output.find("does not exist: C:\\no such folder\\x.log")) << result.output;
    EXPECT_EQ("", Log());
    EXPECT_FALSE(FileExists(L"C:\\no such folder"));
}

TEST_F(AdminTest, TheInfectionIsRepairedWithTheLogOfTheWindowsScan)
{
    // The window's scan of the demo's infection, as a user makes it.
    ASSERT_NO_FATAL_FAILURE(Plant());
    ::CreateDirectoryW(L"C:\\demo", NULL);
    ASSERT_TRUE(::CopyFileW(kProgram, L"C:\\demo\\StickMedic.exe", FALSE));
    ASSERT_EQ(0u, RunHelper(L"\"C:\\tests\\demo_driver.exe\" run C:\\tests\\run.txt", 200000));
    std::vector<std::string> blocks = Blocks(Log());
    ASSERT_EQ(1u, blocks.size());
    const std::string windowBody = BodyOf(blocks[0]);

    // The same infection once more, scanned silently.
    ASSERT_NO_FATAL_FAILURE(Plant());
    const CRunResult result = RunProgram(L" /scan");
    EXPECT_TRUE(result.code == 1u || result.code == 2u) << result.code << result.output;
    EXPECT_EQ(2u, result.code) << "the known-file worm's files go at the next start";
    EXPECT_FALSE(result.windowShown);
    blocks = Blocks(Log());
    ASSERT_EQ(2u, blocks.size());
    EXPECT_EQ(windowBody, BodyOf(blocks[1]));
    ::DeleteFileW(L"C:\\demo\\StickMedic.exe");
}

TEST_F(AdminTest, ReportOnlyChangesNothingAndListsEveryActionOfTheRealScan)
{
    ASSERT_NO_FATAL_FAILURE(Plant());
    ::Sleep(500);
    const CSnapshot before = TakeSnapshot();
    const std::wstring copy = L"C:\\tests\\report-copy.log";
    const CRunResult result = RunProgram(L" /scan /report-only /log " + copy);
    EXPECT_EQ(4u, result.code);
    EXPECT_FALSE(result.windowShown);
    const std::string report = ReadFileBytes(GetReportPath());
    EXPECT_EQ(report, ReadFileBytes(copy));
    ::DeleteFileW(copy.c_str());
    ::DeleteFileW(GetReportPath().c_str());
    EXPECT_EQ("", Log()) << "the log file is not written";

    const CSnapshot after = TakeSnapshot();
    EXPECT_TRUE(before.stick == after.stick) << Difference(before.stick, after.stick) << "the stick's files, attributes and bytes";
    EXPECT_TRUE(before.system == after.system) << Difference(before.system, after.system) << "the system drive's files";
    EXPECT_TRUE(before.users == after.users) << Difference(before.users, after.users) << "the users' folders";
    EXPECT_TRUE(before.currentUser == after.currentUser) << Difference(before.currentUser, after.currentUser) << "HKEY_CURRENT_USER";
    EXPECT_TRUE(before.software == after.software) << Difference(before.software, after.software) << "HKEY_LOCAL_MACHINE\\SOFTWARE";
    EXPECT_TRUE(before.sessionManager == after.sessionManager) << Difference(before.sessionManager, after.sessionManager) << "scheduled deletions";
    EXPECT_TRUE(before.processes == after.processes) << Difference(before.processes, after.processes) << "no process ended";

    // Every line the report holds is marked; every action of the real scan is in it.
    const std::string body = BodyOf(report);
    const std::vector<std::string> reported = Lines(body);
    ASSERT_FALSE(reported.empty());
    for (size_t i = 0; i < reported.size(); ++i)
        EXPECT_EQ(0u, reported[i].find(kMark)) << reported[i];
    EXPECT_EQ(4u, RunProgram(L" /scan /report-only").code) << "unchanged PC, same answer";

    const CRunResult real = RunProgram(L" /scan");
    EXPECT_EQ(2u, real.code) << real.output;
    const std::vector<std::string> blocks = Blocks(Log());
    ASSERT_EQ(1u, blocks.size());
    // The known-file cleaner's two texts have no line end of their own.
    std::string realBody = BodyOf(blocks[0]);
    const std::string found = Hex("C9 A8 C3 E8 CE B1 D7 B0 CE C4 BC FE BC D0 D0 CD B2 A1 B6 BE 21");
    const std::string::size_type at = realBody.find(found);
    if (at != std::string::npos)
        realBody.insert(at + found.size(), "\r\n");
    const std::vector<std::string> done = Lines(realBody);
    ASSERT_FALSE(done.empty());
    for (size_t i = 0; i < done.size(); ++i)
        EXPECT_NE(std::string::npos, body.find(kMark + done[i] + "\r\n")) << done[i];
}

TEST_F(AdminTest, AProgramFolderAnyoneMayWriteGoesAsideBeforeTheReport)
{
    // Made beforehand by a user, writable by everyone, the report's name
    // taken already.
    const std::wstring folder = GetProgramFolderPath();
    const std::wstring bare = folder.substr(0, folder.size() - 1);
    // The registry editor the scan of the case before started without
    // waiting may still hold its script in the folder: on a busy machine
    // the folder goes once the editor has ended.
    bool made = false;
    for (int i = 0; i < 200 && !made; ++i)
    {
        RemoveTree(bare);
        made = ::CreateDirectoryW(bare.c_str(), NULL) != FALSE;
        if (!made)
            ::Sleep(50);
    }
    ASSERT_TRUE(made);
    EXPLICIT_ACCESS_W everyone = {};
    everyone.grfAccessPermissions = GENERIC_ALL;
    everyone.grfAccessMode = SET_ACCESS;
    everyone.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    everyone.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    everyone.Trustee.ptstrName = const_cast<wchar_t*>(L"EVERYONE");
    PACL open = NULL;
    ASSERT_EQ(DWORD(ERROR_SUCCESS), ::SetEntriesInAclW(1, &everyone, NULL, &open));
    ASSERT_EQ(DWORD(ERROR_SUCCESS), ::SetNamedSecurityInfoW(const_cast<wchar_t*>(bare.c_str()), SE_FILE_OBJECT,
                                                            DACL_SECURITY_INFORMATION, NULL, NULL, open, NULL));
    ::LocalFree(open);
    ASSERT_TRUE(WriteFileBytes(GetReportPath(), "planted"));

    const DWORD code = RunProgram(L" /scan /report-only").code;
    EXPECT_TRUE(code == 0 || code == 4) << code;
    const std::string report = ReadFileBytes(GetReportPath());
    EXPECT_NE("planted", report);
    EXPECT_FALSE(report.empty());
    // The user's folder went aside whole, with what the user put in it.
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((bare + L".untrusted-*").c_str(), &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    ::FindClose(find);
    const std::wstring aside = bare.substr(0, bare.rfind(L'\\') + 1) + data.cFileName;
    EXPECT_EQ("planted", ReadFileBytes(aside + L"\\StickMedic-report.log"));
    RemoveTree(aside);
    ::DeleteFileW(GetReportPath().c_str());
}

TEST_F(AdminTest, ALockedWormFileIsAFailedRepair)
{
    ASSERT_NO_FATAL_FAILURE(Plant());
    HANDLE locked = ::CreateFileW(L"E:\\kavo.vbs", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, locked);
    const CRunResult result = RunProgram(L" /scan");
    ::CloseHandle(locked);
    EXPECT_EQ(3u, result.code);
    EXPECT_FALSE(result.windowShown);
    EXPECT_TRUE(FileExists(L"E:\\kavo.vbs"));
    EXPECT_NE(std::string::npos, result.output.find("E:\\kavo.vbs")) << "the caller is told what was not done: "
                                                                      << result.output;
}

TEST_F(AdminTest, ASilentScanWaitsForTheScanRunning)
{
    // Another scan holds the lock: the silent scan waits, changing nothing.
    CScanLock lock;
    ASSERT_EQ(CScanLock::kHeld, lock.Acquire(0));
    CProgram waiting(L" /scan");
    ASSERT_TRUE(waiting.Started());
    ::Sleep(3000);
    EXPECT_TRUE(waiting.Running());
    EXPECT_EQ("", Log());
    lock.Release();
    const CRunResult result = waiting.Finish();
    EXPECT_LE(result.code, 3u);
    EXPECT_FALSE(result.windowShown);
    ASSERT_EQ(1u, Blocks(Log()).size());
    const std::string body = BodyOf(Blocks(Log())[0]);

    // Two started together: one waits for the other, both logs whole (what
    // the PC still holds after the tests before is found by both alike).
    ::DeleteFileW(m_log.c_str());
    CProgram first(L" /scan");
    CProgram second(L" /scan");
    const DWORD firstCode = first.Finish().code;
    EXPECT_LE(firstCode, 3u);
    EXPECT_EQ(firstCode, second.Finish().code);
    const std::vector<std::string> blocks = Blocks(Log());
    ASSERT_EQ(2u, blocks.size());
    EXPECT_EQ(body, BodyOf(blocks[0]));
    EXPECT_EQ(body, BodyOf(blocks[1]));
}

TEST_F(AdminTest, AWindowScanDuringAnotherWaitsWithTheWindowResponsive)
{
    CScanLock lock;  // another scan's
    ASSERT_EQ(CScanLock::kHeld, lock.Acquire(0));
    CProgram program(L"");
    ASSERT_TRUE(program.Started());
    HWND main = WaitProcessWindow(program.m_info.dwProcessId, L"QuorvelU盘专杀工具V1.3", 20000);
    ASSERT_TRUE(main != NULL);
    ::PostMessageW(main, WM_COMMAND, MAKEWPARAM(1008, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(main, 1008)));
    ::Sleep(2000);
    DWORD_PTR answer = 0;
    EXPECT_NE(0, ::SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &answer)) << "responsive";
    EXPECT_EQ(L"另一个查杀正在进行，等待其结束。。。 ", ControlText(main, 1017)) << "the wait is said";
    EXPECT_EQ(L"停止查杀", ControlText(main, 1008));
    EXPECT_TRUE(FindProcessWindow(program.m_info.dwProcessId, L"注意") == NULL) << "no result while waiting";
    EXPECT_EQ("", Log());
    lock.Release();
    // Then it runs: the restart prompt (when the tests before left the
    // known-file worm's files behind) answered with No, and the result.
    HWND result = NULL;
    for (int i = 0; i < 1200 && !result; ++i, ::Sleep(50))
    {
        if (HWND prompt = FindProcessWindow(program.m_info.dwProcessId, NULL, NULL, IDNO))
            ::PostMessageW(prompt, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
        result = FindProcessWindow(program.m_info.dwProcessId, L"注意");
    }
    ASSERT_TRUE(result != NULL);
    EXPECT_EQ(0u, ControlText(result, 1019).find(L"扫描完成，")) << "not a stop";
    ASSERT_EQ(1u, Blocks(Log()).size());
    EXPECT_NE(std::string::npos, BodyOf(Blocks(Log())[0]).find_first_not_of('<'));
}

TEST(ReportOnlyRecorder, DeclinesEveryChangeAndLeavesThePcAsItIs)
{
    const std::wstring file = L"C:\\tests\\declined.txt";
    ASSERT_TRUE(WriteFileBytes(file, "kept"));
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, L"Software\\AdminTest", L"v", L"old"));
    HKEY key = NULL;
    ASSERT_EQ(0, ::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\AdminTest", 0, KEY_ALL_ACCESS, &key));

    ScanLog::Reset(ScanLog::kHeaderFormat);
    const size_t header = static_cast<size_t>(ScanLog::Length());
    CReportOnlyRecorder report;
    SetChangeRecorder(&report);
    ScanLog::AppendText("logged before any change\r\n");
    EXPECT_TRUE(GateDeleteFile(file, kKeepOrLeave)) << "declined reads as done";
    ScanLog::AppendLine(Hex("C9 BE B3 FD") + "\t", file);  // as a command logs its deletion
    EXPECT_EQ(ERROR_SUCCESS, GateSetString(key, L"v", L"new"));
    EXPECT_TRUE(GateSetAttributes(file, FILE_ATTRIBUTE_HIDDEN));
    ScanLog::AppendText("two lines\r\nafter one change");
    SetChangeRecorder(NULL);
    ScanLog::AppendText(kLogFooter);
    EXPECT_EQ(3u, report.DeclinedCount());

    EXPECT_EQ("kept", ReadFileBytes(file));
    EXPECT_FALSE(::GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    std::wstring value;
    ASSERT_TRUE(GetRegText(HKEY_CURRENT_USER, L"Software\\AdminTest", L"v", value));
    EXPECT_EQ(L"old", value);

    const std::string text = report.Compose(ScanLog::Text(), header);
    EXPECT_EQ(ScanLog::Text().substr(0, header), text.substr(0, header)) << "the log's header";
    // 修改注册表值 (GBK) for the value nobody logged.
    EXPECT_EQ(kMark + "logged before any change\r\n" + kMark + Hex("C9 BE B3 FD") + "\tC:\\tests\\declined.txt\r\n" +
                  kMark + Hex("D0 DE B8 C4 D7 A2 B2 E1 B1 ED D6 B5") +
                  "\tHKEY_USERS\\S-1-5-21-0-0-0-1000\\Software\\AdminTest\\v\r\n" + kMark + "two lines\r\n" + kMark +
                  "after one change\r\n" + kFooter,
              text.substr(header))
        << text;
    ::RegCloseKey(key);
    DeleteKey(HKEY_CURRENT_USER, L"Software\\AdminTest");
    ::DeleteFileW(file.c_str());
}

TEST(ReportOnlyRecorder, EveryKeyByItsOwnNameAndNoNameStartsALineOfItsOwn)
{
    // Another user's hive, as LocalSystem walks it.
    const std::wstring hiveName = L"S-1-5-21-9-9-9-1001";
    ASSERT_TRUE(SetRegText(HKEY_USERS, hiveName + L"\\Software\\AdminTest", L"v", L"x"));
    HKEY hive = NULL;
    ASSERT_EQ(0, ::RegOpenKeyExW(HKEY_USERS, hiveName.c_str(), 0, KEY_READ, &hive));
    struct Case
    {
        const char* what;
        ChangeKind kind;
        const wchar_t* name;
        std::string expected;  // after the change's own text and its tab
    };
    const Case cases[] = {
        {"an access reset in another user's hive", kChangeResetKeyAccess, L"Software\\AdminTest",
         "HKEY_USERS\\S-1-5-21-9-9-9-1001\\Software\\AdminTest"},
        {"a value whose name holds a line break", kChangeDeleteValue, L"v\r\n[forged]\tline",
         "HKEY_USERS\\S-1-5-21-9-9-9-1001\\v??[forged]?line"},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
    {
        ChangeRequest change;
        change.kind = cases[i].kind;
        change.key = hive;
        change.name = cases[i].name;
        const std::string line = CReportOnlyRecorder::Describe(change);
        const std::string::size_type tab = line.find('\t');
        ASSERT_NE(std::string::npos, tab) << cases[i].what;
        EXPECT_EQ(cases[i].expected, line.substr(tab + 1)) << cases[i].what;
    }
    ::RegCloseKey(hive);
    DeleteKey(HKEY_USERS, hiveName);
}

TEST(ReportOnlyRecorder, NothingToDoReadsAsTheLogDoes)
{
    ScanLog::Reset(ScanLog::kHeaderFormat);
    size_t header = static_cast<size_t>(ScanLog::Length());
    ScanLog::AppendText(kLogNothingFound);
    ScanLog::AppendText(kLogFooter);
    CReportOnlyRecorder report;
    EXPECT_EQ(ScanLog::Text(), report.Compose(ScanLog::Text(), header));

    // "未发现异常" followed by a change of a later step: only the change is
    // reported. The header's time has unpadded fields: measured anew.
    ScanLog::Reset(ScanLog::kHeaderFormat);
    header = static_cast<size_t>(ScanLog::Length());
    ScanLog::AppendText(kLogNothingFound);
    SetChangeRecorder(&report);
    EXPECT_TRUE(GateScheduleDelete(L"C:\\x.exe", kDeleteUncopied));
    SetChangeRecorder(NULL);
    ScanLog::AppendText(kLogFooter);
    // 重启后删除文件
    EXPECT_EQ(kMark + Hex("D6 D8 C6 F4 BA F3 C9 BE B3 FD CE C4 BC FE") + "\tC:\\x.exe\r\n" + kFooter,
              report.Compose(ScanLog::Text(), header).substr(header));
}

TEST(ChangeTally, CountsOnTopOfTheRecorderBelow)
{
    // Below: a recorder that leaves every file deletion and declines nothing else.
    struct CLeaveDeletions : public IChangeRecorder
    {
        CLeaveDeletions() : m_nAfter(0) {}
        virtual Verdict Before(const ChangeRequest& change)
        {
            return change.kind == kChangeDeleteFile ? kLeave : kMake;
        }
        virtual void After(const ChangeRequest&, bool) { ++m_nAfter; }
        int m_nAfter;
    } below;
    CChangeTally tally(&below);
    SetChangeRecorder(&tally);
    ASSERT_TRUE(WriteFileBytes(L"C:\\tests\\tally.txt", "x"));
    EXPECT_FALSE(GateDeleteFile(L"C:\\tests\\tally.txt", kKeepOrLeave));
    EXPECT_TRUE(GateSetAttributes(L"C:\\tests\\tally.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_FALSE(GateSetAttributes(L"C:\\tests\\missing.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(GateScheduleDelete(L"C:\\tests\\tally.txt", kKeepOrLeave));
    SetChangeRecorder(NULL);
    EXPECT_EQ(1, tally.m_nLeft);
    EXPECT_EQ(1, tally.m_nMade);
    EXPECT_EQ(1, tally.m_nFailed);
    EXPECT_EQ(1, tally.m_nScheduled);
    EXPECT_EQ(3, below.m_nAfter) << "the recorder below still sees every change it let through";
    EXPECT_TRUE(FileExists(L"C:\\tests\\tally.txt"));

    // A deletion of what is not there fails, and is no failed repair.
    CChangeTally clean(NULL);
    SetChangeRecorder(&clean);
    EXPECT_FALSE(GateDeleteFile(L"C:\\tests\\missing.txt", kKeepOrLeave));
    EXPECT_NE(ERROR_SUCCESS, GateDeleteValue(HKEY_CURRENT_USER, L"no such value"));
    EXPECT_NE(ERROR_SUCCESS, GateDeleteTree(HKEY_CURRENT_USER, L"No Such Key"));
    SetChangeRecorder(NULL);
    EXPECT_EQ(0, clean.m_nFailed);
    EXPECT_EQ(0, clean.m_nMade);
    EXPECT_EQ("", clean.m_failures);
    EXPECT_EQ(0, RepairExitCode(false, false, clean));
    EXPECT_EQ(1, RepairExitCode(true, false, clean));
    EXPECT_EQ(2, RepairExitCode(true, true, clean));
    clean.m_nScheduled = 1;
    EXPECT_EQ(2, RepairExitCode(true, false, clean));
    EXPECT_EQ(3, RepairExitCode(true, true, tally));
    HKEY key = NULL;
    ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_ALL_ACCESS,
                    &key);
    ::RegDeleteValueW(key, L"PendingFileRenameOperations");
    ::RegCloseKey(key);
    ::DeleteFileW(L"C:\\tests\\tally.txt");
}

namespace {

void CollectRoot(HKEY root, const std::wstring& name, void* context)
{
    std::vector<std::wstring>* seen = static_cast<std::vector<std::wstring>*>(context);
    // Each root is open and readable during the call.
    wchar_t marker[64] = {0};
    DWORD bytes = sizeof(marker);
    ::RegQueryValueExW(root, L"Marker", NULL, NULL, reinterpret_cast<BYTE*>(marker), &bytes);
    seen->push_back(name + L"=" + marker);
}

}  // namespace

TEST(UserHives, TheCurrentUserNormallyEveryLoadedUserHiveAsLocalSystem)
{
    EXPECT_FALSE(IsRunningAsLocalSystem()) << "the sandbox's programs run as its user";
    std::vector<std::wstring> seen;
    EXPECT_EQ(1, ForEachUserRoot(CollectRoot, &seen));
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(L"HKEY_CURRENT_USER=", seen[0]);

    // A stand-in for HKEY_USERS as LocalSystem sees it.
    const std::wstring users = L"Software\\AdminTestUsers";
    const wchar_t* const hives[] = {
        L".DEFAULT", L"S-1-5-18", L"S-1-5-19", L"S-1-5-20", L"S-1-5-21-11-22-33-1001",
        L"S-1-5-21-11-22-33-1001_Classes", L"S-1-5-21-11-22-33-1002", L"S-1-5-21-x", L"S-1-12-1-44-55-66-77",
        L"S-1-12-1-44-55-66-77_Classes",
    };
    for (size_t i = 0; i < sizeof(hives) / sizeof(hives[0]); ++i)
        ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, users + L"\\" + hives[i], L"Marker", hives[i]));
    HKEY key = NULL;
    ASSERT_EQ(0, ::RegOpenKeyExW(HKEY_CURRENT_USER, users.c_str(), 0, KEY_READ, &key));
    seen.clear();
    // An Entra ID user (S-1-12-1-...) is a user as much as a local one.
    EXPECT_EQ(3, ForEachUserRoot(CollectRoot, &seen, true, key, L"HKEY_USERS"));
    ::RegCloseKey(key);
    std::sort(seen.begin(), seen.end());
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(L"HKEY_USERS\\S-1-12-1-44-55-66-77=S-1-12-1-44-55-66-77", seen[0]);
    EXPECT_EQ(L"HKEY_USERS\\S-1-5-21-11-22-33-1001=S-1-5-21-11-22-33-1001", seen[1]);
    EXPECT_EQ(L"HKEY_USERS\\S-1-5-21-11-22-33-1002=S-1-5-21-11-22-33-1002", seen[2]);
    DeleteKey(HKEY_CURRENT_USER, users);

    EXPECT_TRUE(IsUserHiveName(L"S-1-5-21-1-2-3-500"));
    EXPECT_FALSE(IsUserHiveName(L"S-1-5-21-1-2-3-500_classes"));
    EXPECT_FALSE(IsUserHiveName(L"S-1-5-21-"));
    EXPECT_FALSE(IsUserHiveName(L"S-1-5-20"));
    EXPECT_TRUE(IsUserHiveName(L"S-1-12-1-1-2-3-4"));
    EXPECT_FALSE(IsUserHiveName(L"S-1-12-1-1-2-3-4_Classes"));
    EXPECT_FALSE(IsUserHiveName(L".DEFAULT"));
}
