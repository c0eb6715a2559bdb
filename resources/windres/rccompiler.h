// What zembrel.rc spells differently for windres; the build puts this folder on its include path.

// windres drops an ICON statement's size; its generic form with the static atom keeps it.
#define ICON_CONTROL(icon, id, x, y, cx, cy)                                                       \
    CONTROL icon, id, 0x82, SS_ICON | WS_CHILD | WS_VISIBLE, x, y, cx, cy
