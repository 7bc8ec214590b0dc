// The program's own folder under the all-users application data
// ("corvaneTools", where the log and the quarantine live), writable only by
// Administrators and SYSTEM, and the careful file writes the program makes
// there and in folders the user controls.
#pragma once
#include <windows.h>
#include <aclapi.h>

#include <string>

#include "platform/folder_calls.h"
#include "platform/handles.h"

// "<all-users application data>\corvaneTools\" with its trailing backslash,
// created protected or taken over. When what stands there cannot be moved
// aside, a folder of a new name ("corvaneTools.<GUID>") beside it, made
// protected from its first moment and recorded in
// HKEY_LOCAL_MACHINE\SOFTWARE\corvaneTools, "ProgramFolder" (the native
// view; a key only Administrators and SYSTEM may change), which every later
// run uses. Empty when the all-users application
// data folder is unknown or no protected folder can be made at all.
std::wstring GetProgramFolder();

// While an object of this class lives on a thread, GetProgramFolder() on
// that thread answers what it answered first, and GetProgramFolderPath()
// that folder once it is secured: a scan run asks for its folder a few
// times (the quarantine, the log, the autostart walk), and securing it
// reads its owner and access list each time. Once secured, only
// Administrators and SYSTEM can change it. An empty answer is asked again.
// The first object alive on the thread takes effect; one made within its
// life changes nothing.
class CProgramFolderMemo
{
public:
    CProgramFolderMemo();
    ~CProgramFolderMemo();

private:
    friend std::wstring GetProgramFolder();
    friend std::wstring GetProgramFolderPath();
    std::wstring m_folder;

    CProgramFolderMemo(const CProgramFolderMemo&);
    CProgramFolderMemo& operator=(const CProgramFolderMemo&);
};

// The same path (the recorded folder when there is one) without creating or
// securing anything; empty when unknown.
std::wstring GetProgramFolderPath();

// Where a folder made in place of the usual one is recorded.
extern const wchar_t kProgramFolderKey[];    // "SOFTWARE\corvaneTools" below HKEY_LOCAL_MACHINE
extern const wchar_t kProgramFolderValue[];  // "ProgramFolder": the folder's name

// Makes `folder` writable only by Administrators and SYSTEM: creates it with
// that protected access list (inherited by everything below it). An existing
// folder is kept only when it is the program's own (IsProgramOwned; its owner
// and access list are then set once more); any other, a reparse point among
// them, was made by someone else, who may still hold handles to it or own
// what is inside: it is moved aside ("<folder>.untrusted-<YYYYMMDD-HHMMSS>")
// and a new one is made; so is a file standing there. What cannot be moved
// aside is refused. The Win32 error code (0 when the folder is safe).
DWORD SecureFolder(const std::wstring& folder);

// Gives the open file or folder (opened with WRITE_DAC and WRITE_OWNER) the
// protected access list of the program's folder: Administrators and SYSTEM
// only, owned by Administrators. The Win32 error code.
DWORD ProtectOpenObject(HANDLE handle);

// True when the open file or folder is the program's own: its owner is
// Administrators, SYSTEM or the owner this system gives what the program
// creates, and its access list lets nobody else write, add, delete or change
// its access. False when that cannot be read.
bool IsProgramOwned(HANDLE handle);

// The text of a small UTF-16 file (with its byte order mark) this program
// made: false when it is missing, a link, not the program's, larger than
// `maxBytes` or not such a text.
bool ReadProgramOwnedText(const std::wstring& path, ULONGLONG maxBytes, std::wstring& text);

// Opens a file for writing, created when missing, never through a reparse
// point and never a file with more than one link; `truncate` empties it after
// those checks. The Win32 error code (ERROR_ACCESS_DENIED for a refused file).
DWORD OpenFileForSafeWrite(const std::wstring& path, bool truncate, CHandle& file);

// Writes a new file, in the protected folder or where others may write (the
// temporary or the user's application-data folder, a /log folder), its
// folders held from the root of its drive (held_path.h) from the check to
// the last byte: an existing file of that name is removed first through the
// handle it is checked on (a read-only one has that cleared, a reparse point
// or a file with other links is only unlinked), then the file is made new in
// the held folder, so nothing is ever written through a link planted there
// or into a folder swapped in meanwhile. A path not on a drive is refused.
// The Win32 error code.
DWORD WriteFreshFile(const std::wstring& path, const void* bytes, DWORD size);
