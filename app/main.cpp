// StickMedic entry point.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/main_dlg.h"
#include "app/restore.h"
#include "app/silent_scan.h"
#include "app/usage_report.h"

namespace {

// What this start is, read once from the command line.
const CommandLineOptions& StartOptions()
{
    static const CommandLineOptions options = ParseCommandLine(::GetCommandLineW());
    return options;
}

}  // namespace

// Constructed before the entry point, after the module object: the usage
// report (machine identifier and the detached ping) of the starts that send it.
CUsageReport g_usageReport(WantsUsageReport(StartOptions()));

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    ::CoInitialize(NULL);
    ::SetErrorMode(SEM_NOOPENFILEERRORBOX | SEM_NOALIGNMENTFAULTEXCEPT);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);
    const CommandLineOptions& options = StartOptions();
    if (options.mode == kStartUsage || options.mode == kStartBadArguments)
    {
        WriteToParentConsole((options.error.empty() ? std::wstring() : options.error + L"\r\n") + UsageText());
        ::CoUninitialize();
        return kExitBadArguments;
    }
    if (options.mode == kStartRestore || options.mode == kStartList)
    {
        const int code = options.mode == kStartRestore ? RunRestore(options.restoreFolder, options.restoreRegistry)
                                                       : RunList();
        ::CoUninitialize();
        return code;
    }
    if (options.mode == kStartSilentScan)
    {
        const int code = RunSilentScan(options);
        ::CoUninitialize();
        return code;
    }

    g_appModule.Init(instance);

    INT_PTR result = -1;
    {
        CMainDlg dialog;
        result = dialog.DoModal(::GetActiveWindow());
    }
    g_appModule.Term();
    ::CoUninitialize();
    return static_cast<int>(result);
}
