// The device's start-up: the kernel calls the image's entry point with WinMain's arguments.
#include "platform/platform.h"

// The launch record is laid out as coredll reads it.
static_assert(sizeof(SHELLEXECUTEINFO) == 60, "SHELLEXECUTEINFO must be 60 bytes on x86");

// The image's entry point. The kernel passes the instance, NULL, the command line exactly as
// the launcher gave it (no program name) and the show state. The entry never returns: like
// the device's own C runtime start-up, it ends the process with WinMain's value. It does so
// with ExitThread, which coredll has had since CE 1.01: on CE the primary thread's exit ends
// the process, with that thread's exit code as the process's (ExitProcess is documented for
// later versions of CE only). As nothing returns to the kernel, whichever convention the
// kernel calls with (who pops the arguments) makes no difference. The stack is realigned,
// since the kernel promises 4 bytes of alignment and the compiler assumes 16.
extern "C" __attribute__((force_align_arg_pointer, noreturn)) void
ZembrelStartup(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand)
{
    ExitThread((DWORD)WinMain(instance, previous, commandLine, showCommand));
}
