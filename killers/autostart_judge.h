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

class CPayloadJudge
{
public:
    // Reads the quarantines' digests once, below `quarantineRoot` (empty:
    // none), and the folders of Windows and of its programs.
    explicit CPayloadJudge(const std::wstring& quarantineRoot);

    // A target of an entry's command line, its variables expanded.
    JudgedFile Judge(const CommandTarget& target) const;
    // A file lying in a Startup folder as an entry of its own: the worm's
    // when hidden or system, or of a worm's bytes.
    bool IsWormStartupFile(const std::wstring& path) const;

private:
    CPayloadJudge(const CPayloadJudge&);
    CPayloadJudge& operator=(const CPayloadJudge&);

    bool Resolve(const CommandTarget& target, std::wstring& path) const;
    bool IsProtectedPath(const std::wstring& path) const;
    // Whether the open file carries a worm's bytes and no valid signature.
    bool IsKnownPayload(HANDLE file, const std::wstring& path) const;

    CStickPayloads m_stick;
    std::set<PayloadDigest> m_quarantined;
    std::wstring m_windows;                  // with its trailing backslash
    std::vector<std::wstring> m_programs;    // the Program Files folders
};
