// The least of a window framework the program needs: the module object, a
// modal dialog class driven by a message table, and the subclassing of an
// existing control. One object owns one window; no handle outlives it.
#pragma once
#include <windows.h>

// The module: instance handle and main thread, for the dialogs.
class CAppModule
{
public:
    CAppModule() : m_hInstance(NULL), m_dwMainThreadID(0) {}
    HRESULT Init(HINSTANCE instance)
    {
        m_hInstance = instance;
        m_dwMainThreadID = ::GetCurrentThreadId();
        return S_OK;
    }
    void Term() { m_hInstance = NULL; }
    HINSTANCE GetModuleInstance() const { return m_hInstance ? m_hInstance : ::GetModuleHandleW(NULL); }

    HINSTANCE m_hInstance;
    DWORD m_dwMainThreadID;
};

extern CAppModule g_appModule;

// One row of a message table: the message, for WM_COMMAND the control id
// (any id when kAnyId), and the handler. A handler's result is the message's
// result; a row that matches marks the message handled.
const UINT kAnyId = 0xFFFFFFFF;

template <class T>
struct MessageEntry
{
    UINT message;
    UINT id;
    LRESULT (T::*handler)(WPARAM wParam, LPARAM lParam);
};

// Walks a table; true when a row handled the message.
template <class T, size_t N>
bool DispatchMessageTable(T* self, const MessageEntry<T> (&table)[N], UINT message, WPARAM wParam,
                          LPARAM lParam, LRESULT& result)
{
    for (size_t i = 0; i < N; ++i)
    {
        if (table[i].message != message)
            continue;
        if (message == WM_COMMAND && table[i].id != kAnyId && table[i].id != LOWORD(wParam))
            continue;
        result = (self->*table[i].handler)(wParam, lParam);
        return true;
    }
    return false;
}

// Centres a window on its owner, or on the work area when the owner is
// missing, hidden or minimised, and keeps it inside the work area.
void CenterWindowOnOwner(HWND hwnd);

// A modal dialog over a dialog resource. T supplies IDD and
// `bool ProcessWindowMessage(UINT, WPARAM, LPARAM, LRESULT&)`.
template <class T>
class CDialogImpl
{
public:
    CDialogImpl() : m_hWnd(NULL) {}
    virtual ~CDialogImpl() {}

    INT_PTR DoModal(HWND owner = ::GetActiveWindow())
    {
        return ::DialogBoxParamW(g_appModule.GetModuleInstance(), MAKEINTRESOURCEW(T::IDD), owner, DialogProc,
                                 reinterpret_cast<LPARAM>(static_cast<T*>(this)));
    }
    BOOL EndDialog(INT_PTR result) { return ::EndDialog(m_hWnd, result); }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    void CenterWindow() { CenterWindowOnOwner(m_hWnd); }
    virtual void OnFinalMessage(HWND) {}

    HWND m_hWnd;

private:
    CDialogImpl(const CDialogImpl&);
    CDialogImpl& operator=(const CDialogImpl&);

    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        T* self = NULL;
        if (message == WM_INITDIALOG)
        {
            self = reinterpret_cast<T*>(lParam);
            self->m_hWnd = hwnd;
            ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        }
        else
        {
            self = reinterpret_cast<T*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
        }
        if (!self)
            return FALSE;
        LRESULT result = 0;
        const bool handled = self->ProcessWindowMessage(message, wParam, lParam, result);
        if (message == WM_NCDESTROY)
        {
            ::SetWindowLongPtrW(hwnd, DWLP_USER, 0);
            self->m_hWnd = NULL;
            self->OnFinalMessage(hwnd);
        }
        if (!handled)
            return FALSE;
        if (message == WM_INITDIALOG)
            return static_cast<INT_PTR>(result);
        ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
        return TRUE;
    }
};

// Takes over the window procedure of an existing control. T supplies
// `bool ProcessWindowMessage(UINT, WPARAM, LPARAM, LRESULT&)`; every message
// it leaves goes to the control's own procedure. The control's destruction
// gives the procedure back and detaches the object.
template <class T>
class CWindowImpl
{
public:
    CWindowImpl() : m_hWnd(NULL), m_pfnSuperWindowProc(NULL) {}
    virtual ~CWindowImpl() { UnsubclassWindow(); }

    BOOL SubclassWindow(HWND hwnd)
    {
        if (m_hWnd || !::IsWindow(hwnd))
            return FALSE;
        if (!::SetPropW(hwnd, PropName(), static_cast<T*>(this)))
            return FALSE;
        m_pfnSuperWindowProc = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WindowProc)));
        if (!m_pfnSuperWindowProc)
        {
            ::RemovePropW(hwnd, PropName());
            return FALSE;
        }
        m_hWnd = hwnd;
        return TRUE;
    }
    void UnsubclassWindow()
    {
        if (!m_hWnd)
            return;
        ::SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuperWindowProc));
        ::RemovePropW(m_hWnd, PropName());
        m_hWnd = NULL;
    }
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam)
    {
        return ::CallWindowProcW(m_pfnSuperWindowProc, m_hWnd, message, wParam, lParam);
    }
    virtual void OnFinalMessage(HWND) {}

    HWND m_hWnd;

private:
    CWindowImpl(const CWindowImpl&);
    CWindowImpl& operator=(const CWindowImpl&);

    static const wchar_t* PropName() { return L"StickMedic.CWindowImpl"; }

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        T* self = static_cast<T*>(::GetPropW(hwnd, PropName()));
        if (!self)
            return ::DefWindowProcW(hwnd, message, wParam, lParam);
        LRESULT result = 0;
        if (message != WM_NCDESTROY && self->ProcessWindowMessage(message, wParam, lParam, result))
            return result;
        result = self->DefWindowProc(message, wParam, lParam);
        if (message == WM_NCDESTROY)
        {
            self->UnsubclassWindow();
            self->OnFinalMessage(hwnd);
        }
        return result;
    }

protected:
    WNDPROC m_pfnSuperWindowProc;
};
