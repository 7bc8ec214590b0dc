// The script worm that hides in a stream of explorer.exe: its processes, its
// registry traces (which give away its file name) and its drive files.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "killers/command.h"
#include "platform/file_helpers.h"

class CKillerForOneKB : public CCommand
{
public:
    CKillerForOneKB() : m_bNameFromUser(false), m_bNameFromMachine(false) {}

    // Ends script hosts and fake service hosts, sweeps the registry; with a
    // captured worm name, sweeps the drives and resets the drive-open keys.
    virtual int Run(ICommunication* comm);

    // The 17 registry checks; captures the worm's name into m_strName.
    void SweepRegistry();
    // Streams, shortcuts, hidden folders, Autorun.inf and worm copies.
    void SweepDrives();
    // Deletes the MountPoints2 cache and the Drive\shell verbs; logs it.
    void ResetDriveOpenKeys();

    const std::wstring& Name() const { return m_strName; }
    int Deleted() const { return m_nDeleted; }
    int Repaired() const { return m_nRepaired; }

private:
    // Whether the file named `name` in `root` (its entry in the root's
    // listing) may go. A name from a value the user can write ("load")
    // deletes from a fixed disk only a file the worm would have left:
    // hidden or system, or the same bytes as its script.
    bool MayDeleteNamedFile(const std::wstring& root, const DirEntry& entry);
    // Keeps the bytes of the worm's script from the first of its streams
    // that opens, before the streams go.
    void ReadWormScript(const std::wstring& stream);

    // One registry check (an entry of the sweep table) below one root in one
    // registry view; false when its key does not open there.
    bool SweepCheckIn(size_t index, HKEY root, REGSAM view);
    // The check of a sweep in one root, in each of the key's views.
    static void SweepRoot(HKEY root, const std::wstring& name, void* sweep);

    // The name came from a value the user can write, and no value only
    // administrators write gave the same name.
    bool m_bNameFromUser;
    bool m_bNameFromMachine;
    std::vector<BYTE> m_wormScript;  // empty: no stream could be read
};

// The script test of association commands and "load": true when the text
// runs a .vbs from a stream ("...explorer.exe:worm.vbs"); `stream` gets the
// text after the last colon.
bool PassesScriptTest(const std::wstring& text, std::wstring* stream);

extern const char kLogDelFile[];        // "del file "
extern const char kLogDriveOpenKeys[];  // the three lines of the drive-open reset
