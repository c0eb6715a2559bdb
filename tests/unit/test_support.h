// Test support: a fresh registry for each test and direct access to it through the platform.
#pragma once

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

typedef std::basic_string<WCHAR> WString;

// The registry keys the system touches, and one of the tests' own.
#define PLATFORM_KEY TEXT("Platform")
#define SNMP_KEY TEXT("NetAdmin\\SNMP")
#define TEST_KEY TEXT("Software\\ZembrelTests")

// Starts each test on an empty registry: on POSIX a new device root in a temporary folder, on
// Windows (a disposable Wine prefix) the keys above deleted.
void ResetTestRegistry();
void CleanUpTestRegistry();

// Values written and read straight through the platform, bypassing the system's routines.
void PutValue(LPCWSTR subKey, LPCWSTR name, DWORD type, const void *data, DWORD size);
void PutString(LPCWSTR subKey, LPCWSTR name, LPCWSTR text); // REG_SZ with its terminator
void PutDword(LPCWSTR subKey, LPCWSTR name, DWORD value);
bool GetValue(LPCWSTR subKey, LPCWSTR name, DWORD *type, std::vector<BYTE> *data);
bool KeyExists(LPCWSTR subKey);

// The dword stored under the name, or the sentinel when there is none of that type.
DWORD GetDwordOr(LPCWSTR subKey, LPCWSTR name, DWORD sentinel);

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetTestRegistry(); }
    void TearDown() override { CleanUpTestRegistry(); }
};

// The module whose resources the system loads: the test program itself.
HINSTANCE TestInstance();

// Arms a one-shot thread timer that finds the dialog by its title and sends it the command,
// so that a test can end a dialog that the code under test runs modally.
void CloseDialogAfter(UINT milliseconds, WPARAM command);
void CancelDialogCloser();

// A file's whole content, and a file made to hold exactly these bytes.
std::string FileBytes(const std::string &path);
void PutFileBytes(const std::string &path, const std::string &bytes);

// UTF-8 for readable failure messages.
std::string Narrow(LPCWSTR text);
WString Widen(const char *text);
