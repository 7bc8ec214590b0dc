// The registry scripts the program carries as "BIN" resources, and their
// silent import by the system's registry editor.
#pragma once
#include <windows.h>

// Resource ids of the two scripts.
const WORD kLnkFixScriptId = 209;  // restores the shortcut (.lnk) association
const WORD kFixRegScriptId = 211;  // restores the folder options for hidden files

// Writes the "bin" resource `id` of this program to `path` (replacing the
// file). Failures leave no trace; always true.
bool ExtractBinResource(WORD id, const wchar_t* path);

// Starts the registry editor hidden on the script: regedit.exe /s "path".
// Does not wait for it. `verb` is the shell verb (NULL for the default).
void ImportRegFile(const wchar_t* path, const wchar_t* verb = L"open");
