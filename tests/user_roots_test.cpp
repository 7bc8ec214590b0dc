// The per-user registry checks run as LocalSystem: a second user's hive
// under HKEY_USERS beside the sandbox user's own, damaged, and the checks run
// with the user-root loop told to act as LocalSystem.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <vector>

#include "killers/key_permissions.h"
#include "killers/one_kb.h"
#include "killers/reg_fx.h"
#include "killers/scan_log.h"
#include "platform/registry.h"
#include "platform/user_hives.h"
#include "tests/testing.h"
#include "undo/change_gate.h"
#include "undo/program_folder.h"
#include "undo/quarantine.h"

using namespace testing_util;

namespace {

const wchar_t kOtherSid[] = L"S-1-5-21-1-2-3-1001";
const wchar_t kOtherRoot[] = L"HKEY_USERS\\S-1-5-21-1-2-3-1001";
const wchar_t kWindows[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
const wchar_t kPolicies[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
const wchar_t kMountPoints[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2";
const wchar_t kMountPoint[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2\\{ca5dc9df-c6e5-11dd-8b20-806d6172696f}";
const wchar_t kFileExts[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk";
const wchar_t kChoice[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk\\UserChoice";
const wchar_t kHandler[] =
    L"SOFTWARE\\Classes\\lnkfile\\shellex\\ContextMenuHandlers\\{00021401-0000-0000-C000-000000000046}";

const char kLoadLine[] =
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows\\load \tC:\\gone\\worm.vbs\r\n";

// The other user's hive, as a path below HKEY_USERS.
std::wstring Other(const wchar_t* path) { return std::wstring(kOtherSid) + L"\\" + path; }

// The SID of the user this program runs as, as text.
std::wstring OwnSid()
{
    HANDLE token = NULL;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return std::wstring();
    BYTE buffer[256];
    DWORD size = 0;
    const BOOL got = ::GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size);
    ::CloseHandle(token);
    wchar_t* text = NULL;
    if (!got || !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text))
        return std::wstring();
    const std::wstring sid(text);
    ::LocalFree(text);
    return sid;
}

// Writes down every change the gateway is asked for ("<key>[\\<path>]|<name>";
// an access reset names its root and path so), and lets it be made.
class CChangeList : public IChangeRecorder
{
public:
    virtual Verdict Before(const ChangeRequest& change)
    {
        std::wstring line = RegistryKeyName(change.key);
        if (!change.path.empty())
            line += L"\\" + change.path;
        line += L"|" + std::wstring(change.name ? change.name : L"");
        m_lines.push_back(line);
        return kMake;
    }
    virtual void After(const ChangeRequest&, bool) {}
    std::vector<std::wstring> m_lines;
};

void CollectName(HKEY, const std::wstring& name, void* names)
{
    static_cast<std::vector<std::wstring>*>(names)->push_back(name);
}

// The explicit entries of a key's access list: their SIDs as text.
std::vector<std::wstring> ExplicitEntries(const std::wstring& object)
{
    std::vector<std::wstring> sids;
    std::wstring name = object;
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (::GetNamedSecurityInfoW(&name[0], SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL,
                                &descriptor) != ERROR_SUCCESS)
        return sids;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i)
    {
        ACE_HEADER* header = NULL;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header)) || (header->AceFlags & INHERITED_ACE) ||
            header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        wchar_t* text = NULL;
        if (::ConvertSidToStringSidW(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->SidStart, &text))
        {
            sids.push_back(text);
            ::LocalFree(text);
        }
    }
    ::LocalFree(descriptor);
    return sids;
}

// Gives a key an access list of Everyone alone, as a worm leaves it.
bool LockKey(const std::wstring& object)
{
    BYTE buffer[256];
    PACL acl = reinterpret_cast<PACL>(buffer);
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(everyone);
    if (!::InitializeAcl(acl, sizeof(buffer), ACL_REVISION) ||
        !::CreateWellKnownSid(WinWorldSid, NULL, everyone, &size) ||
        !::AddAccessAllowedAceEx(acl, ACL_REVISION, 0, KEY_READ, everyone))
        return false;
    std::wstring name = object;
    return ::SetNamedSecurityInfoW(&name[0], SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL, acl, NULL) ==
           ERROR_SUCCESS;
}

class UserRootsTest : public ::testing::Test
{
protected:
    void SetUp()
    {
        ResetLog();
        ASSERT_TRUE(CreateKey(HKEY_USERS, kOtherSid));
    }
    void TearDown()
    {
        SetLocalSystemForTests(false);
        SetChangeRecorder(NULL);
        DeleteKey(HKEY_USERS, kOtherSid);
        SetRegText(HKEY_CURRENT_USER, kWindows, L"load", L"");
        DeleteKey(HKEY_CURRENT_USER, kMountPoints);
        DeleteKey(HKEY_CURRENT_USER, kFileExts);
    }
    // The header's time has unpadded fields: its length is measured after
    // every reset, or a shorter header cuts the first logged byte.
    void ResetLog()
    {
        ScanLog::Reset(ScanLog::kHeaderFormat);
        m_header = ScanLog::Length();
    }
    std::string Logged() const { return ScanLog::Text().substr(m_header); }
    int m_header;
};

}  // namespace

TEST_F(UserRootsTest, TheSecondUsersHiveIsItsOwnAndWalkedOnlyAsLocalSystem)
{
    // What the sandbox shows: the user's own hive under HKEY_USERS, and the
    // other one beside it, holding what is written there alone.
    const std::wstring own = OwnSid();
    ASSERT_EQ(0u, own.find(L"S-1-5-21-")) << "the sandbox user's own hive is a user's hive";
    ASSERT_TRUE(SetRegText(HKEY_USERS, Other(L"Software\\StickMedicTest"), L"Marker", L"other"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\StickMedicTest"));
    EXPECT_TRUE(SetRegText(HKEY_CURRENT_USER, L"Software\\StickMedicTest", L"Marker", L"own"));
    std::wstring text;
    EXPECT_TRUE(GetRegText(HKEY_USERS, own + L"\\Software\\StickMedicTest", L"Marker", text));
    EXPECT_EQ(L"own", text);
    DeleteKey(HKEY_CURRENT_USER, L"Software\\StickMedicTest");

    std::vector<std::wstring> names;
    EXPECT_EQ(1, ForEachUserRoot(CollectName, &names));
    ASSERT_EQ(1u, names.size());
    EXPECT_EQ(L"HKEY_CURRENT_USER", names[0]);

    SetLocalSystemForTests(true);
    names.clear();
    EXPECT_EQ(2, ForEachUserRoot(CollectName, &names));
    std::sort(names.begin(), names.end());
    ASSERT_EQ(2u, names.size());
    std::vector<std::wstring> expected;
    expected.push_back(L"HKEY_USERS\\" + own);
    expected.push_back(kOtherRoot);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, names);

    // A fixed root of a table is itself, once, whatever the process is.
    names.clear();
    EXPECT_EQ(1, ForEachRootOf(HKEY_LOCAL_MACHINE, CollectName, &names));
    ASSERT_EQ(1u, names.size());
    EXPECT_EQ(L"", names[0]);
    SetLocalSystemForTests(false);
    names.clear();
    EXPECT_EQ(1, ForEachRootOf(kEachUserRoot, CollectName, &names));
    ASSERT_EQ(1u, names.size());
    EXPECT_EQ(L"HKEY_CURRENT_USER", names[0]);
}

TEST_F(UserRootsTest, LoadValueIsRepairedInEveryHiveAndLoggedOncePerHive)
{
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kWindows, L"load", L"C:\\gone\\worm.vbs"));
    ASSERT_TRUE(SetRegText(HKEY_USERS, Other(kWindows), L"load", L"C:\\gone\\worm.vbs"));
    CChangeList changes;
    SetChangeRecorder(&changes);

    // A normal run: the current user only, as always.
    RepairWindowsLoad();
    EXPECT_EQ(kLoadLine, Logged());
    std::wstring text = L"?";
    EXPECT_TRUE(GetRegText(HKEY_CURRENT_USER, kWindows, L"load", text));
    EXPECT_EQ(L"", text);
    EXPECT_TRUE(GetRegText(HKEY_USERS, Other(kWindows), L"load", text));
    EXPECT_EQ(L"C:\\gone\\worm.vbs", text);
    ASSERT_EQ(1u, changes.m_lines.size());

    // As LocalSystem: both hives, the same line for each.
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kWindows, L"load", L"C:\\gone\\worm.vbs"));
    SetLocalSystemForTests(true);
    ResetLog();
    changes.m_lines.clear();
    RepairWindowsLoad();
    EXPECT_EQ(std::string(kLoadLine) + kLoadLine, Logged());
    EXPECT_TRUE(GetRegText(HKEY_CURRENT_USER, kWindows, L"load", text));
    EXPECT_EQ(L"", text);
    EXPECT_TRUE(GetRegText(HKEY_USERS, Other(kWindows), L"load", text));
    EXPECT_EQ(L"", text);
    // The gateway saw each write under the hive's own name.
    std::sort(changes.m_lines.begin(), changes.m_lines.end());
    ASSERT_EQ(2u, changes.m_lines.size());
    std::vector<std::wstring> expected;
    expected.push_back(L"HKEY_USERS\\" + OwnSid() + L"\\" + kWindows + L"|load");
    expected.push_back(std::wstring(kOtherRoot) + L"\\" + kWindows + L"|load");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, changes.m_lines);

    // Healthy hives: nothing.
    ResetLog();
    RepairWindowsLoad();
    EXPECT_EQ("", Logged());
}

TEST_F(UserRootsTest, SweepFindsTheWormInAnotherUsersHiveAsLocalSystemOnly)
{
    ASSERT_TRUE(SetRegText(HKEY_USERS, Other(kWindows), L"load", L"C:\\WINDOWS\\explorer.exe:worm.vbs"));
    ASSERT_TRUE(SetRegDword(HKEY_USERS, Other(kPolicies), L"NoDriveTypeAutoRun", 0));
    ASSERT_TRUE(SetRegText(HKEY_USERS, Other(kMountPoint) + L"\\Shell\\AutoRun\\command", NULL, L"worm"));
    DWORD ownPolicy = 0;
    const bool hadPolicy = GetRegDword(HKEY_CURRENT_USER, kPolicies, L"NoDriveTypeAutoRun", ownPolicy);

    CKillerForOneKB normal;
    normal.SweepRegistry();
    EXPECT_EQ(L"", normal.Name());
    EXPECT_EQ(0, normal.Repaired());
    EXPECT_TRUE(KeyExists(HKEY_USERS, Other(kMountPoint) + L"\\Shell"));

    SetLocalSystemForTests(true);
    CKillerForOneKB system;
    system.SweepRegistry();
    EXPECT_EQ(L"worm.vbs", system.Name());
    EXPECT_EQ(3, system.Repaired());
    std::wstring text = L"?";
    EXPECT_TRUE(GetRegText(HKEY_USERS, Other(kWindows), L"load", text));
    EXPECT_EQ(L"", text);
    DWORD value = 0;
    EXPECT_TRUE(GetRegDword(HKEY_USERS, Other(kPolicies), L"NoDriveTypeAutoRun", value));
    EXPECT_EQ(0x91u, value);
    EXPECT_FALSE(KeyExists(HKEY_USERS, Other(kMountPoint) + L"\\Shell"));
    EXPECT_TRUE(KeyExists(HKEY_USERS, Other(kMountPoint)));
    // The healthy own hive is left as it was.
    DWORD ownNow = 0;
    EXPECT_EQ(hadPolicy, GetRegDword(HKEY_CURRENT_USER, kPolicies, L"NoDriveTypeAutoRun", ownNow));
    EXPECT_EQ(ownPolicy, ownNow);
    EXPECT_EQ("", Logged()) << "the registry sweep logs nothing";
}

TEST_F(UserRootsTest, DriveCachesGoInEveryHiveWithTheLinesOnce)
{
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, std::wstring(kMountPoints) + L"\\E\\Shell", NULL, L"x"));
    ASSERT_TRUE(SetRegText(HKEY_USERS, Other(kMountPoints) + L"\\E\\Shell", NULL, L"x"));
    CKillerForOneKB normal;
    normal.ResetDriveOpenKeys();
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kMountPoints));
    EXPECT_TRUE(KeyExists(HKEY_USERS, Other(kMountPoints) + L"\\E\\Shell"));
    EXPECT_EQ(kLogDriveOpenKeys, Logged());

    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, std::wstring(kMountPoints) + L"\\E\\Shell", NULL, L"x"));
    SetLocalSystemForTests(true);
    ResetLog();
    CKillerForOneKB system;
    system.ResetDriveOpenKeys();
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kMountPoints));
    EXPECT_FALSE(KeyExists(HKEY_USERS, Other(kMountPoints)));
    EXPECT_TRUE(KeyExists(HKEY_USERS, kOtherSid)) << "the hive itself stays";
    EXPECT_EQ(kLogDriveOpenKeys, Logged());
}

TEST_F(UserRootsTest, ShortcutChoiceIsRemovedInEveryHiveWithThatUsersAccess)
{
    const std::wstring own = OwnSid();
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kChoice, L"Progid", L"wormfile"));
    ASSERT_TRUE(SetRegText(HKEY_USERS, Other(kChoice), L"Progid", L"wormfile"));
    ASSERT_TRUE(SetRegText(HKEY_USERS, Other(kFileExts), L"application", L"worm.exe"));
    ASSERT_TRUE(LockKey(L"USERS\\" + Other(kFileExts)));
    ASSERT_EQ(1u, ExplicitEntries(L"USERS\\" + Other(kFileExts)).size());
    const std::string handlerLine = Hex("D7 C0 C3 E6 CD BC B1 EA CE DE B7 A8 B4 F2 BF AA A3 AC C8 B1 C9 D9") +
                                    "SOFTWARE\\Classes\\lnkfile\\shellex\\ContextMenuHandlers\\"
                                    "{00021401-0000-0000-C000-000000000046}\r\n";
    const std::string choiceLine =
        Hex("D2 EC B3 A3") + " Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk\\UserChoice \r\n";
    const std::string applicationLine =
        Hex("D2 EC B3 A3") + " Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk application \r\n";
    CChangeList changes;
    SetChangeRecorder(&changes);

    // A normal run: the current user's choice goes, the other user's stays.
    // (The handler key is taken away so that the script's import can be
    // waited for.)
    DeleteKey(HKEY_LOCAL_MACHINE, kHandler);
    RepairAssociations();
    EXPECT_EQ(handlerLine + choiceLine, Logged());
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kChoice));
    EXPECT_TRUE(KeyExists(HKEY_USERS, Other(kChoice)));
    std::wstring text;
    EXPECT_TRUE(GetRegText(HKEY_USERS, Other(kFileExts), L"application", text));
    EXPECT_EQ(1u, ExplicitEntries(L"USERS\\" + Other(kFileExts)).size());
    EXPECT_NE(changes.m_lines.end(), std::find(changes.m_lines.begin(), changes.m_lines.end(),
                                               L"HKEY_USERS\\" + own + L"|" + kChoice))
        << "the access reset, by root and path";
    ASSERT_TRUE(WaitForKey(HKEY_LOCAL_MACHINE, kHandler)) << "the shortcut script was imported";
    ::Sleep(500);

    // As LocalSystem: the other user's hive too, its lines once for it.
    SetLocalSystemForTests(true);
    ResetLog();
    changes.m_lines.clear();
    DeleteKey(HKEY_LOCAL_MACHINE, kHandler);
    RepairAssociations();
    EXPECT_EQ(handlerLine + choiceLine + applicationLine, Logged());
    EXPECT_FALSE(KeyExists(HKEY_USERS, Other(kChoice)));
    EXPECT_FALSE(GetRegText(HKEY_USERS, Other(kFileExts), L"application", text));
    EXPECT_TRUE(KeyExists(HKEY_USERS, Other(kFileExts)));
    EXPECT_NE(changes.m_lines.end(), std::find(changes.m_lines.begin(), changes.m_lines.end(),
                                               std::wstring(kOtherRoot) + L"|" + kFileExts));
    EXPECT_NE(changes.m_lines.end(), std::find(changes.m_lines.begin(), changes.m_lines.end(),
                                               std::wstring(kOtherRoot) + L"|" + kChoice));

    // The other user's key now grants that user, SYSTEM and Administrators:
    // not the user this program runs as.
    std::vector<std::wstring> expected;
    expected.push_back(kOtherSid);
    expected.push_back(L"S-1-5-18");
    expected.push_back(L"S-1-5-32-544");
    EXPECT_EQ(expected, ExplicitEntries(L"USERS\\" + Other(kFileExts)));
    ASSERT_TRUE(WaitForKey(HKEY_LOCAL_MACHINE, kHandler));
    ::Sleep(500);
}

TEST_F(UserRootsTest, AccessResetWorksInTheSelectedUsersRoot)
{
    const std::wstring path = L"Software\\StickMedicTest\\Locked";
    ASSERT_TRUE(CreateKey(HKEY_USERS, Other(path.c_str())));
    ASSERT_TRUE(LockKey(L"USERS\\" + Other(path.c_str())));

    // Without a selection the resets work in the current user's hive, which
    // has no such key.
    ::SetLastError(0);
    EXPECT_FALSE(ResetUserKeyPermissions(path.c_str()));
    EXPECT_NE(0u, ::GetLastError());
    {
        const CUserKeyAccessRoot user(kOtherRoot);
        EXPECT_TRUE(ResetUserKeyPermissions(path.c_str()));
    }
    EXPECT_FALSE(ResetUserKeyPermissions(path.c_str())) << "the selection ends with its scope";
    const std::vector<std::wstring> entries = ExplicitEntries(L"USERS\\" + Other(path.c_str()));
    ASSERT_EQ(3u, entries.size());
    EXPECT_EQ(kOtherSid, entries[0]);

    // Roots that are no user's are refused, the key left alone.
    ASSERT_TRUE(LockKey(L"USERS\\" + Other(path.c_str())));
    const wchar_t* const refused[] = {
        L"HKEY_LOCAL_MACHINE", L"HKEY_USERS\\", L"HKEY_USERS\\not-a-sid", L"HKEY_USERS\\S-1-5-21-1-2-3-1001\\Software",
        L"USERS\\S-1-5-21-1-2-3-1001",
    };
    for (size_t i = 0; i < sizeof(refused) / sizeof(refused[0]); ++i)
    {
        ::SetLastError(0);
        EXPECT_FALSE(ResetUserKeyPermissionsIn(refused[i], path.c_str())) << i;
        EXPECT_EQ(DWORD(ERROR_INVALID_NAME), ::GetLastError()) << i;
    }
    EXPECT_EQ(1u, ExplicitEntries(L"USERS\\" + Other(path.c_str())).size());
}

namespace {

typedef DWORD(WINAPI* PFNFINALPATH)(HANDLE, LPWSTR, DWORD, DWORD);

// Shows every folder named "linked" as a reparse point (a junction a user
// made in place of a folder), which Wine cannot make.
BOOL WINAPI LinkedFolderInfo(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info)
{
    if (!::GetFileInformationByHandle(handle, info))
        return FALSE;
    static const PFNFINALPATH finalPath = reinterpret_cast<PFNFINALPATH>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW")));
    wchar_t path[MAX_PATH] = {0};
    if (finalPath && finalPath(handle, path, MAX_PATH, 0) && wcsstr(path, L"\\linked"))
        info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return TRUE;
}

}  // namespace

TEST_F(UserRootsTest, AnotherUsersLoadPathIsOpenedLevelByLevelAndNeverThroughALink)
{
    ASSERT_TRUE(::CreateDirectoryW(L"C:\\linked", NULL) || ::GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(::CreateDirectoryW(L"C:\\plain", NULL) || ::GetLastError() == ERROR_ALREADY_EXISTS);
    const FolderSystemCalls saved = g_folderCalls;
    g_folderCalls.getInformation = LinkedFolderInfo;
    struct Case
    {
        const wchar_t* load;
        bool asLocalSystem;
        bool repaired;
    };
    const Case cases[] = {
        {L"C:\\linked\\gone.exe", true, false},            // a link on the way: nothing behind it is opened
        {L"C:\\plain\\..\\linked\\gone.exe", true, false},  // worked out as text first
        {L"C:\\plain\\gone.exe", true, true},              // every level opened as itself: missing
        {L"C:\\nowhere\\gone.exe", true, true},
        {L"\\\\host\\share\\gone.exe", true, false},     // never opened at all
        {L"C:\\linked\\gone.exe", false, true},           // the user's own value, as ever
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
    {
        const Case& c = cases[i];
        const HKEY hive = c.asLocalSystem ? HKEY_USERS : HKEY_CURRENT_USER;
        const std::wstring key = c.asLocalSystem ? Other(kWindows) : std::wstring(kWindows);
        ASSERT_TRUE(SetRegText(hive, key, L"load", c.load));
        SetLocalSystemForTests(c.asLocalSystem);
        ResetLog();
        RepairWindowsLoad();
        std::wstring text = L"?";
        EXPECT_TRUE(GetRegText(hive, key, L"load", text));
        EXPECT_EQ(c.repaired ? std::wstring() : std::wstring(c.load), text) << c.load;
        EXPECT_EQ(c.repaired, !Logged().empty()) << c.load;
        SetRegText(hive, key, L"load", L"");
    }
    g_folderCalls = saved;
    ::RemoveDirectoryW(L"C:\\linked");
    ::RemoveDirectoryW(L"C:\\plain");
}

TEST_F(UserRootsTest, ARegistryValueNeverWritesLinesOfItsOwnIntoTheLog)
{
    // A line break and a tab in the value: the log line stays one line.
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kWindows, L"load", L"C:\\gone\\x.exe\r\n[forged]\tline"));
    RepairWindowsLoad();
    EXPECT_EQ("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows\\load \t"
              "C:\\gone\\x.exe??[forged]?line\r\n",
              Logged());
}
