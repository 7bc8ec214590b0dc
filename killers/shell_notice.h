// Telling the shell that file associations changed, so that Explorer reads
// them anew.
#pragma once

// While an object of this class lives on a thread, the notice that thread
// asks for is sent when the object ends: the scan's worker ends it after
// the result is shown. The call waits for the shell's listeners (tens of
// milliseconds on some systems) and nothing the scan does after its
// repairs needs it done. Without one the notice is sent at once.
class CShellNoticeAtEnd
{
public:
    CShellNoticeAtEnd();
    ~CShellNoticeAtEnd();

private:
    friend void NotifyAssociationsChanged();
    CShellNoticeAtEnd* m_pOuter;
    bool m_bDue;

    CShellNoticeAtEnd(const CShellNoticeAtEnd&);
    CShellNoticeAtEnd& operator=(const CShellNoticeAtEnd&);
};

// SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, NULL, NULL), now or when
// the thread's CShellNoticeAtEnd ends; asked twice, sent once.
void NotifyAssociationsChanged();
