#include "killers/file_fx.h"

#include <windows.h>
#include <shlwapi.h>

#include <set>

#include "killers/payload_identity.h"
#include "killers/scan_log.h"
#include "platform/array_count.h"
#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "platform/registry.h"
#include "platform/target_probe.h"
#include "undo/change_gate.h"
#include "undo/root_listings.h"

const char kLogAutorunFixed[] = "empty autorun fixed\t";
const char kLogShortcutDeleted[] = "删除文件夹1KB快捷方式\t";
const char kLogFolderShown[] = "恢复被木马隐藏的文件夹\t";
const char kLogFolderExeDeleted[] = "删除文件夹EXE\t";

namespace {

// Hidden or system folders whose names hold one of these keep their
// attributes: system, recycle, backup and quarantine folders.
const wchar_t* const kProtectedFolderNames[] = {
    L"GGHO",        L"pagefile.sys", L"System Volume Information", L"Recycle",
    L"Documents and Settings",       L"ProgramData", L"Config.Msi", L"vod_cache_data",
    L"Quarantine",  L"KV-Back.vir",  L"Boot",       L"found",      L"kankan",
    L"backup",      L"RAVBIN",       L"msdownld",   L"autorun.inf", L"maxdos",
    L"病毒隔离",    L"MaxBAK",       L"Cache",      L"dosh",       L"recovery",
};

// Executables of this size or more are never taken for folder impostors.
const DWORD kImpostorSizeLimit = 0x500000;  // 5 MiB

// The folder names an entry may pose as, in the order they are tried:
// "Photos .exe" gives "Photos" (a separator before the extension), then
// "Photos.exe" gives "Photos" (the plain extension). Empty: no candidate.
void ImpostorCandidates(const std::wstring& name, std::wstring candidates[2])
{
    candidates[0].clear();
    candidates[1].clear();
    const std::wstring::size_type dot = name.rfind(L'.');
    if (dot == std::wstring::npos || dot == 0)
        return;
    if (dot >= 2 && !::IsCharAlphaNumericW(name[dot - 1]))
        candidates[0] = name.substr(0, dot - 1);
    candidates[1] = name.substr(0, dot);
}

bool IsDanglingEntry(const wchar_t* entry, const std::wstring& file, const std::wstring& root)
{
    wchar_t text[261] = {0};
    const DWORD length = ::GetPrivateProfileStringW(L"AutoRun", entry, L"", text, 260, file.c_str());
    text[260] = L'\0';
    // A target on another machine is never opened: it counts as missing.
    return length != 0 && !CheckCommandTargets(text, root.c_str(), kRemoteIsMissing);
}

// What this command deleted, or was told it deleted (report-only declines
// a change and answers as if it was made): its passes do not ask about it
// again. What is deleted indeed the gateway also marks gone in the listing.
typedef std::set<const DirEntry*> DeletedHere;

// The entry of that name in the listing, unless this command deleted it.
const DirEntry* FindKept(const CNameIndex& index, const std::wstring& name, const DeletedHere& deleted)
{
    const DirEntry* entry = index.Find(name);
    return entry && !deleted.count(entry) ? entry : NULL;
}

void RepairAutorunIn(const std::wstring& root, const CNameIndex& index, DeletedHere& deleted)
{
    const DirEntry* autorun = FindKept(index, L"autorun.inf", deleted);
    if (!autorun || autorun->IsFolder() || (autorun->attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return;  // none, a folder of that name, or a link that could lead anywhere
    const std::wstring file = root + L"autorun.inf";
    {
        CQuietDriveAccess quiet;
        if (!CanOpenForRead(file.c_str()))
            return;  // no access (locked by another program)
    }
    const bool openDangles = IsDanglingEntry(L"Open", file, root);
    const bool shellExecuteDangles = IsDanglingEntry(L"ShellExecute", file, root);
    if (!openDangles && !shellExecuteDangles)
        return;
    // A file that will not go (locked by another program) is not fixed.
    if (GateDeleteFile(ListedPath(root, autorun->name), kDeleteUncopied))
    {
        deleted.insert(autorun);
        ScanLog::AppendLine(kLogAutorunFixed, file);
    }
}

// Questions about names in a root are answered from its listing (one
// system call per entry, or a look-up of a name that is not there, would
// make a large root quadratic); what was deleted is never asked about again.
void RepairRoot(const std::wstring& root, const std::vector<DirEntry>& entries, const CNameIndex& index,
                DeletedHere& deleted)
{
    for (size_t i = 0; i < entries.size(); ++i)
    {
        const DirEntry& entry = entries[i];
        if (entry.gone || deleted.count(&entry))
            continue;
        if (entry.IsFolder() && (entry.attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)))
        {
            const std::wstring path = root + entry.name;
            const DirEntry* shortcut = FindKept(index, entry.name + L".lnk", deleted);
            if (shortcut && !shortcut->IsFolder() && GateDeleteFile(ListedPath(root, shortcut->name), kKeepOrLeave))
            {
                deleted.insert(shortcut);
                ScanLog::AppendLine(kLogShortcutDeleted, path + L".lnk");
            }
            if (IsProtectedFolderName(entry.name.c_str()))
                continue;
            // A write-protected stick keeps its hidden folders: no line then.
            if (GateSetAttributes(ListedPath(root, entry.name),
                                  entry.attributes & ~(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)))
                ScanLog::AppendLine(kLogFolderShown, path);
            continue;
        }

        // A link is never opened: it could lead to another machine.
        if (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            continue;
        std::wstring candidates[2];
        ImpostorCandidates(entry.name, candidates);
        for (int c = 0; c < 2; ++c)
        {
            if (candidates[c].empty())
                continue;
            const DirEntry* folder = index.Find(candidates[c]);
            if (!folder || !folder->IsFolder())
                continue;
            const std::wstring listed = ListedPath(root, entry.name);
            if (entry.sizeHigh != 0 || entry.sizeLow >= kImpostorSizeLimit || !IsPeImage(listed.c_str()))
                continue;
            if (DeleteStickPayload(listed, kKeepOrLeave))
            {
                deleted.insert(&entry);
                ScanLog::AppendLine(kLogFolderExeDeleted, root + entry.name);
                break;
            }
        }
    }
}

}  // namespace

bool IsProtectedFolderName(const wchar_t* name)
{
    for (size_t i = 0; i < ArrayCount(kProtectedFolderNames); ++i)
    {
        if (::StrStrIW(name, kProtectedFolderNames[i]))
            return true;
    }
    return false;
}

namespace {

void RepairAutorunInfWith(CRootListings& listings, DeletedHere& deleted)
{
    const std::vector<std::wstring>& roots = listings.LocalRoots();
    for (size_t i = 0; i < roots.size(); ++i)
    {
        const CRootListing* listing = listings.Get(roots[i]);  // no medium: nothing listed
        if (listing)
            RepairAutorunIn(roots[i], listing->Index(), deleted);
    }
}

void RepairDriveFilesWith(CRootListings& listings, DeletedHere& deleted)
{
    const std::vector<std::wstring>& roots = listings.LocalRoots();
    for (size_t i = 0; i < roots.size(); ++i)
    {
        CRootListing* listing = listings.Get(roots[i]);
        if (listing)
            RepairRoot(roots[i], listing->Entries(), listing->Index(), deleted);
    }
}

}  // namespace

int CKillerForFileFX::Run(ICommunication* comm)
{
    m_pComm = comm;
    // Every root's autorun.inf first, then every root's files, over one
    // listing of each root.
    CRootListings listings;
    DeletedHere deleted;
    RepairAutorunInfWith(listings, deleted);
    RepairDriveFilesWith(listings, deleted);
    return 0;
}

void RepairAutorunInf()
{
    CRootListings listings;
    DeletedHere deleted;
    RepairAutorunInfWith(listings, deleted);
}

void RepairDriveFiles()
{
    CRootListings listings;
    DeletedHere deleted;
    RepairDriveFilesWith(listings, deleted);
}
