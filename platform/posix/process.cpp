#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"
#include "platform/posix/backend_hooks.h"

// Ends the process at once: no static destructors run while other threads
// may still be using what they would destroy.
void platExitProcess(int code) {
    backendBeforeExit(code);
    fflush(nullptr);
    _exit(code);
}
