// Every request to the device: one exchange per attempt on a worker
// thread, while the calling thread keeps the connecting window alive, and
// the password dialog when the device refuses access.
#include <cstring>

#include "control/globals.h"
#include "ui/ui.h"
#include "web/http.h"
#include "web/web.h"

namespace {

// The parameter block handed to the worker; it outlives every worker of
// the call.
struct DeviceRequest {
    uint32_t localAddress;
    uint16_t localPort;
    uint32_t deviceAddress;
    uint16_t devicePort;
    const char* path;
    char* buffer;
    int capacity;
    int connectAttempts;
};

int requestWorker(void* arg) {
    const DeviceRequest* r = static_cast<const DeviceRequest*>(arg);
    return httpGet(r->localAddress, r->localPort, r->deviceAddress, r->devicePort, r->path, r->buffer, r->capacity,
                   r->connectAttempts);
}

[[noreturn]] void failToStart() {
    reportError("Upgrade Failed: Can't start HTTP request");
    platExitProcess(0);
}

}  // namespace

int runDeviceRequest(PlatInstance, uint32_t localAddress, uint16_t localPort, uint32_t deviceAddress,
                     uint16_t devicePort, const char* path, char* buffer, int capacity, int connectAttempts) {
    int passes = 0;
    int progress = 0;
    int repeated = 0;
    DeviceRequest request{localAddress, localPort, deviceAddress, devicePort, path, buffer, capacity, connectAttempts};
    for (;;) {
        PlatWindow window = createConnectingWindow();
        platShowWindow(window);
        PlatThreadHandle worker = platStartThread(requestWorker, &request);
        if (!worker) {
            platDestroyWindow(window);
            failToStart();
        }

        // One message at most per pass, then 1 ms; the bar moves every
        // tenth pass as a sign of life, 0 to 100 and round again.
        int result = 0;
        while (!platThreadEnded(worker, &result)) {
            platPeekAndDispatch(window);
            platSleepMs(1);
            if (++passes == 10) {
                platProgressSetPos(window, IDC_PROGRESS, progress);
                if (++progress > 100) progress = 0;
                passes = 0;
            }
        }
        platReleaseThread(worker);
        platDestroyWindow(window);
        if (result >= 0) return result;

        // Refused: the challenge is stored. A new nonce (count back at 0)
        // with a stored password is tried once more without asking, as
        // after a restart of the device; otherwise the user is asked.
        lockWebState();
        bool havePassword = g_digestState.password[0] != '\0';
        uint32_t nonceCount = g_digestState.nonceCount;
        unlockWebState();
        if (havePassword && nonceCount == 0 && !repeated) {
            repeated = 1;
            continue;
        }
        if (!showPasswordDialog()) {
            reportError("Upgrade Failed: User Abort");
            platExitProcess(0);
        }
        repeated = 0;
    }
}
