// Deletions Windows carries out at its next start (MoveFileEx with
// MOVEFILE_DELAY_UNTIL_REBOOT): the pairs of PendingFileRenameOperations.
#pragma once
#include <windows.h>

#include <string>

// Takes the deletions of `path` ("\??\<path>" with an empty target) out of
// the list; a rename of it, and every other entry, stays. `cancelled` tells
// whether one was there. The Win32 error code (0 also when there was none).
DWORD CancelScheduledDeletion(const std::wstring& path, bool& cancelled);
