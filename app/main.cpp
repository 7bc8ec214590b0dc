// StickMedic entry point.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "app/main_dlg.h"
#include "app/usage_report.h"

// Constructed before the entry point, after the module object: the usage
// report (machine identifier and the detached ping, on every start).
CUsageReport g_usageReport;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
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
