// Putting back what a scan deleted or changed on a drive, one record at a
// time: a kept file at its recorded path and volume (beside a file that came
// back meanwhile, as "name (restored).ext"), checked against its SHA-256; a
// folder or the attributes it had. Each returns the report's line
// ("restored\t<path>...", "refused\t<path>\t<reason>", ...).
#pragma once
#include <string>

#include "undo/quarantine.h"

// A line of the report: "<what>\t<path>[\t<detail>]\r\n".
std::wstring RestoreLine(const wchar_t* what, const std::wstring& path, const std::wstring& detail);

// A kept file of the quarantine `folder` (with its trailing backslash), made
// new in its held folder under an access list for Administrators and SYSTEM.
std::wstring RestoreFile(const std::wstring& folder, const ManifestRecord& record, bool& ok);

// A file the scan scheduled for deletion at the next start of Windows: the
// deletion is cancelled first; the file still in place with the bytes kept
// is back as it was, anything else gets the kept copy.
std::wstring RestoreScheduledFile(const std::wstring& folder, const ManifestRecord& record, bool& ok);

// The attributes a scan changed, or a folder it removed.
std::wstring RestoreFolderOrAttributes(const ManifestRecord& record, bool& ok);

// Called with a restored file's path at the moment before it is made (tests
// move folders on the way there); does nothing otherwise.
extern void (*g_beforeRestoreWrite)(const std::wstring& target);
