// The quarantine's command line: `/restore "<quarantine folder>" [/registry]`
// puts back what one scan deleted or changed; `/list` names the quarantines.
// Both run without a window and print to the console they were started from.
#pragma once
#include <windows.h>

#include <string>

#include "undo/quarantine_restore.h"

// /restore and /list as the command line asks for them: what they did goes
// to the console the program was started from; the exit code.
int RunRestore(const std::wstring& folder, bool registry);
int RunList();
