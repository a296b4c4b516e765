// What the process exit (exit.cpp) asks of the window model, and through it
// of the backend that observes it.
#pragma once

// Called once, just before the process ends: the backend flushes what it
// still has to say (the automation backend writes its "exit N" line). It
// may keep other threads from writing from then on.
void backendBeforeExit(int code);
