// Tests of the POSIX registry store's edits: each changes its value's meaning and no other.
#include "store_fixture.h"

namespace {

const char HEADER[] = "Windows Registry Editor Version 5.00\n\n";

class StoreEdits : public RegStore {
  protected:
    // Sets the value twice: the first write gives `expected`, the second changes no byte and
    // does not even replace the file.
    void SetTwice(const char16_t *key, const char16_t *name, DWORD value,
                  const std::string &expected)
    {
        Bytes data = Data({(int)(value & 0xff), (int)(value >> 8 & 0xff), 0, 0});
        ASSERT_EQ(Set(key, name, REG_DWORD, data), ERROR_SUCCESS);
        ASSERT_EQ(Contents(), expected);
        struct stat first;
        ASSERT_EQ(stat(file.c_str(), &first), 0);
        ASSERT_EQ(Set(key, name, REG_DWORD, data), ERROR_SUCCESS);
        EXPECT_EQ(Contents(), expected);
        struct stat second;
        ASSERT_EQ(stat(file.c_str(), &second), 0);
        EXPECT_EQ(first.st_ino, second.st_ino);
        ExpectValue(key, name, REG_DWORD, data);
    }
};

TEST_F(StoreEdits, LineAddedAfterAValueTheFileEndsInTheMiddleOfIsNotItsContinuation)
{
    // The value's dangling ",\" goes; its bytes stay, and so does the new line's meaning.
    const std::string section = "[HKEY_LOCAL_MACHINE\\NetAdmin\\SNMP]\n";
    Put(HEADER + section + "\"ZembrelTimeOut\"=hex(4):02,00,00,00,\\\n");
    SetTwice(u"NetAdmin\\SNMP", u"ZembrelCode", 29,
             HEADER + section +
                 "\"ZembrelTimeOut\"=hex(4):02,00,00,00,\n\"ZembrelCode\"=dword:0000001d\n");
    ExpectValue(u"NetAdmin\\SNMP", u"ZembrelTimeOut", REG_DWORD, Data({2, 0, 0, 0}));

    // A new section after one, with comments and no final line ending after it; the value's
    // name has a backslash of its own and a character of two bytes before the dangling one.
    Put(std::string(HEADER) +
        "[HKEY_LOCAL_MACHINE\\Platform]\n\"Caf\xC3\xA9\\\\x\"=hex:01,\\ ; on\n\n; end");
    SetTwice(u"NetAdmin\\SNMP", u"ZembrelCode", 29,
             std::string(HEADER) +
                 "[HKEY_LOCAL_MACHINE\\Platform]\n\"Caf\xC3\xA9\\\\x\"=hex:01, ; on\n\n; end\n\n" +
                 section + "\"ZembrelCode\"=dword:0000001d\n");
    ExpectValue(u"Platform", u"Caf\u00e9\\x", REG_BINARY, Data({1}));

    // In a UTF-16 file, and where the dangling value is outside any key and skipped.
    const std::string wide = "Windows Registry Editor Version 5.00\r\n\r\n\"Orphan\"=hex:01,\\\r\n";
    Put(Utf16File(wide));
    testing::internal::CaptureStderr();
    SetTwice(u"NetAdmin", u"V", 1,
             Utf16File("Windows Registry Editor Version 5.00\r\n\r\n\"Orphan\"=hex:01,\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\NetAdmin]\r\n\"V\"=dword:00000001\r\n"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find(file + ":3: "), std::string::npos);
}

TEST_F(StoreEdits, OddLengthUtf16FileKeepsItsStrayByteLast)
{
    const std::string head = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\NetAdmin\\SNMP]\r\n"
                             "\"ZembrelTimeOut\"=dword:00000002";
    for (const char *ending : {"\r\n", ""}) {
        Put(Utf16File(head + ending) + "\x7f");
        ExpectValue(u"NetAdmin\\SNMP", u"ZembrelTimeOut", REG_DWORD, Data({2, 0, 0, 0}));
        SetTwice(u"NetAdmin\\SNMP", u"ZembrelCode", 29,
                 Utf16File(head + "\r\n\"ZembrelCode\"=dword:0000001d\r\n") + "\x7f");
        SetTwice(u"Other", u"V", 1,
                 Utf16File(head + "\r\n\"ZembrelCode\"=dword:0000001d\r\n\r\n"
                                  "[HKEY_LOCAL_MACHINE\\Other]\r\n\"V\"=dword:00000001\r\n") +
                     "\x7f");
        ExpectValue(u"NetAdmin\\SNMP", u"ZembrelTimeOut", REG_DWORD, Data({2, 0, 0, 0}));
    }
}

TEST_F(StoreEdits, RewritingAContinuedValueKeepsTheCommentsBetweenItsLines)
{
    const std::string section = "[HKEY_LOCAL_MACHINE\\NetAdmin\\SNMP]\n";
    Put(HEADER + section +
        "\"ZembrelCode\"=hex(4):1d,\\\n  ; the status, low byte first\n\n  00,00,00\n"
        "\"Blob\"=hex:01,\\\n; keep me\n  02\n\"Next\"=\"n\"");
    SetTwice(u"NetAdmin\\SNMP", u"ZembrelCode", 0,
             HEADER + section +
                 "\"ZembrelCode\"=dword:00000000\n  ; the status, low byte first\n\n"
                 "\"Blob\"=hex:01,\\\n; keep me\n  02\n\"Next\"=\"n\"");

    // Deleting one keeps them too.
    EXPECT_EQ(Delete(u"NetAdmin\\SNMP", u"Blob"), ERROR_SUCCESS);
    EXPECT_EQ(Delete(u"NetAdmin\\SNMP", u"Next"), ERROR_SUCCESS);
    EXPECT_EQ(Contents(), HEADER + section +
                              "\"ZembrelCode\"=dword:00000000\n  ; the status, low byte first\n\n"
                              "; keep me\n");
}

// Parses the text as a file would be.
RegDocument Parsed(const std::string &text)
{
    RegDocument doc;
    RegStoreParse(doc, "registry.reg", text);
    return doc;
}

TEST_F(StoreEdits, CheckAllowsOnlyTheChangeTheEditMeant)
{
    const std::string head = std::string(HEADER) + "[HKEY_LOCAL_MACHINE\\NetAdmin\\SNMP]\n"
                                                   "\"ZembrelTimeOut\"=dword:00000002\n";
    const std::string tail = "\"Other\"=\"o\"\n\n[HKEY_CURRENT_USER\\Elsewhere]\n\"Kept\"=\"k\"\n"
                             "garbage\n[-HKEY_LOCAL_MACHINE\\Gone]\n";
    const std::string code = "\"ZembrelCode\"=dword:0000001d\n";
    const RegDocument before = Parsed(head + tail);
    const RegChange set{RegChangeKind::SetValue, u"NETADMIN\\SNMP", u"ZEMBRELCODE"};
    struct {
        std::string after;
        bool clean;
    } cases[] = {
        {head + code + tail, true},
        {head + "; a comment may come and go\n" + code + tail + "\n", true},
        {head + "\"zembrelcode\"=hex:01\n" + tail, true}, // any value, any spelling
        {head + tail, false},                             // the value is not there
        {head + code + "\"Other\"=\"x\"" + tail.substr(11), false},
        {std::string(HEADER) + "[HKEY_LOCAL_MACHINE\\NetAdmin\\SNMP]\n" + code + tail, false},
        {head + code + tail.substr(0, tail.find("\"Kept\"")) + "\"Kept\"=\"K\"\n" +
             tail.substr(tail.find("garbage")),
         false},
        {head + code + tail.substr(0, tail.find("garbage")) + "garbage!\n" +
             tail.substr(tail.find("[-")),
         false},
        {head + code + tail.substr(0, tail.find("[-")), false},
        {head + code + tail + "[HKEY_LOCAL_MACHINE\\New]\n", false},
    };
    for (const auto &test : cases)
        EXPECT_EQ(RegStoreChangedOnly(before, Parsed(test.after), set), test.clean) << test.after;

    // The swallowed line that a value the file ends in the middle of made of the next value.
    const std::string open = head + "\"Tail\"=hex:01,\\\n";
    EXPECT_FALSE(RegStoreChangedOnly(Parsed(open), Parsed(open + code), set));

    const RegChange remove{RegChangeKind::DeleteValue, u"NETADMIN\\SNMP", u"OTHER"};
    EXPECT_TRUE(RegStoreChangedOnly(before, Parsed(head + tail.substr(12)), remove));
    EXPECT_FALSE(RegStoreChangedOnly(before, Parsed(head + tail), remove));
    const RegChange create{RegChangeKind::CreateKey, u"NEW", u""};
    EXPECT_TRUE(
        RegStoreChangedOnly(before, Parsed(head + tail + "\n[HKEY_LOCAL_MACHINE\\New]\n"), create));
    EXPECT_FALSE(RegStoreChangedOnly(before, Parsed(head + tail), create));
}

TEST_F(StoreEdits, WriteWhoseTextMeansMoreThanItsChangeIsRefused)
{
    const std::string before =
        std::string(HEADER) + "[HKEY_LOCAL_MACHINE\\NetAdmin\\SNMP]\n" + "\"Other\"=\"o\"\n";
    Put(before);
    testing::internal::CaptureStderr();
    // An edit that splices one line too many, as a fault in one might, in the whole file's
    // edit that an edit of the key lines' reading leaves to it.
    LONG result = RegStoreUpdate(file, [](RegDocument &doc) {
        if (doc.indexed) {
            doc.needsWhole = true;
            return (LONG)ERROR_SUCCESS;
        }
        LONG set = RegStoreSetValue(doc, u"NetAdmin\\SNMP", u"ZembrelCode", REG_DWORD,
                                    Data({29, 0, 0, 0}).data(), 4);
        RegChange change = doc.change;
        std::string bytes = doc.bytes;
        bytes.replace(bytes.find("\"o\""), 3, "\"changed by a fault\"");
        RegStoreParse(doc, doc.path, bytes);
        doc.modified = true;
        doc.change = change;
        return set;
    });
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, ERROR_REGISTRY_CORRUPT);
    EXPECT_NE(errors.find("zembrel: " + file + ": the edit would change more"), std::string::npos)
        << errors;
    EXPECT_EQ(Contents(), before);
    EXPECT_EQ(Folder(), std::vector<std::string>({"registry.reg", "registry.reg.lock"}));
}

} // namespace
