// The window pieces in one process: the font pool, the link control on a
// real static, and the message tables.
#include <gtest/gtest.h>

#include "ui/link.h"
#include "ui/skin.h"

namespace {

LOGFONTW Describe(HFONT font)
{
    LOGFONTW description = {};
    ::GetObjectW(font, sizeof(description), &description);
    return description;
}

// A parent window that counts the commands it gets.
struct Parent
{
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_COMMAND)
        {
            s_lastWParam = wParam;
            s_lastLParam = lParam;
            ++s_nCommands;
            return 0;
        }
        return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }
    static int s_nCommands;
    static WPARAM s_lastWParam;
    static LPARAM s_lastLParam;
};
int Parent::s_nCommands = 0;
WPARAM Parent::s_lastWParam = 0;
LPARAM Parent::s_lastLParam = 0;

class LinkTest : public ::testing::Test
{
protected:
    void SetUp()
    {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = Parent::Proc;
        wc.hInstance = ::GetModuleHandleW(NULL);
        wc.lpszClassName = L"LinkTestParent";
        ::RegisterClassW(&wc);
        m_parent = ::CreateWindowW(wc.lpszClassName, L"parent", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, NULL, NULL,
                                   wc.hInstance, NULL);
        m_static = ::CreateWindowW(L"STATIC", L"查看扫描日志", WS_CHILD | WS_VISIBLE | SS_LEFT, 10, 10, 100, 16,
                                   m_parent, reinterpret_cast<HMENU>(1005), wc.hInstance, NULL);
        Parent::s_nCommands = 0;
    }
    void TearDown()
    {
        if (::IsWindow(m_parent))
            ::DestroyWindow(m_parent);
    }
    HWND m_parent;
    HWND m_static;
};

}  // namespace

TEST(FontPool, OneFontPerStyleDerivedFromTahoma11)
{
    BkFontPool* pool = BkFontPool::GetInstance();
    ASSERT_TRUE(pool != NULL);
    EXPECT_EQ(pool, BkFontPool::GetInstance());
    HFONT base = pool->GetFont(0);
    ASSERT_TRUE(base != NULL);
    EXPECT_EQ(base, pool->GetFont(0));
    const LOGFONTW baseFont = Describe(base);
    EXPECT_EQ(-11, baseFont.lfHeight);
    EXPECT_STREQ(L"Tahoma", baseFont.lfFaceName);

    HFONT link = pool->GetFont(kLinkFontStyle);
    EXPECT_EQ(link, pool->GetFont(kLinkFontStyle));
    EXPECT_NE(base, link);
    EXPECT_EQ(1, Describe(link).lfUnderline);
    EXPECT_EQ(FW_NORMAL, Describe(link).lfWeight);

    const LOGFONTW title = Describe(pool->GetFont(kTitleFontStyle));
    EXPECT_EQ(-21, title.lfHeight);
    EXPECT_EQ(0, title.lfUnderline);
    EXPECT_EQ(-9, Describe(pool->GetFont(0xFE00)).lfHeight) << "a negative step makes it smaller";
    const LOGFONTW boldItalic = Describe(pool->GetFont(0x0105));
    EXPECT_EQ(FW_BOLD, boldItalic.lfWeight);
    EXPECT_EQ(1, boldItalic.lfItalic);
    EXPECT_EQ(-12, boldItalic.lfHeight);
    EXPECT_NE(pool->GetFont(0x0100), pool->GetFont(0x0200));
}

TEST(SkinBitmap, NoImageDrawsNothing)
{
    CSkinBitmap empty;
    HDC dc = ::CreateCompatibleDC(NULL);
    EXPECT_FALSE(empty.Draw(dc, 0, 0));
    ::DeleteDC(dc);
}

TEST_F(LinkTest, AttachAddsNotifyAndAClickReachesTheParentAsAPlainCommand)
{
    CSimpleLink link;
    EXPECT_EQ(::GetSysColor(COLOR_BTNFACE), link.m_crBk);
    ASSERT_TRUE(link.Attach(m_static));
    EXPECT_TRUE(::GetWindowLongW(m_static, GWL_STYLE) & SS_NOTIFY);
    EXPECT_FALSE(link.Attach(m_static)) << "one control per link";

    // Pressed on the link, released far away: still a click.
    ::SendMessageW(m_static, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    ::SendMessageW(m_static, WM_LBUTTONUP, 0, MAKELPARAM(500, 500));
    EXPECT_EQ(1, Parent::s_nCommands);
    EXPECT_EQ(MAKEWPARAM(1005, 0), Parent::s_lastWParam);
    EXPECT_EQ(0, Parent::s_lastLParam) << "no control handle";
    EXPECT_EQ(TRUE, ::SendMessageW(m_static, WM_SETCURSOR, reinterpret_cast<WPARAM>(m_static), HTCLIENT));
    EXPECT_EQ(1, ::SendMessageW(m_static, WM_ERASEBKGND, 0, 0));
}

TEST_F(LinkTest, DestroyingTheControlDetachesTheLink)
{
    CSimpleLink link;
    ASSERT_TRUE(link.Attach(m_static));
    EXPECT_EQ(m_static, link.m_hWnd);
    ::DestroyWindow(m_static);
    EXPECT_TRUE(link.m_hWnd == NULL);
    // Another control can be attached afterwards.
    HWND other = ::CreateWindowW(L"STATIC", L"x", WS_CHILD, 0, 0, 10, 10, m_parent, NULL, NULL, NULL);
    EXPECT_TRUE(link.Attach(other));
}

namespace {

class CTableUser
{
public:
    CTableUser() : m_nSeen(0) {}
    bool Process(UINT message, WPARAM wParam, LRESULT& result)
    {
        static const MessageEntry<CTableUser> table[] = {
            {WM_COMMAND, 7, &CTableUser::OnSeven},
            {WM_COMMAND, kAnyId, &CTableUser::OnAnyCommand},
            {WM_PAINT, kAnyId, &CTableUser::OnPaint},
        };
        return DispatchMessageTable(this, table, message, wParam, 0, result);
    }
    LRESULT OnSeven(WPARAM, LPARAM) { m_nSeen = 7; return 70; }
    LRESULT OnAnyCommand(WPARAM wParam, LPARAM) { m_nSeen = LOWORD(wParam); return 1; }
    LRESULT OnPaint(WPARAM, LPARAM) { m_nSeen = -1; return 0; }
    int m_nSeen;
};

}  // namespace

TEST(MessageTable, FirstMatchingRowWinsAndOnlyTheIdCounts)
{
    CTableUser user;
    LRESULT result = 0;
    EXPECT_TRUE(user.Process(WM_COMMAND, MAKEWPARAM(7, BN_CLICKED), result));
    EXPECT_EQ(70, result);
    EXPECT_TRUE(user.Process(WM_COMMAND, MAKEWPARAM(9, 0), result));
    EXPECT_EQ(9, user.m_nSeen);
    EXPECT_TRUE(user.Process(WM_PAINT, 0, result));
    EXPECT_EQ(-1, user.m_nSeen);
    EXPECT_FALSE(user.Process(WM_SIZE, 0, result));
}
