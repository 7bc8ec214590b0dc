// The quarantine's command line: `/restore "<quarantine folder>" [/registry]`
// puts back what one scan deleted or changed; `/list` names the quarantines.
// Both run without a window and print to the console they were started from.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// /restore and /list as the command line asks for them: what they did goes
// to the console the program was started from; the exit code.
int RunRestore(const std::wstring& folder, bool registry);
int RunList();

// The exit codes.
const int kRestoreDone = 0;        // everything kept came back
const int kRestoreIncomplete = 1;  // something was refused or failed (see restore.txt)
const int kRestoreRefused = 2;     // not a quarantine folder, or no manifest

// Restores the quarantine `folder` (a folder directly below the quarantine
// root); with `registry`, imports its before.reg and waits for the editor.
// The folder, its manifest, its kept copies and its before.reg are used only
// when the program made them (IsProgramOwned).
// What it did, line by line, goes to `report` and to restore.txt there.
int RestoreQuarantine(const std::wstring& folder, bool registry, std::wstring& report);

// One line per quarantine, oldest first: folder, date, number of items. A
// folder not made by this program is left out.
int ListQuarantines(std::wstring& report);

// Called with a restored file's path at the moment before it is made (tests
// move folders on the way there); does nothing otherwise.
extern void (*g_beforeRestoreWrite)(const std::wstring& target);
