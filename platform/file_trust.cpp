#include "platform/file_trust.h"

#include <aclapi.h>
#include <softpub.h>
#include <wintrust.h>

#include "platform/array_count.h"

namespace {

PFNFOLDERWRITABLEHOOK g_writableHook = NULL;
PFNSIGNATUREHOOK g_signatureHook = NULL;

// The rights that let a user put a file of his into a folder or change one.
const DWORD kWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE |
                           GENERIC_ALL | WRITE_DAC | WRITE_OWNER;

// The accounts that may write to (or own) a folder without making it the
// user's.
bool IsTrustedWriter(PSID sid)
{
    static const WELL_KNOWN_SID_TYPE kTrusted[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid,
                                                    WinCreatorOwnerSid};
    for (size_t i = 0; i < ArrayCount(kTrusted); ++i)
    {
        BYTE buffer[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof(buffer);
        if (::CreateWellKnownSid(kTrusted[i], NULL, buffer, &size) && ::EqualSid(sid, buffer))
            return true;
    }
    // NT SERVICE\TrustedInstaller and the other service accounts: S-1-5-80-...
    SID_IDENTIFIER_AUTHORITY* authority = ::GetSidIdentifierAuthority(sid);
    static const SID_IDENTIFIER_AUTHORITY kNt = {SECURITY_NT_AUTHORITY};
    return authority && memcmp(authority, &kNt, sizeof(kNt)) == 0 && *::GetSidSubAuthorityCount(sid) >= 1 &&
           *::GetSidSubAuthority(sid, 0) == SECURITY_SERVICE_ID_BASE_RID;
}

// Whether an access entry or owner `sid` is `user` himself or a group every
// user is in.
bool IsUserOrAllUsers(PSID sid, PSID user)
{
    if (::EqualSid(sid, user))
        return true;
    static const WELL_KNOWN_SID_TYPE kEveryUser[] = {WinWorldSid, WinAuthenticatedUserSid, WinBuiltinUsersSid,
                                                      WinInteractiveSid};
    for (size_t i = 0; i < ArrayCount(kEveryUser); ++i)
    {
        BYTE buffer[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof(buffer);
        if (::CreateWellKnownSid(kEveryUser[i], NULL, buffer, &size) && ::EqualSid(sid, buffer))
            return true;
    }
    return false;
}

// Whether `sid` may write as meant: anyone untrusted when `user` is NULL,
// else that user.
bool CountsAsWriter(PSID sid, PSID user) { return user ? IsUserOrAllUsers(sid, user) : !IsTrustedWriter(sid); }

typedef LONG(WINAPI* PFNWINVERIFYTRUST)(HWND, GUID*, LPVOID);

// WinVerifyTrust, from the system folder's wintrust.dll, loaded once for the
// process when first asked for.
PFNWINVERIFYTRUST WinVerifyTrustFunction()
{
    static PFNWINVERIFYTRUST function = NULL;
    static bool looked = false;
    if (!looked)
    {
        looked = true;
        wchar_t system[MAX_PATH] = {0};
        const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
        HMODULE module = length && length < MAX_PATH - 16
                             ? ::LoadLibraryW((std::wstring(system) + L"\\wintrust.dll").c_str())
                             : NULL;
        if (module)
            function = reinterpret_cast<PFNWINVERIFYTRUST>(
                reinterpret_cast<void*>(::GetProcAddress(module, "WinVerifyTrust")));
    }
    return function;
}

}  // namespace

bool HasValidSignature(HANDLE file, const std::wstring& path)
{
    bool signedFile = false;
    if (g_signatureHook && g_signatureHook(file, path, &signedFile))
        return signedFile;
    const PFNWINVERIFYTRUST verify = WinVerifyTrustFunction();
    if (!verify)
        return false;
    WINTRUST_FILE_INFO fileInfo;
    ZeroMemory(&fileInfo, sizeof(fileInfo));
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();
    fileInfo.hFile = file;
    WINTRUST_DATA data;
    ZeroMemory(&data, sizeof(data));
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return status == ERROR_SUCCESS;
}

bool IsUserWritableFolder(HANDLE folder, PSID user)
{
    bool writable = false;
    if (g_writableHook && g_writableHook(folder, user, &writable))
        return writable;
    PACL dacl = NULL;
    PSID owner = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (::GetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION, &owner, NULL,
                          &dacl, NULL, &descriptor) != ERROR_SUCCESS)
        return false;
    // No list: everyone may do everything. An owner may rewrite the list.
    writable = dacl == NULL || (owner && CountsAsWriter(owner, user));
    for (DWORD i = 0; dacl && i < dacl->AceCount && !writable; ++i)
    {
        ACE_HEADER* header = NULL;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header)) || header->AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        ACCESS_ALLOWED_ACE* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        writable = (ace->Mask & kWriteRights) && CountsAsWriter(reinterpret_cast<PSID>(&ace->SidStart), user);
    }
    ::LocalFree(descriptor);
    return writable;
}

void SetFolderWritableHook(PFNFOLDERWRITABLEHOOK hook) { g_writableHook = hook; }

void SetSignatureHook(PFNSIGNATUREHOOK hook) { g_signatureHook = hook; }
