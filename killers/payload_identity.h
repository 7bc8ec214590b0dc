// The worm by its bytes: what the stick walks of this scan removed (or, in
// report-only, would remove), and what earlier scans kept in their
// quarantines. Its copies on the PC carry no sign but their bytes: few
// families hide them.
#pragma once
#include <windows.h>

#include <set>
#include <string>

#include "undo/change_gate.h"

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
    friend bool DeleteStickPayload(const std::wstring&, KeepRule);

    CStickPayloads* m_shared;  // the record in use when this one was made, or NULL
    std::set<PayloadDigest> m_digests;
};

// For the stick walks: deletes a worm's file on a stick through the gateway
// (GateDeletePayload), which reads its digest through the handle it deletes
// it by and marks the quarantine's copy as a payload. Once deleted (or
// declined by report-only) the digest is noted in the record in use. The
// gateway's answer.
bool DeleteStickPayload(const std::wstring& path, KeepRule rule);

// The digests of the worms' files earlier scans kept: the copies each
// quarantine below `root` ("...\Quarantine\") marked as a stick payload and
// still keeps (not brought back by /restore), shortcuts and autorun.inf left
// out. Read once per scan.
void ReadQuarantinedDigests(const std::wstring& root, std::set<PayloadDigest>& digests);
