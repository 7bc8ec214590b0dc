// A named mutex that only Administrators and SYSTEM can make or hold, in
// every session of the PC. Where the system has private namespaces (Vista
// on) it lies in one bounded by the Administrators group, which nobody else
// can create or open; elsewhere (XP) it is a "Global\" mutex whose owner is
// checked, so a mutex someone else made there first is never taken for the
// program's own.
#pragma once
#include <windows.h>

#include "platform/handles.h"

class CAdminMutex
{
public:
    // `name`: the mutex's name without "Global\" or a namespace.
    explicit CAdminMutex(const wchar_t* name);
    ~CAdminMutex();

    // The mutex; NULL when it could not be had (Error() says why).
    HANDLE Get() const { return m_mutex.Get(); }
    // ERROR_SUCCESS, or why the mutex could not be had: the system's error,
    // or ERROR_INVALID_OWNER for one someone else made.
    DWORD Error() const { return m_error; }

private:
    CAdminMutex(const CAdminMutex&);
    CAdminMutex& operator=(const CAdminMutex&);

    bool OpenInNamespace(const wchar_t* name, SECURITY_ATTRIBUTES& attributes);

    CHandle m_mutex;
    HANDLE m_namespace;  // ClosePrivateNamespace
    HANDLE m_boundary;   // DeleteBoundaryDescriptor
    DWORD m_error;
};

// Whether a kernel object's owner is Administrators, SYSTEM or the owner
// this process gives the objects it makes; false when it cannot be read.
bool IsOwnedByAdmins(HANDLE object);

// For tests: false makes CAdminMutex use the "Global\" mutex, as on a system
// without private namespaces; true (the default) uses them where they exist.
void UsePrivateNamespaceForTests(bool use);
