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

bool ImportHidden(const std::wstring& script, bool nativeView) { return StartRegistryImport(script, nativeView, false); }

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
    const bool imported = GateImportScript(copy, script->keys, false, ImportHidden);
    if (!HasTwoRegViews())
        return imported;
    // On 64-bit Windows that editor wrote the view of this program's kind
    // only: the editor of the other view (the native one, for the 32-bit
    // program) imports the same copy. A view whose keys were deleted is
    // never left without them.
    return GateImportScript(copy, script->keys, IsWow64Process32(), StartRegEditInView) && imported;
}

bool StartRegistryImport(const std::wstring& script, bool nativeView, bool wait)
{
    // The Windows folder as the system knows it (not %windir% of the
    // environment, which the caller's user sets). Its regedit.exe is the
    // editor of this program's kind (a 32-bit program under WOW64 is given
    // the 32-bit one); StartRegEditInView starts the other.
    (void)nativeView;
    wchar_t folder[MAX_PATH] = {0};
    const UINT length = ::GetSystemWindowsDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    const std::wstring windows = WithBackslash(folder);
    const std::wstring program = windows + L"regedit.exe";
    std::wstring commandLine = L"\"" + program + L"\" /s \"" + script + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(program.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, windows.c_str(), &startup,
                          &process))
        return false;
    CHandle processHandle(process.hProcess);
    CHandle thread(process.hThread);
    if (!wait)
        return true;
    DWORD code = 1;
    return ::WaitForSingleObject(processHandle, INFINITE) == WAIT_OBJECT_0 &&
           ::GetExitCodeProcess(processHandle, &code) && code == 0;
}
