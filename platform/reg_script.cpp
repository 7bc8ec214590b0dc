#include "platform/reg_script.h"

#include <shellapi.h>

#include <string>

#include "platform/change_gate.h"
#include "platform/handles.h"
#include "platform/reg_views.h"

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

const wchar_t kFixRegScriptKeys[] =
    L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\0"
    L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\NOHIDDEN\0"
    L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\SHOWALL\0";
const wchar_t kLnkFixScriptKeys[] = L"HKEY_CLASSES_ROOT\\.lnk\0HKEY_CLASSES_ROOT\\lnkfile\0";

bool ImportRegFileInOtherView(const std::wstring& path, const wchar_t* scriptKeys)
{
    if (!HasTwoRegViews())
        return true;
    // The editor ImportRegFile starts is of this program's kind: a 32-bit
    // program adds the native one, a 64-bit build the 32-bit one.
    return GateImportScript(path, scriptKeys, IsWow64Process32(), StartRegEditInView);
}
