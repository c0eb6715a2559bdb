// What the parsed file says: whether a key exists, a value's type and data, the whole tree for
// a comparison, and the text itself.
#include "internal.h"

// The folded path of a Key or DeleteKey entry.
std::u16string_view KeyOf(const RegDocument &doc, const RegEntry &entry)
{
    size_t start = doc.keyStarts[entry.id];
    size_t end = (size_t)entry.id + 1 < doc.keyStarts.size() ? doc.keyStarts[entry.id + 1]
                                                             : doc.keyText.size();
    return std::u16string_view(doc.keyText).substr(start, end - start);
}

// A value line, setting or deleting, in one of the key's sections, whose name may be the one.
// `section` is the one open at the entry (RegStoreSectionAfter).
static bool MayBeValueOf(const RegDocument &doc, const RegEntry &entry, int section,
                         const std::u16string &key, uint32_t nameHash)
{
    if ((entry.kind != RegEntryKind::SetValue && entry.kind != RegEntryKind::DeleteValue) ||
        entry.id != (nameHash & REG_ENTRY_ID_MASK))
        return false;
    const RegEntry &open = doc.entries[section];
    return open.local && KeyOf(doc, open) == key;
}

bool IsValueOf(const RegDocument &doc, const RegEntry &entry, int section,
               const std::u16string &key, const std::u16string &name, uint32_t nameHash)
{
    if (!MayBeValueOf(doc, entry, section, key, nameHash))
        return false;
    std::u16string written;
    ReadEntry(doc, entry, written, NULL);
    return RegStoreFold(written) == name;
}

// A deletion of the key or of one of its ancestors.
bool DeletesKey(const RegDocument &doc, const RegEntry &entry, const std::u16string &key)
{
    return entry.kind == RegEntryKind::DeleteKey && entry.local &&
           IsSelfOrAncestor(KeyOf(doc, entry), key);
}

// A key exists from a section of it or of a descendant (the importer's RegCreateKeyEx makes
// every ancestor) until a deletion of it or of an ancestor.
bool RegStoreKeyExists(const RegDocument &doc, const std::u16string &key)
{
    if (doc.indexed)
        return IndexedKeyExists(doc, key);
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
    if (doc.indexed)
        return IndexedQueryValue(doc, key, name, value);
    uint32_t hash = NameHash(name);
    const RegEntry *found = NULL;
    std::u16string written;
    int section = -1;
    for (size_t i = 0; i < doc.entries.size(); ++i) {
        const RegEntry &entry = doc.entries[i];
        section = RegStoreSectionAfter(entry, i, section);
        if (DeletesKey(doc, entry, key)) {
            found = NULL;
            continue;
        }
        if (!MayBeValueOf(doc, entry, section, key, hash))
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
    int open = -1;
    for (size_t i = 0; i < doc.entries.size(); ++i) {
        const RegEntry &entry = doc.entries[i];
        open = RegStoreSectionAfter(entry, i, open);
        const RegEntry *section = open >= 0 ? &doc.entries[open] : NULL;
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
