// Test support on the POSIX port: the module the tests load from, and the Win32 calls that only
// the tests make, which the port leaves out and test_platform.cpp reads from its window table.
#pragma once

#include "platform/platform.h"

// The module whose resources the system loads: the program's own, which the port also takes
// as a null handle.
inline HINSTANCE TestInstance()
{
    return NULL;
}

#define GWL_STYLE (-16)
#define GWL_EXSTYLE (-20)
#define GWL_ID (-12)

int GetWindowTextW(HWND window, LPWSTR buffer, int capacity);
UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR buffer, int capacity);
BOOL IsWindowVisible(HWND window);
LONG GetWindowLongW(HWND window, int index);
HWND GetParent(HWND window);
int GetDlgCtrlID(HWND window);
DWORD SizeofResource(HMODULE module, HRSRC resource);
HRSRC FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language);
