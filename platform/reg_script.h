// The registry scripts the program carries as "BIN" resources, and their
// silent import by the system's registry editor.
#pragma once
#include <windows.h>

#include <string>

// Resource ids of the two scripts.
const WORD kLnkFixScriptId = 209;  // restores the shortcut (.lnk) association
const WORD kFixRegScriptId = 211;  // restores the folder options for hidden files

// Writes the "bin" resource `id` of this program to `path` (replacing the
// file). Failures leave no trace; always true.
bool ExtractBinResource(WORD id, const wchar_t* path);

// Starts the registry editor hidden on the script: regedit.exe /s "path".
// Does not wait for it. `verb` is the shell verb (NULL for the default).
void ImportRegFile(const wchar_t* path, const wchar_t* verb = L"open");

// The keys each script writes, as full names, NUL-separated, ending in an
// empty name (for the record of an import).
extern const wchar_t kFixRegScriptKeys[];
extern const wchar_t kLnkFixScriptKeys[];

// On 64-bit Windows the registry editor ImportRegFile starts writes the view
// of this program's kind only: this imports the script once more with the
// editor of the other view (the native one for the 32-bit program), through
// the change gateway, without waiting. Nothing to do on 32-bit Windows
// (true). False when the editor did not start.
bool ImportRegFileInOtherView(const std::wstring& path, const wchar_t* scriptKeys);
