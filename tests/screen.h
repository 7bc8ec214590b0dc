// Window helpers for tests that drive programs from outside: finding a
// process's windows, reading control texts, capturing what is on screen.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace testing_util {

// A visible top-level window of the process: with this title, or (title
// NULL) one that holds a child of `childClass` or the control `childId`.
HWND FindProcessWindow(DWORD pid, const wchar_t* title, const wchar_t* childClass = NULL, int childId = 0);
// The same, waited for; NULL when it did not show within the time.
HWND WaitProcessWindow(DWORD pid, const wchar_t* title, DWORD milliseconds, const wchar_t* childClass = NULL,
                       int childId = 0);

std::wstring ControlText(HWND dialog, int id);

// The screen under a window, as 32-bit pixels.
class CCapture
{
public:
    explicit CCapture(HWND hwnd);
    // The colour at a point of the client area; CLR_INVALID outside.
    COLORREF At(int x, int y) const;
    int Count(const RECT& clientArea, COLORREF colour) const;
    // Saved as an opaque 32-bit BMP, the folder created when missing.
    bool Save(const std::wstring& path) const;

    int m_clientWidth;
    int m_clientHeight;

private:
    int m_clientLeft;
    int m_clientTop;
    int m_width;
    int m_height;
    std::vector<DWORD> m_pixels;
};

}  // namespace testing_util
