#include "app/restore.h"

#include <algorithm>
#include <cwchar>

#include "app/command_line.h"
#include "app/restore_task.h"
#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "platform/program_folder.h"
#include "platform/quarantine.h"
#include "platform/reg_script.h"
#include "platform/reg_views.h"
#include "platform/sha256.h"

namespace {

// Attributes a restored file or folder may get back.
const DWORD kRestorableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Names Windows reserves for devices, in any folder and with any extension.
const wchar_t* const kDeviceNames[] = {
    L"CON", L"PRN", L"AUX", L"NUL", L"COM1", L"COM2", L"COM3", L"COM4", L"COM5", L"COM6", L"COM7", L"COM8", L"COM9",
    L"LPT1", L"LPT2", L"LPT3", L"LPT4", L"LPT5", L"LPT6", L"LPT7", L"LPT8", L"LPT9", L"CONIN$", L"CONOUT$",
};

bool IsDeviceName(const std::wstring& component)
{
    const std::wstring base = component.substr(0, component.find(L'.'));
    for (size_t i = 0; i < sizeof(kDeviceNames) / sizeof(kDeviceNames[0]); ++i)
        if (lstrcmpiW(base.c_str(), kDeviceNames[i]) == 0)
            return true;
    return false;
}

// A local path "X:\name\name..." (or "\\?\X:\..."): no "..", ".", stream,
// network or wildcard form; in the plain form no device name and no trailing
// dot or blank either (the extended form names such files as they are). The
// reason otherwise.
const wchar_t* CheckOriginalPath(const std::wstring& path)
{
    const size_t prefix = LongFormPrefix(path);
    if (DriveRootOf(path).empty() || path.size() < prefix + 4 || path.size() > 32000)
        return L"not a path on a drive";
    std::wstring::size_type start = prefix + 3;
    while (start <= path.size())
    {
        std::wstring::size_type end = path.find(L'\\', start);
        if (end == std::wstring::npos)
            end = path.size();
        const std::wstring component = path.substr(start, end - start);
        if (component.empty() || component == L"." || component == L"..")
            return L"a path that leaves its folder";
        for (size_t i = 0; i < component.size(); ++i)
            if (component[i] < 32 || wcschr(L"/:*?\"<>|", component[i]))
                return L"a path with a device, stream or wildcard form";
        const wchar_t last = component[component.size() - 1];
        if (!prefix && (last == L'.' || last == L' ' || IsDeviceName(component)))
            return L"a path with a device form";
        start = end + 1;
    }
    return NULL;
}

std::wstring Describe(const wchar_t* what, const std::wstring& path, const std::wstring& detail)
{
    return std::wstring(what) + L"\t" + path + (detail.empty() ? L"" : L"\t" + detail) + L"\r\n";
}

// The system calls of Vista and later the restore uses where present.
typedef DWORD(WINAPI* PFNGETFINALPATHNAME)(HANDLE, LPWSTR, DWORD, DWORD);
typedef BOOL(WINAPI* PFNSETFILEINFORMATION)(HANDLE, int, LPVOID, DWORD);
const int kFileBasicInfo = 0;        // FILE_INFO_BY_HANDLE_CLASS
const int kFileDispositionInfo = 4;

struct BasicInfo  // FILE_BASIC_INFO
{
    LARGE_INTEGER created, accessed, written, changed;
    DWORD attributes;
};

FARPROC Kernel32Proc(const char* name) { return ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name); }

PFNSETFILEINFORMATION SetInformationByHandle()
{
    static const PFNSETFILEINFORMATION set =
        reinterpret_cast<PFNSETFILEINFORMATION>(reinterpret_cast<void*>(Kernel32Proc("SetFileInformationByHandle")));
    return set;
}

LARGE_INTEGER TimeOf(const FILETIME& time)
{
    LARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = static_cast<LONG>(time.dwHighDateTime);
    return value;
}

// The path with the dots and blanks that end its names left out: some
// systems (Wine) give the final path of "Setup. " as "Setup".
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

// The file's final path is `path` ("\\?\" form or not); true where the
// system cannot tell (before Vista).
bool FinalPathIs(HANDLE file, const std::wstring& path)
{
    static const PFNGETFINALPATHNAME get =
        reinterpret_cast<PFNGETFINALPATHNAME>(reinterpret_cast<void*>(Kernel32Proc("GetFinalPathNameByHandleW")));
    if (!get)
        return true;
    std::vector<wchar_t> buffer(path.size() + 64);
    DWORD length = get(file, &buffer[0], static_cast<DWORD>(buffer.size()), 0);
    if (length >= buffer.size())
    {
        buffer.resize(length + 1);
        length = get(file, &buffer[0], static_cast<DWORD>(buffer.size()), 0);
    }
    if (length == 0 || length >= buffer.size())
        return false;
    const std::wstring wanted = WithoutTrailingDots(LongFormPrefix(path) ? path : L"\\\\?\\" + path);
    const std::wstring final = WithoutTrailingDots(std::wstring(&buffer[0], length));
    return ::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, final.c_str(), static_cast<int>(final.size()),
                            wanted.c_str(), static_cast<int>(wanted.size())) == CSTR_EQUAL;
}

// Sets the attributes (and, when `times`, the times) through the handle;
// before Vista the times through the handle and the attributes by path
// (the caller holds the folders on the way).
bool SetBasics(HANDLE handle, const std::wstring& path, const ManifestRecord& record, bool times, DWORD attributes)
{
    if (PFNSETFILEINFORMATION set = SetInformationByHandle())
    {
        BasicInfo info = {};
        if (times)
        {
            info.created = TimeOf(record.created);
            info.accessed = TimeOf(record.accessed);
            info.written = TimeOf(record.written);
        }
        info.attributes = attributes;
        return set(handle, kFileBasicInfo, &info, sizeof(info)) != FALSE;
    }
    if (times)
        ::SetFileTime(handle, &record.created, &record.accessed, &record.written);
    return ::SetFileAttributesW(path.c_str(), attributes) != FALSE;
}

void NoHook(const std::wstring&) {}

// The folders from the drive down to a path: each made when missing, opened
// itself (never what a link points to), refused when a reparse point, and
// held open without sharing deletion until the restore of the path is done,
// so that none of them can be renamed or replaced meanwhile.
class CFolderChain
{
public:
    CFolderChain() {}
    ~CFolderChain()
    {
        for (size_t i = 0; i < m_handles.size(); ++i)
            ::CloseHandle(m_handles[i]);
    }

    // The folders of `path` down to its parent (and the path itself with
    // `includeLast`). The reason when one cannot be had.
    const wchar_t* Open(const std::wstring& path, bool includeLast)
    {
        std::wstring::size_type slash = LongFormPrefix(path) + 2;
        for (;;)
        {
            slash = path.find(L'\\', slash + 1);
            if (slash == std::wstring::npos && !includeLast)
                return NULL;
            const std::wstring folder = path.substr(0, slash);
            HANDLE handle = OpenFolder(folder);
            if (handle == INVALID_HANDLE_VALUE &&
                (::GetLastError() == ERROR_FILE_NOT_FOUND || ::GetLastError() == ERROR_PATH_NOT_FOUND))
            {
                if (!::CreateDirectoryW(folder.c_str(), NULL))
                    return L"its folder could not be made";
                handle = OpenFolder(folder);
            }
            if (handle == INVALID_HANDLE_VALUE)
                return L"a folder on the way could not be opened";
            m_handles.push_back(handle);
            BY_HANDLE_FILE_INFORMATION info;
            if (!::GetFileInformationByHandle(handle, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                return L"a file stands where its folder belongs";
            if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                return L"a folder on the way is a link";
            m_last = folder;
            m_lastInfo = info;
            if (slash == std::wstring::npos)
                return NULL;
        }
    }

    // The deepest folder held is still the one its path names (a system
    // that lets held folders be renamed is caught here).
    bool InPlace() const
    {
        if (m_handles.empty())
            return true;
        HANDLE handle = OpenFolder(m_last);
        if (handle == INVALID_HANDLE_VALUE)
            return false;
        BY_HANDLE_FILE_INFORMATION info;
        const bool same = ::GetFileInformationByHandle(handle, &info) &&
                          info.dwVolumeSerialNumber == m_lastInfo.dwVolumeSerialNumber &&
                          info.nFileIndexHigh == m_lastInfo.nFileIndexHigh &&
                          info.nFileIndexLow == m_lastInfo.nFileIndexLow;
        ::CloseHandle(handle);
        return same;
    }

private:
    CFolderChain(const CFolderChain&);
    CFolderChain& operator=(const CFolderChain&);

    static HANDLE OpenFolder(const std::wstring& folder)
    {
        return ::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    }

    std::vector<HANDLE> m_handles;
    std::wstring m_last;
    BY_HANDLE_FILE_INFORMATION m_lastInfo;
};

bool SameVolume(const ManifestRecord& record)
{
    DWORD serial = 0;
    const std::wstring drive = DriveRootOf(record.path);
    return !drive.empty() && GetVolumeSerial(drive, serial) && serial == record.volume;
}

// "name (restored).ext", then "name (restored 2).ext" and on.
std::wstring FreeName(const std::wstring& path)
{
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return path;
    const std::wstring::size_type slash = path.rfind(L'\\');
    std::wstring::size_type dot = path.rfind(L'.');
    if (dot == std::wstring::npos || dot < slash)
        dot = path.size();
    for (int n = 1; n <= 99; ++n)
    {
        wchar_t mark[32];
        if (n == 1)
            lstrcpyW(mark, L" (restored)");
        else
            swprintf(mark, 32, L" (restored %d)", n);
        const std::wstring candidate = path.substr(0, dot) + mark + path.substr(dot);
        if (::GetFileAttributesW(candidate.c_str()) == INVALID_FILE_ATTRIBUTES)
            return candidate;
    }
    return std::wstring();
}

// The kept bytes, unmasked; the reason when they cannot be had or do not
// match their SHA-256. A copy lies in the pack at its offset, or (in
// quarantines of earlier versions) is a file of its own.
const wchar_t* ReadKept(const std::wstring& folder, const ManifestRecord& record, std::string& bytes)
{
    std::wstring name;
    ULONGLONG offset = 0;
    if (!ParseStoredName(record.stored, name, offset) || record.size > kMaxKeptFileBytes)
        return L"no kept copy";
    const bool whole = name != kPackName;
    CHandle file(::CreateFileW((folder + name).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    OpenFileFacts facts;
    if (!file.IsValid() || !QueryOpenFile(file, facts) || (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        (whole ? facts.size != record.size : offset > facts.size || facts.size - offset < record.size))
        return L"the kept copy is missing or of another size";
    if (!IsProgramOwned(file))
        return L"the kept copy was not made by this program";
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    bytes.assign(static_cast<size_t>(record.size), '\0');
    DWORD read = 0;
    if (!bytes.empty() &&
        (!::SetFilePointerEx(file, position, NULL, FILE_BEGIN) ||
         !::ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, NULL) || read != bytes.size()))
        return L"the kept copy could not be read";
    if (!bytes.empty())
        MaskBytes(reinterpret_cast<BYTE*>(&bytes[0]), static_cast<DWORD>(bytes.size()), 0);
    CSha256 hash;
    hash.Update(bytes.data(), static_cast<DWORD>(bytes.size()));
    if (hash.HexDigest() != record.sha256)
        return L"the kept copy does not match its SHA-256";
    return NULL;
}

DWORD RestorableAttributes(DWORD attributes)
{
    const DWORD kept = attributes & kRestorableAttributes;
    return kept ? kept : FILE_ATTRIBUTE_NORMAL;
}

// Removes the file just made: through its handle where the system can;
// otherwise (Windows XP) by its path, but only when `inPlace` says the
// folders on the way are still the held ones.
void Discard(CHandle& file, const std::wstring& path, bool inPlace)
{
    if (PFNSETFILEINFORMATION set = SetInformationByHandle())
    {
        BOOLEAN remove = TRUE;
        set(file, kFileDispositionInfo, &remove, sizeof(remove));
        return;
    }
    file.Close();
    if (inPlace)
        ::DeleteFileW(path.c_str());
}

// Puts one kept file back; the line for the report.
std::wstring RestoreFile(const std::wstring& folder, const ManifestRecord& record, bool& ok)
{
    ok = false;
    std::string bytes;
    const wchar_t* problem = CheckOriginalPath(record.path);
    if (!problem && !SameVolume(record))
        problem = L"its volume is not the one it was deleted from";
    if (!problem)
        problem = ReadKept(folder, record, bytes);
    CFolderChain chain;
    if (!problem)
        problem = chain.Open(record.path, false);
    if (problem)
        return Describe(L"refused", record.path, problem);
    const std::wstring target = FreeName(record.path);
    if (target.empty())
        return Describe(L"refused", record.path, L"no free name beside it");
    g_beforeRestoreWrite(target);
    CHandle file(::CreateFileW(target.c_str(), GENERIC_WRITE | DELETE | FILE_WRITE_ATTRIBUTES, 0, NULL, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    if (!file.IsValid())
        return Describe(L"failed", record.path, L"could not be written");
    if (!chain.InPlace() || !FinalPathIs(file, target))
    {
        Discard(file, target, false);
        return Describe(L"refused", record.path, L"a folder on the way was moved or replaced");
    }
    DWORD written = 0;
    if (!bytes.empty() &&
        (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL) || written != bytes.size()))
    {
        Discard(file, target, true);
        return Describe(L"failed", record.path, L"could not be written");
    }
    SetBasics(file, target, record, true, RestorableAttributes(record.attributes));
    file.Close();
    ok = true;
    return Describe(L"restored", target, target == record.path ? L"" : L"beside a file that came back meanwhile");
}

// Puts the attributes a scan changed back, or a folder it removed.
std::wstring RestoreFolderOrAttributes(const ManifestRecord& record, bool& ok)
{
    ok = false;
    const bool folder = record.kind == L"folder";
    const wchar_t* problem = CheckOriginalPath(record.path);
    if (!problem && !SameVolume(record))
        problem = L"its volume is not the one it was changed on";
    CFolderChain chain;
    if (!problem)
        problem = chain.Open(record.path, folder);
    CHandle handle;
    BY_HANDLE_FILE_INFORMATION info;
    if (!problem)
    {
        handle.Attach(::CreateFileW(record.path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
        if (!handle.IsValid() || !::GetFileInformationByHandle(handle, &info) ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            problem = L"it is gone or a link";
    }
    if (problem)
        return Describe(L"refused", record.path, problem);
    if (!SetBasics(handle, record.path, record, folder, RestorableAttributes(record.attributes)))
        return Describe(L"failed", record.path, L"its attributes could not be set");
    ok = true;
    return Describe(folder ? L"restored folder" : L"restored attributes", record.path, L"");
}

// The folder's full path if it lies directly below the quarantine root.
std::wstring QuarantineFolderOf(const std::wstring& argument, const std::wstring& root)
{
    wchar_t full[MAX_PATH * 2] = {0};
    const DWORD length = ::GetFullPathNameW(argument.c_str(), MAX_PATH * 2, full, NULL);
    if (length == 0 || length >= MAX_PATH * 2)
        return std::wstring();
    std::wstring folder(full);
    while (!folder.empty() && folder[folder.size() - 1] == L'\\')
        folder.erase(folder.size() - 1);
    if (folder.size() <= root.size() ||
        ::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, folder.c_str(), static_cast<int>(root.size()),
                         root.c_str(), static_cast<int>(root.size())) != CSTR_EQUAL)
        return std::wstring();
    const std::wstring name = folder.substr(root.size());
    if (name.find(L'\\') != std::wstring::npos || name == L"." || name == L"..")
        return std::wstring();
    return WithBackslash(folder);
}

void WriteReport(const std::wstring& folder, const std::wstring& report)
{
    std::string bytes = "\xFF\xFE";
    bytes.append(reinterpret_cast<const char*>(report.data()), report.size() * sizeof(wchar_t));
    WriteFreshFile(folder + L"restore.txt", bytes.data(), static_cast<DWORD>(bytes.size()));
}

// The quarantine folder itself, opened without sharing deletion (it stays
// where it is while held); invalid when it is not a plain folder.
HANDLE OpenQuarantineFolder(const std::wstring& folder)
{
    HANDLE handle = ::CreateFileW(folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    BY_HANDLE_FILE_INFORMATION info;
    if (handle != INVALID_HANDLE_VALUE &&
        (!::GetFileInformationByHandle(handle, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)))
    {
        ::CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    return handle;
}

}  // namespace

void (*g_beforeRestoreWrite)(const std::wstring& target) = NoHook;

int RestoreQuarantine(const std::wstring& argument, bool registry, std::wstring& report)
{
    report.clear();
    const std::wstring root = GetQuarantineRootPath();
    if (root.empty() || GetProgramFolder().empty() || SecureFolder(root.substr(0, root.size() - 1)) != ERROR_SUCCESS)
    {
        report = L"No quarantine: the all-users application data folder is unknown or not safe.\r\n";
        return kRestoreRefused;
    }
    const std::wstring folder = QuarantineFolderOf(argument, root);
    if (folder.empty())
    {
        report = L"Refused: \"" + argument + L"\" is not a quarantine folder directly below " + root + L"\r\n";
        return kRestoreRefused;
    }
    const CHandle held(OpenQuarantineFolder(folder));
    if (!held.IsValid())
    {
        report = L"Refused: the quarantine folder " + folder + L" does not exist.\r\n";
        return kRestoreRefused;
    }
    if (!IsProgramOwned(held))
    {
        // Nothing of it is read, and nothing is written into it.
        report = L"Refused: the quarantine folder " + folder + L" was not made by this program.\r\n";
        return kRestoreRefused;
    }
    std::vector<ManifestRecord> records;
    bool complete = false;
    int bad = 0;
    if (!ReadManifest(folder, records, &complete, &bad))
    {
        report = L"Refused: " + folder + L"manifest.txt is missing or unreadable.\r\n";
        WriteReport(folder, report);
        return kRestoreRefused;
    }
    bool everything = complete && bad == 0;
    if (!complete)
        report += L"The manifest is incomplete (cut short); only its whole records are restored.\r\n";
    if (bad)
        report += L"The manifest has lines that are not records; they are skipped.\r\n";

    // Latest change first, so that a file comes back before the attributes
    // its folder had before the scan.
    bool anyRegistry = false;
    for (size_t i = records.size(); i-- > 0;)
    {
        const ManifestRecord& record = records[i];
        bool ok = true;
        if (record.kind == L"registry")
        {
            anyRegistry = true;
            if (record.state != kStateChanged)
            {
                report += Describe(L"not kept", record.path, L"its old registry data could not be read");
                ok = false;
            }
        }
        else if (record.kind == L"file" && (record.state == kStateKept || record.state == kStateScheduledKept))
            report += RestoreFile(folder, record, ok);
        else if ((record.kind == L"attributes" || record.kind == L"folder") && record.state == kStateChanged)
            report += RestoreFolderOrAttributes(record, ok);
        else if (record.kind == kRecordTask && record.state == kStateKept)
            report += RestoreTask(folder, record, ok);
        else if (record.kind == L"file")
            report += Describe(L"nothing to restore", record.path, record.state);
        else
        {
            report += Describe(L"unknown record", record.path, record.kind);
            ok = false;
        }
        everything = everything && ok;
    }

    // The script is held open, shared for reading only, while the editor
    // reads it: the one checked is the one imported.
    const std::wstring script = folder + L"before.reg";
    const CHandle scriptFile(::CreateFileW(script.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, NULL,
                                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    BY_HANDLE_FILE_INFORMATION scriptInfo;
    const bool haveScript = scriptFile.IsValid() && ::GetFileInformationByHandle(scriptFile, &scriptInfo) &&
                            !(scriptInfo.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    if (registry && haveScript && !IsProgramOwned(scriptFile))
    {
        report += Describe(L"refused", script, L"it was not made by this program");
        everything = false;
    }
    else if (registry && haveScript)
    {
        if (StartRegEditInView(script, true, true))
            report += Describe(L"imported", script, L"");
        else
        {
            report += Describe(L"failed", script, L"the registry editor did not import it");
            everything = false;
        }
    }
    else if (anyRegistry && haveScript)
    {
        report += Describe(L"not imported", script, L"add /registry to put the registry back");
    }
    report += everything ? L"Everything came back.\r\n" : L"Not everything came back.\r\n";
    WriteReport(folder, report);
    return everything ? kRestoreDone : kRestoreIncomplete;
}

int ListQuarantines(std::wstring& report)
{
    report.clear();
    const std::wstring root = GetQuarantineRootPath();
    std::vector<DirEntry> entries;
    if (root.empty() || !ListFolder(root + L"*", entries))
    {
        report = L"No quarantines.\r\n";
        return kRestoreDone;
    }
    std::vector<std::wstring> names;
    for (size_t i = 0; i < entries.size(); ++i)
    {
        SYSTEMTIME time;
        if (!entries[i].IsFolder() || (entries[i].attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !ParseQuarantineName(entries[i].name, time))
            continue;
        const CHandle folder(OpenQuarantineFolder(root + entries[i].name));
        if (folder.IsValid() && IsProgramOwned(folder))
            names.push_back(entries[i].name);  // a folder made by someone else is no quarantine
    }
    std::sort(names.begin(), names.end());
    for (size_t i = 0; i < names.size(); ++i)
    {
        SYSTEMTIME time;
        ParseQuarantineName(names[i], time);
        std::vector<ManifestRecord> records;
        bool complete = false;
        int bad = 0;
        ReadManifest(root + names[i], records, &complete, &bad);
        wchar_t line[128];
        swprintf(line, 128, L"\t%04u-%02u-%02u %02u:%02u:%02u\t%u items%ls\r\n", time.wYear, time.wMonth, time.wDay,
                 time.wHour, time.wMinute, time.wSecond, static_cast<unsigned>(records.size()),
                 complete ? L"" : L" (manifest incomplete)");
        report += root + names[i] + line;
    }
    if (names.empty())
        report = L"No quarantines.\r\n";
    return kRestoreDone;
}

int RunRestore(const std::wstring& folder, bool registry)
{
    std::wstring report;
    const int code = RestoreQuarantine(folder, registry, report);
    WriteToParentConsole(report);
    return code;
}

int RunList()
{
    std::wstring report;
    const int code = ListQuarantines(report);
    WriteToParentConsole(report);
    return code;
}
