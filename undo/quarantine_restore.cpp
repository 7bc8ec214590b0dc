#include "undo/quarantine_restore.h"

#include <algorithm>
#include <cwchar>

#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "platform/reg_views.h"
#include "undo/program_folder.h"
#include "undo/quarantine.h"
#include "undo/quarantine_payloads.h"
#include "undo/registry_journal.h"
#include "undo/restore_marks.h"
#include "undo/restore_task.h"

namespace {

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
    if (!OpenQuarantineFolder(folder, held))
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
        return RestoreLine(L"nothing to restore", record.path, record.state);
    ok = false;
    return RestoreLine(L"unknown record", record.path, record.kind);
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
                outcome.report += RestoreLine(L"not kept", record.path, L"its old registry data could not be read");
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
        report += RestoreLine(L"failed", run.folder + kRegistryJournalName, L"the registry script could not be made of it");
        run.everything = false;
    }
    const std::wstring script = run.folder + kRegistryScriptName;
    const CHandle scriptFile(::CreateFileW(script.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, NULL,
                                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    BY_HANDLE_FILE_INFORMATION scriptInfo;
    const bool haveScript = scriptFile.IsValid() && ::GetFileInformationByHandle(scriptFile, &scriptInfo) &&
                            !(scriptInfo.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    if (!haveScript)
    {
        // Changes of the registry were kept and none can come back: said,
        // never passed over as if everything had.
        if (import && run.registryRecords > 0 && !run.marks.registry)
        {
            const std::wstring line = RestoreLine(L"failed", script, L"the registry script is missing or not a file");
            report += line;
            RestoredItem item = {kRegistryScriptItem, script, false, WhyOf(line), run.registryRecords};
            outcome.items.push_back(item);
            run.tried = true;
            run.everything = false;
        }
        return;
    }
    if (import && run.marks.registry)
        return;
    if (!import)
    {
        if (run.anyRegistry)
            report += RestoreLine(L"not imported", script, L"add /registry to put the registry back");
        return;
    }
    run.tried = true;
    std::wstring line;
    bool ok = false;
    if (!IsProgramOwned(scriptFile))
        line = RestoreLine(L"refused", script, L"it was not made by this program");
    else if (!StartRegEditInView(script, true, true))
        line = RestoreLine(L"failed", script, L"the registry editor did not import it");
    else
    {
        line = RestoreLine(L"imported", script, L"");
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
        report += RestoreLine(L"failed", run.folder + kRestoreMarksName,
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
    CHandle held;
    if (!OpenQuarantineFolder(folder, held) || !IsProgramOwned(held))
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
