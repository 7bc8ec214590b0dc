// What of a quarantine came back already: "restored.txt" beside its
// manifest, one line per record put back (its position in the manifest, in
// decimal) and "registry" once its before.reg was imported. A restore
// leaves what is marked as it is, so nothing comes back twice.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

struct RestoreMarks
{
    std::vector<bool> records;  // per record of the manifest
    bool registry;

    RestoreMarks() : registry(false) {}
};

extern const wchar_t kRestoreMarksName[];  // "restored.txt"

// The marks of the quarantine `folder` (with its trailing backslash) for a
// manifest of `recordCount` records; none when the file is missing, was not
// made by this program or is damaged.
void ReadRestoreMarks(const std::wstring& folder, size_t recordCount, RestoreMarks& marks);
// Writes them new (WriteFreshFile); the Win32 error code.
DWORD WriteRestoreMarks(const std::wstring& folder, const RestoreMarks& marks);
