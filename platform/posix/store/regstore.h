// The .reg file behind HKEY_LOCAL_MACHINE: its model, parser, surgical edits and locked write.
#pragma once

#include "../port.h"

#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Skipped: a line the importer passes over. SkippedKey: a key line it passes over, or a
// deletion it refuses, after either of which values have no key to go to.
enum class RegEntryKind : uint8_t { Key, DeleteKey, SetValue, DeleteValue, Skipped, SkippedKey };

// What one line, or a value's run of continued lines, means to the importer. Blank and comment
// lines have no entry. A value's name and data stay in the file's bytes and are read again from
// there when asked for, so that a large file costs little more than its own size.
// Eight bytes an entry, so that a file's parse costs well under the file itself. Where its lines
// end is found again when asked for (RegStoreEntryEnd): most entries are one line. Which key a
// value belongs to is found walking the entries in order (RegStoreSectionAfter).
struct RegEntry {
    uint32_t begin; // byte offset of its first line
    // Key and DeleteKey: index in keyStarts; values: hash of the folded name, cut to its bits.
    uint32_t id : 28;
    RegEntryKind kind : 3;
    bool local : 1; // Key and DeleteKey: below HKEY_LOCAL_MACHINE
};
const uint32_t REG_ENTRY_ID_MASK = (1u << 28) - 1;

// The one change an edit makes, so that a write can check that the edited text means just
// that: the key and name are folded.
enum class RegChangeKind { None, CreateKey, SetValue, DeleteValue };

struct RegChange {
    RegChangeKind kind = RegChangeKind::None;
    std::u16string key;
    std::u16string name;
};

struct RegDocument {
    std::string path;
    bool exists = false;
    bool valid = true;    // false: not a .reg file at all, read as empty and never written over
    bool wide = false;    // UTF-16LE, else 8-bit: UTF-8, or Windows-1252 where it is not UTF-8
    bool ansi = false;    // an 8-bit file that is not UTF-8, read in Windows-1252
    bool badUtf8 = false; // a UTF-8 file (with its mark) holding bytes that are not UTF-8
    std::string bom;
    std::u16string eol = u"\n"; // the file's own line ending, for the lines a write adds
    std::string bytes;          // the whole file, byte order mark included
    std::vector<RegEntry> entries;
    std::u16string keyText;               // the keys' folded paths below the root, one after
    std::vector<uint32_t> keyStarts;      // another, each starting here; "" the root itself
    std::vector<std::string> diagnostics; // "path:line: message", at most REG_MAX_REPORTED
    size_t unreported = 0;                // and how many more there were
    // Where the backslash is of a hex value that the file ends in the middle of, after its
    // last ",\": a line added after it must not become its continuation. npos when none.
    size_t dangling = std::string::npos;
    bool modified = false;
    RegChange change; // what the last edit changed
    // Where edits since the entries were read changed the bytes: not in the first editFrom bytes
    // nor in the last editTail, of a text that had editOldSize bytes. editFrom is npos when none.
    size_t editFrom = std::string::npos;
    size_t editTail = 0;
    size_t editOldSize = 0;
    // A reading of the key lines alone (RegStoreIndex): `bytes` is not held; the entries are the
    // lines that open or close a section, their text kept in keyLines (from keyLineStarts[id],
    // after the header's line), each parsed when a call asks for a key it may bear on; a key's
    // values are read from `file`, from its line's end (sectionStarts) to the next entry.
    bool indexed = false;
    std::shared_ptr<int> file;
    std::string keyLines;
    std::vector<uint32_t> keyLineStarts;
    std::vector<uint32_t> sectionStarts;
    uint64_t size = 0;                  // the file's size as it was read
    uint64_t firstNotUtf8 = UINT64_MAX; // the offset of its first byte that is not UTF-8
    // An edit of an indexed document (RegStoreUpdate's): the file's bytes from spliceAt, spliceCut
    // of them, become spliceBytes. Where the sections an edit touches do not tell alone what it
    // means, it makes none and sets needsWhole: the file is then read whole and edited so.
    uint64_t spliceAt = 0;
    uint64_t spliceCut = 0;
    std::string spliceBytes;
    bool needsWhole = false;
};

struct RegValue {
    DWORD type;
    std::vector<BYTE> data;
};

// The registry the file describes once imported: folded key path ("" the root) to its values
// by folded name. A key is there exactly when it exists. The calls never build it; they ask
// the document for one key or one value.
typedef std::map<std::u16string, std::map<std::u16string, RegValue>> RegTree;

// The largest registry file the store reads or writes: entries keep 32-bit offsets.
const uint64_t REG_MAX_BYTES = UINT32_MAX;
// Lines a parse reports on standard error; the rest are counted in one line.
const size_t REG_MAX_REPORTED = 100;

// $ZEMBREL_ROOT/registry.reg.
std::string RegStorePath();
// Names compare as the device compares them: case-insensitively, one UTF-16 unit at a time.
std::u16string RegStoreFold(const std::u16string &name);
// Strips one trailing backslash; false when a component is empty (a leading backslash, or two
// in a row), which Win32 calls a bad path name.
bool RegStoreCleanPath(std::u16string &path);

// The store's lines on standard error, through WriteDiagnostic (so "zembrel: " before each),
// each said once a process.
void RegStoreSay(const std::string &message);

// RegStoreRead's error for a registry that is neither missing, a folder nor a regular file:
// a FIFO, a socket or a device, which is never read.
const int REG_NOT_A_FILE = -1;
// strerror's text, or what REG_NOT_A_FILE means.
std::string RegStoreReason(int error);

// Writing as the port grants it: the caller's own permissions, and besides, a file with no
// write bit for anyone is read-only even to root, as a read-only file is to every user on
// Windows. It needs the folder writable and the file writable or absent; a symbolic link is
// taken for the file it names. (Reading needs the file readable or absent, which a read finds.)
bool RegStoreCanWrite(const std::string &path);
// Say once why the registry cannot be read or written, naming the file and the reason; a
// device root that does not exist is named as such.
void RegStoreSayUnreadable(const std::string &path, int error);
void RegStoreSayReadOnly(const std::string &path);
// True, having said so, when the folder the registry lives in is missing or no folder.
bool RegStoreSayIfNoRoot(const std::string &path);

// Builds the model from the file's bytes; the path only labels the diagnostics.
void RegStoreParse(RegDocument &doc, const std::string &path, const std::string &bytes);
// The file as it is now, without a lock: one open and one fstat, and a look for the journal of a
// rewrite in place. A process parses each content of the file once: while the bytes stay the
// same, every read shares that parse (the bytes are compared, so a change of any kind is seen).
// Diagnostics go to standard error once per distinct content. A missing file is an empty
// registry. Returns 0, the errno, or REG_NOT_A_FILE: only a regular file is read, and opening
// one never waits.
int RegStoreRead(std::shared_ptr<const RegDocument> &doc, const std::string &path);

// Reads an 8-bit registry from the descriptor's start for its key lines alone, streamed through
// `chunk` bytes at a time, or where it is larger and `mapped`, mapped 16 times that at a time,
// into an indexed document that keeps a duplicate of the descriptor.
// Key lines are found and read as the full reading reads them, and so are their diagnostics and
// those of the file as a whole (its header, its encoding); a value line is read only when its
// key is asked for, and what regedit would skip there is not said. 0, the errno, or
// REG_WIDE_FILE: a UTF-16 file, which is read whole.
const int REG_WIDE_FILE = -2;
int RegStoreIndex(RegDocument &doc, int fd, const std::string &path, size_t chunk = 65536,
                  bool mapped = true);

// The section open after entries[index], given the one open before it: a Key entry opens its
// own (its index), a deletion or a skipped key line leaves none (-1), and any other entry is in
// the one open. A value's section is the one open after it, walking from the first entry or
// from any entry where none is open.
inline int RegStoreSectionAfter(const RegEntry &entry, size_t index, int open)
{
    switch (entry.kind) {
    case RegEntryKind::Key:
        return (int)index;
    case RegEntryKind::DeleteKey:
    case RegEntryKind::SkippedKey:
        return -1;
    default:
        return open;
    }
}

// The byte offset just past the entry's last line's ending.
uint32_t RegStoreEntryEnd(const RegDocument &doc, const RegEntry &entry);

// What the importer makes of the file, asked for one folded key or value at a time.
bool RegStoreKeyExists(const RegDocument &doc, const std::u16string &foldedKey);
bool RegStoreQueryValue(const RegDocument &doc, const std::u16string &foldedKey,
                        const std::u16string &foldedName, RegValue *value);
// The whole registry at once, for comparing two documents.
RegTree RegStoreEvaluate(const RegDocument &doc);
std::string RegStoreSerialize(const RegDocument &doc);

// Edits change only the lines they must. Keys are paths below HKEY_LOCAL_MACHINE in the
// caller's spelling, one backslash between components; a new section is spelt that way.
// true: it was new; false: it was there, or the file's encoding cannot spell it
bool RegStoreCreateKey(RegDocument &doc, const std::u16string &key);
LONG RegStoreSetValue(RegDocument &doc, const std::u16string &key, const std::u16string &name,
                      DWORD type, const BYTE *data, DWORD size);
LONG RegStoreDeleteValue(RegDocument &doc, const std::u16string &key, const std::u16string &name);

// True when the edited text, parsed afresh as `after`, means all that `before` meant apart
// from the change: every key, value, deletion and skipped line the same and in the same order,
// the value (or key) changed there or gone as the change says. Comments may move.
bool RegStoreChangedOnly(const RegDocument &before, const RegDocument &after,
                         const RegChange &change);

// Runs the edit on a copy of the document and gives the edited file's bytes, or none when the
// edit changed no byte. ERROR_REGISTRY_CORRUPT, said on standard error, when the edited text
// would mean more than the change; else the edit's own result. The edit must leave the document
// parsed from its bytes, as the edits above do.
LONG RegStoreEdit(const RegDocument &doc, const std::function<LONG(RegDocument &)> &edit,
                  std::string &bytes);

// Runs the edit on the file as it is under the writers' lock, then, if the edit changed the
// document and the edited text means just that change, replaces the file atomically and
// durably. A symbolic link is written where it points and stays a link; a file with other
// hard links, or whose owner a replacement could not keep, is rewritten in place behind a
// journal. Returns the edit's or the write's error, each failure said on standard error.
LONG RegStoreUpdate(const std::string &path, const std::function<LONG(RegDocument &)> &edit);

// How long a writer waits for another to release the lock before it gives up.
const int REG_LOCK_WAIT_SECONDS = 5;

// A registry whose in-place rewrite did not finish, as its journal's record tells it: from `at`
// on, the new text and the old; before it, bytes the rewrite left alone, whose hash (`prefix`)
// the record holds where `at` is not 0. The record is "zembrel journal NEW OLD\n" and the two
// texts whole, or "zembrel journal NEW OLD AT CUT PREFIX\n" (PREFIX in hex), the spliced-in NEW
// bytes and the OLD text from AT on, whose bytes from CUT on follow the NEW ones in the new
// text. False when the record is not one.
struct RegJournal {
    uint64_t at = 0;
    uint64_t prefix = 0;
    std::string newText;
    std::string oldText;
};
bool RegStoreReadJournal(const std::string &record, RegJournal &journal);

// The stages of a write, where the tests' builds can make one fail.
// KillInPlace ends the process halfway through a rewrite in place, as kill -9 would.
enum class RegWriteStage { None, OpenTemp, Write, Fsync, Rename, DirFsync, InPlace, KillInPlace };

#ifdef ZEMBREL_TEST_HOOKS
// Failure injection for the tests, compiled into their builds only: the next write fails at
// the stage, once; and a smaller size limit than REG_MAX_BYTES, 0 for that again.
void RegStoreFailNextWrite(RegWriteStage stage);
void RegStoreSetSizeLimit(uint64_t bytes);
// How long ago a file's times must lie for a read to trust its parse on them (default 2 s), and
// how often a call has read the whole file so far.
void RegStoreSetSettleTime(int64_t nanoseconds);
unsigned RegStoreWholeReads();
// The file system's clock as the store sees it, stopped at one tick (every file's times are
// that tick), or running again (NULL).
void RegStoreFreezeFileClock(const struct timespec *tick);
#endif
