// Resource and control identifiers, shared by zembrel.rc and the code.
#ifndef ZEMBREL_RESOURCE_H
#define ZEMBREL_RESOURCE_H

#define IDS_INCOMPATIBLE 1
#define IDD_ADDON_ERROR 101
#define IDI_APP 103
#define IDI_ADDON_ERROR 106

#define IDC_TIMEOUT_LABEL 1015
#define IDC_TIMEOUT_VALUE 1017
#define IDC_MESSAGE 1020

#define IDT_COUNTDOWN 101
#define COUNTDOWN_PERIOD_MS 1000

// The second command, besides Cancel's, that closes the dialog with IDCANCEL.
#define IDC_CLOSE_COMMAND 16

#endif
