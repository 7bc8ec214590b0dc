// The one gateway of every change a scan makes to the PC: file deletions
// (now or at the next start of Windows), attribute changes, folder
// removals, registry writes and deletions, permission resets, registry
// imports and process ends. A recorder installed for the scan sees each
// change before it is made: it keeps what the change destroys (the
// quarantine), or declines the change and only reports it (report-only).
// Without a recorder the changes are made directly.
#pragma once
#include <windows.h>

#include <string>

// Whether a file may still go when no copy of it can be kept.
enum KeepRule
{
    kKeepOrLeave,     // may be the user's: without a copy it stays where it is
    kDeleteUncopied,  // the worm's own file (its fixed program and driver files,
                      // an autorun.inf, its script): goes even without a copy
};

enum ChangeKind
{
    kChangeDeleteFile,      // path: the file (a stream "file:name" too)
    kChangeScheduleDelete,  // path: the file, deleted at the next start
    kChangeSetAttributes,   // path, attributes: the new attributes
    kChangeRemoveFolder,    // path: an empty folder
    kChangeSetValue,        // key, name: the value; type, data, bytes: the new data;
                            // a path: the subkey of key that holds the value,
                            // created when missing
    kChangeDeleteValue,     // key, name: the value
    kChangeDeleteTree,      // key, name: the parent and the subkey deleted whole
    kChangeResetKeyAccess,  // key, name: the root and the path below it of the
                            // key whose access list is replaced
    kChangeImportScript,    // path: a registry script; keys: what it writes
    kChangeEndProcess,      // path: the program of the process; process: its handle
    kChangeDeleteTask,      // path: the scheduled task ("\\Folder\\Name"); data: its XML
                            // (UTF-16, NUL-terminated)
};

// A file's size and SHA-256 (hex); `sha256` empty when it was not read.
struct HeldDigest
{
    ULONGLONG size;
    std::wstring sha256;

    HeldDigest() : size(0) {}
};

struct ChangeRequest
{
    ChangeKind kind;
    std::wstring path;
    DWORD attributes;
    KeepRule rule;
    HKEY key;
    const wchar_t* name;
    DWORD type;
    const void* data;
    DWORD bytes;
    HANDLE process;
    // For an import: the keys the script writes, as full names
    // ("HKEY_CLASSES_ROOT\.lnk"), NUL-separated, ending in an empty name.
    const wchar_t* scriptKeys;
    // For an import: true when it runs the 64-bit registry editor.
    bool nativeView;
    // For a tree deletion: the registry view flag it uses at every level.
    REGSAM view;
    // What makes an access reset or an import (the caller's own routines).
    bool (*resetAccess)(const wchar_t* path);
    bool (*importScript)(const std::wstring& script, bool nativeView);
    // What deletes a scheduled task (the caller's own routine).
    bool (*deleteTask)(const std::wstring& path);
    // For a deletion, folder removal or attribute change of a path on a
    // drive: the file or folder itself, opened as itself below the folders
    // the gateway holds from here to the change. What the recorder reads
    // of it, it reads through this handle (the one the change goes
    // through). NULL when it could not be had: `heldError` says why, and
    // the change is not made.
    HANDLE held;
    DWORD heldError;
    // For the deletion of a worm's payload from a stick (GateDeletePayload):
    // filled with the file's size and SHA-256, read through `held` before
    // the recorder is asked. The recorder marks its copy as a payload.
    HeldDigest* payload;

    ChangeRequest()
        : kind(kChangeDeleteFile), attributes(0), rule(kKeepOrLeave), key(NULL), name(NULL), type(0), data(NULL),
          bytes(0), process(NULL), scriptKeys(NULL), nativeView(false), view(0), resetAccess(NULL),
          importScript(NULL), deleteTask(NULL), held(NULL), heldError(ERROR_SUCCESS), payload(NULL)
    {
    }
};

class IChangeRecorder
{
public:
    enum Verdict
    {
        kMake,     // make the change (what it destroys has been kept)
        kLeave,    // leave things as they are: the change fails
        kDecline,  // do not make it, and tell the caller it was made (report-only)
    };
    // Before the change: keep what it destroys, or decide against it.
    virtual Verdict Before(const ChangeRequest& change) = 0;
    // After a change that was made or tried: whether it succeeded.
    virtual void After(const ChangeRequest& change, bool succeeded) = 0;

protected:
    ~IChangeRecorder() {}
};

// The recorder of the running scan; NULL makes every change directly.
void SetChangeRecorder(IChangeRecorder* recorder);
IChangeRecorder* GetChangeRecorder();

// Every change made while it lives goes through `recorder`; the recorder
// installed before comes back when it ends. The window's scan and the
// silent scan install theirs the same way.
class CRecordChangesWith
{
public:
    explicit CRecordChangesWith(IChangeRecorder* recorder) : m_previous(GetChangeRecorder())
    {
        SetChangeRecorder(recorder);
    }
    ~CRecordChangesWith() { SetChangeRecorder(m_previous); }

private:
    CRecordChangesWith(const CRecordChangesWith&);
    CRecordChangesWith& operator=(const CRecordChangesWith&);
    IChangeRecorder* m_previous;
};

// What a change the recorder left in place answers (GetLastError of the
// BOOL changes, the status of the others): told apart from a change that
// failed, so that the walks can say what they left.
const DWORD kErrorChangeLeft = ERROR_CANCELLED;

// The changes. Each answers as its Win32 call would: true or ERROR_SUCCESS
// when done (or declined by report-only), false or an error code when it
// failed or was left.

// Deletes a file; a read-only file has that attribute cleared and is tried
// once more, and gets its attributes back when it still will not go.
// A path on a drive ("X:\..." or "\\?\X:\...") is held for the deletion,
// the folder removal and the attribute change (held_path.h): a folder on the
// way that is a link, or was moved or replaced meanwhile, fails the change.
bool GateDeleteFile(const std::wstring& path, KeepRule rule);
// The same for a worm's payload on a stick: `digest` gets its size and
// SHA-256 read through the handle the deletion goes through (none for a
// file over kMaxHeldDigestBytes or one that cannot be read), and the
// quarantine marks its copy as a payload.
const ULONGLONG kMaxHeldDigestBytes = 64ull * 1024 * 1024;
bool GateDeletePayload(const std::wstring& path, KeepRule rule, HeldDigest& digest);
// MoveFileExW(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT).
bool GateScheduleDelete(const std::wstring& path, KeepRule rule);
bool GateSetAttributes(const std::wstring& path, DWORD attributes);
bool GateRemoveFolder(const std::wstring& path);

LONG GateSetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD bytes);
// REG_SZ, the terminating NUL counted.
LONG GateSetString(HKEY key, const wchar_t* name, const std::wstring& text);
LONG GateSetDword(HKEY key, const wchar_t* name, DWORD value);
// REG_SZ in root\subkey, the key created when it is missing (the request
// carries root as its key and subkey as its path).
LONG GateSetStringIn(HKEY root, const wchar_t* subkey, const wchar_t* name, const std::wstring& text);
LONG GateDeleteValue(HKEY key, const wchar_t* name);
// Deletes parent\name with everything below it (DeleteRegKeyTree) in the
// registry view `view` (0: the process's own).
LONG GateDeleteTree(HKEY parent, const wchar_t* name, REGSAM view = 0);
// Deletes root\path with all its subkeys (DeleteRegKeyTree, through the
// change gateway) in the registry view `view` (0: the process's own); true
// when the key is gone (a missing key counts). A path of 520 characters or
// more is not deleted: false.
bool DeleteKeyRecursive(HKEY root, const wchar_t* path, REGSAM view = 0);
// Runs `reset` on root\path (the reset knows its root); its result.
bool GateResetKeyAccess(HKEY root, bool (*reset)(const wchar_t* path), const wchar_t* path);
// Runs `import` (which starts the registry editor on the script).
bool GateImportScript(const std::wstring& script, const wchar_t* scriptKeys, bool nativeView,
                      bool (*import)(const std::wstring& script, bool nativeView));
// TerminateProcess(process, 0).
bool GateEndProcess(HANDLE process, const std::wstring& imagePath);
// Runs `remove` on the scheduled task at `path`, whose definition is `xml`.
bool GateDeleteTask(const std::wstring& path, const std::wstring& xml, bool (*remove)(const std::wstring& path));
