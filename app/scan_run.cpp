#include "app/scan_run.h"

#include <shellapi.h>
#include <shlobj.h>

#include <memory>
#include <utility>

#include "killers/autostart_killer.h"
#include "killers/eljfilefx.h"
#include "killers/file_fx.h"
#include "killers/launcher_killer.h"
#include "killers/lnk_killer.h"
#include "killers/one_kb.h"
#include "killers/payload_identity.h"
#include "killers/reg_fx.h"
#include "killers/reg_script.h"
#include "killers/scan_log.h"
#include "killers/shell_notice.h"
#include "killers/task_listing_ahead.h"
#include "platform/array_count.h"
#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "platform/held_path.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/sha256.h"
#include "undo/change_gate.h"
#include "undo/program_folder.h"
#include "undo/quarantine.h"
#include "undo/root_listings.h"

int g_bAnomaliesFound = 0;

// What one run shares between the dialog side and its worker. Both hold a
// reference; the last one to let go deletes it, so the worker never reaches
// into the dialog, however early the dialog goes away.
class CScanSession : public ICommunication
{
public:
    CScanSession(HWND notify, const ScanPlan& plan, HANDLE previousWorker)
        : m_bStopRequested(0), m_bUserStopped(0), m_bAnomaliesFound(0), m_nOutcome(kScanRan), m_plan(plan),
          m_hPreviousWorker(previousWorker), m_bSaveLog(true), m_hResultShown(::CreateEventW(NULL, TRUE, FALSE, NULL)),
          m_hNotify(notify), m_nCompletion(0), m_nRefs(2), m_pQuarantine(NULL)
    {
    }

    virtual bool IsStopRequested() { return ::InterlockedCompareExchange(&m_bStopRequested, 0, 0) != 0; }
    void RequestStop() { ::InterlockedExchange(&m_bStopRequested, 1); }

    // Posts WM_SCAN_DONE unless someone did already: the worker at its end,
    // or the stop in place of a worker it let go. Only the first one posts.
    void PostCompletion()
    {
        if (::InterlockedCompareExchange(&m_nCompletion, 1, 0) != 0)
            return;
        HWND notify = static_cast<HWND>(::InterlockedCompareExchangePointer(
            reinterpret_cast<void* volatile*>(&m_hNotify), NULL, NULL));
        if (notify)
            ::PostMessageW(notify, WM_SCAN_DONE, 0, 0);
    }

    // Tells the window that the run waits for another scan.
    void PostWaiting()
    {
        HWND notify = static_cast<HWND>(::InterlockedCompareExchangePointer(
            reinterpret_cast<void* volatile*>(&m_hNotify), NULL, NULL));
        if (notify)
            ::PostMessageW(notify, WM_SCAN_WAITING, 0, 0);
    }

    // The dialog side is gone: nobody to tell any more, and no result to
    // wait for.
    void Detach()
    {
        ::InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&m_hNotify), NULL);
        ::SetEvent(m_hResultShown);
    }

    void Release()
    {
        if (::InterlockedDecrement(&m_nRefs) == 0)
            delete this;
    }

    // The run's quarantine folder, told once the quarantine is whole: the
    // result dialog offers to undo the scan only then.
    void PublishQuarantine(const std::wstring& folder)
    {
        std::wstring* copy = new std::wstring(folder);
        if (::InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&m_pQuarantine), copy, NULL))
            delete copy;
    }
    std::wstring QuarantineFolder()
    {
        const std::wstring* folder = static_cast<const std::wstring*>(::InterlockedCompareExchangePointer(
            reinterpret_cast<void* volatile*>(&m_pQuarantine), NULL, NULL));
        return folder ? *folder : std::wstring();
    }

    volatile LONG m_bStopRequested;
    volatile LONG m_bUserStopped;
    volatile LONG m_bAnomaliesFound;
    volatile LONG m_nOutcome;  // a ScanOutcome
    const ScanPlan& m_plan;
    CHandle m_hPreviousWorker;  // owned by the worker: a run waits for the one before
    bool m_bSaveLog;           // false: the run's text stays in ScanLog only
    const CHandle m_hResultShown;  // set once the run's result is on the screen
    // The Task Scheduler's connection its worker made while it was parked;
    // the worker's alone, taken over by its run.
    std::unique_ptr<CTaskListing> m_pTasksAhead;

private:
    virtual ~CScanSession() { delete m_pQuarantine; }
    HWND m_hNotify;
    volatile LONG m_nCompletion;
    volatile LONG m_nRefs;
    std::wstring* volatile m_pQuarantine;
};


namespace {

// How long a worker waits for its result to show before it tells the shell
// of changed associations all the same.
const DWORD kShellNoticeWaitMs = 3000;

// The cleaning commands, in the order they run.
const PFNRUNCOMMAND kScanCommands[] = {
    &RunCommandOnStack<CKillerForOneKB>,      // worm processes, registry traces, drive files
    &RunCommandOnStack<CKillerForLnkKiller>,  // shortcut and .exe association hijacks
    &RunCommandOnStack<CKillerForLaunchers>,  // worm launcher shortcuts on sticks, before the drive files
    &RunCommandOnStack<CKillerForFileFX>,     // autorun.inf, then drive root files
    &RunCommandOnStack<CKillerForAutostarts>, // the worm's autostart entries on the PC, after the stick walks
    &RunCommandOnStack<CKillerForRegFX>,      // system registry settings
};

const ScanPlan kDefaultPlan = {kScanCommands, ArrayCount(kScanCommands),
                               RunKnownFileCleaner, ShowRestartPrompt};

// The run, when the program's protected folder can be had: never a scan
// without its log and quarantine.
ScanOutcome RunWithProgramFolder(CScanSession& session)
{
    const CProgramFolderMemo programFolder;  // the run secures it once
    if (GetProgramFolder().empty())
        return kScanNoProgramFolder;
    ScanRun(session);
    return kScanRan;
}

DWORD WINAPI ScanThreadProc(void* parameter)
{
    CScanSession* session = static_cast<CScanSession*>(parameter);
    // The shell hears of changed associations once the result is shown.
    const CShellNoticeAtEnd shellNotice(session->m_hResultShown, kShellNoticeWaitMs);
    if (session->m_hPreviousWorker.IsValid())
    {
        // A stopped run that was let go may still be finishing: two workers
        // never write the scan log at once.
        ::WaitForSingleObject(session->m_hPreviousWorker, INFINITE);
        session->m_hPreviousWorker.Close();
    }
    // Another scan (a silent one) may be running: wait for it here, on the
    // worker, so the window stays responsive, and say so. A stop while
    // waiting ends the run before it began.
    CScanLock lock;
    CScanLock::Result result = lock.Acquire(100);
    if (result == CScanLock::kBusy)
        session->PostWaiting();
    while (result == CScanLock::kBusy && !session->IsStopRequested())
        result = lock.Acquire(100);
    if (result == CScanLock::kHeld)
        ::InterlockedExchange(&session->m_nOutcome, RunWithProgramFolder(*session));
    else if (result == CScanLock::kUnavailable)
        ::InterlockedExchange(&session->m_nOutcome, kScanCannotLock);
    else
        ::InterlockedExchange(&session->m_bUserStopped, 1);
    lock.Release();
    // A run that never began leaves the connection made for it: ended here,
    // on the worker, not by whoever lets go of the session last.
    session->m_pTasksAhead.reset();
    session->PostCompletion();
    session->Release();
    return 0;
}

}  // namespace

// A worker made ahead, parked until a run hands it its session. Its thread
// owns this block and the event. While it waits, it connects to the Task
// Scheduler for its run (the service's slowest answer) and readies the
// hash provider the quarantine keeps files with.
struct ParkedWorker
{
    HANDLE go;              // set once `session` is filled in
    CScanSession* session;  // NULL at go: end without a run
};

namespace {

DWORD WINAPI ParkedThreadProc(void* parameter)
{
    ParkedWorker* parked = static_cast<ParkedWorker*>(parameter);
    std::unique_ptr<CTaskListing> tasks(new CTaskListing(CTaskListing::kWhenAsked));
    PrepareSha256();  // for the files its run keeps
    ::WaitForSingleObject(parked->go, INFINITE);
    CScanSession* session = parked->session;
    ::CloseHandle(parked->go);
    delete parked;
    if (!session)
        return 0;
    session->m_pTasksAhead = std::move(tasks);
    return ScanThreadProc(session);
}

}  // namespace

const ScanPlan& DefaultScanPlan() { return kDefaultPlan; }

void StartQuarantine(CQuarantine& quarantine)
{
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    quarantine.Prune(now);
}

bool RunKnownFileCleaner()
{
    CEljfilefx module;
    if (!module.Scan())
        return false;
    ScanLog::AppendText(kLogKnownFileFound);
    module.Clean();
    ScanLog::AppendText(kLogKnownFileCleaned);
    // The cleaner deleted the folder options for hidden files: put them back.
    ImportScriptResource(kFixRegScriptId);
    return true;
}

void ShowRestartPrompt() { ShowRestartDialog(L"需要重启系统使设置生效，现在就重启？"); }

namespace {

// The commands, then the known-file cleaner; true when the cleaner asks for
// a restart.
bool RunCommands(CScanSession& session)
{
    const int headerLength = ScanLog::Length();
    // The walks over drive roots share one listing of each root, listed
    // when the first walk asks (after the worm's processes are ended).
    CRootListings listings;
    // The drive roots their changes are held in, opened once for the run.
    CSharedRoots roots;
    // What the stick walks remove, for the autostart walk to know its
    // copies on the PC by their bytes.
    CStickPayloads stickPayloads;

    // Once a stop is asked for, no further command starts (the running one
    // returns at its next poll); the log is still closed and saved.
    const ScanPlan& plan = session.m_plan;
    for (size_t i = 0; i < plan.count && !session.IsStopRequested(); ++i)
    {
        plan.commands[i](&session);
        ::InterlockedExchange(&session.m_bUserStopped, session.IsStopRequested() ? 1 : 0);
    }
    if (session.IsStopRequested())
        ::InterlockedExchange(&session.m_bUserStopped, 1);

    // Only what the commands wrote counts as found.
    if (ScanLog::Length() == headerLength)
        ScanLog::AppendText(kLogNothingFound);
    else
        ::InterlockedExchange(&session.m_bAnomaliesFound, 1);

    // What the known-file cleaner writes does not count as found above.
    return !session.IsStopRequested() && plan.knownFileCleaner && plan.knownFileCleaner();
}

}  // namespace

void ScanRun(CScanSession& session)
{
    // The Task Scheduler's service, connected to from the start (or while
    // the worker waited for the press) and asked for its tasks while the
    // stick walks run.
    CTaskListingAhead tasksAhead(session.m_pTasksAhead.release());
    // The drive letters' types and mappings, asked once for the whole run
    // (ahead, while the worm's processes are ended), the program's folder,
    // secured once, and the levels of the users' hives
    // checked on the way to their keys.
    CDriveLetterMemo drives;
    drives.AskAhead();
    CProgramFolderMemo programFolder;
    CUserKeyMemo userKeys;
    // Everything the scan changes is kept in its quarantine first, unless
    // the caller installed a recorder of its own (a silent scan counting
    // over its own quarantine, or report-only, which changes nothing).
    IChangeRecorder* const installed = GetChangeRecorder();
    CQuarantine quarantine(GetQuarantineRootPath());
    if (!installed)
        StartQuarantine(quarantine);
    bool restart = false;
    {
        const CRecordChangesWith recording(installed ? installed : &quarantine);
        ScanLog::Reset(ScanLog::kHeaderFormat);
        restart = RunCommands(session);

        // The log is whole and saved before the restart prompt: a restart,
        // or the window closing meanwhile, loses nothing.
        ScanLog::AppendText(kLogFooter);
        if (session.m_bSaveLog)
            SaveScanLog();
    }
    // The quarantine is whole before the prompt too.
    if (!installed)
    {
        quarantine.Finish();
        session.PublishQuarantine(quarantine.Folder());
    }

    // A stopped run has had its result dialog already: no prompt after it.
    if (restart && session.m_plan.restartPrompt && !session.IsStopRequested())
        session.m_plan.restartPrompt();
}

const wchar_t kScanLockName[] = L"Global\\corvaneTools.StickMedic.Scan";

CScanLock::CScanLock() : m_mutex(kScanLockName + 7) {}

CScanLock::Result CScanLock::Acquire(DWORD milliseconds)
{
    if (!m_mutex.Get())
        return kUnavailable;  // never "no lock needed"
    return m_hold.Wait(m_mutex.Get(), milliseconds) ? kHeld : kBusy;
}

ScanOutcome RunScanOnThisThread(const ScanPlan& plan, bool saveLog, DWORD lockWait, bool* anomaliesFound,
                                CQuarantine* quarantine)
{
    CScanLock lock;
    const CScanLock::Result result = lock.Acquire(lockWait);
    if (result != CScanLock::kHeld)
        return result == CScanLock::kBusy ? kScanAnotherRunning : kScanCannotLock;
    const CProgramFolderMemo programFolder;  // the run secures it once
    if (GetProgramFolder().empty())
        return kScanNoProgramFolder;
    if (quarantine)
        StartQuarantine(*quarantine);
    CScanSession* session = new CScanSession(NULL, plan, NULL);
    session->m_bSaveLog = saveLog;
    ScanRun(*session);
    if (anomaliesFound)
        *anomaliesFound = session->m_bAnomaliesFound != 0;
    session->Release();
    session->Release();
    return kScanRan;
}

CScanController::CScanController(HWND notify, const ScanPlan& plan)
    : m_bUserStopped(0), m_outcome(kScanRan), m_hNotify(notify), m_plan(plan), m_pSession(NULL), m_pParked(NULL)
{
    ParkWorker();
}

CScanController::~CScanController()
{
    // Nothing waits for a worker: it ends with the process, or finishes and
    // releases its half of the session. A parked one ends unused.
    if (m_pParked)
    {
        m_pParked->session = NULL;
        ::SetEvent(m_pParked->go);
    }
    if (m_pSession)
    {
        m_pSession->RequestStop();
        m_pSession->Detach();
        m_pSession->Release();
    }
}

void CScanController::StartScan()
{
    // The worker before this one (at most one exists: a stop moves it to
    // m_hLetGoThread) may still be finishing; the new worker waits for it,
    // not the dialog, which stays responsive.
    const HANDLE previous = m_hLetGoThread.IsValid() ? m_hLetGoThread.Detach() : m_hScanThread.Detach();
    m_hScanThread.Close();

    if (m_pSession)
    {
        m_pSession->Detach();
        m_pSession->Release();
    }
    m_bUserStopped = 0;
    m_outcome = kScanRan;
    m_strQuarantine.clear();
    g_bAnomaliesFound = 0;

    m_pSession = new CScanSession(m_hNotify, m_plan, previous);
    if (m_pParked)
    {
        // The block is the thread's from the moment it is told to go.
        m_pParked->session = m_pSession;
        ::SetEvent(m_pParked->go);
        m_pParked = NULL;
        m_hScanThread.Attach(m_hParkedThread.Detach());
    }
    else
    {
        m_hScanThread.Attach(::CreateThread(NULL, 0, ScanThreadProc, m_pSession, 0, NULL));
    }
    if (!m_hScanThread.IsValid())
    {
        // No worker: the run is over before it began, and still completes once.
        m_pSession->m_hPreviousWorker.Close();
        m_pSession->PostCompletion();
        m_pSession->Release();  // the worker's reference
    }
}

void CScanController::ParkWorker()
{
    if (m_pParked)
        return;
    ParkedWorker* parked = new ParkedWorker;
    parked->session = NULL;
    parked->go = ::CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE thread = parked->go ? ::CreateThread(NULL, 0, ParkedThreadProc, parked, 0, NULL) : NULL;
    if (!thread)
    {
        if (parked->go)
            ::CloseHandle(parked->go);
        delete parked;
        return;
    }
    m_pParked = parked;
    m_hParkedThread.Attach(thread);
}

void CScanController::StopScan()
{
    if (!m_pSession)
        return;
    m_pSession->RequestStop();
    if (!m_hScanThread.IsValid())
        return;
    if (::WaitForSingleObject(m_hScanThread, 200) != WAIT_OBJECT_0)
    {
        // Let it go: it finishes and saves its log, its completion is ours.
        m_pSession->PostCompletion();
        m_hLetGoThread.Attach(m_hScanThread.Detach());
    }
    m_hScanThread.Close();
}

HANDLE CScanController::ResultShownEvent() const { return m_pSession ? m_pSession->m_hResultShown.Get() : NULL; }

void CScanController::OnScanDone()
{
    if (!m_pSession)
        return;
    m_bUserStopped = m_pSession->m_bUserStopped;
    g_bAnomaliesFound = m_pSession->m_bAnomaliesFound;
    m_outcome = static_cast<ScanOutcome>(::InterlockedCompareExchange(&m_pSession->m_nOutcome, 0, 0));
    m_strQuarantine = m_pSession->QuarantineFolder();
}

bool CScanController::IsStopRequested() const
{
    return m_pSession && const_cast<CScanSession*>(m_pSession)->IsStopRequested();
}

bool CScanController::WaitForWorkers(DWORD milliseconds)
{
    HANDLE handles[2];
    DWORD count = 0;
    if (m_hLetGoThread.IsValid())
        handles[count++] = m_hLetGoThread;
    if (m_hScanThread.IsValid())
        handles[count++] = m_hScanThread;
    if (count == 0)
        return true;
    return ::WaitForMultipleObjects(count, handles, TRUE, milliseconds) != WAIT_TIMEOUT;
}

std::wstring GetScanLogPath(bool createFolders)
{
    // Creating the folder makes it protected (or takes it over) first: the
    // log is only ever written where only Administrators and SYSTEM write.
    const std::wstring folder = createFolders ? GetProgramFolder() : GetProgramFolderPath();
    if (folder.empty())
        return std::wstring();  // never a path built from an empty folder
    return folder + L"StickMedic.log";
}

void SaveScanLog()
{
    const std::wstring path = GetScanLogPath(true);
    if (path.empty())
        return;
    CHandle file;
    if (OpenFileForSafeWrite(path, false, file) != ERROR_SUCCESS)
        return;
    if (::GetFileSize(file, NULL) > 0x100000)
    {
        ::SetFilePointer(file, 0, NULL, FILE_BEGIN);
        ::SetEndOfFile(file);
    }
    else
    {
        ::SetFilePointer(file, 0, NULL, FILE_END);
    }
    const std::string& text = ScanLog::Text();
    DWORD written = 0;
    if (!text.empty())
        ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, NULL);
}

void OpenScanLog()
{
    const std::wstring path = GetScanLogPath(false);
    if (path.empty())
        return;
    // The system's own text viewer, by its full path: this program runs
    // elevated, and the viewer the user's file types name would run so too.
    wchar_t windows[MAX_PATH] = {0};
    const UINT length = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    const std::wstring viewer = WithBackslash(windows) + L"notepad.exe";
    std::wstring commandLine = L"\"" + viewer + L"\" \"" + path + L"\"";
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started;
    if (::CreateProcessW(viewer.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &started))
    {
        const CHandle thread(started.hThread);
        const CHandle process(started.hProcess);
    }
}
