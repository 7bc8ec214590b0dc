#include "platform/user_hives.h"

#include <sddl.h>

#include <vector>

#include "platform/array_count.h"
#include "platform/handles.h"
#include "platform/registry.h"

namespace {

const wchar_t kSidPrefix[] = L"S-1-";
const wchar_t kClassesSuffix[] = L"_Classes";

// The hives of the system's own accounts (LocalSystem, LocalService,
// NetworkService), loaded under their SIDs beside ".DEFAULT".
const wchar_t* const kServiceSids[] = {L"S-1-5-18", L"S-1-5-19", L"S-1-5-20"};

bool g_localSystemForTests = false;

bool AskIsLocalSystem(bool& answered)
{
    answered = false;
    HANDLE token = NULL;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    CHandle owner(token);
    BYTE buffer[256];
    DWORD size = 0;
    if (!::GetTokenInformation(owner, TokenUser, buffer, sizeof(buffer), &size))
        return false;
    SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
    PSID system = NULL;
    if (!::AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system))
        return false;
    const bool isSystem = ::EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, system) != FALSE;
    ::FreeSid(system);
    answered = true;
    return isSystem;
}

}  // namespace

bool IsRunningAsLocalSystem()
{
    // The process's own user never changes: once its token answered, the
    // answer is kept (0: not asked yet or no answer, 1: no, 2: yes).
    static volatile LONG known = 0;
    const LONG kept = ::InterlockedCompareExchange(&known, 0, 0);
    if (kept)
        return kept == 2;
    bool answered = false;
    const bool isSystem = AskIsLocalSystem(answered);
    if (answered)
        ::InterlockedExchange(&known, isSystem ? 2 : 1);
    return isSystem;
}

std::wstring CurrentUserSid()
{
    HANDLE token = NULL;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return std::wstring();
    CHandle owner(token);
    BYTE buffer[256];
    DWORD size = 0;
    wchar_t* text = NULL;
    if (!::GetTokenInformation(owner, TokenUser, buffer, sizeof(buffer), &size) ||
        !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text))
        return std::wstring();
    const std::wstring sid(text);
    ::LocalFree(text);
    return sid;
}

bool IsUserHiveName(const std::wstring& name)
{
    // Every account's SID, not only local and domain ones (S-1-5-21-...):
    // Entra ID users are S-1-12-1-..., and their hives are loaded the same.
    const size_t prefix = ArrayCount(kSidPrefix) - 1;
    const size_t suffix = ArrayCount(kClassesSuffix) - 1;
    if (name.size() <= prefix || name.compare(0, prefix, kSidPrefix) != 0)
        return false;
    if (name.size() > suffix && lstrcmpiW(name.c_str() + name.size() - suffix, kClassesSuffix) == 0)
        return false;
    if (name[name.size() - 1] == L'-' || name.find(L"--") != std::wstring::npos ||
        name.find_first_not_of(L"0123456789-", prefix) != std::wstring::npos)
        return false;
    for (size_t i = 0; i < ArrayCount(kServiceSids); ++i)
        if (name == kServiceSids[i])
            return false;
    return true;
}

int ForEachUserRoot(PFNUSERROOTCHECK check, void* context)
{
    return ForEachUserRoot(check, context, g_localSystemForTests || IsRunningAsLocalSystem(), HKEY_USERS,
                           L"HKEY_USERS");
}

int ForEachRootOf(HKEY root, PFNUSERROOTCHECK check, void* context)
{
    if (root == kEachUserRoot)
        return ForEachUserRoot(check, context);
    check(root, std::wstring(), context);
    return 1;
}

void SetLocalSystemForTests(bool localSystem) { g_localSystemForTests = localSystem; }

int ForEachUserRoot(PFNUSERROOTCHECK check, void* context, bool localSystem, HKEY users,
                    const std::wstring& usersName)
{
    if (!localSystem)
    {
        check(HKEY_CURRENT_USER, L"HKEY_CURRENT_USER", context);
        return 1;
    }
    // The names first, then one hive at a time.
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index)
    {
        wchar_t name[256];
        DWORD chars = 256;
        const LONG status = ::RegEnumKeyExW(users, index, name, &chars, NULL, NULL, NULL, NULL);
        if (status == ERROR_MORE_DATA)
            continue;  // no SID is that long
        if (status != ERROR_SUCCESS)
            break;
        if (IsUserHiveName(name))
            names.push_back(name);
    }
    int count = 0;
    for (size_t i = 0; i < names.size(); ++i)
    {
        CRegKey hive;
        if (hive.Open(users, names[i].c_str()) != ERROR_SUCCESS)
            continue;
        check(hive, usersName + L"\\" + names[i], context);
        ++count;
    }
    return count;
}
