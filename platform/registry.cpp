#include "platform/registry.h"

#include <shlwapi.h>

#include <cstddef>
#include <vector>

#include "platform/file_helpers.h"

namespace {

// A key opened with REG_OPTION_OPEN_LINK is a link when it carries the
// link's target.
bool IsRegistryLink(HKEY key)
{
    DWORD type = 0;
    return ::RegQueryValueExW(key, L"SymbolicLinkValue", NULL, &type, NULL, NULL) == ERROR_SUCCESS &&
           type == REG_LINK;
}

// Hives the user who started this program can write: there a key may be a
// link to a machine key, which this program may not reach that way.
bool IsUserWritableRoot(HKEY root)
{
    return root != HKEY_LOCAL_MACHINE && root != HKEY_CLASSES_ROOT && root != HKEY_CURRENT_CONFIG &&
           root != HKEY_PERFORMANCE_DATA;
}

thread_local CUserKeyMemo* t_pKeyMemo = NULL;

// The memo's roots: the predefined handles, whose values never name
// another key.
bool IsMemoRoot(HKEY root) { return root == HKEY_CURRENT_USER || root == HKEY_USERS; }

// The longest kept level of root\path (at a backslash), or NULL.
const CUserKeyMemo::Level* LongestKept(const std::vector<CUserKeyMemo::Level>& levels, HKEY root, REGSAM view,
                                        const std::wstring& path)
{
    const CUserKeyMemo::Level* best = NULL;
    for (size_t i = 0; i < levels.size(); ++i)
    {
        const CUserKeyMemo::Level& level = levels[i];
        const size_t length = level.path.size();
        // Compared exactly: a path written in another case walks from the
        // hive, never through a level a looser comparison takes for its own.
        if (level.root == root && level.view == view && length < path.size() && path[length] == L'\\' &&
            path.compare(0, length, level.path) == 0 && (!best || length > best->path.size()))
            best = &level;
    }
    return best;
}

bool IsKept(const std::vector<CUserKeyMemo::Level>& levels, HKEY root, REGSAM view, const std::wstring& path)
{
    for (size_t i = 0; i < levels.size(); ++i)
    {
        if (levels[i].root == root && levels[i].view == view && levels[i].path == path)
            return true;
    }
    return false;
}

// Opens root\path one level at a time, each level as the key itself: a
// level that is a registry link is not followed, and the open fails. `from`
// is where the walk starts: root itself, or a kept level `done` characters
// of the path below it. Levels on the way go into `memo` when there is one.
LONG OpenLevels(HKEY root, HKEY from, const std::wstring& path, std::wstring::size_type done, REGSAM access,
                std::vector<CUserKeyMemo::Level>* memo, HKEY* opened)
{
    const REGSAM view = access & (KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    HKEY current = from;
    bool currentKept = true;  // `from` is not this walk's to close
    std::wstring::size_type start = done ? done + 1 : 0;
    for (;;)
    {
        const std::wstring::size_type slash = path.find(L'\\', start);
        const bool last = slash == std::wstring::npos;
        const std::wstring name = path.substr(start, last ? std::wstring::npos : slash - start);
        HKEY next = NULL;
        LONG status = ::RegOpenKeyExW(current, name.c_str(), REG_OPTION_OPEN_LINK,
                                      (last ? access : KEY_QUERY_VALUE | view) | KEY_QUERY_VALUE, &next);
        if (!currentKept)
            ::RegCloseKey(current);
        if (status != ERROR_SUCCESS)
            return status;
        if (IsRegistryLink(next))
        {
            ::RegCloseKey(next);
            return ERROR_ACCESS_DENIED;
        }
        if (last)
        {
            *opened = next;
            return ERROR_SUCCESS;
        }
        current = next;
        currentKept = false;
        if (memo && !IsKept(*memo, root, view, path.substr(0, slash)))
        {
            const CUserKeyMemo::Level level = {root, view, path.substr(0, slash), next};
            memo->push_back(level);
            currentKept = true;
        }
        start = slash + 1;
    }
}

LONG OpenWithoutLinks(HKEY root, const std::wstring& path, REGSAM access, HKEY* opened)
{
    return OpenLevels(root, root, path, 0, access, NULL, opened);
}

}  // namespace

CUserKeyMemo::CUserKeyMemo() : m_pOuter(t_pKeyMemo) { t_pKeyMemo = this; }

CUserKeyMemo::~CUserKeyMemo()
{
    t_pKeyMemo = m_pOuter;
    for (size_t i = 0; i < m_levels.size(); ++i)
        ::RegCloseKey(m_levels[i].key);
}

LONG CUserKeyMemo::Open(HKEY root, const std::wstring& path, REGSAM access, HKEY* opened)
{
    const REGSAM view = access & (KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    if (const Level* kept = LongestKept(m_levels, root, view, path))
    {
        const size_t index = static_cast<size_t>(kept - &m_levels[0]);
        const LONG status = OpenLevels(root, kept->key, path, kept->path.size(), access, &m_levels, opened);
        if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND)
            return status;
        // A kept level deleted (or changed) meanwhile goes; the walk from
        // the hive decides.
        ::RegCloseKey(m_levels[index].key);
        m_levels.erase(m_levels.begin() + static_cast<std::ptrdiff_t>(index));
    }
    return OpenLevels(root, root, path, 0, access, &m_levels, opened);
}

LONG CRegKey::Open(HKEY root, const wchar_t* path, REGSAM access)
{
    Close();
    HKEY key = NULL;
    LONG status = ERROR_SUCCESS;
    if (!path || !path[0] || !IsUserWritableRoot(root))
        status = ::RegOpenKeyExW(root, path, 0, access, &key);
    else if (t_pKeyMemo && IsMemoRoot(root))
        status = t_pKeyMemo->Open(root, path, access, &key);
    else
        status = OpenWithoutLinks(root, path, access, &key);
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

namespace {

typedef LONG(WINAPI* PFNNTDELETEKEY)(HANDLE);
typedef ULONG(WINAPI* PFNRTLNTSTATUSTODOSERROR)(LONG);


// Deletes the key behind this very handle (opened with DELETE access).
LONG DeleteOpenKey(HKEY key)
{
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    PFNNTDELETEKEY deleteKey =
        reinterpret_cast<PFNNTDELETEKEY>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtDeleteKey")));
    PFNRTLNTSTATUSTODOSERROR toError = reinterpret_cast<PFNRTLNTSTATUSTODOSERROR>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlNtStatusToDosError")));
    if (!deleteKey || !toError)
        return ERROR_CALL_NOT_IMPLEMENTED;
    const LONG status = deleteKey(key);
    return status == 0 ? ERROR_SUCCESS : static_cast<LONG>(toError(status));
}

}  // namespace

LONG DeleteRegKeyTree(HKEY parent, const wchar_t* name, REGSAM view)
{
    CRegKey key;
    HKEY opened = NULL;
    LONG status = ::RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, KEY_READ | DELETE | view, &opened);
    if (status != ERROR_SUCCESS)
        return status;
    key.Attach(opened);
    if (!IsRegistryLink(key))
    {
        // The subkeys as they are now: a fixed list, so a subkey that will
        // not go ends the deletion instead of coming back for ever.
        std::vector<std::wstring> children;
        for (DWORD i = 0;; ++i)
        {
            wchar_t child[256];
            DWORD length = 256;
            status = ::RegEnumKeyExW(key, i, child, &length, NULL, NULL, NULL, NULL);
            if (status == ERROR_NO_MORE_ITEMS)
                break;
            if (status != ERROR_SUCCESS)
                return status;
            children.push_back(std::wstring(child, length));
        }
        for (size_t i = 0; i < children.size(); ++i)
        {
            if (children[i].find(L'\0') != std::wstring::npos)
                return ERROR_INVALID_NAME;  // no open reaches it by name
            status = DeleteRegKeyTree(key, children[i].c_str(), view);
            if (status != ERROR_SUCCESS)
                return status;
        }
    }
    return DeleteOpenKey(key);
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
