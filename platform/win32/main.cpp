// The Windows program's entry point: a GUI program without a console that
// registers its window class, runs the core and ends with the core's
// result.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/timer_resolution.h"

namespace {

// The window class "UlxUpgrade", registered at start as the program always
// has; no window is made of it. True on success.
bool registerWindowClass(HINSTANCE instance) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    wc.lpszClassName = "UlxUpgrade";
    return RegisterClassA(&wc) != 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // The polling loops of the core pass 1 ms at a time (the connecting
    // window takes one message per pass); with the default timer
    // resolution Sleep(1) lasts up to 15.6 ms.
    beginTimerResolution();
    // Without its window class the program ends at once, with 0.
    int result = registerWindowClass(instance) ? runUpgrade() : 0;
    endTimerResolution();
    ExitProcess(static_cast<UINT>(result));
}
