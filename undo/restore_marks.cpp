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
    CHandle file(::CreateFileW((folder + kRestoreMarksName).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    OpenFileFacts facts;
    if (!file.IsValid() || !QueryOpenFile(file, facts) || (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        facts.size < 2 || facts.size > kMaxMarksBytes || facts.size % 2 || !IsProgramOwned(file))
        return;
    std::string bytes(static_cast<size_t>(facts.size), '\0');
    DWORD read = 0;
    if (!::ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, NULL) || read != bytes.size() ||
        bytes.compare(0, 2, "\xFF\xFE") != 0)
        return;
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / sizeof(wchar_t));
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
