// Tests of the system's routines when the POSIX registry store cannot write: nothing is lost.
#include "launch/zembrel.h"
#include "platform/posix/store/regstore.h"
#include "registry/registry.h"
#include "test_support.h"

namespace {

class StoreFailures : public RegistryTest {
  protected:
    void TearDown() override
    {
        RegStoreFailNextWrite(RegWriteStage::None);
        RegistryTest::TearDown();
    }
};

TEST_F(StoreFailures, StatusCodeThatCannotBeStoredLeavesTheFileAsItWas)
{
    const RegWriteStage stages[] = {RegWriteStage::OpenTemp, RegWriteStage::Write,
                                    RegWriteStage::Fsync, RegWriteStage::Rename};
    PutDword(SNMP_KEY, TEXT("ZembrelTimeOut"), 5);
    const std::string before = FileBytes(RegStorePath());
    for (RegWriteStage stage : stages) {
        // The key exists: the value's own write is the one that fails.
        RegStoreFailNextWrite(stage);
        WriteRegDword(HKEY_LOCAL_MACHINE, SNMP_KEY, TEXT("ZembrelCode"), 29);
        EXPECT_EQ(FileBytes(RegStorePath()), before) << (int)stage;
    }
    // The key is missing: creating it fails, and nothing else is tried.
    RegStoreFailNextWrite(RegWriteStage::Rename);
    WriteRegDword(HKEY_LOCAL_MACHINE, TEXT("NetAdmin\\Other"), TEXT("ZembrelCode"), 29);
    EXPECT_EQ(FileBytes(RegStorePath()), before);
    EXPECT_FALSE(KeyExists(TEXT("NetAdmin\\Other")));

    // Once the store works again the same call lands.
    WriteRegDword(HKEY_LOCAL_MACHINE, SNMP_KEY, TEXT("ZembrelCode"), 29);
    EXPECT_EQ(GetDwordOr(SNMP_KEY, TEXT("ZembrelCode"), 0), 29u);
}

TEST_F(StoreFailures, RefusalGoesOnWhenTheStatusCodeCannotBeStored)
{
    PutDword(SNMP_KEY, TEXT("ZembrelTimeOut"), 0xffffffff); // closes on the first tick
    const std::string before = FileBytes(RegStorePath());
    g_hInstance = TestInstance();
    RegStoreFailNextWrite(RegWriteStage::Fsync);
    ReportIncompatibility(TEXT("-NoUI"));
    EXPECT_EQ(g_fUnattended, 1);
    EXPECT_EQ(FileBytes(RegStorePath()), before);
    g_fUnattended = 0;
    g_nTimeout = DEFAULT_TIMEOUT_SECONDS;
}

} // namespace
