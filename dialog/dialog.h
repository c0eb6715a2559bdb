// The incompatibility dialog's message handler.
#pragma once

#include "platform/platform.h"
#include "resources/resource.h"

INT_PTR CALLBACK AddOnErrorDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
