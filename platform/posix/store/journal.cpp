// The journal of a rewrite in place: written before the first byte of the registry changes,
// read through by readers, finished by the next writer, trusted only from the registry's own
// writers.
#include "internal.h"

#include <algorithm>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

bool RegStoreReadJournal(const std::string &record, RegJournal &journal)
{
    size_t end = record.find('\n');
    unsigned long long newSize = 0;
    unsigned long long oldSize = 0;
    unsigned long long at = 0;
    unsigned long long cut = 0;
    unsigned long long prefix = 0;
    char tail = 0;
    if (end == std::string::npos || end > 128)
        return false;
    std::string header = record.substr(0, end);
    if (sscanf(header.c_str(), "zembrel journal %llu %llu%c", &newSize, &oldSize, &tail) == 2)
        cut = oldSize; // a record of two whole texts
    else if (sscanf(header.c_str(), "zembrel journal %llu %llu %llu %llu %llx%c", &newSize,
                    &oldSize, &at, &cut, &prefix, &tail) != 5)
        return false;
    // Each size is held against what is left, so that no sum of them can wrap.
    size_t rest = record.size() - end - 1;
    if (newSize > rest || oldSize != rest - newSize || cut > oldSize || at > SizeLimit())
        return false;
    journal.at = at;
    journal.prefix = prefix;
    journal.newText.assign(record, end + 1, (size_t)newSize);
    journal.newText.append(record, end + 1 + (size_t)newSize + (size_t)cut, std::string::npos);
    journal.oldText.assign(record, end + 1 + (size_t)newSize, std::string::npos);
    return true;
}

// FNV-1a over the bytes as little-endian words of eight, the last one short.
uint64_t HashBytes(uint64_t hash, const char *bytes, size_t size)
{
    for (size_t i = 0; i < size; i += 8) {
        uint64_t word = 0;
        memcpy(&word, bytes + i, std::min<size_t>(8, size - i));
        hash = (hash ^ word) * 1099511628211ull;
    }
    return hash;
}

// The hash of the file's first `size` bytes; 0 and errno where they cannot be read.
static bool HashPrefix(int fd, uint64_t size, uint64_t &hash)
{
    hash = PREFIX_HASH_START;
    std::string block;
    for (uint64_t at = 0; at < size; at += block.size()) {
        int error = ReadAt(fd, at, (size_t)std::min<uint64_t>(1 << 16, size - at), block);
        if (error != 0 || block.empty()) {
            errno = error != 0 ? error : EIO;
            return false;
        }
        hash = HashBytes(hash, block.data(), block.size());
    }
    return true;
}

// The journal lives beside the registry. Where something that is not a regular file has taken
// its name (a folder, a link), that is left as it is and the journal has a second name.
std::string JournalPath(const std::string &target, bool say)
{
    std::string journal = target + ".journal";
    struct stat info;
    if (lstat(journal.c_str(), &info) != 0 || S_ISREG(info.st_mode))
        return journal;
    if (say)
        RegStoreSay(journal + ": not a regular file, so it is left as it is; a rewrite in " +
                    "place keeps its journal in " + BaseName(journal) + ".1 instead");
    return journal + ".1";
}

enum class JournalState { None, Usable, NotRegular, Untrusted, Unreadable, Malformed };

// A journal is applied only where one of the registry's own writers could have made it: a
// regular file with no other name, writable by no one else, and owned by root, by the
// registry's owner, or by a member of its group where that group may write it (nobody else
// can give a file that group). In a folder where anyone may create files, anyone else could
// write the registry through a journal of their own.
static const char *Distrust(const struct stat &journal, const struct stat &registry)
{
    if (journal.st_nlink != 1)
        return "it has other hard links";
    if ((journal.st_mode & S_IWOTH) != 0)
        return "anyone may write it";
    bool groupWriter = journal.st_gid == registry.st_gid && (registry.st_mode & S_IWGRP) != 0;
    if (journal.st_uid != 0 && journal.st_uid != registry.st_uid && !groupWriter)
        return "its owner may not write the registry";
    return NULL;
}

static JournalState LoadJournal(const std::string &journal, const struct stat &registry,
                                RegJournal &record, std::string &why)
{
    FdCloser file{open(journal.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    struct stat info;
    if (file.fd < 0 && errno == ENOENT)
        return JournalState::None;
    if (file.fd < 0 || fstat(file.fd, &info) != 0) {
        why = errno == ELOOP ? "a symbolic link" : strerror(errno);
        return errno == ELOOP ? JournalState::NotRegular : JournalState::Unreadable;
    }
    if (!S_ISREG(info.st_mode)) {
        why = "not a regular file";
        return JournalState::NotRegular;
    }
    if (const char *distrust = Distrust(info, registry)) {
        why = distrust;
        return JournalState::Untrusted;
    }
    // Two texts the size of a registry at most, and a header.
    if ((uint64_t)info.st_size > 2 * SizeLimit() + 128) {
        why = "larger than any journal";
        return JournalState::Malformed;
    }
    std::string bytes;
    int error = ReadAll(file.fd, (size_t)info.st_size, bytes);
    if (error != 0) {
        why = strerror(error);
        return JournalState::Unreadable;
    }
    if (!RegStoreReadJournal(bytes, record) || record.newText.size() > SizeLimit() - record.at ||
        record.oldText.size() > SizeLimit() - record.at) {
        why = "not a journal of this store";
        return JournalState::Malformed;
    }
    return JournalState::Usable;
}

// What a rewrite in place cut short leaves: the new text goes over the old from the journal's
// offset on, so each byte there is the new text's or the old's at that place. A file that grows
// may end anywhere between the old length and the new, since a write that a signal cuts short
// stops at any page boundary; one that shrinks is cut to the new length last. The bytes before
// the offset are those the rewrite left alone.
static bool IsMixOf(const std::string &file, const RegJournal &journal)
{
    const std::string &newer = journal.newText;
    const std::string &older = journal.oldText;
    if (file.size() < journal.at ||
        (journal.at != 0 &&
         HashBytes(PREFIX_HASH_START, file.data(), (size_t)journal.at) != journal.prefix))
        return false;
    const char *tail = file.data() + journal.at;
    size_t size = file.size() - (size_t)journal.at;
    if (size != newer.size() &&
        (size < older.size() || size > std::max(newer.size(), older.size())))
        return false;
    for (size_t i = 0; i < size; ++i)
        if (!(i < newer.size() && tail[i] == newer[i]) &&
            !(i < older.size() && tail[i] == older[i]))
            return false;
    return true;
}

// A reader that finds a rewrite in place under way, or cut short, reads the text it writes:
// never the mix of old and new the file holds meanwhile.
void ReadThroughJournal(const std::string &target, const struct stat &registry, std::string &bytes)
{
    RegJournal journal;
    std::string why;
    if (LoadJournal(JournalPath(target, false), registry, journal, why) == JournalState::Usable &&
        IsMixOf(bytes, journal)) {
        bytes.resize((size_t)journal.at);
        bytes += journal.newText;
    }
}

// Used where a rename would lose something: a file with other hard links keeps being theirs
// only if its own content changes, and only root can give a replacement to another account.
// The journal, in place before the first byte changes, lets the next writer finish a rewrite
// whose writer was killed, and readers read the new text meanwhile. It holds what the rewrite
// overwrites, the file from the splice on, and the bytes spliced in; nothing before. It has the
// registry's owner, group and mode as far as this writer can give them, so that the registry's
// other writers can read it, and is writable by no one else.
LONG RewriteInPlace(const std::string &target, const struct stat &registry, int source,
                    uint64_t size, const FileSplice &splice)
{
    std::string temp;
    std::string journal = JournalPath(target, true);
    struct stat taken;
    if (lstat(journal.c_str(), &taken) == 0 && !S_ISREG(taken.st_mode)) {
        RegStoreSay(journal + ": not a regular file either, so the registry cannot be " +
                    "rewritten in place; the registry is unchanged");
        return ERROR_WRITE_FAULT;
    }
    std::string oldText;
    uint64_t prefix = 0;
    int error = ReadAt(source, splice.at, (size_t)(size - splice.at), oldText);
    if (error == 0 && oldText.size() != size - splice.at)
        error = EIO;
    if (error != 0 || !HashPrefix(source, splice.at, prefix))
        return Refuse(target, "cannot read it to rewrite it in place", error != 0 ? error : errno);
    char header[160];
    snprintf(header, sizeof header, "zembrel journal %zu %zu %llu %llu %llx\n", splice.bytes.size(),
             oldText.size(), (unsigned long long)splice.at, (unsigned long long)splice.cut,
             (unsigned long long)prefix);
    std::string newText = splice.bytes + oldText.substr((size_t)splice.cut);
    mode_t mode = (registry.st_mode & 0666 & ~S_IWOTH) | S_IRUSR | S_IWUSR;
    const char *failed = WriteTemp(
        target, [&](int fd) { return WriteAll(fd, header + splice.bytes + oldText); },
        NewFile{&registry, false, mode, true}, temp);
    if (failed == NULL && rename(temp.c_str(), journal.c_str()) != 0)
        failed = "cannot put the journal of the rewrite in place";
    if (failed == NULL && !FlushFolder(target))
        failed = "cannot flush the journal of the rewrite";
    if (failed != NULL) {
        error = errno;
        if (!temp.empty())
            unlink(temp.c_str());
        unlink(journal.c_str());
        return Refuse(target, failed, error);
    }
    if (CopyInto(target, splice.at, newText)) {
        unlink(journal.c_str());
        return ERROR_SUCCESS;
    }
    error = errno;
    if (!CopyInto(target, splice.at, oldText)) {
        RegStoreSay(target + ": cannot rewrite it in place (" + RegStoreReason(error) +
                    "), nor put it back; the next write finishes it from " + journal);
        return ErrorFromErrno(error);
    }
    unlink(journal.c_str());
    return Refuse(target, "cannot rewrite it in place", error);
}
// Finishes, under the lock, a rewrite in place that its writer did not live to finish: if the
// file still holds what that writer left, it gets the new text; if it has changed since, the
// journal is dropped. A journal that cannot be read stops the write, since writing on top would
// leave the cut-short rewrite's tail for good; one that is no journal is set aside; one that a
// writer of the registry did not make is never applied.
LONG FinishRewrite(const std::string &target)
{
    struct stat registry;
    if (stat(target.c_str(), &registry) != 0)
        return ERROR_SUCCESS; // no registry, so nothing was being rewritten
    std::string journal = JournalPath(target, true);
    RegJournal record;
    std::string why;
    switch (LoadJournal(journal, registry, record, why)) {
    case JournalState::None:
        return ERROR_SUCCESS;
    case JournalState::NotRegular:
        RegStoreSay(journal + ": " + why + ", so it is left as it is and nothing is written");
        return ERROR_WRITE_FAULT;
    case JournalState::Untrusted:
        RegStoreSay(journal + ": not made by a writer of this registry (" + why +
                    "), so it is never applied");
        return ERROR_SUCCESS;
    case JournalState::Unreadable:
        RegStoreSay(journal + ": left by a rewrite that did not finish, but it cannot be read (" +
                    why + "), so nothing is written until it can be");
        return ERROR_ACCESS_DENIED;
    case JournalState::Malformed:
        if (rename(journal.c_str(), (journal + ".bad").c_str()) != 0) {
            RegStoreSay(journal + ": " + why + ", and it cannot be set aside (" + strerror(errno) +
                        "), so nothing is written");
            return ERROR_WRITE_FAULT;
        }
        RegStoreSay(journal + ": " + why + "; set aside as " + BaseName(journal) + ".bad");
        return ERROR_SUCCESS;
    case JournalState::Usable:
        break;
    }
    std::string file;
    if (ReadRegularFile(target, file) != 0 || !IsMixOf(file, record)) {
        RegStoreSay(journal + ": left by a rewrite that did not finish, but it no longer fits " +
                    "the registry; removed");
    } else if (!CopyInto(target, record.at, record.newText)) {
        RegStoreSay(target + ": cannot finish an interrupted rewrite (" + strerror(errno) + ")");
        return ERROR_WRITE_FAULT;
    }
    unlink(journal.c_str());
    return ERROR_SUCCESS;
}
