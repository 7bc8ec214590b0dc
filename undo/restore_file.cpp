#include "undo/restore_file.h"

#include <cwchar>

#include "platform/array_count.h"
#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "platform/held_path.h"
#include "platform/pending_deletes.h"
#include "platform/sha256.h"
#include "undo/program_folder.h"
#include "undo/quarantine.h"

namespace {

// Attributes a restored file or folder may get back.
const DWORD kRestorableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Names Windows reserves for devices, in any folder and with any extension.
const wchar_t* const kDeviceNames[] = {
    L"CON", L"PRN", L"AUX", L"NUL", L"COM1", L"COM2", L"COM3", L"COM4", L"COM5", L"COM6", L"COM7", L"COM8", L"COM9",
    L"LPT1", L"LPT2", L"LPT3", L"LPT4", L"LPT5", L"LPT6", L"LPT7", L"LPT8", L"LPT9", L"CONIN$", L"CONOUT$",
};

bool IsDeviceName(const std::wstring& component)
{
    const std::wstring base = component.substr(0, component.find(L'.'));
    for (size_t i = 0; i < ArrayCount(kDeviceNames); ++i)
        if (lstrcmpiW(base.c_str(), kDeviceNames[i]) == 0)
            return true;
    return false;
}

// A local path "X:\name\name..." (or "\\?\X:\..."): no "..", ".", stream,
// network or wildcard form; in the plain form no device name and no trailing
// dot or blank either (the extended form names such files as they are). The
// reason otherwise.
const wchar_t* CheckOriginalPath(const std::wstring& path)
{
    const size_t prefix = LongFormPrefix(path);
    if (DriveRootOf(path).empty() || path.size() < prefix + 4 || path.size() > 32000)
        return L"not a path on a drive";
    std::wstring::size_type start = prefix + 3;
    while (start <= path.size())
    {
        std::wstring::size_type end = path.find(L'\\', start);
        if (end == std::wstring::npos)
            end = path.size();
        const std::wstring component = path.substr(start, end - start);
        if (component.empty() || component == L"." || component == L"..")
            return L"a path that leaves its folder";
        for (size_t i = 0; i < component.size(); ++i)
            if (component[i] < 32 || wcschr(L"/:*?\"<>|", component[i]))
                return L"a path with a device, stream or wildcard form";
        const wchar_t last = component[component.size() - 1];
        if (!prefix && (last == L'.' || last == L' ' || IsDeviceName(component)))
            return L"a path with a device form";
        start = end + 1;
    }
    return NULL;
}

// Sets the attributes (and, when `times`, the times) through the handle.
bool SetBasics(HANDLE handle, const ManifestRecord& record, bool times, DWORD attributes)
{
    return SetBasicsThroughHandle(handle, attributes, times ? &record.created : NULL, times ? &record.accessed : NULL,
                                  times ? &record.written : NULL) == ERROR_SUCCESS;
}

void NoHook(const std::wstring&) {}

// Why the folders of a path could not be held.
const wchar_t* ChainProblem(DWORD error)
{
    switch (error)
    {
    case ERROR_SUCCESS:
        return NULL;
    case ERROR_DIRECTORY:
        return L"a file stands where its folder belongs";
    case ERROR_CANT_ACCESS_FILE:
        return L"a folder on the way is a link";
    default:
        return L"a folder on the way could not be opened or made";
    }
}

// The last name of a path.
std::wstring NameOf(const std::wstring& path) { return path.substr(path.rfind(L'\\') + 1); }

bool SameVolume(const ManifestRecord& record)
{
    DWORD serial = 0;
    const std::wstring drive = DriveRootOf(record.path);
    return !drive.empty() && GetVolumeSerial(drive, serial) && serial == record.volume;
}

// "name (restored).ext", then "name (restored 2).ext" and on.
std::wstring FreeName(const std::wstring& path)
{
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return path;
    const std::wstring::size_type slash = path.rfind(L'\\');
    std::wstring::size_type dot = path.rfind(L'.');
    if (dot == std::wstring::npos || dot < slash)
        dot = path.size();
    for (int n = 1; n <= 99; ++n)
    {
        wchar_t mark[32];
        if (n == 1)
            lstrcpyW(mark, L" (restored)");
        else
            swprintf(mark, 32, L" (restored %d)", n);
        const std::wstring candidate = path.substr(0, dot) + mark + path.substr(dot);
        if (::GetFileAttributesW(candidate.c_str()) == INVALID_FILE_ATTRIBUTES)
            return candidate;
    }
    return std::wstring();
}

// The kept bytes, unmasked; the reason when they cannot be had or do not
// match their SHA-256. A copy lies in the pack at its offset, or (in
// quarantines of earlier versions) is a file of its own.
const wchar_t* ReadKept(const std::wstring& folder, const ManifestRecord& record, std::string& bytes)
{
    std::wstring name;
    ULONGLONG offset = 0;
    if (!ParseStoredName(record.stored, name, offset) || record.size > kMaxKeptFileBytes)
        return L"no kept copy";
    const bool whole = name != kPackName;
    CHandle file(::CreateFileW((folder + name).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    OpenFileFacts facts;
    if (!file.IsValid() || !QueryOpenFile(file, facts) || (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        (whole ? facts.size != record.size : offset > facts.size || facts.size - offset < record.size))
        return L"the kept copy is missing or of another size";
    if (!IsProgramOwned(file))
        return L"the kept copy was not made by this program";
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    bytes.assign(static_cast<size_t>(record.size), '\0');
    DWORD read = 0;
    if (!bytes.empty() &&
        (!::SetFilePointerEx(file, position, NULL, FILE_BEGIN) ||
         !::ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, NULL) || read != bytes.size()))
        return L"the kept copy could not be read";
    if (!bytes.empty())
        MaskBytes(reinterpret_cast<BYTE*>(&bytes[0]), static_cast<DWORD>(bytes.size()), 0);
    CSha256 hash;
    hash.Update(bytes.data(), static_cast<DWORD>(bytes.size()));
    if (hash.HexDigest() != record.sha256)
        return L"the kept copy does not match its SHA-256";
    return NULL;
}

DWORD RestorableAttributes(DWORD attributes)
{
    const DWORD kept = attributes & kRestorableAttributes;
    return kept ? kept : FILE_ATTRIBUTE_NORMAL;
}

// Removes the file just made, through its handle.
void Discard(CHandle& file)
{
    DeleteThroughHandle(file);
    file.Close();
}

// Whether the file at the record's path holds the bytes the record kept.
bool HoldsKeptBytes(const ManifestRecord& record)
{
    CHandle file(::CreateFileW(record.path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    OpenFileFacts facts;
    if (!file.IsValid() || !QueryOpenFile(file, facts) || (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        facts.size != record.size || facts.size > kMaxKeptFileBytes)
        return false;
    std::string bytes(static_cast<size_t>(facts.size), '\0');
    DWORD read = 0;
    if (!bytes.empty() &&
        (!::ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, NULL) || read != bytes.size()))
        return false;
    CSha256 hash;
    hash.Update(bytes.data(), static_cast<DWORD>(bytes.size()));
    return hash.HexDigest() == record.sha256;
}

}  // namespace

void (*g_beforeRestoreWrite)(const std::wstring& target) = NoHook;

std::wstring RestoreLine(const wchar_t* what, const std::wstring& path, const std::wstring& detail)
{
    return std::wstring(what) + L"\t" + path + (detail.empty() ? L"" : L"\t" + detail) + L"\r\n";
}

// Puts one kept file back; the line for the report. The file is made in its
// held folder under an access list for Administrators and SYSTEM only (its
// old owner and access list are not kept), before any byte is written.
std::wstring RestoreFile(const std::wstring& folder, const ManifestRecord& record, bool& ok)
{
    ok = false;
    std::string bytes;
    const wchar_t* problem = CheckOriginalPath(record.path);
    if (!problem && !SameVolume(record))
        problem = L"its volume is not the one it was deleted from";
    if (!problem)
        problem = ReadKept(folder, record, bytes);
    CFolderChain chain;
    if (!problem)
        problem = ChainProblem(chain.Open(record.path, false, true));
    if (problem)
        return RestoreLine(L"refused", record.path, problem);
    const std::wstring target = FreeName(record.path);
    if (target.empty())
        return RestoreLine(L"refused", record.path, L"no free name beside it");
    g_beforeRestoreWrite(target);
    if (!chain.InPlace())
        return RestoreLine(L"refused", record.path, L"a folder on the way was moved or replaced");
    CHandle file;
    const ACCESS_MASK access = GENERIC_WRITE | DELETE | FILE_WRITE_ATTRIBUTES | READ_CONTROL | WRITE_DAC | WRITE_OWNER;
    if (chain.OpenIn(NameOf(target), access, 0, kCreateNew, kNonDirectoryOnly, file) != ERROR_SUCCESS)
        return RestoreLine(L"failed", record.path, L"could not be written");
    if (!FinalPathIs(file, target))
    {
        Discard(file);
        return RestoreLine(L"refused", record.path, L"a folder on the way was moved or replaced");
    }
    if (ProtectOpenObject(file) != ERROR_SUCCESS)
    {
        Discard(file);
        return RestoreLine(L"failed", record.path, L"its access list could not be set");
    }
    DWORD written = 0;
    if (!bytes.empty() &&
        (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL) || written != bytes.size()))
    {
        Discard(file);
        return RestoreLine(L"failed", record.path, L"could not be written");
    }
    SetBasics(file, record, true, RestorableAttributes(record.attributes));
    file.Close();
    ok = true;
    return RestoreLine(L"restored", target, target == record.path ? L"" : L"beside a file that came back meanwhile");
}

// Puts the attributes a scan changed back, or a folder it removed.
std::wstring RestoreFolderOrAttributes(const ManifestRecord& record, bool& ok)
{
    ok = false;
    const bool folder = record.kind == kRecordFolder;
    const wchar_t* problem = CheckOriginalPath(record.path);
    if (!problem && !SameVolume(record))
        problem = L"its volume is not the one it was changed on";
    CFolderChain chain;
    if (!problem)
        problem = ChainProblem(chain.Open(record.path, false, true));
    CHandle handle;
    BY_HANDLE_FILE_INFORMATION info;
    if (!problem)
    {
        const ACCESS_MASK access = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
        const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
        const DWORD options = folder ? kDirectoryOnly : 0;
        DWORD opened = chain.OpenIn(NameOf(record.path), access, share, kOpenExisting, options, handle);
        if (folder && (opened == ERROR_FILE_NOT_FOUND || opened == ERROR_PATH_NOT_FOUND))
            opened = chain.OpenIn(NameOf(record.path), access, share, kCreateNew, options, handle);
        if (opened != ERROR_SUCCESS || !::GetFileInformationByHandle(handle, &info) ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            problem = L"it is gone or a link";
        else if (!folder && info.nNumberOfLinks > 1)
            problem = L"another name of the file lies elsewhere";  // its attributes are that one's too
        else if (!chain.InPlace())
            problem = L"a folder on the way was moved or replaced";
    }
    if (problem)
        return RestoreLine(L"refused", record.path, problem);
    if (!SetBasics(handle, record, folder, RestorableAttributes(record.attributes)))
        return RestoreLine(L"failed", record.path, L"its attributes could not be set");
    ok = true;
    return RestoreLine(folder ? L"restored folder" : L"restored attributes", record.path, L"");
}


// A file the scan scheduled for deletion at the next start: the deletion
// is cancelled first. Still in place with the bytes kept, it is back as it
// was; otherwise its kept copy comes back (beside what stands there).
std::wstring RestoreScheduledFile(const std::wstring& folder, const ManifestRecord& record, bool& ok)
{
    ok = false;
    bool cancelled = false;
    if (CancelScheduledDeletion(record.path.substr(LongFormPrefix(record.path)), cancelled) != ERROR_SUCCESS)
        return RestoreLine(L"failed", record.path, L"its deletion at the next start could not be cancelled");
    if (cancelled && HoldsKeptBytes(record))
    {
        ok = true;
        return RestoreLine(L"restored", record.path, L"its deletion at the next start was cancelled");
    }
    return RestoreFile(folder, record, ok);
}
