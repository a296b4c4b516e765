// What the OS layer asks of the window backend it is linked with.
#pragma once

// Called once, just before the process ends: the backend flushes what it
// still has to say (the automation backend writes its "exit N" line). It
// may keep other threads from writing from then on.
void backendBeforeExit(int code);
