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
