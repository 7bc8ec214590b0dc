// The main window: start/stop of a scan, force format, the status line, the
// three links to the maker's pages, the link to the quarantines, and the
// painted bands.
#pragma once
#include "app/main_dlg_ids.h"
#include "app/scan_run.h"
#include "ui/link.h"
#include "ui/skin.h"

class CMainDlg : public CDialogImpl<CMainDlg>, public ICommunication
{
public:
    enum { IDD = IDD_MAIN };

    CMainDlg();
    virtual ~CMainDlg();
    bool ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
    virtual bool IsStopRequested();

    CSimpleLink m_lnkForum;     // 1009
    CSimpleLink m_lnkHome;      // 1011
    CSimpleLink m_lnkCommunity; // 1012
    CSimpleLink m_lnkRestore;   // "恢复…"
    HICON m_hIcon;
    HICON m_hSmallIcon;
    CSkinBitmap m_logo;
    CScanController m_scan;     // m_bStopRequested, m_hScanThread, m_bUserStopped

private:
    LRESULT OnInitDialog(WPARAM, LPARAM);
    LRESULT OnScanDone(WPARAM, LPARAM);
    // The run waits for another scan: the status line says so.
    LRESULT OnScanWaiting(WPARAM, LPARAM);
    LRESULT OnOK(WPARAM, LPARAM);
    LRESULT OnCancel(WPARAM, LPARAM);
    LRESULT OnStartStop(WPARAM, LPARAM);
    LRESULT OnForceFormat(WPARAM, LPARAM);
    LRESULT OnForumLink(WPARAM, LPARAM);
    LRESULT OnHomeLink(WPARAM, LPARAM);
    LRESULT OnCommunityLink(WPARAM, LPARAM);
    LRESULT OnRestoreLink(WPARAM, LPARAM);
    LRESULT OnEraseBackground(WPARAM, LPARAM);
};

// The texts the main window shows.
extern const wchar_t kStartText[];   // "开始查杀"
extern const wchar_t kStopText[];    // "停止查杀"
extern const wchar_t kPromptText[];  // the status line while idle
extern const wchar_t kScanningText[];
extern const wchar_t kWaitingText[];  // the status while another scan runs
