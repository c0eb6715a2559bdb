// Tests of the report path: the mode, the countdown's length and the status code left behind.
#include "launch/zembrel.h"
#include "resources/resource.h"
#include "test_support.h"

namespace {

const DWORD ABSENT = 0xdeadbeef;

class Report : public RegistryTest {
  protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        g_hInstance = TestInstance();
        g_fUnattended = 0;
        g_nTimeout = DEFAULT_TIMEOUT_SECONDS;
    }
    void TearDown() override
    {
        CancelDialogCloser();
        g_fUnattended = 0;
        g_nTimeout = DEFAULT_TIMEOUT_SECONDS;
        RegistryTest::TearDown();
    }

    // Runs the report path; the dialog is cancelled shortly unless it ends by itself first.
    void RunReport(const char *commandLine)
    {
        CloseDialogAfter(200, IDCANCEL);
        ReportIncompatibility(Widen(commandLine).c_str());
        CancelDialogCloser();
    }
};

TEST_F(Report, UnattendedOptionsAreCaseSensitiveSubstrings)
{
    const char *unattended[] = {"-NoUI", "-SNMP", "-DHCP", "x-DHCPx", "-NoUPGRADE -NoUI"};
    for (const char *line : unattended) {
        g_fUnattended = 0;
        RunReport(line);
        EXPECT_EQ(g_fUnattended, 1) << line;
    }
    const char *attended[] = {"", "-snmp", "-NoUi", "-dhcp", "-NoUPGRADE", "-SNM P"};
    for (const char *line : attended) {
        g_fUnattended = 0;
        RunReport(line);
        EXPECT_EQ(g_fUnattended, 0) << line;
    }
}

TEST_F(Report, AttendedReadsAndWritesNothing)
{
    PutDword(SNMP_KEY, TEXT("ZembrelTimeOut"), 3);
    RunReport("-snmp -NoUi");
    EXPECT_EQ(g_nTimeout, DEFAULT_TIMEOUT_SECONDS);
    EXPECT_EQ(GetDwordOr(SNMP_KEY, TEXT("ZembrelCode"), ABSENT), ABSENT);
    EXPECT_EQ(GetDwordOr(SNMP_KEY, TEXT("ZembrelTimeOut"), ABSENT), 3u);
}

TEST_F(Report, TimeoutComesFromTheRegistryOrDefaults)
{
    RunReport("-SNMP");
    EXPECT_EQ(g_nTimeout, DEFAULT_TIMEOUT_SECONDS);

    PutDword(SNMP_KEY, TEXT("ZembrelTimeOut"), 5);
    RunReport("-SNMP");
    EXPECT_EQ(g_nTimeout, 5);

    PutString(SNMP_KEY, TEXT("ZembrelTimeOut"), TEXT("5"));
    RunReport("-SNMP");
    EXPECT_EQ(g_nTimeout, DEFAULT_TIMEOUT_SECONDS);

    // A failed read may have touched the number; the default is set again after it.
    const BYTE eight[] = {5, 0, 0, 0, 0, 0, 0, 0};
    PutValue(SNMP_KEY, TEXT("ZembrelTimeOut"), REG_DWORD, eight, sizeof(eight));
    RunReport("-SNMP");
    EXPECT_EQ(g_nTimeout, DEFAULT_TIMEOUT_SECONDS);
}

TEST_F(Report, UnattendedLeavesTheStatusCodeHoweverTheDialogEnds)
{
    // The key does not exist yet: the write creates it.
    ASSERT_FALSE(KeyExists(SNMP_KEY));
    RunReport("-NoUI");
    EXPECT_EQ(GetDwordOr(SNMP_KEY, TEXT("ZembrelCode"), ABSENT), 29u);

    PutDword(SNMP_KEY, TEXT("ZembrelCode"), 7);
    PutString(SNMP_KEY, TEXT("Neighbour"), TEXT("kept"));
    g_fUnattended = 0;
    CloseDialogAfter(200, IDC_CLOSE_COMMAND);
    ReportIncompatibility(TEXT("-DHCP"));
    EXPECT_EQ(GetDwordOr(SNMP_KEY, TEXT("ZembrelCode"), ABSENT), 29u);
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_TRUE(GetValue(SNMP_KEY, TEXT("Neighbour"), &type, &data));
}

TEST_F(Report, CountdownThatRunsOutEndsTheDialogByItself)
{
    // A countdown of -1 closes on the first tick, about a second in.
    PutDword(SNMP_KEY, TEXT("ZembrelTimeOut"), 0xffffffff);
    ReportIncompatibility(TEXT("-SNMP"));
    EXPECT_EQ(g_nTimeout, -1);
    EXPECT_EQ(GetDwordOr(SNMP_KEY, TEXT("ZembrelCode"), ABSENT), 29u);
}

} // namespace
