// The dialog without a terminal: a transcript on standard output, scripted events from standard
// input.
#include "resources/resource.h"
#include "wintable.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

// Input that has been read but not yet ended in a line, kept across dialogs, and whether the
// script has ended: a second dialog in the process goes on where the first one stopped.
struct ScriptState {
    std::string pending;
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
    if (errno != 0 || *end != 0 || number > 0xFFFFFFFFull)
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

void ParseLine(const std::string &raw, std::vector<InputEvent> *events)
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
    WriteDiagnostic("unknown event: %s", line.c_str());
}

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
            script.ended = true;
            if (!script.pending.empty())
                ParseLine(script.pending, events);
            script.pending.clear();
            return;
        }
        script.pending.append(buffer, (size_t)count);
        size_t newline;
        while ((newline = script.pending.find('\n')) != std::string::npos) {
            ParseLine(script.pending.substr(0, newline), events);
            script.pending.erase(0, newline + 1);
        }
    }

    void Paint(const Window &dialog) override
    {
        if (!painted_) {
            painted_ = true;
            WriteLine(dialog.text);
            std::u16string message = ControlText(dialog, IDC_MESSAGE);
            size_t start = 0;
            while (start < message.size()) {
                size_t end = message.find(u'\n', start);
                if (end == std::u16string::npos)
                    end = message.size();
                std::u16string line = message.substr(start, end - start);
                if (!line.empty() && line.back() == u'\r')
                    line.pop_back();
                WriteLine(line);
                start = end + 1;
            }
        }
        const Window *label = FindControl(dialog, IDC_TIMEOUT_LABEL);
        const Window *value = FindControl(dialog, IDC_TIMEOUT_VALUE);
        if (label == nullptr || value == nullptr || !IsShown(*label) || !IsShown(*value)) {
            countdownShown_ = false;
            return;
        }
        if (countdownShown_ && value->text == lastCountdown_)
            return;
        countdownShown_ = true;
        lastCountdown_ = value->text;
        WriteLine(label->text + u": " + value->text);
    }

    void Ended(const Window &, INT_PTR result) override
    {
        WriteLine(Utf8ToUtf16("EndDialog: " + std::to_string((long long)result)));
    }

  private:
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
    bool countdownShown_ = false;
    std::u16string lastCountdown_;
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
