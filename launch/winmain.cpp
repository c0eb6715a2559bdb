// The entry point: the compatibility gate, the hand-off to the upgrade program, and the exit.
#include "launch/zembrel.h"
#include "registry/registry.h"

HINSTANCE g_hInstance = NULL;
int g_fUnattended = 0;
LONG g_nTimeout = DEFAULT_TIMEOUT_SECONDS;

static const WCHAR UPGRADE_PROGRAM[] = TEXT("\\Windows\\upgrade.exe");
static const WCHAR UPGRADE_DIRECTORY[] = TEXT("\\Windows");
static const WCHAR OWN_EXECUTABLE[] = TEXT("\\Windows\\zembrel.exe");
static const WCHAR NO_UPGRADE_OPTION[] = TEXT("-NoUPGRADE");
static const WCHAR NO_ZEMBREL_OPTION[] = TEXT(" -NoZEMBRL");

// The parameter buffer is never smaller than the device's MAX_PATH.
#define MIN_PARAMETER_CHARS 260

// A build that cannot be read at all counts as build 0: the gate never hands off on an
// unknown firmware.
DWORD ParseInstalledBuild(LPCWSTR buildText)
{
    if (buildText == NULL)
        return 0;
    WCHAR *end = NULL;
    return (DWORD)wcstol(buildText, &end, 10);
}

// Compared unsigned, so a build text that parses negative passes as a very high build.
BOOL IsCompatibleBuild(DWORD build)
{
    return build >= (DWORD)REQUIRED_BUILD;
}

// The upgrade program's parameters: the command line with its first "-NoUPGRADE" and all
// that follows replaced by " -NoZEMBRL", or with " -NoZEMBRL" appended. The buffer is
// sized to the line, so a long line reaches the upgrade program whole. The caller frees it.
LPWSTR MakeUpgradeParameters(LPCWSTR commandLine)
{
    if (commandLine == NULL)
        commandLine = TEXT("");
    size_t needed = wcslen(commandLine) + wcslen(NO_ZEMBREL_OPTION) + 1;
    if (needed < MIN_PARAMETER_CHARS)
        needed = MIN_PARAMETER_CHARS;
    LPWSTR parameters = (LPWSTR)malloc(needed * sizeof(WCHAR));
    if (parameters == NULL)
        return NULL;

    wcscpy(parameters, commandLine);
    WCHAR *option = wcsstr(parameters, NO_UPGRADE_OPTION);
    if (option != NULL)
        wcscpy(option, NO_ZEMBREL_OPTION);
    else
        wcscat(parameters, NO_ZEMBREL_OPTION);
    return parameters;
}

void HandOffToUpgrade(LPCWSTR commandLine)
{
    HANDLE probe = CreateFileW(UPGRADE_PROGRAM, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (probe == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(probe);

    LPWSTR parameters = MakeUpgradeParameters(commandLine);
    if (parameters == NULL)
        return;
    NKDbgPrintfW(TEXT("Cmd: %s\n"), parameters);

    SHELLEXECUTEINFO info = {};
    info.cbSize = sizeof(info);
    info.fMask = 0;
    info.hwnd = NULL;
    info.lpVerb = NULL;
    info.lpFile = UPGRADE_PROGRAM;
    info.lpParameters = parameters;
    info.lpDirectory = UPGRADE_DIRECTORY;
    info.nShow = SW_SHOWNORMAL;
    ShellExecuteEx(&info);
    free(parameters);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand)
{
    (void)previous;
    (void)showCommand;
    g_hInstance = instance;

    LPWSTR buildText = ReadRegString(HKEY_LOCAL_MACHINE, TEXT("Platform"), TEXT("Build"));
    DWORD build = ParseInstalledBuild(buildText);
    free(buildText);

    if (commandLine == NULL)
        commandLine = (LPWSTR)TEXT("");
    if (IsCompatibleBuild(build))
        HandOffToUpgrade(commandLine);
    else
        ReportIncompatibility(commandLine);

    // Always this fixed path, wherever the program was started from.
    DeleteFileW(OWN_EXECUTABLE);
    return 1;
}
