// File-system helpers shared by the cleaning commands and the scan run.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

// The drive roots ("C:\", "E:\", ...) in the order the system lists them, all
// types included. Any number of drives: a list longer than the first buffer
// is read again into one of the size the system asks for.
std::vector<std::wstring> ListDriveRoots();

// True when the file starts with an MZ header whose PE offset (the 32-bit
// value at byte 60) points to the letters "PE". With isDll, also tells whether
// the image's Characteristics carry IMAGE_FILE_DLL.
bool IsPeImage(const wchar_t* path, bool* isDll = NULL);

// What the handle of an open file tells of the file itself. Unlike
// GetFileInformationByHandle it does not ask for the volume's serial number,
// which on some systems costs a round trip to the mount manager per call.
struct OpenFileFacts
{
    DWORD attributes;
    ULONGLONG size;
    DWORD links;
    FILETIME created, accessed, written;
};
bool QueryOpenFile(HANDLE file, OpenFileFacts& facts);
// Its attributes alone (one question to the system instead of two).
bool QueryOpenAttributes(HANDLE file, DWORD& attributes);

// True when the file exists and opens for reading (folders do not).
bool CanOpenForRead(const wchar_t* path);

// The folder with one trailing backslash (an empty folder stays empty).
std::wstring WithBackslash(const std::wstring& folder);

// Creates every folder along the path up to its last backslash; the part after
// it is taken for a file name. Existing folders are fine. Always true.
bool CreateDirectoryChain(const wchar_t* path);

// Deletes a file; when that fails because the file is read-only (as worms
// leave their copies), clears the read-only attribute and tries once more.
// A file that still will not go gets its attributes back. True when deleted.
bool DeleteFileClearingReadOnly(const wchar_t* path);

// The text with every control character (below the blank: tabs, line breaks,
// NUL) replaced by "?". Registry names and values and file names are anyone's
// text: written into a line of the log, the report, the console or the
// manifest, they never start a line or a field of their own.
std::wstring WithoutControlChars(const std::wstring& text);

// The name in upper case, as names are compared without regard to case.
std::wstring FoldCase(const std::wstring& name);

// Whether the name equals one of `names`, without regard to case.
bool IsNameIn(const std::wstring& name, const wchar_t* const* names, size_t count);
template <size_t N>
bool IsNameIn(const std::wstring& name, const wchar_t* const (&names)[N])
{
    return IsNameIn(name, names, N);
}

// Whether the extension of a name or path (from the last dot of its last
// part, not a leading one: ".vbs" of "C:\x\u1.vbs") is one of `extensions`.
bool HasExtensionIn(const std::wstring& path, const wchar_t* const* extensions, size_t count);
template <size_t N>
bool HasExtensionIn(const std::wstring& path, const wchar_t* const (&extensions)[N])
{
    return HasExtensionIn(path, extensions, N);
}

// One entry of a folder listing. A walk that deletes an entry marks it
// gone, so that nothing later in the walk asks the system about it.
struct DirEntry
{
    std::wstring name;
    DWORD attributes;
    DWORD sizeHigh;
    DWORD sizeLow;
    bool gone;

    bool IsFolder() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
};

// The length of the "\\?\" that starts a path in the long form (4), or 0.
size_t LongFormPrefix(const std::wstring& path);

// The path of a listed entry for system calls: folder + name in the long
// form "\\?\E:\name", so that a name ending in a blank or a dot reaches
// that entry and not another one. Folders not on a drive letter are
// joined as they are.
std::wstring ListedPath(const std::wstring& folder, const std::wstring& name);

// For an entry of a drive root in the long form a listing gives it,
// "\\?\E:\name" (ListedPath), which the system takes as it is: its root "E:\"
// and its name. False for any other path, and for a name that holds a
// separator or a stream (a plain path may reach elsewhere once worked out).
bool SplitRootEntry(const std::wstring& path, std::wstring& root, std::wstring& name);

// Paths the file helpers open, for tests that count the opens: called with
// each path just before it is opened. NULL (the default) calls nothing.
typedef void (*PFNFILEOPENHOOK)(const wchar_t* path);
void SetFileOpenHook(PFNFILEOPENHOOK hook);

// The entries of one folder (pattern such as "E:\*.*"), "." and ".." left out
// (Wine lists them even in drive roots). The drive is accessed quietly: a
// drive without medium gives false, without a system dialog.
bool ListFolder(const std::wstring& pattern, std::vector<DirEntry>& entries);

// The attributes of one entry as its folder's listing shows them: the entry
// itself, never what a link in its place points to. INVALID_FILE_ATTRIBUTES
// when it is missing. `path` is a plain full path ("E:\sysvolume\x.vbs").
DWORD ListedAttributes(const std::wstring& path);

// For tests: called with every listing the helpers make, of a folder
// ("E:\", "E:\sysvolume\", without the long-form prefix) or of the one entry
// a path names, before anyone reads it; it may change what the entries say
// (a test shows a symbolic link to a file, which Wine does not list as one).
// NULL (the default) calls nothing.
typedef void (*PFNLISTINGHOOK)(const std::wstring& folder, std::vector<DirEntry>& entries);
void SetListingHook(PFNLISTINGHOOK hook);

// Answers "is there an entry of this name" for one listing, without a system
// call per question and without regard to case, as the file system compares.
class CNameIndex
{
public:
    CNameIndex() {}
    explicit CNameIndex(std::vector<DirEntry>& entries) { Build(entries); }
    // Indexes `entries`, which must then stay as they are (marks aside).
    void Build(std::vector<DirEntry>& entries);
    // The entry of that name, or NULL (also when it is marked gone).
    DirEntry* Find(const std::wstring& name) const;
    // The entries in the order of their names without regard to case, gone
    // ones included.
    size_t Count() const { return m_sorted.size(); }
    DirEntry& At(size_t i) const { return *m_sorted[i].second; }

private:
    std::vector<std::pair<std::wstring, DirEntry*> > m_sorted;
};
