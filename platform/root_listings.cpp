#include "platform/root_listings.h"

#include "platform/drives.h"

namespace {

// The set in use; NULL while no walk runs.
CRootListings* g_inUse = NULL;

// What SetFileAttributesW can set.
const DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

}  // namespace

CRootListing::CRootListing(const std::wstring& root) : m_listed(false)
{
    m_listed = ListFolder(ListedPath(root, L"*"), m_entries);
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
}

CRootListing* CRootListings::Get(const std::wstring& root)
{
    if (m_shared)
        return m_shared->Get(root);
    const std::wstring key = FoldCase(root);
    std::map<std::wstring, CRootListing*>::iterator it = m_listings.find(key);
    if (it == m_listings.end())
        it = m_listings.insert(std::make_pair(key, new CRootListing(root))).first;
    return it->second->IsListed() ? it->second : NULL;
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
    std::wstring root, name;
    if (!SplitRootEntry(path, root, name))
        return;
    std::map<std::wstring, CRootListing*>::iterator it = g_inUse->m_listings.find(FoldCase(root));
    if (it == g_inUse->m_listings.end())
        return;
    DirEntry* entry = it->second->Index().Find(name);
    if (!entry)
        return;
    if (deleted)
        entry->gone = true;
    else
        entry->attributes = AttributesAfterSet(entry->attributes, attributes);
}
