// What the registry store's files share among themselves, and no one else uses: each part's
// helpers that another part calls. The store's face is regstore.h.
#pragma once

#include "../runtime/runtime.h"
#include "regstore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>

inline constexpr char16_t HEADER_5[] = u"Windows Registry Editor Version 5.00";
inline constexpr char16_t HEADER_4[] = u"REGEDIT4";

// ---- names.cpp: names and key paths ----------------------------------------------------------

char16_t FoldBeyondAscii(char16_t c);
inline char16_t FoldUnit(char16_t c)
{
    if (c >= 0x80)
        return FoldBeyondAscii(c);
    return c >= u'a' && c <= u'z' ? (char16_t)(c - 0x20) : c;
}

// A hash of the folded name, so that a value's lines are read again only when its name may be
// the one asked for. ASCII letters hash alike in either case after folding, which keeps every
// name that folds to the same text on the same hash at an instruction or two a character.
const uint32_t NAME_HASH_START = 2166136261u;

inline uint32_t HashAscii(uint32_t hash, uint8_t c)
{
    return (hash ^ (c | 0x20u)) * 16777619u;
}

inline uint32_t HashUnit(uint32_t hash, char16_t c)
{
    if (c < 0x80)
        return HashAscii(hash, (uint8_t)c);
    uint32_t folded = FoldUnit(c);
    return (hash ^ (folded < 0x80 ? folded | 0x20 : folded)) * 16777619u;
}

uint32_t NameHash(const std::u16string &name);
bool IsSelfOrAncestor(std::u16string_view ancestor, std::u16string_view key);
enum class KeyPathError { None, UnknownRoot, ShortRoot, EmptyName };
// A key line's path: its root, and the rest folded. Backslashes that follow one another inside
// the rest count as one (doubled, when given, is then set); one that opens it is an empty name.
KeyPathError ParseKeyPath(std::u16string_view name, bool &local, std::u16string &folded,
                          bool *doubled = NULL);
bool WithinKeyLimits(const std::u16string &path);

// ---- encoding.cpp: the file's text ---------------------------------------------------------

std::u16string WideFromBytes(const std::string &bytes);
std::string BytesFromWide(const std::u16string &text);
std::u16string Decode(const RegDocument &doc, const std::string &bytes);
std::string Encode(const RegDocument &doc, const std::u16string &text);
char16_t UnitAt(const RegDocument &doc, size_t offset);
size_t TextEnd(const RegDocument &doc);
size_t EndingBefore(const RegDocument &doc, size_t at);

// ---- parse.cpp: the parser -----------------------------------------------------------------

enum class ParseState {
    LineStart,
    KeyName,
    DeleteKey,
    DefaultName,
    QuotedName,
    DataStart,
    DeleteValue,
    DataType,
    StringData,
    DwordData,
    HexData,
    HexLineEnd,
    HexNextLine,
    HexDone,
    SetValue,
    Done,
};

struct RegParser {
    RegParser(const RegDocument &source, RegDocument &target, bool again)
        : doc(source), out(target), once(again), limit(TextEnd(source)), next(source.bom.size())
    {
    }

    const RegDocument &doc; // the bytes being read
    RegDocument &out;       // where entries, keys and diagnostics go
    bool once;              // reading one entry again: stop after it
    bool quiet = false;     // an edit's re-parse: its lines were reported with the file's
    bool tooManyKeys = false;
    size_t limit;         // where whole characters end
    size_t next;          // byte offset of the next line
    size_t line = 0;      // the current line's number, from 1
    size_t lineBegin = 0; // byte offsets of the current line's text and of its ending
    size_t lineEnd = 0;
    size_t first = 0;            // byte offset of the first line of the entry being read
    std::u16string buffer;       // room for the current line, which only grows
    std::u16string_view text;    // the current line in it, decoded and cut at a zero character
    size_t pos = 0;              // the next character of it
    int section = -1;            // the open key's entry; -1 when values have nowhere to go
    std::u16string_view keyText; // the key name between the brackets
    std::u16string folded;       // room for its folded path
    std::u16string name;         // the value name, unescaped, when reading an entry again
    uint32_t nameHash = 0;       // the hash of its folded name
    std::u16string scratch;
    DWORD type = 0;
    std::vector<BYTE> data;
    size_t backslash = 0; // byte offset of the last continuation backslash read
};

bool NextLine(RegParser &p);
std::u16string_view Text(const RegParser &p);
bool HexIsText(const RegDocument &doc, DWORD type);
// The lines an 8-bit text ends (CR LF, LF or a lone CR), the byte before it being `before`.
size_t CountLineEnds(const char *bytes, size_t size, char before);
// The file's first line, read with p from its start, as the header it must be (else false, and
// said in p.out); the file's line ending is then p.out.eol.
bool ReadHeader(RegParser &p);
// The line p.doc holds, read at a line's start as the importer reads it there: its entry (at 0),
// its key and what it says (as of line 1) go to p.out. A parser reads one line after another so.
void ParseOneLine(RegParser &p);
// Where the importer, reading from the start of `part` at a line's start, is first at a line's
// start again at or after `target`: `target` itself when it reads the line there as a line of its
// own, not as one a hex value's backslash continued.
size_t ReadOnTo(const RegDocument &part, size_t target);
// The value lines of one section, `part` holding its bytes: parsed into part's own entries, what
// they say numbered from the section's start as line 1.
void ParseValues(RegDocument &part);
// The document read again after edits (editFrom), quietly: from the last entry before the first
// changed byte to where the importer reads again what it read before, in the same state; the
// entries after that are the old ones, moved. Where that place is never found, to the end.
void Reparse(RegDocument &doc);
// quiet: an edit's re-parse, whose lines were reported with the file's.
void Parse(RegDocument &doc, const std::string &path, std::string bytes, bool quiet = false);
void ReadEntry(const RegDocument &doc, const RegEntry &entry, std::u16string &name,
               RegValue *value);

// ---- scan.cpp: the reading of key lines alone ---------------------------------------------------

// What an indexed document says, asked for one key or value: only the key lines that may bear on
// it are parsed, and only the sections of the key are read.
bool IndexedKeyExists(const RegDocument &doc, const std::u16string &key);
bool IndexedQueryValue(const RegDocument &doc, const std::u16string &key,
                       const std::u16string &name, RegValue *value);
// What an indexed document holds of one key and one value name since the key (or an ancestor)
// was last deleted, as the indexes of key lines whose sections hold it; -1 for none.
struct KeySections {
    int lastOwn = -1;      // the key's last section
    int lastValue = -1;    // the section of the value's last line, setting or deleting
    int firstSetting = -1; // the first and last settings since the value was last deleted: it
    int lastSetting = -1;  // is set exactly when there is one, and `value` gets the last
};
// 0, or the errno where a section cannot be read.
int IndexedSections(const RegDocument &doc, const std::u16string &key, const std::u16string &name,
                    KeySections &found, RegValue *value);
// Up to `size` bytes of the file from `offset`, fewer where it ends: 0 or the errno.
int ReadAt(int fd, uint64_t offset, size_t size, std::string &out);
// The line number of a file offset, counted by reading the file up to it.
struct LineCounter {
    int fd;
    uint64_t counted = 0; // the line ends before this are counted
    size_t ends = 0;
    char last = 0; // the byte before `counted`
};
size_t LineAt(LineCounter &lines, uint64_t offset);

// ---- check.cpp ---------------------------------------------------------------------------------

// How many bytes two texts share at their start (`same`) and, after those, at their end (`tail`).
void CommonEnds(const std::string &a, const std::string &b, size_t &same, size_t &tail);

// ---- window.cpp: the edits of an indexed document -----------------------------------------

// RegStoreCreateKey, RegStoreSetValue and RegStoreDeleteValue on an indexed document, each made
// on the sections it touches alone; else none, and needsWhole set.
bool WindowCreateKey(RegDocument &doc, const std::u16string &key);
LONG WindowSetValue(RegDocument &doc, const std::u16string &key, const std::u16string &name,
                    DWORD type, const BYTE *data, DWORD size);
LONG WindowDeleteValue(RegDocument &doc, const std::u16string &key, const std::u16string &name);

// ---- query.cpp: what the file says ---------------------------------------------------------

std::u16string_view KeyOf(const RegDocument &doc, const RegEntry &entry);
// `section`: the one open at the entry (RegStoreSectionAfter).
bool IsValueOf(const RegDocument &doc, const RegEntry &entry, int section,
               const std::u16string &key, const std::u16string &name, uint32_t nameHash);
bool DeletesKey(const RegDocument &doc, const RegEntry &entry, const std::u16string &key);

// ---- edit.cpp ----------------------------------------------------------------------------------

bool IsCommentLine(std::u16string_view text);

// ---- file.cpp: the file, its access, what the store says -------------------------------------

struct FdCloser {
    int fd;
    ~FdCloser()
    {
        if (fd >= 0)
            close(fd);
    }
};

std::string FolderOf(const std::string &path);
// The file a write replaces: the registry itself, or the file its symbolic link names, so that
// a registry kept elsewhere gets the value and the link stays a link. Returns 0 or the errno;
// a link to nothing is ENOENT.
int ResolveTarget(const std::string &path, std::string &target);
// RegStoreCanWrite for the file a name was resolved to.
bool CanWriteTarget(const std::string &target);
// Reads from the descriptor's position to its end, into room for the size it was said to have.
int ReadAll(int fd, size_t size, std::string &bytes);
int NotRegular(const struct stat &info);
int ReadRegularFile(const std::string &path, std::string &bytes);
// Opens the registry to read, without blocking: a symbolic link is followed to the file it
// names, which is `target` (where a rewrite in place keeps its journal), else the path itself.
// 0 with the file's status, or the errno; a file that is not regular or not readable by anyone
// is refused.
int OpenRegistry(const std::string &path, FdCloser &file, struct stat &info, std::string &target);
// The registry behind an open descriptor, or the reading held already while the file stays the
// same; `path` labels what is said. A reader (`reader`) gets its key lines alone (RegStoreIndex),
// and trusts a reading on the file's stat data where they are those it had and lie far enough
// back (file.cpp says why that is safe); a writer gets the whole file parsed, and compares the
// bytes with a parse it holds.
int ReadOpened(int fd, const struct stat &info, const std::string &path, const std::string &target,
               std::shared_ptr<const RegDocument> &doc, bool reader);
// Says what a reading of the file found, each line once for each content of the file: a section's
// lines read when asked for, as well as the reading's own (ReadOpened says those).
void ReportLines(const RegDocument &doc, const std::vector<std::string> &lines);
// A read's parse as a document of the caller's own, to edit.
void TakeOver(std::shared_ptr<const RegDocument> &shared, RegDocument &doc);

// ---- journal.cpp: the journal of a rewrite in place ----------------------------------------

// What a write puts in the file: from `at`, `cut` of its bytes become `bytes`.
struct FileSplice {
    uint64_t at = 0;
    uint64_t cut = 0;
    std::string bytes;
};

// The splice that makes the new text of the old: the bytes between their common first and last
// (CommonEnds, check.cpp).
FileSplice SpliceOf(const std::string &before, const std::string &after);
// The journal's name beside the registry's file; `say` names a non-file in its first place.
std::string JournalPath(const std::string &target, bool say);
// A hash of a file's first bytes, fed in blocks that are whole words (8 bytes) but for the last.
const uint64_t PREFIX_HASH_START = 14695981039346656037ull;
uint64_t HashBytes(uint64_t hash, const char *bytes, size_t size);
// The file's bytes as a rewrite in place under way or cut short will leave them: the new text,
// where `target`'s journal is trusted and the bytes are a mix of its two texts.
void ReadThroughJournal(const std::string &target, const struct stat &registry, std::string &bytes);
// The splice made in the file itself, from its offset on, behind a journal of what it overwrites.
// `source` reads the file as it is, `size` bytes.
LONG RewriteInPlace(const std::string &target, const struct stat &registry, int source,
                    uint64_t size, const FileSplice &splice);
LONG FinishRewrite(const std::string &target);

// ---- write.cpp: the locked, atomic write -------------------------------------------------------

uint64_t SizeLimit();
bool Injected(RegWriteStage stage);
LONG ErrorFromErrno(int error);
std::string BaseName(const std::string &path);
// Says why a write failed, and that the registry is as it was.
LONG Refuse(const std::string &path, const char *failed, int error);
bool FlushFolder(const std::string &path);
bool GiveOwner(int fd, const struct stat &owner);

// What a new file beside the registry is given: the owner and group of `owner` (a must for the
// registry's replacement, as far as it goes for the rest), and `mode` exactly, or as the umask
// leaves it.
struct NewFile {
    const struct stat *owner;
    bool ownerRequired;
    mode_t mode;
    bool exactMode;
};

// A new file beside the target that `fill` writes, flushed.
const char *WriteTemp(const std::string &target, const std::function<bool(int)> &fill,
                      const NewFile &how, std::string &temp);
bool WriteAll(int fd, const std::string &bytes);
// Writes the bytes over the file's own content from `at`, and ends it after them.
bool CopyInto(const std::string &target, uint64_t at, const std::string &bytes);
