// A window backend for the targets that link the web client: never reached (reaching one aborts).
#include <cstdlib>

#include "control/base/base.h"
#include "platform/platform.h"
#include "platform/window_model/backend_hooks.h"

int platMessageBox(PlatWindow, const char*, const char*) { abort(); }
bool platGetWindowRect(PlatWindow, PlatRect*) { abort(); }
void platGetScreenSize(int*, int*) { abort(); }
void platMoveWindowTop(PlatWindow, int, int) { abort(); }
void backendBeforeExit(int) {}
