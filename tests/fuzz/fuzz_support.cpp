// What a program adds to the core, for the targets that link the web
// client: a window backend that is never reached (the parsers open no
// window; reaching one is a finding and aborts). The starting stage comes
// from control/build_config.cpp, which every target links.
#include <cstdlib>

#include "control/base/base.h"
#include "platform/platform.h"
#include "platform/window_model/backend_hooks.h"

int platMessageBox(PlatWindow, const char*, const char*) { abort(); }
bool platGetWindowRect(PlatWindow, PlatRect*) { abort(); }
void platGetScreenSize(int*, int*) { abort(); }
void platMoveWindowTop(PlatWindow, int, int) { abort(); }
void backendBeforeExit(int) {}
