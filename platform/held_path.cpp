#include "platform/held_path.h"

#include <winternl.h>

#include <algorithm>

#include "platform/array_count.h"
#include "platform/file_helpers.h"
#include "platform/system_function.h"

namespace {

typedef LONG(NTAPI* PFNNTCREATEFILE)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                     ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
typedef LONG(NTAPI* PFNNTSETINFORMATIONFILE)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, int);
typedef ULONG(NTAPI* PFNRTLNTSTATUSTODOSERROR)(LONG);
typedef BOOL(WINAPI* PFNSETFILEINFORMATION)(HANDLE, int, LPVOID, DWORD);
typedef DWORD(WINAPI* PFNGETFINALPATHNAME)(HANDLE, LPWSTR, DWORD, DWORD);
typedef BOOL(WINAPI* PFNISWOW64PROCESS)(HANDLE, PBOOL);

// FILE_INFO_BY_HANDLE_CLASS and FILE_INFORMATION_CLASS values.
const int kFileBasicInfo = 0;
const int kFileDispositionInfo = 4;
const int kNtFileBasicInformation = 4;
const int kNtFileDispositionInformation = 13;

// NtCreateFile's options: synchronous, the entry itself, backup intent.
const ULONG kSynchronous = 0x20;         // FILE_SYNCHRONOUS_IO_NONALERT
const ULONG kBackupIntent = 0x4000;      // FILE_OPEN_FOR_BACKUP_INTENT
const ULONG kOpenReparsePoint = 0x200000;  // FILE_OPEN_REPARSE_POINT
const ULONG kCaseInsensitive = 0x40;     // OBJ_CASE_INSENSITIVE

PFNHELDPATHHOOK g_heldPathHook = NULL;
std::wstring g_linkForTests;  // a folder taken for a junction (Wine makes none)

struct BasicInfo  // FILE_BASIC_INFO and FILE_BASIC_INFORMATION
{
    LARGE_INTEGER created, accessed, written, changed;
    DWORD attributes;
};

DWORD ErrorOfStatus(LONG status)
{
    static const PFNRTLNTSTATUSTODOSERROR convert =
        SystemFunction<PFNRTLNTSTATUSTODOSERROR>(L"ntdll.dll", "RtlNtStatusToDosError");
    const DWORD error = convert ? convert(status) : ERROR_GEN_FAILURE;
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

// Sets one class of information through the handle.
DWORD SetInformation(HANDLE handle, int byHandleClass, int ntClass, void* info, DWORD size)
{
    static const PFNSETFILEINFORMATION set =
        SystemFunction<PFNSETFILEINFORMATION>(L"kernel32.dll", "SetFileInformationByHandle");
    if (set)
        return set(handle, byHandleClass, info, size) ? ERROR_SUCCESS : ::GetLastError();
    static const PFNNTSETINFORMATIONFILE ntSet =
        SystemFunction<PFNNTSETINFORMATIONFILE>(L"ntdll.dll", "NtSetInformationFile");
    if (!ntSet)
        return ERROR_CALL_NOT_IMPLEMENTED;
    IO_STATUS_BLOCK io;
    const LONG status = ntSet(handle, &io, info, size, ntClass);
    return status >= 0 ? ERROR_SUCCESS : ErrorOfStatus(status);
}

LARGE_INTEGER TimeOf(const FILETIME* time)
{
    LARGE_INTEGER value;
    value.QuadPart = 0;  // 0: left as it is
    if (time)
    {
        value.LowPart = time->dwLowDateTime;
        value.HighPart = static_cast<LONG>(time->dwHighDateTime);
    }
    return value;
}

// The 32-bit program under WOW64: the system folder's name is redirected
// by path, so every level is opened by path and the final path of a folder
// below it is the 32-bit one.
bool UnderWow64()
{
    static const PFNISWOW64PROCESS isWow64 = SystemFunction<PFNISWOW64PROCESS>(L"kernel32.dll", "IsWow64Process");
    BOOL wow64 = FALSE;
    return isWow64 && isWow64(::GetCurrentProcess(), &wow64) && wow64;
}

// The path with the dots and blanks that end its names left out.
std::wstring WithoutTrailingDots(const std::wstring& path)
{
    std::wstring result;
    std::wstring::size_type start = 0;
    for (;;)
    {
        const std::wstring::size_type end = std::min(path.find(L'\\', start), path.size());
        std::wstring::size_type keep = end;
        while (keep > start && (path[keep - 1] == L'.' || path[keep - 1] == L' '))
            --keep;
        if (keep == start)
            keep = end;  // dots and blanks only ("." and ".."): as it is
        result.append(path, start, keep - start);
        if (end == path.size())
            return result;
        result += L'\\';
        start = end + 1;
    }
}

// Opens a folder by path as itself, held without sharing deletion (a root
// cannot go: it is shared for everything).
HANDLE OpenFolderByPath(const std::wstring& folder, bool root)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (root ? FILE_SHARE_DELETE : 0);
    return ::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE, share, NULL, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
}

// NtCreateFile of `name` below the open folder `parent`; the Win32 error code.
DWORD OpenRelative(HANDLE parent, const std::wstring& name, ACCESS_MASK access, DWORD share, DWORD disposition,
                   DWORD options, CHandle& opened)
{
    static const PFNNTCREATEFILE create = SystemFunction<PFNNTCREATEFILE>(L"ntdll.dll", "NtCreateFile");
    if (!create)
        return ERROR_CALL_NOT_IMPLEMENTED;
    if (name.empty() || name.size() > 32767 || name.find(L'\\') != std::wstring::npos)
        return ERROR_INVALID_NAME;
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name.c_str());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, kCaseInsensitive, parent, NULL);
    IO_STATUS_BLOCK io;
    HANDLE handle = NULL;
    const LONG status = create(&handle, access | SYNCHRONIZE, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL, share,
                               disposition, options | kSynchronous | kBackupIntent | kOpenReparsePoint, NULL, 0);
    if (status < 0)
        return ErrorOfStatus(status);
    opened.Attach(handle);
    return ERROR_SUCCESS;
}

}  // namespace

std::wstring Wow64RedirectedPath(const std::wstring& path)
{
    wchar_t windows[MAX_PATH] = {0};
    const UINT length = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return path;
    const size_t prefix = LongFormPrefix(path);
    const std::wstring base = WithBackslash(windows);
    static const wchar_t* const kAliases[][2] = {{L"System32", L"SysWOW64"}, {L"Sysnative", L"System32"}};
    // The folders below System32 that WOW64 leaves where they are.
    static const wchar_t* const kNotRedirected[] = {L"catroot", L"catroot2", L"driverstore", L"drivers\\etc",
                                                    L"logfiles", L"spool"};
    const std::wstring folded = FoldCase(path.substr(prefix));
    const std::wstring system = FoldCase(base + L"System32\\");
    for (size_t i = 0; i < ArrayCount(kNotRedirected); ++i)
    {
        const std::wstring exempt = system + FoldCase(kNotRedirected[i]);
        if (folded.compare(0, exempt.size(), exempt) == 0 &&
            (folded.size() == exempt.size() || folded[exempt.size()] == L'\\'))
            return path;
    }
    for (size_t i = 0; i < ArrayCount(kAliases); ++i)
    {
        const std::wstring folder = base + kAliases[i][0];
        if (path.size() >= prefix + folder.size() && FoldCase(path.substr(prefix, folder.size())) == FoldCase(folder) &&
            (path.size() == prefix + folder.size() || path[prefix + folder.size()] == L'\\'))
            return path.substr(0, prefix) + base + kAliases[i][1] + path.substr(prefix + folder.size());
    }
    return path;
}

std::wstring DriveRootOf(const std::wstring& path)
{
    const size_t start = LongFormPrefix(path);
    if (path.size() < start + 3 || path[start + 1] != L':' || path[start + 2] != L'\\')
        return std::wstring();
    const wchar_t letter = path[start];
    if (!((letter >= L'A' && letter <= L'Z') || (letter >= L'a' && letter <= L'z')))
        return std::wstring();
    return path.substr(start, 3);
}

std::wstring HeldPathForm(const std::wstring& path)
{
    std::wstring worked = path;
    if (!LongFormPrefix(path))
    {
        wchar_t full[MAX_PATH * 2] = {0};
        const DWORD length = ::GetFullPathNameW(path.c_str(), MAX_PATH * 2, full, NULL);
        if (length == 0 || length >= MAX_PATH * 2)
            return std::wstring();
        worked.assign(full, length);
        if (worked.compare(0, 4, L"\\\\.\\") == 0)
            worked.erase(0, 4);
        worked = L"\\\\?\\" + worked;
    }
    if (DriveRootOf(worked).empty())
        return std::wstring();
    const std::wstring::size_type slash = worked.rfind(L'\\');
    const std::wstring folder = worked.substr(0, slash + 1);
    if (folder.size() == LongFormPrefix(worked) + 3)
        return worked;  // an entry of the root: no folder name to expand
    std::vector<wchar_t> expanded(folder.size() + MAX_PATH);
    const DWORD got = ::GetLongPathNameW(folder.c_str(), &expanded[0], static_cast<DWORD>(expanded.size()));
    const std::wstring longFolder = got > 0 && got < expanded.size() ? std::wstring(&expanded[0], got) : folder;
    return WithBackslash(longFolder) + worked.substr(slash + 1);
}

bool FinalPathIs(HANDLE handle, const std::wstring& path)
{
    static const PFNGETFINALPATHNAME get =
        SystemFunction<PFNGETFINALPATHNAME>(L"kernel32.dll", "GetFinalPathNameByHandleW");
    if (!get)
        return true;
    std::vector<wchar_t> buffer(path.size() + 64);
    DWORD length = get(handle, &buffer[0], static_cast<DWORD>(buffer.size()), 0);
    if (length >= buffer.size())
    {
        buffer.resize(length + 1);
        length = get(handle, &buffer[0], static_cast<DWORD>(buffer.size()), 0);
    }
    if (length == 0 || length >= buffer.size())
        return false;
    std::wstring wanted = LongFormPrefix(path) ? path : L"\\\\?\\" + path;
    if (wanted.size() > 7 && wanted[wanted.size() - 1] == L'\\')
        wanted.erase(wanted.size() - 1);  // a folder below a root: without its backslash
    wanted = WithoutTrailingDots(wanted);
    std::wstring final = WithoutTrailingDots(std::wstring(&buffer[0], length));
    if (final.size() > 7 && final[final.size() - 1] == L'\\')
        final.erase(final.size() - 1);
    return ::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, final.c_str(), static_cast<int>(final.size()),
                            wanted.c_str(), static_cast<int>(wanted.size())) == CSTR_EQUAL;
}

DWORD CFolderChain::OpenLevel(const std::wstring& folder, const std::wstring& name, bool create,
                              CHandle& level) const
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    DWORD error = ERROR_SUCCESS;
    if (m_redirected)
    {
        level.Attach(OpenFolderByPath(folder, false));
        error = level.IsValid() ? ERROR_SUCCESS : ::GetLastError();
        if ((error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) && create)
        {
            if (!::CreateDirectoryW(folder.c_str(), NULL) && ::GetLastError() != ERROR_ALREADY_EXISTS)
                return ::GetLastError();
            level.Attach(OpenFolderByPath(folder, false));
            error = level.IsValid() ? ERROR_SUCCESS : ::GetLastError();
        }
        return error;
    }
    error = OpenRelative(Last(), name, FILE_READ_ATTRIBUTES, share, kOpenExisting, 0, level);
    if ((error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) && create)
    {
        error = OpenRelative(Last(), name, FILE_READ_ATTRIBUTES, share, kCreateNew, kDirectoryOnly, level);
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
            error = OpenRelative(Last(), name, FILE_READ_ATTRIBUTES, share, kOpenExisting, 0, level);
    }
    return error;
}

namespace {

CSharedRoots* g_sharedRoots = NULL;
// The thread of the installed scope, asked first: only that thread reads
// or changes g_sharedRoots.
volatile LONG g_sharedRootsThread = 0;

}  // namespace

CSharedRoots::CSharedRoots() : m_thread(0)
{
    if (g_sharedRoots)
        return;
    m_thread = ::GetCurrentThreadId();
    g_sharedRoots = this;
    ::InterlockedExchange(&g_sharedRootsThread, static_cast<LONG>(m_thread));
}

CSharedRoots::~CSharedRoots()
{
    if (g_sharedRoots != this)
        return;
    ::InterlockedExchange(&g_sharedRootsThread, 0);
    g_sharedRoots = NULL;
}

std::shared_ptr<CHandle> CSharedRoots::Find(const std::wstring& folder)
{
    if (static_cast<DWORD>(::InterlockedCompareExchange(&g_sharedRootsThread, 0, 0)) != ::GetCurrentThreadId())
        return std::shared_ptr<CHandle>();
    CSharedRoots* shared = g_sharedRoots;
    const std::wstring key = FoldCase(folder);
    std::map<std::wstring, std::shared_ptr<CHandle> >::const_iterator it = shared->m_roots.find(key);
    if (it != shared->m_roots.end())
        return it->second;
    // Kept only when it is a folder as itself: anything else is opened and
    // refused afresh by each chain, as without sharing.
    std::shared_ptr<CHandle> root(new CHandle(OpenFolderByPath(folder, true)));
    DWORD attributes = 0;
    if (!root->IsValid() || !QueryOpenAttributes(*root, attributes) || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        (!g_linkForTests.empty() && ::lstrcmpiW(folder.c_str(), g_linkForTests.c_str()) == 0))
        return std::shared_ptr<CHandle>();
    shared->m_roots[key] = root;
    return root;
}

DWORD CFolderChain::Open(const std::wstring& path, bool includeLast, bool create)
{
    m_handles.clear();
    m_rootOnly = false;
    const std::wstring root = DriveRootOf(path);
    if (root.empty())
        return ERROR_PATH_NOT_FOUND;
    m_redirected = UnderWow64();
    // The names below the root ("E:\a\b\" gives a, b), the last one left
    // out unless it is held too.
    const size_t prefix = LongFormPrefix(path);
    std::vector<std::wstring> names;
    for (std::wstring::size_type start = prefix + 3; start < path.size();)
    {
        const std::wstring::size_type end = std::min(path.find(L'\\', start), path.size());
        if (end == start)
            return ERROR_PATH_NOT_FOUND;  // an empty name ("a\\b")
        names.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    if (!includeLast && !names.empty())
        names.pop_back();
    std::wstring folder = prefix ? path.substr(0, prefix + 3) : L"\\\\?\\" + root;
    for (size_t i = 0; i <= names.size(); ++i)
    {
        std::shared_ptr<CHandle> level(new CHandle);
        DWORD error = ERROR_SUCCESS;
        if (i == 0)
        {
            const std::shared_ptr<CHandle> shared = CSharedRoots::Find(folder);
            if (shared)
            {
                m_handles.push_back(shared);
                m_last = folder;
                continue;
            }
            level->Attach(OpenFolderByPath(folder, true));
            error = level->IsValid() ? ERROR_SUCCESS : ::GetLastError();
        }
        else
        {
            folder = WithBackslash(folder) + names[i - 1];
            error = OpenLevel(folder, names[i - 1], create, *level);
        }
        if (error != ERROR_SUCCESS)
            return error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error;
        // Its own attributes (without the volume's serial number, which on
        // some systems costs a round trip to the mount manager per level).
        DWORD attributes = 0;
        if (!QueryOpenAttributes(*level, attributes))
            return ::GetLastError();
        m_handles.push_back(level);
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return ERROR_DIRECTORY;
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            (!g_linkForTests.empty() && ::lstrcmpiW(folder.c_str(), g_linkForTests.c_str()) == 0))
            return ERROR_CANT_ACCESS_FILE;
        m_last = folder;
    }
    // The identity of the last, for the check before the change. A drive's
    // root cannot be renamed, moved or replaced by a link: its handle is the
    // whole check (and the volume's serial number would cost a round trip to
    // the mount manager for every entry of a stick).
    m_rootOnly = names.empty();
    if (m_rootOnly)
        return ERROR_SUCCESS;
    return ::GetFileInformationByHandle(Last(), &m_lastInfo) ? ERROR_SUCCESS : ::GetLastError();
}

DWORD CFolderChain::OpenIn(const std::wstring& name, ACCESS_MASK access, DWORD share, DWORD disposition,
                           DWORD options, CHandle& file) const
{
    if (m_handles.empty())
        return ERROR_PATH_NOT_FOUND;
    if (!m_redirected)
        return OpenRelative(Last(), name, access, share, disposition, options, file);
    // By path, the folders above held: only the last name can differ.
    if (name.empty() || name.find(L'\\') != std::wstring::npos)
        return ERROR_INVALID_NAME;
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT |
                        (disposition == kCreateNew ? FILE_ATTRIBUTE_NORMAL : 0);
    file.Attach(::CreateFileW((WithBackslash(m_last) + name).c_str(), access, share, NULL,
                              disposition == kCreateNew ? CREATE_NEW : OPEN_EXISTING, flags, NULL));
    if (!file.IsValid())
        return ::GetLastError();
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(file, &info))
        return ::GetLastError();
    const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((options & kDirectoryOnly) && !folder)
        return ERROR_DIRECTORY;
    if ((options & kNonDirectoryOnly) && folder)
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

void SetHeldPathHook(PFNHELDPATHHOOK hook) { g_heldPathHook = hook; }

void SetHeldLinkForTests(const std::wstring& folder)
{
    g_linkForTests = folder.empty() ? folder : HeldPathForm(folder);
}

DWORD OpenHeldItem(const std::wstring& path, ACCESS_MASK access, DWORD options, CFolderChain& chain, CHandle& file)
{
    const std::wstring held = HeldPathForm(path);
    const std::wstring::size_type slash = held.rfind(L'\\');
    if (held.empty() || slash == std::wstring::npos || slash + 1 == held.size())
        return ERROR_PATH_NOT_FOUND;  // not on a drive, or a drive's root
    const DWORD error = chain.Open(held, false, false);
    if (error != ERROR_SUCCESS)
        return error;
    return chain.OpenIn(held.substr(slash + 1), access, FILE_SHARE_READ | FILE_SHARE_WRITE, kOpenExisting, options,
                        file);
}

bool CFolderChain::InPlace() const
{
    if (m_handles.empty())
        return false;
    if (g_heldPathHook)
        g_heldPathHook(m_last);
    if (m_rootOnly)
        return true;
    if (!FinalPathIs(Last(), m_redirected ? Wow64RedirectedPath(m_last) : m_last))
        return false;
    CHandle now(OpenFolderByPath(m_last, true));
    BY_HANDLE_FILE_INFORMATION info;
    return now.IsValid() && ::GetFileInformationByHandle(now, &info) &&
           info.dwVolumeSerialNumber == m_lastInfo.dwVolumeSerialNumber &&
           info.nFileIndexHigh == m_lastInfo.nFileIndexHigh && info.nFileIndexLow == m_lastInfo.nFileIndexLow;
}

DWORD DeleteThroughHandle(HANDLE handle)
{
    BOOLEAN remove = TRUE;
    return SetInformation(handle, kFileDispositionInfo, kNtFileDispositionInformation, &remove, sizeof(remove));
}

DWORD SetBasicsThroughHandle(HANDLE handle, DWORD attributes, const FILETIME* created, const FILETIME* accessed,
                             const FILETIME* written)
{
    BasicInfo info;
    info.created = TimeOf(created);
    info.accessed = TimeOf(accessed);
    info.written = TimeOf(written);
    info.changed = TimeOf(NULL);
    // As SetFileAttributesW: no attribute at all is "normal", never "unchanged".
    info.attributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetInformation(handle, kFileBasicInfo, kNtFileBasicInformation, &info, sizeof(info));
}
