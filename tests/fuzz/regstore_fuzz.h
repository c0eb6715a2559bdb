// What the registry store's fuzz targets share: an edit chosen by the input, and its checks.
#pragma once

#include "platform/posix/store/regstore.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

// A broken promise ends the run, and libFuzzer keeps the input that broke it.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__);               \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

const size_t FUZZ_CONTROL_BYTES = 4;

struct FuzzEdit {
    RegChangeKind kind;
    std::u16string key;
    std::u16string name;
    DWORD type;
    std::vector<BYTE> data;
};

// A key and a value of the file's own or new ones, and data of each form the store writes.
inline FuzzEdit ChooseEdit(const RegTree &tree, const uint8_t *control)
{
    static const RegChangeKind kinds[] = {RegChangeKind::SetValue, RegChangeKind::DeleteValue,
                                          RegChangeKind::CreateKey};
    FuzzEdit edit;
    edit.kind = kinds[control[0] % 3];
    std::vector<std::u16string> keys;
    for (const auto &key : tree)
        keys.push_back(key.first);
    keys.push_back(u"Fuzz\\New");
    edit.key = keys[control[1] % keys.size()];
    std::vector<std::u16string> names = {u"", u"FuzzValue"};
    auto values = tree.find(RegStoreFold(edit.key));
    if (values != tree.end())
        for (const auto &value : values->second)
            names.push_back(value.first);
    edit.name = names[control[2] % names.size()];
    size_t size = control[3] / 6;
    switch (control[3] % 6) {
    case 0:
        edit.type = REG_DWORD;
        edit.data = {29, 0, 0, 0};
        break;
    case 1:
        edit.type = REG_SZ;
        edit.data = {'3', 0, '8', 0, '9', 0, 0, 0};
        break;
    case 2:
        edit.type = REG_MULTI_SZ;
        edit.data = {'a', 0, 0, 0, 0xe9, 0, 0, 0, 0, 0};
        break;
    case 3:
        edit.type = REG_SZ; // half a character: no text form
        edit.data = {'7'};
        break;
    default:
        edit.type = control[3] % 6 == 4 ? REG_BINARY : 0x12345;
        for (size_t i = 0; i < size; ++i)
            edit.data.push_back((BYTE)(i * 37));
    }
    return edit;
}

inline LONG ApplyEdit(RegDocument &doc, const FuzzEdit &edit)
{
    switch (edit.kind) {
    case RegChangeKind::SetValue:
        return RegStoreSetValue(doc, edit.key, edit.name, edit.type, edit.data.data(),
                                (DWORD)edit.data.size());
    case RegChangeKind::DeleteValue:
        return RegStoreDeleteValue(doc, edit.key, edit.name);
    default:
        return RegStoreCreateKey(doc, edit.key) || RegStoreKeyExists(doc, RegStoreFold(edit.key))
                   ? ERROR_SUCCESS
                   : ERROR_INVALID_DATA;
    }
}

inline bool SameTree(const RegTree &a, const RegTree &b)
{
    if (a.size() != b.size())
        return false;
    for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
        if (x->first != y->first || x->second.size() != y->second.size())
            return false;
        for (auto v = x->second.begin(), w = y->second.begin(); v != x->second.end(); ++v, ++w)
            if (v->first != w->first || v->second.type != w->second.type ||
                v->second.data != w->second.data)
                return false;
    }
    return true;
}

// Runs one edit as the store's write does and checks it without the store's own check: the
// registry the edited file describes is the old one with just the change, the value reads back
// as written, and the same edit again changes nothing. `doc` becomes the edited file.
// An edit leaves its document read as a fresh reading of its bytes reads them, though it reads
// again only where they changed.
inline void CheckReadAgain(const RegDocument &doc, const FuzzEdit &edit)
{
    RegDocument edited = doc;
    ApplyEdit(edited, edit);
    RegDocument fresh;
    RegStoreParse(fresh, doc.path, edited.bytes);
    FUZZ_CHECK(edited.entries.size() == fresh.entries.size());
    auto key = [](const RegDocument &d, const RegEntry &e) {
        size_t end = e.id + 1u < d.keyStarts.size() ? d.keyStarts[e.id + 1] : d.keyText.size();
        return d.keyText.substr(d.keyStarts[e.id], end - d.keyStarts[e.id]);
    };
    for (size_t i = 0; i < fresh.entries.size(); ++i) {
        const RegEntry &a = edited.entries[i];
        const RegEntry &b = fresh.entries[i];
        FUZZ_CHECK(a.begin == b.begin && a.kind == b.kind && a.local == b.local);
        bool keyed = b.kind == RegEntryKind::Key || b.kind == RegEntryKind::DeleteKey;
        FUZZ_CHECK(keyed ? key(edited, a) == key(fresh, b) : a.id == b.id);
    }
    FUZZ_CHECK(edited.dangling == fresh.dangling && edited.ansi == fresh.ansi &&
               edited.badUtf8 == fresh.badUtf8);
}

// The edit made on a reading of the key lines alone, in the one stretch of the file it touches,
// writes what the whole file's edit writes (`result`, `bytes`), or leaves the edit to it.
inline void CheckStretchEdit(const RegDocument &doc, const FuzzEdit &edit, LONG result,
                             const std::string &bytes)
{
    if (doc.wide)
        return;
    int fd = memfd_create("fuzz.reg", 0);
    FUZZ_CHECK(fd >= 0 &&
               write(fd, doc.bytes.data(), doc.bytes.size()) == (ssize_t)doc.bytes.size() &&
               lseek(fd, 0, SEEK_SET) == 0);
    RegDocument index;
    FUZZ_CHECK(RegStoreIndex(index, fd, doc.path) == 0);
    close(fd);
    LONG got = ApplyEdit(index, edit);
    if (index.needsWhole)
        return;
    FUZZ_CHECK(got == result && index.modified == !bytes.empty());
    if (index.modified)
        FUZZ_CHECK(doc.bytes.substr(0, index.spliceAt) + index.spliceBytes +
                       doc.bytes.substr(index.spliceAt + index.spliceCut) ==
                   bytes);
}

inline void CheckEdit(RegDocument &doc, const FuzzEdit &edit)
{
    CheckReadAgain(doc, edit);
    auto apply = [&](RegDocument &target) { return ApplyEdit(target, edit); };
    std::string bytes;
    LONG result = RegStoreEdit(doc, apply, bytes);
    FUZZ_CHECK(result != ERROR_REGISTRY_CORRUPT); // no edit of the store's needs refusing
    CheckStretchEdit(doc, edit, result, bytes);
    if (result != ERROR_SUCCESS || bytes.empty())
        return;
    RegDocument edited;
    RegStoreParse(edited, doc.path, bytes);
    FUZZ_CHECK(RegStoreSerialize(edited) == bytes);

    RegTree expected = RegStoreEvaluate(doc);
    RegTree got = RegStoreEvaluate(edited);
    std::u16string key = RegStoreFold(edit.key);
    std::u16string name = RegStoreFold(edit.name);
    if (edit.kind != RegChangeKind::DeleteValue) {
        for (size_t slash = key.find(u'\\'); slash != std::u16string::npos;
             slash = key.find(u'\\', slash + 1))
            expected[key.substr(0, slash)];
        expected[key];
    }
    if (edit.kind == RegChangeKind::SetValue) {
        FUZZ_CHECK(got[key].count(name) == 1);
        const RegValue &value = got[key][name];
        FUZZ_CHECK(value.type == edit.type && value.data == edit.data);
        expected[key][name] = value;
    }
    if (edit.kind == RegChangeKind::DeleteValue)
        expected[key].erase(name);
    FUZZ_CHECK(SameTree(got, expected));

    // Again, it finds its work done: a deletion finds nothing left to delete.
    std::string again;
    result = RegStoreEdit(edited, apply, again);
    FUZZ_CHECK(again.empty());
    FUZZ_CHECK(result ==
               (edit.kind == RegChangeKind::DeleteValue ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS));
    doc = edited;
}

// A reader's reading of the key lines alone, through a buffer of a size the input chooses, or mapped
// a window at a time, means what the full reading means: every key and value of the file, and one
// of neither.
inline void CheckKeyLineReading(const uint8_t *control, const std::string &bytes,
                                const RegDocument &full, const RegTree &tree)
{
    if (bytes.compare(0, 2, "\xFF\xFE") == 0) // read whole
        return;
    int fd = memfd_create("fuzz.reg", 0);
    FUZZ_CHECK(fd >= 0 && write(fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size() &&
               lseek(fd, 0, SEEK_SET) == 0);
    RegDocument index;
    FUZZ_CHECK(RegStoreIndex(index, fd, "fuzz.reg", 4 + control[0] % 64, control[0] & 64) == 0);
    close(fd);
    FUZZ_CHECK(index.valid == full.valid);
    RegTree keys = tree;
    keys[u"FUZZ\\ABSENT"];
    for (const auto &key : keys) {
        FUZZ_CHECK(RegStoreKeyExists(index, key.first) == RegStoreKeyExists(full, key.first));
        std::vector<std::u16string> names = {u"FUZZABSENT"};
        for (const auto &value : key.second)
            names.push_back(value.first);
        for (const std::u16string &name : names) {
            RegValue a{0, {}};
            RegValue b{0, {}};
            FUZZ_CHECK(RegStoreQueryValue(index, key.first, name, &a) ==
                       RegStoreQueryValue(full, key.first, name, &b));
            FUZZ_CHECK(a.type == b.type && a.data == b.data);
        }
    }
}

// Parse, serialise the parse back to the very bytes, read the key lines alone, and run the chosen
// edit.
inline void CheckStore(const uint8_t *control, const std::string &bytes)
{
    RegDocument doc;
    RegStoreParse(doc, "fuzz.reg", bytes);
    FUZZ_CHECK(RegStoreSerialize(doc) == bytes);
    RegTree tree = RegStoreEvaluate(doc);
    CheckKeyLineReading(control, bytes, doc, tree);
    if (!doc.valid)
        return;
    FuzzEdit edit = ChooseEdit(tree, control);
    // A value's key is made first, as RegCreateKeyExW comes before RegSetValueExW.
    if (edit.kind == RegChangeKind::SetValue && tree.count(RegStoreFold(edit.key)) == 0)
        CheckEdit(doc, FuzzEdit{RegChangeKind::CreateKey, edit.key, u"", 0, {}});
    CheckEdit(doc, edit);
}

// Splits the input into the control bytes, zeros where it is short, and the rest.
inline std::string SplitInput(const uint8_t *data, size_t size, uint8_t *control)
{
    for (size_t i = 0; i < FUZZ_CONTROL_BYTES; ++i)
        control[i] = i < size ? data[i] : 0;
    return size > FUZZ_CONTROL_BYTES
               ? std::string((const char *)data + FUZZ_CONTROL_BYTES, size - FUZZ_CONTROL_BYTES)
               : std::string();
}
