#include "app/undo_dlg.h"

#include <cwchar>

#include "app/quarantine_items.h"
#include "app/restore_dlg.h"

CUndoConfirmDlg::CUndoConfirmDlg(const QuarantineSummary& quarantine) : m_quarantine(quarantine) {}

bool CUndoConfirmDlg::ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    static const MessageEntry<CUndoConfirmDlg> table[] = {
        {WM_INITDIALOG, kAnyId, &CUndoConfirmDlg::OnInitDialog},
        {WM_COMMAND, IDYES, &CUndoConfirmDlg::OnAnswer},
        {WM_COMMAND, IDNO, &CUndoConfirmDlg::OnAnswer},
        {WM_COMMAND, IDCANCEL, &CUndoConfirmDlg::OnAnswer},
        {WM_COMMAND, IDC_UNDO_SHOW_ITEMS, &CUndoConfirmDlg::OnShowItems},
    };
    return DispatchMessageTable(this, table, message, wParam, lParam, result);
}

std::wstring UndoQuestion(size_t count)
{
    wchar_t text[128];
    swprintf(text, 128, L"将恢复本次删除和修改的 %lu 项，病毒也会一同恢复。是否继续？", static_cast<unsigned long>(count));
    return text;
}

LRESULT CUndoConfirmDlg::OnInitDialog(WPARAM, LPARAM)
{
    CenterWindow();
    ::SetWindowTextW(GetDlgItem(IDC_UNDO_QUESTION), UndoQuestion(CountComeBack(m_quarantine)).c_str());
    ::SetWindowTextW(GetDlgItem(IDC_UNDO_NOT_BACK), NotBackText(m_quarantine).c_str());
    HWND items = GetDlgItem(IDC_UNDO_ITEMS);
    for (size_t i = 0; i < m_quarantine.records.size(); ++i)
    {
        const ManifestRecord& record = m_quarantine.records[i];
        const bool restored = record.kind == kRecordRegistry ? m_quarantine.registryRestored
                                                          : i < m_quarantine.restored.size() && m_quarantine.restored[i];
        ::SendMessageW(items, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(RecordRow(record, restored).c_str()));
    }
    ::SendMessageW(items, LB_SETHORIZONTALEXTENT, 2000, 0);
    // No is the default answer: the focus starts on it.
    ::SetFocus(GetDlgItem(IDNO));
    return FALSE;
}

LRESULT CUndoConfirmDlg::OnAnswer(WPARAM wParam, LPARAM)
{
    EndDialog(LOWORD(wParam) == IDYES ? IDYES : IDNO);
    return 0;
}

// Opens the list below the buttons, once.
LRESULT CUndoConfirmDlg::OnShowItems(WPARAM, LPARAM)
{
    HWND items = GetDlgItem(IDC_UNDO_ITEMS);
    if (::IsWindowVisible(items))
        return 0;
    RECT list;
    ::GetWindowRect(items, &list);
    RECT window;
    ::GetWindowRect(m_hWnd, &window);
    RECT margin = {0, 0, 7, 7};
    ::MapDialogRect(m_hWnd, &margin);
    ::SetWindowPos(m_hWnd, NULL, 0, 0, window.right - window.left, list.bottom + margin.bottom - window.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::ShowWindow(items, SW_SHOW);
    ::EnableWindow(GetDlgItem(IDC_UNDO_SHOW_ITEMS), FALSE);
    ::SetFocus(GetDlgItem(IDNO));
    return 0;
}

bool UndoScan(HWND owner, const std::wstring& folder)
{
    // What the question counts; a folder that cannot be read is asked about
    // with nothing counted, and the restore then says why it refuses.
    QuarantineSummary quarantine;
    if (!ReadQuarantine(folder, quarantine))
        quarantine = QuarantineSummary();
    CUndoConfirmDlg confirm(quarantine);
    if (confirm.DoModal(owner) != IDYES)
        return false;
    RestoreChoice choice;
    choice.registry = true;
    CRestoreDlg restore(folder, choice);
    restore.DoModal(owner);
    return true;
}
