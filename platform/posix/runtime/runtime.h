// Helpers private to the port's runtime modules: the wide formatter and host error mapping.
#pragma once

#include "../port.h"

#include <stdarg.h>
#include <string>

// Formats as wsprintfW does, stopping once the text holds `limit` characters. The debug
// channel passes no limit, so a long command line reaches standard error whole.
std::u16string FormatWide(LPCWSTR format, va_list args, size_t limit = (size_t)-1);

// A digit's value in any base up to 36 (0-9, then a-z or A-Z), or 99 for no digit at all.
int DigitValue(WCHAR c);

// The Win32 error code that best tells a caller what a failed host call's errno meant.
DWORD Win32ErrorFromErrno(int error);
