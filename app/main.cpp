// StickMedic entry point.
#include <windows.h>
#include <objbase.h>

#include "app/scan_run.h"

namespace {

// Until the main dialog exists, the program runs one scan without a window
// of its own and ends: a message-only window receives the completion.
LRESULT CALLBACK NotifyProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SCAN_DONE)
    {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    ::CoInitialize(NULL);
    ::SetErrorMode(SEM_NOOPENFILEERRORBOX | SEM_NOALIGNMENTFAULTEXCEPT);

    WNDCLASSW wc = {};
    wc.lpfnWndProc = NotifyProc;
    wc.hInstance = instance;
    wc.lpszClassName = L"StickMedicScan";
    ::RegisterClassW(&wc);
    HWND notify = ::CreateWindowW(wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, instance, NULL);

    int result = 0;
    {
        CScanController scan(notify);
        scan.StartScan();
        MSG msg;
        while (::GetMessageW(&msg, NULL, 0, 0) > 0)
            ::DispatchMessageW(&msg);
        scan.OnScanDone();
        scan.WaitForWorkers(INFINITE);
    }
    if (notify)
        ::DestroyWindow(notify);
    ::CoUninitialize();
    return result;
}
