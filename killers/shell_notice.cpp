#include "killers/shell_notice.h"

#include <windows.h>
#include <shlobj.h>

namespace {

thread_local CShellNoticeAtEnd* t_pNotice = NULL;

void SendAssociationsChanged() { ::SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, NULL, NULL); }

}  // namespace

CShellNoticeAtEnd::CShellNoticeAtEnd(HANDLE after, DWORD maxWait)
    : m_pOuter(t_pNotice), m_bDue(false), m_nMaxWait(maxWait)
{
    HANDLE copy = NULL;
    if (after && ::DuplicateHandle(::GetCurrentProcess(), after, ::GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0))
        m_hAfter.Attach(copy);
    t_pNotice = this;
}

CShellNoticeAtEnd::~CShellNoticeAtEnd()
{
    t_pNotice = m_pOuter;
    if (!m_bDue)
        return;
    if (m_hAfter.IsValid())
        ::WaitForSingleObject(m_hAfter, m_nMaxWait);
    SendAssociationsChanged();
}

void NotifyAssociationsChanged()
{
    if (t_pNotice)
        t_pNotice->m_bDue = true;
    else
        SendAssociationsChanged();
}
