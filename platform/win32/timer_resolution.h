// The 1 ms timer resolution of the Windows program, taken when it starts
// and given back on every way out: the end of the sequence and
// platExitProcess from any thread.
#pragma once

void beginTimerResolution();
// Gives the resolution back once; later calls do nothing.
void endTimerResolution();
