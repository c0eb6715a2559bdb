// Test support on the POSIX port: a fresh device root for each test, and the Win32 calls that
// only the tests make, read from the port's window table and resources.
#include "posix/windowing/wintable.h"
#include "test_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

static std::string s_root;

void ResetTestRegistry()
{
    CleanUpTestRegistry();
    char pattern[] = "/tmp/zembrel-unit-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    s_root = pattern;
    setenv("ZEMBREL_ROOT", s_root.c_str(), 1);
    // A UTF-16 file, as regedit exports one: it holds any value's bytes as the registry does
    // (in a file of 8-bit text, string data in hex is text of its code page).
    std::u16string header = u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n";
    FILE *file = fopen((s_root + "/registry.reg").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    for (char16_t c : header) {
        fputc(c & 0xFF, file);
        fputc(c >> 8, file);
    }
    ASSERT_EQ(fclose(file), 0);
}

void CleanUpTestRegistry()
{
    if (!s_root.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(s_root, ignored);
        s_root.clear();
    }
}

// ---- Win32 calls the system never makes, as Win32 answers them ------------------------------

int GetWindowTextW(HWND handle, LPWSTR buffer, int capacity)
{
    if (buffer == NULL || capacity <= 0)
        return 0;
    const Window *window = LookUpWindow(handle);
    std::u16string text = window != nullptr ? window->text : u"";
    size_t count = std::min(text.size(), (size_t)capacity - 1);
    std::copy(text.begin(), text.begin() + (ptrdiff_t)count, buffer);
    buffer[count] = 0;
    return (int)count;
}

UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR buffer, int capacity)
{
    return (UINT)GetWindowTextW(GetDlgItem(dialog, id), buffer, capacity);
}

BOOL IsWindowVisible(HWND handle)
{
    const Window *window = LookUpWindow(handle);
    return window != nullptr && IsShown(*window);
}

LONG GetWindowLongW(HWND handle, int index)
{
    const Window *window = LookUpWindow(handle);
    if (window == nullptr)
        return 0;
    switch (index) {
    case GWL_STYLE:
        return (LONG)window->style;
    case GWL_EXSTYLE:
        return (LONG)window->exStyle;
    case GWL_ID:
        return window->id;
    }
    return 0;
}

HWND GetParent(HWND handle)
{
    const Window *window = LookUpWindow(handle);
    return window == nullptr ? NULL : window->parent;
}

int GetDlgCtrlID(HWND handle)
{
    const Window *window = LookUpWindow(handle);
    return window == nullptr || window->isDialog ? 0 : window->id;
}

DWORD SizeofResource(HMODULE module, HRSRC resource)
{
    if (LoadResource(module, resource) == NULL)
        return 0;
    return ((const ResourceEntry *)resource)->size;
}

// FindResourceW prefers US English to every other language, so it finds the US English one
// whenever there is one; of another language it finds the resource while that is its only
// one, as it is for every resource the program carries.
HRSRC FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language)
{
    HRSRC found = FindResourceW(module, name, type);
    if (found == NULL || ((const ResourceEntry *)found)->language != language)
        return NULL;
    return found;
}
