// Reading a shortcut (.lnk) through the system's shell link object: the raw
// target path and the arguments, as stored. Nothing is resolved, searched
// for or started; only the shortcut file itself is opened, never what a
// junction or symbolic link in its place points to.
#pragma once
#include <objbase.h>

#include <string>

// Shortcuts larger than this are not loaded (a real one is a few KiB; the
// largest argument string a shortcut can hold is 64 KiB of UTF-16).
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
};

// Loads the shortcut at `path` (COM must be initialised on the thread).
// False when the file does not load as a shortcut: not one, damaged, larger
// than kMaxShortcutBytes, unreadable, or a reparse point (a symbolic link,
// which is never followed). The file is checked through a handle opened on
// it as itself, and that handle keeps it in place while it is loaded. Never
// calls Resolve.
bool ReadShortcut(const std::wstring& path, ShortcutInfo& info);
