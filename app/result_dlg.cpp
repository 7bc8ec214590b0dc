#include "app/result_dlg.h"

#include <shellapi.h>

#include "app/addresses.h"
#include "app/scan_run.h"
#include "app/undo_dlg.h"
#include "platform/file_helpers.h"
#include "platform/process.h"
#include "platform/registry.h"

std::wstring g_strSuitePath;
int g_bFormatResult = 0;
int g_bRebootFormat = 0;
int g_bFormatSucceeded = 0;

const wchar_t kContactLine[] = L"客服：Quorvel安全社区 ";

int DetectSuite()
{
    HKEY key = NULL;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quorvel", 0, NULL, REG_OPTION_NON_VOLATILE,
                          KEY_READ | KEY_WRITE, NULL, &key, NULL) != ERROR_SUCCESS)
        return 0;
    wchar_t folder[261] = {0};
    DWORD count = 0;
    const LONG status = ReadRegText(key, L"Install Path", folder, 261, &count);
    ::RegCloseKey(key);
    if (status != ERROR_SUCCESS || count == 0)
        return 0;
    g_strSuitePath = std::wstring(folder) + L"\\quorvel.exe";
    if (CanOpenForRead(g_strSuitePath.c_str()))
        return 1;
    g_strSuitePath.clear();
    return 0;
}

std::wstring ComposeResultSentence(int userStopped)
{
    if (g_bFormatResult)
    {
        if (g_bRebootFormat)
            return L"程序将在重启后格式化，请勿拔出U盘。";
        return g_bFormatSucceeded ? L"格式化完成。" : L"格式化失败。";
    }
    return std::wstring(userStopped ? L"用户终止，" : L"扫描完成，") +
           (g_bAnomaliesFound ? L"已修复，详情查看扫描日志。" : L"未发现异常。");
}

namespace {

// Posted from WM_INITDIALOG: comes once the dialog is shown.
const UINT WM_RESULT_SHOWN = WM_APP + 1;

}  // namespace

COKDlg::COKDlg(int* pbUserStopped) : m_pbUserStopped(pbUserStopped), m_hShownEvent(NULL) {}

bool COKDlg::ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    static const MessageEntry<COKDlg> table[] = {
        {WM_INITDIALOG, kAnyId, &COKDlg::OnInitDialog},
        {WM_RESULT_SHOWN, kAnyId, &COKDlg::OnShown},
        {WM_COMMAND, IDOK, &COKDlg::OnOK},
        {WM_COMMAND, IDCANCEL, &COKDlg::OnCancel},
        {WM_COMMAND, IDC_RESULT_VIEW_LOG, &COKDlg::OnViewLog},
        {WM_COMMAND, IDC_RESULT_UNDO, &COKDlg::OnUndo},
    };
    return DispatchMessageTable(this, table, message, wParam, lParam, result);
}

LRESULT COKDlg::OnInitDialog(WPARAM, LPARAM)
{
    CenterWindow();
    m_lnkViewLog.Attach(GetDlgItem(IDC_RESULT_VIEW_LOG));
    if (!g_bFormatResult && !m_strUndoFolder.empty())
    {
        m_lnkUndo.Attach(GetDlgItem(IDC_RESULT_UNDO));
        ::ShowWindow(GetDlgItem(IDC_RESULT_UNDO), SW_SHOW);
    }
    const std::wstring sentence = ComposeResultSentence(m_pbUserStopped ? *m_pbUserStopped : 0);
    ::SetWindowTextW(GetDlgItem(IDC_RESULT_QUESTION), g_strSuitePath.empty() ? L"下载《Quorvel》，检测其他威胁？"
                                                                     : L"启动《Quorvel》，检测其他威胁？");
    ::SetWindowTextW(GetDlgItem(IDC_RESULT_SENTENCE), (sentence + kContactLine).c_str());
    ::PostMessageW(m_hWnd, WM_RESULT_SHOWN, 0, 0);
    return TRUE;
}

LRESULT COKDlg::OnShown(WPARAM, LPARAM)
{
    // The dialog manager shows the dialog only once its queue is empty,
    // after this posted message: shown and drawn here, it is on the screen
    // before the worker goes on with what it does after the result.
    ::ShowWindow(m_hWnd, SW_SHOWNORMAL);
    ::UpdateWindow(m_hWnd);
    if (m_hShownEvent)
        ::SetEvent(m_hShownEvent);
    return 0;
}

LRESULT COKDlg::OnOK(WPARAM, LPARAM)
{
    if (!g_strSuitePath.empty())
        ::ShellExecuteW(NULL, NULL, g_strSuitePath.c_str(), L"-do:ui_virscan_fast", NULL, SW_SHOW);
    else
        ::ShellExecuteW(NULL, L"open", kSuiteDownloadUrl, NULL, NULL, SW_SHOWNORMAL);
    if (g_bRebootFormat)
        ShowRestartDialog(NULL);
    EndDialog(IDOK);
    return 0;
}

LRESULT COKDlg::OnCancel(WPARAM, LPARAM)
{
    if (g_bRebootFormat)
        ShowRestartDialog(NULL);
    EndDialog(IDCANCEL);
    return 0;
}

LRESULT COKDlg::OnViewLog(WPARAM, LPARAM)
{
    OpenScanLog();
    return 0;
}

LRESULT COKDlg::OnUndo(WPARAM, LPARAM)
{
    if (!m_strUndoFolder.empty())
        UndoScan(m_hWnd, m_strUndoFolder);
    return 0;
}
