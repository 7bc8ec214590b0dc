// Scheduled tasks that start a worm's file: deleted through the gateway,
// kept in the quarantine and registered again by the restore. Wine's Task
// Scheduler registers few definitions and keeps no principals, so the cases
// live in a store of the test's own; the system's listing is read too.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/restore.h"
#include "killers/autostart_killer.h"
#include "killers/one_kb.h"
#include "killers/scan_log.h"
#include "killers/task_listing_ahead.h"
#include "platform/shell_link.h"
#include "platform/task_scheduler.h"
#include "platform/user_hives.h"
#include "tests/autostart_test.h"
#include "tests/testing.h"

using namespace testing_util;
using namespace autostart_testing;

namespace {

// `user`: the principal's UserId, or empty for none.
std::wstring TaskXml(const std::wstring& command, const std::wstring& arguments, const wchar_t* logonType,
                     const std::wstring& user = std::wstring())
{
    return L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
           L"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">"
           L"<Triggers><LogonTrigger><Enabled>true</Enabled></LogonTrigger></Triggers>"
           L"<Principals><Principal id=\"Author\">" + (user.empty() ? user : L"<UserId>" + user + L"</UserId>") +
           L"<LogonType>" + std::wstring(logonType) +
           L"</LogonType></Principal></Principals>"
           L"<Settings><Enabled>true</Enabled></Settings>"
           L"<Actions Context=\"Author\"><Exec><Command>" + command + L"</Command><Arguments>" + arguments +
           L"</Arguments></Exec></Actions></Task>";
}

// Wine's Task Scheduler keeps no principals and registers few definitions:
// the tasks of these cases live here instead.
std::vector<ScheduledTask> g_tasks;

bool ListStoredTasks(std::vector<ScheduledTask>& tasks)
{
    tasks = g_tasks;
    return true;
}

bool RemoveStoredTask(const std::wstring& path)
{
    for (size_t i = 0; i < g_tasks.size(); ++i)
    {
        if (g_tasks[i].path == path)
        {
            g_tasks.erase(g_tasks.begin() + i);
            return true;
        }
    }
    return false;
}

bool AddStoredTask(const std::wstring& path, const std::wstring& xml)
{
    RemoveStoredTask(path);
    ScheduledTask task = {path, xml};
    g_tasks.push_back(task);
    return true;
}

const TaskStore kStoredTasks = {ListStoredTasks, RemoveStoredTask, AddStoredTask};

volatile LONG g_listings = 0;

bool CountListings(std::vector<ScheduledTask>& tasks)
{
    ListStoredTasks(tasks);
    ::InterlockedIncrement(&g_listings);
    return true;
}

const TaskStore kCountedTasks = {CountListings, RemoveStoredTask, AddStoredTask};

ScheduledTask g_taskBack;

void RegisterTheTaskAgain() { AddStoredTask(g_taskBack.path, g_taskBack.xml); }

class AutostartTaskTest : public CAutostartTest
{
};

const ScheduledTask* StoredTask(const std::wstring& path)
{
    for (size_t i = 0; i < g_tasks.size(); ++i)
    {
        if (g_tasks[i].path == path)
            return &g_tasks[i];
    }
    return NULL;
}

}  // namespace

TEST_F(AutostartTaskTest, AWormsScheduledTaskGoesIntoTheQuarantineAndComesBack)
{
    SetTaskStoreForTests(&kStoredTasks);
    g_tasks.clear();
    const std::wstring script = Place(L"<A>\\task.vbs");
    PlantFile(script, "' started by a task", kHiddenSystem);
    PlantFile(L"C:\\Program Files\\Vendor\\agent.exe", TinyImage(4096), 0);
    PlantFile(Place(L"<A>\\users.vbs"), "' the user's task's worm", kHiddenSystem);
    PlantFile(Place(L"<A>\\system.vbs"), "' the same name, not the system task's", kHiddenSystem);
    struct TaskCase
    {
        const wchar_t* path;
        std::wstring xml;
        bool removed;
    } const cases[] = {
        {L"\\Microsoft\\Windows\\Update\\Sync", TaskXml(L"wscript.exe", L"//B &quot;" + script + L"&quot;", L"Password"),
         true},
        {L"\\WormCmd", TaskXml(L"%ComSpec%", L"/c start wscript //B &quot;" + script + L"&quot;", L"InteractiveToken"),
         true},
        {L"\\Taken", TaskXml(L"wscript.exe", L"//B &quot;" + script + L"&quot;", L"InteractiveToken"), true},
        {L"\\Vendor Agent", TaskXml(L"C:\\Program Files\\Vendor\\agent.exe", L"/tray", L"InteractiveToken"), false},
        {L"\\Garbage", L"<Task><Actions><Exec><Command>wscript.exe", false},
        // The user's variables expand his own tasks, not the system's.
        {L"\\UsersTask", TaskXml(L"wscript.exe", L"//B %APPDATA%\\users.vbs", L"InteractiveToken", CurrentUserSid()),
         true},
        {L"\\SystemsTask", TaskXml(L"wscript.exe", L"//B %APPDATA%\\system.vbs", L"ServiceAccount", L"S-1-5-18"),
         false},
        {L"\\Empty", L"", false},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
        AddStoredTask(cases[i].path, cases[i].xml);
    // The worm registers its task again while the scan goes on.
    g_taskBack.path = cases[1].path;
    g_taskBack.xml = cases[1].xml;
    CKillerForAutostarts::SetRecheckHook(RegisterTheTaskAgain);

    const std::wstring folder = Quarantined(RunAutostarts);
    const std::string log = Logged();
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
    {
        EXPECT_EQ(cases[i].removed, StoredTask(cases[i].path) == NULL) << Narrow(cases[i].path);
        EXPECT_EQ(cases[i].removed,
                  log.find("删除病毒启动项\t任务计划\t" + Narrow(cases[i].path) + "\r\n") != std::string::npos)
            << Narrow(cases[i].path) << "\n" << log;
    }
    EXPECT_FALSE(FileExists(script));
    EXPECT_TRUE(FileExists(L"C:\\Program Files\\Vendor\\agent.exe"));
    EXPECT_FALSE(FileExists(Place(L"<A>\\users.vbs")));
    EXPECT_TRUE(FileExists(Place(L"<A>\\system.vbs")));
    ::SetFileAttributesW(Place(L"<A>\\system.vbs").c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(Place(L"<A>\\system.vbs").c_str());
    EXPECT_NE(std::string::npos, log.find("删除复现的病毒启动项\t任务计划\t\\WormCmd\r\n")) << log;

    // Back at its path with its definition; the one that ran with a stored
    // password comes back disabled, and the report says so.
    ASSERT_FALSE(folder.empty());
    // A task the administrator registered at a kept task's path since
    // stays as it is; the report names the clash.
    const std::wstring own = TaskXml(L"C:\\Program Files\\Vendor\\agent.exe", L"/own", L"InteractiveToken");
    AddStoredTask(L"\\Taken", own);
    std::wstring report;
    EXPECT_EQ(kRestoreIncomplete, RestoreQuarantine(folder.substr(0, folder.size() - 1), false, report));
    const ScheduledTask* sync = StoredTask(cases[0].path);
    const ScheduledTask* cmd = StoredTask(cases[1].path);
    ASSERT_TRUE(sync != NULL);
    ASSERT_TRUE(cmd != NULL);
    EXPECT_EQ(Narrow(cases[1].xml), Narrow(cmd->xml));
    EXPECT_NE(std::wstring::npos, sync->xml.find(L"<Settings><Enabled>false</Enabled></Settings>"));
    EXPECT_NE(std::wstring::npos, sync->xml.find(L"<LogonType>InteractiveToken</LogonType>"));
    EXPECT_NE(std::wstring::npos, report.find(L"restored disabled\t" + std::wstring(cases[0].path))) << Narrow(report);
    EXPECT_NE(std::wstring::npos, report.find(L"restored\t" + std::wstring(cases[1].path) + L"\r\n"));
    EXPECT_NE(std::string::npos, ReadFileBytes(folder + L"restore.txt").find("d\0i\0s\0a\0b\0l\0e\0d\0"));
    ASSERT_TRUE(StoredTask(L"\\Taken") != NULL);
    EXPECT_EQ(Narrow(own), Narrow(StoredTask(L"\\Taken")->xml));
    EXPECT_NE(std::wstring::npos,
              report.find(L"refused\t\\Taken\ta task was registered at this path since: it is left as it is\r\n"))
        << Narrow(report);
    SetTaskStoreForTests(NULL);
}

TEST_F(AutostartTaskTest, TheWalkJudgesTheTasksListedAheadOnceTheWormsProcessesEnded)
{
    SetTaskStoreForTests(&kCountedTasks);
    g_tasks.clear();
    const std::wstring script = Place(L"<A>\\late.vbs");
    PlantFile(script, "' registered after the listing", kHiddenSystem);
    const std::wstring xml = TaskXml(L"wscript.exe", L"//B &quot;" + script + L"&quot;", L"InteractiveToken");
    {
        const CTaskListingAhead ahead;
        EXPECT_TRUE(TaskListingAhead() == NULL);
        // Connected from the start, it lists only once the worm's
        // processes are ended.
        ::Sleep(100);
        EXPECT_EQ(0, ::InterlockedCompareExchange(&g_listings, 0, 0));
        CKillerForOneKB worms;
        worms.Run(NULL);  // ends the worm's processes, then asks for the tasks
        ASSERT_TRUE(TaskListingAhead() != NULL);
        StartTaskListingAhead();  // once is enough
        for (int i = 0; i < 1000 && ::InterlockedCompareExchange(&g_listings, 0, 0) == 0; ++i)
            ::Sleep(10);
        ASSERT_EQ(1, g_listings);
        AddStoredTask(L"\\Late", xml);
        RunAutostarts();
        EXPECT_EQ(1, g_listings) << "the walk took the listing made ahead";
        EXPECT_TRUE(StoredTask(L"\\Late") != NULL);
    }
    {
        // A worker's listing connected while it waited for its run is the
        // run's; a scope within the run takes none of its own.
        CTaskListing* const made = new CTaskListing(CTaskListing::kWhenAsked);
        const CTaskListingAhead ahead(made);
        const CTaskListingAhead inner(new CTaskListing(CTaskListing::kWhenAsked));
        StartTaskListingAhead();
        EXPECT_EQ(made, TaskListingAhead());
        std::vector<ScheduledTask> listed;
        EXPECT_TRUE(made->Take(listed));
        EXPECT_EQ(2, g_listings);
    }
    // Without a scan's listing the walk asks for itself.
    StartTaskListingAhead();
    EXPECT_TRUE(TaskListingAhead() == NULL);
    RunAutostarts();
    EXPECT_TRUE(StoredTask(L"\\Late") == NULL);
    EXPECT_NE(std::string::npos, Logged().find("\t任务计划\t\\Late\r\n")) << Logged();
    EXPECT_FALSE(FileExists(script));
    g_listings = 0;
    SetTaskStoreForTests(NULL);
}

TEST(TaskSchedulerTest, TheSystemsTasksAreListedWhereItHasTaskScheduler2)
{
    // Wine's Task Scheduler answers the listing; what it cannot do the
    // cases above stand in for.
    CComApartment apartment;
    std::vector<ScheduledTask> tasks;
    ListScheduledTasks(tasks);
    for (size_t i = 0; i < tasks.size(); ++i)
        EXPECT_EQ(L'\\', tasks[i].path[0]) << Narrow(tasks[i].path);
}
