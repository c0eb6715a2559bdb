// The dialog without a terminal: a transcript on standard output, scripted events from standard
// input.
#include "wintable.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <map>

namespace {

// No event comes near this; a longer line is dropped rather than kept growing without end
// (standard input from /dev/zero is one endless line).
const size_t MAX_EVENT_LINE = 4096;
// How much of an overlong line its report shows.
const size_t SHOWN_OF_LONG_LINE = 64;

// Input that has been read but not yet ended in a line, kept across dialogs, and whether the
// script has ended: a second dialog in the process goes on where the first one stopped.
struct ScriptState {
    std::string pending;
    bool skipping = false; // the rest of an overlong line is being dropped
    bool ended = false;
    int fd = -1;
};

ScriptState &Script()
{
    static ScriptState state;
    return state;
}

std::string Trim(const std::string &text)
{
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return "";
    size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

bool ParseNumber(const std::string &text, unsigned long *value)
{
    if (text.empty())
        return false;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *digits = text.c_str() + (hex ? 2 : 0);
    if (*digits == 0 || *digits == '-' || *digits == '+' || *digits == ' ')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long number = strtoull(digits, &end, hex ? 16 : 10);
    // The whole text must be the number: a NUL inside it ends strtoull's reading, not the line.
    if (errno != 0 || end != text.c_str() + text.size() || number > 0xFFFFFFFFull)
        return false;
    *value = (unsigned long)number;
    return true;
}

// A virtual-key code by number or by the name Windows gives the key.
bool ParseKey(const std::string &text, unsigned long *key)
{
    if (ParseNumber(text, key))
        return true;
    std::string name;
    for (char c : text)
        name += (char)toupper((unsigned char)c);
    if (name.size() == 1 && (isalpha((unsigned char)name[0]) || isdigit((unsigned char)name[0]))) {
        *key = (unsigned char)name[0];
        return true;
    }
    if (name.size() >= 2 && name[0] == 'F' && isdigit((unsigned char)name[1])) {
        unsigned long n = 0;
        if (ParseNumber(name.substr(1), &n) && n >= 1 && n <= 24) {
            *key = VK_F1 + n - 1;
            return true;
        }
        return false;
    }
    static const struct {
        const char *name;
        unsigned long key;
    } names[] = {{"RETURN", VK_RETURN}, {"ENTER", VK_RETURN}, {"ESCAPE", VK_ESCAPE},
                 {"ESC", VK_ESCAPE},    {"SPACE", VK_SPACE},  {"TAB", VK_TAB},
                 {"MENU", VK_MENU},     {"ALT", VK_MENU}};
    for (const auto &entry : names) {
        if (name == entry.name) {
            *key = entry.key;
            return true;
        }
    }
    return false;
}

} // namespace

std::string EscapeControlBytes(const std::string &text)
{
    std::string out;
    for (char c : text) {
        unsigned char byte = (unsigned char)c;
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else {
            char escaped[5];
            snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        }
    }
    return out;
}

void ParseScriptLine(const std::string &raw, std::vector<InputEvent> *events)
{
    std::string line = Trim(raw);
    if (line.empty() || line[0] == '#')
        return;
    size_t space = line.find_first_of(" \t");
    std::string verb = line.substr(0, space);
    std::string argument = space == std::string::npos ? "" : Trim(line.substr(space));
    unsigned long value = 0;
    if (verb == "command" && ParseNumber(argument, &value)) {
        events->push_back({InputEvent::Command, (WPARAM)value});
        return;
    }
    if (verb == "syskeydown" && ParseKey(argument, &value)) {
        events->push_back({InputEvent::SysKeyDown, (WPARAM)value});
        return;
    }
    if (verb == "syskeyup" && ParseKey(argument, &value)) {
        events->push_back({InputEvent::SysKeyUp, (WPARAM)value});
        return;
    }
    // Shown escaped: what standard input holds must not reach the operator's terminal as
    // control sequences.
    WriteDiagnostic("unknown event: %s", EscapeControlBytes(line).c_str());
}

void TakeScriptBytes(const char *bytes, size_t count, std::vector<InputEvent> *events)
{
    ScriptState &script = Script();
    const char *end = bytes + count;
    while (bytes < end) {
        const char *newline = (const char *)memchr(bytes, '\n', (size_t)(end - bytes));
        if (script.skipping) {
            if (newline == nullptr)
                return;
            script.skipping = false;
            bytes = newline + 1;
            continue;
        }
        const char *stop = newline != nullptr ? newline : end;
        script.pending.append(bytes, (size_t)(stop - bytes));
        if (script.pending.size() > MAX_EVENT_LINE) {
            std::string line = Trim(script.pending);
            if (!line.empty() && line[0] != '#')
                WriteDiagnostic("unknown event: %s... (a line of more than %zu bytes)",
                                EscapeControlBytes(line.substr(0, SHOWN_OF_LONG_LINE)).c_str(),
                                MAX_EVENT_LINE);
            script.pending.clear();
            script.skipping = newline == nullptr;
        } else if (newline != nullptr) {
            ParseScriptLine(script.pending, events);
            script.pending.clear();
        }
        if (newline == nullptr)
            return;
        bytes = newline + 1;
    }
}

void EndScript(std::vector<InputEvent> *events)
{
    ScriptState &script = Script();
    script.ended = true;
    if (!script.pending.empty())
        ParseScriptLine(script.pending, events);
    script.pending.clear();
    script.skipping = false;
}

namespace {

class HeadlessView : public DialogView {
  public:
    HeadlessView(int inputFd, int outputFd) : output_(outputFd)
    {
        ScriptState &script = Script();
        if (script.fd != inputFd) {
            // Another stream (tests switch them): its script starts afresh.
            script = ScriptState();
            script.fd = inputFd;
            script.ended = inputFd < 0;
        }
    }

    int InputDescriptor() override { return Script().ended ? -1 : Script().fd; }

    void ReadInput(std::vector<InputEvent> *events) override
    {
        ScriptState &script = Script();
        if (script.ended)
            return;
        // Never blocks: the loop may ask after a signal woke it with nothing to read.
        struct pollfd ready = {script.fd, POLLIN, 0};
        if (poll(&ready, 1, 0) <= 0)
            return;
        char buffer[4096];
        ssize_t count = read(script.fd, buffer, sizeof buffer);
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (count <= 0) {
            // End of the script (or a stream that cannot be read): the dialog carries on.
            EndScript(events);
            return;
        }
        TakeScriptBytes(buffer, (size_t)count, events);
    }

    // The dialog as a form: its title and the static texts that stand alone in their row, as
    // they first appear; and each row of several static texts (a label and its value) as
    // "label: value", whenever it is shown with a text it did not last show.
    void Paint(const Window &dialog) override
    {
        std::vector<std::vector<const Window *>> rows = TextRows(dialog);
        if (!painted_) {
            painted_ = true;
            WriteLine(dialog.text);
            for (const auto &row : rows)
                if (row.size() == 1 && IsShown(*row[0]))
                    WriteLines(row[0]->text);
        }
        for (size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].size() < 2)
                continue;
            std::u16string text;
            bool shown = true;
            for (const Window *control : rows[i]) {
                shown = shown && IsShown(*control);
                text += (text.empty() ? u"" : u": ") + control->text;
            }
            auto last = shownRows_.find(i);
            if (!shown) {
                if (last != shownRows_.end())
                    shownRows_.erase(last);
                continue;
            }
            if (last != shownRows_.end() && last->second == text)
                continue;
            shownRows_[i] = text;
            WriteLine(text);
        }
    }

    void Ended(const Window &, INT_PTR result) override
    {
        WriteLine(Utf8ToUtf16("EndDialog: " + std::to_string((long long)result)));
    }

  private:
    static bool IsStaticText(const Window &control)
    {
        DWORD kind = control.style & 0x1F;
        return control.className == u"Static" &&
               (kind == SS_LEFT || kind == 1 || kind == 2 || kind == 0xB || kind == 0xC);
    }

    // The static texts in template order, those whose heights overlap in one row.
    static std::vector<std::vector<const Window *>> TextRows(const Window &dialog)
    {
        std::vector<std::vector<const Window *>> rows;
        for (HWND child : dialog.children) {
            const Window *control = LookUpWindow(child);
            if (control == nullptr || !IsStaticText(*control))
                continue;
            const Window *last = rows.empty() ? nullptr : rows.back().back();
            if (last != nullptr && control->y < last->y + last->cy &&
                last->y < control->y + control->cy)
                rows.back().push_back(control);
            else
                rows.push_back({control});
        }
        return rows;
    }

    void WriteLines(const std::u16string &text)
    {
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find(u'\n', start);
            if (end == std::u16string::npos)
                end = text.size();
            std::u16string line = text.substr(start, end - start);
            if (!line.empty() && line.back() == u'\r')
                line.pop_back();
            WriteLine(line);
            start = end + 1;
        }
    }

    // Each line goes out whole and at once, so a watching script sees it when it happens.
    void WriteLine(const std::u16string &text)
    {
        if (output_ < 0)
            return;
        if (output_ == STDOUT_FILENO)
            fflush(stdout);
        WriteFully(output_, Utf16ToUtf8(text) + "\n");
    }

    int output_;
    bool painted_ = false;
    std::map<size_t, std::u16string> shownRows_; // the form rows shown now, by index
};

} // namespace

void ResetHeadlessScript()
{
    Script() = ScriptState();
}

std::unique_ptr<DialogView> MakeHeadlessView(int inputFd, int outputFd)
{
    return std::unique_ptr<DialogView>(new HeadlessView(inputFd, outputFd));
}
