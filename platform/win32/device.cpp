// The device root on Windows: ZEMBREL_HKLM for the device's keys, ZEMBREL_ROOT for its files.
#include "platform/win32/win32.h"

#include <stdlib.h>
#include <wchar.h>

// A name as the call will use it: the caller's own, or a copy under the device root that the
// call frees when it is done.
struct Mapped {
    LPCWSTR text;
    LPWSTR owned;
};

static void Release(Mapped *mapped)
{
    free(mapped->owned);
}

// The variable's value, or an empty string when it is unset or empty; NULL when there is no
// memory for it. The caller frees it.
static LPWSTR ReadVariable(LPCWSTR name)
{
    DWORD size = GetEnvironmentVariableW(name, NULL, 0);
    LPWSTR value = (LPWSTR)calloc(size + 1, sizeof(WCHAR));
    if (value != NULL && size != 0 && GetEnvironmentVariableW(name, value, size) >= size)
        value[0] = 0; // changed meanwhile: not ours to guess
    return value;
}

static BOOL IsSeparator(WCHAR c)
{
    return c == L'\\' || c == L'/';
}

static void TrimSeparators(LPWSTR text)
{
    size_t length = wcslen(text);
    while (length > 0 && IsSeparator(text[length - 1]))
        text[--length] = 0;
}

// first + between + second in a fresh buffer, or NULL when there is no memory.
static LPWSTR Join(LPCWSTR first, LPCWSTR between, LPCWSTR second)
{
    size_t length = wcslen(first) + wcslen(between) + wcslen(second) + 1;
    LPWSTR joined = (LPWSTR)malloc(length * sizeof(WCHAR));
    if (joined != NULL) {
        wcscpy(joined, first);
        wcscat(joined, between);
        wcscat(joined, second);
    }
    return joined;
}

// ---- Keys --------------------------------------------------------------------------------

static const struct {
    LPCWSTR name;
    HKEY key;
} ROOT_KEYS[] = {
    {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {L"HKCU", HKEY_CURRENT_USER},
    {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {L"HKLM", HKEY_LOCAL_MACHINE},
};

// The root key that "ROOT\path" starts with, and where its path starts; NULL for another name.
static HKEY ParseRootKey(LPCWSTR name, LPCWSTR *path)
{
    for (const auto &root : ROOT_KEYS) {
        size_t length = wcslen(root.name);
        if (_wcsnicmp(name, root.name, length) == 0 &&
            (name[length] == 0 || name[length] == L'\\')) {
            *path = name[length] == 0 ? name + length : name + length + 1;
            return root.key;
        }
    }
    return NULL;
}

// The key and subkey a call on `*key` really goes to. A name that ZEMBREL_HKLM cannot mean
// fails the call: the device's values must not land in the real HKEY_LOCAL_MACHINE by mistake.
static LSTATUS MapDeviceKey(HKEY *key, LPCWSTR subKey, Mapped *mapped)
{
    mapped->text = subKey;
    mapped->owned = NULL;
    if (*key != HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    LPWSTR device = ReadVariable(L"ZEMBREL_HKLM");
    if (device == NULL)
        return ERROR_NOT_ENOUGH_MEMORY;
    LSTATUS status = ERROR_SUCCESS;
    if (device[0] != 0) {
        TrimSeparators(device);
        LPCWSTR path = NULL;
        HKEY root = ParseRootKey(device, &path);
        if (root == NULL) {
            status = ERROR_BAD_PATHNAME;
        } else {
            LPCWSTR below = subKey != NULL ? subKey : L"";
            mapped->owned = Join(path, path[0] != 0 && below[0] != 0 ? L"\\" : L"", below);
            mapped->text = mapped->owned;
            *key = root;
            if (mapped->owned == NULL)
                status = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    free(device);
    return status;
}

LSTATUS ZembrelRegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    Mapped mapped;
    LSTATUS status = MapDeviceKey(&key, subKey, &mapped);
    if (status == ERROR_SUCCESS)
        status = RegOpenKeyExW(key, mapped.text, options, access, result);
    else if (result != NULL)
        *result = NULL;
    Release(&mapped);
    return status;
}

LSTATUS ZembrelRegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                               DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                               PHKEY result, LPDWORD disposition)
{
    Mapped mapped;
    LSTATUS status = MapDeviceKey(&key, subKey, &mapped);
    if (status == ERROR_SUCCESS)
        status = RegCreateKeyExW(key, mapped.text, reserved, keyClass, options, access, security,
                                 result, disposition);
    else if (result != NULL)
        *result = NULL;
    Release(&mapped);
    return status;
}

// ---- Files -------------------------------------------------------------------------------

// A device path is rooted on no drive ("\Windows\upgrade.exe"); "\\server\share" and "\\?\"
// names, drive paths and relative ones are Windows' own and stay as they are.
static BOOL IsDevicePath(LPCWSTR path)
{
    return path != NULL && IsSeparator(path[0]) && !IsSeparator(path[1]);
}

static BOOL MapDevicePath(LPCWSTR path, Mapped *mapped)
{
    mapped->text = path;
    mapped->owned = NULL;
    if (!IsDevicePath(path))
        return TRUE;
    LPWSTR root = ReadVariable(L"ZEMBREL_ROOT");
    if (root == NULL)
        return FALSE;
    TrimSeparators(root);
    if (root[0] != 0) {
        mapped->owned = Join(root, L"", path);
        mapped->text = mapped->owned;
    }
    BOOL mappedAll = root[0] == 0 || mapped->owned != NULL;
    free(root);
    return mappedAll;
}

HANDLE ZembrelCreateFileW(LPCWSTR fileName, DWORD access, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD attributes,
                          HANDLE templateFile)
{
    Mapped mapped;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (MapDevicePath(fileName, &mapped))
        file = CreateFileW(mapped.text, access, shareMode, security, disposition, attributes,
                           templateFile);
    else
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    Release(&mapped);
    return file;
}

BOOL ZembrelDeleteFileW(LPCWSTR fileName)
{
    Mapped mapped;
    BOOL deleted = FALSE;
    if (MapDevicePath(fileName, &mapped))
        deleted = DeleteFileW(mapped.text);
    else
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    Release(&mapped);
    return deleted;
}

BOOL ZembrelShellExecuteExW(SHELLEXECUTEINFOW *info)
{
    if (info == NULL)
        return ShellExecuteExW(info);
    Mapped file;
    Mapped directory;
    BOOL started = FALSE;
    BOOL fileMapped = MapDevicePath(info->lpFile, &file);
    BOOL directoryMapped = MapDevicePath(info->lpDirectory, &directory);
    if (fileMapped && directoryMapped) {
        // The caller's record keeps its own names; only what the shell reports comes back.
        SHELLEXECUTEINFOW mapped = *info;
        mapped.lpFile = file.text;
        mapped.lpDirectory = directory.text;
        // The device's shell shows no box of its own when a launch fails, and the system deletes
        // its file and exits right after the call: desktop Windows keeps both rules only when
        // told not to show its error box and to finish the launch before returning.
        mapped.fMask |= SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
        started = ShellExecuteExW(&mapped);
        info->hInstApp = mapped.hInstApp;
        info->hProcess = mapped.hProcess;
    } else {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    Release(&file);
    Release(&directory);
    return started;
}
