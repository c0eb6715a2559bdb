// The device's debug channel on Windows: formatted text to OutputDebugStringW, of any length.
#include "platform/platform.h"

#include <stdarg.h>
#include <stdio.h>

LPWSTR FormatDebugText(LPCWSTR format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    int length = _vscwprintf(format, measure);
    va_end(measure);
    WCHAR *text = length >= 0 ? (WCHAR *)calloc((size_t)length + 1, sizeof(WCHAR)) : NULL;
    if (text != NULL)
        _vsnwprintf(text, (size_t)length + 1, format, args);
    return text;
}

void NKDbgPrintfW(LPCWSTR format, ...)
{
    va_list args;
    va_start(args, format);
    LPWSTR text = FormatDebugText(format, args);
    va_end(args);
    if (text != NULL)
        OutputDebugStringW(text);
    free(text);
}
