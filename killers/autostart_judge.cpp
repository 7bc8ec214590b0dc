#include "killers/autostart_judge.h"

#include <sddl.h>

#include <vector>

#include "platform/drives.h"
#include "platform/file_helpers.h"
#include "platform/file_trust.h"
#include "platform/handles.h"
#include "platform/held_path.h"
#include "platform/reg_views.h"
#include "platform/registry.h"
#include "platform/sha256.h"

namespace {

const DWORD kHiddenOrSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Folders Windows itself hides: a payload in one is not hidden by its worm.
const wchar_t* const kWindowsHiddenFolders[] = {L"AppData", L"ProgramData", L"Application Data", L"Local Settings"};

// What a name without an extension is taken to be, by the one who starts it.
const wchar_t* const kLibraryHosts[] = {L"rundll32.exe", L"regsvr32.exe", L"odbcconf.exe", L"msiexec.exe"};

bool StartsWithNoCase(const std::wstring& text, const std::wstring& head)
{
    return !head.empty() && text.size() >= head.size() && FoldCase(text.substr(0, head.size())) == FoldCase(head);
}

std::wstring ParentOf(const std::wstring& path)
{
    const std::wstring::size_type slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring LastPart(const std::wstring& path)
{
    const std::wstring::size_type slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool HasExtension(const std::wstring& path)
{
    const std::wstring name = LastPart(path);
    const std::wstring::size_type dot = name.rfind(L'.');
    return dot != std::wstring::npos && dot > 0 && dot + 1 < name.size();
}

// The file (or folder) opened as itself for reading, in its folders held
// by `chain`: a link in its place or on the way is refused, never followed
// (the path is the user's: a junction could lead to another machine). False
// when it cannot be held.
bool OpenAsItself(const std::wstring& path, DWORD options, CFolderChain& chain, CHandle& file)
{
    return OpenHeldItem(path, GENERIC_READ | READ_CONTROL, options, chain, file) == ERROR_SUCCESS;
}

}  // namespace

bool LongFullPath(const std::wstring& path, std::wstring& longPath)
{
    wchar_t full[MAX_PATH * 2] = {0};
    DWORD length = ::GetFullPathNameW(path.c_str(), MAX_PATH * 2, full, NULL);
    if (length == 0 || length >= MAX_PATH * 2)
        return false;
    wchar_t expanded[MAX_PATH * 2] = {0};
    length = ::GetLongPathNameW(full, expanded, MAX_PATH * 2);
    if (length == 0 || length >= MAX_PATH * 2)
        return false;
    longPath = expanded;
    return true;
}

bool IsInsideFolder(const std::wstring& path, const std::wstring& folder)
{
    return folder.size() > 3 && StartsWithNoCase(path, folder);
}

CPayloadJudge::CPayloadJudge(const std::wstring& quarantineRoot)
{
    ReadQuarantinedDigests(quarantineRoot, m_quarantined);
    GetWindowsDirSlash(m_windows);
    m_programs = ProgramFilesDirsSlash();
    // Compared with long forms: the records may hold short ones.
    std::wstring longForm;
    if (!m_windows.empty() && LongFullPath(m_windows, longForm))
        m_windows = WithBackslash(longForm);
    for (size_t i = 0; i < m_programs.size(); ++i)
    {
        if (LongFullPath(m_programs[i], longForm))
            m_programs[i] = WithBackslash(longForm);
    }
}

bool CPayloadJudge::Resolve(const CommandTarget& target, std::wstring& path) const
{
    std::wstring text = target.path;
    if (text.find(L'\\') == std::wstring::npos && text.find(L'/') == std::wstring::npos)
    {
        // A bare name: what the system finds first, its own folders.
        if (!HasExtension(text))
            text += IsNameIn(target.host, kLibraryHosts) ? L".dll" : L".exe";
        std::wstring system;
        if (!GetSystemDirSlash(system))
            return false;
        text = CanOpenForRead((system + text).c_str()) ? system + text : m_windows + text;
    }
    if (text.size() < 3 || text[1] != L':' || (text[2] != L'\\' && text[2] != L'/') || IsRemoteOrDevicePath(text.c_str()))
        return false;  // relative to a folder no one knows, another machine, a device
    const std::wstring root = text.substr(0, 3);
    if (DriveTypeOf(root.c_str()) == DRIVE_REMOTE || !IsLocalDiskRoot(root))
        return false;
    wchar_t full[MAX_PATH * 2] = {0};
    const DWORD length = ::GetFullPathNameW(text.c_str(), MAX_PATH * 2, full, NULL);
    if (length == 0 || length >= MAX_PATH * 2)
        return false;
    path = full;
    return true;
}

bool CPayloadJudge::IsProtectedPath(const std::wstring& path) const
{
    // "C:\PROGRA~1\..." names Program Files as well: only the long form
    // says where a file is. One the system cannot name is protected.
    std::wstring longPath;
    if (!LongFullPath(path, longPath) || StartsWithNoCase(longPath, m_windows) || StartsWithNoCase(path, m_windows))
        return true;
    for (size_t i = 0; i < m_programs.size(); ++i)
    {
        if (StartsWithNoCase(longPath, m_programs[i]) || StartsWithNoCase(path, m_programs[i]))
            return true;
    }
    return false;
}

bool CPayloadJudge::IsOwnersFolder(HANDLE folder, const std::wstring& parent, const EntryOwner& owner) const
{
    if (!IsUserWritableFolder(folder))
        return false;  // no user's at all
    if (owner.sid.empty())
        return true;
    // A user's entry reaches his own profile, and folders he owns or writes.
    std::wstring longParent;
    if (!owner.profile.empty() && LongFullPath(parent, longParent) && IsInsideFolder(WithBackslash(longParent), owner.profile))
        return true;
    PSID user = NULL;
    if (!::ConvertStringSidToSidW(owner.sid.c_str(), &user))
        return false;
    const bool writable = IsUserWritableFolder(folder, user);
    ::LocalFree(user);
    return writable;
}

bool CPayloadJudge::HasPayloadSize(ULONGLONG size) const
{
    PayloadDigest smallest;
    smallest.size = size;
    const std::set<PayloadDigest>::const_iterator kept = m_quarantined.lower_bound(smallest);
    return m_stick.HasSize(size) || (kept != m_quarantined.end() && kept->size == size);
}

bool CPayloadJudge::MayBeWormStartupFile(DWORD attributes, ULONGLONG size) const
{
    return (attributes & kHiddenOrSystem) || HasPayloadSize(size);
}

bool CPayloadJudge::IsKnownPayload(HANDLE file, const std::wstring& path) const
{
    LARGE_INTEGER length;
    if ((m_stick.IsEmpty() && m_quarantined.empty()) || !::GetFileSizeEx(file, &length))
        return false;
    // Only a file of a known payload's size is read.
    if (!HasPayloadSize(static_cast<ULONGLONG>(length.QuadPart)))
        return false;
    PayloadDigest digest;
    if (!HashOpenFile(file, kMaxPayloadDigestBytes, digest.size, digest.sha256) || digest.size == 0)
        return false;
    if (!m_stick.Contains(digest) && !m_quarantined.count(digest))
        return false;
    // Signed programs are carried by worms as side-loading hosts, and by
    // users as portable programs: never the worm's by their bytes.
    return !HasValidSignature(file, path);
}

JudgedFile CPayloadJudge::Judge(const CommandTarget& target, const EntryOwner& owner) const
{
    JudgedFile judged;
    judged.verdict = kFileKept;
    // A colon past the drive's (of the plain or the long form) names a stream.
    const size_t first = target.path.compare(0, 4, L"\\\\?\\") == 0 ? 6 : 2;
    if (target.path.size() > first && target.path.find(L':', first) != std::wstring::npos)
    {
        judged.verdict = kFileStream;
        judged.path = target.path;
        return judged;
    }
    if (!Resolve(target, judged.path))
        return judged;
    CFolderChain chain;
    CHandle file;
    OpenFileFacts facts;
    if (!OpenAsItself(judged.path, kNonDirectoryOnly, chain, file) || !QueryOpenFile(file, facts) ||
        (facts.attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
        return judged;  // missing: the entry is left
    const std::wstring parent = ParentOf(judged.path);
    bool protectedFolder = IsProtectedPath(judged.path) || parent.size() < 3;
    bool hiddenFolder = false;
    if (!protectedFolder)
    {
        // The folder as itself: its access list and attributes through the
        // handle, never through a link in its place.
        CFolderChain above;
        CHandle folder;
        OpenFileFacts folderFacts;
        protectedFolder = !OpenAsItself(parent, kDirectoryOnly, above, folder) ||
                          !QueryOpenFile(folder, folderFacts) ||
                          (folderFacts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !IsOwnersFolder(folder, parent, owner);
        hiddenFolder = !protectedFolder && (folderFacts.attributes & kHiddenOrSystem) &&
                       !IsNameIn(LastPart(parent), kWindowsHiddenFolders);
    }
    const bool interpreted = target.kind == kTargetInterpreted;
    const bool hidden = !protectedFolder && ((facts.attributes & kHiddenOrSystem) || hiddenFolder);
    if ((interpreted && hidden) || IsKnownPayload(file, judged.path))
        judged.verdict = protectedFolder ? kFileWormLeft : kFileWorm;
    return judged;
}

bool CPayloadJudge::IsWormStartupFile(const std::wstring& path, const EntryOwner& owner) const
{
    const std::wstring parent = ParentOf(path);
    if (IsProtectedPath(path) || parent.size() < 3)
        return false;  // never deleted by this rule
    CFolderChain chain;
    CHandle file;
    OpenFileFacts facts;
    if (!OpenAsItself(path, kNonDirectoryOnly, chain, file) || !QueryOpenFile(file, facts) ||
        (facts.attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
        return false;
    if (!owner.sid.empty())
    {
        // A user's Startup folder: one he may write, his profile's.
        CFolderChain above;
        CHandle folder;
        OpenFileFacts folderFacts;
        if (!OpenAsItself(parent, kDirectoryOnly, above, folder) || !QueryOpenFile(folder, folderFacts) ||
            (folderFacts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !IsOwnersFolder(folder, parent, owner))
            return false;
    }
    return (facts.attributes & kHiddenOrSystem) || IsKnownPayload(file, path);
}
