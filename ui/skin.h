// The main window's look: the shared fonts, the logo bitmap, and the
// painting of the title and bottom bands.
#pragma once
#include <windows.h>

#include <map>

// Fonts shared by style word: bit 0x0001 italic, 0x0002 underline, 0x0004
// bold, high byte a signed size step (larger when positive). Style 0 is
// Tahoma at height -11. Created on first request, kept for the process.
class BkFontPool
{
public:
    static BkFontPool* GetInstance();
    HFONT GetFont(WORD style);
    virtual ~BkFontPool();

private:
    BkFontPool();
    BkFontPool(const BkFontPool&);
    BkFontPool& operator=(const BkFontPool&);

    LOGFONTW m_base;
    std::map<WORD, HFONT> m_fonts;
    int m_nBaseHeight;
};

// Font styles the program uses.
const WORD kLinkFontStyle = 0x0002;   // underlined
const WORD kTitleFontStyle = 0x0A00;  // ten steps larger: height -21

// An image drawn opaquely at a point. Owns the bitmap.
class CSkinBitmap
{
public:
    CSkinBitmap() : m_hBitmap(NULL) {}
    ~CSkinBitmap() { Attach(NULL); }
    void Attach(HBITMAP bitmap)
    {
        if (m_hBitmap)
            ::DeleteObject(m_hBitmap);
        m_hBitmap = bitmap;
    }
    BOOL Draw(HDC dc, int x, int y) const;

    HBITMAP m_hBitmap;

private:
    CSkinBitmap(const CSkinBitmap&);
    CSkinBitmap& operator=(const CSkinBitmap&);
};

void FillSolidRect(HDC dc, const RECT& rc, COLORREF colour);

// The colour of the title and bottom bands: red 222, green 239, blue 255.
const COLORREF kBandColour = RGB(222, 239, 255);
const int kBandHeight = 40;

// Paints the main window's background: face, bottom band with its line and
// the logo 100 pixels left of the right edge, title band with its line, the
// big icon and the title. Returns 1.
LRESULT PaintMainBackground(HWND hwnd, HDC dc, const CSkinBitmap& logo, HICON icon, const wchar_t* title);
