#include <cstring>

#include "control/control.h"
#include "ui/ui.h"

void startup(RunSetup* setup) {
    if (const char* failure = platNetStartup()) failUpgrade(failure);

    memset(setup->localAddressTable, 0, sizeof setup->localAddressTable);
    platLocalAddresses(setup->localAddressTable, LOCAL_ADDRESS_COUNT);
    setup->localAddress = setup->localAddressTable[0];

    seedRandom(platClockMs());
    platInitCommonControls();

    // The build refuses images that are missing or too short; this guards a
    // program whose resources were stripped all the same.
    bool mapped = mapImage(TARGET_IMAGE_ID, &setup->targetImage);
    if (g_stage.load() == Stage::Transition) mapped = mapImage(TRANSITION_IMAGE_ID, &setup->transitionImage) && mapped;
    if (!mapped) failUpgrade("Upgrade Failed: Firmware image missing from this program");

    identifyProduct(setup->targetImage.header, setup->productName, sizeof setup->productName, &setup->phoneProduct);
}
