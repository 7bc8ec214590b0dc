// A static control that behaves as a web-style link: underlined, blue, red
// under the mouse, the hand cursor, and a click that reaches the dialog as a
// plain WM_COMMAND with the control's id.
#pragma once
#include "ui/window.h"

class CSimpleLink : public CWindowImpl<CSimpleLink>
{
public:
    CSimpleLink();
    // Takes over the static control and gives it SS_NOTIFY.
    BOOL Attach(HWND hStatic);
    bool ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

    BOOL m_bHover;
    COLORREF m_crBk;

    static const COLORREF kNormalColour = RGB(48, 100, 165);
    static const COLORREF kHoverColour = RGB(255, 0, 0);

private:
    LRESULT OnPaint(WPARAM, LPARAM);
    LRESULT OnEraseBackground(WPARAM, LPARAM);
    LRESULT OnSetCursor(WPARAM, LPARAM);
    LRESULT OnMouseMove(WPARAM, LPARAM);
    LRESULT OnMouseLeave(WPARAM, LPARAM);
    LRESULT OnLButtonDown(WPARAM, LPARAM);
    LRESULT OnLButtonUp(WPARAM, LPARAM);
};
