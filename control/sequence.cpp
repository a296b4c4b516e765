// The program's spine: the fixed order of the upgrade steps.
#include <cstdio>

#include "control/control.h"
#include "tftp/tftp.h"
#include "ui/ui.h"
#include "web/http.h"
#include "web/web.h"

namespace {
const char STATUS_PAGE[] = "/admin/advanced";

// The upgrade order reads its answer into a buffer of its own: it may still
// be waiting for the device to close while the verification, on the
// listener thread, reads the status page into the shared buffer.
char g_upgradeOrderBuffer[RESPONSE_BUFFER_SIZE];

// The upgrade order: the device is to fetch the current file name from
// this computer's TFTP server. No answer is no error here.
void sendUpgradeRequest(uint16_t port) {
    char fileName[128];
    getTftpFileName(fileName, sizeof fileName);
    char path[256];
    if (buildUpgradePath(path, sizeof path, g_localAddress, port, fileName) < 0) return;
    runDeviceRequest(g_instance, g_localAddress, FIRST_LOCAL_PORT, g_deviceAddress, DEVICE_HTTP_PORT, path,
                     g_upgradeOrderBuffer, RESPONSE_CAPACITY);
}

// From here on the listener thread ends the process.
[[noreturn]] void idleForever() {
    for (;;) platSleepMs(1000);
}
}  // namespace

int ulxWinMain(PlatInstance instance) {
    if (!platRegisterClass(instance, "UlxUpgrade")) return 0;
    g_instance = instance;
    startup();

    if (!showWarningDialog()) return 0;
    if (!showAddressDialog()) return 0;
    if (g_deviceAddress == 0) return 0;

    int received = runDeviceRequest(g_instance, g_localAddress, FIRST_LOCAL_PORT, g_deviceAddress,
                                    DEVICE_HTTP_PORT, STATUS_PAGE, g_responseBuffer, RESPONSE_CAPACITY);
    if (received <= 0) {
        reportError("Upgrade Failed: No Response From ULX");
        return 0;
    }
    // A web server that is no ULX (a printer or router at a mistyped
    // address, an error page) holds none of the status page's labels: it
    // must never reach the confirmation and the upgrade order.
    if (countDeviceLabels(g_responseBuffer) == 0) {
        char line[96];
        describeAnswer(g_responseBuffer, line, sizeof line, 80);
        char message[160];
        if (snprintf(message, sizeof message, "Upgrade Failed: Not a ULX Status Page (%s)", line) < 0)
            copyText(message, sizeof message, "Upgrade Failed: Not a ULX Status Page");
        reportError(message);
        return 0;
    }

    lockWebState();
    decideStage(g_deviceInfo.softwareVersion, imageVersionText(g_transitionImage));
    unlockWebState();

    if (!showConfirmDialog()) {
        reportError("Upgrade Failed: User Abort");
        return 0;
    }

    uint16_t port = startTftpListener(g_localAddress, g_deviceAddress);
    int stage = TargetStage.load();
    sendUpgradeRequest(port);
    if (stage == 1) idleForever();

    // Two-stage: once the listener has delivered and verified the
    // Transition image, the device is told to fetch the Target image under
    // a new name. After a failed Transition session the listener ends the
    // process instead, so the Target order is never sent.
    while (TargetStage.load() != 1) platSleepMs(10);
    char fileName[32];
    snprintf(fileName, sizeof fileName, "/ulx%x.bi1", static_cast<unsigned>(nextRandom()));
    setTftpFileName(fileName);
    sendUpgradeRequest(port);
    idleForever();
}
