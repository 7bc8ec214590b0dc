#include "killers/reg_fx.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdio>

#include "killers/key_permissions.h"
#include "killers/lnk_killer.h"
#include "killers/reg_script.h"
#include "killers/scan_log.h"
#include "killers/shell_notice.h"
#include "platform/array_count.h"
#include "platform/reg_views.h"
#include "platform/registry.h"
#include "platform/target_probe.h"
#include "platform/user_hives.h"
#include "undo/change_gate.h"

const char kLogExeAssociationFixed[] = "修复exe文件打不开的问题\r\n";

namespace {

const wchar_t kWinlogonKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const char kLogUserinit[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon\\Userinit\t";
const char kLogShell[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon\\Shell\t";

// The hidden-files option: which radio button means what.
struct CheckedValueRow
{
    const wchar_t* key;  // below HKEY_LOCAL_MACHINE
    DWORD expected;
};
const CheckedValueRow kHiddenOption[] = {
    {L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\NOHIDDEN", 2},
    {L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden\\SHOWALL", 1},
};

const wchar_t kComputerClsid[] = L"SOFTWARE\\Classes\\CLSID\\{20D04FE0-3AEA-1069-A2D8-08002B30309D}";
const wchar_t kFolderOpenKey[] = L"Folder\\shell\\open\\command";
const wchar_t kFolderOpenExpected[] = L"%SystemRoot%\\Explorer.exe /idlist,%I,%L";
const wchar_t kWindowsKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
const char kLogLoad[] = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows\\load \t";

// Open commands of file types, below HKEY_LOCAL_MACHINE ("<WD>": the
// Windows directory with its trailing backslash).
struct OpenCommandRow
{
    const wchar_t* key;
    const wchar_t* expected;
};
const OpenCommandRow kOpenCommands[] = {
    {L"SOFTWARE\\Classes\\batfile\\shell\\open\\command", L"\"%1\" %*"},
    {L"SOFTWARE\\Classes\\chm.file\\shell\\open\\command", L"\"<WD>hh.exe\" %1"},
    {L"SOFTWARE\\Classes\\inffile\\shell\\open\\command", L"<WD>NOTEPAD.EXE %1"},
    {L"SOFTWARE\\Classes\\inifile\\shell\\open\\command", L"<WD>NOTEPAD.EXE %1"},
    {L"SOFTWARE\\Classes\\txtfile\\shell\\open\\command", L"<WD>NOTEPAD.EXE %1"},
    {L"SOFTWARE\\Classes\\hlpfile\\shell\\open\\command", L"<WD>winhlp32.exe %1"},
    {L"SOFTWARE\\Classes\\cmdfile\\shell\\open\\command", L"\"%1\" %*"},
    {L"SOFTWARE\\Classes\\regfile\\shell\\open\\command", L"regedit.exe \"%1\""},
};

// The shortcut association's checks; any failing one has the shortcut
// script imported.
const wchar_t kLnkHandlerKey[] =
    L"SOFTWARE\\Classes\\lnkfile\\shellex\\ContextMenuHandlers\\{00021401-0000-0000-C000-000000000046}";
const wchar_t kLnkFileKey[] = L"SOFTWARE\\Classes\\lnkfile";
const wchar_t kLnkExtKey[] = L".lnk";
const wchar_t kLnkFileExtsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk";
const wchar_t kLnkUserChoiceKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk\\UserChoice";

const char kLogLnkHandlerMissing[] =
    "桌面图标无法打开，缺少SOFTWARE\\Classes\\lnkfile\\shellex\\ContextMenuHandlers\\"
    "{00021401-0000-0000-C000-000000000046}\r\n";
const char kLogLnkFileName[] = "快捷方式注释异常 \r\n";
const char kLogLnkExt[] = "桌面图标无法打开，缺少HKEY_CLASSES_ROOT\\.lnk lnkfile \r\n";
const char kLogLnkUserChoice[] = "异常 Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk\\UserChoice \r\n";
const char kLogLnkApplication[] = "异常 Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk application \r\n";

// The key path as a log prefix: ASCII, the same in every code page.
std::string KeyPrefix(const wchar_t* key) { return ToLogText(key) + "\t"; }

// Group 2: each check answers whether the shortcut association below its
// root is damaged; `rootName` names a user's root.
bool LnkHandlerMissing(HKEY root, const std::wstring&)
{
    CRegKey key;
    if (key.Open(root, kLnkHandlerKey) == ERROR_SUCCESS)
        return false;
    ScanLog::AppendText(kLogLnkHandlerMissing);
    return true;
}

bool LnkFileNameWrong(HKEY root, const std::wstring&)
{
    CRegKey key;
    if (key.Open(root, kLnkFileKey) != ERROR_SUCCESS)
        return false;
    std::wstring text;
    ReadRegString(key, L"", text);
    if (::lstrcmpiW(text.c_str(), L"快捷方式") == 0 || ::StrStrIW(text.c_str(), L"shortcut"))
        return false;
    ScanLog::AppendText(kLogLnkFileName);
    return true;
}

bool LnkExtWrong(HKEY root, const std::wstring&)
{
    CRegKey key;
    if (key.Open(root, kLnkExtKey) != ERROR_SUCCESS)
        return false;
    std::wstring text;
    ReadRegString(key, L"", text);
    if (::lstrcmpiW(text.c_str(), L"lnkfile") == 0)
        return false;
    ScanLog::AppendText(kLogLnkExt);
    return true;
}

bool LnkUserChoicePresent(HKEY root, const std::wstring& rootName)
{
    CRegKey key;
    if (key.Open(root, kLnkUserChoiceKey) != ERROR_SUCCESS)
        return false;
    GateDeleteValue(key, L"Progid");
    ScanLog::AppendText(kLogLnkUserChoice);
    key.Close();
    // The choice is usually locked against deletion; the keys get the
    // access list of the user whose root it is.
    const CUserKeyAccessRoot user(rootName);
    GateResetKeyAccess(root, ResetUserKeyPermissions, kLnkFileExtsKey);
    GateResetKeyAccess(root, ResetUserKeyPermissions, kLnkUserChoiceKey);
    if (key.Open(root, kLnkFileExtsKey) == ERROR_SUCCESS)
        GateDeleteTree(key, L"UserChoice");
    return true;
}

bool LnkApplicationPresent(HKEY root, const std::wstring&)
{
    CRegKey key;
    if (key.Open(root, kLnkFileExtsKey) != ERROR_SUCCESS)
        return false;
    std::wstring text;
    if (!ReadRegString(key, L"application", text))
        return false;
    ScanLog::AppendText(kLogLnkApplication);
    GateDeleteValue(key, L"application");
    return true;
}

struct LnkCheck
{
    HKEY root;  // kEachUserRoot: the check runs in every user's root
    bool (*damaged)(HKEY root, const std::wstring& rootName);
};
const LnkCheck kLnkChecks[] = {
    {HKEY_LOCAL_MACHINE, LnkHandlerMissing}, {HKEY_LOCAL_MACHINE, LnkFileNameWrong},
    {HKEY_CLASSES_ROOT, LnkExtWrong},        {kEachUserRoot, LnkUserChoicePresent},
    {kEachUserRoot, LnkApplicationPresent},
};

// One shortcut check on its way through its roots.
struct LnkStep
{
    const LnkCheck* check;
    bool damaged;
};

void RunLnkCheck(HKEY root, const std::wstring& rootName, void* context)
{
    LnkStep& step = *static_cast<LnkStep*>(context);
    if (step.check->damaged(root, rootName))
        step.damaged = true;
}

// The shortcut script: imported from the program's own copy; the user is
// given one in the temporary folder.
void ImportLnkFixScript() { ImportScriptResource(kLnkFixScriptId); }

}  // namespace

int CKillerForRegFX::Run(ICommunication* comm)
{
    m_pComm = comm;
    RepairWinlogon();
    RepairHiddenOption();
    RepairComputerOpen();
    RepairWindowsLoad();
    RepairAssociations();
    NotifyAssociationsChanged();
    return 0;
}

namespace {

void RepairWinlogonInView(REGSAM view)
{
    std::wstring sysdir, windir;
    CRegKey key;
    const REGSAM access = KEY_ALL_ACCESS | view;
    if (GetSystem32DirSlash(sysdir) && key.Open(HKEY_LOCAL_MACHINE, kWinlogonKey, access) == ERROR_SUCCESS)
    {
        std::wstring userinit;
        if (ReadRegString(key, L"Userinit", userinit) && !userinit.empty())
        {
            // "C:\WINDOWS\system32\userinit.exe,": every program listed must
            // exist; the log shows the first one.
            const std::wstring first = userinit.substr(0, userinit.find(L','));
            std::wstring::size_type start = 0;
            for (;;)
            {
                const std::wstring::size_type comma = userinit.find(L',', start);
                const std::wstring piece = userinit.substr(start, comma == std::wstring::npos ? comma : comma - start);
                if (!ProbeTargetFile(piece.c_str(), NULL))
                {
                    ScanLog::AppendLine(kLogUserinit, first);
                    GateSetString(key, L"Userinit", sysdir + L"userinit.exe");
                }
                if (comma == std::wstring::npos || comma + 1 >= userinit.size())
                    break;
                start = comma + 1;
            }
        }
    }
    if (GetWindowsDirSlash(windir) && key.Open(HKEY_LOCAL_MACHINE, kWinlogonKey, access) == ERROR_SUCCESS)
    {
        std::wstring shell;
        // A Shell that cannot be read is skipped.
        if (ReadRegString(key, L"Shell", shell) && !ProbeTargetFile(shell.c_str(), NULL))
        {
            ScanLog::AppendLine(kLogShell, shell);
            GateSetString(key, L"Shell", windir + L"explorer.exe");
        }
    }
}

}  // namespace

void RepairWinlogon()
{
    // Winlogon reads the native view; the 32-bit copy is kept healthy too.
    const RegViewList views = RegViewsForKey(HKEY_LOCAL_MACHINE, kWinlogonKey);
    for (size_t v = 0; v < views.count; ++v)
        RepairWinlogonInView(views.flags[v]);
}

namespace {

// One radio button of the hidden-files option in one registry view.
void RepairCheckedValue(const CheckedValueRow& row, REGSAM view)
{
    CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, row.key, KEY_ALL_ACCESS | view) != ERROR_SUCCESS)
        return;
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    ::RegQueryValueExW(key, L"CheckedValue", NULL, NULL, reinterpret_cast<BYTE*>(&value), &bytes);
    if (value == row.expected)
        return;
    char number[16];
    std::snprintf(number, sizeof(number), "%i", static_cast<int>(value));
    ScanLog::Append(KeyPrefix(row.key));
    ScanLog::AppendText(number);
    ScanLog::Append("\r\n", 2);
    GateSetDword(key, L"CheckedValue", row.expected);
}

// The computer folder's open verb in one registry view: removed, not
// rewritten, when its command names a file that is not there.
void RepairComputerVerb(REGSAM view)
{
    const std::wstring clsid(kComputerClsid);
    const REGSAM access = KEY_ALL_ACCESS | view;
    CRegKey key;
    std::wstring command;
    if (key.Open(HKEY_LOCAL_MACHINE, (clsid + L"\\shell\\open\\command").c_str(), access) == ERROR_SUCCESS &&
        ReadRegString(key, L"", command) && !CheckCommandTargets(command.c_str(), NULL))
    {
        // The verb is removed, not rewritten: the folder opens as it should.
        key.Close();
        if (key.Open(HKEY_LOCAL_MACHINE, (clsid + L"\\shell\\open").c_str(), access) == ERROR_SUCCESS)
            GateDeleteTree(key, L"command", view);
        if (key.Open(HKEY_LOCAL_MACHINE, clsid.c_str(), access) == ERROR_SUCCESS)
            GateDeleteTree(key, L"Shell", view);
        key.Close();
        ScanLog::AppendLine(KeyPrefix((clsid + L"\\shell\\open\\command").c_str()), command);
    }
}

}  // namespace

void RepairHiddenOption()
{
    for (size_t i = 0; i < ArrayCount(kHiddenOption); ++i)
    {
        const RegViewList views = RegViewsForKey(HKEY_LOCAL_MACHINE, kHiddenOption[i].key);
        for (size_t v = 0; v < views.count; ++v)
            RepairCheckedValue(kHiddenOption[i], views.flags[v]);
    }
}

void RepairComputerOpen()
{
    const RegViewList views = RegViewsForKey(HKEY_LOCAL_MACHINE, kComputerClsid);
    for (size_t v = 0; v < views.count; ++v)
        RepairComputerVerb(views.flags[v]);

    CRegKey key;
    std::wstring command;
    if (key.Open(HKEY_CLASSES_ROOT, kFolderOpenKey) == ERROR_SUCCESS && ReadRegString(key, L"", command) &&
        !CheckCommandTargets(command.c_str(), NULL))
    {
        GateSetString(key, L"", kFolderOpenExpected);
        ScanLog::AppendLine("HKEY_CLASSES_ROOT\\Folder\\shell\\open\\command\t", command);
    }
}

namespace {

void RepairWindowsLoadIn(HKEY root, const std::wstring&, void*)
{
    CRegKey key;
    std::wstring load;
    if (key.Open(root, kWindowsKey) != ERROR_SUCCESS || !ReadRegString(key, L"load", load))
        return;
    // As LocalSystem, another user's value is that user's text: its paths
    // are opened level by level, never through a link the user planted.
    const ProbeOwner owner = root == HKEY_CURRENT_USER ? kOwnValue : kOtherUsersValue;
    if (CheckCommandTargets(load.c_str(), NULL, kRemoteIsPresent, owner))
        return;
    ScanLog::AppendLine(kLogLoad, load);
    GateSetString(key, L"load", L"");
}

}  // namespace

void RepairWindowsLoad() { ForEachUserRoot(RepairWindowsLoadIn, NULL); }

void RepairAssociations()
{
    // Group 1: open commands of file types.
    for (size_t i = 0; i < ArrayCount(kOpenCommands); ++i)
    {
        CRegKey key;
        std::wstring command;
        if (key.Open(HKEY_LOCAL_MACHINE, kOpenCommands[i].key) != ERROR_SUCCESS || !ReadRegString(key, L"", command) ||
            CheckCommandTargets(command.c_str(), NULL))
            continue;
        ScanLog::AppendLine(KeyPrefix(kOpenCommands[i].key), command);
        GateSetString(key, L"", ExpandFolderMarks(kOpenCommands[i].expected));
    }

    // Group 2: the shortcut association; every check runs.
    bool lnkDamaged = false;
    for (size_t i = 0; i < ArrayCount(kLnkChecks); ++i)
    {
        LnkStep step = {&kLnkChecks[i], false};
        ForEachRootOf(kLnkChecks[i].root, RunLnkCheck, &step);
        if (step.damaged)
            lnkDamaged = true;
    }

    // Group 3: the shortcut registry script, imported without waiting.
    if (lnkDamaged)
        ImportLnkFixScript();

    // Group 4: the .exe association.
    if (RepairExeAssociation())
        ScanLog::AppendText(kLogExeAssociationFixed);
}
