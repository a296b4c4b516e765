// One HTTP/1.1 GET against the device's web server, and what the answer
// tells: a password demand, or the identification fields of its status page.
#pragma once

#include <cstdint>

#include "control/globals.h"
#include "platform/platform.h"
#include "web/digest.h"

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

// One complete exchange: the number of bytes received (0 when no
// connection could be made in connectAttempts tries, nothing arrived, or
// the answer did not end within the bounds above), or -1 when the device
// demanded authentication and its challenge is now in g_digestState.
int httpGet(uint32_t localAddress, uint16_t localPort, uint32_t deviceAddress, uint16_t devicePort,
            const char* path, char* buffer, int capacity, int connectAttempts = CONNECT_ATTEMPTS);

// A connected TCP socket bound from localPort upward, or
// PLAT_INVALID_SOCKET. Ends the process when no socket can be had or no
// port of the 101 binds.
PlatSocket connectToDevice(uint32_t localAddress, uint16_t localPort, uint32_t deviceAddress, uint16_t devicePort);

// -1 not "HTTP/1.1", -2 no status code, 0 status 200, 1 status 401 with an
// accepted Digest challenge (stored in state), 2 anything else.
int classifyResponse(const char* text, DigestState* state);

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

void fillSocketAddress(uint32_t address, uint16_t port, SockAddrIn* out);
void readSocketAddress(const SockAddrIn* in, uint32_t* address, uint16_t* port);

// The records every request shares (g_digestState, g_deviceInfo) are read
// and written under this lock, so that two requests on two threads never
// corrupt each other.
void lockWebState();
void unlockWebState();

// Stores the password dialog's user name and password (each cut to 126
// characters).
void setDigestCredentials(const char* userName, const char* password);
