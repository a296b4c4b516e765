// Shared by the OS layer and the clock it is linked with.
#pragma once

#include <cstdint>

// How many real nanoseconds a wait of ms clock milliseconds lasts.
long platWaitNanos(uint32_t ms);

// Test builds only (clock_scaled.cpp): makes the clock run `scale` times
// faster than real time and read startMs now.
void platClockConfigure(uint32_t scale, uint32_t startMs);
// Test builds only: from now on the clock runs `scale` times faster than
// real time, going on from its present reading (never a jump). The scale
// it had.
uint32_t platClockRescale(uint32_t scale);
