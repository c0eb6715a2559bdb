// File handles over open(2): CreateFileW, CloseHandle and DeleteFileW on mapped device paths.
#include "runtime.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <unordered_set>

struct FileHandle {
    int fd;
};

// Only handles this module gave out may be closed, so a stray or doubled CloseHandle fails
// with ERROR_INVALID_HANDLE instead of closing someone else's descriptor.
static std::unordered_set<FileHandle *> s_handles;

static HANDLE FailWith(DWORD code)
{
    SetLastErrorCode(code);
    return INVALID_HANDLE_VALUE;
}

static int OpenFlags(DWORD access, DWORD disposition)
{
    int flags = O_CLOEXEC;
    bool read = (access & GENERIC_READ) != 0;
    bool write = (access & GENERIC_WRITE) != 0;
    if (read && write)
        flags |= O_RDWR;
    else if (write)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;

    switch (disposition) {
    case OPEN_EXISTING:
        return flags;
    case CREATE_NEW:
        return flags | O_CREAT | O_EXCL;
    }
    return -1;
}

HANDLE CreateFileW(LPCWSTR fileName, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD attributes, HANDLE templateFile)
{
    (void)shareMode;
    (void)security;
    (void)attributes;
    (void)templateFile;
    if (fileName == NULL || *fileName == 0)
        return FailWith(fileName == NULL ? ERROR_INVALID_PARAMETER : 3);
    int flags = OpenFlags(access, disposition);
    if (flags == -1)
        return FailWith(ERROR_INVALID_PARAMETER);

    std::string path = MapDevicePath(fileName);
    // Never waits: a FIFO in a program's place would hold the run until a writer came.
    int fd = open(path.c_str(), flags | O_NONBLOCK, 0666);
    if (fd == -1)
        return FailWith(Win32ErrorFromErrno(errno));
    // open(2) lets a folder be read; Win32 refuses a folder as a file. The device's files are
    // regular files: a FIFO, socket or device in their place is none of them.
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        bool folder = S_ISDIR(info.st_mode);
        close(fd);
        if (!folder)
            WriteDiagnostic("%s: not a regular file, so it is not opened", path.c_str());
        return FailWith(ERROR_ACCESS_DENIED);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    FileHandle *handle = new (std::nothrow) FileHandle{fd};
    if (handle == NULL) {
        close(fd);
        return FailWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    s_handles.insert(handle);
    SetLastErrorCode(ERROR_SUCCESS);
    return handle;
}

BOOL CloseHandle(HANDLE handle)
{
    FileHandle *file = static_cast<FileHandle *>(handle);
    if (s_handles.erase(file) == 0) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    close(file->fd);
    delete file;
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR fileName)
{
    if (fileName == NULL || *fileName == 0) {
        SetLastErrorCode(fileName == NULL ? ERROR_INVALID_PARAMETER : 3);
        return FALSE;
    }
    std::string path = MapDevicePath(fileName);
    if (unlink(path.c_str()) != 0) {
        SetLastErrorCode(Win32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}
