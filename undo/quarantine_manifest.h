// The quarantine's manifest: one record a line for every change a scan
// made, in "<quarantine folder>\manifest.txt" (UTF-16 with byte-order mark,
// fields separated by tabs, ending in "end<TAB><records>").
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// One line of the manifest.
struct ManifestRecord
{
    std::wstring kind;   // kRecord* below
    std::wstring state;  // see kState* below
    std::wstring path;   // the original full path (a key name for "registry")
    DWORD volume;        // serial number of the volume the path was on
    DWORD attributes;
    ULONGLONG size;
    FILETIME created, accessed, written;
    std::wstring sha256;  // of the original bytes; "-" when none
    std::wstring stored;  // "kept.bin@<offset>" (earlier: "0001.bin"); "-" when none

    ManifestRecord();
};

// The states of a record.
extern const wchar_t kStateKept[];               // deleted; copy kept
extern const wchar_t kStateScheduledKept[];      // deleted at the next start; copy kept
extern const wchar_t kStateScheduledNotKept[];   // deleted at the next start; locked, no copy
extern const wchar_t kStateDeletedNotKept[];     // the worm's own file, deleted without a copy
extern const wchar_t kStateLeftInPlace[];        // no copy could be kept: not deleted
extern const wchar_t kStateChanged[];            // attributes or registry: old state kept
extern const wchar_t kStateRegistryNotKept[];    // registry change made, old state unreadable
// The kinds of records.
extern const wchar_t kRecordFile[];        // "file": a file deleted or scheduled
extern const wchar_t kRecordFolder[];      // "folder": an empty folder removed
extern const wchar_t kRecordAttributes[];  // "attributes": a file's attributes changed
extern const wchar_t kRecordRegistry[];    // "registry": a value, key or import
// A scheduled task's record: its path is the task's, its copy the file of
// its definition (UTF-16 XML) in the quarantine folder.
extern const wchar_t kRecordTask[];

std::wstring FormatManifestRecord(const ManifestRecord& record);

// Reads "<folder>\manifest.txt" (UTF-16 or UTF-8, with byte-order mark).
// False when it cannot be read at all or was not made by this program. `complete` tells whether it ends with
// its end record naming the number of records; `bad` counts lines that are
// not records.
bool ReadManifest(const std::wstring& folder, std::vector<ManifestRecord>& records, bool* complete, int* bad);

// The manifest's file name in a quarantine folder, and the text of a field
// that has no value.
extern const wchar_t kManifestName[];  // "manifest.txt"
extern const wchar_t kManifestNone[];  // "-"

// `value` as lowercase hexadecimal digits, 8 or 16 of them.
std::wstring HexDigits(ULONGLONG value, int digits);
// A file time as one number.
ULONGLONG FileTimeValue(const FILETIME& time);
// UTF-16 little endian bytes of `text`, without byte-order mark.
std::string Utf16LeBytes(const std::wstring& text);
// Appends `text` to an open file, the byte-order mark first when it is
// empty; the Win32 error code.
DWORD AppendUtf16Text(HANDLE file, const std::wstring& text);
