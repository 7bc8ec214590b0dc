#include "undo/quarantine.h"

#include <cwchar>
#include <new>

#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "undo/program_folder.h"
#include "undo/quarantine_payloads.h"
#include "undo/root_listings.h"

namespace {

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

}  // namespace

std::wstring GetQuarantineRootPath()
{
    const std::wstring folder = GetProgramFolderPath();
    return folder.empty() ? folder : folder + L"Quarantine\\";
}

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
    AppendUtf16Text(m_manifest, line);
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
    m_record.kind = kRecordFile;
    m_record.path = change.path;
    if (!EnsureFolder())
        result = kCopyFailed;
    else if (result == kCopyMade && !EnsurePack())
        result = kCopyFailed;
    else if (result == kCopyMade)
    {
        const ULONGLONG room = RoomLeft();
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
    m_record.sha256 = kManifestNone;
    if (change.rule == kDeleteUncopied && result != kCopyOtherVolume && result != kCopyLinked)
    {
        m_record.state = scheduled ? kStateScheduledNotKept : kStateDeletedNotKept;
        m_pending = true;
        return kMake;
    }
    // May be the user's: without a copy it stays, and the manifest says why.
    if (!m_folder.empty())
    {
        m_record.state = std::wstring(kStateLeftInPlace) + L" (" + NoCopyReason(result) + L")";
        Append(m_record);
    }
    return kLeave;
}

ULONGLONG CQuarantine::RoomLeft() const
{
    return m_usedBytes < kMaxQuarantineBytes ? kMaxQuarantineBytes - m_usedBytes : 0;
}

bool CQuarantine::ComposeWithinRoom(const ChangeRequest& change, std::wstring& block)
{
    // A tree larger than the room left (or than one kept file may be) is
    // changed without its old state, as a tree that cannot be read is.
    ULONGLONG room = RoomLeft();
    if (room > kMaxKeptFileBytes)
        room = kMaxKeptFileBytes;
    try
    {
        return ComposeRegistryBlock(change, block, m_record.path, static_cast<size_t>(room / sizeof(wchar_t)));
    }
    catch (const std::bad_alloc&)
    {
        // Out of memory for the old state: not kept, and the scan goes on
        // to its log.
        return false;
    }
}

IChangeRecorder::Verdict CQuarantine::JournalBlock(const std::wstring& block)
{
    // The block is on disk before the change is made: no block, no change.
    const DWORD written = EnsureFolder() ? m_journal.Append(m_folder, block) : ERROR_PATH_NOT_FOUND;
    if (written != ERROR_SUCCESS)
    {
        if (!m_folder.empty())
        {
            m_record.state = std::wstring(kStateLeftInPlace) + L" (" + NoCopyReason(kCopyFailed) + L")";
            Append(m_record);
        }
        return kLeave;
    }
    m_blockBytes = JournalBytesOf(block);
    m_usedBytes += m_blockBytes;
    m_pending = true;
    return kMake;
}

IChangeRecorder::Verdict CQuarantine::BeforeRegistry(const ChangeRequest& change)
{
    m_record = ManifestRecord();
    m_record.kind = kRecordRegistry;
    m_record.state = kStateChanged;
    m_blockBytes = 0;
    std::wstring block;
    if (!ComposeWithinRoom(change, block))
    {
        std::wstring().swap(block);
        m_record.state = kStateRegistryNotKept;
        m_pending = true;
        return kMake;
    }
    return JournalBlock(block);
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
        m_record.kind = change.kind == kChangeSetAttributes ? kRecordAttributes : kRecordFolder;
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
    const std::string bytes = "\xFF\xFE" + Utf16LeBytes(xml);
    // The definition counts against the room all quarantines share.
    const ULONGLONG room = RoomLeft();
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
        else if (m_record.stored != kManifestNone)
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
    if (change.payload && m_record.kind == kRecordFile && m_record.stored != kManifestNone)
        NotePayloadKept(m_folder, m_record.stored);
}
