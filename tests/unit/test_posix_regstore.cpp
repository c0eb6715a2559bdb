// Tests of the POSIX port's registry: the .reg file store and the Win32 calls over it.
#include "store_fixture.h"

#include <sys/wait.h>

#include <thread>

namespace {

const char READ_FORMS[] = "Windows Registry Editor Version 5.00\n"
                          "\n"
                          "[HKEY_LOCAL_MACHINE\\Platform]\n"
                          "\"Build\"=\"389\"\n"
                          "\"Escaped\"=\"a\\\\b\\\"c\" ; trailing comment\n"
                          "@=\"default\"\n"
                          "\"Number\"=dword:0000000f\n"
                          "\"Blob\"=hex:de,ad,\\\n"
                          "  ; a comment inside the value\n"
                          "\n"
                          "  be,ef\n"
                          "\"Multi\"=hex(7):34,30,30,00,00\n"
                          "\"Short\"=hex(4):0f,00\n"
                          "\"Bare\"=hex(1):61,00\n"
                          "\"Odd\"=hex(1):61\n"
                          "\"Expand\"=hex(2):25,41,25\n"
                          "\"Qword\"=hex(b):01,00,00,00,00,00,00,00\n"
                          "\"Empty\"=hex:\n";

TEST_F(RegStore, ReadsEveryValueForm)
{
    Put(READ_FORMS);
    const char16_t *key = u"platform"; // names compare without regard to case
    ExpectValue(key, u"BUILD", REG_SZ, Data(u"389"));
    ExpectValue(key, u"Escaped", REG_SZ, Data(u"a\\b\"c"));
    ExpectValue(key, u"", REG_SZ, Data(u"default"));
    ExpectValue(key, NULL, REG_SZ, Data(u"default"));
    ExpectValue(key, u"Number", REG_DWORD, Data({0x0f, 0, 0, 0}));
    ExpectValue(key, u"Blob", REG_BINARY, Data({0xde, 0xad, 0xbe, 0xef}));
    // In an 8-bit file, string, expandable and multi-string data in hex are text, made UTF-16
    // on reading and given their terminator.
    ExpectValue(key, u"Multi", REG_MULTI_SZ, Data({'4', 0, '0', 0, '0', 0, 0, 0, 0, 0}));
    ExpectValue(key, u"Expand", REG_EXPAND_SZ, Data(u"%A%"));
    ExpectValue(key, u"Short", REG_DWORD, Data({0x0f, 0}));
    ExpectValue(key, u"Bare", REG_SZ, Data(u"a")); // given its terminator
    ExpectValue(key, u"Odd", REG_SZ, Data(u"a"));
    ExpectValue(key, u"Qword", 0xb, Data({1, 0, 0, 0, 0, 0, 0, 0}));
    ExpectValue(key, u"Empty", REG_BINARY, Data({}));
}

TEST_F(RegStore, ReadsRegedit4WithByteOrderMarkAsUtf8Text)
{
    Put("\xEF\xBB\xBFREGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Caf\xC3\xA9]\r\n"
        "\"Name\"=\"\xC3\xA9t\xC3\xA9\"\r\n"
        "\"List\"=hex(7):61,00,c3,a9,00,00\r\n"
        "\"Path\"=hex(2):25,41,25\r\n");
    ExpectValue(u"SOFTWARE\\CAF\u00C9", u"Name", REG_SZ, Data(u"\u00e9t\u00e9"));
    ExpectValue(u"Software\\Caf\u00e9", u"List", REG_MULTI_SZ, Data(u"a\0\u00e9\0"));
    ExpectValue(u"Software\\Caf\u00e9", u"Path", REG_EXPAND_SZ, Data(u"%A%"));
}

TEST_F(RegStore, WritesEachFormAsRegeditDoesAndReadsItBack)
{
    const Bytes multi = Data(u"one\0two\0");
    const Bytes wide(200, 0xab);
    ASSERT_EQ(Set(u"Forms", u"Text", REG_SZ, Data(u"a\\b\"c")), ERROR_SUCCESS);
    ASSERT_EQ(Set(u"Forms", u"Count", REG_DWORD, Data({0x0f, 0, 0, 0})), ERROR_SUCCESS);
    ASSERT_EQ(Set(u"Forms", u"Blob", REG_BINARY, Data({1, 2})), ERROR_SUCCESS);
    ASSERT_EQ(Set(u"Forms", u"Multi", REG_MULTI_SZ, multi), ERROR_SUCCESS);
    ASSERT_EQ(Set(u"Forms", u"Short", REG_DWORD, Data({0x0f, 0})), ERROR_SUCCESS);
    ASSERT_EQ(Set(u"Forms", u"", REG_SZ, Data(u"default")), ERROR_SUCCESS);
    ASSERT_EQ(Set(u"Forms", u"Lines", REG_SZ, Data(u"two\r\nlines")), ERROR_SUCCESS);
    // Half a character has no spelling in a file of 8-bit text.
    EXPECT_EQ(Set(u"Forms", u"Half", REG_SZ, Data({'7'})), ERROR_INVALID_DATA);
    ASSERT_EQ(Set(u"Forms", u"Wide", 0x12345, wide), ERROR_SUCCESS);

    std::string text = Contents();
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Forms]\n"
                         "\"Text\"=\"a\\\\b\\\"c\"\n"
                         "\"Count\"=dword:0000000f\n"
                         "\"Blob\"=hex:01,02\n"
                         "\"Multi\"=hex(7):6f,6e,65,00,74,77,6f,00,00\n"
                         "\"Short\"=hex(4):0f,00\n"
                         "@=\"default\"\n",
                         0),
              0u)
        << text;
    EXPECT_EQ(text.find('\r'), std::string::npos);
    // Long data wraps within 80 columns after ",\".
    std::istringstream lines(text);
    int continued = 0;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LE(line.size(), 80u) << line;
        continued += line.size() > 2 && line.compare(line.size() - 2, 2, ",\\") == 0;
    }
    EXPECT_GE(continued, 7);

    ExpectValue(u"Forms", u"Text", REG_SZ, Data(u"a\\b\"c"));
    ExpectValue(u"Forms", u"Count", REG_DWORD, Data({0x0f, 0, 0, 0}));
    ExpectValue(u"Forms", u"Blob", REG_BINARY, Data({1, 2}));
    ExpectValue(u"Forms", u"Multi", REG_MULTI_SZ, multi);
    ExpectValue(u"Forms", u"Short", REG_DWORD, Data({0x0f, 0}));
    ExpectValue(u"Forms", NULL, REG_SZ, Data(u"default"));
    ExpectValue(u"Forms", u"Lines", REG_SZ, Data(u"two\r\nlines"));
    EXPECT_NE(text.find("\"Lines\"=hex(1):74,77,6f,0d,0a,6c,69,6e,65,73,00\n"), std::string::npos)
        << text;
    ExpectValue(u"Forms", u"Wide", 0x12345, wide);
}

TEST_F(RegStore, Regedit4FileGetsStringDataAsText)
{
    Put("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform]\n");
    ASSERT_EQ(Set(u"Platform", u"List", REG_MULTI_SZ, Data(u"\u00e9\0")), ERROR_SUCCESS);
    EXPECT_EQ(Contents(),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform]\n\"List\"=hex(7):c3,a9,00,00\n");
    ExpectValue(u"Platform", u"List", REG_MULTI_SZ, Data(u"\u00e9\0"));
    // Half a character has no spelling as text, nor has a character the code page lacks; a
    // string regedit would read otherwise is refused, with a line, and nothing is written.
    std::string said = Said([&] {
        EXPECT_EQ(Set(u"Platform", u"Half", REG_MULTI_SZ, Data({'7'})), ERROR_INVALID_DATA);
        EXPECT_EQ(Set(u"Platform", u"Half", REG_SZ, Data({'7'})), ERROR_INVALID_DATA);
    });
    EXPECT_NE(said.find(": the value \"Half\" of Platform cannot be spelled in this file's UTF-8"),
              std::string::npos)
        << said;
    // A string that cannot be quoted (a line break) is text in hex(1), as regedit reads it.
    ASSERT_EQ(Set(u"Platform", u"Lines", REG_SZ, Data(u"a\nb")), ERROR_SUCCESS);
    EXPECT_EQ(Contents(),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform]\n\"List\"=hex(7):c3,a9,00,00\n"
              "\"Lines\"=hex(1):61,0a,62,00\n");
    ExpectValue(u"Platform", u"Lines", REG_SZ, Data(u"a\nb"));
    // A Windows-1252 file spells text in its own code page; what it lacks is refused.
    Put("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform]\n\"Build\"=hex(1):33,39,30,00\n; caf\xe9\n");
    ExpectValue(u"Platform", u"Build", REG_SZ, Data(u"390"));
    ASSERT_EQ(Set(u"Platform", u"Lines", REG_SZ, Data(u"\u00e9\n")), ERROR_SUCCESS);
    EXPECT_NE(Contents().find("\"Lines\"=hex(1):e9,0a,00\n"), std::string::npos) << Contents();
    EXPECT_EQ(Set(u"Platform", u"Lines", REG_SZ, Data(u"\u4e2d\n")), ERROR_INVALID_DATA);
    ExpectValue(u"Platform", u"Lines", REG_SZ, Data(u"\u00e9\n"));
}

TEST_F(RegStore, WriteChangesOnlyTheValueItSets)
{
    const std::string before = "Windows Registry Editor Version 5.00\r\n"
                               "; keep this comment\r\n"
                               "\r\n"
                               "[HKEY_LOCAL_MACHINE\\Platform]\r\n"
                               "\"Zeta\"=\"last\"\r\n"
                               "\"Build\"=\"388\"\r\n"
                               "\"Data\"=hex:01,02,\\\r\n"
                               "  03\r\n"
                               "\r\n"
                               "\r\n"
                               "; belongs to the next key\r\n"
                               "[HKEY_CURRENT_USER\\Other]\r\n"
                               "\"Build\"=\"1\"\r\n";
    Put(before);
    ASSERT_EQ(Set(u"PLATFORM", u"build", REG_SZ, Data(u"389")), ERROR_SUCCESS);
    std::string expected = before;
    expected.replace(expected.find("388"), 3, "389"); // the name keeps the file's spelling
    ASSERT_EQ(Contents(), expected);

    // A multi-line value is replaced whole; a new value closes its key's section.
    ASSERT_EQ(Set(u"Platform", u"Data", REG_DWORD, Data({1, 0, 0, 0})), ERROR_SUCCESS);
    ASSERT_EQ(Set(u"Platform", u"New", REG_SZ, Data(u"n")), ERROR_SUCCESS);
    expected.replace(expected.find("\"Data\""), 24, "\"Data\"=dword:00000001\r\n\"New\"=\"n\"");
    ASSERT_EQ(Contents(), expected);

    // A new key is a new section at the end, spelt as the caller spells it.
    ASSERT_EQ(Set(u"NetAdmin\\SNMP", u"Code", REG_DWORD, Data({29, 0, 0, 0})), ERROR_SUCCESS);
    expected += "\r\n[HKEY_LOCAL_MACHINE\\NetAdmin\\SNMP]\r\n\"Code\"=dword:0000001d\r\n";
    EXPECT_EQ(Contents(), expected);
}

TEST_F(RegStore, Utf16FileKeepsItsEncodingAndLineEndings)
{
    const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\Platform]\r\n"
                             "\"Build\"=\"388\"\r\n"
                             "\"Name\"=\"\xE2\x82\xAC uro\"\r\n"
                             "\"Tail\"=\"no final line ending\"";
    Put(Utf16File(text));
    ExpectValue(u"Platform", u"Name", REG_SZ, Data(u"\u20ac uro"));
    ASSERT_EQ(Set(u"Platform", u"Build", REG_SZ, Data(u"389")), ERROR_SUCCESS);
    std::string expected = text;
    expected.replace(expected.find("388"), 3, "389");
    EXPECT_EQ(Contents(), Utf16File(expected));

    // In a UTF-16 file, string data in hex form is the value's own UTF-16LE bytes.
    ASSERT_EQ(Set(u"Platform", u"Tail", REG_MULTI_SZ, Data(u"x\0")), ERROR_SUCCESS);
    expected.replace(expected.find("\"Tail\""), std::string::npos,
                     "\"Tail\"=hex(7):78,00,00,00,00,00");
    EXPECT_EQ(Contents(), Utf16File(expected));
}

TEST_F(RegStore, SkippedLinesAreReportedAndKeptVerbatim)
{
    const std::string before = "Windows Registry Editor Version 5.00\n"
                               "\"Orphan\"=\"before any key\"\n"
                               "[HKEY_LOCAL_MACHINE\\Platform]\n"
                               "garbage line\n"
                               "\"Bad\"=dword:123456789\n"
                               "\"Build\"=\"388\"\n"
                               "\"Broken\"=hex:01,\\\n"
                               "\"Swallowed\"=\"by the broken value\"\n"
                               "\"Good\"=dword:00000001\n"
                               "\"NoComma\"=hex:01\\\n";
    Put(before);
    testing::internal::CaptureStderr();
    DWORD type = 0;
    Bytes data;
    EXPECT_EQ(Get(u"Platform", u"Bad", &type, &data), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Get(u"Platform", u"Swallowed", &type, &data), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Get(u"Platform", u"Broken", &type, &data), ERROR_FILE_NOT_FOUND);
    ExpectValue(u"Platform", u"Good", REG_DWORD, Data({1, 0, 0, 0}));
    // A reader says what the sections it reads say, and a writer what the section it writes in
    // says: the line before every key, in neither, is never said.
    std::string errors = testing::internal::GetCapturedStderr();
    for (const char *line : {":4: ", ":5: ", ":8: ", ":10: "})
        EXPECT_NE(errors.find(file + line), std::string::npos) << line << "\n" << errors;
    for (const char *line : {":2: ", ":3: ", ":9: "})
        EXPECT_EQ(errors.find(file + line), std::string::npos) << line << "\n" << errors;

    testing::internal::CaptureStderr();
    ASSERT_EQ(Set(u"Platform", u"Build", REG_SZ, Data(u"389")), ERROR_SUCCESS);
    errors = testing::internal::GetCapturedStderr();
    for (const char *line : {":2: ", ":4: "})
        EXPECT_EQ(errors.find(file + line), std::string::npos) << line << "\n" << errors;
    std::string expected = before;
    expected.replace(expected.find("388"), 3, "389");
    EXPECT_EQ(Contents(), expected);
}

TEST_F(RegStore, KeyAndValueDeletionsApplyInFileOrder)
{
    Put("Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\Gone]\n\"A\"=\"1\"\n\n"
        "[HKEY_LOCAL_MACHINE\\Gone\\Child]\n\n"
        "[HKEY_LOCAL_MACHINE\\Back]\n\"Old\"=\"x\"\n\n"
        "[-HKEY_LOCAL_MACHINE\\Gone]\n"
        "[-HKEY_LOCAL_MACHINE\\Back]\n"
        "[HKEY_LOCAL_MACHINE\\Back]\n\"New\"=\"y\"\n"
        "\"Dropped\"=\"z\"\n\"dropped\"=-\n"
        "\"Twice\"=\"1\"\n\n[HKEY_LOCAL_MACHINE\\back]\n\"TWICE\"=\"2\"\n\"Other\"=\"o\"\n");
    EXPECT_FALSE(Exists(u"Gone"));
    EXPECT_FALSE(Exists(u"Gone\\Child"));
    ExpectValue(u"Back", u"New", REG_SZ, Data(u"y"));
    ExpectValue(u"Back", u"Twice", REG_SZ, Data(u"2"));
    DWORD type = 0;
    Bytes data;
    EXPECT_EQ(Get(u"Back", u"Old", &type, &data), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Get(u"Back", u"Dropped", &type, &data), ERROR_FILE_NOT_FOUND);

    // Deleting removes every line that still sets it, and nothing else.
    EXPECT_EQ(Delete(u"Back", u"twice"), ERROR_SUCCESS);
    EXPECT_EQ(Delete(u"Back", u"Twice"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Delete(u"Back", u"Old"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Get(u"Back", u"Twice", &type, &data), ERROR_FILE_NOT_FOUND);
    ExpectValue(u"Back", u"Other", REG_SZ, Data(u"o"));
    EXPECT_EQ(Contents().find("Twice"), std::string::npos);
    EXPECT_NE(Contents().find("\"Old\"=\"x\""), std::string::npos);

    // A key deleted in the file comes back as a new section, not in its forgotten one.
    ASSERT_EQ(Set(u"Gone", u"A", REG_SZ, Data(u"2")), ERROR_SUCCESS);
    ExpectValue(u"Gone", u"A", REG_SZ, Data(u"2"));
    EXPECT_NE(Contents().find("\"A\"=\"1\""), std::string::npos);
}

TEST_F(RegStore, CallsBehaveAsWin32s)
{
    Put("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\NetAdmin\\SNMP]\n"
        "\"Build\"=\"389\"\n");
    HKEY key = (HKEY)(uintptr_t)0xdeadbeef;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Missing", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    key = (HKEY)(uintptr_t)0xdeadbeef;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\NetAdmin", 0, KEY_READ, &key),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"NetAdmin\\\\SNMP", 0, KEY_READ, &key),
              ERROR_BAD_PATHNAME);

    // A parent exists without a section of its own; a null subkey opens the root.
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"NetAdmin", 0, KEY_READ, &key), ERROR_SUCCESS);
    HKEY child = NULL;
    ASSERT_EQ(RegOpenKeyExW(key, u"snmp", 0, KEY_READ, &child), ERROR_SUCCESS);
    RegCloseKey(key);
    HKEY rootKey = NULL;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, NULL, 0, KEY_READ, &rootKey), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(rootKey), ERROR_SUCCESS);

    DWORD type = 0xdeadbeef;
    DWORD size = 0xdeadbeef;
    ASSERT_EQ(RegQueryValueExW(child, u"Build", NULL, &type, NULL, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(size, 8u);
    BYTE buffer[8];
    memset(buffer, 0xde, sizeof(buffer));
    size = 7;
    EXPECT_EQ(RegQueryValueExW(child, u"Build", NULL, NULL, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    for (BYTE b : buffer)
        EXPECT_EQ(b, 0xde);
    EXPECT_EQ(RegQueryValueExW(child, u"Nothing", NULL, &type, NULL, &size), ERROR_FILE_NOT_FOUND);
    // A read handle cannot set.
    DWORD one = 1;
    EXPECT_EQ(RegSetValueExW(child, u"X", 0, REG_DWORD, (BYTE *)&one, 4), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(child), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(NULL), ERROR_INVALID_HANDLE);

    // Creating reports what it did; access 0 gives a handle that cannot set.
    DWORD disposition = 0;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"NetAdmin", 0, NULL, 0, 0, NULL, &key, &disposition),
        ERROR_SUCCESS);
    EXPECT_EQ(disposition, (DWORD)REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(RegSetValueExW(key, u"X", 0, REG_DWORD, (BYTE *)&one, 4), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Zembrel", 0, NULL, 0, 0, NULL, &key,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, (DWORD)REG_CREATED_NEW_KEY);
    RegCloseKey(key);
    EXPECT_TRUE(Exists(u"Software"));
    EXPECT_NE(Contents().find("\n\n[HKEY_LOCAL_MACHINE\\Software\\Zembrel]\n"), std::string::npos);
}

TEST_F(RegStore, AccessFollowsTheFilesPermissions)
{
    // No write bit means read-only for every user, root too, as a read-only file on Windows;
    // so these hold whoever runs the tests.
    const std::string before = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform]\n\"Build\"=\"388\"\n";
    Put(before);
    ASSERT_EQ(chmod(file.c_str(), 0444), 0);
    HKEY key = NULL;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Platform", 0, KEY_WRITE, &key),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    ExpectValue(u"Platform", u"Build", REG_SZ, Data(u"388"));
    DWORD one = 1;
    EXPECT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, u"X", 0, REG_DWORD, (BYTE *)&one, 4),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(Set(u"Other", u"X", REG_DWORD, Data({1, 0, 0, 0})), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Contents(), before);

    ASSERT_EQ(chmod(file.c_str(), 0200), 0);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Platform", 0, KEY_READ, &key),
              ERROR_ACCESS_DENIED);

    // With no file, writing needs a folder where one can be made.
    ASSERT_EQ(unlink(file.c_str()), 0);
    ASSERT_EQ(chmod(root.c_str(), 0555), 0);
    EXPECT_EQ(Set(u"Platform", u"X", REG_DWORD, Data({1, 0, 0, 0})), ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, NULL, 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    EXPECT_EQ(Set(u"Platform", u"X", REG_DWORD, Data({1, 0, 0, 0})), ERROR_SUCCESS);
}

TEST_F(RegStore, FileThatIsNoRegFileIsNeverWrittenOver)
{
    for (const std::string &content :
         {std::string("[HKEY_LOCAL_MACHINE\\Platform]\n\"Build\"=\"389\"\n"),
          std::string("REGEDIT 4\n"), std::string(""), Utf16File("REGEDIT4\r\n").substr(2)}) {
        Put(content);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(Exists(u"Platform"));
        EXPECT_TRUE(Exists(NULL));
        EXPECT_NE(Set(u"Platform", u"Build", REG_SZ, Data(u"1")), ERROR_SUCCESS);
        HKEY key = NULL;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, NULL, 0, KEY_WRITE, &key), ERROR_ACCESS_DENIED);
        EXPECT_NE(testing::internal::GetCapturedStderr().find(file + ":1: "), std::string::npos);
        EXPECT_EQ(Contents(), content);
    }
}

TEST_F(RegStore, FailedWriteLeavesTheFileAndNoTemporary)
{
    const std::string before =
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Platform]\r\n\"Build\"=\"388\"\r\n";
    Put(before);
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    const std::vector<std::string> names = {"registry.reg"};
    for (RegWriteStage stage : {RegWriteStage::OpenTemp, RegWriteStage::Write, RegWriteStage::Fsync,
                                RegWriteStage::Rename}) {
        RegStoreFailNextWrite(stage);
        testing::internal::CaptureStderr();
        EXPECT_EQ(Set(u"Platform", u"Build", REG_SZ, Data(u"389")), ERROR_WRITE_FAULT);
        EXPECT_NE(testing::internal::GetCapturedStderr().find(file), std::string::npos);
        EXPECT_EQ(Contents(), before) << (int)stage;
        EXPECT_EQ(Folder(), std::vector<std::string>({"registry.reg", "registry.reg.lock"}));
    }
    // The lone failure after the rename: the change is in place, and so the write succeeded,
    // but it may not survive a crash, which is said.
    RegStoreFailNextWrite(RegWriteStage::DirFsync);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Set(u"Platform", u"Build", REG_SZ, Data(u"389")), ERROR_SUCCESS);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  file + ": written, but the folder cannot be flushed"),
              std::string::npos);
    EXPECT_EQ(Folder(), std::vector<std::string>({"registry.reg", "registry.reg.lock"}));
    ExpectValue(u"Platform", u"Build", REG_SZ, Data(u"389"));
    struct stat info;
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u); // the replacement keeps the original's mode
}

TEST_F(RegStore, ConcurrentWritersLoseNoUpdate)
{
    const int rounds = 40;
    auto writer = [&](char16_t tag) {
        for (int i = 0; i < rounds; ++i) {
            std::u16string name = std::u16string(1, tag) + Utf8ToUtf16(std::to_string(i));
            if (Set(u"Shared", name.c_str(), REG_DWORD, Data({i, 0, 0, 0})) != ERROR_SUCCESS)
                return false;
        }
        return true;
    };
    // Two processes, and two threads in this one, each with names of its own.
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0)
            _exit(writer(c == 0 ? u'P' : u'Q') ? 0 : 1);
    }
    bool threadOk = false;
    std::thread thread([&] { threadOk = writer(u'T'); });
    EXPECT_TRUE(writer(u'U'));
    thread.join();
    EXPECT_TRUE(threadOk);
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (char16_t tag : {u'P', u'Q', u'T', u'U'})
        for (int i = 0; i < rounds; ++i) {
            std::u16string name = std::u16string(1, tag) + Utf8ToUtf16(std::to_string(i));
            ExpectValue(u"Shared", name.c_str(), REG_DWORD, Data({i, 0, 0, 0}));
        }
}

TEST_F(RegStore, ParsesAreIndependent)
{
    RegDocument first;
    RegDocument second;
    RegStoreParse(first, "a.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:01,\\\n");
    RegStoreParse(second, "b.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\B]\n\"V\"=hex:02\n");
    RegStoreParse(first, "a.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:01,\\\n  03\n");
    RegTree a = RegStoreEvaluate(first);
    RegTree b = RegStoreEvaluate(second);
    EXPECT_EQ(a[u"A"][u"V"].data, Data({1, 3}));
    EXPECT_EQ(b[u"B"][u"V"].data, Data({2}));
    EXPECT_EQ(a.count(u"B"), 0u);
}

} // namespace
