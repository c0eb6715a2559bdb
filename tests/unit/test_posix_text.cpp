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
