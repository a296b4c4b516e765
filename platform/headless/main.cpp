// Entry of ulx-upgrade-script: commands on standard input, events on
// standard output. Without arguments it runs the upgrade; --help and
// --version only print.
#include <cstdio>
#include <cstring>

#include "control/control.h"
#include "platform/headless/headless.h"
#include "platform/platform.h"

namespace {
const char HELP[] =
    "usage: ulx-upgrade-script [--help | --version]\n"
    "Upgrades the firmware of a ULX telephone adapter over the local network with\n"
    "the firmware built into it. Its dialogs are driven through the automation\n"
    "protocol: events on standard output, commands on standard input, one per\n"
    "line; see ulx-upgrade-script(1).\n"
    "\n"
    "options:\n"
    "  --help      show this text\n"
    "  --version   show the program's version and the firmware it carries\n";

// 0 once text is fully written to standard output, 1 otherwise.
int print(const char* text) {
    fputs(text, stdout);
    return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
}

// Handles the command line. -1 when the upgrade is to run, else the exit
// code.
int takeOptions(int argc, char** argv) {
    if (argc <= 1) return -1;
    if (argc > 2) {
        fputs("ulx-upgrade-script: takes at most one option (see --help)\n", stderr);
        return 2;
    }
    if (strcmp(argv[1], "--help") == 0) return print(HELP);
    if (strcmp(argv[1], "--version") == 0) {
        char text[512];
        if (formatProgramVersion("ulx-upgrade-script", text, sizeof text) < 0) return 1;
        return print(text);
    }
    fprintf(stderr, "ulx-upgrade-script: unknown option %s (see --help)\n", argv[1]);
    return 2;
}
}  // namespace

int main(int argc, char** argv) {
    if (int code = takeOptions(argc, argv); code >= 0) return code;
    headlessStart(0, nullptr, nullptr);
    int result = runUpgrade();
    platExitProcess(result);
}
