// The clock of test builds: it runs `scale` times faster than real time,
// and sleeps and waits shrink by the same factor, so a 30-second wait or a
// row of retransmission intervals costs a fraction of a second while every
// wait still measures its time on the clock. The programs built with it
// read the factor from ULX_CLOCK_SCALE (default 20) and the clock's first
// reading from ULX_CLOCK_START (default: the real clock), so a test can
// start just below the 32-bit wrap. A test may also slow the clock down to
// real time for a while (platClockRescale), where a peer of the test would
// otherwise miss a 5 ms retransmission interval on a busy machine.
#include <stdlib.h>
#include <time.h>

#include <mutex>

#include "platform/platform.h"
#include "platform/posix/clock_internal.h"

namespace {
// The clock's three settings change together: a reading never mixes an old
// base with a new start, so a test may change the scale while other threads
// read the clock.
struct Settings {
    uint32_t scale = 20;
    uint32_t start = 0;
    int64_t baseNs = 0;
};
std::once_flag g_once;
std::mutex g_lock;
Settings g_settings;

int64_t realNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void initFromEnvironment() {
    std::call_once(g_once, [] {
        uint32_t scale = 20;
        if (const char* s = getenv("ULX_CLOCK_SCALE")) {
            unsigned long v = strtoul(s, nullptr, 10);
            if (v >= 1 && v <= 100000) scale = static_cast<uint32_t>(v);
        }
        int64_t now = realNs();
        uint32_t start = static_cast<uint32_t>(now / 1000000);
        if (const char* s = getenv("ULX_CLOCK_START")) start = static_cast<uint32_t>(strtoul(s, nullptr, 0));
        std::lock_guard<std::mutex> hold(g_lock);
        g_settings = Settings{scale, start, now};
    });
}

Settings settings() {
    initFromEnvironment();
    std::lock_guard<std::mutex> hold(g_lock);
    return g_settings;
}

uint32_t readingAt(const Settings& s, int64_t ns) {
    uint64_t virtualMs = static_cast<uint64_t>(ns - s.baseNs) * s.scale / 1000000u;
    return s.start + static_cast<uint32_t>(virtualMs);
}
}  // namespace

void platClockConfigure(uint32_t scale, uint32_t startMs) {
    initFromEnvironment();
    std::lock_guard<std::mutex> hold(g_lock);
    g_settings = Settings{scale ? scale : 1, startMs, realNs()};
}

uint32_t platClockRescale(uint32_t scale) {
    initFromEnvironment();
    std::lock_guard<std::mutex> hold(g_lock);
    int64_t now = realNs();
    uint32_t previous = g_settings.scale;
    g_settings = Settings{scale ? scale : 1, readingAt(g_settings, now), now};
    return previous;
}

uint32_t platClockMs() {
    Settings s = settings();
    return readingAt(s, realNs());
}

long platWaitNanos(uint32_t ms) { return static_cast<long>(static_cast<int64_t>(ms) * 1000000LL / settings().scale); }

void platSleepMs(uint32_t ms) {
    long ns = platWaitNanos(ms);
    timespec ts{static_cast<time_t>(ns / 1000000000L), ns % 1000000000L};
    while (nanosleep(&ts, &ts) != 0) {}
}
