// Helpers that the POSIX port's modules share: text conversion, the device-root mapping and
// the port's own lines on standard error.
#pragma once

#include "win32api.h"

#include <string>

// The instance handle main() gives WinMain, which the resource functions accept.
#define ZEMBREL_POSIX_INSTANCE ((HINSTANCE)(uintptr_t)0x400000)

// UTF-16 to UTF-8 and back; unpaired surrogates and invalid bytes become U+FFFD.
std::string Utf16ToUtf8(const std::u16string &text);
std::u16string Utf8ToUtf16(const std::string &text);
size_t Utf8ToUtf16(const char *text, size_t size, char16_t *out); // room for size units
std::u16string WideToString(LPCWSTR text); // a zero-terminated WCHAR string, or "" for null

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
