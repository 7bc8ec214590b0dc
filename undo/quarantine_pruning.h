// The quarantines' limits, and the pruning of old ones at the start of a
// scan.
#pragma once
#include <windows.h>

#include <string>

const DWORD kMaxQuarantines = 10;
const ULONGLONG kMaxQuarantineBytes = 256ull * 1024 * 1024;  // all quarantines together
const ULONGLONG kMaxKeptFileBytes = 64ull * 1024 * 1024;     // one file
const int kQuarantineKeepDays = 30;                          // never pruned younger

// A quarantine folder's name "YYYYMMDD-HHMMSS" (a "-N" suffix allowed) as
// local time; false for any other name.
bool ParseQuarantineName(const std::wstring& name, SYSTEMTIME& time);

// Removes the oldest quarantines below `root` until at most kMaxQuarantines
// remain and they take at most kMaxQuarantineBytes, never one younger than
// kQuarantineKeepDays before `now` (local time). The bytes the remaining
// ones take.
ULONGLONG PruneQuarantines(const std::wstring& root, const SYSTEMTIME& now);

