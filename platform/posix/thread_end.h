// The end of a started thread as a descriptor, for waits that take it
// together with other events (platform/window_model).
#pragma once

#include "platform/platform.h"

// Readable once the thread has ended; valid while the handle is held.
int threadEndFd(PlatThreadHandle thread);
