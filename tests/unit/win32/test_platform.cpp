// Test support on Windows: a fresh device key for each test, in a key of the Windows user.
#include "test_support.h"

// The key under HKEY_CURRENT_USER that stands for the device's HKEY_LOCAL_MACHINE.
#define TEST_DEVICE_KEY TEXT("Software\\ZembrelTestDevice")

// Desktop Windows holds no new key directly under HKEY_LOCAL_MACHINE, and a Wine prefix should
// not collect the tests' keys there either: the platform's device key stands in for it.
void ResetTestRegistry()
{
    SetEnvironmentVariableW(TEXT("ZEMBREL_HKLM"), TEXT("HKCU\\") TEST_DEVICE_KEY);
    RegDeleteTreeW(HKEY_CURRENT_USER, TEST_DEVICE_KEY);
}

void CleanUpTestRegistry()
{
    ResetTestRegistry();
}
