// Force format with the sandbox's stand-in format.com: the window search by
// title, the Enter keystrokes, the wait, the exit code; the boot-time run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <windows.h>
#include <commctrl.h>

#include "app/force_format.h"
#include "tests/screen.h"
#include "tests/testing.h"

using namespace testing_util;

namespace {

const wchar_t kRecord[] = L"C:\\tests\\format-record.txt";
const wchar_t kFails[] = L"C:\\tests\\format-fails";

std::wstring SystemFormat()
{
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system) + L"\\format.com";
}

std::vector<std::wstring> Recorded()
{
    const std::string bytes = ReadFileBytes(kRecord);
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    std::vector<std::wstring> lines;
    std::wstring::size_type start = 0;
    for (std::wstring::size_type end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

class FormatTest : public ::testing::Test
{
protected:
    void SetUp()
    {
        // As from StickMedic (a window program): no console of our own, so
        // format.com gets a console window of its own.
        ::FreeConsole();
        ASSERT_TRUE(::CopyFileW(L"C:\\tests\\format.com", SystemFormat().c_str(), FALSE));
        ::DeleteFileW(kRecord);
        ::DeleteFileW(kFails);
    }
    void TearDown() { ::DeleteFileW(kFails); }
};

DWORD RunProgram(const std::wstring& arguments, DWORD wait = 60000)
{
    std::wstring command = L"\"C:\\tests\\StickMedic.exe\"" + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL, &startup, &info))
        return 0xFFFFFFFF;
    ::WaitForInputIdle(info.hProcess, 5000);
    DWORD code = STILL_ACTIVE;
    if (::WaitForSingleObject(info.hProcess, wait) == WAIT_TIMEOUT)
        ::TerminateProcess(info.hProcess, 99);
    ::WaitForSingleObject(info.hProcess, 5000);
    ::GetExitCodeProcess(info.hProcess, &code);
    ::CloseHandle(info.hProcess);
    ::CloseHandle(info.hThread);
    return code;
}

}  // namespace

TEST_F(FormatTest, TheDriveOfTheChosenFolderIsFormattedQuickly)
{
    EXPECT_EQ(1, FormatDrive(L"E:\\"));
    EXPECT_EQ(1, FormatDrive(L"E:\\photos"));
    const std::vector<std::wstring> lines = Recorded();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(SystemFormat() + L" /q/x E:", lines[0]);
    EXPECT_EQ(lines[0], lines[1]);
}

TEST_F(FormatTest, AFailingOrMissingFormatIsAFailure)
{
    ASSERT_TRUE(WriteFileBytes(kFails, "x"));
    EXPECT_EQ(0, FormatDrive(L"E:\\"));
    EXPECT_EQ(1u, Recorded().size()) << "it ran, answered, and failed";
    ::DeleteFileW(SystemFormat().c_str());
    EXPECT_EQ(0, FormatDrive(L"E:\\"));
}

TEST_F(FormatTest, SecondProcFormatsWithoutAWindowAndExitsWithZero)
{
    EXPECT_EQ(0u, RunProgram(L" second_proc E:\\"));
    EXPECT_EQ(0u, RunProgram(L" SECOND_PROC E:\\photos"));
    EXPECT_EQ(0u, RunProgram(L" second_proc")) << "no argument: nothing to format";
    const std::vector<std::wstring> lines = Recorded();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(SystemFormat() + L" /q/x E:", lines[0]);
    EXPECT_EQ(SystemFormat() + L" /q/x E:", lines[1]);
    // The switch needs the blank before it: at the very start it is no switch,
    // and the window shows (ended here after a while).
    std::wstring command = L"second_proc E:\\";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(::CreateProcessW(L"C:\\tests\\StickMedic.exe", &command[0], NULL, NULL, FALSE, 0, NULL, NULL,
                                 &startup, &info));
    EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(info.hProcess, 3000));
    ::TerminateProcess(info.hProcess, 0);
    ::WaitForSingleObject(info.hProcess, 5000);
    ::CloseHandle(info.hProcess);
    ::CloseHandle(info.hThread);
    EXPECT_EQ(2u, Recorded().size());
}

namespace {

const wchar_t kRunOnceKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

// Restarts the sandbox's Windows: RunOnce runs, and is emptied.
void RestartWindows()
{
    std::wstring command = L"wineboot.exe --restart";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(::CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(info.hProcess, 120000));
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
}

DWORD StickSerial()
{
    DWORD serial = 0;
    if (!::GetVolumeInformationW(L"E:\\", NULL, 0, &serial, NULL, NULL, NULL, 0))
        return 0;
    return serial;
}

std::wstring SerialText(DWORD serial)
{
    wchar_t text[16];
    wsprintfW(text, L"%08X", serial);
    return text;
}

// The RunOnce value as the program writes it for the stick E:.
std::wstring ScheduledFor(DWORD serial)
{
    return L"\"C:\\tests\\StickMedic.exe\" second_proc E:\\ " + SerialText(serial);
}

}  // namespace

TEST_F(FormatTest, TheBootTimeRunFormatsThroughRunOnce)
{
    CreateKey(HKEY_LOCAL_MACHINE, kRunOnceKey);
    // As an older version wrote it, without a serial number: formats as it is.
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kRunOnceKey, L"QuorvelKillerTools",
                           L"\"C:\\tests\\StickMedic.exe\" second_proc E:\\"));
    ASSERT_NO_FATAL_FAILURE(RestartWindows());
    std::vector<std::wstring> lines = Recorded();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(SystemFormat() + L" /q/x E:", lines[0]);
    std::wstring left;
    EXPECT_FALSE(GetRegText(HKEY_LOCAL_MACHINE, kRunOnceKey, L"QuorvelKillerTools", left)) << "RunOnce runs once";

    // As the program writes it now: the stick that is still there is formatted.
    const DWORD serial = StickSerial();
    ASSERT_NE(0u, serial);
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kRunOnceKey, L"QuorvelKillerTools", ScheduledFor(serial)));
    ASSERT_NO_FATAL_FAILURE(RestartWindows());
    lines = Recorded();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(SystemFormat() + L" /q/x E:", lines[1]);
}

TEST_F(FormatTest, TheBootTimeRunLeavesAnotherVolumeAtTheLetterAlone)
{
    // The stick chosen had another serial number than the volume that holds
    // E: at the next start: it was pulled, and another volume got the letter.
    // (Wine keeps a drive's serial number, .windows-serial in its root, for
    // the life of the wineserver, so the sandbox cannot swap the volume
    // itself; the schedule names another volume instead.)
    const DWORD serial = StickSerial();
    ASSERT_NE(0u, serial);
    const DWORD chosen = serial ^ 0x5A5A0001;
    CreateKey(HKEY_LOCAL_MACHINE, kRunOnceKey);
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, kRunOnceKey, L"QuorvelKillerTools", ScheduledFor(chosen)));
    ASSERT_NO_FATAL_FAILURE(RestartWindows());
    EXPECT_TRUE(Recorded().empty()) << "not the chosen volume: not formatted";
    std::wstring left;
    EXPECT_FALSE(GetRegText(HKEY_LOCAL_MACHINE, kRunOnceKey, L"QuorvelKillerTools", left)) << "RunOnce ran";

    // Started the same way by hand: exit code 0, nothing formatted; a drive
    // without a volume neither.
    EXPECT_EQ(0u, RunProgram(L" second_proc E:\\ " + SerialText(chosen)));
    EXPECT_EQ(0u, RunProgram(L" second_proc Q:\\ " + SerialText(serial)));
    EXPECT_TRUE(Recorded().empty());
    EXPECT_EQ(0u, RunProgram(L" second_proc E:\\ " + SerialText(serial)));
    EXPECT_EQ(1u, Recorded().size()) << "the chosen volume still there is formatted";
}

// The format button through the system's folder browser, driven from
// outside: the tree's items are selected by handle (their texts cannot be
// read from another process), expanded with the keyboard, and each choice is
// learnt from what the program does with it.
namespace {

// A window of the process: by title, or (NULL) the folder browser, the
// window that holds a tree.
HWND WaitTopLevel(DWORD pid, const wchar_t* title, DWORD milliseconds = 15000)
{
    return WaitProcessWindow(pid, title, milliseconds, title ? NULL : L"SysTreeView32");
}

void Key(HWND hwnd, UINT key)
{
    ::SendMessageW(hwnd, WM_KEYDOWN, key, 1);
    ::SendMessageW(hwnd, WM_KEYUP, key, 0xC0000001);
}

// The items below `item`, expanded first.
std::vector<HTREEITEM> ListChildren(HWND tree, HTREEITEM item)
{
    std::vector<HTREEITEM> children;
    for (HTREEITEM child = reinterpret_cast<HTREEITEM>(
             ::SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(item)));
         child; child = reinterpret_cast<HTREEITEM>(
                    ::SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(child))))
        children.push_back(child);
    return children;
}

// Expands the item and waits (bounded) until its children have come and
// stopped coming: the browser fills them in as the shell lists them.
std::vector<HTREEITEM> Children(HWND tree, HTREEITEM item)
{
    ::SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
    Key(tree, VK_RIGHT);
    std::vector<HTREEITEM> children;
    for (int i = 0; i < 50; ++i)
    {
        ::Sleep(200);
        const std::vector<HTREEITEM> now = ListChildren(tree, item);
        if (!now.empty() && now == children)
            break;
        children = now;
    }
    return children;
}

const wchar_t kRunOnce[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

class CMainWindow
{
public:
    CMainWindow()
    {
        std::wstring command = L"\"C:\\tests\\StickMedic.exe\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        ZeroMemory(&m_info, sizeof(m_info));
        ::CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL, &startup, &m_info);
        m_hWnd = WaitTopLevel(m_info.dwProcessId, L"QuorvelU盘专杀工具V1.3");
    }
    ~CMainWindow()
    {
        ::TerminateProcess(m_info.hProcess, 0);
        ::WaitForSingleObject(m_info.hProcess, 5000);
        ::CloseHandle(m_info.hProcess);
        ::CloseHandle(m_info.hThread);
    }
    // Presses the format button and chooses the item found by `path` (indexes
    // of children from the browser's root); the browser's window, or NULL.
    HWND Choose(const std::vector<size_t>& path)
    {
        ::PostMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(1006, BN_CLICKED), 0);
        HWND browser = WaitTopLevel(m_info.dwProcessId, NULL);
        if (!browser)
            return NULL;
        HWND tree = ::FindWindowExW(browser, NULL, L"SysTreeView32", NULL);
        HTREEITEM item = reinterpret_cast<HTREEITEM>(::SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
        for (size_t i = 0; i < path.size() && item; ++i)
        {
            const std::vector<HTREEITEM> children = Children(tree, item);
            item = path[i] < children.size() ? children[path[i]] : NULL;
        }
        if (!item)
        {
            ::PostMessageW(browser, WM_COMMAND, IDCANCEL, 0);
            for (int i = 0; i < 100 && ::IsWindow(browser); ++i)
                ::Sleep(50);
            return NULL;
        }
        ::SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
        ::Sleep(200);
        return browser;
    }
    // The result dialog after a choice, closed; the restart prompt it may
    // bring answered with No.
    bool CloseResult()
    {
        HWND result = WaitTopLevel(m_info.dwProcessId, L"注意", 10000);
        if (!result)
            return false;
        m_strSentence.resize(512);
        ::GetWindowTextW(::GetDlgItem(result, 1019), &m_strSentence[0], 512);
        m_strSentence.resize(lstrlenW(m_strSentence.c_str()));
        ::PostMessageW(result, WM_COMMAND, IDCANCEL, 0);
        // With a format at restart pending, the system's restart question
        // follows: answer No.
        if (HWND prompt = WaitProcessWindow(m_info.dwProcessId, NULL, 5000, NULL, IDNO))
            ::PostMessageW(prompt, WM_COMMAND, IDNO, 0);
        for (int i = 0; i < 100 && ::IsWindow(result); ++i)
            ::Sleep(50);
        return true;
    }

    PROCESS_INFORMATION m_info;
    HWND m_hWnd;
    std::wstring m_strSentence;
};

}  // namespace

namespace {

// Chooses the item at `path` and returns what the program scheduled ("" when
// the browser offered no such item or no file-system path for it).
std::wstring ScheduleChoice(CMainWindow& program, const std::vector<size_t>& path)
{
    HWND browser = program.Choose(path);
    if (!browser)
        return std::wstring();
    if (!::IsWindowEnabled(::GetDlgItem(browser, IDOK)))
    {
        ::PostMessageW(browser, WM_COMMAND, IDCANCEL, 0);
        for (int i = 0; i < 100 && ::IsWindow(browser); ++i)
            ::Sleep(50);
        return std::wstring();  // a virtual folder: nothing to format
    }
    ::PostMessageW(browser, WM_COMMAND, IDOK, 0);
    if (!program.CloseResult())
    {
        // What is on the screen instead, for the failure message.
        std::wstring seen = L"<no result dialog; windows:";
        for (HWND w = ::GetTopWindow(NULL); w; w = ::GetWindow(w, GW_HWNDNEXT))
        {
            DWORD pid = 0;
            ::GetWindowThreadProcessId(w, &pid);
            if (!::IsWindowVisible(w))
                continue;
            wchar_t title[128] = {0}, cls[64] = {0};
            ::GetWindowTextW(w, title, 128);
            ::GetClassNameW(w, cls, 64);
            seen += std::wstring(L" [") + cls + L"|" + title + L"]";
        }
        return seen + L">";
    }
    std::wstring value;
    GetRegText(HKEY_LOCAL_MACHINE, kRunOnce, L"QuorvelKillerTools", value);
    const std::wstring prefix = L"\"C:\\ProgramData\\corvaneTools\\StickMedic.exe\" second_proc ";
    // The drive's root, then its serial number (eight hexadecimal digits).
    if (value.find(prefix) != 0 || value.size() < prefix.size() + 9 || value[value.size() - 9] != L' ')
        return L"<" + value + L">";
    return value.substr(prefix.size(), value.size() - prefix.size() - 9);
}

}  // namespace

TEST_F(FormatTest, TheButtonSchedulesThroughTheFolderBrowserOnceTheBoxWasTicked)
{
    CMainWindow program;
    ASSERT_TRUE(program.m_hWnd != NULL);
    // Ticked, then the browser cancelled: the format at restart stays asked
    // for, so the next presses schedule even with the box unticked.
    HWND box = ::GetDlgItem(program.m_hWnd, 1023);
    ::SendMessageW(box, BM_SETCHECK, BST_CHECKED, 0);
    HWND browser = program.Choose(std::vector<size_t>());
    ASSERT_TRUE(browser != NULL);
    ::PostMessageW(browser, WM_COMMAND, IDCANCEL, 0);
    for (int i = 0; i < 100 && ::IsWindow(browser); ++i)
        ::Sleep(50);
    ::SendMessageW(box, BM_SETCHECK, BST_UNCHECKED, 0);
    // The computer's item is the first one whose first child is C:\; the
    // sandbox's drives follow in order, E:\ last (D:\ has no medium).
    size_t computer = 0;
    std::wstring first;
    for (; computer < 8 && first != L"C:\\"; ++computer)
    {
        std::vector<size_t> path(1, computer);
        path.push_back(0);
        first = ScheduleChoice(program, path);
    }
    ASSERT_EQ(L"C:\\", first);
    EXPECT_EQ(L"程序将在重启后格式化，请勿拔出U盘。客服：Quorvel安全社区 ", program.m_strSentence);
    std::wstring value;
    ASSERT_TRUE(GetRegText(HKEY_LOCAL_MACHINE, kRunOnce, L"QuorvelKillerTools", value));
    DWORD serial = 0;
    ASSERT_TRUE(::GetVolumeInformationW(L"C:\\", NULL, 0, &serial, NULL, NULL, NULL, 0));
    wchar_t expected[64];
    wsprintfW(expected, L"\"C:\\ProgramData\\corvaneTools\\StickMedic.exe\" second_proc C:\\ %08X", serial);
    // What runs at the next start is the program kept in its own folder.
    EXPECT_EQ(ReadFileBytes(L"C:\\tests\\StickMedic.exe"), ReadFileBytes(L"C:\\ProgramData\\corvaneTools\\StickMedic.exe"));
    EXPECT_EQ(expected, value);
    EXPECT_TRUE(Recorded().empty()) << "scheduling formats nothing now";
}

TEST_F(FormatTest, TheButtonFormatsTheChosenDriveNow)
{
    CMainWindow program;
    ASSERT_TRUE(program.m_hWnd != NULL);
    std::wstring chosen;
    for (size_t computer = 0; computer < 8 && Recorded().empty(); ++computer)
    {
        std::vector<size_t> path(1, computer);
        path.push_back(0);
        HWND browser = program.Choose(path);
        if (!browser)
            continue;
        if (!::IsWindowEnabled(::GetDlgItem(browser, IDOK)))
        {
            ::PostMessageW(browser, WM_COMMAND, IDCANCEL, 0);
            ::Sleep(300);
            continue;
        }
        ::PostMessageW(browser, WM_COMMAND, IDOK, 0);
        ASSERT_TRUE(program.CloseResult());
    }
    // The stand-in was started on the first drive, answered, and ended well.
    const std::vector<std::wstring> lines = Recorded();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(SystemFormat() + L" /q/x C:", lines[0]);
    EXPECT_EQ(L"格式化完成。客服：Quorvel安全社区 ", program.m_strSentence);
    wchar_t text[64] = {0};
    ::GetWindowTextW(::GetDlgItem(program.m_hWnd, 1006), text, 64);
    EXPECT_STREQ(L"强力格式化", text);
    EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(program.m_hWnd, 1006)));
}
