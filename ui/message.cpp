#include "ui/ui.h"

int reportError(const char* text, const char* caption) {
    return platMessageBox(0, text, caption ? caption : "ULX Firwmare Upgrade Error");
}

// x and y are halved by an arithmetic shift: an odd difference rounds
// down, and a window larger than the screen gets a negative place.
void centerWindow(PlatWindow w) {
    PlatRect r;
    if (!platGetWindowRect(w, &r)) return;
    int screenWidth = 0, screenHeight = 0;
    platGetScreenSize(&screenWidth, &screenHeight);
    int x = (screenWidth - (r.right - r.left)) >> 1;
    int y = (screenHeight - (r.bottom - r.top)) >> 1;
    platMoveWindowTop(w, x, y);
}
