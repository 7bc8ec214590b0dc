// The registry editor only ever imports the program's own copy of a script,
// written into its protected folder, and is started by its full path.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "killers/reg_fx.h"
#include "killers/scan_log.h"
#include "platform/change_gate.h"
#include "platform/program_folder.h"
#include "platform/reg_script.h"
#include "platform/reg_views.h"
#include "tests/testing.h"

using namespace testing_util;

namespace {

const wchar_t kFileExts[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk";
const wchar_t kForeign[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\sethc.exe";
const wchar_t kShim[] = L"lnkfile\\shellex\\PropertySheetHandlers\\ShimLayer Property Page";

std::wstring Beside(const wchar_t* name)
{
    wchar_t self[MAX_PATH] = {0};
    ::GetModuleFileNameW(NULL, self, MAX_PATH);
    std::wstring path(self);
    return path.substr(0, path.rfind(L'\\') + 1) + name;
}

// The resource's bytes as ExtractBinResource writes them.
std::string ScriptBytes(WORD id)
{
    const std::wstring path = L"C:\\script-copy.reg";
    ExtractBinResource(id, path.c_str());
    const std::string bytes = ReadFileBytes(path);
    ::DeleteFileW(path.c_str());
    return bytes;
}

// Records every import the gateway is asked for.
class CImportRecorder : public IChangeRecorder
{
public:
    CImportRecorder() : m_imports(0), m_made(0) {}
    virtual Verdict Before(const ChangeRequest& change)
    {
        if (change.kind == kChangeImportScript)
        {
            ++m_imports;
            m_script = change.path;
            for (const wchar_t* key = change.scriptKeys; key && *key; key += lstrlenW(key) + 1)
                m_keys += std::wstring(key) + L"|";
        }
        return kMake;
    }
    virtual void After(const ChangeRequest& change, bool succeeded)
    {
        if (change.kind == kChangeImportScript && succeeded)
            ++m_made;
    }
    int m_imports;  // asked for
    int m_made;     // made (the editor started)
    std::wstring m_script;
    std::wstring m_keys;
};

}  // namespace

TEST(ScriptImport, PlantedTempScriptAndRegeditAreNeverUsed)
{
    // A registry editor of the user's beside the program and in the current
    // folder: the search for a bare name would find it first.
    ASSERT_TRUE(::CopyFileW(Beside(L"recorder.exe").c_str(), Beside(L"regedit.exe").c_str(), FALSE));
    ::DeleteFileW(Beside(L"recorder.txt").c_str());
    // A hidden, read-only LNKFIX.REG with a key of the user's choosing.
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring planted = std::wstring(temp) + L"LNKFIX.REG";
    const std::string foreign =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\"
        "CurrentVersion\\Image File Execution Options\\sethc.exe]\r\n\"Debugger\"=\"C:\\\\worm.exe\"\r\n";
    ASSERT_TRUE(WriteFileBytes(planted, foreign));
    ASSERT_TRUE(::SetFileAttributesW(planted.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    // The damage that makes the repair import its script.
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, std::wstring(kFileExts) + L"\\UserChoice", L"Progid", L"wormfile"));
    DeleteKey(HKEY_CLASSES_ROOT, L"lnkfile");

    CImportRecorder recorder;
    SetChangeRecorder(&recorder);
    ScanLog::Reset(ScanLog::kHeaderFormat);
    RepairAssociations();
    SetChangeRecorder(NULL);

    const std::wstring copy = GetProgramFolderPath() + L"lnkfix.reg";
    EXPECT_EQ(1, recorder.m_imports);
    EXPECT_EQ(copy, recorder.m_script);
    EXPECT_EQ(L"HKEY_CLASSES_ROOT\\.lnk|HKEY_CLASSES_ROOT\\lnkfile|", recorder.m_keys);
    ASSERT_TRUE(WaitForKey(HKEY_CLASSES_ROOT, kShim)) << "the real script was imported";
    ::Sleep(500);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kForeign));
    const std::string real = ScriptBytes(kLnkFixScriptId);
    ASSERT_EQ(1593u, real.size());
    EXPECT_EQ(real, ReadFileBytes(planted)) << "the temporary copy is still written, afresh";
    EXPECT_EQ(real, ReadFileBytes(copy));
    EXPECT_FALSE(FileExists(Beside(L"recorder.txt"))) << "the planted regedit.exe never started";
    ::DeleteFileW(Beside(L"regedit.exe").c_str());
}

TEST(ScriptImport, FixRegIsImportedFromTheProtectedCopy)
{
    const wchar_t hidden[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden";
    DeleteKey(HKEY_LOCAL_MACHINE, hidden);
    // The user's fix.reg may say anything: it is not what gets imported.
    const std::wstring copy = GetProgramFolderPath() + L"fix.reg";
    CImportRecorder recorder;
    SetChangeRecorder(&recorder);
    EXPECT_TRUE(ImportScriptResource(kFixRegScriptId));
    SetChangeRecorder(NULL);
    EXPECT_EQ(copy, recorder.m_script);
    EXPECT_EQ(std::wstring(L"HKEY_LOCAL_MACHINE\\") + hidden + L"|", recorder.m_keys);
    EXPECT_EQ(ScriptBytes(kFixRegScriptId), ReadFileBytes(copy));
    EXPECT_TRUE(WaitForKey(HKEY_LOCAL_MACHINE, (std::wstring(hidden) + L"\\NOHIDDEN").c_str()));

    // A copy that became a hard link to another file, or one with the
    // user's text: the copy is written anew each time, never through what
    // stood at its name.
    const std::wstring victim = L"C:\\victim.txt";
    ASSERT_TRUE(WriteFileBytes(victim, "precious"));
    ASSERT_TRUE(::DeleteFileW(copy.c_str()));
    ASSERT_TRUE(::CreateHardLinkW(copy.c_str(), victim.c_str(), NULL));
    SetChangeRecorder(&recorder);
    EXPECT_TRUE(ImportScriptResource(kFixRegScriptId));
    SetChangeRecorder(NULL);
    EXPECT_EQ(2, recorder.m_imports);
    EXPECT_EQ(2, recorder.m_made);
    EXPECT_EQ("precious", ReadFileBytes(victim));
    EXPECT_EQ(ScriptBytes(kFixRegScriptId), ReadFileBytes(copy));
    BY_HANDLE_FILE_INFORMATION info = {};
    HANDLE file = ::CreateFileW(copy.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    ::GetFileInformationByHandle(file, &info);
    ::CloseHandle(file);
    EXPECT_EQ(1u, info.nNumberOfLinks);
    ::DeleteFileW(victim.c_str());
    ::DeleteFileW(copy.c_str());
}

TEST(ScriptImport, TheEditorIsWaitedForByFullPath)
{
    const std::wstring script = L"C:\\wait.reg";
    ASSERT_TRUE(WriteFileBytes(script, "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\"
                                       "corvaneTools\\wait]\r\n\"a\"=dword:00000007\r\n"));
    EXPECT_TRUE(StartRegEditInView(script, false, true));
    DWORD value = 0;
    EXPECT_TRUE(GetRegDword(HKEY_CURRENT_USER, L"Software\\corvaneTools\\wait", L"a", value));
    EXPECT_EQ(7u, value);
    DeleteKey(HKEY_CURRENT_USER, L"Software\\corvaneTools");
}
