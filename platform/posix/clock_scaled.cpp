// The clock of test builds: it runs `scale` times faster than real time,
// and sleeps and waits shrink by the same factor, so a 30-second wait or a
// row of retransmission intervals costs a fraction of a second while every
// wait still measures its time on the clock. The programs built with it
// read the factor from ULX_CLOCK_SCALE (default 20) and the clock's first
// reading from ULX_CLOCK_START (default: the real clock), so a test can
// start just below the 32-bit wrap.
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <mutex>

#include "platform/platform.h"
#include "platform/posix/clock_internal.h"

namespace {
std::once_flag g_once;
std::atomic<uint32_t> g_scale{20};
std::atomic<uint32_t> g_start{0};
std::atomic<int64_t> g_baseNs{0};

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
        g_scale.store(scale);
        g_start.store(start);
        g_baseNs.store(now);
    });
}
}  // namespace

void platClockConfigure(uint32_t scale, uint32_t startMs) {
    initFromEnvironment();
    g_scale.store(scale ? scale : 1);
    g_start.store(startMs);
    g_baseNs.store(realNs());
}

uint32_t platClockMs() {
    initFromEnvironment();
    int64_t elapsed = realNs() - g_baseNs.load();
    uint64_t virtualMs = static_cast<uint64_t>(elapsed) * g_scale.load() / 1000000u;
    return g_start.load() + static_cast<uint32_t>(virtualMs);
}

long platWaitNanos(uint32_t ms) {
    initFromEnvironment();
    return static_cast<long>(static_cast<int64_t>(ms) * 1000000LL / g_scale.load());
}

void platSleepMs(uint32_t ms) {
    long ns = platWaitNanos(ms);
    timespec ts{static_cast<time_t>(ns / 1000000000L), ns % 1000000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}
