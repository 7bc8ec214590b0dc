// Undoing a scan from its result dialog: asked once, with No the default,
// then the restore of the scan's whole quarantine (files and registry).
#pragma once
#include <windows.h>

#include <string>

#include "app/restore.h"
#include "app/undo_dlg_ids.h"
#include "ui/window.h"

// The question: how many items come back, that the worm comes back too,
// and what cannot come back; the item list opens below on request.
class CUndoConfirmDlg : public CDialogImpl<CUndoConfirmDlg>
{
public:
    enum { IDD = IDD_UNDO_CONFIRM };
    explicit CUndoConfirmDlg(const QuarantineSummary& quarantine);
    bool ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

private:
    LRESULT OnInitDialog(WPARAM, LPARAM);
    LRESULT OnAnswer(WPARAM, LPARAM);
    LRESULT OnShowItems(WPARAM, LPARAM);

    const QuarantineSummary& m_quarantine;
};

// "将恢复本次删除和修改的 N 项，病毒也会一同恢复。是否继续？"
std::wstring UndoQuestion(size_t count);

// The whole flow behind "撤销本次修复": the question, then the restore of
// `folder` in a worker with its dialog. True when the restore ran.
bool UndoScan(HWND owner, const std::wstring& folder);
