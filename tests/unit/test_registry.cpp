// Tests of the registry value routines, through the platform's registry.
#include "registry/registry.h"
#include "test_support.h"

#include <string.h>

namespace {

const LONG SENTINEL = (LONG)0xdeadbeef;

class RegistryRoutines : public RegistryTest {};

TEST_F(RegistryRoutines, StringValuesReadAsTheirTextAndEmptyOnesAsAbsent)
{
    PutString(TEST_KEY, TEXT("Text"), TEXT("389"));
    PutString(TEST_KEY, TEXT("Empty"), TEXT(""));
    const WCHAR multi[] = {'4', '0', '0', 0, 0};
    PutValue(TEST_KEY, TEXT("Multi"), REG_MULTI_SZ, multi, sizeof(multi));
    const WCHAR twoZeros[] = {0, 0};
    PutValue(TEST_KEY, TEXT("EmptyMulti"), REG_MULTI_SZ, twoZeros, sizeof(twoZeros));
    PutValue(TEST_KEY, TEXT("NoData"), REG_MULTI_SZ, twoZeros, 0);
    PutValue(TEST_KEY, TEXT("HalfChar"), REG_SZ, "7", 1);

    LPWSTR text = ReadRegString(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("Text"));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(WString(text), WString(TEXT("389")));
    free(text);

    LPWSTR first = ReadRegString(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("Multi"));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(WString(first), WString(TEXT("400")));
    free(first);

    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("Empty")), nullptr);
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("EmptyMulti")), nullptr);
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("NoData")), nullptr);
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("HalfChar")), nullptr);
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("Missing")), nullptr);
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, TEXT("Software\\NoSuchKey"), TEXT("Text")),
              nullptr);
}

TEST_F(RegistryRoutines, MultiStringOfMoreThanFourZeroBytesIsNotEmpty)
{
    // Only one or two zero characters count as an empty list; three are a list of empties.
    const WCHAR threeZeros[] = {0, 0, 0};
    PutValue(TEST_KEY, TEXT("ThreeZeros"), REG_MULTI_SZ, threeZeros, sizeof(threeZeros));
    LPWSTR text = ReadRegString(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("ThreeZeros"));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text[0], 0);
    free(text);
}

TEST_F(RegistryRoutines, StringWithoutTerminatorComesBackTerminated)
{
    const WCHAR unterminated[] = {'3', '8', '9'};
    PutValue(TEST_KEY, TEXT("Bare"), REG_SZ, unterminated, sizeof(unterminated));
    const BYTE odd[] = {'4', 0, '0', 0, '1'};
    PutValue(TEST_KEY, TEXT("Odd"), REG_SZ, odd, sizeof(odd));

    LPWSTR bare = ReadRegString(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("Bare"));
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(WString(bare), WString(TEXT("389")));
    free(bare);

    LPWSTR oddText = ReadRegString(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("Odd"));
    ASSERT_NE(oddText, nullptr);
    EXPECT_EQ(oddText[0], (WCHAR)'4');
    EXPECT_EQ(oddText[1], (WCHAR)'0');
    EXPECT_EQ(oddText[2], (WCHAR)'1'); // the lone byte, zero-extended
    EXPECT_EQ(oddText[3], 0);
    free(oddText);
}

TEST_F(RegistryRoutines, WrongTypesGiveNothing)
{
    PutDword(TEST_KEY, TEXT("Number"), 389);
    PutValue(TEST_KEY, TEXT("Blob"), REG_BINARY, "389", 3);
    PutString(TEST_KEY, TEXT("Text"), TEXT("15"));

    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("Number")), nullptr);
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("Blob")), nullptr);
    LONG out = SENTINEL;
    EXPECT_FALSE(ReadRegDword(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("Text"), &out));
    EXPECT_EQ(out, SENTINEL);
}

TEST_F(RegistryRoutines, DwordsReadWhole)
{
    PutDword(TEST_KEY, TEXT("Five"), 5);
    PutDword(TEST_KEY, TEXT("AllOnes"), 0xffffffff);
    LONG out = SENTINEL;
    EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("Five"), &out));
    EXPECT_EQ(out, 5);
    EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("AllOnes"), &out));
    EXPECT_EQ(out, -1);
    EXPECT_FALSE(ReadRegDword(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("Missing"), &out));
}

TEST_F(RegistryRoutines, ShortDwordFillsOnlyItsLowBytes)
{
    const BYTE one[] = {0x0f};
    const BYTE two[] = {0x0f, 0x00};
    const BYTE three[] = {0x01, 0x02, 0x03};
    PutValue(TEST_KEY, TEXT("One"), REG_DWORD, one, sizeof(one));
    PutValue(TEST_KEY, TEXT("Two"), REG_DWORD, two, sizeof(two));
    PutValue(TEST_KEY, TEXT("Three"), REG_DWORD, three, sizeof(three));

    LONG out = SENTINEL;
    EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("One"), &out));
    EXPECT_EQ((DWORD)out, 0xdeadbe0fu);
    out = SENTINEL;
    EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("Two"), &out));
    EXPECT_EQ((DWORD)out, 0xdead000fu);
    out = SENTINEL;
    EXPECT_TRUE(ReadRegDword(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("Three"), &out));
    EXPECT_EQ((DWORD)out, 0xde030201u);
}

TEST_F(RegistryRoutines, EmptyOrOverlongDwordIsNotANumber)
{
    const BYTE eight[] = {1, 2, 3, 4, 5, 6, 7, 8};
    PutValue(TEST_KEY, TEXT("Eight"), REG_DWORD, eight, sizeof(eight));
    PutValue(TEST_KEY, TEXT("Empty"), REG_DWORD, eight, 0);

    // The caller's four bytes sit between guards that must survive.
    LONG storage[3] = {SENTINEL, SENTINEL, SENTINEL};
    EXPECT_FALSE(ReadRegDword(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("Eight"), &storage[1]));
    EXPECT_FALSE(ReadRegDword(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("Empty"), &storage[1]));
    EXPECT_EQ(storage[0], SENTINEL);
    EXPECT_EQ(storage[2], SENTINEL);
}

TEST_F(RegistryRoutines, NullArgumentsAreRefused)
{
    PutString(TEST_KEY, TEXT("Text"), TEXT("389"));
    PutDword(TEST_KEY, TEXT("Five"), 5);
    LONG out = SENTINEL;
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, NULL, TEXT("Text")), nullptr);
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, TEST_KEY, NULL), nullptr);
    EXPECT_FALSE(ReadRegDword(HKEY_LOCAL_MACHINE, NULL, TEXT("Five"), &out));
    EXPECT_FALSE(ReadRegDword(HKEY_LOCAL_MACHINE, TEST_KEY, NULL, &out));
    EXPECT_FALSE(ReadRegDword(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("Five"), NULL));
    EXPECT_EQ(out, SENTINEL);
}

TEST_F(RegistryRoutines, OnlyReadAndWriteMasksOpenKeys)
{
    PutString(TEST_KEY, TEXT("Text"), TEXT("389"));
    // Masks the registry itself would grant, refused before it is asked.
    const REGSAM refused[] = {0, KEY_QUERY_VALUE, KEY_SET_VALUE, KEY_READ | KEY_WRITE, 0xf003f};
    for (REGSAM access : refused)
        EXPECT_EQ(OpenRegKey(HKEY_LOCAL_MACHINE, TEST_KEY, access), nullptr) << access;

    HKEY key = OpenRegKey(HKEY_LOCAL_MACHINE, TEST_KEY, KEY_READ);
    ASSERT_NE(key, nullptr);
    CloseRegKey(key);
    key = OpenRegKey(HKEY_LOCAL_MACHINE, TEST_KEY, KEY_WRITE);
    ASSERT_NE(key, nullptr);
    CloseRegKey(key);
    EXPECT_EQ(OpenRegKey(HKEY_LOCAL_MACHINE, TEXT("Software\\NoSuchKey"), KEY_READ), nullptr);
}

// The platform's own rules that the routines lean on, held to Win32's.
TEST_F(RegistryRoutines, PlatformReportsMissingKeysAndSizes)
{
    HKEY key = (HKEY)(uintptr_t)0x1234;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Software\\NoSuchKey"), 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);

    PutString(TEST_KEY, TEXT("Text"), TEXT("389"));
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEST_KEY, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD type = 0xdeadbeef;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, TEXT("Text"), NULL, &type, NULL, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(size, 4 * sizeof(WCHAR));
    BYTE small[4] = {0xde, 0xde, 0xde, 0xde};
    size = sizeof(small);
    EXPECT_EQ(RegQueryValueExW(key, TEXT("Text"), NULL, NULL, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4 * sizeof(WCHAR));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryRoutines, CreatedKeyHandleWritesButDoesNotRead)
{
    HKEY key = CreateRegKey(HKEY_LOCAL_MACHINE, TEST_KEY);
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(KeyExists(TEST_KEY));
    EXPECT_EQ(SetRegDword(key, TEXT("Code"), 29), ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_NE(RegQueryValueExW(key, TEXT("Code"), NULL, &type, NULL, &size), ERROR_SUCCESS);
    CloseRegKey(key);
    EXPECT_EQ(GetDwordOr(TEST_KEY, TEXT("Code"), 0), 29u);
}

TEST_F(RegistryRoutines, WriteCreatesTheKeyAndOverwritesAValueOfAnyType)
{
    ASSERT_FALSE(KeyExists(SNMP_KEY));
    WriteRegDword(HKEY_LOCAL_MACHINE, SNMP_KEY, TEXT("ZembrelCode"), 29);
    EXPECT_EQ(GetDwordOr(SNMP_KEY, TEXT("ZembrelCode"), 0), 29u);

    PutString(SNMP_KEY, TEXT("Other"), TEXT("keep"));
    PutString(SNMP_KEY, TEXT("ZembrelCode"), TEXT("old text"));
    WriteRegDword(HKEY_LOCAL_MACHINE, SNMP_KEY, TEXT("ZembrelCode"), 0x12345678);
    EXPECT_EQ(GetDwordOr(SNMP_KEY, TEXT("ZembrelCode"), 0), 0x12345678u);

    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(GetValue(SNMP_KEY, TEXT("Other"), &type, &data));
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(data.size(), 5 * sizeof(WCHAR));
}

TEST_F(RegistryRoutines, OutOfMemoryReadsAsAbsent)
{
    PutString(TEST_KEY, TEXT("Text"), TEXT("389"));
    FaultSetMallocBudget(0);
    LPWSTR text = ReadRegString(HKEY_LOCAL_MACHINE, TEST_KEY, TEXT("Text"));
    FaultSetMallocBudget(-1);
    EXPECT_EQ(text, nullptr);
}

} // namespace
