// Tests of the POSIX registry store among odd files and neighbours: links, owners, the lock.
#include "store_fixture.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>

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

TEST_F(StoreFiles, LockIsPrivateAndNeverALinkOrAFifo)
{
    Put(BEFORE);
    const std::string lock = file + ".lock";
    Write(lock, "");
    ASSERT_EQ(chmod(lock.c_str(), 0644), 0); // as an older writer made it
    ASSERT_EQ(SetCode(), ERROR_SUCCESS);
    EXPECT_EQ(Stat(lock).st_mode & 0777, 0600u);
    ASSERT_EQ(unlink(lock.c_str()), 0);
    ASSERT_EQ(Set(u"Platform", u"Build", REG_SZ, Data(u"389")), ERROR_SUCCESS);
    EXPECT_EQ(Stat(lock).st_mode & 0777, 0600u);
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
}

TEST_F(StoreFiles, LockBelongsToWhoMayWriteTheRegistry)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "not root, so it cannot make files for another account";
    // No registry yet: the folder's owner.
    const std::string lock = file + ".lock";
    ASSERT_EQ(chown(root.c_str(), 1234, 5678), 0);
    ASSERT_EQ(RegStoreUpdate(file, [](RegDocument &) { return ERROR_SUCCESS; }), ERROR_SUCCESS);
    EXPECT_EQ(Stat(lock).st_uid, 1234u);
    EXPECT_EQ(Stat(lock).st_gid, 5678u);
    EXPECT_EQ(Stat(lock).st_mode & 07777, 0600u);
    EXPECT_NE(access(file.c_str(), F_OK), 0);
    // The registry's owner, and its group where the group may write it.
    Put(BEFORE);
    ASSERT_EQ(chown(file.c_str(), 4321, 8765), 0);
    for (mode_t mode : {0660, 0640}) {
        ASSERT_EQ(chmod(file.c_str(), mode), 0);
        ASSERT_EQ(RegStoreUpdate(file, [](RegDocument &) { return ERROR_SUCCESS; }), ERROR_SUCCESS);
        EXPECT_EQ(Stat(lock).st_uid, 4321u);
        EXPECT_EQ(Stat(lock).st_gid, 8765u);
        EXPECT_EQ(Stat(lock).st_mode & 07777, mode == 0660 ? 0660u : 0600u);
    }
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

} // namespace
