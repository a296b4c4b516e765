// Entry of the test programs (ulx-test-script and the other configurations):
// the upgrade through the automation protocol, as ulx-upgrade-script runs
// it, on the scaled clock. With ULX_CLOCK_PHASES set, each event line also
// sets the clock's speed for what the program is doing (clock_phases.h);
// the lines then go to standard output one by one, as they happen, so that
// the speed changes with the window and not when a batch is written.
#include <cstdio>
#include <cstdlib>

#include "control/control.h"
#include "platform/headless/headless.h"
#include "platform/platform.h"
#include "support/clock_phases.h"

static void phasedLine(const char* line, void*) {
    clockPhasesLine(line);
    fputs(line, stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

int main() {
    const char* phases = getenv("ULX_CLOCK_PHASES");
    const bool phased = phases && *phases;
    if (phased && !clockPhasesConfigure(phases)) {
        fprintf(stderr, "ULX_CLOCK_PHASES: not phase:scale[,...]: %s\n", phases);
        return 2;
    }
    headlessStart(0, phased ? phasedLine : nullptr, nullptr);
    platExitProcess(runUpgrade());
}
