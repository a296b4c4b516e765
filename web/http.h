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
// attempt (HTTP_NO_ANSWER). The device's small web server sends its page within
// a fraction of a second of the request, on a LAN: 10 s without a single
// byte means it is stuck (a device still booting accepts and stalls like
// that), and 30 s for the whole answer is ample for the 131,071 bytes at
// most that are read, even over a slow link, while a user who watches the
// window learns the outcome within half a minute. Cancel ends the wait at
// any time.
constexpr uint32_t ANSWER_SILENCE_MS = 10000;
constexpr uint32_t ANSWER_TOTAL_MS = 30000;

// How an exchange ended.
enum HttpStatus : int {
    // An answer arrived: HttpResult::length bytes of it in the buffer.
    HTTP_ANSWERED = 0,
    // No connection in connectAttempts tries, the request did not go out
    // whole, nothing arrived, the answer did not end within the bounds
    // above, or its chunked body is broken.
    HTTP_NO_ANSWER = 1,
    // The device demanded authentication with a Digest challenge this
    // client can answer: HttpResult::challenge.
    HTTP_REFUSED = 2,
    // No exchange can be made at all; the caller ends the run.
    HTTP_NO_SOCKET = 3,  // no TCP socket could be had
    HTTP_NO_BIND = 4,    // none of the 101 local ports from localPort up binds (or is free towards the device)
    // The device demanded authentication with a Digest challenge whose
    // realm, nonce or opaque is longer than DIGEST_VALUE_MAX_CHARS: no
    // password can answer it, so the caller ends the run.
    HTTP_CHALLENGE_TOO_LONG = 5,
};

// The device fields an answer holds: found has bit i set for the i-th
// field of DeviceInfo (product name, MAC address, software version,
// hardware version, serial number) that the answer gave; the others are
// empty.
struct DeviceFields {
    DeviceInfo info;
    unsigned found;
};

// What one exchange read. Nothing of it is stored anywhere else: the
// caller decides what to keep (webStoreResult).
struct HttpResult {
    HttpStatus status;
    int length;             // HTTP_ANSWERED: the answer's bytes (> 0) in the buffer; otherwise 0
    const char* challenge;  // HTTP_REFUSED: the answer that holds the challenge (the buffer); otherwise null
    DeviceFields fields;    // HTTP_ANSWERED: the device fields of the answer; otherwise none
};

// One complete exchange, on the calling thread (a request's worker). The
// answer (at most maxChars bytes, with a NUL behind them in buffer) ends
// when the device closes the connection, or as soon as its framing says it
// is complete (answerLength), whichever comes first; a chunked body is
// decoded in place (the length is then that of the head and the decoded
// body). Touches no shared record but the Digest state it reads to
// authorise the request (webAppendAuthorization).
HttpResult httpGet(uint32_t localAddress, uint16_t localPort, uint32_t deviceAddress, uint16_t devicePort,
                   const char* path, char* buffer, int maxChars, int connectAttempts = CONNECT_ATTEMPTS);

// The device fields a text holds, each at most 127 characters.
DeviceFields readDeviceFields(const char* text);

// What kind of answer a text is. The version is "HTTP/1." and one digit
// (HTTP/1.0 and HTTP/1.1 devices alike); the WWW-Authenticate header is
// found in any letter case.
enum ResponseKind : int {
    RESPONSE_NOT_HTTP_1 = -1,         // does not begin with "HTTP/1.<digit>"
    RESPONSE_NO_STATUS = -2,          // no status code after the version
    RESPONSE_OK = 0,                  // status 200
    RESPONSE_CHALLENGE = 1,           // status 401 with an accepted Digest challenge, read into *challenge
    RESPONSE_OTHER = 2,               // anything else
    RESPONSE_CHALLENGE_TOO_LONG = 3,  // status 401 whose only usable Digest challenge has a value too long
};
// Pure: writes nothing but *challenge (its Digest challenge, parsed as
// parseChallenge does, after RESPONSE_CHALLENGE).
ResponseKind classifyResponse(const char* text, DigestState* challenge);

// Whether an answer is the device's status page: an HTTP/1.x answer with
// status 200 that holds at least one of the page's labels. The one rule
// of the identification and the verification.
bool isStatusPage(const char* answer);

// How far the first `length` bytes of an answer go (RFC 9112 section 6.3),
// looked at again each time more bytes have arrived. An answer is
// complete once its head (up to the blank line) and then, with
// "Transfer-Encoding: chunked", its last chunk and trailers, or else its
// Content-Length bytes of body have arrived; with neither, only the close
// ends it. Header names in any letter case. frame keeps what earlier calls
// over the same bytes found; zero it before the first.
struct AnswerFrame {
    int headLength;     // the head with its blank line; 0 until it has arrived
    int headSearched;   // bytes searched for the head's end so far
    int contentLength;  // the body's length; -1 when not given (or not usable)
    bool chunked;       // the body is chunked
    int chunksRead;     // body bytes of the whole chunks checked so far
};
// The answer's whole length once complete (at most length), 0 while more
// is to come, -1 when its chunked body is broken.
int answerLength(const char* text, int length, AnswerFrame* frame);

// Decoding a chunked body (RFC 9112 section 7.1): chunks of a hexadecimal
// size, optional extensions, CRLF, the data and CRLF; then the last chunk
// (size 0), optional trailer lines and a blank line.
enum ChunkedState : int {
    CHUNKED_COMPLETE = 0,    // the last chunk and the trailers are there
    CHUNKED_INCOMPLETE = 1,  // well formed so far, the rest has not arrived
    CHUNKED_BROKEN = 2,      // not chunked syntax
};
struct ChunkedBody {
    ChunkedState state;
    int used;     // complete: the bytes of the whole body; otherwise those of the whole chunks at its front
    int decoded;  // data bytes written to out (a chunk cut short gives what arrived)
};
// Reads body[0 .. length) and nothing beyond; writes the data to out,
// which has room for length bytes (the data is never longer than the
// body) and may be body itself, or is null to only check.
ChunkedBody decodeChunked(const char* body, int length, char* out);

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

// A copy of the device fields as the answers stored so far left them.
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

// Keeps what an exchange read: after HTTP_REFUSED its Digest challenge
// (a new nonce starts counting again), after HTTP_ANSWERED the device
// fields it found (the others keep their values).
void webStoreResult(const HttpResult& result);
