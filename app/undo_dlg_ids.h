// Control ids of the undo confirmation (dialog 204) and of the restore's
// progress and result (dialog 205), shared by their templates, their code
// and the window tests.
#pragma once

#define IDD_UNDO_CONFIRM 204
#define IDC_UNDO_QUESTION 1041
#define IDC_UNDO_NOT_BACK 1042
#define IDC_UNDO_SHOW_ITEMS 1043
#define IDC_UNDO_ITEMS 1044

#define IDD_RESTORE 205
#define IDC_RESTORE_SENTENCE 1051
#define IDC_RESTORE_LINES 1052
