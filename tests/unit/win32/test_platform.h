// Test support on Windows: the module the tests load from; windows.h declares every call they make.
#pragma once

#include "platform/platform.h"

// The module whose resources the system loads: the test program itself.
inline HINSTANCE TestInstance()
{
    return GetModuleHandleW(NULL);
}
