// Small owners of Win32 handles: one object owns one handle and closes it on
// every path. Not copyable; Close() may be called early and is idempotent.
#pragma once
#include <windows.h>

// A kernel handle whose empty value is INVALID_HANDLE_VALUE (files) or NULL
// (threads, processes, events, snapshots). Both are treated as empty.
class CHandle
{
public:
    CHandle() : m_h(NULL) {}
    explicit CHandle(HANDLE h) : m_h(h) {}
    ~CHandle() { Close(); }

    bool IsValid() const { return m_h != NULL && m_h != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_h; }
    operator HANDLE() const { return m_h; }

    void Attach(HANDLE h) { Close(); m_h = h; }
    HANDLE Detach() { HANDLE h = m_h; m_h = NULL; return h; }
    void Close()
    {
        if (IsValid())
            ::CloseHandle(m_h);
        m_h = NULL;
    }

private:
    CHandle(const CHandle&);
    CHandle& operator=(const CHandle&);
    HANDLE m_h;
};

// A search handle of FindFirstFileW.
class CFindHandle
{
public:
    CFindHandle() : m_h(INVALID_HANDLE_VALUE) {}
    ~CFindHandle() { Close(); }

    bool First(const wchar_t* pattern, WIN32_FIND_DATAW* data)
    {
        Close();
        m_h = ::FindFirstFileW(pattern, data);
        return m_h != INVALID_HANDLE_VALUE;
    }
    bool Next(WIN32_FIND_DATAW* data) { return ::FindNextFileW(m_h, data) != FALSE; }
    void Close()
    {
        if (m_h != INVALID_HANDLE_VALUE)
            ::FindClose(m_h);
        m_h = INVALID_HANDLE_VALUE;
    }

private:
    CFindHandle(const CFindHandle&);
    CFindHandle& operator=(const CFindHandle&);
    HANDLE m_h;
};

// A mutex this thread holds: let go when the scope ends (the mutex handle
// itself stays with its owner).
class CMutexHold
{
public:
    CMutexHold() : m_h(NULL) {}
    ~CMutexHold() { Release(); }

    // Waits at most `milliseconds` for the mutex; true when this thread holds
    // it now (also when its last holder ended without letting go).
    bool Wait(HANDLE mutex, DWORD milliseconds)
    {
        if (m_h)
            return true;
        const DWORD wait = ::WaitForSingleObject(mutex, milliseconds);
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED)
            m_h = mutex;
        return m_h != NULL;
    }
    bool IsHeld() const { return m_h != NULL; }
    void Release()
    {
        if (m_h)
            ::ReleaseMutex(m_h);
        m_h = NULL;
    }

private:
    CMutexHold(const CMutexHold&);
    CMutexHold& operator=(const CMutexHold&);
    HANDLE m_h;
};

// Quiet drive access: a drive without medium fails instead of asking the user.
// The previous error mode comes back when the scope ends.
class CQuietDriveAccess
{
public:
    CQuietDriveAccess() : m_uPrevious(::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX)) {}
    ~CQuietDriveAccess() { ::SetErrorMode(m_uPrevious); }

private:
    CQuietDriveAccess(const CQuietDriveAccess&);
    CQuietDriveAccess& operator=(const CQuietDriveAccess&);
    UINT m_uPrevious;
};
