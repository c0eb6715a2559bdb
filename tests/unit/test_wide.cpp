// Tests of the 16-bit wide-string runtime the system calls: wsprintfW, wcs* and wcstol.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <string>

namespace {

typedef std::basic_string<WCHAR> Text;

// Every case starts from a buffer of sentinels, so a character the call never wrote shows.
struct Formatted {
    WCHAR buffer[2048];
    int result;
    Formatted() : result(-12345)
    {
        for (WCHAR &c : buffer)
            c = (WCHAR)0xBEEF;
    }
    Text text() const { return Text(buffer); }
};

TEST(WsprintfW, CopiesPlainTextAndPercent)
{
    Formatted f;
    f.result = wsprintfW(f.buffer, TEXT("Cmd: 100%% sure\n"));
    EXPECT_EQ(f.text(), Text(TEXT("Cmd: 100% sure\n")));
    EXPECT_EQ(f.result, 15);
}

TEST(WsprintfW, FormatsWideStringsAndCharacters)
{
    Formatted f;
    f.result = wsprintfW(f.buffer, TEXT("Cmd: %s|%c|%s"), TEXT("-DHCP  -NoZEMBRL"), (int)TEXT('x'),
                         TEXT(""));
    EXPECT_EQ(f.text(), Text(TEXT("Cmd: -DHCP  -NoZEMBRL|x|")));
    EXPECT_EQ(f.result, (int)f.text().size());
}

TEST(WsprintfW, FormatsSignedAndUnsignedDecimals)
{
    Formatted f;
    f.result = wsprintfW(f.buffer, TEXT("%d %i %d %u %u"), 389, -42, (int)INT32_MIN, 0u,
                         (unsigned)0xFFFFFFFFu);
    EXPECT_EQ(f.text(), Text(TEXT("389 -42 -2147483648 0 4294967295")));
    EXPECT_EQ(f.result, (int)f.text().size());
}

TEST(WsprintfW, FormatsHexInBothCases)
{
    Formatted f;
    wsprintfW(f.buffer, TEXT("%x %X %x"), 0xBEEFu, 0xBEEFu, 0u);
    EXPECT_EQ(f.text(), Text(TEXT("beef BEEF 0")));
}

// LONG and DWORD arrive as 32-bit values; 'h' takes the whole promoted argument as well.
TEST(WsprintfW, SizePrefixesReadDeviceSizedArguments)
{
    Formatted f;
    wsprintfW(f.buffer, TEXT("%ld %lu %lx %hd %hu"), (LONG)-7, (DWORD)4000000000u,
              (DWORD)0xDEADBEEFu, 0xFFFF, 0x12345);
    EXPECT_EQ(f.text(), Text(TEXT("-7 4000000000 deadbeef 65535 74565")));
}

TEST(WsprintfW, PadsToWidthWithFlags)
{
    Formatted f;
    wsprintfW(f.buffer, TEXT("[%5d][%-5d][%05d][%05d][%6s][%-6s][%3c][%08X]"), 42, 42, 42, -42,
              TEXT("ab"), TEXT("ab"), (int)TEXT('z'), 0xABCu);
    EXPECT_EQ(f.text(), Text(TEXT("[   42][42   ][00042][-0042][    ab][ab    ][  z][00000ABC]")));
}

TEST(WsprintfW, WidthNarrowerThanTheValueTruncatesNothing)
{
    Formatted f;
    wsprintfW(f.buffer, TEXT("%2d|%1s"), 123456, TEXT("long"));
    EXPECT_EQ(f.text(), Text(TEXT("123456|long")));
}

// Win32 stops at 1024 characters including the terminator, however long the argument.
TEST(WsprintfW, OutputStopsAt1024CharactersWithTerminator)
{
    Text longText(2000, TEXT('a'));
    Formatted f;
    f.result = wsprintfW(f.buffer, TEXT("Cmd: %s"), longText.c_str());
    Text expected = Text(TEXT("Cmd: ")) + Text(1018, TEXT('a'));
    EXPECT_EQ(f.text(), expected);
    EXPECT_EQ(f.buffer[1023], 0);
    EXPECT_EQ(f.buffer[1024], (WCHAR)0xBEEF);
    EXPECT_EQ(f.result, 1024); // cut short
}

TEST(WsprintfW, OutputJustUnderTheCapIsWhole)
{
    Text text(1023, TEXT('b'));
    Formatted f;
    f.result = wsprintfW(f.buffer, TEXT("%s"), text.c_str());
    EXPECT_EQ(f.text(), text);
    EXPECT_EQ(f.result, 1024); // whole, but it filled the buffer
    Text shorter(1022, TEXT('c'));
    f.result = wsprintfW(f.buffer, TEXT("%s"), shorter.c_str());
    EXPECT_EQ(f.result, 1022);
}

TEST(WideStrings, LengthCopyAndConcatenate)
{
    WCHAR buffer[32];
    for (WCHAR &c : buffer)
        c = (WCHAR)0xBEEF;
    EXPECT_EQ(wcscpy(buffer, TEXT("-DHCP")), buffer);
    EXPECT_EQ(wcslen(buffer), 5u);
    EXPECT_EQ(buffer[6], (WCHAR)0xBEEF);
    EXPECT_EQ(wcscat(buffer, TEXT(" -NoZEMBRL")), buffer);
    EXPECT_EQ(Text(buffer), Text(TEXT("-DHCP -NoZEMBRL")));
    EXPECT_EQ(buffer[16], (WCHAR)0xBEEF);
    EXPECT_EQ(wcscat(buffer, TEXT("")), buffer);
    EXPECT_EQ(wcslen(buffer), 15u);

    WCHAR empty[4] = {0, 0x1234, 0x1234, 0x1234};
    wcscat(empty, TEXT("ab"));
    EXPECT_EQ(Text(empty), Text(TEXT("ab")));
    EXPECT_EQ(wcslen(TEXT("")), 0u);
}

TEST(WideStrings, SearchFindsFirstExactOccurrence)
{
    WCHAR line[] = TEXT("-DHCP -NoUPGRADE -SNMP -NoUPGRADE");
    WCHAR *found = wcsstr(line, TEXT("-NoUPGRADE"));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found - line, 6);
    EXPECT_EQ(wcsstr(line, TEXT("-noupgrade")), nullptr); // case matters
    EXPECT_EQ(wcsstr(line, TEXT("-NoUPGRADEX")), nullptr);
    EXPECT_EQ(wcsstr(line, TEXT("")), line);
    EXPECT_EQ(wcsstr(line, TEXT("SNMP -NoUPGRADE")), line + 18);

    const WCHAR *constant = TEXT("aaab");
    EXPECT_EQ(wcsstr(constant, TEXT("aab")), constant + 1); // a partial match backs off
    EXPECT_EQ(wcsstr(constant, TEXT("aaabb")), nullptr);    // no reading past the end
}

struct Parsed {
    LONG value;
    ptrdiff_t consumed; // characters before the end pointer
};

Parsed Wcstol(const WCHAR *text, int base = 10)
{
    WCHAR *end = (WCHAR *)(uintptr_t)0xdeadbeef;
    LONG value = wcstol(text, &end, base);
    return Parsed{value, end - text};
}

TEST(Wcstol, SkipsLeadingWhiteSpaceAndTakesASign)
{
    Parsed p = Wcstol(TEXT(" \t\n\v\f\r389"));
    EXPECT_EQ(p.value, 389);
    EXPECT_EQ(p.consumed, 9);
    EXPECT_EQ(Wcstol(TEXT("+389")).value, 389);
    EXPECT_EQ(Wcstol(TEXT("-1")).value, -1);
    EXPECT_EQ(Wcstol(TEXT("  -0")).value, 0);
}

TEST(Wcstol, StopsAtTheFirstNonDigit)
{
    Parsed p = Wcstol(TEXT("389abc"));
    EXPECT_EQ(p.value, 389);
    EXPECT_EQ(p.consumed, 3);
    p = Wcstol(TEXT("0x200"));
    EXPECT_EQ(p.value, 0);
    EXPECT_EQ(p.consumed, 1);
    p = Wcstol(TEXT("12 34"));
    EXPECT_EQ(p.value, 12);
    EXPECT_EQ(p.consumed, 2);
}

TEST(Wcstol, NoDigitsGivesZeroAndEndAtTheStart)
{
    for (const WCHAR *text : {TEXT(""), TEXT("abc"), TEXT("   "), TEXT("-"), TEXT(" +x")}) {
        Parsed p = Wcstol(text);
        EXPECT_EQ(p.value, 0);
        EXPECT_EQ(p.consumed, 0);
    }
}

// The device's long is 32 bits wide, whatever the host's is.
TEST(Wcstol, OutOfRangeSaturatesAtThe32BitLimits)
{
    errno = 0;
    Parsed p = Wcstol(TEXT("99999999999"));
    EXPECT_EQ(p.value, (LONG)INT32_MAX);
    EXPECT_EQ(p.consumed, 11);
    EXPECT_EQ(errno, ERANGE);
    p = Wcstol(TEXT("-99999999999x"));
    EXPECT_EQ(p.value, (LONG)INT32_MIN);
    EXPECT_EQ(p.consumed, 12);
    EXPECT_EQ(Wcstol(TEXT("2147483648")).value, (LONG)INT32_MAX);
    EXPECT_EQ(Wcstol(TEXT("-2147483649")).value, (LONG)INT32_MIN);
    EXPECT_EQ(Wcstol(TEXT("4294967296")).value, (LONG)INT32_MAX);
}

TEST(Wcstol, ValuesAtTheLimitsAreExact)
{
    errno = 0;
    EXPECT_EQ(Wcstol(TEXT("2147483647")).value, (LONG)INT32_MAX);
    EXPECT_EQ(Wcstol(TEXT("-2147483648")).value, (LONG)INT32_MIN);
    EXPECT_EQ(errno, 0);
}

TEST(Wcstol, OtherBases)
{
    EXPECT_EQ(Wcstol(TEXT("0x1F"), 16).value, 31);
    EXPECT_EQ(Wcstol(TEXT("1f"), 16).value, 31);
    EXPECT_EQ(Wcstol(TEXT("0x1F"), 0).value, 31);
    EXPECT_EQ(Wcstol(TEXT("017"), 0).value, 15);
    EXPECT_EQ(Wcstol(TEXT("17"), 0).value, 17);
    EXPECT_EQ(Wcstol(TEXT("1012"), 2).value, 5);
    EXPECT_EQ(Wcstol(TEXT("zz"), 36).value, 35 * 36 + 35);
    EXPECT_EQ(Wcstol(TEXT("-80000000"), 16).value, (LONG)INT32_MIN);
    EXPECT_EQ(Wcstol(TEXT("80000000"), 16).value, (LONG)INT32_MAX);
}

TEST(Wcstol, AcceptsANullEndPointer)
{
    EXPECT_EQ(wcstol(TEXT("400"), NULL, 10), 400);
}

} // namespace
