// Windows start-up: the Unicode entry point hands over to the system's WinMain.
#include "platform/platform.h"

#if defined(__i386__)
// The launch record is laid out as the device's coredll expects it.
static_assert(sizeof(SHELLEXECUTEINFO) == 60, "SHELLEXECUTEINFO must be 60 bytes on x86");
#endif

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand)
{
    return WinMain(instance, previous, commandLine, showCommand);
}
