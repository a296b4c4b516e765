#include "ui/ui.h"

// "Firwmare" is the caption's spelling that the device family's users know
// from every earlier release; it stays as it is.
void reportError(const char* text, const char* caption) {
    platMessageBox(0, text, caption ? caption : "ULX Firwmare Upgrade Error");
}

void failUpgrade(const char* message) {
    reportError(message);
    platExitProcess(0);
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
