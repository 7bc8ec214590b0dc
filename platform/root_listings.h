// The listings of drive roots that the walks of one scan share. A root is
// listed once, when a walk first asks for it; every change the gateway then
// makes to one of its entries is written into the listing (a deleted entry
// is marked gone, an entry whose attributes changed gets the new ones), so
// a later walk sees the root as a fresh listing would show it, without
// listing it again and without asking the system about a name.
#pragma once
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "platform/file_helpers.h"

// One root's listing, in the order the system gave it, and its index.
class CRootListing
{
public:
    // Lists `root` ("E:\").
    explicit CRootListing(const std::wstring& root);

    bool IsListed() const { return m_listed; }
    std::vector<DirEntry>& Entries() { return m_entries; }
    const CNameIndex& Index() const { return m_index; }

private:
    CRootListing(const CRootListing&);
    CRootListing& operator=(const CRootListing&);

    bool m_listed;
    std::vector<DirEntry> m_entries;
    CNameIndex m_index;
};

// The root listings in use. The first set made is the one in use until it
// goes; a set made meanwhile hands every question to that one. So a scan
// that makes a set for its length has its walks share each root's listing,
// and a walk run on its own (a test, a single command) lists for itself.
class CRootListings
{
public:
    CRootListings();
    ~CRootListings();

    // The listing of `root` ("E:\"), made on the first ask; NULL when the
    // root does not list (no medium, no access).
    CRootListing* Get(const std::wstring& root);
    // The local drive roots (ListLocalDriveRoots) and whether one is a
    // removable or USB drive (IsRemovableOrUsbDrive), asked of the system
    // once for the set: each question costs calls to the mount manager.
    const std::vector<std::wstring>& LocalRoots();
    bool IsRemovableOrUsb(const std::wstring& root);

private:
    CRootListings(const CRootListings&);
    CRootListings& operator=(const CRootListings&);

    CRootListings* m_shared;  // the set in use when this one was made, or NULL
    std::map<std::wstring, CRootListing*> m_listings;  // by folded root
    bool m_rootsKnown;
    std::vector<std::wstring> m_roots;
    std::map<std::wstring, bool> m_removable;  // by folded root
    friend void NoteListedChange(const std::wstring&, bool, DWORD);
};

// For the gateway: a change it made to `path` (plain or in the long form
// "\\?\E:\name"): the entry was deleted, or now has `attributes` as set by
// SetFileAttributesW. Only entries of a root that is listed are noted.
void NoteListedChange(const std::wstring& path, bool deleted, DWORD attributes);

// The attributes a listing shows once SetFileAttributesW(requested) was
// made on an entry that had `old`: what the call can set as asked, the rest
// (folder, link, compression) as it was.
DWORD AttributesAfterSet(DWORD old, DWORD requested);
