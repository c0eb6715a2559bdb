// What zembrel.rc spells differently for llvm-rc; compile_rc.cmake puts this folder on its path.

// llvm-rc takes a control's class only as a name, which it stores as text, not as the static
// atom the device's dialog manager reads; its ICON statement gives the atom and keeps the size.
#define ICON_CONTROL(icon, id, x, y, cx, cy) ICON icon, id, x, y, cx, cy
