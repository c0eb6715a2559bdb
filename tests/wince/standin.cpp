// The stand-in COREDLL.dll's own functions: the device's paths and keys under a test root.
#include "platform/win32/win32.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

// Paths and keys move the way the desktop build moves them (platform/win32/device.cpp):
// ZEMBREL_ROOT stands for the device's "\", ZEMBREL_HKLM for its HKEY_LOCAL_MACHINE. The loader
// refuses to start a program without both, so no test reaches Wine's own C:\windows or HKLM.

extern "C" LSTATUS WINAPI StandInRegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options,
                                               REGSAM access, PHKEY result)
{
    return ZembrelRegOpenKeyExW(key, subKey, options, access, result);
}

extern "C" LSTATUS WINAPI StandInRegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved,
                                                 LPWSTR keyClass, DWORD options, REGSAM access,
                                                 LPSECURITY_ATTRIBUTES security, PHKEY result,
                                                 LPDWORD disposition)
{
    return ZembrelRegCreateKeyExW(key, subKey, reserved, keyClass, options, access, security,
                                  result, disposition);
}

extern "C" HANDLE WINAPI StandInCreateFileW(LPCWSTR fileName, DWORD access, DWORD shareMode,
                                            LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                            DWORD attributes, HANDLE templateFile)
{
    return ZembrelCreateFileW(fileName, access, shareMode, security, disposition, attributes,
                              templateFile);
}

extern "C" BOOL WINAPI StandInDeleteFileW(LPCWSTR fileName)
{
    return ZembrelDeleteFileW(fileName);
}

// coredll's launch call reads the 60-byte wide record; any other size is refused, as a record
// laid out for another platform must be.
extern "C" BOOL WINAPI StandInShellExecuteEx(SHELLEXECUTEINFOW *info)
{
    if (info == NULL || info->cbSize != 60) {
        fprintf(stderr, "COREDLL.dll: ShellExecuteEx given a record of %lu bytes, not 60\n",
                info != NULL ? (unsigned long)info->cbSize : 0ul);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return ZembrelShellExecuteExW(info);
}

// The kernel's debug channel: the formatted text goes to OutputDebugStringW, where the tests
// read the desktop builds' lines too, and whole to the file ZEMBREL_DEBUG_FILE names (UTF-16LE,
// appended), which Wine's debug channel would shorten.
extern "C" void StandInNKDbgPrintfW(LPCWSTR format, ...)
{
    va_list args;
    va_start(args, format);
    LPWSTR text = FormatDebugText(format, args);
    va_end(args);
    if (text == NULL)
        return;
    OutputDebugStringW(text);
    WCHAR path[MAX_PATH];
    DWORD size = GetEnvironmentVariableW(L"ZEMBREL_DEBUG_FILE", path, MAX_PATH);
    HANDLE file = size > 0 && size < MAX_PATH
                      ? CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, NULL)
                      : INVALID_HANDLE_VALUE;
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, text, (DWORD)(wcslen(text) * sizeof(WCHAR)), &written, NULL);
        CloseHandle(file);
    }
    free(text);
}

// On the device the primary thread's exit ends the process with its code; on the desktop other
// threads (Wine's among them) would keep the process alive, so the stand-in ends it.
extern "C" void WINAPI StandInExitThread(DWORD code)
{
    ExitProcess(code);
}
