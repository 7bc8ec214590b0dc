#include "killers/lnk_killer.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <vector>

#include "killers/file_fx.h"
#include "killers/scan_log.h"
#include "platform/array_count.h"
#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "platform/registry.h"
#include "undo/change_gate.h"

const char kLogLnkFileDeleted[] = "清除LNK流氓\t";
const char kLogLnkFolderRemoved[] = "清除LNK流氓残留文件夹\t";
const char kLogLnkShellRemoved[] = "清除LNK流氓残留注册表\tHKEY_CLASSES_ROOT\\lnkfile\\shell\\ \r\n";

namespace {

// Present on every healthy system; a hijacker removes it.
const wchar_t kHealthMarkerKey[] =
    L"SOFTWARE\\Classes\\lnkfile\\shellex\\ContextMenuHandlers\\{00021401-0000-0000-C000-000000000046}";
const wchar_t kHijackKey[] = L"lnkfile\\shell\\open\\command";
const wchar_t kScriptHost[] = L"wscript.exe";

// The advertising shortcuts the hijacker drops, by the folder they lie in.
struct AdvertFile
{
    int folder;  // CSIDL
    const wchar_t* name;
};
const AdvertFile kAdvertFiles[] = {
    {CSIDL_FAVORITES, L"绿色下载站.url"},
    {CSIDL_FAVORITES, L"三只涨停黑马股票推荐.url"},
    {CSIDL_FAVORITES, L"淘宝特卖.url"},
    {CSIDL_FAVORITES, L"网络赚钱宝典.url"},
    {CSIDL_FAVORITES, L"最实用的减肥丰胸方法大全.url"},
    {CSIDL_COMMON_DESKTOPDIRECTORY, L"淘宝-特卖.url"},
};

// The .exe association as Windows ships it: default values below HKCR.
struct AssociationValue
{
    const wchar_t* key;
    const wchar_t* value;
};
const AssociationValue kExeAssociation[] = {
    {L".exe", L"exefile"},
    {L"exefile\\shell\\open\\command", L"\"%1\" %*"},
    {L"exefile\\DefaultIcon", L"%1"},
};

// The file the hijack command starts: the script when the command runs the
// script host with one, the program otherwise. Empty: nothing to delete.
std::wstring HijackTarget(const wchar_t* command)
{
    if (!command[0])
        return std::wstring();
    int count = 0;
    LPWSTR* args = ::CommandLineToArgvW(command, &count);
    if (!args)
        return std::wstring();
    std::wstring target;
    if (count >= 1)
    {
        if (!::StrStrIW(args[0], kScriptHost))
            target = args[0];
        else if (count >= 2)
            target = args[1];
        // The script host alone: never delete the system's own program.
    }
    ::LocalFree(args);
    return target;
}

// The long form of a path, for comparing folders whatever their spelling
// ("C:\PROGRA~1" and "c:\program files\" are one folder); upper case,
// without a trailing backslash. A path that does not exist stays as given.
std::wstring CanonicalFolder(const std::wstring& path)
{
    std::wstring text(path);
    wchar_t buffer[MAX_PATH * 2] = {0};
    const DWORD length = ::GetLongPathNameW(path.c_str(), buffer, MAX_PATH * 2);
    if (length > 0 && length < MAX_PATH * 2)
        text.assign(buffer, length);
    while (text.size() > 3 && text[text.size() - 1] == L'\\')
        text.erase(text.size() - 1);
    if (!text.empty())
        ::CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

// The system's folders that hold programs and libraries nobody may lose.
const int kSystemFolders[] = {CSIDL_WINDOWS, CSIDL_PROGRAM_FILES, CSIDL_PROGRAM_FILESX86};

// Folders that are never removed, even empty: the user's and all users'
// shell folders, besides the system's folders above.
const int kShellFolders[] = {
    CSIDL_DESKTOPDIRECTORY,  CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_PERSONAL,       CSIDL_COMMON_DOCUMENTS,
    CSIDL_FAVORITES,         CSIDL_COMMON_FAVORITES,        CSIDL_STARTMENU,      CSIDL_COMMON_STARTMENU,
    CSIDL_PROGRAMS,          CSIDL_COMMON_PROGRAMS,         CSIDL_STARTUP,        CSIDL_COMMON_STARTUP,
    CSIDL_APPDATA,           CSIDL_COMMON_APPDATA,          CSIDL_LOCAL_APPDATA,  CSIDL_TEMPLATES,
    CSIDL_COMMON_TEMPLATES,  CSIDL_MYPICTURES,              CSIDL_COMMON_PICTURES, CSIDL_MYMUSIC,
    CSIDL_COMMON_MUSIC,      CSIDL_MYVIDEO,                 CSIDL_COMMON_VIDEO,   CSIDL_PROFILE,
    CSIDL_SYSTEM,            CSIDL_SYSTEMX86,               CSIDL_FONTS,          CSIDL_INTERNET_CACHE,
    CSIDL_COOKIES,           CSIDL_HISTORY,                 CSIDL_SENDTO,         CSIDL_RECENT,
    CSIDL_NETHOOD,           CSIDL_PRINTHOOD,               CSIDL_ADMINTOOLS,     CSIDL_COMMON_ADMINTOOLS,
    CSIDL_PROGRAM_FILES_COMMON, CSIDL_PROGRAM_FILES_COMMONX86, CSIDL_RESOURCES,   CSIDL_CDBURN_AREA,
};

bool IsUnderFolder(const std::wstring& canonicalPath, const std::wstring& canonicalFolder)
{
    return !canonicalFolder.empty() && canonicalPath.size() > canonicalFolder.size() &&
           canonicalPath.compare(0, canonicalFolder.size(), canonicalFolder) == 0 &&
           (canonicalPath[canonicalFolder.size()] == L'\\' || canonicalFolder[canonicalFolder.size() - 1] == L'\\');
}

// The canonical paths of the folders in `ids`; on 64-bit Windows the
// native Program Files folder too, which the shell gives a 32-bit program
// only through the registry.
std::vector<std::wstring> CanonicalFolders(const int* ids, size_t count, bool withNativeProgramFiles)
{
    std::vector<std::wstring> folders;
    for (size_t i = 0; i < count; ++i)
    {
        wchar_t folder[MAX_PATH] = {0};
        if (SUCCEEDED(::SHGetFolderPathW(NULL, ids[i], NULL, 0, folder)) && folder[0])
            folders.push_back(CanonicalFolder(folder));
    }
    if (withNativeProgramFiles)
    {
        CRegKey key;
        std::wstring native;
        if (key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", KEY_QUERY_VALUE) ==
                ERROR_SUCCESS &&
            ReadRegString(key, L"ProgramW6432Dir", native))
            folders.push_back(CanonicalFolder(native));
    }
    return folders;
}

// Scripts are what a hijacker leaves in the system's folders; programs and
// libraries there are the system's own (iexplore.exe, mshta.exe, ...).
const wchar_t* const kScriptExtensions[] = {L".vbs", L".vbe", L".js", L".jse", L".wsf", L".hta",
                                            L".bat", L".cmd", L".ps1"};

// Whether the hijack's file may be deleted: a full local path; inside the
// system's folders only a script.
bool MayDeleteTarget(const std::wstring& target)
{
    if (target.size() < 3 || target[1] != L':' || target[2] != L'\\' || IsRemoteOrDevicePath(target.c_str()))
        return false;  // relative (resolved against whatever folder is current), or not on this machine
    const std::wstring canonical = CanonicalFolder(target);
    const std::vector<std::wstring> system =
        CanonicalFolders(kSystemFolders, ArrayCount(kSystemFolders), true);
    for (size_t i = 0; i < system.size(); ++i)
    {
        if (IsUnderFolder(canonical, system[i]))
            return HasExtensionIn(target, kScriptExtensions);
    }
    return true;
}

// Whether an emptied folder may go: never a drive root, nor a folder of the
// system or a shell folder.
bool MayRemoveFolder(const std::wstring& folder)
{
    const std::wstring canonical = CanonicalFolder(folder);
    if (canonical.size() <= 3)
        return false;
    std::vector<std::wstring> kept =
        CanonicalFolders(kSystemFolders, ArrayCount(kSystemFolders), true);
    const std::vector<std::wstring> shell =
        CanonicalFolders(kShellFolders, ArrayCount(kShellFolders), false);
    kept.insert(kept.end(), shell.begin(), shell.end());
    return std::find(kept.begin(), kept.end(), canonical) == kept.end();
}

void DeleteTargetAndFolder(const std::wstring& target)
{
    if (!MayDeleteTarget(target))
        return;
    if (GateDeleteFile(target, kKeepOrLeave))
        ScanLog::AppendLine(kLogLnkFileDeleted, target);
    const std::wstring::size_type slash = target.rfind(L'\\');
    if (slash == std::wstring::npos)
        return;
    const std::wstring folder = target.substr(0, slash);
    if (MayRemoveFolder(folder) && GateRemoveFolder(folder))
        ScanLog::AppendLine(kLogLnkFolderRemoved, folder);
}

void DeleteAdvertFiles()
{
    for (size_t i = 0; i < ArrayCount(kAdvertFiles); ++i)
    {
        wchar_t folder[MAX_PATH] = {0};
        if (FAILED(::SHGetFolderPathW(NULL, kAdvertFiles[i].folder, NULL, 0, folder)) || !folder[0])
            continue;
        std::wstring path(folder);
        if (path[path.size() - 1] != L'\\')
            path += L'\\';
        path += kAdvertFiles[i].name;
        if (GateDeleteFile(path, kKeepOrLeave))
            ScanLog::AppendLine(kLogLnkFileDeleted, path);
    }
}

}  // namespace

int CKillerForLnkKiller::Run(ICommunication* comm)
{
    m_pComm = comm;
    CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kHealthMarkerKey) == ERROR_SUCCESS)
        return 0;  // the shortcut association is intact
    if (key.Open(HKEY_CLASSES_ROOT, kHijackKey) != ERROR_SUCCESS)
        return 0;
    wchar_t command[kRegTextChars] = {0};
    DWORD count = 0;
    ReadRegText(key, L"", command, kRegTextChars, &count);
    key.Close();

    const std::wstring target = HijackTarget(count ? command : L"");
    if (!target.empty())
        DeleteTargetAndFolder(target);

    if (key.Open(HKEY_CLASSES_ROOT, L"lnkfile") == ERROR_SUCCESS)
    {
        GateDeleteTree(key, L"shell");
        key.Close();
        ScanLog::AppendText(kLogLnkShellRemoved);
    }
    DeleteAdvertFiles();
    RepairExeAssociation();
    return 0;
}

bool RepairExeAssociation()
{
    // Read the stored type and text as they are: a REG_EXPAND_SZ "exefile"
    // is wrong, and the shell's value reader would expand it into a REG_SZ.
    CRegKey key;
    if (key.Open(HKEY_CLASSES_ROOT, L".exe", KEY_QUERY_VALUE) != ERROR_SUCCESS)
        return false;
    wchar_t text[260] = {0};
    DWORD type = 0;
    DWORD bytes = sizeof(text);
    if (::RegQueryValueExW(key, NULL, NULL, &type, reinterpret_cast<BYTE*>(text), &bytes) != ERROR_SUCCESS)
        return false;
    key.Close();
    text[259] = L'\0';
    if (type == REG_SZ && ::lstrcmpiW(text, L"exefile") == 0)
        return false;
    for (size_t i = 0; i < ArrayCount(kExeAssociation); ++i)
    {
        GateSetStringIn(HKEY_CLASSES_ROOT, kExeAssociation[i].key, NULL, kExeAssociation[i].value);
    }
    return true;
}
