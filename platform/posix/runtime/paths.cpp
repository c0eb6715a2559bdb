// The device root, device-path mapping onto the host's file system, and the last-error code.
#include "runtime.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <vector>

static thread_local DWORD t_lastError = ERROR_SUCCESS;

void SetLastErrorCode(DWORD code)
{
    t_lastError = code;
}

DWORD GetLastError(void)
{
    return t_lastError;
}

DWORD Win32ErrorFromErrno(int error)
{
    switch (error) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ELOOP:
        return 3; // ERROR_PATH_NOT_FOUND
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case ETXTBSY:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return 80; // ERROR_FILE_EXISTS
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG:
        return 206; // ERROR_FILENAME_EXCED_RANGE
    case EMFILE:
    case ENFILE:
        return 4; // ERROR_TOO_MANY_OPEN_FILES
    case ENOSPC:
        return 112; // ERROR_DISK_FULL
    case ENOEXEC:
        return 193; // ERROR_BAD_EXE_FORMAT
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    default:
        return 31; // ERROR_GEN_FAILURE
    }
}

std::string DeviceRoot()
{
    const char *env = getenv("ZEMBREL_ROOT");
    std::string root = env != NULL && *env != 0 ? env : "/";
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

// The device's file system ignores case: ASCII, Latin-1, Greek and Cyrillic letters fold here,
// which covers every name a firmware image ships with.
static char16_t FoldCase(char16_t c)
{
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) ||
        (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) || (c >= 0x430 && c <= 0x44F))
        return (char16_t)(c - 0x20);
    if (c >= 0x450 && c <= 0x45F)
        return (char16_t)(c - 0x50);
    if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 &&
        c != 0x17F) {
        // Latin Extended-A pairs capitals with the next code point, even-first except in two runs.
        bool oddFirst = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (oddFirst ? (c % 2 == 0) : (c % 2 == 1))
            return (char16_t)(c - 1);
    }
    return c;
}

static bool SameNameIgnoringCase(const std::string &a, const std::string &b)
{
    std::u16string wa = Utf8ToUtf16(a);
    std::u16string wb = Utf8ToUtf16(b);
    if (wa.size() != wb.size())
        return false;
    for (size_t i = 0; i < wa.size(); ++i)
        if (FoldCase(wa[i]) != FoldCase(wb[i]))
            return false;
    return true;
}

static bool Exists(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

// The entry of `folder` whose name matches `name` ignoring case; when several do (a host file
// system can hold "Windows" and "WINDOWS" side by side), the least in byte order, so the
// choice never depends on the directory's order.
static std::string MatchEntry(const std::string &folder, const std::string &name)
{
    DIR *dir = opendir(folder.c_str());
    if (dir == NULL)
        return name;
    std::string best;
    bool found = false;
    while (struct dirent *entry = readdir(dir)) {
        std::string candidate = entry->d_name;
        if (SameNameIgnoringCase(candidate, name) && (!found || candidate < best)) {
            best = candidate;
            found = true;
        }
    }
    closedir(dir);
    return found ? best : name;
}

static std::string JoinPath(const std::string &folder, const std::string &name)
{
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string MapDevicePath(LPCWSTR devicePath)
{
    std::string path = DeviceRoot();
    std::string text = Utf16ToUtf8(WideToString(devicePath));
    // Win32 takes either slash as a separator; doubled separators name no extra component.
    std::vector<std::string> components(1);
    for (char c : text) {
        if (c == '\\' || c == '/')
            components.emplace_back();
        else
            components.back() += c;
    }
    bool missing = false;
    for (const std::string &component : components) {
        if (component.empty())
            continue;
        std::string exact = JoinPath(path, component);
        if (missing || component == "." || component == ".." || Exists(exact)) {
            path = exact;
            continue;
        }
        std::string matched = MatchEntry(path, component);
        path = JoinPath(path, matched);
        // Nothing can lie under a component that does not exist; skip the later folder scans.
        missing = matched == component;
    }
    return path;
}
