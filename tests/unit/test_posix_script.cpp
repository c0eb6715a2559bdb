// Tests of the headless dialog's event script: hostile lines, their echo, and endless input.
#include "posix/windowing/wintable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Events = std::vector<std::pair<int, WPARAM>>;

Events Parsed(const std::vector<InputEvent> &events)
{
    Events out;
    for (const InputEvent &event : events)
        out.push_back({(int)event.kind, event.value});
    return out;
}

// Runs the bytes through the script in the given pieces; returns the events and what standard
// error got.
Events Feed(const std::vector<std::string> &pieces, std::string *errors, bool end = false)
{
    ResetHeadlessScript();
    std::vector<InputEvent> events;
    testing::internal::CaptureStderr();
    for (const std::string &piece : pieces)
        TakeScriptBytes(piece.data(), piece.size(), &events);
    if (end)
        EndScript(&events);
    *errors = testing::internal::GetCapturedStderr();
    ResetHeadlessScript();
    return Parsed(events);
}

// The whole argument is the number or the key: a NUL ends the C string, not the line.
TEST(EventScript, BytesAfterANulMakeTheLineUnknown)
{
    const std::string lines[] = {
        std::string("command 2\0junk", 14),  std::string("command 2\0", 10),
        std::string("syskeydown F4\0x", 15), std::string("syskeyup ESC\0", 13),
        std::string("syskeydown a\0", 13),   std::string("command 0x10\0", 13),
    };
    for (const std::string &line : lines) {
        std::string errors;
        EXPECT_EQ(Feed({line + "\n"}, &errors), Events()) << EscapeControlBytes(line);
        EXPECT_EQ(errors, "zembrel: unknown event: " + EscapeControlBytes(line) + "\n");
        EXPECT_EQ(errors.find('\0'), std::string::npos);
    }
    std::string errors;
    EXPECT_EQ(Feed({"command 2\n", "syskeydown F4\n"}, &errors),
              (Events{{InputEvent::Command, 2}, {InputEvent::SysKeyDown, VK_F4}}));
    EXPECT_EQ(errors, "");
}

TEST(EventScript, UnknownLinesAreEchoedWithControlBytesEscaped)
{
    std::string errors;
    Feed({"\x1b]0;owned\x07\x1b[2J \x9b"
          "31m caf\xc3\xa9 back\\slash\x7f\r\n"},
         &errors);
    EXPECT_EQ(errors, "zembrel: unknown event: \\x1b]0;owned\\x07\\x1b[2J \\x9b31m caf\\xc3\\xa9 "
                      "back\\\\slash\\x7f\n");
    for (char c : errors.substr(0, errors.size() - 1))
        EXPECT_TRUE(c >= 0x20 && c < 0x7F) << (int)(unsigned char)c;
}

TEST(EventScript, LinesArriveInAnyPieces)
{
    std::string errors;
    EXPECT_EQ(
        Feed({"comm", "and 1", "6\nsyskeyup 0x", "12\r", "\n\n# done\ncommand 3"}, &errors, true),
        (Events{
            {InputEvent::Command, 16}, {InputEvent::SysKeyUp, 0x12}, {InputEvent::Command, 3}}));
    EXPECT_EQ(errors, "");
}

// A line is held up to 4096 bytes, so spacing within that still gives an event; anything
// longer is dropped up to its line feed, said once, and the script goes on after it.
TEST(EventScript, OverlongLinesAreDroppedAndTheScriptGoesOn)
{
    std::string errors;
    std::string padded = "command 5" + std::string(4096 - 9, ' ');
    EXPECT_EQ(Feed({padded + "\n"}, &errors), (Events{{InputEvent::Command, 5}}));
    EXPECT_EQ(errors, "");

    EXPECT_EQ(Feed({padded + " \ncommand 6\n"}, &errors), (Events{{InputEvent::Command, 6}}));
    EXPECT_NE(errors.find("zembrel: unknown event: command 5..."), std::string::npos) << errors;

    // A megabyte of NULs in read-sized pieces, then a line feed: one report, then events again.
    std::vector<std::string> pieces(256, std::string(4096, '\0'));
    pieces.push_back(std::string(100, '\0') + "\ncommand 7\n");
    EXPECT_EQ(Feed(pieces, &errors), (Events{{InputEvent::Command, 7}}));
    EXPECT_EQ(errors.rfind("zembrel: unknown event: \\x00\\x00", 0), 0u) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    EXPECT_LT(errors.size(), 400u);

    // A comment may be as long as it likes and is still no event.
    EXPECT_EQ(Feed({"# " + std::string(10000, '#') + "\ncommand 8\n"}, &errors),
              (Events{{InputEvent::Command, 8}}));
    EXPECT_EQ(errors, "");

    // The end of the script does not bring back the head of a line already dropped.
    EXPECT_EQ(Feed({"command 9" + std::string(5000, ' ')}, &errors, true), Events());
}

} // namespace
