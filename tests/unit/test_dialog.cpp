// Tests of the incompatibility dialog's handler, run in the platform's own modal dialog loop.
#include "dialog/dialog.h"
#include "launch/zembrel.h"
#include "test_support.h"

#include <chrono>

namespace {

// A message the tests post to look at the dialog between the handler's messages.
const UINT WM_PROBE = WM_USER + 1;
// A timer of the tests' own, kept away from the handler, which looks at no timer's id.
const UINT_PTR TEST_TIMER = 999;

struct Seen {
    UINT message;
    WPARAM wParam;
    INT_PTR result;
    std::string countdown;
};

struct Probe {
    bool labelVisible;
    bool valueVisible;
    bool cancelFocused;
    std::string title;
    std::string message;
};

struct Message {
    UINT message;
    WPARAM wParam;
};

std::vector<Message> s_script;
std::vector<Seen> s_seen;
std::vector<Probe> s_probes;
UINT s_waitMs = 0;
double s_elapsedMs = 0; // how long the last RunDialog's dialog was up

std::string ControlText(HWND dialog, int id)
{
    WCHAR text[300] = {0};
    GetDlgItemTextW(dialog, id, text, 300);
    return Narrow(text);
}

// The control's own visibility: the dialog itself only shows once its loop first goes idle.
bool IsControlVisible(HWND dialog, int id)
{
    return (GetWindowLongW(GetDlgItem(dialog, id), GWL_STYLE) & WS_VISIBLE) != 0;
}

INT_PTR CALLBACK Recorder(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_PROBE) {
        WCHAR title[100] = {0};
        GetWindowTextW(dialog, title, 100);
        WCHAR text[300] = {0};
        GetDlgItemTextW(dialog, IDC_MESSAGE, text, 300);
        s_probes.push_back({IsControlVisible(dialog, IDC_TIMEOUT_LABEL),
                            IsControlVisible(dialog, IDC_TIMEOUT_VALUE),
                            GetFocus() == GetDlgItem(dialog, IDCANCEL), Narrow(title),
                            Narrow(text)});
        return TRUE;
    }
    if (message == WM_TIMER && wParam == TEST_TIMER) {
        // The wait is over: whatever the real countdown did meanwhile is on record.
        KillTimer(dialog, TEST_TIMER);
        PostMessageW(dialog, WM_PROBE, 0, 0);
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        return TRUE;
    }

    INT_PTR result = AddOnErrorDlgProc(dialog, message, wParam, lParam);
    bool watched = message == WM_INITDIALOG || message == WM_TIMER || message == WM_COMMAND ||
                   message == WM_SYSKEYDOWN || message == WM_SYSKEYUP;
    if (watched)
        s_seen.push_back({message, wParam, result, ControlText(dialog, IDC_TIMEOUT_VALUE)});
    if (message == WM_INITDIALOG) {
        for (const Message &step : s_script)
            PostMessageW(dialog, step.message, step.wParam, 0);
        if (s_waitMs != 0)
            SetTimer(dialog, TEST_TIMER, s_waitMs, NULL);
    }
    return result;
}

// Runs the dialog from its resource, feeds it the script once it is up, and gives its result.
INT_PTR RunDialog(int unattended, LONG timeout, std::vector<Message> script, UINT waitMs = 0)
{
    g_hInstance = TestInstance();
    g_fUnattended = unattended;
    g_nTimeout = timeout;
    s_script = script;
    s_seen.clear();
    s_probes.clear();
    s_waitMs = waitMs;
    HRSRC resource = FindResourceW(g_hInstance, MAKEINTRESOURCE(IDD_ADDON_ERROR), RT_DIALOG);
    EXPECT_NE(resource, nullptr);
    LPCDLGTEMPLATE dialogTemplate = (LPCDLGTEMPLATE)LoadResource(g_hInstance, resource);
    auto start = std::chrono::steady_clock::now();
    INT_PTR result = DialogBoxIndirectParamW(g_hInstance, dialogTemplate, NULL, Recorder, 0);
    s_elapsedMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    g_fUnattended = 0;
    g_nTimeout = DEFAULT_TIMEOUT_SECONDS;
    return result;
}

const Message TICK = {WM_TIMER, IDT_COUNTDOWN};
const Message PROBE = {WM_PROBE, 0};

Message Command(WPARAM id)
{
    return {WM_COMMAND, id};
}

std::vector<Message> Ticks(int count)
{
    return std::vector<Message>((size_t)count, TICK);
}

std::vector<std::string> Countdowns()
{
    std::vector<std::string> shown;
    for (const Seen &seen : s_seen)
        if (seen.message == WM_INITDIALOG || seen.message == WM_TIMER)
            shown.push_back(seen.countdown);
    return shown;
}

TEST(Dialog, OpensWithTheMessageAndFocusOnCancel)
{
    EXPECT_EQ(RunDialog(0, 15, {PROBE, Command(IDCANCEL)}), IDCANCEL);
    ASSERT_EQ(s_probes.size(), 1u);
    EXPECT_EQ(s_probes[0].title, "Firmware Add-on Error");
    EXPECT_EQ(s_probes[0].message,
              "Cannot add this firmware to the incompatible installed firmware.\n"
              "The current installed firmware must be Version 3.42 (Build 389) or higher.");
    EXPECT_TRUE(s_probes[0].cancelFocused);
    ASSERT_FALSE(s_seen.empty());
    EXPECT_EQ(s_seen[0].message, (UINT)WM_INITDIALOG);
    EXPECT_EQ(s_seen[0].result, TRUE);
}

TEST(Dialog, AttendedHidesTheCountdownAndIgnoresTicksAndSystemKeys)
{
    INT_PTR result = RunDialog(0, 5,
                               {TICK,
                                {WM_SYSKEYDOWN, VK_F4},
                                {WM_SYSKEYUP, VK_F4},
                                Command(3),
                                Command(0x10000 | 3),
                                PROBE,
                                Command(IDC_CLOSE_COMMAND)});
    EXPECT_EQ(result, IDCANCEL);
    ASSERT_EQ(s_probes.size(), 1u);
    EXPECT_FALSE(s_probes[0].labelVisible);
    EXPECT_FALSE(s_probes[0].valueVisible);
    ASSERT_EQ(s_seen.size(), 7u);
    for (const Seen &seen : s_seen) {
        EXPECT_EQ(seen.result, TRUE) << seen.message;
        EXPECT_EQ(seen.countdown, "") << seen.message;
    }
}

TEST(Dialog, CommandsEndTheDialogWithTheirResults)
{
    EXPECT_EQ(RunDialog(0, 15, {Command(IDOK)}), IDOK);
    EXPECT_EQ(RunDialog(0, 15, {Command(IDCANCEL)}), IDCANCEL);
    EXPECT_EQ(RunDialog(0, 15, {Command(IDC_CLOSE_COMMAND)}), IDCANCEL);
    // Only the low word names the command.
    EXPECT_EQ(RunDialog(1, 15, {Command(0x20000 | IDOK)}), IDOK);
    EXPECT_EQ(RunDialog(1, 15, {Command(3), Command(4), Command(IDCANCEL)}), IDCANCEL);
    EXPECT_EQ(s_seen.size(), 4u); // init, 3 and 4 left it open, Cancel closed it
}

TEST(Dialog, CountsDownFromTheTimeoutAndClosesAfterZero)
{
    EXPECT_EQ(RunDialog(1, 3, {PROBE, TICK, TICK, TICK, TICK, Command(IDCANCEL)}), IDOK);
    EXPECT_EQ(Countdowns(), (std::vector<std::string>{"3", "2", "1", "0", "0"}));
    ASSERT_EQ(s_probes.size(), 1u);
    EXPECT_TRUE(s_probes[0].labelVisible);
    EXPECT_TRUE(s_probes[0].valueVisible);
    for (const Seen &seen : s_seen) {
        if (seen.message == WM_TIMER) {
            EXPECT_EQ(seen.result, FALSE);
        }
    }
    EXPECT_EQ(s_seen.back().message, (UINT)WM_TIMER); // the Cancel after it never arrived
}

TEST(Dialog, DefaultTimeoutClosesOnTheSixteenthTick)
{
    EXPECT_EQ(RunDialog(1, DEFAULT_TIMEOUT_SECONDS, Ticks(16)), IDOK);
    std::vector<std::string> expected;
    for (int n = 15; n >= 0; --n)
        expected.push_back(std::to_string(n));
    expected.push_back("0");
    EXPECT_EQ(Countdowns(), expected);

    std::vector<Message> fifteen = Ticks(15);
    fifteen.push_back(Command(IDCANCEL));
    EXPECT_EQ(RunDialog(1, DEFAULT_TIMEOUT_SECONDS, fifteen), IDCANCEL);
}

TEST(Dialog, ZeroAndNegativeTimeoutsCloseOnTheFirstTick)
{
    EXPECT_EQ(RunDialog(1, 0, {TICK, Command(IDCANCEL)}), IDOK);
    EXPECT_EQ(Countdowns(), (std::vector<std::string>{"0", "0"}));
    EXPECT_EQ(RunDialog(1, -1, {TICK, Command(IDCANCEL)}), IDOK);
    EXPECT_EQ(Countdowns(), (std::vector<std::string>{"-1", "-1"}));
    EXPECT_EQ(RunDialog(1, -2147483647 - 1, {TICK, Command(IDCANCEL)}), IDOK);
    EXPECT_EQ(Countdowns(), (std::vector<std::string>{"-2147483648", "-2147483648"}));
    EXPECT_EQ(RunDialog(1, 2147483647, {TICK, Command(IDCANCEL)}), IDCANCEL);
    EXPECT_EQ(Countdowns(), (std::vector<std::string>{"2147483647", "2147483646"}));
}

TEST(Dialog, SystemKeysFreezeTheCountdownAndAltF4Closes)
{
    EXPECT_EQ(RunDialog(1, 5, {TICK, {WM_SYSKEYDOWN, 'A'}, Command(IDCANCEL)}), IDCANCEL);
    ASSERT_EQ(s_seen.size(), 4u);
    EXPECT_EQ(s_seen[2].result, TRUE);
    EXPECT_EQ(s_seen[2].countdown, "4");

    EXPECT_EQ(RunDialog(1, 5, {{WM_SYSKEYDOWN, VK_F4}, Command(IDCANCEL)}), IDCANCEL);
    EXPECT_EQ(s_seen.size(), 2u); // Alt+F4 closed it

    EXPECT_EQ(RunDialog(1, 5, {{WM_SYSKEYUP, VK_F4}, Command(IDOK)}), IDCANCEL);
    EXPECT_EQ(s_seen.size(), 2u);

    // All of wParam is compared: a key code with high bits set is not F4.
    EXPECT_EQ(RunDialog(1, 5, {{WM_SYSKEYDOWN, 0x10000 | VK_F4}, Command(IDC_CLOSE_COMMAND)}),
              IDCANCEL);
    EXPECT_EQ(s_seen.size(), 3u);
    EXPECT_EQ(s_seen[1].result, TRUE);
}

// These wait for the real one-second timer.
TEST(Dialog, RealTimerTicksOncePerSecond)
{
    EXPECT_EQ(RunDialog(1, 5, {}, 1500), IDCANCEL);
    std::vector<std::string> shown = Countdowns();
    // A loaded machine may run the loop late, never early: the first tick is due before the
    // test's own timer, and no more ticks come than whole seconds have passed.
    ASSERT_GE(shown.size(), 2u);
    EXPECT_LE((double)(shown.size() - 1), s_elapsedMs / 1000.0) << s_elapsedMs << " ms";
    for (size_t k = 0; k < shown.size(); ++k)
        EXPECT_EQ(shown[k], std::to_string(5 - (int)k));
}

TEST(Dialog, FrozenCountdownStaysWhereItStood)
{
    EXPECT_EQ(RunDialog(1, 5, {{WM_SYSKEYUP, VK_MENU}}, 1500), IDCANCEL);
    EXPECT_EQ(Countdowns(), (std::vector<std::string>{"5"}));
    ASSERT_EQ(s_probes.size(), 1u);
    EXPECT_TRUE(s_probes[0].valueVisible);
}

TEST(Dialog, AttendedRunsNoTimer)
{
    EXPECT_EQ(RunDialog(0, 5, {}, 1500), IDCANCEL);
    EXPECT_EQ(Countdowns(), (std::vector<std::string>{""}));
}

TEST(Dialog, ZeroTimeoutEndsByItselfAfterAboutASecond)
{
    EXPECT_EQ(RunDialog(1, 0, {}), IDOK);
    EXPECT_EQ(Countdowns(), (std::vector<std::string>{"0", "0"}));
}

} // namespace
