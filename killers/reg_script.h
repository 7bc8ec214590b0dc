// The registry scripts the program carries as "BIN" resources, and their
// silent import by the system's registry editor.
#pragma once
#include <windows.h>

#include <string>

// Resource ids of the two scripts.
const WORD kLnkFixScriptId = 209;  // restores the shortcut (.lnk) association
const WORD kFixRegScriptId = 211;  // restores the folder options for hidden files

// Writes the "bin" resource `id` of this program to `path` as a new file: an
// existing file there is removed first (WriteFreshFile), so nothing is ever
// written through a link planted at the path. Such a copy, in a folder the
// user can write, is never imported. Failures leave no trace; always true.
bool ExtractBinResource(WORD id, const wchar_t* path);

// Writes the script `id` into the program's protected folder and has the
// registry editor import that copy, through the change gateway (which learns
// the keys the script writes). False when there is no protected folder, the
// copy cannot be written or the editor does not start.
// Nothing is written before the import is made: a declined import leaves
// no file behind.
bool ImportScriptResource(WORD id);

// Where a script is given to the user: `name` in `folder` (which comes from
// the user's environment or registry). Empty (no copy is given) unless that
// folder is a full local path on a fixed local disk, neither the Windows
// folder nor below it, and no folder along it is a junction or symbolic link.
std::wstring UserScriptCopyPath(const wchar_t* folder, const wchar_t* name);

// The shortcut script's copy: "LNKFIX.REG" in the temporary folder.
std::wstring GetLnkFixTempPath();

// The folder options script's copy: "fix.reg" in the user's roaming
// application data folder, written at every start; empty when refused.
std::wstring GetFixRegPath();

