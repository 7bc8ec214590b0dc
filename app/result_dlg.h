// The result dialog ("注意") after a scan or a force format, and the lookup of
// the maker's security suite that it offers.
#pragma once
#include <string>

#include "app/result_dlg_ids.h"
#include "ui/link.h"

// Full path of the suite's quorvel.exe, or empty; set by DetectSuite only.
extern std::wstring g_strSuitePath;
// The dialog reports a force format rather than a scan.
extern int g_bFormatResult;
// A format at the next start of Windows was asked for (never cleared).
extern int g_bRebootFormat;
// The last force format ran and ended well.
extern int g_bFormatSucceeded;

// Finds the suite through HKLM\SOFTWARE\Quorvel "Install Path" (creating the
// key); 1 when its quorvel.exe opens, else 0 with the path emptied.
int DetectSuite();

// The result sentence for the current flags, without the contact line.
std::wstring ComposeResultSentence(int userStopped);
extern const wchar_t kContactLine[];

class COKDlg : public CDialogImpl<COKDlg>
{
public:
    enum { IDD = IDD_RESULT };
    explicit COKDlg(int* pbUserStopped);
    bool ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

    CSimpleLink m_lnkViewLog;
    int* m_pbUserStopped;
    // The quarantine of the scan shown; set before DoModal. Not empty: the
    // scan changed something, and "撤销本次修复" undoes it.
    std::wstring m_strUndoFolder;
    CSimpleLink m_lnkUndo;
    // Set once the dialog is on the screen; may be NULL. Not owned.
    HANDLE m_hShownEvent;

private:
    LRESULT OnInitDialog(WPARAM, LPARAM);
    LRESULT OnShown(WPARAM, LPARAM);
    LRESULT OnOK(WPARAM, LPARAM);
    LRESULT OnCancel(WPARAM, LPARAM);
    LRESULT OnViewLog(WPARAM, LPARAM);
    LRESULT OnUndo(WPARAM, LPARAM);
};
