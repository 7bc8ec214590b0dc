#include "platform/task_scheduler.h"

#include <windows.h>
#include <oleauto.h>
#include <taskschd.h>

#include "platform/array_count.h"
#include "platform/shell_link.h"

namespace {

const TaskStore* g_store = NULL;

// Folders deeper than this are no one's.
const int kMaxFolderDepth = 16;

// One owner of one BSTR.
class CBstr
{
public:
    explicit CBstr(const std::wstring& text) : m_text(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())))
    {
    }
    CBstr() : m_text(NULL) {}
    ~CBstr() { ::SysFreeString(m_text); }
    BSTR Get() const { return m_text; }
    BSTR* Receive()
    {
        ::SysFreeString(m_text);
        m_text = NULL;
        return &m_text;
    }
    std::wstring Text() const { return m_text ? std::wstring(m_text, ::SysStringLen(m_text)) : std::wstring(); }

private:
    CBstr(const CBstr&);
    CBstr& operator=(const CBstr&);
    BSTR m_text;
};

VARIANT Empty()
{
    VARIANT empty;
    ::VariantInit(&empty);
    return empty;
}

bool Connect(CComOwner<ITaskService>& service)
{
    if (FAILED(::CoCreateInstance(CLSID_TaskScheduler, NULL, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                  reinterpret_cast<void**>(service.Receive()))))
        return false;
    return SUCCEEDED(service->Connect(Empty(), Empty(), Empty(), Empty()));
}

bool OpenFolder(ITaskService* service, const std::wstring& path, CComOwner<ITaskFolder>& folder)
{
    CBstr name(path.empty() ? L"\\" : path);
    return SUCCEEDED(service->GetFolder(name.Get(), folder.Receive()));
}

void ListFolderTasks(ITaskFolder* folder, int depth, std::vector<ScheduledTask>& tasks)
{
    CComOwner<IRegisteredTaskCollection> collection;
    LONG count = 0;
    if (SUCCEEDED(folder->GetTasks(TASK_ENUM_HIDDEN, collection.Receive())) && SUCCEEDED(collection->get_Count(&count)))
    {
        for (LONG i = 1; i <= count; ++i)
        {
            VARIANT index = Empty();
            index.vt = VT_I4;
            index.lVal = i;
            CComOwner<IRegisteredTask> task;
            CBstr path, xml;
            if (FAILED(collection->get_Item(index, task.Receive())) || FAILED(task->get_Path(path.Receive())))
                continue;
            ScheduledTask found;
            found.path = path.Text();
            if (SUCCEEDED(task->get_Xml(xml.Receive())))
                found.xml = xml.Text();
            tasks.push_back(found);
        }
    }
    CComOwner<ITaskFolderCollection> folders;
    if (depth >= kMaxFolderDepth || FAILED(folder->GetFolders(0, folders.Receive())) ||
        FAILED(folders->get_Count(&count)))
        return;
    for (LONG i = 1; i <= count; ++i)
    {
        VARIANT index = Empty();
        index.vt = VT_I4;
        index.lVal = i;
        CComOwner<ITaskFolder> child;
        if (SUCCEEDED(folders->get_Item(index, child.Receive())))
            ListFolderTasks(child.Get(), depth + 1, tasks);
    }
}

void SplitTaskPath(const std::wstring& path, std::wstring& folder, std::wstring& name)
{
    const std::wstring::size_type slash = path.find_last_of(L'\\');
    folder = slash == std::wstring::npos || slash == 0 ? L"\\" : path.substr(0, slash);
    name = slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// The XML of a task brought back without its stored password: to run as
// the interactive user, disabled until someone enters the password again.
std::wstring WithoutStoredPassword(const std::wstring& xml, bool& disabled)
{
    disabled = false;
    std::wstring text(xml);
    const std::wstring password = L"<LogonType>Password</LogonType>";
    const std::wstring::size_type at = text.find(password);
    if (at == std::wstring::npos)
        return text;
    text.replace(at, password.size(), L"<LogonType>InteractiveToken</LogonType>");
    const std::wstring::size_type settings = text.find(L"<Settings>");
    if (settings == std::wstring::npos)
        return text;
    const std::wstring::size_type end = text.find(L"</Settings>", settings);
    const std::wstring::size_type enabled = text.find(L"<Enabled>", settings);
    const std::wstring::size_type enabledEnd = text.find(L"</Enabled>", settings);
    if (enabled != std::wstring::npos && enabled < end && enabledEnd != std::wstring::npos && enabledEnd < end)
        text.replace(enabled, enabledEnd + 10 - enabled, L"<Enabled>false</Enabled>");
    else
        text.insert(settings + 10, L"<Enabled>false</Enabled>");
    disabled = true;
    return text;
}

const struct
{
    const wchar_t* entity;
    wchar_t character;
} kEntities[] = {
    {L"&amp;", L'&'}, {L"&lt;", L'<'}, {L"&gt;", L'>'}, {L"&quot;", L'"'}, {L"&apos;", L'\''},
};

std::wstring DecodeEntities(const std::wstring& text)
{
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i)
    {
        bool decoded = false;
        for (size_t e = 0; e < ArrayCount(kEntities) && !decoded; ++e)
        {
            const std::wstring entity(kEntities[e].entity);
            if (text.compare(i, entity.size(), entity) == 0)
            {
                out += kEntities[e].character;
                i += entity.size() - 1;
                decoded = true;
            }
        }
        if (!decoded)
            out += text[i];
    }
    return out;
}

// Every task the connected service (or the test store) has.
bool ListTasksOf(ITaskService* service, std::vector<ScheduledTask>& tasks)
{
    tasks.clear();
    if (g_store)
        return g_store->list(tasks);
    CComOwner<ITaskFolder> root;
    if (!service || !OpenFolder(service, L"\\", root))
        return false;
    ListFolderTasks(root.Get(), 0, tasks);
    return true;
}

}  // namespace

bool ListScheduledTasks(std::vector<ScheduledTask>& tasks)
{
    CComOwner<ITaskService> service;
    if (!g_store && !Connect(service))
    {
        tasks.clear();
        return false;
    }
    return ListTasksOf(service.Get(), tasks);
}

CTaskListing::CTaskListing(Start start) : m_canceled(0), m_listed(false)
{
    // Without its event a listing held back could not be held: it is made
    // by Take instead, on the caller's thread.
    if (start == kWhenAsked)
    {
        m_go.Attach(::CreateEventW(NULL, TRUE, FALSE, NULL));
        if (!m_go.IsValid())
            return;
    }
    m_thread.Attach(::CreateThread(NULL, 0, ListOnThread, this, 0, NULL));
}

CTaskListing::~CTaskListing()
{
    if (!m_thread.IsValid())
        return;
    ::InterlockedExchange(&m_canceled, 1);
    ListNow();
    ::WaitForSingleObject(m_thread, INFINITE);
}

void CTaskListing::ListNow()
{
    if (m_go.IsValid())
        ::SetEvent(m_go);
}

DWORD WINAPI CTaskListing::ListOnThread(void* parameter)
{
    CTaskListing* listing = static_cast<CTaskListing*>(parameter);
    const HRESULT com = ::CoInitializeEx(NULL, COINIT_MULTITHREADED);
    {
        // Connecting reads no task: it may come before the word to list.
        CComOwner<ITaskService> service;
        const bool connected = g_store || Connect(service);
        if (listing->m_go.IsValid())
            ::WaitForSingleObject(listing->m_go, INFINITE);
        if (!::InterlockedCompareExchange(&listing->m_canceled, 0, 0))
        {
            bool listed = connected && ListTasksOf(service.Get(), listing->m_tasks);
            if (!listed && !g_store && !::InterlockedCompareExchange(&listing->m_canceled, 0, 0))
            {
                // Made long before the word (while a window waited for its
                // press), the connection may have failed or gone: once more.
                CComOwner<ITaskService> again;
                listed = Connect(again) && ListTasksOf(again.Get(), listing->m_tasks);
            }
            listing->m_listed = listed;
        }
    }
    if (SUCCEEDED(com))
        ::CoUninitialize();
    return 0;
}

bool CTaskListing::Take(std::vector<ScheduledTask>& tasks)
{
    if (!m_thread.IsValid())
        return ListScheduledTasks(tasks);
    ListNow();
    ::WaitForSingleObject(m_thread, INFINITE);
    tasks.swap(m_tasks);
    m_tasks.clear();
    return m_listed;
}

bool DeleteScheduledTask(const std::wstring& path)
{
    if (g_store)
        return g_store->remove(path);
    std::wstring folderPath, name;
    SplitTaskPath(path, folderPath, name);
    CComOwner<ITaskService> service;
    CComOwner<ITaskFolder> folder;
    if (!Connect(service) || !OpenFolder(service.Get(), folderPath, folder))
        return false;
    CBstr taskName(name);
    return SUCCEEDED(folder->DeleteTask(taskName.Get(), 0));
}

bool RegisterScheduledTask(const std::wstring& path, const std::wstring& xml, bool& disabled, bool& taken)
{
    const std::wstring text = WithoutStoredPassword(xml, disabled);
    taken = false;
    if (g_store)
    {
        std::vector<ScheduledTask> tasks;
        if (!g_store->list(tasks))
            return false;
        for (size_t i = 0; i < tasks.size() && !taken; ++i)
            taken = tasks[i].path == path;
        return !taken && g_store->add(path, text);
    }
    std::wstring folderPath, name;
    SplitTaskPath(path, folderPath, name);
    CComOwner<ITaskService> service;
    CComOwner<ITaskFolder> folder;
    if (!Connect(service))
        return false;
    if (!OpenFolder(service.Get(), folderPath, folder))
    {
        CComOwner<ITaskFolder> root;
        CBstr sub(folderPath);
        if (!OpenFolder(service.Get(), L"\\", root) || FAILED(root->CreateFolder(sub.Get(), Empty(), folder.Receive())))
            return false;
    }
    CBstr taskName(name), definition(text);
    CComOwner<IRegisteredTask> task;
    const HRESULT result = folder->RegisterTask(taskName.Get(), definition.Get(), TASK_CREATE, Empty(), Empty(),
                                                TASK_LOGON_NONE, Empty(), task.Receive());
    taken = result == HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    return SUCCEEDED(result);
}

bool XmlElementText(const std::wstring& xml, const wchar_t* name, size_t& from, std::wstring& text)
{
    const std::wstring open = L"<" + std::wstring(name) + L">";
    const std::wstring close = L"</" + std::wstring(name) + L">";
    const std::wstring::size_type start = xml.find(open, from);
    if (start == std::wstring::npos)
        return false;
    const std::wstring::size_type end = xml.find(close, start + open.size());
    if (end == std::wstring::npos)
        return false;
    text = DecodeEntities(xml.substr(start + open.size(), end - start - open.size()));
    from = end + close.size();
    return true;
}

void SetTaskStoreForTests(const TaskStore* store) { g_store = store; }
