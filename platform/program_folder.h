// The program's own folder under the all-users application data
// ("corvaneTools", where the log and the quarantine live), writable only by
// Administrators and SYSTEM, and the careful file writes the program makes
// there and in folders the user controls.
#pragma once
#include <windows.h>
#include <aclapi.h>

#include <string>

#include "platform/handles.h"

// "<all-users application data>\corvaneTools\" with its trailing backslash,
// created protected or taken over; empty when the all-users application data
// folder is unknown or the folder cannot be made safe.
std::wstring GetProgramFolder();

// The same path without creating or securing anything (empty when unknown).
std::wstring GetProgramFolderPath();

// Makes `folder` writable only by Administrators and SYSTEM: creates it with
// that protected access list (inherited by everything below it), or, when it
// exists, takes it over (owner Administrators, its access list replaced). A
// folder that is itself a reparse point, or a file, is refused. The Win32
// error code (0 when the folder is safe).
DWORD SecureFolder(const std::wstring& folder);

// Opens a file for writing, created when missing, never through a reparse
// point and never a file with more than one link; `truncate` empties it after
// those checks. The Win32 error code (ERROR_ACCESS_DENIED for a refused file).
DWORD OpenFileForSafeWrite(const std::wstring& path, bool truncate, CHandle& file);

// Replaces a file inside a protected folder with the bytes
// (OpenFileForSafeWrite, truncated). The Win32 error code.
DWORD WriteSafeFile(const std::wstring& path, const void* bytes, DWORD size);

// Writes a new file where others may write (the temporary or the user's
// application-data folder): an existing file of that name is removed first
// (its attributes cleared, unless it is a reparse point or has other links,
// which are only unlinked), then the file is made with CREATE_NEW, so nothing
// is ever written through a link planted there. The Win32 error code.
DWORD WriteFreshFile(const std::wstring& path, const void* bytes, DWORD size);

// The two system calls the checks rest on. Tests replace them to see what is
// set and to stand in for a reparse point, as Wine keeps no access lists of
// files and makes no junctions.
struct FolderSystemCalls
{
    BOOL(WINAPI* getInformation)(HANDLE, LPBY_HANDLE_FILE_INFORMATION);
    DWORD(WINAPI* setSecurity)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL, PACL);
};
extern FolderSystemCalls g_folderCalls;
