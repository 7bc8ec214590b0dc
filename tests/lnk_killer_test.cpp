// The shortcut hijacker and the .exe association, on the sandbox's registry
// and files.
#include <gtest/gtest.h>

#include <shlobj.h>

#include "killers/lnk_killer.h"
#include "killers/command.h"
#include "killers/scan_log.h"
#include "tests/testing.h"

using namespace testing_util;

namespace {

const wchar_t kMarker[] =
    L"SOFTWARE\\Classes\\lnkfile\\shellex\\ContextMenuHandlers\\{00021401-0000-0000-C000-000000000046}";
const wchar_t kHijack[] = L"lnkfile\\shell\\open\\command";

std::wstring ShellFolder(int csidl)
{
    wchar_t path[MAX_PATH] = {0};
    ::SHGetFolderPathW(NULL, csidl, NULL, 0, path);
    return std::wstring(path) + L"\\";
}

std::wstring SystemDir()
{
    wchar_t path[MAX_PATH] = {0};
    ::GetSystemDirectoryW(path, MAX_PATH);
    return std::wstring(path) + L"\\";
}

class LnkKillerTest : public ::testing::Test
{
protected:
    void SetUp()
    {
        ResetLog();
        RemoveTree(L"C:\\a");
    }
    void TearDown()
    {
        CreateKey(HKEY_LOCAL_MACHINE, kMarker);
        DeleteKey(HKEY_CLASSES_ROOT, L"lnkfile\\shell");
        SetRegText(HKEY_CLASSES_ROOT, L".exe", NULL, L"exefile");
        RemoveTree(L"C:\\a");
    }
    // A hijacked system: the marker gone, lnkfile given an open command.
    void Hijack(const std::wstring& command)
    {
        DeleteKey(HKEY_LOCAL_MACHINE, kMarker);
        ASSERT_TRUE(SetRegText(HKEY_CLASSES_ROOT, kHijack, NULL, command));
        ASSERT_TRUE(SetRegText(HKEY_CLASSES_ROOT, L"lnkfile\\shell\\open\\ddeexec", NULL, L"x"));
    }
    // The header's time has unpadded fields: its length is measured after
    // every reset, or a shorter header cuts the first logged byte.
    void ResetLog()
    {
        ScanLog::Reset(ScanLog::kHeaderFormat);
        m_header = ScanLog::Length();
    }
    std::string Logged() const { return ScanLog::Text().substr(m_header); }
    static std::string Run()
    {
        CKillerForLnkKiller command;
        EXPECT_EQ(0, command.Run(NULL));
        return "";
    }
    int m_header;
};

std::string FileLine(const std::string& path) { return kLogLnkFileDeleted + path + "\r\n"; }
std::string FolderLine(const std::string& path) { return kLogLnkFolderRemoved + path + "\r\n"; }

}  // namespace

TEST(LnkKillerTexts, AreGbkBytesOfTheStatedLengths)
{
    EXPECT_EQ(Hex("C7 E5 B3 FD") + "LNK" + Hex("C1 F7 C3 A5 09"), std::string(kLogLnkFileDeleted));
    EXPECT_EQ(Hex("C7 E5 B3 FD") + "LNK" + Hex("C1 F7 C3 A5 B2 D0 C1 F4 CE C4 BC FE BC D0 09"),
              std::string(kLogLnkFolderRemoved));
    EXPECT_EQ(Hex("C7 E5 B3 FD") + "LNK" + Hex("C1 F7 C3 A5 B2 D0 C1 F4 D7 A2 B2 E1 B1 ED 09") +
                  "HKEY_CLASSES_ROOT\\lnkfile\\shell\\ \r\n",
              std::string(kLogLnkShellRemoved));
}

TEST_F(LnkKillerTest, IntactAssociationMeansNothingIsTouched)
{
    ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kMarker)) << "the baseline has the marker";
    ASSERT_TRUE(SetRegText(HKEY_CLASSES_ROOT, kHijack, NULL, L"C:\\a\\worm.exe"));
    ASSERT_TRUE(SetRegText(HKEY_CLASSES_ROOT, L".exe", NULL, L"txtfile"));
    ::CreateDirectoryW(L"C:\\a", NULL);
    ASSERT_TRUE(WriteFileBytes(L"C:\\a\\worm.exe", "MZ"));
    Run();
    EXPECT_TRUE(FileExists(L"C:\\a\\worm.exe"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kHijack));
    std::wstring exe;
    GetRegText(HKEY_CLASSES_ROOT, L".exe", NULL, exe);
    EXPECT_EQ(L"txtfile", exe) << "not even the .exe association";
    EXPECT_EQ("", Logged());
}

TEST_F(LnkKillerTest, ScriptHostHijackLosesScriptFolderAndShellKey)
{
    ::CreateDirectoryW(L"C:\\a", NULL);
    ::CreateDirectoryW(L"C:\\a\\b", NULL);
    ASSERT_TRUE(WriteFileBytes(L"C:\\a\\b\\worm.vbs", "WScript.Echo 1"));
    ::SetFileAttributesW(L"C:\\a\\b\\worm.vbs", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    Hijack(L"\"" + SystemDir() + L"WScript.exe\" \"C:\\a\\b\\worm.vbs\" \"%1\"");
    Run();
    EXPECT_FALSE(FileExists(L"C:\\a\\b\\worm.vbs"));
    EXPECT_FALSE(FileExists(L"C:\\a\\b"));
    EXPECT_TRUE(FileExists(L"C:\\a"));
    EXPECT_TRUE(FileExists(SystemDir() + L"wscript.exe"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"lnkfile\\shell"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"lnkfile"));
    EXPECT_EQ(FileLine("C:\\a\\b\\worm.vbs") + FolderLine("C:\\a\\b") + kLogLnkShellRemoved, Logged());
}

TEST_F(LnkKillerTest, ProgramHijackTargetsTheProgramAndKeepsAFullFolder)
{
    ::CreateDirectoryW(L"C:\\a", NULL);
    ::CreateDirectoryW(L"C:\\a\\b", NULL);
    ASSERT_TRUE(WriteFileBytes(L"C:\\a\\b\\worm.exe", "MZ"));
    ASSERT_TRUE(WriteFileBytes(L"C:\\a\\b\\keep.txt", "keep"));
    Hijack(L"\"C:\\a\\b\\worm.exe\" \"%1\"");
    Run();
    EXPECT_FALSE(FileExists(L"C:\\a\\b\\worm.exe"));
    EXPECT_TRUE(FileExists(L"C:\\a\\b\\keep.txt"));
    EXPECT_EQ(FileLine("C:\\a\\b\\worm.exe") + kLogLnkShellRemoved, Logged());
}

TEST_F(LnkKillerTest, TheScriptHostAloneIsNeverDeleted)
{
    const std::wstring host = SystemDir() + L"wscript.exe";
    ASSERT_TRUE(FileExists(host));
    Hijack(L"\"" + host + L"\"");
    Run();
    EXPECT_TRUE(FileExists(host));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"lnkfile\\shell"));
    EXPECT_EQ(std::string(kLogLnkShellRemoved), Logged());
}

TEST_F(LnkKillerTest, EmptyOddOrUnreadableCommandsStillLoseTheShellKey)
{
    const std::wstring commands[] = {
        L"", L"worm.exe %1",                        // no backslash: no folder step
        L"C:\\a\\missing.exe", L"C:\\a",            // a missing file, a folder
        L"\"C:\\a\\" + std::wstring(250, L'x') + L".exe\"",  // 260 characters
        L"\"unclosed quote",
    };
    for (size_t i = 0; i < sizeof(commands) / sizeof(commands[0]); ++i)
    {
        ::CreateDirectoryW(L"C:\\a", NULL);
        ASSERT_TRUE(WriteFileBytes(L"C:\\a\\keep.txt", "keep"));
        Hijack(commands[i]);
        ResetLog();
        Run();
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"lnkfile\\shell")) << i;
        EXPECT_TRUE(FileExists(L"C:\\a\\keep.txt")) << i;
        EXPECT_EQ(std::string(kLogLnkShellRemoved), Logged()) << i;
    }
    // A value of the wrong type reads as nothing.
    DeleteKey(HKEY_LOCAL_MACHINE, kMarker);
    const DWORD number = 7;
    ASSERT_TRUE(SetRegValue(HKEY_CLASSES_ROOT, kHijack, NULL, REG_DWORD, &number, sizeof(number)));
    ResetLog();
    Run();
    EXPECT_EQ(std::string(kLogLnkShellRemoved), Logged());
}

TEST_F(LnkKillerTest, AdvertisingShortcutsAreDeletedWhereTheyAre)
{
    const std::wstring desktop = ShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY) + L"淘宝-特卖.url";
    const std::wstring favorite = ShellFolder(CSIDL_FAVORITES) + L"网络赚钱宝典.url";
    const std::wstring other = ShellFolder(CSIDL_FAVORITES) + L"My bank.url";
    ::CreateDirectoryW(ShellFolder(CSIDL_FAVORITES).c_str(), NULL);
    ::CreateDirectoryW(ShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY).c_str(), NULL);
    ASSERT_TRUE(WriteFileBytes(desktop, "[InternetShortcut]"));
    ASSERT_TRUE(WriteFileBytes(favorite, "[InternetShortcut]"));
    ASSERT_TRUE(WriteFileBytes(other, "[InternetShortcut]"));
    ::SetFileAttributesW(favorite.c_str(), FILE_ATTRIBUTE_READONLY);
    Hijack(L"");
    Run();
    EXPECT_FALSE(FileExists(desktop));
    EXPECT_FALSE(FileExists(favorite));
    EXPECT_TRUE(FileExists(other));
    EXPECT_EQ(std::string(kLogLnkShellRemoved) + FileLine(ToLogText(favorite.c_str())) +
                  FileLine(ToLogText(desktop.c_str())),
              Logged());
    ::DeleteFileW(other.c_str());
}

TEST_F(LnkKillerTest, ExeAssociationIsRewrittenUnlessPlainExefile)
{
    std::wstring text;
    DWORD type = 0;
    ASSERT_TRUE(SetRegText(HKEY_CLASSES_ROOT, L".exe", NULL, L"EXEFILE"));
    SetRegText(HKEY_CLASSES_ROOT, L"exefile\\DefaultIcon", NULL, L"worm.ico");
    EXPECT_FALSE(RepairExeAssociation());
    GetRegText(HKEY_CLASSES_ROOT, L"exefile\\DefaultIcon", NULL, text);
    EXPECT_EQ(L"worm.ico", text);

    const std::wstring wrong[] = {L"exefile", L"exefile2", L"txtfile", L""};
    const DWORD types[] = {REG_EXPAND_SZ, REG_SZ, REG_SZ, REG_SZ};
    for (int i = 0; i < 4; ++i)
    {
        ASSERT_TRUE(SetRegText(HKEY_CLASSES_ROOT, L".exe", NULL, wrong[i], types[i]));
        SetRegText(HKEY_CLASSES_ROOT, L"exefile\\shell\\open\\command", NULL, L"worm.exe \"%1\"");
        EXPECT_TRUE(RepairExeAssociation()) << i;
        ASSERT_TRUE(GetRegText(HKEY_CLASSES_ROOT, L".exe", NULL, text, &type));
        EXPECT_EQ(L"exefile", text);
        EXPECT_EQ(DWORD(REG_SZ), type);
        GetRegText(HKEY_CLASSES_ROOT, L"exefile\\shell\\open\\command", NULL, text);
        EXPECT_EQ(L"\"%1\" %*", text);
        GetRegText(HKEY_CLASSES_ROOT, L"exefile\\DefaultIcon", NULL, text);
        EXPECT_EQ(L"%1", text);
    }

    // Missing, or too long for the buffer: not repaired.
    HKEY key = NULL;
    ::RegOpenKeyExW(HKEY_CLASSES_ROOT, L".exe", 0, KEY_ALL_ACCESS, &key);
    ::RegDeleteValueW(key, NULL);
    ::RegCloseKey(key);
    EXPECT_FALSE(RepairExeAssociation());
    EXPECT_FALSE(GetRegText(HKEY_CLASSES_ROOT, L".exe", NULL, text));
    ASSERT_TRUE(SetRegText(HKEY_CLASSES_ROOT, L".exe", NULL, std::wstring(600, L'x')));
    EXPECT_FALSE(RepairExeAssociation());
}

TEST_F(LnkKillerTest, CountersStayZero)
{
    Hijack(L"C:\\a\\b\\worm.exe");
    class CProbe : public CKillerForLnkKiller
    {
    public:
        int Deleted() const { return m_nDeleted; }
        int Repaired() const { return m_nRepaired; }
    } command;
    command.Run(NULL);
    EXPECT_EQ(0, command.Deleted());
    EXPECT_EQ(0, command.Repaired());
}

TEST_F(LnkKillerTest, HijacksThroughSystemProgramsKeepThoseProgramsAndTheirFolders)
{
    // The host program of each hijack (a browser, the HTML application host,
    // rundll32) is the system's own: only the hijack's registry goes.
    const std::wstring system = SystemDir();
    const std::wstring hosts[] = {system + L"mshta.exe", system + L"rundll32.exe"};
    for (int i = 0; i < 2; ++i)
    {
        if (!FileExists(hosts[i]))
        {
            ASSERT_TRUE(WriteFileBytes(hosts[i], TinyImage(4096)));
        }
    }
    const std::wstring commands[] = {
        L"\"" + hosts[0] + L"\" http://x/ \"%1\"",
        L"\"" + hosts[1] + L"\" x.dll,E \"%1\"",
    };
    for (int i = 0; i < 2; ++i)
    {
        ResetLog();
        m_header = ScanLog::Length();
        Hijack(commands[i]);
        Run();
        EXPECT_TRUE(FileExists(hosts[i])) << i;
        EXPECT_TRUE(FileExists(system)) << i;
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"lnkfile\\shell")) << "the hijack is still repaired";
        EXPECT_EQ(std::string(kLogLnkShellRemoved), Logged()) << i;
    }
}

TEST_F(LnkKillerTest, AScriptInTheSystemFolderGoesTheFolderStays)
{
    const std::wstring script = SystemDir() + L"lnkrun.vbs";
    ASSERT_TRUE(WriteFileBytes(script, "WScript.Echo 1"));
    Hijack(L"\"" + SystemDir() + L"wscript.exe\" \"" + script + L"\" \"%1\"");
    Run();
    EXPECT_FALSE(FileExists(script));
    EXPECT_TRUE(FileExists(SystemDir() + L"wscript.exe"));
    std::string path = ToLogText(script.c_str());
    EXPECT_EQ(FileLine(path) + kLogLnkShellRemoved, Logged());
}

TEST_F(LnkKillerTest, RelativeTargetsAndEmptiedShellFoldersStay)
{
    // Relative: resolved against whatever folder is current, so never deleted.
    ::CreateDirectoryW(L"C:\\a", NULL);
    ASSERT_TRUE(WriteFileBytes(L"C:\\a\\rel.exe", "MZ"));
    wchar_t current[MAX_PATH] = {0};
    ::GetCurrentDirectoryW(MAX_PATH, current);
    ::SetCurrentDirectoryW(L"C:\\a");
    Hijack(L"rel.exe \"%1\"");
    Run();
    ::SetCurrentDirectoryW(current);
    EXPECT_TRUE(FileExists(L"C:\\a\\rel.exe"));
    EXPECT_EQ(std::string(kLogLnkShellRemoved), Logged());

    // A program alone in the user's Favorites folder goes; the emptied shell
    // folder does not. (Not the Templates folder: Wine makes that a link to
    // the Unix home, and nothing is deleted through a link.)
    const std::wstring favorites = ShellFolder(CSIDL_FAVORITES);
    ASSERT_TRUE(favorites.size() > 1 && FileExists(favorites.substr(0, favorites.size() - 1)));
    ASSERT_TRUE(WriteFileBytes(favorites + L"hijack.exe", "MZ"));
    ResetLog();
    m_header = ScanLog::Length();
    Hijack(L"\"" + favorites + L"hijack.exe\" \"%1\"");
    Run();
    EXPECT_FALSE(FileExists(favorites + L"hijack.exe"));
    EXPECT_TRUE(FileExists(favorites.substr(0, favorites.size() - 1)));
    EXPECT_EQ(FileLine(ToLogText((favorites + L"hijack.exe").c_str())) + kLogLnkShellRemoved, Logged());
}
