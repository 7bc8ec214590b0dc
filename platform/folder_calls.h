// The system calls the program's folder checks and the level-by-level probe
// rest on, in one table tests can replace.
#pragma once
#include <windows.h>
#include <aclapi.h>

// The system calls the checks rest on. Tests replace them to see what is set,
// to stand in for a reparse point, for another owner, for a folder that
// cannot be moved and for a full disk, as Wine keeps no access lists or owners of files and makes
// no junctions.
struct FolderSystemCalls
{
    BOOL(WINAPI* getInformation)(HANDLE, LPBY_HANDLE_FILE_INFORMATION);
    DWORD(WINAPI* setSecurity)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL, PACL);
    DWORD(WINAPI* getSecurity)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                               PSECURITY_DESCRIPTOR*);
    BOOL(WINAPI* moveFile)(LPCWSTR, LPCWSTR, DWORD);
    // The writes of the quarantine's registry blocks and script, which a
    // full disk fails.
    BOOL(WINAPI* writeFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
};
extern FolderSystemCalls g_folderCalls;
