// The clock of the Windows test builds: it runs ULX_CLOCK_SCALE times
// faster than real time (default 20, at most 100000), and every wait on it
// - sleeps, connect and receive bounds, the idle wait for a socket or a
// message - shrinks by the same factor, so the 30-second device wait of a
// driven test costs seconds while every wait still measures its time on
// the clock. The factor is read once, at the first reading or wait.
#include <windows.h>

#include <cstdlib>

#include "platform/platform.h"
#include "platform/win32/clock_internal.h"

namespace {

struct Settings {
    uint32_t scale;
    uint32_t baseMs;  // the multimedia timer when the clock started
};

// The factor from the environment; an absent, empty, overlong or
// out-of-range value leaves the default.
uint32_t scaleFromEnvironment() {
    char text[8];
    DWORD n = GetEnvironmentVariableA("ULX_CLOCK_SCALE", text, sizeof text);
    if (n == 0 || n >= sizeof text) return 20;
    for (DWORD i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9') return 20;
    }
    int v = atoi(text);  // at most 7 digits: no overflow
    return v >= 1 && v <= 100000 ? static_cast<uint32_t>(v) : 20;
}

// Set once by whichever thread reads the clock first (a thread-safe local
// static), read-only afterwards.
const Settings& settings() {
    static const Settings s{scaleFromEnvironment(), timeGetTime()};
    return s;
}

}  // namespace

// Starts at the real reading and runs `scale` times faster, wrapping at
// 2^32 like the real clock.
uint32_t platClockMs() {
    const Settings& s = settings();
    uint32_t realSpent = timeGetTime() - s.baseMs;
    return s.baseMs + realSpent * s.scale;
}

uint32_t platWaitMs(uint32_t ms) {
    if (ms == 0) return 0;
    uint32_t real = ms / settings().scale;
    return real > 0 ? real : 1;
}

void platSleepMs(uint32_t ms) { Sleep(platWaitMs(ms)); }
