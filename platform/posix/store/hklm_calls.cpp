// Win32's registry calls over the .reg file store: key handles, access rules and result codes.
#include "regstore.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <stdexcept>
#include <unordered_set>

// Rights that need the file writable.
#define WRITE_RIGHTS (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)

struct KeyRecord {
    std::u16string path; // below HKEY_LOCAL_MACHINE, in the caller's spelling
    REGSAM access;
};

// Only handles given out here are honoured, so a stray or doubled close fails cleanly.
static std::unordered_set<KeyRecord *> s_keys;

// HKEY_LOCAL_MACHINE is the root itself, with whatever rights the file allows.
static bool ResolveKey(HKEY key, std::u16string &path, REGSAM &access)
{
    if (key == HKEY_LOCAL_MACHINE) {
        path.clear();
        access = KEY_READ | KEY_WRITE;
        return true;
    }
    KeyRecord *record = reinterpret_cast<KeyRecord *>(key);
    if (s_keys.count(record) == 0)
        return false;
    path = record->path;
    access = record->access;
    return true;
}

// Every call reads the file afresh, so another process's write shows at once; the parse of
// content already seen is shared. The system stays silent about a registry it cannot read; an
// administrator of the port still learns why.
static LONG ReadRegistry(std::shared_ptr<const RegDocument> &doc)
{
    std::string file = RegStorePath();
    int error = RegStoreRead(doc, file);
    if (error != 0) {
        RegStoreSayUnreadable(file, error);
        return ERROR_ACCESS_DENIED;
    }
    if (!doc->exists)
        RegStoreSayIfNoRoot(file); // it reads as empty all the same
    return ERROR_SUCCESS;
}

static LONG CheckRights(REGSAM access, bool valid)
{
    // Reading needs the file readable, which the read that came first has found it to be.
    std::string file = RegStorePath();
    if ((access & WRITE_RIGHTS) != 0 && valid && !RegStoreCanWrite(file)) {
        // The system stays silent about a value it cannot store; an administrator of the port
        // still learns why the file did not change.
        RegStoreSayReadOnly(file);
        return ERROR_ACCESS_DENIED;
    }
    if ((access & WRITE_RIGHTS) != 0 && !valid)
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

// The handle's key, when the handle was opened with the right.
static LONG KeyWithRight(HKEY key, REGSAM right, std::u16string &path)
{
    REGSAM access = 0;
    if (!ResolveKey(key, path, access))
        return ERROR_INVALID_HANDLE;
    return (access & right) != 0 ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

static LONG NewHandle(const std::u16string &path, REGSAM access, PHKEY result)
{
    std::unique_ptr<KeyRecord> record(new KeyRecord{path, access});
    s_keys.insert(record.get());
    *result = reinterpret_cast<HKEY>(record.release());
    return ERROR_SUCCESS;
}

// Said in a fixed buffer: the memory that ran out may not be back.
static void SayNoMemory(const char *what)
{
    try {
        WriteDiagnostic("%s: %s; the registry is unchanged", RegStorePath().c_str(), what);
    } catch (const std::exception &) {
        static const char line[] = "zembrel: registry.reg: out of memory\n";
        if (write(STDERR_FILENO, line, sizeof line - 1) < 0) {
        }
    }
}

// The store keeps the file's text and its parse in standard containers; a call that runs out of
// memory fails as Win32's does, and says so, and the system's code, which knows no exceptions,
// goes on. No exception leaves a registry call.
template <typename Call> static LONG FailingOnNoMemory(Call call)
{
    try {
        return call();
    } catch (const std::bad_alloc &) {
        SayNoMemory("out of memory, so the registry call fails");
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (const std::exception &fault) {
        SayNoMemory(fault.what());
        return ERROR_REGISTRY_CORRUPT;
    }
}

// What opening and creating share: the subkey's full path, and the registry as it is now.
struct KeyLookup {
    std::u16string path;
    REGSAM parentAccess = 0;
    std::shared_ptr<const RegDocument> doc;
};

static LONG LookUpKey(HKEY key, LPCWSTR subKey, KeyLookup &lookup)
{
    std::u16string parent;
    if (!ResolveKey(key, parent, lookup.parentAccess))
        return ERROR_INVALID_HANDLE;
    std::u16string sub = WideToString(subKey);
    if (!RegStoreCleanPath(sub))
        return ERROR_BAD_PATHNAME;
    lookup.path = parent.empty() || sub.empty() ? parent + sub : parent + u"\\" + sub;
    return ReadRegistry(lookup.doc);
}

static LONG OpenKey(HKEY key, LPCWSTR subKey, REGSAM access, PHKEY result)
{
    KeyLookup lookup;
    LONG status = LookUpKey(key, subKey, lookup);
    if (status != ERROR_SUCCESS)
        return status;
    if (!RegStoreKeyExists(*lookup.doc, RegStoreFold(lookup.path)))
        return ERROR_FILE_NOT_FOUND;
    status = CheckRights(access, lookup.doc->valid);
    if (status != ERROR_SUCCESS)
        return status;
    return NewHandle(lookup.path, access, result);
}

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM access, PHKEY result)
{
    if (result == NULL)
        return ERROR_INVALID_PARAMETER;
    *result = NULL;
    return FailingOnNoMemory([&] { return OpenKey(key, subKey, access, result); });
}

static LONG CreateKey(HKEY key, LPCWSTR subKey, REGSAM access, PHKEY result, LPDWORD disposition)
{
    KeyLookup lookup;
    LONG status = LookUpKey(key, subKey, lookup);
    if (status == ERROR_SUCCESS)
        status = CheckRights(access, lookup.doc->valid);
    if (status != ERROR_SUCCESS)
        return status;

    const std::u16string &path = lookup.path;
    bool created = false;
    if (!RegStoreKeyExists(*lookup.doc, RegStoreFold(path))) {
        if ((lookup.parentAccess & KEY_CREATE_SUB_KEY) == 0)
            return ERROR_ACCESS_DENIED;
        // Another process may create it first; then this call opens it, as Win32's would.
        status = RegStoreUpdate(RegStorePath(), [&](RegDocument &doc) -> LONG {
            created = RegStoreCreateKey(doc, path);
            return created || RegStoreKeyExists(doc, RegStoreFold(path)) ? ERROR_SUCCESS
                                                                         : ERROR_INVALID_DATA;
        });
        if (status != ERROR_SUCCESS)
            return status;
    }
    status = NewHandle(path, access, result);
    if (status == ERROR_SUCCESS && disposition != NULL)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return status;
}

LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM access,
                     LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition)
{
    if (result == NULL)
        return ERROR_INVALID_PARAMETER;
    *result = NULL;
    return FailingOnNoMemory([&] { return CreateKey(key, subKey, access, result, disposition); });
}

static LONG QueryValue(HKEY key, LPCWSTR valueName, LPDWORD type, LPBYTE data, LPDWORD dataSize)
{
    std::u16string path;
    LONG status = KeyWithRight(key, KEY_QUERY_VALUE, path);
    if (status != ERROR_SUCCESS)
        return status;
    if (data != NULL && dataSize == NULL)
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<const RegDocument> doc;
    status = ReadRegistry(doc);
    if (status != ERROR_SUCCESS)
        return status;
    // The key may have gone since it was opened; a value is found only in a key that exists
    // (a deletion of the key forgets the values before it).
    RegValue value;
    if (!RegStoreQueryValue(*doc, RegStoreFold(path), RegStoreFold(WideToString(valueName)),
                            &value))
        return ERROR_FILE_NOT_FOUND;

    DWORD needed = (DWORD)value.data.size();
    if (type != NULL)
        *type = value.type;
    if (data != NULL && *dataSize < needed) {
        *dataSize = needed;
        return ERROR_MORE_DATA; // and the caller's buffer stays as it was
    }
    if (data != NULL && needed != 0)
        memcpy(data, value.data.data(), needed);
    if (dataSize != NULL)
        *dataSize = needed;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize)
{
    return FailingOnNoMemory([&] { return QueryValue(key, valueName, type, data, dataSize); });
}

LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE *data,
                    DWORD dataSize)
{
    if (data == NULL && dataSize != 0)
        return ERROR_INVALID_PARAMETER;
    return FailingOnNoMemory([&] {
        std::u16string path;
        LONG status = KeyWithRight(key, KEY_SET_VALUE, path);
        if (status != ERROR_SUCCESS)
            return status;
        std::u16string name = WideToString(valueName);
        // Under the writers' lock, on the file as it is then: the key may have gone meanwhile.
        return RegStoreUpdate(RegStorePath(), [&](RegDocument &doc) -> LONG {
            if (!RegStoreKeyExists(doc, RegStoreFold(path)))
                return ERROR_FILE_NOT_FOUND;
            return RegStoreSetValue(doc, path, name, type, data, dataSize);
        });
    });
}

LONG RegCloseKey(HKEY key)
{
    // As on Win32, closing a predefined root is allowed and does nothing.
    if (key == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    KeyRecord *record = reinterpret_cast<KeyRecord *>(key);
    if (s_keys.erase(record) == 0)
        return ERROR_INVALID_HANDLE;
    delete record;
    return ERROR_SUCCESS;
}
