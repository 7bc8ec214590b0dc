// Driving StickMedic.exe from outside, as a user would: the program started
// and ended by the test, its windows found by title, buttons pressed, links
// clicked and texts waited for.
#pragma once
#include <windows.h>

#include <string>

#include "tests/screen.h"

namespace testing_util {

const wchar_t kWindowProgram[] = L"C:\\tests\\StickMedic.exe";

// The program under test, started and ended by the test.
class CProgram
{
public:
    explicit CProgram(const std::wstring& arguments = L"")
    {
        std::wstring command = std::wstring(L"\"") + kWindowProgram + L"\"" + arguments;
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

inline HWND WaitForWindow(DWORD pid, const wchar_t* title, DWORD milliseconds = 20000)
{
    HWND found = WaitProcessWindow(pid, title, milliseconds);
    if (found)
        ::Sleep(200);  // let it paint
    return found;
}

inline bool WaitGone(HWND hwnd, DWORD milliseconds = 10000)
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

inline std::wstring Text(HWND dialog, int id) { return ControlText(dialog, id); }

inline bool WaitText(HWND dialog, int id, const std::wstring& expected, DWORD milliseconds = 20000)
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
inline void Press(HWND dialog, int id)
{
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

// A click on a link control: down and up on it.
inline void ClickLink(HWND dialog, int id)
{
    HWND link = ::GetDlgItem(dialog, id);
    ::PostMessageW(link, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    ::PostMessageW(link, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
}

}  // namespace testing_util
