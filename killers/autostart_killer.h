// How today's stick worms come back at every logon: a Run or RunOnce value,
// a copy or shortcut in a Startup folder. This command removes the entries
// that start a worm's file, and the file, after the stick walks have said
// which files are the worm's.
#pragma once
#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "killers/autostart_judge.h"
#include "killers/autostart_places.h"
#include "killers/command.h"
#include "platform/task_scheduler.h"

class CKillerForAutostarts : public CCommand
{
public:
    CKillerForAutostarts() : m_pJudge(NULL) {}

    // Walks the users' entries (each user root of the per-user checks,
    // with the user's Startup folder), then the machine's (HKLM in every
    // view, native first, the all-users Startup folder and the scheduled
    // tasks); at the end
    // removes once more what came back meanwhile. COM on the thread for the
    // shell link object. Returns 0.
    virtual int Run(ICommunication* comm);

    int Deleted() const { return m_nDeleted; }

    // For tests: called between the walk and the look at what came back.
    static void SetRecheckHook(void (*hook)());

    // Removed entries, for the look at the end.
    struct RemovedEntry
    {
        HKEY root;            // a predefined key; NULL for a file or a task
        std::wstring path;    // the key below root, the file, or the task
        REGSAM view;
        std::wstring name;    // the value
        DWORD type;
        std::wstring data;    // the value's text as it was
        std::wstring where;   // as logged
        bool task;            // a scheduled task; data: its definition
        EntryOwner owner;     // whose file it was
    };

private:
    friend struct CAutostartWalk;
    // A user's entries and the variables they expand with; the machine's
    // (`machine`) are expanded with the machine's variables and, for the
    // profile's own variables the machine lacks, with each user's.
    void WalkRunKeys(HKEY root, const std::wstring& rootPrefix, const std::wstring& rootName,
                     const VariableMap& variables, const EntryOwner& owner, bool machine);
    void WalkValues(HKEY key, HKEY root, const std::wstring& path, REGSAM view, const std::wstring& where,
                    const VariableMap& variables, const EntryOwner& owner, bool machine);
    void WalkStartup(const std::wstring& folder, const VariableMap& variables, const EntryOwner& owner);
    // Judges `owner`'s command line (an EntryVerdict): the worm's, with the
    // files to delete or leave; kept; or left unjudged.
    int JudgeCommand(const std::wstring& command, const VariableMap& variables, const EntryOwner& owner,
                     std::vector<JudgedFile>& files);
    // A machine's entry: with the machine's variables, then each user's.
    int JudgeMachineCommand(const std::wstring& command, const VariableMap& machine, std::vector<JudgedFile>& files);
    // Which of the users a task runs as (by its principal's SID or name);
    // the count of users when none of them.
    size_t TaskUser(const std::wstring& xml) const;
    // A scheduled task's actions, judged as command lines.
    int JudgeTask(const std::wstring& xml, const VariableMap& machine, std::vector<JudgedFile>& files);
    void WalkTasks(const VariableMap& machine, CTaskListing& listing);
    void RemovePayloads(const std::vector<JudgedFile>& files, const EntryOwner& owner);
    void EndPayloadProcesses(const std::vector<JudgedFile>& files);
    void Recheck();
    void RecheckTasks();

    CPayloadJudge* m_pJudge;
    std::vector<VariableMap> m_userVariables;  // each user's, for the machine's entries
    std::vector<EntryOwner> m_userOwners;      // whose each of them is
    std::set<std::wstring> m_payloadsDone;  // folded paths
    std::vector<RemovedEntry> m_removed;
};

// Log texts (GBK), each followed by a place and CR LF.
extern const char kLogAutostartDeleted[];      // "删除病毒启动项" TAB
extern const char kLogAutostartBack[];         // "删除复现的病毒启动项" TAB
extern const char kLogAutostartLeft[];         // "保留无法判断的启动项" TAB
extern const char kLogAutostartPayloadLeft[];           // "保留病毒文件" TAB
extern const char kLogPayloadBack[];           // "删除复现的病毒文件" TAB
extern const char kLogTaskPlace[];             // "任务计划" TAB, before a task's path
