// StickMedic.exe as a user meets it, driven through its windows only: this
// program finds the windows by title and control id, presses buttons, reads
// texts, and looks at pixels. A recorder stands in for the browser, the text
// viewer and the suite, so nothing ever leaves the sandbox.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include <shlobj.h>

#include "app/main_dlg_ids.h"
#include "app/result_dlg_ids.h"
#include "tests/screen.h"
#include "tests/window_driver.h"
#include "tests/testing.h"

using namespace testing_util;

namespace {

const wchar_t kRecorder[] = L"C:\\tests\\recorder.exe";
const wchar_t kRecord[] = L"C:\\tests\\recorder.txt";
const wchar_t kMainTitle[] = L"QuorvelU盘专杀工具V1.3";
const wchar_t kResultTitle[] = L"注意";
const wchar_t kPrompt[] = L"请点击“开始查杀”，立即检测并清除U盘病毒";

std::vector<std::wstring> Recorded(const std::wstring& file = kRecord, size_t atLeast = 1)
{
    std::vector<std::wstring> lines;
    for (int i = 0; i < 200; ++i)
    {
        const std::string bytes = ReadFileBytes(file);
        std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
        lines.clear();
        std::wstring::size_type start = 0;
        for (std::wstring::size_type end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
            lines.push_back(text.substr(start, end - start));
        if (lines.size() >= atLeast)
            break;
        ::Sleep(50);
    }
    return lines;
}

// Sends links to the recorder, and puts a recorder in the place of the
// system's text viewer (whose record goes beside it).
const wchar_t kViewerRecord[] = L"C:\\windows\\recorder.txt";
void RecordHandlers()
{
    const std::wstring command = std::wstring(L"\"") + kRecorder + L"\" \"%1\"";
    ASSERT_TRUE(SetRegText(HKEY_CLASSES_ROOT, L"http\\shell\\open\\command", NULL, command));
    // A viewer the user's file types name is never what opens the log.
    ASSERT_TRUE(SetRegText(HKEY_CLASSES_ROOT, L".log", NULL, L"stickmedic.logfile"));
    ASSERT_TRUE(SetRegText(HKEY_CLASSES_ROOT, L"stickmedic.logfile\\shell\\open\\command", NULL, command));
    ASSERT_TRUE(::CopyFileW(kRecorder, L"C:\\windows\\notepad.exe", FALSE));
}

class UiTest : public ::testing::Test
{
protected:
    void SetUp()
    {
        RecordHandlers();
        ::DeleteFileW(kRecord);
        DeleteKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quorvel");
    }
};

const COLORREF kBand = RGB(222, 239, 255);
const COLORREF kLinkBlue = RGB(48, 100, 165);

}  // namespace

TEST_F(UiTest, ScanEndsInTheResultDialogAndTheWindowComesBack)
{
    CProgram program;
    ASSERT_TRUE(program.Started());
    HWND main = WaitForWindow(program.Pid(), kMainTitle);
    ASSERT_TRUE(main != NULL);
    EXPECT_EQ(L"开始查杀", Text(main, IDC_MAIN_START_STOP));
    EXPECT_EQ(kPrompt, Text(main, IDC_MAIN_STATUS));
    EXPECT_EQ(L"Quorvel安全网", Text(main, IDC_MAIN_HOME_LINK));

    Press(main, IDC_MAIN_START_STOP);
    EXPECT_TRUE(WaitText(main, IDC_MAIN_START_STOP, L"停止查杀", 5000));
    CCapture(main).Save(L"C:\\tests\\shots\\main-scanning.bmp");
    HWND result = WaitForWindow(program.Pid(), kResultTitle, 60000);
    ASSERT_TRUE(result != NULL);
    CCapture(result).Save(L"C:\\tests\\shots\\result.bmp");
    EXPECT_EQ(L"正在扫描中。。。 ", Text(main, IDC_MAIN_STATUS));
    EXPECT_EQ(L"扫描完成，未发现异常。客服：Quorvel安全社区 ", Text(result, IDC_RESULT_SENTENCE));
    EXPECT_EQ(L"下载《Quorvel》，检测其他威胁？", Text(result, IDC_RESULT_QUESTION));
    EXPECT_FALSE(::IsWindowEnabled(main)) << "the result dialog is modal to the main window";

    Press(result, IDCANCEL);
    EXPECT_TRUE(WaitGone(result));
    EXPECT_TRUE(WaitText(main, IDC_MAIN_START_STOP, L"开始查杀", 5000));
    EXPECT_TRUE(WaitText(main, IDC_MAIN_STATUS, kPrompt, 5000));  // set right after the button
    EXPECT_TRUE(Recorded(kRecord, 0).empty()) << "Cancel opens nothing";
    Press(main, IDCANCEL);
    EXPECT_EQ(2u, program.WaitExit(10000));
}

TEST_F(UiTest, StartThenStopEndsInOneResultDialog)
{
    CProgram program;
    HWND main = WaitForWindow(program.Pid(), kMainTitle);
    ASSERT_TRUE(main != NULL);
    Press(main, IDC_MAIN_START_STOP);
    Press(main, IDC_MAIN_START_STOP);
    HWND result = WaitForWindow(program.Pid(), kResultTitle, 60000);
    ASSERT_TRUE(result != NULL);
    const std::wstring sentence = Text(result, IDC_RESULT_SENTENCE);
    EXPECT_TRUE(sentence.find(L"未发现异常。") != std::wstring::npos) << sentence.size();
    Press(result, IDOK);
    EXPECT_TRUE(WaitGone(result));
    EXPECT_TRUE(WaitText(main, IDC_MAIN_START_STOP, L"开始查杀", 5000));
    ::Sleep(1000);
    EXPECT_TRUE(FindProcessWindow(program.Pid(), kResultTitle) == NULL) << "exactly one completion";
    // OK without the suite opened its download.
    const std::vector<std::wstring> lines = Recorded();
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[0].find(L"http://dl.quorvel.com/"));
}

TEST_F(UiTest, EscapeClosesWithTwoEvenDuringAScan)
{
    CProgram program;
    HWND main = WaitForWindow(program.Pid(), kMainTitle);
    ASSERT_TRUE(main != NULL);
    // Pressed synchronously, Esc right behind it: the scan (about a second)
    // is surely still running when the key arrives.
    HWND focus = ::GetDlgItem(main, IDC_MAIN_START_STOP);
    ::SendMessageW(main, WM_COMMAND, MAKEWPARAM(IDC_MAIN_START_STOP, BN_CLICKED), reinterpret_cast<LPARAM>(focus));
    ::PostMessageW(focus, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    EXPECT_EQ(L"停止查杀", Text(main, IDC_MAIN_START_STOP));
    ::PostMessageW(focus, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    EXPECT_EQ(2u, program.WaitExit(15000));
}

TEST_F(UiTest, LinksOpenTheMakersPagesAndTheLogLinkKeepsTheDialog)
{
    CProgram program;
    HWND main = WaitForWindow(program.Pid(), kMainTitle);
    ASSERT_TRUE(main != NULL);
    ClickLink(main, IDC_MAIN_FORUM_LINK);
    ClickLink(main, IDC_MAIN_HOME_LINK);
    ClickLink(main, IDC_MAIN_COMMUNITY_LINK);
    std::vector<std::wstring> lines = Recorded(kRecord, 3);
    ASSERT_EQ(3u, lines.size());
    // Each click starts a browser of its own: they may write in any order.
    const wchar_t* const pages[] = {L"/thread-728-1-1.html", L"www.quorvel.com/?fr=stickmedic",
                                    L"bbs.quorvel.com/?fr=stickmedic"};
    for (int i = 0; i < 3; ++i)
    {
        int found = 0;
        for (size_t j = 0; j < lines.size(); ++j)
            found += lines[j].find(pages[i]) != std::wstring::npos ? 1 : 0;
        EXPECT_EQ(1, found) << i;
    }

    Press(main, IDC_MAIN_START_STOP);
    HWND result = WaitForWindow(program.Pid(), kResultTitle, 60000);
    ASSERT_TRUE(result != NULL);
    ClickLink(result, IDC_RESULT_VIEW_LOG);
    ClickLink(result, IDC_RESULT_VIEW_LOG);
    const std::vector<std::wstring> viewer = Recorded(kViewerRecord, 2);
    ASSERT_EQ(2u, viewer.size());
    EXPECT_EQ(L"\"C:\\windows\\notepad.exe\" \"C:\\ProgramData\\corvaneTools\\StickMedic.log\"", viewer[0]);
    EXPECT_EQ(viewer[0], viewer[1]);
    EXPECT_EQ(3u, Recorded(kRecord, 3).size()) << "nothing through the user's file types";
    ::Sleep(300);
    EXPECT_TRUE(::IsWindowVisible(result)) << "the log link leaves the dialog open";
    Press(result, IDCANCEL);
    EXPECT_TRUE(WaitGone(result));
}

TEST_F(UiTest, TheInstalledSuiteIsStartedForAFastScan)
{
    ::CreateDirectoryW(L"C:\\Suite", NULL);
    ASSERT_TRUE(::CopyFileW(kRecorder, L"C:\\Suite\\quorvel.exe", FALSE));
    ASSERT_TRUE(SetRegText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quorvel", L"Install Path", L"C:\\Suite"));
    CProgram program;
    HWND main = WaitForWindow(program.Pid(), kMainTitle);
    ASSERT_TRUE(main != NULL);
    Press(main, IDC_MAIN_START_STOP);
    HWND result = WaitForWindow(program.Pid(), kResultTitle, 60000);
    ASSERT_TRUE(result != NULL);
    EXPECT_EQ(L"启动《Quorvel》，检测其他威胁？", Text(result, IDC_RESULT_QUESTION));
    Press(result, IDOK);
    const std::vector<std::wstring> lines = Recorded(L"C:\\Suite\\recorder.txt");
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[0].find(L"C:\\Suite\\quorvel.exe"));
    EXPECT_NE(std::wstring::npos, lines[0].find(L" -do:ui_virscan_fast"));

    // A folder without the program: the download is offered.
    ::DeleteFileW(L"C:\\Suite\\quorvel.exe");
    Press(main, IDCANCEL);
    program.WaitExit(10000);
    CProgram second;
    main = WaitForWindow(second.Pid(), kMainTitle);
    ASSERT_TRUE(main != NULL);
    Press(main, IDC_MAIN_START_STOP);
    result = WaitForWindow(second.Pid(), kResultTitle, 60000);
    ASSERT_TRUE(result != NULL);
    EXPECT_EQ(L"下载《Quorvel》，检测其他威胁？", Text(result, IDC_RESULT_QUESTION));
    Press(result, IDCANCEL);
}

TEST_F(UiTest, TheBandsLogoAndLinksAreDrawnAsDesigned)
{
    CProgram program;
    HWND main = WaitForWindow(program.Pid(), kMainTitle);
    ASSERT_TRUE(main != NULL);
    ::Sleep(500);
    const CCapture shot(main);
    shot.Save(L"C:\\tests\\shots\\main.bmp");
    const int right = shot.m_clientWidth;
    const int bottom = shot.m_clientHeight;
    const COLORREF face = ::GetSysColor(COLOR_BTNFACE);
    // Title band: rows 0..39 in the band colour at its right end, a black line at 40.
    EXPECT_EQ(kBand, shot.At(right - 5, 2));
    EXPECT_EQ(kBand, shot.At(right - 5, 39));
    EXPECT_EQ(RGB(0, 0, 0), shot.At(right - 5, 40));
    EXPECT_EQ(RGB(0, 0, 0), shot.At(1, 40));
    EXPECT_EQ(face, shot.At(right - 5, 41));
    // Bottom band: its line at bottom - 40, the band below it.
    EXPECT_EQ(face, shot.At(right - 5, bottom - 41));
    EXPECT_EQ(RGB(0, 0, 0), shot.At(right - 5, bottom - 40));
    EXPECT_EQ(kBand, shot.At(right - 5, bottom - 39));
    EXPECT_EQ(kBand, shot.At(right - 5, bottom - 1));
    // The logo: 86 x 27 at (right - 100, bottom - 33), drawn over the band.
    const RECT logo = {right - 100, bottom - 33, right - 14, bottom - 6};
    const int logoArea = (logo.right - logo.left) * (logo.bottom - logo.top);
    const int bandInLogo = shot.Count(logo, kBand);
    EXPECT_GT(bandInLogo, logoArea / 3) << "drawn on the band colour";
    EXPECT_LT(bandInLogo, logoArea - 100) << "the logo's own pixels are there";
    const RECT leftOfLogo = {right - 110, bottom - 33, right - 101, bottom - 6};
    EXPECT_EQ((leftOfLogo.right - leftOfLogo.left) * (leftOfLogo.bottom - leftOfLogo.top), shot.Count(leftOfLogo, kBand));
    // Links: blue text, on the face colour for 1009 and on the band for 1011 and 1012.
    RECT link;
    ::GetWindowRect(::GetDlgItem(main, IDC_MAIN_FORUM_LINK), &link);
    ::MapWindowPoints(NULL, main, reinterpret_cast<POINT*>(&link), 2);
    EXPECT_GT(shot.Count(link, kLinkBlue), 20);
    EXPECT_GT(shot.Count(link, face), 20);
    ::GetWindowRect(::GetDlgItem(main, IDC_MAIN_HOME_LINK), &link);
    ::MapWindowPoints(NULL, main, reinterpret_cast<POINT*>(&link), 2);
    EXPECT_GT(shot.Count(link, kLinkBlue), 20);
    EXPECT_GT(shot.Count(link, kBand), 20);
    EXPECT_EQ(0, shot.Count(link, face));
}

TEST(Fonts, ChineseTextsHaveGlyphsInTheDialogFont)
{
    // The dialogs ask for 宋体; the sandbox maps it to a CJK font, so the
    // texts are drawn, not shown as empty boxes.
    LOGFONTW font = {};
    font.lfHeight = -12;
    font.lfCharSet = GB2312_CHARSET;
    lstrcpyW(font.lfFaceName, L"宋体");
    HFONT handle = ::CreateFontIndirectW(&font);
    HDC dc = ::CreateCompatibleDC(NULL);
    HGDIOBJ previous = ::SelectObject(dc, handle);
    const wchar_t text[] = L"开始查杀强力格式化重启格式化注意扫描完成";
    WORD glyphs[32] = {0};
    const int count = lstrlenW(text);
    ASSERT_EQ(static_cast<DWORD>(count), ::GetGlyphIndicesW(dc, text, count, glyphs, GGI_MARK_NONEXISTING_GLYPHS));
    for (int i = 0; i < count; ++i)
        EXPECT_NE(0xFFFF, glyphs[i]) << i;
    ::SelectObject(dc, previous);
    ::DeleteDC(dc);
    ::DeleteObject(handle);
}

TEST_F(UiTest, EveryStartRewritesFixReg)
{
    wchar_t appdata[MAX_PATH] = {0};
    ::SHGetFolderPathW(NULL, CSIDL_APPDATA, NULL, 0, appdata);
    const std::wstring fix = std::wstring(appdata) + L"\\fix.reg";
    ASSERT_TRUE(WriteFileBytes(fix, "changed by someone"));
    for (int run = 0; run < 2; ++run)
    {
        CProgram program;
        HWND main = WaitForWindow(program.Pid(), kMainTitle);
        ASSERT_TRUE(main != NULL);
        const std::string bytes = ReadFileBytes(fix);
        EXPECT_EQ(1237u, bytes.size());
        EXPECT_EQ(0u, bytes.find("Windows Registry Editor Version 5.00\r\n\r\n"));
        Press(main, IDOK);
        EXPECT_EQ(1u, program.WaitExit(10000));
        WriteFileBytes(fix, "x");
    }
}
