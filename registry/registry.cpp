// Registry value routines: open, create, query and set, and the composite read and write.
#include "registry/registry.h"

#include <string.h>

HKEY OpenRegKey(HKEY root, LPCWSTR subKey, REGSAM access)
{
    if (access != KEY_WRITE && access != KEY_READ)
        return NULL;
    HKEY key = NULL;
    if (RegOpenKeyExW(root, subKey, 0, access, &key) != ERROR_SUCCESS)
        return NULL;
    return key;
}

HKEY CreateRegKey(HKEY root, LPCWSTR subKey)
{
    WCHAR keyClass[1] = {0};
    HKEY created = NULL;
    DWORD disposition = 0;
    if (RegCreateKeyExW(root, subKey, 0, keyClass, 0, 0, NULL, &created, &disposition) !=
        ERROR_SUCCESS)
        return NULL;
    RegCloseKey(created);
    // Reopened so that the caller's handle carries exactly KEY_WRITE.
    return OpenRegKey(root, subKey, KEY_WRITE);
}

void CloseRegKey(HKEY key)
{
    RegCloseKey(key);
}

// A value with no whole character, or whose first character ends it, holds no text.
static BOOL IsEmptyString(DWORD type, const BYTE *data, DWORD size)
{
    if (type == REG_SZ)
        return size < sizeof(WCHAR) || (data[0] == 0 && data[1] == 0);
    if (size > 4)
        return FALSE;
    for (DWORD i = 0; i < size; ++i)
        if (data[i] != 0)
            return FALSE;
    return TRUE;
}

LPWSTR QueryRegString(HKEY key, LPCWSTR name)
{
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, NULL, &type, NULL, &size) != ERROR_SUCCESS)
        return NULL;
    if (type != REG_SZ && type != REG_MULTI_SZ)
        return NULL;

    // Room for the data plus a zero character of our own, so that a value stored without its
    // terminator (or with an odd number of bytes) still ends within the buffer.
    DWORD capacity = size + (size & 1) + sizeof(WCHAR);
    if (capacity < size)
        return NULL;
    BYTE *buffer = (BYTE *)malloc(capacity);
    if (buffer == NULL)
        return NULL;
    memset(buffer, 0, capacity);

    if (RegQueryValueExW(key, name, NULL, NULL, buffer, &size) != ERROR_SUCCESS ||
        IsEmptyString(type, buffer, size)) {
        free(buffer);
        return NULL;
    }
    return (LPWSTR)buffer;
}

BOOL QueryRegDword(HKEY key, LPCWSTR name, LONG *out)
{
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, NULL, &type, NULL, &size) != ERROR_SUCCESS)
        return FALSE;
    if (type != REG_DWORD)
        return FALSE;
    // Longer data would overrun the caller's four bytes; such a value is not a number.
    if (size > sizeof(*out))
        return FALSE;
    if (RegQueryValueExW(key, name, NULL, NULL, (LPBYTE)out, &size) != ERROR_SUCCESS)
        return FALSE;
    return size > 0;
}

LONG SetRegDword(HKEY key, LPCWSTR name, DWORD value)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof(value));
}

LPWSTR ReadRegString(HKEY root, LPCWSTR subKey, LPCWSTR name)
{
    if (subKey == NULL || name == NULL)
        return NULL;
    HKEY key = OpenRegKey(root, subKey, KEY_READ);
    if (key == NULL)
        return NULL;
    LPWSTR text = QueryRegString(key, name);
    CloseRegKey(key);
    return text;
}

BOOL ReadRegDword(HKEY root, LPCWSTR subKey, LPCWSTR name, LONG *out)
{
    if (subKey == NULL || name == NULL || out == NULL)
        return FALSE;
    HKEY key = OpenRegKey(root, subKey, KEY_READ);
    if (key == NULL)
        return FALSE;
    BOOL found = QueryRegDword(key, name, out);
    CloseRegKey(key);
    return found;
}

void WriteRegDword(HKEY root, LPCWSTR subKey, LPCWSTR name, DWORD value)
{
    HKEY key = CreateRegKey(root, subKey);
    if (key == NULL)
        return;
    SetRegDword(key, name, value);
    CloseRegKey(key);
}
