// Crash-safety tests of the POSIX registry store: killed writers, many writers, a full disk.
#include "store_fixture.h"

#include <sched.h>
#include <sys/mount.h>

#include <chrono>
#include <random>
#include <thread>

namespace {

const std::string BEFORE =
    "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Platform]\n\"Build\"=\"388\"\n";

// The file after the counter was last set to n.
std::string WithCounter(unsigned n)
{
    char line[64];
    snprintf(line, sizeof(line), "\"Counter\"=dword:%08x\n", n);
    return BEFORE + line;
}

// How the registry is reached: its own name, a symbolic link, or one of two hard links.
enum class Reach { Plain, Symlink, HardLink };

class StoreCrashes : public RegStore, public ::testing::WithParamInterface<Reach> {
  protected:
    std::string real; // the file the registry's name leads to

    void SetUp() override
    {
        RegStore::SetUp();
        Prepare();
    }

    void Prepare()
    {
        real = file;
        if (GetParam() == Reach::Symlink) {
            ASSERT_EQ(mkdir((root + "/persist").c_str(), 0755), 0);
            real = root + "/persist/registry.reg";
            ASSERT_EQ(symlink(real.c_str(), file.c_str()), 0);
        }
    }

    void Start(const std::string &text)
    {
        Write(real, text);
        if (GetParam() == Reach::HardLink) {
            ASSERT_EQ(link(real.c_str(), (root + "/other.reg").c_str()), 0);
        }
    }

    LONG SetCounter(unsigned n)
    {
        return Set(u"Platform", u"Counter", REG_DWORD,
                   Data({(int)(n & 0xff), (int)(n >> 8 & 0xff), (int)(n >> 16 & 0xff), 0}));
    }

    // Everything below the device root.
    std::vector<std::string> Everything()
    {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::recursive_directory_iterator(root))
            names.push_back(entry.path().lexically_relative(root).string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // Nothing but the registry, its lock and the other names given it, and what `also` adds.
    std::vector<std::string> Tidy(const std::vector<std::string> &also = {})
    {
        std::vector<std::string> names = also;
        if (GetParam() == Reach::Symlink)
            names.insert(names.end(), {"persist", "persist/registry.reg",
                                       "persist/registry.reg.lock", "registry.reg"});
        else
            names.insert(names.end(), {"registry.reg", "registry.reg.lock"});
        if (GetParam() == Reach::HardLink)
            names.push_back("other.reg");
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_P(StoreCrashes, WritersKilledAtRandomLeaveTheOldFileOrTheNew)
{
    std::mt19937 random(std::random_device{}());
    const unsigned seed = random();
    random.seed(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    Start(WithCounter(0));
    unsigned last = 0; // the counter as the test last set it
    int cutShort = 0;
    for (unsigned round = 1; round <= 40; ++round) {
        unsigned first = round << 16;
        pid_t writer = fork();
        ASSERT_GE(writer, 0);
        if (writer == 0)
            for (unsigned n = first;; ++n)
                SetCounter(n);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        ASSERT_EQ(kill(writer, SIGKILL), 0);
        ASSERT_EQ(waitpid(writer, NULL, 0), writer);

        // Readers see either nothing the writer did, or one whole write of it. A rewrite in
        // place cut short leaves the file a mix for the next writer to finish from its
        // journal, and readers read through the journal meanwhile.
        bool journal = access((real + ".journal").c_str(), F_OK) == 0;
        cutShort += journal;
        std::string text = Read(real);
        DWORD type = 0;
        Bytes data;
        ASSERT_EQ(Get(u"Platform", u"Counter", &type, &data), ERROR_SUCCESS) << text;
        ASSERT_EQ(data.size(), 4u);
        unsigned value = data[0] | data[1] << 8 | data[2] << 16;
        EXPECT_TRUE(value == last || (value >= first && value < first + 0x10000)) << value;
        if (!journal) {
            EXPECT_EQ(text, WithCounter(value));
        }
        // The next write clears whatever the killed one left.
        last = first - 1;
        ASSERT_EQ(SetCounter(last), ERROR_SUCCESS);
        EXPECT_EQ(Read(real), WithCounter(last));
        EXPECT_EQ(Everything(), Tidy());
    }
    if (GetParam() == Reach::HardLink)
        RecordProperty("rewrites cut short", cutShort);
}

TEST_P(StoreCrashes, WritersAtTheSameTimeLoseNoValue)
{
    Start(BEFORE);
    const int writers = 4;
    const int values = 15;
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            bool ok = true;
            for (int v = 0; v < values; ++v) {
                std::u16string name =
                    Utf8ToUtf16("W" + std::to_string(w) + "V" + std::to_string(v));
                ok = Set(u"Shared", name.c_str(), REG_DWORD, Data({w, v, 0, 0})) == ERROR_SUCCESS &&
                     ok;
            }
            _exit(ok ? 0 : 1);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int w = 0; w < writers; ++w)
        for (int v = 0; v < values; ++v) {
            std::u16string name = Utf8ToUtf16("W" + std::to_string(w) + "V" + std::to_string(v));
            ExpectValue(u"Shared", name.c_str(), REG_DWORD, Data({w, v, 0, 0}));
        }
    EXPECT_EQ(Everything(), Tidy());
}

// Every write on a disk too full for it fails whole, whatever stage runs out of room, and
// leaves the file and nothing else; once there is room, the write lands.
TEST_P(StoreCrashes, FullDiskLeavesTheRegistryAsItWas)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "not root, so no tmpfs of the test's own to fill";
    int status = RunChild(120, [&] {
        // A mount of this process's own, gone with it.
        if (unshare(CLONE_NEWNS) != 0 || mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0 ||
            mount("tmpfs", root.c_str(), "tmpfs", 0, "size=64k") != 0)
            _exit(77);
        Prepare();
        Start(BEFORE);
        ASSERT_EQ(SetCounter(0), ERROR_SUCCESS); // the lock is there before the disk is full
        const std::string before = Read(real);
        const std::string filler = root + "/filler";
        Write(filler, std::string(64 * 1024, 'x')); // as much of it as fits
        const Bytes big(5000, 0xab);
        int refused = 0;
        std::string said; // each reason once
        for (;;) {
            LONG result = ERROR_SUCCESS;
            said += Said([&] { result = Set(u"Platform", u"Big", REG_BINARY, big); });
            if (result == ERROR_SUCCESS)
                break;
            ++refused;
            EXPECT_EQ(result, ERROR_WRITE_FAULT) << said;
            EXPECT_EQ(Read(real), before);
            EXPECT_EQ(Everything(), Tidy({"filler"}));
            // A page more room for the next try.
            std::string rest = Read(filler);
            ASSERT_GE(rest.size(), 4096u) << "no room even on an empty disk";
            Write(filler, rest.substr(4096));
        }
        EXPECT_GT(refused, 0);
        EXPECT_NE(said.find("(No space left on device); the registry is unchanged"),
                  std::string::npos)
            << said;
        ExpectValue(u"Platform", u"Big", REG_BINARY, big);
        EXPECT_EQ(Everything(), Tidy({"filler"}));
    });
    if (status == 77)
        GTEST_SKIP() << "cannot mount a tmpfs in a mount namespace of the test's own here";
    EXPECT_EQ(status, 0);
}

std::string ReachName(const ::testing::TestParamInfo<Reach> &info)
{
    return info.param == Reach::Plain     ? "Plain"
           : info.param == Reach::Symlink ? "Symlink"
                                          : "HardLink";
}

INSTANTIATE_TEST_SUITE_P(, StoreCrashes,
                         ::testing::Values(Reach::Plain, Reach::Symlink, Reach::HardLink),
                         ReachName);

} // namespace
