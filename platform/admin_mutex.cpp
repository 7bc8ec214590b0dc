#include "platform/admin_mutex.h"

#include <aclapi.h>
#include <sddl.h>

#include <string>

namespace {

// The owner the objects of this process get (TokenOwner): Administrators
// when elevated, SYSTEM as LocalSystem.
bool IsOwnTokenOwner(PSID sid)
{
    HANDLE token = NULL;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    CHandle owner(token);
    BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_OWNER)];
    DWORD size = 0;
    return ::GetTokenInformation(token, TokenOwner, buffer, sizeof(buffer), &size) &&
           ::EqualSid(reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner, sid);
}

}  // namespace

bool IsOwnedByAdmins(HANDLE object)
{
    PSID owner = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, NULL, NULL, NULL,
                          &descriptor) != ERROR_SUCCESS)
        return false;
    const bool own = owner && ::IsValidSid(owner) &&
                     (::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                      ::IsWellKnownSid(owner, WinLocalSystemSid) || IsOwnTokenOwner(owner));
    ::LocalFree(descriptor);
    return own;
}

CAdminMutex::CAdminMutex(const wchar_t* name) : m_error(ERROR_SUCCESS)
{
    // Administrators and SYSTEM only, nothing inherited.
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;BA)(A;;GA;;;SY)", SDDL_REVISION_1,
                                                                &descriptor, NULL))
    {
        m_error = ::GetLastError();
        return;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    m_mutex.Attach(::CreateMutexW(&attributes, FALSE, (std::wstring(L"Global\\") + name).c_str()));
    m_error = m_mutex.IsValid() ? ERROR_SUCCESS : ::GetLastError();
    ::LocalFree(descriptor);
    // One made by someone else first (who may hold it for ever, or let
    // anyone take it) is not the program's lock.
    if (m_mutex.IsValid() && !IsOwnedByAdmins(m_mutex))
    {
        m_mutex.Close();
        m_error = ERROR_INVALID_OWNER;
    }
    if (!m_mutex.IsValid() && m_error == ERROR_SUCCESS)
        m_error = ERROR_INVALID_HANDLE;
}
