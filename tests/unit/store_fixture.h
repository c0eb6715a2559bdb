// The POSIX registry store's test fixture: a device root of its own per test, and the file and
// the Win32 calls over it at hand.
#pragma once

#include "platform/posix/regstore.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
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
};
