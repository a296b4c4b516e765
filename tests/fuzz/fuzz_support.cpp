// What a program adds to the core, for the targets that link the web
// client: the single-stage build's starting stage, and a window backend
// that is never reached (the parsers open no window; reaching one is a
// finding and aborts).
#include <cstdlib>

#include "control/globals.h"
#include "platform/platform.h"
#include "platform/posix/backend_hooks.h"

const int BuildInitialTargetStage = 1;

int platMessageBox(PlatWindow, const char*, const char*) { abort(); }
int platGetWindowRect(PlatWindow, PlatRect*) { abort(); }
void platGetScreenSize(int*, int*) { abort(); }
void platMoveWindowTop(PlatWindow, int, int) { abort(); }
void backendBeforeExit(int) {}
