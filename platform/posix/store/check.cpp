// The check before every write: the edited text, parsed afresh, must mean the old text plus
// the one change; and the edit itself, run on a copy, within the size a registry may have.
#include "internal.h"

#include <algorithm>

// An entry's bytes without its last line ending.
static std::string_view EntryText(const RegDocument &doc, const RegEntry &entry)
{
    uint32_t end = RegStoreEntryEnd(doc, entry);
    return std::string_view(doc.bytes).substr(entry.begin,
                                              end - entry.begin - EndingBefore(doc, end));
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
    p.limit = RegStoreEntryEnd(doc, entry);
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
static bool SameMeaning(const RegDocument &a, const RegEntry &x, int sectionX, const RegDocument &b,
                        const RegEntry &y, int sectionY, std::pair<int, int> &sections)
{
    bool value = x.kind == RegEntryKind::SetValue || x.kind == RegEntryKind::DeleteValue;
    if (x.kind != y.kind || x.local != y.local)
        return false;
    if (value && sections != std::make_pair(sectionX, sectionY)) {
        if (!SameSection(a, a.entries[sectionX], b, b.entries[sectionY]))
            return false;
        sections = std::make_pair(sectionX, sectionY);
    }
    if (EntryText(a, x) == EntryText(b, y))
        return true;
    if (x.kind == RegEntryKind::Key || x.kind == RegEntryKind::DeleteKey)
        return x.local && KeyOf(a, x) == KeyOf(b, y);
    if (x.kind == RegEntryKind::Skipped || x.kind == RegEntryKind::SkippedKey)
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
static bool AboutTheChange(const RegDocument &doc, const RegEntry &entry, int section,
                           const RegChange &change, uint32_t nameHash)
{
    if (entry.kind == RegEntryKind::Key)
        return entry.local && KeyOf(doc, entry) == change.key &&
               (change.kind == RegChangeKind::CreateKey || change.kind == RegChangeKind::SetValue);
    return (change.kind == RegChangeKind::SetValue || change.kind == RegChangeKind::DeleteValue) &&
           IsValueOf(doc, entry, section, change.key, change.name, nameHash);
}

void CommonEnds(const std::string &a, const std::string &b, size_t &same, size_t &tail)
{
    const size_t shorter = std::min(a.size(), b.size());
    same = (size_t)(std::mismatch(a.begin(), a.begin() + (ptrdiff_t)shorter, b.begin()).first -
                    a.begin());
    tail = (size_t)(std::mismatch(a.rbegin(), a.rbegin() + (ptrdiff_t)(shorter - same), b.rbegin())
                        .first -
                    a.rbegin());
}

bool RegStoreChangedOnly(const RegDocument &before, const RegDocument &after,
                         const RegChange &change)
{
    if (!after.valid || after.wide != before.wide || after.bom != before.bom ||
        after.bytes.compare(TextEnd(after), std::string::npos, before.bytes, TextEnd(before),
                            std::string::npos) != 0)
        return false;
    // The bytes before the first that differs, and after the last, are the same in both texts.
    const std::string &a = before.bytes;
    const std::string &b = after.bytes;
    size_t same = 0;
    size_t tail = 0;
    CommonEnds(a, b, same, tail);
    const size_t tailBefore = a.size() - tail;
    const size_t tailAfter = b.size() - tail;

    uint32_t hash = NameHash(change.name);
    std::pair<int, int> sections(-1, -1);
    // Entries that end before the first changed byte are the same entries in both, read from
    // the same bytes: the walk starts after them.
    size_t i = 0;
    int openI = -1; // the sections open at entries i and j
    while (i + 1 < before.entries.size() && before.entries[i + 1].begin <= same) {
        openI = RegStoreSectionAfter(before.entries[i], i, openI);
        ++i;
    }
    size_t j = i;
    int openJ = openI;
    // Each entry is passed once; the section open at it is found on the way.
    auto skip = [&](const RegDocument &doc, size_t &at, int &open) {
        for (; at < doc.entries.size(); ++at) {
            open = RegStoreSectionAfter(doc.entries[at], at, open);
            if (!AboutTheChange(doc, doc.entries[at], open, change, hash))
                break;
        }
    };
    for (;; ++i, ++j) {
        skip(before, i, openI);
        skip(after, j, openJ);
        if (i == before.entries.size() || j == after.entries.size())
            break;
        const RegEntry &x = before.entries[i];
        const RegEntry &y = after.entries[j];
        if (!SameMeaning(before, x, openI, after, y, openJ, sections))
            return false;
        // From a pair at the same place in the same last bytes, read to the same end and with
        // the same section open after it, every entry is the same as its counterpart.
        if (x.begin >= tailBefore && y.begin >= tailAfter &&
            x.begin - tailBefore == y.begin - tailAfter &&
            (openI < 0 ? openJ < 0
                       : openJ >= 0 && SameSection(before, before.entries[openI], after,
                                                   after.entries[openJ]))) {
            if (before.entries.size() - i != after.entries.size() - j)
                return false;
            i = before.entries.size();
            j = after.entries.size();
            break;
        }
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

LONG RegStoreEdit(const RegDocument &doc, const std::function<LONG(RegDocument &)> &edit,
                  std::string &bytes)
{
    bytes.clear();
    // The copy gets room for what an edit adds first, so that the edit does not copy it again.
    RegDocument edited;
    edited.bytes.reserve(doc.bytes.size() + (64 << 10));
    edited.entries.reserve(doc.entries.size() + 64);
    edited = doc;
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
