// The .reg parser: one function per state of regedit's importer, all state in the parser
// record, reading the file a line at a time into entries that keep their byte offsets.
#include "internal.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

//
// One function per state, all state in the parser record, so parses never share anything. The
// parser walks the file's bytes a line at a time and keeps only what each line means.

static void Note(RegParser &p, const std::string &message);

// Loads the line at p.next. Lines end at CR LF, LF or a lone CR, as the importer splits them,
// and the importer reads each line as a C string.
bool NextLine(RegParser &p)
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

std::u16string_view Text(const RegParser &p)
{
    return p.text;
}

static char16_t Peek(const RegParser &p, size_t ahead = 0)
{
    return p.pos + ahead < Text(p).size() ? Text(p)[p.pos + ahead] : u'\0';
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

// A number as regedit reads one with the C runtime's wcstoul in base 16: blanks, a sign, "0x"
// where prefixed is true, then any number of hex digits; a minus sign negates it modulo 2^32.
// No digits read nothing (the position stays, and the number is 0 where a sign or blanks were
// taken). False when it is over the limit or over 32 bits.
static bool ReadNumber(RegParser &p, bool prefixed, DWORD limit, DWORD &value)
{
    size_t start = p.pos;
    SkipBlanks(p);
    bool negative = Peek(p) == u'-';
    if (negative || Peek(p) == u'+')
        ++p.pos;
    if (prefixed && Peek(p) == u'0' && (Peek(p, 1) == u'x' || Peek(p, 1) == u'X') &&
        HexDigit(Peek(p, 2)) >= 0)
        p.pos += 2;
    uint64_t number = 0;
    size_t digits = 0;
    for (; HexDigit(Peek(p)) >= 0; ++p.pos, ++digits)
        number = std::min<uint64_t>(number << 4 | (uint64_t)HexDigit(Peek(p)), 1ull << 32);
    if (digits == 0) {
        p.pos = start;
        value = 0;
        return true;
    }
    if (number > 0xFFFFFFFFull)
        return false;
    value = negative ? (DWORD)(0u - (DWORD)number) : (DWORD)number;
    return value <= limit;
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

static RegEntry NewEntry(RegEntryKind kind)
{
    RegEntry entry{};
    entry.kind = kind;
    return entry;
}

static ParseState Finish(RegParser &p, RegEntry entry)
{
    entry.begin = (uint32_t)p.first;
    p.out.entries.push_back(entry);
    return p.once ? ParseState::Done : ParseState::LineStart;
}

// The lines regedit passes over without a word: said here, and kept as they are. A key line
// that closed the open section is a SkippedKey, so that walking the entries finds it closed.
static ParseState Skip(RegParser &p, const char *why, RegEntryKind kind = RegEntryKind::Skipped)
{
    Note(p, std::string(why) + "; skipped, and kept as it is");
    return Finish(p, NewEntry(kind));
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

// The bytes that end a run of plain text: a quote, an escape, a line's end, a zero, and every
// byte beyond ASCII.
struct StopBytes {
    bool at[256];
};

static constexpr StopBytes MakeStopBytes()
{
    StopBytes stops{};
    for (int c = 0x80; c < 256; ++c)
        stops.at[c] = true;
    for (int c : {(int)'"', (int)'\\', (int)'\n', (int)'\r', 0})
        stops.at[c] = true;
    return stops;
}

static constexpr StopBytes STOP_BYTES = MakeStopBytes();

// The commonest line of all, "name"="text" in plain ASCII with no escape, read straight from
// the bytes in one pass into the entry the states below would make of it; any other line,
// and a line read again, is left to them.
static bool QuickStringValue(RegParser &p)
{
    if (p.doc.wide || p.once || p.section < 0 || p.next >= p.limit)
        return false;
    // An 8-bit text runs to the string's end (its limit), where std::string keeps a zero, which
    // stops a run: the runs need no bound of their own, and a quote found is before the end.
    const uint8_t *bytes = (const uint8_t *)p.doc.bytes.data();
    size_t i = p.next;
    const size_t limit = p.limit;
    if (bytes[i] != '"')
        return false;
    uint32_t hash = NAME_HASH_START;
    for (++i; !STOP_BYTES.at[bytes[i]]; ++i)
        hash = HashAscii(hash, bytes[i]);
    if (bytes[i] != '"' || bytes[i + 1] != '=' || bytes[i + 2] != '"')
        return false;
    for (i += 3; !STOP_BYTES.at[bytes[i]]; ++i) {
    }
    if (bytes[i] != '"')
        return false;
    size_t textEnd = i + 1;
    size_t end = textEnd;
    if (textEnd < limit && bytes[textEnd] == '\n')
        end = textEnd + 1;
    else if (textEnd < limit && bytes[textEnd] == '\r')
        end = textEnd + 1 < limit && bytes[textEnd + 1] == '\n' ? textEnd + 2 : textEnd + 1;
    else if (textEnd < limit)
        return false;
    p.first = p.lineBegin = p.next;
    p.lineEnd = textEnd;
    p.next = end;
    ++p.line;
    p.nameHash = hash;
    RegEntry entry = NewEntry(RegEntryKind::SetValue);
    entry.id = hash;
    Finish(p, entry);
    return true;
}

static ParseState LineStart(RegParser &p)
{
    if (QuickStringValue(p))
        return ParseState::LineStart;
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

// A key's index must fit its entry: more keys than that, in a file of 4 GiB at most, are junk
// that no registry holds.
static uint32_t AddKey(RegParser &p, const std::u16string &folded)
{
    if (p.out.keyStarts.size() > REG_ENTRY_ID_MASK) {
        p.tooManyKeys = true;
        return 0;
    }
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
        return "its first key name is empty (a backslash after the root's), which no registry "
               "holds";
    default:
        return "not a key under a known root";
    }
}

// Wine's regedit reads them as one; the registry of Windows holds no empty key name, and its
// own regedit may refuse the key.
static void NoteDoubledBackslash(RegParser &p)
{
    Note(p, "backslashes that follow one another in a key name, read as one as Wine's regedit "
            "reads them (Windows' regedit may refuse the key)");
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
    RegEntry entry = NewEntry(RegEntryKind::Key);
    p.section = -1;
    bool local = false;
    bool doubled = false;
    KeyPathError error = ParseKeyPath(p.keyText, local, p.folded, &doubled);
    entry.local = local;
    if (doubled)
        NoteDoubledBackslash(p);
    if (error != KeyPathError::None)
        return Skip(p, (KeyPathProblem(error) + ", so its values are skipped too").c_str(),
                    RegEntryKind::SkippedKey);
    if (!WithinKeyLimits(p.folded))
        return Skip(p,
                    "deeper than 512 levels or a name over 255 characters, which no registry "
                    "holds, so its values are skipped too",
                    RegEntryKind::SkippedKey);
    p.section = (int)p.out.entries.size();
    entry.id = AddKey(p, p.folded);
    return Finish(p, entry);
}

static ParseState DeleteKey(RegParser &p)
{
    // Whether or not the deletion is valid, the values after it have no key.
    p.section = -1;
    RegEntry entry = NewEntry(RegEntryKind::DeleteKey);
    bool local = false;
    bool doubled = false;
    KeyPathError error = ParseKeyPath(p.keyText, local, p.folded, &doubled);
    entry.local = local;
    if (doubled)
        NoteDoubledBackslash(p);
    // regedit ends its whole import at a deletion of a root or of a key under no root it knows;
    // the device's registry is no import script, and what follows is read all the same.
    if (error == KeyPathError::UnknownRoot || error == KeyPathError::ShortRoot ||
        (error == KeyPathError::None && p.folded.empty()))
        return Skip(p,
                    ((error == KeyPathError::None ? std::string("a root, which no one can "
                                                                "delete")
                                                  : KeyPathProblem(error)) +
                     "; regedit stops its import here, this registry reads on")
                        .c_str(),
                    RegEntryKind::SkippedKey);
    if (error != KeyPathError::None)
        return Skip(p, (KeyPathProblem(error) + ", so there is nothing to delete").c_str(),
                    RegEntryKind::SkippedKey);
    if (!WithinKeyLimits(p.folded))
        return Skip(p, "not a key that can be deleted", RegEntryKind::SkippedKey);
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
    RegEntry entry = NewEntry(RegEntryKind::DeleteValue);
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
        if (!ReadNumber(p, false, 0xFFFFFFFF, p.type) || !Match(p, u"):"))
            return Skip(p, "hex(N): needs N as a hex number of at most 32 bits");
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

// No digits at all are 0 where a comment follows, as regedit reads them.
static ParseState DwordData(RegParser &p)
{
    SkipBlanks(p);
    DWORD value = 0;
    size_t digits = ReadHex(p, value);
    SkipBlanks(p);
    if ((digits == 0 && Peek(p) != u';') || digits > 8 || !AtLineEnd(p))
        return Skip(p, "dword: needs one to eight hex digits");
    for (int shift = 0; shift < 32; shift += 8)
        p.data.push_back((BYTE)(value >> shift));
    return ParseState::SetValue;
}

// One line's worth of comma-separated bytes, each read as regedit reads it: blanks, a sign and
// "0x" before its digits, as many digits as it has.
static ParseState HexData(RegParser &p)
{
    for (;;) {
        SkipBlanks(p);
        DWORD byte = 0;
        size_t start = p.pos;
        if (!ReadNumber(p, true, 0xFF, byte))
            return Skip(p, "a hex byte above ff");
        if (p.pos == start) {
            if (Peek(p) == u'\\') {
                p.backslash = BackslashOffset(p, p.pos++);
                return ParseState::HexLineEnd;
            }
            if (AtLineEnd(p))
                return ParseState::HexDone;
            return Skip(p, "hex data must be two-digit bytes separated by commas");
        }
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

// In a file of 8-bit text, regedit keeps string, expandable and multi-string data in hex form
// as text of the file's code page (for us, UTF-8 or Windows-1252) and turns it into UTF-16 on
// import; everything else, and everything in a UTF-16 file, is the value's own bytes.
bool HexIsText(const RegDocument &doc, DWORD type)
{
    return !doc.wide && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ);
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
    RegEntry entry = NewEntry(RegEntryKind::SetValue);
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

size_t CountLineEnds(const char *bytes, size_t size, char before)
{
    size_t ends = 0;
    for (size_t i = 0; i < size; before = bytes[i++])
        ends += bytes[i] == '\r' || (bytes[i] == '\n' && before != '\r');
    return ends;
}

// Blanks before the header are Windows' to skip too; a header with anything else is none:
// REGEDIT3, "REGEDIT 4" or REGEDIT4FOO import nothing, so nothing is written there.
bool ReadHeader(RegParser &p)
{
    bool header = NextLine(p);
    if (header) {
        SkipBlanks(p);
        std::u16string_view text = Text(p).substr(p.pos);
        header = text == HEADER_5 || text == HEADER_4;
    }
    if (!header) {
        p.out.valid = false;
        p.out.diagnostics.push_back(p.doc.path + ":1: no \"Windows Registry Editor Version 5.00\" "
                                                 "or \"REGEDIT4\" header, so this is no .reg "
                                                 "file: it reads as empty and is never written "
                                                 "over");
        return false;
    }
    if (p.next > p.lineEnd) // the file's own line ending, for the lines a write adds
        p.out.eol = Decode(p.doc, p.doc.bytes.substr(p.lineEnd, p.next - p.lineEnd));
    return true;
}

void ParseOneLine(RegParser &p)
{
    p.next = 0;
    p.limit = TextEnd(p.doc);
    p.line = 0;
    p.section = -1;
    ParseState state = ParseState::LineStart;
    do
        state = PARSE_STEPS[(int)state](p);
    while (state != ParseState::LineStart && state != ParseState::Done);
}

// Values may come first: what they mean to the key lines after them does not depend on the
// section they are in, only on where their lines end.
size_t ReadOnTo(const RegDocument &part, size_t target)
{
    RegDocument scratch;
    RegParser p(part, scratch, false);
    p.quiet = true;
    p.section = 0;
    ParseState state = ParseState::LineStart;
    while (state != ParseState::Done && (state != ParseState::LineStart || p.next < target))
        state = PARSE_STEPS[(int)state](p);
    return state == ParseState::Done ? p.limit : p.next;
}

void ParseValues(RegDocument &part)
{
    RegParser p(part, part, false);
    p.section = 0;
    RunParser(p);
    if (part.unreported != 0)
        part.diagnostics.push_back(part.path + ": ... and " + std::to_string(part.unreported) +
                                   " more lines like these");
}

void Parse(RegDocument &doc, const std::string &path, std::string bytes, bool quiet)
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
    if (!ReadHeader(p))
        return;
    if (!doc.bom.empty() && !doc.wide && !quiet)
        doc.diagnostics.push_back(path + ":1: a UTF-8 byte-order mark, which regedit does not "
                                         "know: it would import nothing from this file (save "
                                         "it as UTF-16LE, or as UTF-8 without the mark)");
    if (doc.ansi && !quiet)
        doc.diagnostics.push_back(
            path + ":" + std::to_string(1 + CountLineEnds(doc.bytes.data(), bad, '\0')) +
            ": a byte that is not UTF-8, so the file is read in Windows-1252, as regedit reads "
            "it");
    RunParser(p);
    if (p.tooManyKeys) {
        doc.valid = false;
        doc.entries.clear();
        doc.diagnostics.push_back(path + ": more than 268 million keys, too many to be a registry");
        return;
    }
    if (doc.unreported != 0)
        doc.diagnostics.push_back(path + ": ... and " + std::to_string(doc.unreported) +
                                  " more lines like these");
}

void Reparse(RegDocument &doc)
{
    const size_t from = doc.editFrom;
    const size_t tailAfter = doc.bytes.size() - doc.editTail; // where the same last bytes start
    const size_t tailBefore = doc.editOldSize - doc.editTail;
    doc.editFrom = std::string::npos;
    // The entries that end before the first changed byte stay; the one after them is read again.
    size_t keep = 0;
    while (keep < doc.entries.size() && doc.entries[keep].begin <= from)
        ++keep;
    if (keep == 0 || from == std::string::npos) { // the header's line, or nothing, changed
        std::string path = doc.path;
        Parse(doc, path, std::move(doc.bytes), true);
        return;
    }
    --keep;
    std::vector<RegEntry> old = std::move(doc.entries);
    const std::u16string oldKeyText = doc.keyText;
    const std::vector<uint32_t> oldKeyStarts = doc.keyStarts;
    size_t dangling = doc.dangling;
    doc.entries.reserve(old.size() + 64);
    doc.entries.assign(old.begin(), old.begin() + (ptrdiff_t)keep);
    size_t keys = 0;
    int open = -1;
    for (size_t i = 0; i < keep; ++i) {
        keys += old[i].kind == RegEntryKind::Key || old[i].kind == RegEntryKind::DeleteKey;
        open = RegStoreSectionAfter(old[i], i, open);
    }
    doc.keyStarts.resize(keys);
    doc.keyText.resize(keys < oldKeyStarts.size() ? oldKeyStarts[keys] : oldKeyText.size());
    doc.dangling = std::string::npos;
    // A text that was UTF-8 throughout stays so where what was put in is: the changes start and
    // end at line boundaries. Otherwise the byte that was not may be gone.
    if (!doc.wide) {
        size_t bad = doc.bytes.size();
        if (doc.ansi || doc.badUtf8) {
            bad = FirstNonUtf8(doc.bytes.data(), doc.bytes.size());
        } else {
            size_t in = FirstNonUtf8(doc.bytes.data() + from, tailAfter - from);
            bad = in < tailAfter - from ? from + in : bad;
        }
        doc.ansi = bad < doc.bytes.size() && doc.bom.empty();
        doc.badUtf8 = bad < doc.bytes.size() && !doc.bom.empty();
    }

    RegParser p(doc, doc, false);
    p.quiet = true;
    p.next = old[keep].begin;
    p.section = open;
    size_t m = keep;    // the first old entry not before the place read up to
    int oldOpen = open; // the section open before it
    ParseState state = ParseState::LineStart;
    while (state != ParseState::Done) {
        if (state == ParseState::LineStart && p.next >= tailAfter && p.next < p.limit) {
            size_t same = p.next - tailAfter + tailBefore;
            for (; m < old.size() && old[m].begin < same; ++m)
                oldOpen = RegStoreSectionAfter(old[m], m, oldOpen);
            if (m < old.size() && old[m].begin == same && (p.section < 0) == (oldOpen < 0))
                break;
        }
        state = PARSE_STEPS[(int)state](p);
    }
    if (p.tooManyKeys) {
        std::string path = doc.path;
        Parse(doc, path, std::move(doc.bytes), true);
        return;
    }
    if (state == ParseState::Done)
        return;
    // The rest is the same bytes read from the same state: the old entries, at their new place.
    const size_t moved = p.next - old[m].begin;
    for (size_t i = m; i < old.size(); ++i) {
        RegEntry entry = old[i];
        entry.begin = (uint32_t)(entry.begin + moved);
        if (entry.kind == RegEntryKind::Key || entry.kind == RegEntryKind::DeleteKey) {
            size_t start = oldKeyStarts[entry.id];
            size_t end = (size_t)entry.id + 1 < oldKeyStarts.size() ? oldKeyStarts[entry.id + 1]
                                                                    : oldKeyText.size();
            if (doc.keyStarts.size() > REG_ENTRY_ID_MASK) {
                std::string path = doc.path;
                Parse(doc, path, std::move(doc.bytes), true);
                return;
            }
            entry.id = (uint32_t)doc.keyStarts.size();
            doc.keyStarts.push_back((uint32_t)doc.keyText.size());
            doc.keyText.append(oldKeyText, start, end - start);
        }
        doc.entries.push_back(entry);
    }
    if (dangling != std::string::npos && dangling >= old[m].begin)
        doc.dangling = dangling + moved;
}

void RegStoreParse(RegDocument &doc, const std::string &path, const std::string &bytes)
{
    Parse(doc, path, std::string(bytes));
}

// A value entry's name as written, and its type and data, read again from its lines.
uint32_t RegStoreEntryEnd(const RegDocument &doc, const RegEntry &entry)
{
    // One line, unless a backslash on it may go on to more (hex data after ",\"): then the
    // entry is read again.
    const size_t unit = doc.wide ? 2 : 1;
    const size_t limit = TextEnd(doc);
    if (!doc.wide) {
        // Every line ending and backslash is a byte of its own in an 8-bit file.
        const char *bytes = doc.bytes.data();
        const char *lf = (const char *)memchr(bytes + entry.begin, '\n', limit - entry.begin);
        size_t stop = lf != NULL ? (size_t)(lf - bytes) : limit;
        const char *cr = (const char *)memchr(bytes + entry.begin, '\r', stop - entry.begin);
        size_t lineEnd = cr != NULL ? (size_t)(cr - bytes) : stop;
        if (memchr(bytes + entry.begin, '\\', lineEnd - entry.begin) == NULL) {
            if (lineEnd >= limit)
                return (uint32_t)limit;
            bool crlf = bytes[lineEnd] == '\r' && lineEnd + 1 < limit && bytes[lineEnd + 1] == '\n';
            return (uint32_t)(lineEnd + (crlf ? 2 : 1));
        }
    }
    bool backslash = false;
    size_t at = entry.begin;
    for (; at < limit && doc.wide; at += unit) {
        char16_t c = UnitAt(doc, at);
        if (c == u'\n' || c == u'\r')
            break;
        backslash = backslash || c == u'\\';
    }
    if (doc.wide && !backslash) {
        if (at >= limit)
            return (uint32_t)limit;
        bool crlf =
            UnitAt(doc, at) == u'\r' && at + unit < limit && UnitAt(doc, at + unit) == u'\n';
        return (uint32_t)(at + (crlf ? 2 : 1) * unit);
    }
    RegDocument scratch;
    RegParser p(doc, scratch, true);
    p.next = entry.begin;
    p.section = 0; // a value was first read in a section; where its lines end is the same in any
    RunParser(p);
    return (uint32_t)p.next;
}

void ReadEntry(const RegDocument &doc, const RegEntry &entry, std::u16string &name, RegValue *value)
{
    RegDocument scratch;
    RegParser p(doc, scratch, true);
    p.next = entry.begin;
    p.section = 0; // a value was first read in a section; where its lines end is the same in any
    RunParser(p);
    name = std::move(p.name);
    if (value != NULL)
        *value = RegValue{p.type, std::move(p.data)};
}
