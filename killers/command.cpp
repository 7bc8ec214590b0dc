#include "killers/command.h"

#include <windows.h>

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
