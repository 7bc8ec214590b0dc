#include "killers/eljfilefx.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "platform/array_count.h"
#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "platform/reg_views.h"
#include "platform/registry.h"
#include "undo/change_gate.h"
#include "undo/root_listings.h"

const char kLogKnownFileFound[] = "扫描伪装文件夹型病毒!";
const char kLogKnownFileCleaned[] = "修复病毒修改的文件属性!";

namespace {

// The worm's own files, at the places it always uses; any one of them found
// means the infection.
const wchar_t* const kCoreFiles[] = {
    L"C:\\WINDOWS\\system32\\wuauolts.exe",
    L"C:\\WINDOWS\\system32\\fgahu.dll",
    L"C:\\WINDOWS\\system32\\fgahu.sss",
    L"C:\\WINDOWS\\system32\\drivers\\GBS.sys",
    L"C:\\Program Files\\mosss.exe",
};

// What it plants or alters, gathered only when it is there. "%HOMEPATH%\"
// stands for the user's profile folder.
const wchar_t* const kFurtherFiles[] = {
    L"%HOMEPATH%\\桌面\\Internet Explorer.lnk",
    L"C:\\Documents and Settings\\All Users\\「开始」菜单\\程序\\启动\\fgahu.lnk",
    L"%HOMEPATH%\\桌面\\Local Settings\\Temporary Internet Files\\Content.IE5\\index.dat",
    L"%HOMEPATH%\\application data\\microsoft\\Internet Explorer\\quick launch\\internet explorer.lnk",
    L"%HOMEPATH%\\Local Settings\\History\\History.IE5\\MSHist012010062120100622\\index.dat",
    L"%HOMEPATH%\\Local Settings\\History\\History.IE5\\index.dat",
    L"%HOMEPATH%\\Local Settings\\Application Data\\Microsoft\\Internet Explorer\\MSIMGSIZ.DAT",
    L"C:\\WINDOWS\\system32\\drivers\\etc\\hosts",
};

// Files the worm drops into the roots of the fixed drives.
const wchar_t* const kRootFiles[] = {L"qgs.exe", L"autorun.inf"};

// The worm's own programs, drivers and launcher, by name: these go even
// when no copy of them can be kept. Everything else it touched (the hosts
// file, browser and shortcut files) stays when it cannot be kept.
const wchar_t* const kWormFileNames[] = {L"wuauolts.exe", L"fgahu.dll", L"fgahu.sss", L"GBS.sys",
                                         L"mosss.exe",    L"qgs.exe",   L"autorun.inf"};

// The system's own boot and paging files in a drive root keep their
// attributes.
const wchar_t* const kSystemRootFiles[] = {
    L"bootmgr",      L"BOOTNXT",      L"ntldr",        L"NTDETECT.COM", L"boot.ini",     L"bootfont.bin",
    L"BOOTSECT.BAK", L"cmldr",        L"$LDR$",        L"io.sys",       L"msdos.sys",    L"pagefile.sys",
    L"hiberfil.sys", L"swapfile.sys", L"DumpStack.log", L"DumpStack.log.tmp",
};

KeepRule KeepRuleFor(const std::wstring& path)
{
    return IsNameIn(::PathFindFileNameW(path.c_str()), kWormFileNames) ? kDeleteUncopied : kKeepOrLeave;
}

const wchar_t kHiddenOptionKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden";

bool IsRecycleImpostor(const std::wstring& path)
{
    std::wstring upper(path);
    if (!upper.empty())
        ::CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
    return upper.find(L"RECYCLE") != std::wstring::npos && upper.find(L".EXE") != std::wstring::npos;
}

}  // namespace

std::vector<std::wstring> ListFixedDriveRoots()
{
    std::vector<std::wstring> fixed;
    const std::vector<std::wstring> roots = ListLocalDriveRoots();
    for (size_t i = 0; i < roots.size(); ++i)
    {
        if (DriveTypeOf(roots[i].c_str()) == DRIVE_FIXED)
            fixed.push_back(roots[i]);
    }
    return fixed;
}

void CollectFiles(const std::wstring& folder, std::vector<std::wstring>& list, bool recurse)
{
    if (folder.empty())
        return;
    const std::wstring prefix = folder[folder.size() - 1] == L'\\' ? folder : folder + L"\\";
    std::vector<DirEntry> entries;
    if (!ListFolder(prefix + L"*", entries))
        return;
    for (size_t i = 0; i < entries.size(); ++i)
    {
        const std::wstring path = prefix + entries[i].name;
        if (!entries[i].IsFolder())
            list.push_back(path);
        else if (recurse)
            CollectFiles(path, list, true);
    }
}

bool ResolveProfilePath(std::wstring& text)
{
    static const wchar_t kProfileHead[] = L"%HOMEPATH%\\";
    const size_t head = ArrayCount(kProfileHead) - 1;
    if (text.size() < head || ::StrCmpNIW(text.c_str(), kProfileHead, static_cast<int>(head)) != 0)
        return true;
    // The profile as the system knows the user, not as the environment
    // (HOMEDRIVE, HOMEPATH, USERPROFILE: the user's to set) says.
    wchar_t profile[MAX_PATH] = {0};
    if (FAILED(::SHGetFolderPathW(NULL, CSIDL_PROFILE, NULL, SHGFP_TYPE_CURRENT, profile)))
        return false;
    const std::wstring folder(profile);
    if (folder.size() < 3 || folder[1] != L':' || folder[2] != L'\\' || IsRemoteOrDevicePath(folder.c_str()))
        return false;
    text = WithBackslash(folder) + text.substr(head);
    return true;
}

void ResetRootFileAttributes()
{
    const DWORD hiding = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY;
    CRootListings listings;
    const std::vector<std::wstring> roots = ListFixedDriveRoots();
    for (size_t r = 0; r < roots.size(); ++r)
    {
        CRootListing* listing = listings.Get(roots[r]);
        if (!listing)
            continue;
        const std::vector<DirEntry>& entries = listing->Entries();
        for (size_t i = 0; i < entries.size(); ++i)
        {
            const DirEntry& entry = entries[i];
            // Only what the worm hid; the listing tells, no call per file.
            if (entry.gone || entry.IsFolder() || !(entry.attributes & hiding) ||
                IsNameIn(entry.name, kSystemRootFiles))
                continue;
            // Other bits (the archive bit that backups read) stay.
            const DWORD kept = entry.attributes & ~hiding;
            GateSetAttributes(ListedPath(roots[r], entry.name), kept ? kept : FILE_ATTRIBUTE_NORMAL);
        }
    }
}

void CEljfilefx::AddIfExists(const std::wstring& path)
{
    // Nothing on another machine or device is ever asked about.
    if (IsRemoteOrDevicePath(path.c_str()))
        return;
    // Under WOW64 the System32 name is looked for in the native folder.
    if (IsWow64Process32() ? NativeFileExists(path.c_str()) : ::PathFileExistsW(path.c_str()) != FALSE)
        m_files.push_back(path);
}

int CEljfilefx::Query() { return 0; }

int CEljfilefx::Scan()
{
    m_files.clear();
    const size_t count = ArrayCount(kCoreFiles);
    for (size_t i = 0; i < count; ++i)
    {
        // On 64-bit Windows a 32-bit dropper's copies lie in SysWOW64 and
        // Program Files (x86): each is kept under the path that reaches it.
        const std::vector<std::wstring> copies = FileCopiesInViews(kCoreFiles[i]);
        for (size_t c = 0; c < copies.size(); ++c)
            AddIfExists(copies[c]);
    }
    if (m_files.empty())
        return 0;

    for (size_t i = 0; i < ArrayCount(kFurtherFiles); ++i)
    {
        std::wstring path(kFurtherFiles[i]);
        if (ResolveProfilePath(path))
            AddIfExists(path);
    }
    const std::vector<std::wstring> roots = ListFixedDriveRoots();
    for (size_t r = 0; r < roots.size(); ++r)
    {
        for (size_t i = 0; i < ArrayCount(kRootFiles); ++i)
            AddIfExists(roots[r] + kRootFiles[i]);
        std::vector<std::wstring> files;
        CollectFiles(roots[r], files, false);
        for (size_t i = 0; i < files.size(); ++i)
        {
            if (IsRecycleImpostor(files[i]))
                m_files.push_back(files[i]);
        }
    }
    return 1;
}

int CEljfilefx::Clean()
{
    const RegViewList views = RegViewsForKey(HKEY_LOCAL_MACHINE, kHiddenOptionKey);
    for (size_t v = 0; v < views.count; ++v)
        DeleteKeyRecursive(HKEY_LOCAL_MACHINE, kHiddenOptionKey, views.flags[v]);
    for (size_t i = 0; i < m_files.size(); ++i)
        GateScheduleDelete(m_files[i], KeepRuleFor(m_files[i]));
    ResetRootFileAttributes();
    return 1;
}
