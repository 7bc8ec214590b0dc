#include "platform/file_helpers.h"

#include "platform/handles.h"
#include "platform/system_function.h"

#include <algorithm>

namespace {

PFNFILEOPENHOOK g_openHook = NULL;
PFNLISTINGHOOK g_listingHook = NULL;

// The folder a listing pattern or an entry's path lies in ("E:\", "E:\hid\"),
// without the long-form prefix.
std::wstring FolderOf(const std::wstring& path)
{
    const std::wstring::size_type slash = path.rfind(L'\\');
    const std::wstring folder = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
    return folder.substr(LongFormPrefix(folder));
}

void BeforeOpen(const wchar_t* path)
{
    if (g_openHook)
        g_openHook(path);
}

}  // namespace

void SetFileOpenHook(PFNFILEOPENHOOK hook) { g_openHook = hook; }

size_t LongFormPrefix(const std::wstring& path) { return path.compare(0, 4, L"\\\\?\\") == 0 ? 4 : 0; }
void SetListingHook(PFNLISTINGHOOK hook) { g_listingHook = hook; }

std::wstring ListedPath(const std::wstring& folder, const std::wstring& name)
{
    const bool onDrive = folder.size() >= 3 && folder[1] == L':' && folder[2] == L'\\';
    return (onDrive ? L"\\\\?\\" : L"") + folder + name;
}

bool SplitRootEntry(const std::wstring& path, std::wstring& root, std::wstring& name)
{
    if (path.size() < 8 || LongFormPrefix(path) == 0 || path[5] != L':' || path[6] != L'\\' ||
        path.find_first_of(L"\\/:", 7) != std::wstring::npos)
        return false;
    root = path.substr(4, 3);
    name = path.substr(7);
    return true;
}

std::vector<std::wstring> ListDriveRoots()
{
    std::vector<std::wstring> roots;
    std::vector<wchar_t> buffer(100);
    DWORD length = 0;
    for (;;)
    {
        length = ::GetLogicalDriveStringsW(static_cast<DWORD>(buffer.size()), &buffer[0]);
        if (length < buffer.size())
            break;
        // Too small: the result is the size needed (the terminator included).
        buffer.assign(length + 1, L'\0');
    }
    if (length < 4)
        return roots;
    const wchar_t* p = &buffer[0];
    const wchar_t* end = p + length;
    while (p < end && *p)
    {
        std::wstring root(p);
        p += root.size() + 1;
        roots.push_back(root);
    }
    return roots;
}

bool IsPeImage(const wchar_t* path, bool* isDll)
{
    BeforeOpen(path);
    CHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL));
    if (!file.IsValid())
        return false;

    unsigned char dos[64] = {0};
    DWORD read = 0;
    ::ReadFile(file, dos, sizeof(dos), &read, NULL);
    if (dos[0] != 'M' || dos[1] != 'Z')
        return false;

    // The offset is taken unsigned: a "negative" one lies beyond 2 GiB and
    // reads nothing, like any other offset past the end of the file.
    DWORD offset = static_cast<DWORD>(dos[60]) | (static_cast<DWORD>(dos[61]) << 8) |
                   (static_cast<DWORD>(dos[62]) << 16) | (static_cast<DWORD>(dos[63]) << 24);
    LONG high = 0;
    if (::SetFilePointer(file, static_cast<LONG>(offset), &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        ::GetLastError() != NO_ERROR)
        return false;

    unsigned char pe[24] = {0};
    read = 0;
    if (!::ReadFile(file, pe, sizeof(pe), &read, NULL) || read != sizeof(pe))
        return false;
    if (pe[0] != 'P' || pe[1] != 'E')
        return false;

    if (isDll)
    {
        const unsigned characteristics = pe[22] | (pe[23] << 8);
        *isDll = (characteristics & IMAGE_FILE_DLL) != 0;
    }
    return true;
}

namespace {

// FILE_BASIC_INFO and FILE_STANDARD_INFO of GetFileInformationByHandleEx
// (Windows Vista and later).
struct BasicInfo
{
    LARGE_INTEGER created, accessed, written, changed;
    DWORD attributes;
};
struct StandardInfo
{
    LARGE_INTEGER allocated, size;
    DWORD links;
    BOOLEAN deletePending, directory;
};
// The sizes the system checks the buffers against.
static_assert(sizeof(BasicInfo) == 40, "FILE_BASIC_INFO is 40 bytes");
static_assert(sizeof(StandardInfo) == 24, "FILE_STANDARD_INFO is 24 bytes");
typedef BOOL(WINAPI* PFNGETINFOBYHANDLEEX)(HANDLE, int, void*, DWORD);
const int kFileBasicInfo = 0;
const int kFileStandardInfo = 1;

FILETIME TimeOf(const LARGE_INTEGER& time)
{
    FILETIME filetime;
    filetime.dwLowDateTime = time.LowPart;
    filetime.dwHighDateTime = static_cast<DWORD>(time.HighPart);
    return filetime;
}

}  // namespace

namespace {

// GetFileInformationByHandleEx, where the system has it (Vista and later).
PFNGETINFOBYHANDLEEX InfoByHandleEx()
{
    static const PFNGETINFOBYHANDLEEX getInfoEx =
        SystemFunction<PFNGETINFOBYHANDLEEX>(L"kernel32.dll", "GetFileInformationByHandleEx");
    return getInfoEx;
}

}  // namespace

bool QueryOpenAttributes(HANDLE file, DWORD& attributes)
{
    const PFNGETINFOBYHANDLEEX getInfoEx = InfoByHandleEx();
    if (!getInfoEx)
    {
        OpenFileFacts facts;  // Windows XP: the one call there is
        if (!QueryOpenFile(file, facts))
            return false;
        attributes = facts.attributes;
        return true;
    }
    BasicInfo basic;
    if (!getInfoEx(file, kFileBasicInfo, &basic, sizeof(basic)))
        return false;
    attributes = basic.attributes;
    return true;
}

bool QueryOpenFile(HANDLE file, OpenFileFacts& facts)
{
    const PFNGETINFOBYHANDLEEX getInfoEx = InfoByHandleEx();
    if (!getInfoEx)
    {
        // Windows XP: the one call there is.
        BY_HANDLE_FILE_INFORMATION info;
        if (!::GetFileInformationByHandle(file, &info))
            return false;
        facts.attributes = info.dwFileAttributes;
        facts.size = (static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        facts.links = info.nNumberOfLinks;
        facts.created = info.ftCreationTime;
        facts.accessed = info.ftLastAccessTime;
        facts.written = info.ftLastWriteTime;
        return true;
    }
    BasicInfo basic;
    StandardInfo standard;
    if (!getInfoEx(file, kFileBasicInfo, &basic, sizeof(basic)) ||
        !getInfoEx(file, kFileStandardInfo, &standard, sizeof(standard)))
        return false;
    facts.attributes = basic.attributes;
    facts.size = static_cast<ULONGLONG>(standard.size.QuadPart);
    facts.links = standard.links;
    facts.created = TimeOf(basic.created);
    facts.accessed = TimeOf(basic.accessed);
    facts.written = TimeOf(basic.written);
    return true;
}

bool CanOpenForRead(const wchar_t* path)
{
    BeforeOpen(path);
    CHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                               OPEN_EXISTING, 0, NULL));
    if (!file.IsValid())
        return false;
    // Windows refuses to open a folder this way; some systems (Wine) do not.
    BY_HANDLE_FILE_INFORMATION info;
    return ::GetFileInformationByHandle(file, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring WithBackslash(const std::wstring& folder)
{
    if (!folder.empty() && folder[folder.size() - 1] != L'\\')
        return folder + L'\\';
    return folder;
}

bool CreateDirectoryChain(const wchar_t* path)
{
    if (!path)
        return true;
    std::wstring text(path);
    for (std::wstring::size_type i = 0; i < text.size(); ++i)
    {
        if (text[i] != L'\\' || i == 0)
            continue;
        // Errors, an existing folder or a bare "E:" among them, are ignored.
        ::CreateDirectoryW(text.substr(0, i).c_str(), NULL);
    }
    return true;
}

bool DeleteFileClearingReadOnly(const wchar_t* path)
{
    if (::DeleteFileW(path))
        return true;
    const DWORD attributes = ::GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !(attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    if (!::SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY))
        return false;
    if (::DeleteFileW(path))
        return true;
    ::SetFileAttributesW(path, attributes);
    return false;
}

bool ListFolder(const std::wstring& pattern, std::vector<DirEntry>& entries)
{
    entries.clear();
    CQuietDriveAccess quiet;
    WIN32_FIND_DATAW data;
    CFindHandle find;
    if (!find.First(pattern.c_str(), &data))
        return false;
    do
    {
        if (data.cFileName[0] == L'.' &&
            (data.cFileName[1] == L'\0' || (data.cFileName[1] == L'.' && data.cFileName[2] == L'\0')))
            continue;
        DirEntry entry;
        entry.name = data.cFileName;
        entry.attributes = data.dwFileAttributes;
        entry.sizeHigh = data.nFileSizeHigh;
        entry.sizeLow = data.nFileSizeLow;
        entry.gone = false;
        entries.push_back(entry);
    } while (find.Next(&data));
    if (g_listingHook)
        g_listingHook(FolderOf(pattern), entries);
    return true;
}

DWORD ListedAttributes(const std::wstring& path)
{
    WIN32_FIND_DATAW data;
    CFindHandle find;
    if (!find.First(ListedPath(FolderOf(path), path.substr(path.rfind(L'\\') + 1)).c_str(), &data))
        return INVALID_FILE_ATTRIBUTES;
    if (!g_listingHook)
        return data.dwFileAttributes;
    DirEntry entry;
    entry.name = path.substr(path.rfind(L'\\') + 1);
    entry.attributes = data.dwFileAttributes;
    entry.sizeHigh = data.nFileSizeHigh;
    entry.sizeLow = data.nFileSizeLow;
    entry.gone = false;
    std::vector<DirEntry> entries(1, entry);
    g_listingHook(FolderOf(path), entries);
    return entries.empty() ? INVALID_FILE_ATTRIBUTES : entries[0].attributes;
}

namespace {

bool LessByName(const std::pair<std::wstring, DirEntry*>& a, const std::pair<std::wstring, DirEntry*>& b)
{
    return a.first < b.first;
}

}  // namespace

void CNameIndex::Build(std::vector<DirEntry>& entries)
{
    m_sorted.clear();
    m_sorted.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i)
        m_sorted.push_back(std::make_pair(FoldCase(entries[i].name), &entries[i]));
    std::sort(m_sorted.begin(), m_sorted.end(), LessByName);
}

DirEntry* CNameIndex::Find(const std::wstring& name) const
{
    const std::pair<std::wstring, DirEntry*> key(FoldCase(name), static_cast<DirEntry*>(NULL));
    std::vector<std::pair<std::wstring, DirEntry*> >::const_iterator it =
        std::lower_bound(m_sorted.begin(), m_sorted.end(), key, LessByName);
    if (it == m_sorted.end() || it->first != key.first || it->second->gone)
        return NULL;
    return it->second;
}

std::wstring WithoutControlChars(const std::wstring& text)
{
    std::wstring clean = text;
    for (size_t i = 0; i < clean.size(); ++i)
        if (clean[i] < L' ')
            clean[i] = L'?';
    return clean;
}

std::wstring FoldCase(const std::wstring& name)
{
    std::wstring folded(name);
    if (!folded.empty())
        ::CharUpperBuffW(&folded[0], static_cast<DWORD>(folded.size()));
    return folded;
}

bool IsNameIn(const std::wstring& name, const wchar_t* const* names, size_t count)
{
    for (size_t i = 0; i < count; ++i)
    {
        if (::lstrcmpiW(name.c_str(), names[i]) == 0)
            return true;
    }
    return false;
}

bool HasExtensionIn(const std::wstring& path, const wchar_t* const* extensions, size_t count)
{
    const std::wstring::size_type slash = path.find_last_of(L"\\/");
    const std::wstring::size_type start = slash == std::wstring::npos ? 0 : slash + 1;
    const std::wstring::size_type dot = path.rfind(L'.');
    if (dot == std::wstring::npos || dot <= start)
        return false;  // no extension, or a name that is only one
    return IsNameIn(path.substr(dot), extensions, count);
}
