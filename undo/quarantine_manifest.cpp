#include "undo/quarantine_manifest.h"

#include <cwchar>

#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "undo/program_folder.h"

const wchar_t kStateKept[] = L"kept";
const wchar_t kStateScheduledKept[] = L"scheduled, kept";
const wchar_t kStateScheduledNotKept[] = L"scheduled, not kept";
const wchar_t kStateDeletedNotKept[] = L"deleted, not kept";
const wchar_t kStateLeftInPlace[] = L"left in place";
const wchar_t kStateChanged[] = L"changed, kept";
const wchar_t kStateRegistryNotKept[] = L"changed, not kept";
const wchar_t kRecordFile[] = L"file";
const wchar_t kRecordFolder[] = L"folder";
const wchar_t kRecordAttributes[] = L"attributes";
const wchar_t kRecordRegistry[] = L"registry";
const wchar_t kRecordTask[] = L"task";

const wchar_t kManifestName[] = L"manifest.txt";
const wchar_t kManifestNone[] = L"-";

std::wstring HexDigits(ULONGLONG value, int digits)
{
    wchar_t text[24];
    if (digits == 16)
        swprintf(text, 24, L"%08lx%08lx", static_cast<unsigned long>(value >> 32),
                 static_cast<unsigned long>(value & 0xFFFFFFFF));
    else
        swprintf(text, 24, L"%08lx", static_cast<unsigned long>(value));
    return text;
}

ULONGLONG FileTimeValue(const FILETIME& time) { return (ULONGLONG(time.dwHighDateTime) << 32) | time.dwLowDateTime; }

namespace {

FILETIME TimeFromValue(ULONGLONG value)
{
    FILETIME time = {static_cast<DWORD>(value & 0xFFFFFFFF), static_cast<DWORD>(value >> 32)};
    return time;
}

bool ParseHex(const std::wstring& text, ULONGLONG& value)
{
    if (text.empty() || text.size() > 16)
        return false;
    value = 0;
    for (size_t i = 0; i < text.size(); ++i)
    {
        const wchar_t c = text[i];
        const int digit = (c >= L'0' && c <= L'9') ? c - L'0' : (c >= L'a' && c <= L'f') ? c - L'a' + 10 : -1;
        if (digit < 0)
            return false;
        value = (value << 4) | ULONGLONG(digit);
    }
    return true;
}

bool ParseDecimal(const std::wstring& text, ULONGLONG& value)
{
    if (text.empty() || text.size() > 19)
        return false;
    value = 0;
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] < L'0' || text[i] > L'9')
            return false;
        value = value * 10 + ULONGLONG(text[i] - L'0');
    }
    return true;
}

void Split(const std::wstring& line, wchar_t separator, std::vector<std::wstring>& fields)
{
    fields.clear();
    std::wstring::size_type start = 0;
    for (;;)
    {
        const std::wstring::size_type end = line.find(separator, start);
        fields.push_back(line.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos)
            return;
        start = end + 1;
    }
}

bool ParseManifestRecord(const std::wstring& line, ManifestRecord& r)
{
    std::vector<std::wstring> fields;
    Split(line, L'\t', fields);
    if (fields.size() != 11 || fields[0].empty() || fields[1].empty() || fields[2].empty())
        return false;
    ULONGLONG volume = 0, attributes = 0, created = 0, accessed = 0, written = 0;
    if (fields[3].size() != 8 || fields[4].size() != 8 || !ParseHex(fields[3], volume) ||
        !ParseHex(fields[4], attributes) || !ParseDecimal(fields[5], r.size) || fields[6].size() != 16 ||
        fields[7].size() != 16 || fields[8].size() != 16 || !ParseHex(fields[6], created) ||
        !ParseHex(fields[7], accessed) || !ParseHex(fields[8], written))
        return false;
    if (fields[9] != kManifestNone && fields[9].size() != 64)
        return false;
    r.kind = fields[0];
    r.state = fields[1];
    r.path = fields[2];
    r.volume = static_cast<DWORD>(volume);
    r.attributes = static_cast<DWORD>(attributes);
    r.created = TimeFromValue(created);
    r.accessed = TimeFromValue(accessed);
    r.written = TimeFromValue(written);
    r.sha256 = fields[9];
    r.stored = fields[10];
    return true;
}

}  // namespace

ManifestRecord::ManifestRecord() : volume(0), attributes(0), size(0)
{
    created = accessed = written = TimeFromValue(0);
    sha256 = stored = kManifestNone;
}

std::wstring FormatManifestRecord(const ManifestRecord& r)
{
    wchar_t size[24];
    swprintf(size, 24, L"%llu", r.size);
    // A registry name may hold tabs and line breaks: they never split the
    // record.
    const std::wstring path = WithoutControlChars(r.path);
    return r.kind + L"\t" + r.state + L"\t" + path + L"\t" + HexDigits(r.volume, 8) + L"\t" + HexDigits(r.attributes, 8) +
           L"\t" + size + L"\t" + HexDigits(FileTimeValue(r.created), 16) + L"\t" + HexDigits(FileTimeValue(r.accessed), 16) + L"\t" +
           HexDigits(FileTimeValue(r.written), 16) + L"\t" + r.sha256 + L"\t" + r.stored;
}

bool ReadManifest(const std::wstring& folder, std::vector<ManifestRecord>& records, bool* complete, int* bad)
{
    records.clear();
    *complete = false;
    *bad = 0;
    CHandle file(::CreateFileW((WithBackslash(folder) + kManifestName).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file.IsValid() || !::GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || info.nFileSizeHigh || info.nFileSizeLow > (64u << 20) ||
        !IsProgramOwned(file))
        return false;
    std::string bytes(info.nFileSizeLow, '\0');
    DWORD read = 0;
    if (!bytes.empty() && (!::ReadFile(file, &bytes[0], info.nFileSizeLow, &read, NULL) || read != bytes.size()))
        return false;
    std::wstring text;
    if (bytes.size() >= 2 && bytes.compare(0, 2, "\xFF\xFE") == 0)
    {
        if (bytes.size() % 2)
            return false;
        text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    }
    else if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
    {
        const int count = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data() + 3,
                                                static_cast<int>(bytes.size() - 3), NULL, 0);
        if (bytes.size() > 3 && count <= 0)
            return false;
        text.resize(count);
        if (count)
            ::MultiByteToWideChar(CP_UTF8, 0, bytes.data() + 3, static_cast<int>(bytes.size() - 3), &text[0], count);
    }
    else
    {
        return false;
    }
    std::vector<std::wstring> lines;
    Split(text, L'\n', lines);
    // Every line ends in a line break: what follows the last one is empty.
    const bool ended = !lines.empty() && lines.back().empty();
    if (!lines.empty())
        lines.pop_back();
    for (size_t i = 0; i < lines.size(); ++i)
    {
        std::wstring line = lines[i];
        if (!line.empty() && line[line.size() - 1] == L'\r')
            line.erase(line.size() - 1);
        if (line.compare(0, 4, L"end\t") == 0)
        {
            ULONGLONG count = 0;
            *complete = ended && i + 1 == lines.size() && ParseDecimal(line.substr(4), count) &&
                        count == records.size() + *bad;
            continue;
        }
        ManifestRecord record;
        if (ParseManifestRecord(line, record))
            records.push_back(record);
        else
            ++*bad;
    }
    if (!ended)
        ++*bad;  // a last line cut short
    return true;
}

// The manifest's text is UTF-16 little endian with a byte-order mark.
std::string Utf16LeBytes(const std::wstring& text)
{
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (size_t i = 0; i < text.size(); ++i)
    {
        bytes += static_cast<char>(text[i] & 0xFF);
        bytes += static_cast<char>((text[i] >> 8) & 0xFF);
    }
    return bytes;
}

// Appends `text` to an open file, the byte-order mark first when it is empty.
DWORD AppendUtf16Text(HANDLE file, const std::wstring& text)
{
    std::string bytes;
    if (::GetFileSize(file, NULL) == 0)
        bytes = "\xFF\xFE";
    bytes += Utf16LeBytes(text);
    DWORD written = 0;
    ::SetFilePointer(file, 0, NULL, FILE_END);
    return ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL) ? ERROR_SUCCESS
                                                                                              : ::GetLastError();
}

