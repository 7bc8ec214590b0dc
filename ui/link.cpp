#include "ui/link.h"

#include <commctrl.h>

#include "ui/skin.h"

CSimpleLink::CSimpleLink() : m_bHover(FALSE), m_crBk(::GetSysColor(COLOR_BTNFACE)) {}

BOOL CSimpleLink::Attach(HWND hStatic)
{
    if (!SubclassWindow(hStatic))
        return FALSE;
    const LONG style = ::GetWindowLongW(hStatic, GWL_STYLE);
    if (!(style & SS_NOTIFY))
        ::SetWindowLongW(hStatic, GWL_STYLE, style | SS_NOTIFY);
    return TRUE;
}

bool CSimpleLink::ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    static const MessageEntry<CSimpleLink> table[] = {
        {WM_PAINT, kAnyId, &CSimpleLink::OnPaint},
        {WM_ERASEBKGND, kAnyId, &CSimpleLink::OnEraseBackground},
        {WM_SETCURSOR, kAnyId, &CSimpleLink::OnSetCursor},
        {WM_MOUSEMOVE, kAnyId, &CSimpleLink::OnMouseMove},
        {WM_MOUSELEAVE, kAnyId, &CSimpleLink::OnMouseLeave},
        {WM_LBUTTONDOWN, kAnyId, &CSimpleLink::OnLButtonDown},
        {WM_LBUTTONUP, kAnyId, &CSimpleLink::OnLButtonUp},
    };
    return DispatchMessageTable(this, table, message, wParam, lParam, result);
}

LRESULT CSimpleLink::OnPaint(WPARAM, LPARAM)
{
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(m_hWnd, &paint);
    wchar_t text[512] = {0};
    const int length = ::GetWindowTextW(m_hWnd, text, 512);
    RECT client;
    ::GetClientRect(m_hWnd, &client);
    ::SetBkMode(dc, TRANSPARENT);
    BkFontPool* pool = BkFontPool::GetInstance();
    HGDIOBJ previous = ::SelectObject(dc, pool ? pool->GetFont(kLinkFontStyle) : NULL);
    FillSolidRect(dc, client, m_crBk);
    ::SetTextColor(dc, m_bHover ? kHoverColour : kNormalColour);
    ::DrawTextW(dc, text, length, &client, DT_SINGLELINE);
    ::SetTextColor(dc, RGB(0, 0, 0));
    if (previous)
        ::SelectObject(dc, previous);
    ::EndPaint(m_hWnd, &paint);
    return 0;
}

LRESULT CSimpleLink::OnEraseBackground(WPARAM, LPARAM) { return 1; }

LRESULT CSimpleLink::OnSetCursor(WPARAM, LPARAM)
{
    ::SetCursor(::LoadCursorW(NULL, IDC_HAND));
    return TRUE;
}

LRESULT CSimpleLink::OnMouseMove(WPARAM, LPARAM)
{
    if (m_bHover)
        return 0;
    TRACKMOUSEEVENT track;
    track.cbSize = sizeof(track);
    track.dwFlags = TME_LEAVE;
    track.hwndTrack = m_hWnd;
    track.dwHoverTime = 0;
    m_bHover = ::_TrackMouseEvent(&track);
    ::InvalidateRect(m_hWnd, NULL, FALSE);
    return 0;
}

LRESULT CSimpleLink::OnMouseLeave(WPARAM, LPARAM)
{
    m_bHover = FALSE;
    ::InvalidateRect(m_hWnd, NULL, FALSE);
    return 0;
}

LRESULT CSimpleLink::OnLButtonDown(WPARAM, LPARAM)
{
    ::SetCapture(m_hWnd);
    return 0;
}

LRESULT CSimpleLink::OnLButtonUp(WPARAM, LPARAM)
{
    ::ReleaseCapture();
    // A plain command: code 0, no control handle.
    ::SendMessageW(::GetParent(m_hWnd), WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(m_hWnd), 0), 0);
    return 0;
}
