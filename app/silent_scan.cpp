#include "app/silent_scan.h"

#include "app/report_only.h"
#include "app/scan_run.h"
#include "killers/reg_script.h"
#include "killers/scan_log.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "platform/held_path.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "undo/program_folder.h"
#include "undo/quarantine.h"

namespace {

// Set by the plan's restart prompt, which a silent scan never shows.
volatile LONG g_bRestartNeeded = 0;

void NoteRestartNeeded() { ::InterlockedExchange(&g_bRestartNeeded, 1); }

std::wstring FolderOf(const std::wstring& path)
{
    const std::wstring::size_type slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring FullPath(const std::wstring& path)
{
    wchar_t full[MAX_PATH * 2] = {0};
    const DWORD length = ::GetFullPathNameW(path.c_str(), MAX_PATH * 2, full, NULL);
    return length > 0 && length < MAX_PATH * 2 ? std::wstring(full) : std::wstring();
}

// Whether the folder of a /log file can be held: on a local drive, every
// folder from the root down a plain folder (none a junction or link) and
// where its path says.
bool CanHoldFolderOf(const std::wstring& path)
{
    CFolderChain folder;
    return folder.Open(path, false, false) == ERROR_SUCCESS && folder.InPlace();
}

// Writes the bytes as a new file in its held folder: what stood at the path
// goes first (a link planted there is removed, never written through), and
// a folder that is a reparse point, or was swapped meanwhile, is not written
// into.
bool WriteNewFile(const std::wstring& path, const std::string& bytes)
{
    return WriteFreshFile(path, bytes.data(), static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
}

size_t HeaderLength(const std::string& log)
{
    const std::string::size_type end = log.find("\r\n\r\n");
    return end == std::string::npos ? 0 : end + 4;
}

// GBK log text back to UTF-16 for the console.
std::wstring FromLogText(const std::string& text)
{
    const int chars = ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), NULL, 0);
    if (chars <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(chars), L'\0');
    ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], chars);
    return wide;
}

void Tell(const std::wstring& text) { WriteToParentConsole(L"StickMedic: " + text + L"\r\n"); }

// Why a scan did not run, to the caller; its exit code.
int NotRun(ScanOutcome outcome)
{
    switch (outcome)
    {
    case kScanCannotLock:
        Tell(L"the scan lock cannot be had (its name is taken by another program); nothing was done");
        return kExitCannotLock;
    case kScanNoProgramFolder:
        Tell(L"no protected folder for the log and the quarantine can be made in " + GetProgramFolderPath() +
             L"; nothing was done");
        return kExitNoProgramFolder;
    default:
        Tell(L"another scan kept running; nothing was done");
        return kExitAnotherScan;
    }
}

}  // namespace

IChangeRecorder::Verdict CChangeTally::Before(const ChangeRequest& change)
{
    const Verdict verdict = m_pInner ? m_pInner->Before(change) : kMake;
    if (verdict == kLeave)
    {
        ++m_nLeft;
        m_failures += CReportOnlyRecorder::Describe(change) + "\r\n";
    }
    else if (verdict == kDecline)
        ++m_nDeclined;
    return verdict;
}

bool CChangeTally::AlreadyGone(const ChangeRequest& change)
{
    switch (change.kind)
    {
    case kChangeDeleteFile:
    case kChangeRemoveFolder:
        return ::GetFileAttributesW(change.path.c_str()) == INVALID_FILE_ATTRIBUTES;
    case kChangeDeleteValue:
        return ::RegQueryValueExW(change.key, change.name, NULL, NULL, NULL, NULL) == ERROR_FILE_NOT_FOUND;
    case kChangeDeleteTree:
    {
        CRegKey key;
        return key.Open(change.key, change.name, KEY_READ | change.view) == ERROR_FILE_NOT_FOUND;
    }
    default:
        return false;
    }
}

void CChangeTally::After(const ChangeRequest& change, bool succeeded)
{
    if (m_pInner)
        m_pInner->After(change, succeeded);
    if (!succeeded && AlreadyGone(change))
        return;  // nothing was there to repair
    if (!succeeded)
    {
        ++m_nFailed;
        m_failures += CReportOnlyRecorder::Describe(change) + "\r\n";
    }
    else if (change.kind == kChangeScheduleDelete)
        ++m_nScheduled;
    else
        ++m_nMade;
}

int RepairExitCode(bool found, bool restartNeeded, const CChangeTally& tally)
{
    if (tally.m_nFailed > 0 || tally.m_nLeft > 0)
        return kExitRepairFailed;
    if (restartNeeded || tally.m_nScheduled > 0)
        return kExitRepairedRestart;
    return found || tally.m_nMade > 0 ? kExitRepaired : kExitNothingFound;
}

std::wstring GetReportPath()
{
    const std::wstring log = GetScanLogPath(false);
    return log.empty() ? std::wstring() : FolderOf(log) + kReportFileName;
}

int RunSilentScan(const CommandLineOptions& options)
{
    std::wstring logCopy;
    if (!options.logCopy.empty())
    {
        logCopy = FullPath(options.logCopy);
        if (logCopy.empty() || !CanHoldFolderOf(logCopy))
        {
            Tell(L"the folder of the /log file does not exist: " + options.logCopy);
            return kExitBadArguments;
        }
    }

    EnablePrivilege(L"SeDebugPrivilege");
    ScanPlan plan = DefaultScanPlan();
    plan.restartPrompt = NoteRestartNeeded;
    ::InterlockedExchange(&g_bRestartNeeded, 0);

    if (options.reportOnly)
    {
        CReportOnlyRecorder report;
        bool found = false;
        {
            CRecordChangesWith scope(&report);
            const ScanOutcome outcome = RunScanOnThisThread(plan, false, kSilentScanLockWait, &found);
            if (outcome != kScanRan)
                return NotRun(outcome);
        }
        const std::string& log = ScanLog::Text();
        const std::string text = report.Compose(log, HeaderLength(log));
        // Only into the program's protected folder (a folder planted in its
        // place goes aside first), as a new file.
        const std::wstring folder = GetProgramFolder();
        const std::wstring reportPath = folder.empty() ? GetReportPath() : folder + kReportFileName;
        if (folder.empty() ||
            WriteFreshFile(reportPath, text.data(), static_cast<DWORD>(text.size())) != ERROR_SUCCESS)
            Tell(L"the report could not be written: " + reportPath);
        if (!logCopy.empty() && !WriteNewFile(logCopy, text))
            Tell(L"the /log file could not be written: " + logCopy);
        return found || report.DeclinedCount() > 0 ? kExitWouldChange : kExitNothingFound;
    }

    // The folder options the known-file cleaner puts back, as the window's
    // start writes them.
    const std::wstring fixReg = GetFixRegPath();
    if (!fixReg.empty())
        ExtractBinResource(kFixRegScriptId, fixReg.c_str());

    // The count of what was done and left sits over the scan's quarantine.
    CQuarantine quarantine(GetQuarantineRootPath());
    CChangeTally tally(&quarantine);
    bool found = false;
    {
        CRecordChangesWith scope(&tally);
        const ScanOutcome outcome = RunScanOnThisThread(plan, true, kSilentScanLockWait, &found, &quarantine);
        if (outcome != kScanRan)
            return NotRun(outcome);
    }
    quarantine.Finish();
    if (!logCopy.empty() && !WriteNewFile(logCopy, ScanLog::Text()))
        Tell(L"the /log file could not be written: " + logCopy);
    const bool restart = ::InterlockedCompareExchange(&g_bRestartNeeded, 0, 0) != 0;
    if (!tally.m_failures.empty())
        Tell(L"not done:\r\n" + FromLogText(tally.m_failures));
    return RepairExitCode(found || restart, restart, tally);
}
