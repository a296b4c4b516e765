// What the Windows layer's waits share: the input that ends them and the
// timeout a clock wait becomes.
#pragma once

#include <windows.h>

#include <cstdint>

#include "platform/platform.h"
#include "platform/win32/clock_internal.h"

// The wake mask is the one Windows 7 knows: newer headers add touch and
// pointer input to QS_ALLINPUT, which Windows 7 refuses with WAIT_FAILED at
// once - an idle loop that never sleeps.
constexpr DWORD WAKE_MASK = QS_KEY | QS_MOUSEMOVE | QS_MOUSEBUTTON | QS_RAWINPUT | QS_POSTMESSAGE | QS_TIMER |
                            QS_PAINT | QS_HOTKEY | QS_SENDMESSAGE;
static_assert(WAKE_MASK == 0x04FF, "the input kinds of Windows 7");

// The real milliseconds of a wait of ms on the clock; INFINITE for no limit.
inline DWORD waitTimeout(uint32_t ms) { return ms == PLAT_WAIT_FOREVER ? INFINITE : platWaitMs(ms); }
