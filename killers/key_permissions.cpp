#include "killers/key_permissions.h"

#include <windows.h>
#include <aclapi.h>

#include <string>
#include <vector>

namespace {

// Frees what the security API allocated with LocalAlloc.
class CLocalMemory
{
public:
    CLocalMemory() : m_p(NULL) {}
    ~CLocalMemory()
    {
        if (m_p)
            ::LocalFree(m_p);
    }
    PSECURITY_DESCRIPTOR* Address() { return &m_p; }

private:
    CLocalMemory(const CLocalMemory&);
    CLocalMemory& operator=(const CLocalMemory&);
    PSECURITY_DESCRIPTOR m_p;
};

}  // namespace

bool ResetUserKeyPermissions(const wchar_t* path)
{
    std::wstring name = std::wstring(L"CURRENT_USER\\") + path;

    BYTE revision = 0;
    {
        PACL dacl = NULL;
        CLocalMemory descriptor;
        const DWORD status = ::GetNamedSecurityInfoW(&name[0], SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL,
                                                     NULL, &dacl, NULL, descriptor.Address());
        if (status != ERROR_SUCCESS)
        {
            ::SetLastError(status);
            return false;
        }
        if (!dacl)
            return false;  // no list at all: everyone has access already
        revision = dacl->AclRevision;
    }

    // Everyone: S-1-1-0.
    SID_IDENTIFIER_AUTHORITY world = {SECURITY_WORLD_SID_AUTHORITY};
    BYTE sidBuffer[SECURITY_MAX_SID_SIZE];
    PSID everyone = sidBuffer;
    if (!::InitializeSid(everyone, &world, 1))
        return false;
    *::GetSidSubAuthority(everyone, 0) = SECURITY_WORLD_RID;

    const DWORD aceSize = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + ::GetLengthSid(everyone);
    std::vector<BYTE> aclBuffer(sizeof(ACL) + aceSize);
    PACL acl = reinterpret_cast<PACL>(&aclBuffer[0]);
    if (!::InitializeAcl(acl, static_cast<DWORD>(aclBuffer.size()), revision) ||
        !::AddAccessAllowedAceEx(acl, revision, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS,
                                 everyone))
        return false;

    const DWORD status = ::SetNamedSecurityInfoW(&name[0], SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL,
                                                 acl, NULL);
    ::SetLastError(status);
    return status == ERROR_SUCCESS;
}
