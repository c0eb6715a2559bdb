// Program launch: ShellExecuteExW as posix_spawn of the mapped program, with no shell and no wait.
#include "runtime.h"

#include <errno.h>
#include <spawn.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <new>
#include <vector>

extern char **environ;

// ShellExecuteEx reports success through hInstApp as a value above 32, failure as 32 or less.
#define SHELL_LAUNCHED 33
#define SE_ERR_FNF 2
#define SE_ERR_PNF 3
#define SE_ERR_ACCESSDENIED 5
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_NO_ASSOCIATION 1155

static BOOL FailLaunch(SHELLEXECUTEINFOW *info, DWORD code)
{
    uintptr_t shellCode = SE_ERR_ACCESSDENIED;
    if (code == ERROR_FILE_NOT_FOUND)
        shellCode = SE_ERR_FNF;
    else if (code == ERROR_PATH_NOT_FOUND)
        shellCode = SE_ERR_PNF;
    info->hInstApp = (HINSTANCE)shellCode;
    SetLastErrorCode(code);
    return FALSE;
}

// The child's working directory changes before exec, so a relative root must be made absolute
// here or the program would be looked for under its own folder.
static std::string AbsolutePath(const std::string &path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    char *cwd = getcwd(NULL, 0);
    if (cwd == NULL)
        return path;
    std::string absolute = std::string(cwd) + "/" + path;
    free(cwd);
    return absolute;
}

static bool IsDefaultVerb(LPCWSTR verb)
{
    static const WCHAR OPEN[] = TEXT("open");
    if (verb == NULL || *verb == 0)
        return true;
    size_t i = 0;
    for (; OPEN[i] != 0; ++i)
        if ((verb[i] | 0x20) != OPEN[i])
            return false;
    return verb[i] == 0;
}

// The launcher never waits. The programs it started earlier are reaped, without waiting, each
// time it starts another, so a long-lived caller keeps no zombie but the last one. A thread
// waiting for each child would cost every hand-off a thread, and its exit the wake-up of it.
static std::vector<pid_t> s_started;

static void ReapEnded()
{
    for (size_t i = 0; i < s_started.size();) {
        if (waitpid(s_started[i], NULL, WNOHANG) != 0)
            s_started.erase(s_started.begin() + (ptrdiff_t)i);
        else
            ++i;
    }
}

BOOL ShellExecuteExW(SHELLEXECUTEINFOW *info)
{
    if (info == NULL || info->cbSize != sizeof(SHELLEXECUTEINFOW)) {
        SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (info->lpFile == NULL || *info->lpFile == 0)
        return FailLaunch(info, ERROR_FILE_NOT_FOUND);
    if (!IsDefaultVerb(info->lpVerb))
        return FailLaunch(info, ERROR_NO_ASSOCIATION);

    std::string program = AbsolutePath(MapDevicePath(info->lpFile));
    struct stat programInfo;
    if (stat(program.c_str(), &programInfo) != 0)
        return FailLaunch(info, Win32ErrorFromErrno(errno));
    if (!S_ISREG(programInfo.st_mode) || access(program.c_str(), X_OK) != 0)
        return FailLaunch(info, ERROR_ACCESS_DENIED);

    std::string directory;
    if (info->lpDirectory != NULL && *info->lpDirectory != 0) {
        directory = MapDevicePath(info->lpDirectory);
        struct stat directoryInfo;
        if (stat(directory.c_str(), &directoryInfo) != 0 || !S_ISDIR(directoryInfo.st_mode))
            return FailLaunch(info, ERROR_PATH_NOT_FOUND);
    }

    // The parameter string travels as one argument, spacing and all: the upgrade program
    // splits it the way the device's programs do, not the way a shell would.
    std::string parameters = Utf16ToUtf8(WideToString(info->lpParameters));
    char *argv[3] = {&program[0], NULL, NULL};
    if (info->lpParameters != NULL)
        argv[1] = &parameters[0];

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return FailLaunch(info, ERROR_NOT_ENOUGH_MEMORY);
    int result = 0;
    if (!directory.empty())
        result = posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    pid_t pid = 0;
    if (result == 0)
        result = posix_spawn(&pid, program.c_str(), &actions, NULL, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0)
        return FailLaunch(info, Win32ErrorFromErrno(result));

    ReapEnded();
    try {
        s_started.push_back(pid);
    } catch (const std::bad_alloc &) {
        // Then this one stays a zombie until the caller exits; no harm.
    }
    info->hInstApp = (HINSTANCE)(uintptr_t)SHELL_LAUNCHED;
    SetLastErrorCode(ERROR_SUCCESS);
    return TRUE;
}
