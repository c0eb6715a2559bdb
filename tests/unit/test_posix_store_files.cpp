// Tests of the POSIX registry store among odd files and neighbours: links, owners, the lock.
#include "store_fixture.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>

namespace {

const std::string BEFORE =
    "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Platform]\n\"Build\"=\"388\"\n";
const std::string AFTER = BEFORE + "\"Code\"=dword:0000001d\n";

class StoreFiles : public RegStore {
  protected:
    LONG SetCode() { return Set(u"Platform", u"Code", REG_DWORD, Data({29, 0, 0, 0})); }

    struct stat Stat(const std::string &path)
    {
        struct stat info;
        memset(&info, 0, sizeof(info));
        EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
        return info;
    }
};

// ---- Links: the file they name gets the value, and they stay links ---------------------------

TEST_F(StoreFiles, SymlinkedRegistryIsWrittenWhereItPointsAndStaysALink)
{
    ASSERT_EQ(mkdir((root + "/persist").c_str(), 0755), 0);
    const std::string real = root + "/persist/registry.reg";
    Write(real, BEFORE);
    ASSERT_EQ(symlink("persist/registry.reg", file.c_str()), 0);
    ASSERT_EQ(SetCode(), ERROR_SUCCESS);
    EXPECT_TRUE(S_ISLNK(Stat(file).st_mode));
    EXPECT_EQ(Read(real), AFTER);
    ExpectValue(u"Platform", u"Code", REG_DWORD, Data({29, 0, 0, 0}));
    // The lock is the target's, so that every name of the registry shares it.
    EXPECT_EQ(Folder(), std::vector<std::string>({"persist", "registry.reg"}));
    EXPECT_EQ(access((real + ".lock").c_str(), F_OK), 0);

    // A link to nothing reads as an empty registry and is never written through.
    ASSERT_EQ(unlink(file.c_str()), 0);
    ASSERT_EQ(symlink("persist/missing.reg", file.c_str()), 0);
    std::string said = Said([&] {
        EXPECT_TRUE(Exists(NULL));
        EXPECT_EQ(SetCode(), ERROR_ACCESS_DENIED);
    });
    EXPECT_NE(said.find("zembrel: " + file + ": a symbolic link to nothing"), std::string::npos)
        << said;
    EXPECT_NE(access((root + "/persist/missing.reg").c_str(), F_OK), 0);
}

TEST_F(StoreFiles, HardLinkedRegistryIsRewrittenInPlace)
{
    Put(BEFORE);
    const std::string other = root + "/other.reg";
    ASSERT_EQ(link(file.c_str(), other.c_str()), 0);
    ASSERT_EQ(SetCode(), ERROR_SUCCESS);
    EXPECT_EQ(Stat(file).st_ino, Stat(other).st_ino);
    EXPECT_EQ(Read(other), AFTER);
    EXPECT_EQ(Folder(),
              std::vector<std::string>({"other.reg", "registry.reg", "registry.reg.lock"}));

    // A rewrite cut short is put back, and says so.
    RegStoreFailNextWrite(RegWriteStage::InPlace);
    std::string said = Said(
        [&] { EXPECT_EQ(Set(u"Platform", u"Build", REG_SZ, Data(u"389")), ERROR_WRITE_FAULT); });
    EXPECT_NE(said.find("zembrel: " + file + ": cannot rewrite it in place"), std::string::npos)
        << said;
    EXPECT_EQ(Read(other), AFTER);
    EXPECT_EQ(Folder(),
              std::vector<std::string>({"other.reg", "registry.reg", "registry.reg.lock"}));
}

TEST_F(StoreFiles, RewriteInPlaceCutShortIsFinishedByTheNextWriteUnlessTheFileChangedSince)
{
    const std::string other = root + "/other.reg";
    const std::string journal = file + ".journal";
    const size_t at = BEFORE.find("388") + 2;
    std::string newer = BEFORE;
    newer[at] = '9';
    newer += "\"Longer\"=\"than the old text\"\n";
    const std::string record = "zembrel journal " + std::to_string(newer.size()) + " " +
                               std::to_string(BEFORE.size()) + "\n" + newer + BEFORE;
    // What a writer killed halfway leaves: its journal, and the file part new and part old.
    Put(newer.substr(0, at + 1) + BEFORE.substr(at + 1));
    ASSERT_EQ(link(file.c_str(), other.c_str()), 0);
    Write(journal, record);
    ASSERT_EQ(SetCode(), ERROR_SUCCESS);
    EXPECT_EQ(Read(other), newer + "\"Code\"=dword:0000001d\n");
    EXPECT_EQ(Stat(file).st_ino, Stat(other).st_ino);
    EXPECT_NE(access(journal.c_str(), F_OK), 0);

    // Someone has edited the file since: the journal goes, the edit stays.
    std::string edited = BEFORE;
    edited.replace(at - 1, 2, "77");
    Put(edited);
    Write(journal, record);
    std::string said = Said([&] { EXPECT_EQ(SetCode(), ERROR_SUCCESS); });
    EXPECT_NE(said.find("zembrel: " + journal + ": left by a rewrite"), std::string::npos) << said;
    EXPECT_EQ(Read(other), edited + "\"Code\"=dword:0000001d\n");
    EXPECT_NE(access(journal.c_str(), F_OK), 0);
}

TEST_F(StoreFiles, RewriteInPlaceKilledMidWriteLosesNothingAfterTheCut)
{
    // A value long enough that the writer dies with the file between the old length and the
    // new (Linux ends a write to a file at a page boundary when a kill is pending); the keys
    // after the cut must still be read, and the next writer must finish the rewrite.
    const std::string text = BEFORE + "\n[HKEY_LOCAL_MACHINE\\NetAdmin\\SNMP]\n" +
                             "\"ZembrelTimeOut\"=dword:00000005\n\n[HKEY_LOCAL_MACHINE\\Last]\n" +
                             "\"After\"=\"cut\"\n";
    Put(text);
    ASSERT_EQ(link(file.c_str(), (root + "/other.reg").c_str()), 0);
    const Bytes blob(30000, 0x5a);
    int status = RunChild(60, [&] {
        RegStoreFailNextWrite(RegWriteStage::KillInPlace);
        Set(u"Platform", u"Blob", REG_BINARY, blob);
    });
    ASSERT_EQ(status, 128 + SIGKILL);
    const size_t cut = Contents().size();
    ASSERT_GT(cut, text.size());
    ASSERT_EQ(access((file + ".journal").c_str(), F_OK), 0);
    // Readers read the rewrite's text meanwhile, every key of it.
    ExpectValue(u"Last", u"After", REG_SZ, Data(u"cut"));
    ExpectValue(u"NetAdmin\\SNMP", u"ZembrelTimeOut", REG_DWORD, Data({5, 0, 0, 0}));
    ExpectValue(u"Platform", u"Blob", REG_BINARY, blob);
    // The next writer finishes it, then writes its own value.
    ASSERT_EQ(SetCode(), ERROR_SUCCESS);
    EXPECT_NE(access((file + ".journal").c_str(), F_OK), 0);
    EXPECT_EQ(Read(root + "/other.reg"), Contents());
    ExpectValue(u"Last", u"After", REG_SZ, Data(u"cut"));
    ExpectValue(u"Platform", u"Blob", REG_BINARY, blob);
    ExpectValue(u"Platform", u"Code", REG_DWORD, Data({29, 0, 0, 0}));
}

// ---- Changes seen from the file's stat data ---------------------------------------------------

TEST_F(StoreFiles, ChangeWithinOneClockTickIsSeenAndASettledFileIsReadOnce)
{
    std::string other = BEFORE;
    other[other.find("388") + 2] = '9';
    // Same size, same inode: only the content and the times can tell the two apart.
    auto overwrite = [&](const std::string &text) {
        int fd = open(file.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
        close(fd);
    };
    auto build = [&] {
        DWORD type = 0;
        Bytes data;
        EXPECT_EQ(Get(u"Platform", u"Build", &type, &data), ERROR_SUCCESS);
        return data;
    };
    // A file system whose clock does not move between the two writes: both leave the same
    // times. Recent times are never trusted, so the second content is seen.
    struct timespec tick;
    clock_gettime(CLOCK_REALTIME, &tick);
    const time_t second = tick.tv_sec;
    for (long nanoseconds : {0L, 123456789L}) { // a clock in whole seconds, and a fine one
        tick.tv_sec = second + 1;               // the next tick: not yet a moment back
        tick.tv_nsec = nanoseconds;
        RegStoreFreezeFileClock(&tick);
        Put(BEFORE);
        EXPECT_EQ(build(), Data(u"388"));
        overwrite(other);
        EXPECT_EQ(build(), Data(u"389"));
        overwrite(BEFORE);
        EXPECT_EQ(build(), Data(u"388"));
    }

    // Times a second or so back lie beyond a tick of a fine clock, not of one that may be FAT's:
    // a hand-off's calls read the file once, or each its own time.
    for (long nanoseconds : {123456789L, 0L}) {
        tick.tv_sec = nanoseconds != 0 ? second - 1 : second;
        tick.tv_nsec = nanoseconds;
        RegStoreFreezeFileClock(&tick);
        Put(BEFORE);
        unsigned reads = RegStoreWholeReads();
        EXPECT_EQ(build(), Data(u"388"));
        EXPECT_EQ(RegStoreWholeReads() - reads, nanoseconds != 0 ? 1u : 3u) << nanoseconds;
    }
    RegStoreFreezeFileClock(NULL);

    // Times far enough back are trusted: the three calls of a hand-off read the file once; a
    // change, which moves its times, is seen.
    RegStoreSetSettleTime(0);
    Put(BEFORE);
    unsigned reads = RegStoreWholeReads();
    EXPECT_EQ(build(), Data(u"388"));
    EXPECT_EQ(RegStoreWholeReads() - reads, 1u);
    overwrite(other);
    EXPECT_EQ(build(), Data(u"389"));
    RegStoreSetSettleTime(2000000000);
}

// ---- Owner, group and mode --------------------------------------------------------------------

TEST_F(StoreFiles, WriteKeepsTheOwnerGroupAndMode)
{
    if (geteuid() != 0)
        GTEST_SKIP()
            << "not root, so it cannot give the registry to another account nor act as one";
    ASSERT_EQ(chmod(root.c_str(), 0777), 0);
    // Root gives the replacement the file's owner; another member of the file's group, who
    // cannot, rewrites the file in place.
    for (bool byRoot : {true, false}) {
        const mode_t mode = 0660;
        Put(BEFORE);
        ASSERT_EQ(chown(file.c_str(), 1234, 5678), 0);
        ASSERT_EQ(chmod(file.c_str(), mode), 0);
        ino_t inode = Stat(file).st_ino;
        FinishesWithin(60, [&] {
            if (!byRoot) {
                ASSERT_EQ(setgroups(0, NULL), 0);
                ASSERT_EQ(setgid(5678), 0);
                ASSERT_EQ(setuid(4321), 0);
            }
            EXPECT_EQ(SetCode(), ERROR_SUCCESS);
        });
        struct stat info = Stat(file);
        EXPECT_EQ(info.st_ino == inode, !byRoot);
        EXPECT_EQ(info.st_uid, 1234u);
        EXPECT_EQ(info.st_gid, 5678u);
        EXPECT_EQ(info.st_mode & 07777, mode);
        EXPECT_EQ(Contents(), AFTER);
    }
}

// ---- Leftovers of dead writers --------------------------------------------------------------

TEST_F(StoreFiles, DeadWritersTemporaryFilesGoWithTheNextWrite)
{
    Put(BEFORE);
    for (const char *name : {"registry.reg.tmp.99999.0", "registry.reg.tmp.1.12"})
        Write(root + "/" + name, BEFORE.substr(0, 20));
    std::vector<std::string> kept = {"other.reg.tmp.1.1", "registry.reg.tmp.1.",
                                     "registry.reg.tmp.1.2.3", "registry.reg.tmp.x.1"};
    for (const std::string &name : kept)
        Write(root + "/" + name, "not the store's");
    ASSERT_EQ(SetCode(), ERROR_SUCCESS);
    kept.insert(kept.end(), {"registry.reg", "registry.reg.lock"});
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(Folder(), kept);
}

// ---- The writers' lock ------------------------------------------------------------------------

TEST_F(StoreFiles, LockIsOpenToEveryWriterAndNeverALinkOrAFifo)
{
    Put(BEFORE);
    const std::string lock = file + ".lock";
    Write(lock, "");
    ASSERT_EQ(chmod(lock.c_str(), 0600), 0); // as an older writer made it: left as it is
    ASSERT_EQ(SetCode(), ERROR_SUCCESS);
    EXPECT_EQ(Stat(lock).st_mode & 0777, 0600u);
    ASSERT_EQ(unlink(lock.c_str()), 0);
    mode_t umask_ = umask(077);
    ASSERT_EQ(Set(u"Platform", u"Build", REG_SZ, Data(u"389")), ERROR_SUCCESS);
    umask(umask_);
    // Made anew, whatever the umask: flock needs only a descriptor, and every account that may
    // ever write the registry must be able to take the lock.
    EXPECT_EQ(Stat(lock).st_mode & 0777, 0644u);
    const std::string written = Contents();

    // A link there, dangling or not, is never followed: nothing is made or locked through it.
    const std::string elsewhere = root + "/elsewhere";
    std::string said;
    for (bool dangling : {true, false}) {
        if (!dangling)
            Write(elsewhere, "someone's file");
        ASSERT_EQ(unlink(lock.c_str()), 0);
        ASSERT_EQ(symlink(elsewhere.c_str(), lock.c_str()), 0);
        said += Said([&] { EXPECT_EQ(SetCode(), ERROR_ACCESS_DENIED); });
        EXPECT_EQ(Contents(), written);
        if (dangling)
            EXPECT_NE(access(elsewhere.c_str(), F_OK), 0);
        else
            EXPECT_EQ(Read(elsewhere), "someone's file");
    }
    EXPECT_EQ(Count(said, "zembrel: " + lock +
                              ": the writers' lock cannot be opened (a symbolic link, never "
                              "followed), so nothing is written\n"),
              1u)
        << said;
    ASSERT_EQ(unlink(lock.c_str()), 0);
    ASSERT_EQ(mkfifo(lock.c_str(), 0600), 0);
    FinishesWithin(60, [&] {
        std::string said = Said([&] { EXPECT_EQ(SetCode(), ERROR_ACCESS_DENIED); });
        EXPECT_NE(said.find("zembrel: " + lock + ": the writers' lock is not a regular file"),
                  std::string::npos)
            << said;
    });
    EXPECT_EQ(Contents(), written);

    // A hard link to someone's file: neither locked nor changed.
    ASSERT_EQ(unlink(lock.c_str()), 0);
    Write(elsewhere, "someone's file");
    ASSERT_EQ(chmod(elsewhere.c_str(), 0640), 0);
    ASSERT_EQ(link(elsewhere.c_str(), lock.c_str()), 0);
    said = Said([&] { EXPECT_EQ(SetCode(), ERROR_ACCESS_DENIED); });
    EXPECT_NE(said.find("zembrel: " + lock + ": the writers' lock has other hard links"),
              std::string::npos)
        << said;
    EXPECT_EQ(Stat(elsewhere).st_mode & 0777, 0640u);
    EXPECT_EQ(Contents(), written);
}

TEST_F(StoreFiles, NewFilesTakeTheirOwnersAndAnyWriterCanTakeTheLock)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "not root, so it cannot make files for another account";
    // No registry yet, in a folder of another account's: a root run makes the registry and
    // the lock that account's, so that it can go on storing its status.
    ASSERT_EQ(chown(root.c_str(), 2401, 2400), 0);
    ASSERT_EQ(SetCode(), ERROR_SUCCESS);
    for (const std::string &made : {file, file + ".lock"}) {
        EXPECT_EQ(Stat(made).st_uid, 2401u) << made;
        EXPECT_EQ(Stat(made).st_gid, 2400u) << made;
    }
    FinishesWithin(60, [&] {
        ASSERT_EQ(setgroups(0, NULL), 0);
        ASSERT_EQ(setgid(2400), 0);
        ASSERT_EQ(setuid(2401), 0);
        EXPECT_EQ(Set(u"Platform", u"Build", REG_SZ, Data(u"389")), ERROR_SUCCESS);
    });

    // A root run on a root-only registry, which the administrator then opens to a group: a
    // member may write the registry, so it can take the lock root made.
    ASSERT_EQ(chown(root.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(root.c_str(), 0775), 0);
    ASSERT_EQ(unlink(file.c_str()), 0);
    ASSERT_EQ(unlink((file + ".lock").c_str()), 0);
    Put(BEFORE);
    ASSERT_EQ(SetCode(), ERROR_SUCCESS);
    ASSERT_EQ(chown(root.c_str(), 0, 2400), 0);
    ASSERT_EQ(chown(file.c_str(), 0, 2400), 0);
    ASSERT_EQ(chmod(file.c_str(), 0664), 0);
    FinishesWithin(60, [&] {
        ASSERT_EQ(setgroups(0, NULL), 0);
        ASSERT_EQ(setgid(2400), 0);
        ASSERT_EQ(setuid(2402), 0);
        EXPECT_EQ(Set(u"Platform", u"Build", REG_SZ, Data(u"389")), ERROR_SUCCESS);
    });
    ExpectValue(u"Platform", u"Build", REG_SZ, Data(u"389"));
    EXPECT_EQ(Stat(file).st_uid, 0u);
    EXPECT_EQ(Stat(file).st_gid, 2400u);
}

TEST_F(StoreFiles, LockHeldByAnotherProcessCostsTheWriteAfterTheDeadline)
{
    Put(BEFORE);
    ASSERT_EQ(SetCode(), ERROR_SUCCESS);
    // A shared lock is all that anyone who can open the file needs.
    int holder = open((file + ".lock").c_str(), O_RDONLY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_SH), 0);
    auto start = std::chrono::steady_clock::now();
    std::string said = Said(
        [&] { EXPECT_EQ(Set(u"Platform", u"Build", REG_SZ, Data(u"389")), ERROR_WRITE_FAULT); });
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, REG_LOCK_WAIT_SECONDS - 0.1);
    EXPECT_LT(waited, REG_LOCK_WAIT_SECONDS + 60);
    EXPECT_NE(said.find("zembrel: " + file + ".lock: another process has held the writers' lock"),
              std::string::npos)
        << said;
    EXPECT_EQ(Contents(), AFTER);
    close(holder);
    EXPECT_EQ(Set(u"Platform", u"Build", REG_SZ, Data(u"389")), ERROR_SUCCESS);
}

// ---- What cannot be read is said, once, and never waited on -------------------------------------

TEST_F(StoreFiles, FifoAsRegistryIsUnreadableNotAHang)
{
    ASSERT_EQ(mkfifo(file.c_str(), 0644), 0);
    FinishesWithin(60, [&] {
        std::string said = Said([&] {
            DWORD type = 0;
            Bytes data;
            EXPECT_EQ(Get(u"Platform", u"Build", &type, &data), ERROR_ACCESS_DENIED);
            EXPECT_EQ(Get(u"Platform", u"Build", &type, &data), ERROR_ACCESS_DENIED);
            EXPECT_EQ(SetCode(), ERROR_ACCESS_DENIED);
            EXPECT_EQ(RegStoreUpdate(file, [](RegDocument &) { return ERROR_SUCCESS; }),
                      ERROR_ACCESS_DENIED);
        });
        EXPECT_EQ(Count(said, "zembrel: " + file + ": cannot be read (not a regular file)\n"), 1u)
            << said;
    });
    EXPECT_TRUE(S_ISFIFO(Stat(file).st_mode));
}

TEST_F(StoreFiles, FolderOrUnreadableRegistryIsSaidOnce)
{
    ASSERT_EQ(mkdir(file.c_str(), 0755), 0);
    std::string said = Said([&] {
        EXPECT_FALSE(Exists(u"Platform"));
        EXPECT_FALSE(Exists(NULL));
        EXPECT_EQ(SetCode(), ERROR_ACCESS_DENIED);
    });
    EXPECT_EQ(Count(said, "zembrel: " + file + ": cannot be read (Is a directory)\n"), 1u) << said;

    ASSERT_EQ(rmdir(file.c_str()), 0);
    Put(BEFORE);
    ASSERT_EQ(chmod(file.c_str(), 0200), 0);
    said = Said([&] {
        EXPECT_FALSE(Exists(u"Platform"));
        EXPECT_FALSE(Exists(u"Platform"));
    });
    EXPECT_EQ(Count(said, "zembrel: " + file + ": cannot be read (Permission denied)\n"), 1u)
        << said;
}

TEST_F(StoreFiles, MissingDeviceRootIsNamedAsSuchNotAsReadOnly)
{
    const std::string missing = root + "/missing";
    setenv("ZEMBREL_ROOT", missing.c_str(), 1);
    std::string said = Said([&] {
        DWORD type = 0;
        Bytes data;
        EXPECT_EQ(Get(u"Platform", u"Build", &type, &data), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(SetCode(), ERROR_ACCESS_DENIED);
        EXPECT_EQ(SetCode(), ERROR_ACCESS_DENIED);
    });
    EXPECT_EQ(said, "zembrel: " + missing +
                        ": the device root does not exist (No such file or directory)\n");
    EXPECT_NE(access(missing.c_str(), F_OK), 0);
}

// ---- Journals: read through, and applied only when one of the registry's writers made them ---

std::string Record(const std::string &newer, const std::string &older)
{
    return "zembrel journal " + std::to_string(newer.size()) + " " + std::to_string(older.size()) +
           "\n" + newer + older;
}

// The registry with Build 389 and a longer tail: what a cut-short rewrite was writing.
const std::string NEWER = BEFORE.substr(0, BEFORE.find("388")) + "389\"\n\"Longer\"=\"tail\"\n";

TEST_F(StoreFiles, JournalRecordsAreReadWithoutWrapping)
{
    struct Case {
        std::string record;
        bool read;
        uint64_t at = 0;
        std::string newText = "";
        std::string oldText = "";
    } cases[] = {
        {Record("abc", "de"), true, 0, "abc", "de"},
        {Record("", ""), true, 0, "", ""},
        // From offset 10: "XY" spliced in for the old text's first byte.
        {"zembrel journal 2 3 10 1 abc\nXYdef", true, 10, "XYef", "def"},
        {"zembrel journal 0 2 7 2 0\nde", true, 7, "", "de"},
        {"zembrel journal 2 3 10 4 abc\nXYdef", false}, // cuts more than the old text
        {"zembrel journal 0 0 18446744073709551615 0 0\n", false},
        {"zembrel journal 2 3 10 1\nXYdef", false},
        {"zembrel journal 5 18446744073709551615\nabcd", false}, // 5 + 2^64-1 wraps to 4
        {"zembrel journal 18446744073709551615 5\nabcd", false},
        {"zembrel journal 3 1\nabc", false}, // short
        {"zembrel journal 1 1\nabc", false}, // long
        {"zembrel journal 1 1 \nab", false},
        {"zembrel journal 1\nab", false},
        {"zembrel journal 1 1", false},
        {"", false},
    };
    for (const Case &c : cases) {
        RegJournal journal;
        ASSERT_EQ(RegStoreReadJournal(c.record, journal), c.read) << c.record;
        if (c.read) {
            EXPECT_EQ(journal.at, c.at) << c.record;
            EXPECT_EQ(journal.newText, c.newText) << c.record;
            EXPECT_EQ(journal.oldText, c.oldText) << c.record;
        }
    }
}

TEST_F(StoreFiles, ReadersSeeTheNewTextOfARewriteCutShort)
{
    const std::string journal = file + ".journal";
    const std::string mix = NEWER.substr(0, NEWER.size() / 2) + BEFORE.substr(NEWER.size() / 2);
    Put(mix);
    ASSERT_EQ(link(file.c_str(), (root + "/other.reg").c_str()), 0);
    Write(journal, Record(NEWER, BEFORE));
    ExpectValue(u"Platform", u"Build", REG_SZ, Data(u"389"));
    ExpectValue(u"Platform", u"Longer", REG_SZ, Data(u"tail"));
    EXPECT_EQ(Contents(), mix); // readers leave the file to the next writer
    ASSERT_EQ(SetCode(), ERROR_SUCCESS);
    EXPECT_EQ(Contents(), NEWER + "\"Code\"=dword:0000001d\n");
    EXPECT_NE(access(journal.c_str(), F_OK), 0);
}

TEST_F(StoreFiles, MalformedJournalIsSetAsideAndTheWriteGoesOn)
{
    const std::string journal = file + ".journal";
    Put(BEFORE);
    Write(journal, "zembrel journal 5 18446744073709551615\nabcd");
    std::string said = Said([&] { EXPECT_EQ(SetCode(), ERROR_SUCCESS); });
    EXPECT_NE(said.find("zembrel: " + journal +
                        ": not a journal of this store; set aside as registry.reg.journal.bad"),
              std::string::npos)
        << said;
    EXPECT_EQ(Contents(), AFTER);
    EXPECT_EQ(Read(journal + ".bad"), "zembrel journal 5 18446744073709551615\nabcd");
    EXPECT_NE(access(journal.c_str(), F_OK), 0);
}

TEST_F(StoreFiles, JournalNameTakenByAFolderIsLeftAndAnotherNameServes)
{
    const std::string journal = file + ".journal";
    Put(BEFORE);
    ASSERT_EQ(link(file.c_str(), (root + "/other.reg").c_str()), 0);
    ASSERT_EQ(mkdir(journal.c_str(), 0755), 0);
    std::string said = Said([&] {
        EXPECT_EQ(SetCode(), ERROR_SUCCESS);
        EXPECT_EQ(Set(u"Platform", u"Build", REG_SZ, Data(u"389")), ERROR_SUCCESS);
    });
    EXPECT_NE(said.find("zembrel: " + journal + ": not a regular file, so it is left as it is"),
              std::string::npos)
        << said;
    EXPECT_EQ(said.find("removed"), std::string::npos) << said;
    EXPECT_EQ(Read(root + "/other.reg"),
              NEWER.substr(0, NEWER.find("\"Longer")) + "\"Code\"=dword:0000001d\n");
    struct stat info = Stat(journal);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_NE(access((journal + ".1").c_str(), F_OK), 0);

    // A rewrite cut short there is read through and finished from the second name.
    const std::string now = Contents();
    const std::string mix = NEWER.substr(0, 40) + now.substr(40);
    Put(mix);
    Write(journal + ".1", Record(NEWER, now));
    ExpectValue(u"Platform", u"Longer", REG_SZ, Data(u"tail"));
    ASSERT_EQ(SetCode(), ERROR_SUCCESS);
    EXPECT_EQ(Contents(), NEWER + "\"Code\"=dword:0000001d\n");
}

TEST_F(StoreFiles, JournalThatNoWriterOfTheRegistryMadeIsNeverApplied)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "not root, so it cannot act as another account";
    const std::string journal = file + ".journal";
    ASSERT_EQ(chmod(root.c_str(), 01777), 0);
    Put(BEFORE);
    // Another account plants a journal in the sticky folder: Build 999, were it applied.
    const std::string planted = BEFORE.substr(0, BEFORE.find("388")) + "999\"\n";
    FinishesWithin(60, [&] {
        ASSERT_EQ(setgroups(0, NULL), 0);
        ASSERT_EQ(setgid(65534), 0);
        ASSERT_EQ(setuid(65534), 0);
        Write(journal, Record(planted, BEFORE));
        ASSERT_EQ(access(journal.c_str(), F_OK), 0);
    });
    std::string said = Said([&] {
        ExpectValue(u"Platform", u"Build", REG_SZ, Data(u"388"));
        EXPECT_EQ(SetCode(), ERROR_SUCCESS);
    });
    EXPECT_NE(said.find("zembrel: " + journal + ": not made by a writer of this registry (its " +
                        "owner may not write the registry), so it is never applied"),
              std::string::npos)
        << said;
    EXPECT_EQ(Contents(), AFTER);

    // Root's own journal, but one others may write, or with a second name: not applied either.
    for (bool linked : {false, true}) {
        Put(BEFORE);
        Write(journal, Record(planted, BEFORE));
        ASSERT_EQ(chown(journal.c_str(), 0, 0), 0);
        ASSERT_EQ(chmod(journal.c_str(), linked ? 0600 : 0666), 0);
        if (linked) {
            ASSERT_EQ(link(journal.c_str(), (root + "/elsewhere").c_str()), 0);
        }
        ExpectValue(u"Platform", u"Build", REG_SZ, Data(u"388"));
        EXPECT_EQ(SetCode(), ERROR_SUCCESS);
        EXPECT_EQ(Contents(), AFTER);
        ASSERT_EQ(unlink(journal.c_str()), 0);
    }
}

TEST_F(StoreFiles, GroupWritersShareTheJournalAndNeverDeleteOneTheyCannotRead)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "not root, so it cannot act as members of a group";
    const std::string journal = file + ".journal";
    ASSERT_EQ(chown(root.c_str(), 0, 2400), 0);
    ASSERT_EQ(chmod(root.c_str(), 0775), 0);
    Put(BEFORE);
    ASSERT_EQ(chown(file.c_str(), 0, 2400), 0);
    ASSERT_EQ(chmod(file.c_str(), 0664), 0);
    auto asMember = [](uid_t uid, const std::function<void()> &body) {
        return RunChild(60, [&] {
            if (setgroups(0, NULL) != 0 || setgid(2400) != 0 || setuid(uid) != 0)
                _exit(3);
            body();
        });
    };
    // Member 2401 is killed halfway through its rewrite in place (it cannot replace root's
    // file): its journal is the registry's group's, and readable by the group.
    int status = asMember(2401, [&] {
        RegStoreFailNextWrite(RegWriteStage::KillInPlace);
        Set(u"Platform", u"Longer", REG_SZ, Data(u"tail"));
    });
    ASSERT_EQ(status, 128 + SIGKILL);
    struct stat info = Stat(journal);
    EXPECT_EQ(info.st_uid, 2401u);
    EXPECT_EQ(info.st_gid, 2400u);
    EXPECT_EQ(info.st_mode & 07777, 0664u & ~0002u);
    // Member 2402 finishes it.
    EXPECT_EQ(asMember(2402, [&] { EXPECT_EQ(SetCode(), ERROR_SUCCESS); }), 0);
    EXPECT_EQ(Contents(), BEFORE + "\"Longer\"=\"tail\"\n\"Code\"=dword:0000001d\n");
    EXPECT_NE(access(journal.c_str(), F_OK), 0);

    // A journal member 2402 cannot read stops its write, and stays for one who can.
    const std::string now = Contents();
    const std::string shorter = BEFORE;
    Put(shorter + now.substr(shorter.size()));
    Write(journal, Record(shorter, now));
    ASSERT_EQ(chown(journal.c_str(), 2401, 2400), 0);
    ASSERT_EQ(chmod(journal.c_str(), 0600), 0);
    ASSERT_EQ(chown(file.c_str(), 0, 2400), 0);
    const std::string mix = Contents();
    EXPECT_EQ(asMember(2402,
                       [&] {
                           std::string said =
                               Said([&] { EXPECT_EQ(SetCode(), ERROR_ACCESS_DENIED); });
                           EXPECT_NE(said.find("zembrel: " + journal +
                                               ": left by a rewrite that did not " +
                                               "finish, but it cannot be read (Permission denied)"),
                                     std::string::npos)
                               << said;
                       }),
              0);
    EXPECT_EQ(Contents(), mix);
    EXPECT_EQ(access(journal.c_str(), F_OK), 0);
    EXPECT_EQ(SetCode(), ERROR_SUCCESS); // root can read it, and finishes it
    EXPECT_EQ(Contents(), AFTER);
}

// ---- Links re-pointed, sizes, junk -----------------------------------------------------------

TEST_F(StoreFiles, LinkRepointedWhileWaitingForTheLockIsFollowedToItsNewFile)
{
    const std::string slotA = root + "/slotA.reg";
    const std::string slotB = root + "/slotB.reg";
    const std::string textB = BEFORE + "\"Slot\"=\"B\"\n";
    Write(slotA, BEFORE);
    Write(slotB, textB);
    ASSERT_EQ(symlink("slotA.reg", file.c_str()), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        // Holds slot A's lock while the device switches to slot B, then lets go.
        int lock = open((slotA + ".lock").c_str(), O_RDONLY | O_CREAT, 0644);
        if (lock < 0 || flock(lock, LOCK_EX) != 0)
            _exit(1);
        if (write(ready[1], "x", 1) != 1)
            _exit(1);
        usleep(300 * 1000);
        std::string next = root + "/next";
        if (symlink("slotB.reg", next.c_str()) != 0 || rename(next.c_str(), file.c_str()) != 0)
            _exit(1);
        usleep(700 * 1000);
        _exit(0);
    }
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_EQ(SetCode(), ERROR_SUCCESS);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    EXPECT_EQ(status, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(Read(slotA), BEFORE);
    EXPECT_EQ(Read(slotB), textB + "\"Code\"=dword:0000001d\n");
}

TEST_F(StoreFiles, RegistryOverTheSizeLimitIsNeitherReadNorWritten)
{
    Put(BEFORE);
    RegStoreSetSizeLimit(BEFORE.size() + 10);
    std::string said = Said([&] { EXPECT_EQ(SetCode(), ERROR_FILE_TOO_LARGE); });
    EXPECT_NE(said.find("zembrel: " + file + ": the edit would make the registry over 4 GiB"),
              std::string::npos)
        << said;
    EXPECT_EQ(Contents(), BEFORE);
    RegStoreSetSizeLimit(0);

    // Over the limit, the file is refused on its size alone, before a byte of it is read: a
    // process allowed far less memory than the file's size still says why.
    ASSERT_EQ(truncate(file.c_str(), (off_t)REG_MAX_BYTES + 1), 0);
    FinishesWithin(60, [&] {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__has_feature)
        struct rlimit limit = {256u << 20, 256u << 20};
        ASSERT_EQ(setrlimit(RLIMIT_DATA, &limit), 0);
#endif
        std::string said = Said([&] { EXPECT_FALSE(Exists(u"Platform")); });
        EXPECT_NE(said.find(file + ": over 4 GiB, too large to be a registry"), std::string::npos)
            << said;
    });
}

TEST_F(StoreFiles, ManyJunkLinesAreCountedNotEachReported)
{
    std::string text = BEFORE;
    for (int i = 0; i < 5000; ++i)
        text += "junk\n";
    Put(text);
    std::string said = Said([&] {
        ExpectValue(u"Platform", u"Build", REG_SZ, Data(u"388"));
        EXPECT_EQ(SetCode(), ERROR_SUCCESS);
    });
    EXPECT_EQ(Count(said, "\n"), REG_MAX_REPORTED + 1) << said.substr(0, 400);
    EXPECT_NE(said.find(file + ": ... and " + std::to_string(5000 - REG_MAX_REPORTED) +
                        " more lines like these"),
              std::string::npos);
    EXPECT_EQ(Contents(), text + "\"Code\"=dword:0000001d\n");
}

// A process allowed less memory than the store needs: regtool in a process of its own, whose
// heap holds nothing from earlier tests, with less room for data than the file takes.
// Sanitizers reserve far more than any such limit, so only the plain builds have this test.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__has_feature)
TEST_F(StoreFiles, OutOfMemoryIsSaidAndTheRegistryIsUnchanged)
{
    std::string text = BEFORE;
    for (int n = 0; text.size() < (11u << 20); ++n)
        text += "\"Value" + std::to_string(n) + "\"=\"the text of an ordinary value\"\n";
    Put(text);
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(err[1], 2);
        struct rlimit limit = {8u << 20, 8u << 20};
        setrlimit(RLIMIT_DATA, &limit);
        execl(ZEMBREL_REGTOOL, "regtool", "set", "Platform", "Code", "4", "1d000000", (char *)NULL);
        _exit(127);
    }
    close(err[1]);
    std::string said;
    char buffer[4096];
    for (ssize_t got; (got = read(err[0], buffer, sizeof buffer)) > 0;)
        said.append(buffer, (size_t)got);
    close(err[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(said.find("zembrel: " + file + ": out of memory, so the registry call fails; " +
                        "the registry is unchanged"),
              std::string::npos)
        << said;
    EXPECT_EQ(Contents(), text);
}
#endif

} // namespace
