// The modal dialog on Windows: typed system keys go to the dialog's handler before anything else.
#include "platform/win32/win32.h"

// A typed key goes to the focused control, and the dialog manager or the control's default
// handling acts on it before the dialog's handler could: Alt+F4 on the Cancel button closes
// the dialog, an Alt+letter reaches no one. The handler alone decides what a system key does
// (an operator's key freezes an unattended countdown), so while the modal loop runs, a message
// filter offers them to the handler first. The dialog manager calls the filter (MSGF_DIALOGBOX)
// for each message its loop takes, before IsDialogMessage looks at it.
static DLGPROC s_handler = NULL; // the handler of the dialog shown modally now
static HHOOK s_filter = NULL;

static BOOL IsSystemKey(const MSG *message)
{
    return message->message == WM_SYSKEYDOWN || message->message == WM_SYSKEYUP;
}

static LRESULT CALLBACK FilterDialogKeys(int code, WPARAM wParam, LPARAM lParam)
{
    const MSG *message = (const MSG *)lParam;
    if (code == MSGF_DIALOGBOX && IsSystemKey(message) && message->hwnd != NULL) {
        // The key is meant for the dialog or one of its controls: the dialog is their root.
        HWND dialog = GetAncestor(message->hwnd, GA_ROOT);
        DLGPROC handler = (DLGPROC)GetWindowLongPtrW(dialog, DWLP_DLGPROC);
        if (handler != NULL && handler == s_handler &&
            handler(dialog, message->message, message->wParam, message->lParam))
            return TRUE; // handled: the dialog manager and the control do nothing more with it
    }
    return CallNextHookEx(s_filter, code, wParam, lParam);
}

INT_PTR ZembrelDialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialogTemplate,
                                       HWND owner, DLGPROC handler, LPARAM initParam)
{
    // Set for as long as this dialog is up; the filter serves this thread only.
    s_handler = handler;
    s_filter = SetWindowsHookExW(WH_MSGFILTER, FilterDialogKeys, NULL, GetCurrentThreadId());
    INT_PTR result = DialogBoxIndirectParamW(instance, dialogTemplate, owner, handler, initParam);
    if (s_filter != NULL)
        UnhookWindowsHookEx(s_filter);
    s_filter = NULL;
    s_handler = NULL;
    return result;
}
