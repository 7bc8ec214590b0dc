#include "undo/restore_marks.h"

#include <cwchar>

#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "undo/program_folder.h"

const wchar_t kRestoreMarksName[] = L"restored.txt";

namespace {

const wchar_t kRegistryMark[] = L"registry";
const DWORD kMaxMarksBytes = 4 * 1024 * 1024;

// One line of the file; false for a line of no form it has.
bool ApplyMark(const std::wstring& line, RestoreMarks& marks)
{
    if (line == kRegistryMark)
    {
        marks.registry = true;
        return true;
    }
    if (line.empty() || line.size() > 9 || line.find_first_not_of(L"0123456789") != std::wstring::npos)
        return false;
    const size_t record = static_cast<size_t>(wcstoul(line.c_str(), NULL, 10));
    if (record >= marks.records.size())
        return false;
    marks.records[record] = true;
    return true;
}

}  // namespace

void ReadRestoreMarks(const std::wstring& folder, size_t recordCount, RestoreMarks& marks)
{
    marks = RestoreMarks();
    marks.records.assign(recordCount, false);
    std::wstring text;
    if (!ReadProgramOwnedText(folder + kRestoreMarksName, kMaxMarksBytes, text))
        return;
    RestoreMarks found;
    found.records.assign(recordCount, false);
    std::wstring::size_type start = 0;
    for (std::wstring::size_type end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
    {
        if (!ApplyMark(text.substr(start, end - start), found))
            return;  // damaged: nothing of it counts
    }
    if (start != text.size())
        return;
    marks = found;
}

DWORD WriteRestoreMarks(const std::wstring& folder, const RestoreMarks& marks)
{
    std::wstring text;
    for (size_t i = 0; i < marks.records.size(); ++i)
    {
        if (!marks.records[i])
            continue;
        wchar_t number[24];
        swprintf(number, 24, L"%lu\r\n", static_cast<unsigned long>(i));
        text += number;
    }
    if (marks.registry)
        text += std::wstring(kRegistryMark) + L"\r\n";
    std::string bytes = "\xFF\xFE";
    bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    return WriteFreshFile(folder + kRestoreMarksName, bytes.data(), static_cast<DWORD>(bytes.size()));
}
