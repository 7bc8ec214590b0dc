#include "undo/quarantine.h"

#include <map>

#include <algorithm>
#include <new>
#include <cwchar>

#include <shlwapi.h>

#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "platform/reg_views.h"
#include "platform/registry.h"
#include "platform/sha256.h"
#include "platform/system_function.h"
#include "undo/program_folder.h"
#include "undo/quarantine_payloads.h"
#include "undo/registry_journal.h"
#include "undo/root_listings.h"

namespace {

bool ParseManifestRecord(const std::wstring& line, ManifestRecord& r);
std::wstring RegistryValueLine(const wchar_t* name, DWORD type, const BYTE* data, DWORD size);

}  // namespace

const wchar_t kStateKept[] = L"kept";
const wchar_t kStateScheduledKept[] = L"scheduled, kept";
const wchar_t kStateScheduledNotKept[] = L"scheduled, not kept";
const wchar_t kStateDeletedNotKept[] = L"deleted, not kept";
const wchar_t kStateLeftInPlace[] = L"left in place";
const wchar_t kStateChanged[] = L"changed, kept";
const wchar_t kStateRegistryNotKept[] = L"changed, not kept";
const wchar_t kRecordTask[] = L"task";

namespace {

const wchar_t kManifestName[] = L"manifest.txt";
const wchar_t kNone[] = L"-";
const DWORD kChunk = 65536;

std::wstring Hex(ULONGLONG value, int digits)
{
    wchar_t text[24];
    if (digits == 16)
        swprintf(text, 24, L"%08lx%08lx", static_cast<unsigned long>(value >> 32),
                 static_cast<unsigned long>(value & 0xFFFFFFFF));
    else
        swprintf(text, 24, L"%08lx", static_cast<unsigned long>(value));
    return text;
}

ULONGLONG TimeValue(const FILETIME& time) { return (ULONGLONG(time.dwHighDateTime) << 32) | time.dwLowDateTime; }

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

// The folder's files and their bytes; reparse points are left out.
ULONGLONG FolderBytes(const std::wstring& folder)
{
    std::vector<DirEntry> entries;
    ULONGLONG total = 0;
    if (!ListFolder(folder + L"*", entries))
        return 0;
    for (size_t i = 0; i < entries.size(); ++i)
        if (!entries[i].IsFolder() && !(entries[i].attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            total += (ULONGLONG(entries[i].sizeHigh) << 32) | entries[i].sizeLow;
    return total;
}

// Deletes one quarantine folder: its files, then itself. A link inside is
// removed as a link, never followed.
void RemoveQuarantine(const std::wstring& folder)
{
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    {
        std::vector<DirEntry> entries;
        ListFolder(WithBackslash(folder) + L"*", entries);
        for (size_t i = 0; i < entries.size(); ++i)
        {
            const std::wstring path = WithBackslash(folder) + entries[i].name;
            if (entries[i].IsFolder())
                ::RemoveDirectoryW(path.c_str());
            else
                DeleteFileClearingReadOnly(path.c_str());
        }
    }
    ::RemoveDirectoryW(folder.c_str());
}

ULONGLONG LocalTimeValue(const SYSTEMTIME& time)
{
    FILETIME value;
    return ::SystemTimeToFileTime(&time, &value) ? TimeValue(value) : 0;
}

// The manifest's text is UTF-16 little endian with a byte-order mark.
std::string Utf16Bytes(const std::wstring& text)
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
DWORD AppendUtf16(HANDLE file, const std::wstring& text)
{
    std::string bytes;
    if (::GetFileSize(file, NULL) == 0)
        bytes = "\xFF\xFE";
    bytes += Utf16Bytes(text);
    DWORD written = 0;
    ::SetFilePointer(file, 0, NULL, FILE_END);
    return ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL) ? ERROR_SUCCESS
                                                                                              : ::GetLastError();
}

// Why a file could not be kept.
enum CopyResult
{
    kCopyMade,
    kCopyLocked,
    kCopyUnreadable,
    kCopyNotAFile,
    kCopyTooLarge,
    kCopyNoRoom,
    kCopyFailed,
    kCopyOtherVolume,
    kCopyLinked,   // a file with other names (hard links): not kept, not deleted
    kCopyNothing,  // nothing at the path: the change fails by itself
};

// The serial number of the volume of the drive a path names; false when
// unknown.
bool DriveSerial(const std::wstring& path, DWORD& serial)
{
    serial = 0;
    const std::wstring drive = DriveRootOf(path);
    return !drive.empty() && GetVolumeSerial(drive, serial);
}

// Opens the file to be kept as itself (a link in its place is not
// followed). kCopyMade when open; kCopyNothing when there is nothing at the
// path to keep.
CopyResult OpenSource(const std::wstring& path, CHandle& source)
{
    source.Attach(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                NULL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, NULL));
    if (source.IsValid())
        return kCopyMade;
    const DWORD error = ::GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
        return kCopyLocked;
    // Not readable: whether anything is there at all.
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES && ::GetLastError() != ERROR_SHARING_VIOLATION)
        return kCopyNothing;
    return kCopyUnreadable;
}

// Copies the open file, masked, to `stored`, filling the record's details.
// What the open file is, and on which volume: `record` gets its details.
// A file in a drive root named as the root's listing names it, opened as
// itself, lies on the volume the listing in use read (`listedSerial`, when
// `inListedRoot`); anywhere else a folder on the way may lead elsewhere,
// and the volume is asked of the file (the call is far slower).
CopyResult DescribeSource(HANDLE source, bool inListedRoot, DWORD listedSerial, bool driveKnown, DWORD driveSerial,
                          ManifestRecord& record)
{
    OpenFileFacts facts;
    if (inListedRoot)
    {
        if (!QueryOpenFile(source, facts))
            return kCopyUnreadable;
        record.volume = listedSerial;
    }
    else
    {
        BY_HANDLE_FILE_INFORMATION info;
        if (!g_folderCalls.getInformation(source, &info))
            return kCopyUnreadable;
        record.volume = info.dwVolumeSerialNumber;
        // A folder on the way that leads to another volume (a junction on
        // the stick): the file is not the one its path seems to name.
        if (!driveKnown || driveSerial != info.dwVolumeSerialNumber)
            return kCopyOtherVolume;
        facts.attributes = info.dwFileAttributes;
        facts.links = info.nNumberOfLinks;
        facts.size = (ULONGLONG(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        facts.created = info.ftCreationTime;
        facts.accessed = info.ftLastAccessTime;
        facts.written = info.ftLastWriteTime;
    }
    record.attributes = facts.attributes;
    record.size = facts.size;
    record.created = facts.created;
    record.accessed = facts.accessed;
    record.written = facts.written;
    // Another name of the file may lie anywhere on the volume, in a place
    // the user cannot read: its bytes are never kept, nor put back where
    // this name was.
    return facts.links > 1 ? kCopyLinked : kCopyMade;
}

// The attributes and times of what is at the path, by its path.
bool AttributeDataOf(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return false;
    info.dwFileAttributes = data.dwFileAttributes;
    info.ftCreationTime = data.ftCreationTime;
    info.ftLastAccessTime = data.ftLastAccessTime;
    info.ftLastWriteTime = data.ftLastWriteTime;
    return true;
}

// Cuts the pack back to `size` bytes: a copy begun there goes again.
void CutPack(HANDLE pack, ULONGLONG size)
{
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(size);
    if (::SetFilePointerEx(pack, position, NULL, FILE_BEGIN))
        ::SetEndOfFile(pack);
}

// Copies the open file, masked, to the end of the pack (`packSize` bytes
// long), filling the record's details.
CopyResult CopyMasked(HANDLE source, bool inListedRoot, DWORD listedSerial, bool driveKnown, DWORD driveSerial,
                      HANDLE pack, ULONGLONG packSize, ULONGLONG room, ManifestRecord& record)
{
    const CopyResult described = DescribeSource(source, inListedRoot, listedSerial, driveKnown, driveSerial, record);
    if (described != kCopyMade)
        return described;
    if (record.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        return kCopyNotAFile;  // a link is never followed out of where it sits
    if (record.size > kMaxKeptFileBytes)
        return kCopyTooLarge;
    if (record.size > room)
        return kCopyNoRoom;

    CSha256 hash;
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(packSize);
    if (!hash.IsValid() || !::SetFilePointerEx(pack, end, NULL, FILE_BEGIN))
        return kCopyFailed;
    std::vector<BYTE> buffer(kChunk);
    ULONGLONG offset = 0;
    bool ok = true;
    // One byte past the size it had at most: a file that grows meanwhile
    // (others may write it) is not copied on and on into the pack.
    while (offset <= record.size)
    {
        const ULONGLONG left = record.size + 1 - offset;
        const DWORD wanted = left < kChunk ? static_cast<DWORD>(left) : kChunk;
        DWORD read = 0;
        if (!::ReadFile(source, &buffer[0], wanted, &read, NULL))
        {
            ok = false;
            break;
        }
        if (read == 0)
            break;
        hash.Update(&buffer[0], read);
        MaskBytes(&buffer[0], read, offset);
        DWORD written = 0;
        if (!::WriteFile(pack, &buffer[0], read, &written, NULL) || written != read)
        {
            ok = false;
            break;
        }
        offset += read;
    }
    record.sha256 = hash.HexDigest();
    if (ok && offset == record.size && !record.sha256.empty())
        return kCopyMade;
    CutPack(pack, packSize);
    return ok ? kCopyFailed : kCopyUnreadable;
}

const wchar_t* const kNoCopyReasons[] = {
    L"", L"locked", L"unreadable", L"not a plain file", L"larger than 64 MiB", L"no room within the limits",
    L"the copy could not be written", L"on another volume than its drive", L"it has other names (hard links)",
    L"missing",
};

// Registry roots as scripts name them.
struct RootName
{
    HKEY key;
    const wchar_t* name;
};
const RootName kRoots[] = {
    {HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE"}, {HKEY_USERS, L"HKEY_USERS"},
    {HKEY_CLASSES_ROOT, L"HKEY_CLASSES_ROOT"},   {HKEY_CURRENT_USER, L"HKEY_CURRENT_USER"},
    {HKEY_CURRENT_CONFIG, L"HKEY_CURRENT_CONFIG"},
};

// The kernel's names of the two hives roots, and the script's.
const RootName kKernelRoots[] = {
    {NULL, L"\\REGISTRY\\MACHINE"},
    {NULL, L"\\REGISTRY\\USER"},
};
const wchar_t* const kKernelRootNames[] = {L"HKEY_LOCAL_MACHINE", L"HKEY_USERS"};

typedef LONG(NTAPI* PFNNTQUERYKEY)(HANDLE, int, void*, ULONG, ULONG*);

std::wstring KernelKeyName(HKEY key)
{
    static PFNNTQUERYKEY query = SystemFunction<PFNNTQUERYKEY>(L"ntdll.dll", "NtQueryKey");
    if (!query)
        return std::wstring();
    std::vector<BYTE> buffer(4096);
    ULONG needed = 0;
    const int kKeyNameInformation = 3;
    LONG status = query(key, kKeyNameInformation, &buffer[0], static_cast<ULONG>(buffer.size()), &needed);
    if (status < 0 && needed > buffer.size())
    {
        buffer.resize(needed);
        status = query(key, kKeyNameInformation, &buffer[0], static_cast<ULONG>(buffer.size()), &needed);
    }
    if (status < 0)
        return std::wstring();
    const ULONG bytes = *reinterpret_cast<const ULONG*>(&buffer[0]);
    if (bytes + sizeof(ULONG) > buffer.size())
        return std::wstring();
    const std::wstring name(reinterpret_cast<const wchar_t*>(&buffer[sizeof(ULONG)]), bytes / sizeof(wchar_t));
    for (size_t i = 0; i < sizeof(kKernelRoots) / sizeof(kKernelRoots[0]); ++i)
    {
        const size_t length = lstrlenW(kKernelRoots[i].name);
        if (name.size() >= length && ::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, name.c_str(),
                                                      static_cast<int>(length), kKernelRoots[i].name,
                                                      static_cast<int>(length)) == CSTR_EQUAL &&
            (name.size() == length || name[length] == L'\\'))
            return kKernelRootNames[i] + name.substr(length);
    }
    return std::wstring();
}

// A key name of a script ("HKEY_CLASSES_ROOT\.lnk") split into its root and
// path; false for an unknown root.
bool SplitKeyName(const std::wstring& name, HKEY& root, std::wstring& path)
{
    const std::wstring::size_type slash = name.find(L'\\');
    const std::wstring head = name.substr(0, slash);
    for (size_t i = 0; i < sizeof(kRoots) / sizeof(kRoots[0]); ++i)
        if (head == kRoots[i].name)
        {
            root = kRoots[i].key;
            path = slash == std::wstring::npos ? std::wstring() : name.substr(slash + 1);
            return true;
        }
    return false;
}

// A name a registry script can carry on its line: no line break or NUL in
// it, and for a key no "]" either (which would end the key's line early).
bool FitsScriptLine(const wchar_t* name, size_t length, bool key)
{
    for (size_t i = 0; i < length; ++i)
        if (name[i] == L'\r' || name[i] == L'\n' || name[i] == L'\0' || (key && name[i] == L']'))
            return false;
    return true;
}

bool FitsScriptLine(const std::wstring& name, bool key) { return FitsScriptLine(name.data(), name.size(), key); }

std::wstring QuotedName(const wchar_t* name)
{
    if (!name || !*name)
        return L"@";
    std::wstring text = L"\"";
    for (const wchar_t* p = name; *p; ++p)
    {
        if (*p == L'\\' || *p == L'"')
            text += L'\\';
        text += *p;
    }
    return text + L"\"";
}

bool IsPlainText(const BYTE* data, DWORD size)
{
    if (size < 2 || size % 2)
        return false;
    const wchar_t* text = reinterpret_cast<const wchar_t*>(data);
    const DWORD count = size / 2;
    if (text[count - 1] != 0)
        return false;
    for (DWORD i = 0; i + 1 < count; ++i)
        if (text[i] == 0 || text[i] == L'\r' || text[i] == L'\n')
            return false;
    return true;
}

// The value as the script's line for the key `key` (already named), or
// "name"=- when it does not exist.
std::wstring OldValueLine(HKEY key, const wchar_t* name)
{
    DWORD type = 0, size = 0;
    LONG status = ::RegQueryValueExW(key, name, NULL, &type, NULL, &size);
    if (status == ERROR_FILE_NOT_FOUND)
        return QuotedName(name) + L"=-\r\n";
    std::vector<BYTE> data(size + 2);
    for (int attempt = 0; status == ERROR_SUCCESS || status == ERROR_MORE_DATA; ++attempt)
    {
        DWORD got = static_cast<DWORD>(data.size());
        status = ::RegQueryValueExW(key, name, NULL, &type, &data[0], &got);
        if (status == ERROR_SUCCESS)
            return RegistryValueLine(name, type, &data[0], got);
        if (status != ERROR_MORE_DATA || attempt > 4)
            break;
        data.resize(got + 2);
    }
    return std::wstring();
}

}  // namespace

ManifestRecord::ManifestRecord() : volume(0), attributes(0), size(0)
{
    created = accessed = written = TimeFromValue(0);
    sha256 = stored = kNone;
}

std::wstring GetQuarantineRootPath()
{
    const std::wstring folder = GetProgramFolderPath();
    return folder.empty() ? folder : folder + L"Quarantine\\";
}

void MaskBytes(BYTE* bytes, DWORD size, ULONGLONG offset)
{
    static const BYTE kMask[16] = {0x5A, 0xC3, 0x96, 0x3C, 0xA5, 0x69, 0x0F, 0xE1,
                                   0x78, 0x2D, 0xB4, 0x4B, 0xD2, 0x87, 0x1E, 0xF0};
    for (DWORD i = 0; i < size; ++i)
        bytes[i] ^= kMask[(offset + i) & 15];
}

const wchar_t kPackName[] = L"kept.bin";

std::wstring PackedName(ULONGLONG offset)
{
    wchar_t text[32];
    swprintf(text, 32, L"@%llu", static_cast<unsigned long long>(offset));
    return kPackName + std::wstring(text);
}

bool ParseStoredName(const std::wstring& stored, std::wstring& file, ULONGLONG& offset)
{
    offset = 0;
    const std::wstring pack = std::wstring(kPackName) + L"@";
    const bool packed = stored.compare(0, pack.size(), pack) == 0;
    // The digits: an offset in the pack, or a whole file's number.
    const size_t first = packed ? pack.size() : 0;
    const size_t last = packed ? stored.size() : (stored.size() >= 8 ? stored.size() - 4 : 0);
    if (last <= first || last - first > 19 || (!packed && stored.compare(last, 4, L".bin") != 0))
        return false;
    for (size_t i = first; i < last; ++i)
    {
        if (stored[i] < L'0' || stored[i] > L'9')
            return false;
        if (packed)
            offset = offset * 10 + static_cast<ULONGLONG>(stored[i] - L'0');
    }
    file = packed ? std::wstring(kPackName) : stored;
    return true;
}

std::wstring FormatManifestRecord(const ManifestRecord& r)
{
    wchar_t size[24];
    swprintf(size, 24, L"%llu", r.size);
    // A registry name may hold tabs and line breaks: they never split the
    // record.
    const std::wstring path = WithoutControlChars(r.path);
    return r.kind + L"\t" + r.state + L"\t" + path + L"\t" + Hex(r.volume, 8) + L"\t" + Hex(r.attributes, 8) +
           L"\t" + size + L"\t" + Hex(TimeValue(r.created), 16) + L"\t" + Hex(TimeValue(r.accessed), 16) + L"\t" +
           Hex(TimeValue(r.written), 16) + L"\t" + r.sha256 + L"\t" + r.stored;
}

namespace {

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
    if (fields[9] != kNone && fields[9].size() != 64)
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

bool ParseQuarantineName(const std::wstring& name, SYSTEMTIME& time)
{
    if (name.size() < 15 || name[8] != L'-' || (name.size() > 15 && name[15] != L'-'))
        return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (i != 8 && i != 15 && (name[i] < L'0' || name[i] > L'9'))
            return false;
    if (name.size() == 16)
        return false;
    const wchar_t* p = name.c_str();
    ZeroMemory(&time, sizeof(time));
    time.wYear = static_cast<WORD>(_wtoi(std::wstring(p, 4).c_str()));
    time.wMonth = static_cast<WORD>(_wtoi(std::wstring(p + 4, 2).c_str()));
    time.wDay = static_cast<WORD>(_wtoi(std::wstring(p + 6, 2).c_str()));
    time.wHour = static_cast<WORD>(_wtoi(std::wstring(p + 9, 2).c_str()));
    time.wMinute = static_cast<WORD>(_wtoi(std::wstring(p + 11, 2).c_str()));
    time.wSecond = static_cast<WORD>(_wtoi(std::wstring(p + 13, 2).c_str()));
    FILETIME check;
    return ::SystemTimeToFileTime(&time, &check) != FALSE;
}

ULONGLONG PruneQuarantines(const std::wstring& root, const SYSTEMTIME& now)
{
    std::vector<DirEntry> entries;
    if (!ListFolder(root + L"*", entries))
        return 0;
    std::vector<std::pair<std::wstring, ULONGLONG> > quarantines;  // name, bytes; oldest first
    ULONGLONG total = 0;
    for (size_t i = 0; i < entries.size(); ++i)
    {
        SYSTEMTIME time;
        if (!entries[i].IsFolder() || (entries[i].attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !ParseQuarantineName(entries[i].name, time))
            continue;
        const ULONGLONG bytes = FolderBytes(root + entries[i].name + L"\\");
        quarantines.push_back(std::make_pair(entries[i].name, bytes));
        total += bytes;
    }
    std::sort(quarantines.begin(), quarantines.end());
    const ULONGLONG youngest = LocalTimeValue(now) - ULONGLONG(kQuarantineKeepDays) * 24 * 3600 * 10000000;
    size_t count = quarantines.size();
    for (size_t i = 0; i < quarantines.size() && (count > kMaxQuarantines || total > kMaxQuarantineBytes); ++i)
    {
        SYSTEMTIME time;
        ParseQuarantineName(quarantines[i].first, time);
        if (LocalTimeValue(time) > youngest)
            break;  // this one and all after it are younger than the limit
        RemoveQuarantine(root + quarantines[i].first);
        --count;
        total -= quarantines[i].second;
    }
    return total;
}

std::wstring RegistryKeyName(HKEY key)
{
    for (size_t i = 0; i < sizeof(kRoots) / sizeof(kRoots[0]); ++i)
        if (key == kRoots[i].key)
        {
            if (key != HKEY_CURRENT_USER)
                return kRoots[i].name;
            // The user's hive by its own name, as an elevated editor sees it.
            HKEY user = NULL;
            if (::RegOpenCurrentUser(KEY_READ, &user) != ERROR_SUCCESS)
                return kRoots[i].name;
            const std::wstring name = KernelKeyName(user);
            ::RegCloseKey(user);
            return name.empty() ? std::wstring(kRoots[i].name) : name;
        }
    return KernelKeyName(key);
}

namespace {

std::wstring RegistryValueLine(const wchar_t* name, DWORD type, const BYTE* data, DWORD size)
{
    std::wstring line = QuotedName(name) + L"=";
    if (type == REG_SZ && IsPlainText(data, size))
    {
        const std::wstring text(reinterpret_cast<const wchar_t*>(data), size / 2 - 1);
        line += L"\"";
        for (size_t i = 0; i < text.size(); ++i)
        {
            if (text[i] == L'\\' || text[i] == L'"')
                line += L'\\';
            line += text[i];
        }
        return line + L"\"\r\n";
    }
    if (type == REG_DWORD && size == 4)
        return line + L"dword:" + Hex(*reinterpret_cast<const DWORD*>(data), 8) + L"\r\n";
    wchar_t prefix[16];
    if (type == REG_BINARY)
        lstrcpyW(prefix, L"hex:");
    else
        swprintf(prefix, 16, L"hex(%lx):", static_cast<unsigned long>(type));
    line += prefix;
    size_t column = line.size();
    static const wchar_t kDigits[] = L"0123456789abcdef";
    for (DWORD i = 0; i < size; ++i)
    {
        line += kDigits[data[i] >> 4];
        line += kDigits[data[i] & 15];
        column += 2;
        if (i + 1 < size)
        {
            line += L',';
            ++column;
            if (column > 76)
            {
                line += L"\\\r\n  ";
                column = 2;
            }
        }
    }
    return line + L"\r\n";
}

}  // namespace

namespace {

// Appends the key's tree to the script; false when a name cannot be carried
// or the script would grow past `maxChars`.
bool ExportRegistryTree(HKEY key, const std::wstring& name, std::wstring& script, REGSAM view, size_t maxChars)
{
    DWORD subkeys = 0, maxSubkey = 0, values = 0, maxValueName = 0, maxData = 0;
    if (!FitsScriptLine(name, true) ||
        ::RegQueryInfoKeyW(key, NULL, NULL, NULL, &subkeys, &maxSubkey, NULL, &values, &maxValueName, &maxData, NULL,
                           NULL) != ERROR_SUCCESS)
        return false;
    script += L"[" + name + L"]\r\n";
    std::vector<wchar_t> valueName(maxValueName + 2);
    std::vector<BYTE> data(maxData + 2);
    for (DWORD i = 0; i < values; ++i)
    {
        DWORD nameChars = static_cast<DWORD>(valueName.size());
        DWORD type = 0, size = static_cast<DWORD>(data.size());
        if (::RegEnumValueW(key, i, &valueName[0], &nameChars, NULL, &type, &data[0], &size) != ERROR_SUCCESS ||
            !FitsScriptLine(&valueName[0], nameChars, false))
            return false;
        script += RegistryValueLine(&valueName[0], type, &data[0], size);
        if (script.size() > maxChars)
            return false;  // past what the quarantine may take
    }
    script += L"\r\n";
    std::vector<wchar_t> subkeyName(maxSubkey + 2);
    for (DWORD i = 0; i < subkeys; ++i)
    {
        DWORD chars = static_cast<DWORD>(subkeyName.size());
        if (::RegEnumKeyExW(key, i, &subkeyName[0], &chars, NULL, NULL, NULL, NULL) != ERROR_SUCCESS ||
            !FitsScriptLine(&subkeyName[0], chars, true))
            return false;
        CRegKey subkey;
        if (subkey.Open(key, &subkeyName[0], KEY_READ | view) != ERROR_SUCCESS ||
            !ExportRegistryTree(subkey, name + L"\\" + &subkeyName[0], script, view, maxChars))
            return false;
    }
    return true;
}

}  // namespace

namespace {

// A key as it really is, read directly and named by its own name in the
// registry script.
struct KeyPlace
{
    HKEY root;
    std::wstring path;  // below root; may be empty
    std::wstring name;  // the script's name of root\path; empty when unknown
    bool always;        // false: the user's classes, kept only where the key exists
    REGSAM view;        // the registry view it is read in (0: the process's own)

    KeyPlace(HKEY r, const std::wstring& p, const std::wstring& n, bool a, REGSAM v)
        : root(r), path(p), name(n), always(a), view(v)
    {
    }

    LONG Open(CRegKey& key) const
    {
        return name.empty() ? ERROR_INVALID_HANDLE : key.Open(root, path.c_str(), KEY_READ | view);
    }
};

// The script's name of a machine key read in the 32-bit view of a 64-bit
// Windows: its copy below WOW6432Node, where the native editor puts it back.
std::wstring NameInView(HKEY root, const std::wstring& path, REGSAM view)
{
    static const wchar_t kSoftware[] = L"SOFTWARE\\";
    const size_t length = sizeof(kSoftware) / sizeof(kSoftware[0]) - 1;
    if (view != KEY_WOW64_32KEY || root != HKEY_LOCAL_MACHINE || !IsRedirectedKey(root, path.c_str()) ||
        path.size() < length || ::StrCmpNIW(path.c_str(), kSoftware, static_cast<int>(length)) != 0)
        return path;
    return path.substr(0, length) + L"WOW6432Node\\" + path.substr(length);
}

// Where root\path really is. The predefined HKEY_CLASSES_ROOT is a merged
// view of the machine's classes and the user's: both go, separately and
// each by its own name, so that nothing of the user's is ever put back as
// the machine's.
void KeyPlaces(HKEY root, const std::wstring& path, REGSAM view, std::vector<KeyPlace>& places)
{
    places.clear();
    const std::wstring below = path.empty() ? std::wstring() : L"\\" + path;
    if (root != HKEY_CLASSES_ROOT)
    {
        const std::wstring name = RegistryKeyName(root);
        const std::wstring viewed = NameInView(root, path, view);
        places.push_back(KeyPlace(root, path, name.empty() ? name : name + (viewed.empty() ? viewed : L"\\" + viewed),
                                  true, view));
        return;
    }
    places.push_back(KeyPlace(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes" + below,
                              L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes" + below, true, 0));
    CRegKey user;
    if (user.Open(HKEY_CURRENT_USER, L"Software\\Classes", KEY_READ) != ERROR_SUCCESS)
        return;  // no classes of the user's: nothing of theirs in the view
    const std::wstring name = KernelKeyName(user);
    places.push_back(KeyPlace(HKEY_CURRENT_USER, L"Software\\Classes" + below, name.empty() ? name : name + below,
                              false, 0));
}

// The first key of the place's path that is missing, as a script's
// deletion block: the key a write makes goes again with all below it.
std::wstring MissingKeyBlock(const KeyPlace& place)
{
    std::wstring::size_type end = 0;
    do
    {
        end = place.path.find(L'\\', end + 1);
        CRegKey probe;
        if (probe.Open(place.root, place.path.substr(0, end).c_str(), KEY_READ | place.view) == ERROR_FILE_NOT_FOUND)
            break;
    } while (end != std::wstring::npos);
    const std::wstring::size_type cut = place.name.size() - place.path.size() + std::min(end, place.path.size());
    return L"[-" + place.name.substr(0, cut) + L"]\r\n\r\n";
}

}  // namespace

CQuarantine::CQuarantine(const std::wstring& root)
    : m_root(root), m_folderFailed(root.empty()), m_usedBytes(0), m_packSize(0), m_records(0), m_pending(false),
      m_blockBytes(0)
{
}

bool CQuarantine::EnsurePack()
{
    // Made new in the scan's own folder, which this program has just made.
    if (!m_pack.IsValid())
        m_pack.Attach(::CreateFileW((m_folder + kPackName).c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    return m_pack.IsValid();
}

void CQuarantine::Prune(const SYSTEMTIME& now)
{
    // Only a root this program holds is walked: a folder planted there
    // before is taken over or, when it is a link, left alone.
    const DWORD attributes = m_root.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(m_root.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (GetProgramFolder().empty() || SecureFolder(m_root.substr(0, m_root.size() - 1)) != ERROR_SUCCESS)
    {
        m_folderFailed = true;
        return;
    }
    m_usedBytes = PruneQuarantines(m_root, now);
}

bool CQuarantine::EnsureFolder()
{
    if (!m_folder.empty())
        return true;
    if (m_folderFailed)
        return false;
    m_folderFailed = true;
    if (GetProgramFolder().empty() || SecureFolder(m_root.substr(0, m_root.size() - 1)) != ERROR_SUCCESS)
        return false;
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t name[32];
    swprintf(name, 32, L"%04u%02u%02u-%02u%02u%02u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
             now.wSecond);
    // A new folder of its own: a name taken already gets a number.
    for (int n = 1; n <= 9; ++n)
    {
        std::wstring folder = m_root + name;
        if (n > 1)
        {
            wchar_t suffix[8];
            swprintf(suffix, 8, L"-%d", n);
            folder += suffix;
        }
        if (::CreateDirectoryW(folder.c_str(), NULL))
        {
            m_folder = folder + L"\\";
            m_folderFailed = false;
            return true;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

bool CQuarantine::DriveSerialOf(const std::wstring& path, DWORD& serial)
{
    // Asked once per drive and scan: the system reads the volume each time.
    const std::wstring drive = DriveRootOf(path);
    std::map<std::wstring, DWORD>::const_iterator known = m_driveSerials.find(drive);
    if (known != m_driveSerials.end())
    {
        serial = known->second;
        return !drive.empty();
    }
    const bool read = DriveSerial(path, serial);
    if (read)
        m_driveSerials[drive] = serial;
    return read;
}

void CQuarantine::AppendLine(const std::wstring& line)
{
    // Opened once and kept for the scan: every record goes to the file as
    // it is made, so a scan cut short leaves the records up to then.
    if (!m_manifest.IsValid() && OpenFileForSafeWrite(m_folder + kManifestName, false, m_manifest) != ERROR_SUCCESS)
        return;
    AppendUtf16(m_manifest, line);
}

void CQuarantine::Append(const ManifestRecord& record)
{
    AppendLine(FormatManifestRecord(record) + L"\r\n");
    ++m_records;
}

void CQuarantine::Finish()
{
    if (m_folder.empty())
        return;
    wchar_t end[32];
    swprintf(end, 32, L"end\t%lu\r\n", static_cast<unsigned long>(m_records));
    AppendLine(end);
    m_manifest.Close();
    m_pack.Close();
    // Should the script not be composed now, its blocks stay, and /restore
    // composes it.
    if (m_journal.Close() > 0)
        ComposeRegistryScript(m_folder);
}

IChangeRecorder::Verdict CQuarantine::BeforeFile(const ChangeRequest& change)
{
    const bool scheduled = change.kind == kChangeScheduleDelete;
    // A held deletion is kept through the gateway's handle on the file; one
    // the gateway could not hold is not made (a locked file is left, and
    // said so).
    CHandle own;
    HANDLE source = change.held;
    CopyResult result = kCopyMade;
    if (!source && change.heldError != ERROR_SUCCESS)
        result = change.heldError == ERROR_SHARING_VIOLATION || change.heldError == ERROR_LOCK_VIOLATION
                     ? kCopyLocked
                     : kCopyNothing;
    else if (!source)
    {
        result = OpenSource(change.path, own);
        source = own;
    }
    if (result == kCopyNothing)
        return kMake;
    m_record = ManifestRecord();
    m_record.kind = L"file";
    m_record.path = change.path;
    if (!EnsureFolder())
        result = kCopyFailed;
    else if (result == kCopyMade && !EnsurePack())
        result = kCopyFailed;
    else if (result == kCopyMade)
    {
        const ULONGLONG room = m_usedBytes < kMaxQuarantineBytes ? kMaxQuarantineBytes - m_usedBytes : 0;
        DWORD serial = 0;
        const bool known = DriveSerialOf(change.path, serial);
        std::wstring root, name;
        DWORD listedSerial = 0;
        const bool inListedRoot = SplitRootEntry(change.path, root, name) && ListedRootSerial(root, listedSerial);
        result = CopyMasked(source, inListedRoot, listedSerial, known, serial, m_pack, m_packSize, room, m_record);
        own.Close();
        if (result == kCopyMade)
        {
            m_record.stored = PackedName(m_packSize);
            m_packSize += m_record.size;
            m_usedBytes += m_record.size;
            m_record.state = scheduled ? kStateScheduledKept : kStateKept;
            m_pending = true;
            return kMake;
        }
    }
    m_record.sha256 = kNone;
    if (change.rule == kDeleteUncopied && result != kCopyOtherVolume && result != kCopyLinked)
    {
        m_record.state = scheduled ? kStateScheduledNotKept : kStateDeletedNotKept;
        m_pending = true;
        return kMake;
    }
    // May be the user's: without a copy it stays, and the manifest says why.
    if (!m_folder.empty())
    {
        m_record.state = std::wstring(kStateLeftInPlace) + L" (" + kNoCopyReasons[result] + L")";
        Append(m_record);
    }
    return kLeave;
}

bool CQuarantine::ValueBlock(const ChangeRequest& change, std::wstring& block)
{
    bool kept = true;
    // A value written into a subkey names the subkey in its path; a
    // subkey that is not there yet goes again on the way back.
    std::vector<KeyPlace> places;
    KeyPlaces(change.key, change.path, 0, places);
    m_record.path = (places[0].name.empty() ? L"?" : places[0].name) + L"\\" + (change.name ? change.name : L"");
    for (size_t i = 0; i < places.size(); ++i)
    {
        const KeyPlace& place = places[i];
        CRegKey key;
        const LONG opened = place.Open(key);
        if (opened == ERROR_FILE_NOT_FOUND && !place.always)
            continue;
        const bool fits = FitsScriptLine(place.name, true) && (!change.name || FitsScriptLine(change.name, false));
        if (opened == ERROR_FILE_NOT_FOUND && !place.path.empty())
        {
            const std::wstring missing = MissingKeyBlock(place);
            kept = kept && fits;
            block += missing;
            continue;
        }
        const std::wstring line = opened != ERROR_SUCCESS || !fits ? std::wstring() : OldValueLine(key, change.name);
        kept = kept && !line.empty();
        block += L"[" + place.name + L"]\r\n" + line + L"\r\n";
    }
    return kept;
}

bool CQuarantine::TreeBlock(const ChangeRequest& change, std::wstring& block, size_t maxChars)
{
    // A reset key keeps its values; they are exported as they were, for
    // the record.
    std::vector<KeyPlace> places;
    KeyPlaces(change.key, change.name ? change.name : L"", change.view, places);
    m_record.path = places[0].name.empty() ? L"?" : places[0].name;
    bool kept = change.name != NULL;
    for (size_t i = 0; i < places.size() && kept; ++i)
    {
        CRegKey key;
        const LONG opened = places[i].Open(key);
        if (opened == ERROR_FILE_NOT_FOUND && !places[i].always)
            continue;
        kept = opened == ERROR_SUCCESS && ExportRegistryTree(key, places[i].name, block, places[i].view, maxChars);
    }
    return kept;
}

bool CQuarantine::ImportBlock(const ChangeRequest& change, std::wstring& block, size_t maxChars)
{
    bool kept = true;
    for (const wchar_t* name = change.scriptKeys; name && *name; name += lstrlenW(name) + 1)
    {
        // The key goes whole and comes back as it was, or not at all
        // when it was not there.
        m_record.path += (m_record.path.empty() ? L"" : L" ") + std::wstring(name);
        HKEY root = NULL;
        std::wstring path;
        std::vector<KeyPlace> places;
        // Each editor writes its own view: the native one on 64-bit
        // Windows, the 32-bit one otherwise.
        const REGSAM view = !HasTwoRegViews() ? 0 : change.nativeView ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
        if (SplitKeyName(name, root, path))
            KeyPlaces(root, path, view, places);
        if (places.empty())
            kept = false;
        for (size_t i = 0; i < places.size(); ++i)
        {
            CRegKey key;
            const LONG opened = places[i].Open(key);
            if (opened == ERROR_FILE_NOT_FOUND && !places[i].always)
                continue;
            if (places[i].name.empty() || !FitsScriptLine(places[i].name, true))
            {
                kept = false;
                continue;
            }
            block += L"[-" + places[i].name + L"]\r\n\r\n";
            if (opened == ERROR_SUCCESS &&
                !ExportRegistryTree(key, places[i].name, block, places[i].view, maxChars))
                kept = false;
        }
    }
    return kept;
}

bool CQuarantine::ComposeBlock(const ChangeRequest& change, std::wstring& block, size_t maxChars)
{
    bool kept = false;
    switch (change.kind)
    {
    case kChangeSetValue:
    case kChangeDeleteValue:
        kept = ValueBlock(change, block);
        break;
    case kChangeDeleteTree:
    case kChangeResetKeyAccess:
        kept = TreeBlock(change, block, maxChars);
        break;
    case kChangeImportScript:
        kept = ImportBlock(change, block, maxChars);
        break;
    default:
        break;
    }
    return kept && block.size() <= maxChars;
}

IChangeRecorder::Verdict CQuarantine::BeforeRegistry(const ChangeRequest& change)
{
    m_record = ManifestRecord();
    m_record.kind = L"registry";
    m_record.state = kStateChanged;
    m_blockBytes = 0;
    // A tree larger than the room left (or than one kept file may be) is
    // changed without its old state, as a tree that cannot be read is.
    ULONGLONG room = m_usedBytes < kMaxQuarantineBytes ? kMaxQuarantineBytes - m_usedBytes : 0;
    if (room > kMaxKeptFileBytes)
        room = kMaxKeptFileBytes;
    std::wstring block;
    bool kept = false;
    try
    {
        kept = ComposeBlock(change, block, static_cast<size_t>(room / sizeof(wchar_t)));
    }
    catch (const std::bad_alloc&)
    {
        // Out of memory for the old state: not kept, and the scan goes on
        // to its log.
        kept = false;
    }
    if (!kept)
    {
        std::wstring().swap(block);
        m_record.state = kStateRegistryNotKept;
        m_pending = true;
        return kMake;
    }
    // The block is on disk before the change is made: no block, no change.
    const DWORD written = EnsureFolder() ? m_journal.Append(m_folder, block) : ERROR_PATH_NOT_FOUND;
    if (written != ERROR_SUCCESS)
    {
        if (!m_folder.empty())
        {
            m_record.state = std::wstring(kStateLeftInPlace) + L" (" + kNoCopyReasons[kCopyFailed] + L")";
            Append(m_record);
        }
        return kLeave;
    }
    m_blockBytes = JournalBytesOf(block);
    m_usedBytes += m_blockBytes;
    m_pending = true;
    return kMake;
}

IChangeRecorder::Verdict CQuarantine::Before(const ChangeRequest& change)
{
    m_pending = false;
    m_blockBytes = 0;
    switch (change.kind)
    {
    case kChangeDeleteFile:
    case kChangeScheduleDelete:
        return BeforeFile(change);
    case kChangeSetAttributes:
    case kChangeRemoveFolder:
    {
        // Read through the gateway's handle when it holds the path.
        BY_HANDLE_FILE_INFORMATION data;
        if (change.held ? !::GetFileInformationByHandle(change.held, &data)
                        : change.heldError != ERROR_SUCCESS || !AttributeDataOf(change.path, data))
            return kMake;  // nothing there to change
        m_record = ManifestRecord();
        m_record.kind = change.kind == kChangeSetAttributes ? L"attributes" : L"folder";
        m_record.state = kStateChanged;
        m_record.path = change.path;
        m_record.attributes = data.dwFileAttributes;
        m_record.created = data.ftCreationTime;
        m_record.accessed = data.ftLastAccessTime;
        m_record.written = data.ftLastWriteTime;
        DriveSerialOf(change.path, m_record.volume);
        m_pending = true;
        return kMake;
    }
    case kChangeSetValue:
    case kChangeDeleteValue:
    case kChangeDeleteTree:
    case kChangeResetKeyAccess:
    case kChangeImportScript:
        return BeforeRegistry(change);
    case kChangeEndProcess:
        break;
    case kChangeDeleteTask:
        return BeforeTask(change);
    }
    return kMake;
}

IChangeRecorder::Verdict CQuarantine::BeforeTask(const ChangeRequest& change)
{
    // The task's definition in a file of its own beside the pack: restore
    // registers it again from there.
    const std::wstring xml(static_cast<const wchar_t*>(change.data));
    const std::string bytes = "\xFF\xFE" + Utf16Bytes(xml);
    // The definition counts against the room all quarantines share.
    const ULONGLONG room = m_usedBytes < kMaxQuarantineBytes ? kMaxQuarantineBytes - m_usedBytes : 0;
    if (bytes.size() > room || bytes.size() > kMaxKeptFileBytes || !EnsureFolder())
        return kLeave;
    wchar_t name[32];
    swprintf(name, 32, L"task-%04lu.xml", static_cast<unsigned long>(m_records + 1));
    if (WriteFreshFile(m_folder + name, bytes.data(), static_cast<DWORD>(bytes.size())) != ERROR_SUCCESS)
        return kLeave;  // without its definition a task is not deleted
    m_record = ManifestRecord();
    m_record.kind = kRecordTask;
    m_record.state = kStateKept;
    m_record.path = change.path;
    m_record.size = bytes.size();
    m_record.stored = name;
    m_usedBytes += bytes.size();
    m_pending = true;
    return kMake;
}

void CQuarantine::After(const ChangeRequest& change, bool succeeded)
{
    if (!m_pending)
        return;
    m_pending = false;
    if (!succeeded)
    {
        // Nothing changed: the copy made for it (the last in the pack)
        // goes again.
        if (m_record.kind == kRecordTask)
        {
            ::DeleteFileW((m_folder + m_record.stored).c_str());
            m_usedBytes -= m_record.size;
        }
        else if (m_record.stored != kNone)
        {
            m_packSize -= m_record.size;
            CutPack(m_pack, m_packSize);
            m_usedBytes -= m_record.size;
        }
        // And so does the registry block made for it; a folder made for
        // that block alone goes with it.
        if (m_blockBytes)
        {
            m_journal.DropLast();
            m_usedBytes -= m_blockBytes;
            m_blockBytes = 0;
            if (m_records == 0 && m_journal.Blocks() == 0 && !m_pack.IsValid() && !m_manifest.IsValid())
            {
                m_journal.Close();
                ::DeleteFileW((m_folder + kRegistryJournalName).c_str());
                ::RemoveDirectoryW(m_folder.c_str());
                m_folder.clear();
                m_folderFailed = false;
            }
        }
        return;
    }
    m_blockBytes = 0;
    // The folder is made by the first change that was made.
    if (!EnsureFolder())
        return;
    Append(m_record);
    // A stick payload's copy is marked as one: the autostart walk knows the
    // worm by it in later scans.
    if (change.payload && m_record.kind == L"file" && m_record.stored != kNone)
        NotePayloadKept(m_folder, m_record.stored);
}
