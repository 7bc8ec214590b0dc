#include "platform/pending_deletes.h"

#include <vector>

#include "platform/registry.h"

namespace {

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";
const DWORD kMaxPendingBytes = 4 * 1024 * 1024;

// The list without the deletions of `source`; false when nothing matched.
bool WithoutDeletionsOf(const std::vector<wchar_t>& list, const std::wstring& source, std::vector<wchar_t>& kept)
{
    bool found = false;
    size_t i = 0;
    while (i < list.size() && list[i])
    {
        const std::wstring from(&list[i]);
        i += from.size() + 1;
        const std::wstring to = i < list.size() ? std::wstring(&list[i]) : std::wstring();
        i += to.size() + 1;
        if (to.empty() && lstrcmpiW(from.c_str(), source.c_str()) == 0)
        {
            found = true;
            continue;
        }
        kept.insert(kept.end(), from.begin(), from.end());
        kept.push_back(L'\0');
        kept.insert(kept.end(), to.begin(), to.end());
        kept.push_back(L'\0');
    }
    kept.push_back(L'\0');
    return found;
}

}  // namespace

DWORD CancelScheduledDeletion(const std::wstring& path, bool& cancelled)
{
    cancelled = false;
    CRegKey key;
    LONG status = key.Open(HKEY_LOCAL_MACHINE, kSessionManager, KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (status != ERROR_SUCCESS)
        return static_cast<DWORD>(status);
    DWORD type = 0;
    DWORD bytes = 0;
    status = ::RegQueryValueExW(key, kPendingValue, NULL, &type, NULL, &bytes);
    if (status == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS)
        return static_cast<DWORD>(status);
    if (type != REG_MULTI_SZ || bytes > kMaxPendingBytes)
        return ERROR_INVALID_DATA;
    std::vector<wchar_t> list(bytes / sizeof(wchar_t) + 2, L'\0');
    status = ::RegQueryValueExW(key, kPendingValue, NULL, &type, reinterpret_cast<BYTE*>(&list[0]), &bytes);
    if (status != ERROR_SUCCESS)
        return static_cast<DWORD>(status);
    std::vector<wchar_t> kept;
    if (!WithoutDeletionsOf(list, L"\\??\\" + path, kept))
        return ERROR_SUCCESS;
    if (kept.size() <= 1)
        status = ::RegDeleteValueW(key, kPendingValue);
    else
        status = ::RegSetValueExW(key, kPendingValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(&kept[0]),
                                  static_cast<DWORD>(kept.size() * sizeof(wchar_t)));
    cancelled = status == ERROR_SUCCESS;
    return static_cast<DWORD>(status);
}
