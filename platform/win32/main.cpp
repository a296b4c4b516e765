// The Windows program's entry point: a GUI program without a console that
// hands its instance to the core and ends with the core's result.
#include <windows.h>

#include "platform/platform.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    ExitProcess(static_cast<UINT>(ulxWinMain(instance)));
}
