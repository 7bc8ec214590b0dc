#include "killers/reg_script.h"

#include <shlobj.h>
#include <shlwapi.h>

#include "platform/array_count.h"
#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "platform/reg_views.h"
#include "undo/change_gate.h"
#include "undo/program_folder.h"

namespace {

// A scan's editor imports a small script well under a second; one still
// running after a minute is left to it and counts as failed.
const DWORD kScanEditorWaitMs = 60 * 1000;

// Each script, its file name in the program's folder, the keys it writes,
// and where the user is given a copy of it when it is imported (never
// imported from there).
struct ScriptInfo
{
    WORD id;
    const wchar_t* fileName;
    const wchar_t* keys;  // NUL-separated, ending in an empty name
    std::wstring (*userCopy)();
};

const ScriptInfo kScripts[] = {
    {kLnkFixScriptId, L"lnkfix.reg", L"HKEY_CLASSES_ROOT\\.lnk\0HKEY_CLASSES_ROOT\\lnkfile\0", GetLnkFixTempPath},
    {kFixRegScriptId, L"fix.reg",
     L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\0", NULL},
};

const ScriptInfo* FindScript(const wchar_t* fileName)
{
    for (size_t i = 0; i < ArrayCount(kScripts); ++i)
    {
        if (::lstrcmpiW(kScripts[i].fileName, fileName) == 0)
            return &kScripts[i];
    }
    return NULL;
}

// The resource's bytes (they live as long as the module); false when missing.
bool FindBinResource(WORD id, const void** bytes, DWORD* size)
{
    HMODULE module = ::GetModuleHandleW(NULL);
    HRSRC info = ::FindResourceW(module, MAKEINTRESOURCEW(id), L"bin");
    if (!info)
        return false;
    HGLOBAL loaded = ::LoadResource(module, info);
    *bytes = loaded ? ::LockResource(loaded) : NULL;
    *size = ::SizeofResource(module, info);
    return *bytes != NULL;
}

// The import as the gateway makes it (and only then): the first one writes
// the script into the program's folder as a new file, whatever stood at its
// name removed first (and the user's copy), each runs an editor on that
// copy and waits for it: the checks after it, and the next scan, see the
// keys whole, never a tree the cleaner deleted and the editor has not yet
// written back. The file is written once for both editors.
bool WriteAndImport(const std::wstring& copy, bool nativeView)
{
    const ScriptInfo* script = FindScript(::PathFindFileNameW(copy.c_str()));
    const void* bytes = NULL;
    DWORD size = 0;
    if (!script || !FindBinResource(script->id, &bytes, &size))
        return false;
    if (!nativeView || !HasTwoRegViews())
    {
        if (WriteFreshFile(copy, bytes, size) != ERROR_SUCCESS)
            return false;
        const std::wstring userCopy = script->userCopy ? script->userCopy() : std::wstring();
        if (!userCopy.empty())
            WriteFreshFile(userCopy, bytes, size);
    }
    return StartRegEditInView(copy, nativeView, true, kScanEditorWaitMs);
}

// Whether `path` is `folder` or lies below it; both full long paths, the
// folder without a trailing backslash.
bool IsAtOrBelowFolder(const std::wstring& path, const std::wstring& folder)
{
    const int length = static_cast<int>(folder.size());
    return !folder.empty() && path.size() >= folder.size() &&
           ::StrCmpNIW(path.c_str(), folder.c_str(), length) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == L'\\');
}

// The full path of an existing folder in its long form, ".." worked out and
// short names expanded, without a trailing backslash (a root keeps its own);
// empty when it cannot be had.
std::wstring LongFullFolder(const wchar_t* folder)
{
    wchar_t full[MAX_PATH] = {0};
    DWORD length = ::GetFullPathNameW(folder, MAX_PATH, full, NULL);
    if (length == 0 || length >= MAX_PATH)
        return std::wstring();
    wchar_t expanded[MAX_PATH] = {0};
    length = ::GetLongPathNameW(full, expanded, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::wstring();
    std::wstring path(expanded, length);
    while (path.size() > 3 && path[path.size() - 1] == L'\\')
        path.erase(path.size() - 1);
    return path;
}

// Whether every folder of the full path "C:\a\b", from the root down, is a
// plain folder: none a junction or symbolic link (a level's own attributes,
// as its parent lists it).
bool IsPlainFolderPath(const std::wstring& path)
{
    for (std::wstring::size_type slash = path.find(L'\\', 3); ; slash = path.find(L'\\', slash + 1))
    {
        const std::wstring level = path.substr(0, slash);
        WIN32_FIND_DATAW data;
        CFindHandle find;
        if (level.size() > 3 && (!find.First(level.c_str(), &data) ||
                                 !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
                                 (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)))
            return false;
        if (slash == std::wstring::npos)
            return true;
    }
}

}  // namespace

bool ExtractBinResource(WORD id, const wchar_t* path)
{
    const void* bytes = NULL;
    DWORD size = 0;
    if (FindBinResource(id, &bytes, &size))
        WriteFreshFile(path, bytes, size);
    // Resources of a loaded module need no freeing.
    return true;
}

bool ImportScriptResource(WORD id)
{
    const ScriptInfo* script = NULL;
    for (size_t i = 0; i < ArrayCount(kScripts); ++i)
    {
        if (kScripts[i].id == id)
            script = &kScripts[i];
    }
    const std::wstring folder = GetProgramFolder();
    if (!script || folder.empty())
        return false;
    const std::wstring copy = folder + script->fileName;
    // The 32-bit view (the only one of a 32-bit Windows), then on 64-bit
    // Windows the native one too: a view whose keys were deleted is never
    // left without them.
    const bool imported = GateImportScript(copy, script->keys, false, WriteAndImport);
    if (!HasTwoRegViews())
        return imported;
    return GateImportScript(copy, script->keys, true, WriteAndImport) && imported;
}

std::wstring UserScriptCopyPath(const wchar_t* folder, const wchar_t* name)
{
    // Only into a plain folder on a local fixed disk outside the Windows
    // folder, so that no file of the system is replaced, nothing is written
    // through a link and no other machine is reached.
    if (!folder || IsRemoteOrDevicePath(folder) || lstrlenW(folder) < 3 || folder[1] != L':' || folder[2] != L'\\')
        return std::wstring();
    const std::wstring root(folder, 3);
    wchar_t windows[MAX_PATH] = {0};
    const UINT windowsLength = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (DriveTypeOf(root.c_str()) != DRIVE_FIXED || !IsLocalDiskRoot(root) || windowsLength == 0 ||
        windowsLength >= MAX_PATH)
        return std::wstring();
    const std::wstring full = LongFullFolder(folder);
    const std::wstring system = LongFullFolder(windows);
    if (full.size() < 3 || system.size() < 3 || IsAtOrBelowFolder(full, system) || !IsPlainFolderPath(full))
        return std::wstring();
    return (full.size() == 3 ? full : full + L"\\") + name;
}

std::wstring GetLnkFixTempPath()
{
    // The temporary folder comes from the user's environment (TMP, TEMP).
    wchar_t temp[MAX_PATH + 1] = {0};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH)
        return std::wstring();
    return UserScriptCopyPath(temp, L"LNKFIX.REG");
}

std::wstring GetFixRegPath()
{
    // The folder comes from the user's own registry (User Shell Folders).
    wchar_t folder[MAX_PATH] = {0};
    if (FAILED(::SHGetFolderPathW(NULL, CSIDL_APPDATA, NULL, 0, folder)) || !folder[0])
        return std::wstring();
    return UserScriptCopyPath(folder, L"fix.reg");
}
