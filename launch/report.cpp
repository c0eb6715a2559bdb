// The report path: the incompatibility dialog in front of the desktop, and the status code.
#include "dialog/dialog.h"
#include "launch/zembrel.h"
#include "registry/registry.h"

static const WCHAR MANAGEMENT_KEY[] = TEXT("NetAdmin\\SNMP");

// Options are found anywhere in the line, case and all, not as separate words.
static BOOL IsUnattended(LPCWSTR commandLine)
{
    return wcsstr(commandLine, TEXT("-NoUI")) != NULL ||
           wcsstr(commandLine, TEXT("-SNMP")) != NULL || wcsstr(commandLine, TEXT("-DHCP")) != NULL;
}

void ReportIncompatibility(LPCWSTR commandLine)
{
    HWND owner = FindWindowW(TEXT("DesktopExplorerWindow"), TEXT("WbtDesktopWindow"));
    HWND previousForeground = GetForegroundWindow();

    if (IsUnattended(commandLine)) {
        g_fUnattended = 1;
        if (!ReadRegDword(HKEY_LOCAL_MACHINE, MANAGEMENT_KEY, TEXT("ZembrelTimeOut"), &g_nTimeout))
            g_nTimeout = DEFAULT_TIMEOUT_SECONDS;
    }

    HRSRC resource = FindResourceW(g_hInstance, MAKEINTRESOURCE(IDD_ADDON_ERROR), RT_DIALOG);
    LPCDLGTEMPLATE dialogTemplate = (LPCDLGTEMPLATE)LoadResource(g_hInstance, resource);
    DialogBoxIndirectParamW(g_hInstance, dialogTemplate, owner, AddOnErrorDlgProc, 0);

    if (previousForeground != NULL)
        SetForegroundWindow(previousForeground);

    // However the dialog ended, the management system learns why the upgrade did not run.
    if (g_fUnattended)
        WriteRegDword(HKEY_LOCAL_MACHINE, MANAGEMENT_KEY, TEXT("ZembrelCode"), STATUS_INCOMPATIBLE);
}
