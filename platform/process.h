// Process helpers: ending programs by the path they run from, and token
// privileges.
#pragma once
#include <string>

// Ends every process whose program path contains `pattern` (case-insensitive
// substring). Processes that cannot be opened or read are left alone, and
// so is this process. Returns 0.
int TerminateProcessesByPath(const wchar_t* pattern);

// The same for `count` patterns over one listing of the processes: a process
// whose path contains any of them ends. Returns 0.
int TerminateProcessesByPaths(const wchar_t* const* patterns, size_t count);

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

// Ends the processes that run `file` (a full local path): those started
// from it, and the script hosts, DLL runners and registrars whose command
// line names it (as the system tells it on Windows 8.1 and later, or from
// the process's own parameter block where it runs with this program's word
// size). Each through the change gateway; the number ended.
int EndProcessesRunning(const std::wstring& file);
