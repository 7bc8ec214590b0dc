// Control ids of the result dialog "注意" (dialog 202), shared by its
// template, its code and the window tests.
#pragma once

#define IDD_RESULT 202
#define IDC_RESULT_SENTENCE 1019
#define IDC_RESULT_QUESTION 1022
#define IDC_RESULT_VIEW_LOG 1005
// "撤销本次修复": shown only after a scan that changed something.
#define IDC_RESULT_UNDO 1032
