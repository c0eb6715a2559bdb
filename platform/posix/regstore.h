// The .reg file behind HKEY_LOCAL_MACHINE: its model, parser, surgical edits and locked write.
#pragma once

#include "port.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

// One physical line of the file, kept as stored so that a write can give back every byte it
// had no reason to change.
struct RegLine {
    std::string raw;     // the stored bytes, line ending included
    std::u16string text; // decoded, without the line ending, cut at a zero character
    size_t endBytes;     // how many of raw's last bytes are the line ending (0 on a last line)
};

enum class RegEntryKind { Header, Comment, Key, DeleteKey, SetValue, DeleteValue, Skipped };

// What one line, or a value's run of continued lines, means to the importer.
struct RegEntry {
    RegEntryKind kind;
    size_t line;         // first physical line
    size_t count;        // physical lines it spans
    int section;         // the Key entry whose values follow, -1 where none is open
    bool local;          // Key and DeleteKey: below HKEY_LOCAL_MACHINE
    std::u16string key;  // Key and DeleteKey: folded path below the root, "" the root itself
    std::u16string name; // values: the name as written, unescaped; "" the default value
    DWORD type;
    std::vector<BYTE> data;
};

struct RegDocument {
    std::string path;
    bool exists = false;
    bool valid = true; // false: not a .reg file at all, read as empty and never written over
    bool wide = false; // UTF-16LE, else UTF-8 (and REGEDIT4's ANSI taken as UTF-8)
    std::string bom;
    std::u16string eol = u"\n"; // the file's own line ending, for the lines a write adds
    std::vector<RegLine> lines;
    std::vector<RegEntry> entries;
    std::vector<std::string> diagnostics; // "path:line: message"
    bool modified = false;
};

struct RegValue {
    DWORD type;
    std::vector<BYTE> data;
};

// The registry the file describes once imported: folded key path ("" the root) to its values
// by folded name. A key is there exactly when it exists.
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
// Reads and parses the file without a lock, and reports its diagnostics on standard error once
// per distinct content. A missing file is an empty registry. Returns 0 or the errno.
int RegStoreLoad(RegDocument &doc, const std::string &path);
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
