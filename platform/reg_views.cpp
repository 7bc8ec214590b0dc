#include "platform/reg_views.h"

#include <shlwapi.h>

#include "platform/array_count.h"
#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "platform/folder_calls.h"
#include "platform/handles.h"
#include "platform/registry.h"
#include "platform/system_function.h"

#ifndef KEY_WOW64_64KEY
#define KEY_WOW64_64KEY 0x0100
#endif
#ifndef KEY_WOW64_32KEY
#define KEY_WOW64_32KEY 0x0200
#endif

namespace {

typedef BOOL(WINAPI* PFNISWOW64PROCESS)(HANDLE, PBOOL);
typedef BOOL(WINAPI* PFNISWOW64PROCESS2)(HANDLE, USHORT*, USHORT*);
typedef BOOL(WINAPI* PFNWOW64DISABLE)(PVOID*);
typedef BOOL(WINAPI* PFNWOW64REVERT)(PVOID);
typedef UINT(WINAPI* PFNGETSYSTEMWOW64DIR)(LPWSTR, UINT);


bool DetectWow64()
{
    // IsWow64Process2 also knows 32-bit programs on ARM64 Windows.
    PFNISWOW64PROCESS2 isWow64Process2 =
        SystemFunction<PFNISWOW64PROCESS2>(L"kernel32.dll", "IsWow64Process2");
    if (isWow64Process2)
    {
        USHORT process = 0, native = 0;
        if (isWow64Process2(::GetCurrentProcess(), &process, &native))
            return process != 0;  // IMAGE_FILE_MACHINE_UNKNOWN: not under WOW64
    }
    PFNISWOW64PROCESS isWow64Process = SystemFunction<PFNISWOW64PROCESS>(L"kernel32.dll", "IsWow64Process");
    BOOL wow64 = FALSE;
    return isWow64Process && isWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

// Redirection of the file system off for this thread while it lives, when
// wanted and under WOW64 only; the two functions are looked up at run time.
class CNativeFileView
{
public:
    explicit CNativeFileView(bool wanted) : m_revert(NULL), m_old(NULL), m_off(false), m_wanted(wanted)
    {
        if (!wanted || !IsWow64Process32())
            return;
        PFNWOW64DISABLE disable =
            SystemFunction<PFNWOW64DISABLE>(L"kernel32.dll", "Wow64DisableWow64FsRedirection");
        m_revert = SystemFunction<PFNWOW64REVERT>(L"kernel32.dll", "Wow64RevertWow64FsRedirection");
        m_off = disable && m_revert && disable(&m_old);
    }
    ~CNativeFileView()
    {
        if (m_off)
            m_revert(m_old);
    }
    bool Failed() const { return m_wanted && IsWow64Process32() && !m_off; }

private:
    CNativeFileView(const CNativeFileView&);
    CNativeFileView& operator=(const CNativeFileView&);
    PFNWOW64REVERT m_revert;
    PVOID m_old;
    bool m_off;
    bool m_wanted;
};

// Whether `path` is `prefix` or lies below it (case-insensitive).
bool IsAtOrBelow(const wchar_t* path, const wchar_t* prefix)
{
    const int length = ::lstrlenW(prefix);
    return ::StrCmpNIW(path, prefix, length) == 0 && (path[length] == L'\0' || path[length] == L'\\');
}

// Keys below HKLM\SOFTWARE both views share (Windows 7 and later).
const wchar_t* const kSharedSoftwareKeys[] = {
    L"SOFTWARE\\Classes",
    L"SOFTWARE\\Microsoft\\COM3",
    L"SOFTWARE\\Microsoft\\Cryptography\\Calais\\Current",
    L"SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers",
    L"SOFTWARE\\Microsoft\\Cryptography\\Services",
    L"SOFTWARE\\Microsoft\\CTF\\SystemShared",
    L"SOFTWARE\\Microsoft\\CTF\\TIP",
    L"SOFTWARE\\Microsoft\\DFS",
    L"SOFTWARE\\Microsoft\\Driver Signing",
    L"SOFTWARE\\Microsoft\\EnterpriseCertificates",
    L"SOFTWARE\\Microsoft\\EventSystem",
    L"SOFTWARE\\Microsoft\\MSMQ",
    L"SOFTWARE\\Microsoft\\Non-Driver Signing",
    L"SOFTWARE\\Microsoft\\Notepad\\DefaultFonts",
    L"SOFTWARE\\Microsoft\\OLE",
    L"SOFTWARE\\Microsoft\\RAS",
    L"SOFTWARE\\Microsoft\\RPC",
    L"SOFTWARE\\Microsoft\\Shared Tools\\MSInfo",
    L"SOFTWARE\\Microsoft\\SystemCertificates",
    L"SOFTWARE\\Microsoft\\TermServLicensing",
    L"SOFTWARE\\Microsoft\\Transaction Server",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cursors\\Schemes",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Group Policy",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\PreviewHandlers",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony",
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Console",
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\FontDpi",
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\FontLink",
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\FontMapper",
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts",
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes",
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Gre_Initialize",
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options",
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\LanguagePack",
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards",
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib",
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports",
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print",
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones",
    L"SOFTWARE\\Policies",
    L"SOFTWARE\\RegisteredApplications",
    L"SOFTWARE\\Wow6432Node",  // named explicitly: the same key in either view
};

// Keys below Classes (HKLM\SOFTWARE\Classes, HKEY_CLASSES_ROOT) that have a
// copy per view although Classes itself is shared.
const wchar_t* const kRedirectedClassKeys[] = {
    L"CLSID", L"DirectShow", L"Interface", L"Media Type", L"MediaFoundation",
};

bool IsRedirectedClassKey(const wchar_t* path)
{
    for (size_t i = 0; i < ArrayCount(kRedirectedClassKeys); ++i)
    {
        if (IsAtOrBelow(path, kRedirectedClassKeys[i]))
            return true;
    }
    return false;
}

// A folder of `length` characters read into buffer[MAX_PATH + 1], with a
// trailing backslash; false when nothing (or too much) was read.
bool FolderWithSlash(const wchar_t* buffer, DWORD length, std::wstring& dir)
{
    if (length == 0 || length >= MAX_PATH)
        return false;
    dir.assign(buffer, length);
    if (dir[dir.size() - 1] != L'\\')
        dir += L'\\';
    return true;
}

bool GetWow64SystemDirSlash(std::wstring& dir)
{
    PFNGETSYSTEMWOW64DIR get =
        SystemFunction<PFNGETSYSTEMWOW64DIR>(L"kernel32.dll", "GetSystemWow64DirectoryW");
    wchar_t buffer[MAX_PATH + 1] = {0};
    return get && FolderWithSlash(buffer, get(buffer, MAX_PATH), dir);
}

// A folder the system records in HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion
// (ProgramFilesDir, "ProgramFilesDir (x86)"), read in the registry view
// `view`, with a trailing backslash. Only administrators write there; the
// environment's ProgramFiles and its kin are the user's to set and are never
// read. False unless it is a full local path ("C:\Program Files").
bool GetRegisteredDirSlash(const wchar_t* name, REGSAM view, std::wstring& dir)
{
    CRegKey key;
    std::wstring text;
    if (key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", KEY_QUERY_VALUE | view) !=
            ERROR_SUCCESS ||
        !ReadRegString(key, name, text))
        return false;
    const bool full = text.size() >= 3 && text[1] == L':' && text[2] == L'\\' &&
                      ((text[0] >= L'A' && text[0] <= L'Z') || (text[0] >= L'a' && text[0] <= L'z'));
    if (!full || text.find_first_of(L"%/") != std::wstring::npos || IsRemoteOrDevicePath(text.c_str()))
        return false;
    return FolderWithSlash(text.c_str(), static_cast<DWORD>(text.size()), dir);
}

}  // namespace

bool IsWow64Process32()
{
    static const bool wow64 = DetectWow64();
    return wow64;
}

bool HasTwoRegViews() { return sizeof(void*) == 8 || IsWow64Process32(); }

RegViewList RegViewsOf(bool twoViews)
{
    RegViewList views = {{0, 0}, 1};
    if (twoViews)
    {
        views.flags[0] = KEY_WOW64_64KEY;
        views.flags[1] = KEY_WOW64_32KEY;
        views.count = 2;
    }
    return views;
}

RegViewList SystemRegViews() { return RegViewsOf(HasTwoRegViews()); }

bool IsRedirectedKey(HKEY root, const wchar_t* path)
{
    if (!path)
        return false;
    if (root == HKEY_CLASSES_ROOT)
        return IsRedirectedClassKey(path);
    if (root != HKEY_LOCAL_MACHINE || !IsAtOrBelow(path, L"SOFTWARE"))
        return false;
    static const wchar_t kClasses[] = L"SOFTWARE\\Classes\\";
    if (::StrCmpNIW(path, kClasses, ::lstrlenW(kClasses)) == 0)
        return IsRedirectedClassKey(path + ::lstrlenW(kClasses));
    for (size_t i = 0; i < ArrayCount(kSharedSoftwareKeys); ++i)
    {
        if (IsAtOrBelow(path, kSharedSoftwareKeys[i]))
            return false;
    }
    return true;
}

RegViewList RegViewsForKey(HKEY root, const wchar_t* path)
{
    return IsRedirectedKey(root, path) ? SystemRegViews() : RegViewsOf(false);
}

const wchar_t* RegViewName(REGSAM view)
{
    if (view & KEY_WOW64_64KEY)
        return L"64";
    if (view & KEY_WOW64_32KEY)
        return L"32";
    return L"";
}

bool GetNativeSystemDirSlash(std::wstring& dir)
{
    if (!IsWow64Process32())
        return GetSystemDirSlash(dir);
    if (!GetWindowsDirSlash(dir))
        return false;
    dir += L"Sysnative\\";
    return true;
}

std::vector<std::wstring> SystemDirsSlash()
{
    std::vector<std::wstring> dirs;
    std::wstring dir;
    if (IsWow64Process32())
    {
        // The process's own system folder is SysWOW64; the native one keeps
        // the name System32 beside it.
        if (GetWindowsDirSlash(dir))
            dirs.push_back(dir + L"system32\\");
    }
    else if (GetSystemDirSlash(dir))
    {
        dirs.push_back(dir);
    }
    if (HasTwoRegViews() && GetWow64SystemDirSlash(dir))
        dirs.push_back(dir);
    return dirs;
}

bool GetSystem32DirSlash(std::wstring& dir)
{
    const std::vector<std::wstring> dirs = SystemDirsSlash();
    if (dirs.empty())
        return false;
    dir = dirs[0];
    return true;
}

std::vector<std::wstring> ProgramFilesDirsSlash()
{
    std::vector<std::wstring> dirs;
    std::wstring dir;
    // The native view records both folders of a 64-bit Windows; the 32-bit
    // view's ProgramFilesDir is the 32-bit one.
    const REGSAM native = HasTwoRegViews() ? KEY_WOW64_64KEY : 0;
    if (GetRegisteredDirSlash(L"ProgramFilesDir", native, dir))
        dirs.push_back(dir);
    if (HasTwoRegViews() && GetRegisteredDirSlash(L"ProgramFilesDir (x86)", native, dir) &&
        (dirs.empty() || ::lstrcmpiW(dirs[0].c_str(), dir.c_str()) != 0))
        dirs.push_back(dir);
    return dirs;
}

bool ProbeNativeFile(const wchar_t* path)
{
    // Should the redirection stay on, the probe is the plain one. Only the
    // probe's own open (and the look at what it opened) runs without it.
    CNativeFileView native(true);
    return CanOpenForRead(path);
}

namespace {

// The levels of one probe, held until it ends.
class CHeldLevels
{
public:
    CHeldLevels() {}
    ~CHeldLevels()
    {
        for (size_t i = 0; i < m_handles.size(); ++i)
            ::CloseHandle(m_handles[i]);
    }
    // Opens the level as itself and holds it; false when it did not open.
    bool Open(const std::wstring& path, bool last)
    {
        const HANDLE handle = ::CreateFileW(path.c_str(), last ? GENERIC_READ : FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
        if (handle == INVALID_HANDLE_VALUE)
            return false;
        m_handles.push_back(handle);
        return true;
    }
    HANDLE Last() const { return m_handles.back(); }

private:
    CHeldLevels(const CHeldLevels&);
    CHeldLevels& operator=(const CHeldLevels&);
    std::vector<HANDLE> m_handles;
};

}  // namespace

LevelProbe ProbeNativeFileLevelByLevel(const wchar_t* path)
{
    if (!path || IsRemoteOrDevicePath(path))
        return kProbeRefused;
    // "..", "." and doubled separators are worked out as text, before
    // anything is opened.
    wchar_t full[MAX_PATH * 2] = {0};
    const DWORD length = ::GetFullPathNameW(path, MAX_PATH * 2, full, NULL);
    if (length == 0 || length >= MAX_PATH * 2)
        return kProbeRefused;
    const std::wstring text(full);
    if (text.size() < 4 || text[1] != L':' || text[2] != L'\\' || IsRemoteOrDevicePath(full) ||
        !IsLocalDiskRoot(text.substr(0, 3)))
        return kProbeRefused;
    CNativeFileView native(true);
    CHeldLevels levels;
    for (std::wstring::size_type slash = 2; slash != std::wstring::npos;)
    {
        slash = text.find(L'\\', slash + 1);
        const bool last = slash == std::wstring::npos;
        if (!levels.Open(text.substr(0, slash), last))
        {
            const DWORD error = ::GetLastError();
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? kProbeMissing : kProbeRefused;
        }
        BY_HANDLE_FILE_INFORMATION info;
        if (!g_folderCalls.getInformation(levels.Last(), &info) ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return kProbeRefused;
        const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (last)
            return folder ? kProbeMissing : kProbeFile;  // a folder is no file
        if (!folder)
            return kProbeMissing;  // a file where a folder of the path belongs
    }
    return kProbeRefused;
}

bool NativeFileExists(const wchar_t* path)
{
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    {
        CNativeFileView native(true);
        attributes = ::GetFileAttributesW(path);
    }
    return attributes != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> FileCopiesInViews(const std::wstring& path)
{
    std::vector<std::wstring> copies(1, path);
    if (!HasTwoRegViews())
        return copies;
    const std::vector<std::wstring> system = SystemDirsSlash();
    const std::vector<std::wstring> programs = ProgramFilesDirsSlash();
    const std::vector<std::wstring>* const families[] = {&system, &programs};
    for (size_t f = 0; f < 2; ++f)
    {
        const std::vector<std::wstring>& dirs = *families[f];
        if (dirs.size() < 2)
            continue;
        const DWORD length = static_cast<DWORD>(dirs[0].size());
        if (path.size() > length && ::StrCmpNIW(path.c_str(), dirs[0].c_str(), length) == 0)
            copies.push_back(dirs[1] + path.substr(length));
    }
    return copies;
}

bool StartRegEditInView(const std::wstring& script, bool nativeView, bool wait, DWORD waitMs)
{
    // The Windows folder as the system knows it, not as the environment of
    // the user who started this program says.
    wchar_t windows[MAX_PATH] = {0};
    const UINT length = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    std::wstring editor = windows;
    if (editor[editor.size() - 1] != L'\\')
        editor += L'\\';
    if (HasTwoRegViews() && !nativeView && !GetWow64SystemDirSlash(editor))
        return false;
    editor += L"regedit.exe";
    std::wstring commandLine = L"\"" + editor + L"\" /s \"" + script + L"\"";
    STARTUPINFOW startup;
    ::ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started;
    ::ZeroMemory(&started, sizeof(started));
    BOOL ok = FALSE;
    {
        // Under WOW64 %windir%\regedit.exe is the 32-bit editor unless the
        // redirection is off.
        CNativeFileView native(HasTwoRegViews() && nativeView);
        if (native.Failed())
            return false;
        ok = ::CreateProcessW(editor.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &started);
    }
    if (!ok)
        return false;
    CHandle process(started.hProcess);
    CHandle thread(started.hThread);
    if (!wait)
        return true;
    DWORD code = 1;
    return ::WaitForSingleObject(process, waitMs) == WAIT_OBJECT_0 &&
           ::GetExitCodeProcess(process, &code) && code == 0;
}
