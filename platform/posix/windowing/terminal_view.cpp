// The dialog drawn in the terminal with curses: a box scaled from dialog units, keys as input.
#include "wintable.h"

#include <curses.h>
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

namespace {

// Dialog units per terminal cell: a character cell is about 4 by 8 of them.
const int UNITS_PER_COLUMN = 4;
const int UNITS_PER_ROW = 8;
// How long Esc waits for a key that would make it an Alt-prefix instead.
const int ESCAPE_WAIT_MS = 100;

// ---- Key translation: what curses reports, as the dialog's input -----------------------------

// Alt with a key, as curses reports the key, to the virtual-key code Windows would send.
bool VirtualKeyFor(int key, WPARAM *code)
{
    if (key >= 'a' && key <= 'z')
        key = key - 'a' + 'A';
    if ((key >= 'A' && key <= 'Z') || (key >= '0' && key <= '9')) {
        *code = (WPARAM)key;
        return true;
    }
    if (key >= KEY_F(1) && key <= KEY_F(12)) {
        *code = VK_F1 + (WPARAM)(key - KEY_F(1));
        return true;
    }
    switch (key) {
    case '\n':
    case '\r':
    case KEY_ENTER:
        *code = VK_RETURN;
        return true;
    case ' ':
        *code = VK_SPACE;
        return true;
    case '\t':
        *code = VK_TAB;
        return true;
    case 27:
        *code = VK_ESCAPE;
        return true;
    }
    return false;
}

void PushSystemKey(WPARAM code, std::vector<InputEvent> *events)
{
    events->push_back({InputEvent::SysKeyDown, code});
    events->push_back({InputEvent::SysKeyUp, code});
}

// One key to the events it stands for. `afterEscape` is what came right after an Esc: a key,
// or ERR when none came within ESCAPE_WAIT_MS.
void TranslateKey(int key, int afterEscape, std::vector<InputEvent> *events)
{
    WPARAM code = 0;
    if (key == 27) {
        // Esc alone is Cancel; Esc and a key at once is how terminals send Alt with it.
        if (afterEscape == ERR)
            events->push_back({InputEvent::KeyPress, VK_ESCAPE});
        else if (VirtualKeyFor(afterEscape, &code))
            PushSystemKey(code, events);
        return;
    }
    if (key >= KEY_F(49) && key <= KEY_F(60)) { // xterm's Alt+F1 .. Alt+F12
        PushSystemKey(VK_F1 + (WPARAM)(key - KEY_F(49)), events);
        return;
    }
    if (key >= 0x80 && key <= 0xFF) { // a meta key: the eighth bit is Alt
        if (VirtualKeyFor(key & 0x7F, &code))
            PushSystemKey(code, events);
        return;
    }
    if (key == '\n' || key == '\r' || key == KEY_ENTER)
        events->push_back({InputEvent::KeyPress, VK_RETURN});
    else if (key == ' ')
        events->push_back({InputEvent::KeyPress, VK_SPACE});
    else if (key == '\t')
        events->push_back({InputEvent::KeyPress, VK_TAB});
}

// ---- Drawing: the dialog as a box of cells, scaled from dialog units ---------------------------

// The screen is ASCII only: the port's curses is not the wide one.
std::string Printable(const std::u16string &text)
{
    std::string out;
    for (char16_t c : text)
        out += c >= 0x20 && c < 0x7F ? (char)c : c == u'\t' ? ' ' : '?';
    return out;
}

// Breaks text into lines of at most `width` columns, at spaces where it can, and at line feeds.
std::vector<std::string> Wrap(const std::u16string &text, int width)
{
    std::vector<std::string> lines;
    if (width <= 0)
        return lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(u'\n', start);
        if (end == std::u16string::npos)
            end = text.size();
        std::u16string paragraph = text.substr(start, end - start);
        if (!paragraph.empty() && paragraph.back() == u'\r')
            paragraph.pop_back();
        std::string rest = Printable(paragraph);
        do {
            if ((int)rest.size() <= width) {
                lines.push_back(rest);
                break;
            }
            size_t cut = rest.rfind(' ', (size_t)width);
            if (cut == std::string::npos || cut == 0)
                cut = (size_t)width;
            lines.push_back(rest.substr(0, cut));
            rest = rest.substr(cut);
            if (!rest.empty() && rest[0] == ' ')
                rest.erase(0, 1);
        } while (!rest.empty());
        if (end == text.size())
            break;
        start = end + 1;
    }
    return lines;
}

// The box's inside, where the controls go, in screen cells.
struct ClientArea {
    int left = 0, top = 0, columns = 0, rows = 0;
};

// Writes text at a cell of the client area, cut off at the control and at the box.
void Put(const ClientArea &area, int row, int column, const std::string &text, int width,
         attr_t attributes)
{
    if (row < 0 || row >= area.rows || column >= area.columns || width <= 0)
        return;
    std::string shown = text;
    int skip = column < 0 ? -column : 0;
    if (skip >= (int)shown.size())
        return;
    shown = shown.substr((size_t)skip);
    column += skip;
    width = std::min(width - skip, area.columns - column);
    if ((int)shown.size() > width)
        shown.resize((size_t)std::max(width, 0));
    attron(attributes);
    mvaddstr(area.top + row, area.left + column, shown.c_str());
    attroff(attributes);
}

void DrawControl(const ClientArea &area, const Window &control, bool focused)
{
    int column = control.x / UNITS_PER_COLUMN;
    int row = control.y / UNITS_PER_ROW;
    int width = std::max(1, control.cx / UNITS_PER_COLUMN);
    int height = std::max(1, (control.cy + UNITS_PER_ROW / 2) / UNITS_PER_ROW);
    if (control.className == u"Button") {
        std::string label = "[ " + Printable(control.text) + " ]";
        int offset = std::max(0, (width - (int)label.size()) / 2);
        Put(area, row, column + offset, label, width - offset,
            focused ? (A_REVERSE | A_BOLD) : A_NORMAL);
        return;
    }
    if (control.className == u"Static" && (control.style & 0x1F) == SS_ICON) {
        Put(area, row, column, "(X)", width, has_colors() ? (COLOR_PAIR(1) | A_BOLD) : A_BOLD);
        return;
    }
    if ((control.style & WS_BORDER) != 0) {
        Put(area, row, column - 1, "[", 1, A_NORMAL);
        Put(area, row, column, Printable(control.text), width, A_BOLD);
        Put(area, row, column + width, "]", 1, A_NORMAL);
        return;
    }
    std::vector<std::string> lines = Wrap(control.text, width);
    for (int i = 0; i < (int)lines.size() && i < height; ++i)
        Put(area, row + i, column, lines[(size_t)i], width, A_NORMAL);
}

// A border all round and a title bar, placed as the dialog's style asks; returns what lies
// inside.
ClientArea DrawFrame(const Window &dialog)
{
    int columns = dialog.cx / UNITS_PER_COLUMN;
    int rows = dialog.cy / UNITS_PER_ROW;
    int width = std::min(columns + 2, COLS);
    int height = std::min(rows + 3, LINES);
    int left = (dialog.style & DS_CENTER) != 0 ? (COLS - width) / 2 : dialog.x / UNITS_PER_COLUMN;
    int top = (dialog.style & DS_CENTER) != 0 ? (LINES - height) / 2 : dialog.y / UNITS_PER_ROW;
    left = std::max(0, std::min(left, COLS - width));
    top = std::max(0, std::min(top, LINES - height));
    if (width >= 2 && height >= 2) {
        mvaddch(top, left, ACS_ULCORNER);
        mvhline(top, left + 1, ACS_HLINE, width - 2);
        mvaddch(top, left + width - 1, ACS_URCORNER);
        mvvline(top + 1, left, ACS_VLINE, height - 2);
        mvvline(top + 1, left + width - 1, ACS_VLINE, height - 2);
        mvaddch(top + height - 1, left, ACS_LLCORNER);
        mvhline(top + height - 1, left + 1, ACS_HLINE, width - 2);
        mvaddch(top + height - 1, left + width - 1, ACS_LRCORNER);
    }
    if (height >= 3 && width > 2) {
        std::string title = " " + Printable(dialog.text);
        title.resize((size_t)(width - 2), ' ');
        attron(A_REVERSE);
        mvaddstr(top + 1, left + 1, title.c_str());
        attroff(A_REVERSE);
    }
    ClientArea area;
    area.left = left + 1;
    area.top = top + 2;
    area.columns = std::max(0, width - 2);
    area.rows = std::max(0, height - 3);
    return area;
}

void DrawDialog(const Window &dialog)
{
    erase();
    ClientArea area = DrawFrame(dialog);
    HWND focus = GetFocus();
    for (HWND child : dialog.children) {
        const Window *control = LookUpWindow(child);
        if (control != nullptr && IsShown(*control))
            DrawControl(area, *control, child == focus);
    }
    refresh();
}

// ---- The view: the terminal set up, read and given back --------------------------------------

class TerminalView : public DialogView {
  public:
    bool Start()
    {
        screen_ = newterm(nullptr, stdout, stdin);
        if (screen_ == nullptr)
            return false;
        active_ = true;
        set_escdelay(ESCAPE_WAIT_MS);
        cbreak();
        noecho();
        nonl();
        keypad(stdscr, TRUE);
        nodelay(stdscr, TRUE);
        curs_set(0);
        if (has_colors()) {
            start_color();
            use_default_colors();
            init_pair(1, COLOR_RED, -1);
        }
        return true;
    }

    ~TerminalView() override
    {
        Restore();
        if (screen_ != nullptr)
            delscreen(screen_);
    }

    int InputDescriptor() override { return active_ ? STDIN_FILENO : -1; }

    // Every key waiting; a resize redraws at once. A terminal that went away (hung up) takes
    // the view's input and drawing with it.
    void ReadInput(std::vector<InputEvent> *events) override
    {
        if (!active_)
            return;
        struct pollfd ready = {STDIN_FILENO, POLLIN, 0};
        if (poll(&ready, 1, 0) > 0 && (ready.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            Restore();
            return;
        }
        for (int key = wgetch(stdscr); key != ERR; key = wgetch(stdscr)) {
            if (key == KEY_RESIZE) {
                if (const Window *dialog = LookUpWindow(dialog_))
                    DrawDialog(*dialog);
                continue;
            }
            int afterEscape = ERR;
            if (key == 27) {
                wtimeout(stdscr, ESCAPE_WAIT_MS);
                afterEscape = wgetch(stdscr);
                nodelay(stdscr, TRUE);
            }
            TranslateKey(key, afterEscape, events);
        }
    }

    void Paint(const Window &dialog) override
    {
        dialog_ = dialog.handle;
        if (active_)
            DrawDialog(dialog);
    }

    void Ended(const Window &, INT_PTR) override { Restore(); }

  private:
    void Restore()
    {
        if (active_) {
            active_ = false;
            endwin();
        }
    }

    SCREEN *screen_ = nullptr;
    bool active_ = false;
    HWND dialog_ = NULL;
};

} // namespace

std::unique_ptr<DialogView> MakeTerminalView()
{
    std::unique_ptr<TerminalView> view(new TerminalView());
    if (!view->Start())
        return nullptr;
    return view;
}
