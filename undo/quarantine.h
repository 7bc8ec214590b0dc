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

#include "platform/handles.h"
#include "platform/held_path.h"
#include "undo/change_gate.h"
#include "undo/quarantine_manifest.h"
#include "undo/quarantine_pack.h"
#include "undo/quarantine_pruning.h"
#include "undo/registry_backup.h"
#include "undo/registry_journal.h"

// "<program folder>Quarantine\" (not created); empty when unknown.
std::wstring GetQuarantineRootPath();

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
    // Its steps: the block within the room left (false: not kept), then
    // the block on disk before the change.
    bool ComposeWithinRoom(const ChangeRequest& change, std::wstring& block);
    Verdict JournalBlock(const std::wstring& block);
    // What is left of the room all quarantines share.
    ULONGLONG RoomLeft() const;
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
