// One HTTP/1.1 GET against the device's web server, and what the answer
// tells: a password demand, or the identification fields of its status page.
#pragma once

#include <cstdint>
#include <mutex>

#include "control/base/base.h"
#include "platform/platform.h"
#include "web/digest.h"

// A request's answer buffer: at most RESPONSE_MAX_CHARS bytes are read, and
// a NUL goes behind them. Each request of the run has its own.
constexpr int RESPONSE_BUFFER_SIZE = 131072;
constexpr int RESPONSE_MAX_CHARS = RESPONSE_BUFFER_SIZE - 1;

// A blocking connect to an absent host is given up after about the time
// Windows gives it, so ten attempts end in minutes.
constexpr uint32_t CONNECT_TIMEOUT_MS = 21000;
constexpr int CONNECT_ATTEMPTS = 10;
constexpr int BIND_ATTEMPTS = 101;
// Reading the answer is bounded too, so that a device that takes the
// connection and then says nothing, or drips a byte now and then, cannot
// keep the connecting window up for ever; such an exchange is a failed
// attempt (result 0). The device's small web server sends its page within
// a fraction of a second of the request, on a LAN: 10 s without a single
// byte means it is stuck (a device still booting accepts and stalls like
// that), and 30 s for the whole answer is ample for the 131,071 bytes at
// most that are read, even over a slow link, while a user who watches the
// window learns the outcome within half a minute. Cancel ends the wait at
// any time.
constexpr uint32_t ANSWER_SILENCE_MS = 10000;
constexpr uint32_t ANSWER_TOTAL_MS = 30000;

// What an exchange comes to when it is not a byte count.
enum HttpFailure : int {
    // No connection in connectAttempts tries, nothing arrived, or the
    // answer did not end within the bounds above.
    HTTP_NO_ANSWER = 0,
    // The device demanded authentication; its challenge is now stored in
    // the web state.
    HTTP_REFUSED = -1,
    // No exchange can be made at all; the caller ends the run.
    HTTP_NO_SOCKET = -2,  // no TCP socket could be had
    HTTP_NO_BIND = -3,    // none of the 101 local ports from localPort up binds
};

// One complete exchange, on the calling thread (a request's worker): the
// number of bytes received (> 0, at most maxChars, with a NUL behind them
// in buffer), or one of HttpFailure. The device fields of an answer are
// stored in the web state.
int httpGet(uint32_t localAddress, uint16_t localPort, uint32_t deviceAddress, uint16_t devicePort, const char* path,
            char* buffer, int maxChars, int connectAttempts = CONNECT_ATTEMPTS);

// What kind of answer a text is.
enum ResponseKind : int {
    RESPONSE_NOT_HTTP_1_1 = -1,  // does not begin with "HTTP/1.1"
    RESPONSE_NO_STATUS = -2,     // no status code after the version
    RESPONSE_OK = 0,             // status 200
    RESPONSE_CHALLENGE = 1,      // status 401 with an accepted Digest challenge, now stored in state
    RESPONSE_OTHER = 2,          // anything else
};
ResponseKind classifyResponse(const char* text, DigestState* state);

// Copies the value after label (the first text between tags after it) into
// dest, at most maxChars characters and a NUL. Returns dest, or null when
// the label or a value position is missing (dest untouched).
char* extractField(const char* text, const char* label, char* dest, int maxChars);

// How many of the five labels of the device's status page (product name,
// MAC address, software and hardware version, serial number) the text
// holds, 0 to 5. An answer with none is not the device's status page.
int countDeviceLabels(const char* text);

// The answer's first line (an HTTP answer's status line) for a message:
// at most maxChars characters and a NUL into out (cap bytes), every control
// character shown as '?'. An empty first line reads "(empty)".
void describeAnswer(const char* text, char* out, int cap, int maxChars);

// What every request of the run shares, on whichever thread it runs: the
// Digest exchange with the device and what the device last reported about
// itself. The upgrade order may still wait for the device to close while
// the verification runs on the listener thread, so both records are read
// and written only under the lock beside them, through the calls below.
struct WebState {
    std::mutex lock;
    DigestState digest;  // guarded by lock
    DeviceInfo device;   // guarded by lock
};
extern WebState g_webState;

// A copy of the device fields as the last answer left them.
DeviceInfo webDeviceInfo();

// Stores the password dialog's user name and password (each cut to 126
// characters).
void webStoreCredentials(const char* userName, const char* password);

// Whether a password is stored, and the requests sent with the current
// nonce so far.
struct WebAuthState {
    bool hasPassword;
    uint32_t nonceCount;
};
WebAuthState webAuthState();

// Once a password is stored: counts one more request with the current
// nonce, and appends the Authorization line for path behind *length in out
// (appendFormat's rules). False once out is full.
bool webAppendAuthorization(const char* path, char* out, int cap, int* length);

// Takes a whole answer: true when it is a refusal whose Digest challenge is
// now stored; otherwise the device fields found in it are stored.
bool webTakeAnswer(const char* answer);
