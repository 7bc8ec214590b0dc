// The scan run on its worker: completion messages, stop, the log file.
#include <gtest/gtest.h>

#include <objbase.h>
#include <sddl.h>
#include <tlhelp32.h>

#include "app/scan_run.h"
#include "killers/file_fx.h"
#include "killers/launcher_killer.h"
#include "killers/reg_fx.h"
#include "killers/scan_log.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "platform/task_scheduler.h"
#include "tests/testing.h"
#include "undo/change_gate.h"
#include "undo/program_folder.h"
#include "undo/quarantine.h"

using namespace testing_util;

namespace {

// A message-only window standing in for the main dialog: counts completions.
class CCompletionSink
{
public:
    CCompletionSink() : m_nDone(0)
    {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = Proc;
        wc.hInstance = ::GetModuleHandleW(NULL);
        wc.lpszClassName = L"ScanRunTestSink";
        ::RegisterClassW(&wc);
        m_hWnd = ::CreateWindowW(wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, wc.hInstance, NULL);
        ::SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~CCompletionSink() { ::DestroyWindow(m_hWnd); }

    // Pumps messages for `milliseconds`, or until `until` completions came.
    int Pump(DWORD milliseconds, int until = 1000)
    {
        const DWORD start = ::GetTickCount();
        while (m_nDone < until && ::GetTickCount() - start < milliseconds)
        {
            MSG msg;
            while (::PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE))
                ::DispatchMessageW(&msg);
            ::MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_ALLINPUT);
        }
        return m_nDone;
    }

    HWND m_hWnd;
    int m_nDone;

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_SCAN_DONE)
        {
            EXPECT_EQ(0u, wParam);
            EXPECT_EQ(0, lParam);
            reinterpret_cast<CCompletionSink*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA))->m_nDone++;
            return 0;
        }
        return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }
};

// Commands for the plans of these tests.
volatile LONG g_nCommandsRun = 0;

void WritingCommand(ICommunication*)
{
    ::InterlockedIncrement(&g_nCommandsRun);
    ScanLog::AppendText("found something\r\n");
}

void QuietCommand(ICommunication*) { ::InterlockedIncrement(&g_nCommandsRun); }

// Polls like a cleaning command, for at most five seconds.
void PollingCommand(ICommunication* comm)
{
    ::InterlockedIncrement(&g_nCommandsRun);
    for (int i = 0; i < 500 && !comm->IsStopRequested(); ++i)
        ::Sleep(10);
}

// Busy in one long step: does not poll for 700 ms, then writes.
void StubbornCommand(ICommunication*)
{
    ::InterlockedIncrement(&g_nCommandsRun);
    ::Sleep(700);
    ScanLog::AppendText("stubborn\r\n");
}

// Deletes a planted file through the gateway, as a cleaning rule does.
void DeletingCommand(ICommunication*)
{
    ::InterlockedIncrement(&g_nCommandsRun);
    if (GateDeleteFile(L"C:\\planted.exe", kKeepOrLeave))
        ScanLog::AppendText("deleted\r\n");
}

// Waits (at most five seconds) until `count` commands have started: the
// worker takes the lock and makes the program's folder safe first, which
// takes its time on a busy machine.
void WaitForCommands(LONG count)
{
    for (int i = 0; i < 500 && ::InterlockedCompareExchange(&g_nCommandsRun, 0, 0) < count; ++i)
        ::Sleep(10);
}

int g_nPrompts = 0;
void CountingPrompt() { ++g_nPrompts; }

const PFNRUNCOMMAND kWriting[] = {QuietCommand, WritingCommand, QuietCommand};
const ScanPlan kWritingPlan = {kWriting, 3, NULL, NULL};
const PFNRUNCOMMAND kQuiet[] = {QuietCommand, QuietCommand};
const ScanPlan kQuietPlan = {kQuiet, 2, NULL, NULL};
const ScanPlan kKnownFilePlan = {kQuiet, 2, RunKnownFileCleaner, CountingPrompt};
const PFNRUNCOMMAND kPolling[] = {QuietCommand, PollingCommand, PollingCommand};
const ScanPlan kPollingPlan = {kPolling, 3, NULL, NULL};
const PFNRUNCOMMAND kStubborn[] = {StubbornCommand, QuietCommand};
const ScanPlan kStubbornPlan = {kStubborn, 2, NULL, NULL};
const PFNRUNCOMMAND kDeleting[] = {QuietCommand, DeletingCommand};
const ScanPlan kDeletingPlan = {kDeleting, 2, NULL, NULL};

// The quarantine folders there are.
std::vector<std::wstring> Quarantines()
{
    std::vector<DirEntry> entries;
    std::vector<std::wstring> names;
    ListFolder(GetQuarantineRootPath() + L"*", entries);
    for (size_t i = 0; i < entries.size(); ++i)
        names.push_back(GetQuarantineRootPath() + entries[i].name + L"\\");
    return names;
}

int g_stickListings = 0;
void CountStickListings(const std::wstring& folder, std::vector<DirEntry>&)
{
    if (folder == L"E:\\")
        ++g_stickListings;
}

std::string Line(const char* prefix, const std::wstring& path)
{
    return std::string(prefix) + ToLogText(path.c_str()) + "\r\n";
}

const std::string kFooter = "\r\n" + std::string(69, '=') + "\r\n\r\n";

// One run's block of the log: "StartTime:y-m-d h:m:s\r\n\r\n" + body + footer.
std::string BodyOf(const std::string& block)
{
    const std::string::size_type header = block.find("\r\n\r\n");
    if (block.compare(0, 10, "StartTime:") != 0 || header == std::string::npos)
        return "<no header>";
    if (block.size() < kFooter.size() || block.compare(block.size() - kFooter.size(), kFooter.size(), kFooter))
        return "<no footer>";
    return block.substr(header + 4, block.size() - kFooter.size() - header - 4);
}

// The plans here list no tasks: a store of none stands in for the Task
// Scheduler, which every worker would connect to (and Wine start first).
bool ListNoTasks(std::vector<ScheduledTask>& tasks)
{
    tasks.clear();
    return true;
}
bool RemoveNoTask(const std::wstring&) { return false; }
bool AddNoTask(const std::wstring&, const std::wstring&) { return false; }
const TaskStore kNoTasks = {ListNoTasks, RemoveNoTask, AddNoTask};

class ScanRunTest : public ::testing::Test
{
protected:
    void SetUp()
    {
        SetTaskStoreForTests(&kNoTasks);
        m_path = GetScanLogPath(false);
        ASSERT_FALSE(m_path.empty());
        ::DeleteFileW(m_path.c_str());
        g_nCommandsRun = 0;
        g_nPrompts = 0;
    }
    void TearDown() { SetTaskStoreForTests(NULL); }
    std::string Log() const { return ReadFileBytes(m_path); }
    std::wstring m_path;
};

}  // namespace

TEST_F(ScanRunTest, NothingWrittenGivesHeaderNothingFoundFooter)
{
    CCompletionSink sink;
    CScanController scan(sink.m_hWnd, kQuietPlan);
    g_bAnomaliesFound = 1;  // StartScan clears what the last run left
    scan.StartScan();
    ASSERT_EQ(1, sink.Pump(10000, 1));
    scan.OnScanDone();
    EXPECT_EQ(1, sink.Pump(300)) << "one completion per start";
    EXPECT_EQ(2, g_nCommandsRun);
    EXPECT_EQ(0, g_bAnomaliesFound);
    EXPECT_EQ(0, scan.m_bUserStopped);
    const std::string log = Log();
    EXPECT_EQ(std::string(kLogNothingFound), BodyOf(log));
    EXPECT_EQ(Hex("CE B4 B7 A2 CF D6 D2 EC B3 A3"), BodyOf(log));
    EXPECT_EQ(log, ScanLog::Text());
}

TEST_F(ScanRunTest, TheShippedPlanOnACleanSandboxFindsNothing)
{
    CCompletionSink sink;
    CScanController scan(sink.m_hWnd);
    scan.StartScan();
    ASSERT_EQ(1, sink.Pump(60000, 1));
    scan.OnScanDone();
    EXPECT_EQ(0, g_bAnomaliesFound);
    EXPECT_EQ(std::string(kLogNothingFound), BodyOf(Log()));
}

TEST_F(ScanRunTest, WrittenLinesSetTheFlagAndRunsAppendToTheFile)
{
    CCompletionSink sink;
    CScanController scan(sink.m_hWnd, kWritingPlan);
    scan.StartScan();
    ASSERT_EQ(1, sink.Pump(10000, 1));
    scan.OnScanDone();
    EXPECT_EQ(1, g_bAnomaliesFound);
    EXPECT_EQ("found something\r\n", BodyOf(Log()));
    const std::string first = Log();

    // A second run is appended as its own block, without "未发现异常".
    scan.StartScan();
    EXPECT_EQ(0, g_bAnomaliesFound);
    ASSERT_EQ(2, sink.Pump(10000, 2));
    scan.OnScanDone();
    EXPECT_EQ(1, g_bAnomaliesFound);
    const std::string both = Log();
    const std::string::size_type second = both.find("StartTime:", 1);
    ASSERT_EQ(first.size(), second);
    EXPECT_EQ(first, both.substr(0, second));
    EXPECT_EQ("found something\r\n", BodyOf(both.substr(second)));
}

TEST_F(ScanRunTest, KnownFileCleanerFindingsDoNotCountAsAnomalies)
{
    const std::wstring mosss = L"C:\\Program Files\\mosss.exe";
    ASSERT_TRUE(WriteFileBytes(mosss, "MZ"));
    CCompletionSink sink;
    CScanController scan(sink.m_hWnd, kKnownFilePlan);
    scan.StartScan();
    ASSERT_EQ(1, sink.Pump(10000, 1));
    scan.OnScanDone();
    EXPECT_EQ(0, g_bAnomaliesFound);
    EXPECT_EQ(1, g_nPrompts);
    // 未发现异常, 扫描伪装文件夹型病毒!, 修复病毒修改的文件属性! without line ends.
    EXPECT_EQ(Hex("CE B4 B7 A2 CF D6 D2 EC B3 A3") +
                  Hex("C9 A8 C3 E8 CE B1 D7 B0 CE C4 BC FE BC D0 D0 CD B2 A1 B6 BE 21") +
                  Hex("D0 DE B8 B4 B2 A1 B6 BE D0 DE B8 C4 B5 C4 CE C4 BC FE CA F4 D0 D4 21"),
              BodyOf(Log()));
    ::DeleteFileW(mosss.c_str());
    HKEY key = NULL;
    ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_ALL_ACCESS, &key);
    ::RegDeleteValueW(key, L"PendingFileRenameOperations");
    ::RegCloseKey(key);
}

TEST_F(ScanRunTest, StopEndsPollingCommandsWithOneCompletionAndASavedLog)
{
    CCompletionSink sink;
    CScanController scan(sink.m_hWnd, kPollingPlan);
    scan.StartScan();
    WaitForCommands(2);
    ::Sleep(50);
    const DWORD start = ::GetTickCount();
    scan.StopScan();
    EXPECT_LT(::GetTickCount() - start, 1000u);
    EXPECT_TRUE(scan.IsStopRequested());
    EXPECT_EQ(1, sink.Pump(2000));
    scan.OnScanDone();
    EXPECT_EQ(1, scan.m_bUserStopped);
    // The command running at the stop returned at its next poll; the one
    // after it never started.
    EXPECT_EQ(2, g_nCommandsRun);
    EXPECT_EQ(std::string(kLogNothingFound), BodyOf(Log()));
}

TEST_F(ScanRunTest, StopOfABusyWorkerCompletesOnceAndTheWorkerStillSaves)
{
    CCompletionSink sink;
    CScanController scan(sink.m_hWnd, kStubbornPlan);
    scan.StartScan();
    WaitForCommands(1);
    const DWORD start = ::GetTickCount();
    scan.StopScan();
    const DWORD waited = ::GetTickCount() - start;
    EXPECT_GE(waited, 150u);
    EXPECT_LT(waited, 600u);
    // The stop posted the completion in the worker's place.
    EXPECT_EQ(1, sink.Pump(100));
    scan.OnScanDone();
    // The worker goes on, saves its log, and posts nothing more.
    ASSERT_TRUE(scan.WaitForWorkers(5000));
    EXPECT_EQ(1, sink.Pump(300));
    // The busy command finished its step; nothing after it ran.
    EXPECT_EQ(1, g_nCommandsRun);
    EXPECT_EQ("stubborn\r\n", BodyOf(Log()));
}

TEST_F(ScanRunTest, NewStartAfterALetGoWorkerWaitsForIt)
{
    CCompletionSink sink;
    CScanController scan(sink.m_hWnd, kStubbornPlan);
    scan.StartScan();
    WaitForCommands(1);
    scan.StopScan();
    ASSERT_EQ(1, sink.Pump(100));
    scan.OnScanDone();
    // Start again at once: the first worker is still busy with the log.
    scan.StartScan();
    ASSERT_EQ(2, sink.Pump(10000, 2));
    ASSERT_TRUE(scan.WaitForWorkers(5000));
    EXPECT_EQ(2, sink.Pump(300));
    // Two whole blocks, one after the other, never interleaved.
    const std::string log = Log();
    const std::string::size_type second = log.find("StartTime:", 1);
    ASSERT_NE(std::string::npos, second);
    EXPECT_EQ("stubborn\r\n", BodyOf(log.substr(0, second)));
    EXPECT_EQ("stubborn\r\n", BodyOf(log.substr(second)));
}

namespace {

int ThreadsOfThisProcess()
{
    CHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == ::GetCurrentProcessId() ? 1 : 0;
    return count;
}

// Waits for the process to have `count` threads; the last count seen.
int WaitForThreads(int count)
{
    int seen = ThreadsOfThisProcess();
    for (int i = 0; i < 500 && seen != count; ++i)
    {
        ::Sleep(10);
        seen = ThreadsOfThisProcess();
    }
    return seen;
}

}  // namespace

TEST_F(ScanRunTest, ARunTakesTheWorkerMadeAheadAndAnUnusedOneEndsWithTheController)
{
    const int before = ThreadsOfThisProcess();
    CCompletionSink sink;
    {
        // The worker, and the connection to the Task Scheduler it makes.
        CScanController unused(sink.m_hWnd, kQuietPlan);
        EXPECT_EQ(before + 2, WaitForThreads(before + 2)) << "made ahead";
        unused.ParkWorker();
        ::Sleep(50);
        EXPECT_EQ(before + 2, ThreadsOfThisProcess()) << "once is enough";
    }
    EXPECT_EQ(before, WaitForThreads(before));
    // The first run on the parked worker, the second on a new thread, the
    // third on one parked after a result: each completes once, and saves.
    CScanController scan(sink.m_hWnd, kQuietPlan);
    for (int run = 0; run < 3; ++run)
    {
        scan.StartScan();
        ASSERT_EQ(run + 1, sink.Pump(5000, run + 1)) << run;
        scan.OnScanDone();
        ASSERT_TRUE(scan.WaitForWorkers(5000));
        if (run == 1)
            scan.ParkWorker();
    }
    EXPECT_EQ(3, sink.Pump(300));
    const std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("StartTime:", log.find("StartTime:", log.find("StartTime:") + 1) + 1));
}

TEST_F(ScanRunTest, StopAfterTheWorkerPostedGivesNoSecondCompletion)
{
    CCompletionSink sink;
    CScanController scan(sink.m_hWnd, kQuietPlan);
    scan.StartScan();
    ASSERT_TRUE(scan.WaitForWorkers(5000));
    scan.StopScan();  // the completion is still in the queue
    EXPECT_EQ(1, sink.Pump(500));
}

TEST_F(ScanRunTest, ControllerGoneDuringARunDoesNotHurtTheWorker)
{
    CCompletionSink sink;
    {
        CScanController scan(sink.m_hWnd, kStubbornPlan);
        scan.StartScan();
        WaitForCommands(1);
    }
    // The worker finishes on its own, saves, and tells no one.
    for (int i = 0; i < 200 && Log().empty(); ++i)
        ::Sleep(10);
    ::Sleep(100);
    EXPECT_EQ(0, sink.Pump(100));
    EXPECT_EQ("stubborn\r\n", BodyOf(Log()));
}

TEST_F(ScanRunTest, LogFileRestartsOnlyPastOneMebibyte)
{
    ScanLog::Reset(ScanLog::kHeaderFormat);
    ScanLog::AppendText("new run");
    ASSERT_TRUE(WriteFileBytes(m_path, std::string(1048577, 'x')));
    SaveScanLog();
    EXPECT_EQ(ScanLog::Text(), Log());

    ASSERT_TRUE(WriteFileBytes(m_path, std::string(1048576, 'x')));
    SaveScanLog();
    const std::string log = Log();
    ASSERT_EQ(1048576u + ScanLog::Text().size(), log.size());
    EXPECT_EQ(ScanLog::Text(), log.substr(1048576));
    EXPECT_EQ(std::string(16, 'x'), log.substr(1048560, 16));
}

TEST_F(ScanRunTest, MissingLogFolderIsCreated)
{
    const std::wstring folder = m_path.substr(0, m_path.rfind(L'\\'));
    EXPECT_EQ(L"\\corvaneTools", folder.substr(folder.rfind(L'\\')));
    RemoveTree(folder);
    ASSERT_FALSE(FileExists(folder));
    EXPECT_EQ(m_path, GetScanLogPath(false));
    EXPECT_FALSE(FileExists(folder)) << "only the save creates folders";
    ScanLog::Reset(ScanLog::kHeaderFormat);
    SaveScanLog();
    EXPECT_EQ(ScanLog::Text(), Log());
}

namespace {

// The shipped registry command as the last step of a plan.
const wchar_t kTxtCommand[] = L"SOFTWARE\\Classes\\txtfile\\shell\\open\\command";
const PFNRUNCOMMAND kStopThenRegistry[] = {PollingCommand, &RunCommandOnStack<CKillerForRegFX>};
int g_nKnownFileRuns = 0;
bool FindingKnownFileCleaner()
{
    ++g_nKnownFileRuns;
    return true;
}
const ScanPlan kStopThenRegistryPlan = {kStopThenRegistry, 2, FindingKnownFileCleaner, CountingPrompt};

// The log file as the restart prompt finds it.
std::string g_logAtPrompt;
void PromptReadingTheLog() { g_logAtPrompt = ReadFileBytes(GetScanLogPath(false)); }
const ScanPlan kPromptReadingPlan = {kWriting, 3, FindingKnownFileCleaner, PromptReadingTheLog};

}  // namespace

TEST_F(ScanRunTest, AStopDuringTheFirstCommandRunsNothingMore)
{
    // Damage the last command would repair.
    std::wstring healthy;
    ASSERT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, kTxtCommand, NULL, healthy));
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kTxtCommand, NULL, L"C:\\gone\\viewer.exe %1"));
    g_nKnownFileRuns = 0;
    CCompletionSink sink;
    CScanController scan(sink.m_hWnd, kStopThenRegistryPlan);
    scan.StartScan();
    WaitForCommands(1);
    scan.StopScan();
    ASSERT_EQ(1, sink.Pump(2000));
    scan.OnScanDone();
    ASSERT_TRUE(scan.WaitForWorkers(5000));
    EXPECT_EQ(1, scan.m_bUserStopped);
    std::wstring command;
    EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, kTxtCommand, NULL, command));
    EXPECT_EQ(L"C:\\gone\\viewer.exe %1", command) << "the registry command never ran";
    EXPECT_EQ(0, g_nKnownFileRuns);
    EXPECT_EQ(0, g_nPrompts);
    EXPECT_EQ(std::string(kLogNothingFound), BodyOf(Log())) << "header and footer written all the same";
    SetRegText(HKEY_LOCAL_MACHINE, kTxtCommand, NULL, healthy);
}

TEST_F(ScanRunTest, AStopBeforeAnyCommandFinishedCountsAsStopped)
{
    CCompletionSink sink;
    CScanController scan(sink.m_hWnd, kStubbornPlan);
    scan.StartScan();
    WaitForCommands(1);
    scan.StopScan();  // the first command is still in its long step
    ASSERT_EQ(1, sink.Pump(500));
    ASSERT_TRUE(scan.WaitForWorkers(5000));
    scan.OnScanDone();
    EXPECT_EQ(1, scan.m_bUserStopped);
    EXPECT_EQ(1, g_nCommandsRun);
}

TEST_F(ScanRunTest, AStopBeforeTheWorkerBeganRunsNoCommand)
{
    CCompletionSink sink;
    CScanController scan(sink.m_hWnd, kWritingPlan);
    scan.StartScan();
    scan.StopScan();
    ASSERT_TRUE(scan.WaitForWorkers(5000));
    ASSERT_EQ(1, sink.Pump(500));
    scan.OnScanDone();
    EXPECT_EQ(1, scan.m_bUserStopped);
    // Whatever the worker had begun when the stop came, nothing started after it.
    EXPECT_GE(1, g_nCommandsRun);
}

TEST_F(ScanRunTest, TheLogIsWholeAndSavedBeforeTheRestartPrompt)
{
    g_logAtPrompt.clear();
    CCompletionSink sink;
    CScanController scan(sink.m_hWnd, kPromptReadingPlan);
    scan.StartScan();
    ASSERT_EQ(1, sink.Pump(10000, 1));
    scan.OnScanDone();
    // Saved once: the file after the run is what the prompt saw.
    EXPECT_EQ("found something\r\n", BodyOf(g_logAtPrompt));
    EXPECT_EQ(g_logAtPrompt, Log());
}

TEST_F(ScanRunTest, ACleanPcKeepsTheAttributesOfItsRootFiles)
{
    const wchar_t* const files[] = {L"C:\\bootmgr", L"C:\\note.txt"};
    const DWORD hidden = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY;
    for (int i = 0; i < 2; ++i)
    {
        ASSERT_TRUE(WriteFileBytes(files[i], "x"));
        ASSERT_TRUE(::SetFileAttributesW(files[i], hidden | FILE_ATTRIBUTE_ARCHIVE));
    }
    EXPECT_FALSE(RunKnownFileCleaner());
    for (int i = 0; i < 2; ++i)
    {
        EXPECT_EQ(hidden | FILE_ATTRIBUTE_ARCHIVE, ::GetFileAttributesW(files[i])) << i;
        ::SetFileAttributesW(files[i], FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(files[i]);
    }
}

TEST_F(ScanRunTest, WhatAScanDeletesIsKeptInItsQuarantineAndTheLogStaysAsItIs)
{
    RemoveTree(GetQuarantineRootPath());
    CCompletionSink sink;
    {
        // A scan that changes nothing makes no quarantine.
        CScanController scan(sink.m_hWnd, kQuietPlan);
        scan.StartScan();
        ASSERT_EQ(1, sink.Pump(10000, 1));
        EXPECT_EQ(0u, Quarantines().size());
    }
    const std::string image = TinyImage(3000);
    ASSERT_TRUE(WriteFileBytes(L"C:\\planted.exe", image));
    CScanController scan(sink.m_hWnd, kDeletingPlan);
    scan.StartScan();
    ASSERT_EQ(2, sink.Pump(10000, 2));
    ASSERT_TRUE(scan.WaitForWorkers(5000));
    EXPECT_TRUE(GetChangeRecorder() == NULL) << "the recorder goes with its scan";
    EXPECT_FALSE(FileExists(L"C:\\planted.exe"));
    EXPECT_EQ("deleted\r\n", BodyOf(Log().substr(Log().rfind("StartTime:"))));
    const std::vector<std::wstring> folders = Quarantines();
    ASSERT_EQ(1u, folders.size());
    std::vector<ManifestRecord> records;
    bool complete = false;
    int bad = 0;
    ASSERT_TRUE(ReadManifest(folders[0], records, &complete, &bad));
    EXPECT_TRUE(complete);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(L"C:\\planted.exe", records[0].path);
    std::wstring pack;
    ULONGLONG offset = 1;
    ASSERT_TRUE(ParseStoredName(records[0].stored, pack, offset));
    EXPECT_EQ(0u, offset);
    std::string kept = ReadFileBytes(folders[0] + pack);
    ASSERT_EQ(image.size(), kept.size());
    MaskBytes(reinterpret_cast<BYTE*>(&kept[0]), static_cast<DWORD>(kept.size()), 0);
    EXPECT_EQ(image, kept);
}

TEST_F(ScanRunTest, TheWalksOfTheShippedPlanListTheStickOnceAndSeeWhatTheWalksBeforeChanged)
{
    // A worm's launcher named after the folder it hid, beside a hidden
    // folder whose shortcut is no launcher. The launcher walk deletes the
    // launcher and its payload and shows the folder behind it; the drive
    // file walk after it finds that folder shown and its shortcut gone,
    // from the same listing, and repairs only the other pair.
    EmptyStick();
    ASSERT_TRUE(MakeStickFolder(L"Photos", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    ASSERT_TRUE(MakeStickFolder(L"Music", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    ASSERT_TRUE(MakeStickFile(L"Music.lnk", "no shortcut"));
    ASSERT_TRUE(MakeStickFile(L"u1.vbs", "WScript.Echo 1", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    ::CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    ASSERT_TRUE(SaveShortcut(L"E:\\Photos.lnk", L"C:\\windows\\system32\\wscript.exe", L"u1.vbs"));
    ::CoUninitialize();

    g_stickListings = 0;
    SetListingHook(CountStickListings);
    bool found = false;
    const bool ran = RunScanOnThisThread(DefaultScanPlan(), true, 10000, &found, NULL) == kScanRan;
    SetListingHook(NULL);
    ASSERT_TRUE(ran);
    EXPECT_TRUE(found);
    EXPECT_EQ(1, g_stickListings);

    EXPECT_FALSE(FileExists(L"E:\\Photos.lnk"));
    EXPECT_FALSE(FileExists(L"E:\\u1.vbs"));
    EXPECT_FALSE(FileExists(L"E:\\Music.lnk"));
    EXPECT_EQ(0u, ::GetFileAttributesW(L"E:\\Photos") & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(0u, ::GetFileAttributesW(L"E:\\Music") & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    // Each change logged once, by the walk that made it.
    EXPECT_EQ(Line(kLogLauncherDeleted, L"E:\\Photos.lnk") + Line(kLogPayloadDeleted, L"E:\\u1.vbs") +
                  Line(kLogFolderShown, L"E:\\Photos") + Line(kLogShortcutDeleted, L"E:\\Music.lnk") +
                  Line(kLogFolderShown, L"E:\\Music"),
              BodyOf(Log()));
    EmptyStick();
}

namespace {

// Holds the scan lock on a thread of its own, as another scan would.
class CLockHolder
{
public:
    CLockHolder() : m_release(::CreateEventW(NULL, TRUE, FALSE, NULL)), m_held(::CreateEventW(NULL, TRUE, FALSE, NULL))
    {
        m_thread.Attach(::CreateThread(NULL, 0, Hold, this, 0, NULL));
        ::WaitForSingleObject(m_held, 5000);
    }
    ~CLockHolder()
    {
        ::SetEvent(m_release);
        ::WaitForSingleObject(m_thread, 5000);
    }
    void Release() { ::SetEvent(m_release); }

private:
    static DWORD WINAPI Hold(void* parameter)
    {
        CLockHolder* self = static_cast<CLockHolder*>(parameter);
        CScanLock lock;
        const bool held = lock.Acquire(0) == CScanLock::kHeld;
        ::SetEvent(self->m_held);
        ::WaitForSingleObject(self->m_release, INFINITE);
        return held ? 0 : 1;
    }
    CHandle m_release;
    CHandle m_held;
    CHandle m_thread;
};

// Counts the waiting notices a window scan posts.
int g_nWaiting = 0;
WNDPROC g_sinkProc = NULL;
LRESULT CALLBACK CountWaiting(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SCAN_WAITING)
        ++g_nWaiting;
    return ::CallWindowProcW(g_sinkProc, hwnd, message, wParam, lParam);
}

DWORD WINAPI FailSetSecurity(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL, PACL)
{
    return ERROR_ACCESS_DENIED;
}

}  // namespace

TEST_F(ScanRunTest, ASquattedScanLockIsCannotLockNeverNoLockAndAWaitIsSaid)
{
    struct Squatter
    {
        const char* name;
        const wchar_t* sddl;  // the access list the squatter gives the mutex
    };
    // Nobody may open it, or (as good as) nobody but its maker.
    const Squatter squatters[] = {
        {"an empty access list", L"D:P"},
        {"administrators denied", L"D:P(D;;GA;;;BA)(A;;GA;;;WD)"},
    };
    for (size_t i = 0; i < sizeof(squatters) / sizeof(squatters[0]); ++i)
    {
        PSECURITY_DESCRIPTOR descriptor = NULL;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(squatters[i].sddl, SDDL_REVISION_1,
                                                                            &descriptor, NULL));
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
        CHandle squatted(::CreateMutexW(&attributes, FALSE, kScanLockName));
        ::LocalFree(descriptor);
        ASSERT_TRUE(squatted.IsValid()) << squatters[i].name;
        CScanLock lock;
        EXPECT_EQ(CScanLock::kUnavailable, lock.Acquire(0)) << squatters[i].name;
        g_nCommandsRun = 0;
        bool found = false;
        EXPECT_EQ(kScanCannotLock, RunScanOnThisThread(kWritingPlan, true, 0, &found)) << squatters[i].name;
        EXPECT_EQ(0, g_nCommandsRun) << squatters[i].name;
    }

    // Another scan holds the lock: busy, not unavailable; the window's run
    // says that it waits, then runs once the other ends.
    CLockHolder holder;
    CScanLock lock;
    EXPECT_EQ(CScanLock::kBusy, lock.Acquire(0));
    EXPECT_EQ(kScanAnotherRunning, RunScanOnThisThread(kWritingPlan, true, 0, NULL));
    CCompletionSink sink;
    g_sinkProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(sink.m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountWaiting)));
    g_nWaiting = 0;
    g_nCommandsRun = 0;
    CScanController controller(sink.m_hWnd, kWritingPlan);
    controller.StartScan();
    EXPECT_EQ(0, sink.Pump(1000));
    EXPECT_EQ(1, g_nWaiting);
    EXPECT_EQ(0, g_nCommandsRun);
    holder.Release();
    EXPECT_EQ(1, sink.Pump(10000, 1));
    EXPECT_TRUE(controller.WaitForWorkers(5000));
    controller.OnScanDone();
    EXPECT_EQ(kScanRan, controller.m_outcome);
    EXPECT_EQ(3, g_nCommandsRun);
}

TEST_F(ScanRunTest, APlantedFileAtTheProgramFolderNeverLeavesAScanWithoutItsLog)
{
    // The file goes aside as a planted folder would, and the log is written.
    const std::wstring folder = GetProgramFolderPath();
    const std::wstring bare = folder.substr(0, folder.size() - 1);
    RemoveTree(bare);
    ASSERT_TRUE(WriteFileBytes(bare, "planted"));
    bool found = false;
    EXPECT_EQ(kScanRan, RunScanOnThisThread(kWritingPlan, true, 10000, &found));
    EXPECT_TRUE(found);
    EXPECT_EQ("found something\r\n", BodyOf(Log()));

    // No protected folder can be made at all: the scan does not run.
    g_folderCalls.setSecurity = FailSetSecurity;
    RemoveTree(bare);
    g_nCommandsRun = 0;
    EXPECT_EQ(kScanNoProgramFolder, RunScanOnThisThread(kWritingPlan, true, 10000, &found));
    g_folderCalls.setSecurity = ::SetSecurityInfo;
    EXPECT_EQ(0, g_nCommandsRun);
    EXPECT_EQ(folder, GetProgramFolderPath()) << "nothing recorded for a folder that could not be made";
}
