// "恢复…" of the main window: the quarantines this program made, newest
// first, with their time, number of items and what they hold; the one
// chosen is restored whole or item by item.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "app/quarantine_list_dlg_ids.h"
#include "app/restore.h"
#include "ui/window.h"

class CQuarantineListDlg : public CDialogImpl<CQuarantineListDlg>
{
public:
    enum { IDD = IDD_QUARANTINE_LIST };
    CQuarantineListDlg();
    bool ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

private:
    LRESULT OnInitDialog(WPARAM, LPARAM);
    LRESULT OnQuarantineList(WPARAM, LPARAM);
    LRESULT OnItemList(WPARAM, LPARAM);
    LRESULT OnRestoreAll(WPARAM, LPARAM);
    LRESULT OnRestoreChosen(WPARAM, LPARAM);
    LRESULT OnClose(WPARAM, LPARAM);

    // Reads the quarantines again and shows them, keeping the one chosen.
    void Refresh();
    void ShowItems();
    void UpdateButtons();
    // The quarantine chosen in the list; NULL when none.
    const QuarantineSummary* Chosen() const;
    void Restore(const RestoreChoice& choice);

    std::vector<QuarantineSummary> m_quarantines;  // newest first
    // Per row of the item list: the record's position, or
    // kRegistryScriptItem for the row of all registry changes.
    std::vector<size_t> m_itemRecords;
    std::wstring m_strChosen;  // the folder chosen
};
