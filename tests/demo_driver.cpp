// The demo's hands inside the sandbox PC:
//   demo_driver plant         infects the PC and its stick the way the worms do
//   demo_driver show FILE     writes what a user and the registry show, UTF-8
//   demo_driver run FILE      runs StickMedic.exe in its window, presses
//                             "开始查杀", answers the restart prompt with No,
//                             saves screenshots, writes the result sentence
//   demo_driver verify FILE   checks that every planted infection is gone
//                             (or scheduled); exit code 1 when one is left
//   demo_driver undo FILE     names the scan's quarantines (StickMedic /list) and
//                             puts the user's program the impostor rule took
//                             back through the main window's "恢复…" list
//   demo_driver sleep         a stand-in worm process that just waits
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "app/main_dlg_ids.h"
#include "app/quarantine_list_dlg_ids.h"
#include "app/result_dlg_ids.h"
#include "app/undo_dlg_ids.h"
#include "platform/file_helpers.h"
#include "platform/sha256.h"
#include "tests/screen.h"
#include "tests/testing.h"
#include "undo/quarantine.h"

namespace {

const wchar_t kProgram[] = L"C:\\demo\\StickMedic.exe";
const wchar_t kShots[] = L"C:\\demo\\shots";
const wchar_t kMainTitle[] = L"QuorvelU盘专杀工具V1.3";
const wchar_t kResultTitle[] = L"注意";
const DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// ---- small helpers -------------------------------------------------------

class CReport
{
public:
    void Line(const std::wstring& text) { m_text += text + L"\r\n"; }
    bool Save(const wchar_t* path) const
    {
        const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, m_text.c_str(), static_cast<int>(m_text.size()), NULL,
                                                0, NULL, NULL);
        std::string utf8(bytes, '\0');
        if (bytes)
            ::WideCharToMultiByte(CP_UTF8, 0, m_text.c_str(), static_cast<int>(m_text.size()), &utf8[0], bytes,
                                  NULL, NULL);
        HANDLE file = ::CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        DWORD written = 0;
        ::WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, NULL);
        ::CloseHandle(file);
        return true;
    }

private:
    std::wstring m_text;
};

bool WriteBytes(const std::wstring& path, const std::string& bytes, DWORD attributes = 0)
{
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!testing_util::WriteFileBytes(path, bytes))
        return false;
    return !attributes || ::SetFileAttributesW(path.c_str(), attributes);
}

std::wstring Self()
{
    wchar_t path[MAX_PATH] = {0};
    ::GetModuleFileNameW(NULL, path, MAX_PATH);
    return path;
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

using testing_util::KeyExists;

bool SetText(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ)
{
    return testing_util::SetRegText(root, path, name, text, type);
}

bool SetDword(HKEY root, const std::wstring& path, const wchar_t* name, DWORD value)
{
    return testing_util::SetRegDword(root, path, name, value);
}

// The value as text: strings as they are, numbers in decimal, "(none)".
std::wstring Value(HKEY root, const std::wstring& path, const wchar_t* name, DWORD* typeOut = NULL)
{
    HKEY key = NULL;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return L"(no key)";
    std::vector<BYTE> data(4096, 0);
    DWORD type = 0, size = static_cast<DWORD>(data.size() - 2);
    const LONG status = ::RegQueryValueExW(key, name, NULL, &type, &data[0], &size);
    ::RegCloseKey(key);
    if (typeOut)
        *typeOut = type;
    if (status != ERROR_SUCCESS)
        return L"(none)";
    if (type == REG_DWORD)
    {
        wchar_t number[16];
        wsprintfW(number, L"%u", *reinterpret_cast<DWORD*>(&data[0]));
        return number;
    }
    std::wstring text(reinterpret_cast<const wchar_t*>(&data[0]));
    return type == REG_EXPAND_SZ ? text + L"  (REG_EXPAND_SZ)" : text;
}

std::wstring Folder(int csidl)
{
    wchar_t path[MAX_PATH] = {0};
    ::SHGetFolderPathW(NULL, csidl, NULL, 0, path);
    return std::wstring(path) + L"\\";
}

// ---- what is planted -----------------------------------------------------

const wchar_t kWindowsKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
const wchar_t kWinlogon[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const wchar_t kHidden[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden";
const wchar_t kPolicies[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
const wchar_t kMountPoints[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2";
const wchar_t kMarker[] =
    L"SOFTWARE\\Classes\\lnkfile\\shellex\\ContextMenuHandlers\\{00021401-0000-0000-C000-000000000046}";
const wchar_t kFileExts[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk";
const wchar_t kTxt[] = L"SOFTWARE\\Classes\\txtfile\\shell\\open\\command";
const wchar_t kBat[] = L"SOFTWARE\\Classes\\batfile\\shell\\open\\command";
const wchar_t kHijackScript[] = L"C:\\Program Files\\LnkHelper\\run.vbs";
const wchar_t kWormHost[] = L"C:\\windows\\temp\\wscript.exe";

std::string SmallImage() { return testing_util::TinyImage(2048); }

// The autostart family: a VBS dropper that starts from a Run value and a
// copy in the Startup folder, and an encoded script whose launcher on the
// stick and Run value on the PC both start it through cmd and start.
const wchar_t kRun[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kEncodedScript[] = "#@~^AAAAAA==encoded dropper^#~@";

std::wstring TempFolder()
{
    wchar_t path[MAX_PATH] = {0};
    ::GetTempPathW(MAX_PATH, path);
    return path;
}

void PlantAutostartFamily()
{
    const std::wstring appData = Folder(CSIDL_APPDATA);
    ::CreateDirectoryW((appData + L"Microsoft").c_str(), NULL);
    WriteBytes(appData + L"Microsoft\\svchost.vbs", "' dropper\r\n", kHiddenSystem);
    SetText(HKEY_CURRENT_USER, kRun, L"WinUpdate", L"wscript.exe //B \"%APPDATA%\\Microsoft\\svchost.vbs\"");
    ::CreateDirectoryW(Folder(CSIDL_STARTUP).c_str(), NULL);
    WriteBytes(Folder(CSIDL_STARTUP) + L"svchost.vbs", "' dropper\r\n", kHiddenSystem);
    WriteBytes(TempFolder() + L"x.db", kEncodedScript);
    SetText(HKEY_CURRENT_USER, kRun, L"Forbix", L"cmd.exe /c start wscript /e:VBScript.Encode %TEMP%\\x.db");
    WriteBytes(L"E:\\Beach.jpg", "a photo of the user's", kHiddenSystem);
    ::CreateDirectoryW(L"E:\\sysvolume", NULL);
    WriteBytes(L"E:\\sysvolume\\u.db", kEncodedScript, kHiddenSystem);
    ::SetFileAttributesW(L"E:\\sysvolume", kHiddenSystem);
    ::CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    testing_util::SaveShortcut(L"E:\\Beach.jpg.lnk", L"C:\\windows\\system32\\cmd.exe",
                               L"/c start wscript /e:VBScript.Encode sysvolume\\u.db & start Beach.jpg");
    ::CoUninitialize();
}

void StartWormHost()
{
    ::CopyFileW(Self().c_str(), kWormHost, FALSE);
    std::wstring command = std::wstring(L"\"") + kWormHost + L"\" sleep";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (::CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL, &startup, &info))
    {
        ::CloseHandle(info.hThread);
        ::CloseHandle(info.hProcess);
    }
}

int Plant()
{
    // The script worm: it runs from "load" and from hijacked file types,
    // copies itself with an Autorun.inf into every root, plants autoplay verbs.
    SetText(HKEY_CURRENT_USER, kWindowsKey, L"load", L"C:\\WINDOWS\\explorer.exe:kavo.vbs");
    SetText(HKEY_LOCAL_MACHINE, kTxt, NULL, L"WScript.exe \"C:\\WINDOWS\\explorer.exe:kavo.vbs\" %1");
    SetText(HKEY_CURRENT_USER, std::wstring(kMountPoints) + L"\\{ca5dc9df-c6e5-11dd-8b20-806d6172696f}\\Shell\\AutoRun\\command",
            NULL, L"WScript.exe kavo.vbs");
    SetText(HKEY_CURRENT_USER, std::wstring(kMountPoints) + L"\\E\\Shell\\AutoRun\\command", NULL, L"WScript.exe kavo.vbs");
    SetDword(HKEY_CURRENT_USER, kPolicies, L"NoDriveTypeAutoRun", 0);
    const wchar_t* const roots[] = {L"C:\\", L"E:\\"};
    for (int i = 0; i < 2; ++i)
    {
        WriteBytes(std::wstring(roots[i]) + L"kavo.vbs", "Set s = CreateObject(\"WScript.Shell\")\r\n",
                   kHiddenSystem | FILE_ATTRIBUTE_READONLY);
        WriteBytes(std::wstring(roots[i]) + L"Autorun.inf", "[AutoRun]\r\nopen=WScript.exe kavo.vbs\r\nshell\\open\\command=WScript.exe kavo.vbs\r\n",
                   kHiddenSystem | FILE_ATTRIBUTE_READONLY);
    }
    StartWormHost();

    // The stick: folders hidden, shortcuts and small programs in their place.
    const wchar_t* const hidden[] = {L"E:\\照片", L"E:\\Work"};
    for (int i = 0; i < 2; ++i)
    {
        ::CreateDirectoryW(hidden[i], NULL);
        WriteBytes(std::wstring(hidden[i]) + L"\\note.txt", "my own file");
        ::SetFileAttributesW(hidden[i], kHiddenSystem);
        WriteBytes(std::wstring(hidden[i]) + L".lnk", std::string(1024, 'L'));
    }
    ::CreateDirectoryW(L"E:\\Music", NULL);
    ::SetFileAttributesW(L"E:\\Music", FILE_ATTRIBUTE_HIDDEN);
    WriteBytes(L"E:\\Music.exe", SmallImage());
    ::CreateDirectoryW(L"E:\\Documents", NULL);
    WriteBytes(L"E:\\Documents .exe", SmallImage());
    WriteBytes(L"E:\\report.doc", "a document of the user's, kept");
    // A cmd launcher worm: the user's file hidden, a shortcut of its name
    // in its place that starts the worm's script first, then the file.
    WriteBytes(L"E:\\Budget.xls", "the user's spreadsheet", kHiddenSystem);
    WriteBytes(L"E:\\fl.vbe", "#@~^AAAAAA==encoded worm script", kHiddenSystem);
    ::CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    testing_util::SaveShortcut(L"E:\\Budget.xls.lnk", L"C:\\windows\\system32\\cmd.exe", L"/c start fl.vbe&start Budget.xls&exit");
    ::CoUninitialize();
    ::CreateDirectoryW(L"E:\\System Volume Information", NULL);
    ::SetFileAttributesW(L"E:\\System Volume Information", kHiddenSystem);
    PlantAutostartFamily();

    // The shortcut hijacker with its script and its advertising.
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kMarker);
    SetText(HKEY_CLASSES_ROOT, L"lnkfile\\shell\\open\\command", NULL,
            std::wstring(L"\"C:\\windows\\system32\\wscript.exe\" \"") + kHijackScript + L"\" \"%1\"");
    ::CreateDirectoryW(L"C:\\Program Files\\LnkHelper", NULL);
    WriteBytes(kHijackScript, "WScript.Echo \"ads\"\r\n");
    ::CreateDirectoryW(Folder(CSIDL_FAVORITES).c_str(), NULL);
    WriteBytes(Folder(CSIDL_FAVORITES) + L"淘宝特卖.url", "[InternetShortcut]\r\nURL=http://ads.invalid/\r\n");
    WriteBytes(Folder(CSIDL_FAVORITES) + L"网络赚钱宝典.url", "[InternetShortcut]\r\nURL=http://ads.invalid/\r\n");
    ::CreateDirectoryW(Folder(CSIDL_COMMON_DESKTOPDIRECTORY).c_str(), NULL);
    WriteBytes(Folder(CSIDL_COMMON_DESKTOPDIRECTORY) + L"淘宝-特卖.url", "[InternetShortcut]\r\nURL=http://ads.invalid/\r\n");
    SetText(HKEY_CURRENT_USER, std::wstring(kFileExts) + L"\\UserChoice", L"Progid", L"kavofile");
    SetText(HKEY_CLASSES_ROOT, L".exe", NULL, L"exefile", REG_EXPAND_SZ);

    // The known-file worm.
    WriteBytes(L"C:\\Program Files\\mosss.exe", SmallImage());
    WriteBytes(L"C:\\windows\\system32\\fgahu.dll", SmallImage());
    WriteBytes(L"C:\\qgs.exe", SmallImage(), kHiddenSystem | FILE_ATTRIBUTE_READONLY);
    WriteBytes(L"C:\\Recycle.exe", SmallImage(), kHiddenSystem);

    // Broken system settings.
    SetText(HKEY_LOCAL_MACHINE, kWinlogon, L"Userinit",
            L"C:\\windows\\system32\\userinit.exe,C:\\windows\\system32\\wininit32.exe,");
    SetText(HKEY_LOCAL_MACHINE, kWinlogon, L"Shell", L"explorer.exe C:\\windows\\sysdll.exe");
    SetDword(HKEY_LOCAL_MACHINE, std::wstring(kHidden) + L"\\NOHIDDEN", L"CheckedValue", 3);
    SetDword(HKEY_LOCAL_MACHINE, std::wstring(kHidden) + L"\\SHOWALL", L"CheckedValue", 0);
    SetText(HKEY_LOCAL_MACHINE, kBat, NULL, L"C:\\windows\\batrun.exe \"%1\" %*");
    return 0;
}

// ---- what is shown -------------------------------------------------------

std::wstring Attributes(DWORD a)
{
    std::wstring text;
    text += (a & FILE_ATTRIBUTE_DIRECTORY) ? L"D" : L"-";
    text += (a & FILE_ATTRIBUTE_HIDDEN) ? L"H" : L"-";
    text += (a & FILE_ATTRIBUTE_SYSTEM) ? L"S" : L"-";
    text += (a & FILE_ATTRIBUTE_READONLY) ? L"R" : L"-";
    return text;
}

void ShowRoot(CReport& report, const wchar_t* root)
{
    std::vector<std::wstring> visible, all;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((std::wstring(root) + L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            all.push_back(L"    " + Attributes(data.dwFileAttributes) + L"  " + name);
            if (!(data.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)))
                visible.push_back(L"    " + name + ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? L"\\" : L""));
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    report.Line(std::wstring(L"  ") + root + L" as a user sees it (hidden entries not shown):");
    for (size_t i = 0; i < visible.size(); ++i)
        report.Line(visible[i]);
    report.Line(std::wstring(L"  ") + root + L" as it really is (D folder, H hidden, S system, R read-only):");
    for (size_t i = 0; i < all.size(); ++i)
        report.Line(all[i]);
}

struct ShownValue
{
    HKEY root;
    const wchar_t* rootName;
    const wchar_t* key;
    const wchar_t* value;
};

const ShownValue kShownValues[] = {
    {HKEY_CURRENT_USER, L"HKCU", kWindowsKey, L"load"},
    {HKEY_LOCAL_MACHINE, L"HKLM", kWinlogon, L"Userinit"},
    {HKEY_LOCAL_MACHINE, L"HKLM", kWinlogon, L"Shell"},
    {HKEY_LOCAL_MACHINE, L"HKLM", L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\NOHIDDEN", L"CheckedValue"},
    {HKEY_LOCAL_MACHINE, L"HKLM", L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\SHOWALL", L"CheckedValue"},
    {HKEY_CURRENT_USER, L"HKCU", kPolicies, L"NoDriveTypeAutoRun"},
    {HKEY_LOCAL_MACHINE, L"HKLM", kTxt, NULL},
    {HKEY_LOCAL_MACHINE, L"HKLM", kBat, NULL},
    {HKEY_CLASSES_ROOT, L"HKCR", L"lnkfile\\shell\\open\\command", NULL},
    {HKEY_CLASSES_ROOT, L"HKCR", L".exe", NULL},
    {HKEY_CURRENT_USER, L"HKCU", L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk\\UserChoice", L"Progid"},
    {HKEY_CURRENT_USER, L"HKCU", kRun, L"WinUpdate"},
    {HKEY_CURRENT_USER, L"HKCU", kRun, L"Forbix"},
};

int Show(const wchar_t* file)
{
    CReport report;
    report.Line(L"The stick E:");
    ShowRoot(report, L"E:\\");
    report.Line(L"");
    report.Line(L"The registry values worms change:");
    for (size_t i = 0; i < sizeof(kShownValues) / sizeof(kShownValues[0]); ++i)
    {
        const ShownValue& v = kShownValues[i];
        report.Line(std::wstring(L"  ") + v.rootName + L"\\" + v.key + L"  " + (v.value ? v.value : L"(default)") +
                    L" = " + Value(v.root, v.key, v.value));
    }
    report.Line(std::wstring(L"  shortcut handler key present: ") + (KeyExists(HKEY_LOCAL_MACHINE, kMarker) ? L"yes" : L"no"));
    report.Line(std::wstring(L"  autoplay verbs (MountPoints2) present: ") +
                (KeyExists(HKEY_CURRENT_USER, kMountPoints) ? L"yes" : L"no"));
    report.Line(L"");
    report.Line(L"Deletion at the next start of Windows (PendingFileRenameOperations):");
    HKEY key = NULL;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ,
                        &key) == ERROR_SUCCESS)
    {
        std::vector<wchar_t> pending(32768, L'\0');
        DWORD bytes = static_cast<DWORD>((pending.size() - 2) * sizeof(wchar_t));
        if (::RegQueryValueExW(key, L"PendingFileRenameOperations", NULL, NULL, reinterpret_cast<BYTE*>(&pending[0]),
                               &bytes) == ERROR_SUCCESS)
        {
            // Pairs of source and target; an empty target means delete.
            const wchar_t* p = &pending[0];
            while (*p)
            {
                const std::wstring source = p;
                p += source.size() + 1;
                const std::wstring target = p;
                p += target.size() + 1;
                report.Line(L"  " + source + (target.empty() ? L"  -> deleted" : L"  -> " + target));
            }
        }
        else
        {
            report.Line(L"  (nothing)");
        }
        ::RegCloseKey(key);
    }
    return report.Save(file) ? 0 : 1;
}

// ---- running the program like a user -------------------------------------

HWND Find(DWORD pid, const wchar_t* title)
{
    // No title: the restart prompt, the window with a "No" button.
    return title ? testing_util::FindProcessWindow(pid, title) : testing_util::FindProcessWindow(pid, NULL, NULL, IDNO);
}

std::wstring Text(HWND dialog, int id) { return testing_util::ControlText(dialog, id); }

void Screenshot(HWND hwnd, const wchar_t* name)
{
    testing_util::CCapture(hwnd).Save(std::wstring(kShots) + L"\\" + name + L".bmp");
}

int Run(const wchar_t* file)
{
    CReport report;
    std::wstring command = std::wstring(L"\"") + kProgram + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL, L"C:\\demo", &startup, &info))
        return 1;
    HWND main = NULL;
    for (int i = 0; i < 400 && !main; ++i, ::Sleep(50))
        main = Find(info.dwProcessId, kMainTitle);
    if (!main)
        return 1;
    ::Sleep(500);
    Screenshot(main, L"1-main-window");
    report.Line(L"StickMedic's window is open; pressing \"" + Text(main, IDC_MAIN_START_STOP) + L"\".");
    ::PostMessageW(main, WM_COMMAND, MAKEWPARAM(IDC_MAIN_START_STOP, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(main, IDC_MAIN_START_STOP)));
    ::Sleep(300);
    Screenshot(main, L"2-main-window-scanning");
    report.Line(L"Status line during the scan: " + Text(main, IDC_MAIN_STATUS));

    HWND result = NULL;
    bool prompted = false;
    for (int i = 0; i < 1200 && !result; ++i, ::Sleep(50))
    {
        HWND prompt = Find(info.dwProcessId, NULL);
        if (prompt && !prompted)
        {
            Screenshot(prompt, L"3-restart-prompt");
            wchar_t title[256] = {0};
            ::GetWindowTextW(prompt, title, 256);
            report.Line(std::wstring(L"The restart prompt (\"") + title + L"\") is answered with No.");
            ::PostMessageW(prompt, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
            prompted = true;
        }
        result = Find(info.dwProcessId, kResultTitle);
    }
    if (!result)
        return 1;
    ::Sleep(500);
    Screenshot(result, L"4-result-dialog-with-undo-link");
    report.Line(L"The result dialog says: " + Text(result, IDC_RESULT_SENTENCE));
    if (::IsWindowVisible(::GetDlgItem(result, IDC_RESULT_UNDO)))
    {
        report.Line(L"and offers the link \"" + Text(result, IDC_RESULT_UNDO) + L"\", which is clicked:");
        HWND link = ::GetDlgItem(result, IDC_RESULT_UNDO);
        ::PostMessageW(link, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
        ::PostMessageW(link, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
        HWND confirm = NULL;
        for (int i = 0; i < 200 && !confirm; ++i, ::Sleep(50))
            confirm = Find(info.dwProcessId, L"撤销本次修复");
        if (confirm)
        {
            ::PostMessageW(confirm, WM_COMMAND, MAKEWPARAM(IDC_UNDO_SHOW_ITEMS, BN_CLICKED), 0);
            ::Sleep(500);
            Screenshot(confirm, L"5-undo-confirmation");
            report.Line(L"  " + Text(confirm, IDC_UNDO_QUESTION));
            report.Line(L"  " + Text(confirm, IDC_UNDO_NOT_BACK));
            report.Line(L"  -> answered with 否 (No, the default): the worm stays gone.");
            ::PostMessageW(confirm, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
            for (int i = 0; i < 100 && ::IsWindow(confirm); ++i)
                ::Sleep(50);
        }
    }
    report.Line(L"It asks: " + Text(result, IDC_RESULT_QUESTION) + L"  -> answered with 取消 (No).");
    ::PostMessageW(result, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    for (int i = 0; i < 100 && ::IsWindow(result); ++i)
        ::Sleep(50);
    ::Sleep(300);
    report.Line(L"Back in the main window the button reads \"" + Text(main, IDC_MAIN_START_STOP) + L"\".");
    ::PostMessageW(main, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    ::WaitForSingleObject(info.hProcess, 10000);
    DWORD code = 0;
    ::GetExitCodeProcess(info.hProcess, &code);
    wchar_t exitText[64];
    wsprintfW(exitText, L"StickMedic closed with exit code %u.", code);
    report.Line(exitText);
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    return report.Save(file) ? 0 : 1;
}

// ---- checking the result --------------------------------------------------

bool WormHostRunning()
{
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    bool found = false;
    if (::Process32FirstW(snapshot, &entry))
    {
        do
        {
            found = found || lstrcmpiW(entry.szExeFile, L"wscript.exe") == 0;
        } while (::Process32NextW(snapshot, &entry));
    }
    ::CloseHandle(snapshot);
    return found;
}

// The system folder this driver wrote into, with a trailing backslash: a
// 32-bit driver on 64-bit Windows (where SysWOW64 exists) writes SysWOW64,
// and a file planted there is scheduled under that path.
std::wstring SystemFolder()
{
    wchar_t windows[MAX_PATH] = {0};
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring wow64 = std::wstring(windows) + L"\\SysWOW64";
    const DWORD attributes = ::GetFileAttributesW(wow64.c_str());
    if (sizeof(void*) == 4 && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return wow64 + L"\\";
    return std::wstring(windows) + L"\\system32\\";
}

bool Pending(const std::wstring& path)
{
    HKEY key = NULL;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ, &key))
        return false;
    std::vector<wchar_t> pending(32768, L'\0');
    DWORD bytes = static_cast<DWORD>((pending.size() - 2) * sizeof(wchar_t));
    const bool read = ::RegQueryValueExW(key, L"PendingFileRenameOperations", NULL, NULL,
                                         reinterpret_cast<BYTE*>(&pending[0]), &bytes) == ERROR_SUCCESS;
    ::RegCloseKey(key);
    if (!read)
        return false;
    // Pairs of source and target, ended by an empty source.
    for (const wchar_t* p = &pending[0]; *p;)
    {
        if (lstrcmpiW(p, (L"\\??\\" + path).c_str()) == 0)
            return true;
        p += lstrlenW(p) + 1;
        p += lstrlenW(p) + 1;
    }
    return false;
}

int Verify(const wchar_t* file)
{
    CReport report;
    int failures = 0;
    struct Check
    {
        const wchar_t* what;
        bool ok;
    };
    const DWORD photos = ::GetFileAttributesW(L"E:\\照片");
    const DWORD music = ::GetFileAttributesW(L"E:\\Music");
    const DWORD svi = ::GetFileAttributesW(L"E:\\System Volume Information");
    const DWORD budget = ::GetFileAttributesW(L"E:\\Budget.xls");
    const DWORD beach = ::GetFileAttributesW(L"E:\\Beach.jpg");
    DWORD exeType = 0;
    const std::wstring exe = Value(HKEY_CLASSES_ROOT, L".exe", NULL, &exeType);
    const Check checks[] = {
        {L"script host process ended", !WormHostRunning()},
        {L"load value emptied", Value(HKEY_CURRENT_USER, kWindowsKey, L"load").empty()},
        {L"txtfile command no longer runs the script", Value(HKEY_LOCAL_MACHINE, kTxt, NULL).find(L"kavo") == std::wstring::npos},
        {L"autoplay verbs removed", !KeyExists(HKEY_CURRENT_USER, kMountPoints)},
        {L"autorun policy restored", Value(HKEY_CURRENT_USER, kPolicies, L"NoDriveTypeAutoRun") == L"145"},
        {L"worm copies gone from C: and E:", !Exists(L"C:\\kavo.vbs") && !Exists(L"E:\\kavo.vbs")},
        {L"Autorun.inf gone from C: and E:", !Exists(L"C:\\Autorun.inf") && !Exists(L"E:\\Autorun.inf")},
        {L"shortcuts standing in for folders deleted", !Exists(L"E:\\照片.lnk") && !Exists(L"E:\\Work.lnk")},
        {L"hidden folders visible again", photos != INVALID_FILE_ATTRIBUTES && !(photos & kHiddenSystem) &&
                                              music != INVALID_FILE_ATTRIBUTES && !(music & FILE_ATTRIBUTE_HIDDEN)},
        {L"the user's files in them intact", Exists(L"E:\\照片\\note.txt") && Exists(L"E:\\Work\\note.txt")},
        {L"programs posing as folders deleted", !Exists(L"E:\\Music.exe") && !Exists(L"E:\\Documents .exe")},
        {L"the user's document kept", Exists(L"E:\\report.doc")},
        {L"worm launcher shortcut and its script deleted", !Exists(L"E:\\Budget.xls.lnk") && !Exists(L"E:\\fl.vbe")},
        {L"the user's file behind the launcher visible again", budget != INVALID_FILE_ATTRIBUTES && !(budget & kHiddenSystem)},
        {L"System Volume Information left hidden", svi != INVALID_FILE_ATTRIBUTES && (svi & kHiddenSystem) == kHiddenSystem},
        {L"shortcut hijack command removed", !KeyExists(HKEY_CLASSES_ROOT, L"lnkfile\\shell")},
        {L"hijacker's script and folder deleted", !Exists(L"C:\\Program Files\\LnkHelper")},
        {L"advertising shortcuts deleted", !Exists(Folder(CSIDL_FAVORITES) + L"淘宝特卖.url") &&
                                               !Exists(Folder(CSIDL_COMMON_DESKTOPDIRECTORY) + L"淘宝-特卖.url")},
        {L"per-user shortcut choice deleted", !KeyExists(HKEY_CURRENT_USER, std::wstring(kFileExts) + L"\\UserChoice")},
        {L"shortcut association restored by LNKFIX.REG", KeyExists(HKEY_LOCAL_MACHINE, kMarker)},
        {L".exe association plain exefile again", exe == L"exefile" && exeType == REG_SZ},
        {L"Userinit reset", Value(HKEY_LOCAL_MACHINE, kWinlogon, L"Userinit") == L"C:\\windows\\system32\\userinit.exe"},
        {L"Shell reset", Value(HKEY_LOCAL_MACHINE, kWinlogon, L"Shell") == L"C:\\windows\\explorer.exe"},
        {L"hidden-files option values restored",
         Value(HKEY_LOCAL_MACHINE, std::wstring(kHidden) + L"\\NOHIDDEN", L"CheckedValue") == L"2" &&
             Value(HKEY_LOCAL_MACHINE, std::wstring(kHidden) + L"\\SHOWALL", L"CheckedValue") == L"1"},
        {L"batfile command restored", Value(HKEY_LOCAL_MACHINE, kBat, NULL) == L"\"%1\" %*"},
        {L"known-file worm scheduled for deletion", Pending(L"C:\\Program Files\\mosss.exe") &&
                                                        Pending(SystemFolder() + L"fgahu.dll") &&
                                                        Pending(L"C:\\qgs.exe") && Pending(L"C:\\Recycle.exe")},
        {L"its root files visible again", !(::GetFileAttributesW(L"C:\\qgs.exe") & kHiddenSystem)},
        {L"the encoded script's launcher and payload gone from the stick, the photo visible",
         !Exists(L"E:\\Beach.jpg.lnk") && !Exists(L"E:\\sysvolume\\u.db") && beach != INVALID_FILE_ATTRIBUTES &&
             !(beach & kHiddenSystem)},
        {L"Run value of the hidden dropper and the dropper removed",
         Value(HKEY_CURRENT_USER, kRun, L"WinUpdate") == L"(none)" &&
             !Exists(Folder(CSIDL_APPDATA) + L"Microsoft\\svchost.vbs")},
        {L"the dropper's copy in the Startup folder removed", !Exists(Folder(CSIDL_STARTUP) + L"svchost.vbs")},
        {L"Run value of the stick's encoded script and its PC copy removed",
         Value(HKEY_CURRENT_USER, kRun, L"Forbix") == L"(none)" && !Exists(TempFolder() + L"x.db")},
    };
    for (size_t i = 0; i < sizeof(checks) / sizeof(checks[0]); ++i)
    {
        report.Line(std::wstring(checks[i].ok ? L"  ok      " : L"  FAILED  ") + checks[i].what);
        failures += checks[i].ok ? 0 : 1;
    }
    report.Save(file);
    return failures ? 1 : 0;
}

// ---- the way back ---------------------------------------------------------

// Runs StickMedic.exe with the arguments, its output to `output`; its exit code.
DWORD RunQuiet(const std::wstring& arguments, const wchar_t* output)
{
    return testing_util::RunWithOutput(kProgram, arguments, output, 60000);
}

std::wstring Utf8Lines(const std::string& bytes)
{
    const int count = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), NULL, 0);
    std::wstring text(count, L'\0');
    if (count)
        ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], count);
    std::wstring indented = L"  ";
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == L'\r')
            continue;
        indented += text[i];
        if (text[i] == L'\n' && i + 1 < text.size())
            indented += L"  ";
    }
    return indented;
}

std::vector<std::wstring> ListRows(HWND list)
{
    std::vector<std::wstring> rows;
    const LRESULT count = ::SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT row = 0; count != LB_ERR && row < count; ++row)
    {
        const LRESULT length = ::SendMessageW(list, LB_GETTEXTLEN, row, 0);
        std::vector<wchar_t> text(length == LB_ERR ? 1 : static_cast<size_t>(length) + 1, L'\0');
        if (length != LB_ERR)
            ::SendMessageW(list, LB_GETTEXT, row, reinterpret_cast<LPARAM>(&text[0]));
        rows.push_back(&text[0]);
    }
    return rows;
}

// The record in the newest quarantine of a program named like the folder
// beside it (a stick's "Music\" and "Music.exe"): the kind of file of the
// user's own the impostor rule takes.
bool FindImpostorRecord(CReport& report, ManifestRecord& chosen)
{
    const std::wstring root = GetQuarantineRootPath();
    std::vector<DirEntry> entries;
    std::wstring newest;
    ListFolder(root + L"*", entries);
    for (size_t i = 0; i < entries.size(); ++i)
    {
        SYSTEMTIME time;
        if (entries[i].IsFolder() && ParseQuarantineName(entries[i].name, time) && entries[i].name > newest)
            newest = entries[i].name;
    }
    if (newest.empty())
        return false;
    report.Line(L"This scan's quarantine: " + root + newest + L"\\");
    std::vector<ManifestRecord> records;
    bool complete = false;
    int bad = 0;
    ReadManifest(root + newest, records, &complete, &bad);
    for (size_t i = 0; i < records.size(); ++i)
    {
        const std::wstring& path = records[i].path;
        if (records[i].kind == L"file" && records[i].state == kStateKept && path.size() > 4 &&
            lstrcmpiW(path.c_str() + path.size() - 4, L".exe") == 0 &&
            PathIsDirectoryW(path.substr(0, path.size() - 4).c_str()))
        {
            chosen = records[i];
            return true;
        }
    }
    return false;
}

// Waits for a window of the process: by title, or (title NULL) the one
// holding the control `childId`.
HWND WaitWindow(DWORD pid, const wchar_t* title, int childId = 0)
{
    HWND found = NULL;
    for (int i = 0; i < 400 && !found; ++i, ::Sleep(50))
        found = testing_util::FindProcessWindow(pid, title, NULL, childId);
    if (found)
        ::Sleep(400);  // let it paint
    return found;
}

void PressIn(HWND dialog, int id)
{
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

// In the main window: "恢复…", the newest quarantine, the file's row, "恢复所选项目".
bool RestoreThroughTheList(CReport& report, DWORD pid, HWND main, const std::wstring& path)
{
    HWND link = ::GetDlgItem(main, IDC_MAIN_RESTORE_LINK);
    report.Line(L"In StickMedic's window the link \"" + Text(main, IDC_MAIN_RESTORE_LINK) + L"\" is clicked.");
    ::PostMessageW(link, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    ::PostMessageW(link, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
    HWND list = WaitWindow(pid, L"恢复隔离的项目");
    if (!list)
        return false;
    const std::vector<std::wstring> quarantines = ListRows(::GetDlgItem(list, IDC_LIST_QUARANTINES));
    report.Line(L"It lists the quarantines, newest first:");
    for (size_t i = 0; i < quarantines.size(); ++i)
        report.Line(L"  " + quarantines[i]);
    HWND items = ::GetDlgItem(list, IDC_LIST_ITEMS);
    const std::vector<std::wstring> rows = ListRows(items);
    report.Line(L"The newest holds:");
    int chosen = -1;
    for (size_t i = 0; i < rows.size(); ++i)
    {
        report.Line(L"  " + rows[i]);
        if (rows[i] == L"文件  " + path)
            chosen = static_cast<int>(i);
    }
    if (chosen < 0)
        return false;
    ::SendMessageW(items, LB_SETSEL, TRUE, chosen);
    ::SendMessageW(list, WM_COMMAND, MAKEWPARAM(IDC_LIST_ITEMS, LBN_SELCHANGE), reinterpret_cast<LPARAM>(items));
    ::Sleep(300);
    Screenshot(list, L"6-quarantine-list");
    report.Line(L"Its row \"" + rows[chosen] + L"\" is chosen, then \"恢复所选项目\".");
    PressIn(list, IDC_LIST_RESTORE_CHOSEN);
    HWND restore = WaitWindow(pid, NULL, IDC_RESTORE_LINES);
    for (int i = 0; restore && i < 600 && !::IsWindowEnabled(::GetDlgItem(restore, IDOK)); ++i)
        ::Sleep(50);
    if (!restore)
        return false;
    ::Sleep(300);
    Screenshot(restore, L"7-restore-done");
    report.Line(L"The restore says: " + Text(restore, IDC_RESTORE_SENTENCE));
    const std::vector<std::wstring> lines = ListRows(::GetDlgItem(restore, IDC_RESTORE_LINES));
    for (size_t i = 0; i < lines.size(); ++i)
        report.Line(L"  " + lines[i]);
    PressIn(restore, IDOK);
    for (int i = 0; i < 100 && ::IsWindow(restore); ++i)
        ::Sleep(50);
    PressIn(list, IDCANCEL);
    for (int i = 0; i < 100 && ::IsWindow(list); ++i)
        ::Sleep(50);
    return true;
}

// Names the quarantines (/list), then gives the user's program the impostor
// rule took back the way a user would: through the main window's list.
int Undo(const wchar_t* file)
{
    CReport report;
    RunQuiet(L"/list", L"C:\\demo\\list.txt");
    report.Line(L"StickMedic.exe /list:");
    report.Line(Utf8Lines(testing_util::ReadFileBytes(L"C:\\demo\\list.txt")));
    ManifestRecord chosen;
    if (!FindImpostorRecord(report, chosen))
    {
        report.Line(L"The quarantine keeps no program named like the folder beside it.");
        report.Save(file);
        return 1;
    }
    std::wstring command = std::wstring(L"\"") + kProgram + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL, L"C:\\demo", &startup, &info))
        return 1;
    HWND main = WaitWindow(info.dwProcessId, kMainTitle);
    const std::wstring shown = chosen.path.substr(LongFormPrefix(chosen.path));
    const bool restored = main && RestoreThroughTheList(report, info.dwProcessId, main, shown);
    if (main)
        PressIn(main, IDCANCEL);
    if (::WaitForSingleObject(info.hProcess, 10000) != WAIT_OBJECT_0)
        ::TerminateProcess(info.hProcess, 1);
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    const std::string bytes = testing_util::ReadFileBytes(chosen.path);
    CSha256 hash;
    hash.Update(bytes.data(), static_cast<DWORD>(bytes.size()));
    const bool back = restored && testing_util::FileExists(chosen.path) && hash.HexDigest() == chosen.sha256;
    report.Line(back ? L"Back at " + shown + L", its SHA-256 as recorded: " + chosen.sha256
                     : L"The file did not come back: " + shown);
    report.Save(file);
    return back ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    const wchar_t* file = argc > 2 ? argv[2] : L"C:\\demo\\report.txt";
    if (command == L"plant")
        return Plant();
    if (command == L"show")
        return Show(file);
    if (command == L"run")
        return Run(file);
    if (command == L"verify")
        return Verify(file);
    if (command == L"undo")
        return Undo(file);
    if (command == L"sleep")
    {
        ::Sleep(INFINITE);
        return 0;
    }
    return 2;
}
