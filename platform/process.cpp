#include "platform/process.h"

#include <windows.h>
#include <psapi.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include "platform/change_gate.h"
#include "platform/handles.h"
#include "platform/system_function.h"

namespace {

typedef BOOL(WINAPI* PFNQUERYFULLPROCESSIMAGENAMEW)(HANDLE, DWORD, LPWSTR, PDWORD);

PFNQUERYFULLPROCESSIMAGENAMEW QueryFullProcessImageNameFunction()
{
    // Vista and later; looked up at run time so that the program starts on XP.
    static PFNQUERYFULLPROCESSIMAGENAMEW function =
        SystemFunction<PFNQUERYFULLPROCESSIMAGENAMEW>(L"kernel32.dll", "QueryFullProcessImageNameW");
    return function;
}

}  // namespace

bool GetProcessImagePath(void* process, wchar_t* path, unsigned long chars)
{
    if (PFNQUERYFULLPROCESSIMAGENAMEW query = QueryFullProcessImageNameFunction())
    {
        DWORD length = chars;
        if (query(process, 0, path, &length) && length > 0)
            return true;
    }
    // Windows XP does not terminate a path that fills the buffer: one
    // character is kept back for the terminator.
    if (chars < 2)
        return false;
    const DWORD length = ::GetModuleFileNameExW(process, NULL, path, chars - 1);
    if (length == 0)
        return false;
    path[length < chars - 1 ? length : chars - 1] = L'\0';
    return true;
}

int TerminateProcessesByPath(const wchar_t* pattern)
{
    CHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.IsValid())
        return 0;
    PROCESSENTRY32W entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    if (!::Process32FirstW(snapshot, &entry))
        return 0;
    const DWORD self = ::GetCurrentProcessId();
    do
    {
        if (entry.th32ProcessID == self)
            continue;  // never this program itself
        // It may have exited since the snapshot: then the open fails.
        CHandle process(::OpenProcess(PROCESS_ALL_ACCESS, FALSE, entry.th32ProcessID));
        if (!process.IsValid())
            continue;
        wchar_t path[MAX_PATH] = {0};
        if (!GetProcessImagePath(process, path, MAX_PATH))
            continue;
        if (::StrStrIW(path, pattern))
            GateEndProcess(process, path);
    } while (::Process32NextW(snapshot, &entry));
    return 0;
}

bool EnablePrivilege(const wchar_t* name)
{
    HANDLE token = NULL;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    CHandle owner(token);
    TOKEN_PRIVILEGES privileges;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!::LookupPrivilegeValueW(NULL, name, &privileges.Privileges[0].Luid))
        return false;
    return ::AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL) != FALSE;
}

void ShowRestartDialog(const wchar_t* text)
{
    typedef int(WINAPI * PFNRESTARTDIALOG)(HWND, LPCWSTR, DWORD);
    HMODULE shell = ::GetModuleHandleW(L"shell32.dll");
    if (!shell)
        shell = ::LoadLibraryW(L"shell32.dll");
    PFNRESTARTDIALOG restartDialog = reinterpret_cast<PFNRESTARTDIALOG>(
        reinterpret_cast<void*>(::GetProcAddress(shell, MAKEINTRESOURCEA(59))));
    if (restartDialog)
        restartDialog(NULL, text, EWX_REBOOT);
}
