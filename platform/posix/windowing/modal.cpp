// The port's dialog manager: DLGTEMPLATE parsing, DialogBoxIndirectParamW's modal loop, EndDialog.
#include "wintable.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <new>

namespace {

// ---- Reading the template -------------------------------------------------------------------

// Reads little-endian fields from a template of known size; the first field that would run
// past its end fails the read and keeps the reason.
class TemplateReader {
  public:
    TemplateReader(const BYTE *start, size_t size) : p_(start), end_(start + size) {}

    bool Fail(const char *why)
    {
        if (error_ == nullptr)
            error_ = why;
        return false;
    }
    const char *Error() const { return error_; }

    bool Need(size_t count)
    {
        if (error_ != nullptr)
            return false;
        if ((size_t)(end_ - p_) >= count)
            return true;
        return Fail("it ends before its last field");
    }

    bool Word(WORD *out)
    {
        if (!Need(2))
            return false;
        *out = (WORD)(p_[0] | p_[1] << 8);
        p_ += 2;
        return true;
    }
    bool Dword(DWORD *out)
    {
        WORD low = 0, high = 0;
        if (!Word(&low) || !Word(&high))
            return false;
        *out = (DWORD)low | (DWORD)high << 16;
        return true;
    }
    bool Short(short *out)
    {
        WORD value = 0;
        if (!Word(&value))
            return false;
        *out = (short)value;
        return true;
    }
    bool String(std::u16string *out)
    {
        out->clear();
        for (;;) {
            WORD c = 0;
            if (!Word(&c))
                return false;
            if (c == 0)
                return true;
            out->push_back((char16_t)c);
        }
    }
    // 0x0000 (none), 0xFFFF and an ordinal, or a string.
    bool NameOrOrdinal(std::u16string *name, WORD *ordinal)
    {
        *ordinal = 0;
        name->clear();
        WORD first = 0;
        if (!Need(2))
            return false;
        first = (WORD)(p_[0] | p_[1] << 8);
        if (first == 0xFFFF) {
            p_ += 2;
            return Word(ordinal);
        }
        return String(name);
    }
    bool Skip(size_t count)
    {
        if (!Need(count))
            return false;
        p_ += count;
        return true;
    }
    bool AlignDword(const BYTE *base)
    {
        size_t offset = (size_t)(p_ - base);
        return Skip(((offset + 3) & ~(size_t)3) - offset);
    }

  private:
    const BYTE *p_;
    const BYTE *end_;
    const char *error_ = nullptr;
};

// The program's dialog holds buttons and static controls only.
const char16_t *ClassForAtom(WORD atom)
{
    return atom == 0x80 ? u"Button" : atom == 0x82 ? u"Static" : nullptr;
}

bool ParseItem(TemplateReader &in, const BYTE *base, Window *control)
{
    if (!in.AlignDword(base) || !in.Dword(&control->style) || !in.Dword(&control->exStyle) ||
        !in.Short(&control->x) || !in.Short(&control->y) || !in.Short(&control->cx) ||
        !in.Short(&control->cy))
        return false;
    WORD id = 0;
    if (!in.Word(&id))
        return false;
    control->id = (int)(short)id; // -1 (0xFFFF) stays -1, as Win32 reports it
    WORD atom = 0;
    if (!in.NameOrOrdinal(&control->className, &atom))
        return false;
    if (control->className.empty()) {
        const char16_t *name = ClassForAtom(atom);
        if (name == nullptr)
            return in.Fail("a control has an unknown class atom");
        control->className = name;
    }
    if (!in.NameOrOrdinal(&control->text, &control->iconOrdinal))
        return false;
    WORD extra = 0;
    // The creation data that follows is the control's own; the port's controls take none.
    return in.Word(&extra) && in.Skip(extra);
}

} // namespace

bool ParseDialogTemplate(const BYTE *base, size_t size, ParsedDialog *out, const char **error)
{
    TemplateReader in(base, size);
    Window &dialog = out->dialog;
    WORD count = 0;
    bool ok = in.Dword(&dialog.style) && in.Dword(&dialog.exStyle) && in.Word(&count) &&
              in.Short(&dialog.x) && in.Short(&dialog.y) && in.Short(&dialog.cx) &&
              in.Short(&dialog.cy);
    std::u16string menu, className;
    WORD menuOrdinal = 0, classOrdinal = 0;
    ok = ok && in.NameOrOrdinal(&menu, &menuOrdinal) &&
         in.NameOrOrdinal(&className, &classOrdinal) && in.String(&dialog.text);
    if (ok && (dialog.style & DS_SETFONT) != 0) {
        std::u16string face;
        ok = in.Skip(2) && in.String(&face);
    }
    for (WORD i = 0; ok && i < count; ++i) {
        Window control;
        ok = ParseItem(in, base, &control);
        if (ok)
            out->controls.push_back(std::move(control));
    }
    *error = in.Error() != nullptr ? in.Error() : "it cannot be read";
    return ok;
}

// ---- The modal loop ------------------------------------------------------------------------

namespace {

int s_testInput = -1;
int s_testOutput = -1;
bool s_testStreams = false;

std::unique_ptr<DialogView> ChooseView()
{
    if (s_testStreams)
        return MakeHeadlessView(s_testInput, s_testOutput);
    if (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) {
        std::unique_ptr<DialogView> terminal = MakeTerminalView();
        if (terminal)
            return terminal;
    }
    return MakeHeadlessView(STDIN_FILENO, STDOUT_FILENO);
}

bool IsPushButton(const Window *window)
{
    if (window == nullptr || window->className != u"Button")
        return false;
    DWORD kind = window->style & 0x0F;
    return kind == BS_PUSHBUTTON || kind == BS_DEFPUSHBUTTON;
}

// Tab moves the focus to the next visible control that is a tab stop, as IsDialogMessage does.
void FocusNextTabStop(Window &dialog)
{
    size_t count = dialog.children.size();
    size_t start = count;
    for (size_t i = 0; i < count; ++i)
        if (dialog.children[i] == GetFocus())
            start = i;
    for (size_t step = 1; step <= count; ++step) {
        Window *control = LookUpWindow(dialog.children[(start + step) % count]);
        if (control != nullptr && IsShown(*control) && (control->style & WS_TABSTOP) != 0) {
            SetFocus(control->handle);
            return;
        }
    }
}

// What the dialog manager makes of a key: Esc is Cancel, Enter and Space press the focused
// button (Enter the default one, IDOK, when the focus is not on a button).
void TranslateKey(HWND handle, WPARAM key)
{
    Window *dialog = LookUpWindow(handle);
    if (dialog == nullptr)
        return;
    Window *focused = LookUpWindow(GetFocus());
    if (key == VK_ESCAPE) {
        DeliverMessage(handle, WM_COMMAND, IDCANCEL, (LPARAM)GetDlgItem(handle, IDCANCEL));
    } else if (key == VK_RETURN || key == VK_SPACE) {
        if (IsPushButton(focused) && focused->parent == handle)
            DeliverMessage(handle, WM_COMMAND, (WPARAM)(WORD)focused->id, (LPARAM)focused->handle);
        else if (key == VK_RETURN)
            DeliverMessage(handle, WM_COMMAND, IDOK, (LPARAM)GetDlgItem(handle, IDOK));
    } else if (key == VK_TAB) {
        FocusNextTabStop(*dialog);
    }
}

void DeliverInput(HWND dialog, const InputEvent &event)
{
    switch (event.kind) {
    case InputEvent::Command:
        DeliverMessage(dialog, WM_COMMAND, event.value, 0);
        break;
    case InputEvent::SysKeyDown:
        DeliverMessage(dialog, WM_SYSKEYDOWN, event.value, 0);
        break;
    case InputEvent::SysKeyUp:
        DeliverMessage(dialog, WM_SYSKEYUP, event.value, 0);
        break;
    case InputEvent::KeyPress:
        TranslateKey(dialog, event.value);
        break;
    }
}

bool HasEnded(HWND handle)
{
    Window *dialog = LookUpWindow(handle);
    return dialog == nullptr || dialog->ended;
}

void PaintIfNeeded(HWND handle, DialogView &view)
{
    Window *dialog = LookUpWindow(handle);
    if (dialog != nullptr && dialog->dirty && IsShown(*dialog)) {
        dialog->dirty = false;
        view.Paint(*dialog);
    }
}

DialogView *s_activeView = nullptr;

// Ctrl+C, Ctrl+\, a terminal that hangs up, or a kill: the refusal was decided before the
// dialog opened, so while it runs the first such signal closes it as Cancel does, and the run
// ends as after any close (an unattended run's status, the self-delete, the exit code, the
// terminal as it was). Once the dialog is over, a signal does what it would.
const int CLOSING_SIGNALS[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};
volatile sig_atomic_t s_closingSignal = 0;

void NoteClosingSignal(int number)
{
    s_closingSignal = number;
}

class ClosingSignals {
  public:
    ClosingSignals()
    {
        s_closingSignal = 0;
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = NoteClosingSignal; // no SA_RESTART: the loop's wait returns
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < COUNT; ++i)
            sigaction(CLOSING_SIGNALS[i], &action, &previous_[i]);
    }
    ~ClosingSignals()
    {
        for (size_t i = 0; i < COUNT; ++i)
            sigaction(CLOSING_SIGNALS[i], &previous_[i], nullptr);
    }

  private:
    static const size_t COUNT = sizeof CLOSING_SIGNALS / sizeof CLOSING_SIGNALS[0];
    struct sigaction previous_[COUNT];
};

// Waits for input or the next tick, whichever comes first; true when input may be ready.
bool WaitForInput(DialogView &view)
{
    int fd = view.InputDescriptor();
    struct pollfd watched = {fd, POLLIN, 0};
    int timeout = MillisecondsToNextTimer();
    int ready = poll(&watched, fd >= 0 ? 1 : 0, timeout);
    // A signal (a resize, say) may have left input for the view to pick up.
    return ready > 0 || (ready < 0 && errno == EINTR);
}

// One message at a time, in Win32's order: posted messages, then input, then timer ticks;
// but a due tick is not kept waiting behind input still unread. The screen is brought up to
// date whenever nothing else is waiting.
void RunModalLoop(HWND handle, DialogView &view)
{
    std::vector<InputEvent> input;
    while (!HasEnded(handle)) {
        if (s_closingSignal != 0) {
            s_closingSignal = 0;
            DeliverMessage(handle, WM_COMMAND, IDCANCEL, 0);
            continue;
        }
        QueuedMessage message;
        if (TakePostedMessage(&message)) {
            if (message.window != NULL)
                DeliverMessage(message.window, message.message, message.wParam, message.lParam);
            continue;
        }
        if (!input.empty()) {
            InputEvent event = input.front();
            input.erase(input.begin());
            DeliverInput(handle, event);
            continue;
        }
        // A due tick goes before more input is read: input that never stops (/dev/zero)
        // must not hold the countdown, and a tick comes only once a period.
        if (DeliverDueTimer())
            continue;
        int fd = view.InputDescriptor();
        if (fd >= 0) {
            struct pollfd watched = {fd, POLLIN, 0};
            if (poll(&watched, 1, 0) > 0) {
                view.ReadInput(&input);
                continue;
            }
        }
        PaintIfNeeded(handle, view);
        if (HasEnded(handle))
            break;
        if (WaitForInput(view))
            view.ReadInput(&input);
    }
}

} // namespace

void SetDialogStreamsForTests(int inputFd, int outputFd)
{
    s_testStreams = inputFd >= 0 || outputFd >= 0;
    s_testInput = inputFd;
    s_testOutput = outputFd;
    ResetHeadlessScript();
}

static INT_PTR RunDialog(LPCDLGTEMPLATEW dialogTemplate, HWND owner, DLGPROC dialogProc,
                         LPARAM initParam)
{
    if (dialogTemplate == NULL) {
        WriteDiagnostic("no dialog template to show");
        return -1;
    }
    // The program's templates are its resources, whose size is known; no other is read.
    size_t size = EmbeddedBytesFrom(dialogTemplate);
    ParsedDialog parsed;
    const char *error = "it is not one of the program's resources";
    if (size == 0 || !ParseDialogTemplate((const BYTE *)dialogTemplate, size, &parsed, &error)) {
        WriteDiagnostic("bad dialog template: %s", error);
        return -1;
    }

    Window dialog = parsed.dialog;
    dialog.isDialog = true;
    dialog.className = DIALOG_CLASS;
    dialog.parent = owner;
    dialog.proc = dialogProc;
    // The dialog shows once WM_INITDIALOG has set it up, whatever its template says.
    dialog.style &= ~(DWORD)WS_VISIBLE;
    HWND handle = AddWindow(dialog);
    std::vector<HWND> children;
    for (Window &control : parsed.controls) {
        control.parent = handle;
        children.push_back(AddWindow(control));
    }
    LookUpWindow(handle)->children = children;

    // Before the view: the terminal library leaves handlers it finds in place.
    ClosingSignals closing;
    std::unique_ptr<DialogView> view = ChooseView();
    s_activeView = view.get();

    INT_PTR focusDefault = DeliverMessage(handle, WM_INITDIALOG, 0, initParam);
    Window *window = LookUpWindow(handle);
    if (!window->ended) {
        // A handler that returns TRUE leaves the focus to the dialog manager: the first
        // visible tab stop.
        if (focusDefault) {
            for (HWND child : window->children) {
                Window *control = LookUpWindow(child);
                // The dialog itself is not shown yet: the control's own style decides.
                if (control != nullptr && (control->style & WS_VISIBLE) != 0 &&
                    (control->style & WS_TABSTOP) != 0) {
                    SetFocus(child);
                    break;
                }
            }
        }
        window->style |= WS_VISIBLE;
        window->dirty = true;
        SetForegroundDirect(handle);
        // The first paint comes before anything queued meanwhile, so a transcript always
        // opens with what the dialog showed when it appeared.
        PaintIfNeeded(handle, *view);
        RunModalLoop(handle, *view);
    }

    INT_PTR result = window->result;
    view->Ended(*window, result);
    DeliverMessage(handle, WM_DESTROY, 0, 0);
    RemoveWindow(handle);
    s_activeView = nullptr;
    return result;
}

// A dialog that runs out of memory fails as one that cannot be created does, and says so; the
// view has put the terminal back on the way out.
INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialogTemplate, HWND owner,
                                DLGPROC dialogProc, LPARAM initParam)
{
    (void)instance;
    try {
        return RunDialog(dialogTemplate, owner, dialogProc, initParam);
    } catch (const std::bad_alloc &) {
        s_activeView = nullptr;
        static const char said[] = "zembrel: out of memory, so the dialog is closed\n";
        if (write(STDERR_FILENO, said, sizeof said - 1) < 0) {
        }
        return -1;
    }
}

BOOL EndDialog(HWND handle, INT_PTR result)
{
    Window *window = LookUpWindow(handle);
    if (window == nullptr || !window->isDialog)
        return FALSE;
    // Only marks it: the loop returns once the current message is through. A second call's
    // result replaces the first, as Win32's does.
    window->ended = true;
    window->result = result;
    return TRUE;
}

BOOL UpdateWindow(HWND handle)
{
    Window *window = LookUpWindow(handle);
    if (window == nullptr)
        return FALSE;
    if (!window->isDialog)
        window = LookUpWindow(window->parent);
    if (window != nullptr && s_activeView != nullptr)
        PaintIfNeeded(window->handle, *s_activeView);
    return TRUE;
}
