// Tests of the POSIX dialog manager's own machinery: timing, templates, the headless mode.
#include "dialog/dialog.h"
#include "launch/zembrel.h"
#include "posix/windowing/wintable.h"
#include "test_support.h"

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <string.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const UINT_PTR TICKER = 7;
const UINT_PTR STOPPER = 8;

std::vector<Clock::time_point> s_ticks;
Clock::time_point s_start;
int s_sleepOnTick = -1; // the tick whose handler is slow, or -1
int s_sleepMs = 0;

INT_PTR CALLBACK TimingHandler(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG) {
        s_start = Clock::now();
        SetTimer(dialog, TICKER, 50, NULL);
        SetTimer(dialog, STOPPER, 525, NULL);
        return TRUE;
    }
    if (message == WM_TIMER && wParam == TICKER) {
        s_ticks.push_back(Clock::now());
        if ((int)s_ticks.size() - 1 == s_sleepOnTick)
            std::this_thread::sleep_for(std::chrono::milliseconds(s_sleepMs));
    }
    if (message == WM_TIMER && wParam == STOPPER)
        EndDialog(dialog, 1);
    return TRUE;
}

LPCDLGTEMPLATE ErrorTemplate()
{
    HRSRC resource = FindResourceW(NULL, MAKEINTRESOURCE(IDD_ADDON_ERROR), RT_DIALOG);
    return (LPCDLGTEMPLATE)LoadResource(NULL, resource);
}

double MsSinceStart(Clock::time_point when)
{
    return std::chrono::duration<double, std::milli>(when - s_start).count();
}

// Each test runs its dialogs headless on a pipe of its own and reads back the transcript.
class PosixDialog : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(pipe(input_), 0);
        char pattern[] = "/tmp/zembrel-transcript-XXXXXX";
        output_ = mkstemp(pattern);
        ASSERT_GE(output_, 0);
        unlink(pattern);
        SetDialogStreamsForTests(input_[0], output_);
        s_ticks.clear();
        s_sleepOnTick = -1;
    }
    void TearDown() override
    {
        SetDialogStreamsForTests(-1, -1);
        close(input_[0]);
        if (input_[1] >= 0)
            close(input_[1]);
        close(output_);
        g_fUnattended = 0;
        g_nTimeout = DEFAULT_TIMEOUT_SECONDS;
    }
    void Feed(const std::string &events, bool end = true)
    {
        ASSERT_EQ(write(input_[1], events.data(), events.size()), (ssize_t)events.size());
        if (end) {
            close(input_[1]);
            input_[1] = -1;
        }
    }
    std::vector<std::string> Transcript()
    {
        std::string text;
        char buffer[4096];
        ssize_t count;
        lseek(output_, 0, SEEK_SET);
        while ((count = read(output_, buffer, sizeof buffer)) > 0)
            text.append(buffer, (size_t)count);
        std::vector<std::string> lines;
        size_t start = 0, end;
        while ((end = text.find('\n', start)) != std::string::npos) {
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        EXPECT_EQ(start, text.size()) << "every line ends";
        return lines;
    }
    INT_PTR RunErrorDialog(int unattended, LONG timeout)
    {
        g_hInstance = NULL;
        g_fUnattended = unattended;
        g_nTimeout = timeout;
        return DialogBoxIndirectParamW(NULL, ErrorTemplate(), NULL, AddOnErrorDlgProc, 0);
    }

    int input_[2] = {-1, -1};
    int output_ = -1;
};

const char *const TITLE = "Firmware Add-on Error";
const char *const LINE1 = "Cannot add this firmware to the incompatible installed firmware.";
const char *const LINE2 =
    "The current installed firmware must be Version 3.42 (Build 389) or higher.";

TEST_F(PosixDialog, TicksKeepToTheirDeadlinesAndDoNotDrift)
{
    // A handler that takes 35 ms per tick would push a timer rescheduled from each delivery
    // to 85 ms steps, six ticks in 525 ms; deadlines from SetTimer keep ten. The margin
    // between them lets a loaded machine lose a few ticks to late loops.
    s_sleepOnTick = 0;
    s_sleepMs = 0;
    struct Slow {
        static INT_PTR CALLBACK Proc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
        {
            if (message == WM_TIMER && wParam == TICKER)
                std::this_thread::sleep_for(std::chrono::milliseconds(35));
            return TimingHandler(dialog, message, wParam, lParam);
        }
    };
    EXPECT_EQ(DialogBoxIndirectParamW(NULL, ErrorTemplate(), NULL, Slow::Proc, 0), 1);
    EXPECT_GE(s_ticks.size(), 7u);
    EXPECT_LE(s_ticks.size(), 10u);
    for (size_t k = 0; k < s_ticks.size(); ++k)
        EXPECT_GE(MsSinceStart(s_ticks[k]), 50.0 * (double)(k + 1) - 1) << "tick " << k + 1;
}

TEST_F(PosixDialog, ALateLoopGetsOneTickNotAPileOfThem)
{
    s_sleepOnTick = 0;
    s_sleepMs = 110; // the first tick's handler sits through two more deadlines
    EXPECT_EQ(DialogBoxIndirectParamW(NULL, ErrorTemplate(), NULL, TimingHandler, 0), 1);
    ASSERT_GE(s_ticks.size(), 3u);
    // The missed deadlines fold into one tick right after; the next keeps its own deadline.
    // A backlog delivered at once would put the third tick right behind the second, at about
    // 160 ms; a third tick at its own deadline or later shows there was none, however late a
    // loaded machine runs the loop.
    EXPECT_GE(MsSinceStart(s_ticks[1]), 150.0);
    EXPECT_GE(MsSinceStart(s_ticks[2]), 199.0) << "no backlog delivered at once";
    EXPECT_LE(s_ticks.size(), 9u);
}

TEST_F(PosixDialog, OnlyTheProgramsOwnTemplatesAreShown)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(DialogBoxIndirectParamW(NULL, NULL, NULL, TimingHandler, 0), -1);
    // A perfect copy of the template is still not one of the resources, whose size is known.
    HRSRC resource = FindResourceW(NULL, MAKEINTRESOURCE(IDD_ADDON_ERROR), RT_DIALOG);
    const BYTE *whole = (const BYTE *)ErrorTemplate();
    std::vector<BYTE> copy(whole, whole + SizeofResource(NULL, resource));
    EXPECT_EQ(DialogBoxIndirectParamW(NULL, (LPCDLGTEMPLATE)copy.data(), NULL, TimingHandler, 0),
              -1);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("zembrel: no dialog template"), std::string::npos);
    EXPECT_NE(errors.find("zembrel: bad dialog template: it is not one of the program's resources"),
              std::string::npos);
    EXPECT_TRUE(s_ticks.empty()) << "no handler ran";
}

// Each damaged template in a buffer of its own size, so that a read past its end shows under
// AddressSanitizer.
bool Parses(const std::vector<BYTE> &bytes, const char **error)
{
    ParsedDialog parsed;
    return ParseDialogTemplate(bytes.data(), bytes.size(), &parsed, error);
}

TEST(DialogTemplate, DamagedTemplatesAreRefused)
{
    HRSRC resource = FindResourceW(NULL, MAKEINTRESOURCE(IDD_ADDON_ERROR), RT_DIALOG);
    const BYTE *whole = (const BYTE *)LoadResource(NULL, resource);
    size_t size = SizeofResource(NULL, resource);
    const char *error = nullptr;
    ASSERT_TRUE(Parses(std::vector<BYTE>(whole, whole + size), &error)) << error;

    // Cut short anywhere.
    for (size_t length = 0; length < size; ++length) {
        EXPECT_FALSE(Parses(std::vector<BYTE>(whole, whole + length), &error)) << length;
        EXPECT_STREQ(error, "it ends before its last field") << length;
    }
    // Whole, but with a control class that does not exist, or all ones.
    std::vector<BYTE> bad(whole, whole + size);
    const BYTE buttonAtom[] = {0xFF, 0xFF, 0x80, 0x00};
    BYTE *atom = (BYTE *)memmem(bad.data(), size, buttonAtom, sizeof buttonAtom);
    ASSERT_NE(atom, nullptr);
    atom[2] = 0x99;
    EXPECT_FALSE(Parses(bad, &error));
    EXPECT_STREQ(error, "a control has an unknown class atom");
    EXPECT_FALSE(Parses(std::vector<BYTE>(size, 0xFF), &error));
}

TEST_F(PosixDialog, TranscriptShowsTitleMessageEachNumberAndTheResult)
{
    Feed("");
    EXPECT_EQ(RunErrorDialog(1, 2), IDOK);
    EXPECT_EQ(Transcript(),
              (std::vector<std::string>{TITLE, LINE1, LINE2, "Time out (in Second): 2",
                                        "Time out (in Second): 1", "Time out (in Second): 0",
                                        "EndDialog: 1"}));
}

TEST_F(PosixDialog, AttendedTranscriptHasNoCountdown)
{
    Feed("command 3\ncommand 2\n");
    EXPECT_EQ(RunErrorDialog(0, 5), IDCANCEL);
    EXPECT_EQ(Transcript(), (std::vector<std::string>{TITLE, LINE1, LINE2, "EndDialog: 2"}));
}

TEST_F(PosixDialog, ScriptedSystemKeysFreezeAndAltF4Closes)
{
    testing::internal::CaptureStderr();
    Feed("# a comment, then a blank line\n\nbogus 12\nsyskeydown 0x41\nsyskeyup a\n"
         "syskeydown F4\n");
    EXPECT_EQ(RunErrorDialog(1, 5), IDCANCEL);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors, "zembrel: unknown event: bogus 12\n");
    EXPECT_EQ(Transcript(), (std::vector<std::string>{TITLE, LINE1, LINE2,
                                                      "Time out (in Second): 5", "EndDialog: 2"}));
}

struct Seen {
    UINT message;
    WPARAM wParam;
};
std::vector<Seen> s_seen;

INT_PTR CALLBACK EventRecorder(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_COMMAND || message == WM_SYSKEYDOWN || message == WM_SYSKEYUP)
        s_seen.push_back({message, wParam});
    if (message == WM_COMMAND && wParam == 99)
        EndDialog(dialog, 5);
    return TRUE;
}

TEST_F(PosixDialog, ScriptedEventsBecomeMessagesAsTheyArrive)
{
    s_seen.clear();
    Feed("command 0x10\nsyskeydown F4\nsyskeyup 18\nsyskeydown z\n  syskeyup RETURN  \n"
         "syskeydown f12\n",
         false);
    // The last event comes later, on its own: the loop waits for it without a timer.
    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        Feed("command 99");
    });
    Clock::time_point start = Clock::now();
    EXPECT_EQ(DialogBoxIndirectParamW(NULL, ErrorTemplate(), NULL, EventRecorder, 0), 5);
    late.join();
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(140));
    std::vector<std::pair<UINT, WPARAM>> seen;
    for (const Seen &s : s_seen)
        seen.push_back({s.message, s.wParam});
    EXPECT_EQ(seen, (std::vector<std::pair<UINT, WPARAM>>{{WM_COMMAND, 16},
                                                          {WM_SYSKEYDOWN, VK_F4},
                                                          {WM_SYSKEYUP, 18},
                                                          {WM_SYSKEYDOWN, 'Z'},
                                                          {WM_SYSKEYUP, VK_RETURN},
                                                          {WM_SYSKEYDOWN, VK_F12},
                                                          {WM_COMMAND, 99}}));
}

TEST_F(PosixDialog, EndOfInputLeavesTheCountdownRunning)
{
    Feed("syskeyup");
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunErrorDialog(1, 0), IDOK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "zembrel: unknown event: syskeyup\n");
    EXPECT_EQ(Transcript().back(), "EndDialog: 1");
}

long PeakKilobytes()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Input that never ends and never holds a line: the countdown still runs out on time and the
// partial line held stays small.
TEST_F(PosixDialog, EndlessInputHoldsNeitherTheCountdownNorMemory)
{
    int zero = open("/dev/zero", O_RDONLY);
    ASSERT_GE(zero, 0);
    SetDialogStreamsForTests(zero, output_);
    // Should the countdown be held, the input ends after a while and the test fails, not hangs.
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 300 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        int null = open("/dev/null", O_RDONLY);
        dup2(null, zero);
        close(null);
    });
    long before = PeakKilobytes();
    Clock::time_point start = Clock::now();
    testing::internal::CaptureStderr();
    INT_PTR result = RunErrorDialog(1, 0);
    std::string errors = testing::internal::GetCapturedStderr();
    Clock::duration took = Clock::now() - start;
    done = true;
    watchdog.join();
    close(zero);

    EXPECT_EQ(result, IDOK);
    EXPECT_LT(took, std::chrono::seconds(25)) << "the tick waited for the input to end";
    EXPECT_EQ(Transcript().back(), "EndDialog: 1");
    EXPECT_LT(PeakKilobytes() - before, 64 * 1024) << "kilobytes more at the peak";
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
}

} // namespace
