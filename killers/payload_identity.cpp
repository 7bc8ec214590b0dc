#include "killers/payload_identity.h"

#include <vector>

#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "undo/quarantine.h"
#include "undo/quarantine_payloads.h"

namespace {

CStickPayloads* g_record = NULL;

// Kept files that are no one's payload: the launchers themselves and the
// worm's autorun.inf, which never start on the PC.
const wchar_t* const kNotPayloadExtensions[] = {L".lnk", L".inf"};

}  // namespace

CStickPayloads::CStickPayloads() : m_shared(g_record)
{
    if (!g_record)
        g_record = this;
}

CStickPayloads::~CStickPayloads()
{
    if (g_record == this)
        g_record = NULL;
}

bool CStickPayloads::Contains(const PayloadDigest& digest) const
{
    const CStickPayloads* record = m_shared ? m_shared : this;
    return record->m_digests.count(digest) != 0;
}

bool CStickPayloads::HasSize(ULONGLONG size) const
{
    const CStickPayloads* record = m_shared ? m_shared : this;
    PayloadDigest smallest;
    smallest.size = size;
    const std::set<PayloadDigest>::const_iterator found = record->m_digests.lower_bound(smallest);
    return found != record->m_digests.end() && found->size == size;
}

bool CStickPayloads::IsEmpty() const
{
    const CStickPayloads* record = m_shared ? m_shared : this;
    return record->m_digests.empty();
}

bool DeleteStickPayload(const std::wstring& path, KeepRule rule)
{
    HeldDigest held;
    if (!GateDeletePayload(path, rule, held))
        return false;
    if (g_record && !held.sha256.empty() && held.size > 0 && held.size <= kMaxPayloadDigestBytes)
    {
        PayloadDigest digest;
        digest.size = held.size;
        digest.sha256 = held.sha256;
        g_record->m_digests.insert(digest);
    }
    return true;
}

void ReadQuarantinedDigests(const std::wstring& root, std::set<PayloadDigest>& digests)
{
    if (root.empty())
        return;
    std::vector<DirEntry> folders;
    if (!ListFolder(root + L"*", folders))
        return;
    for (size_t f = 0; f < folders.size(); ++f)
    {
        SYSTEMTIME time;
        if (!folders[f].IsFolder() || (folders[f].attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !ParseQuarantineName(folders[f].name, time))
            continue;
        std::vector<ManifestRecord> records;
        bool complete = false;
        int bad = 0;
        std::set<std::wstring> payloads;
        ReadKeptPayloads(root + folders[f].name, payloads);
        if (payloads.empty())
            continue;
        ReadManifest(root + folders[f].name, records, &complete, &bad);
        for (size_t r = 0; r < records.size(); ++r)
        {
            const ManifestRecord& record = records[r];
            if (record.kind != kRecordFile || (record.state != kStateKept && record.state != kStateScheduledKept) ||
                !payloads.count(record.stored) || record.sha256.size() != 64 || record.size == 0 ||
                HasExtensionIn(record.path, kNotPayloadExtensions))
                continue;
            PayloadDigest digest;
            digest.size = record.size;
            digest.sha256 = record.sha256;
            digests.insert(digest);
        }
    }
}
