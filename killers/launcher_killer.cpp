#include "killers/launcher_killer.h"

#include <windows.h>

#include <algorithm>
#include <set>
#include <vector>

#include "killers/file_fx.h"
#include "killers/launcher_paths.h"
#include "killers/payload_identity.h"
#include "killers/scan_log.h"
#include "platform/array_count.h"
#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "platform/shell_link.h"
#include "undo/change_gate.h"
#include "undo/root_listings.h"

const char kLogLauncherDeleted[] = "删除病毒快捷方式\t";
const char kLogPayloadDeleted[] = "删除病毒文件\t";
const char kLogFileShown[] = "恢复被木马隐藏的文件\t";
const char kLogLauncherLeft[] = "未删除病毒快捷方式\t";
const char kLogPayloadLeft[] = "未删除病毒文件\t";
const char kLogReasonNotKept[] = "无法备份";
const char kLogReasonFailed[] = "删除失败";
const char kLogShortcutNotRead[] = "快捷方式过大，未读取\t";

namespace {

const DWORD kHiddenOrSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// A junction or symbolic link: what lies behind it is another folder, disk
// or machine. The command never reads, lists or deletes through one, nor
// one itself.
bool IsReparsePoint(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Programs that run what they are handed: script hosts, command
// interpreters, the DLL runner, the HTML application host, the installer.
const wchar_t* const kInterpreterNames[] = {
    L"wscript.exe",  L"cscript.exe",    L"cmd.exe",     L"rundll32.exe",
    L"mshta.exe",    L"powershell.exe", L"msiexec.exe", L"%comspec%",
};

// Files a shortcut may start directly that the system hands to an interpreter.
const wchar_t* const kScriptExtensions[] = {
    L".vbs", L".vbe", L".js", L".jse", L".wsf", L".bat", L".cmd", L".ps1",
};

// What a side-loading launcher starts.
const wchar_t* const kProgramExtensions[] = {L".exe", L".com", L".scr", L".pif"};

// What a side-loaded program loads from its own folder.
const wchar_t* const kLibraryExtensions[] = {L".dll", L".ocx", L".cpl"};

// What a worm keeps in its own folder: scripts, programs, libraries and the
// data its scripts read.
const wchar_t* const kPayloadExtensions[] = {
    L".vbs", L".vbe", L".js",  L".jse", L".wsf", L".wsh", L".hta", L".bat", L".cmd", L".ps1",
    L".exe", L".com", L".scr", L".pif", L".dll", L".ocx", L".cpl", L".dat", L".bin", L".tmp",
    L".usb", L".lo",  L".ico", L".ini",
};

// Files Windows itself keeps hidden in a drive root: never taken for the
// worm's or shown.
const wchar_t* const kSystemFileNames[] = {L"autorun.inf", L"desktop.ini", L"thumbs.db", L"IndexerVolumeGuid"};

// A recycle folder of no Windows version: worms keep their programs in it.
const wchar_t kFakeRecycler[] = L"RECYCLER.BIN";

// Characters that show as nothing or as a blank: a folder named only by them
// looks nameless in Explorer.
struct CharRange
{
    wchar_t first;
    wchar_t last;
};
const CharRange kBlankCharacters[] = {
    {0x0020, 0x0020}, {0x00A0, 0x00A0}, {0x00AD, 0x00AD}, {0x034F, 0x034F}, {0x115F, 0x1160},
    {0x180E, 0x180E}, {0x2000, 0x200F}, {0x2028, 0x202F}, {0x205F, 0x206F}, {0x2800, 0x2800},
    {0x3000, 0x3000}, {0x3164, 0x3164}, {0xFEFF, 0xFEFF}, {0xFFA0, 0xFFA0},
};

bool IsBlankName(const std::wstring& name)
{
    if (name.empty())
        return false;
    for (size_t i = 0; i < name.size(); ++i)
    {
        bool blank = false;
        for (size_t r = 0; r < ArrayCount(kBlankCharacters) && !blank; ++r)
            blank = name[i] >= kBlankCharacters[r].first && name[i] <= kBlankCharacters[r].last;
        if (!blank)
            return false;
    }
    return true;
}

// The last part of a path ("C:\Windows\cmd.exe" gives "cmd.exe").
std::wstring LastPart(const std::wstring& path)
{
    const std::wstring::size_type slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// The name before its extension ("report" for "report.doc").
std::wstring Stem(const std::wstring& name)
{
    const std::wstring::size_type dot = name.rfind(L'.');
    return dot == std::wstring::npos || dot == 0 ? name : name.substr(0, dot);
}

wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + (L'a' - L'A')) : c; }

bool EndsWithNoCase(const std::wstring& text, const wchar_t* tail)
{
    const size_t length = static_cast<size_t>(::lstrlenW(tail));
    if (text.size() < length || length == 0)
        return length == 0;
    // Most names of a large root differ in their last letter: an ASCII one
    // that is not the tail's in either case settles it without the slower
    // comparison of the system (which every other letter still gets).
    const wchar_t last = text[text.size() - 1];
    const wchar_t wanted = tail[length - 1];
    if (last < 0x80 && wanted < 0x80 && AsciiLower(last) != AsciiLower(wanted))
        return false;
    return ::lstrcmpiW(text.c_str() + text.size() - length, tail) == 0;
}

// The form of a path every call uses: names ending in a blank or a dot
// reach the file system as they are.
std::wstring LongPath(const std::wstring& path) { return L"\\\\?\\" + path; }

// A file or folder on the stick that a shortcut names.
struct NamedItem
{
    std::wstring relative;  // below the root: "sysvolume\u123456.vbs"
    std::wstring first;     // the root entry it lies in (or is)
    std::wstring last;      // its own name
    bool nested;            // below a root folder
    DWORD attributes;       // INVALID_FILE_ATTRIBUTES: missing
};

struct Launcher
{
    std::wstring name;               // "Photos.lnk"
    std::vector<NamedItem> named;    // what it starts, on this drive
    bool sideLoading;                // it starts a program in a worm's folder
};

// What the root of one drive holds, for questions from the listing alone:
// the scan's listing of the root, in the order of names without regard to
// case (so a run over the same stick logs the same lines in the same order).
struct RootView
{
    std::wstring root;  // "E:\"
    const CNameIndex* index;
};

// The entries of a folder below a root ("E:\sysvolume\").
bool ListEntries(const std::wstring& folder, std::vector<DirEntry>& entries)
{
    return ListFolder(LongPath(folder) + L"*", entries);
}

enum Walk
{
    kReached,      // every folder along the way is a plain folder
    kMissing,      // a part is missing, or a folder along the way is a file
    kThroughLink,  // a part is a junction or symbolic link
};

// Goes down from `folder` ("E:\sysvolume") through parts[first..], one level
// at a time, each level's attributes from its parent's entry for it (the
// levels above `folder` are known to be plain folders). `attributes`: those
// of the last part when reached.
Walk WalkDown(std::wstring folder, const std::vector<std::wstring>& parts, size_t first, DWORD& attributes)
{
    attributes = INVALID_FILE_ATTRIBUTES;
    for (size_t i = first; i < parts.size(); ++i)
    {
        folder += L"\\" + parts[i];
        const DWORD found = ListedAttributes(folder);
        if (found == INVALID_FILE_ATTRIBUTES)
            return kMissing;
        if (IsReparsePoint(found))
            return kThroughLink;
        if (i + 1 < parts.size() && !(found & FILE_ATTRIBUTE_DIRECTORY))
            return kMissing;
        attributes = found;
    }
    return kReached;
}

// The parts of a relative path ("a\b" gives "a", "b").
std::vector<std::wstring> PartsOf(const std::wstring& relative)
{
    std::vector<std::wstring> parts;
    std::wstring::size_type start = 0;
    for (;;)
    {
        const std::wstring::size_type slash = relative.find(L'\\', start);
        parts.push_back(relative.substr(start, slash == std::wstring::npos ? std::wstring::npos : slash - start));
        if (slash == std::wstring::npos)
            return parts;
        start = slash + 1;
    }
}

// Whether root\relative is a plain folder all the way down: no level is a
// junction or symbolic link. Asked again just before a folder is listed.
bool IsPlainFolder(const std::wstring& root, const std::wstring& relative)
{
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    return WalkDown(root.substr(0, root.size() - 1), PartsOf(relative), 0, attributes) == kReached &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Looks a located piece up: from the listing when it is a root entry, from
// its parents' entries below a root folder that exists. False when the piece
// names nothing on the drive (a relative name the root lacks) or reaches
// through a junction or symbolic link, or is one: what it names lies
// elsewhere and is never touched.
bool LookUp(const RootView& view, Reach reach, const std::vector<std::wstring>& parts, NamedItem& item)
{
    item.relative.clear();
    for (size_t i = 0; i < parts.size(); ++i)
        item.relative += (i ? L"\\" : L"") + parts[i];
    item.first = parts.front();
    item.last = parts.back();
    item.nested = parts.size() > 1;
    item.attributes = INVALID_FILE_ATTRIBUTES;
    const DirEntry* entry = view.index->Find(item.first);
    if (!entry)
        return reach == kOnDrive;  // an absolute path to something gone
    if (IsReparsePoint(entry->attributes))
        return false;
    if (!item.nested)
        item.attributes = entry->attributes;
    else if (entry->IsFolder())
        return WalkDown(view.root + item.first, parts, 1, item.attributes) != kThroughLink;
    return true;
}

bool IsInterpreter(const std::wstring& target)
{
    const std::wstring name = LastPart(target);
    return IsNameIn(name, kInterpreterNames) || HasExtensionIn(name, kScriptExtensions);
}

// The folders whose contents keep their state: Windows' own, backups,
// quarantines. The recycle folder of no Windows version is a worm's.
bool IsKeptFolder(const std::wstring& name)
{
    return IsProtectedFolderName(name.c_str()) && ::lstrcmpiW(name.c_str(), kFakeRecycler) != 0;
}

// A folder a worm moves the user's files into and hides.
bool IsHidingFolderName(const std::wstring& name, const std::wstring& label)
{
    return (!label.empty() && ::lstrcmpiW(name.c_str(), label.c_str()) == 0) || name == L"_" || name.size() == 1 ||
           IsBlankName(name);
}

// A launcher of the side-loading kind: a program inside a hidden or system
// root folder, a nameless one, or the fake recycle folder.
bool IsSideLoadingTarget(const RootView& view, const NamedItem& item)
{
    if (!item.nested || !HasExtensionIn(item.last, kProgramExtensions))
        return false;
    const DirEntry* folder = view.index->Find(item.first);
    return folder && folder->IsFolder() &&
           ((folder->attributes & kHiddenOrSystem) || IsBlankName(item.first) ||
            ::lstrcmpiW(item.first.c_str(), kFakeRecycler) == 0);
}

// What lies in one of the kept folders, or is one.
bool InKeptFolder(const NamedItem& item)
{
    const bool folder = item.attributes != INVALID_FILE_ATTRIBUTES && (item.attributes & FILE_ATTRIBUTE_DIRECTORY);
    return (item.nested || folder) && IsKeptFolder(item.first);
}

// The recycle folders of Windows: a real one keeps what it holds in a
// subfolder per user ("S-1-5-21-..."), never a program directly inside.
const wchar_t* const kRecycleFolderNames[] = {L"RECYCLER", L"RECYCLED", L"$RECYCLE.BIN"};

// A program directly inside a recycle folder, where the Dorkbot kind keeps
// its worm: it goes with the launcher that names it.
bool IsRecyclerProgram(const NamedItem& item)
{
    return item.nested && item.relative.size() == item.first.size() + 1 + item.last.size() &&
           IsNameIn(item.first, kRecycleFolderNames) && HasExtensionIn(item.last, kProgramExtensions) &&
           item.attributes != INVALID_FILE_ATTRIBUTES && !(item.attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsHiddenOrMissing(const NamedItem& item)
{
    return item.attributes == INVALID_FILE_ATTRIBUTES || (item.attributes & kHiddenOrSystem);
}

enum Reading
{
    kNotALauncher,
    kALauncher,
    kNotLoaded,  // not a shortcut, or one that did not load
    kCutShort,   // one that did not load from what is read of it
};

// Reads one root shortcut: whether it is a worm's launcher.
Reading ReadLauncher(const RootView& view, const DirEntry& entry, Launcher& launcher)
{
    ShortcutInfo info;
    if (!ReadShortcut(LongPath(view.root + entry.name), info))
        return info.cutShort ? kCutShort : kNotLoaded;  // the drive file rules see to it
    launcher.name = entry.name;
    launcher.named.clear();
    launcher.sideLoading = false;
    const wchar_t drive = view.root[0];

    std::vector<std::wstring> parts;
    NamedItem item;
    const Reach targetReach = Locate(info.target, drive, parts);
    const bool targetOnDrive = targetReach != kElsewhere && LookUp(view, targetReach, parts, item);
    if (targetOnDrive && IsSideLoadingTarget(view, item))
    {
        launcher.sideLoading = true;
        launcher.named.push_back(item);
        return kALauncher;
    }
    if (!IsInterpreter(info.target))
        return kNotALauncher;
    if (targetOnDrive)
        launcher.named.push_back(item);
    std::vector<std::wstring> pieces;
    SplitCommandLine(info.arguments, pieces);
    for (size_t i = 0; i < pieces.size(); ++i)
    {
        const Reach reach = Locate(pieces[i], drive, parts);
        if (reach != kElsewhere && LookUp(view, reach, parts, item))
            launcher.named.push_back(item);
    }
    for (size_t i = 0; i < launcher.named.size(); ++i)
    {
        if (!InKeptFolder(launcher.named[i]) && IsHiddenOrMissing(launcher.named[i]))
            return kALauncher;
    }
    return kNotALauncher;
}

bool LessByFoldedName(const std::pair<std::wstring, size_t>& a, const std::pair<std::wstring, size_t>& b)
{
    return a.first < b.first;
}

// A folder's listing in the order of names without regard to case.
void SortByName(std::vector<DirEntry>& entries)
{
    std::vector<std::pair<std::wstring, size_t> > keys;
    keys.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i)
        keys.push_back(std::make_pair(FoldCase(entries[i].name), i));
    std::sort(keys.begin(), keys.end(), LessByFoldedName);
    std::vector<DirEntry> sorted;
    sorted.reserve(entries.size());
    for (size_t i = 0; i < keys.size(); ++i)
        sorted.push_back(entries[keys[i].second]);
    entries.swap(sorted);
}

std::wstring VolumeLabel(const std::wstring& root)
{
    wchar_t label[MAX_PATH + 1] = {0};
    if (!::GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, NULL, NULL, NULL, NULL, 0))
        return std::wstring();
    label[MAX_PATH] = L'\0';
    return label;
}

// The attributes without hidden and system; a file left with none is normal.
DWORD Shown(DWORD attributes)
{
    const DWORD shown = attributes & ~kHiddenOrSystem;
    return shown ? shown : FILE_ATTRIBUTE_NORMAL;
}

}  // namespace

int CKillerForLaunchers::Run(ICommunication* comm)
{
    m_pComm = comm;
    // The scan worker has no COM of its own; the shell link object needs it.
    CComApartment apartment;
    CRootListings listings;
    const std::vector<std::wstring>& roots = listings.LocalRoots();
    for (size_t i = 0; i < roots.size() && !StopRequested(); ++i)
    {
        const CRootListing* listing = listings.IsRemovableOrUsb(roots[i]) ? listings.Get(roots[i]) : NULL;
        if (listing)
            CleanRoot(roots[i], listing->Index());  // no medium, or nothing to list: nothing to clean
    }
    return 0;
}

bool CKillerForLaunchers::DeleteLogged(const std::wstring& path, const char* deleted, const char* left,
                                       bool payload)
{
    // A payload is known by its bytes on the PC afterwards.
    if (payload ? DeleteStickPayload(LongPath(path), kKeepOrLeave) : GateDeleteFile(LongPath(path), kKeepOrLeave))
    {
        ScanLog::AppendLine(deleted, path);
        ++m_nDeleted;
        return true;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return false;  // gone meanwhile: nothing was left
    ScanLog::AppendText(left);
    ScanLog::Append(ToLogText(path.c_str()) + "\t");
    ScanLog::AppendText(error == kErrorChangeLeft ? kLogReasonNotKept : kLogReasonFailed);
    ScanLog::Append("\r\n", 2);
    return false;
}

void CKillerForLaunchers::RemoveEmptyFolders(const std::wstring& root, std::wstring folder,
                                             const std::wstring& label, std::set<std::wstring>& gone)
{
    // The worm's folder, then each hidden folder above it that it leaves
    // empty ("RECYCLER.BIN\{id}", then "RECYCLER.BIN").
    for (bool first = true; !folder.empty(); first = false)
    {
        const std::wstring::size_type slash = folder.rfind(L'\\');
        const bool topLevel = slash == std::wstring::npos;
        if (!first)
        {
            if (topLevel && IsHidingFolderName(folder, label))
                return;
            const DWORD attributes = ListedAttributes(root + folder);
            std::vector<DirEntry> inside;
            if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & kHiddenOrSystem) || IsReparsePoint(attributes) ||
                !ListEntries(root + folder + L"\\", inside) || !inside.empty())
                return;
        }
        if (!GateRemoveFolder(LongPath(root + folder)))
            return;
        ScanLog::AppendLine(kLogPayloadDeleted, root + folder);
        ++m_nDeleted;
        if (topLevel)
            gone.insert(FoldCase(folder));
        folder = topLevel ? std::wstring() : folder.substr(0, slash);
    }
}

// What the passes over one root share: the launchers found, and the name
// sets each pass leaves for the next.
struct LauncherSweep
{
    RootView view;
    std::wstring label;                    // the volume's label
    std::vector<Launcher> launchers;
    std::set<std::wstring> launcherBases;  // folded names without ".lnk"
    // Folded root entries deleted, or declined by report-only, which answers
    // as if it had deleted them: the last pass does not show them.
    std::set<std::wstring> gone;
    // Folded relative paths of the payloads deleted below a root folder, or
    // declined by report-only: the folder's listing leaves them out, so that
    // both judge the folder alike.
    std::set<std::wstring> removedHere;
    std::set<std::wstring> pointedInto;   // folded root folders
    std::vector<std::wstring> payloadFolders;
    std::set<std::wstring> sideLoadFolders;  // folded
};

void CKillerForLaunchers::CleanRoot(const std::wstring& root, const CNameIndex& index)
{
    LauncherSweep sweep;
    sweep.view.root = root;
    sweep.view.index = &index;
    if (!ReadLaunchers(sweep) || sweep.launchers.empty())
        return;
    if (!DeleteLaunchersAndPayloads(sweep))
        return;
    sweep.label = VolumeLabel(root);
    if (ClearPayloadFolders(sweep))
        ShowUserItems(sweep);
}

bool CKillerForLaunchers::ReadLaunchers(LauncherSweep& sweep)
{
    // The launchers: only shortcuts are read, one file each; a link in a
    // shortcut's place is not followed.
    for (size_t i = 0; i < sweep.view.index->Count(); ++i)
    {
        if (StopRequested())
            return false;
        const DirEntry& entry = sweep.view.index->At(i);
        if (entry.gone || entry.IsFolder() || IsReparsePoint(entry.attributes) || !EndsWithNoCase(entry.name, L".lnk"))
            continue;
        // A shortcut padded past what is read of it is read from its first
        // bytes; one that does not load from them is said so, never passed
        // over in silence.
        Launcher launcher;
        const Reading reading = ReadLauncher(sweep.view, entry, launcher);
        if (reading == kCutShort)
            ScanLog::AppendLine(kLogShortcutNotRead, sweep.view.root + entry.name);
        if (reading != kALauncher)
            continue;
        sweep.launchers.push_back(launcher);
        sweep.launcherBases.insert(FoldCase(entry.name.substr(0, entry.name.size() - 4)));
    }
    return true;
}

bool CKillerForLaunchers::DeleteLaunchersAndPayloads(LauncherSweep& sweep)
{
    // Each launcher, then the hidden files it names (not the user's item it
    // stands in for), each file once.
    const std::wstring& root = sweep.view.root;
    std::set<std::wstring> handled;  // folded relative paths seen
    for (size_t l = 0; l < sweep.launchers.size(); ++l)
    {
        if (StopRequested())
            return false;
        const Launcher& launcher = sweep.launchers[l];
        if (DeleteLogged(root + launcher.name, kLogLauncherDeleted, kLogLauncherLeft, false))
            sweep.gone.insert(FoldCase(launcher.name));
        const std::wstring base = FoldCase(launcher.name.substr(0, launcher.name.size() - 4));
        for (size_t n = 0; n < launcher.named.size(); ++n)
        {
            const NamedItem& item = launcher.named[n];
            const bool recycled = IsRecyclerProgram(item);
            if (item.attributes == INVALID_FILE_ATTRIBUTES || (InKeptFolder(item) && !recycled) ||
                !handled.insert(FoldCase(item.relative)).second)
                continue;
            if (!recycled && (item.nested || (item.attributes & FILE_ATTRIBUTE_DIRECTORY)))
                sweep.pointedInto.insert(FoldCase(item.first));
            if ((item.attributes & FILE_ATTRIBUTE_DIRECTORY) || !(recycled || (item.attributes & kHiddenOrSystem)))
                continue;
            // The user's item a launcher is named after; a side-loaded
            // program may carry the launcher's name and is the worm's all the same.
            const bool standsIn =
                !launcher.sideLoading && (FoldCase(item.last) == base || FoldCase(Stem(item.last)) == base);
            if (standsIn || EndsWithNoCase(item.last, L".lnk") || (!item.nested && IsNameIn(item.last, kSystemFileNames)))
                continue;
            if (!DeleteLogged(root + item.relative, kLogPayloadDeleted, kLogPayloadLeft, true))
                continue;
            if (recycled)
                continue;  // the recycle folder itself is Windows' and stays
            if (!item.nested)
            {
                sweep.gone.insert(FoldCase(item.relative));
                continue;
            }
            sweep.removedHere.insert(FoldCase(item.relative));
            const std::wstring folder = item.relative.substr(0, item.relative.size() - item.last.size() - 1);
            if (std::find(sweep.payloadFolders.begin(), sweep.payloadFolders.end(), folder) == sweep.payloadFolders.end())
                sweep.payloadFolders.push_back(folder);
            if (launcher.sideLoading)
                sweep.sideLoadFolders.insert(FoldCase(folder));
        }
    }
    return true;
}

bool CKillerForLaunchers::ClearPayloadFolders(LauncherSweep& sweep)
{
    // The folders the payload came from: removed when nothing but the worm's
    // hidden files is left in them; a side-loaded program's libraries go.
    // Each is made sure again to be a plain folder all the way down before it
    // is listed, and a link inside it is neither deleted nor read.
    const std::wstring& root = sweep.view.root;
    for (size_t f = 0; f < sweep.payloadFolders.size(); ++f)
    {
        if (StopRequested())
            return false;
        const std::wstring& folder = sweep.payloadFolders[f];
        const bool topLevel = folder.find(L'\\') == std::wstring::npos;
        std::vector<DirEntry> inside;
        if (!IsPlainFolder(root, folder) || !ListEntries(root + folder + L"\\", inside))
            continue;
        for (size_t i = inside.size(); i-- > 0;)
        {
            if (sweep.removedHere.count(FoldCase(folder + L"\\" + inside[i].name)))
                inside.erase(inside.begin() + static_cast<std::ptrdiff_t>(i));
        }
        SortByName(inside);
        bool onlyPayload = !(topLevel && IsHidingFolderName(folder, sweep.label));
        for (size_t i = 0; i < inside.size() && onlyPayload; ++i)
            onlyPayload = !inside[i].IsFolder() && !IsReparsePoint(inside[i].attributes) &&
                          (inside[i].attributes & kHiddenOrSystem) &&
                          HasExtensionIn(inside[i].name, kPayloadExtensions);
        const bool sideLoaded = sweep.sideLoadFolders.count(FoldCase(folder)) != 0;
        bool emptied = true;
        for (size_t i = 0; i < inside.size(); ++i)
        {
            const DirEntry& file = inside[i];
            const bool library = sideLoaded && !file.IsFolder() && (file.attributes & kHiddenOrSystem) &&
                                 HasExtensionIn(file.name, kLibraryExtensions);
            if ((!onlyPayload && !library) || IsReparsePoint(file.attributes))
                continue;
            if (!DeleteLogged(root + folder + L"\\" + file.name, kLogPayloadDeleted, kLogPayloadLeft, true))
                emptied = false;
        }
        if (onlyPayload && emptied)
            RemoveEmptyFolders(root, folder, sweep.label, sweep.gone);
    }
    return true;
}

void CKillerForLaunchers::ShowUserItems(const LauncherSweep& sweep)
{
    // The user's files back in view: the folders the launchers point into
    // or that carry a hiding folder's name, and every item standing behind
    // a launcher of its name. Nothing is moved or renamed.
    for (size_t i = 0; i < sweep.view.index->Count(); ++i)
    {
        if (StopRequested())
            return;
        const DirEntry& entry = sweep.view.index->At(i);
        if (entry.gone || !(entry.attributes & kHiddenOrSystem) || IsReparsePoint(entry.attributes))
            continue;
        const std::wstring folded = FoldCase(entry.name);
        if (sweep.gone.count(folded))
            continue;
        const bool behindLauncher =
            sweep.launcherBases.count(folded) || sweep.launcherBases.count(FoldCase(Stem(entry.name)));
        const std::wstring path = sweep.view.root + entry.name;
        if (entry.IsFolder())
        {
            if (IsProtectedFolderName(entry.name.c_str()) ||
                !(behindLauncher || sweep.pointedInto.count(folded) || IsHidingFolderName(entry.name, sweep.label)))
                continue;
            if (GateSetAttributes(LongPath(path), Shown(entry.attributes)))
            {
                ScanLog::AppendLine(kLogFolderShown, path);
                ++m_nRepaired;
            }
            continue;
        }
        if (!behindLauncher || EndsWithNoCase(entry.name, L".lnk") || IsNameIn(entry.name, kSystemFileNames))
            continue;
        if (GateSetAttributes(LongPath(path), Shown(entry.attributes)))
        {
            ScanLog::AppendLine(kLogFileShown, path);
            ++m_nRepaired;
        }
    }
}
