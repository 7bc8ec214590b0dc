// Scheduled tasks through Task Scheduler 2.0's COM interfaces (Vista and
// later; XP has none, and every call then answers false). COM must be
// initialised on the calling thread.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "platform/handles.h"

struct ScheduledTask
{
    std::wstring path;  // "\Folder\Name"
    std::wstring xml;   // the task's whole definition
};

// Every registered task of every folder, hidden ones included.
bool ListScheduledTasks(std::vector<ScheduledTask>& tasks);
// The same listing made on a thread of its own (with its own COM
// apartment) from construction on, while the caller walks other places:
// asking the Task Scheduler's service is mostly waiting for it, and
// connecting to it the longest wait. One owner of the thread; the
// destructor ends it, waiting for a connection or listing under way.
class CTaskListing
{
public:
    enum Start
    {
        kAtOnce,     // connects and lists
        kWhenAsked,  // connects at once, lists at ListNow() or Take()
    };
    explicit CTaskListing(Start start = kAtOnce);
    ~CTaskListing();
    // Lets a listing made kWhenAsked go on; later calls change nothing.
    void ListNow();
    // Waits for the listing (asking for it first); ListScheduledTasks'
    // answer. Where no thread could be started, lists here and now.
    bool Take(std::vector<ScheduledTask>& tasks);

private:
    CTaskListing(const CTaskListing&);
    CTaskListing& operator=(const CTaskListing&);
    static DWORD WINAPI ListOnThread(void* listing);
    CHandle m_go;  // kWhenAsked: set once the listing may be made
    CHandle m_thread;
    volatile LONG m_canceled;
    bool m_listed;
    std::vector<ScheduledTask> m_tasks;
};

// Deletes the task at `path`.
bool DeleteScheduledTask(const std::wstring& path);
// Registers `xml` at `path` (its folder is made when missing), as the
// principal the XML names. A task whose principal logged on with a stored
// password cannot have it back: it is registered disabled, to run as the
// interactive user, and `disabled` tells so. A task registered at `path`
// meanwhile is never replaced: false, and `taken` tells so.
bool RegisterScheduledTask(const std::wstring& path, const std::wstring& xml, bool& disabled, bool& taken);

// The text of the first element `name` in `xml` ("Command" of
// "<Command>x</Command>"), its entities decoded; false when there is none.
// `from` is where to look from and is moved past the element.
bool XmlElementText(const std::wstring& xml, const wchar_t* name, size_t& from, std::wstring& text);

// For tests, where Wine's Task Scheduler falls short: a store that stands
// in for the system's. NULL (the default) asks the system.
struct TaskStore
{
    bool (*list)(std::vector<ScheduledTask>& tasks);
    bool (*remove)(const std::wstring& path);
    bool (*add)(const std::wstring& path, const std::wstring& xml);
};
void SetTaskStoreForTests(const TaskStore* store);
