// After a transfer: the device's fixed time to write the image and
// restart, shown in the uploading window, then the status page read again
// at the device's address, spaced out over a bounded window, and the
// software version it reports compared with the version text of the image.
// Every end but success shows a failure message.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "tftp/tftp.h"
#include "ui/ui.h"
#include "web/http.h"
#include "web/web.h"

namespace {

const char STATUS_PAGE[] = "/admin/advanced";

// The verification's answers; only the listener thread uses it.
char g_verificationAnswer[RESPONSE_BUFFER_SIZE];

// The clock in 32 ms units: 0 .. 2^27 - 1, then round again.
uint32_t clockUnits() { return platClockMs() >> TFTP_CLOCK_UNIT_SHIFT; }

void waitForDevice(PlatWindow window, const RunSetup& setup) {
    uint32_t start = clockUnits();
    platProgressSetRange(window, IDC_PROGRESS, 0, static_cast<int>(TFTP_WAIT_UNITS));
    platProgressSetPos(window, IDC_PROGRESS, 0);
    char title[160];
    int n = snprintf(title, sizeof title, "Updating %s Firmware to ULX@%s",
                     g_stage.load() == Stage::Target ? "Target" : "Transition", setup.deviceAddressText);
    if (n < 0) title[0] = '\0';
    platSetWindowText(window, title);

    uint32_t shown = UINT32_MAX;  // the units the bar shows
    for (;;) {
        uint32_t now = clockUnits();
        // A reading below the start means the millisecond counter wrapped:
        // count on past 2^27 so the progress never runs backwards.
        if (now < start) now += TFTP_CLOCK_UNIT_WRAP;
        uint32_t elapsed = now - start;
        if (elapsed != shown) platProgressSetPos(window, IDC_PROGRESS, static_cast<int>(elapsed));
        shown = elapsed;
        while (platPeekAndDispatch(window)) {}
        if (elapsed >= TFTP_WAIT_UNITS) break;
        // Asleep until the bar's next move (the end at the latest) or a
        // window message. Units count from the start of the clock's 32 ms
        // units, so the move's first millisecond is the unit << 5, wrapping
        // as the clock does.
        uint32_t due = (elapsed / TFTP_WAIT_STRIDE_UNITS + 1) * TFTP_WAIT_STRIDE_UNITS;
        if (due > TFTP_WAIT_UNITS) due = TFTP_WAIT_UNITS;
        uint32_t dueMs = (start + due) << TFTP_CLOCK_UNIT_SHIFT;
        int32_t left = static_cast<int32_t>(dueMs - platClockMs());
        if (left > 0) platWaitMessage(static_cast<uint32_t>(left));
    }
    platDestroyWindow(window);
}

// The version text at header offset 92, bounded by the header's end.
void expectedVersion(const RunSetup& setup, char* out, int cap) {
    const char* text = imageVersionText(stageImage(setup));
    int room = IMAGE_HEADER_SIZE - IMAGE_VERSION_OFFSET;
    int n = static_cast<int>(strnlen(text, static_cast<size_t>(room)));
    if (n > cap - 1) n = cap - 1;
    memcpy(out, text, static_cast<size_t>(n));
    out[n] = '\0';
}

// The device's answer to one attempt, when it is a status page (an HTTP/1.x
// 200 answer that holds the device's labels, isStatusPage), and, where the
// version is compared, "Software Version:", whose value then goes to
// reported. An error page, a page of anything else, or a page without the
// version is no answer: the version read before the upgrade must never
// stand in for the one the device reports now.
bool readStatusPage(const char* answer, bool needVersion, char* reported, int cap) {
    if (!isStatusPage(answer)) return false;
    reported[0] = '\0';
    return extractField(answer, "Software Version:", reported, cap - 1) != nullptr || !needVersion;
}

// Until the next attempt is due (TFTP_VERIFY_SPACING_MS after the start of
// the last one) the connecting window stays up with its Cancel, which ends
// the run at once. The wait ends at the time or at a window message,
// whichever comes first.
void waitForNextAttempt(uint32_t attemptStart) {
    if (platClockMs() - attemptStart >= TFTP_VERIFY_SPACING_MS) return;
    PlatWindow window = createConnectingWindow();
    platShowWindow(window);
    for (;;) {
        while (platPeekAndDispatch(window)) {}
        uint32_t elapsed = platClockMs() - attemptStart;
        if (elapsed >= TFTP_VERIFY_SPACING_MS) break;
        platWaitMessage(TFTP_VERIFY_SPACING_MS - elapsed);
    }
    platDestroyWindow(window);
}

}  // namespace

bool waitAndVerify(TftpSession* session, bool complete) {
    const RunSetup& setup = *session->setup;
    // The full wait in every case, also after an incomplete transfer.
    waitForDevice(session->uploadingWindow, setup);
    session->uploadingWindow = 0;

    if (!complete) {
        reportError("Upgrade Failed: Firmware Upload Incomplete");
        return false;
    }

    // Attempts at the device's address, spaced out until one that began at
    // the end of the window or later has had its answer. A device still
    // writing flash serves its old page: the version it reported before
    // this delivery means "not restarted yet", and the next attempt asks
    // again. Any other version is the wrong one at once.
    const bool compare = !setup.phoneProduct;  // the phone product is not held to its version text
    char expected[IMAGE_HEADER_SIZE];
    expectedVersion(setup, expected, sizeof expected);
    bool onOldVersion = false;  // the last status page showed the version before the delivery
    const uint32_t windowStart = platClockMs();
    for (;;) {
        const uint32_t attemptStart = platClockMs();
        HttpResult answer =
            runDeviceRequest(setup.localAddress, FIRST_LOCAL_PORT, setup.deviceAddress, DEVICE_HTTP_PORT, STATUS_PAGE,
                             g_verificationAnswer, RESPONSE_MAX_CHARS, TFTP_VERIFY_CONNECTS);
        char reported[sizeof DeviceInfo::softwareVersion];
        if (answer.status == HTTP_ANSWERED &&
            readStatusPage(g_verificationAnswer, compare, reported, sizeof reported)) {
            if (!compare || strcmp(expected, reported) == 0) {
                // What the verifying page reports, or nothing: never the
                // version read before the upgrade.
                copyText(session->reportedVersion, sizeof session->reportedVersion, reported);
                return true;
            }
            onOldVersion = session->versionBefore[0] != '\0' && strcmp(reported, session->versionBefore) == 0;
            if (!onOldVersion) {
                reportError("Upgrade Failed: Version not matching");
                return false;
            }
        }
        if (attemptStart - windowStart >= TFTP_VERIFY_WINDOW_MS) break;
        waitForNextAttempt(attemptStart);
    }
    reportError(onOldVersion ? "Upgrade Failed: Version not matching" : "Upgrade Failed: No Response From ULX");
    return false;
}
