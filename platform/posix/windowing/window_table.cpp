// The port's per-process window table: texts, visibility, focus, foreground, posted messages,
// timers.
#include "wintable.h"

#include <algorithm>
#include <deque>
#include <map>

namespace {

using Clock = std::chrono::steady_clock;

struct Timer {
    HWND window;
    UINT_PTR id;
    std::chrono::milliseconds period;
    TIMERPROC proc;
    Clock::time_point due;
};

struct WindowState {
    std::map<uintptr_t, Window> windows;
    uintptr_t nextHandle = 0x10010;
    UINT_PTR nextThreadTimer = 0x7FF0;
    std::deque<QueuedMessage> posted;
    std::vector<Timer> timers;
    HWND focus = NULL;
    HWND foreground = NULL;
};

WindowState &State()
{
    static WindowState state;
    return state;
}

Window *Dialog(Window *window)
{
    if (window == nullptr || window->isDialog)
        return window;
    return LookUpWindow(window->parent);
}

} // namespace

Window *LookUpWindow(HWND handle)
{
    auto found = State().windows.find((uintptr_t)handle);
    return found == State().windows.end() ? nullptr : &found->second;
}

HWND AddWindow(Window window)
{
    WindowState &state = State();
    window.handle = (HWND)state.nextHandle;
    state.nextHandle += 2;
    HWND handle = window.handle;
    state.windows.emplace((uintptr_t)handle, std::move(window));
    return handle;
}

void RemoveWindow(HWND handle)
{
    WindowState &state = State();
    Window *window = LookUpWindow(handle);
    if (window == nullptr)
        return;
    std::vector<HWND> doomed = window->children;
    doomed.push_back(handle);
    for (HWND gone : doomed) {
        state.windows.erase((uintptr_t)gone);
        state.posted.erase(std::remove_if(state.posted.begin(), state.posted.end(),
                                          [&](const QueuedMessage &m) { return m.window == gone; }),
                           state.posted.end());
        state.timers.erase(std::remove_if(state.timers.begin(), state.timers.end(),
                                          [&](const Timer &t) { return t.window == gone; }),
                           state.timers.end());
        if (state.focus == gone)
            state.focus = NULL;
        if (state.foreground == gone)
            state.foreground = NULL;
    }
}

void InvalidateDialog(HWND handle)
{
    if (Window *dialog = Dialog(LookUpWindow(handle)))
        dialog->dirty = true;
}

void SetForegroundDirect(HWND window)
{
    State().foreground = window;
}

const Window *FindControl(const Window &dialog, int id)
{
    for (HWND child : dialog.children) {
        const Window *control = LookUpWindow(child);
        if (control != nullptr && control->id == id)
            return control;
    }
    return nullptr;
}

std::u16string ControlText(const Window &dialog, int id)
{
    const Window *control = FindControl(dialog, id);
    return control == nullptr ? std::u16string() : control->text;
}

// Visible as Win32 counts it: the window and its dialog both shown.
bool IsShown(const Window &window)
{
    if ((window.style & WS_VISIBLE) == 0)
        return false;
    if (window.isDialog)
        return true;
    const Window *dialog = LookUpWindow(window.parent);
    return dialog == nullptr || (dialog->style & WS_VISIBLE) != 0;
}

INT_PTR DeliverMessage(HWND handle, UINT message, WPARAM wParam, LPARAM lParam)
{
    Window *window = LookUpWindow(handle);
    // The port's controls have no behaviour of their own: the system sets their texts and
    // visibility through the dialog calls.
    if (window == nullptr || !window->isDialog || window->proc == nullptr)
        return 0;
    return window->proc(handle, message, wParam, lParam);
}

// ---- Texts, visibility and focus -------------------------------------------------------------

HWND GetDlgItem(HWND dialog, int id)
{
    Window *window = LookUpWindow(dialog);
    if (window == nullptr)
        return NULL;
    const Window *control = FindControl(*window, id);
    return control == nullptr ? NULL : control->handle;
}

BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text)
{
    Window *control = LookUpWindow(GetDlgItem(dialog, id));
    if (control == nullptr)
        return FALSE;
    control->text = WideToString(text);
    InvalidateDialog(dialog);
    return TRUE;
}

BOOL ShowWindow(HWND handle, int show)
{
    Window *window = LookUpWindow(handle);
    if (window == nullptr)
        return FALSE;
    BOOL wasVisible = (window->style & WS_VISIBLE) != 0;
    if (show == SW_HIDE)
        window->style &= ~(DWORD)WS_VISIBLE;
    else
        window->style |= WS_VISIBLE;
    if (wasVisible != ((window->style & WS_VISIBLE) != 0))
        InvalidateDialog(handle);
    return wasVisible;
}

HWND SetFocus(HWND handle)
{
    WindowState &state = State();
    HWND previous = state.focus;
    if (handle != NULL && LookUpWindow(handle) == nullptr)
        return NULL; // Win32 leaves the focus alone for a handle that is not a window
    if (handle != previous) {
        InvalidateDialog(previous);
        InvalidateDialog(handle);
    }
    state.focus = handle;
    return previous;
}

HWND GetFocus(void)
{
    return State().focus;
}

// ---- Finding windows and the foreground ------------------------------------------------------

// Class names and titles compare ignoring case, as Win32 compares them.
static bool SameText(LPCWSTR wanted, const std::u16string &text)
{
    std::u16string a = WideToString(wanted);
    if (a.size() != text.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = text[i];
        if (x >= u'a' && x <= u'z')
            x = (char16_t)(x - u'a' + u'A');
        if (y >= u'a' && y <= u'z')
            y = (char16_t)(y - u'a' + u'A');
        if (x != y)
            return false;
    }
    return true;
}

HWND FindWindowW(LPCWSTR className, LPCWSTR windowName)
{
    // Top-level windows only, as Win32 searches: here, the dialogs. The dialog class's atom
    // is 0x8002, as Win32's WC_DIALOG.
    for (auto &entry : State().windows) {
        const Window &window = entry.second;
        if (!window.isDialog)
            continue;
        if (className != NULL && IS_INTRESOURCE(className) && (uintptr_t)className != 0x8002)
            continue;
        if (className != NULL && !IS_INTRESOURCE(className) &&
            !SameText(className, window.className))
            continue;
        if (windowName != NULL && !SameText(windowName, window.text))
            continue;
        return window.handle;
    }
    return NULL;
}

HWND GetForegroundWindow(void)
{
    return State().foreground;
}

BOOL SetForegroundWindow(HWND handle)
{
    Window *window = LookUpWindow(handle);
    if (window == nullptr)
        return FALSE;
    State().foreground = Dialog(window)->handle;
    return TRUE;
}

// ---- Posted messages ---------------------------------------------------------------------------

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    // A null window posts to the thread, as PostThreadMessage; no handler ever sees it.
    if (window != NULL && LookUpWindow(window) == nullptr)
        return FALSE;
    State().posted.push_back({window, message, wParam, lParam});
    return TRUE;
}

bool TakePostedMessage(QueuedMessage *out)
{
    std::deque<QueuedMessage> &posted = State().posted;
    if (posted.empty())
        return false;
    *out = posted.front();
    posted.pop_front();
    return true;
}

// ---- Timers ------------------------------------------------------------------------------------

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC timerProc)
{
    WindowState &state = State();
    if (window != NULL && LookUpWindow(window) == nullptr)
        return 0;
    // Win32's limits: at least 10 ms, at most 0x7FFFFFFF.
    elapse = std::max(10u, std::min(elapse, 0x7FFFFFFFu));
    if (window == NULL) {
        // A thread timer: a new identifier unless an existing one is being reset.
        bool exists = std::any_of(state.timers.begin(), state.timers.end(), [&](const Timer &t) {
            return t.window == NULL && t.id == id && id != 0;
        });
        if (!exists)
            id = state.nextThreadTimer++;
    }
    Timer timer{window, id, std::chrono::milliseconds(elapse), timerProc, Clock::now()};
    timer.due = timer.due + timer.period;
    for (Timer &existing : state.timers) {
        if (existing.window == window && existing.id == id) {
            existing = timer; // resetting restarts the count
            return window == NULL ? id : (id != 0 ? id : 1);
        }
    }
    state.timers.push_back(timer);
    return window == NULL ? id : (id != 0 ? id : 1);
}

BOOL KillTimer(HWND window, UINT_PTR id)
{
    std::vector<Timer> &timers = State().timers;
    for (auto it = timers.begin(); it != timers.end(); ++it) {
        if (it->window == window && it->id == id) {
            timers.erase(it);
            return TRUE;
        }
    }
    return FALSE;
}

int MillisecondsToNextTimer()
{
    const std::vector<Timer> &timers = State().timers;
    if (timers.empty())
        return -1;
    Clock::time_point next = timers.front().due;
    for (const Timer &timer : timers)
        next = std::min(next, timer.due);
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
    // Round up, so that a wait never ends just short of the deadline.
    if (next - Clock::now() > wait)
        wait += std::chrono::milliseconds(1);
    return (int)std::max<long long>(0, std::min<long long>(wait.count(), 0x7FFFFFFF));
}

bool DeliverDueTimer()
{
    std::vector<Timer> &timers = State().timers;
    Clock::time_point now = Clock::now();
    Timer *due = nullptr;
    for (Timer &timer : timers)
        if (timer.due <= now && (due == nullptr || timer.due < due->due))
            due = &timer;
    if (due == nullptr)
        return false;
    // Tick k stays k periods after SetTimer. Ticks missed while the thread was busy fold
    // into this one, as Win32 keeps at most one WM_TIMER pending.
    due->due += due->period;
    if (due->due <= now) {
        auto behind = (now - due->due) / due->period + 1;
        due->due += due->period * behind;
    }
    Timer tick = *due; // the handler may kill or reset the timer
    DWORD milliseconds =
        (DWORD)std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch())
            .count();
    if (tick.proc != NULL)
        tick.proc(tick.window, WM_TIMER, tick.id, milliseconds);
    else if (tick.window != NULL)
        DeliverMessage(tick.window, WM_TIMER, tick.id, 0);
    return true;
}
