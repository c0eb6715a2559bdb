// The locked, atomic write: the test builds' failure hooks, the temporary file renamed over
// the registry, the writers' lock beside it, and the update that runs an edit under the lock.
#include "internal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#ifdef ZEMBREL_TEST_HOOKS
static RegWriteStage s_failAt = RegWriteStage::None;
static uint64_t s_sizeLimit = 0;

void RegStoreFailNextWrite(RegWriteStage stage)
{
    s_failAt = stage;
}

void RegStoreSetSizeLimit(uint64_t bytes)
{
    s_sizeLimit = bytes;
}

// True, once, when the tests asked this stage to fail; errno then says what a disk would.
bool Injected(RegWriteStage stage)
{
    if (s_failAt != stage)
        return false;
    s_failAt = RegWriteStage::None;
    errno = EIO;
    return true;
}

uint64_t SizeLimit()
{
    return s_sizeLimit != 0 ? s_sizeLimit : REG_MAX_BYTES;
}
#else
bool Injected(RegWriteStage)
{
    return false;
}

uint64_t SizeLimit()
{
    return REG_MAX_BYTES;
}
#endif

// ---- The locked, atomic write --------------------------------------------------------------

LONG ErrorFromErrno(int error)
{
    return error == EACCES || error == EPERM || error == EROFS ? ERROR_ACCESS_DENIED
                                                               : ERROR_WRITE_FAULT;
}

bool WriteAll(int fd, const std::string &bytes)
{
    // An injected failure leaves a half-written temporary file, as a full disk would.
    bool fail = Injected(RegWriteStage::Write);
    size_t limit = fail ? bytes.size() / 2 : bytes.size();
    for (size_t done = 0; done < limit;) {
        ssize_t wrote = write(fd, bytes.data() + done, limit - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote < 0)
            return false;
        done += (size_t)wrote;
    }
    if (fail)
        errno = ENOSPC;
    return !fail;
}

std::string BaseName(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}

// Says why a write failed, and that the registry is as it was.
LONG Refuse(const std::string &path, const char *failed, int error)
{
    RegStoreSay(path + ": " + failed + " (" + RegStoreReason(error) +
                "); the registry is unchanged");
    return ErrorFromErrno(error);
}

bool FlushFolder(const std::string &path)
{
    int folder = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool synced = folder >= 0 && !Injected(RegWriteStage::DirFsync) && fsync(folder) == 0;
    int error = errno;
    if (folder >= 0)
        close(folder);
    errno = error;
    return synced;
}

// Gives a file the owner and group of another where this process may, else the group alone
// where it may (a member of that group can), else leaves it.
bool GiveOwner(int fd, const struct stat &owner)
{
    struct stat own;
    if (fstat(fd, &own) == 0 && own.st_uid == owner.st_uid && own.st_gid == owner.st_gid)
        return true;
    if (fchown(fd, owner.st_uid, owner.st_gid) == 0)
        return true;
    int error = errno;
    if (fchown(fd, (uid_t)-1, owner.st_gid) != 0) {
        // Nothing to undo.
    }
    errno = error;
    return false;
}

static const char CANNOT_CHOWN[] = "cannot give the temporary file the registry's owner";

// The bytes of the file behind `in` from `offset`, `length` of them, written to `out` where it
// stands: by the kernel, which may share the blocks, where it can copy between the two files.
static bool CopyRange(int in, uint64_t offset, uint64_t length, int out)
{
    while (length > 0) {
        loff_t from = (loff_t)offset;
        ssize_t copied =
            copy_file_range(in, &from, out, NULL, (size_t)std::min<uint64_t>(length, 1u << 30), 0);
        if (copied < 0 && errno == EINTR)
            continue;
        if (copied < 0 && errno != EXDEV && errno != EINVAL && errno != ENOSYS &&
            errno != EOPNOTSUPP)
            return false;
        if (copied < 0)
            break; // not between these two: through a buffer
        if (copied == 0) {
            errno = EIO; // the file ended before the bytes it was read with
            return false;
        }
        offset += (uint64_t)copied;
        length -= (uint64_t)copied;
    }
    std::string block;
    while (length > 0) {
        int error = ReadAt(in, offset, (size_t)std::min<uint64_t>(length, 1 << 16), block);
        if (error != 0 || block.empty()) {
            errno = error != 0 ? error : EIO;
            return false;
        }
        if (!WriteAll(out, block))
            return false;
        offset += block.size();
        length -= block.size();
    }
    return true;
}

// The file's `size` bytes behind `in` with the splice made, written to `out`: streamed from the
// one file into the other, never held whole. An injected failure leaves a half-written file, as
// a full disk would.
static bool WriteSpliced(int out, int in, uint64_t size, const FileSplice &splice)
{
    const uint64_t total = size - splice.cut + splice.bytes.size();
    const bool fail = Injected(RegWriteStage::Write);
    const uint64_t limit = fail ? total / 2 : total;
    const uint64_t head = std::min(splice.at, limit);
    const uint64_t middle = std::min<uint64_t>(splice.bytes.size(), limit - head);
    bool written = CopyRange(in, 0, head, out) &&
                   WriteAll(out, splice.bytes.substr(0, (size_t)middle)) &&
                   CopyRange(in, splice.at + splice.cut, limit - head - middle, out);
    if (fail)
        errno = ENOSPC;
    return written && !fail;
}

// A complete, flushed file beside the target, written by `fill`, under a name no one else uses.
// Returns NULL, or what failed with errno set; `temp` names the file left to remove.
const char *WriteTemp(const std::string &target, const std::function<bool(int)> &fill,
                      const NewFile &how, std::string &temp)
{
    FdCloser file{-1};
    for (int attempt = 0; file.fd < 0 && attempt < 100; ++attempt) {
        temp = target + ".tmp." + std::to_string(getpid()) + "." + std::to_string(attempt);
        if (Injected(RegWriteStage::OpenTemp))
            break;
        file.fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, how.mode);
        if (file.fd < 0 && errno != EEXIST)
            break;
    }
    if (file.fd < 0) {
        temp.clear();
        return "cannot create the temporary file";
    }
    if (how.owner != NULL && !GiveOwner(file.fd, *how.owner) && how.ownerRequired)
        return CANNOT_CHOWN;
    if (how.exactMode && fchmod(file.fd, how.mode) != 0)
        return "cannot give the temporary file the registry's mode";
    if (!fill(file.fd))
        return "cannot write the temporary file";
    if (Injected(RegWriteStage::Fsync) || fsync(file.fd) != 0)
        return "cannot flush the temporary file";
    int fd = file.fd;
    file.fd = -1;
    if (close(fd) != 0)
        return "cannot close the temporary file";
    return NULL;
}

// Writes the bytes over the file's own content from `at`, and ends it after them: space reserved
// first, so that a full disk stops the rewrite before it changes a byte.
bool CopyInto(const std::string &target, uint64_t at, const std::string &bytes)
{
    FdCloser file{open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    struct stat info;
    if (file.fd < 0 || fstat(file.fd, &info) != 0)
        return false;
    if (!S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return false;
    }
    const uint64_t end = at + bytes.size();
#ifdef FALLOC_FL_KEEP_SIZE
    if (end > (uint64_t)info.st_size &&
        fallocate(file.fd, FALLOC_FL_KEEP_SIZE, (off_t)at, (off_t)bytes.size()) != 0 &&
        errno != EOPNOTSUPP)
        return false;
#endif
    if (lseek(file.fd, (off_t)at, SEEK_SET) < 0)
        return false;
    bool kill = Injected(RegWriteStage::KillInPlace);
    if (kill || Injected(RegWriteStage::InPlace)) {
        // Cut short halfway, as a writer killed there would be.
        WriteAll(file.fd, bytes.substr(0, bytes.size() / 2));
        if (kill)
            raise(SIGKILL);
        errno = EIO;
        return false;
    }
    return WriteAll(file.fd, bytes) && ftruncate(file.fd, (off_t)end) == 0 && fsync(file.fd) == 0;
}

// A writer's temporary name ends in ".tmp.<pid>.<n>".
static bool IsTemporaryName(const std::string &name, const std::string &registry)
{
    std::string prefix = registry + ".tmp.";
    if (name.compare(0, prefix.size(), prefix) != 0)
        return false;
    size_t dot = name.find_first_not_of("0123456789", prefix.size());
    return dot != std::string::npos && dot > prefix.size() && name[dot] == '.' &&
           dot + 1 < name.size() &&
           name.find_first_not_of("0123456789", dot + 1) == std::string::npos;
}

// Writers hold the lock while their temporary file exists, so under the lock every one there
// is a dead writer's: a partial copy of the registry that no one will finish.
static void RemoveLeftovers(const std::string &target)
{
    DIR *folder = opendir(FolderOf(target).c_str());
    if (folder == NULL)
        return;
    while (struct dirent *entry = readdir(folder))
        if (IsTemporaryName(entry->d_name, BaseName(target)))
            unlinkat(dirfd(folder), entry->d_name, 0);
    closedir(folder);
}

// Writes the new registry beside the target and renames it over: readers see the old file or
// the new one, and a crash leaves one of them. The new file is the old one behind `source`,
// `size` bytes, with the splice made. The replacement keeps the original's owner, group and
// mode; a registry made anew has the folder's owner and group.
static LONG WriteRegistry(const std::string &target, const struct stat *existing, int source,
                          uint64_t size, const FileSplice &splice)
{
    if (existing != NULL && existing->st_nlink > 1)
        return RewriteInPlace(target, *existing, source, size, splice);
    struct stat folder;
    bool haveFolder = existing == NULL && stat(FolderOf(target).c_str(), &folder) == 0;
    NewFile how = existing != NULL
                      ? NewFile{existing, true, (mode_t)(existing->st_mode & 07777), true}
                      : NewFile{haveFolder ? &folder : NULL, false, 0666, false};
    std::string temp;
    const char *failed = WriteTemp(
        target, [&](int fd) { return WriteSpliced(fd, source, size, splice); }, how, temp);
    if (failed == NULL &&
        (Injected(RegWriteStage::Rename) || rename(temp.c_str(), target.c_str()) != 0))
        failed = "cannot rename the temporary file over the registry";
    if (failed != NULL) {
        int error = errno;
        if (!temp.empty())
            unlink(temp.c_str());
        if (failed == CANNOT_CHOWN && error == EPERM)
            return RewriteInPlace(target, *existing, source, size, splice);
        return Refuse(target, failed, error);
    }
    // The new text is in place; only its surviving a crash is in doubt if the folder cannot be
    // flushed. That is said, and the write counts as done: nothing is put back.
    if (!FlushFolder(target))
        RegStoreSay(target + ": written, but the folder cannot be flushed (" + strerror(errno) +
                    "), so a crash may yet lose the change");
    return ERROR_SUCCESS;
}

// A lock this run made: readable by all, for flock needs no more than a descriptor, and every
// account that may ever write the registry must be able to take it; with the registry's owner
// and group, or the folder's where there is no registry yet. A lock that was there already is
// left as it is: its name may be a hard link to anyone's file.
static void FitNewLock(int fd, const std::string &target)
{
    struct stat owner;
    if (stat(target.c_str(), &owner) == 0 || stat(FolderOf(target).c_str(), &owner) == 0)
        GiveOwner(fd, owner);
    if (fchmod(fd, 0644) != 0) {
        // The umask's mode stays: the lock works all the same for this account.
    }
}

// The lock file lives beside the registry and is never renamed or deleted, so every writer
// locks the same inode whichever version of the registry it reads. It is never a link, which
// would have a root run create or lock a file wherever the link points, and it must be a
// regular file with no other name.
static int OpenLock(const std::string &target)
{
    std::string lock = target + ".lock";
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = open(lock.c_str(), flags | O_CREAT | O_EXCL, 0644);
    bool created = fd >= 0;
    if (fd < 0 && errno == EEXIST)
        fd = open(lock.c_str(), flags);
    if (fd < 0) {
        RegStoreSay(lock + ": the writers' lock cannot be opened (" +
                    (errno == ELOOP ? "a symbolic link, never followed" : strerror(errno)) +
                    "), so nothing is written");
        return -1;
    }
    struct stat info;
    const char *wrong = fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ? "is not a regular file"
                        : info.st_nlink != 1                            ? "has other hard links"
                                                                        : NULL;
    if (wrong != NULL) {
        close(fd);
        RegStoreSay(lock + ": the writers' lock " + wrong + ", so nothing is written");
        return -1;
    }
    if (created)
        FitNewLock(fd, target);
    return fd;
}

// Whoever holds the lock longer than the deadline, a stuck writer or any process that can
// open the file, costs this write and no more. The polls come often, so that a waiter sees the
// lock free before a busy writer takes it again.
static bool WaitForLock(int fd)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(REG_LOCK_WAIT_SECONDS);
    auto pause = std::chrono::microseconds(100);
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) ||
            std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(2000));
    }
    return true;
}

// Locks the file the registry's path names now. A link re-pointed while this writer waited for
// the lock names another file, whose lock is taken instead: the file read, edited and written
// is always the one whose lock is held.
static LONG LockTarget(const std::string &path, std::string &target, FdCloser &lock)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        // A rename needs only the folder: the file's own permission is honoured here.
        if (ResolveTarget(path, target) != 0 || !CanWriteTarget(target)) {
            RegStoreSayReadOnly(path);
            return ERROR_ACCESS_DENIED;
        }
        lock.fd = OpenLock(target);
        if (lock.fd < 0)
            return ERROR_ACCESS_DENIED;
        if (!WaitForLock(lock.fd)) {
            RegStoreSay(target + ".lock: another process has held the writers' lock for " +
                        std::to_string(REG_LOCK_WAIT_SECONDS) + " seconds, so nothing is written");
            return ERROR_WRITE_FAULT;
        }
        std::string now;
        if (ResolveTarget(path, now) == 0 && now == target)
            return ERROR_SUCCESS;
        close(lock.fd);
        lock.fd = -1;
    }
    RegStoreSay(path + ": its link names another file each time the lock is taken, so nothing " +
                "is written");
    return ERROR_WRITE_FAULT;
}

FileSplice SpliceOf(const std::string &before, const std::string &after)
{
    size_t same = 0;
    size_t tail = 0;
    CommonEnds(before, after, same, tail);
    return FileSplice{same, before.size() - same - tail,
                      after.substr(same, after.size() - same - tail)};
}

// One update, one pass: the registry's name resolved and its file locked, a rewrite cut short
// finished, the file opened once and read from that descriptor, the edit run and checked, the
// new text written, each step once and each failure said once. The edit goes where the key lines
// say, read and checked there alone, and the file is copied around it; where they cannot say
// what the edit means, the file is read and edited whole.
LONG RegStoreUpdate(const std::string &path, const std::function<LONG(RegDocument &)> &edit)
{
    std::string target;
    FdCloser lock{-1};
    LONG result = LockTarget(path, target, lock);
    if (result == ERROR_SUCCESS)
        result = FinishRewrite(target);
    if (result != ERROR_SUCCESS)
        return result;
    RemoveLeftovers(target);

    FdCloser file{-1};
    struct stat info;
    std::string opened;
    const int error = OpenRegistry(target, file, info, opened);
    RegDocument doc;
    for (bool whole : {false, true}) {
        std::shared_ptr<const RegDocument> shared;
        int read = error == 0 ? ReadOpened(file.fd, info, path, target, shared, !whole) : error;
        doc = RegDocument();
        doc.path = path;
        if (read == 0)
            TakeOver(shared, doc);
        else if (read != ENOENT) {
            RegStoreSayUnreadable(path, read);
            return ERROR_ACCESS_DENIED;
        }
        if (!doc.valid) {
            RegStoreSay(path + ": not a .reg file, so it is not written over");
            return ERROR_REGISTRY_CORRUPT;
        }
        if (!doc.indexed)
            break;
        result = edit(doc);
        if (doc.needsWhole)
            continue;
        if (result != ERROR_SUCCESS || !doc.modified)
            return result;
        return WriteRegistry(target, &info, file.fd, doc.size,
                             FileSplice{doc.spliceAt, doc.spliceCut, std::move(doc.spliceBytes)});
    }
    std::string bytes;
    result = RegStoreEdit(doc, edit, bytes);
    if (result != ERROR_SUCCESS || bytes.empty())
        return result;
    return WriteRegistry(target, error == 0 ? &info : NULL, file.fd, doc.bytes.size(),
                         SpliceOf(doc.bytes, bytes));
}
