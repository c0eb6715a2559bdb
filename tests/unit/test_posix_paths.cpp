// Tests of the port's device paths: the root, case-insensitive mapping, files and launch.
#include "platform/posix/port.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

// A fresh device root in a temporary folder; the caller's ZEMBREL_ROOT comes back afterwards.
class DeviceRootTest : public ::testing::Test {
  protected:
    std::string root;
    std::string savedRoot;
    bool hadRoot = false;

    void SetUp() override
    {
        const char *current = getenv("ZEMBREL_ROOT");
        hadRoot = current != NULL;
        if (hadRoot)
            savedRoot = current;
        std::string pattern = (fs::temp_directory_path() / "zembrel-paths-XXXXXX").string();
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        root = pattern;
        setenv("ZEMBREL_ROOT", root.c_str(), 1);
    }

    void TearDown() override
    {
        if (hadRoot)
            setenv("ZEMBREL_ROOT", savedRoot.c_str(), 1);
        else
            unsetenv("ZEMBREL_ROOT");
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    void MakeFile(const std::string &relative, const std::string &content = "x", int mode = 0644)
    {
        fs::path path = fs::path(root) / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << content;
        chmod(path.c_str(), (mode_t)mode);
    }
};

TEST_F(DeviceRootTest, RootComesFromTheEnvironmentWithoutTrailingSlashes)
{
    EXPECT_EQ(DeviceRoot(), root);
    setenv("ZEMBREL_ROOT", (root + "///").c_str(), 1);
    EXPECT_EQ(DeviceRoot(), root);
    unsetenv("ZEMBREL_ROOT");
    EXPECT_EQ(DeviceRoot(), "/");
    setenv("ZEMBREL_ROOT", "/", 1);
    EXPECT_EQ(DeviceRoot(), "/");
    EXPECT_EQ(MapDevicePath(TEXT("\\proc")), "/proc");
}

TEST_F(DeviceRootTest, ExactNamesMapUnderTheRoot)
{
    MakeFile("Windows/upgrade.exe");
    EXPECT_EQ(MapDevicePath(TEXT("\\Windows\\upgrade.exe")), root + "/Windows/upgrade.exe");
    EXPECT_EQ(MapDevicePath(TEXT("Windows\\upgrade.exe")), root + "/Windows/upgrade.exe");
    EXPECT_EQ(MapDevicePath(TEXT("\\Windows")), root + "/Windows");
    EXPECT_EQ(MapDevicePath(TEXT("\\")), root);
    EXPECT_EQ(MapDevicePath(TEXT("\\\\Windows\\\\upgrade.exe")), root + "/Windows/upgrade.exe");
}

TEST_F(DeviceRootTest, ComponentsMatchTheFolderIgnoringCase)
{
    MakeFile("windows/UPGRADE.EXE");
    EXPECT_EQ(MapDevicePath(TEXT("\\Windows\\upgrade.exe")), root + "/windows/UPGRADE.EXE");
    EXPECT_EQ(MapDevicePath(TEXT("\\WINDOWS")), root + "/windows");
}

TEST_F(DeviceRootTest, NonAsciiLettersMatchIgnoringCase)
{
    MakeFile("\xc3\x89tude/\xd0\xb4\xd0\xb0\xd0\xbd\xd0\xbd\xd1\x8b\xd0\xb5"); // Étude/данные
    EXPECT_EQ(MapDevicePath(TEXT("\\\x00e9TUDE\\\x0414\x0410\x041d\x041d\x042b\x0415")),
              root + "/\xc3\x89tude/\xd0\xb4\xd0\xb0\xd0\xbd\xd0\xbd\xd1\x8b\xd0\xb5");
}

TEST_F(DeviceRootTest, AnExactNameWinsOverACaseVariant)
{
    MakeFile("Windows/a");
    MakeFile("WINDOWS/b");
    EXPECT_EQ(MapDevicePath(TEXT("\\WINDOWS\\b")), root + "/WINDOWS/b");
    EXPECT_EQ(MapDevicePath(TEXT("\\Windows\\a")), root + "/Windows/a");
    // Neither spelled this way: the choice is the same every time.
    EXPECT_EQ(MapDevicePath(TEXT("\\windows")), root + "/WINDOWS");
}

TEST_F(DeviceRootTest, UnmatchedComponentsKeepTheirSpelling)
{
    MakeFile("Windows/upgrade.exe");
    EXPECT_EQ(MapDevicePath(TEXT("\\windows\\New.Txt")), root + "/Windows/New.Txt");
    EXPECT_EQ(MapDevicePath(TEXT("\\Missing\\Deeper\\File")), root + "/Missing/Deeper/File");
    // A name that only shares a prefix is no match.
    EXPECT_EQ(MapDevicePath(TEXT("\\Window")), root + "/Window");
}

TEST_F(DeviceRootTest, CreateFileOpensAnExistingFileInAnyCase)
{
    MakeFile("Windows/upgrade.exe");
    SetLastErrorCode(0xdeadbeef);
    HANDLE handle =
        CreateFileW(TEXT("\\WINDOWS\\Upgrade.EXE"), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(CloseHandle(handle));
    SetLastErrorCode(0xdeadbeef);
    EXPECT_FALSE(CloseHandle(handle)); // already closed
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(DeviceRootTest, CreateFileFailsOnMissingFilesAndFolders)
{
    MakeFile("Windows/other");
    SetLastErrorCode(0xdeadbeef);
    EXPECT_EQ(
        CreateFileW(TEXT("\\Windows\\upgrade.exe"), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    SetLastErrorCode(0xdeadbeef);
    EXPECT_EQ(CreateFileW(TEXT("\\Windows"), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

TEST_F(DeviceRootTest, CreateFileReportsAnUnreadableFile)
{
    MakeFile("Windows/upgrade.exe", "x", 0);
    auto probe = [] {
        SetLastErrorCode(0xdeadbeef);
        HANDLE handle = CreateFileW(TEXT("\\Windows\\upgrade.exe"), GENERIC_READ, 0, NULL,
                                    OPEN_EXISTING, 0, NULL);
        return handle == INVALID_HANDLE_VALUE && GetLastError() == (DWORD)ERROR_ACCESS_DENIED;
    };
    if (geteuid() != 0) {
        EXPECT_TRUE(probe());
        return;
    }
    // Root reads any file: the probe runs as an account without rights to it.
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    pid_t child = fork();
    if (child == 0) {
        bool dropped = setgroups(0, NULL) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
        _exit(dropped ? (probe() ? 0 : 1) : 2);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the file opened or gave another error; 2: no drop";
}

TEST_F(DeviceRootTest, CreateNewMakesAFileOnceOnly)
{
    fs::create_directories(fs::path(root) / "Windows");
    HANDLE handle = CreateFileW(TEXT("\\windows\\new.txt"), GENERIC_WRITE, 0, NULL, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_TRUE(fs::is_regular_file(fs::path(root) / "Windows" / "new.txt"));
    SetLastErrorCode(0xdeadbeef);
    EXPECT_EQ(CreateFileW(TEXT("\\windows\\new.txt"), GENERIC_WRITE, 0, NULL, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, NULL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 80u); // ERROR_FILE_EXISTS
}

TEST_F(DeviceRootTest, DeleteFileRemovesTheMatchedFileOnly)
{
    MakeFile("Windows/zembrel.exe");
    MakeFile("Windows/upgrade.exe");
    EXPECT_TRUE(DeleteFileW(TEXT("\\WINDOWS\\ZEMBREL.EXE")));
    EXPECT_FALSE(fs::exists(fs::path(root) / "Windows" / "zembrel.exe"));
    EXPECT_TRUE(fs::exists(fs::path(root) / "Windows" / "upgrade.exe"));

    SetLastErrorCode(0xdeadbeef);
    EXPECT_FALSE(DeleteFileW(TEXT("\\Windows\\zembrel.exe")));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    SetLastErrorCode(0xdeadbeef);
    EXPECT_FALSE(DeleteFileW(TEXT("\\Windows")));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(fs::is_directory(fs::path(root) / "Windows"));
}

TEST_F(DeviceRootTest, LastErrorIsPerThread)
{
    SetLastErrorCode(1234);
    DWORD seen = 0xdeadbeef;
    std::thread([&seen] {
        SetLastErrorCode(99);
        seen = GetLastError();
    }).join();
    EXPECT_EQ(seen, 99u);
    EXPECT_EQ(GetLastError(), 1234u);
}

// The stub writes its arguments NUL-terminated and its working directory to a file, which
// appears only when the launched program has run to its end.
class LaunchTest : public DeviceRootTest {
  protected:
    std::string record;

    void SetUp() override
    {
        DeviceRootTest::SetUp();
        record = root + "/record";
        MakeFile("Windows/stub.exe",
                 "#!/bin/sh\n{ printf '%s\\0' \"$0\" \"$@\"; pwd; } > '" + record +
                     ".tmp' && mv '" + record + ".tmp' '" + record + "'\n",
                 0755);
    }

    // Polled with a generous bound: the launch does not wait for the program.
    std::string WaitForRecord()
    {
        for (int i = 0; i < 1000 && !fs::exists(record); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(record, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    SHELLEXECUTEINFOW Info(LPCWSTR file, LPCWSTR parameters, LPCWSTR directory)
    {
        SHELLEXECUTEINFOW info = {};
        info.cbSize = sizeof(info);
        info.lpFile = file;
        info.lpParameters = parameters;
        info.lpDirectory = directory;
        info.nShow = SW_SHOWNORMAL;
        return info;
    }
};

TEST_F(LaunchTest, PassesTheParametersAsOneArgumentInTheDirectory)
{
    SHELLEXECUTEINFOW info = Info(TEXT("\\windows\\STUB.exe"),
                                  TEXT("-DHCP  -NoZEMBRL \"q\" $HOME *"), TEXT("\\WINDOWS"));
    ASSERT_TRUE(ShellExecuteExW(&info));
    EXPECT_GT((uintptr_t)info.hInstApp, 32u);
    std::string program = root + "/Windows/stub.exe";
    std::string expected =
        program + '\0' + "-DHCP  -NoZEMBRL \"q\" $HOME *" + '\0' + root + "/Windows\n";
    EXPECT_EQ(WaitForRecord(), expected);
}

TEST_F(LaunchTest, AnEmptyParameterStringIsStillAnArgument)
{
    SHELLEXECUTEINFOW info = Info(TEXT("\\Windows\\stub.exe"), TEXT(""), TEXT("\\Windows"));
    ASSERT_TRUE(ShellExecuteExW(&info));
    std::string expected = root + "/Windows/stub.exe" + '\0' + '\0' + root + "/Windows\n";
    EXPECT_EQ(WaitForRecord(), expected);
}

TEST_F(LaunchTest, NonAsciiParametersArriveAsUtf8)
{
    SHELLEXECUTEINFOW info =
        Info(TEXT("\\Windows\\stub.exe"), TEXT("caf\x00e9 \xd83d\xde00"), TEXT("\\Windows"));
    ASSERT_TRUE(ShellExecuteExW(&info));
    std::string expected = root + "/Windows/stub.exe" + '\0' + "caf\xc3\xa9 \xf0\x9f\x98\x80" +
                           '\0' + root + "/Windows\n";
    EXPECT_EQ(WaitForRecord(), expected);
}

// This process's children by their state letter ('Z' for a zombie), from /proc.
std::string ChildStates()
{
    std::string states;
    for (const auto &entry : fs::directory_iterator("/proc")) {
        std::ifstream in(entry.path() / "stat");
        std::string stat;
        if (!std::getline(in, stat) || stat.rfind(')') == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(stat.rfind(')') + 1));
        char state = 0;
        long parent = 0;
        if (fields >> state >> parent && parent == (long)getpid())
            states += state;
    }
    return states;
}

TEST_F(LaunchTest, ProgramsThatHaveEndedAreReapedByTheNextLaunch)
{
    for (int i = 0; i < 4; ++i) {
        SHELLEXECUTEINFOW info = Info(TEXT("\\Windows\\stub.exe"), TEXT("x"), TEXT("\\Windows"));
        ASSERT_TRUE(ShellExecuteExW(&info));
        EXPECT_NE(WaitForRecord(), "");
        fs::remove(record);
        for (int wait = 0; wait < 1000 && ChildStates().find_first_not_of('Z') != std::string::npos;
             ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // At most the last one is left, until another launch or the caller's exit.
    EXPECT_LE(ChildStates().size(), 1u) << ChildStates();
}

TEST_F(LaunchTest, RefusesWhatCannotBeStarted)
{
    MakeFile("Windows/plain.exe", "#!/bin/sh\n", 0644);
    struct Case {
        LPCWSTR file;
        LPCWSTR directory;
        DWORD error;
    } cases[] = {
        {TEXT("\\Windows\\absent.exe"), TEXT("\\Windows"), ERROR_FILE_NOT_FOUND},
        {TEXT("\\Windows\\plain.exe"), TEXT("\\Windows"), ERROR_ACCESS_DENIED},
        {TEXT("\\Windows"), TEXT("\\Windows"), ERROR_ACCESS_DENIED},
        {TEXT("\\Windows\\stub.exe"), TEXT("\\NoSuchFolder"), 3}, // ERROR_PATH_NOT_FOUND
        {TEXT("\\Windows\\stub.exe"), TEXT("\\Windows\\stub.exe"), 3},
    };
    for (const Case &c : cases) {
        SHELLEXECUTEINFOW info = Info(c.file, TEXT("x"), c.directory);
        SetLastErrorCode(0xdeadbeef);
        EXPECT_FALSE(ShellExecuteExW(&info)) << Utf16ToUtf8(c.file);
        EXPECT_EQ(GetLastError(), c.error) << Utf16ToUtf8(c.file);
        EXPECT_LE((uintptr_t)info.hInstApp, 32u);
    }
    EXPECT_FALSE(fs::exists(record));
}

TEST_F(LaunchTest, RefusesABadRecordSize)
{
    SHELLEXECUTEINFOW info = Info(TEXT("\\Windows\\stub.exe"), TEXT("x"), TEXT("\\Windows"));
    info.cbSize = 0;
    SetLastErrorCode(0xdeadbeef);
    EXPECT_FALSE(ShellExecuteExW(&info));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ShellExecuteExW(NULL));
}

} // namespace
