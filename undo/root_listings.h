// The listings of drive roots that the walks of one scan share. A root is
// listed once, when a walk first asks for it; every change the gateway then
// makes to one of its entries is written into the listing (a deleted entry
// is marked gone, an entry whose attributes changed gets the new ones), so
// a later walk sees the root as a fresh listing would show it, without
// listing it again and without asking the system about a name. A change the
// listing cannot place with certainty (a path in a short or otherwise
// different form) makes the root be listed again at the next ask, and each
// walk's first ask of a root makes sure the medium is still the one listed.
#pragma once
#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/file_helpers.h"

// One root's listing, in the order the system gave it, and its index.
class CRootListing
{
public:
    // Lists `root` ("E:\") and reads its volume's serial number.
    explicit CRootListing(const std::wstring& root);

    bool IsListed() const { return m_listed; }
    std::vector<DirEntry>& Entries() { return m_entries; }
    const CNameIndex& Index() const { return m_index; }
    // False when the volume did not tell its serial number.
    bool Serial(DWORD& serial) const
    {
        serial = m_serial;
        return m_hasSerial;
    }
    // To be listed again at the next ask.
    void MarkStale() { m_stale = true; }
    bool IsStale() const { return m_stale; }

private:
    CRootListing(const CRootListing&);
    CRootListing& operator=(const CRootListing&);

    bool m_listed;
    bool m_hasSerial;
    DWORD m_serial;
    bool m_stale;
    std::vector<DirEntry> m_entries;
    CNameIndex m_index;
};

// The root listings in use. The first set made is the one in use until it
// goes; a set made meanwhile (by a walk) hands every question to that one.
// So a scan that makes a set for its length has its walks share each
// root's listing, and a walk run on its own lists for itself.
class CRootListings
{
public:
    CRootListings();
    ~CRootListings();

    // The listing of `root` ("E:\"); NULL when the root does not list (no
    // medium, no access). A listing handed out stays valid as long as this
    // set, even when the root is listed again.
    CRootListing* Get(const std::wstring& root);
    // The local drive roots (ListLocalDriveRoots) and whether one is a
    // removable or USB drive (IsRemovableOrUsbDrive), asked of the system
    // once for the set: each question costs calls to the mount manager.
    const std::vector<std::wstring>& LocalRoots();
    bool IsRemovableOrUsb(const std::wstring& root);

private:
    CRootListings(const CRootListings&);
    CRootListings& operator=(const CRootListings&);
    // A walk's first ask of a root: listed again when its medium changed or
    // it did not list before.
    void CheckMedium(const std::wstring& root);

    CRootListings* m_shared;  // the set in use when this one was made, or NULL
    std::map<std::wstring, CRootListing*> m_listings;  // by folded root
    std::vector<CRootListing*> m_retired;              // replaced, still handed out
    std::set<std::wstring> m_checked;                  // roots this walk asked for (folded)
    bool m_rootsKnown;
    std::vector<std::wstring> m_roots;
    std::map<std::wstring, bool> m_removable;  // by folded root
    friend void NoteListedChange(const std::wstring&, bool, DWORD);
    friend bool ListedRootSerial(const std::wstring&, DWORD&);
};

// For the gateway: a change it made to `path`: the entry was deleted, or
// now has `attributes` as set by SetFileAttributesW. Only changes on the
// drive of a listed root are noted.
void NoteListedChange(const std::wstring& path, bool deleted, DWORD attributes);

// The serial number of the volume in `root` ("E:\") as the listing in use
// read it and its walk made sure of; false when there is none.
bool ListedRootSerial(const std::wstring& root, DWORD& serial);

// The attributes a listing shows once SetFileAttributesW(requested) was
// made on an entry that had `old`: what the call can set as asked, the rest
// (folder, link, compression) as it was.
DWORD AttributesAfterSet(DWORD old, DWORD requested);
