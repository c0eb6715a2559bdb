// Tests of the POSIX registry store on files of any size: the shared parse, deep keys, deletions.
#include "platform/posix/store/regstore.h"
#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

namespace {

const char HEADER[] = "Windows Registry Editor Version 5.00\n";

class StoreIndex : public RegistryTest {
  protected:
    std::string file;

    void SetUp() override
    {
        RegistryTest::SetUp();
        file = RegStorePath();
    }

    // The text of a string value, or "(none)".
    std::string Text(const std::u16string &key, const char16_t *name)
    {
        DWORD type = 0;
        std::vector<BYTE> data;
        if (!GetValue(key.c_str(), name, &type, &data) || type != REG_SZ || data.size() < 2)
            return "(none)";
        return Narrow(std::u16string((const char16_t *)data.data(), data.size() / 2).c_str());
    }

    bool Exists(const std::u16string &key) { return KeyExists(key.c_str()); }
};

// Keys K0, K1, ... under Software, each with its values "V0"="t0", "V1"="t1", ...
std::string Sections(int keys, int values, const char *eol = "\n")
{
    std::string text;
    for (int k = 0; k < keys; ++k) {
        text +=
            std::string(eol) + "[HKEY_LOCAL_MACHINE\\Software\\K" + std::to_string(k) + "]" + eol;
        for (int v = 0; v < values; ++v)
            text += "\"V" + std::to_string(v) + "\"=\"t" + std::to_string(v) + "\"" + eol;
    }
    return text;
}

std::u16string Key(int k)
{
    return u"Software\\K" + Utf8ToUtf16(std::to_string(k));
}

TEST_F(StoreIndex, ChangesByOtherWritersAreSeenWhateverTheirSizeAndTime)
{
    PutFileBytes(file, std::string(HEADER) + "[HKEY_LOCAL_MACHINE\\Platform]\n\"Build\"=\"388\"\n");
    EXPECT_EQ(Text(PLATFORM_KEY, u"Build"), "388");
    EXPECT_EQ(Text(PLATFORM_KEY, u"Build"), "388");

    // Rewritten in place, as an editor may: the same file, size and modification time.
    struct stat before;
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    int fd = open(file.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "389", 3, (off_t)FileBytes(file).find("388")), 3);
    close(fd);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    struct stat after;
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    ASSERT_EQ(after.st_ino, before.st_ino);
    ASSERT_EQ(after.st_size, before.st_size);
    ASSERT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    ASSERT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(Text(PLATFORM_KEY, u"Build"), "389");

    // Replaced by a rename, as the store's own writers do; then gone.
    PutFileBytes(file + ".new",
                 std::string(HEADER) + "[HKEY_LOCAL_MACHINE\\Platform]\n\"Build\"=\"400\"\n");
    ASSERT_EQ(rename((file + ".new").c_str(), file.c_str()), 0);
    EXPECT_EQ(Text(PLATFORM_KEY, u"Build"), "400");
    ASSERT_EQ(unlink(file.c_str()), 0);
    EXPECT_FALSE(Exists(PLATFORM_KEY));
}

TEST_F(StoreIndex, EachContentIsReportedOnceAndAgainWhenItComesBack)
{
    const std::string bad =
        std::string(HEADER) + "[HKEY_LOCAL_MACHINE\\Platform]\ngarbage\n\"Build\"=\"1\"\n";
    const std::string good =
        std::string(HEADER) + "[HKEY_LOCAL_MACHINE\\Platform]\n\"Build\"=\"2\"\n";
    PutFileBytes(file, bad);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Text(PLATFORM_KEY, u"Build"), "1");
    EXPECT_EQ(Text(PLATFORM_KEY, u"Build"), "1");
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find(file + ":3: "), std::string::npos) << errors;
    EXPECT_EQ(errors.find(":3: "), errors.rfind(":3: ")) << errors;

    PutFileBytes(file, good);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Text(PLATFORM_KEY, u"Build"), "2");
    PutFileBytes(file, bad);
    EXPECT_EQ(Text(PLATFORM_KEY, u"Build"), "1"); // read afresh, though already reported
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(StoreIndex, QuotedTextsEndAtTheirClosingQuoteOnly)
{
    PutFileBytes(file, std::string(HEADER) + "[HKEY_LOCAL_MACHINE\\Platform]\n"
                                             "\"Trail\"=\"text\\\n"
                                             "\"Slash\\\\\"=\"a\\\\\"\n"
                                             "\"Quote\\\"d\"=\"b\\\"c\"\n"
                                             "\"Open\\\"=\"x\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(Text(PLATFORM_KEY, u"Trail"), "(none)");
    EXPECT_EQ(Text(PLATFORM_KEY, u"Slash\\"), "a\\");
    EXPECT_EQ(Text(PLATFORM_KEY, u"Quote\"d"), "b\"c");
    EXPECT_EQ(Text(PLATFORM_KEY, u"Open\"=\"x"), "(none)");
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find(file + ":3: "), std::string::npos) << errors;
    EXPECT_NE(errors.find(file + ":6: "), std::string::npos) << errors;
    EXPECT_EQ(errors.find(file + ":4: "), std::string::npos) << errors;
}

TEST_F(StoreIndex, ValueOnTheLastLineOfAMillionValueFileIsFound)
{
    std::string text = HEADER + Sections(10000, 100);
    text += "\n[HKEY_LOCAL_MACHINE\\Platform]\n\"Build\"=\"389\""; // no final line ending
    PutFileBytes(file, text);
    EXPECT_EQ(Text(PLATFORM_KEY, u"Build"), "389");
    EXPECT_EQ(Text(Key(0), u"V0"), "t0");
    EXPECT_EQ(Text(Key(9999), u"v99"), "t99");
    EXPECT_EQ(Text(Key(9999), u"V100"), "(none)");
    EXPECT_FALSE(Exists(Key(10000)));
}

TEST_F(StoreIndex, WriteToALargeFileChangesOnlyItsOwnLines)
{
    // Line endings of the file's own kind, a comment inside and no line ending at the end.
    const std::string before = std::string(HEADER, sizeof HEADER - 2) + "\r\n; a comment\r\n" +
                               Sections(1000, 100, "\r\n") + "\"Last\"=\"t\"";
    PutFileBytes(file, before);
    PutString(Key(500).c_str(), u"v50", u"changed");
    std::string expected = before;
    const std::string section = "[HKEY_LOCAL_MACHINE\\Software\\K500]\r\n";
    const std::string line = "\"V50\"=\"t50\"";
    expected.replace(expected.find(line, expected.find(section)), line.size(),
                     "\"V50\"=\"changed\"");
    ASSERT_EQ(FileBytes(file), expected);

    // A new value closes its key's section; a new key is a section at the end.
    PutString(Key(500).c_str(), u"New", u"n");
    size_t next = expected.find("[HKEY_LOCAL_MACHINE\\Software\\K501]");
    expected.insert(next - 2, "\"New\"=\"n\"\r\n");
    ASSERT_EQ(FileBytes(file), expected);
    PutString(u"Software\\Added", u"A", u"a");
    expected += "\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Added]\r\n\"A\"=\"a\"\r\n";
    EXPECT_EQ(FileBytes(file), expected);
}

TEST_F(StoreIndex, KeysDeeperOrLongerThanWindowsHoldsAreBadLines)
{
    std::string deepest = "HKEY_LOCAL_MACHINE";
    for (int level = 0; level < 512; ++level)
        deepest += "\\L";
    const std::string longest(255, 'n');
    std::string text = HEADER;
    text += "[" + deepest + "]\n\"V\"=\"deepest\"\n";
    text += "[" + deepest + "\\Deeper]\n\"V\"=\"too deep\"\n";
    text += "[HKEY_LOCAL_MACHINE\\" + longest + "]\n\"V\"=\"longest\"\n";
    text += "[HKEY_LOCAL_MACHINE\\" + longest + "x\\Child]\n\"V\"=\"too long\"\n";
    // Far deeper: read in time proportional to its length, and refused all the same.
    text += "[HKEY_LOCAL_MACHINE";
    for (int level = 0; level < 20000; ++level)
        text += "\\Very";
    text += "]\n[-HKEY_LOCAL_MACHINE\\" + longest + "x]\n";
    PutFileBytes(file, text);

    testing::internal::CaptureStderr();
    std::u16string key = Utf8ToUtf16(deepest.substr(sizeof "HKEY_LOCAL_MACHINE"));
    EXPECT_EQ(Text(key, u"V"), "deepest");
    EXPECT_TRUE(Exists(key.substr(0, 511))); // 256 levels up
    EXPECT_EQ(Text(key + u"\\Deeper", u"V"), "(none)");
    EXPECT_FALSE(Exists(key + u"\\Deeper"));
    EXPECT_EQ(Text(Utf8ToUtf16(longest), u"V"), "longest");
    EXPECT_FALSE(Exists(Utf8ToUtf16(longest + "x")));
    EXPECT_FALSE(Exists(u"Very"));
    std::string errors = testing::internal::GetCapturedStderr();
    for (const char *line : {":4: ", ":8: ", ":10: ", ":11: "})
        EXPECT_NE(errors.find(file + line), std::string::npos) << line << "\n" << errors;
    for (const char *line : {":2: ", ":3: ", ":6: ", ":7: "})
        EXPECT_EQ(errors.find(file + line), std::string::npos) << line << "\n" << errors;
}

TEST_F(StoreIndex, ManyKeyDeletionsApplyInFileOrder)
{
    // Every key with a subkey; then the even ones deleted; then every fourth made anew.
    const int keys = 2000;
    std::string text = HEADER + Sections(keys, 1);
    for (int k = 0; k < keys; ++k)
        text += "[HKEY_LOCAL_MACHINE\\Software\\K" + std::to_string(k) + "\\Sub]\n";
    for (int k = 0; k < keys; k += 2)
        text += "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\k" + std::to_string(k) + "]\n";
    for (int k = 0; k < keys; k += 4)
        text += "[HKEY_LOCAL_MACHINE\\Software\\K" + std::to_string(k) + "]\n\"W\"=\"new\"\n";
    PutFileBytes(file, text);

    RegDocument doc;
    RegStoreParse(doc, file, text);
    RegTree tree = RegStoreEvaluate(doc);
    EXPECT_EQ(tree.size(), 2u + keys + keys / 4); // the root, Software, the odd keys and their
                                                  // subkeys, and the keys made anew
    for (int k : {0, 1, 2, 3, 4, 1001, 1998, 1999}) {
        std::u16string folded = RegStoreFold(Key(k));
        bool odd = k % 2 == 1;
        bool anew = k % 4 == 0;
        EXPECT_EQ(Exists(Key(k)), odd || anew) << k;
        EXPECT_EQ(tree.count(folded), odd || anew ? 1u : 0u) << k;
        EXPECT_EQ(Exists(Key(k) + u"\\Sub"), odd) << k;
        EXPECT_EQ(tree.count(folded + u"\\SUB"), odd ? 1u : 0u) << k;
        EXPECT_EQ(Text(Key(k), u"V0"), odd ? "t0" : "(none)") << k;
        EXPECT_EQ(Text(Key(k), u"W"), anew ? "new" : "(none)") << k;
        EXPECT_EQ(RegStoreQueryValue(doc, folded, u"W", NULL), anew) << k;
        EXPECT_EQ(tree.count(folded) != 0 && tree[folded].count(u"W") != 0, anew) << k;
    }
}

// Plain value lines are read by a quick path straight from the bytes; a blank before a line
// leaves it to the full reading, so each line's two readings can be held side by side.
TEST(StoreQuickReading, MeansWhatTheFullReadingMeans)
{
    const std::vector<std::string> lines = {
        "\"Name\"=\"text\"",
        "\"\"=\"\"",
        "\"a b;c\"=\"x;y [z]\"",
        "\"Tab\t\"=\"t\ta\"",
        "\"Esc\\\\\"=\"a\"",
        "\"N\"=\"a\\\\b\\\"c\"",
        "\"N\"=\"open",
        "\"N\"=\"x\" tail",
        "\"N\"= \"x\"",
        "\"N\" =\"x\"",
        "\"N\"=\"x\"  ",
        "\"caf\xC3\xA9\"=\"x\"",
        "\"N\"=\"caf\xC3\xA9\"",
        std::string("\"N\"=\"a\0b\"", 9),
        std::string("\"N\0\"=\"a\"", 8),
        "\"N\"=hex:01",
        "\"N\"=\"x\"\"",
        // Cut short, as a file's last line can be.
        "\"Name",
        "\"N\"",
        "\"N\"=",
        "\"N\"=\"",
    };
    for (const std::string &line : lines) {
        for (const std::string eol : {"\n", "\r\n", "\r", ""}) {
            const std::string head = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n";
            const std::string tail = eol.empty() ? "" : "\"After\"=\"1\"\n";
            RegDocument quick;
            RegDocument full;
            RegStoreParse(quick, "r.reg", head + line + eol + tail);
            RegStoreParse(full, "r.reg",
                          head + " " + line + eol + (tail.empty() ? "" : " " + tail));
            SCOPED_TRACE(testing::PrintToString(line) + " " + testing::PrintToString(eol));
            ASSERT_EQ(quick.entries.size(), full.entries.size());
            int quickSection = -1;
            int fullSection = -1;
            for (size_t e = 0; e < quick.entries.size(); ++e) {
                EXPECT_EQ(quick.entries[e].kind, full.entries[e].kind) << e;
                quickSection = RegStoreSectionAfter(quick.entries[e], e, quickSection);
                fullSection = RegStoreSectionAfter(full.entries[e], e, fullSection);
                EXPECT_EQ(quickSection, fullSection) << e;
                EXPECT_EQ(quick.entries[e].id, full.entries[e].id) << e;
            }
            EXPECT_EQ(quick.diagnostics.size(), full.diagnostics.size());
            RegTree a = RegStoreEvaluate(quick);
            RegTree b = RegStoreEvaluate(full);
            ASSERT_EQ(a.size(), b.size());
            for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
                EXPECT_EQ(x->first, y->first);
                ASSERT_EQ(x->second.size(), y->second.size());
                for (auto v = x->second.begin(), w = y->second.begin(); v != x->second.end();
                     ++v, ++w) {
                    EXPECT_EQ(v->first, w->first);
                    EXPECT_EQ(v->second.type, w->second.type);
                    EXPECT_EQ(v->second.data, w->second.data);
                }
            }
            EXPECT_EQ(RegStoreSerialize(quick), head + line + eol + tail);
        }
    }
}

// The reading of key lines alone, streamed through buffers of several sizes, against the full
// reading of the same bytes: the same key lines, the same keys and values, and what it says of a
// line said as the full reading says it.
TEST(StoreKeyLineReading, MeansWhatTheFullReadingMeans)
{
    const std::string K = "[HKEY_LOCAL_MACHINE\\";
    const std::vector<std::string> texts = {
        "REGEDIT4\n" + K + "A]\n\"V\"=\"1\"\n\n" + K + "A\\B]\n@=\"d\"\n" + K +
            "A]\n\"V\"=-\n\"W\"=\"2\"\n",
        // A continued hex value takes the next line that means anything, `[` or not.
        "REGEDIT4\n" + K + "A]\n\"B\"=hex:01,\\\n" + K + "X]\n\"V\"=\"in A\"\n",
        "REGEDIT4\r\n" + K + "A]\r\n\"B\"=hex:01,\\ ; c\\\r\n\r\n; [x]\r\n  " + K +
            "X]\r\n\"V\"=\"1\"\r\n",
        "REGEDIT4\r" + K + "A]\r\"B\"=hex(7):61,00,\\\r  62,00,\\\r\t" + K + "X]\r\"V\"=\"1\"\r",
        std::string("REGEDIT4\n") + K + "A]\n\"B\"=hex:01,\\\0junk\n" + K + "X]\n\"V\"=\"1\"\n",
        std::string("REGEDIT4\n") + K + "P]\0]\n\"V\"=\"1\"\n" + K + "Q]\0\n",
        // Backslashes that continue nothing.
        "REGEDIT4\n" + K + "A]\n\"P\"=\"\\\\Windows\\\\\"\n" + K + "X]\n\"T\"=\"text\\\n" + K +
            "Y]\n\"S\"=\"a;b\\\\\"\n" + K + "Z]\n\"V\"=\"1\"\n",
        // Lines opening with `[` that are no key lines, and key lines that name no key.
        "REGEDIT4\n" + K + "A]\n[ HKEY_LOCAL_MACHINE\\X]\n\"V\"=\"still A\"\n" + K +
            "Open\n\"W\"=\"still A\"\n\"Q\"=\"[HKEY_LOCAL_MACHINE\\Y]\"\n[HKLM\\A]\n\"L\"=\"1\"\n",
        "REGEDIT4\n\"Orphan\"=\"1\"\n" + K + "A\\B]\n\"V\"=\"1\"\n[-" + K + "A]\n" + K +
            "A\\\\C]\n\"V\"=\"2\"\n[-HKEY_LOCAL_MACHINE]\n[FOO\\X]\n\"V\"=\"3\"\n" + K + "\\E]\n",
        // Where the file ends inside a key line, or a value after it.
        "REGEDIT4\n" + K + "A]\n" + K + "Last]",
        "REGEDIT4\n" + K + "A]\n\"B\"=hex:01,\\",
        "Windows Registry Editor Version 5.00\n\n" + K + "A]\n\n" + std::string(40, ' ') + K +
            "Far]\n\"V\"=\"1\"\n",
        // Text beyond ASCII: UTF-8, with and without its mark, and Windows-1252.
        "REGEDIT4\n" + K + "Caf\xC3\xA9]\n\"N\xC3\xA9\"=\"\xC3\xA9t\xC3\xA9\"\n" + K +
            "\xE2\x82\xAC]\n",
        "\xEF\xBB\xBFREGEDIT4\n" + K + "Caf\xC3\xA9]\n\"V\"=\"1\"\n" + K + "B\xFF]\n\"V\"=\"2\"\n",
        "REGEDIT4\n" + K + "Caf\xE9]\n\"V\"=\"\xE9\"\n" + K + "\xC3\xA9]\n\"V\"=\"2\"\n",
        "REGEDIT4\n" + K + "Caf\xE9]\n\"V\"=\"1\"\n" + K +
            "B]\n\"V\"=\"2\"\n", // in a key line alone
        [&] {                    // ... and there, past pages of ASCII
            std::string text = "REGEDIT4\n";
            for (int k = 0; text.size() < 20000; ++k)
                text +=
                    K + "A" + std::to_string(k % 5) + "]\n\"V\"=\"" + std::to_string(k) + "\"\n";
            return text + K + "Caf\xE9]\n\"V\"=\"\xE9\"\n" + K + "A1]\n\"W\"=\"2\"\n";
        }(),
        "REGEDIT3\n" + K + "A]\n",
        std::string("REGEDIT4\0\xFF no line ending", 24), // a foreign byte in the header alone
        "",
        // Pages of it, so that windows and buffers part it everywhere: at key lines, inside
        // continued values and characters.
        [&] {
            std::string text = "REGEDIT4\r\n";
            for (int k = 0; text.size() < 20000; ++k)
                text +=
                    K + "P\xC3\xA9" + std::to_string(k % 7) + "]\r\n\"V\"=\"" +
                    std::string((size_t)k % 50, 'x') + "\"\r\n\"H\"=hex:01,\\\r\n  02,\\\r\n" +
                    (k % 3 == 0 ? "; [no key]\r\n" : "") + "  03\r\n" +
                    (k % 5 == 0 ? "[-" + K + "P\xC3\xA9" + std::to_string(k % 4) + "]\r\n" : "");
            return text;
        }(),
    };
    for (const std::string &text : texts) {
        RegDocument full;
        RegStoreParse(full, "r.reg", text);
        std::vector<std::u16string> keys = {u"", u"NOWHERE"};
        std::vector<std::u16string> names = {u"", u"ABSENT"};
        for (size_t k = 0; k < full.keyStarts.size(); ++k) {
            size_t end =
                k + 1 < full.keyStarts.size() ? full.keyStarts[k + 1] : full.keyText.size();
            keys.push_back(full.keyText.substr(full.keyStarts[k], end - full.keyStarts[k]));
        }
        for (const auto &key : RegStoreEvaluate(full))
            for (const auto &value : key.second)
                names.push_back(value.first);
        for (auto *list : {&keys, &names}) {
            std::sort(list->begin(), list->end());
            list->erase(std::unique(list->begin(), list->end()), list->end());
        }
        FILE *stream = tmpfile();
        ASSERT_NE(stream, nullptr);
        ASSERT_EQ(fwrite(text.data(), 1, text.size(), stream), text.size());
        fflush(stream);
        for (size_t chunk : {5, 16, 64, 65536})
            for (bool mapped : {false, true}) {
                SCOPED_TRACE(testing::PrintToString(text.substr(0, 200)) + " through " +
                             std::to_string(chunk) + (mapped ? ", mapped" : ""));
                RegDocument index;
                ASSERT_EQ(lseek(fileno(stream), 0, SEEK_SET), 0);
                ASSERT_EQ(RegStoreIndex(index, fileno(stream), "r.reg", chunk, mapped), 0);
                EXPECT_EQ(index.valid, full.valid);
                EXPECT_EQ(index.eol, full.eol);
                size_t at = 0;
                for (const RegEntry &entry : full.entries) {
                    if (entry.kind != RegEntryKind::Key && entry.kind != RegEntryKind::DeleteKey &&
                        entry.kind != RegEntryKind::SkippedKey)
                        continue;
                    ASSERT_LT(at, index.entries.size());
                    EXPECT_EQ(index.entries[at++].begin, entry.begin);
                }
                EXPECT_EQ(at, index.entries.size());
                for (const std::string &line : index.diagnostics)
                    EXPECT_NE(std::find(full.diagnostics.begin(), full.diagnostics.end(), line),
                              full.diagnostics.end())
                        << line;
                for (const std::u16string &key : keys) {
                    EXPECT_EQ(RegStoreKeyExists(index, key), RegStoreKeyExists(full, key));
                    for (const std::u16string &name : names) {
                        RegValue a{0, {}};
                        RegValue b{0, {}};
                        EXPECT_EQ(RegStoreQueryValue(index, key, name, &a),
                                  RegStoreQueryValue(full, key, name, &b));
                        EXPECT_EQ(a.type, b.type);
                        EXPECT_EQ(a.data, b.data);
                    }
                }
            }
        // Each edit of the reading, made in the stretch of the file it touches, writes what the
        // whole file's edit writes, or leaves the edit to it: only where a value line may go on
        // into the key line after it, or a foreign byte that sets the file's code page may go.
        const bool plain = text.find('\\', text.find(']')) == std::string::npos &&
                           std::all_of(text.begin(), text.end(), [](char c) { return c > 0; });
        keys.push_back(u"New\\Key");
        const BYTE code[] = {29, 0, 0, 0};
        for (const std::u16string &key : keys)
            for (const std::u16string &name : names)
                for (int kind = 0; kind < 3 && full.valid; ++kind) {
                    SCOPED_TRACE(testing::PrintToString(text) + " " + Narrow(key.c_str()) + " " +
                                 Narrow(name.c_str()) + " " + std::to_string(kind));
                    auto apply = [&](RegDocument &doc) -> LONG {
                        if (kind == 0)
                            return RegStoreCreateKey(doc, key) ? ERROR_SUCCESS : ERROR_INVALID_DATA;
                        if (kind == 1)
                            return RegStoreSetValue(doc, key, name, REG_DWORD, code, 4);
                        return RegStoreDeleteValue(doc, key, name);
                    };
                    std::string bytes;
                    LONG result = RegStoreEdit(full, apply, bytes);
                    RegDocument index;
                    ASSERT_EQ(lseek(fileno(stream), 0, SEEK_SET), 0);
                    ASSERT_EQ(RegStoreIndex(index, fileno(stream), "r.reg"), 0);
                    LONG got = apply(index);
                    EXPECT_TRUE(!index.needsWhole || !plain);
                    if (index.needsWhole)
                        continue;
                    EXPECT_EQ(got, result);
                    ASSERT_EQ(index.modified, !bytes.empty());
                    if (index.modified) {
                        EXPECT_EQ(text.substr(0, index.spliceAt) + index.spliceBytes +
                                      text.substr(index.spliceAt + index.spliceCut),
                                  bytes);
                    }
                }
        fclose(stream);
    }
}

// A file that another process cuts short and writes again while it is read, mapped a window at a
// time, its key lines' brackets blanked every other time: a page taken away from under the
// reading does not end the process, nor does a line that changes between a look and a copy.
TEST(StoreKeyLineReading, FileCutShortOrRewrittenWhileItIsMappedIsReadAgain)
{
    const std::string text = "REGEDIT4\n" + Sections(2000, 20);
    std::string blanked = text;
    std::replace(blanked.begin(), blanked.end(), '[', ' ');
    char path[] = "/tmp/zembrel-cut-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
    pid_t cutter = fork();
    ASSERT_GE(cutter, 0);
    if (cutter == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL); // it goes with the test, however that ends
        int out = open(path, O_WRONLY);
        for (;;)
            if (ftruncate(out, (off_t)text.size() / 3) != 0 ||
                pwrite(out, text.data(), text.size(), 0) != (ssize_t)text.size() ||
                pwrite(out, blanked.data(), text.size(), 0) != (ssize_t)text.size())
                _exit(1);
    }
    for (int round = 0; round < 300; ++round) {
        RegDocument index;
        ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
        EXPECT_EQ(RegStoreIndex(index, fd, "r.reg", 4096, true), 0);
    }
    kill(cutter, SIGKILL);
    waitpid(cutter, NULL, 0);
    close(fd);
    unlink(path);
}

} // namespace
