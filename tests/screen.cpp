#include "tests/screen.h"

#include "tests/testing.h"

namespace testing_util {

namespace {

struct FindRequest
{
    DWORD pid;
    const wchar_t* title;
    const wchar_t* childClass;
    int childId;
    HWND found;
};

BOOL CALLBACK Match(HWND hwnd, LPARAM lParam)
{
    FindRequest* request = reinterpret_cast<FindRequest*>(lParam);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hwnd, &pid);
    if (pid != request->pid || !::IsWindowVisible(hwnd))
        return TRUE;
    bool matches = true;
    if (request->title)
    {
        wchar_t title[256] = {0};
        ::GetWindowTextW(hwnd, title, 256);
        matches = lstrcmpW(title, request->title) == 0;
    }
    if (request->childClass)
        matches = matches && ::FindWindowExW(hwnd, NULL, request->childClass, NULL) != NULL;
    if (request->childId)
        matches = matches && ::GetDlgItem(hwnd, request->childId) != NULL;
    if (!matches)
        return TRUE;
    request->found = hwnd;
    return FALSE;
}

}  // namespace

HWND FindProcessWindow(DWORD pid, const wchar_t* title, const wchar_t* childClass, int childId)
{
    FindRequest request = {pid, title, childClass, childId, NULL};
    ::EnumWindows(Match, reinterpret_cast<LPARAM>(&request));
    return request.found;
}

HWND WaitProcessWindow(DWORD pid, const wchar_t* title, DWORD milliseconds, const wchar_t* childClass, int childId)
{
    const DWORD start = ::GetTickCount();
    do
    {
        if (HWND found = FindProcessWindow(pid, title, childClass, childId))
            return found;
        ::Sleep(50);
    } while (::GetTickCount() - start < milliseconds);
    return NULL;
}

std::wstring ControlText(HWND dialog, int id)
{
    wchar_t text[512] = {0};
    ::GetWindowTextW(::GetDlgItem(dialog, id), text, 512);
    return text;
}

CCapture::CCapture(HWND hwnd) : m_clientWidth(0), m_clientHeight(0), m_width(0), m_height(0)
{
    RECT window;
    ::GetWindowRect(hwnd, &window);
    POINT origin = {0, 0};
    ::ClientToScreen(hwnd, &origin);
    m_clientLeft = origin.x - window.left;
    m_clientTop = origin.y - window.top;
    RECT client;
    ::GetClientRect(hwnd, &client);
    m_clientWidth = client.right;
    m_clientHeight = client.bottom;
    m_width = window.right - window.left;
    m_height = window.bottom - window.top;
    if (m_width <= 0 || m_height <= 0)
        return;
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
    ::BitBlt(memory, 0, 0, m_width, m_height, screen, window.left, window.top, SRCCOPY);
    ::GdiFlush();
    if (bits)
        m_pixels.assign(static_cast<const DWORD*>(bits), static_cast<const DWORD*>(bits) + m_width * m_height);
    ::SelectObject(memory, previous);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(NULL, screen);
}

COLORREF CCapture::At(int x, int y) const
{
    x += m_clientLeft;
    y += m_clientTop;
    if (x < 0 || y < 0 || x >= m_width || y >= m_height || m_pixels.empty())
        return CLR_INVALID;
    const DWORD p = m_pixels[y * m_width + x];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
}

int CCapture::Count(const RECT& area, COLORREF colour) const
{
    int n = 0;
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x)
            n += At(x, y) == colour;
    return n;
}

bool CCapture::Save(const std::wstring& path) const
{
    if (m_pixels.empty())
        return false;
    CreateDirectoryChainForTests(path);
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
    return WriteFileBytes(path, bytes);
}

}  // namespace testing_util
