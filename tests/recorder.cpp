// Stands in for the browser, the text viewer and the security suite in the
// sandbox: records its command line, one line per start, in recorder.txt
// beside itself, and does nothing else.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    wchar_t self[MAX_PATH] = {0};
    ::GetModuleFileNameW(NULL, self, MAX_PATH);
    wchar_t* slash = self;
    for (wchar_t* p = self; *p; ++p)
        if (*p == L'\\')
            slash = p;
    lstrcpyW(slash + 1, L"recorder.txt");
    HANDLE file = ::CreateFileW(self, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    const wchar_t* line = ::GetCommandLineW();
    DWORD written = 0;
    ::WriteFile(file, line, static_cast<DWORD>(lstrlenW(line) * sizeof(wchar_t)), &written, NULL);
    ::WriteFile(file, L"\n", sizeof(wchar_t), &written, NULL);
    ::CloseHandle(file);
    return 0;
}
