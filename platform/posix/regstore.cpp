// The .reg file store: parsing as regedit imports, line-preserving edits, and the safe write.
#include "regstore.h"
#include "runtime.h"

#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <atomic>
#include <mutex>
#include <set>

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

bool RegStoreCanRead(const std::string &path)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return errno == ENOENT;
    return Permits(path, R_OK, 0444);
}

bool RegStoreCanWrite(const std::string &path)
{
    if (!Permits(FolderOf(path), W_OK | X_OK, 0222))
        return false;
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return errno == ENOENT;
    return Permits(path, W_OK, 0222);
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
    // A UTF-16 file's odd last byte is no character, but it is kept like any other byte.
    std::string tail = body.substr(count * unit);
    if (start < count || !tail.empty()) {
        AddLine(doc, body, unit, start, count, count);
        doc.lines.back().raw += tail;
    }
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
                ++p.pos;
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

static ParseState SetValue(RegParser &p)
{
    if (p.section < 0)
        return Skip(p, "a value outside any key");
    RegEntry entry = NewEntry(p, RegEntryKind::SetValue);
    entry.name = p.name;
    entry.type = p.type;
    entry.data = std::move(p.data);
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

    RegParser parser{doc, 1, 0, 1, -1, u"", u"", 0, {}};
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
        fprintf(stderr, "%s\n", line.c_str());
    fflush(stderr);
}

int RegStoreLoad(RegDocument &doc, const std::string &path)
{
    doc = RegDocument();
    doc.path = path;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? 0 : errno;
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            int error = errno;
            close(fd);
            return error;
        }
        if (got == 0)
            break;
        bytes.append(buffer, (size_t)got);
    }
    close(fd);
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
    return out;
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

static void InsertLines(RegDocument &doc, size_t at, const std::vector<std::u16string> &text)
{
    if (at > 0)
        EndLine(doc, doc.lines[at - 1]);
    std::vector<RegLine> lines;
    for (const std::u16string &line : text)
        lines.push_back(MakeLine(doc, line, true));
    doc.lines.insert(doc.lines.begin() + at, lines.begin(), lines.end());
}

// The new lines end as the old ones did, so a file without a final line ending keeps it so.
static void ReplaceEntry(RegDocument &doc, const RegEntry &entry,
                         const std::vector<std::u16string> &text)
{
    const RegLine &old = doc.lines[entry.line + entry.count - 1];
    std::string ending = old.raw.substr(old.raw.size() - old.endBytes);
    std::vector<RegLine> lines;
    for (size_t i = 0; i < text.size(); ++i)
        lines.push_back(MakeLine(doc, text[i], i + 1 < text.size()));
    lines.back().raw += ending;
    lines.back().endBytes = ending.size();
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
    for (auto it = settings.rbegin(); it != settings.rend(); ++it) {
        auto begin = doc.lines.begin() + doc.entries[*it].line;
        doc.lines.erase(begin, begin + doc.entries[*it].count);
    }
    doc.modified = true;
    return ERROR_SUCCESS;
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

struct FdCloser {
    int fd;
    ~FdCloser()
    {
        if (fd >= 0)
            close(fd);
    }
};

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

static LONG ReplaceFile(const std::string &path, const std::string &bytes)
{
    struct stat info;
    bool existed = stat(path.c_str(), &info) == 0;
    // A temporary name no one else uses: a writer that crashed may have left its file.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(attempt);
        if (Injected(RegWriteStage::OpenTemp))
            break;
        // A new file gets the mode any new file gets; a replacement keeps the original's.
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, existed ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    const char *failed = NULL;
    if (fd < 0)
        failed = "cannot create the temporary file";
    else if (existed && fchmod(fd, info.st_mode & 07777) != 0)
        failed = "cannot give the temporary file the registry's mode";
    else if (!WriteAll(fd, bytes))
        failed = "cannot write the temporary file";
    else if (Injected(RegWriteStage::Fsync) || fsync(fd) != 0)
        failed = "cannot flush the temporary file";
    if (failed == NULL) {
        int closing = close(fd);
        fd = -1;
        if (closing != 0)
            failed = "cannot close the temporary file";
        else if (Injected(RegWriteStage::Rename) || rename(temp.c_str(), path.c_str()) != 0)
            failed = "cannot rename the temporary file over the registry";
    }
    if (failed != NULL) {
        int error = errno;
        if (fd >= 0)
            close(fd);
        unlink(temp.c_str());
        fprintf(stderr, "%s: %s (%s); the registry is unchanged\n", path.c_str(), failed,
                strerror(error));
        return ErrorFromErrno(error);
    }

    // The rename is durable only once the folder is; if that fails the change may not last.
    int folder = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool synced = folder >= 0 && !Injected(RegWriteStage::DirFsync) && fsync(folder) == 0;
    int error = errno;
    if (folder >= 0)
        close(folder);
    if (!synced) {
        fprintf(stderr, "%s: written, but the folder cannot be flushed (%s)\n", path.c_str(),
                strerror(error));
        return ERROR_WRITE_FAULT;
    }
    return ERROR_SUCCESS;
}

// The lock file lives beside the registry and is never renamed or deleted, so every writer
// locks the same inode whichever version of the registry it reads.
static int OpenLock(const std::string &path)
{
    std::string lockPath = path + ".lock";
    int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EACCES)
        fd = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    return fd;
}

LONG RegStoreUpdate(const std::string &path, const std::function<LONG(RegDocument &)> &edit)
{
    // A rename needs only the folder: the file's own permission is honoured here.
    if (!RegStoreCanWrite(path)) {
        fprintf(stderr, "%s: read-only, so nothing is written to it\n", path.c_str());
        fflush(stderr);
        return ERROR_ACCESS_DENIED;
    }
    FdCloser lock{OpenLock(path)};
    if (lock.fd < 0)
        return ErrorFromErrno(errno);
    int locked;
    do
        locked = flock(lock.fd, LOCK_EX);
    while (locked != 0 && errno == EINTR);
    if (locked != 0)
        return ErrorFromErrno(errno);

    RegDocument doc;
    int error = RegStoreLoad(doc, path);
    if (error != 0)
        return ErrorFromErrno(error);
    if (!doc.valid) {
        fprintf(stderr, "%s: not a .reg file, so it is not written over\n", path.c_str());
        return ERROR_REGISTRY_CORRUPT;
    }
    LONG result = edit(doc);
    if (result != ERROR_SUCCESS || !doc.modified)
        return result;
    return ReplaceFile(path, RegStoreSerialize(doc));
}
