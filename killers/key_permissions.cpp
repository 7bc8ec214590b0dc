#include "killers/key_permissions.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "platform/array_count.h"
#include "platform/handles.h"
#include "platform/registry.h"

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

// The SID of the user the process token belongs to.
bool CurrentUserSid(std::vector<BYTE>& sid)
{
    HANDLE token = NULL;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    CHandle owner(token);
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, NULL, 0, &size);
    if (size == 0)
        return false;
    std::vector<BYTE> buffer(size);
    if (!::GetTokenInformation(token, TokenUser, &buffer[0], size, &size))
        return false;
    const PSID user = reinterpret_cast<TOKEN_USER*>(&buffer[0])->User.Sid;
    sid.assign(static_cast<BYTE*>(user), static_cast<BYTE*>(user) + ::GetLengthSid(user));
    return true;
}

const wchar_t kCurrentUserRoot[] = L"HKEY_CURRENT_USER";
const wchar_t kUsersRoot[] = L"HKEY_USERS\\";

// The root the resets work in (CUserKeyAccessRoot).
std::wstring g_userRoot = kCurrentUserRoot;

// Where root\path lies (a predefined key and the path below it) and the SID
// of the user whose root it is; false for a root that is no user's.
bool KeyAndUser(const std::wstring& rootName, const wchar_t* path, HKEY& root, std::wstring& below,
                std::vector<BYTE>& sid)
{
    if (rootName == kCurrentUserRoot)
    {
        root = HKEY_CURRENT_USER;
        below = path;
        return CurrentUserSid(sid);
    }
    const size_t prefix = ArrayCount(kUsersRoot) - 1;
    if (rootName.size() <= prefix || rootName.compare(0, prefix, kUsersRoot) != 0)
    {
        ::SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    const std::wstring hive = rootName.substr(prefix);
    PSID user = NULL;
    if (hive.find(L'\\') != std::wstring::npos || !::ConvertStringSidToSidW(hive.c_str(), &user))
    {
        ::SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    sid.assign(static_cast<BYTE*>(user), static_cast<BYTE*>(user) + ::GetLengthSid(user));
    ::LocalFree(user);
    root = HKEY_USERS;
    below = hive + L"\\" + path;
    return true;
}

}  // namespace

CUserKeyAccessRoot::CUserKeyAccessRoot(const std::wstring& rootName) : m_previous(g_userRoot)
{
    g_userRoot = rootName;
}

CUserKeyAccessRoot::~CUserKeyAccessRoot() { g_userRoot = m_previous; }

bool ResetUserKeyPermissions(const wchar_t* path) { return ResetUserKeyPermissionsIn(g_userRoot, path); }

bool ResetUserKeyPermissionsIn(const std::wstring& rootName, const wchar_t* path)
{
    HKEY root = NULL;
    std::wstring below;
    std::vector<BYTE> user;
    if (!KeyAndUser(rootName, path, root, below, user))
        return false;
    // The key itself, reached level by level without following a link (the
    // user's hive could link it to a machine key), and changed through its
    // handle: nothing below it is touched by name.
    CRegKey key;
    const LONG opened = key.Open(root, below.c_str(), READ_CONTROL | WRITE_DAC);
    if (opened != ERROR_SUCCESS)
    {
        ::SetLastError(opened);
        return false;
    }
    BYTE revision = 0;
    {
        PACL dacl = NULL;
        CLocalMemory descriptor;
        const DWORD status = ::GetSecurityInfo(key.Get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL,
                                               &dacl, NULL, descriptor.Address());
        if (status != ERROR_SUCCESS)
        {
            ::SetLastError(status);
            return false;
        }
        if (!dacl)
            return false;  // no list at all: everyone has access already
        revision = dacl->AclRevision;
    }

    // The user whose root it is, SYSTEM (S-1-5-18) and Administrators
    // (S-1-5-32-544).
    SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
    BYTE systemBuffer[SECURITY_MAX_SID_SIZE];
    BYTE adminsBuffer[SECURITY_MAX_SID_SIZE];
    PSID system = systemBuffer;
    PSID admins = adminsBuffer;
    if (!::InitializeSid(system, &nt, 1) || !::InitializeSid(admins, &nt, 2))
        return false;
    *::GetSidSubAuthority(system, 0) = SECURITY_LOCAL_SYSTEM_RID;
    *::GetSidSubAuthority(admins, 0) = SECURITY_BUILTIN_DOMAIN_RID;
    *::GetSidSubAuthority(admins, 1) = DOMAIN_ALIAS_RID_ADMINS;
    const PSID sids[] = {&user[0], system, admins};

    DWORD aclSize = sizeof(ACL);
    for (size_t i = 0; i < ArrayCount(sids); ++i)
        aclSize += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + ::GetLengthSid(sids[i]);
    std::vector<BYTE> aclBuffer(aclSize);
    PACL acl = reinterpret_cast<PACL>(&aclBuffer[0]);
    if (!::InitializeAcl(acl, aclSize, revision))
        return false;
    for (size_t i = 0; i < ArrayCount(sids); ++i)
    {
        if (!::AddAccessAllowedAceEx(acl, revision, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS,
                                     sids[i]))
            return false;
    }

    // The list is not protected: the key may inherit from its parent again.
    SECURITY_DESCRIPTOR descriptor;
    if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE))
        return false;
    const LONG status = ::RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, &descriptor);
    ::SetLastError(status);
    return status == ERROR_SUCCESS;
}
