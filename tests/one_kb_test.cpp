// The script worm's registry traces and drive files, in the sandbox.
#include <gtest/gtest.h>

#include <shlobj.h>

#include "killers/one_kb.h"
#include "killers/scan_log.h"
#include "platform/file_helpers.h"
#include "platform/registry.h"
#include "tests/testing.h"
#include "undo/change_gate.h"
#include "undo/quarantine.h"

using namespace testing_util;

namespace {

const wchar_t kWindows[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
const wchar_t kTxt[] = L"SOFTWARE\\Classes\\txtfile\\shell\\open\\command";
const wchar_t kReg[] = L"SOFTWARE\\Classes\\regfile\\shell\\open\\command";
const wchar_t kNohidden[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\NOHIDDEN";
const wchar_t kShowall[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\SHOWALL";
const wchar_t kPolicies[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
const wchar_t kMyComputer[] = L"SOFTWARE\\Classes\\CLSID\\{20D04FE0-3AEA-1069-A2D8-08002B30309D}";
const wchar_t kMountPoints[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2";
const wchar_t kMountPoint[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2\\{ca5dc9df-c6e5-11dd-8b20-806d6172696f}";

std::wstring WinDir()
{
    wchar_t path[MAX_PATH] = {0};
    ::GetWindowsDirectoryW(path, MAX_PATH);
    return std::wstring(path) + L"\\";
}

// Says "stop" from its n-th question on.
class CStopAfter : public ICommunication
{
public:
    explicit CStopAfter(int n) : m_nLeft(n) {}
    virtual bool IsStopRequested() { return --m_nLeft < 0; }
    int m_nLeft;
};

class OneKbTest : public ::testing::Test
{
protected:
    void SetUp()
    {
        ScanLog::Reset(ScanLog::kHeaderFormat);
        m_header = ScanLog::Length();
        m_txt.clear();
        GetRegText(HKEY_LOCAL_MACHINE, kTxt, NULL, m_txt);
        EmptyRoots();
    }
    void TearDown()
    {
        SetRegText(HKEY_LOCAL_MACHINE, kTxt, NULL, m_txt);
        SetRegText(HKEY_CURRENT_USER, kWindows, L"load", L"");
        SetRegText(HKEY_LOCAL_MACHINE, kReg, NULL, L"regedit.exe \"%1\"");
        SetRegDword(HKEY_LOCAL_MACHINE, kNohidden, L"CheckedValue", 2);
        SetRegDword(HKEY_LOCAL_MACHINE, kShowall, L"CheckedValue", 1);
        EmptyRoots();
    }
    static void EmptyRoots()
    {
        const wchar_t* const roots[] = {L"E:\\"};
        for (int r = 0; r < 1; ++r)
        {
            std::vector<DirEntry> entries;
            ListFolder(std::wstring(roots[r]) + L"*", entries);
            for (size_t i = 0; i < entries.size(); ++i)
                RemoveTree(roots[r] + entries[i].name);
        }
        const wchar_t* const onC[] = {L"C:\\Autorun.inf", L"C:\\worm.vbs", L"C:\\victim.vbs", L"C:\\Photos",
                                      L"C:\\Photos.lnk"};
        for (size_t i = 0; i < sizeof(onC) / sizeof(onC[0]); ++i)
        {
            ::SetFileAttributesW(onC[i], FILE_ATTRIBUTE_NORMAL);
            RemoveTree(onC[i]);
        }
    }
    std::string Logged() const { return ScanLog::Text().substr(m_header); }
    int m_header;
    std::wstring m_txt;
};

std::string DelLine(const char* path) { return std::string("del file ") + path + "\r\n"; }

}  // namespace

TEST(ScriptTest, StreamsOfVbsScriptsOnly)
{
    std::wstring name;
    EXPECT_TRUE(PassesScriptTest(L"C:\\WINDOWS\\explorer.exe:worm.vbs", &name));
    EXPECT_EQ(L"worm.vbs", name);
    EXPECT_TRUE(PassesScriptTest(L"wscript.exe C:\\WINDOWS\\explorer.exe:worm.vbs\" %1", &name));
    EXPECT_EQ(L"worm.vbs\" %1", name);
    EXPECT_FALSE(PassesScriptTest(L"C:\\scripts\\start.vbs", &name)) << "a plain path";
    EXPECT_FALSE(PassesScriptTest(L"C:\\WINDOWS\\explorer.exe:worm.js", &name));
    EXPECT_FALSE(PassesScriptTest(L"worm.vbs", &name));
    EXPECT_TRUE(PassesScriptTest(L"explorer.exe:a.VBS", &name)) << "no drive: the whole text";
    EXPECT_EQ(L"a.VBS", name);
    EXPECT_TRUE(PassesScriptTest(L"\"C:\\x.exe:worm.vbs\"", &name));
    EXPECT_EQ(L"worm.vbs\"", name);
}

TEST_F(OneKbTest, LoadValueGivesTheNameAndIsEmptied)
{
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kWindows, L"load", L"C:\\WINDOWS\\explorer.exe:worm.vbs"));
    CKillerForOneKB command;
    command.SweepRegistry();
    EXPECT_EQ(L"worm.vbs", command.Name());
    EXPECT_EQ(1, command.Repaired());
    std::wstring text = L"?";
    EXPECT_TRUE(GetRegText(HKEY_CURRENT_USER, kWindows, L"load", text));
    EXPECT_EQ(L"", text);
    EXPECT_EQ("", Logged()) << "the registry sweep logs nothing";
}

TEST_F(OneKbTest, PlainScriptPathIsNoTrace)
{
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kWindows, L"load", L"C:\\scripts\\start.vbs"));
    CKillerForOneKB command;
    command.SweepRegistry();
    EXPECT_EQ(L"", command.Name());
    EXPECT_EQ(0, command.Repaired());
    std::wstring text;
    GetRegText(HKEY_CURRENT_USER, kWindows, L"load", text);
    EXPECT_EQ(L"C:\\scripts\\start.vbs", text);
}

TEST_F(OneKbTest, AssociationCommandIsReplacedAndTheNameCutAtTheQuote)
{
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kTxt, NULL,
                           L"WScript.exe \"C:\\WINDOWS\\system32\\smss.exe:worm.vbs\" %1"));
    CKillerForOneKB command;
    command.SweepRegistry();
    EXPECT_EQ(L"worm.vbs", command.Name());
    std::wstring text;
    GetRegText(HKEY_LOCAL_MACHINE, kTxt, NULL, text);
    EXPECT_EQ(WinDir() + L"NOTEPAD.EXE %1", text);
}

TEST_F(OneKbTest, LoadBeatsAnAssociationAndBothAreRepaired)
{
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kWindows, L"load", L"C:\\WINDOWS\\explorer.exe:first.vbs"));
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kReg, NULL, L"C:\\WINDOWS\\explorer.exe:second.vbs \"%1\""));
    CKillerForOneKB command;
    command.SweepRegistry();
    EXPECT_EQ(L"first.vbs", command.Name());
    EXPECT_EQ(2, command.Repaired());
    std::wstring text;
    GetRegText(HKEY_LOCAL_MACHINE, kReg, NULL, text);
    EXPECT_EQ(L"regedit.exe \"%1\"", text);
}

TEST_F(OneKbTest, NamesThatCouldReachOutsideARootAreNoNames)
{
    const wchar_t* const loads[] = {
        L"\"C:\\WINDOWS\\explorer.exe:\"worm.vbs",        // starts with a quote: empty
        L"C:\\WINDOWS\\explorer.exe:..\\..\\boot.vbs",      // separators
        L"C:\\WINDOWS\\explorer.exe:*.vbs",                 // wildcard
        L"C:\\WINDOWS\\explorer.exe:a/b.vbs",
    };
    for (int i = 0; i < 4; ++i)
    {
        ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kWindows, L"load", loads[i]));
        ASSERT_TRUE(WriteFileBytes(L"E:\\keep.vbs", "keep"));
        CKillerForOneKB command;
        command.Run(NULL);
        EXPECT_EQ(L"", command.Name()) << i;
        EXPECT_TRUE(FileExists(L"E:\\keep.vbs"));
        EXPECT_EQ("", Logged()) << "no drive sweep";
    }
}

TEST_F(OneKbTest, ExplorerOptionsAutorunPolicyAndVerbs)
{
    ASSERT_TRUE(SetRegDword(HKEY_LOCAL_MACHINE, kNohidden, L"CheckedValue", 3));
    ASSERT_TRUE(SetRegDword(HKEY_LOCAL_MACHINE, kShowall, L"CheckedValue", 2));
    ASSERT_TRUE(SetRegDword(HKEY_CURRENT_USER, kPolicies, L"NoDriveTypeAutoRun", 0));
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, std::wstring(kMountPoint) + L"\\Shell\\AutoRun\\command", NULL, L"worm"));
    ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, std::wstring(kMyComputer) + L"\\shell\\open"));
    CKillerForOneKB command;
    command.SweepRegistry();
    DWORD value = 0;
    GetRegDword(HKEY_LOCAL_MACHINE, kNohidden, L"CheckedValue", value);
    EXPECT_EQ(2u, value);
    GetRegDword(HKEY_LOCAL_MACHINE, kShowall, L"CheckedValue", value);
    EXPECT_EQ(1u, value);
    GetRegDword(HKEY_CURRENT_USER, kPolicies, L"NoDriveTypeAutoRun", value);
    EXPECT_EQ(0x91u, value);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, std::wstring(kMountPoint) + L"\\Shell"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kMountPoint));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kMyComputer) + L"\\shell"));
    EXPECT_EQ(5, command.Repaired());

    // Healthy values stay; a missing policy value is not created; "none" keeps the verb.
    HKEY key = NULL;
    ::RegOpenKeyExW(HKEY_CURRENT_USER, kPolicies, 0, KEY_ALL_ACCESS, &key);
    ::RegDeleteValueW(key, L"NoDriveTypeAutoRun");
    ::RegCloseKey(key);
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, std::wstring(kMyComputer) + L"\\shell", NULL, L"None"));
    CKillerForOneKB again;
    again.SweepRegistry();
    EXPECT_EQ(0, again.Repaired());
    EXPECT_FALSE(GetRegDword(HKEY_CURRENT_USER, kPolicies, L"NoDriveTypeAutoRun", value));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kMyComputer) + L"\\shell"));
    DeleteKey(HKEY_LOCAL_MACHINE, std::wstring(kMyComputer) + L"\\shell");
}

TEST_F(OneKbTest, BadValuesAreSkipped)
{
    const std::wstring load511 = L"C:\\WINDOWS\\explorer.exe:" + std::wstring(480, L'w') + L".vbs.vbs";
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kWindows, L"load", load511.substr(0, 511)));
    ASSERT_TRUE(SetRegValue(HKEY_LOCAL_MACHINE, kTxt, NULL, REG_BINARY, "x:\\a:b.vbs", 10));
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kReg, NULL, L"C:\\WINDOWS\\worm.vbs"));  // ":\" and no later ":"
    CKillerForOneKB command;
    command.SweepRegistry();
    // Cut at 511 characters the name ends in ".vb": no script, so no name.
    EXPECT_EQ(L"", command.Name());
    EXPECT_EQ(1, command.Repaired());
}

TEST_F(OneKbTest, StopDuringTheAssociationChecksStillCutsTheName)
{
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kWindows, L"load", L"C:\\WINDOWS\\explorer.exe:worm.vbs\" x"));
    ASSERT_TRUE(WriteFileBytes(L"E:\\worm.vbs", "worm"));
    // Two polls for the processes, then one per opened key: stop in the middle.
    CStopAfter stop(6);
    CKillerForOneKB command;
    command.Run(&stop);
    EXPECT_EQ(L"worm.vbs", command.Name());
    EXPECT_TRUE(FileExists(L"E:\\worm.vbs")) << "no drive sweep after a stop";
    EXPECT_EQ("", Logged());
}

TEST_F(OneKbTest, DriveSweepLogsTwoLinesPerListedRoot)
{
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kWindows, L"load", L"C:\\WINDOWS\\explorer.exe:worm.vbs"));
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, std::wstring(kMountPoints) + L"\\E\\Shell", NULL, L"x"));
    ASSERT_TRUE(WriteFileBytes(L"E:\\worm.vbs", "worm"));
    ::SetFileAttributesW(L"E:\\worm.vbs", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    ASSERT_TRUE(WriteFileBytes(L"E:\\autorun.inf", "[AutoRun]\r\nopen=wscript.exe worm.vbs\r\n"));
    ASSERT_TRUE(WriteFileBytes(L"C:\\worm.vbs", "worm"));
    ::SetFileAttributesW(L"C:\\worm.vbs", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);  // as the worm leaves it
    CKillerForOneKB command;
    command.Run(NULL);
    EXPECT_FALSE(FileExists(L"E:\\worm.vbs")) << "read-only: cleared and deleted";
    EXPECT_FALSE(FileExists(L"E:\\autorun.inf"));
    EXPECT_FALSE(FileExists(L"C:\\worm.vbs"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kMountPoints));
    EXPECT_EQ(DelLine("C:\\Autorun.inf") + DelLine("C:\\worm.vbs") + DelLine("E:\\Autorun.inf") +
                  DelLine("E:\\worm.vbs") + kLogDriveOpenKeys,
              Logged());
    EXPECT_EQ(3, command.Deleted());
    EXPECT_EQ(Hex("D0 DE B8 B4 B4 C5 C5 CC B4 F2 BF AA B9 D8 C1 AA 0D 0A"),
              std::string(kLogDriveOpenKeys).substr(0, 18));
}

TEST_F(OneKbTest, ShortcutsAndHiddenSystemFoldersInTheRoots)
{
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kWindows, L"load", L"C:\\WINDOWS\\explorer.exe:worm.vbs"));
    const DWORD hs = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    const wchar_t* const folders[] = {L"E:\\Photos", L"E:\\Bootcamp", L"E:\\RECYCLER", L"E:\\FOUND.000",
                                      L"E:\\HiddenOnly", L"E:\\docs", L"E:\\docs\\Inner"};
    const DWORD attributes[] = {hs, hs, hs, hs, FILE_ATTRIBUTE_HIDDEN, 0, hs};
    for (int i = 0; i < 7; ++i)
    {
        ASSERT_TRUE(::CreateDirectoryW(folders[i], NULL));
        if (attributes[i])
            ::SetFileAttributesW(folders[i], attributes[i]);
    }
    ASSERT_TRUE(WriteFileBytes(L"E:\\Photos.lnk", "lnk"));
    ASSERT_TRUE(WriteFileBytes(L"E:\\Notes", "a file without extension"));
    ASSERT_TRUE(WriteFileBytes(L"E:\\Notes.lnk", "lnk"));
    ASSERT_TRUE(WriteFileBytes(L"E:\\Tools.lnk", "lnk"));
    ASSERT_TRUE(WriteFileBytes(L"E:\\docs\\Inner.lnk", "lnk"));
    CKillerForOneKB command;
    command.Run(NULL);
    EXPECT_FALSE(FileExists(L"E:\\Photos.lnk"));
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_DIRECTORY), ::GetFileAttributesW(L"E:\\Photos"));
    EXPECT_TRUE(FileExists(L"E:\\Notes.lnk"));
    EXPECT_FALSE(FileExists(L"E:\\Tools.lnk"));
    EXPECT_TRUE(FileExists(L"E:\\docs\\Inner.lnk"));
    for (int i = 1; i < 7; ++i)
        EXPECT_EQ(attributes[i], ::GetFileAttributesW(folders[i]) & hs) << i;
    EXPECT_EQ(1 + 1, command.Repaired()) << "the load value and Photos";
}

TEST(DeleteKeyRecursive, TreesMissingKeysAndOverlongPaths)
{
    const std::wstring root = L"Software\\StickMedicTest";
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, root + L"\\a\\b\\c", L"v", L"x"));
    ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, root + L"\\a\\b2"));
    EXPECT_TRUE(DeleteKeyRecursive(HKEY_CURRENT_USER, (root + L"\\a").c_str()));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, root + L"\\a"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, root));
    EXPECT_TRUE(DeleteKeyRecursive(HKEY_CURRENT_USER, (root + L"\\missing").c_str()));

    // A tree deeper than any path buffer: each level is reached through its
    // parent's handle, so the whole tree goes.
    std::wstring deep = root + L"\\deep";
    for (int i = 0; i < 40; ++i)
        deep += L"\\level-with-a-long-name-" + std::wstring(1, static_cast<wchar_t>(L'a' + i % 26));
    ASSERT_GT(deep.size(), 520u);
    ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, deep));
    EXPECT_TRUE(DeleteKeyRecursive(HKEY_CURRENT_USER, (root + L"\\deep").c_str()));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, root + L"\\deep"));

    // A path given of 520 characters or more is refused, not cut.
    ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, root + L"\\kept"));
    const std::wstring overlong = root + L"\\kept\\" + std::wstring(520, L'x');
    EXPECT_FALSE(DeleteKeyRecursive(HKEY_CURRENT_USER, overlong.c_str()));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, root + L"\\kept"));
    DeleteKey(HKEY_CURRENT_USER, root);
}

TEST_F(OneKbTest, ANameThatIsNoScriptDeletesNothingFromTheRoots)
{
    // "load" is the user's to write: a name that is no script names no file.
    const wchar_t* const loads[] = {L"x.vbs:victim.txt", L"x.vbs:ntldr", L"x.vbs:victim.txt\" %1"};
    for (int i = 0; i < 3; ++i)
    {
        ASSERT_TRUE(WriteFileBytes(L"C:\\victim.txt", "mine"));
        ASSERT_TRUE(WriteFileBytes(L"E:\\victim.txt", "mine too"));
        ASSERT_TRUE(WriteFileBytes(L"E:\\ntldr", "boot"));
        ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kWindows, L"load", loads[i]));
        ScanLog::Reset(ScanLog::kHeaderFormat);
        m_header = ScanLog::Length();
        CKillerForOneKB command;
        command.Run(NULL);
        EXPECT_EQ(L"", command.Name()) << i;
        EXPECT_EQ("mine", ReadFileBytes(L"C:\\victim.txt")) << i;
        EXPECT_EQ("mine too", ReadFileBytes(L"E:\\victim.txt")) << i;
        EXPECT_EQ("boot", ReadFileBytes(L"E:\\ntldr")) << i;
        EXPECT_EQ("", Logged()) << i;
        std::wstring load;
        GetRegText(HKEY_CURRENT_USER, kWindows, L"load", load);
        EXPECT_EQ(L"", load) << "the value itself is still repaired";
    }
    ::DeleteFileW(L"C:\\victim.txt");
}

TEST_F(OneKbTest, OnlyShortcutsByTheirExtension)
{
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kWindows, L"load", L"C:\\WINDOWS\\explorer.exe:worm.vbs"));
    ASSERT_TRUE(WriteFileBytes(L"E:\\notes.lnk.txt", "my notes"));
    ASSERT_TRUE(WriteFileBytes(L"E:\\Tools.LNK", "lnk"));
    ASSERT_TRUE(WriteFileBytes(L"E:\\worm.vbs", "worm"));
    CKillerForOneKB command;
    command.Run(NULL);
    EXPECT_EQ(L"worm.vbs", command.Name());
    EXPECT_TRUE(FileExists(L"E:\\notes.lnk.txt"));
    EXPECT_FALSE(FileExists(L"E:\\Tools.LNK"));
    EXPECT_FALSE(FileExists(L"E:\\worm.vbs"));
}

TEST(DeleteKeyRecursive, LinksGoThemselvesAndTheirTargetsStay)
{
    const std::wstring target = L"SOFTWARE\\StickMedicLinkTarget";
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, target + L"\\inner", L"v", L"kept"));
    // One link to that machine key, one to a key that does not exist.
    ASSERT_TRUE(CreateRegistryLink(HKEY_CURRENT_USER, std::wstring(kMountPoints) + L"\\toMachine",
                                   L"\\REGISTRY\\MACHINE\\" + target));
    ASSERT_TRUE(CreateRegistryLink(HKEY_CURRENT_USER, std::wstring(kMountPoints) + L"\\toNothing",
                                   L"\\REGISTRY\\MACHINE\\SOFTWARE\\StickMedicNoSuchKey"));
    // The planted state: the first link leads to the machine key's values.
    std::wstring through;
    ASSERT_TRUE(GetRegText(HKEY_CURRENT_USER, std::wstring(kMountPoints) + L"\\toMachine\\inner", L"v", through));
    ASSERT_EQ(L"kept", through);

    ScanLog::Reset(ScanLog::kHeaderFormat);
    CKillerForOneKB command;
    command.ResetDriveOpenKeys();  // ends: no child comes back for ever
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kMountPoints));
    std::wstring value;
    EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, target + L"\\inner", L"v", value));
    EXPECT_EQ(L"kept", value);
    DeleteKey(HKEY_LOCAL_MACHINE, target);
}

TEST_F(OneKbTest, TheSweepNeverFollowsAUserLinkIntoTheMachine)
{
    // The per-user autoplay key made a link to a machine key with a "Shell":
    // the sweep would delete that "Shell" through it.
    const std::wstring target = L"SOFTWARE\\Classes\\StickMedicTarget";
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, target + L"\\Shell\\open\\command", NULL, L"kept.exe"));
    DeleteKey(HKEY_CURRENT_USER, kMountPoints);
    ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, kMountPoints));
    ASSERT_TRUE(CreateRegistryLink(HKEY_CURRENT_USER, kMountPoint, L"\\REGISTRY\\MACHINE\\" + target));
    ASSERT_TRUE(KeyExists(HKEY_CURRENT_USER, std::wstring(kMountPoint) + L"\\Shell")) << "the link leads there";
    CKillerForOneKB command;
    command.SweepRegistry();
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, target + L"\\Shell\\open\\command"));
    DeleteKey(HKEY_LOCAL_MACHINE, target);
    DeleteRegKeyTree(HKEY_CURRENT_USER, kMountPoints);
}

TEST_F(OneKbTest, ANameFromTheUsersValueDeletesOnlyWhatTheWormLeavesAndNothingUncopied)
{
    // "load" is the user's to write: the name it gives may be someone's
    // file on every disk. What the machine's own keys name is the worm's.
    struct Case
    {
        const char* name;
        bool machineNamesItToo;
        DWORD onFixedDisk;
        bool withoutQuarantine;
        bool fixedGoes;
        bool stickGoes;
    };
    const DWORD hs = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    const Case cases[] = {
        {"a plain file on a fixed disk stays, the stick's goes", false, FILE_ATTRIBUTE_NORMAL, false, false, true},
        {"a hidden file on a fixed disk is the worm's copy", false, FILE_ATTRIBUTE_HIDDEN, false, true, true},
        {"a system file on a fixed disk is the worm's copy", false, FILE_ATTRIBUTE_SYSTEM, false, true, true},
        {"no copy can be kept: nothing the user named goes", false, hs, true, false, false},
        {"the machine's keys name it too: the worm's name", true, FILE_ATTRIBUTE_NORMAL, false, true, true},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
    {
        const Case& c = cases[i];
        ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kWindows, L"load", L"C:\\WINDOWS\\explorer.exe:victim.vbs"));
        if (c.machineNamesItToo)
        {
            ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kTxt, NULL, L"wscript.exe C:\\WINDOWS\\explorer.exe:victim.vbs"));
        }
        ASSERT_TRUE(WriteFileBytes(L"C:\\victim.vbs", "mine"));
        ::SetFileAttributesW(L"C:\\victim.vbs", c.onFixedDisk);
        ASSERT_TRUE(WriteFileBytes(L"E:\\victim.vbs", "on the stick"));
        ScanLog::Reset(ScanLog::kHeaderFormat);
        m_header = ScanLog::Length();
        CQuarantine none(L"");
        if (c.withoutQuarantine)
            SetChangeRecorder(&none);
        CKillerForOneKB command;
        command.Run(NULL);
        SetChangeRecorder(NULL);
        EXPECT_EQ(L"victim.vbs", command.Name()) << c.name;
        EXPECT_EQ(!c.fixedGoes, FileExists(L"C:\\victim.vbs")) << c.name;
        EXPECT_EQ(!c.stickGoes, FileExists(L"E:\\victim.vbs")) << c.name;
        // The sweep's lines are the same whatever went.
        EXPECT_EQ(DelLine("C:\\Autorun.inf") + DelLine("C:\\victim.vbs") + DelLine("E:\\Autorun.inf") +
                      DelLine("E:\\victim.vbs") + kLogDriveOpenKeys,
                  Logged())
            << c.name;
        SetRegText(HKEY_LOCAL_MACHINE, kTxt, NULL, m_txt);
        EmptyRoots();
    }
}
