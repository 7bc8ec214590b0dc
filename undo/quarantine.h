// The quarantine: before a scan deletes a file, changes attributes or
// changes the registry, it keeps what the change destroys, so that
// `/restore` can put it back.
//
// One scan's quarantine is "<program folder>Quarantine\<YYYYMMDD-HHMMSS>\":
//   kept.bin      the kept files one after another, each masked on its own
//                 (MaskBytes from its first byte) so that nothing in it
//                 runs or is taken for an infection; a record names its
//                 copy "kept.bin@<offset>" (PackedName). Quarantines of
//                 earlier versions kept each file as "0001.bin", ... whole;
//   manifest.txt  UTF-16 with byte-order mark, one record a line, fields
//                 separated by tabs (ManifestRecord), ending in
//                 "end<TAB><records>";
//   task-NNNN.xml the definition of a scheduled task it deleted (UTF-16);
//   before.reg    a registry script ("Windows Registry Editor Version 5.00",
//                 UTF-16) that puts back every value and key the scan
//                 changed, latest change first, composed when the scan is
//                 over from before.blocks, where each change's block went
//                 before the change was made (undo/registry_journal.h).
#pragma once
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/held_path.h"
#include "undo/change_gate.h"
#include "undo/registry_journal.h"

const DWORD kMaxQuarantines = 10;
const ULONGLONG kMaxQuarantineBytes = 256ull * 1024 * 1024;  // all quarantines together
const ULONGLONG kMaxKeptFileBytes = 64ull * 1024 * 1024;     // one file
const int kQuarantineKeepDays = 30;                          // never pruned younger

// "<program folder>Quarantine\" (not created); empty when unknown.
std::wstring GetQuarantineRootPath();

// The fixed reversible mask of kept bytes; `offset` is the position of
// bytes[0] in the file. Masking twice gives the bytes back.
void MaskBytes(BYTE* bytes, DWORD size, ULONGLONG offset);

// One line of the manifest.
struct ManifestRecord
{
    std::wstring kind;   // "file", "folder", "attributes", "registry", "task"
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
// The kind of a scheduled task's record: its path is the task's, its copy
// the file of its definition (UTF-16 XML) in the quarantine folder.
extern const wchar_t kRecordTask[];

std::wstring FormatManifestRecord(const ManifestRecord& record);

// The pack of a quarantine folder, and a record's name of its copy at
// `offset` in it.
extern const wchar_t kPackName[];  // "kept.bin"
std::wstring PackedName(ULONGLONG offset);
// Where a record's copy lies: the file in the quarantine folder and the
// offset in it. False for a name of no form this program writes.
bool ParseStoredName(const std::wstring& stored, std::wstring& file, ULONGLONG& offset);

// Reads "<folder>\manifest.txt" (UTF-16 or UTF-8, with byte-order mark).
// False when it cannot be read at all or was not made by this program. `complete` tells whether it ends with
// its end record naming the number of records; `bad` counts lines that are
// not records.
bool ReadManifest(const std::wstring& folder, std::vector<ManifestRecord>& records, bool* complete, int* bad);

// A quarantine folder's name "YYYYMMDD-HHMMSS" (a "-N" suffix allowed) as
// local time; false for any other name.
bool ParseQuarantineName(const std::wstring& name, SYSTEMTIME& time);

// Removes the oldest quarantines below `root` until at most kMaxQuarantines
// remain and they take at most kMaxQuarantineBytes, never one younger than
// kQuarantineKeepDays before `now` (local time). The bytes the remaining
// ones take.
ULONGLONG PruneQuarantines(const std::wstring& root, const SYSTEMTIME& now);

// The recorder of one scan.
class CQuarantine : public IChangeRecorder
{
public:
    // `root`: the quarantine root with its trailing backslash; empty means no
    // quarantine (nothing that may be the user's is then deleted).
    explicit CQuarantine(const std::wstring& root);
    virtual ~CQuarantine() {}

    // Prunes the quarantines at the start of a scan (local time `now`).
    void Prune(const SYSTEMTIME& now);
    // Writes the manifest's end record; called once the scan is over.
    void Finish();
    // This scan's folder with its trailing backslash; empty while nothing
    // was changed.
    const std::wstring& Folder() const { return m_folder; }

    virtual Verdict Before(const ChangeRequest& change);
    virtual void After(const ChangeRequest& change, bool succeeded);

private:
    CQuarantine(const CQuarantine&);
    CQuarantine& operator=(const CQuarantine&);

    bool EnsureFolder();
    bool EnsurePack();
    Verdict BeforeFile(const ChangeRequest& change);
    Verdict BeforeRegistry(const ChangeRequest& change);
    // The block of a registry script that puts back what the change
    // destroys, at most `maxChars` long; false when it cannot be had.
    bool ComposeBlock(const ChangeRequest& change, std::wstring& block, size_t maxChars);
    // Its cases: a value written or deleted, a key tree deleted or its
    // access reset (its values kept for the record), a script imported.
    bool ValueBlock(const ChangeRequest& change, std::wstring& block);
    bool TreeBlock(const ChangeRequest& change, std::wstring& block, size_t maxChars);
    bool ImportBlock(const ChangeRequest& change, std::wstring& block, size_t maxChars);
    Verdict BeforeTask(const ChangeRequest& change);
    void Append(const ManifestRecord& record);
    void AppendLine(const std::wstring& line);
    bool DriveSerialOf(const std::wstring& path, DWORD& serial);

    std::wstring m_root;
    std::wstring m_folder;
    bool m_folderFailed;
    ULONGLONG m_usedBytes;
    CHandle m_pack;            // open from the first kept copy to Finish
    ULONGLONG m_packSize;
    DWORD m_records;
    bool m_pending;            // a record waits for After
    ManifestRecord m_record;   // that record
    CRegistryJournal m_journal;    // the registry blocks, each on disk before its change
    ULONGLONG m_blockBytes;        // the block of the change that waits for After
    std::map<std::wstring, DWORD> m_driveSerials;  // volume serial per drive root, read once
    CHandle m_manifest;        // open from the first record to Finish
};

// "HKEY_LOCAL_MACHINE\..." or "HKEY_USERS\<sid>\..." for an open key (a
// predefined key gives its own name); empty when the system does not say.
std::wstring RegistryKeyName(HKEY key);
