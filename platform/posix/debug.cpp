// The device's debug channel on the port: NKDbgPrintfW's text, UTF-8, to standard error.
#include "runtime.h"

#include <stdio.h>

void NKDbgPrintfW(LPCWSTR format, ...)
{
    va_list args;
    va_start(args, format);
    // No length cap here: the device's channel takes a whole command line, however long.
    std::string text = Utf16ToUtf8(FormatWide(format, args));
    va_end(args);
    fwrite(text.data(), 1, text.size(), stderr);
    fflush(stderr);
}
