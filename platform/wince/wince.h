// The device's platform: Windows CE 2.12 on x86, every call imported by name from coredll.
#pragma once

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

extern "C" {
// The kernel's debug channel; formats as wsprintfW does.
__declspec(dllimport) void NKDbgPrintfW(LPCWSTR format, ...);

// coredll starts programs under this name, with the wide record (60 bytes on x86).
#undef ShellExecuteEx
__declspec(dllimport) BOOL WINAPI ShellExecuteEx(SHELLEXECUTEINFOW *info);
}

// The system's entry point; the device's kernel calls the image's entry (start.cpp), which
// calls this. windows.h declares the desktop's narrow WinMain, so ours links under its own name.
#define WinMain ZembrelWinMain
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);
