// Registry helpers and registry scripts on the sandbox's real registry.
#include <gtest/gtest.h>

#include "killers/reg_script.h"
#include "platform/file_helpers.h"
#include "platform/registry.h"
#include "platform/target_probe.h"
#include "tests/testing.h"

using namespace testing_util;

namespace {

const wchar_t kTestKey[] = L"Software\\StickMedicTest";

class RegistryTest : public ::testing::Test
{
protected:
    void SetUp()
    {
        DeleteRegKeyTree(HKEY_CURRENT_USER, kTestKey);
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, kTestKey, 0, NULL, 0, KEY_ALL_ACCESS,
                                                   NULL, &m_key, NULL));
    }
    void TearDown()
    {
        ::RegCloseKey(m_key);
        DeleteRegKeyTree(HKEY_CURRENT_USER, kTestKey);
    }
    void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes)
    {
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(m_key, name, 0, type, static_cast<const BYTE*>(data), bytes));
    }
    void SetText(const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ)
    {
        SetRaw(name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    HKEY m_key;
};

std::wstring WindowsDir()
{
    std::wstring dir;
    EXPECT_TRUE(GetWindowsDirSlash(dir));
    return dir;
}

std::wstring SystemDir()
{
    std::wstring dir;
    EXPECT_TRUE(GetSystemDirSlash(dir));
    return dir;
}

}  // namespace

TEST_F(RegistryTest, ReadsTextValuesWithTheirTerminator)
{
    SetText(L"plain", L"explorer.exe");
    SetText(L"expand", L"%SystemRoot%\\x.exe", REG_EXPAND_SZ);
    SetText(L"", L"default");
    SetRaw(L"empty", REG_SZ, "", 0);

    wchar_t buffer[512];
    DWORD count = 99;
    EXPECT_EQ(0, ReadRegText(m_key, L"plain", buffer, 512, &count));
    EXPECT_EQ(13u, count);
    EXPECT_STREQ(L"explorer.exe", buffer);
    EXPECT_EQ(0, ReadRegText(m_key, L"expand", buffer, 512, &count));
    EXPECT_STREQ(L"%SystemRoot%\\x.exe", buffer) << "not expanded";
    EXPECT_EQ(0, ReadRegText(m_key, L"", buffer, 512, &count));
    EXPECT_STREQ(L"default", buffer);
    EXPECT_EQ(0, ReadRegText(m_key, L"empty", buffer, 512, &count));
    EXPECT_EQ(0u, count);
    EXPECT_STREQ(L"", buffer);
}

TEST_F(RegistryTest, RefusesWhatIsNotCleanText)
{
    const DWORD number = 1;
    SetRaw(L"dword", REG_DWORD, &number, sizeof(number));
    SetRaw(L"multi", REG_MULTI_SZ, L"a\0b\0", 10);
    SetRaw(L"binary", REG_BINARY, "abcd", 4);
    SetRaw(L"odd", REG_SZ, L"abc", 5);
    // (Set with a character behind it: the registry adds a terminator that
    // the caller forgot only when a NUL follows the data.)
    SetRaw(L"unterminated", REG_SZ, L"abcdX", 8);
    SetText(L"long", std::wstring(600, L'x'));
    SetText(L"fits", std::wstring(511, L'y'));

    wchar_t buffer[512];
    const wchar_t* const invalid[] = {L"dword", L"multi", L"binary", L"odd", L"unterminated"};
    for (size_t i = 0; i < sizeof(invalid) / sizeof(invalid[0]); ++i)
    {
        lstrcpyW(buffer, L"untouched");
        DWORD count = 99;
        EXPECT_EQ(ERROR_INVALID_DATA, ReadRegText(m_key, invalid[i], buffer, 512, &count)) << invalid[i];
        EXPECT_EQ(0u, count) << invalid[i];
        EXPECT_STREQ(L"untouched", buffer) << invalid[i];
    }
    DWORD count = 99;
    lstrcpyW(buffer, L"untouched");
    EXPECT_EQ(ERROR_MORE_DATA, ReadRegText(m_key, L"long", buffer, 512, &count));
    EXPECT_EQ(0u, count);
    EXPECT_STREQ(L"untouched", buffer);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadRegText(m_key, L"missing", buffer, 512, &count));
    EXPECT_EQ(0, ReadRegText(m_key, L"fits", buffer, 512, &count));
    EXPECT_EQ(512u, count);
}

TEST_F(RegistryTest, DeletesAKeyTreeThreeLevelsDeep)
{
    HKEY deep = NULL;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(m_key, L"a\\b\\c", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &deep, NULL));
    SetText(L"top", L"1");
    ::RegSetValueExW(deep, L"v", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"x"), 4);
    ::RegCloseKey(deep);
    HKEY sibling = NULL;
    ::RegCreateKeyExW(m_key, L"a\\b2", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &sibling, NULL);
    ::RegCloseKey(sibling);

    EXPECT_EQ(0, DeleteRegKeyTree(m_key, L"a"));
    CRegKey probe;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, probe.Open(m_key, L"a"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, DeleteRegKeyTree(m_key, L"a"));
    // The parent and its own values stay.
    wchar_t buffer[512];
    DWORD count = 0;
    EXPECT_EQ(0, ReadRegText(m_key, L"top", buffer, 512, &count));
}

TEST(Directories, EndWithOneBackslash)
{
    wchar_t raw[MAX_PATH];
    ::GetWindowsDirectoryW(raw, MAX_PATH);
    EXPECT_EQ(std::wstring(raw) + L"\\", WindowsDir());
    ::GetSystemDirectoryW(raw, MAX_PATH);
    EXPECT_EQ(std::wstring(raw) + L"\\", SystemDir());
    ASSERT_TRUE(::SetCurrentDirectoryW(L"C:\\"));
    std::wstring current;
    EXPECT_TRUE(GetCurrentDirSlash(current));
    EXPECT_EQ(L"C:\\", current);
    ::CreateDirectoryW(L"C:\\cwd", NULL);
    ASSERT_TRUE(::SetCurrentDirectoryW(L"C:\\cwd"));
    EXPECT_TRUE(GetCurrentDirSlash(current));
    EXPECT_EQ(L"C:\\cwd\\", current);
    ::SetCurrentDirectoryW(L"C:\\");
    ::RemoveDirectoryW(L"C:\\cwd");
}

TEST(CommandTargets, FullPathsAreTakenAsTheyAre)
{
    const std::wstring notepad = WindowsDir() + L"notepad.exe";
    ASSERT_TRUE(FileExists(notepad));
    EXPECT_TRUE(CheckCommandTargets((notepad + L" %1").c_str(), NULL));
    // A full path to a missing file is invalid whatever the other places hold.
    ASSERT_TRUE(WriteFileBytes(L"C:\\gone.exe", "x"));
    EXPECT_TRUE(CheckCommandTargets(L"C:\\gone.exe %1", NULL));
    ::DeleteFileW(L"C:\\gone.exe");
    ::SetCurrentDirectoryW(WindowsDir().c_str());
    EXPECT_FALSE(CheckCommandTargets(L"C:\\nowhere\\notepad.exe %1", NULL));
    // Folders do not open; a folder name without a dot is never probed.
    ASSERT_TRUE(::CreateDirectoryW(L"C:\\folder.exe", NULL));
    EXPECT_FALSE(CheckCommandTargets(L"C:\\folder.exe", NULL));
    EXPECT_FALSE(CheckCommandTargets(L"\"C:\\folder.exe\" /x", NULL));
    EXPECT_FALSE(ProbeTargetFile(L"folder.exe", L"C:\\"));
    ::RemoveDirectoryW(L"C:\\folder.exe");
    EXPECT_TRUE(CheckCommandTargets((L"\"" + WindowsDir() + L"system32\" /x").c_str(), NULL));
}

TEST(CommandTargets, SystemRootAndTheThreePlaces)
{
    EXPECT_TRUE(ProbeTargetFile(L"%systemroot%\\regedit.exe", NULL));
    EXPECT_TRUE(CheckCommandTargets(L"%SystemRoot%\\Explorer.exe /idlist,%I,%L", NULL));
    EXPECT_FALSE(CheckCommandTargets(L"%SystemRoot%\\system32\\nothere.exe", NULL));
    // Relative names: base directory, Windows directory, system directory.
    EXPECT_TRUE(CheckCommandTargets(L"notepad.exe %1", NULL));
    EXPECT_TRUE(CheckCommandTargets(L"explorer.exe", L"E:\\"));
    EXPECT_TRUE(CheckCommandTargets(L"regedit.exe", L"E:\\"));
    EXPECT_TRUE(ProbeTargetFile(L"cmd.exe", L"E:\\"));
    EXPECT_FALSE(CheckCommandTargets(L"worm.exe", L"E:\\"));
    ASSERT_TRUE(WriteFileBytes(L"E:\\worm.exe", "MZ"));
    EXPECT_TRUE(CheckCommandTargets(L"worm.exe", L"E:\\"));
    EXPECT_FALSE(CheckCommandTargets(L"worm.exe", L"C:\\")) << "only the base directory holds it";
    ::DeleteFileW(L"E:\\worm.exe");
}

TEST(CommandTargets, TokensWithoutADotAreNeverProbedAndAllDottedOnesAre)
{
    EXPECT_TRUE(CheckCommandTargets(L"\"%1\" %*", NULL));
    EXPECT_TRUE(CheckCommandTargets(L"", NULL));
    EXPECT_TRUE(CheckCommandTargets(NULL, NULL));
    EXPECT_TRUE(CheckCommandTargets(L"rundll32 /idlist,%I,%L", NULL));
    // One good and one missing dotted token: invalid.
    EXPECT_FALSE(CheckCommandTargets(L"notepad.exe missing.txt", NULL));
    EXPECT_FALSE(CheckCommandTargets(L"missing.vbs notepad.exe", NULL));
    // A 260-character token.
    EXPECT_FALSE(CheckCommandTargets((L"C:\\" + std::wstring(252, L'a') + L".exe").c_str(), NULL));
}

namespace {

std::vector<std::wstring> g_probed;
void RecordProbe(const wchar_t* path) { g_probed.push_back(path); }

}  // namespace

TEST(CommandTargets, OtherMachinesAndDevicesAreNeverOpened)
{
    // Opening would connect to the host (with the user's credentials) or let
    // a pipe's server act as this program: the caller says what they mean.
    const wchar_t* const remote[] = {
        L"\\\\127.0.0.1\\x\\a.exe", L"//127.0.0.1/x/a.exe", L"\\\\?\\UNC\\127.0.0.1\\x\\a.exe",
        L"\\\\.\\pipe\\worm.pipe",  L"\\\\?\\pipe\\x.y",
        L"\\??\\UNC\\127.0.0.1\\s\\a:\\b.exe", L"\\\\?\\GLOBALROOT\\Device\\Mup\\127.0.0.1\\s\\a.exe",
    };
    g_probed.clear();
    SetFileOpenHook(RecordProbe);
    for (size_t i = 0; i < sizeof(remote) / sizeof(remote[0]); ++i)
    {
        EXPECT_TRUE(ProbeTargetFile(remote[i], NULL)) << i;
        EXPECT_TRUE(CheckCommandTargets((std::wstring(L"\"") + remote[i] + L"\" %1").c_str(), NULL)) << i;
        EXPECT_FALSE(ProbeTargetFile(remote[i], L"E:\\", kRemoteIsMissing)) << i;
        EXPECT_FALSE(CheckCommandTargets(remote[i], L"E:\\", kRemoteIsMissing)) << i;
    }
    // The long form of a local path is local, and is opened.
    EXPECT_TRUE(ProbeTargetFile((L"\\\\?\\" + WindowsDir() + L"notepad.exe").c_str(), NULL, kRemoteIsMissing));
    SetFileOpenHook(NULL);
    ASSERT_EQ(1u, g_probed.size());
    EXPECT_EQ(L"\\\\?\\" + WindowsDir() + L"notepad.exe", g_probed[0]);
}

TEST(RegistryScripts, ExtractedByteForByte)
{
    const std::wstring lnkfix = L"C:\\LNKFIX.REG";
    const std::wstring fix = L"C:\\fix.reg";
    ASSERT_TRUE(WriteFileBytes(fix, std::string(5000, 'o')));  // replaced, not appended to
    EXPECT_TRUE(ExtractBinResource(kLnkFixScriptId, lnkfix.c_str()));
    EXPECT_TRUE(ExtractBinResource(kFixRegScriptId, fix.c_str()));
    const std::string a = ReadFileBytes(lnkfix);
    const std::string b = ReadFileBytes(fix);
    ASSERT_EQ(1593u, a.size());
    ASSERT_EQ(1237u, b.size());
    const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n";
    EXPECT_EQ(header, a.substr(0, header.size()));
    EXPECT_EQ(header, b.substr(0, header.size()));
    // GBK "快捷方式", no byte-order mark, and 209 ends without an empty line.
    EXPECT_NE(std::string::npos, a.find("@=\"" + Hex("BF EC BD DD B7 BD CA BD") + "\"\r\n\r\n"));
    EXPECT_EQ("\"{513D916F-2A8E-4F51-AEAB-0CBC76FB1AF8}\"\r\n", a.substr(a.size() - 42));
    // 211: RegPath and Text of NOHIDDEN follow each other directly, and only there.
    EXPECT_NE(std::string::npos, b.find("Advanced\"\r\n\"Text\"=\"@shell32.dll,-30501\""));
    EXPECT_EQ(std::string::npos, b.find("Advanced\"\r\n\"Text\"=\"@shell32.dll,-30500\""));
    EXPECT_NE(std::string::npos, b.find("2c,00,34,00,00,\\\r\n  00\r\n\r\n"));
    const std::string last = "\r\n\"HelpID\"=\"shell.hlp#51105\"\r\n\r\n";
    EXPECT_EQ(last, b.substr(b.size() - last.size()));
    // A resource that does not exist, or a path that cannot be made: true, no file.
    EXPECT_TRUE(ExtractBinResource(210, L"C:\\none.reg"));
    EXPECT_FALSE(FileExists(L"C:\\none.reg"));
    EXPECT_TRUE(ExtractBinResource(kFixRegScriptId, L"C:\\no\\such\\folder\\fix.reg"));
    ::DeleteFileW(lnkfix.c_str());
    ::DeleteFileW(fix.c_str());
}

namespace {

// Waits until the registry editor, started without waiting, has written.
bool WaitForValue(HKEY root, const wchar_t* path, const wchar_t* name, std::wstring& text)
{
    for (int i = 0; i < 300; ++i)
    {
        CRegKey key;
        wchar_t buffer[512];
        DWORD count = 0;
        if (key.Open(root, path, KEY_READ) == 0 && ReadRegText(key, name, buffer, 512, &count) == 0 && count)
        {
            text = buffer;
            return true;
        }
        ::Sleep(50);
    }
    return false;
}

}  // namespace

TEST(RegistryScripts, TheRegistryEditorImportsBoth)
{
    DeleteRegKeyTree(HKEY_CLASSES_ROOT, L"lnkfile");
    DeleteRegKeyTree(HKEY_LOCAL_MACHINE,
                     L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden");
    EXPECT_TRUE(ImportScriptResource(kLnkFixScriptId));
    EXPECT_TRUE(ImportScriptResource(kFixRegScriptId));
    EXPECT_FALSE(ImportScriptResource(210));

    std::wstring text;
    ASSERT_TRUE(WaitForValue(HKEY_CLASSES_ROOT, L"lnkfile", L"", text));
    EXPECT_EQ(L"快捷方式", text);
    ASSERT_TRUE(WaitForValue(HKEY_CLASSES_ROOT, L"lnkfile\\shellex\\PropertySheetHandlers\\ShimLayer Property Page",
                             L"", text));
    EXPECT_EQ(L"{513D916F-2A8E-4F51-AEAB-0CBC76FB1AF8}", text);
    ASSERT_TRUE(WaitForValue(HKEY_CLASSES_ROOT, L".lnk\\ShellNew", L"Command", text));
    EXPECT_EQ(L"rundll32.exe appwiz.cpl,NewLinkHere %1", text);
    CRegKey lnkfile;
    ASSERT_EQ(0, lnkfile.Open(HKEY_CLASSES_ROOT, L"lnkfile", KEY_READ));
    DWORD type = 0, data = 0, bytes = sizeof(data);
    EXPECT_EQ(0, ::RegQueryValueExW(lnkfile, L"EditFlags", NULL, &type, reinterpret_cast<BYTE*>(&data), &bytes));
    EXPECT_EQ(DWORD(REG_DWORD), type);
    EXPECT_EQ(1u, data);
    wchar_t buffer[512];
    DWORD count = 0;
    EXPECT_EQ(0, ReadRegText(lnkfile, L"IsShortcut", buffer, 512, &count));

    const wchar_t hidden[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden";
    ASSERT_TRUE(WaitForValue(HKEY_LOCAL_MACHINE, (std::wstring(hidden) + L"\\SHOWALL").c_str(), L"HelpID", text));
    EXPECT_EQ(L"shell.hlp#51105", text);
    ASSERT_TRUE(WaitForValue(HKEY_LOCAL_MACHINE, (std::wstring(hidden) + L"\\NOHIDDEN").c_str(), L"RegPath", text));
    EXPECT_EQ(L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced", text);
    ASSERT_TRUE(WaitForValue(HKEY_LOCAL_MACHINE, (std::wstring(hidden) + L"\\NOHIDDEN").c_str(), L"Text", text));
    EXPECT_EQ(L"@shell32.dll,-30501", text);
    CRegKey nohidden;
    ASSERT_EQ(0, nohidden.Open(HKEY_LOCAL_MACHINE, (std::wstring(hidden) + L"\\NOHIDDEN").c_str(), KEY_READ));
    bytes = sizeof(data);
    EXPECT_EQ(0, ::RegQueryValueExW(nohidden, L"HKeyRoot", NULL, &type, reinterpret_cast<BYTE*>(&data), &bytes));
    EXPECT_EQ(0x80000001u, data);
    CRegKey folder;
    ASSERT_EQ(0, folder.Open(HKEY_LOCAL_MACHINE, hidden, KEY_READ));
    // Wine's regedit reads hex(2) data of a script without byte-order mark
    // as ANSI bytes, so the value holds only "%" here; Windows' regedit takes
    // the UTF-16 bytes of a version 5.00 script as they are.
    EXPECT_EQ(0, ReadRegText(folder, L"Bitmap", buffer, 512, &count));
    EXPECT_EQ(L'%', buffer[0]);
    bytes = sizeof(buffer);
    EXPECT_EQ(0, ::RegQueryValueExW(folder, L"Bitmap", NULL, &type, reinterpret_cast<BYTE*>(buffer), &bytes));
    EXPECT_EQ(DWORD(REG_EXPAND_SZ), type);
}

TEST(RegistryKeys, ALinkInTheUsersHiveIsNotFollowedToAMachineKey)
{
    const std::wstring target = L"SOFTWARE\\StickMedicLinked";
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, target + L"\\Shell", L"v", L"machine"));
    const std::wstring user = L"Software\\StickMedicTest";
    ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, user));
    ASSERT_TRUE(CreateRegistryLink(HKEY_CURRENT_USER, user + L"\\link", L"\\REGISTRY\\MACHINE\\" + target));
    // The planted state: the plain open follows the link into the machine key.
    std::wstring through;
    ASSERT_TRUE(GetRegText(HKEY_CURRENT_USER, user + L"\\link\\Shell", L"v", through));
    ASSERT_EQ(L"machine", through);

    CRegKey key;
    EXPECT_EQ(ERROR_ACCESS_DENIED, key.Open(HKEY_CURRENT_USER, (user + L"\\link").c_str()));
    EXPECT_EQ(ERROR_ACCESS_DENIED, key.Open(HKEY_CURRENT_USER, (user + L"\\link\\Shell").c_str())) << "a link on the way";
    EXPECT_FALSE(key.IsOpen());
    // Keys that are no links open as before, a machine key's own links too.
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, user + L"\\plain\\deeper", L"v", L"x"));
    EXPECT_EQ(ERROR_SUCCESS, key.Open(HKEY_CURRENT_USER, (user + L"\\plain\\deeper").c_str()));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.Open(HKEY_CURRENT_USER, (user + L"\\plain\\missing").c_str()));
    EXPECT_EQ(ERROR_SUCCESS, key.Open(HKEY_LOCAL_MACHINE, (target + L"\\Shell").c_str()));
    key.Close();
    DeleteRegKeyTree(HKEY_CURRENT_USER, user.c_str());
    DeleteKey(HKEY_LOCAL_MACHINE, target);
}

TEST(RegistryKeys, ARunOpensFromTheLevelsItCheckedAndNeverThroughALinkPlantedSince)
{
    const std::wstring target = L"SOFTWARE\\StickMedicLinked";
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, target + L"\\deeper", L"v", L"machine"));
    const std::wstring user = L"Software\\StickMedicTest";
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, user + L"\\level\\deeper", L"v", L"user"));
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, user + L"\\other", L"v", L"other"));
    {
        const CUserKeyMemo run;
        CRegKey key;
        std::wstring text;
        ASSERT_EQ(ERROR_SUCCESS, key.Open(HKEY_CURRENT_USER, (user + L"\\level\\deeper").c_str(), KEY_READ));
        EXPECT_TRUE(ReadRegString(key, L"v", text));
        EXPECT_EQ(L"user", text);
        key.Close();
        // Another key below the kept levels; a path in another case walks
        // from the hive.
        ASSERT_EQ(ERROR_SUCCESS, key.Open(HKEY_CURRENT_USER, L"SOFTWARE\\stickmedictest\\other", KEY_READ));
        EXPECT_TRUE(ReadRegString(key, L"v", text));
        EXPECT_EQ(L"other", text);
        key.Close();
        // A kept level goes, and a link to a machine key takes its name: the
        // open is made again from the hive, and refused.
        DeleteRegKeyTree(HKEY_CURRENT_USER, (user + L"\\level").c_str());
        ASSERT_TRUE(CreateRegistryLink(HKEY_CURRENT_USER, user + L"\\level", L"\\REGISTRY\\MACHINE\\" + target));
        EXPECT_EQ(ERROR_ACCESS_DENIED, key.Open(HKEY_CURRENT_USER, (user + L"\\level\\deeper").c_str(), KEY_READ));
        EXPECT_FALSE(key.IsOpen());
    }
    DeleteRegKeyTree(HKEY_CURRENT_USER, user.c_str());
    DeleteKey(HKEY_LOCAL_MACHINE, target);
}
