// System registry repair and the permission reset, on the sandbox registry.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <shlobj.h>

#include "killers/key_permissions.h"
#include "killers/reg_fx.h"
#include "killers/scan_log.h"
#include "killers/shell_notice.h"
#include "platform/handles.h"
#include "platform/registry.h"
#include "tests/testing.h"

using namespace testing_util;

namespace {

const wchar_t kWinlogon[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const wchar_t kHidden[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden";
const wchar_t kComputer[] = L"SOFTWARE\\Classes\\CLSID\\{20D04FE0-3AEA-1069-A2D8-08002B30309D}";
const wchar_t kFileExts[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk";
const wchar_t kMarker[] =
    L"SOFTWARE\\Classes\\lnkfile\\shellex\\ContextMenuHandlers\\{00021401-0000-0000-C000-000000000046}";

std::wstring Dir(UINT(WINAPI* get)(LPWSTR, UINT))
{
    wchar_t path[MAX_PATH] = {0};
    get(path, MAX_PATH);
    return std::wstring(path) + L"\\";
}
std::wstring SysDir() { return Dir(::GetSystemDirectoryW); }
std::wstring WinDir() { return Dir(::GetWindowsDirectoryW); }
std::string Narrow(const std::wstring& text) { return ToLogText(text.c_str()); }

class RegFxTest : public ::testing::Test
{
protected:
    void SetUp()
    {
        ResetLog();
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

TEST_F(RegFxTest, CleanSandboxIsLeftAlone)
{
    CKillerForRegFX command;
    EXPECT_EQ(0, command.Run(NULL));
    EXPECT_EQ("", Logged());
}

namespace {

// A window of this process that hears the shell's association notices,
// whether the shell sends or posts them.
class CAssociationListener
{
public:
    CAssociationListener() : m_window(NULL), m_id(0)
    {
        WNDCLASSW type = {};
        type.lpfnWndProc = Count;
        type.hInstance = ::GetModuleHandleW(NULL);
        type.lpszClassName = L"AssociationListener";
        ::RegisterClassW(&type);
        m_window = ::CreateWindowExW(0, type.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
        SHChangeNotifyEntry entry = {NULL, TRUE};
        m_id = ::SHChangeNotifyRegister(m_window, SHCNRF_ShellLevel, SHCNE_ASSOCCHANGED, kMessage, 1, &entry);
        s_heard = 0;
    }
    ~CAssociationListener()
    {
        if (m_id)
            ::SHChangeNotifyDeregister(m_id);
        ::DestroyWindow(m_window);
    }
    bool Ready() const { return m_window && m_id; }
    // How many notices arrived since the last question.
    int Heard()
    {
        MSG message;
        while (::PeekMessageW(&message, m_window, 0, 0, PM_REMOVE))
            ::DispatchMessageW(&message);
        const int heard = s_heard;
        s_heard = 0;
        return heard;
    }

private:
    static LRESULT CALLBACK Count(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == kMessage)
            ++s_heard;
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
    static const UINT kMessage = WM_APP + 7;
    static int s_heard;
    HWND m_window;
    ULONG m_id;
};
int CAssociationListener::s_heard = 0;

}  // namespace

TEST(ShellNotice, AScanTellsTheShellOnceAfterItsEndAndAnyOtherCallerAtOnce)
{
    CAssociationListener listener;
    ASSERT_TRUE(listener.Ready());
    NotifyAssociationsChanged();
    EXPECT_EQ(1, listener.Heard());
    {
        const CShellNoticeAtEnd scan;
        {
            const CShellNoticeAtEnd nested;
        }
        EXPECT_EQ(0, listener.Heard()) << "nothing asked: nothing sent";
        CKillerForRegFX command;
        EXPECT_EQ(0, command.Run(NULL));
        NotifyAssociationsChanged();
        EXPECT_EQ(0, listener.Heard());
    }
    EXPECT_EQ(1, listener.Heard());
}

namespace {

DWORD WINAPI NoticeOnceShown(void* shown)
{
    const CShellNoticeAtEnd worker(static_cast<HANDLE>(shown), INFINITE);
    NotifyAssociationsChanged();
    return 0;
}

}  // namespace

TEST(ShellNotice, TheWorkersNoticeWaitsForTheResultOnTheScreen)
{
    CAssociationListener listener;
    ASSERT_TRUE(listener.Ready());
    CHandle shown(::CreateEventW(NULL, TRUE, FALSE, NULL));
    CHandle worker(::CreateThread(NULL, 0, NoticeOnceShown, shown.Get(), 0, NULL));
    ASSERT_TRUE(worker.IsValid());
    for (int i = 0; i < 10; ++i)
    {
        EXPECT_EQ(0, listener.Heard());
        EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(worker, 10));
    }
    ::SetEvent(shown);
    int heard = 0;
    const HANDLE ended = worker.Get();
    while (::MsgWaitForMultipleObjects(1, &ended, FALSE, 10000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
        heard += listener.Heard();
    EXPECT_EQ(1, heard + listener.Heard());
}

TEST_F(RegFxTest, UserinitNamingAMissingProgramIsReset)
{
    const std::wstring healthy = SysDir() + L"userinit.exe,";
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kWinlogon, L"Userinit", healthy));
    RepairWinlogon();
    EXPECT_EQ("", Logged());

    // A second program that exists passes; a missing one fails.
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kWinlogon, L"Userinit", SysDir() + L"userinit.exe," + WinDir() + L"notepad.exe"));
    RepairWinlogon();
    EXPECT_EQ("", Logged());
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kWinlogon, L"Userinit",
                           SysDir() + L"userinit.exe,C:\\gone\\worm.exe,"));
    RepairWinlogon();
    EXPECT_EQ("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon\\Userinit\t" + Narrow(SysDir()) +
                  "userinit.exe\r\n",
              Logged());
    std::wstring text;
    GetRegText(HKEY_LOCAL_MACHINE, kWinlogon, L"Userinit", text);
    EXPECT_EQ(SysDir() + L"userinit.exe", text);
    SetRegText(HKEY_LOCAL_MACHINE, kWinlogon, L"Userinit", healthy);
}

TEST_F(RegFxTest, ShellIsProbedAsOneFileName)
{
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kWinlogon, L"Shell", L"Explorer.exe"));
    RepairWinlogon();
    EXPECT_EQ("", Logged());
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kWinlogon, L"Shell", L"Explorer.exe C:\\windows\\notepad.exe"));
    RepairWinlogon();
    EXPECT_EQ("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon\\Shell\tExplorer.exe C:\\windows\\notepad.exe\r\n",
              Logged());
    std::wstring text;
    GetRegText(HKEY_LOCAL_MACHINE, kWinlogon, L"Shell", text);
    EXPECT_EQ(WinDir() + L"explorer.exe", text);

    // A Shell that cannot be read as text is skipped.
    const DWORD number = 5;
    ASSERT_TRUE(SetRegValue(HKEY_LOCAL_MACHINE, kWinlogon, L"Shell", REG_DWORD, &number, sizeof(number)));
    ResetLog();
    RepairWinlogon();
    EXPECT_EQ("", Logged());
    SetRegText(HKEY_LOCAL_MACHINE, kWinlogon, L"Shell", L"explorer.exe");
}

TEST_F(RegFxTest, HiddenFileOptionsArePutBack)
{
    const std::wstring nohidden = std::wstring(kHidden) + L"\\NOHIDDEN";
    const std::wstring showall = std::wstring(kHidden) + L"\\SHOWALL";
    ASSERT_TRUE(SetRegDword(HKEY_LOCAL_MACHINE, nohidden, L"CheckedValue", 3));
    HKEY key = NULL;
    ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, showall.c_str(), 0, KEY_ALL_ACCESS, &key);
    ::RegDeleteValueW(key, L"CheckedValue");
    ::RegCloseKey(key);
    RepairHiddenOption();
    EXPECT_EQ(Narrow(nohidden) + "\t3\r\n" + Narrow(showall) + "\t0\r\n", Logged());
    DWORD value = 0;
    EXPECT_TRUE(GetRegDword(HKEY_LOCAL_MACHINE, nohidden, L"CheckedValue", value));
    EXPECT_EQ(2u, value);
    EXPECT_TRUE(GetRegDword(HKEY_LOCAL_MACHINE, showall, L"CheckedValue", value));
    EXPECT_EQ(1u, value);
}

TEST_F(RegFxTest, ComputerVerbNamingAMissingProgramIsRemoved)
{
    const std::wstring command = std::wstring(kComputer) + L"\\shell\\open\\command";
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, command, NULL, L"C:\\gone\\worm.exe /start"));
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, std::wstring(kComputer) + L"\\shell\\explore", NULL, L"x"));
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kComputer, L"InfoTip", L"kept"));
    RepairComputerOpen();
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kComputer) + L"\\shell"));
    std::wstring text;
    EXPECT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, kComputer, L"InfoTip", text));
    EXPECT_EQ(Narrow(command) + "\tC:\\gone\\worm.exe /start\r\n", Logged());

    // Folder's open command: rewritten, not removed.
    ResetLog();
    ASSERT_TRUE(SetRegText(HKEY_CLASSES_ROOT, L"Folder\\shell\\open\\command", NULL, L"C:\\gone\\x.exe %1"));
    RepairComputerOpen();
    GetRegText(HKEY_CLASSES_ROOT, L"Folder\\shell\\open\\command", NULL, text);
    EXPECT_EQ(L"%SystemRoot%\\Explorer.exe /idlist,%I,%L", text);
    EXPECT_EQ("HKEY_CLASSES_ROOT\\Folder\\shell\\open\\command\tC:\\gone\\x.exe %1\r\n", Logged());
}

TEST_F(RegFxTest, LoadValueNamingAMissingScriptIsEmptied)
{
    const wchar_t windows[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, windows, L"load", L"C:\\gone\\worm.vbs"));
    RepairWindowsLoad();
    EXPECT_EQ("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows\\load \tC:\\gone\\worm.vbs\r\n",
              Logged());
    std::wstring text = L"?";
    DWORD type = 0;
    EXPECT_TRUE(GetRegText(HKEY_CURRENT_USER, windows, L"load", text, &type));
    EXPECT_EQ(L"", text);
    EXPECT_EQ(DWORD(REG_SZ), type);
    const std::string once = Logged();
    RepairWindowsLoad();  // empty now: valid
    EXPECT_EQ(once, Logged());
}

TEST_F(RegFxTest, FileTypeCommandsNamingMissingProgramsAreRewritten)
{
    const std::wstring txt = L"SOFTWARE\\Classes\\txtfile\\shell\\open\\command";
    const std::wstring chm = L"SOFTWARE\\Classes\\chm.file\\shell\\open\\command";
    const std::wstring bat = L"SOFTWARE\\Classes\\batfile\\shell\\open\\command";
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, txt, NULL, L"notepad.exe %1"));
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, bat, NULL, L"\"%1\" %*"));
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, chm, NULL, L"C:\\gone\\hh.exe \"%1\""));
    RepairAssociations();
    EXPECT_EQ("SOFTWARE\\Classes\\chm.file\\shell\\open\\command\tC:\\gone\\hh.exe \"%1\"\r\n", Logged());
    std::wstring text;
    GetRegText(HKEY_LOCAL_MACHINE, chm, NULL, text);
    EXPECT_EQ(L"\"" + WinDir() + L"hh.exe\" %1", text);

    ResetLog();
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, txt, NULL, L"C:\\gone\\worm.exe %1"));
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, bat, NULL, L"gone.vbs \"%1\" %*"));
    RepairAssociations();
    EXPECT_EQ("SOFTWARE\\Classes\\batfile\\shell\\open\\command\tgone.vbs \"%1\" %*\r\n"
              "SOFTWARE\\Classes\\txtfile\\shell\\open\\command\tC:\\gone\\worm.exe %1\r\n",
              Logged());
    GetRegText(HKEY_LOCAL_MACHINE, txt, NULL, text);
    EXPECT_EQ(WinDir() + L"NOTEPAD.EXE %1", text);
    GetRegText(HKEY_LOCAL_MACHINE, bat, NULL, text);
    EXPECT_EQ(L"\"%1\" %*", text);
    SetRegText(HKEY_LOCAL_MACHINE, txt, NULL, L"%SystemRoot%\\system32\\NOTEPAD.EXE %1");
}

TEST_F(RegFxTest, ShortcutNameMayBeChineseOrSayShortcut)
{
    const wchar_t* const names[] = {L"Shortcut to file", L"SHORTCUT", L"快捷方式"};
    for (int i = 0; i < 3; ++i)
    {
        ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\lnkfile", NULL, names[i]));
        RepairAssociations();
        EXPECT_EQ("", Logged()) << i;
    }
}

TEST_F(RegFxTest, UserChoiceForShortcutsIsDeletedAndTheScriptImported)
{
    const std::wstring choice = std::wstring(kFileExts) + L"\\UserChoice";
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, choice, L"Progid", L"wormfile"));
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, kFileExts, L"application", L"worm.exe"));
    // The script must bring the shortcut association back: take it away.
    DeleteKey(HKEY_CLASSES_ROOT, L"lnkfile");
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring script = std::wstring(temp) + L"LNKFIX.REG";
    ::DeleteFileW(script.c_str());

    RepairAssociations();
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, choice));
    std::wstring text;
    EXPECT_FALSE(GetRegText(HKEY_CURRENT_USER, kFileExts, L"application", text));
    EXPECT_EQ(Hex("D7 C0 C3 E6 CD BC B1 EA CE DE B7 A8 B4 F2 BF AA A3 AC C8 B1 C9 D9") +
                  "SOFTWARE\\Classes\\lnkfile\\shellex\\ContextMenuHandlers\\{00021401-0000-0000-C000-000000000046}\r\n" +
                  Hex("D2 EC B3 A3") + " Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk\\UserChoice \r\n" +
                  Hex("D2 EC B3 A3") + " Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk application \r\n",
              Logged());
    EXPECT_EQ(1593u, ReadFileBytes(script).size());
    ASSERT_TRUE(WaitForKey(HKEY_LOCAL_MACHINE, kMarker)) << "the registry editor imported LNKFIX.REG";
    ASSERT_TRUE(WaitForKey(HKEY_CLASSES_ROOT, L"lnkfile\\shellex\\PropertySheetHandlers\\ShimLayer Property Page"));
    ::Sleep(500);
    EXPECT_TRUE(GetRegText(HKEY_CLASSES_ROOT, L"lnkfile", NULL, text));
    EXPECT_EQ(L"快捷方式", text);
    ResetLog();
    RepairAssociations();
    EXPECT_EQ("", Logged()) << "repaired";
}

TEST_F(RegFxTest, ShortcutExtensionAndNameChecks)
{
    ASSERT_TRUE(SetRegText(HKEY_CLASSES_ROOT, L".lnk", NULL, L"txtfile"));
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\lnkfile", NULL, L"Worm link"));
    RepairAssociations();
    EXPECT_EQ(Hex("BF EC BD DD B7 BD CA BD D7 A2 CA CD D2 EC B3 A3 20 0D 0A") +
                  Hex("D7 C0 C3 E6 CD BC B1 EA CE DE B7 A8 B4 F2 BF AA A3 AC C8 B1 C9 D9") +
                  "HKEY_CLASSES_ROOT\\.lnk lnkfile \r\n",
              Logged());
    ASSERT_TRUE(WaitForKey(HKEY_LOCAL_MACHINE, kMarker));
    for (int i = 0; i < 100; ++i)
    {
        std::wstring text;
        if (GetRegText(HKEY_CLASSES_ROOT, L".lnk", NULL, text) && text == L"lnkfile")
            break;
        ::Sleep(50);
    }
    ::Sleep(300);
    ResetLog();
    RepairAssociations();
    EXPECT_EQ("", Logged());
}

TEST_F(RegFxTest, ExeAssociationAsExpandableTextIsRewrittenWithOneLine)
{
    ASSERT_TRUE(SetRegText(HKEY_CLASSES_ROOT, L".exe", NULL, L"exefile", REG_EXPAND_SZ));
    RepairAssociations();
    EXPECT_EQ(Hex("D0 DE B8 B4") + "exe" + Hex("CE C4 BC FE B4 F2 B2 BB BF AA B5 C4 CE CA CC E2 0D 0A"), Logged());
    std::wstring text;
    DWORD type = 0;
    GetRegText(HKEY_CLASSES_ROOT, L".exe", NULL, text, &type);
    EXPECT_EQ(DWORD(REG_SZ), type);
}

TEST_F(RegFxTest, BadValuesAreSkipped)
{
    const std::wstring txt = L"SOFTWARE\\Classes\\txtfile\\shell\\open\\command";
    const DWORD number = 1;
    ASSERT_TRUE(SetRegValue(HKEY_LOCAL_MACHINE, txt, NULL, REG_DWORD, &number, sizeof(number)));
    ASSERT_TRUE(SetRegValue(HKEY_LOCAL_MACHINE, kWinlogon, L"Userinit", REG_MULTI_SZ, L"C:\\gone.exe\0\0", 26));
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows", L"load",
                           L"C:\\" + std::wstring(600, L'a') + L".vbs"));
    ASSERT_TRUE(SetRegValue(HKEY_CLASSES_ROOT, L"Folder\\shell\\open\\command", NULL, REG_BINARY, "abc", 3));
    ASSERT_TRUE(SetRegValue(HKEY_LOCAL_MACHINE, kWinlogon, L"Shell", REG_SZ, L"explorer.exeXX", 25));
    CKillerForRegFX command;
    command.Run(NULL);
    EXPECT_EQ("", Logged());
    SetRegText(HKEY_LOCAL_MACHINE, txt, NULL, L"%SystemRoot%\\system32\\NOTEPAD.EXE %1");
    SetRegText(HKEY_LOCAL_MACHINE, kWinlogon, L"Userinit", SysDir() + L"userinit.exe,");
    SetRegText(HKEY_LOCAL_MACHINE, kWinlogon, L"Shell", L"explorer.exe");
    SetRegText(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows", L"load", L"");
    SetRegText(HKEY_CLASSES_ROOT, L"Folder\\shell\\open\\command", NULL, L"%SystemRoot%\\Explorer.exe /idlist,%I,%L");
}

// The permission reset on real access lists.
namespace {

void AddAce(PACL acl, bool allow, DWORD mask, WELL_KNOWN_SID_TYPE who)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    ASSERT_TRUE(::CreateWellKnownSid(who, NULL, sid, &size));
    if (allow)
        ASSERT_TRUE(::AddAccessAllowedAceEx(acl, ACL_REVISION, CONTAINER_INHERIT_ACE, mask, sid));
    else
        ASSERT_TRUE(::AddAccessDeniedAceEx(acl, ACL_REVISION, 0, mask, sid));
}

}  // namespace

TEST(KeyPermissions, ManyEntriesWithADenyBecomeTheUserSystemAndAdministrators)
{
    const std::wstring choice = std::wstring(kFileExts) + L"\\UserChoice";
    ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, choice, L"Progid", L"wormfile"));
    BYTE buffer[1024];
    PACL acl = reinterpret_cast<PACL>(buffer);
    ASSERT_TRUE(::InitializeAcl(acl, sizeof(buffer), ACL_REVISION));
    AddAce(acl, false, DELETE | KEY_SET_VALUE, WinWorldSid);
    AddAce(acl, true, KEY_READ, WinWorldSid);
    AddAce(acl, true, KEY_ALL_ACCESS, WinBuiltinAdministratorsSid);
    AddAce(acl, true, KEY_READ, WinLocalSystemSid);
    AddAce(acl, true, KEY_READ, WinBuiltinUsersSid);
    std::wstring name = L"CURRENT_USER\\" + choice;
    ASSERT_EQ(0u, ::SetNamedSecurityInfoW(&name[0], SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL, acl, NULL));
    // (Windows then refuses to delete the key; Wine does not enforce the
    // deny entry for an administrator, so that part is not shown here.)
    HKEY parent = NULL;
    ASSERT_EQ(0, ::RegOpenKeyExW(HKEY_CURRENT_USER, kFileExts, 0, KEY_ALL_ACCESS, &parent));
    {
        PACL before = NULL;
        PSECURITY_DESCRIPTOR descriptor = NULL;
        ASSERT_EQ(0u, ::GetNamedSecurityInfoW(&name[0], SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL,
                                              &before, NULL, &descriptor));
        EXPECT_EQ(5, before->AceCount);
        ::LocalFree(descriptor);
    }

    EXPECT_TRUE(ResetUserKeyPermissions(choice.c_str()));

    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    ASSERT_EQ(0u, ::GetNamedSecurityInfoW(&name[0], SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl,
                                          NULL, &descriptor));
    ASSERT_TRUE(dacl != NULL);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_EQ(0, control & SE_DACL_PROTECTED);  // inheritance from the parent goes on

    // Who this program runs as.
    HANDLE token = NULL;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
    BYTE userBuffer[256];
    DWORD userSize = 0;
    ASSERT_TRUE(::GetTokenInformation(token, TokenUser, userBuffer, sizeof(userBuffer), &userSize));
    ::CloseHandle(token);
    const PSID user = reinterpret_cast<TOKEN_USER*>(userBuffer)->User.Sid;
    BYTE system[SECURITY_MAX_SID_SIZE], admins[SECURITY_MAX_SID_SIZE], everyone[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(system);
    ::CreateWellKnownSid(WinLocalSystemSid, NULL, system, &size);
    size = sizeof(admins);
    ::CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, admins, &size);
    size = sizeof(everyone);
    ::CreateWellKnownSid(WinWorldSid, NULL, everyone, &size);
    const PSID expected[] = {user, system, admins};

    int explicitEntries = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i)
    {
        ACE_HEADER* header = NULL;
        ASSERT_TRUE(::GetAce(dacl, i, reinterpret_cast<void**>(&header)));
        if (header->AceFlags & INHERITED_ACE)
            continue;
        ASSERT_LT(explicitEntries, 3);
        ASSERT_EQ(ACCESS_ALLOWED_ACE_TYPE, header->AceType);
        EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, header->AceFlags);
        ACCESS_ALLOWED_ACE* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        EXPECT_EQ(DWORD(KEY_ALL_ACCESS), ace->Mask);
        EXPECT_TRUE(::EqualSid(&ace->SidStart, expected[explicitEntries])) << "entry " << explicitEntries;
        EXPECT_FALSE(::EqualSid(&ace->SidStart, everyone));
        ++explicitEntries;
    }
    ::LocalFree(descriptor);
    EXPECT_EQ(3, explicitEntries);
    EXPECT_EQ(0, DeleteRegKeyTree(parent, L"UserChoice"));
    ::RegCloseKey(parent);
}

TEST(KeyPermissions, MissingKeyIsAFailure)
{
    ::SetLastError(0);
    EXPECT_FALSE(ResetUserKeyPermissions(L"Software\\StickMedicTest\\does\\not\\exist"));
    EXPECT_NE(0u, ::GetLastError());
}

TEST(KeyPermissions, ALinkToAMachineKeyIsNeverGivenAway)
{
    // The user's choice made a link to a machine key: granting the user full
    // control there would hand over the machine.
    const std::wstring target = L"SOFTWARE\\StickMedicGuarded";
    ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, target));
    std::wstring machineName = L"MACHINE\\" + target;
    PACL before = NULL;
    PSECURITY_DESCRIPTOR beforeDescriptor = NULL;
    ASSERT_EQ(0u, ::GetNamedSecurityInfoW(&machineName[0], SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL,
                                          &before, NULL, &beforeDescriptor));
    const std::string beforeBytes(reinterpret_cast<const char*>(before), before ? before->AclSize : 0);
    ::LocalFree(beforeDescriptor);

    const std::wstring choice = std::wstring(kFileExts) + L"\\UserChoice";
    DeleteKey(HKEY_CURRENT_USER, choice);
    ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, kFileExts));
    ASSERT_TRUE(CreateRegistryLink(HKEY_CURRENT_USER, choice, L"\\REGISTRY\\MACHINE\\" + target));

    EXPECT_FALSE(ResetUserKeyPermissions(choice.c_str()));
    PACL after = NULL;
    PSECURITY_DESCRIPTOR afterDescriptor = NULL;
    ASSERT_EQ(0u, ::GetNamedSecurityInfoW(&machineName[0], SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL,
                                          &after, NULL, &afterDescriptor));
    EXPECT_EQ(beforeBytes, std::string(reinterpret_cast<const char*>(after), after ? after->AclSize : 0));
    ::LocalFree(afterDescriptor);
    HKEY parent = NULL;
    ASSERT_EQ(0, ::RegOpenKeyExW(HKEY_CURRENT_USER, kFileExts, 0, KEY_ALL_ACCESS, &parent));
    EXPECT_EQ(0, DeleteRegKeyTree(parent, L"UserChoice"));
    ::RegCloseKey(parent);
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, target)) << "the link went, not its target";
    DeleteKey(HKEY_LOCAL_MACHINE, target);
}
