// The Windows program's entry point: a GUI program without a console that
// hands its instance to the core and ends with the core's result.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/timer_resolution.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // The polling loops of the core pass 1 ms at a time (the connecting
    // window takes one message per pass); with the default timer
    // resolution Sleep(1) lasts up to 15.6 ms.
    beginTimerResolution();
    int result = ulxWinMain(instance);
    endTimerResolution();
    ExitProcess(static_cast<UINT>(result));
}
