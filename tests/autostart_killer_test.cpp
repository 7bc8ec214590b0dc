// The autostart entries today's stick worms leave on the PC: real Run,
// RunOnce and policy values in the user's hive and in both views of HKLM,
// the user's Startup folder, payloads in the profile, copies of what the
// stick walks removed and of what an earlier scan kept; the honest entries
// beside them; and the way back through the quarantine.
#include <gtest/gtest.h>

#include <objbase.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "app/restore.h"
#include "killers/autostart_killer.h"
#include "killers/launcher_killer.h"
#include "killers/payload_identity.h"
#include "killers/scan_log.h"
#include "platform/file_trust.h"
#include "platform/held_path.h"
#include "platform/reg_views.h"
#include "platform/registry.h"
#include "platform/shell_link.h"
#include "platform/system_function.h"
#include "platform/user_hives.h"
#include "tests/autostart_test.h"
#include "tests/declining_recorder.h"
#include "tests/testing.h"
#include "undo/change_gate.h"
#include "undo/quarantine.h"

using namespace testing_util;
using namespace autostart_testing;

namespace {

// The bytes the stick's worm carries, and those of one an earlier scan kept.
const std::string kStickExe = TinyImage(4096) + "stick worm program";
const std::string kStickDb = "#@~^AAAAAA==encoded stick script^#~@";
const std::string kQuarantinedExe = TinyImage(2048) + "kept by an earlier scan";
// Kept by an earlier scan but no stick payload; a payload the user restored.
const std::string kKeptFileExe = TinyImage(2048) + "the user's tool kept by an earlier scan";
const std::string kRestoredExe = TinyImage(2048) + "a payload the user brought back";

enum PayloadBytes
{
    kNoPayload,
    kOwnBytes,     // a file of its own
    kStickExeCopy,
    kStickDbCopy,
    kQuarantinedCopy,
    kKeptFileCopy,
    kRestoredCopy,
};

struct EntryCase
{
    const char* label;
    HKEY root;
    const wchar_t* key;
    REGSAM view;
    const wchar_t* name;
    const wchar_t* command;  // as stored, variables unexpanded
    const wchar_t* payload;  // with place marks; NULL: none
    PayloadBytes bytes;
    DWORD attributes;
    bool removed;            // the entry (and a payload outside Windows' folders) goes
};

const EntryCase kEntryCases[] = {
    {"a hidden script in the profile", HKEY_CURRENT_USER, kRun, 0, L"WinUpdate",
     L"wscript.exe //B \"%APPDATA%\\Microsoft\\svchost.vbs\"", L"<A>\\Microsoft\\svchost.vbs", kOwnBytes,
     kHiddenSystem, true},
    {"the 32-bit view of HKLM", HKEY_LOCAL_MACHINE, kRun, KEY_WOW64_32KEY, L"Updater32",
     L"wscript.exe //B \"C:\\ProgramData\\w32\\m.vbs\"", L"C:\\ProgramData\\w32\\m.vbs", kOwnBytes,
     FILE_ATTRIBUTE_HIDDEN, true},
    {"a profile program equal to a stick payload", HKEY_CURRENT_USER, kRun, 0, L"Phorpiex",
     L"%APPDATA%\\winsvc.exe", L"<A>\\winsvc.exe", kStickExeCopy, 0, true},
    {"an encoded script behind cmd and start", HKEY_CURRENT_USER, kRun, 0, L"Forbix",
     L"cmd.exe /c start wscript /e:VBScript.Encode %TEMP%\\x.db", L"<T>\\x.db", kStickDbCopy, 0, true},
    {"a registrar behind the DLL runner", HKEY_CURRENT_USER, kRunOnce, 0, L"!rr",
     L"rundll32 shell32 ShellExec_RunDLLA regsvr32 /u /s \"%LOCALAPPDATA%\\rrc\\rr.dat\"", L"<L>\\rrc\\rr.dat",
     kOwnBytes, FILE_ATTRIBUTE_HIDDEN, true},
    {"a copy an earlier scan kept", HKEY_CURRENT_USER, kRun, 0, L"Old", L"%APPDATA%\\oldworm.exe",
     L"<A>\\oldworm.exe", kQuarantinedCopy, 0, true},
    {"a screen saver named by the policy", HKEY_LOCAL_MACHINE, kPolicyRun, 0, L"gm",
     L"C:\\ProgramData\\gm\\photo.scr", L"C:\\ProgramData\\gm\\photo.scr", kStickExeCopy, 0, true},
    {"the machine's twin of a user's worm entry", HKEY_LOCAL_MACHINE, kRun, 0, L"WinUpdate",
     L"wscript.exe //B \"%APPDATA%\\Microsoft\\svchost.vbs\"", NULL, kNoPayload, 0, true},
    {"a stick payload's copy in the Windows folder", HKEY_LOCAL_MACHINE, kRun, 0, L"WinCopy",
     L"C:\\Windows\\winsvc.exe", L"C:\\Windows\\winsvc.exe", kStickExeCopy, 0, true},
    {"a signed program carrying a stick payload's bytes", HKEY_CURRENT_USER, kRun, 0, L"Portable",
     L"%APPDATA%\\signed\\tool.exe", L"<A>\\signed\\tool.exe", kStickExeCopy, 0, false},
    {"an administrator's logon script", HKEY_LOCAL_MACHINE, kRun, 0, L"Logon",
     L"powershell -ExecutionPolicy Bypass -File C:\\ProgramData\\Corp\\logon.ps1", L"C:\\ProgramData\\Corp\\logon.ps1",
     kOwnBytes, 0, false},
    {"an updater in the profile", HKEY_CURRENT_USER, kRun, 0, L"App",
     L"\"%LOCALAPPDATA%\\App\\Update.exe\" --processStart App.exe", L"<L>\\App\\Update.exe", kOwnBytes, 0, false},
    {"a driver's entry in the system folder", HKEY_LOCAL_MACHINE, kRun, 0, L"Drv",
     L"RUNDLL32.EXE C:\\Windows\\system32\\smdrv.dll,Start", L"C:\\Windows\\system32\\smdrv.dll", kOwnBytes,
     kHiddenSystem, false},
    {"a program's script under Program Files", HKEY_LOCAL_MACHINE, kRun, 0, L"Vendor",
     L"wscript.exe //B \"C:\\Program Files\\Vendor\\tray.vbs\"", L"C:\\Program Files\\Vendor\\tray.vbs", kOwnBytes,
     FILE_ATTRIBUTE_HIDDEN, false},
    {"a script that is not there", HKEY_CURRENT_USER, kRun, 0, L"Gone", L"wscript //B \"%APPDATA%\\nothere.vbs\"",
     NULL, kNoPayload, 0, false},
    {"the user's own visible script", HKEY_CURRENT_USER, kRun, 0, L"Mine", L"wscript \"%APPDATA%\\mine.vbs\"",
     L"<A>\\mine.vbs", kOwnBytes, 0, false},
    {"a hidden script in a folder only administrators write", HKEY_CURRENT_USER, kRun, 0, L"Admin",
     L"wscript //B C:\\AdminOnly\\a.vbs", L"C:\\AdminOnly\\a.vbs", kOwnBytes, FILE_ATTRIBUTE_HIDDEN, false},
    {"a copy of a file an earlier scan kept that was no payload", HKEY_CURRENT_USER, kRun, 0, L"Tool",
     L"%APPDATA%\\tool.exe", L"<A>\\tool.exe", kKeptFileCopy, 0, false},
    {"a copy of a payload the user restored", HKEY_CURRENT_USER, kRun, 0, L"Restored", L"%APPDATA%\\back.exe",
     L"<A>\\back.exe", kRestoredCopy, 0, false},
    {"a variable the user's records lack", HKEY_CURRENT_USER, kRun, 0, L"Unknown",
     L"wscript //B %NOSUCHVAR%\\a.vbs", NULL, kNoPayload, 0, false},
    {"a hidden script under Program Files named by its short name", HKEY_CURRENT_USER, kRun, 0, L"Short",
     L"wscript.exe //B \"<P>\\Vendor\\short.vbs\"", L"C:\\Program Files\\Vendor\\short.vbs", kOwnBytes,
     FILE_ATTRIBUTE_HIDDEN, false},
    {"a user's entry for a hidden script where only another user writes", HKEY_CURRENT_USER, kRun, 0, L"Others",
     L"wscript //B C:\\OthersOnly\\u.vbs", L"C:\\OthersOnly\\u.vbs", kOwnBytes, FILE_ATTRIBUTE_HIDDEN, false},
    {"the machine's entry for a hidden script where a user writes", HKEY_LOCAL_MACHINE, kRun, 0, L"OthersM",
     L"wscript //B C:\\OthersOnly\\m.vbs", L"C:\\OthersOnly\\m.vbs", kOwnBytes, FILE_ATTRIBUTE_HIDDEN, true},
};

std::string BytesOf(PayloadBytes bytes, const char* label)
{
    switch (bytes)
    {
    case kStickExeCopy:
        return kStickExe;
    case kStickDbCopy:
        return kStickDb;
    case kQuarantinedCopy:
        return kQuarantinedExe;
    case kKeptFileCopy:
        return kKeptFileExe;
    case kRestoredCopy:
        return kRestoredExe;
    default:
        return std::string("' ") + label;
    }
}


std::wstring WhereOf(const EntryCase& entry)
{
    const std::wstring root = entry.root == HKEY_CURRENT_USER ? L"HKEY_CURRENT_USER" : L"HKEY_LOCAL_MACHINE";
    std::wstring key(entry.key);
    if (entry.view == KEY_WOW64_32KEY && HasTwoRegViews())
        key = L"Software\\Wow6432Node" + key.substr(8);
    return root + L"\\" + key + L"\\" + entry.name;
}

// The worm, still running, writes its value back while the scan goes on.
void WriteBackTheValue()
{
    SetRegText(HKEY_CURRENT_USER, kRun, L"Back", L"wscript.exe //B \"%APPDATA%\\back.vbs\"");
}

class AutostartTest : public CAutostartTest
{
protected:
    void TearDown()
    {
        for (size_t i = 0; i < sizeof(kEntryCases) / sizeof(kEntryCases[0]); ++i)
        {
            CRegKey key;
            if (key.Open(kEntryCases[i].root, kEntryCases[i].key, KEY_ALL_ACCESS | kEntryCases[i].view) == 0)
                ::RegDeleteValueW(key, kEntryCases[i].name);
        }
        CAutostartTest::TearDown();
    }

    // The stick of the Forbix and side-loading kinds: their launchers, the
    // payloads the stick walk removes and the user's hidden folder.
    void PlantStick()
    {
        Folder(L"_", kHiddenSystem);
        File(L"_\\x.exe", kStickExe, kHiddenSystem);
        Folder(L"sysvolume", kHiddenSystem);
        File(L"sysvolume\\u.db", kStickDb, kHiddenSystem);
        Folder(L"Photos", kHiddenSystem);
        ASSERT_TRUE(SaveShortcut(L"E:\\Photos.lnk", L"C:\\windows\\system32\\cmd.exe",
                                 L"/c start wscript /e:VBScript.Encode sysvolume\\u.db & start explorer Photos"));
        ASSERT_TRUE(SaveShortcut(L"E:\\Docs.lnk", L"E:\\_\\x.exe", L""));
    }
};

// An earlier scan: a stick payload it deleted, and a file it deleted by
// another rule.
void KeepAnOldWorm()
{
    PlantFile(L"C:\\oldscan\\oldworm.exe", kQuarantinedExe, 0);
    HeldDigest digest;
    GateDeletePayload(L"C:\\oldscan\\oldworm.exe", kKeepOrLeave, digest);
    PlantFile(L"C:\\oldscan\\tool.exe", kKeptFileExe, 0);
    GateDeleteFile(L"C:\\oldscan\\tool.exe", kKeepOrLeave);
}

// Another: a stick payload, brought back by /restore afterwards.
void KeepAWormTheUserRestores()
{
    PlantFile(L"C:\\oldscan\\back.exe", kRestoredExe, 0);
    HeldDigest digest;
    GateDeletePayload(L"C:\\oldscan\\back.exe", kKeepOrLeave, digest);
}

void ScanStickAndPc()
{
    CStickPayloads payloads;
    CKillerForLaunchers launchers;
    launchers.Run(NULL);
    CKillerForAutostarts autostarts;
    autostarts.Run(NULL);
}

}  // namespace

TEST_F(AutostartTest, TheWormsEntriesGoAndTheHonestOnesStaySideBySide)
{
    ASSERT_FALSE(Quarantined(KeepAnOldWorm).empty());
    const std::wstring restored = Quarantined(KeepAWormTheUserRestores);
    ASSERT_FALSE(restored.empty());
    std::wstring restoreReport;
    ASSERT_EQ(kRestoreDone, RestoreQuarantine(restored.substr(0, restored.size() - 1), false, restoreReport)) << Narrow(restoreReport);
    ASSERT_NE(Narrow(Place(L"<P>")), "C:\\Program Files");
    PlantStick();
    for (size_t i = 0; i < sizeof(kEntryCases) / sizeof(kEntryCases[0]); ++i)
    {
        const EntryCase& entry = kEntryCases[i];
        ASSERT_TRUE(SetRegText(entry.root, entry.key, entry.name, Place(entry.command), REG_SZ, entry.view))
            << entry.label;
        if (entry.payload)
            PlantFile(Place(entry.payload), BytesOf(entry.bytes, entry.label), entry.attributes);
    }
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kRun, L"Stream", L"wscript //B C:\\users\\x.txt:s.vbs"));
    // A hidden script larger than the quarantine keeps: the entry goes, the
    // script stays.
    const std::wstring big = Place(L"<A>\\big.vbs");
    PlantFile(big, std::string(static_cast<size_t>(kMaxKeptFileBytes) + 1, '\''), FILE_ATTRIBUTE_HIDDEN);
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kRun, L"Big", L"wscript.exe //B \"%APPDATA%\\big.vbs\""));
    CKillerForAutostarts::SetRecheckHook(WriteBackTheValue);
    PlantFile(Place(L"<A>\\back.vbs"), "' back", FILE_ATTRIBUTE_HIDDEN);
    WriteBackTheValue();

    const std::wstring folder = Quarantined(ScanStickAndPc);
    const std::string log = Logged();

    for (size_t i = 0; i < sizeof(kEntryCases) / sizeof(kEntryCases[0]); ++i)
    {
        const EntryCase& entry = kEntryCases[i];
        std::wstring text;
        EXPECT_EQ(!entry.removed, GetRegText(entry.root, entry.key, entry.name, text, NULL, entry.view)) << entry.label;
        const std::string line = "删除病毒启动项\t" + Narrow(WhereOf(entry)) + "\r\n";
        EXPECT_EQ(entry.removed, log.find(line) != std::string::npos) << entry.label << "\n" << log;
        if (!entry.payload)
            continue;
        const std::wstring payload = Place(entry.payload);
        const bool inWindows = payload.find(L"C:\\Windows") == 0;
        EXPECT_EQ(entry.removed && !inWindows, !FileExists(payload)) << entry.label;
        EXPECT_EQ(entry.removed && !inWindows, log.find("删除病毒文件\t" + Narrow(payload) + "\r\n") != std::string::npos)
            << entry.label;
        EXPECT_EQ(entry.removed && inWindows, log.find("保留病毒文件\t" + Narrow(payload) + "\r\n") != std::string::npos)
            << entry.label;
    }
    // The value that came back went once more, and is said to have come back.
    std::wstring text;
    EXPECT_FALSE(GetRegText(HKEY_CURRENT_USER, kRun, L"Back", text));
    EXPECT_NE(std::string::npos, log.find("删除复现的病毒启动项\tHKEY_CURRENT_USER\\" + Narrow(kRun) + "\\Back\r\n"))
        << log;
    EXPECT_FALSE(GetRegText(HKEY_CURRENT_USER, kRun, L"Big", text));
    EXPECT_TRUE(FileExists(big));
    EXPECT_NE(std::string::npos, log.find("保留病毒文件\t" + Narrow(big) + "\r\n"));
    ::SetFileAttributesW(big.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(big.c_str());
    // A stream is never judged: the entry stays and is named.
    EXPECT_TRUE(GetRegText(HKEY_CURRENT_USER, kRun, L"Stream", text));
    EXPECT_NE(std::string::npos, log.find("保留无法判断的启动项\tHKEY_CURRENT_USER\\" + Narrow(kRun) + "\\Stream\r\n"));
    // The GBK bytes of the line.
    EXPECT_NE(std::string::npos, log.find(Hex("C9 BE B3 FD B2 A1 B6 BE C6 F4 B6 AF CF EE 09") + "HKEY_CURRENT_USER"));

    // Everything comes back from the quarantine, the RunOnce name exactly.
    ASSERT_FALSE(folder.empty());
    std::wstring report;
    EXPECT_EQ(kRestoreDone, RestoreQuarantine(folder.substr(0, folder.size() - 1), true, report)) << Narrow(report);
    EXPECT_TRUE(GetRegText(HKEY_CURRENT_USER, kRunOnce, L"!rr", text));
    EXPECT_EQ(Narrow(kEntryCases[4].command), Narrow(text));
    EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, kRun, L"Updater32", text, NULL, KEY_WOW64_32KEY));
    EXPECT_TRUE(FileExists(Place(L"<A>\\Microsoft\\svchost.vbs")));
    EXPECT_TRUE(FileExists(Place(L"<T>\\x.db")));

}

TEST_F(AutostartTest, StartupFolderCopiesAndShortcutsGoAndTheUsersFilesStay)
{
    PlantStick();
    struct StartupCase
    {
        const wchar_t* name;
        const std::string bytes;
        DWORD attributes;
        bool removed;
    } const cases[] = {
        {L"svchost.vbs", "' hidden copy", kHiddenSystem, true},
        {L"copy.exe", kStickExe, 0, true},
        {L"logon.bat", "@echo the user's own", 0, false},
        {L"desktop.ini", "[.ShellClassInfo]", kHiddenSystem, false},
        {L"notes.txt", "a visible file", 0, false},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
        PlantFile(Place(L"<S>\\") + cases[i].name, cases[i].bytes, cases[i].attributes);
    PlantFile(Place(L"<A>\\lnkworm.vbs"), "' started by a shortcut", FILE_ATTRIBUTE_HIDDEN);
    ASSERT_TRUE(SaveShortcut(Place(L"<S>\\Photos.lnk"), L"C:\\windows\\system32\\wscript.exe",
                             L"//B \"" + Place(L"<A>\\lnkworm.vbs") + L"\""));
    PlantFile(Place(L"<A>\\visible.vbs"), "' the user's", 0);
    ASSERT_TRUE(SaveShortcut(Place(L"<S>\\Mine.lnk"), L"C:\\windows\\system32\\wscript.exe",
                             L"\"" + Place(L"<A>\\visible.vbs") + L"\""));

    const std::wstring folder = Quarantined(ScanStickAndPc);
    const std::string log = Logged();
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
    {
        const std::wstring path = Place(L"<S>\\") + cases[i].name;
        EXPECT_EQ(cases[i].removed, !FileExists(path)) << Narrow(path);
        EXPECT_EQ(cases[i].removed, log.find("删除病毒启动项\t" + Narrow(path) + "\r\n") != std::string::npos)
            << Narrow(path) << "\n" << log;
    }
    EXPECT_FALSE(FileExists(Place(L"<S>\\Photos.lnk")));
    EXPECT_NE(std::string::npos, log.find("删除病毒启动项\t" + Narrow(Place(L"<S>\\Photos.lnk")) + "\r\n"));
    EXPECT_NE(std::string::npos, log.find("删除病毒文件\t" + Narrow(Place(L"<A>\\lnkworm.vbs")) + "\r\n"));
    EXPECT_TRUE(FileExists(Place(L"<S>\\Mine.lnk")));
    EXPECT_TRUE(FileExists(Place(L"<A>\\visible.vbs")));

    std::wstring report;
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(kRestoreDone, RestoreQuarantine(folder.substr(0, folder.size() - 1), false, report)) << Narrow(report);
    EXPECT_TRUE(FileExists(Place(L"<S>\\svchost.vbs")));
    EXPECT_TRUE(FileExists(Place(L"<S>\\Photos.lnk")));
    EXPECT_TRUE(FileExists(Place(L"<A>\\lnkworm.vbs")));
}

namespace {

const wchar_t kOtherSid[] = L"S-1-5-21-1-2-3-1001";
const wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
const wchar_t kShellFolders[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

std::wstring Other(const std::wstring& path) { return std::wstring(kOtherSid) + L"\\" + path; }

}  // namespace

TEST_F(AutostartTest, UnderLocalSystemEachUsersEntriesExpandFromThatUsersOwnRecords)
{
    // Another user's hive, loaded, with a profile of his own.
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, std::wstring(kProfileList) + kOtherSid, L"ProfileImagePath",
                           L"%SystemDrive%\\users\\other", REG_EXPAND_SZ, HasTwoRegViews() ? KEY_WOW64_64KEY : 0));
    ASSERT_TRUE(SetRegText(HKEY_USERS, Other(kShellFolders), L"AppData", L"%USERPROFILE%\\AppData\\Roaming",
                           REG_EXPAND_SZ));
    ASSERT_TRUE(SetRegText(HKEY_USERS, Other(kShellFolders), L"Startup", L"%USERPROFILE%\\Startup", REG_EXPAND_SZ));
    ASSERT_TRUE(SetRegText(HKEY_USERS, Other(L"Environment"), L"TEMP", L"%USERPROFILE%\\Tmp", REG_EXPAND_SZ));
    ASSERT_TRUE(SetRegText(HKEY_USERS, Other(kRun), L"Other", L"wscript.exe //B \"%APPDATA%\\o.vbs\""));
    ASSERT_TRUE(SetRegText(HKEY_USERS, Other(kRun), L"OtherTemp", L"cmd /c start wscript %TEMP%\\t.vbs"));
    PlantFile(L"C:\\users\\other\\AppData\\Roaming\\o.vbs", "' the other's worm", FILE_ATTRIBUTE_HIDDEN);
    PlantFile(L"C:\\users\\other\\Tmp\\t.vbs", "' the other's worm", FILE_ATTRIBUTE_HIDDEN);
    PlantFile(L"C:\\users\\other\\Startup\\copy.vbs", "' a hidden copy", FILE_ATTRIBUTE_HIDDEN);
    // A third user, not logged on: his hive is not loaded, his Startup
    // folder is where his profile keeps it.
    const wchar_t kThirdSid[] = L"S-1-5-21-1-2-3-1002";
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, std::wstring(kProfileList) + kThirdSid, L"ProfileImagePath",
                           L"C:\\users\\third", REG_EXPAND_SZ, HasTwoRegViews() ? KEY_WOW64_64KEY : 0));
    const std::wstring thirdStartup =
        L"C:\\users\\third\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup\\";
    PlantFile(thirdStartup + L"copy.vbs", "' a hidden copy", FILE_ATTRIBUTE_HIDDEN);
    PlantFile(thirdStartup + L"mine.bat", "@rem the third user's", 0);
    // The same names in the profile of the user the program runs as stay:
    // nothing of his expands the other's entries.
    PlantFile(Place(L"<A>\\o.vbs"), "' the elevated user's", FILE_ATTRIBUTE_HIDDEN);

    SetLocalSystemForTests(true);
    RunAutostarts();
    SetLocalSystemForTests(false);

    const std::string log = Logged();
    std::wstring text;
    EXPECT_FALSE(GetRegText(HKEY_USERS, Other(kRun), L"Other", text));
    EXPECT_FALSE(GetRegText(HKEY_USERS, Other(kRun), L"OtherTemp", text));
    EXPECT_FALSE(FileExists(L"C:\\users\\other\\AppData\\Roaming\\o.vbs"));
    EXPECT_FALSE(FileExists(L"C:\\users\\other\\Tmp\\t.vbs"));
    EXPECT_FALSE(FileExists(L"C:\\users\\other\\Startup\\copy.vbs"));
    EXPECT_TRUE(FileExists(Place(L"<A>\\o.vbs")));
    EXPECT_NE(std::string::npos,
              log.find("删除病毒启动项\tHKEY_USERS\\" + Narrow(kOtherSid) + "\\" + Narrow(kRun) + "\\Other\r\n"))
        << log;
    EXPECT_NE(std::string::npos, log.find("删除病毒启动项\tC:\\users\\other\\Startup\\copy.vbs\r\n")) << log;
    EXPECT_FALSE(FileExists(thirdStartup + L"copy.vbs"));
    EXPECT_TRUE(FileExists(thirdStartup + L"mine.bat"));
    EXPECT_NE(std::string::npos, log.find("删除病毒启动项\t" + Narrow(thirdStartup) + "copy.vbs\r\n")) << log;
    DeleteKey(HKEY_USERS, kOtherSid);
    RemoveTree(L"C:\\users\\other");
    RemoveTree(L"C:\\users\\third");
}

TEST_F(AutostartTest, APathThroughAJunctionIsNeitherOpenedNorJudged)
{
    // A folder on the way stands in for a mount point to another machine:
    // the hidden script behind it is never opened, the entry stays.
    const std::wstring behind = Place(L"<A>\\share\\w.vbs");
    PlantFile(behind, "' worm", kHiddenSystem);
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kRun, L"Share", L"wscript.exe //B \"%APPDATA%\\share\\w.vbs\""));
    SetHeldLinkForTests(Place(L"<A>\\share"));
    RunAutostarts();
    std::wstring text;
    EXPECT_TRUE(GetRegText(HKEY_CURRENT_USER, kRun, L"Share", text));
    EXPECT_TRUE(FileExists(behind));
    EXPECT_EQ(std::string::npos, Logged().find("Share")) << Logged();
    // The Startup folder itself behind a junction: not walked.
    const std::wstring startup = Place(L"<S>\\");
    PlantFile(startup + L"copy.vbs", "' copy", kHiddenSystem);
    SetHeldLinkForTests(startup.substr(0, startup.size() - 1));
    RunAutostarts();
    SetHeldLinkForTests(L"");
    EXPECT_TRUE(FileExists(startup + L"copy.vbs"));
    EXPECT_EQ(std::string::npos, Logged().find("copy.vbs")) << Logged();
}

TEST_F(AutostartTest, ReportOnlyNamesTheEntriesChangesNothingAndSeesNothingComeBack)
{
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kRun, L"WinUpdate", L"wscript.exe //B \"%APPDATA%\\ro.vbs\""));
    PlantFile(Place(L"<A>\\ro.vbs"), "' worm", kHiddenSystem);
    {
        CDecliningRecorder reportOnly;
        RunAutostarts();
    }
    std::wstring text;
    EXPECT_TRUE(GetRegText(HKEY_CURRENT_USER, kRun, L"WinUpdate", text));
    EXPECT_TRUE(FileExists(Place(L"<A>\\ro.vbs")));
    const std::string where = "HKEY_CURRENT_USER\\" + Narrow(kRun) + "\\WinUpdate";
    EXPECT_EQ("删除病毒启动项\t" + where + "\r\n删除病毒文件\t" + Narrow(Place(L"<A>\\ro.vbs")) + "\r\n", Logged());
    RunAutostarts();
    EXPECT_FALSE(GetRegText(HKEY_CURRENT_USER, kRun, L"WinUpdate", text));
}

namespace {

// A value whose name has a NUL inside: only the native call takes its length.
bool SetCountedValue(HKEY root, const wchar_t* path, const std::wstring& name, const std::wstring& data)
{
    struct CountedName
    {
        USHORT length;
        USHORT maximumLength;
        const wchar_t* buffer;
    } counted = {static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.c_str()};
    typedef LONG(WINAPI * SetValue)(HANDLE, const void*, ULONG, ULONG, const void*, ULONG);
    const SetValue set = SystemFunction<SetValue>(L"ntdll.dll", "NtSetValueKey");
    CRegKey key;
    if (!set || key.Open(root, path, KEY_SET_VALUE) != ERROR_SUCCESS)
        return false;
    return set(key, &counted, 0, REG_SZ, data.c_str(), static_cast<ULONG>((data.size() + 1) * 2)) == 0;
}

}  // namespace

TEST_F(AutostartTest, BadValuesAndCrowdedStartupFoldersNeitherTripNorGuess)
{
    const std::wstring script = Place(L"<A>\\bad.vbs");
    PlantFile(script, "' worm", kHiddenSystem);
    const std::wstring command = L"wscript.exe //B \"" + script + L"\"";
    // Values of another type or an odd size, and a line longer than any
    // Windows starts, name the hidden script but are left.
    struct BadValue
    {
        const wchar_t* name;
        DWORD type;
        std::wstring data;
        DWORD bytes;  // 0: the whole text with its terminator
        bool removed;
    } const values[] = {
        {L"Binary", REG_BINARY, command, 0, false},
        {L"Multi", REG_MULTI_SZ, command + std::wstring(1, L'\0'), 0, false},
        {L"Odd", REG_SZ, command, static_cast<DWORD>(command.size() * 2 + 1), false},
        {L"TooLong", REG_SZ, command + L" " + std::wstring(40000, L'x'), 0, false},
        {L"Unterminated", REG_SZ, command, static_cast<DWORD>(command.size() * 2), true},
        {L"Long", REG_SZ, command + L" " + std::wstring(32000 - command.size(), L'x'), 0, true},
        {L"\x0E01\x0E02upd", REG_SZ, command, 0, true},
    };
    for (size_t i = 0; i < sizeof(values) / sizeof(values[0]); ++i)
    {
        const DWORD bytes = values[i].bytes ? values[i].bytes : static_cast<DWORD>((values[i].data.size() + 1) * 2);
        ASSERT_TRUE(SetRegValue(HKEY_CURRENT_USER, kRun, values[i].name, values[i].type, values[i].data.c_str(), bytes));
    }
    // The worm's value named "Tray", a NUL and more, beside the user's own
    // "Tray": a call by the worm's name would reach the user's.
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kRun, L"Tray", L"C:\\Windows\\notepad.exe"));
    const std::wstring tray = Place(L"<A>\\tray.vbs");
    PlantFile(tray, "' worm", kHiddenSystem);
    ASSERT_TRUE(SetCountedValue(HKEY_CURRENT_USER, kRun, std::wstring(L"Tray\0x", 6), L"wscript //B " + tray));
    DWORD number = 5;
    ASSERT_TRUE(SetRegValue(HKEY_CURRENT_USER, kRun, L"Number", REG_DWORD, &number, sizeof(number)));
    // A Startup folder of 5,000 of the user's files and one hidden copy.
    const std::wstring startup = Place(L"<S>\\");
    for (int i = 0; i < 5000; ++i)
    {
        wchar_t name[32];
        wsprintfW(name, L"note%04d.txt", i);
        ASSERT_TRUE(WriteFileBytes(startup + name, "n"));
    }
    PlantFile(startup + L"hidden.vbs", "' copy", FILE_ATTRIBUTE_HIDDEN);
    const DWORD start = ::GetTickCount();
    RunAutostarts();
    EXPECT_LT(::GetTickCount() - start, 60000u);

    for (size_t i = 0; i < sizeof(values) / sizeof(values[0]); ++i)
    {
        HKEY key = NULL;
        ASSERT_EQ(0, ::RegOpenKeyExW(HKEY_CURRENT_USER, kRun, 0, KEY_READ, &key));
        const bool present = ::RegQueryValueExW(key, values[i].name, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
        ::RegCloseKey(key);
        EXPECT_EQ(values[i].removed, !present) << i;
    }
    EXPECT_TRUE(GetRegDword(HKEY_CURRENT_USER, kRun, L"Number", number));
    std::wstring text;
    EXPECT_TRUE(GetRegText(HKEY_CURRENT_USER, kRun, L"Tray", text));
    EXPECT_NE(std::string::npos,
              Logged().find("保留无法判断的启动项\tHKEY_CURRENT_USER\\" + Narrow(kRun) + "\\Tray?x\r\n")) << Logged();
    EXPECT_EQ(std::string::npos, Logged().find("Tray\r\n")) << Logged();
    EXPECT_TRUE(FileExists(tray));
    EXPECT_FALSE(FileExists(script));
    EXPECT_FALSE(FileExists(startup + L"hidden.vbs"));
    EXPECT_TRUE(FileExists(startup + L"note4999.txt"));
    // A name the log's code page lacks is written with its default character.
    EXPECT_NE(std::string::npos,
              Logged().find("删除病毒启动项\tHKEY_CURRENT_USER\\" + Narrow(kRun) + "\\??upd\r\n")) << Logged();
}

namespace {

// The worm puts one Startup copy back while the scan goes on; the user puts
// a file of his own where the other was.
void PutBackTheStartupFiles()
{
    PlantFile(Place(L"<S>\\back.vbs"), "' the worm again", FILE_ATTRIBUTE_HIDDEN);
    PlantFile(Place(L"<S>\\mine.vbs"), "' the user's own, visible", 0);
}

}  // namespace

TEST_F(AutostartTest, WhatComesBackGoesOnlyWhenItIsTheWormsAgain)
{
    PlantFile(Place(L"<S>\\back.vbs"), "' worm", FILE_ATTRIBUTE_HIDDEN);
    PlantFile(Place(L"<S>\\mine.vbs"), "' worm", FILE_ATTRIBUTE_HIDDEN);
    CKillerForAutostarts::SetRecheckHook(PutBackTheStartupFiles);
    RunAutostarts();
    const std::string log = Logged();
    struct BackCase
    {
        const wchar_t* name;
        bool removedAgain;
    } const cases[] = {
        {L"back.vbs", true},
        {L"mine.vbs", false},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
    {
        const std::wstring path = Place(L"<S>\\") + cases[i].name;
        EXPECT_NE(std::string::npos, log.find("删除病毒启动项\t" + Narrow(path) + "\r\n")) << Narrow(path);
        EXPECT_EQ(cases[i].removedAgain, !FileExists(path)) << Narrow(path);
        EXPECT_EQ(cases[i].removedAgain, log.find("删除复现的病毒文件\t" + Narrow(path) + "\r\n") != std::string::npos)
            << Narrow(path) << "\n" << log;
    }
}

TEST_F(AutostartTest, AUsersOwnRecordsNeverMoveTheMachinesEntriesOrHisStartupFolder)
{
    // What a user writes to his own hive: Windows' folder and his
    // temporary one moved to folders of his choice, his Startup folder set
    // to another user's profile.
    const std::wstring profile = L"C:\\users\\other";
    ASSERT_TRUE(SetRegText(HKEY_USERS, Other(L"Environment"), L"windir", profile + L"\\w", REG_SZ));
    ASSERT_TRUE(SetRegText(HKEY_USERS, Other(L"Environment"), L"TEMP", L"C:\\outside", REG_SZ));
    ASSERT_TRUE(SetRegText(HKEY_USERS, Other(kShellFolders), L"Startup", L"C:\\users\\victim", REG_EXPAND_SZ));
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, std::wstring(kProfileList) + kOtherSid, L"ProfileImagePath",
                           L"C:\\users\\other", REG_EXPAND_SZ, HasTwoRegViews() ? KEY_WOW64_64KEY : 0));
    const std::wstring otherStartup =
        L"C:\\users\\other\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup\\";
    struct PlaceCase
    {
        const char* label;
        const wchar_t* value;    // an HKLM Run value, or NULL
        const wchar_t* command;
        std::wstring file;       // hidden
        bool removed;
    } const cases[] = {
        {"a machine's entry through the user's windir", L"WinDll", L"rundll32 %windir%\\system32\\x.dll,Start",
         profile + L"\\w\\system32\\x.dll", false},
        {"a machine's entry through the user's TEMP outside his profile", L"WinTemp",
         L"wscript //B %TEMP%\\t.vbs", L"C:\\outside\\t.vbs", false},
        {"a hidden file where the user's Startup folder is said to be", NULL, NULL, L"C:\\users\\victim\\NTUSER.DAT",
         false},
        {"a hidden copy in the Startup folder of the user's profile", NULL, NULL, otherStartup + L"copy.vbs", true},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
    {
        if (cases[i].value)
        {
            ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kRun, cases[i].value, cases[i].command)) << cases[i].label;
        }
        PlantFile(cases[i].file, "' hidden", FILE_ATTRIBUTE_HIDDEN);
    }

    SetLocalSystemForTests(true);
    RunAutostarts();
    SetLocalSystemForTests(false);
    const std::string log = Logged();
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
    {
        std::wstring text;
        if (cases[i].value)
        {
            EXPECT_EQ(!cases[i].removed, GetRegText(HKEY_LOCAL_MACHINE, kRun, cases[i].value, text)) << cases[i].label;
            CRegKey key;
            if (key.Open(HKEY_LOCAL_MACHINE, kRun, KEY_SET_VALUE) == ERROR_SUCCESS)
                ::RegDeleteValueW(key, cases[i].value);
        }
        EXPECT_EQ(cases[i].removed, !FileExists(cases[i].file)) << cases[i].label << "\n" << log;
    }
    DeleteKey(HKEY_USERS, kOtherSid);
    RemoveTree(L"C:\\users\\other");
    RemoveTree(L"C:\\users\\victim");
    RemoveTree(L"C:\\outside");
}

TEST_F(AutostartTest, AStartupFolderRecordedByItsShortNameIsWalkedOneOutsideTheProfileIsNot)
{
    const wchar_t kShellFolders[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    const std::wstring startup = Place(L"<S>");
    const std::wstring shortForm = ShortPath(startup);
    ASSERT_NE(std::wstring::npos, shortForm.find(L'~')) << Narrow(shortForm);
    struct RecordedCase
    {
        std::wstring recorded;  // the user's record of his Startup folder
        std::wstring copy;      // a hidden copy in the folder it names
        bool removed;
    } const cases[] = {
        {shortForm, startup + L"\\svchost.vbs", true},
        {L"C:\\outside", L"C:\\outside\\svchost.vbs", false},
    };
    ASSERT_TRUE(::CreateDirectoryW(L"C:\\outside", NULL) || ::GetLastError() == ERROR_ALREADY_EXISTS);
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
    {
        ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kShellFolders, L"Startup", cases[i].recorded));
        PlantFile(cases[i].copy, "' hidden copy", kHiddenSystem);
        RunAutostarts();
        EXPECT_EQ(cases[i].removed, !FileExists(cases[i].copy)) << Narrow(cases[i].recorded);
    }
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kShellFolders, L"Startup", startup));
    ::DeleteFileW(L"C:\\outside\\svchost.vbs");
    ::RemoveDirectoryW(L"C:\\outside");
}
