#include "ui/skin.h"

BkFontPool* BkFontPool::GetInstance()
{
    // Never destroyed while the process runs: windows keep its fonts.
    static BkFontPool* pool = NULL;
    if (!pool)
        pool = new (std::nothrow) BkFontPool;
    return pool;
}

BkFontPool::BkFontPool() : m_nBaseHeight(-11)
{
    ZeroMemory(&m_base, sizeof(m_base));
    ::GetObjectW(::GetStockObject(DEFAULT_GUI_FONT), sizeof(m_base), &m_base);
    m_base.lfHeight = m_nBaseHeight;
    lstrcpynW(m_base.lfFaceName, L"Tahoma", LF_FACESIZE);
    HFONT font = ::CreateFontIndirectW(&m_base);
    if (font)
        m_fonts[0] = font;
}

BkFontPool::~BkFontPool()
{
    for (std::map<WORD, HFONT>::iterator it = m_fonts.begin(); it != m_fonts.end(); ++it)
        ::DeleteObject(it->second);
    m_fonts.clear();
}

HFONT BkFontPool::GetFont(WORD style)
{
    std::map<WORD, HFONT>::const_iterator found = m_fonts.find(style);
    if (found != m_fonts.end())
        return found->second;
    LOGFONTW font = m_base;
    font.lfWeight = (style & 0x0004) ? FW_BOLD : FW_NORMAL;
    font.lfUnderline = (style & 0x0002) ? 1 : 0;
    font.lfItalic = (style & 0x0001) ? 1 : 0;
    font.lfHeight = m_nBaseHeight - static_cast<signed char>(HIBYTE(style));
    HFONT handle = ::CreateFontIndirectW(&font);
    if (handle)
        m_fonts[style] = handle;
    return handle;
}

BOOL CSkinBitmap::Draw(HDC dc, int x, int y) const
{
    if (!m_hBitmap)
        return FALSE;
    BITMAP info;
    if (!::GetObjectW(m_hBitmap, sizeof(info), &info))
        return FALSE;
    HDC screen = ::GetDC(NULL);
    HDC memory = ::CreateCompatibleDC(screen);
    ::ReleaseDC(NULL, screen);
    if (!memory)
        return FALSE;
    HGDIOBJ previous = ::SelectObject(memory, m_hBitmap);
    const BOOL drawn = ::BitBlt(dc, x, y, info.bmWidth, info.bmHeight, memory, 0, 0, SRCCOPY);
    ::SelectObject(memory, previous);
    ::DeleteDC(memory);
    return drawn;
}

void FillSolidRect(HDC dc, const RECT& rc, COLORREF colour)
{
    const COLORREF previous = ::SetBkColor(dc, colour);
    if (previous == CLR_INVALID)
        return;
    ::ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &rc, NULL, 0, NULL);
    ::SetBkColor(dc, previous);
}

namespace {

void Band(HDC dc, int top, int bottom, int right, int lineY)
{
    const RECT band = {0, top, right, bottom};
    FillSolidRect(dc, band, kBandColour);
    ::MoveToEx(dc, 0, lineY, NULL);
    ::LineTo(dc, right, lineY);
}

}  // namespace

LRESULT PaintMainBackground(HWND hwnd, HDC dc, const CSkinBitmap& logo, HICON icon, const wchar_t* title)
{
    RECT client;
    ::GetClientRect(hwnd, &client);
    const int right = client.right;
    const int bottom = client.bottom;
    FillSolidRect(dc, client, ::GetSysColor(COLOR_BTNFACE));

    Band(dc, bottom - kBandHeight, bottom, right, bottom - kBandHeight);
    logo.Draw(dc, right - 100, bottom - kBandHeight + 7);
    Band(dc, 0, kBandHeight, right, kBandHeight);

    ::SetBkMode(dc, TRANSPARENT);
    BkFontPool* pool = BkFontPool::GetInstance();
    HGDIOBJ previous = ::SelectObject(dc, pool ? pool->GetFont(kTitleFontStyle) : NULL);
    if (icon)
        ::DrawIcon(dc, 10, 5, icon);
    RECT text = {50, 0, right - 50, kBandHeight};
    ::DrawTextW(dc, title, -1, &text, DT_SINGLELINE | DT_VCENTER);
    if (previous)
        ::SelectObject(dc, previous);
    return 1;
}
