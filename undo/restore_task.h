// Restoring a scheduled task a scan deleted: its definition, kept in the
// quarantine folder, is registered again at its path.
#pragma once
#include <string>

#include "undo/quarantine.h"

// Registers the task of a "task" record kept in `folder` (with its trailing
// backslash); the report's line. `ok` goes false when it did not come back
// as it was (not at all, or disabled because it used a stored password).
std::wstring RestoreTask(const std::wstring& folder, const ManifestRecord& record, bool& ok);
