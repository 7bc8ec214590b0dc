#include "app/restore.h"

#include <algorithm>
#include <cwchar>

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

// The length of the "\\?\" that starts a local path in extended form.
size_t ExtendedPrefix(const std::wstring& path) { return path.compare(0, 4, L"\\\\?\\") == 0 ? 4 : 0; }

// A local path "X:\name\name..." (or "\\?\X:\..."): no "..", ".", stream,
// network or wildcard form; in the plain form no device name and no trailing
// dot or blank either (the extended form names such files as they are). The
// reason otherwise.
const wchar_t* CheckOriginalPath(const std::wstring& path)
{
    const size_t prefix = ExtendedPrefix(path);
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

// Every folder from the drive down to the path's parent exists (created when
// missing) and none is a reparse point. The reason otherwise.
const wchar_t* PrepareFolders(const std::wstring& path, bool includeLast)
{
    std::wstring::size_type slash = ExtendedPrefix(path) + 2;
    for (;;)
    {
        slash = path.find(L'\\', slash + 1);
        if (slash == std::wstring::npos && !includeLast)
            return NULL;
        const std::wstring folder = path.substr(0, slash);
        DWORD attributes = ::GetFileAttributesW(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
        {
            if (!::CreateDirectoryW(folder.c_str(), NULL))
                return L"its folder could not be made";
            attributes = ::GetFileAttributesW(folder.c_str());
        }
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return L"a file stands where its folder belongs";
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return L"a folder on the way is a link";
        if (slash == std::wstring::npos)
            return NULL;
    }
}

bool SameVolume(const ManifestRecord& record)
{
    DWORD serial = 0;
    const std::wstring drive = DriveRootOf(record.path);
    return !drive.empty() && ::GetVolumeInformationW(drive.c_str(), NULL, 0, &serial, NULL, NULL, NULL, 0) &&
           serial == record.volume;
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

bool IsStoredName(const std::wstring& name)
{
    if (name.size() < 8 || name.compare(name.size() - 4, 4, L".bin") != 0)
        return false;
    for (size_t i = 0; i + 4 < name.size(); ++i)
        if (name[i] < L'0' || name[i] > L'9')
            return false;
    return true;
}

// The kept bytes, unmasked; the reason when they cannot be had or do not
// match their SHA-256.
const wchar_t* ReadKept(const std::wstring& folder, const ManifestRecord& record, std::string& bytes)
{
    if (!IsStoredName(record.stored) || record.size > kMaxKeptFileBytes)
        return L"no kept copy";
    CHandle file(::CreateFileW((folder + record.stored).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file.IsValid() || !::GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || info.nFileSizeHigh ||
        info.nFileSizeLow != record.size)
        return L"the kept copy is missing or of another size";
    bytes.assign(info.nFileSizeLow, '\0');
    DWORD read = 0;
    if (!bytes.empty() && (!::ReadFile(file, &bytes[0], info.nFileSizeLow, &read, NULL) || read != bytes.size()))
        return L"the kept copy could not be read";
    if (!bytes.empty())
        MaskBytes(reinterpret_cast<BYTE*>(&bytes[0]), static_cast<DWORD>(bytes.size()), 0);
    CSha256 hash;
    hash.Update(bytes.data(), static_cast<DWORD>(bytes.size()));
    if (hash.HexDigest() != record.sha256)
        return L"the kept copy does not match its SHA-256";
    return NULL;
}

void SetTimes(const std::wstring& path, const ManifestRecord& record)
{
    CHandle handle(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    if (handle.IsValid())
        ::SetFileTime(handle, &record.created, &record.accessed, &record.written);
}

DWORD RestorableAttributes(DWORD attributes)
{
    const DWORD kept = attributes & kRestorableAttributes;
    return kept ? kept : FILE_ATTRIBUTE_NORMAL;
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
    if (!problem)
        problem = PrepareFolders(record.path, false);
    if (problem)
        return Describe(L"refused", record.path, problem);
    const std::wstring target = FreeName(record.path);
    if (target.empty())
        return Describe(L"refused", record.path, L"no free name beside it");
    CHandle file(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    DWORD written = 0;
    if (!file.IsValid() || (!bytes.empty() && (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                                                            &written, NULL) ||
                                               written != bytes.size())))
    {
        file.Close();
        if (written)
            ::DeleteFileW(target.c_str());
        return Describe(L"failed", record.path, L"could not be written");
    }
    ::SetFileTime(file, &record.created, &record.accessed, &record.written);
    file.Close();
    ::SetFileAttributesW(target.c_str(), RestorableAttributes(record.attributes));
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
    if (!problem)
        problem = PrepareFolders(record.path, folder);
    const DWORD attributes = ::GetFileAttributesW(record.path.c_str());
    if (!problem && (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)))
        problem = L"it is gone or a link";
    if (problem)
        return Describe(L"refused", record.path, problem);
    if (folder)
        SetTimes(record.path, record);
    if (!::SetFileAttributesW(record.path.c_str(), RestorableAttributes(record.attributes)))
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

// Prints to the console the program was started from, or to its redirected
// output (as UTF-8).
void Print(const std::wstring& text)
{
    HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == NULL || output == INVALID_HANDLE_VALUE)
    {
        if (!::AttachConsole(ATTACH_PARENT_PROCESS))
            return;
        output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    }
    DWORD mode = 0, written = 0;
    if (::GetConsoleMode(output, &mode))
    {
        ::WriteConsoleW(output, text.c_str(), static_cast<DWORD>(text.size()), &written, NULL);
        return;
    }
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), NULL, 0, NULL, NULL);
    if (size <= 0)
        return;
    std::string bytes(size, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], size, NULL, NULL);
    ::WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL);
}

}  // namespace

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
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    {
        report = L"Refused: the quarantine folder " + folder + L" does not exist.\r\n";
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
        else if (record.kind == L"file")
            report += Describe(L"nothing to restore", record.path, record.state);
        else
        {
            report += Describe(L"unknown record", record.path, record.kind);
            ok = false;
        }
        everything = everything && ok;
    }

    const std::wstring script = folder + L"before.reg";
    const DWORD scriptAttributes = ::GetFileAttributesW(script.c_str());
    const bool haveScript =
        scriptAttributes != INVALID_FILE_ATTRIBUTES && !(scriptAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    if (registry && haveScript)
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
        if (entries[i].IsFolder() && !(entries[i].attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            ParseQuarantineName(entries[i].name, time))
            names.push_back(entries[i].name);
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
    Print(report);
    return code;
}

int RunList()
{
    std::wstring report;
    const int code = ListQuarantines(report);
    Print(report);
    return code;
}
