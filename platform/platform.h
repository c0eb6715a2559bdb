// The one header the system includes: Win32 names for every platform service it calls.
#pragma once

#if defined(ZEMBREL_WINCE)

#include "wince/wince.h"

#elif defined(_WIN32)

#include "win32/win32.h"

#include <stdlib.h>
#include <wchar.h>

// The device's kernel debug channel; the Windows build supplies it over OutputDebugStringW.
void NKDbgPrintfW(LPCWSTR format, ...);

// The system's entry point, with the device's wide command line; wWinMain calls it. windows.h
// already declares the desktop's narrow WinMain with C linkage, so ours links under its own name.
#define WinMain ZembrelWinMain
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);

// The Windows build's own versions of these calls (win32/win32.h says why).
#define DialogBoxIndirectParamW ZembrelDialogBoxIndirectParamW
#define RegOpenKeyExW ZembrelRegOpenKeyExW
#define RegCreateKeyExW ZembrelRegCreateKeyExW
#define CreateFileW ZembrelCreateFileW
#define DeleteFileW ZembrelDeleteFileW
#define ShellExecuteExW ZembrelShellExecuteExW

#else

#include "posix/win32api.h"

#endif

#include "fault.h"
