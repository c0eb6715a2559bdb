// The Win32 names the system uses, declared for the POSIX port and implemented beside this file.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
// Before our 16-bit wcs* overloads: std:: then names only the C library's wchar_t ones, and
// <string>, which takes &std::wcstol, still compiles when it comes after this header.
#include <cwchar>

// ---- Basic types -------------------------------------------------------------------------

typedef char16_t WCHAR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef int32_t LONG;
typedef uint32_t DWORD;
typedef DWORD *LPDWORD;
typedef int BOOL;
typedef uint8_t BYTE;
typedef BYTE *LPBYTE;
typedef const BYTE *LPCBYTE;
typedef uint16_t WORD;
typedef unsigned int UINT;
typedef uintptr_t UINT_PTR;
typedef intptr_t INT_PTR;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef void *HANDLE;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef LONG LSTATUS;
typedef DWORD REGSAM;
typedef DWORD ACCESS_MASK;

typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef struct HINSTANCE__ *HINSTANCE;
typedef struct HWND__ *HWND;
typedef struct HRSRC__ *HRSRC;
typedef void *HGLOBAL;
typedef HINSTANCE HMODULE;

#define WINAPI
#define CALLBACK
#define TRUE 1
#define FALSE 0

#define TEXT(s) u##s

// ---- Registry ----------------------------------------------------------------------------

#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002)

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_WRITE_FAULT 29L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_FILE_TOO_LARGE 223L
#define ERROR_MORE_DATA 234L
#define ERROR_REGISTRY_CORRUPT 1015L

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006

#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define REG_OPTION_NON_VOLATILE 0
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                     REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition);
LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize);
LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE *data,
                    DWORD dataSize);
LONG RegCloseKey(HKEY key);

// ---- Files -------------------------------------------------------------------------------

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define GENERIC_READ 0x80000000UL
#define GENERIC_WRITE 0x40000000UL
#define CREATE_NEW 1
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x80

HANDLE CreateFileW(LPCWSTR fileName, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD attributes, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
BOOL DeleteFileW(LPCWSTR fileName);
DWORD GetLastError(void);

// ---- Program launch ----------------------------------------------------------------------

// The port shows no error box and returns once the program has started, whatever the mask;
// it knows only the default action (the system's verb is null).

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5

typedef struct _SHELLEXECUTEINFOW {
    DWORD cbSize;
    UINT fMask;
    HWND hwnd;
    LPCWSTR lpVerb;
    LPCWSTR lpFile;
    LPCWSTR lpParameters;
    LPCWSTR lpDirectory;
    int nShow;
    HINSTANCE hInstApp;
    LPVOID lpIDList;
    LPCWSTR lpClass;
    HKEY hkeyClass;
    DWORD dwHotKey;
    HANDLE hIcon;
    HANDLE hProcess;
} SHELLEXECUTEINFOW, *LPSHELLEXECUTEINFOW;
typedef SHELLEXECUTEINFOW SHELLEXECUTEINFO;

BOOL ShellExecuteExW(SHELLEXECUTEINFOW *info);
#define ShellExecuteEx ShellExecuteExW

// ---- Debug output and the wide-string runtime ---------------------------------------------

// Writes the formatted text, UTF-8, to standard error.
void NKDbgPrintfW(LPCWSTR format, ...);

// wsprintfW's formats: %s (a wide string), %d and %i, %u, %x and %X, %c, %%; flags '-', '0',
// a width, and the 'l' and 'h' size prefixes. The output stops at 1024 characters, as Win32's.
int wsprintfW(LPWSTR buffer, LPCWSTR format, ...);
size_t wcslen(const WCHAR *text);
WCHAR *wcscpy(WCHAR *dest, const WCHAR *src);
WCHAR *wcscat(WCHAR *dest, const WCHAR *src);
WCHAR *wcsstr(WCHAR *text, const WCHAR *search);
const WCHAR *wcsstr(const WCHAR *text, const WCHAR *search);
// As on the device, long is 32 bits: out-of-range numbers saturate at the 32-bit limits.
LONG wcstol(const WCHAR *text, WCHAR **end, int base);

// ---- Windows, dialogs and resources -------------------------------------------------------

#define WM_DESTROY 0x0002
#define WM_SYSKEYDOWN 0x0104
#define WM_SYSKEYUP 0x0105
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_TIMER 0x0113
#define WM_USER 0x0400

#define IDOK 1
#define IDCANCEL 2

#define VK_RETURN 0x0D
#define VK_ESCAPE 0x1B
#define VK_SPACE 0x20
#define VK_F1 0x70
#define VK_F4 0x73
#define VK_F12 0x7B
#define VK_MENU 0x12

#define LOWORD(l) ((WORD)(((uintptr_t)(l)) & 0xffff))
#define MAKEINTRESOURCEW(i) ((LPWSTR)(uintptr_t)(WORD)(i))
#define MAKEINTRESOURCE MAKEINTRESOURCEW
#define IS_INTRESOURCE(r) ((((uintptr_t)(r)) >> 16) == 0)
#define RT_ICON MAKEINTRESOURCEW(3)
#define RT_DIALOG MAKEINTRESOURCEW(5)
#define RT_STRING MAKEINTRESOURCEW(6)
#define RT_GROUP_ICON MAKEINTRESOURCEW(14)

typedef INT_PTR(CALLBACK *DLGPROC)(HWND, UINT, WPARAM, LPARAM);
typedef void(CALLBACK *TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

#pragma pack(push, 2)
typedef struct {
    DWORD style;
    DWORD dwExtendedStyle;
    WORD cdit;
    short x;
    short y;
    short cx;
    short cy;
} DLGTEMPLATE;
#pragma pack(pop)
typedef const DLGTEMPLATE *LPCDLGTEMPLATEW;
typedef const DLGTEMPLATE *LPCDLGTEMPLATE;

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int capacity);

INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialogTemplate, HWND owner,
                                DLGPROC dialogProc, LPARAM initParam);
BOOL EndDialog(HWND dialog, INT_PTR result);
HWND GetDlgItem(HWND dialog, int id);
BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text);
BOOL ShowWindow(HWND window, int show);
BOOL UpdateWindow(HWND window);
HWND SetFocus(HWND window);
HWND GetFocus(void);
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC timerProc);
BOOL KillTimer(HWND window, UINT_PTR id);

HWND FindWindowW(LPCWSTR className, LPCWSTR windowName);
HWND GetForegroundWindow(void);
BOOL SetForegroundWindow(HWND window);

// ---- Start-up ----------------------------------------------------------------------------

// The system's entry point; the port's main() calls it with argv[1..] joined by single spaces.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);

// ---- Window, dialog and control styles; more keys ----------------------------------------

#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_SYSMENU 0x00080000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define DS_SETFONT 0x40L
#define DS_MODALFRAME 0x80L
#define DS_CENTER 0x0800L
#define SS_LEFT 0x0L
#define SS_ICON 0x3L
#define BS_PUSHBUTTON 0x0L
#define BS_DEFPUSHBUTTON 0x1L
#define VK_TAB 0x09
