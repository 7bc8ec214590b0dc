#include "killers/shell_notice.h"

#include <windows.h>
#include <shlobj.h>

namespace {

thread_local CShellNoticeAtEnd* t_pNotice = NULL;

void SendAssociationsChanged() { ::SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, NULL, NULL); }

}  // namespace

CShellNoticeAtEnd::CShellNoticeAtEnd() : m_pOuter(t_pNotice), m_bDue(false) { t_pNotice = this; }

CShellNoticeAtEnd::~CShellNoticeAtEnd()
{
    t_pNotice = m_pOuter;
    if (m_bDue)
        SendAssociationsChanged();
}

void NotifyAssociationsChanged()
{
    if (t_pNotice)
        t_pNotice->m_bDue = true;
    else
        SendAssociationsChanged();
}
