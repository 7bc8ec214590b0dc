// The way back in the window, driven from outside as a user meets it: a
// scan's result dialog undoes the scan, the main window's "恢复…" lists the
// quarantines and restores one item, a second restore finds nothing left,
// and a refused restore says why. The demo's driver plants the infection.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include <shlobj.h>

#include "app/main_dlg_ids.h"
#include "app/quarantine_list_dlg_ids.h"
#include "app/result_dlg_ids.h"
#include "app/scan_run.h"
#include "app/undo_dlg_ids.h"
#include "platform/array_count.h"
#include "tests/screen.h"
#include "tests/testing.h"
#include "tests/window_driver.h"

using namespace testing_util;

namespace {

const wchar_t kMainTitle[] = L"QuorvelU盘专杀工具V1.3";
const wchar_t kResultTitle[] = L"注意";
const wchar_t kConfirmTitle[] = L"撤销本次修复";
const wchar_t kListTitle[] = L"恢复隔离的项目";
const wchar_t kQuarantineRoot[] = L"C:\\ProgramData\\corvaneTools\\Quarantine\\";
const wchar_t kLog[] = L"C:\\ProgramData\\corvaneTools\\StickMedic.log";
const DWORD kShownAttributes =
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY;

// ---- what the PC holds, to compare before the scan and after the undo ----

typedef std::map<std::wstring, std::string> State;

std::string AttributeText(DWORD attributes)
{
    char text[16];
    wsprintfA(text, "%08lx:", static_cast<unsigned long>(attributes & kShownAttributes));
    return text;
}

void AddFile(const std::wstring& path, State& state)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    state[path] = AttributeText(attributes) +
                  ((attributes & FILE_ATTRIBUTE_DIRECTORY) ? std::string() : ReadFileBytes(path));
}

void AddFolder(const std::wstring& folder, bool recursive, State& state)
{
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((folder + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do
    {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const bool isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (isFolder && !recursive)
            continue;
        AddFile(folder + name, state);
        if (isFolder)
            AddFolder(folder + name + L"\\", true, state);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
}

struct WatchedKey
{
    HKEY root;
    const wchar_t* rootName;
    const wchar_t* path;
};

// The keys the demo's infection and its cleaning touch.
const WatchedKey kWatchedKeys[] = {
    {HKEY_CURRENT_USER, L"HKCU", L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows"},
    {HKEY_LOCAL_MACHINE, L"HKLM", L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon"},
    {HKEY_LOCAL_MACHINE, L"HKLM", L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced\\Folder\\Hidden"},
    {HKEY_CURRENT_USER, L"HKCU", L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer"},
    {HKEY_CURRENT_USER, L"HKCU", L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2"},
    {HKEY_LOCAL_MACHINE, L"HKLM", L"SOFTWARE\\Classes\\txtfile\\shell\\open\\command"},
    {HKEY_LOCAL_MACHINE, L"HKLM", L"SOFTWARE\\Classes\\batfile\\shell\\open\\command"},
    {HKEY_CLASSES_ROOT, L"HKCR", L"lnkfile"},
    {HKEY_CLASSES_ROOT, L"HKCR", L".exe"},
    {HKEY_CLASSES_ROOT, L"HKCR", L".lnk"},
    {HKEY_CURRENT_USER, L"HKCU", L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.lnk"},
    {HKEY_CURRENT_USER, L"HKCU", L"Software\\Microsoft\\Windows\\CurrentVersion\\Run"},
};

void AddKey(HKEY root, const std::wstring& name, const std::wstring& path, State& state)
{
    HKEY key = NULL;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    state[name] = "key";
    for (DWORD i = 0;; ++i)
    {
        wchar_t value[512];
        DWORD valueLength = 512, type = 0, bytes = 0;
        std::vector<BYTE> data(65536);
        bytes = static_cast<DWORD>(data.size());
        if (::RegEnumValueW(key, i, value, &valueLength, NULL, &type, &data[0], &bytes) != ERROR_SUCCESS)
            break;
        char typeText[16];
        wsprintfA(typeText, "%lu:", static_cast<unsigned long>(type));
        state[name + L"\\\\" + value] = typeText + std::string(reinterpret_cast<char*>(&data[0]), bytes);
    }
    std::vector<std::wstring> subkeys;
    for (DWORD i = 0;; ++i)
    {
        wchar_t subkey[256];
        DWORD length = 256;
        if (::RegEnumKeyExW(key, i, subkey, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        subkeys.push_back(subkey);
    }
    ::RegCloseKey(key);
    for (size_t i = 0; i < subkeys.size(); ++i)
        AddKey(root, name + L"\\" + subkeys[i], path + L"\\" + subkeys[i], state);
}

std::wstring ShellFolder(int csidl)
{
    wchar_t path[MAX_PATH] = {0};
    ::SHGetFolderPathW(NULL, csidl, NULL, 0, path);
    return std::wstring(path) + L"\\";
}

// Every file and folder on the stick, the files in C:\, the PC's files the
// demo plants, and every value and key below the watched keys.
State ReadState()
{
    State state;
    AddFolder(L"E:\\", true, state);
    AddFolder(L"C:\\", false, state);
    wchar_t temp[MAX_PATH] = {0};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring files[] = {
        L"C:\\Program Files\\LnkHelper\\run.vbs",
        L"C:\\Program Files\\mosss.exe",
        L"C:\\windows\\system32\\fgahu.dll",
        ShellFolder(CSIDL_FAVORITES) + L"淘宝特卖.url",
        ShellFolder(CSIDL_FAVORITES) + L"网络赚钱宝典.url",
        ShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY) + L"淘宝-特卖.url",
        ShellFolder(CSIDL_APPDATA) + L"Microsoft\\svchost.vbs",
        ShellFolder(CSIDL_STARTUP) + L"svchost.vbs",
        std::wstring(temp) + L"x.db",
    };
    for (size_t i = 0; i < ArrayCount(files); ++i)
        AddFile(files[i], state);
    for (size_t i = 0; i < ArrayCount(kWatchedKeys); ++i)
        AddKey(kWatchedKeys[i].root, std::wstring(kWatchedKeys[i].rootName) + L"\\" + kWatchedKeys[i].path,
               kWatchedKeys[i].path, state);
    return state;
}

// The entries that differ, by name: what is missing, changed or new.
std::wstring Differences(const State& before, const State& after)
{
    std::wstring text;
    for (State::const_iterator i = before.begin(); i != before.end(); ++i)
    {
        State::const_iterator found = after.find(i->first);
        if (found == after.end())
            text += L"missing: " + i->first + L"\n";
        else if (found->second != i->second)
            text += L"changed: " + i->first + L"\n";
    }
    for (State::const_iterator i = after.begin(); i != after.end(); ++i)
        if (before.find(i->first) == before.end())
            text += L"new: " + i->first + L"\n";
    return text;
}

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, NULL, 0, NULL, NULL);
    narrow.resize(bytes > 0 ? bytes - 1 : 0);
    if (bytes > 1)
        ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &narrow[0], bytes, NULL, NULL);
    return narrow;
}

// ---- the windows ------------------------------------------------------------

bool RunPlanter()
{
    return RunWithOutput(L"C:\\tests\\demo_driver.exe", L"plant", L"C:\\tests\\plant.txt", 60000) == 0;
}

// Presses "开始查杀", answers a restart prompt with No, and waits for the
// result dialog.
HWND ScanToResult(CProgram& program, HWND main)
{
    Press(main, IDC_MAIN_START_STOP);
    for (int i = 0; i < 2400; ++i, ::Sleep(50))
    {
        if (HWND prompt = FindProcessWindow(program.Pid(), NULL, NULL, IDNO))
            ::PostMessageW(prompt, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
        if (HWND result = FindProcessWindow(program.Pid(), kResultTitle))
        {
            ::Sleep(300);
            return result;
        }
    }
    return NULL;
}

bool ButtonEnabled(HWND dialog, int id) { return ::IsWindowEnabled(::GetDlgItem(dialog, id)) != FALSE; }

// Waits for the restore dialog to end its work, asking it something every
// few milliseconds; `slowAnswers` names each answer that took over `limit`
// ms (when, and how long). The dialog.
HWND WaitRestoreDone(DWORD pid, std::string& slowAnswers, DWORD limit = 100)
{
    slowAnswers.clear();
    HWND restore = WaitProcessWindow(pid, NULL, 20000, NULL, IDC_RESTORE_LINES);
    if (!restore)
        return NULL;
    const DWORD start = ::GetTickCount();
    for (int i = 0; i < 3000 && !ButtonEnabled(restore, IDOK); ++i)
    {
        DWORD_PTR answer = 0;
        const DWORD asked = ::GetTickCount();
        ::SendMessageTimeoutW(restore, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer);
        const DWORD took = ::GetTickCount() - asked;
        if (took > limit)
        {
            char text[64];
            wsprintfA(text, " at %lu ms: %lu ms;", static_cast<unsigned long>(asked - start),
                      static_cast<unsigned long>(took));
            slowAnswers += text;
        }
        ::Sleep(20);
    }
    return ButtonEnabled(restore, IDOK) ? restore : NULL;
}

std::wstring ListRow(HWND list, int row)
{
    const LRESULT length = ::SendMessageW(list, LB_GETTEXTLEN, row, 0);
    if (length == LB_ERR)
        return std::wstring();
    std::vector<wchar_t> text(static_cast<size_t>(length) + 1, L'\0');
    ::SendMessageW(list, LB_GETTEXT, row, reinterpret_cast<LPARAM>(&text[0]));
    return &text[0];
}

int ListCount(HWND dialog, int id) { return static_cast<int>(::SendMessageW(::GetDlgItem(dialog, id), LB_GETCOUNT, 0, 0)); }

// The quarantine folders, oldest first.
std::vector<std::wstring> Quarantines()
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((std::wstring(kQuarantineRoot) + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do
    {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && data.cFileName[0] != L'.')
            names.push_back(std::wstring(kQuarantineRoot) + data.cFileName + L"\\");
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return names;
}

// PendingFileRenameOperations as one text.
std::wstring PendingDeletions()
{
    HKEY key = NULL;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ,
                        &key) != ERROR_SUCCESS)
        return std::wstring();
    std::vector<wchar_t> list(65536, L'\0');
    DWORD bytes = static_cast<DWORD>((list.size() - 2) * sizeof(wchar_t));
    const LONG status = ::RegQueryValueExW(key, L"PendingFileRenameOperations", NULL, NULL,
                                           reinterpret_cast<BYTE*>(&list[0]), &bytes);
    ::RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return std::wstring();
    std::wstring text(&list[0], bytes / sizeof(wchar_t));
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = text[i] ? text[i] : L'|';
    return text;
}

// Lines of the log file that begin with `prefix` (GBK bytes).
int LogLinesStartingWith(const std::string& prefix)
{
    const std::string log = ReadFileBytes(kLog);
    int count = 0;
    for (std::string::size_type at = 0; (at = log.find("\r\n" + prefix, at)) != std::string::npos; at += 2)
        ++count;
    return count;
}
const char kLogRestoredBytes[] = "\xBB\xD6\xB8\xB4\t";                      // "恢复\t"
const char kLogRegistryBytes[] = "\xBB\xD6\xB8\xB4\xD7\xA2\xB2\xE1\xB1\xED\t";  // "恢复注册表\t"

// A hidden folder on the stick with a program of its name beside it: the
// drive-file walk deletes the program and shows the folder again.
void PlantImpostor()
{
    ::CreateDirectoryW(L"E:\\Setup", NULL);
    ASSERT_TRUE(WriteFileBytes(L"E:\\Setup\\readme.txt", "the user's"));
    ::SetFileAttributesW(L"E:\\Setup", FILE_ATTRIBUTE_HIDDEN);
    ASSERT_TRUE(WriteFileBytes(L"E:\\Setup.exe", TinyImage(2048)));
}

}  // namespace

namespace {

// Scans in the window and closes the result dialog; false when either fails.
bool ScanAndCloseResult(CProgram& program, HWND main)
{
    HWND result = ScanToResult(program, main);
    if (!result)
        return false;
    Press(result, IDCANCEL);
    return WaitGone(result);
}

}  // namespace

TEST(UndoUi, TheMainWindowsListRestoresOneItemAndThenHasNothingLeftOfIt)
{
    PlantImpostor();
    const std::string installer = ReadFileBytes(L"E:\\Setup.exe");
    const int logged = LogLinesStartingWith(kLogRestoredBytes);
    CProgram program;
    HWND main = WaitProcessWindow(program.Pid(), kMainTitle, 20000);
    ASSERT_TRUE(main != NULL);
    ASSERT_TRUE(ScanAndCloseResult(program, main));
    ASSERT_FALSE(FileExists(L"E:\\Setup.exe"));

    ClickLink(main, IDC_MAIN_RESTORE_LINK);
    HWND list = WaitProcessWindow(program.Pid(), kListTitle, 10000);
    ASSERT_TRUE(list != NULL);
    ::Sleep(200);
    ASSERT_LE(1, ListCount(list, IDC_LIST_QUARANTINES));
    const std::wstring quarantineRow = ListRow(::GetDlgItem(list, IDC_LIST_QUARANTINES), 0);
    EXPECT_NE(std::wstring::npos, quarantineRow.find(L" 2 项：文件 1，属性 1")) << Narrow(quarantineRow);
    HWND items = ::GetDlgItem(list, IDC_LIST_ITEMS);
    int setup = -1;
    std::wstring rows;
    for (int row = 0; row < ListCount(list, IDC_LIST_ITEMS); ++row)
    {
        rows += ListRow(items, row) + L"\n";
        if (ListRow(items, row) == L"文件  E:\\Setup.exe")
            setup = row;
    }
    ASSERT_NE(-1, setup) << Narrow(rows);
    EXPECT_FALSE(ButtonEnabled(list, IDC_LIST_RESTORE_CHOSEN)) << "nothing chosen yet";

    // Chosen twice: first it comes back, then nothing is left of it.
    const wchar_t* const sentences[] = {L"恢复完成：1 项已恢复。", L"没有可恢复的项目：它们已经恢复过了。"};
    for (int round = 0; round < 2; ++round)
    {
        ::SendMessageW(items, LB_SETSEL, TRUE, setup);
        ::SendMessageW(list, WM_COMMAND, MAKEWPARAM(IDC_LIST_ITEMS, LBN_SELCHANGE), reinterpret_cast<LPARAM>(items));
        EXPECT_TRUE(ButtonEnabled(list, IDC_LIST_RESTORE_CHOSEN)) << round;
        Press(list, IDC_LIST_RESTORE_CHOSEN);
        std::string slow;
        HWND restore = WaitRestoreDone(program.Pid(), slow);
        ASSERT_TRUE(restore != NULL) << round;
        EXPECT_EQ(sentences[round], Text(restore, IDC_RESTORE_SENTENCE)) << round;
        Press(restore, IDOK);
        ASSERT_TRUE(WaitGone(restore));
        ::Sleep(300);
        items = ::GetDlgItem(list, IDC_LIST_ITEMS);
        EXPECT_EQ(L"文件  E:\\Setup.exe（已恢复）", ListRow(items, setup)) << round;
    }
    EXPECT_EQ(installer, ReadFileBytes(L"E:\\Setup.exe"));
    EXPECT_FALSE(FileExists(L"E:\\Setup (restored).exe")) << "not put back twice";
    EXPECT_FALSE(::GetFileAttributesW(L"E:\\Setup") & FILE_ATTRIBUTE_HIDDEN) << "the folder's item was not chosen";
    EXPECT_EQ(logged + 1, LogLinesStartingWith(kLogRestoredBytes));
    Press(list, IDCANCEL);
    ASSERT_TRUE(WaitGone(list));
    Press(main, IDCANCEL);
    EXPECT_EQ(2u, program.WaitExit(10000));
    ::DeleteFileW(L"E:\\Setup.exe");
    RemoveTree(L"E:\\Setup");
}

// A restore that cannot be made says so and why, never that it is done.
struct RefusedCase
{
    const char* name;
    void (*prepare)(CScanLock& lock);
    const wchar_t* sentence;
};

void RemoveQuarantine(CScanLock&)
{
    const std::vector<std::wstring> folders = Quarantines();
    for (size_t i = 0; i < folders.size(); ++i)
        RemoveTree(folders[i].substr(0, folders[i].size() - 1));
}

void HoldScanLock(CScanLock& lock) { ASSERT_EQ(CScanLock::kHeld, lock.Acquire(0)); }

const RefusedCase kRefusedCases[] = {
    {"the quarantine folder is gone", RemoveQuarantine, L"未恢复：隔离文件夹已不存在。"},
    {"a scan holds the lock", HoldScanLock, L"未恢复：另一个查杀或恢复正在进行，请稍后再试。"},
};

TEST(UndoUi, ARefusedUndoSaysWhyAndPutsNothingBack)
{
    for (size_t i = 0; i < ArrayCount(kRefusedCases); ++i)
    {
        const RefusedCase& refused = kRefusedCases[i];
        PlantImpostor();
        CProgram program;
        HWND main = WaitProcessWindow(program.Pid(), kMainTitle, 20000);
        ASSERT_TRUE(main != NULL) << refused.name;
        HWND result = ScanToResult(program, main);
        ASSERT_TRUE(result != NULL) << refused.name;
        ASSERT_FALSE(FileExists(L"E:\\Setup.exe")) << refused.name;
        CScanLock lock;
        refused.prepare(lock);
        ClickLink(result, IDC_RESULT_UNDO);
        HWND confirm = WaitProcessWindow(program.Pid(), kConfirmTitle, 10000);
        ASSERT_TRUE(confirm != NULL) << refused.name;
        Press(confirm, IDYES);
        std::string slow;
        HWND restore = WaitRestoreDone(program.Pid(), slow);
        ASSERT_TRUE(restore != NULL) << refused.name;
        EXPECT_EQ("", slow) << refused.name << ": the window answered while the restore waited";
        EXPECT_EQ(refused.sentence, Text(restore, IDC_RESTORE_SENTENCE)) << refused.name;
        EXPECT_FALSE(FileExists(L"E:\\Setup.exe")) << refused.name;
        lock.Release();
        Press(restore, IDOK);
        Press(result, IDCANCEL);
        Press(main, IDCANCEL);
        EXPECT_EQ(2u, program.WaitExit(10000)) << refused.name;
        RemoveQuarantine(lock);
        RemoveTree(L"E:\\Setup");
    }
}

// Last: it leaves the demo's infection back on the PC.
TEST(UndoUi, UndoFromTheResultDialogPutsEveryFileAttributeAndValueBack)
{
    ASSERT_TRUE(RunPlanter());
    const State before = ReadState();
    CProgram program;
    HWND main = WaitProcessWindow(program.Pid(), kMainTitle, 20000);
    ASSERT_TRUE(main != NULL);
    HWND result = ScanToResult(program, main);
    ASSERT_TRUE(result != NULL);
    ASSERT_FALSE(Differences(before, ReadState()).empty()) << "the scan cleaned something";
    ASSERT_TRUE(::IsWindowVisible(::GetDlgItem(result, IDC_RESULT_UNDO)));
    EXPECT_EQ(L"撤销本次修复", Text(result, IDC_RESULT_UNDO));
    CCapture(result).Save(L"C:\\tests\\shots\\result-undo-link.bmp");

    ClickLink(result, IDC_RESULT_UNDO);
    HWND confirm = WaitProcessWindow(program.Pid(), kConfirmTitle, 10000);
    ASSERT_TRUE(confirm != NULL);
    ::Sleep(200);
    const std::wstring question = Text(confirm, IDC_UNDO_QUESTION);
    const std::wstring head = L"将恢复本次删除和修改的 ";
    const std::wstring tail = L" 项，病毒也会一同恢复。是否继续？";
    ASSERT_EQ(0u, question.find(head)) << Narrow(question);
    ASSERT_EQ(question.size() - tail.size(), question.find(tail)) << Narrow(question);
    const int count = _wtoi(question.substr(head.size()).c_str());
    EXPECT_GT(count, 10) << Narrow(question);
    EXPECT_NE(std::wstring::npos, Text(confirm, IDC_UNDO_NOT_BACK).find(L"结束的病毒进程"));
    EXPECT_TRUE(::GetWindowLongW(::GetDlgItem(confirm, IDNO), GWL_STYLE) & BS_DEFPUSHBUTTON) << "No is the default";
    EXPECT_FALSE(::GetWindowLongW(::GetDlgItem(confirm, IDYES), GWL_STYLE) & BS_DEFPUSHBUTTON);
    EXPECT_FALSE(::IsWindowVisible(::GetDlgItem(confirm, IDC_UNDO_ITEMS)));
    Press(confirm, IDC_UNDO_SHOW_ITEMS);
    ::Sleep(300);
    EXPECT_TRUE(::IsWindowVisible(::GetDlgItem(confirm, IDC_UNDO_ITEMS)));
    EXPECT_GE(ListCount(confirm, IDC_UNDO_ITEMS), count);
    CCapture(confirm).Save(L"C:\\tests\\shots\\undo-confirm.bmp");

    Press(confirm, IDYES);
    // Wine keeps the registry in its server, which serialises the registry
    // editor's import with every message between the processes: here the
    // window is only asked to answer at all (the refused restores below
    // time it to 100 ms while their worker waits).
    std::string slow;
    HWND restore = WaitRestoreDone(program.Pid(), slow, 2000);
    ASSERT_TRUE(restore != NULL);
    EXPECT_EQ("", slow) << "the window kept answering while it restored";
    wchar_t done[64];
    wsprintfW(done, L"恢复完成：%d 项已恢复。", count);
    EXPECT_EQ(done, Text(restore, IDC_RESTORE_SENTENCE));
    CCapture(restore).Save(L"C:\\tests\\shots\\undo-done.bmp");
    Press(restore, IDOK);
    EXPECT_TRUE(WaitGone(restore));

    EXPECT_EQ("", Narrow(Differences(before, ReadState()))) << "every file, attribute, value and key back";
    EXPECT_EQ(std::wstring::npos, PendingDeletions().find(L"mosss.exe")) << "its deletion at the next start cancelled";
    EXPECT_GT(LogLinesStartingWith(kLogRestoredBytes), 5);
    EXPECT_EQ(1, LogLinesStartingWith(kLogRegistryBytes));

    // A second undo of the same scan finds nothing left.
    ClickLink(result, IDC_RESULT_UNDO);
    confirm = WaitProcessWindow(program.Pid(), kConfirmTitle, 10000);
    ASSERT_TRUE(confirm != NULL);
    Press(confirm, IDYES);
    restore = WaitRestoreDone(program.Pid(), slow);
    ASSERT_TRUE(restore != NULL);
    EXPECT_EQ(L"没有可恢复的项目：它们已经恢复过了。", Text(restore, IDC_RESTORE_SENTENCE));
    Press(restore, IDOK);
    Press(result, IDCANCEL);
    Press(main, IDCANCEL);
    EXPECT_EQ(2u, program.WaitExit(10000));
}

TEST(UndoUi, AnItemThatCannotComeBackIsShownWithItsReason)
{
    PlantImpostor();
    CProgram program;
    HWND main = WaitProcessWindow(program.Pid(), kMainTitle, 20000);
    ASSERT_TRUE(main != NULL);
    ASSERT_TRUE(ScanAndCloseResult(program, main));
    ASSERT_FALSE(FileExists(L"E:\\Setup.exe"));
    // Every byte of the quarantines' kept copies changed: none matches its
    // SHA-256 any more.
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW((std::wstring(kQuarantineRoot) + L"*").c_str(), &found);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    int spoiled = 0;
    do
    {
        const std::wstring pack = std::wstring(kQuarantineRoot) + found.cFileName + L"\\kept.bin";
        std::string bytes = ReadFileBytes(pack);
        if (bytes.empty())
            continue;
        for (size_t b = 0; b < bytes.size(); ++b)
            bytes[b] = static_cast<char>(bytes[b] ^ 0x20);
        ASSERT_TRUE(WriteFileBytes(pack, bytes));
        ++spoiled;
    } while (::FindNextFileW(find, &found));
    ::FindClose(find);
    ASSERT_LE(1, spoiled);

    ClickLink(main, IDC_MAIN_RESTORE_LINK);
    HWND list = WaitProcessWindow(program.Pid(), kListTitle, 10000);
    ASSERT_TRUE(list != NULL);
    ::Sleep(200);
    HWND items = ::GetDlgItem(list, IDC_LIST_ITEMS);
    int setup = -1;
    for (int row = 0; row < ListCount(list, IDC_LIST_ITEMS); ++row)
        if (ListRow(items, row) == L"文件  E:\\Setup.exe")
            setup = row;
    ASSERT_NE(-1, setup);
    ::SendMessageW(items, LB_SETSEL, TRUE, setup);
    ::SendMessageW(list, WM_COMMAND, MAKEWPARAM(IDC_LIST_ITEMS, LBN_SELCHANGE), reinterpret_cast<LPARAM>(items));
    Press(list, IDC_LIST_RESTORE_CHOSEN);
    std::string slow;
    HWND restore = WaitRestoreDone(program.Pid(), slow);
    ASSERT_TRUE(restore != NULL);
    EXPECT_EQ(std::wstring::npos, Text(restore, IDC_RESTORE_SENTENCE).find(L"恢复完成")) << "never done";
    HWND lines = ::GetDlgItem(restore, IDC_RESTORE_LINES);
    ASSERT_EQ(1, static_cast<int>(::SendMessageW(lines, LB_GETCOUNT, 0, 0)));
    EXPECT_EQ(L"未恢复  E:\\Setup.exe：保存的副本与其 SHA-256 不符", ListRow(lines, 0));
    EXPECT_FALSE(FileExists(L"E:\\Setup.exe"));
    Press(restore, IDOK);
    ASSERT_TRUE(WaitGone(restore));
    Press(list, IDCANCEL);
    ASSERT_TRUE(WaitGone(list));
    Press(main, IDCANCEL);
    EXPECT_EQ(2u, program.WaitExit(10000));
    RemoveTree(L"E:\\Setup");
}
