// Tests of what the Windows build adds to Windows: the dialog's key filter and the device root.
#include "dialog/dialog.h"
#include "launch/zembrel.h"
#include "registry/registry.h"
#include "test_support.h"

namespace {

// ---- Typed system keys reach the handler ---------------------------------------------------

const UINT_PTR TEST_TIMER = 999;
const INT_PTR STILL_OPEN = 99; // the result when only the test's own timer ended the dialog

WPARAM s_key = 0;
int s_keysSeen = 0;
bool s_decline = false;

// Posts Alt+key to the Cancel button, where the keyboard would deliver it, and ends the
// dialog itself 1.5 s later unless something ended it first.
INT_PTR CALLBACK KeyedDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_TIMER && wParam == TEST_TIMER) {
        EndDialog(dialog, STILL_OPEN);
        return TRUE;
    }
    if (message == WM_SYSKEYDOWN || message == WM_SYSKEYUP) {
        ++s_keysSeen;
        if (s_decline)
            return FALSE;
    }
    INT_PTR result = AddOnErrorDlgProc(dialog, message, wParam, lParam);
    if (message == WM_INITDIALOG) {
        const LPARAM altDown = 1 | 1 << 29;
        PostMessageW(GetDlgItem(dialog, IDCANCEL), WM_SYSKEYDOWN, s_key, altDown);
        PostMessageW(GetDlgItem(dialog, IDCANCEL), WM_SYSKEYUP, s_key, altDown | 0xC0000000);
        SetTimer(dialog, TEST_TIMER, 1500, NULL);
    }
    return result;
}

INT_PTR TypeAltKey(int unattended, LONG timeout, WPARAM key, bool decline = false)
{
    g_hInstance = TestInstance();
    g_fUnattended = unattended;
    g_nTimeout = timeout;
    s_key = key;
    s_keysSeen = 0;
    s_decline = decline;
    HRSRC resource = FindResourceW(g_hInstance, MAKEINTRESOURCE(IDD_ADDON_ERROR), RT_DIALOG);
    LPCDLGTEMPLATE dialogTemplate = (LPCDLGTEMPLATE)LoadResource(g_hInstance, resource);
    INT_PTR result = DialogBoxIndirectParamW(g_hInstance, dialogTemplate, NULL, KeyedDialog, 0);
    g_fUnattended = 0;
    g_nTimeout = DEFAULT_TIMEOUT_SECONDS;
    return result;
}

TEST(KeyFilter, SystemKeysOnTheFocusedButtonGoToTheHandlerFirst)
{
    // Attended, the handler takes Alt+F4 and does nothing: the button never closes the dialog.
    EXPECT_EQ(TypeAltKey(0, 15, VK_F4), STILL_OPEN);
    EXPECT_EQ(s_keysSeen, 2);
    // A key the handler declines gets the platform's own handling: the button's Alt+F4 cancels.
    EXPECT_EQ(TypeAltKey(0, 15, VK_F4, true), IDCANCEL);
    // Unattended, Alt+letter freezes a countdown of 0 that would end it a second in (IDOK).
    EXPECT_EQ(TypeAltKey(1, 0, 'X'), STILL_OPEN);
    EXPECT_EQ(s_keysSeen, 2);
    EXPECT_EQ(TypeAltKey(1, 15, VK_F4), IDCANCEL);
    EXPECT_EQ(s_keysSeen, 1) << "closed on the key going down";
}

// ---- The device's keys and files ---------------------------------------------------------

LPCWSTR WINDOWS_KEY = TEXT("Software\\Microsoft\\Windows NT\\CurrentVersion");

bool HasWindowsVersion()
{
    LPWSTR version = ReadRegString(HKEY_LOCAL_MACHINE, WINDOWS_KEY, TEXT("CurrentVersion"));
    free(version);
    return version != NULL;
}

class DeviceRoot : public RegistryTest {
  protected:
    void TearDown() override
    {
        RegistryTest::TearDown();
        SetEnvironmentVariableW(TEXT("ZEMBREL_HKLM"), NULL);
        SetEnvironmentVariableW(TEXT("ZEMBREL_ROOT"), NULL);
    }
};

TEST_F(DeviceRoot, ZembrelHklmNamesTheKeyThatStandsForHkeyLocalMachine)
{
    // RegistryTest named HKCU\Software\ZembrelTestDevice.
    WriteRegDword(HKEY_LOCAL_MACHINE, SNMP_KEY, TEXT("ZembrelCode"), 29);
    DWORD code = 0;
    DWORD size = sizeof(code);
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, TEXT("Software\\ZembrelTestDevice\\NetAdmin\\SNMP"),
                           TEXT("ZembrelCode"), RRF_RT_REG_DWORD, NULL, &code, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(code, 29u);
    EXPECT_FALSE(HasWindowsVersion()) << "the real HKEY_LOCAL_MACHINE is out of reach";
    HKEY key = OpenRegKey(HKEY_LOCAL_MACHINE, NULL, KEY_READ); // the device key itself
    EXPECT_NE(key, nullptr);
    CloseRegKey(key);

    // The root's long name, any case, a trailing backslash: the same key.
    LONG read = 0;
    SetEnvironmentVariableW(TEXT("ZEMBREL_HKLM"), TEXT("hkey_current_user\\software\\"
                                                       "ZembrelTestDevice\\"));
    EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, SNMP_KEY, TEXT("ZembrelCode"), &read));
    EXPECT_EQ(read, 29);

    // A name it cannot mean fails the call rather than reach the real key.
    for (LPCWSTR name : {TEXT("HKXX\\Software\\Device"), TEXT("HKCUSoftware"), TEXT("Software")}) {
        SetEnvironmentVariableW(TEXT("ZEMBREL_HKLM"), name);
        key = (HKEY)(uintptr_t)0xdeadbeef;
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, TEXT("NetAdmin"), 0, NULL, 0, KEY_WRITE, NULL,
                                  &key, NULL),
                  ERROR_BAD_PATHNAME);
        EXPECT_EQ(key, nullptr);
        EXPECT_FALSE(HasWindowsVersion());
    }

    for (LPCWSTR unset : {(LPCWSTR)NULL, TEXT("")}) {
        SetEnvironmentVariableW(TEXT("ZEMBREL_HKLM"), unset);
        EXPECT_TRUE(HasWindowsVersion()) << "unset, HKEY_LOCAL_MACHINE is Windows' own";
    }
}

bool Opens(const WString &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return file != INVALID_HANDLE_VALUE;
}

TEST_F(DeviceRoot, ZembrelRootHoldsThePathsRootedOnNoDrive)
{
    WCHAR temp[MAX_PATH];
    WCHAR name[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    ASSERT_NE(GetTempFileNameW(temp, TEXT("zrt"), 0, name), 0u);
    WString root = name;
    ASSERT_TRUE(DeleteFileW(root.c_str()) && CreateDirectoryW(root.c_str(), NULL));
    ASSERT_TRUE(CreateDirectoryW((root + TEXT("\\Windows")).c_str(), NULL));
    WString file = root + TEXT("\\Windows\\zembrel.exe");
    HANDLE created = CreateFileW(file.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    CloseHandle(created);

    SetEnvironmentVariableW(TEXT("ZEMBREL_ROOT"), (root + TEXT("\\\\")).c_str());
    EXPECT_TRUE(Opens(TEXT("\\Windows\\zembrel.exe")));
    EXPECT_TRUE(Opens(TEXT("/WINDOWS/zembrel.exe")));
    // Windows' own forms of a full path are not the device's.
    EXPECT_TRUE(Opens(file));
    EXPECT_TRUE(Opens(TEXT("\\\\?\\") + file));
    SetEnvironmentVariableW(TEXT("ZEMBREL_ROOT"), TEXT(""));
    EXPECT_FALSE(Opens(TEXT("\\Windows\\zembrel.exe"))) << "unset: the system's own \\Windows";

    SetEnvironmentVariableW(TEXT("ZEMBREL_ROOT"), root.c_str());
    EXPECT_TRUE(DeleteFileW(TEXT("\\Windows\\zembrel.exe")));
    EXPECT_FALSE(Opens(file));
    EXPECT_TRUE(RemoveDirectoryW((root + TEXT("\\Windows")).c_str()));
    EXPECT_TRUE(RemoveDirectoryW(root.c_str()));
}

} // namespace
