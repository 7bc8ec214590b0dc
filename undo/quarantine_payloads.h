// Which copies of a quarantine folder are a worm's payloads from a stick
// (the stick walks mark them as they delete them: GateDeletePayload), and
// which of those /restore brought back. A list of its own beside the
// manifest ("payloads.txt", UTF-16 lines "payload\t<stored>" and
// "restored\t<stored>"), so the manifest reads as it always did.
#pragma once
#include <windows.h>

#include <set>
#include <string>

extern const wchar_t kPayloadListName[];

// Appends a line to the list of the quarantine folder `folder` (with or
// without its trailing backslash). The Win32 error code.
DWORD NotePayloadKept(const std::wstring& folder, const std::wstring& stored);
DWORD NotePayloadRestored(const std::wstring& folder, const std::wstring& stored);

// The stored names of the payloads still kept: marked and not brought back.
// None when the list is missing, damaged or not the program's own.
void ReadKeptPayloads(const std::wstring& folder, std::set<std::wstring>& stored);
