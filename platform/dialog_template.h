// Dialog templates as data: one table (ui/templates.cpp) from which every
// window backend builds its windows. Sizes and rectangles are in dialog
// units: a horizontal unit is a quarter of the font's average character
// width, a vertical unit an eighth of its character height.
#pragma once

#include <cstdint>

enum DialogControlKind : uint8_t {
    CTL_BUTTON,       // push button
    CTL_TEXT_AREA,    // read-only multi-line edit without border; keeps line breaks, no wrap
    CTL_TEXT_LINE,    // read-only single-line edit without border
    CTL_FIELD,        // read-only single-line edit with border
    CTL_ENTRY_FIELD,  // editable single-line edit with border
    CTL_LABEL,        // static text, wraps words
    CTL_PROGRESS,     // horizontal progress bar with border
    CTL_COMBO,        // drop-down list, selection only
    CTL_ICON,         // static icon; text holds nothing, iconId the picture
    CTL_IP_ADDRESS,   // IPv4 address entry of four numeric fields
};

enum DialogControlStyle : uint16_t {
    STY_TABSTOP = 1 << 0,
    STY_DEFAULT = 1 << 1,   // the default push button
    STY_RIGHT = 1 << 2,     // right-aligned text
    STY_CENTER = 1 << 3,    // centred text
    STY_PASSWORD = 1 << 4,  // entry shows placeholders
    STY_VSCROLL = 1 << 5,   // list with a vertical scroll bar
};

struct DialogControl {
    int id;  // -1: a control without id
    DialogControlKind kind;
    int16_t x, y, cx, cy;
    const char* text;
    uint16_t style;
    int iconId;  // CTL_ICON only
};

struct DialogTemplate {
    int id;
    int16_t cx, cy;
    const char* caption;
    const char* fontFace;
    int fontPoints;
    const DialogControl* controls;  // template order, which is the tab order
    int controlCount;
};
