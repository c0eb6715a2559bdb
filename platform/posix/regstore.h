// The .reg file behind HKEY_LOCAL_MACHINE: its model, parser, surgical edits and locked write.
#pragma once

#include "port.h"

#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum class RegEntryKind : uint8_t { Key, DeleteKey, SetValue, DeleteValue, Skipped };

// What one line, or a value's run of continued lines, means to the importer. Blank and comment
// lines have no entry. A value's name and data stay in the file's bytes and are read again from
// there when asked for, so that a large file costs little more than its own size.
struct RegEntry {
    uint32_t begin;  // byte offset of its first line
    uint32_t end;    // byte offset just past its last line's ending
    int32_t section; // the Key entry whose values follow, -1 where none is open
    uint32_t id;     // Key and DeleteKey: index in keyStarts; values: hash of the folded name
    RegEntryKind kind;
    bool local; // Key and DeleteKey: below HKEY_LOCAL_MACHINE
};

struct RegDocument {
    std::string path;
    bool exists = false;
    bool valid = true; // false: not a .reg file at all, read as empty and never written over
    bool wide = false; // UTF-16LE, else UTF-8 (and REGEDIT4's ANSI taken as UTF-8)
    std::string bom;
    std::u16string eol = u"\n"; // the file's own line ending, for the lines a write adds
    std::string bytes;          // the whole file, byte order mark included
    std::vector<RegEntry> entries;
    std::u16string keyText;               // the keys' folded paths below the root, one after
    std::vector<uint32_t> keyStarts;      // another, each starting here; "" the root itself
    std::vector<std::string> diagnostics; // "path:line: message"
    bool modified = false;
};

struct RegValue {
    DWORD type;
    std::vector<BYTE> data;
};

// The registry the file describes once imported: folded key path ("" the root) to its values
// by folded name. A key is there exactly when it exists. The calls never build it; they ask
// the document for one key or one value.
typedef std::map<std::u16string, std::map<std::u16string, RegValue>> RegTree;

// $ZEMBREL_ROOT/registry.reg.
std::string RegStorePath();
// Names compare as the device compares them: case-insensitively, one UTF-16 unit at a time.
std::u16string RegStoreFold(const std::u16string &name);
// Strips one trailing backslash; false when a component is empty (a leading backslash, or two
// in a row), which Win32 calls a bad path name.
bool RegStoreCleanPath(std::u16string &path);

// Access as the port grants it: the caller's own permissions, and besides, a file with no write
// (or read) bit for anyone is read-only (or unreadable) even to root, as a read-only file is to
// every user on Windows. Reading needs the file readable or absent; writing needs the folder
// writable and the file writable or absent.
bool RegStoreCanRead(const std::string &path);
bool RegStoreCanWrite(const std::string &path);

// Builds the model from the file's bytes; the path only labels the diagnostics.
void RegStoreParse(RegDocument &doc, const std::string &path, const std::string &bytes);
// The file as it is now, without a lock. A process parses each content of the file once: while
// the bytes stay the same, every read shares that parse (the bytes are compared, so a change of
// any kind is seen). Diagnostics go to standard error once per distinct content. A missing file
// is an empty registry. Returns 0 or the errno.
int RegStoreRead(std::shared_ptr<const RegDocument> &doc, const std::string &path);
// The same, as a document of the caller's own to edit.
int RegStoreLoad(RegDocument &doc, const std::string &path);

// What the importer makes of the file, asked for one folded key or value at a time.
bool RegStoreKeyExists(const RegDocument &doc, const std::u16string &foldedKey);
bool RegStoreQueryValue(const RegDocument &doc, const std::u16string &foldedKey,
                        const std::u16string &foldedName, RegValue *value);
// The whole registry at once, for comparing two documents.
RegTree RegStoreEvaluate(const RegDocument &doc);
std::string RegStoreSerialize(const RegDocument &doc);

// Edits change only the lines they must. Keys are paths below HKEY_LOCAL_MACHINE in the
// caller's spelling, one backslash between components; a new section is spelt that way.
bool RegStoreCreateKey(RegDocument &doc, const std::u16string &key); // true: it was new
LONG RegStoreSetValue(RegDocument &doc, const std::u16string &key, const std::u16string &name,
                      DWORD type, const BYTE *data, DWORD size);
LONG RegStoreDeleteValue(RegDocument &doc, const std::u16string &key, const std::u16string &name);

// Runs the edit on the file as it is under the writers' lock, then, if the edit changed the
// document, replaces the file atomically and durably. Returns the edit's or the write's error.
LONG RegStoreUpdate(const std::string &path, const std::function<LONG(RegDocument &)> &edit);

// Failure injection for the tests: the next write fails at the stage, once. Nothing else
// ever arms it.
enum class RegWriteStage { None, OpenTemp, Write, Fsync, Rename, DirFsync };
void RegStoreFailNextWrite(RegWriteStage stage);
