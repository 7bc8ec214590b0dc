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

#include "tests/testing.h"

using namespace testing_util;

namespace {

const wchar_t kProgram[] = L"C:\\tests\\StickMedic.exe";
const wchar_t kRecorder[] = L"C:\\tests\\recorder.exe";
const wchar_t kRecord[] = L"C:\\tests\\recorder.txt";
const wchar_t kMainTitle[] = L"QuorvelU盘专杀工具V1.3";
const wchar_t kResultTitle[] = L"注意";
const wchar_t kPrompt[] = L"请点击“开始查杀”，立即检测并清除U盘病毒";

// The program under test, started and ended by the test.
class CProgram
{
public:
    explicit CProgram(const std::wstring& arguments = L"")
    {
        std::wstring command = std::wstring(L"\"") + kProgram + L"\"" + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        ZeroMemory(&m_info, sizeof(m_info));
        ::CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, L"C:\\tests", &startup, &m_info);
    }
    ~CProgram()
    {
        if (m_info.hProcess)
        {
            if (::WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT)
                ::TerminateProcess(m_info.hProcess, 99);
            ::WaitForSingleObject(m_info.hProcess, 5000);
            ::CloseHandle(m_info.hProcess);
            ::CloseHandle(m_info.hThread);
        }
    }
    bool Started() const { return m_info.hProcess != NULL; }
    DWORD Pid() const { return m_info.dwProcessId; }
    // The exit code, or STILL_ACTIVE when it has not ended within the wait.
    DWORD WaitExit(DWORD milliseconds)
    {
        ::WaitForSingleObject(m_info.hProcess, milliseconds);
        DWORD code = STILL_ACTIVE;
        ::GetExitCodeProcess(m_info.hProcess, &code);
        return code;
    }

    PROCESS_INFORMATION m_info;
};

struct FindRequest
{
    DWORD pid;
    const wchar_t* title;
    HWND found;
};

BOOL CALLBACK FindByTitle(HWND hwnd, LPARAM lParam)
{
    FindRequest* request = reinterpret_cast<FindRequest*>(lParam);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hwnd, &pid);
    wchar_t title[256] = {0};
    ::GetWindowTextW(hwnd, title, 256);
    if (pid == request->pid && lstrcmpW(title, request->title) == 0 && ::IsWindowVisible(hwnd))
    {
        request->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForWindow(DWORD pid, const wchar_t* title, DWORD milliseconds = 20000)
{
    const DWORD start = ::GetTickCount();
    do
    {
        FindRequest request = {pid, title, NULL};
        ::EnumWindows(FindByTitle, reinterpret_cast<LPARAM>(&request));
        if (request.found)
        {
            ::Sleep(200);  // let it paint
            return request.found;
        }
        ::Sleep(50);
    } while (::GetTickCount() - start < milliseconds);
    return NULL;
}

bool WaitGone(HWND hwnd, DWORD milliseconds = 10000)
{
    const DWORD start = ::GetTickCount();
    while (::IsWindow(hwnd) && ::IsWindowVisible(hwnd))
    {
        if (::GetTickCount() - start > milliseconds)
            return false;
        ::Sleep(50);
    }
    return true;
}

std::wstring Text(HWND dialog, int id)
{
    wchar_t text[512] = {0};
    ::GetWindowTextW(::GetDlgItem(dialog, id), text, 512);
    return text;
}

bool WaitText(HWND dialog, int id, const std::wstring& expected, DWORD milliseconds = 20000)
{
    const DWORD start = ::GetTickCount();
    while (Text(dialog, id) != expected)
    {
        if (::GetTickCount() - start > milliseconds)
            return false;
        ::Sleep(50);
    }
    return true;
}

// A press as the dialog sees it: the command of the control.
void Press(HWND dialog, int id)
{
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

// A click on a link control: down and up on it.
void ClickLink(HWND dialog, int id)
{
    HWND link = ::GetDlgItem(dialog, id);
    ::PostMessageW(link, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    ::PostMessageW(link, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
}

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

// The screen under a window, as 32-bit pixels; saved as a BMP for people.
class CCapture
{
public:
    explicit CCapture(HWND hwnd) : m_width(0), m_height(0)
    {
        ::GetWindowRect(hwnd, &m_window);
        POINT origin = {0, 0};
        ::ClientToScreen(hwnd, &origin);
        m_clientLeft = origin.x - m_window.left;
        m_clientTop = origin.y - m_window.top;
        RECT client;
        ::GetClientRect(hwnd, &client);
        m_clientWidth = client.right;
        m_clientHeight = client.bottom;
        m_width = m_window.right - m_window.left;
        m_height = m_window.bottom - m_window.top;
        HDC screen = ::GetDC(NULL);
        HDC memory = ::CreateCompatibleDC(screen);
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = m_width;
        info.bmiHeader.biHeight = -m_height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        void* bits = NULL;
        HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, NULL, 0);
        HGDIOBJ previous = ::SelectObject(memory, bitmap);
        ::BitBlt(memory, 0, 0, m_width, m_height, screen, m_window.left, m_window.top, SRCCOPY);
        ::GdiFlush();
        m_pixels.assign(static_cast<const DWORD*>(bits), static_cast<const DWORD*>(bits) + m_width * m_height);
        ::SelectObject(memory, previous);
        ::DeleteObject(bitmap);
        ::DeleteDC(memory);
        ::ReleaseDC(NULL, screen);
    }
    // The colour at a point of the client area.
    COLORREF At(int x, int y) const
    {
        x += m_clientLeft;
        y += m_clientTop;
        if (x < 0 || y < 0 || x >= m_width || y >= m_height)
            return CLR_INVALID;
        const DWORD p = m_pixels[y * m_width + x];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
    int Count(const RECT& area, COLORREF colour) const
    {
        int n = 0;
        for (int y = area.top; y < area.bottom; ++y)
            for (int x = area.left; x < area.right; ++x)
                n += At(x, y) == colour;
        return n;
    }
    void Save(const wchar_t* name) const
    {
        ::CreateDirectoryW(L"C:\\tests\\shots", NULL);
        BITMAPFILEHEADER file = {};
        BITMAPINFOHEADER header = {};
        header.biSize = sizeof(header);
        header.biWidth = m_width;
        header.biHeight = -m_height;
        header.biPlanes = 1;
        header.biBitCount = 32;
        file.bfType = 0x4D42;
        file.bfOffBits = sizeof(file) + sizeof(header);
        file.bfSize = file.bfOffBits + static_cast<DWORD>(m_pixels.size() * 4);
        std::string bytes(reinterpret_cast<const char*>(&file), sizeof(file));
        bytes.append(reinterpret_cast<const char*>(&header), sizeof(header));
        std::vector<DWORD> opaque(m_pixels);
        for (size_t i = 0; i < opaque.size(); ++i)
            opaque[i] |= 0xFF000000;
        bytes.append(reinterpret_cast<const char*>(&opaque[0]), opaque.size() * 4);
        WriteFileBytes(std::wstring(L"C:\\tests\\shots\\") + name + L".bmp", bytes);
    }

    int m_clientWidth;
    int m_clientHeight;

private:
    RECT m_window;
    int m_clientLeft;
    int m_clientTop;
    int m_width;
    int m_height;
    std::vector<DWORD> m_pixels;
};

// Sends a link or file handler to the recorder.
void RecordHandlers()
{
    const std::wstring command = std::wstring(L"\"") + kRecorder + L"\" \"%1\"";
    ASSERT_TRUE(SetRegText(HKEY_CLASSES_ROOT, L"http\\shell\\open\\command", NULL, command));
    ASSERT_TRUE(SetRegText(HKEY_CLASSES_ROOT, L".log", NULL, L"stickmedic.logfile"));
    ASSERT_TRUE(SetRegText(HKEY_CLASSES_ROOT, L"stickmedic.logfile\\shell\\open\\command", NULL, command));
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
    EXPECT_EQ(L"开始查杀", Text(main, 1008));
    EXPECT_EQ(kPrompt, Text(main, 1017));
    EXPECT_EQ(L"Quorvel安全网", Text(main, 1011));

    Press(main, 1008);
    EXPECT_TRUE(WaitText(main, 1008, L"停止查杀", 5000));
    CCapture(main).Save(L"main-scanning");
    HWND result = WaitForWindow(program.Pid(), kResultTitle, 60000);
    ASSERT_TRUE(result != NULL);
    CCapture(result).Save(L"result");
    EXPECT_EQ(L"正在扫描中。。。 ", Text(main, 1017));
    EXPECT_EQ(L"扫描完成，未发现异常。客服：Quorvel安全社区 ", Text(result, 1019));
    EXPECT_EQ(L"下载《Quorvel》，检测其他威胁？", Text(result, 1022));
    EXPECT_FALSE(::IsWindowEnabled(main)) << "the result dialog is modal to the main window";

    Press(result, IDCANCEL);
    EXPECT_TRUE(WaitGone(result));
    EXPECT_TRUE(WaitText(main, 1008, L"开始查杀", 5000));
    EXPECT_EQ(kPrompt, Text(main, 1017));
    EXPECT_TRUE(Recorded(kRecord, 0).empty()) << "Cancel opens nothing";
    Press(main, IDCANCEL);
    EXPECT_EQ(2u, program.WaitExit(10000));
}

TEST_F(UiTest, StartThenStopEndsInOneResultDialog)
{
    CProgram program;
    HWND main = WaitForWindow(program.Pid(), kMainTitle);
    ASSERT_TRUE(main != NULL);
    Press(main, 1008);
    Press(main, 1008);
    HWND result = WaitForWindow(program.Pid(), kResultTitle, 60000);
    ASSERT_TRUE(result != NULL);
    const std::wstring sentence = Text(result, 1019);
    EXPECT_TRUE(sentence.find(L"未发现异常。") != std::wstring::npos) << sentence.size();
    Press(result, IDOK);
    EXPECT_TRUE(WaitGone(result));
    EXPECT_TRUE(WaitText(main, 1008, L"开始查杀", 5000));
    ::Sleep(1000);
    FindRequest again = {program.Pid(), kResultTitle, NULL};
    ::EnumWindows(FindByTitle, reinterpret_cast<LPARAM>(&again));
    EXPECT_TRUE(again.found == NULL) << "exactly one completion";
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
    Press(main, 1008);
    EXPECT_TRUE(WaitText(main, 1008, L"停止查杀", 5000));
    HWND focus = ::GetDlgItem(main, 1008);
    ::PostMessageW(focus, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    ::PostMessageW(focus, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    EXPECT_EQ(2u, program.WaitExit(15000));
}

TEST_F(UiTest, LinksOpenTheMakersPagesAndTheLogLinkKeepsTheDialog)
{
    CProgram program;
    HWND main = WaitForWindow(program.Pid(), kMainTitle);
    ASSERT_TRUE(main != NULL);
    ClickLink(main, 1009);
    ClickLink(main, 1011);
    ClickLink(main, 1012);
    std::vector<std::wstring> lines = Recorded(kRecord, 3);
    ASSERT_EQ(3u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[0].find(L"/thread-728-1-1.html"));
    EXPECT_NE(std::wstring::npos, lines[1].find(L"www.quorvel.com/?fr=stickmedic"));
    EXPECT_NE(std::wstring::npos, lines[2].find(L"bbs.quorvel.com/?fr=stickmedic"));

    Press(main, 1008);
    HWND result = WaitForWindow(program.Pid(), kResultTitle, 60000);
    ASSERT_TRUE(result != NULL);
    ClickLink(result, 1005);
    ClickLink(result, 1005);
    lines = Recorded(kRecord, 5);
    ASSERT_EQ(5u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[3].find(L"corvaneTools\\StickMedic.log"));
    EXPECT_EQ(lines[3], lines[4]);
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
    Press(main, 1008);
    HWND result = WaitForWindow(program.Pid(), kResultTitle, 60000);
    ASSERT_TRUE(result != NULL);
    EXPECT_EQ(L"启动《Quorvel》，检测其他威胁？", Text(result, 1022));
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
    Press(main, 1008);
    result = WaitForWindow(second.Pid(), kResultTitle, 60000);
    ASSERT_TRUE(result != NULL);
    EXPECT_EQ(L"下载《Quorvel》，检测其他威胁？", Text(result, 1022));
    Press(result, IDCANCEL);
}

TEST_F(UiTest, TheBandsLogoAndLinksAreDrawnAsDesigned)
{
    CProgram program;
    HWND main = WaitForWindow(program.Pid(), kMainTitle);
    ASSERT_TRUE(main != NULL);
    ::Sleep(500);
    const CCapture shot(main);
    shot.Save(L"main");
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
    ::GetWindowRect(::GetDlgItem(main, 1009), &link);
    ::MapWindowPoints(NULL, main, reinterpret_cast<POINT*>(&link), 2);
    EXPECT_GT(shot.Count(link, kLinkBlue), 20);
    EXPECT_GT(shot.Count(link, face), 20);
    ::GetWindowRect(::GetDlgItem(main, 1011), &link);
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
