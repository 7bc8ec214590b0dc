// Reading a shortcut (.lnk) through the system's shell link object: the raw
// target path and the arguments, as stored. Nothing is resolved, searched
// for or started; only the shortcut file itself is opened, never what a
// junction or symbolic link in its place points to.
#pragma once
#include <objbase.h>

#include <string>

// Of a shortcut, no more than this is read: a real one is a few KiB, and the
// shell needs only its first bytes (a worm pads its launchers past any such
// limit; the padding is never read).
const unsigned long kMaxShortcutBytes = 256 * 1024;

// One owner of one COM interface pointer: released on every path.
template <class T>
class CComOwner
{
public:
    CComOwner() : m_p(NULL) {}
    ~CComOwner() { Release(); }

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    // For the functions that hand out a pointer: the old one goes first.
    T** Receive()
    {
        Release();
        return &m_p;
    }
    void Release()
    {
        if (m_p)
            m_p->Release();
        m_p = NULL;
    }

private:
    CComOwner(const CComOwner&);
    CComOwner& operator=(const CComOwner&);
    T* m_p;
};

// COM on this thread for the scope, apartment-threaded; uninitialised at the
// end only when the initialisation succeeded (already initialised counts).
class CComApartment
{
public:
    CComApartment() : m_hr(::CoInitializeEx(NULL, COINIT_APARTMENTTHREADED)) {}
    ~CComApartment()
    {
        if (SUCCEEDED(m_hr))
            ::CoUninitialize();
    }
    HRESULT Result() const { return m_hr; }

private:
    CComApartment(const CComApartment&);
    CComApartment& operator=(const CComApartment&);
    HRESULT m_hr;
};

struct ShortcutInfo
{
    std::wstring target;     // raw: environment variables stay as written
    std::wstring arguments;
    // Not loaded: it starts as a shortcut, is larger than kMaxShortcutBytes
    // and does not load from them.
    bool cutShort;

    ShortcutInfo() : cutShort(false) {}
};

// Loads the shortcut at `path` (COM must be initialised on the thread).
// False when the file does not load as a shortcut from its first
// kMaxShortcutBytes: not one, damaged, unreadable, or a reparse point (a
// symbolic link, which is never followed). The file is checked through a
// handle opened on it as itself, which keeps it in place while it is loaded
// (a larger one is loaded from what that handle read). Never calls Resolve.
bool ReadShortcut(const std::wstring& path, ShortcutInfo& info);
