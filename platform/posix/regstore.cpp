// The .reg file store: parsing as regedit imports, line-preserving edits, and the safe write.
#include "regstore.h"
#include "runtime.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

static const char16_t HEADER_5[] = u"Windows Registry Editor Version 5.00";
static const char16_t HEADER_4[] = u"REGEDIT4";

// Windows holds keys at most this many levels deep, each name at most this long.
#define MAX_KEY_LEVELS 512
#define MAX_KEY_NAME 255

// ---- Names and paths -----------------------------------------------------------------------

std::string RegStorePath()
{
    std::string root = DeviceRoot();
    return (root == "/" ? std::string() : root) + "/registry.reg";
}

// The C locale knows only ASCII capitals; C.UTF-8 knows every letter's. It is set up the first
// time a name has a letter beyond ASCII, so a registry of plain names never loads a locale.
static char16_t FoldBeyondAscii(char16_t c)
{
    if (c >= 0xD800 && c <= 0xDFFF)
        return c;
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    if (unicode == (locale_t)0)
        return c;
    wint_t upper = towupper_l(c, unicode);
    return upper <= 0xFFFF ? (char16_t)upper : c;
}

static inline char16_t FoldUnit(char16_t c)
{
    if (c >= 0x80)
        return FoldBeyondAscii(c);
    return c >= u'a' && c <= u'z' ? (char16_t)(c - 0x20) : c;
}

std::u16string RegStoreFold(const std::u16string &name)
{
    std::u16string out(name);
    for (char16_t &c : out)
        c = FoldUnit(c);
    return out;
}

// A hash of the folded name, so that a value's lines are read again only when its name may be
// the one asked for. ASCII letters hash alike in either case after folding, which keeps every
// name that folds to the same text on the same hash at an instruction or two a character.
static const uint32_t NAME_HASH_START = 2166136261u;

static uint32_t HashUnit(uint32_t hash, char16_t c)
{
    uint32_t folded = c < 0x80 ? c : FoldUnit(c);
    return (hash ^ (folded < 0x80 ? folded | 0x20 : folded)) * 16777619u;
}

static uint32_t NameHash(const std::u16string &name)
{
    uint32_t hash = NAME_HASH_START;
    for (char16_t c : name)
        hash = HashUnit(hash, c);
    return hash;
}

bool RegStoreCleanPath(std::u16string &path)
{
    if (!path.empty() && path[0] == u'\\')
        return false;
    // Windows opens "Key\\\\" as "Key": a key name never holds a backslash.
    while (!path.empty() && path.back() == u'\\')
        path.pop_back();
    return path.find(u"\\\\") == std::u16string::npos;
}

static bool IsSelfOrAncestor(std::u16string_view ancestor, std::u16string_view key)
{
    return key.compare(0, ancestor.size(), ancestor) == 0 &&
           (key.size() == ancestor.size() || key[ancestor.size()] == u'\\');
}

struct RootName {
    const char16_t *name;
    const char16_t *shortName; // what reg.exe takes, and a .reg file does not
    bool local;
};

static const RootName ROOTS[] = {
    {u"HKEY_LOCAL_MACHINE", u"HKLM", true},   {u"HKEY_CURRENT_USER", u"HKCU", false},
    {u"HKEY_CLASSES_ROOT", u"HKCR", false},   {u"HKEY_USERS", u"HKU", false},
    {u"HKEY_CURRENT_CONFIG", u"HKCC", false}, {u"HKEY_DYN_DATA", u"HKEY_DYN_DATA", false},
};

enum class KeyPathError { None, UnknownRoot, ShortRoot, EmptyName };

// Whether the text folds to the name, which is in capitals already.
static bool FoldsTo(std::u16string_view text, const char16_t *name)
{
    if (text == name) // as export tools write it
        return true;
    size_t i = 0;
    for (; i < text.size() && name[i] != 0; ++i)
        if (FoldUnit(text[i]) != name[i])
            return false;
    return i == text.size() && name[i] == 0;
}

// Splits "ROOT\path" into the root's kind and the folded path below it, cleaned as
// RegStoreCleanPath cleans a path, in one pass and into the caller's room. regedit knows only
// the full names of the roots in a .reg file.
static KeyPathError ParseKeyPath(std::u16string_view name, bool &local, std::u16string &folded)
{
    size_t slash = name.find(u'\\');
    std::u16string_view root = name.substr(0, slash);
    std::u16string_view path = slash == std::u16string_view::npos ? u"" : name.substr(slash + 1);
    for (const RootName &known : ROOTS) {
        if (!FoldsTo(root, known.name))
            continue;
        if (!path.empty() && path[0] == u'\\')
            return KeyPathError::EmptyName;
        while (!path.empty() && path.back() == u'\\')
            path.remove_suffix(1);
        folded.resize(path.size());
        const char16_t *from = path.data();
        char16_t *to = &folded[0];
        for (size_t i = 0; i < path.size(); ++i) {
            if (from[i] == u'\\' && from[i - 1] == u'\\')
                return KeyPathError::EmptyName;
            to[i] = FoldUnit(from[i]);
        }
        local = known.local;
        return KeyPathError::None;
    }
    for (const RootName &known : ROOTS)
        if (FoldsTo(root, known.shortName))
            return KeyPathError::ShortRoot;
    return KeyPathError::UnknownRoot;
}

// A key Windows could hold; deeper or longer ones no importer can create.
static bool WithinKeyLimits(const std::u16string &path)
{
    size_t levels = 0;
    for (size_t start = 0; start < path.size();) {
        size_t slash = path.find(u'\\', start);
        size_t end = slash == std::u16string::npos ? path.size() : slash;
        if (end - start > MAX_KEY_NAME || ++levels > MAX_KEY_LEVELS)
            return false;
        start = end + 1;
    }
    return true;
}

// ---- Access --------------------------------------------------------------------------------

static std::string FolderOf(const std::string &path)
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
static int ResolveTarget(const std::string &path, std::string &target)
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

int RegStoreReadError(const std::string &path)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return errno == ENOENT ? 0 : errno;
    return Permits(path, R_OK, 0444) ? 0 : EACCES;
}

bool RegStoreCanWrite(const std::string &path)
{
    std::string target;
    if (ResolveTarget(path, target) != 0 || !Permits(FolderOf(target), W_OK | X_OK, 0222))
        return false;
    struct stat info;
    if (stat(target.c_str(), &info) != 0)
        return errno == ENOENT;
    return Permits(target, W_OK, 0222);
}

// ---- What the store says --------------------------------------------------------------------

static std::mutex s_saidLock;
static std::set<std::string> s_said;

void RegStoreSay(const std::string &message)
{
    {
        std::lock_guard<std::mutex> guard(s_saidLock);
        if (!s_said.insert(message).second)
            return;
    }
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

// ---- Text of the file ----------------------------------------------------------------------

static std::u16string WideFromBytes(const std::string &bytes)
{
    std::u16string out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        out += (char16_t)((uint8_t)bytes[i] | (uint8_t)bytes[i + 1] << 8);
    return out;
}

static std::string BytesFromWide(const std::u16string &text)
{
    std::string out;
    for (char16_t c : text) {
        out += (char)(c & 0xFF);
        out += (char)(c >> 8);
    }
    return out;
}

static std::u16string Decode(const RegDocument &doc, const std::string &bytes)
{
    if (doc.wide)
        return WideFromBytes(bytes);
    if (!doc.ansi)
        return Utf8ToUtf16(bytes);
    std::u16string text(bytes.size(), u'\0');
    Cp1252ToUtf16(bytes.data(), bytes.size(), &text[0]);
    return text;
}

// Text the file's encoding lacks comes out as "?": the edit check then refuses the edit.
static std::string Encode(const RegDocument &doc, const std::u16string &text)
{
    if (doc.wide)
        return BytesFromWide(text);
    if (!doc.ansi)
        return Utf16ToUtf8(text);
    std::string out;
    std::string one;
    for (char16_t c : text)
        out += Utf16ToCp1252(std::u16string(1, c), one) ? one : "?";
    return out;
}

// The character unit at a byte offset.
static char16_t UnitAt(const RegDocument &doc, size_t offset)
{
    const std::string &b = doc.bytes;
    return doc.wide ? (char16_t)((uint8_t)b[offset] | (uint8_t)b[offset + 1] << 8)
                    : (char16_t)(uint8_t)b[offset];
}

// Where whole characters end: a UTF-16 file's odd last byte is none, and stays last.
static size_t TextEnd(const RegDocument &doc)
{
    return doc.bytes.size() - (doc.wide ? (doc.bytes.size() - doc.bom.size()) % 2 : 0);
}

// How many of the bytes before a line boundary are the line ending of the line before it.
static size_t EndingBefore(const RegDocument &doc, size_t at)
{
    size_t unit = doc.wide ? 2 : 1;
    auto endsIn = [&](size_t end, char16_t c) {
        return end >= doc.bom.size() + unit && UnitAt(doc, end - unit) == c;
    };
    if (endsIn(at, u'\n'))
        return endsIn(at - unit, u'\r') ? 2 * unit : unit;
    return endsIn(at, u'\r') ? unit : 0;
}

// ---- The parser ----------------------------------------------------------------------------
//
// One function per state, all state in the parser record, so parses never share anything. The
// parser walks the file's bytes a line at a time and keeps only what each line means.

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
    size_t limit;           // where whole characters end
    size_t next;            // byte offset of the next line
    size_t line = 0;        // the current line's number, from 1
    size_t lineBegin = 0;   // byte offsets of the current line's text and of its ending
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

static void Note(RegParser &p, const std::string &message);

// Loads the line at p.next. Lines end at CR LF, LF or a lone CR, as the importer splits them,
// and the importer reads each line as a C string.
static bool NextLine(RegParser &p)
{
    if (p.next >= p.limit)
        return false;
    const char *bytes = p.doc.bytes.data();
    size_t begin = p.next;
    size_t end = p.limit;
    size_t textEnd = p.limit;
    bool replaced = false;
    if (!p.doc.wide) {
        const char *lf = (const char *)memchr(bytes + begin, '\n', p.limit - begin);
        size_t stop = lf != NULL ? (size_t)(lf - bytes) : p.limit;
        const char *cr = (const char *)memchr(bytes + begin, '\r', stop - begin);
        if (cr != NULL) {
            textEnd = (size_t)(cr - bytes);
            end = textEnd + 1 < p.limit && bytes[textEnd + 1] == '\n' ? textEnd + 2 : textEnd + 1;
        } else if (lf != NULL) {
            textEnd = stop;
            end = stop + 1;
        }
        const char *zero = (const char *)memchr(bytes + begin, 0, textEnd - begin);
        size_t size = (zero != NULL ? (size_t)(zero - bytes) : textEnd) - begin;
        if (p.buffer.size() < size)
            p.buffer.resize(size);
        size_t units = p.doc.ansi ? Cp1252ToUtf16(bytes + begin, size, &p.buffer[0])
                                  : Utf8ToUtf16(bytes + begin, size, &p.buffer[0]);
        p.text = std::u16string_view(p.buffer.data(), units);
        replaced = p.doc.badUtf8 && FirstNonUtf8(bytes + begin, size) < size;
    } else {
        size_t size = 0;
        bool cut = false;
        for (size_t i = begin; i < p.limit; i += 2) {
            char16_t c = UnitAt(p.doc, i);
            if (c == u'\n' || c == u'\r') {
                textEnd = i;
                end =
                    c == u'\r' && i + 2 < p.limit && UnitAt(p.doc, i + 2) == u'\n' ? i + 4 : i + 2;
                break;
            }
            cut = cut || c == 0;
            if (cut)
                continue;
            if (p.buffer.size() <= size)
                p.buffer.resize(2 * size + 64);
            p.buffer[size++] = c;
        }
        p.text = std::u16string_view(p.buffer.data(), size);
    }
    p.lineBegin = begin;
    p.lineEnd = textEnd;
    p.next = end;
    p.pos = 0;
    ++p.line;
    // A file marked as UTF-8 keeps its mark and is read as UTF-8 all the same: what it holds
    // that is not UTF-8 cannot be read, and is said.
    if (replaced)
        Note(p, "bytes that are not UTF-8, each read as U+FFFD");
    return true;
}

static std::u16string_view Text(const RegParser &p)
{
    return p.text;
}

static char16_t Peek(const RegParser &p)
{
    return p.pos < Text(p).size() ? Text(p)[p.pos] : u'\0';
}

static void SkipBlanks(RegParser &p)
{
    while (Peek(p) == u' ' || Peek(p) == u'\t')
        ++p.pos;
}

// Only blanks or a comment are left; blanks already skipped.
static bool AtLineEnd(const RegParser &p)
{
    return Peek(p) == u'\0' || Peek(p) == u';';
}

static bool Match(RegParser &p, const char16_t *tag)
{
    size_t at = p.pos;
    for (; *tag != 0; ++tag, ++at)
        if (at >= Text(p).size() || Text(p)[at] != *tag)
            return false;
    p.pos = at;
    return true;
}

static int HexDigit(char16_t c)
{
    int value = DigitValue(c);
    return value < 16 ? value : -1;
}

// The byte offset of the current line's character at `column`. Every character before a
// backslash decodes from bytes of its own (no byte of a UTF-8 sequence, valid or not, is an
// ASCII one), so counting backslashes finds one in an 8-bit line.
static size_t BackslashOffset(const RegParser &p, size_t column)
{
    if (p.doc.wide)
        return p.lineBegin + 2 * column;
    size_t before = std::count(Text(p).begin(), Text(p).begin() + column, u'\\');
    size_t at = p.doc.bytes.find('\\', p.lineBegin);
    for (; before > 0; --before)
        at = p.doc.bytes.find('\\', at + 1);
    return at;
}

// Reads a run of hex digits; returns how many there were (the value is whole up to 8).
static size_t ReadHex(RegParser &p, DWORD &value)
{
    size_t digits = 0;
    value = 0;
    for (; HexDigit(Peek(p)) >= 0; ++p.pos, ++digits)
        value = value << 4 | (DWORD)HexDigit(Peek(p));
    return digits;
}

// A file of junk lines must not cost a message for each in memory and on standard error.
static void Note(RegParser &p, const std::string &message)
{
    if (p.once || p.quiet)
        return;
    if (p.out.diagnostics.size() < REG_MAX_REPORTED)
        p.out.diagnostics.push_back(p.doc.path + ":" + std::to_string(p.line) + ": " + message);
    else
        ++p.out.unreported;
}

static RegEntry NewEntry(const RegParser &p, RegEntryKind kind)
{
    RegEntry entry{};
    entry.kind = kind;
    entry.section = p.section;
    return entry;
}

static ParseState Finish(RegParser &p, RegEntry entry)
{
    entry.begin = (uint32_t)p.first;
    entry.end = (uint32_t)p.next;
    p.out.entries.push_back(entry);
    return p.once ? ParseState::Done : ParseState::LineStart;
}

// The lines regedit passes over without a word: said here, and kept as they are.
static ParseState Skip(RegParser &p, const char *why)
{
    Note(p, std::string(why) + "; skipped, and kept as it is");
    return Finish(p, NewEntry(p, RegEntryKind::Skipped));
}

// Reads a quoted text up to its closing quote, into out and its name hash into hash unless they
// are null; false when the quote is missing or the text holds \0. Runs of plain characters are
// taken whole.
static bool Unescape(RegParser &p, std::u16string *out, uint32_t *hash)
{
    const char16_t *text = Text(p).data();
    size_t size = Text(p).size();
    size_t at = p.pos;
    if (out != NULL)
        out->clear();
    uint32_t mixed = NAME_HASH_START;
    for (;;) {
        size_t run = at;
        if (hash != NULL)
            for (; at < size && text[at] != u'"' && text[at] != u'\\'; ++at)
                mixed = HashUnit(mixed, text[at]);
        else
            while (at < size && text[at] != u'"' && text[at] != u'\\')
                ++at;
        if (out != NULL)
            out->append(text + run, at - run);
        if (at + 1 >= size || text[at] == u'"') { // closed, or a backslash with nothing after
            bool closed = at < size && text[at] == u'"';
            p.pos = at + (at < size);
            if (hash != NULL)
                *hash = mixed;
            return closed;
        }
        char16_t c = text[at + 1];
        p.pos = at += 2;
        switch (c) {
        case u'n':
            c = u'\n';
            break;
        case u'r':
            c = u'\r';
            break;
        case u'0':
            return false;
        case u'\\':
        case u'"':
            break;
        default: {
            // regedit says so too, and takes the character as it is.
            std::string shown = Utf16ToUtf8(std::u16string(1, c));
            Note(p, "unknown escape \\" + shown + ", read as " + shown);
        }
        }
        if (out != NULL)
            *out += c;
        mixed = HashUnit(mixed, c);
    }
}

static ParseState LineStart(RegParser &p)
{
    if (!NextLine(p))
        return ParseState::Done;
    p.first = p.lineBegin;
    SkipBlanks(p);
    switch (Peek(p)) {
    case u'\0':
    case u';':
        return ParseState::LineStart; // blank lines and comments mean nothing to the importer
    case u'[':
        ++p.pos;
        return ParseState::KeyName;
    case u'@':
        ++p.pos;
        return ParseState::DefaultName;
    case u'"':
        ++p.pos;
        return ParseState::QuotedName;
    default:
        return Skip(p, "not a key, a value or a comment");
    }
}

static uint32_t AddKey(RegParser &p, const std::u16string &folded)
{
    p.out.keyStarts.push_back((uint32_t)p.out.keyText.size());
    p.out.keyText += folded;
    return (uint32_t)(p.out.keyStarts.size() - 1);
}

// Why a key line names no key, in words for its report.
static std::string KeyPathProblem(KeyPathError error)
{
    switch (error) {
    case KeyPathError::ShortRoot:
        return "its root is abbreviated, which regedit does not take in a .reg file (only the "
               "full names, such as HKEY_LOCAL_MACHINE)";
    case KeyPathError::EmptyName:
        return "a key name in it is empty (a backslash after another, or after the root's), "
               "which no registry holds";
    default:
        return "not a key under a known root";
    }
}

static ParseState KeyName(RegParser &p)
{
    // The name runs to the line's last bracket; anything after it is ignored, as regedit does.
    size_t close = Text(p).rfind(u']');
    if (Peek(p) == u' ' || Peek(p) == u'\t' || close == std::u16string::npos || close < p.pos)
        return Skip(p, "a key name needs its closing bracket and no blank after the opening one");
    p.keyText = Text(p).substr(p.pos, close - p.pos);
    if (!p.keyText.empty() && p.keyText[0] == u'-') {
        p.keyText.remove_prefix(1);
        return ParseState::DeleteKey;
    }
    RegEntry entry = NewEntry(p, RegEntryKind::Key);
    p.section = -1;
    KeyPathError error = ParseKeyPath(p.keyText, entry.local, p.folded);
    if (error != KeyPathError::None)
        return Skip(p, (KeyPathProblem(error) + ", so its values are skipped too").c_str());
    if (!WithinKeyLimits(p.folded))
        return Skip(p, "deeper than 512 levels or a name over 255 characters, which no registry "
                       "holds, so its values are skipped too");
    p.section = (int)p.out.entries.size();
    entry.section = p.section;
    entry.id = AddKey(p, p.folded);
    return Finish(p, entry);
}

static ParseState DeleteKey(RegParser &p)
{
    // Whether or not the deletion is valid, the values after it have no key.
    p.section = -1;
    RegEntry entry = NewEntry(p, RegEntryKind::DeleteKey);
    KeyPathError error = ParseKeyPath(p.keyText, entry.local, p.folded);
    // regedit ends its whole import at a deletion of a root or of a key under no root it knows;
    // the device's registry is no import script, and what follows is read all the same.
    if (error == KeyPathError::UnknownRoot || error == KeyPathError::ShortRoot ||
        (error == KeyPathError::None && p.folded.empty()))
        return Skip(p, ((error == KeyPathError::None ? std::string("a root, which no one can "
                                                                   "delete")
                                                     : KeyPathProblem(error)) +
                        "; regedit stops its import here, this registry reads on")
                           .c_str());
    if (error != KeyPathError::None)
        return Skip(p, (KeyPathProblem(error) + ", so there is nothing to delete").c_str());
    if (!WithinKeyLimits(p.folded))
        return Skip(p, "not a key that can be deleted");
    entry.id = AddKey(p, p.folded);
    return Finish(p, entry);
}

static ParseState DefaultName(RegParser &p)
{
    p.name.clear();
    p.nameHash = NAME_HASH_START;
    return ParseState::DataStart;
}

static ParseState QuotedName(RegParser &p)
{
    // Only a value read again needs its name; the first reading keeps its hash.
    if (!Unescape(p, p.once ? &p.name : NULL, &p.nameHash))
        return Skip(p, "a value name needs its closing quote and no \\0");
    return ParseState::DataStart;
}

static ParseState DataStart(RegParser &p)
{
    SkipBlanks(p);
    if (Peek(p) != u'=')
        return Skip(p, "a value name must be followed by =");
    ++p.pos;
    SkipBlanks(p);
    if (Peek(p) == u'-') {
        ++p.pos;
        return ParseState::DeleteValue;
    }
    return ParseState::DataType;
}

static ParseState DeleteValue(RegParser &p)
{
    SkipBlanks(p);
    if (!AtLineEnd(p))
        return Skip(p, "text after =-");
    if (p.section < 0)
        return Skip(p, "a value deletion outside any key");
    RegEntry entry = NewEntry(p, RegEntryKind::DeleteValue);
    entry.id = p.nameHash;
    return Finish(p, entry);
}

static ParseState DataType(RegParser &p)
{
    p.data.clear();
    if (Match(p, u"\"")) {
        p.type = REG_SZ;
        return ParseState::StringData;
    }
    if (Match(p, u"hex:")) {
        p.type = REG_BINARY;
        return ParseState::HexData;
    }
    if (Match(p, u"dword:")) {
        p.type = REG_DWORD;
        return ParseState::DwordData;
    }
    if (Match(p, u"hex(")) {
        size_t digits = ReadHex(p, p.type);
        if (digits == 0 || digits > 8 || !Match(p, u"):"))
            return Skip(p, "hex(N): needs N as one to eight hex digits");
        return ParseState::HexData;
    }
    return Skip(p, "the data is neither a string nor dword: nor hex:");
}

// Only a value read again needs its data; the first reading only checks it.
static ParseState StringData(RegParser &p)
{
    std::u16string &text = p.scratch;
    if (!Unescape(p, p.once ? &text : NULL, NULL))
        return Skip(p, "a string needs its closing quote and no \\0");
    SkipBlanks(p);
    if (!AtLineEnd(p))
        return Skip(p, "text after the string's closing quote");
    if (!p.once)
        return ParseState::SetValue;
    // Its UTF-16LE bytes and the terminating zero.
    p.data.assign(text.size() * 2 + 2, 0);
    for (size_t i = 0; i < text.size(); ++i) {
        p.data[2 * i] = (BYTE)(text[i] & 0xFF);
        p.data[2 * i + 1] = (BYTE)(text[i] >> 8);
    }
    return ParseState::SetValue;
}

static ParseState DwordData(RegParser &p)
{
    SkipBlanks(p);
    DWORD value = 0;
    size_t digits = ReadHex(p, value);
    SkipBlanks(p);
    if (digits == 0 || digits > 8 || !AtLineEnd(p))
        return Skip(p, "dword: needs one to eight hex digits");
    for (int shift = 0; shift < 32; shift += 8)
        p.data.push_back((BYTE)(value >> shift));
    return ParseState::SetValue;
}

// One line's worth of comma-separated bytes.
static ParseState HexData(RegParser &p)
{
    for (;;) {
        SkipBlanks(p);
        DWORD byte = 0;
        size_t digits = ReadHex(p, byte);
        if (digits == 0) {
            if (Peek(p) == u'\\') {
                p.backslash = BackslashOffset(p, p.pos++);
                return ParseState::HexLineEnd;
            }
            if (AtLineEnd(p))
                return ParseState::HexDone;
            return Skip(p, "hex data must be two-digit bytes separated by commas");
        }
        if (digits > 8 || byte > 0xFF)
            return Skip(p, "a hex byte above ff");
        p.data.push_back((BYTE)byte);
        if (Peek(p) == u',') {
            ++p.pos;
            continue;
        }
        SkipBlanks(p);
        if (!AtLineEnd(p))
            return Skip(p, "hex data must be two-digit bytes separated by commas");
        return ParseState::HexDone;
    }
}

static ParseState HexLineEnd(RegParser &p)
{
    SkipBlanks(p);
    if (!AtLineEnd(p))
        return Skip(p, "text after a continuation backslash");
    return ParseState::HexNextLine;
}

// Blank and comment lines may come between a value's continued lines.
static ParseState HexNextLine(RegParser &p)
{
    if (!NextLine(p)) {
        // The file ends: the value keeps the bytes it has, and its backslash dangles.
        if (!p.once)
            p.out.dangling = p.backslash;
        return ParseState::HexDone;
    }
    SkipBlanks(p);
    if (AtLineEnd(p))
        return ParseState::HexNextLine;
    if (HexDigit(Peek(p)) < 0)
        return Skip(p, "a continued hex value must go on with hex bytes");
    return ParseState::HexData;
}

// In a file of 8-bit text, regedit keeps expandable and multi-string data in hex form as text
// of the file's code page (for us, UTF-8) and turns it into UTF-16 on import; everything else,
// and everything in a UTF-16 file, is the value's own bytes.
static bool HexIsText(const RegDocument &doc, DWORD type)
{
    return !doc.wide && (type == REG_EXPAND_SZ || type == REG_MULTI_SZ);
}

// String data in hex form gets its terminating zero, as the importer gives it.
static ParseState HexDone(RegParser &p)
{
    std::vector<BYTE> &data = p.data;
    bool text = p.type == REG_SZ || p.type == REG_EXPAND_SZ || p.type == REG_MULTI_SZ;
    if (!text || data.empty())
        return ParseState::SetValue;
    if (!HexIsText(p.doc, p.type)) {
        // An odd byte count is no whole string; it is left as it is.
        if (data.size() % 2 == 0 && (data[data.size() - 2] != 0 || data.back() != 0))
            data.insert(data.end(), 2, 0);
        return ParseState::SetValue;
    }
    if (data.back() != 0)
        data.push_back(0);
    std::string bytes = BytesFromWide(Decode(p.doc, std::string(data.begin(), data.end())));
    data.assign(bytes.begin(), bytes.end());
    return ParseState::SetValue;
}

// The value's type and data stay behind in the parser, for a caller that reads it again.
static ParseState SetValue(RegParser &p)
{
    if (p.section < 0)
        return Skip(p, "a value outside any key");
    RegEntry entry = NewEntry(p, RegEntryKind::SetValue);
    entry.id = p.nameHash;
    return Finish(p, entry);
}

typedef ParseState (*ParseStep)(RegParser &);

// In the order of ParseState.
static const ParseStep PARSE_STEPS[] = {
    LineStart,  KeyName,   DeleteKey, DefaultName, QuotedName,  DataStart, DeleteValue, DataType,
    StringData, DwordData, HexData,   HexLineEnd,  HexNextLine, HexDone,   SetValue,
};

static void RunParser(RegParser &p)
{
    ParseState state = ParseState::LineStart;
    while (state != ParseState::Done)
        state = PARSE_STEPS[(int)state](p);
}

static uint64_t SizeLimit();

static void Parse(RegDocument &doc, const std::string &path, std::string bytes, bool quiet = false)
{
    doc = RegDocument();
    doc.path = path;
    doc.exists = true;
    doc.bytes = std::move(bytes);
    // Entries keep 32-bit offsets, which a larger text would wrap.
    if (doc.bytes.size() > SizeLimit()) {
        doc.valid = false;
        doc.diagnostics.push_back(path + ": over 4 GiB, too large to be a registry");
        return;
    }
    if (doc.bytes.compare(0, 2, "\xFF\xFE") == 0) {
        doc.wide = true;
        doc.bom = doc.bytes.substr(0, 2);
    } else if (doc.bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        doc.bom = doc.bytes.substr(0, 3);
    }
    doc.eol = doc.wide ? u"\r\n" : u"\n";
    // regedit reads every file that does not open with FF FE in the ANSI code page, Windows-1252
    // on a Western system. A file that is UTF-8 throughout is read as UTF-8 all the same (its
    // meaning is plain); one that is not is read in the code page, as regedit reads it.
    size_t bad = doc.wide ? doc.bytes.size() : FirstNonUtf8(doc.bytes.data(), doc.bytes.size());
    doc.ansi = bad < doc.bytes.size() && doc.bom.empty();
    doc.badUtf8 = bad < doc.bytes.size() && !doc.bom.empty();

    // Room for an entry every sixteen bytes, more than real files need, so the list is seldom
    // copied as it grows; room never filled costs address space, not memory.
    doc.entries.reserve(doc.bytes.size() / 16);
    RegParser p(doc, doc, false);
    p.quiet = quiet;
    // Blanks before the header are Windows' to skip too; a header with anything else is
    // none: REGEDIT3, "REGEDIT 4" or REGEDIT4FOO import nothing, so nothing is written there.
    bool header = NextLine(p);
    if (header) {
        SkipBlanks(p);
        std::u16string_view text = Text(p).substr(p.pos);
        header = text == HEADER_5 || text == HEADER_4;
    }
    if (!header) {
        doc.valid = false;
        doc.diagnostics.push_back(path + ":1: no \"Windows Registry Editor Version 5.00\" or "
                                         "\"REGEDIT4\" header, so this is no .reg file: it "
                                         "reads as empty and is never written over");
        return;
    }
    if (p.next > p.lineEnd) // the file's own line ending, for the lines a write adds
        doc.eol = Decode(doc, doc.bytes.substr(p.lineEnd, p.next - p.lineEnd));
    if (!doc.bom.empty() && !doc.wide && !quiet)
        doc.diagnostics.push_back(path + ":1: a UTF-8 byte-order mark, which regedit does not "
                                         "know: it would import nothing from this file (save "
                                         "it as UTF-16LE, or as UTF-8 without the mark)");
    if (doc.ansi && !quiet)
        doc.diagnostics.push_back(
            path + ":" +
            std::to_string(1 + std::count(doc.bytes.begin(), doc.bytes.begin() + bad, '\n')) +
            ": a byte that is not UTF-8, so the file is read in Windows-1252, as regedit reads "
            "it");
    RunParser(p);
    if (doc.unreported != 0)
        doc.diagnostics.push_back(path + ": ... and " + std::to_string(doc.unreported) +
                                  " more lines like these");
}

void RegStoreParse(RegDocument &doc, const std::string &path, const std::string &bytes)
{
    Parse(doc, path, std::string(bytes));
}

// A value entry's name as written, and its type and data, read again from its lines.
static void ReadEntry(const RegDocument &doc, const RegEntry &entry, std::u16string &name,
                      RegValue *value)
{
    RegDocument scratch;
    RegParser p(doc, scratch, true);
    p.next = entry.begin;
    p.section = entry.section;
    RunParser(p);
    name = std::move(p.name);
    if (value != NULL)
        *value = RegValue{p.type, std::move(p.data)};
}

// ---- Reading the file ----------------------------------------------------------------------

struct FdCloser {
    int fd;
    ~FdCloser()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Reads from the descriptor's position to its end, into room for the size it was said to have.
static int ReadAll(int fd, size_t size, std::string &bytes)
{
    bytes.resize(size);
    size_t done = 0;
    char more[65536];
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
    char buffer[65536];
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

// Each distinct content of the file is reported once a process, not on every call.
static std::mutex s_reportedLock;
static std::set<std::pair<std::string, size_t>> s_reported;

static void Report(const RegDocument &doc)
{
    if (doc.diagnostics.empty())
        return;
    {
        std::lock_guard<std::mutex> guard(s_reportedLock);
        if (!s_reported.emplace(doc.path, std::hash<std::string>()(doc.bytes)).second)
            return;
    }
    for (const std::string &line : doc.diagnostics)
        WriteDiagnostic("%s", line.c_str());
}

// The last parse, kept while the file's bytes stay the same.
static std::mutex s_parsedLock;
static std::shared_ptr<const RegDocument> s_parsed;

// Only a regular file is read: a FIFO, socket or device in the registry's place is refused, not
// waited on or set going.
static int NotRegular(const struct stat &info)
{
    return S_ISREG(info.st_mode) ? 0 : S_ISDIR(info.st_mode) ? EISDIR : REG_NOT_A_FILE;
}

// Opens a regular file to read, without blocking; it is looked at before it is opened too.
static int OpenRegular(const std::string &path, int flags, FdCloser &file, struct stat &info)
{
    if (stat(path.c_str(), &info) == 0 && NotRegular(info) != 0)
        return NotRegular(info);
    file.fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
    if (file.fd < 0 || fstat(file.fd, &info) != 0)
        return errno;
    return NotRegular(info);
}

// A small file read whole: the journal of a rewrite, the file it rewrote.
static int ReadRegularFile(const std::string &path, int flags, std::string &bytes)
{
    FdCloser file{-1};
    struct stat info;
    int error = OpenRegular(path, flags, file, info);
    return error != 0 ? error : ReadAll(file.fd, (size_t)info.st_size, bytes);
}

static void ReadThroughJournal(const std::string &path, const struct stat &registry,
                               std::string &bytes);

int RegStoreRead(std::shared_ptr<const RegDocument> &doc, const std::string &path)
{
    FdCloser file{-1};
    struct stat info;
    int error = OpenRegular(path, 0, file, info);
    if (error == ENOENT) {
        std::shared_ptr<RegDocument> empty = std::make_shared<RegDocument>();
        empty->path = path;
        doc = empty;
        return 0;
    }
    if (error != 0)
        return error;
    // Refused before a byte is read: reading it whole would cost its size in memory.
    if ((uint64_t)info.st_size > SizeLimit()) {
        RegStoreSay(path + ": over 4 GiB, too large to be a registry");
        return EFBIG;
    }
    std::shared_ptr<const RegDocument> parsed;
    {
        std::lock_guard<std::mutex> guard(s_parsedLock);
        parsed = s_parsed;
    }
    // A rewrite in place under way, or cut short, leaves its journal: then the file is read
    // whole and through it.
    std::string journal;
    bool rewriting =
        ResolveTarget(path, journal) == 0 && access((journal + ".journal").c_str(), F_OK) == 0;
    if (!rewriting && parsed && parsed->path == path &&
        parsed->bytes.size() == (size_t)info.st_size && SameContent(file.fd, parsed->bytes)) {
        doc = parsed;
        return 0;
    }
    // The old parse goes before the new one is built, so only one is ever held.
    parsed.reset();
    {
        std::lock_guard<std::mutex> guard(s_parsedLock);
        s_parsed.reset();
    }
    std::string bytes;
    error =
        lseek(file.fd, 0, SEEK_SET) == 0 ? ReadAll(file.fd, (size_t)info.st_size, bytes) : errno;
    if (error != 0)
        return error;
    // Entries keep 32-bit offsets: a quarter of the memory a registry file of any real size
    // would otherwise need. The file may have grown since it was looked at.
    if (bytes.size() > SizeLimit()) {
        RegStoreSay(path + ": over 4 GiB, too large to be a registry");
        return EFBIG;
    }
    if (rewriting)
        ReadThroughJournal(path, info, bytes);
    std::shared_ptr<RegDocument> fresh = std::make_shared<RegDocument>();
    Parse(*fresh, path, std::move(bytes));
    Report(*fresh);
    {
        std::lock_guard<std::mutex> guard(s_parsedLock);
        s_parsed = fresh;
    }
    doc = fresh;
    return 0;
}

int RegStoreLoad(RegDocument &doc, const std::string &path)
{
    std::shared_ptr<const RegDocument> shared;
    int error = RegStoreRead(shared, path);
    if (error != 0) {
        doc = RegDocument();
        doc.path = path;
        return error;
    }
    // A caller that edits the file takes the parse over rather than copy it, unless another
    // reader still holds it; the file is about to change anyway.
    {
        std::lock_guard<std::mutex> guard(s_parsedLock);
        if (s_parsed == shared)
            s_parsed.reset();
    }
    if (shared.use_count() == 1) // made as a RegDocument of its own by RegStoreRead
        doc = std::move(const_cast<RegDocument &>(*shared));
    else
        doc = *shared;
    return 0;
}

// ---- What the file says --------------------------------------------------------------------

// The folded path of a Key or DeleteKey entry.
static std::u16string_view KeyOf(const RegDocument &doc, const RegEntry &entry)
{
    size_t start = doc.keyStarts[entry.id];
    size_t end =
        entry.id + 1 < doc.keyStarts.size() ? doc.keyStarts[entry.id + 1] : doc.keyText.size();
    return std::u16string_view(doc.keyText).substr(start, end - start);
}

// A value line, setting or deleting, in one of the key's sections, whose name may be the one.
static bool MayBeValueOf(const RegDocument &doc, const RegEntry &entry, const std::u16string &key,
                         uint32_t nameHash)
{
    if ((entry.kind != RegEntryKind::SetValue && entry.kind != RegEntryKind::DeleteValue) ||
        entry.id != nameHash)
        return false;
    const RegEntry &section = doc.entries[entry.section];
    return section.local && KeyOf(doc, section) == key;
}

static bool IsValueOf(const RegDocument &doc, const RegEntry &entry, const std::u16string &key,
                      const std::u16string &name, uint32_t nameHash)
{
    if (!MayBeValueOf(doc, entry, key, nameHash))
        return false;
    std::u16string written;
    ReadEntry(doc, entry, written, NULL);
    return RegStoreFold(written) == name;
}

// A deletion of the key or of one of its ancestors.
static bool DeletesKey(const RegDocument &doc, const RegEntry &entry, const std::u16string &key)
{
    return entry.kind == RegEntryKind::DeleteKey && entry.local &&
           IsSelfOrAncestor(KeyOf(doc, entry), key);
}

// A key exists from a section of it or of a descendant (the importer's RegCreateKeyEx makes
// every ancestor) until a deletion of it or of an ancestor.
bool RegStoreKeyExists(const RegDocument &doc, const std::u16string &key)
{
    bool exists = key.empty();
    for (const RegEntry &entry : doc.entries) {
        if (entry.kind == RegEntryKind::Key && entry.local &&
            IsSelfOrAncestor(key, KeyOf(doc, entry)))
            exists = true;
        else if (DeletesKey(doc, entry, key))
            exists = false;
    }
    return exists;
}

bool RegStoreQueryValue(const RegDocument &doc, const std::u16string &key,
                        const std::u16string &name, RegValue *value)
{
    uint32_t hash = NameHash(name);
    const RegEntry *found = NULL;
    std::u16string written;
    for (const RegEntry &entry : doc.entries) {
        if (DeletesKey(doc, entry, key)) {
            found = NULL;
            continue;
        }
        if (!MayBeValueOf(doc, entry, key, hash))
            continue;
        ReadEntry(doc, entry, written, NULL);
        if (RegStoreFold(written) == name)
            found = entry.kind == RegEntryKind::SetValue ? &entry : NULL;
    }
    if (found != NULL && value != NULL)
        ReadEntry(doc, *found, written, value);
    return found != NULL;
}

// A new key brings its missing ancestors; the tree always holds every ancestor of a key, so
// the walk up stops at the first one it has.
static void AddKeyAndAncestors(RegTree &tree, std::u16string key)
{
    while (tree.emplace(key, std::map<std::u16string, RegValue>()).second) {
        size_t slash = key.rfind(u'\\');
        if (slash == std::u16string::npos)
            break;
        key.resize(slash);
    }
}

// The key and its subtree, which sorts as one run after it: "KEY\" up to "KEY]".
static void EraseSubtree(RegTree &tree, const std::u16string &key)
{
    tree.erase(key);
    tree.erase(tree.lower_bound(key + u'\\'), tree.lower_bound(key + u']'));
}

RegTree RegStoreEvaluate(const RegDocument &doc)
{
    RegTree tree;
    tree[u""];
    std::u16string name;
    for (const RegEntry &entry : doc.entries) {
        const RegEntry *section = entry.section >= 0 ? &doc.entries[entry.section] : NULL;
        switch (entry.kind) {
        case RegEntryKind::Key:
            if (entry.local)
                AddKeyAndAncestors(tree, std::u16string(KeyOf(doc, entry)));
            break;
        case RegEntryKind::DeleteKey:
            if (entry.local)
                EraseSubtree(tree, std::u16string(KeyOf(doc, entry)));
            break;
        case RegEntryKind::SetValue:
            if (section->local) {
                RegValue value;
                ReadEntry(doc, entry, name, &value);
                tree[std::u16string(KeyOf(doc, *section))][RegStoreFold(name)] = std::move(value);
            }
            break;
        case RegEntryKind::DeleteValue:
            if (section->local) {
                ReadEntry(doc, entry, name, NULL);
                tree[std::u16string(KeyOf(doc, *section))].erase(RegStoreFold(name));
            }
            break;
        default:
            break;
        }
    }
    return tree;
}

std::string RegStoreSerialize(const RegDocument &doc)
{
    return doc.bytes;
}

// ---- Edits ---------------------------------------------------------------------------------
//
// An edit splices new lines into the bytes, then the document is parsed again, so that it
// always says what its bytes say.

static std::u16string Ascii(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

static std::u16string Escape(const std::u16string &text)
{
    std::u16string out;
    for (char16_t c : text) {
        if (c == u'\\' || c == u'"')
            out += u'\\';
        if (c == u'\n' || c == u'\r')
            out += c == u'\n' ? u"\\n" : u"\\r";
        else
            out += c;
    }
    return out;
}

// UTF-8 holds only what survives the trip there and back: no lone surrogates.
static bool SurvivesUtf8(const std::u16string &text)
{
    return Utf8ToUtf16(Utf16ToUtf8(text)) == text;
}

static bool Encodable(const RegDocument &doc, const std::u16string &text)
{
    std::string narrow;
    return doc.wide || (doc.ansi ? Utf16ToCp1252(text, narrow) : SurvivesUtf8(text));
}

// The text of a clean string: whole characters, one final zero and no other, on one line.
static bool CleanString(const BYTE *data, DWORD size, std::u16string &text)
{
    if (size < 2 || size % 2 != 0)
        return false;
    text = WideFromBytes(std::string((const char *)data, size));
    if (text.back() != 0)
        return false;
    text.pop_back();
    return text.find_first_of(std::u16string(u"\0\r\n", 3)) == std::u16string::npos;
}

// regedit's hex layout: lines of at most 80 columns, continued after ",\" with two blanks.
static void WrapHex(std::u16string line, const std::vector<BYTE> &bytes,
                    std::vector<std::u16string> &out)
{
    for (size_t i = 0; i < bytes.size(); ++i) {
        char digits[4];
        snprintf(digits, sizeof(digits), "%02x", bytes[i]);
        bool last = i + 1 == bytes.size();
        std::u16string piece = Ascii(digits) + (last ? u"" : u",");
        if (i > 0 && line.size() + piece.size() + (last ? 0 : 1) > 80) {
            out.push_back(line + u"\\");
            line = u"  ";
        }
        line += piece;
    }
    out.push_back(line);
}

static LONG FormatValue(const RegDocument &doc, const std::u16string &name, DWORD type,
                        const BYTE *data, DWORD size, std::vector<std::u16string> &out)
{
    if (!Encodable(doc, name))
        return ERROR_INVALID_DATA;
    std::u16string head = (name.empty() ? u"@" : u"\"" + Escape(name) + u"\"") + u"=";
    std::u16string text;
    if (type == REG_SZ && CleanString(data, size, text) && Encodable(doc, text)) {
        out.push_back(head + u"\"" + Escape(text) + u"\"");
        return ERROR_SUCCESS;
    }
    char number[16];
    if (type == REG_DWORD && size == 4) {
        snprintf(number, sizeof(number), "%08x",
                 data[0] | data[1] << 8 | data[2] << 16 | (DWORD)data[3] << 24);
        out.push_back(head + u"dword:" + Ascii(number));
        return ERROR_SUCCESS;
    }
    std::vector<BYTE> bytes(data, data + size);
    if (HexIsText(doc, type) && size != 0) {
        // Only whole strings that UTF-8 can hold fit there.
        std::u16string wide = WideFromBytes(std::string(bytes.begin(), bytes.end()));
        if (size % 2 != 0 || !Encodable(doc, wide))
            return ERROR_INVALID_DATA;
        std::string narrow = Encode(doc, wide);
        bytes.assign(narrow.begin(), narrow.end());
    }
    snprintf(number, sizeof(number), "%x", (unsigned)type);
    WrapHex(head + (type == REG_BINARY ? u"hex:" : u"hex(" + Ascii(number) + u"):"), bytes, out);
    return ERROR_SUCCESS;
}

static void Changed(RegDocument &doc)
{
    std::string path = doc.path;
    Parse(doc, path, std::move(doc.bytes), true);
    doc.modified = true;
}

// The importer forgets a key's past at its last deletion, or at an ancestor's.
static int LastKeyDeletion(const RegDocument &doc, const std::u16string &key)
{
    int last = -1;
    for (size_t i = 0; i < doc.entries.size(); ++i)
        if (DeletesKey(doc, doc.entries[i], key))
            last = (int)i;
    return last;
}

// Lines of text, each with the file's own line ending.
static std::string EncodeLines(const RegDocument &doc, const std::vector<std::u16string> &text)
{
    std::string out;
    for (const std::u16string &line : text)
        out += Encode(doc, line + doc.eol);
    return out;
}

// The importer would read a line added after a value the file ends in the middle of as its
// continuation, and skip both; the value's dangling backslash goes first. Its bytes stay.
// Gives how many bytes went, for offsets after it.
static size_t CloseContinuationBefore(RegDocument &doc, size_t at)
{
    if (doc.dangling == std::string::npos || at <= doc.dangling)
        return 0;
    size_t unit = doc.wide ? 2 : 1;
    doc.bytes.erase(doc.dangling, unit);
    doc.dangling = std::string::npos;
    return unit;
}

// At a line boundary; a last line without an ending gets one first.
static void InsertLines(RegDocument &doc, size_t at, const std::vector<std::u16string> &text)
{
    at -= CloseContinuationBefore(doc, at);
    std::string ending = EndingBefore(doc, at) == 0 ? Encode(doc, doc.eol) : std::string();
    doc.bytes.insert(at, ending + EncodeLines(doc, text));
}

// A blank or comment line, as may come between a continued value's lines.
static bool IsCommentLine(std::u16string_view text)
{
    size_t first = text.find_first_not_of(u" \t");
    return first == std::u16string::npos || text[first] == u';';
}

// The blank and comment lines among an entry's continued lines, as they stand, and the size of
// the last one's line ending.
static std::string CommentLines(const RegDocument &doc, const RegEntry &entry, size_t &ending)
{
    RegDocument scratch;
    RegParser p(doc, scratch, true);
    p.next = entry.begin;
    p.limit = entry.end;
    std::string kept;
    NextLine(p); // the line with the value's name
    while (NextLine(p))
        if (IsCommentLine(Text(p))) {
            kept += doc.bytes.substr(p.lineBegin, p.next - p.lineBegin);
            ending = p.next - p.lineEnd;
        }
    return kept;
}

// Puts the entry's new text in place of its lines; no text deletes it. The comments and blank
// lines between a continued value's lines stay, after the new text. The last line ends as the
// entry's last line did, so a file without a final line ending keeps it so.
static void ReplaceEntry(RegDocument &doc, const RegEntry &entry,
                         const std::vector<std::u16string> &text)
{
    size_t ending = EndingBefore(doc, entry.end);
    size_t lastEnding = Encode(doc, doc.eol).size();
    std::string lines = EncodeLines(doc, text) + CommentLines(doc, entry, lastEnding);
    if (!lines.empty()) {
        lines.resize(lines.size() - lastEnding);
        lines += doc.bytes.substr(entry.end - ending, ending);
    }
    doc.bytes.replace(entry.begin, entry.end - entry.begin, lines);
}

// After the section's last key, value or skipped line: its trailing blanks and comments more
// likely belong to what follows.
static void InsertIntoSection(RegDocument &doc, int section,
                              const std::vector<std::u16string> &text)
{
    size_t last = (size_t)section;
    for (size_t i = last + 1; i < doc.entries.size(); ++i)
        if (doc.entries[i].section == section)
            last = i;
    InsertLines(doc, doc.entries[last].end, text);
}

// The text of the line that ends at a line boundary.
static std::u16string LineBefore(const RegDocument &doc, size_t at)
{
    size_t unit = doc.wide ? 2 : 1;
    size_t end = at - EndingBefore(doc, at);
    size_t start = end;
    while (start > doc.bom.size() && UnitAt(doc, start - unit) != u'\n' &&
           UnitAt(doc, start - unit) != u'\r')
        start -= unit;
    std::u16string text = Decode(doc, doc.bytes.substr(start, end - start));
    return text.substr(0, text.find(u'\0'));
}

// At the end of the text, after a blank line, in front of a UTF-16 file's odd last byte.
static void AppendSection(RegDocument &doc, const std::u16string &key,
                          const std::vector<std::u16string> &text)
{
    CloseContinuationBefore(doc, TextEnd(doc));
    size_t at = TextEnd(doc);
    std::string added;
    std::u16string last;
    if (at == doc.bom.size()) {
        last = HEADER_5;
        added = EncodeLines(doc, {last});
    } else {
        last = LineBefore(doc, at);
        if (EndingBefore(doc, at) == 0)
            added = Encode(doc, doc.eol);
    }
    std::vector<std::u16string> lines;
    if (last.find_first_not_of(u" \t") != std::u16string::npos)
        lines.push_back(u"");
    std::u16string name = u"HKEY_LOCAL_MACHINE";
    if (!key.empty())
        name += u"\\" + key;
    lines.push_back(u"[" + name + u"]");
    lines.insert(lines.end(), text.begin(), text.end());
    doc.bytes.insert(at, added + EncodeLines(doc, lines));
}

bool RegStoreCreateKey(RegDocument &doc, const std::u16string &key)
{
    if (RegStoreKeyExists(doc, RegStoreFold(key)) || !Encodable(doc, key))
        return false;
    AppendSection(doc, key, {});
    Changed(doc);
    doc.change = RegChange{RegChangeKind::CreateKey, RegStoreFold(key), u""};
    return true;
}

LONG RegStoreSetValue(RegDocument &doc, const std::u16string &key, const std::u16string &name,
                      DWORD type, const BYTE *data, DWORD size)
{
    std::u16string foldedKey = RegStoreFold(key);
    std::u16string foldedName = RegStoreFold(name);
    uint32_t nameHash = NameHash(foldedName);
    int section = -1;
    int target = -1;
    for (size_t i = LastKeyDeletion(doc, foldedKey) + 1; i < doc.entries.size(); ++i) {
        const RegEntry &entry = doc.entries[i];
        if (entry.kind == RegEntryKind::Key && entry.local && KeyOf(doc, entry) == foldedKey)
            section = (int)i;
        if (IsValueOf(doc, entry, foldedKey, foldedName, nameHash))
            target = (int)i;
    }
    // A value keeps the spelling of its name, as Win32 keeps a value's name when it is set.
    std::u16string written = name;
    if (target >= 0)
        ReadEntry(doc, doc.entries[target], written, NULL);
    std::vector<std::u16string> text;
    LONG result = FormatValue(doc, written, type, data, size, text);
    if (result == ERROR_SUCCESS && target < 0 && section < 0 && !Encodable(doc, key))
        result = ERROR_INVALID_DATA; // a new section must be able to spell its key
    if (result != ERROR_SUCCESS)
        return result;
    if (target >= 0)
        ReplaceEntry(doc, doc.entries[target], text);
    else if (section >= 0)
        InsertIntoSection(doc, section, text);
    else
        AppendSection(doc, key, text);
    Changed(doc);
    doc.change = RegChange{RegChangeKind::SetValue, foldedKey, foldedName};
    return ERROR_SUCCESS;
}

LONG RegStoreDeleteValue(RegDocument &doc, const std::u16string &key, const std::u16string &name)
{
    std::u16string foldedKey = RegStoreFold(key);
    std::u16string foldedName = RegStoreFold(name);
    if (!RegStoreQueryValue(doc, foldedKey, foldedName, NULL))
        return ERROR_FILE_NOT_FOUND;

    // Every setting since the value was last forgotten goes, latest first so offsets hold.
    int since = LastKeyDeletion(doc, foldedKey);
    uint32_t nameHash = NameHash(foldedName);
    std::vector<size_t> settings;
    for (size_t i = since + 1; i < doc.entries.size(); ++i) {
        const RegEntry &entry = doc.entries[i];
        if (!IsValueOf(doc, entry, foldedKey, foldedName, nameHash))
            continue;
        if (entry.kind == RegEntryKind::DeleteValue)
            settings.clear();
        else if (entry.kind == RegEntryKind::SetValue)
            settings.push_back(i);
    }
    for (auto it = settings.rbegin(); it != settings.rend(); ++it)
        ReplaceEntry(doc, doc.entries[*it], {});
    Changed(doc);
    doc.change = RegChange{RegChangeKind::DeleteValue, foldedKey, foldedName};
    return ERROR_SUCCESS;
}

// ---- The check before a write -------------------------------------------------------------

// An entry's bytes without its last line ending.
static std::string_view EntryText(const RegDocument &doc, const RegEntry &entry)
{
    return std::string_view(doc.bytes).substr(entry.begin, entry.end - entry.begin -
                                                               EndingBefore(doc, entry.end));
}

// The column of the backslash at a byte offset of the line that starts at `begin`; every
// backslash is a byte of its own in an 8-bit line.
static size_t BackslashColumn(const RegDocument &doc, const std::u16string &line, size_t begin,
                              size_t offset)
{
    if (doc.wide)
        return (offset - begin) / 2;
    size_t before = std::count(doc.bytes.begin() + begin, doc.bytes.begin() + offset, '\\');
    size_t column = line.find(u'\\');
    for (; before > 0; --before)
        column = line.find(u'\\', column + 1);
    return column;
}

// What a skipped entry reads as: its lines but for comments among them and a dangling
// backslash, which a line added after it takes away.
static std::u16string SkippedText(const RegDocument &doc, const RegEntry &entry)
{
    RegDocument scratch;
    RegParser p(doc, scratch, true);
    p.next = entry.begin;
    p.limit = entry.end;
    std::u16string text;
    for (bool first = true; NextLine(p); first = false) {
        if (!first && IsCommentLine(Text(p)))
            continue;
        std::u16string line(Text(p));
        if (doc.dangling >= p.lineBegin && doc.dangling < p.lineEnd)
            line.erase(BackslashColumn(doc, line, p.lineBegin, doc.dangling), 1);
        text += line + u"\n";
    }
    return text;
}

static bool SameSection(const RegDocument &a, const RegEntry &x, const RegDocument &b,
                        const RegEntry &y)
{
    return x.local == y.local &&
           (x.local ? KeyOf(a, x) == KeyOf(b, y) : EntryText(a, x) == EntryText(b, y));
}

// Whether two entries mean the same to the importer. The same text in the same section does;
// otherwise what it says is compared. A run of values shares its sections, which are compared
// once: `sections` holds the last pair found the same.
static bool SameMeaning(const RegDocument &a, const RegEntry &x, const RegDocument &b,
                        const RegEntry &y, std::pair<int, int> &sections)
{
    bool value = x.kind == RegEntryKind::SetValue || x.kind == RegEntryKind::DeleteValue;
    if (x.kind != y.kind || x.local != y.local)
        return false;
    if (value && sections != std::make_pair(x.section, y.section)) {
        if (!SameSection(a, a.entries[x.section], b, b.entries[y.section]))
            return false;
        sections = std::make_pair(x.section, y.section);
    }
    if (EntryText(a, x) == EntryText(b, y))
        return true;
    if (x.kind == RegEntryKind::Key || x.kind == RegEntryKind::DeleteKey)
        return x.local && KeyOf(a, x) == KeyOf(b, y);
    if (x.kind == RegEntryKind::Skipped)
        return SkippedText(a, x) == SkippedText(b, y);
    std::u16string nameX;
    std::u16string nameY;
    RegValue valueX;
    RegValue valueY;
    ReadEntry(a, x, nameX, &valueX);
    ReadEntry(b, y, nameY, &valueY);
    return RegStoreFold(nameX) == RegStoreFold(nameY) &&
           (x.kind == RegEntryKind::DeleteValue ||
            (valueX.type == valueY.type && valueX.data == valueY.data));
}

// An entry the change may have added, changed or taken away: a section of the key that was
// created or given a value, a line of the value that was set or deleted.
static bool AboutTheChange(const RegDocument &doc, const RegEntry &entry, const RegChange &change,
                           uint32_t nameHash)
{
    if (entry.kind == RegEntryKind::Key)
        return entry.local && KeyOf(doc, entry) == change.key &&
               (change.kind == RegChangeKind::CreateKey || change.kind == RegChangeKind::SetValue);
    return (change.kind == RegChangeKind::SetValue || change.kind == RegChangeKind::DeleteValue) &&
           IsValueOf(doc, entry, change.key, change.name, nameHash);
}

bool RegStoreChangedOnly(const RegDocument &before, const RegDocument &after,
                         const RegChange &change)
{
    if (!after.valid || after.wide != before.wide || after.bom != before.bom ||
        after.bytes.compare(TextEnd(after), std::string::npos, before.bytes, TextEnd(before),
                            std::string::npos) != 0)
        return false;
    uint32_t hash = NameHash(change.name);
    std::pair<int, int> sections(-1, -1);
    size_t i = 0;
    size_t j = 0;
    for (;; ++i, ++j) {
        while (i < before.entries.size() && AboutTheChange(before, before.entries[i], change, hash))
            ++i;
        while (j < after.entries.size() && AboutTheChange(after, after.entries[j], change, hash))
            ++j;
        if (i == before.entries.size() || j == after.entries.size())
            break;
        if (!SameMeaning(before, before.entries[i], after, after.entries[j], sections))
            return false;
    }
    if (i != before.entries.size() || j != after.entries.size())
        return false;
    switch (change.kind) {
    case RegChangeKind::None:
        return true;
    case RegChangeKind::CreateKey:
        return RegStoreKeyExists(after, change.key);
    case RegChangeKind::SetValue:
        return RegStoreQueryValue(after, change.key, change.name, NULL);
    default:
        return !RegStoreQueryValue(after, change.key, change.name, NULL);
    }
}

// ---- Test hooks ------------------------------------------------------------------------------

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
static bool Injected(RegWriteStage stage)
{
    if (s_failAt != stage)
        return false;
    s_failAt = RegWriteStage::None;
    errno = EIO;
    return true;
}

static uint64_t SizeLimit()
{
    return s_sizeLimit != 0 ? s_sizeLimit : REG_MAX_BYTES;
}
#else
static bool Injected(RegWriteStage)
{
    return false;
}

static uint64_t SizeLimit()
{
    return REG_MAX_BYTES;
}
#endif

// ---- The locked, atomic write --------------------------------------------------------------

static LONG ErrorFromErrno(int error)
{
    return error == EACCES || error == EPERM || error == EROFS ? ERROR_ACCESS_DENIED
                                                               : ERROR_WRITE_FAULT;
}

static bool WriteAll(int fd, const std::string &bytes)
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

static std::string BaseName(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}

// Says why a write failed, and that the registry is as it was.
static LONG Refuse(const std::string &path, const char *failed, int error)
{
    RegStoreSay(path + ": " + failed + " (" + RegStoreReason(error) +
                "); the registry is unchanged");
    return ErrorFromErrno(error);
}

static bool FlushFolder(const std::string &path)
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
static bool GiveOwner(int fd, const struct stat &owner)
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

// What a new file beside the registry is given: the owner and group of `owner` (a must for the
// registry's replacement, as far as it goes for the rest), and `mode` exactly, or as the umask
// leaves it.
struct NewFile {
    const struct stat *owner;
    bool ownerRequired;
    mode_t mode;
    bool exactMode;
};

static const char CANNOT_CHOWN[] = "cannot give the temporary file the registry's owner";

// A complete, flushed copy of the bytes in a new file beside the target, under a name no one
// else uses. Returns NULL, or what failed with errno set; `temp` names the file left to remove.
static const char *WriteTemp(const std::string &target, const std::string &bytes,
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
    if (!WriteAll(file.fd, bytes))
        return "cannot write the temporary file";
    if (Injected(RegWriteStage::Fsync) || fsync(file.fd) != 0)
        return "cannot flush the temporary file";
    int fd = file.fd;
    file.fd = -1;
    if (close(fd) != 0)
        return "cannot close the temporary file";
    return NULL;
}

// Writes the bytes over the file's own content from the start, space reserved first so that
// a full disk stops the rewrite before it changes a byte.
static bool CopyInto(const std::string &target, const std::string &bytes)
{
    FdCloser file{open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    struct stat info;
    if (file.fd < 0 || fstat(file.fd, &info) != 0)
        return false;
    if (!S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return false;
    }
#ifdef FALLOC_FL_KEEP_SIZE
    if (bytes.size() > (size_t)info.st_size &&
        fallocate(file.fd, FALLOC_FL_KEEP_SIZE, 0, (off_t)bytes.size()) != 0 && errno != EOPNOTSUPP)
        return false;
#endif
    bool kill = Injected(RegWriteStage::KillInPlace);
    if (kill || Injected(RegWriteStage::InPlace)) {
        // Cut short halfway, as a writer killed there would be.
        WriteAll(file.fd, bytes.substr(0, bytes.size() / 2));
        if (kill)
            raise(SIGKILL);
        errno = EIO;
        return false;
    }
    return WriteAll(file.fd, bytes) && ftruncate(file.fd, (off_t)bytes.size()) == 0 &&
           fsync(file.fd) == 0;
}

// ---- The journal of a rewrite in place -------------------------------------------------------

bool RegStoreReadJournal(const std::string &record, std::string &newBytes, std::string &oldBytes)
{
    size_t end = record.find('\n');
    unsigned long long newSize = 0;
    unsigned long long oldSize = 0;
    char tail = 0;
    if (end == std::string::npos || end > 64 ||
        sscanf(record.substr(0, end).c_str(), "zembrel journal %llu %llu%c", &newSize, &oldSize,
               &tail) != 2)
        return false;
    // Each size is held against what is left, so that no sum of them can wrap.
    size_t rest = record.size() - end - 1;
    if (newSize > rest || oldSize != rest - newSize)
        return false;
    newBytes.assign(record, end + 1, (size_t)newSize);
    oldBytes.assign(record, end + 1 + (size_t)newSize, std::string::npos);
    return true;
}

// The journal lives beside the registry. Where something that is not a regular file has taken
// its name (a folder, a link), that is left as it is and the journal has a second name.
static std::string JournalPath(const std::string &target, bool say)
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
                                std::string &newBytes, std::string &oldBytes, std::string &why)
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
    if ((uint64_t)info.st_size > 2 * SizeLimit() + 64) {
        why = "larger than any journal";
        return JournalState::Malformed;
    }
    std::string record;
    int error = ReadAll(file.fd, (size_t)info.st_size, record);
    if (error != 0) {
        why = strerror(error);
        return JournalState::Unreadable;
    }
    if (!RegStoreReadJournal(record, newBytes, oldBytes) || newBytes.size() > SizeLimit() ||
        oldBytes.size() > SizeLimit()) {
        why = "not a journal of this store";
        return JournalState::Malformed;
    }
    return JournalState::Usable;
}

// What a rewrite in place cut short leaves: a file as long as the old text, the new or the
// longer of them, each byte the old text's or the new's at that place.
static bool IsMixOf(const std::string &file, const std::string &a, const std::string &b)
{
    if (file.size() != a.size() && file.size() != b.size())
        return false;
    for (size_t i = 0; i < file.size(); ++i)
        if (!(i < a.size() && file[i] == a[i]) && !(i < b.size() && file[i] == b[i]))
            return false;
    return true;
}

// A reader that finds a rewrite in place under way, or cut short, reads the text it writes:
// never the mix of old and new the file holds meanwhile.
static void ReadThroughJournal(const std::string &path, const struct stat &registry,
                               std::string &bytes)
{
    std::string target;
    if (ResolveTarget(path, target) != 0)
        return;
    std::string newBytes;
    std::string oldBytes;
    std::string why;
    if (LoadJournal(JournalPath(target, false), registry, newBytes, oldBytes, why) ==
            JournalState::Usable &&
        IsMixOf(bytes, newBytes, oldBytes))
        bytes = std::move(newBytes);
}

// Used where a rename would lose something: a file with other hard links keeps being theirs
// only if its own content changes, and only root can give a replacement to another account.
// The journal, in place before the first byte changes, lets the next writer finish a rewrite
// whose writer was killed, and readers read the new text meanwhile. It has the registry's
// owner, group and mode as far as this writer can give them, so that the registry's other
// writers can read it, and is writable by no one else.
static LONG RewriteInPlace(const std::string &target, const struct stat &registry,
                           const std::string &oldBytes, const std::string &bytes)
{
    std::string temp;
    std::string journal = JournalPath(target, true);
    struct stat taken;
    if (lstat(journal.c_str(), &taken) == 0 && !S_ISREG(taken.st_mode)) {
        RegStoreSay(journal + ": not a regular file either, so the registry cannot be " +
                    "rewritten in place; the registry is unchanged");
        return ERROR_WRITE_FAULT;
    }
    mode_t mode = (registry.st_mode & 0666 & ~S_IWOTH) | S_IRUSR | S_IWUSR;
    const char *failed = WriteTemp(target,
                                   "zembrel journal " + std::to_string(bytes.size()) + " " +
                                       std::to_string(oldBytes.size()) + "\n" + bytes + oldBytes,
                                   NewFile{&registry, false, mode, true}, temp);
    if (failed == NULL && rename(temp.c_str(), journal.c_str()) != 0)
        failed = "cannot put the journal of the rewrite in place";
    if (failed == NULL && !FlushFolder(target))
        failed = "cannot flush the journal of the rewrite";
    if (failed != NULL) {
        int error = errno;
        if (!temp.empty())
            unlink(temp.c_str());
        unlink(journal.c_str());
        return Refuse(target, failed, error);
    }
    if (CopyInto(target, bytes)) {
        unlink(journal.c_str());
        return ERROR_SUCCESS;
    }
    int error = errno;
    if (!CopyInto(target, oldBytes)) {
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
static LONG FinishRewrite(const std::string &target)
{
    struct stat registry;
    if (stat(target.c_str(), &registry) != 0)
        return ERROR_SUCCESS; // no registry, so nothing was being rewritten
    std::string journal = JournalPath(target, true);
    std::string newBytes;
    std::string oldBytes;
    std::string why;
    switch (LoadJournal(journal, registry, newBytes, oldBytes, why)) {
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
    if (ReadRegularFile(target, 0, file) != 0 || !IsMixOf(file, newBytes, oldBytes)) {
        RegStoreSay(journal + ": left by a rewrite that did not finish, but it no longer fits " +
                    "the registry; removed");
    } else if (!CopyInto(target, newBytes)) {
        RegStoreSay(target + ": cannot finish an interrupted rewrite (" + strerror(errno) + ")");
        return ERROR_WRITE_FAULT;
    }
    unlink(journal.c_str());
    return ERROR_SUCCESS;
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
// the new one, and a crash leaves one of them. The replacement keeps the original's owner,
// group and mode; a registry made anew has the folder's owner and group.
static LONG WriteRegistry(const std::string &target, const std::string &oldBytes,
                          const std::string &bytes)
{
    struct stat info;
    bool existed = stat(target.c_str(), &info) == 0;
    if (existed && info.st_nlink > 1)
        return RewriteInPlace(target, info, oldBytes, bytes);
    struct stat folder;
    bool haveFolder = !existed && stat(FolderOf(target).c_str(), &folder) == 0;
    NewFile how = existed ? NewFile{&info, true, (mode_t)(info.st_mode & 07777), true}
                          : NewFile{haveFolder ? &folder : NULL, false, 0666, false};
    std::string temp;
    const char *failed = WriteTemp(target, bytes, how, temp);
    if (failed == NULL &&
        (Injected(RegWriteStage::Rename) || rename(temp.c_str(), target.c_str()) != 0))
        failed = "cannot rename the temporary file over the registry";
    if (failed != NULL) {
        int error = errno;
        if (!temp.empty())
            unlink(temp.c_str());
        if (failed == CANNOT_CHOWN && error == EPERM)
            return RewriteInPlace(target, info, oldBytes, bytes);
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

LONG RegStoreEdit(const RegDocument &doc, const std::function<LONG(RegDocument &)> &edit,
                  std::string &bytes)
{
    bytes.clear();
    RegDocument edited = doc;
    edited.diagnostics.clear(); // said with the file already
    LONG result = edit(edited);
    if (result != ERROR_SUCCESS || !edited.modified || edited.bytes == doc.bytes)
        return result;
    // A file the reader refuses would cost every value in it, the one written included.
    if (edited.bytes.size() > SizeLimit()) {
        RegStoreSay(doc.path + ": the edit would make the registry over 4 GiB, more than a " +
                    "registry may be, so nothing is written");
        return ERROR_FILE_TOO_LARGE;
    }
    // An 8-bit file is read in Windows-1252 because a byte of it is not UTF-8: an edit that
    // drops the last such byte (a line's tail after a zero, say) would have every other byte
    // of the file read anew as UTF-8.
    if (edited.ansi != doc.ansi) {
        RegStoreSay(doc.path + ": the edit would leave the file UTF-8 throughout, which would " +
                    "change how the rest of it reads, so nothing is written");
        return ERROR_INVALID_DATA;
    }
    // The last word on every edit: a fault in one must never cost another value. Every edit
    // leaves its document parsed afresh from the bytes it made, which the check reads.
    if (!RegStoreChangedOnly(doc, edited, edited.change)) {
        RegStoreSay(doc.path + ": the edit would change more than the value it writes, so " +
                    "nothing is written");
        return ERROR_REGISTRY_CORRUPT;
    }
    bytes = std::move(edited.bytes);
    return ERROR_SUCCESS;
}

// Locks the file the registry's path names now. A link re-pointed while this writer waited for
// the lock names another file, whose lock is taken instead: the file read, edited and written
// is always the one whose lock is held.
static LONG LockTarget(const std::string &path, std::string &target, FdCloser &lock)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        // A rename needs only the folder: the file's own permission is honoured here.
        if (!RegStoreCanWrite(path) || ResolveTarget(path, target) != 0) {
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

    RegDocument doc;
    int error = RegStoreLoad(doc, target);
    if (error != 0) {
        RegStoreSayUnreadable(path, error);
        return ERROR_ACCESS_DENIED;
    }
    doc.path = path;
    if (!doc.valid) {
        RegStoreSay(path + ": not a .reg file, so it is not written over");
        return ERROR_REGISTRY_CORRUPT;
    }
    std::string bytes;
    result = RegStoreEdit(doc, edit, bytes);
    if (result != ERROR_SUCCESS || bytes.empty())
        return result;
    return WriteRegistry(target, doc.bytes, bytes);
}
