// StickMedic entry point.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/main_dlg.h"
#include "app/restore.h"
#include "app/usage_report.h"

namespace {

// The command-line modes that run without a window; false when none is asked.
bool RunCommandLineMode(int* exitCode)
{
    int count = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!argv)
        return false;
    const std::vector<std::wstring> arguments(argv, argv + count);
    ::LocalFree(argv);
    return RunQuarantineCommand(arguments, exitCode);
}

}  // namespace

// Constructed before the entry point, after the module object: the usage
// report (machine identifier and the detached ping, on every start).
CUsageReport g_usageReport;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    int exitCode = 0;
    if (RunCommandLineMode(&exitCode))
        return exitCode;
    ::CoInitialize(NULL);
    ::SetErrorMode(SEM_NOOPENFILEERRORBOX | SEM_NOALIGNMENTFAULTEXCEPT);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);
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
