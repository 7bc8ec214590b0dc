// The scan run: one worker thread per scan, the run state the main dialog
// owns, and the log file.
#pragma once
#include <windows.h>
#include <string>

#include "killers/command.h"
#include "platform/admin_mutex.h"
#include "platform/handles.h"

// Posted to the main dialog once per started scan (wParam and lParam 0).
const UINT WM_SCAN_DONE = WM_USER + 100;
// Posted to the main dialog when its scan waits for another scan to end
// (wParam and lParam 0).
const UINT WM_SCAN_WAITING = WM_USER + 101;

// How a scan's start went.
enum ScanOutcome
{
    kScanRan,              // it ran (to its end, or until it was stopped)
    kScanAnotherRunning,   // another scan held the lock for the whole wait
    kScanCannotLock,       // the lock could not be had at all: not run
    kScanNoProgramFolder,  // no protected folder for the log and the quarantine: not run
};

// 1 when the last scan's commands wrote anything to the log; read by the
// result dialog after WM_SCAN_DONE.
extern int g_bAnomaliesFound;

// The log file "corvaneTools\StickMedic.log" in the all-users application
// data folder; empty when that folder cannot be found.
std::wstring GetScanLogPath(bool createFolders);
// Appends the scan log to the file; a file past 1,048,576 bytes restarts.
void SaveScanLog();
// Shows the log file in the system's notepad.exe, started by its full path
// (not through the user's file types: this program runs elevated).
void OpenScanLog();

// The steps of a run as data: the commands in their order, each constructed
// on the worker's stack, run and destroyed.
typedef void (*PFNRUNCOMMAND)(ICommunication* comm);
template <class TCommand>
void RunCommandOnStack(ICommunication* comm)
{
    TCommand command;
    command.Run(comm);
}

struct ScanPlan
{
    const PFNRUNCOMMAND* commands;  // in the order they run
    size_t count;
    // The known-file cleaner's branch (look, clean, re-import the folder
    // options); returns whether it found its worm. NULL: no such cleaner.
    bool (*knownFileCleaner)();
    // Asked after the known-file cleaner found its worm: restart Windows?
    void (*restartPrompt)();
};

// The shipped known-file branch and restart prompt.
bool RunKnownFileCleaner();
void ShowRestartPrompt();


// The run's steps as the program ships them.
const ScanPlan& DefaultScanPlan();

class CQuarantine;
// Readies the quarantine of a scan that is about to start: the oldest ones
// are pruned first.
void StartQuarantine(CQuarantine& quarantine);

class CScanSession;

// The run state of the main dialog: start and stop of the worker, and the
// hand-over of its results. Exactly one WM_SCAN_DONE reaches `notify` for
// every StartScan; a worker never touches this object or the dialog.
class CScanController
{
public:
    explicit CScanController(HWND notify, const ScanPlan& plan = DefaultScanPlan());
    ~CScanController();

    // The window that gets WM_SCAN_DONE (the dialog, once it exists).
    void SetNotifyWindow(HWND notify) { m_hNotify = notify; }

    // Clears the run state and starts one worker: the one made ahead when
    // there is one, otherwise a new thread.
    void StartScan();
    // Makes the next run's worker ahead, parked until StartScan hands it
    // its run: a thread takes several milliseconds to start where many
    // modules are loaded. The window calls it when it has time to spare
    // (made with the controller, and after each result); once is enough.
    void ParkWorker();
    // Asks the worker to stop and waits for it at most 200 ms. A worker still
    // running then is let go: it finishes its remaining steps (each command
    // returns at its next poll) and saves its log, but its completion is
    // posted here, now, in its place.
    void StopScan();
    // On WM_SCAN_DONE, on the dialog's thread: takes over the run's results
    // (m_bUserStopped, g_bAnomaliesFound).
    void OnScanDone();
    // The event the result dialog sets once it shows the last run's result
    // (the worker then tells the shell what it changed); NULL without a run.
    HANDLE ResultShownEvent() const;

    bool IsStopRequested() const;
    // For tests and shutdown: waits for every worker, let go ones included.
    bool WaitForWorkers(DWORD milliseconds);

    // After each command of the last run: whether a stop had been asked for.
    int m_bUserStopped;
    // How the last run's start went (on WM_SCAN_DONE).
    ScanOutcome m_outcome;
    // The last run's quarantine folder (on WM_SCAN_DONE); empty when it
    // changed nothing, or was let go before its quarantine was whole.
    std::wstring m_strQuarantine;

private:
    CScanController(const CScanController&);
    CScanController& operator=(const CScanController&);

    HWND m_hNotify;
    const ScanPlan& m_plan;
    CScanSession* m_pSession;  // the last run's shared state
    CHandle m_hScanThread;     // the running or last worker
    CHandle m_hLetGoThread;    // a stopped worker that had not ended yet
    struct ParkedWorker* m_pParked;  // the worker made ahead, or NULL (its thread owns it)
    CHandle m_hParkedThread;
};

// Keeps two scans from running at once, in any session of the PC: a mutex
// only Administrators and SYSTEM can make or hold (platform/admin_mutex.h).
// A holder that ended without letting go leaves it free.
class CScanLock
{
public:
    CScanLock();

    enum Result
    {
        kHeld,         // this thread holds the lock
        kBusy,         // another scan held it for the whole wait
        kUnavailable,  // it cannot be had at all: no scan may run
    };
    // Waits at most `milliseconds` for the lock.
    Result Acquire(DWORD milliseconds);
    void Release() { m_hold.Release(); }

private:
    CScanLock(const CScanLock&);
    CScanLock& operator=(const CScanLock&);
    CAdminMutex m_mutex;
    CMutexHold m_hold;  // let go first
};

// The name of the scan lock's mutex ("Global\corvaneTools.StickMedic.Scan").
extern const wchar_t kScanLockName[];

// A run without a window, on the calling thread: the scan lock (waiting at
// most `lockWait` ms for another scan to end), then the run as the worker
// makes it. `saveLog` false keeps the log file as it is (the run's text is
// in ScanLog). Not run when the lock is not had in time or at all, or when
// there is no protected folder for the log and the quarantine; `anomaliesFound`:
// whether the commands wrote anything. `quarantine`: the caller's own, made
// ready (pruned) once the lock is had.
ScanOutcome RunScanOnThisThread(const ScanPlan& plan, bool saveLog, DWORD lockWait, bool* anomaliesFound,
                                CQuarantine* quarantine = NULL);

// The body of one run, on the worker: header, commands, "未发现异常" or the
// anomaly flag, the known-file cleaner, footer, save.
void ScanRun(CScanSession& session);
