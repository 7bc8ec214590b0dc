#include "platform/reg_script.h"

#include <shlwapi.h>

#include "platform/change_gate.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "platform/program_folder.h"
#include "platform/reg_views.h"

namespace {

// Each script, its file name in the program's folder, the keys it writes,
// and where the user is given a copy of it when it is imported (never
// imported from there).
struct ScriptInfo
{
    WORD id;
    const wchar_t* fileName;
    const wchar_t* keys;  // NUL-separated, ending in an empty name
    std::wstring (*userCopy)();
};

const ScriptInfo kScripts[] = {
    {kLnkFixScriptId, L"lnkfix.reg", L"HKEY_CLASSES_ROOT\\.lnk\0HKEY_CLASSES_ROOT\\lnkfile\0", GetLnkFixTempPath},
    {kFixRegScriptId, L"fix.reg",
     L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\0", NULL},
};

const ScriptInfo* FindScript(const wchar_t* fileName)
{
    for (size_t i = 0; i < sizeof(kScripts) / sizeof(kScripts[0]); ++i)
    {
        if (::lstrcmpiW(kScripts[i].fileName, fileName) == 0)
            return &kScripts[i];
    }
    return NULL;
}

// The resource's bytes (they live as long as the module); false when missing.
bool FindBinResource(WORD id, const void** bytes, DWORD* size)
{
    HMODULE module = ::GetModuleHandleW(NULL);
    HRSRC info = ::FindResourceW(module, MAKEINTRESOURCEW(id), L"bin");
    if (!info)
        return false;
    HGLOBAL loaded = ::LoadResource(module, info);
    *bytes = loaded ? ::LockResource(loaded) : NULL;
    *size = ::SizeofResource(module, info);
    return *bytes != NULL;
}

// The import as the gateway makes it (and only then): the first one writes
// the script into the program's folder as a new file, whatever stood at its
// name removed first (and the user's copy), each starts
// an editor on that copy. The file is not written again for the second
// editor, which would find the first one still reading it.
bool WriteAndImport(const std::wstring& copy, bool nativeView)
{
    const ScriptInfo* script = FindScript(::PathFindFileNameW(copy.c_str()));
    const void* bytes = NULL;
    DWORD size = 0;
    if (!script || !FindBinResource(script->id, &bytes, &size))
        return false;
    if (!nativeView || !HasTwoRegViews())
    {
        if (WriteFreshFile(copy, bytes, size) != ERROR_SUCCESS)
            return false;
        if (script->userCopy)
            WriteFreshFile(script->userCopy(), bytes, size);
    }
    return StartRegEditInView(copy, nativeView);
}

}  // namespace

bool ExtractBinResource(WORD id, const wchar_t* path)
{
    const void* bytes = NULL;
    DWORD size = 0;
    if (FindBinResource(id, &bytes, &size))
        WriteFreshFile(path, bytes, size);
    // Resources of a loaded module need no freeing.
    return true;
}

bool ImportScriptResource(WORD id)
{
    const ScriptInfo* script = NULL;
    for (size_t i = 0; i < sizeof(kScripts) / sizeof(kScripts[0]); ++i)
    {
        if (kScripts[i].id == id)
            script = &kScripts[i];
    }
    const std::wstring folder = GetProgramFolder();
    if (!script || folder.empty())
        return false;
    const std::wstring copy = folder + script->fileName;
    // The 32-bit view (the only one of a 32-bit Windows), then on 64-bit
    // Windows the native one too: a view whose keys were deleted is never
    // left without them.
    const bool imported = GateImportScript(copy, script->keys, false, WriteAndImport);
    if (!HasTwoRegViews())
        return imported;
    return GateImportScript(copy, script->keys, true, WriteAndImport) && imported;
}

std::wstring GetLnkFixTempPath()
{
    wchar_t temp[512] = {0};
    const DWORD length = ::GetTempPathW(512, temp);
    std::wstring path;
    if (length > 0 && length <= 400)
    {
        path.assign(temp, length);
        if (path[path.size() - 1] != L'\\')
            path += L'\\';
    }
    return path + L"LNKFIX.REG";
}
