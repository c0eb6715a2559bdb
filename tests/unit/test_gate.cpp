// Tests of the compatibility gate: the build number and the upgrade program's parameters.
#include "launch/zembrel.h"
#include "test_support.h"

namespace {

DWORD Parse(const char *text)
{
    WString wide = Widen(text);
    return ParseInstalledBuild(wide.c_str());
}

TEST(Gate, BuildTextParsesLikeWcstol)
{
    EXPECT_EQ(Parse("389"), 389u);
    EXPECT_EQ(Parse(" \t389abc"), 389u);
    EXPECT_EQ(Parse("+400"), 400u);
    EXPECT_EQ(Parse("abc"), 0u);
    EXPECT_EQ(Parse(""), 0u);
    EXPECT_EQ(Parse("0x200"), 0u); // base 10: the x ends the number
    EXPECT_EQ(Parse("-1"), 0xffffffffu);
    EXPECT_EQ(Parse("99999999999"), 2147483647u);
    EXPECT_EQ(Parse("-99999999999"), 0x80000000u);
    EXPECT_EQ(ParseInstalledBuild(NULL), 0u);
}

// The build's text as the Windows build's C runtime reads it: this one table runs against the
// port's wcstol and, cross-built under Wine, against msvcrt's own, so the two cannot drift.
TEST(Gate, BuildTextReadsTheSpacesAndDigitsOfTheWindowsRuntime)
{
    const WCHAR spaces[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x00A0, 0x1680,
                            0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007,
                            0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
    const WCHAR notSpaces[] = {0x001C, 0x0085, 0x180E, 0x200B, 0x2060, 0xFEFF};
    const WCHAR zeros[] = {'0',    0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66, 0x0AE6, 0x0B66, 0x0C66,
                           0x0CE6, 0x0D66, 0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10};
    struct Case {
        WString text;
        long value;
        size_t end; // units read; 0 when there was no number
    };
    std::vector<Case> cases;
    for (WCHAR space : spaces)
        cases.push_back({WString{space, space, '4', '0', '0', 'x'}, 400, 5});
    for (WCHAR other : notSpaces)
        cases.push_back({WString{other, '4', '0', '0'}, 0, 0});
    for (WCHAR zero : zeros) {
        cases.push_back({WString{(WCHAR)(zero + 3), (WCHAR)(zero + 8), (WCHAR)(zero + 9)}, 389, 3});
        cases.push_back({WString{'-', (WCHAR)(zero + 1), (WCHAR)(zero + 10)}, -1, 2});
        cases.push_back({WString(11, (WCHAR)(zero + 9)), 2147483647L, 11});
        cases.push_back({WString{(WCHAR)(zero - 1), (WCHAR)(zero + 1)}, 0, 0});
    }
    cases.push_back({WString{0x00A0, '+', 0xFF13, '8', 0x0669}, 389, 5});
    cases.push_back({WString{'-', 0x3000, '5'}, 0, 0}); // no blank after the sign
    cases.push_back({WString{0xFF10, 'x', '1', '0'}, 0, 1});
    for (const Case &c : cases) {
        WCHAR *end = NULL;
        long value = wcstol(c.text.c_str(), &end, 10);
        std::string units;
        for (WCHAR unit : c.text)
            units += std::to_string((unsigned)unit) + " ";
        EXPECT_EQ(value, c.value) << units;
        EXPECT_EQ((size_t)(end - c.text.c_str()), c.end) << units;
    }
}

TEST(Gate, ThresholdIsBuild389ComparedUnsigned)
{
    EXPECT_TRUE(IsCompatibleBuild(Parse("389")));
    EXPECT_FALSE(IsCompatibleBuild(Parse("388")));
    EXPECT_TRUE(IsCompatibleBuild(Parse(" 389abc")));
    EXPECT_FALSE(IsCompatibleBuild(Parse("abc")));
    EXPECT_FALSE(IsCompatibleBuild(ParseInstalledBuild(NULL)));
    // A negative build reads as a very large one, and passes.
    EXPECT_TRUE(IsCompatibleBuild(Parse("-1")));
    EXPECT_TRUE(IsCompatibleBuild(Parse("-99999999999")));
    EXPECT_TRUE(IsCompatibleBuild(Parse("99999999999")));
}

std::string Parameters(const WString &commandLine)
{
    LPWSTR parameters = MakeUpgradeParameters(commandLine.c_str());
    EXPECT_NE(parameters, nullptr);
    if (parameters == NULL)
        return "<null>";
    std::string out = Narrow(parameters);
    free(parameters);
    return out;
}

std::string Parameters(const char *commandLine)
{
    return Parameters(Widen(commandLine));
}

TEST(Gate, ParametersReplaceTheFirstNoUpgradeOrAppend)
{
    EXPECT_EQ(Parameters(""), " -NoZEMBRL");
    EXPECT_EQ(Parameters("-DHCP"), "-DHCP -NoZEMBRL");
    EXPECT_EQ(Parameters("-DHCP -NoUPGRADE -SNMP"), "-DHCP  -NoZEMBRL");
    EXPECT_EQ(Parameters("-NoUPGRADE"), " -NoZEMBRL");
    EXPECT_EQ(Parameters("-noupgrade"), "-noupgrade -NoZEMBRL");
    EXPECT_EQ(Parameters("a -NoUPGRADE b -NoUPGRADE c"), "a  -NoZEMBRL");
    EXPECT_EQ(Parameters(" -NoZEMBRL"), " -NoZEMBRL -NoZEMBRL");
    EXPECT_EQ(Parameters("x-NoUPGRADEx"), "x -NoZEMBRL");
    EXPECT_EQ(Parameters("-SNMP"), "-SNMP -NoZEMBRL");
    LPWSTR fromNull = MakeUpgradeParameters(NULL);
    ASSERT_NE(fromNull, nullptr);
    EXPECT_EQ(Narrow(fromNull), " -NoZEMBRL");
    free(fromNull);
}

TEST(Gate, LongCommandLinesArePassedWhole)
{
    for (size_t length : {249, 250, 259, 260, 2000}) {
        std::string line(length, 'x');
        EXPECT_EQ(Parameters(line.c_str()), line + " -NoZEMBRL") << length;
        std::string withOption = line + " -NoUPGRADE tail";
        EXPECT_EQ(Parameters(withOption.c_str()), line + "  -NoZEMBRL") << length;
    }
}

TEST(Gate, ParametersNeedMemory)
{
    FaultSetMallocBudget(0);
    LPWSTR parameters = MakeUpgradeParameters(TEXT("-DHCP"));
    FaultSetMallocBudget(-1);
    EXPECT_EQ(parameters, nullptr);
}

} // namespace
