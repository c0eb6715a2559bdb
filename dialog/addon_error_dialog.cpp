// The incompatibility dialog's handler: the message, and in unattended runs the countdown.
#include "dialog/dialog.h"
#include "launch/zembrel.h"

LONG g_nCountdown = 0;

#define TEXT_CHARS 260
#define SMALLEST_COUNTDOWN (-2147483647 - 1)

static void ShowCountdown(HWND dialog)
{
    WCHAR number[16];
    wsprintfW(number, TEXT("%d"), (int)g_nCountdown);
    SetDlgItemTextW(dialog, IDC_TIMEOUT_VALUE, number);
}

static INT_PTR OnInitDialog(HWND dialog)
{
    WCHAR format[TEXT_CHARS] = {0}; // stays empty when the string cannot be loaded
    WCHAR text[TEXT_CHARS] = {0};
    LoadStringW(g_hInstance, IDS_INCOMPATIBLE, format, TEXT_CHARS);
    wsprintfW(text, format, REQUIRED_VERSION, REQUIRED_BUILD);
    SetDlgItemTextW(dialog, IDC_MESSAGE, text);
    SetFocus(GetDlgItem(dialog, IDCANCEL));

    if (g_fUnattended) {
        ShowWindow(GetDlgItem(dialog, IDC_TIMEOUT_LABEL), SW_SHOW);
        ShowWindow(GetDlgItem(dialog, IDC_TIMEOUT_VALUE), SW_SHOW);
        g_nCountdown = g_nTimeout;
        ShowCountdown(dialog);
        UpdateWindow(dialog);
        SetTimer(dialog, IDT_COUNTDOWN, COUNTDOWN_PERIOD_MS, NULL);
    } else {
        ShowWindow(GetDlgItem(dialog, IDC_TIMEOUT_LABEL), SW_HIDE);
        ShowWindow(GetDlgItem(dialog, IDC_TIMEOUT_VALUE), SW_HIDE);
    }
    return TRUE;
}

static INT_PTR OnTimer(HWND dialog)
{
    if (!g_fUnattended)
        return TRUE;
    // The smallest number cannot go lower; it is below zero already and closes now.
    if (g_nCountdown != SMALLEST_COUNTDOWN)
        --g_nCountdown;
    if (g_nCountdown < 0) {
        KillTimer(dialog, IDT_COUNTDOWN);
        EndDialog(dialog, IDOK);
    } else {
        ShowCountdown(dialog);
    }
    return FALSE;
}

static INT_PTR OnCommand(HWND dialog, WPARAM wParam)
{
    switch (LOWORD(wParam)) {
    case IDOK:
        EndDialog(dialog, IDOK);
        break;
    case IDCANCEL:
    case IDC_CLOSE_COMMAND:
        EndDialog(dialog, IDCANCEL);
        break;
    }
    return TRUE;
}

// A system key freezes the countdown where it stands; Alt+F4 also closes the dialog.
static INT_PTR OnSystemKey(HWND dialog, WPARAM wParam)
{
    if (!g_fUnattended)
        return TRUE;
    KillTimer(dialog, IDT_COUNTDOWN);
    if (wParam == VK_F4)
        EndDialog(dialog, IDCANCEL);
    return TRUE;
}

INT_PTR CALLBACK AddOnErrorDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(dialog);
    case WM_TIMER:
        return OnTimer(dialog);
    case WM_COMMAND:
        return OnCommand(dialog, wParam);
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP:
        return OnSystemKey(dialog, wParam);
    }
    return FALSE;
}
