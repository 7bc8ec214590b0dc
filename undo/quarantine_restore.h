// Restore: what one scan's quarantine kept goes back where it was, and the
// quarantines are listed. The same code serves the command line and the
// window.
#pragma once
#include <windows.h>

#include <string>

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
