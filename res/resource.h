// Resource and control ids shared by the resource script, the Win32 view,
// the wx view and the dialog logic.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_ORVALOAD_DIALOG 102

#define IDC_UPGRADE 1000
#define IDC_SECOND_BUTTON 2 /* IDCANCEL: the cancel command */
#define IDC_ACTIONS 1001
#define IDC_INFORMATION 1002
#define IDC_PROGRESS 1003
#define IDC_PORT_LIST 1004
#define IDC_STATUS 1005
#define IDC_CHOOSE_LABEL 1006

#define ORVA_DIALOG_CAPTION "Vendral ORVA Upgrader version "
