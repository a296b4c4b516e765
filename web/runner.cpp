// Every request to the device: one exchange per attempt on a worker
// thread, while the calling thread keeps the connecting window alive, and
// the password dialog when the device refuses access.
#include <cstring>

#include "ui/ui.h"
#include "web/http.h"
#include "web/web.h"

namespace {

// The parameter block handed to the worker, and the worker's result in
// it; it outlives every worker of the call, and the result is read only
// after the worker has ended.
struct DeviceRequest {
    uint32_t localAddress;
    uint16_t localPort;
    uint32_t deviceAddress;
    uint16_t devicePort;
    const char* path;
    char* buffer;
    int maxChars;
    int connectAttempts;
    HttpResult result;
};

int requestWorker(void* arg) {
    DeviceRequest* r = static_cast<DeviceRequest*>(arg);
    r->result = httpGet(r->localAddress, r->localPort, r->deviceAddress, r->devicePort, r->path, r->buffer, r->maxChars,
                        r->connectAttempts);
    return 0;
}

}  // namespace

HttpResult runDeviceRequest(uint32_t localAddress, uint16_t localPort, uint32_t deviceAddress, uint16_t devicePort,
                            const char* path, char* buffer, int maxChars, int connectAttempts) {
    int passes = 0;
    int progress = 0;
    bool repeated = false;
    DeviceRequest request{localAddress, localPort, deviceAddress,   devicePort,  path,
                          buffer,       maxChars,  connectAttempts, HttpResult{}};
    for (;;) {
        PlatWindow window = createConnectingWindow();
        platShowWindow(window);
        PlatThreadHandle worker = platStartThread(requestWorker, &request);
        if (!worker) {
            platDestroyWindow(window);
            failUpgrade("Upgrade Failed: Can't start HTTP request");
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
        const HttpResult& exchange = request.result;
        const HttpStatus status = exchange.status;
        webStoreResult(exchange);
        // No exchange can be made at all: the run ends, the connecting
        // window still on screen behind the message.
        if (status == HTTP_NO_SOCKET) failUpgrade("Upgrade Failed: Can't open HTTP socket");
        if (status == HTTP_NO_BIND) failUpgrade("Upgrade Failed: Can't bind HTTP socket");
        // No password can answer a challenge whose nonce cannot be sent
        // back whole: the run ends rather than asking again and again.
        if (status == HTTP_CHALLENGE_TOO_LONG)
            failUpgrade("Upgrade Failed: ULX Password Challenge Too Long (over 1024 characters)");
        platDestroyWindow(window);
        if (status != HTTP_REFUSED) return exchange;

        // Refused: the challenge is stored. A new nonce (count back at 0)
        // with a stored password is tried once more without asking, as
        // after a restart of the device; otherwise the user is asked.
        WebAuthState auth = webAuthState();
        if (auth.hasPassword && auth.nonceCount == 0 && !repeated) {
            repeated = true;
            continue;
        }
        Credentials credentials{};
        if (!showPasswordDialog(&credentials)) failUpgrade("Upgrade Failed: User Abort");
        webStoreCredentials(credentials.userName, credentials.password);
        repeated = false;
    }
}
