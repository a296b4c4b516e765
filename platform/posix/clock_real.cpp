// The real clock: milliseconds of the monotonic clock, wrapping at 2^32.
#include <time.h>

#include "platform/platform.h"
#include "platform/posix/clock_internal.h"

uint32_t platClockMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void platSleepMs(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {}
}

// Real time passes as it does: a wait of ms lasts ms.
long platWaitNanos(uint32_t ms) { return static_cast<long>(ms) * 1000000L; }

// The real clock cannot be configured or rescaled; test builds link
// clock_scaled.cpp.
void platClockConfigure(uint32_t, uint32_t) {}
uint32_t platClockRescale(uint32_t) { return 1; }
