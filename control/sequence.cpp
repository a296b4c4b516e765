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

// The TFTP file name the device is told to fetch: a fresh random number,
// and the stage's digit in the suffix.
void drawTftpFileName(Stage stage) {
    char name[32];
    if (snprintf(name, sizeof name, "/ulx%x.bi%d", static_cast<unsigned>(nextRandom()), static_cast<int>(stage)) < 0)
        name[0] = '\0';  // not with these conversions; an empty name is never asked for
    setTftpFileName(name);
}

// Where the listener hands each session's outcome back to the run.
TftpHandBack g_handBack;

}  // namespace

// The whole run on the user-interface thread, from the warning to the
// verdict. A failure on the way ends the process through failUpgrade; the
// end of a run that was not stopped earlier is the return.
int runUpgrade() {
    RunSetup* edit = editRunSetup();
    startup(edit);

    if (!showWarningDialog()) return 0;
    AddressChoice choice{};
    if (!showAddressDialog(&choice)) return 0;
    edit->deviceAddress = choice.deviceAddress;
    copyText(edit->deviceAddressText, sizeof edit->deviceAddressText, choice.deviceAddressText);
    edit->localAddress = choice.localAddress;
    // Drawn before the stage is decided: the first name carries the
    // build's first stage, whatever the device turns out to need.
    drawTftpFileName(g_stage.load());
    freezeRunSetup();
    const RunSetup& setup = runSetup();

    HttpResult identification =
        runDeviceRequest(setup.localAddress, FIRST_LOCAL_PORT, setup.deviceAddress, DEVICE_HTTP_PORT, STATUS_PAGE,
                         g_identificationAnswer, RESPONSE_MAX_CHARS);
    if (identification.status != HTTP_ANSWERED) failUpgrade("Upgrade Failed: No Response From ULX");
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

    const DeviceInfo& device = identification.fields.info;
    decideStage(device.softwareVersion, imageVersionText(setup.transitionImage));
    if (!showConfirmDialog(device)) failUpgrade("Upgrade Failed: User Abort");

    uint16_t port = startTftpListener(setup, &g_handBack);
    sendUpgradeRequest(setup, port);
    char reported[sizeof DeviceInfo::softwareVersion];
    TftpOutcome outcome = tftpAwaitOutcome(&g_handBack, reported, sizeof reported);

    // Two-stage: once the listener has delivered and verified the
    // Transition image, the device is told to fetch the Target image under
    // a new name. After a failed Transition session the Target order is
    // never sent.
    if (outcome == TftpOutcome::TransitionVerified) {
        g_stage.store(Stage::Target);
        drawTftpFileName(Stage::Target);
        sendUpgradeRequest(setup, port);
        outcome = tftpAwaitOutcome(&g_handBack, reported, sizeof reported);
    }
    // A failed session has shown its message already. The success dialog
    // shows what the verifying page reported, never the version read
    // before the upgrade.
    if (outcome == TftpOutcome::TargetVerified) showSuccessDialog(reported);
    return 0;
}
