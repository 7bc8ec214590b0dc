#include "killers/command.h"

#include <windows.h>
#include <shlobj.h>

#include <vector>

#include "platform/file_helpers.h"
#include "platform/registry.h"

int IModuleKillClientNull::Init(void* context)
{
    m_pContext = context;
    return 1;
}

int IModuleKillClientNull::Query() { return 0; }
int IModuleKillClientNull::Scan() { return 0; }
int IModuleKillClientNull::Clean() { return 0; }
int IModuleKillClientNull::Uninit() { return 1; }

std::string ToLogText(const wchar_t* text)
{
    if (!text)
        return std::string();
    // A value or name with a line break in it would write lines of its own.
    const std::wstring clean = WithoutControlChars(text);
    text = clean.c_str();
    const int units = lstrlenW(text) + 1;
    // Four bytes per UTF-16 unit first; ask for the exact size if that is short.
    std::vector<char> bytes(static_cast<size_t>(units) * 4);
    int written = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text, units, &bytes[0],
                                        static_cast<int>(bytes.size()), NULL, NULL);
    if (written == 0 && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER)
    {
        const int needed = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text, units, NULL, 0, NULL, NULL);
        if (needed <= 0)
            return std::string();
        bytes.assign(static_cast<size_t>(needed), '\0');
        written = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text, units, &bytes[0], needed, NULL, NULL);
    }
    if (written <= 0)
        return std::string();
    return std::string(&bytes[0], static_cast<size_t>(written - 1));
}

namespace {

void ReplaceMark(std::wstring& text, const wchar_t* mark, const std::wstring& folder)
{
    const std::wstring::size_type at = text.find(mark);
    if (at != std::wstring::npos)
        text.replace(at, lstrlenW(mark), folder);
}

}  // namespace

std::wstring ExpandFolderMarks(const wchar_t* pattern)
{
    std::wstring text(pattern);
    if (text.find(L"<PF>") != std::wstring::npos)
    {
        wchar_t folder[MAX_PATH] = {0};
        if (FAILED(::SHGetFolderPathW(NULL, CSIDL_PROGRAM_FILES, NULL, 0, folder)))
            folder[0] = L'\0';
        ReplaceMark(text, L"<PF>", WithBackslash(folder));
    }
    if (text.find(L"<WD>") != std::wstring::npos)
    {
        std::wstring windir;
        GetWindowsDirSlash(windir);
        ReplaceMark(text, L"<WD>", windir);
    }
    return text;
}
