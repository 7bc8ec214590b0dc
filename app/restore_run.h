// A restore as the command line and the window both make it: under the scan
// lock, so no scan changes what comes back meanwhile, and with one line per
// item put back in the scan log.
#pragma once
#include <windows.h>

#include <string>

#include "app/restore.h"

// Waits at most `lockWait` ms for the scan lock (a restore that cannot
// have it is refused, kRefusedBusy), restores what `choice` names of the
// quarantine `folder`, and appends "恢复\t<path>" to the log file for each
// item that came back. The exit code.
// How long /restore and the window wait for a scan to end.
const DWORD kRestoreLockWait = 5000;
int RestoreUnderScanLock(const std::wstring& folder, const RestoreChoice& choice, DWORD lockWait,
                         RestoreOutcome& outcome);

// The log's line for a file, folder, attributes or task that came back, and
// for the registry script imported.
extern const char kLogRestored[];          // "恢复\t"
extern const char kLogRegistryRestored[];  // "恢复注册表\t"
