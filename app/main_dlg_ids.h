// Control ids of the main window (dialog 129), shared by its template, its
// code and the window tests. Plain #defines: the resource compiler reads them.
#pragma once

#define IDD_MAIN 129
#define IDC_MAIN_START_STOP 1008
#define IDC_MAIN_FORUM_LINK 1009
#define IDC_MAIN_HOME_LINK 1011
#define IDC_MAIN_COMMUNITY_LINK 1012
#define IDC_MAIN_STATUS 1017
#define IDC_MAIN_FORCE_FORMAT 1006
#define IDC_MAIN_REBOOT_FORMAT 1023
// "恢复…": the list of the quarantines.
#define IDC_MAIN_RESTORE_LINK 1031
