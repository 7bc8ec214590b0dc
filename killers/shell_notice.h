// Telling the shell that file associations changed, so that Explorer reads
// them anew.
#pragma once

#include <windows.h>

#include "platform/handles.h"

// While an object of this class lives on a thread, the notice that thread
// asks for is sent when the object ends, once `after` is signalled (or
// `maxWait` milliseconds have passed): the scan's worker sends it once its
// result is on the screen. The call waits for the shell's listeners, and
// some systems start a program for it, which would hold up the result; the
// scan needs nothing of it. Without one the notice is sent at once.
class CShellNoticeAtEnd
{
public:
    explicit CShellNoticeAtEnd(HANDLE after = NULL, DWORD maxWait = 0);
    ~CShellNoticeAtEnd();

private:
    friend void NotifyAssociationsChanged();
    CShellNoticeAtEnd* m_pOuter;
    bool m_bDue;
    CHandle m_hAfter;  // our own copy of `after`
    DWORD m_nMaxWait;

    CShellNoticeAtEnd(const CShellNoticeAtEnd&);
    CShellNoticeAtEnd& operator=(const CShellNoticeAtEnd&);
};

// SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, NULL, NULL), now or when
// the thread's CShellNoticeAtEnd ends; asked twice, sent once.
void NotifyAssociationsChanged();
