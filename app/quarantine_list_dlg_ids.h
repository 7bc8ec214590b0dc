// Control ids of the list of the quarantines (dialog 206), shared by its
// template, its code and the window tests.
#pragma once

#define IDD_QUARANTINE_LIST 206
#define IDC_LIST_QUARANTINES 1061
#define IDC_LIST_ITEMS 1062
#define IDC_LIST_RESTORE_ALL 1063
#define IDC_LIST_RESTORE_CHOSEN 1064
#define IDC_LIST_EMPTY 1065
