#include "platform/drives.h"

#include <windows.h>
#include <winioctl.h>
#include <shlwapi.h>

#include "platform/array_count.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"

namespace {

bool StartsWith(const wchar_t* text, const wchar_t* prefix)
{
    return text && ::StrCmpNIW(text, prefix, lstrlenW(prefix)) == 0;
}

// Device names of the network redirectors, as the mapping of a letter shows them.
const wchar_t* const kRedirectorDevices[] = {
    L"\\Device\\LanmanRedirector\\", L"\\Device\\Mup\\", L"\\Device\\WebDavRedirector\\",
    L"\\Device\\RdpDr\\", L"\\Device\\WinDfs\\", L"\\Device\\NetWareRedirector\\",
};

CDriveLetterMemo* volatile g_pMemo = NULL;

CDriveLetterMemo* CurrentMemo()
{
    return static_cast<CDriveLetterMemo*>(
        ::InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&g_pMemo), NULL, NULL));
}

// The index of a drive letter, or -1.
int LetterIndex(wchar_t letter)
{
    if (letter >= L'A' && letter <= L'Z')
        return letter - L'A';
    if (letter >= L'a' && letter <= L'z')
        return letter - L'a';
    return -1;
}

// The index of the letter of a plain root ("E:\\"), or -1.
int RootIndex(const wchar_t* root)
{
    if (!root || !root[0] || root[1] != L':' || root[2] != L'\\' || root[3])
        return -1;
    return LetterIndex(root[0]);
}

std::wstring AskMapping(wchar_t letter)
{
    const wchar_t name[3] = {letter, L':', L'\0'};
    wchar_t target[1024] = {0};
    if (!::QueryDosDeviceW(name, target, 1024))
        return std::wstring();
    return target;  // the first of the names it maps to
}

// The mapping of "E:" for the root "E:\"; empty when it cannot be read.
std::wstring DriveMapping(const std::wstring& root)
{
    if (root.size() < 2 || root[1] != L':')
        return std::wstring();
    CDriveLetterMemo* memo = CurrentMemo();
    return memo ? memo->Mapping(root[0]) : AskMapping(root[0]);
}

}  // namespace

CDriveLetterMemo::CDriveLetterMemo() : m_active(false)
{
    ::InitializeCriticalSection(&m_lock);
    for (size_t i = 0; i < ArrayCount(m_letters); ++i)
    {
        m_letters[i].typeKnown = false;
        m_letters[i].type = DRIVE_UNKNOWN;
        m_letters[i].mappingKnown = false;
    }
    m_active = ::InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&g_pMemo), this, NULL) == NULL;
}

CDriveLetterMemo::~CDriveLetterMemo()
{
    WaitForAhead();
    if (m_active)
        ::InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&g_pMemo), NULL);
    ::DeleteCriticalSection(&m_lock);
}

UINT CDriveLetterMemo::Type(wchar_t letter)
{
    const wchar_t root[4] = {letter, L':', L'\\', L'\0'};
    const int index = LetterIndex(letter);
    if (index < 0)
        return ::GetDriveTypeW(root);
    ::EnterCriticalSection(&m_lock);
    Letter& known = m_letters[index];
    if (!known.typeKnown)
    {
        // A letter with no drive behind it is asked again each time: a
        // network drive mapped meanwhile must not pass for nothing.
        known.type = ::GetDriveTypeW(root);
        known.typeKnown = known.type != DRIVE_NO_ROOT_DIR && known.type != DRIVE_UNKNOWN;
    }
    const UINT type = known.type;
    ::LeaveCriticalSection(&m_lock);
    return type;
}

std::wstring CDriveLetterMemo::Mapping(wchar_t letter)
{
    const int index = LetterIndex(letter);
    if (index < 0)
        return AskMapping(letter);
    ::EnterCriticalSection(&m_lock);
    Letter& known = m_letters[index];
    if (!known.mappingKnown)
    {
        known.mapping = AskMapping(letter);
        known.mappingKnown = !known.mapping.empty();
    }
    const std::wstring mapping = known.mapping;
    ::LeaveCriticalSection(&m_lock);
    return mapping;
}

bool CDriveLetterMemo::AskAhead()
{
    if (!m_active || m_ahead.IsValid())
        return false;
    m_ahead.Attach(::CreateThread(NULL, 0, AskOnThread, this, 0, NULL));
    return m_ahead.IsValid();
}

void CDriveLetterMemo::WaitForAhead()
{
    if (m_ahead.IsValid())
        ::WaitForSingleObject(m_ahead, INFINITE);
}

DWORD WINAPI CDriveLetterMemo::AskOnThread(void* parameter)
{
    CDriveLetterMemo* memo = static_cast<CDriveLetterMemo*>(parameter);
    const DWORD present = ::GetLogicalDrives();
    for (int i = 0; i < 26; ++i)
    {
        if (present & (1u << i))
        {
            memo->Type(static_cast<wchar_t>(L'A' + i));
            memo->Mapping(static_cast<wchar_t>(L'A' + i));
        }
    }
    return 0;
}

UINT DriveTypeOf(const wchar_t* root)
{
    CDriveLetterMemo* memo = CurrentMemo();
    return memo && RootIndex(root) >= 0 ? memo->Type(root[0]) : ::GetDriveTypeW(root);
}

bool IsSubstTarget(const wchar_t* target) { return StartsWith(target, L"\\??\\"); }

bool IsRedirectorTarget(const wchar_t* target)
{
    for (size_t i = 0; i < ArrayCount(kRedirectorDevices); ++i)
    {
        if (StartsWith(target, kRedirectorDevices[i]))
            return true;
    }
    return false;
}

bool IsLocalDiskRoot(const std::wstring& root)
{
    if (DriveTypeOf(root.c_str()) == DRIVE_REMOTE)
        return false;
    const std::wstring mapping = DriveMapping(root);
    return !mapping.empty() && !IsSubstTarget(mapping.c_str()) && !IsRedirectorTarget(mapping.c_str());
}

std::vector<std::wstring> ListLocalDriveRoots()
{
    std::vector<std::wstring> local;
    const std::vector<std::wstring> roots = ListDriveRoots();
    for (size_t i = 0; i < roots.size(); ++i)
    {
        if (IsLocalDiskRoot(roots[i]))
            local.push_back(roots[i]);
    }
    return local;
}

bool IsRemovableOrUsbDrive(const std::wstring& root)
{
    if (!IsLocalDiskRoot(root))
        return false;
    const UINT type = DriveTypeOf(root.c_str());
    if (type == DRIVE_REMOVABLE)
        return true;
    if (type != DRIVE_FIXED)
        return false;
    // The bus the disk hangs on; no access rights are needed to ask.
    const std::wstring device = L"\\\\.\\" + root.substr(0, 2);
    CHandle volume(::CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL));
    if (!volume.IsValid())
        return false;
    STORAGE_PROPERTY_QUERY query;
    ZeroMemory(&query, sizeof(query));
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_DEVICE_DESCRIPTOR descriptor;
    ZeroMemory(&descriptor, sizeof(descriptor));
    DWORD returned = 0;
    if (!::DeviceIoControl(volume, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &descriptor,
                           sizeof(descriptor), &returned, NULL) ||
        returned < FIELD_OFFSET(STORAGE_DEVICE_DESCRIPTOR, BusType) + sizeof(descriptor.BusType))
        return false;
    return descriptor.BusType == BusTypeUsb;
}

namespace {

bool IsSlash(wchar_t c) { return c == L'\\' || c == L'/'; }
bool IsLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

}  // namespace

bool IsRemoteOrDevicePath(const wchar_t* path)
{
    if (!path)
        return false;
    // The object manager's own names ("\??\UNC\host\x") reach anything;
    // Win32 passes them through unchanged.
    if (IsSlash(path[0]) && path[1] == L'?')
        return true;
    if (IsSlash(path[0]) && IsSlash(path[1]))
    {
        // Only "\\?\X:\" is a local path; every other double slash names a
        // host or a device.
        if (path[2] != L'?' || !IsSlash(path[3]) || !IsLetter(path[4]) || path[5] != L':')
            return true;
        path += 4;
    }
    if (!IsLetter(path[0]) || path[1] != L':')
        return false;  // relative: resolved against a local folder
    const wchar_t root[4] = {path[0], L':', L'\\', L'\0'};
    if (DriveTypeOf(root) == DRIVE_REMOTE)
        return true;
    const std::wstring mapping = DriveMapping(root);
    return IsRedirectorTarget(mapping.c_str());
}

bool GetVolumeSerial(const std::wstring& root, DWORD& serial)
{
    CQuietDriveAccess quiet;
    serial = 0;
    return ::GetVolumeInformationW(root.c_str(), NULL, 0, &serial, NULL, NULL, NULL, 0) != FALSE;
}
