// The scan without a window, for logon scripts, deployment tools and remote
// shells: StickMedic.exe /scan [/report-only] [/log "<path>"]. The result is
// the exit code and the files.
#pragma once
#include <windows.h>

#include <string>

#include "app/command_line.h"
#include "undo/change_gate.h"

// The exit codes of a silent scan.
enum SilentScanExit
{
    kExitNothingFound = 0,
    kExitRepaired = 1,
    kExitRepairedRestart = 2,     // files are deleted at the next start of Windows
    kExitRepairFailed = 3,        // a change failed or was left, or a file could not be written
    kExitWouldChange = 4,         // report-only: the scan would change something
    kExitAnotherScan = 66,        // another scan ran on for the whole wait
    kExitCannotLock = 67,         // the scan lock cannot be had at all: nothing was done
    kExitNoProgramFolder = 68,    // no protected folder for the log and quarantine: nothing was done
};

// How long a silent scan waits for another scan to end.
const DWORD kSilentScanLockWait = 10 * 60 * 1000;

// Counts the changes a scan makes, on top of the recorder installed before
// it (a quarantine, say), which still sees and decides every change first.
class CChangeTally : public IChangeRecorder
{
public:
    explicit CChangeTally(IChangeRecorder* inner)
        : m_pInner(inner), m_nMade(0), m_nFailed(0), m_nLeft(0), m_nDeclined(0), m_nScheduled(0)
    {
    }

    virtual Verdict Before(const ChangeRequest& change);
    // A failed deletion whose target is not there is no failed repair: the
    // commands try names that may be absent.
    virtual void After(const ChangeRequest& change, bool succeeded);
    static bool AlreadyGone(const ChangeRequest& change);

    IChangeRecorder* m_pInner;
    int m_nMade;       // made and succeeded
    int m_nFailed;     // made and failed
    int m_nLeft;       // left by the recorder below (no copy could be kept)
    int m_nDeclined;   // declined by the recorder below
    int m_nScheduled;  // deletions scheduled for the next start of Windows
    std::string m_failures;  // one line in the log's style per change failed or left
};

// The exit code of a scan that made changes, from what it found and did.
int RepairExitCode(bool found, bool restartNeeded, const CChangeTally& tally);

// Runs the silent scan the options ask for; the exit code. Text for the
// caller (errors) goes to its console.
int RunSilentScan(const CommandLineOptions& options);

// The report's path: StickMedic-report.log beside the log file; empty when
// the log's folder is unknown.
std::wstring GetReportPath();
