// The window, dialog and control style names zembrel.rc uses, for compilers without windows.h.
#ifndef ZEMBREL_RCSTYLES_H
#define ZEMBREL_RCSTYLES_H

// windres brings the real definitions; llvm-rc on a POSIX host has no Windows headers, so the
// guarded values below, copied from the Win32 ones, stand in for them there.
#if defined(_WIN32) && defined(RC_INVOKED)
#include <winresrc.h>
#endif

#ifndef WS_POPUP
#define WS_POPUP 0x80000000
#endif
#ifndef WS_CHILD
#define WS_CHILD 0x40000000
#endif
#ifndef WS_VISIBLE
#define WS_VISIBLE 0x10000000
#endif
#ifndef WS_CAPTION
#define WS_CAPTION 0x00C00000
#endif
#ifndef WS_BORDER
#define WS_BORDER 0x00800000
#endif
#ifndef WS_SYSMENU
#define WS_SYSMENU 0x00080000
#endif
#ifndef WS_GROUP
#define WS_GROUP 0x00020000
#endif
#ifndef WS_TABSTOP
#define WS_TABSTOP 0x00010000
#endif
#ifndef DS_SETFONT
#define DS_SETFONT 0x40
#endif
#ifndef DS_MODALFRAME
#define DS_MODALFRAME 0x80
#endif
#ifndef DS_CENTER
#define DS_CENTER 0x0800
#endif
#ifndef SS_LEFT
#define SS_LEFT 0x0
#endif
#ifndef SS_ICON
#define SS_ICON 0x3
#endif
#ifndef BS_PUSHBUTTON
#define BS_PUSHBUTTON 0x0
#endif
#ifndef IDCANCEL
#define IDCANCEL 2
#endif
#ifndef LANG_ENGLISH
#define LANG_ENGLISH 0x09
#endif
#ifndef SUBLANG_ENGLISH_US
#define SUBLANG_ENGLISH_US 0x01
#endif
#ifndef RT_MANIFEST
#define RT_MANIFEST 24
#endif
#ifndef CREATEPROCESS_MANIFEST_RESOURCE_ID
#define CREATEPROCESS_MANIFEST_RESOURCE_ID 1
#endif

#endif
