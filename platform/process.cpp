#include "platform/process.h"

#include <windows.h>
#include <psapi.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "platform/array_count.h"
#include "platform/handles.h"
#include "platform/system_function.h"

namespace {

typedef BOOL(WINAPI* PFNQUERYFULLPROCESSIMAGENAMEW)(HANDLE, DWORD, LPWSTR, PDWORD);

PFNQUERYFULLPROCESSIMAGENAMEW QueryFullProcessImageNameFunction()
{
    // Vista and later; looked up at run time so that the program starts on XP.
    static PFNQUERYFULLPROCESSIMAGENAMEW function =
        SystemFunction<PFNQUERYFULLPROCESSIMAGENAMEW>(L"kernel32.dll", "QueryFullProcessImageNameW");
    return function;
}

}  // namespace

bool GetProcessImagePath(void* process, wchar_t* path, unsigned long chars)
{
    if (PFNQUERYFULLPROCESSIMAGENAMEW query = QueryFullProcessImageNameFunction())
    {
        DWORD length = chars;
        if (query(process, 0, path, &length) && length > 0)
            return true;
    }
    // Windows XP does not terminate a path that fills the buffer: one
    // character is kept back for the terminator.
    if (chars < 2)
        return false;
    const DWORD length = ::GetModuleFileNameExW(process, NULL, path, chars - 1);
    if (length == 0)
        return false;
    path[length < chars - 1 ? length : chars - 1] = L'\0';
    return true;
}

void ForEachOtherProcess(ProcessVisit visit, void* context)
{
    CHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.IsValid())
        return;
    PROCESSENTRY32W entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    if (!::Process32FirstW(snapshot, &entry))
        return;
    const DWORD self = ::GetCurrentProcessId();
    do
    {
        if (entry.th32ProcessID == self)
            continue;  // never this program itself
        // It may have exited since the snapshot: then the open fails.
        CHandle process(::OpenProcess(PROCESS_ALL_ACCESS, FALSE, entry.th32ProcessID));
        if (!process.IsValid())
            continue;
        wchar_t path[MAX_PATH] = {0};
        if (!GetProcessImagePath(process, path, MAX_PATH))
            continue;
        visit(process, path, context);
    } while (::Process32NextW(snapshot, &entry));
}

bool EnablePrivilege(const wchar_t* name)
{
    HANDLE token = NULL;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    CHandle owner(token);
    TOKEN_PRIVILEGES privileges;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!::LookupPrivilegeValueW(NULL, name, &privileges.Privileges[0].Luid))
        return false;
    return ::AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL) != FALSE;
}

void ShowRestartDialog(const wchar_t* text)
{
    typedef int(WINAPI * PFNRESTARTDIALOG)(HWND, LPCWSTR, DWORD);
    HMODULE shell = ::GetModuleHandleW(L"shell32.dll");
    if (!shell)
        shell = ::LoadLibraryW(L"shell32.dll");
    PFNRESTARTDIALOG restartDialog = reinterpret_cast<PFNRESTARTDIALOG>(
        reinterpret_cast<void*>(::GetProcAddress(shell, MAKEINTRESOURCEA(59))));
    if (restartDialog)
        restartDialog(NULL, text, EWX_REBOOT);
}

namespace {

// The programs that run a file named on their command line.
const wchar_t* const kHostNames[] = {
    L"wscript.exe", L"cscript.exe", L"mshta.exe", L"rundll32.exe", L"regsvr32.exe",
    L"cmd.exe",     L"powershell.exe", L"odbcconf.exe", L"msiexec.exe",
};

struct CommandLineText
{
    USHORT length;
    USHORT maximum;
    wchar_t* buffer;
};

typedef LONG(WINAPI* PFNNTQUERYINFORMATIONPROCESS)(HANDLE, ULONG, void*, ULONG, ULONG*);

// The command line of a process (ProcessCommandLineInformation, Windows 8.1
// and later); false where the system does not tell it.
bool GetProcessCommandLine(HANDLE process, std::wstring& line)
{
    static PFNNTQUERYINFORMATIONPROCESS query =
        SystemFunction<PFNNTQUERYINFORMATIONPROCESS>(L"ntdll.dll", "NtQueryInformationProcess");
    const ULONG kProcessCommandLineInformation = 60;
    if (!query)
        return false;
    std::string buffer(sizeof(CommandLineText) + 65536, '\0');
    ULONG needed = 0;
    if (query(process, kProcessCommandLineInformation, &buffer[0], static_cast<ULONG>(buffer.size()), &needed) != 0)
        return false;
    const CommandLineText* text = reinterpret_cast<const CommandLineText*>(buffer.data());
    const char* end = buffer.data() + buffer.size();
    if (!text->buffer || reinterpret_cast<const char*>(text->buffer) < buffer.data() ||
        reinterpret_cast<const char*>(text->buffer) + text->length > end)
        return false;
    line.assign(text->buffer, text->length / sizeof(wchar_t));
    return true;
}

// The command line from the process's own parameter block, where it runs
// with this program's word size (the layout differs between the two).
bool ReadCommandLineFromBlock(HANDLE process, std::wstring& line)
{
    static PFNNTQUERYINFORMATIONPROCESS query =
        SystemFunction<PFNNTQUERYINFORMATIONPROCESS>(L"ntdll.dll", "NtQueryInformationProcess");
    BOOL ownWow64 = FALSE;
    BOOL otherWow64 = FALSE;
    typedef BOOL(WINAPI * PFNISWOW64PROCESS)(HANDLE, PBOOL);
    static PFNISWOW64PROCESS isWow64 = SystemFunction<PFNISWOW64PROCESS>(L"kernel32.dll", "IsWow64Process");
    if (!query || (isWow64 && (!isWow64(::GetCurrentProcess(), &ownWow64) || !isWow64(process, &otherWow64) ||
                               ownWow64 != otherWow64)))
        return false;
    struct BasicInformation
    {
        LONG exitStatus;
        void* peb;
        ULONG_PTR affinity;
        LONG priority;
        ULONG_PTR id;
        ULONG_PTR parent;
    } basic;
    ULONG got = 0;
    if (query(process, 0, &basic, sizeof(basic), &got) != 0 || !basic.peb)
        return false;
    // PEB.ProcessParameters, then its CommandLine (a counted string).
    const size_t word = sizeof(void*);
    void* parameters = NULL;
    CommandLineText text = {0, 0, NULL};
    SIZE_T read = 0;
    if (!::ReadProcessMemory(process, static_cast<char*>(basic.peb) + 4 * word, &parameters, sizeof(parameters),
                             &read) ||
        !parameters ||
        !::ReadProcessMemory(process, static_cast<char*>(parameters) + (word == 8 ? 0x70 : 0x40), &text, sizeof(text),
                             &read) ||
        !text.buffer || text.length % 2)
        return false;
    line.assign(text.length / sizeof(wchar_t), L'\0');
    return line.empty() ||
           (::ReadProcessMemory(process, text.buffer, &line[0], text.length, &read) && read == text.length);
}

// The words of a command line: split at blanks and at the command
// interpreter's operators, quotes grouping and taken off. A quoted word
// with blanks inside ("cmd /c \"start x.vbs\"") is split again, a few
// levels deep at most.
void SplitWords(const std::wstring& line, int depth, std::vector<std::wstring>& words)
{
    std::wstring word;
    bool quoted = false;
    bool grouped = false;  // the word held blanks inside quotes
    for (size_t i = 0; i <= line.size(); ++i)
    {
        const wchar_t c = i < line.size() ? line[i] : L' ';
        if (c == L'"')
        {
            quoted = !quoted;
            continue;
        }
        if (quoted || !(c == L' ' || c == L'\t' || c == L'&' || c == L'|' || c == L'<' || c == L'>' ||
                         c == L'(' || c == L')'))
        {
            grouped = grouped || (quoted && (c == L' ' || c == L'\t'));
            word += c;
            continue;
        }
        if (grouped && depth > 0)
            SplitWords(word, depth - 1, words);
        if (!word.empty())
            words.push_back(word);
        word.clear();
        grouped = false;
    }
}

// Whether `word`, or its part before a comma (the DLL runner's
// "file.dll,Entry"), is the whole path of `file`.
bool NamesFile(const std::wstring& word, const std::wstring& file)
{
    const std::wstring::size_type comma = word.find(L',');
    const std::wstring parts[] = {word, comma == std::wstring::npos ? std::wstring() : word.substr(0, comma)};
    for (size_t i = 0; i < ArrayCount(parts); ++i)
    {
        if (parts[i].size() < 3 || parts[i].size() >= MAX_PATH)
            continue;
        wchar_t full[MAX_PATH];
        const DWORD length = ::GetFullPathNameW(parts[i].c_str(), MAX_PATH, full, NULL);
        // Only a path written whole counts: a relative one is the process's
        // own business.
        if (::PathIsRelativeW(parts[i].c_str()) || length == 0 || length >= MAX_PATH)
            continue;
        if (::lstrcmpiW(full, file.c_str()) == 0)
            return true;
    }
    return false;
}

bool LineNamesFile(const std::wstring& line, const std::wstring& file)
{
    std::vector<std::wstring> words;
    SplitWords(line, 3, words);
    for (size_t i = 0; i < words.size(); ++i)
    {
        if (NamesFile(words[i], file))
            return true;
    }
    return false;
}

bool IsHost(const wchar_t* image)
{
    const wchar_t* name = ::PathFindFileNameW(image);
    for (size_t i = 0; i < ArrayCount(kHostNames); ++i)
    {
        if (::lstrcmpiW(name, kHostNames[i]) == 0)
            return true;
    }
    return false;
}

}  // namespace

bool ProcessRunsFile(HANDLE process, const wchar_t* imagePath, const std::wstring& file)
{
    std::wstring line;
    return ::lstrcmpiW(imagePath, file.c_str()) == 0 ||
           (IsHost(imagePath) && (GetProcessCommandLine(process, line) || ReadCommandLineFromBlock(process, line)) &&
            LineNamesFile(line, file));
}
