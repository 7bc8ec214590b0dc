#include "undo/quarantine_pruning.h"

#include <algorithm>
#include <cwchar>
#include <vector>

#include "platform/file_helpers.h"
#include "undo/quarantine_manifest.h"

namespace {

// The folder's files and their bytes; reparse points are left out.
ULONGLONG FolderBytes(const std::wstring& folder)
{
    std::vector<DirEntry> entries;
    ULONGLONG total = 0;
    if (!ListFolder(folder + L"*", entries))
        return 0;
    for (size_t i = 0; i < entries.size(); ++i)
        if (!entries[i].IsFolder() && !(entries[i].attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            total += (ULONGLONG(entries[i].sizeHigh) << 32) | entries[i].sizeLow;
    return total;
}

// Deletes one quarantine folder: its files, then itself. A link inside is
// removed as a link, never followed.
void RemoveQuarantine(const std::wstring& folder)
{
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    {
        std::vector<DirEntry> entries;
        ListFolder(WithBackslash(folder) + L"*", entries);
        for (size_t i = 0; i < entries.size(); ++i)
        {
            const std::wstring path = WithBackslash(folder) + entries[i].name;
            if (entries[i].IsFolder())
                ::RemoveDirectoryW(path.c_str());
            else
                DeleteFileClearingReadOnly(path.c_str());
        }
    }
    ::RemoveDirectoryW(folder.c_str());
}

ULONGLONG LocalTimeValue(const SYSTEMTIME& time)
{
    FILETIME value;
    return ::SystemTimeToFileTime(&time, &value) ? FileTimeValue(value) : 0;
}

}  // namespace

bool ParseQuarantineName(const std::wstring& name, SYSTEMTIME& time)
{
    if (name.size() < 15 || name[8] != L'-' || (name.size() > 15 && name[15] != L'-'))
        return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (i != 8 && i != 15 && (name[i] < L'0' || name[i] > L'9'))
            return false;
    if (name.size() == 16)
        return false;
    const wchar_t* p = name.c_str();
    ZeroMemory(&time, sizeof(time));
    time.wYear = static_cast<WORD>(_wtoi(std::wstring(p, 4).c_str()));
    time.wMonth = static_cast<WORD>(_wtoi(std::wstring(p + 4, 2).c_str()));
    time.wDay = static_cast<WORD>(_wtoi(std::wstring(p + 6, 2).c_str()));
    time.wHour = static_cast<WORD>(_wtoi(std::wstring(p + 9, 2).c_str()));
    time.wMinute = static_cast<WORD>(_wtoi(std::wstring(p + 11, 2).c_str()));
    time.wSecond = static_cast<WORD>(_wtoi(std::wstring(p + 13, 2).c_str()));
    FILETIME check;
    return ::SystemTimeToFileTime(&time, &check) != FALSE;
}

ULONGLONG PruneQuarantines(const std::wstring& root, const SYSTEMTIME& now)
{
    std::vector<DirEntry> entries;
    if (!ListFolder(root + L"*", entries))
        return 0;
    std::vector<std::pair<std::wstring, ULONGLONG> > quarantines;  // name, bytes; oldest first
    ULONGLONG total = 0;
    for (size_t i = 0; i < entries.size(); ++i)
    {
        SYSTEMTIME time;
        if (!entries[i].IsFolder() || (entries[i].attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !ParseQuarantineName(entries[i].name, time))
            continue;
        const ULONGLONG bytes = FolderBytes(root + entries[i].name + L"\\");
        quarantines.push_back(std::make_pair(entries[i].name, bytes));
        total += bytes;
    }
    std::sort(quarantines.begin(), quarantines.end());
    const ULONGLONG youngest = LocalTimeValue(now) - ULONGLONG(kQuarantineKeepDays) * 24 * 3600 * 10000000;
    size_t count = quarantines.size();
    for (size_t i = 0; i < quarantines.size() && (count > kMaxQuarantines || total > kMaxQuarantineBytes); ++i)
    {
        SYSTEMTIME time;
        ParseQuarantineName(quarantines[i].first, time);
        if (LocalTimeValue(time) > youngest)
            break;  // this one and all after it are younger than the limit
        RemoveQuarantine(root + quarantines[i].first);
        --count;
        total -= quarantines[i].second;
    }
    return total;
}
