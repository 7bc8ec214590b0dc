#include "platform/reg_script.h"

#include <shellapi.h>

#include <string>

#include "platform/handles.h"

bool ExtractBinResource(WORD id, const wchar_t* path)
{
    HMODULE module = ::GetModuleHandleW(NULL);
    HRSRC info = ::FindResourceW(module, MAKEINTRESOURCEW(id), L"bin");
    if (!info)
        return true;
    HGLOBAL loaded = ::LoadResource(module, info);
    const void* bytes = loaded ? ::LockResource(loaded) : NULL;
    const DWORD size = ::SizeofResource(module, info);
    if (!bytes)
        return true;
    CHandle file(::CreateFileW(path, GENERIC_ALL, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
    if (file.IsValid())
    {
        DWORD written = 0;
        ::WriteFile(file, bytes, size, &written, NULL);
    }
    // Resources of a loaded module need no freeing.
    return true;
}

void ImportRegFile(const wchar_t* path, const wchar_t* verb)
{
    const std::wstring parameters = std::wstring(L"/s \"") + path + L"\"";
    ::ShellExecuteW(NULL, verb, L"regedit.exe", parameters.c_str(), NULL, SW_HIDE);
}
