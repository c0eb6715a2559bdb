// The one header the system includes: Win32 names for every platform service it calls.
#pragma once

#ifdef _WIN32

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>

#include <shellapi.h>
#include <stdlib.h>
#include <wchar.h>

// The device's kernel debug channel; the Windows build supplies it over OutputDebugStringW.
void NKDbgPrintfW(LPCWSTR format, ...);

// The system's entry point, with the device's wide command line; wWinMain calls it. windows.h
// already declares the desktop's narrow WinMain with C linkage, so ours links under its own name.
#define WinMain ZembrelWinMain
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);

#else

#include "posix/win32api.h"

#endif

#include "fault.h"
