// Typed reading and writing of registry values, each call complete in itself.
#pragma once

#include "platform/platform.h"

HKEY OpenRegKey(HKEY root, LPCWSTR subKey, REGSAM access);
HKEY CreateRegKey(HKEY root, LPCWSTR subKey);
void CloseRegKey(HKEY key);

LPWSTR QueryRegString(HKEY key, LPCWSTR name);
BOOL QueryRegDword(HKEY key, LPCWSTR name, LONG *out);
LONG SetRegDword(HKEY key, LPCWSTR name, DWORD value);

LPWSTR ReadRegString(HKEY root, LPCWSTR subKey, LPCWSTR name);
BOOL ReadRegDword(HKEY root, LPCWSTR subKey, LPCWSTR name, LONG *out);
void WriteRegDword(HKEY root, LPCWSTR subKey, LPCWSTR name, DWORD value);
