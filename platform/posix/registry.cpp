// Win32's registry calls over the .reg file store: key handles, access rules and result codes.
#include "regstore.h"

#include <stdio.h>
#include <string.h>

#include <mutex>
#include <new>
#include <unordered_set>

// Rights that need the file readable, and rights that need it writable.
#define READ_RIGHTS (KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY)
#define WRITE_RIGHTS (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)

struct KeyRecord {
    std::u16string path; // below HKEY_LOCAL_MACHINE, in the caller's spelling
    REGSAM access;
};

// Only handles given out here are honoured, so a stray or doubled close fails cleanly.
static std::mutex s_keysLock;
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
    std::lock_guard<std::mutex> guard(s_keysLock);
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
    int error = RegStoreReadError(file);
    if (error == 0)
        error = RegStoreRead(doc, file);
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
    std::string file = RegStorePath();
    if ((access & READ_RIGHTS) != 0 && RegStoreReadError(file) != 0)
        return ERROR_ACCESS_DENIED;
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

static LONG NewHandle(const std::u16string &path, REGSAM access, PHKEY result)
{
    KeyRecord *record = new (std::nothrow) KeyRecord{path, access};
    if (record == NULL)
        return ERROR_NOT_ENOUGH_MEMORY;
    std::lock_guard<std::mutex> guard(s_keysLock);
    s_keys.insert(record);
    *result = reinterpret_cast<HKEY>(record);
    return ERROR_SUCCESS;
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
    try {
        return OpenKey(key, subKey, access, result);
    } catch (const std::bad_alloc &) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
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
            return ERROR_SUCCESS;
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
    try {
        return CreateKey(key, subKey, access, result, disposition);
    } catch (const std::bad_alloc &) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

static LONG QueryValue(HKEY key, LPCWSTR valueName, LPDWORD type, LPBYTE data, LPDWORD dataSize)
{
    std::u16string path;
    REGSAM access = 0;
    if (!ResolveKey(key, path, access))
        return ERROR_INVALID_HANDLE;
    if ((access & KEY_QUERY_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    if (data != NULL && dataSize == NULL)
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<const RegDocument> doc;
    LONG status = ReadRegistry(doc);
    if (status != ERROR_SUCCESS)
        return status;
    // The key may have gone since it was opened.
    std::u16string folded = RegStoreFold(path);
    RegValue value;
    if (!RegStoreKeyExists(*doc, folded) ||
        !RegStoreQueryValue(*doc, folded, RegStoreFold(WideToString(valueName)), &value))
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
    try {
        return QueryValue(key, valueName, type, data, dataSize);
    } catch (const std::bad_alloc &) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

// Runs a change to the handle's key, under the writers' lock, on the file as it is then.
static LONG ChangeKey(HKEY key,
                      const std::function<LONG(RegDocument &, const std::u16string &)> &change)
{
    std::u16string path;
    REGSAM access = 0;
    if (!ResolveKey(key, path, access))
        return ERROR_INVALID_HANDLE;
    if ((access & KEY_SET_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    return RegStoreUpdate(RegStorePath(), [&](RegDocument &doc) -> LONG {
        if (!RegStoreKeyExists(doc, RegStoreFold(path)))
            return ERROR_FILE_NOT_FOUND;
        return change(doc, path);
    });
}

LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE *data,
                    DWORD dataSize)
{
    if (data == NULL && dataSize != 0)
        return ERROR_INVALID_PARAMETER;
    try {
        std::u16string name = WideToString(valueName);
        return ChangeKey(key, [&](RegDocument &doc, const std::u16string &path) {
            return RegStoreSetValue(doc, path, name, type, data, dataSize);
        });
    } catch (const std::bad_alloc &) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG RegDeleteValueW(HKEY key, LPCWSTR valueName)
{
    try {
        std::u16string name = WideToString(valueName);
        return ChangeKey(key, [&](RegDocument &doc, const std::u16string &path) {
            return RegStoreDeleteValue(doc, path, name);
        });
    } catch (const std::bad_alloc &) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG RegCloseKey(HKEY key)
{
    // As on Win32, closing a predefined root is allowed and does nothing.
    if (key == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    KeyRecord *record = reinterpret_cast<KeyRecord *>(key);
    {
        std::lock_guard<std::mutex> guard(s_keysLock);
        if (key == NULL || s_keys.erase(record) == 0)
            return ERROR_INVALID_HANDLE;
    }
    delete record;
    return ERROR_SUCCESS;
}
