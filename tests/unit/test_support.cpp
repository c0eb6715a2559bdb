// Test support: fresh registries for the tests, on the POSIX store or on a Wine prefix.
#include "test_support.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>

#ifndef _WIN32
#include <filesystem>
#include <unistd.h>

static std::string s_root;

void ResetTestRegistry()
{
    CleanUpTestRegistry();
    char pattern[] = "/tmp/zembrel-unit-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    s_root = pattern;
    setenv("ZEMBREL_ROOT", s_root.c_str(), 1);
}

void CleanUpTestRegistry()
{
    if (!s_root.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(s_root, ignored);
        s_root.clear();
    }
}
#else
void ResetTestRegistry()
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, PLATFORM_KEY);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, TEXT("NetAdmin"));
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, TEST_KEY);
}

void CleanUpTestRegistry()
{
    ResetTestRegistry();
}
#endif

void PutValue(LPCWSTR subKey, LPCWSTR name, DWORD type, const void *data, DWORD size)
{
    HKEY key = NULL;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name, 0, type, (const BYTE *)data, size), ERROR_SUCCESS);
    RegCloseKey(key);
}

void PutString(LPCWSTR subKey, LPCWSTR name, LPCWSTR text)
{
    PutValue(subKey, name, REG_SZ, text, (DWORD)((wcslen(text) + 1) * sizeof(WCHAR)));
}

void PutDword(LPCWSTR subKey, LPCWSTR name, DWORD value)
{
    PutValue(subKey, name, REG_DWORD, &value, sizeof(value));
}

bool GetValue(LPCWSTR subKey, LPCWSTR name, DWORD *type, std::vector<BYTE> *data)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD size = 0;
    bool found = RegQueryValueExW(key, name, NULL, type, NULL, &size) == ERROR_SUCCESS;
    if (found) {
        data->assign(size, 0);
        found = RegQueryValueExW(key, name, NULL, NULL, data->data(), &size) == ERROR_SUCCESS;
        data->resize(size);
    }
    RegCloseKey(key);
    return found;
}

bool KeyExists(LPCWSTR subKey)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

DWORD GetDwordOr(LPCWSTR subKey, LPCWSTR name, DWORD sentinel)
{
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!GetValue(subKey, name, &type, &data) || type != REG_DWORD || data.size() != 4)
        return sentinel;
    return (DWORD)data[0] | (DWORD)data[1] << 8 | (DWORD)data[2] << 16 | (DWORD)data[3] << 24;
}

HINSTANCE TestInstance()
{
#ifdef _WIN32
    return GetModuleHandleW(NULL);
#else
    return NULL;
#endif
}

static WPARAM s_closeCommand = 0;
static UINT_PTR s_closeTimer = 0;

static void CALLBACK CloseDialogNow(HWND, UINT, UINT_PTR, DWORD)
{
    HWND dialog = FindWindowW(NULL, TEXT("Firmware Add-on Error"));
    if (dialog == NULL)
        return; // not up yet: try again on the next tick
    CancelDialogCloser();
    PostMessageW(dialog, WM_COMMAND, s_closeCommand, 0);
}

void CloseDialogAfter(UINT milliseconds, WPARAM command)
{
    s_closeCommand = command;
    s_closeTimer = SetTimer(NULL, 0, milliseconds, CloseDialogNow);
    ASSERT_NE(s_closeTimer, 0u);
}

void CancelDialogCloser()
{
    if (s_closeTimer != 0)
        KillTimer(NULL, s_closeTimer);
    s_closeTimer = 0;
}

std::string FileBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void PutFileBytes(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.flush()) << path;
}

std::string Narrow(LPCWSTR text)
{
    std::string out;
    for (; text != NULL && *text != 0; ++text)
        out += *text < 0x80 ? (char)*text : '?';
    return out;
}

WString Widen(const char *text)
{
    WString out;
    for (; *text != 0; ++text)
        out += (WCHAR)(unsigned char)*text;
    return out;
}
