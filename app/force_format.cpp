#include "app/force_format.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <vector>

#include "app/result_dlg.h"
#include "platform/drives.h"
#include "platform/handles.h"
#include "platform/registry.h"
#include "undo/program_folder.h"

const wchar_t kRunOnceValueName[] = L"QuorvelKillerTools";

namespace {

const wchar_t kRunOnceKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const wchar_t kFormatButtonText[] = L"强力格式化";
const int kIdFormatButton = 1006;
const int kIdRebootBox = 1023;
const int kIdStatus = 1017;

struct FindConsole
{
    HWND found;
};

BOOL CALLBACK FindFormatWindow(HWND hwnd, LPARAM lParam)
{
    wchar_t title[261] = {0};
    ::GetWindowTextW(hwnd, title, 260);
    if (!::StrStrIW(title, L"format.com"))
        return TRUE;
    reinterpret_cast<FindConsole*>(lParam)->found = hwnd;
    return FALSE;
}

bool StartsWithDrive(const wchar_t* path)
{
    return path && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
           path[1] == L':';
}

}  // namespace

std::wstring KeepProgramForBoot()
{
    // What runs at the next start runs elevated: not this file, which lies
    // on the stick or in a folder its user can write and could be another
    // program by then, but a copy in the program's own folder.
    const std::wstring folder = GetProgramFolder();
    wchar_t self[512] = {0};
    const DWORD length = ::GetModuleFileNameW(NULL, self, 512);
    if (folder.empty() || length == 0 || length >= 512)
        return std::wstring();
    CHandle file(::CreateFileW(self, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL));
    LARGE_INTEGER size;
    if (!file.IsValid() || !::GetFileSizeEx(file, &size) || size.HighPart != 0 || size.LowPart == 0 ||
        size.LowPart > 64 * 1024 * 1024)
        return std::wstring();
    std::vector<char> bytes(size.LowPart);
    DWORD read = 0;
    if (!::ReadFile(file, &bytes[0], size.LowPart, &read, NULL) || read != size.LowPart)
        return std::wstring();
    const std::wstring copy = folder + L"StickMedic.exe";
    if (WriteFreshFile(copy, &bytes[0], size.LowPart) != ERROR_SUCCESS)
        return std::wstring();
    return copy;
}

std::wstring BuildFormatCommandLine(const wchar_t* path)
{
    std::wstring system;
    if (!StartsWithDrive(path) || !GetSystemDirSlash(system))
        return std::wstring();
    return system + L"format.com /q/x " + path[0] + L":";
}

int FormatDrive(const wchar_t* path)
{
    std::wstring command = BuildFormatCommandLine(path);
    if (command.empty())
        return 0;  // a share or anything else without a drive letter
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info;
    if (!::CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info))
        return 0;
    CHandle process(info.hProcess);
    CHandle thread(info.hThread);
    // Every prompt of format.com is answered with Enter through its window.
    while (::WaitForSingleObject(thread, 500) == WAIT_TIMEOUT)
    {
        FindConsole console = {NULL};
        ::EnumWindows(FindFormatWindow, reinterpret_cast<LPARAM>(&console));
        if (!console.found)
            continue;
        ::SendMessageW(console.found, WM_KEYDOWN, VK_RETURN, 0x001F0001);
        ::SendMessageW(console.found, WM_CHAR, VK_RETURN, 0x001F0001);
        ::SendMessageW(console.found, WM_KEYUP, VK_RETURN, 0x001F0001);
    }
    ::WaitForSingleObject(process, INFINITE);
    DWORD exitCode = 1;
    return ::GetExitCodeProcess(process, &exitCode) && exitCode == 0 ? 1 : 0;
}

bool GetDriveSerial(const wchar_t* path, DWORD& serial)
{
    if (!StartsWithDrive(path))
        return false;
    const wchar_t root[] = {path[0], L':', L'\\', L'\0'};
    return GetVolumeSerial(root, serial);
}

bool ScheduleFormatAtRestart(const wchar_t* path)
{
    DWORD serial = 0;
    if (!GetDriveSerial(path, serial))
        return false;
    const std::wstring program = KeepProgramForBoot();
    if (program.empty())
        return false;
    wchar_t target[16];
    wsprintfW(target, L"%c:\\ %08X", path[0], serial);
    const std::wstring data = L"\"" + program + L"\" second_proc " + target;
    CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kRunOnceKey) != ERROR_SUCCESS)
        return false;
    const bool written = ::RegSetValueExW(key, kRunOnceValueName, 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(data.c_str()),
                                          static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    return written;
}

int FormatAtBoot(const wchar_t* path, bool hasSerial, DWORD serial)
{
    if (!path || !*path)
        return 0;
    if (hasSerial)
    {
        DWORD now = 0;
        if (!GetDriveSerial(path, now) || now != serial)
            return 0;  // not the volume that was chosen: leave it alone
    }
    return FormatDrive(path);
}

bool ChooseFormatFolder(HWND owner, std::wstring& path)
{
    BROWSEINFOW browse;
    ZeroMemory(&browse, sizeof(browse));
    browse.hwndOwner = owner;
    browse.lpszTitle = L"你要格式化哪个盘？";
    browse.ulFlags = BIF_RETURNONLYFSDIRS;
    LPITEMIDLIST chosen = ::SHBrowseForFolderW(&browse);
    if (!chosen)
        return false;
    wchar_t buffer[MAX_PATH] = {0};
    const bool ok = ::SHGetPathFromIDListW(chosen, buffer) != FALSE;
    ::CoTaskMemFree(chosen);
    if (ok)
        path = buffer;
    return ok && !path.empty();
}

void OnForceFormatButton(HWND dialog, int* pbUserStopped)
{
    HWND button = ::GetDlgItem(dialog, kIdFormatButton);
    wchar_t text[513] = {0};
    if (!::GetWindowTextW(button, text, 512) || lstrcmpW(text, kFormatButtonText) != 0)
        return;
    if (::SendMessageW(::GetDlgItem(dialog, kIdRebootBox), BM_GETCHECK, 0, 0) == BST_CHECKED)
        g_bRebootFormat = 1;
    std::wstring path;
    if (!ChooseFormatFolder(dialog, path))
        return;
    if (!g_bRebootFormat)
    {
        ::SetWindowTextW(button, L"格式化中...");
        ::EnableWindow(button, FALSE);
        ::SetWindowTextW(::GetDlgItem(dialog, kIdStatus), L"正在格式化中。。。 ");
        g_bFormatSucceeded = FormatDrive(path.c_str());
        ::EnableWindow(button, TRUE);
        ::SetWindowTextW(button, kFormatButtonText);
        ::SetWindowTextW(::GetDlgItem(dialog, kIdStatus), L"请点击“开始查杀”，立即检测并清除U盘病毒");
    }
    else
    {
        ScheduleFormatAtRestart(path.c_str());
    }
    g_bFormatResult = 1;
    COKDlg result(pbUserStopped);
    result.DoModal(::GetActiveWindow());
    g_bFormatResult = 0;
}
