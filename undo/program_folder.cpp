#include "undo/program_folder.h"

#include <objbase.h>
#include <shlobj.h>

#include <cstring>
#include <cwchar>
#include <vector>

#include "platform/array_count.h"
#include "platform/file_helpers.h"
#include "platform/held_path.h"
#include "platform/reg_views.h"
#include "platform/registry.h"

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
    if (error != ERROR_INVALID_OWNER)
        return error;
    // No right to name the owner: the creator owns it, the list stays the
    // protected one (never the inherited one, even for a moment).
    if (!::SetSecurityDescriptorOwner(&descriptor, NULL, FALSE))
        return ::GetLastError();
    return ::CreateDirectoryW(folder.c_str(), &attributes) ? ERROR_SUCCESS : ::GetLastError();
}

// What another than the program's own may not be granted on a folder or
// file of the program: writing or adding, deleting it or what is inside,
// changing its access or owner.
const ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                  FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER;

// The owner this system gives a file the program makes without naming one:
// Administrators when elevated, SYSTEM as LocalSystem, the user on systems
// that give the creator the files it makes (and Wine, which reads every file
// back as the user's). Learned once, by making a new file beside the
// program's folder and reading its owner back; empty when that fails.
std::vector<BYTE> LearnOwnOwner()
{
    std::vector<BYTE> learned;
    std::wstring beside = GetProgramFolderPath();
    if (beside.empty())
        return learned;
    beside.erase(beside.size() - 1);
    wchar_t suffix[32];
    swprintf(suffix, 32, L".owner-%lu.tmp", static_cast<unsigned long>(::GetCurrentProcessId()));
    CHandle probe(::CreateFileW((beside + suffix).c_str(), GENERIC_WRITE | READ_CONTROL, 0, NULL, CREATE_NEW,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE |
                                    FILE_FLAG_OPEN_REPARSE_POINT,
                                NULL));
    if (!probe.IsValid())
        return learned;
    PSID owner = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (g_folderCalls.getSecurity(probe, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, NULL, NULL, NULL,
                                  &descriptor) == ERROR_SUCCESS &&
        owner && ::IsValidSid(owner))
    {
        const BYTE* bytes = static_cast<const BYTE*>(owner);
        learned.assign(bytes, bytes + ::GetLengthSid(owner));
    }
    if (descriptor)
        ::LocalFree(descriptor);
    return learned;
}

// Learned on first use, once for all threads.
const std::vector<BYTE>& OwnOwner()
{
    static const std::vector<BYTE> owner = LearnOwnOwner();
    return owner;
}

bool IsOwnSid(PSID sid)
{
    if (!sid || !::IsValidSid(sid))
        return false;
    if (::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || ::IsWellKnownSid(sid, WinLocalSystemSid))
        return true;
    const std::vector<BYTE>& own = OwnOwner();
    return !own.empty() && ::EqualSid(sid, const_cast<BYTE*>(&own[0]));
}

// No entry that applies to the object itself grants another a right to
// change it. Denying entries take nothing away from this answer.
bool GrantsChangesOnlyToOwn(PACL dacl)
{
    if (!dacl)
        return false;  // no access list: everyone may do everything
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    for (DWORD i = 0; i < dacl->AceCount; ++i)
    {
        ACE_HEADER* header = NULL;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header)))
            return false;
        if (header->AceType == ACCESS_DENIED_ACE_TYPE || header->AceType == ACCESS_DENIED_OBJECT_ACE_TYPE ||
            (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            return false;  // a kind of entry not looked into: not the program's
        ACCESS_ALLOWED_ACE* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        ACCESS_MASK mask = ace->Mask;
        ::MapGenericMask(&mask, &mapping);
        if ((mask & kChangeRights) && !IsOwnSid(&ace->SidStart))
            return false;
    }
    return true;
}

// Renames the folder to "<folder>.untrusted-<YYYYMMDD-HHMMSS>" (a number
// added when taken). The Win32 error code.
DWORD MoveAside(const std::wstring& folder)
{
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t stamp[40];
    swprintf(stamp, 40, L".untrusted-%04u%02u%02u-%02u%02u%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond);
    DWORD error = ERROR_ALREADY_EXISTS;
    for (int n = 1; n <= 9 && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS); ++n)
    {
        std::wstring aside = folder + stamp;
        if (n > 1)
        {
            wchar_t number[8];
            swprintf(number, 8, L"-%d", n);
            aside += number;
        }
        error = g_folderCalls.moveFile(folder.c_str(), aside.c_str(), 0) ? ERROR_SUCCESS : ::GetLastError();
    }
    return error;
}

// Opens the folder itself (never what a link points to) to check and secure
// it through that handle.
HANDLE OpenFolderItself(const std::wstring& folder)
{
    return ::CreateFileW(folder.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
}

// The same access entries, in the same order.
bool SameEntries(PACL found, PACL wanted)
{
    if (!found || !wanted || found->AceCount != wanted->AceCount)
        return false;
    for (WORD i = 0; i < found->AceCount; ++i)
    {
        void* a = NULL;
        void* b = NULL;
        if (!::GetAce(found, i, &a) || !::GetAce(wanted, i, &b))
            return false;
        const WORD size = static_cast<const ACE_HEADER*>(a)->AceSize;
        if (size != static_cast<const ACE_HEADER*>(b)->AceSize || memcmp(a, b, size) != 0)
            return false;
    }
    return true;
}

// The owner and access list of the object open at a handle, read through
// the seam; one owner of the descriptor they live in.
class CReadSecurity
{
public:
    explicit CReadSecurity(HANDLE handle) : m_owner(NULL), m_dacl(NULL), m_descriptor(NULL)
    {
        if (g_folderCalls.getSecurity(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      &m_owner, NULL, &m_dacl, NULL, &m_descriptor) != ERROR_SUCCESS)
        {
            m_owner = NULL;
            m_dacl = NULL;
            m_descriptor = NULL;
        }
    }
    ~CReadSecurity()
    {
        if (m_descriptor)
            ::LocalFree(m_descriptor);
    }
    bool IsRead() const { return m_descriptor != NULL; }
    PSID Owner() const { return m_owner; }
    PACL Dacl() const { return m_dacl; }
    bool IsDaclProtected() const
    {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        return m_descriptor && ::GetSecurityDescriptorControl(m_descriptor, &control, &revision) &&
               (control & SE_DACL_PROTECTED);
    }

private:
    CReadSecurity(const CReadSecurity&);
    CReadSecurity& operator=(const CReadSecurity&);
    PSID m_owner;
    PACL m_dacl;
    PSECURITY_DESCRIPTOR m_descriptor;
};

// Whether the folder open at `handle` already has exactly what securing
// sets: Administrators its owner, the protected access list. Set again, the
// list would be carried down to every file below it (the whole quarantine)
// by the system, on every run.
bool HasExactProtection(HANDLE handle, CProtectedAcl& acl)
{
    const CReadSecurity security(handle);
    return security.IsDaclProtected() && security.Owner() && ::EqualSid(security.Owner(), acl.Admins()) &&
           SameEntries(security.Dacl(), acl.Acl());
}

}  // namespace

bool IsProgramOwned(HANDLE handle)
{
    const CReadSecurity security(handle);
    return security.IsRead() && IsOwnSid(security.Owner()) && GrantsChangesOnlyToOwn(security.Dacl());
}

DWORD SecureFolder(const std::wstring& folder)
{
    CProtectedAcl acl;
    if (!acl.IsValid())
        return ::GetLastError() ? ::GetLastError() : ERROR_INVALID_ACL;
    DWORD created = CreateProtectedFolder(folder, acl);
    CHandle handle;
    BY_HANDLE_FILE_INFORMATION info;
    if (created == ERROR_ALREADY_EXISTS)
    {
        handle.Attach(OpenFolderItself(folder));
        if (!handle.IsValid())
            return ::GetLastError();
        if (!g_folderCalls.getInformation(handle, &info))
            return ::GetLastError();
        const bool link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        const bool file = !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
        if (link || file || !IsProgramOwned(handle))
        {
            // Made by someone else (a file in its place too): whoever made
            // it may still hold handles to it, or own what is inside. It
            // goes aside whole.
            handle.Close();
            const DWORD moved = MoveAside(folder);
            if (moved != ERROR_SUCCESS)
                return moved;
            // Made again by someone else meanwhile: refused as well.
            created = CreateProtectedFolder(folder, acl);
            if (created == ERROR_ALREADY_EXISTS)
                return ERROR_ACCESS_DENIED;
        }
    }
    if (created != ERROR_SUCCESS && created != ERROR_ALREADY_EXISTS)
        return created;

    // The folder itself is checked once more through the handle its owner
    // and access list are set through: the checked folder is the one secured.
    if (!handle.IsValid())
    {
        handle.Attach(OpenFolderItself(folder));
        if (!handle.IsValid())
            return ::GetLastError();
        if (!g_folderCalls.getInformation(handle, &info))
            return ::GetLastError();
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return ERROR_ACCESS_DENIED;
    if (created == ERROR_ALREADY_EXISTS && HasExactProtection(handle, acl))
        return ERROR_SUCCESS;
    return ProtectOpenObject(handle);
}

DWORD ProtectOpenObject(HANDLE handle)
{
    CProtectedAcl acl;
    if (!acl.IsValid())
        return ::GetLastError() ? ::GetLastError() : ERROR_INVALID_ACL;
    const SECURITY_INFORMATION what =
        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    return g_folderCalls.setSecurity(handle, SE_FILE_OBJECT, what, acl.Admins(), NULL, acl.Acl(), NULL);
}

const wchar_t kProgramFolderKey[] = L"SOFTWARE\\corvaneTools";
const wchar_t kProgramFolderValue[] = L"ProgramFolder";

namespace {

const wchar_t kFolderName[] = L"corvaneTools";
const wchar_t kOtherFolderPrefix[] = L"corvaneTools.";

std::wstring CommonAppDataSlash()
{
    wchar_t folder[MAX_PATH] = {0};
    if (FAILED(::SHGetFolderPathW(NULL, CSIDL_COMMON_APPDATA, NULL, 0, folder)) || !folder[0])
        return std::wstring();  // never a path built from an empty folder
    return WithBackslash(folder);
}

// The record lives in the machine's native registry view: the 32-bit
// program on 64-bit Windows and a 64-bit one read the same value.
REGSAM NativeView() { return HasTwoRegViews() ? KEY_WOW64_64KEY : 0; }

// A name this program gives a folder of its own in place of the usual one:
// "corvaneTools." and a GUID, directly in the all-users application data.
bool IsOtherFolderName(const std::wstring& name)
{
    const size_t prefix = ArrayCount(kOtherFolderPrefix) - 1;
    return name.size() == prefix + 36 && name.compare(0, prefix, kOtherFolderPrefix) == 0 &&
           name.find_first_not_of(L"0123456789ABCDEF-", prefix) == std::wstring::npos;
}

// The folder recorded in place of the usual one, with its trailing
// backslash; empty when none is recorded or the record names anything else.
std::wstring RecordedFolder(const std::wstring& appData)
{
    CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kProgramFolderKey, KEY_QUERY_VALUE | NativeView()) != ERROR_SUCCESS)
        return std::wstring();
    wchar_t name[64] = {0};
    DWORD type = 0, size = sizeof(name) - sizeof(wchar_t);
    const LONG status = ::RegQueryValueExW(key, kProgramFolderValue, NULL, &type, reinterpret_cast<BYTE*>(name), &size);
    key.Close();
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return std::wstring();
    const std::wstring recorded(name);
    return IsOtherFolderName(recorded) ? appData + recorded + L"\\" : std::wstring();
}

// Records the folder's name in the machine's registry, in a key only
// Administrators and SYSTEM may read or change. The Win32 error code.
DWORD RecordFolder(const std::wstring& name, CProtectedAcl& acl)
{
    SECURITY_DESCRIPTOR descriptor;
    if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&descriptor, TRUE, acl.Acl(), FALSE) ||
        !::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return ::GetLastError();
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
    HKEY created = NULL;
    LONG status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProgramFolderKey, 0, NULL, 0, KEY_SET_VALUE | NativeView(),
                                    &attributes, &created, NULL);
    if (status != ERROR_SUCCESS)
        return static_cast<DWORD>(status);
    CRegKey key;
    key.Attach(created);
    status = ::RegSetValueExW(key, kProgramFolderValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                              static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
    return static_cast<DWORD>(status);
}

// A folder of a new, unguessable name, created protected (it never existed
// before: one that does is not taken) and recorded. Empty when none can be
// made.
std::wstring MakeOtherFolder(const std::wstring& appData)
{
    CProtectedAcl acl;
    if (!acl.IsValid())
        return std::wstring();
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        GUID guid;
        wchar_t text[40] = {0};
        if (FAILED(::CoCreateGuid(&guid)) || ::StringFromGUID2(guid, text, 40) != 39)
            return std::wstring();
        const std::wstring name = kOtherFolderPrefix + std::wstring(text + 1, 36);  // without braces
        const DWORD created = CreateProtectedFolder(appData + name, acl);
        if (created == ERROR_ALREADY_EXISTS)
            continue;
        if (created != ERROR_SUCCESS)
            return std::wstring();
        if (SecureFolder(appData + name) != ERROR_SUCCESS || RecordFolder(name, acl) != ERROR_SUCCESS)
        {
            ::RemoveDirectoryW((appData + name).c_str());  // empty yet: nothing of it is used
            return std::wstring();
        }
        return appData + name + L"\\";
    }
    return std::wstring();
}

thread_local CProgramFolderMemo* t_pFolderMemo = NULL;

}  // namespace

std::wstring GetProgramFolderPath()
{
    // Secured in this run: the same path (a folder made elsewhere was
    // recorded first), without asking the system again.
    if (t_pFolderMemo && !t_pFolderMemo->m_folder.empty())
        return t_pFolderMemo->m_folder;
    const std::wstring appData = CommonAppDataSlash();
    if (appData.empty())
        return appData;
    const std::wstring recorded = RecordedFolder(appData);
    return recorded.empty() ? appData + kFolderName + L"\\" : recorded;
}

namespace {

std::wstring SecuredProgramFolder()
{
    const std::wstring folder = GetProgramFolderPath();
    if (folder.empty())
        return folder;
    if (SecureFolder(folder.substr(0, folder.size() - 1)) == ERROR_SUCCESS)
        return folder;
    // What stands in the folder's place cannot be moved aside (a worm may
    // hold it open): the program's files go to a folder of its own
    // elsewhere, recorded for every later run, /list and /restore.
    return MakeOtherFolder(CommonAppDataSlash());
}

}  // namespace

CProgramFolderMemo::CProgramFolderMemo()
{
    if (!t_pFolderMemo)
        t_pFolderMemo = this;
}

CProgramFolderMemo::~CProgramFolderMemo()
{
    if (t_pFolderMemo == this)
        t_pFolderMemo = NULL;
}

std::wstring GetProgramFolder()
{
    CProgramFolderMemo* memo = t_pFolderMemo;
    if (!memo)
        return SecuredProgramFolder();
    if (memo->m_folder.empty())
        memo->m_folder = SecuredProgramFolder();
    return memo->m_folder;
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

// Removes whatever file stands at `name` in the held folder, through the
// handle it was checked on. A link (a reparse point, or a file with other
// names) is only unlinked: its attributes belong to the file it points to
// and stay as they are.
DWORD RemoveExisting(const CFolderChain& folder, const std::wstring& name)
{
    CHandle existing;
    const DWORD opened =
        folder.OpenIn(name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, kOpenExisting, 0, existing);
    if (opened == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (opened != ERROR_SUCCESS)
        return opened;
    BY_HANDLE_FILE_INFORMATION info;
    if (!g_folderCalls.getInformation(existing, &info))
        return ::GetLastError();
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return ERROR_ACCESS_DENIED;
    const bool linked = info.nNumberOfLinks > 1 || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    if (!linked && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY))
        SetBasicsThroughHandle(existing, FILE_ATTRIBUTE_NORMAL);
    return DeleteThroughHandle(existing);
}

}  // namespace

DWORD WriteFreshFile(const std::wstring& path, const void* bytes, DWORD size)
{
    // The folder is held from the check of what stands at the name to the
    // last byte written: the file is made in the folder that was checked.
    const std::wstring held = HeldPathForm(path);
    CFolderChain folder;
    DWORD error = held.empty() ? ERROR_PATH_NOT_FOUND : folder.Open(held, false, false);
    if (error != ERROR_SUCCESS)
        return error;
    const std::wstring name = held.substr(held.rfind(L'\\') + 1);
    error = RemoveExisting(folder, name);
    if (error != ERROR_SUCCESS)
        return error;
    if (!folder.InPlace())
        return ERROR_CANT_ACCESS_FILE;
    CHandle file;
    error = folder.OpenIn(name, GENERIC_WRITE | DELETE, 0, kCreateNew, kNonDirectoryOnly, file);
    if (error != ERROR_SUCCESS)
        return error;
    if (!FinalPathIs(file, held))
    {
        DeleteThroughHandle(file);
        return ERROR_CANT_ACCESS_FILE;
    }
    return WriteAll(file, bytes, size);
}

bool ReadProgramOwnedText(const std::wstring& path, ULONGLONG maxBytes, std::wstring& text)
{
    text.clear();
    CHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    OpenFileFacts facts;
    if (!file.IsValid() || !QueryOpenFile(file, facts) || (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        facts.size < 2 || facts.size > maxBytes || facts.size % 2 || !IsProgramOwned(file))
        return false;
    std::string bytes(static_cast<size_t>(facts.size), '\0');
    DWORD read = 0;
    if (!::ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, NULL) || read != bytes.size() ||
        bytes.compare(0, 2, "\xFF\xFE") != 0)
        return false;
    text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / sizeof(wchar_t));
    return true;
}
