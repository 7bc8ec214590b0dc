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

// One entry of a folder listing.
struct DirEntry
{
    std::wstring name;
    DWORD attributes;
    DWORD sizeHigh;
    DWORD sizeLow;

    bool IsFolder() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
};

// The entries of one folder (pattern such as "E:\*.*"), "." and ".." left out
// (Wine lists them even in drive roots). The drive is accessed quietly: a
// drive without medium gives false, without a system dialog.
bool ListFolder(const std::wstring& pattern, std::vector<DirEntry>& entries);

// Answers "is there an entry of this name" for one listing, without a system
// call per question and without regard to case, as the file system compares.
class CNameIndex
{
public:
    explicit CNameIndex(const std::vector<DirEntry>& entries);
    // The entry of that name, or NULL.
    const DirEntry* Find(const std::wstring& name) const;

private:
    std::vector<std::pair<std::wstring, const DirEntry*> > m_sorted;
};
