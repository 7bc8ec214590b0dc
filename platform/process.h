// Process helpers: the processes running, what they run, and token
// privileges.
#pragma once
#include <windows.h>

#include <string>

// Calls `visit` for every process but this one that can be opened (all
// access) and whose program path can be read, with its handle (closed after
// the call) and that path. Processes that cannot be opened or read are
// left alone.
typedef void (*ProcessVisit)(HANDLE process, const wchar_t* imagePath, void* context);
void ForEachOtherProcess(ProcessVisit visit, void* context);

// The full program path of a process, read with QueryFullProcessImageNameW
// where the system has it (a 32-bit program reads 64-bit processes' paths
// that way) and with GetModuleFileNameExW on Windows XP. False when unknown.
bool GetProcessImagePath(void* process, wchar_t* path, unsigned long chars);

// Enables one privilege in this process's token; true when the system took
// the adjustment (a privilege the token lacks still counts as taken).
bool EnablePrivilege(const wchar_t* name);

// The shell's restart prompt (shell32, exported by ordinal 59 only, looked up
// at run time); a NULL text shows the system's own question. A yes restarts
// Windows.
void ShowRestartDialog(const wchar_t* text);

// Whether `process`, whose program is `imagePath`, runs `file` (a full
// local path): started from it, or a script host, DLL runner or registrar
// whose command line names it (as the system tells it on Windows 8.1 and
// later, or from the process's own parameter block where it runs with this
// program's word size).
bool ProcessRunsFile(HANDLE process, const wchar_t* imagePath, const std::wstring& file);
