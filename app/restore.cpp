#include "app/restore.h"

#include "app/command_line.h"
#include "app/restore_run.h"

int RunRestore(const std::wstring& folder, bool registry)
{
    RestoreChoice choice;
    choice.registry = registry;
    RestoreOutcome outcome;
    const int code = RestoreUnderScanLock(folder, choice, kRestoreLockWait, outcome);
    WriteToParentConsole(outcome.report);
    return code;
}

int RunList()
{
    std::wstring report;
    const int code = ListQuarantines(report);
    WriteToParentConsole(report);
    return code;
}
