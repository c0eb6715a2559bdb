// A command-line window on the POSIX registry store, for tests that compare it with other tools.
//
//   regtool get KEY NAME             prints "TYPE HEXDATA" of HKLM\KEY's value NAME ("" = default)
//   regtool set KEY NAME TYPE HEX    stores HKLM\KEY's value NAME, TYPE in decimal, data in hex
//
// The device root is $ZEMBREL_ROOT, as for zembrel itself.
#include "platform/platform.h"
#include "platform/posix/port.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

static int Get(const std::u16string &subKey, const std::u16string &name)
{
    HKEY key = NULL;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) {
        fprintf(stderr, "regtool: cannot open the key (%d)\n", (int)status);
        return 1;
    }
    DWORD type = 0;
    DWORD size = 0;
    status = RegQueryValueExW(key, name.c_str(), NULL, &type, NULL, &size);
    std::vector<BYTE> data(size);
    if (status == ERROR_SUCCESS)
        status = RegQueryValueExW(key, name.c_str(), NULL, NULL, data.data(), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        fprintf(stderr, "regtool: cannot read the value (%d)\n", (int)status);
        return 1;
    }
    printf("%u ", (unsigned)type);
    for (DWORD i = 0; i < size; ++i)
        printf("%02x", data[i]);
    printf("\n");
    return 0;
}

static int Set(const std::u16string &subKey, const std::u16string &name, const char *typeText,
               const char *hex)
{
    std::vector<BYTE> data;
    for (size_t i = 0; hex[i] != 0 && hex[i + 1] != 0; i += 2) {
        unsigned byte = 0;
        if (sscanf(hex + i, "%2x", &byte) != 1) {
            fprintf(stderr, "regtool: bad hex data\n");
            return 2;
        }
        data.push_back((BYTE)byte);
    }
    HKEY key = NULL;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, NULL, 0, KEY_WRITE, NULL,
                                  &key, NULL);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, name.c_str(), 0, (DWORD)strtoul(typeText, NULL, 10),
                                data.data(), (DWORD)data.size());
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS) {
        fprintf(stderr, "regtool: cannot store the value (%d)\n", (int)status);
        return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "get") == 0)
        return Get(Utf8ToUtf16(argv[2]), Utf8ToUtf16(argv[3]));
    if (argc == 6 && strcmp(argv[1], "set") == 0)
        return Set(Utf8ToUtf16(argv[2]), Utf8ToUtf16(argv[3]), argv[4], argv[5]);
    fprintf(stderr, "usage: regtool get KEY NAME | regtool set KEY NAME TYPE HEX\n");
    return 2;
}
