// The Win32 names zembrel.rc uses, with Win32's values, for both resource compilers: llvm-rc on
// a POSIX host has no Windows headers, and windres then reads the very same values.
#ifndef ZEMBREL_RCSTYLES_H
#define ZEMBREL_RCSTYLES_H

#define WS_POPUP 0x80000000
#define WS_CHILD 0x40000000
#define WS_VISIBLE 0x10000000
#define WS_CAPTION 0x00C00000
#define WS_BORDER 0x00800000
#define WS_SYSMENU 0x00080000
#define WS_GROUP 0x00020000
#define WS_TABSTOP 0x00010000
#define DS_SETFONT 0x40
#define DS_MODALFRAME 0x80
#define DS_CENTER 0x0800
#define SS_LEFT 0x0
#define SS_ICON 0x3
#define BS_PUSHBUTTON 0x0
#define IDCANCEL 2
#define LANG_ENGLISH 0x09
#define SUBLANG_ENGLISH_US 0x01
#define RT_MANIFEST 24
#define CREATEPROCESS_MANIFEST_RESOURCE_ID 1

#endif
