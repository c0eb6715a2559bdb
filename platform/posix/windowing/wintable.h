// The port's window machinery shared by its modules: the window table, messages, timers, views,
// and the embedded resources that dialog templates come from.
#pragma once

#include "../port.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

// The class name Windows gives dialogs; FindWindowW matches it like any other.
#define DIALOG_CLASS u"#32770"

struct Window {
    HWND handle = NULL;
    HWND parent = NULL; // a control's dialog, or a dialog's owner (any handle, even foreign)
    bool isDialog = false;
    std::u16string className;
    std::u16string text;
    WORD iconOrdinal = 0; // an icon control's resource, from a title given as an ordinal
    int id = 0;
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::vector<HWND> children; // controls in template order, which is also the tab order
    // Dialogs only.
    DLGPROC proc = nullptr;
    bool ended = false;
    INT_PTR result = 0;
    bool dirty = true;
};

Window *LookUpWindow(HWND handle);
HWND AddWindow(Window window);
// Removes the window and its children, with their timers and the messages posted to them.
void RemoveWindow(HWND handle);

// ---- The message queue: posted messages first, then input, then timer ticks, as Win32 -------

struct QueuedMessage {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

bool TakePostedMessage(QueuedMessage *out);
// Delivers the next timer tick that is due, if any; false when none is.
bool DeliverDueTimer();
// Time until the next tick is due, or -1 when no timer runs; 0 when one is due now.
int MillisecondsToNextTimer();

// Calls the window's handler (a dialog) or its default behaviour (a control).
INT_PTR DeliverMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Marks the window's dialog as needing a repaint; views redraw it when the loop goes idle.
void InvalidateDialog(HWND window);
void SetForegroundDirect(HWND window);

// ---- Views: how a running dialog is shown and where its input comes from --------------------

struct InputEvent {
    enum Kind { Command, SysKeyDown, SysKeyUp, KeyPress } kind;
    WPARAM value; // the command identifier or the virtual-key code
};

class DialogView {
  public:
    virtual ~DialogView() = default;
    // The descriptor the loop waits on for input, or -1 when there is none (any more).
    virtual int InputDescriptor() = 0;
    // Called when the descriptor is ready (or reported an error); appends what it read.
    virtual void ReadInput(std::vector<InputEvent> *events) = 0;
    virtual void Paint(const Window &dialog) = 0;
    virtual void Ended(const Window &dialog, INT_PTR result) = 0;
};

std::unique_ptr<DialogView> MakeHeadlessView(int inputFd, int outputFd);
// A terminal view, or null when the terminal cannot be set up.
std::unique_ptr<DialogView> MakeTerminalView();

// Tests run dialogs headless on descriptors of their own; -1, -1 goes back to the standard
// streams and the usual choice between terminal and headless.
void SetDialogStreamsForTests(int inputFd, int outputFd);
// Forgets what the headless view has read of its script, for a new stream.
void ResetHeadlessScript();

// The headless view's script, one event a line: a line to its event (an unknown one reported
// on standard error), the script's bytes as they arrive, cut into lines, and its end, which
// takes a last line without a line feed.
void ParseScriptLine(const std::string &line, std::vector<InputEvent> *events);
void TakeScriptBytes(const char *bytes, size_t count, std::vector<InputEvent> *events);
void EndScript(std::vector<InputEvent> *events);
// Text from outside as a terminal may show it: printable ASCII as it is, a backslash doubled,
// every other byte as \xNN.
std::string EscapeControlBytes(const std::string &text);

// The text of a dialog's control, or "" when it has none.
std::u16string ControlText(const Window &dialog, int id);
const Window *FindControl(const Window &dialog, int id);
bool IsShown(const Window &window);

// ---- Resources and templates ---------------------------------------------------------------

// One resource of the embedded .res, as its RESOURCEHEADER describes it; an HRSRC points at one.
struct ResourceEntry {
    WORD type; // ordinals, as the program's resources have them
    WORD name;
    WORD language;
    const BYTE *data;
    DWORD size;
};

// Where a template pointer lies inside the embedded resources: the bytes from it to the end of
// its resource, or 0 when it is not one of them.
size_t EmbeddedBytesFrom(const void *pointer);

// A standard DLGTEMPLATE of `size` bytes, read into the dialog and its controls; false, with
// the reason, when the bytes are not a whole template that the port reads.
struct ParsedDialog {
    Window dialog;
    std::vector<Window> controls;
};
bool ParseDialogTemplate(const BYTE *bytes, size_t size, ParsedDialog *out, const char **error);
