// Fuzz target: the headless dialog's event script, read whole or in pieces, and its echo.
#include "platform/posix/windowing/wintable.h"

#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

std::vector<std::pair<int, WPARAM>> Read(const std::string &script, size_t piece)
{
    ResetHeadlessScript();
    std::vector<InputEvent> events;
    for (size_t at = 0; at < script.size(); at += piece)
        TakeScriptBytes(script.data() + at, std::min(piece, script.size() - at), &events);
    EndScript(&events);
    std::vector<std::pair<int, WPARAM>> out;
    for (const InputEvent &event : events)
        out.push_back({(int)event.kind, event.value});
    return out;
}

// The escapes read back: \\ is a backslash, \xNN a byte, anything else itself.
std::string Unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
        } else if (text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else {
            out += (char)strtoul(text.substr(i + 2, 2).c_str(), nullptr, 16);
            i += 3;
        }
    }
    return out;
}

} // namespace

// The first byte chooses the size of the pieces the script arrives in; however it is cut,
// the same events come out. Run with -close_fd_mask=2: unknown lines are reported.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    size_t piece = 1 + data[0] % 64;
    std::string script((const char *)data + 1, size - 1);
    if (Read(script, piece) != Read(script, script.size() + 1))
        abort();

    std::string shown = EscapeControlBytes(script);
    for (char c : shown)
        if (c < 0x20 || c > 0x7E)
            abort();
    if (Unescape(shown) != script)
        abort();
    return 0;
}
