// Stands in for the 32-bit registry editor (SysWOW64\regedit.exe) in a 64-bit
// sandbox made on a machine that runs no 32-bit Wine, where the real one
// cannot start. Built as x86_64, it imports `regedit /s FILE` as the 32-bit
// editor does on Windows 7 and later: the keys the system keeps apart go into
// the 32-bit view, the ones it shares (most of the classes, the user's keys)
// into the one key both views see. The 64-bit reg.exe does the writing.
#include <windows.h>

#include <string>
#include <vector>

namespace {

// The class keys Windows 7 and later keep apart for 32-bit programs.
const wchar_t* const kRedirectedClasses[] = {L"CLSID", L"Interface", L"DirectShow", L"Media Type",
                                             L"MediaFoundation"};

bool StartsWithKey(const std::wstring& key, const std::wstring& prefix)
{
    return key.size() >= prefix.size() &&
           ::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, key.c_str(), static_cast<int>(prefix.size()),
                            prefix.c_str(), static_cast<int>(prefix.size())) == CSTR_EQUAL &&
           (key.size() == prefix.size() || key[prefix.size()] == L'\\');
}

// Whether a 32-bit program writing `key` ("HKEY_...\...") writes its own copy.
bool IsRedirected(const std::wstring& key)
{
    std::wstring classes;
    if (StartsWithKey(key, L"HKEY_CLASSES_ROOT"))
        classes = key.substr(17);
    else if (StartsWithKey(key, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes"))
        classes = key.substr(35);
    else
        return StartsWithKey(key, L"HKEY_LOCAL_MACHINE\\SOFTWARE");
    if (!classes.empty())
        classes.erase(0, 1);
    for (size_t i = 0; i < sizeof(kRedirectedClasses) / sizeof(kRedirectedClasses[0]); ++i)
    {
        if (StartsWithKey(classes, kRedirectedClasses[i]))
            return true;
    }
    return false;
}

bool ReadScript(const wchar_t* path, std::wstring& text)
{
    HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::vector<char> bytes(::GetFileSize(file, NULL));
    DWORD read = 0;
    const bool ok = bytes.empty() ||
                    (::ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, NULL) && read == bytes.size());
    ::CloseHandle(file);
    if (!ok)
        return false;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE)
    {
        text.assign(reinterpret_cast<const wchar_t*>(&bytes[2]), (bytes.size() - 2) / 2);
        return true;
    }
    const int length = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), NULL, 0);
    text.resize(length);
    if (length > 0)
        ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], length);
    return true;
}

bool WriteScript(const std::wstring& path, const std::wstring& text)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const std::wstring bytes = L"\xFEFF" + text;
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(bytes.size() * sizeof(wchar_t));
    const bool ok = ::WriteFile(file, bytes.data(), size, &written, NULL) && written == size;
    ::CloseHandle(file);
    return ok;
}

// reg.exe import FILE /reg:VIEW, waited for; true on exit code 0.
bool Import(const std::wstring& script, const wchar_t* view)
{
    wchar_t system[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    const std::wstring reg = std::wstring(system) + L"\\reg.exe";
    std::wstring command = L"\"" + reg + L"\" import \"" + script + L"\" /reg:" + view;
    STARTUPINFOW startup;
    ::ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info;
    if (!::CreateProcessW(reg.c_str(), &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info))
        return false;
    DWORD code = 1;
    ::WaitForSingleObject(info.hProcess, INFINITE);
    ::GetExitCodeProcess(info.hProcess, &code);
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    return code == 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* script = NULL;
    for (int i = 1; i < argc; ++i)
    {
        if (argv[i][0] != L'/' && argv[i][0] != L'-')
            script = argv[i];
    }
    std::wstring text;
    if (!script || !ReadScript(script, text))
        return 1;

    // The header line, then the sections, each with the lines up to the next.
    const std::wstring::size_type firstLine = text.find(L'\n');
    if (firstLine == std::wstring::npos)
        return 1;
    const std::wstring header = text.substr(0, firstLine + 1);
    std::wstring parts[2] = {header, header};  // redirected, shared
    bool redirected = false;
    for (std::wstring::size_type at = firstLine + 1; at < text.size();)
    {
        std::wstring::size_type end = text.find(L'\n', at);
        end = end == std::wstring::npos ? text.size() : end + 1;
        const std::wstring line = text.substr(at, end - at);
        if (!line.empty() && line[0] == L'[')
        {
            const std::wstring::size_type close = line.find(L']');
            const std::wstring::size_type open = line.size() > 1 && line[1] == L'-' ? 2 : 1;
            redirected = close != std::wstring::npos && IsRedirected(line.substr(open, close - open));
        }
        parts[redirected ? 0 : 1] += line;
        at = end;
    }

    wchar_t folder[MAX_PATH];
    if (!::GetTempPathW(MAX_PATH, folder))
        return 1;
    const wchar_t* const views[2] = {L"32", L"64"};
    int result = 0;
    for (int i = 0; i < 2; ++i)
    {
        if (parts[i].size() == header.size())
            continue;
        wchar_t name[MAX_PATH];
        if (!::GetTempFileNameW(folder, L"r32", 0, name))
            return 1;
        if (!WriteScript(name, parts[i]) || !Import(name, views[i]))
            result = 1;
        ::DeleteFileW(name);
    }
    return result;
}
