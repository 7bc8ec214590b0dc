#include "app/quarantine_list_dlg.h"

#include <algorithm>
#include <cwchar>

#include "app/quarantine_items.h"
#include "app/restore_dlg.h"
#include "app/undo_dlg.h"

namespace {

void AddRow(HWND list, const std::wstring& row)
{
    ::SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(row.c_str()));
}

}  // namespace

CQuarantineListDlg::CQuarantineListDlg() {}

bool CQuarantineListDlg::ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    static const MessageEntry<CQuarantineListDlg> table[] = {
        {WM_INITDIALOG, kAnyId, &CQuarantineListDlg::OnInitDialog},
        {WM_COMMAND, IDC_LIST_QUARANTINES, &CQuarantineListDlg::OnQuarantineList},
        {WM_COMMAND, IDC_LIST_ITEMS, &CQuarantineListDlg::OnItemList},
        {WM_COMMAND, IDC_LIST_RESTORE_ALL, &CQuarantineListDlg::OnRestoreAll},
        {WM_COMMAND, IDC_LIST_RESTORE_CHOSEN, &CQuarantineListDlg::OnRestoreChosen},
        {WM_COMMAND, IDOK, &CQuarantineListDlg::OnClose},
        {WM_COMMAND, IDCANCEL, &CQuarantineListDlg::OnClose},
    };
    return DispatchMessageTable(this, table, message, wParam, lParam, result);
}

LRESULT CQuarantineListDlg::OnInitDialog(WPARAM, LPARAM)
{
    CenterWindow();
    Refresh();
    return TRUE;
}

void CQuarantineListDlg::Refresh()
{
    ReadQuarantines(m_quarantines);
    std::reverse(m_quarantines.begin(), m_quarantines.end());
    HWND list = GetDlgItem(IDC_LIST_QUARANTINES);
    ::SendMessageW(list, LB_RESETCONTENT, 0, 0);
    int chosen = m_quarantines.empty() ? -1 : 0;
    for (size_t i = 0; i < m_quarantines.size(); ++i)
    {
        AddRow(list, QuarantineRow(m_quarantines[i]));
        if (m_quarantines[i].folder == m_strChosen)
            chosen = static_cast<int>(i);
    }
    ::SendMessageW(list, LB_SETCURSEL, chosen, 0);
    ::ShowWindow(GetDlgItem(IDC_LIST_EMPTY), m_quarantines.empty() ? SW_SHOW : SW_HIDE);
    ShowItems();
}

const QuarantineSummary* CQuarantineListDlg::Chosen() const
{
    const LRESULT row = ::SendMessageW(GetDlgItem(IDC_LIST_QUARANTINES), LB_GETCURSEL, 0, 0);
    if (row == LB_ERR || static_cast<size_t>(row) >= m_quarantines.size())
        return NULL;
    return &m_quarantines[static_cast<size_t>(row)];
}

// One row per record, the registry's records in one row: before.reg puts
// them back together.
void CQuarantineListDlg::ShowItems()
{
    HWND items = GetDlgItem(IDC_LIST_ITEMS);
    ::SendMessageW(items, LB_RESETCONTENT, 0, 0);
    m_itemRecords.clear();
    const QuarantineSummary* quarantine = Chosen();
    m_strChosen = quarantine ? quarantine->folder : std::wstring();
    size_t registry = 0;
    for (size_t i = 0; quarantine && i < quarantine->records.size(); ++i)
    {
        const ManifestRecord& record = quarantine->records[i];
        if (record.kind == kRecordRegistry)
        {
            registry += CanComeBack(record) ? 1 : 0;
            continue;
        }
        AddRow(items, RecordRow(record, i < quarantine->restored.size() && quarantine->restored[i]));
        m_itemRecords.push_back(i);
    }
    if (registry)
    {
        wchar_t row[96];
        swprintf(row, 96, L"注册表  本次的 %lu 处修改（一同恢复）%ls", static_cast<unsigned long>(registry),
                 quarantine->registryRestored ? L"（已恢复）" : L"");
        AddRow(items, row);
        m_itemRecords.push_back(kRegistryScriptItem);
    }
    ::SendMessageW(items, LB_SETHORIZONTALEXTENT, 2000, 0);
    UpdateButtons();
}

void CQuarantineListDlg::UpdateButtons()
{
    const LRESULT chosenItems = ::SendMessageW(GetDlgItem(IDC_LIST_ITEMS), LB_GETSELCOUNT, 0, 0);
    ::EnableWindow(GetDlgItem(IDC_LIST_RESTORE_ALL), Chosen() != NULL);
    ::EnableWindow(GetDlgItem(IDC_LIST_RESTORE_CHOSEN), chosenItems != LB_ERR && chosenItems > 0);
}

LRESULT CQuarantineListDlg::OnQuarantineList(WPARAM wParam, LPARAM)
{
    if (HIWORD(wParam) == LBN_SELCHANGE)
        ShowItems();
    return 0;
}

LRESULT CQuarantineListDlg::OnItemList(WPARAM wParam, LPARAM)
{
    if (HIWORD(wParam) == LBN_SELCHANGE)
        UpdateButtons();
    return 0;
}

// The whole quarantine brings the worm back too: asked as the result
// dialog's undo asks.
LRESULT CQuarantineListDlg::OnRestoreAll(WPARAM, LPARAM)
{
    const QuarantineSummary* quarantine = Chosen();
    if (!quarantine)
        return 0;
    CUndoConfirmDlg confirm(*quarantine);
    if (confirm.DoModal(m_hWnd) != IDYES)
        return 0;
    RestoreChoice choice;
    choice.registry = true;
    Restore(choice);
    return 0;
}

LRESULT CQuarantineListDlg::OnRestoreChosen(WPARAM, LPARAM)
{
    HWND items = GetDlgItem(IDC_LIST_ITEMS);
    const LRESULT count = ::SendMessageW(items, LB_GETSELCOUNT, 0, 0);
    if (count == LB_ERR || count <= 0)
        return 0;
    std::vector<int> rows(static_cast<size_t>(count), 0);
    ::SendMessageW(items, LB_GETSELITEMS, static_cast<WPARAM>(count), reinterpret_cast<LPARAM>(&rows[0]));
    RestoreChoice choice;
    choice.everyRecord = false;
    for (size_t i = 0; i < rows.size(); ++i)
    {
        if (rows[i] < 0 || static_cast<size_t>(rows[i]) >= m_itemRecords.size())
            continue;
        const size_t record = m_itemRecords[static_cast<size_t>(rows[i])];
        if (record == kRegistryScriptItem)
            choice.registry = true;
        else
            choice.records.push_back(record);
    }
    Restore(choice);
    return 0;
}

void CQuarantineListDlg::Restore(const RestoreChoice& choice)
{
    if (m_strChosen.empty())
        return;
    CRestoreDlg restore(m_strChosen, choice);
    restore.DoModal(m_hWnd);
    Refresh();
}

LRESULT CQuarantineListDlg::OnClose(WPARAM, LPARAM)
{
    EndDialog(IDCANCEL);
    return 0;
}
