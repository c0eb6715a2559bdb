// Tests of the port's text conversion and its lines on standard error.
#include "platform/posix/port.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TextConversion, RoundTripsEveryPlane)
{
    std::u16string text = u"Cmd: -DHCP caf\u00e9 \u20ac \U0001F600 \uFFFF";
    std::string utf8 = "Cmd: -DHCP caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xef\xbf\xbf";
    EXPECT_EQ(Utf16ToUtf8(text), utf8);
    EXPECT_EQ(Utf8ToUtf16(utf8), text);
    EXPECT_EQ(Utf16ToUtf8(u""), "");
    EXPECT_EQ(Utf8ToUtf16(""), u"");
    EXPECT_EQ(Utf16ToUtf8(std::u16string(u"a\0b", 3)), std::string("a\0b", 3));
}

TEST(TextConversion, UnpairedSurrogatesBecomeReplacementCharacters)
{
    EXPECT_EQ(Utf16ToUtf8(u"a\xd800"), "a\xef\xbf\xbd");
    EXPECT_EQ(Utf16ToUtf8(u"\xdc00z"), "\xef\xbf\xbdz");
    EXPECT_EQ(Utf16ToUtf8(u"\xd800\xd800\xdc00"), "\xef\xbf\xbd\xf0\x90\x80\x80");
}

TEST(TextConversion, MalformedUtf8BecomesOneReplacementPerBadSequence)
{
    EXPECT_EQ(Utf8ToUtf16(std::string("a\xff") + "b"), u"a\uFFFDb");
    EXPECT_EQ(Utf8ToUtf16("\xc0\xaf"), u"\uFFFD\uFFFD");                     // overlong '/'
    EXPECT_EQ(Utf8ToUtf16("\xed\xa0\x80"), u"\uFFFD\uFFFD\uFFFD");           // an encoded surrogate
    EXPECT_EQ(Utf8ToUtf16("\xf4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD"); // past U+10FFFF
    EXPECT_EQ(Utf8ToUtf16(std::string("\xe2\x82") + "x"), u"\uFFFDx"); // truncated, then valid text
    EXPECT_EQ(Utf8ToUtf16("\xf0\x9f\x98"), u"\uFFFD");                 // truncated at the end
    EXPECT_EQ(Utf8ToUtf16("\x80"), u"\uFFFD");
}

// Arguments: every byte that is not UTF-8 has a unit of its own and comes back as itself.
TEST(LosslessConversion, BytesThatAreNotUtf8ComeBackUnchanged)
{
    std::string bytes =
        std::string("-DHCP \xff caf\xc3\xa9 \xc3 \xed\xa0\x80 \xf0\x9f\x98 \xc0\xaf") +
        "\xf4\x90\x80\x80 \xf0\x9f\x98\x80";
    std::u16string wide = Utf8ToUtf16Lossless(bytes);
    EXPECT_EQ(wide, u"-DHCP \xdcff caf\u00e9 \xdcc3 \xdced\xdca0\xdc80 \xdcf0\xdc9f\xdc98 "
                    u"\xdcc0\xdcaf\xdcf4\xdc90\xdc80\xdc80 \U0001F600");
    EXPECT_EQ(Utf16ToUtf8Lossless(wide), bytes);
    // The options are still found in such a line: the escapes are units like any other.
    EXPECT_EQ(Utf16ToUtf8Lossless(Utf8ToUtf16Lossless("\x80-NoUPGRADE")), "\x80-NoUPGRADE");

    // Every byte value, alone and after a lead byte that wants more.
    for (int b = 0; b < 256; ++b) {
        for (const std::string &text : {std::string(1, (char)b), "\xe2" + std::string(1, (char)b),
                                        std::string(1, (char)b) + "\x82\xac"}) {
            std::u16string units = Utf8ToUtf16Lossless(text);
            EXPECT_EQ(Utf16ToUtf8Lossless(units), text) << "byte " << b;
            for (char16_t unit : units)
                EXPECT_FALSE(unit == 0xFFFD) << "byte " << b;
        }
    }
}

// Units no bytes can stand for still become U+FFFD; well-formed text reads as it always did.
TEST(LosslessConversion, OtherLoneSurrogatesAndValidTextAreAsBefore)
{
    EXPECT_EQ(Utf16ToUtf8Lossless(u"a\xd800"
                                  u"b\xdc7f\xdd00"),
              "a\xef\xbf\xbd"
              "b\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(Utf16ToUtf8Lossless(u"\xd83d\xdc80"), "\xf0\x9f\x92\x80"); // a pair, not an escape
    std::string utf8 = "Cmd: caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80";
    EXPECT_EQ(Utf8ToUtf16Lossless(utf8), Utf8ToUtf16(utf8));
    EXPECT_EQ(Utf16ToUtf8Lossless(Utf8ToUtf16(utf8)), utf8);
    // The store's conversion is not the lossless one: a .reg file gets no stray bytes.
    EXPECT_EQ(Utf16ToUtf8(u"\xdcff"), "\xef\xbf\xbd");
    EXPECT_EQ(Utf8ToUtf16("\xff"), u"\uFFFD");
}

// The debug line shows the bytes the upgrade program gets.
TEST(DebugChannel, CarriesArgumentBytesThatAreNotUtf8)
{
    std::u16string parameters = Utf8ToUtf16Lossless("-DHCP \xff\xfe -NoZEMBRL");
    testing::internal::CaptureStderr();
    NKDbgPrintfW(TEXT("Cmd: %s\n"), parameters.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cmd: -DHCP \xff\xfe -NoZEMBRL\n");
}

TEST(TextConversion, WideToStringTakesNullAsEmpty)
{
    EXPECT_EQ(WideToString(NULL), u"");
    EXPECT_EQ(WideToString(u"Build"), u"Build");
}

TEST(DebugChannel, WritesFormattedUtf8ToStandardError)
{
    testing::internal::CaptureStderr();
    NKDbgPrintfW(TEXT("Cmd: %s %d%%\n"), TEXT("caf\x00e9 -NoZEMBRL"), 42);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cmd: caf\xc3\xa9 -NoZEMBRL 42%\n");
}

// Unlike wsprintfW, the channel has no 1024-character cap.
TEST(DebugChannel, LongLinesComeOutWhole)
{
    std::u16string line(5000, u'x');
    testing::internal::CaptureStderr();
    NKDbgPrintfW(TEXT("Cmd: %s\n"), line.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cmd: " + std::string(5000, 'x') + "\n");
}

// The port's own lines carry its name, whole, however long the path in them.
TEST(PortDiagnostics, OneLinePrefixedWithTheProgramName)
{
    std::string path(3000, 'p');
    testing::internal::CaptureStderr();
    WriteDiagnostic("cannot start %s: %s", path.c_str(), "Argument list too long");
    WriteDiagnostic("%s", "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "zembrel: cannot start " + path + ": Argument list too long\nzembrel: \n");
}

} // namespace
