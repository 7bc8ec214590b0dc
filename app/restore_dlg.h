// A restore from the window: a worker thread owned by an object makes it
// (the window keeps answering meanwhile), and a dialog shows it at work,
// then what came back and what did not.
#pragma once
#include <windows.h>

#include <string>

#include "app/restore.h"
#include "app/undo_dlg_ids.h"
#include "platform/handles.h"
#include "ui/window.h"

// Posted to the dialog when the worker is done (wParam and lParam 0).
const UINT WM_RESTORE_DONE = WM_USER + 110;

// One restore on a thread of its own, the same as /restore makes it
// (RestoreUnderScanLock). The outcome is read once WM_RESTORE_DONE came.
class CRestoreWorker
{
public:
    CRestoreWorker();
    // Waits for the thread: a worker is never left running on a gone object.
    ~CRestoreWorker();

    // Starts the thread; false when it could not be started.
    bool Start(HWND notify, const std::wstring& folder, const RestoreChoice& choice);
    // On WM_RESTORE_DONE: the thread has ended and its outcome is whole.
    const RestoreOutcome& Outcome();

private:
    CRestoreWorker(const CRestoreWorker&);
    CRestoreWorker& operator=(const CRestoreWorker&);
    static DWORD WINAPI ThreadProc(void* parameter);

    HWND m_hNotify;
    std::wstring m_strFolder;
    RestoreChoice m_choice;
    RestoreOutcome m_outcome;
    CHandle m_thread;
};

// The sentence the dialog ends with, for an outcome.
std::wstring RestoreSentence(const RestoreOutcome& outcome);

class CRestoreDlg : public CDialogImpl<CRestoreDlg>
{
public:
    enum { IDD = IDD_RESTORE };
    CRestoreDlg(const std::wstring& folder, const RestoreChoice& choice);
    bool ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

    // After the dialog: how the restore went.
    const RestoreOutcome& Outcome() { return m_worker.Outcome(); }

private:
    LRESULT OnInitDialog(WPARAM, LPARAM);
    LRESULT OnRestoreDone(WPARAM, LPARAM);
    LRESULT OnClose(WPARAM, LPARAM);
    void ShowOutcome(const RestoreOutcome& outcome);

    std::wstring m_strFolder;
    RestoreChoice m_choice;
    CRestoreWorker m_worker;
    bool m_bDone;  // the worker is over: the dialog may close
};
