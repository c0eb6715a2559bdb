// The POSIX registry store's test fixture: a device root per test, its file and the calls.
#pragma once

#include "platform/posix/store/regstore.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

typedef std::vector<BYTE> Bytes;

// A literal's characters with its terminating zero, and any zeros inside it.
template <size_t N> inline Bytes Data(const char16_t (&text)[N])
{
    Bytes out;
    for (char16_t c : text) {
        out.push_back((BYTE)c);
        out.push_back((BYTE)(c >> 8));
    }
    return out;
}

inline Bytes Data(std::initializer_list<int> bytes)
{
    return Bytes(bytes.begin(), bytes.end());
}

inline std::string Utf16File(const std::string &utf8)
{
    std::string out = "\xFF\xFE";
    for (char16_t c : Utf8ToUtf16(utf8)) {
        out += (char)(c & 0xFF);
        out += (char)(c >> 8);
    }
    return out;
}

class RegStore : public ::testing::Test {
  protected:
    std::string root;
    std::string file;

    void SetUp() override
    {
        char pattern[] = "/tmp/zembrel-regstore-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        file = root + "/registry.reg";
        setenv("ZEMBREL_ROOT", root.c_str(), 1);
    }

    void TearDown() override
    {
        RegStoreFailNextWrite(RegWriteStage::None);
        chmod(root.c_str(), 0755);
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    void Put(const std::string &bytes) { Write(file, bytes); }
    std::string Contents() { return Read(file); }

    static void Write(const std::string &path, const std::string &bytes)
    {
        std::ofstream(path, std::ios::binary) << bytes;
    }

    static std::string Read(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream out;
        out << in.rdbuf();
        return out.str();
    }

    std::vector<std::string> Folder()
    {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(root))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    LONG Set(const char16_t *key, const char16_t *name, DWORD type, const Bytes &data)
    {
        HKEY handle = NULL;
        LONG result =
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_WRITE, NULL, &handle, NULL);
        if (result != ERROR_SUCCESS)
            return result;
        result = RegSetValueExW(handle, name, 0, type, data.data(), (DWORD)data.size());
        RegCloseKey(handle);
        return result;
    }

    // Deletes the value as the store's writers change a key: under the lock, on the file as it
    // is then. The system never deletes a value, so the port has no call for it.
    LONG Delete(const char16_t *key, const char16_t *name)
    {
        return RegStoreUpdate(RegStorePath(), [&](RegDocument &doc) -> LONG {
            if (!RegStoreKeyExists(doc, RegStoreFold(key)))
                return ERROR_FILE_NOT_FOUND;
            return RegStoreDeleteValue(doc, key, name);
        });
    }

    // The value's type and data, or the error that reading it gave.
    LONG Get(const char16_t *key, const char16_t *name, DWORD *type, Bytes *data)
    {
        HKEY handle = NULL;
        LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle);
        if (result != ERROR_SUCCESS)
            return result;
        DWORD size = 0;
        result = RegQueryValueExW(handle, name, NULL, type, NULL, &size);
        if (result == ERROR_SUCCESS) {
            data->assign(size, 0xde);
            result = RegQueryValueExW(handle, name, NULL, NULL, data->data(), &size);
            data->resize(size);
        }
        RegCloseKey(handle);
        return result;
    }

    void ExpectValue(const char16_t *key, const char16_t *name, DWORD type, const Bytes &data)
    {
        DWORD gotType = 0xdeadbeef;
        Bytes got;
        ASSERT_EQ(Get(key, name, &gotType, &got), ERROR_SUCCESS) << Utf16ToUtf8(name);
        EXPECT_EQ(gotType, type) << Utf16ToUtf8(name);
        EXPECT_EQ(got, data) << Utf16ToUtf8(name);
    }

    bool Exists(const char16_t *key)
    {
        HKEY handle = NULL;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS)
            return false;
        RegCloseKey(handle);
        return true;
    }

    // Runs the body in a child process and gives its exit status, or 128 and the signal that
    // ended it; an alarm ends a child still running after the time, so that a store that waits
    // forever fails the test instead of stopping the suite.
    static int RunChild(int seconds, const std::function<void()> &body)
    {
        fflush(stderr);
        pid_t child = fork();
        if (child == 0) {
            alarm((unsigned)seconds);
            int failed = FailedParts();
            body();
            fflush(stderr);
            _exit(FailedParts() != failed ? 1 : 0);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child)
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    static void FinishesWithin(int seconds, const std::function<void()> &body)
    {
        int status = RunChild(seconds, body);
        EXPECT_EQ(status, 0) << (status == 128 + SIGALRM ? "still waiting after "
                                                         : "failed within ")
                             << seconds << " s";
    }

    // The failures the current test has had so far.
    static int FailedParts()
    {
        const testing::TestResult *result =
            testing::UnitTest::GetInstance()->current_test_info()->result();
        int failed = 0;
        for (int i = 0; i < result->total_part_count(); ++i)
            failed += result->GetTestPartResult(i).failed();
        return failed;
    }

    // What the store says while the body runs.
    static std::string Said(const std::function<void()> &body)
    {
        testing::internal::CaptureStderr();
        body();
        return testing::internal::GetCapturedStderr();
    }

    static size_t Count(const std::string &text, const std::string &part)
    {
        size_t count = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++count;
        return count;
    }
};
