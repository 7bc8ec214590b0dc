#include "platform/admin_mutex.h"

#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "platform/system_function.h"

namespace {

typedef HANDLE(WINAPI* PFNCREATEBOUNDARY)(LPCWSTR, ULONG);
typedef BOOL(WINAPI* PFNADDSID)(HANDLE*, PSID);
typedef void(WINAPI* PFNDELETEBOUNDARY)(HANDLE);
typedef HANDLE(WINAPI* PFNCREATENAMESPACE)(LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR);
typedef HANDLE(WINAPI* PFNOPENNAMESPACE)(LPVOID, LPCWSTR);
typedef BOOLEAN(WINAPI* PFNCLOSENAMESPACE)(HANDLE, ULONG);

const wchar_t kNamespace[] = L"corvaneTools";

bool g_usePrivateNamespace = true;

// The private-namespace functions (Vista on), looked up once.
struct NamespaceCalls
{
    PFNCREATEBOUNDARY createBoundary;
    PFNADDSID addSid;
    PFNDELETEBOUNDARY deleteBoundary;
    PFNCREATENAMESPACE createNamespace;
    PFNOPENNAMESPACE openNamespace;
    PFNCLOSENAMESPACE closeNamespace;

    bool Complete() const
    {
        return createBoundary && addSid && deleteBoundary && createNamespace && openNamespace && closeNamespace;
    }
};

const NamespaceCalls& Namespaces()
{
    static const NamespaceCalls calls = {
        SystemFunction<PFNCREATEBOUNDARY>(L"kernel32.dll", "CreateBoundaryDescriptorW"),
        SystemFunction<PFNADDSID>(L"kernel32.dll", "AddSIDToBoundaryDescriptor"),
        SystemFunction<PFNDELETEBOUNDARY>(L"kernel32.dll", "DeleteBoundaryDescriptor"),
        SystemFunction<PFNCREATENAMESPACE>(L"kernel32.dll", "CreatePrivateNamespaceW"),
        SystemFunction<PFNOPENNAMESPACE>(L"kernel32.dll", "OpenPrivateNamespaceW"),
        SystemFunction<PFNCLOSENAMESPACE>(L"kernel32.dll", "ClosePrivateNamespace"),
    };
    return calls;
}

// The owner the objects of this process get (TokenOwner).
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

void UsePrivateNamespaceForTests(bool use) { g_usePrivateNamespace = use; }

CAdminMutex::CAdminMutex(const wchar_t* name) : m_namespace(NULL), m_boundary(NULL), m_error(ERROR_SUCCESS)
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
    if (!g_usePrivateNamespace || !OpenInNamespace(name, attributes))
    {
        m_mutex.Attach(::CreateMutexW(&attributes, FALSE, (std::wstring(L"Global\\") + name).c_str()));
        m_error = m_mutex.IsValid() ? ERROR_SUCCESS : ::GetLastError();
    }
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

bool CAdminMutex::OpenInNamespace(const wchar_t* name, SECURITY_ATTRIBUTES& attributes)
{
    const NamespaceCalls& calls = Namespaces();
    if (!calls.Complete())
        return false;  // no private namespaces: the "Global\" mutex
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(admins);
    if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, admins, &size))
        return false;
    m_boundary = calls.createBoundary(kNamespace, 0);
    if (!m_boundary || !calls.addSid(&m_boundary, admins))
        return false;
    m_namespace = calls.createNamespace(&attributes, m_boundary, kNamespace);
    if (!m_namespace && ::GetLastError() == ERROR_ALREADY_EXISTS)
        m_namespace = calls.openNamespace(m_boundary, kNamespace);
    if (!m_namespace)
        return false;
    m_mutex.Attach(::CreateMutexW(&attributes, FALSE, (std::wstring(kNamespace) + L"\\" + name).c_str()));
    m_error = m_mutex.IsValid() ? ERROR_SUCCESS : ::GetLastError();
    return m_mutex.IsValid();
}

CAdminMutex::~CAdminMutex()
{
    m_mutex.Close();
    const NamespaceCalls& calls = Namespaces();
    if (m_namespace)
        calls.closeNamespace(m_namespace, 0);
    if (m_boundary)
        calls.deleteBoundary(m_boundary);
}
