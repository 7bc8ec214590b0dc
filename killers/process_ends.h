// Ending the worm's processes, each through the change gateway.
#pragma once
#include <string>

// Ends every process whose program path contains `pattern` (case-insensitive
// substring). Processes that cannot be opened or read are left alone, and
// so is this process. Returns 0.
int TerminateProcessesByPath(const wchar_t* pattern);

// Ends the processes that run `file` (a full local path): those started
// from it, and the script hosts, DLL runners and registrars whose command
// line names it (as the system tells it on Windows 8.1 and later, or from
// the process's own parameter block where it runs with this program's word
// size). Each through the change gateway; the number ended.
int EndProcessesRunning(const std::wstring& file);
