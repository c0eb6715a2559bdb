// The calls the Windows build takes over from <windows.h> to keep the device's rules on Windows.
#pragma once

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>

#include <shellapi.h>
#include <stdarg.h>

// DialogBoxIndirectParamW, with the system keys typed into any window of the dialog offered to
// the dialog's handler first: what the handler takes, the dialog manager never sees.
INT_PTR ZembrelDialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialogTemplate,
                                       HWND owner, DLGPROC handler, LPARAM initParam);

// The device root. Desktop Windows cannot hold the device's keys (no new key directly under
// HKEY_LOCAL_MACHINE) and its "\Windows" is the system's own folder, so two optional variables
// move the device elsewhere; unset, every call goes to Windows as it stands.
//   ZEMBREL_HKLM  the key that stands for the device's HKEY_LOCAL_MACHINE, named from its root:
//                 "HKCU\Software\Zembrel\Device" (HKCU, HKLM or their long names)
//   ZEMBREL_ROOT  the folder that stands for the device's "\": a path rooted on no drive, such
//                 as "\Windows\upgrade.exe", is taken under it
LSTATUS ZembrelRegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
LSTATUS ZembrelRegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                               DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                               PHKEY result, LPDWORD disposition);
HANDLE ZembrelCreateFileW(LPCWSTR fileName, DWORD access, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD attributes,
                          HANDLE templateFile);
BOOL ZembrelDeleteFileW(LPCWSTR fileName);
BOOL ZembrelShellExecuteExW(SHELLEXECUTEINFOW *info);

// The debug channel's text, formatted as NKDbgPrintfW formats it, in a buffer the caller frees;
// NULL when there is no memory for it.
LPWSTR FormatDebugText(LPCWSTR format, va_list args);
