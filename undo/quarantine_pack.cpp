#include "undo/quarantine_pack.h"

#include <cwchar>
#include <vector>

#include "platform/array_count.h"
#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "platform/folder_calls.h"
#include "platform/held_path.h"
#include "platform/sha256.h"
#include "undo/quarantine_pruning.h"

namespace {

const DWORD kChunk = 65536;

// Why a file was not kept, as the manifest says it.
struct NoCopyRow
{
    CopyResult result;
    const wchar_t* reason;
};
const NoCopyRow kNoCopyReasons[] = {
    {kCopyMade, L""},
    {kCopyLocked, L"locked"},
    {kCopyUnreadable, L"unreadable"},
    {kCopyNotAFile, L"not a plain file"},
    {kCopyTooLarge, L"larger than 64 MiB"},
    {kCopyNoRoom, L"no room within the limits"},
    {kCopyFailed, L"the copy could not be written"},
    {kCopyOtherVolume, L"on another volume than its drive"},
    {kCopyLinked, L"it has other names (hard links)"},
    {kCopyNothing, L"missing"},
};

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

}  // namespace

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

const wchar_t* NoCopyReason(CopyResult result)
{
    for (size_t i = 0; i < ArrayCount(kNoCopyReasons); ++i)
    {
        if (kNoCopyReasons[i].result == result)
            return kNoCopyReasons[i].reason;
    }
    return L"";
}

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

