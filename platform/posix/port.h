// Helpers that the POSIX port's modules share: text conversion, the device-root mapping and
// the port's own lines on standard error.
#pragma once

#include "win32api.h"

#include <string>

// The instance handle main() gives WinMain, which the resource functions accept.
#define ZEMBREL_POSIX_INSTANCE ((HINSTANCE)(uintptr_t)0x400000)

// UTF-16 to UTF-8 and back; unpaired surrogates and invalid bytes become U+FFFD. The
// registry store and the screen take these: a .reg file holds only well-formed text.
std::string Utf16ToUtf8(const std::u16string &text);
std::u16string Utf8ToUtf16(const std::string &text);
size_t Utf8ToUtf16(const char *text, size_t size, char16_t *out); // room for size units
// The same, but a byte that is not UTF-8 becomes U+DC80..U+DCFF and such a unit becomes that
// byte again, so bytes from the host come back out as they came. For text that only passes
// through: the command line on its way to the upgrade program and the debug channel.
std::string Utf16ToUtf8Lossless(const std::u16string &text);
std::u16string Utf8ToUtf16Lossless(const std::string &text);
std::u16string WideToString(LPCWSTR text); // a zero-terminated WCHAR string, or "" for null
// Windows-1252, the ANSI code page regedit reads an 8-bit file in on a Western system: every
// byte has a character; a character the code page lacks makes the conversion fail.
size_t Cp1252ToUtf16(const char *text, size_t size, char16_t *out); // room for size units
bool Utf16ToCp1252(const std::u16string &text, std::string &out);
// The offset of the first byte that is not well-formed UTF-8, or size when there is none.
size_t FirstNonUtf8(const char *text, size_t size);

// The host folder that stands for the device's root "\": $ZEMBREL_ROOT, or "/" when unset.
std::string DeviceRoot();

// Maps a device path such as "\Windows\upgrade.exe" (or "Windows\upgrade.exe", taken from
// the root too) to a host path under DeviceRoot(). A component that does not exist under its
// exact name is matched case-insensitively against the folder's entries; one that matches
// nothing keeps its own spelling, so a file can still be created under it.
std::string MapDevicePath(LPCWSTR devicePath);

// Sets the thread's last-error code that GetLastError() reports.
void SetLastErrorCode(DWORD code);

// Writes all the bytes to the descriptor, going on after interruptions and short writes;
// false when it cannot (a closed stream, a pipe nobody reads), and the rest is dropped.
bool WriteFully(int fd, const std::string &bytes);

// The port's own diagnostics: "zembrel: " and the formatted text as one line on standard
// error, so that none reads like the debug channel's "Cmd: " line. A line that cannot be
// written is dropped.
void WriteDiagnostic(const char *format, ...) __attribute__((format(printf, 1, 2)));
