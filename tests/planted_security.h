// Stands in, through the program's system-call seam (g_folderCalls), for
// files and folders another user made: Wine reads every file back as owned
// by the one user it runs as, whoever made it. A file or folder marked here
// reads back as owned by the Users group, which may change it.
#pragma once
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "undo/program_folder.h"

namespace planted_security {

struct Identity
{
    DWORD volume, high, low;
    const wchar_t* descriptor;  // as it reads back, in the descriptor language
};

inline std::vector<Identity>& Marked()
{
    static std::vector<Identity> marked;
    return marked;
}

inline bool IdentityOf(HANDLE handle, Identity& identity)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(handle, &info))
        return false;
    identity.volume = info.dwVolumeSerialNumber;
    identity.high = info.nFileIndexHigh;
    identity.low = info.nFileIndexLow;
    return true;
}

inline DWORD WINAPI GetSecurityOfPlanted(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID* owner,
                                         PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor)
{
    Identity identity;
    const wchar_t* text = NULL;
    if (IdentityOf(handle, identity))
        for (size_t i = 0; i < Marked().size(); ++i)
            if (Marked()[i].volume == identity.volume && Marked()[i].high == identity.high &&
                Marked()[i].low == identity.low)
                text = Marked()[i].descriptor;
    if (!text)
        return ::GetSecurityInfo(handle, type, what, owner, group, dacl, sacl, descriptor);
    PSECURITY_DESCRIPTOR planted = NULL;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &planted, NULL))
        return ::GetLastError();
    BOOL present = FALSE, defaulted = FALSE;
    if (owner)
        ::GetSecurityDescriptorOwner(planted, owner, &defaulted);
    if (group)
        *group = NULL;
    if (dacl)
        ::GetSecurityDescriptorDacl(planted, &present, dacl, &defaulted);
    if (sacl)
        *sacl = NULL;
    *descriptor = planted;
    return ERROR_SUCCESS;
}

const wchar_t kUsersOwn[] = L"O:BUD:(A;;FA;;;BU)";

// Marks the file or folder at the path as another user's (or as reading
// back with the descriptor given).
inline bool MarkPlanted(const std::wstring& path, const wchar_t* descriptor = kUsersOwn)
{
    HANDLE handle = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                  FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    Identity identity;
    const bool ok = IdentityOf(handle, identity);
    identity.descriptor = descriptor;
    ::CloseHandle(handle);
    if (ok)
        Marked().push_back(identity);
    return ok;
}

// Installs the stand-in for the scope; marks are forgotten at its end.
class CPlantedScope
{
public:
    CPlantedScope() { g_folderCalls.getSecurity = GetSecurityOfPlanted; }
    ~CPlantedScope()
    {
        g_folderCalls.getSecurity = ::GetSecurityInfo;
        Marked().clear();
    }
};

}  // namespace planted_security
