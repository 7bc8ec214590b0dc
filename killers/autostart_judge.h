// Whether a file an autostart entry starts is the worm's: by how it is
// started, its attributes and its folder's, and by its bytes (a payload
// this scan removed from a stick, or one an earlier scan kept). A check
// that cannot be made leaves the file the user's.
#pragma once
#include <windows.h>

#include <set>
#include <string>

#include "killers/command_target.h"
#include "killers/payload_identity.h"

enum FileVerdict
{
    kFileKept,        // not the worm's, missing, remote, or not to be judged
    kFileWorm,        // the worm's: the entry goes, and the file
    kFileWormLeft,    // the worm's, in a folder this rule never deletes from:
                      // the entry goes, the file stays
    kFileStream,      // "file:stream": never judged, the entry is left
};

struct JudgedFile
{
    FileVerdict verdict;
    std::wstring path;  // the full path judged (empty when it did not resolve)
};

// Whose entry names a file: a user's (his profile, with its trailing
// backslash, and his SID as text), or the machine's (both empty).
struct EntryOwner
{
    std::wstring profile;
    std::wstring sid;
};

// The long, full form of a local path (no 8.3 names, no "..");
// false when the system cannot say.
bool LongFullPath(const std::wstring& path, std::wstring& longPath);

// Whether `path` (a long, full path) lies inside `folder` (with its
// trailing backslash).
bool IsInsideFolder(const std::wstring& path, const std::wstring& folder);

class CPayloadJudge
{
public:
    // Reads the quarantines' digests once, below `quarantineRoot` (empty:
    // none), and the folders of Windows and of its programs.
    explicit CPayloadJudge(const std::wstring& quarantineRoot);

    // A target of `owner`'s entry's command line, its variables expanded.
    // A user's file is deleted only under his profile or in a folder he
    // owns or may write.
    JudgedFile Judge(const CommandTarget& target, const EntryOwner& owner) const;
    // A file lying in `owner`'s Startup folder (the machine's: the
    // all-users one) as an entry of its own: the worm's when hidden or
    // system, or of a worm's bytes, and where this rule deletes.
    bool IsWormStartupFile(const std::wstring& path, const EntryOwner& owner) const;
    // Whether a file listed with these attributes and this size may be one
    // (hidden or system, or of a known payload's size): only those are
    // opened and judged, the rest of a crowded folder is not.
    bool MayBeWormStartupFile(DWORD attributes, ULONGLONG size) const;

private:
    CPayloadJudge(const CPayloadJudge&);
    CPayloadJudge& operator=(const CPayloadJudge&);

    bool Resolve(const CommandTarget& target, std::wstring& path) const;
    // Windows' folder or a Program Files folder, read from the long form.
    bool IsProtectedPath(const std::wstring& path) const;
    // Whether the folder open at `folder` (named `parent`) is one `owner`'s
    // entries may delete from.
    bool IsOwnersFolder(HANDLE folder, const std::wstring& parent, const EntryOwner& owner) const;
    // Whether the open file carries a worm's bytes and no valid signature.
    bool IsKnownPayload(HANDLE file, const std::wstring& path) const;
    // Whether a payload of the stick's or of a quarantine's has this size.
    bool HasPayloadSize(ULONGLONG size) const;

    CStickPayloads m_stick;
    std::set<PayloadDigest> m_quarantined;
    std::wstring m_windows;                  // with its trailing backslash
    std::vector<std::wstring> m_programs;    // the Program Files folders
};
