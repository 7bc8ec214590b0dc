#include "killers/autostart_killer.h"

#include <algorithm>
#include <memory>

#include "killers/autostart_places.h"
#include "killers/launcher_killer.h"
#include "killers/process_ends.h"
#include "killers/scan_log.h"
#include "killers/task_listing_ahead.h"
#include "platform/array_count.h"
#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "platform/held_path.h"
#include "platform/reg_views.h"
#include "platform/registry.h"
#include "platform/shell_link.h"
#include "platform/task_scheduler.h"
#include "platform/user_hives.h"
#include "undo/change_gate.h"
#include "undo/quarantine.h"

const char kLogAutostartDeleted[] = "删除病毒启动项\t";
const char kLogAutostartBack[] = "删除复现的病毒启动项\t";
const char kLogAutostartLeft[] = "保留无法判断的启动项\t";
const char kLogAutostartPayloadLeft[] = "保留病毒文件\t";
const char kLogPayloadBack[] = "删除复现的病毒文件\t";
const char kLogTaskPlace[] = "任务计划\t";

namespace {

void (*g_recheckHook)() = NULL;

// The keys whose values start a program at every logon, or at the next.
const wchar_t* const kRunKeys[] = {
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Run",
    L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer\\Run",
};

// Values in a Run key beyond this many are no one's: the walk stops there.
const DWORD kMaxRunValues = 4096;
const DWORD kMaxValueNameChars = 16384;

// Files of the Startup folder that Windows keeps there itself.
const wchar_t* const kStartupSystemFiles[] = {L"desktop.ini"};
const wchar_t* const kShortcutExtensions[] = {L".lnk"};

enum EntryVerdict
{
    kEntryKept,
    kEntryWorm,
    kEntryLeft,  // names a stream: never judged
};

// One text value of a Run key as the walk read it.
struct RunValue
{
    std::wstring name;
    DWORD type;
    std::wstring data;
};

// The text values of a key, up to the command-line limit; values of another
// type, of an odd size or longer are passed over. An unterminated string
// reads as far as it goes; one with a NUL inside, as far as that NUL.
void ReadRunValues(HKEY key, std::vector<RunValue>& values)
{
    std::wstring name(kMaxValueNameChars, L'\0');
    std::vector<BYTE> data((kMaxCommandChars + 1) * sizeof(wchar_t));
    for (DWORD i = 0; i < kMaxRunValues; ++i)
    {
        DWORD nameChars = kMaxValueNameChars;
        DWORD type = 0;
        DWORD bytes = static_cast<DWORD>(data.size());
        const LONG status = ::RegEnumValueW(key, i, &name[0], &nameChars, NULL, &type, &data[0], &bytes);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || bytes % sizeof(wchar_t))
            continue;
        RunValue value;
        value.name.assign(name.c_str(), nameChars);
        value.type = type;
        const wchar_t* text = reinterpret_cast<const wchar_t*>(&data[0]);
        size_t chars = bytes / sizeof(wchar_t);
        for (size_t c = 0; c < chars; ++c)
        {
            if (text[c] == L'\0')
                chars = c;
        }
        value.data.assign(text, chars);
        values.push_back(value);
    }
}

// The key path a view reaches, as its name reads in the registry editor.
std::wstring ViewedPath(const wchar_t* path, REGSAM view)
{
    const std::wstring text(path);
    if (view != KEY_WOW64_32KEY || !HasTwoRegViews())
        return text;
    return L"Software\\Wow6432Node" + text.substr(8);
}

bool ValueIs(HKEY root, const std::wstring& path, REGSAM view, const std::wstring& name, std::wstring* data)
{
    CRegKey key;
    if (key.Open(root, path.c_str(), KEY_QUERY_VALUE | view) != ERROR_SUCCESS)
        return false;
    std::vector<RunValue> values;
    ReadRunValues(key, values);
    for (size_t i = 0; i < values.size(); ++i)
    {
        if (::lstrcmpiW(values[i].name.c_str(), name.c_str()) == 0)
        {
            if (data)
                *data = values[i].data;
            return true;
        }
    }
    return false;
}

// A value name as the log shows it: a NUL inside reads as '?'.
std::wstring Printable(std::wstring name)
{
    std::replace(name.begin(), name.end(), L'\0', L'?');
    return name;
}

// Whether the file is still there, asked of its held folders: a path that
// cannot be held (a junction on the way) counts as there, and is not looked
// for again.
bool Exists(const std::wstring& path)
{
    CFolderChain chain;
    CHandle file;
    const DWORD error = OpenHeldItem(path, FILE_READ_ATTRIBUTES, kNonDirectoryOnly, chain, file);
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

}  // namespace

// What the per-user walk carries from one user root to the next.
struct CAutostartWalk
{
    CKillerForAutostarts* command;
    VariableMap machine;
    std::vector<VariableMap> users;  // each user's variables, for HKLM's entries
    std::vector<EntryOwner> owners;  // whose each of them is
    std::set<std::wstring> loaded;   // the SIDs of the hives walked (folded)

    static void Visit(HKEY root, const std::wstring& name, void* context)
    {
        CAutostartWalk& walk = *static_cast<CAutostartWalk*>(context);
        const std::wstring::size_type slash = name.find(L'\\');
        const std::wstring sid = slash == std::wstring::npos ? std::wstring() : name.substr(slash + 1);
        VariableMap variables;
        std::wstring startup;
        EntryOwner owner;
        UserVariables(root, sid, walk.machine, variables, startup, owner);
        walk.users.push_back(variables);
        walk.owners.push_back(owner);
        if (!sid.empty())
            walk.loaded.insert(FoldCase(sid));
        const HKEY predefined = sid.empty() ? HKEY_CURRENT_USER : HKEY_USERS;
        walk.command->WalkRunKeys(predefined, sid.empty() ? std::wstring() : sid + L"\\", name, variables, owner,
                                  false);
        if (!startup.empty())
            walk.command->WalkStartup(startup, variables, owner);
    }
};

void CKillerForAutostarts::SetRecheckHook(void (*hook)()) { g_recheckHook = hook; }

int CKillerForAutostarts::Run(ICommunication* comm)
{
    m_pComm = comm;
    CComApartment apartment;
    // The tasks are listed meanwhile, unless the scan listed them ahead:
    // the service answers slowly.
    std::unique_ptr<CTaskListing> ownListing;
    CTaskListing* taskListing = TaskListingAhead();
    if (!taskListing)
    {
        ownListing.reset(new CTaskListing);
        taskListing = ownListing.get();
    }
    CPayloadJudge judge(GetQuarantineRootPath());
    m_pJudge = &judge;
    CAutostartWalk walk;
    walk.command = this;
    walk.machine = MachineVariables();
    ForEachUserRoot(&CAutostartWalk::Visit, &walk);
    if (!walk.loaded.empty() || IsRunningAsLocalSystem())
    {
        // As LocalSystem every profile's Startup folder, logged on or not.
        std::vector<UnloadedProfile> profiles;
        UnloadedProfiles(walk.loaded, walk.machine, profiles);
        for (size_t i = 0; i < profiles.size() && !StopRequested(); ++i)
        {
            walk.users.push_back(profiles[i].variables);
            walk.owners.push_back(profiles[i].owner);
            if (!profiles[i].startup.empty())
                WalkStartup(profiles[i].startup, profiles[i].variables, profiles[i].owner);
        }
    }
    if (StopRequested())
        return 0;
    // The machine's entries: expanded from the machine's records, or, when
    // they name a user's folder, from each user's in turn.
    m_userVariables = walk.users;
    m_userOwners = walk.owners;
    const EntryOwner theMachine;
    WalkRunKeys(HKEY_LOCAL_MACHINE, std::wstring(), L"HKEY_LOCAL_MACHINE", walk.machine, theMachine, true);
    const std::wstring common = CommonStartupFolder();
    if (!common.empty() && !StopRequested())
        WalkStartup(common, walk.machine, theMachine);
    if (!StopRequested())
        WalkTasks(walk.machine, *taskListing);
    if (g_recheckHook)
        g_recheckHook();
    if (!StopRequested())
        Recheck();
    m_pJudge = NULL;
    return 0;
}

void CKillerForAutostarts::WalkRunKeys(HKEY root, const std::wstring& rootPrefix, const std::wstring& rootName,
                                       const VariableMap& variables, const EntryOwner& owner, bool machine)
{
    for (size_t k = 0; k < ArrayCount(kRunKeys) && !StopRequested(); ++k)
    {
        const RegViewList views = machine ? RegViewsForKey(root, kRunKeys[k]) : RegViewsOf(false);
        for (size_t v = 0; v < views.count; ++v)
        {
            const std::wstring path = rootPrefix + kRunKeys[k];
            CRegKey key;
            if (key.Open(root, path.c_str(), KEY_QUERY_VALUE | KEY_SET_VALUE | views.flags[v]) != ERROR_SUCCESS)
                continue;
            const std::wstring where = rootName + L"\\" + ViewedPath(kRunKeys[k], views.flags[v]) + L"\\";
            WalkValues(key, root, path, views.flags[v], where, variables, owner, machine);
        }
    }
}

void CKillerForAutostarts::WalkValues(HKEY key, HKEY root, const std::wstring& path, REGSAM view,
                                      const std::wstring& where, const VariableMap& variables,
                                      const EntryOwner& owner, bool machine)
{
    std::vector<RunValue> values;
    ReadRunValues(key, values);
    for (size_t i = 0; i < values.size() && !StopRequested(); ++i)
    {
        const RunValue& value = values[i];
        std::vector<JudgedFile> files;
        // A machine's twin of a user's worm entry goes when it names the
        // same file: the payloads this walk removed stay the worm's.
        const EntryVerdict verdict = static_cast<EntryVerdict>(
            machine ? JudgeMachineCommand(value.data, variables, files)
                    : JudgeCommand(value.data, variables, owner, files));
        // A name with a NUL inside cannot be handed to the registry whole:
        // any call by that name reaches another value. It stays.
        const bool whole = value.name.find(L'\0') == std::wstring::npos;
        if (verdict == kEntryLeft || (verdict == kEntryWorm && !whole))
            ScanLog::AppendLine(kLogAutostartLeft, where + Printable(value.name));
        if (verdict != kEntryWorm || !whole)
            continue;
        EndPayloadProcesses(files);
        if (GateDeleteValue(key, value.name.c_str()) == ERROR_SUCCESS)
        {
            ScanLog::AppendLine(kLogAutostartDeleted, where + value.name);
            ++m_nDeleted;
            // Report-only answers as if it had deleted: only a value really
            // gone is looked for again at the end.
            if (!ValueIs(root, path, view, value.name, NULL))
            {
                RemovedEntry removed = {root, path, view, value.name, value.type, value.data, where + value.name, false,
                                        owner};
                m_removed.push_back(removed);
            }
        }
        RemovePayloads(files, owner);
    }
}

int CKillerForAutostarts::JudgeMachineCommand(const std::wstring& command, const VariableMap& machine,
                                              std::vector<JudgedFile>& files)
{
    // The users' maps add only the profile's own variables, each inside
    // its profile: as Windows expands the entry at that user's logon.
    const EntryOwner theMachine;
    int verdict = JudgeCommand(command, machine, theMachine, files);
    for (size_t u = 0; verdict == kEntryKept && u < m_userVariables.size(); ++u)
        verdict = JudgeCommand(command, m_userVariables[u], theMachine, files);
    return verdict;
}

int CKillerForAutostarts::JudgeCommand(const std::wstring& command, const VariableMap& variables,
                                       const EntryOwner& owner, std::vector<JudgedFile>& files)
{
    files.clear();
    std::wstring expanded;
    std::vector<CommandTarget> targets;
    if (!ExpandVariables(command, variables, expanded) || !InnermostTargets(expanded, targets))
        return kEntryKept;  // nothing is deleted on a guess
    bool worm = false;
    bool stream = false;
    for (size_t t = 0; t < targets.size(); ++t)
    {
        JudgedFile judged = m_pJudge->Judge(targets[t], owner);
        // A payload an earlier entry named and this walk removed is still
        // the worm's for every other entry that names it.
        if (judged.verdict == kFileKept && !judged.path.empty() && m_payloadsDone.count(FoldCase(judged.path)))
            judged.verdict = kFileWorm;
        worm = worm || judged.verdict == kFileWorm || judged.verdict == kFileWormLeft;
        stream = stream || judged.verdict == kFileStream;
        if (judged.verdict == kFileWorm || judged.verdict == kFileWormLeft)
            files.push_back(judged);
    }
    return worm ? kEntryWorm : (stream ? kEntryLeft : kEntryKept);
}

void CKillerForAutostarts::EndPayloadProcesses(const std::vector<JudgedFile>& files)
{
    for (size_t i = 0; i < files.size(); ++i)
    {
        if (files[i].verdict == kFileWorm)
            EndProcessesRunning(files[i].path);
    }
}

void CKillerForAutostarts::RemovePayloads(const std::vector<JudgedFile>& files, const EntryOwner& owner)
{
    for (size_t i = 0; i < files.size(); ++i)
    {
        const JudgedFile& file = files[i];
        if (!m_payloadsDone.insert(FoldCase(file.path)).second)
            continue;
        if (file.verdict != kFileWorm || !GateDeleteFile(file.path, kKeepOrLeave))
        {
            // In the Windows folder, under Program Files, in a folder the
            // user cannot write, or too large to keep: it stays.
            ScanLog::AppendLine(kLogAutostartPayloadLeft, file.path);
            continue;
        }
        ScanLog::AppendLine(kLogPayloadDeleted, file.path);
        ++m_nDeleted;
        if (!Exists(file.path))
        {
            RemovedEntry removed = {NULL, file.path, 0, std::wstring(), 0, std::wstring(), file.path, false, owner};
            m_removed.push_back(removed);
        }
    }
}

void CKillerForAutostarts::WalkStartup(const std::wstring& folder, const VariableMap& variables,
                                       const EntryOwner& owner)
{
    if (IsRemoteOrDevicePath(folder.c_str()))
        return;  // a Startup folder redirected to a share is not walked
    // The folder and those above it held for the walk, none a link: what is
    // listed and read below is reached through no junction.
    CFolderChain held;
    std::vector<DirEntry> entries;
    if (held.Open(HeldPathForm(folder), true, false) != ERROR_SUCCESS || !ListFolder(folder + L"*", entries))
        return;
    for (size_t i = 0; i < entries.size() && !StopRequested(); ++i)
    {
        const DirEntry& entry = entries[i];
        if (entry.IsFolder() || (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            IsNameIn(entry.name, kStartupSystemFiles))
            continue;
        const std::wstring path = folder + entry.name;
        std::vector<JudgedFile> files;
        bool worm = false;
        ShortcutInfo info;
        const bool shortcut = HasExtensionIn(entry.name, kShortcutExtensions) && entry.sizeHigh == 0 &&
                              entry.sizeLow <= kMaxShortcutBytes && ReadShortcut(path, info);
        if (shortcut)
            worm = JudgeCommand(L"\"" + info.target + L"\" " + info.arguments, variables, owner, files) == kEntryWorm;
        const ULONGLONG size = (static_cast<ULONGLONG>(entry.sizeHigh) << 32) | entry.sizeLow;
        if (!worm && m_pJudge->MayBeWormStartupFile(entry.attributes, size) &&
            m_pJudge->IsWormStartupFile(path, owner))
        {
            worm = true;
            files.clear();
            JudgedFile self = {kFileWorm, path};
            EndPayloadProcesses(std::vector<JudgedFile>(1, self));
        }
        if (!worm)
            continue;
        EndPayloadProcesses(files);
        m_payloadsDone.insert(FoldCase(path));
        if (!GateDeleteFile(path, kKeepOrLeave))
            continue;
        ScanLog::AppendLine(kLogAutostartDeleted, path);
        ++m_nDeleted;
        if (!Exists(path))
        {
            RemovedEntry removed = {NULL, path, 0, std::wstring(), 0, std::wstring(), path, false, owner};
            m_removed.push_back(removed);
        }
        RemovePayloads(files, owner);
    }
}

size_t CKillerForAutostarts::TaskUser(const std::wstring& xml) const
{
    size_t from = 0;
    std::wstring id;
    if (!XmlElementText(xml, L"UserId", from, id) || id.empty())
        return m_userOwners.size();
    const std::wstring::size_type slash = id.find_last_of(L'\\');
    const std::wstring name = FoldCase(slash == std::wstring::npos ? id : id.substr(slash + 1));
    for (size_t u = 0; u < m_userOwners.size() && u < m_userVariables.size(); ++u)
    {
        const VariableMap::const_iterator user = m_userVariables[u].find(FoldCase(L"USERNAME"));
        if (FoldCase(m_userOwners[u].sid) == FoldCase(id) ||
            (!m_userOwners[u].sid.empty() && user != m_userVariables[u].end() && FoldCase(user->second) == name))
            return u;
    }
    return m_userOwners.size();
}

int CKillerForAutostarts::JudgeTask(const std::wstring& xml, const VariableMap& machine,
                                    std::vector<JudgedFile>& files)
{
    // A user's task expands with his variables alone, any other with the
    // machine's.
    const size_t user = TaskUser(xml);
    // Each action that starts a program: its command and its arguments.
    files.clear();
    int verdict = kEntryKept;
    size_t from = 0;
    std::wstring command;
    while (verdict != kEntryWorm && XmlElementText(xml, L"Command", from, command))
    {
        const std::wstring::size_type end = xml.find(L"</Exec>", from);
        size_t at = from;
        std::wstring arguments;
        if (!XmlElementText(xml, L"Arguments", at, arguments) || (end != std::wstring::npos && at > end))
            arguments.clear();
        const std::wstring line = L"\"" + command + L"\" " + arguments;
        std::vector<JudgedFile> found;
        const int judged = user < m_userVariables.size()
                               ? JudgeCommand(line, m_userVariables[user], m_userOwners[user], found)
                               : JudgeCommand(line, machine, EntryOwner(), found);
        if (judged != kEntryKept)
            verdict = judged;
        files.insert(files.end(), found.begin(), found.end());
    }
    return verdict;
}

void CKillerForAutostarts::WalkTasks(const VariableMap& machine, CTaskListing& listing)
{
    std::vector<ScheduledTask> tasks;
    if (!listing.Take(tasks))
        return;  // no Task Scheduler 2.0 (XP), or it does not answer
    for (size_t i = 0; i < tasks.size() && !StopRequested(); ++i)
    {
        const ScheduledTask& task = tasks[i];
        std::vector<JudgedFile> files;
        const int verdict = JudgeTask(task.xml, machine, files);
        if (verdict == kEntryLeft)
            ScanLog::AppendLine(std::string(kLogAutostartLeft) + kLogTaskPlace, task.path);
        if (verdict != kEntryWorm)
            continue;
        EndPayloadProcesses(files);
        if (GateDeleteTask(task.path, task.xml, DeleteScheduledTask))
        {
            ScanLog::AppendLine(std::string(kLogAutostartDeleted) + kLogTaskPlace, task.path);
            ++m_nDeleted;
            RemovedEntry removed = {NULL, task.path, 0, std::wstring(), 0, task.xml, task.path, true, EntryOwner()};
            m_removed.push_back(removed);
        }
        const size_t user = TaskUser(task.xml);
        RemovePayloads(files, user < m_userOwners.size() ? m_userOwners[user] : EntryOwner());
    }
    // Report-only answers as if it had deleted: a task still listed was not
    // removed and is not looked for again at the end. Without a removed
    // task there is nothing to ask the Task Scheduler again for.
    bool removedTask = false;
    for (size_t i = 0; i < m_removed.size() && !removedTask; ++i)
        removedTask = m_removed[i].task;
    std::vector<ScheduledTask> after;
    if (!removedTask || !ListScheduledTasks(after))
        return;
    for (size_t i = m_removed.size(); i-- > 0;)
    {
        for (size_t t = 0; m_removed[i].task && t < after.size(); ++t)
        {
            if (after[t].path == m_removed[i].path)
            {
                m_removed.erase(m_removed.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
    }
}

void CKillerForAutostarts::Recheck()
{
    // A worm still running (or one that ran meanwhile) puts its entry back:
    // what came back with the same text goes once more.
    RecheckTasks();
    for (size_t i = 0; i < m_removed.size(); ++i)
    {
        const RemovedEntry& removed = m_removed[i];
        if (removed.task)
            continue;
        if (!removed.root)
        {
            // Only what is the worm's again by its own marks (hidden or
            // system, or a worm's bytes) goes: the user may have put a
            // file of his own there since.
            if (Exists(removed.path) && m_pJudge->IsWormStartupFile(removed.path, removed.owner) &&
                GateDeleteFile(removed.path, kKeepOrLeave))
            {
                ScanLog::AppendLine(kLogPayloadBack, removed.path);
                ++m_nDeleted;
            }
            continue;
        }
        std::wstring data;
        if (!ValueIs(removed.root, removed.path, removed.view, removed.name, &data) ||
            FoldCase(data) != FoldCase(removed.data))
            continue;
        CRegKey key;
        if (key.Open(removed.root, removed.path.c_str(), KEY_QUERY_VALUE | KEY_SET_VALUE | removed.view) ==
                ERROR_SUCCESS &&
            GateDeleteValue(key, removed.name.c_str()) == ERROR_SUCCESS)
        {
            ScanLog::AppendLine(kLogAutostartBack, removed.where);
            ++m_nDeleted;
        }
    }
}

void CKillerForAutostarts::RecheckTasks()
{
    std::vector<ScheduledTask> tasks;
    bool any = false;
    for (size_t i = 0; i < m_removed.size() && !any; ++i)
        any = m_removed[i].task;
    if (!any || !ListScheduledTasks(tasks))
        return;
    for (size_t i = 0; i < m_removed.size(); ++i)
    {
        const RemovedEntry& removed = m_removed[i];
        for (size_t t = 0; removed.task && t < tasks.size(); ++t)
        {
            if (tasks[t].path != removed.path || tasks[t].xml != removed.data)
                continue;
            if (GateDeleteTask(tasks[t].path, tasks[t].xml, DeleteScheduledTask))
            {
                ScanLog::AppendLine(std::string(kLogAutostartBack) + kLogTaskPlace, removed.path);
                ++m_nDeleted;
            }
        }
    }
}
