// After a transfer: the device's fixed time to write the image and
// restart, shown in the uploading window, then the status page read again
// and its software version compared with the version text of the image.
#include <cstdio>
#include <cstring>

#include "control/globals.h"
#include "tftp/tftp.h"
#include "ui/ui.h"
#include "web/http.h"
#include "web/web.h"

namespace {

const char STATUS_PAGE[] = "/admin/advanced";

// The clock in 32 ms units: 0 .. 2^27 - 1, then round again.
uint32_t clockUnits() { return platClockMs() >> TFTP_CLOCK_UNIT_SHIFT; }

void waitForDevice(PlatWindow window) {
    uint32_t start = clockUnits();
    platProgressSetRange(window, IDC_PROGRESS, 0, static_cast<int>(TFTP_WAIT_UNITS));
    platProgressSetPos(window, IDC_PROGRESS, 0);
    char title[160];
    int n = snprintf(title, sizeof title, "Updating %s Firmware to ULX@%s",
                     TargetStage.load() == 1 ? "Target" : "Transition", g_deviceAddressText);
    if (n < 0) title[0] = '\0';
    platSetWindowText(window, title);

    for (;;) {
        uint32_t now = clockUnits();
        // A reading below the start means the millisecond counter wrapped:
        // count on past 2^27 so the progress never runs backwards.
        if (now < start) now += TFTP_CLOCK_UNIT_WRAP;
        platProgressSetPos(window, IDC_PROGRESS, static_cast<int>(now - start));
        while (platPeekAndDispatch(window)) {
        }
        if (now >= start + TFTP_WAIT_UNITS) break;
        platSleepMs(TFTP_WAIT_SLEEP_MS);
    }
    platDestroyWindow(window);
}

// The version text at header offset 92, bounded by the header's end.
void expectedVersion(char* out, int cap) {
    const FirmwareImage& image = TargetStage.load() == 1 ? g_targetImage : g_transitionImage;
    const char* text = imageVersionText(image);
    int room = IMAGE_HEADER_SIZE - IMAGE_VERSION_OFFSET;
    int n = static_cast<int>(strnlen(text, static_cast<size_t>(room)));
    if (n > cap - 1) n = cap - 1;
    memcpy(out, text, static_cast<size_t>(n));
    out[n] = '\0';
}

}  // namespace

void waitAndVerify(TftpSession* session, int outcome) {
    // The full wait in every case, also after an incomplete transfer.
    waitForDevice(session->uploadingWindow);
    session->uploadingWindow = 0;

    if (outcome != TFTP_COMPLETE) {
        reportError("Upgrade Failed: Firmware Upload Incomplete");
        return;
    }

    for (int attempt = 0; attempt < TFTP_VERIFY_ATTEMPTS; ++attempt) {
        int received = runDeviceRequest(g_instance, session->localAddress, FIRST_LOCAL_PORT, session->peerAddress,
                                        DEVICE_HTTP_PORT, STATUS_PAGE, g_responseBuffer, RESPONSE_CAPACITY);
        if (received <= 0) continue;

        char expected[IMAGE_HEADER_SIZE];
        expectedVersion(expected, sizeof expected);
        char reported[sizeof g_deviceInfo.softwareVersion];
        lockWebState();
        copyText(reported, sizeof reported, g_deviceInfo.softwareVersion);
        unlockWebState();

        // The phone product is not held to its version text.
        if (!g_phoneProduct && strcmp(expected, reported) != 0) {
            reportError("Upgrade Failed: Version not matching");
            return;
        }
        if (TargetStage.load() == 1) showSuccessDialog();
        return;
    }
    // No answer in ten attempts: nothing is shown.
}
