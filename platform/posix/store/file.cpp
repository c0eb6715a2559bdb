// The registry file on disk as readers see it: who may read or write it, what the store says
// when it cannot, and the read itself, with the parse shared while the bytes stay the same.
#include "internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>
#include <tuple>

std::string FolderOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

static bool Permits(const std::string &path, int mode, mode_t anyoneBits)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && (info.st_mode & anyoneBits) != 0 &&
           faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

// The file a write replaces: the registry itself, or the file its symbolic link names, so that
// a registry kept elsewhere gets the value and the link stays a link. Returns 0 or the errno;
// a link to nothing is ENOENT.
int ResolveTarget(const std::string &path, std::string &target)
{
    struct stat info;
    target = path;
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
        return 0;
    char *resolved = realpath(path.c_str(), NULL);
    if (resolved == NULL)
        return errno;
    target = resolved;
    free(resolved);
    return 0;
}

bool RegStoreCanWrite(const std::string &path)
{
    std::string target;
    return ResolveTarget(path, target) == 0 && CanWriteTarget(target);
}

bool CanWriteTarget(const std::string &target)
{
    if (!Permits(FolderOf(target), W_OK | X_OK, 0222))
        return false;
    struct stat info;
    if (stat(target.c_str(), &info) != 0)
        return errno == ENOENT;
    return Permits(target, W_OK, 0222);
}

// ---- What the store says --------------------------------------------------------------------

// The process runs its registry calls on one thread: nothing here is shared with another.
static std::set<std::string> s_said;

void RegStoreSay(const std::string &message)
{
    if (s_said.insert(message).second)
        WriteDiagnostic("%s", message.c_str());
}

std::string RegStoreReason(int error)
{
    return error == REG_NOT_A_FILE ? "not a regular file" : strerror(error);
}

bool RegStoreSayIfNoRoot(const std::string &path)
{
    std::string root = FolderOf(path);
    struct stat info;
    int error = stat(root.c_str(), &info) != 0 ? errno : S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    if (error == 0)
        return false;
    RegStoreSay(root + ": the device root " +
                (error == ENOENT || error == ENOTDIR ? "does not exist" : "cannot be reached") +
                " (" + strerror(error) + ")");
    return true;
}

void RegStoreSayUnreadable(const std::string &path, int error)
{
    if (!RegStoreSayIfNoRoot(path))
        RegStoreSay(path + ": cannot be read (" + RegStoreReason(error) + ")");
}

void RegStoreSayReadOnly(const std::string &path)
{
    if (RegStoreSayIfNoRoot(path))
        return;
    std::string target;
    int error = ResolveTarget(path, target);
    if (error != 0)
        RegStoreSay(path + ": a symbolic link to nothing that can be written (" +
                    RegStoreReason(error) + "), so nothing is written to it");
    else
        RegStoreSay(path + ": read-only, so nothing is written to it");
}

// ---- Reading the file ----------------------------------------------------------------------

// Reads from the descriptor's position to its end, into room for the size it was said to have.
int ReadAll(int fd, size_t size, std::string &bytes)
{
    bytes.resize(size);
    size_t done = 0;
    char more[4096]; // only for a file that grew since its size was taken
    for (;;) {
        bool room = done < bytes.size();
        ssize_t got =
            room ? read(fd, &bytes[done], bytes.size() - done) : read(fd, more, sizeof more);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno;
        if (got == 0)
            break;
        if (!room)
            bytes.append(more, (size_t)got); // it grew since
        done += (size_t)got;
    }
    bytes.resize(done);
    return 0;
}

// Whether the descriptor, read from its position to its end, gives exactly these bytes.
static bool SameContent(int fd, const std::string &bytes)
{
    char buffer[16384]; // on the stack, whose pages count towards the peak
    size_t done = 0;
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0 && done == bytes.size();
        if ((size_t)got > bytes.size() - done || memcmp(buffer, bytes.data() + done, got) != 0)
            return false;
        done += (size_t)got;
    }
}

// What a reading says, once for each content of the file: a file read again says nothing new.
// A writer reads whole what a reader read only the key lines of, and does not say again what a
// reader said of the same file (its identity and times the same) before it.
static std::set<std::tuple<std::string, size_t, std::string>> s_reported;
static std::string s_identity;                 // the stat data of the file last read
static std::set<std::string> s_saidOfIdentity; // and what was said of it

static std::string Identity(const struct stat &info)
{
    char text[160];
    snprintf(text, sizeof text, "%ju/%ju/%jd/%jd.%ld/%jd.%ld", (uintmax_t)info.st_dev,
             (uintmax_t)info.st_ino, (intmax_t)info.st_size, (intmax_t)info.st_mtim.tv_sec,
             info.st_mtim.tv_nsec, (intmax_t)info.st_ctim.tv_sec, info.st_ctim.tv_nsec);
    return text;
}

// What a reading read, hashed only when there is something to say: the key lines for a reader,
// so that two files that differ only in their value lines say the same there.
static size_t ContentKey(const RegDocument &doc)
{
    return doc.indexed ? std::hash<std::string>()(std::to_string(doc.size) + ":" + doc.keyLines)
                       : std::hash<std::string>()(doc.bytes);
}

void ReportLines(const RegDocument &doc, const std::vector<std::string> &lines)
{
    if (lines.empty())
        return;
    size_t key = ContentKey(doc);
    for (const std::string &line : lines) {
        if (s_reported.emplace(doc.path, key, line).second && s_saidOfIdentity.count(line) == 0)
            WriteDiagnostic("%s", line.c_str());
        s_saidOfIdentity.insert(line);
    }
}

static void Report(const RegDocument &doc, const struct stat &info)
{
    std::string identity = Identity(info);
    if (identity != s_identity) {
        s_identity = identity;
        s_saidOfIdentity.clear();
    }
    ReportLines(doc, doc.diagnostics);
}

// The last parse, kept while the file's bytes stay the same.
static std::shared_ptr<const RegDocument> s_parsed;

// The file as it was when its parse was last known to hold: a change of its content changes its
// size, its times or (replaced) its inode. A change within the same tick of the file system's
// clock as the one before it may leave them all as they were, so the parse is trusted on them
// alone only once both times lie further back, from the moment before the file was looked at,
// than a tick of the clock that made them; until then the bytes are compared, as git does with
// the entries it calls racily clean. A time in whole hundredths of a second may come from a clock
// as coarse as FAT's (2 s); any other comes from one that keeps finer times than that, which
// Linux's file systems take from its own clock, a tick of which is 10 ms at most: 50 ms serve.
struct Seen {
    dev_t dev;
    ino_t ino;
    off_t size;
    struct timespec mtime;
    struct timespec ctime;
    bool settled;
};
static Seen s_seen;
static int64_t s_settleNanoseconds = 2000000000;
static const int64_t FINE_CLOCK_TICKS = 50000000;
static struct timespec s_lookedAt; // the moment before the file was last looked at
static unsigned s_wholeReads;

#ifdef ZEMBREL_TEST_HOOKS
static const struct timespec *s_frozenClock;

void RegStoreSetSettleTime(int64_t nanoseconds)
{
    s_settleNanoseconds = nanoseconds;
}

void RegStoreFreezeFileClock(const struct timespec *tick)
{
    s_frozenClock = tick;
}

unsigned RegStoreWholeReads()
{
    return s_wholeReads;
}
#endif

static int64_t Nanoseconds(const struct timespec &time)
{
    return (int64_t)time.tv_sec * 1000000000 + time.tv_nsec;
}

static bool SameTime(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// How far back a time of the file lies from the moment it was looked at, against a tick of the
// clock it came from.
static bool LongAgo(const struct timespec &time)
{
    int64_t tick = time.tv_nsec % 10000000 == 0 ? s_settleNanoseconds
                                                : std::min(s_settleNanoseconds, FINE_CLOCK_TICKS);
    return Nanoseconds(time) < Nanoseconds(s_lookedAt) - tick;
}

// A parse read through a journal is not the file's content, and is never trusted on the file's
// stat data (trusted false).
static void Remember(const struct stat &info, bool trusted)
{
    s_seen =
        Seen{info.st_dev,  info.st_ino,  info.st_size,
             info.st_mtim, info.st_ctim, trusted && LongAgo(info.st_mtim) && LongAgo(info.st_ctim)};
}

static bool SeenUnchanged(const struct stat &info)
{
    return s_seen.settled && info.st_dev == s_seen.dev && info.st_ino == s_seen.ino &&
           info.st_size == s_seen.size && SameTime(info.st_mtim, s_seen.mtime) &&
           SameTime(info.st_ctim, s_seen.ctime);
}

// Only a regular file is read: a FIFO, socket or device in the registry's place is refused, not
// waited on or set going.
int NotRegular(const struct stat &info)
{
    return S_ISREG(info.st_mode) ? 0 : S_ISDIR(info.st_mode) ? EISDIR : REG_NOT_A_FILE;
}

// A small file read whole, not through a link and without blocking: the file a rewrite in place
// rewrote, to compare with its journal.
int ReadRegularFile(const std::string &path, std::string &bytes)
{
    FdCloser file{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)};
    struct stat info;
    if (file.fd < 0 || fstat(file.fd, &info) != 0)
        return errno;
    int error = NotRegular(info);
    return error != 0 ? error : ReadAll(file.fd, (size_t)info.st_size, bytes);
}

int OpenRegistry(const std::string &path, FdCloser &file, struct stat &info, std::string &target)
{
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    target = path;
    file.fd = open(path.c_str(), flags | O_NOFOLLOW);
    if (file.fd < 0 && errno == ELOOP) {
        int error = ResolveTarget(path, target);
        if (error != 0)
            return error;
        file.fd = open(target.c_str(), flags);
    }
    clock_gettime(CLOCK_REALTIME, &s_lookedAt);
    if (file.fd < 0 || fstat(file.fd, &info) != 0)
        return errno;
#ifdef ZEMBREL_TEST_HOOKS
    if (s_frozenClock != NULL)
        info.st_mtim = info.st_ctim = *s_frozenClock;
#endif
    // A file with no read bit for anyone is unreadable, to root too, as it is on the device.
    int error = NotRegular(info);
    return error != 0 ? error : (info.st_mode & 0444) == 0 ? EACCES : 0;
}

int ReadOpened(int fd, const struct stat &info, const std::string &path, const std::string &target,
               std::shared_ptr<const RegDocument> &doc, bool reader)
{
    // Refused before a byte is read: reading it whole would cost its size in memory.
    if ((uint64_t)info.st_size > SizeLimit()) {
        RegStoreSay(path + ": over 4 GiB, too large to be a registry");
        return EFBIG;
    }
    // A rewrite in place under way, or cut short, leaves its journal: then the file is read
    // whole and through it.
    bool rewriting = access(JournalPath(target, false).c_str(), F_OK) == 0;
    bool same = !rewriting && s_parsed && s_parsed->path == path;
    if (same && reader && SeenUnchanged(info)) {
        doc = s_parsed;
        return 0;
    }
    if (same && !s_parsed->indexed && s_parsed->bytes.size() == (size_t)info.st_size &&
        lseek(fd, 0, SEEK_SET) == 0 && (++s_wholeReads, SameContent(fd, s_parsed->bytes))) {
        Remember(info, true);
        doc = s_parsed;
        return 0;
    }
    // The old parse goes before the new one is built, so only one is ever held.
    s_parsed.reset();
    ++s_wholeReads;
    // A reader needs the key lines and the sections it asks for; a writer, the whole file.
    if (reader && !rewriting) {
        std::shared_ptr<RegDocument> index = std::make_shared<RegDocument>();
        int error = lseek(fd, 0, SEEK_SET) == 0 ? RegStoreIndex(*index, fd, path) : errno;
        if (error == EFBIG)
            RegStoreSay(path + ": over 4 GiB, too large to be a registry");
        if (error != REG_WIDE_FILE) {
            if (error != 0)
                return error;
            Report(*index, info);
            s_parsed = index;
            Remember(info, true);
            doc = index;
            return 0;
        }
    }
    std::string bytes;
    int error = lseek(fd, 0, SEEK_SET) == 0 ? ReadAll(fd, (size_t)info.st_size, bytes) : errno;
    if (error != 0)
        return error;
    // Entries keep 32-bit offsets: a quarter of the memory a registry file of any real size
    // would otherwise need. The file may have grown since it was looked at.
    if (bytes.size() > SizeLimit()) {
        RegStoreSay(path + ": over 4 GiB, too large to be a registry");
        return EFBIG;
    }
    if (rewriting)
        ReadThroughJournal(target, info, bytes);
    std::shared_ptr<RegDocument> fresh = std::make_shared<RegDocument>();
    Parse(*fresh, path, std::move(bytes));
    Report(*fresh, info);
    s_parsed = fresh;
    Remember(info, !rewriting);
    doc = fresh;
    return 0;
}

int RegStoreRead(std::shared_ptr<const RegDocument> &doc, const std::string &path)
{
    FdCloser file{-1};
    struct stat info;
    std::string target;
    int error = OpenRegistry(path, file, info, target);
    if (error == ENOENT) {
        std::shared_ptr<RegDocument> empty = std::make_shared<RegDocument>();
        empty->path = path;
        doc = empty;
        return 0;
    }
    return error != 0 ? error : ReadOpened(file.fd, info, path, target, doc, true);
}

void TakeOver(std::shared_ptr<const RegDocument> &shared, RegDocument &doc)
{
    // A caller that edits the file takes the parse over rather than copy it, unless another
    // reader still holds it; the file is about to change anyway.
    if (s_parsed == shared)
        s_parsed.reset();
    if (shared.use_count() == 1) // made as a RegDocument of its own by ReadOpened
        doc = std::move(const_cast<RegDocument &>(*shared));
    else
        doc = *shared;
    shared.reset();
}
