// A "Global\" named mutex, in every session of the PC, that only
// Administrators and SYSTEM may have: made with an access list of those two
// alone, and, when it stood there already, taken only when its owner is one
// of them (or the owner this process gives what it makes). A mutex someone
// else made first, to hold it for ever or to let anyone take it, is never
// taken for the program's own: that is "cannot be had", never "not needed".
#pragma once
#include <windows.h>

#include "platform/handles.h"

class CAdminMutex
{
public:
    // `name`: the mutex's name without "Global\".
    explicit CAdminMutex(const wchar_t* name);

    // The mutex; NULL when it could not be had (Error() says why).
    HANDLE Get() const { return m_mutex.Get(); }
    // ERROR_SUCCESS, or why the mutex could not be had: the system's error,
    // or ERROR_INVALID_OWNER for one someone else made.
    DWORD Error() const { return m_error; }

private:
    CAdminMutex(const CAdminMutex&);
    CAdminMutex& operator=(const CAdminMutex&);

    CHandle m_mutex;
    DWORD m_error;
};

// Whether a kernel object's owner is Administrators, SYSTEM or the owner
// this process gives the objects it makes; false when it cannot be read.
bool IsOwnedByAdmins(HANDLE object);
