// Tests of the platform's dialog manager under a handler of the tests' own: messages, windows,
// timers.
#include "resources/resource.h"
#include "test_support.h"

#include <chrono>
#include <functional>

namespace {

const UINT WM_STEP = WM_USER + 10;
const UINT WM_LAST = WM_USER + 11;
const UINT_PTR PROBE_TIMER = 900;

struct Record {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

std::vector<Record> s_records;
std::function<void(HWND)> s_onProbe;
std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> s_extra;

INT_PTR CALLBACK TestHandler(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Everything else (painting above all) is left to the dialog manager, as a real handler
    // must: a dialog that claims WM_PAINT without painting is repainted for ever and starves
    // its timers.
    bool watched = message == WM_INITDIALOG || message == WM_STEP || message == WM_LAST ||
                   message == WM_COMMAND || message == WM_TIMER;
    if (!watched)
        return FALSE;
    s_records.push_back({message, wParam, lParam});
    if (message == WM_TIMER && wParam == PROBE_TIMER) {
        KillTimer(dialog, PROBE_TIMER);
        if (s_onProbe)
            s_onProbe(dialog);
        EndDialog(dialog, 77);
        return TRUE;
    }
    if (s_extra)
        return s_extra(dialog, message, wParam, lParam);
    return message == WM_INITDIALOG;
}

INT_PTR RunTestDialog(LPARAM initParam = 0)
{
    HRSRC resource = FindResourceW(TestInstance(), MAKEINTRESOURCE(IDD_ADDON_ERROR), RT_DIALOG);
    LPCDLGTEMPLATE dialogTemplate = (LPCDLGTEMPLATE)LoadResource(TestInstance(), resource);
    return DialogBoxIndirectParamW(TestInstance(), dialogTemplate, NULL, TestHandler, initParam);
}

class DialogManager : public ::testing::Test {
  protected:
    void SetUp() override
    {
        s_records.clear();
        s_onProbe = nullptr;
        s_extra = nullptr;
    }
    void TearDown() override
    {
        s_onProbe = nullptr;
        s_extra = nullptr;
    }
};

TEST_F(DialogManager, PostedMessagesArriveInOrderAndEndDialogReturnsItsResult)
{
    s_extra = [](HWND dialog, UINT message, WPARAM, LPARAM) -> INT_PTR {
        if (message == WM_INITDIALOG) {
            for (WPARAM i = 1; i <= 4; ++i)
                EXPECT_TRUE(PostMessageW(dialog, WM_STEP, i, (LPARAM)(10 * i)));
            PostMessageW(dialog, WM_LAST, 0, 0);
            return TRUE;
        }
        if (message == WM_LAST) {
            EndDialog(dialog, 1234);
            // Already finished: what is posted now is never handled.
            PostMessageW(dialog, WM_STEP, 99, 0);
        }
        return TRUE;
    };
    EXPECT_EQ(RunTestDialog(0x5150), 1234);
    ASSERT_EQ(s_records.size(), 6u);
    EXPECT_EQ(s_records[0].message, (UINT)WM_INITDIALOG);
    EXPECT_EQ(s_records[0].lParam, 0x5150);
    for (size_t i = 1; i <= 4; ++i) {
        EXPECT_EQ(s_records[i].message, WM_STEP);
        EXPECT_EQ(s_records[i].wParam, i);
        EXPECT_EQ(s_records[i].lParam, (LPARAM)(10 * i));
    }
    EXPECT_EQ(s_records[5].message, WM_LAST);
    EXPECT_FALSE(PostMessageW((HWND)(uintptr_t)0x7FFFFF00, WM_STEP, 0, 0)) << "no such window";
}

TEST_F(DialogManager, ControlsKeepTextsVisibilityAndFocus)
{
    static HWND seenDialog = NULL;
    s_extra = [](HWND dialog, UINT message, WPARAM, LPARAM) -> INT_PTR {
        if (message == WM_INITDIALOG)
            SetTimer(dialog, PROBE_TIMER, 30, NULL);
        return message == WM_INITDIALOG;
    };
    s_onProbe = [](HWND dialog) {
        seenDialog = dialog;
        WCHAR text[64];
        EXPECT_EQ(GetWindowTextW(dialog, text, 64), 21);
        EXPECT_EQ(Narrow(text), "Firmware Add-on Error");
        const int ids[] = {IDCANCEL, IDC_MESSAGE, IDC_TIMEOUT_LABEL, IDC_TIMEOUT_VALUE};
        for (int id : ids) {
            HWND control = GetDlgItem(dialog, id);
            ASSERT_NE(control, nullptr) << id;
            EXPECT_EQ(GetDlgCtrlID(control), id);
            EXPECT_EQ(GetParent(control), dialog);
            EXPECT_TRUE(IsWindowVisible(control)) << id;
        }
        EXPECT_EQ(GetDlgItem(dialog, 4242), nullptr);
        // The handler returned TRUE, so the dialog manager focused the first tab stop.
        EXPECT_EQ(GetFocus(), GetDlgItem(dialog, IDCANCEL));
        EXPECT_EQ(SetFocus(GetDlgItem(dialog, IDC_MESSAGE)), GetDlgItem(dialog, IDCANCEL));
        EXPECT_EQ(GetFocus(), GetDlgItem(dialog, IDC_MESSAGE));

        EXPECT_EQ(GetDlgItemTextW(dialog, IDCANCEL, text, 64), 6u);
        EXPECT_EQ(Narrow(text), "Cancel");
        EXPECT_TRUE(SetDlgItemTextW(dialog, IDC_TIMEOUT_VALUE, TEXT("12345")));
        for (WCHAR &c : text)
            c = 0xBEEF;
        EXPECT_EQ(GetDlgItemTextW(dialog, IDC_TIMEOUT_VALUE, text, 4), 3u);
        EXPECT_EQ(Narrow(text), "123");
        EXPECT_EQ(text[4], 0xBEEF);
        EXPECT_FALSE(SetDlgItemTextW(dialog, 4242, TEXT("x")));

        HWND label = GetDlgItem(dialog, IDC_TIMEOUT_LABEL);
        EXPECT_TRUE(ShowWindow(label, SW_HIDE)) << "was visible";
        EXPECT_FALSE(IsWindowVisible(label));
        EXPECT_FALSE(ShowWindow(label, SW_HIDE)) << "was hidden";
        EXPECT_FALSE(ShowWindow(label, SW_SHOW));
        EXPECT_TRUE(IsWindowVisible(label));
        EXPECT_TRUE(UpdateWindow(dialog));

        EXPECT_EQ(FindWindowW(TEXT("#32770"), TEXT("Firmware Add-on Error")), dialog);
        EXPECT_EQ(FindWindowW(NULL, TEXT("Firmware Add-on Error")), dialog);
        EXPECT_EQ(FindWindowW(TEXT("#32770"), NULL), dialog);
        EXPECT_EQ(FindWindowW(TEXT("DesktopExplorerWindow"), TEXT("WbtDesktopWindow")), nullptr);
        EXPECT_EQ(FindWindowW(TEXT("#32770"), TEXT("Another Title")), nullptr);
        EXPECT_EQ(GetForegroundWindow(), dialog);
    };
    EXPECT_EQ(RunTestDialog(), 77);
    ASSERT_NE(seenDialog, nullptr);
    EXPECT_FALSE(IsWindowVisible(seenDialog)) << "destroyed with the dialog";
    EXPECT_EQ(FindWindowW(NULL, TEXT("Firmware Add-on Error")), nullptr);
    EXPECT_EQ(GetDlgItem(seenDialog, IDCANCEL), nullptr);
}

TEST_F(DialogManager, KillTimerStopsTheTicks)
{
    static int ticks = 0;
    ticks = 0;
    s_extra = [](HWND dialog, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
        if (message == WM_INITDIALOG) {
            EXPECT_NE(SetTimer(dialog, 5, 40, NULL), 0u);
            SetTimer(dialog, PROBE_TIMER, 400, NULL);
        }
        if (message == WM_TIMER && wParam == 5) {
            ++ticks;
            EXPECT_TRUE(KillTimer(dialog, 5));
            EXPECT_FALSE(KillTimer(dialog, 5)) << "already gone";
        }
        return TRUE;
    };
    EXPECT_EQ(RunTestDialog(), 77);
    EXPECT_EQ(ticks, 1);
}

TEST_F(DialogManager, ThreadTimerCallsItsProcedureInsideTheLoop)
{
    static UINT_PTR threadTimer = 0;
    static int calls = 0;
    calls = 0;
    struct Callback {
        static void CALLBACK Proc(HWND window, UINT message, UINT_PTR id, DWORD)
        {
            EXPECT_EQ(window, nullptr);
            EXPECT_EQ(message, (UINT)WM_TIMER);
            EXPECT_EQ(id, threadTimer);
            ++calls;
            KillTimer(NULL, id);
        }
    };
    s_extra = [](HWND dialog, UINT message, WPARAM, LPARAM) -> INT_PTR {
        if (message == WM_INITDIALOG) {
            threadTimer = SetTimer(NULL, 0, 30, Callback::Proc);
            EXPECT_NE(threadTimer, 0u);
            SetTimer(dialog, PROBE_TIMER, 300, NULL);
        }
        return TRUE;
    };
    EXPECT_EQ(RunTestDialog(), 77);
    EXPECT_EQ(calls, 1);
}

} // namespace
