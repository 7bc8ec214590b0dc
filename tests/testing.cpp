#include "tests/testing.h"

#include <objbase.h>
#include <shlobj.h>

#include <cstdlib>
#include <vector>

namespace testing_util {

bool SaveShortcut(const std::wstring& path, const std::wstring& target, const std::wstring& arguments)
{
    IShellLinkW* link = NULL;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  reinterpret_cast<void**>(&link))))
        return false;
    IPersistFile* file = NULL;
    const bool saved = SUCCEEDED(link->SetPath(target.c_str())) && SUCCEEDED(link->SetArguments(arguments.c_str())) &&
                       SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
                       SUCCEEDED(file->Save(path.c_str(), TRUE));
    if (file)
        file->Release();
    link->Release();
    return saved;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = bytes.empty() ||
                    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL);
    ::CloseHandle(file);
    return ok && written == bytes.size();
}

std::string ReadFileBytes(const std::wstring& path)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    std::string bytes;
    char chunk[65536];
    DWORD read = 0;
    while (::ReadFile(file, chunk, sizeof(chunk), &read, NULL) && read > 0)
        bytes.append(chunk, read);
    ::CloseHandle(file);
    return bytes;
}

DWORD RunWithOutput(const std::wstring& program, const std::wstring& arguments, const std::wstring& output,
                    DWORD milliseconds)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
    HANDLE file =
        ::CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, NULL);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = file;
    startup.hStdError = file;
    PROCESS_INFORMATION process = {};
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    DWORD code = DWORD(-1);
    if (::CreateProcessW(program.c_str(), &commandLine[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process))
    {
        if (::WaitForSingleObject(process.hProcess, milliseconds) == WAIT_OBJECT_0)
            ::GetExitCodeProcess(process.hProcess, &code);
        else
            ::TerminateProcess(process.hProcess, 1);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    if (file != INVALID_HANDLE_VALUE)
        ::CloseHandle(file);
    return code;
}

bool FileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void EmptyStick()
{
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW(L"\\\\?\\E:\\*", &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    std::vector<std::wstring> names;
    do
    {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L".." && name != L".windows-label")
            names.push_back(name);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    for (size_t i = 0; i < names.size(); ++i)
        RemoveTree(L"\\\\?\\E:\\" + names[i]);
}

bool MakeStickFolder(const std::wstring& name, DWORD attributes)
{
    const std::wstring path = L"\\\\?\\E:\\" + name;
    return ::CreateDirectoryW(path.c_str(), NULL) && (!attributes || ::SetFileAttributesW(path.c_str(), attributes));
}

bool MakeStickFile(const std::wstring& name, const std::string& bytes, DWORD attributes)
{
    const std::wstring path = L"\\\\?\\E:\\" + name;
    return WriteFileBytes(path, bytes) && (!attributes || ::SetFileAttributesW(path.c_str(), attributes));
}

void RemoveTree(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
    {
        ::DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L"..")
                RemoveTree(path + L"\\" + name);
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(path.c_str());
}

void CreateDirectoryChainForTests(const std::wstring& filePath)
{
    for (std::wstring::size_type i = 3; i < filePath.size(); ++i)
        if (filePath[i] == L'\\')
            ::CreateDirectoryW(filePath.substr(0, i).c_str(), NULL);
}

std::string TinyImage(size_t size)
{
    std::string bytes(size < 0x98 ? 0x98 : size, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    bytes[60] = static_cast<char>(0x80);
    bytes[0x80] = 'P';
    bytes[0x81] = 'E';
    return bytes;
}

std::string Hex(const char* spaced)
{
    std::string bytes;
    const char* p = spaced;
    while (*p)
    {
        if (*p == ' ')
        {
            ++p;
            continue;
        }
        char pair[3] = {p[0], p[1], 0};
        bytes.push_back(static_cast<char>(std::strtol(pair, NULL, 16)));
        p += 2;
    }
    return bytes;
}

}  // namespace testing_util

namespace testing_util {

bool SetRegValue(HKEY root, const std::wstring& path, const wchar_t* name, DWORD type, const void* data,
                 DWORD bytes, REGSAM view)
{
    HKEY key = NULL;
    if (::RegCreateKeyExW(root, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS | view, NULL, &key, NULL) != ERROR_SUCCESS)
        return false;
    const LONG status = ::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes);
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool SetRegText(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text, DWORD type,
                REGSAM view)
{
    return SetRegValue(root, path, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)),
                       view);
}

bool SetRegDword(HKEY root, const std::wstring& path, const wchar_t* name, DWORD value, REGSAM view)
{
    return SetRegValue(root, path, name, REG_DWORD, &value, sizeof(value), view);
}

bool GetRegText(HKEY root, const std::wstring& path, const wchar_t* name, std::wstring& text, DWORD* type,
                REGSAM view)
{
    HKEY key = NULL;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    std::vector<wchar_t> buffer(4096, L'\0');
    DWORD bytes = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
    DWORD actualType = 0;
    const LONG status = ::RegQueryValueExW(key, name, NULL, &actualType, reinterpret_cast<BYTE*>(&buffer[0]), &bytes);
    ::RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return false;
    text.assign(&buffer[0]);
    if (type)
        *type = actualType;
    return true;
}

bool GetRegDword(HKEY root, const std::wstring& path, const wchar_t* name, DWORD& value, REGSAM view)
{
    HKEY key = NULL;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    DWORD bytes = sizeof(value);
    const LONG status = ::RegQueryValueExW(key, name, NULL, NULL, reinterpret_cast<BYTE*>(&value), &bytes);
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool CreateRegistryLink(HKEY root, const std::wstring& path, const std::wstring& target)
{
    HKEY key = NULL;
    if (::RegCreateKeyExW(root, path.c_str(), 0, NULL, REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK,
                          KEY_ALL_ACCESS | KEY_CREATE_LINK, NULL, &key, NULL) != ERROR_SUCCESS)
        return false;
    const LONG status = ::RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK,
                                         reinterpret_cast<const BYTE*>(target.c_str()),
                                         static_cast<DWORD>(target.size() * sizeof(wchar_t)));
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool WaitForKey(HKEY root, const std::wstring& path)
{
    for (int i = 0; i < 300; ++i)
    {
        if (KeyExists(root, path))
            return true;
        ::Sleep(50);
    }
    return false;
}

bool KeyExists(HKEY root, const std::wstring& path, REGSAM view)
{
    HKEY key = NULL;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    ::RegCloseKey(key);
    return true;
}

bool CreateKey(HKEY root, const std::wstring& path, REGSAM view)
{
    HKEY key = NULL;
    if (::RegCreateKeyExW(root, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS | view, NULL, &key, NULL) != ERROR_SUCCESS)
        return false;
    ::RegCloseKey(key);
    return true;
}

namespace {

// RegDeleteKeyExW where a view is asked for (looked up: XP has none).
void DeleteOneKey(HKEY root, const std::wstring& path, REGSAM view)
{
    typedef LONG(WINAPI * PFNDELETEKEYEX)(HKEY, LPCWSTR, REGSAM, DWORD);
    PFNDELETEKEYEX deleteKeyEx = reinterpret_cast<PFNDELETEKEYEX>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"advapi32.dll"), "RegDeleteKeyExW")));
    if (view && deleteKeyEx)
        deleteKeyEx(root, path.c_str(), view, 0);
    else
        ::RegDeleteKeyW(root, path.c_str());
}

}  // namespace

void DeleteKey(HKEY root, const std::wstring& path, REGSAM view)
{
    HKEY key = NULL;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS)
        return;
    wchar_t child[300];
    for (;;)
    {
        DWORD length = 300;
        if (::RegEnumKeyExW(key, 0, child, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        const std::wstring before(child);
        DeleteKey(root, path + L"\\" + child, view);
        length = 300;
        if (::RegEnumKeyExW(key, 0, child, &length, NULL, NULL, NULL, NULL) == ERROR_SUCCESS && before == child)
            break;  // could not delete it
    }
    ::RegCloseKey(key);
    DeleteOneKey(root, path, view);
}

bool ThirtyTwoBitProgramsRun()
{
    wchar_t value[8] = {0};
    const DWORD length = ::GetEnvironmentVariableW(L"STICKMEDIC_WINE32", value, 8);
    return !(length == 1 && value[0] == L'0');
}

}  // namespace testing_util
