/* Drives zembrel.exe's dialog from outside, as a user or a management agent would. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

/*
 * windriver find SECONDS               wait for the dialog; print its handle, class, title
 * windriver info                       the dialog and each control: id, class, visibility, rect
 * windriver text ID                    a control's text
 * windriver visible ID                 whether a control is visible
 * windriver watch ID SECONDS           print "watching", wait for the dialog, then print each
 *                                      change of a control's text (ms after it appeared) until
 *                                      it closes
 * windriver wait-closed SECONDS        wait until no dialog is left
 * windriver post MSG WPARAM [LPARAM]   post command|syskeydown|syskeyup|keydown|N to the dialog
 * windriver click ID                   BM_CLICK on a button of the dialog
 * windriver end                        end the program of every dialog left up (after a
 *                                      failed case, whose dialog would stand in the next's way)
 * windriver idle SECONDS               do nothing for that long (keeps the prefix's services up)
 * windriver run EXE DIR HEXLINE SECONDS
 *     start EXE in DIR with the command line "EXE" + the UTF-8 text HEXLINE (hex digits,
 *     "-" for none), wait for it, print its exit code and the title of each window it showed
 * windriver owner EXE DIR HEXLINE DESKTOP SECONDS
 *     with a desktop window (DESKTOP 1) or without (0), and another application's window in
 *     the foreground, run EXE as above; print the dialog's owner and the foreground window
 *     while the dialog is up and after it has gone (Cancel ends it)
 *
 * Texts are printed as hex digits of their UTF-8 bytes, so any character survives. Exit
 * status: 0 done, 1 the dialog or control was not found in time, 2 bad usage, 3 other failure.
 */

static const WCHAR DIALOG_TITLE[] = L"Firmware Add-on Error";

static void Print(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

static void PrintHexText(const char *label, const WCHAR *text)
{
    char utf8[4096];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), NULL, NULL);
    Print("%s ", label);
    for (int i = 0; i + 1 < bytes; ++i)
        Print("%02x", (unsigned char)utf8[i]);
    Print("\n");
}

static int ParseInt(const char *text)
{
    return (int)strtol(text, NULL, 0);
}

/* Lets this thread's own windows answer while it waits. */
static void PumpMessages(DWORD milliseconds)
{
    DWORD start = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= milliseconds)
            return;
        MsgWaitForMultipleObjects(0, NULL, FALSE, milliseconds - elapsed, QS_ALLINPUT);
    }
}

static HWND FindDialog(void)
{
    return FindWindowW(NULL, DIALOG_TITLE);
}

static HWND WaitForDialog(int seconds)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND dialog = FindDialog();
        if (dialog != NULL && IsWindowVisible(dialog))
            return dialog;
        if (GetTickCount() - start >= (DWORD)seconds * 1000)
            return NULL;
        PumpMessages(20);
    }
}

static HWND RequireDialog(void)
{
    HWND dialog = FindDialog();
    if (dialog == NULL)
        Print("no-dialog\n");
    return dialog;
}

static HWND RequireControl(HWND dialog, int id)
{
    HWND control = GetDlgItem(dialog, id);
    if (control == NULL)
        Print("no-control %d\n", id);
    return control;
}

static void ReadText(HWND window, WCHAR *text, int capacity)
{
    text[0] = 0;
    InternalGetWindowText(window, text, capacity);
}

static int CommandFind(int seconds)
{
    HWND dialog = WaitForDialog(seconds);
    if (dialog == NULL) {
        Print("no-dialog\n");
        return 1;
    }
    WCHAR text[512];
    Print("dialog %p\n", (void *)dialog);
    GetClassNameW(dialog, text, 512);
    PrintHexText("class", text);
    ReadText(dialog, text, 512);
    PrintHexText("title", text);
    return 0;
}

static BOOL CALLBACK PrintControl(HWND control, LPARAM lParam)
{
    HWND dialog = (HWND)lParam;
    WCHAR text[512];
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(NULL, dialog, (POINT *)&rect, 2);
    LONG style = GetWindowLongW(control, GWL_STYLE);
    Print("control %d visible %d style 0x%08lx rect %ld %ld %ld %ld\n", GetDlgCtrlID(control),
          (style & WS_VISIBLE) ? 1 : 0, (unsigned long)style, rect.left, rect.top, rect.right,
          rect.bottom);
    GetClassNameW(control, text, 512);
    PrintHexText("class", text);
    ReadText(control, text, 512);
    PrintHexText("text", text);
    return TRUE;
}

static int CommandInfo(void)
{
    HWND dialog = RequireDialog();
    if (dialog == NULL)
        return 1;
    RECT window;
    RECT client;
    GetWindowRect(dialog, &window);
    GetClientRect(dialog, &client);
    Print("dialog %p style 0x%08lx exstyle 0x%08lx\n", (void *)dialog,
          (unsigned long)GetWindowLongW(dialog, GWL_STYLE),
          (unsigned long)GetWindowLongW(dialog, GWL_EXSTYLE));
    Print("window %ld %ld %ld %ld\n", window.left, window.top, window.right, window.bottom);
    Print("client %ld %ld\n", client.right, client.bottom);
    Print("screen %d %d\n", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    HWND focus = NULL;
    GUITHREADINFO gui;
    gui.cbSize = sizeof(gui);
    if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, NULL), &gui))
        focus = gui.hwndFocus;
    Print("focus %d\n", focus != NULL ? GetDlgCtrlID(focus) : 0);
    EnumChildWindows(dialog, PrintControl, (LPARAM)dialog);
    return 0;
}

static int CommandText(int id)
{
    HWND dialog = RequireDialog();
    HWND control = dialog != NULL ? RequireControl(dialog, id) : NULL;
    if (control == NULL)
        return 1;
    WCHAR text[512];
    ReadText(control, text, 512);
    PrintHexText("text", text);
    return 0;
}

static int CommandVisible(int id)
{
    HWND dialog = RequireDialog();
    HWND control = dialog != NULL ? RequireControl(dialog, id) : NULL;
    if (control == NULL)
        return 1;
    Print("visible %d\n", (GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) ? 1 : 0);
    return 0;
}

static int CommandWatch(int id, int seconds)
{
    Print("watching\n"); /* a caller may start the program only now, and miss nothing */
    HWND dialog = WaitForDialog(seconds);
    if (dialog == NULL) {
        Print("no-dialog\n");
        return 1;
    }
    HWND control = GetDlgItem(dialog, id);
    WCHAR last[512] = L"\x1";
    DWORD start = GetTickCount();
    for (;;) {
        DWORD now = GetTickCount() - start;
        if (!IsWindow(dialog) || !IsWindowVisible(dialog)) {
            Print("closed %lu\n", (unsigned long)now);
            return 0;
        }
        if (now >= (DWORD)seconds * 1000) {
            Print("timeout %lu\n", (unsigned long)now);
            return 1;
        }
        WCHAR text[512];
        ReadText(control, text, 512);
        if (wcscmp(text, last) != 0) {
            wcscpy(last, text);
            char label[32];
            snprintf(label, sizeof(label), "at %lu", (unsigned long)now);
            PrintHexText(label, text);
        }
        Sleep(25);
    }
}

static int CommandWaitClosed(int seconds)
{
    DWORD start = GetTickCount();
    while (FindDialog() != NULL) {
        if (GetTickCount() - start >= (DWORD)seconds * 1000) {
            Print("still-open\n");
            return 1;
        }
        Sleep(25);
    }
    Print("closed %lu\n", (unsigned long)(GetTickCount() - start));
    return 0;
}

static UINT MessageNumber(const char *name)
{
    if (strcmp(name, "command") == 0)
        return WM_COMMAND;
    if (strcmp(name, "syskeydown") == 0)
        return WM_SYSKEYDOWN;
    if (strcmp(name, "syskeyup") == 0)
        return WM_SYSKEYUP;
    if (strcmp(name, "keydown") == 0)
        return WM_KEYDOWN;
    return (UINT)ParseInt(name);
}

static int CommandPost(const char *name, const char *wParam, const char *lParam)
{
    HWND dialog = RequireDialog();
    if (dialog == NULL)
        return 1;
    UINT message = MessageNumber(name);
    if (!PostMessageW(dialog, message, (WPARAM)strtoul(wParam, NULL, 0),
                      (LPARAM)strtol(lParam, NULL, 0))) {
        Print("post-failed %lu\n", GetLastError());
        return 3;
    }
    Print("posted 0x%04x\n", message);
    return 0;
}

static int CommandClick(int id)
{
    HWND dialog = RequireDialog();
    HWND button = dialog != NULL ? RequireControl(dialog, id) : NULL;
    if (button == NULL)
        return 1;
    /* The dialog may end while the click is handled; do not wait on it for long. */
    DWORD_PTR result = 0;
    SendMessageTimeoutW(button, BM_CLICK, 0, 0, SMTO_NORMAL, 5000, &result);
    Print("clicked %d\n", id);
    return 0;
}

static int CommandEnd(void)
{
    for (int tries = 0; tries < 10; ++tries) {
        HWND dialog = FindDialog();
        if (dialog == NULL)
            return 0;
        DWORD processId = 0;
        GetWindowThreadProcessId(dialog, &processId);
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
        if (process == NULL) {
            Print("open-failed %lu\n", GetLastError());
            return 3;
        }
        TerminateProcess(process, 255);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
        Print("ended %lu\n", (unsigned long)processId);
    }
    return FindDialog() == NULL ? 0 : 3;
}

/* Decodes hex digits of UTF-8 into a freshly allocated wide string; "-" is the empty text. */
static WCHAR *DecodeHexLine(const char *hex)
{
    size_t digits = strcmp(hex, "-") == 0 ? 0 : strlen(hex);
    if (digits % 2 != 0)
        return NULL;
    char *bytes = (char *)calloc(digits / 2 + 1, 1);
    WCHAR *wide = (WCHAR *)calloc(digits / 2 + 1, sizeof(WCHAR));
    if (bytes == NULL || wide == NULL) {
        free(bytes);
        free(wide);
        return NULL;
    }
    for (size_t i = 0; i < digits / 2; ++i) {
        char pair[3] = {hex[2 * i], hex[2 * i + 1], 0};
        bytes[i] = (char)strtoul(pair, NULL, 16);
    }
    if (digits > 0)
        MultiByteToWideChar(CP_UTF8, 0, bytes, -1, wide, (int)(digits / 2 + 1));
    free(bytes);
    return wide;
}

/* Starts EXE with the exact command line "\"EXE\" LINE", or "\"EXE\"" when LINE is empty. */
static BOOL StartProgram(const char *exe, const char *directory, const char *hexLine,
                         PROCESS_INFORMATION *process)
{
    WCHAR wideExe[MAX_PATH];
    WCHAR wideDirectory[MAX_PATH];
    WCHAR *line = DecodeHexLine(hexLine);
    if (line == NULL || !MultiByteToWideChar(CP_UTF8, 0, exe, -1, wideExe, MAX_PATH) ||
        !MultiByteToWideChar(CP_UTF8, 0, directory, -1, wideDirectory, MAX_PATH)) {
        free(line);
        return FALSE;
    }
    size_t capacity = wcslen(wideExe) + wcslen(line) + 8;
    WCHAR *commandLine = (WCHAR *)calloc(capacity, sizeof(WCHAR));
    if (commandLine == NULL) {
        free(line);
        return FALSE;
    }
    swprintf(commandLine, capacity, line[0] != 0 ? L"\"%ls\" %ls" : L"\"%ls\"", wideExe, line);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    BOOL started = CreateProcessW(wideExe, commandLine, NULL, NULL, FALSE, 0, NULL, wideDirectory,
                                  &startup, process);
    if (!started)
        Print("start-failed %lu\n", GetLastError());
    free(commandLine);
    free(line);
    return started;
}

/* The visible top-level windows a program has shown, each printed once, with its title. */
struct ShownWindows {
    DWORD processId;
    HWND windows[16];
    int count;
};

static BOOL CALLBACK NoteWindow(HWND window, LPARAM lParam)
{
    struct ShownWindows *shown = (struct ShownWindows *)lParam;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != shown->processId || !IsWindowVisible(window))
        return TRUE;
    for (int i = 0; i < shown->count; ++i)
        if (shown->windows[i] == window)
            return TRUE;
    if (shown->count < 16)
        shown->windows[shown->count++] = window;
    WCHAR title[512];
    ReadText(window, title, 512);
    PrintHexText("window", title);
    return TRUE;
}

static int FinishProgram(PROCESS_INFORMATION *process, int seconds)
{
    DWORD start = GetTickCount();
    struct ShownWindows shown;
    shown.processId = process->dwProcessId;
    shown.count = 0;
    while (WaitForSingleObject(process->hProcess, 0) == WAIT_TIMEOUT) {
        EnumWindows(NoteWindow, (LPARAM)&shown);
        if (GetTickCount() - start >= (DWORD)seconds * 1000) {
            Print("timeout\n");
            TerminateProcess(process->hProcess, 255);
            CloseHandle(process->hThread);
            CloseHandle(process->hProcess);
            return 3;
        }
        PumpMessages(20);
    }
    DWORD code = 0;
    GetExitCodeProcess(process->hProcess, &code);
    Print("exit %lu 0x%08lx\n", (unsigned long)code, (unsigned long)code);
    CloseHandle(process->hThread);
    CloseHandle(process->hProcess);
    return 0;
}

static int CommandRun(const char *exe, const char *directory, const char *hexLine, int seconds)
{
    PROCESS_INFORMATION process;
    if (!StartProgram(exe, directory, hexLine, &process))
        return 3;
    return FinishProgram(&process, seconds);
}

static LRESULT CALLBACK PlainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(window, message, wParam, lParam);
}

static HWND CreatePlainWindow(LPCWSTR className, LPCWSTR title, DWORD style, int x, int y,
                              int width, int height)
{
    WNDCLASSW windowClass;
    ZeroMemory(&windowClass, sizeof(windowClass));
    windowClass.lpfnWndProc = PlainWindowProc;
    windowClass.hInstance = GetModuleHandleW(NULL);
    windowClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    windowClass.lpszClassName = className;
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, className, title, style, x, y, width, height, NULL, NULL,
                           windowClass.hInstance, NULL);
}

static const char *NameWindow(HWND window, HWND desktop, HWND other, HWND dialog)
{
    static char unknown[32];
    if (window == NULL)
        return "none";
    if (window == desktop)
        return "desktop";
    if (window == other)
        return "other";
    if (window == dialog)
        return "dialog";
    snprintf(unknown, sizeof(unknown), "%p", (void *)window);
    return unknown;
}

static int CommandOwner(const char *exe, const char *directory, const char *hexLine,
                        int withDesktop, int seconds)
{
    HWND desktop = NULL;
    if (withDesktop)
        desktop = CreatePlainWindow(L"DesktopExplorerWindow", L"WbtDesktopWindow",
                                    WS_POPUP | WS_VISIBLE, 0, 0, 640, 480);
    HWND other = CreatePlainWindow(L"ZembrelTestApplication", L"Another Application",
                                   WS_OVERLAPPEDWINDOW | WS_VISIBLE, 660, 500, 300, 200);
    if ((withDesktop && desktop == NULL) || other == NULL) {
        Print("create-failed %lu\n", GetLastError());
        return 3;
    }
    PumpMessages(200);
    SetForegroundWindow(other);
    PumpMessages(300);
    Print("foreground-before %s\n", NameWindow(GetForegroundWindow(), desktop, other, NULL));

    PROCESS_INFORMATION process;
    if (!StartProgram(exe, directory, hexLine, &process))
        return 3;
    HWND dialog = WaitForDialog(seconds);
    if (dialog == NULL) {
        Print("no-dialog\n");
        FinishProgram(&process, 1);
        return 1;
    }
    PumpMessages(300);
    Print("owner %s\n", NameWindow(GetWindow(dialog, GW_OWNER), desktop, other, dialog));
    Print("foreground-during %s\n", NameWindow(GetForegroundWindow(), desktop, other, dialog));
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    int status = FinishProgram(&process, seconds);
    PumpMessages(500);
    Print("foreground-after %s\n", NameWindow(GetForegroundWindow(), desktop, other, dialog));
    DestroyWindow(other);
    if (desktop != NULL)
        DestroyWindow(desktop);
    return status;
}

static int Usage(void)
{
    fprintf(stderr, "usage: windriver "
                    "find|info|text|visible|watch|wait-closed|post|click|end|idle|run|owner ...\n");
    return 2;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    const char *command = argv[1];
    if (strcmp(command, "find") == 0 && argc == 3)
        return CommandFind(ParseInt(argv[2]));
    if (strcmp(command, "info") == 0 && argc == 2)
        return CommandInfo();
    if (strcmp(command, "text") == 0 && argc == 3)
        return CommandText(ParseInt(argv[2]));
    if (strcmp(command, "visible") == 0 && argc == 3)
        return CommandVisible(ParseInt(argv[2]));
    if (strcmp(command, "watch") == 0 && argc == 4)
        return CommandWatch(ParseInt(argv[2]), ParseInt(argv[3]));
    if (strcmp(command, "wait-closed") == 0 && argc == 3)
        return CommandWaitClosed(ParseInt(argv[2]));
    if (strcmp(command, "post") == 0 && (argc == 4 || argc == 5))
        return CommandPost(argv[2], argv[3], argc == 5 ? argv[4] : "0");
    if (strcmp(command, "click") == 0 && argc == 3)
        return CommandClick(ParseInt(argv[2]));
    if (strcmp(command, "end") == 0 && argc == 2)
        return CommandEnd();
    if (strcmp(command, "idle") == 0 && argc == 3) {
        Sleep((DWORD)ParseInt(argv[2]) * 1000);
        return 0;
    }
    if (strcmp(command, "run") == 0 && argc == 6)
        return CommandRun(argv[2], argv[3], argv[4], ParseInt(argv[5]));
    if (strcmp(command, "owner") == 0 && argc == 7)
        return CommandOwner(argv[2], argv[3], argv[4], ParseInt(argv[5]), ParseInt(argv[6]));
    return Usage();
}
