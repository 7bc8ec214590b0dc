#include "app/restore_run.h"

#include "app/scan_run.h"
#include "killers/command.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "undo/program_folder.h"

const char kLogRestored[] = "恢复\t";
const char kLogRegistryRestored[] = "恢复注册表\t";

namespace {

// The lines of what came back, GBK as the log is.
std::string RestoredLines(const RestoreOutcome& outcome)
{
    std::string lines;
    for (size_t i = 0; i < outcome.items.size(); ++i)
    {
        const RestoredItem& item = outcome.items[i];
        if (!item.back)
            continue;
        lines += item.record == kRegistryScriptItem ? kLogRegistryRestored : kLogRestored;
        lines += ToLogText(item.path.substr(LongFormPrefix(item.path)).c_str()) + "\r\n";
    }
    return lines;
}

// Appends to the log file; false when it could not be written.
bool AppendToLogFile(const std::string& lines)
{
    const std::wstring path = GetScanLogPath(true);
    CHandle file;
    if (path.empty() || OpenFileForSafeWrite(path, false, file) != ERROR_SUCCESS)
        return false;
    LARGE_INTEGER end;
    end.QuadPart = 0;
    DWORD written = 0;
    return ::SetFilePointerEx(file, end, NULL, FILE_END) &&
           ::WriteFile(file, lines.data(), static_cast<DWORD>(lines.size()), &written, NULL) &&
           written == lines.size();
}

}  // namespace

int RestoreUnderScanLock(const std::wstring& folder, const RestoreChoice& choice, DWORD lockWait,
                         RestoreOutcome& outcome)
{
    outcome = RestoreOutcome();
    CScanLock lock;
    const CScanLock::Result locked = lock.Acquire(lockWait);
    if (locked != CScanLock::kHeld)
    {
        outcome.refusal = kRefusedBusy;
        outcome.report = locked == CScanLock::kBusy
                             ? L"Refused: a scan or another restore is running; try again once it is over.\r\n"
                             : L"Refused: the scan lock cannot be had (its name is taken by another program).\r\n";
        return outcome.code;
    }
    RestoreQuarantineItems(folder, choice, outcome);
    const std::string lines = RestoredLines(outcome);
    if (!lines.empty() && !AppendToLogFile(lines))
        outcome.report += L"The scan log could not be written: what came back is not noted there.\r\n";
    return outcome.code;
}
