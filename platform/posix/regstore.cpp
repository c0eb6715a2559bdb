// The .reg file store: parsing as regedit imports, line-preserving edits, and the safe write.
#include "regstore.h"
#include "runtime.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <locale.h>
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

// ---- Names and paths -----------------------------------------------------------------------

std::string RegStorePath()
{
    std::string root = DeviceRoot();
    return (root == "/" ? std::string() : root) + "/registry.reg";
}

std::u16string RegStoreFold(const std::u16string &name)
{
    // The C locale knows only ASCII capitals; C.UTF-8 knows every letter's.
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    std::u16string out(name);
    for (char16_t &c : out) {
        if (c >= u'a' && c <= u'z') {
            c = (char16_t)(c - 0x20);
        } else if (c >= 0x80 && (c < 0xD800 || c > 0xDFFF) && unicode != (locale_t)0) {
            wint_t upper = towupper_l(c, unicode);
            if (upper <= 0xFFFF)
                c = (char16_t)upper;
        }
    }
    return out;
}

bool RegStoreCleanPath(std::u16string &path)
{
    if (!path.empty() && path[0] == u'\\')
        return false;
    if (!path.empty() && path.back() == u'\\')
        path.pop_back();
    return path.find(u"\\\\") == std::u16string::npos;
}

static bool IsSelfOrAncestor(const std::u16string &ancestor, const std::u16string &key)
{
    return key.compare(0, ancestor.size(), ancestor) == 0 &&
           (key.size() == ancestor.size() || key[ancestor.size()] == u'\\');
}

struct RootName {
    const char16_t *name;
    const char16_t *shortName;
    bool local;
};

static const RootName ROOTS[] = {
    {u"HKEY_LOCAL_MACHINE", u"HKLM", true},   {u"HKEY_CURRENT_USER", u"HKCU", false},
    {u"HKEY_CLASSES_ROOT", u"HKCR", false},   {u"HKEY_USERS", u"HKU", false},
    {u"HKEY_CURRENT_CONFIG", u"HKCC", false}, {u"HKEY_DYN_DATA", u"HKEY_DYN_DATA", false},
};

// Splits "ROOT\path" into the root's kind and the folded path below it.
static bool ParseKeyPath(const std::u16string &name, bool &local, std::u16string &folded)
{
    size_t slash = name.find(u'\\');
    std::u16string root = RegStoreFold(name.substr(0, slash));
    std::u16string path = slash == std::u16string::npos ? u"" : name.substr(slash + 1);
    for (const RootName &known : ROOTS) {
        if (root != known.name && root != known.shortName)
            continue;
        if (!RegStoreCleanPath(path))
            return false;
        local = known.local;
        folded = RegStoreFold(path);
        return true;
    }
    return false;
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
    fprintf(stderr, "zembrel: %s\n", message.c_str());
    fflush(stderr);
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

// ---- Reading the file into lines -----------------------------------------------------------

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
    return doc.wide ? WideFromBytes(bytes) : Utf8ToUtf16(bytes);
}

static std::string Encode(const RegDocument &doc, const std::u16string &text)
{
    return doc.wide ? BytesFromWide(text) : Utf16ToUtf8(text);
}

// Adds the line of units [start, end), of which [textEnd, end) is its line ending.
static void AddLine(RegDocument &doc, const std::string &body, size_t unit, size_t start,
                    size_t textEnd, size_t end)
{
    RegLine line;
    line.raw = body.substr(start * unit, (end - start) * unit);
    line.endBytes = (end - textEnd) * unit;
    line.text = Decode(doc, line.raw.substr(0, line.raw.size() - line.endBytes));
    // The importer reads each line as a C string.
    line.text = line.text.substr(0, line.text.find(u'\0'));
    doc.lines.push_back(std::move(line));
}

// Lines end at CR LF, LF or a lone CR, as the importer splits them.
static void SplitLines(RegDocument &doc, const std::string &body)
{
    size_t unit = doc.wide ? 2 : 1;
    size_t count = body.size() / unit;
    auto at = [&](size_t i) -> char16_t {
        return doc.wide ? (char16_t)((uint8_t)body[2 * i] | (uint8_t)body[2 * i + 1] << 8)
                        : (char16_t)(uint8_t)body[i];
    };
    size_t start = 0;
    for (size_t i = 0; i < count; ++i) {
        char16_t c = at(i);
        if (c != u'\n' && c != u'\r')
            continue;
        size_t end = c == u'\r' && i + 1 < count && at(i + 1) == u'\n' ? i + 2 : i + 1;
        AddLine(doc, body, unit, start, i, end);
        if (doc.lines.size() == 1) // the file's own line ending, for the lines a write adds
            doc.eol = Decode(doc, body.substr(i * unit, (end - i) * unit));
        start = end;
        i = end - 1;
    }
    if (start < count)
        AddLine(doc, body, unit, start, count, count);
    // A UTF-16 file's odd last byte is no character; it is kept, and kept last, so that lines
    // added after it stay aligned.
    doc.tail = body.substr(count * unit);
}

// ---- The parser ----------------------------------------------------------------------------
//
// One function per state, all state in the parser record, so parses never share anything.

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
    RegDocument &doc;
    size_t line;            // the physical line being read
    size_t pos;             // the next character of it
    size_t first;           // the first line of the entry being read
    int section;            // the open key's entry; -1 when values have nowhere to go
    std::u16string keyText; // the key name between the brackets
    std::u16string name;    // the value name, unescaped
    DWORD type;
    std::vector<BYTE> data;
    bool open;       // the value's last line ended in a continuation
    size_t openLine; // where its backslash is
    size_t openColumn;
};

static const std::u16string &Text(const RegParser &p)
{
    return p.doc.lines[p.line].text;
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
    size_t length = std::char_traits<char16_t>::length(tag);
    if (Text(p).compare(p.pos, length, tag) != 0)
        return false;
    p.pos += length;
    return true;
}

static int HexDigit(char16_t c)
{
    int value = DigitValue(c);
    return value < 16 ? value : -1;
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

static void Note(RegParser &p, const std::string &message)
{
    p.doc.diagnostics.push_back(p.doc.path + ":" + std::to_string(p.line + 1) + ": " + message);
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
    entry.line = p.first;
    entry.count = p.line - p.first + 1;
    p.doc.entries.push_back(std::move(entry));
    ++p.line;
    p.pos = 0;
    return ParseState::LineStart;
}

// The lines regedit passes over without a word: said here, and kept as they are.
static ParseState Skip(RegParser &p, const char *why)
{
    Note(p, std::string(why) + "; skipped, and kept as it is");
    return Finish(p, NewEntry(p, RegEntryKind::Skipped));
}

static bool Unescape(RegParser &p, std::u16string &out)
{
    const std::u16string &text = Text(p);
    out.clear();
    while (p.pos < text.size()) {
        char16_t c = text[p.pos++];
        if (c == u'"')
            return true;
        if (c != u'\\') {
            out += c;
            continue;
        }
        if (p.pos >= text.size())
            return false;
        c = text[p.pos++];
        switch (c) {
        case u'n':
            out += u'\n';
            break;
        case u'r':
            out += u'\r';
            break;
        case u'0':
            return false;
        case u'\\':
        case u'"':
            out += c;
            break;
        default: {
            // regedit says so too, and takes the character as it is.
            std::string shown = Utf16ToUtf8(std::u16string(1, c));
            Note(p, "unknown escape \\" + shown + ", read as " + shown);
            out += c;
        }
        }
    }
    return false;
}

static ParseState LineStart(RegParser &p)
{
    if (p.line >= p.doc.lines.size())
        return ParseState::Done;
    p.first = p.line;
    p.pos = 0;
    SkipBlanks(p);
    switch (Peek(p)) {
    case u'\0':
    case u';':
        return Finish(p, NewEntry(p, RegEntryKind::Comment));
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

static ParseState KeyName(RegParser &p)
{
    // The name runs to the line's last bracket; anything after it is ignored, as regedit does.
    size_t close = Text(p).rfind(u']');
    if (Peek(p) == u' ' || Peek(p) == u'\t' || close == std::u16string::npos || close < p.pos)
        return Skip(p, "a key name needs its closing bracket and no blank after the opening one");
    p.keyText = Text(p).substr(p.pos, close - p.pos);
    if (!p.keyText.empty() && p.keyText[0] == u'-') {
        p.keyText.erase(0, 1);
        return ParseState::DeleteKey;
    }
    RegEntry entry = NewEntry(p, RegEntryKind::Key);
    if (!ParseKeyPath(p.keyText, entry.local, entry.key)) {
        p.section = -1;
        return Skip(p, "not a key under a known root, so its values are skipped too");
    }
    p.section = (int)p.doc.entries.size();
    entry.section = p.section;
    return Finish(p, std::move(entry));
}

static ParseState DeleteKey(RegParser &p)
{
    // Whether or not the deletion is valid, the values after it have no key.
    p.section = -1;
    RegEntry entry = NewEntry(p, RegEntryKind::DeleteKey);
    if (!ParseKeyPath(p.keyText, entry.local, entry.key) || entry.key.empty())
        return Skip(p, "not a key that can be deleted");
    return Finish(p, std::move(entry));
}

static ParseState DefaultName(RegParser &p)
{
    p.name.clear();
    return ParseState::DataStart;
}

static ParseState QuotedName(RegParser &p)
{
    if (!Unescape(p, p.name))
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
    entry.name = p.name;
    return Finish(p, std::move(entry));
}

static ParseState DataType(RegParser &p)
{
    p.data.clear();
    p.open = false;
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

static ParseState StringData(RegParser &p)
{
    std::u16string text;
    if (!Unescape(p, text))
        return Skip(p, "a string needs its closing quote and no \\0");
    SkipBlanks(p);
    if (!AtLineEnd(p))
        return Skip(p, "text after the string's closing quote");
    text += u'\0';
    std::string bytes = BytesFromWide(text);
    p.data.assign(bytes.begin(), bytes.end());
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
                p.openLine = p.line;
                p.openColumn = p.pos++;
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
    ++p.line;
    p.pos = 0;
    if (p.line >= p.doc.lines.size()) {
        --p.line; // the file ends: the value keeps the bytes it has
        p.open = true;
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
    std::string bytes = BytesFromWide(Utf8ToUtf16(std::string(data.begin(), data.end())));
    data.assign(bytes.begin(), bytes.end());
    return ParseState::SetValue;
}

static void KeepOpen(const RegParser &p, RegEntry &entry)
{
    entry.open = p.open;
    entry.openLine = p.openLine;
    entry.openColumn = p.openColumn;
}

static ParseState SetValue(RegParser &p)
{
    if (p.section < 0) {
        ParseState next = Skip(p, "a value outside any key");
        KeepOpen(p, p.doc.entries.back());
        return next;
    }
    RegEntry entry = NewEntry(p, RegEntryKind::SetValue);
    entry.name = p.name;
    entry.type = p.type;
    entry.data = std::move(p.data);
    KeepOpen(p, entry);
    p.data.clear();
    return Finish(p, std::move(entry));
}

typedef ParseState (*ParseStep)(RegParser &);

// In the order of ParseState.
static const ParseStep PARSE_STEPS[] = {
    LineStart,  KeyName,   DeleteKey, DefaultName, QuotedName,  DataStart, DeleteValue, DataType,
    StringData, DwordData, HexData,   HexLineEnd,  HexNextLine, HexDone,   SetValue,
};

void RegStoreParse(RegDocument &doc, const std::string &path, const std::string &bytes)
{
    doc = RegDocument();
    doc.path = path;
    doc.exists = true;
    if (bytes.compare(0, 2, "\xFF\xFE") == 0) {
        doc.wide = true;
        doc.bom = bytes.substr(0, 2);
    } else if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        doc.bom = bytes.substr(0, 3);
    }
    doc.eol = doc.wide ? u"\r\n" : u"\n";
    SplitLines(doc, bytes.substr(doc.bom.size()));

    const std::u16string header = doc.lines.empty() ? u"" : doc.lines[0].text;
    if (header == HEADER_5 || header == HEADER_4) {
    } else {
        doc.valid = false;
        doc.diagnostics.push_back(path + ":1: no \"Windows Registry Editor Version 5.00\" or "
                                         "\"REGEDIT4\" header, so this is no .reg file: it "
                                         "reads as empty and is never written over");
        return;
    }
    RegEntry headerEntry{};
    headerEntry.kind = RegEntryKind::Header;
    headerEntry.count = 1;
    headerEntry.section = -1;
    doc.entries.push_back(headerEntry);

    RegParser parser{doc, 1, 0, 1, -1, u"", u"", 0, {}, false, 0, 0};
    ParseState state = ParseState::LineStart;
    while (state != ParseState::Done)
        state = PARSE_STEPS[(int)state](parser);
}

// Each distinct content of the file is reported once a process, not on every call.
static std::mutex s_reportedLock;
static std::set<std::pair<std::string, size_t>> s_reported;

static void Report(const RegDocument &doc, const std::string &bytes)
{
    if (doc.diagnostics.empty())
        return;
    {
        std::lock_guard<std::mutex> guard(s_reportedLock);
        if (!s_reported.emplace(doc.path, std::hash<std::string>()(bytes)).second)
            return;
    }
    for (const std::string &line : doc.diagnostics)
        fprintf(stderr, "zembrel: %s\n", line.c_str());
    fflush(stderr);
}

struct FdCloser {
    int fd;
    ~FdCloser()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Reads a regular file whole. A FIFO, socket or device in its place is refused, not waited on
// or set going: it is looked at before it is opened, and opening never blocks.
static int ReadRegularFile(const std::string &path, int flags, std::string &bytes)
{
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
        return S_ISDIR(info.st_mode) ? EISDIR : REG_NOT_A_FILE;
    FdCloser file{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags)};
    if (file.fd < 0)
        return errno;
    if (fstat(file.fd, &info) != 0)
        return errno;
    if (!S_ISREG(info.st_mode))
        return S_ISDIR(info.st_mode) ? EISDIR : REG_NOT_A_FILE;
    char buffer[65536];
    for (;;) {
        ssize_t got = read(file.fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno;
        if (got == 0)
            return 0;
        bytes.append(buffer, (size_t)got);
    }
}

int RegStoreLoad(RegDocument &doc, const std::string &path)
{
    doc = RegDocument();
    doc.path = path;
    std::string bytes;
    int error = ReadRegularFile(path, 0, bytes);
    if (error != 0)
        return error == ENOENT ? 0 : error;
    RegStoreParse(doc, path, bytes);
    Report(doc, bytes);
    return 0;
}

RegTree RegStoreEvaluate(const RegDocument &doc)
{
    RegTree tree;
    tree[u""];
    for (const RegEntry &entry : doc.entries) {
        const RegEntry *section = entry.section >= 0 ? &doc.entries[entry.section] : NULL;
        switch (entry.kind) {
        case RegEntryKind::Key:
            // A key brings its ancestors into being, as the importer's RegCreateKeyEx does.
            if (!entry.local)
                break;
            for (size_t slash = entry.key.find(u'\\'); slash != std::u16string::npos;
                 slash = entry.key.find(u'\\', slash + 1))
                tree[entry.key.substr(0, slash)];
            tree[entry.key];
            break;
        case RegEntryKind::DeleteKey:
            for (auto it = tree.begin(); it != tree.end();)
                it = entry.local && IsSelfOrAncestor(entry.key, it->first) ? tree.erase(it)
                                                                           : std::next(it);
            break;
        case RegEntryKind::SetValue:
            if (section->local)
                tree[section->key][RegStoreFold(entry.name)] = RegValue{entry.type, entry.data};
            break;
        case RegEntryKind::DeleteValue:
            if (section->local)
                tree[section->key].erase(RegStoreFold(entry.name));
            break;
        default:
            break;
        }
    }
    return tree;
}

std::string RegStoreSerialize(const RegDocument &doc)
{
    std::string out = doc.bom;
    for (const RegLine &line : doc.lines)
        out += line.raw;
    return out + doc.tail;
}

// ---- Edits ---------------------------------------------------------------------------------

static RegLine MakeLine(const RegDocument &doc, const std::u16string &text, bool ended)
{
    RegLine line;
    line.text = text;
    line.raw = Encode(doc, text);
    std::string ending = ended ? Encode(doc, doc.eol) : std::string();
    line.raw += ending;
    line.endBytes = ending.size();
    return line;
}

static void EndLine(const RegDocument &doc, RegLine &line)
{
    if (line.endBytes != 0)
        return;
    std::string ending = Encode(doc, doc.eol);
    line.raw += ending;
    line.endBytes = ending.size();
}

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
    return doc.wide || SurvivesUtf8(text);
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
        if (size % 2 != 0 || !SurvivesUtf8(wide))
            return ERROR_INVALID_DATA;
        std::string narrow = Utf16ToUtf8(wide);
        bytes.assign(narrow.begin(), narrow.end());
    }
    snprintf(number, sizeof(number), "%x", (unsigned)type);
    WrapHex(head + (type == REG_BINARY ? u"hex:" : u"hex(" + Ascii(number) + u"):"), bytes, out);
    return ERROR_SUCCESS;
}

// A value line, setting or deleting, of the named value in the key's sections.
static bool IsValueOf(const RegDocument &doc, const RegEntry &entry, const std::u16string &key,
                      const std::u16string &name)
{
    return (entry.kind == RegEntryKind::SetValue || entry.kind == RegEntryKind::DeleteValue) &&
           doc.entries[entry.section].local && doc.entries[entry.section].key == key &&
           RegStoreFold(entry.name) == name;
}

// The importer forgets a key's past at its last deletion, or at an ancestor's.
static int LastKeyDeletion(const RegDocument &doc, const std::u16string &key)
{
    int last = -1;
    for (size_t i = 0; i < doc.entries.size(); ++i) {
        const RegEntry &entry = doc.entries[i];
        if (entry.kind == RegEntryKind::DeleteKey && entry.local &&
            IsSelfOrAncestor(entry.key, key))
            last = (int)i;
    }
    return last;
}

// Where the line's character at `column` starts in its stored bytes. Every character before a
// backslash decodes from bytes of its own (an invalid UTF-8 byte is never an ASCII one), so
// counting backslashes finds it in an 8-bit line.
static size_t RawOffset(const RegDocument &doc, const RegLine &line, size_t column)
{
    if (doc.wide)
        return column * 2;
    size_t before = std::count(line.text.begin(), line.text.begin() + column, u'\\');
    size_t at = line.raw.find('\\');
    for (; before > 0; --before)
        at = line.raw.find('\\', at + 1);
    return at;
}

// The importer would read a line added after a value the file ends in the middle of as its
// continuation, and skip both; the value's dangling backslash goes first. Its bytes stay.
static void CloseContinuationBefore(RegDocument &doc, size_t at)
{
    if (doc.entries.empty())
        return;
    RegEntry &entry = doc.entries.back();
    if (!entry.open || at <= entry.openLine)
        return;
    RegLine &line = doc.lines[entry.openLine];
    line.raw.erase(RawOffset(doc, line, entry.openColumn), doc.wide ? 2 : 1);
    line.text.erase(entry.openColumn, 1);
    entry.open = false;
}

static void InsertLines(RegDocument &doc, size_t at, const std::vector<std::u16string> &text)
{
    CloseContinuationBefore(doc, at);
    if (at > 0)
        EndLine(doc, doc.lines[at - 1]);
    std::vector<RegLine> lines;
    for (const std::u16string &line : text)
        lines.push_back(MakeLine(doc, line, true));
    doc.lines.insert(doc.lines.begin() + at, lines.begin(), lines.end());
}

// A blank or comment line, as may come between a continued value's lines.
static bool IsCommentLine(const std::u16string &text)
{
    size_t first = text.find_first_not_of(u" \t");
    return first == std::u16string::npos || text[first] == u';';
}

static std::string Ending(const RegLine &line)
{
    return line.raw.substr(line.raw.size() - line.endBytes);
}

// Puts the entry's new text in place of its lines. The comments and blank lines between a
// continued value's lines stay, after the new text; the last line ends as the entry's last
// line did, so a file without a final line ending keeps it so. No text deletes the value.
static void ReplaceEntry(RegDocument &doc, const RegEntry &entry,
                         const std::vector<std::u16string> &text)
{
    std::vector<RegLine> lines;
    for (const std::u16string &line : text)
        lines.push_back(MakeLine(doc, line, true));
    for (size_t i = entry.line + 1; i < entry.line + entry.count; ++i)
        if (IsCommentLine(doc.lines[i].text))
            lines.push_back(doc.lines[i]);
    if (!lines.empty()) {
        RegLine &last = lines.back();
        last.raw.resize(last.raw.size() - last.endBytes);
        last.raw += Ending(doc.lines[entry.line + entry.count - 1]);
        last.endBytes = Ending(doc.lines[entry.line + entry.count - 1]).size();
    }
    auto begin = doc.lines.begin() + entry.line;
    doc.lines.erase(begin, begin + entry.count);
    doc.lines.insert(doc.lines.begin() + entry.line, lines.begin(), lines.end());
}

// After the section's last key, value or skipped line: its trailing blanks and comments more
// likely belong to what follows.
static void InsertIntoSection(RegDocument &doc, int section,
                              const std::vector<std::u16string> &text)
{
    size_t last = (size_t)section;
    for (size_t i = last + 1; i < doc.entries.size(); ++i)
        if (doc.entries[i].section == section && doc.entries[i].kind != RegEntryKind::Comment)
            last = i;
    InsertLines(doc, doc.entries[last].line + doc.entries[last].count, text);
}

static void AppendSection(RegDocument &doc, const std::u16string &key,
                          const std::vector<std::u16string> &text)
{
    CloseContinuationBefore(doc, doc.lines.size());
    if (doc.lines.empty())
        doc.lines.push_back(MakeLine(doc, HEADER_5, true));
    EndLine(doc, doc.lines.back());
    if (doc.lines.back().text.find_first_not_of(u" \t") != std::u16string::npos)
        doc.lines.push_back(MakeLine(doc, u"", true));
    std::u16string name = u"HKEY_LOCAL_MACHINE";
    if (!key.empty())
        name += u"\\" + key;
    doc.lines.push_back(MakeLine(doc, u"[" + name + u"]", true));
    for (const std::u16string &line : text)
        doc.lines.push_back(MakeLine(doc, line, true));
}

bool RegStoreCreateKey(RegDocument &doc, const std::u16string &key)
{
    if (RegStoreEvaluate(doc).count(RegStoreFold(key)) != 0)
        return false;
    AppendSection(doc, key, {});
    doc.modified = true;
    doc.change = RegChange{RegChangeKind::CreateKey, RegStoreFold(key), u""};
    return true;
}

LONG RegStoreSetValue(RegDocument &doc, const std::u16string &key, const std::u16string &name,
                      DWORD type, const BYTE *data, DWORD size)
{
    std::u16string foldedKey = RegStoreFold(key);
    std::u16string foldedName = RegStoreFold(name);
    int section = -1;
    int target = -1;
    for (size_t i = LastKeyDeletion(doc, foldedKey) + 1; i < doc.entries.size(); ++i) {
        const RegEntry &entry = doc.entries[i];
        if (entry.kind == RegEntryKind::Key && entry.local && entry.key == foldedKey)
            section = (int)i;
        if (IsValueOf(doc, entry, foldedKey, foldedName))
            target = (int)i;
    }
    // A value keeps the spelling of its name, as Win32 keeps a value's name when it is set.
    std::vector<std::u16string> text;
    LONG result =
        FormatValue(doc, target >= 0 ? doc.entries[target].name : name, type, data, size, text);
    if (result != ERROR_SUCCESS)
        return result;
    if (target >= 0)
        ReplaceEntry(doc, doc.entries[target], text);
    else if (section >= 0)
        InsertIntoSection(doc, section, text);
    else
        AppendSection(doc, key, text);
    doc.modified = true;
    doc.change = RegChange{RegChangeKind::SetValue, foldedKey, foldedName};
    return ERROR_SUCCESS;
}

LONG RegStoreDeleteValue(RegDocument &doc, const std::u16string &key, const std::u16string &name)
{
    std::u16string foldedKey = RegStoreFold(key);
    std::u16string foldedName = RegStoreFold(name);
    RegTree tree = RegStoreEvaluate(doc);
    auto values = tree.find(foldedKey);
    if (values == tree.end() || values->second.count(foldedName) == 0)
        return ERROR_FILE_NOT_FOUND;

    // Every setting since the value was last forgotten goes, latest first so indices hold.
    int since = LastKeyDeletion(doc, foldedKey);
    std::vector<size_t> settings;
    for (size_t i = since + 1; i < doc.entries.size(); ++i) {
        const RegEntry &entry = doc.entries[i];
        if (!IsValueOf(doc, entry, foldedKey, foldedName))
            continue;
        if (entry.kind == RegEntryKind::DeleteValue)
            settings.clear();
        else if (entry.kind == RegEntryKind::SetValue)
            settings.push_back(i);
    }
    for (auto it = settings.rbegin(); it != settings.rend(); ++it)
        ReplaceEntry(doc, doc.entries[*it], {});
    doc.modified = true;
    doc.change = RegChange{RegChangeKind::DeleteValue, foldedKey, foldedName};
    return ERROR_SUCCESS;
}

// ---- The check before a write ----------------------------------------------------------------

// What an entry means to the importer, with its place in the file left out: where it belongs
// (a key path, or a foreign root's section line), the value's folded name and data, and for a
// skipped entry its text.
struct RegMeaning {
    RegEntryKind kind;
    bool local;
    std::u16string where;
    std::u16string name;
    DWORD type;
    std::vector<BYTE> data;
    bool operator==(const RegMeaning &other) const
    {
        return kind == other.kind && local == other.local && where == other.where &&
               name == other.name && type == other.type && data == other.data;
    }
};

static std::u16string Where(const RegDocument &doc, const RegEntry &key)
{
    return key.local ? key.key : doc.lines[key.line].text;
}

// Every entry but comments and what the change is about.
static std::vector<RegMeaning> Meanings(const RegDocument &doc, const RegChange &change)
{
    std::vector<RegMeaning> out;
    for (const RegEntry &entry : doc.entries) {
        RegMeaning meaning{entry.kind, false, u"", u"", 0, {}};
        switch (entry.kind) {
        case RegEntryKind::Header:
        case RegEntryKind::Comment:
            continue;
        case RegEntryKind::Key:
            // Setting a value in a key without a section of its own appends one.
            if (entry.local && entry.key == change.key &&
                (change.kind == RegChangeKind::CreateKey || change.kind == RegChangeKind::SetValue))
                continue;
            // fall through
        case RegEntryKind::DeleteKey:
            meaning.local = entry.local;
            meaning.where = Where(doc, entry);
            break;
        case RegEntryKind::SetValue:
        case RegEntryKind::DeleteValue: {
            const RegEntry &section = doc.entries[entry.section];
            meaning.local = section.local;
            meaning.where = Where(doc, section);
            meaning.name = RegStoreFold(entry.name);
            if (meaning.local && meaning.where == change.key && meaning.name == change.name &&
                (change.kind == RegChangeKind::SetValue ||
                 change.kind == RegChangeKind::DeleteValue))
                continue;
            meaning.type = entry.type;
            meaning.data = entry.data;
            break;
        }
        case RegEntryKind::Skipped:
            // Its lines as they read, but for comments among them and a dangling backslash,
            // which a line added after it takes away.
            for (size_t i = entry.line; i < entry.line + entry.count; ++i) {
                std::u16string text = doc.lines[i].text;
                if (i > entry.line && IsCommentLine(text))
                    continue;
                if (entry.open && i == entry.openLine)
                    text.erase(entry.openColumn, 1);
                meaning.where += text + u"\n";
            }
            break;
        }
        out.push_back(std::move(meaning));
    }
    return out;
}

bool RegStoreChangedOnly(const RegDocument &before, const RegDocument &after,
                         const RegChange &change)
{
    if (!after.valid || after.wide != before.wide || after.bom != before.bom ||
        after.tail != before.tail || Meanings(before, change) != Meanings(after, change))
        return false;
    if (change.kind == RegChangeKind::None)
        return true;
    RegTree tree = RegStoreEvaluate(after);
    auto values = tree.find(change.key);
    bool has = values != tree.end() && values->second.count(change.name) != 0;
    switch (change.kind) {
    case RegChangeKind::CreateKey:
        return values != tree.end();
    case RegChangeKind::SetValue:
        return has;
    default:
        return !has;
    }
}

// ---- The locked, atomic write --------------------------------------------------------------

static std::atomic<int> s_failAt{(int)RegWriteStage::None};

void RegStoreFailNextWrite(RegWriteStage stage)
{
    s_failAt = (int)stage;
}

// True, once, when the tests asked this stage to fail; errno then says what a disk would.
static bool Injected(RegWriteStage stage)
{
    int armed = (int)stage;
    if (!s_failAt.compare_exchange_strong(armed, (int)RegWriteStage::None))
        return false;
    errno = EIO;
    return true;
}

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

static const char CANNOT_CHOWN[] = "cannot give the temporary file the registry's owner";

// A complete, flushed copy of the bytes in a new file beside the target, under a name no one
// else uses. `like` gives the file the owner, group and mode of the one it replaces; without
// it the file gets `mode` as any new file does. Returns NULL, or what failed with errno set;
// `temp` names the file left to remove.
static const char *WriteTemp(const std::string &target, const std::string &bytes,
                             const struct stat *like, mode_t mode, std::string &temp)
{
    FdCloser file{-1};
    for (int attempt = 0; file.fd < 0 && attempt < 100; ++attempt) {
        temp = target + ".tmp." + std::to_string(getpid()) + "." + std::to_string(attempt);
        if (Injected(RegWriteStage::OpenTemp))
            break;
        file.fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (file.fd < 0 && errno != EEXIST)
            break;
    }
    struct stat own;
    if (file.fd < 0) {
        temp.clear();
        return "cannot create the temporary file";
    }
    if (like != NULL &&
        (fstat(file.fd, &own) != 0 || ((own.st_uid != like->st_uid || own.st_gid != like->st_gid) &&
                                       fchown(file.fd, like->st_uid, like->st_gid) != 0)))
        return CANNOT_CHOWN;
    if (like != NULL && fchmod(file.fd, like->st_mode & 07777) != 0)
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
    if (Injected(RegWriteStage::InPlace)) {
        // Cut short halfway, as a writer killed there would be.
        WriteAll(file.fd, bytes.substr(0, bytes.size() / 2));
        errno = EIO;
        return false;
    }
    return WriteAll(file.fd, bytes) && ftruncate(file.fd, (off_t)bytes.size()) == 0 &&
           fsync(file.fd) == 0;
}

// The journal of a rewrite in place holds the new text and the old.
static std::string Journal(const std::string &target)
{
    return target + ".journal";
}

static bool ReadJournal(const std::string &journal, std::string &newBytes, std::string &oldBytes)
{
    size_t end = journal.find('\n');
    unsigned long long newSize = 0;
    unsigned long long oldSize = 0;
    char tail = 0;
    if (end == std::string::npos ||
        sscanf(journal.substr(0, end).c_str(), "zembrel journal %llu %llu%c", &newSize, &oldSize,
               &tail) != 2 ||
        journal.size() - end - 1 != newSize + oldSize)
        return false;
    newBytes = journal.substr(end + 1, newSize);
    oldBytes = journal.substr(end + 1 + newSize);
    return true;
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

// Used where a rename would lose something: a file with other hard links keeps being theirs
// only if its own content changes, and only root can give a replacement to another account.
// The journal, in place before the first byte changes, lets the next writer finish a rewrite
// whose writer was killed. Readers, who take no lock, may see a part-written file meanwhile.
static LONG RewriteInPlace(const std::string &target, const std::string &oldBytes,
                           const std::string &bytes)
{
    std::string temp;
    std::string journal = Journal(target);
    const char *failed = WriteTemp(target,
                                   "zembrel journal " + std::to_string(bytes.size()) + " " +
                                       std::to_string(oldBytes.size()) + "\n" + bytes + oldBytes,
                                   NULL, 0600, temp);
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
// file still holds what that writer left, it gets the new text; if it has changed since,
// the journal is dropped.
static void FinishRewrite(const std::string &target)
{
    std::string journal;
    int error = ReadRegularFile(Journal(target), O_NOFOLLOW, journal);
    if (error == ENOENT)
        return;
    std::string newBytes;
    std::string oldBytes;
    std::string file;
    if (error != 0 || !ReadJournal(journal, newBytes, oldBytes) ||
        ReadRegularFile(target, 0, file) != 0 || !IsMixOf(file, newBytes, oldBytes)) {
        RegStoreSay(Journal(target) + ": left by a rewrite that did not finish, but it no " +
                    "longer fits the registry; removed");
    } else if (!CopyInto(target, newBytes)) {
        RegStoreSay(target + ": cannot finish an interrupted rewrite (" + strerror(errno) + ")");
        return;
    }
    unlink(Journal(target).c_str());
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
// group and mode.
static LONG WriteRegistry(const std::string &target, const std::string &oldBytes,
                          const std::string &bytes)
{
    struct stat info;
    bool existed = stat(target.c_str(), &info) == 0;
    if (existed && info.st_nlink > 1)
        return RewriteInPlace(target, oldBytes, bytes);
    std::string temp;
    const char *failed = WriteTemp(target, bytes, existed ? &info : NULL, 0666, temp);
    if (failed == NULL &&
        (Injected(RegWriteStage::Rename) || rename(temp.c_str(), target.c_str()) != 0))
        failed = "cannot rename the temporary file over the registry";
    if (failed != NULL) {
        int error = errno;
        if (!temp.empty())
            unlink(temp.c_str());
        if (failed == CANNOT_CHOWN && error == EPERM)
            return RewriteInPlace(target, oldBytes, bytes);
        return Refuse(target, failed, error);
    }
    // The rename is durable only once the folder is; if that fails the change may not last.
    if (!FlushFolder(target)) {
        RegStoreSay(target + ": written, but the folder cannot be flushed (" + strerror(errno) +
                    ")");
        return ERROR_WRITE_FAULT;
    }
    return ERROR_SUCCESS;
}

// Who may write the registry may open its lock, and no one else, since whoever can open a
// lock can hold it: the lock has the registry's owner and group, and read and write for the
// group only where the group may write the registry. Where there is no registry yet, the
// folder's owner and group stand for its own. Only root or the lock's owner changes it.
static void FitLock(int fd, const std::string &target)
{
    struct stat lock;
    struct stat owner;
    if (fstat(fd, &lock) != 0 || (lock.st_uid != geteuid() && geteuid() != 0))
        return;
    bool registry = stat(target.c_str(), &owner) == 0;
    if (!registry && stat(FolderOf(target).c_str(), &owner) != 0)
        return;
    uid_t uid = geteuid() == 0 ? owner.st_uid : lock.st_uid;
    if ((lock.st_uid != uid || lock.st_gid != owner.st_gid) && fchown(fd, uid, owner.st_gid) == 0) {
        lock.st_uid = uid;
        lock.st_gid = owner.st_gid;
    }
    bool group = registry && (owner.st_mode & S_IWGRP) != 0 && lock.st_gid == owner.st_gid;
    mode_t mode = group ? 0660 : 0600;
    if ((lock.st_mode & 07777) != mode)
        fchmod(fd, mode);
}

// The lock file lives beside the registry and is never renamed or deleted, so every writer
// locks the same inode whichever version of the registry it reads. It is never a link, which
// would have a root run create or lock a file wherever the link points, and it must be a
// regular file.
static int OpenLock(const std::string &target)
{
    std::string lock = target + ".lock";
    const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = open(lock.c_str(), flags | O_CREAT | O_EXCL, 0600);
    if (fd < 0 && errno == EEXIST)
        fd = open(lock.c_str(), flags);
    if (fd < 0) {
        RegStoreSay(lock + ": the writers' lock cannot be opened (" +
                    (errno == ELOOP ? "a symbolic link, never followed" : strerror(errno)) +
                    "), so nothing is written");
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        RegStoreSay(lock + ": the writers' lock is not a regular file, so nothing is written");
        return -1;
    }
    FitLock(fd, target);
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
    LONG result = edit(edited);
    if (result != ERROR_SUCCESS || !edited.modified)
        return result;
    bytes = RegStoreSerialize(edited);
    if (bytes == RegStoreSerialize(doc)) {
        bytes.clear();
        return ERROR_SUCCESS;
    }
    // The last word on every edit: a fault in one must never cost another value.
    RegDocument after;
    RegStoreParse(after, doc.path, bytes);
    if (!RegStoreChangedOnly(doc, after, edited.change)) {
        bytes.clear();
        RegStoreSay(doc.path + ": the edit would change more than the value it writes, so " +
                    "nothing is written");
        return ERROR_REGISTRY_CORRUPT;
    }
    return ERROR_SUCCESS;
}

LONG RegStoreUpdate(const std::string &path, const std::function<LONG(RegDocument &)> &edit)
{
    // A rename needs only the folder: the file's own permission is honoured here.
    std::string target;
    if (!RegStoreCanWrite(path) || ResolveTarget(path, target) != 0) {
        RegStoreSayReadOnly(path);
        return ERROR_ACCESS_DENIED;
    }
    FdCloser lock{OpenLock(target)};
    if (lock.fd < 0)
        return ERROR_ACCESS_DENIED;
    if (!WaitForLock(lock.fd)) {
        RegStoreSay(target + ".lock: another process has held the writers' lock for " +
                    std::to_string(REG_LOCK_WAIT_SECONDS) + " seconds, so nothing is written");
        return ERROR_WRITE_FAULT;
    }
    FinishRewrite(target);
    RemoveLeftovers(target);

    RegDocument doc;
    int error = RegStoreLoad(doc, target);
    if (error != 0) {
        RegStoreSayUnreadable(path, error);
        return ERROR_ACCESS_DENIED;
    }
    if (!doc.valid) {
        RegStoreSay(path + ": not a .reg file, so it is not written over");
        return ERROR_REGISTRY_CORRUPT;
    }
    std::string bytes;
    LONG result = RegStoreEdit(doc, edit, bytes);
    if (result != ERROR_SUCCESS || bytes.empty())
        return result;
    return WriteRegistry(target, RegStoreSerialize(doc), bytes);
}
