// The device's debug channel on Windows: formatted text to OutputDebugStringW, of any length.
#include "platform/platform.h"

#include <stdarg.h>
#include <stdio.h>

void NKDbgPrintfW(LPCWSTR format, ...)
{
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int length = _vscwprintf(format, measure);
    va_end(measure);
    if (length >= 0) {
        WCHAR *text = (WCHAR *)calloc((size_t)length + 1, sizeof(WCHAR));
        if (text != NULL) {
            _vsnwprintf(text, (size_t)length + 1, format, args);
            OutputDebugStringW(text);
            free(text);
        }
    }
    va_end(args);
}
