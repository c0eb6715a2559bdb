// Tests of what the Windows build adds to Windows: the dialog's key filter and the device root.
#include "dialog/dialog.h"
#include "launch/zembrel.h"
#include "registry/registry.h"
#include "test_support.h"

namespace {

// ---- Typed system keys reach the handler ---------------------------------------------------

// A key as the keyboard delivers it: to the window with the focus, here the Cancel button.
struct Key {
    UINT message;
    WPARAM key;
};

// With Alt held, as the keyboard marks a system key.
const LPARAM ALT_DOWN = 1 << 29;
const UINT_PTR TEST_TIMER = 999;
// The result of a dialog that nothing but the test's own timer ended.
const INT_PTR STILL_OPEN = 99;

std::vector<Key> s_keys;
std::vector<Key> s_handled; // the system keys the handler saw, and on which window
std::vector<HWND> s_handledBy;
bool s_declineSystemKeys = false;

INT_PTR CALLBACK KeyedDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_TIMER && wParam == TEST_TIMER) {
        KillTimer(dialog, TEST_TIMER);
        EndDialog(dialog, STILL_OPEN);
        return TRUE;
    }
    if (message == WM_SYSKEYDOWN || message == WM_SYSKEYUP) {
        s_handled.push_back({message, wParam});
        s_handledBy.push_back(dialog);
        if (s_declineSystemKeys)
            return FALSE;
    }
    INT_PTR result = AddOnErrorDlgProc(dialog, message, wParam, lParam);
    if (message == WM_INITDIALOG) {
        HWND cancel = GetDlgItem(dialog, IDCANCEL);
        for (const Key &key : s_keys)
            PostMessageW(cancel, key.message, key.key, 1 | ALT_DOWN);
        // Ends the dialog with STILL_OPEN, unless something ended it before.
        SetTimer(dialog, TEST_TIMER, 1500, NULL);
    }
    return result;
}

INT_PTR TypeIntoDialog(int unattended, LONG timeout, std::vector<Key> keys, bool decline = false)
{
    g_hInstance = TestInstance();
    g_fUnattended = unattended;
    g_nTimeout = timeout;
    s_keys = keys;
    s_handled.clear();
    s_handledBy.clear();
    s_declineSystemKeys = decline;
    HRSRC resource = FindResourceW(g_hInstance, MAKEINTRESOURCE(IDD_ADDON_ERROR), RT_DIALOG);
    LPCDLGTEMPLATE dialogTemplate = (LPCDLGTEMPLATE)LoadResource(g_hInstance, resource);
    INT_PTR result = DialogBoxIndirectParamW(g_hInstance, dialogTemplate, NULL, KeyedDialog, 0);
    g_fUnattended = 0;
    g_nTimeout = DEFAULT_TIMEOUT_SECONDS;
    return result;
}

const Key ALT_F4 = {WM_SYSKEYDOWN, VK_F4};

TEST(KeyFilter, AltF4OnTheButtonGoesToTheHandlerWhichKeepsAnAttendedDialogOpen)
{
    EXPECT_EQ(TypeIntoDialog(0, 15, {ALT_F4, {WM_SYSKEYUP, VK_F4}}), STILL_OPEN);
    ASSERT_EQ(s_handled.size(), 2u);
    EXPECT_EQ(s_handled[0].message, (UINT)WM_SYSKEYDOWN);
    EXPECT_EQ(s_handled[0].key, (WPARAM)VK_F4);
    EXPECT_NE(s_handledBy[0], GetDlgItem(s_handledBy[0], IDCANCEL)) << "the dialog, not the button";
}

TEST(KeyFilter, KeysTheHandlerDeclinesGetThePlatformsOwnHandling)
{
    // The button's default handling of Alt+F4 closes the dialog through its Cancel command.
    EXPECT_EQ(TypeIntoDialog(0, 15, {ALT_F4}, true), IDCANCEL);
    EXPECT_EQ(s_handled.size(), 1u);
}

TEST(KeyFilter, UnattendedAltLetterFreezesAndAltF4Closes)
{
    // A countdown of 0 would end the dialog with IDOK on the first tick, a second in.
    EXPECT_EQ(TypeIntoDialog(1, 0, {{WM_SYSKEYDOWN, 'X'}, {WM_SYSKEYUP, 'X'}}), STILL_OPEN);
    ASSERT_EQ(s_handled.size(), 2u);
    EXPECT_EQ(TypeIntoDialog(1, 15, {ALT_F4}), IDCANCEL);
    EXPECT_EQ(s_handled.size(), 1u);
}

TEST(KeyFilter, AltAloneOpensNoMenuAndOtherKeysStillGoToTheButton)
{
    // Alt pressed and released would put an unfiltered dialog into its system menu's loop.
    EXPECT_EQ(TypeIntoDialog(0, 15, {{WM_SYSKEYDOWN, VK_MENU}, {WM_SYSKEYUP, VK_MENU}}),
              STILL_OPEN);
    EXPECT_EQ(s_handled.size(), 2u);
    EXPECT_EQ(TypeIntoDialog(0, 15, {{WM_KEYDOWN, VK_ESCAPE}}), IDCANCEL);
    EXPECT_EQ(TypeIntoDialog(1, 15, {{WM_KEYDOWN, VK_SPACE}, {WM_KEYUP, VK_SPACE}}), IDCANCEL)
        << "Space clicks Cancel";
    EXPECT_TRUE(s_handled.empty());
}

// ---- The device's keys under ZEMBREL_HKLM ------------------------------------------------

class DeviceKey : public RegistryTest {
  protected:
    void TearDown() override
    {
        RegistryTest::TearDown();
        SetEnvironmentVariableW(TEXT("ZEMBREL_HKLM"), NULL);
    }

    static DWORD UserDword(LPCWSTR subKey, LPCWSTR name)
    {
        DWORD value = 0xdeadbeef;
        DWORD size = sizeof(value);
        RegGetValueW(HKEY_CURRENT_USER, subKey, name, RRF_RT_REG_DWORD, NULL, &value, &size);
        return value;
    }
};

TEST_F(DeviceKey, TheDevicesValuesLiveUnderTheNamedKey)
{
    WriteRegDword(HKEY_LOCAL_MACHINE, SNMP_KEY, TEXT("ZembrelCode"), 29);
    EXPECT_EQ(UserDword(TEXT("Software\\ZembrelTestDevice\\NetAdmin\\SNMP"), TEXT("ZembrelCode")),
              29u);
    LONG read = 0;
    EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, SNMP_KEY, TEXT("ZembrelCode"), &read));
    EXPECT_EQ(read, 29);

    // The root's long name, any case, a trailing backslash: the same key.
    for (LPCWSTR name : {TEXT("HKEY_CURRENT_USER\\Software\\ZembrelTestDevice\\"),
                         TEXT("hkcu\\software\\zembreltestdevice")}) {
        SetEnvironmentVariableW(TEXT("ZEMBREL_HKLM"), name);
        read = 0;
        EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, SNMP_KEY, TEXT("ZembrelCode"), &read));
        EXPECT_EQ(read, 29);
    }

    // The device's HKEY_LOCAL_MACHINE itself, opened with no subkey.
    PutDword(TEXT(""), TEXT("AtTheRoot"), 7);
    EXPECT_EQ(UserDword(TEXT("Software\\ZembrelTestDevice"), TEXT("AtTheRoot")), 7u);
    HKEY key = OpenRegKey(HKEY_LOCAL_MACHINE, NULL, KEY_READ);
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(QueryRegDword(key, TEXT("AtTheRoot"), &read));
    CloseRegKey(key);
}

TEST_F(DeviceKey, ANameItCannotMeanFailsInsteadOfReachingTheRealKey)
{
    for (LPCWSTR name : {TEXT("HKXX\\Software\\ZembrelTestDevice"), TEXT("HKCUSoftware"),
                         TEXT("Software\\ZembrelTestDevice")}) {
        SetEnvironmentVariableW(TEXT("ZEMBREL_HKLM"), name);
        HKEY key = (HKEY)(uintptr_t)0xdeadbeef;
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, TEXT("Software\\ZembrelTests"), 0, NULL, 0,
                                  KEY_WRITE, NULL, &key, NULL),
                  ERROR_BAD_PATHNAME);
        EXPECT_EQ(key, nullptr);
        EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE,
                                TEXT("Software\\Microsoft\\Windows NT\\"
                                     "CurrentVersion"),
                                TEXT("CurrentVersion")),
                  nullptr);
    }
}

TEST_F(DeviceKey, UnsetOrEmptyLeavesHkeyLocalMachineAsItIs)
{
    // A value every Windows, and Wine, keeps in its own HKEY_LOCAL_MACHINE.
    LPCWSTR windowsKey = TEXT("Software\\Microsoft\\Windows NT\\CurrentVersion");
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, windowsKey, TEXT("CurrentVersion")), nullptr);
    for (LPCWSTR value : {(LPCWSTR)NULL, TEXT("")}) {
        SetEnvironmentVariableW(TEXT("ZEMBREL_HKLM"), value);
        LPWSTR version = ReadRegString(HKEY_LOCAL_MACHINE, windowsKey, TEXT("CurrentVersion"));
        EXPECT_NE(version, nullptr);
        free(version);
    }
}

// ---- The device's files under ZEMBREL_ROOT -----------------------------------------------

class DeviceRoot : public ::testing::Test {
  protected:
    WString root; // without a trailing backslash

    void SetUp() override
    {
        WCHAR temp[MAX_PATH];
        WCHAR name[MAX_PATH];
        ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
        ASSERT_NE(GetTempFileNameW(temp, TEXT("zrt"), 0, name), 0u);
        DeleteFileW(name);
        ASSERT_TRUE(CreateDirectoryW(name, NULL));
        root = name;
        ASSERT_TRUE(CreateDirectoryW((root + TEXT("\\Windows")).c_str(), NULL));
        SetEnvironmentVariableW(TEXT("ZEMBREL_ROOT"), root.c_str());
    }

    void TearDown() override
    {
        SetEnvironmentVariableW(TEXT("ZEMBREL_ROOT"), NULL);
        for (LPCWSTR file : {TEXT("\\Windows\\upgrade.exe"), TEXT("\\Windows\\zembrel.exe")})
            DeleteFileW((root + file).c_str());
        RemoveDirectoryW((root + TEXT("\\Windows")).c_str());
        RemoveDirectoryW(root.c_str());
    }

    void MakeFile(LPCWSTR devicePath)
    {
        HANDLE file = CreateFileW((root + devicePath).c_str(), GENERIC_WRITE, 0, NULL,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        CloseHandle(file);
    }

    static bool Opens(LPCWSTR path)
    {
        HANDLE file = CreateFileW(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        CloseHandle(file);
        return true;
    }
};

TEST_F(DeviceRoot, DevicePathsAreTakenUnderTheRoot)
{
    MakeFile(TEXT("\\Windows\\upgrade.exe"));
    EXPECT_TRUE(Opens(TEXT("\\Windows\\upgrade.exe")));
    EXPECT_TRUE(Opens(TEXT("/Windows/UPGRADE.EXE")));
    SetEnvironmentVariableW(TEXT("ZEMBREL_ROOT"), (root + TEXT("\\\\")).c_str());
    EXPECT_TRUE(Opens(TEXT("\\Windows\\upgrade.exe")));

    MakeFile(TEXT("\\Windows\\zembrel.exe"));
    EXPECT_TRUE(DeleteFileW(TEXT("\\Windows\\zembrel.exe")));
    EXPECT_FALSE(Opens((root + TEXT("\\Windows\\zembrel.exe")).c_str()));
    EXPECT_FALSE(DeleteFileW(TEXT("\\Windows\\zembrel.exe")));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST_F(DeviceRoot, WindowsOwnPathsAndAnUnsetRootStayAsTheyAre)
{
    MakeFile(TEXT("\\Windows\\upgrade.exe"));
    // A full path, and the same path in its "\\?\" form: not the device's, not moved.
    WString full = root + TEXT("\\Windows\\upgrade.exe");
    EXPECT_TRUE(Opens(full.c_str()));
    EXPECT_TRUE(Opens((TEXT("\\\\?\\") + full).c_str()));
    for (LPCWSTR value : {(LPCWSTR)NULL, TEXT("")}) {
        SetEnvironmentVariableW(TEXT("ZEMBREL_ROOT"), value);
        EXPECT_FALSE(Opens(TEXT("\\Windows\\upgrade.exe"))) << "the system's own \\Windows";
    }
}

} // namespace
