#include "app/main_dlg.h"

#include <shellapi.h>
#include <shlobj.h>

#include "app/addresses.h"
#include "app/command_line.h"
#include "app/force_format.h"
#include "app/quarantine_list_dlg.h"
#include "app/result_dlg.h"
#include "killers/reg_script.h"
#include "platform/process.h"

const wchar_t kStartText[] = L"开始查杀";
const wchar_t kStopText[] = L"停止查杀";
const wchar_t kPromptText[] = L"请点击“开始查杀”，立即检测并清除U盘病毒";
const wchar_t kScanningText[] = L"正在扫描中。。。 ";
const wchar_t kWaitingText[] = L"另一个查杀正在进行，等待其结束。。。 ";

namespace {

// A run that did not start: what the user is told instead of a result.
struct NotRunText
{
    ScanOutcome outcome;
    const wchar_t* text;
};
const NotRunText kNotRunTexts[] = {
    {kScanCannotLock, L"无法取得查杀锁（其名称已被其他程序占用），未执行查杀。"},
    {kScanNoProgramFolder, L"无法建立受保护的日志与隔离文件夹，未执行查杀。"},
};
const wchar_t kNotRunTitle[] = L"查杀未执行";

}  // namespace

namespace {

const int kIconId = 128;
const int kLogoId = 203;

void OpenUrl(const wchar_t* url) { ::ShellExecuteW(NULL, L"open", url, NULL, NULL, SW_SHOWNORMAL); }

}  // namespace

CMainDlg::CMainDlg() : m_hIcon(NULL), m_hSmallIcon(NULL), m_scan(NULL) {}

CMainDlg::~CMainDlg()
{
    if (m_hIcon)
        ::DestroyIcon(m_hIcon);
    if (m_hSmallIcon)
        ::DestroyIcon(m_hSmallIcon);
}

bool CMainDlg::IsStopRequested() { return m_scan.IsStopRequested(); }

bool CMainDlg::ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    static const MessageEntry<CMainDlg> table[] = {
        {WM_INITDIALOG, kAnyId, &CMainDlg::OnInitDialog},
        {WM_SCAN_DONE, kAnyId, &CMainDlg::OnScanDone},
        {WM_SCAN_WAITING, kAnyId, &CMainDlg::OnScanWaiting},
        {WM_COMMAND, IDOK, &CMainDlg::OnOK},
        {WM_COMMAND, IDCANCEL, &CMainDlg::OnCancel},
        {WM_COMMAND, IDC_MAIN_START_STOP, &CMainDlg::OnStartStop},
        {WM_COMMAND, IDC_MAIN_FORCE_FORMAT, &CMainDlg::OnForceFormat},
        {WM_COMMAND, IDC_MAIN_FORUM_LINK, &CMainDlg::OnForumLink},
        {WM_COMMAND, IDC_MAIN_HOME_LINK, &CMainDlg::OnHomeLink},
        {WM_COMMAND, IDC_MAIN_COMMUNITY_LINK, &CMainDlg::OnCommunityLink},
        {WM_COMMAND, IDC_MAIN_RESTORE_LINK, &CMainDlg::OnRestoreLink},
        {WM_ERASEBKGND, kAnyId, &CMainDlg::OnEraseBackground},
    };
    return DispatchMessageTable(this, table, message, wParam, lParam, result);
}

LRESULT CMainDlg::OnInitDialog(WPARAM, LPARAM)
{
    // Started by RunOnce to format at boot: format, then leave unseen.
    const CommandLineOptions options = ParseCommandLine(::GetCommandLineW());
    if (options.mode == kStartBootFormat)
    {
        FormatAtBoot(options.formatPath.c_str(), options.hasSerial, options.serial);
        ::ExitProcess(0);
    }

    m_scan.SetNotifyWindow(m_hWnd);
    ::SetWindowTextW(m_hWnd, L"QuorvelU盘专杀工具V1.3");
    ::SetWindowTextW(GetDlgItem(IDC_MAIN_HOME_LINK), L"Quorvel安全网");
    HINSTANCE instance = g_appModule.GetModuleInstance();
    m_logo.Attach(::LoadBitmapW(instance, MAKEINTRESOURCEW(kLogoId)));
    CenterWindow();

    m_hIcon = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(kIconId), IMAGE_ICON,
                                              ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON),
                                              LR_DEFAULTCOLOR));
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    m_hSmallIcon = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(kIconId), IMAGE_ICON,
                                                   ::GetSystemMetrics(SM_CXSMICON),
                                                   ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hSmallIcon));

    m_lnkForum.Attach(GetDlgItem(IDC_MAIN_FORUM_LINK));
    m_lnkHome.Attach(GetDlgItem(IDC_MAIN_HOME_LINK));
    m_lnkCommunity.Attach(GetDlgItem(IDC_MAIN_COMMUNITY_LINK));
    m_lnkRestore.Attach(GetDlgItem(IDC_MAIN_RESTORE_LINK));
    m_lnkHome.m_crBk = kBandColour;
    m_lnkCommunity.m_crBk = kBandColour;
    m_lnkRestore.m_crBk = kBandColour;

    EnablePrivilege(L"SeDebugPrivilege");
    EnablePrivilege(L"SeShutdownPrivilege");
    DetectSuite();
    const std::wstring fixReg = GetFixRegPath();
    if (!fixReg.empty())  // never a path built from an unknown folder
        ExtractBinResource(kFixRegScriptId, fixReg.c_str());
    return TRUE;
}

LRESULT CMainDlg::OnScanDone(WPARAM, LPARAM)
{
    m_scan.OnScanDone();
    const wchar_t* notRun = NULL;
    for (size_t i = 0; i < sizeof(kNotRunTexts) / sizeof(kNotRunTexts[0]); ++i)
        if (kNotRunTexts[i].outcome == m_scan.m_outcome)
            notRun = kNotRunTexts[i].text;
    if (notRun)
    {
        ::MessageBoxW(m_hWnd, notRun, kNotRunTitle, MB_OK | MB_ICONERROR);
    }
    else
    {
        COKDlg result(&m_scan.m_bUserStopped);
        result.m_strUndoFolder = m_scan.m_strQuarantine;
        result.m_hShownEvent = m_scan.ResultShownEvent();
        result.DoModal(::GetActiveWindow());
    }
    ::SetWindowTextW(GetDlgItem(IDC_MAIN_START_STOP), kStartText);
    ::SetWindowTextW(GetDlgItem(IDC_MAIN_STATUS), kPromptText);
    // The next run's worker, made while nothing waits for it.
    m_scan.ParkWorker();
    return 0;
}

LRESULT CMainDlg::OnScanWaiting(WPARAM, LPARAM)
{
    // Still this run's wait: a stop asked meanwhile ends it without waiting.
    if (!m_scan.IsStopRequested())
        ::SetWindowTextW(GetDlgItem(IDC_MAIN_STATUS), kWaitingText);
    return 0;
}

LRESULT CMainDlg::OnOK(WPARAM, LPARAM)
{
    EndDialog(IDOK);
    return 0;
}

LRESULT CMainDlg::OnCancel(WPARAM, LPARAM)
{
    EndDialog(IDCANCEL);
    return 0;
}

LRESULT CMainDlg::OnStartStop(WPARAM, LPARAM)
{
    wchar_t text[513] = {0};
    if (!::GetWindowTextW(GetDlgItem(IDC_MAIN_START_STOP), text, 512))
        return 0;
    if (lstrcmpW(text, kStartText) == 0)
    {
        m_scan.StartScan();
        ::SetWindowTextW(GetDlgItem(IDC_MAIN_START_STOP), kStopText);
        ::SetWindowTextW(GetDlgItem(IDC_MAIN_STATUS), kScanningText);
    }
    else
    {
        m_scan.StopScan();
    }
    return 0;
}

LRESULT CMainDlg::OnForceFormat(WPARAM, LPARAM)
{
    OnForceFormatButton(m_hWnd, &m_scan.m_bUserStopped);
    return 0;
}

LRESULT CMainDlg::OnForumLink(WPARAM, LPARAM)
{
    OpenUrl(kForumThreadUrl);
    return 0;
}

LRESULT CMainDlg::OnHomeLink(WPARAM, LPARAM)
{
    OpenUrl(kHomePageUrl);
    return 0;
}

LRESULT CMainDlg::OnCommunityLink(WPARAM, LPARAM)
{
    OpenUrl(kForumHomeUrl);
    return 0;
}

LRESULT CMainDlg::OnRestoreLink(WPARAM, LPARAM)
{
    CQuarantineListDlg list;
    list.DoModal(m_hWnd);
    return 0;
}

LRESULT CMainDlg::OnEraseBackground(WPARAM wParam, LPARAM)
{
    return PaintMainBackground(m_hWnd, reinterpret_cast<HDC>(wParam), m_logo, m_hIcon, L"QuorvelU盘病毒专杀工具");
}
