#include "platform/reg_script.h"

#include "platform/change_gate.h"
#include "platform/file_helpers.h"
#include "platform/handles.h"
#include "platform/program_folder.h"
#include "platform/reg_views.h"

namespace {

// Each script, its file name in the program's folder and the keys it writes.
struct ScriptInfo
{
    WORD id;
    const wchar_t* fileName;
    const wchar_t* keys;  // NUL-separated, ending in an empty name
};

const ScriptInfo kScripts[] = {
    {kLnkFixScriptId, L"lnkfix.reg", L"HKEY_CLASSES_ROOT\\.lnk\0HKEY_CLASSES_ROOT\\lnkfile\0"},
    {kFixRegScriptId, L"fix.reg",
     L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\0"},
};

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

bool ImportHidden(const std::wstring& script, bool nativeView) { return StartRegEditInView(script, nativeView); }

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
        if (kScripts[i].id == id)
            script = &kScripts[i];
    const void* bytes = NULL;
    DWORD size = 0;
    if (!script || !FindBinResource(id, &bytes, &size))
        return false;
    const std::wstring folder = GetProgramFolder();
    if (folder.empty())
        return false;
    const std::wstring copy = folder + script->fileName;
    if (WriteSafeFile(copy, bytes, size) != ERROR_SUCCESS)
        return false;
    // The 32-bit view (the only one of a 32-bit Windows), then on 64-bit
    // Windows the native one too: a view whose keys were deleted is never
    // left without them.
    const bool imported = GateImportScript(copy, script->keys, false, ImportHidden);
    if (!HasTwoRegViews())
        return imported;
    return GateImportScript(copy, script->keys, true, ImportHidden) && imported;
}
