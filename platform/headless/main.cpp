// Entry of ulx-upgrade-script: commands on standard input, events on
// standard output.
#include "platform/headless/headless.h"
#include "platform/platform.h"

int main() {
    headlessStart(0, nullptr, nullptr);
    int result = ulxWinMain(nullptr);
    platExitProcess(result);
}
