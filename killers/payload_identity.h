// The worm by its bytes: what the stick walks of this scan removed (or, in
// report-only, would remove), and what earlier scans kept in their
// quarantines. Its copies on the PC carry no sign but their bytes: few
// families hide them.
#pragma once
#include <windows.h>

#include <set>
#include <string>

// Files larger than this are never compared by their bytes.
const ULONGLONG kMaxPayloadDigestBytes = 64ull * 1024 * 1024;

// A file's size and SHA-256, ordered so that a set finds a pair.
struct PayloadDigest
{
    ULONGLONG size;
    std::wstring sha256;
    bool operator<(const PayloadDigest& other) const
    {
        return size != other.size ? size < other.size : sha256 < other.sha256;
    }
};

// The record of the stick payloads one scan removed. The first record made
// is the one in use until it goes; one made meanwhile (by a command run on
// its own) hands everything to that one. So the scan run makes one for its
// length and every walk of the scan notes into it.
class CStickPayloads
{
public:
    CStickPayloads();
    ~CStickPayloads();

    // Whether a digest is among the removed payloads; whether one of them
    // has this size (asked first: most files are not hashed then).
    bool Contains(const PayloadDigest& digest) const;
    bool HasSize(ULONGLONG size) const;
    bool IsEmpty() const;

private:
    CStickPayloads(const CStickPayloads&);
    CStickPayloads& operator=(const CStickPayloads&);
    friend bool DigestBeforeRemoval(const std::wstring&, PayloadDigest&);
    friend void NoteStickPayloadRemoved(const PayloadDigest&);

    CStickPayloads* m_shared;  // the record in use when this one was made, or NULL
    std::set<PayloadDigest> m_digests;
};

// For the stick walks, before they delete a worm's file: its digest, read
// from the file opened as itself. False when no record is in use, or the
// file cannot be read (it is then not noted).
bool DigestBeforeRemoval(const std::wstring& path, PayloadDigest& digest);
// After the deletion succeeded (or report-only declined it).
void NoteStickPayloadRemoved(const PayloadDigest& digest);

// The digests of the worms' files earlier scans kept: every file record of
// every quarantine below `root` ("...\Quarantine\"), shortcuts and
// autorun.inf left out. Read once per scan.
void ReadQuarantinedDigests(const std::wstring& root, std::set<PayloadDigest>& digests);
