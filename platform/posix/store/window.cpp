// The edits of a reading of the key lines alone. An edit touches one stretch of the file, from a
// key line to the end of a section: that stretch is read behind the file's header and parsed as a
// file of its own, edited as a whole file is and checked as a whole file's edit is, and what
// changed in it becomes the file's splice. The bytes before and after it are never read.
//
// The stretch means in the file what it means alone: it opens with a line the importer reads as
// a key line, where nothing before it counts, and it ends where the next such line starts, or at
// the file's end. What it cannot tell alone sends the edit to the whole file (needsWhole): a hex
// value continued at its end into the key line after it, and a file read in Windows-1252 for a
// byte that the edit may take away.
#include "internal.h"

namespace {

// Entry `first`'s line to the end of entry `last`'s section; -1 for both: all after the header.
LONG EditStretch(RegDocument &doc, int first, int last,
                 const std::function<LONG(RegDocument &)> &edit)
{
    if (doc.modified) { // one edit a write: the splice holds one change
        doc.needsWhole = true;
        return ERROR_SUCCESS;
    }
    const size_t header = doc.keyLineStarts.empty() ? doc.keyLines.size() : doc.keyLineStarts[0];
    const uint64_t begin = first >= 0 ? doc.entries[(size_t)first].begin : header;
    const uint64_t end =
        (size_t)(last + 1) < doc.entries.size() ? doc.entries[(size_t)(last + 1)].begin : doc.size;
    std::string prefix = doc.keyLines.substr(0, header);
    // A file read in Windows-1252 for a byte outside the stretch and its header reads the stretch
    // so too, as it does behind a comment line holding such a byte.
    if (doc.ansi && doc.firstNotUtf8 >= header &&
        !(doc.firstNotUtf8 >= begin && doc.firstNotUtf8 < end))
        prefix += ";\xFF" + std::string(doc.eol.begin(), doc.eol.end());
    std::string bytes;
    RegDocument before;
    if (ReadAt(*doc.file, begin, (size_t)(end - begin), bytes) != 0 ||
        bytes.size() != end - begin) {
        doc.needsWhole = true;
        return ERROR_SUCCESS;
    }
    Parse(before, doc.path, prefix + bytes, true);
    const bool atEnd = end == doc.size;
    if (!before.valid || before.ansi != doc.ansi ||
        (before.dangling != std::string::npos && !atEnd)) {
        doc.needsWhole = true;
        return ERROR_SUCCESS;
    }
    RegDocument after = before;
    LONG result = edit(after);
    if (result != ERROR_SUCCESS || !after.modified || after.bytes == before.bytes)
        return result;
    FileSplice change = SpliceOf(before.bytes, after.bytes);
    const uint64_t size = doc.size - before.bytes.size() + after.bytes.size();
    // Whatever the stretch cannot vouch for, the whole file's edit decides, and says.
    if (change.at < prefix.size() || after.ansi != before.ansi ||
        (after.dangling != std::string::npos && !atEnd) || size > SizeLimit() ||
        !RegStoreChangedOnly(before, after, after.change)) {
        doc.needsWhole = true;
        return ERROR_SUCCESS;
    }
    doc.spliceAt = begin + (change.at - prefix.size());
    doc.spliceCut = change.cut;
    doc.spliceBytes = std::move(change.bytes);
    doc.modified = true;
    doc.change = after.change;
    return ERROR_SUCCESS;
}

// The last section of the file, where a new one goes after it.
int LastSection(const RegDocument &doc)
{
    return (int)doc.entries.size() - 1;
}

bool Unreadable(RegDocument &doc, int error)
{
    if (error == 0)
        return false;
    doc.needsWhole = true; // the whole file's reading says why
    return true;
}

} // namespace

bool WindowCreateKey(RegDocument &doc, const std::u16string &key)
{
    if (RegStoreKeyExists(doc, RegStoreFold(key)))
        return false;
    bool created = false;
    int last = LastSection(doc);
    EditStretch(doc, last, last, [&](RegDocument &part) -> LONG {
        created = RegStoreCreateKey(part, key);
        return ERROR_SUCCESS;
    });
    return created && doc.modified;
}

// In the section of the value's last line since the key was last deleted, else in the key's last
// section since then, else in a new one after all.
LONG WindowSetValue(RegDocument &doc, const std::u16string &key, const std::u16string &name,
                    DWORD type, const BYTE *data, DWORD size)
{
    KeySections found;
    if (Unreadable(doc, IndexedSections(doc, RegStoreFold(key), RegStoreFold(name), found, NULL)))
        return ERROR_SUCCESS;
    int section = found.lastValue >= 0 ? found.lastValue : found.lastOwn;
    if (section < 0)
        section = LastSection(doc);
    return EditStretch(doc, section, section, [&](RegDocument &part) {
        return RegStoreSetValue(part, key, name, type, data, size);
    });
}

// Every setting since the value was last deleted goes: the stretch holds them all.
LONG WindowDeleteValue(RegDocument &doc, const std::u16string &key, const std::u16string &name)
{
    KeySections found;
    if (Unreadable(doc, IndexedSections(doc, RegStoreFold(key), RegStoreFold(name), found, NULL)))
        return ERROR_SUCCESS;
    if (found.lastSetting < 0)
        return ERROR_FILE_NOT_FOUND;
    return EditStretch(doc, found.firstSetting, found.lastSetting,
                       [&](RegDocument &part) { return RegStoreDeleteValue(part, key, name); });
}
