// The program's spine: the fixed order of the upgrade steps.
#include <cstdio>

#include "control/control.h"
#include "tftp/tftp.h"
#include "ui/ui.h"
#include "web/http.h"
#include "web/web.h"

namespace {
const char STATUS_PAGE[] = "/admin/advanced";

// Each request reads its answer into a buffer of its own: the upgrade order
// may still be waiting for the device to close while the verification, on
// the listener thread, reads the status page into its buffer.
char g_identificationAnswer[RESPONSE_BUFFER_SIZE];
char g_upgradeOrderAnswer[RESPONSE_BUFFER_SIZE];

// The upgrade order: the device is to fetch the current file name from
// this computer's TFTP server. No answer is no error here.
void sendUpgradeRequest(const RunSetup& setup, uint16_t port) {
    char fileName[TFTP_FILE_NAME_SIZE];
    getTftpFileName(fileName, sizeof fileName);
    char path[256];
    if (buildUpgradePath(path, sizeof path, setup.localAddress, port, fileName) < 0) return;
    runDeviceRequest(setup.localAddress, FIRST_LOCAL_PORT, setup.deviceAddress, DEVICE_HTTP_PORT, path,
                     g_upgradeOrderAnswer, RESPONSE_MAX_CHARS);
}

// From here on the listener thread ends the process. This thread owns no
// window any more: it sleeps, taking whatever message may still come.
[[noreturn]] void idleForever() {
    for (;;) {
        platWaitMessage(PLAT_WAIT_FOREVER);
        while (platPeekAndDispatch(0)) {}
    }
}
}  // namespace

int runUpgrade() {
    RunSetup* edit = editRunSetup();
    startup(edit);

    if (!showWarningDialog()) return 0;
    AddressChoice choice{};
    if (!showAddressDialog(&choice)) return 0;
    edit->deviceAddress = choice.deviceAddress;
    copyText(edit->deviceAddressText, sizeof edit->deviceAddressText, choice.deviceAddressText);
    edit->localAddress = choice.localAddress;
    freezeRunSetup();
    const RunSetup& setup = runSetup();

    int received = runDeviceRequest(setup.localAddress, FIRST_LOCAL_PORT, setup.deviceAddress, DEVICE_HTTP_PORT,
                                    STATUS_PAGE, g_identificationAnswer, RESPONSE_MAX_CHARS);
    if (received <= 0) failUpgrade("Upgrade Failed: No Response From ULX");
    // A web server that is no ULX (a printer or router at a mistyped
    // address, an error page) gives no status page, by the one rule the
    // verification uses too: it must never reach the confirmation and the
    // upgrade order.
    if (!isStatusPage(g_identificationAnswer)) {
        char line[96];
        describeAnswer(g_identificationAnswer, line, sizeof line, 80);
        char message[160];
        if (snprintf(message, sizeof message, "Upgrade Failed: Not a ULX Status Page (%s)", line) < 0)
            copyText(message, sizeof message, "Upgrade Failed: Not a ULX Status Page");
        failUpgrade(message);
    }

    DeviceInfo device = webDeviceInfo();
    decideStage(device.softwareVersion, imageVersionText(setup.transitionImage));
    if (!showConfirmDialog(device)) failUpgrade("Upgrade Failed: User Abort");

    uint16_t port = startTftpListener(setup);
    Stage stage = g_stage.load();
    sendUpgradeRequest(setup, port);
    if (stage == Stage::Target) idleForever();

    // Two-stage: once the listener has delivered and verified the
    // Transition image, the device is told to fetch the Target image under
    // a new name. After a failed Transition session the listener ends the
    // process instead, so the Target order is never sent.
    while (g_stage.load() != Stage::Target) platSleepMs(10);
    char fileName[32];
    snprintf(fileName, sizeof fileName, "/ulx%x.bi%d", static_cast<unsigned>(nextRandom()),
             static_cast<int>(Stage::Target));
    setTftpFileName(fileName);
    sendUpgradeRequest(setup, port);
    idleForever();
}
