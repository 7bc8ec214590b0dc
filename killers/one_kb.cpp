#include "killers/one_kb.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>

#include "killers/file_fx.h"
#include "killers/payload_identity.h"
#include "killers/process_ends.h"
#include "killers/scan_log.h"
#include "killers/task_listing_ahead.h"
#include "platform/array_count.h"
#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "platform/reg_views.h"
#include "platform/registry.h"
#include "platform/user_hives.h"
#include "undo/change_gate.h"
#include "undo/root_listings.h"

const char kLogDelFile[] = "del file ";
const char kLogDriveOpenKeys[] =
    "修复磁盘打开关联\r\n"
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2\r\n"
    "HKEY_CLASSES_ROOT\\Drive\\shell\r\n";

namespace {

// Programs the worm runs as: any script host, and a service host started
// from a folder named "system" (the real one lives in system32).
const wchar_t* const kWormProcessPatterns[] = {L"wscript.exe", L"system\\svchost.exe"};

// Root entries whose hidden+system attributes are left alone.
const wchar_t* const kExemptNames[] = {
    L"pagefile.sys", L"System Volume Information", L"MSOCache", L"Recycle", L"Documents and Settings",
    L"ProgramData", L"Config.Msi", L"vod_cache_data", L"MarloRecycle", L"QuorvelRecycle",
    L"QuorvelQuarantine", L"KV-Back.vir", L"Boot", L"FOUND.",
};

enum SweepTest
{
    kShellNotNone,  // the default value does not say "none": delete CLSID\...\Shell
    kKeyOpens,      // the key exists: delete its "Shell" subkey
    kNumberIs,      // the number equals `trigger`: write `fixed`
    kRunsScript,    // the text passes the script test: write `replacement`
};

// One registry trace of the worm, below `root` (kEachUserRoot: in every
// user's root). In replacements "<PF>" stands for the Program Files folder
// and "<WD>" for the Windows folder, each with a trailing backslash.
struct SweepCheck
{
    HKEY root;
    const wchar_t* key;
    const wchar_t* value;
    SweepTest test;
    DWORD preset;
    DWORD trigger;
    DWORD fixed;
    const wchar_t* replacement;
};

const wchar_t kMyComputer[] = L"SOFTWARE\\Classes\\CLSID\\{20D04FE0-3AEA-1069-A2D8-08002B30309D}";
const wchar_t kMountPoint[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2\\{ca5dc9df-c6e5-11dd-8b20-806d6172696f}";

const SweepCheck kSweepChecks[] = {
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\CLSID\\{20D04FE0-3AEA-1069-A2D8-08002B30309D}\\shell", L"",
     kShellNotNone, 0, 0, 0, NULL},
    {HKEY_LOCAL_MACHINE, kMountPoint, NULL, kKeyOpens, 0, 0, 0, NULL},
    {kEachUserRoot, kMountPoint, NULL, kKeyOpens, 0, 0, 0, NULL},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\NOHIDDEN",
     L"CheckedValue", kNumberIs, 0, 3, 2, NULL},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\SHOWALL",
     L"CheckedValue", kNumberIs, 0, 2, 1, NULL},
    {kEachUserRoot, L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer", L"NoDriveTypeAutoRun",
     kNumberIs, 1, 0, 0x91, NULL},
    {kEachUserRoot, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows", L"load", kRunsScript, 0, 0, 0,
     L""},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\Applications\\iexplore.exe\\shell\\open\\command", L"", kRunsScript, 0,
     0, 0, L"\"<PF>iexplore.exe\" %1"},
    {HKEY_LOCAL_MACHINE,
     L"SOFTWARE\\Classes\\CLSID\\{871C5380-42A0-1069-A2EA-08002B30309D}\\shell\\OpenHomePage\\Command", L"",
     kRunsScript, 0, 0, 0, L"<PF>iexplore.exe"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\batfile\\shell\\open\\command", L"", kRunsScript, 0, 0, 0, L"\"%1\" %*"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\chm.file\\shell\\open\\command", L"", kRunsScript, 0, 0, 0,
     L"\"<WD>hh.exe\" %1"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\inffile\\shell\\open\\command", L"", kRunsScript, 0, 0, 0,
     L"<WD>NOTEPAD.EXE %1"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\inifile\\shell\\open\\command", L"", kRunsScript, 0, 0, 0,
     L"<WD>NOTEPAD.EXE %1"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\txtfile\\shell\\open\\command", L"", kRunsScript, 0, 0, 0,
     L"<WD>NOTEPAD.EXE %1"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\hlpfile\\shell\\open\\command", L"", kRunsScript, 0, 0, 0,
     L"<WD>winhlp32.exe %1"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\cmdfile\\shell\\open\\command", L"", kRunsScript, 0, 0, 0,
     L"\"%1\" %*"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\regfile\\shell\\open\\command", L"", kRunsScript, 0, 0, 0,
     L"regedit.exe \"%1\""},
};

// A name that could reach outside a drive root's own file of that name, or
// match several files, is no name.
bool IsPlainFileName(const std::wstring& name)
{
    return name.find_first_of(L"\\/*?") == std::wstring::npos;
}

// The worm's file is a script: a captured name counts only with one of
// these extensions, so that no value a user can write names "ntldr",
// "bootmgr" or a document for deletion from every drive root.
const wchar_t* const kScriptExtensions[] = {L".vbs", L".vbe", L".js", L".jse", L".wsf", L".wsh"};

const wchar_t* const kShortcutExtension[] = {L".lnk"};

// "explorer.exe:worm.vbs\" %1" leaves "worm.vbs".
std::wstring NameOfStream(const std::wstring& stream)
{
    return stream.substr(0, stream.find(L'"'));
}

// The worm's script is a few kilobytes; more is not read.
const DWORD kMaxWormScriptBytes = 1024 * 1024;

bool IsExempt(const wchar_t* name)
{
    for (size_t i = 0; i < ArrayCount(kExemptNames); ++i)
    {
        if (::StrStrIW(name, kExemptNames[i]))
            return true;
    }
    return false;
}

}  // namespace

bool PassesScriptTest(const std::wstring& text, std::wstring* stream)
{
    if (!::StrStrIW(text.c_str(), L".vbs"))
        return false;
    std::wstring::size_type start = 0;
    const wchar_t* drive = ::StrStrIW(text.c_str(), L":\\");
    if (drive)
        start = static_cast<std::wstring::size_type>(drive - text.c_str()) + 2;
    const std::wstring::size_type colon = text.rfind(L':');
    if (colon == std::wstring::npos || colon < start)
        return false;
    if (stream)
        *stream = text.substr(colon + 1);
    return true;
}

int CKillerForOneKB::Run(ICommunication* comm)
{
    m_pComm = comm;
    TerminateProcessesByPaths(kWormProcessPatterns, ArrayCount(kWormProcessPatterns));
    // The worm's processes are gone: its tasks stay as they are now.
    StartTaskListingAhead();
    if (StopRequested())
        return 0;
    SweepRegistry();
    if (StopRequested() || m_strName.empty())
        return 0;
    SweepDrives();
    if (StopRequested())
        return 0;
    ResetDriveOpenKeys();
    return 0;
}

bool CKillerForOneKB::SweepCheckIn(size_t index, HKEY root, REGSAM view)
{
    const SweepCheck& check = kSweepChecks[index];
    CRegKey key;
    if (key.Open(root, check.key, KEY_ALL_ACCESS | view) != ERROR_SUCCESS)
        return false;
    switch (check.test)
    {
    case kShellNotNone:
    {
        std::wstring text;
        ReadRegString(key, check.value, text);
        if (!::StrStrIW(text.c_str(), L"none"))
        {
            key.Close();
            CRegKey parent;
            if (parent.Open(root, kMyComputer, KEY_ALL_ACCESS | view) == ERROR_SUCCESS &&
                GateDeleteTree(parent, L"Shell", view) == ERROR_SUCCESS)
                ++m_nRepaired;
        }
        break;
    }
    case kKeyOpens:
        if (GateDeleteTree(key, L"Shell", view) == ERROR_SUCCESS)
            ++m_nRepaired;
        break;
    case kNumberIs:
    {
        DWORD number = check.preset;
        DWORD bytes = sizeof(number);
        if (::RegQueryValueExW(key, check.value, NULL, NULL, reinterpret_cast<BYTE*>(&number), &bytes) !=
            ERROR_SUCCESS)
            number = check.preset;
        if (number == check.trigger && GateSetDword(key, check.value, check.fixed) == ERROR_SUCCESS)
            ++m_nRepaired;
        break;
    }
    case kRunsScript:
    {
        std::wstring text, stream;
        ReadRegString(key, check.value, text);
        if (PassesScriptTest(text, &stream))
        {
            // "load" is the user's to write; the machine's keys are not.
            const bool fromUser = check.root == kEachUserRoot;
            if (m_strName.empty())
                m_strName = stream;
            if (::lstrcmpiW(NameOfStream(stream).c_str(), NameOfStream(m_strName).c_str()) == 0)
                (fromUser ? m_bNameFromUser : m_bNameFromMachine) = true;
            if (GateSetString(key, check.value, ExpandFolderMarks(check.replacement)) == ERROR_SUCCESS)
                ++m_nRepaired;
        }
        break;
    }
    }
    return true;
}

namespace {

// One check of the sweep on its way through the roots.
struct SweepStep
{
    CKillerForOneKB* command;
    size_t index;
    bool opened;
};

}  // namespace

void CKillerForOneKB::SweepRoot(HKEY root, const std::wstring&, void* sweep)
{
    SweepStep& step = *static_cast<SweepStep*>(sweep);
    // A key with a copy per registry view is checked in each, native first.
    const RegViewList views = RegViewsForKey(root, kSweepChecks[step.index].key);
    for (size_t v = 0; v < views.count; ++v)
    {
        if (step.command->SweepCheckIn(step.index, root, views.flags[v]))
            step.opened = true;
    }
}

void CKillerForOneKB::SweepRegistry()
{
    for (size_t i = 0; i < ArrayCount(kSweepChecks); ++i)
    {
        SweepStep step = {this, i, false};
        ForEachRootOf(kSweepChecks[i].root, SweepRoot, &step);
        // A stop is looked for after each check that found its key.
        if (step.opened && StopRequested())
            break;
    }
    m_strName = NameOfStream(m_strName);
    m_bNameFromUser = m_bNameFromUser && !m_bNameFromMachine;
    if (!IsPlainFileName(m_strName) ||
        !HasExtensionIn(m_strName, kScriptExtensions))
        m_strName.clear();
}

void CKillerForOneKB::ReadWormScript(const std::wstring& stream)
{
    if (!m_wormScript.empty())
        return;
    CHandle file(::CreateFileW(stream.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    LARGE_INTEGER size;
    if (!file.IsValid() || !::GetFileSizeEx(file, &size) || size.QuadPart <= 0 || size.QuadPart > kMaxWormScriptBytes)
        return;
    std::vector<BYTE> bytes(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (::ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, NULL) && read == bytes.size())
        m_wormScript.swap(bytes);
}

bool CKillerForOneKB::MayDeleteNamedFile(const std::wstring& root, const DirEntry& entry)
{
    if (!m_bNameFromUser || (entry.attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) ||
        IsRemovableOrUsbDrive(root))
        return true;
    // A plain file on a fixed disk: only the worm's own bytes.
    if (m_wormScript.empty() || entry.sizeHigh != 0 || entry.sizeLow != m_wormScript.size())
        return false;
    CHandle file(::CreateFileW(ListedPath(root, entry.name).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    std::vector<BYTE> bytes(m_wormScript.size() + 1);
    DWORD read = 0;
    return file.IsValid() && ::ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, NULL) &&
           read == m_wormScript.size() && std::equal(m_wormScript.begin(), m_wormScript.end(), bytes.begin());
}

void CKillerForOneKB::SweepDrives()
{
    // A name the user chose never deletes a file of which no copy is kept.
    const KeepRule named = m_bNameFromUser ? kKeepOrLeave : kDeleteUncopied;
    // The script itself, in the streams of two system programs; its bytes
    // are read first, to know its copies by.
    std::wstring dir;
    if (GetWindowsDirSlash(dir))
    {
        ReadWormScript(dir + L"explorer.exe:" + m_strName);
        if (GateDeleteFile(dir + L"explorer.exe:" + m_strName, named))
            ++m_nDeleted;
    }
    if (StopRequested())
        return;
    // smss.exe lives in the native system folder only (Sysnative under WOW64).
    if (GetNativeSystemDirSlash(dir))
    {
        ReadWormScript(dir + L"smss.exe:" + m_strName);
        if (GateDeleteFile(dir + L"smss.exe:" + m_strName, named))
            ++m_nDeleted;
    }
    if (StopRequested())
        return;

    CRootListings listings;
    const std::vector<std::wstring>& roots = listings.LocalRoots();
    for (size_t r = 0; r < roots.size(); ++r)
    {
        const std::wstring& root = roots[r];
        CRootListing* listing = listings.Get(root);
        if (!listing)
            continue;  // no medium, no access: nothing for this root
        const std::vector<DirEntry>& entries = listing->Entries();
        const CNameIndex& index = listing->Index();
        for (size_t i = 0; i < entries.size(); ++i)
        {
            const DirEntry& entry = entries[i];
            if (entry.gone)
                continue;
            if (!entry.IsFolder() && HasExtensionIn(entry.name, kShortcutExtension))
            {
                // A shortcut standing in for a folder, or for nothing.
                const DirEntry* base = index.Find(entry.name.substr(0, entry.name.size() - 4));
                // What goes is marked gone in the listing by the gateway.
                if ((!base || base->IsFolder()) && GateDeleteFile(ListedPath(root, entry.name), kKeepOrLeave))
                    ++m_nDeleted;
                continue;
            }
            if (IsExempt(entry.name.c_str()))
                continue;
            const DWORD hiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
            if (entry.IsFolder() && (entry.attributes & hiddenSystem) == hiddenSystem &&
                GateSetAttributes(ListedPath(root, entry.name), FILE_ATTRIBUTE_NORMAL))
                ++m_nRepaired;
        }
        if (!m_strName.empty())
        {
            // The worm's launcher and its copy; only what the listing holds
            // is asked for.
            const std::wstring names[2] = {L"Autorun.inf", m_strName};
            const KeepRule rules[2] = {kDeleteUncopied, named};
            for (int f = 0; f < 2; ++f)
            {
                const DirEntry* file = index.Find(names[f]);
                if (!file || file->IsFolder() || (f != 0 && !MayDeleteNamedFile(root, *file)))
                {
                    ScanLog::AppendLine(kLogDelFile, root + names[f]);
                    continue;
                }
                // The worm's copy is known by its bytes on the PC afterwards.
                const std::wstring listed = ListedPath(root, file->name);
                if (f == 1 ? DeleteStickPayload(listed, rules[f]) : GateDeleteFile(listed, rules[f]))
                    ++m_nDeleted;
                ScanLog::AppendLine(kLogDelFile, root + names[f]);
            }
        }
        if (StopRequested())
            return;
    }
}

namespace {

void DeleteMountPoints(HKEY root, const std::wstring&, void*)
{
    DeleteKeyRecursive(root, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2");
}

}  // namespace

void CKillerForOneKB::ResetDriveOpenKeys()
{
    // The drive caches of every user; the log names them once.
    ForEachUserRoot(DeleteMountPoints, NULL);
    DeleteKeyRecursive(HKEY_CLASSES_ROOT, L"Drive\\shell");
    ScanLog::AppendText(kLogDriveOpenKeys);
}
