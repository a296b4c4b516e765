// Shared by the Windows layer and the clock it is linked with: the clock
// (platClockMs, platSleepMs) and this conversion come from clock_real.cpp
// in the shipped program and from clock_scaled.cpp in test builds.
#pragma once

#include <cstdint>

// How many real milliseconds a wait of ms clock milliseconds lasts. A wait
// that is not zero never becomes zero, so an idle loop still sleeps.
uint32_t platWaitMs(uint32_t ms);
