#include "undo/restore_task.h"

#include <windows.h>

#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "platform/task_scheduler.h"
#include "undo/program_folder.h"

namespace {

// A task's definition is a few KiB; nothing larger is read.
const DWORD kMaxTaskXmlBytes = 1024 * 1024;

std::wstring Line(const wchar_t* what, const std::wstring& path, const std::wstring& detail)
{
    return std::wstring(what) + L"\t" + path + (detail.empty() ? L"" : L"\t" + detail) + L"\r\n";
}

// "task-NNNN.xml": the only names the quarantine gives a definition.
bool IsTaskFileName(const std::wstring& name)
{
    if (name.size() != 13 || name.compare(0, 5, L"task-") != 0 || name.compare(9, 4, L".xml") != 0)
        return false;
    for (size_t i = 5; i < 9; ++i)
    {
        if (name[i] < L'0' || name[i] > L'9')
            return false;
    }
    return true;
}

const wchar_t* ReadDefinition(const std::wstring& folder, const ManifestRecord& record, std::wstring& xml)
{
    if (!IsTaskFileName(record.stored))
        return L"no kept definition";
    CHandle file(::CreateFileW((folder + record.stored).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    OpenFileFacts facts;
    if (!file.IsValid() || !QueryOpenFile(file, facts) || (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        facts.size > kMaxTaskXmlBytes || facts.size < 2 || facts.size % 2)
        return L"the kept definition is missing or damaged";
    if (!IsProgramOwned(file))
        return L"the kept definition was not made by this program";
    std::string bytes(static_cast<size_t>(facts.size), '\0');
    DWORD read = 0;
    if (!::ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, NULL) || read != bytes.size() ||
        bytes.compare(0, 2, "\xFF\xFE") != 0)
        return L"the kept definition could not be read";
    xml.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / sizeof(wchar_t));
    return NULL;
}

}  // namespace

std::wstring RestoreTask(const std::wstring& folder, const ManifestRecord& record, bool& ok)
{
    std::wstring xml;
    if (const wchar_t* refused = ReadDefinition(folder, record, xml))
    {
        ok = false;
        return Line(L"refused", record.path, refused);
    }
    bool disabled = false;
    bool taken = false;
    if (!RegisterScheduledTask(record.path, xml, disabled, taken))
    {
        ok = false;
        if (taken)
            return Line(L"refused", record.path, L"a task was registered at this path since: it is left as it is");
        return Line(L"failed", record.path, L"the Task Scheduler did not register the task");
    }
    if (disabled)
    {
        ok = false;
        return Line(L"restored disabled", record.path,
                    L"it ran with a stored password, which is not kept: enter it again to enable the task");
    }
    return Line(L"restored", record.path, L"");
}
