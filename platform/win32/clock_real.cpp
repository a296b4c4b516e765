// The real clock: the multimedia timer's milliseconds, wrapping at 2^32,
// at the 1 ms resolution the program takes when it starts.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/clock_internal.h"

uint32_t platClockMs() { return timeGetTime(); }

void platSleepMs(uint32_t ms) { Sleep(ms); }

// Real time passes as it does: a wait of ms lasts ms.
uint32_t platWaitMs(uint32_t ms) { return ms; }
