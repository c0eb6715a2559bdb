// Tests of the POSIX registry store where regedit's import is particular: headers, encodings,
// roots, deletions it refuses, trailing backslashes.
#include "store_fixture.h"

namespace {

const std::string HEADER = "Windows Registry Editor Version 5.00\n\n";

class StoreRegedit : public RegStore {
  protected:
    LONG SetCode() { return Set(u"Platform", u"Code", REG_DWORD, Data({29, 0, 0, 0})); }

    // What reading the file says, with the values checked meanwhile.
    std::string ReadSaying(const std::function<void()> &checks) { return Said(checks); }
};

TEST_F(StoreRegedit, Utf8ByteOrderMarkIsReadAsUtf8AndSaidOnce)
{
    const std::string text =
        "\xEF\xBB\xBF" + HEADER + "[HKEY_LOCAL_MACHINE\\Platform]\n\"Build\"=\"caf\xC3\xA9\"\n";
    Put(text);
    std::string said = ReadSaying([&] {
        ExpectValue(u"Platform", u"Build", REG_SZ, Data(u"caf\u00e9"));
        ExpectValue(u"Platform", u"Build", REG_SZ, Data(u"caf\u00e9"));
    });
    EXPECT_EQ(said, "zembrel: " + file +
                        ":1: a UTF-8 byte-order mark, which regedit does not know: it would "
                        "import nothing from this file (save it as UTF-16LE, or as UTF-8 "
                        "without the mark)\n");
    ASSERT_EQ(SetCode(), ERROR_SUCCESS);
    EXPECT_EQ(Contents(), text + "\"Code\"=dword:0000001d\n");

    // A byte in it that is not UTF-8 is not replaced in silence: its line is named.
    Put("\xEF\xBB\xBF" + HEADER + "[HKEY_LOCAL_MACHINE\\Platform]\n\"Build\"=\"a\xAE\"\n");
    said = ReadSaying([&] { ExpectValue(u"Platform", u"Build", REG_SZ, Data(u"a\ufffd")); });
    EXPECT_NE(said.find(file + ":4: bytes that are not UTF-8, each read as U+FFFD"),
              std::string::npos)
        << said;
}

TEST_F(StoreRegedit, EightBitFileThatIsNotUtf8IsReadInWindows1252)
{
    // Saved by an older editor: an e acute, a registered sign and a right quote, one byte each.
    const std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Caf\xE9]\r\n"
                             "\"Name\"=\"caf\xE9 \xAE \x92\x81\"\r\n";
    Put(text);
    std::string said = ReadSaying([&] {
        ExpectValue(u"Software\\Caf\u00e9", u"Name", REG_SZ,
                    Data(u"caf\u00e9 \u00ae \u2019\u0081"));
    });
    EXPECT_EQ(said, "zembrel: " + file +
                        ":3: a byte that is not UTF-8, so the file is read in Windows-1252, as "
                        "regedit reads it\n");
    // Written in the same code page, every other byte kept; what it cannot hold is refused
    // (in hex, regedit would read its bytes as Windows-1252 text too).
    ASSERT_EQ(Set(u"Software\\Caf\u00e9", u"More", REG_SZ, Data(u"\u00dc")), ERROR_SUCCESS);
    EXPECT_EQ(Set(u"Software\\Caf\u00e9", u"Far", REG_SZ, Data(u"\u4e2d")), ERROR_INVALID_DATA);
    std::string now = Contents();
    EXPECT_EQ(now, text + "\"More\"=\"\xDC\"\r\n");

    // An edit that would drop its last byte that is not UTF-8 (here after a zero, where the
    // importer reads no further) would have the rest of it read anew as UTF-8: refused.
    const std::string tail = HEADER + "[HKEY_LOCAL_MACHINE\\Platform]\n\"Build\"=\"1\"" +
                             std::string(1, '\0') + "\xAE\n\"Name\"=hex(7):e9,00,00\n";
    Put(tail);
    said = ReadSaying([&] {
        EXPECT_EQ(Set(u"Platform", u"Build", REG_SZ, Data(u"2")), ERROR_INVALID_DATA);
        ExpectValue(u"Platform", u"Name", REG_MULTI_SZ, Data(u"\u00e9\0"));
    });
    EXPECT_NE(said.find(file + ": the edit would leave the file UTF-8 throughout"),
              std::string::npos)
        << said;
    EXPECT_EQ(Contents(), tail);

    // A file that is UTF-8 throughout stays UTF-8.
    Put("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\X]\n\"Name\"=\"\xC3\xAE\"\n");
    said = ReadSaying([&] { ExpectValue(u"Software\\X", u"Name", REG_SZ, Data(u"\u00ee")); });
    EXPECT_EQ(said, "");
}

TEST_F(StoreRegedit, AbbreviatedRootsAreUnknownRootsInAKeyLine)
{
    const std::string text = HEADER + "[HKLM\\Platform]\n\"Build\"=\"400\"\n" +
                             "[HKEY_LOCAL_MACHINE\\Platform]\n\"Build\"=\"388\"\n" +
                             "[-HKLM\\Platform]\n";
    Put(text);
    std::string said = ReadSaying([&] {
        ExpectValue(u"Platform", u"Build", REG_SZ, Data(u"388"));
        EXPECT_TRUE(Exists(u"Platform"));
    });
    EXPECT_NE(said.find(file + ":3: its root is abbreviated, which regedit does not take in a "
                               ".reg file (only the full names, such as HKEY_LOCAL_MACHINE), so "
                               "its values are skipped too; skipped, and kept as it is"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find(file + ":7: its root is abbreviated, which regedit does not take in a "
                               ".reg file (only the full names, such as HKEY_LOCAL_MACHINE); "
                               "regedit stops its import here, this registry reads on"),
              std::string::npos)
        << said;
    // Nothing was deleted through the abbreviation: the value goes in the key's own section. The
    // writer reads that section alone, and says nothing of the lines no key's section holds.
    said = ReadSaying([&] { ASSERT_EQ(SetCode(), ERROR_SUCCESS); });
    EXPECT_EQ(said.find(file + ":4: "), std::string::npos) << said;
    EXPECT_EQ(said.find(file + ":3: "), std::string::npos) << said;
    std::string expected = text;
    expected.insert(expected.find("[-HKLM"), "\"Code\"=dword:0000001d\n");
    EXPECT_EQ(Contents(), expected);
}

// A key line without its closing bracket is passed over and leaves the key before it open; a
// key line under no root closes it. A value set goes after the last line of its own key's.
TEST_F(StoreRegedit, ASkippedKeyLineClosesItsSectionOnlyWhenItNamesAKey)
{
    const std::string text = HEADER + "[HKEY_LOCAL_MACHINE\\Platform]\n\"Build\"=\"388\"\n" +
                             "[HKEY_LOCAL_MACHINE\\Other\n\"Name\"=\"in Platform\"\n" +
                             "[NOWHERE\\Platform]\n\"Lost\"=\"outside\"\n";
    Put(text);
    ReadSaying([&] {
        ExpectValue(u"Platform", u"Name", REG_SZ, Data(u"in Platform"));
        EXPECT_FALSE(Exists(u"Other"));
        DWORD type = 0;
        Bytes data;
        EXPECT_EQ(Get(u"Platform", u"Lost", &type, &data), ERROR_FILE_NOT_FOUND);
    });
    ASSERT_EQ(SetCode(), ERROR_SUCCESS);
    std::string expected = text;
    expected.insert(expected.find("[NOWHERE"), "\"Code\"=dword:0000001d\n");
    EXPECT_EQ(Contents(), expected);
    // Setting a value that exists rewrites its own line, wherever its key's section runs to.
    ASSERT_EQ(Set(u"Platform", u"Name", REG_SZ, Data(u"changed")), ERROR_SUCCESS);
    ExpectValue(u"Platform", u"Name", REG_SZ, Data(u"changed"));
    EXPECT_NE(Contents().find("[HKEY_LOCAL_MACHINE\\Other\n\"Name\"=\"changed\"\n"),
              std::string::npos);
}

TEST_F(StoreRegedit, DeletionsRegeditRefusesAreSaidAndReadOn)
{
    Put(HEADER + "[-HKEY_CLASSES_ROOTS\\Software\\X]\n[-HKEY_LOCAL_MACHINE]\n" +
        "[HKEY_LOCAL_MACHINE\\Platform]\n\"Build\"=\"388\"\n");
    // Readers and writers read the key lines that bear on the keys they ask for.
    std::string said =
        ReadSaying([&] { ExpectValue(u"Platform", u"Build", REG_SZ, Data(u"388")); });
    EXPECT_EQ(said.find(file + ":3: "), std::string::npos) << said;
    said += ReadSaying([&] { ASSERT_EQ(SetCode(), ERROR_SUCCESS); });
    EXPECT_EQ(said.find(file + ":3: "), std::string::npos) << said;
    said += ReadSaying([&] { EXPECT_FALSE(Exists(u"Software\\X")); });
    EXPECT_NE(said.find(file + ":3: not a key under a known root; regedit stops its import "
                               "here, this registry reads on"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find(file + ":4: a root, which no one can delete; regedit stops its import "
                               "here, this registry reads on"),
              std::string::npos)
        << said;
}

TEST_F(StoreRegedit, BlanksBeforeTheHeaderAreSkippedAndOtherHeadersRefused)
{
    const std::string body = "[HKEY_LOCAL_MACHINE\\Platform]\r\n\"Build\"=\"388\"\r\n";
    for (const std::string &text : {"  REGEDIT4\r\n" + body, "\tREGEDIT4\r\n" + body,
                                    " \t" + HEADER + body, Utf16File("  " + HEADER + body)}) {
        Put(text);
        ExpectValue(u"Platform", u"Build", REG_SZ, Data(u"388"));
        ASSERT_EQ(SetCode(), ERROR_SUCCESS);
        EXPECT_EQ(Contents().substr(0, text.size()), text);
    }
    for (const char *header : {"REGEDIT3", "REGEDIT5", "REGEDIT 4", "REGEDIT4FOO"}) {
        const std::string text = std::string(header) + "\r\n" + body;
        Put(text);
        std::string said = ReadSaying([&] {
            EXPECT_FALSE(Exists(u"Platform"));
            EXPECT_EQ(SetCode(), ERROR_ACCESS_DENIED);
        });
        EXPECT_NE(said.find(file + ":1: no \"Windows Registry Editor Version 5.00\""),
                  std::string::npos)
            << header << ": " << said;
        EXPECT_EQ(Contents(), text);
    }
}

TEST_F(StoreRegedit, NamesFoldAsTheRegistryFoldsThem)
{
    // A letter folds only to a capital that folds back to it; letters that share a capital
    // with another keep names of their own (the whole plane is held to Wine's registry by the
    // registry interop test).
    const struct {
        const char *stored; // UTF-8, as the file holds it
        const char16_t *asked;
        bool same;
    } cases[] = {
        {"Build", u"BUILD", true}, {"café", u"CAFÉ", true},    {"σ", u"Σ", true},
        {"ǆ", u"Ǆ", true},         {"Buıld", u"Build", false}, {"Buıld", u"BUILD", false},
        {"ſNMP", u"SNMP", false},  {"µ", u"Μ", false},         {"ς", u"Σ", false},
        {"ϑ", u"Θ", false},        {"ǅ", u"Ǆ", false},         {"ẛ", u"Ṡ", false},
        {"ᲀ", u"В", false},      {"ι", u"Ι", false},
    };
    for (const auto &c : cases) {
        const std::u16string stored = Utf8ToUtf16(c.stored);
        Put(HEADER + "[HKEY_LOCAL_MACHINE\\" + c.stored + "]\n\"" + c.stored + "\"=\"1\"\n");
        DWORD type = 0;
        Bytes data;
        EXPECT_EQ(Exists(c.asked), c.same) << c.stored;
        EXPECT_EQ(Get(stored.c_str(), c.asked, &type, &data),
                  c.same ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND)
            << c.stored;
        // A write of the asked name goes to the stored one's line, or to a line of its own.
        ASSERT_EQ(Set(stored.c_str(), c.asked, REG_SZ, Data(u"2")), ERROR_SUCCESS);
        ExpectValue(stored.c_str(), stored.c_str(), REG_SZ, c.same ? Data(u"2") : Data(u"1"));
    }
}

TEST_F(StoreRegedit, ValueFormsAreReadAsRegeditImportsThem)
{
    // regedit reads each number with the C runtime (blanks, a sign, leading zeros; "0x" in a
    // byte); the registry interop test holds many more forms to Wine's regedit.
    const struct {
        const char *data;
        DWORD type; // 0: no value
        Bytes bytes;
    } cases[] = {
        {"hex( 1):34,30,30,00", REG_SZ, Data(u"400")},
        {"hex(+1):34,30,30,00", REG_SZ, Data(u"400")},
        {"hex(000000001):34,30,30", REG_SZ, Data(u"400")},
        {"hex(-1):01", 0xFFFFFFFF, Data({1})},
        {"hex:0x41,+42, 43,", REG_BINARY, Data({0x41, 0x42, 0x43})},
        {"dword:;no digits", REG_DWORD, Data({0, 0, 0, 0})},
        {"hex(0x1):34,30,30,00", 0, {}},
        {"hex(100000000):34", 0, {}},
        {"hex:41 ,42", 0, {}},
        {"hex:-1", 0, {}},
        {"dword:", 0, {}},
    };
    for (const auto &c : cases) {
        Put("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform]\n\"Build\"=" + std::string(c.data) + "\n");
        DWORD type = 0;
        Bytes data;
        LONG read = ERROR_SUCCESS;
        Said([&] { read = Get(u"Platform", u"Build", &type, &data); });
        EXPECT_EQ(read, c.type != 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND) << c.data;
        if (read == ERROR_SUCCESS) {
            EXPECT_EQ(type, c.type) << c.data;
            EXPECT_EQ(data, c.bytes) << c.data;
        }
    }
}

TEST_F(StoreRegedit, TrailingBackslashesOfAKeyAreDroppedAndDoubledOnesReadAsOne)
{
    Put(HEADER + "[HKEY_LOCAL_MACHINE\\Software\\X\\Sub\\\\\\\\]\n\"V\"=\"four\"\n" +
        "[HKEY_LOCAL_MACHINE\\Software\\Y\\\\]\n\"V\"=\"two\"\n" +
        "[HKEY_LOCAL_MACHINE\\Software\\\\Z]\n\"V\"=\"doubled\"\n" +
        "[HKEY_LOCAL_MACHINE\\\\Software\\W]\n\"V\"=\"empty name\"\n" +
        "[HKEY_LOCAL_MACHINE\\Software\\T\\\\\\Gone]\n\"V\"=\"tripled\"\n" +
        "[-HKEY_LOCAL_MACHINE\\Software\\\\T\\Gone]\n");
    std::string said = ReadSaying([&] {
        ExpectValue(u"Software\\X\\Sub", u"V", REG_SZ, Data(u"four"));
        ExpectValue(u"Software\\Y", u"V", REG_SZ, Data(u"two"));
        for (const char16_t *path :
             {u"Software\\X\\Sub\\", u"Software\\X\\Sub\\\\", u"Software\\X\\Sub\\\\\\"}) {
            HKEY key = NULL;
            EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), ERROR_SUCCESS)
                << Utf16ToUtf8(path);
            RegCloseKey(key);
        }
        // Inside the path, as Wine's regedit reads them, in deletions too; said all the same.
        ExpectValue(u"Software\\Z", u"V", REG_SZ, Data(u"doubled"));
        EXPECT_FALSE(Exists(u"Software\\W"));
        EXPECT_FALSE(Exists(u"Software\\T\\Gone"));
    });
    EXPECT_NE(said.find(file + ":7: backslashes that follow one another in a key name, read as "
                               "one as Wine's regedit reads them"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find(file + ":9: its first key name is empty (a backslash after the root's), "
                               "which no registry holds, so its values are skipped too"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find(file + ":13: backslashes"), std::string::npos) << said;
    EXPECT_EQ(said.find(":3:"), std::string::npos) << said;
}

} // namespace
