// A path held from its check to its change: every folder from the drive's
// root down is opened as itself (never what a junction or symbolic link in
// its place points to), refused when it is a reparse point, and held open
// without sharing deletion, so that none of them can be renamed, removed or
// replaced by a link until the change is made. Each level is opened relative
// to the folder above it where the system allows (NtCreateFile with a root
// handle; under WOW64, whose folder redirection works on path names, by path
// while the folders above are held). The changes themselves are made through
// the handle of the file or folder, never by its path again.
#pragma once
#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/handles.h"

// The drive root ("X:\") of a local path, plain or in the long form
// "\\?\X:\..."; empty for any other form.
std::wstring DriveRootOf(const std::wstring& path);

// The path as the system takes it, in the long form "\\?\X:\..." that
// names each folder as it is: a plain or device form ("\\.\X:\...") worked
// out as Win32 works it out (".." resolved, the dots and blanks that end a
// name dropped), and the short names of its folders expanded. Empty for a
// path not on a drive.
std::wstring HeldPathForm(const std::wstring& path);

// The path a 32-bit process under WOW64 ends up at: "<Windows>\System32"
// is the 32-bit system folder (but for the few folders below it that are
// never redirected), "<Windows>\Sysnative" the native one.
std::wstring Wow64RedirectedPath(const std::wstring& path);

// The open file's final path is `path` ("\\?\" form or not), names that end
// in dots or blanks compared without them (some systems give "Setup. " as
// "Setup"); true where the system cannot tell (before Vista: there the held
// folders are the check).
bool FinalPathIs(HANDLE handle, const std::wstring& path);

// For the length of a walk over many entries of drive roots (a scan), on
// the thread that makes it: each root a chain opens is opened once and
// shared by every chain made meanwhile. A drive's root cannot be renamed,
// moved or replaced by a link, so the handle first opened stays the root's;
// a stick pulled meanwhile makes every change through it fail rather than
// reach another stick under that letter. Scopes do not nest: an inner one
// shares nothing of its own.
class CSharedRoots
{
public:
    CSharedRoots();
    ~CSharedRoots();

private:
    friend class CFolderChain;
    CSharedRoots(const CSharedRoots&);
    CSharedRoots& operator=(const CSharedRoots&);
    // The installed scope's handle of the root folder `folder` ("\\?\X:\"),
    // opened on first use; empty when no scope is installed on this thread
    // or the root is no plain folder.
    static std::shared_ptr<CHandle> Find(const std::wstring& folder);
    DWORD m_thread;
    std::map<std::wstring, std::shared_ptr<CHandle> > m_roots;  // by folded folder
};

// The folders of one path, held. One owner of all their handles (a shared
// root with the scope that opened it).
class CFolderChain
{
public:
    CFolderChain() : m_redirected(false), m_rootOnly(false) { ::ZeroMemory(&m_lastInfo, sizeof(m_lastInfo)); }

    // Opens and holds the drive's root and the folders of `path` below it,
    // down to its parent (and the path itself with `includeLast`); with
    // `create`, a missing folder is made. The Win32 error code:
    // ERROR_PATH_NOT_FOUND (missing, or not a path on a drive),
    // ERROR_DIRECTORY (a file stands where a folder belongs),
    // ERROR_CANT_ACCESS_FILE (a folder on the way is a junction or link),
    // or the system's own.
    DWORD Open(const std::wstring& path, bool includeLast, bool create);

    // The deepest folder held and its path (long form when `path` was).
    HANDLE Last() const { return m_handles.empty() ? NULL : m_handles.back()->Get(); }
    const std::wstring& LastPath() const { return m_last; }

    // Opens `name` (one name, a stream allowed) in the deepest folder as
    // itself, FILE_FLAG_OPEN_REPARSE_POINT and backup semantics. `options`:
    // FILE_DIRECTORY_FILE, FILE_NON_DIRECTORY_FILE or 0 for either;
    // `disposition` FILE_OPEN or FILE_CREATE. The Win32 error code.
    DWORD OpenIn(const std::wstring& name, ACCESS_MASK access, DWORD share, DWORD disposition, DWORD options,
                 CHandle& file) const;

    // The deepest folder held is still the one its path names: its final
    // path, and the folder the path opens now is the same one (a system that
    // lets held folders be renamed is caught here). Tests get their turn
    // (SetHeldPathHook) just before it is asked.
    bool InPlace() const;

private:
    CFolderChain(const CFolderChain&);
    CFolderChain& operator=(const CFolderChain&);

    DWORD OpenLevel(const std::wstring& folder, const std::wstring& name, bool create, CHandle& level) const;

    std::vector<std::shared_ptr<CHandle> > m_handles;  // a root may be shared (CSharedRoots)
    std::wstring m_last;
    BY_HANDLE_FILE_INFORMATION m_lastInfo;
    bool m_redirected;  // opened by path (WOW64)
    bool m_rootOnly;    // the drive's root is the deepest folder held
};

// For tests: called with the deepest folder held just before a chain is
// checked for the last time before its change (a test swaps a folder on the
// way there). NULL (the default) calls nothing.
typedef void (*PFNHELDPATHHOOK)(const std::wstring& folder);
void SetHeldPathHook(PFNHELDPATHHOOK hook);

// For tests: the folder (a plain path; empty: none) every chain refuses as
// if it were a junction, which Wine cannot make.
void SetHeldLinkForTests(const std::wstring& folder);

// NtCreateFile's dispositions and options, for OpenIn.
const DWORD kOpenExisting = 1;         // FILE_OPEN
const DWORD kCreateNew = 2;            // FILE_CREATE
const DWORD kDirectoryOnly = 0x1;      // FILE_DIRECTORY_FILE
const DWORD kNonDirectoryOnly = 0x40;  // FILE_NON_DIRECTORY_FILE

// Changes through an open handle (SetFileInformationByHandle where the
// system has it, NtSetInformationFile before Vista). The Win32 error code.
// The file or folder goes when the last handle to it closes; a folder only
// when empty.
DWORD DeleteThroughHandle(HANDLE handle);
// Attributes as SetFileAttributesW sets them; times too when given.
DWORD SetBasicsThroughHandle(HANDLE handle, DWORD attributes, const FILETIME* created = NULL,
                             const FILETIME* accessed = NULL, const FILETIME* written = NULL);

// Opens the file or folder at `path` (a local path on a drive, not a root)
// as itself in its folders, held by `chain` for as long as the handle is
// used: a junction or link anywhere on the way is refused, never followed
// (to another disk, or through an object link to another machine).
// `options` as OpenIn's; shared for reading and writing. The Win32 error code.
DWORD OpenHeldItem(const std::wstring& path, ACCESS_MASK access, DWORD options, CFolderChain& chain, CHandle& file);
