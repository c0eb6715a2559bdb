// POSIX start-up: main() joins its arguments into the device's command line and calls WinMain.
#include "../port.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <new>

// A standard stream that was closed is opened on /dev/null, so the descriptor cannot go to
// the first file the port opens (the registry) and take the transcript or a diagnostic.
static void KeepStandardStreamsTaken()
{
    // In order, so that the lowest free descriptor open() takes is the one that was closed.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", O_RDWR);
}

int main(int argc, char **argv)
{
    KeepStandardStreamsTaken();
    // A reader that goes away (zembrel -SNMP | head -1) must cost a line of output, never the
    // status code or the clean-up: a write to it fails and the line is dropped.
    signal(SIGPIPE, SIG_IGN);

    // The device hands WinMain one line of text; single spaces are the best a host can do to
    // rebuild it from separate arguments. Bytes that are not UTF-8 travel through unchanged.
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            line += ' ';
        line += argv[i];
    }
    // The Windows start-up drops the blanks that open the command line before the program
    // sees it; inner and trailing ones stay.
    size_t first = line.find_first_not_of(" \t");
    line.erase(0, first == std::string::npos ? line.size() : first);
    // The port's calls that can run out of memory fail as Win32's do; should any other, the run
    // still ends with a word and the system's exit code, not an abort.
    try {
        std::u16string commandLine = Utf8ToUtf16Lossless(line);
        return WinMain(ZEMBREL_POSIX_INSTANCE, NULL, &commandLine[0], SW_SHOWNORMAL);
    } catch (const std::bad_alloc &) {
        static const char said[] = "zembrel: out of memory\n";
        if (write(STDERR_FILENO, said, sizeof said - 1) < 0) {
        }
        return 1;
    }
}
