// Edits of the parsed file that change only the lines they must: a value set or deleted, a
// key created, each written as regedit would write it.
#include "internal.h"

#include <stdio.h>

#include <algorithm>

//
// An edit splices new lines into the bytes, then the document is parsed again where they changed
// (Reparse), so that it always says what its bytes say.

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
        // Only whole strings that the file's code page can hold fit there.
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

// Every edit of the bytes goes through here, which notes where the text now differs from the one
// the entries were read from: after its first `editFrom` bytes, and before its last `editTail`.
static void Splice(RegDocument &doc, size_t at, size_t length, const std::string &bytes)
{
    if (doc.editFrom == std::string::npos) {
        doc.editFrom = at;
        doc.editOldSize = doc.editTail = doc.bytes.size();
    }
    doc.bytes.replace(at, length, bytes);
    doc.editFrom = std::min(doc.editFrom, at);
    doc.editTail = std::min(doc.editTail, doc.bytes.size() - (at + bytes.size()));
}

static void Changed(RegDocument &doc)
{
    Reparse(doc);
    doc.modified = true;
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
    Splice(doc, doc.dangling, unit, std::string());
    doc.dangling = std::string::npos;
    return unit;
}

// At a line boundary; a last line without an ending gets one first.
static void InsertLines(RegDocument &doc, size_t at, const std::vector<std::u16string> &text)
{
    at -= CloseContinuationBefore(doc, at);
    std::string ending = EndingBefore(doc, at) == 0 ? Encode(doc, doc.eol) : std::string();
    Splice(doc, at, 0, ending + EncodeLines(doc, text));
}

// A blank or comment line, as may come between a continued value's lines.
bool IsCommentLine(std::u16string_view text)
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
    p.limit = RegStoreEntryEnd(doc, entry);
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
    uint32_t end = RegStoreEntryEnd(doc, entry);
    size_t ending = EndingBefore(doc, end);
    size_t lastEnding = Encode(doc, doc.eol).size();
    std::string lines = EncodeLines(doc, text) + CommentLines(doc, entry, lastEnding);
    if (!lines.empty()) {
        lines.resize(lines.size() - lastEnding);
        lines += doc.bytes.substr(end - ending, ending);
    }
    Splice(doc, entry.begin, end - entry.begin, lines);
}

// After the section's last key, value or skipped line: its trailing blanks and comments more
// likely belong to what follows.
static void InsertIntoSection(RegDocument &doc, int section,
                              const std::vector<std::u16string> &text)
{
    size_t last = (size_t)section;
    while (last + 1 < doc.entries.size() &&
           RegStoreSectionAfter(doc.entries[last + 1], last + 1, section) == section)
        ++last;
    InsertLines(doc, RegStoreEntryEnd(doc, doc.entries[last]), text);
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
    Splice(doc, at, 0, added + EncodeLines(doc, lines));
}

bool RegStoreCreateKey(RegDocument &doc, const std::u16string &key)
{
    if (doc.indexed)
        return WindowCreateKey(doc, key);
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
    if (doc.indexed)
        return WindowSetValue(doc, key, name, type, data, size);
    std::u16string foldedKey = RegStoreFold(key);
    std::u16string foldedName = RegStoreFold(name);
    uint32_t nameHash = NameHash(foldedName);
    int section = -1;
    int target = -1;
    int open = -1;
    for (size_t i = 0; i < doc.entries.size(); ++i) {
        const RegEntry &entry = doc.entries[i];
        open = RegStoreSectionAfter(entry, i, open);
        // The importer forgets a key's past at its deletion, or at an ancestor's.
        if (DeletesKey(doc, entry, foldedKey))
            section = target = -1;
        if (entry.kind == RegEntryKind::Key && entry.local && KeyOf(doc, entry) == foldedKey)
            section = (int)i;
        if (IsValueOf(doc, entry, open, foldedKey, foldedName, nameHash))
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
    if (result == ERROR_INVALID_DATA)
        // Written otherwise, regedit would read another value, or none.
        RegStoreSay(doc.path + ": the value \"" + Utf16ToUtf8(name) + "\" of " + Utf16ToUtf8(key) +
                    " cannot be spelled in this file's " + (doc.ansi ? "Windows-1252" : "UTF-8") +
                    " as regedit reads it, so nothing is written");
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
    if (doc.indexed)
        return WindowDeleteValue(doc, key, name);
    std::u16string foldedKey = RegStoreFold(key);
    std::u16string foldedName = RegStoreFold(name);
    if (!RegStoreQueryValue(doc, foldedKey, foldedName, NULL))
        return ERROR_FILE_NOT_FOUND;

    // Every setting since the value was last forgotten goes, latest first so offsets hold.
    uint32_t nameHash = NameHash(foldedName);
    std::vector<size_t> settings;
    int open = -1;
    for (size_t i = 0; i < doc.entries.size(); ++i) {
        const RegEntry &entry = doc.entries[i];
        open = RegStoreSectionAfter(entry, i, open);
        if (DeletesKey(doc, entry, foldedKey))
            settings.clear(); // the key's past, forgotten at its deletion or an ancestor's
        if (!IsValueOf(doc, entry, open, foldedKey, foldedName, nameHash))
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
