#include <cstring>

#include "control/control.h"
#include "ui/ui.h"
#include "web/digest.h"

void startup() {
    if (platNetStartup() != 0) {
        reportError("Upgrade Failed: Winsock init error");
        platExitProcess(0);
    }

    memset(LocalAddressTable, 0, sizeof LocalAddressTable);
    platLocalAddresses(LocalAddressTable, LOCAL_ADDRESS_COUNT);
    g_localAddress = LocalAddressTable[0];

    memset(&g_digestState, 0, sizeof g_digestState);
    seedRandom(platClockMs());
    platInitCommonControls();

    // The build refuses images that are missing or too short; this guards a
    // program whose resources were stripped all the same.
    bool mapped = mapImage(TARGET_IMAGE_ID, &g_targetImage) != 0;
    if (TargetStage.load() == 0) mapped = mapImage(TRANSITION_IMAGE_ID, &g_transitionImage) != 0 && mapped;
    if (!mapped) {
        reportError("Upgrade Failed: Firmware image missing from this program");
        platExitProcess(0);
    }

    identifyProduct(g_targetImage.header, g_productName, sizeof g_productName, &g_phoneProduct);
}
