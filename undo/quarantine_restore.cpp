#include "undo/quarantine_restore.h"

#include <algorithm>
#include <cwchar>

#include "platform/array_count.h"
#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "platform/held_path.h"
#include "platform/reg_views.h"
#include "platform/sha256.h"
#include "undo/program_folder.h"
#include "undo/quarantine.h"
#include "undo/quarantine_payloads.h"
#include "undo/registry_journal.h"
#include "undo/restore_task.h"

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
    for (size_t i = 0; i < ArrayCount(kDeviceNames); ++i)
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

// Sets the attributes (and, when `times`, the times) through the handle.
bool SetBasics(HANDLE handle, const ManifestRecord& record, bool times, DWORD attributes)
{
    return SetBasicsThroughHandle(handle, attributes, times ? &record.created : NULL, times ? &record.accessed : NULL,
                                  times ? &record.written : NULL) == ERROR_SUCCESS;
}

void NoHook(const std::wstring&) {}

// Why the folders of a path could not be held.
const wchar_t* ChainProblem(DWORD error)
{
    switch (error)
    {
    case ERROR_SUCCESS:
        return NULL;
    case ERROR_DIRECTORY:
        return L"a file stands where its folder belongs";
    case ERROR_CANT_ACCESS_FILE:
        return L"a folder on the way is a link";
    default:
        return L"a folder on the way could not be opened or made";
    }
}

// The last name of a path.
std::wstring NameOf(const std::wstring& path) { return path.substr(path.rfind(L'\\') + 1); }

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

// Removes the file just made, through its handle.
void Discard(CHandle& file)
{
    DeleteThroughHandle(file);
    file.Close();
}

// Puts one kept file back; the line for the report. The file is made in its
// held folder under an access list for Administrators and SYSTEM only (its
// old owner and access list are not kept), before any byte is written.
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
        problem = ChainProblem(chain.Open(record.path, false, true));
    if (problem)
        return Describe(L"refused", record.path, problem);
    const std::wstring target = FreeName(record.path);
    if (target.empty())
        return Describe(L"refused", record.path, L"no free name beside it");
    g_beforeRestoreWrite(target);
    if (!chain.InPlace())
        return Describe(L"refused", record.path, L"a folder on the way was moved or replaced");
    CHandle file;
    const ACCESS_MASK access = GENERIC_WRITE | DELETE | FILE_WRITE_ATTRIBUTES | READ_CONTROL | WRITE_DAC | WRITE_OWNER;
    if (chain.OpenIn(NameOf(target), access, 0, kCreateNew, kNonDirectoryOnly, file) != ERROR_SUCCESS)
        return Describe(L"failed", record.path, L"could not be written");
    if (!FinalPathIs(file, target))
    {
        Discard(file);
        return Describe(L"refused", record.path, L"a folder on the way was moved or replaced");
    }
    if (ProtectOpenObject(file) != ERROR_SUCCESS)
    {
        Discard(file);
        return Describe(L"failed", record.path, L"its access list could not be set");
    }
    DWORD written = 0;
    if (!bytes.empty() &&
        (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL) || written != bytes.size()))
    {
        Discard(file);
        return Describe(L"failed", record.path, L"could not be written");
    }
    SetBasics(file, record, true, RestorableAttributes(record.attributes));
    file.Close();
    ok = true;
    return Describe(L"restored", target, target == record.path ? L"" : L"beside a file that came back meanwhile");
}

// Puts the attributes a scan changed back, or a folder it removed.
std::wstring RestoreFolderOrAttributes(const ManifestRecord& record, bool& ok)
{
    ok = false;
    const bool folder = record.kind == kRecordFolder;
    const wchar_t* problem = CheckOriginalPath(record.path);
    if (!problem && !SameVolume(record))
        problem = L"its volume is not the one it was changed on";
    CFolderChain chain;
    if (!problem)
        problem = ChainProblem(chain.Open(record.path, false, true));
    CHandle handle;
    BY_HANDLE_FILE_INFORMATION info;
    if (!problem)
    {
        const ACCESS_MASK access = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
        const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
        const DWORD options = folder ? kDirectoryOnly : 0;
        DWORD opened = chain.OpenIn(NameOf(record.path), access, share, kOpenExisting, options, handle);
        if (folder && (opened == ERROR_FILE_NOT_FOUND || opened == ERROR_PATH_NOT_FOUND))
            opened = chain.OpenIn(NameOf(record.path), access, share, kCreateNew, options, handle);
        if (opened != ERROR_SUCCESS || !::GetFileInformationByHandle(handle, &info) ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            problem = L"it is gone or a link";
        else if (!chain.InPlace())
            problem = L"a folder on the way was moved or replaced";
    }
    if (problem)
        return Describe(L"refused", record.path, problem);
    if (!SetBasics(handle, record, folder, RestorableAttributes(record.attributes)))
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
// where it is while held) into `held`; false (and `held` empty) when it is
// not a plain folder.
bool OpenQuarantineFolder(const std::wstring& folder, CHandle& held)
{
    held.Attach(::CreateFileW(folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    BY_HANDLE_FILE_INFORMATION info;
    if (held.IsValid() &&
        (!::GetFileInformationByHandle(held, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)))
        held.Close();
    return held.IsValid();
}

}  // namespace

void (*g_beforeRestoreWrite)(const std::wstring& target) = NoHook;

namespace {

// The quarantine folder `argument` names, checked before anything of it is
// read: below the protected quarantine root, held, made by this program.
// Empty (and `report` says why) when refused; `held` holds it otherwise.
std::wstring CheckQuarantineFolder(const std::wstring& argument, CHandle& held, std::wstring& report)
{
    const std::wstring root = GetQuarantineRootPath();
    if (root.empty() || GetProgramFolder().empty() || SecureFolder(root.substr(0, root.size() - 1)) != ERROR_SUCCESS)
    {
        report = L"No quarantine: the all-users application data folder is unknown or not safe.\r\n";
        return std::wstring();
    }
    const std::wstring folder = QuarantineFolderOf(argument, root);
    if (folder.empty())
    {
        report = L"Refused: \"" + argument + L"\" is not a quarantine folder directly below " + root + L"\r\n";
        return std::wstring();
    }
    if (!OpenQuarantineFolder(folder, held))
    {
        report = L"Refused: the quarantine folder " + folder + L" does not exist.\r\n";
        return std::wstring();
    }
    if (!IsProgramOwned(held))
    {
        // Nothing of it is read, and nothing is written into it.
        report = L"Refused: the quarantine folder " + folder + L" was not made by this program.\r\n";
        return std::wstring();
    }
    return folder;
}

// What the records' loop found on the way.
struct RestoredKinds
{
    bool everything;   // every record came back
    bool anyRegistry;  // a registry record was among them
    bool anyFile;      // a file came back

    RestoredKinds() : everything(true), anyRegistry(false), anyFile(false) {}
};

// One record put back; its report lines.
std::wstring RestoreRecord(const std::wstring& folder, const ManifestRecord& record, RestoredKinds& kinds)
{
    std::wstring report;
    bool ok = true;
    if (record.kind == kRecordRegistry)
    {
        kinds.anyRegistry = true;
        if (record.state != kStateChanged)
        {
            report += Describe(L"not kept", record.path, L"its old registry data could not be read");
            ok = false;
        }
    }
    else if (record.kind == kRecordFile && (record.state == kStateKept || record.state == kStateScheduledKept))
    {
        report += RestoreFile(folder, record, ok);
        kinds.anyFile = kinds.anyFile || ok;
        // Its bytes are on the PC again by the user's choice: a payload
        // brought back is the worm's no longer.
        if (ok)
            NotePayloadRestored(folder, record.stored);
    }
    else if ((record.kind == kRecordAttributes || record.kind == kRecordFolder) && record.state == kStateChanged)
        report += RestoreFolderOrAttributes(record, ok);
    else if (record.kind == kRecordTask && record.state == kStateKept)
        report += RestoreTask(folder, record, ok);
    else if (record.kind == kRecordFile)
        report += Describe(L"nothing to restore", record.path, record.state);
    else
    {
        report += Describe(L"unknown record", record.path, record.kind);
        ok = false;
    }
    kinds.everything = kinds.everything && ok;
    return report;
}

// The registry part: before.reg composed of its blocks when a scan was cut
// short, and imported on request; its report lines. `everything` goes
// false when something failed or was refused.
std::wstring RestoreRegistry(const std::wstring& folder, bool registry, bool anyRegistry, bool& everything)
{
    std::wstring report;
    // A scan cut short left its registry blocks uncomposed: the script is
    // made of them now, the old one kept as it was should that fail.
    const DWORD composed = ComposeRegistryScript(folder);
    if (composed != ERROR_SUCCESS)
    {
        report += Describe(L"failed", folder + kRegistryJournalName, L"the registry script could not be made of it");
        everything = false;
    }
    // The script is held open, shared for reading only, while the editor
    // reads it: the one checked is the one imported.
    const std::wstring script = folder + kRegistryScriptName;
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
    return report;
}

}  // namespace

int RestoreQuarantine(const std::wstring& argument, bool registry, std::wstring& report)
{
    report.clear();
    CHandle held;
    const std::wstring folder = CheckQuarantineFolder(argument, held, report);
    if (folder.empty())
        return kRestoreRefused;
    std::vector<ManifestRecord> records;
    bool complete = false;
    int bad = 0;
    if (!ReadManifest(folder, records, &complete, &bad))
    {
        report = L"Refused: " + folder + L"manifest.txt is missing or unreadable.\r\n";
        WriteReport(folder, report);
        return kRestoreRefused;
    }
    RestoredKinds kinds;
    kinds.everything = complete && bad == 0;
    if (!complete)
        report += L"The manifest is incomplete (cut short); only its whole records are restored.\r\n";
    if (bad)
        report += L"The manifest has lines that are not records; they are skipped.\r\n";

    // Latest change first, so that a file comes back before the attributes
    // its folder had before the scan.
    for (size_t i = records.size(); i-- > 0;)
        report += RestoreRecord(folder, records[i], kinds);
    report += RestoreRegistry(folder, registry, kinds.anyRegistry, kinds.everything);
    if (kinds.anyFile)
        report += L"The files came back for Administrators and SYSTEM only (their owners and access lists were not "
                  L"kept): give each to its user.\r\n";
    report += kinds.everything ? L"Everything came back.\r\n" : L"Not everything came back.\r\n";
    WriteReport(folder, report);
    return kinds.everything ? kRestoreDone : kRestoreIncomplete;
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
        CHandle folder;
        if (OpenQuarantineFolder(root + entries[i].name, folder) && IsProgramOwned(folder))
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
