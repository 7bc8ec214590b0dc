#include "platform/registry.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <vector>

#include "platform/file_helpers.h"
#include "platform/reg_views.h"

LONG CRegKey::Open(HKEY root, const wchar_t* path, REGSAM access)
{
    Close();
    HKEY key = NULL;
    const LONG status = ::RegOpenKeyExW(root, path, 0, access, &key);
    if (status == ERROR_SUCCESS)
        m_hKey = key;
    return status;
}

void CRegKey::Close()
{
    if (m_hKey)
        ::RegCloseKey(m_hKey);
    m_hKey = NULL;
}

LONG ReadRegText(HKEY key, const wchar_t* valueName, wchar_t* buffer, DWORD chars, DWORD* count)
{
    *count = 0;
    // Read into a copy first: the caller's buffer stays as it was on error.
    std::vector<wchar_t> data(chars + 1, L'\0');
    DWORD type = 0;
    DWORD bytes = chars * sizeof(wchar_t);
    const LONG status = ::RegQueryValueExW(key, valueName, NULL, &type,
                                           reinterpret_cast<BYTE*>(&data[0]), &bytes);
    if (status != ERROR_SUCCESS)
        return status;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_INVALID_DATA;
    if (bytes == 0)
    {
        if (chars > 0)
            buffer[0] = L'\0';
        return ERROR_SUCCESS;
    }
    const DWORD units = bytes / sizeof(wchar_t);
    if (bytes % sizeof(wchar_t) != 0 || data[units - 1] != L'\0')
        return ERROR_INVALID_DATA;
    std::copy(data.begin(), data.begin() + units, buffer);
    *count = units;
    return ERROR_SUCCESS;
}

bool ReadRegString(HKEY key, const wchar_t* valueName, std::wstring& text)
{
    wchar_t buffer[kRegTextChars] = {0};
    DWORD count = 0;
    if (ReadRegText(key, valueName, buffer, kRegTextChars, &count) != ERROR_SUCCESS || count == 0)
        return false;
    text = buffer;
    return true;
}

LONG WriteRegString(HKEY key, const wchar_t* valueName, const std::wstring& text)
{
    return ::RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

LONG DeleteRegKeyTree(HKEY parent, const wchar_t* name, REGSAM view)
{
    HKEY key = NULL;
    LONG status = ::RegOpenKeyExW(parent, name, 0, KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE | view, &key);
    if (status != ERROR_SUCCESS)
        return status;
    for (;;)
    {
        wchar_t child[257];
        DWORD length = 257;
        status = ::RegEnumKeyExW(key, 0, child, &length, NULL, NULL, NULL, NULL);
        if (status != ERROR_SUCCESS)
            break;
        status = DeleteRegKeyTree(key, child, view);
        if (status != ERROR_SUCCESS)
        {
            ::RegCloseKey(key);
            return status;
        }
    }
    ::RegCloseKey(key);
    return DeleteRegKeyInView(parent, name, view);
}

namespace {

typedef UINT(WINAPI* PFNGETDIR)(LPWSTR, UINT);

UINT WINAPI CurrentDirectory(LPWSTR buffer, UINT size) { return ::GetCurrentDirectoryW(size, buffer); }

bool GetDirSlash(PFNGETDIR get, std::wstring& dir)
{
    const UINT needed = get(NULL, 0);
    if (needed == 0)
        return false;
    std::vector<wchar_t> buffer(needed + 2, L'\0');
    const UINT length = get(&buffer[0], needed + 1);
    if (length == 0 || length > needed)
        return false;
    dir.assign(&buffer[0], length);
    if (dir[dir.size() - 1] != L'\\')
        dir += L'\\';
    return true;
}

}  // namespace

bool GetWindowsDirSlash(std::wstring& dir) { return GetDirSlash(::GetWindowsDirectoryW, dir); }
bool GetSystemDirSlash(std::wstring& dir) { return GetDirSlash(::GetSystemDirectoryW, dir); }
bool GetCurrentDirSlash(std::wstring& dir) { return GetDirSlash(CurrentDirectory, dir); }

namespace {

// The native system folder under the name every program and the system use:
// System32 (a 32-bit process under WOW64 reaches it with ProbeNativeFile).
bool GetProbeSystemDirSlash(std::wstring& dir)
{
    const std::vector<std::wstring> dirs = SystemDirsSlash();
    if (dirs.empty())
        return false;
    dir = dirs[0];
    return true;
}

}  // namespace

bool ProbeTargetFile(const wchar_t* token, const wchar_t* baseDir)
{
    if (!token)
        return false;
    static const wchar_t kSystemRoot[] = L"%SystemRoot%\\";
    std::wstring dir;
    // Commands are started by 64-bit programs on 64-bit Windows: the files
    // are looked for as they see them.
    if (::StrStrIW(token, L":\\"))
        return ProbeNativeFile(token);
    if (::StrStrIW(token, kSystemRoot))
        return GetWindowsDirSlash(dir) && ProbeNativeFile((dir + (token + lstrlenW(kSystemRoot))).c_str());

    if (baseDir)
        dir = baseDir;
    else if (!GetCurrentDirSlash(dir))
        dir.clear();
    if (!dir.empty() && ProbeNativeFile((dir + token).c_str()))
        return true;
    if (GetWindowsDirSlash(dir) && ProbeNativeFile((dir + token).c_str()))
        return true;
    return GetProbeSystemDirSlash(dir) && ProbeNativeFile((dir + token).c_str());
}

bool CheckCommandTargets(const wchar_t* commandLine, const wchar_t* baseDir)
{
    if (!commandLine || !commandLine[0])
        return true;
    int count = 0;
    LPWSTR* tokens = ::CommandLineToArgvW(commandLine, &count);
    if (!tokens)
        return true;
    bool valid = true;
    for (int i = 0; i < count; ++i)
    {
        if (::StrChrW(tokens[i], L'.') && !ProbeTargetFile(tokens[i], baseDir))
            valid = false;  // every dotted token is probed all the same
    }
    ::LocalFree(tokens);
    return valid;
}

namespace {

const size_t kKeyPathChars = 520;

bool DeleteKeyRecursiveIn(HKEY root, std::wstring& path, REGSAM view)
{
    if (path.size() >= kKeyPathChars)
        return false;  // never cut or overrun a path silently
    if (DeleteRegKeyInView(root, path.c_str(), view) == ERROR_SUCCESS)
        return true;
    HKEY key = NULL;
    const LONG status = ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key);
    if (status != ERROR_SUCCESS)
        return status == ERROR_FILE_NOT_FOUND;
    const std::wstring::size_type length = path.size();
    if (path.empty() || path[length - 1] != L'\\')
        path += L'\\';
    const std::wstring::size_type names = path.size();
    bool ok = true;
    for (;;)
    {
        wchar_t child[260];
        DWORD childLength = 260;
        if (::RegEnumKeyExW(key, 0, child, &childLength, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        path.resize(names);
        path += child;
        if (!DeleteKeyRecursiveIn(root, path, view))
        {
            ok = false;
            break;
        }
    }
    path.resize(length);
    ::RegCloseKey(key);
    return ok && DeleteRegKeyInView(root, path.c_str(), view) == ERROR_SUCCESS;
}

}  // namespace

bool DeleteKeyRecursive(HKEY root, const wchar_t* path, REGSAM view)
{
    std::wstring working(path);
    return DeleteKeyRecursiveIn(root, working, view);
}
