#pragma once

// Resource and control ids, shared by the resource script and the code.
// Plain #defines: the resource compiler reads this file too.

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#define IDD_SIVRA_DIALOG 102
#define IDD_DEVINFO_DIALOG 129
#define IDI_VEXO3_UPDATER 138

#define IDC_FIRMWARE_FILE 1000
#define IDC_BROWSE 1001
#define IDC_UPDATE 1002
#define IDC_SUMMARY 1004
#define IDC_READ_INFO 1005
#define IDC_STATUS 1006
#define IDC_HC_CHECK 1008
#define IDC_CAMERA_CHECK 1009
// Not in the template: the progress strip is added when the dialog opens.
#define IDC_PROGRESS 1010

#define IDC_REPORT 1032
