#include "undo/root_listings.h"

#include "platform/drives.h"

namespace {

// The set in use; NULL while no walk runs.
CRootListings* g_inUse = NULL;

// What SetFileAttributesW can set (with the pinned and unpinned marks of
// Windows 10's cloud files, 0x80000 and 0x100000).
const DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | 0x80000 | 0x100000;

// The path as the system takes it: the long form "\\?\X:\..." as it is,
// any other form worked out as Win32 does (separators, "." and "..", dots
// and blanks at the end of a name) without asking the disk. Empty when it
// cannot be worked out.
std::wstring SystemFormOf(const std::wstring& path)
{
    if (LongFormPrefix(path) != 0)
        return path.substr(LongFormPrefix(path));
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, NULL, NULL);
    if (needed == 0)
        return std::wstring();
    std::vector<wchar_t> full(needed + 1, L'\0');
    const DWORD length = ::GetFullPathNameW(path.c_str(), needed + 1, &full[0], NULL);
    return length == 0 || length > needed ? std::wstring() : std::wstring(&full[0], length);
}

}  // namespace

CRootListing::CRootListing(const std::wstring& root) : m_listed(false), m_hasSerial(false), m_serial(0), m_stale(false)
{
    m_listed = ListFolder(ListedPath(root, L"*"), m_entries);
    if (m_listed)
        m_hasSerial = GetVolumeSerial(root, m_serial);
    // Indexed once the listing is complete: the index points into it.
    m_index.Build(m_entries);
}

CRootListings::CRootListings() : m_shared(g_inUse), m_rootsKnown(false)
{
    if (!g_inUse)
        g_inUse = this;
}

CRootListings::~CRootListings()
{
    if (g_inUse == this)
        g_inUse = NULL;
    for (std::map<std::wstring, CRootListing*>::iterator it = m_listings.begin(); it != m_listings.end(); ++it)
        delete it->second;
    for (size_t i = 0; i < m_retired.size(); ++i)
        delete m_retired[i];
}

CRootListing* CRootListings::Get(const std::wstring& root)
{
    const std::wstring key = FoldCase(root);
    if (m_shared)
    {
        if (m_checked.insert(key).second)
            m_shared->CheckMedium(root);
        return m_shared->Get(root);
    }
    std::map<std::wstring, CRootListing*>::iterator it = m_listings.find(key);
    if (it != m_listings.end() && it->second->IsStale())
    {
        // Whoever holds the old listing keeps it until the set goes.
        m_retired.push_back(it->second);
        m_listings.erase(it);
        it = m_listings.end();
    }
    if (it == m_listings.end())
        it = m_listings.insert(std::make_pair(key, new CRootListing(root))).first;
    return it->second->IsListed() ? it->second : NULL;
}

void CRootListings::CheckMedium(const std::wstring& root)
{
    std::map<std::wstring, CRootListing*>::iterator it = m_listings.find(FoldCase(root));
    if (it == m_listings.end())
        return;  // listed at the ask
    CRootListing* listing = it->second;
    DWORD listed = 0, serial = 0;
    const bool hadSerial = listing->Serial(listed);
    const bool hasSerial = listing->IsListed() && GetVolumeSerial(root, serial);
    if (!listing->IsListed() || hasSerial != hadSerial || serial != listed)
        listing->MarkStale();
}

const std::vector<std::wstring>& CRootListings::LocalRoots()
{
    if (m_shared)
        return m_shared->LocalRoots();
    if (!m_rootsKnown)
        m_roots = ListLocalDriveRoots();
    m_rootsKnown = true;
    return m_roots;
}

bool CRootListings::IsRemovableOrUsb(const std::wstring& root)
{
    if (m_shared)
        return m_shared->IsRemovableOrUsb(root);
    const std::wstring key = FoldCase(root);
    std::map<std::wstring, bool>::const_iterator known = m_removable.find(key);
    if (known != m_removable.end())
        return known->second;
    const bool removable = IsRemovableOrUsbDrive(root);
    m_removable[key] = removable;
    return removable;
}

DWORD AttributesAfterSet(DWORD old, DWORD requested)
{
    const DWORD attributes = (old & ~kSettableAttributes & ~FILE_ATTRIBUTE_NORMAL) | (requested & kSettableAttributes);
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

void NoteListedChange(const std::wstring& path, bool deleted, DWORD attributes)
{
    if (!g_inUse)
        return;
    const std::wstring full = SystemFormOf(path);
    if (full.size() < 3 || full[1] != L':' || full[2] != L'\\')
    {
        // Not on a drive letter as far as can be told here; a device form
        // ("\\.\E:\x") or a path that would not work out may still have
        // reached an entry of a root: every root is listed again.
        if (full.empty() || full.compare(0, 2, L"\\\\") == 0 || path.compare(0, 2, L"\\\\") == 0)
            for (std::map<std::wstring, CRootListing*>::iterator it = g_inUse->m_listings.begin();
                 it != g_inUse->m_listings.end(); ++it)
                it->second->MarkStale();
        return;
    }
    std::map<std::wstring, CRootListing*>::iterator it = g_inUse->m_listings.find(FoldCase(full.substr(0, 3)));
    if (it == g_inUse->m_listings.end())
        return;
    CRootListing* listing = it->second;
    std::wstring name = full.substr(3);
    while (!name.empty() && name[name.size() - 1] == L'\\')
        name.erase(name.size() - 1);
    if (name.empty() || name.find(L'\\') != std::wstring::npos)
        return;  // the root itself, or below a root entry: no entry of the root changed
    DirEntry* entry = name.find(L':') == std::wstring::npos ? listing->Index().Find(name) : NULL;
    if (!entry)
    {
        // A short name, a stream of the entry, a name the listing lacks:
        // which entry changed is not certain, so the root is listed again.
        listing->MarkStale();
        return;
    }
    if (deleted)
        entry->gone = true;
    else
        entry->attributes = AttributesAfterSet(entry->attributes, attributes);
}

bool ListedRootSerial(const std::wstring& root, DWORD& serial)
{
    serial = 0;
    if (!g_inUse)
        return false;
    std::map<std::wstring, CRootListing*>::const_iterator it = g_inUse->m_listings.find(FoldCase(root));
    return it != g_inUse->m_listings.end() && !it->second->IsStale() && it->second->IsListed() &&
           it->second->Serial(serial);
}
