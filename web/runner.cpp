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

// The connecting window's bar goes from 0 to 100 in steps of 10 ms, a
// round a second: a sign of life, not a measure. A move of twenty steps
// every 200 ms keeps that pace while the thread wakes 5 times a second, not
// 1000, and the window's output costs 5 updates, not 100. The stride
// divides 100, so every round shows 100, then 0.
constexpr int BAR_STRIDE = 20;
constexpr uint32_t BAR_FRAME_MS = 10 * BAR_STRIDE;

}  // namespace

HttpResult runDeviceRequest(uint32_t localAddress, uint16_t localPort, uint32_t deviceAddress, uint16_t devicePort,
                            const char* path, char* buffer, int maxChars, int connectAttempts) {
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

        // The bar moves as a sign of life, 0 to 100 and round again, at one
        // step per 10 ms. BAR_STRIDE steps at a time, one move per frame:
        // in between the thread sleeps until the worker ends, a message
        // comes, or the next move is due.
        uint32_t nextMove = platClockMs() + BAR_FRAME_MS;
        for (;;) {
            while (platPeekAndDispatch(window)) {}
            uint32_t now = platClockMs();
            int32_t left = static_cast<int32_t>(nextMove - now);
            if (left <= 0) {
                platProgressSetPos(window, IDC_PROGRESS, progress);
                progress = progress >= 100 ? 0 : progress + BAR_STRIDE;
                nextMove += BAR_FRAME_MS;
                // Behind by a frame or more (a busy machine): the next move
                // a frame from now, never a burst to catch up.
                if (static_cast<int32_t>(nextMove - now) <= 0) nextMove = now + BAR_FRAME_MS;
                left = static_cast<int32_t>(nextMove - now);
            }
            if (platWaitThreadOrMessage(worker, static_cast<uint32_t>(left))) break;
        }
        int result = 0;
        platThreadEnded(worker, &result);
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
