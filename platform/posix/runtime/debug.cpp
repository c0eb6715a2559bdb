// The port's standard error: the device's debug channel (NKDbgPrintfW) and the port's own lines.
#include "runtime.h"

#include <errno.h>
#include <stdio.h>
#include <unistd.h>

bool WriteFully(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        done += (size_t)count;
    }
    return true;
}

void NKDbgPrintfW(LPCWSTR format, ...)
{
    va_list args;
    va_start(args, format);
    // No length cap here: the device's channel takes a whole command line, however long, and
    // shows it with the very bytes the upgrade program gets.
    std::string text = Utf16ToUtf8Lossless(FormatWide(format, args));
    va_end(args);
    fflush(stderr);
    WriteFully(STDERR_FILENO, text);
}

void WriteDiagnostic(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string line = "zembrel: ";
    if (length > 0) {
        size_t prefix = line.size();
        line.resize(prefix + (size_t)length + 1);
        vsnprintf(&line[prefix], (size_t)length + 1, format, again);
        line.resize(prefix + (size_t)length);
    }
    va_end(again);
    // One write for the whole line, so that lines from two processes never interleave.
    fflush(stderr);
    WriteFully(STDERR_FILENO, line + "\n");
}
