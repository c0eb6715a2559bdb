/* Stands in for \Windows\upgrade.exe: records its command line and working directory. */
#include <wchar.h>
#include <windows.h>

/*
 * Writes upgrade-args.txt next to itself, UTF-16LE without a byte-order mark: the whole
 * command line as GetCommandLineW gives it, one zero character, the current directory. The
 * file is written under another name and renamed, so a reader sees all of it or nothing.
 */
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand)
{
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)showCommand;

    WCHAR folder[MAX_PATH + 1];
    DWORD length = GetModuleFileNameW(NULL, folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 2;
    WCHAR *slash = wcsrchr(folder, L'\\');
    if (slash == NULL)
        return 2;
    slash[1] = 0;

    WCHAR partial[MAX_PATH + 32];
    WCHAR final[MAX_PATH + 32];
    wsprintfW(partial, L"%supgrade-args.tmp", folder);
    wsprintfW(final, L"%supgrade-args.txt", folder);

    LPCWSTR line = GetCommandLineW();
    WCHAR directory[MAX_PATH + 1];
    DWORD directoryLength = GetCurrentDirectoryW(MAX_PATH + 1, directory);
    if (directoryLength == 0 || directoryLength > MAX_PATH)
        return 3;

    HANDLE file =
        CreateFileW(partial, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 4;
    DWORD written = 0;
    BOOL ok = WriteFile(file, line, (DWORD)(wcslen(line) * sizeof(WCHAR)), &written, NULL);
    WCHAR zero = 0;
    ok = ok && WriteFile(file, &zero, sizeof(zero), &written, NULL);
    ok = ok && WriteFile(file, directory, directoryLength * (DWORD)sizeof(WCHAR), &written, NULL);
    CloseHandle(file);
    if (!ok || !MoveFileExW(partial, final, MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(partial);
        return 5;
    }
    return 0;
}
