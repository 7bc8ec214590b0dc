#include "app/restore.h"

#include <algorithm>
#include <cwchar>

#include "app/command_line.h"
#include "app/restore_run.h"
#include "killers/reg_script.h"
#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "platform/held_path.h"
#include "platform/pending_deletes.h"
#include "platform/reg_views.h"
#include "platform/sha256.h"
#include "undo/program_folder.h"
#include "undo/quarantine.h"
#include "undo/quarantine_payloads.h"
#include "undo/registry_journal.h"
#include "undo/restore_marks.h"
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

namespace {

int Refuse(RestoreOutcome& outcome, RestoreRefusal refusal, const std::wstring& line)
{
    outcome.code = kRestoreRefused;
    outcome.refusal = refusal;
    outcome.report = line;
    return kRestoreRefused;
}

// The quarantine folder of `argument`, held in `held`: below the root, a
// plain folder, made by this program. Empty, with the outcome refused, when
// it is not one.
std::wstring CheckQuarantineFolder(const std::wstring& argument, CHandle& held, RestoreOutcome& outcome)
{
    const std::wstring root = GetQuarantineRootPath();
    if (root.empty() || GetProgramFolder().empty() || SecureFolder(root.substr(0, root.size() - 1)) != ERROR_SUCCESS)
    {
        Refuse(outcome, kRefusedNoRoot,
               L"No quarantine: the all-users application data folder is unknown or not safe.\r\n");
        return std::wstring();
    }
    const std::wstring folder = QuarantineFolderOf(argument, root);
    if (folder.empty())
    {
        Refuse(outcome, kRefusedNotQuarantine,
               L"Refused: \"" + argument + L"\" is not a quarantine folder directly below " + root + L"\r\n");
        return std::wstring();
    }
    held.Attach(OpenQuarantineFolder(folder));
    if (!held.IsValid())
    {
        Refuse(outcome, kRefusedMissing, L"Refused: the quarantine folder " + folder + L" does not exist.\r\n");
        return std::wstring();
    }
    if (!IsProgramOwned(held))
    {
        // Nothing of it is read, and nothing is written into it.
        Refuse(outcome, kRefusedNotProgramMade,
               L"Refused: the quarantine folder " + folder + L" was not made by this program.\r\n");
        return std::wstring();
    }
    return folder;
}

// The reason of a report line "<what>\t<path>\t<reason>\r\n".
std::wstring WhyOf(const std::wstring& line)
{
    const std::wstring::size_type first = line.find(L'\t');
    const std::wstring::size_type second = first == std::wstring::npos ? first : line.find(L'\t', first + 1);
    if (second == std::wstring::npos)
        return std::wstring();
    const std::wstring::size_type end = line.find(L"\r\n", second);
    return line.substr(second + 1, end == std::wstring::npos ? std::wstring::npos : end - second - 1);
}

// Whether the file at the record's path holds the bytes the record kept.
bool HoldsKeptBytes(const ManifestRecord& record)
{
    CHandle file(::CreateFileW(record.path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    OpenFileFacts facts;
    if (!file.IsValid() || !QueryOpenFile(file, facts) || (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        facts.size != record.size || facts.size > kMaxKeptFileBytes)
        return false;
    std::string bytes(static_cast<size_t>(facts.size), '\0');
    DWORD read = 0;
    if (!bytes.empty() &&
        (!::ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, NULL) || read != bytes.size()))
        return false;
    CSha256 hash;
    hash.Update(bytes.data(), static_cast<DWORD>(bytes.size()));
    return hash.HexDigest() == record.sha256;
}

// A file the scan scheduled for deletion at the next start: the deletion
// is cancelled first. Still in place with the bytes kept, it is back as it
// was; otherwise its kept copy comes back (beside what stands there).
std::wstring RestoreScheduledFile(const std::wstring& folder, const ManifestRecord& record, bool& ok)
{
    ok = false;
    bool cancelled = false;
    if (CancelScheduledDeletion(record.path.substr(LongFormPrefix(record.path)), cancelled) != ERROR_SUCCESS)
        return Describe(L"failed", record.path, L"its deletion at the next start could not be cancelled");
    if (cancelled && HoldsKeptBytes(record))
    {
        ok = true;
        return Describe(L"restored", record.path, L"its deletion at the next start was cancelled");
    }
    return RestoreFile(folder, record, ok);
}

// One record of the manifest, chosen and not back yet; `tried` tells
// whether it is one that can come back.
std::wstring RestoreRecord(const std::wstring& folder, const ManifestRecord& record, bool& ok, bool& tried)
{
    ok = true;
    tried = true;
    if (record.kind == kRecordFile && record.state == kStateKept)
    {
        const std::wstring line = RestoreFile(folder, record, ok);
        // Its bytes are on the PC again by the user's choice: a payload
        // brought back is the worm's no longer.
        if (ok)
            NotePayloadRestored(folder, record.stored);
        return line;
    }
    if (record.kind == kRecordFile && record.state == kStateScheduledKept)
    {
        const std::wstring line = RestoreScheduledFile(folder, record, ok);
        if (ok)
            NotePayloadRestored(folder, record.stored);
        return line;
    }
    if ((record.kind == kRecordAttributes || record.kind == kRecordFolder) && record.state == kStateChanged)
        return RestoreFolderOrAttributes(record, ok);
    if (record.kind == kRecordTask && record.state == kStateKept)
        return RestoreTask(folder, record, ok);
    tried = false;
    if (record.kind == kRecordFile)
        return Describe(L"nothing to restore", record.path, record.state);
    ok = false;
    return Describe(L"unknown record", record.path, record.kind);
}

// What one restore shares between its steps.
struct RestoreRun
{
    std::wstring folder;
    std::vector<ManifestRecord> records;
    RestoreMarks marks;
    bool marked;      // a mark was added
    bool everything;  // nothing failed or was refused
    bool tried;       // something that can come back was tried
    bool anyFile;
    bool anyRegistry;
    size_t registryRecords;  // the ones before.reg puts back
};

// The records chosen, latest change first, so that a file comes back
// before the attributes its folder had before the scan. What came back
// before is left as it is.
void RestoreRecords(RestoreRun& run, const RestoreChoice& choice, RestoreOutcome& outcome)
{
    std::vector<bool> chosen(run.records.size(), choice.everyRecord);
    for (size_t i = 0; i < choice.records.size(); ++i)
        if (choice.records[i] < chosen.size())
            chosen[choice.records[i]] = true;
    for (size_t i = run.records.size(); i-- > 0;)
    {
        const ManifestRecord& record = run.records[i];
        if (record.kind == kRecordRegistry)
        {
            // Every registry record comes back with before.reg at once.
            run.anyRegistry = true;
            run.registryRecords += record.state == kStateChanged ? 1 : 0;
            if ((choice.everyRecord || choice.registry) && !run.marks.registry && record.state != kStateChanged)
            {
                outcome.report += Describe(L"not kept", record.path, L"its old registry data could not be read");
                run.everything = false;
            }
            continue;
        }
        if (!chosen[i] || run.marks.records[i])
            continue;
        bool ok = true;
        bool tried = false;
        const std::wstring line = RestoreRecord(run.folder, record, ok, tried);
        outcome.report += line;
        if (tried)
        {
            RestoredItem item = {i, record.path, ok, ok ? std::wstring() : WhyOf(line), 1};
            outcome.items.push_back(item);
            run.marks.records[i] = ok;
            run.marked = run.marked || ok;
            run.anyFile = run.anyFile || (ok && record.kind == kRecordFile);
        }
        run.tried = run.tried || tried;
        // A record the user chose by itself that cannot come back did not.
        run.everything = run.everything && ok && (tried || choice.everyRecord);
    }
}

// before.reg, composed first when the scan was cut short, held open and
// shared for reading only while the editor reads it: the one checked is
// the one imported.
void RestoreRegistry(RestoreRun& run, bool import, RestoreOutcome& outcome)
{
    std::wstring& report = outcome.report;
    const DWORD composed = ComposeRegistryScript(run.folder);
    if (composed != ERROR_SUCCESS)
    {
        report += Describe(L"failed", run.folder + kRegistryJournalName, L"the registry script could not be made of it");
        run.everything = false;
    }
    const std::wstring script = run.folder + kRegistryScriptName;
    const CHandle scriptFile(::CreateFileW(script.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, NULL,
                                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    BY_HANDLE_FILE_INFORMATION scriptInfo;
    const bool haveScript = scriptFile.IsValid() && ::GetFileInformationByHandle(scriptFile, &scriptInfo) &&
                            !(scriptInfo.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    if (!haveScript || (import && run.marks.registry))
        return;
    if (!import)
    {
        if (run.anyRegistry)
            report += Describe(L"not imported", script, L"add /registry to put the registry back");
        return;
    }
    run.tried = true;
    std::wstring line;
    bool ok = false;
    if (!IsProgramOwned(scriptFile))
        line = Describe(L"refused", script, L"it was not made by this program");
    else if (!StartRegEditInView(script, true, true))
        line = Describe(L"failed", script, L"the registry editor did not import it");
    else
    {
        line = Describe(L"imported", script, L"");
        ok = true;
    }
    report += line;
    RestoredItem item = {kRegistryScriptItem, script, ok, ok ? std::wstring() : WhyOf(line), run.registryRecords};
    outcome.items.push_back(item);
    run.marks.registry = ok;
    run.marked = run.marked || ok;
    run.everything = run.everything && ok;
}

}  // namespace

int RestoreQuarantineItems(const std::wstring& argument, const RestoreChoice& choice, RestoreOutcome& outcome)
{
    outcome = RestoreOutcome();
    CHandle held;
    RestoreRun run;
    run.folder = CheckQuarantineFolder(argument, held, outcome);
    if (run.folder.empty())
        return outcome.code;
    bool complete = false;
    int bad = 0;
    if (!ReadManifest(run.folder, run.records, &complete, &bad))
    {
        Refuse(outcome, kRefusedNoManifest, L"Refused: " + run.folder + L"manifest.txt is missing or unreadable.\r\n");
        WriteReport(run.folder, outcome.report);
        return kRestoreRefused;
    }
    std::wstring& report = outcome.report;
    ReadRestoreMarks(run.folder, run.records.size(), run.marks);
    run.marked = false;
    run.everything = complete && bad == 0;
    run.tried = run.anyFile = run.anyRegistry = false;
    run.registryRecords = 0;
    if (!complete)
        report += L"The manifest is incomplete (cut short); only its whole records are restored.\r\n";
    if (bad)
        report += L"The manifest has lines that are not records; they are skipped.\r\n";

    RestoreRecords(run, choice, outcome);
    RestoreRegistry(run, choice.registry, outcome);

    if (run.marked && WriteRestoreMarks(run.folder, run.marks) != ERROR_SUCCESS)
        report += Describe(L"failed", run.folder + kRestoreMarksName,
                           L"what came back could not be noted: a later restore would put it back once more");
    if (run.anyFile)
        report += L"The files came back for Administrators and SYSTEM only (their owners and access lists were not "
                  L"kept): give each to its user.\r\n";
    outcome.nothingLeft = !run.tried;
    if (outcome.nothingLeft)
        report += L"Nothing is left to restore.\r\n";
    else
        report += run.everything ? L"Everything came back.\r\n" : L"Not everything came back.\r\n";
    WriteReport(run.folder, report);
    outcome.code = run.everything ? kRestoreDone : kRestoreIncomplete;
    return outcome.code;
}

int RestoreQuarantine(const std::wstring& folder, bool registry, std::wstring& report)
{
    RestoreChoice choice;
    choice.registry = registry;
    RestoreOutcome outcome;
    const int code = RestoreQuarantineItems(folder, choice, outcome);
    report = outcome.report;
    return code;
}

bool ReadQuarantine(const std::wstring& argument, QuarantineSummary& summary)
{
    const std::wstring root = GetQuarantineRootPath();
    const std::wstring folder = root.empty() ? std::wstring() : QuarantineFolderOf(argument, root);
    if (folder.empty() || !ParseQuarantineName(folder.substr(root.size(), folder.size() - root.size() - 1), summary.time))
        return false;
    const CHandle held(OpenQuarantineFolder(folder));
    if (!held.IsValid() || !IsProgramOwned(held))
        return false;  // a folder made by someone else is no quarantine
    summary.folder = folder;
    int bad = 0;
    ReadManifest(folder, summary.records, &summary.complete, &bad);
    RestoreMarks marks;
    ReadRestoreMarks(folder, summary.records.size(), marks);
    summary.restored = marks.records;
    summary.registryRestored = marks.registry;
    return true;
}

void ReadQuarantines(std::vector<QuarantineSummary>& quarantines)
{
    quarantines.clear();
    const std::wstring root = GetQuarantineRootPath();
    std::vector<DirEntry> entries;
    if (root.empty() || !ListFolder(root + L"*", entries))
        return;
    std::vector<std::wstring> names;
    for (size_t i = 0; i < entries.size(); ++i)
    {
        if (entries[i].IsFolder() && !(entries[i].attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            names.push_back(entries[i].name);
    }
    std::sort(names.begin(), names.end());
    for (size_t i = 0; i < names.size(); ++i)
    {
        QuarantineSummary summary;
        if (ReadQuarantine(root + names[i], summary))
            quarantines.push_back(summary);
    }
}

int ListQuarantines(std::wstring& report)
{
    report.clear();
    std::vector<QuarantineSummary> quarantines;
    ReadQuarantines(quarantines);
    for (size_t i = 0; i < quarantines.size(); ++i)
    {
        const QuarantineSummary& q = quarantines[i];
        const SYSTEMTIME& time = q.time;
        wchar_t line[128];
        swprintf(line, 128, L"\t%04u-%02u-%02u %02u:%02u:%02u\t%u items%ls\r\n", time.wYear, time.wMonth, time.wDay,
                 time.wHour, time.wMinute, time.wSecond, static_cast<unsigned>(q.records.size()),
                 q.complete ? L"" : L" (manifest incomplete)");
        report += q.folder.substr(0, q.folder.size() - 1) + line;
    }
    if (quarantines.empty())
        report = L"No quarantines.\r\n";
    return kRestoreDone;
}

int RunRestore(const std::wstring& folder, bool registry)
{
    RestoreChoice choice;
    choice.registry = registry;
    RestoreOutcome outcome;
    const int code = RestoreUnderScanLock(folder, choice, kRestoreLockWait, outcome);
    WriteToParentConsole(outcome.report);
    return code;
}

int RunList()
{
    std::wstring report;
    const int code = ListQuarantines(report);
    WriteToParentConsole(report);
    return code;
}
