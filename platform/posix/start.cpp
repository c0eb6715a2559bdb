// POSIX start-up: main() joins its arguments into the device's command line and calls WinMain.
#include "port.h"

int main(int argc, char **argv)
{
    // The device hands WinMain one line of text; single spaces are the best a host can do to
    // rebuild it from separate arguments.
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            line += ' ';
        line += argv[i];
    }
    std::u16string commandLine = Utf8ToUtf16(line);
    return WinMain(ZEMBREL_POSIX_INSTANCE, NULL, &commandLine[0], SW_SHOWNORMAL);
}
