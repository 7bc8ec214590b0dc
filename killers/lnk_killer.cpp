#include "killers/lnk_killer.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "killers/file_fx.h"
#include "killers/scan_log.h"
#include "platform/file_helpers.h"
#include "platform/registry.h"

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

void DeleteTargetAndFolder(const std::wstring& target)
{
    if (DeleteFileClearingReadOnly(target.c_str()))
        ScanLog::AppendLine(kLogLnkFileDeleted, target);
    const std::wstring::size_type slash = target.rfind(L'\\');
    if (slash == std::wstring::npos)
        return;
    const std::wstring folder = target.substr(0, slash);
    if (::RemoveDirectoryW(folder.c_str()))
        ScanLog::AppendLine(kLogLnkFolderRemoved, folder);
}

void DeleteAdvertFiles()
{
    for (size_t i = 0; i < sizeof(kAdvertFiles) / sizeof(kAdvertFiles[0]); ++i)
    {
        wchar_t folder[MAX_PATH] = {0};
        if (FAILED(::SHGetFolderPathW(NULL, kAdvertFiles[i].folder, NULL, 0, folder)) || !folder[0])
            continue;
        std::wstring path(folder);
        if (path[path.size() - 1] != L'\\')
            path += L'\\';
        path += kAdvertFiles[i].name;
        if (DeleteFileClearingReadOnly(path.c_str()))
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
        DeleteRegKeyTree(key, L"shell");
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
    for (size_t i = 0; i < sizeof(kExeAssociation) / sizeof(kExeAssociation[0]); ++i)
    {
        const wchar_t* value = kExeAssociation[i].value;
        ::SHSetValueW(HKEY_CLASSES_ROOT, kExeAssociation[i].key, NULL, REG_SZ, value,
                      static_cast<DWORD>((lstrlenW(value) + 1) * sizeof(wchar_t)));
    }
    return true;
}
