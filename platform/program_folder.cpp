#include "platform/program_folder.h"

#include <shlobj.h>

#include <vector>

#include "platform/file_helpers.h"

FolderSystemCalls g_folderCalls = {::GetFileInformationByHandle, ::SetSecurityInfo};

namespace {

// Holds the two well-known SIDs and the access list built from them.
class CProtectedAcl
{
public:
    CProtectedAcl() : m_ok(false)
    {
        DWORD adminSize = sizeof(m_admins);
        DWORD systemSize = sizeof(m_system);
        if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, m_admins, &adminSize) ||
            !::CreateWellKnownSid(WinLocalSystemSid, NULL, m_system, &systemSize))
            return;
        const DWORD aclSize = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) +
                              ::GetLengthSid(m_admins) + ::GetLengthSid(m_system);
        m_acl.resize(aclSize);
        PACL acl = Acl();
        const DWORD inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
        m_ok = ::InitializeAcl(acl, aclSize, ACL_REVISION) &&
               ::AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, m_admins) &&
               ::AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, m_system);
    }

    bool IsValid() const { return m_ok; }
    PACL Acl() { return reinterpret_cast<PACL>(&m_acl[0]); }
    PSID Admins() { return m_admins; }

private:
    bool m_ok;
    BYTE m_admins[SECURITY_MAX_SID_SIZE];
    BYTE m_system[SECURITY_MAX_SID_SIZE];
    std::vector<BYTE> m_acl;
};

// Creates the folder already protected, so it is never writable by others,
// not even for a moment. The Win32 error code.
DWORD CreateProtectedFolder(const std::wstring& folder, CProtectedAcl& acl)
{
    SECURITY_DESCRIPTOR descriptor;
    if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorOwner(&descriptor, acl.Admins(), FALSE) ||
        !::SetSecurityDescriptorDacl(&descriptor, TRUE, acl.Acl(), FALSE) ||
        !::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return ::GetLastError();
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
    if (::CreateDirectoryW(folder.c_str(), &attributes))
        return ERROR_SUCCESS;
    const DWORD error = ::GetLastError();
    if (error == ERROR_INVALID_OWNER)  // no right to name the owner: set below
        return ::CreateDirectoryW(folder.c_str(), NULL) ? ERROR_SUCCESS : ::GetLastError();
    return error;
}

}  // namespace

DWORD SecureFolder(const std::wstring& folder)
{
    CProtectedAcl acl;
    if (!acl.IsValid())
        return ::GetLastError() ? ::GetLastError() : ERROR_INVALID_ACL;
    const DWORD created = CreateProtectedFolder(folder, acl);
    if (created != ERROR_SUCCESS && created != ERROR_ALREADY_EXISTS)
        return created;

    // Existing or new, the folder itself is opened (never what a link points
    // to) and checked, and its owner and access list are set through that
    // handle: the checked folder is the one secured.
    CHandle handle(::CreateFileW(folder.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    if (!handle.IsValid())
        return ::GetLastError();
    BY_HANDLE_FILE_INFORMATION info;
    if (!g_folderCalls.getInformation(handle, &info))
        return ::GetLastError();
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return ERROR_ACCESS_DENIED;
    const SECURITY_INFORMATION what =
        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    return g_folderCalls.setSecurity(handle, SE_FILE_OBJECT, what, acl.Admins(), NULL, acl.Acl(), NULL);
}

std::wstring GetProgramFolderPath()
{
    wchar_t folder[MAX_PATH] = {0};
    if (FAILED(::SHGetFolderPathW(NULL, CSIDL_COMMON_APPDATA, NULL, 0, folder)) || !folder[0])
        return std::wstring();  // never a path built from an empty folder
    return WithBackslash(folder) + L"corvaneTools\\";
}

std::wstring GetProgramFolder()
{
    const std::wstring folder = GetProgramFolderPath();
    if (folder.empty() || SecureFolder(folder.substr(0, folder.size() - 1)) != ERROR_SUCCESS)
        return std::wstring();
    return folder;
}

DWORD OpenFileForSafeWrite(const std::wstring& path, bool truncate, CHandle& file)
{
    file.Attach(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    if (!file.IsValid())
        return ::GetLastError();
    BY_HANDLE_FILE_INFORMATION info;
    if (!g_folderCalls.getInformation(file, &info))
    {
        const DWORD error = ::GetLastError();
        file.Close();
        return error;
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        info.nNumberOfLinks > 1)
    {
        file.Close();
        return ERROR_ACCESS_DENIED;
    }
    if (truncate && (::SetFilePointer(file, 0, NULL, FILE_BEGIN) == INVALID_SET_FILE_POINTER || !::SetEndOfFile(file)))
    {
        const DWORD error = ::GetLastError();
        file.Close();
        return error;
    }
    return ERROR_SUCCESS;
}

namespace {

DWORD WriteAll(HANDLE file, const void* bytes, DWORD size)
{
    DWORD written = 0;
    if (size && (!::WriteFile(file, bytes, size, &written, NULL) || written != size))
        return ::GetLastError() ? ::GetLastError() : ERROR_WRITE_FAULT;
    return ERROR_SUCCESS;
}

// Removes whatever file is at the path. A link (a reparse point, or a file
// with other names) is only unlinked: its attributes belong to the file it
// points to and stay as they are.
DWORD RemoveExisting(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return ERROR_SUCCESS;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return ERROR_ACCESS_DENIED;
    bool linked = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (!linked)
    {
        CHandle existing(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                       FILE_FLAG_OPEN_REPARSE_POINT, NULL));
        BY_HANDLE_FILE_INFORMATION info;
        linked = !existing.IsValid() || !g_folderCalls.getInformation(existing, &info) || info.nNumberOfLinks > 1 ||
                 (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    }
    if (!linked)
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return ::DeleteFileW(path.c_str()) ? ERROR_SUCCESS : ::GetLastError();
}

}  // namespace

DWORD WriteSafeFile(const std::wstring& path, const void* bytes, DWORD size)
{
    CHandle file;
    const DWORD opened = OpenFileForSafeWrite(path, true, file);
    return opened != ERROR_SUCCESS ? opened : WriteAll(file, bytes, size);
}

DWORD WriteFreshFile(const std::wstring& path, const void* bytes, DWORD size)
{
    const DWORD removed = RemoveExisting(path);
    if (removed != ERROR_SUCCESS)
        return removed;
    CHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    if (!file.IsValid())
        return ::GetLastError();
    return WriteAll(file, bytes, size);
}
