// Program launch: ShellExecuteExW as posix_spawn of the mapped program, with no shell and no wait.
#include "runtime.h"

#include <errno.h>
#include <signal.h>
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

// Why the program did not start, in the host's words, with what it means here where the
// bare error would mislead: the program itself was found, so a missing file is its interpreter.
static const char *WhyNotStarted(int error)
{
    switch (error) {
    case E2BIG:
        return "its command line is over the system's limit (Argument list too long)";
    case ENOENT:
        return "its interpreter or loader is missing (No such file or directory)";
    case ENOEXEC:
        return "it is not in a format this system runs (Exec format error)";
    }
    return strerror(error);
}

// A launch of the mapped program that fails says why, once, on standard error.
static BOOL FailStart(SHELLEXECUTEINFOW *info, const std::string &program, const char *why,
                      DWORD code)
{
    WriteDiagnostic("cannot start %s: %s", program.c_str(), why);
    return FailLaunch(info, code);
}

BOOL ShellExecuteExW(SHELLEXECUTEINFOW *info)
{
    if (info == NULL || info->cbSize != sizeof(SHELLEXECUTEINFOW)) {
        SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (info->lpFile == NULL || *info->lpFile == 0)
        return FailLaunch(info, ERROR_FILE_NOT_FOUND);

    std::string program = AbsolutePath(MapDevicePath(info->lpFile));
    struct stat programInfo;
    if (stat(program.c_str(), &programInfo) != 0)
        return FailStart(info, program, strerror(errno), Win32ErrorFromErrno(errno));
    if (!S_ISREG(programInfo.st_mode))
        return FailStart(info, program, "it is not a file", ERROR_ACCESS_DENIED);
    if (access(program.c_str(), X_OK) != 0)
        return FailStart(info, program, "it is not executable", ERROR_ACCESS_DENIED);

    std::string directory;
    if (info->lpDirectory != NULL && *info->lpDirectory != 0) {
        directory = MapDevicePath(info->lpDirectory);
        struct stat directoryInfo;
        if (stat(directory.c_str(), &directoryInfo) != 0 || !S_ISDIR(directoryInfo.st_mode))
            return FailStart(info, program, ("no folder " + directory + " to start it in").c_str(),
                             ERROR_PATH_NOT_FOUND);
    }

    // The parameter string travels as one argument, spacing and all: the upgrade program
    // splits it the way the device's programs do, not the way a shell would. Its bytes are
    // the ones the command line came with, UTF-8 or not.
    std::string parameters = Utf16ToUtf8Lossless(WideToString(info->lpParameters));
    char *argv[3] = {&program[0], NULL, NULL};
    if (info->lpParameters != NULL)
        argv[1] = &parameters[0];

    // This process ignores SIGPIPE for its own sake; the upgrade program gets the default.
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0)
        return FailStart(info, program, strerror(ENOMEM), ERROR_NOT_ENOUGH_MEMORY);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        posix_spawnattr_destroy(&attributes);
        return FailStart(info, program, strerror(ENOMEM), ERROR_NOT_ENOUGH_MEMORY);
    }
    int result = 0;
    if (!directory.empty())
        result = posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    pid_t pid = 0;
    if (result == 0)
        result = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0)
        return FailStart(info, program, WhyNotStarted(result), Win32ErrorFromErrno(result));

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
