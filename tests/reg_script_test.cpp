// The registry editor only ever imports the program's own copy of a script,
// written into its protected folder, and is started by its full path.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "killers/reg_fx.h"
#include "killers/reg_script.h"
#include "killers/scan_log.h"
#include "platform/reg_views.h"
#include "platform/registry.h"
#include "tests/testing.h"
#include "undo/change_gate.h"
#include "undo/program_folder.h"

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

std::wstring Repeated(const std::wstring& text, int times)
{
    std::wstring all;
    for (int i = 0; i < times; ++i)
        all += text;
    return all;
}

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

    // One import per registry view.
    const int views = static_cast<int>(SystemRegViews().count);
    const std::wstring copy = GetProgramFolderPath() + L"lnkfix.reg";
    EXPECT_EQ(views, recorder.m_imports);
    EXPECT_EQ(copy, recorder.m_script);
    EXPECT_EQ(Repeated(L"HKEY_CLASSES_ROOT\\.lnk|HKEY_CLASSES_ROOT\\lnkfile|", views), recorder.m_keys);
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

TEST(ScriptImport, TheUsersFixRegGoesOnlyIntoAPlainLocalApplicationDataFolder)
{
    // The folder comes from the user's own registry, which the user may
    // point anywhere.
    const wchar_t kShellFolders[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    std::wstring saved;
    DWORD type = REG_EXPAND_SZ;
    ASSERT_TRUE(GetRegText(HKEY_CURRENT_USER, kShellFolders, L"AppData", saved, &type));
    wchar_t windows[MAX_PATH] = {0};
    ASSERT_NE(0u, ::GetSystemWindowsDirectoryW(windows, MAX_PATH));
    const std::wstring windir(windows);
    const std::wstring refused[] = {
        windir, windir + L"\\system32", L"\\\\host\\share\\appdata", L"E:\\", L"C:\\no-such-folder",
    };
    for (size_t i = 0; i < sizeof(refused) / sizeof(refused[0]); ++i)
    {
        ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kShellFolders, L"AppData", refused[i], REG_EXPAND_SZ));
        EXPECT_EQ(L"", GetFixRegPath()) << refused[i].c_str();
    }
    ASSERT_TRUE(::CreateDirectoryW(L"C:\\user-appdata", NULL) || ::GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kShellFolders, L"AppData", L"C:\\user-appdata", REG_EXPAND_SZ));
    EXPECT_EQ(0, ::lstrcmpiW(L"C:\\user-appdata\\fix.reg", GetFixRegPath().c_str())) << GetFixRegPath().c_str();
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kShellFolders, L"AppData", saved, type));
    ::RemoveDirectoryW(L"C:\\user-appdata");
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
    const int views = static_cast<int>(SystemRegViews().count);
    EXPECT_EQ(copy, recorder.m_script);
    EXPECT_EQ(Repeated(std::wstring(L"HKEY_LOCAL_MACHINE\\") + hidden + L"|", views), recorder.m_keys);
    EXPECT_EQ(ScriptBytes(kFixRegScriptId), ReadFileBytes(copy));
    // Back whole in every view by the time the import returns: a check (or
    // the next scan) right after it never meets the tree half written.
    const RegViewList all = SystemRegViews();
    for (size_t v = 0; v < all.count; ++v)
    {
        CRegKey key;
        DWORD value = 0;
        DWORD bytes = sizeof(value);
        ASSERT_EQ(ERROR_SUCCESS, key.Open(HKEY_LOCAL_MACHINE, (std::wstring(hidden) + L"\\NOHIDDEN").c_str(),
                                          KEY_READ | all.flags[v])) << v;
        EXPECT_EQ(ERROR_SUCCESS, ::RegQueryValueExW(key, L"CheckedValue", NULL, NULL,
                                                    reinterpret_cast<BYTE*>(&value), &bytes)) << v;
        EXPECT_EQ(2u, value) << v;
    }

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
    EXPECT_EQ(2 * views, recorder.m_imports);
    EXPECT_EQ(2 * views, recorder.m_made);
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

namespace {

// Sets TMP and TEMP (which the system's temporary folder comes from) for the
// scope, and back.
class CTempFolderAs
{
public:
    explicit CTempFolderAs(const wchar_t* folder)
    {
        for (int i = 0; i < 2; ++i)
        {
            wchar_t value[MAX_PATH] = {0};
            m_had[i] = ::GetEnvironmentVariableW(Name(i), value, MAX_PATH) != 0;
            m_saved[i] = value;
            ::SetEnvironmentVariableW(Name(i), folder);
        }
    }
    ~CTempFolderAs()
    {
        for (int i = 0; i < 2; ++i)
            ::SetEnvironmentVariableW(Name(i), m_had[i] ? m_saved[i].c_str() : NULL);
    }

private:
    static const wchar_t* Name(int i) { return i ? L"TEMP" : L"TMP"; }
    bool m_had[2];
    std::wstring m_saved[2];
};

}  // namespace

TEST(ScriptImport, TheUsersCopyGoesOnlyIntoAPlainLocalTemporaryFolder)
{
    ASSERT_TRUE(::CreateDirectoryW(L"C:\\user-temp", NULL) || ::GetLastError() == ERROR_ALREADY_EXISTS);
    {
        CTempFolderAs temp(L"C:\\user-temp");
        EXPECT_EQ(L"C:\\user-temp\\LNKFIX.REG", GetLnkFixTempPath());
    }
    {
        CTempFolderAs temp(L"c:\\user-temp\\");
        EXPECT_EQ(0, ::lstrcmpiW(L"C:\\user-temp\\LNKFIX.REG", GetLnkFixTempPath().c_str()));
    }
    ::RemoveDirectoryW(L"C:\\user-temp");

    // The Windows folder and below it (also when written in a roundabout
    // way), another machine, a device, the stick, a folder that is not there.
    wchar_t windows[MAX_PATH] = {0};
    ASSERT_NE(0u, ::GetSystemWindowsDirectoryW(windows, MAX_PATH));
    const std::wstring windir(windows);
    const std::wstring refused[] = {
        windir,
        windir + L"\\system32",
        windir + L"\\system32\\..\\..\\" + windir.substr(3) + L"\\Temp",
        L"\\\\host\\share\\temp",
        L"\\\\?\\UNC\\host\\share\\temp",
        L"\\\\.\\pipe\\temp",
        L"E:\\",
        L"C:\\no-such-folder",
    };
    for (size_t i = 0; i < sizeof(refused) / sizeof(refused[0]); ++i)
    {
        CTempFolderAs temp(refused[i].c_str());
        EXPECT_EQ(L"", GetLnkFixTempPath()) << i;
    }

    // The import still runs; the script of the system's folder stays as it was.
    const std::wstring planted = windir + L"\\system32\\LNKFIX.REG";
    ASSERT_TRUE(WriteFileBytes(planted, "the system's own"));
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, std::wstring(kFileExts) + L"\\UserChoice", L"Progid", L"wormfile"));
    DeleteKey(HKEY_CLASSES_ROOT, L"lnkfile");
    {
        CTempFolderAs temp((windir + L"\\system32").c_str());
        ScanLog::Reset(ScanLog::kHeaderFormat);
        RepairAssociations();
    }
    EXPECT_TRUE(WaitForKey(HKEY_CLASSES_ROOT, kShim));
    EXPECT_EQ("the system's own", ReadFileBytes(planted));
    ::DeleteFileW(planted.c_str());
}
