// The run state and constants that the launch and the dialog share.
#pragma once

#include "platform/platform.h"

#define REQUIRED_VERSION TEXT("3.42")
#define REQUIRED_BUILD 389
#define DEFAULT_TIMEOUT_SECONDS 15
#define STATUS_INCOMPATIBLE 29

extern HINSTANCE g_hInstance; // set first thing by WinMain; resources load through it
extern int g_fUnattended;     // 1 when the command line asks for an unattended run
extern LONG g_nTimeout;       // seconds the dialog counts down when unattended
extern LONG g_nCountdown;     // seconds the dialog shows; the dialog's own

// The gate's steps, callable on their own.
DWORD ParseInstalledBuild(LPCWSTR buildText);
BOOL IsCompatibleBuild(DWORD build);
LPWSTR MakeUpgradeParameters(LPCWSTR commandLine);
void HandOffToUpgrade(LPCWSTR commandLine);
void ReportIncompatibility(LPCWSTR commandLine);
