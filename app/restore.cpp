#include "app/restore.h"

#include "app/command_line.h"

int RunRestore(const std::wstring& folder, bool registry)
{
    std::wstring report;
    const int code = RestoreQuarantine(folder, registry, report);
    WriteToParentConsole(report);
    return code;
}

int RunList()
{
    std::wstring report;
    const int code = ListQuarantines(report);
    WriteToParentConsole(report);
    return code;
}
