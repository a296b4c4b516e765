#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/window_model/backend_hooks.h"

// Ends the process at once, after the window model has told its backend:
// no static destructors run while other threads may still be using what
// they would destroy.
void platExitProcess(int code) {
    backendBeforeExit(code);
    fflush(nullptr);
    std::_Exit(code);
}
