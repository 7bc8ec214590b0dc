#include "undo/quarantine_payloads.h"

#include <string>
#include <vector>

#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "undo/program_folder.h"

const wchar_t kPayloadListName[] = L"payloads.txt";

namespace {

const wchar_t kPayloadMark[] = L"payload\t";
const wchar_t kRestoredMark[] = L"restored\t";
// A list of more than some ten thousand payloads is no list of ours.
const DWORD kMaxListBytes = 4u << 20;

DWORD AppendMark(const std::wstring& folder, const wchar_t* mark, const std::wstring& stored)
{
    CHandle file;
    DWORD error = OpenFileForSafeWrite(WithBackslash(folder) + kPayloadListName, false, file);
    if (error != ERROR_SUCCESS)
        return error;
    const std::wstring line = std::wstring(mark) + stored + L"\r\n";
    std::string bytes;
    if (::GetFileSize(file, NULL) == 0)
        bytes = "\xFF\xFE";
    bytes.append(reinterpret_cast<const char*>(line.data()), line.size() * sizeof(wchar_t));
    DWORD written = 0;
    ::SetFilePointer(file, 0, NULL, FILE_END);
    if (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL))
        return ::GetLastError();
    return written == bytes.size() ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

bool StartsWith(const std::wstring& line, const wchar_t* mark, std::wstring& rest)
{
    const std::wstring text(mark);
    if (line.compare(0, text.size(), text) != 0)
        return false;
    rest = line.substr(text.size());
    return !rest.empty();
}

}  // namespace

DWORD NotePayloadKept(const std::wstring& folder, const std::wstring& stored)
{
    return AppendMark(folder, kPayloadMark, stored);
}

DWORD NotePayloadRestored(const std::wstring& folder, const std::wstring& stored)
{
    return AppendMark(folder, kRestoredMark, stored);
}

void ReadKeptPayloads(const std::wstring& folder, std::set<std::wstring>& stored)
{
    stored.clear();
    std::wstring text;
    if (!ReadProgramOwnedText(WithBackslash(folder) + kPayloadListName, kMaxListBytes, text))
        return;
    // Only whole lines count: a line cut short by a scan that stopped there
    // names nothing.
    std::set<std::wstring> restored;
    size_t from = 0;
    for (size_t end = text.find(L"\r\n"); end != std::wstring::npos; from = end + 2, end = text.find(L"\r\n", from))
    {
        const std::wstring line = text.substr(from, end - from);
        std::wstring name;
        if (StartsWith(line, kPayloadMark, name))
            stored.insert(name);
        else if (StartsWith(line, kRestoredMark, name))
            restored.insert(name);
    }
    for (std::set<std::wstring>::const_iterator i = restored.begin(); i != restored.end(); ++i)
        stored.erase(*i);
}
