// Restore: what one scan's quarantine kept goes back where it was, all of it
// or the records chosen, and the quarantines are listed. The same code
// serves the command line and the window.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "undo/quarantine.h"
#include "undo/restore_file.h"

// The exit codes.
const int kRestoreDone = 0;        // everything kept came back (or had before)
const int kRestoreIncomplete = 1;  // something was refused or failed (see restore.txt)
const int kRestoreRefused = 2;     // not a quarantine folder, or no manifest

// What to put back of a quarantine.
struct RestoreChoice
{
    bool registry;               // import before.reg (every registry record at once)
    bool everyRecord;            // every record; otherwise `records` alone
    std::vector<size_t> records; // positions in the manifest's records

    RestoreChoice() : registry(false), everyRecord(true) {}
};

// Why a restore did nothing at all.
enum RestoreRefusal
{
    kNotRefused,
    kRefusedNoRoot,          // the program's folder is unknown or not safe
    kRefusedNotQuarantine,   // not a folder directly below the quarantine root
    kRefusedMissing,         // no such folder
    kRefusedNotProgramMade,  // a folder, manifest not made by this program
    kRefusedNoManifest,      // the manifest is missing or unreadable
    kRefusedBusy,            // a scan or another restore holds the scan lock
};

// One thing tried: the record's position (kRegistryScriptItem for the
// registry script), where it went, and whether it came back.
const size_t kRegistryScriptItem = static_cast<size_t>(-1);
struct RestoredItem
{
    size_t record;
    std::wstring path;
    bool back;
    std::wstring why;  // what kept it from coming back; empty when back
    size_t records;    // the records it stands for: the script's are all the registry's
};

struct RestoreOutcome
{
    int code;                 // kRestoreDone, kRestoreIncomplete, kRestoreRefused
    RestoreRefusal refusal;
    bool nothingLeft;         // everything chosen had come back before
    std::vector<RestoredItem> items;
    std::wstring report;      // line by line, as restore.txt has it

    RestoreOutcome() : code(kRestoreRefused), refusal(kNotRefused), nothingLeft(false) {}
};

// Restores the quarantine `folder` (a folder directly below the quarantine
// root), what `choice` names of it; with its registry, imports before.reg
// and waits for the editor. The folder, its manifest, its kept copies and
// its before.reg are used only when the program made them (IsProgramOwned).
// What came back is marked in restored.txt there and is not put back twice.
// What it did, line by line, goes to the outcome's report and to
// restore.txt there. The exit code.
int RestoreQuarantineItems(const std::wstring& folder, const RestoreChoice& choice, RestoreOutcome& outcome);
// The same for every record, the registry only when `registry`.
int RestoreQuarantine(const std::wstring& folder, bool registry, std::wstring& report);

// One quarantine as the lists show it.
struct QuarantineSummary
{
    std::wstring folder;  // with its trailing backslash
    SYSTEMTIME time;      // of its name, local time
    std::vector<ManifestRecord> records;
    bool complete;        // the manifest ends in its end record
    std::vector<bool> restored;  // per record: came back before
    bool registryRestored;       // before.reg was imported before

    QuarantineSummary() : complete(false), registryRestored(false)
    {
        ZeroMemory(&time, sizeof(time));
    }
};

// The quarantines this program made, oldest first.
void ReadQuarantines(std::vector<QuarantineSummary>& quarantines);
// The same of one folder; false when it is not one of them.
bool ReadQuarantine(const std::wstring& folder, QuarantineSummary& summary);

// One line per quarantine, oldest first: folder, date, number of items. A
// folder not made by this program is left out.
int ListQuarantines(std::wstring& report);
